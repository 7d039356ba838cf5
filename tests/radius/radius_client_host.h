// A small daemon core for the RADIUS client in tests and benchmarks: the
// client's seven callbacks recorded, one-shot timers on the cached clock, and
// either captured datagrams or UDP sockets on free loopback ports standing for
// the request ports and the dynamic-authorization port.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "radius/radius_client.h"
#include "radius_test_util.h"

namespace radius_test
{

constexpr const char *CLIENT_SECRET = "client-secret";

inline sockaddr_in loopback(uint16_t port, const char *ip = "127.0.0.1")
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, ip, &in.sin_addr);
    return in;
}

// Rows towards servers on 127.0.0.1 (or the given address).
inline void fill_auth_row(radiusAuthClientServerExtTable &r, uint16_t port,
                          const char *secret = CLIENT_SECRET, const char *server = "127.0.0.1")
{
    r.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, server, r.radiusAuthServerInetAddress);
    r.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", r.radiusAuthClientInetAddress);
    r.radiusAuthClientServerInetPortNumber = port;
    strncpy(r.radiusAuthServerSharedSecret, secret, RADIUS_SECRET_SIZE - 1);
}

inline void fill_acct_row(radiusAccClientServerExtTable &r, uint16_t port,
                          const char *secret = CLIENT_SECRET, const char *server = "127.0.0.1")
{
    r.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, server, r.radiusAccServerInetAddress);
    r.radiusAccClientInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", r.radiusAccClientInetAddress);
    r.radiusAccClientServerInetPortNumber = port;
    strncpy(r.radiusAccServerSharedSecret, secret, RADIUS_SECRET_SIZE - 1);
}

// A NAS configuration as Add-NAS carries it.
struct nas_setup {
    radius_nas_config config{};
    radiusAuthClientServerExtTable auth[2]{};
    radiusAccClientServerExtTable acct[2]{};
    nas_setup(const char *name = "nas-1", uint16_t ports = 1, bool caching = false)
    {
        strcpy(config.radiusAuthClientIdentifier, name);
        config.radiusClientRequestPorts = ports & 0x7fff;
        config.radiusClientCaching = caching;
    }
};

class client_host
{
  public:
    // udp: real sockets (request ports and a DAS port on 127.0.0.1).
    explicit client_host(bool udp_ = false, uint32_t realm_len_ = 0)
        : udp(udp_), realm_len(realm_len_), pool(make_pool())
    {
        if (udp) das_fd = open_socket();
    }
    ~client_host()
    {
        radius_client_destroy(client);
        for (packet *p : wire)
            packet_release(p);
        for (int fd : port_fds)
            close(fd);
        if (das_fd >= 0) close(das_fd);
    }

    radius_client *create(const nas_setup &s)
    {
        ensure_ports(s.config.radiusClientRequestPorts);
        radius_client_ops ops = {
            .authorize = authorize_cb,
            .deauthorize = deauthorize_cb,
            .update = update_cb,
            .revoked = revoked_cb,
            .send = send_cb,
            .schedule = schedule_cb,
            .cancel = cancel_cb,
        };
        client = radius_client_create(&s.config, s.auth, s.acct, &ops, this, realm_len, pool.get());
        return client;
    }
    int configure(const nas_setup &s)
    {
        ensure_ports(s.config.radiusClientRequestPorts);
        return radius_client_configure(client, &s.config, s.auth, s.acct);
    }

    uint16_t das_port() const { return local_port(das_fd); }

    // ---- what the client did ----
    struct sent {
        packet *msg; // a copy
        sockaddr_in to;
        int port;
    };
    std::vector<packet *> wire; // copies of every datagram sent, oldest first
    std::vector<sent> sends;
    std::vector<radius_entry *> authorized;
    std::vector<std::pair<radius_entry *, uint16_t>> deauthorized;
    std::vector<bytes> revoked;
    std::function<void(radius_entry *)> on_authorize, on_deauthorize;
    std::map<timer *, std::pair<uint64_t, timer_fn>> timers;

