// The reconcile pass over the spooler's queues: selection by driver, adds up
// to the number of valid printers, ordering by "Position", trimming, naming,
// the configuration files and the online/offline status.
#include "watch/reconcile.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "watch/bounded.h"
#include "watch/service.h"
#include "watch/spool.h"
#include "watch/store.h"
#include "watch/trace.h"
#include "watch/trace_texts.h"

PrinterSettingsData PrinterSettings = {};

static constexpr uint32_t kErrorMoreData = 234;
static constexpr uint32_t kErrorInvalidPrinterName = 1801;
// How many numbers AddPrinterQueue and the rename step try before giving up
// on finding a free name.
static constexpr int kFreeNameTries = kMaxManagedQueues + kDevicePathSlots;

// The managed queues of one selection, in parallel lists over the records of
// the enumeration that produced them.
struct Selection {
  std::vector<SpoolQueue> enumerated;
  int count = 0;
  const SpoolQueue* Printer[kMaxManagedQueues] = {};
  uint32_t PrinterPos[kMaxManagedQueues] = {};
  bool positionRead[kMaxManagedQueues] = {};
};

static void ReadSetting(RegKey key, const char* valueName, char* setting) {
  char buffer[kPathBytes] = {};
  uint32_t error = 0;
  if (!RegistryReadValue(key, valueName, buffer, kPathBytes - 1, &error)) {
    std::memset(buffer, 0, sizeof buffer);
    if (error == kErrorMoreData) TraceOut(kTraceTooLong, valueName, kPathBytes - 1);
  }
  std::memcpy(setting, buffer, kPathBytes);
}

void LoadPrinterSettings() {
  std::string keyPath = "SOFTWARE\\" + szServiceName;
  uint32_t error = 0;
  RegKey key = RegistryOpenMachineKey(keyPath.c_str(), true, &error);
  if (key == nullptr) return;
  ReadSetting(key, "PrinterName", PrinterSettings.PrinterName);
  ReadSetting(key, "DriverName", PrinterSettings.DriverName);
  ReadSetting(key, "PrinterPort", PrinterSettings.PrinterPort);
  RegistryCloseKey(key);
}

// Only an unknown name means the name is free: a queue that refuses to be
// opened (access denied) still holds it.
static bool QueueExists(const char* name) {
  uint32_t error = 0;
  SpoolHandle probe = SpoolOpen(name, false, &error);
  if (probe == nullptr) return error != kErrorInvalidPrinterName;
  SpoolClose(probe);
  return true;
}

// Some spoolers silently replace a queue when one is added under a taken
// name, and the name only has to last until the rename step, so a taken
// number is passed over instead of handed to AddPrinterA.
void AddPrinterQueue(int n) {
  char name[kPathBytes] = {};
  bool haveName = false;
  for (int number = n - 1; number < n - 1 + kFreeNameTries; ++number) {
    if (!FormatBounded(name, kPathBytes, "%s #%d", PrinterSettings.PrinterName, number)) {
      TraceOut(kTraceTooLong, PrinterSettings.PrinterName, kPathBytes);
      return;
    }
    if (!QueueExists(name)) {
      haveName = true;
      break;
    }
  }
  if (!haveName) return;

  SpoolNewQueue queue;
  queue.name = name;
  queue.shareName = name;
  queue.port = PrinterSettings.PrinterPort;
  queue.driver = PrinterSettings.DriverName;
  queue.sepFile = "";
  queue.printProcessor = "WinPrint";
  queue.datatype = "RAW";
  queue.parameters = "";
  queue.attributes = kSpoolAttributeDefault;
  uint32_t error = 0;
  SpoolHandle added = SpoolAdd(queue, &error);
  if (added == nullptr) {
    TraceOut(kTraceAddFailed, static_cast<int>(error));
    return;
  }
  SpoolSetDword(added, kPositionValue, static_cast<uint32_t>(n), &error);
  TraceOut(kTraceAddOk, name);
  SpoolClose(added);
}

void DeletePrinterQueue(const char* printerName) {
  uint32_t error = 0;
  SpoolHandle queue = SpoolOpen(printerName, true, &error);
  if (queue == nullptr) return;
  SpoolDelete(queue, &error);
  SpoolClose(queue);
}

// False ends the pass: the spooler couldn't be enumerated.
static bool SelectManagedQueues(Selection* selection) {
  selection->enumerated.clear();
  selection->count = 0;
  uint32_t error = 0;
  if (SpoolEnumQueues(&selection->enumerated, &error) != SpoolEnumOk) {
    TraceOut(kTraceEnumFailed, static_cast<int>(error));
    return false;
  }
  // A queue with no driver name must not count as managed by an empty setting.
  if (PrinterSettings.DriverName[0] == '\0') return true;
  for (const SpoolQueue& queue : selection->enumerated) {
    if (queue.driver != PrinterSettings.DriverName) continue;
    if (selection->count == kMaxManagedQueues) {
      TraceOut(kTraceTooManyQueues, kMaxManagedQueues, kMaxManagedQueues);
      break;
    }
    int m = selection->count;
    selection->Printer[m] = &queue;
    selection->PrinterPos[m] = 0;
    selection->positionRead[m] = false;
    SpoolHandle handle = SpoolOpen(queue.name.c_str(), false, &error);
    if (handle != nullptr) {
      selection->positionRead[m] = SpoolGetDword(handle, kPositionValue, &selection->PrinterPos[m], &error);
      SpoolClose(handle);
    }
    selection->count = m + 1;
  }
  return true;
}

