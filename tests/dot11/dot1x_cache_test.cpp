// The key cache's own 802.1X ports behind a BSS authenticator: EAP travels
// between the station's frames and a scripted back end, the MSK becomes the
// PMK of the 4-way handshake, a keyless success fails the station at once,
// and the cache's counters add up the frames.
#include <gtest/gtest.h>

#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/dot1x_port.h"
#include "tests/dot11/dot11_test_util.h"
#include "tests/dot11/sta_sim.h"

namespace
{

const uint8_t kBss[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x07};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x07};
const std::string kSsid = "ulmex-8021x";

// The server: answers the identity with success, with or without keys.
struct server {
    eap_aaa aaa{};
    void (*done)(void *) = nullptr;
    void *user = nullptr;
    int runs = 0;
} * srv;
sim::bytes msk;

const eap_aaa_ops scripted = {
    .create = [](radius_client *, const uint8_t *, void (*done)(void *), void *user) -> eap_aaa * {
        srv = new server;
        srv->done = done;
        srv->user = user;
        return &srv->aaa;
    },
    .destroy =
        [](eap_aaa *a) {
            packet_release(a->aaaEapReqData);
            packet_release(a->aaaEapRespData);
            packet_release(a->aaaIdentity);
            delete reinterpret_cast<server *>(a);
            srv = nullptr;
        },
    .run =
        [](eap_aaa *a) {
            auto *s = reinterpret_cast<server *>(a);
            s->runs++;
            if (a->aaaIdentity) {
                packet_release(a->aaaIdentity);
                a->aaaIdentity = nullptr;
                strcpy(a->identity, "carol");
            }
            packet_release(a->aaaEapRespData);
            a->aaaEapRespData = nullptr;
            if (!msk.empty()) memcpy(a->msk, msk.data(), msk.size());
            a->msk_len = uint8_t(msk.size());
            a->flags = uint8_t(EAP_AAA_SUCCESS | (msk.empty() ? 0 : EAP_AAA_KEY_AVAILABLE));
        },
};

struct cache_bss : ::testing::Test {
    sim::host h;
    dot11_cache *cache = nullptr;
    dot11_auth auth{};
    dot11_rsna sta{};
    sim::station s{};
    dot11_cache_ops cops{};
    uint64_t saved_sec = clock_monotonic_sec;

    void SetUp() override
    {
        clock_monotonic_sec = 1000;
        clock_monotonic_usec = 1;
        memcpy(s.mac, kSta, 6);
        memcpy(s.bss, kBss, 6);
        s.ssid = kSsid;
        cops.timer_start = [](void *u, timer *t, uint32_t ms, timer_fn fn) {
            auto *hh = static_cast<sim::host *>(u);
            timetable_cancel(hh->tt, t);
            timetable_schedule(hh->tt, t, ms, fn);
        };
        cops.timer_stop = [](void *u, timer *t) {
            timetable_cancel(static_cast<sim::host *>(u)->tt, t);
        };
        dot11_auth_config cfg = sim::psk_config(kBss, kSsid, {}, DOT11_AKM_8021X, false);
        cache = dot11_cache_create(&cfg, &cops, &h, reinterpret_cast<radius_client *>(&h), h.pool);
        ASSERT_NE(cache, nullptr);
        dot11_cache_set_aaa_ops(cache, &scripted);
        ASSERT_EQ(dot11_auth_init(&auth, &cfg, &h.ops, cache, h.pool), 0);
        ASSERT_EQ(dot11_auth_attach_sta(&auth, &sta, kSta), 0);
        s.ie = sim::rsn_ie(1);
        s.akm_type = 1;
        s.version = 2;
    }
    void TearDown() override
    {
        dot11_auth_detach_sta(&sta);
        dot11_auth_stop(&auth);
        dot11_cache_delete(cache);
        clock_monotonic_sec = saved_sec;
    }
    // The station's EAPOL frame to the authenticator (Ethernet header on).
    sim::bytes from_station(const sim::bytes &eapol)
    {
        sim::bytes f(kBss, kBss + 6);
        f.insert(f.end(), kSta, kSta + 6);
        f.insert(f.end(), {0x88, 0x8e});
        f.insert(f.end(), eapol.begin(), eapol.end());
        return f;
    }
    int deauth_reason()
    {
        for (auto it = h.mgmt.rbegin(); it != h.mgmt.rend(); ++it)
            if (((*it)[0] >> 4) == DOT11_ST_DEAUTH)
                return (*it)[DOT11_HDR_LEN] | (*it)[DOT11_HDR_LEN + 1] << 8;
        return -1;
    }
    // Association, identity request, identity response: the server's verdict.
    sim::bytes run_exchange()
    {
        h.mlme(&sta, s.auth_req());
        h.mlme(&sta, s.assoc_req());
        sim::bytes req = h.take_ether();
        EXPECT_EQ(req.size(), 14u + 9u);
        if (req.size() != 23) return {};
        EXPECT_EQ(req[14 + 4], EAP_CODE_REQUEST);
        EXPECT_EQ(req[14 + 8], EAP_TYPE_IDENTITY);
        uint8_t id = req[14 + 5];
        h.tods(&sta, from_station(
                         {2, 0, 0, 10, EAP_CODE_RESPONSE, id, 0, 10, 1, 'c', 'a', 'r', 'o', 'l'}));
        sim::bytes success = h.take_ether();
        EXPECT_EQ(success.size(), 14u + 8u);
        if (success.size() == 22) {
            EXPECT_EQ(success[14 + 4], EAP_CODE_SUCCESS);
        }
        return h.take_ether();
    }
};

