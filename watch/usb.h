// Seam: USB printer-class device interfaces and reads from a device path.
//
// Backends, one linked per target:
//   watch/win/usb_win.cpp      SetupAPI, CreateFileA and overlapped ReadFile
//   watch/linux/usb_udev.cpp   udev's usbmisc "lp" nodes; paths are
//                              "usblp://<vid&pid&mi text>/dev/usb/lpN"
//   tests/fakes/watch/usb_fake.cpp  in memory, for the unit tests
// Error codes are Win32 codes on Windows and in the fake, errno values on
// Linux except where a Win32 code is named below. Only UsbReadPort waits on
// a device; every other call returns at once.
#pragma once

#include <cstdint>
#include <string>

typedef void* UsbInterfaceSet;  // null: no set
typedef void* UsbPort;          // null: not open

// Opens the set of present interfaces of the USB printer class
// GUID_DEVINTERFACE_USBPRINT (SetupDiGetClassDevsA, DIGCF_PRESENT |
// DIGCF_DEVICEINTERFACE). Null when the class can't be enumerated, with the
// system error code in *error. Doesn't touch the devices; doesn't block
// (on Linux: a snapshot of udev's database).
UsbInterfaceSet UsbOpenInterfaceSet(uint32_t* error);

enum UsbInterfaceResult {
  UsbInterfaceFound,         // *path holds the device path
  UsbInterfaceNone,          // no interface at this member index or later
  UsbInterfaceDetailFailed,  // the interface exists, its path can't be read
};

// The device path of the interface at member index `index`, exactly as the
// platform reports it (case untouched). *error holds the system error code
// when the result is UsbInterfaceDetailFailed.
UsbInterfaceResult UsbInterfacePath(UsbInterfaceSet set, uint32_t index, std::string* path,
                                    uint32_t* error);

// Releases the set. Accepts null.
void UsbCloseInterfaceSet(UsbInterfaceSet set);

// Opens a device path for reading and writing, shared for both, existing
// devices only, ready for reads with a time-out. Null on failure, with the
// system error code in *error (an empty path fails too; on Linux a path not
// of the usblp form fails with 123, ERROR_INVALID_NAME). Doesn't wait for
// the device.
UsbPort UsbOpenPort(const char* path, uint32_t* error);

enum UsbReadResult {
  UsbReadDone,      // *count bytes arrived (possibly 0)
  UsbReadFailed,    // the device refused the read; *error holds the code
  UsbReadTimedOut,  // nothing arrived within the time-out; the read is cancelled
};

// One read of at most `capacity` bytes into `buffer`, waiting at most
// `timeoutMs`. Blocks up to the time-out. On a time-out the read is cancelled
// and the call returns only once the device can no longer write into
// `buffer`. *count is 0 unless the result is UsbReadDone. On Linux a
// time-out sets *error to 1460 (ERROR_TIMEOUT).
UsbReadResult UsbReadPort(UsbPort port, unsigned char* buffer, uint32_t capacity, uint32_t timeoutMs,
                          uint32_t* count, uint32_t* error);

// Closes a port from UsbOpenPort. Accepts null.
void UsbClosePort(UsbPort port);
