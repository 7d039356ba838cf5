// Instance discovery over socket tables, and the batch runner against the
// stand-in management server.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "gwc_fixture.h"
#include "utility/ugw_main.h"

using namespace gwc_test;

namespace
{

int collect(int pid, void *user)
{
    static_cast<std::vector<int> *>(user)->push_back(pid);
    return 0;
}

int scan(const std::string &table, const char *run_dir, std::vector<int> *pids)
{
    FILE *f = fmemopen(const_cast<char *>(table.data()), table.size(), "r");
    int r = ugw_find_instances_in(f, run_dir, UGW_SOCKET_BASE, collect, pids);
    fclose(f);
    return r;
}

const std::string header = "Num       RefCount Protocol Flags    Type St Inode Path\n";

std::string line(const std::string &path)
{
    return "0000000000000000: 00000002 00000000 00010000 0002 01 4242 " + path + "\n";
}

TEST(UgwDiscovery, MatchesThePathAsAString)
{
    const char *dir = "/tmp/a%s b";
    std::string table =
        header + line("/tmp/a%s b/ulmex-gatewaysock.31") + line("/tmp/a%s b/ulmex-gatewaysock.7x") +
        line("/tmp/a%s b2/ulmex-gatewaysock.8") + line("/tmp/a%s b/fernrelaysock.9") +
        line("@/tmp/a%s b/ulmex-gatewaysock.10") + line("/tmp/a%s b/ulmex-gatewaysock.") +
        line("/tmp/a%s b/ulmex-gatewaysock.99999999999") +
        "0000000000000000: 00000002 00000000 00010000 0002 01 4243\n" +
        line("/tmp/a%s b/ulmex-gatewaysock.12");
    std::vector<int> pids;
    EXPECT_EQ(scan(table, dir, &pids), 0);
    EXPECT_EQ(pids, (std::vector<int>{31, 12}));

    pids.clear();
    EXPECT_EQ(scan("Num RefCount Protocol Flags Type St Inode\n" + line("x"), dir, &pids), -1);
    EXPECT_EQ(scan("", dir, &pids), -1);
    // The literal header without the kernel's padding matches too.
    EXPECT_EQ(scan("Num RefCount Protocol Flags Type St Inode Path\n", dir, &pids), 0);

    // A non-zero callback result stops the scan and is returned.
    FILE *f = fmemopen(table.data(), table.size(), "r");
    int left = 1;
    EXPECT_EQ(ugw_find_instances_in(
                  f, dir, UGW_SOCKET_BASE,
                  [](int pid, void *user) { return (*static_cast<int *>(user))-- == 0 ? pid : 0; },
                  &left),
              12);
    fclose(f);
}

// Standard error of the calls in between, as text.
class StderrCapture
{
  public:
    StderrCapture()
    {
        char path[] = "/tmp/ugw-stderr-XXXXXX";
        fd = mkstemp(path);
        unlink(path);
        fflush(stderr);
        saved = dup(2);
        dup2(fd, 2);
    }
    std::string done()
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        char buf[4096] = {};
        ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
        close(fd);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }

  private:
    int fd, saved;
};

class UgwBatch : public Gwc
{
  protected:
    std::string write_file(const std::string &text)
    {
        std::string path = dir + "/batch";
        FILE *f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        return path;
    }

    std::vector<uint32_t> sent()
    {
        std::vector<uint32_t> types;
        for (const auto &r : fakegwd_journal(fake))
            types.push_back(ctl_get32(r.data(), 0));
        return types;
    }

    // Our own process would still hold the lock without the commit: the
    // server refuses a health check while anybody holds one.
    bool unlocked() { return gwc_health_check(c) == 0; }
};

TEST_F(UgwBatch, AnInvalidThirdLineStopsTheBatchAndStillCommits)
{
    std::string file = write_file("add hostset 1\n# a comment\n   lsit services\nadd hostset 2\n");
    StderrCapture err;
    int r = ugw_batch(file.c_str(), fakegwd_path(fake), 0, false, 0, 0);
    EXPECT_EQ(err.done(), file + ": 3: Invalid command\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(sent(), std::vector<uint32_t>{CTL_ADD_HOSTSET});
    EXPECT_TRUE(unlocked());
}

TEST_F(UgwBatch, AFailedCommandIsReportedWithItsLineAndCommits)
{
    std::string file = write_file("\n\nadd hostset 1\nremove hostset 1\nadd hostset 3\n");
    fakegwd_set_reply(fake, CTL_REMOVE_HOSTSET, [] {
        std::vector<uint8_t> s = reply_of(CTL_STATUS);
        ctl_put32(s.data(), 4, ENOENT);
        return s;
    }());
    StderrCapture err;
    int r = ugw_batch(file.c_str(), fakegwd_path(fake), 0, false, 0, 0);
    EXPECT_EQ(err.done(), file + ": 4: " + strerror(ENOENT) + "\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(sent(), (std::vector<uint32_t>{CTL_ADD_HOSTSET, CTL_REMOVE_HOSTSET}));
    EXPECT_TRUE(unlocked());
}

TEST_F(UgwBatch, LongLinesRunWholeAndTooLongOnesAreRefused)
{
    // A rule of some 300 bytes: read in pieces, its tail would run as a command.
    std::string rule = "permit in 17 from 10.0.0.0/8 1000-1001";
    for (int i = 0; i < 30; i++)
        rule += "," + std::to_string(2000 + i * 10) + "-" + std::to_string(2001 + i * 10);
    rule += " to 192.168.0.0/16 53";
    ASSERT_GT(rule.size(), 300u);
    std::string file = write_file("set nas r filter f first rule '" + rule + "'\n" +
                                  "set hostset 1 host '" + std::string(250, 'h') + "'\n" +
                                  "add hostset 5 " + std::string(5000, ' ') + "\n");
    StderrCapture err;
    int r = ugw_batch(file.c_str(), fakegwd_path(fake), 0, false, 0, 0);
    EXPECT_EQ(err.done(), file + ": 3: Invalid command\n");
    EXPECT_EQ(r, -1);
    ASSERT_EQ(sent(), (std::vector<uint32_t>{CTL_ADD_RULE, CTL_ADD_HOST}));
    EXPECT_TRUE(unlocked());
}

TEST_F(UgwBatch, DryRunSendsNothingAndEchoesWithDebug)
{
    std::string file = write_file("add hostset 1\nlist services\n");
    fflush(stdout);
    char path[] = "/tmp/ugw-stdout-XXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    int saved = dup(1);
    dup2(fd, 1);
    int r = ugw_batch(file.c_str(), "/nonexistent/socket", 0, true, 0, 1);
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    char buf[256] = {};
    ASSERT_GE(pread(fd, buf, sizeof(buf) - 1, 0), 0);
    close(fd);
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(buf, "check: add hostset 1\ncheck: list services\n");
    EXPECT_TRUE(sent().empty());
}

TEST_F(UgwBatch, AFileThatCannotBeOpened)
{
    StderrCapture err;
    EXPECT_EQ(ugw_batch((dir + "/none").c_str(), fakegwd_path(fake), 0, false, 0, 0), -1);
    EXPECT_EQ(err.done(), "Could not open " + dir + "/none: " + strerror(ENOENT) + "\n");
}

} // namespace
