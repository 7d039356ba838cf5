// A flow's address records and group memberships, on a gateway object with
// one service, one tunnel and one unbound flow: record creation and
// deletion, the address sweep, SLAAC prefixes, memberships and their sweep,
// and the query frames checked against a checksum written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/timer.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "tests/gateway/ctl_fixture.h"

namespace
{

using ctl_test::logged;

const uint8_t station[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

std::vector<uint8_t> ip6(const char *text)
{
    std::vector<uint8_t> a(16);
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

// RFC 1071, written out: the oracle of the query checksums.
uint16_t fold(const std::vector<uint8_t> &b)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        s += uint32_t(b[i]) << 8 | b[i + 1];
    if (b.size() % 2) s += uint32_t(b.back()) << 8;
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(s);
}

class Records : public ctl_test::Gateway
{
  protected:
    ugwd_service *svc = nullptr;
    ugwd_tunnel *tn = nullptr;
    ugwd_flow *flow = nullptr;

    void SetUp() override
    {
        Gateway::SetUp();
        std::vector<uint8_t> m(2048);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        c.mib.ulmexServiceId[0] = 0x5e;
        c.mib.ulmexServiceId[15] = 1;
        c.mib.ulmexServiceVNI = 7;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        c.mib.mode = 0x10;
        c.mib.query_interval = 125;
        c.mib.membership_timeout = 260;
        memcpy(m.data() + 8, &c, sizeof(c));
        size_t len = ctl_msg_size(m.data(), m.size());
        ASSERT_EQ(ugwd_ctl_dispatch(ctl, m.data(), len, m.size(), 1), 1300);
        svc = ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
        ASSERT_NE(svc, nullptr);
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4789);
        peer.sin_addr.s_addr = htonl(0x0a000001);
        tn = ugwd_service_create_tunnel(svc, UGWD_TRANSPORT_VXLAN,
                                        reinterpret_cast<sockaddr *>(&peer));
        ASSERT_NE(tn, nullptr);
        ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tn), 0);
        flow = ugwd_ctl_create_flow(ctl, nullptr, tn, station);
        ASSERT_NE(flow, nullptr);
        log_config.level = 3;
        ctl_test::log_clear();
    }

    ugwd_lease *lease(uint8_t last, uint32_t age, uint32_t duration)
    {
        ugwd_lease *l = ugwd_lease_create(flow);
        EXPECT_NE(l, nullptr);
        l->rec.addr[0] = 10, l->rec.addr[3] = last;
        l->rec.start = clock_sec() - age;
        l->rec.lease_time = duration;
        return l;
    }
    ugwd_lease6 *lease6(uint8_t kind, const char *addr, uint32_t age, uint32_t valid)
    {
        ugwd_prefix p = {};
        p.kind = kind;
        p.prefix_len = kind == UGWD_LEASE6_DHCPV6 ? 128 : 64;
        p.valid_lifetime = valid;
        p.last = clock_sec() - age;
        ugwd_lease6 *l = ugwd_lease6_create(flow, &p, ip6(addr).data());
        EXPECT_NE(l, nullptr);
        return l;
    }
    std::vector<std::string> addrs6()
    {
        std::vector<std::string> out;
        for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&flow->leases6)) {
            char t[INET6_ADDRSTRLEN];
            out.push_back(inet_ntop(AF_INET6, l->rec.addr, t, sizeof(t)));
        }
        return out;
    }
    std::vector<uint8_t> pio(const char *prefix, uint32_t valid, uint8_t len = 64)
    {
        std::vector<uint8_t> o(32);
        o[0] = 3, o[1] = 4, o[2] = len, o[3] = 0xc0;
        uint32_t v = htonl(valid);
        memcpy(&o[4], &v, 4);
        auto p = ip6(prefix);
        std::copy(p.begin(), p.end(), o.begin() + 16);
        return o;
    }
};

