#include "dot11/dot11_frame.h"

#include <cstring>

#include "common/crypto/aes.h"
#include "common/crypto/aes_cmac.h"
#include "common/crypto/hmac.h"
#include "common/crypto/secure.h"
#include "common/crypto/rc4.h"
#include "common/log.h"
#include "dot11/dot11_desc.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_keygen.h"

namespace {

constexpr size_t ETH_HDR_LEN = 14;

void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint16_t load_le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void store_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

uint16_t load_be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

// Appends header, fixed fields (written by fill) and elements; see the header.
template <typename Fill>
int append_frame(packet *p, size_t fixed, const uint8_t *const *ies, size_t count, Fill fill)
{
    size_t frame = fixed + dot11_ie_concat(nullptr, 0, ies, count);
    size_t room = packet_tailroom(p);
    if (room < fixed)
        return -int(frame);
    size_t n = room < frame ? room : frame;
    uint8_t *at = packet_put(p, n);
    if (!at)
        return -int(frame);
    fill(at);
    dot11_ie_concat(at + fixed, n - fixed, ies, count);
    packet_set_priority(p, 7);
    return int(n) - int(frame);
}

// The bytes an FTIE MIC covers, with the MIC field zero, into msg (cap
// bytes): their count, or 0 when the input is refused or does not fit.
size_t ft_mic_message(const dot11_ft_mic_input &in, uint8_t *msg, size_t cap)
{
    size_t len = size_t(2) + in.ftie[1];
    if (len < DOT11_FTIE_SUBELEMS || in.ftie[DOT11_FTIE_MIC_COUNT] != in.count + 1) return 0;
    size_t total = 13 + len;
    for (size_t i = 0; i < in.count; i++) {
        if (!in.ies[i]) return 0;
        total += size_t(2) + in.ies[i][1];
    }
    if (total > cap) return 0;
    memcpy(msg, in.sta, 6);
    memcpy(msg + 6, in.ap, 6);
    msg[12] = in.seq;
    size_t pos = 13;
    for (size_t i = 0; i < in.count; i++) {
        memcpy(msg + pos, in.ies[i], size_t(2) + in.ies[i][1]);
        pos += size_t(2) + in.ies[i][1];
    }
    memcpy(msg + pos, in.ftie, len);
    memset(msg + pos + DOT11_FTIE_MIC, 0, 16);
    return total;
}

} // namespace

void dot11_make_hdr(uint8_t hdr[DOT11_HDR_LEN], const uint8_t bssid[6], const uint8_t peer[6],
                    uint8_t subtype, int direction)
{
    hdr[DOT11_HDR_FC] = uint8_t(subtype << 4); // management type, version 0
    hdr[DOT11_HDR_FC + 1] = 0;
    store_le16(hdr + DOT11_HDR_DURATION, 0);
    bool to_bss = direction == DOT11_TO_BSS;
    memcpy(hdr + DOT11_HDR_ADDR1, to_bss ? bssid : peer, 6);
    memcpy(hdr + DOT11_HDR_ADDR2, to_bss ? peer : bssid, 6);
    memcpy(hdr + DOT11_HDR_ADDR3, bssid, 6);
    store_le16(hdr + DOT11_HDR_SEQ, 0);
}

int dot11_make_probe_resp(packet *p, const uint8_t bssid[6], const uint8_t dst[6],
                          uint16_t capability, uint16_t beacon_interval, const uint8_t *const *ies,
                          size_t count)
{
    return append_frame(p, DOT11_HDR_LEN + 12, ies, count, [&](uint8_t *f) {
        dot11_make_hdr(f, bssid, dst, DOT11_ST_PROBE_RESP, DOT11_FROM_BSS);
        memset(f + DOT11_HDR_LEN, 0, 8); // timestamp: the radio writes it
        store_le16(f + DOT11_HDR_LEN + 8, beacon_interval);
        store_le16(f + DOT11_HDR_LEN + 10, capability);
    });
}

