// The site allowlist's rules: which entries are origins, how a request's
// Origin and Host headers are judged against the list. No list configured
// means no gate at all, so printgate answers as it always has.
#pragma once
#include <string>
#include <vector>

#include "api/origin_config.h"

// One entry, kept as browsers serialise an origin: lower-case scheme and
// host, no default port.
struct AllowedOrigin {
  bool isNull = false;    // the entry "null"
  bool wildcard = false;  // "*.": any name below host, not host itself
  std::string scheme;     // "http" or "https"
  std::string host;       // wildcard: the name below which names match
  int port = 0;           // the port, default ports filled in
};

// The list as loaded at start. active is false when no place holds a list;
// an active list may be empty, and then every page is refused.
struct OriginPolicy {
  bool active = false;
  std::vector<AllowedOrigin> entries;
  std::vector<std::string> sources;  // where the list was read
};

// Parses one administrator's entry (already cut from its line or string,
// surrounding blanks removed). False, with a reason for the diagnostic
// line, when it isn't an origin, "null" or a "*." wildcard origin.
bool ParseOriginEntry(const std::string& text, AllowedOrigin* entry, std::string* why);

// The origin as a browser sends it ("https://a.example", "null"); a
// wildcard entry shows as "https://*.example".
std::string SerializeOrigin(const AllowedOrigin& origin);

// Builds the list from what the configuration places hold, writing one
// diagnostic line per entry skipped, per place that can't be read and, when
// a list is active, one line saying so.
OriginPolicy BuildOriginPolicy(const std::vector<OriginSource>& sources);
// BuildOriginPolicy over ReadOriginSources(): what the server does at start.
OriginPolicy LoadOriginPolicy();

// True when a request's Origin value (exactly as received) is listed. Only
// the byte-exact browser serialisation can match: a value differing in
// case, with a trailing dot, an explicit default port or blanks is not the
// origin that was listed.
bool IsOriginListed(const OriginPolicy& policy, const std::string& origin);

enum GateVerdict {
  kGateServe,          // no list, or a request without Origin: as always
  kGateServeOrigin,    // listed Origin: served, answered to that origin
  kGateRefuseOrigin,   // Origin not listed, or more than one
  kGateRefuseHost,     // list active and Host isn't this server's own name
};

// Judges a request by all its Host and Origin header values. localPort is
// the port the request reached. With no active list: always kGateServe.
GateVerdict JudgeRequest(const OriginPolicy& policy, const std::vector<std::string>& hosts,
                         const std::vector<std::string>& origins, int localPort);

// A header value made safe for a diagnostic line: control and non-ASCII
// bytes as \xNN, cut after 200 bytes with "...".
std::string PrintableText(const std::string& text);
