// tshark as the oracle of the whole key chain: a capture of an association
// and a 4-way handshake whose EAPOL-Key frames are sealed with our MIC and
// key data functions, and whose keys come from our derivations. Given only
// the passphrase, tshark derives the keys itself from the handshake (it
// checks the MIC of message 2 to accept them), decrypts the key data of
// message 3 (or of the WPA group message) and shows its TK and GTK, which
// must be ours. The frames our builders make go through its dissectors with
// no malformed-packet item.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "dot11/dot11_desc.h"
#include "dot11/dot11_frame.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_keygen.h"
#include "dot11_test_util.h"

namespace {

const uint8_t kBssid[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};
const uint16_t kMdid = 0xa1b2;
const char kR0khId[] = "r0kh.gateway.example";

struct handshake_case {
    const char *name;
    uint32_t akm;
    uint32_t cipher; // pairwise and group
    uint8_t version; // key descriptor version
    const char *ssid;
    const char *passphrase;
};

bool is_wpa(const handshake_case &c)
{
    return dot11_suite_oui(c.akm) == DOT11_OUI_WPA;
}

bool is_ft(const handshake_case &c)
{
    return c.akm == DOT11_AKM_FT_PSK;
}

void PrintTo(const handshake_case &c, std::ostream *os)
{
    *os << c.name;
}

bytes psk_from_wpa_passphrase(const std::string &ssid, const std::string &pass)
{
    std::string out = run("wpa_passphrase '" + ssid + "' '" + pass + "'");
    size_t at = out.find("\tpsk=");
    return at == std::string::npos ? bytes() : hex(out.substr(at + 5, 64));
}

template <typename Build>
bytes built(Build build, const dot11_auth_config &cfg)
{
    uint8_t buf[257];
    int n = build(&cfg, buf, sizeof buf);
    EXPECT_GE(n, 0);
    return n > 0 ? bytes(buf, buf + n) : bytes();
}

bytes ftie(const uint8_t *anonce, const uint8_t *snonce)
{
    bytes body(82, 0);
    if (anonce)
        memcpy(&body[DOT11_FTIE_ANONCE - 2], anonce, 32);
    if (snonce)
        memcpy(&body[DOT11_FTIE_SNONCE - 2], snonce, 32);
    body.push_back(DOT11_FTIE_R1KH_ID);
    body.push_back(6);
    body.insert(body.end(), kBssid, kBssid + 6);
    body.push_back(DOT11_FTIE_R0KH_ID);
    body.push_back(uint8_t(strlen(kR0khId)));
    body.insert(body.end(), kR0khId, kR0khId + strlen(kR0khId));
    return bytes{DOT11_EID_FTIE, uint8_t(body.size())} + body;
}

bytes kde(uint8_t type, const bytes &data)
{
    return bytes{DOT11_EID_VENDOR, uint8_t(4 + data.size()), 0x00, 0x0f, 0xac, type} + data;
}

std::string malformed_frames(const std::string &pcap)
{
    return run("tshark -n -r " + pcap + " -Y '_ws.malformed || _ws.expert.severity >= 0x00800000'"
               " -T fields -e frame.number -e _ws.expert.message 2>/dev/null");
}

class TsharkHandshake : public ::testing::TestWithParam<handshake_case> {
  protected:
    void SetUp() override
    {
        if (!have_program("tshark") || !have_program("wpa_passphrase"))
            GTEST_SKIP() << "tshark and wpa_passphrase are needed (scripts/setup.sh installs them)";
    }
};

TEST_P(TsharkHandshake, TsharkDerivesOurKeysFromOurSealedFrames)
{
    const handshake_case &c = GetParam();
    bool wpa = is_wpa(c), ft = is_ft(c);
    bytes psk = psk_from_wpa_passphrase(c.ssid, c.passphrase);
    ASSERT_EQ(psk.size(), 32u);

    dot11_auth_config ap{};
    memcpy(ap.bss_mac, kBssid, 6);
    ap.ssid_len = uint8_t(strlen(c.ssid));
    memcpy(ap.ssid, c.ssid, ap.ssid_len);
    ap.dot11RSNAConfigGroupCipher = c.cipher;
    ap.dot11RSNAConfigPairwiseCipher[0] = c.cipher;
    ap.dot11RSNAConfigAuthenticationSuite[0] = c.akm;
    ap.flags_a = DOT11_CFG_A_RSNA_ACTIVATED;
    if (ft) {
        ap.flags_b = DOT11_CFG_B_FT_ACTIVATED;
        ap.dot11FTMobilityDomainID = kMdid;
        ap.r0kh_id_len = uint8_t(strlen(kR0khId));
        memcpy(ap.dot11FTR0KeyHolderID, kR0khId, ap.r0kh_id_len);
    }
    bytes ssid_ie = built(dot11_ie_build_ssid, ap);
    bytes ap_ie = built(wpa ? dot11_ie_build_wpa_ie : dot11_ie_build_rsn_ie, ap);
    bytes mdie = built(dot11_ie_build_mdie, ap);
    ASSERT_FALSE(ap_ie.empty());
    // The station's element: the one AKM and cipher it picked.
    dot11_auth_config sta_cfg = ap;
    bytes sta_ie = built(wpa ? dot11_ie_build_wpa_ie : dot11_ie_build_rsn_ie, sta_cfg);
    const bytes rates = {1, 8, 0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12, 0x18, 0x24};

    // Keys: nonces from our counter, the group key from our GMK.
    uint8_t counter[32], gmk[32], anonce[32], gnonce[32], snonce[32];
    ASSERT_EQ(dot11_init_nonce_counter(counter, kBssid), 0);
    ASSERT_EQ(dot11_derive_gmk(gmk), 0);
    dot11_nonce_next(counter, anonce, 32);
    dot11_nonce_next(counter, gnonce, 32);
    for (int i = 0; i < 32; i++)
        snonce[i] = uint8_t(0x5a ^ i * 7);
    uint8_t gtk[32];
    dot11_derive_gtk(gmk, kBssid, gnonce, gtk);
    size_t tk_len = dot11_cipher_key_length(c.cipher);

    uint8_t ptk[64], pmkid[16];
    if (ft) {
        uint8_t pmk_r0[32], r0name[16], pmk_r1[32];
        dot11_derive_pmkr0(psk.data(), ap.ssid, ap.ssid_len, kMdid, ap.dot11FTR0KeyHolderID,
                           ap.r0kh_id_len, kSta, pmk_r0, r0name);
        dot11_derive_pmkr1(pmk_r0, kBssid, kSta, pmk_r1);
        dot11_derive_pmkr1name(r0name, kBssid, kSta, pmkid);
        dot11_derive_ptk_ft(pmk_r1, 32 + tk_len, kBssid, kSta, anonce, snonce, ptk);
    } else if (c.akm == DOT11_AKM_PSK_SHA256) {
        dot11_derive_pmkid_sha256(psk.data(), kBssid, kSta, pmkid);
        dot11_derive_ptk_sha256(psk.data(), 32 + tk_len, kBssid, kSta, anonce, snonce, ptk);
    } else {
        dot11_derive_pmkid(psk.data(), kBssid, kSta, pmkid);
        dot11_derive_ptk(psk.data(), kBssid, kSta, anonce, snonce, ptk);
    }
    const uint8_t *kck = ptk, *kek = ptk + 16;
    bytes tk(ptk + 32, ptk + 32 + tk_len);

    if (ft) {
        // The PMKID of the station's and our element is PMKR1Name.
        for (bytes *ie : {&sta_ie, &ap_ie}) {
            ie->resize(ie->size() + DOT11_IE_PMKID_SPARE);
            ASSERT_EQ(dot11_ie_insert_pmkid(ie->data(), DOT11_IE_PMKID_SPARE, pmkid), 0);
            ie->resize(2 + (*ie)[1]);
        }
    }

    auto pool = make_pool();
    std::vector<bytes> frames;
    auto build_frame = [&](auto make) {
        packet *p = packet_alloc(pool.get(), 0);
        ASSERT_TRUE(p);
        ASSERT_EQ(make(p), 0);
        frames.push_back(packet_bytes(p));
        packet_release(p);
    };
    std::vector<const uint8_t *> beacon_ies = {ssid_ie.data(), ap_ie.data()};
    if (ft)
        beacon_ies.push_back(mdie.data());
    build_frame([&](packet *p) {
        return dot11_make_probe_resp(p, kBssid, kSta, 0x0011, 100, beacon_ies.data(), beacon_ies.size());
    });
    build_frame([&](packet *p) { return dot11_make_auth(p, kBssid, kSta, DOT11_TO_BSS, 0, 1, 0, nullptr, 0); });
    build_frame([&](packet *p) { return dot11_make_auth(p, kBssid, kSta, DOT11_FROM_BSS, 0, 2, 0, nullptr, 0); });
    bytes assoc_req = bytes{0x11, 0x00, 0x0a, 0x00} + ssid_ie + rates + sta_ie + (ft ? mdie : bytes());
    frames.push_back(mgmt_frame(DOT11_ST_ASSOC_REQ, kBssid, kSta, DOT11_TO_BSS, assoc_req));
    bytes ft_elem = ftie(nullptr, nullptr);
    std::vector<const uint8_t *> resp_ies = {rates.data()};
    if (ft) {
        resp_ies.push_back(mdie.data());
        resp_ies.push_back(ft_elem.data());
    }
    build_frame([&](packet *p) {
        return dot11_make_assoc_resp(p, kBssid, kSta, DOT11_ST_ASSOC_RESP, 0x0011, 0, resp_ies.data(),
                                     resp_ies.size());
    });

    uint8_t desc = wpa ? 254 : 2;
    uint16_t v = c.version;
    uint16_t seq = 1;
    // Message 1: the ANonce and, for RSN, the PMKID.
    bytes m1 = eapol_key(desc, v | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_ACK, uint16_t(tk_len), 1,
                         anonce, 0, wpa ? bytes() : kde(4, bytes(pmkid, pmkid + 16)));
    frames.push_back(eapol_data_frame(false, kBssid, kSta, m1, seq++));
    // Message 2, as the station sends it.
    bytes m2_data = sta_ie;
    if (ft)
        m2_data = m2_data + mdie + ftie(anonce, snonce);
    bytes m2 = eapol_key(desc, v | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, 0, 1, snonce, 0, m2_data);
    ASSERT_EQ(dot11_eapol_mic(m2.data(), eapol_length(m2), kck, nullptr), 0);
    frames.push_back(eapol_data_frame(true, kBssid, kSta, m2, seq++));
    // Message 3: our element, and for RSN the GTK, encrypted.
    bytes m3_data = ap_ie;
    uint16_t m3_info = v | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_INSTALL | EAPOL_KEY_INFO_ACK |
                       EAPOL_KEY_INFO_MIC;
    if (!wpa) {
        if (ft)
            m3_data = m3_data + mdie + ftie(anonce, snonce);
        m3_data = m3_data + kde(1, bytes{0x01, 0x00} + bytes(gtk, gtk + tk_len));
        m3_info |= EAPOL_KEY_INFO_SECURE | EAPOL_KEY_INFO_ENCRYPTED;
    }
    bytes m3 = eapol_key(desc, m3_info, uint16_t(tk_len), 2, anonce, 0, m3_data);
    if (!wpa) {
        ASSERT_EQ(dot11_eapol_encrypt_key_data(m3.data(), m3.size(), kek, counter), 0);
        eapol_fix_length(m3);
    }
    ASSERT_EQ(dot11_eapol_mic(m3.data(), eapol_length(m3), kck, nullptr), 0);
    frames.push_back(eapol_data_frame(false, kBssid, kSta, m3, seq++));
    bytes m4 = eapol_key(desc, v | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC | (wpa ? 0 : EAPOL_KEY_INFO_SECURE),
                         0, 2, nullptr, 0, bytes());
    ASSERT_EQ(dot11_eapol_mic(m4.data(), eapol_length(m4), kck, nullptr), 0);
    frames.push_back(eapol_data_frame(true, kBssid, kSta, m4, seq++));
    if (wpa) {
        // WPA hands the GTK over in the group handshake, its key data the bare key.
        uint16_t gn = 1 << 4;
        bytes g1 = eapol_key(desc, v | EAPOL_KEY_INFO_SECURE | EAPOL_KEY_INFO_MIC | EAPOL_KEY_INFO_ACK | gn,
                             uint16_t(tk_len), 3, gnonce, 0, bytes(gtk, gtk + tk_len));
        ASSERT_EQ(dot11_eapol_encrypt_key_data(g1.data(), g1.size(), kek, counter), 0);
        eapol_fix_length(g1);
        ASSERT_EQ(dot11_eapol_mic(g1.data(), eapol_length(g1), kck, nullptr), 0);
        frames.push_back(eapol_data_frame(false, kBssid, kSta, g1, seq++));
        bytes g2 = eapol_key(desc, v | EAPOL_KEY_INFO_SECURE | EAPOL_KEY_INFO_MIC | gn, 0, 3, nullptr, 0, bytes());
        ASSERT_EQ(dot11_eapol_mic(g2.data(), eapol_length(g2), kck, nullptr), 0);
        frames.push_back(eapol_data_frame(true, kBssid, kSta, g2, seq++));
    }

    bool ccmp = dot11_cipher_is_ccmp(c.cipher);
    if (ccmp) {
        frames.push_back(ccmp_data_frame(kBssid, kSta, true, tk.data(), 0, 1));
        frames.push_back(ccmp_data_frame(kBssid, kSta, false, gtk, 1, 1));
    }

    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string pcap = dir.path + "/handshake.pcap";
    write_pcap(pcap, frames);
    auto rows = tshark_keys(pcap, c.passphrase, c.ssid);
    ASSERT_EQ(rows.size(), frames.size());
    size_t first_eapol = 5;
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(rows[first_eapol + i].msgnr, std::to_string(i + 1)) << "frame " << first_eapol + i + 1;
    std::set<std::string> tks, gtks, kcks, keks;
    for (const tshark_row &r : rows) {
        for (auto [field, set] : {std::pair{&r.tk, &tks}, {&r.gtk, &gtks}, {&r.kck, &kcks}, {&r.kek, &keks}})
            if (!field->empty())
                set->insert(*field);
    }
    EXPECT_EQ(kcks, std::set<std::string>{tohex(kck, 16)});
    EXPECT_EQ(keks, std::set<std::string>{tohex(kek, 16)});
    if (ccmp) {
        // Only a frame it decrypted shows the keys tshark holds.
        EXPECT_EQ(tks, std::set<std::string>{tohex(tk)});
        EXPECT_EQ(gtks, std::set<std::string>{tohex(gtk, tk_len)});
    }
    EXPECT_EQ(malformed_frames(pcap), "");
}

// Every frame our builders make, with the elements the authenticator puts
// in them, as tshark dissects it: the expected subtype and no malformed or
// error item.
TEST(Dot11Tshark, DissectsEveryBuilderFrameCleanly)
{
    if (!have_program("tshark"))
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    dot11_auth_config ap{};
    memcpy(ap.bss_mac, kBssid, 6);
    ap.ssid_len = 7;
    memcpy(ap.ssid, "gateway", 7);
    ap.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    ap.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
    ap.dot11RSNAConfigPairwiseCipher[1] = DOT11_CIPHER_WPA_TKIP;
    ap.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_FT_PSK;
    ap.dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_PSK;
    ap.dot11RSNAConfigAuthenticationSuite[2] = DOT11_AKM_WPA_PSK;
    ap.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented = 0xff;
    ap.flags_a = DOT11_CFG_A_RSNA_ACTIVATED;
    ap.flags_b = DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_FT_OVER_DS | DOT11_CFG_B_PREAUTH_ACTIVATED;
    ap.dot11FTMobilityDomainID = kMdid;
    ap.r0kh_id_len = uint8_t(strlen(kR0khId));
    memcpy(ap.dot11FTR0KeyHolderID, kR0khId, ap.r0kh_id_len);
    ap.dot11BssMaxIdlePeriod = 292;
    std::vector<bytes> ess;
    for (dot11_ie_builder b : dot11_ie_ess_builders)
        ess.push_back(built(b, ap));
    bytes idle = built(dot11_ie_build_idle, ap), rsn = ess[1], mdie = ess[2];
    uint8_t pmkid[16];
    memset(pmkid, 0x3c, sizeof pmkid);
    rsn.resize(rsn.size() + DOT11_IE_PMKID_SPARE);
    ASSERT_EQ(dot11_ie_insert_pmkid(rsn.data(), DOT11_IE_PMKID_SPARE, pmkid), 0);
    rsn.resize(2 + rsn[1]);
    uint8_t anonce[32], snonce[32];
    memset(anonce, 0xa1, 32);
    memset(snonce, 0x5e, 32);
    bytes ft_elem = ftie(anonce, snonce);
    const uint8_t *beacon_ies[] = {ess[0].data(), ess[1].data(), ess[2].data(), ess[3].data()};
    const uint8_t *ft_ies[] = {rsn.data(), mdie.data(), ft_elem.data()};
    const uint8_t *reassoc_ies[] = {rsn.data(), mdie.data(), ft_elem.data(), idle.data()};

    auto pool = make_pool();
    struct {
        int (*make)(packet *, const uint8_t *const *const *);
        const char *subtype;
    } const builders[] = {
        {[](packet *p, const uint8_t *const *const *e) { return dot11_make_probe_resp(p, kBssid, kSta, 0x0411, 100, e[0], 4); }, "0x0005"},
        {[](packet *p, const uint8_t *const *const *e) { return dot11_make_auth(p, kBssid, kSta, DOT11_FROM_BSS, 2, 2, 0, e[1], 3); }, "0x000b"},
        {[](packet *p, const uint8_t *const *const *) { return dot11_make_auth(p, kBssid, kSta, DOT11_FROM_BSS, 0, 2, 13, nullptr, 0); }, "0x000b"},
        {[](packet *p, const uint8_t *const *const *e) { return dot11_make_assoc_resp(p, kBssid, kSta, 1, 0x0411, 0, e[2], 4); }, "0x0001"},
        {[](packet *p, const uint8_t *const *const *e) { return dot11_make_assoc_resp(p, kBssid, kSta, 3, 0x0411, 0, e[2], 4); }, "0x0003"},
        {[](packet *p, const uint8_t *const *const *) { return dot11_make_deauth(p, kBssid, kSta, DOT11_FROM_BSS, 15); }, "0x000c"},
        {[](packet *p, const uint8_t *const *const *e) { return dot11_make_action_ft_resp(p, kBssid, kSta, kBssid, 0, e[1], 3); }, "0x000d"},
    };
    const uint8_t *const *lists[] = {beacon_ies, ft_ies, reassoc_ies};
    std::vector<bytes> frames;
    std::string want;
    for (const auto &b : builders) {
        packet *p = packet_alloc(pool.get(), 0);
        ASSERT_TRUE(p);
        ASSERT_EQ(b.make(p, lists), 0);
        frames.push_back(packet_bytes(p));
        packet_release(p);
        want += std::string(b.subtype) + "\n";
    }
    temp_dir dir;
    std::string pcap = dir.path + "/builders.pcap";
    write_pcap(pcap, frames);
    EXPECT_EQ(run("tshark -n -r " + pcap + " -T fields -e wlan.fc.type_subtype 2>/dev/null"), want);
    EXPECT_EQ(malformed_frames(pcap), "");
}

const handshake_case kHandshakes[] = {
    {"RsnPskCcmp", DOT11_AKM_PSK, DOT11_CIPHER_CCMP, 2, "IEEE", "password"},
    {"WpaPskTkip", DOT11_AKM_WPA_PSK, DOT11_CIPHER_WPA_TKIP, 1, "ThisIsASSID", "ThisIsAPassword"},
    {"RsnPskSha256", DOT11_AKM_PSK_SHA256, DOT11_CIPHER_CCMP, 3, "gateway-test", "correct horse"},
    {"FtPsk", DOT11_AKM_FT_PSK, DOT11_CIPHER_CCMP, 3, "ft-mobility", "roaming-passphrase"},
};
INSTANTIATE_TEST_SUITE_P(Dot11, TsharkHandshake, ::testing::ValuesIn(kHandshakes),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
