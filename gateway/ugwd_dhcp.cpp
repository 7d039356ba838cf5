// DHCP and DHCPv6 snooping: the per-flow records of what servers granted,
// and the captive-portal option put into their offers and replies. The daemon
// never answers: it reads, may rewrite in place, and the caller re-injects.
//
// Direction is the data plane's (the frame's class): server messages count
// only on their way to the station, client messages only from it, so that a
// station cannot grant itself an address by sending a reply.
#include <arpa/inet.h>
#include <cstring>

#include "common/checksum.h"
#include "common/dhcp.h"
#include "common/filter/filter_match.h"
#include "common/log.h"
#include "common/timer.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"
#include "radius/radius_db.h"

namespace
{

enum : size_t {
    ETH_HDR = 14,
    ETH_TYPE = 12,
    IP4_HDR = 20,
    IP4_TOTAL = 2,
    IP4_FRAG = 6,
    IP4_PROTO = 9,
    IP4_CSUM = 10,
    IP6_HDR = 40,
    IP6_PLEN = 4,
    UDP_HDR = 8,
    UDP_LEN = 4,
    UDP_CSUM = 6,
};
constexpr uint16_t ETHERTYPE_IP = 0x0800, ETHERTYPE_IPV6 = 0x86dd;
constexpr uint8_t PROTO_UDP = 17;
constexpr uint16_t PORT_BOOTPS = 67, PORT_BOOTPC = 68, PORT_DHCP6_CLIENT = 546,
                   PORT_DHCP6_SERVER = 547;
constexpr uint8_t LEASE_BROADCAST = 0x80, LEASE_PREFIX_BITS = 0x7e, LEASE_KEPT = 0x81;
constexpr uint32_t DHCP_DEFAULT_MAX = 576;
constexpr size_t NAME_MAX_LEN = sizeof(ugwd_lease_rec::hostname) - 1;

uint16_t ld16(const uint8_t *p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return ntohs(v);
}
uint32_t ld32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, 4);
    return ntohl(v);
}
void st16(uint8_t *p, uint16_t v)
{
    v = htons(v);
    memcpy(p, &v, 2);
}

// Bits set in a netmask. The library's popcount is a call on the baseline
// instruction set, once per acknowledgement.
uint8_t mask_bits(uint32_t m)
{
    m = m - ((m >> 1) & 0x55555555);
    m = (m & 0x33333333) + ((m >> 2) & 0x33333333);
    m = (m + (m >> 4)) & 0x0f0f0f0f;
    return static_cast<uint8_t>((m * 0x01010101) >> 24);
}

bool zero4(const uint8_t *a)
{
    return !a[0] && !a[1] && !a[2] && !a[3];
}

// Verifies or fills the UDP checksum over the datagram; ip is the IPv4 or
// IPv6 header. A zero result goes out as 0xffff.
uint32_t udp_sum(const uint8_t *ip, const uint8_t *udp, size_t ulen, bool v6)
{
    uint32_t sum = v6 ? inet_csum_pseudo6(ip, PROTO_UDP, static_cast<uint32_t>(ulen))
                      : inet_csum_pseudo4(ip, static_cast<uint16_t>(ulen));
    return inet_csum_partial(sum, udp, ulen);
}
void udp_fill(const uint8_t *ip, uint8_t *udp, size_t ulen, bool v6)
{
    st16(udp + UDP_CSUM, 0);
    auto c = static_cast<uint16_t>(~udp_sum(ip, udp, ulen, v6));
    st16(udp + UDP_CSUM, c ? c : 0xffff);
}

// The portal URL of the flow's RADIUS session, or null.
const char *portal_of(const ugwd_flow *f)
{
    const radius_entry *s = f->session;
    return s && s->authz.captive_portal && *s->authz.captive_portal ? s->authz.captive_portal
                                                                    : nullptr;
}

