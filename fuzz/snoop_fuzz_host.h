// A gateway with one snooping service, a tunnel with two Ethernet flows and a
// VAP with an 802.11 flow, for feeding diverted frames to the snoop handlers.
// The first station's session carries a captive-portal URL. Flows are
// unbound: what the handlers send to a station fails at once.
//
// Input: records of a selector byte (bits 0-1: no flow, flow A, flow B, the
// VAP's flow; bit 2: towards the station, else from it), a big-endian u16
// length and that many frame bytes. Whatever the input made goes after it.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"
#include "gateway/ugwd_stash.h"
#include "radius/radius_db.h"

namespace snoop_fuzz
{

struct host {
    ugwd_ctl *ctl;
    ugwd_tunnel *tn;
    ugwd_vap *vap;
    ugwd_flow *flows[3];
    radius_entry *session;
};

inline host *setup()
{
    static host h;
    log_hook = nullptr;
    char dir[] = "/tmp/ugw-fuzz-snoop-XXXXXX";
    if (!mkdtemp(dir)) abort();
    h.ctl = ugwd_ctl_create((std::string(dir) + "/sock").c_str(), nullptr, 0, false);
    if (!h.ctl) abort();
    std::vector<uint8_t> m(2048);
    ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
    ugwd_service_conf c = {};
    c.mib.ulmexServiceId[0] = 0x5e;
    c.mib.ulmexServiceId[15] = 1;
    c.mib.ulmexServiceVNI = 7;
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
    c.mib.mode = 0x10;
    c.mib.query_interval = 125;
    c.mib.membership_timeout = 260;
    memcpy(m.data() + 8, &c, sizeof(c));
    ugwd_ctl_dispatch(h.ctl, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1);
    ugwd_service *s = ugwd_table_get_service(h.ctl->table, c.mib.ulmexServiceId);
    if (!s) abort();
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(4789);
    peer.sin_addr.s_addr = htonl(0x0a000001);
    h.tn = ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
    if (!h.tn || ugwd_table_insert_tunnel(h.ctl->table, h.tn)) abort();
    const uint8_t a[6] = {2, 0x11, 0x22, 0x33, 0x44, 0x55}, b[6] = {2, 0x66, 0x77, 0x88, 0x99, 0xaa};
    const uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1};
    h.flows[0] = ugwd_ctl_create_flow(h.ctl, nullptr, h.tn, a);
    h.flows[1] = ugwd_ctl_create_flow(h.ctl, nullptr, h.tn, b);
    h.vap = ugwd_service_create_vap(s, bssid, reinterpret_cast<sockaddr *>(&peer));
    if (!h.vap || ugwd_table_insert_vap(h.ctl->table, h.vap)) abort();
    h.flows[2] = ugwd_ctl_create_flow(h.ctl, h.vap, nullptr, a);
    if (!h.flows[0] || !h.flows[1] || !h.flows[2]) abort();
    h.session = static_cast<radius_entry *>(calloc(1, sizeof(radius_entry) + 16));
    h.session->authz.captive_portal = const_cast<char *>("https://portal.example/");
    memcpy(h.session->mac, a, 6);
    h.flows[0]->session = h.session;
    // Pools hide their objects from the leak checker: the gateway goes at exit.
    atexit([] {
        h.flows[0]->session = nullptr;
        free(h.session);
        ugwd_ctl_free(h.ctl);
    });
    return &h;
}

using handler = int (*)(ugwd_vap *, ugwd_tunnel *, ugwd_flow *, packet *);

inline void run(host *h, handler fn, const uint8_t *data, size_t size)
{
    while (size >= 3) {
        uint8_t sel = data[0];
        size_t n = static_cast<size_t>(data[1] << 8 | data[2]);
        data += 3, size -= 3;
        if (n > size) n = size;
        ugwd_flow *f = (sel & 3) ? h->flows[(sel & 3) - 1] : nullptr;
        bool on_vap = (sel & 3) == 3;
        packet *p = packet_from_bytes(h->ctl->packet_pool, data, n);
        data += n, size -= n;
        if (!p) continue;
        ugwd_snoop_set_class(p, sel & 4 ? UGWD_SNOOP_TO_STATION : UGWD_SNOOP_FROM_STATION);
        // As the frame router does: housekeeping after a change.
        if (fn(on_vap ? h->vap : nullptr, on_vap ? nullptr : h->tn, f, p) == 0 && f) {
            ugwd_ctl_expire_addresses(f);
            ugwd_ctl_expire_groups(f);
        }
        packet_release(p);
    }
    for (ugwd_flow *f : h->flows) {
        for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6))
            ugwd_ctl_remove_lease6(h->ctl, l);
        ugwd_ctl_delete_groups(f);
    }
    ugwd_prefix_expire(h->ctl, &h->tn->prefixes, UINT32_MAX);
    ugwd_prefix_expire(h->ctl, &h->vap->prefixes, UINT32_MAX);
}

} // namespace snoop_fuzz
