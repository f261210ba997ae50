// Resets the fakes around each test and captures TraceOut's texts.
#include "watch_test_support.h"

#include <cstring>
#include <mutex>

#include "base/log_file.h"
#include "tests/fakes/base/log_io_fake.h"
#include "tests/fakes/watch/event_log_fake.h"
#include "tests/fakes/watch/fake_log.h"
#include "watch/reconcile.h"
#include "tests/fakes/watch/scm_fake.h"
#include "watch/service.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch/trace.h"

const char kBaseName[] = "VELQ";
const char kDriver[] = "VELQ Label Driver";
const char kPort[] = "USB001";
const char kDataDir[] = "C:\\ProgramData\\VELQ";
const char kSettingsKey[] = "SOFTWARE\\USB Printer Service VELQ";

static std::mutex traceLock;
static std::vector<std::string> traces;

static void CaptureTrace(const char* text) {
  std::lock_guard<std::mutex> guard(traceLock);
  traces.emplace_back(text);
}

std::vector<std::string> CapturedTraces() {
  std::lock_guard<std::mutex> guard(traceLock);
  return traces;
}

bool TraceSeen(const std::string& text) {
  for (const std::string& trace : CapturedTraces()) {
    if (trace == text) return true;
  }
  return false;
}

int TracesStartingWith(const std::string& prefix) {
  int count = 0;
  for (const std::string& trace : CapturedTraces()) {
    if (trace.compare(0, prefix.size(), prefix) == 0) ++count;
  }
  return count;
}

void WatchTest::SetUp() {
  FakeUsbReset();
  FakeSpoolReset();
  FakeStoreReset();
  FakeScmReset();
  FakeLogClear();
  FakeLogIoReset();
  FakeLogIoAddFolder(kDataDir);
  FakeEventLogReset();
  LogFileOpen("");
  SetTraceToLog(false);
  {
    std::lock_guard<std::mutex> guard(traceLock);
    traces.clear();
  }
  SetTraceSink(CaptureTrace);
  szServiceName = "USB Printer Service VELQ";
  std::memset(&PrinterSettings, 0, sizeof PrinterSettings);
  FakeSpoolSetDrivers({kDriver, "Office Driver"});
  FakeRegistrySetString(kSettingsKey, "PrinterName", kBaseName);
  FakeRegistrySetString(kSettingsKey, "DriverName", kDriver);
  FakeRegistrySetString(kSettingsKey, "PrinterPort", kPort);
  FakeRegistrySetString("Software\\VELQ", "Data Directory", kDataDir);
}

void WatchTest::TearDown() {
  SetTraceSink(nullptr);
  EXPECT_EQ(FakeSpoolOpenHandles(), 0) << "a spooler handle was left open";
  EXPECT_EQ(FakeUsbOpenPorts(), 0) << "a device was left open";
  EXPECT_EQ(FakeUsbOpenSets(), 0) << "an interface set was left open";
}

FakeQueue ManagedQueue(const std::string& name, int position) {
  FakeQueue queue;
  queue.name = name;
  queue.driver = kDriver;
  queue.hasPosition = position >= 0;
  queue.position = position >= 0 ? static_cast<uint32_t>(position) : 0;
  return queue;
}

std::vector<FakeQueue> ManagedQueues() {
  std::vector<FakeQueue> managed;
  for (const FakeQueue& queue : FakeSpoolQueues()) {
    if (queue.driver == kDriver) managed.push_back(queue);
  }
  return managed;
}

std::string TableName(int k) {
  return k == 0 ? std::string(kBaseName) : std::string(kBaseName) + " #" + std::to_string(k);
}

std::string ConfigFilePath(const std::string& queueName) { return std::string(kDataDir) + "\\" + queueName + ".bin"; }

std::vector<unsigned char> FileBytes(const std::vector<unsigned char>& block) {
  std::vector<unsigned char> bytes(63, 0);
  for (size_t i = 0; i < block.size() && i < 63; ++i) bytes[i] = block[i];
  return bytes;
}
