// Management messages as the daemon and the utility frame them: the header,
// the catalogue of types with their fixed sizes and list parts, and the size
// function both sides check messages with. Fields are in host byte order: both
// ends run on one host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum ctl_msg_type : uint32_t {
    CTL_STATUS = 0,
    CTL_GET_MEMPOOL = 1,
    CTL_NEW_MEMPOOL = 2,
    CTL_DUMP_MEMPOOLS = 3,
    CTL_MEMPOOLS = 4,
    CTL_GET_FABRIC = 5,
    CTL_NEW_FABRIC = 6,
    CTL_GET_XSK = 7,
    CTL_NEW_XSK = 8,
    CTL_GET_CONTROL = 9,
    CTL_ADD_CONTROL = 10,
    CTL_NEW_CONTROL = 11,
    CTL_REMOVE_CONTROL = 12,
    CTL_DELETE_CONTROL = 13,
    CTL_MODIFY_CONTROL = 14,
    CTL_DUMP_CONTROLS = 15,
    CTL_CONTROLS = 16,
    CTL_GET_PORT = 17,
    CTL_ADD_PORT = 18,
    CTL_NEW_PORT = 19,
    CTL_REMOVE_PORT = 20,
    CTL_DELETE_PORT = 21,
    CTL_MODIFY_PORT = 22,
    CTL_DUMP_PORTS = 23,
    CTL_PORTS = 24,
    CTL_GET_SOCKET = 25,
    CTL_ADD_SOCKET = 26,
    CTL_NEW_SOCKET = 27,
    CTL_REMOVE_SOCKET = 28,
    CTL_DELETE_SOCKET = 29,
    CTL_DUMP_SOCKETS = 30,
    CTL_SOCKETS = 31,
    CTL_GET_NAS = 32,
    CTL_ADD_NAS = 33,
    CTL_NEW_NAS = 34,
    CTL_REMOVE_NAS = 35,
    CTL_DELETE_NAS = 36,
    CTL_MODIFY_NAS = 37,
    CTL_DUMP_NASES = 38,
    CTL_NASES = 39,
    CTL_GET_HOSTSET = 40,
    CTL_ADD_HOSTSET = 41,
    CTL_NEW_HOSTSET = 42,
    CTL_REMOVE_HOSTSET = 43,
    CTL_DELETE_HOSTSET = 44,
    CTL_ADD_HOST = 45,
    CTL_REMOVE_HOST = 46,
    CTL_DUMP_HOSTSETS = 47,
    CTL_HOSTSETS = 48,
    CTL_GET_FILTER = 49,
    CTL_ADD_FILTER = 50,
    CTL_NEW_FILTER = 51,
    CTL_REMOVE_FILTER = 52,
    CTL_DELETE_FILTER = 53,
    CTL_ADD_RULE = 54,
    CTL_REMOVE_RULE = 55,
    CTL_DUMP_FILTERS = 56,
    CTL_FILTERS = 57,
    CTL_GET_SERVICE = 58,
    CTL_ADD_SERVICE = 59,
    CTL_NEW_SERVICE = 60,
    CTL_REMOVE_SERVICE = 61,
    CTL_DELETE_SERVICE = 62,
    CTL_MODIFY_SERVICE = 63,
    CTL_RENAME_SERVICE = 64,
    CTL_DUMP_SERVICES = 65,
    CTL_SERVICES = 66,
    CTL_GET_VAP = 67,
    CTL_NEW_VAP = 68,
    CTL_DELETE_VAP = 69,
    CTL_DUMP_VAPS = 70,
    CTL_VAPS = 71,
    CTL_GET_TUNNEL = 72,
    CTL_NEW_TUNNEL = 73,
    CTL_DELETE_TUNNEL = 74,
    CTL_DUMP_TUNNELS = 75,
    CTL_TUNNELS = 76,
    CTL_GET_FLOW = 77,
    CTL_NEW_FLOW = 78,
    CTL_DELETE_FLOW = 79,
    CTL_DUMP_FLOWS = 80,
    CTL_FLOWS = 81,
    CTL_GET_ACCESS = 82,
    CTL_NEW_ACCESS = 83,
    CTL_DUMP_ACCESSES = 84,
    CTL_ACCESSES = 85,
    CTL_GET_KEY = 86,
    CTL_NEW_KEY = 87,
    CTL_DUMP_KEYS = 88,
    CTL_KEYS = 89,
    CTL_CLEAR_CACHE = 90,
    CTL_GET_FTAUTH = 91,
    CTL_NEW_FTAUTH = 92,
    CTL_DUMP_FTAUTHS = 93,
    CTL_FTAUTHS = 94,
    CTL_DUMP_LEASES = 95,
    CTL_LEASES = 96,
    CTL_WRITE_LEASES = 97,
    CTL_DUMP_LEASES6 = 98,
    CTL_LEASES6 = 99,
    CTL_WRITE_LEASES6 = 100,
    CTL_DUMP_GROUPS = 101,
    CTL_GROUPS = 102,
    CTL_DUMP_GROUPS6 = 103,
    CTL_GROUPS6 = 104,
};

