// The snoop dispatcher: a diverted frame tries the built-in rule sets in
// order (DHCP, IGMP, DHCPv6, ICMPv6) and goes to the handler of the first
// set that matches it.
#include <cstring>

#include "common/filter/filter_match.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_snoop.h"

namespace
{

constexpr size_t ETH_HDR = 14;

using snoop_handler = int (*)(ugwd_vap *, ugwd_tunnel *, ugwd_flow *, packet *);

struct snoop_entry {
    ugwd_rule_set_id set;
    snoop_handler handler;
};

constexpr snoop_entry snoop_handlers[] = {
    {UGWD_RULES_DHCP, ugwd_dhcp_rxh_mangle},
    {UGWD_RULES_IGMP, ugwd_igmp_snoop},
    {UGWD_RULES_DHCPV6, ugwd_dhcpv6_rxh_mangle},
    {UGWD_RULES_ICMPV6, ugwd_icmpv6_snoop},
};
static_assert(std::size(snoop_handlers) == UGWD_RULE_SETS);

constexpr bool in_order()
{
    for (unsigned i = 0; i < UGWD_RULE_SETS; i++)
        if (snoop_handlers[i].set != i) return false;
    return true;
}
static_assert(in_order());

int match_set(packet *frame, ugwd_rule_set_id id)
{
    const ugwd_rule_set &s = ugwd_rule_sets[id];
    return ugwd_match_rules(frame, s.rules, s.count);
}

} // namespace

int ugwd_match_rules(packet *frame, const filter_rule *rules, unsigned count)
{
    if (packet_headsize(frame) < ETH_HDR) return -1;
    packet_pull(frame, ETH_HDR);
    memset(frame->meta, 0, sizeof(frame->meta));
    int found = -1;
    for (unsigned i = 0; i < count; i++) {
        int in = !(rules[i].action_flags & FILTER_DIR_OUT);
        if (filter_rule_match(&rules[i], frame, nullptr, nullptr, 0, nullptr, 0, in) == 1) {
            found = static_cast<int>(i);
            break;
        }
    }
    packet_push(frame, ETH_HDR);
    return found;
}

int ugwd_service_input_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame)
{
    for (const snoop_entry &e : snoop_handlers)
        if (match_set(frame, e.set) >= 0) return e.handler(vap, tn, f, frame);
    return -1;
}

int ugwd_service_snoop_dhcp_relay(packet *frame, uint8_t mac[6])
{
    if (match_set(frame, UGWD_RULES_DHCP) < 0) return -1;
    return ugwd_dhcp_client_mac(frame, mac);
}