TEST_F(Records, CreatedRecordsCarryTheFlowAndLeaveCleanly)
{
    ugwd_lease *l = ugwd_lease_create(flow);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(memcmp(l->rec.uuid, flow->uuid, 16), 0);
    EXPECT_EQ(memcmp(l->rec.mac, station, 6), 0);
    EXPECT_EQ(l->rec.max_msg_size, 576u);
    EXPECT_EQ(logged("Created DHCP record for client 02:11:22:33:44:55 on service "
                     "5e000000-0000-0000-0000-000000000001"),
              1u);
    l->rec.flags = 0xff;
    l->rec.addr[0] = 10;
    l->rec.lease_time = 60;
    l->rec.max_msg_size = 1500;
    ugwd_lease_reset(&l->rec);
    EXPECT_EQ(l->rec.flags, 0x81);
    EXPECT_EQ(l->rec.addr[0], 0);
    EXPECT_EQ(l->rec.max_msg_size, 576u);

    ugwd_lease6 *l6 = lease6(UGWD_LEASE6_SLAAC, "2001:db8::5", 0, 3600);
    EXPECT_EQ(logged("Created IPv6 SLAAC record 2001:db8::5/64"), 1u);
    EXPECT_EQ(l6->rec.valid_lifetime, 3600u);
    ugwd_ctl_remove_lease(ctl, l);
    ugwd_ctl_remove_lease6(ctl, l6);
    EXPECT_TRUE(list_isempty(&flow->leases));
    EXPECT_TRUE(list_isempty(&flow->leases6));
    EXPECT_EQ(logged("Deleted DHCP record for client 02:11:22:33:44:55"), 1u);
    EXPECT_EQ(logged("Deleted IPv6 SLAAC record 2001:db8::5/64"), 1u);
    ugwd_service_delete_lease(ctl, nullptr);
    ugwd_service_delete_lease6(ctl, nullptr);
}

TEST_F(Records, SweepExpiresAtTheLifetimeAndKeepsLinkLocal)
{
    struct {
        uint32_t age, duration;
        bool kept;
    } dhcp[] = {{99, 100, true}, {100, 100, false}, {5000, 100, false}};
    for (auto c : dhcp) {
        lease(5, c.age, c.duration);
        ugwd_lease6 *ll = lease6(UGWD_LEASE6_LINK_LOCAL, "fe80::1", c.age + 1000000, 0);
        ugwd_lease6 *sl = lease6(UGWD_LEASE6_SLAAC, "2001:db8::1", c.age, c.duration);
        EXPECT_EQ(ugwd_ctl_expire_addresses(flow) > 0, true);
        EXPECT_EQ(!list_isempty(&flow->leases), c.kept) << c.age;
        EXPECT_EQ(addrs6().size(), c.kept ? 2u : 1u) << c.age;
        EXPECT_EQ(ll->rec.kind, UGWD_LEASE6_LINK_LOCAL);
        // Kept records are found by the table.
        EXPECT_EQ(ugwd_table_get_lease(ctl->table, flow->uuid, station) != nullptr, c.kept);
        EXPECT_EQ(ugwd_ctl_find_lease6_by_ip6(ctl, ip6("fe80::1").data()), ll);
        if (c.kept) {
            EXPECT_EQ(ugwd_ctl_find_lease6_by_ip6(ctl, ip6("2001:db8::1").data()), sl);
            // Nothing changed: nothing counted.
            EXPECT_EQ(ugwd_ctl_expire_addresses(flow), 0);
        }
        for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&flow->leases))
            ugwd_ctl_remove_lease(ctl, l);
        for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&flow->leases6))
            ugwd_ctl_remove_lease6(ctl, l);
    }
    EXPECT_EQ(logged("lease 10.0.0.5 expired"), 2u);
    EXPECT_EQ(logged("IPv6 SLAAC record 2001:db8::1/64 expired"), 2u);
}