constexpr uint32_t CTL_MSG_TYPES = 105;

// The header of every message; the type's payload `u` follows at CTL_MSG_PAYLOAD.
struct ctl_msg {
    uint32_t type;
    uint32_t status; // request: CTL_F_* flags; reply and event: an errno value, 0 = success
};
static_assert(sizeof(ctl_msg) == 8);
static_assert(offsetof(ctl_msg, status) == 4);

constexpr size_t CTL_MSG_PAYLOAD = 8;

enum : uint32_t {
    CTL_F_FORCE = 0x1, // an existing record is the one to use; a missing one is removed already
};

// Plain list replies: `num_mibs`, then the rows.
struct ctl_list {
    ctl_msg hdr;
    uint32_t num_mibs;
};
static_assert(sizeof(ctl_list) == 12);
static_assert(offsetof(ctl_list, num_mibs) == 8);

// Services, VAPs, Tunnels and Flows: `num_mibs`, a reserved word sent as 0, then the rows.
struct ctl_list_ext {
    ctl_msg hdr;
    uint32_t num_mibs;
    uint32_t reserved;
};
static_assert(sizeof(ctl_list_ext) == 16);
static_assert(offsetof(ctl_list_ext, reserved) == 12);

// Records and blocks the messages carry, by their sizes on the wire.
enum : uint32_t {
    CTL_REC_MEMPOOL = 80,
    CTL_REC_MEMPOOL_SITE = 44,
    CTL_REC_FABRIC = 48,
    CTL_REC_XSK = 60,
    CTL_REC_CONTROL = 448,
    CTL_REC_PORT = 48,
    CTL_REC_SOCKET = 56,
    CTL_REC_NAS = 256,
    CTL_REC_NAS_AUTH = 2 * 164,
    CTL_REC_NAS_ACCT = 2 * 152,
    CTL_REC_NAS_DAS = 2 * 208,
    CTL_REC_HOST = 260,
    CTL_REC_HOSTSET_ID = 4,
    CTL_REC_RULE = 528, // filter_rule
    CTL_REC_FILTER_NAME = 254,
    CTL_REC_SERVICE = 768,
    CTL_REC_DOT11_CONFIG = 280, // dot11_auth_config
    CTL_REC_ESS_TEMPLATE = 128,
    CTL_REC_SERVICE_COUNTERS = 52,
    CTL_REC_SERVICE_STATS = 64,
    CTL_REC_VAP = 128,
    CTL_REC_TUNNEL = 120,
    CTL_REC_FLOW = 584,
    CTL_REC_FLOW_SOCKET = 56,
    CTL_REC_ACCESS = 1048,
    CTL_REC_PAE_STATUS = 8,
    CTL_REC_FTAUTH = 76,
    CTL_REC_FLOW_STA = 136,
    CTL_REC_KEY = 36,
    CTL_REC_KEY_DETAIL = 320,
    CTL_REC_LEASE = 104,
    CTL_REC_LEASE6 = 112,
    CTL_REC_GROUP = 76,
    CTL_REC_GROUP6 = 88,
};

// Key fields of requests.
enum : uint32_t {
    CTL_KEY_POOL_NAME = 32,
    CTL_KEY_CONTROL_NAME = 256,
    CTL_KEY_NAS_NAME = 254,
    CTL_KEY_FILTER_NAME = 254,
    CTL_KEY_HOST_NAME = 254,
    CTL_KEY_UUID = 16,
    CTL_KEY_MAC = 6,
    CTL_KEY_SOCKADDR = 28,
    CTL_KEY_PMKID = 16,
    CTL_KEY_U32 = 4,
};

