// The R0 key holder between the BSS authenticators of one service and a stub
// 802.1X port that reports what the test tells it: PSK through the key
// holder, 802.1X PMKSA derivation and its push to two BSSes, cache hits,
// failures, the relay of EAPOL and the interim R1KHs of FT over the DS.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "common/crypto/bytes.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_ie.h"
#include "dot11/dot11_r0kh.h"
#include "tests/dot11/dot11_test_util.h"
#include "tests/dot11/sta_sim.h"

namespace {

const uint8_t kBss1[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kBss2[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};
const std::string kSsid = "ulmex-test";

// The port: success, key and identity as the test sets them.
struct stub_port {
    dot11_r0kh *owner;
    bool enabled = false;
    dot11_pae_result res{};
    sim::bytes msk;
    std::string identity;
    std::vector<sim::bytes> rx;
};
struct stub_state {
    int created = 0, destroyed = 0;
    bool refuse = false;
    stub_port *last = nullptr;
    sim::bytes msk;
    std::string identity = "alice@example.org";
    uint32_t session_timeout = 0;
    bool termination_action = false;
    bool success = true, key = true;
} stub;

const dot11_pae_ops stub_ops = {
    .create = [](dot11_r0kh *owner, radius_client *, const uint8_t *, const dot1xAuthConfig *,
                 mempool *) -> dot1x_port * {
        if (stub.refuse)
            return nullptr;
        auto *p = new stub_port{};
        p->owner = owner;
        stub.created++;
        stub.last = p;
        return reinterpret_cast<dot1x_port *>(p);
    },
    .destroy =
        [](dot1x_port *port) {
            auto *p = reinterpret_cast<stub_port *>(port);
            if (stub.last == p)
                stub.last = nullptr;
            stub.destroyed++;
            delete p;
        },
    .set_enabled = [](dot1x_port *port, bool on) { reinterpret_cast<stub_port *>(port)->enabled = on; },
    .recv =
        [](dot1x_port *port, packet *p) {
            reinterpret_cast<stub_port *>(port)->rx.emplace_back(p->data, p->data + p->length);
        },
    .run = nullptr,
    .result =
        [](const dot1x_port *port, dot11_pae_result *out) {
            auto *p = reinterpret_cast<const stub_port *>(port);
            *out = p->res;
        },
    .status = nullptr,
};

// Tells the port that the backend finished.
void stub_finish()
{
    stub_port *p = stub.last;
    ASSERT_NE(p, nullptr);
    p->msk = stub.msk;
    p->identity = stub.identity;
    p->res.auth_success = stub.success;
    p->res.key_available = stub.key;
    p->res.msk = p->msk.data();
    p->res.msk_len = p->msk.size();
    p->res.identity = p->identity.c_str();
    p->res.session_timeout = stub.session_timeout;
    p->res.termination_action = stub.termination_action;
    dot11_r0kh_notify(p->owner);
}

sim::bytes pmkid_of(const sim::bytes &pmk, const uint8_t aa[6], const uint8_t spa[6], bool sha256)
{
    sim::bytes data = {'P', 'M', 'K', ' ', 'N', 'a', 'm', 'e'};
    data.insert(data.end(), aa, aa + 6);
    data.insert(data.end(), spa, spa + 6);
    sim::bytes h = sim::hmac(sha256 ? EVP_sha256() : EVP_sha1(), pmk, data);
    h.resize(16);
    return h;
}

// The PMKID KDE of message 1/4 (Ethernet frame), or empty.
sim::bytes kde_pmkid(const sim::bytes &eth)
{
    const uint8_t *f = eth.data() + 14;
    size_t kdl = sim::get_be16(f + EAPOL_KEY_DATA_LEN);
    const uint8_t *d = f + EAPOL_KEY_DATA;
    for (size_t i = 0; i + 2 <= kdl; i += 2 + d[i + 1])
        if (d[i] == 0xdd && d[i + 1] == 20 && d[i + 5] == 4)
            return sim::bytes(d + i + 6, d + i + 22);
    return {};
}

struct two_bss : ::testing::Test {
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
        stub = stub_state{};
        clock_monotonic_sec = 1000;
        clock_monotonic_usec = 1;
        memcpy(s.mac, kSta, 6);
        memcpy(s.bss, kBss1, 6);
        s.ssid = kSsid;
        cops.timer_start = [](void *u, timer *t, uint32_t ms, timer_fn fn) {
            auto *hh = static_cast<sim::host *>(u);
            timetable_cancel(hh->tt, t);
            timetable_schedule(hh->tt, t, ms, fn);
        };
        cops.timer_stop = [](void *u, timer *t) {
            timetable_cancel(static_cast<sim::host *>(u)->tt, t);
        };
    }
    void TearDown() override
    {
        if (att1)
            dot11_auth_detach_sta(&sta1);
        if (att2)
            dot11_auth_detach_sta(&sta2);
        dot11_auth_stop(&auth1);
        dot11_auth_stop(&auth2);
        dot11_cache_delete(cache);
        clock_monotonic_sec = saved_sec;
    }
    // Both BSSes of one service; the station attached to both.
    void start(uint32_t akm, bool with_cache = true, bool wpa = false)
    {
        sim::bytes psk = dot11_akm_is_psk(akm) ? sim::psk_from_passphrase("secret pass", kSsid)
                                               : sim::bytes{};
        cfg = sim::psk_config(kBss1, kSsid, psk, akm, wpa);
        cfg.dot11RSNAConfigPMKIDCacheSize = 2;
        if (with_cache) {
            cache = dot11_cache_create(&cfg, &cops, &h, reinterpret_cast<radius_client *>(&h),
                                       h.pool);
            ASSERT_NE(cache, nullptr);
            dot11_cache_set_pae_ops(cache, &stub_ops);
        }
        ASSERT_EQ(dot11_auth_init(&auth1, &cfg, &h.ops, cache, h.pool), 0);
        memcpy(cfg.bss_mac, kBss2, 6);
        ASSERT_EQ(dot11_auth_init(&auth2, &cfg, &h.ops, cache, h.pool), 0);
        ASSERT_EQ(dot11_auth_attach_sta(&auth1, &sta1, kSta), 0);
        att1 = true;
        ASSERT_EQ(dot11_auth_attach_sta(&auth2, &sta2, kSta), 0);
        att2 = true;
        s.pmk = psk;
        uint8_t type = reinterpret_cast<const uint8_t *>(&akm)[3];
        s.akm_type = type;
        s.wpa = wpa;
        s.ie = wpa ? sim::kWpaTkip : sim::rsn_ie(type);
        s.version = wpa ? 1 : (type == 5 || type == 6) ? 3 : 2;
    }
    sim::bytes associate(dot11_rsna *sta)
    {
        h.mlme(sta, s.auth_req());
        h.mlme(sta, s.assoc_req());
        return h.take_ether();
    }
    // 1/4 in, handshake to the end; the TK the host got.
    void finish(dot11_rsna *sta, const sim::bytes &m1, int authorized)
    {
        ASSERT_FALSE(m1.empty());
        h.tods(sta, s.answer_1of4(m1));
        sim::bytes m3 = h.take_ether();
        ASSERT_FALSE(m3.empty());
        sim::bytes m4 = s.answer_3of4(m3);
        ASSERT_FALSE(m4.empty()) << "3/4 did not verify";
        h.tods(sta, m4);
        ASSERT_EQ(h.authorized, authorized);
        ASSERT_FALSE(h.keys.empty());
        sim::bytes tk(s.ptk.begin() + 32, s.ptk.end());
        tk.resize(h.keys.back().key.size());
        EXPECT_EQ(h.keys.back().key, tk);
    }
    int deauth_reason()
    {
        for (auto it = h.mgmt.rbegin(); it != h.mgmt.rend(); ++it)
            if (((*it)[0] >> 4) == DOT11_ST_DEAUTH)
                return (*it)[DOT11_HDR_LEN] | (*it)[DOT11_HDR_LEN + 1] << 8;
        return -1;
    }
};

// PSK, PSK-SHA256 and WPA-PSK stations get the PMKID and keys of the PSK
// whether the key holder serves them or not.
TEST_F(two_bss, Psk_keys_are_the_same_with_and_without_the_cache)
{
    struct Case {
        uint32_t akm;
        bool wpa;
    } cases[] = {{DOT11_AKM_PSK, false}, {DOT11_AKM_PSK_SHA256, false}, {DOT11_AKM_WPA_PSK, true}};
    for (const Case &c : cases) {
        for (bool with_cache : {false, true}) {
            TearDown();
            att1 = att2 = false;
            auth1 = {};
            auth2 = {};
            cache = nullptr;
            h.authorized = 0;
            h.keys.clear();
            h.ether.clear();
            SetUp();
            start(c.akm, with_cache, c.wpa);
            sim::bytes m1 = associate(&sta1);
            if (!c.wpa) {
                EXPECT_EQ(kde_pmkid(m1), pmkid_of(s.pmk, kBss1, kSta, c.akm == DOT11_AKM_PSK_SHA256));
            }
            finish(&sta1, m1, 1);
            if (with_cache) {
                // PSK-derived entries are never cached.
                EXPECT_EQ(dot11_cache_count_pmks(cache), 0u);
                EXPECT_NE(sta1.r0kh, nullptr);
            }
        }
    }
}

TEST_F(two_bss, Dot1x_pmksa_is_derived_pushed_to_both_bsses_and_found_on_return)
{
    start(DOT11_AKM_8021X);
    stub.msk.resize(64);
    for (size_t i = 0; i < 64; i++)
        stub.msk[i] = uint8_t(i * 7 + 1);
    stub.session_timeout = 600;
    stub.termination_action = true;
    s.pmk.assign(stub.msk.begin(), stub.msk.begin() + 32);

    sim::bytes none = associate(&sta1);
    EXPECT_TRUE(none.empty()); // waits for the port
    ASSERT_EQ(stub.created, 1);
    EXPECT_TRUE(stub.last->enabled);
    EXPECT_EQ(sta1.r1kh_state, DOT11_R1KH_FT_INIT_GET_R1_SA);
    stub_finish();
    sim::bytes m1 = h.take_ether();
    EXPECT_EQ(kde_pmkid(m1), pmkid_of(s.pmk, kBss1, kSta, false));
    finish(&sta1, m1, 1);

    dot11_cache_entry *e = dot11_cache_first_pmk(cache);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 1u);
    EXPECT_STREQ(e->identity, "alice@example.org");
    EXPECT_EQ(e->lifetime, 600u);
    EXPECT_TRUE(e->flags & DOT11_ENTRY_LIFETIME_SET);
    EXPECT_EQ(sim::bytes(e->key, e->key + 32), s.pmk);
    // The other BSS got the same PMK with its own PMKID.
    EXPECT_TRUE(sta2.r1sa_ready);
    EXPECT_EQ(sim::bytes(sta2.pmk, sta2.pmk + 32), s.pmk);
    EXPECT_EQ(sim::bytes(sta2.pmkid, sta2.pmkid + 16), pmkid_of(s.pmk, kBss2, kSta, false));
    EXPECT_EQ(sta2.pmk_lifetime, 600u);
    EXPECT_EQ(stub.destroyed, 1); // the port goes with the derivation

