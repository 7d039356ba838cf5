// A small rtnetlink client: interface and address events, link attributes,
// and the best address of an interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"

// One link or address event.
struct netlink_event {
    uint32_t type; // RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR, RTM_DELADDR, or NETLINK_EVENT_RESYNC
    char name[16];
    uint32_t ifindex;
    uint32_t flags; // link flags, or address flags
    uint32_t family;
    uint8_t addr[16]; // IPv4 in the first four bytes
};
static_assert(sizeof(netlink_event) == 48);

// Events were lost (the socket overflowed or a datagram was truncated): the
// records that follow this one are a fresh dump of every link and address, and
// anything the reader knew before may be stale.
enum : uint32_t { NETLINK_EVENT_RESYNC = 0xffff };

enum : uint32_t { NETLINK_GROUPS_LINK_ADDR = 0x111 };

int netlink_open(uint32_t groups);

// Reads one datagram of pending events into the array (emptied first). The
// number of messages walked, or -1 (EAGAIN when nothing is pending).
int netlink_read_events(int fd, Ary *events);

// Appends the link and address messages of one datagram to the array; stops
// at the first malformed message. Returns the number of messages walked.
int netlink_parse_events(const uint8_t *buf, size_t len, Ary *events);

// One request/reply exchange on a fresh socket. Reply bytes, or -1.
int netlink_transact(const void *request, size_t request_len, uint8_t *reply, size_t size);

using netlink_attr_fn = int (*)(const void *attrs, size_t len, void *context);

struct netlink_attr_ctx {
    void *buffer;
    size_t length; // in: room; out: payload length
    uint16_t type;
};

int netlink_get_link(uint32_t ifindex, netlink_attr_fn callback, void *context);
int netlink_attr_copy(const void *attrs, size_t len, void *context);
int netlink_get_link_attr(uint32_t ifindex, uint16_t type, void *buffer, size_t length);
int netif_get_rx_queues(uint32_t ifindex);
int netif_get_hwaddr(uint32_t ifindex, uint8_t hwaddr[6]);

// The interface's best address: -1 with ENOENT when it has none, EAGAIN when
// the best one is still tentative.
int netlink_get_addrs(int family, uint32_t ifindex, void *addr, size_t addr_len);
int netif_get_addrs4(uint32_t ifindex, uint8_t addr[4]);
int netif_get_addrs6(uint32_t ifindex, uint8_t addr[16]);

// Category of an address for choosing among an interface's (0 is best).
int netlink_addr_category(int family, const uint8_t *addr, uint8_t scope);
