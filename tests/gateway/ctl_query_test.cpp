// Flows, accesses, keys, FT authentications, leases and memberships through
// the management dispatcher of a gateway object without data planes.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/filter/filter_rule.h"
#include "common/mempool.h"
#include "common/timer.h"
#include "ctl_fixture.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_mib.h"
#include "dot11/dot11_r0kh.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_service.h"
#include "radius/radius_cache.h"
#include "radius/radius_mib.h"

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes uuid_of(uint8_t n)
{
    Bytes u(16, 0);
    u[0] = 0x5e;
    u[15] = n;
    return u;
}

Bytes mac_of(uint8_t n)
{
    return {2, 0, 0, 0, 0, n};
}

struct reply {
    int len;
    Bytes b; // the whole buffer the handler wrote into
    uint32_t type() const { return ctl_get32(b.data(), 0); }
    uint32_t status() const { return type() == CTL_STATUS ? ctl_get32(b.data(), 4) : 0; }
    uint32_t count() const { return ctl_get32(b.data(), 8); }
};

Bytes request(uint32_t type, uint32_t flags = 0)
{
    Bytes m(ctl_msg_catalogue[type].size);
    ugwd_ctl_msg_init(m.data(), type);
    ctl_put32(m.data(), 4, flags);
    return m;
}

void put(Bytes &m, size_t at, const Bytes &v)
{
    if (!v.empty()) memcpy(m.data() + at, v.data(), v.size());
}

sockaddr_in peer_v4(uint32_t addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr);
    return sa;
}

Bytes sa_bytes(const sockaddr_in &sa)
{
    Bytes b(28, 0);
    memcpy(b.data(), &sa, sizeof(sa));
    return b;
}

class Query : public ctl_test::Gateway
{
  protected:
    uint32_t lo = 0;

    void SetUp() override
    {
        Gateway::SetUp();
        lo = if_nametoindex("lo");
        ASSERT_NE(lo, 0u);
    }

    reply run(Bytes msg, bool privileged = true, size_t size = 1 << 16)
    {
        size_t len = ctl_msg_size(msg.data(), msg.size());
        msg.resize(std::max(msg.size(), size));
        int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, privileged);
        return {r, msg};
    }

    ugwd_service *add_service(uint8_t n, const char *nas = "")
    {
        Bytes m = request(CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
        c.mib.ulmexServiceSSID.length = 5;
        memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, "guest", 5);
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = lo;
        snprintf(c.mib.ulmexRadiusNASIdentifier, sizeof(c.mib.ulmexRadiusNASIdentifier), "%s", nas);
        memset(c.dot11.dot11RSNAConfigPSKValue, 0xaa, 32);
        memcpy(m.data() + 8, &c, sizeof(c));
        EXPECT_EQ(run(m).len, 1300);
        return ugwd_table_get_service(ctl->table, uuid_of(n).data());
    }

    ugwd_tunnel *tunnel(ugwd_service *s, uint32_t addr)
    {
        sockaddr_in sa = peer_v4(addr, 4789);
        ugwd_tunnel *tn = ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN,
                                                     reinterpret_cast<sockaddr *>(&sa));
        EXPECT_NE(tn, nullptr);
        EXPECT_EQ(ugwd_table_insert_tunnel(ctl->table, tn), 0);
        return tn;
    }

    ugwd_vap *vap(ugwd_service *s, const Bytes &bssid)
    {
        ugwd_vap *v = ugwd_service_create_vap(s, bssid.data(), nullptr);
        EXPECT_NE(v, nullptr);
        EXPECT_EQ(ugwd_table_insert_vap(ctl->table, v), 0);
        return v;
    }

    ugwd_lease *lease(uint8_t service, uint8_t station, uint8_t host, uint32_t age, uint32_t time)
    {
        auto *l = static_cast<ugwd_lease *>(mempool_zalloc_meta(ctl->pools[UGWD_POOL_LEASE]));
        ugwd_lease_links_init(l);
        memcpy(l->rec.uuid, uuid_of(service).data(), 16);
        memcpy(l->rec.mac, mac_of(station).data(), 6);
        snprintf(l->rec.hostname, sizeof(l->rec.hostname), "host-%u", host);
        l->rec.addr[0] = 10;
        l->rec.addr[3] = host;
        l->rec.start = clock_sec() - age;
        l->rec.lease_time = time;
        list_append(&ctl->leases, &l->link);
        EXPECT_EQ(ugwd_table_store_lease(ctl->table, l), 0);
        return l;
    }

    ugwd_lease6 *lease6(uint8_t service, uint8_t station, uint8_t host, uint8_t kind, uint32_t age,
                        uint32_t lifetime)
    {
        auto *l = static_cast<ugwd_lease6 *>(mempool_zalloc_meta(ctl->pools[UGWD_POOL_LEASE6]));
        ugwd_lease6_links_init(l);
        memcpy(l->rec.uuid, uuid_of(service).data(), 16);
        memcpy(l->rec.mac, mac_of(station).data(), 6);
        l->rec.kind = kind;
        l->rec.addr[0] = kind == UGWD_LEASE6_LINK_LOCAL ? 0xfe : 0x20;
        l->rec.addr[15] = host;
        l->rec.start = clock_sec() - age;
        l->rec.valid_lifetime = lifetime;
        list_append(&ctl->leases6, &l->link);
        EXPECT_EQ(ugwd_table_store_lease6(ctl->table, l), 0);
        return l;
    }
};

