// Test controls of the in-memory spooler the watcher follows: each job
// walks through a script of readings, one step per look, and stays at its
// last; queues are a list set by the test.
#pragma once
#include <string>
#include <vector>

#include "follow/follow_spooler.h"

// One step of a job's script: a reading, or the job gone from the spooler
// (gone), or a look that fails (unreachable).
struct FakeJobStep {
  LabelReading reading;
  bool gone = false;
  bool unreachable = false;
};
FakeJobStep FakeStep(LabelState state, std::vector<std::string> reasons = {}, std::string message = "");
FakeJobStep FakeGone();

// The script of a job (replacing any); a job without one is "queued".
void FakeFollowSetJob(const std::string& printer, int jobId, const std::vector<FakeJobStep>& script);
// The queues' states the next reads report.
void FakeFollowSetPrinters(const std::vector<PrinterReading>& printers);

struct FakeFollowFaults {
  bool holdFails = false;      // HoldSpoolerJob answers false
  bool cancelRefused = false;  // CancelSpoolerJob fails with cancelError
  unsigned long cancelError = 5;
  bool printersFail = false;   // ReadSpoolerPrinters fails
};
void FakeFollowSetFaults(const FakeFollowFaults& faults);

// Back to no jobs, no queues, no faults, no calls.
void FakeFollowReset();
// Every call in order: "read P 7", "hold P 7", "release P 7", "cancel P 7",
// "printers".
std::vector<std::string> FakeFollowCalls();
int FakeFollowCount(const std::string& call);
