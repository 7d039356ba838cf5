// The RADIUS client of a NAS against real peers on loopback, side by side
// with radclient in one run:
//  - Authorize: 10,000 stations' Call-Check authorizations through our
//    client (session machine, codec, transport, UDP) against one FreeRADIUS
//    instance, beside radclient sending the same requests to the same
//    instance with the same number in flight. ratio = radclient's time /
//    ours; target at least 1.0.
//  - CoA: radclients send 30,000 CoA-Requests (a new bandwidth for one of
//    1,000 sessions each; six files, run by 1 or 2 radclients at once) to
//    our DAS, beside the same files sent to a FreeRADIUS coa listener that
//    acknowledges them. ratio = FreeRADIUS's time / ours; target at least
//    1.0. radclient checks every answer's Response Authenticator and
//    Message-Authenticator. Our answers must carry a Message-Authenticator;
//    FreeRADIUS's CoA-ACKs here carry none, so radclient, which takes most
//    of the time on both sides, has more to verify against ours. Each side
//    runs once untimed first (our response cache then holds its steady
//    number, FreeRADIUS has its threads), and the side that goes first
//    alternates from one iteration to the next.
// The peers run on the other CPUs; this process stays on its own. Skips with
// a message when freeradius or radclient is not installed.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/pin.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_client.h"

namespace
{

const char SECRET[] = "bench-secret";
constexpr int REQUESTS = 10000;
// As many as the DAS response cache holds, in files small enough for
// radclient, whose time per request grows with the size of its file.
constexpr int COA_REQUESTS = 30000;
constexpr int COA_FILES = 6;
constexpr int COA_SESSIONS = 1000;
constexpr int IN_FLIGHT = 256;

bool have(const char *program)
{
    return system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
    getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
    close(fd);
    return ntohs(in.sin_port);
}

int pidfd_of(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

// Runs a program on every CPU but this process's own; its pid. vfork, so
// that this process's pages are not left copy-on-write behind the child:
// the DAS it serves would otherwise fault on every page it writes next.
pid_t spawn(const std::vector<std::string> &args, bool quiet)
{
    int mine = sched_getcpu();
    cpu_set_t set;
    CPU_ZERO(&set);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (long c = 0; c < cpus; c++)
        if (c != mine || cpus == 1) CPU_SET(c, &set);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int null = quiet ? open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
    pid_t pid = vfork();
    if (pid == 0) {
        // Only system calls here: the child shares this process's memory.
        sched_setaffinity(0, sizeof set, &set);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (null >= 0) close(null);
    return pid;
}

int wait_child(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One FreeRADIUS for both comparisons: auth and acct on the default server,
// a coa listener whose server acknowledges every request.
struct freeradius {
    std::string dir;
    pid_t pid = -1;
    uint16_t auth_port = 0, acct_port = 0, coa_port = 0;

    bool start()
    {
        char tmpl[] = "/tmp/ugw-bench-radius-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        auth_port = free_port();
        acct_port = free_port();
        coa_port = free_port();
        mkdir((dir + "/log").c_str(), 0700);
        mkdir((dir + "/run").c_str(), 0700);
        std::ofstream(dir + "/users") << "DEFAULT Auth-Type := Accept\n";
        std::ostringstream c;
        std::string listen_tail = "  recv_buff = 4194304\n }\n";
        c << "prefix = /usr\nconfdir = " << dir << "\nlogdir = " << dir << "/log\nrun_dir = " << dir
          << "/run\nlibdir = /usr/lib/freeradius\npidfile = " << dir << "/run/radiusd.pid\n"
          << "max_request_time = 5\ncleanup_delay = 0\nmax_requests = 1048576\n"
          << "hostname_lookups = no\n"
          << "log {\n destination = files\n file = " << dir << "/log/fr.log\n auth = no\n}\n"
          << "security {\n max_attributes = 200\n reject_delay = 0\n status_server = no\n}\n"
          << "thread pool {\n start_servers = 4\n max_servers = 4\n min_spare_servers = 4\n"
          << " max_spare_servers = 4\n max_queue_size = 65536\n}\n"
          << "client local {\n ipaddr = 127.0.0.0/8\n secret = " << SECRET << "\n}\n"
          << "modules {\n always ok {\n  rcode = ok\n }\n files {\n  filename = " << dir
          << "/users\n }\n}\n"
          << "server default {\n"
          << " listen {\n  type = auth\n  ipaddr = 127.0.0.1\n  port = " << auth_port << "\n"
          << listen_tail << " listen {\n  type = acct\n  ipaddr = 127.0.0.1\n  port = " << acct_port
          << "\n"
          << listen_tail << " authorize {\n  files\n }\n authenticate {\n }\n preacct {\n }\n"
          << " accounting {\n  ok\n }\n post-auth {\n }\n}\n"
          << "server coa {\n listen {\n  type = coa\n  ipaddr = 127.0.0.1\n  port = " << coa_port
          << "\n"
          << listen_tail << " recv-coa {\n  ok\n }\n send-coa {\n  ok\n }\n}\n";
        std::ofstream(dir + "/radiusd.conf") << c.str();
        pid = spawn({"freeradius", "-f", "-d", dir, "-l", dir + "/log/fr.log"}, true);
        for (int i = 0; i < 500; i++) {
            if (slurp(dir + "/log/fr.log").find("Ready to process requests") != std::string::npos)
                return true;
            usleep(10000);
        }
        return false;
    }
    ~freeradius()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            wait_child(pid);
        }
        if (dir.rfind("/tmp/ugw-bench-radius-", 0) == 0) (void)system(("rm -rf " + dir).c_str());
    }
};

freeradius *peer()
{
    // Destroyed at exit: FreeRADIUS is stopped and its directory removed.
    static std::unique_ptr<freeradius> fr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (have("freeradius") && have("radclient")) {
            fr = std::make_unique<freeradius>();
            if (!fr->start()) fr.reset();
        }
    }
    return fr.get();
}

// The daemon core's part: the client's callbacks over UDP sockets and
// timers on the real clock.
struct core {
    mempool *pool;
    std::vector<int> fds; // request ports, then the DAS port
    radius_client *client = nullptr;
    std::map<timer *, std::pair<uint64_t, timer_fn>> timers;
    uint64_t authorized = 0;
    std::vector<pollfd> polled; // kept, so that a turn allocates nothing

