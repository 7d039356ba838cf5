#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/hashtable.h"

namespace {

struct station {
    uint8_t mac[6];
    hashlink link;
    int id;
};

using table_ptr = std::unique_ptr<hashtable, decltype(&hashtable_destroy)>;

table_ptr make_mac_table(const hashtable_config *cfg = nullptr)
{
    return table_ptr(hashtable_create(&station::mac, &station::link, cfg), hashtable_destroy);
}

void set_mac(station *s, uint32_t n)
{
    const uint8_t mac[6] = {0x02, 0x00, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    memcpy(s->mac, mac, 6);
    hashlink_init(&s->link);
}

std::vector<uint8_t> swap_words(const std::string &s, size_t words)
{
    std::vector<uint8_t> v(s.begin(), s.end());
    for (size_t i = 0; i < words * 4; i += 4)
        std::swap(v[i], v[i + 3]), std::swap(v[i + 1], v[i + 2]);
    return v;
}

} // namespace

TEST(HashFunctions, PublishedVectorsWithBigEndianWords)
{
    EXPECT_EQ(hash_fnv1a("", 0, 0), 0x811C9DC5u);
    EXPECT_EQ(hash_fnv1a("a", 1, 0), 0xE40C292Cu);
    EXPECT_EQ(hash_fnv1a("foobar", 6, 0), 0xBF9CF968u);
    EXPECT_EQ(hash_fnv1a("a", 1, 0x811C9DC5u), (0u ^ 'a') * 16777619u);

    // Published vectors read blocks little-endian: reverse each full word first.
    struct vec {
        std::string text;
        uint32_t seed, expect;
    };
    const vec murmur[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7u},
        {"", 0xffffffffu, 0x81F16F39u},
        {std::string(4, '\0'), 0, 0x2362F9DEu},
        {"aaaa", 0x9747b28cu, 0x5A97808Au},
        {"abcd", 0x9747b28cu, 0xF0478627u},
        {"Hello, world!", 0x9747b28cu, 0x24884CBAu},
        {"The quick brown fox jumps over the lazy dog", 0x9747b28cu, 0x2FA826CDu},
    };
    for (const auto &v : murmur) {
        auto key = swap_words(v.text, v.text.size() / 4);
        EXPECT_EQ(hash_murmur3(key.data(), key.size(), v.seed), v.expect) << v.text;
    }
    const vec xxh[] = {
        {"", 0, 0x02CC5D05u},
        {"a", 0, 0x550D7456u},
        {"abc", 0, 0x32D153FFu},
        {"Nobody inspects the spammish repetition", 0, 0xE2293B2Fu},
    };
    for (const auto &v : xxh) {
        auto key = swap_words(v.text, v.text.size() / 4);
        EXPECT_EQ(hash_xxh32(key.data(), key.size(), v.seed), v.expect) << v.text;
    }
}

TEST(HashFunctions, FixedLengthsAgreeWithVariableLength)
{
    std::mt19937 rng(7);
    const std::pair<size_t, hashtable_hash_fn> fixed[] = {
        {2, hash_golden_2},   {4, hash_golden_4},   {6, hash_golden_6},   {8, hash_golden_8},
        {10, hash_golden_10}, {12, hash_golden_12}, {16, hash_golden_16},
    };
    for (int round = 0; round < 100; round++) {
        uint8_t key[16];
        for (auto &b : key)
            b = uint8_t(rng());
        uint32_t seed = rng();
        for (auto [len, fn] : fixed) {
            // The half-word tail of 2, 6 and 10 bytes is the same number the loop forms.
            EXPECT_EQ(fn(key, len, seed), hash_golden_var(key, len, seed)) << len;
        }
    }
}

