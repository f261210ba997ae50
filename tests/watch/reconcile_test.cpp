// The reconcile pass over the fake spooler: the typical sequence of attaching
// and removing printers, and the cases where ordering, naming or status go
// wrong most easily.
#include <algorithm>

#include "tests/fakes/watch/fake_log.h"
#include "watch/reconcile.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch_test_support.h"

namespace {

class ReconcileTest : public WatchTest {};

bool Offline(const FakeQueue& queue) { return (queue.attributes & 0x400) != 0; }

FakeQueue QueueById(int id) {
  for (const FakeQueue& queue : FakeSpoolQueues()) {
    if (queue.id == id) return queue;
  }
  ADD_FAILURE() << "queue " << id << " is gone";
  return FakeQueue{};
}

int LogCount(const std::string& prefix) {
  int count = 0;
  for (const std::string& entry : FakeLogEntries()) {
    if (entry.compare(0, prefix.size(), prefix) == 0) ++count;
  }
  return count;
}

TEST_F(ReconcileTest, AttachAndRemovePrintersOneByOne) {
  FakeUsbInterface first = FakeUsbPrinter(1, 8);
  FakeUsbInterface second = FakeUsbPrinter(2, 8);

  // First printer, no queue yet: added as "VELQ #0", then named "VELQ".
  FakeUsbSetInterfaces({first});
  UpdatePrinters();
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].shareName, "VELQ");
  EXPECT_EQ(queues[0].port, kPort);
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_FALSE(Offline(queues[0]));
  EXPECT_EQ(LogCount("SpoolAdd VELQ #0"), 1);
  EXPECT_EQ(FakeFiles()[ConfigFilePath("VELQ")], FileBytes(first.block));

  // A second printer.
  FakeUsbSetInterfaces({first, second});
  UpdatePrinters();
  queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_EQ(queues[1].name, "VELQ #1");
  EXPECT_EQ(queues[1].position, 2u);
  EXPECT_FALSE(Offline(queues[0]));
  EXPECT_FALSE(Offline(queues[1]));
  EXPECT_EQ(FakeFiles()[ConfigFilePath("VELQ #1")], FileBytes(second.block));

  // The first one removed: the queue with the higher Position goes; the
  // remaining queue now stores the remaining printer's block.
  FakeUsbSetInterfaces({second});
  UpdatePrinters();
  queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_FALSE(Offline(queues[0]));
  EXPECT_EQ(FakeFiles()[ConfigFilePath("VELQ")], FileBytes(second.block));

  // The last one removed: the queue stays, offline.
  FakeUsbSetInterfaces({});
  UpdatePrinters();
  queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_TRUE(Offline(queues[0]));

  // Attached again: nothing added, back online.
  FakeLogClear();
  FakeUsbSetInterfaces({first});
  UpdatePrinters();
  queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_FALSE(Offline(queues[0]));
  EXPECT_EQ(LogCount("SpoolAdd"), 0);
  EXPECT_EQ(FakeFiles()[ConfigFilePath("VELQ")], FileBytes(first.block));
}

TEST_F(ReconcileTest, NothingAttachedAndNothingManagedChangesNothing) {
  int office = FakeSpoolAddQueue(FakeQueue{0, "Office", "", "LPT1:", "Office Driver", 0x10, 0});
  UpdatePrinters();
  EXPECT_EQ(LogCount("SpoolAdd"), 0);
  EXPECT_EQ(LogCount("SpoolDelete"), 0);
  EXPECT_EQ(LogCount("SpoolSetRecord"), 0);
  EXPECT_EQ(LogCount("SpoolSetDword"), 0);
  EXPECT_EQ(QueueById(office).attributes, 0x10u);
}

TEST_F(ReconcileTest, ThreePrintersFromNone) {
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8), FakeUsbPrinter(3, 8)});
  UpdatePrinters();
  std::vector<std::string> added;
  for (const std::string& entry : FakeLogEntries()) {
    if (entry.compare(0, 9, "SpoolAdd ") == 0) added.push_back(entry.substr(9));
  }
  EXPECT_EQ(added, (std::vector<std::string>{"VELQ #0", "VELQ #1", "VELQ #2"}));
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(queues[k].name, TableName(k));
    EXPECT_EQ(queues[k].position, static_cast<uint32_t>(k + 1));
    EXPECT_EQ(queues[k].attributes, 0x4u) << "added as default, never offline";
  }
}

