#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <dlfcn.h>
#include <mutex>
#include <fcntl.h>
#include <cstdarg>
#include <functional>
#include <sys/stat.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/sockaddr.h"
#include "common/uclient.h"
#include "common/userver.h"

namespace {

std::string socket_path(const char *tag)
{
    return std::string(testing::TempDir()) + "ugw-ipc-" + tag + "-" + std::to_string(getpid());
}

int count_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Requests: "size N" answers N patterned bytes; "trust" answers "1" or "0".
struct host {
    std::atomic<int> messages{0};
    std::atomic<int> joins{0};
    std::atomic<int> health{0};
};

// Calls that offered room for a reply but no buffer to write it in.
std::atomic<int> null_buffers{0};

int host_request(void *, uint8_t *p, size_t len, size_t cap, int trusted)
{
    if (!p && cap > 0) {
        null_buffers++;
        return -1;
    }
    if (len == 0) {
        // An empty request is answered like any other: here with 8 bytes.
        if (cap < 8)
            return 8;
        memcpy(p, "empty ok", 8);
        return 8;
    }
    std::string req(reinterpret_cast<char *>(p), len);
    if (req == "trust") {
        p[0] = trusted ? '1' : '0';
        return 1;
    }
    if (req.rfind("size ", 0) == 0) {
        size_t n = std::stoul(req.substr(5));
        if (n > cap)
            return static_cast<int>(n);
        for (size_t i = 0; i < n; i++)
            p[i] = static_cast<uint8_t>(i * 7);
        return static_cast<int>(n);
    }
    return -1;
}

void host_message(void *u, const uint8_t *, size_t)
{
    static_cast<host *>(u)->messages++;
}

int host_subscribe(void *u, list_link *, const uint8_t *, size_t)
{
    static_cast<host *>(u)->joins++;
    return 0;
}

int host_health(void *u)
{
    return static_cast<host *>(u)->health;
}

const userver_ops ops = {
    .request = host_request,
    .message = host_message,
    .subscribe = host_subscribe,
    .health = host_health,
};

// The server served from its own thread, as the event loop would.
struct served {
    host h;
    userver *server;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::string path;

    explicit served(const char *tag, int locks = 0) : path(socket_path(tag))
    {
        server = userver_listen(path.c_str(), 0, locks, &ops, &h);
        EXPECT_NE(server, nullptr);
        thread = std::thread([this] {
            while (!stop) {
                pollfd p = {userver_fd(server), POLLIN, 0};
                if (poll(&p, 1, 20) > 0)
                    userver_process(server);
            }
        });
    }
    ~served()
    {
        stop = true;
        userver_clear_locks(server);
        thread.join();
        userver_close(server);
    }
};

// Runs f in a child process under uid/gid 65534; the child's exit status is f's result.
int as_nobody(const std::function<int()> &f)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0)
            _exit(100);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// Starts f in a child process under the uid and gid; the child reports on
// `report` (its write end) and ends when `hold` (its read end) reaches EOF.
pid_t spawn_as(uid_t uid, const std::function<int(int report)> &f, int *report_fd, int *hold_fd)
{
    int report[2], hold[2];
    if (pipe(report) < 0 || pipe(hold) < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        close(hold[1]);
        if (setresgid(uid, uid, uid) < 0 || setresuid(uid, uid, uid) < 0)
            _exit(100);
        int r = f(report[1]);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        _exit(r);
    }
    close(report[1]);
    close(hold[0]);
    *report_fd = report[0];
    *hold_fd = hold[1];
    return pid;
}

// A client socket as a careless program has one: bound, connected, read by hand.
int raw_client(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un self = {};
    self.sun_family = AF_UNIX;
    umsg_addr server;
    umsg_address(&server, path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof(sa_family_t)) < 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&server.sun), server.len) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads one datagram, waiting up to ms; its length, or -1.
ssize_t read_datagram(int fd, uint8_t *buf, size_t cap, int ms = 5000)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1)
        return -1;
    return recv(fd, buf, cap, 0);
}