TEST_F(Records, SweepKeepsOneDhcpAndEightIpv6OneOfEachKindFirst)
{
    lease(1, 0, 100);
    lease(2, 0, 900); // lives longest: stays
    lease(3, 0, 50);
    // Ten SLAAC records of one /64 with growing lifetimes, then one each of
    // the other kinds with short ones and a SLAAC record of another /64.
    for (int i = 0; i < 10; i++) {
        char a[32];
        snprintf(a, sizeof(a), "2001:db8::%x", i + 1);
        lease6(UGWD_LEASE6_SLAAC, a, 0, 1000 + i);
    }
    lease6(UGWD_LEASE6_DHCPV6, "2001:db8:1::9", 0, 10);
    lease6(UGWD_LEASE6_LINK_LOCAL, "fe80::9", 0, 0);
    lease6(UGWD_LEASE6_SLAAC, "2001:db8:2::1", 0, 20);
    EXPECT_GT(ugwd_ctl_expire_addresses(flow), 0);
    ASSERT_FALSE(list_isempty(&flow->leases));
    auto *l = list_first_record<&ugwd_lease::link>(&flow->leases);
    EXPECT_EQ(l->rec.addr[3], 2);
    EXPECT_EQ(l->link._next, &flow->leases);
    // Link-local, the longest SLAAC, DHCPv6, the other /64 before the
    // passed-over SLAAC records of a /64 already kept, then those by expiry.
    EXPECT_EQ(addrs6(), (std::vector<std::string>{"fe80::9", "2001:db8::a", "2001:db8:1::9",
                                                  "2001:db8:2::1", "2001:db8::9", "2001:db8::8",
                                                  "2001:db8::7", "2001:db8::6"}));
    EXPECT_EQ(ugwd_table_count_leases6_by_uuid_mac(ctl->table, flow->uuid, station), 8u);
}

TEST_F(Records, StoredLeasesTimeOutOnePerSweep)
{
    for (uint8_t i = 1; i <= 3; i++) {
        ugwd_lease *l = lease(i, 100, 100);
        list_remove(&l->link);
        list_append(&ctl->leases, &l->link);
    }
    ugwd_lease *running = lease(9, 0, 100);
    list_remove(&running->link);
    list_append(&ctl->leases, &running->link);
    ugwd_lease6 *l6 = lease6(UGWD_LEASE6_DHCPV6, "2001:db8::7", 100, 100);
    list_remove(&l6->link);
    list_append(&ctl->leases6, &l6->link);
    auto stored = [&] {
        size_t n = 0;
        for ([[maybe_unused]] ugwd_lease *l : list_records<&ugwd_lease::link>(&ctl->leases))
            n++;
        return n;
    };
    ugwd_ctl_expire_addresses(flow);
    EXPECT_EQ(stored(), 3u);
    EXPECT_TRUE(list_isempty(&ctl->leases6));
    EXPECT_EQ(logged("lease 10.0.0.1 timed out"), 1u);
    EXPECT_EQ(logged("IPv6 DHCPv6 record 2001:db8::7/128 timed out"), 1u);
    ugwd_ctl_expire_addresses(flow);
    ugwd_ctl_expire_addresses(flow);
    EXPECT_EQ(stored(), 1u);
    // The running one goes round and stays.
    ugwd_ctl_expire_addresses(flow);
    EXPECT_EQ(stored(), 1u);
    EXPECT_EQ(list_first_record<&ugwd_lease::link>(&ctl->leases), running);
}

