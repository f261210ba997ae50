// In-memory USB backend: interfaces by member index, devices by path (the
// platform compares device paths without regard to case).
#include "watch/usb.h"
#include "tests/fakes/watch/usb_fake.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/ascii.h"
#include "tests/fakes/watch/fake_log.h"

static std::mutex usbLock;
static std::vector<FakeUsbInterface> usbInterfaces;
static FakeUsbFaults usbFaults;
static int usbOpenPorts = 0;
static int usbOpenSets = 0;
static uint32_t usbLastTimeout = 0;

struct FakePort {
  FakeUsbInterface device;
};

void FakeUsbReset() {
  std::lock_guard<std::mutex> guard(usbLock);
  usbInterfaces.clear();
  usbFaults = FakeUsbFaults{};
  usbOpenPorts = 0;
  usbOpenSets = 0;
  usbLastTimeout = 0;
}

void FakeUsbSetInterfaces(const std::vector<FakeUsbInterface>& interfaces) {
  std::lock_guard<std::mutex> guard(usbLock);
  usbInterfaces = interfaces;
}

void FakeUsbSetFaults(const FakeUsbFaults& faults) {
  std::lock_guard<std::mutex> guard(usbLock);
  usbFaults = faults;
}

int FakeUsbOpenPorts() {
  std::lock_guard<std::mutex> guard(usbLock);
  return usbOpenPorts;
}

int FakeUsbOpenSets() {
  std::lock_guard<std::mutex> guard(usbLock);
  return usbOpenSets;
}

uint32_t FakeUsbLastTimeout() {
  std::lock_guard<std::mutex> guard(usbLock);
  return usbLastTimeout;
}

std::string FakeUsbFamilyPath(int serial) {
  return "\\\\?\\USB#VID_8888&PID_0026&MI_02#7&1a2b3c&0&" + std::to_string(serial) +
         "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

FakeUsbInterface FakeUsbPrinter(int serial, unsigned char code) {
  FakeUsbInterface printer;
  printer.path = FakeUsbFamilyPath(serial);
  printer.block = {code, static_cast<unsigned char>(serial), 0x55, 0xAA};
  return printer;
}

UsbInterfaceSet UsbOpenInterfaceSet(uint32_t* error) {
  std::lock_guard<std::mutex> guard(usbLock);
  FakeLogAdd("UsbOpenInterfaceSet");
  if (usbFaults.classFails) {
    *error = 13;
    return nullptr;
  }
  ++usbOpenSets;
  // The set is a snapshot, as the platform's is.
  return new std::vector<FakeUsbInterface>(usbInterfaces);
}

UsbInterfaceResult UsbInterfacePath(UsbInterfaceSet set, uint32_t index, std::string* path, uint32_t* error) {
  auto* interfaces = static_cast<std::vector<FakeUsbInterface>*>(set);
  if (index >= interfaces->size()) {
    *error = 259;  // ERROR_NO_MORE_ITEMS
    return UsbInterfaceNone;
  }
  const FakeUsbInterface& found = (*interfaces)[index];
  if (found.detailFails) {
    *error = 122;
    return UsbInterfaceDetailFailed;
  }
  *path = found.path;
  return UsbInterfaceFound;
}

void UsbCloseInterfaceSet(UsbInterfaceSet set) {
  if (set == nullptr) return;
  std::lock_guard<std::mutex> guard(usbLock);
  --usbOpenSets;
  delete static_cast<std::vector<FakeUsbInterface>*>(set);
}

UsbPort UsbOpenPort(const char* path, uint32_t* error) {
  std::lock_guard<std::mutex> guard(usbLock);
  FakeLogAdd(std::string("UsbOpenPort ") + path);
  std::string wanted = AsciiLower(path);
  auto found = std::find_if(usbInterfaces.begin(), usbInterfaces.end(),
                            [&](const FakeUsbInterface& i) { return !wanted.empty() && AsciiLower(i.path) == wanted; });
  if (found == usbInterfaces.end()) {
    *error = wanted.empty() ? 3 : 2;  // path not found / file not found
    return nullptr;
  }
  if (found->openFails) {
    *error = 5;
    return nullptr;
  }
  ++usbOpenPorts;
  return new FakePort{*found};
}

UsbReadResult UsbReadPort(UsbPort port, unsigned char* buffer, uint32_t capacity, uint32_t timeoutMs,
                          uint32_t* count, uint32_t* error) {
  const FakeUsbInterface& device = static_cast<FakePort*>(port)->device;
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(usbLock);
    usbLastTimeout = timeoutMs;
    hook = usbFaults.readHook;
  }
  FakeLogAdd("UsbReadPort " + AsciiLower(device.path));
  if (hook) hook(device.path);
  *count = 0;
  switch (device.answer) {
    case FakeUsbRefusesRead:
      *error = 31;  // ERROR_GEN_FAILURE
      return UsbReadFailed;
    case FakeUsbSilent:
      // What the real backend reports once its time-out has passed.
      *error = 995;  // ERROR_OPERATION_ABORTED
      return UsbReadTimedOut;
    case FakeUsbAnswers:
      break;
  }
  uint32_t length = static_cast<uint32_t>(std::min<size_t>(device.block.size(), capacity));
  if (length > 0) std::memcpy(buffer, device.block.data(), length);
  *count = length;
  return UsbReadDone;
}

void UsbClosePort(UsbPort port) {
  if (port == nullptr) return;
  std::lock_guard<std::mutex> guard(usbLock);
  --usbOpenPorts;
  delete static_cast<FakePort*>(port);
}