template <class F> bool wait_for(F done, int ms = 5000)
{
    for (int waited = 0; !done(); waited += 5) {
        if (waited >= ms)
            return false;
        usleep(5000);
    }
    return true;
}

// Log lines of the server thread, kept for a test to look at.
std::mutex logged_mutex;
std::vector<std::string> logged;

void capture(int, const char *, unsigned, const char *fmt, ...)
{
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(logged_mutex);
    logged.push_back(line);
}

bool was_logged(const std::string &needle)
{
    std::lock_guard<std::mutex> lock(logged_mutex);
    for (auto &l : logged)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

// sendmsg as the C library has it, except that the call numbered fail_at
// (counting from 1 after arming, on fail_fd only) fails once with EINTR.
std::atomic<int> fail_fd{-1};
std::atomic<int> fail_at{0};

} // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr *msg, int flags)
{
    using fn = ssize_t (*)(int, const msghdr *, int);
    static fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "sendmsg"));
    if (fd == fail_fd && fail_at > 0 && --fail_at == 0) {
        errno = EINTR;
        return -1;
    }
    return real(fd, msg, flags);
}

TEST(Ipc, SendRetriesThePartThatWasInterrupted)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    fail_fd = sv[0];
    // A bare answer, the header alone: interrupted, it must still go.
    fail_at = 1;
    ASSERT_EQ(umsg_send(sv[0], UMSG_HEALTH, UMSG_F_ACK, 9, nullptr, 0, nullptr, nullptr, -1), 0);
    EXPECT_EQ(fail_at, 0);
    uint8_t buf[UMSG_DATAGRAM];
    ASSERT_EQ(recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT), 4);
    EXPECT_EQ(buf[0], UMSG_HEALTH);
    EXPECT_EQ(buf[1], UMSG_F_ACK);
    // The second part of three: sent again, not skipped or doubled.
    std::vector<uint8_t> msg(9000);
    for (size_t i = 0; i < msg.size(); i++)
        msg[i] = static_cast<uint8_t>(i * 3);
    fail_at = 2;
    ASSERT_EQ(umsg_send(sv[0], UMSG_REQUEST, 0, 10, msg.data(), msg.size(), nullptr, nullptr, -1), 0);
    std::vector<uint8_t> got;
    ssize_t n;
    while ((n = recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.insert(got.end(), buf + 4, buf + n);
    EXPECT_EQ(got, msg);
    fail_fd = -1;
    close(sv[0]);
    close(sv[1]);
}

TEST(Ipc, RequestRepliesOfAnySizeArriveWhole)
{
    served s("req");
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    for (size_t n : {0, 1, 4092, 4093, 9000, 70000}) {
        std::string req = "size " + std::to_string(n);
        const uint8_t *reply = nullptr;
        ASSERT_EQ(uclient_request(c, req.data(), req.size(), &reply), static_cast<ssize_t>(n));
        EXPECT_EQ(reply == nullptr, n == 0);
        for (size_t i = 0; i < n; i++)
            ASSERT_EQ(reply[i], static_cast<uint8_t>(i * 7)) << n << " at " << i;
    }
    std::string big(UMSG_PAYLOAD + 1, 'x');
    const uint8_t *reply;
    EXPECT_EQ(uclient_request(c, big.data(), big.size(), &reply), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(uclient_request(c, "nope", 4, &reply), -1);
    EXPECT_EQ(errno, EPERM);
    uclient_close(c);
}

TEST(Ipc, FragmentsAreSplitAt4092AndCheckedOnReassembly)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    std::vector<uint8_t> msg(9000);
    for (size_t i = 0; i < msg.size(); i++)
        msg[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(umsg_send(sv[0], UMSG_REQUEST, 0, 77, msg.data(), msg.size(), nullptr, nullptr, -1), 0);
    std::vector<size_t> sizes;
    std::vector<uint8_t> flags;
    for (int i = 0; i < 3; i++) {
        uint8_t buf[UMSG_DATAGRAM];
        ssize_t n = recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT);
        ASSERT_GT(n, 4);
        sizes.push_back(static_cast<size_t>(n) - 4);
        flags.push_back(buf[1]);
        EXPECT_EQ(buf[2] << 8 | buf[3], 77);
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{4092, 4092, 816}));
    EXPECT_EQ(flags, (std::vector<uint8_t>{UMSG_F_MORE, UMSG_F_MORE, 0}));

    // Reassembled by a client reading the same socket.
    uclient c = {};
    array_init(&c.buffer, 1);
    sigemptyset(&c.sigmask);
    ASSERT_EQ(umsg_send(sv[0], UMSG_REQUEST, 0, 77, msg.data(), msg.size(), nullptr, nullptr, -1), 0);
    ASSERT_EQ(uclient_recv(&c, sv[1], 0), static_cast<ssize_t>(9004));
    EXPECT_EQ(memcmp(array_at<uint8_t>(&c.buffer, 4), msg.data(), msg.size()), 0);
    EXPECT_EQ(c.head_len, 0u);

    // Asked to split: the head aside, the rest from the buffer's front; a
    // head that the first fragment cannot hold, or a message of one
    // fragment, comes whole.
    for (size_t split : {size_t{100}, size_t{4092}, size_t{4093}}) {
        for (size_t len : {size_t{9000}, size_t{300}}) {
            c.split = split;
            ASSERT_EQ(umsg_send(sv[0], UMSG_REQUEST, 0, 78, msg.data(), len, nullptr, nullptr, -1),
                      0);
            ASSERT_EQ(uclient_recv(&c, sv[1], 0), static_cast<ssize_t>(4 + len));
            bool apart = len > UMSG_PAYLOAD && split <= UMSG_PAYLOAD;
            ASSERT_EQ(c.head_len, apart ? 4 + split : 0) << split << " " << len;
            const uint8_t *rest = array_data<uint8_t>(&c.buffer);
            const uint8_t *h = apart ? c.head : rest;
            EXPECT_EQ(h[0], UMSG_REQUEST);
            EXPECT_EQ(h[1], 0) << "the last fragment's header";
            EXPECT_EQ(h[3], 78);
            if (apart) {
                EXPECT_EQ(memcmp(c.head + 4, msg.data(), split), 0);
                ASSERT_EQ(array_length(&c.buffer), len - split);
                EXPECT_EQ(memcmp(rest, msg.data() + split, len - split), 0);
            } else {
                EXPECT_EQ(memcmp(rest + 4, msg.data(), len), 0);
            }
        }
    }
    c.split = 0;

    // A fragment of another message in the middle is refused.
    umsghdr h = {UMSG_REQUEST, UMSG_F_MORE, {0, 1}};
    uint8_t d[8] = {};
    memcpy(d, &h, 4);
    send(sv[0], d, 8, 0);
    h.seq[1] = 2;
    h.flags = 0;
    memcpy(d, &h, 4);
    send(sv[0], d, 8, 0);
    EXPECT_EQ(uclient_recv(&c, sv[1], 0), -1);
    EXPECT_EQ(errno, EBADMSG);

    // An endless stream of fragments is cut off at the cap.
    std::thread flood([&] {
        std::vector<uint8_t> part(UMSG_DATAGRAM, 0);
        part[1] = UMSG_F_MORE;
        for (size_t sent = 0; sent <= UMSG_MESSAGE_MAX + UMSG_DATAGRAM; sent += UMSG_PAYLOAD)
            if (send(sv[0], part.data(), part.size(), 0) < 0)
                break;
    });
    EXPECT_EQ(uclient_recv(&c, sv[1], 2), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    shutdown(sv[1], SHUT_RDWR);
    close(sv[1]);
    flood.join();
    close(sv[0]);
    array_purge(&c.buffer);
}

TEST(Ipc, UntrustedClientsAreRefusedPrivilegedOperations)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another uid";
    served s("trust");
    chmod(s.path.c_str(), 0777);
    int r = as_nobody([&] {
        uclient *c = uclient_open(s.path.c_str());
        if (!c)
            return 1;
        const uint8_t *reply;
        if (uclient_request(c, "trust", 5, &reply) != 1 || reply[0] != '0')
            return 2;
        if (uclient_lock(c) != -1)
            return 3;
        if (uclient_unlock(c) != -1 || errno != EPERM)
            return 4;
        uint8_t cfg[12] = {5};
        if (uclient_set_log(c, cfg) != -1)
            return 5;
        if (uclient_send(c, "x", 1) != 0)
            return 6;
        if (uclient_health_check(c) != 1)
            return 7; // health is open to all
        uclient_close(c);
        return 0;
    });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(s.server->locks, 0);
    EXPECT_EQ(s.h.messages, 0);
    EXPECT_NE(log_config.level, 5);

    // Datagrams that arrive without credentials are never trusted.
    umsghdr h = {UMSG_LOCK, UMSG_F_WANT_ACK, {0, 1}};
    umsg_addr nowhere = {};
    userver_handle(s.server, &h, nullptr, 0, &nowhere, &umsg_no_cred, -1);
    EXPECT_EQ(s.server->locks, 0);
}

