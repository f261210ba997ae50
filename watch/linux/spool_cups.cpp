// Spooler seam over libcups and IPP, for the Linux service: the queues of
// the CUPS scheduler that CUPS_SERVER (or client.conf) names.
//
// What the Windows spooler keeps and CUPS doesn't, and how it is carried:
// - a queue's driver is its make and model ("printer-make-and-model"); a new
//   queue gets the scheduler's driver (PPD) of that make and model;
// - printer data "Position" is the queue option "printerwatch-position",
//   which the scheduler keeps in printers.conf across restarts;
// - work offline is a stopped queue (it still accepts jobs, which print
//   once the queue is started again); there is no status word, so the
//   status reads as 0 and setting it changes nothing;
// - a rename is a new queue with the old one's settings, its pending jobs
//   moved over, then the old queue deleted;
// - CUPS names can't hold a blank or '#', so the scheme's "NAME #k" is the
//   queue "NAME_k" here, and read back the same way.
#include "watch/spool.h"

#include <cups/cups.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

static constexpr uint32_t kErrorFileNotFound = 2;
static constexpr uint32_t kErrorAccessDenied = 5;
static constexpr uint32_t kErrorInvalidParameter = 87;
static constexpr uint32_t kErrorUnknownPort = 1796;
static constexpr uint32_t kErrorUnknownDriver = 1797;
static constexpr uint32_t kErrorInvalidPrinterName = 1801;
static constexpr uint32_t kErrorPrinterExists = 1802;
static constexpr uint32_t kErrorServerUnavailable = 1722;
// How long a rename waits for a job that is printing right now (it can't be
// moved) before it gives up and leaves the old queue in place.
static constexpr int kDrainWaitMs = 5000;

struct CupsQueueHandle {
  std::string cupsName;
  bool allAccess = false;
};

struct CupsPrinter {
  std::string name;
  std::string makeModel;
  int state = IPP_PSTATE_IDLE;
  bool accepting = true;
  bool shared = false;
  bool isDefault = false;
  bool isClass = false;
  std::string deviceUri, info, location, errorPolicy, opPolicy;
  bool hasPosition = false;
  uint32_t position = 0;
};

static const char* const kPrinterAttributes[] = {
    "printer-name",        "printer-make-and-model", "printer-state",   "printer-is-accepting-jobs",
    "printer-is-shared",   "printer-type",           "device-uri",      "printer-info",
    "printer-location",    "printer-error-policy",   "printer-op-policy", "printerwatch-position-default"};

// --- names ------------------------------------------------------------------

static bool IsDigits(const std::string& text, size_t from) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// "NAME #k" <-> "NAME_k"; every other name is the same on both sides.
static std::string ToCupsName(const std::string& name) {
  size_t mark = name.rfind(" #");
  if (mark != std::string::npos && mark > 0 && IsDigits(name, mark + 2)) {
    return name.substr(0, mark) + "_" + name.substr(mark + 2);
  }
  return name;
}

static std::string FromCupsName(const std::string& name) {
  size_t mark = name.rfind('_');
  if (mark != std::string::npos && mark > 0 && IsDigits(name, mark + 1)) {
    return name.substr(0, mark) + " #" + name.substr(mark + 1);
  }
  return name;
}

// The scheduler's own rule for queue names.
static bool ValidCupsName(const std::string& name) {
  if (name.empty() || name.size() >= 128) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c == 127 || c == '/' || c == '\\' || c == '?' || c == '\'' || c == '"' || c == '#' ||
        c == '@') {
      return false;
    }
  }
  return true;
}

// --- IPP --------------------------------------------------------------------

static std::string PrinterUri(const std::string& cupsName) {
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                   cupsName.c_str());
  return uri;
}

static uint32_t ErrorOf(ipp_status_t status) {
  switch (status) {
    case IPP_STATUS_ERROR_NOT_FOUND:
      return kErrorInvalidPrinterName;
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
      return kErrorAccessDenied;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
      return kErrorServerUnavailable;
    default:
      return static_cast<uint32_t>(status);
  }
}

