#include "common/timer.h"
#include "common/mdns.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "common/bsearch.h"
#include "common/fatal.h"
#include "common/sockaddr.h"

namespace {

enum : uint16_t {
    DNS_TYPE_A = 1,
    DNS_TYPE_AAAA = 28,
    DNS_CLASS_IN = 1,
    DNS_CLASS_MASK = 0x7fff, // the top bit is cache-flush (answers) or unicast-response (questions)
    DNS_FLAG_QR = 0x8000,
};

constexpr size_t DNS_HEADER = 12;
constexpr size_t DNS_MAX_NAME = 255;
constexpr int MDNS_WAIT_MS = 1000;
// Once something answered, stragglers on other interfaces get this long.
constexpr int MDNS_GRACE_MS = 100;

uint16_t load16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void store16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

size_t name_length(const char *name, const char **start)
{
    while (*name == '.')
        name++;
    size_t n = strlen(name);
    while (n && name[n - 1] == '.')
        n--;
    *start = name;
    return n;
}

// Reads a possibly compressed name at *pos into wire form (at most 255
// bytes). Pointers must go strictly backwards, which with the length bound
// makes every walk finite.
bool read_name(const uint8_t *msg, size_t len, size_t *pos, uint8_t *out, size_t *outlen)
{
    size_t p = *pos, n = 0, after = 0;
    bool jumped = false;
    for (;;) {
        if (p >= len)
            return false;
        uint8_t l = msg[p];
        if ((l & 0xc0) == 0xc0) {
            if (p + 1 >= len)
                return false;
            size_t target = static_cast<size_t>(l & 0x3f) << 8 | msg[p + 1];
            if (target >= p)
                return false;
            if (!jumped)
                after = p + 2;
            jumped = true;
            p = target;
            continue;
        }
        if (l & 0xc0)
            return false;
        if (n + 1u + l > DNS_MAX_NAME || p + 1u + l > len)
            return false;
        out[n++] = l;
        if (l == 0) {
            *pos = jumped ? after : p + 1;
            *outlen = n;
            return true;
        }
        memcpy(out + n, msg + p + 1, l);
        n += l;
        p += 1u + l;
    }
}

uint8_t ascii_lower(uint8_t c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c;
}

// Label length bytes never fall in 'A'-'Z', so folding the whole wire form is safe.
bool name_equal(const uint8_t *a, size_t na, const uint8_t *b, size_t nb)
{
    if (na != nb)
        return false;
    for (size_t i = 0; i < na; i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool type_wanted(uint16_t type, unsigned flags)
{
    return (type == DNS_TYPE_A && (flags & MDNS_IPV4)) ||
           (type == DNS_TYPE_AAAA && (flags & MDNS_IPV6));
}

int addr_class(const mdns_addr *a)
{
    if (a->sa.sa_family == AF_INET) {
        uint32_t v = ntohl(a->sin.sin_addr.s_addr);
        if (v == 0 || (v >> 24) == 127)
            return 0;
        if ((v >> 16) == 0xa9fe)
            return 1;
        if ((v >> 24) == 10 || (v >> 20) == 0xac1 || (v >> 16) == 0xc0a8)
            return 2;
        return 3;
    }
    const uint8_t *b = a->sin6.sin6_addr.s6_addr;
    if (IN6_IS_ADDR_UNSPECIFIED(&a->sin6.sin6_addr) || IN6_IS_ADDR_LOOPBACK(&a->sin6.sin6_addr))
        return 0;
    if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80)
        return 1;
    if (b[0] >= 0xfc)
        return 2;
    return 3;
}

// Inserts into the sorted array; 1 when added, 0 when present or out of memory.
int insert_addr(Ary *addrs, const mdns_addr *a)
{
    uint32_t count = array_length(addrs);
    if (array_reserve(addrs, count + 1) < 0)
        return 0;
    if (binsert(a, array_data(addrs), count, sizeof(mdns_addr), mdns_addr_compare))
        return 1;
    array_truncate(addrs, count);
    return 0;
}

bool setup_ipv4(int fd, const sockaddr *addr, unsigned ifindex, const char *name, unsigned flags,
                uint16_t id)
{
    int ttl = 255, on = 1;
    sockaddr_in local;
    memcpy(&local, addr, sizeof(local));
    local.sin_port = 0;
    ip_mreqn mreq{};
    inet_pton(AF_INET, "224.0.0.251", &mreq.imr_multiaddr);
    mreq.imr_address = local.sin_addr;
    mreq.imr_ifindex = static_cast<int>(ifindex);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(MDNS_PORT);
    dest.sin_addr = mreq.imr_multiaddr;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) == 0 &&
           bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq, sizeof(mreq)) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on)) == 0 &&
           mdns_query(fd, name, flags, reinterpret_cast<sockaddr *>(&dest), sizeof(dest), id) == 0;
}

