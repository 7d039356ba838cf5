#include "controller/dtls/dtls_rec.h"

#include <cstring>

#include "common/crypto/secure.h"
#include "common/fatal.h"

namespace {

// Largest plaintext a record may carry.
constexpr size_t DTLS_MAX_PLAINTEXT = 1u << 14;

inline uint64_t seq48(uint32_t hi, uint32_t lo)
{
    return uint64_t(hi) << 32 | lo;
}

// The write state and salt of one writer.
dtls_cipher_state *writer_state(dtls_security_context *ctx, uint8_t writer)
{
    return writer == DTLS_CLIENT ? &ctx->client_write : &ctx->server_write;
}
const uint8_t *writer_salt(const dtls_security_context *ctx, uint8_t writer)
{
    return ctx->keys.bytes + (writer == DTLS_CLIENT ? ctx->keys.client_write_iv
                                                    : ctx->keys.server_write_iv);
}
const uint8_t *writer_mac_key(const dtls_security_context *ctx, uint8_t writer)
{
    return ctx->keys.bytes + (writer == DTLS_CLIENT ? ctx->keys.client_write_mac_key
                                                    : ctx->keys.server_write_mac_key);
}
uint8_t peer_of(uint8_t entity)
{
    return entity == DTLS_CLIENT ? DTLS_SERVER : DTLS_CLIENT;
}

// Header checks shared by the stateful and stateless paths: 0 or -1. A
// record longer than its length field is cut to it.
int check_header(const dtls_security_context *side, const sockaddr *peer, packet *record)
{
    size_t length = record->length;
    const uint8_t *hdr = record->data;
    if (length < DTLS_RECORD_SIZE || length - DTLS_RECORD_SIZE < dtls_get_u16(hdr + 11)) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping short DTLS record %u bytes", unsigned(length));
        return -1;
    }
    uint16_t epoch = dtls_get_u16(hdr + 3);
    if (epoch != side->epoch) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding DTLS record %u bytes with epoch %u != %u",
                 unsigned(length), unsigned(epoch), unsigned(side->epoch));
        return -1;
    }
    if (dtls_get_u16(hdr + 1) > 0xfeff ||
        (!dtls_version_is_null(side->version) && memcmp(hdr + 1, side->version, 2) != 0)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding DTLS record %u bytes with bad version %u.%u",
                 unsigned(length), unsigned(uint8_t(~hdr[1])), unsigned(uint8_t(~hdr[2])));
        return -1;
    }
    size_t extra = length - DTLS_RECORD_SIZE - dtls_get_u16(hdr + 11);
    if (extra)
        packet_trim(record, extra);
    return 0;
}

void write_header(uint8_t *hdr, uint8_t content_type, const uint8_t version[2], uint16_t epoch,
                  uint32_t seq_hi, uint32_t seq_lo, size_t length)
{
    hdr[0] = content_type;
    if (dtls_version_is_null(version)) {
        hdr[1] = DTLS_VERSION_1_2[0];
        hdr[2] = DTLS_VERSION_1_2[1];
    } else {
        hdr[1] = version[0];
        hdr[2] = version[1];
    }
    dtls_put_u16(hdr + 3, epoch);
    dtls_put_u48(hdr + 5, seq_hi, seq_lo);
    dtls_put_u16(hdr + 11, static_cast<uint32_t>(length));
}

} // namespace

void dtls_rec_init_cipher(dtls_security_context *ctx, uint8_t writer)
{
    UGW_ASSERT(ctx->params != nullptr);
    if (!ctx->cipher)
        return;
    const uint8_t *key = ctx->keys.bytes + (writer == DTLS_CLIENT ? ctx->keys.client_write_key
                                                                  : ctx->keys.server_write_key);
    ctx->cipher->init(writer_state(ctx, writer), ctx->params, key);
}

void dtls_rec_free_ciphers(dtls_security_context *ctx)
{
    if (ctx->cipher) {
        ctx->cipher->free(&ctx->client_write);
        ctx->cipher->free(&ctx->server_write);
    }
    secure_wipe(&ctx->client_write, sizeof ctx->client_write);
    secure_wipe(&ctx->server_write, sizeof ctx->server_write);
    secure_wipe(&ctx->keys, sizeof ctx->keys);
}