int dot11_make_auth(packet *p, const uint8_t bssid[6], const uint8_t peer[6], int direction,
                    uint16_t algorithm, uint16_t seq, uint16_t status, const uint8_t *const *ies,
                    size_t count)
{
    return append_frame(p, DOT11_HDR_LEN + 6, ies, count, [&](uint8_t *f) {
        dot11_make_hdr(f, bssid, peer, DOT11_ST_AUTH, direction);
        store_le16(f + DOT11_HDR_LEN, algorithm);
        store_le16(f + DOT11_HDR_LEN + 2, seq);
        store_le16(f + DOT11_HDR_LEN + 4, status);
    });
}

int dot11_make_assoc_resp(packet *p, const uint8_t bssid[6], const uint8_t sta[6], uint8_t subtype,
                          uint16_t capability, uint16_t status, const uint8_t *const *ies,
                          size_t count)
{
    return append_frame(p, DOT11_HDR_LEN + 6, ies, count, [&](uint8_t *f) {
        dot11_make_hdr(f, bssid, sta, subtype, DOT11_FROM_BSS);
        store_le16(f + DOT11_HDR_LEN, capability);
        store_le16(f + DOT11_HDR_LEN + 2, status);
        store_le16(f + DOT11_HDR_LEN + 4, 0); // AID
    });
}

int dot11_make_deauth(packet *p, const uint8_t bssid[6], const uint8_t peer[6], int direction,
                      uint16_t reason)
{
    return append_frame(p, DOT11_HDR_LEN + 2, nullptr, 0, [&](uint8_t *f) {
        dot11_make_hdr(f, bssid, peer, DOT11_ST_DEAUTH, direction);
        store_le16(f + DOT11_HDR_LEN, reason);
    });
}

int dot11_make_action_ft_resp(packet *p, const uint8_t bssid[6], const uint8_t sta[6],
                              const uint8_t target_ap[6], uint16_t status, const uint8_t *const *ies,
                              size_t count)
{
    return append_frame(p, size_t(DOT11_HDR_LEN) + DOT11_FT_RESP_MIN, ies, count, [&](uint8_t *f) {
        dot11_make_hdr(f, bssid, sta, DOT11_ST_ACTION, DOT11_FROM_BSS);
        uint8_t *body = f + DOT11_HDR_LEN;
        body[DOT11_FT_CATEGORY] = DOT11_CATEGORY_FT;
        body[DOT11_FT_ACTION_CODE] = DOT11_FT_RESPONSE;
        memcpy(body + DOT11_FT_STA, sta, 6);
        memcpy(body + DOT11_FT_TARGET_AP, target_ap, 6);
        store_le16(body + DOT11_FT_STATUS, status);
    });
}

int dot11_frame_cmp(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
    if (a.size() != b.size())
        return 1;
    if (a.size() < DOT11_HDR_LEN)
        return memcmp(a.data(), b.data(), a.size()) != 0;
    if (a[DOT11_HDR_FC] != b[DOT11_HDR_FC] ||
        ((a[DOT11_HDR_FC + 1] ^ b[DOT11_HDR_FC + 1]) & ~DOT11_FC1_RETRY))
        return 1;
    if (memcmp(a.data() + DOT11_HDR_ADDR1, b.data() + DOT11_HDR_ADDR1, 18) != 0)
        return 1;
    return memcmp(a.data() + DOT11_HDR_LEN, b.data() + DOT11_HDR_LEN, a.size() - DOT11_HDR_LEN) != 0;
}

