// ugw's list and show outputs against the real daemon with its stand-in data
// plane: every object the daemon holds, in the table, abbreviated and JSON
// forms, each form agreeing with the others on the rows; golden rows where
// the daemon's answer does not depend on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/integration/child_process.h"

namespace
{

const std::string ugw_bin = UGW_BIN_DIR "/ugw";
const std::string gateway_bin = UGW_BIN_DIR "/ulmex-gateway";
const std::string stand_in = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";
const std::string RULE = std::string(80, '-');
const std::string A1 = "5e000000-0000-0000-0000-0000000000a1";
const std::string A2 = "5e000000-0000-0000-0000-0000000000a2";
constexpr int START_MS = 20000;

using namespace child_process;

child spawn(const std::vector<std::string> &args, const std::string &run, const std::string &var)
{
    return child_process::spawn(args, tool_env(run, var));
}

std::vector<std::string> lines_of(const std::string &s)
{
    std::vector<std::string> v;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        if (nl == s.npos) nl = s.size();
        v.push_back(s.substr(at, nl - at));
        at = nl + 1;
    }
    return v;
}

// Runs a shell filter over the document; its output, and the status.
std::string pipe_through(const std::string &doc, const std::string &command, int *status)
{
    char path[] = "/tmp/ugw-lists-doc-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, doc.data(), doc.size()) != static_cast<ssize_t>(doc.size())) {
        *status = -1;
        return "";
    }
    close(fd);
    FILE *p = popen((command + " < " + path + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    *status = p ? pclose(p) : -1;
    unlink(path);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// jq -c of the filter; the document must also pass Python's reader.
std::string jq(const std::string &doc, const std::string &filter)
{
    int status = 0;
    pipe_through(doc, "python3 -m json.tool >/dev/null", &status);
    EXPECT_EQ(status, 0) << "python3 refused: " << doc;
    std::string out = pipe_through(doc, "jq -c '" + filter + "'", &status);
    EXPECT_EQ(status, 0) << "jq refused: " << doc << "\n" << out;
    return out;
}

class UgwLists : public ::testing::Test
{
  protected:
    std::string dir, run, var;
    child daemon;

    void SetUp() override
    {
        if (system("command -v jq >/dev/null 2>&1") != 0) GTEST_SKIP() << "jq is not installed";
        // A NAS binds fixed RADIUS ports: a network of its own keeps this
        // daemon clear of the other tests' daemons.
        if (geteuid() == 0) {
            ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
            ASSERT_EQ(system("ip link set lo up"), 0);
        }
        char t[] = "/tmp/ugw-lists-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        run = dir + "/run";
        var = dir + "/var";
        mkdir(run.c_str(), 0755);
        mkdir(var.c_str(), 0755);
        int in = inotify_init1(IN_CLOEXEC);
        ASSERT_GE(in, 0);
        ASSERT_GE(inotify_add_watch(in, run.c_str(), IN_CREATE), 0);
        daemon = spawn({gateway_bin, "-D", stand_in, "-n", "1"}, run, var);
        close(daemon.in);
        std::string sock = run + "/ulmex-gatewaysock." + std::to_string(daemon.pid);
        struct stat st;
        for (int waited = 0; lstat(sock.c_str(), &st) != 0 && waited < START_MS; waited += 100) {
            pollfd p{in, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                if (read(in, buf, sizeof(buf)) < 0) break;
            }
        }
        close(in);
        if (lstat(sock.c_str(), &st) != 0) GTEST_SKIP() << "the daemon did not start here";
    }

    void TearDown() override
    {
        if (daemon.pid > 0) {
            kill(daemon.pid, SIGTERM);
            if (wait_status(daemon.pid, 10000) < 0) {
                kill(daemon.pid, SIGKILL);
                waitpid(daemon.pid, nullptr, 0);
            }
        }
        if (daemon.out >= 0) close(daemon.out);
        if (daemon.err >= 0) close(daemon.err);
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }

    result ugw(const std::vector<std::string> &args, const std::string &input = "")
    {
        std::vector<std::string> argv = {ugw_bin};
        argv.insert(argv.end(), args.begin(), args.end());
        return child_process::run(argv, tool_env(run, var), input);
    }

    void configure()
    {
        const std::string config = "add nas 'nas one'\n"
                                   "set nas 'nas one' ports 3\n"
                                   "set nas 'nas one' caching\n"
                                   "add nas 'nas one' auth server 127.0.0.1\n"
                                   "add nas 'nas one' auth server ::1\n"
                                   "add nas 'nas one' acct server 127.0.0.2\n"
                                   "add nas 'nas one' filter 'f1'\n"
                                   "set nas 'nas one' filter 'f1' last rule "
                                   "'permit in ip from any to 10.0.0.0/8'\n"
                                   "add nas 'nas one' filter 'f2'\n"
                                   "add hostset 7\n"
                                   "set hostset 7 host '*.example.com'\n"
                                   "set hostset 7 host 'host.example.org'\n"
                                   "add hostset 9\n"
                                   "add service " +
                                   A1 + "\nset service " + A1 + " ssid open-net\nset service " +
                                   A1 + " rsn auth psk\nadd service " + A2 + "\nset service " + A2 +
                                   " nas 'nas one'\nset service " + A2 +
                                   " rsn auth eap\n"
                                   "add port lo\n"
                                   "set port lo ip 127.0.0.1\n"
                                   "add port lo proto gre\n";
        result load = ugw({"-c", "-"}, config);
        ASSERT_EQ(load.status, 0) << load.err;
    }
};

// Each list in the three forms: the table is its header, the rule and one
// row per object; the abbreviated form one line per object; the document an
// array of as many objects, ended by one line feed.
TEST_F(UgwLists, EveryObjectInTheThreeForms)
{
    configure();
    const std::string pad60(60, ' ');
    struct list_case {
        std::vector<std::string> words;
        std::string header;
        std::vector<std::string> rows; // golden rows (prefixes where marked)
        bool prefixes;
        std::string abbreviated;
        bool any_order = false; // rows in the daemon's own order
    } cases[] = {
        {{"nases"},
         "Identifier" + std::string(57, ' ') + "  Ports Cache",
         {"nas one" + pad60 + "      3   yes"},
         false,
         "nas one\n"},
        {{"nas", "nas one", "auth", "servers"},
         "Server                         Port  RTT Request  Accept  Reject     CoA  Discon",
         {"127.0.0.1                      1812 0.00       0       0       0       0       0",
          "::1                            1812 0.00       0       0       0       0       0"},
         false,
         "127.0.0.1\n::1\n"},
        {{"nas", "nas one", "acct", "servers"},
         "Server                         Port  RTT    Request   Response",
         {"127.0.0.2                      1813 0.00          0          0"},
         false,
         "127.0.0.2\n"},
        {{"nas", "nas one", "filters"}, "Filter-Id", {"f1", "f2"}, false, "f1\nf2\n", true},
        {{"hostsets"}, "Hostset-Id", {"7", "9"}, false, "7\n9\n"},
        {{"services"},
         "Service-ID                           SSID                            Auth Status",
         {A1 + " open-net                           - ", A2 + " "},
         true,
         A1 + "\n" + A2 + "\n"},
        {{"ports"},
         "Interface        IP-Address             IPv6-Address",
         {"lo               127.0.0.1              "},
         true,
         "lo\n"},
        {{"protos"},
         "Proto     UDP  IP-Address             IPv6-Address",
         {"GRE         -  127.0.0.1  "},
         true,
         "GRE\n"},
        {{"vaps"},
         "BSSID              SSID                           Flows     Down      Up    Time",
         {},
         false,
         ""},
        {{"tunnels"},
         "Address                                 Proto     VNI Flo    Down      Up   Time",
         {},
         false,
         ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> list = {"list"};
        list.insert(list.end(), c.words.begin(), c.words.end());
        const std::string what = c.words[0] + (c.words.size() > 1 ? " " + c.words.back() : "");

        result text = ugw(list);
        ASSERT_EQ(text.status, 0) << what << ": " << text.err;
        std::vector<std::string> got = lines_of(text.out);
        ASSERT_EQ(got.size(), 2 + c.rows.size()) << what << ":\n" << text.out;
        if (c.any_order) std::sort(got.begin() + 2, got.end());
        EXPECT_EQ(got[0], c.header) << what;
        EXPECT_EQ(got[1], RULE) << what;
        for (size_t i = 0; i < c.rows.size(); i++) {
            if (c.prefixes)
                EXPECT_EQ(got[2 + i].substr(0, c.rows[i].size()), c.rows[i]) << what;
            else
                EXPECT_EQ(got[2 + i], c.rows[i]) << what;
        }

        list.insert(list.begin(), "-s");
        result brief = ugw(list);
        EXPECT_EQ(brief.status, 0) << what << ": " << brief.err;
        if (c.any_order) {
            std::vector<std::string> b = lines_of(brief.out);
            std::sort(b.begin(), b.end());
            brief.out.clear();
            for (const std::string &l : b)
                brief.out += l + "\n";
        }
        EXPECT_EQ(brief.out, c.abbreviated) << what;

        list[0] = "-j";
        result doc = ugw(list);
        ASSERT_EQ(doc.status, 0) << what << ": " << doc.err;
        ASSERT_FALSE(doc.out.empty());
        EXPECT_EQ(doc.out.back(), '\n');
        EXPECT_EQ(doc.out.find('\n'), doc.out.size() - 1) << what;
        EXPECT_EQ(jq(doc.out, "[type, length]"),
                  "[\"array\"," + std::to_string(c.rows.size()) + "]")
            << what;
        if (c.rows.empty()) {
            EXPECT_EQ(doc.out, "[]\n");
        }
    }

    // The documents name the objects the abbreviated lines name.
    EXPECT_EQ(jq(ugw({"-j", "list", "services"}).out, "map(.ulmexServiceId)"),
              "[\"" + A1 + "\",\"" + A2 + "\"]");
    EXPECT_EQ(jq(ugw({"-j", "list", "hostsets"}).out, "."), "[7,9]");
    EXPECT_EQ(jq(ugw({"-j", "list", "nas", "nas one", "filters"}).out, "sort"), "[\"f1\",\"f2\"]");
    EXPECT_EQ(
        jq(ugw({"-j", "list", "nas", "nas one", "auth", "servers"}).out, "map(keys_unsorted)"),
        "[[\"radiusAuthClientServerExtTable\",\"radiusDynAuthClientTable\"],"
        "[\"radiusAuthClientServerExtTable\",\"radiusDynAuthClientTable\"]]");
}

// What the daemon holds of itself: its pools, the stand-in's AF_XDP sockets
// and fabric, the module names; rows agree across the forms.
TEST_F(UgwLists, PoolsSocketsAndModules)
{
    result pools = ugw({"list", "memory"});
    ASSERT_EQ(pools.status, 0) << pools.err;
    std::vector<std::string> rows = lines_of(pools.out);
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0],
              "Name                            Mode   Size   Block Capacity  Alloc   Usage Load");
    EXPECT_EQ(rows[1], RULE);
    std::string names = ugw({"-s", "list", "memory"}).out;
    std::string doc = ugw({"-j", "list", "memory"}).out;
    EXPECT_EQ(jq(doc, "length"), std::to_string(rows.size() - 2));
    std::string from_doc = jq(doc, ".[].memName");
    std::string quoted;
    for (const std::string &n : lines_of(names))
        quoted += (quoted.empty() ? "\"" : "\n\"") + n + "\"";
    EXPECT_EQ(from_doc, quoted);
    // The name column: cut at 31, padded to 31.
    for (size_t i = 2; i < rows.size(); i++) {
        std::string name = lines_of(names)[i - 2].substr(0, 31);
        name.resize(31, ' ');
        EXPECT_EQ(rows[i].substr(0, 32), name + " ");
    }

    // One pool's show in the three forms.
    const std::string pool = lines_of(names).back();
    result show = ugw({"show", "memory", pool});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(lines_of(show.out)[0], "                Name: " + pool.substr(0, 31));
    EXPECT_EQ(ugw({"-s", "show", "memory", pool}).out, pool + "\n");
    EXPECT_EQ(jq(ugw({"-j", "show", "memory", pool}).out, "[keys_unsorted, .ulmexMempool.memName]"),
              "[[\"ulmexMempool\"],\"" + pool + "\"]");
    result allocs = ugw({"-j", "list", "memory", pool, "allocations"});
    EXPECT_EQ(allocs.status, 0) << allocs.err;
    EXPECT_EQ(jq(allocs.out, "type"), "\"array\"");

    result xsk = ugw({"list", "sockets"});
    ASSERT_EQ(xsk.status, 0) << xsk.err;
    rows = lines_of(xsk.out);
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0],
              "Interface    Queue Ring Fill Pend  Blk Sent  Drops Error Rcvd  Drops Error Starv");
    doc = ugw({"-j", "list", "sockets"}).out;
    EXPECT_EQ(jq(doc, "type"), "\"array\"");
    result fabric = ugw({"-j", "list", "fabric"});
    EXPECT_EQ(fabric.status, 0) << fabric.err;
    EXPECT_EQ(jq(fabric.out, "type"), "\"array\"");

    result modules = ugw({"-j", "list", "modules"});
    EXPECT_EQ(jq(modules.out, "[keys_unsorted, (.ulmexModules | length)]"),
              "[[\"ulmexModules\"],18]");
    EXPECT_EQ(lines_of(ugw({"-s", "list", "modules"}).out).size(), 18u);
}

