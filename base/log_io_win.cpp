// The log writer's seam over kernel32 and shell32. Paths are UTF-8 on the
// seam and UTF-16 here, so a user name outside the ANSI code page still
// reaches its own folder.
#include <windows.h>
#include <shlobj.h>

#include "base/log_io.h"
#include "base/wide_text_win.h"

namespace {

std::string Utf8(const std::wstring& wide) { return NarrowText(wide.data(), wide.size()); }

}  // namespace

LogIoTime LogIoNow() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return LogIoTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

uint64_t LogIoTicks() { return GetTickCount64(); }

uint32_t LogIoProcessId() { return GetCurrentProcessId(); }

LogIoHandle LogIoOpenAppend(const std::string& path, uint64_t* size, uint32_t* error) {
  // Append-only access: every write lands at the current end, also when
  // another process appended since.
  HANDLE file = CreateFileW(WideText(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  LARGE_INTEGER length;
  *size = GetFileSizeEx(file, &length) ? static_cast<uint64_t>(length.QuadPart) : 0;
  return file;
}

bool LogIoAppend(LogIoHandle handle, const char* data, size_t length, uint32_t* error) {
  DWORD written = 0;
  if (!WriteFile(static_cast<HANDLE>(handle), data, static_cast<DWORD>(length), &written, nullptr)) {
    *error = GetLastError();
    return false;
  }
  if (written != length) {
    *error = ERROR_DISK_FULL;
    return false;
  }
  return true;
}

void LogIoClose(LogIoHandle handle) {
  if (handle != nullptr) CloseHandle(static_cast<HANDLE>(handle));
}

bool LogIoReplace(const std::string& from, const std::string& to, uint32_t* error) {
  if (!MoveFileExW(WideText(from).c_str(), WideText(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

bool LogIoMakeFolders(const std::string& folder, uint32_t* error) {
  std::wstring wide = WideText(folder);
  // Each prefix that ends before a separator, the drive ("C:") failing
  // harmlessly with "access denied" or "already exists".
  for (size_t i = 1; i <= wide.size(); ++i) {
    if (i < wide.size() && wide[i] != L'\\' && wide[i] != L'/') continue;
    CreateDirectoryW(wide.substr(0, i).c_str(), nullptr);
  }
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
    return false;
  }
  return true;
}

std::string LogIoUserDataFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return std::string();
  return Utf8(folder);
}

std::string LogIoGbkToUtf8(const std::string& bytes) { return Utf8(WideText(bytes, 936)); }
