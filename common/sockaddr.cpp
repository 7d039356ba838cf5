#include "common/sockaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <sys/un.h>

// The lengths peers and the kernel expect; the same in 32- and 64-bit builds.
static_assert(sizeof(sockaddr_un) == 110 && sizeof(sockaddr_in6) == 28 &&
              sizeof(sockaddr_nl) == 12 && sizeof(sockaddr_ll) == 20 && sizeof(sockaddr) == 16);

socklen_t sockaddr_len(const sockaddr *sa)
{
    switch (sa->sa_family) {
    case AF_UNIX:
        return sizeof(sockaddr_un);
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    case AF_NETLINK:
        return sizeof(sockaddr_nl);
    case AF_PACKET:
        return sizeof(sockaddr_ll);
    default:
        return sizeof(sockaddr);
    }
}

const char *sockaddr_format(const sockaddr *sa, char *buffer, size_t size, unsigned flags)
{
    char addr[INET6_ADDRSTRLEN];
    unsigned port;
    bool v6;
    if (sa->sa_family == AF_INET) {
        auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        inet_ntop(AF_INET, &in->sin_addr, addr, sizeof(addr));
        port = ntohs(in->sin_port);
        v6 = false;
    } else if (sa->sa_family == AF_INET6) {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, addr, sizeof(addr));
        port = ntohs(in6->sin6_port);
        v6 = true;
    } else {
        if (size)
            buffer[0] = '\0';
        return "";
    }
    if (flags & SOCKADDR_FMT_NO_PORT)
        snprintf(buffer, size, "%s", addr);
    else if (flags & SOCKADDR_FMT_PAD_PORT)
        snprintf(buffer, size, v6 ? "[%s]:%-5u" : "%s:%-5u", addr, port);
    else
        snprintf(buffer, size, v6 ? "[%s]:%u" : "%s:%u", addr, port);
    return buffer;
}

namespace {

int parse_prefix(const char *text, const char *charset, size_t max, int family, void *out)
{
    size_t n = strspn(text, charset);
    if (n == 0 || n > max)
        return -1;
    char copy[64];
    memcpy(copy, text, n);
    copy[n] = '\0';
    if (inet_pton(family, copy, out) != 1)
        return -1;
    return static_cast<int>(n);
}

} // namespace

int inet_parse4_prefix(const char *text, in_addr *out)
{
    return parse_prefix(text, "0123456789.", 15, AF_INET, out);
}

int inet_parse6_prefix(const char *text, in6_addr *out)
{
    return parse_prefix(text, "abcdefABCDEF0123456789:.", 45, AF_INET6, out);
}

int sockaddr_compare(const sockaddr *a, const sockaddr *b)
{
    if (a->sa_family != b->sa_family)
        return a->sa_family - b->sa_family;
    const void *pa, *pb;
    size_t n;
    unsigned porta, portb;
    if (a->sa_family == AF_INET) {
        auto *x = reinterpret_cast<const sockaddr_in *>(a);
        auto *y = reinterpret_cast<const sockaddr_in *>(b);
        pa = &x->sin_addr, pb = &y->sin_addr, n = 4;
        porta = ntohs(x->sin_port), portb = ntohs(y->sin_port);
    } else if (a->sa_family == AF_INET6) {
        auto *x = reinterpret_cast<const sockaddr_in6 *>(a);
        auto *y = reinterpret_cast<const sockaddr_in6 *>(b);
        pa = &x->sin6_addr, pb = &y->sin6_addr, n = 16;
        porta = ntohs(x->sin6_port), portb = ntohs(y->sin6_port);
    } else {
        return 0;
    }
    if (porta && portb && porta != portb)
        return static_cast<int>(porta) - static_cast<int>(portb);
    return memcmp(pa, pb, n);
}

const sockaddr *sockaddr_to_v4mapped(const sockaddr *sa, sockaddr_in6 *buffer)
{
    if (sa->sa_family != AF_INET)
        return sa;
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    *buffer = sockaddr_in6{};
    buffer->sin6_family = AF_INET6;
    buffer->sin6_port = in->sin_port;
    buffer->sin6_addr.s6_addr[10] = 0xff;
    buffer->sin6_addr.s6_addr[11] = 0xff;
    memcpy(&buffer->sin6_addr.s6_addr[12], &in->sin_addr, 4);
    return reinterpret_cast<const sockaddr *>(buffer);
}

const sockaddr *sockaddr_from_v4mapped(const sockaddr *sa, sockaddr_in *buffer)
{
    if (sa->sa_family != AF_INET6)
        return sa;
    auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    if (!IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
        return sa;
    *buffer = sockaddr_in{};
    buffer->sin_family = AF_INET;
    buffer->sin_port = in6->sin6_port;
    memcpy(&buffer->sin_addr, &in6->sin6_addr.s6_addr[12], 4);
    return reinterpret_cast<const sockaddr *>(buffer);
}

int inet_prefix_len(const sockaddr *netmask)
{
    const uint8_t *p;
    size_t n;
    if (netmask->sa_family == AF_INET) {
        p = reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in *>(netmask)->sin_addr);
        n = 4;
    } else if (netmask->sa_family == AF_INET6) {
        p = reinterpret_cast<const sockaddr_in6 *>(netmask)->sin6_addr.s6_addr;
        n = 16;
    } else {
        return 0;
    }
    int bits = 0;
    for (size_t i = 0; i < n; i++)
        bits += __builtin_popcount(p[i]);
    return bits;
}

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

