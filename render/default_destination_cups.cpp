// The default destination (lpoptions, LPDEST, PRINTER, then the scheduler's
// default) and its carried job options. libcups' look-up costs several
// requests; so its answer is kept while the scheduler's CUPS-Get-Default
// names the same queue with the same settings' change time (one small
// request in place of the look-up).
#include "render/default_destination_cups.h"

#include <cups/cups.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

#include "base/ipp_cups.h"
#include "base/scheduler_connection.h"

namespace {

// Paper, orientation and scaling are the job's own and are never carried
// over.
const char* const kCarriedOptions[] = {
    "copies",          "print-quality", "print-color-mode", "sides",  "media-source",
    "printer-resolution", "multiple-document-handling", "Collate", "ColorModel", "Duplex",
    "InputSlot",       "Resolution"};

// The default destination as last looked up, with the change time of its
// settings then.
struct KnownDefault {
  std::string server;  // the scheduler it came from
  std::string name;
  int configTime = 0;  // printer-config-change-time
  CupsOptionList options;
};
std::mutex gKnownDefaultLock;
KnownDefault gKnownDefault;
bool gHaveKnownDefault = false;

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Whether anything but the scheduler may choose the default destination or
// add options to it (LPDEST, PRINTER, the machine's or the user's lpoptions
// file): libcups then reads those on every look-up, and nothing is kept.
// The home folder is found as libcups finds it.
bool DefaultSetOutsideScheduler() {
  if (getenv("LPDEST") != nullptr || getenv("PRINTER") != nullptr) return true;
  const char* root = getenv("CUPS_SERVERROOT");
  if (FileExists(std::string(root != nullptr ? root : "/etc/cups") + "/lpoptions")) return true;
  std::string home;
  if (const char* variable = getenv("HOME")) home = variable;
  if (home.empty()) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      home = found->pw_dir;
    }
  }
  return home.empty() || FileExists(home + "/.cups/lpoptions");
}

std::string SchedulerName() { return std::string(cupsServer()) + ":" + std::to_string(ippPort()); }

// libcups' own look-up of the default destination: its carried options and
// its name.
bool LookUpDefault(CupsOptionList* options, std::string* name) {
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) return false;
  cups_dest_t* dest = cupsGetNamedDest(http, nullptr, nullptr);
  GiveBackSchedulerConnection(http);
  if (dest == nullptr) return false;
  for (const char* option : kCarriedOptions) {
    const char* value = cupsGetOption(option, dest->num_options, dest->options);
    if (value != nullptr) options->emplace_back(option, value);
  }
  *name = dest->name;
  cupsFreeDests(1, dest);
  return true;
}

// CUPS-Get-Default for the queue's name and its settings' change time
// alone. False when the scheduler named none or did not answer.
bool AskDefault(std::string* name, int* configTime) {
  static const char* const kWanted[] = {"printer-name", "printer-config-change-time"};
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                kWanted);
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) return false;
  ipp_attribute_t* named = ippFindAttribute(response, "printer-name", IPP_TAG_NAME);
  ipp_attribute_t* changed =
      ippFindAttribute(response, "printer-config-change-time", IPP_TAG_INTEGER);
  bool answered =
      named != nullptr && changed != nullptr && ippGetString(named, 0, nullptr) != nullptr;
  if (answered) {
    *name = ippGetString(named, 0, nullptr);
    *configTime = ippGetInteger(changed, 0);
  }
  ippDelete(response);
  return answered;
}

// The kept options, when they are still those of the default the scheduler
// names now.
bool KeptOptions(const std::string& server, const std::string& name, int configTime,
                 CupsOptionList* options) {
  std::lock_guard<std::mutex> lock(gKnownDefaultLock);
  if (!gHaveKnownDefault || gKnownDefault.server != server || gKnownDefault.name != name ||
      gKnownDefault.configTime != configTime) {
    return false;
  }
  *options = gKnownDefault.options;
  return true;
}

}  // namespace

bool DefaultDestinationOptions(CupsOptionList* options, std::string* namedDefault) {
  namedDefault->clear();
  std::string looked;
  std::string name;
  int configTime = 0;
  // Chosen outside the scheduler, or no default named, or no answer:
  // libcups' look-up decides, as always.
  if (DefaultSetOutsideScheduler() || !AskDefault(&name, &configTime)) {
    return LookUpDefault(options, &looked);
  }
  std::string server = SchedulerName();
  if (KeptOptions(server, name, configTime, options)) {
    *namedDefault = name;
    return true;
  }
  if (!LookUpDefault(options, &looked)) return false;
  if (looked != name) return true;  // changed in between: keep nothing
  *namedDefault = name;
  // The change time counts whole seconds: settings changed within the
  // second of this look-up would show the same time, so such an answer is
  // not kept.
  if (configTime < time(nullptr) - 1) {
    std::lock_guard<std::mutex> lock(gKnownDefaultLock);
    gKnownDefault = KnownDefault{server, name, configTime, *options};
    gHaveKnownDefault = true;
  }
  return true;
}
