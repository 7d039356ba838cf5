// Millisecond timers on a hierarchical timing wheel, and the process-wide
// cached clock that every module reads for time stamps.
#pragma once

#include <cstdint>

// Cached clock: CLOCK_MONOTONIC_RAW, and the offset that turns it into wall-clock time.
extern uint64_t clock_monotonic_sec;
extern uint64_t clock_monotonic_usec;
extern int64_t clock_offset_sec;
extern int64_t clock_offset_usec; // 0..999999

void clock_refresh_offset();

// False until the clock was refreshed once.
inline bool clock_cached_valid()
{
    return clock_monotonic_sec | clock_monotonic_usec | clock_offset_sec | clock_offset_usec;
}

// The cached millisecond time (wraps after about 49.7 days).
inline uint32_t clock_msec()
{
    if (!clock_cached_valid())
        clock_refresh_offset();
    return static_cast<uint32_t>(clock_monotonic_sec * 1000 + clock_monotonic_usec / 1000);
}

// The cached time in whole seconds, as records keep it.
inline uint32_t clock_sec()
{
    if (!clock_cached_valid())
        clock_refresh_offset();
    return static_cast<uint32_t>(clock_monotonic_sec);
}

struct timer;
using timer_fn = void (*)(timer *);

// Embedded in its owner; the owner finds itself from the timer's address.
struct timer {
    timer *_next;
    timer *_prev;
    timer_fn callback;
    uint32_t _expires; // absolute, on the timetable's clock; compared wrap-safely
    uint16_t slot;
    uint8_t flags; // TIMER_PENDING
};

enum : uint8_t { TIMER_PENDING = 0x80 };

inline bool timer_ispending(const timer *t)
{
    return t->flags & TIMER_PENDING;
}

struct timetable;

timetable *timetable_create(uint32_t now);
void timetable_destroy(timetable *tt);
void timetable_schedule(timetable *tt, timer *t, uint32_t delay, timer_fn callback);
void timetable_cancel(timetable *tt, timer *t);
void timetable_set_now(timetable *tt, uint32_t now);
uint32_t timetable_now(const timetable *tt);
int timetable_manage(timetable *tt);
uint32_t timetable_next_timeout(const timetable *tt);
int timetable_pending(const timetable *tt);
