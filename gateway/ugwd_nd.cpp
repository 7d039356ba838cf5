// IPv6 neighbour discovery and MLD snooping. Stations' duplicate-address
// probes make their link-local and SLAAC records; an address another station
// of the service holds is defended with an advertisement that fails the
// probe; an advertisement from the network that answers a probe moments
// after it was seen removes the prober's allocation; router advertisements
// teach the SLAAC prefixes and carry the captive-portal option; MLD reports
// become memberships.
//
// Everything here comes from untrusted stations and networks: a message acts
// only in the direction the data plane says it travels (solicitations and
// reports from a station, advertisements towards one), only with the hop
// limit 255 that proves it was not routed (RFC 4861), and only within the
// service it arrived on.
#include <arpa/inet.h>
#include <cstring>
#include <span>

#include "common/checksum.h"
#include "common/log.h"
#include "common/ndopt.h"
#include "common/packet.h"
#include "common/timer.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_snoop.h"
#include "radius/radius_db.h"

namespace
{

// Offsets in the frame and in the IPv6 header.
enum : size_t {
    ETH_LEN = 14,
    ETH_TYPE = 12,
    IP6_LEN = 40,
    IP6_PLEN = 4,
    IP6_NEXT = 6,
    IP6_HOPS = 7,
    IP6_SRC = 8,
    IP6_DST = 24,
};

enum : uint8_t {
    ICMP6_MLD_REPORT = 131,
    ICMP6_MLD_DONE = 132,
    ICMP6_RA = 134,
    ICMP6_NS = 135,
    ICMP6_NA = 136,
    ICMP6_MLD2_REPORT = 143,
    ND_OPT_TLLA = 2,
    ND_OPT_PREFIX = 3,
    ND_OPT_CAPTIVE_PORTAL = 37,
};

constexpr size_t RA_OPTIONS = 16, NS_NA_OPTIONS = 24, ND_TARGET = 8;
constexpr uint8_t zero16[16] = {};

uint16_t load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8), p[1] = static_cast<uint8_t>(v);
}

bool link_local(const uint8_t a[16])
{
    return a[0] == 0xfe && (a[1] & 0xc0) == 0x80;
}

bool multicast(const uint8_t a[16])
{
    return a[0] == 0xff;
}

struct addr6_text {
    char t[INET6_ADDRSTRLEN];
    explicit addr6_text(const uint8_t a[16]) { inet_ntop(AF_INET6, a, t, sizeof(t)); }
};

// One ICMPv6 message inside a frame that passed the common checks.
struct icmp6 {
    uint8_t *ip;
    uint8_t *msg;
    size_t len; // of the ICMPv6 message
};

uint16_t icmp6_checksum(const uint8_t *ip, const uint8_t *msg, size_t len)
{
    uint32_t sum = inet_csum_pseudo6(ip, 58, static_cast<uint32_t>(len));
    return static_cast<uint16_t>(~inet_csum_partial(sum, msg, len));
}

// The ICMPv6 message of the frame, or false. Hop-by-hop, routing and
// destination options may precede it; a fragment never does.
bool parse(packet *frame, icmp6 *out)
{
    if (packet_isfragmented(frame)) return false;
    uint8_t *eth = frame->data;
    size_t n = frame->length;
    if (n < ETH_LEN + IP6_LEN || load16(eth + ETH_TYPE) != 0x86dd) return false;
    uint8_t *ip = eth + ETH_LEN;
    if (ip[0] >> 4 != 6) return false;
    size_t end = IP6_LEN + load16(ip + IP6_PLEN);
    if (end > n - ETH_LEN) return false;
    size_t off = IP6_LEN;
    uint8_t next = ip[IP6_NEXT];
    while (next == 0 || next == 43 || next == 60) {
        if (end - off < 8) return false;
        size_t hl = 8 + 8u * ip[off + 1];
        if (end - off < hl) return false;
        next = ip[off];
        off += hl;
    }
    if (next != 58 || end - off < 4) return false;
    out->ip = ip;
    out->msg = ip + off;
    out->len = end - off;
    return icmp6_checksum(ip, out->msg, out->len) == 0;
}

