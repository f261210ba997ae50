// Test controls of the in-memory spooler listing.
#pragma once
#include <vector>

#include "server/spooler_list.h"

// The queues the next enumerations report, in this order.
void FakeSpoolerSetPrinters(const std::vector<SpoolerPrinter>& printers);
// What fails; FakeSpoolerReset clears it.
struct FakeSpoolerFaults {
  bool enumFails = false;  // enumerations fail (as when no buffer can be had)
};
void FakeSpoolerSetFaults(const FakeSpoolerFaults& faults);
// Back to no queues, no faults, no calls counted.
void FakeSpoolerReset();
int FakeSpoolerEnumCalls();
