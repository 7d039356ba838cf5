// Millisecond timers on a hierarchical timing wheel, and the process-wide
// cached clock that every module reads for time stamps.
#pragma once

#include <bit>
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

// The current CLOCK_MONOTONIC time, read now rather than cached: for bounded waits
// that run outside the event loop.
int64_t monotonic_ms();

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
    uint8_t flags; // TIMER_PENDING, TIMER_MARK
};

enum : uint8_t {
    TIMER_PENDING = 0x80,
    TIMER_MARK = 0x40, // one of its upper-level slot's marks
};

inline bool timer_ispending(const timer *t)
{
    return t->flags & TIMER_PENDING;
}

// Timers of an upper-level slot, spread along its list in list order, so that
// a cascade can bring the list into the cache from several places at once:
// one chain of cache misses per mark instead of one for the whole list.
enum { TIMETABLE_MARKS = 8 };
struct timetable_marks {
    uint32_t appended;    // armed into the slot since it was last emptied
    uint8_t n;            // marks in use
    uint8_t spacing_log2; // a mark every 2^spacing_log2 arms
    timer *at[TIMETABLE_MARKS];
};

// One hierarchical wheel: 256 one-millisecond slots, then four levels of 64
// slots each 64 times coarser. Single-threaded. The layout is here only so
// that arming and cancelling inline; use the functions.
struct timetable {
    list_link slots[512];   // 0-255 one per ms, then levels 1-4 of 64 slots each
    uint64_t occupied[8];   // bit s set exactly when slot s holds a timer
    uint16_t cursor[5];
    int pending;
    uint32_t now;
    uint32_t base; // slot numbers count from here
    uint32_t last; // now at the last manage; the cursors stand here
    timetable_marks marks[256]; // of slots 256-511
};

// Out of line: the rare steps of keeping marks.
void timetable_mark_add(timetable_marks *m, timer *t);
void timetable_mark_drop(timetable_marks *m, timer *t, list_link *next, list_link *head);

// now, base and last start at the given time; null when memory runs out.
timetable *timetable_create(uint32_t now);
// Armed timers are left idle (their owners must still exist); null is accepted.
void timetable_destroy(timetable *tt);

// Puts an idle timer `ahead` ms past the cursors. The level follows the size of
// the delay, so a slot is always 1 to 64 of its level's steps ahead of the cursor.
inline void timetable_place(timetable *tt, timer *t, uint32_t ahead)
{
    // By bit length of the delay: levels 1-4 start at slots 256, 320, 384 and
    // 448, their slots spanning 2^8, 2^14, 2^20 and 2^26 ms.
    static constexpr uint8_t shift_of_width[33] = {
        0,  0,  0,  0,  0,  0,  0,  0,  0,  8,  8,  8,  8,  8,  8,  14, 14,
        14, 14, 14, 14, 20, 20, 20, 20, 20, 20, 26, 26, 26, 26, 26, 26,
    };
    static constexpr uint16_t first_of_width[33] = {
        0,   0,   0,   0,   0,   0,   0,   0,   0,   256, 256, 256, 256, 256, 256, 320, 320,
        320, 320, 320, 320, 384, 384, 384, 384, 384, 384, 448, 448, 448, 448, 448, 448,
    };
    uint32_t r = tt->last - tt->base + ahead;
    unsigned slot;
    if (ahead < 256) {
        slot = r % 256;
    } else {
        unsigned width = static_cast<unsigned>(std::bit_width(ahead));
        slot = first_of_width[width] + ((r >> shift_of_width[width]) % 64);
    }
    t->_expires = tt->last + ahead;
    t->slot = static_cast<uint16_t>(slot);
    t->flags = TIMER_PENDING;
    list_append(&tt->slots[slot], &t->link);
    tt->occupied[slot / 64] |= uint64_t{1} << (slot % 64);
    tt->pending++;
    if (slot >= 256) {
        timetable_marks *m = &tt->marks[slot - 256];
        if ((++m->appended & ((uint32_t{1} << m->spacing_log2) - 1)) == 0)
            timetable_mark_add(m, t);
    }
}

// Arms an idle timer to expire delay ms after the timetable's current time.
inline void timetable_schedule(timetable *tt, timer *timer, uint32_t delay, timer_fn callback)
{
    UGW_ASSERT(!timer_ispending(timer));
    // Slots count from the cursors, which stand at the last manage: a clock set
    // ahead since then must not land the timer in a slot the next manage passes
    // before its time. A clock set back only makes it late.
    uint32_t lead = static_cast<int32_t>(tt->now - tt->last) > 0 ? tt->now - tt->last : 0;
    uint32_t ahead = delay > UINT32_MAX - lead ? UINT32_MAX : lead + delay;
    timer->callback = callback;
    timetable_place(tt, timer, ahead);
}

// Disarms; an idle timer is left alone.
inline void timetable_cancel(timetable *tt, timer *timer)
{
    if (!timer_ispending(timer))
        return;
    list_link *link = &timer->link;
    UGW_ASSERT(!list_isnull(link));
    // It may sit on the run list of a manage in progress instead; its old slot
    // then keeps whatever was armed there since.
    list_link *next = list_next(link);
    list_remove(link);
    list_link *slot = &tt->slots[timer->slot];
    if (list_isempty(slot))
        tt->occupied[timer->slot / 64] &= ~(uint64_t{1} << (timer->slot % 64));
    if (timer->flags & TIMER_MARK)
        timetable_mark_drop(&tt->marks[timer->slot - 256], timer, next, slot);
    timer->flags = 0;
    tt->pending--;
}

inline void timetable_set_now(timetable *tt, uint32_t now)
{
    tt->now = now;
}

inline uint32_t timetable_now(const timetable *tt)
{
    return tt->now;
}

// Runs every timer that has come due; returns how many callbacks ran.
int timetable_manage(timetable *tt);
// Milliseconds from the last manage until the next one is needed: 0 when a
// timer is due, UINT32_MAX when none is armed. Never later than the earliest
// expiry, so a manage at every next timeout fires each timer at its millisecond.
uint32_t timetable_next_timeout(const timetable *tt);

inline int timetable_pending(const timetable *tt)
{
    return tt->pending;
}