// Queues without a readable Position go after all ranked ones; the sort is
// stable, so equal Positions keep the spooler's order.
static bool SortsAfter(const Selection& s, int left, int right) {
  if (!s.positionRead[left]) return s.positionRead[right];
  if (!s.positionRead[right]) return false;
  return s.PrinterPos[left] > s.PrinterPos[right];
}

static void SortByPosition(Selection* s) {
  for (int sweep = 0; sweep + 1 < s->count; ++sweep) {
    for (int k = 0; k + 1 < s->count - sweep; ++k) {
      if (!SortsAfter(*s, k, k + 1)) continue;
      std::swap(s->Printer[k], s->Printer[k + 1]);
      std::swap(s->PrinterPos[k], s->PrinterPos[k + 1]);
      std::swap(s->positionRead[k], s->positionRead[k + 1]);
    }
  }
}

static bool SameQueueName(const std::string& left, const char* right) {
  size_t length = std::strlen(right);
  if (left.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(left[i])) != std::tolower(static_cast<unsigned char>(right[i]))) {
      return false;
    }
  }
  return true;
}

// Device k's block, or all zero when the pass has no device at that index.
static void ReadDeviceBlock(char szDevicePath[kDevicePathSlots][kPathBytes], int k, unsigned char* block) {
  std::memset(block, 0, kConfigBlockBytes);
  if (k < 0 || k >= kDevicePathSlots || szDevicePath[k][0] == '\0') return;
  GetPrinterConfig(szDevicePath[k], block);
}

static bool RenameQueue(SpoolHandle handle, const char* newName, uint32_t* error) {
  SpoolRecord record;
  if (!SpoolGetRecord(handle, &record, error)) return false;
  record.name = newName;
  record.shareName = newName;
  return SpoolSetRecord(handle, record, error);
}

// A later queue of the ranking holds the name queue k wants (two queues whose
// Positions disagree with their names): give it a free name of the scheme
// beyond the ranked ones, so that neither rename is refused.
static void MoveQueueAside(std::string* currentName, int managedCount) {
  char spareName[kPathBytes] = {};
  bool haveName = false;
  for (int number = managedCount; number < managedCount + kFreeNameTries; ++number) {
    if (!FormatBounded(spareName, kPathBytes, "%s #%d", PrinterSettings.PrinterName, number)) return;
    if (!QueueExists(spareName)) {
      haveName = true;
      break;
    }
  }
  if (!haveName) return;
  uint32_t error = 0;
  SpoolHandle holder = SpoolOpen(currentName->c_str(), true, &error);
  if (holder == nullptr) return;
  if (RenameQueue(holder, spareName, &error)) {
    TraceOut(kTraceNameMovedAside, currentName->c_str(), spareName);
    *currentName = spareName;
  } else {
    TraceOut(kTraceRenameFailed, static_cast<int>(error));
  }
  SpoolClose(holder);
}

static void NameAndNumberQueues(const Selection& s, int queueNum,
                                char szDevicePath[kDevicePathSlots][kPathBytes]) {
  std::vector<std::string> currentName(queueNum);
  for (int k = 0; k < queueNum; ++k) currentName[k] = s.Printer[k]->name;

  for (int k = 0; k < queueNum; ++k) {
    TraceOut(kTracePrintName, currentName[k].c_str());
    unsigned char block[kConfigBlockBytes];
    ReadDeviceBlock(szDevicePath, k, block);
    uint32_t error = 0;
    SpoolHandle queue = SpoolOpen(currentName[k].c_str(), true, &error);
    if (queue == nullptr) continue;

    uint32_t position = 0;
    uint32_t rank = static_cast<uint32_t>(k + 1);
    if (SpoolGetDword(queue, kPositionValue, &position, &error) && position != rank) {
      SpoolSetDword(queue, kPositionValue, rank, &error);
    }

    char wantedName[kPathBytes] = {};
    bool fits = k == 0 ? CopyBounded(wantedName, kPathBytes, PrinterSettings.PrinterName)
                       : FormatBounded(wantedName, kPathBytes, "%s #%d", PrinterSettings.PrinterName, k);
    if (!fits) {
      TraceOut(kTraceTooLong, PrinterSettings.PrinterName, kPathBytes);
      SpoolClose(queue);
      continue;
    }
    if (block[0] != kBlockNothing) SavePrinterConfig(wantedName, block);
    if (currentName[k] == wantedName) {
      SpoolClose(queue);
      continue;
    }
    for (int j = k + 1; j < queueNum; ++j) {
      if (SameQueueName(currentName[j], wantedName)) MoveQueueAside(&currentName[j], queueNum);
    }
    SpoolRecord record;
    if (!SpoolGetRecord(queue, &record, &error)) {
      SpoolClose(queue);
      continue;
    }
    record.name = wantedName;
    record.shareName = wantedName;
    if (SpoolSetRecord(queue, record, &error)) {
      currentName[k] = wantedName;
    } else {
      TraceOut(kTraceRenameFailed, static_cast<int>(error));
    }
    SpoolClose(queue);
  }
}

