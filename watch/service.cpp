// printerwatch's service host. Passes run only on the service main thread:
// the control handler just asks for one, so device events that arrive while a
// pass runs fold into a single further pass and never overlap it, and the
// dispatcher stays free to answer STOP at once.
#include "watch/service.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "watch/reconcile.h"
#include "watch/scm.h"
#include "watch/service_log.h"
#include "watch/trace.h"
#include "watch/trace_texts.h"

std::string szServiceName = "USB Printer Service VELQ";

static std::mutex statusLock;
static ScmServiceStatus serviceStatus;
static ScmStatusHandle statusHandle = nullptr;

// The manual-reset exit event, and the request for one more pass that the
// service thread waits for alongside it.
struct ExitEvent {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
  bool passWanted = false;
};
static ExitEvent m_hExitEvent;

static void SetState(uint32_t state, bool report) {
  std::lock_guard<std::mutex> guard(statusLock);
  serviceStatus.currentState = state;
  if (report) ScmSetStatus(statusHandle, serviceStatus);
}

static void ReportStatus() {
  std::lock_guard<std::mutex> guard(statusLock);
  ScmSetStatus(statusHandle, serviceStatus);
}

void InitService() {
  {
    std::lock_guard<std::mutex> guard(statusLock);
    serviceStatus = ScmServiceStatus{kServiceWin32OwnProcess, kServiceStopped, kServiceAcceptStopPauseContinue, 0, 0, 0, 0};
    statusHandle = nullptr;
  }
  ScmAttachWindowStation("Winsta0");
  ScmAttachThreadDesktop("Default");
  std::lock_guard<std::mutex> guard(m_hExitEvent.lock);
  m_hExitEvent.signalled = false;
  m_hExitEvent.passWanted = false;
}

void MyMain() {
  TraceOut(kTraceEnterMyMain);
  InitService();
  // The table keeps its own copy: ServiceMain replaces szServiceName while
  // the dispatcher still holds the table.
  std::string tableName = szServiceName;
  TraceOut(kTraceServiceName, szServiceName.c_str());
  uint32_t error = 0;
  if (!ScmStartDispatcher(tableName.c_str(), ServiceMain, &error)) TraceOut(kTraceDispatcherError);
}

static void RunPass() {
  {
    std::lock_guard<std::mutex> guard(m_hExitEvent.lock);
    m_hExitEvent.passWanted = false;
  }
  ServiceLogLoadSettings();
  ServiceLogBeginPass();
  UpdatePrinters();
  ServiceLogEndPass();
}

void ServiceMain(uint32_t argc, char** argv) {
  if (argc >= 1 && argv != nullptr && argv[0] != nullptr) szServiceName = argv[0];
  TraceOut(kTraceServiceMainArgs, static_cast<int>(argc), szServiceName.c_str());
  uint32_t error = 0;
  ScmStatusHandle handle = ScmRegisterHandler(szServiceName.c_str(), ServiceCtrlHandler, nullptr, &error);
  if (handle == nullptr) {
    char text[128];
    std::snprintf(text, sizeof text, kTraceRegisterHandlerFailed, static_cast<int>(error));
    TraceOut("%s", text);
    ServiceLogHandlerFailed(error);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(statusLock);
    statusHandle = handle;
    serviceStatus.currentState = kServiceRunning;
  }
  ScmRegisterUsbPrintEvents(handle);
  ServiceLogLoadSettings();
  ServiceLogStarted();
  RunPass();
  ReportStatus();
  TraceOut(kTraceWaitExit);
  for (;;) {
    std::unique_lock<std::mutex> wait(m_hExitEvent.lock);
    m_hExitEvent.changed.wait(wait, [] { return m_hExitEvent.signalled || m_hExitEvent.passWanted; });
    if (m_hExitEvent.signalled) break;
    wait.unlock();
    RunPass();
  }
  // Before the report: once STOPPED is reported the process may end.
  ServiceLogStopped();
  SetState(kServiceStopped, true);
  TraceOut(kTraceServiceStopped);
}

uint32_t ServiceCtrlHandler(uint32_t dwControl, uint32_t dwEventType, void* lpEventData, void* lpContext) {
  (void)lpEventData;
  (void)lpContext;
  switch (dwControl) {
    case kControlStop:
      SetState(kServiceStopPending, true);
      TraceOut(kTraceControlStop);
      {
        std::lock_guard<std::mutex> guard(m_hExitEvent.lock);
        m_hExitEvent.signalled = true;
      }
      m_hExitEvent.changed.notify_all();
      break;
    case kControlPause:
      TraceOut(kTraceControlPause);
      break;
    case kControlContinue:
      TraceOut(kTraceControlContinue);
      break;
    case kControlDeviceEvent:
      // Arrival, removal or any other type: the pass works out what changed.
      {
        std::lock_guard<std::mutex> guard(m_hExitEvent.lock);
        m_hExitEvent.passWanted = true;
      }
      m_hExitEvent.changed.notify_all();
      TraceOut(kTraceDeviceEvent, dwEventType);
      break;
    default:
      break;
  }
  return 0;
}
