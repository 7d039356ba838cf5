// Binding VAPs, tunnels and flows to a data-plane process, and taking them
// out again: the nodes, broadcast flows, group joins and rule sets that a
// binding makes, each undone in reverse when a later step fails.
#include <cerrno>
#include <cstring>
#include <iterator>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/sockaddr.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_table.h"

namespace
{

// Takes a VAP's or tunnel's own creations out of its process, last first;
// the process may refuse or be gone, which changes nothing here.
void release_binding(ugwd_binding *b, bool vap)
{
    frlc *c = b->proc->fernrelay;
    static constexpr flow_id none = {};
    if (memcmp(&b->bcast, &none, sizeof(none))) frlc_remove_flow(c, &b->bcast, nullptr);
    if (b->chain_node) {
        frlc_leave_kind6(c, b->chain_node);
        frlc_leave_kind4(c, b->chain_node);
        if (vap) {
            frlc_leave_node(c, b->chain_node, 2);
            frlc_leave_node(c, b->chain_node, 3);
        }
    }
    for (uint32_t id : {b->chain_node, b->vap_node, b->service_node, b->addr_node, b->radio_node})
        if (id) frlc_remove_node(c, id, nullptr);
    *b = ugwd_binding{};
}

} // namespace

int ugwd_ctl_delete_vap(ugwd_vap *vap)
{
    if (vap->mib.ulmexServiceActiveFlows) {
        errno = EBUSY;
        return -1;
    }
    ugwd_ctl *ctl = vap->service->ctl;
    if (vap->bind.proc) {
        ugwd_ctl_notify_vap(vap, CTL_DELETE_VAP);
        release_binding(&vap->bind, true);
        vap->mib.ulmexFrlNodeId = 0;
        vap->mib.ulmexFrlBroadcastId = flow_id{};
        const uint8_t *b = vap->bssid;
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "Unbound VAP [%zd] with BSSID %02x:%02x:%02x:%02x:%02x:%02x", vap->index, b[0], b[1],
             b[2], b[3], b[4], b[5]);
    }
    ugwd_table_remove_vap(ctl->table, vap);
    return ugwd_service_delete_vap(vap);
}

int ugwd_ctl_delete_tunnel(ugwd_tunnel *tn)
{
    if (tn->mib.ulmexServiceActiveFlows) {
        errno = EBUSY;
        return -1;
    }
    ugwd_ctl *ctl = tn->service->ctl;
    if (tn->bind.proc) {
        ugwd_ctl_notify_tunnel(tn, CTL_DELETE_TUNNEL);
        release_binding(&tn->bind, false);
        tn->mib.ulmexFrlNodeId = 0;
        tn->mib.ulmexFrlBroadcastId = flow_id{};
        char a[SOCKADDR_FMT_SIZE];
        ulog(LOG_COMP_ALL, ULOG_DETAIL, "Unbound tunnel [%zd] with peer %s over %s", tn->index,
             sockaddr_format(&tn->peer.sa, a, sizeof(a), 0),
             ugwd_tunnel_transport_name(static_cast<uint8_t>(tn->transport)));
    }
    ugwd_table_remove_tunnel(ctl->table, tn);
    return ugwd_service_delete_tunnel(tn);
}

int ugwd_ctl_update_vap(ugwd_vap *vap, const frl_flow *record)
{
    if (!vap->bind.proc) return 0;
    frl_flow read;
    if (!record) {
        if (frlc_read_flow(vap->bind.proc->fernrelay, &vap->bind.bcast, &read) < 0) {
            const uint8_t *b = vap->bssid;
            ulog(LOG_COMP_ALL, ULOG_DEBUG,
                 "Failed to get broadcast statistics for VAP [%zd] with BSSID "
                 "%02x:%02x:%02x:%02x:%02x:%02x: %s",
                 vap->index, b[0], b[1], b[2], b[3], b[4], b[5], strerror(errno));
            return -1;
        }
        record = &read;
    }
    ugwd_port_entry udpip, ether;
    ugwd_port_entry_read(&udpip, record, 0);
    ugwd_port_entry_read(&ether, record, 1);
    if (memcmp(&udpip.stats, &vap->udpip, sizeof(udpip.stats)))
        ugwd_service_update_vap(vap, &udpip, &ether, nullptr);
    return 0;
}

