#include "gateway/ugwd_stash.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"

namespace {

inline uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t be24(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0] << 16 | p[1] << 8 | p[2]);
}

enum : uint8_t { IPPROTO_UDP_ = 17, IPPROTO_GRE_ = 47, IPV6_FRAGMENT_ = 44 };
enum : uint16_t { ETH_P_TEB = 0x6558 };
enum : size_t { UDP_HDR = 8, ETH_HDR = 14, DOT11_HDR = 24 };

// GRE flag word: checksum, routing and key bits and the version must be clear;
// a sequence number makes the header 8 bytes.
enum : uint16_t { GRE_REFUSED = 0xe000 | 0x0007, GRE_SEQ = 0x1000 };

} // namespace

int ugwd_stash_parse_bytes(std::span<const uint8_t> b, uint8_t transport, flow_id *fid, uint8_t mac[6],
                           uint32_t *vni)
{
    size_t len = b.size();
    const uint8_t *p = b.data();
    if (transport < UGWD_TRANSPORT_NATIVE || transport > UGWD_TRANSPORT_GRE || len < 1)
        return -1;
    size_t payload;
    uint8_t proto;
    const uint8_t *src;
    bool v4;
    switch (p[0] >> 4) {
    case 4: {
        if (len < 20)
            return -1;
        size_t ihl = p[0] & 0x0f;
        if (ihl < 5 || ihl * 4 > len || (be16(p + 6) & 0x3fff))
            return -1;
        payload = ihl * 4;
        proto = p[9];
        src = p + 12;
        v4 = true;
        break;
    }
    case 6:
        if (len < 40 || p[6] == IPV6_FRAGMENT_)
            return -1;
        payload = 40;
        proto = p[6];
        src = p + 8;
        v4 = false;
        break;
    default:
        return -1;
    }
    size_t inner;
    uint32_t id = 0;
    if (transport == UGWD_TRANSPORT_GRE) {
        if (proto != IPPROTO_GRE_ || len < payload + 4)
            return -1;
        const uint8_t *g = p + payload;
        uint16_t word = be16(g);
        if (word & GRE_REFUSED)
            return -1;
        size_t hdr = word & GRE_SEQ ? 8 : 4;
        if (len < payload + hdr || be16(g + 2) != ETH_P_TEB)
            return -1;
        inner = payload + hdr;
        id = 0xffffffffu;
    } else {
        if (proto != IPPROTO_UDP_ || len < payload + UDP_HDR)
            return -1;
        size_t u = payload + UDP_HDR;
        const uint8_t *t = p + u;
        if (transport == UGWD_TRANSPORT_NATIVE) {
            if (len < u + DOT11_HDR)
                return -1;
            if (fid)
                frlc_flow_id_pair(fid, t + 4, t + 10);
            if (mac)
                memcpy(mac, t + 10, 6);
            return 0;
        }
        if (len < u + 8)
            return -1;
        if (transport == UGWD_TRANSPORT_VXLAN) {
            id = t[0] & 0x08 ? be24(t + 4) : 0;
            inner = u + 8;
        } else {
            if (t[0] >> 6 || t[1] & 0x80)
                return -1;
            size_t opts = static_cast<size_t>(t[0] & 0x3f) * 4;
            if (opts && (len < u + 8 + opts || t[1] & 0x40))
                return -1;
            if (be16(t + 2) != ETH_P_TEB)
                return -1;
            id = be24(t + 4);
            inner = u + 8 + opts;
        }
    }
    if (len < inner + ETH_HDR)
        return -1;
    const uint8_t *client = p + inner + 6;
    if (fid) {
        if (v4)
            frlc_flow_id_ipv4(fid, transport, src, client, 0);
        else
            frlc_flow_id_ipv6(fid, transport, src, client, 0);
    }
    if (mac)
        memcpy(mac, client, 6);
    if (vni)
        *vni = id;
    return 0;
}

int ugwd_stash_parse_udpip(packet *p, uint8_t transport, flow_id *fid, uint8_t mac[6], uint32_t *vni)
{
    if (!packet_isfragmented(p))
        return ugwd_stash_parse_bytes({p->data, p->length}, transport, fid, mac, vni);
    // Headers of a chain: the parser never reads past options and the inner
    // Ethernet header, which fit here.
    uint8_t head[60 + 8 + 8 + 252 + 14];
    size_t n = packet_access(p, 0, p->length < sizeof head ? p->length : sizeof head, head,
                             PACKET_ACCESS_READ);
    return ugwd_stash_parse_bytes({head, n}, transport, fid, mac, vni);
}

