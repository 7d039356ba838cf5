// Dump-Flows of 10^5 flows from a gateway object's own management server,
// beside the same IPC server sending a prepared reply of the same bytes: the
// least any handler can do. One thread serves both servers, the benchmark
// thread is their client; each side's reply is checked against the other.
// Counters: our time over the prepared reply's, and the serving thread's
// peak growth of live heap during one request, over the reply size.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/pin.h"
#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/uclient.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_service.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace
{

// The serving thread's live heap while counting, and its peak.
thread_local bool counting;
thread_local size_t live, peak;

void grew(void *p)
{
    if (counting && p) {
        live += malloc_usable_size(p);
        if (live > peak) peak = live;
    }
}

void shrinks(void *p)
{
    if (counting && p) {
        size_t n = malloc_usable_size(p);
        live = live > n ? live - n : 0;
    }
}

} // namespace

extern "C" void *malloc(size_t n)
{
    void *p = __libc_malloc(n);
    grew(p);
    return p;
}

extern "C" void *calloc(size_t n, size_t m)
{
    void *p = __libc_calloc(n, m);
    grew(p);
    return p;
}

extern "C" void *realloc(void *p, size_t n)
{
    shrinks(p);
    void *q = __libc_realloc(p, n);
    grew(q ? q : p);
    return q;
}

extern "C" void free(void *p)
{
    shrinks(p);
    __libc_free(p);
}

namespace
{

constexpr uint32_t FLOWS = 100000;
constexpr uint32_t TUNNELS = 4; // a tunnel counts its flows in 16 bits

struct prepared {
    std::vector<uint8_t> reply;
};

int prepared_request(void *user, uint8_t *payload, size_t, size_t cap, int)
{
    auto *p = static_cast<prepared *>(user);
    if (p->reply.size() > cap) return static_cast<int>(p->reply.size());
    memcpy(payload, p->reply.data(), p->reply.size());
    return static_cast<int>(p->reply.size());
}

const userver_ops prepared_ops = {.request = prepared_request,
                                  .message = nullptr,
                                  .subscribe = nullptr,
                                  .health = nullptr};

struct bench_world {
    std::string dir;
    ugwd_ctl *ctl = nullptr;
    prepared anchor;
    userver *anchor_server = nullptr;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> measure{false};
    std::atomic<size_t> peak_growth{0};

    bench_world()
    {
        log_config.level = 0;
        char t[] = "/tmp/ugw-bench-mgmt-XXXXXX";
        if (!mkdtemp(t)) abort();
        dir = t;
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        if (!ctl) abort();
        add_flows();
        // The anchor's bytes are the gateway's own answer.
        std::vector<uint8_t> req = dump_request();
        req.resize(16 + size_t{FLOWS} * CTL_REC_FLOW + 4096);
        int n = ugwd_ctl_dispatch(ctl, req.data(), ctl_msg_catalogue[CTL_DUMP_FLOWS].size,
                                  req.size(), 0);
        if (n != static_cast<int>(16 + size_t{FLOWS} * CTL_REC_FLOW)) abort();
        req.resize(static_cast<size_t>(n));
        anchor.reply = std::move(req);
        anchor_server = userver_listen((dir + "/anchor").c_str(), static_cast<unsigned>(getpid()), 0,
                                       &prepared_ops, &anchor);
        if (!anchor_server) abort();
        thread = std::thread([this] { serve(); });
    }

    ~bench_world()
    {
        stop = true;
        thread.join();
        userver_close(anchor_server);
        ugwd_ctl_free(ctl);
        std::string rm = "rm -rf '" + dir + "'";
        if (std::system(rm.c_str()) != 0) abort();
    }

    static std::vector<uint8_t> dump_request()
    {
        std::vector<uint8_t> req(ctl_msg_catalogue[CTL_DUMP_FLOWS].size);
        ugwd_ctl_msg_init(req.data(), CTL_DUMP_FLOWS);
        return req;
    }