// A seed that only shifted the result would move every key by the same
// amount: keys that collide under one seed would collide under all, and
// keys built to cancel each other's words would always collide.
TEST(HashFunctions, SeedChangesWhereKeysLandNotOnlyTheirOffset)
{
    std::mt19937 rng(11);
    const std::pair<size_t, hashtable_hash_fn> fns[] = {
        {4, hash_golden_4},   {6, hash_golden_6},   {8, hash_golden_8},     {12, hash_golden_12},
        {16, hash_golden_16}, {5, hash_golden_var}, {40, hash_xxh32},       {100, hash_xxh32},
    };
    for (auto [len, fn] : fns) {
        std::set<uint32_t> offsets;
        std::vector<uint8_t> key(len);
        for (int i = 0; i < 64; i++) {
            for (auto &b : key)
                b = uint8_t(rng());
            offsets.insert(fn(key.data(), len, 1) - fn(key.data(), len, 0x9e3779b9u));
        }
        EXPECT_GT(offsets.size(), 60u) << len;
    }
    // Swapped words, or one word up and the other down by the same amount,
    // sum alike; with the seed in the state they land apart.
    int collisions = 0;
    for (int i = 0; i < 1000; i++) {
        uint32_t a = rng(), b = rng(), seed = rng() | 1;
        uint8_t k1[8], k2[8], k3[8];
        for (int j = 0; j < 4; j++) {
            k1[j] = uint8_t(a >> (24 - 8 * j)), k1[4 + j] = uint8_t(b >> (24 - 8 * j));
            k2[j] = k1[4 + j], k2[4 + j] = k1[j];
            k3[j] = uint8_t((a + 1) >> (24 - 8 * j)), k3[4 + j] = uint8_t((b - 1) >> (24 - 8 * j));
        }
        uint32_t mask = 0xfff;
        uint32_t h1 = hash_golden_8(k1, 8, seed) & mask;
        collisions += h1 == (hash_golden_8(k2, 8, seed) & mask);
        collisions += h1 == (hash_golden_8(k3, 8, seed) & mask);
    }
    EXPECT_LT(collisions, 5);
}

TEST(HashTable, GrowsPastThreeQuartersAndMigratesOneBucketPerInsert)
{
    std::vector<station> s(200);
    auto t = make_mac_table();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->size, 64u);
    for (uint32_t i = 0; i < 48; i++) {
        set_mac(&s[i], i);
        EXPECT_EQ(hashtable_insert(t.get(), &s[i].link), nullptr);
    }
    EXPECT_EQ(t->size, 64u);
    set_mac(&s[48], 48);
    hashtable_insert(t.get(), &s[48].link);
    EXPECT_EQ(t->size, 128u);
    EXPECT_EQ(t->cursor, 1u);
    EXPECT_EQ(hashtable_count(t.get()), 49u);

    EXPECT_NE(t->old_buckets, nullptr);

    // Locked, inserts and removes take no migration step; entries in old and
    // new buckets are all found.
    hashtable *tp = t.get();
    __hashtable_lock(tp);
    set_mac(&s[49], 49);
    hashtable_insert(tp, &s[49].link);
    EXPECT_EQ(hashtable_remove(tp, &s[49].link), 1);
    EXPECT_EQ(t->cursor, 1u);
    for (uint32_t i = 0; i < 49; i++)
        EXPECT_EQ(hashtable_lookup(tp, s[i].mac, &station::link), &s[i]);
    __hashtable_unlock(&tp);

    // Unlocked, each insert migrates one more old bucket until none is left.
    for (uint32_t i = 49; i < 49 + 63; i++) {
        set_mac(&s[i], i);
        hashtable_insert(tp, &s[i].link);
        EXPECT_EQ(t->cursor, std::min(64u, i - 47));
    }
    EXPECT_EQ(t->old_buckets, nullptr);
    for (uint32_t b = 0; b < t->size; b++)
        for (hashlink *l = t->buckets[b]; l; l = l->next)
            EXPECT_EQ(l->hash & (t->size - 1), b);
    for (uint32_t i = 0; i < 49 + 63; i++)
        EXPECT_EQ(hashtable_lookup(tp, s[i].mac, &station::link), &s[i]);
}

