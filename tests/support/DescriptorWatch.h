#pragma once
// The descriptors a test opened and left open. A count of the process's descriptors taken before
// and after would also count what other work of the process opens or closes meanwhile (a socket
// of an earlier test still being closed on its queue, a name look-up's file), so a watch compares
// the open descriptors by what they refer to: one open after the watch began that was not open
// then, under that number and on that object, was opened inside the span.

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

namespace testsupport {

class DescriptorWatch {
public:
    DescriptorWatch() : before_(open()) {}

    // Each descriptor opened since the watch began and still open, as "number -> object".
    std::set<std::string> opened() const {
        std::set<std::string> out;
        for (const std::string& d : open())
            if (!before_.count(d)) out.insert(d);
        return out;
    }

    // Every open descriptor as "number -> object": a socket's object names its inode, so a number
    // closed and taken again by a new socket reads differently.
    static std::set<std::string> open() {
        std::set<std::string> out;
        DIR* dir = ::opendir("/proc/self/fd");
        if (!dir) return out;
        const int own = ::dirfd(dir);
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            const int number = std::atoi(entry->d_name);
            if (number == own) continue;
            char target[512];
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
            if (n < 0) continue;  // closed while we looked
            out.insert(std::string(entry->d_name) + " -> " + std::string(target, static_cast<size_t>(n)));
        }
        ::closedir(dir);
        return out;
    }

    // For failure messages.
    static std::string describe(const std::set<std::string>& descriptors) {
        std::string text;
        for (const std::string& d : descriptors) text += (text.empty() ? "" : ", ") + d;
        return text.empty() ? "none" : text;
    }

private:
    std::set<std::string> before_;
};

}  // namespace testsupport
