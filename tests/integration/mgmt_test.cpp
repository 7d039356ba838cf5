// The daemon, started as the README runs it, serves its management socket.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/uclient.h"

namespace {

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

// Generous for sanitizer builds; nothing waits this long unless something is wrong.
constexpr int START_MS = 15000;

class Management : public ::testing::Test {
protected:
    std::string dir, run, var;
    pid_t pid = -1;
    int pidfd = -1;

    void SetUp() override
    {
        char t[] = "/tmp/ugw-mgmt-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        run = dir + "/run";
        var = dir + "/var";
        mkdir(run.c_str(), 0755);
        mkdir(var.c_str(), 0755);
    }

    void TearDown() override
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (pidfd >= 0)
            close(pidfd);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    // As scripts/run.sh starts it: directories from the environment, the stand-in data plane.
    void start()
    {
        std::vector<std::string> env = {"TMPDIR=" + dir, "VARDIR=" + var, "RUNDIR=" + run,
                                        "PATH=/usr/bin:/bin"};
        std::vector<std::string> args = {gateway_bin, "-D", stand_in, "-n", "2"};
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

    // The management socket's path once the daemon has bound it, or "".
    std::string wait_socket()
    {
        std::string path = run + "/ulmex-gatewaysock." + std::to_string(pid);
        int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (in < 0 || inotify_add_watch(in, run.c_str(), IN_CREATE) < 0)
            return "";
        std::string found;
        for (int waited = 0; waited < START_MS; waited += 100) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0) {
                found = path;
                break;
            }
            pollfd f[2] = {{in, POLLIN, 0}, {pidfd, POLLIN, 0}};
            if (poll(f, 2, 100) > 0) {
                if (f[1].revents)
                    break; // it ended
                char buf[4096];
                while (read(in, buf, sizeof(buf)) > 0)
                    ;
            }
        }
        close(in);
        return found;
    }

    int stop()
    {
        kill(pid, SIGTERM);
        pollfd f{pidfd, POLLIN, 0};
        if (poll(&f, 1, START_MS) != 1)
            return -1;
        int st = -1;
        waitpid(pid, &st, 0);
        pid = -1;
        return st;
    }
};

// One request; the reply's type and status, as a pair in a vector.
std::vector<uint32_t> ask(uclient *c, std::vector<uint8_t> m)
{
    const uint8_t *reply = nullptr;
    ssize_t n = uclient_request(c, m.data(), m.size(), &reply);
    if (n < 8)
        return {static_cast<uint32_t>(n)};
    EXPECT_EQ(ctl_msg_size(reply, static_cast<size_t>(n)), static_cast<uint32_t>(n));
    return {ctl_get32(reply, 0), ctl_get32(reply, 4)};
}

std::vector<uint8_t> msg(uint32_t type, size_t len)
{
    std::vector<uint8_t> m(len, 0);
    if (len >= 4)
        ctl_put32(m.data(), 0, type);
    return m;
}

TEST_F(Management, ServesHealthChecksRequestsAndJoins)
{
    start();
    std::string path = wait_socket();
    ASSERT_FALSE(path.empty()) << "the daemon never bound its management socket";
    uclient *c = uclient_open(path.c_str());
    ASSERT_NE(c, nullptr);

    EXPECT_EQ(uclient_health_check(c), 1); // acknowledged
    EXPECT_EQ(ask(c, msg(CTL_GET_CONTROL, 3)), (std::vector<uint32_t>{CTL_STATUS, EBADMSG}));
    EXPECT_EQ(ask(c, msg(CTL_GET_CONTROL, 100)), (std::vector<uint32_t>{CTL_STATUS, EBADMSG}));
    EXPECT_EQ(ask(c, msg(CTL_NEW_SERVICE, 1300)), (std::vector<uint32_t>{CTL_STATUS, EPERM}));
    EXPECT_EQ(ask(c, msg(CTL_DUMP_CONTROLS, 8)), (std::vector<uint32_t>{CTL_CONTROLS, 0}));
    EXPECT_EQ(ask(c, msg(CTL_ADD_PORT, 56)), (std::vector<uint32_t>{CTL_STATUS, ENODEV}));

    uint8_t key[4];
    ctl_put32(key, 0, CTL_NEW_FLOW);
    EXPECT_EQ(uclient_join_group(c, key, 4), 0);
    ctl_put32(key, 0, CTL_GET_FLOW);
    EXPECT_EQ(uclient_join_group(c, key, 4), -1);
    // Still healthy after all of it.
    EXPECT_EQ(uclient_health_check(c), 1); // acknowledged
    uclient_close(c);

    int st = stop();
    EXPECT_TRUE(st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    struct stat sb;
    EXPECT_NE(lstat(path.c_str(), &sb), 0) << "the socket outlived the daemon";
}

} // namespace