TEST(Ipc, LocksCountAndVanishedHoldersReleaseThem)
{
    served s("lock");
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(uclient_health_check(c), 1);
    EXPECT_EQ(uclient_lock(c), 0);
    EXPECT_EQ(uclient_lock(c), 0);
    EXPECT_EQ(uclient_health_check(c), 0);
    EXPECT_EQ(uclient_unlock(c), 0);
    EXPECT_EQ(uclient_health_check(c), 0);
    EXPECT_EQ(uclient_unlock(c), 0);
    EXPECT_EQ(uclient_unlock(c), 0); // at 0 it stays 0
    EXPECT_EQ(uclient_health_check(c), 1);

    // A process that locks and dies: its lock goes with it.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        uclient *k = uclient_open(s.path.c_str());
        char ok = k && uclient_lock(k) == 0 ? 'y' : 'n';
        write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(uclient_health_check(c), 0);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    // The server looks for vanished holders about once a second.
    int healthy = 0;
    for (int i = 0; i < 100 && !healthy; i++) {
        healthy = uclient_health_check(c);
        if (!healthy)
            usleep(50 * 1000);
    }
    EXPECT_EQ(healthy, 1);
    close(ready[0]);
    close(ready[1]);
    uclient_close(c);
}

TEST(Ipc, LogSettingsAreReadAndSetThroughAttachedClients)
{
    log_cfg saved = log_config;
    served below("below");
    served top("top");
    uclient *down = uclient_open(below.path.c_str());
    ASSERT_NE(down, nullptr);
    userver_attach_client(top.server, down);
    uclient *c = uclient_open(top.path.c_str());
    log_cfg want = {3, 0x12, {0, 0, 0, 0, 0, 9}, 0x80};
    ASSERT_EQ(uclient_set_log(c, reinterpret_cast<uint8_t *>(&want)), 0);
    log_cfg got;
    ASSERT_EQ(uclient_get_log(c, reinterpret_cast<uint8_t *>(&got)), 0);
    EXPECT_EQ(memcmp(&got, &want, sizeof(got)), 0);
    uint8_t short_cfg[11] = {};
    EXPECT_EQ(uclient_transact(c, short_cfg, sizeof(short_cfg), UMSG_SET_LOG, -1), -1);
    EXPECT_EQ(errno, EPERM);
    below.h.health = -1;
    EXPECT_EQ(uclient_health_check(c), 0); // a failing attached client fails the check
    uclient_close(c);
    uclient_close(down);
    log_config = saved;
}

