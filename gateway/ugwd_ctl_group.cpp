// IGMP and MLD memberships of flows: joins and leaves, the sweep that ages and
// indexes them, the general queries that make stations report again, and the
// member lists that the data plane forwards multicast by.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <new>

#include "common/checksum.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"

namespace
{

ugwd_service *service_of(const ugwd_flow *f)
{
    return f->vap ? f->vap->service : f->tunnel->service;
}

void log_member(int level, const char *what, const char *family, const char *group,
                const uint8_t *m)
{
    ulog(LOG_COMP_ALL, level,
         "%s %s multicast group membership %s for client %02x:%02x:%02x:%02x:%02x:%02x", what,
         family, group, m[0], m[1], m[2], m[3], m[4], m[5]);
}

void log_group(int level, const char *what, const ugwd_group *g)
{
    char t[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, g->group, t, sizeof(t));
    log_member(level, what, "IP", t, g->mac);
}

void log_group6(int level, const char *what, const ugwd_group6 *g)
{
    char t[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, g->group, t, sizeof(t));
    log_member(level, what, "IPv6", t, g->mac);
}

template <class G> G *find(list_link *list, const uint8_t *group, size_t n)
{
    for (G *g : list_records<&G::link>(list))
        if (!memcmp(g->group, group, n)) return g;
    return nullptr;
}

template <class G> uint32_t count_of(list_link *list)
{
    uint32_t n = 0;
    for ([[maybe_unused]] G *g : list_records<&G::link>(list))
        n++;
    return n;
}

template <class G> void fill(G *g, const ugwd_flow *f, const uint8_t *group, size_t n)
{
    memcpy(g->uuid, f->uuid, 16);
    g->peer = f->peer;
    memcpy(g->group, group, n);
    memcpy(g->mac, f->mac, 6);
    memcpy(g->bssid, f->bssid, 6);
}

template <class G, int Pool>
G *create(ugwd_flow *f, const uint8_t *group, size_t n, list_link *list)
{
    void *mem = mempool_zalloc(f->ctl->pools[Pool]);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *g = new (mem) G{};
    fill(g, f, group, n);
    list_append(list, &g->link);
    return g;
}

template <class G> int join(ugwd_flow *f, G *g)
{
    if (!g) return -1;
    g->last_report = clock_sec();
    g->timeout = service_of(f)->mib.membership_timeout;
    return 0;
}

void refuse(const ugwd_flow *f)
{
    const uint8_t *m = f->mac;
    ulog(LOG_COMP_ALL, ULOG_DEBUG,
         "Ignoring multicast group membership for client %02x:%02x:%02x:%02x:%02x:%02x: limit of "
         "%u reached",
         m[0], m[1], m[2], m[3], m[4], m[5], UGWD_FLOW_MAX_GROUPS);
    errno = ENOBUFS;
}

bool expired(const uint32_t now, uint32_t last, uint32_t timeout)
{
    return now - last >= timeout;
}

void log_query(const char *what, const ugwd_flow *f)
{
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "Querying %s group memberships for flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on "
         "BSSID %02x:%02x:%02x:%02x:%02x:%02x",
         what, f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5]);
}

// Sends the MACs in chunks that fit one request each.
int send_list(frlc *c, const flow_id *id, const Ary *macs, int op)
{
    uint32_t n = array_length(macs);
    for (uint32_t at = 0; at < n; at += UGWD_MCAST_CHUNK) {
        uint32_t k = n - at < UGWD_MCAST_CHUNK ? n - at : UGWD_MCAST_CHUNK;
        if (frlc_set_group(c, id, array_at<uint8_t>(macs, at), k, op) < 0) return -1;
    }
    return 0;
}

template <class G> void add_members(Ary *out, list_link *list, bool station, int *err)
{
    for (G *g : list_records<&G::link>(list))
        if (ugwd_ctl_insert_mac(out, station ? g->mac : g->ether) < 0) *err = -1;
}

} // namespace

ugwd_group *ugwd_group_create(ugwd_flow *f, const uint8_t group[4])
{
    auto *g = create<ugwd_group, UGWD_POOL_GROUP>(f, group, 4, &f->groups);
    if (!g) return nullptr;
    ugwd_group_links_init(g);
    g->ether[0] = 0x01, g->ether[1] = 0x00, g->ether[2] = 0x5e;
    g->ether[3] = group[1] & 0x7f, g->ether[4] = group[2], g->ether[5] = group[3];
    log_group(ULOG_DEBUG, "Created", g);
    return g;
}

