// The DTLS 1.2 handshake of one socket, as client or server: the suites,
// flights and their retransmission, the stateless cookie exchange, lingering
// and alerts. Used by the engine interface only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crypto/sha256.h"
#include "controller/dtls/dtls.h"
#include "controller/dtls/dtls_hs.h"

struct rsa_key;

enum : uint8_t {
    DTLS_KX_NONE = 0,
    DTLS_KX_RSA = 1,
    DTLS_KX_PSK = 2,
};

struct dtls_cipher_suite {
    uint16_t id;
    char name[35];
    uint8_t key_exchange;
    dtls_security_parameters params;
    const dtls_cipher_ops *cipher;
    const dtls_mac_ops *mac;
};

inline constexpr size_t DTLS_SUITE_COUNT = 5; // row 0 is the null suite
extern const dtls_cipher_suite dtls_cipher_suites[DTLS_SUITE_COUNT];

// Alert levels and the codes the engine sends or names.
enum : uint8_t {
    DTLS_ALERT_WARNING = 1,
    DTLS_ALERT_FATAL = 2,
};
enum : uint8_t {
    DTLS_ALERT_CLOSE_NOTIFY = 0,
    DTLS_ALERT_UNEXPECTED_MESSAGE = 10,
    DTLS_ALERT_HANDSHAKE_FAILURE = 40,
    DTLS_ALERT_BAD_CERTIFICATE = 42,
    DTLS_ALERT_UNSUPPORTED_CERTIFICATE = 43,
    DTLS_ALERT_ILLEGAL_PARAMETER = 47,
    DTLS_ALERT_DECRYPT_ERROR = 51,
    DTLS_ALERT_PROTOCOL_VERSION = 70,
    DTLS_ALERT_INTERNAL_ERROR = 80,
    DTLS_ALERT_NO_RENEGOTIATION = 100,
    DTLS_ALERT_UNSUPPORTED_EXTENSION = 110,
};
const char *dtls_alert_name(unsigned code);

// Handshake states; 0 is no state yet.
enum : uint8_t {
    DTLS_HS_NONE = 0,
    DTLS_HS_MAKE_HELLO_REQUEST,
    DTLS_HS_MAKE_CLIENT_HELLO,
    DTLS_HS_WAIT_CLIENT_HELLO,
    DTLS_HS_MAKE_SERVER_HELLO,
    DTLS_HS_WAIT_SERVER_HELLO,
    DTLS_HS_WAIT_CLIENT_KEY_EXCHANGE,
    DTLS_HS_CLIENT_KEY_EXCHANGE,
    DTLS_HS_WAIT_CHANGE_CIPHER_SPEC,
    DTLS_HS_CHANGE_CIPHER_SPEC,
    DTLS_HS_MAKE_CLIENT_FINISHED,
    DTLS_HS_WAIT_CLIENT_FINISHED,
    DTLS_HS_MAKE_SERVER_FINISHED,
    DTLS_HS_WAIT_SERVER_FINISHED,
    DTLS_HS_CONNECTED,
    DTLS_HS_DONE,
    DTLS_HS_TIMEOUT,
    DTLS_HS_DISCONNECT,
    DTLS_HS_STATE_COUNT,
};
const char *dtls_hsm_state_name(unsigned state);

// Event flags, first byte.
enum : uint8_t {
    DTLS_EV_SERVER_HELLO_DONE = 0x01,
    DTLS_EV_HELLO_VERIFY_REQUEST = 0x02,
    DTLS_EV_CLIENT_HELLO = 0x04,
    DTLS_EV_HELLO_REQUEST = 0x08,
    DTLS_EV_RESTART = 0x10,
    DTLS_EV_ERROR = 0x20,
    DTLS_EV_RESEND = 0x40,
    DTLS_EV_TIMER = 0x80,
};
// Event flags, second byte.
enum : uint8_t {
    DTLS_EV2_FINISHED = 0x20,
    DTLS_EV2_CHANGE_CIPHER_SPEC = 0x40,
    DTLS_EV2_CLIENT_KEY_EXCHANGE = 0x80,
};

inline constexpr size_t DTLS_MAX_COOKIE = 255;

struct dtls_hsm {
    const dtls_cipher_suite *suite;
    dtls_security_parameters params;
    uint8_t master[DTLS_MASTER_SECRET_SIZE];
    uint8_t client_random[DTLS_RANDOM_SIZE];
    uint8_t server_random[DTLS_RANDOM_SIZE];
    dtls_sock *sock;
    dtls_security_context pending;
    uint8_t offered_version[2];
    dtls_hs_state hs;
    sha256_ctx hash;
    rsa_key *server_key; // the key a client was presented
    packet_queue flight;
    packet_queue recv_flight;
    packet_queue send_queue; // application data held until the handshake ends
    uint8_t state;
    uint32_t refcount;
    ::timer timer;
    uint8_t expected_finished[DTLS_FINISHED_SIZE];
    uint8_t own_finished[DTLS_FINISHED_SIZE];
    uint8_t count; // transmissions of the current flight
    uint32_t flight_start; // clock_msec of the flight's first transmission
    uint8_t events;
    uint8_t events2;
    uint8_t have_random; // a client keeps its random across a HelloVerifyRequest
    uint8_t cookie_length;
    uint8_t cookie[DTLS_MAX_COOKIE];
    // How the client asked for the raw public key: 19 with one byte, or the
    // RFC 7250 list under 20; the server answers in the same form.
    uint16_t rpk_ext_type;
    uint8_t reneg_offered; // the peer sent the SCSV or renegotiation_info
    uint32_t linger_end;   // clock_msec when a server's lingering ends
    // The peer's records in the new epoch that failed authentication: it has
    // keys, but not ours.
    uint8_t bad_records;
};

// Takes a reference on the socket's handshake context, creating it on first
// need; null (after a fatal Internal Error) when memory runs out.
dtls_hsm *dtls_hsm_acquire(dtls_sock *sock);
void dtls_hsm_release(dtls_hsm *hsm);
void dtls_hsm_step(dtls_hsm *hsm);
void dtls_hsm_timer_cb(timer *t);
// Arms the handshake timer, which holds a reference while pending.
void dtls_hsm_timer_start(dtls_hsm *hsm, uint32_t msec);
void dtls_hsm_timer_stop(dtls_hsm *hsm);

// The records of one datagram's handshake, ChangeCipherSpec and alert types.
void dtls_hsm_recv(dtls_sock *sock, packet *record);
void dtls_hsm_recv_ccs(dtls_sock *sock, packet *record);
void dtls_alert_recv(dtls_sock *sock, packet *record);
void dtls_alert_send(dtls_sock *sock, uint8_t description, uint8_t level);
// A record of the peer's new epoch failed authentication during the handshake.
void dtls_hsm_bad_record(dtls_hsm *hsm);

// Picks the first suite of the table whose key exchange is allowed and whose
// id is offered; 0 or -1.
int dtls_select_cipher(dtls_hsm *hsm, const uint8_t *ids, size_t length, uint8_t allowed);

// The stateless cookie exchange for an epoch-0 handshake datagram without a
// handshaking socket: the new server socket when the ClientHello carries a
// valid cookie, else null (a HelloVerifyRequest may have been sent).
dtls_sock *dtls_recv_anon(dtls_ctx *ctx, packet *msg, const sockaddr *peer);
// HMAC-SHA1 cookie over the peer and the ClientHello without its cookie.
void dtls_make_cookie(const dtls_ctx *ctx, const sockaddr *peer, const uint8_t *body,
                      size_t cookie_at, size_t suites_at, size_t length, uint32_t period_offset,
                      uint8_t out[20]);
