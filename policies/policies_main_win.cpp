// printgate-browser-policies.exe: the MSI's custom action. After the install
// has written the site list (HKLM\Software\VELQ\printgate\AllowedOrigins) it
// writes the listed sites into Chrome's, Edge's and Firefox's machine
// policies; with --remove, when the product goes, it takes ours out again.
// The MSI carries it in its Binary table, so it runs whether or not the
// product's files are on the disk at that moment.
#include <string>
#include <vector>

#include "api/origin_list.h"
#include "common/diag.h"
#include "policies/registry_policies.h"

int main(int argc, char** argv) {
  bool remove = argc == 2 && std::string(argv[1]) == "--remove";
  if (argc > 2 || (argc == 2 && !remove)) {
    DiagLine("usage: printgate-browser-policies [--remove]");
    return 2;
  }
  std::vector<AllowedOrigin> entries;
  if (!remove) {
    // No list, or one that can't be read: no site reaches a policy.
    OriginPolicy policy = LoadOriginPolicy();
    if (policy.active) entries = policy.entries;
  }
  std::vector<std::string> lines;
  bool done = ApplyRegistryPolicies(entries, &lines);
  for (const std::string& line : lines) DiagLine(line);
  return done ? 0 : 1;
}
