#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "radius/radius_codec.h"
#include "radius/radius_mib.h"
#include "radius_test_util.h"

using namespace radius_test;
using T = radius_attr_type;

namespace {

class RadiusCodec : public testing::Test
{
  protected:
    packet_ptr make(const bytes &b) { return packet_ptr(packet_of(pool.get(), b)); }
    pool_ptr pool = make_pool();
};

TEST_F(RadiusCodec, ValidatesAttributeLists)
{
    const bytes ok_vsa = vsa(RADIUS_VENDOR_WISPR, 4, {'a'});
    struct {
        const char *name;
        bytes attrs;
        int result;
    } cases[] = {
        {"no attributes", {}, 0},
        {"two well-formed", attr(T::user_name, "x") + attr(T::state, bytes{1, 2}), 0},
        {"empty value (length 2)", attr(T::user_name, bytes{}), -1},
        {"length 1", bytes{1, 1}, -1},
        {"runs past the end", bytes{1, 9, 'a'}, -1},
        {"one octet left over", attr(T::user_name, "x") + bytes{1}, -1},
        {"vendor-specific of 8", ok_vsa, 0},
        {"vendor-specific of 7", bytes{26, 7, 0, 0, 0x37, 0x2a, 4}, -1},
        {"vendor length past the attribute", bytes{26, 9, 0, 0, 0x37, 0x2a, 4, 4, 'a'}, -1},
        {"vendor length 1", bytes{26, 9, 0, 0, 0x37, 0x2a, 4, 1, 'a'}, -1},
        {"vendor length shorter than the attribute", bytes{26, 9, 0, 0, 0x37, 0x2a, 4, 2, 'a'}, 0},
    };
    for (const auto &c : cases) {
        auto p = make(message(radius_code::access_accept, 1, c.attrs));
        EXPECT_EQ(radius_validate_attrs(p.get()), c.result) << c.name;
    }
    auto shorty = make(bytes(19));
    EXPECT_EQ(radius_validate_attrs(shorty.get()), -1);
}

TEST_F(RadiusCodec, FindsAttributesAndVendorAttributes)
{
    bytes attrs = attr(T::state, "s1") + vsa(RADIUS_VENDOR_WISPR, 7, {0, 0, 0, 9}) +
                  vsa(RADIUS_VENDOR_MICROSOFT, 16, {1}) + attr(T::state, "s2") +
                  bytes{1, 0} + attr(T::class_, "hidden behind the bad one");
    auto p = make(message(radius_code::access_accept, 1, attrs));
    const uint8_t *s = radius_find_attr(p.get(), T::state);
    ASSERT_TRUE(s);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s + 2), 2), "s1");
    const uint8_t *w = radius_find_attr(p.get(), T::vendor_specific, RADIUS_VENDOR_WISPR, 7);
    ASSERT_TRUE(w);
    EXPECT_EQ(w[6], 7);
    EXPECT_FALSE(radius_find_attr(p.get(), T::vendor_specific, RADIUS_VENDOR_WISPR, 8));
    EXPECT_TRUE(radius_find_attr(p.get(), T::vendor_specific, RADIUS_VENDOR_MICROSOFT, 16));
    // The walk stops at the attribute of length 0.
    EXPECT_FALSE(radius_find_attr(p.get(), T::class_));
}

TEST_F(RadiusCodec, ReadsIntegersNumbersAndMacs)
{
    uint32_t v = 0;
    bytes i4 = attr(T::session_timeout, bytes{0, 1, 0, 2});
    EXPECT_EQ(radius_get_int(i4.data(), &v), 0);
    EXPECT_EQ(v, 0x10002u);
    bytes i3 = attr(T::session_timeout, bytes{0, 1, 0});
    EXPECT_EQ(radius_get_int(i3.data(), &v), -1);
    bytes i5 = attr(T::session_timeout, bytes{0, 1, 0, 2, 3});
    EXPECT_EQ(radius_get_int(i5.data(), &v), -1);

    struct {
        std::string value;
        size_t skip;
        int result;
        uint32_t number;
    } numbers[] = {
        {"4094", 0, 0, 4094},
        {"\x01" "12", 1, 0, 12},
        {"0x1f", 0, 0, 31},
        {"017", 0, 0, 15},
        {"0", 0, 0, 0},
        {"4294967295", 0, 0, 4294967295u},
        {"4294967296", 0, -1, 0},
        {"\x01", 1, -1, 0}, // nothing after the skipped byte
        {"12a", 0, -1, 0},
        {"09", 0, -1, 0},
        {"0x", 0, -1, 0},
        {"00000000000000000000000000000001", 0, -1, 0}, // 32 characters
        {"0000000000000000000000000000001", 0, 0, 1},   // 31
    };
    for (const auto &n : numbers) {
        bytes a = attr(T::tunnel_private_group_id, n.value);
        v = 7;
        EXPECT_EQ(radius_get_number(a.data(), n.skip, &v), n.result) << n.value;
        if (n.result == 0) {
            EXPECT_EQ(v, n.number) << n.value;
        }
    }

    uint8_t mac[6];
    bytes m = attr(T::calling_station_id, "02-0A-0b-c0-00-ff");
    ASSERT_EQ(radius_get_mac(m.data(), mac), 0);
    EXPECT_EQ(bytes(mac, mac + 6), (bytes{2, 0x0a, 0x0b, 0xc0, 0, 0xff}));
    bytes m16 = attr(T::calling_station_id, "02-0A-0b-c0-00-f");
    EXPECT_EQ(radius_get_mac(m16.data(), mac), -1);
}

