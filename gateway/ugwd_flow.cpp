// Flows: creation and deletion, Ethernet connection and liveness, the
// statistics fold and the data-plane events that concern flows.
#include "gateway/ugwd_flow.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/checksum.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "radius/radius_authz.h"

namespace
{

void log_flow(int level, const char *fmt_head, const ugwd_flow *f, const char *tail = "")
{
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, level,
         "%s flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x%s",
         fmt_head, f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
         tail);
}

ugwd_service *service_of(const ugwd_flow *f)
{
    return f->vap ? f->vap->service : f->tunnel->service;
}

ugwd_flow *new_flow(ugwd_ctl *ctl, ugwd_vap *vap, ugwd_tunnel *tn, const uint8_t mac[6],
                    uint32_t unbind_delay)
{
    mempool *pool = ctl->pools[UGWD_POOL_FLOW];
    // The value-initialisation below zeroes the object: the pool need not as well.
    void *mem = mempool_alloc(pool);
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
    if (vap) {
        memcpy(f->bssid, vap->bssid, 6);
        f->peer = vap->radio;
    } else {
        f->peer = tn->peer;
    }
    f->start_time = f->last_activity = clock_sec();
    f->unbind_delay = unbind_delay;
    ugwd_flow_links_init(f);
    list_init(&f->link);
    list_init(&f->requests);
    list_init(&f->leases);
    list_init(&f->leases6);
    list_init(&f->groups);
    list_init(&f->groups6);
    if (vap)
        vap->mib.ulmexServiceActiveFlows++;
    else
        tn->mib.ulmexServiceActiveFlows++;
    s->mib.ulmexServiceActiveFlows++;
    return f;
}

uint32_t liveness_delay_ms(uint32_t period, uint32_t x)
{
    uint32_t s = x < period ? std::min(period / 2, period - x) : 0;
    // A check at once would spin until a second has passed: at least 1 s.
    if (s == 0) s = 1;
    return (s % (1u << 29)) * 1000;
}

} // namespace

ugwd_flow *ugwd_ctl_create_flow(ugwd_ctl *ctl, ugwd_vap *vap, ugwd_tunnel *tn, const uint8_t mac[6])
{
    if (!vap == !tn) {
        errno = EINVAL;
        return nullptr;
    }
    ugwd_flow *f;
    if (vap) {
        flow_id id;
        frlc_flow_id_pair(&id, vap->bssid, mac);
        static constexpr uint8_t none[32] = {};
        f = ugwd_service_create_80211_flow(vap, &id, none, mac, none, 0, 0);
    } else {
        f = new_flow(ctl, vap, tn, mac, 0);
        if (f) frlc_flow_id_pair(&f->id, f->bssid, f->mac);
    }
    if (!f) return nullptr;
    if (ugwd_table_insert_flow(ctl->table, f) < 0) {
        int err = errno;
        ugwd_service_delete_flow(f);
        errno = err;
        return nullptr;
    }
    list_append(&ctl->flows, &f->link);
    return f;
}

ugwd_flow *ugwd_service_create_80211_flow(ugwd_vap *vap, const flow_id *id, const uint8_t radio[6],
                                          const uint8_t mac[6], const uint8_t session_key[32],
                                          uint32_t session_id, uint32_t unbind_delay)
{
    ugwd_flow *f = new_flow(vap->service->ctl, vap, nullptr, mac, unbind_delay);
    if (!f) return nullptr;
    f->id = *id;
    memcpy(f->radio, radio, 6);
    f->session_id = session_id;
    ugwd_tunnel_key_expand(f->tunnel_key, session_key);
    if (!vap->auth_running || dot11_auth_attach_sta(&vap->auth, &f->rsna, mac) < 0) {
        f->rsna.auth = nullptr; // nothing to detach
        ugwd_service_delete_flow(f);
        errno = EINVAL;
        return nullptr;
    }
    char u[37];
    const uint8_t *m = f->mac, *b = f->bssid, *r = f->radio;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Created 802.11 flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x with radio %02x:%02x:%02x:%02x:%02x:%02x and service %s",
         f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5], r[0],
         r[1], r[2], r[3], r[4], r[5], ugwd_uuid_format(f->uuid, u));
    return f;
}