// The flow's captive-portal URL and the session that gave it, or null.
const char *portal_of(const ugwd_flow *f, const radius_entry **session)
{
    const radius_entry *e = f ? f->session : nullptr;
    if (!e || !e->authz.captive_portal || !*e->authz.captive_portal) return nullptr;
    *session = e;
    return e->authz.captive_portal;
}

// Appends option 37 after removing every one there was; the checksum is
// always made again, as the frame may have come with a stale one.
void ugwd_icmpv6_rxh_ndp_ra_mangle(packet *frame, icmp6 *m, const char *url, const uint8_t *mac)
{
    // Bytes the message may grow into: the frame's tail room and any padding
    // behind the IPv6 payload.
    size_t behind = static_cast<size_t>(frame->data + frame->length - (m->msg + m->len));
    size_t limit = m->len + behind + packet_tailroom(frame);
    size_t before = static_cast<size_t>(m->msg - frame->data);
    if (before + limit > 0xffff) limit = 0xffff - before;
    size_t len = m->len;
    for (;;) {
        std::span<uint8_t> opts(m->msg + RA_OPTIONS, len - RA_OPTIONS);
        std::span<uint8_t> o = ndopt_find(opts, ND_OPT_CAPTIVE_PORTAL);
        if (o.empty()) break;
        len = RA_OPTIONS + ndopt_remove(opts, o.data());
    }
    size_t n = strlen(url);
    if (!ndopt_add(m->msg + len, limit - len, ND_OPT_CAPTIVE_PORTAL, url, n)) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Insuffient space %zu bytes to add Captive-Portal NDP RA option for client "
             "%02x:%02x:%02x:%02x:%02x:%02x",
             limit, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    } else {
        len += static_cast<size_t>(m->msg[len + 1]) * 8;
    }
    if (len != m->len) {
        size_t frame_len = before + len;
        if (frame_len > frame->length)
            packet_put(frame, frame_len - frame->length);
        else
            packet_trim(frame, frame->length - frame_len);
        size_t plen = static_cast<size_t>(m->msg - m->ip) - IP6_LEN + len;
        store16(m->ip + IP6_PLEN, static_cast<uint16_t>(plen));
        m->len = len;
    }
    store16(m->msg + 2, 0);
    store16(m->msg + 2, icmp6_checksum(m->ip, m->msg, m->len));
}

int ugwd_icmpv6_rxh_ndp_ra(ugwd_service *s, list_link *prefixes, ugwd_flow *f, packet *frame,
                           icmp6 *m)
{
    if (m->len < RA_OPTIONS) return -1;
    std::span<uint8_t> opts(m->msg + RA_OPTIONS, m->len - RA_OPTIONS);
    for (size_t off = 0; opts.size() - off >= 2;) {
        size_t olen = static_cast<size_t>(opts[off + 1]) * 8;
        if (olen == 0 || olen > opts.size() - off) break;
        const uint8_t *o = &opts[off];
        off += olen;
        if (o[0] != ND_OPT_PREFIX || o[1] != 4 || o[2] != 64 || !(o[3] & 0x40)) continue;
        const uint8_t *pfx = o + 16;
        static constexpr uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                 0, 0, 0, 0, 0, 0, 0, 1};
        if (!memcmp(pfx, zero16, 16) || !memcmp(pfx, loopback, 16) || link_local(pfx)) continue;
        ugwd_prefix_update(s, prefixes, o);
    }
    const radius_entry *session = nullptr;
    if (const char *url = portal_of(f, &session))
        ugwd_icmpv6_rxh_ndp_ra_mangle(frame, m, url, session->mac);
    return -1;
}

// Takes the defended address off the station's list of tentative ones.
void defend(ugwd_flow *f, const icmp6 *m, const uint8_t *target)
{
    if (log_enabled(LOG_COMP_ALL, ULOG_DETAIL)) {
        addr6_text a(target);
        const uint8_t *d = f->mac;
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "IPv6 DAD failed for %s - sending NA reply to %02x:%02x:%02x:%02x:%02x:%02x", a.t, d[0],
             d[1], d[2], d[3], d[4], d[5]);
    }
    packet *na =
        ugwd_dad_na_frame(f->ctl->packet_pool, ugwd_flow_source_mac(f), f->mac, m->ip, target);
    if (!na) return;
    ugwd_ctl_output_flow_packet(f, na);
    packet_release(na);
}