    dot1xAuthConfig st;
    dot11_r0kh_get_pae_status(sta1.r0kh, &st);
    EXPECT_EQ(st.states, 0x56);
    EXPECT_EQ(st.port, 0x19);

    // The station leaves both BSSes and comes back to BSS 2 with the PMKID of
    // its PMK there: no new 802.1X authentication.
    dot11_auth_detach_sta(&sta1);
    dot11_auth_detach_sta(&sta2);
    att1 = att2 = false;
    EXPECT_EQ(dot11_cache_count_r0khs(cache), 0u);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 1u);
    ASSERT_EQ(dot11_auth_attach_sta(&auth2, &sta2, kSta), 0);
    att2 = true;
    memcpy(s.bss, kBss2, 6);
    sim::bytes pmkid = pmkid_of(s.pmk, kBss2, kSta, false);
    s.ie[1] += 18;
    s.ie.insert(s.ie.end(), {1, 0});
    s.ie.insert(s.ie.end(), pmkid.begin(), pmkid.end());
    {
        log_capture log;
        m1 = associate(&sta2);
        EXPECT_NE(logged.find("cache hit for PMKID"), std::string::npos) << logged;
    }
    EXPECT_EQ(stub.created, 1);
    EXPECT_EQ(kde_pmkid(m1), pmkid);
    finish(&sta2, m1, 2);
}

