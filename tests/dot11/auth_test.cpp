// The BSS authenticator against a simulated station whose keys come from
// libcrypto: open system, RSN-PSK (AKMs :2 and :6), WPA-PSK with the group
// handshake, rekeys, countermeasures, and the cases where a station's frames
// must not move the machines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>

#include "common/log.h"

#include "dot11/dot11_auth.h"
#include "dot11/dot11_ie.h"
#include "tests/dot11/dot11_test_util.h"
#include "tests/dot11/sta_sim.h"

namespace {

const uint8_t kBss[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};
const std::string kSsid = "ulmex-test";
const std::string kPass = "correct horse battery";

uint16_t le16(const sim::bytes &f, size_t off)
{
    return uint16_t(f[off] | f[off + 1] << 8);
}

std::string logged;
void capture_hook(int, const char *, unsigned, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    logged += line;
    logged += '\n';
}

struct log_capture {
    log_hook_fn saved_hook = log_hook;
    log_cfg saved = log_config;
    log_capture()
    {
        logged.clear();
        log_hook = capture_hook;
        log_config.components = LOG_COMP_ALL;
        log_config.level = ULOG_DEBUG;
    }
    ~log_capture()
    {
        log_hook = saved_hook;
        log_config = saved;
    }
};

struct bss : ::testing::Test {
    sim::host h;
    dot11_auth auth{};
    dot11_rsna sta{};
    sim::station s{};
    bool attached = false;

    void SetUp() override
    {
        clock_monotonic_sec = 1000;
        clock_monotonic_usec = 1;
        memcpy(s.mac, kSta, 6);
        memcpy(s.bss, kBss, 6);
        s.ssid = kSsid;
        s.pmk = sim::psk_from_passphrase(kPass, kSsid);
    }
    void TearDown() override
    {
        if (attached)
            dot11_auth_detach_sta(&sta);
        dot11_auth_stop(&auth);
    }
    void start(const dot11_auth_config &c)
    {
        ASSERT_EQ(dot11_auth_init(&auth, &c, &h.ops, nullptr, h.pool), 0);
        ASSERT_EQ(dot11_auth_attach_sta(&auth, &sta, kSta), 0);
        attached = true;
    }
    void start_psk(uint8_t akm_type)
    {
        s.ie = sim::rsn_ie(akm_type);
        s.akm_type = akm_type;
        s.version = akm_type == 6 ? 3 : 2;
        start(sim::psk_config(kBss, kSsid, s.pmk, dot11_suite(0, 0x0f, 0xac, akm_type), false));
    }
    void start_wpa()
    {
        s.ie = sim::kWpaTkip;
        s.wpa = true;
        s.version = 1;
        start(sim::psk_config(kBss, kSsid, s.pmk, DOT11_AKM_WPA_PSK, true));
    }
    // Auth and Assoc; returns message 1/4.
    sim::bytes associate()
    {
        h.mlme(&sta, s.auth_req());
        h.mlme(&sta, s.assoc_req());
        return h.take_ether();
    }
    const sim::key_event *last_key(bool group)
    {
        for (auto it = h.keys.rbegin(); it != h.keys.rend(); ++it)
            if (it->group == group)
                return &*it;
        return nullptr;
    }
    // The full 4-way handshake; the station is authorized after it.
    void handshake()
    {
        sim::bytes m1 = associate();
        ASSERT_FALSE(m1.empty());
        h.tods(&sta, s.answer_1of4(m1));
        sim::bytes m3 = h.take_ether();
        ASSERT_FALSE(m3.empty());
        sim::bytes m4 = s.answer_3of4(m3);
        ASSERT_FALSE(m4.empty()) << "3/4 did not verify";
        h.tods(&sta, m4);
        ASSERT_EQ(h.authorized, 1);
    }
    // Last Deauthentication reason sent, or -1.
    int deauth_reason()
    {
        for (auto it = h.mgmt.rbegin(); it != h.mgmt.rend(); ++it)
            if (((*it)[0] >> 4) == DOT11_ST_DEAUTH)
                return le16(*it, DOT11_HDR_LEN);
        return -1;
    }
};

TEST_F(bss, OpenSystemAuthorizesWithoutEapol)
{
    dot11_auth_config c{};
    memcpy(c.bss_mac, kBss, 6);
    memcpy(c.ssid, kSsid.data(), kSsid.size());
    c.ssid_len = uint8_t(kSsid.size());
    start(c);
    associate();
    ASSERT_EQ(h.mgmt.size(), 2u);
    EXPECT_EQ(h.mgmt[0][0] >> 4, DOT11_ST_AUTH);
    EXPECT_EQ(le16(h.mgmt[0], DOT11_HDR_LEN + 2), 2);
    EXPECT_EQ(h.mgmt[1][0] >> 4, DOT11_ST_ASSOC_RESP);
    EXPECT_EQ(le16(h.mgmt[1], DOT11_HDR_LEN + 2), 0);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_OPEN_DONE);
    EXPECT_EQ(h.authorized, 1);
    EXPECT_TRUE(h.ether.empty());
}

