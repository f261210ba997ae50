// Test controls of the in-memory spooler listing.
#pragma once
#include <vector>

#include "server/spooler_list.h"

// The queues the next enumerations report, in this order.
void FakeSpoolerSetPrinters(const std::vector<SpoolerPrinter>& printers);
// Makes enumerations fail (as when no buffer can be had).
void FakeSpoolerSetFailure(bool fail);
// Back to no queues, no failure, no calls counted.
void FakeSpoolerReset();
int FakeSpoolerEnumCalls();
