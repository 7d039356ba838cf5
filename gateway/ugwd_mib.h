// Conversions of the daemon's state into management records and controller
// values: authorization records, counter deltas, transport names, port
// addresses, flow reasons, tunnel keys, sorted MAC sets and lease resets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "controller/ulmex_codec.h"
#include "gateway/fernrelayd_msg.h"
#include "gateway/ugwd_table.h"

struct filter_rule;
struct frlc;
struct radius_authz;

struct ugwd_mib_access {
    uint32_t ulmexAutzMaxBandwidthUp;
    uint32_t ulmexAutzMaxBandwidthDown;
    uint32_t ulmexAutzMaxVolumeUp;
    uint32_t ulmexAutzMaxVolumeDown;
    uint32_t ulmexAutzMaxDuration;
    uint32_t ulmexAutzUpdateInterval;
    uint8_t ulmexAutzTerminationAction;
    uint8_t ulmexAuthentication;
    uint16_t ulmexAutzVlanId;
    char ulmexAutzRedirectUrl[254];
    char ulmexAutzCaptivePortal[254];
    char ulmexAutzUserName[254];
    char ulmexAutzChargeableUserId[254];
    uint8_t ulmexAutzFilterRulesLength;
    uint8_t pad[3];
};
static_assert(sizeof(ugwd_mib_access) == 1048);
static_assert(offsetof(ugwd_mib_access, ulmexAutzRedirectUrl) == 28);
static_assert(offsetof(ugwd_mib_access, ulmexAutzChargeableUserId) == 790);
static_assert(offsetof(ugwd_mib_access, ulmexAutzFilterRulesLength) == 1044);

void ugwd_mib_fill_access(ugwd_mib_access *out, const radius_authz *a);
// Copies min(count, room) rules; returns the authorization's rule count.
uint32_t ugwd_mib_copy_rules(filter_rule *out, uint32_t room, const radius_authz *a);

struct ugwd_conv_counters {
    uint32_t c[6];
    uint64_t octets[2];
};
static_assert(sizeof(ugwd_conv_counters) == 40);

void ugwd_conv_counter_delta(ugwd_conv_counters *rec, const ugwd_conv_counters *older);
const char *ugwd_tunnel_transport_name(uint8_t transport);
void ugwd_sockaddr_to_port_address(ulmex_port_address *out, const sockaddr *sa);
void ugwd_port_address_to_sockaddr(ugwd_sockaddr *out, const ulmex_port_address *pa);
uint8_t ugwd_flow_reason(uint16_t reason);
void ugwd_tunnel_key_expand(uint8_t out[16], const uint8_t session_key[32]);
// Sorted set of 6-byte MACs: 0, or -1 when the array cannot grow.
int ugwd_ctl_insert_mac(Ary *macs, const uint8_t mac[6]);
int ugwd_ctl_get_dp_groups(frlc *client, const flow_id *id, Ary *macs);
void ugwd_lease_reset(ugwd_lease_rec *r);
void ugwd_lease6_reset(ugwd_lease6_rec *r);

struct ugwd_pair {
    uintptr_t first;
    uintptr_t second;
};
void ugwd_pair_set(ugwd_pair *p, uintptr_t first, uintptr_t second);