// The host-name bytes of the records of a lease list.
std::vector<uint8_t> hosts_of(const reply &r, size_t record)
{
    std::vector<uint8_t> hosts;
    for (uint32_t i = 0; i < r.count(); i++)
        hosts.push_back(r.b[12 + i * record + 88 + 3 + (record == 112 ? 12 : 0)]);
    return hosts;
}

TEST_F(Query, GetFlowFindsTheFlowByBssidOrPeerAndSizesTheReply)
{
    ugwd_service *s = add_service(1);
    ugwd_vap *v = vap(s, {2, 9, 9, 9, 9, 1});
    ugwd_tunnel *tn = tunnel(s, 0x0a000001);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, v, nullptr, mac_of(1).data()), nullptr);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, tn, mac_of(2).data()), nullptr);

    struct {
        Bytes peer, bssid, mac;
        uint32_t status;
    } cases[] = {
        {Bytes(28, 0), Bytes(6, 0), mac_of(1), ENOENT}, // neither BSSID nor address
        {Bytes(28, 0), {2, 9, 9, 9, 9, 1}, mac_of(1), 0},
        {Bytes(28, 0), {2, 9, 9, 9, 9, 1}, mac_of(2), ENOENT},
        {sa_bytes(peer_v4(0x0a000001, 4789)), Bytes(6, 0), mac_of(2), 0},
        {sa_bytes(peer_v4(0x0a000001, 4790)), Bytes(6, 0), mac_of(2), ENOENT},
    };
    for (auto &c : cases) {
        Bytes m = request(CTL_GET_FLOW);
        put(m, 8, c.peer);
        put(m, 36, c.bssid);
        put(m, 42, c.mac);
        reply r = run(m, false);
        if (c.status) {
            EXPECT_EQ(r.status(), c.status);
            continue;
        }
        ASSERT_EQ(r.len, 1924);
        EXPECT_EQ(r.type(), CTL_NEW_FLOW);
        EXPECT_EQ(Bytes(r.b.begin() + 14, r.b.begin() + 20), c.mac);
        EXPECT_EQ(ctl_get32(r.b.data(), 1920), 0u);
        // A small buffer is told the size and nothing else.
        Bytes small = m;
        small.resize(1923);
        EXPECT_EQ(ugwd_ctl_dispatch(ctl, small.data(), m.size(), small.size(), 0), 1924);
    }
}

