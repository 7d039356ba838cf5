// A gateway with one service, one tunnel and one flow whose RADIUS session
// (a double of the session record) may carry a captive-portal URL: what the
// snoop handlers' fuzz targets feed frames to.
//
// Input: a control byte, then an Ethernet frame. Control bit 0: the frame
// goes to the station (else it comes from it); bit 1: the session has a
// portal URL; bit 2: the harness fills in the IPv4 header checksum and the
// UDP checksum, so that inputs reach past the checksum checks; bits 3-7:
// spare tail room in 16-byte steps up to 496 bytes.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <string>
#include <vector>

#include "common/checksum.h"
#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"
#include "radius/radius_db.h"

namespace snoop_fuzz
{

struct host {
    ugwd_ctl *ctl;
    ugwd_tunnel *tn;
    ugwd_flow *flow;
    radius_entry *session;
};

inline char portal_url[] = "http://portal.example/login?from=gateway";

inline host *setup()
{
    static host h;
    log_hook = nullptr;
    ugwd_ctl_init();
    char dir[] = "/tmp/ugw-fuzz-snoop-XXXXXX";
    if (!mkdtemp(dir)) abort();
    h.ctl = ugwd_ctl_create((std::string(dir) + "/sock").c_str(), nullptr, 0, false);
    if (!h.ctl) abort();
    std::vector<uint8_t> m(2048);
    ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
    ugwd_service_conf c = {};
    c.mib.ulmexServiceId[0] = 0x5e;
    c.mib.ulmexServiceId[15] = 1;
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
    memcpy(m.data() + 8, &c, sizeof(c));
    ugwd_ctl_dispatch(h.ctl, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1);
    ugwd_service *s = ugwd_table_get_service(h.ctl->table, c.mib.ulmexServiceId);
    if (!s) abort();
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(4789);
    peer.sin_addr.s_addr = htonl(0x0a000001);
    h.tn = ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
    if (!h.tn || ugwd_table_insert_tunnel(h.ctl->table, h.tn) < 0) abort();
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    h.flow = ugwd_ctl_create_flow(h.ctl, nullptr, h.tn, mac);
    if (!h.flow) abort();
    h.session = static_cast<radius_entry *>(calloc(1, sizeof(radius_entry) + 16));
    memcpy(h.session->mac, mac, 6);
    h.session->authz.captive_portal = portal_url;
    atexit([] {
        ugwd_ctl_free(h.ctl);
        free(h.session);
    });
    return &h;
}

inline void fix_checksums(uint8_t *f, size_t n)
{
    auto st16 = [](uint8_t *p, uint16_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); };
    if (n < 14 + 20) return;
    uint8_t *ip = f + 14;
    if (f[12] == 0x08 && f[13] == 0x00 && ip[0] >> 4 == 4) {
        size_t ihl = (ip[0] & 15u) * 4;
        if (ihl < 20 || 14 + ihl + 8 > n) return;
        st16(ip + 10, 0);
        st16(ip + 10, uint16_t(~inet_csum_partial(0, ip, ihl)));
        uint8_t *udp = ip + ihl;
        size_t ulen = size_t(udp[4]) << 8 | udp[5];
        if (ulen < 8 || 14 + ihl + ulen > n) return;
        st16(udp + 6, 0);
        st16(udp + 6, uint16_t(~inet_csum_partial(inet_csum_pseudo4(ip, uint16_t(ulen)), udp, ulen)));
    } else if (f[12] == 0x86 && f[13] == 0xdd && n >= 14 + 48) {
        // UDP right after the fixed header.
        uint8_t *udp = ip + 40;
        size_t ulen = size_t(udp[4]) << 8 | udp[5];
        if (ulen < 8 || 14 + 40 + ulen > n) return;
        st16(udp + 6, 0);
        st16(udp + 6, uint16_t(~inet_csum_partial(inet_csum_pseudo6(ip, 17, uint32_t(ulen)), udp, ulen)));
    }
}

using handler = int (*)(ugwd_vap *, ugwd_tunnel *, ugwd_flow *, packet *);

inline void run(host *h, handler fn, const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4000) return;
    uint8_t control = data[0];
    size_t n = size - 1, spare = static_cast<size_t>(control >> 3) * 16;
    packet *p = packet_alloc(h->ctl->packet_pool, n + spare);
    if (!p) return;
    memcpy(p->data, data + 1, n);
    packet_trim(p, spare);
    if (control & 4) fix_checksums(p->data, n);
    h->flow->session = control & 2 ? h->session : nullptr;
    ugwd_snoop_set_class(p, control & 1 ? UGWD_SNOOP_TO_STATION : UGWD_SNOOP_FROM_STATION);
    fn(nullptr, h->tn, h->flow, p);
    packet_release(p);
}

} // namespace snoop_fuzz
