// The site list in the browsers' policy languages, and the merge into a
// Firefox policies.json that others share.
#include "policies/browser_policies.h"

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

namespace {

std::vector<AllowedOrigin> Entries(const std::vector<std::string>& texts) {
  std::vector<AllowedOrigin> entries;
  for (const std::string& text : texts) {
    AllowedOrigin entry;
    std::string why;
    EXPECT_TRUE(ParseOriginEntry(text, &entry, &why)) << text << ": " << why;
    entries.push_back(entry);
  }
  return entries;
}

// JSON texts compared by content, not layout.
bool SameJson(const std::string& a, const std::string& b) {
  cJSON* left = cJSON_Parse(a.c_str());
  cJSON* right = cJSON_Parse(b.c_str());
  bool same = left != nullptr && right != nullptr && cJSON_Compare(left, right, true);
  cJSON_Delete(left);
  cJSON_Delete(right);
  return same;
}

TEST(BrowserPolicies, EachEntryInEachBrowsersForm) {
  struct Case {
    std::string entry, chromium, firefox;
    size_t skipped;  // lines for entries a browser can't take
  } cases[] = {
      {"https://labels.example.com", "https://labels.example.com", "labels.example.com", 0},
      {"HTTPS://Labels.Example.COM:443", "https://labels.example.com", "labels.example.com", 0},
      {"https://labels.example.com:8443", "https://labels.example.com:8443", "labels.example.com", 0},
      {"https://*.shop.example.com", "https://[*.]shop.example.com", "*.shop.example.com", 0},
      {"http://*.shop.example.com:8080", "http://[*.]shop.example.com:8080", "*.shop.example.com", 0},
      {"https://localhost.example.com", "https://localhost.example.com", "localhost.example.com", 0},
      // Firefox would read these as destinations too, open to every site.
      {"http://[::1]:8080", "http://[::1]:8080", "", 1},
      {"http://127.0.0.1:8080", "http://127.0.0.1:8080", "", 1},
      {"http://localhost:3000", "http://localhost:3000", "", 1},
      {"http://app.localhost:3000", "http://app.localhost:3000", "", 1},
      {"https://10.0.0.5", "https://10.0.0.5", "", 1},
      {"null", "", "", 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> skipped;
    std::vector<std::string> chromium = ChromiumPatterns(Entries({c.entry}), &skipped);
    std::vector<std::string> firefox = FirefoxSkipDomains(Entries({c.entry}), &skipped);
    EXPECT_EQ(chromium, c.chromium.empty() ? std::vector<std::string>() : std::vector<std::string>{c.chromium})
        << c.entry;
    EXPECT_EQ(firefox, c.firefox.empty() ? std::vector<std::string>() : std::vector<std::string>{c.firefox})
        << c.entry;
    EXPECT_EQ(skipped.size(), c.skipped) << c.entry << ": one line per browser that leaves it out";
  }
  // Names without scheme and port repeat in Firefox's list; once is enough.
  std::vector<std::string> skipped;
  EXPECT_EQ(FirefoxSkipDomains(Entries({"https://a.example", "http://a.example:81"}), &skipped),
            std::vector<std::string>{"a.example"});
}

TEST(BrowserPolicies, ChromiumFileNamesBothPolicyNamesOrIsRemoved) {
  EXPECT_EQ(ChromiumPolicyText({}), "");
  EXPECT_TRUE(SameJson(ChromiumPolicyText({"https://a.example", "https://[*.]b.example"}),
                       R"({"LoopbackNetworkAllowedForUrls": ["https://a.example", "https://[*.]b.example"],
                           "LocalNetworkAccessAllowedForUrls": ["https://a.example", "https://[*.]b.example"]})"));
}

TEST(BrowserPolicies, FirefoxMergeKeepsOthersPoliciesAndTakesOutOnlyOurs) {
  const std::string others =
      R"({"policies": {"DisableTelemetry": true,
                       "LocalNetworkAccess": {"Locked": true, "SkipDomains": ["intranet.example", "a.example"]}}})";
  struct Case {
    const char* name;
    const std::string* existing;
    std::vector<std::string> domains;
    std::string expected;  // "" when the file is to be removed
  } cases[] = {
      {"a file of our own", nullptr, {"a.example", "*.b.example"},
       R"({"policies": {"LocalNetworkAccess": {"SkipDomains": ["a.example", "*.b.example"]}},
           "printgate": {"created": true, "SkipDomains": ["a.example", "*.b.example"]}})"},
      {"nothing to add and no file", nullptr, {}, ""},
      {"someone else's file: theirs stay theirs", &others, {"a.example", "*.b.example"},
       R"({"policies": {"DisableTelemetry": true,
                        "LocalNetworkAccess": {"Locked": true,
                                               "SkipDomains": ["intranet.example", "a.example", "*.b.example"]}},
           "printgate": {"created": false, "SkipDomains": ["*.b.example"]}})"},
  };
  for (const Case& c : cases) {
    FirefoxMerge merge = MergeFirefoxPolicies(c.existing, c.domains);
    ASSERT_TRUE(merge.ok) << c.name << ": " << merge.why;
    EXPECT_EQ(merge.removeFile, c.expected.empty() && c.existing == nullptr) << c.name;
    if (!c.expected.empty()) {
      EXPECT_TRUE(SameJson(merge.text, c.expected)) << c.name << ":\n" << merge.text;
    }

    // A later run with another list replaces ours; --remove restores the
    // file as it was before us, or removes the one we created.
    if (c.expected.empty()) continue;
    FirefoxMerge changed = MergeFirefoxPolicies(&merge.text, {"c.example"});
    ASSERT_TRUE(changed.ok);
    EXPECT_EQ(changed.text.find("b.example"), std::string::npos) << c.name;
    FirefoxMerge removed = MergeFirefoxPolicies(&changed.text, {});
    ASSERT_TRUE(removed.ok);
    if (c.existing == nullptr) {
      EXPECT_TRUE(removed.removeFile) << c.name;
    } else {
      EXPECT_FALSE(removed.removeFile);
      EXPECT_TRUE(SameJson(removed.text, *c.existing)) << c.name << ":\n" << removed.text;
    }
  }
}

TEST(BrowserPolicies, FirefoxFileWeCannotReadIsLeftAlone) {
  for (const std::string& text : {std::string("{not json"), std::string("[1]"),
                                  std::string(R"({"policies": {"LocalNetworkAccess": {"SkipDomains": "a"}}})"),
                                  std::string(R"({"policies": []})")}) {
    FirefoxMerge merge = MergeFirefoxPolicies(&text, {"a.example"});
    EXPECT_FALSE(merge.ok) << text;
    EXPECT_FALSE(merge.why.empty());
  }
}

}  // namespace