    bool udp;
    uint32_t realm_len;
    pool_ptr pool;
    radius_client *client = nullptr;
    std::vector<int> port_fds;
    int das_fd = -1;

    static uint64_t clock_now() { return clock_monotonic_sec * 1000 + clock_monotonic_usec / 1000; }

    // The last datagram sent with the code, or null.
    packet *last(radius_code code) const
    {
        for (size_t i = sends.size(); i-- > 0;)
            if (sends[i].msg->data[0] == uint8_t(code)) return sends[i].msg;
        return nullptr;
    }
    size_t count(radius_code code) const
    {
        size_t n = 0;
        for (const auto &s : sends)
            n += s.msg->data[0] == uint8_t(code);
        return n;
    }

    // Moves the cached clock on, firing due timers in order.
    void advance(uint64_t ms)
    {
        uint64_t end = clock_now() + ms;
        for (;;) {
            timer *t = nullptr;
            uint64_t due = end + 1;
            for (auto &[k, v] : timers)
                if (v.first <= end && v.first < due) {
                    t = k;
                    due = v.first;
                }
            if (!t) break;
            if (due > clock_now()) set_clock_ms(due);
            timer_fn fn = timers[t].second;
            timers.erase(t);
            t->flags = 0;
            fn(t);
        }
        set_clock_ms(end);
    }

    // Hands a datagram to the client as the core would.
    void deliver(const bytes &b, const sockaddr_in &from, int port)
    {
        packet *msg = packet_of(pool.get(), b);
        radius_client_recv(client, msg, reinterpret_cast<const sockaddr *>(&from), port);
        packet_release(msg);
    }

    // Answers a captured request as its server would.
    void answer(const packet *request, radius_code code, const bytes &attrs,
                const char *secret = CLIENT_SECRET, uint16_t server_port = 1812)
    {
        bytes m = message(code, request->data[1],
                          attrs + attr(radius_attr_type::message_authenticator, bytes(16, 0)));
        packet *msg = packet_of(pool.get(), m);
        uint8_t out[16];
        radius_calc_msg_auth(secret, msg, radius_header(request)->authenticator, out);
        memcpy(radius_msg_auth_value(msg), out, 16);
        radius_calc_authenticator(secret, msg, radius_header(request)->authenticator, out);
        memcpy(radius_header(msg)->authenticator, out, 16);
        bytes b = bytes_of(msg);
        packet_release(msg);
        deliver(b, loopback(server_port), 0);
    }

    // Real sockets: runs datagrams and timers until done() holds or the bound passed.
    template <class F> bool run_until(F done, int timeout_ms)
    {
        int64_t end = monotonic_ms() + timeout_ms;
        while (!done()) {
            clock_refresh_offset();
            int64_t wait = end - monotonic_ms();
            if (wait <= 0) return false;
            if (fire_due()) continue;
            uint64_t now = clock_now();
            for (auto &[k, v] : timers)
                wait = std::min<int64_t>(wait, int64_t(v.first - now));
            std::vector<pollfd> p;
            for (int fd : port_fds)
                p.push_back({fd, POLLIN, 0});
            p.push_back({das_fd, POLLIN, 0});
            if (poll(p.data(), p.size(), int(std::max<int64_t>(wait, 1))) <= 0) continue;
            for (size_t i = 0; i < p.size(); i++) {
                if (!(p[i].revents & POLLIN)) continue;
                // Several datagrams per wake-up, as an event loop would.
                for (int k = 0; k < 64; k++) {
                    uint8_t buf[4096 + 64];
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    ssize_t r = recvfrom(p[i].fd, buf, sizeof buf, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr *>(&from), &len);
                    if (r < 0) break;
                    clock_refresh_offset();
                    packet *msg = packet_of(pool.get(), bytes(buf, buf + r));
                    int port = i + 1 == p.size() ? -1 : int(i);
                    radius_client_recv(client, msg, reinterpret_cast<sockaddr *>(&from), port);
                    packet_release(msg);
                    received++;
                }
            }
        }
        return true;
    }
    uint64_t received = 0;
    bool keep_copies = true;

