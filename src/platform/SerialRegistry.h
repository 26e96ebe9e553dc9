#pragma once
// The machine's serial device registry: which serial devices exist now, what the registry knows
// about one of them, and a watch that reports devices as they appear and disappear.
// The system's registry is libudev's (SerialRegistryUdev.cpp); tests install FakeSerialRegistry (platform/testing).

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Property names of a serial device, as the serial code reads them.
inline constexpr const char* kSerialTtyDeviceKey = "IOTTYDevice";       // the TTY name
inline constexpr const char* kSerialCalloutDeviceKey = "IOCalloutDevice";  // the device node path
inline constexpr const char* kSerialClientTypeKey = "IOSerialBSDClientType";
// The serial type given to every terminal line the registry reports.
inline constexpr const char* kSerialRS232Type = "IORS232SerialStream";

// One registry entry. A property the registry does not have is absent.
struct SerialDevice {
    std::optional<std::string> name;  // TTY name, such as "ttyUSB0"
    std::optional<std::string> path;  // device node, such as "/dev/ttyUSB0"
    std::optional<std::string> type;  // serial type
};

class SerialRegistry {
public:
    using Handler = std::function<void(const std::vector<SerialDevice>&)>;

    // Keeps a watch running; destroying it stops the reports.
    class Watch {
    public:
        virtual ~Watch();
    };

    virtual ~SerialRegistry();

    // Every serial device present now, in registry order.
    virtual std::vector<SerialDevice> enumerate() = 0;
    // Every property the registry holds for the device with that TTY name; nullopt when none.
    virtual std::optional<std::map<std::string, std::string>> details(const std::string& ttyName) = 0;
    // Reports arrivals and removals, one batch per registry event, through
    // MainExecutor::current().post: the handlers run on the main thread.
    virtual std::unique_ptr<Watch> watch(Handler added, Handler removed) = 0;

    // The registry in use: the one installed with setShared, else the system's, made on first use.
    static SerialRegistry& shared();
    // Installs a registry for the rest of the run (tests); null returns to the system's.
    static void setShared(SerialRegistry* registry);
};

}  // namespace platform
