// The log writer: stamps, bounds and appends lines; rotates at the size
// bound; skips a file it can't write and says so once. The file stays open
// between lines (an open and a close per line cost a print about a
// millisecond a line under Wine), shared and append-only, so that a second
// copy of the program appends to the same file; it is opened afresh at the
// bound, after a failure and once a minute, so that a file another copy
// rotated, or someone deleted, is left for the current one.
#include "base/log_file.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/log_io.h"

namespace {

struct LogState {
  std::mutex lock;
  std::string path;
  uint64_t maxBytes = kLogFileBytes;
  LogNotice notice = nullptr;
  bool noticeGiven = false;
  bool folderMade = false;
  bool failing = false;
  LogIoHandle file = nullptr;
  uint64_t openedAt = 0;
  uint64_t size = 0;        // of the open file, as far as this process wrote it
  uint64_t failedAt = 0;
  uint64_t skipped = 0;
  std::string partial;      // a line still waiting for its end
  size_t partialCut = 0;    // bytes of it beyond the bound, dropped
};
LogState logState;

// Length of the UTF-8 sequence starting at text[i], or 0 when none starts
// there.
size_t Utf8SequenceAt(const std::string& text, size_t i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  // Overlong two-byte forms and surrogates are not text.
  if (length == 2 && lead < 0xC2) return 0;
  if (length == 3) {
    unsigned char next = static_cast<unsigned char>(text[i + 1]);
    if ((lead == 0xE0 && next < 0xA0) || (lead == 0xED && next >= 0xA0)) return 0;
  }
  if (length == 4) {
    unsigned char next = static_cast<unsigned char>(text[i + 1]);
    if ((lead == 0xF0 && next < 0x90) || lead > 0xF4 || (lead == 0xF4 && next >= 0x90)) return 0;
  }
  return length;
}

bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    size_t length = Utf8SequenceAt(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// The line as it is written: control characters visible, at most the bound
// (never cutting a character), and a note of what was cut.
std::string PrintableLine(const std::string& line, size_t alreadyCut) {
  std::string out;
  size_t i = 0;
  while (i < line.size()) {
    size_t length = Utf8SequenceAt(line, i);
    if (length == 0) length = 1;
    unsigned char c = static_cast<unsigned char>(line[i]);
    std::string piece = line.substr(i, length);
    if (length == 1 && c != '\t' && (c < 0x20 || c == 0x7F || c >= 0x80)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      piece = escaped;
    }
    if (out.size() + piece.size() > kLogLineBytes) break;
    out += piece;
    i += length;
  }
  size_t cut = line.size() - i + alreadyCut;
  if (cut > 0) out += " [" + std::to_string(cut) + " more bytes cut]";
  return out;
}

std::string Stamped(const std::string& line, size_t cut) {
  LogIoTime now = LogIoNow();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%u] ", now.year, now.month, now.day,
                now.hour, now.minute, now.second, now.millisecond, static_cast<unsigned>(LogIoProcessId()));
  return stamp + PrintableLine(line, cut) + "\r\n";
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Another writer (a second copy of the program) may have rotated the file
// between our open and our rename; the rename then fails with 2 and the
// next open finds its fresh file.
LogIoHandle OpenRotating(LogState& s, uint32_t* error) {
  LogIoHandle file = LogIoOpenAppend(s.path, &s.size, error);
  if (file == nullptr && *error == 3 && !s.folderMade) {
    uint32_t folderError = 0;
    s.folderMade = LogIoMakeFolders(FolderOf(s.path), &folderError);
    file = LogIoOpenAppend(s.path, &s.size, error);
  }
  if (file == nullptr || s.size < s.maxBytes) return file;
  LogIoClose(file);
  uint32_t renameError = 0;
  LogIoReplace(s.path, LogFilePredecessor(s.path), &renameError);
  return LogIoOpenAppend(s.path, &s.size, error);
}

void CloseFile(LogState& s) {
  LogIoClose(s.file);
  s.file = nullptr;
}

// The open file, opened afresh when it is due; null when it can't be.
LogIoHandle CurrentFile(LogState& s, uint64_t now, uint32_t* error) {
  if (s.file != nullptr && (s.size >= s.maxBytes || now - s.openedAt >= kLogReopenMs)) CloseFile(s);
  if (s.file == nullptr) {
    s.file = OpenRotating(s, error);
    s.openedAt = now;
  }
  return s.file;
}

// Called with the lock held.
void AppendRecord(LogState& s, const std::string& record) {
  if (s.path.empty()) return;
  uint64_t now = LogIoTicks();
  if (s.failing && now - s.failedAt < kLogRetryMs) {
    ++s.skipped;
    return;
  }
  uint32_t error = 0;
  LogIoHandle file = CurrentFile(s, now, &error);
  std::string bytes = record;
  if (s.skipped > 0) {
    bytes = Stamped(std::to_string(s.skipped) + " lines were not written: the log file could not be written", 0) +
            record;
  }
  bool written = file != nullptr && LogIoAppend(file, bytes.data(), bytes.size(), &error);
  if (written) {
    s.size += bytes.size();
    s.failing = false;
    s.skipped = 0;
    return;
  }
  CloseFile(s);
  s.failing = true;
  s.failedAt = now;
  ++s.skipped;
  if (!s.noticeGiven && s.notice != nullptr) {
    s.noticeGiven = true;
    s.notice("log file " + s.path + " cannot be written (error " + std::to_string(error) +
             "); its lines are skipped until it can");
  }
}

}  // namespace

void LogFileOpen(const std::string& path, uint64_t maxBytes) {
  std::lock_guard<std::mutex> guard(logState.lock);
  // Another file may fail anew, and then deserves its own notice.
  if (path != logState.path) {
    CloseFile(logState);
    logState.partial.clear();
    logState.partialCut = 0;
    logState.folderMade = false;
    logState.failing = false;
    logState.noticeGiven = false;
    logState.skipped = 0;
  }
  logState.path = path;
  logState.maxBytes = maxBytes;
}

std::string LogFilePredecessor(const std::string& path) {
  const std::string extension = ".log";
  if (path.size() > extension.size() && path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
    return path.substr(0, path.size() - extension.size()) + ".1" + extension;
  }
  return path + ".1";
}

void LogFileSetNotice(LogNotice notice) {
  std::lock_guard<std::mutex> guard(logState.lock);
  logState.notice = notice;
}

void LogFileWrite(const std::string& text) {
  std::lock_guard<std::mutex> guard(logState.lock);
  LogState& s = logState;
  if (s.path.empty()) return;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t stop = end == std::string::npos ? text.size() : end;
    size_t room = kLogLineBytes * 4 > s.partial.size() ? kLogLineBytes * 4 - s.partial.size() : 0;
    size_t take = std::min(room, stop - start);
    s.partial.append(text, start, take);
    s.partialCut += stop - start - take;
    if (end == std::string::npos) break;
    if (!s.partial.empty() && s.partial.back() == '\r') s.partial.pop_back();
    if (!s.partial.empty() || s.partialCut > 0) AppendRecord(s, Stamped(s.partial, s.partialCut));
    s.partial.clear();
    s.partialCut = 0;
    start = end + 1;
  }
}

std::string LogTextUtf8(const std::string& bytes) { return IsUtf8(bytes) ? bytes : LogIoGbkToUtf8(bytes); }

uint64_t LogFileSkippedLines() {
  std::lock_guard<std::mutex> guard(logState.lock);
  return logState.skipped;
}