int ugwd_icmpv6_rxh_ndp_ns(ugwd_flow *f, list_link *prefixes, const icmp6 *m)
{
    if (m->len < NS_NA_OPTIONS || memcmp(m->ip + IP6_SRC, zero16, 16)) return -1;
    const uint8_t *target = m->msg + ND_TARGET;
    if (multicast(target) || !memcmp(target, zero16, 16)) return -1;
    ugwd_lease6 *held = ugwd_ctl_find_lease6_by_ip6(f->ctl, target);
    if (held && memcmp(held->rec.mac, f->mac, 6)) {
        // Stations of another service are on another link.
        if (memcmp(held->rec.uuid, f->uuid, 16)) {
            held = nullptr;
        } else {
            defend(f, m, target);
            return -1;
        }
    } else if (held && memcmp(held->rec.uuid, f->uuid, 16) &&
               held->rec.kind == UGWD_LEASE6_SLAAC) {
        if (log_enabled(LOG_COMP_ALL, ULOG_TRACE)) {
            addr6_text a(target);
            const uint8_t *d = f->mac;
            ulog(LOG_COMP_ALL, ULOG_TRACE,
                 "Re-using existing IPv6 SLAAC allocation %s for client %02x:%02x:%02x:%02x:%02x:%02x",
                 a.t, d[0], d[1], d[2], d[3], d[4], d[5]);
        }
        memset(held->rec.addr, 0, 16);
        held->rec.prefix_len = 0;
        held->rec.valid_lifetime = 0;
        held = nullptr;
    }
    uint32_t now = clock_msec();
    now += !now;
    if (held) held->dad_probe = now;
    ugwd_prefix_expire(f->ctl, prefixes, 0);
    const ugwd_prefix *p =
        link_local(target) ? &ugwd_prefix_link_local : ugwd_prefix_lookup(prefixes, target);
    if (!p || held) return -1;
    ugwd_lease6 *l = ugwd_lease6_create(f, p, target);
    if (!l) return -1;
    l->dad_probe = now;
    return 0;
}

// The network says another host has the address: the station that just
// probed for it must not keep it.
int ugwd_icmpv6_rxh_ndp_na(ugwd_ctl *ctl, const ugwd_service *s, const icmp6 *m)
{
    if (m->len < NS_NA_OPTIONS || !memcmp(m->ip + IP6_SRC, zero16, 16)) return -1;
    const uint8_t *opts = m->msg + NS_NA_OPTIONS;
    size_t left = m->len - NS_NA_OPTIONS;
    for (size_t off = 0; left - off >= 2;) {
        size_t olen = static_cast<size_t>(opts[off + 1]) * 8;
        if (olen == 0 || olen > left - off) return -1;
        const uint8_t *o = opts + off;
        off += olen;
        if (o[0] != ND_OPT_TLLA || o[1] != 1) continue;
        const uint8_t *target = m->msg + ND_TARGET;
        ugwd_lease6 *l = ugwd_ctl_find_lease6_by_ip6(ctl, target);
        if (!l || !memcmp(l->rec.mac, o + 2, 6) || memcmp(l->rec.uuid, s->uuid, 16)) return -1;
        if (!l->dad_probe || clock_msec() - l->dad_probe > UGWD_DAD_WINDOW_MS) return -1;
        if (log_enabled(LOG_COMP_ALL, ULOG_DEBUG)) {
            addr6_text a(target);
            const uint8_t *d = l->rec.mac;
            ulog(LOG_COMP_ALL, ULOG_DEBUG,
                 "IPv6 DAD conflict for %s - removing allocation for %02x:%02x:%02x:%02x:%02x:%02x",
                 a.t, d[0], d[1], d[2], d[3], d[4], d[5]);
        }
        memset(l->rec.addr, 0, 16);
        l->dad_probe = 0;
        return 0;
    }
    return -1;
}

bool snoops_multicast(const ugwd_service *s)
{
    unsigned mode = (s->mib.mode >> 4) & 3;
    return mode == 1 || mode == 2;
}

void log_mld(const char *what, const ugwd_flow *f)
{
    const uint8_t *d = f->mac;
    ulog(LOG_COMP_ALL, ULOG_TRACE, "%s from %02x:%02x:%02x:%02x:%02x:%02x", what, d[0], d[1], d[2],
         d[3], d[4], d[5]);
}