int dot11_encap_rrb(packet *frame)
{
    const uint8_t *f = frame->data;
    size_t len = frame->length;
    bool ok = !packet_isfragmented(frame) && len >= DOT11_HDR_LEN + 2 &&
              (f[DOT11_HDR_FC] & 0x0c) == 0 && f[DOT11_HDR_FC] >> 4 == DOT11_ST_ACTION &&
              len >= dot11_frame_type_name(f[DOT11_HDR_FC]);
    const uint8_t *body = f + DOT11_HDR_LEN;
    uint8_t action = ok ? body[DOT11_FT_ACTION_CODE] : 0;
    bool request = action == DOT11_FT_REQUEST || action == DOT11_FT_CONFIRM;
    bool response = action == DOT11_FT_RESPONSE || action == DOT11_FT_ACK;
    size_t body_len = len - DOT11_HDR_LEN;
    if (!ok || body[DOT11_FT_CATEGORY] != DOT11_CATEGORY_FT || !(request || response) ||
        body_len < (request ? DOT11_FT_REQ_MIN : DOT11_FT_RESP_MIN)) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Failed to encapsulate RRB frame");
        return -1;
    }
    uint8_t ap[6], target[6];
    memcpy(ap, f + DOT11_HDR_ADDR3, 6);
    memcpy(target, body + DOT11_FT_TARGET_AP, 6);

    packet_pull(frame, 24);
    uint8_t *rrb = packet_push(frame, DOT11_RRB_HDR_LEN);
    rrb[DOT11_RRB_TYPE - ETH_HDR_LEN] = request ? DOT11_RRB_REQUEST : DOT11_RRB_RESPONSE;
    store_le16(rrb + DOT11_RRB_LENGTH - ETH_HDR_LEN, uint16_t(body_len));
    memcpy(rrb + DOT11_RRB_AP - ETH_HDR_LEN, ap, 6);
    uint8_t *eth = packet_push(frame, ETH_HDR_LEN);
    memcpy(eth + DOT11_RRB_DST, request ? target : ap, 6);
    memcpy(eth + DOT11_RRB_SRC, request ? ap : target, 6);
    store_be16(eth + DOT11_RRB_ETHERTYPE, DOT11_ETH_RRB);
    return 0;
}

int dot11_decap_rrb(packet *frame)
{
    const uint8_t *f = frame->data;
    size_t len = frame->length;
    bool ok = !packet_isfragmented(frame) && len >= DOT11_RRB_BODY &&
              load_be16(f + DOT11_RRB_ETHERTYPE) == DOT11_ETH_RRB &&
              packet_headroom(frame) + DOT11_RRB_BODY >= DOT11_HDR_LEN;
    size_t body_len = ok ? load_le16(f + DOT11_RRB_LENGTH) : 0;
    uint8_t type = ok ? f[DOT11_RRB_TYPE] : 0xff;
    ok = ok && len >= DOT11_RRB_BODY + body_len &&
         ((type == DOT11_RRB_REQUEST && body_len >= DOT11_FT_REQ_MIN) ||
          (type == DOT11_RRB_RESPONSE && body_len >= DOT11_FT_RESP_MIN));
    if (!ok) {
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Failed to decapsulate RRB frame");
        return -1;
    }
    uint8_t ap[6], sta[6];
    memcpy(ap, f + DOT11_RRB_AP, 6);
    memcpy(sta, f + DOT11_RRB_BODY + DOT11_FT_STA, 6);

    packet_pull(frame, ETH_HDR_LEN + DOT11_RRB_HDR_LEN);
    packet_trim(frame, frame->length - body_len);
    uint8_t *hdr = packet_push(frame, 24);
    dot11_make_hdr(hdr, ap, sta, DOT11_ST_ACTION,
                   type == DOT11_RRB_REQUEST ? DOT11_TO_BSS : DOT11_FROM_BSS);
    return 0;
}

int dot11_eapol_mic(uint8_t *eapol, size_t len, const uint8_t kck[16], uint8_t mic[16])
{
    if (len < EAPOL_KEY_DATA)
        return -1;
    size_t covered = EAPOL_KEY_DATA + size_t(load_be16(eapol + EAPOL_KEY_DATA_LEN));
    if (covered > len)
        return -1;
    uint8_t version = load_be16(eapol + EAPOL_KEY_INFO) & EAPOL_KEY_INFO_VERSION;
    if (version < EAPOL_KEY_V1 || version > EAPOL_KEY_V3)
        return -1;
    memset(eapol + EAPOL_KEY_MIC, 0, 16);
    uint8_t out[SHA1_DIGEST_LEN];
    secure_wipe_guard wipe_out(out);
    switch (version) {
    case EAPOL_KEY_V1: {
        hmac_md5_ctx ctx;
        hmac_md5_init(&ctx, kck, 16);
        hmac_md5_update(&ctx, eapol, covered);
        hmac_md5_final(&ctx, out);
        break;
    }
    case EAPOL_KEY_V2: {
        hmac_sha1_ctx ctx;
        hmac_sha1_init(&ctx, kck, 16);
        hmac_sha1_update(&ctx, eapol, covered);
        hmac_sha1_final(&ctx, out);
        break;
    }
    default: {
        aes_key key;
        aes_cmac_ctx ctx;
        secure_wipe_guard wipe_key(key);
        aes_set_key(&key, kck);
        aes_cmac_init(&ctx);
        aes_cmac_update(&key, &ctx, eapol, covered);
        aes_cmac_final(&key, &ctx, out);
        break;
    }
    }
    memcpy(eapol + EAPOL_KEY_MIC, out, 16);
    if (mic)
        memcpy(mic, out, 16);
    return 0;
}