ugwd_flow *ugwd_service_create_ether_flow(ugwd_tunnel *tn, const flow_id *id, const uint8_t mac[6],
                                          uint32_t unbind_delay)
{
    ugwd_ctl *ctl = tn->service->ctl;
    ugwd_flow *f = new_flow(ctl, nullptr, tn, mac, unbind_delay);
    if (!f) return nullptr;
    f->id = *id;
    char a[SOCKADDR_FMT_SIZE], u[37];
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Created Ethernet flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x with tunnel %s and service %s",
         f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
         sockaddr_format(&tn->peer.sa, a, sizeof(a), 0), ugwd_uuid_format(f->uuid, u));
    return f;
}

void ugwd_service_delete_flow(ugwd_flow *f)
{
    if (!f) return;
    ugwd_ctl *ctl = f->ctl;
    ugwd_service *s = service_of(f);
    // Detaching runs the station's machines, whose callbacks may arm the
    // flow's timers: they are cancelled after it.
    if (f->rsna.auth) {
        f->flags |= UGWD_FLOW_DETACHING;
        dot11_auth_detach_sta(&f->rsna);
        f->rsna.auth = nullptr;
    }
    schedule_cancel(ctl->sched, &f->timer_a);
    schedule_cancel(ctl->sched, &f->timer_b);
    schedule_cancel(ctl->sched, &f->timer_c);
    list_remove(&f->link);
    if (f->vap && f->vap->mib.ulmexServiceActiveFlows) f->vap->mib.ulmexServiceActiveFlows--;
    if (f->tunnel && f->tunnel->mib.ulmexServiceActiveFlows)
        f->tunnel->mib.ulmexServiceActiveFlows--;
    if (s->mib.ulmexServiceActiveFlows) s->mib.ulmexServiceActiveFlows--;
    char u[37];
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Deleted flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x on service %s",
         f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
         ugwd_uuid_format(f->uuid, u));
    f->~ugwd_flow();
    mempool_release(ctl->pools[UGWD_POOL_FLOW], f);
}

void ugwd_flow_connect(ugwd_flow *f)
{
    if (!f->tunnel || (f->flags & UGWD_FLOW_CONNECTED)) return;
    f->flags |= UGWD_FLOW_CONNECTED;
    ugwd_ctl_associate_flow(f);
    ugwd_flow_authorize(f, nullptr);
    ugwd_flow_schedule_liveness(f, 0);
}

void ugwd_flow_disconnect(ugwd_flow *f, uint16_t reason)
{
    if (f->tunnel) {
        if (!(f->flags & UGWD_FLOW_CONNECTED)) return;
        f->flags &= static_cast<uint8_t>(~UGWD_FLOW_CONNECTED);
        schedule_cancel(f->ctl->sched, &f->timer_a);
    } else if (f->rsna.auth) {
        // The authenticator takes the station down; its deauthorized and
        // disassociated callbacks do the rest.
        if (reason)
            dot11_auth_disconnect_sta(&f->rsna, reason);
        else
            dot11_auth_drop_sta(&f->rsna);
        return;
    } else if (!f->assoc_time && !hashlink_used(&f->by_assoc)) {
        return;
    }
    // Without a station authenticator an 802.11 flow goes the way its
    // deauthorized and disassociated callbacks would take it. A deletion asked
    // for by the deauthorization waits for the disassociation to be done.
    f->hold_depth++;
    ugwd_flow_deauthorize(f, reason);
    ugwd_ctl_disassociate_flow(f, reason);
    ugwd_ctl_release_flow(f);
}

int ugwd_flow_authorize(ugwd_flow *f, const void *)
{
    radius_authz a = {};
    char name[18];
    const uint8_t *m = f->mac;
    snprintf(name, sizeof(name), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
             m[5]);
    a.user_name = name;
    return ugwd_ctl_authorize_flow(f, &a);
}

void ugwd_flow_deauthorize(ugwd_flow *f, uint16_t reason)
{
    ugwd_ctl_deauthorize_flow(f, reason);
}

uint32_t ugwd_flow_liveness_period(uint16_t idle_period)
{
    return static_cast<uint32_t>((uint64_t{idle_period} * 1024000 + 500000) / 1000000);
}

void ugwd_flow_schedule_liveness(ugwd_flow *f, uint32_t x)
{
    ugwd_ctl *ctl = f->ctl;
    schedule_cancel(ctl->sched, &f->timer_a);
    uint32_t period = ugwd_flow_liveness_period(service_of(f)->config.dot11BssMaxIdlePeriod);
    if (!period) return; // no idle period: no liveness check
    schedule_timer(ctl->sched, &f->timer_a, liveness_delay_ms(period, x), ugwd_service_liveness_cb);
}

