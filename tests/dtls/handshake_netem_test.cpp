// Handshakes over real UDP sockets in a network namespace whose loopback
// loses, delays and reorders datagrams (netem), made by the test itself.
// Where the kernel has no netem, the senders impair their own datagrams the
// same way instead, and the test says so.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "common/packet.h"
#include "common/schedule.h"
#include "controller/dtls/dtls.h"

namespace {

struct udp_end {
    int fd = -1;
    dtls_ctx *ctx = nullptr;
    int sends = 0;
    int connected = 0;
    int closed = -1;
};

schedule *g_sched;
mempool *g_pool;
int g_connected;
int g_target;

// Impairment in the senders, for kernels without netem: loss in percent,
// and a share of datagrams held back and sent after later ones.
struct impairment {
    int loss = 0, reorder = 0;
    struct held {
        int fd;
        sockaddr_in to;
        std::vector<uint8_t> data;
    };
    std::vector<held> queue;
    timer flush_timer{};
} g_impair;

void flush_held(timer *)
{
    for (auto &h : g_impair.queue)
        sendto(h.fd, h.data.data(), h.data.size(), 0, reinterpret_cast<sockaddr *>(&h.to), sizeof h.to);
    g_impair.queue.clear();
}

int impaired_send(int fd, const packet *p, const sockaddr *peer)
{
    if (rand() % 100 < g_impair.loss)
        return 0;
    if (rand() % 100 < g_impair.reorder) {
        impairment::held h{fd, {}, std::vector<uint8_t>(p->data, p->data + p->length)};
        memcpy(&h.to, peer, sizeof h.to);
        g_impair.queue.push_back(std::move(h));
        if (!timer_ispending(&g_impair.flush_timer))
            schedule_timer(g_sched, &g_impair.flush_timer, 3, flush_held);
        return 0;
    }
    return int(sendto(fd, p->data, p->length, 0, peer, sizeof(sockaddr_in)));
}

void on_read(void *user, int fd)
{
    auto *e = static_cast<udp_end *>(user);
    for (;;) {
        uint8_t buf[2048];
        sockaddr_storage from;
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return;
        packet *p = packet_from_bytes(g_pool, buf, size_t(n));
        dtls_recv(e->ctx, p, reinterpret_cast<sockaddr *>(&from));
        packet_release(p);
    }
}

const dtls_ops ops = {
    .accept_cb = nullptr,
    .connect_cb = [](void *u, dtls_sock *) {
        static_cast<udp_end *>(u)->connected++;
        if (++g_connected == g_target)
            schedule_stop(g_sched);
    },
    .recv_cb = [](void *, dtls_sock *, packet *) {},
    .send_cb = [](void *u, packet *p, const sockaddr *peer) {
        auto *e = static_cast<udp_end *>(u);
        e->sends++;
        return impaired_send(e->fd, p, peer);
    },
    .close_cb = [](void *u, dtls_sock *, int alert) {
        static_cast<udp_end *>(u)->closed = alert;
        if (g_target == 0)
            schedule_stop(g_sched);
    },
    .alert_cb = nullptr,
    .psk_cb = [](void *, const char *id, uint8_t *key, size_t) -> int {
        if (strcmp(id, "gw1") != 0)
            return -1;
        memset(key, 0x5a, 16);
        return 16;
    },
    .timer_start_cb = [](void *, timer *t, uint32_t ms,
                         timer_fn cb) { schedule_timer(g_sched, t, ms, cb); },
    .timer_stop_cb = [](void *, timer *t) { schedule_cancel(g_sched, t); },
};

int udp_socket(uint16_t port, uint32_t host = INADDR_LOOPBACK)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(host);
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
        return -1;
    return fd;
}

struct outcome {
    int connected = 0;
    int client_sends = 0;
    int closed = -1;
    int elapsed_ms = 0;
    int gave_up = 0;           // clients that closed with an alert
    int unconnected_sends = 0; // datagrams sent by those still handshaking
    bool self_impaired = false;
};

