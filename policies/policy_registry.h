// Platform seam for the browsers' machine policies on Windows: string values
// of keys under HKEY_LOCAL_MACHINE, always in the 64-bit view (where a 64-bit
// installer writes and the browsers read). Key paths are relative to HKLM,
// with backslashes ("SOFTWARE\\Policies\\Google\\Chrome"). Every call blocks
// only for the registry call itself.
//
// Backends: policy_registry_win.cpp (Win32);
// tests/fakes/policies/policy_registry_fake.cpp (in memory).
#pragma once
#include <map>
#include <string>
#include <vector>

enum RegistryRead {
  kRegistryRead,     // the data was read
  kRegistryMissing,  // no such key (or value)
  kRegistryFailed,   // there, but can't be read as asked: why says so
};

// Every value of key as name -> text: REG_SZ and REG_EXPAND_SZ with their
// text, any other type with "" (its name is taken all the same).
RegistryRead ReadRegistryStrings(const std::string& key, std::map<std::string, std::string>* values,
                                 std::string* why);

// The strings of one REG_MULTI_SZ value; kRegistryFailed for another type.
RegistryRead ReadRegistryList(const std::string& key, const std::string& name, std::vector<std::string>* strings,
                              std::string* why);

// Creates key and every missing key above it. Appends each key this call
// created to created, the topmost first. False with why.
bool CreateRegistryKey(const std::string& key, std::vector<std::string>* created, std::string* why);

// Sets a REG_SZ value of an existing key. False with why.
bool WriteRegistryString(const std::string& key, const std::string& name, const std::string& text,
                         std::string* why);

// Sets a REG_MULTI_SZ value of an existing key. False with why.
bool WriteRegistryList(const std::string& key, const std::string& name, const std::vector<std::string>& strings,
                       std::string* why);

// Deletes one value; a missing key or value is success. False with why.
bool DeleteRegistryValue(const std::string& key, const std::string& name, std::string* why);

// Deletes key if it holds neither values nor subkeys; *gone tells whether
// the key is absent afterwards (deleted now, or missing before). False
// with why when the key can't be read or deleted.
bool DeleteEmptyRegistryKey(const std::string& key, bool* gone, std::string* why);
