// Data-plane ports (the interfaces tunnels arrive on), the tunnel sockets on
// them, their management commands, and the gateway's reaction to interface
// and address events.
//
// A port's address in use is read from its interface and never waited for:
// an address still in duplicate-address detection is absent until the kernel
// reports it, and that report re-selects the port's address.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <new>

#include "common/log.h"
#include "common/netlink.h"
#include "common/sockaddr.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_stash.h"
#include "gateway/ugwd_table.h"

namespace
{

enum : size_t {
    PORT_REPLY = 8 + sizeof(ugwd_port_mib),
    SOCKET_REPLY = 8 + sizeof(ugwd_socket_mib),
    KEY_IFINDEX = 8,
    KEY_PROTO = 12,
    KEY_UDP_PORT = 16,
    // The data plane's socket record: the address first, then the transport.
    FRL_SOCKET_PROTO = 32,
};

enum : uint16_t { GRE_PROTO = 47 };

constexpr uint8_t zero16[16] = {};

uint16_t get16(const uint8_t *msg, size_t offset)
{
    uint16_t v;
    memcpy(&v, msg + offset, sizeof(v));
    return v;
}

uint32_t force_of(const uint8_t *msg)
{
    return ctl_get32(msg, 4) & CTL_F_FORCE;
}

void port_reply(const ugwd_port *p, uint8_t *msg, uint32_t type)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + 8, &p->mib, sizeof(p->mib));
}

void socket_reply(const ugwd_socket *s, uint8_t *msg, uint32_t type)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + 8, &s->mib, sizeof(s->mib));
}

void every_service_changed(ugwd_ctl *ctl)
{
    for (list_link *head :
         {&ctl->register_queue, &ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *s : list_records_safe<&ugwd_service::queue>(head))
            ugwd_ctl_service_changed(s);
}

void proc_remove_addr(ugwd_ctl *ctl, const sockaddr *sa, ugwd_proc *until)
{
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        if (p == until) break;
        frlc_remove_socket(p->fernrelay, sa, nullptr);
    }
}

int proc_add_addr(ugwd_ctl *ctl, const sockaddr *sa, uint32_t proto, ugwd_proc **failed)
{
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        frl_socket rec = {};
        memcpy(rec.b, sa, sockaddr_len(sa));
        frl_store32(rec.b + FRL_SOCKET_PROTO, proto);
        if (frlc_add_socket(p->fernrelay, &rec) < 0) {
            *failed = p;
            return -1;
        }
    }
    return 0;
}

// A larger grade is a better address for a port.
int grade4(const uint8_t *a)
{
    if (a[0] == 127) return 0;
    if (a[0] == 169 && a[1] == 254) return 1;
    if (a[0] == 10 || (a[0] == 172 && (a[1] & 0xf0) == 16) || (a[0] == 192 && a[1] == 168))
        return 2;
    return 3;
}

int grade6(const uint8_t *a)
{
    static constexpr uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (!memcmp(a, zero16, 16) || !memcmp(a, loopback, 16)) return 0;
    if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return 1;
    if (a[0] >= 0xfc) return 2;
    return 3;
}

const char *addr_text(const netlink_event &e, char *buf, size_t size)
{
    return inet_ntop(e.family == AF_INET6 ? AF_INET6 : AF_INET, e.addr, buf,
                     static_cast<socklen_t>(size))
               ?: "?";
}

void reconfigure(ugwd_ctl *ctl, ugwd_port *p, const netlink_event &e, const char *how)
{
    char a[INET6_ADDRSTRLEN];
    ulog(LOG_COMP_ALL, ULOG_DEBUG,
         "Reconfiguring data plane port on interface %s because the address %s was %s", p->name,
         addr_text(e, a, sizeof(a)), how);
    ugwd_ctl_modify_port(ctl, p, nullptr, nullptr);
}

