#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/multitable.h"

namespace {

struct flow {
    uint32_t id;
    uint8_t mac[6];
    cmultilink by_mac;
};

using mt_ptr = std::unique_ptr<multitable, decltype(&multitable_destroy)>;

mt_ptr make_table(const hashtable_config *cfg = nullptr)
{
    return mt_ptr(multitable_create(&flow::mac, &flow::by_mac, cfg), multitable_destroy);
}

void init_flow(flow *f, uint32_t id, uint8_t mac_last)
{
    f->id = id;
    const uint8_t mac[6] = {2, 0, 0, 0, 0, mac_last};
    memcpy(f->mac, mac, 6);
    cmultilink_init(&f->by_mac);
}

flow *F(const multilink *l)
{
    return multitable_entry(l, &flow::by_mac);
}

std::vector<uint32_t> ring_ids(multitable *t, const uint8_t *mac)
{
    std::vector<uint32_t> ids;
    multilink *first = multitable_lookup(t, mac);
    for (multilink *l = first; l; l = multitable_next(t, l)) {
        if (l != first && hashlink_used(&l->_hlink))
            break;
        ids.push_back(F(l)->id);
    }
    return ids;
}

int by_id_desc(const void *a, const void *b)
{
    uint32_t x = static_cast<const flow *>(a)->id, y = static_cast<const flow *>(b)->id;
    return (x < y) - (x > y);
}

} // namespace