int mac_parse(uint8_t mac[6], std::string_view text)
{
    memset(mac, 0, 6);
    size_t i = 0;
    for (int k = 0; k < 6; k++) {
        int hi = text.size() - i >= 2 ? hex_value(text[i]) : -1;
        int lo = hi >= 0 ? hex_value(text[i + 1]) : -1;
        if (lo < 0) {
            memset(mac, 0, 6); // no half-read address
            return -1;
        }
        mac[k] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
        // A separator is any one character, but never the end of the text.
        if (i < text.size() && text[i] != '\0' && hex_value(text[i]) < 0)
            i++;
    }
    return 0;
}

socklen_t sockaddr_un_len(const sockaddr_un *sun)
{
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                  strnlen(sun->sun_path + 1, sizeof(sun->sun_path) - 1));
}

size_t unix_socket_table_name(const sockaddr_un *sun, socklen_t len, char out[UNIX_TABLE_NAME])
{
    size_t off = offsetof(sockaddr_un, sun_path);
    size_t n = len > off ? len - off : 0;
    if (n > sizeof(sun->sun_path))
        n = sizeof(sun->sun_path);
    const char *p = sun->sun_path;
    if (n == 0 || p[0] != '\0') {
        n = strnlen(p, n);
        memcpy(out, p, n);
        return n;
    }
    // Abstract: the table shows '@' for the leading NUL and for any other.
    for (size_t i = 0; i < n; i++)
        out[i] = p[i] ? p[i] : '@';
    return n;
}

int unix_socket_table_scan(const char *table, void (*fn)(void *user, std::string_view name),
                           void *user)
{
    FILE *f = fopen(table, "re");
    if (!f)
        return -1;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&line, &cap, f)) > 0) {
        // Seven fields, then the path (which may hold blanks) to the end of the line.
        char *p = line;
        char *end = line + got;
        int fields = 0;
        while (fields < 7 && *p) {
            p += strspn(p, " \t");
            size_t w = strcspn(p, " \t\n");
            if (!w)
                break;
            p += w;
            fields++;
        }
        if (fields < 7)
            continue;
        p += strspn(p, " \t");
        if (end > p && end[-1] == '\n')
            end--;
        if (end > p)
            fn(user, std::string_view(p, static_cast<size_t>(end - p)));
    }
    free(line);
    fclose(f);
    return 0;
}

int unix_socket_exists_in(const char *table, const sockaddr_un *sun)
{
    struct probe {
        char name[UNIX_TABLE_NAME];
        size_t len;
        bool found;
    } want;
    bool abstract = sun->sun_path[0] == '\0';
    // Without a length, an abstract name ends at its first NUL after the leading one.
    size_t n = abstract ? 1 + strnlen(sun->sun_path + 1, sizeof(sun->sun_path) - 1)
                        : strnlen(sun->sun_path, sizeof(sun->sun_path));
    want.len = unix_socket_table_name(
        sun, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n), want.name);
    want.found = false;
    if (unix_socket_table_scan(
            table,
            [](void *user, std::string_view name) {
                auto *w = static_cast<probe *>(user);
                w->found = w->found || name == std::string_view(w->name, w->len);
            },
            &want) < 0)
        return 0;
    return want.found;
}

int unix_socket_exists(const sockaddr_un *sun)
{
    return unix_socket_exists_in("/proc/net/unix", sun);
}

int url_parse(const char *url, char *host, size_t size, uint16_t *port)
{
    uint16_t default_port;
    const char *p;
    if (strncmp(url, "http://", 7) == 0) {
        p = url + 7;
        default_port = 80;
    } else if (strncmp(url, "https://", 8) == 0) {
        p = url + 8;
        default_port = 443;
    } else {
        errno = EINVAL;
        return -1;
    }
    bool bracket = *p == '[';
    if (bracket)
        p++;

    size_t len;
    in_addr a4;
    in6_addr a6;
    int n;
    if (!bracket && (n = inet_parse4_prefix(p, &a4)) > 0 && strchr(":/", p[n])) {
        len = static_cast<size_t>(n);
    } else if ((n = inet_parse6_prefix(p, &a6)) > 0 && (bracket ? p[n] == ']' : strchr(":/", p[n]) != nullptr)) {
        len = static_cast<size_t>(n);
    } else if (bracket) {
        errno = EINVAL;
        return -1;
    } else {
        len = strcspn(p, ":/");
    }
    if (len == 0 || len >= size) {
        // Cutting the host short would name another host.
        errno = len ? ENAMETOOLONG : EINVAL;
        return -1;
    }
    const char *after = p + len + (bracket ? 1 : 0);
    uint16_t given = default_port;
    if (*after == ':' && after[1] >= '0' && after[1] <= '9') {
        char *end;
        errno = 0;
        unsigned long v = strtoul(after + 1, &end, 10);
        // Any other port in its place would send the caller to another service.
        if (errno || v > UINT16_MAX) {
            errno = EINVAL;
            return -1;
        }
        given = static_cast<uint16_t>(v);
    }
    memcpy(host, p, len);
    host[len] = '\0';
    *port = given;
    return static_cast<int>(len);
}
