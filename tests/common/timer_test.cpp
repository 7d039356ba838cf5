#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <queue>
#include <random>
#include <tuple>
#include <vector>

#include "common/timer.h"

namespace {

// A timer with a record of when it ran, found back from the timer's address.
struct probe {
    timer t;
    timetable *tt;
    std::vector<uint32_t> ran_at;
};

probe *probe_of(timer *t)
{
    return container_of(t, &probe::t);
}

void probe_fire(timer *t)
{
    probe *p = probe_of(t);
    p->ran_at.push_back(timetable_now(p->tt));
}

struct table_deleter {
    void operator()(timetable *tt) const { timetable_destroy(tt); }
};
using table_ptr = std::unique_ptr<timetable, table_deleter>;

void advance(timetable *tt, uint32_t ms)
{
    timetable_set_now(tt, timetable_now(tt) + ms);
    timetable_manage(tt);
}

// Steps the clock the way the event loop does when nothing else wakes it.
// Returns the number of manages it took until nothing was armed.
int step_until_idle(timetable *tt, int bound)
{
    int steps = 0;
    while (timetable_pending(tt) && steps < bound) {
        advance(tt, timetable_next_timeout(tt));
        steps++;
    }
    return steps;
}

unsigned level_of(const timer &t)
{
    return t.slot < 256 ? 0 : 1 + (t.slot - 256u) / 64;
}

} // namespace

TEST(Timetable, EmptyReportsNoTimeoutAndZeroDelayFiresWithoutTimeMoving)
{
    table_ptr tt(timetable_create(1000));
    EXPECT_EQ(timetable_next_timeout(tt.get()), UINT32_MAX);
    EXPECT_EQ(timetable_manage(tt.get()), 0);

    probe p{{}, tt.get(), {}};
    timetable_schedule(tt.get(), &p.t, 0, probe_fire);
    EXPECT_TRUE(timer_ispending(&p.t));
    EXPECT_EQ(timetable_next_timeout(tt.get()), 0u);
    EXPECT_EQ(timetable_manage(tt.get()), 1);
    EXPECT_EQ(p.ran_at, std::vector<uint32_t>{1000});
    EXPECT_FALSE(timer_ispending(&p.t));
    EXPECT_EQ(timetable_pending(tt.get()), 0);
    EXPECT_EQ(timetable_next_timeout(tt.get()), UINT32_MAX);
}

// Each delay lands on the level its size names and, when the clock steps to
// every next timeout, runs exactly once at its own millisecond: cascading down
// and the 2^32 wrap of the clock included.
TEST(Timetable, EachLevelFiresAtItsMillisecond)
{
    struct {
        uint32_t delay;
        unsigned level;
    } const delays[] = {
        {1, 0},           {255, 0},           {256, 1},           {257, 1},
        {16383, 1},       {16384, 2},         {(1u << 20) - 1, 2}, {1u << 20, 3},
        {(1u << 26) - 1, 3}, {1u << 26, 4},   {(1u << 26) + 12345, 4}, {0xfffffff0u, 4},
    };
    // Creation time, and how far the clock has moved since, so cursors sit mid-level.
    struct {
        uint32_t created;
        uint32_t moved;
    } const starts[] = {
        {0, 0}, {0, 255}, {0, 16383 + 7}, {0xffffffffu - 300, 0}, {0xffffffffu - 300, 299},
        {12345, (1u << 26) - 1},
    };
    for (auto s : starts) {
        for (auto d : delays) {
            SCOPED_TRACE(testing::Message() << "created " << s.created << " moved " << s.moved
                                            << " delay " << d.delay);
            table_ptr tt(timetable_create(s.created));
            advance(tt.get(), s.moved);
            probe p{{}, tt.get(), {}};
            uint32_t armed = timetable_now(tt.get());
            timetable_schedule(tt.get(), &p.t, d.delay, probe_fire);
            EXPECT_EQ(level_of(p.t), d.level);
            EXPECT_LE(step_until_idle(tt.get(), 64), 16);
            EXPECT_EQ(p.ran_at, std::vector<uint32_t>{armed + d.delay});
        }
    }
}

