#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gateway/fernrelayd_msg.h"

namespace {

// The protocol's size table as the wire defines it, written out once more by
// hand: type, fixed body, count offset (0: none), element size, count width.
struct row {
    uint32_t type;
    uint32_t body;
    uint32_t count_at;
    uint32_t element;
    uint32_t width;
};

const row wire_table[] = {
    {0, 0, 0, 0, 0},     {1, 4, 8, 1, 4},     {2, 84, 88, 44, 4},   {3, 0, 0, 0, 0},
    {4, 4, 8, 80, 4},    {5, 0, 0, 0, 0},     {6, 4, 8, 48, 4},     {7, 0, 0, 0, 0},
    {8, 4, 8, 60, 4},    {9, 152, 0, 0, 0},   {10, 152, 0, 0, 0},   {11, 4, 0, 0, 0},
    {12, 152, 0, 0, 0},  {13, 152, 0, 0, 0},  {14, 4, 0, 0, 0},     {15, 0, 0, 0, 0},
    {16, 8, 8, 152, 4},  {17, 80, 0, 0, 0},   {18, 80, 0, 0, 0},    {19, 28, 0, 0, 0},
    {20, 80, 0, 0, 0},   {21, 28, 0, 0, 0},   {22, 0, 0, 0, 0},     {23, 8, 8, 80, 4},
    {24, 348, 352, 12, 4}, {25, 344, 0, 0, 0}, {26, 4, 0, 0, 0},    {27, 344, 0, 0, 0},
    {28, 4, 0, 0, 0},    {29, 0, 0, 0, 0},    {30, 8, 8, 344, 4},   {31, 408, 0, 0, 0},
    {32, 408, 0, 0, 0},  {33, 12, 0, 0, 0},   {34, 408, 0, 0, 0},   {35, 408, 0, 0, 0},
    {36, 12, 0, 0, 0},   {37, 0, 0, 0, 0},    {38, 8, 8, 408, 4},   {39, 12, 0, 0, 0},
    {40, 16, 20, 6, 4},  {41, 4, 8, 6, 4},    {42, 19, 0, 0, 0},    {43, 19, 0, 0, 0},
    {44, 19, 0, 0, 0},   {45, 6, 0, 0, 0},    {46, 6, 0, 0, 0},     {47, 6, 0, 0, 0},
    {48, 4, 0, 0, 0},    {49, 4, 0, 0, 0},    {50, 4, 0, 0, 0},     {51, 12, 0, 0, 0},
    {52, 232, 0, 0, 0},  {53, 4, 0, 0, 0},    {54, 140, 0, 0, 0},   {55, 136, 0, 0, 0},
    {56, 4, 0, 0, 0},    {57, 480, 0, 0, 0},  {58, 472, 0, 0, 0},   {59, 4, 0, 0, 0},
    {60, 8, 12, 1, 4},   {61, 4, 8, 1, 4},    {62, 4, 0, 0, 0},     {63, 136, 0, 0, 0},
    {64, 128, 0, 0, 0},  {65, 4, 0, 0, 0},    {66, 24, 0, 0, 0},    {67, 20, 0, 0, 0},
    {68, 8, 0, 0, 0},    {69, 14, 0, 0, 0},   {70, 4, 8, 6, 4},     {71, 8, 0, 0, 0},
    {72, 12, 16, 1, 4},  {73, 4, 8, 260, 4},  {74, 4, 0, 0, 0},     {75, 4, 8, 100, 4},
    {76, 4, 0, 0, 0},    {77, 128, 0, 0, 0},  {78, 16, 0, 0, 0},    {79, 448, 0, 0, 0},
    {80, 432, 0, 0, 0},  {81, 16, 0, 0, 0},   {82, 136, 0, 0, 0},   {83, 92, 0, 0, 0},
    {84, 18, 0, 0, 0},   {85, 22, 29, 1, 1},  {86, 16, 0, 0, 0},    {87, 17, 0, 0, 0},
    {88, 17, 0, 0, 0},   {89, 8, 0, 0, 0},    {90, 16, 0, 0, 0},    {91, 40, 0, 0, 0},
    {92, 24, 0, 0, 0},   {93, 16, 0, 0, 0},   {94, 20, 24, 80, 4},  {95, 4, 8, 80, 4},
    {96, 16, 0, 0, 0},   {97, 20, 24, 528, 4}, {98, 4, 8, 528, 4},  {99, 16, 0, 0, 0},
    {100, 20, 24, 1, 4}, {101, 4, 8, 1, 4},   {102, 4, 0, 0, 0},    {103, 16, 0, 0, 0},
    {104, 18, 0, 0, 0},  {105, 16, 0, 0, 0},  {106, 16, 0, 0, 0},
};
static_assert(sizeof(wire_table) / sizeof(wire_table[0]) == 107);

std::vector<uint8_t> message(uint32_t type, size_t len)
{
    std::vector<uint8_t> m(len < 4 ? 4 : len, 0);
    frl_store32(m.data(), type);
    m.resize(len);
    return m;
}

void put_count(std::vector<uint8_t> &m, const row &r, uint32_t count)
{
    if (r.width == 1)
        m[r.count_at] = static_cast<uint8_t>(count);
    else
        frl_store32(m.data() + r.count_at, count);
}

TEST(FernrelaydMsg, EveryTypeFixedAndCountedSizes)
{
    for (const row &r : wire_table) {
        SCOPED_TRACE(r.type);
        size_t fixed = 8 + r.body;
        EXPECT_EQ(frlc_msg_fixed_size(r.type), fixed);
        // A message holding exactly its fixed part, count 0.
        auto m = message(r.type, fixed);
        EXPECT_EQ(fernrelayd_msg_size(m.data(), m.size()), fixed);
        if (!r.count_at) {
            // Bytes past the fixed part change nothing for fixed types.
            auto longer = message(r.type, fixed + 100);
            memset(longer.data() + 8, 0xff, longer.size() - 8);
            EXPECT_EQ(fernrelayd_msg_size(longer.data(), longer.size()), fixed);
            continue;
        }
        uint32_t count = r.width == 1 ? 255 : 3;
        put_count(m, r, count);
        EXPECT_EQ(fernrelayd_msg_size(m.data(), m.size()), fixed + uint64_t(count) * r.element);
        // One byte short of the fixed part: the count is not read.
        EXPECT_EQ(fernrelayd_msg_size(m.data(), fixed - 1), fixed);
        if (r.width == 4) {
            // The largest count stays far above anything receivable instead of
            // wrapping to a small size that a short message would pass.
            put_count(m, r, UINT32_MAX);
            uint64_t size = fernrelayd_msg_size(m.data(), m.size());
            EXPECT_EQ(size, fixed + uint64_t(UINT32_MAX) * r.element);
            EXPECT_GT(size, uint64_t(UINT32_MAX));
        }
    }
}

TEST(FernrelaydMsg, EdgeCases)
{
    struct {
        const char *what;
        uint32_t type;
        size_t len;
        uint32_t count_at, count, width;
        uint64_t size;
    } cases[] = {
        {"type 107", 107, 64, 0, 0, 0, 8},
        {"type 0xffffffff", 0xffffffffu, 8, 0, 0, 0, 8},
        {"ack", 0, 8, 0, 0, 0, 8},
        {"key of 32 bytes", 85, 62, 29, 32, 1, 62},
        {"node with 3 entries", 24, 392, 352, 3, 4, 392},
        {"mempool with 2 entries", 2, 180, 88, 2, 4, 180},
        // The fixed part of type 38 is 16 bytes (an 8-byte body): no count read.
        {"4 bytes of type 38", 38, 4, 0, 0, 0, 16},
        {"4 bytes of type 41", 41, 4, 0, 0, 0, 12},
        {"no type at hand", 0, 2, 0, 0, 0, 8},
        {"empty", 0, 0, 0, 0, 0, 8},
        // 0x80000000 x 528 wraps to 0 in 32 bits: the full size must not.
        {"ip rules wrapping count", 97, 28, 24, 0x80000000u, 4, 28 + 0x80000000ull * 528},
        {"mac rules wrapping count", 94, 28, 24, 0x33333334u, 4, 28 + 0x33333334ull * 80},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto m = message(c.type, c.len < 400 ? 400 : c.len);
        if (c.width == 1)
            m[c.count_at] = static_cast<uint8_t>(c.count);
        else if (c.width == 4)
            frl_store32(m.data() + c.count_at, c.count);
        EXPECT_EQ(fernrelayd_msg_size(m.data(), c.len), c.size);
    }
}

TEST(FernrelaydMsg, RequestInitZeroesTheFixedPart)
{
    uint8_t buf[400];
    memset(buf, 0xaa, sizeof(buf));
    frlc_request_init(buf, FRL_MSG_ADD_NODE);
    EXPECT_EQ(frl_load32(buf), 24u);
    for (size_t i = 4; i < 356; i++)
        ASSERT_EQ(buf[i], 0) << i;
    EXPECT_EQ(buf[356], 0xaa);
    EXPECT_EQ(fernrelayd_msg_size(buf, 356), 356u);
}

TEST(FernrelaydMsg, FlowIdsAndNames)
{
    flow_id id;
    const uint8_t addr[4] = {192, 0, 2, 1};
    const uint8_t unicast[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const uint8_t group[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    char text[FRLC_FLOW_ID_TEXT];
    frlc_flow_id_ipv4(&id, 7, addr, unicast, 99);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "0207c0000201-021122334455");
    frlc_flow_id_ipv4(&id, 7, addr, group, 0x01020304);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "0207c0000201-030001020304");
    const uint8_t zero[6] = {}, bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    frlc_flow_id_pair(&id, zero, bcast);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "000000000000-ffffffffffff");

