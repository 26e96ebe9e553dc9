#include "platform/Fatal.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void fatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace platform
