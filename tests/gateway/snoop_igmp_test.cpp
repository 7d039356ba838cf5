// IGMP and MLD snooping driven with crafted reports: joins, leaves, version 3
// and MLDv2 record lists, the Ethernet addresses of the memberships, and the
// reports that must change nothing (malformed, forged, not multicast, on a
// service that does not snoop).
#include <algorithm>
#include <string>
#include <vector>

#include "tests/gateway/snoop_fixture.h"

namespace {

using namespace snoop_test;

// Ethernet, IPv4 with the Router Alert option, and the IGMP message, both
// checksums made right.
bytes igmp_frame(bytes msg, const bytes &dst = ip4("224.0.0.22"))
{
    put16(msg, 2, 0);
    put16(msg, 2, static_cast<uint16_t>(~fold(msg)));
    size_t total = 24 + msg.size();
    bytes ip = cat({{0x46, 0xc0, uint8_t(total >> 8), uint8_t(total), 0, 0, 0x40, 0, 1, 2, 0, 0},
                    ip4("10.0.0.7"), dst, {0x94, 0x04, 0, 0}});
    put16(ip, 10, static_cast<uint16_t>(~fold(ip)));
    return cat({{0x01, 0x00, 0x5e, 0, 0, 0x16}, station_a, {0x08, 0x00}, ip, msg});
}

bytes igmp_msg(uint8_t type, const char *group)
{
    return cat({{type, 0, 0, 0}, ip4(group)});
}

bytes igmp3(std::initializer_list<bytes> records)
{
    bytes m = {0x22, 0, 0, 0, 0, 0, 0, uint8_t(records.size())};
    for (const auto &r : records)
        m.insert(m.end(), r.begin(), r.end());
    return m;
}

bytes igmp3_record(uint8_t type, const char *group, std::vector<const char *> sources = {})
{
    bytes r = cat({{type, 0, 0, uint8_t(sources.size())}, ip4(group)});
    for (const char *s : sources)
        r = cat({r, ip4(s)});
    return r;
}

bytes mld_frame(bytes msg)
{
    return icmp6_frame({0x33, 0x33, 0, 0, 0, 0x16}, station_a, ip6("fe80::211:22ff:fe33:4455"),
                       ip6("ff02::16"), 1, std::move(msg), {0, 0, 5, 2, 0, 0, 1, 0});
}

bytes mld1(uint8_t type, const char *group)
{
    return cat({{type, 0, 0, 0, 0, 0, 0, 0}, ip6(group)});
}

bytes mld2(std::initializer_list<bytes> records)
{
    bytes m = {143, 0, 0, 0, 0, 0, 0, uint8_t(records.size())};
    for (const auto &r : records)
        m.insert(m.end(), r.begin(), r.end());
    return m;
}

bytes mld2_record(uint8_t type, const char *group, std::vector<const char *> sources = {})
{
    bytes r = cat({{type, 0, 0, uint8_t(sources.size())}, ip6(group)});
    for (const char *s : sources)
        r = cat({r, ip6(s)});
    return r;
}

class Groups : public Snoop {
protected:
    int igmp(const bytes &b, uint8_t cls = UGWD_SNOOP_FROM_STATION, ugwd_flow *f = nullptr)
    {
        return ugwd_igmp_snoop(nullptr, tn, f ? f : fa, frame(b, cls));
    }
    int mld(const bytes &b, uint8_t cls = UGWD_SNOOP_FROM_STATION)
    {
        return ugwd_icmpv6_snoop(nullptr, tn, fa, frame(b, cls));
    }