    void add_flows()
    {
        Bytes16 uuid = {0x5e};
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid.b, 16);
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = 1;
        std::vector<uint8_t> add(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
        ugwd_ctl_msg_init(add.data(), CTL_ADD_SERVICE);
        memcpy(add.data() + 8, &c, sizeof(c));
        add.resize(2048);
        if (ugwd_ctl_dispatch(ctl, add.data(), ctl_msg_catalogue[CTL_ADD_SERVICE].size, add.size(),
                              1) != 1300)
            abort();
        ugwd_service *s = ugwd_table_get_service(ctl->table, uuid.b);
        for (uint32_t t = 0; t < TUNNELS; t++) {
            sockaddr_in sa = {};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(4789);
            sa.sin_addr.s_addr = htonl(0x0a000001 + t);
            ugwd_tunnel *tn = ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN,
                                                         reinterpret_cast<sockaddr *>(&sa));
            if (!tn || ugwd_table_insert_tunnel(ctl->table, tn) < 0) abort();
            for (uint32_t i = t; i < FLOWS; i += TUNNELS) {
                uint8_t mac[6] = {2, 0, static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                                  static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
                if (!ugwd_ctl_create_flow(ctl, nullptr, tn, mac)) abort();
            }
        }
        if (ugwd_table_count_flows(ctl->table) != FLOWS) abort();
    }

    struct Bytes16 {
        uint8_t b[16];
    };

    // Both servers on this thread; a measured request counts this thread's heap.
    void serve()
    {
        pollfd p[2] = {{userver_fd(ctl->server), POLLIN, 0}, {userver_fd(anchor_server), POLLIN, 0}};
        while (!stop) {
            if (poll(p, 2, 10) <= 0) continue;
            bool m = measure.exchange(false);
            if (m) {
                live = peak = 0;
                counting = true;
            }
            if (p[0].revents) userver_process(ctl->server);
            if (p[1].revents) userver_process(anchor_server);
            if (m) {
                counting = false;
                peak_growth = peak;
            }
        }
    }
};

bench_world *world;

void check_reply(const uint8_t *reply, ssize_t n)
{
    if (n != static_cast<ssize_t>(world->anchor.reply.size()) ||
        memcmp(reply, world->anchor.reply.data(), static_cast<size_t>(n)) != 0) {
        fprintf(stderr, "the two sides disagree\n");
        abort();
    }
}

// The first request to a server that has never sent so much: the serving
// thread's peak heap growth is what a daemon pays for a large list.
double first_growth(uclient *c, const std::vector<uint8_t> &req)
{
    const uint8_t *reply;
    world->measure = true;
    ssize_t n = uclient_request(c, req.data(), req.size(), &reply);
    check_reply(reply, n);
    return static_cast<double>(world->peak_growth.load()) / static_cast<double>(n);
}

// Alternates the two servers request by request, so that both see the
// machine in the same state.
void BM_DumpFlowsBesidePreparedReply(benchmark::State &state)
{
    uclient *ours = uclient_open(world->ctl->server->path);
    uclient *anchor = uclient_open(world->anchor_server->path);
    if (!ours || !anchor) abort();
    auto req = bench_world::dump_request();
    state.counters["anchor_peak_growth_per_reply"] = first_growth(anchor, req);
    state.counters["peak_growth_per_reply"] = first_growth(ours, req);
    double ours_ns = 0, anchor_ns = 0;
    const uint8_t *reply;
    ssize_t n = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        n = uclient_request(anchor, req.data(), req.size(), &reply);
        auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(n);
        n = uclient_request(ours, req.data(), req.size(), &reply);
        auto t2 = std::chrono::steady_clock::now();
        anchor_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
        ours_ns += std::chrono::duration<double, std::nano>(t2 - t1).count();
    }
    check_reply(reply, n);
    uclient_close(ours);
    uclient_close(anchor);
    double it = static_cast<double>(state.iterations());
    state.counters["dump_flows_ms"] = ours_ns / it / 1e6;
    state.counters["prepared_reply_ms"] = anchor_ns / it / 1e6;
    state.counters["dump_flows_over_prepared_reply"] = ours_ns / anchor_ns;
    state.counters["reply_mb"] = static_cast<double>(n) / 1e6;
}

BENCHMARK(BM_DumpFlowsBesidePreparedReply)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

} // namespace

int main(int argc, char **argv)
{
    bench_world w;
    world = &w;
    return bench_main_pinned(argc, argv);
}
