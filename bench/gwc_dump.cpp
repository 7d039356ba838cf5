// A list of 10^5 flows through gwc_dump_flows beside a bare uclient_request
// of the same reply from the same server. Counters: the time ratio against
// the bare exchange, and the bytes this thread allocated per call over the
// reply's size. "Warm" keeps the connection and the caller's array from one
// call to the next; "cold" starts each call as a fresh `ugw list flows` does.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/pin.h"
#include "common/ctl_msg.h"
#include "common/uclient.h"
#include "common/umsg.h"
#include "utility/gwc.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace
{

thread_local bool counting;
thread_local size_t allocated;

} // namespace

// This thread's allocations, counted by size asked.
extern "C" void *malloc(size_t n)
{
    if (counting) allocated += n;
    return __libc_malloc(n);
}

extern "C" void *calloc(size_t n, size_t m)
{
    if (counting) allocated += n * m;
    return __libc_calloc(n, m);
}

extern "C" void *realloc(void *p, size_t n)
{
    if (counting) allocated += n;
    return __libc_realloc(p, n);
}

namespace
{

constexpr uint32_t FLOWS = 100000;

// Answers each request at once with a blocking send, so that the time is the
// client's: the IPC server's pacing of slow readers would dominate otherwise.
struct server {
    std::vector<uint8_t> reply;
    int fd = -1;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::string path;

    server()
    {
        reply.assign(16 + static_cast<size_t>(FLOWS) * CTL_REC_FLOW, 0);
        ctl_put32(reply.data(), 0, CTL_FLOWS);
        ctl_put32(reply.data(), 8, FLOWS);
        for (uint32_t i = 0; i < FLOWS; i++)
            ctl_put32(reply.data(), 16 + static_cast<size_t>(i) * CTL_REC_FLOW, i);
        path = "/tmp/ugw-bench-gwc-" + std::to_string(getpid());
        umsg_addr addr;
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || umsg_address(&addr, path.c_str()) < 0 ||
            bind(fd, reinterpret_cast<sockaddr *>(&addr.sun), addr.len) < 0)
            abort();
        thread = std::thread([this] {
            sigset_t none;
            sigemptyset(&none);
            std::vector<uint8_t> buf(UMSG_PAYLOAD);
            while (!stop) {
                umsghdr h;
                umsg_addr peer = {};
                umsg_cred cred;
                if (umsg_recv(fd, &h, buf.data(), buf.size(), 1, &none, &peer, &cred, nullptr) < 0)
                    continue;
                umsg_send(fd, h.type, UMSG_F_ACK, umsg_seq(&h), reply.data(), reply.size(), &peer,
                          nullptr, -1);
            }
        });
    }

    ~server()
    {
        stop = true;
        thread.join();
        close(fd);
        unlink(path.c_str());
    }
};

server *the_server;

// The Dump-Flows request with no filter, as gwc_dump_flows builds it.
std::vector<uint8_t> dump_request()
{
    std::vector<uint8_t> req(ctl_msg_catalogue[CTL_DUMP_FLOWS].size, 0);
    ctl_put32(req.data(), 0, CTL_DUMP_FLOWS);
    return req;
}

double bare_ns, gwc_ns, bare_cold_ns, gwc_cold_ns;

void check_same(const uint8_t *rows, size_t n)
{
    if (n != static_cast<size_t>(FLOWS) * CTL_REC_FLOW ||
        memcmp(rows, the_server->reply.data() + 16, n) != 0) {
        fprintf(stderr, "the two sides disagree\n");
        abort();
    }
}

void report(benchmark::State &state, double ns, double *mine, double other, size_t bytes)
{
    *mine = ns;
    state.counters["alloc_per_reply"] = static_cast<double>(bytes) /
                                        static_cast<double>(state.iterations()) /
                                        static_cast<double>(the_server->reply.size());
    if (other > 0) state.counters["ratio_vs_bare"] = ns / other;
}

