#include "gateway/ugwd_service.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>

#include "common/log.h"
#include "common/mempool.h"
#include "common/netlink.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_r0kh.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_dot11.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_records.h"
#include "radius/radius_auth.h"

namespace
{

// Until binding gives it the data plane's broadcast flow id, an object is
// indexed by an id of its own: ff:fe or ff:fd and its pool index.
void local_id(flow_id *id, uint8_t kind, ssize_t index)
{
    *id = flow_id{};
    id->b[0] = 0xff;
    id->b[1] = kind;
    frl_store32(id->b + 2, static_cast<uint32_t>(index));
}

bool all_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

mempool *pool_of(ugwd_ctl *ctl, ugwd_ctl_pool which)
{
    return ctl->pools[which];
}

uint32_t now_sec()
{
    return static_cast<uint32_t>(clock_monotonic_sec);
}

// The interface slot of a new VAP or tunnel, spread at random.
int choose_slot(const ugwd_service *s)
{
    if (s->mib.ulmexServiceIfCount == 0) {
        errno = EINVAL;
        return -1;
    }
    return rand() % s->mib.ulmexServiceIfCount;
}

// Port-table entries of the flow record, big-endian as the data plane writes them.
enum : size_t {
    ENTRY_WORD = 0,
    ENTRY_MTU = 2,
    ENTRY_OUT_PACKETS = 4,
    ENTRY_IN_PACKETS = 8,
    ENTRY_DROPS = 12,
    ENTRY_IN_OCTETS = 24,
    ENTRY_OUT_OCTETS = 32,
};

bool stats_fall(const ugwd_port_stats &now, const ugwd_port_stats &was)
{
    return now.out_packets < was.out_packets || now.in_packets < was.in_packets ||
           now.drops < was.drops || now.in_octets < was.in_octets ||
           now.out_octets < was.out_octets;
}

struct deltas {
    uint64_t out_packets, in_packets, drops, in_octets, out_octets;
};

// The deltas of the UDP/IP side, or false when the report is not sound.
bool udpip_deltas(const char *what, ssize_t index, const ugwd_port_stats &stored,
                  const ugwd_port_entry *udpip, const ugwd_port_entry *ether, deltas *d)
{
    if (udpip->encap != FRL_ENCAP_IP || ether->encap != FRL_ENCAP_ETHER) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Ignoring statistics of %s [%zd]: encapsulations %u and %u",
             what, index, udpip->encap, ether->encap);
        return false;
    }
    if (!udpip->mtu || !ether->mtu || udpip->mtu < ether->mtu) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Ignoring statistics of %s [%zd]: MTUs %u and %u", what,
             index, udpip->mtu, ether->mtu);
        return false;
    }
    if (stats_fall(udpip->stats, stored)) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Ignoring statistics of %s [%zd]: counters fell", what,
             index);
        return false;
    }
    const ugwd_port_stats &n = udpip->stats;
    d->out_packets = n.out_packets - stored.out_packets;
    d->in_packets = n.in_packets - stored.in_packets;
    d->drops = n.drops - stored.drops;
    d->in_octets = n.in_octets - stored.in_octets;
    d->out_octets = ugwd_service_outer_octets(n.out_octets - stored.out_octets, d->out_packets,
                                              udpip->mtu, ether->mtu);
    return true;
}

void add_traffic(ugwd_traffic_mib *t, ugwd_service_mib *s, const deltas &d)
{
    t->ulmexDownloadPackets += static_cast<uint32_t>(d.out_packets);
    t->ulmexUploadPackets += static_cast<uint32_t>(d.in_packets);
    t->ulmexUploadDrops += static_cast<uint32_t>(d.drops);
    t->ulmexDownloadBytes += d.out_octets;
    t->ulmexUploadBytes += d.in_octets;
    s->ulmexDownloadPackets += static_cast<uint32_t>(d.out_packets);
    s->ulmexUploadPackets += static_cast<uint32_t>(d.in_packets);
    s->ulmexUploadDrops += static_cast<uint32_t>(d.drops);
    s->ulmexDownloadBytes += d.out_octets;
    s->ulmexUploadBytes += d.in_octets;
}

} // namespace

