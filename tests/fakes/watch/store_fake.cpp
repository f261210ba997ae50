// In-memory registry and files behind the store seam.
#include "watch/store.h"
#include "tests/fakes/watch/store_fake.h"

#include <cstring>
#include <mutex>

#include "base/ascii.h"
#include "tests/fakes/watch/fake_log.h"

static std::mutex storeLock;
static std::map<std::string, std::map<std::string, std::string>> registryKeys;
static FakeStoreFaults storeFaults;
static std::map<std::string, std::vector<unsigned char>> files;

void FakeStoreReset() {
  std::lock_guard<std::mutex> guard(storeLock);
  registryKeys.clear();
  storeFaults = FakeStoreFaults{};
  files.clear();
}

void FakeRegistrySetBytes(const std::string& keyPath, const std::string& name, const std::string& bytes) {
  std::lock_guard<std::mutex> guard(storeLock);
  registryKeys[AsciiLower(keyPath)][AsciiLower(name)] = bytes;
}

void FakeRegistrySetString(const std::string& keyPath, const std::string& name, const std::string& value) {
  FakeRegistrySetBytes(keyPath, name, value + std::string(1, '\0'));
}

void FakeRegistryCreateKey(const std::string& keyPath) {
  std::lock_guard<std::mutex> guard(storeLock);
  registryKeys[AsciiLower(keyPath)];
}

bool FakeRegistryHasKey(const std::string& keyPath) {
  std::lock_guard<std::mutex> guard(storeLock);
  return registryKeys.count(AsciiLower(keyPath)) != 0;
}

void FakeStoreSetFaults(const FakeStoreFaults& faults) {
  std::lock_guard<std::mutex> guard(storeLock);
  storeFaults = faults;
}

std::map<std::string, std::vector<unsigned char>> FakeFiles() {
  std::lock_guard<std::mutex> guard(storeLock);
  return files;
}

RegKey RegistryOpenMachineKey(const char* path, bool create, uint32_t* error) {
  std::lock_guard<std::mutex> guard(storeLock);
  FakeLogAdd(std::string(create ? "RegistryCreateKey " : "RegistryOpenKey ") + path);
  if (storeFaults.registryDenied) {
    *error = 5;
    return nullptr;
  }
  std::string key = AsciiLower(path);
  if (registryKeys.count(key) == 0) {
    if (!create) {
      *error = 2;
      return nullptr;
    }
    registryKeys[key];
  }
  return new std::string(key);
}

bool RegistryReadValue(RegKey key, const char* name, char* buffer, uint32_t capacity, uint32_t* error) {
  std::lock_guard<std::mutex> guard(storeLock);
  const auto& values = registryKeys[*static_cast<std::string*>(key)];
  auto found = values.find(AsciiLower(name));
  if (found == values.end()) {
    *error = 2;
    return false;
  }
  if (found->second.size() > capacity) {
    *error = 234;  // ERROR_MORE_DATA
    return false;
  }
  std::memcpy(buffer, found->second.data(), found->second.size());
  return true;
}

void RegistryCloseKey(RegKey key) { delete static_cast<std::string*>(key); }

FileWriteResult FileWriteWhole(const char* path, const void* data, uint32_t length, uint32_t* error) {
  std::lock_guard<std::mutex> guard(storeLock);
  FakeLogAdd(std::string("FileWriteWhole ") + path);
  if (storeFaults.fileCreateFails) {
    *error = 3;
    return FileCreateFailed;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  files[path] = std::vector<unsigned char>(bytes, bytes + length);
  return FileWritten;
}
