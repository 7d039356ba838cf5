#include "common/watchdog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/list.h"
#include "common/log.h"

namespace {

// The notify address: '@' names an abstract socket. Returns the address length or -1.
socklen_t notify_address(const char *name, sockaddr_un *sun)
{
    memset(sun, 0, sizeof(*sun));
    sun->sun_family = AF_UNIX;
    size_t len = strlen(name);
    if (len == 0 || len >= sizeof(sun->sun_path)) {
        errno = EINVAL;
        return static_cast<socklen_t>(-1);
    }
    memcpy(sun->sun_path, name, len);
    if (name[0] == '@')
        sun->sun_path[0] = '\0'; // abstract: the length says where the name ends
    else
        len++; // count the path's terminating NUL as the kernel does
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
}

} // namespace

int watchdog_notify(const char *fmt, ...)
{
    char msg[64];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) >= sizeof(msg)) {
        errno = ENOBUFS;
        return -1;
    }
    const char *name = getenv("NOTIFY_SOCKET");
    if (!name) {
        errno = ENOENT;
        return -1;
    }
    sockaddr_un sun;
    socklen_t alen = notify_address(name, &sun);
    if (alen == static_cast<socklen_t>(-1))
        return -1;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;

    iovec iov = {msg, static_cast<size_t>(n) + 1};
    union {
        char buf[CMSG_SPACE(sizeof(ucred))];
        cmsghdr align;
    } control = {};
    msghdr mh = {};
    mh.msg_name = &sun;
    mh.msg_namelen = alen;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control.buf;
    mh.msg_controllen = sizeof(control.buf);
    cmsghdr *cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_CREDENTIALS;
    cm->cmsg_len = CMSG_LEN(sizeof(ucred));
    ucred cred = {getpid(), geteuid(), getegid()};
    memcpy(CMSG_DATA(cm), &cred, sizeof(cred));

    ssize_t r = sendmsg(fd, &mh, MSG_NOSIGNAL);
    if (r < 0) {
        // Another namespace may refuse our credentials; the message matters more.
        mh.msg_control = nullptr;
        mh.msg_controllen = 0;
        r = sendmsg(fd, &mh, MSG_NOSIGNAL);
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return r < 0 ? -1 : 0;
}

watchdog *watchdog_create(const watchdog_ops *ops, void *user)
{
    auto *wd = static_cast<watchdog *>(calloc(1, sizeof(watchdog)));
    if (!wd) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    wd->health = ops->health;
    wd->schedule = ops->schedule;
    wd->cancel = ops->cancel;
    wd->user = user;

    const char *usec = getenv("WATCHDOG_USEC");
    if (!usec)
        return wd;
    errno = 0;
    char *end;
    unsigned long long interval = strtoull(usec, &end, 0);
    if (errno == ERANGE) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Failed to enable systemd watchdog: %s", strerror(errno));
        free(wd);
        return nullptr;
    }
    const char *pid = getenv("WATCHDOG_PID");
    if (pid && strtoull(pid, nullptr, 0) != static_cast<unsigned long long>(getpid()))
        return wd;
    unsigned long long period = interval / 2000;
    wd->period = period > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(period);
    ulog(LOG_COMP_COMMON, ULOG_DEBUG, "Feeding systemd watchdog every %u.%02us", wd->period / 1000,
         (wd->period % 1000) / 10);
    return wd;
}

void watchdog_ready(watchdog *wd)
{
    if (wd->ready)
        return;
    wd->ready = 1;
    watchdog_notify("READY=1\nMAINPID=%u\n", static_cast<unsigned>(getpid()));
    if (wd->period == 0)
        return;
    ulog(LOG_COMP_COMMON, ULOG_DEBUG, "scheduling in %u ms", wd->period);
    wd->schedule(wd->user, &wd->feed, wd->period, watchdog_feed);
}

void watchdog_feed(timer *t)
{
    watchdog *wd = container_of(t, &watchdog::feed);
    if (!wd->health || wd->health(wd->user) == 0)
        watchdog_notify("WATCHDOG=1\nMAINPID=%u\n", static_cast<unsigned>(getpid()));
    wd->schedule(wd->user, &wd->feed, wd->period, watchdog_feed);
}

void watchdog_destroy(watchdog *wd)
{
    if (!wd)
        return;
    if (wd->ready)
        watchdog_notify("STOPPING=1\nMAINPID=%u\n", static_cast<unsigned>(getpid()));
    else
        watchdog_notify("ERRNO=%d\nMAINPID=%u\n", errno, static_cast<unsigned>(getpid()));
    if (timer_ispending(&wd->feed))
        wd->cancel(wd->user, &wd->feed);
    free(wd);
}
