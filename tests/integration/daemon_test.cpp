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
#include <atomic>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/crypto/crypto_hw.h"
#include "common/uclient.h"
#include "gateway/ugwd_table.h"

extern char **environ;

namespace {

const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";
const std::string ipcpeer = UGW_BIN_DIR "/tools/ipcpeer/ipcpeer";

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

    std::string control_socket(const proc *p)
    {
        return run + "/ulmex-gatewaysock." + std::to_string(p->pid);
    }

    // Runs ipcpeer as another user, its standard input held open by us: it
    // ends when we close that. Its first line of output is read, with a bound.
    struct peer {
        pid_t pid = -1;
        int in = -1, out = -1;
        std::string line;
    };

    peer as_user(uid_t uid, const std::vector<std::string> &args, int ms = 30000)
    {
        peer r;
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
            return r;
        std::vector<std::string> all = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                        "--regid=" + std::to_string(uid), "--clear-groups", ipcpeer};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        fflush(nullptr);
        r.pid = fork();
        if (r.pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        r.in = in[1];
        r.out = out[0];
        long end = now_ms() + ms;
        while (r.line.find('\n') == std::string::npos) {
            pollfd f{r.out, POLLIN, 0};
            long left = end - now_ms();
            if (left <= 0 || poll(&f, 1, static_cast<int>(left)) != 1)
                break;
            char buf[256];
            ssize_t n = read(r.out, buf, sizeof(buf));
            if (n <= 0)
                break;
            r.line.append(buf, static_cast<size_t>(n));
        }
        return r;
    }

    // Lets it go and reaps it; its exit status.
    int release(peer &r)
    {
        close(r.in);
        close(r.out);
        int st = -1;
        if (r.pid > 0)
            waitpid(r.pid, &st, 0);
        r.pid = -1;
        return st;
    }

    // One datagram from a user's socket; the answer in hex, or "none".
    std::string exchange(uid_t uid, const std::string &sock, const std::string &hex,
                         const std::string &name = "")
    {
        std::vector<std::string> args = {"send", sock, hex};
        if (!name.empty())
            args.push_back(name);
        peer r = as_user(uid, args);
        std::string line = r.line;
        release(r);
        return line;
    }

    bool can_be_other_users()
    {
        return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0 &&
               access(ipcpeer.c_str(), X_OK) == 0;
    }

    // Lets other users reach the sockets in the run directory.
    void open_run_directory() { chmod(dir.c_str(), 0755); }
};

// A management request of the type's fixed size, as the daemon's clients send it.
std::vector<uint8_t> ctl_request(uint32_t type, size_t size = 8)
{
    std::vector<uint8_t> m(size, 0);
    memcpy(m.data(), &type, 4);
    return m;
}

std::string hex(const std::vector<uint8_t> &b)
{
    std::string s;
    char two[3];
    for (uint8_t c : b) {
        snprintf(two, sizeof(two), "%02x", c);
        s += two;
    }
    return s;
}

long proc_status_kb(pid_t pid, const char *field)
{
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long v = -1;
    char line[256];
    while (f && fgets(line, sizeof(line), f))
        if (strncmp(line, field, strlen(field)) == 0)
            v = atol(line + strlen(field));
    if (f)
        fclose(f);
    return v;
}

int open_fds(pid_t pid)
{
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n - 2;
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "r");
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    if (f)
        fclose(f);
    return s;
}

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

TEST_F(Daemon, EmptyRequestIsAnsweredByTheDaemonAndItsDataPlane)
{
    if (!can_be_other_users())
        GTEST_SKIP() << "needs root, setpriv and ipcpeer to send as uid 65534";
    open_run_directory();
    proc *p = start(base(1));
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    auto kids = children();
    ASSERT_EQ(kids.size(), 1u);
    // Type 0, an answer wanted, sequence 1, no payload: four bytes in all.
    // The daemon answers Status 74 (EBADMSG), its data plane what it has.
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(exchange(65534, control_socket(p), "00010001"), "00020001000000004a000000\n");
        std::string dp = exchange(65534, run + "/fernrelaysock." + std::to_string(kids[0]), "00010001");
        EXPECT_EQ(dp.rfind("00020001", 0), 0u) << dp;
    }
    EXPECT_EQ(kill(p->pid, 0), 0);
    EXPECT_EQ(kill(kids[0], 0), 0);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
}