int ugwd_ctl_update_tunnel(ugwd_tunnel *tn, const frl_flow *record)
{
    if (!tn->bind.proc) return 0;
    frl_flow read;
    if (!record) {
        if (frlc_read_flow(tn->bind.proc->fernrelay, &tn->bind.bcast, &read) < 0) {
            char a[SOCKADDR_FMT_SIZE];
            ulog(LOG_COMP_ALL, ULOG_DEBUG,
                 "Failed to get broadcast statistics for tunnel [%zd] with peer %s over %s: %s",
                 tn->index, sockaddr_format(&tn->peer.sa, a, sizeof(a), 0),
                 ugwd_tunnel_transport_name(static_cast<uint8_t>(tn->transport)), strerror(errno));
            return -1;
        }
        record = &read;
    }
    ugwd_port_entry udpip, ether;
    ugwd_port_entry_read(&udpip, record, 0);
    ugwd_port_entry_read(&ether, record, 1);
    if (memcmp(&udpip.stats, &tn->udpip, sizeof(udpip.stats)))
        ugwd_service_update_tunnel(tn, &udpip, &ether);
    return 0;
}

namespace
{

enum : uint8_t {
    NODE_CHAIN = 0,
    NODE_SERVICE = 2,
    NODE_OBJECT = 4, // per VAP or tunnel: carries the flows' limits
    NODE_RADIO = 6,
    NODE_GENEVE = 7,
    NODE_VXLAN = 8,
    NODE_GRE = 9,
    NODE_ADDRESS = 10,
};

enum : size_t {
    NODE_SETTING = 40,
    NODE_SERVICE_NUMBER = 12,
    NODE_BSSID = 32,
    NODE_SOCKADDR = 72,
    NODE_SOCKET_ID = 100,
    NODE_OBJECT_NUMBER = 104,
    CHAIN_UNITS = 9,
    VAP_DEFAULTS_WORD = 8,
    VAP_DEFAULTS_BITS = 120,
};

// The 8 default rules of process node B and the 2 of a flow on node A.
constexpr const char *node_b_rule_texts[] = {
    "deny in ip from !assigned to any",
    "deny in 17 from any 67 to any 68",
    "deny in 17 from ::/0 547 to ::/0 546",
    "deny in 58 from ::/0 to ff02::1/128 frag",
    "deny in 58 from ::/0 to ::/0 icmp6types router advertisement",
    "deny in 58 from ::/0 to ::/0 icmp6types neighbor advertisement",
    "deny out 2 from any to 224.0.0.22/32",
    "deny out 58 from any to ff02::16/128",
};
constexpr const char *flow_rule_texts[] = {
    "deny in ip from any to any",
    "deny out ip from any to any",
};

filter_rule node_b_rules[std::size(node_b_rule_texts)];
filter_rule flow_rules[std::size(flow_rule_texts)];
bool rules_ready;

int parse_rules()
{
    if (rules_ready) return 0;
    for (size_t i = 0; i < std::size(node_b_rule_texts); i++)
        if (filter_rule_parse(&node_b_rules[i], node_b_rule_texts[i], 1) < 0) return -1;
    for (size_t i = 0; i < std::size(flow_rule_texts); i++)
        if (filter_rule_parse(&flow_rules[i], flow_rule_texts[i], 1) < 0) return -1;
    rules_ready = true;
    return 0;
}

const char *family_name(int family)
{
    return family == AF_INET ? "IP" : family == AF_INET6 ? "IPv6" : "unknown";
}

const char *transport_text(uint32_t transport)
{
    switch (transport) {
    case UGWD_TRANSPORT_NATIVE:
        return "IEEE 802.11";
    case UGWD_TRANSPORT_GENEVE:
        return "Geneve";
    case UGWD_TRANSPORT_VXLAN:
        return "VXLAN";
    case UGWD_TRANSPORT_GRE:
        return "GRE";
    default:
        return "";
    }
}

// The mode bits of a flow record from the service's mode byte.
void set_mode_bits(frl_flow *rec, uint8_t mode)
{
    uint8_t b49 = static_cast<uint8_t>(((mode & 0x03) << 3) | (((mode >> 2) & 0x03) << 6));
    uint8_t b48 = 0;
    switch ((mode >> 6) & 3) {
    case 0:
        b48 |= 0x06;
        break;
    case 2:
        b48 |= 0x02;
        break;
    default:
        break;
    }
    switch ((mode >> 4) & 3) {
    case 3:
        b48 |= 0x08;
        break;
    case 1:
        b48 |= 0x10;
        break;
    case 0:
        b48 |= static_cast<uint8_t>((b48 & 0x06) << 2);
        break;
    default:
        break;
    }
    rec->b[FRL_FLOW_MODE_A] = b48;
    rec->b[FRL_FLOW_MODE_B] = b49;
}

int add_node(frlc *c, uint8_t kind, uint32_t *id, void (*fill)(frl_node *, const void *),
             const void *arg, const uint8_t *entries = nullptr, uint32_t count = 0)
{
    frl_node node = {};
    node.b[FRL_NODE_KIND] = kind;
    if (fill) fill(&node, arg);
    if (frlc_add_node(c, &node, entries, count) < 0) return -1;
    *id = frl_load32(node.b + FRL_NODE_ID);
    return 0;
}

struct node_args {
    const ugwd_sockaddr *addr;
    uint32_t socket_id;
    uint32_t setting;
    uint32_t number;
    const uint8_t *bssid;
};

void fill_addr(frl_node *n, const void *arg)
{
    auto *a = static_cast<const node_args *>(arg);
    memcpy(n->b + NODE_SOCKADDR, a->addr, sizeof(*a->addr));
}

void fill_peer(frl_node *n, const void *arg)
{
    auto *a = static_cast<const node_args *>(arg);
    fill_addr(n, arg);
    frl_store32(n->b + NODE_SOCKET_ID, a->socket_id);
    if (a->setting) frl_store32(n->b + NODE_SETTING, a->setting);
}

void fill_service(frl_node *n, const void *arg)
{
    auto *a = static_cast<const node_args *>(arg);
    frl_store32(n->b + NODE_SERVICE_NUMBER, a->number);
    memcpy(n->b + NODE_BSSID, a->bssid, 6);
}

void fill_object(frl_node *n, const void *arg)
{
    frl_store32(n->b + NODE_OBJECT_NUMBER, static_cast<const node_args *>(arg)->number);
}

void fill_chain(frl_node *n, const void *arg)
{
    uint8_t mcast = (static_cast<const ugwd_service *>(arg)->mib.mode >> 4) & 3;
    frl_store32(n->b + FRL_NODE_KIND, mcast == 1 || mcast == 2 ? 0x0D00 : 0x0D80);
}

void put_unit(uint8_t *u, uint32_t a, uint32_t b, uint8_t m0, uint8_t m1)
{
    frl_store32(u, a);
    frl_store32(u + 4, b);
    u[8] = m0;
    u[9] = m1;
    u[10] = u[11] = 0;
}

// The VAP's or tunnel's own part of a binding, made step by step into b;
// on failure the caller releases whatever b holds.
int bind_object(ugwd_binding *b, ugwd_service *s, const ugwd_sockaddr *addr, uint8_t kind,
                uint32_t number, const uint8_t *bssid, bool vap)
{
    frlc *c = b->proc->fernrelay;
    node_args a = {addr, b->socket_id, kind == NODE_RADIO || kind == NODE_GRE ? 0 : s->vni,
                   static_cast<uint32_t>(ugwd_service_index(s)), bssid};
    if (add_node(c, kind, &b->radio_node, fill_peer, &a) < 0 ||
        add_node(c, NODE_ADDRESS, &b->addr_node, fill_addr, &a) < 0)
        return -1;
    if (vap) {
        if (add_node(c, NODE_SERVICE, &b->service_node, fill_service, &a) < 0) return -1;
        frl_vap rec;
        if (frlc_get_vap_stats(c, b->service_node, &rec) < 0) return -1;
        memcpy(rec.b + VAP_DEFAULTS_WORD, s->vap_params + VAP_DEFAULTS_WORD, 2);
        uint8_t bits = s->vap_params[VAP_DEFAULTS_BITS] & 0x2f;
        bits |= (s->flags & 0x02) ? 0x10 : 0;
        rec.b[VAP_DEFAULTS_BITS] = static_cast<uint8_t>((rec.b[VAP_DEFAULTS_BITS] & ~0x3f) | bits);
        if (frlc_set_vap(c, b->service_node, &rec) < 0) return -1;
    }
    a.number = number;
    if (add_node(c, NODE_OBJECT, &b->vap_node, fill_object, &a) < 0) return -1;
    uint8_t units[size_t{CHAIN_UNITS} * FRL_NODE_ENTRY_SIZE];
    uint32_t x = b->vap_node, y = b->proc->node_b;
    int n = ugwd_ctl_init_chain_mib(&x, &y, b->radio_node, vap ? b->service_node : 0, b->addr_node,
                                    b->proc->node_a, units, CHAIN_UNITS);
    if (add_node(c, NODE_CHAIN, &b->chain_node, fill_chain, s, units, static_cast<uint32_t>(n)) < 0)
        return -1;
    frl_flow bcast;
    ugwd_ctl_init_bcast_flow(s, b->chain_node, &bcast);
    if (frlc_add_flow(c, &bcast) < 0) return -1;
    memcpy(&b->bcast, bcast.b + FRL_FLOW_ID, sizeof(b->bcast));
    if (frlc_join_kind6(c, b->chain_node) < 0 || frlc_join_kind4(c, b->chain_node) < 0) return -1;
    if (vap && (frlc_join_node(c, b->chain_node, 2) < 0 || frlc_join_node(c, b->chain_node, 3) < 0))
        return -1;
    return frlc_set_ip_rules(c, b->proc->node_b, &b->bcast, node_b_rules, std::size(node_b_rules));
}

uint8_t tunnel_node_kind(uint32_t transport)
{
    switch (transport) {
    case UGWD_TRANSPORT_GENEVE:
        return NODE_GENEVE;
    case UGWD_TRANSPORT_VXLAN:
        return NODE_VXLAN;
    case UGWD_TRANSPORT_GRE:
        return NODE_GRE;
    default:
        return 0;
    }
}

int bind_vap(ugwd_vap *vap, ugwd_proc *proc, ugwd_socket *sock)
{
    ugwd_service *s = vap->service;
    ugwd_binding b = {};
    b.proc = proc;
    b.port = sock->port;
    b.socket_id = sock->id;
    b.family = vap->radio.sa.sa_family;
    if (bind_object(&b, s, &vap->radio, NODE_RADIO, static_cast<uint32_t>(vap->index), vap->bssid,
                    true) < 0) {
        int err = errno;
        const uint8_t *m = vap->bssid;
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Failed to bind VAP [%zd] with BSSID %02x:%02x:%02x:%02x:%02x:%02x: %s", vap->index,
             m[0], m[1], m[2], m[3], m[4], m[5], strerror(err));
        release_binding(&b, true);
        errno = err;
        return -1;
    }
    ugwd_ctl *ctl = s->ctl;
    ugwd_table_remove_vap(ctl->table, vap);
    vap->bind = b;
    vap->id = b.bcast;
    vap->mib.ulmexFrlNodeId = b.chain_node;
    vap->mib.ulmexFrlBroadcastId = b.bcast;
    ugwd_table_insert_vap(ctl->table, vap);
    ugwd_ctl_notify_vap(vap, CTL_NEW_VAP);
    const uint8_t *m = vap->bssid;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Bound VAP [%zd] with BSSID %02x:%02x:%02x:%02x:%02x:%02x to process %u and port %s using "
         "%s tunneling",
         vap->index, m[0], m[1], m[2], m[3], m[4], m[5], proc->number, sock->port->name,
         family_name(b.family));
    return 0;
}

