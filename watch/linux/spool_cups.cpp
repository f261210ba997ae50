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
//   moved over, then the old queue deleted (queue_rename_cups.cpp);
// - CUPS names can't hold a blank or '#', so the scheme's "NAME #k" is the
//   queue "NAME_k" here, and read back the same way.
#include "watch/spool.h"

#include <cstring>
#include <string>

#include "base/ascii.h"
#include "base/ipp_cups.h"
#include "base/win_error.h"
#include "watch/linux/cups_queues.h"

static CupsQueueHandle* HandleOf(SpoolHandle handle) { return static_cast<CupsQueueHandle*>(handle); }

static bool NeedAllAccess(SpoolHandle handle, uint32_t* error) {
  if (HandleOf(handle)->allAccess) return true;
  *error = kErrorAccessDenied;
  return false;
}

// Printer data is carried only for "Position" (any letter case, as the
// spooler's value names).
static bool IsPositionValue(const char* valueName) {
  return AsciiLower(std::string(valueName)) == "position";
}

static uint32_t AttributesOf(const CupsPrinter& printer) {
  return printer.state == IPP_PSTATE_STOPPED ? kSpoolAttributeWorkOffline : 0;
}

SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error) {
  queues->clear();
  std::vector<CupsPrinter> printers;
  if (!GetPrinters(&printers, error)) return SpoolEnumFailed;
  for (const CupsPrinter& printer : printers) {
    // Classes have no driver or device of their own: nothing to manage.
    if (printer.isClass || printer.name.empty()) continue;
    queues->push_back(SpoolQueue{FromCupsName(printer.name), printer.makeModel, AttributesOf(printer), 0});
  }
  return SpoolEnumOk;
}

SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error) {
  CupsPrinter printer;
  if (!GetPrinter(ToCupsName(name), &printer, error)) return nullptr;
  return new CupsQueueHandle{printer.name, allAccess};
}

void SpoolClose(SpoolHandle handle) { delete HandleOf(handle); }

bool SpoolGetDword(SpoolHandle handle, const char* valueName, uint32_t* value, uint32_t* error) {
  if (!IsPositionValue(valueName)) {
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
  if (!IsPositionValue(valueName)) {
    *error = kErrorInvalidParameter;
    return false;
  }
  ipp_t* request = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, HandleOf(handle)->cupsName);
  ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_NAME, kPositionOption, nullptr, std::to_string(value).c_str());
  return SendOnly(request, "/admin/", error);
}

bool SpoolGetRecord(SpoolHandle handle, SpoolRecord* record, uint32_t* error) {
  CupsPrinter printer;
  if (!GetPrinter(HandleOf(handle)->cupsName, &printer, error)) return false;
  record->name = FromCupsName(printer.name);
  record->shareName = record->name;
  record->attributes = AttributesOf(printer);
  record->status = 0;
  record->platform = nullptr;
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
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) {
    *error = status == IPP_STATUS_ERROR_NOT_FOUND ? kErrorUnknownDriver : ErrorOf(status);
    return false;
  }
  ipp_attribute_t* name = ippFindAttribute(response, "ppd-name", IPP_TAG_NAME);
  if (name != nullptr) *ppdName = Text(name);
  if (name == nullptr) *error = kErrorUnknownDriver;
  ippDelete(response);
  return name != nullptr;
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