const char *ugwd_uuid_format(const uint8_t u[16], char out[37])
{
    snprintf(out, 37, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
             u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
             u[14], u[15]);
    return out;
}

ssize_t ugwd_service_index(const ugwd_service *s)
{
    return s->index;
}

ugwd_service *ugwd_service_create(ugwd_ctl *ctl, ugwd_nas *nas, const ugwd_service_conf *conf)
{
    if (all_zero(conf->mib.ulmexServiceId, 16)) {
        errno = EINVAL;
        return nullptr;
    }
    mempool *pool = pool_of(ctl, UGWD_POOL_SERVICE);
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *s = new (mem) ugwd_service{};
    s->ctl = ctl;
    s->index = mempool_index(pool, s);
    list_init(&s->queue);
    list_init(&s->pending);
    memcpy(s->uuid, conf->mib.ulmexServiceId, 16);
    memcpy(s->mib.ulmexServiceId, s->uuid, 16);
    s->ctl_byte = static_cast<uint8_t>(ctl->nprocs);
    s->mib.ulmexServiceProcessCount = static_cast<uint8_t>(ctl->nprocs);
    s->dev = s->devs;
    s->ifindex = s->mib.ulmexServiceIfIndices;
    for (ugwd_service_dev &d : s->devs) {
        d.service = s;
        cmultilink_init(&d.link);
    }
    ugwd_service_links_init(s);
    s->cache = dot11_cache_create(&conf->dot11, &ugwd_service_cache_ops, ctl,
                                  nas ? ugwd_nas_get_client(nas) : nullptr, ctl->packet_pool);
    if (s->cache) dot11_cache_set_aaa_ops(s->cache, &radius_eap_aaa_ops);
    if (!s->cache || ugwd_service_configure(s, nas, conf) < 0) {
        int err = errno ? errno : EINVAL;
        ugwd_service_delete(s);
        errno = err;
        return nullptr;
    }
    return s;
}

