#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <malloc.h>

#include "common/crypto/bytes.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_r0kh.h"
#include "tests/dot11/dot11_test_util.h"

namespace {

const uint8_t kBss1[6] = {0x02, 0, 0, 0, 0, 1};
const uint8_t kBss2[6] = {0x02, 0, 0, 0, 0, 2};
const uint8_t kSta1[6] = {0x12, 0x34, 0x56, 0, 0, 1};
const uint8_t kSta2[6] = {0x12, 0x34, 0x56, 0, 0, 2};

TEST(Dot11Cache, Needs_a_nas_for_8021x_akms)
{
    struct Case {
        uint32_t akm;
        bool needs_nas;
    } cases[] = {
        {DOT11_AKM_8021X, true},      {DOT11_AKM_FT_8021X, true},  {DOT11_AKM_8021X_SHA256, true},
        {DOT11_AKM_WPA_8021X, true},  {DOT11_AKM_PSK, false},      {DOT11_AKM_FT_PSK, false},
        {DOT11_AKM_PSK_SHA256, false}, {DOT11_AKM_WPA_PSK, false},
    };
    for (const Case &c : cases) {
        dot11_auth_config cfg{};
        cfg.dot11RSNAConfigAuthenticationSuite[3] = c.akm;
        dot11_cache *cache;
        {
            log_capture log;
            cache = dot11_cache_create(&cfg, nullptr, nullptr, nullptr, nullptr);
            EXPECT_EQ(logged.find("IEEE 802.1X authentication requires a RADIUS NAS") !=
                          std::string::npos,
                      c.needs_nas);
        }
        EXPECT_EQ(cache == nullptr, c.needs_nas) << std::hex << c.akm;
        dot11_cache_delete(cache);
        // With a NAS every AKM is accepted, and a later NAS does not replace it.
        auto *nas = reinterpret_cast<radius_client *>(&cfg);
        cache = dot11_cache_create(&cfg, nullptr, nullptr, nas, nullptr);
        ASSERT_NE(cache, nullptr);
        int other = 0;
        dot11_cache_set_nas(cache, reinterpret_cast<radius_client *>(&other));
        EXPECT_EQ(dot11_cache_get_nas(cache), nas);
        dot11_cache_clear_nas(cache);
        EXPECT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), c.needs_nas ? -1 : 0);
        EXPECT_EQ(dot11_cache_check_config(cache, &cfg, nas), 0);
        dot11_cache_delete(cache);
    }
    dot11_cache_delete(nullptr);
}

// The cached clock, set by the test and put back afterwards.
struct clock_fixture : ::testing::Test {
    uint64_t saved_sec = clock_monotonic_sec, saved_usec = clock_monotonic_usec;
    dot11_auth_config cfg{};
    dot11_cache *cache = nullptr;
    void SetUp() override
    {
        clock_monotonic_sec = 100000;
        clock_monotonic_usec = 0;
        memcpy(cfg.bss_mac, kBss1, 6);
        cfg.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_8021X;
        cfg.dot11RSNAConfigAuthenticationSuite[1] = DOT11_AKM_PSK;
        cfg.dot11RSNAConfigPairwiseUpdateCount = 3;
        cfg.dot11RSNAConfigGroupUpdateCount = 3; // margin 2 * (3 + 6) = 18 s
        cfg.dot11RSNAConfigPMKIDCacheSize = 2;
        make();
    }
    void make()
    {
        dot11_cache_delete(cache);
        cache = dot11_cache_create(&cfg, nullptr, nullptr, reinterpret_cast<radius_client *>(&cfg),
                                   nullptr);
        ASSERT_NE(cache, nullptr);
    }
    void TearDown() override
    {
        dot11_cache_delete(cache);
        clock_monotonic_sec = saved_sec;
        clock_monotonic_usec = saved_usec;
    }
    // An 802.1X PMKSA of the station as the R0KH derives it through bss.
    dot11_cache_entry *add(const uint8_t mac[6], uint8_t seed, uint32_t lifetime = 3600,
                           const char *identity = nullptr, const uint8_t *bss = kBss1,
                           uint32_t akm = DOT11_AKM_8021X)
    {
        dot11_cache_entry *e = dot11_cache_entry_create(cache, mac, akm);
        if (identity) e = dot11_cache_entry_set_identity(cache, e, identity);
        memset(e->key, seed, 32);
        if (akm == DOT11_AKM_8021X_SHA256)
            dot11_derive_pmkid_sha256(e->key, bss, mac, e->id);
        else
            dot11_derive_pmkid(e->key, bss, mac, e->id);
        e->lifetime = lifetime;
        EXPECT_EQ(dot11_cache_insert(cache, e), 0);
        dot11_cache_entry_release(e); // the index holds it now
        return e;
    }
};