// Runs in a child inside its own network namespace: clients handshake with
// one server; the result goes back through the pipe. Exit 77: no namespace.
[[noreturn]] void run_child(int out, const char *netem, int loss, int reorder, int clients,
                           const dtls_params *client_params)
{
    if (unshare(CLONE_NEWNET) < 0)
        _exit(77);
    std::string cmd = std::string("ip link set lo up && tc qdisc add dev lo root netem ") + netem +
                      " 2>/dev/null";
    if (system("ip link set lo up") != 0)
        _exit(78);
    outcome o;
    if (system(cmd.c_str()) != 0) {
        o.self_impaired = true;
        g_impair.loss = loss;
        g_impair.reorder = reorder;
    }
    srand(unsigned(getpid()));
    dtls_init();
    g_sched = schedule_create();
    packet_pool_config pc = {2048, 64, 32, 1024, 1024, 0};
    g_pool = packet_pool_create(&pc);
    g_target = clients;
    udp_end server;
    server.fd = udp_socket(5684);
    server.ctx = dtls_ctx_create(&ops, &server, 0, 1500, nullptr, g_pool);
    schedule_add_fd(g_sched, server.fd, on_read, &server);
    std::vector<std::unique_ptr<udp_end>> ends;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5684);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dtls_psk psk{};
    strcpy(psk.identity, "gw1");
    memset(psk.key, 0x5a, 16);
    psk.key_length = 16;
    for (int i = 0; i < (clients ? clients : 1); i++) {
        auto e = std::make_unique<udp_end>();
        // Spread over loopback addresses, as many hosts would be: one
        // address may hold only a few handshakes of the server at a time.
        e->fd = udp_socket(0, INADDR_LOOPBACK + uint32_t(i % 16));
        e->ctx = dtls_ctx_create(&ops, e.get(), 0, 1500, client_params, g_pool);
        schedule_add_fd(g_sched, e->fd, on_read, e.get());
        dtls_connect(e->ctx, reinterpret_cast<sockaddr *>(&to), nullptr, &psk);
        ends.push_back(std::move(e));
    }
    // A handshake whose flights are lost four or five times in a row waits
    // 15 or 31 s for its resends alone; on a loaded machine more than that.
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(120)) {
        if (schedule_run(g_sched, 1000) != 0)
            break;
        if ((clients && g_connected == clients) || (!clients && ends[0]->closed >= 0))
            break;
    }
    o.connected = g_connected;
    for (auto &e : ends)
        if (clients && !e->connected) {
            o.gave_up += e->closed >= 0;
            o.unconnected_sends += e->sends;
        }
    o.client_sends = ends[0]->sends;
    o.closed = ends[0]->closed;
    o.elapsed_ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count());
    if (write(out, &o, sizeof o) != sizeof o)
        _exit(1);
    _exit(0);
}

// The child's outcome; skips the test where namespaces cannot be made.
bool run_in_namespace(const char *netem, int loss, int reorder, int clients,
                      const dtls_params *params, outcome *o)
{
    int fds[2];
    if (pipe(fds) < 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        run_child(fds[1], netem, loss, reorder, clients, params);
    }
    close(fds[1]);
    ssize_t n = read(fds[0], o, sizeof *o);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        return false;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(n, ssize_t(sizeof *o));
    if (o->self_impaired)
        printf("[ NOTE     ] this kernel has no netem: the senders drop and reorder instead\n");
    return true;
}

TEST(HandshakeNetemTest, TwoHundredHandshakesThroughLossAndReordering)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace with netem";
    outcome o;
    if (!run_in_namespace("delay 2ms 1ms loss 10% reorder 25% 50%", 10, 25, 200, nullptr, &o))
        GTEST_SKIP() << "network namespaces are not permitted here";
    EXPECT_EQ(o.connected, 200) << "after " << o.elapsed_ms << " ms, " << o.gave_up
                                << " gave up; the others sent " << o.unconnected_sends
                                << " datagrams";
}

// Nothing gets through: with a limit of one resend, the first flight goes
// out twice, the second wait is doubled, and the host hears Handshake Failure.
TEST(HandshakeNetemTest, TotalLossTimesOut)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a network namespace with netem";
    dtls_params params = dtls_default_params;
    params.retransmit_limit = 1;
    outcome o;
    if (!run_in_namespace("loss 100%", 100, 0, 0, &params, &o))
        GTEST_SKIP() << "network namespaces are not permitted here";
    EXPECT_EQ(o.client_sends, 2);
    EXPECT_EQ(o.closed, 40);
    EXPECT_GE(o.elapsed_ms, 2900);
}

} // namespace
