// Random attached printers and random managed queues, one pass, then the
// invariants every pass must leave behind.
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "watch/reconcile.h"
#include "tests/watch/reconcile_invariants.h"
#include "watch_test_support.h"

namespace {

constexpr int kCases = 2000;

struct Device {
  FakeUsbInterface usb;
  unsigned char answer;  // byte 0 the pass sees (0 when it reads nothing)
};

class ReconcilePropertyTest : public WatchTest {};

Device RandomDevice(std::mt19937& random, int serial) {
  static const unsigned char codes[] = {8, 8, 8, 12, 0, 5};
  Device device{FakeUsbPrinter(serial, codes[random() % 6]), 0};
  switch (random() % 8) {
    case 0:
      device.usb.answer = FakeUsbSilent;
      break;
    case 1:
      device.usb.openFails = true;
      break;
    case 2:
      device.usb.block.clear();  // answers with nothing
      break;
    default:
      break;
  }
  bool answers = device.usb.answer == FakeUsbAnswers && !device.usb.openFails && !device.usb.block.empty();
  device.answer = answers ? device.usb.block[0] : 0;
  return device;
}

TEST_F(ReconcilePropertyTest, OnePassLeavesTheQueuesInStep) {
  std::mt19937 random(20240615);
  const std::vector<std::string> namePool = {"VELQ",    "VELQ #1", "VELQ #2", "velq #3", "VELQ #4", "VELQ #0",
                                             "Label A", "Label B", "Label C", "VELQ #12"};
  for (int run = 0; run < kCases; ++run) {
    SCOPED_TRACE("case " + std::to_string(run));
    SetUp();

    // Devices: family printers, now and then another interface between them.
    std::vector<Device> devices;  // in packed order: device k is slot k
    std::vector<FakeUsbInterface> interfaces;
    int interfaceCount = static_cast<int>(random() % 13);
    for (int i = 0; i < interfaceCount; ++i) {
      if (random() % 6 == 0) {
        FakeUsbInterface other;
        other.path = "\\\\?\\usb#vid_8888&pid_0026&mi_00#" + std::to_string(i);
        interfaces.push_back(other);
        continue;
      }
      Device device = RandomDevice(random, i);
      interfaces.push_back(device.usb);
      if (i < 10) devices.push_back(device);
    }
    FakeUsbSetInterfaces(interfaces);
    int enablePrinterNum = 0;
    for (const Device& device : devices) enablePrinterNum += device.answer == 8 ? 1 : 0;

    // Managed queues with random names, Positions, offline bits and status;
    // and queues of another driver among them.
    std::vector<std::string> names = namePool;
    std::shuffle(names.begin(), names.end(), random);
    int managedBefore = static_cast<int>(random() % 7);
    std::set<int> unmanagedIds;
    for (int q = 0; q < managedBefore; ++q) {
      int roll = static_cast<int>(random() % 10);
      int position = roll == 0 ? -1 : roll == 1 ? 0 : roll == 2 ? 0x7FFFFFF0 : static_cast<int>(random() % 6 + 1);
      FakeQueue queue = ManagedQueue(names[q], position);
      if (random() % 2) queue.attributes |= 0x400;
      if (random() % 4 == 0) queue.status = 0x80;
      FakeSpoolAddQueue(queue);
      if (random() % 3 == 0) {
        unmanagedIds.insert(FakeSpoolAddQueue(FakeQueue{0, "Office " + std::to_string(q), "", "LPT1:", "Office Driver", 0x400, 0}));
      }
    }

    ReconcileWorld world;
    world.baseName = kBaseName;
    world.driver = kDriver;
    world.dataDir = kDataDir;
    for (const Device& device : devices) {
      bool answers = device.usb.answer == FakeUsbAnswers && !device.usb.openFails;
      world.devices.push_back(ReconcileDevice{answers ? device.usb.block : std::vector<unsigned char>{}});
    }
    world.queuesBefore = FakeSpoolQueues();
    world.faultFree = true;

    UpdatePrinters();

    EXPECT_EQ(ReconcileViolations(world), std::vector<std::string>{});
    EXPECT_EQ(static_cast<int>(ManagedQueues().size()),
              (managedBefore == 0 && enablePrinterNum == 0) ? 0 : std::max(enablePrinterNum, 1));
    for (const FakeQueue& queue : FakeSpoolQueues()) {
      if (unmanagedIds.count(queue.id) != 0) {
        EXPECT_EQ(queue.attributes, 0x400u) << queue.name;
      }
    }

    TearDown();
    if (HasFailure()) break;
  }
}

}  // namespace
