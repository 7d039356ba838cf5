// DTLS handshake messages: the 12-byte header and message_seq, the running
// handshake hash, fragmentation to the record size, and bounded in-order
// reassembly with overlaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "common/crypto/sha256.h"
#include "common/packet.h"
#include "controller/dtls/dtls_util.h"

inline constexpr size_t DTLS_HS_HEADER_SIZE = 12;
// Reassembly limits: no message of this engine comes near them, and a peer
// that declares more cannot make us hold pool buffers for it.
inline constexpr size_t DTLS_HS_MAX_MESSAGE = 8192;
inline constexpr uint32_t DTLS_HS_MAX_FRAGMENTS = 32;
// At most one flight resend per interval is asked for on repeated messages.
inline constexpr uint32_t DTLS_HS_RESEND_INTERVAL_MS = 500;

// Handshake message types.
enum : uint8_t {
    DTLS_HT_HELLO_REQUEST = 0,
    DTLS_HT_CLIENT_HELLO = 1,
    DTLS_HT_SERVER_HELLO = 2,
    DTLS_HT_HELLO_VERIFY_REQUEST = 3,
    DTLS_HT_CERTIFICATE = 11,
    DTLS_HT_SERVER_KEY_EXCHANGE = 12,
    DTLS_HT_CERTIFICATE_REQUEST = 13,
    DTLS_HT_SERVER_HELLO_DONE = 14,
    DTLS_HT_CERTIFICATE_VERIFY = 15,
    DTLS_HT_CLIENT_KEY_EXCHANGE = 16,
    DTLS_HT_FINISHED = 20,
};

// The message layer's part of a handshake context.
struct dtls_hs_state {
    uint16_t send_seq; // next message_seq to send
    uint16_t recv_seq; // next message_seq expected; 0: none yet
    uint16_t fragment_payload; // largest record payload for one fragment, header included
    packet_queue reassembly;   // fragments of one message, in arrival order
    sha256_ctx *hash;          // running hash of the handshake messages
    uint32_t resend_msec;      // when a resend was last asked for
    bool resend_asked;
};

void dtls_hs_init(dtls_hs_state *state, sha256_ctx *hash, uint16_t fragment_payload);
// Releases the queued fragments.
void dtls_hs_fini(dtls_hs_state *state);
// The largest fragment payload for a write side: payload MTU less the
// explicit nonce, the tag and the record header.
uint16_t dtls_hs_fragment_payload(uint16_t payload_mtu, const dtls_security_parameters *params);

// A packet for a body of body_length bytes, with 12 bytes reserved in front
// for the header; null after "%sOut of buffer space".
packet *dtls_make_hs_message(mempool *pool, size_t body_length);

// A Finished body (verify data of the endpoint's own label, with head room
// for its header); null after "%sOut of buffer space".
packet *dtls_make_finished(mempool *pool, const sha256_ctx *hash,
                           const uint8_t master[DTLS_MASTER_SECRET_SIZE], bool server_label);
// A ChangeCipherSpec body (01), which is a record of its own, not a handshake
// message; null after "%sOut of buffer space".
packet *dtls_make_ccs(mempool *pool, const sockaddr *peer);

// Frames a message (its data is the body) and appends it, or its fragments,
// to the flight with references of the flight's own. 0 or -1.
int dtls_hs_send(dtls_hs_state *state, const sockaddr *peer, packet *message, uint8_t msg_type,
                 bool pending_write, packet_queue *flight);

// Splits a handshake record into messages (see dtls_gen_deagg).
size_t dtls_hs_deagg(const sockaddr *peer, packet *record, packet_queue *out);

// Takes one handshake message or fragment (the caller keeps its reference).
// 0 with *out holding a reference to the whole message body (its type in the
// metadata); -3 for a message older than expected when a resend is due; -1
// otherwise (dropped, queued for reassembly, or a resend not yet due).
int dtls_hs_recv(dtls_hs_state *state, const sockaddr *peer, packet *msg, packet **out);

// Stateless check of a ClientHello record body: 0 with the header stripped,
// the type and message_seq out; -1 for a short, fragmented or aggregated one.
int dtls_hs_peek(const sockaddr *peer, packet *msg, uint8_t *type, uint16_t *message_seq);
// Prepends the header of an unfragmented message with the given message_seq;
// 0, or -1 without head room.
int dtls_hs_stateless_reply(const sockaddr *peer, packet *msg, uint8_t msg_type,
                            uint16_t message_seq);
