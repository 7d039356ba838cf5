// IGMP snooping: a station's version 1, 2 and 3 reports and leaves become its
// memberships. Reports count only when they come from the station, whole and
// unfragmented, with both checksums right, and only for multicast groups:
// anything else a station sends must not grow the member lists.
#include <cstring>

#include "common/checksum.h"
#include "common/log.h"
#include "common/packet.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_snoop.h"

namespace
{

enum : size_t {
    ETH_LEN = 14,
    ETH_TYPE = 12,
    IP_TOTAL = 2,
    IP_FRAG = 6,
    IP_PROTO = 9,
    IGMP_MIN = 8,
    IGMP_GROUP = 4,
    IGMP3_COUNT = 6,
    IGMP3_RECORDS = 8,
};

enum : uint8_t {
    IGMP_V1_REPORT = 0x12,
    IGMP_V2_REPORT = 0x16,
    IGMP_LEAVE = 0x17,
    IGMP_V3_REPORT = 0x22,
};

uint16_t load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool sums_to_zero(const uint8_t *p, size_t n)
{
    return static_cast<uint16_t>(~inet_csum_partial(0, p, n)) == 0;
}

void log_igmp(const char *what, const ugwd_flow *f)
{
    const uint8_t *d = f->mac;
    ulog(LOG_COMP_ALL, ULOG_TRACE, "%s from %02x:%02x:%02x:%02x:%02x:%02x", what, d[0], d[1], d[2],
         d[3], d[4], d[5]);
}

bool multicast(const uint8_t *group)
{
    return (group[0] & 0xf0) == 0xe0;
}

int join(ugwd_flow *f, const uint8_t *group)
{
    return multicast(group) ? ugwd_flow_join_group(f, group) : -1;
}

int leave(ugwd_flow *f, const uint8_t *group)
{
    return multicast(group) ? ugwd_flow_leave_group(f, group) : -1;
}

int report_v3(ugwd_flow *f, const uint8_t *igmp, size_t len)
{
    int result = -1;
    unsigned count = load16(igmp + IGMP3_COUNT);
    size_t off = IGMP3_RECORDS;
    for (unsigned i = 0; i < count; i++) {
        if (len - off < 8) break;
        const uint8_t *r = igmp + off;
        unsigned sources = load16(r + 2);
        size_t rlen = (static_cast<size_t>(r[1]) + sources + 2) * 4;
        if (len - off < rlen) break;
        off += rlen;
        uint8_t type = r[0];
        if (type < 1 || type > 6) continue;
        bool to_include = (type == 1 || type == 3) && sources == 0;
        int got = to_include ? leave(f, r + 4) : join(f, r + 4);
        if (got > result) result = got;
    }
    return result;
}

} // namespace

int ugwd_igmp_snoop(ugwd_vap *vap, ugwd_tunnel *tn, ugwd_flow *f, packet *frame)
{
    if (!f || (f->vap ? f->vap != vap : f->tunnel != tn)) return -1;
    const ugwd_service *s = f->vap ? f->vap->service : f->tunnel->service;
    unsigned mode = (s->mib.mode >> 4) & 3;
    if ((mode != 1 && mode != 2) || !ugwd_snoop_from_station(frame)) return -1;
    if (packet_isfragmented(frame)) return -1;

    const uint8_t *eth = frame->data;
    size_t n = frame->length;
    if (n < ETH_LEN + 20 || load16(eth + ETH_TYPE) != 0x0800) return -1;
    const uint8_t *ip = eth + ETH_LEN;
    size_t hlen = (ip[0] & 0x0f) * 4u, total = load16(ip + IP_TOTAL);
    if (ip[0] >> 4 != 4 || hlen < 20 || total < hlen || total > n - ETH_LEN) return -1;
    if ((load16(ip + IP_FRAG) & 0x3fff) || ip[IP_PROTO] != 2) return -1;
    if (!sums_to_zero(ip, hlen)) return -1;
    const uint8_t *igmp = ip + hlen;
    size_t len = total - hlen;
    if (len < IGMP_MIN || !sums_to_zero(igmp, len)) return -1;

    switch (igmp[0]) {
    case IGMP_V1_REPORT:
    case IGMP_V2_REPORT:
        log_igmp("IGMP membership report", f);
        return join(f, igmp + IGMP_GROUP);
    case IGMP_LEAVE:
        log_igmp("IGMP leave group", f);
        return leave(f, igmp + IGMP_GROUP);
    case IGMP_V3_REPORT:
        log_igmp("IGMPv3 membership report", f);
        return report_v3(f, igmp, len);
    default:
        return -1;
    }
}