ugwd_group6 *ugwd_group6_create(ugwd_flow *f, const uint8_t group[16])
{
    auto *g = create<ugwd_group6, UGWD_POOL_GROUP6>(f, group, 16, &f->groups6);
    if (!g) return nullptr;
    ugwd_group6_links_init(g);
    g->ether[0] = 0x33, g->ether[1] = 0x33;
    memcpy(g->ether + 2, group + 12, 4);
    log_group6(ULOG_DEBUG, "Created", g);
    return g;
}

int ugwd_flow_join_group(ugwd_flow *f, const uint8_t group[4])
{
    auto *g = find<ugwd_group>(&f->groups, group, 4);
    if (!g) {
        if (count_of<ugwd_group>(&f->groups) >= UGWD_FLOW_MAX_GROUPS) {
            refuse(f);
            return -1;
        }
        g = ugwd_group_create(f, group);
    }
    return join(f, g);
}

int ugwd_flow_join_group6(ugwd_flow *f, const uint8_t group[16])
{
    auto *g = find<ugwd_group6>(&f->groups6, group, 16);
    if (!g) {
        if (count_of<ugwd_group6>(&f->groups6) >= UGWD_FLOW_MAX_GROUPS) {
            refuse(f);
            return -1;
        }
        g = ugwd_group6_create(f, group);
    }
    return join(f, g);
}

int ugwd_flow_leave_group(ugwd_flow *f, const uint8_t group[4])
{
    auto *g = find<ugwd_group>(&f->groups, group, 4);
    if (!g) return -1;
    g->timeout = 0;
    return 0;
}

int ugwd_flow_leave_group6(ugwd_flow *f, const uint8_t group[16])
{
    auto *g = find<ugwd_group6>(&f->groups6, group, 16);
    if (!g) return -1;
    g->timeout = 0;
    return 0;
}

void ugwd_service_delete_group(ugwd_ctl *ctl, ugwd_group *g)
{
    if (!g) return;
    UGW_ASSERT(!hashlink_used(&g->by_ip_mac) && !cmultilink_used(&g->by_ip) &&
               !cmultilink_used(&g->by_uuid_mac) && !cmultilink_used(&g->by_uuid_bssid) &&
               !cmultilink_used(&g->by_uuid));
    list_remove(&g->link);
    log_group(ULOG_DEBUG, "Deleted", g);
    g->~ugwd_group();
    mempool_release(ctl->pools[UGWD_POOL_GROUP], g);
}

void ugwd_service_delete_group6(ugwd_ctl *ctl, ugwd_group6 *g)
{
    if (!g) return;
    UGW_ASSERT(!hashlink_used(&g->by_ip6_mac) && !cmultilink_used(&g->by_ip6) &&
               !cmultilink_used(&g->by_uuid_mac) && !cmultilink_used(&g->by_uuid_bssid) &&
               !cmultilink_used(&g->by_uuid));
    list_remove(&g->link);
    log_group6(ULOG_DEBUG, "Deleted", g);
    g->~ugwd_group6();
    mempool_release(ctl->pools[UGWD_POOL_GROUP6], g);
}

int ugwd_ctl_expire_groups(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    uint32_t now = clock_sec();
    int count = 0;
    for (ugwd_group *g : list_records_safe<&ugwd_group::link>(&f->groups)) {
        if (expired(now, g->last_report, g->timeout)) {
            ugwd_table_remove_group(ctl->table, g);
            ugwd_service_delete_group(ctl, g);
            count++;
        } else if (!hashlink_used(&g->by_ip_mac) && ugwd_table_insert_group(ctl->table, g) == 0) {
            count++;
        }
    }
    for (ugwd_group6 *g : list_records_safe<&ugwd_group6::link>(&f->groups6)) {
        if (expired(now, g->last_report, g->timeout)) {
            ugwd_table_remove_group6(ctl->table, g);
            ugwd_service_delete_group6(ctl, g);
            count++;
        } else if (!hashlink_used(&g->by_ip6_mac) && ugwd_table_insert_group6(ctl->table, g) == 0) {
            count++;
        }
    }
    return count;
}

