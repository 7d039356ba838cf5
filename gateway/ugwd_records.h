// A flow's address records and group memberships: DHCP and IPv6 records, the
// SLAAC prefixes of VAPs and tunnels, the expiry sweep of a flow's addresses,
// IGMP and MLD memberships with their sweep, the queries that refresh them and
// the member lists the data plane forwards multicast by. The snoop handlers
// call these; the flow housekeeping runs the sweeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "gateway/ugwd_table.h"

struct mempool;
struct packet;

// Address records (gateway/ugwd_ctl_records.cpp).

// Appended to the flow's list, on no index; null ("Out of buffer space") when
// the pool is out.
ugwd_lease *ugwd_lease_create(ugwd_flow *f);
ugwd_lease6 *ugwd_lease6_create(ugwd_flow *f, const ugwd_prefix *prefix, const uint8_t addr[16]);
// The record must be on no index; unlinked from its list and freed. Null accepted.
void ugwd_service_delete_lease(ugwd_ctl *ctl, ugwd_lease *l);
void ugwd_service_delete_lease6(ugwd_ctl *ctl, ugwd_lease6 *l);
// Dropped from the tables and the lease file, then deleted.
void ugwd_ctl_remove_lease(ugwd_ctl *ctl, ugwd_lease *l);
void ugwd_ctl_remove_lease6(ugwd_ctl *ctl, ugwd_lease6 *l);
ugwd_lease6 *ugwd_ctl_find_lease6_by_ip6(ugwd_ctl *ctl, const uint8_t addr[16]);
const char *ugwd_lease6_kind_name(uint8_t kind);

// The stand-ins for addresses created without a learnt prefix.
extern const ugwd_prefix ugwd_prefix_link_local;
extern const ugwd_prefix ugwd_prefix_dhcpv6;

enum : uint32_t {
    UGWD_PREFIX_MAX = 8, // per VAP or tunnel
    UGWD_FLOW_MAX_LEASES6 = 8,
};

// opt: a 32-byte prefix-information option as it arrived.
void ugwd_prefix_update(ugwd_service *s, list_link *prefixes, const uint8_t opt[32]);
// Removes the prefixes with now - last >= max(valid, t) - t: t = 0 those run
// out, UINT32_MAX all.
void ugwd_prefix_expire(ugwd_ctl *ctl, list_link *prefixes, uint32_t t);
ugwd_prefix *ugwd_prefix_lookup(list_link *prefixes, const uint8_t addr[16]);
void ugwd_lease6_renew_slaac(ugwd_flow *f, ugwd_lease6 *l);

// Count of records removed or re-recorded.
int ugwd_ctl_expire_addresses(ugwd_flow *f);
// Sort comparators over the records' expiry (list_sort offsets point at it):
// the longest-lived first, a record without expiry (0) before all.
int ugwd_ctl_cmp_expiry(const void *a, const void *b);
int ugwd_ctl_cmp_expiry6(const void *a, const void *b);
int ugwd_ctl_cmp_mac(const void *a, const void *b);
// Removes the MAC from a sorted 6-byte MAC array; null when it was not there,
// else where it was.
uint8_t *ugwd_ctl_remove_mac(Ary *macs, const uint8_t mac[6]);

// Group memberships (gateway/ugwd_ctl_group.cpp).

enum : uint32_t {
    // Memberships per flow and family: a station cannot grow the tables,
    // the member lists or the sweeps without bound.
    UGWD_FLOW_MAX_GROUPS = 1024,
    // Member MACs per data-plane request: what one 4092-byte datagram holds.
    UGWD_MCAST_CHUNK = 678,
    UGWD_IGMP_QUERY_LEN = 46,
    UGWD_MLD_QUERY_LEN = 90,
};

ugwd_group *ugwd_group_create(ugwd_flow *f, const uint8_t group[4]);
ugwd_group6 *ugwd_group6_create(ugwd_flow *f, const uint8_t group[16]);
// 0, or -1 when the pool is out or the flow holds its most memberships.
int ugwd_flow_join_group(ugwd_flow *f, const uint8_t group[4]);
int ugwd_flow_join_group6(ugwd_flow *f, const uint8_t group[16]);
// 0 when the flow has the membership (its timeout becomes 0), else -1.
int ugwd_flow_leave_group(ugwd_flow *f, const uint8_t group[4]);
int ugwd_flow_leave_group6(ugwd_flow *f, const uint8_t group[16]);
// Memberships removed or newly indexed.
int ugwd_ctl_expire_groups(ugwd_flow *f);
// The membership must be on no index; unlinked and freed.
void ugwd_service_delete_group(ugwd_ctl *ctl, ugwd_group *g);
void ugwd_service_delete_group6(ugwd_ctl *ctl, ugwd_group6 *g);
// Every membership of the flow off the indexes and deleted.
void ugwd_ctl_delete_groups(ugwd_flow *f);
// Memberships of this client on this service held by another flow move here.
void ugwd_ctl_take_groups(ugwd_flow *f);
// The age of the flow's oldest report and the seconds until its first
// membership runs out (UINT32_MAX when it has none).
void ugwd_ctl_group_ages(const ugwd_flow *f, uint32_t *oldest, uint32_t *first_expiry);

// General queries for the station; null when no buffer is free.
packet *ugwd_service_igmp_query(ugwd_flow *f);
packet *ugwd_service_mld_query(ugwd_flow *f);
// The frames themselves, from the source MAC the flow's queries take.
packet *ugwd_igmp_query_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6]);
packet *ugwd_mld_query_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6]);
void ugwd_ctl_query_groups(ugwd_flow *f, bool igmp, bool mld);
// The member list of the flow's mode in the data plane: 0, or -1 at the first
// failed request.
int ugwd_ctl_update_mcast_groups(ugwd_flow *f);

// Neighbour discovery (gateway/ugwd_nd.cpp) and the frames made for stations.

// The source of frames the daemon makes for a station: the BSSID of an 802.11
// flow, the tunnel interface's own address for an Ethernet flow.
const uint8_t *ugwd_flow_source_mac(const ugwd_flow *f);
enum : uint32_t {
    UGWD_DAD_NA_LEN = 86,
    // How long after a station's duplicate-address probe an advertisement
    // from the network counts as its answer.
    UGWD_DAD_WINDOW_MS = 3000,
};
// The advertisement that fails a station's duplicate-address detection for
// target; null when no buffer is free. ip6: the probe's IPv6 header.
packet *ugwd_dad_na_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                          const uint8_t ip6[40], const uint8_t target[16]);
