// The policy registry seam over a table of keys in memory. Keys compare
// without case, as Windows compares them; a key with subkeys can't be
// deleted; writes need the key to exist.
#include "tests/fakes/policies/policy_registry_fake.h"

#include <algorithm>
#include <cctype>

#include "policies/policy_registry.h"

namespace {

std::map<std::string, std::map<std::string, FakeRegistryValue>> gKeys;
FakeRegistryFaults gFaults;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::map<std::string, std::map<std::string, FakeRegistryValue>>::iterator Find(const std::string& key) {
  return std::find_if(gKeys.begin(), gKeys.end(), [&](const auto& entry) { return Lower(entry.first) == Lower(key); });
}

bool HasSubkeys(const std::string& key) {
  std::string prefix = Lower(key) + "\\";
  return std::any_of(gKeys.begin(), gKeys.end(),
                     [&](const auto& entry) { return Lower(entry.first).compare(0, prefix.size(), prefix) == 0; });
}

bool WriteFails(const std::string& key, std::string* why) {
  if (gFaults.failWritesUnder.empty() || Lower(key) != Lower(gFaults.failWritesUnder)) return false;
  *why = "error 5";
  return true;
}

}  // namespace

void ResetFakeRegistry() {
  gKeys.clear();
  gFaults = FakeRegistryFaults();
}

void SetFakeRegistryFaults(const FakeRegistryFaults& faults) { gFaults = faults; }

void AddFakeRegistryKey(const std::string& key) {
  std::vector<std::string> created;
  std::string why;
  CreateRegistryKey(key, &created, &why);
}

void SetFakeRegistryValue(const std::string& key, const std::string& name, const FakeRegistryValue& value) {
  AddFakeRegistryKey(key);
  Find(key)->second[name] = value;
}

std::map<std::string, std::map<std::string, FakeRegistryValue>> FakeRegistry() { return gKeys; }

RegistryRead ReadRegistryStrings(const std::string& key, std::map<std::string, std::string>* values,
                                 std::string* why) {
  auto found = Find(key);
  if (found == gKeys.end()) return kRegistryMissing;
  if (Lower(key) == Lower(gFaults.failReadsOf)) {
    *why = "error 5";
    return kRegistryFailed;
  }
  values->clear();
  for (const auto& value : found->second) {
    (*values)[value.first] = value.second.type == FakeRegistryValue::kString ? value.second.text : "";
  }
  return kRegistryRead;
}

RegistryRead ReadRegistryList(const std::string& key, const std::string& name, std::vector<std::string>* strings,
                              std::string* why) {
  auto found = Find(key);
  if (found == gKeys.end() || found->second.count(name) == 0) return kRegistryMissing;
  const FakeRegistryValue& value = found->second[name];
  if (value.type != FakeRegistryValue::kList) {
    *why = "a value of type 1";
    return kRegistryFailed;
  }
  *strings = value.strings;
  return kRegistryRead;
}

bool CreateRegistryKey(const std::string& key, std::vector<std::string>* created, std::string*) {
  for (size_t end = key.find('\\');; end = key.find('\\', end + 1)) {
    std::string level = key.substr(0, end);
    if (Find(level) == gKeys.end()) {
      gKeys[level];
      created->push_back(level);
    }
    if (end == std::string::npos) return true;
  }
}

bool WriteRegistryString(const std::string& key, const std::string& name, const std::string& text,
                         std::string* why) {
  auto found = Find(key);
  if (found == gKeys.end()) *why = "no key " + key;
  if (found == gKeys.end() || WriteFails(key, why)) return false;
  FakeRegistryValue value;
  value.text = text;
  found->second[name] = value;
  return true;
}

bool WriteRegistryList(const std::string& key, const std::string& name, const std::vector<std::string>& strings,
                       std::string* why) {
  auto found = Find(key);
  if (found == gKeys.end()) *why = "no key " + key;
  if (found == gKeys.end() || WriteFails(key, why)) return false;
  FakeRegistryValue value;
  value.type = FakeRegistryValue::kList;
  value.strings = strings;
  found->second[name] = value;
  return true;
}

bool DeleteRegistryValue(const std::string& key, const std::string& name, std::string* why) {
  auto found = Find(key);
  if (found == gKeys.end()) return true;
  if (WriteFails(key, why)) return false;
  found->second.erase(name);
  return true;
}

bool DeleteEmptyRegistryKey(const std::string& key, bool* gone, std::string*) {
  auto found = Find(key);
  *gone = found == gKeys.end();
  if (*gone || !found->second.empty() || HasSubkeys(key)) return true;
  gKeys.erase(found);
  *gone = true;
  return true;
}
