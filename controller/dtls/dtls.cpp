#include "controller/dtls/dtls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/crypto/aes.h"
#include "common/crypto/rsa.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/system.h"
#include "controller/dtls/dtls_hsm.h"
#include "controller/dtls/dtls_sock.h"

namespace {

constexpr uint8_t DTLS_VERSION_NONE[2] = {0, 0};

size_t addr_len(const sockaddr *sa)
{
    return sa->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

bool family_ok(const sockaddr *sa)
{
    return sa && (sa->sa_family == AF_INET || sa->sa_family == AF_INET6);
}

// The key form of an address: unused bytes zero, so tables can compare it.
void addr_copy(dtls_addr *out, const sockaddr *sa)
{
    *out = {};
    memcpy(out, sa, addr_len(sa));
}

uint32_t addr_hash(const void *key, size_t, uint32_t seed)
{
    const auto *a = static_cast<const dtls_addr *>(key);
    uint8_t buf[18];
    size_t n;
    if (a->sa.sa_family == AF_INET) {
        memcpy(buf, &a->in.sin_addr, 4);
        memcpy(buf + 4, &a->in.sin_port, 2);
        n = 6;
    } else {
        memcpy(buf, &a->in6.sin6_addr, 16);
        memcpy(buf + 16, &a->in6.sin6_port, 2);
        n = 18;
    }
    return hash_murmur3(buf, n, seed);
}

int addr_compare(const void *entry_key, const void *key, size_t)
{
    const auto *a = static_cast<const dtls_addr *>(entry_key);
    const auto *b = static_cast<const dtls_addr *>(key);
    if (a->sa.sa_family != b->sa.sa_family)
        return 1;
    if (a->sa.sa_family == AF_INET)
        return a->in.sin_port != b->in.sin_port ||
               memcmp(&a->in.sin_addr, &b->in.sin_addr, sizeof a->in.sin_addr) != 0;
    return a->in6.sin6_port != b->in6.sin6_port ||
           memcmp(&a->in6.sin6_addr, &b->in6.sin6_addr, sizeof a->in6.sin6_addr) != 0;
}

void table_release(void *, void *entry)
{
    auto *sock = static_cast<dtls_sock *>(entry);
    if (!(sock->flags & DTLS_SOCK_CLOSING))
        dtls_sock_teardown(sock);
}

hashtable *table_create(dtls_ctx *ctx)
{
    hashtable_config config = *hashtable_default_config(false);
    config.min_log2 = 4;
    config.key_len = 0;
    config.extra = ctx;
    config.hashfun = addr_hash;
    config.compare = addr_compare;
    config.extract = nullptr;
    config.clear = table_release;
    return hashtable_create(&dtls_sock::peer, &dtls_sock::link, &config);
}

} // namespace

dtls_sock *dtls_sock_lookup(hashtable *table, const sockaddr *peer)
{
    dtls_addr key;
    addr_copy(&key, peer);
    hashlink *l = hashtable_lookup(table, &key);
    return l ? hashtable_entry(l, &dtls_sock::link) : nullptr;
}

namespace {

void table_remove(dtls_ctx *ctx, dtls_sock *sock, hashtable *table)
{
    if (hashtable_remove(table, &sock->link) && table == ctx->handshaking &&
        sock->entity == DTLS_SERVER) {
        ctx->server_handshaking--;
        list_remove(&sock->by_age);
    }
}

size_t round4(size_t n)
{
    return (n + 3) & ~size_t{3};
}

uint8_t *sock_extra(dtls_sock *sock)
{
    return reinterpret_cast<uint8_t *>(sock) + round4(sizeof(dtls_sock)) + sock->ctx->user_size;
}

void reap(dtls_ctx *ctx)
{
    while (list_link *l = list_pop_head(&ctx->dead)) {
        dtls_sock *sock = container_of(l, &dtls_sock::dead);
        UGW_ASSERT(!sock->handshake);
        secure_wipe(sock, round4(sizeof(dtls_sock)) + ctx->user_size +
                              (sock->rsa ? sizeof(dtls_rsa_pin) : 0) +
                              (sock->psk ? sizeof(dtls_psk) : 0));
        free(sock);
    }
}

void reap_timer_cb(timer *t)
{
    reap(container_of(t, &dtls_ctx::reap_timer));
}

// Records of one datagram, each checked and decrypted with the read side in
// use when it is reached: a ChangeCipherSpec switches it for the records after.
void sock_recv(dtls_sock *sock, packet *msg)
{
    const sockaddr *peer = &sock->peer.sa;
    packet_queue records;
    packet_queue_init(&records);
    dtls_gen_deagg(peer, msg, &records, dtls_rec_part_length, DTLS_RECORD_SIZE, "record");
    while (packet *rec = packet_queue_pop(&records)) {
        if (sock->flags & DTLS_SOCK_CLOSING) {
            packet_release(rec);
            continue;
        }
        unsigned length = rec->length;
        // A record that fails its checks is dropped silently, also during a
        // handshake: one forged datagram must not end it.
        int rc = dtls_rec_recv(dtls_sock_read_side(sock), peer, rec);
        if (rc != 0) {
            if (rc == -2 && (sock->flags & DTLS_SOCK_RECV_SPEC) &&
                !(sock->flags & DTLS_SOCK_CONNECTED))
                dtls_hsm_bad_record(sock->handshake);
            packet_release(rec);
            continue;
        }
        switch (uint8_t type = dtls_meta_get(rec, DTLS_META_CONTENT_TYPE)) {
        case DTLS_CT_CHANGE_CIPHER_SPEC:
            dtls_hsm_recv_ccs(sock, rec);
            break;
        case DTLS_CT_ALERT:
            dtls_alert_recv(sock, rec);
            break;
        case DTLS_CT_HANDSHAKE:
            dtls_hsm_recv(sock, rec);
            break;
        case DTLS_CT_APPLICATION_DATA:
            if ((sock->flags & DTLS_SOCK_CONNECTED) && (sock->flags & DTLS_SOCK_KNOWN_TO_HOST))
                sock->ctx->ops.recv_cb(sock->ctx->user, sock, rec);
            else if (!(sock->flags & DTLS_SOCK_CONNECTED))
                dtls_log(ULOG_DEBUG, peer,
                         "%sDropping DTLS data record %u bytes from unconnected peer", rec->length);
            break;
        default:
            dtls_log(ULOG_DEBUG, peer, "%sBad content type %u size %u bytes", type, length);
            break;
        }
        packet_release(rec);
    }
}

// A ClientHello with another random than the one a handshaking server
// socket answered starts a new handshake: a client that left after the
// cookie exchange must not hold its address and port until it times out.
bool is_new_client_hello(const dtls_sock *sock, const packet *msg)
{
    constexpr size_t random_at = DTLS_RECORD_SIZE + DTLS_HS_HEADER_SIZE + 2;
    const uint8_t *d = msg->data;
    const uint8_t *hs = d + DTLS_RECORD_SIZE;
    if (sock->entity != DTLS_SERVER || msg->length < random_at + DTLS_RANDOM_SIZE ||
        hs[0] != DTLS_HT_CLIENT_HELLO || dtls_get_u24(hs + 6) != 0)
        return false;
    const dtls_hsm *hsm = sock->handshake;
    return !hsm || memcmp(hsm->client_random, d + random_at, DTLS_RANDOM_SIZE) != 0;
}

} // namespace

void dtls_init()
{
    for (size_t i = 0; i < DTLS_SUITE_COUNT; i++) {
        const dtls_security_parameters &p = dtls_cipher_suites[i].params;
        UGW_ASSERT(size_t{p.mac_key_length} + p.enc_key_length + p.fixed_iv_length <= DTLS_KEY_SIZE);
        UGW_ASSERT(p.record_iv_length + DTLS_RECORD_SIZE <= dtls_headroom);
        UGW_ASSERT(p.mac_length <= dtls_tailroom);
    }
    aes_init();
}

dtls_ctx *dtls_ctx_create(const dtls_ops *ops, void *user, size_t user_size, size_t mtu,
                          const dtls_params *params, mempool *pool)
{
    // A context that fails half-way is undone by dtls_ctx_destroy, which
    // takes one in any state this function leaves.
    std::unique_ptr<dtls_ctx, void (*)(dtls_ctx *)> ctx(
        static_cast<dtls_ctx *>(calloc(1, sizeof(dtls_ctx))), dtls_ctx_destroy);
    if (!ctx) {
        dtls_log(ULOG_ERROR, nullptr, "%sMemory allocation failed");
        return nullptr;
    }
    ctx->params = params ? *params : dtls_default_params;
    ctx->ops = *ops;
    list_init(&ctx->dead);
    list_init(&ctx->handshaking_servers);
    ctx->pool = pool;
    ctx->user = user;
    ctx->user_size = round4(user_size);
    if (system_random(ctx->cookie_secret, sizeof ctx->cookie_secret) < 0) {
        dtls_log(ULOG_ERROR, nullptr, "%sFailed to initialize keying material");
        return nullptr;
    }
    hmac_sha1_init(&ctx->cookie_mac, ctx->cookie_secret, sizeof ctx->cookie_secret);
    if (dtls_set_mtu(ctx.get(), mtu) < 0)
        return nullptr;
    ctx->handshaking = table_create(ctx.get());
    ctx->established = ctx->handshaking ? table_create(ctx.get()) : nullptr;
    if (!ctx->established) {
        dtls_log(ULOG_ERROR, nullptr, "%sFailed to create DTLS socket table");
        return nullptr;
    }
    dtls_log(ULOG_DUMP, nullptr, "%sDTLS socket footprint is %zu bytes", sizeof(dtls_sock));
    return ctx.release();
}

void dtls_ctx_destroy(dtls_ctx *ctx)
{
    if (!ctx)
        return;
    hashtable_destroy(ctx->handshaking);
    ctx->handshaking = nullptr;
    hashtable_destroy(ctx->established);
    ctx->established = nullptr;
    if (timer_ispending(&ctx->reap_timer))
        ctx->ops.timer_stop_cb(ctx->user, &ctx->reap_timer);
    reap(ctx);
    dtls_set_server_key(ctx, nullptr);
    secure_wipe(ctx->cookie_secret, sizeof ctx->cookie_secret);
    secure_wipe(&ctx->cookie_mac, sizeof ctx->cookie_mac);
    free(ctx);
}

int dtls_set_mtu(dtls_ctx *ctx, size_t mtu)
{
    if (mtu < 128) {
        dtls_log(ULOG_ERROR, nullptr, "%sMTU %zu bytes too low for DTLS handshake", mtu);
        errno = EINVAL;
        return -1;
    }
    dtls_log(ULOG_DEBUG, nullptr, "%sDTLS MTU set to %zu bytes", mtu);
    ctx->mtu = mtu;
    return 0;
}

int dtls_set_server_key(dtls_ctx *ctx, rsa_key *key)
{
    if (key && (!key->d || !key->n || !key->e)) {
        errno = EINVAL;
        return -1;
    }
    uint8_t *scratch = nullptr;
    if (key && !(scratch = static_cast<uint8_t *>(malloc(rsa_size(key))))) {
        dtls_log(ULOG_ERROR, nullptr, "%sMemory allocation failed");
        errno = ENOMEM;
        return -1;
    }
    if (ctx->scratch) {
        secure_wipe(ctx->scratch, rsa_size(ctx->server_key));
        free(ctx->scratch);
    }
    rsa_free(ctx->server_key);
    ctx->server_key = rsa_ref(key);
    ctx->scratch = scratch;
    return 0;
}

dtls_sock *dtls_sock_create(dtls_ctx *ctx, const sockaddr *peer, uint8_t entity,
                            const dtls_rsa_pin *rsa, const dtls_psk *psk)
{
    size_t size = round4(sizeof(dtls_sock)) + ctx->user_size + (rsa ? sizeof(dtls_rsa_pin) : 0) +
                  (psk ? sizeof(dtls_psk) : 0);
    auto *sock = static_cast<dtls_sock *>(calloc(1, size));
    if (!sock) {
        dtls_log(ULOG_ERROR, peer, "%sMemory allocation failed");
        return nullptr;
    }
    sock->ctx = ctx;
    addr_copy(&sock->peer, peer);
    hashlink_init(&sock->link);
    list_init(&sock->dead);
    list_init(&sock->by_age);
    sock->entity = entity;
    uint8_t *extra = sock_extra(sock);
    if (rsa) {
        sock->flags |= DTLS_SOCK_HAS_RSA;
        sock->rsa = reinterpret_cast<dtls_rsa_pin *>(extra);
        *sock->rsa = *rsa;
        extra += sizeof(dtls_rsa_pin);
    }
    if (psk) {
        sock->flags |= DTLS_SOCK_HAS_PSK;
        sock->psk = reinterpret_cast<dtls_psk *>(extra);
        *sock->psk = *psk;
        sock->psk->identity[sizeof sock->psk->identity - 1] = 0;
        if (sock->psk->key_length > DTLS_PSK_MAX)
            sock->psk->key_length = DTLS_PSK_MAX;
    }
    dtls_security_context &c = sock->context;
    c.params = &dtls_cipher_suites[0].params;
    c.entity = entity;
    c.mtu = dtls_payload_mtu(ctx->mtu, peer);
    memcpy(c.version, DTLS_VERSION_NONE, 2);
    hashtable_insert(ctx->handshaking, &sock->link);
    if (entity == DTLS_SERVER) {
        ctx->server_handshaking++;
        list_append(&ctx->handshaking_servers, &sock->by_age);
    }
    return sock;
}

void dtls_sock_teardown(dtls_sock *sock)
{
    dtls_ctx *ctx = sock->ctx;
    if (sock->flags & DTLS_SOCK_CLOSING)
        return;
    sock->flags |= DTLS_SOCK_CLOSING;
    if (sock->flags & DTLS_SOCK_CONNECTED)
        dtls_alert_send(sock, DTLS_ALERT_CLOSE_NOTIFY, DTLS_ALERT_WARNING);
    if (sock->flags & DTLS_SOCK_KNOWN_TO_HOST) {
        sock->flags &= static_cast<uint8_t>(~DTLS_SOCK_KNOWN_TO_HOST);
        ctx->ops.close_cb(ctx->user, sock,
                          (sock->flags & DTLS_SOCK_CONNECTED) ? 0 : DTLS_ALERT_HANDSHAKE_FAILURE);
    }
    if (dtls_hsm *hsm = sock->handshake) {
        // The handshake context goes when its last user lets go; hold it
        // here so that stopping the timer cannot free it under us.
        hsm->refcount++;
        dtls_hsm_timer_stop(hsm);
        packet_queue_purge(&hsm->send_queue);
        dtls_hsm_release(hsm);
    }
    dtls_rec_free_ciphers(&sock->context);
    table_remove(ctx, sock, (sock->flags & DTLS_SOCK_CONNECTED) ? ctx->established
                                                               : ctx->handshaking);
    list_append(&ctx->dead, &sock->dead);
    if (!timer_ispending(&ctx->reap_timer))
        ctx->ops.timer_start_cb(ctx->user, &ctx->reap_timer, 0, reap_timer_cb);
}

dtls_security_context *dtls_sock_write_side(dtls_sock *sock)
{
    return (sock->flags & DTLS_SOCK_SEND_SPEC) ? &sock->handshake->pending : &sock->context;
}

dtls_security_context *dtls_sock_read_side(dtls_sock *sock)
{
    return (sock->flags & DTLS_SOCK_RECV_SPEC) ? &sock->handshake->pending : &sock->context;
}

uint16_t dtls_sock_mtu(const dtls_sock *sock)
{
    return sock->context.mtu;
}

dtls_sock *dtls_connect(dtls_ctx *ctx, const sockaddr *peer, const dtls_rsa_pin *rsa_pin,
                        const dtls_psk *psk)
{
    if (!family_ok(peer)) {
        dtls_log(ULOG_ERROR, nullptr, "%sInvalid socket address family %u",
                 peer ? unsigned(peer->sa_family) : 0u);
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    if (rsa_pin && rsa_pin->bits < 64) {
        dtls_log(ULOG_ERROR, peer, "%sToo short RSA key fingerprint %zu bits",
                 size_t{rsa_pin->bits});
        errno = EINVAL;
        return nullptr;
    }
    dtls_rsa_pin anonymous{};
    if (!rsa_pin && !psk)
        rsa_pin = &anonymous;
    if (dtls_sock_lookup(ctx->handshaking, peer) || dtls_sock_lookup(ctx->established, peer)) {
        char text[SOCKADDR_FMT_SIZE];
        dtls_log(ULOG_ERROR, peer, "%sDTLS socket %s is already in use",
                 sockaddr_format(peer, text, sizeof text, 0));
        errno = EADDRINUSE;
        return nullptr;
    }
    dtls_sock *sock = dtls_sock_create(ctx, peer, DTLS_CLIENT, rsa_pin, psk);
    if (!sock) {
        errno = ENOMEM;
        return nullptr;
    }
    dtls_hsm *hsm = dtls_hsm_acquire(sock);
    if (!hsm) {
        dtls_sock_teardown(sock);
        errno = ENOMEM;
        return nullptr;
    }
    sock->flags |= DTLS_SOCK_KNOWN_TO_HOST;
    dtls_hsm_timer_start(hsm, 0);
    dtls_hsm_release(hsm);
    bool any = rsa_pin && rsa_pin->bits == 0;
    dtls_log(ULOG_DEBUG, peer, "%sConnecting to DTLS server using %s%s%s",
             rsa_pin ? (any ? "anonymous RSA" : "RSA fingerprint") : "", rsa_pin && psk ? ", " : "",
             psk ? "PSK" : "");
    return sock;
}

void dtls_close(dtls_sock *sock)
{
    if (!sock || !(sock->flags & DTLS_SOCK_KNOWN_TO_HOST))
        return;
    sock->flags &= static_cast<uint8_t>(~DTLS_SOCK_KNOWN_TO_HOST);
    if (!(sock->flags & DTLS_SOCK_CLOSING))
        dtls_sock_teardown(sock);
}

void dtls_recv(dtls_ctx *ctx, packet *msg, const sockaddr *peer)
{
    if (!family_ok(peer)) {
        dtls_log(ULOG_DEBUG, nullptr, "%sInvalid socket address family %u",
                 peer ? unsigned(peer->sa_family) : 0u);
        return;
    }
    if (msg->length < DTLS_RECORD_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding short DTLS record %u bytes",
                 unsigned{msg->length});
        return;
    }
    if (packet_isfragmented(msg)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned{msg->length});
        return;
    }
    const uint8_t *d = msg->data;
    bool hello = d[0] == DTLS_CT_HANDSHAKE && d[3] == 0 && d[4] == 0;
    dtls_sock *sock = dtls_sock_lookup(ctx->handshaking, peer);
    if (sock && hello && (dtls_sock_read_side(sock)->epoch != 0 || is_new_client_hello(sock, msg)))
        sock = nullptr;
    if (!sock && hello) {
        if (!ctx->server_key && !ctx->ops.psk_cb) {
            dtls_log(ULOG_DEBUG, peer,
                     "%sDropping unsolicited DTLS handshake message - no credentials set");
        } else if (packet *copy = packet_copy_single(msg)) {
            sock = dtls_recv_anon(ctx, copy, peer);
            packet_release(copy);
        } else {
            dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        }
    }
    if (sock) {
        if (packet *copy = packet_copy_single(msg)) {
            sock_recv(sock, copy);
            packet_release(copy);
        } else {
            dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        }
        if (sock->flags & DTLS_SOCK_CONNECTED)
            return;
    }
    if (dtls_sock *est = dtls_sock_lookup(ctx->established, peer)) {
        if (packet_ref(msg) == 0) {
            sock_recv(est, msg);
            packet_release(msg);
        }
    }
}