int ugwd_service_configure(ugwd_service *s, ugwd_nas *nas, const ugwd_service_conf *conf)
{
    const ugwd_service_mib &m = conf->mib;
    if (m.ulmexServiceSSID.length > sizeof(m.ulmexServiceSSID.ulmexSSIDValue) ||
        m.ulmexServiceIfCount > UGWD_SERVICE_IFS ||
        !memchr(m.ulmexRadiusNASIdentifier, 0, sizeof(m.ulmexRadiusNASIdentifier))) {
        errno = EINVAL;
        return -1;
    }
    // The SSID element carries the service's SSID.
    dot11_auth_config dot11 = conf->dot11;
    memset(dot11.ssid, 0, sizeof(dot11.ssid));
    memcpy(dot11.ssid, m.ulmexServiceSSID.ulmexSSIDValue, m.ulmexServiceSSID.length);
    dot11.ssid_len = m.ulmexServiceSSID.length;

    int n = dot11_auth_build_ies(&dot11, s->mib.ulmexESSTemplate, sizeof(s->mib.ulmexESSTemplate));
    if (n < 0 || n > static_cast<int>(UGWD_ESS_TEMPLATE)) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to configure 802.11 ESS IEs");
        errno = EINVAL;
        return -1;
    }
    if (dot11_cache_check_config(s->cache, &dot11, nas ? ugwd_nas_get_client(nas) : nullptr) < 0) {
        errno = EINVAL;
        return -1;
    }
    struct iface {
        char name[IF_NAMESIZE];
        uint8_t hwaddr[6];
    } ifs[UGWD_SERVICE_IFS] = {};
    for (unsigned i = 0; i < m.ulmexServiceIfCount; i++) {
        uint32_t ifindex = m.ulmexServiceIfIndices[i];
        if (netif_get_hwaddr(ifindex, ifs[i].hwaddr) < 0 || !if_indextoname(ifindex, ifs[i].name)) {
            int err = errno ? errno : ENODEV;
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to get hwaddr for ifindex %u: %s", ifindex,
                 strerror(err));
            errno = err;
            return -1;
        }
    }
    for (ugwd_service_dev &d : s->devs)
        memset(d.name, 0, sizeof(d.name));
    for (unsigned i = 0; i < m.ulmexServiceIfCount; i++) {
        memcpy(s->devs[i].name, ifs[i].name, sizeof(s->devs[i].name));
        s->devs[i].name[sizeof(s->devs[i].name) - 1] = '\0';
        memcpy(s->devs[i].hwaddr, ifs[i].hwaddr, 6);
    }

    s->mib.ulmexServiceSSID = m.ulmexServiceSSID;
    s->mib.ulmexESSTemplateLength = static_cast<uint32_t>(n);
    s->mib.ulmexServiceVNI = m.ulmexServiceVNI;
    s->vni = m.ulmexServiceVNI;
    memcpy(s->mib.ulmexRadiusNASIdentifier, m.ulmexRadiusNASIdentifier,
           sizeof(s->mib.ulmexRadiusNASIdentifier));
    s->mib.ulmexRadioBSSIfIndex = m.ulmexRadioBSSIfIndex;
    memset(s->mib.ulmexServiceIfIndices, 0, sizeof(s->mib.ulmexServiceIfIndices));
    memcpy(s->mib.ulmexServiceIfIndices, m.ulmexServiceIfIndices, 4u * m.ulmexServiceIfCount);
    s->mib.ulmexServiceIfCount = m.ulmexServiceIfCount;
    s->ndev = m.ulmexServiceIfCount;
    s->mib.mode = m.mode;
    s->mib.query_interval = m.query_interval;
    s->mib.membership_timeout = m.membership_timeout;
    dot11_config_copy(&s->config, &dot11);
    dot11_config_copy_vap(&s->config, &dot11);
    memcpy(s->vap_params, conf->vap_params, sizeof(s->vap_params));
    s->flags = dot11.flags_b & 0x06;

    dot11_cache_clear_nas(s->cache);
    if (nas) dot11_cache_set_nas(s->cache, ugwd_nas_get_client(nas));
    s->nas = nas;
    return 0;
}

void ugwd_service_delete(ugwd_service *s)
{
    if (!s) return;
    dot11_cache_delete(s->cache);
    s->cache = nullptr;
    schedule_cancel(s->ctl->sched, &s->inform_timer);
    list_remove(&s->queue);
    mempool *pool = pool_of(s->ctl, UGWD_POOL_SERVICE);
    s->~ugwd_service();
    mempool_release(pool, s);
}

ugwd_vap *ugwd_service_create_vap(ugwd_service *s, const uint8_t *bssid, const sockaddr *radio)
{
    int slot = choose_slot(s);
    if (slot < 0) return nullptr;
    dot11_auth_config config = s->config;
    mempool *pool = pool_of(s->ctl, UGWD_POOL_VAP);
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *vap = new (mem) ugwd_vap{};
    vap->service = s;
    vap->index = mempool_index(pool, vap);
    local_id(&vap->id, 0xfe, vap->index);
    memcpy(vap->uuid, s->uuid, 16);
    memcpy(vap->mib.ulmexServiceId, s->uuid, 16);
    vap->mib.ulmexServiceSSID = s->mib.ulmexServiceSSID;
    vap->mib.ulmexServiceIfIndex = s->mib.ulmexServiceIfIndices[slot];
    vap->mib.ulmexFrequencyBand = -1;
    vap->mib.ulmexStartTime = now_sec();
    if (bssid) memcpy(vap->bssid, bssid, 6);
    memcpy(vap->mib.ulmexServiceBSSID, vap->bssid, 6);
    if (radio)
        memcpy(&vap->radio, radio,
               sockaddr_len(radio) <= sizeof(vap->radio) ? sockaddr_len(radio) : 0);
    ugwd_vap_links_init(vap);
    list_init(&vap->prefixes);
    list_append(&s->ctl->vaps, &vap->link);
    s->mib.ulmexServiceActiveBSSIDs++;

    memcpy(config.bss_mac, vap->bssid, 6);
    vap->ops = ugwd_vap_auth_ops;
    vap->ops.user = s->ctl;
    if (dot11_auth_init(&vap->auth, &config, &vap->ops, s->cache, s->ctl->packet_pool) < 0) {
        ugwd_service_delete_vap(vap);
        errno = EINVAL;
        return nullptr;
    }
    vap->auth_running = true;
    char u[37];
    const uint8_t *b = vap->bssid;
    ulog(LOG_COMP_ALL, ULOG_DEBUG,
         "Created VAP [%zd] with BSSID %02x:%02x:%02x:%02x:%02x:%02x for service %s", vap->index,
         b[0], b[1], b[2], b[3], b[4], b[5], ugwd_uuid_format(s->uuid, u));
    return vap;
}