// A table that is only read after growing still finishes migrating, and
// every entry stays findable at each step; locked lookups move nothing.
TEST(HashTable, LookupsTakeMigrationStepsUnlessLocked)
{
    std::vector<station> s(49);
    auto t = make_mac_table();
    for (uint32_t i = 0; i < 49; i++) {
        set_mac(&s[i], i);
        hashtable_insert(t.get(), &s[i].link);
    }
    ASSERT_EQ(t->cursor, 1u);
    hashtable *tp = t.get();
    __hashtable_lock(tp);
    EXPECT_EQ(hashtable_lookup(tp, s[0].mac, &station::link), &s[0]);
    EXPECT_EQ(t->cursor, 1u);
    __hashtable_unlock(&tp);
    for (uint32_t round = 0; t->old_buckets; round++) {
        ASSERT_LT(round, 64u);
        uint32_t cursor = t->cursor;
        uint8_t absent[6] = {0x06, 0, 0, 0, 0, uint8_t(round)};
        EXPECT_EQ(hashtable_lookup(tp, absent), nullptr);
        EXPECT_EQ(t->cursor, cursor + 1);
        for (auto &e : s)
            EXPECT_EQ(hashtable_lookup(tp, e.mac, &station::link), &e);
    }
    EXPECT_EQ(t->cursor, 64u);
    EXPECT_EQ(hashtable_count(tp), 49u);
}

TEST(HashTable, InsertOfPresentKeyReplacesAndRemoveReportsMembership)
{
    station a, b;
    auto t = make_mac_table();
    set_mac(&a, 1);
    set_mac(&b, 1);
    EXPECT_FALSE(hashlink_used(&a.link));
    EXPECT_EQ(hashtable_insert(t.get(), &a.link), nullptr);
    EXPECT_TRUE(hashlink_used(&a.link));
    EXPECT_EQ(hashtable_insert(t.get(), &b.link), &a.link);
    EXPECT_FALSE(hashlink_used(&a.link));
    EXPECT_EQ(a.link.hash, 0u);
    EXPECT_EQ(hashtable_count(t.get()), 1u);
    EXPECT_EQ(hashtable_lookup(t.get(), a.mac, &station::link), &b);
    EXPECT_EQ(hashtable_remove(t.get(), &a.link), 0);
    EXPECT_EQ(hashtable_remove(t.get(), &b.link), 1);
    EXPECT_EQ(hashtable_remove(t.get(), &b.link), 0);
    EXPECT_EQ(hashtable_count(t.get()), 0u);
    EXPECT_EQ(hashtable_lookup(t.get(), a.mac), nullptr);

    // replace keeps the bucket position and hash of the old entry.
    hashtable_insert(t.get(), &a.link);
    hashtable_replace(t.get(), &a.link, &b.link);
    EXPECT_FALSE(hashlink_used(&a.link));
    EXPECT_EQ(hashtable_lookup(t.get(), a.mac, &station::link), &b);
    EXPECT_EQ(hashtable_count(t.get()), 1u);
}