TEST_F(Daemon, HogOfUnreadRequestsSilencesNeitherRootNorOtherUsers)
{
    if (!can_be_other_users())
        GTEST_SKIP() << "needs root, setpriv and ipcpeer to run clients as other users";
    open_run_directory();
    proc *p = start(base(1));
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    std::string sock = control_socket(p);
    std::vector<uint8_t> dump = ctl_request(15); // Dump-Controls, open to any client
    peer hog = as_user(65534, {"hog", sock, "1000", hex(dump)});
    ASSERT_EQ(hog.line, "sent 1000\n");

    // It reads none of its answers, and holds them. Root's client and health
    // check are answered as ever, and so is another user.
    uclient *c = uclient_open(sock.c_str());
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 20; i++) {
        const uint8_t *reply;
        ASSERT_EQ(uclient_request(c, dump.data(), dump.size(), &reply), 12) << i;
    }
    EXPECT_EQ(uclient_health_check(c), 1);
    std::string other = exchange(65533, sock, "00010002" + hex(dump));
    EXPECT_EQ(other.rfind("00020002", 0), 0u) << other;
    uclient_close(c);
    EXPECT_EQ(WEXITSTATUS(release(hog)), 0);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
}

TEST_F(Daemon, OneUserCannotTakeEveryMemberSlot)
{
    if (!can_be_other_users())
        GTEST_SKIP() << "needs root, setpriv and ipcpeer to join as uid 65534";
    open_run_directory();
    proc *p = start(base(1));
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    std::string sock = control_socket(p);
    int fds = open_fds(p->pid);
    // 100 sockets of one user join New-Service (60), each passing a descriptor.
    peer joiner = as_user(65534, {"join", sock, "100", "3c000000"});
    EXPECT_EQ(joiner.line, "acked 32 refused 68\n");
    EXPECT_EQ(open_fds(p->pid), fds + 32);
    uclient *c = uclient_open(sock.c_str());
    ASSERT_NE(c, nullptr);
    uint32_t key = 60;
    EXPECT_EQ(uclient_join_group(c, &key, sizeof(key)), 0) << "root may still join";
    uclient_close(c);
    // Gone with their sockets at the next prune.
    release(joiner);
    long end = now_ms() + 10000;
    while (open_fds(p->pid) != fds && now_ms() < end)
        poll(nullptr, 0, 50);
    EXPECT_EQ(open_fds(p->pid), fds);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
}

TEST_F(Daemon, RandomDatagramFloodLeavesMemoryDescriptorsAndLogAsBefore)
{
    if (!can_be_other_users())
        GTEST_SKIP() << "needs root, setpriv and ipcpeer to flood as uid 65534";
    open_run_directory();
    std::string log = dir + "/gw.log";
    auto args = base(1);
    args.insert(args.end(), {"-dd", "-F", log});
    proc *p = start(args);
    long end = now_ms() + START_MS;
    while (read_file(log).find("Starting ulmex-gateway") == std::string::npos && now_ms() < end)
        poll(nullptr, 0, 10);
    ASSERT_NE(read_file(log).find("Starting ulmex-gateway"), std::string::npos) << p->text;
    std::string sock = control_socket(p);
    std::vector<uint8_t> dump = ctl_request(15);
    uclient *c = uclient_open(sock.c_str());
    ASSERT_NE(c, nullptr);
    const uint8_t *reply;
    ASSERT_EQ(uclient_request(c, dump.data(), dump.size(), &reply), 12);
    long rss = proc_status_kb(p->pid, "VmRSS:");
    int fds = open_fds(p->pid);
    size_t logged = read_file(log).size();

    // 10^5 datagrams of any type and flags, endless fragments, 0 to 70,000
    // bytes, descriptors passed; none of the answers read.
    peer flood = as_user(65534, {"flood", sock, "100000", "7"}, 120000);
    EXPECT_EQ(flood.line, "sent 100000\n");
    EXPECT_EQ(WEXITSTATUS(release(flood)), 0);

    ASSERT_EQ(wait_exit(p, 0), -1) << "the daemon died: " << p->status << "\n" << p->text;
    ASSERT_EQ(uclient_request(c, dump.data(), dump.size(), &reply), 12);
    EXPECT_EQ(uclient_health_check(c), 1);
    // The descriptors it joined with go once its socket is gone.
    end = now_ms() + 10000;
    while (open_fds(p->pid) != fds && now_ms() < end)
        poll(nullptr, 0, 50);
    EXPECT_EQ(open_fds(p->pid), fds);
    long grown = proc_status_kb(p->pid, "VmRSS:") - rss;
    EXPECT_LT(grown, 2048) << "kB more after the flood";
    // What the flood made the daemon log is limited, and what was held back is counted.
    std::string text = read_file(log);
    EXPECT_LT(text.size() - logged, 64u * 1024) << text.substr(text.size() - 2000);
    EXPECT_NE(text.find("log lines caused by uid 65534"), std::string::npos);
    uclient_close(c);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
}

