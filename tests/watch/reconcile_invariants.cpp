// The invariants of one reconcile pass, read from the fakes afterwards:
// some hold whatever the platform refuses, the rest when nothing is refused.
#include "tests/watch/reconcile_invariants.h"

#include <algorithm>
#include <map>
#include <set>

#include "watch/spool.h"
#include "tests/fakes/watch/spool_fake.h"
#include "tests/fakes/watch/store_fake.h"
#include "tests/fakes/watch/usb_fake.h"

namespace {

std::string TableNameOf(const std::string& base, int k) {
  return k == 0 ? base : base + " #" + std::to_string(k);
}

std::vector<unsigned char> FileBytesOf(const std::vector<unsigned char>& block) {
  std::vector<unsigned char> bytes(63, 0);
  for (size_t i = 0; i < block.size() && i < 63; ++i) bytes[i] = block[i];
  return bytes;
}

bool SameQueue(const FakeQueue& a, const FakeQueue& b) {
  return a.id == b.id && a.name == b.name && a.shareName == b.shareName && a.port == b.port &&
         a.driver == b.driver && a.attributes == b.attributes && a.status == b.status &&
         a.hasPosition == b.hasPosition && (!a.hasPosition || a.position == b.position);
}

unsigned char Answer(const ReconcileWorld& world, size_t k) {
  return k < world.devices.size() && !world.devices[k].block.empty() ? world.devices[k].block[0] : 0;
}

}  // namespace