static ipp_t* NewRequest(ipp_op_t operation, const std::string& cupsName) {
  ipp_t* request = ippNewRequest(operation);
  if (!cupsName.empty()) {
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(cupsName).c_str());
  }
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  return request;
}

// Sends the request (and frees it); the answer, or null with *error set.
static ipp_t* Send(ipp_t* request, const char* resource, uint32_t* error, const char* file = nullptr) {
  ipp_t* response = cupsDoFileRequest(CUPS_HTTP_DEFAULT, request, resource, file);
  ipp_status_t status = cupsLastError();
  if (response == nullptr || status > IPP_STATUS_OK_EVENTS_COMPLETE) {
    if (response != nullptr) ippDelete(response);
    *error = ErrorOf(status == IPP_STATUS_OK ? IPP_STATUS_ERROR_INTERNAL : status);
    return nullptr;
  }
  return response;
}

static bool SendOnly(ipp_t* request, const char* resource, uint32_t* error, const char* file = nullptr) {
  ipp_t* response = Send(request, resource, error, file);
  if (response == nullptr) return false;
  ippDelete(response);
  return true;
}

static const char* Text(ipp_attribute_t* attribute) {
  const char* text = ippGetString(attribute, 0, nullptr);
  return text != nullptr ? text : "";
}

static void ApplyAttribute(ipp_attribute_t* attribute, CupsPrinter* printer) {
  std::string key = ippGetName(attribute);
  if (key == "printer-name") printer->name = Text(attribute);
  else if (key == "printer-make-and-model") printer->makeModel = Text(attribute);
  else if (key == "printer-state") printer->state = ippGetInteger(attribute, 0);
  else if (key == "printer-is-accepting-jobs") printer->accepting = ippGetBoolean(attribute, 0) != 0;
  else if (key == "printer-is-shared") printer->shared = ippGetBoolean(attribute, 0) != 0;
  else if (key == "printer-type") {
    int type = ippGetInteger(attribute, 0);
    printer->isClass = (type & (CUPS_PRINTER_CLASS | CUPS_PRINTER_IMPLICIT)) != 0;
    printer->isDefault = (type & CUPS_PRINTER_DEFAULT) != 0;
  } else if (key == "device-uri") printer->deviceUri = Text(attribute);
  else if (key == "printer-info") printer->info = Text(attribute);
  else if (key == "printer-location") printer->location = Text(attribute);
  else if (key == "printer-error-policy") printer->errorPolicy = Text(attribute);
  else if (key == "printer-op-policy") printer->opPolicy = Text(attribute);
  else if (key == "printerwatch-position-default") {
    const char* text = Text(attribute);
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    printer->hasPosition = std::isdigit(static_cast<unsigned char>(*text)) && *end == '\0' && value <= 0xffffffffULL;
    printer->position = printer->hasPosition ? static_cast<uint32_t>(value) : 0;
  }
}

// The printers of an answer, in its order: each printer group is one.
static std::vector<CupsPrinter> ParsePrinters(ipp_t* response) {
  std::vector<CupsPrinter> printers;
  bool inPrinter = false;
  for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER || ippGetName(attribute) == nullptr) {
      inPrinter = false;
      continue;
    }
    if (!inPrinter) printers.emplace_back();
    inPrinter = true;
    ApplyAttribute(attribute, &printers.back());
  }
  return printers;
}

static void AskFor(ipp_t* request) {
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof kPrinterAttributes / sizeof kPrinterAttributes[0]), nullptr,
                kPrinterAttributes);
}

static bool GetPrinter(const std::string& cupsName, CupsPrinter* printer, uint32_t* error) {
  if (!ValidCupsName(cupsName)) {
    *error = kErrorInvalidPrinterName;
    return false;
  }
  ipp_t* request = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, cupsName);
  AskFor(request);
  ipp_t* response = Send(request, "/", error);
  if (response == nullptr) return false;
  std::vector<CupsPrinter> printers = ParsePrinters(response);
  ippDelete(response);
  if (printers.empty()) {
    *error = kErrorInvalidPrinterName;
    return false;
  }
  *printer = printers.front();
  return true;
}

