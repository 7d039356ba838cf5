#include "controller/dtls/dtls_hsm.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/crypto/hmac.h"
#include "common/crypto/rsa.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/system.h"
#include "controller/dtls/dtls_aes_ccm.h"
#include "controller/dtls/dtls_sock.h"

namespace {

constexpr dtls_security_parameters ccm_params(uint8_t mac_length)
{
    return {0, 0, 3, 2, 16, 16, 4, 8, 0, mac_length, 0, 0};
}

constexpr uint16_t EXT_CLIENT_CERT_TYPE = 19; // carries the server's type in our own form
constexpr uint16_t EXT_SERVER_CERT_TYPE = 20; // RFC 7250
constexpr uint16_t EXT_RENEGOTIATION_INFO = 0xff01;
constexpr uint16_t SCSV_RENEGOTIATION = 0x00ff;
constexpr uint8_t CERT_TYPE_RAW_PUBLIC_KEY = 2;

// Presented server keys are refused outside these bounds.
constexpr uint32_t SERVER_KEY_MIN_BITS = 2048;
constexpr uint32_t SERVER_KEY_MAX_E_BITS = 32;

} // namespace

const dtls_cipher_suite dtls_cipher_suites[DTLS_SUITE_COUNT] = {
    {0x0000, "TLS_NULL_WITH_NULL_NULL", DTLS_KX_NONE, {}, nullptr, nullptr},
    {0xC09C, "TLS_RSA_WITH_AES_128_CCM", DTLS_KX_RSA, ccm_params(16), &dtls_aes_ccm_ops, nullptr},
    {0xC0A0, "TLS_RSA_WITH_AES_128_CCM_8", DTLS_KX_RSA, ccm_params(8), &dtls_aes_ccm_ops, nullptr},
    {0xC0A4, "TLS_PSK_WITH_AES_128_CCM", DTLS_KX_PSK, ccm_params(16), &dtls_aes_ccm_ops, nullptr},
    {0xC0A8, "TLS_PSK_WITH_AES_128_CCM_8", DTLS_KX_PSK, ccm_params(8), &dtls_aes_ccm_ops, nullptr},
};

const char *dtls_alert_name(unsigned code)
{
    switch (code) {
    case 0: return "Close Notify";
    case 10: return "Unexpected Message";
    case 20: return "Bad Record MAC";
    case 22: return "Record Overflow";
    case 30: return "Decompression Failure";
    case 40: return "Handshake Failure";
    case 42: return "Bad Certificate";
    case 43: return "Unsupported Certificate";
    case 44: return "Certificate Revoked";
    case 45: return "Certificate Expired";
    case 46: return "Certificate Unknown";
    case 47: return "Illegal Parameter";
    case 48: return "Unknown CA";
    case 49: return "Access Denied";
    case 50: return "Decode Error";
    case 51: return "Decrypt Error";
    case 70: return "Protocol Version";
    case 71: return "Insufficient Security";
    case 80: return "Internal Error";
    case 90: return "User Cancelled";
    case 100: return "No Renegotiation";
    case 110: return "Unsupported Extension";
    default: return "";
    }
}

namespace {

constexpr char state_names[DTLS_HS_STATE_COUNT][32] = {
    "",
    "MAKE_HELLO_REQUEST",
    "MAKE_CLIENT_HELLO",
    "WAIT_CLIENT_HELLO",
    "MAKE_SERVER_HELLO",
    "WAIT_SERVER_HELLO",
    "WAIT_CLIENT_KEY_EXCHANGE",
    "CLIENT_KEY_EXCHANGE",
    "WAIT_CHANGE_CIPHER_SPEC",
    "CHANGE_CIPHER_SPEC",
    "MAKE_CLIENT_FINISHED",
    "WAIT_CLIENT_FINISHED",
    "MAKE_SERVER_FINISHED",
    "WAIT_SERVER_FINISHED",
    "CONNECTED",
    "DONE",
    "TIMEOUT",
    "DISCONNECT",
};

const char *hs_type_name(unsigned type, char buf[8])
{
    switch (type) {
    case DTLS_HT_HELLO_REQUEST: return "HelloRequest";
    case DTLS_HT_CLIENT_HELLO: return "ClientHello";
    case DTLS_HT_SERVER_HELLO: return "ServerHello";
    case DTLS_HT_HELLO_VERIFY_REQUEST: return "HelloVerifyRequest";
    case DTLS_HT_CERTIFICATE: return "Certificate";
    case DTLS_HT_SERVER_KEY_EXCHANGE: return "ServerKeyExchange";
    case DTLS_HT_CERTIFICATE_REQUEST: return "CertificateRequest";
    case DTLS_HT_SERVER_HELLO_DONE: return "ServerHelloDone";
    case DTLS_HT_CERTIFICATE_VERIFY: return "CertificateVerify";
    case DTLS_HT_CLIENT_KEY_EXCHANGE: return "ClientKeyExchange";
    case DTLS_HT_FINISHED: return "Finished";
    default: snprintf(buf, 8, "%u", type & 0xffu); return buf;
    }
}

const sockaddr *peer_of(const dtls_hsm *hsm)
{
    return &hsm->sock->peer.sa;
}

dtls_ctx *ctx_of(const dtls_hsm *hsm)
{
    return hsm->sock->ctx;
}

bool is_server(const dtls_hsm *hsm)
{
    return hsm->sock->entity == DTLS_SERVER;
}

packet *first_of(packet_queue *q)
{
    list_link *l = list_first(&q->list);
    return l ? container_of(l, &packet::queue) : nullptr;
}

packet *next_of(packet_queue *q, packet *p)
{
    list_link *l = p->queue._next;
    return l == &q->list ? nullptr : container_of(l, &packet::queue);
}

uint8_t msg_type(const packet *p)
{
    return dtls_meta_get(p, DTLS_META_MSG_TYPE);
}

void alert_send(dtls_sock *sock, dtls_security_context *side, uint8_t description, uint8_t level);

// A fatal alert and a failed handler: the next pass enters DISCONNECT.
int fail(dtls_hsm *hsm, uint8_t alert)
{
    dtls_alert_send(hsm->sock, alert, DTLS_ALERT_FATAL);
    return -1;
}

// The first message received for this state, which must be of the type;
// null after an Unexpected Message alert.
packet *first_message(dtls_hsm *hsm, uint8_t type)
{
    packet *first = first_of(&hsm->recv_flight);
    if (!first || msg_type(first) != type) {
        fail(hsm, DTLS_ALERT_UNEXPECTED_MESSAGE);
        return nullptr;
    }
    return first;
}

void flight_reset(dtls_hsm *hsm)
{
    packet_queue_purge(&hsm->flight);
    hsm->count = 0;
}

int queue_message(dtls_hsm *hsm, packet *msg, uint8_t type)
{
    bool pending = hsm->sock->flags & DTLS_SOCK_SEND_SPEC;
    int rc = dtls_hs_send(&hsm->hs, peer_of(hsm), msg, type, pending, &hsm->flight);
    packet_release(msg);
    return rc;
}

int queue_ccs(dtls_hsm *hsm)
{
    packet *ccs = dtls_make_ccs(ctx_of(hsm)->pool, peer_of(hsm));
    if (!ccs)
        return -1;
    dtls_meta_set(ccs, DTLS_META_CONTENT_TYPE, DTLS_CT_CHANGE_CIPHER_SPEC);
    dtls_meta_set(ccs, DTLS_META_PENDING_WRITE, (hsm->sock->flags & DTLS_SOCK_SEND_SPEC) ? 1 : 0);
    packet_queue_append(&hsm->flight, ccs);
    return 0;
}

void change_cipher(dtls_hsm *hsm, bool write)
{
    dtls_sock *sock = hsm->sock;
    uint8_t writer;
    if (write) {
        sock->flags |= DTLS_SOCK_SEND_SPEC;
        writer = sock->entity;
        hsm->hs.fragment_payload = dtls_hs_fragment_payload(hsm->pending.mtu, hsm->pending.params);
    } else {
        sock->flags |= DTLS_SOCK_RECV_SPEC;
        writer = sock->entity == DTLS_SERVER ? DTLS_CLIENT : DTLS_SERVER;
    }
    dtls_log(ULOG_DETAIL, peer_of(hsm), "%sChanging %s cipher to epoch %u",
             write ? "write" : "read", unsigned{hsm->pending.epoch});
    dtls_rec_init_cipher(&hsm->pending, writer);
}

void set_version(dtls_hsm *hsm, const uint8_t version[2])
{
    memcpy(hsm->sock->context.version, version, 2);
    memcpy(hsm->pending.version, version, 2);
}

// The caller wipes the premaster.
void derive_keys(dtls_hsm *hsm, const uint8_t *premaster, size_t length)
{
    dtls_master_secret(hsm->master, premaster, length, hsm->client_random, hsm->server_random);
    dtls_derive_keys(&hsm->pending.keys, &hsm->params, hsm->master, hsm->client_random,
                     hsm->server_random);
}

// The extension entries of a block validated by dtls_ext_count.
struct ext_iter {
    const uint8_t *p, *end;
    bool next(uint16_t *type, const uint8_t **data, uint16_t *length)
    {
        if (end - p < 4)
            return false;
        *type = dtls_get_u16(p);
        *length = dtls_get_u16(p + 2);
        *data = p + 4;
        p += 4 + *length;
        return true;
    }
};

// A ClientHello body cut into its vectors; pointers are at the length prefixes.
struct client_hello {
    const uint8_t *version, *random;
    const uint8_t *session_id, *cookie, *suites, *compression;
    const uint8_t *ext; // null when there is none
    size_t ext_length;
    size_t cookie_at, suites_at;
};

int parse_client_hello(const sockaddr *peer, const uint8_t *body, size_t length, client_hello *ch)
{
    *ch = {};
    if (length < 34) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS ClientHello message");
        return -1;
    }
    ch->version = body;
    ch->random = body + 2;
    const uint8_t *cursor = body + 34;
    size_t remaining = length - 34;
    if (dtls_read_vector(&cursor, &remaining, 32, &ch->session_id) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed session ID in DTLS ClientHello message");
        return -1;
    }
    ch->cookie_at = static_cast<size_t>(cursor - body);
    if (dtls_read_vector(&cursor, &remaining, 255, &ch->cookie) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed cookie in DTLS ClientHello message");
        return -1;
    }
    ch->suites_at = static_cast<size_t>(cursor - body);
    if (dtls_read_vector(&cursor, &remaining, 65533, &ch->suites) < 0 ||
        (dtls_get_u16(ch->suites) & 1)) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed cipher suites in DTLS ClientHello message");
        return -1;
    }
    if (dtls_read_vector(&cursor, &remaining, 255, &ch->compression) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed compression in DTLS ClientHello message");
        return -1;
    }
    if (dtls_find_byte(ch->compression + 1, ch->compression[0], 0) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMissing NULL compression in DTLS ClientHello message");
        return -1;
    }
    if (remaining) {
        if (remaining < 2 || dtls_get_u16(cursor) + 2u != remaining ||
            dtls_ext_count(cursor, remaining) < 0) {
            dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS ClientHello message");
            return -1;
        }
        ch->ext = cursor;
        ch->ext_length = remaining;
    }
    return 0;
}