// Copies a name into the record: at most 63 bytes, cut at its first "." (and
// at a NUL a station put inside).
void set_name(char out[64], const uint8_t *name, size_t n)
{
    n = std::min(n, NAME_MAX_LEN);
    size_t i = 0;
    for (; i < n && name[i] && name[i] != '.'; i++)
        out[i] = static_cast<char>(name[i]);
    memset(out + i, 0, 64 - i);
}

// A domain name in DNS wire format: its first label, if it is sound.
bool first_label(const uint8_t *wire, size_t n, const uint8_t **label, size_t *len)
{
    if (n < 1 || wire[0] == 0 || wire[0] > 63 || 1u + wire[0] > n) return false;
    *label = wire + 1;
    *len = wire[0];
    return true;
}

void log_dhcp(const uint8_t *msg, size_t len)
{
    if (!log_enabled(LOG_COMP_ALL, ULOG_DUMP)) return;
    char text[1024];
    if (dhcp_format(msg, len, text, sizeof(text)) >= 0) ulog(LOG_COMP_ALL, ULOG_DUMP, "%s", text);
}

void log_lease_end(const ugwd_lease_rec &r, const char *how)
{
    if (zero4(r.addr)) return;
    const uint8_t *m = r.mac, *a = r.addr;
    char u[37];
    ulog(LOG_COMP_ALL, ULOG_DETAIL,
         "DHCP record for client %02x:%02x:%02x:%02x:%02x:%02x on service %s lease %d.%d.%d.%d %s",
         m[0], m[1], m[2], m[3], m[4], m[5], ugwd_uuid_format(r.uuid, u), a[0], a[1], a[2], a[3],
         how);
}

// The parts of a parsed IPv4 DHCP frame.
struct dhcp_frame {
    uint8_t *ip, *udp, *msg;
    size_t len;
    uint8_t type;
};

// Puts the captive-portal option into an offer or acknowledgement: every
// option 114 out, the URL in, within what the client takes and the frame
// holds. Lengths and checksums follow the message.
void dhcp_add_portal(packet *frame, dhcp_frame &d, const ugwd_lease &l, const char *url)
{
    size_t ihl = size_t{d.ip[0] & 0x0fu} * 4;
    // Bytes beyond the datagram (Ethernet padding) go first: the message
    // grows into the frame's tail room only.
    size_t end = ETH_HDR + ihl + UDP_HDR + d.len;
    if (frame->length > end) packet_trim(frame, frame->length - end);
    uint16_t total = ld16(d.ip + IP4_TOTAL);

    size_t len = d.len;
    while (uint8_t *o = dhcp_find_opt(d.msg, len, DHCP_OPT_CAPTIVE_PORTAL, -1))
        if (dhcp_remove_opt(d.msg, &len, o) < 0) break;
    // The client's maximum counts its IP and UDP headers.
    size_t client_max = l.rec.max_msg_size > ihl + UDP_HDR ? l.rec.max_msg_size - ihl - UDP_HDR : 0;
    size_t limit = std::min(client_max, d.len + packet_tailroom(frame));
    size_t n = strlen(url);
    if (len > limit ||
        !dhcp_add_opt(d.msg, &len, std::max(limit, len), DHCP_OPT_CAPTIVE_PORTAL, url, n)) {
        const uint8_t *m = l.rec.mac;
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Insuffient space %zu bytes to add Captive-Portal DHCP option for client "
             "%02x:%02x:%02x:%02x:%02x:%02x",
             limit, m[0], m[1], m[2], m[3], m[4], m[5]);
    }
    if (len > d.len)
        packet_put(frame, len - d.len);
    else if (len < d.len)
        packet_trim(frame, d.len - len);
    if (auto t = static_cast<uint16_t>(ihl + UDP_HDR + len); t != total) {
        st16(d.ip + IP4_TOTAL, t);
        st16(d.ip + IP4_CSUM, 0);
        st16(d.ip + IP4_CSUM, static_cast<uint16_t>(~inet_csum_partial(0, d.ip, ihl)));
    }
    if (len == d.len) return;
    d.len = len;
    st16(d.udp + UDP_LEN, static_cast<uint16_t>(UDP_HDR + len));
    if (ld16(d.udp + UDP_CSUM)) udp_fill(d.ip, d.udp, UDP_HDR + len, false);
}

