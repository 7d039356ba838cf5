// The real daemon with the stand-in data plane, in a temporary run directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/crypto/crypto_hw.h"
#include "gateway/ugwd_table.h"

extern char **environ;

namespace {

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

// Generous for sanitizer builds; nothing waits this long unless something is wrong.
constexpr int START_MS = 15000;
constexpr int EXIT_MS = 15000;

long now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct proc {
    pid_t pid = -1;
    int pidfd = -1;
    int err = -1; // read end of its standard error
    std::string text;
    int status = -1;
};

class Daemon : public ::testing::Test {
protected:
    std::string dir, run, var;
    std::vector<proc *> procs;

    void SetUp() override
    {
        char t[] = "/tmp/ugw-daemon-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        run = dir + "/run";
        var = dir + "/var";
        mkdir(run.c_str(), 0755);
        mkdir(var.c_str(), 0755);
    }

    void TearDown() override
    {
        for (proc *p : procs) {
            if (p->status == -1 && p->pid > 0) {
                kill(p->pid, SIGKILL);
                waitpid(p->pid, nullptr, 0);
            }
            if (p->pidfd >= 0)
                close(p->pidfd);
            if (p->err >= 0)
                close(p->err);
            delete p;
        }
        // Stand-ins left behind by a failed test.
        for (pid_t c : children())
            kill(c, SIGKILL);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    // prefix: a program that execs the daemon in place (setpriv, unshare).
    proc *start(std::vector<std::string> args, std::vector<std::string> env = {},
                std::vector<std::string> prefix = {})
    {
        auto *p = new proc;
        procs.push_back(p);
        std::vector<std::string> envs;
        for (char **e = environ; *e; e++) {
            std::string s = *e;
            if (s.rfind("TMPDIR=", 0) && s.rfind("VARDIR=", 0) && s.rfind("RUNDIR=", 0))
                envs.push_back(s);
        }
        bool own_tmp = false;
        for (auto &e : env)
            own_tmp |= e.rfind("TMPDIR=", 0) == 0;
        if (!own_tmp)
            envs.push_back("TMPDIR=" + dir);
        envs.push_back("VARDIR=" + var);
        envs.push_back("RUNDIR=" + run);
        envs.insert(envs.end(), env.begin(), env.end());
        args.insert(args.begin(), gateway_bin);
        args.insert(args.begin(), prefix.begin(), prefix.end());
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto &e : envs)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        fflush(nullptr);
        p->pid = fork();
        if (p->pid == 0) {
            dup2(fds[1], 2);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            if (prefix.empty())
                execve(argv[0], argv.data(), envp.data());
            else
                execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        p->err = fds[0];
        p->pidfd = static_cast<int>(syscall(SYS_pidfd_open, p->pid, 0));
        EXPECT_GE(p->pidfd, 0);
        return p;
    }

    // Reads its standard error until the text shows up or the time is over.
    bool wait_text(proc *p, const std::string &needle, int ms = START_MS)
    {
        long end = now_ms() + ms;
        while (p->text.find(needle) == std::string::npos) {
            long left = end - now_ms();
            if (left <= 0 || p->err < 0)
                return false;
            pollfd f{p->err, POLLIN, 0};
            if (poll(&f, 1, static_cast<int>(left)) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(p->err, buf, sizeof(buf));
            if (n <= 0) {
                close(p->err);
                p->err = -1;
            } else {
                p->text.append(buf, static_cast<size_t>(n));
            }
        }
        return true;
    }

    // The exit status, or -1 when it is still running after the time.
    int wait_exit(proc *p, int ms = EXIT_MS)
    {
        pollfd f{p->pidfd, POLLIN, 0};
        if (poll(&f, 1, ms) != 1)
            return -1;
        int st;
        if (waitpid(p->pid, &st, 0) != p->pid)
            return -1;
        p->status = st;
        wait_text(p, "\x01", 0); // collect what is left in the pipe
        while (p->err >= 0) {
            char buf[4096];
            pollfd e{p->err, POLLIN, 0};
            if (poll(&e, 1, 0) != 1)
                break;
            ssize_t n = read(p->err, buf, sizeof(buf));
            if (n <= 0)
                break;
            p->text.append(buf, static_cast<size_t>(n));
        }
        return st;
    }

    // Data-plane processes, by their bound sockets.
    std::vector<pid_t> children()
    {
        std::vector<pid_t> v;
        DIR *d = opendir(run.c_str());
        if (!d)
            return v;
        while (dirent *e = readdir(d)) {
            if (strncmp(e->d_name, "fernrelaysock.", 14) == 0)
                v.push_back(static_cast<pid_t>(atoi(e->d_name + 14)));
        }
        closedir(d);
        return v;
    }

    std::vector<std::string> base(unsigned n)
    {
        return {"-D", stand_in, "-n", std::to_string(n)};
    }
};

bool exited_with(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

} // namespace

TEST_F(Daemon, TextsAndBadOptions)
{
    struct {
        std::vector<std::string> args;
        int code;
        std::string text; // the start of stdout (via --help) or the stderr message
    } cases[] = {
        {{"--version"}, 0, ""},
        {{"-p", "70000"}, 1, ": invalid controller port '70000'\n"},
        {{"-p", "53x"}, 1, ": invalid controller port '53x'\n"},
        {{"-n", "0"}, 1, ": invalid number of CPU cores '0'\n"},
        {{"--buffer-size", "4k"}, 1, ": invalid value for option '--buffer-size'\n"},
        {{"--memory-size", "2Gi"}, 1, ": invalid value for option '--memory-size'\n"},
        {{"--ring-size", "3"}, 1, ": invalid value for option '--ring-size'\n"},
        {{"-W", "/nonexistent/x"}, 1, ": bad path '/nonexistent/x': No such file or directory\n"},
        {{"--no-such-option"}, 1, ": unrecognized option '--no-such-option'\n"},
    };
    for (auto &c : cases) {
        proc *p = start(c.args);
        int st = wait_exit(p);
        EXPECT_TRUE(exited_with(st, c.code)) << c.args[0] << " status " << st;
        if (!c.text.empty()) {
            EXPECT_EQ(p->text, gateway_bin + c.text) << c.args[0];
        }
    }
}

TEST_F(Daemon, InformationOptionsPrintTheirTexts)
{
    // Standard output goes to a file for these.
    std::string out = dir + "/out";
    for (const char *opt : {"--version", "--features", "--license", "--help"}) {
        std::string cmd = "TMPDIR='" + dir + "' VARDIR='" + var + "' RUNDIR='" + run + "' '" +
                          gateway_bin + "' " + opt + " > '" + out + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << opt;
        FILE *f = fopen(out.c_str(), "r");
        ASSERT_TRUE(f);
        std::string text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            text.append(buf, n);
        fclose(f);
        if (!strcmp(opt, "--version")) {
            EXPECT_EQ(text, "3.1.10\n");
        } else if (!strcmp(opt, "--features")) {
            // The processor's AES is named when the daemon uses it.
            EXPECT_EQ(text, (crypto_hw() & CRYPTO_HW_AES) ? "aes service\n" : "service\n");
        } else if (!strcmp(opt, "--license")) {
            EXPECT_GT(text.size(), 20u);
        } else {
            EXPECT_EQ(text.rfind("Ulmex Gateway control plane daemon\nUsage: ulmex-gateway "
                                 "[options...]\nOptions:\n",
                                 0),
                      0u);
            EXPECT_NE(text.find("\tRUNDIR     $VARDIR/run    " + run + "\n"), std::string::npos)
                << text;
        }
    }
}

TEST_F(Daemon, StopSignalsEndTheLoopCleanly)
{
    struct {
        int sig;
        const char *log;
    } cases[] = {
        {SIGTERM, "Terminated by signal 15 (SIGTERM)"},
        {SIGINT, "Terminated by signal 2 (SIGINT)"},
        {SIGQUIT, "Terminated by signal 3 \n"},
    };
    for (auto &c : cases) {
        proc *p = start(base(2));
        ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway - Ulmex Gateway daemon\nVersion 3.1.10\n"))
            << p->text;
        EXPECT_EQ(children().size(), 2u);
        ASSERT_EQ(kill(p->pid, c.sig), 0);
        int st = wait_exit(p);
        EXPECT_TRUE(exited_with(st, 0)) << "signal " << c.sig << " status " << st << "\n"
                                        << p->text;
        EXPECT_NE(p->text.find(c.log), std::string::npos) << p->text;
        // The stand-ins had SIGTERM and were reaped: their sockets are gone.
        EXPECT_TRUE(children().empty());
    }
}

TEST_F(Daemon, DeathOfADataPlaneStopsTheDaemonWithFailure)
{
    proc *p = start(base(2));
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    auto kids = children();
    ASSERT_EQ(kids.size(), 2u);
    ASSERT_EQ(kill(kids[0], SIGKILL), 0);
    int st = wait_exit(p);
    EXPECT_TRUE(exited_with(st, 1)) << st << "\n" << p->text;
    EXPECT_NE(p->text.find("(SIGCHLD)"), std::string::npos) << p->text;
    // The survivor got SIGTERM: only the killed one's socket is left.
    auto left = children();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], kids[0]);
}

TEST_F(Daemon, DataPlaneThatNeverBindsFailsStartup)
{
    long t0 = now_ms();
    proc *p = start(base(2), {"FERNRELAYD_TEST_NOBIND=1"});
    int st = wait_exit(p);
    EXPECT_TRUE(exited_with(st, 1)) << st << "\n" << p->text;
    EXPECT_GE(now_ms() - t0, 4000); // it waited for the deadline
    const std::string msg = "Failed to attach data plane #0 fernrelayd[";
    size_t at = p->text.find(msg);
    ASSERT_NE(at, std::string::npos) << p->text;
    pid_t kid = static_cast<pid_t>(atoi(p->text.c_str() + at + msg.size()));
    EXPECT_NE(p->text.find("]: " + std::string(strerror(ETIMEDOUT))), std::string::npos);
    EXPECT_EQ(p->text.find("Starting ulmex-gateway"), std::string::npos);
    // Killed and reaped: nothing of it is left.
    EXPECT_EQ(kill(kid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Daemon, DataPlaneIgnoringTermIsKilledAtShutdown)
{
    proc *p = start(base(1), {"FERNRELAYD_TEST_IGNORE_TERM=1"});
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    auto kids = children();
    ASSERT_EQ(kids.size(), 1u);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    int st = wait_exit(p);
    EXPECT_TRUE(exited_with(st, 0)) << st << "\n" << p->text;
    EXPECT_EQ(kill(kids[0], 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(Daemon, ChildrenGetTheArgumentList)
{
    auto args = base(1);
    args.insert(args.end(), {"-dd", "-x", "-l", "--ring-size", "0", "--disable-xsk"});
    proc *p = start(args);
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    std::string want = "]: -S " + run + "/fernrelaysock -dd -xl --buffer-size 4096 --memory-size ";
    size_t at = p->text.find(want);
    ASSERT_NE(at, std::string::npos) << p->text;
    size_t eol = p->text.find('\n', at);
    std::string line = p->text.substr(at, eol - at);
    const std::string tail = "iB --disable-fabric --disable-xsk";
    ASSERT_GT(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0));
}

TEST_F(Daemon, SecondInstanceOnThePidFileFails)
{
    // The daemon is our grandchild: be its reaper so we can wait for it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string pidfile = run + "/gw.pid";
    auto args = base(1);
    args.insert(args.end(), {"-B", "-F", dir + "/gw.log", "-P", pidfile});
    proc *first = start(args);
    int st = wait_exit(first);
    ASSERT_TRUE(exited_with(st, 0)) << st << "\n" << first->text;
    FILE *f = fopen(pidfile.c_str(), "r");
    ASSERT_TRUE(f);
    unsigned daemon = 0;
    EXPECT_EQ(fscanf(f, "%u", &daemon), 1);
    fclose(f);
    ASSERT_GT(daemon, 0u);
    EXPECT_EQ(kill(static_cast<pid_t>(daemon), 0), 0);

    proc *second = start(args);
    st = wait_exit(second);
    EXPECT_TRUE(exited_with(st, 1)) << st;
    EXPECT_EQ(second->text, "Another instance of ulmex-gateway is already running\n");

    ASSERT_EQ(kill(static_cast<pid_t>(daemon), SIGTERM), 0);
    int dfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(daemon), 0));
    ASSERT_GE(dfd, 0);
    pollfd pf{dfd, POLLIN, 0};
    EXPECT_EQ(poll(&pf, 1, EXIT_MS), 1);
    close(dfd);
    int dst = 0;
    pid_t r = waitpid(static_cast<pid_t>(daemon), &dst, WNOHANG);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    ASSERT_EQ(r, static_cast<pid_t>(daemon));
    EXPECT_TRUE(exited_with(dst, 0)) << dst;
    EXPECT_NE(access(pidfile.c_str(), F_OK), 0); // removed at exit
}

namespace {

ugwd_lease_rec lease_rec(uint8_t mac, uint8_t addr, int64_t age, uint32_t lease_time)
{
    ugwd_lease_rec r{};
    r.uuid[0] = 0x42;
    r.mac[0] = 0x02;
    r.mac[5] = mac;
    snprintf(r.hostname, sizeof r.hostname, "host-%u", mac);
    r.addr[0] = 10;
    r.addr[3] = addr;
    r.start = static_cast<uint32_t>(time(nullptr) - age);
    r.lease_time = lease_time;
    r.max_msg_size = 1500;
    return r;
}

std::vector<ugwd_lease_rec> read_leases(const std::string &path)
{
    std::vector<ugwd_lease_rec> v;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return v;
    ugwd_lease_rec r;
    while (read(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r))
        v.push_back(r);
    close(fd);
    return v;
}

bool same(const ugwd_lease_rec &a, const ugwd_lease_rec &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

// Started on a lease file holding live, superseded, deleted and expired
// records, the daemon keeps the live leases and rewrites the file to exactly
// them, also with TMPDIR on another file system and as an unprivileged user.
TEST_F(Daemon, KeepsTheLiveLeasesAndRewritesTheFileToThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace and for changing user";
    std::string leases = dir + "/leases", tmp = dir + "/tmp";
    mkdir(leases.c_str(), 0755);
    mkdir(tmp.c_str(), 0755);
    std::string file = leases + "/ulmex-gateway.leases";
    ugwd_lease_rec live1 = lease_rec(1, 1, 10, 3600), old2 = lease_rec(2, 2, 20, 3600),
                   live2 = lease_rec(2, 3, 5, 3600), del3 = lease_rec(3, 4, 30, 3600),
                   expired4 = lease_rec(4, 5, 7200, 3600);
    ugwd_lease_rec gone3 = del3;
    memset(gone3.addr, 0, sizeof gone3.addr);
    std::vector<ugwd_lease_rec> prepared = {old2, del3, live1, expired4, live2, gone3};
    std::vector<ugwd_lease_rec> want = {live1, live2};

    struct {
        const char *name;
        std::vector<std::string> env, prefix;
    } cases[] = {
        {"as root", {}, {}},
        // Compaction writes beside the lease file: a tmpfs TMPDIR would make a
        // rename across file systems fail.
        {"TMPDIR on a tmpfs",
         {"TMPDIR=" + tmp},
         {"unshare", "-m", "--propagation", "private", "sh", "-c",
          "mount -t tmpfs ugw-tmp \"$TMPDIR\" && exec \"$0\" \"$@\""}},
        {"as uid 65534", {}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}},
        {"as uid 65534 after a restart", {}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        bool restart = strstr(c.name, "restart");
        if (!restart) {
            int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, prepared.data(), prepared.size() * sizeof(ugwd_lease_rec)),
                      static_cast<ssize_t>(prepared.size() * sizeof(ugwd_lease_rec)));
            close(fd);
        }
        if (!c.prefix.empty() && c.prefix[0] == "setpriv") {
            ASSERT_EQ(std::system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
        }
        auto args = base(1);
        args.insert(args.end(), {"-W", file});
        proc *p = start(args, c.env, c.prefix);
        ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
        ASSERT_EQ(kill(p->pid, SIGTERM), 0);
        int st = wait_exit(p);
        EXPECT_TRUE(exited_with(st, 0)) << st << "\n" << p->text;
        auto got = read_leases(file);
        ASSERT_EQ(got.size(), want.size()) << p->text;
        // The compaction orders a client's records, not the clients.
        std::sort(got.begin(), got.end(), [](auto &x, auto &y) { return x.mac[5] < y.mac[5]; });
        for (size_t i = 0; i < want.size(); i++)
            EXPECT_TRUE(same(got[i], want[i])) << "record " << i;
        struct stat sb;
        ASSERT_EQ(stat(file.c_str(), &sb), 0);
        EXPECT_EQ(sb.st_mode & 0777, 0600u);
        if (!c.prefix.empty() && c.prefix[0] == "setpriv") {
            EXPECT_EQ(sb.st_uid, 65534u);
        }
        // Nothing left behind by the compaction.
        DIR *d = opendir(leases.c_str());
        int n = 0;
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
        EXPECT_EQ(n, 1);
    }
}
