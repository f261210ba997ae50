// USB seam over SetupAPI and overlapped device reads.
#include <windows.h>
#include <setupapi.h>

#include <vector>

#include "watch/usb.h"

// GUID_DEVINTERFACE_USBPRINT
static const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

UsbInterfaceSet UsbOpenInterfaceSet(uint32_t* error) {
  HDEVINFO set = SetupDiGetClassDevsA(&kUsbPrintInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  return set;
}

UsbInterfaceResult UsbInterfacePath(UsbInterfaceSet set, uint32_t index, std::string* path, uint32_t* error) {
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterface, index, &interfaceData)) {
    *error = GetLastError();
    return UsbInterfaceNone;
  }
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    *error = GetLastError();
    return UsbInterfaceDetailFailed;
  }
  std::vector<char> buffer(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, size, nullptr, nullptr)) {
    *error = GetLastError();
    return UsbInterfaceDetailFailed;
  }
  buffer.back() = '\0';
  *path = detail->DevicePath;
  return UsbInterfaceFound;
}

void UsbCloseInterfaceSet(UsbInterfaceSet set) {
  if (set != nullptr) SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(set));
}

UsbPort UsbOpenPort(const char* path, uint32_t* error) {
  HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  return device;
}

UsbReadResult UsbReadPort(UsbPort port, unsigned char* buffer, uint32_t capacity, uint32_t timeoutMs,
                          uint32_t* count, uint32_t* error) {
  HANDLE device = static_cast<HANDLE>(port);
  *count = 0;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    *error = GetLastError();
    return UsbReadFailed;
  }
  UsbReadResult result = UsbReadDone;
  DWORD got = 0;
  if (!ReadFile(device, buffer, capacity, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    *error = GetLastError();
    result = UsbReadFailed;
  } else if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
    // The buffer belongs to the caller's stack: wait for the cancelled read
    // to let go of it before returning.
    CancelIo(device);
    if (GetOverlappedResult(device, &overlapped, &got, TRUE) && got > 0) {
      *count = got;
      *error = 0;
    } else {
      *error = ERROR_TIMEOUT;
      result = UsbReadTimedOut;
    }
  } else if (GetOverlappedResult(device, &overlapped, &got, FALSE)) {
    *count = got;
    *error = 0;
  } else {
    *error = GetLastError();
    result = UsbReadFailed;
  }
  CloseHandle(overlapped.hEvent);
  return result;
}

void UsbClosePort(UsbPort port) {
  if (port != nullptr) CloseHandle(static_cast<HANDLE>(port));
}
