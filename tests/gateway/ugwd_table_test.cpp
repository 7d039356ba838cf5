// The gateway tables against std::multimap models, and their edge cases.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "gateway/ugwd_table.h"

namespace {

struct table_deleter {
    void operator()(ugwd_table *t) const { ugwd_table_free(t); }
};
using table_ptr = std::unique_ptr<ugwd_table, table_deleter>;

ugwd_sockaddr v4(uint32_t addr, uint16_t port)
{
    ugwd_sockaddr a{};
    a.sin.sin_family = AF_INET;
    a.sin.sin_addr.s_addr = htonl(addr);
    a.sin.sin_port = htons(port);
    return a;
}

using key6 = std::array<uint8_t, 6>;
using key16 = std::array<uint8_t, 16>;

TEST(UgwdTable, FlowModel)
{
    table_ptr t(ugwd_table_create());
    ASSERT_TRUE(t);
    std::mt19937 rng(7);
    ugwd_vap vap{};
    constexpr int N = 400;
    std::vector<ugwd_flow> flows(N);
    std::vector<bool> in(N, false);
    std::multimap<key6, int> by_mac, by_bssid;
    std::multimap<key16, int> by_uuid;
    std::multimap<uint32_t, int> by_port;
    auto erase = [](auto &m, auto k, int i) {
        for (auto it = m.lower_bound(k); it != m.upper_bound(k); ++it)
            if (it->second == i) {
                m.erase(it);
                return;
            }
    };
    for (int i = 0; i < N; i++) {
        ugwd_flow &f = flows[i];
        ugwd_flow_links_init(&f);
        f.mac[5] = static_cast<uint8_t>(rng() % 16); // shared MACs
        f.bssid[5] = static_cast<uint8_t>(rng() % 8);
        f.uuid[0] = static_cast<uint8_t>(rng() % 4);
        memcpy(f.id.a, &i, sizeof i);
        f.port = rng() % 3; // 0: on no port index
        f.process = rng() % 2;
        if (i % 3) {
            f.vap = &vap;
        } else {
            f.peer = v4(0x0a000001 + f.bssid[5], 4789);
        }
    }
    for (int step = 0; step < 20000; step++) {
        int i = static_cast<int>(rng() % N);
        ugwd_flow &f = flows[i];
        key6 mac, bssid;
        key16 uuid;
        memcpy(mac.data(), f.mac, 6);
        memcpy(bssid.data(), f.bssid, 6);
        memcpy(uuid.data(), f.uuid, 16);
        if (!in[i]) {
            ugwd_flow *holder = f.vap ? ugwd_table_get_flow_by_bssid_mac(t.get(), f.bssid, f.mac)
                                      : ugwd_table_get_flow_by_addr_mac(t.get(), &f.peer.sa, f.mac);
            if (holder) {
                // The unique key is held: refused, and the flow stays on no index.
                ASSERT_EQ(ugwd_table_insert_flow(t.get(), &f), -1);
                ASSERT_EQ(ugwd_table_get_flow_by_id(t.get(), &f.id), nullptr);
                ASSERT_FALSE(cmultilink_used(&f.by_mac));
                continue;
            }
            ASSERT_EQ(ugwd_table_insert_flow(t.get(), &f), 0);
            in[i] = true;
            by_mac.emplace(mac, i);
            by_uuid.emplace(uuid, i);
            if (f.vap)
                by_bssid.emplace(bssid, i);
            if (f.port)
                by_port.emplace(f.port, i);
        } else {
            ugwd_table_remove_flow(t.get(), &f);
            ugwd_table_remove_flow(t.get(), &f); // removal twice is harmless
            in[i] = false;
            erase(by_mac, mac, i);
            erase(by_uuid, uuid, i);
            if (f.vap)
                erase(by_bssid, bssid, i);
            if (f.port)
                erase(by_port, f.port, i);
        }
        // Lookups of every kind against the models.
        ASSERT_EQ(ugwd_table_count_flows_by_mac(t.get(), f.mac), by_mac.count(mac));
        ASSERT_EQ(ugwd_table_count_flows_by_uuid(t.get(), f.uuid), by_uuid.count(uuid));
        ASSERT_EQ(ugwd_table_count_flows_by_bssid(t.get(), f.bssid), by_bssid.count(bssid));
        ASSERT_EQ(ugwd_table_get_flow_by_id(t.get(), &f.id), in[i] ? &f : nullptr);
        ugwd_flow *first = ugwd_table_first_flow_by_mac(t.get(), f.mac);
        ASSERT_EQ(first != nullptr, by_mac.count(mac) > 0);
        if (first) {
            ASSERT_EQ(memcmp(first->mac, f.mac, 6), 0);
        }
        ugwd_flow *fp = ugwd_table_first_flow_by_port(t.get(), 1);
        ASSERT_EQ(fp != nullptr, by_port.count(1) > 0);
        size_t total = 0;
        for (bool b : in)
            total += b;
        ASSERT_EQ(ugwd_table_count_flows(t.get()), total);
        // Ethernet flows are never found by BSSID, 802.11 flows never by address.
        if (!f.vap && in[i]) {
            ASSERT_EQ(ugwd_table_get_flow_by_addr_mac(t.get(), &f.peer.sa, f.mac), &f);
            ASSERT_NE(ugwd_table_get_flow_by_bssid_mac(t.get(), f.bssid, f.mac), &f);
        }
    }
    for (int i = 0; i < N; i++)
        if (in[i])
            ugwd_table_remove_flow(t.get(), &flows[i]);
    EXPECT_EQ(ugwd_table_count_flows(t.get()), 0u);
}

// Unique-key collisions: uuid/bssid made distinct, so a refused insert is a fault.
TEST(UgwdTable, RefusedInsertLeavesNothingIndexed)
{
    table_ptr t(ugwd_table_create());
    ugwd_vap a{}, b{};
    ugwd_vap_links_init(&a);
    ugwd_vap_links_init(&b);
    a.bssid[0] = b.bssid[0] = 1;
    b.id.a[0] = 9; // another id, same UUID and BSSID
    ASSERT_EQ(ugwd_table_insert_vap(t.get(), &a), 0);
    EXPECT_EQ(ugwd_table_insert_vap(t.get(), &b), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ugwd_table_count_vaps_by_uuid(t.get(), a.uuid), 1u);
    EXPECT_EQ(ugwd_table_get_vap_by_id(t.get(), &b.id), nullptr);
    EXPECT_EQ(ugwd_table_insert_vap(t.get(), &a), -1); // already indexed
    // An index locked for a walk refuses too.
    ugwd_table_remove_vap(t.get(), &a);
    __hashtable_lock(t->ix.vap_by_id);
    EXPECT_EQ(ugwd_table_insert_vap(t.get(), &a), -1);
    EXPECT_EQ(errno, EBUSY);
    hashtable *h = t->ix.vap_by_id;
    __hashtable_unlock(&h);
    EXPECT_EQ(ugwd_table_count_vaps(t.get()), 0u);
}

TEST(UgwdTable, PortChangedWhileIndexedStillLeaves)
{
    table_ptr t(ugwd_table_create());
    ugwd_vap vap{};
    ugwd_flow f{};
    ugwd_flow_links_init(&f);
    f.vap = &vap;
    f.port = 7;
    ASSERT_EQ(ugwd_table_insert_flow(t.get(), &f), 0);
    f.port = 0; // a caller's mistake must not leave a dangling link
    ugwd_table_remove_flow(t.get(), &f);
    EXPECT_EQ(ugwd_table_first_flow_by_port(t.get(), 7), nullptr);
    EXPECT_FALSE(cmultilink_used(&f.by_port));
}

TEST(UgwdTable, AssocReturnsShadowedFlow)
{
    table_ptr t(ugwd_table_create());
    ugwd_flow a{}, b{};
    ugwd_flow_links_init(&a);
    ugwd_flow_links_init(&b);
    a.mac[0] = b.mac[0] = 2;
    EXPECT_EQ(ugwd_table_insert_flow_assoc(t.get(), &a), nullptr);
    EXPECT_EQ(ugwd_table_insert_flow_assoc(t.get(), &a), nullptr);
    EXPECT_EQ(ugwd_table_insert_flow_assoc(t.get(), &b), &a);
    EXPECT_EQ(ugwd_table_get_assoc_flow(t.get(), a.mac), &b);
    ugwd_table_remove_flow_assoc(t.get(), &a);
    ugwd_table_remove_flow_assoc(t.get(), &b);
    EXPECT_EQ(ugwd_table_get_assoc_flow(t.get(), a.mac), nullptr);
}

TEST(UgwdTable, AddressKeys)
{
    uint8_t k1[UGWD_ADDR_KEY_LEN], k2[UGWD_ADDR_KEY_LEN];
    ugwd_sockaddr a = v4(0x01020304, 80), b = v4(0x01020304, 81);
    ugwd_addr_key(k1, &a.sa);
    ugwd_addr_key(k2, &b.sa);
    EXPECT_NE(memcmp(k1, k2, sizeof k1), 0);
    EXPECT_EQ(k1[16], AF_INET);
    EXPECT_EQ(k1[17], 0);
    EXPECT_EQ(k1[18], 80);
    ugwd_sockaddr m{};
    m.sin6.sin6_family = AF_INET6;
    m.sin6.sin6_port = htons(80);
    inet_pton(AF_INET6, "::ffff:1.2.3.4", &m.sin6.sin6_addr);
    ugwd_addr_key(k2, &m.sa);
    EXPECT_NE(memcmp(k1, k2, sizeof k1), 0);
    ugwd_sockaddr other{};
    other.sa.sa_family = AF_UNIX;
    ugwd_addr_key(k2, &other.sa);
    uint8_t only[UGWD_ADDR_KEY_LEN] = {};
    only[16] = AF_UNIX;
    EXPECT_EQ(memcmp(k2, only, sizeof only), 0);
}

TEST(UgwdTable, MembershipsAndServices)
{
    table_ptr t(ugwd_table_create());
    ugwd_group eth{}, wifi{};
    ugwd_group_links_init(&eth);
    ugwd_group_links_init(&wifi);
    eth.peer = v4(0x0a000002, 6081);
    eth.mac[0] = 1;
    wifi.bssid[0] = 5;
    wifi.mac[0] = 2;
    ASSERT_EQ(ugwd_table_insert_group(t.get(), &eth), 0);
    ASSERT_EQ(ugwd_table_insert_group(t.get(), &wifi), 0);
    EXPECT_EQ(ugwd_table_get_group_by_uuid_addr(t.get(), eth.uuid, &eth.peer.sa), &eth);
    EXPECT_EQ(ugwd_table_get_group_by_uuid_bssid(t.get(), wifi.uuid, wifi.bssid), &wifi);
    EXPECT_EQ(ugwd_table_get_group_by_uuid_bssid(t.get(), eth.uuid, eth.bssid), nullptr);
    EXPECT_EQ(ugwd_table_count_groups_by_uuid(t.get(), eth.uuid), 2u);
    ugwd_table_remove_group(t.get(), &eth);
    ugwd_table_remove_group(t.get(), &wifi);
    EXPECT_EQ(ugwd_table_count_groups(t.get()), 0u);

    ugwd_service s{};
    ugwd_service_dev devs[2];
    uint32_t ifx[2] = {3, 4};
    s.dev = devs;
    s.ifindex = ifx;
    s.ndev = 2;
    devs[0].service = devs[1].service = &s;
    ugwd_service_links_init(&s);
    ASSERT_EQ(ugwd_table_insert_service(t.get(), &s), 0);
    EXPECT_EQ(ugwd_table_get_service_dev(t.get(), 4), &devs[1]);
    EXPECT_EQ(ugwd_table_get_service_by_vni(t.get(), 0), &s);
    ugwd_table_remove_service(t.get(), &s);
    EXPECT_EQ(ugwd_table_get_service_dev(t.get(), 3), nullptr);
}

} // namespace
