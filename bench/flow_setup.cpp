// Flow setup against the fernrelayd stand-in: a station's first tunnel packet
// creates, binds, connects and authorizes its flow and goes back to the data
// plane. The anchor is the same number of bare IPC round trips to the same
// stand-in (each reading a flow record), the setup's locks counted as the round
// trips they are, so the ratio shows what the daemon adds to the data plane's
// own cost. A second benchmark reports the daemon's memory per flow with 10^5
// flows.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/uclient.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"

namespace
{

const std::string standin_bin = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

struct setup {
    std::string dir;
    pid_t pid = -1;
    uclient *cmd = nullptr;
    ugwd_ctl *ctl = nullptr;
    ugwd_proc *proc = nullptr;
    ugwd_service *svc = nullptr;
    uint32_t next = 0;

    std::string say(const std::string &c)
    {
        const uint8_t *r = nullptr;
        ssize_t n = uclient_request(cmd, c.data(), c.size(), &r);
        return n < 0 ? "" : std::string(reinterpret_cast<const char *>(r), static_cast<size_t>(n));
    }

    std::vector<uint8_t> run(std::vector<uint8_t> msg)
    {
        msg.resize(std::max<size_t>(msg.size(), 2048));
        int r = ugwd_ctl_dispatch(ctl, msg.data(), ctl_msg_size(msg.data(), msg.size()), 2048, 1);
        msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return msg;
    }