TEST_F(Query, DumpFlowsListsExactlyTheFlowsOfItsFilters)
{
    ugwd_service *s1 = add_service(1), *s2 = add_service(2);
    Bytes b1 = {2, 9, 9, 9, 9, 1};
    ugwd_vap *v1 = vap(s1, b1);
    ugwd_tunnel *t1 = tunnel(s1, 0x0a000001), *t2 = tunnel(s2, 0x0a000002);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, v1, nullptr, mac_of(1).data()), nullptr);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, v1, nullptr, mac_of(2).data()), nullptr);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, t1, mac_of(1).data()), nullptr);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, t1, mac_of(3).data()), nullptr);
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, t2, mac_of(4).data()), nullptr);
    Bytes peer = sa_bytes(peer_v4(0x0a000001, 4789)), none(28, 0), z6(6, 0), z16(16, 0);

    // Flows named by station and service number.
    using set = std::multiset<std::pair<uint8_t, uint8_t>>;
    struct {
        Bytes uuid, addr, bssid, mac;
        set expect;
    } cases[] = {
        {z16, none, z6, z6, {{1, 1}, {2, 1}, {1, 1}, {3, 1}, {4, 2}}},
        {uuid_of(1), none, z6, mac_of(1), {{1, 1}, {1, 1}}},
        {uuid_of(2), none, z6, mac_of(4), {{4, 2}}},
        {uuid_of(1), none, z6, mac_of(4), {}},
        {z16, none, b1, mac_of(1), {{1, 1}}},
        {z16, peer, z6, mac_of(1), {{1, 1}}},
        {uuid_of(1), none, b1, z6, {{1, 1}, {2, 1}}},
        {uuid_of(1), peer, z6, z6, {{1, 1}, {3, 1}}},
        {uuid_of(2), none, z6, z6, {{4, 2}}},
        {z16, none, b1, z6, {{1, 1}, {2, 1}}},
        {z16, peer, z6, z6, {{1, 1}, {3, 1}}},
        {uuid_of(3), none, z6, mac_of(1), {}},
        {z16, none, z6, mac_of(7), {}},
    };
    int row = 0;
    for (auto &c : cases) {
        Bytes m = request(CTL_DUMP_FLOWS);
        put(m, 8, c.uuid);
        put(m, 24, c.addr);
        put(m, 52, c.bssid);
        put(m, 58, c.mac);
        reply r = run(m, false);
        ASSERT_EQ(r.type(), CTL_FLOWS) << row;
        ASSERT_EQ(r.len, static_cast<int>(16 + 584 * c.expect.size())) << row;
        set got;
        for (uint32_t i = 0; i < r.count(); i++) {
            const uint8_t *f = r.b.data() + 16 + 584 * i;
            got.insert({f[11], f[18 + 15]});
        }
        EXPECT_EQ(got, c.expect) << row;
        row++;
    }
}