bool setup_ipv6(int fd, const sockaddr *addr, unsigned ifindex, const char *name, unsigned flags,
                uint16_t id)
{
    int hops = 255, on = 1, index = static_cast<int>(ifindex);
    sockaddr_in6 local;
    memcpy(&local, addr, sizeof(local));
    local.sin6_port = 0;
    ipv6_mreq mreq{};
    inet_pton(AF_INET6, "ff02::fb", &mreq.ipv6mr_multiaddr);
    mreq.ipv6mr_interface = ifindex;
    sockaddr_in6 dest{};
    dest.sin6_family = AF_INET6;
    dest.sin6_port = htons(MDNS_PORT);
    dest.sin6_addr = mreq.ipv6mr_multiaddr;
    dest.sin6_scope_id = ifindex;
    return setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) == 0 &&
           setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof(hops)) == 0 &&
           bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) == 0 &&
           setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof(mreq)) == 0 &&
           setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index)) == 0 &&
           setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on)) == 0 &&
           mdns_query(fd, name, flags, reinterpret_cast<sockaddr *>(&dest), sizeof(dest), id) == 0;
}

// A socket bound to one interface address that has sent the query; -1 when
// the address cannot be used (the caller skips it).
int open_query_socket(const ifaddrs *ifa, unsigned ifindex, const char *name, unsigned flags,
                      uint16_t id)
{
    int family = ifa->ifa_addr->sa_family;
    int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    bool ok = family == AF_INET ? setup_ipv4(fd, ifa->ifa_addr, ifindex, name, flags, id)
                                : setup_ipv6(fd, ifa->ifa_addr, ifindex, name, flags, id);
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool interface_usable(const ifaddrs *ifa, unsigned flags)
{
    if (!ifa->ifa_addr || !(ifa->ifa_flags & IFF_UP))
        return false;
    int family = ifa->ifa_addr->sa_family;
    if (!((family == AF_INET && (flags & MDNS_IPV4)) || (family == AF_INET6 && (flags & MDNS_IPV6))))
        return false;
    if (ifa->ifa_flags & IFF_LOOPBACK)
        return flags & MDNS_LOOPBACK;
    return ifa->ifa_flags & IFF_MULTICAST;
}

unsigned interface_index(const char *ifname)
{
    char name[IF_NAMESIZE];
    size_t n = strcspn(ifname, ":"); // an address label "eth0:1" names eth0
    if (n >= sizeof(name))
        return 0;
    memcpy(name, ifname, n);
    name[n] = '\0';
    return if_nametoindex(name);
}

// Reads every datagram waiting on fd; answers must come from port 5353.
void read_answers(int fd, const char *name, unsigned flags, uint16_t id, uint16_t port,
                  Ary *addrs)
{
    uint8_t buf[9000];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    for (;;) {
        sockaddr_storage from;
        iovec iov{buf, sizeof(buf)};
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = sizeof(from);
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        uint16_t sport = from.ss_family == AF_INET
                             ? reinterpret_cast<sockaddr_in *>(&from)->sin_port
                             : reinterpret_cast<sockaddr_in6 *>(&from)->sin6_port;
        if (ntohs(sport) != MDNS_PORT || (mh.msg_flags & MSG_TRUNC))
            continue;
        unsigned ifindex = 0;
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo pi;
                memcpy(&pi, CMSG_DATA(c), sizeof(pi));
                ifindex = static_cast<unsigned>(pi.ipi_ifindex);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo pi;
                memcpy(&pi, CMSG_DATA(c), sizeof(pi));
                ifindex = pi.ipi6_ifindex;
            }
        }
        mdns_parse_response(buf, static_cast<size_t>(n), name, flags, id, ifindex, port, addrs);
    }
}

} // namespace

bool mdns_is_local(const char *name)
{
    size_t n = strlen(name);
    while (n && name[n - 1] == '.')
        n--;
    return n >= 6 && memcmp(name + n - 6, ".local", 6) == 0;
}

