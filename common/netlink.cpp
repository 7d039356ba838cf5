#include "common/netlink.h"

#include <cerrno>
#include <cstring>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr size_t kDatagram = 4096;
// Large enough that a dump datagram is never truncated (the kernel sizes them by page).
constexpr size_t kDumpDatagram = 32768;

// Walks the netlink messages of one datagram; on_msg returns non-zero to stop.
// Returns the number of messages walked; stops at a malformed one.
template <class F> int walk_messages(const uint8_t *buf, size_t len, F on_msg)
{
    int walked = 0;
    while (len >= sizeof(nlmsghdr)) {
        nlmsghdr h;
        memcpy(&h, buf, sizeof(h));
        if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > len)
            break;
        walked++;
        if (on_msg(h, buf + NLMSG_HDRLEN, h.nlmsg_len > NLMSG_HDRLEN ? h.nlmsg_len - NLMSG_HDRLEN : 0))
            break;
        size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= len)
            break;
        buf += step;
        len -= step;
    }
    return walked;
}

// Walks route attributes; on_attr(type, payload, payload length).
template <class F> void walk_attrs(const uint8_t *p, size_t len, F on_attr)
{
    while (len >= sizeof(rtattr)) {
        rtattr a;
        memcpy(&a, p, sizeof(a));
        if (a.rta_len < sizeof(rtattr) || a.rta_len > len)
            return;
        on_attr(a.rta_type & NLA_TYPE_MASK, p + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
        size_t step = RTA_ALIGN(a.rta_len);
        if (step >= len)
            return;
        p += step;
        len -= step;
    }
}

void copy_name(char name[16], const uint8_t *payload, size_t len)
{
    size_t n = strnlen(reinterpret_cast<const char *>(payload), len < 15 ? len : 15);
    memcpy(name, payload, n);
    name[n] = '\0';
}

// Appends one event for a link or address message; other types are skipped.
void parse_event(const nlmsghdr &h, const uint8_t *body, size_t len, Ary *events)
{
    netlink_event ev = {};
    ev.type = h.nlmsg_type;
    if (h.nlmsg_type == RTM_NEWLINK || h.nlmsg_type == RTM_DELLINK) {
        ifinfomsg ifi;
        if (len < sizeof(ifi))
            return;
        memcpy(&ifi, body, sizeof(ifi));
        ev.ifindex = static_cast<uint32_t>(ifi.ifi_index);
        ev.flags = ifi.ifi_flags;
        ev.family = ifi.ifi_family;
        walk_attrs(body + NLMSG_ALIGN(sizeof(ifi)),
                   len > NLMSG_ALIGN(sizeof(ifi)) ? len - NLMSG_ALIGN(sizeof(ifi)) : 0,
                   [&](unsigned type, const uint8_t *p, size_t n) {
                       if (type == IFLA_IFNAME)
                           copy_name(ev.name, p, n);
                   });
    } else if (h.nlmsg_type == RTM_NEWADDR || h.nlmsg_type == RTM_DELADDR) {
        ifaddrmsg ifa;
        if (len < sizeof(ifa))
            return;
        memcpy(&ifa, body, sizeof(ifa));
        ev.ifindex = ifa.ifa_index;
        ev.flags = ifa.ifa_flags;
        ev.family = ifa.ifa_family;
        walk_attrs(body + NLMSG_ALIGN(sizeof(ifa)),
                   len > NLMSG_ALIGN(sizeof(ifa)) ? len - NLMSG_ALIGN(sizeof(ifa)) : 0,
                   [&](unsigned type, const uint8_t *p, size_t n) {
                       if (type == IFA_ADDRESS || type == IFA_LOCAL) {
                           memset(ev.addr, 0, sizeof(ev.addr));
                           memcpy(ev.addr, p, n < sizeof(ev.addr) ? n : sizeof(ev.addr));
                       } else if (type == IFA_LABEL) {
                           copy_name(ev.name, p, n);
                       } else if (type == IFA_FLAGS && n >= 4) {
                           memcpy(&ev.flags, p, 4);
                       }
                   });
    } else {
        return;
    }
    if (netlink_event *slot = array_push<netlink_event>(events))
        *slot = ev;
}

int open_socket(uint32_t groups)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl snl = {};
    snl.nl_family = AF_NETLINK;
    snl.nl_groups = groups;
    if (bind(fd, reinterpret_cast<sockaddr *>(&snl), sizeof(snl)) < 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

ssize_t recv_retry(int fd, void *buf, size_t len, int flags)
{
    ssize_t r;
    do {
        r = recv(fd, buf, len, flags);
    } while (r < 0 && errno == EINTR);
    return r;
}

// Sends a request on a fresh socket and hands every reply message to on_msg
// (which returns non-zero to stop early). 0 at the end of the exchange, -1 on error.
template <class F> int exchange(const void *request, size_t request_len, F on_msg)
{
    int fd = open_socket(0);
    if (fd < 0)
        return -1;
    timeval tv = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    int result = -1, err = 0;
    if (sendto(fd, request, request_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof(kernel)) < 0) {
        err = errno;
    } else {
        static thread_local uint8_t buf[kDumpDatagram];
        bool done = false;
        while (!done) {
            ssize_t r = recv_retry(fd, buf, sizeof(buf), MSG_TRUNC);
            if (r < 0) {
                err = errno;
                break;
            }
            if (static_cast<size_t>(r) > sizeof(buf)) {
                err = EMSGSIZE;
                break;
            }
            int walked = walk_messages(buf, static_cast<size_t>(r), [&](const nlmsghdr &h, const uint8_t *body, size_t len) {
                if (h.nlmsg_type == NLMSG_DONE) {
                    done = true;
                    result = 0;
                    return 1;
                }
                if (h.nlmsg_type == NLMSG_ERROR) {
                    nlmsgerr e;
                    done = true;
                    if (len < sizeof(e.error)) {
                        err = EBADMSG;
                        return 1;
                    }
                    memcpy(&e.error, body, sizeof(e.error));
                    if (e.error == 0)
                        result = 0;
                    else
                        err = -e.error;
                    return 1;
                }
                if (on_msg(h, body, len)) {
                    done = true;
                    result = 0;
                    return 1;
                }
                if (!(h.nlmsg_flags & NLM_F_MULTI)) {
                    done = true;
                    result = 0;
                    return 1;
                }
                return 0;
            });
            if (walked == 0 && !done) {
                err = EBADMSG;
                break;
            }
        }
    }
    close(fd);
    if (result < 0)
        errno = err ? err : EBADMSG;
    return result;
}

struct link_request {
    nlmsghdr h;
    ifinfomsg ifi;
};

struct addr_request {
    nlmsghdr h;
    ifaddrmsg ifa;
};

// Appends a full dump of links and addresses, after a resync marker.
void resync(Ary *events)
{
    if (netlink_event *marker = array_push<netlink_event>(events))
        marker->type = NETLINK_EVENT_RESYNC;
    link_request lr = {};
    lr.h.nlmsg_len = sizeof(lr);
    lr.h.nlmsg_type = RTM_GETLINK;
    lr.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    lr.ifi.ifi_family = AF_UNSPEC;
    auto add = [events](const nlmsghdr &h, const uint8_t *body, size_t len) {
        parse_event(h, body, len, events);
        return 0;
    };
    exchange(&lr, sizeof(lr), add);
    addr_request ar = {};
    ar.h.nlmsg_len = sizeof(ar);
    ar.h.nlmsg_type = RTM_GETADDR;
    ar.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ar.ifa.ifa_family = AF_UNSPEC;
    exchange(&ar, sizeof(ar), add);
}

} // namespace

int netlink_open(uint32_t groups)
{
    return open_socket(groups);
}

int netlink_parse_events(const uint8_t *buf, size_t len, Ary *events)
{
    return walk_messages(buf, len, [events](const nlmsghdr &h, const uint8_t *body, size_t n) {
        parse_event(h, body, n, events);
        return 0;
    });
}

int netlink_read_events(int fd, Ary *events)
{
    array_reset(events, sizeof(netlink_event));
    static thread_local uint8_t buf[kDatagram];
    ssize_t r = recv_retry(fd, buf, sizeof(buf), MSG_DONTWAIT | MSG_TRUNC);
    if (r < 0) {
        if (errno != ENOBUFS)
            return -1;
        // The kernel dropped events: what we knew may be stale, so start over.
        resync(events);
        return static_cast<int>(array_length(events));
    }
    if (static_cast<size_t>(r) > sizeof(buf)) {
        resync(events);
        return static_cast<int>(array_length(events));
    }
    return netlink_parse_events(buf, static_cast<size_t>(r), events);
}

int netlink_transact(const void *request, size_t request_len, uint8_t *reply, size_t size)
{
    size_t used = 0;
    int r = exchange(request, request_len, [&](const nlmsghdr &h, const uint8_t *body, size_t len) {
        size_t total = NLMSG_HDRLEN + len;
        if (used + total > size)
            return 1; // a full buffer ends the exchange
        memcpy(reply + used, &h, sizeof(h));
        memcpy(reply + used + NLMSG_HDRLEN, body, len);
        used += NLMSG_ALIGN(total) < size - used ? NLMSG_ALIGN(total) : size - used;
        return 0;
    });
    return r < 0 ? -1 : static_cast<int>(used);
}

int netlink_get_link(uint32_t ifindex, netlink_attr_fn callback, void *context)
{
    link_request lr = {};
    lr.h.nlmsg_len = sizeof(lr);
    lr.h.nlmsg_type = RTM_GETLINK;
    lr.h.nlmsg_flags = NLM_F_REQUEST;
    lr.ifi.ifi_family = AF_UNSPEC;
    lr.ifi.ifi_index = static_cast<int>(ifindex);
    int result = 2;
    int r = exchange(&lr, sizeof(lr), [&](const nlmsghdr &h, const uint8_t *body, size_t len) {
        ifinfomsg ifi;
        if (h.nlmsg_type != RTM_NEWLINK || len < sizeof(ifi))
            return 0;
        memcpy(&ifi, body, sizeof(ifi));
        if (static_cast<uint32_t>(ifi.ifi_index) != ifindex)
            return 0;
        size_t off = NLMSG_ALIGN(sizeof(ifi));
        int c = callback(body + off, len > off ? len - off : 0, context);
        if (c != 0) {
            result = c;
            return 1;
        }
        return 0;
    });
    return r < 0 ? -1 : result;
}

int netlink_attr_copy(const void *attrs, size_t len, void *context)
{
    auto *ctx = static_cast<netlink_attr_ctx *>(context);
    size_t room = ctx->length;
    ctx->length = 0;
    walk_attrs(static_cast<const uint8_t *>(attrs), len,
               [ctx, room](unsigned type, const uint8_t *p, size_t n) {
                   if (type == ctx->type) {
                       memcpy(ctx->buffer, p, n < room ? n : room);
                       ctx->length = n;
                   }
               });
    return 1;
}

int netlink_get_link_attr(uint32_t ifindex, uint16_t type, void *buffer, size_t length)
{
    netlink_attr_ctx ctx = {buffer, length, type};
    int r = netlink_get_link(ifindex, netlink_attr_copy, &ctx);
    if (r < 0)
        return -1;
    if (r == 2) {
        errno = ENODEV;
        return -1;
    }
    return static_cast<int>(ctx.length);
}

int netif_get_rx_queues(uint32_t ifindex)
{
    uint32_t queues = 0;
    int r = netlink_get_link_attr(ifindex, IFLA_NUM_RX_QUEUES, &queues, sizeof(queues));
    if (r < 0)
        return -1;
    if (r < static_cast<int>(sizeof(queues))) {
        errno = ENOENT;
        return -1;
    }
    return static_cast<int>(queues);
}

int netif_get_hwaddr(uint32_t ifindex, uint8_t hwaddr[6])
{
    ifreq ifr = {};
    if (!if_indextoname(ifindex, ifr.ifr_name))
        return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int r = ioctl(fd, SIOCGIFHWADDR, &ifr);
    int e = errno;
    close(fd);
    if (r < 0) {
        errno = e;
        return -1;
    }
    memcpy(hwaddr, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int netlink_addr_category(int family, const uint8_t *a, uint8_t scope)
{
    if (scope == RT_SCOPE_HOST)
        return 2;
    if (scope == RT_SCOPE_LINK)
        return 3;
    if (scope == RT_SCOPE_SITE)
        return 1;
    bool local;
    if (family == AF_INET) {
        local = a[0] == 10 || (a[0] == 172 && (a[1] & 0xf0) == 16) || (a[0] == 192 && a[1] == 168) ||
                (a[0] == 169 && a[1] == 254) || a[0] == 127;
    } else {
        static const uint8_t zero[15] = {};
        bool unspec_or_loop = memcmp(a, zero, 15) == 0 && (a[15] == 0 || a[15] == 1);
        local = unspec_or_loop || (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) || a[0] >= 0xfc;
    }
    return local ? 1 : 0;
}

int netlink_get_addrs(int family, uint32_t ifindex, void *addr, size_t addr_len)
{
    addr_request ar = {};
    ar.h.nlmsg_len = sizeof(ar);
    ar.h.nlmsg_type = RTM_GETADDR;
    ar.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ar.ifa.ifa_family = static_cast<uint8_t>(family);
    struct {
        bool found;
        bool tentative;
        uint8_t addr[16];
    } best[4] = {};
    int r = exchange(&ar, sizeof(ar), [&](const nlmsghdr &h, const uint8_t *body, size_t len) {
        ifaddrmsg ifa;
        if (h.nlmsg_type != RTM_NEWADDR || len < sizeof(ifa))
            return 0;
        memcpy(&ifa, body, sizeof(ifa));
        if (ifa.ifa_family != family || ifa.ifa_index != ifindex)
            return 0;
        uint32_t flags = ifa.ifa_flags;
        size_t off = NLMSG_ALIGN(sizeof(ifa));
        walk_attrs(body + off, len > off ? len - off : 0, [&](unsigned type, const uint8_t *p, size_t n) {
            if (type == IFA_FLAGS && n >= 4)
                memcpy(&flags, p, 4);
        });
        if (flags & (IFA_F_DADFAILED | IFA_F_DEPRECATED))
            return 0;
        walk_attrs(body + off, len > off ? len - off : 0, [&](unsigned type, const uint8_t *p, size_t n) {
            if (type != IFA_ADDRESS || n != addr_len || addr_len > 16)
                return;
            int c = netlink_addr_category(family, p, ifa.ifa_scope);
            if (best[c].found)
                return;
            best[c].found = true;
            best[c].tentative = flags & IFA_F_TENTATIVE;
            memcpy(best[c].addr, p, n);
        });
        return 0;
    });
    if (r < 0)
        return -1;
    for (auto &b : best) {
        if (!b.found)
            continue;
        if (b.tentative) {
            errno = EAGAIN;
            return -1;
        }
        memcpy(addr, b.addr, addr_len);
        return 0;
    }
    errno = ENOENT;
    return -1;
}

int netif_get_addrs4(uint32_t ifindex, uint8_t addr[4])
{
    return netlink_get_addrs(AF_INET, ifindex, addr, 4);
}

int netif_get_addrs6(uint32_t ifindex, uint8_t addr[16])
{
    return netlink_get_addrs(AF_INET6, ifindex, addr, 16);
}