  private:
    bool fire_due()
    {
        uint64_t now = clock_now();
        for (auto &[k, v] : timers) {
            if (v.first <= now) {
                timer *t = k;
                timer_fn fn = v.second;
                timers.erase(t);
                t->flags = 0;
                fn(t);
                return true;
            }
        }
        return false;
    }
    static int open_socket()
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in in = loopback(0);
        bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
        int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        return fd;
    }
    static uint16_t local_port(int fd)
    {
        sockaddr_in in{};
        socklen_t len = sizeof in;
        getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
        return ntohs(in.sin_port);
    }
    void ensure_ports(unsigned n)
    {
        if (!udp) return;
        while (port_fds.size() < n && port_fds.size() < RADIUS_MAX_REQUEST_PORTS)
            port_fds.push_back(open_socket());
    }

    static client_host *self(void *u) { return static_cast<client_host *>(u); }
    static void authorize_cb(void *u, radius_entry *e)
    {
        self(u)->authorized.push_back(e);
        if (self(u)->on_authorize) self(u)->on_authorize(e);
    }
    static void deauthorize_cb(void *u, radius_entry *e, uint16_t reason)
    {
        self(u)->deauthorized.push_back({e, reason});
        if (self(u)->on_deauthorize) self(u)->on_deauthorize(e);
    }
    static void update_cb(void *, radius_entry *) {}
    static void revoked_cb(void *u, const uint8_t *realm, const uint8_t mac[6])
    {
        bytes b(mac, mac + 6);
        b.insert(b.end(), realm, realm + self(u)->realm_len);
        self(u)->revoked.push_back(b);
    }
    static void send_cb(void *u, packet *msg, const sockaddr *to, int port)
    {
        client_host *h = self(u);
        sockaddr_in dst{};
        if (to->sa_family == AF_INET) dst = *reinterpret_cast<const sockaddr_in *>(to);
        if (h->udp) {
            int fd = port < 0 ? h->das_fd : h->port_fds.at(size_t(port));
            sendto(fd, msg->data, msg->length, 0, to, sizeof(sockaddr_in));
        }
        if (h->keep_copies) {
            packet *copy = packet_copy(msg);
            h->wire.push_back(copy);
            h->sends.push_back({copy, dst, port});
        }
    }
    static void schedule_cb(void *u, timer *t, uint32_t ms, timer_fn fn)
    {
        self(u)->timers[t] = {clock_now() + ms, fn};
        t->flags = TIMER_PENDING;
    }
    static void cancel_cb(void *u, timer *t)
    {
        self(u)->timers.erase(t);
        t->flags = 0;
    }
};

// A request from a RADIUS server to the DAS, signed with the secret: the
// Request Authenticator over zeros, a Message-Authenticator when asked.
inline bytes das_request(radius_code code, uint8_t id, const bytes &attrs,
                         const std::string &secret = CLIENT_SECRET, bool msg_auth = true)
{
    bytes body = attrs;
    size_t ma_at = 0;
    if (msg_auth) {
        ma_at = RADIUS_HDR_LEN + body.size() + 2;
        body = body + attr(radius_attr_type::message_authenticator, bytes(16, 0));
    }
    bytes m = message(code, id, body);
    if (msg_auth) {
        bytes mac = hmac_md5(secret, m);
        memcpy(&m[ma_at], mac.data(), 16);
    }
    bytes signed_part = m;
    signed_part.insert(signed_part.end(), secret.begin(), secret.end());
    bytes a = md5(signed_part);
    memcpy(&m[4], a.data(), 16);
    return m;
}

} // namespace radius_test
