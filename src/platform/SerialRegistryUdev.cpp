// The serial registry on libudev: terminal lines of the "tty" subsystem, watched through a udev
// monitor (the udev daemon's events, or the kernel's own when no daemon runs).

#include "platform/MainExecutor.h"
#include "platform/SerialRegistry.h"
#include "platform/SerialRegistryWatchLoop.h"
#include "platform/Trace.h"

#include <libudev.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kSubsystem = "tty";

// Virtual consoles ("tty", "tty0".."tty63", "console") and the pseudo-terminal multiplexer are
// terminals of the machine, not serial lines.
bool isVirtualTerminal(const std::string& sysname) {
    if (sysname == "tty" || sysname == "console" || sysname == "ptmx") return true;
    if (sysname.size() <= 3 || sysname.compare(0, 3, "tty") != 0) return false;
    for (size_t i = 3; i < sysname.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(sysname[i]))) return false;
    }
    return true;
}

// The entry for a udev device, or nullopt when it is not a serial line.
std::optional<SerialDevice> serialDeviceOf(udev_device* device) {
    const char* sysname = udev_device_get_sysname(device);
    const char* devnode = udev_device_get_devnode(device);
    if (!sysname || !devnode || isVirtualTerminal(sysname)) return std::nullopt;
    return SerialDevice{std::string(sysname), std::string(devnode), std::string(kSerialRS232Type)};
}

// A monitor on its own udev context: the context is not thread-safe, and the monitor is read
// on the watch thread while enumerations run on the caller's.
struct Monitor {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;

    Monitor() = default;
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor() {
        if (monitor) udev_monitor_unref(monitor);
        if (context) udev_unref(context);
    }

    // Listens to the udev daemon when one runs (its control socket exists), else to the kernel.
    // Null when neither source can be opened: the registry then only enumerates.
    static std::unique_ptr<Monitor> start() {
        auto m = std::make_unique<Monitor>();
        m->context = udev_new();
        if (!m->context) return nullptr;
        const bool daemon = access("/run/udev/control", F_OK) == 0;
        for (const char* source : {daemon ? "udev" : "kernel", "kernel"}) {
            udev_monitor* monitor = udev_monitor_new_from_netlink(m->context, source);
            if (!monitor) continue;
            if (udev_monitor_filter_add_match_subsystem_devtype(monitor, kSubsystem, nullptr) >= 0 &&
                udev_monitor_enable_receiving(monitor) >= 0) {
                m->monitor = monitor;
                return m;
            }
            udev_monitor_unref(monitor);
        }
        trace("serial registry: no device monitor, devices are listed but not watched");
        return nullptr;
    }
};

class UdevWatch : public SerialRegistry::Watch {
public:
    UdevWatch(std::unique_ptr<Monitor> monitor, SerialRegistry::Handler added, SerialRegistry::Handler removed)
        : monitor_(std::move(monitor)), added_(std::move(added)), removed_(std::move(removed)) {
        if (!monitor_ || pipe2(stopPipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        thread_ = std::thread([this] { run(); });
    }

    ~UdevWatch() override {
        if (thread_.joinable()) {
            char byte = 1;
            while (write(stopPipe_[1], &byte, 1) < 0 && errno == EINTR) {
            }
            thread_.join();
        }
        for (int fd : stopPipe_) {
            if (fd >= 0) ::close(fd);
        }
    }

private:
    void run() {
        pthread_setname_np(pthread_self(), "vs.udevWatch");
        runSerialWatchLoop(udev_monitor_get_fd(monitor_->monitor), stopPipe_[0], [this] { receive(); });
    }

    void receive() {
        udev_device* device = udev_monitor_receive_device(monitor_->monitor);
        if (!device) return;
        const char* action = udev_device_get_action(device);
        const char* subsystem = udev_device_get_subsystem(device);
        std::optional<SerialDevice> entry;
        if (action && subsystem && std::string(subsystem) == kSubsystem) entry = serialDeviceOf(device);
        udev_device_unref(device);
        if (!entry) return;
        const std::string what(action);
        const SerialRegistry::Handler* handler = what == "add" ? &added_ : what == "remove" ? &removed_ : nullptr;
        if (!handler || !*handler) return;
        MainExecutor::postToCurrent([handler = *handler, batch = std::vector<SerialDevice>{*entry}] { handler(batch); });
    }

    std::unique_ptr<Monitor> monitor_;
    SerialRegistry::Handler added_;
    SerialRegistry::Handler removed_;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

class UdevSerialRegistry : public SerialRegistry {
public:
    // The monitor starts receiving before the first enumeration, so a device that arrives in
    // between is reported by the watch rather than missed.
    UdevSerialRegistry() : pending_(Monitor::start()), context_(udev_new()) {}

    ~UdevSerialRegistry() override {
        if (context_) udev_unref(context_);
    }

    std::vector<SerialDevice> enumerate() override {
        std::vector<SerialDevice> devices;
        std::lock_guard lock(mutex_);
        if (!context_) return devices;
        udev_enumerate* enumeration = udev_enumerate_new(context_);
        if (!enumeration) return devices;
        if (udev_enumerate_add_match_subsystem(enumeration, kSubsystem) >= 0 &&
            udev_enumerate_scan_devices(enumeration) >= 0) {
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration)) {
                const char* syspath = udev_list_entry_get_name(entry);
                // The last component of the path is the device's name: the machine's many virtual
                // consoles are passed over without asking udev about each one.
                const char* slash = syspath ? std::strrchr(syspath, '/') : nullptr;
                if (slash && isVirtualTerminal(slash + 1)) continue;
                udev_device* device = udev_device_new_from_syspath(context_, syspath);
                if (!device) continue;
                if (auto serial = serialDeviceOf(device)) devices.push_back(std::move(*serial));
                udev_device_unref(device);
            }
        }
        udev_enumerate_unref(enumeration);
        return devices;
    }

    std::optional<std::map<std::string, std::string>> details(const std::string& ttyName) override {
        std::lock_guard lock(mutex_);
        if (!context_ || ttyName.empty()) return std::nullopt;
        udev_device* device = udev_device_new_from_subsystem_sysname(context_, kSubsystem, ttyName.c_str());
        if (!device) return std::nullopt;
        std::map<std::string, std::string> properties;
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
            const char* value = udev_list_entry_get_value(entry);
            properties[udev_list_entry_get_name(entry)] = value ? value : "";
        }
        if (auto serial = serialDeviceOf(device)) {
            properties[kSerialTtyDeviceKey] = *serial->name;
            properties[kSerialCalloutDeviceKey] = *serial->path;
            properties[kSerialClientTypeKey] = *serial->type;
        }
        udev_device_unref(device);
        return properties;
    }

    std::unique_ptr<Watch> watch(Handler added, Handler removed) override {
        std::unique_ptr<Monitor> monitor;
        {
            std::lock_guard lock(mutex_);
            monitor = pending_ ? std::move(pending_) : Monitor::start();
        }
        return std::make_unique<UdevWatch>(std::move(monitor), std::move(added), std::move(removed));
    }

private:
    std::mutex mutex_;
    std::unique_ptr<Monitor> pending_;  // started at construction, handed to the first watch
    udev* context_;
};

}  // namespace

std::unique_ptr<SerialRegistry> makeSystemSerialRegistry() { return std::make_unique<UdevSerialRegistry>(); }

}  // namespace platform