class psk_akm : public bss, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(psk_akm, HandshakeInstallsTheStationsKeys)
{
    start_psk(GetParam());
    handshake();
    const sim::key_event *tk = last_key(false), *gtk = last_key(true);
    ASSERT_TRUE(tk && gtk);
    EXPECT_EQ(tk->key, sim::bytes(s.ptk.begin() + 32, s.ptk.begin() + 48));
    EXPECT_EQ(tk->cipher, DOT11_CIPHER_CCMP);
    EXPECT_EQ(gtk->key, s.gtk);
    EXPECT_EQ(gtk->id, s.gtk_id);
    EXPECT_EQ(h.activated, 1);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_INIT_DONE);
    EXPECT_EQ(auth.GNoStations, 1);
}
INSTANTIATE_TEST_SUITE_P(akm, psk_akm, ::testing::Values(2, 6));

TEST_F(bss, PmkidKdeIn1of4MatchesLibcrypto)
{
    start_psk(2);
    sim::bytes m1 = associate();
    ASSERT_GE(m1.size(), 14u + EAPOL_KEY_DATA + 22);
    sim::bytes data = {'P', 'M', 'K', ' ', 'N', 'a', 'm', 'e'};
    data.insert(data.end(), kBss, kBss + 6);
    data.insert(data.end(), kSta, kSta + 6);
    sim::bytes pmkid = sim::hmac(EVP_sha1(), s.pmk, data);
    pmkid.resize(16);
    const uint8_t *kde = m1.data() + 14 + EAPOL_KEY_DATA;
    EXPECT_EQ(sim::bytes(kde + 6, kde + 22), pmkid);
}

TEST_F(bss, WpaTkipRunsTheGroupHandshakeAfter4of4)
{
    start_wpa();
    handshake();
    sim::bytes g1 = h.take_ether();
    ASSERT_FALSE(g1.empty());
    EXPECT_EQ(sta.gtk_state, DOT11_GTK_REKEYNEGOTIATING);
    h.tods(&sta, s.answer_group(g1));
    EXPECT_EQ(sta.gtk_state, DOT11_GTK_IDLE);
    const sim::key_event *tk = last_key(false), *gtk = last_key(true);
    ASSERT_TRUE(tk && gtk);
    EXPECT_EQ(tk->key, sim::bytes(s.ptk.begin() + 32, s.ptk.begin() + 64));
    EXPECT_EQ(gtk->key, s.gtk);
    EXPECT_EQ(gtk->id, s.gtk_id);
}

TEST_F(bss, TimedGtkRekeyReachesTheStation)
{
    auto c = sim::psk_config(kBss, kSsid, s.pmk, DOT11_AKM_PSK, false);
    c.dot11RSNAConfigGroupRekeyTime = 30;
    s.ie = sim::rsn_ie(2);
    start(c);
    handshake();
    sim::bytes first = s.gtk;
    h.advance(30000);
    sim::bytes g1 = h.take_ether();
    ASSERT_FALSE(g1.empty());
    h.tods(&sta, s.answer_group(g1));
    EXPECT_NE(s.gtk, first);
    EXPECT_EQ(last_key(true)->key, s.gtk);
    EXPECT_EQ(auth.group_state, DOT11_GROUP_SETKEYSDONE);
}

TEST_F(bss, SilentStationGets1of4FourTimesThenReason15)
{
    start_psk(2);
    associate();
    h.advance(4000);
    int sent = 1;
    while (!h.take_ether().empty())
        sent++;
    EXPECT_EQ(sent, 4);
    EXPECT_EQ(deauth_reason(), 15);
    EXPECT_EQ(auth.config.dot11RSNA4WayHandshakeFailures, 1u);
}

