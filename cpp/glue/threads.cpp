#include "glue/threads.hpp"

#include "core/parallel.hpp"
#include "glue/glue.hpp"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace glue {

unsigned default_threads() {
    if (const char *env = std::getenv("ORVANE_NUM_THREADS"); env && *env) {
        char *stop = nullptr;
        const long n = std::strtol(env, &stop, 10);
        if (*stop != '\0' || n < 1)
            raise(PyExc_ValueError, std::string("ORVANE_NUM_THREADS must be a positive whole number, not '") + env + "'");
        return static_cast<unsigned>(std::min(n, kMaxThreads));
    }
    return static_cast<unsigned>(std::min<long>(orvane::core::available_cores(), kMaxThreads));
}

}  // namespace glue
