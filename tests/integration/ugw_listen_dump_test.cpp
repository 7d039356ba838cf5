// ugw listen and ugw -r against the real daemon: events in the three forms,
// the ways a listener ends, and a dump that rebuilds the same configuration
// in a fresh daemon and dumps again to the same bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
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
constexpr int START_MS = 20000;

using namespace child_process;

child spawn(const std::vector<std::string> &args, const std::string &run, const std::string &var,
            uid_t uid = 0)
{
    return child_process::spawn(args, tool_env(run, var), uid);
}

class UgwListenDump : public ::testing::Test
{
  protected:
    std::string dir, var;
    struct daemon {
        child c;
        std::string run;
    };
    std::vector<daemon> daemons;
    std::deque<child> listeners; // stable references
    int services = 0;            // each added service has a UUID of its own

    void SetUp() override
    {
        char t[] = "/tmp/ugw-listen-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        chmod(dir.c_str(), 0755); // for the unprivileged listener
        var = dir + "/var";
        mkdir(var.c_str(), 0755);
    }

    void TearDown() override
    {
        for (child &l : listeners)
            if (l.pid > 0) {
                kill(l.pid, SIGKILL);
                waitpid(l.pid, nullptr, 0);
            }
        for (daemon &d : daemons)
            if (d.c.pid > 0) {
                kill(d.c.pid, SIGCONT);
                kill(d.c.pid, SIGTERM);
                if (wait_status(d.c.pid, 10000) < 0) {
                    kill(d.c.pid, SIGKILL);
                    waitpid(d.c.pid, nullptr, 0);
                }
            }
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    // A daemon in a run directory of its own; its index in daemons.
    size_t start_daemon()
    {
        std::string run = dir + "/run" + std::to_string(daemons.size());
        mkdir(run.c_str(), 0755);
        int in = inotify_init1(IN_CLOEXEC);
        if (in < 0 || inotify_add_watch(in, run.c_str(), IN_CREATE) < 0) return SIZE_MAX;
        child d = spawn({gateway_bin, "-D", stand_in, "-n", "1"}, run, var);
        close(d.in);
        daemons.push_back({d, run});
        std::string sock = run + "/ulmex-gatewaysock." + std::to_string(d.pid);
        struct stat st;
        for (int waited = 0; lstat(sock.c_str(), &st) != 0 && waited < START_MS; waited += 100) {
            pollfd p{in, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                if (read(in, buf, sizeof(buf)) < 0) break;
            }
        }
        close(in);
        return lstat(sock.c_str(), &st) == 0 ? daemons.size() - 1 : SIZE_MAX;
    }

    result ugw(size_t d, const std::vector<std::string> &args, const std::string &input = "",
               uid_t uid = 0)
    {
        std::vector<std::string> argv = {ugw_bin};
        argv.insert(argv.end(), args.begin(), args.end());
        result r = child_process::run(argv, tool_env(daemons[d].run, var), input, uid);
        if (r.status < 0) ADD_FAILURE() << "ugw did not end";
        return r;
    }

    child &listen(size_t d, const std::vector<std::string> &args, uid_t uid = 0)
    {
        std::vector<std::string> argv = {ugw_bin};
        argv.insert(argv.end(), args.begin(), args.end());
        listeners.push_back(spawn(argv, daemons[d].run, var, uid));
        return listeners.back();
    }

    // Adds and removes services until the listener reports one's removal:
    // it has subscribed from then on. (The daemon announces a service added
    // by a command only once the controller accepts it.) The UUID, or empty.
    std::string until_heard(size_t d, child &l, std::string *line)
    {
        for (int tries = 0; tries < 60; tries++) {
            char uuid[40];
            snprintf(uuid, sizeof(uuid), "5e000000-0000-0000-0000-0000000000%02x", ++services);
            result added = ugw(d, {"add", "service", uuid});
            result removed = ugw(d, {"remove", "service", uuid});
            if (added.status != 0 || removed.status != 0) {
                ADD_FAILURE() << "add and remove service: " << added.err << removed.err;
                return "";
            }
            *line = read_line(l.out, 500);
            if (!line->empty()) return uuid;
        }
        return "";
    }
};

#define START_OR_SKIP(d)                                                                           \
    size_t d = start_daemon();                                                                     \
    if (d == SIZE_MAX) GTEST_SKIP() << "the daemon did not start here"

bool parses_as_json(const std::string &line)
{
    std::string cmd = "python3 -c 'import json,sys; json.loads(sys.stdin.read())'";
    FILE *p = popen(cmd.c_str(), "w");
    if (!p) return false;
    fwrite(line.data(), 1, line.size(), p);
    return pclose(p) == 0;
}

TEST_F(UgwListenDump, ServiceEventsInTheAbbreviatedAndJsonForms)
{
    START_OR_SKIP(d);
    child &abbrev = listen(d, {"-s", "listen", "services", "tunnels"});
    std::string line;
    std::string u = until_heard(d, abbrev, &line);
    ASSERT_FALSE(u.empty()) << "the listener printed nothing";
    EXPECT_EQ(line, "Delete service " + u);

    child &json = listen(d, {"-j", "listen", "services"});
    std::string v = until_heard(d, json, &line);
    ASSERT_FALSE(v.empty());
    EXPECT_EQ(line.rfind("{\"ulmexEvent\":\"stop\",\"ulmexService\":{", 0), 0u) << line;
    EXPECT_NE(line.find(v), std::string::npos);
    EXPECT_TRUE(parses_as_json(line)) << line;
    // The abbreviated listener saw the second service go too, one line each.
    std::vector<std::string> seen;
    while (seen.size() < 64 && (seen.empty() || seen.back() != "Delete service " + v)) {
        seen.push_back(read_line(abbrev.out, 10000));
        if (seen.back().empty()) break;
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "Delete service " + v);

    // A user the daemon does not trust may listen, but gets no dump: its
    // secrets would come blanked.
    if (getuid() != 0) GTEST_SKIP() << "an unprivileged user needs root to switch to";
    constexpr uid_t nobody = 65534;
    child &other = listen(d, {"-s", "listen", "services"}, nobody);
    std::string heard;
    std::string w = until_heard(d, other, &heard);
    ASSERT_FALSE(w.empty()) << read_all(other.err);
    EXPECT_EQ(heard, "Delete service " + w);
    result dump = ugw(d, {"-r"}, "", nobody);
    EXPECT_EQ(dump.status, 1);
    EXPECT_EQ(dump.out, "");
    EXPECT_EQ(dump.err, std::string(strerror(EPERM)) + "\n");
}

TEST_F(UgwListenDump, SignalsEndWithZeroAndTheDaemonsEndIsAnError)
{
    START_OR_SKIP(d);
    for (int sig : {SIGINT, SIGTERM}) {
        child &l = listen(d, {"-s", "listen", "services"});
        std::string line;
        ASSERT_FALSE(until_heard(d, l, &line).empty());
        kill(l.pid, sig);
        EXPECT_EQ(wait_status(l.pid, 10000), 0) << strsignal(sig);
        l.pid = -1;
    }

    // Stopped, the daemon answers no health check: the watchdog ends it.
    child &w = listen(d, {"-w", "2", "listen", "services"});
    std::string line;
    ASSERT_FALSE(until_heard(d, w, &line).empty());
    kill(daemons[d].c.pid, SIGSTOP);
    EXPECT_EQ(wait_status(w.pid, 20000), 1);
    w.pid = -1;
    EXPECT_EQ(read_all(w.err), "Operation timed out\n");
    kill(daemons[d].c.pid, SIGCONT);

    child &k = listen(d, {"listen", "flows", "services"});
    ASSERT_FALSE(until_heard(d, k, &line).empty());
    kill(daemons[d].c.pid, SIGKILL);
    waitpid(daemons[d].c.pid, nullptr, 0);
    daemons[d].c.pid = -1;
    EXPECT_EQ(wait_status(k.pid, 10000), 1);
    k.pid = -1;
    EXPECT_EQ(read_all(k.err), std::string(strerror(ESRCH)) + "\n");
}

TEST_F(UgwListenDump, ADumpReloadedIntoAFreshDaemonDumpsTheSameBytes)
{
    START_OR_SKIP(a);
    const std::string S = "service 5e000000-0000-0000-0000-0000000000a1";
    const std::string T = "service 5e000000-0000-0000-0000-0000000000a2";
    // One control only: entries that fail to connect rotate, and the dump
    // follows their order. Servers come before their secrets, one command each.
    const std::string config =
        "add control 'controller.invalid'\n"
        "set control 'controller.invalid' key "
        "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n"
        "add nas 'nas one'\n"
        "set nas 'nas one' ports 3\n"
        "add nas 'nas one' auth server 127.0.0.1\n"
        "set nas 'nas one' auth server 127.0.0.1 secret it\\'s\\\"q\\\"\n"
        "set nas 'nas one' auth server 127.0.0.1 port 18120\n"
        "add nas 'nas one' auth server ::1\n"
        "add nas 'nas one' acct server 127.0.0.2\n"
        "set nas 'nas one' acct server 127.0.0.2 secret acct\n"
        "set nas 'nas one' caching\n"
        "add nas 'nas one' filter 'f1'\n"
        "set nas 'nas one' filter 'f1' last rule 'permit in ip from any to 10.0.0.0/8'\n"
        "set nas 'nas one' filter 'f1' last rule 'deny out 17 from 10.0.0.0/8 53 to !assigned "
        "1000-2000,3000'\n"
        "add hostset 7\n"
        "set hostset 7 host '*.example.com'\n"
        "set hostset 7 host 'host.example.org'\n"
        "add " +
        S +
        "\n"
        "set " +
        S +
        " ssid it\\'s\\x0anon-\\xc3\\xa9\n"
        "set " +
        S +
        " psk passphrase 'correct horse'\n"
        "set " +
        S +
        " nas 'nas one'\n"
        "set " +
        S +
        " vni 42\n"
        "unset " +
        S +
        " qos\n"
        "set " +
        S +
        " amsdu agg\n"
        "set " +
        S +
        " amsdu spp none\n"
        "set " +
        S +
        " frag 2000\n"
        "set " +
        S +
        " timeout 299\n"
        "set " +
        S +
        " broadcast directed\n"
        "set " +
        S +
        " multicast control\n"
        "set " +
        S +
        " nd local\n"
        "set " +
        S +
        " isolation service\n"
        "set " +
        S +
        " rsn auth psk\n"
        "set " +
        S +
        " ft auth psk\n"
        "set " +
        S +
        " rsn cipher ccmp\n"
        "set " +
        S +
        " group cipher ccmp\n"
        "set " +
        S +
        " rsn preauth\n"
        "set " +
        S +
        " group rekey time 3600\n"
        "set " +
        S +
        " group rekey packets 100000\n"
        "set " +
        S +
        " group rekey strict\n"
        "set " +
        S +
        " pmksa cache 16\n"
        "set " +
        S +
        " ft mobility-domain 4660\n"
        "set " +
        S +
        " ft over-ds\n"
        "set " +
        S +
        " ft timeout 2\n"
        "add " +
        T +
        "\n"
        "set " +
        T +
        " nas 'nas one'\n"
        "set " +
        T +
        " rsn auth eap\n"
        "set " +
        T +
        " wpa auth eap\n"
        "set " +
        T +
        " wpa cipher tkip\n"
        "unset " +
        T + " group rekey time\n";
    result load = ugw(a, {"-c", "-"}, config);
    ASSERT_EQ(load.status, 0) << load.err;
    result first = ugw(a, {"-r"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("set " + S + " psk key "), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("set hostset 7 host '*.example.com'\n"), std::string::npos);
    EXPECT_NE(first.out.find("add control 'controller.invalid'\nset control 'controller.invalid' key "
                             "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\n"),
              std::string::npos)
        << first.out;
    for (const char *line : {"add nas 'nas one' auth server ::1\n",
                             "set nas 'nas one' auth server 127.0.0.1 port 18120\n",
                             "set nas 'nas one' acct server 127.0.0.2 secret 'acct'\n"})
        EXPECT_NE(first.out.find(line), std::string::npos) << line << first.out;
    EXPECT_NE(first.out.find("auth server 127.0.0.1 secret "), std::string::npos) << first.out;

    // What the first daemon holds, as its JSON documents say it.
    auto shows = [&](size_t d) {
        std::vector<std::string> out;
        const std::vector<std::vector<std::string>> asks = {{"-j", "list", "services"},
                                                            {"-j", "show", "nas", "nas one"},
                                                            {"-j", "show", "hostset", "7"}};
        for (const auto &ask : asks) {
            result r = ugw(d, ask);
            std::string s = r.out;
            // Run-time fields: when a service started, its status time.
            for (const char *key : {"\"ulmexStartTime\":", "\"ulmexServiceStatusTime\":"})
                for (size_t at; (at = s.find(key)) != s.npos;)
                    s.erase(at, s.find_first_of(",}", at) - at);
            out.push_back(r.status == 0 ? s : "failed: " + r.err);
        }
        return out;
    };
    std::vector<std::string> held = shows(a);
    ASSERT_NE(held[0].find("\"ulmexServiceId\":\"5e000000-"), std::string::npos) << held[0];
    // The NAS's RADIUS ports are the first daemon's until it ends.
    kill(daemons[a].c.pid, SIGTERM);
    ASSERT_EQ(wait_status(daemons[a].c.pid, 20000), 0);
    daemons[a].c.pid = -1;

    START_OR_SKIP(b);
    result reload = ugw(b, {"-c", "-"}, first.out);
    ASSERT_EQ(reload.status, 0) << reload.err << "\n" << first.out;
    result second = ugw(b, {"-r"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(shows(b), held);
}

} // namespace