TEST(Timetable, GapFiresEverythingDueAndLeavesTheRestExact)
{
    table_ptr tt(timetable_create(0xffffff00u));
    std::vector<probe> probes(400);
    for (size_t i = 0; i < probes.size(); i++) {
        probes[i].tt = tt.get();
        // 13 ms apart: level 0, level 1 and one level-2 timer, some due in the gap.
        timetable_schedule(tt.get(), &probes[i].t, static_cast<uint32_t>(i * 13 + 1), probe_fire);
    }
    uint32_t start = timetable_now(tt.get());
    advance(tt.get(), 3000);
    for (size_t i = 0; i < probes.size(); i++) {
        uint32_t delay = static_cast<uint32_t>(i * 13 + 1);
        if (delay <= 3000) {
            ASSERT_EQ(probes[i].ran_at, std::vector<uint32_t>{start + 3000}) << "delay " << delay;
        } else {
            ASSERT_TRUE(probes[i].ran_at.empty()) << "delay " << delay;
        }
    }
    step_until_idle(tt.get(), 10000);
    for (size_t i = 0; i < probes.size(); i++) {
        uint32_t delay = static_cast<uint32_t>(i * 13 + 1);
        if (delay > 3000) {
            ASSERT_EQ(probes[i].ran_at, std::vector<uint32_t>{start + delay}) << "delay " << delay;
        }
    }
}

namespace {

struct pair_probe {
    probe p;
    probe *victim;
};

void cancel_victim(timer *t)
{
    auto *pp = container_of(probe_of(t), &pair_probe::p);
    probe_fire(t);
    timetable_cancel(pp->p.tt, &pp->victim->t);
}

void rearm_self_now(timer *t)
{
    probe *p = probe_of(t);
    probe_fire(t);
    if (p->ran_at.size() < 3)
        timetable_schedule(p->tt, t, 0, rearm_self_now);
}

} // namespace

TEST(Timetable, CallbacksCancelAndRearmWithinOneManage)
{
    table_ptr tt(timetable_create(500));
    // Both come due in one manage: one from level 0, one cascaded from level 1.
    pair_probe first{{{}, tt.get(), {}}, nullptr};
    probe second{{}, tt.get(), {}}, self{{}, tt.get(), {}};
    first.victim = &second;
    timetable_schedule(tt.get(), &first.p.t, 100, cancel_victim);
    timetable_schedule(tt.get(), &second.t, 300, probe_fire);
    timetable_schedule(tt.get(), &self.t, 200, rearm_self_now);
    EXPECT_EQ(timetable_pending(tt.get()), 3);
    advance(tt.get(), 1000);
    EXPECT_EQ(first.p.ran_at.size(), 1u);
    EXPECT_TRUE(second.ran_at.empty());
    EXPECT_FALSE(timer_ispending(&second.t));
    // Re-armed with delay 0, it waits for the next manage rather than looping.
    EXPECT_EQ(self.ran_at.size(), 1u);
    EXPECT_EQ(timetable_pending(tt.get()), 1);
    EXPECT_EQ(timetable_next_timeout(tt.get()), 0u);
    EXPECT_EQ(timetable_manage(tt.get()), 1);
    EXPECT_EQ(timetable_manage(tt.get()), 1);
    EXPECT_EQ(self.ran_at, (std::vector<uint32_t>{1500, 1500, 1500}));
    EXPECT_EQ(timetable_pending(tt.get()), 0);

    // Cancelling an idle timer is harmless.
    timetable_cancel(tt.get(), &second.t);
    EXPECT_EQ(timetable_pending(tt.get()), 0);
}

namespace {

std::vector<size_t> *fire_order;
probe *order_base;

void record_order(timer *t)
{
    fire_order->push_back(static_cast<size_t>(probe_of(t) - order_base));
}

} // namespace

