// The registry lists of Chrome, Edge and Firefox: which texts go where, the
// choice of free numbers, and the record of ours. OS calls go through
// policy_registry.h.
#include "policies/registry_policies.h"

#include <algorithm>
#include <set>

#include "policies/browser_policies.h"
#include "policies/policy_registry.h"

const char kPolicyRecordKey[] = "Software\\VELQ\\printgate";
// REG_MULTI_SZ, one string per value of ours: "<list key>\<number>=<text>".
const char kPolicyRecordValues[] = "BrowserPolicyValues";
// REG_MULTI_SZ, the keys we created, so that they go too once empty.
const char kPolicyRecordKeys[] = "BrowserPolicyKeys";

namespace {

typedef std::map<std::string, std::map<std::string, std::string>> ValuesByKey;

// Reads the record; false when it exists and can't be read, for then no one
// can tell which values are ours and nothing may be touched.
bool ReadRecord(ValuesByKey* ours, std::vector<std::string>* keys, std::vector<std::string>* lines) {
  std::vector<std::string> strings;
  std::string why;
  for (const char* name : {kPolicyRecordValues, kPolicyRecordKeys}) {
    strings.clear();
    RegistryRead read = ReadRegistryList(kPolicyRecordKey, name, &strings, &why);
    if (read == kRegistryFailed) {
      lines->push_back(std::string("the record ") + name + " can't be read (" + why + "): no policy touched");
      return false;
    }
    if (name == kPolicyRecordKeys) {
      *keys = strings;
      continue;
    }
    for (const std::string& text : strings) {
      size_t equals = text.find('=');
      size_t slash = text.rfind('\\', equals);
      if (equals == std::string::npos || slash == std::string::npos) continue;
      (*ours)[text.substr(0, slash)][text.substr(slash + 1, equals - slash - 1)] = text.substr(equals + 1);
    }
  }
  return true;
}

bool WriteRecord(const ValuesByKey& ours, const std::vector<std::string>& keys, std::vector<std::string>* lines) {
  std::vector<std::string> values;
  for (const auto& list : ours) {
    for (const auto& value : list.second) values.push_back(list.first + "\\" + value.first + "=" + value.second);
  }
  std::string why;
  bool done = true;
  std::vector<std::string> created;
  if (!values.empty() || !keys.empty()) done = CreateRegistryKey(kPolicyRecordKey, &created, &why);
  done = done && (values.empty() ? DeleteRegistryValue(kPolicyRecordKey, kPolicyRecordValues, &why)
                                 : WriteRegistryList(kPolicyRecordKey, kPolicyRecordValues, values, &why));
  done = done && (keys.empty() ? DeleteRegistryValue(kPolicyRecordKey, kPolicyRecordKeys, &why)
                               : WriteRegistryList(kPolicyRecordKey, kPolicyRecordKeys, keys, &why));
  if (!done) lines->push_back(std::string("the record under ") + kPolicyRecordKey + " can't be written: " + why);
  return done;
}

// Brings one list key to plan; ours receives what is ours afterwards.
bool ApplyList(const std::string& key, const std::map<std::string, std::string>& oursBefore,
               const std::vector<std::string>& wanted, std::map<std::string, std::string>* ours,
               std::vector<std::string>* createdKeys, std::vector<std::string>* lines) {
  std::map<std::string, std::string> present;
  std::string why;
  RegistryRead read = ReadRegistryStrings(key, &present, &why);
  if (read == kRegistryFailed) {
    lines->push_back(key + ": can't be read (" + why + "), left as it is");
    *ours = oursBefore;
    return false;
  }
  ListPlan plan = PlanList(present, oursBefore, wanted);
  *ours = plan.ours;
  bool done = true;
  for (const std::string& number : plan.remove) {
    if (!DeleteRegistryValue(key, number, &why)) {
      lines->push_back(key + "\\" + number + ": can't be deleted: " + why);
      (*ours)[number] = oursBefore.at(number);
      done = false;
    }
  }
  if (!plan.write.empty() && !CreateRegistryKey(key, createdKeys, &why)) {
    lines->push_back(key + ": can't be created: " + why);
    for (const auto& value : plan.write) ours->erase(value.first);
    return false;
  }
  for (const auto& value : plan.write) {
    if (!WriteRegistryString(key, value.first, value.second, &why)) {
      lines->push_back(key + "\\" + value.first + ": can't be written: " + why);
      ours->erase(value.first);
      done = false;
    }
  }
  return done;
}

// Deletes the keys we created that nothing holds any more, the deepest
// first; returns the ones still there.
std::vector<std::string> RemoveEmptyKeys(const std::vector<std::string>& created, std::vector<std::string>* lines) {
  std::set<std::string> unique(created.begin(), created.end());
  std::vector<std::string> keys(unique.begin(), unique.end());
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::vector<std::string> remaining;
  for (const std::string& key : keys) {
    bool gone = false;
    std::string why;
    if (!DeleteEmptyRegistryKey(key, &gone, &why)) lines->push_back(key + ": can't be deleted: " + why);
    if (!gone) remaining.insert(remaining.begin(), key);
  }
  return remaining;
}

}  // namespace

