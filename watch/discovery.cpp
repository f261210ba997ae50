// Finds the family's printers among the USB printer-class interfaces, reads
// their configuration block and stores it in a file named after its queue.
#include "watch/discovery.h"

#include <cstring>
#include <string>

#include "base/ascii.h"
#include "watch/bounded.h"
#include "watch/service_log.h"
#include "watch/store.h"
#include "watch/trace.h"
#include "watch/trace_texts.h"

// Vendor and product sit right after the platform's 8-character path prefix
// ("\\?\usb#"); the interface number may be anywhere.
static constexpr size_t kVidOffset = 8;
static constexpr size_t kVidLength = 17;
static constexpr char kFamilyVidPid[] = "vid_8888&pid_0026";
static constexpr char kFamilyInterface[] = "mi_02";

void EnumUsbPrinters(char pszDevPath[kDevPathSlots][kPathBytes]) {
  TraceOut(kTraceEnumStart);
  uint32_t error = 0;
  UsbInterfaceSet interfaces = UsbOpenInterfaceSet(&error);
  if (interfaces == nullptr) return;
  // Only slots 0 to 9 are ever read, so stopping at the table's end loses
  // nothing and can't write past it.
  for (uint32_t numberIndex = 0; numberIndex < kDevPathSlots; ++numberIndex) {
    std::string devicePath;
    UsbInterfaceResult found = UsbInterfacePath(interfaces, numberIndex, &devicePath, &error);
    if (found != UsbInterfaceFound) break;  // none left, or a detail request failed
    devicePath = AsciiLower(devicePath);

    char szVid[32] = {};
    if (devicePath.size() > kVidOffset) {
      std::string vid = devicePath.substr(kVidOffset, kVidLength);
      std::memcpy(szVid, vid.data(), vid.size());
    }
    TraceOut(kTraceEnumInterface, szVid, devicePath.c_str());
    bool matches = AsciiLower(szVid) == kFamilyVidPid && devicePath.find(kFamilyInterface) != std::string::npos;
    if (!matches) continue;
    if (!CopyBounded(pszDevPath[numberIndex], kPathBytes, devicePath.c_str())) {
      TraceOut(kTraceTooLong, devicePath.c_str(), kPathBytes);
      continue;
    }
    TraceOut(kTraceEnumMatch, pszDevPath[numberIndex], static_cast<int>(numberIndex));
  }
  UsbCloseInterfaceSet(interfaces);
}

void GetPrinterPaths(char szDevicePath[kDevicePathSlots][kPathBytes]) {
  static_assert(kDevicePathSlots <= kDevPathSlots, "packed list must not outgrow the table");
  char pszDevPath[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(pszDevPath);
  int next = 0;
  for (int i = 0; i < kDevicePathSlots; ++i) {
    TraceOut(kTracePathSlot, pszDevPath[i], i);
    if (pszDevPath[i][0] != '\0') {
      std::memcpy(szDevicePath[next], pszDevPath[i], kPathBytes);
      ++next;
    }
  }
}

int GetPrinterNum() {
  char pszDevPath[kDevPathSlots][kPathBytes] = {};
  EnumUsbPrinters(pszDevPath);
  int count = 0;
  for (int i = 0; i < kDevicePathSlots; ++i) {
    if (pszDevPath[i][0] != '\0') ++count;
  }
  TraceOut(kTracePrinterNum, count);
  return count;
}

UsbPort OpenUsbPort(const char* pszDevPath, uint32_t* error) { return UsbOpenPort(pszDevPath, error); }

void GetPrinterConfig(const char* pszDevPath, unsigned char* configBlock) {
  TraceOut(kTraceConfigOpen, pszDevPath);
  uint32_t error = 0;
  UsbPort port = OpenUsbPort(pszDevPath, &error);
  if (port == nullptr) {
    TraceOut(kTraceConfigOpenFailed, pszDevPath, static_cast<int>(error));
    LogFailure("printer %s cannot be opened (error %d)", pszDevPath, static_cast<int>(error));
    return;
  }
  unsigned char data[kConfigBlockBytes] = {};
  uint32_t dwRead = 0;
  error = 0;
  UsbReadResult result = UsbReadPort(port, data, kConfigReadBytes, kDeviceReadTimeoutMs, &dwRead, &error);
  if (result == UsbReadTimedOut) {
    TraceOut(kTraceReadTimedOut, static_cast<int>(kDeviceReadTimeoutMs));
    LogFailure("printer %s did not answer within %d ms", pszDevPath, static_cast<int>(kDeviceReadTimeoutMs));
    dwRead = 0;
  }
  if (dwRead > kConfigReadBytes) dwRead = kConfigReadBytes;
  TraceOut(kTraceConfigRead, static_cast<int>(dwRead), static_cast<int>(error));
  for (uint32_t i = 0; i < dwRead; ++i) TraceOut(" %d", static_cast<int>(data[i]));
  TraceOut("\r\n");
  std::memcpy(configBlock, data, dwRead);
  UsbClosePort(port);
}

void SavePrinterConfig(const char* printerName, const unsigned char* configBlock) {
  uint32_t error = 0;
  RegKey key = RegistryOpenMachineKey("Software\\VELQ", false, &error);
  if (key == nullptr) {
    LogFailure("HKEY_LOCAL_MACHINE\\Software\\VELQ cannot be opened (error %d): no configuration file written",
               static_cast<int>(error));
    return;
  }
  // One byte short of the buffer, so that a value without its terminator
  // still ends in one.
  char dataDirectory[kPathBytes] = {};
  bool haveDirectory = RegistryReadValue(key, "Data Directory", dataDirectory, kPathBytes - 1, &error);
  RegistryCloseKey(key);
  // An empty directory would put the file at the root of the current drive.
  if (!haveDirectory || dataDirectory[0] == '\0') {
    TraceOut(kTraceDataDirUnreadable, haveDirectory ? 0 : static_cast<int>(error));
    LogFailure("\"Data Directory\" cannot be read (error %d): no configuration file written",
               haveDirectory ? 0 : static_cast<int>(error));
    return;
  }
  char filePath[kPathBytes] = {};
  if (!FormatBounded(filePath, kPathBytes, "%s\\%s.bin", dataDirectory, printerName)) {
    TraceOut(kTraceTooLong, printerName, kPathBytes);
    return;
  }
  FileWriteResult written = FileWriteWhole(filePath, configBlock, kConfigFileBytes, &error);
  if (written == FileCreateFailed) TraceOut(kTraceConfigCreateFailed, filePath, static_cast<int>(error));
  if (written == FileWritten) {
    LogChange("configuration file %s written", filePath);
  } else {
    LogFailure("configuration file %s cannot be written (error %d)", filePath, static_cast<int>(error));
  }
}