static CupsQueueHandle* HandleOf(SpoolHandle handle) { return static_cast<CupsQueueHandle*>(handle); }

static bool NeedAllAccess(SpoolHandle handle, uint32_t* error) {
  if (HandleOf(handle)->allAccess) return true;
  *error = kErrorAccessDenied;
  return false;
}

static std::string PositionAttribute(const char* valueName) {
  std::string name = "printerwatch-";
  for (const char* c = valueName; *c != '\0'; ++c) name += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  return name;
}

// --- the seam ---------------------------------------------------------------

SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error) {
  queues->clear();
  ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PRINTERS, "");
  AskFor(request);
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  ipp_status_t status = cupsLastError();
  // No queue at all is an answer too.
  if (status == IPP_STATUS_ERROR_NOT_FOUND) {
    if (response != nullptr) ippDelete(response);
    return SpoolEnumOk;
  }
  if (response == nullptr || status > IPP_STATUS_OK_EVENTS_COMPLETE) {
    if (response != nullptr) ippDelete(response);
    *error = ErrorOf(status == IPP_STATUS_OK ? IPP_STATUS_ERROR_INTERNAL : status);
    return SpoolEnumFailed;
  }
  for (const CupsPrinter& printer : ParsePrinters(response)) {
    // Classes have no driver or device of their own: nothing to manage.
    if (printer.isClass || printer.name.empty()) continue;
    uint32_t attributes = printer.state == IPP_PSTATE_STOPPED ? kSpoolAttributeWorkOffline : 0;
    queues->push_back(SpoolQueue{FromCupsName(printer.name), printer.makeModel, attributes, 0});
  }
  ippDelete(response);
  return SpoolEnumOk;
}

SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error) {
  CupsPrinter printer;
  if (!GetPrinter(ToCupsName(name), &printer, error)) return nullptr;
  return new CupsQueueHandle{printer.name, allAccess};
}

void SpoolClose(SpoolHandle handle) { delete HandleOf(handle); }

bool SpoolGetDword(SpoolHandle handle, const char* valueName, uint32_t* value, uint32_t* error) {
  if (PositionAttribute(valueName) != "printerwatch-position") {
    *error = kErrorFileNotFound;
    return false;
  }
  CupsPrinter printer;
  if (!GetPrinter(HandleOf(handle)->cupsName, &printer, error)) return false;
  if (!printer.hasPosition) {
    *error = kErrorFileNotFound;
    return false;
  }
  *value = printer.position;
  return true;
}

bool SpoolSetDword(SpoolHandle handle, const char* valueName, uint32_t value, uint32_t* error) {
  if (!NeedAllAccess(handle, error)) return false;
  if (PositionAttribute(valueName) != "printerwatch-position") {
    *error = kErrorInvalidParameter;
    return false;
  }
  ipp_t* request = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, HandleOf(handle)->cupsName);
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, "printerwatch-position-default", nullptr,
               std::to_string(value).c_str());
  return SendOnly(request, "/admin/", error);
}

bool SpoolGetRecord(SpoolHandle handle, SpoolRecord* record, uint32_t* error) {
  CupsPrinter printer;
  if (!GetPrinter(HandleOf(handle)->cupsName, &printer, error)) return false;
  record->name = FromCupsName(printer.name);
  record->shareName = record->name;
  record->attributes = printer.state == IPP_PSTATE_STOPPED ? kSpoolAttributeWorkOffline : 0;
  record->status = 0;
  record->platform = nullptr;
  return true;
}

static bool QueueCommand(ipp_op_t operation, const std::string& cupsName, uint32_t* error) {
  return SendOnly(NewRequest(operation, cupsName), "/admin/", error);
}

static int PendingJobs(const std::string& cupsName, uint32_t* error) {
  ipp_t* request = NewRequest(IPP_OP_GET_JOBS, cupsName);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-id");
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  ipp_status_t status = cupsLastError();
  int count = 0;
  if (response != nullptr && status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
    for (ipp_attribute_t* attribute = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER); attribute != nullptr;
         attribute = ippFindNextAttribute(response, "job-id", IPP_TAG_INTEGER)) {
      ++count;
    }
  } else if (status != IPP_STATUS_ERROR_NOT_FOUND) {
    *error = ErrorOf(status);
    count = -1;
  }
  if (response != nullptr) ippDelete(response);
  return count;
}

