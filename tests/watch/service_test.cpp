// The service's life cycle over the fake SCM: what is reported and when,
// how controls are answered, and how device events become passes.
#include <algorithm>
#include <atomic>

#include "tests/fakes/watch/fake_log.h"
#include "tests/fakes/watch/scm_fake.h"
#include "watch/service.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch/trace_texts.h"
#include "watch_test_support.h"

namespace {

class ServiceTest : public WatchTest {};

std::vector<uint32_t> ReportedStates() {
  std::vector<uint32_t> states;
  for (const ScmServiceStatus& status : FakeScmReports()) states.push_back(status.currentState);
  return states;
}

int Passes() { return TracesStartingWith("*** PrinterName="); }

int LogIndex(const std::string& entry) {
  auto log = FakeLogEntries();
  auto found = std::find(log.begin(), log.end(), entry);
  return found == log.end() ? -1 : static_cast<int>(found - log.begin());
}

int LastLogIndexStartingWith(const std::string& prefix) {
  auto log = FakeLogEntries();
  int last = -1;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].compare(0, prefix.size(), prefix) == 0) last = static_cast<int>(i);
  }
  return last;
}

TEST_F(ServiceTest, ReportsRunningAfterTheFirstPassThenStopPendingThenStopped) {
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  FakeScmPostControl(kControlStop, 0);
  MyMain();
  EXPECT_EQ(ReportedStates(), (std::vector<uint32_t>{kServiceRunning, kServiceStopPending, kServiceStopped}));
  for (const ScmServiceStatus& status : FakeScmReports()) {
    EXPECT_EQ(status.serviceType, 0x10u);
    EXPECT_EQ(status.controlsAccepted, 3u);
    EXPECT_EQ(status.win32ExitCode, 0u);
    EXPECT_EQ(status.serviceSpecificExitCode, 0u);
    EXPECT_EQ(status.checkPoint, 0u);
    EXPECT_EQ(status.waitHint, 0u);
  }
  EXPECT_EQ(Passes(), 1);
  EXPECT_EQ(ManagedQueues().size(), 1u);
  // The first pass is over before the SCM hears RUNNING; events were
  // registered before it.
  EXPECT_LT(LastLogIndexStartingWith("Spool"), LogIndex("ScmSetStatus 4"));
  EXPECT_LT(LogIndex("ScmRegisterUsbPrintEvents"), LogIndex("SpoolEnumQueues"));
  EXPECT_EQ(FakeScmDeviceRegistrations(), 1);
  EXPECT_EQ(FakeScmHandlerName(), "USB Printer Service VELQ");
  EXPECT_LT(LogIndex("ScmAttachWindowStation Winsta0"), LogIndex("ScmStartDispatcher USB Printer Service VELQ"));
  EXPECT_LT(LogIndex("ScmAttachThreadDesktop Default"), LogIndex("ScmStartDispatcher USB Printer Service VELQ"));
  EXPECT_TRUE(TraceSeen("WaitForSingleObject m_hExitEvent"));
  EXPECT_TRUE(TraceSeen("Service stopped"));
  EXPECT_TRUE(TraceSeen(kTraceControlStop));
}

TEST_F(ServiceTest, PauseContinueAndInterrogateChangeNothing) {
  FakeScmPostControl(kControlPause, 0);
  FakeScmPostControl(kControlContinue, 0);
  FakeScmPostControl(kControlInterrogate, 0);
  FakeScmPostControl(200, 0);  // a user-defined control
  FakeScmPostControl(kControlStop, 0);
  MyMain();
  EXPECT_EQ(ReportedStates(), (std::vector<uint32_t>{kServiceRunning, kServiceStopPending, kServiceStopped}));
  EXPECT_TRUE(TraceSeen(kTraceControlPause));
  EXPECT_TRUE(TraceSeen(kTraceControlContinue));
  EXPECT_EQ(Passes(), 1);
}

TEST_F(ServiceTest, WithoutAnScmNothingRuns) {
  FakeScmSetFaults(FakeScmFaults{true, 0});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  MyMain();
  EXPECT_TRUE(TraceSeen("Register Service Main Function Error!"));
  EXPECT_TRUE(FakeScmReports().empty());
  for (const std::string& entry : FakeLogEntries()) {
    EXPECT_NE(entry.compare(0, 5, "Spool"), 0) << entry;
    EXPECT_NE(entry.compare(0, 3, "Usb"), 0) << entry;
    EXPECT_NE(entry.compare(0, 8, "Registry"), 0) << entry;
  }
}