TEST(Ipc, JoinNotifyAndPruneKeepLiveMembers)
{
    served s("join");
    uclient *a = uclient_open(s.path.c_str());
    uclient *b = uclient_open(s.path.c_str());
    ASSERT_TRUE(a && b);
    EXPECT_EQ(uclient_join_group(a, "k", 1), 0);
    EXPECT_EQ(uclient_join_group(a, "k", 1), 0); // the second join replaces the first
    EXPECT_EQ(uclient_join_group(b, "k", 1), 0);
    EXPECT_EQ(uclient_transact(a, "k", 1, UMSG_JOIN, -1), -1); // no descriptor
    EXPECT_EQ(s.server->nmembers, 2u);

    // Over more than one pruning period nobody alive is pruned.
    for (int round = 0; round < 3; round++) {
        int n = 0;
        for (userver_member *m : list_records<&userver_member::member>(&s.server->members)) {
            std::string ev = "event" + std::to_string(round);
            EXPECT_EQ(userver_notify(s.server, m, ev.data(), ev.size()), 0);
            n++;
        }
        EXPECT_EQ(n, 2);
        for (uclient *c : {a, b}) {
            pollfd p = {uclient_event_fd(c), POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, 2000), 1);
            const uint8_t *payload;
            ssize_t len = uclient_recv_event(c, &payload);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(payload), static_cast<size_t>(len)),
                      "event" + std::to_string(round));
        }
        usleep(600 * 1000); // let pruning periods pass; the server prunes on its own
        EXPECT_EQ(uclient_health_check(a), 1);
        EXPECT_EQ(s.server->nmembers, 2u);
    }
    // A member whose socket is gone is pruned at the next serving after the period.
    uclient_close(b);
    int members = 2;
    for (int i = 0; i < 30 && members != 1; i++) {
        usleep(100 * 1000);
        uclient_health_check(a);
        members = static_cast<int>(s.server->nmembers);
    }
    EXPECT_EQ(members, 1);
    uclient_close(a);
}