TEST_F(Query, KeysAndFtAuthenticationsOfTheServiceCache)
{
    ugwd_service *s = add_service(1);
    auto key = [&](uint8_t station, uint8_t id) {
        dot11_cache_entry *e = dot11_cache_entry_create(s->cache, mac_of(station).data(), DOT11_AKM_PSK);
        ASSERT_NE(e, nullptr);
        memset(e->id, id, 16);
        memset(e->key, 0x77, sizeof(e->key));
        e->lifetime = 3600;
        e->created = clock_sec();
        ASSERT_EQ(dot11_cache_insert(s->cache, e), 0);
        dot11_cache_entry_release(e);
    };
    key(1, 0x11);
    key(1, 0x12);
    key(2, 0x21);

    auto keyed = [&](uint32_t type, const Bytes &uuid, const Bytes &k) {
        Bytes m = request(type);
        put(m, 8, uuid);
        put(m, 24, k);
        return run(m, false);
    };
    struct {
        Bytes uuid, mac;
        uint32_t status, count;
    } dumps[] = {
        {uuid_of(1), Bytes(6, 0), 0, 3},
        {uuid_of(1), mac_of(1), 0, 2},
        {uuid_of(1), mac_of(9), 0, 0},
        {uuid_of(9), Bytes(6, 0), ENOENT, 0},     // a missing service
        {Bytes(16, 0), Bytes(6, 0), ENOENT, 0},   // and no service at all
    };
    for (auto &d : dumps) {
        reply r = keyed(CTL_DUMP_KEYS, d.uuid, d.mac);
        EXPECT_EQ(r.status(), d.status);
        if (d.status) continue;
        ASSERT_EQ(r.len, static_cast<int>(12 + 36 * d.count));
        for (uint32_t i = 0; i < d.count; i++) {
            dot11_key_row row;
            memcpy(&row, r.b.data() + 12 + 36 * i, sizeof(row));
            if (d.mac != Bytes(6, 0)) {
                EXPECT_EQ(Bytes(row.mac, row.mac + 6), d.mac);
            }
        }
        reply ft = keyed(CTL_DUMP_FTAUTHS, d.uuid, d.mac);
        EXPECT_EQ(ft.len, 12);
    }

    reply k = keyed(CTL_GET_KEY, uuid_of(1), Bytes(16, 0x12));
    ASSERT_EQ(k.len, 368);
    EXPECT_EQ(k.type(), CTL_NEW_KEY);
    EXPECT_EQ(Bytes(k.b.begin() + 8, k.b.begin() + 14), mac_of(1));
    EXPECT_EQ(Bytes(k.b.begin() + 14, k.b.begin() + 30), Bytes(16, 0x12));
    // No byte of the key itself leaves.
    for (int i = 0; i + 4 <= 368; i++)
        EXPECT_NE(ctl_get32(k.b.data(), static_cast<size_t>(i)), 0x77777777u) << i;
    EXPECT_EQ(keyed(CTL_GET_KEY, uuid_of(1), Bytes(16, 0x13)).status(), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(keyed(CTL_GET_KEY, uuid_of(9), Bytes(16, 0x12)).status(), static_cast<uint32_t>(ENOENT));
    Bytes small = request(CTL_GET_KEY);
    small.resize(367);
    EXPECT_EQ(ugwd_ctl_dispatch(ctl, small.data(), 40, small.size(), 0), 368);

    Bytes ft = request(CTL_GET_FTAUTH);
    put(ft, 8, uuid_of(1));
    put(ft, 30, mac_of(1));
    EXPECT_EQ(run(ft, false).status(), static_cast<uint32_t>(ENOENT));

    // Clearing needs something to clear with: the service has no NAS.
    struct {
        Bytes uuid, mac;
        uint32_t flags, status;
    } clears[] = {
        {Bytes(16, 0), Bytes(6, 0), 0, EINVAL},
        {Bytes(16, 0), Bytes(6, 0), CTL_F_FORCE, 0},
        {uuid_of(1), mac_of(1), 0, EINVAL},
        {uuid_of(9), Bytes(6, 0), 0, ENOENT},
        {uuid_of(9), Bytes(6, 0), CTL_F_FORCE, 0},
    };
    for (auto &c : clears) {
        Bytes m = request(CTL_CLEAR_CACHE, c.flags);
        put(m, 262, c.uuid);
        put(m, 278, c.mac);
        reply r = run(m);
        EXPECT_EQ(r.type(), CTL_STATUS);
        EXPECT_EQ(r.status(), c.status);
    }
    EXPECT_EQ(dot11_cache_count_pmks(s->cache), 3u);
    EXPECT_EQ(run(request(CTL_CLEAR_CACHE), false).status(), static_cast<uint32_t>(EPERM));
}

// An FT authentication row carries the station, BSSID, suites and PMKR1Name
// and nothing of the station's key state.
TEST_F(Query, FtAuthenticationsShowOnlyTheirPublicFields)
{
    ugwd_service *s = add_service(1);
    Bytes bssid = {2, 9, 9, 9, 9, 1};
    ugwd_flow *f = ugwd_ctl_create_flow(ctl, vap(s, bssid), nullptr, mac_of(1).data());
    ASSERT_NE(f, nullptr);
    if (!f->rsna.r0kh) {
        ASSERT_EQ(dot11_r0kh_create(s->cache, &f->rsna), 0);
    }
    memset(f->rsna.pmk, 0x77, sizeof(f->rsna.pmk));
    memset(f->rsna.ptk, 0x77, sizeof(f->rsna.ptk));
    memset(f->rsna.pmkr1name, 0x55, sizeof(f->rsna.pmkr1name));
    f->rsna.suites.akm = DOT11_AKM_PSK;

    auto public_only = [&](const uint8_t *row) {
        EXPECT_EQ(Bytes(row, row + 6), mac_of(1));
        EXPECT_EQ(Bytes(row + 6, row + 12), bssid);
        EXPECT_EQ(Bytes(row + 56, row + 72), Bytes(16, 0x55));
        for (size_t i = 0; i < 76; i++)
            if (i >= 12 && !(i >= 36 && i < 44) && !(i >= 56 && i < 72)) {
                EXPECT_EQ(row[i], 0) << i;
            }
    };
    Bytes get = request(CTL_GET_FTAUTH);
    put(get, 8, uuid_of(1));
    put(get, 24, bssid);
    put(get, 30, mac_of(1));
    reply one = run(get, false);
    ASSERT_EQ(one.len, 84);
    EXPECT_EQ(one.type(), CTL_NEW_FTAUTH);
    public_only(one.b.data() + 8);
    put(get, 24, Bytes{2, 9, 9, 9, 9, 2});
    EXPECT_EQ(run(get, false).status(), static_cast<uint32_t>(ENOENT));

    for (const Bytes &mac : {mac_of(1), Bytes(6, 0)}) {
        Bytes dump = request(CTL_DUMP_FTAUTHS);
        put(dump, 8, uuid_of(1));
        put(dump, 24, mac);
        reply all = run(dump, false);
        ASSERT_EQ(all.len, 12 + 76);
        public_only(all.b.data() + 12);
    }
    Bytes flow = request(CTL_GET_FLOW);
    put(flow, 36, bssid);
    put(flow, 42, mac_of(1));
    reply fr = run(flow, false);
    ASSERT_EQ(fr.len, 1924);
    public_only(fr.b.data() + 1704);
}

TEST_F(Query, LeaseListsDropStaleRecordsAndLeaveNothingBehindThem)
{
    lease(1, 1, 1, 100, 50); // ran out
    lease(1, 2, 2, 10, 50);
    lease(1, 3, 3, 10, 50);
    lease(2, 1, 4, 10, 50);

    auto dump = [&](uint32_t type, const Bytes &uuid, const Bytes &mac) {
        Bytes m = request(type);
        put(m, 8, uuid);
        put(m, 24, mac);
        return run(m, false);
    };
    // The survivors reordered: the former last takes the dropped one's place.
    reply r = dump(CTL_DUMP_LEASES, uuid_of(1), Bytes(6, 0));
    ASSERT_EQ(r.type(), CTL_LEASES);
    ASSERT_EQ(r.len, 12 + 2 * 104);
    EXPECT_EQ(hosts_of(r, 104), (std::vector<uint8_t>{3, 2}));
    // The reserved tail carries none of the dropped records.
    EXPECT_EQ(Bytes(r.b.begin() + r.len, r.b.begin() + 12 + 3 * 104), Bytes(104, 0));

    struct {
        Bytes uuid, mac;
        std::vector<uint8_t> hosts;
    } cases[] = {
        {uuid_of(1), mac_of(1), {}}, // the table still holds it
        {uuid_of(2), mac_of(1), {4}},
        {Bytes(16, 0), mac_of(1), {4}},
        {Bytes(16, 0), Bytes(6, 0), {2, 3, 4}},
        {uuid_of(9), Bytes(6, 0), {}},
    };
    for (auto &c : cases) {
        reply d = dump(CTL_DUMP_LEASES, c.uuid, c.mac);
        ASSERT_EQ(d.len, static_cast<int>(12 + 104 * c.hosts.size()));
        auto got = hosts_of(d, 104);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.hosts);
    }

    // DHCPv6: link-local entries never run out; others do, and an empty address is no lease.
    lease6(1, 1, 1, UGWD_LEASE6_LINK_LOCAL, 1000000, 1);
    lease6(1, 1, 2, UGWD_LEASE6_DHCPV6, 100, 50);
    lease6(1, 1, 3, UGWD_LEASE6_DHCPV6, 10, 50);
    reply six = dump(CTL_DUMP_LEASES6, uuid_of(1), mac_of(1));
    ASSERT_EQ(six.type(), CTL_LEASES6);
    ASSERT_EQ(six.len, 12 + 2 * 112);
    auto got = hosts_of(six, 112);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<uint8_t>{1, 3}));
}

