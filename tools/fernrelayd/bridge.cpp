#include "tools/fernrelayd/bridge.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <map>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/checksum.h"
#include "gateway/fernrelayd_msg.h"
#include "gateway/ugwd_stash.h"

namespace
{

using mac_key = std::string; // 6 bytes

constexpr uint16_t ETH_TEB = 0x6558; // transparent Ethernet bridging
constexpr uint8_t PROTO_UDP = 17, PROTO_GRE = 47;
constexpr size_t ETH = 14, IP4 = 20, IP6 = 40, UDP = 8, TUNNEL_HDR = 8, GRE_HDR = 4;

// An attached interface: a packet socket bound to it.
struct port {
    int fd = -1;
    uint32_t ifindex = 0;
    uint8_t mac[6] = {};
    uint16_t mtu = 1500;
    bool ethernet_side = false;
};

// Where a station's tunnel ends, as its last packet showed it.
struct station {
    uint32_t ifindex;
    uint8_t transport;
    bool v6;
    uint8_t peer[16], local[16];
    uint8_t peer_mac[6], local_mac[6];
    uint16_t port; // the socket's UDP port, network order
    uint32_t vni;
};

struct counters {
    uint64_t diverted, forwarded, sent, dropped, snooped;
};

const bridge_hooks *H;
std::vector<port> ports;
std::map<mac_key, station> stations;
counters C;

mac_key key_of(const uint8_t *mac)
{
    return {reinterpret_cast<const char *>(mac), 6};
}

port *port_of(uint32_t ifindex)
{
    for (auto &p : ports)
        if (p.ifindex == ifindex) return &p;
    return nullptr;
}

// The flow's UDP/IP port entry: counts of what came from the station (in) or
// went to it (out). A flow's first bridged packet sets up its port table as
// the data plane would: IP on the interface's MTU, Ethernet inside it.
void count(uint8_t *rec, bool in, size_t octets, const station &s)
{
    uint8_t *e = rec + FRL_FLOW_PORT_TABLE, *ether = e + FRL_FLOW_PORT_ENTRY;
    if (!(e[0] >> 5) && !(ether[0] >> 5)) {
        size_t overhead = (s.v6 ? IP6 : IP4) + ETH +
                          (s.transport == UGWD_TRANSPORT_GRE ? GRE_HDR : UDP + TUNNEL_HDR);
        port *p = port_of(s.ifindex);
        uint16_t mtu = p ? p->mtu : 1500;
        e[0] = static_cast<uint8_t>((e[0] & 0x1f) | FRL_ENCAP_IP << 5);
        frl_store16(e + 2, mtu);
        ether[0] = static_cast<uint8_t>((ether[0] & 0x1f) | FRL_ENCAP_ETHER << 5);
        frl_store16(ether + 2, static_cast<uint16_t>(mtu > overhead ? mtu - overhead : 0));
    }
    uint8_t *pkts = e + (in ? 8 : 4), *oct = e + (in ? 24 : 32);
    frl_store32(pkts, frl_load32(pkts) + 1);
    frl_store64(oct, frl_load64(oct) + octets);
}

// What the data plane diverts for snooping: DHCP, IGMP, DHCPv6, and the
// ICMPv6 types of neighbour discovery and MLD the daemon reads.
bool snoopable(const uint8_t *frame, size_t len)
{
    if (len < ETH + 1) return false;
    const uint8_t *ip = frame + ETH;
    size_t n = len - ETH;
    uint16_t type = frl_load16(frame + 12);
    auto port_pair = [](const uint8_t *udp, uint16_t a, uint16_t b) {
        uint16_t s = frl_load16(udp), d = frl_load16(udp + 2);
        return (s == a && d == b) || (s == b && d == a);
    };
    if (type == ETH_P_IP && n >= IP4 && ip[0] >> 4 == 4) {
        size_t hl = size_t{ip[0] & 0x0fu} * 4;
        if (frl_load16(ip + 6) & 0x1fff) return false;
        if (ip[9] == 2) return true;
        return ip[9] == PROTO_UDP && n >= hl + UDP && port_pair(ip + hl, 67, 68);
    }
    if (type != ETH_P_IPV6 || n < IP6 || ip[0] >> 4 != 6) return false;
    uint8_t nh = ip[6];
    size_t off = IP6;
    // Hop-by-hop (MLD's router alert), routing and destination options.
    while ((nh == 0 || nh == 43 || nh == 60) && off + 8 <= n) {
        nh = ip[off];
        off += 8 + 8 * size_t{ip[off + 1]};
    }
    if (nh == PROTO_UDP) return off + UDP <= n && port_pair(ip + off, 546, 547);
    if (nh != 58 || off + 4 > n) return false;
    switch (ip[off]) {
    case 131: case 132: case 134: case 135: case 136: case 143:
        return true;
    default:
        return false;
    }
}

// To the daemon for snooping: true when it took the frame.
bool snoop(const uint8_t *rec, uint8_t cls, const uint8_t *frame, size_t len)
{
    if (!snoopable(frame, len) || !H->snoop(rec + FRL_FLOW_ID, cls, frame, len)) return false;
    C.snooped++;
    return true;
}

uint8_t *flow_of(const station &s, const uint8_t *mac)
{
    return H->flow_of(s.transport, s.peer, s.v6, mac);
}

// A tunnel packet as far as the bridge reads it.
struct tunnel_packet {
    uint8_t transport;
    bool v6;
    const uint8_t *src, *dst; // outer addresses
    uint16_t port;            // the socket's port, network order
    uint32_t vni;
    const uint8_t *inner;
    size_t inner_len;
};

// ip: from the outer IP header; len trimmed to its length on return.
bool parse(const uint8_t *ip, size_t *len, tunnel_packet *t)
{
    size_t n = *len, hlen, total;
    uint8_t proto;
    uint8_t sa[FRL_SOCKADDR_SIZE] = {};
    if (n >= IP4 && ip[0] >> 4 == 4) {
        hlen = size_t{ip[0] & 0x0fu} * 4;
        total = frl_load16(ip + 2);
        if (hlen < IP4 || total < hlen || total > n || (frl_load16(ip + 6) & 0x3fff)) return false;
        proto = ip[9];
        t->v6 = false;
        t->src = ip + 12;
        t->dst = ip + 16;
        sa_family_t family = AF_INET;
        memcpy(sa, &family, sizeof(family));
        memcpy(sa + offsetof(sockaddr_in, sin_addr), t->dst, 4);
    } else if (n >= IP6 && ip[0] >> 4 == 6) {
        hlen = IP6;
        total = IP6 + frl_load16(ip + 4);
        if (total > n) return false;
        proto = ip[6];
        t->v6 = true;
        t->src = ip + 8;
        t->dst = ip + 24;
        sa_family_t family = AF_INET6;
        memcpy(sa, &family, sizeof(family));
        memcpy(sa + offsetof(sockaddr_in6, sin6_addr), t->dst, 16);
    } else {
        return false;
    }
    *len = total;
    const uint8_t *h = ip + hlen;
    size_t left = total - hlen;
    if (proto == PROTO_GRE) {
        if (left < GRE_HDR || frl_load16(h + 2) != ETH_TEB || (h[1] & 7)) return false;
        // Checksum, key and sequence number each add a word.
        size_t glen = GRE_HDR + 4 * size_t{(h[0] & 0x80) != 0} + 4 * size_t{(h[0] & 0x20) != 0} +
                      4 * size_t{(h[0] & 0x10) != 0};
        if (left < glen) return false;
        t->port = 0;
        t->vni = 0;
        t->transport = H->transport_of(sa, true);
        h += glen;
        left -= glen;
    } else if (proto == PROTO_UDP) {
        if (left < UDP + TUNNEL_HDR) return false;
        memcpy(&t->port, h + 2, 2);
        memcpy(sa + offsetof(sockaddr_in, sin_port), &t->port, 2);
        t->transport = H->transport_of(sa, false);
        const uint8_t *th = h + UDP;
        size_t thlen = TUNNEL_HDR;
        if (t->transport == UGWD_TRANSPORT_GENEVE) {
            if (frl_load16(th + 2) != ETH_TEB) return false;
            thlen += size_t{th[0] & 0x3fu} * 4;
        } else if (t->transport != UGWD_TRANSPORT_VXLAN) {
            return false;
        }
        t->vni = frl_load32(th + 4) >> 8;
        if (left < UDP + thlen) return false;
        h += UDP + thlen;
        left -= UDP + thlen;
    } else {
        return false;
    }
    if (!t->transport || left < ETH) return false;
    t->inner = h;
    t->inner_len = left;
    return true;
}

void send_frame(const port &p, const uint8_t *frame, size_t len)
{
    sockaddr_ll ll = {};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = static_cast<int>(p.ifindex);
    ll.sll_halen = 6;
    memcpy(ll.sll_addr, frame, 6);
    if (sendto(p.fd, frame, len, 0, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) < 0)
        C.dropped++;
    else
        C.sent++;
}

// Puts the frame into the station's tunnel, as the station's own device
// expects it: the socket's port both ways, checksums filled in.
void encapsulate(const station &s, const uint8_t *frame, size_t len)
{
    port *p = port_of(s.ifindex);
    if (!p || len > 65000) {
        C.dropped++;
        return;
    }
    bool gre = s.transport == UGWD_TRANSPORT_GRE;
    size_t iph = s.v6 ? IP6 : IP4, th = gre ? GRE_HDR : UDP + TUNNEL_HDR;
    std::vector<uint8_t> b(ETH + iph + th + len, 0);
    uint8_t *eth = b.data(), *ip = eth + ETH, *t = ip + iph;
    memcpy(eth, s.peer_mac, 6);
    memcpy(eth + 6, s.local_mac, 6);
    frl_store16(eth + 12, s.v6 ? ETH_P_IPV6 : ETH_P_IP);
    uint8_t proto = gre ? PROTO_GRE : PROTO_UDP;
    size_t payload = th + len;
    if (s.v6) {
        ip[0] = 0x60;
        frl_store16(ip + 4, static_cast<uint16_t>(payload));
        ip[6] = proto;
        ip[7] = 64;
        memcpy(ip + 8, s.local, 16);
        memcpy(ip + 24, s.peer, 16);
    } else {
        ip[0] = 0x45;
        frl_store16(ip + 2, static_cast<uint16_t>(IP4 + payload));
        ip[6] = 0x40; // don't fragment
        ip[8] = 64;
        ip[9] = proto;
        memcpy(ip + 12, s.local, 4);
        memcpy(ip + 16, s.peer, 4);
        frl_store16(ip + 10, static_cast<uint16_t>(~inet_csum_partial(0, ip, IP4)));
    }
    uint8_t *tun = t;
    if (gre) {
        frl_store16(t + 2, ETH_TEB);
    } else {
        memcpy(t, &s.port, 2);
        memcpy(t + 2, &s.port, 2);
        frl_store16(t + 4, static_cast<uint16_t>(payload));
        tun = t + UDP;
        if (s.transport == UGWD_TRANSPORT_VXLAN) {
            tun[0] = 0x08;
        } else {
            frl_store16(tun + 2, ETH_TEB);
        }
        frl_store32(tun + 4, s.vni << 8);
    }
    memcpy(t + th, frame, len);
    if (!gre) {
        uint32_t sum = s.v6 ? inet_csum_pseudo6(ip, 0, static_cast<uint32_t>(payload))
                            : inet_csum_pseudo4(ip, static_cast<uint16_t>(payload));
        uint16_t c = static_cast<uint16_t>(~inet_csum_partial(sum, t, payload));
        frl_store16(t + 6, c ? c : 0xffff);
    }
    send_frame(*p, b.data(), b.size());
}

// A tunnel packet that arrived on a port (learn set) or came back from the
// daemon: counted and bridged when its flow is known, else diverted or dropped.
void take(const uint8_t *ip, size_t len, const uint8_t *outer_eth, uint32_t ifindex)
{
    tunnel_packet t;
    if (!parse(ip, &len, &t)) return;
    const uint8_t *mac = t.inner + 6;
    auto it = stations.find(key_of(mac));
    if (outer_eth) {
        station s = {};
        s.ifindex = ifindex;
        s.transport = t.transport;
        s.v6 = t.v6;
        memcpy(s.peer, t.src, t.v6 ? 16 : 4);
        memcpy(s.local, t.dst, t.v6 ? 16 : 4);
        memcpy(s.peer_mac, outer_eth + 6, 6);
        memcpy(s.local_mac, outer_eth, 6);
        s.port = t.port;
        s.vni = t.vni;
        it = stations.insert_or_assign(key_of(mac), s).first;
    }
    if (it == stations.end()) {
        C.dropped++;
        return;
    }
    if (uint8_t *rec = flow_of(it->second, mac)) {
        count(rec, true, t.inner_len, it->second);
        if (snoop(rec, 3, t.inner, t.inner_len)) return;
        C.forwarded++;
        for (auto &p : ports)
            if (p.ethernet_side) send_frame(p, t.inner, t.inner_len);
        return;
    }
    if (!outer_eth) {
        C.dropped++;
        return;
    }
    C.diverted++;
    H->divert(ifindex, ip, len);
}

// A frame for stations: to the one it names, or to every station whose flow
// is known when it names a group. Frames from the network (not the daemon's
// own) are snooped on their way, a group frame once per station.
void to_stations(const uint8_t *frame, size_t len, const uint8_t *fallback, bool from_network)
{
    auto it = stations.find(key_of(frame));
    if (it == stations.end() && fallback) it = stations.find(key_of(fallback));
    auto deliver = [&](const station &s, uint8_t *rec) {
        if (from_network && snoop(rec, 2, frame, len)) return;
        count(rec, false, len, s);
        encapsulate(s, frame, len);
    };
    if (it != stations.end()) {
        auto *mac = reinterpret_cast<const uint8_t *>(it->first.data());
        if (uint8_t *rec = flow_of(it->second, mac))
            deliver(it->second, rec);
        else
            C.dropped++;
        return;
    }
    if (!(frame[0] & 1)) {
        C.dropped++;
        return;
    }
    for (auto &[mac, s] : stations)
        if (uint8_t *rec = flow_of(s, reinterpret_cast<const uint8_t *>(mac.data())))
            deliver(s, rec);
}

bool attach(const char *name, bool ethernet_side, std::string *err)
{
    uint32_t ifindex = if_nametoindex(name);
    if (!ifindex) {
        *err = std::string("no interface ") + name;
        return false;
    }
    if (port_of(ifindex)) {
        *err = std::string(name) + " is attached already";
        return false;
    }
    port p;
    p.ifindex = ifindex;
    p.ethernet_side = ethernet_side;
    p.fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll ll = {};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = static_cast<int>(ifindex);
    ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    int one = 1;
    if (p.fd < 0 || bind(p.fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) < 0 ||
        ioctl(p.fd, SIOCGIFHWADDR, &ifr) < 0) {
        *err = std::string(name) + ": " + strerror(errno);
        if (p.fd >= 0) close(p.fd);
        return false;
    }
    // What the bridge sends itself is no input; older kernels lack the
    // option and get the outgoing packets filtered on receipt.
    setsockopt(p.fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
    memcpy(p.mac, ifr.ifr_hwaddr.sa_data, 6);
    if (ioctl(p.fd, SIOCGIFMTU, &ifr) == 0) p.mtu = static_cast<uint16_t>(ifr.ifr_mtu);
    ports.push_back(p);
    return true;
}

} // namespace

void bridge_init(const bridge_hooks *hooks)
{
    H = hooks;
}

std::string bridge_command(const std::string &line)
{
    if (line == "bridge state") {
        char out[160];
        snprintf(out, sizeof(out),
                 "stations=%zu diverted=%llu forwarded=%llu sent=%llu dropped=%llu snooped=%llu\n",
                 stations.size(), static_cast<unsigned long long>(C.diverted),
                 static_cast<unsigned long long>(C.forwarded),
                 static_cast<unsigned long long>(C.sent), static_cast<unsigned long long>(C.dropped),
                 static_cast<unsigned long long>(C.snooped));
        return out;
    }
    if (line.rfind("bridge ", 0) != 0) return "";
    char tun[IFNAMSIZ + 1] = "", eth[IFNAMSIZ + 1] = "";
    int n = sscanf(line.c_str(), "bridge %16s %16s", tun, eth);
    if (n < 1) return "error: usage: bridge TUNIF [ETHIF]\n";
    std::string err;
    if (!attach(tun, false, &err) || (n == 2 && !attach(eth, true, &err)))
        return "error: " + err + "\n";
    return "ok\n";
}

void bridge_fds(std::vector<pollfd> *fds)
{
    for (auto &p : ports)
        fds->push_back({p.fd, POLLIN, 0});
}

void bridge_serve(int fd)
{
    port *p = nullptr;
    for (auto &q : ports)
        if (q.fd == fd) p = &q;
    if (!p) return;
    static uint8_t buf[65536];
    for (int budget = 64; budget > 0; budget--) {
        sockaddr_ll from = {};
        socklen_t fl = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fl);
        if (n < 0) return;
        if (from.sll_pkttype == PACKET_OUTGOING || n < static_cast<ssize_t>(ETH)) continue;
        auto len = static_cast<size_t>(n);
        if (p->ethernet_side) {
            to_stations(buf, len, nullptr, true);
            continue;
        }
        uint16_t type = frl_load16(buf + 12);
        if (type == ETH_P_IP || type == ETH_P_IPV6) take(buf + ETH, len - ETH, buf, p->ifindex);
    }
}

void bridge_output_packet(const uint8_t *packet, size_t len)
{
    take(packet, len, nullptr, 0);
}

void bridge_output_frame(const uint8_t flow[12], const uint8_t *frame, size_t len)
{
    if (len < ETH) return;
    to_stations(frame, len, flow + 6, false);
}

void bridge_output_snooped(const uint8_t flow[12], uint8_t cls, const uint8_t *frame, size_t len)
{
    if (len < ETH) return;
    if (cls == 1) {
        C.forwarded++;
        for (auto &p : ports)
            if (p.ethernet_side) send_frame(p, frame, len);
        return;
    }
    auto it = stations.find(key_of(flow + 6));
    uint8_t *rec = it == stations.end() ? nullptr : flow_of(it->second, flow + 6);
    if (!rec) {
        C.dropped++;
        return;
    }
    count(rec, false, len, it->second);
    encapsulate(it->second, frame, len);
}

void bridge_shutdown()
{
    for (auto &p : ports)
        close(p.fd);
    ports.clear();
    stations.clear();
}
