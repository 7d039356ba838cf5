#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/system.h"

namespace {

int count_fds()
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return s;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

void write_file(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    fputs(text.c_str(), f);
    fclose(f);
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/ugw-sys-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

void *add_one(void *arg)
{
    return reinterpret_cast<void *>(reinterpret_cast<intptr_t>(arg) + 1);
}

void *block_forever(void *)
{
    for (;;)
        poll(nullptr, 0, -1);
    return nullptr;
}

// Waits for a child or grandchild (we are their subreaper) and returns its raw status.
int wait_for(pid_t pid)
{
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

class Daemonize : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
    void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0); }

    // Runs daemonize in a helper process whose daemon child runs `then`. Returns
    // the helper's raw status; the daemon child's pid comes back through the pid file.
    template <class F> int run_helper(const std::string &pidfile, F then, std::string *err = nullptr)
    {
        int pipefd[2];
        if (pipe(pipefd) < 0)
            return -1;
        fflush(nullptr);
        pid_t h = fork();
        if (h == 0) {
            close(pipefd[0]);
            dup2(pipefd[1], 2);
            if (daemonize("ugw-test", pidfile.c_str()) < 0)
                _exit(7);
            close(pipefd[1]);
            then();
            _exit(0);
        }
        close(pipefd[1]);
        std::string text;
        char buf[256];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof(buf))) > 0)
            text.append(buf, static_cast<size_t>(n));
        close(pipefd[0]);
        if (err)
            *err = text;
        return wait_for(h);
    }
};

} // namespace

