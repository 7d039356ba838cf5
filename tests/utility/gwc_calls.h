// The 60 request functions as a table: each with its request type, the
// key fields it must send, and a call that passes keys present or absent.
#pragma once

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "utility/gwc.h"

namespace gwc_test
{

enum field_kind {
    F_UUID,
    F_UUID_NEW,
    F_BSSID,
    F_CLIENT,
    F_SOCKADDR,
    F_PMKID,
    F_POOL,
    F_CONTROL_NAME,
    F_NAS,
    F_FILTER,
    F_HOST,
    F_U32,
    F_SOCKET_KEY,
    F_RECORD, // the caller's record, n bytes
};

struct field {
    field_kind kind;
    uint32_t n = 0; // records only
};

// Keys as the test passes them: all present, or all left out.
struct keys {
    bool present;
    const uint8_t *uuid, *uuid_new, *bssid, *client, *pmkid;
    const sockaddr *addr;
    const char *pool, *control, *nas, *filter, *host;
    uint32_t u32;
    uint16_t port;
    uint8_t records[5][1048];

    void *rec(int i) { return present ? records[i] : nullptr; }
};

inline const uint8_t UUID[16] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                 0x18, 0x19, 0x1a, 0x1b, 0x1c, 0x1d, 0x1e, 0x1f};
inline const uint8_t UUID_NEW[16] = {0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
                                     0x28, 0x29, 0x2a, 0x2b, 0x2c, 0x2d, 0x2e, 0x2f};
inline const uint8_t PMKID[16] = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                                  0x38, 0x39, 0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f};
inline const uint8_t BSSID[6] = {0x02, 0, 0, 0, 0xb5, 0x51};
inline const uint8_t CLIENT[6] = {0x02, 0, 0, 0, 0xc1, 0x1e};
constexpr uint32_t U32 = 0x01020304;
constexpr uint16_t PORT = 4789;

inline sockaddr_in6 addr6()
{
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(6081);
    inet_pton(AF_INET6, "2001:db8::7", &a.sin6_addr);
    a.sin6_scope_id = 3;
    return a;
}

inline keys make_keys(bool present, const sockaddr *addr)
{
    keys k;
    memset(&k, 0, sizeof(k));
    k.present = present;
    if (!present) return k;
    k.uuid = UUID;
    k.uuid_new = UUID_NEW;
    k.bssid = BSSID;
    k.client = CLIENT;
    k.pmkid = PMKID;
    k.addr = addr;
    k.pool = "struct radius_entry";
    k.control = "ctl.example";
    k.nas = "nas-1";
    k.filter = "filter-1";
    k.host = ".example.org";
    k.u32 = U32;
    k.port = PORT;
    for (int i = 0; i < 5; i++)
        for (size_t j = 0; j < sizeof(k.records[i]); j++)
            k.records[i][j] = static_cast<uint8_t>(0x40 * (i + 1) + j);
    return k;
}

struct call {
    const char *name;
    uint32_t type;
    std::vector<field> fields;
    std::function<int(gwc_connection *, keys &)> fn;
};

