// The gateway's main-loop step while no controller is usable, and its CPU-load
// sampling.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>

#include "common/schedule.h"
#include "common/uclient.h"
#include "ctl_fixture.h"
#include "gateway/ugwd_proc.h"

namespace {

using ctl_test::Gateway;
using ctl_test::logged;

// CPU times the sample reads, by process id; a process not listed cannot be read.
std::map<pid_t, uint64_t> cpu_times;

int fake_cputime(pid_t pid, uint64_t *usec)
{
    auto it = cpu_times.find(pid);
    if (it == cpu_times.end())
        return -1;
    *usec = it->second;
    return 0;
}

class GatewayLoad : public Gateway {
protected:
    // Process records as attaching leaves them, without a data plane behind them.
    ugwd_proc *add_proc(unsigned number)
    {
        auto *p = static_cast<ugwd_proc *>(calloc(1, sizeof(ugwd_proc)));
        p->ctl = ctl;
        p->index = ctl->nprocs++;
        p->number = number;
        list_append(&ctl->procs, &p->link);
        return p;
    }

    void TearDown() override
    {
        cpu_times.clear();
        Gateway::TearDown();
    }
};

// Loads are binary fractions of one processor, rounded to nearest with the
// sign of the difference; the total is the control plane's load or the data
// planes' average of their uncapped loads, whichever is larger, capped.
TEST_F(GatewayLoad, SamplesRoundWithTheSignCapAndTakeTheLargerTotal)
{
    ugwd_proc *a = add_proc(101);
    ugwd_proc *b = add_proc(102);
    add_proc(103); // cannot be read: skipped, but counted in the average
    a->cputime = 5000;
    b->cputime = 5000;
    ctl->cpu_time = 7000;
    ctl->cpu_sample_time = 1000000;
    log_config.level = ULOG_TRACE;

    // Over 1000 us: a ran 2991 us (196018.7 rounds to 196018 uncapped), b
    // lost 3 us (-196.6 rounds to -197), the control plane ran 500 us
    // (32768.5 to 32768).
    cpu_times = {{101, 7991}, {102, 4997}, {getpid(), 7500}};
    ugwd_ctl_cpu_load_sample(ctl, 1001000, fake_cputime);
    EXPECT_EQ(a->load, 65535);
    EXPECT_EQ(b->load, 0);
    EXPECT_EQ(a->cputime, 7991u);
    EXPECT_EQ(ctl->cpu_load, 32768);
    EXPECT_EQ(ctl->cpu_sample_time, 1001000u);
    EXPECT_EQ(ctl->total_load, (196018 - 197) / 3);
    EXPECT_EQ(logged("Data plane [101] CPU load is 100.0%"), 1u);
    EXPECT_EQ(logged("Data plane [102] CPU load is 0.0%"), 1u);
    EXPECT_EQ(logged("Data plane [103]"), 0u);
    EXPECT_EQ(logged("Control plane CPU load is 50.0%"), 1u);
    EXPECT_EQ(logged("Total CPU load is 99.6%"), 1u);

    // Idle data planes: the control plane's load is the total. Over 1000 us
    // it ran 1 us: 65.536 rounds up to 66.
    ctl_test::log_clear();
    cpu_times = {{101, 7991}, {102, 4997}, {getpid(), 7501}};
    ugwd_ctl_cpu_load_sample(ctl, 1002000, fake_cputime);
    EXPECT_EQ(a->load, 0);
    EXPECT_EQ(ctl->cpu_load, 66);
    EXPECT_EQ(ctl->total_load, 66);
    EXPECT_EQ(logged("Total CPU load is 0.1%"), 1u);

    // Busy data planes past one processor each: the total is capped, and
    // every port carries it as its load figure.
    ugwd_port port{};
    list_append(&ctl->ports, &port.link);
    cpu_times = {{101, 10000}, {102, 7000}, {103, 0}, {getpid(), 7501}};
    ugwd_ctl_cpu_load_sample(ctl, 1003000, fake_cputime);
    EXPECT_EQ(ctl->total_load, 65535);
    EXPECT_FLOAT_EQ(port.load, 65535.0f / 65536);
    list_remove(&port.link);

    // The data-plane lines are of a finer level than the total's; no time
    // passed, nothing is sampled.
    ctl_test::log_clear();
    log_config.level = ULOG_DETAIL;
    cpu_times = {{101, 20000}, {102, 20000}, {103, 20000}, {getpid(), 20000}};
    ugwd_ctl_cpu_load_sample(ctl, 1003000, fake_cputime);
    EXPECT_EQ(logged("CPU load"), 0u);
    EXPECT_EQ(a->cputime, 10000u);
    ugwd_ctl_cpu_load_sample(ctl, 1004000, fake_cputime);
    EXPECT_EQ(logged("Data plane ["), 0u);
    EXPECT_EQ(logged("Control plane CPU load"), 0u);
    EXPECT_EQ(logged("Total CPU load is 100.0%"), 1u);
}

TEST_F(GatewayLoad, TimerSamplesTheRealProcessesAndRearms)
{
    ASSERT_TRUE(timer_ispending(&ctl->cpu_load_timer));
    schedule_cancel(ctl->sched, &ctl->cpu_load_timer);
    log_config.level = ULOG_TRACE;
    ctl->cpu_sample_time -= 1000000; // a second ago
    ugwd_ctl_cpu_load_timer_cb(&ctl->cpu_load_timer);
    EXPECT_EQ(logged("Control plane CPU load is "), 1u);
    EXPECT_EQ(logged("Total CPU load is "), 1u);
    EXPECT_TRUE(timer_ispending(&ctl->cpu_load_timer));
}

struct flag_timer {
    timer t;
    schedule *sched;
    bool fired;
};

void set_flag(timer *t)
{
    container_of(t, &flag_timer::t)->fired = true;
}

void stop_run(timer *t)
{
    auto *f = container_of(t, &flag_timer::t);
    f->fired = true;
    schedule_stop(f->sched);
}

// With no controller entry a step serves management requests and due timers
// for about 1000 ms, then returns so that the next step looks again.
TEST_F(Gateway, IdleStepServesAndReturnsAfterAboutOneSecond)
{
    flag_timer due{{}, ctl->sched, false}, guard{{}, ctl->sched, false};
    clock_refresh_offset();
    int64_t start = monotonic_ms();
    schedule_timer(ctl->sched, &due.t, 300, set_flag);
    // Ends a run that would not end by itself, failing the test instead of hanging it.
    schedule_timer(ctl->sched, &guard.t, 4000, stop_run);
    int health = -1;
    std::string sock = path();
    std::thread client([&] {
        uclient *c = uclient_open(sock.c_str());
        health = c ? uclient_health_check(c) : -1;
        uclient_close(c);
    });
    EXPECT_EQ(ugwd_ctl_step(ctl, 0), 0);
    int64_t took = monotonic_ms() - start;
    client.join();
    EXPECT_EQ(health, 1);
    EXPECT_TRUE(due.fired);
    EXPECT_FALSE(guard.fired) << "the step did not end by itself";
    EXPECT_GE(took, 990);
    schedule_cancel(ctl->sched, &guard.t);
}

} // namespace
