// Socket addresses: printing, parsing, comparing and IPv4-mapped conversion;
// MAC addresses; UNIX-socket addresses; URL host and port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

enum : unsigned {
    SOCKADDR_FMT_PAD_PORT = 0x1, // port left-aligned in 5 columns
    SOCKADDR_FMT_NO_PORT = 0x2,
};

// Room for "[IPv6]:port" and its NUL.
constexpr size_t SOCKADDR_FMT_SIZE = INET6_ADDRSTRLEN + 9;

// The length of the family's address structure: 110 for AF_UNIX, 28 for
// AF_INET6, 12 for AF_NETLINK, 20 for AF_PACKET, 16 for any other.
socklen_t sockaddr_len(const sockaddr *sa);
const char *sockaddr_format(const sockaddr *sa, char *buffer, size_t size, unsigned flags);
// Both return the number of characters used, or -1.
int inet_parse4_prefix(const char *text, in_addr *out);
int inet_parse6_prefix(const char *text, in6_addr *out);
// Orders by family, then by port unless either is 0 (any port), then by address.
int sockaddr_compare(const sockaddr *a, const sockaddr *b);
const sockaddr *sockaddr_to_v4mapped(const sockaddr *sa, sockaddr_in6 *buffer);
const sockaddr *sockaddr_from_v4mapped(const sockaddr *sa, sockaddr_in *buffer);
int inet_prefix_len(const sockaddr *netmask);

// Six pairs of hex digits, each optionally followed by one separator.
int mac_parse(uint8_t mac[6], std::string_view text);

socklen_t sockaddr_un_len(const sockaddr_un *sun);
// 1 when /proc/net/unix lists a socket bound to the address, else 0.
int unix_socket_exists(const sockaddr_un *sun);
int unix_socket_exists_in(const char *table, const sockaddr_un *sun);

// A UNIX socket's name as the table lists it: a path up to its NUL, or '@'
// and an abstract name with each NUL shown as '@'. Returns its length.
constexpr size_t UNIX_TABLE_NAME = sizeof(sockaddr_un::sun_path);
size_t unix_socket_table_name(const sockaddr_un *sun, socklen_t len, char out[UNIX_TABLE_NAME]);
// Calls fn with the name of every bound socket the table lists, in one pass
// over it. 0, or -1 when the table cannot be read.
int unix_socket_table_scan(const char *table, void (*fn)(void *user, std::string_view name),
                           void *user);

// "http://" or "https://" URL: the host into the buffer, the port out.
// Returns the host's length, or -1 (no such scheme, no host, host too long,
// a port above 65535).
int url_parse(const char *url, char *host, size_t size, uint16_t *port);
