// The service module: services, their VAPs (one per BSSID) and tunnels (one
// per remote peer), created, configured and deleted here and indexed by the
// gateway tables, which the control module fills. Every object comes zeroed
// from its own pool; its number in log lines is its index in that pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/ugwd_stash.h"
#include "gateway/ugwd_table.h"

struct ugwd_ctl;

// The request part that configures a service: the service record, the
// 802.11 configuration and the VAP parameters, as Add- and Modify-Service
// carry them from offset 8.
struct ugwd_service_conf {
    ugwd_service_mib mib;
    dot11_auth_config dot11;
    uint8_t vap_params[UGWD_VAP_PARAMS];
};
static_assert(sizeof(ugwd_service_conf) == 768 + 280 + 128);

// Null with errno: EINVAL for an all-zero UUID or a bad configuration
// (logged), ENOMEM when the pool is out ("Out of buffer space").
// nas: the NAS its 802.1X authentications run through, or null.
ugwd_service *ugwd_service_create(ugwd_ctl *ctl, ugwd_nas *nas, const ugwd_service_conf *conf);
// 0, or -1 with the service's configuration unchanged from step 5 on.
int ugwd_service_configure(ugwd_service *s, ugwd_nas *nas, const ugwd_service_conf *conf);
void ugwd_service_delete(ugwd_service *s);
ssize_t ugwd_service_index(const ugwd_service *s);

// Null with errno EINVAL when the service has no interface to put it on.
ugwd_vap *ugwd_service_create_vap(ugwd_service *s, const uint8_t *bssid, const sockaddr *radio);
ugwd_tunnel *ugwd_service_create_tunnel(ugwd_service *s, uint32_t transport, const sockaddr *peer);
// -1 with EBUSY while flows hang off the object; null is accepted.
int ugwd_service_delete_vap(ugwd_vap *vap);
int ugwd_service_delete_tunnel(ugwd_tunnel *tn);

// One entry of the port table of a data-plane flow record.
struct ugwd_port_entry {
    uint8_t encap;
    uint16_t mtu;
    ugwd_port_stats stats;
};
void ugwd_port_entry_read(ugwd_port_entry *e, const frl_flow *flow, unsigned which);

// Folds new data-plane port statistics into the counters; a report that
// breaks the data plane's own rules (falling counters, zero or inverted
// MTUs) is logged and skipped. 0 when taken, -1 when skipped.
int ugwd_service_update_tunnel(ugwd_tunnel *tn, const ugwd_port_entry *udpip,
                               const ugwd_port_entry *ether);
int ugwd_service_update_vap(ugwd_vap *vap, const ugwd_port_entry *udpip,
                            const ugwd_port_entry *ether, const dot11Counters *counters);
// The output octets less the encapsulation of each output packet, never below 0.
uint64_t ugwd_service_outer_octets(uint64_t octets, uint64_t packets, uint16_t outer_mtu,
                                   uint16_t inner_mtu);

// "%02x...-...": 37 bytes with the NUL.
const char *ugwd_uuid_format(const uint8_t uuid[16], char out[37]);

// Views of the service's key cache for the management commands; mac may be
// null for all stations. Each list copies at most n records and returns how
// many there are.
struct dot11_auth;
struct dot11_key_row;
struct dot11_ft_auth_row;
struct dot1xAuthSessionStats;
uint32_t ugwd_service_dump_keys(ugwd_service *s, const uint8_t *mac, dot11_key_row *rows, uint32_t n);
// 0, or -1 (ENOENT) without a key of that name.
int ugwd_service_get_key(ugwd_service *s, const uint8_t name[16], dot11_key_row *row,
                         dot1xAuthSessionStats *detail);
uint32_t ugwd_service_dump_ftauths(ugwd_service *s, const uint8_t *mac, dot11_ft_auth_row *rows,
                                   uint32_t n);
// The station's FT authentication at the BSS of that BSSID: 0, or -1 (ENOENT).
int ugwd_service_get_ftauth(ugwd_service *s, const uint8_t mac[6], const uint8_t bssid[6],
                            dot11_ft_auth_row *row);
// The station's PMKSAs, or the whole cache without a MAC.
void ugwd_service_clear_pmksas(ugwd_service *s, const uint8_t *mac);
