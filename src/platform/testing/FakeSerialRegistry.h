#pragma once
// A serial registry for tests: its devices are set by the test, and plugging or unplugging one
// reports it to the watches the way the system's registry does (posted to the main executor).

#include "platform/SerialRegistry.h"

#include <mutex>

namespace platform {

class FakeSerialRegistry : public SerialRegistry {
public:
    FakeSerialRegistry();
    ~FakeSerialRegistry() override;

    std::vector<SerialDevice> enumerate() override;
    std::optional<std::map<std::string, std::string>> details(const std::string& ttyName) override;
    std::unique_ptr<Watch> watch(Handler added, Handler removed) override;

    // Replaces the present devices without reporting anything.
    void setDevices(std::vector<SerialDevice> devices);
    // The properties that details() answers for a TTY name.
    void setDetails(const std::string& ttyName, std::map<std::string, std::string> properties);

    // Adds the devices to the present ones and reports them as one arrival batch.
    void plug(std::vector<SerialDevice> devices);
    // Removes the present devices with the same paths and reports the batch as one removal.
    void unplug(std::vector<SerialDevice> devices);

    size_t watchCount() const;

private:
    struct Shared;
    class FakeWatch;
    void report(bool added, const std::vector<SerialDevice>& devices);

    std::shared_ptr<Shared> shared_;
};

}  // namespace platform
