// In-memory spooler listing for unit tests.
#include "tests/fakes/server/spooler_list_fake.h"

#include <mutex>

namespace {
std::mutex fakeMutex;
std::vector<SpoolerPrinter> fakePrinters;
FakeSpoolerFaults faults;
int fakeCalls = 0;
}  // namespace

void FakeSpoolerSetPrinters(const std::vector<SpoolerPrinter>& printers) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  fakePrinters = printers;
}

void FakeSpoolerSetFaults(const FakeSpoolerFaults& newFaults) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  faults = newFaults;
}

void FakeSpoolerReset() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  fakePrinters.clear();
  faults = FakeSpoolerFaults{};
  fakeCalls = 0;
}

int FakeSpoolerEnumCalls() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return fakeCalls;
}

bool EnumLocalPrinters(std::vector<SpoolerPrinter>* printers) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  ++fakeCalls;
  printers->clear();
  if (faults.enumFails) return false;
  *printers = fakePrinters;
  // Every real backend fills both names; ASCII names are the same in both.
  for (SpoolerPrinter& printer : *printers) {
    if (printer.utf8Name.empty()) printer.utf8Name = printer.name;
  }
  return true;
}