    // The hashed forms, against a separate murmur3 (the tree reads its blocks
    // big-endian) and SHA-256 (Python's hashlib).
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    frlc_flow_id_ipv6(&id, 0x1234, v6, unicast, 0);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "0200498e8f63-021122334455");
    frlc_flow_id_ipv6(&id, 0x1234, v6, group, 5);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "0200498e8f63-030000000005");
    const uint8_t station[6] = {0x00, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    const uint8_t secret[] = {'s', 'e', 'c', 'r', 'e', 't'};
    frlc_flow_id_derive(&id, unicast, station, secret, sizeof(secret), 0);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "021122334455-2a761e9dfa04");
    frlc_flow_id_derive(&id, unicast, group, secret, sizeof(secret), 9);
    EXPECT_STREQ(frlc_flow_id_format(&id, text), "021122334455-030000000009");

    EXPECT_STREQ(frlc_encap_name(0), "");
    EXPECT_STREQ(frlc_encap_name(1), "IEEE 802.11");
    EXPECT_STREQ(frlc_encap_name(2), "Radiotap");
    EXPECT_STREQ(frlc_encap_name(3), "Ethernet");
    EXPECT_STREQ(frlc_encap_name(4), "IP");
    EXPECT_STREQ(frlc_encap_name(5), "Unknown encap");
}

