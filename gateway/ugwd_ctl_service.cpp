// The control module's services: their ports in the data planes, stopping
// and deleting them, their management commands and events.
//
// Data-plane ports are counted per port id across services: two services on
// one interface share its port, which enters the data planes with the first
// and leaves them with the last.
#include <cerrno>
#include <cstring>

#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/schedule.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_table.h"

namespace
{

enum : size_t {
    SERVICE_REPLY = 1300,
    REPLY_MIB = 8,
    REPLY_CONFIG = 776,
    REPLY_PARAMS = 1056,
    REPLY_COUNTERS = 1184,
    REPLY_STATS = 1236,
    VAP_REPLY = 544,
    VAP_CONFIG = 136,
    VAP_STATS = 416,
    TUNNEL_REPLY = 128,
    RENAME_NEW = 24,
    PORT_RECORD_FLAG = 96,
};
static_assert(REPLY_STATS + 64 == SERVICE_REPLY);
static_assert(VAP_STATS + 128 == VAP_REPLY);

constexpr uint8_t zero_uuid[16] = {};

bool is_zero_uuid(const uint8_t *u)
{
    return memcmp(u, zero_uuid, 16) == 0;
}

ugwd_port_ref *find_ref(const ugwd_ctl *ctl, uint32_t id)
{
    auto *refs = static_cast<ugwd_port_ref *>(ctl->port_refs._buffer);
    for (size_t i = 0; i < ctl->port_refs._count; i++)
        if (refs[i].id == id) return &refs[i];
    return nullptr;
}

int proc_add_port(ugwd_proc *proc, uint32_t id)
{
    frl_port port = {};
    frl_store32(port.b, id);
    port.b[PORT_RECORD_FLAG] = 0x60;
    return frlc_add_port(proc->fernrelay, &port);
}

void procs_remove_port(ugwd_ctl *ctl, uint32_t id, ugwd_proc *until)
{
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        if (p == until) break;
        frlc_remove_port(p->fernrelay, id, nullptr);
    }
}

// The new physical ports of one list: ids not counted yet, each once.
bool counted_earlier(const uint32_t *ids, uint32_t i)
{
    for (uint32_t j = 0; j < i; j++)
        if (ids[j] == ids[i]) return true;
    return false;
}

void fill_service_reply(const ugwd_service *s, uint8_t *msg, uint32_t type, bool params,
                        bool secrets)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + REPLY_MIB, &s->mib, sizeof(s->mib));
    dot11_auth_config config = s->config;
    if (!secrets) dot11_config_clear_psk(&config);
    memcpy(msg + REPLY_CONFIG, &config, sizeof(config));
    if (params) memcpy(msg + REPLY_PARAMS, s->vap_params, sizeof(s->vap_params));
    memcpy(msg + REPLY_COUNTERS, s->auth_counters, sizeof(s->auth_counters));
    memcpy(msg + REPLY_STATS, s->auth_stats, sizeof(s->auth_stats));
    secure_wipe(&config, sizeof(config));
}

// stats: the VAP's 802.11 statistics as its process reported them, or null
// (zero) when it was not asked.
void fill_vap_reply(const ugwd_vap *vap, uint8_t *msg, uint32_t type, bool secrets,
                    const frl_vap *stats)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + REPLY_MIB, &vap->mib, sizeof(vap->mib));
    dot11_auth_config config = vap->auth.config;
    if (!secrets) dot11_config_clear_psk(&config);
    memcpy(msg + VAP_CONFIG, &config, sizeof(config));
    if (stats) memcpy(msg + VAP_STATS, stats->b, sizeof(stats->b));
    secure_wipe(&config, sizeof(config));
}
static_assert(VAP_STATS + sizeof(frl_vap) == VAP_REPLY);

void fill_tunnel_reply(const ugwd_tunnel *tn, uint8_t *msg, uint32_t type)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + REPLY_MIB, &tn->mib, sizeof(tn->mib));
}

// The request's configuration, copied out of the message before the reply
// is written over it.
void read_conf(ugwd_service_conf *conf, const uint8_t *msg)
{
    memcpy(conf, msg + CTL_MSG_PAYLOAD, sizeof(*conf));
    conf->mib.ulmexRadiusNASIdentifier[sizeof(conf->mib.ulmexRadiusNASIdentifier) - 1] = '\0';
}

uint32_t if_count(const ugwd_service_conf &conf)
{
    return conf.mib.ulmexServiceIfCount;
}

