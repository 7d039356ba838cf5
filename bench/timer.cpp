// The timer wheel against a binary heap of expiries at 10^3 to 10^6 pending
// timers: the same arm, cancel and expire traffic on both, one millisecond
// per step.
// "churn" cancels and re-arms random timers; "retransmit" adds request timers
// that are mostly cancelled by the reply soon after being armed.
#include <benchmark/benchmark.h>

#include "bench/pin.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "common/timer.h"

namespace {

constexpr uint32_t SPREAD = 60000; // ms: delays are uniform below this

// The anchor: a binary heap with lazy cancellation by generation, compacted
// whenever its stale entries outnumber the live ones, as a careful user
// keeps it (else cancelled entries pile up without bound).
struct heap_timers {
    struct entry {
        uint32_t expires, generation, index;
        bool operator>(const entry &o) const { return expires > o.expires; }
    };
    std::vector<entry> queue;
    std::vector<uint32_t> generation;
    std::vector<uint8_t> pending;
    size_t live = 0;
    uint32_t now = 0;
    size_t compactions = 0;

    // Room for every entry it will hold, stale ones included: no allocation while timed.
    explicit heap_timers(size_t n) : generation(n), pending(n) { queue.reserve(2 * n + 2); }
    bool current(const entry &e) const
    {
        return pending[e.index] && generation[e.index] == e.generation;
    }
    void compact_if_stale()
    {
        if (queue.size() - live <= live) return;
        std::erase_if(queue, [this](const entry &e) { return !current(e); });
        std::make_heap(queue.begin(), queue.end(), std::greater<>{});
        compactions++;
    }
    void arm(uint32_t i, uint32_t delay)
    {
        generation[i]++;
        if (!pending[i]) live++;
        pending[i] = true;
        queue.push_back({now + delay, generation[i], i});
        std::push_heap(queue.begin(), queue.end(), std::greater<>{});
        compact_if_stale();
    }
    void cancel(uint32_t i)
    {
        generation[i]++;
        if (pending[i]) live--;
        pending[i] = false;
        compact_if_stale();
    }
    template <class F> int expire(F &&fired)
    {
        int ran = 0;
        while (!queue.empty() && queue.front().expires <= now) {
            entry e = queue.front();
            std::pop_heap(queue.begin(), queue.end(), std::greater<>{});
            queue.pop_back();
            if (!current(e)) continue;
            pending[e.index] = false;
            live--;
            fired(e.index);
            ran++;
        }
        return ran;
    }
};

struct wheel_timers {
    // One timer per record, as the heap keeps one generation per timer; a
    // record never straddles two cache lines.
    struct alignas(32) slot {
        timer t;
    };
    static wheel_timers *self;
    timetable *tt;
    std::vector<slot> timers;
    std::minstd_rand *rng;

    wheel_timers(size_t n, std::minstd_rand *r) : tt(timetable_create(0)), timers(n), rng(r)
    {
        self = this;
    }
    ~wheel_timers() { timetable_destroy(tt); }

    static void fired(timer *t)
    {
        timetable_schedule(self->tt, t, 1 + (*self->rng)() % SPREAD, fired);
    }
    void arm(uint32_t i, uint32_t delay)
    {
        timetable_cancel(tt, &timers[i].t);
        timetable_schedule(tt, &timers[i].t, delay, fired);
    }
};

wheel_timers *wheel_timers::self;

// Request timers: each step arms REQUESTS retransmission timers of 1 s and
// cancels those armed ANSWERED steps earlier, as replies come in.
constexpr uint32_t REQUESTS = 4, ANSWERED = 16, RETRANSMIT = 1000;
constexpr size_t RING = REQUESTS * ANSWERED;

// The two sets take turns. Warm, each batch first runs untimed steps, so that
// each set is timed with its own data back in the caches; cold, each batch
// starts in the caches the other set's turn left, which mostly charges the
// set with the larger working set (the wheel's timers) for refilling them.
constexpr size_t WARM_STEPS = 5000;

template <class Step> double timed(Step &&step, size_t steps, bool warm)
{
    for (size_t i = 0; warm && i < WARM_STEPS; i++)
        step(i);
    auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < steps; i++)
        step(i);
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return d.count();
}