TEST_F(RadiusCodec, AppendsKeepLengthAndRefuseWithoutRoom)
{
    packet_ptr p(packet_alloc(pool.get(), RADIUS_HDR_LEN));
    memset(p->data, 0, RADIUS_HDR_LEN);
    p->data[0] = 1;
    uint8_t mac[6] = {0xde, 0xad, 0xbe, 0xef, 0, 1};
    ASSERT_TRUE(radius_append_str(p.get(), T::user_name, "nemo"));
    ASSERT_TRUE(radius_append_int(p.get(), T::service_type, 10));
    ASSERT_TRUE(radius_append_mac(p.get(), T::calling_station_id, mac));
    ASSERT_TRUE(radius_append_attr(p.get(), T::state, nullptr, 3));
    bytes want = message(radius_code::access_request, 0,
                         attr(T::user_name, "nemo") + attr(T::service_type, bytes{0, 0, 0, 10}) +
                             attr(T::calling_station_id, "DE-AD-BE-EF-00-01") +
                             attr(T::state, bytes{0, 0, 0}));
    EXPECT_EQ(bytes_of(p.get()), want);
    EXPECT_EQ(radius_validate_attrs(p.get()), 0);

    errno = 0;
    EXPECT_FALSE(radius_append_attr(p.get(), T::state, nullptr, 254));
    EXPECT_EQ(errno, EINVAL);
    size_t room = packet_tailroom(p.get());
    errno = 0;
    EXPECT_FALSE(radius_append(p.get(), nullptr, room + 1));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(bytes_of(p.get()), want);
}

TEST_F(RadiusCodec, MovesAttributesAndTerminatesValues)
{
    bytes a = attr(T::nas_ip_address, bytes{1, 2, 3, 4});
    bytes b = attr(T::user_name, "bob");
    bytes c = attr(T::state, "xy");
    auto p = make(message(radius_code::access_request, 1, a + b + c));
    uint8_t *moved = radius_move_attr_to_end(p.get(), T::nas_ip_address);
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved, p->data + p->length - a.size());
    EXPECT_EQ(bytes_of(p.get()), message(radius_code::access_request, 1, b + c + a));
    EXPECT_FALSE(radius_move_attr_to_end(p.get(), T::class_));

    uint8_t *name = radius_find_attr(p.get(), T::user_name);
    uint8_t length = 0;
    char *text = radius_attr_terminate(name, &length);
    EXPECT_STREQ(text, "bob");
    EXPECT_EQ(length, 5);
    radius_attr_unterminate(name, length);
    EXPECT_EQ(bytes_of(p.get()), message(radius_code::access_request, 1, b + c + a));

    bytes empty = {static_cast<uint8_t>(T::class_), 2};
    EXPECT_STREQ(radius_attr_terminate(empty.data(), &length), "");
    radius_attr_unterminate(empty.data(), length);
    EXPECT_EQ(empty, (bytes{static_cast<uint8_t>(T::class_), 2}));

    uint8_t *dup = radius_dup_attr(radius_find_attr(p.get(), T::state));
    ASSERT_TRUE(dup);
    EXPECT_EQ(bytes(dup, dup + dup[1]), c);
    free(dup);
}