bool same_ports(const ugwd_service *s, const ugwd_service_conf &conf)
{
    uint32_t n = s->mib.ulmexServiceIfCount;
    if (n != if_count(conf)) return false;
    return memcmp(s->mib.ulmexServiceIfIndices, conf.mib.ulmexServiceIfIndices,
                  4u * (n < UGWD_SERVICE_IFS ? n : UGWD_SERVICE_IFS)) == 0;
}

int nas_of(ugwd_ctl *ctl, const ugwd_service_conf &conf, ugwd_nas **nas)
{
    *nas = nullptr;
    const char *name = conf.mib.ulmexRadiusNASIdentifier;
    if (!name[0]) return 0;
    *nas = ugwd_nas_lookup(ctl->nas, name);
    if (!*nas) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

int reinsert(ugwd_ctl *ctl, ugwd_service *s)
{
    int r = ugwd_table_insert_service(ctl->table, s);
    if (r < 0)
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to index service [%zd]: %s", s->index,
             strerror(errno));
    return r;
}

void remove_service_leases(ugwd_ctl *ctl, const uint8_t uuid[16])
{
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&ctl->leases)) {
        if (memcmp(l->rec.uuid, uuid, 16)) continue;
        ugwd_table_drop_lease(ctl->table, l);
        ugwd_table_remove_lease(ctl->table, l);
        list_remove(&l->link);
        mempool_release(ctl->pools[UGWD_POOL_LEASE], l);
    }
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&ctl->leases6)) {
        if (memcmp(l->rec.uuid, uuid, 16)) continue;
        ugwd_table_drop_lease6(ctl->table, l);
        ugwd_table_remove_lease6(ctl->table, l);
        list_remove(&l->link);
        mempool_release(ctl->pools[UGWD_POOL_LEASE6], l);
    }
}

} // namespace

uint32_t ugwd_ctl_port_refs(const ugwd_ctl *ctl, uint32_t id)
{
    const ugwd_port_ref *r = find_ref(ctl, id);
    return r ? r->count : 0;
}

int ugwd_ctl_add_ports(ugwd_ctl *ctl, const uint32_t *ids, uint32_t count)
{
    // Room for every new id first, so that counting cannot fail half-way.
    if (count == 0) return 0;
    if (array_grow(&ctl->port_refs, ctl->port_refs._count + count) < 0) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return -1;
    }
    uint32_t added = 0;
    for (; added < count; added++) {
        uint32_t id = ids[added];
        if (find_ref(ctl, id) || counted_earlier(ids, added)) continue;
        for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
            if (proc_add_port(p, id) == 0) continue;
            int err = errno;
            procs_remove_port(ctl, id, p);
            for (uint32_t j = 0; j < added; j++)
                if (!find_ref(ctl, ids[j]) && !counted_earlier(ids, j))
                    procs_remove_port(ctl, ids[j], nullptr);
            errno = err;
            return -1;
        }
    }
    for (uint32_t i = 0; i < count; i++) {
        if (ugwd_port_ref *r = find_ref(ctl, ids[i])) {
            r->count++;
        } else {
            *array_push<ugwd_port_ref>(&ctl->port_refs) = {ids[i], 1};
        }
    }
    return 0;
}

void ugwd_ctl_remove_ports(ugwd_ctl *ctl, const uint32_t *ids, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        ugwd_port_ref *r = find_ref(ctl, ids[i]);
        if (!r) continue;
        if (--r->count) continue;
        procs_remove_port(ctl, ids[i], nullptr);
        auto *refs = static_cast<ugwd_port_ref *>(ctl->port_refs._buffer);
        size_t at = static_cast<size_t>(r - refs);
        refs[at] = refs[ctl->port_refs._count - 1];
        array_truncate(&ctl->port_refs, ctl->port_refs._count - 1);
    }
}

int ugwd_ctl_notify_service(ugwd_service *s, uint32_t type)
{
    uint8_t msg[SERVICE_REPLY];
    fill_service_reply(s, msg, type, false, false);
    return ugwd_ctl_publish(s->ctl, msg, sizeof(msg));
}

int ugwd_ctl_notify_vap(ugwd_vap *vap, uint32_t type)
{
    uint8_t msg[VAP_REPLY];
    fill_vap_reply(vap, msg, type, false, nullptr);
    return ugwd_ctl_publish(vap->service->ctl, msg, sizeof(msg));
}

int ugwd_ctl_notify_tunnel(ugwd_tunnel *tn, uint32_t type)
{
    uint8_t msg[TUNNEL_REPLY];
    fill_tunnel_reply(tn, msg, type);
    return ugwd_ctl_publish(tn->service->ctl, msg, sizeof(msg));
}