int ugwd_service_delete_vap(ugwd_vap *vap)
{
    if (!vap) return 0;
    ugwd_service *s = vap->service;
    if (vap->mib.ulmexServiceActiveFlows || !s->mib.ulmexServiceActiveBSSIDs) {
        errno = EBUSY;
        return -1;
    }
    if (vap->auth_running) dot11_auth_stop(&vap->auth);
    char u[37];
    const uint8_t *b = vap->bssid;
    ulog(LOG_COMP_ALL, ULOG_DEBUG,
         "Deleted VAP [%zd] with BSSID %02x:%02x:%02x:%02x:%02x:%02x for service %s", vap->index,
         b[0], b[1], b[2], b[3], b[4], b[5], ugwd_uuid_format(s->uuid, u));
    s->mib.ulmexServiceActiveBSSIDs--;
    ugwd_prefix_expire(s->ctl, &vap->prefixes, UINT32_MAX);
    list_remove(&vap->link);
    mempool *pool = pool_of(s->ctl, UGWD_POOL_VAP);
    vap->~ugwd_vap();
    mempool_release(pool, vap);
    return 0;
}

ugwd_tunnel *ugwd_service_create_tunnel(ugwd_service *s, uint32_t transport, const sockaddr *peer)
{
    int slot = choose_slot(s);
    if (slot < 0) return nullptr;
    mempool *pool = pool_of(s->ctl, UGWD_POOL_TUNNEL);
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *tn = new (mem) ugwd_tunnel{};
    tn->service = s;
    tn->index = mempool_index(pool, tn);
    local_id(&tn->id, 0xfd, tn->index);
    memcpy(tn->uuid, s->uuid, 16);
    memcpy(tn->mib.ulmexServiceId, s->uuid, 16);
    tn->slot = static_cast<uint8_t>(slot);
    tn->mib.ulmexServiceIfIndex = s->mib.ulmexServiceIfIndices[slot];
    tn->mib.ulmexTunnelVNI = s->vni;
    tn->transport = transport;
    tn->mib.ulmexTunnelProto = transport;
    tn->mib.ulmexStartTime = now_sec();
    socklen_t len = sockaddr_len(peer);
    memcpy(&tn->peer, peer, len <= sizeof(tn->peer) ? len : sizeof(tn->peer));
    memcpy(tn->mib.ulmexRemotePort, &tn->peer, sizeof(tn->mib.ulmexRemotePort));
    ugwd_tunnel_links_init(tn);
    list_init(&tn->prefixes);
    list_append(&s->ctl->tunnels, &tn->link);
    s->mib.ulmexServiceActiveBSSIDs++;
    char u[37], a[SOCKADDR_FMT_SIZE];
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Created tunnel [%zd] with peer %s over %s for service %s",
         tn->index, sockaddr_format(&tn->peer.sa, a, sizeof(a), 0),
         ugwd_tunnel_transport_name(static_cast<uint8_t>(transport)), ugwd_uuid_format(s->uuid, u));
    return tn;
}

