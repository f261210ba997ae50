// Win32 backend of the memory budget's setting: the value "MemoryBudgetMiB"
// under HKLM\Software\VELQ\printgate, a REG_DWORD or a REG_SZ of digits.
#include "api/budget_config.h"

#include <windows.h>

#include "base/wide_text_win.h"

std::vector<OriginSource> ReadBudgetSources() {
  std::vector<OriginSource> sources;
  OriginSource source;
  source.where = "HKLM\\Software\\VELQ\\printgate\\MemoryBudgetMiB";
  HKEY key = nullptr;
  // The 64-bit view, where a 64-bit installer writes, whatever this build.
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\VELQ\\printgate", 0,
                              KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return sources;
  if (opened != ERROR_SUCCESS) {
    source.why = "error " + std::to_string(opened);
    sources.push_back(source);
    return sources;
  }
  wchar_t data[64] = {};
  DWORD type = 0;
  DWORD size = sizeof(data) - sizeof(wchar_t);
  LONG queried = RegQueryValueExW(key, L"MemoryBudgetMiB", nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (queried == ERROR_FILE_NOT_FOUND) return sources;
  if (queried == ERROR_MORE_DATA) {
    source.why = "longer than a number";
  } else if (queried != ERROR_SUCCESS) {
    source.why = "error " + std::to_string(queried);
  } else if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD value = 0;
    memcpy(&value, data, sizeof(value));
    source.readable = true;
    source.texts.push_back(std::to_string(value));
  } else if (type == REG_SZ) {
    source.readable = true;
    size_t length = size / sizeof(wchar_t);
    while (length > 0 && data[length - 1] == L'\0') --length;
    source.texts.push_back(NarrowText(data, length));
  } else {
    source.why = "a value of type " + std::to_string(type) + ", not REG_DWORD or REG_SZ";
  }
  sources.push_back(source);
  return sources;
}