void ugwd_ctl_service_changed(ugwd_service *s)
{
    ugwd_ctl_notify_service(s, CTL_NEW_SERVICE);
    schedule_cancel(s->ctl->sched, &s->inform_timer);
    schedule_timer(s->ctl->sched, &s->inform_timer, 0, ugwd_ctl_service_inform_timer_cb);
}

void ugwd_ctl_stop_service(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    ugwd_ctl_unbind_flows_by_uuid(ctl, s->uuid);
    ugwd_ctl_notify_service(s, CTL_DELETE_SERVICE);
    ulmex_cancel(&ctl->link, &s->pending);
    schedule_cancel(ctl->sched, &s->inform_timer);
    list_remove(&s->queue);
    list_append(&ctl->register_queue, &s->queue);
    bool started = s->started;
    s->started = false;
    // Only a controller that registered the service has anything to forget;
    // without a running link the request is refused and counted there.
    if (!started) return;
    ulmex_message msg;
    msg.request = true;
    msg.pdu = ulmex_make_pdu<ULMEX_SERVICE_UNREGISTER>(
        ulmex_service_unregister{ulmex_bytes(s->uuid, 16), s->session_id});
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) ugwd_ctl_print_message(ctl, msg);
    ulmex_request(&ctl->link, msg.pdu, nullptr, nullptr);
}

void ugwd_ctl_delete_service(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    // Its requests still pending name it as their user and list it.
    ulmex_cancel(&ctl->link, &s->pending);
    schedule_cancel(ctl->sched, &s->inform_timer);
    remove_service_leases(ctl, s->uuid);
    ugwd_ctl_remove_ports(ctl, s->mib.ulmexServiceIfIndices, s->mib.ulmexServiceIfCount);
    list_remove(&s->queue);
    ugwd_table_remove_service(ctl->table, s);
    ugwd_service_delete(s);
}

int ugwd_ctl_cmd_add_service(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SERVICE_REPLY) return SERVICE_REPLY;
    bool force = ctl_get32(msg, 4) & CTL_F_FORCE;
    ugwd_service_conf conf;
    read_conf(&conf, msg);
    if (is_zero_uuid(conf.mib.ulmexServiceId)) {
        errno = EINVAL;
        return -1;
    }
    ugwd_service *s = ugwd_table_get_service(ctl->table, conf.mib.ulmexServiceId);
    if (s && !force) {
        errno = EEXIST;
        return -1;
    }
    if (!s) {
        if (if_count(conf) > UGWD_SERVICE_IFS) {
            errno = EINVAL;
            return -1;
        }
        ugwd_nas *nas;
        if (ugwd_ctl_add_ports(ctl, conf.mib.ulmexServiceIfIndices, if_count(conf)) < 0) return -1;
        if (nas_of(ctl, conf, &nas) < 0 || !(s = ugwd_service_create(ctl, nas, &conf))) {
            int err = errno;
            ugwd_ctl_remove_ports(ctl, conf.mib.ulmexServiceIfIndices, if_count(conf));
            errno = err;
            return -1;
        }
        if (ugwd_table_insert_service(ctl->table, s) < 0) {
            int err = errno;
            ugwd_service_delete(s);
            ugwd_ctl_remove_ports(ctl, conf.mib.ulmexServiceIfIndices, if_count(conf));
            errno = err;
            return -1;
        }
        list_append(&ctl->register_queue, &s->queue);
    }
    fill_service_reply(s, msg, CTL_NEW_SERVICE, true, true);
    secure_wipe(&conf, sizeof(conf));
    return SERVICE_REPLY;
}

int ugwd_ctl_cmd_remove_service(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SERVICE_REPLY) return SERVICE_REPLY;
    bool force = ctl_get32(msg, 4) & CTL_F_FORCE;
    ugwd_service *s = ugwd_table_get_service(ctl->table, msg + CTL_MSG_PAYLOAD);
    if (!s) {
        if (force) return 0;
        errno = ENOENT;
        return -1;
    }
    ugwd_ctl_stop_service(s);
    if (s->mib.ulmexServiceActiveBSSIDs || s->mib.ulmexServiceActiveFlows) {
        errno = EBUSY;
        return -1;
    }
    fill_service_reply(s, msg, CTL_DELETE_SERVICE, true, true);
    ugwd_ctl_delete_service(s);
    return SERVICE_REPLY;
}

