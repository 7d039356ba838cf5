// Millisecond timers on a hierarchical timing wheel, and the process-wide
// cached clock that every module reads for time stamps.
#pragma once

#include <cstdint>

#include "common/list.h"

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
// Zero-filled means idle.
struct timer {
    list_link link;    // in its slot, or on the run list of a manage in progress
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

// One hierarchical wheel: 256 one-millisecond slots, then four levels of 64
// slots each 64 times coarser. Single-threaded.
struct timetable;

// now, base and last start at the given time; null when memory runs out.
timetable *timetable_create(uint32_t now);
// Armed timers are left as they are; null is accepted.
void timetable_destroy(timetable *tt);
// Arms an idle timer to expire delay ms after the timetable's current time.
void timetable_schedule(timetable *tt, timer *t, uint32_t delay, timer_fn callback);
// Disarms; an idle timer is left alone.
void timetable_cancel(timetable *tt, timer *t);
void timetable_set_now(timetable *tt, uint32_t now);
uint32_t timetable_now(const timetable *tt);
// Runs every timer that has come due; returns how many callbacks ran.
int timetable_manage(timetable *tt);
// Milliseconds from the last manage until the next one is needed: 0 when a
// timer is due, UINT32_MAX when none is armed. Never later than the earliest
// expiry, so a manage at every next timeout fires each timer at its millisecond.
uint32_t timetable_next_timeout(const timetable *tt);
int timetable_pending(const timetable *tt);