TEST_F(Records, PrefixesAreLearntRefreshedReplacedAndExpired)
{
    list_link *list = &tn->prefixes;
    ugwd_prefix_update(svc, list, pio("2001:db8::", 86400).data());
    ugwd_prefix_update(svc, list, pio("2001:db8::", 86400).data());
    ASSERT_FALSE(list_isempty(list));
    auto *p = list_first_record<&ugwd_prefix::link>(list);
    EXPECT_EQ(p->link._next, list);
    EXPECT_EQ(logged("New IPv6 SLAAC prefix 2001:db8::/64 on service"), 1u);
    EXPECT_EQ(logged("Update IPv6 SLAAC prefix"), 0u);
    ugwd_prefix_update(svc, list, pio("2001:db8::", 3600).data());
    EXPECT_EQ(p->valid_lifetime, 3600u);
    EXPECT_EQ(logged("Update IPv6 SLAAC prefix 2001:db8::/64 on service "
                     "5e000000-0000-0000-0000-000000000001 valid for 3600s"),
              1u);

    // Lookup by covering prefix, in list order; length 0 covers all.
    struct {
        const char *addr;
        bool found;
    } lookups[] = {
        {"2001:db8::1", true}, {"2001:db8:0:0:ffff::1", true}, {"2001:db8:0:1::1", false}};
    for (auto c : lookups)
        EXPECT_EQ(ugwd_prefix_lookup(list, ip6(c.addr).data()) != nullptr, c.found) << c.addr;
    EXPECT_EQ(ugwd_prefix_lookup(list, ip6("2001:db8::1").data()), p);
    list_link dhcp;
    list_init(&dhcp);
    ugwd_prefix any = ugwd_prefix_dhcpv6;
    list_append(&dhcp, &any.link);
    EXPECT_EQ(ugwd_prefix_lookup(&dhcp, ip6("::1").data()), &any);

    // A ninth prefix takes the place of the one announced longest ago.
    p->last -= 50;
    for (int i = 1; i <= 8; i++)
        ugwd_prefix_update(svc, list,
                           pio(("2001:db8:" + std::to_string(i) + "::").c_str(), 600).data());
    EXPECT_EQ(ugwd_prefix_lookup(list, ip6("2001:db8::1").data()), nullptr);
    EXPECT_NE(ugwd_prefix_lookup(list, ip6("2001:db8:8::1").data()), nullptr);
    size_t n = 0;
    for (ugwd_prefix *q : list_records<&ugwd_prefix::link>(list)) {
        n++;
        if (n <= 3) q->last = clock_sec() - 600; // run out
    }
    EXPECT_EQ(n, 8u);
    ugwd_prefix_expire(ctl, list, 0);
    EXPECT_EQ(logged("Timeout IPv6 SLAAC prefix"), 3u);
    ugwd_prefix_expire(ctl, list, UINT32_MAX);
    EXPECT_TRUE(list_isempty(list));
    EXPECT_EQ(logged("Timeout IPv6 SLAAC prefix"), 8u);
}

// A SLAAC record follows its prefix's announcements, also when the router
// repeats the same lifetime.
TEST_F(Records, SlaacRecordsRenewWithTheirPrefix)
{
    ugwd_prefix_update(svc, &tn->prefixes, pio("2001:db8::", 1800).data());
    auto *p = list_first_record<&ugwd_prefix::link>(&tn->prefixes);
    ugwd_lease6 *l = lease6(UGWD_LEASE6_SLAAC, "2001:db8::42", 1000, 1800);
    ugwd_lease6_renew_slaac(flow, l);
    EXPECT_EQ(l->rec.start, p->last);
    EXPECT_EQ(logged("Renewed IPv6 SLAAC record 2001:db8::42/64 valid for 1800s"), 1u);
    ugwd_lease6_renew_slaac(flow, l); // nothing new announced
    EXPECT_EQ(logged("Renewed IPv6 SLAAC record"), 1u);
    ugwd_lease6 *other = lease6(UGWD_LEASE6_SLAAC, "2001:db9::1", 1000, 1800);
    uint32_t start = other->rec.start;
    ugwd_lease6_renew_slaac(flow, other);
    EXPECT_EQ(other->rec.start, start);
    // The sweep renews before it judges: an old record of a live prefix
    // stays, one without a prefix runs out.
    l->rec.start = clock_sec() - 5000;
    other->rec.start = clock_sec() - 5000;
    ugwd_ctl_expire_addresses(flow);
    EXPECT_EQ(addrs6(), (std::vector<std::string>{"2001:db8::42"}));
}