int dhcp_request(ugwd_lease *l, const dhcp_frame &d)
{
    const uint8_t *msg = d.msg;
    uint16_t secs = ld16(msg + DHCP_SECS);
    bool left = false;
    if (secs < 4 && (l->rec.flags & LEASE_BROADCAST)) {
        l->rec.flags &= static_cast<uint8_t>(~LEASE_BROADCAST);
        left = true;
    }
    uint8_t requested[4];
    memcpy(requested, msg + DHCP_CIADDR, 4);
    dhcp_for_each_opt(msg, d.len, [&](const uint8_t *o) {
        const uint8_t *v = o + 2;
        switch (o[0]) {
        case DHCP_OPT_MAX_SIZE:
            if (o[1] == 2) l->rec.max_msg_size = ld16(v);
            break;
        case DHCP_OPT_HOSTNAME:
            set_name(l->rec.hostname, v, o[1]);
            break;
        case DHCP_OPT_REQUESTED_IP:
            if (o[1] == 4) memcpy(requested, v, 4);
            break;
        case DHCP_OPT_FQDN: {
            // Flags and two RCODE bytes come first; E set: DNS wire format.
            if (o[1] < 3) break;
            const uint8_t *name = v + 3;
            size_t n = o[1] - 3u;
            if (v[0] & 0x04 && !first_label(name, n, &name, &n)) break;
            set_name(l->rec.hostname, name, n);
            break;
        }
        default:
            break;
        }
        return true;
    });
    switch (d.type) {
    case DHCPDISCOVER:
        if (secs >= 4 && !(l->rec.flags & LEASE_BROADCAST) &&
            (ld16(msg + DHCP_FLAGS) & DHCP_FLAG_BROADCAST)) {
            const uint8_t *m = l->rec.mac;
            ulog(LOG_COMP_ALL, ULOG_DETAIL,
                 "Switching to DHCP broadcast replies for client %02x:%02x:%02x:%02x:%02x:%02x "
                 "after %us",
                 m[0], m[1], m[2], m[3], m[4], m[5], secs);
            l->rec.flags |= LEASE_BROADCAST;
            return 0;
        }
        break;
    case DHCPREQUEST:
    case DHCPINFORM:
        memcpy(&l->xid, msg + DHCP_XID, 4);
        memcpy(&l->requested_addr, requested, 4);
        break;
    case DHCPDECLINE:
    case DHCPRELEASE:
        if (!memcmp(requested, l->rec.addr, 4)) {
            log_lease_end(l->rec, "released");
            ugwd_lease_reset(&l->rec);
            return 0;
        }
        break;
    default:
        break;
    }
    return left ? 0 : -1;
}

