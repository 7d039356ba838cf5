// Millisecond timers on a hierarchical timing wheel, and the process-wide
// cached clock that every module reads for time stamps.
//
// Arming and cancelling are a list append or removal and one bit of the
// occupancy bitmap: constant time, nothing allocated. A manage takes the
// level-0 slots the cursor passed (one in the usual one-millisecond step)
// and, each time a level wraps, the next slot of the level above, whose
// timers are placed again by the time they have left: a timer moves down at
// most once per level. The sleep time is read from the bitmap, a few words a
// level. A wheel is 512 list heads and a 64-byte bitmap.
//
// Workload: up to 10^5 pending timers, most cancelled before they fire
// (retransmissions answered, sessions refreshed). Cascaded lists are walked
// once, in order, and nothing more: keeping marks along long upper-level
// slots and warming a cascaded list from several of them at once, or from
// both ends, was measured against this plain walk with bench/timer (10^5
// pending, one CPU, warm and cold caches) and the plain walk was 0 to 14%
// faster.
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
    uint8_t flags; // TIMER_PENDING
};

enum : uint8_t {
    TIMER_PENDING = 0x80,
};

inline bool timer_ispending(const timer *t)
{
    return t->flags & TIMER_PENDING;
}

// The wheel's geometry, from which every table and bound derives: level 0
// has 2^8 slots of one millisecond; each of the four levels above has 2^6
// slots, one of which spans the whole level below. Slots are numbered level
// after level: 0-255, then 256-319, 320-383, 384-447 and 448-511.
struct timer_level {
    unsigned first; // its first slot
    unsigned bits;  // 2^bits slots
    unsigned shift; // a slot spans 2^shift ms
};

inline constexpr unsigned TIMER_LEVELS = 5;
inline constexpr unsigned TIMER_LEVEL0_BITS = 8;
inline constexpr unsigned TIMER_LEVEL_BITS = 6;

constexpr timer_level timer_level_shape(unsigned level)
{
    if (level == 0)
        return {0, TIMER_LEVEL0_BITS, 0};
    return {(1u << TIMER_LEVEL0_BITS) + (level - 1) * (1u << TIMER_LEVEL_BITS), TIMER_LEVEL_BITS,
            TIMER_LEVEL0_BITS + (level - 1) * TIMER_LEVEL_BITS};
}

inline constexpr unsigned TIMER_LEVEL0_SLOTS = 1u << TIMER_LEVEL0_BITS;
inline constexpr unsigned TIMER_SLOTS =
    timer_level_shape(TIMER_LEVELS - 1).first + (1u << TIMER_LEVEL_BITS);
// Occupancy words: every level is whole words of them.
inline constexpr unsigned TIMER_WORD_BITS = 64;
static_assert(TIMER_SLOTS == 512 && timer_level_shape(4).shift == 26);
static_assert(TIMER_LEVEL0_SLOTS % TIMER_WORD_BITS == 0 &&
              (1u << TIMER_LEVEL_BITS) % TIMER_WORD_BITS == 0);

// The level of a delay of 2^(width-1) to 2^width - 1 ms: the lowest whose
// slots, counted from the cursor, reach past it; the top level takes the rest.
struct timer_placement {
    uint8_t shift[33];
    uint16_t first[33];
};

constexpr timer_placement timer_placement_table()
{
    timer_placement t{};
    for (unsigned width = 0; width <= 32; width++) {
        unsigned level = 0;
        while (level + 1 < TIMER_LEVELS &&
               width > timer_level_shape(level).shift + timer_level_shape(level).bits)
            level++;
        t.shift[width] = static_cast<uint8_t>(timer_level_shape(level).shift);
        t.first[width] = static_cast<uint16_t>(timer_level_shape(level).first);
    }
    return t;
}

inline constexpr timer_placement timer_placement_of_width = timer_placement_table();
static_assert(timer_placement_of_width.first[9] == 256 && timer_placement_of_width.first[14] == 256 &&
              timer_placement_of_width.first[15] == 320 && timer_placement_of_width.first[32] == 448);

// One hierarchical wheel of the geometry above. Single-threaded. The layout
// is here only so that arming and cancelling inline; use the functions.
struct timetable {
    list_link slots[TIMER_SLOTS];
    uint64_t occupied[TIMER_SLOTS / TIMER_WORD_BITS]; // bit s set exactly when slot s holds a timer
    uint16_t cursor[TIMER_LEVELS];
    int pending;
    uint32_t now;
    uint32_t base; // slot numbers count from here
    uint32_t last; // now at the last manage; the cursors stand here
};

inline void timetable_occupy(timetable *tt, unsigned slot)
{
    tt->occupied[slot / TIMER_WORD_BITS] |= uint64_t{1} << (slot % TIMER_WORD_BITS);
}

inline void timetable_vacate(timetable *tt, unsigned slot)
{
    tt->occupied[slot / TIMER_WORD_BITS] &= ~(uint64_t{1} << (slot % TIMER_WORD_BITS));
}

// now, base and last start at the given time; null when memory runs out.
timetable *timetable_create(uint32_t now);
// Armed timers are left idle (their owners must still exist); null is accepted.
void timetable_destroy(timetable *tt);

// Puts an idle timer `ahead` ms past the cursors. The level follows the size of
// the delay, so a slot is always 1 to 64 of its level's steps ahead of the cursor.
inline void timetable_place(timetable *tt, timer *t, uint32_t ahead)
{
    uint32_t r = tt->last - tt->base + ahead;
    unsigned slot;
    if (ahead < TIMER_LEVEL0_SLOTS) {
        slot = r % TIMER_LEVEL0_SLOTS;
    } else {
        unsigned width = static_cast<unsigned>(std::bit_width(ahead));
        slot = timer_placement_of_width.first[width] +
               ((r >> timer_placement_of_width.shift[width]) % (1u << TIMER_LEVEL_BITS));
    }
    t->_expires = tt->last + ahead;
    t->slot = static_cast<uint16_t>(slot);
    t->flags = TIMER_PENDING;
    list_append(&tt->slots[slot], &t->link);
    timetable_occupy(tt, slot);
    tt->pending++;
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
    list_remove(link);
    if (list_isempty(&tt->slots[timer->slot]))
        timetable_vacate(tt, timer->slot);
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