TEST_F(Daemon, PeerNamesCannotForgeLogLines)
{
    if (!can_be_other_users())
        GTEST_SKIP() << "needs root, setpriv and ipcpeer to send as uid 65534";
    open_run_directory();
    auto args = base(1);
    args.push_back("-d");
    proc *p = start(args);
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    // A join without a descriptor is refused and logged with the peer's name,
    // which here holds a newline and a line of the peer's choice.
    std::string name = "evil\nFAKE LINE";
    std::vector<uint8_t> raw(name.begin(), name.end());
    EXPECT_EQ(exchange(65534, control_socket(p), "01010001", hex(raw)), "01040001\n");
    ASSERT_TRUE(wait_text(p, "failed to join multicast group")) << p->text;
    EXPECT_NE(p->text.find("IPC client @evil?FAKE LINE failed to join"), std::string::npos) << p->text;
    EXPECT_EQ(p->text.find("\nFAKE LINE"), std::string::npos) << p->text;
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
}

TEST_F(Daemon, PidAndLogFilesAreNeverFollowedThroughLinks)
{
    std::string victim = dir + "/victim", link = dir + "/link";
    FILE *v = fopen(victim.c_str(), "w");
    fputs("precious\n", v);
    fclose(v);
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    const std::string loop = strerror(ELOOP);
    struct {
        std::vector<std::string> extra;
        std::string message;
    } cases[] = {
        {{"-F", link}, "Failed to open " + link + ": " + loop + "\n"},
        {{"-B", "-F", dir + "/gw.log", "-P", link}, "Could not create PID file: " + loop + "\n"},
    };
    for (auto &c : cases) {
        auto args = base(1);
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        proc *p = start(args);
        EXPECT_TRUE(exited_with(wait_exit(p), 1)) << c.extra[1];
        EXPECT_EQ(p->text, c.message);
        EXPECT_EQ(read_file(victim), "precious\n");
    }

    // A link put in place of the log while the daemon starts: it must not be
    // followed however the race goes.
    std::string racy = dir + "/racy.log";
    std::atomic<bool> stop{false};
    std::thread planter([&] {
        while (!stop) {
            if (symlink(victim.c_str(), racy.c_str()) < 0)
                std::this_thread::yield();
        }
    });
    auto args = base(1);
    args.insert(args.end(), {"-F", racy});
    proc *p = start(args);
    long end = now_ms() + START_MS;
    struct stat st;
    // Until it runs, or ends refusing the link it found.
    while (lstat(control_socket(p).c_str(), &st) != 0 && now_ms() < end && wait_exit(p, 10) == -1) {
    }
    stop = true;
    planter.join();
    if (p->status == -1) {
        kill(p->pid, SIGTERM);
        wait_exit(p);
    }
    EXPECT_EQ(read_file(victim), "precious\n");

    // A log file of our own is the daemon's alone to read, and starts empty.
    std::string own = dir + "/own.log";
    FILE *o = fopen(own.c_str(), "w");
    fputs("the last run's lines\n", o);
    fclose(o);
    chmod(own.c_str(), 0600);
    std::string fresh = dir + "/fresh.log";
    for (const std::string &file : {own, fresh}) {
        args = base(1);
        args.insert(args.end(), {"-F", file});
        p = start(args);
        end = now_ms() + START_MS;
        while (read_file(file).find("Starting ulmex-gateway") == std::string::npos && now_ms() < end)
            poll(nullptr, 0, 10);
        EXPECT_EQ(read_file(file).rfind("Starting ulmex-gateway", 0), 0u) << read_file(file);
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        kill(p->pid, SIGTERM);
        EXPECT_TRUE(exited_with(wait_exit(p), 0));
    }
}

TEST_F(Daemon, DataPlaneCountIsBoundByTheDescriptorsTheLoopCanWatch)
{
    for (const char *n : {"4294967295", "100000"}) {
        proc *p = start({"-D", stand_in, "-n", n});
        EXPECT_TRUE(exited_with(wait_exit(p), 1)) << n;
        EXPECT_EQ(p->text.rfind(gateway_bin + ": invalid number of CPU cores '" + n + "' (at most ", 0),
                  0u)
            << p->text;
        EXPECT_TRUE(children().empty());
    }
    // The default, one per online processor, is clamped with a warning: with
    // 90 descriptors there is room for one data plane only.
    if (sysconf(_SC_NPROCESSORS_ONLN) < 2)
        GTEST_SKIP() << "one processor: the default needs no clamp";
    proc *p = start({"-D", stand_in}, {}, {"prlimit", "--nofile=90"});
    ASSERT_TRUE(wait_text(p, "Starting ulmex-gateway")) << p->text;
    EXPECT_NE(p->text.find("warning: "), std::string::npos) << p->text;
    EXPECT_NE(p->text.find("but data planes on only 1 fit"), std::string::npos) << p->text;
    EXPECT_EQ(children().size(), 1u);
    ASSERT_EQ(kill(p->pid, SIGTERM), 0);
    EXPECT_TRUE(exited_with(wait_exit(p), 0)) << p->text;
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