using Dot11CacheEntries = clock_fixture;

// PMKIDs and names are public: another station's never reaches the owner's entry.
TEST_F(Dot11CacheEntries, Lookup_by_id_name_and_recomputed_pmkid_serves_only_the_owner)
{
    dot11_cache_entry *a = add(kSta1, 1);
    uint8_t a_id[16];
    memcpy(a_id, a->id, 16);
    // The PMKID that the station computes for BSS 2 from the PMK it got through BSS 1.
    uint8_t other_bss[16];
    dot11_derive_pmkid(a->key, kBss2, kSta1, other_bss);
    uint8_t unknown[16] = {9};
    struct Case {
        const uint8_t *mac;
        const uint8_t *name;
        const uint8_t *bss;
        uint32_t akm, cipher;
        bool found;
    } cases[] = {
        {kSta1, a_id, kBss1, DOT11_AKM_8021X, 0, true},
        {kSta1, other_bss, kBss2, DOT11_AKM_8021X, 0, true},
        {kSta1, other_bss, kBss1, DOT11_AKM_8021X, 0, false}, // AA must be the asking BSS
        {kSta2, a_id, kBss1, DOT11_AKM_8021X, 0, false},
        {kSta2, other_bss, kBss2, DOT11_AKM_8021X, 0, false},
        {kSta1, a_id, kBss1, DOT11_AKM_PSK, 0, false}, // another AKM
        {kSta1, unknown, kBss1, 0, 0, false},
    };
    for (const Case &c : cases) {
        dot11_cache_entry *e = dot11_cache_lookup(cache, c.mac, c.bss, c.name, c.akm, c.cipher);
        EXPECT_EQ(e != nullptr, c.found);
        if (e) {
            EXPECT_EQ(e, a);
            EXPECT_EQ(e->refcount, 2);
            dot11_cache_entry_release(e);
        }
    }
    // The owner's entry is where it was, under its MAC.
    EXPECT_EQ(dot11_cache_first_pmk_by_mac(cache, kSta1), a);
    EXPECT_EQ(dot11_cache_count_pmks_by_mac(cache, kSta2), 0u);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 1u);
}

