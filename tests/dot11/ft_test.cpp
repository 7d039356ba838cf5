// Fast BSS transition with FT-PSK between two BSS authenticators sharing one
// key cache, against the simulated station whose FT keys come from
// libcrypto: the initial mobility domain association, FT over the air and
// over the DS (with and without an interim R1KH), the reassociation deadline,
// and replayed or altered Reassoc-Reqs.
#include <gtest/gtest.h>

#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "tests/dot11/dot11_test_util.h"
#include "tests/dot11/sta_sim.h"

namespace
{

const uint8_t kBss1[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kBss2[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};
const std::string kSsid = "ulmex-ft";
const std::string kR0kh = "r0kh.example.org";

struct ft : ::testing::Test {
    sim::host h;
    dot11_cache *cache = nullptr;
    dot11_auth auth1{}, auth2{};
    dot11_rsna sta1{}, sta2{};
    bool att1 = false, att2 = false;
    sim::station s{};
    dot11_auth_config cfg{};
    dot11_cache_ops cops{};
    uint64_t saved_sec = clock_monotonic_sec;

    void SetUp() override
    {
        clock_monotonic_sec = 1000;
        clock_monotonic_usec = 1;
        cops.timer_start = [](void *u, timer *t, uint32_t ms, timer_fn fn) {
            auto *hh = static_cast<sim::host *>(u);
            timetable_cancel(hh->tt, t);
            timetable_schedule(hh->tt, t, ms, fn);
        };
        cops.timer_stop = [](void *u, timer *t) {
            timetable_cancel(static_cast<sim::host *>(u)->tt, t);
        };
        sim::bytes psk = sim::psk_from_passphrase("roaming secret", kSsid);
        cfg = sim::psk_config(kBss1, kSsid, psk, DOT11_AKM_FT_PSK, false);
        cfg.flags_b |= DOT11_CFG_B_FT_ACTIVATED | DOT11_CFG_B_FT_OVER_DS;
        cfg.dot11FTMobilityDomainID = 0xa1b2;
        memcpy(cfg.dot11FTR0KeyHolderID, kR0kh.data(), kR0kh.size());
        cfg.r0kh_id_len = uint8_t(kR0kh.size());
        cfg.dot11FTR0KeyLifetime = 3600;
        cfg.dot11FTReassociationDeadline = 1000; // TUs: 1024 ms
        ASSERT_NO_FATAL_FAILURE(make_bsses(nullptr));
        ASSERT_EQ(dot11_auth_attach_sta(&auth1, &sta1, kSta), 0);
        att1 = true;
        ASSERT_EQ(dot11_auth_attach_sta(&auth2, &sta2, kSta), 0);
        att2 = true;
        memcpy(s.mac, kSta, 6);
        memcpy(s.bss, kBss1, 6);
        s.ssid = kSsid;
        s.pmk = psk;
        s.akm_type = 4;
        s.version = 3;
        s.mdid = 0xa1b2;
        s.over_ds = true;
        s.r0khid = kR0kh;
        s.ft_r0();
    }
    // The shared cache and the two BSSes of cfg.
    void make_bsses(radius_client *nas)
    {
        memcpy(cfg.bss_mac, kBss1, 6);
        cache = dot11_cache_create(&cfg, &cops, &h, nas, h.pool);
        ASSERT_NE(cache, nullptr);
        ASSERT_EQ(dot11_auth_init(&auth1, &cfg, &h.ops, cache, h.pool), 0);
        memcpy(cfg.bss_mac, kBss2, 6);
        ASSERT_EQ(dot11_auth_init(&auth2, &cfg, &h.ops, cache, h.pool), 0);
    }
    void TearDown() override
    {
        if (att1) dot11_auth_detach_sta(&sta1);
        if (att2) dot11_auth_detach_sta(&sta2);
        dot11_auth_stop(&auth1);
        dot11_auth_stop(&auth2);
        dot11_cache_delete(cache);
        clock_monotonic_sec = saved_sec;
    }
    sim::bytes last_mgmt(uint8_t subtype)
    {
        for (auto it = h.mgmt.rbegin(); it != h.mgmt.rend(); ++it)
            if (((*it)[0] >> 4) == subtype) return *it;
        return {};
    }
    // The initial mobility domain association at BSS 1 and its 4-way handshake.
    void initial_association()
    {
        s.ie = sim::rsn_ie(4) + s.mdie();
        h.mlme(&sta1, s.auth_req());
        h.mlme(&sta1, s.assoc_req());
        sim::bytes resp = last_mgmt(DOT11_ST_ASSOC_RESP);
        ASSERT_FALSE(resp.empty());
        const uint8_t *ft = sim::station::find_ie(resp, DOT11_HDR_LEN + 6, DOT11_EID_FTIE);
        ASSERT_NE(ft, nullptr);
        s.ftie_seen.assign(ft, ft + 2 + ft[1]);
        sim::bytes m1 = h.take_ether();
        ASSERT_FALSE(m1.empty());
        s.ft_r1(kBss1);
        sim::bytes kd = s.rsn_pmkid(s.pmkr1name) + s.mdie() + s.ftie_seen;
        h.tods(&sta1, s.answer_1of4(m1, &kd));
        sim::bytes m3 = h.take_ether();
        ASSERT_FALSE(m3.empty()) << "2/4 refused";
        sim::bytes m4 = s.answer_3of4(m3);
        ASSERT_FALSE(m4.empty()) << "3/4 did not verify";
        h.tods(&sta1, m4);
        ASSERT_EQ(h.authorized, 1);
        sim::bytes tk(s.ptk.begin() + 32, s.ptk.end());
        EXPECT_EQ(h.keys.back().key, tk);
        s.snonce.assign(32, 0x77);
    }
    // FT over 802.1X: BSSes without a station record at BSS 1, and PMK-R0
    // SAs put in the cache as an 802.1X authentication leaves them.
    void start_8021x()
    {
        TearDown();
        att1 = att2 = false;
        auth1 = {};
        auth2 = {};
        sta1 = {};
        sta2 = {};
        cfg.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_FT_8021X;
        ASSERT_NO_FATAL_FAILURE(make_bsses(reinterpret_cast<radius_client *>(&h)));
        ASSERT_EQ(dot11_auth_attach_sta(&auth2, &sta2, kSta), 0);
        att2 = true;
        s.akm_type = 3;
    }
    void cache_sa(const sim::bytes &xxkey)
    {
        s.pmk = xxkey;
        s.ft_r0();
        dot11_cache_entry *e = dot11_cache_entry_create(cache, kSta, DOT11_AKM_FT_8021X);
        e = dot11_cache_entry_set_identity(cache, e, "carol@example.org");
        dot11_derive_pmkr0(s.pmk.data(), cfg.ssid, cfg.ssid_len, cfg.dot11FTMobilityDomainID,
                           cfg.dot11FTR0KeyHolderID, cfg.r0kh_id_len, kSta, e->key,
                           dot11_cache_entry_name(e));
        dot11_derive_pmkid(s.pmk.data(), kBss1, kSta, e->id);
        e->lifetime = 3600;
        ASSERT_EQ(dot11_cache_insert(cache, e), 0);
        dot11_cache_entry_release(e);
    }
    // FT Auth and Reassoc-Req to BSS 2, both answered and verified.
    void transition()
    {
        memcpy(s.bss, kBss2, 6);
        h.mlme(&sta2, s.ft_auth_req());
        ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
        h.mlme(&sta2, s.ft_reassoc_req(kBss1));
        ASSERT_TRUE(s.ft_take_reassoc_resp(last_mgmt(DOT11_ST_REASSOC_RESP)));
    }
    // Reassociation to BSS 2 after the FT authentication.
    void reassociate(dot11_rsna *sta)
    {
        memcpy(s.bss, kBss2, 6);
        size_t keys = h.keys.size();
        h.mlme(sta, s.ft_reassoc_req(kBss1));
        sim::bytes resp = last_mgmt(DOT11_ST_REASSOC_RESP);
        ASSERT_TRUE(s.ft_take_reassoc_resp(resp)) << "Reassoc-Resp FTIE";
        EXPECT_EQ(sim::bytes(s.gtk.begin(), s.gtk.end()),
                  sim::bytes(auth2.gtk[auth2.GN], auth2.gtk[auth2.GN] + auth2.key_length));
        ASSERT_EQ(h.keys.size(), keys + 1);
        sim::bytes tk(s.ptk.begin() + 32, s.ptk.end());
        EXPECT_EQ(h.keys.back().key, tk);
        EXPECT_EQ(h.authorized, 2);
        EXPECT_EQ(sta->r1kh_state, DOT11_R1KH_FT_HANDSHAKE_DONE);
        // The FT authentication row: the named fields, every other byte zero.
        dot11_ft_auth_row row;
        memset(&row, 0xee, sizeof row);
        dot11_rsna_dump_ftauth(sta, &row);
        dot11_ft_auth_row want{};
        memcpy(want.sta, kSta, 6);
        memcpy(want.bssid, kBss2, 6);
        want.akm = DOT11_AKM_FT_PSK;
        want.pairwise = DOT11_CIPHER_CCMP;
        memcpy(want.pmkr1name, s.pmkr1name.data(), 16);
        EXPECT_EQ(memcmp(&row, &want, sizeof row), 0);
    }
};

TEST_F(ft, Over_the_air_with_mics_both_ways_and_no_second_install)
{
    initial_association();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    sim::bytes resp = last_mgmt(DOT11_ST_AUTH);
    ASSERT_TRUE(s.ft_take_response(resp, kBss2));
    EXPECT_EQ(sim::bytes(sta2.pmkr1name, sta2.pmkr1name + 16), s.pmkr1name);
    // The request and its answer are kept in one allocation; the request
    // again gets that answer, with Retry, and moves nothing.
    EXPECT_EQ(sta2.cached_auth[1].bytes, sta2.cached_auth[0].bytes + sta2.cached_auth[0].len);
    sim::bytes again = s.ft_auth_req();
    again[1] |= DOT11_FC1_RETRY;
    size_t sent = h.mgmt.size();
    h.mlme(&sta2, again);
    ASSERT_EQ(h.mgmt.size(), sent + 1);
    sim::bytes cached = h.mgmt.back();
    EXPECT_TRUE(cached[1] & DOT11_FC1_RETRY);
    cached[1] &= uint8_t(~DOT11_FC1_RETRY);
    EXPECT_EQ(cached, resp);
    EXPECT_EQ(sta2.r1kh_state, DOT11_R1KH_FT_PMK_R1_SA_RECD);
    reassociate(&sta2);
    EXPECT_EQ(sta2.cached_auth[0].bytes, nullptr); // gone with the authorization
    EXPECT_EQ(sta2.cached_assoc[1].bytes, sta2.cached_assoc[0].bytes + sta2.cached_assoc[0].len);

    // The same Reassoc-Req again gets the cached answer, and no key.
    size_t keys = h.keys.size();
    sim::bytes req = s.ft_reassoc_req(kBss1);
    req[1] |= DOT11_FC1_RETRY;
    h.mlme(&sta2, req);
    EXPECT_EQ(h.keys.size(), keys);
    EXPECT_TRUE(last_mgmt(DOT11_ST_REASSOC_RESP)[1] & DOT11_FC1_RETRY);
    // An altered one tears the station down and installs nothing.
    req = s.ft_reassoc_req(kBss1);
    req[req.size() - 30] ^= 1;
    h.mlme(&sta2, req);
    EXPECT_EQ(h.keys.size(), keys);
    EXPECT_FALSE(sta2.Associated);
}

// The key holder keeps the PMK-R0 it derived from the PSK; a new PSK must
// not leave the old one in use.
TEST_F(ft, New_psk_in_the_configuration_gives_a_new_pmk_r0)
{
    initial_association();
    sim::bytes psk = sim::psk_from_passphrase("another secret", kSsid);
    memcpy(cfg.dot11RSNAConfigPSKValue, psk.data(), 32);
    ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);
    s.pmk = psk;
    s.ft_r0();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    EXPECT_EQ(sim::bytes(sta2.pmkr1name, sta2.pmkr1name + 16), s.pmkr1name);
    reassociate(&sta2);
}

TEST_F(ft, Bad_mic_in_the_reassoc_req_is_not_taken)
{
    initial_association();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    size_t keys = h.keys.size();
    sim::bytes req = s.ft_reassoc_req(kBss1);
    const uint8_t *f = sim::station::find_ie(req, DOT11_HDR_LEN + 10, DOT11_EID_FTIE);
    ASSERT_NE(f, nullptr);
    req[size_t(f - req.data()) + 4] ^= 0x80; // the MIC
    {
        log_capture log;
        h.mlme(&sta2, req);
        EXPECT_NE(logged.find("Invalid MIC in FTIE from"), std::string::npos) << logged;
    }
    EXPECT_EQ(h.keys.size(), keys);
    EXPECT_EQ(sta2.r1kh_state, DOT11_R1KH_FT_PMK_R1_SA_RECD);
}

// The Reassoc-Resp is sealed while the request's MIC is checked; a GTK made
// before the handshake answers must go out in place of the sealed one.
TEST_F(ft, Gtk_made_between_the_mic_check_and_the_answer_goes_out)
{
    initial_association();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    static int reads;
    reads = 0;
    // The first TSC read (at the check) asks for a new GTK.
    auth2.ops.get_tsc = [](void *u, dot11_auth *a, dot11_rsna *, unsigned, uint64_t *tsc) {
        if (reads++ == 0) a->GTKReKey = true;
        *tsc = static_cast<sim::host *>(u)->tsc;
        return 0;
    };
    uint32_t serial = auth2.gtk_serial;
    h.mlme(&sta2, s.ft_reassoc_req(kBss1));
    EXPECT_NE(auth2.gtk_serial, serial);
    ASSERT_TRUE(s.ft_take_reassoc_resp(last_mgmt(DOT11_ST_REASSOC_RESP)));
    EXPECT_EQ(sim::bytes(s.gtk.begin(), s.gtk.end()),
              sim::bytes(auth2.gtk[auth2.GN], auth2.gtk[auth2.GN] + auth2.key_length));
    EXPECT_EQ(sta2.r1kh_state, DOT11_R1KH_FT_HANDSHAKE_DONE);
}

TEST_F(ft, Reassociation_deadline_ends_an_unfinished_transition)
{
    initial_association();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    EXPECT_TRUE(sta2.Authenticated);
    {
        log_capture log;
        h.advance(1100);
        EXPECT_NE(logged.find("Reassociation deadline timer expired"), std::string::npos) << logged;
    }
    EXPECT_FALSE(sta2.Authenticated);
    EXPECT_FALSE(last_mgmt(DOT11_ST_DEAUTH).empty());
}

TEST_F(ft, Over_the_ds_to_an_attached_station_and_through_an_interim)
{
    for (bool interim : {false, true}) {
        if (interim) {
            // The target BSS has no record of the station until it reassociates.
            dot11_auth_detach_sta(&sta2);
            att2 = false;
            dot11_auth_detach_sta(&sta1);
            sta1 = {};
            ASSERT_EQ(dot11_auth_attach_sta(&auth1, &sta1, kSta), 0);
            memcpy(s.bss, kBss1, 6);
            h.authorized = 0;
            initial_association();
        } else {
            initial_association();
        }
        memcpy(s.bss, kBss1, 6);
        h.mgmt.clear();
        h.mlme(&sta1, s.ft_action_req(kBss2));
        sim::bytes resp = last_mgmt(DOT11_ST_ACTION);
        ASSERT_FALSE(resp.empty()) << "no FT Response through BSS 1";
        EXPECT_EQ(memcmp(resp.data() + DOT11_HDR_ADDR3, kBss1, 6), 0);
        EXPECT_EQ(resp[DOT11_HDR_LEN + 1], DOT11_FT_RESPONSE);
        ASSERT_TRUE(s.ft_take_response(resp, kBss2));
        if (interim) {
            EXPECT_EQ(sta1.r0kh->n_interims, 1u);
            sta2 = {};
            ASSERT_EQ(dot11_auth_attach_sta(&auth2, &sta2, kSta), 0);
            att2 = true;
            EXPECT_EQ(sta1.r0kh->n_interims, 0u);
            EXPECT_TRUE(sta2.Authenticated);
        }
        reassociate(&sta2);
        EXPECT_EQ(sta2.auth_alg, 0x8002);
        if (!interim) {
            // Leave BSS 2 for the next round.
            dot11_auth_drop_sta(&sta2);
        }
    }
}

} // namespace

