// printerwatch's log file and events over the fakes: where the log goes,
// when traces join it, what the event log hears of a start, a stop and a
// failed pass, and a log that can't be written.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "base/log_file.h"
#include "tests/fakes/base/log_io_fake.h"
#include "tests/fakes/watch/event_log_fake.h"
#include "tests/fakes/watch/scm_fake.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch/event_ids.h"
#include "watch/event_log.h"
#include "watch/reconcile.h"
#include "watch/service.h"
#include "watch/service_log.h"
#include "watch/trace.h"
#include "watch_test_support.h"

namespace {

const std::string kLog = std::string(kDataDir) + "\\printerwatch.log";

class ServiceLogTest : public WatchTest {};

std::string LogText() { return FakeLogIoFiles()[kLog]; }

bool Logged(const std::string& text) { return LogText().find(text) != std::string::npos; }

std::vector<uint32_t> EventIds() {
  std::vector<uint32_t> ids;
  for (const FakeEvent& event : FakeEventLogEvents()) ids.push_back(event.id);
  return ids;
}

void RunServiceOnce() {
  FakeScmPostControl(kControlStop, 0);
  MyMain();
}

TEST_F(ServiceLogTest, LogPathFollowsTheDataDirectory) {
  struct Case {
    std::string dataDirectory;
    std::string path;
  } cases[] = {
      {"C:\\ProgramData\\VELQ", "C:\\ProgramData\\VELQ\\printerwatch.log"},
      // As the MSI writes folders: with the trailing backslash.
      {"C:\\ProgramData\\VELQ\\", "C:\\ProgramData\\VELQ\\printerwatch.log"},
      {"/var/lib/printerwatch", "/var/lib/printerwatch/printerwatch.log"},
      {"", ""},
  };
  for (const Case& c : cases) {
    FakeRegistrySetString("Software\\VELQ", "Data Directory", c.dataDirectory);
    ServiceLogLoadSettings();
    EXPECT_EQ(ServiceLogPath(), c.path) << c.dataDirectory;
  }
}

TEST_F(ServiceLogTest, StartAndStopReachTheLogAndTheEventLog) {
  RunServiceOnce();
  EXPECT_EQ(EventIds(), (std::vector<uint32_t>{kEventStarted, kEventStopped}));
  std::vector<FakeEvent> events = FakeEventLogEvents();
  EXPECT_EQ(events[0].source, "USB Printer Service VELQ");
  EXPECT_EQ(events[0].type, kEventInformation);
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{"USB Printer Service VELQ", kLog}));
  EXPECT_EQ(events[1].strings, (std::vector<std::string>{"USB Printer Service VELQ"}));
  EXPECT_TRUE(Logged("] service USB Printer Service VELQ started\r\n"));
  EXPECT_TRUE(Logged("] service USB Printer Service VELQ stopped\r\n"));
  // Tracing is off unless asked for.
  EXPECT_FALSE(Logged("PrinterName="));
}

TEST_F(ServiceLogTest, AFailedHandlerRegistrationIsAnEvent) {
  FakeScmSetFaults(FakeScmFaults{false, 1060});
  MyMain();
  ASSERT_EQ(EventIds(), (std::vector<uint32_t>{kEventHandlerFailed}));
  EXPECT_EQ(FakeEventLogEvents()[0].strings, (std::vector<std::string>{"USB Printer Service VELQ", "1060"}));
}

TEST_F(ServiceLogTest, TheTraceValueTurnsTracingOn) {
  struct Case {
    std::string bytes;  // the value as the registry holds it
    bool traced;
  } cases[] = {
      {std::string("\x01\x00\x00\x00", 4), true},  // REG_DWORD 1, as reg add and the MSI write it
      {std::string("\x00\x00\x00\x00", 4), false},
      {std::string("\x02\x00\x00\x00", 4), false},
      {std::string("1\0", 2), true},  // REG_SZ "1"
      {"", false},
  };
  for (const Case& c : cases) {
    SetUp();
    if (!c.bytes.empty()) FakeRegistrySetBytes(kSettingsKey, "Trace", c.bytes);
    RunServiceOnce();
    EXPECT_EQ(Logged("] *** PrinterName=VELQ, DriverName=VELQ Label Driver, PrinterPort=USB001\r\n"), c.traced)
        << c.bytes.size();
    EXPECT_EQ(Logged("] WaitForSingleObject m_hExitEvent\r\n"), c.traced);
    TearDown();
  }
}