TEST_F(Dot11CacheEntries, Expiry_by_margin_on_lookup_and_by_the_poll)
{
    // Margin: the larger of the reassociation deadline and 2 x (3 + 2 x 3) = 18 s.
    struct Case {
        uint32_t deadline_tus;
        uint32_t margin;
    } margins[] = {{0, 18}, {20000, 20}, {0xf9ffffff, 4294967}, {17000, 18}};
    for (const Case &c : margins) {
        cfg.dot11FTReassociationDeadline = c.deadline_tus;
        ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);
        EXPECT_EQ(dot11_cache_margin(cache), c.margin) << c.deadline_tus;
    }
    cfg.dot11FTReassociationDeadline = 0;
    ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);

    dot11_cache_entry *a = add(kSta1, 1, 100, "alice@example.org");
    uint8_t id[16];
    memcpy(id, a->id, 16);
    clock_monotonic_sec += 82; // 18 s left: exactly the margin, still usable
    dot11_cache_entry *e = dot11_cache_lookup(cache, kSta1, kBss1, id, 0, 0);
    ASSERT_EQ(e, a);
    dot11_cache_entry_release(e);
    clock_monotonic_sec += 1;
    {
        log_capture log;
        EXPECT_EQ(dot11_cache_lookup(cache, kSta1, kBss1, id, 0, 0), nullptr);
        char want[160];
        snprintf(want, sizeof want,
                 "PMKSA %08x%08x%08x%08x for R0KH 12:34:56:00:00:01 and EAP Identity "
                 "alice@example.org expired",
                 crypto_bytes::load_be32(id), crypto_bytes::load_be32(id + 4),
                 crypto_bytes::load_be32(id + 8), crypto_bytes::load_be32(id + 12));
        EXPECT_NE(logged.find(want), std::string::npos) << logged;
    }
    EXPECT_EQ(dot11_cache_count_pmks(cache), 0u);
    EXPECT_EQ(dot11_cache_count_pmks_by_user(cache, "alice@example.org"), 0u);

    // The poll looks at one entry per call, round-robin: three entries, one
    // expired, go down to two within three polls, and no poll removes more.
    add(kSta1, 2, 1000);
    add(kSta2, 3, 10);
    add(kSta1, 4, DOT11_LIFETIME_UNLIMITED);
    clock_monotonic_sec += 100;
    for (int i = 0; i < 3; i++)
        dot11_cache_poll(cache, nullptr);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 2u);
    EXPECT_EQ(dot11_cache_count_pmks_by_mac(cache, kSta2), 0u);
    for (int i = 0; i < 5; i++)
        dot11_cache_poll(cache, nullptr);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 2u);
}

TEST_F(Dot11CacheEntries, Eviction_per_mac_and_per_identity_keeps_the_newest)
{
    // Limit 2 (configured), so a third entry of a MAC or an identity evicts the oldest.
    EXPECT_EQ(dot11_cache_key_limit(cache), 2u);
    dot11_cache_entry *a = add(kSta1, 1);
    clock_monotonic_sec += 5;
    add(kSta1, 2);
    add(kSta1, 3);
    uint8_t a_id[16];
    memcpy(a_id, a->id, 16);
    {
        log_capture log;
        dot11_cache_evict(cache, kSta1, nullptr);
        char want[128];
        snprintf(want, sizeof want,
                 "Evicting PMKSA %08x%08x%08x%08x for R0KH 12:34:56:00:00:01 age 5s",
                 crypto_bytes::load_be32(a_id), crypto_bytes::load_be32(a_id + 4),
                 crypto_bytes::load_be32(a_id + 8), crypto_bytes::load_be32(a_id + 12));
        EXPECT_NE(logged.find(want), std::string::npos) << logged;
    }
    EXPECT_EQ(dot11_cache_count_pmks_by_mac(cache, kSta1), 2u);
    EXPECT_EQ(dot11_cache_find_pmk(cache, a_id), nullptr);

    // One identity on three stations.
    const uint8_t s3[6] = {0x12, 0x34, 0x56, 0, 0, 3};
    add(kSta2, 10, 3600, "bob");
    add(s3, 11, 3600, "bob");
    clock_monotonic_sec += 7;
    const uint8_t s4[6] = {0x12, 0x34, 0x56, 0, 0, 4};
    add(s4, 12, 3600, "bob");
    {
        log_capture log;
        dot11_cache_evict(cache, s4, "bob");
        EXPECT_NE(logged.find("for EAP Identity bob age 7s"), std::string::npos) << logged;
    }
    EXPECT_EQ(dot11_cache_count_pmks_by_user(cache, "bob"), 2u);
    EXPECT_EQ(dot11_cache_count_pmks_by_mac(cache, kSta2), 0u);

    // The limit is at least one plus the FT AKMs configured.
    cfg.dot11RSNAConfigPMKIDCacheSize = 1;
    cfg.dot11RSNAConfigAuthenticationSuite[2] = DOT11_AKM_FT_8021X;
    cfg.dot11RSNAConfigAuthenticationSuite[3] = DOT11_AKM_FT_PSK;
    ASSERT_EQ(dot11_cache_check_config(cache, &cfg, nullptr), 0);
    EXPECT_EQ(dot11_cache_key_limit(cache), 3u);
}

