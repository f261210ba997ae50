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
static int wakeFd = -1;  // written when the handler or the events are registered, or ServiceMain ends
static std::atomic<bool> serviceEnded{false};

static void Wake() {
  uint64_t one = 1;
  if (wakeFd >= 0) (void)!write(wakeFd, &one, sizeof one);
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

bool ScmStartDispatcher(const char* serviceName, ScmServiceMain serviceMain, uint32_t* error) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Every thread started from here inherits the mask, so only signalfd sees them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  udev* context = udev_new();
  udev_monitor* monitor = context != nullptr ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
  if (monitor != nullptr) {
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usbmisc", nullptr);
    if (udev_monitor_enable_receiving(monitor) < 0) {
      udev_monitor_unref(monitor);
      monitor = nullptr;
    }
  }
  if (signalFd < 0 || wakeFd < 0) {
    *error = static_cast<uint32_t>(errno);
    return false;
  }

  std::string name = serviceName;
  std::thread service([&name, serviceMain] {
    char* argv[] = {&name[0], nullptr};
    serviceMain(1, argv);
    serviceEnded = true;
    Wake();
  });

  bool stopPending = false;
  bool stopDelivered = false;
  auto stopAsked = std::chrono::steady_clock::now();
  while (!serviceEnded) {
    pollfd waits[3] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (monitor != nullptr) waits[2].fd = udev_monitor_get_fd(monitor);
    int timeout = -1;
    if (stopDelivered) {
      auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopAsked);
      timeout = static_cast<int>(kStopGraceMs - spent.count());
      if (timeout <= 0) {
        std::fprintf(stderr, "printerwatch: stopped while a pass was still running\n");
        std::fflush(stderr);
        sd_notify(0, "STOPPING=1");
        _exit(0);
      }
    }
    if (poll(waits, 3, timeout) < 0 && errno != EINTR) break;
    if (waits[1].revents & POLLIN) Drain(wakeFd);
    if (waits[0].revents & POLLIN) {
      signalfd_siginfo received;
      (void)!read(signalFd, &received, sizeof received);
      if (!stopPending) stopAsked = std::chrono::steady_clock::now();
      stopPending = true;
    }
    if (waits[2].revents & POLLIN) {
      udev_device* device = udev_monitor_receive_device(monitor);
      if (device != nullptr) {
        const char* action = udev_device_get_action(device);
        uint32_t type = 0;
        if (action != nullptr && std::strcmp(action, "add") == 0) type = kDeviceArrival;
        if (action != nullptr && std::strcmp(action, "remove") == 0) type = kDeviceRemoveComplete;
        if (type != 0 && IsPrinterNode(device) && eventsWanted && serviceHandler != nullptr && !stopDelivered) {
          serviceHandler.load()(kControlDeviceEvent, type, nullptr, nullptr);
        }
        udev_device_unref(device);
      }
    }
    if (stopPending && !stopDelivered && serviceHandler != nullptr) {
      serviceHandler.load()(kControlStop, 0, nullptr, nullptr);
      stopDelivered = true;
    }
  }
  service.join();
  if (monitor != nullptr) udev_monitor_unref(monitor);
  if (context != nullptr) udev_unref(context);
  close(signalFd);
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
