// An in-memory network for DTLS engine tests: endpoints with their own
// context and address, a wire that carries datagrams between them in order
// (with a hook that may drop, hold or inspect each one), and a manual clock
// that drives both the timer wheel and the engine's cached clock.
#pragma once

#include "tests/openssl_rsa.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/crypto/rsa.h"
#include "common/packet.h"
#include "common/timer.h"
#include "controller/dtls/dtls.h"
#include "controller/dtls/dtls_hsm.h"
#include "controller/dtls/dtls_sock.h"

namespace dtls_fixture {

using bytes = std::vector<uint8_t>;

inline dtls_addr make_addr(uint16_t port, uint32_t host = INADDR_LOOPBACK)
{
    dtls_addr a{};
    a.in.sin_family = AF_INET;
    a.in.sin_port = htons(port);
    a.in.sin_addr.s_addr = htonl(host);
    return a;
}

inline bool same_addr(const sockaddr *a, const sockaddr *b)
{
    return sockaddr_compare(a, b) == 0;
}

struct datagram {
    dtls_addr from, to;
    bytes data;
    // Record content type and, for a plaintext handshake record, the message type.
    uint8_t content_type() const { return data.empty() ? 0 : data[0]; }
    uint16_t epoch() const { return data.size() < 5 ? 0 : uint16_t(data[3] << 8 | data[4]); }
    int hs_type() const
    {
        return data.size() > 13 && data[0] == DTLS_CT_HANDSHAKE && epoch() == 0 ? data[13] : -1;
    }
};

struct network;

struct endpoint {
    network *net = nullptr;
    dtls_addr addr{};
    dtls_ctx *ctx = nullptr;
    std::vector<dtls_sock *> connected, accepted;
    std::vector<std::pair<dtls_sock *, int>> closed, alerts;
    std::vector<std::string> received;
    std::vector<std::string> psk_asked;
    std::map<std::string, bytes> psks;
    bool echo = false;
    std::function<void(dtls_sock *)> on_connect;
    std::function<void(dtls_sock *, int)> on_close;
};

inline void endpoint_send(endpoint *e, dtls_sock *s, const std::string &text, int *rc = nullptr);

struct network {
    mempool *pool = nullptr;
    timetable *tt = nullptr;
    std::deque<datagram> wire;
    std::vector<datagram> log; // everything sent, in order
    std::vector<std::unique_ptr<endpoint>> endpoints;
    // Returns false to drop the datagram; may also change it.
    std::function<bool(datagram &)> filter;
    uint64_t now_ms = 1000000;

    network()
    {
        packet_pool_config c = {2048, 64, 32, 256, 256, 0};
        pool = packet_pool_create(&c);
        set_clock();
        tt = timetable_create(uint32_t(now_ms));
    }
    ~network()
    {
        for (auto &e : endpoints)
            dtls_ctx_destroy(e->ctx);
        // Destroying contexts arms reap timers; run them before the wheel goes.
        timetable_manage(tt);
        timetable_destroy(tt);
        mempool_unref(pool);
    }

    void set_clock()
    {
        clock_monotonic_sec = now_ms / 1000;
        clock_monotonic_usec = (now_ms % 1000) * 1000;
    }

    endpoint *add(uint16_t port, const dtls_params *params = nullptr, size_t mtu = 1500,
                  rsa_key *server_key = nullptr, bool psk_server = false)
    {
        auto e = std::make_unique<endpoint>();
        e->net = this;
        e->addr = make_addr(port);
        dtls_ops ops = {
            .accept_cb =
                [](void *u, dtls_sock *s) { static_cast<endpoint *>(u)->accepted.push_back(s); },
            .connect_cb = [](void *u, dtls_sock *s) {
                auto *ep = static_cast<endpoint *>(u);
                ep->connected.push_back(s);
                if (ep->on_connect)
                    ep->on_connect(s);
            },
            .recv_cb = [](void *u, dtls_sock *s, packet *p) {
                auto *ep = static_cast<endpoint *>(u);
                ep->received.emplace_back(reinterpret_cast<char *>(p->data), p->length);
                if (ep->echo)
                    endpoint_send(ep, s, ep->received.back());
            },
            .send_cb = [](void *u, packet *p, const sockaddr *peer) {
                auto *ep = static_cast<endpoint *>(u);
                datagram d;
                d.from = ep->addr;
                memcpy(&d.to, peer, peer->sa_family == AF_INET ? sizeof(sockaddr_in)
                                                               : sizeof(sockaddr_in6));
                d.data.assign(p->data, p->data + p->length);
                ep->net->wire.push_back(d);
                return 0;
            },
            .close_cb = [](void *u, dtls_sock *s, int alert) {
                auto *ep = static_cast<endpoint *>(u);
                ep->closed.emplace_back(s, alert);
                if (ep->on_close)
                    ep->on_close(s, alert);
            },
            .alert_cb = [](void *u, dtls_sock *s, int alert) {
                static_cast<endpoint *>(u)->alerts.emplace_back(s, alert);
            },
            .psk_cb = psk_server ? +[](void *u, const char *id, uint8_t *key, size_t size) -> int {
                auto *ep = static_cast<endpoint *>(u);
                ep->psk_asked.emplace_back(id);
                auto it = ep->psks.find(id);
                if (it == ep->psks.end() || it->second.size() > size)
                    return -1;
                memcpy(key, it->second.data(), it->second.size());
                return int(it->second.size());
            }
                       : nullptr,
            .timer_start_cb = [](void *u, timer *t, uint32_t ms, timer_fn cb) {
                timetable_schedule(static_cast<endpoint *>(u)->net->tt, t, ms, cb);
            },
            .timer_stop_cb =
                [](void *u, timer *t) {
                    timetable_cancel(static_cast<endpoint *>(u)->net->tt, t);
                },
        };
        e->ctx = dtls_ctx_create(&ops, e.get(), 0, mtu, params, pool);
        if (server_key)
            dtls_set_server_key(e->ctx, server_key);
        endpoints.push_back(std::move(e));
        return endpoints.back().get();
    }