TEST(Worker, IdleWorkerRefusesJoinAndCancel)
{
    worker w{};
    void *r;
    errno = 0;
    EXPECT_EQ(worker_join(&w, &r), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(worker_cancel(&w), -1);
    EXPECT_EQ(errno, EBADF);
}

// Thread start-up is slow under the address sanitizer; the plain build runs all of them.
#if defined(__SANITIZE_ADDRESS__)
constexpr intptr_t worker_jobs = 1000;
#else
constexpr intptr_t worker_jobs = 10000;
#endif

TEST(Worker, ManyJobsLeakNoDescriptor)
{
    int before = count_fds();
    worker w{};
    for (intptr_t i = 0; i < worker_jobs; i++) {
        ASSERT_EQ(worker_start(&w, add_one, reinterpret_cast<void *>(i)), 0);
        pollfd p{w.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "job " << i << " never reported";
        uint64_t count = 0;
        ASSERT_EQ(read(w.fd, &count, sizeof(count)), 8);
        EXPECT_EQ(count, 1u);
        void *r = nullptr;
        ASSERT_EQ(worker_join(&w, &r), 0);
        ASSERT_EQ(reinterpret_cast<intptr_t>(r), i + 1);
        ASSERT_EQ(w.fd, -1);
    }
    EXPECT_EQ(count_fds(), before);
}

TEST(Worker, CancelEndsABlockedJob)
{
    int before = count_fds();
    worker w{};
    ASSERT_EQ(worker_start(&w, block_forever, nullptr), 0);
    EXPECT_EQ(worker_cancel(&w), 0);
    EXPECT_EQ(w.fd, -1);
    EXPECT_EQ(count_fds(), before);
}

TEST_F(Daemonize, ExitStatusOfTheChildReachesTheParent)
{
    TempDir d;
    std::string pidfile = d.path + "/a.pid";
    int st = run_helper(pidfile, [] { _exit(2); });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 2);
    st = run_helper(pidfile, [] { raise(SIGKILL); });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

TEST_F(Daemonize, ReadyChildHoldsThePidFileAndASecondInstanceFails)
{
    TempDir d;
    std::string pidfile = d.path + "/b.pid";
    write_file(pidfile, "99999999999999\nstale\n"); // longer than any pid line
    int st = run_helper(pidfile, [] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        if (daemon_ready() < 0)
            _exit(3);
        int sig;
        sigwait(&set, &sig);
        daemon_pidfile_cleanup();
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);

    std::string text = read_file(pidfile);
    ASSERT_FALSE(text.empty());
    pid_t daemon = static_cast<pid_t>(strtol(text.c_str(), nullptr, 10));
    EXPECT_EQ(text, std::to_string(daemon) + "\n");
    EXPECT_EQ(kill(daemon, 0), 0);

    std::string err;
    st = run_helper(pidfile, [] { _exit(9); }, &err);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 7);
    EXPECT_EQ(err, "Another instance of ugw-test is already running\n");
    EXPECT_EQ(read_file(pidfile), text);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    st = wait_for(daemon);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_NE(access(pidfile.c_str(), F_OK), 0);
}

TEST(Rundir, EnvironmentChoosesUsableDirectories)
{
    TempDir d;
    std::string file = d.path + "/plain";
    write_file(file, "x");
    mkdir((d.path + "/var").c_str(), 0755);
    mkdir((d.path + "/var/run").c_str(), 0755);
    mkdir((d.path + "/other").c_str(), 0755);

    setenv("TMPDIR", file.c_str(), 1);
    setenv("VARDIR", (d.path + "/var/../var").c_str(), 1);
    unsetenv("RUNDIR");
    testing::internal::CaptureStderr();
    rundir_init();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Ignoring TMPDIR=" + file + ": " + strerror(ENOTDIR) + "\n");
    EXPECT_STREQ(rundir_tmp, "/tmp");
    EXPECT_EQ(std::string(rundir_var), d.path + "/var");
    EXPECT_EQ(std::string(rundir_run), d.path + "/var/run");

    setenv("RUNDIR", (d.path + "/other").c_str(), 1);
    setenv("TMPDIR", (d.path + "/missing").c_str(), 1);
    testing::internal::CaptureStderr();
    rundir_init();
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Ignoring TMPDIR=" + d.path + "/missing: " + strerror(ENOENT) + "\n");
    EXPECT_EQ(std::string(rundir_run), d.path + "/other");

    unsetenv("TMPDIR");
    unsetenv("VARDIR");
    unsetenv("RUNDIR");
    rundir_fini();
    EXPECT_STREQ(rundir_run, "/var/run");
    EXPECT_EQ(dir_check(file.c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(SystemInfo, HugepageSizeFromMeminfo)
{
    TempDir d;
    std::string m = d.path + "/meminfo";
    struct {
        const char *text;
        ssize_t size;
    } cases[] = {
        {"MemTotal: 1 kB\nHugepagesize:       2048 kB\n", 2097152},
        {"Hugepagesize: 1 GB\n", 1l << 30},
        {"Hugepagesize: 2 MB\n", 2l << 20},
        {"Hugepagesize: 2 XB\n", -1},
        {"MemTotal: 1 kB\n", -1},
    };
    for (auto &c : cases) {
        write_file(m, c.text);
        errno = 0;
        EXPECT_EQ(system_hugepage_size_from(m.c_str()), c.size) << c.text;
        if (c.size < 0) {
            EXPECT_EQ(errno, ENOSYS);
        }
    }
    EXPECT_EQ(system_hugepage_size_from((d.path + "/none").c_str()), -1);
    EXPECT_EQ(errno, ENOSYS);
}

TEST(SystemInfo, CpuTimeCountsFieldsAfterTheLastParenthesis)
{
    long tck = sysconf(_SC_CLK_TCK);
    uint64_t us = 0;
    // A command name with blanks and parentheses must not shift the fields.
    std::string stat = "4242 (a) b (c) d) R 1 2 3 4 0 6 7 8 9 10 250 150 1 2 3";
    ASSERT_EQ(system_parse_cputime(stat.c_str(), &us), 0);
    EXPECT_EQ(us, 400ull * 1000000 / static_cast<uint64_t>(tck));
    EXPECT_EQ(system_parse_cputime("12 (x R 1 2", &us), -1);
    EXPECT_EQ(system_parse_cputime("12 (x) R 1 2", &us), -1);
    EXPECT_EQ(system_proc_cputime(getpid(), &us), 0);
}

TEST(SystemInfo, PathsAndNumbers)
{
    char *exe = system_exe_path(getpid(), nullptr);
    ASSERT_TRUE(exe);
    EXPECT_STREQ(strrchr(exe, '/'), "/test_common");
    char *beside = system_exe_path(getpid(), "fernrelayd");
    ASSERT_TRUE(beside);
    EXPECT_EQ(std::string(beside), std::string(exe, strrchr(exe, '/') + 1) + "fernrelayd");
    free(exe);
    free(beside);

    TempDir d;
    char *p = system_abspath((d.path + "/./sub/../x.pid").c_str());
    EXPECT_EQ(p, nullptr); // "sub" does not exist
    p = system_abspath((d.path + "/../" + d.path.substr(5) + "/x.pid").c_str());
    ASSERT_TRUE(p);
    EXPECT_EQ(std::string(p), d.path + "/x.pid");
    free(p);
    p = system_abspath("/x");
    ASSERT_TRUE(p);
    EXPECT_STREQ(p, "/x");
    free(p);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof(cwd)));
    p = system_abspath("rel");
    ASSERT_TRUE(p);
    EXPECT_EQ(std::string(p), std::string(cwd) + "/rel");
    free(p);

    uint8_t a[32] = {}, b[32] = {};
    EXPECT_EQ(system_random(a, sizeof(a)), 0);
    EXPECT_EQ(system_random(b, sizeof(b)), 0);
    EXPECT_NE(memcmp(a, b, sizeof(a)), 0);
    EXPECT_GT(system_page_size(), 0);
    EXPECT_GT(system_cpu_count(), 0);

    ethtool_channels ch;
    errno = 0;
    EXPECT_EQ(ethtool_get_channels("an-interface-name-too-long", &ch), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(Features, TextNamesTheSetBitsInOrder)
{
    char text[111];
    features_format(text, sizeof(text), (1u << FEATURE_AES) | (1u << FEATURE_XSK));
    EXPECT_STREQ(text, "aes xsk");
    features_format(text, sizeof(text), 0x7ff);
    EXPECT_STREQ(text, "aes crc32c xdp xsk alu32 jit fragment zerocopy fabric radio service");
    char small[8];
    features_format(small, sizeof(small), 0x7);
    EXPECT_STREQ(small, "aes"); // no half name
    EXPECT_EQ(features_set(32), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(features_set(FEATURE_SERVICE), 0);
    EXPECT_NE(strstr(features_text, "service"), nullptr);
}