namespace
{

// FT over 802.1X: the PMK-R0-SA that the 802.1X authentication left in the
// cache serves the transition; nothing is derived again from the MSK.
TEST_F(ft, Over_the_air_from_a_cached_pmk_r0_sa)
{
    start_8021x();
    cache_sa(s.pmk);
    transition();
    EXPECT_EQ(h.authorized, 1);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 1u);
}

// The key holder keeps the PMK-R0 set up as an HMAC key for the station's
// next transitions: it goes with the cache entry, and another PMK-R0 is never
// served from it. An entry the cache let go is no longer served either (its
// key was wiped under the key holder's hold, and PMK-R1s came from zeros).
TEST_F(ft, Pmk_r0_hmac_key_goes_with_its_entry_and_follows_a_new_one)
{
    start_8021x();
    cache_sa(s.pmk);
    transition();
    dot11_r0kh *r0kh = sta2.r0kh;
    ASSERT_NE(r0kh, nullptr);
    ASSERT_TRUE(r0kh->r0_keyed_ready);
    dot11_cache_entry *e = dot11_cache_first_pmk(cache);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(memcmp(r0kh->r0_keyed_key, e->key, 32), 0);
    sim::bytes deauth = s.frame(DOT11_ST_DEAUTH, {3, 0});

    dot11_cache_clear_pmksas_by_mac(cache, kSta);
    EXPECT_FALSE(r0kh->r0_keyed_ready);
    EXPECT_EQ(sim::bytes(r0kh->r0_keyed_key, r0kh->r0_keyed_key + 32), sim::bytes(32, 0));
    h.mlme(&sta2, deauth);
    size_t sent = h.mgmt.size();
    h.mlme(&sta2, s.ft_auth_req());
    for (size_t i = sent; i < h.mgmt.size(); i++) {
        if ((h.mgmt[i][0] >> 4) != DOT11_ST_AUTH) continue;
        EXPECT_NE(h.mgmt[i][DOT11_HDR_LEN + 4] | h.mgmt[i][DOT11_HDR_LEN + 5], 0)
            << "FT Auth answered from a cleared PMK-R0";
    }
    EXPECT_NE(sta2.r1kh_state, DOT11_R1KH_FT_PMK_R1_SA_RECD);

    // Another 802.1X authentication left another PMK-R0.
    h.mlme(&sta2, deauth);
    cache_sa(sim::bytes(32, 0x5d));
    transition();
    EXPECT_EQ(h.authorized, 2);

    // A held key that is not the SA's is set up anew, not used.
    h.mlme(&sta2, deauth);
    memcpy(r0kh->r0_keyed_key, "stale", 5);
    hmac_sha256_init(&r0kh->r0_keyed, "stale", 5);
    transition();
    EXPECT_EQ(h.authorized, 3);
}

} // namespace

