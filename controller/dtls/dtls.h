// The DTLS 1.2 engine: one context per host, one socket per peer address.
// It owns no socket and no timer: the host feeds it datagrams, transmits what
// it hands to send_cb and runs its timers through the two timer callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/crypto/hmac.h"
#include "common/hashtable.h"
#include "common/list.h"
#include "common/packet.h"
#include "common/timer.h"
#include "controller/dtls/dtls_rec.h"
#include "controller/dtls/dtls_util.h"

struct rsa_key;
struct dtls_ctx;
struct dtls_sock;
struct dtls_hsm;

struct dtls_params {
    uint32_t cookie_period;       // seconds; the current and the previous period are accepted
    uint32_t retransmit_interval; // seconds to the first resend of a flight; then doubling
    uint32_t linger_time;         // seconds a server keeps its final flight after connecting
    uint32_t retransmit_limit;    // sends of one flight beyond which the handshake times out
    uint8_t allow_renegotiation;
};

inline constexpr dtls_params dtls_default_params = {300, 1, 120, 10, 0};

// Host callbacks; the host's user pointer comes first.
struct dtls_ops {
    void (*accept_cb)(void *user, dtls_sock *sock); // may be null
    void (*connect_cb)(void *user, dtls_sock *sock);
    // The engine keeps its reference to the plaintext and drops it after the call.
    void (*recv_cb)(void *user, dtls_sock *sock, packet *msg);
    // One datagram; the host takes its own reference to keep it.
    int (*send_cb)(void *user, packet *msg, const sockaddr *peer);
    // Once per socket known to the host, never after dtls_close.
    void (*close_cb)(void *user, dtls_sock *sock, int alert);
    void (*alert_cb)(void *user, dtls_sock *sock, int alert); // may be null
    // Server role: the key of a client identity (length, at most size), or < 0.
    int (*psk_cb)(void *user, const char *identity, uint8_t *key, size_t size);
    // The host calls callback(t) when the timer fires and keeps t's pending
    // flag current.
    void (*timer_start_cb)(void *user, timer *t, uint32_t msec, timer_fn callback);
    void (*timer_stop_cb)(void *user, timer *t);
};

// A server key pinned by the SHA-256 fingerprint of its public key; bits 0
// accepts any key. After a handshake the fingerprint is the presented key's.
struct dtls_rsa_pin {
    uint8_t fingerprint[32];
    uint32_t bits;
};

struct dtls_psk {
    char identity[129]; // NUL-terminated; at most 128 characters are used
    uint8_t key[DTLS_PSK_MAX];
    uint32_t key_length;
};

// Socket flags.
enum : uint8_t {
    DTLS_SOCK_HAS_PSK = 0x02,
    DTLS_SOCK_HAS_RSA = 0x04,
    DTLS_SOCK_CLOSING = 0x08,
    DTLS_SOCK_CONNECTED = 0x10,
    DTLS_SOCK_KNOWN_TO_HOST = 0x20,
    DTLS_SOCK_SEND_SPEC = 0x40, // the write side uses the handshake's pending context
    DTLS_SOCK_RECV_SPEC = 0x80, // the read side does
};

// Peer address as stored and hashed: the first 16 (IPv4) or 28 bytes are used.
union dtls_addr {
    sockaddr sa;
    sockaddr_in in;
    sockaddr_in6 in6;
};

struct dtls_sock {
    dtls_ctx *ctx;
    dtls_security_context context;
    dtls_hsm *handshake; // null while no handshake runs
    dtls_addr peer;
    hashlink link;      // in a socket table while alive
    list_link dead;     // on the context's dead list after teardown
    list_link by_age;   // a server socket on the context's handshaking list
    uint8_t flags;      // DTLS_SOCK_*
    uint8_t hs_state;   // the handshake's last state, kept between handshake contexts
    uint8_t entity;     // DTLS_SERVER or DTLS_CLIENT
    dtls_rsa_pin *rsa;  // when has_rsa
    dtls_psk *psk;      // when has_psk
    // Verify data of the last finished handshake, for secure renegotiation.
    uint8_t client_verify[DTLS_FINISHED_SIZE];
    uint8_t server_verify[DTLS_FINISHED_SIZE];
    uint8_t secure_reneg; // the peer signalled RFC 5746 support
    // The host's user area follows, then the optional records.
};

