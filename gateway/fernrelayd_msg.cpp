#include "gateway/fernrelayd_msg.h"

#include <cstdio>

#include "common/crypto/sha256.h"
#include "common/hashtable.h"

namespace {

constexpr frl_msg_layout fixed(uint16_t body)
{
    return {body, 0, 0, 0};
}

constexpr frl_msg_layout counted(uint16_t body, uint16_t at, uint16_t element, uint8_t width = 4)
{
    return {body, at, element, width};
}

// Indexed by type. The types the daemon neither sends nor reads keep their
// sizes so that any message of the protocol can be measured.
constexpr frl_msg_layout layouts[FRL_MSG_TYPE_MAX + 1] = {
    fixed(0),                 // 0 ack
    counted(4, 8, 1),         // 1 get mempool: name
    counted(84, 88, 44),      // 2 mempool
    fixed(0),                 // 3 dump mempools
    counted(4, 8, 80),        // 4 mempool list
    fixed(0),                 // 5 get fabric
    counted(4, 8, 48),        // 6 fabric
    fixed(0),                 // 7 get xsk
    counted(4, 8, 60),        // 8 xsk
    fixed(152),               // 9 add port
    fixed(152),               // 10 port
    fixed(4),                 // 11 remove port
    fixed(152),               // 12 port removed
    fixed(152),               // 13
    fixed(4),                 // 14
    fixed(0),                 // 15 dump devices
    counted(8, 8, 152),       // 16 device list
    fixed(80),                // 17 add socket
    fixed(80),                // 18 socket
    fixed(28),                // 19 remove socket
    fixed(80),                // 20 socket removed
    fixed(28),                // 21
    fixed(0),                 // 22
    counted(8, 8, 80),        // 23
    counted(348, 352, 12),    // 24 add node
    fixed(344),               // 25 node
    fixed(4),                 // 26 remove node
    fixed(344),               // 27 node removed
    fixed(4),                 // 28
    fixed(0),                 // 29 dump nodes
    counted(8, 8, 344),       // 30 node list
    fixed(408),               // 31 add flow
    fixed(408),               // 32 flow
    fixed(12),                // 33 remove flow
    fixed(408),               // 34 flow removed
    fixed(408),               // 35 modify flow
    fixed(12),                // 36 read flow
    fixed(0),                 // 37 dump flows
    counted(8, 8, 408),       // 38 flow list
    fixed(12),                // 39 get flow groups
    counted(16, 20, 6),       // 40 set flow groups
    counted(4, 8, 6),         // 41 flow group list
    fixed(19),                // 42 frame
    fixed(19),                // 43 frame snoop
    fixed(19),                // 44 frame copy
    fixed(6),                 // 45 diverted packet
    fixed(6),                 // 46 output packet
    fixed(6),                 // 47
    fixed(4),                 // 48
    fixed(4),                 // 49
    fixed(4),                 // 50
    fixed(12),                // 51
    fixed(232),               // 52
    fixed(4),                 // 53
    fixed(140),               // 54
    fixed(136),               // 55
    fixed(4),                 // 56
    fixed(480),               // 57
    fixed(472),               // 58
    fixed(4),                 // 59
    counted(8, 12, 1),        // 60
    counted(4, 8, 1),         // 61
    fixed(4),                 // 62 get vap
    fixed(136),               // 63 set vap
    fixed(128),               // 64 vap
    fixed(4),                 // 65
    fixed(24),                // 66
    fixed(20),                // 67
    fixed(8),                 // 68
    fixed(14),                // 69
    counted(4, 8, 6),         // 70
    fixed(8),                 // 71 get hosts
    counted(12, 16, 1),       // 72 set hosts: text
    counted(4, 8, 260),       // 73 host list
    fixed(4),                 // 74
    counted(4, 8, 100),       // 75
    fixed(4),                 // 76
    fixed(128),               // 77
    fixed(16),                // 78
    fixed(448),               // 79
    fixed(432),               // 80
    fixed(16),                // 81 get flow stats
    fixed(136),               // 82 flow stats
    fixed(92),                // 83 associate
    fixed(18),                // 84 disassociate
    counted(22, 29, 1, 1),    // 85 install key: one-byte key length
    fixed(16),                // 86 activate key
    fixed(17),                // 87 set key state
    fixed(17),                // 88 get tsc
    fixed(8),                 // 89 tsc
    fixed(16),                // 90
    fixed(40),                // 91 set limits
    fixed(24),                // 92
    fixed(16),                // 93
    counted(20, 24, 80),      // 94 set mac rules
    counted(4, 8, 80),        // 95
    fixed(16),                // 96
    counted(20, 24, FRL_IP_RULE_SIZE), // 97 set ip rules
    counted(4, 8, FRL_IP_RULE_SIZE),   // 98
    fixed(16),                // 99
    counted(20, 24, 1),       // 100 set redirect: text
    counted(4, 8, 1),         // 101
    fixed(4),                 // 102 port event
    fixed(16),                // 103 flow event
    fixed(18),                // 104 flow value event
    fixed(16),                // 105 mic failure
    fixed(16),                // 106 quota reached
};

constexpr size_t count_variable()
{
    size_t n = 0;
    for (const auto &l : layouts)
        n += l.count_at != 0;
    return n;
}
static_assert(count_variable() == 25);

// Every count lies inside its type's fixed part, so it is read only from
// bytes the size rule has already required.
constexpr bool counts_inside_fixed()
{
    for (const auto &l : layouts)
        if (l.count_at && l.count_at + l.count_width > FRL_MSG_HDR_SIZE + l.body)
            return false;
    return true;
}
static_assert(counts_inside_fixed());

// The fixed parts of the frames and of the requests the daemon builds.
static_assert(layouts[FRL_MSG_FRAME].body + FRL_MSG_HDR_SIZE == FRL_FRAME_HDR_SIZE);
static_assert(layouts[FRL_MSG_OUTPUT_PACKET].body + FRL_MSG_HDR_SIZE == FRL_PACKET_HDR_SIZE);
static_assert(layouts[FRL_MSG_ADD_NODE].body == FRL_NODE_SIZE + 4);
static_assert(layouts[FRL_MSG_SET_VAP].body == 8 + FRL_VAP_SIZE);
static_assert(layouts[FRL_MSG_ASSOCIATE].body == 4 + sizeof(flow_id) + FRL_ASSOC_SIZE);
static_assert(layouts[FRL_MSG_SET_LIMITS].body == 4 + sizeof(flow_id) + FRL_LIMITS_SIZE);
static_assert(layouts[FRL_MSG_MEMPOOL].body == FRL_POOL_STATS_SIZE + 4);
static_assert(layouts[FRL_MSG_SET_IP_RULES].element == FRL_IP_RULE_SIZE);
static_assert(layouts[FRL_MSG_SET_MAC_RULES].element == FRL_MAC_RULE_SIZE);

} // namespace

