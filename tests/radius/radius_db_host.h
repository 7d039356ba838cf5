// A host for the session database in tests and benchmarks: the real
// transports of one NAS, one-shot timers on the cached clock, the core's
// callbacks recorded, and either captured datagrams (answered by the test,
// signed as a server would) or UDP sockets towards a real server.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "radius/radius_cache.h"
#include "radius/radius_db.h"
#include "radius/radius_nas.h"
#include "radius_test_util.h"

namespace radius_test {

constexpr const char *DB_SECRET = "db-secret";

class db_host
{
  public:
    struct options {
        bool auth = true;
        bool acct = true;
        bool cache = false;
        bool udp = false;
        uint16_t auth_port = 1812, acct_port = 1813;
        uint16_t ports = 1;
        uint32_t realm_len = 0;
        const char *nas_name = "nas-1";
    };

    explicit db_host(const options &o) : opt(o), pool(make_pool())
    {
        strcpy(rec.config.radiusAuthClientIdentifier, o.nas_name);
        rec.config.radiusClientRequestPorts = o.ports & 0x7fff;
        rec.config.radiusClientCaching = o.cache;
        row(rec.auth[0], o.auth_port);
        row(rec.acct[0], o.acct_port);
        radius_nas_ops nops = {.send = nas_send, .timed_out = nas_timed_out,
                               .schedule = schedule, .cancel = cancel};
        if (o.auth)
            auth = radius_nas_create_auth(&rec.config, rec.auth, &nops, this);
        if (o.acct)
            acct = radius_nas_create_acct(&rec.config, rec.acct, &nops, this);
        if (o.cache) {
            radius_cache_ops cops = {.revoked = revoked_cb, .schedule = schedule, .cancel = cancel};
            cache = radius_cache_create(&cops, this, o.realm_len);
        }
        radius_db_ops dops = {
            .authorize = authorize_cb,
            .deauthorize = deauthorize_cb,
            .update = update_cb,
            .send = db_send,
            .discard = db_discard,
            .cache_store = o.cache ? cache_store : nullptr,
            .cache_account = o.cache ? cache_account : nullptr,
            .cache_revoke = o.cache ? cache_revoke : nullptr,
            .cache_lookup = o.cache ? cache_lookup : nullptr,
            .cache_revoke_by = nullptr,
            .schedule = schedule,
            .cancel = cancel,
        };
        db = radius_db_create(&dops, this, o.nas_name, o.realm_len, pool.get(), auth, acct, nullptr);
        if (o.udp) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
        }
    }
    ~db_host()
    {
        radius_db_destroy(db);
        radius_cache_destroy(cache);
        radius_nas_destroy(auth);
        radius_nas_destroy(acct);
        for (packet *p : wire)
            packet_release(p);
        if (fd >= 0)
            close(fd);
    }

    // Datagrams sent, oldest first; the host keeps a copy of each.
    std::vector<packet *> wire;
    size_t wire_seen = 0;
    std::vector<radius_entry *> authorized;
    std::vector<std::pair<radius_entry *, uint16_t>> deauthorized;
    std::vector<bytes> revoked; // MAC then realm
    std::function<void(radius_entry *)> on_authorize, on_deauthorize, on_update;
    std::map<timer *, std::pair<uint64_t, timer_fn>> timers;
    uint32_t longest_arm = 0;

    options opt;
    pool_ptr pool;
    radius_nas_record rec{};
    radius_nas *auth = nullptr, *acct = nullptr;
    radius_cache *cache = nullptr;
    radius_db *db = nullptr;
    int fd = -1;
    uint64_t now_ms = 0;

