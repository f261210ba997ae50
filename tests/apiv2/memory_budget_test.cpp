// The memory budget: its setting, the order and bounds of its claims, and
// both print routes over a real server on loopback with the printing
// backend faked: a request with no room in time is refused 503 busy with
// nothing stored or printed, one that could never fit gets today's 413 or
// 422, and nothing stays held once an answer is out.
#include <atomic>
#include <functional>
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "api/budget_setting.h"
#include "common/memory_budget.h"
#include "tests/fakes/common/temp_file_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/render/fake_png.h"
#include "tests/support/test_server.h"

namespace {

constexpr uint64_t kMiB = 1ull << 20;

// The legacy route's body for an image: a data URL.
std::string DataUrl(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "data:image/png;base64,";
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0);
    size_t chars = std::min<size_t>(4, (bytes.size() - i) * 4 / 3 + 1);
    for (size_t k = 0; k < 4; ++k) text += k < chars ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

TEST(MemoryBudgetSetting, OnlyAWholeNumberOfMiBInRangeIsABudget) {
  struct Case {
    const char* text;
    uint64_t mib;  // 0: refused
  } cases[] = {{"512", 512},       {"16\n", 16},     {" 1024 \r\n", 1024}, {"1048576", 1048576},
               {"15", 0},          {"1048577", 0},   {"", 0},              {"  \n", 0},
               {"12\n34", 0},      {"0x10", 0},      {"-64", 0},           {"64 MiB", 0},
               {"99999999999", 0}, {"512.5", 0}};
  for (const Case& c : cases) {
    uint64_t bytes = 0;
    std::string why;
    EXPECT_EQ(ParseMemoryBudgetMiB(c.text, &bytes, &why), c.mib != 0) << c.text;
    if (c.mib) {
      EXPECT_EQ(bytes, c.mib * kMiB) << c.text;
    } else {
      EXPECT_FALSE(why.empty()) << c.text;
    }
  }
}

TEST(MemoryBudgetSetting, TheVariableGoesFirstAndAPlaceThatIsNoBudgetIsSkippedAloud) {
  OriginSource unreadable;
  unreadable.where = "/home/desk/.config/printgate/memory-budget";
  unreadable.why = "Permission denied";
  OriginSource system;
  system.where = "/etc/printgate/memory-budget";
  system.readable = true;
  system.texts = {"256\n"};
  std::string said;
  EXPECT_EQ(ChooseMemoryBudget("1024", {unreadable, system}, &said), 1024 * kMiB);
  EXPECT_EQ(said, "memory budget: 1024 MiB (PRINTGATE_MEMORY_BUDGET_MIB)");
  said.clear();
  EXPECT_EQ(ChooseMemoryBudget("lots", {unreadable, system}, &said), 256 * kMiB);
  EXPECT_EQ(said,
            "memory budget: PRINTGATE_MEMORY_BUDGET_MIB skipped: not a whole number of MiB\n"
            "memory budget: /home/desk/.config/printgate/memory-budget skipped: Permission denied\n"
            "memory budget: 256 MiB (/etc/printgate/memory-budget)");
  said.clear();
  EXPECT_EQ(ChooseMemoryBudget(nullptr, {}, &said), kDefaultMemoryBudget);
  EXPECT_EQ(said, "memory budget: 512 MiB (the default)");
}

// A claim runs on a thread of its own, as each request does.
struct Claim {
  std::thread thread;
  std::atomic<int> result{-1};
};

void StartClaim(Claim* claim, const std::string& queue, uint64_t bytes, int holdMs) {
  claim->thread = std::thread([claim, queue, bytes, holdMs] {
    BeginRequestHold(queue);
    claim->result = HoldAtLeast(bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
    ReleaseHold();
  });
}

void WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(MemoryBudget, ClaimsWaitTheirTurnPerQueueForABoundedTime) {
  SetMemoryBudget(100 * kMiB);
  SetBudgetWait(3000);
  BeginRequestHold("test");
  ASSERT_EQ(HoldAtLeast(60 * kMiB), kHeld);
  Claim big, small, other;
  StartClaim(&big, "VELQ", 60 * kMiB, 50);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  StartClaim(&small, "VELQ", 10 * kMiB, 0);  // fits, but an older claim of its queue waits
  StartClaim(&other, "DESK", 10 * kMiB, 0);  // another queue's: fits, goes at once
  WaitUntil([&] { return other.result != -1; });
  EXPECT_EQ(other.result, kHeld);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(big.result, -1);
  EXPECT_EQ(small.result, -1);
  ReleaseHold();
  WaitUntil([&] { return small.result != -1; });
  EXPECT_EQ(big.result, kHeld);
  EXPECT_EQ(small.result, kHeld);
  for (Claim* c : {&big, &small, &other}) c->thread.join();
  EXPECT_EQ(MemoryHeld(), 0u);

  // No room within the wait: busy. More than the whole budget: at once.
  SetBudgetWait(100);
  BeginRequestHold("test");
  ASSERT_EQ(HoldAtLeast(90 * kMiB), kHeld);
  Claim late, huge;
  auto started = std::chrono::steady_clock::now();
  StartClaim(&late, "VELQ", 10 * kMiB, 0);
  late.thread.join();
  EXPECT_EQ(late.result, kBudgetBusy);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
  StartClaim(&huge, "VELQ", 101 * kMiB, 0);
  huge.thread.join();
  EXPECT_EQ(huge.result, kNeverFits);
  // Large holds leave a sixteenth of the budget to small ones.
  HoldAtMost(0);
  BeginRequestHold("test");
  EXPECT_EQ(HoldAtLeast(90 * kMiB), kHeld);
  Claim large, small2;
  StartClaim(&large, "VELQ", 10 * kMiB, 0);  // 100 MiB held: past 93.75
  StartClaim(&small2, "DESK", 8 * kMiB, 0);  // 98 MiB held: a small hold's room
  small2.thread.join();
  EXPECT_EQ(small2.result, kHeld);
  large.thread.join();
  EXPECT_EQ(large.result, kBudgetBusy);
  StartClaim(&huge, "VELQ", 94 * kMiB, 0);
  huge.thread.join();
  EXPECT_EQ(huge.result, kNeverFits);
  // Lowering and raising a hold counts only the difference.
  HoldAtMost(40 * kMiB);
  EXPECT_EQ(MemoryHeld(), 40 * kMiB);
  EXPECT_EQ(HoldAtLeast(30 * kMiB), kHeld);
  EXPECT_EQ(HeldByThisRequest(), 40 * kMiB);
  ReleaseHold();
  EXPECT_EQ(MemoryHeld(), 0u);
  SetMemoryBudget(kDefaultMemoryBudget);
  SetBudgetWait(kBudgetWaitMs);
}

// The process's wake-ups so far: every thread's switches by waiting.
long WakeUps() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// A change can let only the oldest claim of each queue go; waking every
// waiter for it cost a wake-up per waiter and change (under Wine each a
// round trip through its server, and a storm of claims held up the rest).
TEST(MemoryBudget, AChangeWakesOnlyTheClaimsThatMayGo) {
  SetMemoryBudget(100 * kMiB);
  SetBudgetWait(10000);
  BeginRequestHold("test");
  ASSERT_EQ(HoldAtLeast(90 * kMiB), kHeld);
  Claim waiters[64];
  for (Claim& waiter : waiters) StartClaim(&waiter, "VELQ", 10 * kMiB, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const int changes = 50;
  long before = WakeUps();
  for (int i = 1; i <= changes; ++i) {
    HoldAtMost(90 * kMiB - i);  // room for none of them yet
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  long wakeUps = WakeUps() - before;
  ReleaseHold();
  for (Claim& waiter : waiters) waiter.thread.join();
  for (Claim& waiter : waiters) EXPECT_EQ(waiter.result, kHeld);
  // This thread's sleeps and one head per change; every waiter would be 3200.
  EXPECT_LT(wakeUps, changes * 8);
  SetMemoryBudget(kDefaultMemoryBudget);
  SetBudgetWait(kBudgetWaitMs);
}

class BudgetRoutes : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePrinting();
    ResetFakeTempFiles();
    FakeSpoolerReset();
    FakeSpoolerSetPrinters({{false, "", "VELQ", 0}});
    SetFakeFileContent(kTempImage, "the previous label");
    StartDiagCapture();
    port = StartTestServer();
    SetMemoryBudget(64 * kMiB);
    SetBudgetWait(200);
  }
  void TearDown() override {
    ReleaseHold();
    StopTestServer();
    StopDiagCapture();
    SetMemoryBudget(kDefaultMemoryBudget);
    SetBudgetWait(kBudgetWaitMs);
    EXPECT_EQ(FakeLiveHandles(), 0);
  }
  httplib::Result Post(const std::string& path, const std::string& body, const char* type) {
    httplib::Client client = TestClient(port);
    return client.Post(path.c_str(), body, type);
  }
  bool Printed() {
    for (const std::string& call : FakePrintCalls()) {
      if (call.rfind("StartDoc", 0) == 0) return true;
    }
    return false;
  }
  std::string StoredFile() {
    std::string content;
    FakeFileContent(kTempImage, &content);
    return content;
  }
  const std::wstring kTempImage = L"C:\\Users\\Public\\tempVQ.JPG";
  int port = 0;
};

TEST_F(BudgetRoutes, NoRoomInTimeIsBusyWithNothingStoredOrPrintedOnBothRoutes) {
  std::string label = FakePng(400, 240);
  // Held by other requests meanwhile: a large hold (all the budget allows
  // one, 60 of its 64 MiB) and a small one beside it.
  struct Case {
    const char* what;
    uint64_t smallHold;
  } cases[] = {
      {"no room for the body", 4 * kMiB},
      // the body fits; the label's pixels (400 x 240 x 16 bytes) do not
      {"no room for the pixels", 3 * kMiB},
  };
  for (const Case& c : cases) {
    BeginRequestHold("VELQ");
    ASSERT_EQ(HoldAtLeast(60 * kMiB), kHeld);
    Claim small;
    StartClaim(&small, "VELQ", c.smallHold, 1500);
    WaitUntil([&] { return small.result != -1; });
    ASSERT_EQ(small.result, kHeld);
    ResetFakePrinting();
    httplib::Result v2 = Post("/vqapi/v2/print", label, "image/png");
    ASSERT_TRUE(v2) << c.what;
    EXPECT_EQ(v2->status, 503) << c.what;
    EXPECT_EQ(v2->get_header_value("Retry-After"), "2") << c.what;
    EXPECT_EQ(v2->body.find("\"printed\":\tfalse,\n\t\"error\":\t\"busy\""), 3u) << v2->body;
    EXPECT_NE(v2->body.find("64 MiB"), std::string::npos) << v2->body;
    EXPECT_FALSE(Printed()) << c.what;

    httplib::Result legacy = Post("/vqapi/PrintImage?printer=VELQ",
                                  DataUrl(label),
                                  "text/plain");
    ASSERT_TRUE(legacy) << c.what;
    EXPECT_EQ(legacy->status, 503) << c.what;
    EXPECT_EQ(legacy->get_header_value("Retry-After"), "2") << c.what;
    EXPECT_NE(legacy->body.find("<span style='color:red;'>503</span>"), std::string::npos);
    EXPECT_EQ(StoredFile(), "the previous label") << c.what;
    EXPECT_FALSE(Printed()) << c.what;
    ReleaseHold();
    small.thread.join();
    EXPECT_EQ(MemoryHeld(), 0u) << c.what;
  }
  // With room again, both print, and give back all they held.
  httplib::Result v2 = Post("/vqapi/v2/print", label, "image/png");
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->status, 200);
  httplib::Result legacy = Post("/vqapi/PrintImage?printer=VELQ",
                                DataUrl(label),
                                "text/plain");
  ASSERT_TRUE(legacy);
  EXPECT_EQ(legacy->status, 200);
  EXPECT_EQ(StoredFile(), label);
  EXPECT_EQ(MemoryHeld(), 0u);
}

TEST_F(BudgetRoutes, WhatCouldNeverFitGetsTodaysLimits) {
  // A body past the whole budget, declared or chunked: 413, never a wait.
  std::string body(65 * kMiB, 'A');
  httplib::Result v2 = Post("/vqapi/v2/print", body, "image/png");
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->status, 413);
  EXPECT_NE(v2->body.find("\"too-large\""), std::string::npos);
  // The pixels of a 2100 x 2100 label: 70 MB at 16 bytes a pixel.
  v2 = Post("/vqapi/v2/print", FakePng(2100, 2100), "image/png");
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->status, 422);
  EXPECT_NE(v2->body.find("needs more memory to decode and print than printgate's budget of 64 MiB"),
            std::string::npos)
      << v2->body;
  EXPECT_FALSE(Printed());
  EXPECT_EQ(MemoryHeld(), 0u);
}

}  // namespace
