// An IPC request/reply round trip beside a raw datagram ping-pong of the same
// size between two threads; the counter is the IPC cost over the raw one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "common/uclient.h"
#include "common/userver.h"

namespace {

constexpr int kRounds = 20000;

int echo(void *, uint8_t *, size_t len, size_t, int)
{
    return static_cast<int>(len);
}

// The reply echoes the request, checked once before the timed rounds.
double ipc_round_trip_ns(size_t size, int rounds, bool *echoed)
{
    std::string path = "/tmp/ugw-bench-ipc-" + std::to_string(getpid());
    const userver_ops ops = {
        .request = echo,
        .message = nullptr,
        .subscribe = nullptr,
        .health = nullptr,
    };
    userver *server = userver_listen(path.c_str(), 0, 0, &ops, nullptr);
    std::atomic<bool> stop{false};
    std::thread t([&] {
        while (!stop) {
            pollfd p = {userver_fd(server), POLLIN, 0};
            if (poll(&p, 1, 10) > 0)
                userver_process(server);
        }
    });
    uclient *c = uclient_open(path.c_str());
    std::string req(size, 'r');
    const uint8_t *reply;
    ssize_t got = uclient_request(c, req.data(), req.size(), &reply);
    *echoed = got == ssize_t(size) && (size == 0 || memcmp(reply, req.data(), size) == 0);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++)
        uclient_request(c, req.data(), req.size(), &reply);
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    uclient_close(c);
    stop = true;
    t.join();
    userver_close(server);
    return ns / rounds;
}

double raw_round_trip_ns(size_t size, int rounds, bool *echoed)
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_DGRAM, 0, sv);
    std::thread t([&] {
        char buf[UMSG_DATAGRAM];
        for (int i = 0; i <= rounds; i++) {
            ssize_t n = recv(sv[1], buf, sizeof(buf), 0);
            send(sv[1], buf, static_cast<size_t>(n), 0);
        }
    });
    std::string msg(size + sizeof(umsghdr), 'r');
    char buf[UMSG_DATAGRAM];
    send(sv[0], msg.data(), msg.size(), 0);
    ssize_t got = recv(sv[0], buf, sizeof(buf), 0);
    *echoed = got == ssize_t(msg.size()) && memcmp(buf, msg.data(), msg.size()) == 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        send(sv[0], msg.data(), msg.size(), 0);
        recv(sv[0], buf, sizeof(buf), 0);
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    t.join();
    close(sv[0]);
    close(sv[1]);
    return ns / rounds;
}

void BM_IpcRoundTrip(benchmark::State &state)
{
    size_t size = static_cast<size_t>(state.range(0));
    // Every iteration counts: the mean round trip over all of them.
    double ipc = 0, raw = 0;
    bool ipc_ok = true, raw_ok = true;
    for (auto _ : state) {
        ipc += ipc_round_trip_ns(size, kRounds, &ipc_ok);
        raw += raw_round_trip_ns(size, kRounds, &raw_ok);
        if (!ipc_ok || !raw_ok) {
            state.SkipWithError("a reply does not echo its request");
            break;
        }
    }
    double n = double(state.iterations());
    state.counters["ipc_ns"] = ipc / n;
    state.counters["raw_ns"] = raw / n;
    state.counters["ipc_over_raw"] = ipc / raw;
}

} // namespace

BENCHMARK(BM_IpcRoundTrip)->Arg(64)->Arg(1024)->Arg(4092)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
