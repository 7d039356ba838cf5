// Snooping of the frames the data plane diverts to the daemon: the dispatcher
// over the built-in rule sets and the handlers it hands a frame to. Every
// handler takes (vap, tunnel, flow, frame), may rewrite the frame in place, and
// returns 0 when the flow's address or group state changed (the caller then
// runs the flow's housekeeping at once), -1 otherwise. Frames come from
// untrusted stations and networks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gateway/ugwd_table.h"

#include "common/packet.h"

struct filter_rule;

// Which way a diverted frame travels, as the data plane's class tells it; the
// frame router stores it in the frame before dispatching. Server messages
// count only towards a station, client messages only from one.
enum : uint8_t {
    UGWD_SNOOP_TO_STATION = 2,
    UGWD_SNOOP_FROM_STATION = 3,
};
inline void ugwd_snoop_set_class(packet *frame, uint8_t cls)
{
    frame->user8[0] = cls;
}
inline bool ugwd_snoop_from_station(const packet *frame)
{
    return frame->user8[0] == UGWD_SNOOP_FROM_STATION;
}
inline bool ugwd_snoop_to_station(const packet *frame)
{
    return frame->user8[0] == UGWD_SNOOP_TO_STATION;
}

// Index of the first rule that matches the Ethernet frame, or -1.
int ugwd_match_rules(packet *frame, const filter_rule *rules, unsigned count);
// The handler of the first rule set that matches, or -1 when none does.
int ugwd_service_input_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame);
// 0 and the DHCP client's hardware address for a DHCP frame, else -1.
int ugwd_service_snoop_dhcp_relay(packet *frame, uint8_t mac[6]);

// A DHCP frame: its IPv4 and UDP headers, the message, its length and type
// (option 53). 0, or -1 for anything else (fragments and bad checksums too).
int ugwd_dhcp_parse(packet *frame, uint8_t **ip, uint8_t **udp, uint8_t **msg, size_t *len,
                    uint8_t *type);
// The client hardware address of a DHCP frame: 0, or -1.
int ugwd_dhcp_client_mac(packet *frame, uint8_t mac[6]);
int ugwd_dhcp_rxh_mangle(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame);
int ugwd_dhcpv6_rxh_mangle(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame);
// Neighbour discovery and MLD.
int ugwd_icmpv6_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame);
int ugwd_igmp_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame);