    endpoint *find(const dtls_addr &a)
    {
        for (auto &e : endpoints)
            if (same_addr(&e->addr.sa, &a.sa))
                return e.get();
        return nullptr;
    }

    void deliver(const datagram &d)
    {
        endpoint *to = find(d.to);
        if (!to)
            return;
        packet *p = packet_alloc(pool, d.data.size());
        memcpy(p->data, d.data.data(), d.data.size());
        dtls_recv(to->ctx, p, &d.from.sa);
        packet_release(p);
    }

    // Delivers datagrams and runs due timers until nothing moves.
    void run(int limit = 100000)
    {
        while (limit-- > 0) {
            timetable_manage(tt);
            if (wire.empty())
                break;
            datagram d = wire.front();
            wire.pop_front();
            log.push_back(d);
            if (filter && !filter(d))
                continue;
            deliver(d);
        }
    }

    // Moves the clock on in steps of at most step ms, running everything due.
    void advance(uint64_t ms, uint64_t step = 100)
    {
        while (ms) {
            uint64_t n = ms < step ? ms : step;
            now_ms += n;
            ms -= n;
            set_clock();
            timetable_set_now(tt, uint32_t(now_ms));
            run();
        }
    }
};

inline void endpoint_send(endpoint *e, dtls_sock *s, const std::string &text, int *rc)
{
    packet *p = packet_alloc(e->net->pool, text.size());
    memcpy(p->data, text.data(), text.size());
    int r = dtls_send(s, p);
    if (rc)
        *rc = r;
    packet_release(p);
}

inline dtls_psk make_psk(const char *identity, const bytes &key)
{
    dtls_psk psk{};
    snprintf(psk.identity, sizeof psk.identity, "%s", identity);
    memcpy(psk.key, key.data(), key.size());
    psk.key_length = uint32_t(key.size());
    return psk;
}

inline const bytes &test_psk_key()
{
    static const bytes k = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    return k;
}

// An RSA key made by libcrypto, with its private parts, and its pin.
struct test_rsa {
    rsa_key *key = nullptr;
    dtls_rsa_pin pin{};
    explicit test_rsa(unsigned bits = 2048)
    {
        EVP_PKEY *pk = EVP_RSA_gen(bits);
        key = rsa_key_from_evp(pk);
        EVP_PKEY_free(pk);
        rsa_key_fingerprint(key, pin.fingerprint);
        pin.bits = 256;
    }
    ~test_rsa() { rsa_free(key); }
    test_rsa(const test_rsa &) = delete;
    test_rsa &operator=(const test_rsa &) = delete;
};

inline test_rsa &shared_rsa()
{
    static test_rsa k;
    return k;
}

// Plaintext epoch-0 records, as a peer without a context of ours sends them.
inline bytes hs_record(uint8_t type, uint16_t message_seq, const bytes &body, uint64_t record_seq,
                       const uint8_t version[2] = DTLS_VERSION_1_2)
{
    bytes r = {DTLS_CT_HANDSHAKE, version[0], version[1], 0, 0};
    for (int i = 5; i >= 0; i--)
        r.push_back(uint8_t(record_seq >> (8 * i)));
    size_t len = body.size() + 12;
    r.push_back(uint8_t(len >> 8));
    r.push_back(uint8_t(len));
    size_t n = body.size();
    bytes h = {type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n),
               uint8_t(message_seq >> 8), uint8_t(message_seq), 0, 0, 0,
               uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    r.insert(r.end(), h.begin(), h.end());
    r.insert(r.end(), body.begin(), body.end());
    return r;
}

inline bytes client_hello_body(const bytes &random, const bytes &cookie,
                               const std::vector<uint16_t> &suites, const bytes &extensions = {})
{
    bytes b = {0xfe, 0xfd};
    b.insert(b.end(), random.begin(), random.end());
    b.push_back(0);
    b.push_back(uint8_t(cookie.size()));
    b.insert(b.end(), cookie.begin(), cookie.end());
    b.push_back(uint8_t(suites.size() * 2 >> 8));
    b.push_back(uint8_t(suites.size() * 2));
    for (uint16_t s : suites) {
        b.push_back(uint8_t(s >> 8));
        b.push_back(uint8_t(s));
    }
    b.push_back(1);
    b.push_back(0);
    if (!extensions.empty()) {
        b.push_back(uint8_t(extensions.size() >> 8));
        b.push_back(uint8_t(extensions.size()));
        b.insert(b.end(), extensions.begin(), extensions.end());
    }
    return b;
}

// Handshake messages of a plaintext record (header and body each).
inline std::vector<bytes> hs_messages(const bytes &record)
{
    std::vector<bytes> out;
    size_t at = 13;
    while (at + 12 <= record.size()) {
        size_t n = size_t(record[at + 9]) << 16 | size_t(record[at + 10]) << 8 | record[at + 11];
        if (at + 12 + n > record.size())
            break;
        out.emplace_back(record.begin() + long(at), record.begin() + long(at + 12 + n));
        at += 12 + n;
    }
    return out;
}

} // namespace dtls_fixture