void on_event(ugwd_ctl *ctl, const netlink_event &e)
{
    if (e.type == NETLINK_EVENT_RESYNC) {
        // Events were lost: read every port's addresses afresh.
        for (ugwd_port *p : list_records_safe<&ugwd_port::link>(&ctl->ports))
            ugwd_ctl_modify_port(ctl, p, nullptr, nullptr);
        return;
    }
    if (e.type == RTM_DELLINK) {
        char name[IF_NAMESIZE + 1] = {};
        memcpy(name, e.name, sizeof(e.name) < IF_NAMESIZE ? sizeof(e.name) : IF_NAMESIZE);
        while (ugwd_service_dev *dev = ugwd_table_get_service_dev(ctl->table, e.ifindex)) {
            ugwd_service *s = dev->service;
            char u[37];
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Removing service %s because interface %s was removed",
                 ugwd_uuid_format(s->uuid, u), name);
            ugwd_ctl_stop_service(s);
            ugwd_ctl_delete_service(s);
        }
        if (ugwd_port *p = ugwd_ctl_find_port(ctl, e.ifindex)) {
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Removing port %s because the interface was removed",
                 p->name);
            ugwd_ctl_delete_port(ctl, p);
        }
        return;
    }
    ugwd_port *p = ugwd_ctl_find_port(ctl, e.ifindex);
    if (!p) return;
    if (e.type == RTM_NEWADDR) {
        if (e.family == AF_INET) {
            // A port with IPv4 enabled holds an IPv4 address in use.
            if (!memcmp(p->mib.ulmexPortInet, zero16, 4) &&
                !memcmp(p->mib.ulmexPortConfig, zero16, 4) && !memcmp(p->inet4, zero16, 4)) {
                if (grade4(e.addr) == 0) return;
            } else if (e.addr[0] == 127 || grade4(e.addr) <= grade4(p->mib.ulmexPortInet)) {
                return;
            }
            reconfigure(ctl, p, e, "added");
        } else if (e.family == AF_INET6) {
            bool none = !memcmp(p->mib.ulmexPortInet6, zero16, 16);
            if (!none && grade6(e.addr) <= grade6(p->mib.ulmexPortInet6)) return;
            if (grade6(e.addr) == 0) return;
            reconfigure(ctl, p, e, "added");
        }
    } else if (e.type == RTM_DELADDR) {
        if ((e.family == AF_INET && !memcmp(e.addr, p->mib.ulmexPortInet, 4) &&
             memcmp(e.addr, zero16, 4)) ||
            (e.family == AF_INET6 && !memcmp(e.addr, p->mib.ulmexPortInet6, 16) &&
             memcmp(e.addr, zero16, 16)))
            reconfigure(ctl, p, e, "removed");
    }
}

} // namespace

ugwd_port *ugwd_ctl_find_port(ugwd_ctl *ctl, uint32_t ifindex)
{
    for (ugwd_port *p : list_records<&ugwd_port::link>(&ctl->ports))
        if (p->mib.ulmexPortIfIndex == ifindex) return p;
    return nullptr;
}

ugwd_socket *ugwd_ctl_find_socket(ugwd_ctl *ctl, uint32_t ifindex, uint32_t proto,
                                  uint16_t udp_port)
{
    for (ugwd_socket *s : list_records<&ugwd_socket::link>(&ctl->sockets))
        if (s->mib.ulmexPortIfIndex == ifindex && s->mib.ulmexSockProto == proto &&
            s->mib.ulmexSockConfig == udp_port)
            return s;
    return nullptr;
}

ugwd_socket *ugwd_ctl_find_socket_by_addr(ugwd_ctl *ctl, const sockaddr *sa)
{
    for (ugwd_socket *s : list_records<&ugwd_socket::link>(&ctl->sockets)) {
        if (sa->sa_family == AF_INET && s->mib.ulmexSockInet.sin_family == AF_INET &&
            !memcmp(&s->mib.ulmexSockInet, sa, sizeof(sockaddr_in)))
            return s;
        if (sa->sa_family == AF_INET6 && s->mib.ulmexSockInet6.sin6_family == AF_INET6 &&
            !memcmp(&s->mib.ulmexSockInet6, sa, sizeof(sockaddr_in6)))
            return s;
    }
    return nullptr;
}