int ugwd_ctl_cmd_rename_service(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SERVICE_REPLY) return SERVICE_REPLY;
    uint8_t old_uuid[16], new_uuid[16];
    memcpy(old_uuid, msg + CTL_MSG_PAYLOAD, 16);
    memcpy(new_uuid, msg + RENAME_NEW, 16);
    if (is_zero_uuid(new_uuid)) {
        errno = EINVAL;
        return -1;
    }
    if (ugwd_table_get_service(ctl->table, new_uuid)) {
        errno = EEXIST;
        return -1;
    }
    ugwd_service *s = ugwd_table_get_service(ctl->table, old_uuid);
    if (!s) {
        errno = ENOENT;
        return -1;
    }
    // Tunnel flows exist without a controller: unbind them whether or not
    // the service was started.
    if (s->started)
        ugwd_ctl_stop_service(s);
    else
        ugwd_ctl_unbind_flows_by_uuid(ctl, s->uuid);
    if (s->mib.ulmexServiceActiveBSSIDs || s->mib.ulmexServiceActiveFlows) {
        errno = EBUSY;
        return -1;
    }
    ugwd_table_remove_service(ctl->table, s);
    memcpy(s->uuid, new_uuid, 16);
    memcpy(s->mib.ulmexServiceId, new_uuid, 16);
    if (reinsert(ctl, s) < 0) {
        int err = errno;
        memcpy(s->uuid, old_uuid, 16);
        memcpy(s->mib.ulmexServiceId, old_uuid, 16);
        reinsert(ctl, s);
        errno = err;
        return -1;
    }
    fill_service_reply(s, msg, CTL_NEW_SERVICE, true, true);
    return SERVICE_REPLY;
}

int ugwd_ctl_cmd_modify_service(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SERVICE_REPLY) return SERVICE_REPLY;
    ugwd_service_conf conf;
    read_conf(&conf, msg);
    ugwd_service *s = ugwd_table_get_service(ctl->table, conf.mib.ulmexServiceId);
    if (!s) {
        errno = ENOENT;
        return -1;
    }
    if (if_count(conf) > UGWD_SERVICE_IFS) {
        errno = EINVAL;
        return -1;
    }
    if (s->started) ugwd_ctl_stop_service(s);
    ugwd_table_remove_service(ctl->table, s);

    bool ports_changed = !same_ports(s, conf);
    uint32_t old_ports[UGWD_SERVICE_IFS];
    uint32_t old_count = s->mib.ulmexServiceIfCount;
    memcpy(old_ports, s->mib.ulmexServiceIfIndices, sizeof(old_ports));
    if (ports_changed &&
        ugwd_ctl_add_ports(ctl, conf.mib.ulmexServiceIfIndices, if_count(conf)) < 0) {
        int err = errno;
        reinsert(ctl, s);
        errno = err;
        return -1;
    }
    ugwd_nas *nas = nullptr;
    int err = 0;
    if (nas_of(ctl, conf, &nas) < 0)
        err = ENOENT;
    else if (ugwd_service_configure(s, nas, &conf) < 0)
        err = EINVAL;
    secure_wipe(&conf, sizeof(conf));
    if (err) {
        if (ports_changed)
            ugwd_ctl_remove_ports(ctl, conf.mib.ulmexServiceIfIndices, if_count(conf));
        reinsert(ctl, s);
        errno = err;
        return -1;
    }
    if (ports_changed) ugwd_ctl_remove_ports(ctl, old_ports, old_count);
    reinsert(ctl, s);
    fill_service_reply(s, msg, CTL_NEW_SERVICE, true, true);
    return SERVICE_REPLY;
}

namespace
{

int get_service(ugwd_ctl *ctl, uint8_t *msg, size_t size, bool secrets)
{
    if (size < SERVICE_REPLY) return SERVICE_REPLY;
    ugwd_service *s = ugwd_table_get_service(ctl->table, msg + CTL_MSG_PAYLOAD);
    if (!s) {
        errno = ENOENT;
        return -1;
    }
    fill_service_reply(s, msg, CTL_NEW_SERVICE, true, secrets);
    return SERVICE_REPLY;
}

} // namespace

int ugwd_ctl_cmd_get_service(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_service(ctl, msg, size, true);
}

int ugwd_ctl_cmd_get_service_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_service(ctl, msg, size, false);
}