TEST_F(ServiceTest, FailedHandlerRegistrationReportsNothing) {
  FakeScmSetFaults(FakeScmFaults{false, 1060});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  MyMain();
  EXPECT_TRUE(TraceSeen("RegisterServiceCtrlHandler Failed ErrorCode=1060"));
  EXPECT_TRUE(FakeScmReports().empty());
  EXPECT_EQ(Passes(), 0);
  EXPECT_EQ(FakeScmDeviceRegistrations(), 0);
}

TEST_F(ServiceTest, ServiceStartedUnderAnotherNameUsesItsOwnSettings) {
  const std::string otherKey = "SOFTWARE\\Label Watch Two";
  FakeRegistrySetString(otherKey, "PrinterName", "Two");
  FakeRegistrySetString(otherKey, "DriverName", kDriver);
  FakeRegistrySetString(otherKey, "PrinterPort", kPort);
  FakeScmSetArguments({"Label Watch Two"});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  FakeScmPostControl(kControlStop, 0);
  MyMain();
  EXPECT_EQ(FakeScmHandlerName(), "Label Watch Two");
  EXPECT_TRUE(TraceSeen("**** dwArgc=1 szServiceName=Label Watch Two\r\n"));
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "Two");
}

TEST_F(ServiceTest, EventsDuringAPassFoldIntoOneMorePass) {
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  std::atomic<int> reads{0};
  std::atomic<int> inPass{0};
  std::atomic<bool> overlapped{false};
  FakeUsbSetFaults(FakeUsbFaults{false, [&](const std::string&) {
    if (inPass.fetch_add(1) != 0) overlapped = true;
    int read = ++reads;
    if (read == 1) {
      // First pass: three events arrive; the handler must not wait for us.
      FakeScmPostControl(kControlDeviceEvent, 0x8000);
      FakeScmPostControl(kControlDeviceEvent, 0x8004);
      FakeScmPostControl(kControlDeviceEvent, 0x8000);
      EXPECT_TRUE(FakeScmWaitDelivered(3));
    } else if (read == 4) {
      // The second pass (each pass reads the printer three times).
      FakeScmPostControl(kControlStop, 0);
    }
    --inPass;
  }});
  MyMain();
  EXPECT_EQ(Passes(), 2);
  EXPECT_FALSE(overlapped);
  EXPECT_TRUE(TraceSeen("******* SERVICE_CONTROL_DEVICEEVENT " "\xd3\xd0\xc9\xe8\xb1\xb8\xb2\xe5\xc8\xeb" " dwEventType=8004\r\n"));
}

TEST_F(ServiceTest, StopDuringAPassIsAnsweredAtOnceAndStopsAfterThePass) {
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  std::atomic<int> reads{0};
  FakeUsbSetFaults(FakeUsbFaults{false, [&](const std::string&) {
    int read = ++reads;
    if (read == 1) {
      FakeScmPostControl(kControlDeviceEvent, 0x8000);
    } else if (read == 4) {
      // Inside the event's pass: STOP is answered while the pass still runs.
      // The event's own delivery is counted only once its handler has
      // returned, which may be after its pass has begun.
      EXPECT_TRUE(FakeScmWaitDelivered(1));
      int delivered = FakeScmControlsDelivered();
      FakeScmPostControl(kControlStop, 0);
      EXPECT_TRUE(FakeScmWaitDelivered(delivered + 1));
      EXPECT_EQ(ReportedStates(), (std::vector<uint32_t>{kServiceRunning, kServiceStopPending}));
      FakeScmPostControl(kControlDeviceEvent, 0x8004);  // too late: no pass after STOP
    }
  }});
  MyMain();
  EXPECT_EQ(ReportedStates(), (std::vector<uint32_t>{kServiceRunning, kServiceStopPending, kServiceStopped}));
  EXPECT_EQ(Passes(), 2);
  EXPECT_LT(LastLogIndexStartingWith("Spool"), LogIndex("ScmSetStatus 1"));
}

}  // namespace