int bind_tunnel_object(ugwd_tunnel *tn, ugwd_proc *proc, ugwd_socket *sock)
{
    char a[SOCKADDR_FMT_SIZE];
    const char *transport = ugwd_tunnel_transport_name(static_cast<uint8_t>(tn->transport));
    if (tn->transport != sock->mib.ulmexSockProto) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Cannot bind %s tunnel to %s socket", transport,
             ugwd_tunnel_transport_name(static_cast<uint8_t>(sock->mib.ulmexSockProto)));
        errno = EPROTOTYPE;
        return -1;
    }
    uint8_t kind = tunnel_node_kind(tn->transport);
    ugwd_binding b = {};
    b.proc = proc;
    b.port = sock->port;
    b.socket_id = sock->id;
    b.family = tn->peer.sa.sa_family;
    if (!kind || bind_object(&b, tn->service, &tn->peer, kind, static_cast<uint32_t>(tn->index),
                             nullptr, false) < 0) {
        int err = kind ? errno : EPROTONOSUPPORT;
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to bind tunnel [%zd] with peer %s over %s: %s",
             tn->index, sockaddr_format(&tn->peer.sa, a, sizeof(a), 0), transport, strerror(err));
        release_binding(&b, false);
        errno = err;
        return -1;
    }
    ugwd_ctl *ctl = tn->service->ctl;
    ugwd_table_remove_tunnel(ctl->table, tn);
    tn->bind = b;
    tn->id = b.bcast;
    tn->mib.ulmexFrlNodeId = b.chain_node;
    tn->mib.ulmexFrlBroadcastId = b.bcast;
    ugwd_table_insert_tunnel(ctl->table, tn);
    ugwd_ctl_notify_tunnel(tn, CTL_NEW_TUNNEL);
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Bound tunnel [%zd] with peer %s over %s to process %u and port %s using %s tunneling",
         tn->index, sockaddr_format(&tn->peer.sa, a, sizeof(a), 0), transport, proc->number,
         sock->port->name, family_name(b.family));
    return 0;
}

