// Seam: the print spooler's queues, in the narrow (A) interfaces.
//
// Backends, one linked per target:
//   watch/win/spool_win.cpp        winspool
//   watch/linux/spool_cups.cpp     the CUPS scheduler over IPP: a queue's
//                                  driver is its make and model, "Position"
//                                  the queue option printerwatch-position,
//                                  work offline a stopped queue, "NAME #k"
//                                  the queue NAME_k (see the file's top)
//   tests/fakes/watch/spool_fake.cpp  in memory, for the unit tests
// Error codes are Win32 codes in every backend: 5 access denied, 1801 an
// unknown or invalid name, 1802 a name taken, 1796 an unknown port, 1797 an
// unknown driver; on Linux also 1722 when the scheduler can't be reached,
// and a scheduler status without a Win32 counterpart as its IPP number.
// Every call blocks on the spooler: on Windows an RPC to the spooler
// service, on Linux one or more IPP exchanges with the scheduler, each as
// long as it takes to answer (base/ipp_cups.h). SpoolSetRecord may block
// longer on Linux (below). SpoolClose never blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef void* SpoolHandle;  // null: not open

constexpr uint32_t kSpoolAttributeDefault = 0x4;        // PRINTER_ATTRIBUTE_DEFAULT
constexpr uint32_t kSpoolAttributeWorkOffline = 0x400;  // PRINTER_ATTRIBUTE_WORK_OFFLINE

// One queue as an enumeration returns it.
struct SpoolQueue {
  std::string name;
  std::string driver;
  uint32_t attributes = 0;
  uint32_t status = 0;
};

enum SpoolEnumResult { SpoolEnumOk, SpoolEnumNoMemory, SpoolEnumFailed };

// EnumPrintersA with PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, no server
// name, level 2: first the size, then the records into a zero-filled buffer
// of that size plus 4 bytes, asked again at the new size while the list grows
// between the two calls. Fills *queues in the spooler's order.
// SpoolEnumNoMemory: the buffer couldn't be allocated. SpoolEnumFailed: the
// spooler refused, with the code in *error. On Linux classes are left out,
// and a scheduler without queues gives an empty list.
SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error);

// OpenPrinterA by name: with no defaults, or with PRINTER_ALL_ACCESS and no
// data type or device mode. Null on failure (1801 for an unknown name).
SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error);

// ClosePrinter. Accepts null.
void SpoolClose(SpoolHandle handle);

// GetPrinterDataA of a 4-byte value. True only when a value was read (2
// when there is none; on Linux only "Position" exists).
bool SpoolGetDword(SpoolHandle handle, const char* valueName, uint32_t* value, uint32_t* error);

// SetPrinterDataA as REG_DWORD, 4 bytes. Needs an all-access handle.
bool SpoolSetDword(SpoolHandle handle, const char* valueName, uint32_t value, uint32_t* error);

// The level-2 record of an open queue. `platform` keeps the whole record as
// the spooler gave it, so that writing it back changes only the fields below.
struct SpoolRecord {
  std::string name;
  std::string shareName;
  uint32_t attributes = 0;
  uint32_t status = 0;
  std::shared_ptr<void> platform;
};

// GetPrinterA level 2 into a 10240-byte buffer; fails (122) when the record
// doesn't fit.
bool SpoolGetRecord(SpoolHandle handle, SpoolRecord* record, uint32_t* error);

// SetPrinterA level 2, command 0: the record read by SpoolGetRecord with its
// name, share name and attributes replaced by those of `record`. A new name
// renames the queue; a name another queue holds fails (1802).
// On Linux a rename is a copy: a new queue with the old one's settings, its
// pending jobs moved over, the old queue deleted. A job printing right now
// can't be moved and is waited for up to 5 s (kDrainWaitMs), polling every
// 100 ms; after that the call fails, both queues stay and the old one takes
// jobs again, so the next pass finds both and nothing is lost.
bool SpoolSetRecord(SpoolHandle handle, const SpoolRecord& record, uint32_t* error);

// SetPrinterA level 0 with PRINTER_CONTROL_SET_STATUS and the given status.
// On Linux there is no status word: it only checks the handle's access.
bool SpoolSetStatus(SpoolHandle handle, uint32_t status, uint32_t* error);

// The fields of a level-2 record for AddPrinterA; the others are null or 0.
struct SpoolNewQueue {
  std::string name;
  std::string shareName;
  std::string port;
  std::string driver;
  std::string sepFile;
  std::string printProcessor;
  std::string datatype;
  std::string parameters;
  uint32_t attributes = 0;
};

// AddPrinterA on the local machine, level 2. Returns an all-access handle to
// the new queue, or null with the code in *error (1802 when the name exists,
// 1797 for an unknown driver, 1796 for an unknown port).
SpoolHandle SpoolAdd(const SpoolNewQueue& queue, uint32_t* error);

// DeletePrinter on an all-access handle; the handle must still be closed.
bool SpoolDelete(SpoolHandle handle, uint32_t* error);
