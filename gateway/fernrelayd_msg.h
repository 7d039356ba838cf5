// The data-plane protocol: an 8-byte big-endian header, a fixed body per type,
// a counted variable part for some types, and the records that cross it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/filter/filter_rule.h"

enum : uint32_t {
    FRL_MSG_ACK = 0,
    FRL_MSG_GET_MEMPOOL = 1,
    FRL_MSG_MEMPOOL = 2,
    FRL_MSG_DUMP_MEMPOOLS = 3,
    FRL_MSG_MEMPOOL_LIST = 4,
    FRL_MSG_GET_FABRIC = 5,
    FRL_MSG_FABRIC = 6,
    FRL_MSG_GET_XSK = 7,
    FRL_MSG_XSK = 8,
    FRL_MSG_ADD_PORT = 9,
    FRL_MSG_PORT = 10,
    FRL_MSG_REMOVE_PORT = 11,
    FRL_MSG_PORT_REMOVED = 12,
    FRL_MSG_DUMP_DEVICES = 15,
    FRL_MSG_DEVICE_LIST = 16,
    FRL_MSG_ADD_SOCKET = 17,
    FRL_MSG_SOCKET = 18,
    FRL_MSG_REMOVE_SOCKET = 19,
    FRL_MSG_SOCKET_REMOVED = 20,
    FRL_MSG_ADD_NODE = 24,
    FRL_MSG_NODE = 25,
    FRL_MSG_REMOVE_NODE = 26,
    FRL_MSG_NODE_REMOVED = 27,
    FRL_MSG_DUMP_NODES = 29,
    FRL_MSG_NODE_LIST = 30,
    FRL_MSG_ADD_FLOW = 31,
    FRL_MSG_FLOW = 32,
    FRL_MSG_REMOVE_FLOW = 33,
    FRL_MSG_FLOW_REMOVED = 34,
    FRL_MSG_MODIFY_FLOW = 35,
    FRL_MSG_READ_FLOW = 36,
    FRL_MSG_DUMP_FLOWS = 37,
    FRL_MSG_FLOW_LIST = 38,
    FRL_MSG_GET_FLOW_GROUPS = 39,
    FRL_MSG_SET_FLOW_GROUPS = 40,
    FRL_MSG_FLOW_GROUP_LIST = 41,
    FRL_MSG_FRAME = 42,
    FRL_MSG_FRAME_SNOOP = 43,
    FRL_MSG_FRAME_COPY = 44,
    FRL_MSG_DIVERTED_PACKET = 45,
    FRL_MSG_OUTPUT_PACKET = 46,
    FRL_MSG_GET_VAP = 62,
    FRL_MSG_SET_VAP = 63,
    FRL_MSG_VAP = 64,
    FRL_MSG_GET_HOSTS = 71,
    FRL_MSG_SET_HOSTS = 72,
    FRL_MSG_HOST_LIST = 73,
    FRL_MSG_GET_FLOW_STATS = 81,
    FRL_MSG_FLOW_STATS = 82,
    FRL_MSG_ASSOCIATE = 83,
    FRL_MSG_DISASSOCIATE = 84,
    FRL_MSG_INSTALL_KEY = 85,
    FRL_MSG_ACTIVATE_KEY = 86,
    FRL_MSG_SET_KEY_STATE = 87,
    FRL_MSG_GET_TSC = 88,
    FRL_MSG_TSC = 89,
    FRL_MSG_SET_LIMITS = 91,
    FRL_MSG_SET_MAC_RULES = 94,
    FRL_MSG_SET_IP_RULES = 97,
    FRL_MSG_SET_REDIRECT = 100,
    FRL_MSG_PORT_EVENT = 102,
    FRL_MSG_FLOW_EVENT = 103,
    FRL_MSG_FLOW_VALUE_EVENT = 104,
    FRL_MSG_MIC_FAILURE = 105,
    FRL_MSG_QUOTA_REACHED = 106,
    FRL_MSG_TYPE_MAX = 106,
};

