#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include "common/watchdog.h"

namespace {

// A notify listener on a path or an abstract name, receiving with credentials.
struct listener {
    int fd = -1;
    std::string env;
    explicit listener(bool abstract)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
        sockaddr_un sun = {};
        sun.sun_family = AF_UNIX;
        std::string name = "ugw-notify-test-" + std::to_string(getpid());
        socklen_t len;
        if (abstract) {
            memcpy(sun.sun_path + 1, name.data(), name.size());
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
            env = "@" + name;
        } else {
            env = std::string(testing::TempDir()) + name;
            unlink(env.c_str());
            memcpy(sun.sun_path, env.data(), env.size());
            len = sizeof(sun);
        }
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sun), len), 0) << strerror(errno);
        setenv("NOTIFY_SOCKET", env.c_str(), 1);
    }
    ~listener()
    {
        close(fd);
        if (env[0] != '@')
            unlink(env.c_str());
        unsetenv("NOTIFY_SOCKET");
    }
    // The next datagram, exactly, or "" after a bounded wait; creds checked when present.
    std::string next(int wait_ms = 2000)
    {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) != 1)
            return "";
        char buf[256];
        union {
            char b[CMSG_SPACE(sizeof(ucred))];
            cmsghdr a;
        } ctl;
        iovec iov = {buf, sizeof(buf)};
        msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl.b;
        mh.msg_controllen = sizeof(ctl.b);
        ssize_t n = recvmsg(fd, &mh, 0);
        if (n < 0)
            return "";
        cmsghdr *cm = CMSG_FIRSTHDR(&mh);
        EXPECT_NE(cm, nullptr);
        if (cm && cm->cmsg_type == SCM_CREDENTIALS) {
            ucred c;
            memcpy(&c, CMSG_DATA(cm), sizeof(c));
            EXPECT_EQ(c.pid, getpid());
            EXPECT_EQ(c.uid, geteuid());
        }
        return std::string(buf, static_cast<size_t>(n));
    }
};

struct fake_host {
    int scheduled = 0;
    int cancelled = 0;
    uint32_t last_ms = 0;
    int health = 0;
    timer *armed = nullptr;
};

int fake_health(void *u)
{
    return static_cast<fake_host *>(u)->health;
}

void fake_schedule(void *u, timer *t, uint32_t ms, timer_fn cb)
{
    auto *h = static_cast<fake_host *>(u);
    h->scheduled++;
    h->last_ms = ms;
    h->armed = t;
    t->callback = cb;
    t->flags |= TIMER_PENDING;
}

void fake_cancel(void *u, timer *t)
{
    static_cast<fake_host *>(u)->cancelled++;
    t->flags &= static_cast<uint8_t>(~TIMER_PENDING);
}

const watchdog_ops ops = {.health = fake_health, .schedule = fake_schedule, .cancel = fake_cancel};

std::string with_pid(const char *first)
{
    return std::string(first) + "\nMAINPID=" + std::to_string(getpid()) + "\n" + std::string(1, '\0');
}

} // namespace

TEST(Watchdog, NotifyWithoutSocketFailsQuietly)
{
    unsetenv("NOTIFY_SOCKET");
    errno = 0;
    EXPECT_EQ(watchdog_notify("READY=1\n"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(watchdog_notify("%s", std::string(64, 'x').c_str()), -1);
    EXPECT_EQ(errno, ENOBUFS);
}

TEST(Watchdog, ReadyFeedAndStopDatagramsOnPathAndAbstractName)
{
    for (bool abstract : {false, true}) {
        SCOPED_TRACE(abstract ? "abstract" : "path");
        listener l(abstract);
        setenv("WATCHDOG_USEC", "10000000", 1);
        unsetenv("WATCHDOG_PID");
        fake_host host;
        watchdog *wd = watchdog_create(&ops, &host);
        ASSERT_NE(wd, nullptr);
        EXPECT_EQ(wd->period, 5000u);
        watchdog_ready(wd);
        EXPECT_EQ(l.next(), with_pid("READY=1"));
        watchdog_ready(wd); // only the first call acts
        EXPECT_EQ(host.scheduled, 1);
        EXPECT_EQ(host.last_ms, 5000u);

        host.armed->callback(host.armed);
        EXPECT_EQ(l.next(), with_pid("WATCHDOG=1"));
        host.health = 1; // withheld, but the timer keeps running
        host.armed->callback(host.armed);
        EXPECT_EQ(host.scheduled, 3);
        watchdog_destroy(wd);
        EXPECT_EQ(l.next(), with_pid("STOPPING=1"));
        EXPECT_EQ(host.cancelled, 1);
        unsetenv("WATCHDOG_USEC");
    }
}

TEST(Watchdog, OtherPidDisablesFeedingNeverReadyReportsErrno)
{
    listener l(true);
    setenv("WATCHDOG_USEC", "10000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid() + 1).c_str(), 1);
    fake_host host;
    watchdog *wd = watchdog_create(&ops, &host);
    ASSERT_NE(wd, nullptr);
    EXPECT_EQ(wd->period, 0u);
    errno = EIO;
    watchdog_destroy(wd);
    EXPECT_EQ(l.next(), with_pid(("ERRNO=" + std::to_string(EIO)).c_str()));

    setenv("WATCHDOG_USEC", "99999999999999999999999", 1);
    EXPECT_EQ(watchdog_create(&ops, &host), nullptr);
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}
