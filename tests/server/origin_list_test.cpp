// The site allowlist's rules over the fake configuration seam: which
// entries are origins, which request origins they admit, how places add up,
// and the Host check.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fakes/api/origin_config_fake.h"
#include "api/origin_list.h"
#include "tests/support/test_server.h"

namespace {

OriginSource FileSource(const std::string& text, const std::string& where = "/etc/printgate/allowed-origins") {
  OriginSource source;
  source.where = where;
  source.readable = true;
  source.format = kOriginLines;
  source.texts = {text};
  return source;
}

// The policy a server would load from these places, as it loads it.
OriginPolicy Load(const std::vector<OriginSource>& sources) {
  FakeOriginSourcesSet(sources);
  OriginPolicy policy = LoadOriginPolicy();
  FakeOriginSourcesReset();
  return policy;
}

struct MatchCase {
  const char* entry;
  const char* origin;
  bool listed;
};

TEST(OriginMatching, EachRuleOnItsOwnCase) {
  const MatchCase cases[] = {
      // Scheme, host and port compare exactly.
      {"https://labels.example.com", "https://labels.example.com", true},
      {"https://labels.example.com", "http://labels.example.com", false},
      {"https://labels.example.com", "https://labels.example.com:8443", false},
      {"https://labels.example.com", "https://other.example.com", false},
      // Default ports are implied, in entries; browsers never write them.
      {"https://labels.example.com:443", "https://labels.example.com", true},
      {"http://labels.example.com:80", "http://labels.example.com", true},
      {"https://labels.example.com", "https://labels.example.com:443", false},
      {"http://localhost:8080", "http://localhost:8080", true},
      {"http://localhost:8080", "http://localhost", false},
      {"http://localhost:08080", "http://localhost:8080", true},
      // Entries may be written in any case; a request is the browser's
      // serialisation byte for byte, so case or a trailing dot differ.
      {"HTTPS://Labels.Example.COM", "https://labels.example.com", true},
      {"https://labels.example.com", "https://LABELS.example.com", false},
      {"https://labels.example.com", "https://labels.example.com.", false},
      {"https://labels.example.com.", "https://labels.example.com.", true},
      {"https://labels.example.com", "https://labels.example.com/", false},
      {"https://labels.example.com", " https://labels.example.com", false},
      {"https://labels.example.com", "", false},
      // "*." stands for one or more labels, never for the name itself.
      {"https://*.example.com", "https://a.example.com", true},
      {"https://*.example.com", "https://a.b.example.com", true},
      {"https://*.example.com", "https://example.com", false},
      {"https://*.example.com", "https://aexample.com", false},
      {"https://*.example.com", "https://a.example.com.evil.test", false},
      {"https://*.example.com", "http://a.example.com", false},
      {"https://*.example.com", "https://a.example.com:8443", false},
      {"https://*.example.com:8443", "https://a.example.com:8443", true},
      {"https://*.example.com", "https://*.example.com", false},
      // "null" only when listed, and only as browsers send it.
      {"null", "null", true},
      {"NULL", "null", true},
      {"https://labels.example.com", "null", false},
      {"null", "NULL", false},
      // Addresses as browsers write them.
      {"http://127.0.0.1:5000", "http://127.0.0.1:5000", true},
      {"http://127.0.0.1:5000", "http://127.1:5000", false},
      {"http://[0:0::1]:8080", "http://[::1]:8080", true},
      {"http://[2001:DB8:0:0:1:0:0:1]", "http://[2001:db8::1:0:0:1]", true},
      {"http://[::1]:8080", "http://[0::1]:8080", false},
  };
  for (const MatchCase& c : cases) {
    OriginPolicy policy = Load({FileSource(c.entry)});
    ASSERT_TRUE(policy.active);
    ASSERT_EQ(policy.entries.size(), 1u) << c.entry;
    EXPECT_EQ(IsOriginListed(policy, c.origin), c.listed) << c.entry << " / " << c.origin;
  }
}

TEST(OriginMatching, EntriesThatAreNotOriginsAreSkippedOneLineEachAndAdmitNothing) {
  const std::vector<std::string> bad = {
      "labels.example.com",                  // no scheme
      "https://labels.example.com/",         // a path, however short
      "https://labels.example.com/print",    // a path
      "https://labels.example.com?x=1",      // a query
      "ftp://labels.example.com",            // not a web origin
      "https://user@labels.example.com",     // user information
      "https://",                            // no host
      "https://*",                           // a wildcard over nothing
      "https://*.",                          // the same
      "https://a*.example.com",              // "*" inside a label
      "https://*.*.example.com",             // "*" twice
      "https://*.1.2.3.4",                   // a wildcard over an address
      "https://labels.example.com:0",        // ports run from 1
      "https://labels.example.com:65536",    //   to 65535
      "https://labels.example.com:",         // an empty port
      "https://labels.example.com:http",     // not a number
      "http://01.2.3.4",                     // browsers would read another address
      "http://0x7f.1",                       // the same
      "http://[::1",                         // no closing bracket
      "http://[::ffff:1.2.3.4]",             // an IPv4 tail
      "http://[1::2::3]",                    // two gaps
      "http://::1",                          // brackets missing
      "https://lab els.example.com",         // a blank
      "https://\xc3\xa9tiquette.example",    // not ASCII
      "\xff\xfe\x01garbage",                 // bytes
      "https://a..example.com",              // an empty label
      "https://" + std::string(600, 'a'),    // overlong
  };
  std::string text;
  for (const std::string& entry : bad) text += entry + "\n";
  StartDiagCapture();
  OriginPolicy policy = Load({FileSource(text)});
  std::string diag = DiagOutput();
  StopDiagCapture();
  EXPECT_TRUE(policy.active);
  EXPECT_TRUE(policy.entries.empty());
  size_t skipped = 0;
  for (size_t at = diag.find("allowed origins: skipped "); at != std::string::npos;
       at = diag.find("allowed origins: skipped ", at + 1)) {
    ++skipped;
  }
  EXPECT_EQ(skipped, bad.size()) << diag;
  EXPECT_NE(diag.find("skipped \"labels.example.com\" at /etc/printgate/allowed-origins:1 (no scheme"),
            std::string::npos) << diag;
  EXPECT_NE(diag.find("skipped \"\\xff\\xfe\\x01garbage\""), std::string::npos) << diag;
  EXPECT_NE(diag.find("skipped \"https://aaaa"), std::string::npos);
  EXPECT_NE(diag.find("...\" at /etc/printgate/allowed-origins:27 (longer than 512 bytes)"), std::string::npos)
      << diag;
  EXPECT_NE(diag.find("allowed origins: 0 from /etc/printgate/allowed-origins; pages of other origins are refused"),
            std::string::npos);
  for (const char* origin : {"https://labels.example.com", "http://[::1]", "null", "https://a.example.com"}) {
    EXPECT_FALSE(IsOriginListed(policy, origin)) << origin;
  }
}

TEST(OriginMatching, FilesStringsAndSeparatedTextAddUpAcrossPlaces) {
  OriginSource strings;
  strings.where = "HKLM\\Software\\VELQ\\printgate\\AllowedOrigins";
  strings.readable = true;
  strings.format = kOriginStrings;
  strings.texts = {" https://a.example ", "", "https://b.example:8443"};
  OriginSource separated = strings;
  separated.format = kOriginSeparated;
  separated.texts = {"https://c.example;https://d.example \t https://e.example;;"};
  OriginSource file = FileSource(
      "# the labels site\n"
      "https://f.example   # trailing note\r\n"
      "\n"
      "   https://g.example\n"
      "https://h.example#fragment\n",
      "/home/u/.config/printgate/allowed-origins");
  OriginPolicy policy = Load({strings, separated, file});
  ASSERT_TRUE(policy.active);
  std::vector<std::string> serialised;
  for (const AllowedOrigin& entry : policy.entries) serialised.push_back(SerializeOrigin(entry));
  EXPECT_EQ(serialised, (std::vector<std::string>{"https://a.example", "https://b.example:8443", "https://c.example",
                                                  "https://d.example", "https://e.example", "https://f.example",
                                                  "https://g.example"}));
}

TEST(OriginMatching, UnreadablePlacesCountOnlyWhenNothingElseIsConfigured) {
  OriginSource unreadable;
  unreadable.where = "/etc/printgate/allowed-origins";
  unreadable.why = "Permission denied";

  StartDiagCapture();
  OriginPolicy none = Load({});
  EXPECT_FALSE(none.active);
  EXPECT_EQ(DiagOutput(), "");  // no list: not a byte more on the output

  StartDiagCapture();
  OriginPolicy alone = Load({unreadable});
  EXPECT_FALSE(alone.active);
  EXPECT_EQ(DiagOutput(),
            "allowed origins: /etc/printgate/allowed-origins cannot be read (Permission denied); "
            "no other list is configured, so every page may call printgate\n");

  StartDiagCapture();
  OriginPolicy withUser = Load({unreadable, FileSource("https://a.example\n", "/home/u/.config/printgate/allowed-origins")});
  EXPECT_TRUE(withUser.active);
  EXPECT_EQ(DiagOutput(),
            "allowed origins: /etc/printgate/allowed-origins cannot be read (Permission denied), left out\n"
            "allowed origins: 1 from /home/u/.config/printgate/allowed-origins; pages of other origins are refused\n");
  StopDiagCapture();
  EXPECT_TRUE(IsOriginListed(withUser, "https://a.example"));

  OriginPolicy onlyComments = Load({FileSource("# nobody yet\n\n")});
  EXPECT_TRUE(onlyComments.active);
  EXPECT_FALSE(IsOriginListed(onlyComments, "https://a.example"));
}

struct JudgeCase {
  std::vector<std::string> hosts;
  std::vector<std::string> origins;
  GateVerdict verdict;
};

TEST(OriginGateRules, HostAndOriginHeaders) {
  OriginPolicy policy = Load({FileSource("https://a.example\nnull\n")});
  const JudgeCase cases[] = {
      {{"127.0.0.1:6780"}, {}, kGateServe},
      {{"localhost:6780"}, {}, kGateServe},
      {{"127.0.0.1:6780"}, {"https://a.example"}, kGateServeOrigin},
      {{"127.0.0.1:6780"}, {"null"}, kGateServeOrigin},
      {{"127.0.0.1:6780"}, {"https://b.example"}, kGateRefuseOrigin},
      {{"127.0.0.1:6780"}, {"https://a.example", "https://a.example"}, kGateRefuseOrigin},
      {{"127.0.0.1:6780"}, {"https://b.example", "https://a.example"}, kGateRefuseOrigin},
      // A page on a name rebound to 127.0.0.1 sends that name.
      {{"rebind.example:6780"}, {}, kGateRefuseHost},
      {{"rebind.example:6780"}, {"https://a.example"}, kGateRefuseHost},
      {{"127.0.0.1"}, {}, kGateRefuseHost},
      {{"127.0.0.1:6781"}, {}, kGateRefuseHost},
      {{"LOCALHOST:6780"}, {}, kGateRefuseHost},
      {{"localhost.:6780"}, {}, kGateRefuseHost},
      {{}, {}, kGateRefuseHost},
      {{"127.0.0.1:6780", "127.0.0.1:6780"}, {}, kGateRefuseHost},
  };
  for (const JudgeCase& c : cases) {
    EXPECT_EQ(JudgeRequest(policy, c.hosts, c.origins, 6780), c.verdict)
        << (c.hosts.empty() ? "-" : c.hosts[0]) << " / " << (c.origins.empty() ? "-" : c.origins[0]);
  }
  OriginPolicy noList = Load({});
  EXPECT_EQ(JudgeRequest(noList, {"rebind.example:6780"}, {"https://b.example", "x"}, 6780), kGateServe);
}

}  // namespace