// Timers cascaded down share their final slots with those armed there later;
// each millisecond runs its timers in the order they were armed, whether the
// clock steps to every timeout or jumps over a gap, and however long the
// lists that are cascaded together.
TEST(Timetable, CascadingKeepsArmingOrder)
{
    for (uint32_t jump : {0u, 40000u}) {
        table_ptr tt(timetable_create(0xfffff000u));
        std::vector<probe> probes(3000);
        // Expiry, then those armed straight into level 0 before the cascade
        // brought the others there, then arming order.
        std::vector<std::tuple<uint32_t, int, size_t>> expect;
        std::vector<size_t> order;
        fire_order = &order;
        order_base = probes.data();
        std::minstd_rand rng(5);
        for (size_t i = 0; i < probes.size(); i++) {
            // Three bands: due on level 1, 2 and 3, many to one millisecond.
            uint32_t band = i % 3 == 0 ? 300 : i % 3 == 1 ? 17000 : 1100000;
            uint32_t delay = band + static_cast<uint32_t>(rng() % 97);
            if (i % 7 == 0) {
                // Armed later into the same milliseconds, after a first cascade.
                continue;
            }
            probes[i].tt = tt.get();
            timetable_schedule(tt.get(), &probes[i].t, delay, record_order);
            expect.emplace_back(delay, 1, i);
        }
        advance(tt.get(), 200);
        for (size_t i = 0; i < probes.size(); i += 7) {
            uint32_t delay = 300 + static_cast<uint32_t>(rng() % 97);
            probes[i].tt = tt.get();
            timetable_schedule(tt.get(), &probes[i].t, delay - 200, record_order);
            expect.emplace_back(delay, 0, i);
        }
        if (jump)
            advance(tt.get(), jump);
        step_until_idle(tt.get(), 100000);
        ASSERT_EQ(timetable_pending(tt.get()), 0);
        std::sort(expect.begin(), expect.end());
        std::vector<size_t> want;
        for (auto &e : expect)
            want.push_back(std::get<2>(e));
        if (!jump) {
            EXPECT_EQ(order, want);
        } else {
            // The gap's manage runs level 0 first, then what the cascade found
            // due: check the set that ran there, and the rest in exact order.
            size_t gap = static_cast<size_t>(std::count_if(
                expect.begin(), expect.end(), [&](const auto &e) { return std::get<0>(e) <= 200 + jump; }));
            ASSERT_GE(order.size(), gap);
            std::vector<size_t> ran(order.begin(), order.begin() + static_cast<long>(gap));
            std::vector<size_t> due(want.begin(), want.begin() + static_cast<long>(gap));
            std::sort(ran.begin(), ran.end());
            std::sort(due.begin(), due.end());
            EXPECT_EQ(ran, due);
            EXPECT_EQ(std::vector<size_t>(order.begin() + static_cast<long>(gap), order.end()),
                      std::vector<size_t>(want.begin() + static_cast<long>(gap), want.end()));
        }
    }
}

namespace {

void record_order_and_time(timer *t)
{
    record_order(t);
    probe_fire(t);
}

} // namespace

