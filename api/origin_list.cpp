// The site allowlist's rules: parsing the administrator's entries into
// origins as browsers serialise them, and judging a request's headers.
#include "api/origin_list.h"

#include <cstdio>

#include "common/diag.h"

namespace {

// The longest origin is "https://" + a 253-byte name + ":65535"; anything
// much longer is a mistake, and is not worth parsing or printing whole.
constexpr size_t kMaxEntryBytes = 512;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerAscii(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = Lower(c);
  return lower;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

int DefaultPort(const std::string& scheme) { return scheme == "https" ? 443 : 80; }

// Splits text at every separator; empty pieces are kept.
std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == separator) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

// A dotted-decimal IPv4 address as browsers write it: four numbers of 0 to
// 255 without leading zeros.
bool IsIpv4(const std::string& host) {
  std::vector<std::string> parts = SplitAt(host, '.');
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (!AllDigits(part) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    if (std::stoi(part) > 255) return false;
  }
  return true;
}

// A bracketed IPv6 address (lower case, without its brackets) in the form
// browsers write: hex pieces without leading zeros, the first longest run of
// two or more zero pieces as "::". Addresses with an IPv4 tail or a zone are
// not accepted.
bool CanonicalIpv6(const std::string& text, std::string* canonical) {
  size_t gap = text.find("::");
  if (gap != std::string::npos && text.find("::", gap + 1) != std::string::npos) return false;
  std::vector<std::string> left;
  std::vector<std::string> right;
  if (gap == std::string::npos) {
    left = SplitAt(text, ':');
  } else {
    if (gap > 0) left = SplitAt(text.substr(0, gap), ':');
    if (gap + 2 < text.size()) right = SplitAt(text.substr(gap + 2), ':');
  }
  size_t given = left.size() + right.size();
  if (gap == std::string::npos ? given != 8 : given > 7) return false;
  unsigned pieces[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  auto parse = [](const std::string& piece, unsigned* value) {
    if (piece.empty() || piece.size() > 4) return false;
    *value = 0;
    for (char c : piece) {
      if (!IsHexDigit(c)) return false;
      *value = *value * 16 + static_cast<unsigned>(IsDigit(c) ? c - '0' : c - 'a' + 10);
    }
    return true;
  };
  for (size_t i = 0; i < left.size(); ++i) {
    if (!parse(left[i], &pieces[i])) return false;
  }
  for (size_t i = 0; i < right.size(); ++i) {
    if (!parse(right[i], &pieces[8 - right.size() + i])) return false;
  }
  int runStart = -1;
  int runLength = 1;  // a run must be longer than one piece
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && pieces[j] == 0) ++j;
    if (j - i > runLength) {
      runStart = i;
      runLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  canonical->clear();
  for (int i = 0; i < 8; ++i) {
    if (i == runStart) {
      *canonical += "::";
      i += runLength - 1;
      continue;
    }
    if (!canonical->empty() && canonical->back() != ':') *canonical += ':';
    char hex[8];
    std::snprintf(hex, sizeof(hex), "%x", pieces[i]);
    *canonical += hex;
  }
  return true;
}

// A DNS name (lower case): labels of letters, digits, "-" and "_", up to 63
// bytes each and 253 in all, with at most one trailing dot, which browsers
// keep as part of a different origin.
bool IsDnsName(const std::string& host) {
  std::string name = !host.empty() && host.back() == '.' ? host.substr(0, host.size() - 1) : host;
  if (name.empty() || name.size() > 253) return false;
  for (const std::string& label : SplitAt(name, '.')) {
    if (label.empty() || label.size() > 63) return false;
    for (char c : label) {
      if (!(IsDigit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '_')) return false;
    }
  }
  return true;
}

// The last label decides whether a name is read as an IPv4 address (as
// browsers do): "1.2.3.04" or "0x7f.1" would become another address.
bool LooksNumeric(const std::string& host) {
  std::string name = !host.empty() && host.back() == '.' ? host.substr(0, host.size() - 1) : host;
  size_t dot = name.rfind('.');
  std::string last = dot == std::string::npos ? name : name.substr(dot + 1);
  return AllDigits(last) || last.rfind("0x", 0) == 0;
}

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

// Splits a place's texts into entries, each with where it was found.
struct RawEntry {
  std::string text;
  std::string where;
};

std::vector<RawEntry> SplitEntries(const OriginSource& source) {
  std::vector<RawEntry> entries;
  if (source.format == kOriginLines) {
    for (const std::string& text : source.texts) {
      std::vector<std::string> lines = SplitAt(text, '\n');
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

}  // namespace

bool ParseOriginEntry(const std::string& text, AllowedOrigin* entry, std::string* why) {
  *entry = AllowedOrigin();
  if (text.size() > kMaxEntryBytes) return Fail(why, "longer than 512 bytes");
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) {
      return Fail(why, "holds a blank, a control or a non-ASCII byte (write international names as xn--)");
    }
  }
  if (LowerAscii(text) == "null") {
    entry->isNull = true;
    return true;
  }
  size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return Fail(why, "no scheme: write http:// or https://");
  entry->scheme = LowerAscii(text.substr(0, schemeEnd));
  if (entry->scheme != "http" && entry->scheme != "https") return Fail(why, "the scheme must be http or https");
  std::string authority = LowerAscii(text.substr(schemeEnd + 3));
  if (authority.find_first_of("/?#\\") != std::string::npos) {
    return Fail(why, "has a path, query or fragment: an origin ends after the host or port");
  }
  if (authority.find('@') != std::string::npos) return Fail(why, "has user information");

  std::string host = authority;
  std::string port;
  bool hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return Fail(why, "an IPv6 address without its closing bracket");
    host = authority.substr(0, close + 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return Fail(why, "text after the IPv6 address");
      hasPort = true;
      port = rest.substr(1);
    }
  } else {
    size_t colon = authority.rfind(':');
    if (colon != std::string::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      hasPort = true;
    }
  }

  entry->port = DefaultPort(entry->scheme);
  if (hasPort) {
    if (!AllDigits(port) || port.size() > 5) return Fail(why, "the port is not a number");
    int number = std::stoi(port);
    if (number < 1 || number > 65535) return Fail(why, "the port is out of range (1 to 65535)");
    entry->port = number;
  }

  if (host.rfind("*.", 0) == 0) {
    entry->wildcard = true;
    host = host.substr(2);
    if (host.empty() || !IsDnsName(host) || LooksNumeric(host)) {
      return Fail(why, "a wildcard must be followed by a host name");
    }
  }
  if (host.find('*') != std::string::npos) return Fail(why, "\"*.\" may only stand first, for a whole label");
  if (host.empty()) return Fail(why, "no host");
  if (host[0] == '[') {
    std::string canonical;
    if (!CanonicalIpv6(host.substr(1, host.size() - 2), &canonical)) return Fail(why, "not an IPv6 address");
    entry->host = "[" + canonical + "]";
    return true;
  }
  if (host.find(':') != std::string::npos) return Fail(why, "an IPv6 address must be in brackets");
  if (!IsDnsName(host)) return Fail(why, "not a host name");
  if (LooksNumeric(host) && !IsIpv4(host)) return Fail(why, "not an IPv4 address as browsers write it (a.b.c.d)");
  entry->host = host;
  return true;
}

std::string SerializeOrigin(const AllowedOrigin& origin) {
  if (origin.isNull) return "null";
  std::string text = origin.scheme + "://" + (origin.wildcard ? "*." : "") + origin.host;
  if (origin.port != DefaultPort(origin.scheme)) text += ":" + std::to_string(origin.port);
  return text;
}

std::string PrintableText(const std::string& text) {
  std::string printable;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 200) {
      printable += "...";
      break;
    }
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7f || byte == '\\' || byte == '"') {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      printable += escaped;
    } else {
      printable += static_cast<char>(byte);
    }
  }
  return printable;
}

