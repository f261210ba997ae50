// Level-2 printer records from the spooler, whole (base/whole_listing.h:
// asked again while the list grows between sizing and filling).
#pragma once
#include <windows.h>
#include <winspool.h>

#include <vector>

#include "base/whole_listing.h"

// EnumPrintersW (wide) or EnumPrintersA with flags, no server name, level 2,
// into *buffer, zero-filled and `slack` bytes larger than the size asked for.
// Returns as TakeWholeListing does, *count records at the buffer's start.
// Blocks as long as the spooler's calls do.
inline WholeListingResult EnumPrinterRecords(bool wide, DWORD flags, DWORD slack, std::vector<BYTE>* buffer,
                                             DWORD* count, DWORD* error) {
  uint32_t records = 0;
  uint32_t failure = 0;
  WholeListingResult result = TakeWholeListing(
      [wide, flags](uint8_t* into, uint32_t size, uint32_t* needed, uint32_t* returned) -> uint32_t {
        DWORD neededBytes = 0;
        DWORD written = 0;
        BOOL filled = wide ? EnumPrintersW(flags, nullptr, 2, into, size, &neededBytes, &written)
                           : EnumPrintersA(flags, nullptr, 2, into, size, &neededBytes, &written);
        *needed = neededBytes;
        *returned = written;
        return filled ? 0 : GetLastError();
      },
      slack, buffer, &records, &failure);
  *count = records;
  *error = failure;
  return result;
}
