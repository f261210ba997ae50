// The diagnostic lines in batches: whole, in order, all out by a flush. In
// a program of its own, since batches, once asked for, stay for the process.
#include "common/diag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
std::string written;
int writes = 0;
// The writer calls it one batch at a time.
void Collect(const std::string& bytes) {
  written += bytes;
  ++writes;
}
}  // namespace

TEST(DiagBatches, LinesFromManyThreadsLeaveWholeInTheirOrderAndFewerWritesThanLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  SetDiagSink(Collect);
  DiagWriteInBatches();
  DiagFlush();
  EXPECT_EQ(writes, 0);  // nothing said, nothing written
  std::vector<std::thread> sayers;
  for (int t = 0; t < kThreads; ++t) {
    sayers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) DiagPrintf("sayer %d line %d\n", t, i);
    });
  }
  for (std::thread& sayer : sayers) sayer.join();
  DiagFlush();
  std::vector<int> next(kThreads, 0);
  std::istringstream lines(written);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "sayer %d line %d", &t, &i), 2) << line;
    ASSERT_EQ(i, next[t]++) << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_LT(writes, count / 10);
  SetDiagSink(nullptr);
}

namespace {
size_t largestBatch = 0;
void SlowReader(const std::string& bytes) {
  largestBatch = std::max(largestBatch, bytes.size());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}
}  // namespace

TEST(DiagBatches, AReaderThatFallsBehindHoldsTheSayersAtAMebibyte) {
  SetDiagSink(SlowReader);
  DiagWriteInBatches();
  const std::string line(1023, 'x');
  for (int i = 0; i < 4096; ++i) DiagLine(line);  // 4 MiB
  DiagFlush();
  SetDiagSink(nullptr);
  EXPECT_GT(largestBatch, 0u);
  EXPECT_LE(largestBatch, (1u << 20) + 1024);
}