int dhcp_reply(ugwd_flow *f, ugwd_lease *l, packet *frame, dhcp_frame &d)
{
    if (const char *url = portal_of(f); url && (d.type == DHCPOFFER || d.type == DHCPACK))
        dhcp_add_portal(frame, d, *l, url);
    const uint8_t *msg = d.msg;
    switch (d.type) {
    case DHCPACK: {
        bool assigned = !zero4(msg + DHCP_YIADDR);
        if (assigned) {
            ugwd_lease_reset(&l->rec);
            memcpy(l->rec.addr, msg + DHCP_YIADDR, 4);
            l->rec.start = clock_sec();
        } else if (zero4(l->rec.addr) || memcmp(msg + DHCP_CIADDR, l->rec.addr, 4)) {
            // An answer to an INFORM renews only the lease held.
            return -1;
        }
        const uint8_t *portal = nullptr;
        dhcp_for_each_opt(msg, d.len, [&](const uint8_t *o) {
            if (o[0] == DHCP_OPT_LEASE_TIME && o[1] == 4) {
                l->rec.lease_time = ld32(o + 2);
            } else if (o[0] == DHCP_OPT_NETMASK && o[1] == 4) {
                uint8_t bits = mask_bits(ld32(o + 2));
                l->rec.flags = static_cast<uint8_t>((l->rec.flags & LEASE_KEPT) | bits << 1);
            } else if (o[0] == DHCP_OPT_CAPTIVE_PORTAL) {
                portal = o;
            }
            return true;
        });
        // The portal text is the server's: only printable bytes reach the log.
        char text[256] = "";
        if (portal) {
            size_t n = portal[1];
            for (size_t i = 0; i < n; i++)
                text[i] = portal[2 + i] >= 0x20 && portal[2 + i] < 0x7f
                              ? static_cast<char>(portal[2 + i])
                              : '?';
            text[n] = 0;
        }
        const ugwd_lease_rec &r = l->rec;
        const uint8_t *m = r.mac, *a = r.addr;
        char u[37];
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "DHCP record for client %02x:%02x:%02x:%02x:%02x:%02x on service %s %s lease "
             "%d.%d.%d.%d/%u%s%.*s valid for %us",
             m[0], m[1], m[2], m[3], m[4], m[5], ugwd_uuid_format(r.uuid, u),
             assigned ? "assigned" : "renewed", a[0], a[1], a[2], a[3],
             (r.flags & LEASE_PREFIX_BITS) >> 1u, portal ? " captured at " : "",
             static_cast<int>(strlen(text)), text, r.lease_time);
        return 0;
    }
    case DHCPNAK:
        if (!memcmp(msg + DHCP_XID, &l->xid, 4) && !memcmp(&l->requested_addr, l->rec.addr, 4)) {
            log_lease_end(l->rec, "revoked");
            ugwd_lease_reset(&l->rec);
            return 0;
        }
        return -1;
    default:
        return -1;
    }
}

} // namespace

int ugwd_dhcp_parse(packet *frame, uint8_t **ip_out, uint8_t **udp_out, uint8_t **msg_out,
                    size_t *len_out, uint8_t *type_out)
{
    // The frame is one buffer: the data plane hands none in pieces.
    size_t n = packet_headsize(frame);
    uint8_t *eth = frame->data;
    if (packet_isfragmented(frame) || n < ETH_HDR + IP4_HDR || ld16(eth + ETH_TYPE) != ETHERTYPE_IP)
        return -1;
    uint8_t *ip = eth + ETH_HDR;
    size_t avail = n - ETH_HDR, ihl = size_t{ip[0] & 0x0fu} * 4, total = ld16(ip + IP4_TOTAL);
    if (ip[0] >> 4 != 4 || ihl < IP4_HDR || total < ihl + UDP_HDR || total > avail ||
        ip[IP4_PROTO] != PROTO_UDP || (ld16(ip + IP4_FRAG) & 0x3fff) ||
        inet_csum_partial(0, ip, ihl) != 0xffff)
        return -1;
    uint8_t *udp = ip + ihl;
    size_t ulen = ld16(udp + UDP_LEN);
    if (ulen < UDP_HDR || ulen > total - ihl) return -1;
    if (ld16(udp + UDP_CSUM) && udp_sum(ip, udp, ulen, false) != 0xffff) return -1;
    uint8_t *msg = udp + UDP_HDR;
    size_t len = ulen - UDP_HDR;
    if (len < DHCP_OPTIONS || msg[DHCP_HTYPE] != 1 || msg[DHCP_HLEN] != 6 ||
        ld32(msg + DHCP_COOKIE) != DHCP_MAGIC)
        return -1;
    uint16_t sport = ld16(udp);
    if ((sport == PORT_BOOTPC && msg[DHCP_OP] != DHCP_BOOTREQUEST) ||
        (sport == PORT_BOOTPS && msg[DHCP_OP] != DHCP_BOOTREPLY))
        return -1;
    const uint8_t *t = dhcp_find_opt(msg, len, DHCP_OPT_MSG_TYPE, 1);
    if (!t) return -1;
    if (ip_out) *ip_out = ip;
    if (udp_out) *udp_out = udp;
    if (msg_out) *msg_out = msg;
    if (len_out) *len_out = len;
    if (type_out) *type_out = t[2];
    return 0;
}