std::vector<std::string> ReconcileViolations(const ReconcileWorld& before) {
  std::vector<std::string> violations;
  auto fail = [&](const std::string& text) { violations.push_back(text); };

  if (FakeSpoolOpenHandles() != 0) fail("a spooler handle was left open");
  if (FakeUsbOpenPorts() != 0) fail("a device was left open");
  if (FakeUsbOpenSets() != 0) fail("an interface set was left open");

  const std::vector<FakeQueue> after = FakeSpoolQueues();
  const auto files = FakeFiles();
  int enablePrinterNum = 0;
  for (size_t k = 0; k < before.devices.size(); ++k) enablePrinterNum += Answer(before, k) == 8 ? 1 : 0;

  // Without the spooler or a driver to select by, the pass changes nothing.
  if (before.enumFails || before.driver.empty()) {
    if (after.size() != before.queuesBefore.size()) fail("queues added or deleted without a selection");
    for (size_t i = 0; i < after.size() && i < before.queuesBefore.size(); ++i) {
      if (!SameQueue(after[i], before.queuesBefore[i])) fail(after[i].name + " changed without a selection");
    }
    if (!files.empty()) fail("a file written without a selection");
    return violations;
  }

  std::map<int, FakeQueue> was;
  int managedBefore = 0;
  std::vector<FakeQueue> othersBefore;
  for (const FakeQueue& queue : before.queuesBefore) {
    was[queue.id] = queue;
    if (queue.driver == before.driver) {
      ++managedBefore;
    } else {
      othersBefore.push_back(queue);
    }
  }
  std::vector<FakeQueue> managed;
  std::vector<FakeQueue> othersAfter;
  for (const FakeQueue& queue : after) {
    (queue.driver == before.driver ? managed : othersAfter).push_back(queue);
  }
  const int managedAfter = static_cast<int>(managed.size());

  // Other drivers' queues are left exactly as they were, in their order.
  if (othersAfter.size() != othersBefore.size()) {
    fail("another driver's queue was added or deleted");
  } else {
    for (size_t i = 0; i < othersAfter.size(); ++i) {
      if (!SameQueue(othersAfter[i], othersBefore[i])) fail(othersBefore[i].name + " of another driver changed");
    }
  }

  // Adds only up to E, and index 0 is never deleted.
  int added = 0;
  for (const FakeQueue& queue : managed) added += was.count(queue.id) == 0 ? 1 : 0;
  if (added > std::max(0, enablePrinterNum - managedBefore)) fail("more queues added than valid printers lack");
  if (managedAfter > std::max(managedBefore, enablePrinterNum)) fail("more managed queues than wanted");
  if (managedBefore > 0 && managedAfter == 0) fail("the last managed queue was deleted");

  // Positions: a queue that had none gets none; a new one gets its rank.
  for (const FakeQueue& queue : managed) {
    auto old = was.find(queue.id);
    bool isNew = old == was.end();
    if (!isNew && !old->second.hasPosition && queue.hasPosition) fail(queue.name + " gained a Position");
    if (isNew && (!queue.hasPosition || queue.position < 1 || queue.position > static_cast<uint32_t>(enablePrinterNum))) {
      fail(queue.name + " added without a Position within E");
    }
  }

  // Files: only device k's block under queue k's name.
  std::map<std::string, std::vector<unsigned char>> allowedFiles;
  for (size_t k = 0; k < before.devices.size(); ++k) {
    if (Answer(before, k) != 0 && !before.dataDir.empty()) {
      allowedFiles[before.dataDir + "\\" + TableNameOf(before.baseName, static_cast<int>(k)) + ".bin"] =
          FileBytesOf(before.devices[k].block);
    }
  }
  for (const auto& file : files) {
    auto allowed = allowedFiles.find(file.first);
    if (allowed == allowedFiles.end()) {
      fail("unexpected file " + file.first);
    } else if (allowed->second != file.second) {
      fail("wrong bytes in " + file.first);
    }
  }

  if (!before.faultFree) return violations;

  int expectedCount = (managedBefore == 0 && enablePrinterNum == 0) ? 0 : std::max(enablePrinterNum, 1);
  if (managedAfter != expectedCount) {
    fail(std::to_string(managedAfter) + " managed queues, wanted " + std::to_string(expectedCount));
  }

  // Positions: the ranked queues hold 1..R, each once; each is named after its rank.
  std::set<uint32_t> positions;
  for (const FakeQueue& queue : managed) {
    if (!queue.hasPosition) continue;
    if (!positions.insert(queue.position).second) fail("Position " + std::to_string(queue.position) + " twice");
    if (queue.position == 0 || queue.name != TableNameOf(before.baseName, static_cast<int>(queue.position) - 1)) {
      fail(queue.name + " named against its Position " + std::to_string(queue.position));
    }
  }
  for (uint32_t p = 1; p <= positions.size(); ++p) {
    if (positions.count(p) != 1) fail("Position " + std::to_string(p) + " missing");
  }

  // Names: exactly those of the table, one per queue.
  std::set<std::string> wanted, actual;
  for (int k = 0; k < expectedCount; ++k) wanted.insert(TableNameOf(before.baseName, k));
  for (const FakeQueue& queue : managed) actual.insert(queue.name);
  if (actual != wanted) fail("managed names are not the table's");

  // Status: offline exactly above E, except a queue paired (by the spooler's
  // order) with a device answering 12, and unranked queues: both keep theirs.
  for (size_t m = 0; m < managed.size(); ++m) {
    const FakeQueue& queue = managed[m];
    bool offline = (queue.attributes & kSpoolAttributeWorkOffline) != 0;
    auto old = was.find(queue.id);
    bool offlineBefore = old != was.end() && (old->second.attributes & kSpoolAttributeWorkOffline) != 0;
    if (!queue.hasPosition) {
      if (offline != offlineBefore) fail(queue.name + " unranked, its state changed");
    } else if (queue.position > static_cast<uint32_t>(enablePrinterNum)) {
      if (!offline) fail(queue.name + " above E=" + std::to_string(enablePrinterNum) + " is online");
    } else if (Answer(before, m) == 12) {
      if (offline != offlineBefore) fail(queue.name + " paired with a 12 changed state");
    } else if (offline) {
      fail(queue.name + " within E=" + std::to_string(enablePrinterNum) + " is offline");
    }
  }

  // Files: device k's block under queue k's name, for the devices that answered.
  std::map<std::string, std::vector<unsigned char>> expectedFiles;
  for (const auto& file : allowedFiles) {
    for (int k = 0; k < expectedCount; ++k) {
      if (file.first == before.dataDir + "\\" + TableNameOf(before.baseName, k) + ".bin") expectedFiles.insert(file);
    }
  }
  if (files != expectedFiles) fail("the configuration files are not device k's under queue k's name");
  return violations;
}