int ugwd_ctl_cmd_dump_services(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint32_t n = ugwd_table_count_services(ctl->table);
    size_t need = sizeof(ctl_list_ext) + size_t{n} * CTL_REC_SERVICE;
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_SERVICES);
    uint32_t i = 0;
    for (ugwd_service *s : list_records<&ugwd_service::queue>(&ctl->register_queue))
        memcpy(msg + sizeof(ctl_list_ext) + size_t{i++} * CTL_REC_SERVICE, &s->mib,
               CTL_REC_SERVICE);
    for (list_link *head : {&ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *s : list_records<&ugwd_service::queue>(head))
            if (i < n)
                memcpy(msg + sizeof(ctl_list_ext) + size_t{i++} * CTL_REC_SERVICE, &s->mib,
                       CTL_REC_SERVICE);
    ctl_put32(msg, 8, i);
    return static_cast<int>(sizeof(ctl_list_ext) + size_t{i} * CTL_REC_SERVICE);
}

namespace
{

int get_vap(ugwd_ctl *ctl, uint8_t *msg, size_t size, bool secrets)
{
    if (size < VAP_REPLY) return VAP_REPLY;
    ugwd_vap *vap = ugwd_table_get_vap_by_uuid_bssid(ctl->table, msg + 8, msg + 24);
    if (!vap) {
        errno = ENOENT;
        return -1;
    }
    frl_vap stats;
    bool bound = vap->bind.proc != nullptr;
    if (bound) {
        if (frlc_get_vap_stats(vap->bind.proc->fernrelay, vap->bind.service_node, &stats) < 0) {
            errno = EIO;
            return -1;
        }
        for (ugwd_flow *f : list_records<&ugwd_flow::link>(&ctl->flows))
            if (f->vap == vap && ugwd_ctl_update_flow(f, nullptr) < 0) return -1;
        if (ugwd_ctl_update_vap(vap, nullptr) < 0) {
            errno = EIO;
            return -1;
        }
    }
    fill_vap_reply(vap, msg, CTL_NEW_VAP, secrets, bound ? &stats : nullptr);
    return VAP_REPLY;
}

// The records of one service's objects, or of all of them, in creation order.
template <class T, auto Link, class Mib>
int dump_objects(list_link *head, uint8_t *msg, size_t size, uint32_t type)
{
    uint8_t uuid[16];
    memcpy(uuid, msg + CTL_MSG_PAYLOAD, 16);
    bool all = is_zero_uuid(uuid);
    uint32_t n = 0;
    for (T *o : list_records<Link>(head))
        n += all || memcmp(o->uuid, uuid, 16) == 0;
    size_t need = sizeof(ctl_list_ext) + size_t{n} * sizeof(Mib);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, type);
    ctl_put32(msg, 8, n);
    uint32_t i = 0;
    for (T *o : list_records<Link>(head))
        if (all || memcmp(o->uuid, uuid, 16) == 0)
            memcpy(msg + sizeof(ctl_list_ext) + size_t{i++} * sizeof(Mib), &o->mib, sizeof(Mib));
    return static_cast<int>(need);
}

} // namespace

int ugwd_ctl_cmd_get_vap(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_vap(ctl, msg, size, true);
}

int ugwd_ctl_cmd_get_vap_ro(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return get_vap(ctl, msg, size, false);
}

int ugwd_ctl_cmd_dump_vaps(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_objects<ugwd_vap, &ugwd_vap::link, ugwd_vap_mib>(&ctl->vaps, msg, size, CTL_VAPS);
}

int ugwd_ctl_cmd_get_tunnel(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < TUNNEL_REPLY) return TUNNEL_REPLY;
    ugwd_sockaddr peer = {};
    memcpy(&peer, msg + 24, sizeof(peer));
    ugwd_tunnel *tn = ugwd_table_get_tunnel_by_addr(ctl->table, msg + CTL_MSG_PAYLOAD, &peer.sa);
    if (!tn) {
        errno = ENOENT;
        return -1;
    }
    if (tn->bind.proc && ugwd_ctl_update_tunnel(tn, nullptr) < 0) return -1;
    fill_tunnel_reply(tn, msg, CTL_NEW_TUNNEL);
    return TUNNEL_REPLY;
}

int ugwd_ctl_cmd_dump_tunnels(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_objects<ugwd_tunnel, &ugwd_tunnel::link, ugwd_tunnel_mib>(&ctl->tunnels, msg, size,
                                                                          CTL_TUNNELS);
}

void ugwd_ctl_clear_service_pmksas(ugwd_ctl *ctl, const uint8_t *uuid, const uint8_t *mac)
{
    if (ugwd_service *s = ugwd_table_get_service(ctl->table, uuid)) ugwd_service_clear_pmksas(s, mac);
}
