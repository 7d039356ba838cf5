// The data-plane events that concern flows: diverted tunnel packets, which
// create, bind and connect Ethernet flows; frames handed up for a flow; and
// the Update, MIC-Failure and Quota-Reached events.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

#include "common/hashtable.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/timer.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_dot11.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"

namespace
{

enum : uint8_t { PROTO_UDP = 17, PROTO_GRE = 47, IPV6_FRAGMENT = 44 };

// The outer header of a diverted packet: where it went and where it came
// from, the port of both being the destination's (tunnel peers listen on
// their transport's port; the source port of VXLAN and Geneve varies by flow).
bool parse_outer(packet *p, ugwd_sockaddr *dst, ugwd_sockaddr *peer)
{
    uint8_t h[48];
    size_t n = packet_access(p, 0, sizeof(h), h, PACKET_ACCESS_READ);
    if (n < 1) return false;
    *dst = ugwd_sockaddr{};
    *peer = ugwd_sockaddr{};
    size_t hlen;
    uint8_t proto;
    if (h[0] >> 4 == 4) {
        if (n < 20) return false;
        hlen = size_t{h[0] & 0x0fu} * 4;
        if (hlen < 20 || hlen > p->length || ((h[6] << 8 | h[7]) & 0x3fff)) return false;
        proto = h[9];
        dst->sin.sin_family = peer->sin.sin_family = AF_INET;
        memcpy(&dst->sin.sin_addr, h + 16, 4);
        memcpy(&peer->sin.sin_addr, h + 12, 4);
    } else if (h[0] >> 4 == 6) {
        if (n < 40 || h[6] == IPV6_FRAGMENT) return false;
        hlen = 40;
        proto = h[6];
        dst->sin6.sin6_family = peer->sin6.sin6_family = AF_INET6;
        memcpy(&dst->sin6.sin6_addr, h + 24, 16);
        memcpy(&peer->sin6.sin6_addr, h + 8, 16);
    } else {
        return false;
    }
    uint16_t port;
    if (proto == PROTO_UDP) {
        uint8_t u[8];
        if (packet_access(p, hlen, 8, u, PACKET_ACCESS_READ) != 8) return false;
        memcpy(&port, u + 2, 2);
    } else if (proto == PROTO_GRE) {
        port = 0; // GRE sockets are known by their address alone
    } else {
        return false;
    }
    dst->sin.sin_port = peer->sin.sin_port = port; // same place in both families
    return true;
}

bool same_address(const ugwd_sockaddr &a, const ugwd_sockaddr &b)
{
    if (a.sa.sa_family != b.sa.sa_family) return false;
    return a.sa.sa_family == AF_INET ? !memcmp(&a.sin.sin_addr, &b.sin.sin_addr, 4)
                                     : !memcmp(&a.sin6.sin6_addr, &b.sin6.sin6_addr, 16);
}

// A flow found by id is the packet's only when peer and transport agree:
// the IPv6 form of the id keeps 32 bits of hash.
bool flow_matches(const ugwd_flow *f, const ugwd_sockaddr &peer, uint8_t transport)
{
    return f->tunnel && f->tunnel->transport == transport && same_address(f->peer, peer);
}

ugwd_service *only_service(ugwd_ctl *ctl)
{
    if (ugwd_table_count_services(ctl->table) != 1) return nullptr;
    hashlink *l = hashtable_first(ctl->table->ix.service_by_uuid);
    return l ? container_of(l, &ugwd_service::by_uuid) : nullptr;
}

void log_ignore(const char *what, const flow_id *id)
{
    char t[FRLC_FLOW_ID_TEXT];
    ulog(LOG_COMP_ALL, ULOG_ERROR, "Ignoring %s event for flow %s", what,
         frlc_flow_id_format(id, t));
}

} // namespace