int dtls_send(dtls_sock *sock, packet *msg)
{
    if (!sock || !(sock->flags & DTLS_SOCK_KNOWN_TO_HOST) || (sock->flags & DTLS_SOCK_CLOSING)) {
        errno = ENOTCONN;
        return -1;
    }
    const sockaddr *peer = &sock->peer.sa;
    if (packet_isfragmented(msg)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned{msg->length});
        errno = EINVAL;
        return -1;
    }
    if (sock->flags & DTLS_SOCK_CONNECTED) {
        int length = msg->length;
        if (dtls_rec_send(dtls_sock_write_side(sock), peer, msg, DTLS_CT_APPLICATION_DATA) < 0) {
            errno = EMSGSIZE;
            return -1;
        }
        sock->ctx->ops.send_cb(sock->ctx->user, msg, peer);
        return length;
    }
    dtls_hsm *hsm = dtls_hsm_acquire(sock);
    if (!hsm) {
        errno = ENOMEM;
        return -1;
    }
    int rc = 0;
    if (!list_isempty(&msg->queue)) {
        errno = EBUSY; // already queued once
        rc = -1;
    } else if (packet_ref(msg) < 0) {
        rc = -1;
    } else {
        dtls_log(ULOG_DETAIL, peer, "%sEnqueueing data packet %u bytes during DTLS handshake",
                 unsigned{msg->length});
        packet_queue_append(&hsm->send_queue, msg);
    }
    dtls_hsm_release(hsm);
    return rc;
}