int ugwd_dhcp_client_mac(packet *frame, uint8_t mac[6])
{
    uint8_t *msg;
    if (ugwd_dhcp_parse(frame, nullptr, nullptr, &msg, nullptr, nullptr) < 0) return -1;
    memcpy(mac, msg + DHCP_CHADDR, 6);
    return 0;
}

int ugwd_dhcp_rxh_mangle(ugwd_vap *, ugwd_tunnel *, ugwd_flow *f, packet *frame)
{
    if (!f) return -1;
    dhcp_frame d;
    if (ugwd_dhcp_parse(frame, &d.ip, &d.udp, &d.msg, &d.len, &d.type) < 0 ||
        memcmp(d.msg + DHCP_CHADDR, f->mac, 6))
        return -1;
    uint8_t op = d.msg[DHCP_OP];
    bool request = op == DHCP_BOOTREQUEST && ugwd_snoop_from_station(frame);
    bool reply = op == DHCP_BOOTREPLY && ugwd_snoop_to_station(frame);
    if (!request && !reply) return -1;
    ugwd_lease *l = list_isempty(&f->leases) ? ugwd_lease_create(f)
                                             : list_first_record<&ugwd_lease::link>(&f->leases);
    if (!l) return -1;
    log_dhcp(d.msg, d.len);
    return request ? dhcp_request(l, d) : dhcp_reply(f, l, frame, d);
}

// DHCPv6.