int ugwd_ctl_bind_socket(ugwd_ctl *ctl, const ugwd_port *port, ugwd_socket_mib *rec)
{
    sockaddr_in in4 = {};
    sockaddr_in6 in6 = {};
    bool has4 = memcmp(port->mib.ulmexPortInet, zero16, 4) != 0;
    bool has6 = memcmp(port->mib.ulmexPortInet6, zero16, 16) != 0;
    bool gre = rec->ulmexSockProto == UGWD_TRANSPORT_GRE;
    uint16_t n4 = rec->ulmexSockConfig ? htons(rec->ulmexSockConfig) : rec->ulmexSockInet.sin_port;
    uint16_t n6 =
        rec->ulmexSockConfig ? htons(rec->ulmexSockConfig) : rec->ulmexSockInet6.sin6_port;
    if (gre) n4 = n6 = htons(GRE_PROTO);
    if (has4) {
        in4.sin_family = AF_INET;
        in4.sin_port = n4;
        memcpy(&in4.sin_addr, port->mib.ulmexPortInet, 4);
    }
    if (has6) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = n6;
        memcpy(&in6.sin6_addr, port->mib.ulmexPortInet6, 16);
    }
    ugwd_proc *failed = nullptr;
    if (has4 &&
        proc_add_addr(ctl, reinterpret_cast<sockaddr *>(&in4), rec->ulmexSockProto, &failed) < 0) {
        int err = errno;
        proc_remove_addr(ctl, reinterpret_cast<sockaddr *>(&in4), failed);
        errno = err;
        return -1;
    }
    if (has6 &&
        proc_add_addr(ctl, reinterpret_cast<sockaddr *>(&in6), rec->ulmexSockProto, &failed) < 0) {
        int err = errno;
        proc_remove_addr(ctl, reinterpret_cast<sockaddr *>(&in6), failed);
        if (has4) proc_remove_addr(ctl, reinterpret_cast<sockaddr *>(&in4), nullptr);
        errno = err;
        return -1;
    }
    if (gre) in4.sin_port = in6.sin6_port = 0;
    rec->ulmexSockInet = in4;
    rec->ulmexSockInet6 = in6;
    return 0;
}

void ugwd_ctl_unbind_socket(ugwd_ctl *ctl, ugwd_socket_mib *rec)
{
    if (rec->ulmexSockProto == UGWD_TRANSPORT_GRE) {
        rec->ulmexSockInet.sin_port = htons(GRE_PROTO);
        rec->ulmexSockInet6.sin6_port = htons(GRE_PROTO);
    }
    if (rec->ulmexSockInet.sin_family == AF_INET)
        proc_remove_addr(ctl, reinterpret_cast<sockaddr *>(&rec->ulmexSockInet), nullptr);
    if (rec->ulmexSockInet6.sin6_family == AF_INET6)
        proc_remove_addr(ctl, reinterpret_cast<sockaddr *>(&rec->ulmexSockInet6), nullptr);
    rec->ulmexSockInet.sin_family = 0;
    rec->ulmexSockInet6.sin6_family = 0;
}