int dot11_eapol_encrypt_key_data(uint8_t *eapol, size_t cap, const uint8_t kek[16],
                                 uint8_t counter[32])
{
    if (cap < EAPOL_KEY_DATA)
        return -1;
    size_t len = load_be16(eapol + EAPOL_KEY_DATA_LEN);
    if (EAPOL_KEY_DATA + len > cap)
        return -1;
    uint8_t *data = eapol + EAPOL_KEY_DATA;
    switch (load_be16(eapol + EAPOL_KEY_INFO) & EAPOL_KEY_INFO_VERSION) {
    case EAPOL_KEY_V1: {
        uint8_t key[16 + 16]; // Key IV || KEK
        rc4_ctx rc4;
        secure_wipe_guard wipe_key(key);
        secure_wipe_guard wipe_rc4(rc4);
        dot11_nonce_next(counter, eapol + EAPOL_KEY_IV, 16);
        memcpy(key, eapol + EAPOL_KEY_IV, 16);
        memcpy(key + 16, kek, 16);
        rc4_init(&rc4, key, sizeof key, 256);
        rc4_crypt(&rc4, data, len);
        return 0;
    }
    case EAPOL_KEY_V2:
    case EAPOL_KEY_V3: {
        // Key wrap takes whole 64-bit blocks, at least two of them.
        size_t padded = (len + 7) & ~size_t(7);
        if (padded < 16)
            padded = 16;
        if (EAPOL_KEY_DATA + padded + 8 > cap)
            return -1;
        if (padded != len) {
            data[len] = 0xdd;
            memset(data + len + 1, 0, padded - len - 1);
        }
        aes_key_wrap(data, kek, padded / 8);
        store_be16(eapol + EAPOL_KEY_DATA_LEN, uint16_t(padded + 8));
        return 0;
    }
    default:
        return -1;
    }
}

int dot11_ft_mic(const uint8_t *ftie, const uint8_t kck[16], const uint8_t sta[6],
                 const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                 uint8_t mic[16])
{
    aes_cmac_key key;
    secure_wipe_guard wipe_key(key);
    aes_cmac_set_key(&key, kck);
    return dot11_ft_mic(ftie, &key, sta, ap, seq, ies, count, mic);
}

int dot11_ft_mic(const uint8_t *ftie, const aes_cmac_key *kck, const uint8_t sta[6],
                 const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                 uint8_t mic[16])
{
    size_t len = size_t(2) + ftie[1];
    if (len < DOT11_FTIE_SUBELEMS || ftie[DOT11_FTIE_MIC_COUNT] != count + 1)
        return -1;
    for (size_t i = 0; i < count; i++)
        if (!ies[i])
            return -1;
    static const uint8_t zero_mic[16] = {};
    aes_cmac_ctx ctx;
    secure_wipe_guard wipe_ctx(ctx);
    aes_cmac_init(&ctx);
    aes_cmac_update(kck, &ctx, sta, 6);
    aes_cmac_update(kck, &ctx, ap, 6);
    aes_cmac_update(kck, &ctx, &seq, 1);
    for (size_t i = 0; i < count; i++)
        aes_cmac_update(kck, &ctx, ies[i], size_t(2) + ies[i][1]);
    aes_cmac_update(kck, &ctx, ftie, DOT11_FTIE_MIC);
    aes_cmac_update(kck, &ctx, zero_mic, sizeof zero_mic);
    aes_cmac_update(kck, &ctx, ftie + DOT11_FTIE_ANONCE, len - DOT11_FTIE_ANONCE);
    aes_cmac_final(kck, &ctx, mic);
    return 0;
}