TEST_F(ReconcileTest, EqualPositionsKeepTheSpoolersOrder) {
  int a = FakeSpoolAddQueue(ManagedQueue("Label A", 1));
  int b = FakeSpoolAddQueue(ManagedQueue("Label B", 1));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(a).name, "VELQ");
  EXPECT_EQ(QueueById(a).position, 1u);
  EXPECT_EQ(QueueById(b).name, "VELQ #1");
  EXPECT_EQ(QueueById(b).position, 2u);
}

TEST_F(ReconcileTest, PositionsOneAndFiveWithTwoPrinters) {
  int five = FakeSpoolAddQueue(ManagedQueue("VELQ #4", 5));
  int one = FakeSpoolAddQueue(ManagedQueue("VELQ", 1));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_EQ(LogCount("SpoolDelete"), 0);
  EXPECT_EQ(QueueById(one).name, "VELQ");
  EXPECT_EQ(QueueById(five).name, "VELQ #1");
  EXPECT_EQ(QueueById(five).position, 2u);
}

TEST_F(ReconcileTest, ThreeQueuesAndNoPrinterKeepTheLowestOffline) {
  int three = FakeSpoolAddQueue(ManagedQueue("VELQ #2", 3));
  int one = FakeSpoolAddQueue(ManagedQueue("VELQ", 1));
  int two = FakeSpoolAddQueue(ManagedQueue("VELQ #1", 2));
  UpdatePrinters();
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].id, one);
  EXPECT_TRUE(Offline(queues[0]));
  (void)two;
  (void)three;
}

TEST_F(ReconcileTest, BlockStartingWith12IsNotValidAndKeepsItsQueuesState) {
  // A 12 alone adds nothing.
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 12)});
  UpdatePrinters();
  EXPECT_TRUE(ManagedQueues().empty());

  // Device 0 answers 12, device 1 is valid: E = 1. Queue 0 (paired with
  // device 0 by the spooler's order) is ranked within E but keeps its
  // offline bit; without the 12 it would be brought online.
  FakeQueue kept = ManagedQueue("VELQ", 1);
  kept.attributes = 0x400;
  int id = FakeSpoolAddQueue(kept);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 12), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_TRUE(Offline(QueueById(id)));

  FakeUsbSetInterfaces({FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_FALSE(Offline(QueueById(id)));
}

TEST_F(ReconcileTest, ForeignQueueIsNamedButGetsNoPositionAndKeepsItsState) {
  FakeQueue foreign = ManagedQueue("Somebody's Label Printer", -1);
  foreign.attributes = 0x400;
  int id = FakeSpoolAddQueue(foreign);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 2u);
  // The added queue has a Position, so it ranks first; the foreign one
  // follows and takes the second name.
  EXPECT_EQ(QueueById(id).name, "VELQ #1");
  EXPECT_FALSE(QueueById(id).hasPosition);
  EXPECT_TRUE(Offline(QueueById(id))) << "unranked: neither forced online nor offline";
}

TEST_F(ReconcileTest, UnreadablePositionSortsLastAndIsTrimmedFirst) {
  int foreign = FakeSpoolAddQueue(ManagedQueue("Unnumbered", -1));
  int ranked = FakeSpoolAddQueue(ManagedQueue("VELQ #3", 4));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].id, ranked);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_FALSE(Offline(queues[0]));
  (void)foreign;
}

TEST_F(ReconcileTest, MissingSettingsKeyIsCreatedAndNothingIsManaged) {
  FakeStoreReset();
  int id = FakeSpoolAddQueue(ManagedQueue("VELQ", 1));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_TRUE(FakeRegistryHasKey(kSettingsKey));
  EXPECT_EQ(LogCount("SpoolSetRecord"), 0);
  EXPECT_EQ(LogCount("SpoolDelete"), 0);
  EXPECT_EQ(QueueById(id).name, "VELQ");
  EXPECT_EQ(ManagedQueues().size(), 1u);
}

