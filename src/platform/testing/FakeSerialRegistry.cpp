#include "platform/testing/FakeSerialRegistry.h"

#include "platform/MainExecutor.h"

#include <algorithm>

namespace platform {

struct FakeSerialRegistry::Shared {
    struct Registration {
        Handler added;
        Handler removed;
    };
    mutable std::mutex mutex;
    std::vector<SerialDevice> devices;
    std::map<std::string, std::map<std::string, std::string>> details;
    std::map<uint64_t, Registration> watches;
    uint64_t nextWatch = 1;
};

class FakeSerialRegistry::FakeWatch : public SerialRegistry::Watch {
public:
    FakeWatch(std::shared_ptr<Shared> shared, uint64_t id) : shared_(std::move(shared)), id_(id) {}
    ~FakeWatch() override {
        std::lock_guard lock(shared_->mutex);
        shared_->watches.erase(id_);
    }

private:
    std::shared_ptr<Shared> shared_;
    uint64_t id_;
};

FakeSerialRegistry::FakeSerialRegistry() : shared_(std::make_shared<Shared>()) {}
FakeSerialRegistry::~FakeSerialRegistry() = default;

std::vector<SerialDevice> FakeSerialRegistry::enumerate() {
    std::lock_guard lock(shared_->mutex);
    return shared_->devices;
}

std::optional<std::map<std::string, std::string>> FakeSerialRegistry::details(const std::string& ttyName) {
    std::lock_guard lock(shared_->mutex);
    auto it = shared_->details.find(ttyName);
    if (it == shared_->details.end()) return std::nullopt;
    return it->second;
}

std::unique_ptr<SerialRegistry::Watch> FakeSerialRegistry::watch(Handler added, Handler removed) {
    std::lock_guard lock(shared_->mutex);
    uint64_t id = shared_->nextWatch++;
    shared_->watches[id] = Shared::Registration{std::move(added), std::move(removed)};
    return std::make_unique<FakeWatch>(shared_, id);
}

void FakeSerialRegistry::setDevices(std::vector<SerialDevice> devices) {
    std::lock_guard lock(shared_->mutex);
    shared_->devices = std::move(devices);
}

void FakeSerialRegistry::setDetails(const std::string& ttyName, std::map<std::string, std::string> properties) {
    std::lock_guard lock(shared_->mutex);
    shared_->details[ttyName] = std::move(properties);
}

void FakeSerialRegistry::plug(std::vector<SerialDevice> devices) {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->devices.insert(shared_->devices.end(), devices.begin(), devices.end());
    }
    report(true, devices);
}

void FakeSerialRegistry::unplug(std::vector<SerialDevice> devices) {
    {
        std::lock_guard lock(shared_->mutex);
        for (const auto& gone : devices) {
            std::erase_if(shared_->devices, [&](const SerialDevice& d) { return d.path == gone.path; });
        }
    }
    report(false, devices);
}

size_t FakeSerialRegistry::watchCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->watches.size();
}

void FakeSerialRegistry::report(bool added, const std::vector<SerialDevice>& devices) {
    std::vector<Handler> handlers;
    {
        std::lock_guard lock(shared_->mutex);
        for (const auto& [id, registration] : shared_->watches) {
            handlers.push_back(added ? registration.added : registration.removed);
        }
    }
    for (auto& handler : handlers) {
        if (handler) MainExecutor::current().post([handler, devices] { handler(devices); });
    }
}

}  // namespace platform
