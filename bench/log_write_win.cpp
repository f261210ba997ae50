// What printgate's log file costs a print, in-process under Wine or
// Windows: the lines one PrintImage request writes, through the real
// diagnostic path and the Win32 file backend, timed with the log file on
// and with none. Standard output goes to a sink that drops it, so only the
// log's share is measured.
// Usage: bench_log_write <log path> [requests]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/diag.h"

namespace {

void Drop(const std::string&) {}

// One print's lines, as printgate writes them (the GBK texts included).
void OnePrint() {
  DiagLogOnly("/vqapi/PrintImage from origin https://labels.example.com");
  DiagLine("printer = VELQ");
  DiagLine("printer = VELQ\n");
  DiagLine("Picture file is saved to tempVQ.JPG.");
  DiagLine("pic file is save to tempVQ");
  DiagLine("start print");
  DiagPrintf("%d  %d", 400, 240);
  DiagLine("\xd7\xf7\xd2\xb5\xb1\xe0\xba\xc5\xa3\xba" "17");
  DiagPrintf("1--\xce\xbb\xcd\xbc\xb4\xf3\xd0\xa1\xa3\xba%d x %d\n", 400, 240);
  DiagText("\xb4\xf2\xd3\xa1\xcd\xea\xb3\xc9\n");
}

double MicrosecondsPerPrint(int requests) {
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < requests; ++i) OnePrint();
  QueryPerformanceCounter(&end);
  return (end.QuadPart - start.QuadPart) * 1e6 / frequency.QuadPart / requests;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: bench_log_write <log path> [requests]\n");
    return 2;
  }
  int requests = argc > 2 ? std::atoi(argv[2]) : 2000;
  SetDiagSink(Drop);
  // Alternating rounds, so that a busy moment of the machine falls on both.
  double on = 0, off = 0;
  for (int round = 0; round < 4; ++round) {
    DiagOpenLogFile(argv[1]);
    on += MicrosecondsPerPrint(requests / 4);
    DiagOpenLogFile("");
    off += MicrosecondsPerPrint(requests / 4);
  }
  std::printf("log file: %.1f us per print (9 lines), without: %.1f us, cost %.1f us per print\n", on / 4, off / 4,
              (on - off) / 4);
  return 0;
}
