// Neighbour discovery snooping driven with crafted frames: duplicate-address
// probes making records, the defending advertisement, conflicts reported by
// the network, prefix learning from router advertisements and the
// captive-portal option, with forged and malformed frames changing nothing.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "radius/radius_db.h"
#include "tests/gateway/snoop_fixture.h"

namespace {

using namespace snoop_test;
using ctl_test::logged;

const bytes all_nodes = ip6("ff02::1");
const bytes unspecified(16);
const bytes router_ll = ip6("fe80::1");

// A station's duplicate-address probe for target.
bytes probe(const bytes &station, const bytes &target, uint8_t hops = 255)
{
    bytes sn = ip6("ff02::1:ff00:0");
    std::copy(target.end() - 3, target.end(), sn.end() - 3);
    return icmp6_frame({0x33, 0x33, 0xff, target[13], target[14], target[15]}, station, unspecified,
                       sn, hops, ns_msg(target));
}

bytes ra(bytes opts, const bytes &src = router_ll, uint8_t hops = 255)
{
    return icmp6_frame(station_a, router, src, all_nodes, hops, ra_msg(std::move(opts)));
}

class Nd : public Snoop {
protected:
    int snoop(ugwd_flow *f, const bytes &b, uint8_t cls, ugwd_tunnel *t = nullptr)
    {
        return ugwd_icmpv6_snoop(nullptr, t ? t : tn, f, frame(b, cls));
    }

    void learn(const char *prefix, uint32_t valid = 86400)
    {
        EXPECT_EQ(snoop(nullptr, ra(prefix_opt(prefix, 64, 0xc0, valid)), UGWD_SNOOP_TO_STATION), -1);
    }

    std::vector<std::string> prefixes(ugwd_tunnel *t = nullptr)
    {
        std::vector<std::string> out;
        for (ugwd_prefix *p : list_records<&ugwd_prefix::link>(&(t ? t : tn)->prefixes)) {
            char a[INET6_ADDRSTRLEN];
            out.push_back(std::string(inet_ntop(AF_INET6, p->prefix, a, sizeof(a))) + "/" +
                          std::to_string(p->prefix_len) + " " + std::to_string(p->valid_lifetime));
        }
        return out;
    }

    void forget(ugwd_flow *f)
    {
        for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6))
            ugwd_ctl_remove_lease6(ctl, l);
    }

    // A probed, indexed record of station A.
    ugwd_lease6 *held_by_a(const char *addr)
    {
        EXPECT_EQ(snoop(fa, probe(station_a, ip6(addr)), UGWD_SNOOP_FROM_STATION), 0);
        housekeeping(fa);
        return ugwd_ctl_find_lease6_by_ip6(ctl, ip6(addr).data());
    }
};

