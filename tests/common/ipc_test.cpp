#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
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

int host_request(void *, uint8_t *p, size_t len, size_t cap, int trusted)
{
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

const userver_ops ops = {host_request, host_message, host_subscribe, host_health};

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

} // namespace

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
    EXPECT_EQ(memcmp(array_data<uint8_t>(&c.buffer) + 4, msg.data(), msg.size()), 0);

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
        for (list_link *l = s.server->members._next; l != &s.server->members; l = l->_next) {
            auto *m = container_of(l, &userver_member::member);
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
    auto *m = container_of(s.server->members._next, &userver_member::member);
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
