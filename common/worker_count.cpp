#include "worker_count.h"

#include <cstdlib>
#include <thread>

const unsigned MAX_WORKERS = 64;

unsigned workers_wanted()
{
    const char* value = getenv("TIFFSUITE_THREADS");
    if (value != nullptr && *value != '\0') {
        char* end;
        long n = strtol(value, &end, 10);
        if (*end == '\0' && n >= 1)
            return n < (long)MAX_WORKERS ? (unsigned)n : MAX_WORKERS;
    }
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n < MAX_WORKERS ? n : MAX_WORKERS;
}
