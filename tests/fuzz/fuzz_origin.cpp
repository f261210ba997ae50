// Fuzzes the site allowlist's parsing and matching. Input: an entry, a
// newline, then a request's Origin value. Checks that a parsed entry is
// written back in a form that parses to itself, that an exact entry admits
// its own serialisation, and that whatever is admitted is a browser's form of
// an origin the entry covers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "api/origin_list.h"
#include "common/diag.h"

namespace {
void Check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "check failed at line %d\n", line);
  std::abort();
}

void Quiet(const std::string&) {}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetDiagSink(Quiet);
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string entryText = input.substr(0, newline);
  std::string origin = newline == std::string::npos ? std::string() : input.substr(newline + 1);

  AllowedOrigin entry;
  std::string why;
  bool parsed = ParseOriginEntry(entryText, &entry, &why);
  Check(parsed || !why.empty());
  OriginPolicy policy;
  policy.active = true;
  if (parsed) {
    std::string written = SerializeOrigin(entry);
    AllowedOrigin again;
    Check(ParseOriginEntry(written, &again, &why));
    Check(SerializeOrigin(again) == written);
    policy.entries.push_back(entry);
    if (!entry.wildcard) Check(IsOriginListed(policy, written));
  }

  if (IsOriginListed(policy, origin)) {
    Check(parsed);
    for (char c : origin) Check(c > 0x20 && c < 0x7f);
    if (entry.isNull || !entry.wildcard) {
      Check(origin == SerializeOrigin(entry));
    } else {
      std::string port = entry.port == (entry.scheme == "https" ? 443 : 80) ? "" : ":" + std::to_string(entry.port);
      Check(origin.rfind(entry.scheme + "://", 0) == 0);
      Check(EndsWith(origin, "." + entry.host + port));
      Check(origin.size() > entry.scheme.size() + 3 + entry.host.size() + 1 + port.size());
    }
  }
  std::vector<std::string> hosts = {origin};
  JudgeRequest(policy, hosts, {origin, entryText}, 6780);
  return 0;
}
