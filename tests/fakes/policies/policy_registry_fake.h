// Controls of the in-memory registry behind the policy registry seam. Keys
// are matched without regard to case, as Windows matches them.
#pragma once
#include <map>
#include <string>
#include <vector>

// One value: a string, a list of strings, or another type (a DWORD).
struct FakeRegistryValue {
  enum Type { kString, kList, kOther } type = kString;
  std::string text;
  std::vector<std::string> strings;
};

// What fails; ResetFakeRegistry clears them.
struct FakeRegistryFaults {
  std::string failWritesUnder;  // writes and deletes of values in this key fail
  std::string failReadsOf;      // reading this key's values fails
};

// Back to an empty registry, no faults.
void ResetFakeRegistry();
void SetFakeRegistryFaults(const FakeRegistryFaults& faults);
// Creates the key (and the ones above it) if needed and sets a value.
void SetFakeRegistryValue(const std::string& key, const std::string& name, const FakeRegistryValue& value);
void AddFakeRegistryKey(const std::string& key);
// The whole registry: key (as first created) -> value name -> value.
std::map<std::string, std::map<std::string, FakeRegistryValue>> FakeRegistry();