// One catalogue row: the name (a 15-byte slot), the size of the header and the
// fixed payload, and for list types the offset of the u32 row count and the row size.
struct ctl_msg_layout {
    char name[15];
    uint16_t size;
    uint16_t count_offset; // 0: not a list
    uint16_t row_size;
};

inline constexpr ctl_msg_layout ctl_msg_catalogue[CTL_MSG_TYPES] = {
    {"Status", 8, 0, 0},
    {"Get-Mempool", 8 + CTL_KEY_POOL_NAME, 0, 0},
    {"New-Mempool", 8 + CTL_REC_MEMPOOL + 4, 8 + CTL_REC_MEMPOOL, CTL_REC_MEMPOOL_SITE},
    {"Dump-Mempools", 8, 0, 0},
    {"Mempools", 12, 8, CTL_REC_MEMPOOL},
    {"Get-Fabric", 8, 0, 0},
    {"New-Fabric", 12, 8, CTL_REC_FABRIC},
    {"Get-XSK", 8, 0, 0},
    {"New-XSK", 12, 8, CTL_REC_XSK},
    {"Get-Control", 8 + CTL_KEY_CONTROL_NAME, 0, 0},
    {"Add-Control", 8 + CTL_REC_CONTROL, 0, 0},
    {"New-Control", 8 + CTL_REC_CONTROL, 0, 0},
    {"Remove-Control", 8 + CTL_KEY_CONTROL_NAME, 0, 0},
    {"Delete-Control", 8 + CTL_REC_CONTROL, 0, 0},
    {"Modify-Control", 8 + CTL_REC_CONTROL, 0, 0},
    {"Dump-Controls", 8, 0, 0},
    {"Controls", 12, 8, CTL_REC_CONTROL},
    {"Get-Port", 8 + CTL_KEY_U32, 0, 0},
    {"Add-Port", 8 + CTL_REC_PORT, 0, 0},
    {"New-Port", 8 + CTL_REC_PORT, 0, 0},
    {"Remove-Port", 8 + CTL_KEY_U32, 0, 0},
    {"Delete-Port", 8 + CTL_REC_PORT, 0, 0},
    {"Modify-Port", 8 + CTL_REC_PORT, 0, 0},
    {"Dump-Ports", 8, 0, 0},
    {"Ports", 12, 8, CTL_REC_PORT},
    {"Get-Socket", 8 + 3 * CTL_KEY_U32, 0, 0},
    {"Add-Socket", 8 + CTL_REC_SOCKET, 0, 0},
    {"New-Socket", 8 + CTL_REC_SOCKET, 0, 0},
    {"Remove-Socket", 8 + 3 * CTL_KEY_U32, 0, 0},
    {"Delete-Socket", 8 + CTL_REC_SOCKET, 0, 0},
    {"Dump-Sockets", 8, 0, 0},
    {"Sockets", 12, 8, CTL_REC_SOCKET},
    {"Get-NAS", 8 + CTL_KEY_NAS_NAME, 0, 0},
    {"Add-NAS", 8 + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT, 0, 0},
    {"New-NAS", 8 + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS, 0, 0},
    {"Remove-NAS", 8 + CTL_KEY_NAS_NAME, 0, 0},
    {"Delete-NAS", 8 + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS, 0, 0},
    {"Modify-NAS", 8 + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT, 0, 0},
    {"Dump-NASes", 8, 0, 0},
    {"NASes", 12, 8, CTL_REC_NAS},
    {"Get-Hostset", 8 + CTL_KEY_U32, 0, 0},
    {"Add-Hostset", 8 + CTL_KEY_U32, 0, 0},
    {"New-Hostset", 16, 12, CTL_REC_HOST},
    {"Remove-Hostset", 8 + CTL_KEY_U32, 0, 0},
    {"Delete-Hostset", 16, 12, CTL_REC_HOST},
    {"Add-Host", 8 + CTL_KEY_U32 + CTL_KEY_HOST_NAME, 0, 0},
    {"Remove-Host", 8 + CTL_KEY_U32 + CTL_KEY_HOST_NAME, 0, 0},
    {"Dump-Hostsets", 8, 0, 0},
    {"Hostsets", 12, 8, CTL_REC_HOSTSET_ID},
    {"Get-Filter", 8 + CTL_KEY_NAS_NAME + CTL_KEY_FILTER_NAME, 0, 0},
    {"Add-Filter", 8 + CTL_KEY_NAS_NAME + CTL_KEY_FILTER_NAME, 0, 0},
    {"New-Filter", 12, 8, CTL_REC_RULE},
    {"Remove-Filter", 8 + CTL_KEY_NAS_NAME + CTL_KEY_FILTER_NAME, 0, 0},
    {"Delete-Filter", 12, 8, CTL_REC_RULE},
    {"Add-Rule", 8 + CTL_KEY_NAS_NAME + CTL_KEY_FILTER_NAME + CTL_KEY_U32 + CTL_REC_RULE, 0, 0},
    {"Remove-Rule", 8 + CTL_KEY_NAS_NAME + CTL_KEY_FILTER_NAME + CTL_KEY_U32, 0, 0},
    {"Dump-Filters", 8 + CTL_KEY_NAS_NAME, 0, 0},
    {"Filters", 12, 8, CTL_REC_FILTER_NAME},
    {"Get-Service", 8 + CTL_KEY_UUID, 0, 0},
    {"Add-Service", 8 + CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE, 0, 0},
    {"New-Service", 1300, 0, 0},
    {"Remove-Service", 8 + CTL_KEY_UUID, 0, 0},
    {"Delete-Service", 1300, 0, 0},
    {"Modify-Service", 8 + CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE, 0, 0},
    {"Rename-Service", 8 + 2 * CTL_KEY_UUID, 0, 0},
    {"Dump-Services", 8, 0, 0},
    {"Services", 16, 8, CTL_REC_SERVICE},
    {"Get-VAP", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"New-VAP", 8 + CTL_REC_VAP + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE, 0, 0},
    {"Delete-VAP", 8 + CTL_REC_VAP + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE, 0, 0},
    {"Dump-VAPs", 8 + CTL_KEY_UUID, 0, 0},
    {"VAPs", 16, 8, CTL_REC_VAP},
    {"Get-Tunnel", 8 + CTL_KEY_UUID + CTL_KEY_SOCKADDR, 0, 0},
    {"New-Tunnel", 8 + CTL_REC_TUNNEL, 0, 0},
    {"Delete-Tunnel", 8 + CTL_REC_TUNNEL, 0, 0},
    {"Dump-Tunnels", 8 + CTL_KEY_UUID, 0, 0},
    {"Tunnels", 16, 8, CTL_REC_TUNNEL},
    {"Get-Flow", 8 + CTL_KEY_SOCKADDR + 2 * CTL_KEY_MAC, 0, 0},
    {"New-Flow", 1924, 1920, CTL_REC_RULE},
    {"Delete-Flow", 1924, 1920, CTL_REC_RULE},
    {"Dump-Flows", 8 + CTL_KEY_UUID + CTL_KEY_SOCKADDR + 2 * CTL_KEY_MAC, 0, 0},
    {"Flows", 16, 8, CTL_REC_FLOW},
    {"Get-Access", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"New-Access", 8 + CTL_REC_ACCESS + 4, 8 + CTL_REC_ACCESS, CTL_REC_RULE},
    {"Dump-Accesses", 8 + CTL_KEY_NAS_NAME + CTL_KEY_UUID, 0, 0},
    {"Accesses", 12, 8, CTL_REC_ACCESS},
    {"Get-Key", 8 + CTL_KEY_UUID + CTL_KEY_PMKID, 0, 0},
    {"New-Key", 8 + CTL_REC_KEY + 4 + CTL_REC_KEY_DETAIL, 0, 0},
    {"Dump-Keys", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Keys", 12, 8, CTL_REC_KEY},
    {"Clear-Cache", 8 + CTL_KEY_NAS_NAME + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Get-FTAuth", 8 + CTL_KEY_UUID + 2 * CTL_KEY_MAC, 0, 0},
    {"New-FTAuth", 8 + CTL_REC_FTAUTH, 0, 0},
    {"Dump-FTAuths", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"FTAuths", 12, 8, CTL_REC_FTAUTH},
    {"Dump-Leases", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Leases", 12, 8, CTL_REC_LEASE},
    {"Write-Leases", 8, 0, 0},
    {"Dump-Leases6", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Leases6", 12, 8, CTL_REC_LEASE6},
    {"Write-Leases6", 8, 0, 0},
    {"Dump-Groups", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Groups", 12, 8, CTL_REC_GROUP},
    {"Dump-Groups6", 8 + CTL_KEY_UUID + CTL_KEY_MAC, 0, 0},
    {"Groups6", 12, 8, CTL_REC_GROUP6},
};

// The message sizes as the protocol fixes them; the catalogue above is built
// from the fields, so a wrong field width shows here.
constexpr uint16_t ctl_fixed_size(uint32_t type)
{
    return ctl_msg_catalogue[type].size;
}
static_assert(ctl_fixed_size(CTL_GET_MEMPOOL) == 40 && ctl_fixed_size(CTL_NEW_MEMPOOL) == 92);
static_assert(ctl_msg_catalogue[CTL_NEW_MEMPOOL].count_offset == 88);
static_assert(ctl_fixed_size(CTL_GET_CONTROL) == 264 && ctl_fixed_size(CTL_ADD_CONTROL) == 456);
static_assert(ctl_fixed_size(CTL_NEW_CONTROL) == 456 && ctl_fixed_size(CTL_REMOVE_CONTROL) == 264);
static_assert(ctl_fixed_size(CTL_GET_PORT) == 12 && ctl_fixed_size(CTL_ADD_PORT) == 56);
static_assert(ctl_fixed_size(CTL_GET_SOCKET) == 20 && ctl_fixed_size(CTL_ADD_SOCKET) == 64);
static_assert(ctl_fixed_size(CTL_GET_NAS) == 262 && ctl_fixed_size(CTL_ADD_NAS) == 896);
static_assert(ctl_fixed_size(CTL_NEW_NAS) == 1312 && ctl_fixed_size(CTL_MODIFY_NAS) == 896);
static_assert(ctl_fixed_size(CTL_ADD_HOST) == 266 && ctl_fixed_size(CTL_NEW_HOSTSET) == 16);
static_assert(ctl_msg_catalogue[CTL_NEW_HOSTSET].count_offset == 12);
static_assert(ctl_fixed_size(CTL_GET_FILTER) == 516 && ctl_fixed_size(CTL_ADD_RULE) == 1048);
static_assert(ctl_fixed_size(CTL_REMOVE_RULE) == 520 && ctl_fixed_size(CTL_DUMP_FILTERS) == 262);
static_assert(ctl_fixed_size(CTL_GET_SERVICE) == 24 && ctl_fixed_size(CTL_ADD_SERVICE) == 1184);
static_assert(8 + CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE +
                  CTL_REC_SERVICE_COUNTERS + CTL_REC_SERVICE_STATS ==
              1300);
static_assert(ctl_fixed_size(CTL_RENAME_SERVICE) == 40 && ctl_fixed_size(CTL_SERVICES) == 16);
static_assert(ctl_fixed_size(CTL_GET_VAP) == 30 && ctl_fixed_size(CTL_NEW_VAP) == 544);
static_assert(ctl_fixed_size(CTL_DUMP_VAPS) == 24 && ctl_fixed_size(CTL_GET_TUNNEL) == 52);
static_assert(ctl_fixed_size(CTL_NEW_TUNNEL) == 128 && ctl_fixed_size(CTL_GET_FLOW) == 48);
static_assert(8 + CTL_REC_FLOW + CTL_REC_FLOW_SOCKET + CTL_REC_ACCESS + CTL_REC_PAE_STATUS +
                  CTL_REC_FTAUTH + 4 + CTL_REC_FLOW_STA ==
              1920);
static_assert(ctl_msg_catalogue[CTL_NEW_FLOW].count_offset == 1920 &&
              ctl_msg_catalogue[CTL_DELETE_FLOW].count_offset == 1920);
static_assert(ctl_fixed_size(CTL_DUMP_FLOWS) == 64 && ctl_fixed_size(CTL_GET_ACCESS) == 30);
static_assert(ctl_fixed_size(CTL_NEW_ACCESS) == 1060 &&
              ctl_msg_catalogue[CTL_NEW_ACCESS].count_offset == 1056);
static_assert(ctl_fixed_size(CTL_DUMP_ACCESSES) == 278 && ctl_fixed_size(CTL_GET_KEY) == 40);
static_assert(ctl_fixed_size(CTL_NEW_KEY) == 368 && ctl_fixed_size(CTL_DUMP_KEYS) == 30);
static_assert(ctl_fixed_size(CTL_CLEAR_CACHE) == 284 && ctl_fixed_size(CTL_GET_FTAUTH) == 36);
static_assert(ctl_fixed_size(CTL_NEW_FTAUTH) == 84 && ctl_fixed_size(CTL_DUMP_FTAUTHS) == 30);
static_assert(ctl_fixed_size(CTL_DUMP_LEASES) == 30 && ctl_fixed_size(CTL_DUMP_GROUPS6) == 30);

// Every list type's count sits right before its rows, and every plain list
// reply other than the four extended ones counts at offset 8 with rows from 12.
constexpr bool ctl_catalogue_sound()
{
    for (uint32_t t = 0; t < CTL_MSG_TYPES; t++) {
        const ctl_msg_layout &l = ctl_msg_catalogue[t];
        if (l.size < 8 || l.name[0] == '\0' || l.name[14] != '\0')
            return false;
        if (l.count_offset && l.count_offset + 4 > l.size)
            return false;
        bool ext = t == CTL_SERVICES || t == CTL_VAPS || t == CTL_TUNNELS || t == CTL_FLOWS;
        if (ext && (l.count_offset != 8 || l.size != 16))
            return false;
        if (l.count_offset && !ext && l.count_offset + 4 != l.size)
            return false;
        if ((l.count_offset != 0) != (l.row_size != 0))
            return false;
    }
    return true;
}
static_assert(ctl_catalogue_sound());

// The ten event types, in the order of the gateway's subscriber lists.
inline constexpr uint32_t ctl_event_group[10] = {
    CTL_NEW_CONTROL, CTL_DELETE_CONTROL, CTL_NEW_SERVICE, CTL_DELETE_SERVICE, CTL_NEW_VAP,
    CTL_DELETE_VAP,  CTL_NEW_TUNNEL,     CTL_DELETE_TUNNEL, CTL_NEW_FLOW,    CTL_DELETE_FLOW,
};
constexpr unsigned CTL_EVENT_GROUPS = 10;

// The group of an event type, or -1.
constexpr int ctl_event_group_index(uint32_t type)
{
    for (unsigned i = 0; i < CTL_EVENT_GROUPS; i++)
        if (ctl_event_group[i] == type)
            return static_cast<int>(i);
    return -1;
}
static_assert(ctl_event_group_index(CTL_NEW_SERVICE) == 2 && ctl_event_group_index(CTL_GET_FLOW) == -1);

// The record an event starts with, as the utility hands it on.
constexpr uint32_t ctl_event_record_size(uint32_t type)
{
    switch (type) {
    case CTL_NEW_CONTROL:
    case CTL_DELETE_CONTROL:
        return CTL_REC_CONTROL;
    case CTL_NEW_SERVICE:
    case CTL_DELETE_SERVICE:
        return CTL_REC_SERVICE;
    case CTL_NEW_VAP:
    case CTL_DELETE_VAP:
        return CTL_REC_VAP;
    case CTL_NEW_TUNNEL:
    case CTL_DELETE_TUNNEL:
        return CTL_REC_TUNNEL;
    case CTL_NEW_FLOW:
    case CTL_DELETE_FLOW:
        return CTL_REC_FLOW;
    default:
        return 0;
    }
}

// Host-order fields at any offset of a message buffer.
inline uint32_t ctl_get32(const void *msg, size_t offset)
{
    uint32_t v;
    memcpy(&v, static_cast<const uint8_t *>(msg) + offset, sizeof(v));
    return v;
}

inline void ctl_put32(void *msg, size_t offset, uint32_t v)
{
    memcpy(static_cast<uint8_t *>(msg) + offset, &v, sizeof(v));
}

// The size the message must have, judged from its first len bytes: 0 below 4
// bytes; the fixed size (8 for a type beyond the catalogue) while the fixed
// part is incomplete; else the fixed size plus the rows its count announces,
// UINT32_MAX when that does not fit 32 bits.
uint32_t ctl_msg_size(const void *msg, size_t len);
