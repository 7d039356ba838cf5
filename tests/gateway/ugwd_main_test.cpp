#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/system.h"
#include "gateway/ugwd_main.h"

namespace {

std::string slurp(FILE *f)
{
    std::string s;
    rewind(f);
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        s.append(buf, n);
    return s;
}

// Run directories in a temporary folder for the whole suite.
class Options : public ::testing::Test {
protected:
    static std::string dir;

    static void SetUpTestSuite()
    {
        char t[] = "/tmp/ugw-opts-XXXXXX";
        dir = mkdtemp(t);
        mkdir((dir + "/var").c_str(), 0755);
        mkdir((dir + "/var/run").c_str(), 0755);
        setenv("TMPDIR", dir.c_str(), 1);
        setenv("VARDIR", (dir + "/var").c_str(), 1);
        unsetenv("RUNDIR");
        rundir_init();
    }
    static void TearDownTestSuite()
    {
        rundir_fini();
        unsetenv("TMPDIR");
        unsetenv("VARDIR");
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    ugwd_options o{};
    std::string out, err;

    void TearDown() override { ugwd_options_free(&o); }

    ugwd_parse_result parse(std::vector<std::string> args, unsigned channels = 4,
                            unsigned cpus = 8)
    {
        ugwd_options_free(&o);
        EXPECT_EQ(ugwd_options_defaults(&o, channels, cpus), 0);
        args.insert(args.begin(), "ulmex-gateway");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        FILE *fo = tmpfile(), *fe = tmpfile();
        auto r = ugwd_options_parse(&o, static_cast<int>(args.size()), argv.data(), fo, fe);
        out = slurp(fo);
        err = slurp(fe);
        fclose(fo);
        fclose(fe);
        return r;
    }

    std::vector<std::string> child_args(unsigned index)
    {
        ugwd_child_args a;
        ugwd_child_args_build(&a, &o, index);
        std::vector<std::string> v;
        for (const char *const *p = a.argv; *p; p++)
            v.emplace_back(*p);
        return v;
    }
};

std::string Options::dir;

} // namespace

TEST_F(Options, DefaultsComeFromTheRunDirectories)
{
    ASSERT_EQ(parse({}), UGWD_RUN);
    std::string run = dir + "/var/run", var = dir + "/var";
    EXPECT_EQ(std::string(o.control_sock), run + "/ulmex-gatewaysock");
    EXPECT_EQ(std::string(o.dp_sock_prefix), run + "/fernrelaysock");
    EXPECT_EQ(std::string(o.pid_file), run + "/ulmex-gateway.pid");
    EXPECT_EQ(std::string(o.lease_file), var + "/ulmex-gateway.leases");
    ASSERT_TRUE(o.dp_program);
    EXPECT_STREQ(strrchr(o.dp_program, '/'), "/fernrelayd");
    EXPECT_EQ(o.log_file, nullptr);
    EXPECT_EQ(o.port, 6727u);
    EXPECT_EQ(o.nprocs, 8u);
    EXPECT_EQ(o.ifindex, 0u);
    EXPECT_EQ(o.buffer_size, 4096u);
    EXPECT_EQ(o.memory_size, 4ull << 25);
    EXPECT_EQ(o.ring_size, 1024u);
    EXPECT_EQ(o.debug, 0u);
    EXPECT_FALSE(o.daemon || o.configure || o.syslog || o.log_pid || o.log_time || o.log_line ||
                 o.disable_xsk);
}

TEST_F(Options, DefaultMemoryNeverWrapsAndStaysValid)
{
    EXPECT_EQ(ugwd_default_memory(1), 32ull << 20);
    EXPECT_EQ(ugwd_default_memory(63), 63ull << 25);
    for (unsigned ch : {64u, 128u, 4096u, 1u << 31, ~0u}) {
        uint64_t m = ugwd_default_memory(ch);
        EXPECT_GT(m, 0u) << ch;
        EXPECT_LT(m, UGWD_MEMORY_LIMIT) << ch;
        EXPECT_EQ(m, ugwd_default_memory(64)) << ch;
    }
}

TEST_F(Options, Table)
{
    using check = std::function<void(const ugwd_options &)>;
    struct {
        std::vector<std::string> args;
        ugwd_parse_result result;
        const char *message; // on err for failures
        check ok;
    } cases[] = {
        {{"-p", "6000"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.port, 6000u); }},
        {{"--port=0x1a2b"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.port, 0x1a2bu); }},
        {{"-p", "65535"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.port, 65535u); }},
        {{"-p", "65536"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid controller port '65536'\n"},
        {{"-p", "70000"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid controller port '70000'\n"},
        {{"-p", "80x"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid controller port '80x'\n"},
        {{"-p", "-1"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid controller port '-1'\n"},
        {{"-p", ""}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid controller port ''\n"},
        {{"-n", "2"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.nprocs, 2u); }},
        {{"--cpu-cores", "010"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.nprocs, 8u); }},
        {{"-n", "0"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid number of CPU cores '0'\n"},
        {{"-n", "2x"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid number of CPU cores '2x'\n"},
        {{"-n", "x"}, UGWD_EXIT_FAIL, "ulmex-gateway: invalid number of CPU cores 'x'\n"},
        {{"-n", "99999999999"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid number of CPU cores '99999999999'\n"},
        {{"--buffer-size", "4Ki"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.buffer_size, 4096u); }},
        {{"--buffer-size", "2048B"}, UGWD_RUN, "",
         [](auto &x) { EXPECT_EQ(x.buffer_size, 2048u); }},
        {{"--buffer-size", "512b"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.buffer_size, 512u); }},
        {{"--buffer-size", "4k"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--buffer-size'\n"},
        {{"--buffer-size", "256"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--buffer-size'\n"},
        {{"--buffer-size", "4KiBB"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--buffer-size'\n"},
        {{"--buffer-size", "4Gi"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--buffer-size'\n"},
        {{"--memory-size", "64MiB"}, UGWD_RUN, "",
         [](auto &x) { EXPECT_EQ(x.memory_size, 64ull << 20); }},
        {{"--memory-size", "1.5Gi"}, UGWD_RUN, "",
         [](auto &x) { EXPECT_EQ(x.memory_size, 3ull << 29); }},
        {{"--memory-size", "2Gi"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--memory-size'\n"},
        {{"--memory-size", "100"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--memory-size'\n"},
        {{"--memory-size", "99999999999999999999999"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--memory-size'\n"},
        {{"--ring-size", "0"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.ring_size, 0u); }},
        {{"--ring-size", "2ki"}, UGWD_RUN, "", [](auto &x) { EXPECT_EQ(x.ring_size, 2048u); }},
        {{"--ring-size", "1000"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--ring-size'\n"},
        {{"--ring-size", "1024B"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: invalid value for option '--ring-size'\n"},
        {{"-i", "lo"}, UGWD_RUN, "", [](auto &x) { EXPECT_GT(x.ifindex, 0u); }},
        {{"-i", "no-such-if0"}, UGWD_EXIT_FAIL, "ulmex-gateway: no-such-if0: No such device\n"},
        {{"-S", "/nonexistent/dir/sock"}, UGWD_EXIT_FAIL,
         "ulmex-gateway: bad path '/nonexistent/dir/sock': No such file or directory\n"},
        {{"-P", "/tmp/../tmp/a.pid", "-P", "/tmp/b.pid"}, UGWD_RUN, "",
         [](auto &x) { EXPECT_STREQ(x.pid_file, "/tmp/b.pid"); }},
        {{"-W", "/tmp/./l", "-F", "/tmp/log", "-S", "/tmp/s", "-D", "/tmp/dp"}, UGWD_RUN, "",
         [](auto &x) {
             EXPECT_STREQ(x.lease_file, "/tmp/l");
             EXPECT_STREQ(x.log_file, "/tmp/log");
             EXPECT_STREQ(x.control_sock, "/tmp/s");
             EXPECT_STREQ(x.dp_program, "/tmp/dp");
         }},
        {{"-B"}, UGWD_RUN, "", [](auto &x) { EXPECT_TRUE(x.daemon && x.syslog); }},
        {{"-B", "-F", "/tmp/log"}, UGWD_RUN, "", [](auto &x) { EXPECT_FALSE(x.syslog); }},
        {{"-L"}, UGWD_RUN, "", [](auto &x) { EXPECT_TRUE(x.syslog && !x.daemon); }},
        {{"-C", "--disable-xsk", "-ddd", "-xtl"}, UGWD_RUN, "",
         [](auto &x) {
             EXPECT_TRUE(x.configure && x.disable_xsk && x.log_pid && x.log_time && x.log_line);
             EXPECT_EQ(x.debug, 3u);
             EXPECT_EQ(ugwd_log_format(&x), 1 | 4 | 8 | 16);
         }},
        {{"--bogus"}, UGWD_EXIT_FAIL, ""},
        {{"-p"}, UGWD_EXIT_FAIL, ""},
        {{"stray"}, UGWD_EXIT_FAIL, "ulmex-gateway: unexpected argument 'stray'\n"},
        {{"--version"}, UGWD_EXIT_OK, ""},
    };
    for (auto &c : cases) {
        std::string name;
        for (auto &a : c.args)
            name += a + " ";
        ASSERT_EQ(parse(c.args), c.result) << name;
        if (c.result == UGWD_EXIT_FAIL && *c.message) {
            EXPECT_EQ(err, c.message) << name;
        }
        if (c.ok)
            c.ok(o);
    }
}

TEST_F(Options, HelpVersionFeaturesLicense)
{
    ASSERT_EQ(parse({"--version"}), UGWD_EXIT_OK);
    EXPECT_EQ(out, "3.1.10\n");
    features_set(FEATURE_SERVICE);
    ASSERT_EQ(parse({"--features"}), UGWD_EXIT_OK);
    EXPECT_EQ(out, std::string(features_text) + "\n");
    EXPECT_NE(out.find("service"), std::string::npos);
    ASSERT_EQ(parse({"--license"}), UGWD_EXIT_OK);
    EXPECT_FALSE(out.empty());

    ASSERT_EQ(parse({"-S", "/tmp/s", "-h"}, 2, 3), UGWD_EXIT_OK);
    std::string want = "Ulmex Gateway control plane daemon\n"
                       "Usage: ulmex-gateway [options...]\n"
                       "Options:\n"
                       "\t    --version             Show software version\n";
    EXPECT_EQ(out.substr(0, want.size()), want);
    EXPECT_NE(out.find("\t-S, --control-sock=PATH   Control socket path [/tmp/s]\n"),
              std::string::npos);
    EXPECT_NE(out.find("\t-p, --port=PORT           Set controller UDP port [6727]\n"),
              std::string::npos);
    EXPECT_NE(out.find("\t    --memory-size=SIZE    Set total buffer memory [64.0 MiB]\n"),
              std::string::npos);
    EXPECT_NE(out.find("\t-h, --help                Display this help and exit\nEnvironment:\n"
                       "\tTMPDIR     /tmp           " +
                       dir + "\n\tVARDIR     /var           " + dir +
                       "/var\n\tRUNDIR     $VARDIR/run    " + dir + "/var/run\n"),
              std::string::npos)
        << out;
}

TEST_F(Options, ChildMemoryShares)
{
    const uint64_t Mi = 1 << 20;
    struct {
        uint64_t buffer, memory;
        unsigned k, n, i;
        uint64_t share;
    } cases[] = {
        {4096, 128 * Mi, 4, 4, 0, 32 * Mi},
        {4096, 128 * Mi, 4, 2, 1, 64 * Mi},
        // More processes than channels: the extra ones share one N-th.
        {4096, 128 * Mi, 4, 8, 0, 28 * Mi},
        {4096, 128 * Mi, 4, 8, 7, 4 * Mi},
        // Rounded up to the buffer size (or the page, when that is larger).
        {4096, 1000000, 1, 3, 0, 667648},
        {4096, 1000000, 1, 3, 2, 167936},
        {65536, 1000000, 1, 1, 0, 1048576},
        {4096, 0, 1, 1, 0, 0},
    };
    for (auto &c : cases) {
        EXPECT_EQ(ugwd_child_memory_share(c.buffer, c.memory, c.k, c.n, c.i), c.share)
            << c.memory << " " << c.k << " " << c.n << " " << c.i;
    }
}

TEST_F(Options, ChildArgumentLists)
{
    using args = std::vector<std::string>;
    struct {
        args options;
        unsigned channels, index;
        args tail; // after the program path, "-S" and the socket prefix
    } cases[] = {
        {{"-n", "2"}, 2, 0, {"--buffer-size", "4096", "--ring-size", "1024", "--memory-size", "32.0MiB"}},
        {{"-n", "1"}, 1, 0,
         {"--buffer-size", "4096", "--ring-size", "1024", "--memory-size", "32.0MiB",
          "--disable-fabric"}},
        {{"-n", "1", "-dd"}, 1, 0,
         {"-dd", "--buffer-size", "4096", "--ring-size", "1024", "--memory-size", "32.0MiB",
          "--disable-fabric"}},
        {{"-n", "2", "-ddddddd", "-x", "-l", "--disable-xsk", "--ring-size", "0"}, 1, 1,
         {"-dddd", "-xl", "--buffer-size", "4096", "--memory-size", "16.0MiB", "--disable-xsk"}},
        {{"-n", "2", "-B", "-F", "/tmp/f.log", "-t"}, 2, 1,
         {"-F", "/tmp/f.log", "-t", "--buffer-size", "4096", "--ring-size", "1024",
          "--memory-size", "32.0MiB"}},
        {{"-n", "2", "-B"}, 2, 0,
         {"-L", "--buffer-size", "4096", "--ring-size", "1024", "--memory-size", "32.0MiB"}},
        {{"-n", "3", "--memory-size", "1000000", "--buffer-size", "2KiB"}, 1, 2,
         {"--buffer-size", "2048", "--ring-size", "1024", "--memory-size", "164Ki" "B"}},
        {{"-n", "2", "--memory-size", "4096"}, 4, 1,
         {"--buffer-size", "4096", "--ring-size", "1024", "--memory-size", "4.00KiB"}},
    };
    for (auto &c : cases) {
        ASSERT_EQ(parse(c.options, c.channels), UGWD_RUN);
        args got = child_args(c.index);
        args want = {o.dp_program, "-S", o.dp_sock_prefix};
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(got, want) << c.options[0] << " " << c.options.back();
    }
}