TEST(MultiTable, InsertPutsFirstAppendPutsLastAndCountsFollow)
{
    flow f[6];
    auto t = make_table();
    for (uint32_t i = 0; i < 3; i++)
        init_flow(&f[i], i + 1, 1);
    for (uint32_t i = 3; i < 6; i++)
        init_flow(&f[i], i + 1, 2);
    EXPECT_EQ(cmultitable_insert(t.get(), &f[0].by_mac), 1u);
    EXPECT_EQ(cmultitable_insert(t.get(), &f[1].by_mac), 2u);
    EXPECT_EQ(cmultitable_insert(t.get(), &f[2].by_mac), 3u);
    EXPECT_EQ(ring_ids(t.get(), f[0].mac), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(cmultitable_append(t.get(), &f[3].by_mac), 1u);
    EXPECT_EQ(cmultitable_append(t.get(), &f[4].by_mac), 2u);
    EXPECT_EQ(cmultitable_append(t.get(), &f[5].by_mac), 3u);
    EXPECT_EQ(ring_ids(t.get(), f[3].mac), (std::vector<uint32_t>{4, 5, 6}));
    EXPECT_EQ(multitable_count(t.get()), 6u);
    EXPECT_EQ(hashtable_count(&t->table), 2u);
    EXPECT_EQ(f[3].by_mac._count, 3u);
    EXPECT_EQ(f[4].by_mac._count, 0u);

    // Removing a first record with followers hands its place to the next one.
    EXPECT_EQ(cmultitable_remove(t.get(), &f[3].by_mac), 2u);
    EXPECT_EQ(F(multitable_lookup(t.get(), f[3].mac)), &f[4]);
    EXPECT_EQ(f[4].by_mac._count, 2u);
    EXPECT_EQ(cmultitable_remove(t.get(), &f[5].by_mac), 1u);
    EXPECT_EQ(cmultitable_remove(t.get(), &f[4].by_mac), 0u);
    EXPECT_EQ(multitable_lookup(t.get(), f[3].mac), nullptr);
    EXPECT_EQ(multitable_count(t.get()), 3u);
    // A record in no table changes nothing.
    EXPECT_EQ(multitable_remove(t.get(), &f[4].by_mac.ml), 0);
    EXPECT_EQ(cmultitable_remove(t.get(), &f[4].by_mac), 0u);
    EXPECT_EQ(multitable_count(t.get()), 3u);

    // Plain insert returns the former first record.
    init_flow(&f[3], 4, 1);
    EXPECT_EQ(F(multitable_insert(t.get(), &f[3].by_mac.ml)), &f[2]);
    EXPECT_EQ(ring_ids(t.get(), f[0].mac), (std::vector<uint32_t>{4, 3, 2, 1}));
    EXPECT_EQ(F(multitable_find(t.get(), &f[0].by_mac.ml)), &f[3]);
}

TEST(MultiTable, NextWalksEachKeyThenTheNextKeyAndSortMovesTheCount)
{
    std::vector<flow> f(12);
    auto t = make_table();
    for (uint32_t i = 0; i < f.size(); i++) {
        init_flow(&f[i], i, uint8_t(i % 4));
        cmultitable_append(t.get(), &f[i].by_mac);
    }
    std::set<uint32_t> seen;
    int key_changes = 0;
    multilink *prev = nullptr;
    for (multilink *l = multitable_first(t.get()); l; l = multitable_next(t.get(), l)) {
        EXPECT_TRUE(seen.insert(F(l)->id).second);
        if (prev && memcmp(F(prev)->mac, F(l)->mac, 6) != 0) {
            key_changes++;
            EXPECT_EQ(multitable_next_key(t.get(), prev), l);
        }
        prev = l;
    }
    EXPECT_EQ(seen.size(), 12u);
    EXPECT_EQ(key_changes, 3);
    EXPECT_EQ(multitable_next_key(t.get(), prev), nullptr);

    cmultitable_sort(t.get(), by_id_desc);
    for (uint8_t k = 0; k < 4; k++) {
        const uint8_t mac[6] = {2, 0, 0, 0, 0, k};
        EXPECT_EQ(ring_ids(t.get(), mac), (std::vector<uint32_t>{8u + k, 4u + k, 0u + k}));
        EXPECT_EQ(cmultitable_count(reinterpret_cast<cmultilink *>(multitable_lookup(t.get(), mac))), 3u);
    }
    for (auto &x : f) {
        if (!hashlink_used(&x.by_mac.ml._hlink)) {
            EXPECT_EQ(x.by_mac._count, 0u);
        }
    }
}

TEST(MultiTable, ClearHandsBackEveryRecordOnceAndRefusesInserts)
{
    struct ctx {
        multitable *t;
        std::multiset<flow *> got;
        uint32_t count_during;
        bool refused = true;
    } c{};
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.extra = &c;
    cfg.clear = [](void *context, void *record) {
        auto *x = static_cast<ctx *>(context);
        auto *fl = static_cast<flow *>(record);
        x->got.insert(fl);
        EXPECT_FALSE(hashlink_used(&fl->by_mac.ml._hlink));
        EXPECT_TRUE(list_isempty(&fl->by_mac.ml._ring));
        x->refused &= multitable_insert(x->t, &fl->by_mac.ml) == nullptr &&
                      multitable_append(x->t, &fl->by_mac.ml) < 0 &&
                      !hashlink_used(&fl->by_mac.ml._hlink);
    };
    std::vector<flow> f(50);
    auto t = make_table(&cfg);
    c.t = t.get();
    for (uint32_t i = 0; i < f.size(); i++) {
        init_flow(&f[i], i, uint8_t(i % 7));
        cmultitable_insert(t.get(), &f[i].by_mac);
    }
    multitable_clear(t.get());
    EXPECT_EQ(c.got.size(), 50u);
    EXPECT_EQ(std::set<flow *>(c.got.begin(), c.got.end()).size(), 50u);
    EXPECT_TRUE(c.refused);
    EXPECT_EQ(multitable_count(t.get()), 0u);
    EXPECT_EQ(multitable_first(t.get()), nullptr);
}

// Random operations checked against std::unordered_multimap.
TEST(MultiTable, DifferentialAgainstUnorderedMultimap)
{
    constexpr uint32_t records = 3000, macs = 200;
    std::vector<flow> f(records);
    hashtable_config cfg = *hashtable_default_config(false);
    cfg.min_log2 = 2;
    auto t = make_table(&cfg);
    std::unordered_multimap<uint8_t, flow *> model;
    std::vector<bool> in(records);
    for (uint32_t i = 0; i < records; i++)
        init_flow(&f[i], i, uint8_t(i % macs));
    auto key_count = [&](uint8_t k) { return uint32_t(model.count(k)); };

    std::mt19937 rng(99);
    int walks_mid_growth = 0;
    for (int op = 0; op < 300000; op++) {
        uint32_t i = rng() % records;
        flow *x = &f[i];
        uint8_t k = x->mac[5];
        switch (rng() % 8) {
        case 0:
        case 1:
        case 2:
            if (in[i])
                break;
            ASSERT_EQ(rng() & 1 ? cmultitable_insert(t.get(), &x->by_mac)
                                : cmultitable_append(t.get(), &x->by_mac),
                      key_count(k) + 1);
            model.emplace(k, x);
            in[i] = true;
            break;
        case 3:
        case 4: {
            uint32_t left = cmultitable_remove(t.get(), &x->by_mac);
            bool was = in[i];
            if (was) {
                auto r = model.equal_range(k);
                model.erase(std::find_if(r.first, r.second, [&](auto &p) { return p.second == x; }));
                in[i] = false;
            }
            ASSERT_EQ(left, was ? key_count(k) : 0u);
            break;
        }
        case 5:
        case 6: {
            std::vector<uint32_t> ids = ring_ids(t.get(), x->mac), want;
            auto r = model.equal_range(k);
            for (auto it = r.first; it != r.second; ++it)
                want.push_back(it->second->id);
            std::sort(ids.begin(), ids.end());
            std::sort(want.begin(), want.end());
            ASSERT_EQ(ids, want);
            multilink *first = multitable_lookup(t.get(), x->mac);
            ASSERT_EQ(cmultitable_count(reinterpret_cast<cmultilink *>(first)), want.size());
            break;
        }
        default:
            if (rng() % 2000 == 0) {
                multitable_clear(t.get());
                model.clear();
                std::fill(in.begin(), in.end(), false);
            } else if (rng() % 50 == 0) {
                // Walking by bucket position, as a gathering walk does, visits
                // what the plain walk visits in the same order, mid-growth too.
                std::vector<multilink *> walk, by_position;
                for (multilink *l = multitable_first(t.get()); l; l = multitable_next(t.get(), l))
                    walk.push_back(l);
                for (uint32_t p = 0; p < multitable_positions(t.get()); p++)
                    for (multilink *first = multitable_at(t.get(), p); first;
                         first = multitable_bucket_next(first))
                        for (multilink *l = first; l; l = multitable_key_next(first, l))
                            by_position.push_back(l);
                ASSERT_EQ(walk.size(), model.size());
                ASSERT_EQ(by_position, walk);
                walks_mid_growth += t->table.old_buckets != nullptr;
            }
        }
        ASSERT_EQ(multitable_count(t.get()), model.size());
    }
    EXPECT_GT(walks_mid_growth, 0);
}
