// Win32 backend of the policy registry seam: HKLM in the 64-bit view, text
// as UTF-8 outside and UTF-16 inside.
#include "policies/policy_registry.h"

#include <windows.h>

#include "base/wide_text_win.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
// Policy keys hold a few short strings; anything larger is not one of them.
constexpr DWORD kMaxValueBytes = 1 << 20;

std::string ErrorText(LONG error) { return "error " + std::to_string(error); }

// Opens key; kRegistryMissing when it doesn't exist.
RegistryRead OpenKey(const std::string& key, REGSAM access, HKEY* handle, std::string* why) {
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, WideText(key).c_str(), 0, access | kView, handle);
  if (opened == ERROR_SUCCESS) return kRegistryRead;
  if (opened == ERROR_FILE_NOT_FOUND) return kRegistryMissing;
  *why = ErrorText(opened);
  return kRegistryFailed;
}

// One value's data as UTF-16 code units, its terminators kept.
LONG QueryValue(HKEY handle, const std::wstring& name, DWORD* type, std::wstring* data) {
  DWORD size = 0;
  LONG queried = RegQueryValueExW(handle, name.c_str(), nullptr, type, nullptr, &size);
  if (queried != ERROR_SUCCESS) return queried;
  if (size > kMaxValueBytes) return ERROR_MORE_DATA;
  data->assign(size / sizeof(wchar_t) + 2, L'\0');
  DWORD got = size;
  queried = RegQueryValueExW(handle, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(&(*data)[0]), &got);
  data->resize(got / sizeof(wchar_t));
  return queried;
}

bool SetValue(const std::string& key, const std::string& name, DWORD type, const std::wstring& data,
              std::string* why) {
  HKEY handle = nullptr;
  RegistryRead opened = OpenKey(key, KEY_SET_VALUE, &handle, why);
  if (opened == kRegistryMissing) *why = "no key " + key;
  if (opened != kRegistryRead) return false;
  LONG set = RegSetValueExW(handle, WideText(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  if (set != ERROR_SUCCESS) *why = ErrorText(set);
  return set == ERROR_SUCCESS;
}

}  // namespace

RegistryRead ReadRegistryStrings(const std::string& key, std::map<std::string, std::string>* values,
                                 std::string* why) {
  HKEY handle = nullptr;
  RegistryRead opened = OpenKey(key, KEY_QUERY_VALUE, &handle, why);
  if (opened != kRegistryRead) return opened;
  values->clear();
  RegistryRead result = kRegistryRead;
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD nameLength = sizeof(name) / sizeof(name[0]);
    LONG listed = RegEnumValueW(handle, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (listed == ERROR_NO_MORE_ITEMS) break;
    DWORD type = 0;
    std::wstring data;
    if (listed == ERROR_SUCCESS) listed = QueryValue(handle, name, &type, &data);
    if (listed != ERROR_SUCCESS) {
      *why = ErrorText(listed);
      result = kRegistryFailed;
      break;
    }
    bool text = type == REG_SZ || type == REG_EXPAND_SZ;
    while (text && !data.empty() && data.back() == L'\0') data.pop_back();
    (*values)[NarrowText(name, nameLength)] = text ? NarrowText(data.data(), data.size()) : std::string();
  }
  RegCloseKey(handle);
  return result;
}

RegistryRead ReadRegistryList(const std::string& key, const std::string& name, std::vector<std::string>* strings,
                              std::string* why) {
  HKEY handle = nullptr;
  RegistryRead opened = OpenKey(key, KEY_QUERY_VALUE, &handle, why);
  if (opened != kRegistryRead) return opened;
  DWORD type = 0;
  std::wstring data;
  LONG queried = QueryValue(handle, WideText(name), &type, &data);
  RegCloseKey(handle);
  if (queried == ERROR_FILE_NOT_FOUND) return kRegistryMissing;
  if (queried != ERROR_SUCCESS || type != REG_MULTI_SZ) {
    *why = queried != ERROR_SUCCESS ? ErrorText(queried) : "a value of type " + std::to_string(type);
    return kRegistryFailed;
  }
  strings->clear();
  size_t start = 0;
  for (size_t i = 0; i <= data.size(); ++i) {
    if (i == data.size() || data[i] == L'\0') {
      if (i > start) strings->push_back(NarrowText(data.data() + start, i - start));
      start = i + 1;
    }
  }
  return kRegistryRead;
}

bool CreateRegistryKey(const std::string& key, std::vector<std::string>* created, std::string* why) {
  // One level at a time, to learn which levels are new.
  for (size_t end = key.find('\\');; end = key.find('\\', end + 1)) {
    std::string level = key.substr(0, end);
    HKEY handle = nullptr;
    DWORD disposition = 0;
    LONG made = RegCreateKeyExW(HKEY_LOCAL_MACHINE, WideText(level).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_QUERY_VALUE | kView, nullptr, &handle, &disposition);
    if (made != ERROR_SUCCESS) {
      *why = level + ": " + ErrorText(made);
      return false;
    }
    RegCloseKey(handle);
    if (disposition == REG_CREATED_NEW_KEY) created->push_back(level);
    if (end == std::string::npos) return true;
  }
}

bool WriteRegistryString(const std::string& key, const std::string& name, const std::string& text,
                         std::string* why) {
  return SetValue(key, name, REG_SZ, WideText(text), why);
}

bool WriteRegistryList(const std::string& key, const std::string& name, const std::vector<std::string>& strings,
                       std::string* why) {
  std::wstring data;
  for (const std::string& text : strings) data += WideText(text) + L'\0';
  // SetValue adds the list's final terminator.
  return SetValue(key, name, REG_MULTI_SZ, data, why);
}

bool DeleteRegistryValue(const std::string& key, const std::string& name, std::string* why) {
  HKEY handle = nullptr;
  RegistryRead opened = OpenKey(key, KEY_SET_VALUE, &handle, why);
  if (opened != kRegistryRead) return opened == kRegistryMissing;
  LONG deleted = RegDeleteValueW(handle, WideText(name).c_str());
  RegCloseKey(handle);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) *why = ErrorText(deleted);
  return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
}

bool DeleteEmptyRegistryKey(const std::string& key, bool* gone, std::string* why) {
  *gone = false;
  HKEY handle = nullptr;
  RegistryRead opened = OpenKey(key, KEY_QUERY_VALUE, &handle, why);
  if (opened != kRegistryRead) {
    *gone = opened == kRegistryMissing;
    return *gone;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  LONG queried = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                  nullptr, nullptr, nullptr);
  RegCloseKey(handle);
  if (queried != ERROR_SUCCESS) {
    *why = ErrorText(queried);
    return false;
  }
  if (subkeys != 0 || values != 0) return true;
  LONG deleted = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, WideText(key).c_str(), kView, 0);
  if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) {
    *why = ErrorText(deleted);
    return false;
  }
  *gone = true;
  return true;
}
