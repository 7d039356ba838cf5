// The packet stash: tunnelled packets that arrived before the controller
// installed their flow, held for at most 3 s under the flow id the packet
// yields, until the flow installation takes them. Each entry keeps the flow
// id computed when the packet was saved, so the index never re-parses. The
// stash holds at most a quarter of the packet pool it shares with the
// controller link, so unknown tunnel traffic cannot starve DTLS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/list.h"
#include "common/multitable.h"
#include "gateway/fernrelayd_msg.h"

struct mempool;
struct packet;
struct packet_queue;

enum ugwd_transport : uint8_t {
    UGWD_TRANSPORT_NATIVE = 1,
    UGWD_TRANSPORT_VXLAN = 2,
    UGWD_TRANSPORT_GENEVE = 3,
    UGWD_TRANSPORT_GRE = 4,
};

inline constexpr uint32_t UGWD_STASH_MAX_AGE = 3; // seconds

struct ugwd_stash_entry {
    multilink link; // in the stash's index, keyed by fid
    flow_id fid;
    list_link arrival;
    packet *pkt; // the stash's reference
    uint32_t time;
    uint8_t transport;
    uint8_t process;
    uint16_t socket;
};

struct ugwd_stash {
    multitable *index;
    list_link arrival; // oldest first
    uint32_t count;
    uint32_t bytes;
    uint32_t limit;
    mempool *entries;
};

// limit: the most packets held at once.
ugwd_stash *ugwd_stash_create(uint32_t limit);
void ugwd_stash_destroy(ugwd_stash *s);
void ugwd_stash_free(ugwd_stash *s);
void ugwd_stash_flush(ugwd_stash *s);
// Takes its own reference; -1 when the packet does not parse (not kept).
int ugwd_stash_save(ugwd_stash *s, packet *p, uint8_t transport, uint8_t process, uint16_t socket);
// Moves the flow's packets that came on the socket of its newest one to the
// queue, oldest first; the others are released. Returns how many moved.
uint32_t ugwd_stash_retrieve_packets(ugwd_stash *s, const flow_id *fid, packet_queue *out,
                                     uint8_t *process, uint16_t *socket);
void ugwd_stash_expire_saved(ugwd_stash *s);

// A tunnelled packet from its outer IP header on: 0, or -1 when it is not a
// well-formed packet of that transport. Any output may be null.
int ugwd_stash_parse_udpip(packet *p, uint8_t transport, flow_id *fid, uint8_t mac[6], uint32_t *vni);
// The same over bytes.
int ugwd_stash_parse_bytes(std::span<const uint8_t> b, uint8_t transport, flow_id *fid, uint8_t mac[6],
                           uint32_t *vni);
