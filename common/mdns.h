// Resolution of ".local" names by multicast DNS. Blocking (up to a second):
// meant to run on the worker thread, so it logs nothing and touches no state
// of the event loop.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "common/array.h"

// Flags of a resolution.
enum : unsigned {
    MDNS_IPV4 = 0x02,     // wants A records
    MDNS_IPV6 = 0x04,     // wants AAAA records
    MDNS_LOOPBACK = 0x20, // also query from loopback interfaces (skipped otherwise)
};

constexpr size_t MDNS_MAX_QUERY = 512;
constexpr uint16_t MDNS_PORT = 5353;

// One resolved address: IPv4 or IPv6 with the requested port; IPv6
// link-local addresses carry the receiving interface as scope.
union mdns_addr {
    sockaddr sa;
    sockaddr_in sin;
    sockaddr_in6 sin6;
};

struct mdns_result {
    char name[256]; // the name as resolved, without trailing dots
    Ary addrs;      // of mdns_addr, best first (mdns_addr_compare)
};

// True for a name ending in ".local" (trailing dots ignored).
bool mdns_is_local(const char *name);

// The name as DNS labels (leading and trailing dots dropped). Returns the
// encoded length; when size is smaller nothing is written and the needed
// length is returned. -1 (EINVAL) for a label over 63 bytes, an empty label
// inside the name, or an encoding over 255 bytes.
int mdns_encode(const char *name, uint8_t *lbs, size_t size);

// Builds and sends one query for the name (a question for A and/or AAAA)
// with the given ID. 0, or -1 with errno.
int mdns_query(int fd, const char *name, unsigned flags, const sockaddr *dest, socklen_t destlen,
               uint16_t id);

// Resolves the name. 0 with *result set (free it with mdns_result_free), or
// -1 with errno (ENOENT: nobody answered; EINVAL: not a name we can ask for;
// ENETDOWN: no usable interface).
int mdns_resolve(const char *name, unsigned flags, uint16_t port, mdns_result **result);

// Adds the matching A/AAAA answers of one response to the sorted array of
// mdns_addr. The response must answer our query: ID `id`, and any question
// it carries back must be one of ours. Returns the number of addresses
// added; a malformed response adds nothing.
int mdns_parse_response(const uint8_t *msg, size_t len, const char *name, unsigned flags,
                        uint16_t id, unsigned ifindex, uint16_t port, Ary *addrs);

// Best first: public, then private, link-local, unspecified and loopback;
// IPv4 before IPv6 within one class.
int mdns_addr_compare(const void *a, const void *b);

void mdns_result_free(mdns_result *result);