ugwd_flow *ugwd_ctl_get_tunnel_flow(ugwd_ctl *ctl, ugwd_service *s, const sockaddr *peer,
                                    int64_t vni, uint8_t transport, const uint8_t mac[6])
{
    ugwd_sockaddr p = {};
    flow_id id;
    if (peer->sa_family == AF_INET) {
        memcpy(&p.sin, peer, sizeof(p.sin));
        frlc_flow_id_ipv4(&id, transport, reinterpret_cast<const uint8_t *>(&p.sin.sin_addr), mac,
                          0);
    } else if (peer->sa_family == AF_INET6) {
        memcpy(&p.sin6, peer, sizeof(p.sin6));
        frlc_flow_id_ipv6(&id, transport, p.sin6.sin6_addr.s6_addr, mac, 0);
    } else {
        return nullptr;
    }
    if (ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &id))
        return flow_matches(f, p, transport) && !memcmp(f->mac, mac, 6) ? f : nullptr;
    if (!s) {
        if (vni >= 0) s = ugwd_table_get_service_by_vni(ctl->table, static_cast<uint32_t>(vni));
        // Without a VNI only a table of one service says which tenant it is.
        else
            s = only_service(ctl);
    }
    if (!s) return nullptr;
    ugwd_tunnel *tn = ugwd_table_get_tunnel_by_addr(ctl->table, s->uuid, &p.sa);
    if (!tn) {
        tn = ugwd_service_create_tunnel(s, transport, &p.sa);
        if (!tn) return nullptr;
        if (ugwd_table_insert_tunnel(ctl->table, tn) < 0) {
            ugwd_service_delete_tunnel(tn);
            return nullptr;
        }
    }
    if (tn->transport != transport) return nullptr;
    ugwd_flow *f = ugwd_service_create_ether_flow(tn, &id, mac, 0);
    if (f && ugwd_table_insert_flow(ctl->table, f) < 0) {
        ugwd_service_delete_flow(f);
        f = nullptr;
    }
    if (f) {
        list_append(&ctl->flows, &f->link);
        // Unbound at the next timer run unless connecting re-arms the timer.
        ugwd_ctl_arm_unbind(f, 0);
    }
    if (!tn->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_tunnel(tn);
    return f;
}

void ugwd_ctl_frl_diverted_packet_cb(void *user, uint32_t device, uint8_t encap, packet *p)
{
    auto *proc = static_cast<ugwd_proc *>(user);
    ugwd_ctl *ctl = proc->ctl;
    if (encap != FRL_ENCAP_IP) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Discarding diverted %s packet %u bytes on device %u",
             frlc_encap_name(encap), p->length, device);
        return;
    }
    ugwd_sockaddr dst, peer;
    if (!parse_outer(p, &dst, &peer)) return;
    ugwd_socket *sock = ugwd_ctl_find_socket_by_addr(ctl, &dst.sa);
    if (!sock) return;
    auto transport = static_cast<uint8_t>(sock->mib.ulmexSockProto);
    flow_id id;
    uint8_t mac[6];
    uint32_t vni = 0;
    if (ugwd_stash_parse_udpip(p, transport, &id, mac, &vni) < 0) return;
    ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &id);
    if (f && transport != UGWD_TRANSPORT_NATIVE && !flow_matches(f, peer, transport)) return;
    if (!f) {
        if (transport == UGWD_TRANSPORT_NATIVE) {
            ugwd_stash_save(ctl->stash, p, transport, static_cast<uint8_t>(proc->number),
                            static_cast<uint16_t>(sock->id));
            return;
        }
        int64_t v = transport == UGWD_TRANSPORT_GRE ? -1 : int64_t{vni};
        f = ugwd_ctl_get_tunnel_flow(ctl, nullptr, &peer.sa, v, transport, mac);
        if (!f) return;
    }
    if (ugwd_ctl_bind_tunnel(f, proc, sock) < 0) return;
    if (transport != UGWD_TRANSPORT_NATIVE) ugwd_flow_connect(f);
    frlc_output_packet(proc->fernrelay, device, FRL_ENCAP_IP, p);
}

namespace
{

// A frame on its way to or from a station, diverted for snooping. The class
// says which way it goes; a station's own frame belongs to the flow the data
// plane names, and only a server's reply is looked up by the client address
// it carries. The frame is put back whatever happens here.
void snoop_frame(ugwd_ctl *ctl, ugwd_flow *f, const flow_id *id, uint8_t cls, packet *p)
{
    uint8_t mac[6];
    if (!f && cls == UGWD_SNOOP_TO_STATION && ugwd_service_snoop_dhcp_relay(p, mac) == 0)
        f = ugwd_table_get_assoc_flow(ctl->table, mac);
    if (f && !hashlink_used(&f->by_assoc)) return;
    ugwd_vap *vap = f ? f->vap : ugwd_table_get_vap_by_id(ctl->table, id);
    ugwd_tunnel *tn = f ? f->tunnel : ugwd_table_get_tunnel_by_id(ctl->table, id);
    if (!vap && !tn) return;
    ugwd_snoop_set_class(p, cls);
    // A change reported without a flow of that VAP or tunnel has no
    // housekeeping to run.
    if (ugwd_service_input_snoop(vap, tn, f, p) == 0 && f && f->vap == vap && f->tunnel == tn)
        ugwd_ctl_flow_housekeeping(f);
}

} // namespace