void BM_BareRequest(benchmark::State &state)
{
    uclient *c = uclient_open(the_server->path.c_str());
    auto req = dump_request();
    const uint8_t *reply;
    ssize_t n = uclient_request(c, req.data(), req.size(), &reply);
    check_same(reply + 16, static_cast<size_t>(n) - 16);
    allocated = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        counting = true;
        n = uclient_request(c, req.data(), req.size(), &reply);
        counting = false;
        benchmark::DoNotOptimize(n);
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    report(state, ns, &bare_ns, 0, allocated);
    uclient_close(c);
}

void BM_GwcDumpFlows(benchmark::State &state)
{
    gwc_connection *c = gwc_create(the_server->path.c_str(), nullptr, nullptr, 0);
    Ary rows;
    array_init(&rows, 1);
    if (gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows) != static_cast<int>(FLOWS))
        abort();
    check_same(array_data<uint8_t>(&rows), static_cast<size_t>(rows._count) * rows._size);
    // The array and the connection trade buffers on every call: only from
    // the second call on do both have one, as the bare client has after one.
    gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows);
    allocated = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        counting = true;
        int n = gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows);
        counting = false;
        benchmark::DoNotOptimize(n);
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    report(state, ns, &gwc_ns, bare_ns, allocated);
    array_purge(&rows);
    gwc_destroy(c);
}

// The exchange alone, through the client's request path.
void BM_GwcResponseOnly(benchmark::State &state)
{
    gwc_connection *c = gwc_create(the_server->path.c_str(), nullptr, nullptr, 0);
    for (auto _ : state) {
        gwc_begin(c, CTL_DUMP_FLOWS);
        gwc_append(c, nullptr, 56);
        if (gwc_response(c, CTL_FLOWS) < 0) abort();
    }
    gwc_destroy(c);
}
void BM_GwcExportOnly(benchmark::State &state)
{
    gwc_connection *c = gwc_create(the_server->path.c_str(), nullptr, nullptr, 0);
    Ary rows;
    array_init(&rows, 1);
    for (auto _ : state) {
        state.PauseTiming();
        gwc_begin(c, CTL_DUMP_FLOWS);
        gwc_append(c, nullptr, 56);
        if (gwc_response(c, CTL_FLOWS) < 0) abort();
        uint32_t n;
        gwc_read(c, &n, 4);
        gwc_read(c, nullptr, 4);
        state.ResumeTiming();
        gwc_export(c, &rows, n, CTL_REC_FLOW);
    }
    array_purge(&rows);
    gwc_destroy(c);
}
BENCHMARK(BM_GwcExportOnly)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_GwcResponseOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

void BM_BareRequestCold(benchmark::State &state)
{
    auto req = dump_request();
    allocated = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        counting = true;
        uclient *c = uclient_open(the_server->path.c_str());
        const uint8_t *reply;
        ssize_t n = uclient_request(c, req.data(), req.size(), &reply);
        if (n != static_cast<ssize_t>(the_server->reply.size())) abort();
        uclient_close(c);
        counting = false;
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    report(state, ns, &bare_cold_ns, 0, allocated);
}

void BM_GwcDumpFlowsCold(benchmark::State &state)
{
    allocated = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        counting = true;
        gwc_connection *c = gwc_create(the_server->path.c_str(), nullptr, nullptr, 0);
        Ary rows;
        array_init(&rows, 1);
        if (gwc_dump_flows(c, nullptr, nullptr, nullptr, nullptr, &rows) != static_cast<int>(FLOWS))
            abort();
        gwc_destroy(c);
        array_purge(&rows);
        counting = false;
    }
    double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    report(state, ns, &gwc_cold_ns, bare_cold_ns, allocated);
}

BENCHMARK(BM_BareRequest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_GwcDumpFlows)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_BareRequestCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_GwcDumpFlowsCold)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

} // namespace

int main(int argc, char **argv)
{
    server s;
    the_server = &s;
    return bench_main_pinned(argc, argv);
}