int ugwd_service_delete_tunnel(ugwd_tunnel *tn)
{
    if (!tn) return 0;
    ugwd_service *s = tn->service;
    if (tn->mib.ulmexServiceActiveFlows || !s->mib.ulmexServiceActiveBSSIDs) {
        errno = EBUSY;
        return -1;
    }
    char u[37], a[SOCKADDR_FMT_SIZE];
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Deleted tunnel [%zd] with peer %s over %s for service %s",
         tn->index, sockaddr_format(&tn->peer.sa, a, sizeof(a), 0),
         ugwd_tunnel_transport_name(static_cast<uint8_t>(tn->transport)),
         ugwd_uuid_format(s->uuid, u));
    s->mib.ulmexServiceActiveBSSIDs--;
    ugwd_prefix_expire(s->ctl, &tn->prefixes, UINT32_MAX);
    list_remove(&tn->link);
    mempool *pool = pool_of(s->ctl, UGWD_POOL_TUNNEL);
    tn->~ugwd_tunnel();
    mempool_release(pool, tn);
    return 0;
}

void ugwd_port_entry_read(ugwd_port_entry *e, const frl_flow *flow, unsigned which)
{
    const uint8_t *p = flow->b + FRL_FLOW_PORT_TABLE + which * FRL_FLOW_PORT_ENTRY;
    e->encap = static_cast<uint8_t>(p[ENTRY_WORD] >> 5);
    e->mtu = frl_load16(p + ENTRY_MTU);
    e->stats.mtu = e->mtu;
    e->stats.out_packets = frl_load32(p + ENTRY_OUT_PACKETS);
    e->stats.in_packets = frl_load32(p + ENTRY_IN_PACKETS);
    e->stats.drops = frl_load32(p + ENTRY_DROPS);
    e->stats.in_octets = frl_load64(p + ENTRY_IN_OCTETS);
    e->stats.out_octets = frl_load64(p + ENTRY_OUT_OCTETS);
}

uint64_t ugwd_service_outer_octets(uint64_t octets, uint64_t packets, uint16_t outer_mtu,
                                   uint16_t inner_mtu)
{
    uint64_t overhead = packets * (static_cast<uint64_t>(outer_mtu - inner_mtu) + 6);
    return octets < overhead ? 0 : octets - overhead;
}

int ugwd_service_update_tunnel(ugwd_tunnel *tn, const ugwd_port_entry *udpip,
                               const ugwd_port_entry *ether)
{
    deltas d;
    if (!udpip_deltas("tunnel", tn->index, tn->udpip, udpip, ether, &d)) return -1;
    tn->udpip = udpip->stats;
    add_traffic(&tn->mib.traffic, &tn->service->mib, d);
    return 0;
}

int ugwd_service_update_vap(ugwd_vap *vap, const ugwd_port_entry *udpip,
                            const ugwd_port_entry *ether, const dot11Counters *counters)
{
    deltas d;
    if (!udpip_deltas("VAP", vap->index, vap->udpip, udpip, ether, &d)) return -1;
    ugwd_service *s = vap->service;
    if (counters) {
        dot11Counters delta = *counters;
        dot11_mib_sub_counters(&delta, &vap->counters);
        dot11_mib_add_counters(&s->dot11_counters, &delta);
        vap->counters = *counters;
    }
    vap->udpip = udpip->stats;
    vap->ether = ether->stats;
    add_traffic(&vap->mib.traffic, &s->mib, d);
    return 0;
}

int ugwd_service_update_flow(ugwd_flow *f, const frl_flow *rec)
{
    ugwd_port_entry udpip, ether;
    ugwd_port_entry_read(&udpip, rec, 0);
    ugwd_port_entry_read(&ether, rec, 1);
    deltas d;
    if (!udpip_deltas("flow", f->index, f->udpip, &udpip, &ether, &d)) return -1;
    if (stats_fall(ether.stats, f->ether)) return -1;
    f->udpip = udpip.stats;
    f->ether = ether.stats;
    f->traffic.packets_down += static_cast<uint32_t>(d.out_packets);
    f->traffic.packets_up += static_cast<uint32_t>(d.in_packets);
    f->traffic.drops += static_cast<uint32_t>(d.drops);
    f->traffic.octets_down += d.out_octets;
    f->traffic.octets_up += d.in_octets;
    ugwd_service *s = f->vap ? f->vap->service : f->tunnel->service;
    add_traffic(f->vap ? &f->vap->mib.traffic : &f->tunnel->mib.traffic, &s->mib, d);
    if (f->vap && f->rsna.auth)
        dot11_auth_account_sta(&f->rsna, d.in_packets, d.in_octets, d.out_packets, d.out_octets,
                               f->last_activity);
    if (f->tunnel && d.in_packets) {
        f->last_activity = clock_sec();
        if (f->flags & UGWD_FLOW_CONNECTED) ugwd_flow_schedule_liveness(f, 0);
    }
    return 0;
}