int ugwd_ctl_modify_port(ugwd_ctl *ctl, ugwd_port *p, const uint8_t *config4,
                         const uint8_t *config6)
{
    uint8_t a4[4] = {}, a6[16] = {};
    // A missing or tentative address reads as none.
    if (netif_get_addrs4(p->mib.ulmexPortIfIndex, a4) < 0) memset(a4, 0, sizeof(a4));
    if (netif_get_addrs6(p->mib.ulmexPortIfIndex, a6) < 0) memset(a6, 0, sizeof(a6));
    bool changed = false;
    if (config4 && memcmp(config4, p->mib.ulmexPortConfig, 4)) {
        memcpy(p->mib.ulmexPortConfig, config4, 4);
        changed = true;
    }
    if (config6 && memcmp(config6, p->mib.ulmexPortConfig6, 16)) {
        memcpy(p->mib.ulmexPortConfig6, config6, 16);
        changed = true;
    }
    if (memcmp(a4, p->inet4, 4)) {
        memcpy(p->inet4, a4, 4);
        changed = true;
    }
    if (memcmp(a6, p->inet6, 16)) {
        memcpy(p->inet6, a6, 16);
        changed = true;
    }
    bool has4 = memcmp(a4, zero16, 4) != 0, has6 = memcmp(a6, zero16, 16) != 0;
    const uint8_t *use4 =
        has4 && memcmp(p->mib.ulmexPortConfig, zero16, 4) ? p->mib.ulmexPortConfig : a4;
    const uint8_t *use6 =
        has6 && memcmp(p->mib.ulmexPortConfig6, zero16, 16) ? p->mib.ulmexPortConfig6 : a6;
    memcpy(p->mib.ulmexPortInet, use4, 4);
    memcpy(p->mib.ulmexPortInet6, use6, 16);
    if (!changed) return 0;

    ugwd_ctl_unbind_flows_by_port(ctl, p->mib.ulmexPortIfIndex);
    for (ugwd_socket *s : list_records<&ugwd_socket::link>(&ctl->sockets)) {
        if (s->port != p) continue;
        ugwd_socket_mib fresh = s->mib;
        if (ugwd_ctl_bind_socket(ctl, p, &fresh) < 0) continue;
        ugwd_ctl_unbind_socket(ctl, &s->mib);
        s->mib = fresh;
    }
    every_service_changed(ctl);
    ugwd_stash_flush(ctl->stash);
    return 0;
}

void ugwd_ctl_delete_socket(ugwd_ctl *ctl, ugwd_socket *s)
{
    ugwd_ctl_unbind_socket(ctl, &s->mib);
    list_remove(&s->link);
    delete s;
    uint32_t n = 0;
    for (ugwd_socket *o : list_records<&ugwd_socket::link>(&ctl->sockets))
        o->id = n++;
    ctl->nsockets = n;
    ugwd_stash_flush(ctl->stash);
    for (ugwd_service *svc : list_records_safe<&ugwd_service::queue>(&ctl->services_enabled))
        ugwd_ctl_service_changed(svc);
}

void ugwd_ctl_delete_port(ugwd_ctl *ctl, ugwd_port *p)
{
    ugwd_ctl_unbind_flows_by_port(ctl, p->mib.ulmexPortIfIndex);
    for (ugwd_socket *s : list_records_safe<&ugwd_socket::link>(&ctl->sockets))
        if (s->port == p) ugwd_ctl_delete_socket(ctl, s);
    for (ugwd_proc *proc : list_records<&ugwd_proc::link>(&ctl->procs)) {
        frlc_leave_port(proc->fernrelay, p->mib.ulmexPortIfIndex);
        frlc_remove_port(proc->fernrelay, p->mib.ulmexPortIfIndex, nullptr);
    }
    list_remove(&p->link);
    delete p;
}

void ugwd_ctl_teardown(ugwd_ctl *ctl)
{
    for (list_link *head :
         {&ctl->register_queue, &ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *s : list_records_safe<&ugwd_service::queue>(head)) {
            ugwd_ctl_unbind_flows_by_uuid(ctl, s->uuid);
            ugwd_ctl_delete_service(s);
        }
    for (ugwd_socket *s : list_records_safe<&ugwd_socket::link>(&ctl->sockets))
        ugwd_ctl_delete_socket(ctl, s);
    for (ugwd_port *p : list_records_safe<&ugwd_port::link>(&ctl->ports))
        ugwd_ctl_delete_port(ctl, p);
}

int ugwd_ctl_cmd_get_port(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < PORT_REPLY) return PORT_REPLY;
    ugwd_port *p = ugwd_ctl_find_port(ctl, ctl_get32(msg, KEY_IFINDEX));
    if (!p) {
        errno = ENOENT;
        return -1;
    }
    port_reply(p, msg, CTL_NEW_PORT);
    return PORT_REPLY;
}

