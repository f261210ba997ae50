// The reconcile pass: keeps the spooler's queues for the label printers in
// step with the valid printers attached, by driver, "Position" and name.
#pragma once

#include "watch/discovery.h"

constexpr int kMaxManagedQueues = 256;
constexpr char kPositionValue[] = "Position";

// The settings read from HKEY_LOCAL_MACHINE\SOFTWARE\<service name> at the
// start of every pass.
struct PrinterSettingsData {
  char PrinterName[kPathBytes];
  char DriverName[kPathBytes];
  char PrinterPort[kPathBytes];
};
extern PrinterSettingsData PrinterSettings;

// Reloads the settings, creating the key when it is missing. If the key
// can't be opened the previous values stay; a missing or oversized value
// gives an empty setting.
void LoadPrinterSettings();

// Adds the queue for Position n under "<PrinterName> #<n-1>" (or, when that
// name is taken, the next free number), with "Position" n.
void AddPrinterQueue(int n);

// Deletes the queue of that name, if it opens.
void DeletePrinterQueue(const char* printerName);

// One reconcile pass. Assumes it is the only pass running.
void UpdatePrinters();