// The Access-Request and Access-Accept of RFC 2865 section 7.1 (secret "xyzzy5461").
const bytes rfc2865_request = {
    0x01, 0x00, 0x00, 0x38, 0x0f, 0x40, 0x3f, 0x94, 0x73, 0x97, 0x80, 0x57, 0xbd, 0x83,
    0xd5, 0xcb, 0x98, 0xf4, 0x22, 0x7a, 0x01, 0x06, 0x6e, 0x65, 0x6d, 0x6f, 0x02, 0x12,
    0x0d, 0xbe, 0x70, 0x8d, 0x93, 0xd4, 0x13, 0xce, 0x31, 0x96, 0xe4, 0x3f, 0x78, 0x2a,
    0x0a, 0xee, 0x04, 0x06, 0xc0, 0xa8, 0x01, 0x10, 0x05, 0x06, 0x00, 0x00, 0x00, 0x03};
const bytes rfc2865_accept = {0x02, 0x00, 0x00, 0x26, 0x86, 0xfe, 0x22, 0x0e, 0x76, 0x24,
                              0xba, 0x2a, 0x10, 0x05, 0xf6, 0xbf, 0x9b, 0x55, 0xe0, 0xb2,
                              0x06, 0x06, 0x00, 0x00, 0x00, 0x01, 0x0f, 0x06, 0x00, 0x00,
                              0x00, 0x00, 0x0e, 0x06, 0xc0, 0xa8, 0x01, 0x03};

TEST_F(RadiusCodec, ResponseAuthenticatorMatchesTheRfcExample)
{
    auto accept = make(rfc2865_accept);
    uint8_t out[16];
    radius_calc_authenticator("xyzzy5461", accept.get(), rfc2865_request.data() + 4, out);
    EXPECT_EQ(bytes(out, out + 16), bytes(rfc2865_accept.begin() + 4, rfc2865_accept.begin() + 20));
}

TEST_F(RadiusCodec, AuthenticatorsAgreeWithLibcrypto)
{
    const std::string secret = "s3cr3t";
    uint8_t req_auth[16];
    for (int i = 0; i < 16; i++)
        req_auth[i] = uint8_t(0xa0 + i);
    bytes attrs = attr(T::user_name, "x") + bytes{80, 18} + bytes(16, 0xee) +
                  attr(T::eap_message, bytes{2, 1, 0, 4});
    bytes m = message(radius_code::access_challenge, 9, attrs);
    auto p = make(m);

    // Request Authenticator of an accounting message: 16 zeros.
    uint8_t out[16];
    radius_calc_authenticator(secret.c_str(), p.get(), nullptr, out);
    bytes input(m.begin(), m.begin() + 4);
    input.resize(20, 0);
    input.insert(input.end(), m.begin() + 20, m.end());
    input.insert(input.end(), secret.begin(), secret.end());
    EXPECT_EQ(bytes(out, out + 16), md5(input));

    // Message-Authenticator: its own value taken as zeros.
    ASSERT_EQ(radius_calc_msg_auth(secret.c_str(), p.get(), req_auth, out), 0);
    bytes hm(m.begin(), m.begin() + 20);
    memcpy(hm.data() + 4, req_auth, 16);
    bytes zeroed(m.begin() + 20, m.end());
    std::fill(zeroed.begin() + 5, zeroed.begin() + 21, 0);
    hm.insert(hm.end(), zeroed.begin(), zeroed.end());
    EXPECT_EQ(bytes(out, out + 16), hmac_md5(secret, hm));

    auto short_ma = make(message(radius_code::access_accept, 1, bytes{80, 17} + bytes(15, 0)));
    EXPECT_EQ(radius_calc_msg_auth(secret.c_str(), short_ma.get(), nullptr, out), 255);
    auto no_ma = make(message(radius_code::access_accept, 1, attr(T::user_name, "x")));
    EXPECT_EQ(radius_calc_msg_auth(secret.c_str(), no_ma.get(), nullptr, out), 255);
}

// RFC 2548 encryption, written here from libcrypto's MD5 as the oracle.
bytes mppe_encrypt(const std::string &secret, const uint8_t *req_auth, const bytes &salt,
                   const bytes &key)
{
    bytes plain{uint8_t(key.size())};
    plain.insert(plain.end(), key.begin(), key.end());
    plain.resize((plain.size() + 15) / 16 * 16, 0);
    bytes out = salt;
    bytes prev(req_auth, req_auth + 16);
    prev.insert(prev.end(), salt.begin(), salt.end());
    for (size_t i = 0; i < plain.size(); i += 16) {
        bytes in(secret.begin(), secret.end());
        in.insert(in.end(), prev.begin(), prev.end());
        bytes b = md5(in);
        bytes c(16);
        for (int k = 0; k < 16; k++)
            c[k] = plain[i + k] ^ b[k];
        out.insert(out.end(), c.begin(), c.end());
        prev = c;
    }
    return out;
}

