// DTLS 1.2 records: the 13-byte header, per-epoch 48-bit send sequence
// numbers that never wrap, the 64-record replay window (applied only to
// authenticated records), splitting datagrams into parts and joining queued
// records into datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "common/packet.h"
#include "controller/dtls/dtls_aes_ccm.h"
#include "controller/dtls/dtls_util.h"

inline constexpr uint32_t DTLS_SEQ_HI_LIMIT = 0x10000; // 2^48 in the high word

// The read and write states of one epoch. The caller zero-fills it and sets
// params (the null suite's before a suite is chosen), entity, epoch and mtu.
struct dtls_security_context {
    const dtls_security_parameters *params;
    const dtls_cipher_ops *cipher; // null for the null suite
    const dtls_mac_ops *mac;       // null for every supported suite
    uint8_t version[2];            // 00 00 until negotiated
    uint8_t entity;                // DTLS_SERVER or DTLS_CLIENT
    dtls_cipher_state client_write;
    dtls_cipher_state server_write;
    dtls_key_block keys;
    uint32_t send_seq_hi; // next record's sequence number
    uint32_t send_seq_lo;
    uint32_t recv_seq_hi; // highest authenticated sequence number
    uint32_t recv_seq_lo;
    uint64_t replay_bitmap; // bit i: record recv_seq - i was received
    uint16_t epoch;
    uint16_t mtu; // payload MTU
};

// Packet metadata bytes that the engine uses.
enum : size_t {
    DTLS_META_CONTENT_TYPE = 0,  // record content type
    DTLS_META_PENDING_WRITE = 1, // non-zero: send with the pending write context
    DTLS_META_MSG_TYPE = 2,      // handshake message type
};
inline uint8_t dtls_meta_get(const packet *p, size_t which)
{
    return p->meta[which];
}
inline void dtls_meta_set(packet *p, size_t which, uint8_t value)
{
    p->meta[which] = value;
}

// Initialises the cipher state of one writer's direction (DTLS_CLIENT or
// DTLS_SERVER) from the key block.
void dtls_rec_init_cipher(dtls_security_context *ctx, uint8_t writer);
// Wipes both cipher states and the key block.
void dtls_rec_free_ciphers(dtls_security_context *ctx);

// Protects the packet's data in place as one record of the type; 0 or -1.
int dtls_rec_send(dtls_security_context *side, const sockaddr *peer, packet *msg,
                  uint8_t content_type);

// Checks one record (the packet starts at its header and holds exactly it):
// 0 with the plaintext left in the packet and the content type in its
// metadata; -1 bad header, -2 too short or failed authentication, -3
// replayed or outside the window.
int dtls_rec_recv(dtls_security_context *side, const sockaddr *peer, packet *record);

// The window step alone, for an authenticated record: 0 or -3.
int dtls_rec_replay_check(dtls_security_context *side, const sockaddr *peer, uint32_t seq_hi,
                          uint32_t seq_lo, size_t length);

// Length of the part that follows a header.
using dtls_part_length_fn = size_t (*)(const uint8_t *header);
size_t dtls_rec_part_length(const uint8_t *header);

// Splits a buffer into parts appended to out in order: copies for all but a
// part that ends the buffer, which is the packet itself (out takes a new
// reference; the caller keeps its own). A short remainder is dropped with a
// log; returns the number of parts appended.
size_t dtls_gen_deagg(const sockaddr *peer, packet *msg, packet_queue *out,
                      dtls_part_length_fn part_length, size_t header_size, const char *name);

// Joins records from the front of the queue into one datagram of at most mtu
// bytes (a record longer than mtu goes alone). Null when the queue is empty
// or the allocation failed (the records taken are then released).
packet *dtls_gen_enagg(const sockaddr *peer, packet_queue *queue, size_t mtu, const char *name);

// Stateless forms for the cookie exchange: validate the first record of a
// datagram as epoch 0 without state and strip its header (0 or -1); write an
// epoch-0 header with version FE FD (0, or -1 without head room).
int dtls_rec_peek(const sockaddr *peer, packet *msg, uint8_t *content_type, uint32_t *sequence);
int dtls_rec_stateless_encap(const sockaddr *peer, packet *msg, uint8_t content_type,
                             uint32_t sequence);
