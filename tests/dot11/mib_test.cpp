// The management records: byte images of the layouts the utility reads,
// the bit packing, the fills by source and the counter arithmetic.
#include <bit>

#include "dot11/dot11_mib.h"
#include "dot11_test_util.h"

namespace {

template <typename T>
bytes image(const T &rec)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    return bytes(p, p + sizeof rec);
}

template <typename T>
std::string image_at(const T &rec, size_t at, size_t n)
{
    return tohex(image(rec).data() + at, n);
}

class Dot11Mib : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (std::endian::native != std::endian::little)
            GTEST_SKIP() << "the byte images are written for a little-endian host";
    }
};

TEST_F(Dot11Mib, AuthConfigImage)
{
    dot11_auth_config c{};
    c.bss_mac[0] = 0x02;
    c.ssid_len = 32;
    c.dot11BssMaxIdlePeriod = 0x0102;
    c.dot11ReassociateFailStatus = 0x0304;
    c.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    c.dot11RSNAConfigAuthenticationSuite[7] = DOT11_AKM_FT_PSK;
    c.dot11RSNAConfigPSKValue[0] = 0xaa;
    c.dot11RSNAConfigPSKValue[31] = 0xbb;
    c.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented = 3;
    c.dot11RSNAPMKIDUsed[15] = 0xcc;
    c.dot11FTMobilityDomainID = 0xa1b2;
    c.dot11FTR0KeyHolderID[47] = 'z';
    c.r0kh_id_len = 48;
    c.dot11FTReassociationDeadline = 0x01020304;
    c.flags_a = DOT11_CFG_A_RSNA_ACTIVATED | DOT11_REKEY_TIME_PACKETS << 1 | DOT11_CFG_A_REKEY_STRICT;
    c.flags_b = DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_SPP_REQUIRED;
    EXPECT_EQ(image_at(c, 0, 1), "02");
    EXPECT_EQ(image_at(c, 39, 3), "200201");
    EXPECT_EQ(image_at(c, 50, 6), "0403000fac04");
    EXPECT_EQ(image_at(c, 112, 4), "000fac04");
    EXPECT_EQ(image_at(c, 117, 1) + image_at(c, 148, 1), "aabb");
    EXPECT_EQ(image_at(c, 157, 1), "03");
    EXPECT_EQ(image_at(c, 203, 1), "cc");
    EXPECT_EQ(image_at(c, 216, 2), "b2a1");
    EXPECT_EQ(image_at(c, 265, 3), "7a0030");
    EXPECT_EQ(image_at(c, 272, 8), "04030201" "19220000");
    EXPECT_EQ(dot11_config_rekey_method(&c), DOT11_REKEY_TIME_PACKETS);
}

TEST_F(Dot11Mib, RecordImages)
{
    dot11Counters k{};
    k.dot11AssociatedStationCount = 0x0102;
    k.dot11ReceivedFragmentOctets = dot11_u64_make(0x1122334455667788ull);
    k.dot11ReceiveSignalLevel = -60;
    k.dot11EstimatedThroughput = 0x0a0b0c0d;
    EXPECT_EQ(image_at(k, 0, 4), "02010000");
    EXPECT_EQ(image_at(k, 8, 8), "44332211" "88776655") << "high word first";
    EXPECT_EQ(image_at(k, 76, 4), "c4000000");
    EXPECT_EQ(image_at(k, 92, 4), "0d0c0b0a");

    dot11_mib_sta s{};
    s.dot11FragmentationThreshold = 0x0908;
    s.dot11TransmittedFragmentOctets = dot11_u64_make(5);
    s.dot11RSNAGroupCipherSelected = DOT11_CIPHER_WPA_TKIP;
    s.flags = DOT11_STA_INFRA | DOT11_STA_SPP_REQUIRED;
    EXPECT_EQ(image_at(s, 8, 2), "0809");
    EXPECT_EQ(image_at(s, 80, 8), "00000000" "05000000");
    EXPECT_EQ(image_at(s, 116, 5), "0050f20281");

    dot11RSNAConfig rc{};
    rc.rekey = DOT11_REKEY_PACKETS << 5 | DOT11_RSNA_REKEY_STRICT;
    rc.flags = DOT11_RSNA_PMKID_CACHED;
    rc.dot11RSNA4WayHandshakeFailures = 7;
    EXPECT_EQ(image_at(rc, 12, 2), "0070");
    EXPECT_EQ(image_at(rc, 100, 1), "80");
    EXPECT_EQ(image_at(rc, 108, 4), "07000000");

    dot11_key_row row{};
    row.mac[5] = 0x66;
    row.key_id[15] = 0x77;
    row.akm = DOT11_AKM_FT_8021X;
    row.pairwise = DOT11_CIPHER_CCMP;
    row.lifetime = 3600;
    EXPECT_EQ(image_at(row, 5, 31), "66" + std::string(30, '0') + "77" "0000" "000fac03" "000fac04" "100e0000");

    dot1xAuthStats st{};
    st.dot1xAuthLastEapolFrameVersion = 2;
    memcpy(st.dot1xAuthLastEapolFrameSource, "\x02\x00\x00\x00\x00\x09", 6);
    EXPECT_EQ(image_at(st, 40, 12), "02000000" "020000000009" "0000");
}

