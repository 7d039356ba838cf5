// dtlspeer: a DTLS 1.2 peer on our engine, for tests and stand-ins.
//
//   dtlspeer -c HOST:PORT [--psk ID:HEXKEY] [--pin HEX[/BITS]]     client
//   dtlspeer -l ADDR:PORT [--psk ID:HEXKEY] [--key FILE]           server
//
// Common: --mtu N (path MTU), --close-after N (close a socket after it
// received N messages), --no-echo, -d LEVEL (engine log on stderr).
// What arrives is echoed back; lines on standard input are sent to the peer
// (the client's server, or every connected client). Events are printed on
// standard output, one per line:
//   listening PORT | connected PEER SUITE | fingerprint HEX | accepted PEER SUITE
//   recv PEER LENGTH TEXT | alert PEER CODE | closed PEER CODE
// A client exits when its socket closes: 0 when it had connected, else 1.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <netdb.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/crypto/rsa.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "controller/dtls/dtls.h"
#include "tools/dtlspeer/key_load.h"

namespace {

struct peer_state {
    schedule *sched = nullptr;
    mempool *pool = nullptr;
    mempool *big_pool = nullptr; // received datagrams too long for one buffer of pool
    dtls_ctx *ctx = nullptr;
    int fd = -1;
    bool server = false;
    bool echo = true;
    unsigned close_after = 0;
    dtls_psk psk{};
    bool has_psk = false;
    dtls_sock *client = nullptr;
    bool client_connected = false;
    int exit_code = -1;
    std::vector<dtls_sock *> socks; // connected sockets, to send stdin lines to
    std::vector<std::pair<dtls_sock *, unsigned>> counts;
};

peer_state g;

const char *peer_text(dtls_sock *s, char *buf, size_t size)
{
    return sockaddr_format(dtls_sock_peer(s), buf, size, 0);
}

void forget(dtls_sock *s)
{
    for (size_t i = 0; i < g.socks.size(); i++)
        if (g.socks[i] == s)
            g.socks.erase(g.socks.begin() + long(i--));
    for (size_t i = 0; i < g.counts.size(); i++)
        if (g.counts[i].first == s)
            g.counts.erase(g.counts.begin() + long(i--));
}

void send_text(dtls_sock *s, const void *data, size_t n)
{
    packet *p = packet_alloc(g.pool, n);
    if (!p)
        return;
    memcpy(p->data, data, n);
    dtls_send(s, p);
    packet_release(p);
}

void on_up(dtls_sock *s, const char *what)
{
    char buf[SOCKADDR_FMT_SIZE];
    printf("%s %s %s\n", what, peer_text(s, buf, sizeof buf), dtls_sock_cipher(s));
    if (const dtls_rsa_pin *pin = dtls_sock_peer_key(s)) {
        printf("fingerprint ");
        for (uint8_t b : pin->fingerprint)
            printf("%02x", b);
        printf("\n");
    }
    fflush(stdout);
    g.socks.push_back(s);
    g.counts.emplace_back(s, 0);
    if (s == g.client)
        g.client_connected = true;
}

void accept_cb(void *, dtls_sock *s)
{
    on_up(s, "accepted");
}

void connect_cb(void *, dtls_sock *s)
{
    on_up(s, "connected");
}

void recv_cb(void *, dtls_sock *s, packet *p)
{
    char buf[SOCKADDR_FMT_SIZE];
    std::string text;
    for (size_t i = 0; i < p->length; i++) {
        uint8_t c = p->data[i];
        if (c >= 0x20 && c < 0x7f)
            text += char(c);
        else if (c == '\n')
            text += "\\n";
        else
            text += '.';
    }
    printf("recv %s %u %s\n", peer_text(s, buf, sizeof buf), unsigned{p->length}, text.c_str());
    fflush(stdout);
    if (g.echo)
        send_text(s, p->data, p->length);
    bool done = false;
    for (auto &c : g.counts)
        if (c.first == s && g.close_after && ++c.second >= g.close_after)
            done = true;
    if (done) {
        forget(s);
        dtls_close(s);
        if (s == g.client) {
            g.exit_code = 0;
            schedule_stop(g.sched);
        }
    }
}

int send_cb(void *, packet *p, const sockaddr *peer)
{
    return int(sendto(g.fd, p->data, p->length, 0, peer, sockaddr_len(peer)));
}

void close_cb(void *, dtls_sock *s, int alert)
{
    char buf[SOCKADDR_FMT_SIZE];
    printf("closed %s %d\n", peer_text(s, buf, sizeof buf), alert);
    fflush(stdout);
    forget(s);
    if (s == g.client) {
        g.exit_code = g.client_connected ? 0 : 1;
        schedule_stop(g.sched);
    }
}

void alert_cb(void *, dtls_sock *s, int alert)
{
    char buf[SOCKADDR_FMT_SIZE];
    printf("alert %s %d\n", peer_text(s, buf, sizeof buf), alert);
    fflush(stdout);
}

int psk_cb(void *, const char *identity, uint8_t *key, size_t size)
{
    if (strcmp(identity, g.psk.identity) != 0 || g.psk.key_length > size)
        return -1;
    memcpy(key, g.psk.key, g.psk.key_length);
    return int(g.psk.key_length);
}

void timer_start_cb(void *, timer *t, uint32_t ms, timer_fn cb)
{
    schedule_timer(g.sched, t, ms, cb);
}

void timer_stop_cb(void *, timer *t)
{
    schedule_cancel(g.sched, t);
}

void on_datagram(void *, int fd)
{
    for (;;) {
        sockaddr_storage from;
        socklen_t len = sizeof from;
        static uint8_t buf[65536];
        ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return;
        // The engine takes a datagram in one buffer only.
        bool big = size_t(n) > packet_pool_capacity(g.pool) - 64 - 32;
        packet *p = packet_from_bytes(big ? g.big_pool : g.pool, buf, size_t(n));
        if (!p)
            continue;
        dtls_recv(g.ctx, p, reinterpret_cast<sockaddr *>(&from));
        packet_release(p);
    }
}

void on_stdin(void *, int fd)
{
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        schedule_remove_fd(g.sched, fd);
        return;
    }
    for (dtls_sock *s : g.socks)
        send_text(s, buf, size_t(n));
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Hex digits into out; the count of bytes, or -1.
int parse_hex(const char *text, uint8_t *out, size_t size)
{
    size_t n = strlen(text);
    if (n % 2 || n / 2 > size)
        return -1;
    for (size_t i = 0; i < n / 2; i++) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[i] = uint8_t(hi << 4 | lo);
    }
    return int(n / 2);
}