TEST_F(Query, GroupsOfAStationComeFromItsAssociatedFlow)
{
    ugwd_service *s = add_service(1);
    ugwd_tunnel *tn = tunnel(s, 0x0a000001);
    ugwd_flow *f = ugwd_ctl_create_flow(ctl, nullptr, tn, mac_of(1).data());
    ASSERT_NE(f, nullptr);
    auto *g = static_cast<ugwd_group *>(mempool_zalloc_meta(ctl->pools[UGWD_POOL_GROUP]));
    ugwd_group_links_init(g);
    memcpy(g->uuid, f->uuid, 16);
    g->peer = f->peer;
    const uint8_t group[4] = {239, 1, 2, 3};
    memcpy(g->group, group, 4);
    memcpy(g->mac, f->mac, 6);
    list_append(&f->groups, &g->link);
    ASSERT_EQ(ugwd_table_insert_group(ctl->table, g), 0);

    auto dump = [&](const Bytes &uuid, const Bytes &mac) {
        Bytes m = request(CTL_DUMP_GROUPS);
        put(m, 8, uuid);
        put(m, 24, mac);
        return run(m, false);
    };
    // Not associated yet: a station's list is empty, the service's is not.
    EXPECT_EQ(dump(Bytes(16, 0), mac_of(1)).len, 12);
    EXPECT_EQ(dump(uuid_of(1), Bytes(6, 0)).len, 12 + 76);
    ugwd_table_insert_flow_assoc(ctl->table, f);
    struct {
        Bytes uuid, mac;
        int len;
    } cases[] = {
        {Bytes(16, 0), mac_of(1), 12 + 76},
        {uuid_of(1), mac_of(1), 12 + 76},
        {uuid_of(2), mac_of(1), 12}, // another service's station
        {Bytes(16, 0), mac_of(2), 12},
        {Bytes(16, 0), Bytes(6, 0), 12 + 76},
        {uuid_of(2), Bytes(6, 0), 12},
    };
    for (auto &c : cases) {
        reply r = dump(c.uuid, c.mac);
        EXPECT_EQ(r.type(), CTL_GROUPS);
        EXPECT_EQ(r.len, c.len);
        if (r.len > 12) {
            EXPECT_EQ(0, memcmp(r.b.data() + 12 + 44, group, 4));
        }
    }
    Bytes six = request(CTL_DUMP_GROUPS6);
    EXPECT_EQ(run(six, false).len, 12);
}