TEST_F(bss, ReplayWindowTakesEachCounterOfTheStepOnce)
{
    start_psk(2);
    sim::bytes m1 = associate();
    h.advance(1000);
    h.advance(1000); // 1/4 with n, n+1, n+2
    sim::bytes m2 = s.answer_1of4(m1);
    uint64_t n = s.replay;
    sim::bytes never = s.key_frame(EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, n + 3, s.snonce, s.ie);
    h.tods(&sta, never);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_START);
    h.tods(&sta, m2);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
    int before = int(h.keys.size());
    h.tods(&sta, m2);
    EXPECT_EQ(int(h.keys.size()), before);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
}

TEST_F(bss, ForgedResponseDoesNotUseUpTheCounter)
{
    start_psk(2);
    sim::bytes m1 = associate();
    sim::bytes m2 = s.answer_1of4(m1);
    sim::bytes bad = m2;
    bad[14 + EAPOL_KEY_MIC] ^= 1;
    h.tods(&sta, bad);
    EXPECT_TRUE(h.ether.empty());
    EXPECT_EQ(sta.pairwise_retry, 1) << "a bad MIC must not clear the retries";
    h.tods(&sta, m2);
    EXPECT_FALSE(h.take_ether().empty()) << "the real 2/4 must still be taken";
}

TEST_F(bss, TkInstalledOncePer3of4Retransmissions)
{
    start_psk(2);
    sim::bytes m1 = associate();
    h.tods(&sta, s.answer_1of4(m1));
    h.advance(1000);
    h.advance(1000);
    size_t tks = 0;
    for (auto &k : h.keys)
        tks += !k.group;
    EXPECT_EQ(tks, 1u);
    EXPECT_EQ(h.ether.size(), 3u);
}

// A 2/4 answering a retransmitted 1/4 arrives while 4/4 is awaited: its
// counter was sent and never seen, and its MIC holds, yet it is no 4/4. WPA
// has no Secure bit to tell them apart.
class delayed_2of4 : public bss, public ::testing::WithParamInterface<bool> {};

TEST_P(delayed_2of4, IsNotTakenFor4of4)
{
    if (GetParam())
        start_wpa();
    else
        start_psk(2);
    sim::bytes m1 = associate();
    h.advance(1000);
    sim::bytes m1_again = h.take_ether();
    ASSERT_FALSE(m1_again.empty());
    sim::bytes m2 = s.answer_1of4(m1);
    sim::bytes m2_late = s.answer_1of4(m1_again);
    h.tods(&sta, m2);
    ASSERT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
    sim::bytes m3 = h.take_ether();
    h.tods(&sta, m2_late);
    EXPECT_EQ(h.authorized, 0);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
    if (!GetParam()) {
        // 4/4 without Secure is not an RSN 4/4 either.
        s.answer_3of4(m3);
        h.tods(&sta, s.key_frame(EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC, s.replay, {}, {}));
        EXPECT_EQ(h.authorized, 0);
        EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
        h.advance(1000); // its counter is spent: the next 3/4
        m3 = h.take_ether();
        ASSERT_FALSE(m3.empty());
    }
    h.tods(&sta, s.answer_3of4(m3));
    EXPECT_EQ(h.authorized, 1) << "the real 4/4 is still taken";
}
INSTANTIATE_TEST_SUITE_P(wpa, delayed_2of4, ::testing::Bool());

// EAPOL-Start and Logoff are as long as the Ethernet and EAPOL headers: they
// pass the length check and meet the missing 802.1X port.
TEST_F(bss, ShortEapolFramesCountTheEthernetHeader)
{
    start_psk(2);
    handshake();
    struct {
        sim::bytes eapol;
        const char *logged;
    } const cases[] = {
        {{1, 1, 0, 0}, "Discarding EAPOL packet of bad type 1"},
        {{1, 2, 0, 0}, "Discarding EAPOL packet of bad type 2"},
        {{1, 0, 0, 4, 1, 1, 0, 4}, "Discarding EAPOL packet of bad type 0"},
        {{1, 1, 0}, "Discarding short EAPOL packet 3 bytes"},
    };
    for (const auto &c : cases) {
        log_capture cap;
        h.tods(&sta, s.ethernet(c.eapol));
        EXPECT_NE(logged.find(c.logged), std::string::npos) << c.logged << "\n" << logged;
    }
    EXPECT_EQ(h.authorized, 1);
}

