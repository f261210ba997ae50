// Level-2 printer records from the spooler, whole. The list can grow between
// the call that sizes the buffer and the call that fills it (another program,
// or printerwatch, adds a queue meanwhile); the fill then fails with
// ERROR_INSUFFICIENT_BUFFER, which is no failure of the spooler: it is asked
// again at the size it now reports.
#pragma once
#include <windows.h>
#include <winspool.h>

#include <new>
#include <vector>

enum PrinterRecordsResult { kPrinterRecordsOk, kPrinterRecordsFailed, kPrinterRecordsNoMemory };

// EnumPrintersW (wide) or EnumPrintersA with flags, no server name, level 2,
// into *buffer, zero-filled and `slack` bytes larger than the size asked for.
// Returns kPrinterRecordsOk with *count records at the buffer's start (none
// and an empty buffer when the spooler has no queue); kPrinterRecordsFailed
// with the spooler's error in *error (ERROR_INSUFFICIENT_BUFFER when the list
// still grew after a few tries); kPrinterRecordsNoMemory with
// ERROR_NOT_ENOUGH_MEMORY when no buffer could be had. Blocks as long as the
// spooler's calls do.
inline PrinterRecordsResult EnumPrinterRecords(bool wide, DWORD flags, DWORD slack, std::vector<BYTE>* buffer,
                                               DWORD* count, DWORD* error) {
  constexpr int kTries = 8;
  buffer->clear();
  *count = 0;
  *error = ERROR_SUCCESS;
  for (int attempt = 0; attempt <= kTries; ++attempt) {
    DWORD size = buffer->empty() ? 0 : static_cast<DWORD>(buffer->size());
    BYTE* records = buffer->empty() ? nullptr : buffer->data();
    DWORD needed = 0;
    DWORD returned = 0;
    BOOL filled = wide ? EnumPrintersW(flags, nullptr, 2, records, size, &needed, &returned)
                       : EnumPrintersA(flags, nullptr, 2, records, size, &needed, &returned);
    if (filled) {
      *count = returned;
      return kPrinterRecordsOk;
    }
    *error = GetLastError();
    if (*error != ERROR_INSUFFICIENT_BUFFER || attempt == kTries) return kPrinterRecordsFailed;
    try {
      buffer->assign(static_cast<size_t>(needed) + slack, 0);
    } catch (const std::bad_alloc&) {
      buffer->clear();
      *error = ERROR_NOT_ENOUGH_MEMORY;
      return kPrinterRecordsNoMemory;
    }
  }
  return kPrinterRecordsFailed;
}
