// The client against the real daemon: every request is answered within the
// protocol, an unprivileged client is refused what changes the configuration
// and may not lock but may listen, and service changes arrive as events.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "dot11/dot11_mib.h"
#include "gwc_calls.h"

using namespace gwc_test;

namespace
{

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";
constexpr int START_MS = 15000;

// The types only a privileged client may run.
const std::set<uint32_t> privileged = {10, 12, 14, 18, 20, 22, 26, 28, 33, 35, 37, 41, 43,
                                       45, 46, 50, 52, 54, 55, 59, 61, 63, 64, 90, 97, 100};

class GwcDaemon : public ::testing::Test
{
  protected:
    std::string dir, run, var, sock;
    pid_t pid = -1;
    int pidfd = -1;

    void SetUp() override
    {
        char t[] = "/tmp/ugw-gwcd-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        run = dir + "/run";
        var = dir + "/var";
        chmod(dir.c_str(), 0755);
        mkdir(run.c_str(), 0755);
        mkdir(var.c_str(), 0755);
        start();
        sock = wait_socket();
        ASSERT_FALSE(sock.empty()) << "the daemon did not bind its management socket";
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (pidfd >= 0) close(pidfd);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    void start()
    {
        std::vector<std::string> env = {"TMPDIR=" + dir, "VARDIR=" + var, "RUNDIR=" + run,
                                        "PATH=/usr/bin:/bin"};
        std::vector<std::string> args = {gateway_bin, "-D", stand_in, "-n", "1"};
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string log = dir + "/stderr";
        fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(fd, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ASSERT_GT(pid, 0);
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        ASSERT_GE(pidfd, 0);
    }

    std::string wait_socket()
    {
        std::string path = run + "/ulmex-gatewaysock." + std::to_string(pid);
        int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (in < 0 || inotify_add_watch(in, run.c_str(), IN_CREATE) < 0) return "";
        std::string found;
        for (int waited = 0; waited < START_MS; waited += 100) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0) {
                found = path;
                break;
            }
            pollfd f[2] = {{in, POLLIN, 0}, {pidfd, POLLIN, 0}};
            if (poll(f, 2, 100) > 0) {
                if (f[1].revents) break;
                char buf[4096];
                while (read(in, buf, sizeof(buf)) > 0)
                    ;
            }
        }
        close(in);
        return found;
    }
};

// A reply the protocol allows: a record, or the daemon's Status. Never a
// broken or missing answer.
bool within_protocol(int r, int err)
{
    return r >= 0 || (err != EBADMSG && err != EAGAIN && err != EMSGSIZE && err != ENAMETOOLONG);
}

TEST_F(GwcDaemon, EveryRequestIsAnswered)
{
    gwc_connection *c = gwc_create(sock.c_str(), nullptr, nullptr, 0);
    ASSERT_TRUE(c);
    sockaddr_in6 a6 = addr6();
    for (bool present : {true, false}) {
        for (call &cl : calls()) {
            SCOPED_TRACE(cl.name);
            keys k = make_keys(present, reinterpret_cast<const sockaddr *>(&a6));
            errno = 0;
            int r = cl.fn(c, k);
            EXPECT_TRUE(within_protocol(r, errno)) << strerror(errno);
        }
    }
    EXPECT_EQ(gwc_health_check(c), 0);
    EXPECT_EQ(gwc_lock(c), 0);
    EXPECT_EQ(gwc_unlock(c), 0);
    uint8_t log[12];
    EXPECT_EQ(gwc_get_log(c, log), 0);
    gwc_destroy(c);
}

// Run as uid 65534 in a child; what went wrong comes back as text.
std::string unprivileged_checks(const std::string &sock)
{
    std::string bad;
    gwc_connection *c = gwc_create(sock.c_str(), nullptr, nullptr, 0);
    if (!c) return "no connection";
    sockaddr_in6 a6 = addr6();
    for (call &cl : calls()) {
        keys k = make_keys(true, reinterpret_cast<const sockaddr *>(&a6));
        errno = 0;
        int r = cl.fn(c, k);
        int err = errno;
        if (privileged.count(cl.type) && !(r == -1 && err == EPERM))
            bad += std::string(cl.name) + " was not refused; ";
        if (!privileged.count(cl.type) && r == -1 && err == EPERM)
            bad += std::string(cl.name) + " was refused; ";
        if (!within_protocol(r, err)) bad += std::string(cl.name) + ": " + strerror(err) + "; ";
        // Secrets of a read-only answer are zero where the daemon serves one.
        if (cl.type == CTL_GET_SERVICE && r == 0) {
            static const uint8_t zero[32] = {};
            if (memcmp(k.records[1] + offsetof(dot11_auth_config, dot11RSNAConfigPSKValue), zero,
                       32) != 0)
                bad += "a pre-shared key came back; ";
        }
    }
    if (gwc_lock(c) != -1 || errno != EBUSY) bad += "the lock was not refused with EBUSY; ";
    for (uint32_t kind = 0; kind <= GWC_EVENT_FLOWS; kind++)
        if (gwc_subscribe(c, kind) != 0)
            bad += "subscription " + std::to_string(kind) + " failed; ";
    gwc_destroy(c);
    return bad;
}

TEST_F(GwcDaemon, UnprivilegedClientIsRefusedChangesAndTheLockButMayListen)
{
    if (geteuid() != 0) GTEST_SKIP() << "running a client as another user needs root";
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(p[0]);
        if (setgroups(0, nullptr) < 0 || setgid(65534) < 0 || setuid(65534) < 0) _exit(2);
        std::string bad = unprivileged_checks(sock);
        if (write(p[1], bad.data(), bad.size()) < 0) _exit(3);
        _exit(bad.empty() ? 0 : 1);
    }
    close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = -1;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << out;
}