// From the protocol's catalogue and the request table, written out here
// rather than taken from the code under test.
inline std::vector<call> calls()
{
    Ary *none = nullptr;
    auto R = [](uint32_t n) { return field{F_RECORD, n}; };
    return {
        {"get_mempool",
         1,
         {{F_POOL}},
         [=](auto c, keys &k) { return gwc_get_mempool(c, k.pool, k.rec(0), none); }},
        {"dump_mempools", 3, {}, [=](auto c, keys &) { return gwc_dump_mempools(c, none); }},
        {"get_fabric", 5, {}, [=](auto c, keys &) { return gwc_get_fabric(c, none); }},
        {"get_xsk", 7, {}, [=](auto c, keys &) { return gwc_get_xsk(c, none); }},
        {"get_control",
         9,
         {{F_CONTROL_NAME}},
         [](auto c, keys &k) { return gwc_get_control(c, k.control, k.rec(0)); }},
        {"add_control", 10, {R(448)}, [](auto c, keys &k) { return gwc_add_control(c, k.rec(0)); }},
        {"remove_control",
         12,
         {{F_CONTROL_NAME}},
         [](auto c, keys &k) { return gwc_remove_control(c, k.control, k.rec(0)); }},
        {"modify_control",
         14,
         {R(448)},
         [](auto c, keys &k) { return gwc_modify_control(c, k.rec(0)); }},
        {"dump_controls", 15, {}, [=](auto c, keys &) { return gwc_dump_controls(c, none); }},
        {"get_port",
         17,
         {{F_U32}},
         [](auto c, keys &k) { return gwc_get_port(c, k.u32, k.rec(0)); }},
        {"add_port", 18, {R(48)}, [](auto c, keys &k) { return gwc_add_port(c, k.rec(0)); }},
        {"remove_port",
         20,
         {{F_U32}},
         [](auto c, keys &k) { return gwc_remove_port(c, k.u32, k.rec(0)); }},
        {"modify_port", 22, {R(48)}, [](auto c, keys &k) { return gwc_modify_port(c, k.rec(0)); }},
        {"dump_ports", 23, {}, [=](auto c, keys &) { return gwc_dump_ports(c, none); }},
        {"get_socket",
         25,
         {{F_SOCKET_KEY}},
         [](auto c, keys &k) { return gwc_get_socket(c, k.u32, k.u32, k.port, k.rec(0)); }},
        {"add_socket", 26, {R(56)}, [](auto c, keys &k) { return gwc_add_socket(c, k.rec(0)); }},
        {"remove_socket",
         28,
         {{F_SOCKET_KEY}},
         [](auto c, keys &k) { return gwc_remove_socket(c, k.u32, k.u32, k.port, k.rec(0)); }},
        {"dump_sockets", 30, {}, [=](auto c, keys &) { return gwc_dump_sockets(c, none); }},
        {"get_nas",
         32,
         {{F_NAS}},
         [](auto c, keys &k) {
             return gwc_get_nas(c, k.nas, k.rec(0), k.rec(1), k.rec(2), k.rec(3));
         }},
        {"add_nas",
         33,
         {R(256), R(328), R(304)},
         [](auto c, keys &k) { return gwc_add_nas(c, k.rec(0), k.rec(1), k.rec(2), k.rec(3)); }},
        {"remove_nas",
         35,
         {{F_NAS}},
         [](auto c, keys &k) {
             return gwc_remove_nas(c, k.nas, k.rec(0), k.rec(1), k.rec(2), k.rec(3));
         }},
        {"modify_nas",
         37,
         {R(256), R(328), R(304)},
         [](auto c, keys &k) { return gwc_modify_nas(c, k.rec(0), k.rec(1), k.rec(2), k.rec(3)); }},
        {"dump_nases", 38, {}, [=](auto c, keys &) { return gwc_dump_nases(c, none); }},
        {"get_hostset",
         40,
         {{F_U32}},
         [=](auto c, keys &k) { return gwc_get_hostset(c, k.u32, none); }},
        {"add_hostset", 41, {{F_U32}}, [](auto c, keys &k) { return gwc_add_hostset(c, k.u32); }},
        {"remove_hostset",
         43,
         {{F_U32}},
         [=](auto c, keys &k) { return gwc_remove_hostset(c, k.u32, none); }},
        {"add_host",
         45,
         {{F_U32}, {F_HOST}},
         [](auto c, keys &k) { return gwc_add_host(c, k.u32, k.host); }},
        {"remove_host",
         46,
         {{F_U32}, {F_HOST}},
         [](auto c, keys &k) { return gwc_remove_host(c, k.u32, k.host); }},
        {"dump_hostsets", 47, {}, [=](auto c, keys &) { return gwc_dump_hostsets(c, none); }},
        {"get_filter",
         49,
         {{F_NAS}, {F_FILTER}},
         [=](auto c, keys &k) { return gwc_get_filter(c, k.nas, k.filter, none); }},
        {"add_filter",
         50,
         {{F_NAS}, {F_FILTER}},
         [](auto c, keys &k) { return gwc_add_filter(c, k.nas, k.filter); }},
        {"remove_filter",
         52,
         {{F_NAS}, {F_FILTER}},
         [=](auto c, keys &k) { return gwc_remove_filter(c, k.nas, k.filter, none); }},
        {"add_rule",
         54,
         {{F_NAS}, {F_FILTER}, {F_U32}, R(528)},
         [](auto c, keys &k) { return gwc_add_rule(c, k.nas, k.filter, k.u32, k.rec(0)); }},
        {"remove_rule",
         55,
         {{F_NAS}, {F_FILTER}, {F_U32}},
         [](auto c, keys &k) { return gwc_remove_rule(c, k.nas, k.filter, k.u32); }},
        {"dump_filters",
         56,
         {{F_NAS}},
         [=](auto c, keys &k) { return gwc_dump_filters(c, k.nas, none); }},
        {"get_service",
         58,
         {{F_UUID}},
         [](auto c, keys &k) {
             return gwc_get_service(c, k.uuid, k.rec(0), k.rec(1), k.rec(2), k.rec(3), k.rec(4));
         }},
        {"add_service",
         59,
         {R(768), R(280), R(128)},
         [](auto c, keys &k) {
             return gwc_add_service(c, k.rec(0), k.rec(1), k.rec(2), k.rec(3), k.rec(4));
         }},
        {"remove_service",
         61,
         {{F_UUID}},
         [](auto c, keys &k) {
             return gwc_remove_service(c, k.uuid, k.rec(0), k.rec(1), k.rec(2), k.rec(3), k.rec(4));
         }},
        {"modify_service",
         63,
         {R(768), R(280), R(128)},
         [](auto c, keys &k) {
             return gwc_modify_service(c, k.rec(0), k.rec(1), k.rec(2), k.rec(3), k.rec(4));
         }},
        {"rename_service",
         64,
         {{F_UUID}, {F_UUID_NEW}},
         [](auto c, keys &k) {
             return gwc_rename_service(c, k.uuid, k.uuid_new, k.rec(0), k.rec(1), k.rec(2),
                                       k.rec(3), k.rec(4));
         }},
        {"dump_services", 65, {}, [=](auto c, keys &) { return gwc_dump_services(c, none); }},
        {"get_vap",
         67,
         {{F_UUID}, {F_BSSID}},
         [](auto c, keys &k) {
             return gwc_get_vap(c, k.uuid, k.bssid, k.rec(0), k.rec(1), k.rec(2));
         }},
        {"dump_vaps",
         70,
         {{F_UUID}},
         [=](auto c, keys &k) { return gwc_dump_vaps(c, k.uuid, none); }},
        {"get_tunnel",
         72,
         {{F_UUID}, {F_SOCKADDR}},
         [](auto c, keys &k) { return gwc_get_tunnel(c, k.uuid, k.addr, k.rec(0)); }},
        {"dump_tunnels",
         75,
         {{F_UUID}},
         [=](auto c, keys &k) { return gwc_dump_tunnels(c, k.uuid, none); }},
        {"get_flow",
         77,
         {{F_SOCKADDR}, {F_BSSID}, {F_CLIENT}},
         [=](auto c, keys &k) {
             return gwc_get_flow(c, k.addr, k.bssid, k.client, k.rec(0), k.rec(1), k.rec(2),
                                 k.rec(3), k.rec(4), nullptr, none);
         }},
        {"dump_flows",
         80,
         {{F_UUID}, {F_SOCKADDR}, {F_BSSID}, {F_CLIENT}},
         [=](auto c, keys &k) {
             return gwc_dump_flows(c, k.uuid, k.addr, k.bssid, k.client, none);
         }},
        {"get_access",
         82,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_get_access(c, k.uuid, k.client, k.rec(0), none); }},
        {"dump_accesses",
         84,
         {{F_NAS}, {F_UUID}},
         [=](auto c, keys &k) { return gwc_dump_accesses(c, k.nas, k.uuid, none); }},
        {"get_key",
         86,
         {{F_UUID}, {F_PMKID}},
         [](auto c, keys &k) { return gwc_get_key(c, k.uuid, k.pmkid, k.rec(0), k.rec(1)); }},
        {"dump_keys",
         88,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_keys(c, k.uuid, k.client, none); }},
        {"clear_cache",
         90,
         {{F_NAS}, {F_UUID}, {F_CLIENT}},
         [](auto c, keys &k) { return gwc_clear_cache(c, k.nas, k.uuid, k.client); }},
        {"get_ftauth",
         91,
         {{F_UUID}, {F_BSSID}, {F_CLIENT}},
         [](auto c, keys &k) { return gwc_get_ftauth(c, k.uuid, k.bssid, k.client, k.rec(0)); }},
        {"dump_ftauths",
         93,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_ftauths(c, k.uuid, k.client, none); }},
        {"dump_leases",
         95,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_leases(c, k.uuid, k.client, none); }},
        {"write_leases", 97, {}, [](auto c, keys &) { return gwc_write_leases(c); }},
        {"dump_leases6",
         98,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_leases6(c, k.uuid, k.client, none); }},
        {"write_leases6", 100, {}, [](auto c, keys &) { return gwc_write_leases6(c); }},
        {"dump_groups",
         101,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_groups(c, k.uuid, k.client, none); }},
        {"dump_groups6",
         103,
         {{F_UUID}, {F_CLIENT}},
         [=](auto c, keys &k) { return gwc_dump_groups6(c, k.uuid, k.client, none); }},
    };
}

} // namespace gwc_test