namespace
{

constexpr uint8_t LEASE6_DHCPV6_LEN = 128;
constexpr size_t IAADDR_LEN = 24;

bool client_type(uint8_t t)
{
    switch (t) {
    case DHCPV6_SOLICIT:
    case DHCPV6_REQUEST:
    case DHCPV6_CONFIRM:
    case DHCPV6_RENEW:
    case DHCPV6_REBIND:
    case DHCPV6_RELEASE:
    case DHCPV6_DECLINE:
    case DHCPV6_INFORMATION_REQUEST:
        return true;
    default:
        return false;
    }
}

bool server_type(uint8_t t)
{
    return t == DHCPV6_ADVERTISE || t == DHCPV6_REPLY || t == DHCPV6_RECONFIGURE;
}

// Walks options {u16 code, u16 length, value} within n bytes; stops at one
// that runs past the end.
template <class F> void walk6(const uint8_t *p, size_t n, F each)
{
    for (size_t off = 0; off + 4 <= n;) {
        uint16_t code = ld16(p + off), len = ld16(p + off + 2);
        if (len > n - off - 4) return;
        if (!each(code, p + off + 4, size_t{len})) return;
        off += 4u + len;
    }
}

bool has_addr6(const ugwd_lease6 *l)
{
    return l->rec.prefix_len != 0;
}

struct addr6_text {
    char t[INET6_ADDRSTRLEN];
    explicit addr6_text(const uint8_t a[16]) { inet_ntop(AF_INET6, a, t, sizeof(t)); }
};

// The record's address is its key in the table's address index: a record
// that is there leaves the index before its address changes; the flow's
// housekeeping indexes it again.
void unindex(ugwd_flow *f, ugwd_lease6 *l)
{
    if (cmultilink_used(&l->by_uuid)) ugwd_table_drop_lease6(f->ctl->table, l);
}

int release6(ugwd_flow *f, ugwd_lease6 *l, uint32_t iaid)
{
    l->iaid = iaid;
    if (!has_addr6(l)) return -1;
    addr6_text a(l->rec.addr);
    ulog(LOG_COMP_ALL, ULOG_DETAIL, "DHCPv6 lease %s/128 released", a.t);
    unindex(f, l);
    ugwd_lease6_reset(&l->rec);
    return 0;
}

int dhcpv6_client(ugwd_flow *f, ugwd_lease6 *l, const uint8_t *msg, size_t len)
{
    uint8_t type = msg[0];
    bool ia = false;
    uint32_t iaid = 0;
    walk6(msg + DHCPV6_HEADER, len - DHCPV6_HEADER, [&](uint16_t code, const uint8_t *v, size_t n) {
        if ((code == DHCPV6_OPT_IA_NA && n >= 12) || (code == DHCPV6_OPT_IA_TA && n >= 4)) {
            ia = true;
            iaid = ld32(v);
        } else if (code == DHCPV6_OPT_CLIENT_FQDN && n > 1) {
            const uint8_t *label;
            size_t ln;
            if (first_label(v + 1, n - 1, &label, &ln)) set_name(l->rec.hostname, label, ln);
        }
        return true;
    });
    // Without an identity association there is no lease to speak of.
    if (!ia) return -1;
    switch (type) {
    case DHCPV6_RELEASE:
    case DHCPV6_DECLINE:
        return release6(f, l, iaid);
    case DHCPV6_INFORMATION_REQUEST:
        if (!has_addr6(l)) l->iaid = iaid;
        return -1;
    default:
        if (iaid == l->iaid) return -1;
        return release6(f, l, iaid);
    }
}

void dhcpv6_add_portal(packet *frame, uint8_t *ip6, uint8_t *udp, size_t *len, const char *url,
                       const radius_entry *s)
{
    uint8_t *msg = udp + UDP_HDR;
    size_t end = static_cast<size_t>(udp - frame->data) + UDP_HDR + *len;
    if (frame->length > end) packet_trim(frame, frame->length - end);
    size_t n = *len;
    while (uint8_t *o = dhcpv6_find_opt(msg, n, DHCPV6_OPT_CAPTIVE_PORTAL, -1))
        if (dhcpv6_remove_opt(msg, &n, o) < 0) break;
    size_t limit = *len + packet_tailroom(frame);
    if (!dhcpv6_add_opt(msg, &n, limit, DHCPV6_OPT_CAPTIVE_PORTAL, url, strlen(url))) {
        const uint8_t *m = s->mac;
        ulog(LOG_COMP_ALL, ULOG_DEBUG,
             "Insuffient space %zu bytes to add Captive-Portal DHCPv6 option for client "
             "%02x:%02x:%02x:%02x:%02x:%02x",
             limit, m[0], m[1], m[2], m[3], m[4], m[5]);
    }
    size_t ulen = UDP_HDR + n;
    auto plen = static_cast<uint16_t>(static_cast<size_t>(udp - ip6) - IP6_HDR + ulen);
    if (n > *len)
        packet_put(frame, n - *len);
    else if (n < *len)
        packet_trim(frame, *len - n);
    st16(ip6 + IP6_PLEN, plen);
    if (n == *len) return;
    *len = n;
    st16(udp + UDP_LEN, static_cast<uint16_t>(ulen));
    if (ld16(udp + UDP_CSUM)) udp_fill(ip6, udp, ulen, true);
}

int dhcpv6_server(ugwd_flow *f, ugwd_lease6 *l, packet *frame, uint8_t *ip6, uint8_t *udp,
                  size_t len)
{
    uint8_t *msg = udp + UDP_HDR;
    uint8_t type = msg[0];
    if (const char *url = portal_of(f);
        url && (type == DHCPV6_ADVERTISE || type == DHCPV6_REPLY))
        dhcpv6_add_portal(frame, ip6, udp, &len, url, f->session);
    if (type != DHCPV6_REPLY) return -1;

    bool ia = false, got = false;
    uint32_t iaid = 0, valid = 0;
    uint16_t status = 0;
    uint8_t addr[16];
    walk6(msg + DHCPV6_HEADER, len - DHCPV6_HEADER, [&](uint16_t code, const uint8_t *v, size_t n) {
        size_t skip = code == DHCPV6_OPT_IA_NA ? 12 : code == DHCPV6_OPT_IA_TA ? 4 : 0;
        if (skip && n >= skip) {
            ia = true;
            got = false;
            iaid = ld32(v);
            // Its options: the first IA Address, sub-options allowed.
            walk6(v + skip, n - skip, [&](uint16_t c, const uint8_t *a, size_t an) {
                if (c != DHCPV6_OPT_IAADDR || an < IAADDR_LEN) return true;
                memcpy(addr, a, 16);
                valid = ld32(a + 20);
                got = true;
                return false;
            });
        } else if (code == DHCPV6_OPT_STATUS_CODE && n >= 2) {
            status = ld16(v);
        }
        return true;
    });
    if (!ia) return -1;
    if (iaid != l->iaid) {
        ulog(LOG_COMP_ALL, ULOG_DETAIL, "Ignoring DHCPv6 reply for unknown IAID %08x expected %08x",
             iaid, l->iaid);
        return -1;
    }
    if (status || !got) return release6(f, l, iaid);
    bool renewed = has_addr6(l);
    addr6_text a(addr);
    ulog(LOG_COMP_ALL, ULOG_DETAIL, "DHCPv6 lease %s/128 %s valid for %us", a.t,
         renewed ? "renewed" : "assigned", valid);
    if (memcmp(l->rec.addr, addr, 16)) unindex(f, l);
    l->rec.prefix_len = LEASE6_DHCPV6_LEN;
    memcpy(l->rec.addr, addr, 16);
    l->rec.valid_lifetime = valid;
    l->rec.start = clock_sec();
    return 0;
}

} // namespace

