#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/filter/radius_filter_rules.h"

namespace {

// A RADIUS packet of the given attributes (type, value) after a 20-byte header.
struct radius_packet {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(20, 0);
    std::vector<size_t> offsets;

    radius_packet &add(uint8_t type, const std::string &value)
    {
        offsets.push_back(bytes.size());
        bytes.push_back(type);
        bytes.push_back(static_cast<uint8_t>(value.size() + 2));
        bytes.insert(bytes.end(), value.begin(), value.end());
        bytes[2] = static_cast<uint8_t>(bytes.size() >> 8);
        bytes[3] = static_cast<uint8_t>(bytes.size());
        return *this;
    }
    std::span<const uint8_t> attr(size_t i) const
    {
        return std::span<const uint8_t>(bytes).subspan(offsets[i], bytes[offsets[i] + 1]);
    }
};

std::string print(const filter_rule &r)
{
    char buf[FILTER_RULE_TEXT_MAX];
    return filter_rule_print(&r, buf, sizeof(buf));
}

using namespace std::string_literals;

TEST(RadiusFilterRules, RulesSplitAcrossAttributes)
{
    radius_packet p;
    p.add(1, "user")
        .add(92, "permit in ip from any to any\0deny out 17 from "s)
        .add(92, "10.0.0.0/8 to any 53");
    radius_filter_rules st;
    radius_filter_rules_init(&st, p.bytes);
    EXPECT_EQ(st.count, 2);
    EXPECT_EQ(st.split, 1);
    filter_rule rules[2];
    EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), rules, 2), 0);
    ASSERT_EQ(radius_filter_rules_decode(&st, p.attr(1), rules, 2), 1);
    EXPECT_EQ(print(rules[0]), "permit in ip from any to any");
    ASSERT_EQ(radius_filter_rules_decode(&st, p.attr(2), rules, 2), 1);
    EXPECT_EQ(print(rules[0]), "deny out 17 from 10.0.0.0/8 to any 53");
    // Every counted attribute is consumed: one more is not from this packet.
    EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(2), rules, 2), -1);
}

TEST(RadiusFilterRules, OneRulePerAttribute)
{
    radius_packet p;
    p.add(92, "permit in ip from any to any").add(92, "deny in 6 from any to any 22");
    radius_filter_rules st;
    radius_filter_rules_init(&st, p.bytes);
    EXPECT_EQ(st.split, 0);
    filter_rule r;
    EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), &r, 1), 1);
    EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(1), &r, 1), 1);
    EXPECT_EQ(print(r), "deny in 6 from any to any 22");
    EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(1), nullptr, 0), 1);
}

TEST(RadiusFilterRules, FailuresNeverDropRulesSilently)
{
    filter_rule rules[4];
    radius_filter_rules st;
    {
        SCOPED_TRACE("no room for the rule");
        radius_packet p;
        p.add(92, "deny in ip from any to any");
        radius_filter_rules_init(&st, p.bytes);
        errno = 0;
        EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), rules, 0), -1);
        EXPECT_EQ(errno, ENOSPC);
    }
    {
        SCOPED_TRACE("two rules, room for one");
        radius_packet p;
        p.add(92, "permit in ip from any to any\0deny in ip from any to any"s);
        radius_filter_rules_init(&st, p.bytes);
        errno = 0;
        EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), rules, 1), -1);
        EXPECT_EQ(errno, ENOSPC);
        radius_filter_rules_init(&st, p.bytes);
        EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), rules, 4), 2);
    }
    {
        SCOPED_TRACE("lenient-only rule in a RADIUS attribute");
        radius_packet p;
        p.add(92, "pass in ip from any to any");
        radius_filter_rules_init(&st, p.bytes);
        EXPECT_EQ(radius_filter_rules_decode(&st, p.attr(0), rules, 4), -1);
    }
    {
        SCOPED_TRACE("more text than the buffer holds");
        radius_packet p;
        p.add(92, "permit in ip from any to any\0deny in ip "s);
        for (int i = 0; i < 5; i++)
            p.add(92, std::string(250, ' '));
        radius_filter_rules_init(&st, p.bytes);
        std::vector<int> r;
        for (size_t i = 0; i < 6; i++)
            r.push_back(radius_filter_rules_decode(&st, p.attr(i), nullptr, 0));
        EXPECT_EQ(r, (std::vector<int>{1, 0, 0, 0, 0, -1}));
    }
    {
        SCOPED_TRACE("length field beyond the datagram");
        radius_packet p;
        p.add(92, "permit in ip from any to any").add(92, "deny in ip from any to any");
        std::vector<uint8_t> cut(p.bytes.begin(), p.bytes.begin() + static_cast<long>(p.offsets[1]) + 5);
        radius_filter_rules_init(&st, cut);
        EXPECT_EQ(st.count, 1);
    }
    {
        SCOPED_TRACE("attribute shorter than its header");
        const uint8_t bad[] = {92, 1};
        EXPECT_EQ(radius_filter_rules_decode(&st, bad, rules, 4), -1);
        const uint8_t other[] = {1, 3, 'x'};
        EXPECT_EQ(radius_filter_rules_decode(&st, other, rules, 4), 0);
    }
}

} // namespace