int join6(ugwd_flow *f, const uint8_t *group)
{
    return multicast(group) ? ugwd_flow_join_group6(f, group) : -1;
}

int leave6(ugwd_flow *f, const uint8_t *group)
{
    return multicast(group) ? ugwd_flow_leave_group6(f, group) : -1;
}

int ugwd_icmpv6_rxh_mld(ugwd_flow *f, const icmp6 *m)
{
    const uint8_t *msg = m->msg;
    switch (msg[0]) {
    case ICMP6_MLD_REPORT:
        log_mld("MLDv1 listener report", f);
        return join6(f, msg + 8);
    case ICMP6_MLD_DONE:
        log_mld("MLDv1 listener done", f);
        return leave6(f, msg + 8);
    default:
        break;
    }
    log_mld("MLDv2 listener report", f);
    int result = -1;
    unsigned count = load16(msg + 6);
    size_t off = 8;
    for (unsigned i = 0; i < count; i++) {
        if (m->len - off < 20) break;
        const uint8_t *r = msg + off;
        size_t rlen = 20 + 16u * load16(r + 2) + 4u * r[1];
        if (m->len - off < rlen) break;
        off += rlen;
        uint8_t type = r[0];
        if (type < 1 || type > 6) continue;
        bool leave = (type == 1 || type == 3) && load16(r + 2) == 0;
        int got = leave ? leave6(f, r + 4) : join6(f, r + 4);
        if (got > result) result = got;
    }
    return result;
}

} // namespace

packet *ugwd_dad_na_frame(mempool *pool, const uint8_t src[6], const uint8_t dst[6],
                          const uint8_t ip6[40], const uint8_t target[16])
{
    uint8_t f[UGWD_DAD_NA_LEN] = {};
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    store16(f + ETH_TYPE, 0x86dd);
    uint8_t *ip = f + ETH_LEN;
    memcpy(ip, ip6, 4);
    store16(ip + IP6_PLEN, 32);
    ip[IP6_NEXT] = 58;
    ip[IP6_HOPS] = 255;
    memcpy(ip + IP6_SRC, target, 16);
    ip[IP6_DST] = 0xff, ip[IP6_DST + 1] = 0x02, ip[IP6_DST + 15] = 0x01;
    uint8_t *na = ip + IP6_LEN;
    na[0] = ICMP6_NA;
    memcpy(na + ND_TARGET, target, 16);
    na[24] = ND_OPT_TLLA;
    na[25] = 1;
    memcpy(na + 26, src, 6);
    store16(na + 2, icmp6_checksum(ip, na, 32));
    return packet_from_bytes(pool, f, sizeof(f));
}

int ugwd_icmpv6_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame)
{
    ugwd_service *s = vap ? vap->service : tn ? tn->service : nullptr;
    if (!s) return -1;
    list_link *prefixes = vap ? &vap->prefixes : &tn->prefixes;
    // A flow of another VAP or tunnel is none of this frame's business.
    if (f && (f->vap ? f->vap != vap : f->tunnel != tn)) f = nullptr;
    icmp6 m;
    if (!parse(frame, &m)) return -1;
    uint8_t hops = m.ip[IP6_HOPS];
    switch (m.msg[0]) {
    case ICMP6_MLD_REPORT:
    case ICMP6_MLD_DONE:
    case ICMP6_MLD2_REPORT:
        if (!f || !snoops_multicast(s) || m.len < 24 || !ugwd_snoop_from_station(frame))
            return -1;
        return ugwd_icmpv6_rxh_mld(f, &m);
    case ICMP6_RA:
        if (hops != 255 || !link_local(m.ip + IP6_SRC) || !ugwd_snoop_to_station(frame))
            return -1;
        return ugwd_icmpv6_rxh_ndp_ra(s, prefixes, f, frame, &m);
    case ICMP6_NS:
        if (!f || hops != 255 || !ugwd_snoop_from_station(frame)) return -1;
        return ugwd_icmpv6_rxh_ndp_ns(f, prefixes, &m);
    case ICMP6_NA:
        if (hops != 255 || !ugwd_snoop_to_station(frame)) return -1;
        return ugwd_icmpv6_rxh_ndp_na(s->ctl, s, &m);
    default:
        return -1;
    }
}
