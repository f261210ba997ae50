// SCM seam for the Linux service under systemd: the calling thread plays the
// control dispatcher. It turns SIGTERM and SIGINT into STOP and the udev
// add and remove events of usblp nodes into device events, delivers them
// one at a time to the handler, and reports the service's state with
// sd_notify (READY=1 when RUNNING, STOPPING=1 when STOP_PENDING).
#include "watch/scm.h"

#include <libudev.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

static constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
static constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
// systemd waits for a stop; this service answers SIGTERM within 5 s. A pass
// stuck on silent printers (3 s per read) may take longer, so after this
// long the process ends without it: the spooler holds the real state and
// the next start recomputes everything from it.
static constexpr int kStopGraceMs = 4000;

static std::atomic<ScmHandler> serviceHandler{nullptr};
static std::atomic<bool> eventsWanted{false};
// Written when the handler or the events are registered, or ServiceMain ends.
static std::atomic<int> wakeFd{-1};
static std::atomic<bool> serviceEnded{false};

// What the dispatcher waits on; every member is released by CloseDispatcher.
struct Dispatcher {
  sigset_t oldMask;
  int signalFd = -1;
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;  // null: no device events (netlink refused)
};

static void Wake() {
  uint64_t one = 1;
  int fd = wakeFd.load();
  if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

static void Drain(int fd) {
  uint64_t value = 0;
  (void)!read(fd, &value, sizeof value);
}

// The usblp nodes are the printer-class interfaces; which of them are the
// family's is the pass's business, as it is for the platform's events.
static bool IsPrinterNode(udev_device* device) {
  const char* name = udev_device_get_sysname(device);
  return name != nullptr && std::strncmp(name, "lp", 2) == 0;
}

static void CloseDispatcher(Dispatcher* d) {
  if (d->monitor != nullptr) udev_monitor_unref(d->monitor);
  if (d->context != nullptr) udev_unref(d->context);
  if (d->signalFd >= 0) close(d->signalFd);
  int fd = wakeFd.exchange(-1);
  if (fd >= 0) close(fd);
}

// Blocks SIGTERM and SIGINT for this thread and every thread started from
// it, so only the signalfd sees them. False, with errno's code and nothing
// left open (the signal mask restored), when a descriptor can't be had.
static bool OpenDispatcher(Dispatcher* d, uint32_t* error) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &d->oldMask);
  d->signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (d->signalFd >= 0) wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d->signalFd < 0 || wakeFd < 0) {
    *error = static_cast<uint32_t>(errno);
    CloseDispatcher(d);
    pthread_sigmask(SIG_SETMASK, &d->oldMask, nullptr);
    return false;
  }
  d->context = udev_new();
  d->monitor = d->context != nullptr ? udev_monitor_new_from_netlink(d->context, "udev") : nullptr;
  if (d->monitor != nullptr) {
    udev_monitor_filter_add_match_subsystem_devtype(d->monitor, "usbmisc", nullptr);
    if (udev_monitor_enable_receiving(d->monitor) < 0) {
      udev_monitor_unref(d->monitor);
      d->monitor = nullptr;
    }
  }
  return true;
}

// Takes the monitor's next event, so that it doesn't wake the loop again,
// and hands it to the handler unless a STOP has been delivered.
static void TakeDeviceEvent(udev_monitor* monitor, bool stopDelivered) {
  udev_device* device = udev_monitor_receive_device(monitor);
  if (device == nullptr) return;
  const char* action = udev_device_get_action(device);
  uint32_t type = 0;
  if (action != nullptr && std::strcmp(action, "add") == 0) type = kDeviceArrival;
  if (action != nullptr && std::strcmp(action, "remove") == 0) type = kDeviceRemoveComplete;
  if (type != 0 && IsPrinterNode(device) && eventsWanted && serviceHandler != nullptr && !stopDelivered) {
    serviceHandler.load()(kControlDeviceEvent, type, nullptr, nullptr);
  }
  udev_device_unref(device);
}

// The poll timeout while a delivered STOP waits for its pass: what is left
// of the grace. Past it the process ends here.
static int StopGraceLeft(std::chrono::steady_clock::time_point stopAsked) {
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopAsked);
  int timeout = static_cast<int>(kStopGraceMs - spent.count());
  if (timeout > 0) return timeout;
  std::fprintf(stderr, "printerwatch: stopped while a pass was still running\n");
  std::fflush(stderr);
  sd_notify(0, "STOPPING=1");
  _exit(0);
}

// Delivers controls one at a time until ServiceMain has ended.
static void DispatchUntilEnded(const Dispatcher& d) {
  bool stopPending = false;
  bool stopDelivered = false;
  auto stopAsked = std::chrono::steady_clock::now();
  while (!serviceEnded) {
    pollfd waits[3] = {{d.signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (d.monitor != nullptr) waits[2].fd = udev_monitor_get_fd(d.monitor);
    int timeout = stopDelivered ? StopGraceLeft(stopAsked) : -1;
    if (poll(waits, 3, timeout) < 0 && errno != EINTR) break;
    if (waits[1].revents & POLLIN) Drain(wakeFd);
    if (waits[0].revents & POLLIN) {
      signalfd_siginfo received;
      (void)!read(d.signalFd, &received, sizeof received);
      if (!stopPending) stopAsked = std::chrono::steady_clock::now();
      stopPending = true;
    }
    if (waits[2].revents & POLLIN) TakeDeviceEvent(d.monitor, stopDelivered);
    if (stopPending && !stopDelivered && serviceHandler != nullptr) {
      serviceHandler.load()(kControlStop, 0, nullptr, nullptr);
      stopDelivered = true;
    }
  }
}

bool ScmStartDispatcher(const char* serviceName, ScmServiceMain serviceMain, uint32_t* error) {
  Dispatcher dispatcher;
  if (!OpenDispatcher(&dispatcher, error)) return false;
  serviceEnded = false;
  std::string name = serviceName;
  std::thread service([&name, serviceMain] {
    char* argv[] = {&name[0], nullptr};
    serviceMain(1, argv);
    serviceEnded = true;
    Wake();
  });
  DispatchUntilEnded(dispatcher);
  service.join();
  CloseDispatcher(&dispatcher);
  return true;
}

ScmStatusHandle ScmRegisterHandler(const char* serviceName, ScmHandler handler, void* context, uint32_t* error) {
  (void)serviceName;
  (void)context;
  (void)error;
  serviceHandler = handler;
  Wake();
  static int token = 0;
  return &token;
}

bool ScmSetStatus(ScmStatusHandle handle, const ScmServiceStatus& status) {
  (void)handle;
  if (status.currentState == kServiceRunning) sd_notify(0, "READY=1\nSTATUS=Watching the label printers");
  if (status.currentState == kServiceStopPending) sd_notify(0, "STOPPING=1");
  return true;
}

bool ScmRegisterUsbPrintEvents(ScmStatusHandle handle) {
  (void)handle;
  eventsWanted = true;
  return true;
}

// No window station or desktop to attach to on Linux.
bool ScmAttachWindowStation(const char* name) {
  (void)name;
  return true;
}

bool ScmAttachThreadDesktop(const char* name) {
  (void)name;
  return true;
}