// Moves every job the old queue still holds to the new one. A job that is
// printing right now can't be moved; it is waited for, up to a bound.
static bool MoveJobs(const std::string& from, const std::string& to, uint32_t* error) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainWaitMs);
  for (;;) {
    ipp_t* request = NewRequest(IPP_OP_CUPS_MOVE_JOB, from);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_URI, "job-printer-uri", nullptr, PrinterUri(to).c_str());
    uint32_t moveError = 0;
    SendOnly(request, "/jobs/", &moveError);
    int left = PendingJobs(from, error);
    if (left == 0) return true;
    if (left < 0 || std::chrono::steady_clock::now() >= deadline) {
      if (left > 0) *error = moveError != 0 ? moveError : static_cast<uint32_t>(IPP_STATUS_ERROR_NOT_POSSIBLE);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// A name a new queue may take: valid, and no queue holds it. The scheduler
// would quietly change a queue of that name instead of refusing, and names
// compare without regard to case, so a change of case only is refused too
// (CUPS can't make one).
static bool NameIsFree(const std::string& cupsName, uint32_t* error) {
  if (!ValidCupsName(cupsName)) {
    *error = kErrorInvalidPrinterName;
    return false;
  }
  CupsPrinter taken;
  uint32_t probeError = 0;
  if (GetPrinter(cupsName, &taken, &probeError)) {
    *error = kErrorPrinterExists;
    return false;
  }
  if (probeError != kErrorInvalidPrinterName) {
    *error = probeError;
    return false;
  }
  return true;
}

// The new queue exists before the old one goes, and the old one refuses
// new jobs while its pending ones move, so no job is lost on the way.
static bool RenameQueue(CupsQueueHandle* handle, const std::string& newName, uint32_t* error) {
  if (!NameIsFree(newName, error)) return false;
  CupsPrinter old;
  if (!GetPrinter(handle->cupsName, &old, error)) return false;

  // The scheduler serves each queue's PPD (with its defaults) at
  // /printers/NAME.ppd; a queue without one answers 404.
  char ppdFile[] = "/tmp/printerwatch-XXXXXX";
  int ppdFd = mkstemp(ppdFile);
  if (ppdFd < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  http_status_t ppd = cupsGetFd(CUPS_HTTP_DEFAULT, ("/printers/" + old.name + ".ppd").c_str(), ppdFd);
  close(ppdFd);
  bool havePpd = ppd == HTTP_STATUS_OK;
  if (!havePpd && ppd != HTTP_STATUS_NOT_FOUND) {
    unlink(ppdFile);
    *error = ErrorOf(cupsLastError());
    return false;
  }

  ipp_t* add = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, newName);
  ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, old.deviceUri.c_str());
  ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-info", nullptr, old.info.c_str());
  ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_TEXT, "printer-location", nullptr, old.location.c_str());
  ippAddBoolean(add, IPP_TAG_PRINTER, "printer-is-shared", old.shared ? 1 : 0);
  if (!old.errorPolicy.empty()) {
    ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-error-policy", nullptr, old.errorPolicy.c_str());
  }
  if (!old.opPolicy.empty()) {
    ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-op-policy", nullptr, old.opPolicy.c_str());
  }
  if (old.hasPosition) {
    ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_NAME, "printerwatch-position-default", nullptr,
                 std::to_string(old.position).c_str());
  }
  ippAddInteger(add, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state",
                old.state == IPP_PSTATE_STOPPED ? IPP_PSTATE_STOPPED : IPP_PSTATE_IDLE);
  // Accepting while the jobs move in; the old queue's refusal follows after.
  ippAddBoolean(add, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
  bool added = SendOnly(add, "/admin/", error, havePpd ? ppdFile : nullptr);
  unlink(ppdFile);
  if (!added) return false;
  uint32_t ignored = 0;
  if (old.isDefault) SendOnly(NewRequest(IPP_OP_CUPS_SET_DEFAULT, newName), "/admin/", &ignored);

  QueueCommand(IPP_OP_CUPS_REJECT_JOBS, old.name, &ignored);
  if (!MoveJobs(old.name, newName, error)) {
    // Both queues stay; the old one takes jobs again, so nothing is lost
    // and the next pass finds both.
    QueueCommand(IPP_OP_CUPS_ACCEPT_JOBS, old.name, &ignored);
    return false;
  }
  if (!old.accepting) QueueCommand(IPP_OP_CUPS_REJECT_JOBS, newName, &ignored);
  QueueCommand(IPP_OP_CUPS_DELETE_PRINTER, old.name, &ignored);
  handle->cupsName = newName;
  return true;
}

