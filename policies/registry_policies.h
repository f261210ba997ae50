// The site list as the browsers' machine policies in the Windows registry
// (Chrome, Edge, Firefox). Their list policies are keys of numbered string
// values ("1", "2", ...) that other software shares: we take free numbers,
// record under printgate's own key which values are ours and what each
// held, and take out exactly those again, leaving everyone else's alone.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "api/origin_list.h"

// One list policy: its key under HKLM and the texts it should hold.
struct PolicyList {
  std::string key;
  std::vector<std::string> texts;
};

// The lists for the entries, one per browser policy. Appends one line to
// skipped per entry a browser can't take.
std::vector<PolicyList> WindowsPolicyLists(const std::vector<AllowedOrigin>& entries,
                                           std::vector<std::string>* skipped);

// What one list key needs. present: the key's values now (name -> text);
// oursBefore: the values we wrote before (number -> text). A recorded value
// that no longer holds our text was taken over by someone and is no longer
// ours; a text another value already holds stays theirs and is not added.
struct ListPlan {
  std::map<std::string, std::string> write;  // number -> text, to set
  std::vector<std::string> remove;           // numbers to delete
  std::map<std::string, std::string> ours;   // afterwards: number -> text
};
ListPlan PlanList(const std::map<std::string, std::string>& present,
                  const std::map<std::string, std::string>& oursBefore, const std::vector<std::string>& wanted);

// Brings the machine's policies to the entries (none: takes ours out),
// through the registry seam, and keeps the record. Appends a line per
// skipped entry and per failure to lines. False when something failed; the
// record then still names every value of ours that is on the machine.
bool ApplyRegistryPolicies(const std::vector<AllowedOrigin>& entries, std::vector<std::string>* lines);

// Where the record is kept (HKLM), for the installer's tests and the README.
extern const char kPolicyRecordKey[];
extern const char kPolicyRecordValues[];
extern const char kPolicyRecordKeys[];