TEST_F(ReconcileTest, SettingsKeyThatCantBeOpenedKeepsThePreviousSettings) {
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  FakeStoreSetFaults(FakeStoreFaults{true, false});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_EQ(ManagedQueues().size(), 2u);
}

TEST_F(ReconcileTest, SwappedNamesAreSortedOutByPosition) {
  int a = FakeSpoolAddQueue(ManagedQueue("VELQ", 2));
  int b = FakeSpoolAddQueue(ManagedQueue("VELQ #1", 1));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(b).name, "VELQ");
  EXPECT_EQ(QueueById(b).position, 1u);
  EXPECT_EQ(QueueById(a).name, "VELQ #1");
  EXPECT_EQ(QueueById(a).position, 2u);
}

TEST_F(ReconcileTest, AddPassesOverANameAnotherQueueHolds) {
  int office = FakeSpoolAddQueue(FakeQueue{0, "VELQ #0", "", "LPT1:", "Office Driver", 0, 0});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(office).driver, "Office Driver");
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
}

TEST_F(ReconcileTest, SpoolerThatOverwritesOnAddLosesNoQueue) {
  FakeSpoolSetQuirks(FakeSpoolQuirks{true, false, false});
  int office = FakeSpoolAddQueue(FakeQueue{0, "VELQ #0", "", "LPT1:", "Office Driver", 0, 0});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(office).name, "VELQ #0");
  EXPECT_EQ(QueueById(office).driver, "Office Driver");
  EXPECT_EQ(ManagedQueues().size(), 1u);
}

// A queue the service may not open still holds its name: an overwriting add
// under that name would replace another driver's queue.
TEST_F(ReconcileTest, SpoolerThatOverwritesOnAddKeepsAQueueItCantOpen) {
  FakeSpoolSetQuirks(FakeSpoolQuirks{true, false, false});
  FakeQueue locked{0, "VELQ #0", "", "LPT1:", "Office Driver", 0, 0};
  locked.openFails = true;
  int office = FakeSpoolAddQueue(locked);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(office).name, "VELQ #0");
  EXPECT_EQ(QueueById(office).driver, "Office Driver");
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 1u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
}

TEST_F(ReconcileTest, RenameThatBreaksOpeningByTheNewNameEndsThePassCleanly) {
  FakeSpoolSetQuirks(FakeSpoolQuirks{false, true, false});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  UpdatePrinters();
  auto queues = ManagedQueues();
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  EXPECT_EQ(queues[1].position, 2u);
}

TEST_F(ReconcileTest, StatusResetThatFailsStillBringsTheQueueOnline) {
  FakeSpoolSetQuirks(FakeSpoolQuirks{false, false, true});
  FakeQueue stuck = ManagedQueue("VELQ", 1);
  stuck.attributes = 0x404;
  stuck.status = 0x80;
  int id = FakeSpoolAddQueue(stuck);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_EQ(LogCount("SpoolSetStatus VELQ 0"), 1);
  EXPECT_EQ(QueueById(id).attributes, 0x4u);
}

TEST_F(ReconcileTest, OversizedRecordKeepsNameAndState) {
  FakeQueue big = ManagedQueue("Big", 1);
  big.attributes = 0x400;
  big.recordTooBig = true;
  int id = FakeSpoolAddQueue(big);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_EQ(QueueById(id).name, "Big");
  EXPECT_TRUE(Offline(QueueById(id)));
}

TEST_F(ReconcileTest, SpoolerThatCantBeEnumeratedEndsThePass) {
  FakeSpoolAddQueue(ManagedQueue("VELQ", 1));
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8), FakeUsbPrinter(2, 8)});
  for (FakeSpoolEnumFailure failure : {FakeSpoolEnumNoMemory, FakeSpoolEnumRefused}) {
    FakeLogClear();
    FakeSpoolQuirks quirks;
    quirks.enumFailure = failure;
    FakeSpoolSetQuirks(quirks);
    UpdatePrinters();
    EXPECT_EQ(LogCount("SpoolAdd"), 0);
    EXPECT_EQ(LogCount("SpoolOpen"), 0);
  }
}