TEST(HashTable, BadConfigurationsFailAndHashFunctionFollowsKeyLength)
{
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.min_log2 = 10;
    cfg.max_log2 = 8;
    EXPECT_EQ(hashtable_create(6, 0, 0, 0, true, false, &cfg), nullptr);
    cfg = *hashtable_default_config(false);
    cfg.compare = nullptr;
    EXPECT_EQ(hashtable_create(6, 0, 0, 0, true, false, &cfg), nullptr);
    cfg = *hashtable_default_config(false);
    cfg.max_log2 = 40;  // clamps to 2^29 buckets
    cfg.key_len = 4;
    hashtable *big = hashtable_create(6, 0, 0, 0, true, false, &cfg);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->max_size, 1u << 29);
    EXPECT_EQ(big->hashfun, &hash_golden_4);
    hashtable_destroy(big);
    hashtable_destroy(nullptr);

    const std::pair<uint32_t, hashtable_hash_fn> by_len[] = {
        {2, hash_golden_2},  {4, hash_golden_4},  {5, hash_golden_var}, {6, hash_golden_6},
        {12, hash_golden_12}, {16, hash_golden_16}, {31, hash_golden_var}, {32, hash_xxh32},
        {40, hash_xxh32},    {100, hash_xxh32},
    };
    for (auto [len, fn] : by_len) {
        table_ptr t(hashtable_create(len, 0, 0, 0, true, false, nullptr), hashtable_destroy);
        ASSERT_TRUE(t);
        EXPECT_EQ(t->hashfun, fn) << len;
    }
    table_ptr s(hashtable_create(0, 0, 0, 0, false, true, nullptr), hashtable_destroy);
    EXPECT_EQ(s->hashfun, &hash_golden_var);
    EXPECT_TRUE(s->key_by_pointer);
    // Seeds are drawn per table.
    table_ptr a(hashtable_create(6, 0, 0, 0, true, false, nullptr), hashtable_destroy);
    table_ptr b(hashtable_create(6, 0, 0, 0, true, false, nullptr), hashtable_destroy);
    EXPECT_NE(a->seed, b->seed);
}

TEST(HashTable, StringKeysInlineAndByPointer)
{
    struct named {
        const char *name;
        hashlink link;
    };
    struct inline_named {
        char name[16];
        hashlink link;
    };
    std::string names[] = {"", "a", "alice", "bob@example.org", "carol.longer"};
    std::vector<named> n(5);
    std::vector<inline_named> m(5);
    table_ptr bp(hashtable_create(0, 0, -int32_t(offsetof(named, link)), offsetof(named, link), false,
                                  true, nullptr),
                 hashtable_destroy);
    table_ptr in(hashtable_create(0, 0,
                                  int32_t(offsetof(inline_named, name)) - int32_t(offsetof(inline_named, link)),
                                  offsetof(inline_named, link), true, true, nullptr),
                 hashtable_destroy);
    for (int i = 0; i < 5; i++) {
        n[i].name = names[i].c_str();
        hashlink_init(&n[i].link);
        EXPECT_EQ(hashtable_insert(bp.get(), &n[i].link), nullptr);
        snprintf(m[i].name, sizeof(m[i].name), "%s", names[i].c_str());
        hashlink_init(&m[i].link);
        EXPECT_EQ(hashtable_insert(in.get(), &m[i].link), nullptr);
    }
    for (int i = 0; i < 5; i++) {
        std::string copy = names[i];
        EXPECT_EQ(hashtable_lookup(bp.get(), copy.c_str(), &named::link), &n[i]);
        EXPECT_EQ(hashtable_lookup(in.get(), copy.c_str(), &inline_named::link), &m[i]) << i;
    }
    EXPECT_EQ(hashtable_lookup(bp.get(), "alic"), nullptr);
}