void ugwd_ctl_delete_groups(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    for (ugwd_group *g : list_records_safe<&ugwd_group::link>(&f->groups)) {
        ugwd_table_remove_group(ctl->table, g);
        ugwd_service_delete_group(ctl, g);
    }
    for (ugwd_group6 *g : list_records_safe<&ugwd_group6::link>(&f->groups6)) {
        ugwd_table_remove_group6(ctl->table, g);
        ugwd_service_delete_group6(ctl, g);
    }
}

// Each membership found leaves the index, so the lookups end. One the flow
// already has is merged into it.
void ugwd_ctl_take_groups(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    while (ugwd_group *g = ugwd_table_get_group_by_uuid_mac(ctl->table, f->uuid, f->mac)) {
        ugwd_table_remove_group(ctl->table, g);
        list_remove(&g->link);
        if (auto *own = find<ugwd_group>(&f->groups, g->group, 4)) {
            if (static_cast<int32_t>(g->last_report - own->last_report) > 0) {
                own->last_report = g->last_report;
                own->timeout = g->timeout;
            }
            ugwd_service_delete_group(ctl, g);
            continue;
        }
        list_append(&f->groups, &g->link);
        memcpy(g->bssid, f->bssid, 6);
        g->peer = f->peer;
    }
    while (ugwd_group6 *g = ugwd_table_get_group6_by_uuid_mac(ctl->table, f->uuid, f->mac)) {
        ugwd_table_remove_group6(ctl->table, g);
        list_remove(&g->link);
        if (auto *own = find<ugwd_group6>(&f->groups6, g->group, 16)) {
            if (static_cast<int32_t>(g->last_report - own->last_report) > 0) {
                own->last_report = g->last_report;
                own->timeout = g->timeout;
            }
            ugwd_service_delete_group6(ctl, g);
            continue;
        }
        list_append(&f->groups6, &g->link);
        memcpy(g->bssid, f->bssid, 6);
        g->peer = f->peer;
    }
}

void ugwd_ctl_group_ages(const ugwd_flow *f, uint32_t *oldest, uint32_t *first_expiry)
{
    uint32_t now = clock_sec(), a = 0, e = UINT32_MAX;
    auto see = [&](uint32_t last, uint32_t timeout) {
        uint32_t age = now - last;
        if (age > a) a = age;
        uint32_t left = age >= timeout ? 0 : timeout - age;
        if (left < e) e = left;
    };
    for (const ugwd_group *g : list_records<&ugwd_group::link>(&f->groups))
        see(g->last_report, g->timeout);
    for (const ugwd_group6 *g : list_records<&ugwd_group6::link>(&f->groups6))
        see(g->last_report, g->timeout);
    *oldest = a;
    *first_expiry = e;
}

// An Ethernet flow's BSSID is zero, which bridges drop.
const uint8_t *ugwd_flow_source_mac(const ugwd_flow *f)
{
    if (f->vap) return f->bssid;
    const ugwd_service *s = f->tunnel->service;
    return s->devs[f->tunnel->slot].hwaddr;
}

packet *ugwd_igmp_query_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6])
{
    static constexpr uint8_t body[UGWD_IGMP_QUERY_LEN - 12] = {
        0x08, 0x00,
        // IPv4: total length 32, don't fragment, TTL 1, IGMP, 0.0.0.0 to 224.0.0.1
        0x45, 0x00, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00, 0x01, 0x02, 0x99, 0xdb, 0x00, 0x00, 0x00,
        0x00, 0xe0, 0x00, 0x00, 0x01,
        // IGMPv3 general query: 1 s to answer, QQIC 125
        0x11, 0x0a, 0xee, 0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7d, 0x00, 0x00};
    uint8_t f[UGWD_IGMP_QUERY_LEN];
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    memcpy(f + 12, body, sizeof(body));
    return packet_from_bytes(pool, f, sizeof(f));
}

