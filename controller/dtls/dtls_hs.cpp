#include "controller/dtls/dtls_hs.h"

#include <cstring>

#include "common/fatal.h"
#include "common/timer.h"
#include "controller/dtls/dtls_rec.h"

namespace {

// Header fields.
struct hs_header {
    uint8_t type;
    uint32_t length;
    uint16_t seq;
    uint32_t offset;
    uint32_t fragment_length;
};

hs_header hs_read(const uint8_t *p)
{
    return {p[0], dtls_get_u24(p + 1), dtls_get_u16(p + 4), dtls_get_u24(p + 6),
            dtls_get_u24(p + 9)};
}

void hs_write(uint8_t *p, uint8_t type, uint32_t length, uint16_t seq, uint32_t offset,
              uint32_t fragment_length)
{
    p[0] = type;
    dtls_put_u24(p + 1, length);
    dtls_put_u16(p + 4, seq);
    dtls_put_u24(p + 6, offset);
    dtls_put_u24(p + 9, fragment_length);
}

bool hs_hashed(uint8_t type)
{
    return type != DTLS_HT_HELLO_REQUEST && type != DTLS_HT_HELLO_VERIFY_REQUEST;
}

size_t hs_part_length(const uint8_t *header)
{
    return dtls_get_u24(header + 9);
}

// Prepends a whole-message header; 0 or -1.
int dtls_hs_encap(const sockaddr *peer, packet *msg, uint8_t type, uint16_t seq)
{
    size_t headroom = packet_headroom(msg);
    if (headroom < DTLS_HS_HEADER_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sInsufficient headroom %zu bytes", headroom);
        return -1;
    }
    size_t length = msg->length;
    uint8_t *p = packet_push(msg, DTLS_HS_HEADER_SIZE);
    hs_write(p, type, static_cast<uint32_t>(length), seq, 0, static_cast<uint32_t>(length));
    return 0;
}

// A whole message with a header that agrees with itself: 0 or -1.
int dtls_hs_check(const sockaddr *peer, const packet *msg)
{
    if (msg->length < DTLS_HS_HEADER_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping short DTLS handshake message %u bytes",
                 unsigned(msg->length));
        return -1;
    }
    hs_header h = hs_read(msg->data);
    if (h.offset != 0 || h.fragment_length != h.length ||
        h.length + DTLS_HS_HEADER_SIZE != msg->length) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping malformed DTLS handshake message %u bytes",
                 unsigned(msg->length));
        return -1;
    }
    return 0;
}

void dtls_hs_decap(packet *msg)
{
    uint8_t type = msg->data[0];
    packet_pull(msg, DTLS_HS_HEADER_SIZE);
    dtls_meta_set(msg, DTLS_META_MSG_TYPE, type);
    dtls_meta_set(msg, DTLS_META_CONTENT_TYPE, DTLS_CT_HANDSHAKE);
}

// A message older than the one expected means the peer repeats a flight;
// answering each copy with a whole flight of ours would let anyone who
// sees the handshake multiply traffic, so resends are spaced.
int older_message(dtls_hs_state *state, const sockaddr *peer, uint16_t seq)
{
    dtls_log(ULOG_DEBUG, peer, "%sDropping out-of-sequence DTLS handshake message #%04x",
             unsigned(seq));
    uint32_t now = clock_msec();
    if (state->resend_asked && now - state->resend_msec < DTLS_HS_RESEND_INTERVAL_MS)
        return -1;
    state->resend_asked = true;
    state->resend_msec = now;
    return -3;
}

// Where a message_seq stands against the expected one: 0 expected (or none
// expected yet), -1 newer, -3/-1 older.
int seq_check(dtls_hs_state *state, const sockaddr *peer, uint16_t seq)
{
    if (state->recv_seq == 0 || seq == state->recv_seq)
        return 0;
    if (seq < state->recv_seq)
        return older_message(state, peer, seq);
    dtls_log(ULOG_DEBUG, peer, "%sDropping out-of-sequence DTLS handshake message #%04x",
             unsigned(seq));
    return -1;
}