    explicit core(int ports)
    {
        static const packet_pool_config config = {4096 + 256, 32, 16, 4096, 0, 0};
        pool = packet_pool_create(&config);
        for (int i = 0; i <= ports; i++) {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
            int size = 4 << 20;
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            fds.push_back(fd);
        }
    }
    ~core()
    {
        if (client) {
            while (radius_entry *e = radius_db_first_sess(client->_impl.db))
                radius_sess_delete(e);
            radius_client_destroy(client);
        }
        for (int fd : fds)
            close(fd);
        mempool_unref(pool);
    }
    uint16_t das_port() const
    {
        sockaddr_in in{};
        socklen_t len = sizeof in;
        getsockname(fds.back(), reinterpret_cast<sockaddr *>(&in), &len);
        return ntohs(in.sin_port);
    }
    bool create(uint16_t auth_port, int ports)
    {
        radius_nas_config config{};
        strcpy(config.radiusAuthClientIdentifier, "bench-nas");
        config.radiusClientRequestPorts = uint16_t(ports) & 0x7fff;
        radiusAuthClientServerExtTable auth[2]{};
        auth[0].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", auth[0].radiusAuthServerInetAddress);
        auth[0].radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", auth[0].radiusAuthClientInetAddress);
        auth[0].radiusAuthClientServerInetPortNumber = auth_port;
        strcpy(auth[0].radiusAuthServerSharedSecret, SECRET);
        radius_client_ops ops = {
            .authorize = [](void *u, radius_entry *) { static_cast<core *>(u)->authorized++; },
            .deauthorize = [](void *, radius_entry *, uint16_t) {},
            .update = [](void *, radius_entry *) {},
            .revoked = [](void *, const uint8_t *, const uint8_t *) {},
            .send =
                [](void *u, packet *msg, const sockaddr *to, int port) {
                    core *c = static_cast<core *>(u);
                    int fd = port < 0 ? c->fds.back() : c->fds[size_t(port)];
                    sendto(fd, msg->data, msg->length, 0, to, sizeof(sockaddr_in));
                },
            .schedule =
                [](void *u, timer *t, uint32_t ms, timer_fn fn) {
                    static_cast<core *>(u)->timers[t] = {clock_msec() + uint64_t(ms), fn};
                },
            .cancel = [](void *u, timer *t) { static_cast<core *>(u)->timers.erase(t); },
        };
        client = radius_client_create(&config, auth, nullptr, &ops, this, 0, pool);
        return client != nullptr;
    }
    // One turn of the event loop: due timers, then datagrams (a wait of at
    // most wait_ms, ended early by wake_fd). Whether wake_fd is readable.
    bool turn(int wait_ms, int wake_fd = -1)
    {
        clock_refresh_offset();
        uint32_t now = clock_msec();
        for (auto it = timers.begin(); it != timers.end();) {
            if (int32_t(uint32_t(it->second.first) - now) <= 0) {
                timer *t = it->first;
                timer_fn fn = it->second.second;
                timers.erase(it);
                fn(t);
                it = timers.begin();
            } else {
                ++it;
            }
        }
        polled.clear();
        for (int fd : fds)
            polled.push_back({fd, POLLIN, 0});
        if (wake_fd >= 0) polled.push_back({wake_fd, POLLIN, 0});
        if (poll(polled.data(), polled.size(), wait_ms) <= 0) return false;
        clock_refresh_offset();
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(polled[i].revents & POLLIN)) continue;
            for (int k = 0; k < 256; k++) {
                packet *msg = packet_alloc(pool, 4096);
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t r =
                    recvfrom(fds[i], msg->data, 4096, 0, reinterpret_cast<sockaddr *>(&from), &len);
                if (r <= 0) {
                    packet_release(msg);
                    break;
                }
                packet_trim(msg, 4096 - size_t(r));
                int port = i + 1 == fds.size() ? -1 : int(i);
                radius_client_recv(client, msg, reinterpret_cast<sockaddr *>(&from), port);
                packet_release(msg);
            }
        }
        return wake_fd >= 0 && (polled.back().revents & POLLIN);
    }
};

