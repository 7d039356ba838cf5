// Binding VAPs, tunnels and flows to a data-plane process, and taking them
// out again: the nodes, broadcast flows, group joins and rule sets that a
// binding makes, each undone in reverse when a later step fails.
#include <cerrno>
#include <cstring>
#include <new>

#include "common/log.h"
#include "common/mempool.h"
#include "common/sockaddr.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_table.h"

namespace
{

const uint8_t *bssid_of(const ugwd_flow *f)
{
    return f->bssid;
}

void log_flow(int level, const char *what, const ugwd_flow *f)
{
    const uint8_t *m = f->mac, *b = bssid_of(f);
    ulog(LOG_COMP_ALL, level,
         "%s flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x",
         what, f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5]);
}

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

ugwd_flow *ugwd_ctl_create_flow(ugwd_ctl *ctl, ugwd_vap *vap, ugwd_tunnel *tn, const uint8_t mac[6])
{
    if (!vap == !tn) {
        errno = EINVAL;
        return nullptr;
    }
    mempool *pool = ctl->pools[UGWD_POOL_FLOW];
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *f = new (mem) ugwd_flow{};
    f->ctl = ctl;
    f->index = mempool_index(pool, f);
    memcpy(f->mac, mac, 6);
    ugwd_service *s = vap ? vap->service : tn->service;
    memcpy(f->uuid, s->uuid, 16);
    f->vap = vap;
    f->tunnel = tn;
    if (vap)
        memcpy(f->bssid, vap->bssid, 6);
    else
        f->peer = tn->peer;
    frlc_flow_id_pair(&f->id, f->bssid, f->mac);
    ugwd_flow_links_init(f);
    if (ugwd_table_insert_flow(ctl->table, f) < 0) {
        int err = errno;
        f->~ugwd_flow();
        mempool_release(pool, f);
        errno = err;
        return nullptr;
    }
    list_append(&ctl->flows, &f->link);
    if (vap)
        vap->mib.ulmexServiceActiveFlows++;
    else
        tn->mib.ulmexServiceActiveFlows++;
    s->mib.ulmexServiceActiveFlows++;
    return f;
}

void ugwd_ctl_unbind_flow(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    if (f->bound) {
        frlc_remove_flow(f->proc->fernrelay, &f->id, nullptr);
        ugwd_table_remove_flow(ctl->table, f);
        f->process = 0;
        f->port = 0;
        f->proc = nullptr;
        f->chain_node = f->limit_node = f->rule_node = 0;
        f->family = 0;
        f->bound = false;
        log_flow(ULOG_DETAIL, "Unbound", f);
    }
    ugwd_table_remove_flow(ctl->table, f);
    list_remove(&f->link);
    ugwd_vap *vap = f->vap;
    ugwd_tunnel *tn = f->tunnel;
    ugwd_service *s = vap ? vap->service : tn->service;
    if (vap && vap->mib.ulmexServiceActiveFlows) vap->mib.ulmexServiceActiveFlows--;
    if (tn && tn->mib.ulmexServiceActiveFlows) tn->mib.ulmexServiceActiveFlows--;
    if (s->mib.ulmexServiceActiveFlows) s->mib.ulmexServiceActiveFlows--;
    f->~ugwd_flow();
    mempool_release(ctl->pools[UGWD_POOL_FLOW], f);
    if (tn && !tn->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_tunnel(tn);
    if (vap && !vap->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_vap(vap);
}

// Unbinding takes each flow off the index it was found on, so the first one
// left is always the next: nothing walks an index that unbinding changes.
void ugwd_ctl_unbind_flows_by_uuid(ugwd_ctl *ctl, const uint8_t uuid[16])
{
    uint8_t key[16];
    memcpy(key, uuid, 16);
    while (ugwd_flow *f = ugwd_table_first_flow_by_uuid(ctl->table, key))
        ugwd_ctl_unbind_flow(f);
}

void ugwd_ctl_unbind_flows_by_port(ugwd_ctl *ctl, uint32_t port)
{
    if (!port) return;
    while (ugwd_flow *f = ugwd_table_first_flow_by_port(ctl->table, port))
        ugwd_ctl_unbind_flow(f);
}

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

void ugwd_ctl_clear_resolve(ugwd_ctl *ctl)
{
    if (ctl->resolved) freeaddrinfo(ctl->resolved);
    ctl->resolved = nullptr;
    ctl->resolve_name[0] = '\0';
}