// Reassembly: 0 with *whole holding a reference to a whole message, -1 when
// dropped or waiting for more, -3 for an older message whose resend is due.
int dtls_hs_defrag(dtls_hs_state *state, const sockaddr *peer, packet *msg, packet **whole)
{
    *whole = nullptr;
    size_t length = msg->length;
    if (length < DTLS_HS_HEADER_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding short DTLS handshake message %u bytes",
                 unsigned(length));
        return -1;
    }
    hs_header h = hs_read(msg->data);
    if (h.fragment_length != length - DTLS_HS_HEADER_SIZE || h.length < h.offset ||
        h.length - h.offset < h.fragment_length) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping bad DTLS handshake fragment");
        return -1;
    }
    if (h.offset == 0 && h.fragment_length == h.length) {
        if (packet_ref(msg) < 0)
            return -1;
        *whole = msg;
        return 0;
    }
    // Only fragments of a bounded message that is the one expected are held.
    if (h.length > DTLS_HS_MAX_MESSAGE) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping oversized DTLS handshake message %u bytes",
                 unsigned(h.length));
        return -1;
    }
    int r = seq_check(state, peer, h.seq);
    if (r < 0)
        return r;

    packet_queue *q = &state->reassembly;
    if (h.offset == 0 && h.fragment_length > 0) {
        packet_queue_purge(q);
    } else {
        packet *last = q->count ? container_of(q->list._prev, &packet::queue) : nullptr;
        hs_header l = last ? hs_read(last->data) : hs_header{};
        uint32_t end = l.offset + l.fragment_length;
        if (!last || h.seq != l.seq || h.length != l.length || h.offset > end ||
            h.offset + h.fragment_length <= end) {
            dtls_log(ULOG_DEBUG, peer, "%sDropping out-of-sequence DTLS handshake fragment");
            return -1;
        }
        if (q->count >= DTLS_HS_MAX_FRAGMENTS) {
            dtls_log(ULOG_DEBUG, peer, "%sDropping excess DTLS handshake fragment");
            return -1;
        }
    }
    if (packet_ref(msg) < 0)
        return -1;
    packet_queue_append(q, msg);
    if (h.offset + h.fragment_length != h.length)
        return -1;

    dtls_log(ULOG_TRACE, peer, "%sAssembling DTLS handshake %u bytes from %zu fragments",
             unsigned(h.length), size_t(q->count));
    packet *out = msg->pool ? packet_alloc(msg->pool, h.length + DTLS_HS_HEADER_SIZE) : nullptr;
    if (!out) {
        dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        return -1;
    }
    hs_write(out->data, h.type, h.length, h.seq, 0, h.length);
    for (list_link *l = q->list._next; l != &q->list; l = l->_next) {
        const packet *f = container_of(l, &packet::queue);
        hs_header fh = hs_read(f->data);
        memcpy(out->data + DTLS_HS_HEADER_SIZE + fh.offset, f->data + DTLS_HS_HEADER_SIZE,
               fh.fragment_length);
    }
    memcpy(out->meta, msg->meta, sizeof out->meta);
    packet_queue_purge(q);
    *whole = out;
    return 0;
}

// Order and hash of a whole message: 0, -1 or -3.
int dtls_hs_recv_seq(dtls_hs_state *state, const sockaddr *peer, packet *msg)
{
    hs_header h = hs_read(msg->data);
    dtls_log(ULOG_DUMP, peer, "%sReceiving DTLS handshake message #%04x", unsigned(h.seq));
    int r = seq_check(state, peer, h.seq);
    if (r < 0)
        return r;
    if (state->send_seq == 0)
        state->send_seq = h.seq;
    if (hs_hashed(h.type))
        sha256_update(state->hash, msg->data, msg->length);
    state->recv_seq = static_cast<uint16_t>(h.seq + 1);
    return 0;
}

} // namespace

void dtls_hs_init(dtls_hs_state *state, sha256_ctx *hash, uint16_t fragment_payload)
{
    *state = {};
    packet_queue_init(&state->reassembly);
    state->hash = hash;
    state->fragment_payload = fragment_payload;
}

void dtls_hs_fini(dtls_hs_state *state)
{
    packet_queue_purge(&state->reassembly);
}

uint16_t dtls_hs_fragment_payload(uint16_t payload_mtu, const dtls_security_parameters *params)
{
    size_t overhead = params->record_iv_length + params->mac_length + DTLS_RECORD_SIZE;
    return static_cast<uint16_t>(payload_mtu > overhead ? payload_mtu - overhead : 0);
}

packet *dtls_make_hs_message(mempool *pool, size_t body_length)
{
    packet *p = packet_alloc(pool, body_length + DTLS_HS_HEADER_SIZE);
    if (!p) {
        dtls_log(ULOG_ERROR, nullptr, "%sOut of buffer space");
        return nullptr;
    }
    packet_pull(p, DTLS_HS_HEADER_SIZE);
    return p;
}

packet *dtls_make_finished(mempool *pool, const sha256_ctx *hash,
                           const uint8_t master[DTLS_MASTER_SECRET_SIZE], bool server_label)
{
    packet *p = dtls_make_hs_message(pool, DTLS_FINISHED_SIZE);
    if (!p)
        return nullptr;
    dtls_make_finished_verify(hash, master, server_label, p->data);
    return p;
}