TEST(Ipc, StrayDescriptorsAndSilentMembersCostNothing)
{
    served s("stray");
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(uclient_join_group(c, "g", 1), 0);
    int before = count_fds();
    umsg_addr server;
    umsg_address(&server, s.path.c_str());
    int raw = socket(AF_UNIX, SOCK_DGRAM, 0);
    int devnull = open("/dev/null", O_RDONLY);
    // Types that neither join nor lock; each datagram carries a descriptor
    // the server must close.
    const uint8_t types[] = {UMSG_REQUEST, UMSG_LEAVE, UMSG_HEALTH, UMSG_GET_LOG, 8, 200};
    for (int i = 0; i < 10000; i++) {
        umsg_send(raw, types[i % 6], 0, static_cast<uint16_t>(i), "x", 1, &server,
                  nullptr, devnull);
        if (i % 8 == 7)
            uclient_health_check(c); // paces the flood below the socket's queue
    }
    EXPECT_EQ(uclient_health_check(c), 1);
    // A member that never reads its events: notifications are dropped, not blocking.
    auto *m = list_first_record<&userver_member::member>(&s.server->members);
    int failed = 0;
    for (int i = 0; i < 5000; i++)
        failed += userver_notify(s.server, m, "e", 1) < 0;
    EXPECT_GT(failed, 0);
    EXPECT_EQ(uclient_health_check(c), 1);
    close(raw);
    close(devnull);
    EXPECT_LE(count_fds(), before);
    uclient_close(c);
}

TEST(Ipc, OpenRefusesLongPathsAndNamesItselfExactly)
{
    std::string longpath(108, 'a');
    EXPECT_EQ(uclient_open(longpath.c_str()), nullptr);
    served s("name");
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    sockaddr_un self = {};
    socklen_t len = sizeof(self);
    getsockname(c->fd, reinterpret_cast<sockaddr *>(&self), &len);
    EXPECT_LT(len, sizeof(self)); // exact length: no NUL padding in the name
    EXPECT_EQ(unix_socket_exists(&self), 1);
    uclient_close(c);
}

TEST(Ipc, EmptyRequestIsAnsweredFromARealBuffer)
{
    served s("empty");
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    int before = null_buffers;
    const uint8_t *reply = nullptr;
    ASSERT_EQ(uclient_request(c, nullptr, 0, &reply), 8);
    EXPECT_EQ(memcmp(reply, "empty ok", 8), 0);
    EXPECT_EQ(null_buffers, before);
    uclient_close(c);
}

