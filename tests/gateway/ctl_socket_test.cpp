// The management socket with real clients: privilege by user id, event
// subscriptions and their delivery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <future>
#include <grp.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/schedule.h"
#include "common/uclient.h"
#include "ctl_fixture.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

using ctl_test::Gateway;

// Sends one request of the type's fixed size; the reply's status, or -1.
long exchange(uclient *c, uint32_t type, size_t *reply_len = nullptr)
{
    std::vector<uint8_t> m(ctl_msg_catalogue[type].size, 0);
    ctl_put32(m.data(), 0, type);
    const uint8_t *reply;
    ssize_t n = uclient_request(c, m.data(), m.size(), &reply);
    if (n < 8 || ctl_get32(reply, 0) != CTL_STATUS)
        return -1;
    if (reply_len)
        *reply_len = static_cast<size_t>(n);
    return ctl_get32(reply, 4);
}

uint32_t used_objects()
{
    uint32_t n = 0;
    for (mempool *p = mempool_first(); p; p = mempool_next(p))
        n += p->info.memUsedObjects;
    return n;
}

TEST_F(Gateway, OtherUserGetsEpermForEveryPrivilegedType)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another user id";
    const std::vector<uint32_t> privileged_only = {10, 12, 14, 18, 20, 22, 26, 28, 33, 35, 37, 41, 43,
                                                   45, 46, 50, 52, 54, 55, 59, 61, 63, 64, 90, 97, 100};
    uint32_t used = used_objects();
    int locks = ctl->server->locks;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Neither uid nor gid in common with the daemon.
        if (setgroups(0, nullptr) < 0 || setresgid(65534, 65534, 65534) < 0 ||
            setresuid(65534, 65534, 65534) < 0)
            _exit(100);
        uclient *c = uclient_open(path());
        if (!c)
            _exit(101);
        int bad = 0;
        for (uint32_t type : privileged_only) {
            size_t len = 0;
            long status = exchange(c, type, &len);
            if (status != EPERM || len != 8) {
                fprintf(stderr, "%s: status %ld, %zu bytes\n", ugwd_ctl_msg_name(type), status, len);
                bad++;
            }
        }
        // Nor may it take the configuration lock (the parent sees the count).
        uclient_lock(c);
        uclient_close(c);
        _exit(bad > 99 ? 99 : bad);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    bool done = serve_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(done);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "privileged types that answered otherwise";
    // Logged, as far as the limit on one untrusted source's lines lets them through.
    size_t denied = ctl_test::logged("Permission denied for control command");
    EXPECT_GE(denied, std::min<size_t>(privileged_only.size(), LOG_LIMIT_BURST));
    EXPECT_LE(denied, privileged_only.size());
    EXPECT_FALSE(timer_ispending(&ctl->register_timer));
    EXPECT_EQ(ctl->server->locks, locks);
    EXPECT_EQ(used_objects(), used);
}

struct Subscriber {
    uclient *c;
    explicit Subscriber(const char *path) : c(uclient_open(path)) {}
    ~Subscriber() { uclient_close(c); }
    // Events waiting on its socket, by their first record word.
    std::vector<uint32_t> drain(uint32_t type)
    {
        std::vector<uint32_t> seen;
        const uint8_t *p;
        ssize_t n;
        while ((n = uclient_recv_event(c, &p)) >= 0) {
            EXPECT_EQ(static_cast<size_t>(n), ctl_msg_catalogue[type].size);
            EXPECT_EQ(ctl_get32(p, 0), type);
            seen.push_back(ctl_get32(p, 8));
        }
        return seen;
    }
};

std::vector<uint8_t> event(uint32_t type, uint32_t seq)
{
    std::vector<uint8_t> e(ctl_msg_catalogue[type].size);
    ugwd_ctl_msg_init(e.data(), type);
    ctl_put32(e.data(), 8, seq);
    return e;
}

