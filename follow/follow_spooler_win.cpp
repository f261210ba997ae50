// The follow seam over the Windows spooler. A job is kept past its end with
// JOB_CONTROL_RETAIN right after StartDoc (a printed job otherwise leaves
// the queue at once and GetJob fails), read with GetJob level 1 and its
// queue's GetPrinter level 2 (USB queues' status bits are mostly 0: the
// job's own bits, then the work-offline attribute printerwatch sets, say
// more), released once its end is seen, and canceled with
// JOB_CONTROL_DELETE. Queues by their UTF-8 names, converted here.
#include "follow/follow_spooler.h"

#include <windows.h>
#include <winspool.h>

#include <vector>

#include "base/printer_records_win.h"
#include "base/wide_text_win.h"
#include "base/win_error.h"

namespace {

// An open queue, closed when it goes out of scope.
struct OpenQueue {
  HANDLE handle = nullptr;
  explicit OpenQueue(const std::string& printer) {
    std::wstring name = WideText(printer);
    if (name.empty()) return;
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
    if (!OpenPrinterW(&name[0], &handle, &defaults)) handle = nullptr;
  }
  ~OpenQueue() {
    if (handle != nullptr) ClosePrinter(handle);
  }
  OpenQueue(const OpenQueue&) = delete;
  OpenQueue& operator=(const OpenQueue&) = delete;
};

// GetJobW or GetPrinterW into a buffer of the size it asks for: 0, or the
// error.
template <typename Call>
DWORD Fill(Call call, std::vector<BYTE>* buffer) {
  DWORD needed = 0;
  SetLastError(0);
  if (call(nullptr, 0, &needed)) return 0;
  DWORD error = GetLastError();
  if (error != kErrorInsufficientBuffer || needed == 0) return error;
  buffer->assign(needed, 0);
  SetLastError(0);
  return call(buffer->data(), needed, &needed) ? 0 : GetLastError();
}

bool Control(const std::string& printer, int jobId, DWORD command, DWORD* error) {
  OpenQueue queue(printer);
  if (queue.handle == nullptr) {
    *error = GetLastError();
    return false;
  }
  if (SetJobW(queue.handle, static_cast<DWORD>(jobId), 0, nullptr, command)) return true;
  *error = GetLastError();
  return false;
}

}  // namespace

SpoolerJobLookup ReadSpoolerJob(const std::string& printer, int jobId, LabelReading* reading) {
  OpenQueue queue(printer);
  if (queue.handle == nullptr) {
    return GetLastError() == kErrorInvalidPrinterName ? kSpoolerJobGone : kSpoolerJobFailed;
  }
  std::vector<BYTE> job;
  DWORD error = Fill(
      [&queue, jobId](BYTE* into, DWORD size, DWORD* needed) {
        return GetJobW(queue.handle, static_cast<DWORD>(jobId), 1, into, size, needed) != FALSE;
      },
      &job);
  if (error != 0 || job.empty()) {
    // The spooler unreachable, or out of memory: ask again later. Anything
    // else (ERROR_INVALID_PARAMETER; Wine leaves no code) is a job it no
    // longer has.
    return error == kErrorServerUnavailable || error == kErrorNotEnoughMemory ? kSpoolerJobFailed
                                                                               : kSpoolerJobGone;
  }
  const JOB_INFO_1W* info = reinterpret_cast<const JOB_INFO_1W*>(job.data());
  WinJobFacts facts;
  facts.jobStatus = info->Status;
  if (info->pStatus != nullptr) facts.jobStatusText = NarrowText(info->pStatus, wcslen(info->pStatus));
  std::vector<BYTE> record;
  if (Fill([&queue](BYTE* into, DWORD size, DWORD* needed) {
             return GetPrinterW(queue.handle, 2, into, size, needed) != FALSE;
           },
           &record) == 0 &&
      !record.empty()) {
    const PRINTER_INFO_2W* printerInfo = reinterpret_cast<const PRINTER_INFO_2W*>(record.data());
    facts.printerStatus = printerInfo->Status;
    facts.printerAttributes = printerInfo->Attributes;
  }
  *reading = ReadWinJob(facts);
  return kSpoolerJobFound;
}

bool HoldSpoolerJob(const std::string& printer, int jobId) {
  DWORD error = 0;
  return Control(printer, jobId, kWinJobControlRetain, &error);
}

void ReleaseSpoolerJob(const std::string& printer, int jobId) {
  DWORD error = 0;
  Control(printer, jobId, kWinJobControlRelease, &error);
}

bool CancelSpoolerJob(const std::string& printer, int jobId, unsigned long* error) {
  DWORD code = 0;
  if (Control(printer, jobId, JOB_CONTROL_DELETE, &code)) return true;
  *error = code;
  return false;
}

bool ReadSpoolerPrinters(std::vector<PrinterReading>* printers) {
  printers->clear();
  std::vector<BYTE> buffer;
  DWORD count = 0;
  DWORD error = 0;
  if (EnumPrinterRecords(true, PRINTER_ENUM_LOCAL, 0, &buffer, &count, &error) != kWholeListingOk) return false;
  const PRINTER_INFO_2W* records = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) {
    if (records[i].pPrinterName == nullptr) continue;
    std::string name = NarrowText(records[i].pPrinterName, wcslen(records[i].pPrinterName));
    printers->push_back(ReadWinPrinter(name, records[i].Status, records[i].Attributes));
  }
  return true;
}