TEST(RecordOrder, ExpiryComparatorAndMacRemoval)
{
    struct {
        uint32_t a, b;
        int sign;
    } cases[] = {{5, 5, 0}, {0, 7, -1}, {7, 0, 1}, {9, 3, -1}, {3, 9, 1}, {0xffffffff, 1, -1}};
    for (auto c : cases) {
        int r = ugwd_ctl_cmp_expiry(&c.a, &c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " " << c.b;
        r = ugwd_ctl_cmp_expiry6(&c.b, &c.a);
        EXPECT_EQ((r > 0) - (r < 0), -c.sign);
    }

    std::mt19937 rng(7);
    std::set<std::vector<uint8_t>> oracle;
    Ary macs;
    array_init(&macs, 6);
    for (int i = 0; i < 2000; i++) {
        std::vector<uint8_t> m(6);
        for (auto &b : m)
            b = static_cast<uint8_t>(rng() % 4); // many duplicates
        oracle.insert(m);
        ASSERT_EQ(ugwd_ctl_insert_mac(&macs, m.data()), 0);
    }
    ASSERT_EQ(array_length(&macs), oracle.size());
    for (int i = 0; i < 3000; i++) {
        std::vector<uint8_t> m(6);
        for (auto &b : m)
            b = static_cast<uint8_t>(rng() % 4);
        bool held = oracle.erase(m) == 1;
        EXPECT_EQ(ugwd_ctl_remove_mac(&macs, m.data()) != nullptr, held);
    }
    ASSERT_EQ(array_length(&macs), oracle.size());
    uint32_t i = 0;
    for (const auto &m : oracle)
        EXPECT_EQ(memcmp(array_at<uint8_t>(&macs, i++), m.data(), 6), 0);
    array_purge(&macs);
}

TEST_F(Records, MembershipsJoinLeaveAndSweep)
{
    struct {
        const char *group;
        uint8_t ether[6];
    } v4[] = {{"239.1.1.1", {0x01, 0x00, 0x5e, 0x01, 0x01, 0x01}},
              {"239.129.1.1", {0x01, 0x00, 0x5e, 0x01, 0x01, 0x01}},
              {"224.0.0.251", {0x01, 0x00, 0x5e, 0x00, 0x00, 0xfb}}};
    for (auto c : v4) {
        uint8_t g[4];
        inet_pton(AF_INET, c.group, g);
        ASSERT_EQ(ugwd_flow_join_group(flow, g), 0);
        auto *m = container_of(flow->groups._prev, &ugwd_group::link);
        EXPECT_EQ(memcmp(m->ether, c.ether, 6), 0) << c.group;
        EXPECT_EQ(m->timeout, 260u);
        EXPECT_EQ(memcmp(m->mac, station, 6), 0);
    }
    EXPECT_EQ(
        logged("Created IP multicast group membership 239.129.1.1 for client 02:11:22:33:44:55"),
        1u);
    auto g6 = ip6("ff02::1:ff00:1234");
    ASSERT_EQ(ugwd_flow_join_group6(flow, g6.data()), 0);
    ASSERT_EQ(ugwd_flow_join_group6(flow, g6.data()), 0); // refresh, not a second one
    auto *m6 = list_first_record<&ugwd_group6::link>(&flow->groups6);
    EXPECT_EQ(m6->link._next, &flow->groups6);
    const uint8_t e6[6] = {0x33, 0x33, 0xff, 0x00, 0x12, 0x34};
    EXPECT_EQ(memcmp(m6->ether, e6, 6), 0);

    // New memberships enter the indexes at the first sweep.
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 0u);
    EXPECT_EQ(ugwd_ctl_expire_groups(flow), 4);
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 3u);
    EXPECT_EQ(ugwd_table_count_groups6(ctl->table), 1u);
    EXPECT_EQ(ugwd_ctl_expire_groups(flow), 0);

    uint8_t g[4] = {239, 1, 1, 1}, unknown[4] = {239, 9, 9, 9};
    EXPECT_EQ(ugwd_flow_leave_group(flow, g), 0);
    EXPECT_EQ(ugwd_flow_leave_group(flow, unknown), -1);
    EXPECT_EQ(ugwd_flow_leave_group6(flow, ip6("ff02::2").data()), -1);
    EXPECT_EQ(ugwd_ctl_expire_groups(flow), 1);
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 2u);
    EXPECT_EQ(
        logged("Deleted IP multicast group membership 239.1.1.1 for client 02:11:22:33:44:55"), 1u);

    // Age and first expiry drive the housekeeping delay.
    list_first_record<&ugwd_group::link>(&flow->groups)->last_report -= 200;
    uint32_t oldest, first;
    ugwd_ctl_group_ages(flow, &oldest, &first);
    EXPECT_EQ(oldest, 200u);
    EXPECT_EQ(first, 60u);
    list_first_record<&ugwd_group::link>(&flow->groups)->last_report -= 60;
    EXPECT_EQ(ugwd_ctl_expire_groups(flow), 1);

    ugwd_ctl_delete_groups(flow);
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 0u);
    EXPECT_EQ(ugwd_table_count_groups6(ctl->table), 0u);
    EXPECT_TRUE(list_isempty(&flow->groups6));
}

