// The reconcile pass over the spooler's queues: selection by driver, adds up
// to the number of valid printers, ordering by "Position", trimming, naming,
// the configuration files and the online/offline status.
#include "watch/reconcile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "base/win_error.h"
#include "watch/bounded.h"
#include "watch/service.h"
#include "watch/service_log.h"
#include "watch/spool.h"
#include "watch/store.h"
#include "watch/trace.h"
#include "watch/trace_texts.h"

PrinterSettingsData PrinterSettings = {};

// How many numbers AddPrinterQueue and the rename step try before giving up
// on finding a free name.
static constexpr int kFreeNameTries = kMaxManagedQueues + kDevicePathSlots;

// One managed queue of a selection: the queue as enumerated and the
// "Position" read from it when the selection was made.
struct QueueRecord {
  SpoolQueue queue;
  uint32_t position = 0;
  bool positionRead = false;
};

// The managed queues of one selection, in the spooler's order until sorted,
// and how many queues the enumeration returned in all.
struct Selection {
  size_t enumerated = 0;
  std::vector<QueueRecord> managed;
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
  if (key == nullptr) {
    LogFailure("settings key HKEY_LOCAL_MACHINE\\%s cannot be opened (error %d)", keyPath.c_str(), static_cast<int>(error));
    return;
  }
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

enum FreeNameResult { FreeNameFound, FreeNameTooLong, FreeNameNone };

// The first name of the scheme "<PrinterName> #<number>", from firstNumber
// on, that no queue holds.
static FreeNameResult FindFreeName(int firstNumber, char name[kPathBytes]) {
  for (int number = firstNumber; number < firstNumber + kFreeNameTries; ++number) {
    if (!FormatBounded(name, kPathBytes, "%s #%d", PrinterSettings.PrinterName, number)) return FreeNameTooLong;
    if (!QueueExists(name)) return FreeNameFound;
  }
  return FreeNameNone;
}

// Some spoolers silently replace a queue when one is added under a taken
// name, and the name only has to last until the rename step, so a taken
// number is passed over instead of handed to AddPrinterA.
void AddPrinterQueue(int n) {
  char name[kPathBytes] = {};
  FreeNameResult found = FindFreeName(n - 1, name);
  if (found == FreeNameTooLong) TraceOut(kTraceTooLong, PrinterSettings.PrinterName, kPathBytes);
  if (found != FreeNameFound) return;

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
    LogFailure("AddPrinter \"%s\" (driver \"%s\", port \"%s\") failed (error %d)", name, queue.driver.c_str(),
               queue.port.c_str(), static_cast<int>(error));
    return;
  }
  SpoolSetDword(added, kPositionValue, static_cast<uint32_t>(n), &error);
  TraceOut(kTraceAddOk, name);
  LogChange("added queue \"%s\" (Position %d)", name, n);
  SpoolClose(added);
}

void DeletePrinterQueue(const char* printerName) {
  uint32_t error = 0;
  SpoolHandle queue = SpoolOpen(printerName, true, &error);
  if (queue == nullptr) {
    LogFailure("queue \"%s\" cannot be opened to delete it (error %d)", printerName, static_cast<int>(error));
    return;
  }
  if (SpoolDelete(queue, &error)) {
    LogChange("deleted queue \"%s\"", printerName);
  } else {
    LogFailure("DeletePrinter \"%s\" failed (error %d)", printerName, static_cast<int>(error));
  }
  SpoolClose(queue);
}

// False ends the pass: the spooler couldn't be enumerated.
static bool SelectManagedQueues(Selection* selection) {
  selection->enumerated = 0;
  selection->managed.clear();
  std::vector<SpoolQueue> queues;
  uint32_t error = 0;
  if (SpoolEnumQueues(&queues, &error) != SpoolEnumOk) {
    TraceOut(kTraceEnumFailed, static_cast<int>(error));
    LogFailure("the spooler's queues cannot be listed (error %d): the pass ends", static_cast<int>(error));
    return false;
  }
  selection->enumerated = queues.size();
  // A queue with no driver name must not count as managed by an empty setting.
  if (PrinterSettings.DriverName[0] == '\0') return true;
  for (const SpoolQueue& queue : queues) {
    if (queue.driver != PrinterSettings.DriverName) continue;
    if (selection->managed.size() == kMaxManagedQueues) {
      TraceOut(kTraceTooManyQueues, kMaxManagedQueues, kMaxManagedQueues);
      break;
    }
    QueueRecord record;
    record.queue = queue;
    SpoolHandle handle = SpoolOpen(queue.name.c_str(), false, &error);
    if (handle != nullptr) {
      record.positionRead = SpoolGetDword(handle, kPositionValue, &record.position, &error);
      SpoolClose(handle);
    }
    selection->managed.push_back(record);
  }
  return true;
}

