// In-memory spooler behind the spool seam.
#include "watch/spool.h"
#include "tests/fakes/watch/spool_fake.h"

#include <algorithm>

#include <map>
#include <mutex>

#include "base/ascii.h"
#include "tests/fakes/watch/fake_log.h"

namespace {
struct FakeHandle {
  int queueId;
  bool allAccess;
};
struct FakeQueueState {
  FakeQueue queue;
  bool renamed = false;
};
}  // namespace

static std::recursive_mutex spoolLock;
static std::vector<FakeQueueState> spoolQueues;
static std::vector<std::string> spoolDrivers;
static std::vector<std::string> spoolPorts;
static FakeSpoolQuirks spoolQuirks;
static int spoolNextId = 1;
static int spoolOpenHandles = 0;

static constexpr uint32_t kAccessDenied = 5;
static constexpr uint32_t kInvalidHandle = 6;
static constexpr uint32_t kInvalidPrinterName = 1801;
static constexpr uint32_t kPrinterAlreadyExists = 1802;

static FakeQueueState* FindByName(const std::string& name) {
  for (auto& state : spoolQueues) {
    if (AsciiLower(state.queue.name) == AsciiLower(name)) return &state;
  }
  return nullptr;
}

static FakeQueueState* FindById(int id) {
  for (auto& state : spoolQueues) {
    if (state.queue.id == id) return &state;
  }
  return nullptr;
}

// The queue behind a handle; null (with *error set) when it has been deleted
// or the handle lacks the access the change needs.
static FakeQueueState* Target(SpoolHandle handle, bool needAllAccess, uint32_t* error) {
  auto* open = static_cast<FakeHandle*>(handle);
  FakeQueueState* state = FindById(open->queueId);
  if (state == nullptr) {
    *error = kInvalidHandle;
    return nullptr;
  }
  if (needAllAccess && !open->allAccess) {
    *error = kAccessDenied;
    return nullptr;
  }
  return state;
}

void FakeSpoolReset() {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  spoolQueues.clear();
  spoolDrivers.clear();
  spoolPorts = {"USB001", "USB002", "FILE:", "LPT1:"};
  spoolQuirks = FakeSpoolQuirks{};
  spoolNextId = 1;
  spoolOpenHandles = 0;
}

void FakeSpoolSetDrivers(const std::vector<std::string>& drivers) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  spoolDrivers = drivers;
}

void FakeSpoolSetPorts(const std::vector<std::string>& ports) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  spoolPorts = ports;
}

void FakeSpoolSetQuirks(const FakeSpoolQuirks& quirks) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  spoolQuirks = quirks;
}

int FakeSpoolAddQueue(FakeQueue queue) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  queue.id = spoolNextId++;
  if (queue.shareName.empty()) queue.shareName = queue.name;
  spoolQueues.push_back(FakeQueueState{queue, false});
  return queue.id;
}

std::vector<FakeQueue> FakeSpoolQueues() {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  std::vector<FakeQueue> queues;
  for (const auto& state : spoolQueues) queues.push_back(state.queue);
  return queues;
}

int FakeSpoolOpenHandles() {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  return spoolOpenHandles;
}

SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeLogAdd("SpoolEnumQueues");
  if (spoolQuirks.enumFailure == FakeSpoolEnumNoMemory) {
    *error = 8;
    return SpoolEnumNoMemory;
  }
  if (spoolQuirks.enumFailure == FakeSpoolEnumRefused) {
    *error = 1722;
    return SpoolEnumFailed;
  }
  queues->clear();
  for (const auto& state : spoolQueues) {
    queues->push_back(SpoolQueue{state.queue.name, state.queue.driver, state.queue.attributes, state.queue.status});
  }
  return SpoolEnumOk;
}

SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeLogAdd(std::string("SpoolOpen ") + name);
  FakeQueueState* state = FindByName(name);
  if (state == nullptr || (state->renamed && spoolQuirks.renameBreaksOpen)) {
    *error = kInvalidPrinterName;
    return nullptr;
  }
  if (state->queue.openFails) {
    *error = kAccessDenied;
    return nullptr;
  }
  ++spoolOpenHandles;
  return new FakeHandle{state->queue.id, allAccess};
}