// Wire sizes.
enum : size_t {
    FRL_MSG_HDR_SIZE = 8,
    // One IPC datagram less its 4-byte header: the most the daemon sends.
    FRL_MSG_MAX = 4092,
    FRL_PORT_SIZE = 152,
    FRL_SOCKET_SIZE = 80,
    FRL_SOCKADDR_SIZE = 28,
    FRL_NODE_SIZE = 344,
    FRL_NODE_ENTRY_SIZE = 12,
    FRL_FLOW_SIZE = 408,
    FRL_GROUP_ENTRY_SIZE = 6,
    FRL_VAP_SIZE = 128,
    FRL_HOST_SIZE = 260,
    FRL_FLOW_STATS_SIZE = 136,
    FRL_ASSOC_SIZE = 76,
    FRL_LIMITS_SIZE = 24,
    FRL_MAC_RULE_SIZE = 80,
    FRL_IP_RULE_SIZE = sizeof(filter_rule),
    FRL_POOL_STATS_SIZE = 80,
    FRL_POOL_ENTRY_SIZE = 44,
    FRL_FABRIC_SIZE = 48,
    FRL_XSK_SIZE = 60,
    FRL_TSC_SIZE = 8,
    FRL_FRAME_HDR_SIZE = 27,  // header and body of types 42-44
    FRL_PACKET_HDR_SIZE = 14, // header and body of types 45-46
    FRL_GROUP_KEY_SIZE = 7,
};

// IP rules cross as the filter rule record itself.
static_assert(sizeof(filter_rule) == 528);

// Header byte 7 of types 40 and 72.
enum : uint8_t {
    FRL_LIST_REPLACE = 0,
    FRL_LIST_ADD = 1,
    FRL_LIST_REMOVE = 2,
};

// Header byte 7 of types 94 and 97.
enum : uint8_t {
    FRL_CHUNK_FIRST = 0,
    FRL_CHUNK_MORE = 1,
};

enum : uint8_t {
    FRL_ENCAP_NONE = 0,
    FRL_ENCAP_80211 = 1,
    FRL_ENCAP_RADIOTAP = 2,
    FRL_ENCAP_ETHER = 3,
    FRL_ENCAP_IP = 4,
};

// Notification group kinds.
enum : uint16_t {
    FRL_GROUP_NODE = 1,
    FRL_GROUP_PORT = 3,
    FRL_GROUP_KIND4 = 4,
    FRL_GROUP_KIND6 = 6,
};

// A data-plane flow: two 6-byte halves.
struct flow_id {
    uint8_t a[6];
    uint8_t b[6];
};
static_assert(sizeof(flow_id) == 12);

// Records whose inner layout is the data plane's: the daemon passes them as
// bytes and reads or writes the few fields it knows through the helpers below.
struct frl_port {
    uint8_t b[FRL_PORT_SIZE];
};
struct frl_socket {
    uint8_t b[FRL_SOCKET_SIZE];
};
struct frl_node {
    uint8_t b[FRL_NODE_SIZE];
};
struct frl_flow {
    uint8_t b[FRL_FLOW_SIZE];
};
struct frl_vap {
    uint8_t b[FRL_VAP_SIZE];
};
struct frl_flow_stats {
    uint8_t b[FRL_FLOW_STATS_SIZE];
};
struct frl_pool_stats {
    uint8_t b[FRL_POOL_STATS_SIZE];
};
static_assert(sizeof(frl_port) == 152 && sizeof(frl_socket) == 80 && sizeof(frl_node) == 344 &&
              sizeof(frl_flow) == 408 && sizeof(frl_vap) == 128 && sizeof(frl_flow_stats) == 136 &&
              sizeof(frl_pool_stats) == 80);

// Node records (types 24-27): the data plane writes the node's id over the
// first word of the record it returns; the daemon sets the kind and what the
// kind reads.
enum : size_t {
    FRL_NODE_ID = 0,         // u32
    FRL_NODE_KIND = 4,       // byte
    FRL_NODE_BASE_INDEX = 8, // u32, kind 11: which of a process's two base nodes
};

// Flow records (types 31-38): the fields the daemon fills or reads.
enum : size_t {
    FRL_FLOW_NODE = 12,    // u32, the node the flow belongs to
    FRL_FLOW_ID = 16,      // flow_id
    FRL_FLOW_SETTING = 40, // u32, the service's VNI
    FRL_FLOW_VLAN = 44,    // u16
    FRL_FLOW_MODE_A = 48,  // byte: bits 1-2 broadcast, 3-4 multicast
    FRL_FLOW_MODE_B = 49,  // byte: bits 3-4 and 6-7 from the service's mode, bit 5 unicast replies
    // The port table: entry 0 the UDP/IP side, entry 1 the Ethernet side. An
    // entry opens with a big-endian word whose top three bits are the
    // encapsulation, then the u16 MTU, u32 output packets, input packets,
    // drops and errors at 4-16, and the u64 input and output octets at 24 and 32.
    FRL_FLOW_PORT_TABLE = 192,
    FRL_FLOW_PORT_ENTRY = 56,
};
static_assert(FRL_FLOW_PORT_TABLE + 2 * FRL_FLOW_PORT_ENTRY <= FRL_FLOW_SIZE);