TEST(FernrelaydMsg, PortCounterRules)
{
    frl_port cur = {}, base = {};
    // Settings: the current record lacks the middle one and the u16.
    frl_store16(cur.b, static_cast<uint16_t>(5u << 13 | 0u << 10 | 1u << 7));
    frl_store16(base.b, static_cast<uint16_t>(2u << 13 | 6u << 10 | 3u << 7));
    frl_store16(base.b + 2, 1500);
    frl_store32(cur.b + 4, 10);
    frl_store32(base.b + 4, 3);
    frl_store32(cur.b + 16, 1);
    frl_store32(base.b + 16, 2); // a counter that went back wraps as unsigned
    frl_store64(cur.b + 24, 0x100000000ull);
    frl_store64(base.b + 24, 1); // borrow across the halves
    frl_store64(cur.b + 48, 5);
    EXPECT_FALSE(frlc_port_counters_ge(&cur, &base));
    frl_port later = cur;
    frl_store32(later.b + 16, 2);
    EXPECT_TRUE(frlc_port_counters_ge(&later, &base));
    EXPECT_TRUE(frlc_port_counters_ge(&later, &later));

    frlc_mib_merge(&cur, &base);
    EXPECT_EQ(frl_load16(cur.b), 5u << 13 | 6u << 10 | 1u << 7);
    EXPECT_EQ(frl_load16(cur.b + 2), 1500u);
    EXPECT_EQ(frl_load32(cur.b + 4), 7u);
    EXPECT_EQ(frl_load32(cur.b + 16), 0xffffffffu);
    EXPECT_EQ(frl_load64(cur.b + 24), 0xffffffffull);
    EXPECT_EQ(frl_load64(cur.b + 48), 5u);

    // 64-bit counters compare by the sign of their difference: a counter
    // that wrapped past 2^64 is still ahead.
    frl_port a = {}, b = {};
    frl_store64(a.b + 32, 2);
    frl_store64(b.b + 32, UINT64_MAX - 1);
    EXPECT_TRUE(frlc_port_counters_ge(&a, &b));
    EXPECT_FALSE(frlc_port_counters_ge(&b, &a));
}

} // namespace