bool SpoolSetRecord(SpoolHandle handle, const SpoolRecord& record, uint32_t* error) {
  if (!NeedAllAccess(handle, error)) return false;
  CupsQueueHandle* queue = HandleOf(handle);
  std::string wanted = ToCupsName(record.name);
  if (wanted != queue->cupsName && !RenameQueue(queue, wanted, error)) return false;
  CupsPrinter printer;
  if (!GetPrinter(queue->cupsName, &printer, error)) return false;
  bool offline = (record.attributes & kSpoolAttributeWorkOffline) != 0;
  bool stopped = printer.state == IPP_PSTATE_STOPPED;
  if (offline && !stopped) return QueueCommand(IPP_OP_PAUSE_PRINTER, queue->cupsName, error);
  if (!offline && stopped) return QueueCommand(IPP_OP_RESUME_PRINTER, queue->cupsName, error);
  return true;
}

bool SpoolSetStatus(SpoolHandle handle, uint32_t status, uint32_t* error) {
  (void)status;
  return NeedAllAccess(handle, error);
}

static bool PpdForDriver(const std::string& driver, std::string* ppdName, uint32_t* error) {
  ipp_t* request = NewRequest(IPP_OP_CUPS_GET_PPDS, "");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_TEXT, "ppd-make-and-model", nullptr, driver.c_str());
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "ppd-name");
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  ipp_status_t status = cupsLastError();
  bool found = false;
  if (response != nullptr && status <= IPP_STATUS_OK_EVENTS_COMPLETE) {
    ipp_attribute_t* name = ippFindAttribute(response, "ppd-name", IPP_TAG_NAME);
    if (name != nullptr) {
      *ppdName = Text(name);
      found = true;
    }
    if (!found) *error = kErrorUnknownDriver;
  } else {
    *error = status == IPP_STATUS_ERROR_NOT_FOUND ? kErrorUnknownDriver : ErrorOf(status);
  }
  if (response != nullptr) ippDelete(response);
  return found;
}

SpoolHandle SpoolAdd(const SpoolNewQueue& queue, uint32_t* error) {
  std::string name = ToCupsName(queue.name);
  if (!NameIsFree(name, error)) return nullptr;
  if (queue.driver.empty()) {
    *error = kErrorUnknownDriver;
    return nullptr;
  }
  if (queue.port.empty()) {
    *error = kErrorUnknownPort;
    return nullptr;
  }
  std::string ppdName;
  if (!PpdForDriver(queue.driver, &ppdName, error)) return nullptr;
  ipp_t* request = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, name);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "ppd-name", nullptr, ppdName.c_str());
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, queue.port.c_str());
  ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-shared", 0);
  ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
  ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
  if (!SendOnly(request, "/admin/", error)) {
    // The scheduler refuses a device URI whose scheme has no backend.
    if (std::strstr(cupsLastErrorString(), "device-uri") != nullptr) *error = kErrorUnknownPort;
    return nullptr;
  }
  CupsPrinter added;
  if (!GetPrinter(name, &added, error)) return nullptr;
  return new CupsQueueHandle{added.name, true};
}

bool SpoolDelete(SpoolHandle handle, uint32_t* error) {
  if (!NeedAllAccess(handle, error)) return false;
  return QueueCommand(IPP_OP_CUPS_DELETE_PRINTER, HandleOf(handle)->cupsName, error);
}