TEST_F(Dot11Mib, PortTemplateAndItsStatuses)
{
    EXPECT_EQ(tohex(image(dot1x_config_template)), "00091e3c0200100e");
    dot1xAuthConfig c = dot1x_config_template;
    EXPECT_EQ(dot1x_port_control(c), DOT1X_CONTROL_AUTO);
    EXPECT_EQ(c.port & DOT1X_PORT_KEY_TX, DOT1X_PORT_KEY_TX);
    EXPECT_EQ(c.port & DOT1X_PORT_REAUTH, 0);
    // A station without a port: authenticated/idle/authorized, or initialize/initialize/unauthorized.
    c.states = 5 << 4 | 6;
    c.port = uint8_t((c.port & ~DOT1X_PORT_STATUS) | DOT1X_PORT_AUTHORIZED << 4);
    EXPECT_EQ(image_at(c, 0, 2), "5619");
    c.states = 1 << 4 | 7;
    c.port = uint8_t((c.port & ~DOT1X_PORT_STATUS) | DOT1X_PORT_UNAUTHORIZED << 4);
    EXPECT_EQ(image_at(c, 0, 2), "1729");
    EXPECT_EQ(dot1x_pae_state(c), 1);
    EXPECT_EQ(dot1x_backend_state(c), 7);
    EXPECT_EQ(dot1x_port_status(c), DOT1X_PORT_UNAUTHORIZED);
}

// Bytes 57-59: method in the top two bits, then the 16-bit cause from the
// most significant bit on.
TEST_F(Dot11Mib, SessionMethodAndCausePackMostSignificantBitFirst)
{
    dot1xAuthSessionStats s{};
    dot1x_session_set_method(&s, DOT1X_METHOD_REMOTE);
    dot1x_session_set_cause(&s, DOT1X_CAUSE_NOT_TERMINATED);
    EXPECT_EQ(image_at(s, 57, 3), "80f9c0");
    dot1x_session_set_method(&s, DOT1X_METHOD_LOCAL);
    EXPECT_EQ(image_at(s, 57, 3), "40f9c0");
    dot1x_session_set_cause(&s, 0xffff);
    EXPECT_EQ(image_at(s, 57, 3), "7fffc0");
    EXPECT_EQ(dot1x_session_method(&s), DOT1X_METHOD_LOCAL);
    s.method_cause[2] |= 0x3f; // the bits behind the cause are not its
    for (uint32_t cause : {0u, 1u, 7u, 999u, 0x8001u, 0xffffu}) {
        dot1x_session_set_cause(&s, uint16_t(cause));
        EXPECT_EQ(dot1x_session_cause(&s), cause);
        EXPECT_EQ(dot1x_session_method(&s), DOT1X_METHOD_LOCAL);
        EXPECT_EQ(s.method_cause[2] & 0x3f, 0x3f);
    }
}