TEST_F(RadiusCodec, DecryptsMppeKeys)
{
    const std::string secret = "testing123";
    uint8_t req_auth[16];
    for (int i = 0; i < 16; i++)
        req_auth[i] = uint8_t(i * 3);
    bytes send_key(32), recv_key(16);
    for (int i = 0; i < 32; i++)
        send_key[i] = uint8_t(i);
    for (int i = 0; i < 16; i++)
        recv_key[i] = uint8_t(0xf0 - i);
    bytes attrs = vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY,
                      mppe_encrypt(secret, req_auth, {0x80, 0x01}, send_key)) +
                  vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY,
                      mppe_encrypt(secret, req_auth, {0x80, 0x02}, recv_key));
    auto p = make(message(radius_code::access_accept, 1, attrs));
    ASSERT_EQ(radius_get_mppe_key(secret.c_str(), p.get(), req_auth, RADIUS_MS_MPPE_SEND_KEY), 1);
    ASSERT_EQ(radius_get_mppe_key(secret.c_str(), p.get(), req_auth, RADIUS_MS_MPPE_RECV_KEY), 1);
    const uint8_t *s = radius_find_attr(p.get(), T::vendor_specific, RADIUS_VENDOR_MICROSOFT, 16);
    EXPECT_EQ(s[10], 32);
    EXPECT_EQ(bytes(s + 11, s + 11 + 32), send_key);
    const uint8_t *r = radius_find_attr(p.get(), T::vendor_specific, RADIUS_VENDOR_MICROSOFT, 17);
    EXPECT_EQ(r[10], 16);
    EXPECT_EQ(bytes(r + 11, r + 11 + 16), recv_key);

    // Absent, a value that is not whole blocks, and a wrong secret.
    auto none = make(message(radius_code::access_accept, 1, {}));
    EXPECT_EQ(radius_get_mppe_key(secret.c_str(), none.get(), req_auth, 16), 0);
    auto ragged = make(message(radius_code::access_accept, 1,
                               vsa(RADIUS_VENDOR_MICROSOFT, 16, bytes(2 + 17, 1))));
    EXPECT_EQ(radius_get_mppe_key(secret.c_str(), ragged.get(), req_auth, 16), -1);
    auto salt_only = make(message(radius_code::access_accept, 1,
                                  vsa(RADIUS_VENDOR_MICROSOFT, 16, bytes(2, 1))));
    EXPECT_EQ(radius_get_mppe_key(secret.c_str(), salt_only.get(), req_auth, 16), -1);
}

TEST(RadiusNames, CodesAttributesAndVendors)
{
    EXPECT_STREQ(radius_code_name(1), "Access-Request");
    EXPECT_STREQ(radius_code_name(11), "Access-Challenge");
    EXPECT_STREQ(radius_code_name(45), "CoA-NAK");
    EXPECT_STREQ(radius_code_name(99), "99");

    char buf[32];
    struct {
        bytes attr;
        const char *name;
    } names[] = {
        {attr(T::user_name, "x"), "User-Name"},
        {attr(T::wlan_rf_band, "x"), "WLAN-RF-Band"},
        {attr(T::message_authenticator, "x"), "Message-Authenticator"},
        {bytes{2, 3, 0}, "<2>"},
        {bytes{189, 3, 0}, "<189>"},
        {bytes{191, 3, 0}, "<191>"},
        {bytes{255, 3, 0}, "<255>"},
        {vsa(RADIUS_VENDOR_WISPR, 4, {'u'}), "WISPr-Redirection-URL"},
        {vsa(RADIUS_VENDOR_WISPR, 9, {'u'}), "WISPr-<9>"},
        {vsa(RADIUS_VENDOR_ULMEX, 6, {'u'}), "Ulmex-Captive-Portal"},
        {vsa(RADIUS_VENDOR_ULMEX, 7, {'u'}), "Ulmex-<7>"},
        {vsa(RADIUS_VENDOR_MICROSOFT, 17, {'u'}), "MS-MPPE-Recv-Key"},
        {vsa(RADIUS_VENDOR_MICROSOFT, 1, {'u'}), "MS-<1>"},
        {vsa(9, 1, {'u'}), "Vendor-Specific"},
        {bytes{26, 3, 0}, "Vendor-Specific"},
    };
    for (const auto &n : names)
        EXPECT_STREQ(radius_attr_name(n.attr.data(), buf, sizeof buf), n.name);

    EXPECT_STREQ(radius_termination_action_name(0, buf, sizeof buf), "Default");
    EXPECT_STREQ(radius_termination_action_name(1, buf, sizeof buf), "Request");
    EXPECT_STREQ(radius_termination_action_name(7, buf, sizeof buf), "7");
}