bool offers_suite(const client_hello *ch, uint16_t id)
{
    size_t n = dtls_get_u16(ch->suites);
    for (size_t i = 0; i + 1 < n; i += 2)
        if (dtls_get_u16(ch->suites + 2 + i) == id)
            return true;
    return false;
}

// The fingerprint as the eight words the log lines print.
struct fp_words {
    uint32_t w[8];
    explicit fp_words(const uint8_t fp[32])
    {
        for (int i = 0; i < 8; i++)
            w[i] = uint32_t(fp[4 * i]) << 24 | uint32_t(fp[4 * i + 1]) << 16 |
                   uint32_t(fp[4 * i + 2]) << 8 | fp[4 * i + 3];
    }
};
#define FP_ARGS(f) (f).w[0], (f).w[1], (f).w[2], (f).w[3], (f).w[4], (f).w[5], (f).w[6], (f).w[7]

// --- Handlers ---

int make_hello_request(dtls_hsm *hsm)
{
    flight_reset(hsm);
    packet *msg = dtls_make_hs_message(ctx_of(hsm)->pool, 0);
    if (!msg || queue_message(hsm, msg, DTLS_HT_HELLO_REQUEST) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    return 0;
}

// The HelloVerifyRequest's cookie; -1 (no alert) when it is malformed.
int take_cookie(dtls_hsm *hsm, const packet *hvr)
{
    const sockaddr *peer = peer_of(hsm);
    if (hvr->length < 2) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS HelloVerifyRequest message");
        return -1;
    }
    const uint8_t *cursor = hvr->data + 2, *cookie;
    size_t remaining = hvr->length - 2u;
    if (dtls_read_vector(&cursor, &remaining, DTLS_MAX_COOKIE, &cookie) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed cookie in DTLS HelloVerifyRequest message");
        return -1;
    }
    if (remaining)
        return -1;
    hsm->cookie_length = cookie[0];
    memcpy(hsm->cookie, cookie + 1, cookie[0]);
    return 0;
}