// Long upper-level lists: cancelling there (scattered timers, runs of
// neighbours, the tail) before either of the two cascades, and arming more
// behind, leaves every other timer to run once, at its millisecond, in
// arming order within it.
TEST(Timetable, CancelsInLongSlotsLeaveTheRestInOrder)
{
    table_ptr tt(timetable_create(0));
    std::vector<probe> probes(20000);
    std::vector<size_t> order;
    fire_order = &order;
    order_base = probes.data();
    std::minstd_rand rng(11);
    // Expiry, arming sequence, index; a cancel drops the entry.
    std::vector<std::tuple<uint32_t, size_t, size_t>> armed(probes.size());
    std::vector<bool> live(probes.size());
    size_t seq = 0;
    auto arm = [&](size_t i, uint32_t at) {
        probes[i].tt = tt.get();
        timetable_schedule(tt.get(), &probes[i].t, at - timetable_now(tt.get()), record_order_and_time);
        armed[i] = {at, seq++, i};
        live[i] = true;
    };
    auto cancel = [&](size_t i) {
        timetable_cancel(tt.get(), &probes[i].t);
        live[i] = false;
    };
    // One level-2 slot, cascaded at 16384 into one level-1 slot, then at
    // 16896 into level 0: some two hundred timers to each millisecond.
    auto expiry = [&] { return 17000 + static_cast<uint32_t>(rng() % 97); };
    for (size_t i = 0; i < probes.size(); i++)
        arm(i, expiry());
    auto cancel_round = [&] {
        for (size_t i = 0; i < probes.size(); i++)
            if (rng() % 4 == 0)
                cancel(i);
        for (size_t start = rng() % 500; start + 40 < probes.size(); start += 3000)
            for (size_t i = start; i < start + 40; i++)
                cancel(i);
    };
    cancel_round();
    for (size_t i = probes.size() - 50; i < probes.size(); i++)
        cancel(i);
    for (size_t i = 0; i < probes.size(); i += 9)
        if (!live[i])
            arm(i, expiry());
    advance(tt.get(), 16500);
    ASSERT_TRUE(order.empty());
    cancel_round();
    for (size_t i = 0; i < probes.size(); i += 5)
        if (!live[i])
            arm(i, expiry());
    step_until_idle(tt.get(), 1000);
    ASSERT_EQ(timetable_pending(tt.get()), 0);

    std::vector<std::tuple<uint32_t, size_t, size_t>> expect;
    for (size_t i = 0; i < probes.size(); i++)
        if (live[i])
            expect.push_back(armed[i]);
    std::sort(expect.begin(), expect.end());
    std::vector<size_t> want;
    for (auto &e : expect)
        want.push_back(std::get<2>(e));
    EXPECT_EQ(order, want);
    for (size_t i = 0; i < probes.size(); i++) {
        std::vector<uint32_t> ran;
        if (live[i])
            ran.push_back(std::get<0>(armed[i]));
        EXPECT_EQ(probes[i].ran_at, ran) << i;
    }
}

// The next level-0 timer lies past level 0's wrap, level 1 is empty there, and
// a level-2 timer's window opens at that wrap: the sleep must end at the
// level-2 window, not at the level-0 timer.
TEST(Timetable, NextTimeoutLooksPastTheLevelAbove)
{
    table_ptr tt(timetable_create(0));
    probe far{{}, tt.get(), {}}, near{{}, tt.get(), {}};
    advance(tt.get(), 10);
    timetable_schedule(tt.get(), &far.t, 16384, probe_fire); // due at 16394
    EXPECT_EQ(level_of(far.t), 2u);
    advance(tt.get(), 63 * 256 + 200 - 10); // level-1 cursor at its last slot
    timetable_schedule(tt.get(), &near.t, 100, probe_fire); // due at 16428
    EXPECT_LE(timetable_next_timeout(tt.get()), 66u);
    step_until_idle(tt.get(), 10);
    EXPECT_EQ(far.ran_at, std::vector<uint32_t>{16394});
    EXPECT_EQ(near.ran_at, std::vector<uint32_t>{16428});
}

// Slots count from the last manage: a clock set ahead before arming must not
// make the next manage treat the timer as due.
TEST(Timetable, ArmingAfterTheClockMovedWithoutManage)
{
    table_ptr tt(timetable_create(1000));
    probe p{{}, tt.get(), {}}, q{{}, tt.get(), {}};
    timetable_set_now(tt.get(), 1200);
    timetable_schedule(tt.get(), &p.t, 100, probe_fire);
    timetable_schedule(tt.get(), &q.t, 16300, probe_fire);
    EXPECT_EQ(timetable_manage(tt.get()), 0);
    step_until_idle(tt.get(), 20);
    EXPECT_EQ(p.ran_at, std::vector<uint32_t>{1300});
    EXPECT_EQ(q.ran_at, std::vector<uint32_t>{17500});
}