void mac_of(int i, uint8_t mac[6])
{
    mac[0] = 0x02;
    mac[1] = 0;
    mac[2] = 0;
    mac[3] = uint8_t(i >> 16);
    mac[4] = uint8_t(i >> 8);
    mac[5] = uint8_t(i);
}

std::string mac_dashes(int i)
{
    uint8_t m[6];
    mac_of(i, m);
    char buf[18];
    snprintf(buf, sizeof buf, "%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

std::string mac_colons(int i)
{
    uint8_t m[6];
    mac_of(i, m);
    char buf[18];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// radclient over a file of requests; its wall time, or -1 when it failed.
double run_radclient(const std::string &file, uint16_t port, const char *command)
{
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = spawn({"radclient", "-q", "-p", std::to_string(IN_FLIGHT), "-r", "3", "-t", "2",
                       "-f", file, "127.0.0.1:" + std::to_string(port), command, SECRET},
                      false);
    int rc = wait_child(pid);
    return rc == 0 ? seconds_since(t0) : -1;
}

// Our client, with the window radclient keeps: IN_FLIGHT sessions authorizing.
double run_ours(freeradius &fr, bool &ok)
{
    core c(1);
    if (!c.create(fr.auth_port, 1)) {
        ok = false;
        return 0;
    }
    auto t0 = std::chrono::steady_clock::now();
    int created = 0;
    while (c.authorized < uint64_t(REQUESTS)) {
        while (created < REQUESTS && uint64_t(created) - c.authorized < uint64_t(IN_FLIGHT)) {
            uint8_t mac[6];
            mac_of(created++, mac);
            radius_entry *e = radius_client_create_sess(c.client, nullptr, mac, nullptr);
            radius_db_authorize_sess(e, nullptr);
        }
        c.turn(100);
        if (seconds_since(t0) > 60) {
            ok = false;
            return 0;
        }
    }
    double t = seconds_since(t0);
    ok = c.client->record.auth[0].radiusAuthClientExtAccessAccepts == uint32_t(REQUESTS);
    return t;
}

void BM_Authorize(benchmark::State &state)
{
    freeradius *fr = peer();
    if (!fr) {
        state.SkipWithError("freeradius or radclient is not installed (scripts/setup.sh radius)");
        return;
    }
    // radclient sends what our client sends for a MAC-authenticated station.
    std::string file = fr->dir + "/callcheck.txt";
    {
        std::ofstream f(file);
        for (int i = 0; i < REQUESTS; i++)
            f << "User-Name = \"" << mac_dashes(i) << "\"\nService-Type = Call-Check\n"
              << "Calling-Station-Id = \"" << mac_dashes(i)
              << "\"\nNAS-Identifier = \"bench-nas\"\n"
              << "NAS-IP-Address = 127.0.0.1\nMessage-Authenticator = 0x00\n\n";
    }
    double ours = 0, anchor = 0;
    for (auto _ : state) {
        bool ok = true;
        double o = run_ours(*fr, ok);
        double a = run_radclient(file, fr->auth_port, "auth");
        if (!ok || a < 0) {
            state.SkipWithError("an authorization was not answered");
            return;
        }
        ours += o;
        anchor += a;
        state.SetIterationTime(o);
    }
    double n = double(state.iterations());
    state.counters["ours_per_s"] = REQUESTS * n / ours;
    state.counters["radclient_per_s"] = REQUESTS * n / anchor;
    state.counters["ratio"] = anchor / ours;
}

void BM_CoA(benchmark::State &state)
{
    freeradius *fr = peer();
    if (!fr) {
        state.SkipWithError("freeradius or radclient is not installed (scripts/setup.sh radius)");
        return;
    }
    int radclients = int(state.range(0));
    core c(1);
    if (!c.create(fr->auth_port, 1)) {
        state.SkipWithError("client not created");
        return;
    }
    // The sessions the CoA-Requests change, granted by FreeRADIUS.
    for (int i = 0; i < COA_SESSIONS; i++) {
        uint8_t mac[6];
        mac_of(i, mac);
        radius_db_authorize_sess(radius_client_create_sess(c.client, nullptr, mac, nullptr),
                                 nullptr);
        if (i % IN_FLIGHT == IN_FLIGHT - 1)
            while (c.authorized < uint64_t(i + 1))
                c.turn(100);
    }
    while (c.authorized < uint64_t(COA_SESSIONS))
        c.turn(100);
    std::vector<std::string> files;
    for (int k = 0; k < COA_FILES; k++) {
        files.push_back(fr->dir + "/coa" + std::to_string(k) + ".txt");
        std::ofstream f(files.back());
        for (int i = 0; i < COA_REQUESTS / COA_FILES; i++)
            f << "Calling-Station-Id = \"" << mac_colons((i * COA_FILES + k) % COA_SESSIONS)
              << "\"\nWISPr-Bandwidth-Max-Up = " << 1000 + i << "\n"
              << "Message-Authenticator = 0x00\n\n";
    }
    // The files in waves of `radclients` at once.
    auto run = [&](uint16_t port, bool serve) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = true;
        for (size_t wave = 0; wave < files.size(); wave += size_t(radclients)) {
            std::vector<pid_t> pids;
            std::vector<int> fds;
            for (size_t k = wave; k < files.size() && k < wave + size_t(radclients); k++) {
                const std::string &file = files[k];
                pids.push_back(
                    spawn({"radclient", "-q", "-p", std::to_string(IN_FLIGHT), "-r", "3", "-t", "2",
                           "-f", file, "127.0.0.1:" + std::to_string(port), "coa", SECRET},
                          false));
                fds.push_back(pidfd_of(pids.back()));
            }
            for (size_t k = 0; k < pids.size(); k++) {
                if (serve)
                    while (!c.turn(100, fds[k])) {
                    }
                ok &= wait_child(pids[k]) == 0;
                close(fds[k]);
            }
        }
        return ok ? seconds_since(t0) : -1.0;
    };
    if (run(c.das_port(), true) < 0 || run(fr->coa_port, false) < 0) {
        state.SkipWithError("a CoA-Request was not acknowledged");
        return;
    }
    double ours = 0, anchor = 0;
    uint64_t before = c.authorized;
    bool ours_first = true;
    for (auto _ : state) {
        double o = -1, a = -1;
        if (ours_first) {
            o = run(c.das_port(), true);
            a = run(fr->coa_port, false);
        } else {
            a = run(fr->coa_port, false);
            o = run(c.das_port(), true);
        }
        ours_first = !ours_first;
        if (o < 0 || a < 0) {
            state.SkipWithError("a CoA-Request was not acknowledged");
            return;
        }
        ours += o;
        anchor += a;
        state.SetIterationTime(o);
    }
    double n = double(state.iterations());
    if (c.authorized - before != uint64_t(COA_REQUESTS) * uint64_t(n))
        state.SkipWithError("not every CoA-Request changed its session once");
    state.counters["ours_per_s"] = COA_REQUESTS * n / ours;
    state.counters["freeradius_per_s"] = COA_REQUESTS * n / anchor;
    state.counters["ratio"] = anchor / ours;
}

BENCHMARK(BM_Authorize)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CoA)->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace

int main(int argc, char **argv)
{
    return bench_main_pinned(argc, argv);
}