TEST_F(ReconcileTest, DriverThatIsntInstalledAddsNothingAndTraces) {
  FakeSpoolSetDrivers({});
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_TRUE(ManagedQueues().empty());
  EXPECT_TRUE(TraceSeen("AddPrinter ErrorCode=1797\r\n"));
}

TEST_F(ReconcileTest, SilentPrinterCountsAsNotAnswering) {
  FakeUsbInterface silent = FakeUsbPrinter(1, 8);
  silent.answer = FakeUsbSilent;
  FakeQueue queue = ManagedQueue("VELQ", 1);
  int id = FakeSpoolAddQueue(queue);
  FakeUsbSetInterfaces({silent});
  UpdatePrinters();
  EXPECT_TRUE(Offline(QueueById(id)));
  EXPECT_TRUE(FakeFiles().empty());
  EXPECT_LE(FakeUsbLastTimeout(), 5000u);
  EXPECT_GT(FakeUsbLastTimeout(), 0u);
}

TEST_F(ReconcileTest, MoreThan256ManagedQueuesManageTheFirst256) {
  for (int i = 0; i < 300; ++i) FakeSpoolAddQueue(ManagedQueue("Label " + std::to_string(i), i + 1));
  UpdatePrinters();
  auto queues = ManagedQueues();
  // The first 256 in the spooler's order are managed: 255 of them trimmed,
  // the rest left for the next pass (by then they are among the first 256).
  ASSERT_EQ(queues.size(), 45u);
  EXPECT_EQ(queues[0].name, "VELQ");
  EXPECT_EQ(queues[0].position, 1u);
  for (size_t i = 1; i < queues.size(); ++i) {
    EXPECT_EQ(queues[i].name, "Label " + std::to_string(255 + i));
    EXPECT_EQ(queues[i].position, 256 + i);
  }
  for (const FakeQueue& queue : queues) EXPECT_TRUE(Offline(queue)) << queue.name;
  EXPECT_GE(TracesStartingWith("more than 256 managed printers"), 1);
}

TEST_F(ReconcileTest, NamesThatDontFitAreSkipped) {
  // 253 characters: the base name fits, "<base> #0" doesn't.
  std::string longBase(253, 'L');
  FakeRegistrySetString(kSettingsKey, "PrinterName", longBase);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  EXPECT_TRUE(ManagedQueues().empty());
  EXPECT_GE(TracesStartingWith(longBase), 1);

  // A setting too long for its buffer is refused, not cut.
  FakeRegistrySetString(kSettingsKey, "PrinterName", std::string(300, 'M'));
  UpdatePrinters();
  EXPECT_STREQ(PrinterSettings.PrinterName, "");
}

TEST_F(ReconcileTest, TwoPrintersStoreTheirBlocksUnderTheirQueuesNames) {
  FakeUsbInterface first = FakeUsbPrinter(1, 8);
  FakeUsbInterface second = FakeUsbPrinter(2, 8);
  FakeUsbSetInterfaces({first, second});
  UpdatePrinters();
  auto files = FakeFiles();
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files[ConfigFilePath("VELQ")], FileBytes(first.block));
  EXPECT_EQ(files[ConfigFilePath("VELQ #1")], FileBytes(second.block));
}

TEST_F(ReconcileTest, OtherDriversQueuesAreNeverTouched) {
  FakeQueue office{0, "Office", "", "LPT1:", "Office Driver", 0x400, 3};
  office.hasPosition = true;
  office.position = 9;
  int id = FakeSpoolAddQueue(office);
  FakeUsbSetInterfaces({FakeUsbPrinter(1, 8)});
  UpdatePrinters();
  FakeQueue after = QueueById(id);
  EXPECT_EQ(after.name, "Office");
  EXPECT_EQ(after.attributes, 0x400u);
  EXPECT_EQ(after.position, 9u);
  EXPECT_EQ(after.status, 3u);
}

}  // namespace
