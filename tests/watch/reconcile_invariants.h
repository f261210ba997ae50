// What one reconcile pass must leave behind, given the world it started
// from. Shared by the property test and the fuzzer; returns the violations
// as texts (empty when the pass kept every rule), so neither needs the
// other's framework.
#pragma once

#include <string>
#include <vector>

#include "tests/fakes/watch/spool_fake.h"

struct ReconcileDevice {
  std::vector<unsigned char> block;  // what its read returned; empty: nothing
};

struct ReconcileWorld {
  std::string baseName;                  // PrinterName setting
  std::string driver;                    // DriverName setting; empty: none
  std::string dataDir;                   // where files go; empty: none can be written
  std::vector<ReconcileDevice> devices;  // slot order (the pass's device k)
  std::vector<FakeQueue> queuesBefore;   // the spooler's order before the pass
  bool enumFails = false;                // every enumeration fails
  // Nothing the platform refuses (adds, opens, renames, record reads, name
  // clashes with other drivers' queues): the full rules apply, not only
  // those that hold whatever fails.
  bool faultFree = false;
};

// Checks the fakes' state after one UpdatePrinters against `before`.
std::vector<std::string> ReconcileViolations(const ReconcileWorld& before);
