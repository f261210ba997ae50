// Bench tool: sets up and inspects Wine's spooler for the printerwatch bench.
//   spool_tool list                             one line per queue:
//                                               name|driver|port|attributes|position
//   spool_tool add <name> <driver> <port> <position>
//   spool_tool delete <name>
//   spool_tool driver <name> <ppd path>          a PostScript driver of that name
//                                               and PPD, with no queue of it
//   spool_tool churn <name> <driver> <seconds>  adds and deletes a queue of that
//                                               name and driver, again and again
//   spool_tool print <name> <title>             sends a small raw document, as
//                                               another program's job; prints
//                                               "job <id>"
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/printer_records_win.h"

static int List() {
  std::vector<BYTE> buffer;
  DWORD returned = 0;
  DWORD error = 0;
  if (EnumPrinterRecords(false, PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, &buffer, &returned, &error) !=
      kWholeListingOk) {
    std::printf("EnumPrinters error=%lu\n", error);
    return 1;
  }
  auto* records = reinterpret_cast<PRINTER_INFO_2A*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    long position = -1;
    HANDLE printer = nullptr;
    if (OpenPrinterA(records[i].pPrinterName, &printer, nullptr)) {
      DWORD type = 0, value = 0, size = 0;
      if (GetPrinterDataA(printer, const_cast<char*>("Position"), &type, reinterpret_cast<BYTE*>(&value), 4, &size) ==
          ERROR_SUCCESS) {
        position = static_cast<long>(value);
      }
      ClosePrinter(printer);
    }
    std::printf("%s|%s|%s|%lu|%ld\n", records[i].pPrinterName, records[i].pDriverName ? records[i].pDriverName : "",
                records[i].pPortName ? records[i].pPortName : "", records[i].Attributes, position);
  }
  std::fflush(stdout);
  return 0;
}

static int Add(char* name, char* driver, char* port, DWORD position) {
  PRINTER_INFO_2A info = {};
  info.pPrinterName = name;
  info.pShareName = name;
  info.pPortName = port;
  info.pDriverName = driver;
  info.pPrintProcessor = const_cast<char*>("WinPrint");
  info.pDatatype = const_cast<char*>("RAW");
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer == nullptr) {
    std::printf("AddPrinter error=%lu\n", GetLastError());
    return 1;
  }
  DWORD rc = SetPrinterDataA(printer, const_cast<char*>("Position"), REG_DWORD, reinterpret_cast<BYTE*>(&position), 4);
  ClosePrinter(printer);
  std::printf("added %s rc=%lu\n", name, rc);
  std::fflush(stdout);
  return rc == ERROR_SUCCESS ? 0 : 1;
}

static int Delete(char* name) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterA(name, &printer, &defaults)) {
    std::printf("OpenPrinter error=%lu\n", GetLastError());
    return 1;
  }
  BOOL ok = DeletePrinter(printer);
  ClosePrinter(printer);
  std::printf("deleted %s ok=%d\n", name, ok ? 1 : 0);
  return ok ? 0 : 1;
}

// Wine installs a driver per CUPS queue the same way, and deletes it with the
// queue; a driver of our own outlives every queue.
static int Driver(char* name, char* ppd) {
  DRIVER_INFO_3A info = {};
  info.cVersion = 3;
  info.pName = name;
  info.pEnvironment = const_cast<char*>("Windows x64");
  info.pDriverPath = const_cast<char*>("wineps.drv");
  info.pDataFile = ppd;
  info.pConfigFile = const_cast<char*>("wineps.drv");
  info.pDefaultDataType = const_cast<char*>("RAW");
  if (!AddPrinterDriverExA(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES | APD_COPY_FROM_DIRECTORY) &&
      GetLastError() != ERROR_PRINTER_DRIVER_ALREADY_INSTALLED) {
    std::printf("AddPrinterDriver error=%lu\n", GetLastError());
    return 1;
  }
  std::printf("driver %s\n", name);
  std::fflush(stdout);
  return 0;
}

// Another program changing the spooler's list while printgate or printerwatch
// reads it.
static int Churn(char* name, char* driver, DWORD seconds) {
  PRINTER_INFO_2A info = {};
  info.pPrinterName = name;
  info.pPortName = const_cast<char*>("FILE:");
  info.pDriverName = driver;
  info.pPrintProcessor = const_cast<char*>("WinPrint");
  info.pDatatype = const_cast<char*>("RAW");
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  unsigned long rounds = 0;
  ULONGLONG end = GetTickCount64() + seconds * 1000ull;
  while (GetTickCount64() < end) {
    HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (printer == nullptr) {
      std::printf("AddPrinter error=%lu after %lu rounds\n", GetLastError(), rounds);
      return 1;
    }
    ClosePrinter(printer);
    printer = nullptr;
    if (!OpenPrinterA(name, &printer, &defaults) || !DeletePrinter(printer)) {
      std::printf("DeletePrinter error=%lu after %lu rounds\n", GetLastError(), rounds);
      return 1;
    }
    ClosePrinter(printer);
    ++rounds;
  }
  std::printf("churned %lu rounds\n", rounds);
  std::fflush(stdout);
  return 0;
}

// Another program's job on a queue printgate also prints to.
static int Print(char* name, char* title) {
  HANDLE printer = nullptr;
  if (!OpenPrinterA(name, &printer, nullptr)) {
    std::printf("OpenPrinter error=%lu\n", GetLastError());
    return 1;
  }
  DOC_INFO_1A doc = {title, nullptr, const_cast<char*>("RAW")};
  DWORD job = StartDocPrinterA(printer, 1, reinterpret_cast<BYTE*>(&doc));
  char text[] = "another program's document\n";
  DWORD written = 0;
  BOOL ok = job != 0 && WritePrinter(printer, text, sizeof text - 1, &written) && EndDocPrinter(printer);
  DWORD error = ok ? 0 : GetLastError();
  ClosePrinter(printer);
  if (!ok) {
    std::printf("print error=%lu\n", error);
    return 1;
  }
  std::printf("job %lu\n", job);
  std::fflush(stdout);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "list") == 0) return List();
  if (argc == 6 && std::strcmp(argv[1], "add") == 0) return Add(argv[2], argv[3], argv[4], std::strtoul(argv[5], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "delete") == 0) return Delete(argv[2]);
  if (argc == 4 && std::strcmp(argv[1], "driver") == 0) return Driver(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "print") == 0) return Print(argv[2], argv[3]);
  if (argc == 5 && std::strcmp(argv[1], "churn") == 0) return Churn(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
  std::printf(
      "usage: spool_tool list | add <name> <driver> <port> <position> | delete <name> | driver <name> <ppd> | "
      "churn <name> <driver> <seconds> | print <name> <title>\n");
  return 2;
}