    // Group, Ethernet address and timeout of each membership.
    std::vector<std::string> groups4()
    {
        std::vector<std::string> out;
        for (ugwd_group *g : list_records<&ugwd_group::link>(&fa->groups)) {
            char t[INET_ADDRSTRLEN], e[18];
            const uint8_t *m = g->ether;
            snprintf(e, sizeof(e), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
            out.push_back(std::string(inet_ntop(AF_INET, g->group, t, sizeof(t))) + " " + e + " " +
                          std::to_string(g->timeout));
        }
        return out;
    }
    std::vector<std::string> groups6()
    {
        std::vector<std::string> out;
        for (ugwd_group6 *g : list_records<&ugwd_group6::link>(&fa->groups6)) {
            char t[INET6_ADDRSTRLEN], e[18];
            const uint8_t *m = g->ether;
            snprintf(e, sizeof(e), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
            out.push_back(std::string(inet_ntop(AF_INET6, g->group, t, sizeof(t))) + " " + e + " " +
                          std::to_string(g->timeout));
        }
        return out;
    }
    void sweep()
    {
        ugwd_ctl_delete_groups(fa);
    }
};

using list = std::vector<std::string>;

TEST_F(Groups, IgmpReportsAndLeavesMakeAndMarkMemberships)
{
    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x16, "239.1.1.1"))), 0);
    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x16, "239.129.1.1"))), 0);
    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x12, "224.1.2.3"))), 0);
    EXPECT_EQ(ctl_test::logged("IGMP membership report from 02:11:22:33:44:55"), 3u);
    EXPECT_EQ(groups4(), (list{"239.1.1.1 01:00:5e:01:01:01 260", "239.129.1.1 01:00:5e:01:01:01 260",
                               "224.1.2.3 01:00:5e:01:02:03 260"}));

    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x17, "239.1.1.1"))), 0);
    EXPECT_EQ(ctl_test::logged("IGMP leave group from 02:11:22:33:44:55"), 1u);
    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x17, "239.9.9.9"))), -1); // never joined
    EXPECT_EQ(groups4()[0], "239.1.1.1 01:00:5e:01:01:01 0");

    // The left membership goes at the next sweep; the others get indexed.
    EXPECT_EQ(ugwd_ctl_expire_groups(fa), 3);
    EXPECT_EQ(groups4().size(), 2u);
    EXPECT_EQ(ugwd_table_count_groups(ctl->table), 2u);
}

TEST_F(Groups, Igmp3RecordsJoinOrLeaveEachTheirGroup)
{
    EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x16, "239.0.0.1"))), 0);
    bytes cut = igmp3({igmp3_record(4, "239.0.0.5"), igmp3_record(4, "239.0.0.6")});
    cut.resize(cut.size() - 4);
    bytes count_beyond = igmp3({igmp3_record(2, "239.0.0.7")});
    count_beyond[7] = 9;
    struct {
        const char *what;
        bytes msg;
        int result;
        list joined; // among the memberships afterwards
        size_t count;
    } cases[] = {
        {"TO_IN without sources leaves, TO_EX joins",
         igmp3({igmp3_record(3, "239.0.0.1"), igmp3_record(4, "239.0.0.2")}), 0,
         {"239.0.0.1 01:00:5e:00:00:01 0", "239.0.0.2 01:00:5e:00:00:02 260"}, 2},
        {"IS_IN with a source joins", igmp3({igmp3_record(1, "239.0.0.3", {"10.1.1.1"})}), 0,
         {"239.0.0.3 01:00:5e:00:00:03 260"}, 3},
        {"record type 7 ignored", igmp3({igmp3_record(7, "239.0.0.4")}), -1, {}, 3},
        {"groups outside 224/4 ignored",
         igmp3({igmp3_record(4, "10.0.0.1"), igmp3_record(2, "255.255.255.255")}), -1, {}, 3},
        {"last record cut short", cut, 0, {"239.0.0.5 01:00:5e:00:00:05 260"}, 4},
        {"count beyond the records", count_beyond, 0, {"239.0.0.7 01:00:5e:00:00:07 260"}, 5},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(igmp(igmp_frame(c.msg)), c.result);
        list got = groups4();
        EXPECT_EQ(got.size(), c.count);
        for (const auto &g : c.joined)
            EXPECT_NE(std::find(got.begin(), got.end(), g), got.end()) << g;
    }
    EXPECT_EQ(ctl_test::logged("IGMPv3 membership report from 02:11:22:33:44:55"), 6u);
}