int make_client_hello(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    const sockaddr *peer = peer_of(hsm);
    flight_reset(hsm);
    sha256_init(&hsm->hash);
    packet *hvr = nullptr;
    for (packet *p = first_of(&hsm->recv_flight); p; p = next_of(&hsm->recv_flight, p))
        if (msg_type(p) == DTLS_HT_HELLO_VERIFY_REQUEST)
            hvr = p;
    if (hvr) {
        if (take_cookie(hsm, hvr) < 0)
            return -1;
    } else if (!hsm->have_random) {
        if (dtls_make_random(hsm->client_random) < 0)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
        hsm->have_random = 1;
    }
    bool renegotiating = sock->context.epoch != 0;
    uint8_t ids[4][2];
    size_t n = 0;
    for (size_t i = 1; i < DTLS_SUITE_COUNT; i++) {
        const dtls_cipher_suite &s = dtls_cipher_suites[i];
        if ((s.key_exchange == DTLS_KX_RSA && (sock->flags & DTLS_SOCK_HAS_RSA)) ||
            (s.key_exchange == DTLS_KX_PSK && (sock->flags & DTLS_SOCK_HAS_PSK))) {
            dtls_log(ULOG_DETAIL, peer, "%sTrying cipher suite %s", s.name);
            dtls_put_u16(ids[n++], s.id);
        }
    }
    // Extensions: our raw-public-key form, and on renegotiation the binding
    // to the previous handshake (the first handshake signals it with the SCSV).
    size_t ext = ((sock->flags & DTLS_SOCK_HAS_RSA) ? 5 : 0) +
                 (renegotiating ? 5 + DTLS_FINISHED_SIZE : 0);
    size_t suites = 2 * n + (renegotiating ? 0 : 2);
    size_t length = 2 + 32 + 1 + 1 + hsm->cookie_length + 2 + suites + 2 + (ext ? 2 + ext : 0);
    packet *msg = dtls_make_hs_message(ctx_of(hsm)->pool, length);
    if (!msg)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    uint8_t *b = msg->data;
    memcpy(b, DTLS_VERSION_1_2, 2);
    memcpy(b + 2, hsm->client_random, 32);
    b += 34;
    *b++ = 0;
    dtls_log(ULOG_TRACE, peer, "%sUsing %u bytes cookie in DTLS ClientHello",
             unsigned{hsm->cookie_length});
    *b++ = hsm->cookie_length;
    memcpy(b, hsm->cookie, hsm->cookie_length);
    b += hsm->cookie_length;
    dtls_put_u16(b, suites);
    b += 2;
    memcpy(b, ids, 2 * n);
    b += 2 * n;
    if (!renegotiating) {
        dtls_put_u16(b, SCSV_RENEGOTIATION);
        b += 2;
    }
    *b++ = 1;
    *b++ = 0;
    if (ext) {
        dtls_put_u16(b, ext);
        b += 2;
        if (sock->flags & DTLS_SOCK_HAS_RSA) {
            dtls_put_u16(b, EXT_CLIENT_CERT_TYPE);
            dtls_put_u16(b + 2, 1);
            b[4] = CERT_TYPE_RAW_PUBLIC_KEY;
            b += 5;
        }
        if (renegotiating) {
            dtls_put_u16(b, EXT_RENEGOTIATION_INFO);
            dtls_put_u16(b + 2, 1 + DTLS_FINISHED_SIZE);
            b[4] = DTLS_FINISHED_SIZE;
            memcpy(b + 5, sock->client_verify, DTLS_FINISHED_SIZE);
            b += 5 + DTLS_FINISHED_SIZE;
        }
    }
    UGW_ASSERT(size_t(b - msg->data) == length);
    if (queue_message(hsm, msg, DTLS_HT_CLIENT_HELLO) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    return 0;
}

int wait_client_hello(dtls_hsm *hsm)
{
    packet_queue_purge(&hsm->recv_flight);
    sha256_init(&hsm->hash);
    return 0;
}

int wait_only(dtls_hsm *hsm)
{
    packet_queue_purge(&hsm->recv_flight);
    return 0;
}

// Checks the ClientHello's renegotiation binding (RFC 5746); 0, or -1.
int check_client_reneg(dtls_hsm *hsm, const client_hello *ch)
{
    dtls_sock *sock = hsm->sock;
    bool renegotiating = sock->context.epoch != 0;
    const uint8_t *info = nullptr;
    uint16_t info_length = 0;
    if (ch->ext) {
        ext_iter it{ch->ext + 2, ch->ext + ch->ext_length};
        uint16_t type, len;
        const uint8_t *data;
        while (it.next(&type, &data, &len))
            if (type == EXT_RENEGOTIATION_INFO && !info) {
                info = data;
                info_length = len;
            }
    }
    if (!renegotiating) {
        if (info && (info_length != 1 || info[0] != 0))
            return -1;
        hsm->reneg_offered = info || offers_suite(ch, SCSV_RENEGOTIATION);
        return 0;
    }
    if (!sock->secure_reneg || !info || info_length != 1 + DTLS_FINISHED_SIZE ||
        info[0] != DTLS_FINISHED_SIZE ||
        secure_compare(info + 1, sock->client_verify, DTLS_FINISHED_SIZE) != 0)
        return -1;
    hsm->reneg_offered = 1;
    return 0;
}

int make_server_hello(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = peer_of(hsm);
    flight_reset(hsm);
    packet *first = first_message(hsm, DTLS_HT_CLIENT_HELLO);
    if (!first)
        return -1;
    client_hello ch;
    if (parse_client_hello(peer, first->data, first->length, &ch) < 0)
        return fail(hsm, DTLS_ALERT_ILLEGAL_PARAMETER);
    uint8_t allowed = 0;
    hsm->rpk_ext_type = 0;
    if (ch.ext) {
        ext_iter it{ch.ext + 2, ch.ext + ch.ext_length};
        uint16_t type, len;
        const uint8_t *data;
        while (it.next(&type, &data, &len)) {
            bool ours = type == EXT_CLIENT_CERT_TYPE && len == 1 && data[0] == CERT_TYPE_RAW_PUBLIC_KEY;
            bool standard = type == EXT_SERVER_CERT_TYPE && len >= 1 && data[0] + 1u == len &&
                            dtls_find_byte(data + 1, data[0], CERT_TYPE_RAW_PUBLIC_KEY) >= 0;
            if ((ours || standard) && !hsm->rpk_ext_type) {
                dtls_log(ULOG_TRACE, peer,
                         "%sDTLS extension Server-Certificate-Type=Raw-Public-Key");
                hsm->rpk_ext_type = type;
            }
        }
    }
    if (hsm->rpk_ext_type && ctx->server_key)
        allowed |= DTLS_KX_RSA;
    if (ctx->ops.psk_cb)
        allowed |= DTLS_KX_PSK;
    uint8_t selected[2];
    memcpy(hsm->offered_version, ch.version, 2);
    if (dtls_negotiate_version(peer, ch.version, selected) < 0)
        return fail(hsm, DTLS_ALERT_PROTOCOL_VERSION);
    set_version(hsm, selected);
    if (check_client_reneg(hsm, &ch) < 0)
        return fail(hsm, DTLS_ALERT_HANDSHAKE_FAILURE);
    if (dtls_select_cipher(hsm, ch.suites + 2, dtls_get_u16(ch.suites), allowed) < 0)
        return fail(hsm, DTLS_ALERT_HANDSHAKE_FAILURE);
    memcpy(hsm->client_random, ch.random, 32);
    if (dtls_make_random(hsm->server_random) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    bool rsa = hsm->suite->key_exchange == DTLS_KX_RSA;
    bool renegotiating = sock->context.epoch != 0;
    size_t reneg_length = renegotiating ? 2 * DTLS_FINISHED_SIZE : 0;
    size_t ext = (rsa ? 5 : 0) + (hsm->reneg_offered ? 5 + reneg_length : 0);
    size_t length = 38 + (ext ? 2 + ext : 0);
    packet *msg = dtls_make_hs_message(ctx->pool, length);
    if (!msg)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    uint8_t *b = msg->data;
    memcpy(b, DTLS_VERSION_1_2, 2);
    memcpy(b + 2, hsm->server_random, 32);
    b[34] = 0;
    dtls_put_u16(b + 35, hsm->suite->id);
    b[37] = 0;
    b += 38;
    if (ext) {
        dtls_put_u16(b, ext);
        b += 2;
        if (rsa) {
            dtls_put_u16(b, hsm->rpk_ext_type);
            dtls_put_u16(b + 2, 1);
            b[4] = CERT_TYPE_RAW_PUBLIC_KEY;
            b += 5;
        }
        if (hsm->reneg_offered) {
            dtls_put_u16(b, EXT_RENEGOTIATION_INFO);
            dtls_put_u16(b + 2, 1 + reneg_length);
            b[4] = static_cast<uint8_t>(reneg_length);
            if (renegotiating) {
                memcpy(b + 5, sock->client_verify, DTLS_FINISHED_SIZE);
                memcpy(b + 5 + DTLS_FINISHED_SIZE, sock->server_verify, DTLS_FINISHED_SIZE);
            }
            b += 5 + reneg_length;
        }
    }
    UGW_ASSERT(size_t(b - msg->data) == length);
    if (queue_message(hsm, msg, DTLS_HT_SERVER_HELLO) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    if (rsa) {
        size_t der = rsa_encode_spki(nullptr, 0, ctx->server_key);
        msg = der ? dtls_make_hs_message(ctx->pool, 3 + der) : nullptr;
        if (!msg)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
        dtls_put_u24(msg->data, static_cast<uint32_t>(der));
        rsa_encode_spki(msg->data + 3, der, ctx->server_key);
        if (queue_message(hsm, msg, DTLS_HT_CERTIFICATE) < 0)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    }
    msg = dtls_make_hs_message(ctx->pool, 0);
    if (!msg || queue_message(hsm, msg, DTLS_HT_SERVER_HELLO_DONE) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    return 0;
}

int client_key_exchange(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = peer_of(hsm);
    packet *first = first_message(hsm, DTLS_HT_CLIENT_KEY_EXCHANGE);
    if (!first)
        return -1;
    const uint8_t *body = first->data;
    size_t length = first->length;
    if (hsm->suite->key_exchange == DTLS_KX_RSA) {
        // The random premaster is drawn first and taken in constant time
        // when the decryption fails, so that a padding oracle learns nothing.
        uint8_t premaster[DTLS_RSA_PREMASTER_SIZE];
        uint8_t fallback[DTLS_RSA_PREMASTER_SIZE];
        secure_wipe_guard wipe_premaster(premaster), wipe_fallback(fallback);
        secure_wipe_guard wipe_scratch(ctx->scratch, DTLS_RSA_PREMASTER_SIZE);
        if (system_random(fallback, sizeof fallback) < 0)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
        size_t k = rsa_size(ctx->server_key);
        const uint8_t *ct = nullptr;
        if (length == k)
            ct = body;
        else if (length == k + 2 && dtls_get_u16(body) == k)
            ct = body + 2; // the TLS 1.2 form with its length prefix
        int got = -1;
        if (ct)
            got = rsa_decrypt(ctx->server_key, RSA_PAD_PKCS1, nullptr, 0, ct, k, ctx->scratch,
                              DTLS_RSA_PREMASTER_SIZE);
        else
            memset(ctx->scratch, 0, DTLS_RSA_PREMASTER_SIZE);
        uint32_t good = ct_eq(static_cast<uint32_t>(got), DTLS_RSA_PREMASTER_SIZE);
        memcpy(premaster, hsm->offered_version, 2);
        for (size_t i = 2; i < DTLS_RSA_PREMASTER_SIZE; i++)
            premaster[i] = static_cast<uint8_t>(ct_select(good, ctx->scratch[i], fallback[i]));
        derive_keys(hsm, premaster, sizeof premaster);
        return 0;
    }
    uint8_t premaster[DTLS_PSK_PREMASTER_MAX];
    uint8_t key[DTLS_PSK_MAX];
    secure_wipe_guard wipe_premaster(premaster), wipe_key(key);
    size_t premaster_length = 0;
    if (length > 1 && dtls_get_u16(body) + 2u == length && length - 2 < sizeof(dtls_psk::identity)) {
        char identity[sizeof(dtls_psk::identity)];
        memcpy(identity, body + 2, length - 2);
        identity[length - 2] = 0;
        int n = ctx->ops.psk_cb(ctx->user, identity, key, sizeof key);
        if (n < 0 || n > int(sizeof key))
            dtls_log(ULOG_DEBUG, peer, "%sNo PSK available for identity \"%s\"", identity);
        else
            premaster_length = dtls_psk_premaster(premaster, key, size_t(n));
    }
    if (!premaster_length) {
        // Fails at the Finished check, as a wrong key would.
        premaster_length = 130;
        if (system_random(premaster, premaster_length) < 0)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    }
    derive_keys(hsm, premaster, premaster_length);
    return 0;
}

int change_cipher_spec(dtls_hsm *hsm)
{
    change_cipher(hsm, false);
    // The peer's Finished carries the peer's label.
    dtls_make_finished_verify(&hsm->hash, hsm->master, !is_server(hsm), hsm->expected_finished);
    return 0;
}

// Checks the ServerHello's extensions; the RSA and renegotiation results out.
int check_server_extensions(dtls_hsm *hsm, const uint8_t *ext, size_t ext_length, bool *rpk)
{
    dtls_sock *sock = hsm->sock;
    bool renegotiating = sock->context.epoch != 0;
    bool reneg = false;
    *rpk = false;
    if (!ext)
        return renegotiating && sock->secure_reneg ? -2 : 0;
    ext_iter it{ext + 2, ext + ext_length};
    uint16_t type, len;
    const uint8_t *data;
    bool bad = false;
    while (it.next(&type, &data, &len)) {
        if (type == EXT_CLIENT_CERT_TYPE && len == 1 && data[0] == CERT_TYPE_RAW_PUBLIC_KEY &&
            !*rpk) {
            dtls_log(ULOG_TRACE, peer_of(hsm),
                     "%sDTLS extension Server-Certificate-Type=Raw-Public-Key");
            *rpk = true;
            bad |= !(sock->flags & DTLS_SOCK_HAS_RSA);
        } else if (type == EXT_RENEGOTIATION_INFO && !reneg) {
            reneg = true;
            if (!renegotiating) {
                if (len != 1 || data[0] != 0)
                    return -2;
            } else if (len != 1 + 2 * DTLS_FINISHED_SIZE || data[0] != 2 * DTLS_FINISHED_SIZE ||
                       secure_compare(data + 1, sock->client_verify, DTLS_FINISHED_SIZE) ||
                       secure_compare(data + 1 + DTLS_FINISHED_SIZE, sock->server_verify,
                                      DTLS_FINISHED_SIZE)) {
                return -2;
            }
        } else {
            bad = true;
        }
    }
    if (renegotiating && sock->secure_reneg && !reneg)
        return -2;
    hsm->reneg_offered = reneg;
    return bad ? -1 : 0;
}

int parse_server_key(dtls_hsm *hsm, const packet *cert)
{
    dtls_sock *sock = hsm->sock;
    const sockaddr *peer = peer_of(hsm);
    const uint8_t *body = cert->data;
    size_t length = cert->length;
    if (length < 3 || dtls_get_u24(body) != length - 3) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed Subject Public Key in DTLS Certificate message");
        return fail(hsm, DTLS_ALERT_UNSUPPORTED_CERTIFICATE);
    }
    rsa_key *key = rsa_parse_spki(body + 3, length - 3);
    if (!key || key->bits < SERVER_KEY_MIN_BITS || bi_num_bits(key->e) > SERVER_KEY_MAX_E_BITS) {
        dtls_log(ULOG_DEBUG, peer, "%sUnsupported RSA key in DTLS Certificate message");
        rsa_free(key);
        return fail(hsm, DTLS_ALERT_UNSUPPORTED_CERTIFICATE);
    }
    rsa_free(hsm->server_key);
    hsm->server_key = key;
    uint8_t fp[RSA_FINGERPRINT_LEN];
    if (rsa_key_fingerprint(key, fp) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    dtls_rsa_pin *pin = sock->rsa;
    fp_words words(fp);
    if (pin->bits && rsa_fingerprint_match(fp, pin->fingerprint, pin->bits) != 0) {
        dtls_log(ULOG_DEBUG, peer, "%sBad RSA key fingerprint %08x%08x%08x%08x%08x%08x%08x%08x",
                 FP_ARGS(words));
        return fail(hsm, DTLS_ALERT_BAD_CERTIFICATE);
    }
    dtls_log(ULOG_DETAIL, peer, "%sRSA key fingerprint is %08x%08x%08x%08x%08x%08x%08x%08x",
             FP_ARGS(words));
    if (!pin->bits)
        dtls_log(ULOG_WARNING, peer,
                 "%sAccepting unpinned RSA key fingerprint %08x%08x%08x%08x%08x%08x%08x%08x",
                 FP_ARGS(words));
    memcpy(pin->fingerprint, fp, sizeof fp);
    return 0;
}

// The ServerHello's fields, at their place in the message.
struct server_flight {
    const uint8_t *version, *random, *suite;
    const uint8_t *ext; // null when there is none
    size_t ext_length;
};

// The ServerHello body cut into its fields; -1 after logging what is wrong.
int parse_server_hello(const sockaddr *peer, const packet *msg, server_flight *sf)
{
    const uint8_t *body = msg->data;
    size_t length = msg->length;
    if (length < 34) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS ServerHello message");
        return -1;
    }
    sf->version = body;
    sf->random = body + 2;
    const uint8_t *cursor = body + 34, *session_id;
    size_t remaining = length - 34;
    if (dtls_read_vector(&cursor, &remaining, 32, &session_id) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed session ID in DTLS ServerHello message");
        return -1;
    }
    if (remaining < 3) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS ServerHello message");
        return -1;
    }
    sf->suite = cursor;
    if (cursor[2] != 0) {
        dtls_log(ULOG_DEBUG, peer, "%sUnsupported compression %u in ServerHello message",
                 unsigned{cursor[2]});
        return -1;
    }
    cursor += 3;
    remaining -= 3;
    sf->ext = nullptr;
    sf->ext_length = remaining;
    if (remaining) {
        if (remaining < 2 || dtls_get_u16(cursor) + 2u != remaining ||
            dtls_ext_count(cursor, remaining) < 0) {
            dtls_log(ULOG_DEBUG, peer, "%sMalformed DTLS ServerHello message");
            return -1;
        }
        sf->ext = cursor;
    }
    return 0;
}

// Reads ServerHello, Certificate (RSA only) and ServerHelloDone, and settles
// version, suite and server key; 0, or -1 after a fatal alert.
int read_server_flight(dtls_hsm *hsm, server_flight *sf)
{
    dtls_sock *sock = hsm->sock;
    const sockaddr *peer = peer_of(hsm);
    packet *sh = first_message(hsm, DTLS_HT_SERVER_HELLO);
    if (!sh)
        return -1;
    *sf = {};
    if (parse_server_hello(peer, sh, sf) < 0)
        return fail(hsm, DTLS_ALERT_ILLEGAL_PARAMETER);
    bool rpk;
    int ext_rc = check_server_extensions(hsm, sf->ext, sf->ext_length, &rpk);
    if (ext_rc == -2)
        return fail(hsm, DTLS_ALERT_HANDSHAKE_FAILURE);
    if (ext_rc < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sUnsupported DTLS extension(s)");
        return fail(hsm, DTLS_ALERT_UNSUPPORTED_EXTENSION);
    }
    uint8_t allowed = 0;
    if ((sock->flags & DTLS_SOCK_HAS_RSA) && rpk)
        allowed |= DTLS_KX_RSA;
    if (sock->flags & DTLS_SOCK_HAS_PSK)
        allowed |= DTLS_KX_PSK;
    uint8_t selected[2];
    memcpy(hsm->offered_version, sf->version, 2);
    if (dtls_negotiate_version(peer, sf->version, selected) < 0)
        return fail(hsm, DTLS_ALERT_PROTOCOL_VERSION);
    set_version(hsm, selected);
    if (dtls_select_cipher(hsm, sf->suite, 2, allowed) < 0)
        return fail(hsm, DTLS_ALERT_HANDSHAKE_FAILURE);
    memcpy(hsm->server_random, sf->random, DTLS_RANDOM_SIZE);
    packet *next = next_of(&hsm->recv_flight, sh);
    if (hsm->suite->key_exchange == DTLS_KX_RSA) {
        if (!next || msg_type(next) != DTLS_HT_CERTIFICATE)
            return fail(hsm, DTLS_ALERT_UNEXPECTED_MESSAGE);
        if (parse_server_key(hsm, next) < 0)
            return -1;
        next = next_of(&hsm->recv_flight, next);
    }
    if (!next || msg_type(next) != DTLS_HT_SERVER_HELLO_DONE)
        return fail(hsm, DTLS_ALERT_UNEXPECTED_MESSAGE);
    return 0;
}

// Queues the endpoint's own Finished on the new write side and keeps its
// verify data for renegotiation; 0 or -1 after a fatal alert.
int queue_finished(dtls_hsm *hsm)
{
    bool server = is_server(hsm);
    packet *fin = dtls_make_finished(ctx_of(hsm)->pool, &hsm->hash, hsm->master, server);
    if (!fin)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    memcpy(hsm->own_finished, fin->data, DTLS_FINISHED_SIZE);
    if (queue_message(hsm, fin, DTLS_HT_FINISHED) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    return 0;
}

// The ClientKeyExchange body: the premaster encrypted to the server key, or
// the PSK identity; null after logging.
packet *make_client_key_exchange(dtls_hsm *hsm, const uint8_t *premaster)
{
    dtls_sock *sock = hsm->sock;
    mempool *pool = ctx_of(hsm)->pool;
    if (hsm->suite->key_exchange == DTLS_KX_RSA) {
        size_t k = rsa_size(hsm->server_key);
        packet *cke = dtls_make_hs_message(pool, k);
        if (cke && rsa_encrypt(hsm->server_key, RSA_PAD_PKCS1, nullptr, 0, premaster,
                               DTLS_RSA_PREMASTER_SIZE, cke->data) != int(k)) {
            dtls_log(ULOG_DEBUG, peer_of(hsm), "%sRSA PKCS#1 v1.5 encryption failed");
            packet_release(cke);
            cke = nullptr;
        }
        return cke;
    }
    size_t id = strlen(sock->psk->identity);
    packet *cke = dtls_make_hs_message(pool, 2 + id);
    if (cke) {
        dtls_put_u16(cke->data, id);
        memcpy(cke->data + 2, sock->psk->identity, id);
    }
    return cke;
}

// The client's second flight: the keys from a new premaster, then
// ClientKeyExchange, ChangeCipherSpec and Finished; 0 or -1 after an alert.
int send_client_flight(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    uint8_t premaster[DTLS_PSK_PREMASTER_MAX];
    secure_wipe_guard wipe(premaster);
    size_t premaster_length;
    if (hsm->suite->key_exchange == DTLS_KX_RSA) {
        if (dtls_rsa_premaster(premaster, DTLS_VERSION_1_2) < 0)
            return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
        premaster_length = DTLS_RSA_PREMASTER_SIZE;
    } else {
        premaster_length = dtls_psk_premaster(premaster, sock->psk->key, sock->psk->key_length);
    }
    derive_keys(hsm, premaster, premaster_length);
    packet *cke = make_client_key_exchange(hsm, premaster);
    if (!cke || queue_message(hsm, cke, DTLS_HT_CLIENT_KEY_EXCHANGE) < 0 || queue_ccs(hsm) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    change_cipher(hsm, true);
    return queue_finished(hsm);
}

int make_client_finished(dtls_hsm *hsm)
{
    flight_reset(hsm);
    server_flight sf;
    if (read_server_flight(hsm, &sf) < 0)
        return -1;
    return send_client_flight(hsm);
}

int verify_finished(dtls_hsm *hsm)
{
    const sockaddr *peer = peer_of(hsm);
    packet *fin = first_message(hsm, DTLS_HT_FINISHED);
    if (!fin)
        return -1;
    if (fin->length != DTLS_FINISHED_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed Finished message %u bytes", unsigned{fin->length});
        return fail(hsm, DTLS_ALERT_DECRYPT_ERROR);
    }
    if (dtls_finished_check(hsm->expected_finished, fin->data, fin->length) != 0) {
        dtls_log(ULOG_DEBUG, peer, "%sDTLS handshake integrity check failed");
        return fail(hsm, DTLS_ALERT_DECRYPT_ERROR);
    }
    return 0;
}

// The server checks the client's Finished before it sends its own.
int make_server_finished(dtls_hsm *hsm)
{
    if (verify_finished(hsm) < 0)
        return -1;
    flight_reset(hsm);
    if (queue_ccs(hsm) < 0)
        return fail(hsm, DTLS_ALERT_INTERNAL_ERROR);
    change_cipher(hsm, true);
    return queue_finished(hsm);
}

uint32_t linger_msec(const dtls_ctx *ctx)
{
    uint32_t s = ctx->params.linger_time > 4294967 ? 4294967 : ctx->params.linger_time;
    return s * 1000;
}

int connected(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    if (!is_server(hsm) && verify_finished(hsm) < 0)
        return -1;
    bool server = is_server(hsm);
    memcpy(sock->client_verify, server ? hsm->expected_finished : hsm->own_finished,
           DTLS_FINISHED_SIZE);
    memcpy(sock->server_verify, server ? hsm->own_finished : hsm->expected_finished,
           DTLS_FINISHED_SIZE);
    sock->secure_reneg = hsm->reneg_offered;
    if (server) {
        uint32_t ms = linger_msec(sock->ctx);
        hsm->linger_end = clock_msec() + ms;
        dtls_hsm_timer_start(hsm, ms);
    }
    dtls_sock_connected(sock);
    return 0;
}

int done(dtls_hsm *hsm)
{
    flight_reset(hsm);
    dtls_hsm_timer_stop(hsm);
    return 0;
}

// The peer answered with keys other than ours, rather than not at all: its
// Finished failed authentication, or, for a client, the server that had
// answered its hellos never answered its Finished (peers drop what fails
// authentication without a word).
bool keys_mismatched(const dtls_hsm *hsm)
{
    return hsm->bad_records || (hsm->sock->flags & DTLS_SOCK_SEND_SPEC);
}

int timed_out(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = peer_of(hsm);
    dtls_log(ULOG_DEBUG, peer, "%sDTLS handshake timed out");
    hsm->count = 0;
    if (!keys_mismatched(hsm))
        return -1;
    // Records that fail authentication are dropped, so only the end of the
    // handshake can tell. The alert goes out in the epoch the peer still
    // reads, so that it stops retrying.
    dtls_log(ULOG_ERROR, peer,
             "%sDTLS handshake failed: the keys did not match (wrong key or identity?)");
    alert_send(sock, &sock->context, DTLS_ALERT_DECRYPT_ERROR, DTLS_ALERT_FATAL);
    if (sock->flags & DTLS_SOCK_KNOWN_TO_HOST) {
        sock->flags &= static_cast<uint8_t>(~DTLS_SOCK_KNOWN_TO_HOST);
        ctx->ops.close_cb(ctx->user, sock, DTLS_ALERT_DECRYPT_ERROR);
    }
    return -1;
}

int disconnect(dtls_hsm *hsm)
{
    flight_reset(hsm);
    dtls_hsm_timer_start(hsm, 0);
    return 0;
}

using handler_fn = int (*)(dtls_hsm *);

constexpr handler_fn handlers[DTLS_HS_STATE_COUNT] = {
    nullptr,
    make_hello_request,
    make_client_hello,
    wait_client_hello,
    make_server_hello,
    wait_only,
    wait_only,
    client_key_exchange,
    wait_only,
    change_cipher_spec,
    make_client_finished,
    wait_only,
    make_server_finished,
    wait_only,
    connected,
    done,
    timed_out,
    disconnect,
};

uint64_t interval_msec(const dtls_ctx *ctx)
{
    return uint64_t{ctx->params.retransmit_interval} * 1000;
}

uint32_t flight_age(const dtls_hsm *hsm)
{
    return clock_msec() - hsm->flight_start;
}

// The wait after the count-th transmission: doubling from the interval up
// to its cap, and never past the time the flight is given up.
uint32_t retransmit_wait(const dtls_hsm *hsm)
{
    const dtls_ctx *ctx = hsm->sock->ctx;
    uint32_t doublings = hsm->count > 1 ? hsm->count - 1u : 0u;
    uint64_t factor = doublings < 31 ? uint64_t{1} << doublings : uint64_t{1} << 31;
    if (factor > DTLS_RETRANSMIT_MAX_INTERVALS)
        factor = DTLS_RETRANSMIT_MAX_INTERVALS;
    uint64_t wait = interval_msec(ctx) * factor;
    uint64_t give_up = interval_msec(ctx) * DTLS_GIVE_UP_INTERVALS;
    uint64_t age = flight_age(hsm);
    uint64_t left = give_up > age ? give_up - age : 0;
    wait = wait < left ? wait : left;
    return wait > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(wait);
}

bool flight_given_up(const dtls_hsm *hsm)
{
    const dtls_ctx *ctx = hsm->sock->ctx;
    return (hsm->events & DTLS_EV_TIMER) && hsm->count &&
           flight_age(hsm) >= interval_msec(ctx) * DTLS_GIVE_UP_INTERVALS;
}

uint8_t next_state(const dtls_hsm *hsm)
{
    const dtls_ctx *ctx = hsm->sock->ctx;
    uint8_t st = hsm->state, ev = hsm->events, ev2 = hsm->events2;
    bool server = is_server(hsm);
    UGW_ASSERT(st < DTLS_HS_STATE_COUNT);
    if (st == DTLS_HS_DISCONNECT)
        return 0;
    // A lingering server ends by its timer, never by its count.
    if (st != DTLS_HS_CONNECTED && st != DTLS_HS_TIMEOUT &&
        (hsm->count > ctx->params.retransmit_limit || flight_given_up(hsm)))
        return DTLS_HS_TIMEOUT;
    if (ev & DTLS_EV_RESTART)
        return server ? DTLS_HS_MAKE_HELLO_REQUEST : DTLS_HS_MAKE_CLIENT_HELLO;
    if (ev & DTLS_EV_ERROR)
        return DTLS_HS_DISCONNECT;
    if (st == DTLS_HS_TIMEOUT)
        return DTLS_HS_DISCONNECT;
    if (st == DTLS_HS_WAIT_CHANGE_CIPHER_SPEC)
        return (ev2 & DTLS_EV2_CHANGE_CIPHER_SPEC) ? DTLS_HS_CHANGE_CIPHER_SPEC : 0;
    if (server) {
        switch (st) {
        case DTLS_HS_NONE:
        case DTLS_HS_WAIT_CLIENT_HELLO:
            return (ev & DTLS_EV_CLIENT_HELLO) ? DTLS_HS_MAKE_SERVER_HELLO : 0;
        case DTLS_HS_MAKE_HELLO_REQUEST: return DTLS_HS_WAIT_CLIENT_HELLO;
        case DTLS_HS_MAKE_SERVER_HELLO: return DTLS_HS_WAIT_CLIENT_KEY_EXCHANGE;
        case DTLS_HS_WAIT_CLIENT_KEY_EXCHANGE:
            return (ev2 & DTLS_EV2_CLIENT_KEY_EXCHANGE) ? DTLS_HS_CLIENT_KEY_EXCHANGE : 0;
        case DTLS_HS_CLIENT_KEY_EXCHANGE: return DTLS_HS_WAIT_CHANGE_CIPHER_SPEC;
        case DTLS_HS_CHANGE_CIPHER_SPEC: return DTLS_HS_WAIT_CLIENT_FINISHED;
        case DTLS_HS_WAIT_CLIENT_FINISHED:
            return (ev2 & DTLS_EV2_FINISHED) ? DTLS_HS_MAKE_SERVER_FINISHED : 0;
        case DTLS_HS_MAKE_SERVER_FINISHED: return DTLS_HS_CONNECTED;
        case DTLS_HS_CONNECTED: return (ev & DTLS_EV_TIMER) ? DTLS_HS_DONE : 0;
        case DTLS_HS_DONE:
            return ctx->params.allow_renegotiation ? DTLS_HS_WAIT_CLIENT_HELLO : 0;
        default: return 0;
        }
    }
    switch (st) {
    case DTLS_HS_NONE: return DTLS_HS_MAKE_CLIENT_HELLO;
    case DTLS_HS_MAKE_CLIENT_HELLO: return DTLS_HS_WAIT_SERVER_HELLO;
    case DTLS_HS_WAIT_SERVER_HELLO:
        if (ev & DTLS_EV_SERVER_HELLO_DONE)
            return DTLS_HS_MAKE_CLIENT_FINISHED;
        return (ev & DTLS_EV_HELLO_VERIFY_REQUEST) ? DTLS_HS_MAKE_CLIENT_HELLO : 0;
    case DTLS_HS_MAKE_CLIENT_FINISHED: return DTLS_HS_WAIT_CHANGE_CIPHER_SPEC;
    case DTLS_HS_CHANGE_CIPHER_SPEC: return DTLS_HS_WAIT_SERVER_FINISHED;
    case DTLS_HS_WAIT_SERVER_FINISHED:
        return (ev2 & DTLS_EV2_FINISHED) ? DTLS_HS_CONNECTED : 0;
    case DTLS_HS_CONNECTED: return DTLS_HS_DONE;
    case DTLS_HS_DONE:
        return (ev & DTLS_EV_HELLO_REQUEST) && ctx->params.allow_renegotiation &&
                       hsm->sock->secure_reneg
                   ? DTLS_HS_MAKE_CLIENT_HELLO
                   : 0;
    default: return 0;
    }
}

void send_flight(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = peer_of(hsm);
    packet_queue records;
    packet_queue_init(&records);
    for (packet *p = first_of(&hsm->flight); p; p = next_of(&hsm->flight, p)) {
        uint8_t type = dtls_meta_get(p, DTLS_META_CONTENT_TYPE);
        UGW_ASSERT(type == DTLS_CT_HANDSHAKE || type == DTLS_CT_CHANGE_CIPHER_SPEC);
        char num[8];
        const char *name = type == DTLS_CT_CHANGE_CIPHER_SPEC ? "ChangeCipherSpec"
                                                              : hs_type_name(p->data[0], num);
        if (hsm->count)
            dtls_log(ULOG_TRACE, peer, "%sSending %s %u bytes [retry %u]", name,
                     unsigned{p->length}, unsigned(hsm->count));
        else
            dtls_log(ULOG_TRACE, peer, "%sSending %s %u bytes", name, unsigned{p->length});
        packet *copy = packet_copy_single(p);
        if (!copy) {
            dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
            continue;
        }
        dtls_security_context *side =
            dtls_meta_get(p, DTLS_META_PENDING_WRITE) ? &hsm->pending : &sock->context;
        if (dtls_rec_send(side, peer, copy, type) < 0)
            packet_release(copy);
        else
            packet_queue_append(&records, copy);
    }
    while (packet *dgram = dtls_gen_enagg(peer, &records, dtls_sock_mtu(sock), "record")) {
        ctx->ops.send_cb(ctx->user, dgram, peer);
        packet_release(dgram);
    }
    packet_queue_purge(&records);
    if (hsm->count == 0)
        hsm->flight_start = clock_msec();
    hsm->count++;
    uint32_t ms;
    if (hsm->state == DTLS_HS_CONNECTED && is_server(hsm)) {
        // A resend while lingering keeps what is left of the linger time.
        int32_t left = static_cast<int32_t>(hsm->linger_end - clock_msec());
        ms = left > 0 ? static_cast<uint32_t>(left) : 0;
    } else {
        ms = retransmit_wait(hsm);
    }
    dtls_hsm_timer_start(hsm, ms);
}

void hsm_free(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    dtls_log(ULOG_DUMP, peer_of(hsm), "%sReleasing DTLS handshake stack %zu bytes",
             sizeof(dtls_hsm));
    UGW_ASSERT(!timer_ispending(&hsm->timer));
    if (sock->flags & (DTLS_SOCK_SEND_SPEC | DTLS_SOCK_RECV_SPEC)) {
        dtls_security_context old = sock->context;
        sock->context = hsm->pending;
        hsm->pending = old;
        sock->flags &= static_cast<uint8_t>(~(DTLS_SOCK_SEND_SPEC | DTLS_SOCK_RECV_SPEC));
    }
    dtls_rec_free_ciphers(&hsm->pending);
    packet_queue_purge(&hsm->flight);
    packet_queue_purge(&hsm->recv_flight);
    packet_queue_purge(&hsm->send_queue);
    dtls_hs_fini(&hsm->hs);
    rsa_free(hsm->server_key);
    sock->hs_state = hsm->state;
    sock->handshake = nullptr;
    secure_wipe(hsm, sizeof *hsm);
    free(hsm);
}

} // namespace

const char *dtls_hsm_state_name(unsigned state)
{
    return state < DTLS_HS_STATE_COUNT ? state_names[state] : "";
}

dtls_hsm *dtls_hsm_acquire(dtls_sock *sock)
{
    if (dtls_hsm *hsm = sock->handshake) {
        hsm->refcount++;
        return hsm;
    }
    auto *hsm = static_cast<dtls_hsm *>(calloc(1, sizeof(dtls_hsm)));
    if (!hsm) {
        dtls_log(ULOG_ERROR, &sock->peer.sa, "%sMemory allocation failed");
        dtls_alert_send(sock, DTLS_ALERT_INTERNAL_ERROR, DTLS_ALERT_FATAL);
        return nullptr;
    }
    dtls_log(ULOG_DUMP, &sock->peer.sa, "%sAllocating DTLS handshake stack %zu bytes",
             sizeof(dtls_hsm));
    hsm->sock = sock;
    hsm->refcount = 1;
    hsm->state = sock->hs_state;
    dtls_security_context &p = hsm->pending;
    p.params = &dtls_cipher_suites[0].params;
    p.entity = sock->entity;
    p.epoch = static_cast<uint16_t>(sock->context.epoch + 1);
    p.mtu = sock->context.mtu;
    memcpy(p.version, sock->context.version, 2);
    sha256_init(&hsm->hash);
    dtls_hs_init(&hsm->hs, &hsm->hash,
                 dtls_hs_fragment_payload(sock->context.mtu, sock->context.params));
    packet_queue_init(&hsm->flight);
    packet_queue_init(&hsm->recv_flight);
    packet_queue_init(&hsm->send_queue);
    sock->handshake = hsm;
    return hsm;
}

void dtls_hsm_release(dtls_hsm *hsm)
{
    UGW_ASSERT(hsm->refcount > 0);
    if (--hsm->refcount == 0)
        hsm_free(hsm);
}

void dtls_hsm_timer_start(dtls_hsm *hsm, uint32_t msec)
{
    dtls_ctx *ctx = hsm->sock->ctx;
    if (timer_ispending(&hsm->timer))
        ctx->ops.timer_stop_cb(ctx->user, &hsm->timer);
    else
        hsm->refcount++;
    ctx->ops.timer_start_cb(ctx->user, &hsm->timer, msec, dtls_hsm_timer_cb);
}

void dtls_hsm_timer_stop(dtls_hsm *hsm)
{
    if (!timer_ispending(&hsm->timer))
        return;
    dtls_ctx *ctx = hsm->sock->ctx;
    ctx->ops.timer_stop_cb(ctx->user, &hsm->timer);
    dtls_hsm_release(hsm);
}

void dtls_hsm_timer_cb(timer *t)
{
    // The pending timer's reference passes to this call.
    dtls_hsm *hsm = container_of(t, &dtls_hsm::timer);
    dtls_sock *sock = hsm->sock;
    if (hsm->state == DTLS_HS_DISCONNECT) {
        if (!(sock->flags & DTLS_SOCK_CLOSING))
            dtls_sock_teardown(sock);
    } else if (!(sock->flags & DTLS_SOCK_CLOSING)) {
        hsm->events |= DTLS_EV_TIMER;
        dtls_hsm_step(hsm);
    }
    dtls_hsm_release(hsm);
}

void dtls_hsm_step(dtls_hsm *hsm)
{
    dtls_sock *sock = hsm->sock;
    hsm->refcount++;
    // Every pass either moves on or ends the loop; the bound only guards
    // against a table that would cycle.
    for (int pass = 0; pass < 4 * DTLS_HS_STATE_COUNT; pass++) {
        if (sock->flags & DTLS_SOCK_CLOSING)
            break;
        uint8_t next = next_state(hsm);
        if (next) {
            dtls_log(ULOG_DETAIL, &sock->peer.sa, "%sDTLS handshake entering state %s",
                     state_names[next]);
            hsm->state = next;
            if (handlers[next](hsm) < 0)
                hsm->events |= DTLS_EV_ERROR;
        }
        if (sock->flags & DTLS_SOCK_CLOSING)
            break;
        if (packet_queue_count(&hsm->flight) && !(hsm->events & DTLS_EV_ERROR) &&
            (hsm->count == 0 || (hsm->events & DTLS_EV_RESEND) || !timer_ispending(&hsm->timer)))
            send_flight(hsm);
        hsm->events &= DTLS_EV_ERROR;
        hsm->events2 &= static_cast<uint8_t>(~(DTLS_EV2_FINISHED | DTLS_EV2_CHANGE_CIPHER_SPEC |
                                               DTLS_EV2_CLIENT_KEY_EXCHANGE));
        if (!next)
            break;
    }
    dtls_hsm_release(hsm);
}

void dtls_hsm_recv(dtls_sock *sock, packet *record)
{
    dtls_hsm *hsm = dtls_hsm_acquire(sock);
    if (!hsm)
        return;
    const sockaddr *peer = &sock->peer.sa;
    packet_queue msgs;
    packet_queue_init(&msgs);
    dtls_hs_deagg(peer, record, &msgs);
    while (packet *msg = packet_queue_pop(&msgs)) {
        if (sock->flags & DTLS_SOCK_CLOSING) {
            packet_release(msg);
            continue;
        }
        packet *body = nullptr;
        int rc = dtls_hs_recv(&hsm->hs, peer, msg, &body);
        packet_release(msg);
        if (rc == -3) {
            hsm->events |= DTLS_EV_RESEND;
            dtls_hsm_step(hsm);
            continue;
        }
        if (rc < 0)
            continue;
        uint8_t type = msg_type(body);
        char num[8];
        dtls_log(ULOG_TRACE, peer, "%sReceived DTLS %s message %u bytes", hs_type_name(type, num),
                 unsigned{body->length});
        hsm->events &= static_cast<uint8_t>(~0x0f);
        switch (type) {
        case DTLS_HT_HELLO_REQUEST: hsm->events |= DTLS_EV_HELLO_REQUEST; break;
        case DTLS_HT_CLIENT_HELLO: hsm->events |= DTLS_EV_CLIENT_HELLO; break;
        case DTLS_HT_HELLO_VERIFY_REQUEST: hsm->events |= DTLS_EV_HELLO_VERIFY_REQUEST; break;
        case DTLS_HT_SERVER_HELLO_DONE: hsm->events |= DTLS_EV_SERVER_HELLO_DONE; break;
        case DTLS_HT_CLIENT_KEY_EXCHANGE: hsm->events2 |= DTLS_EV2_CLIENT_KEY_EXCHANGE; break;
        case DTLS_HT_FINISHED: hsm->events2 |= DTLS_EV2_FINISHED; break;
        default: break;
        }
        if (type == DTLS_HT_HELLO_REQUEST) {
            // It only asks; it takes no place in the flight being received.
            packet_release(body);
            if (!sock->ctx->params.allow_renegotiation || !sock->secure_reneg)
                dtls_alert_send(sock, DTLS_ALERT_NO_RENEGOTIATION, DTLS_ALERT_WARNING);
        } else {
            packet_queue_append(&hsm->recv_flight, body);
        }
        dtls_hsm_step(hsm);
    }
    dtls_hsm_release(hsm);
}

void dtls_hsm_recv_ccs(dtls_sock *sock, packet *record)
{
    if (record->length != 1 || record->data[0] != 1) {
        dtls_log(ULOG_DEBUG, &sock->peer.sa, "%sDropping bad DTLS ChangeCipherSpec %u bytes",
                 unsigned{record->length});
        return;
    }
    dtls_hsm *hsm = dtls_hsm_acquire(sock);
    if (!hsm)
        return;
    hsm->events2 |= DTLS_EV2_CHANGE_CIPHER_SPEC;
    dtls_hsm_step(hsm);
    dtls_hsm_release(hsm);
}

void dtls_alert_recv(dtls_sock *sock, packet *record)
{
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = &sock->peer.sa;
    if (record->length < 2) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping short DTLS alert message %u bytes",
                 unsigned{record->length});
        return;
    }
    uint8_t level = record->data[0], code = record->data[1];
    if (level != DTLS_ALERT_WARNING && level != DTLS_ALERT_FATAL) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping bad DTLS alert message %u bytes level %u",
                 unsigned{record->length}, unsigned{level});
        return;
    }
    dtls_hsm *hsm = dtls_hsm_acquire(sock);
    if (!hsm)
        return;
    const char *level_name = level == DTLS_ALERT_FATAL ? "fatal" : "warning";
    if (code == DTLS_ALERT_CLOSE_NOTIFY)
        dtls_log(ULOG_DETAIL, peer, "%sReceived DTLS alert %s", dtls_alert_name(code));
    else if (code <= 110)
        dtls_log(ULOG_DEBUG, peer, "%sReceived DTLS %s alert %s", level_name,
                 dtls_alert_name(code));
    else
        dtls_log(ULOG_DEBUG, peer, "%sReceived unknown DTLS %s alert %u", level_name,
                 unsigned{code});
    // A peer that could not authenticate our handshake tells us so: the same
    // mismatch our own give-up reports.
    if (level == DTLS_ALERT_FATAL && code == DTLS_ALERT_DECRYPT_ERROR &&
        !(sock->flags & DTLS_SOCK_CONNECTED))
        dtls_log(ULOG_ERROR, peer,
                 "%sDTLS handshake failed: the keys did not match (wrong key or identity?)");
    // Standard peers close with a warning-level Close Notify.
    if (level == DTLS_ALERT_FATAL || code == DTLS_ALERT_CLOSE_NOTIFY) {
        hsm->events |= DTLS_EV_ERROR;
        if (sock->flags & DTLS_SOCK_KNOWN_TO_HOST) {
            sock->flags &= static_cast<uint8_t>(~DTLS_SOCK_KNOWN_TO_HOST);
            ctx->ops.close_cb(ctx->user, sock, code);
        }
    } else if (ctx->ops.alert_cb && (sock->flags & DTLS_SOCK_KNOWN_TO_HOST)) {
        ctx->ops.alert_cb(ctx->user, sock, code);
    }
    dtls_hsm_step(hsm);
    dtls_hsm_release(hsm);
}

