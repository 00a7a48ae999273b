#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/clock.hpp"
#include "platform/usb_slots.hpp"
#include "posix_support.hpp"
#include "platform/portable/usb_pin.hpp"
#include "posix_usb_location.hpp"

namespace platform {
namespace posix {
namespace {

std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

}  // namespace

std::string UsbDeviceFolderOf(const std::string& class_entry) {
  const std::string sys = Resolved(DeviceRoot() + "/sys");
  std::string at = Resolved(class_entry);
  if (sys.empty() || at.empty()) return "";
  // The nearest USB device folder above the entry: hubs above it have the same shape, but the
  // device's own folder comes first on the way up.
  while (at.size() > sys.size() && at.compare(0, sys.size(), sys) == 0 && at[sys.size()] == '/') {
    const size_t slash = at.find_last_of('/');
    if (portable::IsUsbDeviceName(at.substr(slash + 1))) return at;
    at.erase(slash);
  }
  return "";
}

std::string UsbLocationOf(const std::string& class_entry) {
  const std::string folder = UsbDeviceFolderOf(class_entry);
  return folder.empty() ? folder : folder.substr(folder.find_last_of('/') + 1);
}

bool VisibleTo(const UsbPin& pin, const std::string& class_entry) {
  switch (pin.state) {
    case UsbPin::State::kUnpinned:
      return true;
    case UsbPin::State::kPinned:
      return UsbLocationOf(class_entry) == pin.location;
    case UsbPin::State::kRefused:
      break;
  }
  return false;
}

}  // namespace posix

UsbPin ReadUsbPin() {
  const char* pin = std::getenv("DIAG_USB_LOCATION");
  return portable::PinFromLinuxText(pin != nullptr, pin != nullptr ? pin : "");
}
namespace {

// Calls `seen` with the USB device folder of each entry of `folder` whose name starts with
// `prefix` and that sits on a USB device, until it returns true.
template <typename Seen>
void ForEachUsbDeviceOf(const std::string& folder, const std::string& prefix, Seen seen) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string device = posix::UsbDeviceFolderOf(folder + "/" + name);
    if (!device.empty() && seen(device)) break;
  }
  closedir(dir);
}

std::string LocationOfFolder(const std::string& device) {
  return device.substr(device.find_last_of('/') + 1);
}

// The USB device folder of the first entry of `folder` at the location; "" when none is there.
std::string FolderOfEntryAt(const std::string& folder, const std::string& prefix,
                            const std::string& location) {
  std::string found;
  ForEachUsbDeviceOf(folder, prefix, [&](const std::string& device) {
    if (LocationOfFolder(device) == location) found = device;
    return !found.empty();
  });
  return found;
}

}  // namespace

namespace posix {

// A tty or a CD-ROM at the location counts, linked as a COM port or not: the slot is taken.
std::string UsbDeviceFolderAt(const std::string& location) {
  const std::string sys = DeviceRoot() + "/sys/class";
  std::string folder = FolderOfEntryAt(sys + "/tty", "tty", location);
  if (folder.empty()) folder = FolderOfEntryAt(sys + "/block", "sr", location);
  return folder;
}

}  // namespace posix

std::vector<SlotSight> LookAtUsbLocations(const std::vector<std::string>& locations) {
  std::vector<SlotSight> sights(locations.size());
  std::vector<std::string> folders(locations.size());
  const std::string sys = posix::DeviceRoot() + "/sys/class";
  // Each entry of the class folder is resolved once, for every slot at its location.
  auto walk = [&](const std::string& folder, const std::string& prefix, bool port) {
    ForEachUsbDeviceOf(folder, prefix, [&](const std::string& device) {
      const std::string location = LocationOfFolder(device);
      for (size_t i = 0; i < locations.size(); ++i) {
        if (locations[i] != location) continue;
        sights[i].device = true;
        sights[i].port = sights[i].port || port;
        folders[i] = device;
      }
      return false;
    });
  };
  walk(sys + "/tty", "tty", true);
  walk(sys + "/block", "sr", false);
  for (size_t i = 0; i < locations.size(); ++i) {
    if (sights[i].port) sights[i].serial = posix::SerialOfUsbDeviceFolder(folders[i]);
  }
  return sights;
}

bool UsbLocationWellFormed(const std::string& location, std::string* form) {
  *form = "bus-port[.port...], for example 1-2.3";
  return portable::PinFromLinuxText(true, location).state == UsbPin::State::kPinned;
}

namespace {

// The folders where a port or a CD-ROM shows its device node or link when it comes (the kernel's
// or udev's), outermost first: a folder that is not there yet is watched once the one above it
// reports it made. sysfs reports nothing, so the device folders there are not watched.
class InotifyDeviceChanges final : public DeviceChanges {
 public:
  explicit InotifyDeviceChanges(int fd) : fd_(fd) {
    const std::string root = posix::DeviceRoot();
    folders_ = {root.empty() ? "/" : root, root + "/dev", root + "/dev/serial",
                root + "/dev/serial/com"};
    Watch();
  }
  ~InotifyDeviceChanges() override { ::close(fd_); }

  bool Wait(Clock& clock, uint32_t ms) override {
    bool changed = false;
    clock.Wait(ms, [&](uint32_t real_ms) {
      pollfd watch{fd_, POLLIN, 0};
      const int n = poll(&watch, 1, real_ms > INT_MAX ? -1 : static_cast<int>(real_ms));
      // A signal (a stop request) ends the wait as a change would: the caller looks at once.
      changed = n > 0 || (n < 0 && errno == EINTR);
      return changed;
    });
    if (!changed) return false;
    alignas(inotify_event) char events[4096];
    while (::read(fd_, events, sizeof events) > 0) {
    }
    Watch();
    return true;
  }

 private:
  // Adding a folder watched already changes nothing. One not made yet is watched through the
  // nearest folder above it that is there, so that its making is seen (the device root itself
  // may come after the station).
  void Watch() {
    constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;
    for (std::string folder : folders_) {
      while (inotify_add_watch(fd_, folder.c_str(), kEvents) < 0 && errno == ENOENT) {
        const size_t slash = folder.find_last_of('/');
        if (slash == std::string::npos) break;
        folder.erase(slash == 0 ? 1 : slash);
      }
    }
  }

  const int fd_;
  std::vector<std::string> folders_;
};

}  // namespace

std::unique_ptr<DeviceChanges> FollowDeviceChanges() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::make_unique<InotifyDeviceChanges>(fd);
}

}  // namespace platform
