#include "platform/SerialRegistry.h"

#include <atomic>
#include <mutex>

namespace platform {

// Made in SerialRegistryUdev.cpp: the only file that knows how devices are found.
std::unique_ptr<SerialRegistry> makeSystemSerialRegistry();

namespace {
std::atomic<SerialRegistry*> g_installed{nullptr};
}

SerialRegistry::Watch::~Watch() = default;
SerialRegistry::~SerialRegistry() = default;

SerialRegistry& SerialRegistry::shared() {
    if (SerialRegistry* installed = g_installed.load()) return *installed;
    // Made once and kept for the run: its watch may outlive every other object.
    static SerialRegistry* const system = makeSystemSerialRegistry().release();
    return *system;
}

void SerialRegistry::setShared(SerialRegistry* registry) { g_installed = registry; }

}  // namespace platform
