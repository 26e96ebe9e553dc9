#include "platform/Resources.h"

#include <filesystem>
#include <mutex>
#include <system_error>

namespace platform {

namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

std::string resourcesFolder() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty()) return g_override;
    }
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        auto installed = exe.parent_path() / ".." / "share" / "varnel";
        if (std::filesystem::is_directory(installed, ec)) return std::filesystem::weakly_canonical(installed).string();
    }
    return VARNEL_SOURCE_RESOURCES;
}

void setResourcesFolder(const std::string& path) {
    std::lock_guard lock(g_mutex);
    g_override = path;
}

}  // namespace platform