// The shows of one of each: the hostset's leading dot comes back with its
// "*", a service prints its 802.1X records only for an 802.1X AKM, and a
// server is found by its address among the NAS's two.
TEST_F(UgwLists, ShowsOfOneOfEach)
{
    configure();
    result hostset = ugw({"show", "hostset", "7"});
    ASSERT_EQ(hostset.status, 0) << hostset.err;
    EXPECT_EQ(hostset.out, "          Hostset Id: 7\n"
                           "             Host #0: *.example.com\n"
                           "             Host #1: host.example.org\n");
    EXPECT_EQ(ugw({"-j", "show", "hostset", "7"}).out,
              "{\"ulmexHostSetId\":7,\"ulmexHostSet\":[\"*.example.com\",\"host.example.org\"]}\n");
    EXPECT_EQ(ugw({"-s", "show", "hostset", "7"}).out, "7\n");

    result filter = ugw({"show", "nas", "nas one", "filter", "f1"});
    EXPECT_EQ(filter.out, "    RADIUS Filter-Id: f1\n"
                          "             Rule #0: permit in ip from any to 10.0.0.0/8\n");
    EXPECT_EQ(ugw({"-j", "show", "nas", "nas one", "filter", "f2"}).out,
              "{\"ulmexRadiusFilterId\":\"f2\",\"ulmexRadiusFilterRules\":[]}\n");

    result eap = ugw({"show", "service", A2});
    result psk = ugw({"show", "service", A1});
    ASSERT_EQ(eap.status, 0) << eap.err;
    ASSERT_EQ(psk.status, 0) << psk.err;
    EXPECT_NE(eap.out.find("     Rx EAPoL Frames: 0\n"), std::string::npos) << eap.out;
    EXPECT_EQ(psk.out.find("EAPoL"), std::string::npos) << psk.out;
    EXPECT_EQ(lines_of(psk.out)[0], "          Service ID: " + A1);
    for (const std::string &u : {A1, A2}) {
        std::string doc = ugw({"-j", "show", "service", u}).out;
        EXPECT_EQ(jq(doc, "keys_unsorted | [first, .[-2], .[-1]]"),
                  "[\"ulmexService\",\"dot1xAuthStats\",\"dot1xAuthDiag\"]");
        EXPECT_EQ(ugw({"-s", "show", "service", u}).out, u + "\n");
    }

    EXPECT_EQ(ugw({"-s", "show", "nas", "nas one", "auth", "server", "::1"}).out, "::1\n");
    EXPECT_EQ(ugw({"-s", "show", "nas", "nas one", "acct", "server", "127.0.0.2"}).out,
              "127.0.0.2\n");
    std::string server = ugw({"-j", "show", "nas", "nas one", "auth", "server", "::1"}).out;
    EXPECT_EQ(
        jq(server, "[keys_unsorted, .radiusAuthClientServerExtTable.radiusAuthServerInetAddress]"),
        "[[\"radiusAuthClientServerExtTable\",\"radiusDynAuthClientTable\"],\"::1\"]");
    result missing = ugw({"-s", "show", "nas", "nas one", "auth", "server", "127.0.0.2"});
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(missing.out, "");

    EXPECT_EQ(jq(ugw({"-j", "show", "nas", "nas one"}).out, "keys_unsorted"),
              "[\"radiusClientConfigTable\"]");
    EXPECT_EQ(jq(ugw({"-j", "show", "port", "lo"}).out, "keys_unsorted"), "[\"ulmexPort\"]");
    EXPECT_EQ(ugw({"-s", "show", "port", "lo"}).out, "lo\n");
}

// Flows answer once the daemon dumps them; until then the failure is the
// daemon's and nothing is printed.
TEST_F(UgwLists, FlowsListOrTheDaemonsRefusal)
{
    for (const char *form : {"", "-s", "-j"}) {
        std::vector<std::string> args = {"list", "flows"};
        if (*form) args.insert(args.begin(), form);
        result r = ugw(args);
        if (r.status != 0) {
            EXPECT_EQ(r.err, std::string(strerror(EOPNOTSUPP)) + "\n") << form;
            EXPECT_EQ(r.out, "") << form;
        } else if (std::string(form) == "-j") {
            EXPECT_EQ(r.out, "[]\n");
        }
    }
}

} // namespace
