// Test controls of the in-memory spooler. It behaves as Windows' does where
// the pass depends on it: names compare without regard to case, a rename makes
// the queue reachable by its new name only, adding or renaming to a taken
// name fails with 1802, unknown names fail to open with 1801, "Position" and
// the attribute and status bits live per queue, and changes need an
// all-access handle. Wine's known departures can be switched on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeQueue {
  int id = 0;  // assigned by FakeSpoolAddQueue; stays with the queue across renames
  std::string name;
  std::string shareName;
  std::string port = "USB001";
  std::string driver;
  uint32_t attributes = 0;
  uint32_t status = 0;
  bool hasPosition = false;
  uint32_t position = 0;
  bool recordTooBig = false;  // its level-2 record doesn't fit 10240 bytes
  bool openFails = false;     // OpenPrinterA of it fails with 5
};

enum FakeSpoolEnumFailure {
  FakeSpoolEnumWorks,
  FakeSpoolEnumNoMemory,  // the enumeration's buffer can't be allocated (8)
  FakeSpoolEnumRefused,   // the spooler refuses the enumeration (1722)
};

// Wine's known departures and the spooler's failures; FakeSpoolReset clears them.
struct FakeSpoolQuirks {
  bool addOverwrites = false;     // AddPrinterA with a taken name replaces that queue
  bool renameBreaksOpen = false;  // a renamed queue can't be opened by its new name
  bool level0Fails = false;       // SetPrinterA level 0 fails with 124
  FakeSpoolEnumFailure enumFailure = FakeSpoolEnumWorks;
};

void FakeSpoolReset();
// Installed drivers and ports that AddPrinterA accepts.
void FakeSpoolSetDrivers(const std::vector<std::string>& drivers);
void FakeSpoolSetPorts(const std::vector<std::string>& ports);
void FakeSpoolSetQuirks(const FakeSpoolQuirks& quirks);
// Adds a queue at the end of the spooler's order; returns its id.
int FakeSpoolAddQueue(FakeQueue queue);
// The queues in the spooler's order.
std::vector<FakeQueue> FakeSpoolQueues();
// Handles open right now: 0 between passes.
int FakeSpoolOpenHandles();