namespace
{

// A refused Auth after a completed FT authentication starts the machine over:
// the Reassoc-Req that follows installs nothing (it used to reach the
// handshake with the station no longer authenticated).
TEST_F(ft, Refused_auth_after_ft_authentication_starts_over)
{
    initial_association();
    memcpy(s.bss, kBss2, 6);
    h.mlme(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    h.mlme(&sta2, s.auth_req(2)); // sequence 2: refused with status 14
    EXPECT_FALSE(sta2.Authenticated);
    EXPECT_EQ(sta2.r1kh_state, DOT11_R1KH_R1_START);
    size_t keys = h.keys.size();
    h.mlme(&sta2, s.ft_reassoc_req(kBss1));
    EXPECT_EQ(h.keys.size(), keys);
    EXPECT_FALSE(sta2.Associated);
}

} // namespace

namespace
{

// tshark, given only the passphrase, follows the initial mobility domain
// association and the FT transition in a capture of the frames exchanged
// with our authenticators, and decrypts a frame sealed with the TK that BSS 2
// installed.
TEST_F(ft, Tshark_finds_the_installed_tk_of_the_transition)
{
    if (!have_program("tshark"))
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    std::vector<sim::bytes> frames;
    uint16_t seq = 1;
    auto beacon = [&](dot11_auth *a, const uint8_t *bss) {
        const uint8_t *ies[3] = {a->ie_ssid, a->ie_rsn, a->ie_mdie};
        auto pool = make_pool();
        packet *p = packet_alloc(pool.get(), 0);
        ASSERT_EQ(dot11_make_probe_resp(p, bss, kSta, 0x0011, 100, ies, 3), 0);
        frames.push_back(packet_bytes(p));
        packet_release(p);
    };
    beacon(&auth1, kBss1);
    beacon(&auth2, kBss2);
    // The initial association at BSS 1, as the station and the BSS sent it.
    s.ie = sim::rsn_ie(4) + s.mdie();
    auto mgmt_in = [&](dot11_rsna *sta, const sim::bytes &f) {
        frames.push_back(f);
        size_t before = h.mgmt.size();
        h.mlme(sta, f);
        for (size_t i = before; i < h.mgmt.size(); i++)
            frames.push_back(h.mgmt[i]);
    };
    auto eapol_in = [&](dot11_rsna *sta, const sim::bytes &eth) {
        frames.push_back(
            eapol_data_frame(true, s.bss, kSta, sim::bytes(eth.begin() + 14, eth.end()), seq++));
        h.tods(sta, eth);
    };
    auto eapol_out = [&]() {
        sim::bytes eth = h.take_ether();
        if (!eth.empty())
            frames.push_back(eapol_data_frame(false, s.bss, kSta,
                                              sim::bytes(eth.begin() + 14, eth.end()), seq++));
        return eth;
    };
    mgmt_in(&sta1, s.auth_req());
    mgmt_in(&sta1, s.assoc_req());
    sim::bytes resp = last_mgmt(DOT11_ST_ASSOC_RESP);
    const uint8_t *ftp = sim::station::find_ie(resp, DOT11_HDR_LEN + 6, DOT11_EID_FTIE);
    ASSERT_NE(ftp, nullptr);
    s.ftie_seen.assign(ftp, ftp + 2 + ftp[1]);
    sim::bytes m1 = eapol_out();
    ASSERT_FALSE(m1.empty());
    s.ft_r1(kBss1);
    sim::bytes kd = s.rsn_pmkid(s.pmkr1name) + s.mdie() + s.ftie_seen;
    eapol_in(&sta1, s.answer_1of4(m1, &kd));
    sim::bytes m3 = eapol_out();
    ASSERT_FALSE(m3.empty());
    eapol_in(&sta1, s.answer_3of4(m3));
    ASSERT_EQ(h.authorized, 1);
    // FT over the air to BSS 2.
    s.snonce.assign(32, 0x77);
    memcpy(s.bss, kBss2, 6);
    mgmt_in(&sta2, s.ft_auth_req());
    ASSERT_TRUE(s.ft_take_response(last_mgmt(DOT11_ST_AUTH), kBss2));
    mgmt_in(&sta2, s.ft_reassoc_req(kBss1));
    ASSERT_TRUE(s.ft_take_reassoc_resp(last_mgmt(DOT11_ST_REASSOC_RESP)));
    sim::bytes tk = h.keys.back().key;
    frames.push_back(ccmp_data_frame(kBss2, kSta, true, tk.data(), 0, 1));

    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string pcap = dir.path + "/ft.pcap";
    write_pcap(pcap, frames);
    auto rows = tshark_keys(pcap, "roaming secret", kSsid);
    ASSERT_EQ(rows.size(), frames.size());
    EXPECT_EQ(rows.back().tk, tohex(tk)) << "tshark did not decrypt with the TK BSS 2 installed";
}

} // namespace
