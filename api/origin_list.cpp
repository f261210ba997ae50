// The site allowlist's policy: parsing the administrator's entries into
// origins as browsers serialise them, building the list, and judging a
// request's headers. Host syntax is in origin_host.cpp, the cutting of a
// place's texts into entries in origin_entries.cpp.
#include "api/origin_list.h"

#include <cstdio>

#include "api/origin_entries.h"
#include "api/origin_host.h"
#include "base/ascii.h"
#include "common/diag.h"

namespace {

// The longest origin is "https://" + a 253-byte name + ":65535"; anything
// much longer is a mistake, and is not worth parsing or printing whole.
constexpr size_t kMaxEntryBytes = 512;

int DefaultPort(const std::string& scheme) { return scheme == "https" ? 443 : 80; }

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

// Splits an authority (lower case, no user information) into its host, an
// IPv6 address with its brackets, and its port text, if it has one.
bool SplitAuthority(const std::string& authority, std::string* host, std::string* port,
                    bool* hasPort, std::string* why) {
  *host = authority;
  *hasPort = false;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return Fail(why, "an IPv6 address without its closing bracket");
    *host = authority.substr(0, close + 1);
    std::string rest = authority.substr(close + 1);
    if (rest.empty()) return true;
    if (rest[0] != ':') return Fail(why, "text after the IPv6 address");
    *hasPort = true;
    *port = rest.substr(1);
    return true;
  }
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    *host = authority.substr(0, colon);
    *port = authority.substr(colon + 1);
    *hasPort = true;
  }
  return true;
}

// The port as a number from 1 to 65535.
bool ParsePort(const std::string& port, int* number, std::string* why) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return Fail(why, "the port is not a number");
  }
  *number = std::stoi(port);
  if (*number < 1 || *number > 65535) return Fail(why, "the port is out of range (1 to 65535)");
  return true;
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
  if (AsciiLower(text) == "null") {
    entry->isNull = true;
    return true;
  }
  size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return Fail(why, "no scheme: write http:// or https://");
  entry->scheme = AsciiLower(text.substr(0, schemeEnd));
  if (entry->scheme != "http" && entry->scheme != "https") return Fail(why, "the scheme must be http or https");
  std::string authority = AsciiLower(text.substr(schemeEnd + 3));
  if (authority.find_first_of("/?#\\") != std::string::npos) {
    return Fail(why, "has a path, query or fragment: an origin ends after the host or port");
  }
  if (authority.find('@') != std::string::npos) return Fail(why, "has user information");
  std::string host;
  std::string port;
  bool hasPort = false;
  if (!SplitAuthority(authority, &host, &port, &hasPort, why)) return false;
  entry->port = DefaultPort(entry->scheme);
  if (hasPort && !ParsePort(port, &entry->port, why)) return false;
  return ParseOriginHost(host, &entry->wildcard, &entry->host, why);
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
