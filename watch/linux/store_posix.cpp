// Store seam over a settings file and POSIX files, for the Linux service.
//
// Both registry keys the service reads ("SOFTWARE\<service name>" with
// PrinterName, DriverName and PrinterPort, and "Software\VELQ" with
// "Data Directory") are one file of "Name = value" lines, read afresh every
// time a key is opened, so every pass sees the file as it is then:
//
//   # /etc/printerwatch.conf
//   PrinterName = VELQ
//   DriverName = Zebra ZPL Label Printer
//   PrinterPort = usb://Zebra/LP2844
//   Data Directory = /var/lib/printerwatch
#include "watch/store.h"
#include "watch/linux/store_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>

#include "base/ascii.h"
#include "base/whole_io.h"
#include "base/win_error.h"

static std::mutex settingsLock;
static std::string settingsFile = kDefaultSettingsFile;

void SetSettingsFile(const char* path) {
  std::lock_guard<std::mutex> guard(settingsLock);
  settingsFile = path;
}

static std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

struct SettingsKey {
  std::map<std::string, std::string> values;
};

// A file that is missing or can't be read fails the open, so the previous
// settings stay, as they do when the registry key can't be opened; the file
// is never created (nothing here writes below /etc).
RegKey RegistryOpenMachineKey(const char* path, bool create, uint32_t* error) {
  (void)path;
  (void)create;
  std::string file;
  {
    std::lock_guard<std::mutex> guard(settingsLock);
    file = settingsFile;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *error = static_cast<uint32_t>(errno != 0 ? errno : ENOENT);
    return nullptr;
  }
  std::stringstream whole;
  whole << in.rdbuf();
  if (in.bad()) {
    *error = static_cast<uint32_t>(errno != 0 ? errno : EIO);
    return nullptr;
  }
  auto* key = new SettingsKey;
  std::string line;
  while (std::getline(whole, line)) {
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    // Value names compare without regard to case, as the registry's do.
    key->values[AsciiLower(Trim(text.substr(0, equals)))] = Trim(text.substr(equals + 1));
  }
  return key;
}

// Like REG_SZ: the text and its terminator must fit `capacity`.
bool RegistryReadValue(RegKey key, const char* name, char* buffer, uint32_t capacity, uint32_t* error) {
  const auto* settings = static_cast<const SettingsKey*>(key);
  auto found = settings->values.find(AsciiLower(name));
  if (found == settings->values.end()) {
    *error = kErrorFileNotFound;
    return false;
  }
  const std::string& value = found->second;
  if (value.size() + 1 > capacity) {
    *error = kErrorMoreData;
    return false;
  }
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  return true;
}

void RegistryCloseKey(RegKey key) { delete static_cast<SettingsKey*>(key); }

// The file path arrives in the Windows form "<directory>\<queue>.bin": the
// last backslash is the separator. A queue name holding a slash would
// reach outside the data directory, so such a path is refused.
FileWriteResult FileWriteWhole(const char* path, const void* data, uint32_t length, uint32_t* error) {
  std::string file = path;
  size_t separator = file.rfind('\\');
  if (separator != std::string::npos) {
    if (file.find('/', separator) != std::string::npos) {
      *error = kErrorInvalidName;
      return FileCreateFailed;
    }
    file[separator] = '/';
  }
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return FileCreateFailed;
  }
  bool written = WriteWhole(fd, data, length);
  if (!written) *error = static_cast<uint32_t>(errno);
  bool closed = close(fd) == 0;
  return written && closed ? FileWritten : FileWriteFailed;
}