// Hop limit 1, a link-local source and the Router Alert option: hosts ignore
// a query without them (RFC 3810 5.1.14).
packet *ugwd_mld_query_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6])
{
    uint8_t f[UGWD_MLD_QUERY_LEN] = {};
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    f[12] = 0x86, f[13] = 0xdd;
    uint8_t *ip = f + 14;
    ip[0] = 0x60;
    ip[5] = 36; // hop-by-hop header and query
    ip[6] = 0;  // hop-by-hop options
    ip[7] = 1;
    ip[8] = 0xfe, ip[9] = 0x80;
    ip[16] = src[0] ^ 0x02, ip[17] = src[1], ip[18] = src[2], ip[19] = 0xff, ip[20] = 0xfe;
    ip[21] = src[3], ip[22] = src[4], ip[23] = src[5];
    ip[24] = 0xff, ip[25] = 0x02, ip[39] = 0x01;
    uint8_t *hbh = ip + 40;
    static constexpr uint8_t options[8] = {58, 0, 0x05, 0x02, 0x00, 0x00, 0x01, 0x00};
    memcpy(hbh, options, sizeof(options));
    uint8_t *q = hbh + 8;
    q[0] = 130;
    q[4] = 0x03, q[5] = 0xe8; // 1000 ms
    q[25] = 125;              // QQIC
    uint32_t sum = inet_csum_pseudo6(ip, 58, 28);
    sum = inet_csum_partial(sum, q, 28);
    auto c = static_cast<uint16_t>(~sum);
    q[2] = static_cast<uint8_t>(c >> 8), q[3] = static_cast<uint8_t>(c);
    return packet_from_bytes(pool, f, sizeof(f));
}

packet *ugwd_service_igmp_query(ugwd_flow *f)
{
    return ugwd_igmp_query_frame(f->ctl->packet_pool, ugwd_flow_source_mac(f), f->mac);
}

packet *ugwd_service_mld_query(ugwd_flow *f)
{
    return ugwd_mld_query_frame(f->ctl->packet_pool, ugwd_flow_source_mac(f), f->mac);
}

void ugwd_ctl_query_groups(ugwd_flow *f, bool igmp, bool mld)
{
    if (igmp) {
        if (packet *query = ugwd_service_igmp_query(f)) {
            log_query("IGMP", f);
            ugwd_ctl_output_flow_packet(f, query);
            packet_release(query);
        }
    }
    if (mld) {
        if (packet *query = ugwd_service_mld_query(f)) {
            log_query("ICMPv6 MLD", f);
            ugwd_ctl_output_flow_packet(f, query);
            packet_release(query);
        }
    }
    if (igmp || mld) f->last_query = clock_sec();
}

// Only the difference travels: what the data plane holds beyond the members
// is removed, the members it lacks are added.
int ugwd_ctl_update_mcast_groups(ugwd_flow *f)
{
    ugwd_service *s = service_of(f);
    unsigned mode = (s->mib.mode >> 4) & 3;
    if (mode != 1 && mode != 2) return 0;
    ugwd_proc *proc = nullptr;
    const flow_id *id = nullptr;
    if (mode == 2) {
        proc = f->bound ? f->proc : nullptr;
        id = &f->id;
    } else {
        const ugwd_binding &b = f->vap ? f->vap->bind : f->tunnel->bind;
        proc = b.proc;
        id = &b.bcast;
    }
    if (!proc) return 0;
    frlc *c = proc->fernrelay;

    Ary members, held;
    array_init(&members, 6);
    array_init(&held, 6);
    int err = 0;
    if (mode == 2) {
        add_members<ugwd_group>(&members, &f->groups, false, &err);
        add_members<ugwd_group6>(&members, &f->groups6, false, &err);
    } else {
        for (ugwd_flow *o : list_records<&ugwd_flow::link>(&f->ctl->flows)) {
            if (o->vap != f->vap || o->tunnel != f->tunnel) continue;
            if (!list_isempty(&o->groups) || !list_isempty(&o->groups6))
                if (ugwd_ctl_insert_mac(&members, o->mac) < 0) err = -1;
        }
    }
    // An empty reply reserves nothing: the array needs a buffer of its own first.
    if (!err && (array_grow(&held, 16) < 0 || ugwd_ctl_get_dp_groups(c, id, &held) < 0)) err = -1;
    if (!err) {
        // held becomes what to remove, members what to add.
        uint32_t keep = 0;
        for (uint32_t i = 0; i < array_length(&members); i++) {
            uint8_t *m = array_at<uint8_t>(&members, i);
            if (array_length(&held) && ugwd_ctl_remove_mac(&held, m)) continue;
            memmove(array_at<uint8_t>(&members, keep++), m, 6);
        }
        array_truncate(&members, keep);
        if (send_list(c, id, &held, FRLC_LIST_REMOVE) < 0 ||
            send_list(c, id, &members, FRLC_LIST_ADD) < 0)
            err = -1;
    }
    array_purge(&members);
    array_purge(&held);
    return err;
}