TEST_F(ServiceLogTest, TracesAreUtf8LinesWithTheBytesOfARead) {
  FakeRegistrySetBytes(kSettingsKey, "Trace", std::string("\x01\x00\x00\x00", 4));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  RunServiceOnce();
  // 获取有效配置信息data[0]=8
  EXPECT_TRUE(Logged("] \xe8\x8e\xb7\xe5\x8f\x96\xe6\x9c\x89\xe6\x95\x88\xe9\x85\x8d\xe7\xbd\xae\xe4\xbf\xa1\xe6\x81\xaf"
                     "data[0]=8\r\n"));
  // The read's count line, then its bytes on one line of their own.
  EXPECT_TRUE(Logged("GetPrinterConfig ReadFile dwRead=4 Error=0\r\n"));
  EXPECT_TRUE(Logged("]  8 1 85 170\r\n"));
}

TEST_F(ServiceLogTest, AFailedPassIsOneEventNamingTheFirstFailure) {
  ServiceLogLoadSettings();
  ServiceLogBeginPass();
  LogFailure("AddPrinter VELQ #0 failed (error %d)", 1797);
  LogFailure("SetPrinter rename failed (error %d)", 5);
  ServiceLogEndPass();
  ServiceLogBeginPass();
  ServiceLogEndPass();  // a clean pass: no event
  ASSERT_EQ(EventIds(), (std::vector<uint32_t>{kEventPassFailed}));
  FakeEvent event = FakeEventLogEvents()[0];
  EXPECT_EQ(event.type, kEventError);
  EXPECT_EQ(event.strings,
            (std::vector<std::string>{"USB Printer Service VELQ", "2", "AddPrinter VELQ #0 failed (error 1797)", kLog}));
  EXPECT_TRUE(Logged("] failed: AddPrinter VELQ #0 failed (error 1797)\r\n"));
  EXPECT_TRUE(Logged("] pass ended with 2 failure(s)\r\n"));
}

TEST_F(ServiceLogTest, AnUnwritableLogIsOneWarningAndTheServiceRunsOn) {
  FakeLogIoSetFaults(FakeLogIoFaults{5, 0, 0, 0});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  FakeScmPostControl(kControlDeviceEvent, 0x8000);
  FakeScmPostControl(kControlDeviceEvent, 0x8000);
  RunServiceOnce();
  std::vector<uint32_t> ids = EventIds();
  EXPECT_EQ(std::count(ids.begin(), ids.end(), kEventLogUnwritable), 1);
  for (const FakeEvent& event : FakeEventLogEvents()) {
    if (event.id != kEventLogUnwritable) continue;
    EXPECT_EQ(event.type, kEventWarning);
    EXPECT_EQ(event.strings[1], "log file " + kLog + " cannot be written (error 5); its lines are skipped until it can");
  }
  EXPECT_EQ(ManagedQueues().size(), 1u);  // the pass did its work
  EXPECT_EQ(ids.back(), kEventStopped);
}

TEST_F(ServiceLogTest, AnEventLogThatRefusesChangesNothing) {
  FakeEventLogSetError(1502);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  RunServiceOnce();
  EXPECT_EQ(ManagedQueues().size(), 1u);
  EXPECT_TRUE(Logged("] service USB Printer Service VELQ stopped\r\n"));
}

// Device paths as the pass keeps them.
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// One pass as the service runs it: settings, the pass, its event.
void Pass() {
  ServiceLogLoadSettings();
  ServiceLogBeginPass();
  UpdatePrinters();
  ServiceLogEndPass();
}

// The log's lines without their stamps, from the `from`th on.
std::vector<std::string> Lines(size_t from = 0) {
  std::vector<std::string> lines;
  std::string text = LogText();
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find("\r\n", start);
    size_t stamp = text.find("] ", start);
    lines.push_back(text.substr(stamp + 2, end - stamp - 2));
    start = end + 2;
  }
  return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
}