TEST_F(Query, UnprivilegedVapRepliesHideThePresharedKey)
{
    ugwd_service *s = add_service(1);
    Bytes bssid = {2, 9, 9, 9, 9, 1};
    vap(s, bssid);
    Bytes m = request(CTL_GET_VAP);
    put(m, 8, uuid_of(1));
    put(m, 24, bssid);
    reply full = run(m, true), ro = run(m, false);
    ASSERT_EQ(full.len, 544);
    ASSERT_EQ(ro.len, 544);
    EXPECT_EQ(Bytes(full.b.begin() + 253, full.b.begin() + 285), Bytes(32, 0xaa));
    EXPECT_EQ(Bytes(ro.b.begin() + 253, ro.b.begin() + 285), Bytes(32, 0));

    Bytes d = request(CTL_DUMP_VAPS);
    put(d, 8, uuid_of(9));
    reply none = run(d, false);
    EXPECT_EQ(none.type(), CTL_VAPS);
    EXPECT_EQ(none.len, 16);
}

// Leases written by one daemon are what the next one lists.
TEST(QueryLeaseFiles, WriteLeasesRewritesTheFilesThatTheNextStartReads)
{
    char t[] = "/tmp/ugw-leases-XXXXXX";
    ASSERT_TRUE(mkdtemp(t));
    std::string dir = t, file = dir + "/ulmex-gateway.leases";
    auto dump = [](ugwd_ctl *c) {
        Bytes m = request(CTL_DUMP_LEASES);
        m.resize(4096);
        int r = ugwd_ctl_dispatch(c, m.data(), 30, m.size(), 0);
        m.resize(r > 0 ? static_cast<size_t>(r) : 0);
        // Start times are per daemon clock: compare what a client keeps.
        for (size_t i = 12; i + 104 <= m.size(); i += 104)
            memset(m.data() + i + 92, 0, 4);
        return m;
    };
    Bytes before;
    {
        ugwd_ctl *c = ugwd_ctl_create((dir + "/a").c_str(), file.c_str(), 0, false);
        ASSERT_NE(c, nullptr);
        for (uint8_t i = 1; i <= 3; i++) {
            auto *l = static_cast<ugwd_lease *>(mempool_zalloc_meta(c->pools[UGWD_POOL_LEASE]));
            ugwd_lease_links_init(l);
            memcpy(l->rec.uuid, uuid_of(1).data(), 16);
            memcpy(l->rec.mac, mac_of(i).data(), 6);
            snprintf(l->rec.hostname, sizeof(l->rec.hostname), "host-%u", i);
            l->rec.addr[0] = 10;
            l->rec.addr[3] = i;
            l->rec.start = clock_sec();
            l->rec.lease_time = 3600;
            list_append(&c->leases, &l->link);
            ASSERT_EQ(ugwd_table_store_lease(c->table, l), 0);
        }
        Bytes w = request(CTL_WRITE_LEASES);
        w.resize(64);
        EXPECT_EQ(ugwd_ctl_dispatch(c, w.data(), 8, w.size(), 0), 8);
        EXPECT_EQ(ctl_get32(w.data(), 4), static_cast<uint32_t>(EPERM));
        w = request(CTL_WRITE_LEASES);
        w.resize(64);
        EXPECT_EQ(ugwd_ctl_dispatch(c, w.data(), 8, w.size(), 1), 8);
        EXPECT_EQ(ctl_get32(w.data(), 0), CTL_STATUS);
        EXPECT_EQ(ctl_get32(w.data(), 4), 0u);
        w = request(CTL_WRITE_LEASES6);
        w.resize(64);
        EXPECT_EQ(ugwd_ctl_dispatch(c, w.data(), 8, w.size(), 1), 8);
        EXPECT_EQ(ctl_get32(w.data(), 4), 0u);
        before = dump(c);
        ugwd_ctl_free(c);
    }
    ASSERT_EQ(before.size(), 12u + 3 * 104);
    ugwd_ctl *c = ugwd_ctl_create((dir + "/b").c_str(), file.c_str(), 0, false);
    ASSERT_NE(c, nullptr);
    Bytes after = dump(c);
    ugwd_ctl_free(c);
    std::system(("rm -rf '" + dir + "'").c_str());
    // The same leases; the order of a list is the index's.
    auto rows = [](const Bytes &b) {
        std::multiset<Bytes> s;
        for (size_t i = 12; i + 104 <= b.size(); i += 104)
            s.insert(Bytes(b.begin() + static_cast<long>(i), b.begin() + static_cast<long>(i + 104)));
        return s;
    };
    EXPECT_EQ(rows(after), rows(before));
}

