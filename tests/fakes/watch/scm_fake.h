// Test controls of the in-memory service control manager. Like the real one,
// its dispatcher runs the service main function on a thread of its own and
// delivers controls one at a time on the dispatcher thread: device events as
// soon as the handler is registered, other controls only while the service
// has last reported RUNNING; it returns once the service main function is done.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "watch/scm.h"

// What fails; FakeScmReset clears it.
struct FakeScmFaults {
  bool noScm = false;          // the dispatcher fails with 1063, as when started from a command line
  uint32_t registerError = 0;  // the handler registration fails with this code (0: succeeds)
};

void FakeScmReset();
void FakeScmSetFaults(const FakeScmFaults& faults);
// The arguments ServiceMain receives; by default the table's service name.
void FakeScmSetArguments(const std::vector<std::string>& arguments);
// Queues a control for the dispatcher thread.
void FakeScmPostControl(uint32_t control, uint32_t eventType);
// Controls the handler has returned from.
int FakeScmControlsDelivered();
// Waits (up to a safety limit) until that many controls were handled.
bool FakeScmWaitDelivered(int count);
std::vector<ScmServiceStatus> FakeScmReports();
std::string FakeScmHandlerName();
int FakeScmDeviceRegistrations();