const frl_msg_layout *frlc_msg_layout(uint32_t type)
{
    static constexpr frl_msg_layout none = fixed(0);
    return type <= FRL_MSG_TYPE_MAX ? &layouts[type] : &none;
}

size_t frlc_msg_fixed_size(uint32_t type)
{
    return FRL_MSG_HDR_SIZE + frlc_msg_layout(type)->body;
}

uint64_t fernrelayd_msg_size(const void *msg, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(msg);
    if (len < 4)
        return FRL_MSG_HDR_SIZE; // no type to read: never more than a header can be claimed
    const frl_msg_layout *l = frlc_msg_layout(frl_load32(p));
    uint64_t size = FRL_MSG_HDR_SIZE + l->body;
    if (!l->count_at || len < size)
        return size;
    uint64_t count = l->count_width == 1 ? p[l->count_at] : frl_load32(p + l->count_at);
    return size + count * l->element;
}

void frlc_request_init(void *buf, uint32_t type)
{
    memset(buf, 0, frlc_msg_fixed_size(type));
    frl_store32(static_cast<uint8_t *>(buf), type);
}

const char *frlc_encap_name(uint8_t encap)
{
    switch (encap) {
    case FRL_ENCAP_NONE:
        return "";
    case FRL_ENCAP_80211:
        return "IEEE 802.11";
    case FRL_ENCAP_RADIOTAP:
        return "Radiotap";
    case FRL_ENCAP_ETHER:
        return "Ethernet";
    case FRL_ENCAP_IP:
        return "IP";
    default:
        return "Unknown encap";
    }
}

