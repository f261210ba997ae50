// SCM seam over advapi32 (the handler registration bound by name at run
// time) and user32's window station and desktop calls.
#include <windows.h>
#include <dbt.h>

#include "watch/scm.h"

// GUID_DEVINTERFACE_USBPRINT
static const GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

// One service per process: the portable entry points behind the WINAPI
// trampolines the SCM calls.
static ScmServiceMain serviceMain = nullptr;
static ScmHandler serviceHandler = nullptr;

static void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) { serviceMain(argc, argv); }

static DWORD WINAPI HandlerEntry(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  return serviceHandler(control, eventType, eventData, context);
}

bool ScmStartDispatcher(const char* serviceName, ScmServiceMain main, uint32_t* error) {
  serviceMain = main;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(serviceName), ServiceMainEntry}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    *error = GetLastError();
    return false;
  }
  return true;
}

ScmStatusHandle ScmRegisterHandler(const char* serviceName, ScmHandler handler, void* context, uint32_t* error) {
  typedef SERVICE_STATUS_HANDLE(WINAPI * RegisterHandlerExA)(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID);
  serviceHandler = handler;
  HMODULE advapi = LoadLibraryA("advapi32.dll");
  if (advapi == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  auto registerHandler =
      reinterpret_cast<RegisterHandlerExA>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegisterServiceCtrlHandlerExA")));
  if (registerHandler == nullptr) {
    *error = GetLastError();
    FreeLibrary(advapi);
    return nullptr;
  }
  SERVICE_STATUS_HANDLE status = registerHandler(serviceName, HandlerEntry, context);
  if (status == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  FreeLibrary(advapi);
  return status;
}

bool ScmSetStatus(ScmStatusHandle handle, const ScmServiceStatus& status) {
  SERVICE_STATUS record = {status.serviceType,   status.currentState,
                           status.controlsAccepted, status.win32ExitCode,
                           status.serviceSpecificExitCode, status.checkPoint,
                           status.waitHint};
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

bool ScmRegisterUsbPrintEvents(ScmStatusHandle handle) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = kUsbPrintInterface;
  return RegisterDeviceNotificationA(static_cast<HANDLE>(handle), &filter, DEVICE_NOTIFY_SERVICE_HANDLE) != nullptr;
}

bool ScmAttachWindowStation(const char* name) {
  HWINSTA station = OpenWindowStationA(name, FALSE, MAXIMUM_ALLOWED);
  return station != nullptr && SetProcessWindowStation(station) != FALSE;
}

bool ScmAttachThreadDesktop(const char* name) {
  HDESK desktop = OpenDesktopA(name, 0, FALSE, MAXIMUM_ALLOWED);
  return desktop != nullptr && SetThreadDesktop(desktop) != FALSE;
}