// Notification group keys: the kind, the id of the port or node, a one-byte value.
enum : size_t {
    FRL_GROUP_KEY_KIND = 0,  // u16
    FRL_GROUP_KEY_ID = 2,    // u32
    FRL_GROUP_KEY_VALUE = 6, // byte
};
static_assert(FRL_GROUP_KEY_VALUE + 1 == FRL_GROUP_KEY_SIZE);

// Frame notification and output layout (types 42-44).
enum : size_t {
    FRL_FRAME_NODE = 8,
    FRL_FRAME_FLOW = 12,
    FRL_FRAME_CLASS = 24,
    FRL_FRAME_ENCAP = 25,
    FRL_FRAME_PRIO = 26,
    FRL_PACKET_DEVICE = 8,
    FRL_PACKET_ENCAP = 12,
    FRL_PACKET_PRIO = 13,
};
static_assert(FRL_FRAME_PRIO + 1 == FRL_FRAME_HDR_SIZE && FRL_PACKET_PRIO + 1 == FRL_PACKET_HDR_SIZE);

inline uint16_t frl_load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t frl_load32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline uint64_t frl_load64(const uint8_t *p)
{
    return static_cast<uint64_t>(frl_load32(p)) << 32 | frl_load32(p + 4);
}

inline void frl_store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void frl_store32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void frl_store64(uint8_t *p, uint64_t v)
{
    frl_store32(p, static_cast<uint32_t>(v >> 32));
    frl_store32(p + 4, static_cast<uint32_t>(v));
}

// Where the count of a variable type lies and what it counts.
struct frl_msg_layout {
    uint16_t body;       // fixed body bytes after the header
    uint16_t count_at;   // offset of the count from the message start; 0: not variable
    uint16_t element;    // bytes per counted element
    uint8_t count_width; // 4, or 1 for the key length of type 85
};

// The layout of a type; types above FRL_MSG_TYPE_MAX have an empty body.
const frl_msg_layout *frlc_msg_layout(uint32_t type);

// 8 + the type's body size; 8 for a type above 106.
size_t frlc_msg_fixed_size(uint32_t type);

// The full size of the message: its fixed size, plus count x element for a
// variable type when the fixed part is at hand. Computed in 64 bits, so a huge
// count yields a size no received length reaches instead of wrapping.
uint64_t fernrelayd_msg_size(const void *msg, size_t len);

// Zeroes the type's fixed size of buf and writes the type into bytes 0-3.
void frlc_request_init(void *buf, uint32_t type);

// "IEEE 802.11", "Radiotap", "Ethernet", "IP", "" for none, "Unknown encap".
const char *frlc_encap_name(uint8_t encap);

// Flow ids in the daemon's forms.
void frlc_flow_id_pair(flow_id *id, const uint8_t first[6], const uint8_t second[6]);
// The IPv4 form: 2, the caller's byte, the address; then the destination, or
// for a group destination 3, 0 and the caller's number.
void frlc_flow_id_ipv4(flow_id *id, uint8_t value, const uint8_t addr[4], const uint8_t dest[6],
                       uint32_t number);

// The IPv6 form: 2, 0, then 16 bits of each murmur3 hash of the address's
// halves under the caller's seed; the second half as for IPv4.
void frlc_flow_id_ipv6(flow_id *id, uint32_t seed, const uint8_t addr[16], const uint8_t dest[6],
                       uint32_t number);
// A given first half and a second half derived from it, the destination and
// the caller's key bytes: a locally administered unicast address.
void frlc_flow_id_derive(flow_id *id, const uint8_t first[6], const uint8_t dest[6],
                         const uint8_t *key, size_t keylen, uint32_t number);

// "%08x%04x-%08x%04x" with its NUL: 26 bytes.
enum : size_t { FRLC_FLOW_ID_TEXT = 26 };
const char *frlc_flow_id_format(const flow_id *id, char out[FRLC_FLOW_ID_TEXT]);

// The port record counters: subtract a baseline, compare two records.
void frlc_mib_merge(frl_port *current, const frl_port *baseline);
bool frlc_port_counters_ge(const frl_port *first, const frl_port *second);

// The 7-byte key of a notification group.
void frlc_group_key(uint8_t key[FRL_GROUP_KEY_SIZE], uint16_t kind, uint32_t id, uint8_t value);