TEST_F(Dot11Mib, CounterSumsCarryAndKeepTheLaterTimeStamps)
{
    dot11Counters a{}, b{};
    a.dot11ReceivedFragmentOctets = dot11_u64_make(0x00000001ffffffffull);
    b.dot11ReceivedFragmentOctets = dot11_u64_make(1);
    a.dot11TransmittedFragmentOctets = dot11_u64_make(0xffffffffffffffffull);
    b.dot11TransmittedFragmentOctets = dot11_u64_make(2);
    a.dot11ReceivedFrameCount = 0xffffffff;
    b.dot11ReceivedFrameCount = 2;
    a.dot11AssociatedStationCount = 3;
    b.dot11AssociatedStationCount = 4;
    a.dot11ReceiveTimeStamp = 100;
    b.dot11ReceiveTimeStamp = 200;
    a.dot11TransmitTimeStamp = 0xfffffff0; // b's is later, across the wrap
    b.dot11TransmitTimeStamp = 5;
    a.dot11ReceiveSignalLevel = -70;
    b.dot11ReceiveSignalLevel = -40;
    a.dot11ReceiveDataRate = 10;
    b.dot11ReceiveDataRate = 99;

    dot11Counters sum = a;
    dot11_mib_add_counters(&sum, &b);
    EXPECT_EQ(dot11_u64_get(sum.dot11ReceivedFragmentOctets), 0x0000000200000000ull);
    EXPECT_EQ(dot11_u64_get(sum.dot11TransmittedFragmentOctets), 1u);
    EXPECT_EQ(sum.dot11ReceivedFrameCount, 1u);
    EXPECT_EQ(sum.dot11AssociatedStationCount, 7);
    EXPECT_EQ(sum.dot11ReceiveTimeStamp, 200u);
    EXPECT_EQ(sum.dot11TransmitTimeStamp, 5u);
    EXPECT_EQ(sum.dot11ReceiveSignalLevel, -70) << "not combined";
    EXPECT_EQ(sum.dot11ReceiveDataRate, 10u) << "not combined";

    // Newer minus older: the deltas, and the newer time stamps.
    dot11Counters delta = sum;
    dot11_mib_sub_counters(&delta, &a);
    EXPECT_EQ(dot11_u64_get(delta.dot11ReceivedFragmentOctets), 1u);
    EXPECT_EQ(dot11_u64_get(delta.dot11TransmittedFragmentOctets), 2u);
    EXPECT_EQ(delta.dot11ReceivedFrameCount, 2u);
    EXPECT_EQ(delta.dot11AssociatedStationCount, 4);
    EXPECT_EQ(delta.dot11ReceiveTimeStamp, 200u);
    EXPECT_EQ(delta.dot11TransmitTimeStamp, 5u);

    dot11Counters most = a;
    dot11_mib_max_counters(&most, &b);
    EXPECT_EQ(dot11_u64_get(most.dot11TransmittedFragmentOctets), 0xffffffffffffffffull);
    EXPECT_EQ(most.dot11ReceivedFrameCount, 0xffffffffu);
    EXPECT_EQ(most.dot11AssociatedStationCount, 4);
    EXPECT_EQ(most.dot11ReceiveSignalLevel, -40);
    EXPECT_EQ(most.dot11ReceiveDataRate, 99u);
    EXPECT_EQ(most.dot11TransmitTimeStamp, 5u);
}

TEST_F(Dot11Mib, RsnaStatisticsAndCountersAddAndSubtract)
{
    dot11RSNAStats a{1, 2, 3, 4, 5, 6, 7, 8}, b{10, 20, 30, 40, 50, 60, 70, 0xffffffff};
    dot11_mib_add_rsna_stats(&a, &b);
    EXPECT_EQ(tohex(image(a)), tohex(image(dot11RSNAStats{11, 22, 33, 44, 55, 66, 77, 7})));
    dot11_mib_sub_rsna_stats(&a, &b);
    EXPECT_EQ(tohex(image(a)), tohex(image(dot11RSNAStats{1, 2, 3, 4, 5, 6, 7, 8})));

    dot11RSNAConfig x{}, y{};
    x.dot11RSNATKIPCounterMeasuresInvoked = 5;
    x.dot11RSNA4WayHandshakeFailures = 9;
    x.dot11RSNAConfigPMKLifetime = 43200;
    y.dot11RSNATKIPCounterMeasuresInvoked = 2;
    y.dot11RSNA4WayHandshakeFailures = 4;
    y.dot11RSNAConfigPMKLifetime = 1;
    dot11_mib_sub_rsna_counters(&x, &y);
    EXPECT_EQ(x.dot11RSNATKIPCounterMeasuresInvoked, 3u);
    EXPECT_EQ(x.dot11RSNA4WayHandshakeFailures, 5u);
    dot11_mib_add_rsna_counters(&x, &y);
    EXPECT_EQ(x.dot11RSNATKIPCounterMeasuresInvoked, 5u);
    EXPECT_EQ(x.dot11RSNA4WayHandshakeFailures, 9u);
    EXPECT_EQ(x.dot11RSNAConfigPMKLifetime, 43200u) << "only the two counters";
}