std::vector<PolicyList> WindowsPolicyLists(const std::vector<AllowedOrigin>& entries,
                                           std::vector<std::string>* skipped) {
  std::vector<std::string> patterns = ChromiumPatterns(entries, skipped);
  std::vector<PolicyList> lists;
  // Edge reads Chromium's policies under its own key. The older name serves
  // releases from before the loopback one.
  for (const char* browser : {"SOFTWARE\\Policies\\Google\\Chrome\\", "SOFTWARE\\Policies\\Microsoft\\Edge\\"}) {
    for (const char* name : {"LoopbackNetworkAllowedForUrls", "LocalNetworkAccessAllowedForUrls"}) {
      lists.push_back({std::string(browser) + name, patterns});
    }
  }
  lists.push_back({"SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains",
                   FirefoxSkipDomains(entries, skipped)});
  return lists;
}

ListPlan PlanList(const std::map<std::string, std::string>& present,
                  const std::map<std::string, std::string>& oursBefore, const std::vector<std::string>& wanted) {
  ListPlan plan;
  std::set<std::string> taken;
  std::set<std::string> others;
  std::map<std::string, std::string> oursNow;  // text -> number
  for (const auto& value : present) {
    taken.insert(value.first);
    auto recorded = oursBefore.find(value.first);
    if (recorded != oursBefore.end() && recorded->second == value.second && !value.second.empty()) {
      oursNow[value.second] = value.first;
    } else {
      others.insert(value.second);
    }
  }
  std::vector<std::string> needed;
  std::set<std::string> seen;
  for (const std::string& text : wanted) {
    if (!seen.insert(text).second || others.count(text) != 0) continue;
    auto mine = oursNow.find(text);
    if (mine != oursNow.end()) {
      plan.ours[mine->second] = text;
    } else {
      needed.push_back(text);
    }
  }
  for (const auto& mine : oursNow) {
    if (plan.ours.count(mine.second) != 0) continue;
    plan.remove.push_back(mine.second);
    taken.erase(mine.second);
  }
  int number = 1;
  for (const std::string& text : needed) {
    while (taken.count(std::to_string(number)) != 0) ++number;
    std::string name = std::to_string(number);
    taken.insert(name);
    plan.write[name] = text;
    plan.ours[name] = text;
  }
  return plan;
}

bool ApplyRegistryPolicies(const std::vector<AllowedOrigin>& entries, std::vector<std::string>* lines) {
  ValuesByKey oursBefore;
  std::vector<std::string> createdKeys;
  if (!ReadRecord(&oursBefore, &createdKeys, lines)) return false;
  std::vector<PolicyList> lists = WindowsPolicyLists(entries, lines);
  // A list that a record names and this version no longer writes is
  // emptied of ours like any other.
  for (const auto& recorded : oursBefore) {
    bool known = std::any_of(lists.begin(), lists.end(), [&](const PolicyList& l) { return l.key == recorded.first; });
    if (!known) lists.push_back({recorded.first, {}});
  }
  ValuesByKey ours;
  bool done = true;
  for (const PolicyList& list : lists) {
    std::map<std::string, std::string> mine;
    done = ApplyList(list.key, oursBefore[list.key], list.texts, &mine, &createdKeys, lines) && done;
    if (!mine.empty()) ours[list.key] = mine;
  }
  createdKeys = RemoveEmptyKeys(createdKeys, lines);
  // With nothing of ours left, a key we once created that still stands holds
  // someone else's policies now: theirs to keep.
  if (ours.empty()) createdKeys.clear();
  return WriteRecord(ours, createdKeys, lines) && done;
}