TEST_F(Dot11CacheEntries, Clear_walks_counters_and_rows)
{
    dot11_cache_entry *a = add(kSta1, 1, 600, "carol");
    dot11_cache_entry *b = add(kSta1, 2, 0);
    dot11_cache_entry *c = add(kSta2, 3, 600, nullptr, kBss1, DOT11_AKM_PSK);
    (void)b;
    // A held entry outlives its removal, without its key.
    dot11_cache_entry *held = dot11_cache_entry_hold(c);
    unsigned n = 0;
    for (dot11_cache_entry *e = dot11_cache_first_pmk(cache); e; e = dot11_cache_next_pmk(cache, e))
        n++;
    EXPECT_EQ(n, 3u);
    n = 0;
    for (dot11_cache_entry *e = dot11_cache_first_pmk_by_mac(cache, kSta1); e;
         e = dot11_cache_next_pmk_by_mac(cache, kSta1, e))
        n++;
    EXPECT_EQ(n, 2u);

    EXPECT_EQ(dot11_cache_add_counters(cache, a->id, 1000, 2000, 10, 20), 0);
    EXPECT_EQ(dot11_cache_add_counters(cache, a->id, 1, 2, 3, 4), 0);
    uint8_t none[16] = {1};
    EXPECT_EQ(dot11_cache_add_counters(cache, none, 1, 1, 1, 1), -1);

    clock_monotonic_sec += 42;
    dot11_key_row row;
    dot1xAuthSessionStats detail;
    dot11_cache_dump_pmk(a, &row, &detail);
    EXPECT_EQ(memcmp(row.mac, kSta1, 6), 0);
    EXPECT_EQ(memcmp(row.key_id, a->id, 16), 0);
    EXPECT_EQ(row.akm, uint32_t(DOT11_AKM_8021X));
    EXPECT_EQ(row.lifetime, 558u);
    EXPECT_EQ(detail.dot1xAuthSessionOctetsRx, 1001u);
    EXPECT_EQ(detail.dot1xAuthSessionOctetsTx, 2002u);
    EXPECT_EQ(detail.dot1xAuthSessionFramesRx, 13u);
    EXPECT_EQ(detail.dot1xAuthSessionFramesTx, 24u);
    char id[33];
    snprintf(id, sizeof id, "%08x%08x%08x%08x", crypto_bytes::load_be32(a->id),
             crypto_bytes::load_be32(a->id + 4), crypto_bytes::load_be32(a->id + 8),
             crypto_bytes::load_be32(a->id + 12));
    EXPECT_STREQ(detail.dot1xAuthSessionId, id);
    EXPECT_EQ(dot1x_session_method(&detail), DOT1X_METHOD_REMOTE);
    EXPECT_EQ(dot1x_session_cause(&detail), DOT1X_CAUSE_NOT_TERMINATED);
    EXPECT_EQ(detail.dot1xAuthSessionTime, 42u);
    EXPECT_STREQ(detail.dot1xAuthSessionUserName, "carol");
    dot11_cache_dump_pmk(c, &row, &detail);
    EXPECT_EQ(dot1x_session_method(&detail), DOT1X_METHOD_LOCAL);
    EXPECT_STREQ(detail.dot1xAuthSessionUserName, "12-34-56-00-00-02");
    clock_monotonic_sec += 600;
    dot11_cache_dump_pmk(c, &row, nullptr);
    EXPECT_EQ(row.lifetime, 0u);

    dot11_cache_clear_pmksas_by_mac(cache, kSta1);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 1u);
    EXPECT_EQ(dot11_cache_count_pmks_by_user(cache, "carol"), 0u);
    dot11_cache_clear(cache);
    EXPECT_EQ(dot11_cache_count_pmks(cache), 0u);
    EXPECT_EQ(dot11_cache_find_name(cache, dot11_cache_entry_name(held)), nullptr);
    static const uint8_t zero[32] = {};
    EXPECT_EQ(memcmp(held->key, zero, 32), 0);
    dot11_cache_entry_release(held);
}

