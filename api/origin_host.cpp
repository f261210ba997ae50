// Host syntax of the site allowlist: what browsers accept as an origin's
// host, and the one form they write it in.
#include "api/origin_host.h"

#include <cstdio>
#include <vector>

#include "intake/split_string.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// A dotted-decimal IPv4 address as browsers write it: four numbers of 0 to
// 255 without leading zeros.
bool IsIpv4(const std::string& host) {
  std::vector<std::string> parts = SplitString(host, ".");
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
    left = SplitString(text, ":");
  } else {
    if (gap > 0) left = SplitString(text.substr(0, gap), ":");
    if (gap + 2 < text.size()) right = SplitString(text.substr(gap + 2), ":");
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

}  // namespace

bool IsDnsName(const std::string& host) {
  std::string name = !host.empty() && host.back() == '.' ? host.substr(0, host.size() - 1) : host;
  if (name.empty() || name.size() > 253) return false;
  for (const std::string& label : SplitString(name, ".")) {
    if (label.empty() || label.size() > 63) return false;
    for (char c : label) {
      if (!(IsDigit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '_')) return false;
    }
  }
  return true;
}

namespace {

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

}  // namespace

bool ParseOriginHost(const std::string& host, bool* wildcard, std::string* canonical,
                     std::string* why) {
  std::string name = host;
  *wildcard = name.rfind("*.", 0) == 0;
  if (*wildcard) {
    name = name.substr(2);
    if (name.empty() || !IsDnsName(name) || LooksNumeric(name)) {
      return Fail(why, "a wildcard must be followed by a host name");
    }
  }
  if (name.find('*') != std::string::npos) return Fail(why, "\"*.\" may only stand first, for a whole label");
  if (name.empty()) return Fail(why, "no host");
  if (name[0] == '[') {
    std::string address;
    if (!CanonicalIpv6(name.substr(1, name.size() - 2), &address)) return Fail(why, "not an IPv6 address");
    *canonical = "[" + address + "]";
    return true;
  }
  if (name.find(':') != std::string::npos) return Fail(why, "an IPv6 address must be in brackets");
  if (!IsDnsName(name)) return Fail(why, "not a host name");
  if (LooksNumeric(name) && !IsIpv4(name)) return Fail(why, "not an IPv4 address as browsers write it (a.b.c.d)");
  *canonical = name;
  return true;
}
