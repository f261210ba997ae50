// Seam: the print spooler's queues, in the narrow (A) interfaces.
// Backends: spool_win.cpp (winspool), spool_fake.cpp.
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
// of that size plus 4 bytes. Fills *queues in the spooler's order.
// SpoolEnumNoMemory: the buffer couldn't be allocated. SpoolEnumFailed: the
// spooler refused, with the code in *error.
SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error);

// OpenPrinterA by name: with no defaults, or with PRINTER_ALL_ACCESS and no
// data type or device mode. Null on failure (1801 for an unknown name).
SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error);

// ClosePrinter. Accepts null.
void SpoolClose(SpoolHandle handle);

// GetPrinterDataA of a 4-byte value. True only when a value was read.
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
bool SpoolSetRecord(SpoolHandle handle, const SpoolRecord& record, uint32_t* error);

// SetPrinterA level 0 with PRINTER_CONTROL_SET_STATUS and the given status.
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