// Several links per record, each indexing its own key of an array.
TEST(HashTable, StridedEntriesAndExtractedKeys)
{
    struct multi {
        hashlink links[3];
        struct {
            uint32_t pad;
            uint8_t key[4];
        } keys[3];
    };
    const uint32_t stride = sizeof(multi::keys[0]);
    std::vector<multi> recs(20);
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.stride = stride;
    table_ptr t(hashtable_create(4, stride, int32_t(offsetof(multi, keys) + 4), 0, true, false, &cfg),
                hashtable_destroy);
    ASSERT_TRUE(t);
    for (uint32_t r = 0; r < recs.size(); r++)
        for (int i = 0; i < 3; i++) {
            hashlink_init(&recs[r].links[i]);
            recs[r].links[i]._pos = int32_t(i * sizeof(hashlink));
            uint32_t k = r * 3 + uint32_t(i);
            memcpy(recs[r].keys[i].key, &k, 4);
            ASSERT_EQ(hashtable_insert(t.get(), &recs[r].links[i]), nullptr);
        }
    for (uint32_t k = 0; k < 60; k++)
        EXPECT_EQ(hashtable_lookup(t.get(), &k), &recs[k / 3].links[k % 3]);

    // Keys kept byte-reversed in the record, turned round by the extractor.
    struct rev {
        uint8_t key[4];
        hashlink link;
    };
    hashtable_config rcfg = *hashtable_default_config(false);
    rcfg.extract = [](const void *pos, void *scratch, size_t len, uint32_t) -> const void * {
        auto *src = static_cast<const uint8_t *>(pos);
        auto *dst = static_cast<uint8_t *>(scratch);
        for (size_t i = 0; i < len; i++)
            dst[i] = src[len - 1 - i];
        return dst;
    };
    rev r1{{4, 3, 2, 1}, {}}, r2{{8, 7, 6, 5}, {}};
    table_ptr rt(hashtable_create(&rev::key, &rev::link, &rcfg), hashtable_destroy);
    ASSERT_TRUE(rt);
    hashlink_init(&r1.link);
    hashlink_init(&r2.link);
    hashtable_insert(rt.get(), &r1.link);
    hashtable_insert(rt.get(), &r2.link);
    const uint8_t k1[4] = {1, 2, 3, 4}, k2[4] = {5, 6, 7, 8};
    EXPECT_EQ(hashtable_lookup(rt.get(), k1, &rev::link), &r1);
    EXPECT_EQ(hashtable_lookup(rt.get(), k2, &rev::link), &r2);
    EXPECT_EQ(hashtable_lookup(rt.get(), r1.key), nullptr);
}

TEST(HashTable, ClearHandsBackEveryEntryAndRefusesInsertsMeanwhile)
{
    struct ctx {
        hashtable *t;
        std::vector<station> *s;
        int calls;
        bool refused;
        bool clearing_seen;
    } c{};
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.extra = &c;
    cfg.clear = [](void *context, void *entry) {
        auto *x = static_cast<ctx *>(context);
        auto *st = static_cast<station *>(entry);
        x->calls++;
        x->clearing_seen = hashtable_clearing(x->t);
        EXPECT_FALSE(hashlink_used(&st->link));
        // Putting it back is refused.
        x->refused = hashtable_insert(x->t, &st->link) == nullptr && !hashlink_used(&st->link);
    };
    std::vector<station> s(300);
    auto t = make_mac_table(&cfg);
    c.t = t.get();
    c.s = &s;
    for (uint32_t i = 0; i < s.size(); i++) {
        set_mac(&s[i], i);
        hashtable_insert(t.get(), &s[i].link);
    }
    uint32_t size = t->size;
    hashtable_clear(t.get());
    EXPECT_EQ(c.calls, 300);
    EXPECT_TRUE(c.refused);
    EXPECT_TRUE(c.clearing_seen);
    EXPECT_FALSE(hashtable_clearing(t.get()));
    EXPECT_EQ(hashtable_count(t.get()), 0u);
    EXPECT_EQ(t->size, size);
    EXPECT_EQ(hashtable_first(t.get()), nullptr);
    EXPECT_EQ(hashtable_insert(t.get(), &s[0].link), nullptr);
    EXPECT_EQ(hashtable_count(t.get()), 1u);
}

TEST(HashTableDeathTest, LockMisuseIsFatal)
{
    auto t = make_mac_table();
    hashtable *tp = t.get();
    EXPECT_DEATH(__hashtable_unlock(&tp), "Assertion failed: \\(\\*tablep\\)->locked");
    __hashtable_lock(tp);
    EXPECT_TRUE(hashtable_islocked(tp));
    EXPECT_DEATH(__hashtable_lock(tp), "Assertion failed: !table->locked");
    __hashtable_unlock(&tp);
    EXPECT_FALSE(hashtable_islocked(tp));
}