TEST_F(Records, MembershipsPerFlowAreCapped)
{
    for (uint32_t i = 0; i < UGWD_FLOW_MAX_GROUPS; i++) {
        uint8_t g[4] = {239, 2, uint8_t(i >> 8), uint8_t(i)};
        ASSERT_EQ(ugwd_flow_join_group(flow, g), 0);
        auto g6 = ip6("ff05::1");
        g6[14] = uint8_t(i >> 8), g6[15] = uint8_t(i);
        ASSERT_EQ(ugwd_flow_join_group6(flow, g6.data()), 0);
    }
    uint8_t more[4] = {239, 3, 0, 0};
    EXPECT_EQ(ugwd_flow_join_group(flow, more), -1);
    EXPECT_EQ(ugwd_flow_join_group6(flow, ip6("ff05::2:0").data()), -1);
    EXPECT_EQ(logged("Ignoring multicast group membership for client 02:11:22:33:44:55"), 2u);
    uint8_t again[4] = {239, 2, 0, 5};
    EXPECT_EQ(ugwd_flow_join_group(flow, again), 0); // a refresh still counts
    EXPECT_EQ(ugwd_ctl_expire_groups(flow), int(2 * UGWD_FLOW_MAX_GROUPS));
}

TEST_F(Records, QueryFramesCheckOut)
{
    const uint8_t src[6] = {0x00, 0x16, 0x3e, 0xaa, 0xbb, 0xcc};
    packet *p = ugwd_igmp_query_frame(ctl->packet_pool, src, station);
    ASSERT_NE(p, nullptr);
    std::vector<uint8_t> f(p->data, p->data + p->length);
    packet_release(p);
    ASSERT_EQ(f.size(), 46u);
    EXPECT_EQ(memcmp(f.data(), station, 6), 0);
    EXPECT_EQ(memcmp(f.data() + 6, src, 6), 0);
    EXPECT_EQ(fold({f.begin() + 14, f.begin() + 34}), 0xffff); // IPv4 header
    EXPECT_EQ(fold({f.begin() + 34, f.end()}), 0xffff);        // IGMP
    EXPECT_EQ(f[22], 1);                                       // TTL
    EXPECT_EQ(f[34], 0x11);

    p = ugwd_mld_query_frame(ctl->packet_pool, src, station);
    ASSERT_NE(p, nullptr);
    f.assign(p->data, p->data + p->length);
    packet_release(p);
    ASSERT_EQ(f.size(), 90u);
    EXPECT_EQ(f[14 + 7], 1);  // hop limit
    EXPECT_EQ(f[14 + 6], 0);  // hop-by-hop options first
    EXPECT_EQ(f[14 + 5], 36); // payload
    const uint8_t ra[6] = {58, 0, 0x05, 0x02, 0x00, 0x00};
    EXPECT_EQ(memcmp(&f[54], ra, 6), 0);
    auto ll = ip6("fe80::216:3eff:feaa:bbcc");
    EXPECT_TRUE(std::equal(ll.begin(), ll.end(), f.begin() + 22));
    auto all = ip6("ff02::1");
    EXPECT_TRUE(std::equal(all.begin(), all.end(), f.begin() + 38));
    // Pseudo-header: source, destination, length 28, next header 58.
    std::vector<uint8_t> sum(f.begin() + 22, f.begin() + 54);
    sum.insert(sum.end(), {0, 0, 0, 28, 0, 0, 0, 58});
    sum.insert(sum.end(), f.begin() + 62, f.end());
    EXPECT_EQ(fold(sum), 0xffff);
    EXPECT_EQ(f[62], 130);

    // An Ethernet flow's queries come from its tunnel interface.
    p = ugwd_service_mld_query(flow);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memcmp(p->data + 6, svc->devs[tn->slot].hwaddr, 6), 0);
    packet_release(p);
}

} // namespace

