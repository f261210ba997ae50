// Seam: the service control manager and the process's window station and
// desktop.
//
// Backends, one linked per target:
//   watch/win/scm_win.cpp          advapi32 and user32
//   watch/linux/scm_systemd.cpp    systemd: SIGTERM and SIGINT are STOP, udev's
//                                  usbmisc add and remove events are device
//                                  events, states go out by sd_notify; no
//                                  window station or desktop (both succeed)
//   tests/fakes/watch/scm_fake.cpp  in memory, for the unit tests
// Only ScmStartDispatcher blocks; the other calls return at once.
#pragma once

#include <cstdint>

typedef void (*ScmServiceMain)(uint32_t argc, char** argv);
typedef uint32_t (*ScmHandler)(uint32_t control, uint32_t eventType, void* eventData, void* context);
typedef void* ScmStatusHandle;  // null: not registered

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStopPauseContinue = 3;

constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlPause = 2;
constexpr uint32_t kControlContinue = 3;
constexpr uint32_t kControlInterrogate = 4;
constexpr uint32_t kControlDeviceEvent = 11;

// The platform's SERVICE_STATUS, fields in the same order.
struct ScmServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

// StartServiceCtrlDispatcherA with the table {serviceName, serviceMain} and
// the null terminator. Blocks: the calling thread becomes the control
// dispatcher, serviceMain runs on a thread of its own, and the call returns
// true once the service has reported SERVICE_STOPPED. False at once when no
// SCM connection can be made (1063 when started from a command line; on
// Linux the errno value when a descriptor can't be had, nothing left open).
// On Linux a STOP whose pass is still running 4 s later ends the process.
bool ScmStartDispatcher(const char* serviceName, ScmServiceMain serviceMain, uint32_t* error);

// Loads "advapi32.dll" by name, looks up "RegisterServiceCtrlHandlerExA" and
// registers `handler` under `serviceName`, then frees the library (the
// registration outlives it: the process keeps advapi32 loaded). Null on
// failure, with the code in *error (never on Linux).
ScmStatusHandle ScmRegisterHandler(const char* serviceName, ScmHandler handler, void* context,
                                   uint32_t* error);

// SetServiceStatus.
bool ScmSetStatus(ScmStatusHandle handle, const ScmServiceStatus& status);

// RegisterDeviceNotificationA with DEVICE_NOTIFY_SERVICE_HANDLE for the
// interface class GUID_DEVINTERFACE_USBPRINT: its arrivals and removals reach
// the handler as SERVICE_CONTROL_DEVICEEVENT. The registration is kept for
// the life of the process.
bool ScmRegisterUsbPrintEvents(ScmStatusHandle handle);

// OpenWindowStationA(name, FALSE, MAXIMUM_ALLOWED), then SetProcessWindowStation.
bool ScmAttachWindowStation(const char* name);

// OpenDesktopA(name, 0, FALSE, MAXIMUM_ALLOWED), then SetThreadDesktop for
// the calling thread.
bool ScmAttachThreadDesktop(const char* name);
