// Test controls of the in-memory registry (HKEY_LOCAL_MACHINE only) and file
// system. Key and value names compare without regard to case, as Windows'.
#pragma once

#include <map>
#include <string>
#include <vector>

// What fails; FakeStoreReset clears it.
struct FakeStoreFaults {
  bool registryDenied = false;  // opening or creating any key fails with 5 (access denied)
  bool fileCreateFails = false; // creating any file fails with 3 (path not found)
};

void FakeStoreReset();
void FakeStoreSetFaults(const FakeStoreFaults& faults);
// Sets a string value as REG_SZ stores it: its bytes and a terminator.
// Creates the key.
void FakeRegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value);
// Sets raw bytes (no terminator added).
void FakeRegistrySetBytes(const std::string& keyPath, const std::string& name, const std::string& bytes);
void FakeRegistryCreateKey(const std::string& keyPath);
bool FakeRegistryHasKey(const std::string& keyPath);

// Files written, by path as given.
std::map<std::string, std::vector<unsigned char>> FakeFiles();