int ugwd_ctl_cmd_add_port(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < PORT_REPLY) return PORT_REPLY;
    ugwd_port_mib req;
    memcpy(&req, msg + 8, sizeof(req));
    ugwd_port *p = ugwd_ctl_find_port(ctl, req.ulmexPortIfIndex);
    if (p && !force_of(msg)) {
        errno = EEXIST;
        return -1;
    }
    if (!p) {
        char name[IF_NAMESIZE];
        if (!req.ulmexPortIfIndex || !if_indextoname(req.ulmexPortIfIndex, name)) {
            errno = ENODEV;
            return -1;
        }
        p = new (std::nothrow) ugwd_port{};
        if (!p) {
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
            errno = ENOMEM;
            return -1;
        }
        p->mib.ulmexPortIfIndex = req.ulmexPortIfIndex;
        memcpy(p->name, name, sizeof(p->name));
        p->name[sizeof(p->name) - 1] = '\0';
        p->seq = ctl->port_seq++;
        list_append(&ctl->ports, &p->link);
        for (ugwd_proc *proc : list_records<&ugwd_proc::link>(&ctl->procs)) {
            frl_port rec = {};
            frl_store32(rec.b, p->mib.ulmexPortIfIndex);
            if (frlc_add_port(proc->fernrelay, &rec) < 0 ||
                frlc_join_port(proc->fernrelay, p->mib.ulmexPortIfIndex) < 0) {
                int err = errno;
                ugwd_ctl_delete_port(ctl, p);
                errno = err;
                return -1;
            }
        }
    }
    ugwd_ctl_modify_port(ctl, p, req.ulmexPortConfig, req.ulmexPortConfig6);
    port_reply(p, msg, CTL_NEW_PORT);
    return PORT_REPLY;
}

int ugwd_ctl_cmd_modify_port(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < PORT_REPLY) return PORT_REPLY;
    ugwd_port_mib req;
    memcpy(&req, msg + 8, sizeof(req));
    ugwd_port *p = ugwd_ctl_find_port(ctl, req.ulmexPortIfIndex);
    if (!p) {
        errno = ENOENT;
        return -1;
    }
    ugwd_ctl_modify_port(ctl, p, req.ulmexPortConfig, req.ulmexPortConfig6);
    port_reply(p, msg, CTL_NEW_PORT);
    return PORT_REPLY;
}

int ugwd_ctl_cmd_remove_port(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < PORT_REPLY) return PORT_REPLY;
    ugwd_port *p = ugwd_ctl_find_port(ctl, ctl_get32(msg, KEY_IFINDEX));
    if (!p) {
        if (force_of(msg)) return 0;
        errno = ENOENT;
        return -1;
    }
    port_reply(p, msg, CTL_DELETE_PORT);
    ugwd_ctl_delete_port(ctl, p);
    return PORT_REPLY;
}

int ugwd_ctl_cmd_dump_ports(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint32_t n = 0;
    for (ugwd_port *p : list_records<&ugwd_port::link>(&ctl->ports))
        n += p != nullptr;
    size_t need = sizeof(ctl_list) + size_t{n} * sizeof(ugwd_port_mib);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_PORTS);
    ctl_put32(msg, 8, n);
    size_t at = sizeof(ctl_list);
    for (ugwd_port *p : list_records<&ugwd_port::link>(&ctl->ports)) {
        memcpy(msg + at, &p->mib, sizeof(p->mib));
        at += sizeof(p->mib);
    }
    return static_cast<int>(need);
}

