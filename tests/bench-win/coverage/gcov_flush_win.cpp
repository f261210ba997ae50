// Coverage builds only (PG_COVERAGE): writes the gcov counters out every
// quarter second. The bench ends programs by signal or `wineserver -k`, and a
// process ended so never runs the exit-time dump; dump-then-reset keeps the
// totals in the .gcda files right across repeated dumps.
#include <windows.h>

extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);

static DWORD WINAPI FlushCoverage(void*) {
  for (;;) {
    Sleep(250);
    __gcov_dump();
    __gcov_reset();
  }
  return 0;
}

static const HANDLE kFlusher = CreateThread(nullptr, 0, FlushCoverage, nullptr, 0, nullptr);