int dtls_rec_send(dtls_security_context *side, const sockaddr *peer, packet *msg,
                  uint8_t content_type)
{
    UGW_ASSERT(side->params != nullptr);
    if (packet_isfragmented(msg)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned(msg->length));
        return -1;
    }
    // Every check comes before the packet is touched, so a refused record
    // leaves the payload as it was.
    size_t headroom = packet_headroom(msg);
    if (headroom < DTLS_RECORD_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sInsufficient headroom %zu bytes", headroom);
        return -1;
    }
    if (side->send_seq_hi >= DTLS_SEQ_HI_LIMIT) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping record due to sequence number depletion");
        return -1;
    }
    if (headroom - DTLS_RECORD_SIZE < side->params->record_iv_length) {
        dtls_log(ULOG_DEBUG, peer, "%sInsufficient headroom %zu bytes",
                 headroom - DTLS_RECORD_SIZE);
        return -1;
    }
    size_t tailroom = packet_tailroom(msg);
    if (tailroom < side->params->mac_length) {
        dtls_log(ULOG_DEBUG, peer, "%sInsufficient tailroom %zu bytes", tailroom);
        return -1;
    }
    size_t length = msg->length;
    if (length > DTLS_MAX_PLAINTEXT) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping oversized DTLS record %u bytes", unsigned(length));
        return -1;
    }

    uint8_t *hdr = packet_push(msg, DTLS_RECORD_SIZE);
    write_header(hdr, content_type, side->version, side->epoch, side->send_seq_hi,
                 side->send_seq_lo, length);
    if (++side->send_seq_lo == 0)
        side->send_seq_hi++;

    uint8_t self = side->entity;
    if (side->mac && side->mac->add(writer_mac_key(side, self), side->params, msg) < 0)
        return -1;
    if (side->cipher &&
        side->cipher->encrypt(writer_state(side, self), side->params, writer_salt(side, self),
                              msg) < 0)
        return -1;
    dtls_meta_set(msg, DTLS_META_CONTENT_TYPE, content_type);
    return 0;
}

int dtls_rec_replay_check(dtls_security_context *side, const sockaddr *peer, uint32_t seq_hi,
                          uint32_t seq_lo, size_t length)
{
    uint64_t s = seq48(seq_hi, seq_lo);
    uint64_t h = seq48(side->recv_seq_hi, side->recv_seq_lo);
    if (s <= h) {
        uint64_t d = h - s;
        if (d >= 64) {
            dtls_log(ULOG_DEBUG, peer, "%sDropping out-of-window DTLS record #%llu %u bytes",
                     static_cast<unsigned long long>(s), unsigned(length));
            return -3;
        }
        uint64_t bit = uint64_t(1) << d;
        if (side->replay_bitmap & bit) {
            dtls_log(ULOG_DEBUG, peer, "%sDropping replayed DTLS record #%llu %u bytes",
                     static_cast<unsigned long long>(s), unsigned(length));
            return -3;
        }
        side->replay_bitmap |= bit;
    } else {
        uint64_t shift = s - h;
        side->replay_bitmap = shift >= 64 ? 0 : side->replay_bitmap << shift;
        side->replay_bitmap |= 1;
        side->recv_seq_hi = seq_hi;
        side->recv_seq_lo = seq_lo;
    }
    if (side->send_seq_hi == 0 && side->send_seq_lo == 0) {
        side->send_seq_hi = seq_hi;
        side->send_seq_lo = seq_lo;
    }
    return 0;
}

int dtls_rec_recv(dtls_security_context *side, const sockaddr *peer, packet *record)
{
    UGW_ASSERT(side->params != nullptr);
    if (packet_isfragmented(record)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned(record->length));
        return -1;
    }
    if (check_header(side, peer, record) < 0)
        return -1;
    size_t length = record->length;
    if (length < DTLS_RECORD_SIZE + side->params->mac_length + side->params->record_iv_length) {
        dtls_log(ULOG_DEBUG, peer, "%sDropping short encrypted DTLS record %u bytes",
                 unsigned(length));
        return -2;
    }
    uint32_t seq_hi, seq_lo;
    dtls_get_u48(record->data + 5, &seq_hi, &seq_lo);
    uint8_t content_type = record->data[0];

    uint8_t writer = peer_of(side->entity);
    if (side->cipher &&
        side->cipher->decrypt(writer_state(side, writer), side->params,
                              writer_salt(side, writer), record) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sDTLS decryption failure");
        return -2;
    }
    if (side->mac && side->mac->verify(writer_mac_key(side, writer), side->params, record) < 0) {
        dtls_log(ULOG_DEBUG, peer, "%sDTLS MAC verification failure");
        return -2;
    }
    if (dtls_rec_replay_check(side, peer, seq_hi, seq_lo, length) < 0)
        return -3;
    packet_pull(record, DTLS_RECORD_SIZE);
    dtls_meta_set(record, DTLS_META_CONTENT_TYPE, content_type);
    return 0;
}

