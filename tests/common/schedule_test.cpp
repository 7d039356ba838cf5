#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/schedule.h"

namespace {

std::vector<std::string> logged;

void capture(int level, const char *, unsigned, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    logged.push_back(std::to_string(level) + " " + line);
}

struct schedule_deleter {
    void operator()(schedule *s) const { schedule_destroy(s); }
};

// A socket pair whose ends close with the test.
struct socket_pair {
    int fd[2] = {-1, -1};
    socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
    ~socket_pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
    void poke() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
};

class Schedule : public testing::Test {
protected:
    void SetUp() override
    {
        logged.clear();
        log_open(nullptr, 1, LOG_COMP_ALL, 0, capture);
        s.reset(schedule_create());
        ASSERT_TRUE(s);
    }
    void TearDown() override { log_close(); }

    std::unique_ptr<schedule, schedule_deleter> s;
};

// Records what ran, in order; the owner of each timer or descriptor.
struct watcher {
    schedule *s;
    std::vector<std::string> *trace;
    std::string name;
    int fd = -1;
    bool stop = false;
    watcher *drop = nullptr;   // handler removed from inside this callback
    timer *arm_now = nullptr;  // armed with delay 0 from inside this callback
    timer t{};
};

void watcher_timer(timer *t)
{
    watcher *w = container_of(t, &watcher::t);
    w->trace->push_back(w->name + " timer");
}

void watcher_read(void *user, int fd)
{
    auto *w = static_cast<watcher *>(user);
    char c;
    EXPECT_EQ(read(fd, &c, 1), 1);
    w->trace->push_back(w->name);
    // Signals stay blocked inside callbacks.
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGTERM));
    if (w->drop)
        schedule_remove_fd(w->s, w->drop->fd);
    if (w->arm_now)
        schedule_timer(w->s, w->arm_now, 0, watcher_timer);
    if (w->stop)
        schedule_stop(w->s);
}

} // namespace

TEST_F(Schedule, CreateLogsAndAnIdleRunReturnsAtOnce)
{
    EXPECT_EQ(logged, std::vector<std::string>{"1 Scheduler uses pselect and millisecond timer resolution"});
    EXPECT_EQ(schedule_run(s.get(), 0), 0);
    schedule_destroy(nullptr);
}

TEST_F(Schedule, DescriptorRegistration)
{
    auto noop = [](void *, int) {};
    EXPECT_EQ(schedule_add_fd(s.get(), -1, noop, nullptr), -1);
    EXPECT_EQ(schedule_add_fd(s.get(), 3, nullptr, nullptr), -1);
    EXPECT_TRUE(logged.size() == 1);
    EXPECT_EQ(schedule_add_fd(s.get(), 1024, noop, nullptr), -1);
    EXPECT_EQ(errno, EMFILE); // what the caller reports: too many open files
    EXPECT_EQ(logged.back(), "1 File descriptor 1024 too large for select()");
    EXPECT_EQ(schedule_add_fd(s.get(), 1023, noop, nullptr), 0);
    EXPECT_EQ(schedule_add_fd(s.get(), 1023, noop, nullptr), 0); // replaced, not counted twice
    schedule_remove_fd(s.get(), 1023);
    schedule_remove_fd(s.get(), 1023);
    schedule_remove_fd(s.get(), 5000);
    schedule_remove_fd(s.get(), 7);
    // Nothing left to wait for.
    EXPECT_EQ(schedule_run(s.get(), 0), 0);
}

TEST_F(Schedule, LimitedRunFiresDueTimersAndKeepsTheRest)
{
    std::vector<std::string> trace;
    watcher soon{s.get(), &trace, "soon"}, later{s.get(), &trace, "later"};
    schedule_timer(s.get(), &soon.t, 20, watcher_timer);
    schedule_timer(s.get(), &later.t, 60000, watcher_timer);
    uint32_t start = clock_msec();
    EXPECT_EQ(schedule_run(s.get(), 50), 0);
    EXPECT_GE(clock_msec() - start, 50u);
    EXPECT_EQ(trace, std::vector<std::string>{"soon timer"});
    EXPECT_TRUE(timer_ispending(&later.t));
    schedule_cancel(s.get(), &later.t);
    schedule_cancel(s.get(), &later.t);
    EXPECT_EQ(timetable_pending(schedule_timetable(s.get())), 0);
}

// Two ready descriptors in one turn: the first removes the second's handler
// and stops the run; the third still runs in that turn, and a timer armed
// with delay 0 fires in the end-of-run manage.
TEST_F(Schedule, DescriptorCallbacksStopAndRemoval)
{
    std::vector<std::string> trace;
    socket_pair a, b, c;
    watcher wa{s.get(), &trace, "a", a.fd[0]}, wb{s.get(), &trace, "b", b.fd[0]},
        wc{s.get(), &trace, "c", c.fd[0]};
    ASSERT_LT(a.fd[0], b.fd[0]);
    ASSERT_LT(b.fd[0], c.fd[0]);
    wa.drop = &wb;
    wa.stop = true;
    wa.arm_now = &wa.t;
    for (watcher *w : {&wa, &wb, &wc})
        ASSERT_EQ(schedule_add_fd(s.get(), w->fd, watcher_read, w), 0);
    a.poke();
    b.poke();
    c.poke();
    EXPECT_EQ(schedule_run(s.get(), 0), 0);
    EXPECT_EQ(trace, (std::vector<std::string>{"a", "c", "a timer"}));

    // The next run starts with the stop flag cleared and serves what is left.
    trace.clear();
    wa.stop = false;
    wa.drop = nullptr;
    wa.arm_now = nullptr;
    wc.stop = true;
    a.poke();
    c.poke();
    EXPECT_EQ(schedule_run(s.get(), 5000), 0);
    EXPECT_EQ(trace, (std::vector<std::string>{"a", "c"}));

    // A stop that comes between runs (a signal just before one) is not lost:
    // the next run ends at once, serving nothing, and consumes it.
    trace.clear();
    a.poke();
    schedule_stop(s.get());
    EXPECT_EQ(schedule_run(s.get(), 5000), 0);
    EXPECT_TRUE(trace.empty());
    wc.stop = false;
    wa.stop = true;
    EXPECT_EQ(schedule_run(s.get(), 5000), 0);
    EXPECT_EQ(trace, (std::vector<std::string>{"a"}));
}

namespace {

volatile sig_atomic_t usr1_seen;
schedule *usr1_schedule;

void on_usr1(int)
{
    usr1_seen = 1;
    schedule_stop(usr1_schedule);
}

void send_usr1(timer *)
{
    // Blocked here; delivered when the loop next waits.
    kill(getpid(), SIGUSR1);
}

} // namespace

TEST_F(Schedule, SignalDuringTheWaitEndsTheRunWithMinusOne)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = on_usr1;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    usr1_seen = 0;
    usr1_schedule = s.get();

    timer sender{}, later{};
    schedule_timer(s.get(), &sender, 0, send_usr1);
    schedule_timer(s.get(), &later, 60000, [](timer *) { ADD_FAILURE() << "ran"; });
    errno = 0;
    EXPECT_EQ(schedule_run(s.get(), 10000), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(usr1_seen, 1);
    EXPECT_TRUE(timer_ispending(&later));
    // The caller's mask is back.
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGUSR1));
    schedule_cancel(s.get(), &later);
    sigaction(SIGUSR1, &old, nullptr);
}
