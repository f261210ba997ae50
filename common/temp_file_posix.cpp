// POSIX backend of the temporary file seam (Linux, macOS): a per-user folder
// stands in for the all-users Documents folder, and paths are opened with
// their backslashes read as separators.
//
// The folder is $XDG_STATE_HOME/printgate (default ~/.local/state/printgate)
// on Linux and ~/Library/Application Support/printgate on macOS, created
// with mode 0700. It holds no backslash, so the shared path rule keeps it
// whole and appends "\tempVQ.JPG": the file is <folder>/tempVQ.JPG. A shared
// folder such as /tmp would let another user plant a symlink there and have
// printgate overwrite what it points to; so the folder must belong to this
// user and be writable by nobody else, and the file itself is never opened
// through a symlink.
#include "common/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/whole_io.h"
#include "common/home_folder.h"
#include "common/wide_bytes.h"

namespace {

std::string LabelFolderPath() {
#if defined(__APPLE__)
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  return home + "/Library/Application Support/printgate";
#else
  // A relative XDG_STATE_HOME is invalid and ignored, as the XDG rules say.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/printgate";
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  return home + "/.local/state/printgate";
#endif
}

// The user's own folder that nobody else may write into.
bool IsPrivateFolder(const struct stat& info) {
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 022) == 0;
}

// Creates the missing folders of path, each with mode 0700.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = slash == std::string::npos ? path : path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

bool GetCommonDocumentsFolder(std::wstring* folder) {
  std::string path = LabelFolderPath();
  // A backslash would make the shared rule cut the folder there.
  if (path.empty() || path.find('\\') != std::string::npos) return false;
  if (!MakeFolders(path)) return false;
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !IsPrivateFolder(info)) return false;
  *folder = WidenBytes(path);
  return true;
}

WriteFileResult WriteWholeFile(const std::wstring& path, const char* data, size_t size) {
  std::string bytes;
  if (!NarrowPosixPath(path, &bytes)) return kFileNotOpened;
  size_t slash = bytes.rfind('/');
  if (slash == std::string::npos || slash + 1 == bytes.size()) return kFileNotOpened;
  std::string folderPath = slash == 0 ? "/" : bytes.substr(0, slash);
  std::string name = bytes.substr(slash + 1);

  // The folder is checked as it is opened, so a swap after the lookup is
  // caught too; the file is opened relative to it and never through a link.
  int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return kFileNotOpened;
  struct stat info;
  if (fstat(folder, &info) != 0 || !IsPrivateFolder(info)) {
    close(folder);
    return kFileNotOpened;
  }
  // O_NONBLOCK: a FIFO put in the file's place fails instead of hanging.
  int file = openat(folder, name.c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  close(folder);
  if (file < 0) return kFileNotOpened;
  if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(file);
    return kFileNotOpened;
  }
  bool whole = WriteWhole(file, data, size);
  bool closed = close(file) == 0;
  return whole && closed ? kFileWritten : kFileIncomplete;
}
