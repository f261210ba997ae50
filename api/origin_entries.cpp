// Cutting a configuration place's texts into the allowlist's entries.
#include "api/origin_entries.h"

#include "intake/split_string.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::vector<RawEntry> SplitEntries(const OriginSource& source) {
  std::vector<RawEntry> entries;
  if (source.format == kOriginLines) {
    for (const std::string& text : source.texts) {
      std::vector<std::string> lines = SplitString(text, "\n");
      for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        // An origin never holds "#": it starts a comment at the line's
        // start or after a blank.
        for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
          if (hash == 0 || IsBlank(line[hash - 1])) {
            line.resize(hash);
            break;
          }
        }
        line = Trim(line);
        if (!line.empty()) entries.push_back({line, source.where + ":" + std::to_string(i + 1)});
      }
    }
  } else if (source.format == kOriginStrings) {
    for (const std::string& text : source.texts) {
      std::string entry = Trim(text);
      if (!entry.empty()) entries.push_back({entry, source.where});
    }
  } else {
    for (const std::string& text : source.texts) {
      std::string entry;
      for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || IsBlank(text[i]) || text[i] == ';') {
          if (!entry.empty()) entries.push_back({entry, source.where});
          entry.clear();
        } else {
          entry += text[i];
        }
      }
    }
  }
  return entries;
}
