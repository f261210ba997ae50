// Bench tool for the virtual USB printer bus: installs the bus driver into a
// Wine prefix, plugs and unplugs virtual printers through its control device,
// and looks at them the way printerwatch does (its own USB backend). Every
// command prints one line per result and exits non-zero on failure.
//   usbbus_tool install <inf path>          root device, driver, wait for the bus
//   usbbus_tool plug <vid> <pid> <mi> answer|silent|failopen <block hex>
//                                           prints "id=N path=P" once the interface is present
//   usbbus_tool unplug <id>                 waits until its interface is gone
//   usbbus_tool stats <id>                  the child's open/read/close counters
//   usbbus_tool list                        USB printer interface paths, one a line
//   usbbus_tool read <path> <timeout ms>    one read through printerwatch's backend
//   usbbus_tool events <seconds>            WM_DEVICECHANGE lines for the printer class
#include <windows.h>
#include <winioctl.h>
#include <dbt.h>
#include <newdev.h>
#include <setupapi.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/bench-win/usbbus/usbbus_ioctl.h"
#include "watch/usb.h"

static const GUID kControlInterface = USBBUS_CONTROL_GUID_INIT;
static const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
static const char kRootInstance[] = "ROOT\\BENCHUSB\\0000";
// A multi-string: the id, then the list's terminator.
static const char kRootHardwareId[] = "root\\benchusb\0";
constexpr DWORD kWaitMs = 15000;

static void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

// Interface paths of a class: present ones only.
static std::vector<std::string> InterfacePaths(const GUID& interfaceClass) {
  std::vector<std::string> paths;
  HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<char> buffer(size + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) paths.push_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

static std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The present printer interface of child `id`, or "" when there is none.
static std::string ChildPath(unsigned id) {
  char instance[32];
  std::snprintf(instance, sizeof instance, "#bench%04x#", id);
  for (const std::string& path : InterfacePaths(kUsbPrintInterface)) {
    if (Lower(path).find(instance) != std::string::npos) return path;
  }
  return "";
}

template <typename Predicate>
static bool WaitFor(Predicate done) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
    if (done()) return true;
    Sleep(50);
  }
  return done();
}

static HANDLE OpenControl() {
  std::vector<std::string> paths = InterfacePaths(kControlInterface);
  if (paths.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

static bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* error) {
  HANDLE control = OpenControl();
  if (control == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(control, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
  *error = ok ? 0 : GetLastError();
  CloseHandle(control);
  return ok != FALSE;
}

static int Install(const char* infPath) {
  if (!InterfacePaths(kControlInterface).empty()) {
    Say("installed already\n");
    return 0;
  }
  // Checked here: Wine's UpdateDriverForPlugAndPlayDevices reports success
  // for an INF that isn't there, and the failure would only show as the
  // control device never appearing.
  char fullPath[MAX_PATH];
  if (GetFullPathNameA(infPath, MAX_PATH, fullPath, nullptr) == 0 ||
      GetFileAttributesA(fullPath) == INVALID_FILE_ATTRIBUTES) {
    Say("install failed: no such INF %s\n", infPath);
    return 1;
  }
  // Wine's own route for root devices (wineboot installs its buses so).
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoA(set, kRootInstance, &GUID_NULL, nullptr, nullptr, 0, &device)) {
    if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
      Say("install failed: SetupDiCreateDeviceInfo error=%lu\n", GetLastError());
      return 1;
    }
  } else {
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kRootHardwareId), sizeof kRootHardwareId)) {
      Say("install failed: hardware id error=%lu\n", GetLastError());
      return 1;
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
      Say("install failed: DIF_REGISTERDEVICE error=%lu\n", GetLastError());
      return 1;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, kRootHardwareId, fullPath, INSTALLFLAG_FORCE, &reboot)) {
    Say("install failed: UpdateDriverForPlugAndPlayDevices error=%lu\n", GetLastError());
    return 1;
  }
  if (!WaitFor([] { return !InterfacePaths(kControlInterface).empty(); })) {
    Say("install failed: the bus's control device did not appear within %lu ms\n", kWaitMs);
    return 1;
  }
  Say("installed\n");
  return 0;
}

static bool ParseHexBytes(const char* text, unsigned char* out, unsigned* count) {
  size_t length = std::strlen(text);
  if (length % 2 != 0 || length / 2 > USBBUS_BLOCK_BYTES) return false;
  for (size_t i = 0; i < length; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end = nullptr;
    out[i / 2] = static_cast<unsigned char>(std::strtoul(pair, &end, 16));
    if (end != pair + 2) return false;
  }
  *count = static_cast<unsigned>(length / 2);
  return true;
}

static int Plug(char** argv) {
  UsbBusPlug plug = {};
  plug.vendor = std::strtoul(argv[0], nullptr, 16);
  plug.product = std::strtoul(argv[1], nullptr, 16);
  plug.interfaceNumber = std::strtoul(argv[2], nullptr, 16);
  const char* behaviour = argv[3];
  if (std::strcmp(behaviour, "answer") == 0) {
    plug.behaviour = UsbBusAnswer;
  } else if (std::strcmp(behaviour, "silent") == 0) {
    plug.behaviour = UsbBusSilent;
  } else if (std::strcmp(behaviour, "failopen") == 0) {
    plug.behaviour = UsbBusFailOpen;
  } else {
    Say("plug failed: unknown behaviour %s\n", behaviour);
    return 2;
  }
  if (!ParseHexBytes(argv[4], plug.block, &plug.length)) {
    Say("plug failed: the block must be hex, at most %d bytes\n", USBBUS_BLOCK_BYTES);
    return 2;
  }
  unsigned id = 0;
  DWORD error = 0;
  if (!Control(IOCTL_USBBUS_PLUG, &plug, sizeof plug, &id, sizeof id, &error)) {
    Say("plug failed: the bus refused, error=%lu (is the bus installed in this prefix?)\n", error);
    return 1;
  }
  std::string path;
  if (!WaitFor([&] { return !(path = ChildPath(id)).empty(); })) {
    Say("plug failed: id=%u has no printer interface after %lu ms\n", id, kWaitMs);
    return 1;
  }
  Say("id=%u path=%s\n", id, path.c_str());
  return 0;
}

