// The site list in the browsers' registry policies: which numbers we take
// in lists that others share, and that taking ours out leaves exactly what
// others had.
#include "policies/registry_policies.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fakes/policies/policy_registry_fake.h"

namespace {

typedef std::map<std::string, std::string> Values;

const std::string kChrome = "SOFTWARE\\Policies\\Google\\Chrome";
const std::string kChromeList = kChrome + "\\LoopbackNetworkAllowedForUrls";
const std::string kEdgeList = "SOFTWARE\\Policies\\Microsoft\\Edge\\LocalNetworkAccessAllowedForUrls";
const std::string kFirefoxList = "SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains";

std::vector<AllowedOrigin> Entries(const std::vector<std::string>& texts) {
  std::vector<AllowedOrigin> entries;
  for (const std::string& text : texts) {
    AllowedOrigin entry;
    std::string why;
    EXPECT_TRUE(ParseOriginEntry(text, &entry, &why)) << text;
    entries.push_back(entry);
  }
  return entries;
}

// The registry flattened: "key\name" -> text (lists joined with "|"), and
// "key" -> "" for every key, so that an empty key left behind shows.
Values Machine() {
  Values flat;
  for (const auto& key : FakeRegistry()) {
    flat[key.first] = "";
    for (const auto& value : key.second) {
      std::string text = value.second.text;
      for (const std::string& item : value.second.strings) text += item + "|";
      flat[key.first + "\\" + value.first] = text;
    }
  }
  return flat;
}

Values ListValues(const std::string& key) {
  Values values;
  auto registry = FakeRegistry();
  for (const auto& value : registry[key]) values[value.first] = value.second.text;
  return values;
}

void SetString(const std::string& key, const std::string& name, const std::string& text) {
  FakeRegistryValue value;
  value.text = text;
  SetFakeRegistryValue(key, name, value);
}

bool Apply(const std::vector<std::string>& texts, std::vector<std::string>* lines = nullptr) {
  std::vector<std::string> ignored;
  return ApplyRegistryPolicies(Entries(texts), lines != nullptr ? lines : &ignored);
}

class RegistryPolicies : public ::testing::Test {
 protected:
  // A machine as the browsers' policies find it: the policies key, and
  // printgate's own key, which the installer makes.
  void SetUp() override {
    ResetFakeRegistry();
    AddFakeRegistryKey("SOFTWARE\\Policies");
    AddFakeRegistryKey(kPolicyRecordKey);
    baseline_ = Machine();
  }
  Values baseline_;
};

TEST(PlanList, TakesFreeNumbersAndTouchesOnlyOurs) {
  struct Case {
    const char* name;
    Values present, oursBefore;
    std::vector<std::string> wanted;
    Values write;
    std::vector<std::string> remove;
    Values ours;
  } cases[] = {
      {"empty key", {}, {}, {"a", "b"}, {{"1", "a"}, {"2", "b"}}, {}, {{"1", "a"}, {"2", "b"}}},
      {"others' numbers skipped, gaps filled", {{"1", "x"}, {"3", "y"}}, {}, {"a", "b"},
       {{"2", "a"}, {"4", "b"}}, {}, {{"2", "a"}, {"4", "b"}}},
      {"a text others list stays theirs", {{"1", "a"}}, {}, {"a", "b"}, {{"2", "b"}}, {}, {{"2", "b"}}},
      {"a value of another type holds its number", {{"1", ""}}, {}, {"a"}, {{"2", "a"}}, {}, {{"2", "a"}}},
      {"ours kept in place, dropped, added", {{"1", "x"}, {"2", "a"}, {"3", "b"}}, {{"2", "a"}, {"3", "b"}},
       {"b", "c"}, {{"2", "c"}}, {"2"}, {{"2", "c"}, {"3", "b"}}},
      {"a value someone rewrote is theirs now", {{"1", "changed"}}, {{"1", "a"}}, {}, {}, {}, {}},
      {"a value someone deleted is forgotten", {}, {{"1", "a"}}, {"a"}, {{"1", "a"}}, {}, {{"1", "a"}}},
      {"all of ours out, others stay", {{"1", "x"}, {"2", "a"}}, {{"2", "a"}}, {}, {}, {"2"}, {}},
      {"a text wanted twice once", {}, {}, {"a", "a"}, {{"1", "a"}}, {}, {{"1", "a"}}},
  };
  for (const Case& c : cases) {
    ListPlan plan = PlanList(c.present, c.oursBefore, c.wanted);
    EXPECT_EQ(plan.write, c.write) << c.name;
    EXPECT_EQ(plan.remove, c.remove) << c.name;
    EXPECT_EQ(plan.ours, c.ours) << c.name;
  }
}

TEST_F(RegistryPolicies, EachBrowsersListsAndTheirRemoval) {
  std::vector<std::string> lines;
  ASSERT_TRUE(Apply({"https://labels.example.com", "https://*.shop.example.com", "http://127.0.0.1:8080"}, &lines));
  Values chromium = {{"1", "https://labels.example.com"}, {"2", "https://[*.]shop.example.com"},
                     {"3", "http://127.0.0.1:8080"}};
  for (const char* browser : {"SOFTWARE\\Policies\\Google\\Chrome\\", "SOFTWARE\\Policies\\Microsoft\\Edge\\"}) {
    for (const char* name : {"LoopbackNetworkAllowedForUrls", "LocalNetworkAccessAllowedForUrls"}) {
      EXPECT_EQ(ListValues(std::string(browser) + name), chromium) << browser << name;
    }
  }
  EXPECT_EQ(ListValues(kFirefoxList), (Values{{"1", "labels.example.com"}, {"2", "*.shop.example.com"}}));
  EXPECT_EQ(lines.size(), 1u) << "the address left out of Firefox's list";
  std::vector<std::string> record = FakeRegistry()[kPolicyRecordKey][kPolicyRecordValues].strings;
  EXPECT_EQ(record.size(), 4u * 3 + 2);
  EXPECT_NE(std::find(record.begin(), record.end(), kChromeList + "\\3=http://127.0.0.1:8080"), record.end());

  ASSERT_TRUE(Apply({}));
  EXPECT_EQ(Machine(), baseline_) << "every key we created gone, and the record with them";
}

TEST_F(RegistryPolicies, OthersPoliciesStayExactlyAsTheyWere) {
  SetString(kChrome, "HomepageLocation", "https://intranet.example");
  SetString(kChromeList, "1", "https://intranet.example");
  SetString(kFirefoxList, "1", "labels.example.com");
  FakeRegistryValue number;
  number.type = FakeRegistryValue::kOther;
  SetFakeRegistryValue(kEdgeList, "1", number);
  Values before = Machine();

  ASSERT_TRUE(Apply({"https://labels.example.com"}));
  EXPECT_EQ(ListValues(kChromeList), (Values{{"1", "https://intranet.example"}, {"2", "https://labels.example.com"}}));
  EXPECT_EQ(ListValues(kEdgeList), (Values{{"1", ""}, {"2", "https://labels.example.com"}}));
  EXPECT_EQ(ListValues(kFirefoxList), (Values{{"1", "labels.example.com"}})) << "theirs already";
  // Run again, as a repair or an upgrade does: nothing moves.
  Values installed = Machine();
  ASSERT_TRUE(Apply({"https://labels.example.com"}));
  EXPECT_EQ(Machine(), installed);

  ASSERT_TRUE(Apply({}));
  EXPECT_EQ(Machine(), before);
}

TEST_F(RegistryPolicies, ANewListKeepsTheNumbersOfWhatStays) {
  ASSERT_TRUE(Apply({"https://a.example", "https://b.example"}));
  ASSERT_TRUE(Apply({"https://b.example", "https://c.example"}));
  EXPECT_EQ(ListValues(kChromeList), (Values{{"1", "https://c.example"}, {"2", "https://b.example"}}));
}

TEST_F(RegistryPolicies, AValueSomeoneRewroteIsNotTakenOut) {
  ASSERT_TRUE(Apply({"https://a.example"}));
  SetString(kChromeList, "1", "https://theirs.example");
  ASSERT_TRUE(Apply({}));
  EXPECT_EQ(ListValues(kChromeList), (Values{{"1", "https://theirs.example"}}));
  EXPECT_EQ(Machine().count(std::string(kPolicyRecordKey) + "\\" + kPolicyRecordKeys), 0u)
      << "a key that holds others' values is theirs now";
}

TEST_F(RegistryPolicies, AFailedWriteIsReportedAndWhatWasWrittenStillComesOut) {
  AddFakeRegistryKey(kEdgeList);
  Values before = Machine();
  FakeRegistryFaults faults;
  faults.failWritesUnder = kEdgeList;
  SetFakeRegistryFaults(faults);
  std::vector<std::string> lines;
  EXPECT_FALSE(Apply({"https://a.example"}, &lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].find(kEdgeList + "\\1: can't be written"), 0u) << lines[0];
  EXPECT_EQ(ListValues(kChromeList), (Values{{"1", "https://a.example"}}));

  SetFakeRegistryFaults(FakeRegistryFaults());
  ASSERT_TRUE(Apply({}));
  EXPECT_EQ(Machine(), before);
}

TEST_F(RegistryPolicies, AnUnreadableRecordTouchesNothing) {
  SetString(kChromeList, "1", "https://a.example");
  SetString(kPolicyRecordKey, kPolicyRecordValues, std::string(kChromeList) + "\\1=https://a.example");
  Values before = Machine();
  std::vector<std::string> lines;
  EXPECT_FALSE(Apply({}, &lines));
  EXPECT_EQ(Machine(), before);
  EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
