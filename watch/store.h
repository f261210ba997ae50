// Seam: the registry under HKEY_LOCAL_MACHINE and the configuration files.
//
// Backends, one linked per target:
//   watch/win/store_win.cpp        Reg*A, CreateFileA/WriteFile
//   watch/linux/store_posix.cpp    every key is one settings file of
//                                  "Name = value" lines (store_posix.h),
//                                  read afresh at each open; POSIX files
//   tests/fakes/watch/store_fake.cpp  in memory, for the unit tests
// Error codes are Win32 codes, except the Linux backend's open, create and
// write failures, which are errno values. Every call blocks only on the
// local registry or file system, never on a device or the network.
#pragma once

#include <cstdint>

typedef void* RegKey;  // null: not open

// Opens HKEY_LOCAL_MACHINE\<path>. With `create`, RegCreateKeyExA with
// REG_OPTION_NON_VOLATILE and KEY_ALL_ACCESS (the key is created when
// missing); without, RegOpenKeyExA with KEY_READ. Null on failure, with the
// system error code in *error. On Linux `create` creates nothing: a
// settings file that is missing or unreadable fails with its errno value.
RegKey RegistryOpenMachineKey(const char* path, bool create, uint32_t* error);

// Reads the value `name` into `buffer`, at most `capacity` bytes, whatever
// its type. True when the value was read; false when it is missing (2) or
// longer than `capacity` (234), with the code in *error. Bytes beyond what
// the value holds are left as they were.
bool RegistryReadValue(RegKey key, const char* name, char* buffer, uint32_t capacity, uint32_t* error);

// Closes a key. Accepts null.
void RegistryCloseKey(RegKey key);

enum FileWriteResult {
  FileWritten,
  FileCreateFailed,  // *error holds the system error code
  FileWriteFailed,   // created (and left) but the bytes didn't all reach it
};

// Creates or truncates the file at `path` (CREATE_ALWAYS, shared read and
// write), writes `length` bytes and closes it. Blocks on the file system.
FileWriteResult FileWriteWhole(const char* path, const void* data, uint32_t length, uint32_t* error);
