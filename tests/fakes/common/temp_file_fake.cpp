// In-memory backend of the temporary file seam: a table of files by path.
#include "common/temp_file.h"
#include "tests/fakes/common/temp_file_fake.h"

#include <map>
#include <mutex>

namespace {
std::mutex fakeMutex;
FakeTempFileFaults faults;
std::map<std::wstring, std::string> files;
std::vector<std::string> calls;

// Windows reads a run of backslashes inside a path as one separator.
std::wstring CanonicalPath(const std::wstring& path) {
  std::wstring canonical;
  for (wchar_t c : path) {
    if (c == L'\\' && !canonical.empty() && canonical.back() == L'\\') continue;
    canonical += c;
  }
  return canonical;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}
}  // namespace

bool GetCommonDocumentsFolder(std::wstring* folder) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("folder");
  if (faults.folderFails) return false;
  *folder = faults.documentsFolder;
  return true;
}

WriteFileResult WriteWholeFile(const std::wstring& path, const char* data, size_t size) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  calls.push_back("write " + Narrow(path));
  if (faults.openFails) return kFileNotOpened;
  std::string& content = files[CanonicalPath(path)];
  if (faults.writeShort) {
    content.assign(data, size / 2);
    return kFileIncomplete;
  }
  content.assign(data, size);
  return kFileWritten;
}

void ResetFakeTempFiles() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  faults = FakeTempFileFaults{};
  files.clear();
  calls.clear();
}

void SetFakeTempFileFaults(const FakeTempFileFaults& newFaults) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  faults = newFaults;
}

bool FakeFileContent(const std::wstring& path, std::string* content) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  auto found = files.find(CanonicalPath(path));
  if (found == files.end()) return false;
  *content = found->second;
  return true;
}

void SetFakeFileContent(const std::wstring& path, const std::string& content) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  files[CanonicalPath(path)] = content;
}

std::vector<std::string> FakeTempFileCalls() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return calls;
}
