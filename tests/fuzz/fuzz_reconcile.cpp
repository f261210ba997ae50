// Fuzzes one reconcile pass of printerwatch over a fake platform built from
// the input: settings (present, missing, unusable), attached interfaces with
// their blocks and ways of failing, managed and other drivers' queues with
// Positions (none, duplicates, out of range), offline bits and faults, and
// spooler quirks. Then checks the pass's invariants: those that hold
// whatever the platform refuses always, the full rules when nothing is
// refused.
//
// Input, in order:
//   settings byte: bits 0-1 base name (VELQ, Label, missing, too long);
//     bits 2-3 driver (set twice, missing, not installed); bits 4-5 port
//     (set twice, missing, unknown); bit 6 registry denied; bit 7 no data
//     directory.
//   platform byte: bits 0-1 enumeration failure (0 and 3 none, 1 no memory,
//     2 refused); bit 2 USB class fails; bit 3 files can't be created;
//     bits 4-6 quirks: add overwrites, rename breaks open, level 0 fails.
//   interface count byte (mod 13), then per interface a kind byte: bits 0-2
//     first block byte (8, 8, 8, 12, 0, 5, 9, 255); bits 3-4 answer (reads,
//     refuses, silent, won't open); bit 5 another interface of the device;
//     bit 6 its path can't be read; bit 7 an empty block. Then a length byte
//     (mod 64) and that many more block bytes.
//   queue count byte (mod 9), then per queue two bytes: kind (bit 0 managed
//     driver; bits 1-4 name from a pool; bits 5-6 Position: none, the
//     second byte's low bits, 0, 0xFFFFFFFF; bit 7 offline) and extra (bit
//     0 won't open, bit 1 record too big, bit 2 status set, bits 3-7 the
//     Position).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/watch/reconcile_invariants.h"
#include "tests/fakes/watch/fake_log.h"
#include "watch/reconcile.h"
#include "tests/fakes/watch/scm_fake.h"
#include "watch/service.h"
#include "watch/spool.h"
#include "tests/fakes/watch/spool_fake.h"
#include "tests/fakes/watch/store_fake.h"
#include "watch/trace.h"
#include "tests/fakes/watch/usb_fake.h"

namespace {

const char kDriver[] = "VELQ Label Driver";
const char kOtherDriver[] = "Office Driver";
const char kSettingsKey[] = "SOFTWARE\\USB Printer Service VELQ";
const char kDataDir[] = "C:\\ProgramData\\VELQ";

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at;
};