static int Unplug(unsigned id) {
  DWORD error = 0;
  if (!Control(IOCTL_USBBUS_UNPLUG, &id, sizeof id, nullptr, 0, &error)) {
    Say("unplug failed: id=%u error=%lu\n", id, error);
    return 1;
  }
  if (!WaitFor([&] { return ChildPath(id).empty(); })) {
    Say("unplug failed: id=%u still has its interface after %lu ms\n", id, kWaitMs);
    return 1;
  }
  Say("unplugged id=%u\n", id);
  return 0;
}

static int Stats(unsigned id) {
  UsbBusStats stats = {};
  DWORD error = 0;
  if (!Control(IOCTL_USBBUS_STATS, &id, sizeof id, &stats, sizeof stats, &error)) {
    Say("stats failed: id=%u error=%lu\n", id, error);
    return 1;
  }
  Say("opens=%u failed_opens=%u reads=%u cancelled=%u abandoned=%u closes=%u started=%u removed=%u pending_ms=%u\n",
      stats.opens, stats.failedOpens, stats.reads, stats.cancelledReads, stats.abandonedReads, stats.closes,
      stats.started, stats.removed, stats.pendingMs);
  return 0;
}

// Through printerwatch's own backend, so that what it sees is what this shows.
static int List() {
  uint32_t error = 0;
  UsbInterfaceSet set = UsbOpenInterfaceSet(&error);
  if (set == nullptr) {
    Say("list failed: error=%u\n", error);
    return 1;
  }
  std::string path;
  for (uint32_t i = 0; UsbInterfacePath(set, i, &path, &error) == UsbInterfaceFound; ++i) Say("%s\n", path.c_str());
  UsbCloseInterfaceSet(set);
  return 0;
}

static int Read(const char* path, uint32_t timeoutMs) {
  uint32_t error = 0;
  UsbPort port = UsbOpenPort(path, &error);
  if (port == nullptr) {
    Say("open failed error=%u\n", error);
    return 0;
  }
  unsigned char buffer[256] = {};
  uint32_t count = 0;
  DWORD started = GetTickCount();
  UsbReadResult result = UsbReadPort(port, buffer, 255, timeoutMs, &count, &error);
  DWORD elapsed = GetTickCount() - started;
  UsbClosePort(port);
  std::string hex;
  for (uint32_t i = 0; i < count; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", buffer[i]);
    hex += pair;
  }
  Say("result=%d count=%u error=%u elapsed_ms=%lu bytes=%s\n", static_cast<int>(result), count, error, elapsed,
      hex.c_str());
  return 0;
}

static LRESULT CALLBACK EventWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
    if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      auto* iface = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
      bool printerClass = IsEqualGUID(iface->dbcc_classguid, kUsbPrintInterface) != 0;
      // Wine sends the UTF-16 record even to an ANSI window (Windows converts).
      std::string name = iface->dbcc_name;
      const char* encoding = "ansi";
      if (name.size() <= 1 && iface->dbcc_name[0] != 0 && iface->dbcc_name[1] == 0) {
        auto* wide = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
        char narrow[512] = {};
        WideCharToMultiByte(CP_ACP, 0, wide->dbcc_name, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
        name = narrow;
        encoding = "utf16";
      }
      Say("%s class=%s encoding=%s name=%s\n", wParam == DBT_DEVICEARRIVAL ? "arrival" : "removal",
          printerClass ? "usbprint" : "other", encoding, name.c_str());
    }
    return TRUE;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// What a window sees of plugging: Wine delivers WM_DEVICECHANGE to windows
// (and drops the service-handle route, which printerwatch registers).
static int Events(DWORD seconds) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = EventWindow;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "usbbus_tool_events";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA(windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
  if (window == nullptr) {
    Say("events failed: CreateWindow error=%lu\n", GetLastError());
    return 1;
  }
  DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbPrintInterface;
  HDEVNOTIFY notify = RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (notify == nullptr) {
    Say("events failed: RegisterDeviceNotification error=%lu\n", GetLastError());
    return 1;
  }
  Say("ready\n");
  DWORD deadline = GetTickCount() + seconds * 1000;
  for (;;) {
    DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, deadline - now, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
  UnregisterDeviceNotification(notify);
  DestroyWindow(window);
  Say("done\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) return Install(argv[2]);
  if (argc == 7 && std::strcmp(argv[1], "plug") == 0) return Plug(argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "unplug") == 0) return Unplug(std::strtoul(argv[2], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "stats") == 0) return Stats(std::strtoul(argv[2], nullptr, 10));
  if (argc == 2 && std::strcmp(argv[1], "list") == 0) return List();
  if (argc == 4 && std::strcmp(argv[1], "read") == 0) return Read(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (argc == 3 && std::strcmp(argv[1], "events") == 0) return Events(std::strtoul(argv[2], nullptr, 10));
  Say("usage: usbbus_tool install|plug|unplug|stats|list|read|events ...\n");
  return 2;
}
