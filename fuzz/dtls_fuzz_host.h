// A host for DTLS fuzz targets: datagrams the engine sends are kept, 0 ms
// timers run on demand, longer ones only count as armed.
#pragma once

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/packet.h"
#include "controller/dtls/dtls.h"

namespace dtls_fuzz {

struct host {
    mempool *pool = nullptr;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<std::pair<timer *, timer_fn>> due;
    dtls_ctx *ctx = nullptr;
    sockaddr_in peer{};

    explicit host(bool server)
    {
        static bool once = (dtls_init(), true);
        (void)once;
        packet_pool_config pc = {2048, 64, 32, 64, 64, 0};
        pool = packet_pool_create(&pc);
        peer.sin_family = AF_INET;
        peer.sin_port = htons(5684);
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dtls_ops ops = {
            .accept_cb = nullptr,
            .connect_cb = [](void *, dtls_sock *) {},
            .recv_cb = [](void *, dtls_sock *, packet *) {},
            .send_cb = [](void *u, packet *p, const sockaddr *) {
                static_cast<host *>(u)->sent.emplace_back(p->data, p->data + p->length);
                return 0;
            },
            .close_cb = [](void *, dtls_sock *, int) {},
            .alert_cb = nullptr,
            .psk_cb = server ? +[](void *, const char *id, uint8_t *key, size_t) -> int {
                if (strcmp(id, "gw1") != 0)
                    return -1;
                memset(key, 0x5a, 16);
                return 16;
            }
                   : nullptr,
            .timer_start_cb = [](void *u, timer *t, uint32_t ms, timer_fn cb) {
                t->flags |= TIMER_PENDING;
                if (ms == 0)
                    static_cast<host *>(u)->due.emplace_back(t, cb);
            },
            .timer_stop_cb = [](void *u, timer *t) {
                t->flags &= uint8_t(~TIMER_PENDING);
                for (auto &d : static_cast<host *>(u)->due)
                    if (d.first == t)
                        d.first = nullptr;
            },
        };
        ctx = dtls_ctx_create(&ops, this, 0, 1500, nullptr, pool);
    }
    ~host()
    {
        dtls_ctx_destroy(ctx);
        run();
        mempool_unref(pool);
    }
    void run()
    {
        while (!due.empty()) {
            auto d = due.front();
            due.erase(due.begin());
            if (d.first) {
                d.first->flags &= uint8_t(~TIMER_PENDING);
                d.second(d.first);
            }
        }
    }
    void deliver(const uint8_t *data, size_t size)
    {
        if (size > 1400)
            size = 1400;
        packet *p = packet_from_bytes(pool, data, size);
        if (!p)
            return;
        dtls_recv(ctx, p, reinterpret_cast<sockaddr *>(&peer));
        packet_release(p);
        run();
    }
};

// An epoch-0 handshake record holding one whole message.
inline std::vector<uint8_t> hs_record(uint8_t type, uint16_t seq, const uint8_t *body, size_t n)
{
    std::vector<uint8_t> r = {22, 0xfe, 0xfd, 0, 0, 0, 0, 0, 0, uint8_t(seq >> 8), uint8_t(seq),
                              uint8_t((n + 12) >> 8), uint8_t(n + 12),
                              type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n),
                              uint8_t(seq >> 8), uint8_t(seq), 0, 0, 0,
                              uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    r.insert(r.end(), body, body + n);
    return r;
}

} // namespace dtls_fuzz