int mdns_encode(const char *name, uint8_t *lbs, size_t size)
{
    const char *start;
    size_t n = name_length(name, &start);
    size_t need = n ? n + 2 : 1;
    for (size_t i = 0, label = 0; i <= n; i++) {
        if (i == n || start[i] == '.') {
            if (label == 0 && n) // "a..b": a label of no bytes would end the name early
                return errno = EINVAL, -1;
            if (label > 63)
                return errno = EINVAL, -1;
            label = 0;
        } else {
            label++;
        }
    }
    if (need > DNS_MAX_NAME)
        return errno = EINVAL, -1;
    if (size < need)
        return static_cast<int>(need);
    UGW_ASSERT(lbs != NULL);
    size_t out = 0;
    for (size_t i = 0; i < n;) {
        size_t l = strcspn(start + i, ".");
        if (i + l > n)
            l = n - i;
        lbs[out++] = static_cast<uint8_t>(l);
        memcpy(lbs + out, start + i, l);
        out += l;
        i += l + 1;
    }
    lbs[out++] = 0;
    return static_cast<int>(out);
}

int mdns_query(int fd, const char *name, unsigned flags, const sockaddr *dest, socklen_t destlen,
               uint16_t id)
{
    uint8_t q[MDNS_MAX_QUERY] = {};
    store16(q, id);
    int n = mdns_encode(name, q + DNS_HEADER, sizeof(q) - DNS_HEADER);
    if (n < 0)
        return -1;
    size_t pos = DNS_HEADER + static_cast<size_t>(n);
    // A second question points back at the first one's name.
    uint16_t count = 0;
    for (uint16_t type : {uint16_t{DNS_TYPE_A}, uint16_t{DNS_TYPE_AAAA}}) {
        if (!type_wanted(type, flags))
            continue;
        if (count) {
            store16(q + pos, 0xc000 | DNS_HEADER);
            pos += 2;
        }
        store16(q + pos, type);
        store16(q + pos + 2, DNS_CLASS_IN);
        pos += 4;
        count++;
    }
    if (!count)
        return errno = EINVAL, -1;
    store16(q + 4, count);
    return sendto(fd, q, pos, 0, dest, destlen) == static_cast<ssize_t>(pos) ? 0 : -1;
}

int mdns_parse_response(const uint8_t *msg, size_t len, const char *name, unsigned flags,
                        uint16_t id, unsigned ifindex, uint16_t port, Ary *addrs)
{
    uint8_t want[DNS_MAX_NAME];
    int wn = mdns_encode(name, want, sizeof(want));
    if (wn < 0 || len < DNS_HEADER)
        return 0;
    uint16_t hflags = load16(msg + 2);
    if (load16(msg) != id || !(hflags & DNS_FLAG_QR) || ((hflags >> 11) & 0xf) != 0 ||
        (hflags & 0xf) != 0)
        return 0;
    uint16_t qd = load16(msg + 4), an = load16(msg + 6);
    size_t pos = DNS_HEADER;
    uint8_t owner[DNS_MAX_NAME];
    size_t on;
    // Legacy unicast answers repeat the question: it must be ours.
    for (unsigned i = 0; i < qd; i++) {
        if (!read_name(msg, len, &pos, owner, &on) || pos + 4 > len)
            return 0;
        if (!name_equal(owner, on, want, static_cast<size_t>(wn)) ||
            !type_wanted(load16(msg + pos), flags) ||
            (load16(msg + pos + 2) & DNS_CLASS_MASK) != DNS_CLASS_IN)
            return 0;
        pos += 4;
    }
    // The whole answer section is checked before anything is taken from it.
    size_t answers = pos;
    for (unsigned i = 0; i < an; i++) {
        if (!read_name(msg, len, &pos, owner, &on) || pos + 10 > len ||
            pos + 10 + load16(msg + pos + 8) > len)
            return 0;
        pos += 10u + load16(msg + pos + 8);
    }
    int added = 0;
    pos = answers;
    for (unsigned i = 0; i < an; i++) {
        read_name(msg, len, &pos, owner, &on);
        uint16_t type = load16(msg + pos), cls = load16(msg + pos + 2);
        uint32_t ttl = static_cast<uint32_t>(load16(msg + pos + 4)) << 16 | load16(msg + pos + 6);
        uint16_t rdlen = load16(msg + pos + 8);
        const uint8_t *rdata = msg + pos + 10;
        pos += 10u + rdlen;
        // A zero TTL withdraws the record.
        if (!name_equal(owner, on, want, static_cast<size_t>(wn)) ||
            (cls & DNS_CLASS_MASK) != DNS_CLASS_IN || !type_wanted(type, flags) || ttl == 0)
            continue;
        mdns_addr a{};
        if (type == DNS_TYPE_A && rdlen == 4) {
            a.sin.sin_family = AF_INET;
            a.sin.sin_port = htons(port);
            memcpy(&a.sin.sin_addr, rdata, 4);
        } else if (type == DNS_TYPE_AAAA && rdlen == 16) {
            a.sin6.sin6_family = AF_INET6;
            a.sin6.sin6_port = htons(port);
            memcpy(&a.sin6.sin6_addr, rdata, 16);
            if (IN6_IS_ADDR_LINKLOCAL(&a.sin6.sin6_addr))
                a.sin6.sin6_scope_id = ifindex;
        } else {
            continue;
        }
        added += insert_addr(addrs, &a);
    }
    return added;
}

