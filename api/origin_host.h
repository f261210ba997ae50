// Host syntax of the site allowlist: the hosts of origins as browsers
// serialise them (DNS names, dotted IPv4, bracketed IPv6), and "*." wildcards.
#pragma once
#include <string>

// A DNS name (lower case): labels of letters, digits, "-" and "_", up to 63
// bytes each and 253 in all, with at most one trailing dot, which browsers
// keep as part of a different origin.
bool IsDnsName(const std::string& host);

// Reads an origin's host (lower case, an IPv6 address in its brackets, a
// leading "*." for a wildcard) into the form browsers write: *wildcard tells
// whether it began with "*.", *canonical receives the rest. False, with the
// reason for the diagnostic line in *why, when it is no such host.
bool ParseOriginHost(const std::string& host, bool* wildcard, std::string* canonical,
                     std::string* why);