void dtls_alert_send(dtls_sock *sock, uint8_t description, uint8_t level)
{
    alert_send(sock, dtls_sock_write_side(sock), description, level);
}

void dtls_hsm_bad_record(dtls_hsm *hsm)
{
    if (hsm && hsm->bad_records < UINT8_MAX)
        hsm->bad_records++;
}

namespace {

void alert_send(dtls_sock *sock, dtls_security_context *side, uint8_t description, uint8_t level)
{
    dtls_ctx *ctx = sock->ctx;
    const sockaddr *peer = &sock->peer.sa;
    packet *p = packet_alloc(ctx->pool, 2);
    if (!p) {
        dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        return;
    }
    p->data[0] = level;
    p->data[1] = description;
    dtls_log(ULOG_DETAIL, peer, "%sSending DTLS %s alert %s",
             level == DTLS_ALERT_FATAL ? "fatal" : "warning", dtls_alert_name(description));
    if (dtls_rec_send(side, peer, p, DTLS_CT_ALERT) == 0)
        ctx->ops.send_cb(ctx->user, p, peer);
    packet_release(p);
}

} // namespace

int dtls_select_cipher(dtls_hsm *hsm, const uint8_t *ids, size_t length, uint8_t allowed)
{
    const sockaddr *peer = peer_of(hsm);
    if (hsm->suite)
        return -1; // one suite per handshake
    for (size_t i = 1; i < DTLS_SUITE_COUNT; i++) {
        const dtls_cipher_suite &s = dtls_cipher_suites[i];
        if (!(allowed & s.key_exchange))
            continue;
        for (size_t j = 0; j + 1 < length; j += 2) {
            if (dtls_get_u16(ids + j) != s.id)
                continue;
            hsm->suite = &s;
            hsm->params = s.params;
            hsm->params.entity = hsm->sock->entity;
            hsm->pending.params = &s.params;
            hsm->pending.cipher = s.cipher;
            hsm->pending.mac = s.mac;
            dtls_log(ULOG_DETAIL, peer, "%sInitializing epoch %u using cipher suite %#04x %s",
                     unsigned{hsm->pending.epoch}, unsigned{s.id}, s.name);
            return 0;
        }
    }
    dtls_log(ULOG_DEBUG, peer, "%sNo supported cipher suites found");
    return -1;
}