void dtls_sock_connected(dtls_sock *sock)
{
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = &sock->peer.sa;
    if (dtls_sock *stale = dtls_sock_lookup(ctx->established, peer)) {
        dtls_log(ULOG_DETAIL, peer, "%sClosing stale established DTLS socket");
        if (!(stale->flags & DTLS_SOCK_CLOSING))
            dtls_sock_teardown(stale);
        // Whatever the teardown left in the table must not be replaced silently.
        if (hashlink_used(&stale->link))
            table_remove(ctx, stale, ctx->established);
    }
    table_remove(ctx, sock, ctx->handshaking);
    hashtable_insert(ctx->established, &sock->link);
    sock->flags |= DTLS_SOCK_CONNECTED;
    dtls_hsm *hsm = sock->handshake;
    bool known = sock->flags & DTLS_SOCK_KNOWN_TO_HOST;
    if (known) {
        while (packet *p = packet_queue_pop(&hsm->send_queue)) {
            dtls_log(ULOG_TRACE, peer, "%sFlushing queued data packet %u bytes",
                     unsigned{p->length});
            if (dtls_rec_send(dtls_sock_write_side(sock), peer, p, DTLS_CT_APPLICATION_DATA) == 0)
                ctx->ops.send_cb(ctx->user, p, peer);
            packet_release(p);
        }
    } else {
        packet_queue_purge(&hsm->send_queue);
        sock->flags |= DTLS_SOCK_KNOWN_TO_HOST;
    }
    dtls_log(ULOG_DEBUG, peer, "%sConnected to %s using cipher suite %s",
             sock->entity == DTLS_SERVER ? "client" : "server", hsm->suite->name);
    // The callbacks may close the socket; the caller holds the handshake.
    if (known)
        ctx->ops.connect_cb(ctx->user, sock);
    else if (ctx->ops.accept_cb)
        ctx->ops.accept_cb(ctx->user, sock);
}

bool dtls_sock_is_connected(const dtls_sock *sock)
{
    return sock && (sock->flags & DTLS_SOCK_CONNECTED) && (sock->flags & DTLS_SOCK_KNOWN_TO_HOST);
}

const dtls_rsa_pin *dtls_sock_peer_key(const dtls_sock *sock)
{
    return (sock->flags & DTLS_SOCK_HAS_RSA) ? sock->rsa : nullptr;
}

const sockaddr *dtls_sock_peer(const dtls_sock *sock)
{
    return &sock->peer.sa;
}

void *dtls_sock_user(dtls_sock *sock)
{
    return reinterpret_cast<uint8_t *>(sock) + round4(sizeof(dtls_sock));
}

const char *dtls_sock_cipher(const dtls_sock *sock)
{
    if (sock->handshake && sock->handshake->suite)
        return sock->handshake->suite->name;
    for (const dtls_cipher_suite &s : dtls_cipher_suites)
        if (sock->context.params == &s.params)
            return s.id ? s.name : nullptr;
    return nullptr;
}
