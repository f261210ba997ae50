// Spooler listing over EnumPrintersW, level 2, local queues.
#include "server/spooler_list.h"

#include <windows.h>
#include <winspool.h>

#include <vector>

#include "base/printer_records_win.h"
#include "base/wide_text_win.h"

namespace {

// UTF-16 text to a code page: characters it lacks become its default
// character; null gives "".
std::string WideToCodePage(const wchar_t* text, UINT codePage) {
  return text == nullptr ? std::string() : NarrowText(text, wcslen(text), codePage);
}

}  // namespace

// UTF-16 text to the system's ANSI code page.
std::string WideToAnsi(const wchar_t* text) { return WideToCodePage(text, CP_ACP); }

namespace {

// The user's default queue, or "" when there is none.
std::wstring DefaultPrinterW() {
  DWORD size = 0;
  GetDefaultPrinterW(nullptr, &size);
  if (size == 0) return std::wstring();
  std::wstring name(size, L'\0');
  if (!GetDefaultPrinterW(&name[0], &size)) return std::wstring();
  name.resize(wcslen(name.c_str()));
  return name;
}

}  // namespace

bool EnumLocalPrinters(std::vector<SpoolerPrinter>* printers) {
  printers->clear();
  std::vector<BYTE> buffer;
  DWORD returned = 0;
  DWORD error = 0;
  if (EnumPrinterRecords(true, PRINTER_ENUM_LOCAL, 0, &buffer, &returned, &error) != kWholeListingOk) return false;
  const PRINTER_INFO_2W* records = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  std::wstring defaultName = DefaultPrinterW();
  for (DWORD i = 0; i < returned; ++i) {
    SpoolerPrinter printer;
    printer.hasServerName = records[i].pServerName != nullptr;
    printer.serverName = WideToAnsi(records[i].pServerName);
    printer.name = WideToAnsi(records[i].pPrinterName);
    printer.attributes = records[i].Attributes;
    printer.utf8Name = WideToCodePage(records[i].pPrinterName, CP_UTF8);
    printer.isDefault = records[i].pPrinterName != nullptr && !defaultName.empty() &&
                        defaultName == records[i].pPrinterName;
    printers->push_back(printer);
  }
  return true;
}
