#pragma once
// Default flags of the benchmarks that print ratios: several repetitions, interleaved at random so
// that a change in the machine's load touches every row alike, and only their summaries in the
// table. A flag given on the command line wins over the default of the same name.

#include <cstring>
#include <initializer_list>
#include <vector>

namespace benchargs {

// argv with the defaults added before the caller's own flags; the strings live as long as argv.
inline std::vector<char*> withDefaults(int argc, char** argv, std::initializer_list<const char*> defaults) {
    std::vector<char*> out{argv[0]};
    for (const char* flag : defaults) {
        const char* end = std::strchr(flag, '=');
        const size_t nameLength = end ? static_cast<size_t>(end - flag) + 1 : std::strlen(flag);
        bool given = false;
        for (int i = 1; i < argc; ++i) given = given || std::strncmp(argv[i], flag, nameLength) == 0;
        if (!given) out.push_back(const_cast<char*>(flag));
    }
    for (int i = 1; i < argc; ++i) out.push_back(argv[i]);
    out.push_back(nullptr);
    return out;
}

}  // namespace benchargs
