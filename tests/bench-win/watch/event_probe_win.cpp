// Bench tool: reads an event as Event Viewer does. It finds the source's
// message file in the registry (EventMessageFile under the Application
// log's key of the source), loads it as data and formats the message of one
// event id with the insertion strings given, then prints the file and the
// text. Wine keeps no event log, so this is how the bench shows that the
// MSI's registration and printerwatch.exe's message table fit together.
// Usage: event_probe <source> <event id, hex> [insertion strings...]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: event_probe <source> <event id, hex> [strings...]\n");
    return 2;
  }
  std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + argv[1];
  char raw[MAX_PATH] = {};
  DWORD size = sizeof raw - 1;
  DWORD type = 0;
  LONG rc = RegGetValueA(HKEY_LOCAL_MACHINE, key.c_str(), "EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                         RRF_NOEXPAND, &type, raw, &size);
  if (rc != ERROR_SUCCESS) {
    std::printf("no EventMessageFile for %s: error %ld\n", argv[1], rc);
    return 1;
  }
  char file[MAX_PATH] = {};
  ExpandEnvironmentStringsA(raw, file, MAX_PATH);
  std::printf("file %s (%s)\n", file, type == REG_EXPAND_SZ ? "REG_EXPAND_SZ" : "REG_SZ");
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) {
    std::printf("cannot load %s: error %lu\n", file, GetLastError());
    return 1;
  }
  DWORD id = std::strtoul(argv[2], nullptr, 16);
  std::vector<DWORD_PTR> strings;
  for (int i = 3; i < argc; ++i) strings.push_back(reinterpret_cast<DWORD_PTR>(argv[i]));
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                module, id, 0, reinterpret_cast<char*>(&text), 0,
                                reinterpret_cast<va_list*>(strings.empty() ? nullptr : strings.data()));
  if (length == 0) {
    std::printf("no message %08lx: error %lu\n", id, GetLastError());
    return 1;
  }
  std::printf("text %s", text);
  LocalFree(text);
  FreeLibrary(module);
  return 0;
}
