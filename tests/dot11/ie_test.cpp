// Information elements: builders by configuration, the RSN parser's
// statuses, the PMKID list and its insertion, FTIE sub-elements, copies and
// lists; byte images throughout, since the suites travel in wire order.
#include <cstdlib>

#include "dot11/dot11_ie.h"
#include "dot11_test_util.h"

namespace {

dot11_auth_config base_config()
{
    dot11_auth_config c{};
    c.ssid_len = 4;
    memcpy(c.ssid, "gate", 4);
    c.flags_a = DOT11_CFG_A_RSNA_ACTIVATED;
    c.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    c.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
    c.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_PSK;
    return c;
}

bytes build(int (*b)(const dot11_auth_config *, uint8_t *, size_t), const dot11_auth_config &c,
            int *result = nullptr)
{
    uint8_t buf[300];
    memset(buf, 0xee, sizeof buf);
    int n = b(&c, buf, sizeof buf);
    if (result)
        *result = n;
    return n > 0 ? bytes(buf, buf + n) : bytes();
}

TEST(Dot11Ie, RsnAndWpaCarryOnlyTheirOwnOuisSuitesInWireOrder)
{
    dot11_auth_config c = base_config();
    c.dot11RSNAConfigPairwiseCipher[1] = DOT11_CIPHER_WPA_TKIP;
    c.dot11RSNAConfigPairwiseCipher[3] = DOT11_CIPHER_TKIP;
    c.dot11RSNAConfigAuthenticationSuite[2] = DOT11_AKM_WPA_PSK;
    c.dot11RSNAConfigAuthenticationSuite[7] = DOT11_AKM_FT_PSK;
    c.dot11RSNAConfigGroupCipher = DOT11_CIPHER_TKIP;
    EXPECT_EQ(tohex(build(dot11_ie_build_rsn_ie, c)),
              "30" "1c" "0100" "000fac02" "0200" "000fac04" "000fac02" "0200" "000fac02" "000fac04" "0000");
    // The group cipher goes out under the element's own OUI.
    EXPECT_EQ(tohex(build(dot11_ie_build_wpa_ie, c)),
              "dd" "16" "0050f201" "0100" "0050f202" "0100" "0050f202" "0100" "0050f202");

    dot11_auth_config wpa_only = base_config();
    wpa_only.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_WPA_CCMP;
    wpa_only.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_WPA_8021X;
    int n = -1;
    EXPECT_TRUE(build(dot11_ie_build_rsn_ie, wpa_only, &n).empty());
    EXPECT_EQ(n, 0);
    EXPECT_EQ(tohex(build(dot11_ie_build_wpa_ie, wpa_only)),
              "dd" "16" "0050f201" "0100" "0050f204" "0100" "0050f204" "0100" "0050f201");
}

TEST(Dot11Ie, RsnElementIsWantedOnlyWithAGroupPairwiseAndAkmToOffer)
{
    struct {
        const char *name;
        void (*change)(dot11_auth_config &);
    } const cases[] = {
        {"RSNA disabled", [](dot11_auth_config &c) { c.flags_a = 0; }},
        {"WEP group cipher", [](dot11_auth_config &c) { c.dot11RSNAConfigGroupCipher = dot11_suite(0, 0x0f, 0xac, 1); }},
        {"no group cipher", [](dot11_auth_config &c) { c.dot11RSNAConfigGroupCipher = 0; }},
        {"no RSN pairwise", [](dot11_auth_config &c) { c.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_WPA_CCMP; }},
        {"no RSN AKM", [](dot11_auth_config &c) { c.dot11RSNAConfigAuthenticationSuite[0] = 0; }},
    };
    for (const auto &k : cases) {
        dot11_auth_config c = base_config();
        k.change(c);
        int n = -1;
        build(dot11_ie_build_rsn_ie, c, &n);
        EXPECT_EQ(n, 0) << k.name;
    }
}

// Replay counters are four bits at 2-5: whatever the configuration byte
// holds, MFPR and MFPC (bits 6 and 7) stay clear.
TEST(Dot11Ie, RsnCapabilitiesNeverSetManagementFrameProtection)
{
    struct {
        uint8_t flags_b, replay;
        uint16_t caps;
    } const cases[] = {
        {0, 0, 0x0000},
        {DOT11_CFG_B_PREAUTH_ACTIVATED, 0, 0x0001},
        {0, 0x03, 0x000c},
        {0, 0x0f, 0x003c},
        {0, 0xff, 0x003c},
        {0, 0x30, 0x0000},
        {DOT11_CFG_B_SPP_CAPABLE, 0, 0x0400},
        {DOT11_CFG_B_SPP_REQUIRED | DOT11_CFG_B_SPP_CAPABLE | DOT11_CFG_B_FT_ACTIVATED, 0x05, 0x0c14},
    };
    for (const auto &k : cases) {
        dot11_auth_config c = base_config();
        c.flags_b = k.flags_b;
        c.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented = k.replay;
        bytes ie = build(dot11_ie_build_rsn_ie, c);
        ASSERT_EQ(ie.size(), 22u);
        EXPECT_EQ(ie[20] | ie[21] << 8, k.caps) << int(k.flags_b) << "/" << int(k.replay);
    }
}

TEST(Dot11Ie, ShortBufferGetsNothingButTheNeededLength)
{
    dot11_auth_config c = base_config();
    c.flags_b = DOT11_CFG_B_FT_ACTIVATED;
    c.dot11FTMobilityDomainID = 0x1234;
    c.r0kh_id_len = 1;
    c.dot11BssMaxIdlePeriod = 10;
    struct {
        dot11_ie_builder b;
        int len;
    } const cases[] = {{dot11_ie_build_rsn_ie, 22}, {dot11_ie_build_ssid, 6}, {dot11_ie_build_mdie, 5},
                       {dot11_ie_build_idle, 5}};
    for (const auto &k : cases) {
        uint8_t buf[64];
        memset(buf, 0xee, sizeof buf);
        EXPECT_EQ(k.b(&c, buf, size_t(k.len - 1)), k.len);
        EXPECT_EQ(buf[0], 0xee);
        EXPECT_EQ(k.b(&c, nullptr, 0), k.len);
    }
}

TEST(Dot11Ie, SsidMdieAndIdleBuilders)
{
    dot11_auth_config c = base_config();
    EXPECT_EQ(tohex(build(dot11_ie_build_ssid, c)), "000467617465");
    int n;
    c.ssid_len = 0;
    build(dot11_ie_build_ssid, c, &n);
    EXPECT_EQ(n, 0);
    c.ssid_len = 33;
    build(dot11_ie_build_ssid, c, &n);
    EXPECT_EQ(n, -1);

    c = base_config();
    c.dot11FTMobilityDomainID = 0xa1b2;
    c.r0kh_id_len = 48;
    build(dot11_ie_build_mdie, c, &n);
    EXPECT_EQ(n, 0) << "FT disabled";
    c.flags_b = DOT11_CFG_B_FT_ACTIVATED;
    EXPECT_EQ(tohex(build(dot11_ie_build_mdie, c)), "3603b2a100");
    c.flags_b |= DOT11_CFG_B_FT_OVER_DS;
    EXPECT_EQ(tohex(build(dot11_ie_build_mdie, c)), "3603b2a101");
    for (auto change : {+[](dot11_auth_config &x) { x.r0kh_id_len = 49; }, +[](dot11_auth_config &x) { x.r0kh_id_len = 0; },
                        +[](dot11_auth_config &x) { x.dot11FTMobilityDomainID = 0; }}) {
        dot11_auth_config bad = c;
        change(bad);
        build(dot11_ie_build_mdie, bad, &n);
        EXPECT_EQ(n, -1);
    }

    c = base_config();
    build(dot11_ie_build_idle, c, &n);
    EXPECT_EQ(n, 0);
    c.dot11BssMaxIdlePeriod = 0x0102;
    EXPECT_EQ(tohex(build(dot11_ie_build_idle, c)), "5a03020100");
}

TEST(Dot11Ie, EssBuildersRunInAnnouncementOrder)
{
    const dot11_ie_builder order[] = {dot11_ie_build_ssid, dot11_ie_build_rsn_ie, dot11_ie_build_mdie,
                                      dot11_ie_build_wpa_ie};
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(dot11_ie_ess_builders[i], order[i]) << i;
}

bytes rsn(const char *body_hex)
{
    bytes body = hex(body_hex);
    return bytes{DOT11_EID_RSN, uint8_t(body.size())} + body;
}

TEST(Dot11Ie, ParserStatusesAndSelections)
{
    const char *one_each = "0100 000fac04 0100 000fac04 0100 000fac02";
    struct {
        const char *name;
        bytes ie;
        uint16_t status;
        uint32_t akm;
        uint8_t flags;
    } const cases[] = {
        {"RSN", rsn(one_each), 0, DOT11_AKM_PSK, 0},
        {"RSN with SPP bits", rsn((std::string(one_each) + "000c").c_str()), 0, DOT11_AKM_PSK,
         DOT11_RSN_SPP_CAPABLE | DOT11_RSN_SPP_REQUIRED},
        {"WPA", bytes{0xdd, 0x16} + hex("0050f201 0100 0050f202 0100 0050f202 0100 0050f202"), 0, DOT11_AKM_WPA_PSK, 0},
        {"WPA never has capabilities", bytes{0xdd, 0x18} + hex("0050f201 0100 0050f202 0100 0050f202 0100 0050f202 000c"),
         0, DOT11_AKM_WPA_PSK, 0},
        {"vendor of another type", bytes{0xdd, 0x16} + hex("0050f202 0100 0050f202 0100 0050f202 0100 0050f202"),
         DOT11_STATUS_INVALID_IE, 0, 0},
        {"vendor too short", hex("dd 03 0050f2"), DOT11_STATUS_INVALID_IE, 0, 0},
        {"other element", hex("00 04 61626364"), DOT11_STATUS_INVALID_IE, 0, 0},
        {"body of 17", rsn("0100 000fac04 0100 000fac04 0100 000fac"), DOT11_STATUS_INVALID_IE, 0, 0},
        {"version 2", rsn("0200 000fac04 0100 000fac04 0100 000fac02"), DOT11_STATUS_UNSUPPORTED_RSN_VERSION, 0, 0},
        {"two pairwise", rsn("0100 000fac04 0200 000fac04 000fac02 0100 000fac02"), DOT11_STATUS_INVALID_IE, 0, 0},
        {"two AKMs", rsn("0100 000fac04 0100 000fac04 0200 000fac02 000fac01"), DOT11_STATUS_INVALID_IE, 0, 0},
    };
    for (const auto &k : cases) {
        dot11_ie_rsn_info info{1, 1, 1, 0xff};
        EXPECT_EQ(dot11_ie_parse_rsn(k.ie, &info), k.status) << k.name;
        if (k.status == 0) {
            EXPECT_EQ(info.akm, k.akm) << k.name;
            EXPECT_EQ(info.flags, k.flags) << k.name;
        } else {
            EXPECT_EQ(info.akm, 1u) << k.name << ": a refused element selects nothing";
        }
    }
    // An element whose length runs past what was received.
    bytes cut = rsn(one_each);
    dot11_ie_rsn_info info;
    EXPECT_EQ(dot11_ie_parse_rsn(std::span(cut).first(cut.size() - 1), &info), DOT11_STATUS_INVALID_IE);
}

TEST(Dot11Ie, CapabilitiesOffsetAcceptsOnlyWholeFields)
{
    const std::string head = "0100 000fac04 0100 000fac04 0200 000fac02 000fac04"; // offset 24
    struct {
        std::string tail;
        int offset;
    } const cases[] = {
        {"", 24},          {"00", -1},     {"0000", 24},   {"000000", -1},
        {"00000000", 24},  {"0000 0100", 24}, {"0000 0100 00", 24},
    };
    for (const auto &k : cases)
        EXPECT_EQ(dot11_ie_rsn_pmkid_offset(rsn((head + k.tail).c_str())), k.offset) << k.tail;
    EXPECT_EQ(dot11_ie_rsn_pmkid_offset(rsn("0100 000fac04 0000 0000")), 12);
    EXPECT_EQ(dot11_ie_rsn_pmkid_offset(rsn("0100 000fac04 0000 00")), -1) << "length 9";
    // Counts that claim more than the element holds.
    EXPECT_EQ(dot11_ie_rsn_pmkid_offset(rsn("0100 000fac04 ffff 000fac04 0100 000fac02")), -1);
    EXPECT_EQ(dot11_ie_rsn_pmkid_offset(rsn("0100 000fac04 0100 000fac04 ffff 000fac02")), -1);
    bytes wpa = bytes{0xdd, 0x16} + hex("0050f201 0100 0050f202 0100 0050f202 0100 0050f202");
    EXPECT_EQ(dot11_ie_rsn_pmkid_offset(wpa), -1);
}

TEST(Dot11Ie, PmkidListLookups)
{
    const std::string head = "0100 000fac04 0100 000fac04 0100 000fac02 0000";
    const std::string a = "00112233445566778899aabbccddeeff", b = "ffeeddccbbaa99887766554433221100";
    bytes two = rsn((head + "0200" + a + b).c_str());
    EXPECT_TRUE(dot11_ie_has_pmkid(two, hex(b).data()));
    EXPECT_FALSE(dot11_ie_has_pmkid(two, bytes(16, 0).data()));
    ASSERT_TRUE(dot11_ie_first_pmkid(two));
    EXPECT_EQ(tohex(dot11_ie_first_pmkid(two), 16), a);

    for (const std::string &tail : {std::string(""), std::string("0000"), "0100" + a.substr(0, 30), "0200" + a}) {
        bytes ie = rsn((head + tail).c_str());
        EXPECT_FALSE(dot11_ie_has_pmkid(ie, hex(a).data())) << tail;
        EXPECT_EQ(dot11_ie_first_pmkid(ie), nullptr) << tail;
    }
}

TEST(Dot11Ie, PmkidInsertionNeedsRoomForWhatTheElementLacks)
{
    const std::string akms = "0100 000fac04 0100 000fac04 0100 000fac04";
    const std::string id = "0f0e0d0c0b0a09080706050403020100", old_id = "00112233445566778899aabbccddeeff";
    struct {
        const char *name;
        std::string body;
        size_t spare;
        int result;
        std::string after;
    } const cases[] = {
        {"ends at the AKM list", akms, 20, 0, akms + "0000 0100" + id},
        {"ends at the AKM list, 18 spare", akms, 18, -1, akms},
        {"ends after the capabilities", akms + "0c00", 18, 0, akms + "0c00 0100" + id},
        {"ends after the capabilities, 17 spare", akms + "0c00", 17, -1, akms + "0c00"},
        {"empty list before a group management cipher", akms + "0000 0000 000fac06", 16, 0,
         akms + "0000 0100" + id + "000fac06"},
        {"a PMKID already", akms + "0000 0100" + old_id, 0, 0, akms + "0000 0100" + id},
        {"a count without its PMKID", akms + "0000 0100", 16, -1, akms + "0000 0100"},
        {"a count of two with one PMKID", akms + "0000 0200" + old_id, 16, -1, akms + "0000 0200" + old_id},
        {"malformed", akms + "00", 20, -1, akms + "00"},
    };
    for (const auto &k : cases) {
        bytes ie = rsn(k.body.c_str());
        size_t len = ie.size();
        ie.resize(len + k.spare, 0xee);
        EXPECT_EQ(dot11_ie_insert_pmkid(ie.data(), k.spare, hex(id).data()), k.result) << k.name;
        bytes want = rsn(k.after.c_str());
        EXPECT_EQ(tohex(bytes(ie.begin(), ie.begin() + long(want.size()))), tohex(want)) << k.name;
        if (k.result == 0) {
            EXPECT_EQ(size_t(ie[1]) + 2, want.size()) << k.name;
        }
        for (size_t i = want.size(); i < ie.size() && k.result < 0; i++)
            ASSERT_EQ(ie[i], 0xee) << k.name << ": nothing written behind a refused element";
    }
    // An element that would pass 255 bytes.
    bytes big = rsn(("0100 000fac04 0100 000fac04 3800" + std::string(56 * 8, '0')).c_str());
    ASSERT_EQ(big.size(), 2u + 14 + 224);
    big.resize(big.size() + 20);
    EXPECT_EQ(dot11_ie_insert_pmkid(big.data(), 20, hex(id).data()), -1);
}

TEST(Dot11Ie, FtieSubElementMustMatchExactly)
{
    auto ftie = [](const std::string &subs, size_t fixed = 82) {
        bytes body = bytes(fixed, 0) + hex(subs);
        return bytes{DOT11_EID_FTIE, uint8_t(body.size())} + body;
    };
    bytes r1 = hex("020000000001"), r0 = str("r0kh");
    bytes ie = ftie("0106020000000001 0304" + tohex(r0));
    EXPECT_TRUE(dot11_ftie_has_subelem(ie, DOT11_FTIE_R1KH_ID, r1.data(), 6));
    EXPECT_TRUE(dot11_ftie_has_subelem(ie, DOT11_FTIE_R0KH_ID, r0.data(), 4));
    EXPECT_FALSE(dot11_ftie_has_subelem(ie, DOT11_FTIE_R0KH_ID, r0.data(), 3));
    EXPECT_FALSE(dot11_ftie_has_subelem(ie, DOT11_FTIE_GTK, r0.data(), 4));
    // Only the first of an id counts.
    EXPECT_FALSE(dot11_ftie_has_subelem(ftie("0302 7830 0304" + tohex(r0)), DOT11_FTIE_R0KH_ID, r0.data(), 4));
    // Too short for the fixed part, a sub-element past the end, a cut span.
    EXPECT_FALSE(dot11_ftie_has_subelem(ftie("0304" + tohex(r0), 79), DOT11_FTIE_R0KH_ID, r0.data(), 4));
    EXPECT_FALSE(dot11_ftie_has_subelem(ftie("0106020000000001 0309" + tohex(r0)), DOT11_FTIE_R0KH_ID, r0.data(), 4));
    EXPECT_FALSE(dot11_ftie_has_subelem(std::span(ie).first(ie.size() - 1), DOT11_FTIE_R0KH_ID, r0.data(), 4));
}

TEST(Dot11Ie, CopiesComparisonsAndLists)
{
    bytes a = hex("000467617465"), b = hex("3603b2a100"), c = hex("000467617466");
    uint8_t *copy = dot11_ie_dup(a.data(), DOT11_IE_PMKID_SPARE);
    ASSERT_TRUE(copy);
    EXPECT_EQ(tohex(copy, a.size() + DOT11_IE_PMKID_SPARE), tohex(a) + std::string(40, '0'));
    EXPECT_TRUE(dot11_ie_equal(copy, a.data()));
    EXPECT_FALSE(dot11_ie_equal(a.data(), c.data()));
    EXPECT_FALSE(dot11_ie_equal(a.data(), b.data()));
    free(copy);

    const uint8_t *list[] = {a.data(), nullptr, b.data()};
    EXPECT_EQ(dot11_ie_concat(nullptr, 0, list, 3), 11u);
    uint8_t buf[16];
    memset(buf, 0xee, sizeof buf);
    EXPECT_EQ(dot11_ie_concat(buf, 8, list, 3), 11u);
    EXPECT_EQ(tohex(buf, 9), "0004676174653603ee");
    EXPECT_EQ(dot11_ie_concat(buf, sizeof buf, list, 3), 11u);
    EXPECT_EQ(tohex(buf, 11), tohex(a + b));
}

} // namespace