void dtls_make_cookie(const dtls_ctx *ctx, const sockaddr *peer, const uint8_t *body,
                      size_t cookie_at, size_t suites_at, size_t length, uint32_t period_offset,
                      uint8_t out[20])
{
    hmac_sha1_ctx h = ctx->cookie_mac;
    if (peer->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(peer);
        hmac_sha1_update(&h, &in->sin_addr, 4);
        hmac_sha1_update(&h, &in->sin_port, 2);
    } else {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(peer);
        hmac_sha1_update(&h, &in6->sin6_addr, 16);
        hmac_sha1_update(&h, &in6->sin6_port, 2);
    }
    hmac_sha1_update(&h, body, cookie_at);
    hmac_sha1_update(&h, body + suites_at, length - suites_at);
    uint32_t period_length = ctx->params.cookie_period ? ctx->params.cookie_period : 1;
    uint32_t period = clock_sec() / period_length - period_offset;
    uint8_t be[4] = {uint8_t(period >> 24), uint8_t(period >> 16), uint8_t(period >> 8),
                     uint8_t(period)};
    hmac_sha1_update(&h, be, 4);
    hmac_sha1_final(&h, out);
}

namespace {

bool same_host(const sockaddr *a, const sockaddr *b)
{
    if (a->sa_family != b->sa_family)
        return false;
    if (a->sa_family == AF_INET)
        return memcmp(&reinterpret_cast<const sockaddr_in *>(a)->sin_addr,
                      &reinterpret_cast<const sockaddr_in *>(b)->sin_addr, sizeof(in_addr)) == 0;
    return memcmp(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr,
                  &reinterpret_cast<const sockaddr_in6 *>(b)->sin6_addr, sizeof(in6_addr)) == 0;
}

// Lets a source address hold at most DTLS_MAX_HANDSHAKING_PER_SOURCE server
// handshakes by closing its oldest. One walk over at most
// DTLS_MAX_HANDSHAKING sockets, for ClientHellos whose cookie checked out.
void make_room_for_source(dtls_ctx *ctx, const sockaddr *peer)
{
    dtls_sock *oldest = nullptr;
    uint32_t count = 0;
    for (dtls_sock *s : list_records<&dtls_sock::by_age>(&ctx->handshaking_servers)) {
        if (!same_host(&s->peer.sa, peer))
            continue;
        if (!oldest)
            oldest = s;
        count++;
    }
    if (count < DTLS_MAX_HANDSHAKING_PER_SOURCE)
        return;
    dtls_log(ULOG_DEBUG, &oldest->peer.sa,
             "%sClosing oldest handshaking DTLS socket of its address - too many handshakes");
    dtls_sock_teardown(oldest);
}

} // namespace