size_t dtls_rec_part_length(const uint8_t *header)
{
    return dtls_get_u16(header + 11);
}

size_t dtls_gen_deagg(const sockaddr *peer, packet *msg, packet_queue *out,
                      dtls_part_length_fn part_length, size_t header_size, const char *name)
{
    if (packet_isfragmented(msg)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned(msg->length));
        return 0;
    }
    size_t count = 0;
    size_t off = 0;
    size_t remaining = msg->length;
    while (remaining) {
        const uint8_t *part = msg->data + off;
        if (remaining < header_size || remaining - header_size < part_length(part)) {
            dtls_log(ULOG_DEBUG, peer, "%sDropping short DTLS %s %u bytes", name,
                     unsigned(remaining));
            break;
        }
        size_t n = header_size + part_length(part);
        if (n == remaining) {
            // The last part needs no copy: it is the packet itself.
            if (packet_ref(msg) < 0)
                break;
            packet_pull(msg, off);
            packet_queue_append(out, msg);
            count++;
            break;
        }
        packet *copy = msg->pool ? packet_alloc(msg->pool, n) : nullptr;
        if (!copy) {
            dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
            break;
        }
        memcpy(copy->data, part, n);
        memcpy(copy->meta, msg->meta, sizeof copy->meta);
        packet_queue_append(out, copy);
        count++;
        off += n;
        remaining -= n;
    }
    return count;
}

packet *dtls_gen_enagg(const sockaddr *peer, packet_queue *queue, size_t mtu, const char *name)
{
    size_t total = 0, count = 0;
    for (list_link *l = queue->list._next; l != &queue->list; l = l->_next) {
        const packet *p = container_of(l, &packet::queue);
        if (count && total + p->length > mtu)
            break;
        total += p->length;
        count++;
    }
    if (count == 0)
        return nullptr;
    if (count == 1)
        return packet_queue_pop(queue);

    packet *first = container_of(queue->list._next, &packet::queue);
    packet *out = first->pool ? packet_alloc(first->pool, total) : nullptr;
    size_t off = 0;
    for (size_t i = 0; i < count; i++) {
        packet *p = packet_queue_pop(queue);
        if (out)
            off += packet_access(p, 0, p->length, out->data + off, PACKET_ACCESS_READ);
        packet_release(p);
    }
    if (!out) {
        dtls_log(ULOG_ERROR, peer, "%sOut of buffer space");
        return nullptr;
    }
    dtls_log(ULOG_TRACE, peer, "%sSending DTLS %s aggregate %u bytes with %zu messages", name,
             unsigned(total), count);
    return out;
}

int dtls_rec_peek(const sockaddr *peer, packet *msg, uint8_t *content_type, uint32_t *sequence)
{
    static const dtls_security_parameters null_params = {};
    dtls_security_context zero = {};
    zero.params = &null_params;
    if (packet_isfragmented(msg)) {
        dtls_log(ULOG_DEBUG, peer, "%sDiscarding fragmented DTLS packet %u bytes",
                 unsigned(msg->length));
        return -1;
    }
    // Only the first record counts: the header check cuts off the rest.
    if (check_header(&zero, peer, msg) < 0)
        return -1;
    uint32_t seq_hi, seq_lo;
    dtls_get_u48(msg->data + 5, &seq_hi, &seq_lo);
    if (dtls_rec_replay_check(&zero, peer, seq_hi, seq_lo, msg->length) < 0)
        return -1;
    *content_type = msg->data[0];
    *sequence = seq_lo;
    packet_pull(msg, DTLS_RECORD_SIZE);
    dtls_meta_set(msg, DTLS_META_CONTENT_TYPE, *content_type);
    return 0;
}

int dtls_rec_stateless_encap(const sockaddr *peer, packet *msg, uint8_t content_type,
                             uint32_t sequence)
{
    size_t headroom = packet_headroom(msg);
    if (headroom < DTLS_RECORD_SIZE) {
        dtls_log(ULOG_DEBUG, peer, "%sInsufficient headroom %zu bytes", headroom);
        return -1;
    }
    size_t length = msg->length;
    uint8_t *hdr = packet_push(msg, DTLS_RECORD_SIZE);
    write_header(hdr, content_type, DTLS_VERSION_1_2, 0, 0, sequence, length);
    dtls_meta_set(msg, DTLS_META_CONTENT_TYPE, content_type);
    return 0;
}
