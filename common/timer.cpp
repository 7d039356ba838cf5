#include "common/timer.h"

#include <bit>
#include <new>
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


namespace {

struct timer *timer_of(list_link *link)
{
    return container_of(link, &timer::link);
}

bool slot_occupied(const timetable *tt, unsigned slot)
{
    return tt->occupied[slot / TIMER_WORD_BITS] >> (slot % TIMER_WORD_BITS) & 1;
}

// Moves a whole slot to the tail of list.
void take_slot(timetable *tt, list_link *list, unsigned slot)
{
    if (!slot_occupied(tt, slot))
        return;
    list_splice_tail(list, &tt->slots[slot]);
    timetable_vacate(tt, slot);
}

// Appends to list the slots of a level that the cursor passes in n steps, and
// returns how often the level wrapped: the step count of the level above.
// The occupancy bits lead straight to the slots that hold timers.
uint32_t timetable_cascade(timetable *tt, list_link *list, uint32_t n, unsigned level)
{
    constexpr uint32_t W = TIMER_WORD_BITS;
    const timer_level shape = timer_level_shape(level);
    uint32_t size = uint32_t{1} << shape.bits;
    uint32_t cursor = tt->cursor[level];
    uint32_t pos = (cursor + 1) & (size - 1);
    for (uint32_t left = n < size ? n : size; left;) {
        uint32_t bit = pos % W;
        uint32_t take = W - bit < left ? W - bit : left;
        uint64_t *word = &tt->occupied[(shape.first + pos) / W];
        uint64_t bits = *word >> bit;
        if (take < W)
            bits &= (uint64_t{1} << take) - 1;
        *word &= ~(bits << bit);
        for (; bits; bits &= bits - 1) {
            unsigned slot = shape.first + pos + static_cast<unsigned>(std::countr_zero(bits));
            list_splice_tail(list, &tt->slots[slot]);
        }
        pos = (pos + take) & (size - 1);
        left -= take;
    }
    uint64_t moved = uint64_t{cursor} + n;
    tt->cursor[level] = static_cast<uint16_t>(moved & (size - 1));
    return static_cast<uint32_t>(moved >> shape.bits);
}

// Re-places the timers cascaded from the upper levels, in list order, or moves
// those already due to the due list. The list is only walked, never mended:
// nothing else sees it before it is used up.
void timetable_replace(timetable *tt, list_link *cascaded, list_link *due)
{
    uint32_t now = tt->last;
    for (list_link *link : list_for_each_safe(cascaded)) {
        struct timer *timer = timer_of(link);
        int32_t left = static_cast<int32_t>(timer->_expires - now);
        if (left > 0) {
            tt->pending--;
            timetable_place(tt, timer, static_cast<uint32_t>(left));
        } else {
            list_append(due, link);
        }
    }
    list_init(cascaded);
}

// Steps from the cursor (1 to the level's size, the size meaning the cursor's
// own slot one turn on) to the next occupied slot of a level; 0 when it is empty.
uint32_t timetable_next_slot(const timetable *tt, unsigned level)
{
    constexpr uint32_t W = TIMER_WORD_BITS;
    const timer_level shape = timer_level_shape(level);
    uint32_t size = uint32_t{1} << shape.bits;
    unsigned words = size / W, first = shape.first / W;
    uint32_t from = (tt->cursor[level] + 1u) & (size - 1);
    unsigned w = from / W;
    uint64_t bits = tt->occupied[first + w] & (~uint64_t{0} << (from % W));
    for (unsigned i = 0; i <= words; i++) {
        if (bits) {
            uint32_t slot = w * W + static_cast<uint32_t>(std::countr_zero(bits));
            uint32_t steps = (slot - tt->cursor[level]) & (size - 1);
            return steps ? steps : size;
        }
        w = (w + 1) % words;
        bits = tt->occupied[first + w];
    }
    return 0;
}

} // namespace

timetable *timetable_create(uint32_t now)
{
    auto *tt = new (std::nothrow) timetable{};
    if (!tt)
        return nullptr;
    for (list_link &slot : tt->slots)
        list_init(&slot);
    tt->now = tt->base = tt->last = now;
    return tt;
}

void timetable_destroy(timetable *tt)
{
    if (!tt)
        return;
    // Owners outlive the wheel: their armed timers go back to idle rather
    // than keep links into freed slots that a later cancel would write.
    for (list_link &slot : tt->slots) {
        for (list_link *link : list_for_each_safe(&slot)) {
            list_null(link);
            timer_of(link)->flags = 0;
        }
    }
    delete tt;
}

int timetable_manage(timetable *tt)
{
    uint32_t now = tt->now;
    uint32_t elapsed = now - tt->last;
    tt->last = now;

    list_link due, cascaded;
    list_init(&due);
    // Timers armed with delay 0 since the last run.
    unsigned c = tt->cursor[0];
    take_slot(tt, &due, c);
    if (elapsed == 1 && c != TIMER_LEVEL0_SLOTS - 1) {
        // The usual run, one millisecond on within level 0: the next slot is all.
        tt->cursor[0] = static_cast<uint16_t>(c + 1);
        take_slot(tt, &due, c + 1);
    } else if (elapsed) {
        list_init(&cascaded);
        uint32_t wraps = timetable_cascade(tt, &due, elapsed, 0);
        for (unsigned level = 1; wraps && level < TIMER_LEVELS; level++)
            wraps = timetable_cascade(tt, &cascaded, wraps, level);
        timetable_replace(tt, &cascaded, &due);
    }

    // A callback may arm or cancel anything, including what still waits here.
    int ran = 0;
    while (list_link *link = list_first(&due)) {
        list_link *next = list_next(link);
        list_remove(link);
        // The next one's line loads while the callback runs.
        __builtin_prefetch(next);
        struct timer *timer = timer_of(link);
        UGW_ASSERT(((now - timer->_expires) & 0x80000000UL) == 0);
        tt->pending--;
        timer->flags = 0;
        timer->callback(timer);
        ran++;
    }
    return ran;
}

uint32_t timetable_next_timeout(const timetable *tt)
{
    if (slot_occupied(tt, tt->cursor[0]))
        return 0;
    // Each level's next occupied slot needs a manage when its window starts
    // (for level 0, at its exact millisecond); the earliest of them wins, so
    // no level hides an earlier expiry on the level above.
    uint32_t pos = tt->last - tt->base;
    uint64_t wait = UINT64_MAX;
    for (unsigned level = 0; level < TIMER_LEVELS; level++) {
        uint32_t steps = timetable_next_slot(tt, level);
        if (!steps)
            continue;
        unsigned shift = timer_level_shape(level).shift;
        uint64_t start = ((uint64_t{pos} >> shift) + steps) << shift;
        if (start - pos < wait)
            wait = start - pos;
    }
    if (wait == UINT64_MAX)
        return UINT32_MAX;
    return wait < UINT32_MAX ? static_cast<uint32_t>(wait) : UINT32_MAX - 1;
}

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
