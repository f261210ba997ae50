// Spooler seam over winspool's narrow interfaces.
#include <windows.h>
#include <winspool.h>

#include "base/printer_records_win.h"
#include "watch/spool.h"

static constexpr DWORD kRecordBufferBytes = 10240;

static std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

SpoolEnumResult SpoolEnumQueues(std::vector<SpoolQueue>* queues, uint32_t* error) {
  queues->clear();
  std::vector<BYTE> buffer;
  DWORD returned = 0;
  DWORD failure = 0;
  WholeListingResult listed =
      EnumPrinterRecords(false, PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, &buffer, &returned, &failure);
  if (listed != kWholeListingOk) {
    *error = failure;
    return listed == kWholeListingNoMemory ? SpoolEnumNoMemory : SpoolEnumFailed;
  }
  const auto* records = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    queues->push_back(SpoolQueue{Text(records[i].pPrinterName), Text(records[i].pDriverName), records[i].Attributes,
                                 records[i].Status});
  }
  return SpoolEnumOk;
}

SpoolHandle SpoolOpen(const char* name, bool allAccess, uint32_t* error) {
  HANDLE printer = nullptr;
  PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  if (!OpenPrinterA(const_cast<char*>(name), &printer, allAccess ? &defaults : nullptr)) {
    *error = GetLastError();
    return nullptr;
  }
  return printer;
}

void SpoolClose(SpoolHandle handle) {
  if (handle != nullptr) ClosePrinter(static_cast<HANDLE>(handle));
}

bool SpoolGetDword(SpoolHandle handle, const char* valueName, uint32_t* value, uint32_t* error) {
  DWORD type = 0;
  DWORD data = 0;
  DWORD needed = 0;
  DWORD rc = GetPrinterDataA(static_cast<HANDLE>(handle), const_cast<char*>(valueName), &type,
                             reinterpret_cast<BYTE*>(&data), sizeof data, &needed);
  if (rc != ERROR_SUCCESS) {
    *error = rc;
    return false;
  }
  *value = data;
  return true;
}

bool SpoolSetDword(SpoolHandle handle, const char* valueName, uint32_t value, uint32_t* error) {
  DWORD data = value;
  DWORD rc = SetPrinterDataA(static_cast<HANDLE>(handle), const_cast<char*>(valueName), REG_DWORD,
                             reinterpret_cast<BYTE*>(&data), sizeof data);
  if (rc != ERROR_SUCCESS) {
    *error = rc;
    return false;
  }
  return true;
}

bool SpoolGetRecord(SpoolHandle handle, SpoolRecord* record, uint32_t* error) {
  // The record's strings point into this buffer, so it travels with the
  // record until it is written back.
  auto buffer = std::make_shared<std::vector<unsigned char>>(kRecordBufferBytes);
  DWORD needed = 0;
  if (!GetPrinterA(static_cast<HANDLE>(handle), 2, buffer->data(), kRecordBufferBytes, &needed)) {
    *error = GetLastError();
    return false;
  }
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer->data());
  record->name = Text(info->pPrinterName);
  record->shareName = Text(info->pShareName);
  record->attributes = info->Attributes;
  record->status = info->Status;
  record->platform = buffer;
  return true;
}

bool SpoolSetRecord(SpoolHandle handle, const SpoolRecord& record, uint32_t* error) {
  auto buffer = std::static_pointer_cast<std::vector<unsigned char>>(record.platform);
  if (!buffer) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  PRINTER_INFO_2A info = *reinterpret_cast<const PRINTER_INFO_2A*>(buffer->data());
  info.pPrinterName = const_cast<char*>(record.name.c_str());
  info.pShareName = const_cast<char*>(record.shareName.c_str());
  info.Attributes = record.attributes;
  if (!SetPrinterA(static_cast<HANDLE>(handle), 2, reinterpret_cast<BYTE*>(&info), 0)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

bool SpoolSetStatus(SpoolHandle handle, uint32_t status, uint32_t* error) {
  DWORD value = status;
  if (!SetPrinterA(static_cast<HANDLE>(handle), 0, reinterpret_cast<BYTE*>(&value), PRINTER_CONTROL_SET_STATUS)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

SpoolHandle SpoolAdd(const SpoolNewQueue& queue, uint32_t* error) {
  PRINTER_INFO_2A info = {};
  info.pPrinterName = const_cast<char*>(queue.name.c_str());
  info.pShareName = const_cast<char*>(queue.shareName.c_str());
  info.pPortName = const_cast<char*>(queue.port.c_str());
  info.pDriverName = const_cast<char*>(queue.driver.c_str());
  info.pSepFile = const_cast<char*>(queue.sepFile.c_str());
  info.pPrintProcessor = const_cast<char*>(queue.printProcessor.c_str());
  info.pDatatype = const_cast<char*>(queue.datatype.c_str());
  info.pParameters = const_cast<char*>(queue.parameters.c_str());
  info.Attributes = queue.attributes;
  HANDLE printer = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  return printer;
}

bool SpoolDelete(SpoolHandle handle, uint32_t* error) {
  if (!DeletePrinter(static_cast<HANDLE>(handle))) {
    *error = GetLastError();
    return false;
  }
  return true;
}