int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const uint8_t kck[16], const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16])
{
    aes_cmac_key mk;
    secure_wipe_guard wipe_mk(mk);
    aes_cmac_set_key(&mk, kck);
    return dot11_ft_mic_wrap(ftie, at, key, wn, &mk, kek, sta, ap, seq, ies, count, mic);
}

namespace {

// The wrap of key into ftie + at with the MIC chains of ftie (own) and of
// other beside it; the own chain covers the bytes in front of the key there.
int ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn, const aes_cmac_key *kck,
                const uint8_t kek[16], const dot11_ft_mic_input &own, uint8_t mic[16],
                const dot11_ft_mic_input *other, uint8_t other_mic[16])
{
    size_t len = size_t(2) + ftie[1];
    if (wn == 0 || wn > 4 || at < DOT11_FTIE_SUBELEMS || at + 8 * (wn + 1) > len) return -1;
    uint8_t msg[13 + 3 * 257], msg2[13 + 3 * 257];
    size_t total = ft_mic_message(own, msg, sizeof msg);
    size_t total2 = other ? ft_mic_message(*other, msg2, sizeof msg2) : 0;
    if (other && (!total || !total2)) return -1;
    uint8_t wrapped[8 * 5];
    secure_wipe_guard wipe_wrapped(wrapped);
    memcpy(wrapped, key, 8 * wn);
    if (!total) {
        aes_key_wrap(wrapped, kek, wn);
        memcpy(ftie + at, wrapped, 8 * (wn + 1));
        return dot11_ft_mic(ftie, kck, own.sta, own.ap, own.seq, own.ies, own.count, mic);
    }
    // The FTIE ends the message.
    size_t off = total - len + at;
    size_t before = off / 16; // whole blocks in front of the key
    size_t n2 = total2 ? (total2 - 1) / 16 : 0; // the last block waits for the final
    aes_key wk;
    aes_cmac_ctx ctx, ctx2;
    secure_wipe_guard wipe_wk(wk);
    secure_wipe_guard wipe_ctx(ctx);
    secure_wipe_guard wipe_ctx2(ctx2);
    aes_set_key(&wk, kek);
    aes_cmac_init(&ctx);
    aes_cmac_init(&ctx2);
    aes_cbc_macs_beside_wrap(&kck->aes, ctx.cv, msg, before, ctx2.cv, msg2, n2, &wk, wrapped, wn);
    memcpy(ftie + at, wrapped, 8 * (wn + 1));
    memcpy(msg + off, wrapped, 8 * (wn + 1));
    aes_cmac_update(kck, &ctx, msg + 16 * before, total - 16 * before);
    aes_cmac_final(kck, &ctx, mic);
    if (other) {
        aes_cmac_update(kck, &ctx2, msg2 + 16 * n2, total2 - 16 * n2);
        aes_cmac_final(kck, &ctx2, other_mic);
    }
    return 0;
}

} // namespace

int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const aes_cmac_key *kck, const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16])
{
    return ft_mic_wrap(ftie, at, key, wn, kck, kek, {ftie, sta, ap, seq, ies, count}, mic, nullptr,
                       nullptr);
}

int dot11_ft_mic_wrap(uint8_t *ftie, size_t at, const uint8_t *key, size_t wn,
                      const aes_cmac_key *kck, const uint8_t kek[16], const uint8_t sta[6],
                      const uint8_t ap[6], uint8_t seq, const uint8_t *const *ies, size_t count,
                      uint8_t mic[16], const dot11_ft_mic_input &other, uint8_t other_mic[16])
{
    return ft_mic_wrap(ftie, at, key, wn, kck, kek, {ftie, sta, ap, seq, ies, count}, mic, &other,
                       other_mic);
}