// Ascending by Position as unsigned numbers; queues without a readable
// Position go after all ranked ones. The sort is stable, so equal Positions
// keep the spooler's order.
static bool RanksBefore(const QueueRecord& left, const QueueRecord& right) {
  if (!left.positionRead) return false;
  if (!right.positionRead) return true;
  return left.position < right.position;
}

static bool SameQueueName(const std::string& left, const char* right) {
  return AsciiLower(left) == AsciiLower(std::string(right));
}

// Device k's block, or all zero when the pass has no device at that index.
static void ReadDeviceBlock(char szDevicePath[kDevicePathSlots][kPathBytes], int k, unsigned char* block) {
  std::memset(block, 0, kConfigBlockBytes);
  if (k < 0 || k >= kDevicePathSlots || szDevicePath[k][0] == '\0') return;
  GetPrinterConfig(szDevicePath[k], block);
}

enum RenameResult { RenameDone, RenameNoRecord, RenameRefused };

static RenameResult RenameQueue(SpoolHandle handle, const char* newName, uint32_t* error) {
  SpoolRecord record;
  if (!SpoolGetRecord(handle, &record, error)) return RenameNoRecord;
  record.name = newName;
  record.shareName = newName;
  return SpoolSetRecord(handle, record, error) ? RenameDone : RenameRefused;
}

// A later queue of the ranking holds the name queue k wants (two queues whose
// Positions disagree with their names): give it a free name of the scheme
// beyond the ranked ones, so that neither rename is refused.
static void MoveQueueAside(std::string* currentName, int managedCount) {
  char spareName[kPathBytes] = {};
  if (FindFreeName(managedCount, spareName) != FreeNameFound) return;
  uint32_t error = 0;
  SpoolHandle holder = SpoolOpen(currentName->c_str(), true, &error);
  if (holder == nullptr) return;
  if (RenameQueue(holder, spareName, &error) == RenameDone) {
    TraceOut(kTraceNameMovedAside, currentName->c_str(), spareName);
    LogChange("renamed queue \"%s\" to \"%s\" to free its name", currentName->c_str(), spareName);
    *currentName = spareName;
  } else {
    TraceOut(kTraceRenameFailed, static_cast<int>(error));
    LogFailure("renaming queue \"%s\" to \"%s\" failed (error %d)", currentName->c_str(), spareName,
               static_cast<int>(error));
  }
  SpoolClose(holder);
}

// Queue k of the ranking: its Position becomes k+1, device k's configuration
// is stored under the name it should have, and it is renamed to that name.
static void NameAndNumberQueue(std::vector<std::string>* currentName, int k,
                               char szDevicePath[kDevicePathSlots][kPathBytes]) {
  std::string& name = (*currentName)[k];
  TraceOut(kTracePrintName, name.c_str());
  unsigned char block[kConfigBlockBytes];
  ReadDeviceBlock(szDevicePath, k, block);
  uint32_t error = 0;
  SpoolHandle queue = SpoolOpen(name.c_str(), true, &error);
  if (queue == nullptr) return;

  uint32_t position = 0;
  uint32_t rank = static_cast<uint32_t>(k + 1);
  if (SpoolGetDword(queue, kPositionValue, &position, &error) && position != rank) {
    SpoolSetDword(queue, kPositionValue, rank, &error);
    LogChange("queue \"%s\": Position %u is now %u", name.c_str(), position, rank);
  }

  char wantedName[kPathBytes] = {};
  bool fits = k == 0 ? CopyBounded(wantedName, kPathBytes, PrinterSettings.PrinterName)
                     : FormatBounded(wantedName, kPathBytes, "%s #%d", PrinterSettings.PrinterName, k);
  if (!fits) TraceOut(kTraceTooLong, PrinterSettings.PrinterName, kPathBytes);
  if (fits && block[0] != kBlockNothing) SavePrinterConfig(wantedName, block);
  if (fits && name != wantedName) {
    int queueNum = static_cast<int>(currentName->size());
    for (int j = k + 1; j < queueNum; ++j) {
      if (SameQueueName((*currentName)[j], wantedName)) MoveQueueAside(&(*currentName)[j], queueNum);
    }
    RenameResult renamed = RenameQueue(queue, wantedName, &error);
    if (renamed == RenameDone) {
      LogChange("renamed queue \"%s\" to \"%s\"", name.c_str(), wantedName);
      name = wantedName;
    }
    if (renamed == RenameRefused) {
      TraceOut(kTraceRenameFailed, static_cast<int>(error));
      LogFailure("renaming queue \"%s\" to \"%s\" failed (error %d)", name.c_str(), wantedName,
                 static_cast<int>(error));
    }
  }
  SpoolClose(queue);
}

