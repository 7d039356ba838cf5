// Frame builders by byte image and by tail room, the retransmission test,
// RRB encapsulation both ways with its refusals, and EAPOL-Key and FT
// protection against libcrypto and RFC 3394.
#define OPENSSL_SUPPRESS_DEPRECATED // the low-level RC4 is the reference at hand
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rc4.h>

#include <cstdarg>
#include <random>

#include "common/crypto/aes.h"
#include "common/crypto/crypto_hw.h"
#include "common/log.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11_test_util.h"

namespace {

const uint8_t kBssid[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};
const uint8_t kTarget[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x09};

// A packet with exactly this much tail room and head room.
struct sized_packet {
    pool_ptr pool;
    packet *p = nullptr;
    sized_packet(uint32_t tailroom, uint32_t headroom = 32)
        : pool(make_pool(headroom + tailroom, headroom, 0))
    {
        p = packet_alloc(pool.get(), 0);
        // The pool may round its buffers up: spend what lies beyond.
        size_t extra = p ? packet_tailroom(p) - tailroom : 0;
        if (extra) {
            packet_put(p, extra);
            packet_pull(p, extra);
        }
    }
    ~sized_packet() { packet_release(p); }
};

std::string hdr_hex(const char *fc, const uint8_t *a1, const uint8_t *a2)
{
    return std::string(fc) + "0000" + tohex(a1, 6) + tohex(a2, 6) + tohex(kBssid, 6) + "0000";
}

TEST(Dot11Frame, BuildersWriteTheirFramesWhole)
{
    bytes ssid = hex("000467617465"), mdie = hex("3603b2a101");
    const uint8_t *ies[] = {ssid.data(), mdie.data()};
    const std::string elems = tohex(ssid) + tohex(mdie);
    struct {
        const char *name;
        int (*make)(packet *, const uint8_t *const *);
        std::string image;
    } const cases[] = {
        {"probe response",
         [](packet *p, const uint8_t *const *e) { return dot11_make_probe_resp(p, kBssid, kSta, 0x0011, 100, e, 2); },
         hdr_hex("5000", kSta, kBssid) + "0000000000000000" "6400" "1100" + elems},
        {"auth to the BSS",
         [](packet *p, const uint8_t *const *e) { return dot11_make_auth(p, kBssid, kSta, DOT11_TO_BSS, 2, 1, 0, e, 2); },
         hdr_hex("b000", kBssid, kSta) + "0200" "0100" "0000" + elems},
        {"auth from the BSS",
         [](packet *p, const uint8_t *const *) { return dot11_make_auth(p, kBssid, kSta, DOT11_FROM_BSS, 0, 2, 14, nullptr, 0); },
         hdr_hex("b000", kSta, kBssid) + "0000" "0200" "0e00"},
        {"reassociation response",
         [](packet *p, const uint8_t *const *e) { return dot11_make_assoc_resp(p, kBssid, kSta, 3, 0x0431, 0, e, 2); },
         hdr_hex("3000", kSta, kBssid) + "3104" "0000" "0000" + elems},
        {"deauthentication",
         [](packet *p, const uint8_t *const *) { return dot11_make_deauth(p, kBssid, kSta, DOT11_FROM_BSS, 15); },
         hdr_hex("c000", kSta, kBssid) + "0f00"},
        {"FT action response",
         [](packet *p, const uint8_t *const *e) { return dot11_make_action_ft_resp(p, kBssid, kSta, kTarget, 53, e, 1); },
         hdr_hex("d000", kSta, kBssid) + "0602" + tohex(kSta, 6) + tohex(kTarget, 6) + "3500" + tohex(ssid)},
    };
    for (const auto &k : cases) {
        sized_packet sp(300);
        ASSERT_TRUE(sp.p);
        EXPECT_EQ(k.make(sp.p, ies), 0) << k.name;
        EXPECT_EQ(tohex(packet_bytes(sp.p)), k.image) << k.name;
        EXPECT_EQ(packet_priority(sp.p), 7u) << k.name;
    }
}

TEST(Dot11Frame, BuildersCutAtTheTailRoom)
{
    bytes ssid = hex("000467617465"), mdie = hex("3603b2a101");
    const uint8_t *ies[] = {ssid.data(), mdie.data()};
    const int frame = 36 + 11;
    struct {
        uint32_t tailroom;
        int result;
        size_t length;
    } const cases[] = {
        {20, -frame, 0},       // not even the fixed part: nothing at all
        {35, -frame, 0},
        {36, 36 - frame, 36},  // the fixed part, no elements
        {40, 40 - frame, 40},  // the fixed part and a cut element
        {47, 0, 47},
        {60, 0, 47},
    };
    for (const auto &k : cases) {
        sized_packet sp(k.tailroom);
        ASSERT_TRUE(sp.p);
        EXPECT_EQ(dot11_make_probe_resp(sp.p, kBssid, kSta, 1, 100, ies, 2), k.result) << k.tailroom;
        EXPECT_EQ(sp.p->length, k.length) << k.tailroom;
        if (k.length) {
            bytes got = packet_bytes(sp.p);
            EXPECT_EQ(tohex(bytes(got.begin() + 36, got.end())),
                      (tohex(ssid) + tohex(mdie)).substr(0, 2 * (k.length - 36)));
        }
    }
}

// A retransmission differs in the Retry bit and the sequence number; it must
// compare equal, anything else not.
TEST(Dot11Frame, RetransmissionComparesEqual)
{
    bytes req = mgmt_frame(DOT11_ST_ASSOC_REQ, kBssid, kSta, DOT11_TO_BSS, hex("1100 0a00 000467617465"));
    struct {
        const char *name;
        size_t at;
        uint8_t x;
        bool equal;
    } const cases[] = {
        {"Retry bit", 1, DOT11_FC1_RETRY, true},
        {"sequence number", DOT11_HDR_SEQ, 0x30, true},
        {"fragment number", DOT11_HDR_SEQ, 0x01, true},
        {"duration", DOT11_HDR_DURATION, 0x3c, true},
        {"power management bit", 1, 0x10, false},
        {"subtype", 0, 0x20, false},
        {"address 1", DOT11_HDR_ADDR1 + 5, 1, false},
        {"address 3", DOT11_HDR_ADDR3, 1, false},
        {"body", DOT11_HDR_LEN + 1, 1, false},
        {"last element byte", 33, 1, false},
    };
    EXPECT_EQ(dot11_frame_cmp(req, req), 0);
    for (const auto &k : cases) {
        bytes again = req;
        again[k.at] ^= k.x;
        EXPECT_EQ(dot11_frame_cmp(req, again) == 0, k.equal) << k.name;
    }
    bytes longer = req + bytes{0};
    EXPECT_NE(dot11_frame_cmp(req, longer), 0);
    EXPECT_NE(dot11_frame_cmp(bytes{1, 2, 3}, bytes{1, 2, 4}), 0);
    EXPECT_EQ(dot11_frame_cmp(bytes{1, 2, 3}, bytes{1, 2, 3}), 0);
}

bytes ft_action(uint8_t action, int direction, size_t body_len)
{
    bytes body = {DOT11_CATEGORY_FT, action};
    body.insert(body.end(), kSta, kSta + 6);
    body.insert(body.end(), kTarget, kTarget + 6);
    while (body.size() < body_len)
        body.push_back(uint8_t(body.size()));
    body.resize(body_len);
    return mgmt_frame(DOT11_ST_ACTION, kBssid, kSta, direction, body);
}

packet *packet_of(mempool *pool, const bytes &b)
{
    packet *p = packet_alloc(pool, b.size());
    if (p)
        memcpy(p->data, b.data(), b.size());
    return p;
}

TEST(Dot11Frame, RrbEncapsulationRoundTrips)
{
    auto pool = make_pool();
    struct {
        uint8_t action;
        int direction;
        size_t body;
        uint8_t type;
        const uint8_t *dst, *src;
    } const cases[] = {
        {DOT11_FT_REQUEST, DOT11_TO_BSS, 14, DOT11_RRB_REQUEST, kTarget, kBssid},
        {DOT11_FT_CONFIRM, DOT11_TO_BSS, 120, DOT11_RRB_REQUEST, kTarget, kBssid},
        {DOT11_FT_RESPONSE, DOT11_FROM_BSS, 16, DOT11_RRB_RESPONSE, kBssid, kTarget},
        {DOT11_FT_ACK, DOT11_FROM_BSS, 200, DOT11_RRB_RESPONSE, kBssid, kTarget},
    };
    for (const auto &k : cases) {
        bytes frame = ft_action(k.action, k.direction, k.body);
        packet *p = packet_of(pool.get(), frame);
        ASSERT_TRUE(p);
        ASSERT_EQ(dot11_encap_rrb(p), 0) << int(k.action);
        bytes rrb = packet_bytes(p);
        bytes want = bytes(k.dst, k.dst + 6) + bytes(k.src, k.src + 6) + bytes{0x89, 0x0d, k.type} +
                     bytes{uint8_t(k.body), uint8_t(k.body >> 8)} + bytes(kBssid, kBssid + 6) +
                     bytes(frame.begin() + DOT11_HDR_LEN, frame.end());
        EXPECT_EQ(tohex(rrb), tohex(want)) << int(k.action);
        // Trailing bytes behind the FT Action body are not part of it.
        ASSERT_TRUE(packet_put(p, 3));
        ASSERT_EQ(dot11_decap_rrb(p), 0) << int(k.action);
        EXPECT_EQ(tohex(packet_bytes(p)), tohex(frame)) << int(k.action);
        packet_release(p);
    }
}

TEST(Dot11Frame, RrbRefusalsLeaveThePacketAlone)
{
    auto pool = make_pool();
    log_capture capture;
    auto refuse = [&](bytes b, int (*op)(packet *), const char *name) {
        packet *p = packet_of(pool.get(), b);
        ASSERT_TRUE(p);
        EXPECT_EQ(op(p), -1) << name;
        EXPECT_EQ(tohex(packet_bytes(p)), tohex(b)) << name;
        packet_release(p);
    };
    bytes cat5 = ft_action(DOT11_FT_REQUEST, DOT11_TO_BSS, 14);
    cat5[DOT11_HDR_LEN] = 5;
    bytes not_action = ft_action(DOT11_FT_REQUEST, DOT11_TO_BSS, 14);
    not_action[0] = DOT11_ST_AUTH << 4;
    bytes data_type = ft_action(DOT11_FT_REQUEST, DOT11_TO_BSS, 14);
    data_type[0] |= 0x08;
    refuse(ft_action(DOT11_FT_REQUEST, DOT11_TO_BSS, 13), dot11_encap_rrb, "FT Request of 13 bytes");
    refuse(ft_action(DOT11_FT_RESPONSE, DOT11_FROM_BSS, 15), dot11_encap_rrb, "FT Response of 15 bytes");
    refuse(ft_action(0, DOT11_TO_BSS, 20), dot11_encap_rrb, "action 0");
    refuse(ft_action(5, DOT11_TO_BSS, 20), dot11_encap_rrb, "action 5");
    refuse(cat5, dot11_encap_rrb, "category 5");
    refuse(not_action, dot11_encap_rrb, "Auth frame");
    refuse(data_type, dot11_encap_rrb, "data frame");
    refuse(bytes(25, 0xd0), dot11_encap_rrb, "25 bytes");
    EXPECT_NE(logged.find("Failed to encapsulate RRB frame\n"), std::string::npos) << logged;

    auto rrb = [](uint8_t type, uint16_t ft_len, size_t body) {
        bytes b = bytes(kTarget, kTarget + 6) + bytes(kBssid, kBssid + 6) +
                  bytes{0x89, 0x0d, type, uint8_t(ft_len), uint8_t(ft_len >> 8)} + bytes(kBssid, kBssid + 6) +
                  bytes{DOT11_CATEGORY_FT, 1};
        b.resize(23 + body, 0x11);
        return b;
    };
    logged.clear();
    refuse(rrb(0, 13, 13), dot11_decap_rrb, "request of 13");
    refuse(rrb(1, 15, 15), dot11_decap_rrb, "response of 15");
    refuse(rrb(2, 20, 20), dot11_decap_rrb, "type 2");
    refuse(rrb(0, 40, 39), dot11_decap_rrb, "length beyond the frame");
    refuse(rrb(0, 0xffff, 30), dot11_decap_rrb, "length 65535");
    bytes wrong_type = rrb(0, 14, 14);
    wrong_type[13] = 0x0e;
    refuse(wrong_type, dot11_decap_rrb, "another ethertype");
    refuse(bytes(22, 0), dot11_decap_rrb, "22 bytes");
    EXPECT_NE(logged.find("Failed to decapsulate RRB frame\n"), std::string::npos) << logged;

    // No head room for the 802.11 header: refused, not an assertion.
    pool_ptr bare = make_pool(512, 0, 0);
    bytes ok = rrb(0, 14, 14);
    packet *p = packet_of(bare.get(), ok);
    ASSERT_TRUE(p);
    EXPECT_EQ(dot11_decap_rrb(p), -1);
    EXPECT_EQ(tohex(packet_bytes(p)), tohex(ok));
    // A frame in two segments.
    packet *tail = packet_of(pool.get(), bytes(4, 0));
    ASSERT_EQ(packet_chain(p, tail), 0);
    EXPECT_EQ(dot11_decap_rrb(p), -1);
    packet_release(p);
}

bytes ossl_cmac(const uint8_t *key, const bytes &msg)
{
    EVP_MAC *mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
    EVP_MAC_CTX *ctx = EVP_MAC_CTX_new(mac);
    char cipher[] = "AES-128-CBC";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_init(ctx, key, 16, params);
    EVP_MAC_update(ctx, msg.data(), msg.size());
    uint8_t out[16];
    size_t n;
    EVP_MAC_final(ctx, out, &n, sizeof out);
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    return bytes(out, out + 16);
}

bytes ossl_hmac16(const EVP_MD *md, const uint8_t *key, const bytes &msg)
{
    uint8_t out[EVP_MAX_MD_SIZE];
    unsigned n;
    HMAC(md, key, 16, msg.data(), msg.size(), out, &n);
    return bytes(out, out + 16);
}

TEST(Dot11Frame, EapolMicMatchesLibcryptoForEachVersion)
{
    std::mt19937_64 rng(0xeab01);
    auto rnd = [&](size_t n) {
        bytes b(n);
        for (auto &x : b)
            x = uint8_t(rng());
        return b;
    };
    for (int run = 0; run < 300; run++) {
        uint8_t version = uint8_t(1 + run % 3);
        bytes kck = rnd(16), nonce = rnd(32), data = rnd(rng() % 200);
        bytes f = eapol_key(2, version | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, 16, rng(), nonce.data(),
                            rng(), data, 0);
        bytes stale = rnd(16);
        memcpy(&f[EAPOL_KEY_MIC], stale.data(), 16);
        bytes zeroed = f;
        memset(&zeroed[EAPOL_KEY_MIC], 0, 16);
        bytes want = version == 1   ? ossl_hmac16(EVP_md5(), kck.data(), zeroed)
                     : version == 2 ? ossl_hmac16(EVP_sha1(), kck.data(), zeroed)
                                    : ossl_cmac(kck.data(), zeroed);
        uint8_t mic[16];
        ASSERT_EQ(dot11_eapol_mic(f.data(), f.size(), kck.data(), mic), 0);
        ASSERT_EQ(tohex(mic, 16), tohex(want)) << "version " << int(version);
        ASSERT_EQ(tohex(&f[EAPOL_KEY_MIC], 16), tohex(want));
    }
}

TEST(Dot11Frame, EapolMicRefusesWhatItCannotCover)
{
    uint8_t kck[16] = {}, mic[16];
    bytes f = eapol_key(2, 4 | EAPOL_KEY_INFO_MIC, 16, 1, nullptr, 0, bytes(10, 1), 0);
    f[EAPOL_KEY_MIC] = 0x77;
    EXPECT_EQ(dot11_eapol_mic(f.data(), f.size(), kck, mic), -1) << "version 4";
    EXPECT_EQ(f[EAPOL_KEY_MIC], 0x77) << "the frame stays as it was";
    f[EAPOL_KEY_INFO + 1] = 0;
    EXPECT_EQ(dot11_eapol_mic(f.data(), f.size(), kck, mic), -1) << "version 0";
    f[EAPOL_KEY_INFO + 1] = 2;
    EXPECT_EQ(dot11_eapol_mic(f.data(), f.size() - 1, kck, mic), -1) << "key data beyond the frame";
    EXPECT_EQ(dot11_eapol_mic(f.data(), 98, kck, mic), -1) << "no key data length";
    EXPECT_EQ(dot11_eapol_mic(f.data(), f.size(), kck, nullptr), 0);
}

bytes ossl_unwrap(const uint8_t *kek, const bytes &wrapped)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    EVP_DecryptInit_ex(ctx, EVP_aes_128_wrap(), nullptr, kek, nullptr);
    bytes out(wrapped.size());
    int n = 0, m = 0;
    bool ok = EVP_DecryptUpdate(ctx, out.data(), &n, wrapped.data(), int(wrapped.size())) == 1 &&
              EVP_DecryptFinal_ex(ctx, out.data() + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return bytes();
    out.resize(size_t(n + m));
    return out;
}

bytes key_data(const bytes &f)
{
    return bytes(f.begin() + EAPOL_KEY_DATA, f.begin() + long(EAPOL_KEY_DATA + eapol_key_data_length(f)));
}

TEST(Dot11Frame, KeyDataIsPaddedAndWrapped)
{
    // RFC 3394 4.1 through the key data path: 16 bytes need no padding.
    bytes kek = hex("000102030405060708090A0B0C0D0E0F");
    uint8_t counter[32] = {};
    bytes f = eapol_key(2, EAPOL_KEY_V2, 16, 1, nullptr, 0, hex("00112233445566778899AABBCCDDEEFF"));
    ASSERT_EQ(dot11_eapol_encrypt_key_data(f.data(), f.size(), kek.data(), counter), 0);
    EXPECT_EQ(tohex(key_data(f)), "1fa68b0a8112b447aef34bd8fb5a7b829d3e862371d2cfe5");
    EXPECT_EQ(tohex(counter, 32), std::string(64, '0')) << "the counter is only for version 1";

    struct {
        size_t len;
        size_t padded;
    } const cases[] = {{22, 24}, {16, 16}, {24, 24}, {23, 24}, {17, 24}, {8, 16}, {1, 16}, {0, 16}, {250, 256}};
    std::mt19937 rng(7);
    for (const auto &k : cases) {
        for (uint8_t version : {EAPOL_KEY_V2, EAPOL_KEY_V3}) {
            bytes data(k.len);
            for (auto &x : data)
                x = uint8_t(rng());
            bytes g = eapol_key(2, version, 16, 1, nullptr, 0, data);
            g.resize(EAPOL_KEY_DATA + k.padded + 8);
            ASSERT_EQ(dot11_eapol_encrypt_key_data(g.data(), g.size(), kek.data(), counter), 0) << k.len;
            ASSERT_EQ(eapol_key_data_length(g), k.padded + 8) << k.len;
            bytes pad = k.padded == k.len ? bytes() : bytes{0xdd} + bytes(k.padded - k.len - 1, 0);
            EXPECT_EQ(tohex(ossl_unwrap(kek.data(), key_data(g))), tohex(data + pad)) << k.len;
            // One byte less room than the wrap needs.
            bytes h = eapol_key(2, version, 16, 1, nullptr, 0, data);
            h.resize(EAPOL_KEY_DATA + k.padded + 7);
            bytes before = h;
            EXPECT_EQ(dot11_eapol_encrypt_key_data(h.data(), h.size(), kek.data(), counter), -1) << k.len;
            EXPECT_EQ(h, before);
        }
    }
    bytes v4 = eapol_key(2, 4, 16, 1, nullptr, 0, bytes(16, 1));
    EXPECT_EQ(dot11_eapol_encrypt_key_data(v4.data(), v4.size(), kek.data(), counter), -1);
}

TEST(Dot11Frame, KeyDataUnderVersion1IsRc4WithTheNonceCounterAsIv)
{
    std::mt19937 rng(11);
    for (size_t len : {0, 1, 32, 100}) {
        bytes kek(16), data(len);
        for (auto &x : kek)
            x = uint8_t(rng());
        for (auto &x : data)
            x = uint8_t(rng());
        uint8_t counter[32];
        for (auto &x : counter)
            x = uint8_t(rng());
        counter[31] = 0xff;
        bytes iv(counter + 16, counter + 32);
        bytes f = eapol_key(254, EAPOL_KEY_V1, 32, 1, nullptr, 0, data);
        size_t before = f.size();
        ASSERT_EQ(dot11_eapol_encrypt_key_data(f.data(), f.size(), kek.data(), counter), 0);
        EXPECT_EQ(f.size(), before);
        EXPECT_EQ(eapol_key_data_length(f), len);
        EXPECT_EQ(tohex(&f[EAPOL_KEY_IV], 16), tohex(iv));
        EXPECT_EQ(counter[31], 0x00) << "the counter moved on";
        RC4_KEY rc4;
        bytes key = iv + kek, skip(256), plain = key_data(f);
        RC4_set_key(&rc4, 32, key.data());
        RC4(&rc4, skip.size(), skip.data(), skip.data());
        RC4(&rc4, plain.size(), plain.data(), plain.data());
        EXPECT_EQ(plain, data) << len;
    }
}

TEST(Dot11Frame, FtMicMatchesLibcryptoAndChecksTheElementCount)
{
    std::mt19937 rng(5);
    bytes kck(16), anonce(32), snonce(32);
    for (bytes *b : {&kck, &anonce, &snonce})
        for (auto &x : *b)
            x = uint8_t(rng());
    bytes rsnie = hex("3014 0100 000fac04 0100 000fac04 0100 000fac04 0000"), mdie = hex("3603b2a101");
    bytes body = bytes{0, 3} + bytes(16, 0x55) + anonce + snonce + hex("0106") + bytes(kBssid, kBssid + 6) +
                 hex("0304") + str("r0kh");
    bytes ftie = bytes{DOT11_EID_FTIE, uint8_t(body.size())} + body;
    const uint8_t *ies[] = {rsnie.data(), mdie.data()};
    uint8_t mic[16];
    ASSERT_EQ(dot11_ft_mic(ftie.data(), kck.data(), kSta, kBssid, 5, ies, 2, mic), 0);
    bytes zeroed = ftie;
    memset(&zeroed[DOT11_FTIE_MIC], 0, 16);
    bytes msg = bytes(kSta, kSta + 6) + bytes(kBssid, kBssid + 6) + bytes{5} + rsnie + mdie + zeroed;
    EXPECT_EQ(tohex(mic, 16), tohex(ossl_cmac(kck.data(), msg)));

    EXPECT_EQ(dot11_ft_mic(ftie.data(), kck.data(), kSta, kBssid, 5, ies, 1, mic), -1);
    ftie[DOT11_FTIE_MIC_COUNT] = 2;
    EXPECT_EQ(dot11_ft_mic(ftie.data(), kck.data(), kSta, kBssid, 5, ies, 1, mic), 0);
    bytes short_ftie = bytes{DOT11_EID_FTIE, 81} + bytes{0, 1} + bytes(79, 0);
    EXPECT_EQ(dot11_ft_mic(short_ftie.data(), kck.data(), kSta, kBssid, 5, nullptr, 0, mic), -1);
}

// The MIC's chain runs beside the wrap, two chains interleaved in the AES
// instructions: key offsets on every position within a block, both key
// lengths and both implementations against libcrypto's unwrap and CMAC.
TEST(Dot11Frame, FtMicBesideTheWrapMatchesLibcrypto)
{
    const aes_impl *saved = aes_current;
    std::vector<const aes_impl *> impls = {&aes_generic_impl};
    if (crypto_hw() & CRYPTO_HW_AES) impls.push_back(&aes_ni_impl);
    std::mt19937 rng(9);
    auto random = [&](size_t n) {
        bytes b(n);
        for (auto &x : b)
            x = uint8_t(rng());
        return b;
    };
    bytes kck = random(16), kek = random(16), mdie = hex("3603b2a101");
    for (const aes_impl *impl : impls) {
        aes_select(impl);
        for (size_t k : {16, 32}) {
            for (size_t extra = 0; extra < 16; extra++) {
                // PMKIDs and padding move the key across the block grid.
                bytes rsnie =
                    hex("30 00 0100 000fac04 0100 000fac04 0100 000fac04 0000") + random(extra);
                rsnie[1] = uint8_t(rsnie.size() - 2);
                bytes gtk = random(k);
                bytes body = bytes{0, 3} + bytes(16, 0) + random(64) + hex("0106") +
                             bytes(kBssid, kBssid + 6) +
                             bytes{2, uint8_t(k + 19), 1, 0, uint8_t(k)} + random(8) +
                             bytes(k + 8, 0xee) + hex("0304") + str("r0kh");
                bytes ftie = bytes{DOT11_EID_FTIE, uint8_t(body.size())} + body;
                size_t at = DOT11_FTIE_SUBELEMS + 8 + 5 + 8;
                const uint8_t *ies[] = {rsnie.data(), mdie.data()};
                uint8_t mic[16];
                ASSERT_EQ(dot11_ft_mic_wrap(ftie.data(), at, gtk.data(), k / 8, kck.data(),
                                            kek.data(), kSta, kBssid, 6, ies, 2, mic),
                          0);
                bytes wrapped(ftie.begin() + long(at), ftie.begin() + long(at + k + 8));
                EXPECT_EQ(tohex(ossl_unwrap(kek.data(), wrapped)), tohex(gtk))
                    << impl->name << k << extra;
                EXPECT_EQ(tohex(&ftie[at + k + 8], 6), tohex(hex("0304") + str("r0kh")));
                bytes msg = bytes(kSta, kSta + 6) + bytes(kBssid, kBssid + 6) + bytes{6} + rsnie +
                            mdie + ftie;
                EXPECT_EQ(tohex(mic, 16), tohex(ossl_cmac(kck.data(), msg)))
                    << impl->name << k << extra;
                uint8_t plain[16];
                ASSERT_EQ(dot11_ft_mic(ftie.data(), kck.data(), kSta, kBssid, 6, ies, 2, plain), 0);
                EXPECT_EQ(tohex(plain, 16), tohex(mic, 16));

                // A request's MIC taken in the same pass: its chain ends before,
                // with or after the other two.
                bytes other_ie = bytes{221, uint8_t(9 * extra)} + random(9 * extra);
                bytes req = bytes{DOT11_EID_FTIE, 82, 0, 2} + random(80);
                const uint8_t *req_ies[] = {other_ie.data()};
                aes_cmac_key ck;
                aes_cmac_set_key(&ck, kck.data());
                bytes again = ftie;
                uint8_t mic2[16], req_mic[16];
                ASSERT_EQ(dot11_ft_mic_wrap(again.data(), at, gtk.data(), k / 8, &ck, kek.data(),
                                            kSta, kBssid, 6, ies, 2, mic2,
                                            {req.data(), kSta, kBssid, 5, req_ies, 1}, req_mic),
                          0);
                EXPECT_EQ(tohex(again), tohex(ftie)) << impl->name << k << extra;
                EXPECT_EQ(tohex(mic2, 16), tohex(mic, 16));
                bytes req_msg = bytes(kSta, kSta + 6) + bytes(kBssid, kBssid + 6) + bytes{5} +
                                other_ie + bytes(req.begin(), req.begin() + 4) + bytes(16, 0) +
                                bytes(req.begin() + 20, req.end());
                EXPECT_EQ(tohex(req_mic, 16), tohex(ossl_cmac(kck.data(), req_msg)))
                    << impl->name << k << extra;
            }
        }
    }
    aes_select(saved);

    // A key that would run past the FTIE is refused with nothing written; a
    // wrong element count still wraps the key but gives no MIC.
    bytes ftie = bytes{DOT11_EID_FTIE, 84 + 24} + bytes{0, 2} + bytes(106, 0);
    bytes before = ftie, gtk = random(16);
    uint8_t mic[16];
    const uint8_t *ies[] = {mdie.data()};
    EXPECT_EQ(dot11_ft_mic_wrap(ftie.data(), 2 + 84 + 1, gtk.data(), 2, kck.data(), kek.data(),
                                kSta, kBssid, 6, ies, 1, mic),
              -1);
    EXPECT_EQ(ftie, before);
    EXPECT_EQ(dot11_ft_mic_wrap(ftie.data(), 2 + 84, gtk.data(), 2, kck.data(), kek.data(), kSta,
                                kBssid, 6, ies, 0, mic),
              -1);
    // Paired with a request whose element count is wrong, nothing is written.
    aes_cmac_key ck;
    aes_cmac_set_key(&ck, kck.data());
    bytes req = bytes{DOT11_EID_FTIE, 82, 0, 3} + bytes(80, 1);
    const uint8_t *mic_ies[] = {mdie.data()};
    before = ftie;
    uint8_t req_mic[16];
    EXPECT_EQ(dot11_ft_mic_wrap(ftie.data(), 2 + 84, gtk.data(), 2, &ck, kek.data(), kSta, kBssid,
                                6, mic_ies, 1, mic, {req.data(), kSta, kBssid, 5, mic_ies, 1},
                                req_mic),
              -1);
    EXPECT_EQ(ftie, before);
    bytes wrapped(ftie.begin() + 86, ftie.begin() + 86 + 24);
    EXPECT_EQ(tohex(ossl_unwrap(kek.data(), wrapped)), tohex(gtk));
}

} // namespace
