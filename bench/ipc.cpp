// An IPC request/reply round trip beside a raw datagram ping-pong of the same
// size between two threads; the counter is the IPC cost over the raw one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "common/uclient.h"
#include "common/userver.h"

namespace {

int echo(void *, uint8_t *, size_t len, size_t, int)
{
    return static_cast<int>(len);
}

double ipc_round_trip_ns(size_t size, int rounds)
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

double raw_round_trip_ns(size_t size, int rounds)
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_DGRAM, 0, sv);
    std::thread t([&] {
        char buf[UMSG_DATAGRAM];
        for (int i = 0; i < rounds; i++) {
            ssize_t n = recv(sv[1], buf, sizeof(buf), 0);
            send(sv[1], buf, static_cast<size_t>(n), 0);
        }
    });
    std::string msg(size + sizeof(umsghdr), 'r');
    char buf[UMSG_DATAGRAM];
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
    double ipc = 0, raw = 0;
    for (auto _ : state) {
        ipc = ipc_round_trip_ns(size, 20000);
        raw = raw_round_trip_ns(size, 20000);
    }
    state.counters["ipc_ns"] = ipc;
    state.counters["raw_ns"] = raw;
    state.counters["ipc_over_raw"] = ipc / raw;
}

} // namespace

BENCHMARK(BM_IpcRoundTrip)->Arg(64)->Arg(1024)->Arg(4092)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