// Accesses need a NAS, whose shared port 3799 is fixed: each such test runs
// in a network namespace of its own.
class QueryNas : public Query
{
  protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace (port 3799 is fixed)";
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        Query::SetUp();
        Bytes m = request(CTL_ADD_NAS);
        radius_nas_record rec{};
        snprintf(rec.config.radiusAuthClientIdentifier, sizeof(rec.config.radiusAuthClientIdentifier),
                 "nas1");
        rec.config.radiusClientRequestPorts = 1;
        rec.config.radiusClientCaching = 1;
        memcpy(m.data() + 8, &rec, RADIUS_NAS_RECORD_CONFIG_SIZE);
        ASSERT_EQ(run(m).type(), CTL_NEW_NAS);
        nas = ugwd_nas_lookup(ctl->nas, "nas1");
        ASSERT_NE(nas, nullptr);
    }

    ugwd_nas *nas = nullptr;

    void grant(uint8_t service, uint8_t station, uint16_t rules)
    {
        std::vector<filter_rule> r(rules);
        for (uint16_t i = 0; i < rules; i++)
            memset(&r[i], static_cast<int>(i + 1), sizeof(r[i]));
        radius_authz a{};
        a.session_timeout = 3600;
        a.bandwidth_up = 1000u * station;
        a.rule_count = rules;
        a.rules = rules ? r.data() : nullptr;
        char name[] = "user";
        a.user_name = name;
        ASSERT_GE(radius_cache_create_entry(nas->client->_impl.cache, uuid_of(service).data(),
                                            mac_of(station).data(), &a),
                  0);
    }
};