TEST_F(bss, DifferentElementsIn2of4GiveReason17)
{
    start_psk(2);
    sim::bytes m1 = associate();
    sim::bytes other = sim::rsn_ie(2);
    other[21] = 0x0c; // other RSN capabilities
    h.tods(&sta, s.answer_1of4(m1, &other));
    EXPECT_EQ(deauth_reason(), 17);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_R1_START);
}

TEST_F(bss, AssocRequestMidHandshakeDisconnects)
{
    start_psk(2);
    // A valid request with other capabilities, and one the BSS refuses.
    for (uint8_t akm : {2, 6}) {
        s.ie = sim::rsn_ie(2);
        sim::bytes m1 = associate();
        h.tods(&sta, s.answer_1of4(m1));
        ASSERT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
        s.ie = sim::rsn_ie(akm);
        s.ie[21] = 0x0c;
        h.mlme(&sta, s.assoc_req());
        EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_R1_START) << int(akm);
        EXPECT_EQ(deauth_reason(), 1);
        EXPECT_EQ(auth.GNoStations, 0);
        EXPECT_FALSE(sta.Associated);
        h.ether.clear();
    }
}

TEST_F(bss, RetransmittedAssocGetsTheCachedResponseWithRetry)
{
    start_psk(2);
    associate();
    size_t n = h.mgmt.size();
    h.mlme(&sta, s.assoc_req());
    ASSERT_EQ(h.mgmt.size(), n + 1);
    EXPECT_EQ(h.mgmt.back()[0] >> 4, DOT11_ST_ASSOC_RESP);
    EXPECT_TRUE(h.mgmt.back()[1] & DOT11_FC1_RETRY);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_START);
}

TEST_F(bss, ManagementRefusals)
{
    start_psk(2);
    h.mlme(&sta, s.auth_req(2));
    ASSERT_EQ(h.mgmt.size(), 1u);
    EXPECT_EQ(le16(h.mgmt[0], DOT11_HDR_LEN + 2), 3);
    EXPECT_EQ(le16(h.mgmt[0], DOT11_HDR_LEN + 4), 14);
    h.mlme(&sta, s.auth_req());
    s.ie = sim::kRsnCcmp;
    s.ie[13] = 2; // TKIP pairwise, not offered
    h.mlme(&sta, s.assoc_req());
    EXPECT_EQ(le16(h.mgmt.back(), DOT11_HDR_LEN + 2), 42);
    // To the broadcast BSSID only a Probe-Req is answered.
    sim::bytes probe = s.frame(DOT11_ST_PROBE_REQ, {0, 0});
    memset(&probe[DOT11_HDR_ADDR3], 0xff, 6);
    size_t n = h.mgmt.size();
    h.mlme(&sta, probe);
    EXPECT_EQ(h.mgmt.size(), n + 1);
    sim::bytes a = s.auth_req();
    memset(&a[DOT11_HDR_ADDR3], 0xff, 6);
    h.mlme(&sta, a);
    EXPECT_EQ(h.mgmt.size(), n + 1);
}

TEST_F(bss, ForgedErrorRequestStartsNoCountermeasures)
{
    start_wpa();
    handshake();
    h.tods(&sta, s.answer_group(h.take_ether()));
    uint16_t info = EAPOL_KEY_INFO_REQUEST | EAPOL_KEY_INFO_ERROR | EAPOL_KEY_INFO_PAIRWISE | EAPOL_KEY_INFO_MIC;
    sim::bytes forged = s.key_frame(info, 100, {}, {}, false);
    h.tods(&sta, forged);
    h.tods(&sta, forged);
    EXPECT_EQ(auth.config.dot11RSNAStatsTKIPRemoteMICFailures, 0u);
    // Sealed, the report counts once per counter.
    sim::bytes real = s.key_frame(info, 100, {}, {});
    h.tods(&sta, real);
    h.tods(&sta, real);
    EXPECT_EQ(auth.config.dot11RSNAStatsTKIPRemoteMICFailures, 1u);
    EXPECT_FALSE(auth.CountermeasuresActive);
}