TEST_F(Groups, UnsoundIgmpChangesNothing)
{
    bytes ok = igmp_frame(igmp_msg(0x16, "239.1.1.1"));
    bytes bad_ip = ok, bad_igmp = ok, fragment = ok, long_total = ok, short_igmp = ok;
    bad_ip[14 + 10] ^= 1;
    bad_igmp[14 + 24 + 2] ^= 1;
    fragment[14 + 6] = 0x20; // more fragments; both checksums still right
    put16(fragment, 14 + 10, 0);
    {
        bytes ip(fragment.begin() + 14, fragment.begin() + 38);
        put16(fragment, 14 + 10, static_cast<uint16_t>(~fold(ip)));
    }
    long_total[14 + 3] += 4;
    // Four bytes of IGMP: type, code and a checksum, no group.
    short_igmp = igmp_frame({0x16, 0, 0, 0});
    bytes unicast = igmp_frame(igmp_msg(0x16, "10.1.1.1"));
    bytes query = igmp_frame(igmp_msg(0x11, "0.0.0.0"));
    struct {
        const char *what;
        bytes frame;
        uint8_t cls;
    } cases[] = {
        {"IP header checksum wrong", bad_ip, UGWD_SNOOP_FROM_STATION},
        {"IGMP checksum wrong", bad_igmp, UGWD_SNOOP_FROM_STATION},
        {"a fragment", fragment, UGWD_SNOOP_FROM_STATION},
        {"total length past the frame", long_total, UGWD_SNOOP_FROM_STATION},
        {"four bytes of IGMP", short_igmp, UGWD_SNOOP_FROM_STATION},
        {"unicast group", unicast, UGWD_SNOOP_FROM_STATION},
        {"a query", query, UGWD_SNOOP_FROM_STATION},
        {"towards the station", ok, UGWD_SNOOP_TO_STATION},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(igmp(c.frame, c.cls), -1);
    }
    EXPECT_EQ(ugwd_igmp_snoop(nullptr, tn, nullptr, frame(ok, UGWD_SNOOP_FROM_STATION)), -1);
    EXPECT_EQ(ugwd_igmp_snoop(nullptr, other_tn, fa, frame(ok, UGWD_SNOOP_FROM_STATION)), -1);
    EXPECT_TRUE(groups4().empty());
}

TEST_F(Groups, MldReportsAndDonesMakeAndMarkMemberships)
{
    EXPECT_EQ(mld(mld_frame(mld1(131, "ff02::1:ff00:1234"))), 0);
    EXPECT_EQ(ctl_test::logged("MLDv1 listener report from 02:11:22:33:44:55"), 1u);
    EXPECT_EQ(groups6(), (list{"ff02::1:ff00:1234 33:33:ff:00:12:34 260"}));
    EXPECT_EQ(mld(mld_frame(mld1(132, "ff02::1:ff00:1234"))), 0);
    EXPECT_EQ(ctl_test::logged("MLDv1 listener done from 02:11:22:33:44:55"), 1u);
    EXPECT_EQ(groups6(), (list{"ff02::1:ff00:1234 33:33:ff:00:12:34 0"}));

    bytes cut = mld2({mld2_record(4, "ff05::2"), mld2_record(4, "ff05::3")});
    cut.resize(cut.size() - 8);
    EXPECT_EQ(mld(mld_frame(mld2({mld2_record(3, "ff05::1"), mld2_record(4, "ff0e::1:3"),
                                  mld2_record(1, "ff05::4", {"2001:db8::1"}), mld2_record(9, "ff05::5"),
                                  mld2_record(4, "2001:db8::9")}))),
              0);
    EXPECT_EQ(mld(mld_frame(cut)), 0);
    EXPECT_EQ(ctl_test::logged("MLDv2 listener report from 02:11:22:33:44:55"), 2u);
    EXPECT_EQ(groups6(), (list{"ff02::1:ff00:1234 33:33:ff:00:12:34 0", "ff0e::1:3 33:33:00:01:00:03 260",
                               "ff05::4 33:33:00:00:00:04 260", "ff05::2 33:33:00:00:00:02 260"}));

    // Not from the station, or a malformed report: nothing.
    bytes bad = mld_frame(mld1(131, "ff05::7"));
    bad.back() ^= 1;
    EXPECT_EQ(mld(mld_frame(mld1(131, "ff05::7")), UGWD_SNOOP_TO_STATION), -1);
    EXPECT_EQ(mld(bad), -1);
    EXPECT_EQ(mld(mld_frame(mld1(131, "2001:db8::7"))), -1);
    EXPECT_EQ(groups6().size(), 4u);
}

TEST_F(Groups, OnlyMulticastModesOneAndTwoSnoop)
{
    for (uint8_t mode : {0x00, 0x10, 0x20, 0x30}) {
        SCOPED_TRACE(mode);
        svc->mib.mode = mode;
        sweep();
        int want = mode == 0x10 || mode == 0x20 ? 0 : -1;
        EXPECT_EQ(igmp(igmp_frame(igmp_msg(0x16, "239.1.1.1"))), want);
        EXPECT_EQ(mld(mld_frame(mld1(131, "ff05::1"))), want);
        EXPECT_EQ(groups4().size() + groups6().size(), want ? 0u : 2u);
    }
}

} // namespace
