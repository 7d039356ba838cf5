// ugw as a new user meets it: exit statuses and texts, discovery of running
// daemons on this machine's socket table, and a batch killed half-way.
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
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

const std::string ugw_bin = UGW_BIN_DIR "/ugw";
const std::string fake_bin = UGW_BIN_DIR "/tools/fakegwd/fakegwd";
const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";
const std::string U = "0123abcd-0000-0000-0000-00000000beef";

struct child {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    int err = -1; // its standard error
};

// Starts a program with the run directory in its environment; pipes on 0, 1, 2.
child spawn(const std::vector<std::string> &args, const std::string &run,
            const std::string &var = "")
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    std::vector<std::string> env = {"RUNDIR=" + run, "PATH=/usr/bin:/bin"};
    if (!var.empty()) env.push_back("VARDIR=" + var);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    return {pid, in[1], out[0], err[0]};
}

std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// One line of a child's output, waited for with a bound.
std::string read_line(int fd, int timeout_ms = 10000)
{
    std::string s;
    char ch;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return s;
        if (read(fd, &ch, 1) != 1 || ch == '\n') return s;
        s += ch;
    }
}

struct result {
    int status;
    std::string out, err;
};

result ugw(const std::vector<std::string> &args, const std::string &run,
           const std::string &input = "")
{
    std::vector<std::string> argv = {ugw_bin};
    argv.insert(argv.end(), args.begin(), args.end());
    child c = spawn(argv, run);
    if (!input.empty() && write(c.in, input.data(), input.size()) < 0) ADD_FAILURE();
    close(c.in);
    result r;
    r.err = read_all(c.err);
    r.out = read_all(c.out);
    int st = 0;
    waitpid(c.pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

class UgwCli : public ::testing::Test
{
  protected:
    std::string dir, run;
    std::vector<child> fakes;

    void SetUp() override
    {
        // A run directory whose path holds a conversion and a blank.
        char t[] = "/tmp/ugw cli %s%n-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        run = dir + "/run";
        mkdir(run.c_str(), 0755);
    }

    void TearDown() override
    {
        for (child &f : fakes)
            stop(f);
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    pid_t start_fake()
    {
        child f = spawn({fake_bin, run}, run);
        std::string path = read_line(f.out);
        EXPECT_FALSE(path.empty()) << "the stand-in server did not start";
        fakes.push_back(f);
        return f.pid;
    }

    // Returns once the stand-in has taken the line: it reads its input in
    // order, so the journal's end mark follows it.
    void script(const std::string &line)
    {
        std::string l = line + "\njournal\n";
        ASSERT_EQ(write(fakes.back().in, l.data(), l.size()), static_cast<ssize_t>(l.size()));
        std::string got;
        do
            got = read_line(fakes.back().out);
        while (!got.empty() && got != ".");
        ASSERT_EQ(got, ".") << "the stand-in server did not take " << line;
    }

    static void stop(child &f)
    {
        if (f.pid <= 0) return;
        close(f.in);
        kill(f.pid, SIGTERM);
        waitpid(f.pid, nullptr, 0);
        close(f.out);
        close(f.err);
        f.pid = -1;
    }
};

TEST_F(UgwCli, ExitStatusesAndTextsAsANewUserMeetsThem)
{
    struct row {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    // No daemon yet.
    const std::vector<row> alone = {
        {{}, 1, ""},
        {{"-h"}, 0, ""},
        {{"list", "services"}, 1, "Gateway instance #0 not found\n"},
        {{"-n", "list", "services"}, 0, ""},
        {{"-q", "list", "services"}, 1, ""},
        {{"-n", "lsit", "services"}, 1, "Invalid command\n"},
        {{"-p", "x", "list", "services"}, 1, "ugw: invalid pid 'x'\n"},
    };
    for (const row &r : alone) {
        result got = ugw(r.args, run);
        std::string what = r.args.empty() ? "(no arguments)" : r.args[0];
        EXPECT_EQ(got.status, r.status) << what;
        EXPECT_EQ(got.err, r.err) << what;
    }
    result help = ugw({"-h"}, run);
    EXPECT_EQ(help.out.rfind(
                  "ugw - Ulmex Gateway management utility\nUsage: ugw [options] <command>\n", 0),
              0u);
    EXPECT_NE(help.out.find("\tRUNDIR     $VARDIR/run    " + run + "\n"), std::string::npos);
    EXPECT_EQ(ugw({}, run).out, help.out);

    start_fake();
    const std::vector<row> one = {
        {{"list", "services"}, 0, ""},
        {{"lsit", "services"}, 1, "Invalid command\n"},
        {{"show", "service"}, 1, "Invalid command\n"},
        {{"show", "hostset", "0"}, 1, "Invalid command\nInvalid argument\n"},
        {{"-i", "1", "list", "services"}, 1, "Gateway instance #1 not found\n"},
        {{"-q", "lsit", "services"}, 1, ""},
        {{"check"}, 0, ""},
    };
    for (const row &r : one) {
        result got = ugw(r.args, run);
        EXPECT_EQ(got.status, r.status) << r.args[0] << " " << r.args[1];
        EXPECT_EQ(got.err, r.err) << r.args[0] << " " << r.args[1];
    }
    // A refusal carries the daemon's error number.
    script("fault status 1");
    result refused = ugw({"add", "service", U}, run);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, std::string(strerror(EPERM)) + "\n");
    // A batch from standard input reports its line.
    result batch = ugw({"-c", "-"}, run, "add hostset 1\n\nlsit\n");
    EXPECT_EQ(batch.status, 1);
    EXPECT_EQ(batch.err, "stdin: 3: Invalid command\n");
}

// The order the socket table lists the two servers' sockets in.
std::vector<pid_t> table_order(const std::string &run, const std::vector<pid_t> &pids)
{
    std::vector<pid_t> order;
    FILE *f = fopen("/proc/net/unix", "r");
    if (!f) return order;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) > 0) {
        std::string l = line;
        for (pid_t p : pids) {
            std::string path = run + "/ulmex-gatewaysock." + std::to_string(p);
            if (l.size() > path.size() &&
                l.compare(l.size() - path.size() - 1, path.size(), path) == 0)
                order.push_back(p);
        }
    }
    free(line);
    fclose(f);
    return order;
}

TEST_F(UgwCli, ListsTheInstancesInSocketTableOrder)
{
    pid_t a = start_fake();
    pid_t b = start_fake();
    std::vector<pid_t> order = table_order(run, {a, b});
    ASSERT_EQ(order.size(), 2u);
    result listed = ugw({"-l"}, run);
    EXPECT_EQ(listed.status, 0);
    EXPECT_EQ(listed.out,
              "0  pid=" + std::to_string(order[0]) + "\n1  pid=" + std::to_string(order[1]) + "\n");
    EXPECT_EQ(ugw({"-i", "1", "check"}, run).status, 0);
    EXPECT_EQ(ugw({"-i", "2", "check"}, run).err, "Gateway instance #2 not found\n");
    EXPECT_EQ(ugw({"-p", std::to_string(b), "check"}, run).status, 0);
}

TEST_F(UgwCli, QuietKeepsErrorsOffAPipeOnDescriptorTwo)
{
    start_fake();
    script("fault status 1");
    result r = ugw({"-q", "add", "service", U}, run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(UgwCli, ATerminatedBatchCommitsBeforeItEnds)
{
    start_fake();
    child b = spawn({ugw_bin, "-d", "-c", "-"}, run);
    std::string first = "add hostset 3\n";
    ASSERT_EQ(write(b.in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    EXPECT_EQ(read_line(b.out), "add hostset 3");
    kill(b.pid, SIGTERM);
    int st = 0;
    waitpid(b.pid, &st, 0);
    close(b.in);
    close(b.out);
    close(b.err);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 1);
    // Without the commit the lock of the vanished batch would refuse this
    // check until the server's next sweep.
    EXPECT_EQ(ugw({"check"}, run).err, "");
}

TEST_F(UgwCli, ABatchKilledHalfWayLeavesTheDaemonHealthy)
{
    std::string var = dir + "/var";
    mkdir(var.c_str(), 0755);
    int in = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(in, 0);
    ASSERT_GE(inotify_add_watch(in, run.c_str(), IN_CREATE), 0);
    child d = spawn({gateway_bin, "-D", stand_in, "-n", "1"}, run, var);
    ASSERT_GT(d.pid, 0);
    fakes.push_back(d); // stopped with the stand-ins
    std::string sock = run + "/ulmex-gatewaysock." + std::to_string(d.pid);
    struct stat st;
    for (int waited = 0; lstat(sock.c_str(), &st) != 0 && waited < 15000; waited += 100) {
        pollfd p{in, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            if (read(in, buf, sizeof(buf)) < 0) break;
        }
    }
    close(in);
    if (lstat(sock.c_str(), &st) != 0) {
        std::string err = read_all(d.err);
        GTEST_SKIP() << "the daemon did not start here: " << err;
    }

    child b = spawn({ugw_bin, "-d", "-c", "-"}, run);
    std::string first = "list services\n";
    ASSERT_EQ(write(b.in, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    // The echo comes after configure: the lock is held now.
    EXPECT_EQ(read_line(b.out), "list services");
    kill(b.pid, SIGKILL);
    waitpid(b.pid, nullptr, 0);
    close(b.in);
    close(b.out);
    close(b.err);

    // The daemon drops the lock of a process that has gone and says so.
    std::string said;
    for (int lines = 0; lines < 200; lines++) {
        said = read_line(d.err);
        if (said.empty() || said.find("Releasing lock of vanished IPC client process") != said.npos)
            break;
    }
    EXPECT_NE(said.find(std::to_string(b.pid)), std::string::npos) << said;
    result check = ugw({"check"}, run);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(ugw({"list", "services"}, run).status, 0);
}

} // namespace