TEST(Ipc, LargeReplyGoesOutAsThePeerReadsWhileOthersAreServed)
{
    served s("large");
    const size_t size = 40 * 1000 * 1000;
    int slow = raw_client(s.path);
    ASSERT_GE(slow, 0);
    std::string req = "size " + std::to_string(size);
    ASSERT_EQ(umsg_send(slow, UMSG_REQUEST, UMSG_F_WANT_ACK, 1, req.data(), req.size(), nullptr,
                        nullptr, -1),
              0);
    std::vector<uint8_t> buf(UMSG_DATAGRAM);
    ssize_t n = read_datagram(slow, buf.data(), buf.size());
    ASSERT_GT(n, 4);
    ASSERT_EQ(buf[1], UMSG_F_ACK | UMSG_F_MORE) << "the first part of a reply";

    // The reply waits for its reader; the server serves everyone else.
    uclient *other = uclient_open(s.path.c_str());
    ASSERT_NE(other, nullptr);
    for (int i = 0; i < 50; i++) {
        const uint8_t *reply;
        ASSERT_EQ(uclient_request(other, "size 100", 8, &reply), 100) << i;
    }
    EXPECT_EQ(uclient_health_check(other), 1);

    // The slow reader reads on and gets all of it, byte for byte.
    bool same = true;
    size_t got = 0;
    for (;;) {
        for (ssize_t i = 4; i < n; i++, got++)
            same = same && buf[static_cast<size_t>(i)] == static_cast<uint8_t>(got * 7);
        if (!(buf[1] & UMSG_F_MORE))
            break;
        n = read_datagram(slow, buf.data(), buf.size());
        ASSERT_GT(n, 4) << "after " << got << " bytes";
    }
    EXPECT_EQ(got, size);
    EXPECT_TRUE(same);
    // Nothing is held once it is out.
    EXPECT_EQ(uclient_health_check(other), 1);
    EXPECT_TRUE(wait_for([&] { return s.server->held == 0; }));
    close(slow);

    // A client takes such a reply whole from a server of its own user.
    const uint8_t *reply;
    EXPECT_EQ(uclient_request(other, "size 3000000", 12, &reply), 3000000);
    uclient_close(other);
}