// Timers outlive the wheel they were armed on: after its destruction they are
// idle, so that their owners can cancel them or arm them elsewhere.
TEST(Timetable, DestroyLeavesArmedTimersIdle)
{
    std::vector<probe> probes(6);
    {
        table_ptr tt(timetable_create(0));
        const uint32_t delays[] = {0, 255, 256, 16384, 1u << 20, 1u << 26};
        for (size_t i = 0; i < probes.size(); i++) {
            probes[i].tt = tt.get();
            timetable_schedule(tt.get(), &probes[i].t, delays[i], probe_fire);
        }
    }
    table_ptr next(timetable_create(500));
    for (probe &p : probes) {
        EXPECT_FALSE(timer_ispending(&p.t));
        EXPECT_TRUE(list_isnull(&p.t.link));
        timetable_cancel(next.get(), &p.t); // idle: left alone
        p.tt = next.get();
        timetable_schedule(next.get(), &p.t, 10, probe_fire);
    }
    EXPECT_EQ(timetable_pending(next.get()), 6);
    advance(next.get(), 10);
    for (probe &p : probes)
        EXPECT_EQ(p.ran_at, std::vector<uint32_t>{510});
}

TEST(TimetableDeathTest, MisuseIsFatal)
{
    table_ptr tt(timetable_create(0));
    probe p{{}, tt.get(), {}};
    timetable_schedule(tt.get(), &p.t, 10, probe_fire);
    EXPECT_DEATH(timetable_schedule(tt.get(), &p.t, 10, probe_fire),
                 "Assertion failed: !timer_ispending\\(timer\\)");
    timer unlinked{};
    unlinked.flags = TIMER_PENDING;
    EXPECT_DEATH(timetable_cancel(tt.get(), &unlinked), "Assertion failed: !list_isnull\\(link\\)");
    timetable_cancel(tt.get(), &p.t); // p goes before the wheel
}

// The wheel against a binary heap of 64-bit expiries under 10^6 random arms,
// cancels and clock steps, starting shortly before the 32-bit wrap. Guarantees
// checked:
//  - a timer runs once, never before its expiry, and in the first manage whose
//    time has reached it (a timer armed by a callback with delay 0 in the next);
//  - the next timeout never passes the earliest expiry, so stepping to every
//    next timeout runs each timer exactly at its millisecond (lateness 0).
namespace {

struct model_timer {
    timer t;
    bool pending;
    uint32_t generation;
    uint64_t expires;
    uint64_t armed_in; // manage number
};

struct model {
    std::mt19937_64 rng{20240601};
    timetable *tt;
    std::vector<model_timer> timers;
    using entry = std::tuple<uint64_t, uint32_t, size_t>; // expiry, generation, index
    std::priority_queue<entry, std::vector<entry>, std::greater<>> heap;
    uint64_t now;
    uint64_t last;        // time of the last manage
    uint64_t manages = 0; // number of the manage in progress or last run
    bool exact = false;   // the clock stepped to the wheel's next timeout
    int pending = 0;
    uint64_t arms = 0, cancels = 0, fires = 0;
    bool in_manage = false;
    bool quiet = false; // callbacks leave other timers alone

    uint32_t below(uint64_t n) { return static_cast<uint32_t>(rng() % n); }

    uint32_t random_delay()
    {
        uint32_t r = below(100);
        if (r < 60)
            return below(300);
        if (r < 85)
            return below(20000);
        if (r < 95)
            return below(1u << 21);
        if (r < 99)
            return below(1u << 27);
        return below(UINT32_MAX);
    }

    void cancel(size_t i)
    {
        model_timer &m = timers[i];
        timetable_cancel(tt, &m.t);
        if (m.pending) {
            m.pending = false;
            pending--;
            cancels++;
        }
    }

    void arm(size_t i, uint32_t delay)
    {
        cancel(i);
        // Delays count from the current time but are capped at 2^32 - 1 past the last manage.
        uint64_t lead = now - last;
        if (delay > UINT32_MAX - lead)
            delay = static_cast<uint32_t>(UINT32_MAX - lead);
        model_timer &m = timers[i];
        m.pending = true;
        m.generation++;
        m.expires = now + delay;
        m.armed_in = in_manage ? manages : 0;
        heap.emplace(m.expires, m.generation, i);
        pending++;
        arms++;
        timetable_schedule(tt, &m.t, delay, fired);
    }

    static model *self;

