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

#include "tests/integration/child_process.h"

namespace
{

const std::string ugw_bin = UGW_BIN_DIR "/ugw";
const std::string fake_bin = UGW_BIN_DIR "/tools/fakegwd/fakegwd";
const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";
const std::string U = "0123abcd-0000-0000-0000-00000000beef";

using namespace child_process;

child spawn(const std::vector<std::string> &args, const std::string &run,
            const std::string &var = "")
{
    return child_process::spawn(args, tool_env(run, var));
}

result ugw(const std::vector<std::string> &args, const std::string &run,
           const std::string &input = "")
{
    std::vector<std::string> argv = {ugw_bin};
    argv.insert(argv.end(), args.begin(), args.end());
    return child_process::run(argv, tool_env(run), input);
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