TEST_F(Gateway, EventsReachEachSubscriberOnceAndASilentOneDelaysNobody)
{
    Subscriber reader(path()), silent(path()), other(path()), refused(path());
    ASSERT_TRUE(reader.c && silent.c && other.c && refused.c);
    auto join = [&](Subscriber &s, uint32_t type) {
        uint8_t key[4];
        ctl_put32(key, 0, type);
        auto f = std::async(std::launch::async, [&] { return uclient_join_group(s.c, key, 4); });
        EXPECT_TRUE(serve_until([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return f.get();
    };
    EXPECT_EQ(join(reader, CTL_NEW_SERVICE), 0);
    EXPECT_EQ(join(silent, CTL_NEW_SERVICE), 0);
    EXPECT_EQ(join(other, CTL_DELETE_SERVICE), 0);
    EXPECT_EQ(join(refused, CTL_REMOVE_SERVICE), -1);
    EXPECT_EQ(ctl_test::logged("Subscribe New-Service"), 2u);
    EXPECT_EQ(ctl_test::logged("Invalid event group 61"), 1u);

    // Far more events than a socket buffer holds: the silent member's queue
    // fills and it loses events, the reader still gets every one, in order.
    constexpr uint32_t N = 400;
    std::vector<uint32_t> got;
    int reached_silent = 0;
    for (uint32_t i = 0; i < N; i++) {
        auto e = event(CTL_NEW_SERVICE, i);
        int sent = ugwd_ctl_publish(ctl, e.data(), e.size());
        ASSERT_GE(sent, 1);
        reached_silent += sent - 1;
        for (uint32_t seq : reader.drain(CTL_NEW_SERVICE))
            got.push_back(seq);
    }
    std::vector<uint32_t> want(N);
    for (uint32_t i = 0; i < N; i++)
        want[i] = i;
    EXPECT_EQ(got, want);
    EXPECT_LT(reached_silent, static_cast<int>(N));
    EXPECT_EQ(other.drain(CTL_DELETE_SERVICE), std::vector<uint32_t>{});

    auto del = event(CTL_DELETE_SERVICE, 7);
    EXPECT_EQ(ugwd_ctl_publish(ctl, del.data(), del.size()), 1);
    EXPECT_EQ(other.drain(CTL_DELETE_SERVICE), std::vector<uint32_t>{7});
    EXPECT_TRUE(reader.drain(CTL_NEW_SERVICE).empty());

    // Only whole events of the ten event types go out.
    auto flow = event(CTL_NEW_FLOW, 1);
    ctl_put32(flow.data(), 1920, 1);
    flow.resize(flow.size() + 528);
    EXPECT_EQ(ugwd_ctl_publish(ctl, flow.data(), flow.size()), -1);
    auto get = event(CTL_GET_SERVICE, 1);
    EXPECT_EQ(ugwd_ctl_publish(ctl, get.data(), get.size()), -1);
    EXPECT_EQ(ugwd_ctl_publish(ctl, del.data(), 7), -1);
}

} // namespace

namespace {

bool fired;
void mark(timer *)
{
    fired = true;
}

ugwd_ctl *signalled;
void wake(int)
{
    ugwd_ctl_wakeup(signalled);
}

// With no controller a step serves management requests and fires due timers,
// then returns by itself.
TEST_F(Gateway, IdleStepServesRequestsAndTimers)
{
    uclient *c = uclient_open(path());
    ASSERT_NE(c, nullptr);
    timer t{};
    fired = false;
    schedule_timer(ctl->sched, &t, 10, mark);
    auto f = std::async(std::launch::async, [&] { return exchange(c, CTL_GET_CONTROL); });
    while (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        ASSERT_EQ(ugwd_ctl_step(ctl, 0), 0);
    EXPECT_EQ(f.get(), ENOENT);
    if (!fired)
        ugwd_ctl_step(ctl, 0);
    EXPECT_TRUE(fired);
    uclient_close(c);
}

// A client that holds the configuration lock keeps the step serving only IPC;
// the stop signal's wake-up lets go of it so that the step returns.
TEST_F(Gateway, WakeupReleasesAHeldLock)
{
    uclient *c = uclient_open(path());
    ASSERT_NE(c, nullptr);
    signalled = ctl;
    struct sigaction sa = {}, old;
    sa.sa_handler = wake;
    sigaction(SIGUSR1, &sa, &old);
    pthread_t self = pthread_self();
    sigset_t usr1, saved;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    // Only this thread takes the signal.
    pthread_sigmask(SIG_BLOCK, &usr1, &saved);
    auto f = std::async(std::launch::async, [&] {
        int r = uclient_lock(c);
        pthread_kill(self, SIGUSR1);
        return r;
    });
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    while (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        ugwd_ctl_step(ctl, 0);
    EXPECT_EQ(f.get(), 0);
    ugwd_ctl_step(ctl, 0); // returns: the lock is gone
    EXPECT_EQ(ctl->server->locks, 0);
    sigaction(SIGUSR1, &old, nullptr);
    uclient_close(c);
}

} // namespace

namespace {

TEST_F(Gateway, LeaseDirectoryMustBeUsable)
{
    std::string bad = dir + "/missing/leases";
    EXPECT_EQ(ugwd_ctl_create((dir + "/sock2").c_str(), bad.c_str(), 0, false), nullptr);
    EXPECT_EQ(ctl_test::logged("Failed to access " + bad + ": No such file or directory"), 1u);

    std::string good = dir + "/leases";
    ugwd_ctl *other = ugwd_ctl_create((dir + "/sock3").c_str(), good.c_str(), 3, true);
    ASSERT_NE(other, nullptr);
    EXPECT_STREQ(other->lease6_path, (good + "6").c_str());
    EXPECT_EQ(other->scope_id, 3u);
    EXPECT_EQ(other->server->locks, 1); // started to be configured
    std::string sock = other->server->path;
    ugwd_ctl_free(other);
    EXPECT_NE(access(sock.c_str(), F_OK), 0);
}

} // namespace