static void NameAndNumberQueues(const Selection& s, int queueNum,
                                char szDevicePath[kDevicePathSlots][kPathBytes]) {
  std::vector<std::string> currentName(queueNum);
  for (int k = 0; k < queueNum; ++k) currentName[k] = s.managed[k].queue.name;
  for (int k = 0; k < queueNum; ++k) NameAndNumberQueue(&currentName, k, szDevicePath);
}

static void SetQueueOffline(SpoolHandle queue, const SpoolQueue& enumerated) {
  SpoolRecord record;
  uint32_t error = 0;
  if (!SpoolGetRecord(queue, &record, &error)) return;
  TraceOut(kTraceOffline, record.name.c_str(), static_cast<int>(enumerated.status));
  if ((record.attributes & kSpoolAttributeWorkOffline) != 0) return;
  record.attributes |= kSpoolAttributeWorkOffline;
  TraceOut(kTraceOfflineSet, static_cast<int>(record.attributes), record.name.c_str());
  if (SpoolSetRecord(queue, record, &error)) {
    LogChange("queue \"%s\" taken offline", record.name.c_str());
  } else {
    LogFailure("taking queue \"%s\" offline failed (error %d)", record.name.c_str(), static_cast<int>(error));
  }
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
    if (SpoolSetRecord(queue, record, &error)) {
      LogChange("queue \"%s\" brought online", record.name.c_str());
    } else {
      LogFailure("bringing queue \"%s\" online failed (error %d)", record.name.c_str(), static_cast<int>(error));
    }
    TraceOut(kTraceAttributes, static_cast<int>(record.attributes));
  }
}

static void UpdateQueueStatus(const Selection& s, int enablePrinterNum,
                              char szDevicePath[kDevicePathSlots][kPathBytes]) {
  for (int m = 0; m < static_cast<int>(s.managed.size()); ++m) {
    const SpoolQueue& enumerated = s.managed[m].queue;
    // Queue m meets device m by the two enumeration orders, not by Position.
    unsigned char block[kConfigBlockBytes];
    ReadDeviceBlock(szDevicePath, m, block);
    TraceOut(kTraceStatusBlock, block[0]);
    TraceOut(kTraceStatusName, enumerated.name.c_str());
    uint32_t error = 0;
    SpoolHandle queue = SpoolOpen(enumerated.name.c_str(), true, &error);
    if (queue == nullptr) continue;
    uint32_t pos = 0;
    // Without a Position the queue has no rank: its state is left alone.
    if (!SpoolGetDword(queue, kPositionValue, &pos, &error)) {
      SpoolClose(queue);
      continue;
    }
    TraceOut(kTraceStatusPosition, static_cast<int>(pos));
    if (pos > static_cast<uint32_t>(enablePrinterNum)) {
      SetQueueOffline(queue, enumerated);
    } else if (block[0] != kBlockKeepState) {
      SetQueueOnline(queue);
    }
    SpoolClose(queue);
  }
}

void UpdatePrinters() {
  LoadPrinterSettings();
  TraceOut(kTraceSettings, PrinterSettings.PrinterName, PrinterSettings.DriverName, PrinterSettings.PrinterPort);
  if (PrinterSettings.DriverName[0] == '\0') {
    LogFailure("\"DriverName\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\%s is empty: no queue is managed",
               szServiceName.c_str());
  }

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
  int queueNum = static_cast<int>(selection.managed.size());
  TraceOut(kTraceSelected, queueNum, dwprinternum);
  LogChange("pass: %d printer(s) found, %d valid, %d queue(s) of driver \"%s\"", dwprinternum, enablePrinterNum,
            queueNum, PrinterSettings.DriverName);

  for (int n = queueNum + 1; n <= enablePrinterNum; ++n) AddPrinterQueue(n);
  if (queueNum < enablePrinterNum) {
    if (!SelectManagedQueues(&selection)) return;
    queueNum = static_cast<int>(selection.managed.size());
  }

  std::stable_sort(selection.managed.begin(), selection.managed.end(), RanksBefore);
  for (int k = queueNum - 1; k >= 1; --k) {
    if (k >= enablePrinterNum) {
      DeletePrinterQueue(selection.managed[k].queue.name.c_str());
      --queueNum;
    }
  }
  TraceOut(kTraceTrimmed, queueNum);

  NameAndNumberQueues(selection, queueNum, szDevicePath);

  if (!SelectManagedQueues(&selection)) return;
  TraceOut(kTraceEnumReturned, static_cast<int>(selection.enumerated));
  TraceOut(kTraceStatusCount, static_cast<int>(selection.managed.size()));
  UpdateQueueStatus(selection, enablePrinterNum, szDevicePath);
}