OriginPolicy BuildOriginPolicy(const std::vector<OriginSource>& sources) {
  OriginPolicy policy;
  for (const OriginSource& source : sources) {
    if (source.readable) {
      policy.active = true;
      policy.sources.push_back(source.where);
    }
  }
  for (const OriginSource& source : sources) {
    if (!source.readable) {
      DiagLine("allowed origins: " + source.where + " cannot be read (" + source.why + ")" +
               (policy.active ? ", left out" : "; no other list is configured, so every page may call printgate"));
      continue;
    }
    for (const RawEntry& raw : SplitEntries(source)) {
      AllowedOrigin entry;
      std::string why;
      if (ParseOriginEntry(raw.text, &entry, &why)) {
        policy.entries.push_back(entry);
      } else {
        DiagLine("allowed origins: skipped \"" + PrintableText(raw.text) + "\" at " + raw.where + " (" + why + ")");
      }
    }
  }
  if (policy.active) {
    std::string places;
    for (const std::string& where : policy.sources) places += (places.empty() ? "" : ", ") + where;
    DiagLine("allowed origins: " + std::to_string(policy.entries.size()) + " from " + places +
             "; pages of other origins are refused");
  }
  return policy;
}

OriginPolicy LoadOriginPolicy() { return BuildOriginPolicy(ReadOriginSources()); }

bool IsOriginListed(const OriginPolicy& policy, const std::string& origin) {
  if (origin == "null") {
    for (const AllowedOrigin& entry : policy.entries) {
      if (entry.isNull) return true;
    }
    return false;
  }
  AllowedOrigin parsed;
  std::string why;
  // Only what a browser would send: its own serialisation, byte for byte.
  if (!ParseOriginEntry(origin, &parsed, &why) || parsed.isNull || parsed.wildcard ||
      SerializeOrigin(parsed) != origin) {
    return false;
  }
  for (const AllowedOrigin& entry : policy.entries) {
    if (entry.isNull || entry.scheme != parsed.scheme || entry.port != parsed.port) continue;
    if (!entry.wildcard) {
      if (entry.host == parsed.host) return true;
      continue;
    }
    const std::string& suffix = entry.host;
    const std::string& host = parsed.host;
    if (host.size() > suffix.size() + 1 && host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0 &&
        host[host.size() - suffix.size() - 1] == '.' && IsDnsName(host)) {
      return true;
    }
  }
  return false;
}

GateVerdict JudgeRequest(const OriginPolicy& policy, const std::vector<std::string>& hosts,
                         const std::vector<std::string>& origins, int localPort) {
  if (!policy.active) return kGateServe;
  std::string port = ":" + std::to_string(localPort);
  // A page on a name that was rebound to 127.0.0.1 sends its own name here.
  if (hosts.size() != 1 || (hosts[0] != "127.0.0.1" + port && hosts[0] != "localhost" + port)) {
    return kGateRefuseHost;
  }
  if (origins.empty()) return kGateServe;  // not sent by a page
  if (origins.size() > 1) return kGateRefuseOrigin;
  return IsOriginListed(policy, origins[0]) ? kGateServeOrigin : kGateRefuseOrigin;
}
