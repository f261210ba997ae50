// The administrator's site list turned into the browsers' own policies, so
// that a listed site reaches printgate without each desk user answering the
// browser's local-network prompt. Only what the allowlist accepts gets here;
// what a browser cannot express is left out with one line.
#pragma once
#include <string>
#include <vector>

#include "api/origin_list.h"

// Chromium's URL patterns for the entries ("https://labels.example.com",
// "https://[*.]shop.example.com"): a "*." entry becomes "[*.]", which also
// matches the name itself; printgate still refuses that name. Appends one
// line to skipped per entry left out.
std::vector<std::string> ChromiumPatterns(const std::vector<AllowedOrigin>& entries,
                                          std::vector<std::string>* skipped);

// Firefox's LocalNetworkAccess SkipDomains: host names, "*.name" for a
// wildcard entry. Firefox matches names only, so scheme and port drop out;
// printgate still checks them. Duplicates appear once. Firefox also reads
// a listed name as a destination, so "localhost" names and addresses are
// left out with one line: listed, they would be open to every web site.
std::vector<std::string> FirefoxSkipDomains(const std::vector<AllowedOrigin>& entries,
                                            std::vector<std::string>* skipped);

// The whole text of our own Chromium policy file for the patterns; empty
// when there are none (the file is then removed).
std::string ChromiumPolicyText(const std::vector<std::string>& patterns);

// Firefox reads one policies.json for the machine, which may hold others'
// policies. MergeFirefoxPolicies puts our domains into it and takes out the
// ones we put there before, keeping a record of ours in the file's member
// "printgate" (Firefox reads only "policies"). Everything else stays as it
// was. A file we created and that holds nothing else afterwards is removed.
struct FirefoxMerge {
  bool ok = false;
  std::string why;          // !ok: why the file is left as it is
  bool removeFile = false;  // ok: remove the file instead of writing text
  bool unchanged = false;   // ok: nothing to write
  std::string text;         // ok and !removeFile: the new content
};
// existing is null when there is no file.
FirefoxMerge MergeFirefoxPolicies(const std::string* existing, const std::vector<std::string>& domains);