int ugwd_ctl_cmd_get_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SOCKET_REPLY) return SOCKET_REPLY;
    uint32_t ifindex = ctl_get32(msg, KEY_IFINDEX);
    ugwd_socket *s = ugwd_ctl_find_port(ctl, ifindex)
                         ? ugwd_ctl_find_socket(ctl, ifindex, ctl_get32(msg, KEY_PROTO),
                                                get16(msg, KEY_UDP_PORT))
                         : nullptr;
    if (!s) {
        errno = ENOENT;
        return -1;
    }
    socket_reply(s, msg, CTL_NEW_SOCKET);
    return SOCKET_REPLY;
}

int ugwd_ctl_cmd_add_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SOCKET_REPLY) return SOCKET_REPLY;
    ugwd_socket_mib req;
    memcpy(&req, msg + 8, sizeof(req));
    ugwd_port *p = ugwd_ctl_find_port(ctl, req.ulmexPortIfIndex);
    if (!p) {
        errno = ENOENT;
        return -1;
    }
    if (req.ulmexSockProto < UGWD_TRANSPORT_NATIVE || req.ulmexSockProto > UGWD_TRANSPORT_GRE) {
        errno = EINVAL;
        return -1;
    }
    if (ugwd_socket *s = ugwd_ctl_find_socket(ctl, req.ulmexPortIfIndex, req.ulmexSockProto,
                                              req.ulmexSockConfig)) {
        if (!force_of(msg)) {
            errno = EEXIST;
            return -1;
        }
        socket_reply(s, msg, CTL_NEW_SOCKET);
        return SOCKET_REPLY;
    }
    auto *s = new (std::nothrow) ugwd_socket{};
    if (!s) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return -1;
    }
    s->mib.ulmexPortIfIndex = req.ulmexPortIfIndex;
    s->mib.ulmexSockProto = req.ulmexSockProto;
    s->mib.ulmexSockConfig = req.ulmexSockConfig;
    s->port = p;
    if (ugwd_ctl_bind_socket(ctl, p, &s->mib) < 0) {
        int err = errno;
        delete s;
        errno = err;
        return -1;
    }
    s->id = ctl->nsockets++;
    list_append(&ctl->sockets, &s->link);
    every_service_changed(ctl);
    socket_reply(s, msg, CTL_NEW_SOCKET);
    return SOCKET_REPLY;
}

int ugwd_ctl_cmd_remove_socket(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < SOCKET_REPLY) return SOCKET_REPLY;
    uint32_t ifindex = ctl_get32(msg, KEY_IFINDEX);
    ugwd_socket *s = ugwd_ctl_find_port(ctl, ifindex)
                         ? ugwd_ctl_find_socket(ctl, ifindex, ctl_get32(msg, KEY_PROTO),
                                                get16(msg, KEY_UDP_PORT))
                         : nullptr;
    if (!s) {
        if (force_of(msg)) return 0;
        errno = ENOENT;
        return -1;
    }
    socket_reply(s, msg, CTL_DELETE_SOCKET);
    ugwd_ctl_delete_socket(ctl, s);
    return SOCKET_REPLY;
}

int ugwd_ctl_cmd_dump_sockets(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    size_t need = sizeof(ctl_list) + size_t{ctl->nsockets} * sizeof(ugwd_socket_mib);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_SOCKETS);
    ctl_put32(msg, 8, ctl->nsockets);
    size_t at = sizeof(ctl_list);
    for (ugwd_socket *s : list_records<&ugwd_socket::link>(&ctl->sockets)) {
        memcpy(msg + at, &s->mib, sizeof(s->mib));
        at += sizeof(s->mib);
    }
    return static_cast<int>(need);
}

void ugwd_ctl_netif_event_cb(void *user, int fd)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    while (netlink_read_events(fd, &ctl->netif_events) >= 0) {
        for (uint32_t i = 0; i < array_length(&ctl->netif_events); i++) {
            netlink_event e = *array_at<netlink_event>(&ctl->netif_events, i);
            on_event(ctl, e);
        }
    }
    array_truncate(&ctl->netif_events, 0);
}