TEST_F(Dot11CacheEntries, Identity_shrinks_an_unlinked_entry_and_the_count_is_bounded)
{
    dot11_cache_entry *e = dot11_cache_entry_create(cache, kSta1, DOT11_AKM_8021X);
    ASSERT_EQ(e->room, 1);
    std::string id(2000, 'x');
    e = dot11_cache_entry_set_identity(cache, e, id.c_str());
    EXPECT_EQ(e->room, 2);
    EXPECT_EQ(strlen(e->identity), DOT11_IDENTITY_MAX);
    EXPECT_GE(malloc_usable_size(e),
              offsetof(dot11_cache_entry, identity) + DOT11_IDENTITY_MAX + 1);
    EXPECT_LT(malloc_usable_size(e),
              offsetof(dot11_cache_entry, identity) + DOT11_IDENTITY_MAX + 32);
    e->refcount = 0xfffe;
    dot11_cache_entry *h = dot11_cache_entry_hold(e);
    EXPECT_EQ(h, e);
    EXPECT_EQ(dot11_cache_entry_hold(e), nullptr);
    e->refcount = 1;
    dot11_cache_entry_release(e);
    // A PSK entry has no identity room at all.
    e = dot11_cache_entry_create(cache, kSta1, DOT11_AKM_PSK);
    EXPECT_EQ(e->room, 0);
    EXPECT_EQ(dot11_cache_entry_set_identity(cache, e, "x"), e);
    EXPECT_EQ(e->identity[0], 0);
    dot11_cache_entry_release(e);
}

// Renewing serves only an unshared, unindexed entry without identity room,
// and leaves nothing of its former keys or marks.
TEST_F(Dot11CacheEntries, Renew_resets_only_an_entry_held_by_the_caller_alone)
{
    dot11_cache_entry *e = dot11_cache_entry_create(cache, kSta1, DOT11_AKM_FT_PSK);
    memset(e->key, 7, 32);
    memset(e->id, 8, 16);
    memset(dot11_cache_entry_name(e), 9, 16);
    e->flags |= DOT11_ENTRY_PUSHED | DOT11_ENTRY_LIFETIME_SET;
    e->cipher = DOT11_CIPHER_CCMP;
    e->lifetime = 60;
    e->frames_in = 3;
    e->octets_out = 4;
    clock_monotonic_sec += 50;
    dot11_cache_entry *held = dot11_cache_entry_hold(e);
    EXPECT_EQ(dot11_cache_entry_renew(e), -1); // shared
    EXPECT_EQ(e->key[0], 7);
    dot11_cache_entry_release(held);
    ASSERT_EQ(dot11_cache_entry_renew(e), 0);
    const uint8_t zero[32] = {};
    EXPECT_EQ(memcmp(e->key, zero, 32), 0);
    EXPECT_EQ(memcmp(e->id, zero, 16), 0);
    EXPECT_EQ(memcmp(dot11_cache_entry_name(e), zero, 16), 0);
    EXPECT_EQ(e->flags, DOT11_ENTRY_NAMED);
    EXPECT_EQ(e->cipher + e->lifetime + e->frames_in + e->octets_out, 0u);
    EXPECT_EQ(e->created, clock_sec());
    EXPECT_EQ(e->akm, DOT11_AKM_FT_PSK);
    EXPECT_EQ(memcmp(e->mac, kSta1, 6), 0);
    dot11_cache_entry_release(e);
    // Indexed, or with identity room: refused.
    dot11_cache_entry *linked = add(kSta2, 5);
    EXPECT_EQ(dot11_cache_entry_renew(linked), -1);
    dot11_cache_entry *x = dot11_cache_entry_create(cache, kSta1, DOT11_AKM_8021X);
    EXPECT_EQ(dot11_cache_entry_renew(x), -1);
    dot11_cache_entry_release(x);
}

} // namespace