TEST_F(cache_bss, MskBecomesThePmkOfTheHandshake)
{
    msk.assign(64, 0);
    for (size_t i = 0; i < 64; i++)
        msk[i] = uint8_t(0xa0 + i);
    s.pmk.assign(msk.begin(), msk.begin() + 32);
    sim::bytes m1 = run_exchange();
    ASSERT_FALSE(m1.empty()) << "no 1/4 after the success";
    h.tods(&sta, s.answer_1of4(m1));
    sim::bytes m3 = h.take_ether();
    ASSERT_FALSE(m3.empty()) << "2/4 with the MSK's PMK refused";
    sim::bytes m4 = s.answer_3of4(m3);
    ASSERT_FALSE(m4.empty()) << "3/4 did not verify";
    h.tods(&sta, m4);
    EXPECT_EQ(h.authorized, 1);

    dot11_cache_entry *e = dot11_cache_first_pmk(cache);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->identity, "carol");
    EXPECT_EQ(srv, nullptr); // the port and its back end went with the derivation

    const dot1xAuthStats *st = dot11_cache_dot1x_stats(cache);
    EXPECT_EQ(st->dot1xAuthEapolFramesRx, 1u);
    EXPECT_EQ(st->dot1xAuthEapolRespIdFramesRx, 1u);
    EXPECT_EQ(st->dot1xAuthEapolFramesTx, 2u);
    EXPECT_EQ(st->dot1xAuthEapolReqIdFramesTx, 1u);
    EXPECT_EQ(0, memcmp(st->dot1xAuthLastEapolFrameSource, kSta, 6));
    const dot1xAuthDiag *d = dot11_cache_dot1x_diag(cache);
    EXPECT_EQ(d->dot1xAuthBackendAuthSuccesses, 1u);
}

TEST_F(cache_bss, KeylessSuccessFailsTheStationAtOnce)
{
    msk.clear(); // as EAP-MD5
    sim::bytes m1 = run_exchange();
    EXPECT_TRUE(m1.empty());
    EXPECT_EQ(deauth_reason(), 49);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 0u);
}

TEST_F(cache_bss, ShortMskFailsTheStationAtOnce)
{
    msk.assign(31, 0x42);
    sim::bytes m1 = run_exchange();
    EXPECT_TRUE(m1.empty());
    EXPECT_EQ(deauth_reason(), 49);
}

} // namespace