TEST_F(bss, CountermeasuresDisconnectTkipStationsFor60s)
{
    start_wpa();
    handshake();
    h.tods(&sta, s.answer_group(h.take_ether()));
    dot11_auth_mic_failure(&auth);
    EXPECT_FALSE(auth.CountermeasuresActive);
    clock_monotonic_sec += 10;
    dot11_auth_mic_failure(&auth);
    EXPECT_TRUE(auth.CountermeasuresActive);
    EXPECT_EQ(deauth_reason(), 24);
    EXPECT_EQ(auth.config.dot11RSNATKIPCounterMeasuresInvoked, 1u);
    h.mlme(&sta, s.auth_req());
    h.mlme(&sta, s.assoc_req());
    EXPECT_EQ(le16(h.mgmt.back(), DOT11_HDR_LEN + 2), 46);
    size_t installs = h.keys.size();
    h.advance(60001);
    EXPECT_FALSE(auth.CountermeasuresActive);
    EXPECT_EQ(h.keys.size(), installs + 1) << "a new GTK at once";
}

TEST_F(bss, FirstMicFailureAfterStartOnlyUpdatesTheTime)
{
    clock_monotonic_sec = 5;
    start_wpa();
    handshake();
    dot11_auth_mic_failure(&auth);
    EXPECT_FALSE(auth.CountermeasuresActive);
    EXPECT_EQ(auth.cm_state, DOT11_CM_INIT);
}

TEST_F(bss, FailedGroupInstallIsRetriedEachSecond)
{
    start_psk(2);
    h.fail_install = 1;
    h.mlme(&sta, s.auth_req());
    EXPECT_FALSE(auth.gtk_installed);
    h.advance(1000);
    EXPECT_TRUE(auth.gtk_installed);
}

TEST_F(bss, LongRekeyTimeDoesNotFireEarly)
{
    auto c = sim::psk_config(kBss, kSsid, s.pmk, DOT11_AKM_PSK, false);
    c.dot11RSNAConfigGroupRekeyTime = 4294967;
    start(c);
    h.mlme(&sta, s.auth_req());
    size_t installs = h.keys.size();
    // Past 2^31 ms, where a wrap-safe 32-bit compare would call it due.
    for (int i = 0; i < 3; i++) {
        timetable_set_now(h.tt, timetable_now(h.tt) + (1u << 30));
        timetable_manage(h.tt);
    }
    EXPECT_EQ(h.keys.size(), installs);
    timetable_set_now(h.tt, timetable_now(h.tt) + (4294967000u - 3 * (1u << 30)));
    timetable_manage(h.tt);
    timetable_set_now(h.tt, timetable_now(h.tt) + 1);
    timetable_manage(h.tt);
    EXPECT_EQ(h.keys.size(), installs + 1);
    // Whatever the host's wheel does with longer ones.
    EXPECT_LT(h.longest_delay, 1u << 31);
}

TEST_F(bss, PmkRekeyOnlyForThresholdsUpTo100)
{
    for (uint8_t threshold : {uint8_t(0), uint8_t(101)}) {
        auto c = sim::psk_config(kBss, kSsid, s.pmk, DOT11_AKM_PSK, false);
        c.dot11RSNAConfigPMKReauthThreshold = threshold;
        s.ie = sim::rsn_ie(2);
        start(c);
        handshake();
        EXPECT_FALSE(timer_ispending(&sta.pmk_timer.t)) << int(threshold);
        dot11_auth_detach_sta(&sta);
        dot11_auth_stop(&auth);
        attached = false;
        h.authorized = 0;
    }
}

TEST_F(bss, IdleLimitFromMaxIdlePeriod)
{
    auto c = sim::psk_config(kBss, kSsid, s.pmk, DOT11_AKM_PSK, false);
    c.dot11BssMaxIdlePeriod = 10;
    start(c);
    EXPECT_EQ(dot11_auth_check_idle(&sta, 10), -1);
    EXPECT_EQ(dot11_auth_check_idle(&sta, 4), 0);
    EXPECT_TRUE(timer_ispending(&sta.sa_timer.t));
    c.dot11BssMaxIdlePeriod = 0;
    dot11_auth_detach_sta(&sta);
    attached = false;
}

TEST_F(bss, DetachDuringGroupHandshakeLeavesNoStationBehind)
{
    start_wpa();
    handshake();
    ASSERT_EQ(sta.gtk_state, DOT11_GTK_REKEYNEGOTIATING);
    dot11_auth_detach_sta(&sta);
    attached = false;
    EXPECT_EQ(auth.GNoStations, 0);
    EXPECT_TRUE(list_isempty(&auth.stations));
    EXPECT_TRUE(list_isempty(&auth.pending));
}

