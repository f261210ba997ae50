// The CUPS scheduler's queues as the Linux spooler seam sees them: the
// queue names of the Windows scheme, one queue's attributes, and the IPP
// requests the seam and the rename by copy share. Everything here talks to
// the scheduler that CUPS_SERVER (or client.conf) names, over base/'s
// shared connections, and blocks as base/ipp_cups.h says.
#pragma once

#include <cups/cups.h>

#include <cstdint>
#include <string>
#include <vector>

// An open queue: the scheduler's name of it, and whether it may be changed.
struct CupsQueueHandle {
  std::string cupsName;
  bool allAccess = false;
};

// One queue's attributes, as Get-Printer-Attributes answers them.
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

// The queue option that carries the printer data "Position".
constexpr char kPositionOption[] = "printerwatch-position-default";

// CUPS names can't hold a blank or '#': "NAME #k" <-> "NAME_k"; every other
// name is the same on both sides.
std::string ToCupsName(const std::string& name);
std::string FromCupsName(const std::string& name);
// The scheduler's own rule for queue names.
bool ValidCupsName(const std::string& name);

// The Win32 code the spooler would give for a failed IPP status.
uint32_t ErrorOf(ipp_status_t status);

// A request of that operation on the queue (none when cupsName is empty),
// as the current user.
ipp_t* NewRequest(ipp_op_t operation, const std::string& cupsName);
// Sends the request (always freed) with the bytes of file as its document
// (null: none). The answer, or null with the Win32 code in *error.
ipp_t* Send(ipp_t* request, const char* resource, uint32_t* error, const char* file = nullptr);
// Send when only success matters.
bool SendOnly(ipp_t* request, const char* resource, uint32_t* error, const char* file = nullptr);
// An administrative operation on one queue (pause, resume, accept, reject,
// delete, set default).
bool QueueCommand(ipp_op_t operation, const std::string& cupsName, uint32_t* error);

// The first string of an attribute, or "".
const char* Text(ipp_attribute_t* attribute);

// The queue's attributes; false with 1801 for a name that is invalid or
// that no queue holds.
bool GetPrinter(const std::string& cupsName, CupsPrinter* printer, uint32_t* error);
// Every queue and class of the scheduler, in its order; an empty list when
// there is none. False with the Win32 code when the scheduler fails.
bool GetPrinters(std::vector<CupsPrinter>* printers, uint32_t* error);

// Renames the queue by copy (queue_rename_cups.cpp): a new queue with the
// old one's settings, the pending jobs moved over, then the old queue
// deleted; handle->cupsName follows. Blocks up to kDrainWaitMs (plus the
// scheduler's answers) while a job that is printing can't be moved; then
// fails, leaving the old queue accepting jobs beside the new one.
constexpr int kDrainWaitMs = 5000;
bool RenameQueue(CupsQueueHandle* handle, const std::string& newName, uint32_t* error);
// True when a new queue may take the name: valid (else 1801) and free (else
// 1802; names compare without regard to case, as the scheduler's do).
bool NameIsFree(const std::string& cupsName, uint32_t* error);
