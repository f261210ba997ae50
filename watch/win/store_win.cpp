// Store seam over the registry (HKEY_LOCAL_MACHINE) and CreateFileA/WriteFile.
#include <windows.h>

#include "watch/store.h"

RegKey RegistryOpenMachineKey(const char* path, bool create, uint32_t* error) {
  HKEY key = nullptr;
  LONG rc = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr)
                   : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    *error = static_cast<uint32_t>(rc);
    return nullptr;
  }
  return key;
}

bool RegistryReadValue(RegKey key, const char* name, char* buffer, uint32_t capacity, uint32_t* error) {
  DWORD type = 0;
  DWORD size = capacity;
  LONG rc = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (rc != ERROR_SUCCESS) {
    *error = static_cast<uint32_t>(rc);
    return false;
  }
  return true;
}

void RegistryCloseKey(RegKey key) {
  if (key != nullptr) RegCloseKey(static_cast<HKEY>(key));
}

FileWriteResult FileWriteWhole(const char* path, const void* data, uint32_t length, uint32_t* error) {
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return FileCreateFailed;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, data, length, &written, nullptr);
  if (!ok) *error = GetLastError();
  CloseHandle(file);
  return ok && written == length ? FileWritten : FileWriteFailed;
}