int ugwd_dhcpv6_rxh_mangle(ugwd_vap *, ugwd_tunnel *, ugwd_flow *f, packet *frame)
{
    if (!f || packet_isfragmented(frame)) return -1;
    size_t n = packet_headsize(frame);
    uint8_t *eth = frame->data;
    if (n < ETH_HDR + IP6_HDR || ld16(eth + ETH_TYPE) != ETHERTYPE_IPV6) return -1;
    uint8_t *ip6 = eth + ETH_HDR;
    size_t total = IP6_HDR + ld16(ip6 + IP6_PLEN);
    if (ip6[0] >> 4 != 6 || total > n - ETH_HDR) return -1;
    size_t off;
    uint8_t next;
    uint16_t frag;
    uint32_t frag_id;
    // An atomic fragment (offset 0, no more) is a whole packet.
    if (ipv6_skip_ext_headers(ip6, total, &off, &next, &frag, &frag_id) < 0 || (frag & 0xfff9) ||
        next != PROTO_UDP || off + UDP_HDR > total)
        return -1;
    uint8_t *udp = ip6 + off;
    size_t ulen = ld16(udp + UDP_LEN);
    if (ulen < UDP_HDR + DHCPV6_HEADER || ulen > total - off) return -1;
    if (ld16(udp + UDP_CSUM) && udp_sum(ip6, udp, ulen, true) != 0xffff) return -1;
    uint16_t sport = ld16(udp), dport = ld16(udp + 2);
    uint8_t type = udp[UDP_HDR];
    bool client = client_type(type) && sport == PORT_DHCP6_CLIENT && dport == PORT_DHCP6_SERVER;
    bool server = server_type(type) && sport == PORT_DHCP6_SERVER && dport == PORT_DHCP6_CLIENT;
    if (!(client && ugwd_snoop_from_station(frame)) && !(server && ugwd_snoop_to_station(frame)))
        return -1;

    ugwd_lease6 *l = nullptr;
    for (ugwd_lease6 *x : list_records<&ugwd_lease6::link>(&f->leases6))
        if (x->rec.kind == UGWD_LEASE6_DHCPV6) {
            l = x;
            break;
        }
    static constexpr uint8_t unspecified[16] = {};
    if (!l && !(l = ugwd_lease6_create(f, &ugwd_prefix_dhcpv6, unspecified))) return -1;
    size_t len = ulen - UDP_HDR;
    if (log_enabled(LOG_COMP_ALL, ULOG_DUMP)) {
        char text[1024];
        if (dhcpv6_format(udp + UDP_HDR, len, text, sizeof(text)) >= 0)
            ulog(LOG_COMP_ALL, ULOG_DUMP, "%s", text);
    }
    return client ? dhcpv6_client(f, l, udp + UDP_HDR, len)
                  : dhcpv6_server(f, l, frame, ip6, udp, len);
}