uint8_t TakeByte(Input& in) { return in.at < in.size ? in.data[in.at++] : 0; }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FakeUsbReset();
  FakeSpoolReset();
  FakeStoreReset();
  FakeScmReset();
  FakeLogClear();
  SetTraceSink(nullptr);
  szServiceName = "USB Printer Service VELQ";
  std::memset(&PrinterSettings, 0, sizeof PrinterSettings);
  FakeSpoolSetDrivers({kDriver, kOtherDriver});

  Input in{data, size, 0};
  ReconcileWorld world;
  bool faultFree = true;

  uint8_t settings = TakeByte(in);
  static const char* const kBaseNames[] = {"VELQ", "Label", nullptr, nullptr};
  int baseChoice = settings & 3;
  std::string baseName = baseChoice == 3 ? std::string(250, 'N') : kBaseNames[baseChoice] ? kBaseNames[baseChoice] : "";
  if (baseChoice != 2) FakeRegistrySetString(kSettingsKey, "PrinterName", baseName);
  int driverChoice = (settings >> 2) & 3;
  std::string driver = driverChoice < 2 ? kDriver : driverChoice == 3 ? "Uninstalled Driver" : "";
  if (driverChoice != 2) FakeRegistrySetString(kSettingsKey, "DriverName", driver);
  int portChoice = (settings >> 4) & 3;
  if (portChoice < 2) FakeRegistrySetString(kSettingsKey, "PrinterPort", "USB001");
  if (portChoice == 3) FakeRegistrySetString(kSettingsKey, "PrinterPort", "COM9:");
  bool registryDenied = (settings & 64) != 0;
  bool noDataDir = (settings & 128) != 0;
  if (!noDataDir) FakeRegistrySetString("Software\\VELQ", "Data Directory", kDataDir);
  // Unusable names, drivers and ports make adds or renames fail.
  if (baseChoice >= 2 || driverChoice == 3 || portChoice >= 2) faultFree = false;

  uint8_t platform = TakeByte(in);
  int enumFailure = platform & 3;
  if (enumFailure == 3) enumFailure = 0;
  bool classFails = (platform & 4) != 0;
  FakeUsbSetFaults(FakeUsbFaults{classFails, nullptr});
  bool createFails = (platform & 8) != 0;
  FakeStoreSetFaults(FakeStoreFaults{registryDenied, createFails});
  FakeSpoolQuirks quirks;
  quirks.enumFailure = static_cast<FakeSpoolEnumFailure>(enumFailure);
  quirks.addOverwrites = (platform & 16) != 0;
  quirks.renameBreaksOpen = (platform & 32) != 0;
  quirks.level0Fails = (platform & 64) != 0;
  FakeSpoolSetQuirks(quirks);
  // A rename that breaks the queue's handle fails the steps after it. An
  // overwriting add is harmless as long as the pass never hands it a taken
  // name; a failing level-0 call changes nothing the pass relies on.
  if (quirks.renameBreaksOpen) faultFree = false;

  // Interfaces in member order; the pass's devices are the family's among
  // the first ten, up to the first whose path can't be read.
  static const unsigned char kCodes[] = {8, 8, 8, 12, 0, 5, 9, 255};
  std::vector<FakeUsbInterface> interfaces;
  bool listEnded = classFails;
  int interfaceCount = TakeByte(in) % 13;
  for (int i = 0; i < interfaceCount; ++i) {
    uint8_t kind = TakeByte(in);
    FakeUsbInterface usb = FakeUsbPrinter(i, kCodes[kind & 7]);
    int answer = (kind >> 3) & 3;
    usb.answer = answer == 1 ? FakeUsbRefusesRead : answer == 2 ? FakeUsbSilent : FakeUsbAnswers;
    usb.openFails = answer == 3;
    bool other = (kind & 32) != 0;
    if (other) usb.path = "\\\\?\\usb#vid_8888&pid_0026&mi_00#" + std::to_string(i);
    usb.detailFails = (kind & 64) != 0;
    if (kind & 128) usb.block.clear();
    int extra = TakeByte(in) % 64;
    for (int b = 0; b < extra; ++b) {
      if (usb.block.empty()) break;
      usb.block.push_back(TakeByte(in));
    }
    interfaces.push_back(usb);
    if (usb.detailFails) listEnded = true;
    if (listEnded || other || i >= 10) continue;
    bool answers = usb.answer == FakeUsbAnswers && !usb.openFails;
    world.devices.push_back(ReconcileDevice{answers ? usb.block : std::vector<unsigned char>{}});
  }
  FakeUsbSetInterfaces(interfaces);

  static const char* const kNames[] = {"VELQ",    "VELQ #1", "VELQ #2", "velq #3", "VELQ #0",  "Label",
                                       "Label #1", "label #2", "Office",  "Label A", "VELQ #12", "VELQ #-1",
                                       "VELQ #1 ", "VELQ#1",  "VELQ #01", "Other"};
  std::vector<std::string> taken;
  int queueCount = TakeByte(in) % 9;
  for (int q = 0; q < queueCount; ++q) {
    uint8_t kind = TakeByte(in);
    uint8_t extra = TakeByte(in);
    FakeQueue queue;
    queue.name = kNames[(kind >> 1) & 15];
    // A spooler holds one queue per name, whatever the case.
    bool clash = false;
    for (const std::string& name : taken) clash = clash || Lower(name) == Lower(queue.name);
    if (clash) continue;
    taken.push_back(queue.name);
    bool managed = (kind & 1) != 0;
    queue.driver = managed ? kDriver : kOtherDriver;
    queue.port = managed ? "USB001" : "LPT1:";
    int positionMode = (kind >> 5) & 3;
    queue.hasPosition = positionMode != 0;
    queue.position = positionMode == 1 ? (extra >> 3) : positionMode == 2 ? 0 : 0xFFFFFFFFu;
    if (kind & 128) queue.attributes |= kSpoolAttributeWorkOffline;
    queue.openFails = (extra & 1) != 0;
    queue.recordTooBig = (extra & 2) != 0;
    if (extra & 4) queue.status = 0x80;
    if (queue.openFails || queue.recordTooBig) faultFree = false;
    // Another driver's queue holding a name of the scheme refuses renames.
    std::string lower = Lower(queue.name);
    std::string base = Lower(baseName);
    if (!managed && (lower == base || lower.rfind(base + " #", 0) == 0)) faultFree = false;
    FakeSpoolAddQueue(queue);
  }

  world.baseName = baseName;
  world.driver = registryDenied || driverChoice == 2 ? "" : driver;
  world.dataDir = registryDenied || noDataDir || createFails ? "" : kDataDir;
  world.queuesBefore = FakeSpoolQueues();
  world.enumFails = enumFailure != 0;
  world.faultFree = faultFree;

  UpdatePrinters();

  std::vector<std::string> violations = ReconcileViolations(world);
  if (!violations.empty()) {
    for (const std::string& violation : violations) std::fprintf(stderr, "violation: %s\n", violation.c_str());
    std::abort();
  }
  return 0;
}