    bool start(bool dataplane)
    {
        log_hook = nullptr;
        // A namespace of the program's own with a veth pair: d1 the tunnel
        // port, p1 the service's interface.
        static bool netns =
            unshare(CLONE_NEWNET) == 0 &&
            std::system("ip link set lo up && ip link add d1 type veth peer name p1 && "
                        "ip link set d1 up && ip link set p1 up && "
                        "ip addr add 10.1.0.1/24 dev d1") == 0;
        if (!netns) return false;
        char t[] = "/tmp/ugw-bench-flow-XXXXXX";
        if (!mkdtemp(t)) return false;
        dir = t;
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        if (!ctl) return false;
        if (dataplane) {
            std::string prefix = dir + "/fr";
            pid = fork();
            if (pid == 0) {
                execl(standin_bin.c_str(), standin_bin.c_str(), "-S", prefix.c_str(),
                      static_cast<char *>(nullptr));
                _exit(127);
            }
            std::string path = prefix + "-ctl." + std::to_string(pid);
            struct stat st;
            for (int i = 0; i < 1000 && lstat(path.c_str(), &st) != 0; i++)
                poll(nullptr, 0, 5);
            cmd = uclient_open(path.c_str());
            if (!cmd ||
                ugwd_ctl_add_proc(ctl, pid, (prefix + "." + std::to_string(pid)).c_str()) < 0)
                return false;
            proc = list_first_record<&ugwd_proc::link>(&ctl->procs);
        }
        uint32_t lo = if_nametoindex("d1");
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_PORT].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_PORT);
        ctl_put32(m.data(), 8, lo);
        run(m);
        std::vector<uint8_t> s(ctl_msg_catalogue[CTL_ADD_SOCKET].size);
        ugwd_ctl_msg_init(s.data(), CTL_ADD_SOCKET);
        ctl_put32(s.data(), 8, lo);
        ctl_put32(s.data(), 12, 2);
        uint16_t port = 4789;
        memcpy(s.data() + 16, &port, 2);
        run(s);
        std::vector<uint8_t> a(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
        ugwd_ctl_msg_init(a.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        c.mib.ulmexServiceId[0] = 0x5e;
        c.mib.ulmexServiceId[15] = 1;
        c.mib.ulmexServiceVNI = 101;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("p1");
        memcpy(a.data() + 8, &c, sizeof(c));
        run(a);
        svc = ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
        if (cmd) say("journal off");
        return svc != nullptr;
    }

    ~setup()
    {
        if (ctl) ugwd_ctl_free(ctl);
        if (cmd) uclient_close(cmd);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
    }

    // A VXLAN packet of a new station, from the outer IP header on.
    packet *station_packet()
    {
        uint32_t n = ++next;
        uint8_t b[20 + 8 + 8 + 42] = {0x45, 0, 0,  sizeof(b), 0, 0, 0,  0, 64, 17,
                                      0,    0, 10, 1,         0, 2, 10, 1, 0,  1};
        uint8_t *u = b + 20;
        u[0] = 0x30, u[1] = 0x39, u[2] = 0x12, u[3] = 0xb5, u[5] = 8 + 8 + 42;
        uint8_t *v = u + 8;
        v[0] = 0x08, v[6] = 101;
        uint8_t *e = v + 8;
        memset(e, 0xff, 6);
        e[6] = 2, e[7] = 0x57, e[8] = uint8_t(n >> 24), e[9] = uint8_t(n >> 16),
        e[10] = uint8_t(n >> 8), e[11] = uint8_t(n);
        e[12] = 8, e[13] = 6;
        return packet_from_bytes(ctl->packet_pool, b, sizeof(b));
    }
};

// The CPU time a process has used so far, in microseconds.
double cpu_us(pid_t pid)
{
    char b[1024] = "";
    if (FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
        b[fread(b, 1, sizeof(b) - 1, f)] = 0;
        fclose(f);
    }
    const char *q = strrchr(b, ')');
    unsigned long user = 0, sys = 0;
    if (q && sscanf(q + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &sys) != 2)
        return 0;
    return static_cast<double>(user + sys) * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The IPC round trips of one station's setup on a tunnel that exists, as the
// timed loops make it: requests and the locks around them, counted once from
// the journal.
int round_trips(setup &s)
{
    s.say("journal on");
    s.say("clear");
    packet *p = s.station_packet();
    ugwd_ctl_frl_diverted_packet_cb(s.proc, 7, FRL_ENCAP_IP, p);
    packet_release(p);
    std::istringstream j(s.say("journal"));
    int n = 0;
    for (std::string l; std::getline(j, l);)
        n += l.rfind("req ", 0) == 0 || l == "lock" || l == "unlock" || l.rfind("join ", 0) == 0 ||
             l.rfind("leave ", 0) == 0;
    s.say("journal off");
    ugwd_flow *g = container_of(s.ctl->flows._prev, &ugwd_flow::link);
    ugwd_flow *f = list_first_record<&ugwd_flow::link>(&s.ctl->flows);
    if (g != f) ugwd_ctl_unbind_flow(g);
    return n;
}

// One station's first packet to an authorized flow, then the flow goes so
// that the data plane's tables stay the same size.
void BM_FlowSetup(benchmark::State &state)
{
    setup s;
    if (!s.start(true)) {
        state.SkipWithError("no stand-in");
        return;
    }
    // The first station makes the tunnel that the others share.
    packet *p = s.station_packet();
    ugwd_ctl_frl_diverted_packet_cb(s.proc, 7, FRL_ENCAP_IP, p);
    packet_release(p);
    ugwd_flow *f = list_first_record<&ugwd_flow::link>(&s.ctl->flows);
    if (!f || !(f->flags & UGWD_FLOW_AUTHORIZED)) {
        state.SkipWithError("flow not authorized");
        return;
    }
    flow_id known = f->id;
    int requests = round_trips(s);
    bool anchor = state.range(0) == 1;
    double standin_cpu = cpu_us(s.pid);
    for (auto _ : state) {
        if (anchor) {
            frl_flow rec;
            for (int i = 0; i < requests; i++)
                benchmark::DoNotOptimize(frlc_read_flow(s.proc->fernrelay, &known, &rec));
        } else {
            packet *q = s.station_packet();
            ugwd_ctl_frl_diverted_packet_cb(s.proc, 7, FRL_ENCAP_IP, q);
            packet_release(q);
            state.PauseTiming();
            ugwd_flow *g = container_of(s.ctl->flows._prev, &ugwd_flow::link);
            if (g != f) ugwd_ctl_unbind_flow(g);
            state.ResumeTiming();
        }
    }
    state.counters["round_trips"] = requests;
    // The data plane's own time per iteration (the setup's flow removal
    // included), apart from what the daemon adds.
    state.counters["standin_cpu_us"] =
        (cpu_us(s.pid) - standin_cpu) / static_cast<double>(state.iterations());
    state.counters["flows_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FlowSetup)->Arg(0)->Arg(1)->ArgName("anchor")->Unit(benchmark::kMicrosecond);

// Both sides in one loop, interleaved, so that load on the machine falls on
// both alike: the ratio of flow setup to the same number of round trips.
void BM_FlowSetupRatio(benchmark::State &state)
{
    setup s;
    if (!s.start(true)) {
        state.SkipWithError("no stand-in");
        return;
    }
    packet *p = s.station_packet();
    ugwd_ctl_frl_diverted_packet_cb(s.proc, 7, FRL_ENCAP_IP, p);
    packet_release(p);
    ugwd_flow *f = list_first_record<&ugwd_flow::link>(&s.ctl->flows);
    if (!f || !(f->flags & UGWD_FLOW_AUTHORIZED)) {
        state.SkipWithError("flow not authorized");
        return;
    }
    flow_id known = f->id;
    int requests = round_trips(s);
    double setup_ns = 0, anchor_ns = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        packet *q = s.station_packet();
        ugwd_ctl_frl_diverted_packet_cb(s.proc, 7, FRL_ENCAP_IP, q);
        packet_release(q);
        auto t1 = std::chrono::steady_clock::now();
        frl_flow rec;
        for (int i = 0; i < requests; i++)
            benchmark::DoNotOptimize(frlc_read_flow(s.proc->fernrelay, &known, &rec));
        auto t2 = std::chrono::steady_clock::now();
        setup_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        anchor_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
        state.PauseTiming();
        ugwd_flow *g = container_of(s.ctl->flows._prev, &ugwd_flow::link);
        if (g != f) ugwd_ctl_unbind_flow(g);
        state.ResumeTiming();
    }
    state.counters["ratio_to_ipc_round_trips"] = anchor_ns > 0 ? setup_ns / anchor_ns : 0;
    state.counters["round_trips"] = requests;
}
BENCHMARK(BM_FlowSetupRatio)->Unit(benchmark::kMicrosecond);

long rss_kb()
{
    FILE *f = fopen("/proc/self/statm", "r");
    long pages = 0, rss = 0;
    if (f) {
        if (fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        fclose(f);
    }
    return rss * (sysconf(_SC_PAGESIZE) / 1024);
}

// The daemon's own memory for 10^5 unbound tunnel flows.
void BM_FlowMemory(benchmark::State &state)
{
    for (auto _ : state) {
        setup s;
        if (!s.start(false)) {
            state.SkipWithError("no gateway");
            return;
        }
        constexpr uint32_t N = 100000;
        long before = rss_kb();
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4789);
        uint32_t made = 0;
        for (uint32_t i = 0; i < N; i++) {
            peer.sin_addr.s_addr = htonl(0x0a000000 + i / 64);
            uint8_t mac[6] = {2, 0x57, 0, uint8_t(i >> 16), uint8_t(i >> 8), uint8_t(i)};
            made += ugwd_ctl_get_tunnel_flow(s.ctl, s.svc, reinterpret_cast<sockaddr *>(&peer), 101,
                                             2, mac) != nullptr;
        }
        long after = rss_kb();
        state.counters["flows"] = made;
        state.counters["bytes_per_flow"] =
            made ? static_cast<double>(after - before) * 1024 / made : 0;
        state.counters["sizeof_flow"] = sizeof(ugwd_flow);
    }
}
BENCHMARK(BM_FlowMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