TEST_F(Nd, ProbesMakeRecordsOnlyWhenSoundAndFromTheStation)
{
    learn("2001:db8::");
    const bytes ll = ip6("fe80::a:b"), global = ip6("2001:db8::5");
    bytes bad_sum = probe(station_a, ll);
    bad_sum[14 + 40 + 3] ^= 1;
    bytes long_plen = probe(station_a, ll);
    long_plen[14 + 5] += 8;
    bytes from_host = icmp6_frame(station_a, station_a, ip6("fe80::9"), all_nodes, 255, ns_msg(ll));
    bytes ns20 = ns_msg(ll);
    ns20.resize(20);
    bytes short_ns = icmp6_frame(station_a, station_a, unspecified, all_nodes, 255, ns20);
    bytes hop_by_hop = icmp6_frame(station_a, station_a, unspecified, all_nodes, 255, ns_msg(ll),
                                   {0, 0, 5, 2, 0, 0, 1, 0});
    bytes fragment = icmp6_frame(station_a, station_a, unspecified, all_nodes, 255, ns_msg(ll),
                                 {44, 0, 0, 0, 0, 0, 0, 1});
    bytes truncated = probe(station_a, ll);
    truncated.resize(truncated.size() - 4);

    struct {
        const char *what;
        bytes frame;
        uint8_t cls;
        ugwd_tunnel *on;
        int result;
        std::vector<std::string> records;
    } cases[] = {
        {"link-local probe", probe(station_a, ll), UGWD_SNOOP_FROM_STATION, tn, 0, {"fe80::a:b/64 link-local"}},
        {"probe in a learnt prefix", probe(station_a, global), UGWD_SNOOP_FROM_STATION, tn, 0, {"2001:db8::5/64 SLAAC"}},
        {"global target outside every prefix", probe(station_a, ip6("2001:db9::5")), UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"behind a hop-by-hop header", hop_by_hop, UGWD_SNOOP_FROM_STATION, tn, 0, {"fe80::a:b/64 link-local"}},
        {"source not unspecified", from_host, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"routed: hop limit 254", probe(station_a, ll, 254), UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"towards the station", probe(station_a, ll), UGWD_SNOOP_TO_STATION, tn, -1, {}},
        {"checksum wrong", bad_sum, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"payload length past the frame", long_plen, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"frame cut short", truncated, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"fragment header", fragment, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"20-byte solicitation", short_ns, UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"multicast target", probe(station_a, ip6("ff02::1")), UGWD_SNOOP_FROM_STATION, tn, -1, {}},
        {"flow of another tunnel", probe(station_a, ll), UGWD_SNOOP_FROM_STATION, other_tn, -1, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(snoop(fa, c.frame, c.cls, c.on), c.result);
        EXPECT_EQ(addrs6(fa), c.records);
        forget(fa);
    }
    EXPECT_TRUE(sent().empty());
}

TEST_F(Nd, AddressHeldByAnotherStationIsDefendedWithOneAdvertisement)
{
    const bytes target = ip6("fe80::1");
    ASSERT_NE(held_by_a("fe80::1"), nullptr);
    ctl_test::log_clear();

    bytes b_probe = probe(station_b, target);
    b_probe[15] = 0x0a, b_probe[16] = 0xbc, b_probe[17] = 0xde; // class and flow label to copy
    EXPECT_EQ(snoop(fb, b_probe, UGWD_SNOOP_FROM_STATION), -1);
    EXPECT_TRUE(addrs6(fb).empty());
    EXPECT_EQ(logged("IPv6 DAD failed for fe80::1 - sending NA reply to 02:66:77:88:99:aa"), 1u);

    std::vector<bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    const bytes &na = out[0];
    ASSERT_EQ(na.size(), 86u);
    bytes icmp(na.begin() + 54, na.end());
    const bytes expect = cat({station_b, tunnel_mac, {0x86, 0xdd, 0x60, 0x0a, 0xbc, 0xde, 0, 32, 58, 255},
                              target, all_nodes, {136, 0, na[56], na[57], 0, 0, 0, 0}, target,
                              {2, 1}, tunnel_mac});
    EXPECT_EQ(na, expect);
    EXPECT_EQ(icmp6_sum(target, all_nodes, icmp), 0xffff);

    // The holder itself and a station of another service are not answered.
    EXPECT_EQ(snoop(fa, probe(station_a, target), UGWD_SNOOP_FROM_STATION), -1);
    EXPECT_EQ(snoop(fother, probe(station_c, target), UGWD_SNOOP_FROM_STATION, other_tn), 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(addrs6(fa), (std::vector<std::string>{"fe80::1/64 link-local"}));

    if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
    std::string pcap = write_pcap(dir + "/na.pcap", {na});
    std::string fields = run("tshark -r " + pcap +
                             " -n -T fields -E separator=, -e ipv6.plen"
                             " -e ipv6.hlim -e icmpv6.type -e icmpv6.checksum.status"
                             " -e icmpv6.nd.na.target_address -e icmpv6.opt.linkaddr 2>/dev/null");
    EXPECT_EQ(fields, "32,255,136,1,fe80::1,02:00:5e:10:20:30\n");
}

TEST_F(Nd, NetworkAdvertisementClearsOnlyAnAddressJustProbedFor)
{
    learn("2001:db8::");
    const bytes target = ip6("2001:db8::5");
    const bytes other_host = {0x02, 0xcc, 0xcc, 0xcc, 0xcc, 0xcc};
    auto na = [&](const bytes &tlla, const bytes &src = ip6("fe80::c"), uint8_t hops = 255) {
        return icmp6_frame(station_a, other_host, src, all_nodes, hops, na_msg(target, tlla));
    };
    bytes no_tlla = icmp6_frame(station_a, other_host, ip6("fe80::c"), all_nodes, 255,
                                cat({{136, 0, 0, 0, 0x20, 0, 0, 0}, target}));
    struct {
        const char *what;
        bytes frame;
        uint8_t cls;
        ugwd_tunnel *on;
        uint32_t probed_ms_ago;
        int result;
    } cases[] = {
        {"TLLA is the holder's own", na(station_a), UGWD_SNOOP_TO_STATION, tn, 0, -1},
        {"unsolicited, long after the probe", na(other_host), UGWD_SNOOP_TO_STATION, tn, 10000, -1},
        {"forged by a station", na(other_host), UGWD_SNOOP_FROM_STATION, tn, 0, -1},
        {"routed: hop limit 64", na(other_host, ip6("fe80::c"), 64), UGWD_SNOOP_TO_STATION, tn, 0, -1},
        {"source unspecified", na(other_host, unspecified), UGWD_SNOOP_TO_STATION, tn, 0, -1},
        {"without a TLLA option", no_tlla, UGWD_SNOOP_TO_STATION, tn, 0, -1},
        {"on another service", na(other_host), UGWD_SNOOP_TO_STATION, other_tn, 0, -1},
        {"answer to the probe", na(other_host), UGWD_SNOOP_TO_STATION, tn, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        forget(fa);
        ugwd_lease6 *l = held_by_a("2001:db8::5");
        ASSERT_NE(l, nullptr);
        l->dad_probe -= c.probed_ms_ago;
        ctl_test::log_clear();
        EXPECT_EQ(snoop(nullptr, c.frame, c.cls, c.on), c.result);
        bool cleared = c.result == 0;
        EXPECT_EQ(logged("IPv6 DAD conflict for 2001:db8::5 - removing allocation for "
                         "02:11:22:33:44:55"),
                  cleared ? 1u : 0u);
        housekeeping(fa);
        EXPECT_EQ(addrs6(fa).size(), cleared ? 0u : 1u);
    }
}

TEST_F(Nd, RouterAdvertisementsTeachAutonomousSlash64Prefixes)
{
    bytes opts = cat({prefix_opt("2001:db8::", 64, 0xc0, 86400), prefix_opt("2001:db8:1::", 56, 0xc0, 86400),
                      prefix_opt("2001:db8:2::", 64, 0x80, 86400), prefix_opt("::", 64, 0xc0, 86400),
                      prefix_opt("::1", 64, 0xc0, 86400), prefix_opt("fe80::", 64, 0xc0, 86400),
                      {1, 1, 2, 0xee, 0xee, 0xee, 0xee, 0x01}});
    EXPECT_EQ(snoop(fa, ra(opts), UGWD_SNOOP_TO_STATION), -1);
    EXPECT_EQ(prefixes(), (std::vector<std::string>{"2001:db8::/64 86400"}));

    // Forged, routed or from a global address: nothing learnt.
    const bytes p3 = prefix_opt("2001:db8:3::", 64, 0xc0, 600);
    EXPECT_EQ(snoop(fa, ra(p3), UGWD_SNOOP_FROM_STATION), -1);
    EXPECT_EQ(snoop(fa, ra(p3, router_ll, 64), UGWD_SNOOP_TO_STATION), -1);
    EXPECT_EQ(snoop(fa, ra(p3, ip6("2001:db8::1")), UGWD_SNOOP_TO_STATION), -1);
    bytes cut = ra(cat({p3, {3, 4, 64}}));
    EXPECT_EQ(snoop(fa, cut, UGWD_SNOOP_TO_STATION), -1); // option overruns: earlier ones count
    EXPECT_EQ(prefixes(), (std::vector<std::string>{"2001:db8::/64 86400", "2001:db8:3::/64 600"}));

    // The same again only refreshes; a new lifetime is logged and kept.
    ugwd_prefix *p = list_first_record<&ugwd_prefix::link>(&tn->prefixes);
    p->last -= 50;
    ctl_test::log_clear();
    learn("2001:db8::");
    EXPECT_EQ(p->last, clock_sec());
    EXPECT_EQ(logged("Update IPv6 SLAAC prefix"), 0u);
    learn("2001:db8::", 3600);
    EXPECT_EQ(logged("Update IPv6 SLAAC prefix 2001:db8::/64 on service "
                     "5e000000-0000-0000-0000-000000000001 valid for 3600s"),
              1u);
    EXPECT_EQ(prefixes()[0], "2001:db8::/64 3600");
    EXPECT_TRUE(prefixes(other_tn).empty());
}

TEST_F(Nd, NinthPrefixReplacesTheOneAnnouncedLongestAgo)
{
    for (int i = 0; i < 8; i++)
        learn(("2001:db8:" + std::to_string(i) + "::").c_str());
    int i = 0;
    for (ugwd_prefix *p : list_records<&ugwd_prefix::link>(&tn->prefixes))
        p->last -= i++ == 3 ? 500 : 100;
    learn("2001:db8:8::");
    std::vector<std::string> got = prefixes();
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(std::count(got.begin(), got.end(), "2001:db8:3::/64 86400"), 0);
    EXPECT_EQ(got.back(), "2001:db8:8::/64 86400");
}

// A double of the RADIUS session: the authorization, then the station's MAC.
struct session_double {
    radius_entry *e;
    explicit session_double(const char *portal)
        : e(static_cast<radius_entry *>(calloc(1, sizeof(radius_entry) + 16)))
    {
        e->authz.captive_portal = const_cast<char *>(portal);
        memcpy(e->mac, station_a.data(), 6);
    }
    ~session_double() { free(e); }
};

std::vector<bytes> options_of(const bytes &frame, size_t from)
{
    std::vector<bytes> out;
    for (size_t off = from; off + 2 <= frame.size() && frame[off + 1];) {
        size_t len = frame[off + 1] * 8u;
        out.emplace_back(frame.begin() + off, frame.begin() + std::min(frame.size(), off + len));
        off += len;
    }
    return out;
}

TEST_F(Nd, CaptivePortalOptionReplacesThoseTheRouterSent)
{
    const char *url = "https://portal.example.net/welcome?x=1";
    session_double session(url);
    fa->session = session.e;
    const bytes slla = {1, 1, 2, 0xee, 0xee, 0xee, 0xee, 0x01};
    bytes old37 = {37, 2, 'h', 't', 't', 'p', ':', '/', '/', 'o', 'l', 'd', 0, 0, 0, 0};
    bytes in = ra(cat({old37, slla, prefix_opt("2001:db8::", 64, 0xc0, 86400), old37}));

    packet *p = frame(in, UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fa, p), -1);
    bytes out = data(p);
    bytes want37 = cat({{37, 5}, bytes(url, url + strlen(url))});
    want37.resize(40);
    std::vector<bytes> opts = options_of(out, 54 + 16);
    ASSERT_EQ(opts.size(), 3u);
    EXPECT_EQ(opts[0], slla);
    EXPECT_EQ(opts[1][0], 3);
    EXPECT_EQ(opts[2], want37);
    EXPECT_EQ(get16(out, 18), out.size() - 54);
    EXPECT_EQ(icmp6_sum(router_ll, all_nodes, bytes(out.begin() + 54, out.end())), 0xffff);
    EXPECT_EQ(prefixes().size(), 1u);

    // No room behind the frame: the router's options go, none is added.
    packet *tight = frame(in, UGWD_SNOOP_TO_STATION, 0);
    EXPECT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fa, tight), -1);
    EXPECT_EQ(logged("Insuffient space 88 bytes to add Captive-Portal NDP RA option for client "
                     "02:11:22:33:44:55"),
              1u);
    bytes small = data(tight);
    EXPECT_EQ(options_of(small, 54 + 16).size(), 2u);
    EXPECT_EQ(icmp6_sum(router_ll, all_nodes, bytes(small.begin() + 54, small.end())), 0xffff);

    // Without a portal URL the frame is left as it came.
    session.e->authz.captive_portal = nullptr;
    packet *plain = frame(in, UGWD_SNOOP_TO_STATION);
    EXPECT_EQ(ugwd_icmpv6_snoop(nullptr, tn, fa, plain), -1);
    EXPECT_EQ(data(plain), in);
    fa->session = nullptr;

    if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
    std::string pcap = write_pcap(dir + "/ra.pcap", {out});
    std::string fields = run("tshark -r " + pcap +
                             " -n -T fields -E separator=, -E aggregator=+ -e ipv6.plen -e icmpv6.type"
                             " -e icmpv6.checksum.status -e icmpv6.opt.type"
                             " -e icmpv6.opt.captive_portal 2>/dev/null");
    EXPECT_EQ(fields, std::to_string(out.size() - 54) + ",134,1,1+3+37," + url + "\n");
}

} // namespace