int mdns_addr_compare(const void *va, const void *vb)
{
    const mdns_addr *a = static_cast<const mdns_addr *>(va);
    const mdns_addr *b = static_cast<const mdns_addr *>(vb);
    int ca = addr_class(a), cb = addr_class(b);
    if (ca != cb)
        return cb - ca;
    if (a->sa.sa_family != b->sa.sa_family)
        return a->sa.sa_family == AF_INET ? -1 : 1;
    return sockaddr_compare(&a->sa, &b->sa);
}

int mdns_resolve(const char *name, unsigned flags, uint16_t port, mdns_result **result)
{
    *result = nullptr;
    const char *start;
    size_t n = name_length(name, &start);
    uint8_t probe[DNS_MAX_NAME];
    if (!(flags & (MDNS_IPV4 | MDNS_IPV6)) || n == 0 || mdns_encode(name, probe, sizeof(probe)) < 0)
        return errno = EINVAL, -1;
    uint16_t id;
    if (getrandom(&id, sizeof(id), 0) != sizeof(id))
        return -1;

    ifaddrs *ifas;
    if (getifaddrs(&ifas) < 0)
        return -1;
    Ary fds;
    array_init(&fds, sizeof(pollfd));
    for (ifaddrs *ifa = ifas; ifa; ifa = ifa->ifa_next) {
        if (!interface_usable(ifa, flags))
            continue;
        unsigned ifindex = interface_index(ifa->ifa_name);
        if (!ifindex)
            continue;
        int fd = open_query_socket(ifa, ifindex, name, flags, id);
        if (fd < 0)
            continue;
        pollfd *p = array_push<pollfd>(&fds);
        if (!p) {
            close(fd);
            continue;
        }
        *p = pollfd{fd, POLLIN, 0};
    }
    freeifaddrs(ifas);
    if (array_length(&fds) == 0) {
        array_purge(&fds);
        return errno = ENETDOWN, -1;
    }

    Ary addrs;
    array_init(&addrs, sizeof(mdns_addr));
    int64_t deadline = monotonic_ms() + MDNS_WAIT_MS;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            break;
        timespec ts{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        int ready = ppoll(array_at<pollfd>(&fds, 0), array_length(&fds), &ts, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        bool had = array_length(&addrs) > 0;
        for (uint32_t i = 0; ready > 0 && i < array_length(&fds); i++) {
            pollfd *p = array_at<pollfd>(&fds, i);
            if (p->revents & POLLIN)
                read_answers(p->fd, start, flags, id, port, &addrs);
        }
        if (!had && array_length(&addrs) > 0 && deadline > monotonic_ms() + MDNS_GRACE_MS)
            deadline = monotonic_ms() + MDNS_GRACE_MS;
    }
    for (uint32_t i = 0; i < array_length(&fds); i++)
        close(array_at<pollfd>(&fds, i)->fd);
    array_purge(&fds);

    if (array_length(&addrs) == 0) {
        array_purge(&addrs);
        return errno = ENOENT, -1;
    }
    mdns_result *r = static_cast<mdns_result *>(calloc(1, sizeof(*r)));
    if (!r) {
        array_purge(&addrs);
        return errno = ENOMEM, -1;
    }
    memcpy(r->name, start, n); // n < 255: the encoding fitted
    r->addrs = addrs;
    *result = r;
    return 0;
}

void mdns_result_free(mdns_result *result)
{
    if (!result)
        return;
    array_purge(&result->addrs);
    free(result);
}