TEST_F(ServiceLogTest, EachPassSaysWhatItChanged) {
  const std::string bin = std::string(kDataDir) + "\\VELQ.bin";
  FakeUsbInterface printer = FakeUsbPrinter(1, 8);
  struct Step {
    const char* what;
    std::vector<FakeUsbInterface> attached;
    std::vector<std::string> lines;
  } steps[] = {
      {"first printer attached",
       {printer},
       {"pass: 1 printer(s) found, 1 valid, 0 queue(s) of driver \"VELQ Label Driver\"",
        "added queue \"VELQ #0\" (Position 1)", "configuration file " + bin + " written",
        "renamed queue \"VELQ #0\" to \"VELQ\""}},
      {"nothing changed",
       {printer},
       {"pass: 1 printer(s) found, 1 valid, 1 queue(s) of driver \"VELQ Label Driver\"",
        "configuration file " + bin + " written"}},
      {"printer removed",
       {},
       {"pass: 0 printer(s) found, 0 valid, 1 queue(s) of driver \"VELQ Label Driver\"",
        "queue \"VELQ\" taken offline"}},
      {"printer back",
       {printer},
       {"pass: 1 printer(s) found, 1 valid, 1 queue(s) of driver \"VELQ Label Driver\"",
        "configuration file " + bin + " written", "queue \"VELQ\" brought online"}},
  };
  for (const Step& step : steps) {
    size_t before = Lines().size();
    FakeUsbSetInterfaces(step.attached);
    Pass();
    EXPECT_EQ(Lines(before), step.lines) << step.what;
  }
  EXPECT_TRUE(FakeEventLogEvents().empty());
}

TEST_F(ServiceLogTest, EachFailureIsALineAndThePassAnEvent) {
  struct Case {
    const char* what;
    void (*arrange)();
    std::string failure;  // the first failure of the pass
  } cases[] = {
      {"DriverName empty", [] { FakeRegistrySetString(kSettingsKey, "DriverName", ""); },
       "\"DriverName\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\USB Printer Service VELQ is empty: no queue is managed"},
      {"driver not installed",
       [] {
         FakeSpoolSetDrivers({"Office Driver"});
         FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
       },
       "AddPrinter \"VELQ #0\" (driver \"VELQ Label Driver\", port \"USB001\") failed (error 1797)"},
      {"device can't be opened",
       [] {
         FakeUsbInterface printer = FakeUsbPrinter(1, 8);
         printer.openFails = true;
         FakeUsbSetInterfaces({printer});
       },
       "printer " + Lower(FakeUsbFamilyPath(1)) + " cannot be opened (error 5)"},
      {"spooler refuses",
       [] {
         FakeSpoolQuirks quirks;
         quirks.enumFailure = FakeSpoolEnumRefused;
         FakeSpoolSetQuirks(quirks);
       },
       "the spooler's queues cannot be listed (error 1722): the pass ends"},
      {"data directory missing",
       [] {
         FakeRegistrySetString("Software\\VELQ", "Data Directory", "");
         FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
       },
       "\"Data Directory\" cannot be read (error 0): no configuration file written"},
  };
  for (const Case& c : cases) {
    SetUp();
    c.arrange();
    Pass();
    std::vector<FakeEvent> events = FakeEventLogEvents();
    ASSERT_EQ(events.size(), 1u) << c.what;
    EXPECT_EQ(events[0].id, kEventPassFailed) << c.what;
    EXPECT_EQ(events[0].strings[2], c.failure) << c.what;
    if (!ServiceLogPath().empty()) {
      EXPECT_TRUE(Logged("] failed: " + c.failure + "\r\n")) << c.what;
    }
    TearDown();
  }
}

TEST_F(ServiceLogTest, LongNamesMakeBoundedLines) {
  std::string longName(5000, 'N');
  FakeSpoolAddQueue(ManagedQueue(longName, 1));
  Pass();
  for (const std::string& line : Lines()) EXPECT_LE(line.size(), kLogLineBytes + 40);
  EXPECT_TRUE(Logged(" more bytes cut]"));
}

}  // namespace