    static uint64_t clock_now()
    {
        return clock_monotonic_sec * 1000 + clock_monotonic_usec / 1000;
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
            if (!t)
                break;
            if (due > clock_now())
                set_clock_ms(due);
            timer_fn fn = timers[t].second;
            timers.erase(t);
            t->flags = 0;
            fn(t);
        }
        set_clock_ms(end);
    }

    // The last datagram sent that has the code, or null.
    packet *last(radius_code code)
    {
        for (size_t i = wire.size(); i-- > 0;)
            if (wire[i]->data[0] == uint8_t(code))
                return wire[i];
        return nullptr;
    }
    std::vector<packet *> all(radius_code code) const
    {
        std::vector<packet *> v;
        for (packet *p : wire)
            if (p->data[0] == uint8_t(code))
                v.push_back(p);
        return v;
    }

    // Answers a captured request as its server would: same identifier,
    // Message-Authenticator and Response Authenticator over the secret.
    int answer(const packet *request, radius_code code, const bytes &attrs)
    {
        bytes m = message(code, request->data[1],
                          attrs + attr(radius_attr_type::message_authenticator, bytes(16, 0)));
        packet *msg = packet_of(pool.get(), m);
        uint8_t out[16];
        radius_calc_msg_auth(DB_SECRET, msg, radius_header(request)->authenticator, out);
        memcpy(radius_msg_auth_value(msg), out, 16);
        radius_calc_authenticator(DB_SECRET, msg, radius_header(request)->authenticator, out);
        memcpy(radius_header(msg)->authenticator, out, 16);
        int r = deliver(msg, request->data[0] == uint8_t(radius_code::access_request) ? auth : acct);
        packet_release(msg);
        return r;
    }

    int deliver(packet *msg, radius_nas *nas)
    {
        int server = radius_nas_recv(nas, msg, reinterpret_cast<sockaddr *>(&nas->server[0]), 0);
        if (server >= 0)
            radius_db_response(db, msg, server);
        return server;
    }

    // Real server: runs datagrams and timers on the real clock until done().
    template <class F> bool run_until(F done, int timeout_ms)
    {
        int64_t end = monotonic_ms() + timeout_ms;
        while (!done()) {
            clock_refresh_offset();
            int64_t wait = end - monotonic_ms();
            if (wait <= 0)
                return false;
            uint64_t now = clock_now();
            timer *due = nullptr;
            for (auto &[k, v] : timers)
                if (v.first <= now)
                    due = k;
            if (due) {
                timer_fn fn = timers[due].second;
                timers.erase(due);
                due->flags = 0;
                fn(due);
                continue;
            }
            for (auto &[k, v] : timers)
                wait = std::min<int64_t>(wait, int64_t(v.first - now));
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, int(std::max<int64_t>(wait, 1))) <= 0)
                continue;
            uint8_t buf[4200];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t r = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (r < 20)
                continue;
            clock_refresh_offset();
            packet *msg = packet_of(pool.get(), bytes(buf, buf + r));
            radius_nas *nas = buf[0] == uint8_t(radius_code::accounting_response) ? acct : auth;
            int server = radius_nas_recv(nas, msg, reinterpret_cast<sockaddr *>(&from), 0);
            if (server >= 0)
                radius_db_response(db, msg, server);
            packet_release(msg);
        }
        return true;
    }

  private:
    void row(radiusAuthClientServerExtTable &r, uint16_t port)
    {
        r.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", r.radiusAuthServerInetAddress);
        r.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", r.radiusAuthClientInetAddress);
        r.radiusAuthClientServerInetPortNumber = port;
        strcpy(r.radiusAuthServerSharedSecret, DB_SECRET);
    }
    void row(radiusAccClientServerExtTable &r, uint16_t port)
    {
        r.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", r.radiusAccServerInetAddress);
        r.radiusAccClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", r.radiusAccClientInetAddress);
        r.radiusAccClientServerInetPortNumber = port;
        strcpy(r.radiusAccServerSharedSecret, DB_SECRET);
    }

    static db_host *self(void *u) { return static_cast<db_host *>(u); }
    static void nas_send(void *u, packet *msg, const sockaddr *server, int)
    {
        db_host *h = self(u);
        if (h->fd >= 0) {
            sendto(h->fd, msg->data, msg->length, 0, server, sizeof(sockaddr_in));
            return;
        }
        packet *copy = packet_copy(msg);
        h->wire.push_back(copy);
    }
    static void nas_timed_out(void *u, packet *msg) { radius_db_timeout(self(u)->db, msg); }
    static void schedule(void *u, timer *t, uint32_t ms, timer_fn fn)
    {
        db_host *h = self(u);
        h->timers[t] = {clock_now() + ms, fn};
        t->flags = TIMER_PENDING;
        if (ms > h->longest_arm)
            h->longest_arm = ms;
    }
    static void cancel(void *u, timer *t)
    {
        self(u)->timers.erase(t);
        t->flags = 0;
    }
    static void authorize_cb(void *u, radius_entry *e)
    {
        self(u)->authorized.push_back(e);
        if (self(u)->on_authorize)
            self(u)->on_authorize(e);
    }
    static void deauthorize_cb(void *u, radius_entry *e, uint16_t reason)
    {
        self(u)->deauthorized.push_back({e, reason});
        if (self(u)->on_deauthorize)
            self(u)->on_deauthorize(e);
    }
    static void update_cb(void *u, radius_entry *e)
    {
        if (self(u)->on_update)
            self(u)->on_update(e);
    }
    static int db_send(void *u, packet *msg, int server, int *token)
    {
        db_host *h = self(u);
        radius_nas *nas = msg->data[0] == uint8_t(radius_code::access_request) ? h->auth : h->acct;
        return radius_nas_send(nas, msg, server, token);
    }
    static void db_discard(void *u, packet *msg)
    {
        db_host *h = self(u);
        radius_nas *nas = msg->data[0] == uint8_t(radius_code::access_request) ? h->auth : h->acct;
        if (radius_request_of(msg)->nas == nas)
            radius_nas_cancel(nas, msg);
    }
    static void cache_store(void *u, const uint8_t *realm, const uint8_t mac[6], radius_entry *e)
    {
        radius_cache_create_entry(self(u)->cache, realm, mac, &e->authz);
    }
    static void cache_account(void *u, const uint8_t *realm, const uint8_t mac[6], uint32_t up,
                              uint32_t down)
    {
        radius_cache_account(self(u)->cache, realm, mac, up, down);
    }
    static void cache_revoke(void *u, const uint8_t *realm, const uint8_t mac[6])
    {
        radius_cache_revoke(self(u)->cache, realm, mac);
    }
    static const radius_authz *cache_lookup(void *u, const uint8_t *realm, const uint8_t mac[6])
    {
        return radius_cache_lookup(self(u)->cache, realm, mac);
    }
    static void revoked_cb(void *u, const uint8_t *realm, const uint8_t mac[6])
    {
        bytes b(mac, mac + 6);
        b.insert(b.end(), realm, realm + self(u)->opt.realm_len);
        self(u)->revoked.push_back(b);
    }
};

// Attribute values of a message, by type (first of each).
inline std::map<int, bytes> attrs_of(const packet *msg)
{
    std::map<int, bytes> m;
    for (const uint8_t *a = radius_first_attr(msg); a; a = radius_next_attr(msg, a))
        if (!m.count(a[0]))
            m[a[0]] = bytes(a + 2, a + a[1]);
    return m;
}
inline std::vector<int> types_of(const packet *msg)
{
    std::vector<int> v;
    for (const uint8_t *a = radius_first_attr(msg); a; a = radius_next_attr(msg, a))
        v.push_back(a[0]);
    return v;
}
inline bytes vsa(uint32_t vendor, uint8_t type, const char *text)
{
    return vsa(vendor, type, bytes(text, text + strlen(text)));
}
inline uint32_t int_of(const bytes &b)
{
    return b.size() == 4 ? radius_load32(b.data()) : 0xffffffffu;
}
inline std::string str_of(const bytes &b)
{
    return std::string(b.begin(), b.end());
}
inline bytes int_bytes(uint32_t v)
{
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

} // namespace radius_test