TEST_F(bss, FailedActivateKeyDisconnects)
{
    h.ops.activate_key = [](void *, dot11_rsna *) { return -1; };
    start_psk(2);
    sim::bytes m1 = associate();
    h.tods(&sta, s.answer_1of4(m1));
    h.tods(&sta, s.answer_3of4(h.take_ether()));
    EXPECT_EQ(h.authorized, 0);
    EXPECT_GE(deauth_reason(), 0);
    EXPECT_FALSE(sta.Associated);
}

bool all_zero(const uint8_t *p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

TEST_F(bss, KeysAreWipedOnDetachAndStop)
{
    start_psk(2);
    handshake();
    ASSERT_FALSE(all_zero(sta.ptk, sizeof sta.ptk));
    dot11_auth_detach_sta(&sta);
    attached = false;
    EXPECT_TRUE(all_zero(sta.ptk, sizeof sta.ptk));
    EXPECT_TRUE(all_zero(sta.pmk, sizeof sta.pmk));
    ASSERT_FALSE(all_zero(auth.gmk, sizeof auth.gmk));
    dot11_auth_stop(&auth);
    EXPECT_TRUE(all_zero(auth.gmk, sizeof auth.gmk));
    EXPECT_TRUE(all_zero(&auth.gtk[0][0], sizeof auth.gtk));
    EXPECT_TRUE(all_zero(auth.config.dot11RSNAConfigPSKValue, 32));
}

struct init_case {
    const char *name;
    void (*edit)(dot11_auth_config *);
};

TEST(dot11_auth_init, RefusesInconsistentConfigurations)
{
    sim::host h;
    const uint8_t psk[32] = {1};
    const init_case cases[] = {
        {"zero PSK", [](dot11_auth_config *c) { memset(c->dot11RSNAConfigPSKValue, 0, 32); }},
        {"802.1X without cache", [](dot11_auth_config *c) { c->dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_8021X; }},
        {"pre-authentication without cache", [](dot11_auth_config *c) { c->flags_b |= DOT11_CFG_B_PREAUTH_ACTIVATED; }},
        {"no AKM", [](dot11_auth_config *c) { c->dot11RSNAConfigAuthenticationSuite[0] = 0; }},
        {"FT without FT AKM", [](dot11_auth_config *c) { c->flags_b |= DOT11_CFG_B_FT_ACTIVATED; }},
        {"unknown AKM", [](dot11_auth_config *c) { c->dot11RSNAConfigAuthenticationSuite[1] = dot11_suite(0, 0x0f, 0xac, 99); }},
        {"duplicate cipher", [](dot11_auth_config *c) { c->dot11RSNAConfigPairwiseCipher[1] = DOT11_CIPHER_CCMP; }},
        {"three WPA pairwise suites", [](dot11_auth_config *c) {
             c->dot11RSNAConfigPairwiseCipher[1] = DOT11_CIPHER_WPA_TKIP;
             c->dot11RSNAConfigPairwiseCipher[2] = DOT11_CIPHER_WPA_CCMP;
             c->dot11RSNAConfigPairwiseCipher[3] = DOT11_CIPHER_WPA_TKIP;
             c->dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_WPA_PSK;
         }},
    };
    for (const init_case &t : cases) {
        auto c = sim::psk_config(kBss, kSsid, sim::bytes(psk, psk + 32), DOT11_AKM_PSK, false);
        t.edit(&c);
        dot11_auth auth;
        EXPECT_EQ(dot11_auth_init(&auth, &c, &h.ops, nullptr, h.pool), -1) << t.name;
    }
    auto ok = sim::psk_config(kBss, kSsid, sim::bytes(psk, psk + 32), DOT11_AKM_PSK, false);
    dot11_auth auth;
    EXPECT_EQ(dot11_auth_init(&auth, &ok, &h.ops, nullptr, h.pool), 0);
    dot11_auth_stop(&auth);
}

TEST(dot11_psk, PassphraseMatchesWpaPassphrase)
{
    if (!have_program("wpa_passphrase"))
        GTEST_SKIP() << "wpa_passphrase is not installed";
    std::string out = run("wpa_passphrase '" + kSsid + "' '" + kPass + "'");
    size_t at = out.find("\tpsk=");
    ASSERT_NE(at, std::string::npos);
    std::string want = out.substr(at + 5, 64);
    sim::bytes psk = sim::psk_from_passphrase(kPass, kSsid);
    char got[65];
    for (int i = 0; i < 32; i++)
        snprintf(got + 2 * i, 3, "%02x", psk[size_t(i)]);
    EXPECT_EQ(want, std::string(got, 64));
}

} // namespace