constexpr size_t STEPS = 20000;

// One step is one millisecond: one random cancel and re-arm (churn) or the
// request timers (retransmit), then expiry, each expired timer re-armed so
// the pending count stays where it started.
double wheel_batch(wheel_timers &w, std::minstd_rand &rng, bool retransmit, size_t &clock,
                   bool warm, size_t pending)
{
    return timed(
        [&](size_t) {
            if (retransmit) {
                for (uint32_t k = 0; k < REQUESTS; k++) {
                    uint32_t i = pending + (clock * REQUESTS + k) % RING;
                    timetable_cancel(w.tt, &w.timers[i].t);
                    timetable_schedule(w.tt, &w.timers[i].t, RETRANSMIT, wheel_timers::fired);
                }
            } else {
                uint32_t i = rng() % pending;
                timetable_cancel(w.tt, &w.timers[i].t);
                w.arm(rng() % pending, 1 + rng() % SPREAD);
                if (!timer_ispending(&w.timers[i].t))
                    timetable_schedule(w.tt, &w.timers[i].t, 1 + rng() % SPREAD,
                                       wheel_timers::fired);
            }
            clock++;
            timetable_set_now(w.tt, timetable_now(w.tt) + 1);
            timetable_manage(w.tt);
        },
        STEPS, warm);
}

double heap_batch(heap_timers &h, std::minstd_rand &rng, bool retransmit, size_t &clock, bool warm,
                  size_t pending)
{
    return timed(
        [&](size_t) {
            if (retransmit) {
                for (uint32_t k = 0; k < REQUESTS; k++) {
                    uint32_t i = static_cast<uint32_t>(pending + (clock * REQUESTS + k) % RING);
                    h.cancel(i);
                    h.arm(i, RETRANSMIT);
                }
            } else {
                uint32_t i = static_cast<uint32_t>(rng() % pending);
                h.cancel(i);
                h.arm(static_cast<uint32_t>(rng() % pending), 1 + rng() % SPREAD);
                if (!h.pending[i])
                    h.arm(i, 1 + rng() % SPREAD);
            }
            clock++;
            h.now++;
            h.expire([&](uint32_t j) { h.arm(j, 1 + rng() % SPREAD); });
        },
        STEPS, warm);
}

// Both sets side by side in one run; the reported time is the wheel's.
void BM_timer_wheel_vs_heap(benchmark::State &state)
{
    bool retransmit = state.range(0);
    bool warm = state.range(1);
    size_t pending = size_t(state.range(2));
    std::minstd_rand rng_w(1), rng_h(1), rng_fill(7);
    wheel_timers w(pending + RING, &rng_w);
    heap_timers h(pending + RING);
    for (uint32_t i = 0; i < pending; i++) {
        uint32_t delay = 1 + rng_fill() % SPREAD;
        w.arm(i, delay);
        h.arm(i, delay);
    }
    size_t clock_w = 0, clock_h = 0;
    double wheel = 0, heap = 0;
    for (auto _ : state) {
        double tw = wheel_batch(w, rng_w, retransmit, clock_w, warm, pending);
        double th = heap_batch(h, rng_h, retransmit, clock_h, warm, pending);
        state.SetIterationTime(tw);
        wheel += tw;
        heap += th;
    }
    double steps = static_cast<double>(state.iterations()) * STEPS;
    state.counters["wheel_ns_per_step"] = wheel / steps * 1e9;
    state.counters["heap_ns_per_step"] = heap / steps * 1e9;
    state.counters["heap_over_wheel"] = heap / wheel;
    state.counters["pending"] = static_cast<double>(timetable_pending(w.tt));
    state.counters["heap_live"] = static_cast<double>(h.live);
    state.counters["heap_entries"] = static_cast<double>(h.queue.size());
    state.counters["heap_compactions"] = static_cast<double>(h.compactions);
    state.SetLabel(std::string(retransmit ? "retransmit" : "churn") + (warm ? ", warm" : ", cold"));
}
BENCHMARK(BM_timer_wheel_vs_heap)
    ->ArgsProduct({{0, 1}, {1, 0}, {1000, 10000, 100000, 1000000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
