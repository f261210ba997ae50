// The rename of a CUPS queue, which the scheduler can't do in place: a new
// queue with the old one's settings (its PPD with its defaults, device,
// texts, policies, Position, state), the pending jobs moved over, then the
// old queue deleted.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "base/ipp_cups.h"
#include "base/win_error.h"
#include "watch/linux/cups_queues.h"

// Jobs of the queue not yet completed; -1 (with *error) when the scheduler
// fails.
static int PendingJobs(const std::string& cupsName, uint32_t* error) {
  ipp_t* request = NewRequest(IPP_OP_GET_JOBS, cupsName);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-id");
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) {
    if (status == IPP_STATUS_ERROR_NOT_FOUND) return 0;
    *error = ErrorOf(status);
    return -1;
  }
  int count = 0;
  for (ipp_attribute_t* attribute = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER); attribute != nullptr;
       attribute = ippFindNextAttribute(response, "job-id", IPP_TAG_INTEGER)) {
    ++count;
  }
  ippDelete(response);
  return count;
}

// Moves every job the old queue still holds to the new one. A job that is
// printing right now can't be moved; it is waited for, up to kDrainWaitMs.
static bool MoveJobs(const std::string& from, const std::string& to, uint32_t* error) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainWaitMs);
  for (;;) {
    ipp_t* request = NewRequest(IPP_OP_CUPS_MOVE_JOB, from);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_URI, "job-printer-uri", nullptr, IppPrinterUri(to).c_str());
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

// The scheduler would quietly change a queue of that name instead of
// refusing, and names compare without regard to case, so a change of case
// only is refused too (CUPS can't make one).
bool NameIsFree(const std::string& cupsName, uint32_t* error) {
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

// The scheduler serves each queue's PPD (with its defaults) at
// /printers/NAME.ppd; a queue without one answers 404. A file fetch, not an
// IPP exchange, so it goes over libcups' own connection. False with *error
// on failure; *havePpd false when the queue has none.
static bool FetchPpd(const std::string& cupsName, char* ppdFile, bool* havePpd, uint32_t* error) {
  int ppdFd = mkstemp(ppdFile);
  if (ppdFd < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }
  http_status_t ppd = cupsGetFd(CUPS_HTTP_DEFAULT, ("/printers/" + cupsName + ".ppd").c_str(), ppdFd);
  close(ppdFd);
  *havePpd = ppd == HTTP_STATUS_OK;
  if (!*havePpd && ppd != HTTP_STATUS_NOT_FOUND) {
    unlink(ppdFile);
    *error = ErrorOf(cupsLastError());
    return false;
  }
  return true;
}

// Adds the new queue with the old one's settings, accepting while the jobs
// move in; the old queue's refusal follows after.
static bool AddCopy(const CupsPrinter& old, const std::string& newName, const char* ppdFile, uint32_t* error) {
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
    ippAddString(add, IPP_TAG_PRINTER, IPP_TAG_NAME, kPositionOption, nullptr, std::to_string(old.position).c_str());
  }
  ippAddInteger(add, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state",
                old.state == IPP_PSTATE_STOPPED ? IPP_PSTATE_STOPPED : IPP_PSTATE_IDLE);
  ippAddBoolean(add, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
  return SendOnly(add, "/admin/", error, ppdFile);
}

// The new queue exists before the old one goes, and the old one refuses
// new jobs while its pending ones move, so no job is lost on the way.
bool RenameQueue(CupsQueueHandle* handle, const std::string& newName, uint32_t* error) {
  if (!NameIsFree(newName, error)) return false;
  CupsPrinter old;
  if (!GetPrinter(handle->cupsName, &old, error)) return false;
  char ppdFile[] = "/tmp/printerwatch-XXXXXX";
  bool havePpd = false;
  if (!FetchPpd(old.name, ppdFile, &havePpd, error)) return false;
  bool added = AddCopy(old, newName, havePpd ? ppdFile : nullptr, error);
  unlink(ppdFile);
  if (!added) return false;
  uint32_t ignored = 0;
  if (old.isDefault) QueueCommand(IPP_OP_CUPS_SET_DEFAULT, newName, &ignored);

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
