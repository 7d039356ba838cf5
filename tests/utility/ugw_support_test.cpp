// The utility's support functions: cache-line size, process exit watch,
// interface name patterns, UUID text.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/cn_proc.h>
#include <map>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "utility/ugw_support.h"

namespace
{

TEST(UgwSupport, CacheLineSizeFromItsFile)
{
    char path[] = "/tmp/ugw-cls-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    struct row {
        const char *content;
        long want;
    };
    for (const row &r : {row{"64\n", 64}, row{"128", 128}, row{"", -1}, row{"line\n", -1}}) {
        SCOPED_TRACE(r.content);
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, r.content, strlen(r.content), 0),
                  static_cast<ssize_t>(strlen(r.content)));
        errno = 0;
        EXPECT_EQ(cache_line_size_from(path), r.want);
        if (r.want < 0) {
            EXPECT_EQ(errno, EOPNOTSUPP);
        }
    }
    close(fd);
    unlink(path);
    EXPECT_EQ(cache_line_size_from("/nonexistent/coherency_line_size"), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
    // Read once: the same answer, and the same error code, every time.
    long first = cache_line_size();
    int err = errno;
    EXPECT_EQ(cache_line_size(), first);
    if (first < 0) {
        EXPECT_EQ(errno, EOPNOTSUPP);
        EXPECT_EQ(err, EOPNOTSUPP);
    }
}

std::map<unsigned, std::string> names;

char *fake_lookup(unsigned index, char *name)
{
    auto it = names.find(index);
    if (it == names.end()) {
        errno = ENXIO;
        return nullptr;
    }
    snprintf(name, 16, "%s", it->second.c_str());
    return name;
}

TEST(UgwSupport, IfnamesPatternTable)
{
    names = {
        {1, "eth0"}, {2, "eth1"}, {3, "eth2"},  {4, "vlan0.7"},         {5, "vlan1.7"},
        {6, "e%s0"}, {7, "e%s1"}, {8, "eth10"}, {9, "averyverylongx0"}, {10, "averyverylongx1"},
        {11, "eth0"}};
    struct row {
        std::vector<uint32_t> idx;
        const char *want; // null: none
        int err;
    };
    const row rows[] = {
        {{1, 2, 3}, "eth%d", 0},    {{2, 3}, nullptr, EINVAL}, // must count from 0
        {{2, 1}, nullptr, EINVAL},                             // in index order
        {{1}, "eth0", 0},           {{8}, "eth10", 0},
        {{4, 5}, "vlan%d.7", 0},    {{1, 8}, nullptr, EINVAL}, // eth0, eth10
        {{1, 11}, nullptr, EINVAL},                            // the same name twice
        {{6, 7}, nullptr, EINVAL},                             // a '%' of a name is no format
        {{9, 10}, nullptr, EINVAL},                            // a pattern of 16 characters
        {{1, 99}, nullptr, ENXIO},                             // an index without a name
        {{}, nullptr, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.want ? r.want : "none");
        char out[16];
        memset(out, 'x', sizeof(out));
        errno = 0;
        char *got = ifnames_pattern_with(fake_lookup, r.idx.data(), r.idx.size(), out);
        if (r.want) {
            ASSERT_EQ(got, out);
            EXPECT_STREQ(out, r.want);
        } else {
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(errno, r.err);
        }
    }
    // The real lookup: the loopback interface is index 1 and named.
    uint32_t lo = 1;
    char out[16];
    char name[16];
    if (if_indextoname(1, name)) {
        EXPECT_STREQ(ifnames_pattern(&lo, 1, out), name);
    }
}

TEST(UgwSupport, UuidParseTextTable)
{
    const uint8_t want[16] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0,
                              0x0f, 0xed, 0xcb, 0xa9, 0x87, 0x65, 0x43, 0x21};
    struct row {
        const char *text;
        bool ok;
    };
    const row rows[] = {
        {"12345678-9abc-def0-0fed-cba987654321", true},
        {"12345678-9ABC-DEF0-0FED-CBA987654321", true},
        {"12345678-9abc-def0-0fed-cba987654321 and more", true},
        {"12345678:9abc:def0:0fed:cba987654321", false},
        {"12345678-9abc-def0-0fed-cba98765432", false},  // 35 characters
        {"123456789abc-def0-0fed-cba987654321-", false}, // dash misplaced
        {"12345678-9abc-def0-0fed-cba98765432g", false},
        {"1234567 -9abc-def0-0fed-cba987654321", false},
        {"", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        uint8_t out[16];
        memset(out, 0xff, sizeof(out));
        EXPECT_EQ(uuid_parse_text(out, r.text), r.ok ? 0 : -1);
        if (r.ok) {
            EXPECT_EQ(memcmp(out, want, 16), 0);
        }
    }
}

bool readable(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

TEST(UgwSupport, PidWatchWakesOnlyForItsProcess)
{
    EXPECT_EQ(ugw_pid_watch(-1), -1);
    EXPECT_EQ(errno, EINVAL);
    if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";

    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t watched = fork();
    ASSERT_GE(watched, 0);
    if (watched == 0) {
        char c;
        close(gate[1]);
        _exit(read(gate[0], &c, 1) < 0 ? 1 : 0);
    }
    close(gate[0]);
    int fd = ugw_pid_watch(watched);
    if (fd < 0 && errno == EPERM) {
        close(gate[1]);
        waitpid(watched, nullptr, 0);
        GTEST_SKIP() << "the process-events group is refused here";
    }
    ASSERT_GE(fd, 0) << strerror(errno);

    // Their exit events are sent before waitpid sees them.
    for (int i = 0; i < 100; i++) {
        pid_t p = fork();
        ASSERT_GE(p, 0);
        if (p == 0) _exit(0);
        ASSERT_EQ(waitpid(p, nullptr, 0), p);
    }
    EXPECT_FALSE(readable(fd, 0));

    close(gate[1]);
    ASSERT_EQ(waitpid(watched, nullptr, 0), watched);
    ASSERT_TRUE(readable(fd, 5000));
    uint8_t buf[256];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    ASSERT_GE(n, 56);
    uint32_t what, pid;
    memcpy(&what, buf + 36, 4);
    memcpy(&pid, buf + 52, 4);
    EXPECT_EQ(what, 0x80000000u);
    EXPECT_EQ(pid, static_cast<uint32_t>(watched));
    close(fd);
}

} // namespace
