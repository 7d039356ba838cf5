// The stand-in's bridge: it attaches to interfaces of its network namespace
// and carries real tunnel packets between stations made by the kernel and the
// daemon. A packet to a tunnel socket goes to the daemon (type 45) until the
// data plane knows its flow; then it is counted on the flow and its inner
// frame goes out on the Ethernet side, if one is attached. Frames for a
// station (type 42, and frames arriving on the Ethernet side) go into its
// tunnel, towards the address it last sent from. A bound flow's DHCP,
// DHCPv6, IGMP, neighbour-discovery and MLD frames go to the daemon for
// snooping first, both ways, and on when it puts them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <vector>

// What the bridge asks of the stand-in's model.
struct bridge_hooks {
    // The transport of the tunnel socket listening at this outer destination
    // (a 28-byte socket address: family, port in network order, address; a
    // GRE socket is known by address and gre set), 0 for none.
    uint8_t (*transport_of)(const uint8_t addr[28], bool gre);
    // The 408-byte record of a station's flow, or null while the data plane
    // has none. peer: the station's outer address (4 or 16 bytes).
    uint8_t *(*flow_of)(uint8_t transport, const uint8_t *peer, bool v6, const uint8_t mac[6]);
    // Hands a packet, from its outer IP header on, to the daemon as type 45.
    void (*divert)(uint32_t device, const uint8_t *packet, size_t len);
    // Hands a flow's inner frame to the daemon for snooping (type 43 at the
    // snooping node; class 3 from the station, 2 to it); false when the
    // daemon has no snooping node yet.
    bool (*snoop)(const uint8_t flow[12], uint8_t cls, const uint8_t *frame, size_t len);
};

void bridge_init(const bridge_hooks *hooks);
// `bridge TUNIF [ETHIF]` and `bridge state`; "" for a line that is not ours.
std::string bridge_command(const std::string &line);
// The descriptors to poll, appended.
void bridge_fds(std::vector<pollfd> *fds);
void bridge_serve(int fd);
// A packet the daemon sends back (type 46, encapsulation IP): taken as if it
// had arrived again; dropped when its flow is still unknown.
void bridge_output_packet(const uint8_t *packet, size_t len);
// An Ethernet frame for the station of a flow (type 42): into its tunnel.
void bridge_output_frame(const uint8_t flow[12], const uint8_t *frame, size_t len);
// A snooped frame the daemon puts back (type 43, class 1 from the station, 0
// to it): on to the Ethernet side, or into the flow's station's tunnel.
void bridge_output_snooped(const uint8_t flow[12], uint8_t cls, const uint8_t *frame, size_t len);
void bridge_shutdown();