// What ends an 802.1X authentication at once, with reason 49 for the station.
TEST_F(two_bss, Dot1x_failures_end_the_association)
{
    struct Case {
        const char *what;
        bool refuse;
        bool success, key;
        size_t msk_len;
        uint32_t akm;
        int reason; // -1: the station waits
    } cases[] = {
        {"port refused", true, true, true, 64, DOT11_AKM_8021X, 49},
        {"success without key", false, true, false, 64, DOT11_AKM_8021X, 49},
        {"MSK of 31 bytes", false, true, true, 31, DOT11_AKM_8021X, 49},
        {"MSK of 32 bytes", false, true, true, 32, DOT11_AKM_8021X, -1},
        {"SHA-256 MSK of 31 bytes", false, true, true, 31, DOT11_AKM_8021X_SHA256, 49},
        {"no result yet", false, false, false, 64, DOT11_AKM_8021X, -1},
    };
    for (const Case &c : cases) {
        TearDown();
        att1 = att2 = false;
        auth1 = {};
        auth2 = {};
        cache = nullptr;
        h.mgmt.clear();
        h.ether.clear();
        SetUp();
        stub.refuse = c.refuse;
        stub.success = c.success;
        stub.key = c.key;
        stub.msk.assign(c.msk_len, 0x42);
        start(c.akm);
        associate(&sta1);
        if (!c.refuse && stub.last)
            stub_finish();
        if (c.reason < 0) {
            EXPECT_EQ(deauth_reason(), -1) << c.what;
            EXPECT_TRUE(h.ether.empty() == (c.msk_len != 32)) << c.what;
        } else {
            EXPECT_EQ(deauth_reason(), c.reason) << c.what;
            EXPECT_EQ(sta1.r0kh->state, DOT11_R0KH_CALC_PMK_R0_IDLE) << c.what;
        }
        EXPECT_EQ(dot11_cache_count_pmks(cache), c.msk_len == 32 ? 1u : 0u) << c.what;
    }
}