TEST(RadiusNames, ReasonCodesMapToTerminateCauses)
{
    const std::pair<uint16_t, uint16_t> table[] = {
        {0, 1},   {1, 10},  {2, 5},   {3, 2},   {4, 4},   {5, 15},  {6, 10},  {7, 10},
        {8, 2},   {9, 10},  {10, 15}, {11, 15}, {12, 10}, {13, 20}, {24, 20}, {25, 10},
        {47, 10}, {48, 20}, {51, 20}, {52, 10}, {65535, 10},
    };
    for (auto [reason, cause] : table)
        EXPECT_EQ(radius_reason_to_terminate_cause(reason), cause) << reason;
}

TEST(RadiusStore, CountsWhatDidNotFitAndGrowsOnce)
{
    radius_store *s = radius_store_create(7);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->capacity, 8u);
    ASSERT_TRUE(radius_store_memdup(s, "abc", 3));
    EXPECT_EQ(radius_store_used(s), 4u);
    EXPECT_FALSE(radius_store_memdup(s, "abcdef", 6));
    EXPECT_EQ(radius_store_needed(s), 12u);
    EXPECT_EQ(radius_store_used(s), 4u);
    EXPECT_FALSE(radius_store_strdup(s, "four"));
    EXPECT_EQ(radius_store_needed(s), 20u);

    radius_store *g = radius_store_grow(s);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->capacity, 20u);
    EXPECT_EQ(radius_store_used(g), 0u);
    EXPECT_EQ(radius_store_needed(g), 0u);
    // The same series now fits exactly.
    ASSERT_TRUE(radius_store_memdup(g, "abc", 3));
    ASSERT_TRUE(radius_store_memdup(g, "abcdef", 6));
    char *four = radius_store_strdup(g, "four");
    ASSERT_TRUE(four);
    EXPECT_STREQ(four, "four");
    EXPECT_FALSE(radius_store_strndup(g, "xyz", 2)); // full now
    radius_store_reset(g);
    char *two = radius_store_strndup(g, "xyz", 2);
    ASSERT_TRUE(two);
    EXPECT_STREQ(two, "xy");
    EXPECT_EQ(radius_store_grow(g), g) << "capacity covers what was needed";
    radius_store_free(g);

    radius_store *empty = radius_store_create(0);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(radius_store_alloc(empty, 1));
    EXPECT_FALSE(radius_store_alloc(empty, SIZE_MAX));
    EXPECT_EQ(radius_store_needed(empty), UINT32_MAX);
    radius_store_free(empty);
}

TEST(RadiusRecords, ClearSecretsKeepsCounters)
{
    radius_nas_record rec{};
    for (int i = 0; i < 2; i++) {
        strcpy(rec.auth[i].radiusAuthServerSharedSecret, "auth-secret");
        strcpy(rec.acct[i].radiusAccServerSharedSecret, "acct-secret");
        strcpy(rec.das[i].radiusDynAuthSharedSecret, "das-secret");
        rec.auth[i].radiusAuthClientExtAccessAccepts = 7;
        rec.acct[i].radiusAccClientExtResponses = 8;
        rec.das[i].radiusDynAuthServCoAAcks = 9;
    }
    radius_nas_record_clear_secrets(&rec);
    const char zeros[RADIUS_SECRET_SIZE] = {};
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(memcmp(rec.auth[i].radiusAuthServerSharedSecret, zeros, sizeof zeros), 0);
        EXPECT_EQ(memcmp(rec.acct[i].radiusAccServerSharedSecret, zeros, sizeof zeros), 0);
        EXPECT_EQ(memcmp(rec.das[i].radiusDynAuthSharedSecret, zeros, sizeof zeros), 0);
        EXPECT_EQ(rec.auth[i].radiusAuthClientExtAccessAccepts, 7u);
        EXPECT_EQ(rec.acct[i].radiusAccClientExtResponses, 8u);
        EXPECT_EQ(rec.das[i].radiusDynAuthServCoAAcks, 9u);
    }

    // Request ports in bits 15-1 of the configuration word, caching in bit 0.
    radius_nas_config config{};
    config.radiusClientRequestPorts = 3;
    config.radiusClientCaching = 1;
    uint16_t word;
    memcpy(&word, reinterpret_cast<const uint8_t *>(&config) + 254, sizeof word);
    EXPECT_EQ(word, 3 << 1 | 1);
}

} // namespace