// Random operations checked against std::unordered_map, with growth while a
// locked iteration is under way.
TEST(HashTable, DifferentialAgainstUnorderedMap)
{
    constexpr uint32_t keys = 6000;
    struct rec {
        uint8_t mac[6];
        hashlink link;
    };
    std::vector<std::array<rec, 2>> pool(keys);
    for (uint32_t k = 0; k < keys; k++)
        for (auto &r : pool[k]) {
            uint8_t m[6] = {0xaa, 0xbb, 0, uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)};
            memcpy(r.mac, m, 6);
            hashlink_init(&r.link);
        }
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.min_log2 = 2;
    cfg.max_log2 = 16;
    table_ptr t(nullptr, hashtable_destroy);
    std::unordered_map<uint32_t, rec *> model;
    auto reset = [&] {
        for (auto &[k, r] : model)
            hashlink_init(&r->link);
        model.clear();
        t.reset(hashtable_create(&rec::mac, &rec::link, &cfg));
        ASSERT_TRUE(t);
    };
    reset();
    auto check_all = [&] {
        ASSERT_EQ(hashtable_count(t.get()), model.size());
        for (uint32_t k = 0; k < keys; k++) {
            auto it = model.find(k);
            hashlink *l = hashtable_lookup(t.get(), pool[k][0].mac);
            ASSERT_EQ(l, it == model.end() ? nullptr : &it->second->link) << k;
        }
    };

    std::mt19937 rng(2024);
    uint32_t span = 64;  // live key range; widened over time to drive growth
    uint64_t grew_locked = 0;
    for (int op = 0; op < 1000000; op++) {
        uint32_t k = rng() % span;
        unsigned what = rng() % 1000;
        if (what < 400) {
            rec *r = model.count(k) && model[k] == &pool[k][0] ? &pool[k][1] : &pool[k][0];
            rec *prev = model.count(k) ? model[k] : nullptr;
            hashlink *got = hashtable_insert(t.get(), &r->link);
            ASSERT_EQ(got, prev ? &prev->link : nullptr);
            model[k] = r;
        } else if (what < 700) {
            hashlink *l = hashtable_lookup(t.get(), pool[k][0].mac);
            auto it = model.find(k);
            ASSERT_EQ(l, it == model.end() ? nullptr : &it->second->link);
        } else if (what < 995) {
            rec *r = &pool[k][rng() & 1];
            bool in = model.count(k) && model[k] == r;
            ASSERT_EQ(hashtable_remove(t.get(), &r->link), in ? 1 : 0);
            if (in)
                model.erase(k);
        } else if (what < 998) {
            // Locked iteration with inserts that may double the table mid-way.
            std::unordered_map<hashlink *, int> seen;
            std::set<uint32_t> added;
            hashtable *tp = t.get();
            __hashtable_lock(tp);
            uint32_t size_before = tp->size;
            for (hashlink *l = hashtable_first(tp); l; l = hashtable_next(tp, l)) {
                ASSERT_EQ(++seen[l], 1);
                if (rng() % 4 == 0) {
                    uint32_t nk = span + uint32_t(added.size());
                    if (nk < keys && !model.count(nk)) {
                        hashtable_insert(tp, &pool[nk][0].link);
                        model[nk] = &pool[nk][0];
                        added.insert(nk);
                    }
                }
            }
            grew_locked += tp->size != size_before;
            __hashtable_unlock(&tp);
            for (auto &[key, r] : model) {
                if (!added.count(key)) {
                    ASSERT_EQ(seen.count(&r->link), 1u) << key;
                }
            }
            ASSERT_EQ(seen.size() - [&] {
                size_t n = 0;
                for (uint32_t a : added)
                    n += seen.count(&model[a]->link);
                return n;
            }(), model.size() - added.size());
            span = std::min<uint32_t>(keys / 2, span + uint32_t(added.size()) + 16);
            check_all();
        } else if (what < 999) {
            for (auto &[key, r] : model)
                ASSERT_FALSE(!hashlink_used(&r->link));
            hashtable_clear(t.get());
            for (auto &[key, r] : model)
                ASSERT_FALSE(hashlink_used(&r->link));
            model.clear();
        } else if (rng() % 8 == 0) {
            reset();
            span = 64;
        }
    }
    check_all();
    EXPECT_GT(grew_locked, 0u);
}