    static void fired(timer *t)
    {
        model &md = *self;
        size_t i = static_cast<size_t>(container_of(t, &model_timer::t) - md.timers.data());
        model_timer &m = md.timers[i];
        ASSERT_TRUE(m.pending) << "ran twice or after cancel";
        ASSERT_LE(m.expires, md.now) << "ran early";
        if (md.exact) {
            ASSERT_EQ(m.expires, md.now) << "ran late while stepping to each next timeout";
        }
        m.pending = false;
        md.pending--;
        md.fires++;
        uint32_t r = md.quiet ? 10 : md.below(10);
        if (r == 0)
            md.cancel(md.below(md.timers.size()));
        else if (r == 1)
            md.arm(md.below(md.timers.size()), md.below(3) ? md.random_delay() : 0);
    }

    // Every timer the heap holds as due must have run, unless a callback of
    // this very manage armed it with delay 0.
    void check_after_manage()
    {
        std::vector<entry> keep;
        while (!heap.empty() && std::get<0>(heap.top()) <= now) {
            auto [expires, generation, i] = heap.top();
            heap.pop();
            const model_timer &m = timers[i];
            if (!m.pending || m.generation != generation)
                continue;
            ASSERT_EQ(m.armed_in, manages) << "due timer did not run";
            ASSERT_EQ(expires, now);
            keep.emplace_back(expires, generation, i);
        }
        for (auto &e : keep)
            heap.push(e);
    }

    uint64_t earliest()
    {
        while (!heap.empty()) {
            auto [expires, generation, i] = heap.top();
            if (timers[i].pending && timers[i].generation == generation)
                return expires;
            heap.pop();
        }
        return UINT64_MAX;
    }

    void step(uint64_t ms, bool manage)
    {
        now += ms;
        timetable_set_now(tt, static_cast<uint32_t>(now));
        if (!manage)
            return;
        manages++;
        last = now;
        in_manage = true;
        timetable_manage(tt);
        in_manage = false;
        exact = false;
        check_after_manage();
    }
};

model *model::self;

} // namespace

TEST(Timetable, AgreesWithAHeapModel)
{
    model md;
    model::self = &md;
    md.now = md.last = (uint64_t{1} << 32) - 20000;
    table_ptr tt(timetable_create(static_cast<uint32_t>(md.now)));
    md.tt = tt.get();
    md.timers.resize(4096);

    for (int op = 0; op < 1000000; op++) {
        uint32_t r = md.below(100);
        if (r < 45) {
            md.arm(md.below(md.timers.size()), md.random_delay());
        } else if (r < 60) {
            md.cancel(md.below(md.timers.size()));
        } else if (md.now == md.last && r < 80) {
            uint32_t next = timetable_next_timeout(tt.get());
            uint64_t first = md.earliest();
            if (first == UINT64_MAX) {
                ASSERT_EQ(next, UINT32_MAX);
                continue;
            }
            ASSERT_LE(md.now + next, first) << "next timeout passes the earliest expiry";
            md.exact = true;
            md.step(next, true);
        } else {
            uint32_t kind = md.below(10000);
            uint64_t ms = kind < 5000 ? md.below(50) : kind < 9990 ? md.below(3000) : md.below(1u << 27);
            md.step(ms, md.below(10) != 0);
        }
        if (testing::Test::HasFatalFailure())
            return;
        ASSERT_EQ(timetable_pending(tt.get()), md.pending);
    }
    md.quiet = true;
    // Drain: steps below 2^31 ms keep the wrap-safe comparisons meaningful.
    for (int i = 0; i < 8 && md.pending; i++)
        md.step(uint64_t{1} << 30, true);
    ASSERT_FALSE(testing::Test::HasFatalFailure());
    EXPECT_EQ(md.pending, 0);
    EXPECT_EQ(timetable_pending(tt.get()), 0);
    EXPECT_EQ(md.arms, md.fires + md.cancels);
    EXPECT_GT(md.now - ((uint64_t{1} << 32) - 20000), uint64_t{1} << 32) << "the clock wrapped";
    RecordProperty("arms", static_cast<int>(md.arms));
    RecordProperty("fires", static_cast<int>(md.fires));
}