TEST_F(Dot11Mib, RsnaConfigFillsBySourceAndSizesTheGroupCipher)
{
    struct {
        uint32_t group;
        uint8_t size;
    } const sizes[] = {{DOT11_CIPHER_WPA_CCMP, 16}, {DOT11_CIPHER_CCMP, 16}, {DOT11_CIPHER_TKIP, 32},
                       {DOT11_CIPHER_WPA_TKIP, 32}, {dot11_suite(0, 0x0f, 0xac, 1), 0}, {0, 0}};
    for (const auto &k : sizes) {
        dot11_auth_config c{};
        c.dot11RSNAConfigGroupCipher = k.group;
        dot11RSNAConfig rc{};
        rc.dot11RSNAConfigGroupCipherSize = 99;
        dot11_mib_fill_rsna_config(&rc, nullptr, &c, nullptr, nullptr);
        EXPECT_EQ(rc.dot11RSNAConfigGroupCipherSize, k.size) << std::hex << k.group;
    }

    dot11_mib_sta sta{};
    sta.dot11RSNAGroupCipherSelected = DOT11_CIPHER_TKIP;
    dot11_auth_config cfg{};
    cfg.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    cfg.dot11RSNAGroupCipherSelected = DOT11_CIPHER_CCMP; // the BSS's last, not this station's
    cfg.dot11RSNAAuthenticationSuiteSelected = DOT11_AKM_PSK;
    cfg.flags_a = DOT11_REKEY_PACKETS << 1;
    cfg.flags_b = DOT11_CFG_B_PMKID_CACHED;
    cfg.dot11RSNA4WayHandshakeFailures = 3;
    cfg.dot11RSNAConfigPSKValue[0] = 0x42;
    dot11RSNAConfig rc{};
    dot11_mib_fill_rsna_config(&rc, &sta, &cfg, nullptr, nullptr);
    EXPECT_EQ(rc.dot11RSNAGroupCipherSelected, DOT11_CIPHER_TKIP);
    EXPECT_EQ(rc.dot11RSNAAuthenticationSuiteSelected, 0u);
    EXPECT_EQ(rc.rekey, DOT11_REKEY_PACKETS << 5);
    EXPECT_EQ(rc.flags, DOT11_RSNA_PMKID_CACHED);
    EXPECT_EQ(rc.dot11RSNA4WayHandshakeFailures, 3u);
    EXPECT_EQ(rc.dot11RSNAConfigPSKValue[0], 0x42);

    dot11_rsna_mib rsna{};
    rsna.dot11RSNAAuthenticationSuiteSelected = DOT11_AKM_FT_PSK;
    rsna.dot11RSNAGroupCipherSelected = DOT11_CIPHER_CCMP;
    rsna.dot11RSNA4WayHandshakeFailures = 1;
    dot11_ft_auth_row ft{};
    ft.akm = DOT11_AKM_FT_8021X;
    ft.pairwise = DOT11_CIPHER_CCMP;
    dot11_mib_fill_rsna_config(&rc, &sta, &cfg, &rsna, &ft);
    EXPECT_EQ(rc.dot11RSNAGroupCipherSelected, DOT11_CIPHER_CCMP) << "the station's own";
    EXPECT_EQ(rc.dot11RSNAAuthenticationSuiteSelected, DOT11_AKM_FT_8021X) << "the FT row last";
    EXPECT_EQ(rc.dot11RSNAPairwiseCipherSelected, DOT11_CIPHER_CCMP);
    EXPECT_EQ(rc.flags, 0) << "the station did not use a cached PMKID";
    EXPECT_EQ(rc.dot11RSNA4WayHandshakeFailures, 1u);
}

