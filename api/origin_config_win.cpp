// Win32 backend of the allowlist configuration: the value "AllowedOrigins"
// under HKLM\Software\VELQ\printgate, a REG_MULTI_SZ (one entry a string) or
// a REG_SZ (entries separated by blanks or semicolons).
#include "api/origin_config.h"

#include <windows.h>

#include "base/wide_text_win.h"

namespace {

const wchar_t kKeyPath[] = L"Software\\VELQ\\printgate";
const wchar_t kValueName[] = L"AllowedOrigins";
const char kWhere[] = "HKLM\\Software\\VELQ\\printgate\\AllowedOrigins";

// A list is a few strings; a larger value is not one.
constexpr DWORD kMaxValueBytes = 1 << 20;

std::string Utf8(const wchar_t* text, int length) {
  if (length <= 0) return std::string();
  std::string narrow = NarrowText(text, static_cast<size_t>(length));
  return narrow.empty() ? std::string("\x7f") : narrow;  // unconvertible: never an origin
}

std::string ErrorText(LONG error) { return "error " + std::to_string(error); }

}  // namespace

std::vector<OriginSource> ReadOriginSources() {
  std::vector<OriginSource> sources;
  OriginSource source;
  source.where = kWhere;
  HKEY key = nullptr;
  // The 64-bit view, where a 64-bit installer writes, whatever this build.
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return sources;
  if (opened != ERROR_SUCCESS) {
    source.why = ErrorText(opened);
    sources.push_back(source);
    return sources;
  }
  DWORD type = 0;
  DWORD size = 0;
  LONG queried = RegQueryValueExW(key, kValueName, nullptr, &type, nullptr, &size);
  if (queried == ERROR_FILE_NOT_FOUND) {
    RegCloseKey(key);
    return sources;
  }
  if (queried != ERROR_SUCCESS) {
    source.why = ErrorText(queried);
  } else if (type != REG_MULTI_SZ && type != REG_SZ && type != REG_EXPAND_SZ) {
    source.why = "a value of type " + std::to_string(type) + ", not REG_MULTI_SZ or REG_SZ";
  } else if (size > kMaxValueBytes) {
    source.why = "larger than 1 MiB";
  } else {
    // Room for the terminators a value may lack.
    std::wstring data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD got = size;
    queried = RegQueryValueExW(key, kValueName, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &got);
    if (queried != ERROR_SUCCESS) {
      source.why = ErrorText(queried);
    } else {
      source.readable = true;
      size_t length = got / sizeof(wchar_t);
      if (type == REG_MULTI_SZ) {
        source.format = kOriginStrings;
        size_t start = 0;
        for (size_t i = 0; i <= length; ++i) {
          if (i == length || data[i] == L'\0') {
            if (i > start) source.texts.push_back(Utf8(data.data() + start, static_cast<int>(i - start)));
            start = i + 1;
          }
        }
      } else {
        source.format = kOriginSeparated;
        while (length > 0 && data[length - 1] == L'\0') --length;
        source.texts.push_back(Utf8(data.data(), static_cast<int>(length)));
      }
    }
  }
  RegCloseKey(key);
  sources.push_back(source);
  return sources;
}