void fail_flow(const ugwd_flow *f, int err)
{
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, ULOG_DEBUG,
         "Failed to bind flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x: %s",
         f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
         strerror(err));
}

} // namespace

int ugwd_ctl_init_chain_mib(const uint32_t *x, const uint32_t *y, uint32_t head, uint32_t bss,
                            uint32_t c, uint32_t d, uint8_t *record, size_t capacity)
{
    size_t need = bss ? 9 : 6;
    if (capacity < need) {
        errno = ENOSPC;
        return -1;
    }
    uint8_t *u = record;
    put_unit(u, 0, head, 0, 0);
    u[8] = 0;
    frl_store32(u + 8, 0);
    u += FRL_NODE_ENTRY_SIZE;
    auto link = [&](uint32_t from, uint32_t to) {
        put_unit(u, from, to, 1, 0);
        u += FRL_NODE_ENTRY_SIZE;
    };
    auto end = [&](uint32_t from, uint8_t mark) {
        put_unit(u, from, 0, mark, mark);
        u += FRL_NODE_ENTRY_SIZE;
    };
    if (bss) {
        link(head, bss);
        link(bss, c);
        end(bss, 2);
        end(bss, 3);
    } else {
        link(head, c);
    }
    link(c, *x);
    link(*x, *y);
    link(*y, d);
    end(d, 1);
    return static_cast<int>(need);
}

