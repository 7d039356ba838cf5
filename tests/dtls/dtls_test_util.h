// Helpers shared by the DTLS tests: a packet pool, suite parameters and
// contexts of both ends of an epoch.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>

#include "common/mempool.h"
#include "common/packet.h"
#include "controller/dtls/dtls_aes_ccm.h"
#include "controller/dtls/dtls_rec.h"
#include "crypto/util.h"

inline constexpr dtls_security_parameters kNullParams = {};
inline constexpr dtls_security_parameters kCcmParams = {0, 1, 3, 2, 16, 16, 4, 8, 0, 16, 0, 0};
inline constexpr dtls_security_parameters kCcm8Params = {0, 1, 3, 2, 16, 16, 4, 8, 0, 8, 0, 0};

struct pool_deleter {
    void operator()(mempool *p) const { mempool_unref(p); }
};
using pool_ptr = std::unique_ptr<mempool, pool_deleter>;

inline pool_ptr make_pool(uint32_t buffer_size = 2048, uint32_t packets = 256)
{
    packet_pool_config c = {buffer_size, 32, 16, packets, packets, 0};
    return pool_ptr(packet_pool_create(&c));
}

inline packet *make_packet(mempool *pool, const bytes &b)
{
    packet *p = packet_alloc(pool, b.size());
    if (p && !b.empty())
        memcpy(p->data, b.data(), b.size());
    return p;
}

inline bytes packet_bytes(const packet *p)
{
    return bytes(p->data, p->data + p->length);
}

inline const sockaddr *test_peer()
{
    static sockaddr_in sin = [] {
        sockaddr_in s = {};
        s.sin_family = AF_INET;
        s.sin_port = htons(5684);
        s.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return s;
    }();
    return reinterpret_cast<const sockaddr *>(&sin);
}

// A context of one end for an epoch; with a key block, both directions'
// cipher states are set up.
inline void make_context(dtls_security_context *c, uint8_t entity, uint16_t epoch,
                         const dtls_security_parameters *params,
                         const dtls_key_block *keys = nullptr)
{
    *c = {};
    c->params = params;
    c->entity = entity;
    c->epoch = epoch;
    c->mtu = 1472;
    if (params->cipher_type == 2) {
        c->cipher = &dtls_aes_ccm_ops;
        c->keys = *keys;
        c->version[0] = DTLS_VERSION_1_2[0];
        c->version[1] = DTLS_VERSION_1_2[1];
        dtls_rec_init_cipher(c, DTLS_CLIENT);
        dtls_rec_init_cipher(c, DTLS_SERVER);
    }
}

inline dtls_key_block test_keys(const dtls_security_parameters *params, uint8_t seed = 7)
{
    dtls_key_block kb;
    uint8_t master[48], cr[32], sr[32];
    for (int i = 0; i < 48; i++)
        master[i] = uint8_t(seed + i);
    for (int i = 0; i < 32; i++) {
        cr[i] = uint8_t(seed * 3 + i);
        sr[i] = uint8_t(seed * 5 + i);
    }
    dtls_derive_keys(&kb, params, master, cr, sr);
    return kb;
}
