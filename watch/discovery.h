// USB discovery of the label printers of the family (vendor 8888, product
// 0026, interface 02), the configuration read from a printer and the
// configuration file kept per queue.
#pragma once

#include <cstdint>

#include "watch/usb.h"

constexpr int kDevPathSlots = 16;       // slots of the discovery table
constexpr int kDevicePathSlots = 10;    // slots that are ever used
constexpr int kPathBytes = 256;         // one device path, name or file path
constexpr int kConfigBlockBytes = 256;  // a ConfigBlock buffer
constexpr uint32_t kConfigReadBytes = 255;
constexpr uint32_t kConfigFileBytes = 63;
// A printer that hasn't answered by then counts as not answering, so that a
// wedged device can't hold the pass (and every control behind it) forever.
constexpr uint32_t kDeviceReadTimeoutMs = 3000;

constexpr unsigned char kBlockNothing = 0;
constexpr unsigned char kBlockValid = 8;
constexpr unsigned char kBlockKeepState = 12;

// Fills slot i of the caller's zero-filled table with the lower-cased path of
// the interface at member index i when it is one of the family's; other
// slots stay empty. Paths that don't fit a slot are skipped with a trace.
void EnumUsbPrinters(char pszDevPath[kDevPathSlots][kPathBytes]);

// Packs the non-empty paths among slots 0 to 9 of a fresh discovery into the
// caller's zero-filled list, in slot order.
void GetPrinterPaths(char szDevicePath[kDevicePathSlots][kPathBytes]);

// A fresh discovery's count of non-empty slots among slots 0 to 9.
int GetPrinterNum();

// Opens a device path for the configuration read; null on failure with the
// system error code in *error.
UsbPort OpenUsbPort(const char* pszDevPath, uint32_t* error);

// Reads one block (at most 255 bytes, nothing sent first) from the printer at
// the path into the caller's zero-filled 256-byte buffer. A printer that
// can't be opened, refuses the read or doesn't answer in time leaves the
// buffer untouched.
void GetPrinterConfig(const char* pszDevPath, unsigned char* configBlock);

// Writes bytes 0 to 62 of the block to "<Data Directory>\<queue name>.bin".
// Nothing is written when "Software\VELQ" or its "Data Directory" can't be
// read, or when the path doesn't fit 255 characters.
void SavePrinterConfig(const char* printerName, const unsigned char* configBlock);