static void SetQueueOffline(SpoolHandle queue, const SpoolQueue& enumerated) {
  SpoolRecord record;
  uint32_t error = 0;
  if (!SpoolGetRecord(queue, &record, &error)) return;
  TraceOut(kTraceOffline, record.name.c_str(), static_cast<int>(enumerated.status));
  if ((record.attributes & kSpoolAttributeWorkOffline) != 0) return;
  record.attributes |= kSpoolAttributeWorkOffline;
  TraceOut(kTraceOfflineSet, static_cast<int>(record.attributes), record.name.c_str());
  SpoolSetRecord(queue, record, &error);
  TraceOut(kTraceOfflineSet, static_cast<int>(record.attributes), record.name.c_str());
  TraceOut(kTraceAttributes, static_cast<int>(record.attributes));
}

static void SetQueueOnline(SpoolHandle queue) {
  SpoolRecord record;
  uint32_t error = 0;
  if (!SpoolGetRecord(queue, &record, &error)) return;
  if (record.status != 0) SpoolSetStatus(queue, 0, &error);
  if ((record.attributes & kSpoolAttributeWorkOffline) != 0) {
    record.attributes &= ~kSpoolAttributeWorkOffline;
    SpoolSetRecord(queue, record, &error);
    TraceOut(kTraceAttributes, static_cast<int>(record.attributes));
  }
}

static void UpdateQueueStatus(const Selection& s, int enablePrinterNum,
                              char szDevicePath[kDevicePathSlots][kPathBytes]) {
  for (int m = 0; m < s.count; ++m) {
    // Queue m meets device m by the two enumeration orders, not by Position.
    unsigned char block[kConfigBlockBytes];
    ReadDeviceBlock(szDevicePath, m, block);
    TraceOut(kTraceStatusBlock, block[0]);
    TraceOut(kTraceStatusName, s.Printer[m]->name.c_str());
    uint32_t error = 0;
    SpoolHandle queue = SpoolOpen(s.Printer[m]->name.c_str(), true, &error);
    if (queue == nullptr) continue;
    uint32_t pos = 0;
    // Without a Position the queue has no rank: its state is left alone.
    if (!SpoolGetDword(queue, kPositionValue, &pos, &error)) {
      SpoolClose(queue);
      continue;
    }
    TraceOut(kTraceStatusPosition, static_cast<int>(pos));
    if (pos > static_cast<uint32_t>(enablePrinterNum)) {
      SetQueueOffline(queue, *s.Printer[m]);
    } else if (block[0] != kBlockKeepState) {
      SetQueueOnline(queue);
    }
    SpoolClose(queue);
  }
}

void UpdatePrinters() {
  LoadPrinterSettings();
  TraceOut(kTraceSettings, PrinterSettings.PrinterName, PrinterSettings.DriverName, PrinterSettings.PrinterPort);

  char szDevicePath[kDevicePathSlots][kPathBytes] = {};
  GetPrinterPaths(szDevicePath);
  TraceOut(kTraceDeviceSlot1, szDevicePath[1]);
  int dwprinternum = GetPrinterNum();
  TraceOut(kTraceGetPrinterNum, dwprinternum);
  for (int f = 0; f < dwprinternum && f < kDevicePathSlots; ++f) TraceOut(kTraceDeviceList, f, szDevicePath[f]);

  int enablePrinterNum = 0;
  for (int i = 0; i < dwprinternum; ++i) {
    unsigned char block[kConfigBlockBytes];
    ReadDeviceBlock(szDevicePath, i, block);
    TraceOut(kTraceBlockByte, block[0]);
    if (block[0] == kBlockValid) ++enablePrinterNum;
  }
  TraceOut(kTraceEnableNum, enablePrinterNum);

  Selection selection;
  if (!SelectManagedQueues(&selection)) return;
  int queueNum = selection.count;
  TraceOut(kTraceSelected, queueNum, dwprinternum);

  for (int n = queueNum + 1; n <= enablePrinterNum; ++n) AddPrinterQueue(n);
  if (queueNum < enablePrinterNum) {
    if (!SelectManagedQueues(&selection)) return;
    queueNum = selection.count;
  }

  SortByPosition(&selection);
  for (int k = queueNum - 1; k >= 1; --k) {
    if (k >= enablePrinterNum) {
      DeletePrinterQueue(selection.Printer[k]->name.c_str());
      --queueNum;
    }
  }
  TraceOut(kTraceTrimmed, queueNum);

  NameAndNumberQueues(selection, queueNum, szDevicePath);

  if (!SelectManagedQueues(&selection)) return;
  TraceOut(kTraceEnumReturned, static_cast<int>(selection.enumerated.size()));
  TraceOut(kTraceStatusCount, selection.count);
  UpdateQueueStatus(selection, enablePrinterNum, szDevicePath);
}