void ugwd_service_liveness_cb(timer *t)
{
    ugwd_flow *f = container_of(t, &ugwd_flow::timer_a);
    uint32_t period = ugwd_flow_liveness_period(service_of(f)->config.dot11BssMaxIdlePeriod);
    if (!period || !(f->flags & UGWD_FLOW_CONNECTED)) return;
    ugwd_ctl_update_flow(f, nullptr);
    uint32_t idle = clock_sec() - f->last_activity;
    if (idle >= period) {
        log_flow(ULOG_INFO, "Flow", f, " disconnected due to inactivity");
        ugwd_flow_disconnect(f, 4);
        return;
    }
    if (idle > 0) {
        const uint8_t *m = f->mac, *b = f->bssid;
        ulog(LOG_COMP_ALL, ULOG_INFO,
             "No data received on flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
             "%02x:%02x:%02x:%02x:%02x:%02x in %us - checking liveness",
             f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5],
             idle);
        const uint8_t *src = f->tunnel->service->devs[f->tunnel->slot].hwaddr;
        static constexpr uint8_t zero[16] = {};
        packet *probes[2] = {};
        if (!list_isempty(&f->leases)) {
            auto *l = list_first_record<&ugwd_lease::link>(&f->leases);
            if (memcmp(l->rec.addr, zero, 4))
                probes[0] = ugwd_liveness_ping_arp(f->ctl->packet_pool, src, f->mac, l->rec.addr);
        }
        if (!list_isempty(&f->leases6)) {
            auto *l = list_first_record<&ugwd_lease6::link>(&f->leases6);
            if (memcmp(l->rec.addr, zero, 16))
                probes[1] = ugwd_liveness_ping_ndp(f->ctl->packet_pool, src, f->mac, l->rec.addr);
        }
        for (packet *p : probes) {
            if (!p) continue;
            ugwd_ctl_output_flow_packet(f, p);
            packet_release(p);
        }
    }
    ugwd_flow_schedule_liveness(f, std::min(period - idle, period / 2));
}

packet *ugwd_liveness_ping_arp(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                               const uint8_t target[4])
{
    uint8_t f[42] = {};
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    f[12] = 0x08, f[13] = 0x06;
    f[15] = 1;    // Ethernet
    f[16] = 0x08; // IPv4
    f[18] = 6, f[19] = 4;
    f[21] = 1;              // request
    memcpy(f + 22, src, 6); // sender address 0.0.0.0: a probe
    memcpy(f + 32, dst, 6);
    memcpy(f + 38, target, 4);
    return packet_from_bytes(pool, f, sizeof(f));
}

packet *ugwd_liveness_ping_ndp(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                               const uint8_t target[16])
{
    uint8_t f[78] = {};
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    f[12] = 0x86, f[13] = 0xdd;
    uint8_t *ip = f + 14;
    ip[0] = 0x60;
    ip[5] = 24;
    ip[6] = 58;
    ip[7] = 255;
    static constexpr uint8_t solicited[13] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 1, 0xff};
    memcpy(ip + 24, solicited, sizeof(solicited));
    memcpy(ip + 37, target + 13, 3);
    uint8_t *icmp = ip + 40;
    icmp[0] = 135;
    memcpy(icmp + 8, target, 16);
    uint32_t sum = inet_csum_pseudo6(ip, 58, 24);
    sum = inet_csum_partial(sum, icmp, 24);
    uint16_t c = static_cast<uint16_t>(~sum);
    icmp[2] = static_cast<uint8_t>(c >> 8), icmp[3] = static_cast<uint8_t>(c);
    return packet_from_bytes(pool, f, sizeof(f));
}

int ugwd_ctl_get_flow_stats(ugwd_flow *f, uint32_t *idle)
{
    frl_flow_stats st;
    if (!f->proc || frlc_get_flow_stats(f->proc->fernrelay, f->chain_node, &f->id, &st) < 0) {
        char id[FRLC_FLOW_ID_TEXT];
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to get statistics for flow %s: %s",
             frlc_flow_id_format(&f->id, id), strerror(f->proc ? errno : ENOTCONN));
        return -1;
    }
    // The statistics record's last-activity time: u32 at offset 0.
    *idle = clock_sec() - frl_load32(st.b);
    return 0;
}
