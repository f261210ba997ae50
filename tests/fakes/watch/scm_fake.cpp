// In-memory service control manager behind the scm seam.
#include "watch/scm.h"
#include "tests/fakes/watch/scm_fake.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "tests/fakes/watch/fake_log.h"

namespace {
struct PostedControl {
  uint32_t control;
  uint32_t eventType;
};
}  // namespace

static std::mutex scmLock;
static std::condition_variable scmChanged;
static FakeScmFaults scmFaults;
static std::vector<std::string> scmArguments;
static bool scmArgumentsSet = false;
static std::deque<PostedControl> scmControls;
static int scmDelivered = 0;
static std::vector<ScmServiceStatus> scmReports;
static ScmHandler scmHandler = nullptr;
static void* scmContext = nullptr;
static std::string scmHandlerName;
static int scmDeviceRegistrations = 0;

// A safety net so that a broken service fails the test instead of hanging it.
static constexpr auto kSafetyLimit = std::chrono::seconds(20);

void FakeScmReset() {
  std::lock_guard<std::mutex> guard(scmLock);
  scmFaults = FakeScmFaults{};
  scmArguments.clear();
  scmArgumentsSet = false;
  scmControls.clear();
  scmDelivered = 0;
  scmReports.clear();
  scmHandler = nullptr;
  scmContext = nullptr;
  scmHandlerName.clear();
  scmDeviceRegistrations = 0;
}

void FakeScmSetFaults(const FakeScmFaults& faults) {
  std::lock_guard<std::mutex> guard(scmLock);
  scmFaults = faults;
}

void FakeScmSetArguments(const std::vector<std::string>& arguments) {
  std::lock_guard<std::mutex> guard(scmLock);
  scmArguments = arguments;
  scmArgumentsSet = true;
}

void FakeScmPostControl(uint32_t control, uint32_t eventType) {
  {
    std::lock_guard<std::mutex> guard(scmLock);
    scmControls.push_back(PostedControl{control, eventType});
  }
  scmChanged.notify_all();
}

int FakeScmControlsDelivered() {
  std::lock_guard<std::mutex> guard(scmLock);
  return scmDelivered;
}

bool FakeScmWaitDelivered(int count) {
  std::unique_lock<std::mutex> wait(scmLock);
  return scmChanged.wait_for(wait, kSafetyLimit, [count] { return scmDelivered >= count; });
}

std::vector<ScmServiceStatus> FakeScmReports() {
  std::lock_guard<std::mutex> guard(scmLock);
  return scmReports;
}

std::string FakeScmHandlerName() {
  std::lock_guard<std::mutex> guard(scmLock);
  return scmHandlerName;
}

int FakeScmDeviceRegistrations() {
  std::lock_guard<std::mutex> guard(scmLock);
  return scmDeviceRegistrations;
}

// Called with scmLock held.
static bool ControlDeliverable() {
  if (scmHandler == nullptr || scmControls.empty()) return false;
  if (!scmReports.empty() && scmReports.back().currentState == kServiceStopped) return false;
  if (scmControls.front().control == kControlDeviceEvent) return true;
  return !scmReports.empty() && scmReports.back().currentState == kServiceRunning;
}

bool ScmStartDispatcher(const char* serviceName, ScmServiceMain serviceMain, uint32_t* error) {
  std::vector<std::string> arguments;
  {
    std::lock_guard<std::mutex> guard(scmLock);
    FakeLogAdd(std::string("ScmStartDispatcher ") + serviceName);
    if (scmFaults.noScm) {
      *error = 1063;  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
      return false;
    }
    arguments = scmArgumentsSet ? scmArguments : std::vector<std::string>{serviceName};
  }
  bool serviceDone = false;
  std::thread serviceThread([&] {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    serviceMain(static_cast<uint32_t>(arguments.size()), argv.data());
    {
      std::lock_guard<std::mutex> guard(scmLock);
      serviceDone = true;
    }
    scmChanged.notify_all();
  });
  std::unique_lock<std::mutex> wait(scmLock);
  for (;;) {
    scmChanged.wait(wait, [&] { return serviceDone || ControlDeliverable(); });
    if (!ControlDeliverable()) break;
    PostedControl next = scmControls.front();
    scmControls.pop_front();
    ScmHandler handler = scmHandler;
    void* context = scmContext;
    wait.unlock();
    FakeLogAdd("ScmControl " + std::to_string(next.control));
    handler(next.control, next.eventType, nullptr, context);
    wait.lock();
    ++scmDelivered;
    scmChanged.notify_all();
  }
  wait.unlock();
  serviceThread.join();
  return true;
}

ScmStatusHandle ScmRegisterHandler(const char* serviceName, ScmHandler handler, void* context, uint32_t* error) {
  {
    std::lock_guard<std::mutex> guard(scmLock);
    FakeLogAdd(std::string("ScmRegisterHandler ") + serviceName);
    if (scmFaults.registerError != 0) {
      *error = scmFaults.registerError;
      return nullptr;
    }
    scmHandler = handler;
    scmContext = context;
    scmHandlerName = serviceName;
  }
  scmChanged.notify_all();
  static int statusHandle = 0;
  return &statusHandle;
}

bool ScmSetStatus(ScmStatusHandle handle, const ScmServiceStatus& status) {
  if (handle == nullptr) return false;
  {
    std::lock_guard<std::mutex> guard(scmLock);
    FakeLogAdd("ScmSetStatus " + std::to_string(status.currentState));
    scmReports.push_back(status);
  }
  scmChanged.notify_all();
  return true;
}

bool ScmRegisterUsbPrintEvents(ScmStatusHandle handle) {
  std::lock_guard<std::mutex> guard(scmLock);
  FakeLogAdd("ScmRegisterUsbPrintEvents");
  if (handle == nullptr) return false;
  ++scmDeviceRegistrations;
  return true;
}

bool ScmAttachWindowStation(const char* name) {
  FakeLogAdd(std::string("ScmAttachWindowStation ") + name);
  return true;
}

bool ScmAttachThreadDesktop(const char* name) {
  FakeLogAdd(std::string("ScmAttachThreadDesktop ") + name);
  return true;
}
