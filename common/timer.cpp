#include "common/timer.h"

#include <sys/time.h>
#include <time.h>

uint64_t clock_monotonic_sec;
uint64_t clock_monotonic_usec;
int64_t clock_offset_sec;
int64_t clock_offset_usec;

void clock_refresh_offset()
{
    struct timespec mono, real;
    if (clock_gettime(CLOCK_MONOTONIC_RAW, &mono) == 0 && clock_gettime(CLOCK_REALTIME, &real) == 0) {
        clock_monotonic_sec = static_cast<uint64_t>(mono.tv_sec);
        clock_monotonic_usec = static_cast<uint64_t>(mono.tv_nsec / 1000);
        clock_offset_sec = static_cast<int64_t>(real.tv_sec) - mono.tv_sec;
        clock_offset_usec = real.tv_nsec / 1000 - mono.tv_nsec / 1000;
        if (clock_offset_usec < 0) {
            clock_offset_usec += 1000000;
            clock_offset_sec -= 1;
        }
        return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    clock_monotonic_sec = static_cast<uint64_t>(tv.tv_sec);
    clock_monotonic_usec = static_cast<uint64_t>(tv.tv_usec);
    clock_offset_sec = 0;
    clock_offset_usec = 0;
}

// The wheel itself follows.