void frlc_flow_id_pair(flow_id *id, const uint8_t first[6], const uint8_t second[6])
{
    memcpy(id->a, first, 6);
    memcpy(id->b, second, 6);
}

namespace {

void second_half(flow_id *id, const uint8_t dest[6], uint32_t number)
{
    if (dest[0] & 0x01) {
        id->b[0] = 3;
        id->b[1] = 0;
        frl_store32(id->b + 2, number);
    } else {
        memcpy(id->b, dest, 6);
    }
}

} // namespace

void frlc_flow_id_ipv4(flow_id *id, uint8_t value, const uint8_t addr[4], const uint8_t dest[6],
                       uint32_t number)
{
    id->a[0] = 2;
    id->a[1] = value;
    memcpy(id->a + 2, addr, 4);
    second_half(id, dest, number);
}

void frlc_flow_id_ipv6(flow_id *id, uint32_t seed, const uint8_t addr[16], const uint8_t dest[6],
                       uint32_t number)
{
    uint32_t h1 = hash_murmur3(addr, 8, seed);
    uint32_t h2 = hash_murmur3(addr + 8, 8, seed);
    id->a[0] = 2;
    id->a[1] = 0;
    frl_store16(id->a + 2, static_cast<uint16_t>(h1 >> 16));
    frl_store16(id->a + 4, static_cast<uint16_t>((h2 ^ (h1 << 16)) >> 16));
    second_half(id, dest, number);
}

void frlc_flow_id_derive(flow_id *id, const uint8_t first[6], const uint8_t dest[6],
                         const uint8_t *key, size_t keylen, uint32_t number)
{
    memcpy(id->a, first, 6);
    if (dest[0] & 0x01) {
        second_half(id, dest, number);
        return;
    }
    sha256_ctx ctx;
    uint8_t digest[32];
    sha256_init(&ctx);
    sha256_update(&ctx, first, 6);
    sha256_update(&ctx, dest, 6);
    sha256_update(&ctx, key, keylen);
    sha256_final(&ctx, digest);
    memcpy(id->b, digest, 6);
    id->b[0] = static_cast<uint8_t>((id->b[0] | 0x02) & ~0x01);
}

const char *frlc_flow_id_format(const flow_id *id, char out[FRLC_FLOW_ID_TEXT])
{
    snprintf(out, FRLC_FLOW_ID_TEXT, "%08x%04x-%08x%04x", frl_load32(id->a), frl_load16(id->a + 4),
             frl_load32(id->b), frl_load16(id->b + 4));
    return out;
}

namespace {

constexpr size_t port_u32_counters[] = {4, 8, 12, 16};
constexpr size_t port_u64_counters[] = {24, 32, 40, 48};
constexpr unsigned port_setting_shifts[] = {13, 10, 7};

} // namespace

void frlc_mib_merge(frl_port *current, const frl_port *baseline)
{
    uint8_t *c = current->b;
    const uint8_t *b = baseline->b;
    uint16_t word = frl_load16(c);
    uint16_t base = frl_load16(b);
    for (unsigned shift : port_setting_shifts) {
        uint16_t mask = static_cast<uint16_t>(7u << shift);
        if (!(word & mask))
            word = static_cast<uint16_t>(word | (base & mask));
    }
    frl_store16(c, word);
    if (frl_load16(c + 2) == 0)
        frl_store16(c + 2, frl_load16(b + 2));
    for (size_t at : port_u32_counters)
        frl_store32(c + at, frl_load32(c + at) - frl_load32(b + at));
    for (size_t at : port_u64_counters)
        frl_store64(c + at, frl_load64(c + at) - frl_load64(b + at));
}

bool frlc_port_counters_ge(const frl_port *first, const frl_port *second)
{
    for (size_t at : port_u32_counters)
        if (frl_load32(first->b + at) < frl_load32(second->b + at))
            return false;
    for (size_t at : port_u64_counters)
        if (static_cast<int64_t>(frl_load64(first->b + at) - frl_load64(second->b + at)) < 0)
            return false;
    return true;
}

void frlc_group_key(uint8_t key[FRL_GROUP_KEY_SIZE], uint16_t kind, uint32_t id, uint8_t value)
{
    frl_store16(key + FRL_GROUP_KEY_KIND, kind);
    frl_store32(key + FRL_GROUP_KEY_ID, id);
    key[FRL_GROUP_KEY_VALUE] = value;
}