TEST_F(two_bss, Eapol_relay_both_ways_and_its_drops)
{
    start(DOT11_AKM_8021X);
    // Before any port: dropped with the log line.
    sim::bytes start_frame = s.ethernet({2, 1, 0, 0});
    {
        log_capture log;
        h.tods(&sta1, s.ethernet({2, 0, 0, 4, 2, 1, 0, 4}));
        EXPECT_NE(logged.find("R0KH dropping EAPOL frame - missing 802.1X PAE"), std::string::npos)
            << logged;
    }
    associate(&sta1);
    ASSERT_NE(stub.last, nullptr);
    // EAP from the station reaches the port without its Ethernet header.
    h.tods(&sta1, s.ethernet({2, 0, 0, 4, 2, 1, 0, 4}));
    ASSERT_EQ(stub.last->rx.size(), 1u);
    EXPECT_EQ(stub.last->rx[0], (sim::bytes{2, 0, 0, 4, 2, 1, 0, 4}));
    // The port's answer goes out through BSS 1 to the station.
    packet *p = packet_from_bytes(h.pool, "\x02\x00\x00\x04\x01\x02\x00\x04", 8);
    dot11_r0kh_send_eapol_cb(sta1.r0kh, p);
    packet_release(p);
    sim::bytes out = h.take_ether();
    ASSERT_EQ(out.size(), 22u);
    EXPECT_EQ(memcmp(out.data(), kSta, 6), 0);
    EXPECT_EQ(memcmp(out.data() + 6, kBss1, 6), 0);
    EXPECT_EQ(out[12], 0x88);
    EXPECT_EQ(out[13], 0x8e);
    // An EAPOL-Start to the PAE group address restarts 802.1X at this BSS.
    memcpy(start_frame.data(), "\x01\x80\xc2\x00\x00\x03", 6);
    {
        log_capture log;
        h.tods(&sta1, start_frame);
        EXPECT_NE(logged.find("Received EAPOL-Start from"), std::string::npos) << logged;
        EXPECT_EQ(logged.find("pre-authentication"), std::string::npos) << logged;
    }
    // Without a route, the port's frames are dropped.
    dot11_auth_detach_sta(&sta1);
    att1 = false;
    dot11_r0kh *r0kh = sta2.r0kh;
    r0kh->route = nullptr;
    p = packet_from_bytes(h.pool, "\x02\x00\x00\x00", 4);
    {
        log_capture log;
        dot11_r0kh_send_eapol_cb(r0kh, p);
        EXPECT_NE(logged.find("dropping frame from 802.1X PAE without an R1KH route"), std::string::npos);
    }
    packet_release(p);
    // The default port status of a station with no cache entry.
    dot1xAuthConfig st;
    dot11_r0kh_get_pae_status(r0kh, &st);
    EXPECT_EQ(st.states, 0x17);
    EXPECT_EQ(st.port, 0x29);
}