packet *dtls_make_ccs(mempool *pool, const sockaddr *peer)
{
    packet *p = packet_alloc(pool, 1);
    if (p && (packet_headroom(p) < dtls_headroom || packet_tailroom(p) < dtls_tailroom)) {
        packet_release(p);
        p = nullptr;
    }
    if (!p) {
        dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        return nullptr;
    }
    p->data[0] = 1;
    return p;
}

int dtls_hs_send(dtls_hs_state *state, const sockaddr *peer, packet *message, uint8_t msg_type,
                 bool pending_write, packet_queue *flight)
{
    UGW_ASSERT(state->fragment_payload > DTLS_HS_HEADER_SIZE);
    if (packet_isfragmented(message)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned(message->length));
        return -1;
    }
    dtls_meta_set(message, DTLS_META_CONTENT_TYPE, DTLS_CT_HANDSHAKE);
    dtls_meta_set(message, DTLS_META_PENDING_WRITE, pending_write ? 1 : 0);
    dtls_meta_set(message, DTLS_META_MSG_TYPE, msg_type);
    if (dtls_hs_encap(peer, message, msg_type, state->send_seq) < 0)
        return -1;
    dtls_log(ULOG_DUMP, peer, "%sSending DTLS handshake message #%04x", unsigned(state->send_seq));
    state->send_seq++;
    if (hs_hashed(msg_type))
        sha256_update(state->hash, message->data, message->length);

    if (message->length <= state->fragment_payload) {
        if (packet_ref(message) < 0)
            return -1;
        packet_queue_append(flight, message);
        return 0;
    }
    size_t body = message->length - DTLS_HS_HEADER_SIZE;
    size_t part = state->fragment_payload - DTLS_HS_HEADER_SIZE;
    dtls_log(ULOG_TRACE, peer, "%sSending DTLS handshake message %u bytes in %zu fragments",
             unsigned(body), (body + part - 1) / part);
    for (size_t off = 0; off < body; off += part) {
        size_t n = body - off < part ? body - off : part;
        packet *f = packet_alloc(message->pool, DTLS_HS_HEADER_SIZE + n);
        if (!f) {
            dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
            return -1;
        }
        memcpy(f->data, message->data, DTLS_HS_HEADER_SIZE);
        dtls_put_u24(f->data + 6, static_cast<uint32_t>(off));
        dtls_put_u24(f->data + 9, static_cast<uint32_t>(n));
        memcpy(f->data + DTLS_HS_HEADER_SIZE, message->data + DTLS_HS_HEADER_SIZE + off, n);
        memcpy(f->meta, message->meta, sizeof f->meta);
        packet_queue_append(flight, f);
    }
    return 0;
}

size_t dtls_hs_deagg(const sockaddr *peer, packet *record, packet_queue *out)
{
    return dtls_gen_deagg(peer, record, out, hs_part_length, DTLS_HS_HEADER_SIZE,
                          "handshake message");
}

int dtls_hs_recv(dtls_hs_state *state, const sockaddr *peer, packet *msg, packet **out)
{
    *out = nullptr;
    packet *whole;
    int r = dtls_hs_defrag(state, peer, msg, &whole);
    if (r < 0)
        return r;
    // The header is checked before the order state and hash change.
    if (dtls_hs_check(peer, whole) < 0 || (r = dtls_hs_recv_seq(state, peer, whole)) < 0) {
        packet_release(whole);
        return r < 0 ? r : -1;
    }
    dtls_hs_decap(whole);
    *out = whole;
    return 0;
}

int dtls_hs_peek(const sockaddr *peer, packet *msg, uint8_t *type, uint16_t *message_seq)
{
    size_t length = msg->length;
    if (length < DTLS_HS_HEADER_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping short DTLS handshake message %u bytes",
                 unsigned(length));
        return -1;
    }
    hs_header h = hs_read(msg->data);
    if (h.offset != 0 || h.fragment_length != h.length) {
        dtls_log(ULOG_DETAIL, peer, "%sDropping fragmented DTLS handshake message %u bytes",
                 unsigned(length));
        return -1;
    }
    if (h.length + DTLS_HS_HEADER_SIZE != length) {
        dtls_log(ULOG_DETAIL, peer, "%sDropping aggregated DTLS handshake message %u bytes",
                 unsigned(length));
        return -1;
    }
    *type = h.type;
    *message_seq = h.seq;
    dtls_hs_decap(msg);
    return 0;
}

int dtls_hs_stateless_reply(const sockaddr *peer, packet *msg, uint8_t msg_type,
                            uint16_t message_seq)
{
    if (dtls_hs_encap(peer, msg, msg_type, message_seq) < 0)
        return -1;
    dtls_meta_set(msg, DTLS_META_CONTENT_TYPE, DTLS_CT_HANDSHAKE);
    dtls_meta_set(msg, DTLS_META_MSG_TYPE, msg_type);
    return 0;
}