// Server sockets still handshaking are capped, so that a flood of clients
// with valid cookies cannot take all memory; one source address holds at
// most a few of the places, so that its flood cannot lock others out.
inline constexpr uint32_t DTLS_MAX_HANDSHAKING = 1024;
inline constexpr uint32_t DTLS_MAX_HANDSHAKING_PER_SOURCE = 32;

// Resends of a flight wait retransmit_interval, then twice as long, and no
// longer (RFC 6347 4.2.4.1 doubles further): a peer whose own timer restarts
// on each of our resends gets room to resend, while eight sends still fit
// before the flight is given up DTLS_GIVE_UP_INTERVALS intervals after it was
// first sent (15 s with the defaults), or when it went out more than
// retransmit_limit times. The host fails over on the close, so it must not
// come late; a longer cap would leave fewer sends to beat loss.
inline constexpr uint32_t DTLS_RETRANSMIT_MAX_INTERVALS = 2;
inline constexpr uint32_t DTLS_GIVE_UP_INTERVALS = 15;

struct dtls_ctx {
    dtls_params params;
    dtls_ops ops;
    list_link dead;    // torn-down sockets, freed by the reap timer
    timer reap_timer;
    mempool *pool;     // every message of the engine comes from it
    hashtable *handshaking;
    hashtable *established;
    rsa_key *server_key;
    uint8_t *scratch; // modulus-sized, for the server's RSA decryption
    uint8_t cookie_secret[20];
    hmac_sha1_ctx cookie_mac; // keyed with cookie_secret once, copied per ClientHello
    void *user;
    size_t user_size; // rounded up to a multiple of 4
    size_t mtu;       // path MTU; the payload MTU depends on the peer's family
    uint32_t server_handshaking; // server sockets in the handshaking table
    list_link handshaking_servers; // the same sockets, oldest first
};

// One-time check of the suite table; fatal when it breaks the record sizes.
void dtls_init();

// Null params selects dtls_default_params. Packets of the pool need at least
// dtls_headroom bytes of head room and dtls_tailroom of tail room.
dtls_ctx *dtls_ctx_create(const dtls_ops *ops, void *user, size_t user_size, size_t mtu,
                          const dtls_params *params, mempool *pool);
// Tears every socket down (close_cb runs for the host's) and frees them.
void dtls_ctx_destroy(dtls_ctx *ctx);
int dtls_set_mtu(dtls_ctx *ctx, size_t mtu);
// Installs the server's RSA key (the context takes a reference; null removes
// it). 0, or -1 when memory runs out or the key has no private part.
int dtls_set_server_key(dtls_ctx *ctx, rsa_key *key);

// A client socket: RSA with a pin (at least 64 bits), PSK, or both; neither
// runs RSA accepting any server key. The handshake starts from a 0 ms timer.
dtls_sock *dtls_connect(dtls_ctx *ctx, const sockaddr *peer, const dtls_rsa_pin *rsa_pin,
                        const dtls_psk *psk);
void dtls_close(dtls_sock *sock);
// One received datagram; the caller keeps its reference, but the data may
// have been changed in place.
void dtls_recv(dtls_ctx *ctx, packet *msg, const sockaddr *peer);
// Payload length when sent, 0 when queued until the handshake ends, or -1.
int dtls_send(dtls_sock *sock, packet *msg);
bool dtls_sock_is_connected(const dtls_sock *sock);
const dtls_rsa_pin *dtls_sock_peer_key(const dtls_sock *sock);
const sockaddr *dtls_sock_peer(const dtls_sock *sock);
void *dtls_sock_user(dtls_sock *sock);
// The negotiated suite's name, or null before a suite is in use.
const char *dtls_sock_cipher(const dtls_sock *sock);