uint32_t ugwd_service_dump_keys(ugwd_service *s, const uint8_t *mac, dot11_key_row *rows, uint32_t n)
{
    dot11_cache *c = s->cache;
    if (!c) return 0;
    uint32_t i = 0;
    for (dot11_cache_entry *e = mac ? dot11_cache_first_pmk_by_mac(c, mac) : dot11_cache_first_pmk(c);
         e && i < n; e = mac ? dot11_cache_next_pmk_by_mac(c, mac, e) : dot11_cache_next_pmk(c, e))
        dot11_cache_dump_pmk(e, &rows[i++], nullptr);
    return mac ? dot11_cache_count_pmks_by_mac(c, mac) : dot11_cache_count_pmks(c);
}

int ugwd_service_get_key(ugwd_service *s, const uint8_t name[16], dot11_key_row *row,
                         dot1xAuthSessionStats *detail)
{
    dot11_cache_entry *e = s->cache ? dot11_cache_find_pmk(s->cache, name) : nullptr;
    if (!e) {
        errno = ENOENT;
        return -1;
    }
    dot11_cache_dump_pmk(e, row, detail);
    return 0;
}

namespace
{

// The R1 key holders of one station, at most n more rows from i on.
uint32_t copy_ftauths(dot11_r0kh *r0kh, dot11_ft_auth_row *rows, uint32_t i, uint32_t n)
{
    for (dot11_rsna *sta = dot11_r0kh_first_r1kh(r0kh); sta && i < n;
         sta = dot11_r0kh_next_r1kh(r0kh, sta))
        dot11_rsna_dump_ftauth(sta, &rows[i++]);
    return i;
}

} // namespace

uint32_t ugwd_service_dump_ftauths(ugwd_service *s, const uint8_t *mac, dot11_ft_auth_row *rows,
                                   uint32_t n)
{
    dot11_cache *c = s->cache;
    if (!c) return 0;
    uint32_t total = 0, i = 0;
    if (mac) {
        if (dot11_r0kh *r0kh = dot11_cache_find_r0kh(c, mac)) {
            i = copy_ftauths(r0kh, rows, i, n);
            total = dot11_r0kh_count_r1khs(r0kh);
        }
        return total;
    }
    for (dot11_r0kh *r0kh = dot11_cache_first_r0kh(c); r0kh; r0kh = dot11_cache_next_r0kh(c, r0kh)) {
        i = copy_ftauths(r0kh, rows, i, n);
        total += dot11_r0kh_count_r1khs(r0kh);
    }
    return total;
}

int ugwd_service_get_ftauth(ugwd_service *s, const uint8_t mac[6], const uint8_t bssid[6],
                            dot11_ft_auth_row *row)
{
    dot11_r0kh *r0kh = s->cache ? dot11_cache_find_r0kh(s->cache, mac) : nullptr;
    for (dot11_rsna *sta = r0kh ? dot11_r0kh_first_r1kh(r0kh) : nullptr; sta;
         sta = dot11_r0kh_next_r1kh(r0kh, sta)) {
        dot11_rsna_dump_ftauth(sta, row);
        if (memcmp(row->bssid, bssid, 6) == 0) return 0;
    }
    memset(row, 0, sizeof(*row));
    errno = ENOENT;
    return -1;
}

void ugwd_service_clear_pmksas(ugwd_service *s, const uint8_t *mac)
{
    if (!s->cache) return;
    if (mac)
        dot11_cache_clear_pmksas_by_mac(s->cache, mac);
    else
        dot11_cache_clear(s->cache);
}