namespace
{

void no_op(timer *) {}

// The housekeeping delay, read against a timer armed for now.
uint32_t delay_ms(ugwd_ctl *ctl, ugwd_flow *f)
{
    ugwd_ctl_schedule_flow_timer(f);
    timer ref = {};
    schedule_timer(ctl->sched, &ref, 0, no_op);
    uint32_t d = f->timer_b._expires - ref._expires;
    schedule_cancel(ctl->sched, &ref);
    schedule_cancel(ctl->sched, &f->timer_b);
    return d;
}

// Q after the oldest report, sooner for an expiry; a silent station is
// queried once per interval, not at every second.
TEST_F(Records, HousekeepingDelayFollowsRecordsReportsAndQueries)
{
    uint32_t now = clock_sec();
    flow->last_query = now - 1000;
    EXPECT_EQ(delay_ms(ctl, flow), 125000u);
    ugwd_lease *l = lease(5, 70, 100);
    EXPECT_EQ(delay_ms(ctl, flow), 30000u);
    ugwd_ctl_remove_lease(ctl, l);

    uint8_t g[4] = {239, 1, 1, 1};
    ASSERT_EQ(ugwd_flow_join_group(flow, g), 0);
    auto *m = list_first_record<&ugwd_group::link>(&flow->groups);
    m->last_report = now - 100;
    EXPECT_EQ(delay_ms(ctl, flow), 25000u); // Q - A
    m->last_report = now - 200;
    EXPECT_EQ(delay_ms(ctl, flow), 1000u); // A >= Q, not queried for long: now
    flow->last_query = now - 5;
    EXPECT_EQ(delay_ms(ctl, flow), 60000u); // the membership runs out first
    m->timeout = 10000;
    EXPECT_EQ(delay_ms(ctl, flow), 120000u); // the next query allowed
}

} // namespace

namespace
{

// A station that moves to another flow of its service takes its memberships
// along; disassociation ends them.
TEST_F(Records, AssociationTakesMembershipsAndDisassociationEndsThem)
{
    uint8_t g[4] = {239, 1, 1, 1};
    ASSERT_EQ(ugwd_flow_join_group(flow, g), 0);
    ASSERT_EQ(ugwd_flow_join_group6(flow, ip6("ff05::7").data()), 0);
    ASSERT_EQ(ugwd_ctl_expire_groups(flow), 2);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(4789);
    peer.sin_addr.s_addr = htonl(0x0a000002);
    ugwd_tunnel *tn2 =
        ugwd_service_create_tunnel(svc, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
    ASSERT_NE(tn2, nullptr);
    ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tn2), 0);
    flow_id id = {};
    id.b[0] = 0x77;
    ugwd_flow *moved = ugwd_service_create_ether_flow(tn2, &id, station, 0);
    ASSERT_NE(moved, nullptr);
    ASSERT_EQ(ugwd_table_insert_flow(ctl->table, moved), 0);

    ugwd_ctl_associate_flow(moved);
    EXPECT_TRUE(list_isempty(&flow->groups));
    EXPECT_TRUE(list_isempty(&flow->groups6));
    ASSERT_FALSE(list_isempty(&moved->groups));
    auto *m = list_first_record<&ugwd_group::link>(&moved->groups);
    EXPECT_EQ(memcmp(&m->peer, &moved->peer, sizeof(m->peer)), 0);
    // Indexed again, under the new peer, at the next sweep.
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 0u);
    EXPECT_EQ(ugwd_ctl_expire_groups(moved), 2);
    EXPECT_EQ(ugwd_table_get_group_by_uuid_addr(ctl->table, svc->uuid, &moved->peer.sa), m);

    ugwd_ctl_disassociate_flow(moved, 3);
    EXPECT_TRUE(list_isempty(&moved->groups));
    EXPECT_TRUE(list_isempty(&moved->groups6));
    EXPECT_EQ(ugwd_table_count_groups(ctl->table) + ugwd_table_count_groups6(ctl->table), 0u);
    EXPECT_EQ(
        logged("Deleted IPv6 multicast group membership ff05::7 for client 02:11:22:33:44:55"), 1u);
}

} // namespace
