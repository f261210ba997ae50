// The floor of GetPrinters over CUPS: the listing's own enumeration (one
// CUPS-Get-Printers request on a connection to the scheduler kept between
// calls, as printgate keeps it) called in a loop in this process for a few
// seconds, with no HTTP in front.
// Prints the time per call and the queues, so a run can check it listed
// what printgate lists. The scheduler is the environment's (CUPS_SERVER).
// Usage: bench_cups_enum_loop [seconds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "server/spooler_list.h"

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  std::vector<SpoolerPrinter> printers;
  // Warm up: the first call opens the connection and resolves the server.
  for (int i = 0; i < 20; ++i) {
    if (!EnumLocalPrinters(&printers)) {
      std::fprintf(stderr, "enumeration failed\n");
      return 1;
    }
  }
  typedef std::chrono::steady_clock Clock;
  std::vector<double> callMs;
  Clock::time_point start = Clock::now();
  Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point now = start;
  while (now < end) {
    Clock::time_point before = now;
    if (!EnumLocalPrinters(&printers)) {
      std::fprintf(stderr, "enumeration failed\n");
      return 1;
    }
    now = Clock::now();
    callMs.push_back(std::chrono::duration<double, std::milli>(now - before).count());
  }
  double totalMs = std::chrono::duration<double, std::milli>(now - start).count();
  std::sort(callMs.begin(), callMs.end());
  std::printf("calls %zu, %.4f ms per call, p50 %.4f ms, p99 %.4f ms\n", callMs.size(),
              totalMs / static_cast<double>(callMs.size()), callMs[callMs.size() / 2],
              callMs[std::min(callMs.size() - 1, callMs.size() * 99 / 100)]);
  std::printf("queues:");
  for (const SpoolerPrinter& printer : printers) std::printf(" %s", printer.name.c_str());
  std::printf("\n");
  return 0;
}
