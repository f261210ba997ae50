// Seam: the spooler's list of printer queues, as GetPrinters needs it.
//
// Backends (one per target):
// - spooler_list_win.cpp: EnumPrintersW (Windows);
// - spooler_list_cups.cpp: one CUPS-Get-Printers request (Linux, macOS);
// - tests/fakes/server/spooler_list_fake.cpp: a list set by the tests.
#pragma once
#include <string>
#include <vector>

// Attribute bits the listing tests, as the Windows spooler numbers them.
const unsigned kPrinterAttributeNetwork = 0x10;
const unsigned kPrinterAttributeWorkOffline = 0x400;

struct SpoolerPrinter {
  bool hasServerName;      // false for queues of this machine
  std::string serverName;  // narrow text (system code page on Windows)
  std::string name;        // narrow text (system code page on Windows)
  unsigned attributes;     // kPrinterAttribute* bits
  std::string utf8Name{};  // the same name as UTF-8, whatever the code page
  bool isDefault = false;  // the system's default queue
};

// The local queues in the spooler's order, whole also while another program
// adds one (Windows: asked again at the size the spooler then reports).
// Returns false when the enumeration failed (no buffer, or the spooler
// refused; CUPS: the scheduler did not answer, but a scheduler without queues
// gives true and no queues); printers is then left empty. Blocks for one
// spooler round trip, a few more while the list keeps growing (CUPS: also
// while all shared scheduler connections are in use).
bool EnumLocalPrinters(std::vector<SpoolerPrinter>* printers);
