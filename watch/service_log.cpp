// Where printerwatch's changes, failures and (on request) traces go: the
// log writer of base/ and the event log seam. The texts are the program's
// narrow (ANSI/GBK) text; the log gets them as UTF-8, the event log as
// they are.
#include "watch/service_log.h"

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/format.h"
#include "base/log_file.h"
#include "watch/bounded.h"
#include "watch/discovery.h"
#include "watch/event_ids.h"
#include "watch/event_log.h"
#include "watch/service.h"
#include "watch/store.h"
#include "watch/trace.h"

namespace {

std::mutex passLock;
std::string logPath;
int passFailures = 0;
std::string firstFailure;

void Report(uint16_t type, uint32_t id, const std::vector<std::string>& strings) {
  uint32_t error = 0;
  EventLogReport(szServiceName.c_str(), type, id, strings, &error);
}

void NoticeToEventLog(const std::string& text) {
  Report(kEventWarning, kEventLogUnwritable, {szServiceName, text});
}

// The value as the registry gives it: a DWORD's four bytes, or text.
bool ReadFlag(RegKey key, const char* name) {
  char value[kPathBytes] = {};
  uint32_t error = 0;
  if (!RegistryReadValue(key, name, value, kPathBytes - 1, &error)) return false;
  uint32_t dword = 0;
  std::memcpy(&dword, value, sizeof dword);
  return dword == 1 || std::strcmp(value, "1") == 0;
}

std::string LogPathIn(const std::string& folder) {
  if (folder.empty()) return std::string();
  char separator = folder.find('\\') == std::string::npos && folder.find('/') != std::string::npos ? '/' : '\\';
  std::string trimmed = folder;
  while (trimmed.size() > 1 && (trimmed.back() == '\\' || trimmed.back() == '/')) trimmed.pop_back();
  return LogTextUtf8(trimmed) + separator + kServiceLogName;
}

}  // namespace

void ServiceLogLoadSettings() {
  uint32_t error = 0;
  std::string folder;
  RegKey key = RegistryOpenMachineKey("Software\\VELQ", false, &error);
  if (key != nullptr) {
    char value[kPathBytes] = {};
    if (RegistryReadValue(key, "Data Directory", value, kPathBytes - 1, &error)) folder = value;
    RegistryCloseKey(key);
  }
  bool trace = false;
  key = RegistryOpenMachineKey(("SOFTWARE\\" + szServiceName).c_str(), false, &error);
  if (key != nullptr) {
    trace = ReadFlag(key, "Trace");
    RegistryCloseKey(key);
  }
  std::lock_guard<std::mutex> guard(passLock);
  logPath = LogPathIn(folder);
  LogFileSetNotice(NoticeToEventLog);
  LogFileOpen(logPath);
  SetTraceToLog(trace);
}

std::string ServiceLogPath() {
  std::lock_guard<std::mutex> guard(passLock);
  return logPath;
}

void LogChange(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  LogFileWrite(LogTextUtf8(text) + "\n");
}

void LogFailure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> guard(passLock);
    // The event's text is bounded as the log's lines are.
    if (passFailures++ == 0) firstFailure = text.substr(0, kLogLineBytes);
  }
  LogFileWrite(LogTextUtf8("failed: " + text) + "\n");
}

void ServiceLogBeginPass() {
  std::lock_guard<std::mutex> guard(passLock);
  passFailures = 0;
  firstFailure.clear();
}

void ServiceLogEndPass() {
  int failures = 0;
  std::string first;
  std::string path;
  {
    std::lock_guard<std::mutex> guard(passLock);
    failures = passFailures;
    first = firstFailure;
    path = logPath;
  }
  if (failures == 0) return;
  LogFileWrite("pass ended with " + std::to_string(failures) + " failure(s)\n");
  Report(kEventError, kEventPassFailed, {szServiceName, std::to_string(failures), first, path});
}

void ServiceLogStarted() {
  LogFileWrite(LogTextUtf8("service " + szServiceName + " started") + "\n");
  Report(kEventInformation, kEventStarted, {szServiceName, ServiceLogPath()});
}

void ServiceLogStopped() {
  LogFileWrite(LogTextUtf8("service " + szServiceName + " stopped") + "\n");
  Report(kEventInformation, kEventStopped, {szServiceName});
}

void ServiceLogHandlerFailed(uint32_t error) {
  Report(kEventError, kEventHandlerFailed, {szServiceName, std::to_string(error)});
}