TEST(Ipc, ReplyToAPeerThatStopsReadingIsDroppedAndLogged)
{
    log_open(nullptr, 1, LOG_COMP_IPC, 0, capture);
    served s("stall");
    s.server->stall_ms = 200;
    int quitter = raw_client(s.path);
    ASSERT_GE(quitter, 0);
    const char req[] = "size 20000000";
    ASSERT_EQ(umsg_send(quitter, UMSG_REQUEST, UMSG_F_WANT_ACK, 1, req, strlen(req), nullptr, nullptr,
                        -1),
              0);
    uint8_t buf[UMSG_DATAGRAM];
    ASSERT_GT(read_datagram(quitter, buf, sizeof(buf)), 4);
    // It reads no more. The server gives up on it and goes on.
    EXPECT_TRUE(wait_for([] { return was_logged("it stopped reading"); }))
        << "no drop was logged";
    uclient *other = uclient_open(s.path.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(uclient_health_check(other), 1);
    EXPECT_EQ(s.server->held, 0u);
    EXPECT_EQ(s.server->waiting, 0u);
    uclient_close(other);
    close(quitter);
    log_close();
}

TEST(Ipc, HogOfUnreadRequestsSilencesNoOtherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run clients under other uids";
    served s("hog");
    chmod(s.path.c_str(), 0777);
    int report, hold;
    pid_t hog = spawn_as(
        65534,
        [&](int out) {
            int fd = raw_client(s.path);
            for (int i = 0; fd >= 0 && i < 1000; i++)
                if (umsg_send(fd, UMSG_REQUEST, UMSG_F_WANT_ACK, static_cast<uint16_t>(i), "size 64",
                              7, nullptr, nullptr, -1) < 0)
                    return 1;
            // An answer of a header alone that must wait too.
            umsg_send(fd, UMSG_HEALTH, UMSG_F_WANT_ACK, 1000, nullptr, 0, nullptr, nullptr, -1);
            return write(out, "x", 1) == 1 ? 0 : 1; // sent all; reads nothing, ever
        },
        &report, &hold);
    ASSERT_GT(hog, 0);
    char c;
    ASSERT_EQ(read(report, &c, 1), 1);

    // Our own clients and health checks are answered.
    uclient *root = uclient_open(s.path.c_str());
    ASSERT_NE(root, nullptr);
    for (int i = 0; i < 20; i++) {
        const uint8_t *reply;
        ASSERT_EQ(uclient_request(root, "size 64", 7, &reply), 64) << i;
    }
    EXPECT_EQ(uclient_health_check(root), 1);
    // So are other users'.
    int other_report, other_hold;
    pid_t other = spawn_as(
        65533,
        [&](int out) {
            uclient *c2 = uclient_open(s.path.c_str());
            const uint8_t *reply;
            bool ok = c2 && uclient_request(c2, "size 64", 7, &reply) == 64 && uclient_health_check(c2);
            uclient_close(c2);
            return write(out, ok ? "y" : "n", 1) == 1 ? 0 : 1;
        },
        &other_report, &other_hold);
    ASSERT_GT(other, 0);
    ASSERT_EQ(read(other_report, &c, 1), 1);
    EXPECT_EQ(c, 'y') << "another user went unanswered";
    // The hog holds no more than its user's share.
    EXPECT_LE(s.server->charge + s.server->unattributed, s.server->sndbuf / 2);

    for (int fd : {hold, other_hold, report, other_report})
        close(fd);
    waitpid(hog, nullptr, 0);
    waitpid(other, nullptr, 0);
    uclient_close(root);
}

TEST(Ipc, MembersAreCappedPerUntrustedUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a client under another uid";
    served s("cap");
    chmod(s.path.c_str(), 0777);
    int report, hold;
    pid_t pid = spawn_as(
        65534,
        [&](int out) {
            // One user, many sockets, a descriptor with each join.
            int passed = open("/dev/null", O_RDONLY);
            int acked = 0;
            for (int i = 0; i < 100; i++) {
                int fd = raw_client(s.path);
                umsg_send(fd, UMSG_JOIN, UMSG_F_WANT_ACK, 1, "k", 1, nullptr, nullptr, passed);
                uint8_t buf[UMSG_DATAGRAM];
                if (read_datagram(fd, buf, sizeof(buf)) >= 4 && (buf[1] & UMSG_F_ACK))
                    acked++;
            }
            uint8_t n = static_cast<uint8_t>(acked);
            return write(out, &n, 1) == 1 ? 0 : 1;
        },
        &report, &hold);
    ASSERT_GT(pid, 0);
    uint8_t acked = 0;
    ASSERT_EQ(read(report, &acked, 1), 1);
    EXPECT_EQ(acked, USERVER_MEMBERS_PER_UID);
    // Our own still join.
    uclient *c = uclient_open(s.path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(uclient_join_group(c, "k", 1), 0);
    EXPECT_EQ(s.server->nmembers, USERVER_MEMBERS_PER_UID + 1);
    EXPECT_LE(s.server->max_members, USERVER_MAX_MEMBERS);
    close(hold);
    close(report);
    waitpid(pid, nullptr, 0);
    uclient_close(c);
}

namespace {

uint64_t bytes_read_by_us()
{
    FILE *f = fopen("/proc/self/io", "r");
    unsigned long long rchar = 0;
    if (f) {
        if (fscanf(f, "rchar: %llu", &rchar) != 1)
            rchar = 0;
        fclose(f);
    }
    return rchar;
}

} // namespace

TEST(Ipc, PruneReadsTheSocketTableOnceForAllMembers)
{
    // Served from this thread: nothing else reads while the prune runs.
    host h;
    std::string path = socket_path("prune");
    userver *server = userver_listen(path.c_str(), 0, 0, &ops, &h);
    ASSERT_NE(server, nullptr);
    int passed = open("/dev/null", O_RDONLY);
    std::vector<int> members;
    for (int i = 0; i < 100; i++) {
        int fd = raw_client(path);
        ASSERT_GE(fd, 0);
        members.push_back(fd);
        umsg_send(fd, UMSG_JOIN, UMSG_F_WANT_ACK, 1, "k", 1, nullptr, nullptr, passed);
        userver_process(server);
    }
    ASSERT_EQ(server->nmembers, 100u);
    // The size of the table as the prune will read it.
    uint64_t before = bytes_read_by_us();
    FILE *t = fopen("/proc/net/unix", "r");
    char chunk[4096];
    while (fread(chunk, 1, sizeof(chunk), t) > 0) {
    }
    fclose(t);
    uint64_t table = bytes_read_by_us() - before;

    server->last_prune = 0;
    before = bytes_read_by_us();
    userver_process(server);
    uint64_t read_by_prune = bytes_read_by_us() - before;
    EXPECT_EQ(server->nmembers, 100u); // all alive
    EXPECT_LT(read_by_prune, 2 * table) << "the table is " << table << " bytes";

    // Half of them go: the next prune finds them gone.
    for (int i = 0; i < 50; i++)
        close(members[static_cast<size_t>(i)]);
    server->last_prune = 0;
    userver_process(server);
    EXPECT_EQ(server->nmembers, 50u);
    for (size_t i = 50; i < members.size(); i++)
        close(members[i]);
    close(passed);
    userver_close(server);
}

TEST(Ipc, PeerNamesArePrintedSafely)
{
    struct {
        std::string name; // as bound, after the family
        std::string text;
    } cases[] = {
        {std::string("\0plain", 6), "@plain"},
        {std::string("\0evil\nFAKE LINE", 15), "@evil?FAKE LINE"},
        {std::string("\0a\0b\x7f", 5), "@a?b?"},
        {"/run/sock", "/run/sock"},
    };
    for (auto &c : cases) {
        umsg_addr a = {};
        a.sun.sun_family = AF_UNIX;
        memcpy(a.sun.sun_path, c.name.data(), c.name.size());
        a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + c.name.size());
        char out[110];
        EXPECT_STREQ(umsg_addr_text(&a, out), c.text.c_str());
    }
}

TEST(Ipc, ClientTakesALargeReplyFromATrustedServerOnly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a server under another uid";
    // A server of another user, with a directory it may bind in.
    char dir[] = "/tmp/ugw-ipc-other-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    ASSERT_EQ(chown(dir, 65534, 65534), 0);
    std::string path = std::string(dir) + "/sock";
    int ready[2], stop[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(stop), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(stop[1]);
        if (setresgid(65534, 65534, 65534) < 0 || setresuid(65534, 65534, 65534) < 0)
            _exit(100);
        host h;
        userver *server = userver_listen(path.c_str(), 0, 0, &ops, &h);
        chmod(path.c_str(), 0777);
        if (!server || write(ready[1], "x", 1) != 1)
            _exit(101);
        for (;;) {
            pollfd p[2] = {{userver_fd(server), POLLIN, 0}, {stop[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || p[1].revents)
                break;
            userver_process(server);
        }
        userver_close(server);
        _exit(0);
    }
    close(ready[1]);
    close(stop[0]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    uclient *client = uclient_open(path.c_str());
    ASSERT_NE(client, nullptr);
    const uint8_t *reply;
    EXPECT_EQ(uclient_request(client, "size 1000000", 12, &reply), 1000000);
    EXPECT_EQ(uclient_request(client, "size 3000000", 12, &reply), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    uclient_close(client);
    close(stop[1]);
    waitpid(pid, nullptr, 0);
    close(ready[0]);
    rmdir(dir);
}