bool parse_psk(const char *arg, dtls_psk *psk)
{
    const char *colon = strrchr(arg, ':');
    if (!colon || size_t(colon - arg) >= sizeof psk->identity)
        return false;
    memcpy(psk->identity, arg, size_t(colon - arg));
    int n = parse_hex(colon + 1, psk->key, sizeof psk->key);
    if (n <= 0)
        return false;
    psk->key_length = uint32_t(n);
    return true;
}

// "HEX" (its bits) or "HEX/BITS".
bool parse_pin(const char *arg, dtls_rsa_pin *pin)
{
    std::string text = arg;
    size_t slash = text.find('/');
    int n = parse_hex(text.substr(0, slash).c_str(), pin->fingerprint, sizeof pin->fingerprint);
    if (n < 0)
        return false;
    pin->bits = slash == std::string::npos ? uint32_t(n) * 8
                                           : uint32_t(strtoul(text.c_str() + slash + 1, nullptr, 10));
    return true;
}

bool resolve(const char *arg, sockaddr_storage *out, bool passive)
{
    std::string text = arg;
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res) != 0)
        return false;
    memcpy(out, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    return true;
}

int usage()
{
    fprintf(stderr, "usage: dtlspeer (-c HOST:PORT | -l ADDR:PORT) [--psk ID:HEXKEY] [--pin HEX[/BITS]]\n"
                    "                [--key FILE] [--mtu N] [--close-after N] [--no-echo] [-d LEVEL]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    enum { OPT_PSK = 0x100, OPT_PIN, OPT_KEY, OPT_MTU, OPT_CLOSE_AFTER, OPT_NO_ECHO };
    static const option options[] = {
        {"connect", required_argument, nullptr, 'c'},
        {"listen", required_argument, nullptr, 'l'},
        {"psk", required_argument, nullptr, OPT_PSK},
        {"pin", required_argument, nullptr, OPT_PIN},
        {"key", required_argument, nullptr, OPT_KEY},
        {"mtu", required_argument, nullptr, OPT_MTU},
        {"close-after", required_argument, nullptr, OPT_CLOSE_AFTER},
        {"no-echo", no_argument, nullptr, OPT_NO_ECHO},
        {"debug", required_argument, nullptr, 'd'},
        {nullptr, 0, nullptr, 0},
    };
    const char *target = nullptr, *key_path = nullptr;
    dtls_rsa_pin pin{};
    bool has_pin = false;
    size_t mtu = 1500;
    int debug = -3;
    int c;
    while ((c = getopt_long(argc, argv, "c:l:d:", options, nullptr)) != -1) {
        switch (c) {
        case 'c': target = optarg; g.server = false; break;
        case 'l': target = optarg; g.server = true; break;
        case OPT_PSK:
            if (!parse_psk(optarg, &g.psk))
                return usage();
            g.has_psk = true;
            break;
        case OPT_PIN:
            if (!parse_pin(optarg, &pin))
                return usage();
            has_pin = true;
            break;
        case OPT_KEY: key_path = optarg; break;
        case OPT_MTU: mtu = strtoul(optarg, nullptr, 10); break;
        case OPT_CLOSE_AFTER: g.close_after = unsigned(strtoul(optarg, nullptr, 10)); break;
        case OPT_NO_ECHO: g.echo = false; break;
        case 'd': debug = atoi(optarg); break;
        default: return usage();
        }
    }
    if (!target)
        return usage();
    if (debug > -3)
        log_open(nullptr, debug, LOG_COMP_ALL, LOG_FMT_TIME, nullptr);
    signal(SIGPIPE, SIG_IGN);
    dtls_init();
    sockaddr_storage addr{};
    if (!resolve(target, &addr, g.server)) {
        fprintf(stderr, "dtlspeer: cannot resolve %s\n", target);
        return 2;
    }
    g.sched = schedule_create();
    packet_pool_config pc = {2048, 64, 32, 256, 256, 0};
    g.pool = packet_pool_create(&pc);
    // Loopback datagrams reach 64 KB: OpenSSL sends records of up to 16 KB there.
    packet_pool_config big = {65535, 0, 0, 16, 16, 0};
    g.big_pool = packet_pool_create(&big);
    g.fd = socket(addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (!g.sched || !g.pool || !g.big_pool || g.fd < 0) {
        perror("dtlspeer");
        return 1;
    }
    const sockaddr *sa = reinterpret_cast<sockaddr *>(&addr);
    if (g.server) {
        if (bind(g.fd, sa, sockaddr_len(sa)) < 0) {
            perror("dtlspeer: bind");
            return 1;
        }
        sockaddr_storage bound;
        socklen_t len = sizeof bound;
        getsockname(g.fd, reinterpret_cast<sockaddr *>(&bound), &len);
        uint16_t port = bound.ss_family == AF_INET
                            ? ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port)
                            : ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
        printf("listening %u\n", unsigned{port});
        fflush(stdout);
    }
    dtls_ops ops = {
        .accept_cb = accept_cb,
        .connect_cb = connect_cb,
        .recv_cb = recv_cb,
        .send_cb = send_cb,
        .close_cb = close_cb,
        .alert_cb = alert_cb,
        .psk_cb = g.server && g.has_psk ? psk_cb : nullptr,
        .timer_start_cb = timer_start_cb,
        .timer_stop_cb = timer_stop_cb,
    };
    g.ctx = dtls_ctx_create(&ops, nullptr, 0, mtu, nullptr, g.pool);
    if (!g.ctx)
        return 1;
    rsa_key *key = nullptr;
    if (key_path) {
        key = key_load_private(key_path);
        if (!key || dtls_set_server_key(g.ctx, key) < 0)
            return 1;
    }
    schedule_add_fd(g.sched, g.fd, on_datagram, nullptr);
    schedule_add_fd(g.sched, STDIN_FILENO, on_stdin, nullptr);
    if (!g.server) {
        g.client = dtls_connect(g.ctx, sa, has_pin ? &pin : nullptr, g.has_psk ? &g.psk : nullptr);
        if (!g.client)
            return 1;
    }
    while (g.exit_code < 0 && schedule_run(g.sched, 0) == 0) {
    }
    schedule_remove_fd(g.sched, g.fd);
    schedule_remove_fd(g.sched, STDIN_FILENO);
    dtls_ctx_destroy(g.ctx);
    rsa_free(key);
    close(g.fd);
    schedule_destroy(g.sched);
    mempool_unref(g.pool);
    mempool_unref(g.big_pool);
    return g.exit_code < 0 ? 1 : g.exit_code;
}