void ugwd_ctl_init_bcast_flow(const ugwd_service *s, uint32_t node, frl_flow *rec)
{
    *rec = frl_flow{};
    frl_store32(rec->b + FRL_FLOW_NODE, node);
    memset(rec->b + FRL_FLOW_ID + 6, 0xff, 6);
    frl_store32(rec->b + FRL_FLOW_SETTING, s->vni);
    set_mode_bits(rec, s->mib.mode);
}

int ugwd_ctl_bind_tunnel(ugwd_flow *f, ugwd_proc *proc, ugwd_socket *sock)
{
    if (f->bound) return 0;
    if (parse_rules() < 0) {
        fail_flow(f, EINVAL);
        errno = EINVAL;
        return -1;
    }
    ugwd_vap *vap = f->vap;
    ugwd_tunnel *tn = f->tunnel;
    ugwd_binding *ob = vap ? &vap->bind : &tn->bind;
    // A flow follows its VAP or tunnel: their frames meet in one process.
    if (ob->proc && (ob->proc != proc || ob->port != sock->port)) {
        fail_flow(f, EXDEV);
        errno = EXDEV;
        return -1;
    }
    if (!ob->proc && (vap ? bind_vap(vap, proc, sock) : bind_tunnel_object(tn, proc, sock)) < 0)
        return -1;

    ugwd_service *s = vap ? vap->service : tn->service;
    frlc *c = proc->fernrelay;
    frl_flow rec = {};
    frl_store32(rec.b + FRL_FLOW_NODE, ob->chain_node);
    memcpy(rec.b + FRL_FLOW_ID, &f->id, sizeof(f->id));
    frl_store32(rec.b + FRL_FLOW_SETTING, s->vni);
    set_mode_bits(&rec, s->mib.mode);
    rec.b[FRL_FLOW_MODE_B] |= 0x20;

    // The flow and its first key go in under one lock; a tunnel flow has no
    // key, and a lone request needs no lock.
    int r = vap ? frlc_lock(c) : 0;
    bool added = false;
    if (r == 0) {
        r = frlc_add_flow(c, &rec);
        added = r == 0;
        if (r == 0 && vap) {
            static constexpr uint8_t suite[4] = {0x06, 0xac, 0x0f, 0x00};
            r = frlc_install_key(c, ob->radio_node, &f->id, frl_load32(suite), 8, f->tunnel_key,
                                 sizeof(f->tunnel_key));
        }
        int err = errno;
        if (vap) frlc_unlock(c);
        errno = err;
    }
    if (r == 0) r = frlc_set_redirect_url(c, proc->node_a, &f->id, "");
    if (r == 0) r = frlc_set_ip_rules(c, proc->node_a, &f->id, flow_rules, std::size(flow_rules));
    if (r == 0)
        r = frlc_set_ip_rules(c, proc->node_b, &f->id, node_b_rules, std::size(node_b_rules));
    if (r < 0) {
        int err = errno;
        fail_flow(f, err);
        if (added) frlc_remove_flow(c, &f->id, nullptr);
        errno = err;
        return -1;
    }

    ugwd_ctl *ctl = f->ctl;
    ugwd_table_remove_flow(ctl->table, f);
    f->proc = proc;
    f->process = proc->number;
    f->port = sock->port->mib.ulmexPortIfIndex;
    f->chain_node = ob->chain_node;
    f->limit_node = ob->vap_node;
    f->rule_node = proc->node_a;
    f->family = ob->family;
    f->bound = true;
    ugwd_table_insert_flow(ctl->table, f);
    char a[SOCKADDR_FMT_SIZE];
    const uint8_t *m = f->mac, *b = f->bssid;
    (void)a;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Bound flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x to process %u and port %s using %s over %s tunneling",
         f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
         proc->number, sock->port->name,
         transport_text(vap ? uint32_t{UGWD_TRANSPORT_NATIVE} : tn->transport),
         family_name(f->family));
    ugwd_ctl_notify_flow(f, CTL_NEW_FLOW);
    return 0;
}
