// printgate-browser-policies: writes the browsers' local-network policies
// for the sites in /etc/printgate/allowed-origins (Chromium's file of our
// own, our entries in Firefox's policies.json), or takes ours out again
// with --remove. The Debian package runs it on install and upgrade and with
// --remove when the package goes; an administrator runs it after editing
// the list. --list FILE reads another list; --root DIR works on a copy of
// the machine's folders under DIR.
#include <string>
#include <vector>

#include "api/origin_config.h"
#include "api/origin_list.h"
#include "common/diag.h"
#include "policies/browser_policies.h"
#include "policies/policy_files.h"

namespace {

const char kListPath[] = "/etc/printgate/allowed-origins";
const char kChromiumPath[] = "/etc/chromium/policies/managed/printgate.json";
const char kFirefoxPath[] = "/etc/firefox/policies/policies.json";

// The machine's list; empty when there is none or it can't be read, so a
// broken list never leaves the browsers open to a site.
std::vector<AllowedOrigin> MachineList(const std::string& path) {
  OriginSource source;
  if (!ReadOriginFile(path, &source)) return {};
  OriginPolicy policy = BuildOriginPolicy({source});
  return policy.active ? policy.entries : std::vector<AllowedOrigin>();
}

bool Replace(const std::string& path, const std::string& text, const std::string& what) {
  std::string why;
  std::string before;
  PolicyFileRead read = ReadPolicyFile(path, &before, &why);
  if (text.empty() && read == kPolicyFileMissing) return true;
  if (read == kPolicyFileRead && before == text) return true;
  bool done = text.empty() ? RemovePolicyFile(path, &why) : WritePolicyFile(path, text, &why);
  if (!done) DiagLine(what + ": could not write the policy: " + why);
  return done;
}

bool WriteChromium(const std::string& root, const std::vector<AllowedOrigin>& entries) {
  std::vector<std::string> skipped;
  std::vector<std::string> patterns = ChromiumPatterns(entries, &skipped);
  for (const std::string& line : skipped) DiagLine(line);
  if (!Replace(root + kChromiumPath, ChromiumPolicyText(patterns), "Chromium")) return false;
  DiagLine("Chromium: " + std::to_string(patterns.size()) + " sites in " + kChromiumPath);
  return true;
}

bool WriteFirefox(const std::string& root, const std::vector<AllowedOrigin>& entries) {
  std::vector<std::string> skipped;
  std::vector<std::string> domains = FirefoxSkipDomains(entries, &skipped);
  for (const std::string& line : skipped) DiagLine(line);
  std::string path = root + kFirefoxPath;
  std::string text;
  std::string why;
  PolicyFileRead read = ReadPolicyFile(path, &text, &why);
  if (read == kPolicyFileFailed) {
    DiagLine(std::string("Firefox: ") + kFirefoxPath + " left as it is: " + why);
    return false;
  }
  FirefoxMerge merge = MergeFirefoxPolicies(read == kPolicyFileRead ? &text : nullptr, domains);
  if (!merge.ok) {
    DiagLine(std::string("Firefox: ") + kFirefoxPath + " left as it is: " + merge.why);
    return false;
  }
  bool done = merge.unchanged || (merge.removeFile ? RemovePolicyFile(path, &why)
                                                   : WritePolicyFile(path, merge.text, &why));
  if (!done) {
    DiagLine("Firefox: could not write the policy: " + why);
    return false;
  }
  DiagLine("Firefox: " + std::to_string(domains.size()) + " sites in " + kFirefoxPath);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool remove = false;
  std::string root;
  std::string list;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--remove") {
      remove = true;
    } else if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--list" && i + 1 < argc) {
      list = argv[++i];
    } else {
      DiagLine("usage: printgate-browser-policies [--remove] [--list FILE] [--root DIR]");
      return 2;
    }
  }
  std::vector<AllowedOrigin> entries = remove ? std::vector<AllowedOrigin>() : MachineList(list.empty() ? root + kListPath : list);
  bool chromium = WriteChromium(root, entries);
  bool firefox = WriteFirefox(root, entries);
  return chromium && firefox ? 0 : 1;
}