void SpoolClose(SpoolHandle handle) {
  if (handle == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  --spoolOpenHandles;
  delete static_cast<FakeHandle*>(handle);
}

bool SpoolGetDword(SpoolHandle handle, const char* valueName, uint32_t* value, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, false, error);
  if (state == nullptr) return false;
  if (AsciiLower(valueName) != "position" || !state->queue.hasPosition) {
    *error = 2;
    return false;
  }
  *value = state->queue.position;
  return true;
}

bool SpoolSetDword(SpoolHandle handle, const char* valueName, uint32_t value, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, true, error);
  if (state == nullptr) return false;
  FakeLogAdd("SpoolSetDword " + state->queue.name + " " + valueName + "=" + std::to_string(value));
  if (AsciiLower(valueName) != "position") {
    *error = 87;
    return false;
  }
  state->queue.hasPosition = true;
  state->queue.position = value;
  return true;
}

bool SpoolGetRecord(SpoolHandle handle, SpoolRecord* record, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, false, error);
  if (state == nullptr) return false;
  if (state->queue.recordTooBig) {
    *error = 122;
    return false;
  }
  record->name = state->queue.name;
  record->shareName = state->queue.shareName;
  record->attributes = state->queue.attributes;
  record->status = state->queue.status;
  record->platform = std::make_shared<int>(state->queue.id);
  return true;
}

bool SpoolSetRecord(SpoolHandle handle, const SpoolRecord& record, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, true, error);
  if (state == nullptr) return false;
  FakeLogAdd("SpoolSetRecord " + state->queue.name + " -> " + record.name + " attributes=" +
             std::to_string(record.attributes));
  if (record.name.empty()) {
    *error = kInvalidPrinterName;
    return false;
  }
  FakeQueueState* holder = FindByName(record.name);
  if (holder != nullptr && holder != state) {
    *error = kPrinterAlreadyExists;
    return false;
  }
  if (record.name != state->queue.name) state->renamed = true;
  state->queue.name = record.name;
  state->queue.shareName = record.shareName;
  state->queue.attributes = record.attributes;
  return true;
}

bool SpoolSetStatus(SpoolHandle handle, uint32_t status, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, true, error);
  if (state == nullptr) return false;
  FakeLogAdd("SpoolSetStatus " + state->queue.name + " " + std::to_string(status));
  if (spoolQuirks.level0Fails) {
    *error = 124;
    return false;
  }
  state->queue.status = status;
  return true;
}

SpoolHandle SpoolAdd(const SpoolNewQueue& queue, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeLogAdd("SpoolAdd " + queue.name);
  if (std::find(spoolDrivers.begin(), spoolDrivers.end(), queue.driver) == spoolDrivers.end()) {
    *error = 1797;  // ERROR_UNKNOWN_PRINTER_DRIVER
    return nullptr;
  }
  if (std::find(spoolPorts.begin(), spoolPorts.end(), queue.port) == spoolPorts.end()) {
    *error = 1796;  // ERROR_UNKNOWN_PORT
    return nullptr;
  }
  FakeQueue added;
  added.name = queue.name;
  added.shareName = queue.shareName;
  added.port = queue.port;
  added.driver = queue.driver;
  added.attributes = queue.attributes;
  if (FakeQueueState* existing = FindByName(queue.name)) {
    if (!spoolQuirks.addOverwrites) {
      *error = kPrinterAlreadyExists;
      return nullptr;
    }
    added.id = existing->queue.id;
    existing->queue = added;
    ++spoolOpenHandles;
    return new FakeHandle{added.id, true};
  }
  added.id = spoolNextId++;
  spoolQueues.push_back(FakeQueueState{added, false});
  ++spoolOpenHandles;
  return new FakeHandle{added.id, true};
}

bool SpoolDelete(SpoolHandle handle, uint32_t* error) {
  std::lock_guard<std::recursive_mutex> guard(spoolLock);
  FakeQueueState* state = Target(handle, true, error);
  if (state == nullptr) return false;
  FakeLogAdd("SpoolDelete " + state->queue.name);
  int id = state->queue.id;
  spoolQueues.erase(std::remove_if(spoolQueues.begin(), spoolQueues.end(),
                                   [id](const FakeQueueState& s) { return s.queue.id == id; }),
                    spoolQueues.end());
  return true;
}