struct service_events {
    std::vector<std::vector<uint8_t>> added, deleted;
};

const ugw_listen_ops service_ops = {
    .new_control = nullptr,
    .delete_control = nullptr,
    .new_service =
        [](void *user, const void *rec) {
            static_cast<service_events *>(user)->added.emplace_back(
                static_cast<const uint8_t *>(rec),
                static_cast<const uint8_t *>(rec) + CTL_REC_SERVICE);
        },
    .delete_service =
        [](void *user, const void *rec) {
            static_cast<service_events *>(user)->deleted.emplace_back(
                static_cast<const uint8_t *>(rec),
                static_cast<const uint8_t *>(rec) + CTL_REC_SERVICE);
        },
};

// New-Service is published when a service changes (its controller
// configures it); stopping it, as Remove-Service does, publishes
// Delete-Service, whether or not it was started.
TEST_F(GwcDaemon, RemovingAServiceIsAnEvent)
{
    service_events seen;
    gwc_connection *listener = gwc_create(sock.c_str(), &service_ops, &seen, 0);
    gwc_connection *c = gwc_create(sock.c_str(), nullptr, nullptr, 0);
    ASSERT_TRUE(listener && c);
    ASSERT_EQ(gwc_subscribe(listener, GWC_EVENT_SERVICES), 0);
    uint8_t svc[CTL_REC_SERVICE] = {}, dot11[CTL_REC_DOT11_CONFIG] = {},
            ess[CTL_REC_ESS_TEMPLATE] = {};
    memcpy(svc, UUID, 16);
    int r = gwc_add_service(c, svc, dot11, ess, nullptr, nullptr);
    if (r < 0 && errno == EOPNOTSUPP) {
        gwc_destroy(c);
        gwc_destroy(listener);
        GTEST_SKIP() << "this daemon does not serve Add-Service yet";
    }
    ASSERT_EQ(r, 0) << strerror(errno);
    ASSERT_EQ(gwc_remove_service(c, UUID, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    while (seen.deleted.empty()) {
        pollfd p = {gwc_fd(listener), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "no Delete-Service event";
        EXPECT_GT(gwc_notification_dispatch(listener), 0);
    }
    EXPECT_TRUE(seen.added.empty());
    ASSERT_EQ(seen.deleted.size(), 1u);
    EXPECT_EQ(memcmp(seen.deleted[0].data(), UUID, 16), 0);
    gwc_destroy(c);
    gwc_destroy(listener);
}

} // namespace