namespace {

void drop_entry(ugwd_stash *s, ugwd_stash_entry *e, bool release)
{
    list_remove(&e->arrival);
    multitable_remove(s->index, &e->link);
    s->count--;
    s->bytes -= e->pkt->length;
    if (release)
        packet_release(e->pkt);
    mempool_release(s->entries, e);
}

void expire(ugwd_stash *s, uint32_t room)
{
    uint32_t now = clock_sec();
    for (ugwd_stash_entry *e : list_records_safe<&ugwd_stash_entry::arrival>(&s->arrival)) {
        if (now - e->time <= UGWD_STASH_MAX_AGE && s->count + room <= s->limit)
            break;
        drop_entry(s, e, true);
    }
}

} // namespace

ugwd_stash *ugwd_stash_create(uint32_t limit)
{
    auto *s = static_cast<ugwd_stash *>(calloc(1, sizeof(ugwd_stash)));
    if (!s) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    list_init(&s->arrival);
    s->limit = limit ? limit : 1;
    s->index = multitable_create(&ugwd_stash_entry::fid, &ugwd_stash_entry::link);
    s->entries = mempool_create(sizeof(ugwd_stash_entry), nullptr, "struct ugwd_stash_entry", __FILE__, __LINE__);
    if (!s->index || !s->entries) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to allocate stash hashtable");
        ugwd_stash_destroy(s);
        return nullptr;
    }
    return s;
}

void ugwd_stash_flush(ugwd_stash *s)
{
    for (ugwd_stash_entry *e : list_records_safe<&ugwd_stash_entry::arrival>(&s->arrival))
        drop_entry(s, e, true);
}

void ugwd_stash_destroy(ugwd_stash *s)
{
    if (s->index && s->entries)
        ugwd_stash_flush(s);
    multitable_destroy(s->index);
    if (s->entries)
        mempool_unref(s->entries);
    free(s);
}

void ugwd_stash_free(ugwd_stash *s)
{
    if (s)
        ugwd_stash_destroy(s);
}

void ugwd_stash_expire_saved(ugwd_stash *s)
{
    expire(s, 0);
}

int ugwd_stash_save(ugwd_stash *s, packet *p, uint8_t transport, uint8_t process, uint16_t socket)
{
    expire(s, 1);
    flow_id fid;
    if (ugwd_stash_parse_udpip(p, transport, &fid, nullptr, nullptr) < 0)
        return -1;
    auto *e = static_cast<ugwd_stash_entry *>(mempool_alloc(s->entries));
    if (!e)
        return -1;
    if (packet_ref(p) < 0) {
        mempool_release(s->entries, e);
        return -1;
    }
    multilink_init(&e->link);
    e->fid = fid;
    e->pkt = p;
    e->time = clock_sec();
    e->transport = transport;
    e->process = process;
    e->socket = socket;
    list_append(&s->arrival, &e->arrival);
    s->count++;
    s->bytes += p->length;
    multitable_append(s->index, &e->link);
    return 0;
}

uint32_t ugwd_stash_retrieve_packets(ugwd_stash *s, const flow_id *fid, packet_queue *out,
                                     uint8_t *process, uint16_t *socket)
{
    ugwd_stash_expire_saved(s);
    packet_queue_init(out);
    multilink *first = multitable_lookup(s->index, fid);
    if (!first)
        return 0;
    // The newest packet names the socket; the ring runs oldest first.
    auto *newest = container_of(container_of(first->_ring._prev, &multilink::_ring), &ugwd_stash_entry::link);
    uint8_t proc = newest->process;
    uint16_t sock = newest->socket;
    if (process)
        *process = proc;
    if (socket)
        *socket = sock;
    uint32_t moved = 0;
    for (ugwd_stash_entry *e = container_of(first, &ugwd_stash_entry::link); e;) {
        multilink *next = list_isempty(&e->link._ring) ? nullptr : container_of(e->link._ring._next, &multilink::_ring);
        packet *p = e->pkt;
        bool keep = e->process == proc && e->socket == sock;
        drop_entry(s, e, !keep);
        if (keep) {
            packet_queue_append(out, p);
            moved++;
        }
        e = next ? container_of(next, &ugwd_stash_entry::link) : nullptr;
    }
    return moved;
}