// RRB frames to any number of destinations leave at most eight interim R1KHs.
TEST_F(two_bss, Rrb_to_random_targets_keeps_at_most_eight_interims)
{
    start(DOT11_AKM_PSK);
    cfg.flags_b |= DOT11_CFG_B_FT_OVER_DS;
    ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);
    for (int i = 0; i < 40; i++) {
        sim::bytes f(DOT11_RRB_BODY + 14, 0);
        uint8_t target[6] = {0x02, 0x11, 0x22, 0x33, uint8_t(i >> 8), uint8_t(i)};
        memcpy(f.data(), target, 6);
        memcpy(f.data() + 6, kBss1, 6);
        f[12] = 0x89;
        f[13] = 0x0d;
        f[DOT11_RRB_LENGTH] = 14;
        memcpy(f.data() + DOT11_RRB_AP, kBss1, 6);
        f[DOT11_RRB_BODY] = DOT11_CATEGORY_FT;
        f[DOT11_RRB_BODY + 1] = DOT11_FT_REQUEST;
        memcpy(f.data() + DOT11_RRB_BODY + 2, kSta, 6);
        memcpy(f.data() + DOT11_RRB_BODY + 8, target, 6);
        packet *p = packet_from_bytes(h.pool, f.data(), f.size());
        dot11_send_ether_ds(&sta1, p);
        packet_release(p);
        EXPECT_LE(sta1.r0kh->n_interims, 8u);
    }
    EXPECT_EQ(sta1.r0kh->n_interims, 8u);
    EXPECT_EQ(dot11_r0kh_count_r1khs(sta1.r0kh), 10u);
    // A group destination is dropped with a log line.
    sim::bytes g(DOT11_RRB_BODY + 14, 0);
    memset(g.data(), 0xff, 6);
    g[12] = 0x89;
    g[13] = 0x0d;
    packet *p = packet_from_bytes(h.pool, g.data(), g.size());
    {
        log_capture log;
        dot11_send_ether_ds(&sta1, p);
        EXPECT_NE(logged.find("dropping RRB frame to group address"), std::string::npos) << logged;
    }
    packet_release(p);
    EXPECT_EQ(sta1.r0kh->n_interims, 8u);
    // Untouched interims go once the reassociation deadline has passed.
    cfg.dot11FTReassociationDeadline = 1000;
    ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);
    EXPECT_EQ(dot11_cache_find_r0kh(cache, kSta), sta1.r0kh);
    EXPECT_EQ(sta1.r0kh->n_interims, 0u);
}

} // namespace