dtls_sock *dtls_recv_anon(dtls_ctx *ctx, packet *msg, const sockaddr *peer)
{
    uint8_t content_type, type;
    uint32_t record_seq;
    uint16_t message_seq;
    if (dtls_rec_peek(peer, msg, &content_type, &record_seq) < 0 ||
        content_type != DTLS_CT_HANDSHAKE)
        return nullptr;
    if (dtls_hs_peek(peer, msg, &type, &message_seq) < 0 || type != DTLS_HT_CLIENT_HELLO)
        return nullptr;
    client_hello ch;
    if (parse_client_hello(peer, msg->data, msg->length, &ch) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sMalformed cookie in DTLS ClientHello");
        return nullptr;
    }
    uint8_t cookie[20];
    if (ch.cookie[0] == 0) {
        dtls_make_cookie(ctx, peer, msg->data, ch.cookie_at, ch.suites_at, msg->length, 0, cookie);
        packet *hvr = dtls_make_hs_message(ctx->pool, 3 + sizeof cookie);
        if (!hvr)
            return nullptr;
        memcpy(hvr->data, DTLS_VERSION_1_2, 2);
        hvr->data[2] = sizeof cookie;
        memcpy(hvr->data + 3, cookie, sizeof cookie);
        if (dtls_hs_stateless_reply(peer, hvr, DTLS_HT_HELLO_VERIFY_REQUEST, message_seq) == 0 &&
            dtls_rec_stateless_encap(peer, hvr, DTLS_CT_HANDSHAKE, record_seq) == 0) {
            dtls_log(ULOG_TRACE, peer, "%sSending HelloVerifyRequest");
            ctx->ops.send_cb(ctx->user, hvr, peer);
        }
        packet_release(hvr);
        return nullptr;
    }
    bool valid = false;
    if (ch.cookie[0] == sizeof cookie) {
        for (uint32_t offset = 0; offset < 2 && !valid; offset++) {
            dtls_make_cookie(ctx, peer, msg->data, ch.cookie_at, ch.suites_at, msg->length, offset,
                             cookie);
            valid = secure_compare(cookie, ch.cookie + 1, sizeof cookie) == 0;
        }
    }
    if (!valid) {
        dtls_log(ULOG_DEBUG, peer, "%sInvalid cookie in DTLS ClientHello");
        return nullptr;
    }
    if (dtls_sock *old = dtls_sock_lookup(ctx->handshaking, peer)) {
        dtls_hsm *hsm = old->handshake;
        if (dtls_sock_read_side(old)->epoch == 1 && hsm &&
            memcmp(hsm->client_random, ch.random, DTLS_RANDOM_SIZE) == 0) {
            dtls_log(ULOG_DETAIL, peer, "%sIgnoring replayed DTLS ClientHello");
            return nullptr;
        }
        dtls_log(ULOG_DETAIL, peer, "%sClosing stale handshaking DTLS socket");
        if (!(old->flags & DTLS_SOCK_CONNECTED))
            dtls_sock_teardown(old);
        else
            return nullptr;
    }
    make_room_for_source(ctx, peer);
    if (ctx->server_handshaking >= DTLS_MAX_HANDSHAKING) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping DTLS ClientHello - too many handshakes in progress");
        return nullptr;
    }
    dtls_log(ULOG_DETAIL, peer, "%sClientHello cookie verified - creating socket");
    return dtls_sock_create(ctx, peer, DTLS_SERVER, nullptr, nullptr);
}
