// USB seam over libudev and the usblp device nodes (/dev/usb/lpN).
//
// The usblp nodes play the part of the printer-class interfaces. Each one is
// presented as "usblp://vid_VVVV&pid_PPPP&mi_NN/dev/usb/lpN": the identity
// sits right after an 8-character prefix, where the discovery's matching
// rule looks for it, and the node follows, so the path opens what it names.
#include "watch/usb.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "base/win_error.h"

static constexpr char kPathPrefix[] = "usblp://";

struct InterfaceSnapshot {
  std::vector<std::string> paths;
};

static std::string Attribute(udev_device* device, const char* name) {
  const char* value = device != nullptr ? udev_device_get_sysattr_value(device, name) : nullptr;
  return value != nullptr ? value : "";
}

// The set is taken once, as the platform's interface set is: member indices
// stay stable while the pass walks them, whatever arrives meanwhile.
UsbInterfaceSet UsbOpenInterfaceSet(uint32_t* error) {
  udev* context = udev_new();
  if (context == nullptr) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (enumerate == nullptr || udev_enumerate_add_match_subsystem(enumerate, "usbmisc") < 0 ||
      udev_enumerate_add_match_sysname(enumerate, "lp*") < 0 || udev_enumerate_scan_devices(enumerate) < 0) {
    *error = static_cast<uint32_t>(errno);
    if (enumerate != nullptr) udev_enumerate_unref(enumerate);
    udev_unref(context);
    return nullptr;
  }
  auto* snapshot = new InterfaceSnapshot;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* node = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
    if (node == nullptr) continue;
    const char* devnode = udev_device_get_devnode(node);
    udev_device* usbInterface = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_interface");
    udev_device* usbDevice = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device");
    // A node without a USB parent or a device file isn't an interface a
    // reader could use (its file goes first when the printer is pulled);
    // it is left out as the platform leaves out interfaces not present.
    if (devnode != nullptr && access(devnode, F_OK) == 0 && usbInterface != nullptr && usbDevice != nullptr) {
      snapshot->paths.push_back(std::string(kPathPrefix) + "vid_" + Attribute(usbDevice, "idVendor") + "&pid_" +
                                Attribute(usbDevice, "idProduct") + "&mi_" +
                                Attribute(usbInterface, "bInterfaceNumber") + devnode);
    }
    udev_device_unref(node);
  }
  udev_enumerate_unref(enumerate);
  udev_unref(context);
  return snapshot;
}

UsbInterfaceResult UsbInterfacePath(UsbInterfaceSet set, uint32_t index, std::string* path, uint32_t* error) {
  const auto* snapshot = static_cast<const InterfaceSnapshot*>(set);
  if (index >= snapshot->paths.size()) {
    *error = 259;  // ERROR_NO_MORE_ITEMS
    return UsbInterfaceNone;
  }
  *path = snapshot->paths[index];
  return UsbInterfaceFound;
}

void UsbCloseInterfaceSet(UsbInterfaceSet set) { delete static_cast<InterfaceSnapshot*>(set); }

// The node is what follows the identity: the first '/' after the prefix.
static std::string NodeOf(const char* path) {
  std::string text = path;
  if (text.compare(0, sizeof kPathPrefix - 1, kPathPrefix) != 0) return "";
  size_t slash = text.find('/', sizeof kPathPrefix - 1);
  return slash == std::string::npos ? "" : text.substr(slash);
}

UsbPort UsbOpenPort(const char* path, uint32_t* error) {
  std::string node = NodeOf(path);
  if (node.empty()) {
    *error = kErrorInvalidName;
    return nullptr;
  }
  // Not blocking, so that the read below can be bounded by poll; never the
  // controlling terminal, whatever kind of node it turns out to be.
  int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = static_cast<uint32_t>(errno);
    return nullptr;
  }
  return new int(fd);
}

UsbReadResult UsbReadPort(UsbPort port, unsigned char* buffer, uint32_t capacity, uint32_t timeoutMs,
                          uint32_t* count, uint32_t* error) {
  int fd = *static_cast<int*>(port);
  *count = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait = {fd, POLLIN, 0};
    int ready = poll(&wait, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      *error = static_cast<uint32_t>(errno);
      return UsbReadFailed;
    }
    if (ready == 0) {
      *error = kErrorTimeout;
      return UsbReadTimedOut;
    }
    // Readable, hung up or failed: the read itself tells which.
    ssize_t got = read(fd, buffer, capacity);
    if (got >= 0) {
      *count = static_cast<uint32_t>(got);
      *error = 0;
      return UsbReadDone;
    }
    if (errno == EINTR || errno == EAGAIN) {
      if (std::chrono::steady_clock::now() >= deadline) {
        *error = kErrorTimeout;
        return UsbReadTimedOut;
      }
      // A wake-up without data: don't spin on a node that keeps signalling.
      if (errno == EAGAIN) usleep(10 * 1000);
      continue;
    }
    *error = static_cast<uint32_t>(errno);
    return UsbReadFailed;
  }
}

void UsbClosePort(UsbPort port) {
  if (port == nullptr) return;
  close(*static_cast<int*>(port));
  delete static_cast<int*>(port);
}
