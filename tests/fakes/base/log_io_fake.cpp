// In-memory backend of the log writer's seam, for the writer's unit tests.
#include "tests/fakes/base/log_io_fake.h"

#include <mutex>
#include <set>

namespace {
struct FakeState {
  std::mutex lock;
  FakeLogIoFaults faults;
  LogIoTime time;
  uint64_t ticks = 1000;
  std::set<std::string> folders{""};
  std::map<std::string, std::string> files;
  std::vector<std::string> calls;
  // Open handles point at their path's name as it was at open time.
  std::map<int, std::string> handles;
  int nextHandle = 1;
};
FakeState fake;

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
}  // namespace

void FakeLogIoReset() {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.faults = FakeLogIoFaults();
  fake.time = LogIoTime{2026, 12, 9, 8, 30, 0, 0};
  fake.ticks = 1000;
  fake.folders = {""};
  fake.files.clear();
  fake.calls.clear();
  fake.handles.clear();
}

void FakeLogIoSetFaults(const FakeLogIoFaults& faults) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.faults = faults;
}

void FakeLogIoSetTime(const LogIoTime& time) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.time = time;
}

void FakeLogIoAdvance(uint64_t milliseconds) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.ticks += milliseconds;
}

void FakeLogIoAddFolder(const std::string& folder) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.folders.insert(folder);
}

std::map<std::string, std::string> FakeLogIoFiles() {
  std::lock_guard<std::mutex> guard(fake.lock);
  return fake.files;
}

std::vector<std::string> FakeLogIoCalls() {
  std::lock_guard<std::mutex> guard(fake.lock);
  return fake.calls;
}

LogIoTime LogIoNow() {
  std::lock_guard<std::mutex> guard(fake.lock);
  return fake.time;
}

uint64_t LogIoTicks() {
  std::lock_guard<std::mutex> guard(fake.lock);
  return fake.ticks;
}

uint32_t LogIoProcessId() { return 4242; }

LogIoHandle LogIoOpenAppend(const std::string& path, uint64_t* size, uint32_t* error) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.calls.push_back("open " + path);
  if (fake.faults.openError != 0) {
    *error = fake.faults.openError;
    return nullptr;
  }
  if (fake.folders.count(FolderOf(path)) == 0) {
    *error = 3;
    return nullptr;
  }
  *size = fake.files[path].size();
  int id = fake.nextHandle++;
  fake.handles[id] = path;
  return reinterpret_cast<LogIoHandle>(static_cast<intptr_t>(id));
}

bool LogIoAppend(LogIoHandle handle, const char* data, size_t length, uint32_t* error) {
  std::lock_guard<std::mutex> guard(fake.lock);
  const std::string& path = fake.handles.at(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
  fake.calls.push_back("append " + path + " " + std::to_string(length));
  if (fake.faults.appendError != 0) {
    *error = fake.faults.appendError;
    return false;
  }
  fake.files[path].append(data, length);
  return true;
}

void LogIoClose(LogIoHandle handle) {
  if (handle == nullptr) return;
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.handles.erase(static_cast<int>(reinterpret_cast<intptr_t>(handle)));
}

bool LogIoReplace(const std::string& from, const std::string& to, uint32_t* error) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.calls.push_back("replace " + from + " " + to);
  if (fake.faults.replaceError != 0) {
    *error = fake.faults.replaceError;
    return false;
  }
  auto found = fake.files.find(from);
  if (found == fake.files.end()) {
    *error = 2;
    return false;
  }
  fake.files[to] = found->second;
  fake.files.erase(from);
  return true;
}

bool LogIoMakeFolders(const std::string& folder, uint32_t* error) {
  std::lock_guard<std::mutex> guard(fake.lock);
  fake.calls.push_back("folders " + folder);
  if (fake.faults.foldersError != 0) {
    *error = fake.faults.foldersError;
    return false;
  }
  for (std::string f = folder; !f.empty(); f = FolderOf(f)) fake.folders.insert(f);
  return true;
}

std::string LogIoUserDataFolder() { return "C:\\Users\\desk\\AppData\\Local"; }