void ugwd_ctl_frl_output_packet_cb(void *user, uint32_t node, const flow_id *id, uint8_t cls,
                                   uint8_t encap, packet *p)
{
    auto *proc = static_cast<ugwd_proc *>(user);
    ugwd_ctl *ctl = proc->ctl;
    ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, id);
    if (f && node == f->chain_node &&
        ((encap == FRL_ENCAP_80211 && cls == 2) || (encap == FRL_ENCAP_ETHER && cls == 3))) {
        // The station's own frames go to its authenticator.
        f->last_activity = clock_sec();
        if (encap == FRL_ENCAP_80211)
            ugwd_flow_recv_mgmt(f, p);
        else
            ugwd_flow_recv_tods(f, p);
        return;
    }
    if (encap == FRL_ENCAP_ETHER && (cls == 2 || cls == 3) && node == proc->node_b) {
        snoop_frame(ctl, f, id, cls, p);
        frlc_output_snooped(proc->fernrelay, node, id, static_cast<uint8_t>(cls - 2),
                            FRL_ENCAP_ETHER, p);
        return;
    }
    if (log_config.level > 0) {
        char t[FRLC_FLOW_ID_TEXT];
        ulog(LOG_COMP_ALL, ULOG_ERROR,
             "Dropping packet %u bytes from flow %s on node%u port %u encap %s", p->length,
             frlc_flow_id_format(id, t), node, cls, frlc_encap_name(encap));
    }
}

void ugwd_ctl_frl_update_cb(void *user, const frl_flow *rec)
{
    auto *proc = static_cast<ugwd_proc *>(user);
    ugwd_ctl *ctl = proc->ctl;
    flow_id id;
    memcpy(&id, rec->b + FRL_FLOW_ID, sizeof(id));
    int r = -1;
    // Bit 0 of the second half's first byte: a VAP's or tunnel's own flow.
    if (id.b[0] & 0x01) {
        ugwd_vap *vap = ugwd_table_get_vap_by_id(ctl->table, &id);
        ugwd_tunnel *tn = ugwd_table_get_tunnel_by_id(ctl->table, &id);
        if (vap) r = ugwd_ctl_update_vap(vap, rec);
        if (tn && (vap ? r == 0 : true)) r = ugwd_ctl_update_tunnel(tn, rec);
    } else if (ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &id)) {
        r = f->proc == proc ? ugwd_ctl_update_flow(f, rec) : -1;
    }
    if (r < 0) log_ignore("Update", &id);
}

void ugwd_ctl_frl_mic_failure_cb(void *user, uint32_t, const flow_id *fid)
{
    auto *proc = static_cast<ugwd_proc *>(user);
    ugwd_flow *f = ugwd_table_get_flow_by_id(proc->ctl->table, fid);
    if (!f || f->proc != proc || !f->vap) {
        log_ignore("MIC-Failure", fid);
        return;
    }
    if (f->vap->auth_running) dot11_auth_mic_failure(&f->vap->auth);
}

void ugwd_ctl_frl_quota_reached_cb(void *user, uint32_t, const flow_id *fid)
{
    auto *proc = static_cast<ugwd_proc *>(user);
    ugwd_flow *f = ugwd_table_get_flow_by_id(proc->ctl->table, fid);
    if (!f || f->proc != proc || ugwd_ctl_update_flow(f, nullptr) < 0) {
        log_ignore("Quota-Reached", fid);
        return;
    }
    // Without a RADIUS session nothing limits the flow: all six are 0.
    uint8_t limits[FRL_LIMITS_SIZE] = {};
    frlc_set_flow_limits(proc->fernrelay, f->limit_node, &f->id, limits);
}
