// Test controls of the in-memory event log: what was reported, and a fault.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeEvent {
  std::string source;
  uint16_t type = 0;
  uint32_t id = 0;
  std::vector<std::string> strings;
};

void FakeEventLogReset();
// Every report fails with this code (0: they succeed).
void FakeEventLogSetError(uint32_t error);
std::vector<FakeEvent> FakeEventLogEvents();