TEST_F(QueryNas, AccessesOfTheNasAndTheirClearing)
{
    ugwd_service *s1 = add_service(1, "nas1");
    add_service(2, "nas1");
    add_service(3);
    ASSERT_NE(s1, nullptr);
    grant(1, 1, 2);
    grant(1, 2, 0);
    grant(2, 1, 0);

    Bytes get = request(CTL_GET_ACCESS);
    put(get, 8, uuid_of(1));
    put(get, 24, mac_of(1));
    reply a = run(get, false);
    ASSERT_EQ(a.type(), CTL_NEW_ACCESS);
    ASSERT_EQ(a.len, 1060 + 2 * 528);
    EXPECT_EQ(ctl_get32(a.b.data(), 8), 1000u);
    EXPECT_STREQ(reinterpret_cast<const char *>(a.b.data() + 8 + 536), "user");
    EXPECT_EQ(ctl_get32(a.b.data(), 1056), 2u);
    EXPECT_EQ(a.b[1060 + 528], 2);
    put(get, 24, mac_of(3));
    EXPECT_EQ(run(get, false).status(), static_cast<uint32_t>(ENOENT));
    put(get, 8, uuid_of(3));
    put(get, 24, mac_of(1));
    EXPECT_EQ(run(get, false).status(), static_cast<uint32_t>(ENOENT)); // no NAS

    struct {
        std::string name;
        Bytes uuid;
        uint32_t status, count;
    } dumps[] = {
        {"", uuid_of(1), 0, 2},
        {"nas1", uuid_of(2), 0, 1},
        {"", uuid_of(3), 0, 0},
        {"", Bytes(16, 0), EINVAL, 0},
        {"nas9", Bytes(16, 0), ENOENT, 0},
        {"nas9", uuid_of(1), ENOENT, 0},
        {"", uuid_of(9), ENOENT, 0},
        {"nas1", Bytes(16, 0), 0, 3},
    };
    for (auto &d : dumps) {
        Bytes m = request(CTL_DUMP_ACCESSES);
        put(m, 8, Bytes(d.name.begin(), d.name.end()));
        put(m, 262, d.uuid);
        reply r = run(m, false);
        EXPECT_EQ(r.status(), d.status) << d.name;
        if (!d.status) {
            EXPECT_EQ(r.len, static_cast<int>(12 + 1048 * d.count)) << d.name;
        }
    }

    // A station's clearing on one service takes its authorization and its keys there only.
    dot11_cache_entry *e = dot11_cache_entry_create(s1->cache, mac_of(1).data(), DOT11_AKM_PSK);
    ASSERT_NE(e, nullptr);
    e->lifetime = 3600;
    e->created = clock_sec();
    ASSERT_EQ(dot11_cache_insert(s1->cache, e), 0);
    dot11_cache_entry_release(e);
    Bytes clear = request(CTL_CLEAR_CACHE);
    put(clear, 262, uuid_of(1));
    put(clear, 278, mac_of(1));
    EXPECT_EQ(run(clear).status(), 0u);
    EXPECT_EQ(dot11_cache_count_pmks(s1->cache), 0u);
    EXPECT_EQ(radius_cache_lookup(nas->client->_impl.cache, uuid_of(1).data(), mac_of(1).data()), nullptr);
    EXPECT_NE(radius_cache_lookup(nas->client->_impl.cache, uuid_of(1).data(), mac_of(2).data()), nullptr);
    EXPECT_NE(radius_cache_lookup(nas->client->_impl.cache, uuid_of(2).data(), mac_of(1).data()), nullptr);
    // By the NAS alone: all its services.
    Bytes all = request(CTL_CLEAR_CACHE);
    put(all, 8, Bytes{'n', 'a', 's', '1'});
    EXPECT_EQ(run(all).status(), 0u);
    EXPECT_EQ(radius_cache_first(nas->client->_impl.cache), nullptr);
}

} // namespace