TEST_F(Dot11Mib, ConfigFillMapsEveryFlagSource)
{
    dot11_auth_config c{};
    c.dot11RSNAConfigPSKValue[0] = 0x11;
    dot11_mib_vap vap{};
    vap.bss_mac[0] = 0x02;
    vap.ssid_len = 40; // more than an SSID holds
    memset(vap.ssid, 'a', sizeof vap.ssid);
    vap.dot11DeauthenticateReason = 4;
    vap.flags = 0xff;
    dot11_mib_sta cap{};
    cap.flags = DOT11_STA_SPP_CAPABLE;
    uint8_t rsna_flags = DOT11_RSNA_FLAG_ACTIVATED | DOT11_RSNA_FLAG_PREAUTH;
    dot11RSNAConfig rc{};
    rc.rekey = DOT11_REKEY_TIME << 5 | DOT11_RSNA_REKEY_STRICT;
    rc.flags = DOT11_RSNA_PMKID_CACHED;
    rc.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    rc.dot11RSNATKIPCounterMeasuresInvoked = 6;
    dot11_mib_ft ft{};
    ft.flags = DOT11_FT_ACTIVATED | DOT11_FT_RESOURCE_REQUEST;
    ft.dot11FTMobilityDomainID = 7;
    ft.r0kh_id_len = 200;
    memset(ft.dot11FTR0KeyHolderID, 'r', sizeof ft.dot11FTR0KeyHolderID);
    dot11RSNAStats stats{};
    stats.dot11RSNAStatsTKIPRemoteMICFailures = 12;
    dot11_mib_fill_config(&c, &vap, &cap, &rsna_flags, &rc, &ft, &stats);
    EXPECT_EQ(c.ssid_len, 32);
    EXPECT_EQ(c.ssid[32], 0);
    EXPECT_EQ(c.r0kh_id_len, 48);
    EXPECT_EQ(c.dot11FTR0KeyHolderID[48], 0);
    EXPECT_EQ(c.dot11DeauthenticateReason, 4);
    EXPECT_EQ(c.flags_a, DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_PREAUTH_IMPLEMENTED |
                             DOT11_CFG_A_FT_IMPLEMENTED | DOT11_CFG_A_RSNA_ACTIVATED |
                             DOT11_REKEY_TIME << 1 | DOT11_CFG_A_REKEY_STRICT);
    EXPECT_EQ(c.flags_b, DOT11_CFG_B_PREAUTH_ACTIVATED | DOT11_CFG_B_PMKID_CACHED | DOT11_CFG_B_FT_ACTIVATED |
                             DOT11_CFG_B_FT_RESOURCE_REQUEST | DOT11_CFG_B_SPP_CAPABLE);
    EXPECT_EQ(c.dot11RSNAConfigPSKValue[0], 0) << "the RSNA record's PSK";
    EXPECT_EQ(c.dot11RSNATKIPCounterMeasuresInvoked, 6u);
    EXPECT_EQ(c.dot11RSNAStatsTKIPRemoteMICFailures, 12u);
    EXPECT_EQ(c.dot11FTMobilityDomainID, 7);

    // Absent sources change nothing.
    dot11_auth_config same = c;
    dot11_mib_fill_config(&same, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(image(same), image(c));
}

TEST_F(Dot11Mib, StationPartAndCountersFillEachOther)
{
    dot11Counters k{};
    uint8_t *p = reinterpret_cast<uint8_t *>(&k);
    for (size_t i = 0; i < sizeof k; i++)
        p[i] = uint8_t(i + 1);
    dot11RSNAStats st{1, 2, 3, 4, 5, 6, 7, 8};
    dot11_mib_assoc assoc{{2, 0, 0, 0, 0, 7}, 7991, 2346, DOT11_STA_INFRA | DOT11_STA_QOS};
    dot11_rsna_mib rsna{};
    rsna.dot11DisassociateReason = 8;
    rsna.dot11RSNAGroupCipherSelected = DOT11_CIPHER_CCMP;
    dot11_mib_sta sta{};
    dot11_mib_fill_sta(&sta, &assoc, &rsna, &k, &st);
    EXPECT_EQ(sta.mac[5], 7);
    EXPECT_EQ(sta.dot11MaxTransmitMPDULength, 7991);
    EXPECT_EQ(sta.dot11DisassociateReason, 8);
    EXPECT_EQ(sta.dot11RSNAGroupCipherSelected, DOT11_CIPHER_CCMP);
    EXPECT_EQ(sta.flags, DOT11_STA_INFRA | DOT11_STA_QOS);
    EXPECT_EQ(sta.dot11RSNAStatsBIPMICErrors, 8u);

    dot11Counters back{};
    dot11_mib_fill_counters(&back, &sta, nullptr);
    dot11Counters want = k;
    // The fields the station part does not carry.
    want.reserved2[0] = want.reserved2[1] = 0;
    want.dot11FailedCount = want.dot11RetryCount = 0;
    want.dot11ReceiveTimeStamp = want.dot11TransmitTimeStamp = 0;
    want.dot11ReceiveSignalLevel = 0;
    memset(want.reserved77, 0, 3);
    want.dot11ReceiveDataRate = want.dot11TransmitDataRate = want.dot11EstimatedThroughput = 0;
    EXPECT_EQ(tohex(image(back)), tohex(image(want)));

    dot11RSNAStats st2{};
    dot11_mib_fill_rsna_stats(&st2, &sta, nullptr, nullptr, nullptr);
    EXPECT_EQ(tohex(image(st2)), tohex(image(dot11RSNAStats{1, 2, 3, 0, 5, 6, 7, 8})));
    dot11_auth_config cfg{};
    cfg.dot11RSNAStatsTKIPRemoteMICFailures = 40;
    dot11_mib_fill_rsna_stats(&st2, &sta, nullptr, &cfg, nullptr);
    EXPECT_EQ(st2.dot11RSNAStatsTKIPRemoteMICFailures, 40u);
    rsna.dot11RSNAStatsTKIPRemoteMICFailures = 41;
    dot11_mib_fill_rsna_stats(&st2, &sta, nullptr, &cfg, &rsna);
    EXPECT_EQ(st2.dot11RSNAStatsTKIPRemoteMICFailures, 41u);
}

TEST_F(Dot11Mib, ConfigCopiesMembershipAndThePsk)
{
    dot11_auth_config src{};
    for (size_t i = 0; i < sizeof src; i++)
        reinterpret_cast<uint8_t *>(&src)[i] = uint8_t(i * 7 + 1);
    dot11_auth_config dst{};
    dot11_config_copy(&dst, &src);
    bytes a = image(src), b = image(dst);
    // Counters and the last selections stay the destination's; so do reserved bytes.
    for (size_t i = 0; i < sizeof src; i++) {
        bool kept = (i >= 164 && i < 216) || (i >= 65 && i < 68) || (i >= 149 && i < 152) || i == 159 || i >= 278;
        EXPECT_EQ(b[i], kept ? 0 : a[i]) << "byte " << i;
    }
    dot11_auth_config vap{};
    dot11_config_copy_vap(&vap, &src);
    EXPECT_EQ(image_at(vap, 0, 6), tohex(a.data(), 6));
    EXPECT_EQ(vap.dot11BssMaxIdlePeriod, src.dot11BssMaxIdlePeriod);
    EXPECT_EQ(vap.dot11DeauthenticateReason, src.dot11DeauthenticateReason);
    EXPECT_EQ(vap.flags_a, src.flags_a);
    EXPECT_EQ(vap.ssid_len, 0);

    dot11_config_clear_psk(&dst);
    EXPECT_EQ(image_at(dst, 117, 32), std::string(64, '0'));
    EXPECT_EQ(image_at(dst, 116, 1), tohex(a.data() + 116, 1));
    EXPECT_EQ(image_at(dst, 149, 3), "000000");

    dot11_auth_config c{};
    c.dot11RSNAConfigPairwiseCipher[3] = DOT11_CIPHER_TKIP;
    c.dot11RSNAConfigAuthenticationSuite[7] = DOT11_AKM_8021X;
    EXPECT_TRUE(dot11_config_has_cipher(&c, DOT11_CIPHER_TKIP));
    EXPECT_FALSE(dot11_config_has_cipher(&c, DOT11_CIPHER_WPA_TKIP));
    EXPECT_FALSE(dot11_config_has_cipher(&c, 0));
    EXPECT_TRUE(dot11_config_has_akm(&c, DOT11_AKM_8021X));
    EXPECT_FALSE(dot11_config_has_akm(&c, DOT11_AKM_PSK));
    EXPECT_FALSE(dot11_config_has_akm(&c, 0));
}

} // namespace
