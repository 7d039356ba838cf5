// The controller connection manager: the controller entries and their
// management commands, the choice of an entry and of one of its addresses,
// the name lookup on the worker thread, the UDP socket and the DTLS session
// under the controller link, and the registration and informs of services.
//
// One controller at a time: the head of the entry list. A lookup result is
// walked in its order; an address that failed is passed over once so that the
// next one is tried at once, and an entry whose only address failed waits out
// a hold-off after its close. When every address of an entry has failed, the
// entry goes to the tail and the next one is looked up.
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/fatal.h"
#include "common/log.h"
#include "common/mdns.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "controller/dtls/dtls.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_service.h"

namespace
{

enum : uint32_t {
    CONTROL_REPLY = 8 + CTL_REC_CONTROL,
    CONTROLS_HEAD = 12,
    // An entry whose address failed is not tried again while its close lies
    // this many seconds back or less: with whole seconds on both sides that
    // keeps at least four seconds between a close and the next attempt.
    HOLD_OFF_SEC = 4,
    RECV_BURST = 16,
    REGISTER_DELAY_MS = 4000,
    MAX_DELAY_SEC = 4294967,
    KEY_BITS_MAX = 256,
};

constexpr const char VERSION_ID[] = "3.1.10";

enum : uint32_t {
    SERVICE_REGISTERED = 1,
    SERVICE_RUNNING = 2,
    SERVICE_DISABLED = 3,
};

ugwd_control_entry *head_entry(ugwd_ctl *ctl)
{
    return list_isempty(&ctl->controls) ? nullptr
                                        : list_first_record<&ugwd_control_entry::link>(&ctl->controls);
}

ugwd_ctl *ctl_of(ulmex_link *link)
{
    return container_of(link, &ugwd_ctl::link);
}

bool inet_family(const ulmex_inet_addr &a)
{
    return a.sa.sa_family == AF_INET || a.sa.sa_family == AF_INET6;
}

const char *uuid_text(const uint8_t uuid[16], char out[37])
{
    return ugwd_uuid_format(uuid, out);
}

uint32_t delay_ms(uint32_t sec)
{
    return (sec < MAX_DELAY_SEC ? sec : MAX_DELAY_SEC) * 1000;
}

void forget_lookup(ugwd_ctl *ctl)
{
    array_truncate(&ctl->resolved, 0);
    ctl->resolve_name[0] = '\0';
}

// The head entry takes the link's figures, but keeps the key it was given and
// a reset it had: a failure the link still shows is already dealt with.
void sync_entry(ugwd_ctl *ctl, ugwd_control_entry *e)
{
    ulmexControl &r = e->record;
    uint32_t status = r.ulmexControlStatus;
    uint8_t key[32];
    memcpy(key, r.ulmexControlKey, sizeof(key));
    uint16_t bits = r.ulmexControlKeyLength;
    r = ctl->link.record;
    memcpy(r.ulmexControlKey, key, sizeof(key));
    r.ulmexControlKeyLength = bits;
    if (status == ULMEX_STATE_CONFIGURE && (r.ulmexControlStatus == ULMEX_STATE_FAILURE ||
                                            r.ulmexControlStatus == ULMEX_STATE_EXPIRED))
        r.ulmexControlStatus = ULMEX_STATE_CONFIGURE;
}

bool same_name(const char *a, const char *b)
{
    return strncmp(a, b, sizeof(ulmexControl::ulmexControlName)) == 0;
}

int control_reply(uint8_t *msg, const ulmexControl &record, uint32_t type)
{
    ugwd_ctl_msg_init(msg, type);
    memcpy(msg + CTL_MSG_PAYLOAD, &record, sizeof(record));
    UGW_ASSERT(ctl_msg_size(msg, CONTROL_REPLY) == CONTROL_REPLY);
    return CONTROL_REPLY;
}

// The request's name field, which the dispatcher found terminated.
const char *request_name(const uint8_t *msg, size_t offset)
{
    return reinterpret_cast<const char *>(msg + offset);
}

void set_key(ulmexControl &r, const uint8_t *key, uint16_t bits)
{
    if (bits > KEY_BITS_MAX) bits = KEY_BITS_MAX;
    memset(r.ulmexControlKey, 0, sizeof(r.ulmexControlKey));
    memcpy(r.ulmexControlKey, key, (bits + 7u) / 8);
    r.ulmexControlKeyLength = bits;
}

void start_lookup(ugwd_ctl *ctl, ugwd_control_entry *e)
{
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Resolving controller name %s", e->record.ulmexControlName);
    forget_lookup(ctl);
    snprintf(ctl->resolve_name, sizeof(ctl->resolve_name), "%s", e->record.ulmexControlName);
    if (worker_start(&ctl->resolver, ugwd_ctl_resolve_worker, ctl) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Asynchronous DNS lookup failed: %s", strerror(errno));
        return;
    }
    if (schedule_add_fd(ctl->sched, ctl->resolver.fd, ugwd_ctl_resolve_done_cb, ctl) < 0) {
        int err = errno;
        worker_cancel(&ctl->resolver);
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Asynchronous DNS lookup failed: %s", strerror(err));
    }
}

// Walks the lookup result for the head entry: true with ulmexRemoteInet set
// when an address is to be tried now.
bool pick_address(ugwd_ctl *ctl, ugwd_control_entry *e, uint32_t now)
{
    ulmexControl &r = e->record;
    uint32_t n = array_length(&ctl->resolved);
    for (uint32_t i = 0; i < n; i++) {
        const ulmex_inet_addr &a = *array_at<ulmex_inet_addr>(&ctl->resolved, i);
        if (!inet_family(a)) continue;
        if (a.sa.sa_family == AF_INET6 && a.sin6.sin6_scope_id && ctl->scope_id &&
            a.sin6.sin6_scope_id != ctl->scope_id)
            continue;
        bool same = r.ulmexRemoteInet.sa.sa_family == a.sa.sa_family &&
                    sockaddr_compare(&a.sa, &r.ulmexRemoteInet.sa) == 0;
        switch (r.ulmexControlStatus) {
        case ULMEX_STATE_CONFIGURE:
            if (r.ulmexCloseTime && now - r.ulmexCloseTime <= HOLD_OFF_SEC) continue;
            r.ulmexRemoteInet = a;
            return true;
        case ULMEX_STATE_WAITING:
        case ULMEX_STATE_RUNNING:
            if (same) return true;
            continue;
        default:
            if (!same) continue;
            r.ulmexControlStatus = ULMEX_STATE_CONFIGURE;
            if (i + 1 == n) return false;
            r.ulmexCloseTime = 0;
            continue;
        }
    }
    return false;
}

void publish_control(ugwd_ctl *ctl, ugwd_control_entry *e, uint32_t type)
{
    ugwd_ctl_notify_control(ctl, &e->record, type);
}

void disable_service(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    ugwd_ctl_unbind_flows_by_uuid(ctl, s->uuid);
    schedule_cancel(ctl->sched, &s->inform_timer);
    list_remove(&s->queue);
    list_append(&ctl->register_queue, &s->queue);
    s->mib.ulmexServiceStatus = SERVICE_DISABLED;
}

void service_accepted(ugwd_service *s, const ulmex_service_accept &a)
{
    ugwd_ctl *ctl = s->ctl;
    s->epoch_id = a.epochId;
    s->mib.ulmexInformInterval = a.informInterval.value_or(0);
    char u[37];
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Service %s enabled", uuid_text(s->uuid, u));
    // Stations that came while the service was not running are told of now.
    for (ugwd_flow *f : list_records_safe<&ugwd_flow::link>(&ctl->flows))
        if (f->vap && f->vap->service == s && !list_isempty(&f->requests))
            ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_UPDATE, 0);
    list_remove(&s->queue);
    list_append(&ctl->services_enabled, &s->queue);
    s->mib.ulmexServiceStatus = SERVICE_RUNNING;
    ugwd_ctl_service_changed(s);
}

void answer_status(ugwd_ctl *ctl, ulmex_status_code code, uint8_t request_type, void *user)
{
    if (code == ulmex_status_code::success) {
        if (request_type == ULMEX_SERVICE_INFORM && user) {
            auto *s = static_cast<ugwd_service *>(user);
            uint32_t interval = s->mib.ulmexInformInterval;
            if (interval && !timer_ispending(&s->inform_timer))
                schedule_timer(ctl->sched, &s->inform_timer, delay_ms(interval),
                               ugwd_ctl_service_inform_timer_cb);
        }
        // The answer an echo and a ServiceUnregister expect: nothing to do.
        return;
    }
    if (!user) return;
    switch (request_type) {
    case ULMEX_SERVICE_INFORM:
        ugwd_ctl_queue_service_register(static_cast<ugwd_service *>(user));
        break;
    case ULMEX_FLOW_SERVICE_INFORM:
        ugwd_ctl_unbind_flow(static_cast<ugwd_flow *>(user));
        break;
    case ULMEX_SERVICE_REGISTER: {
        auto *s = static_cast<ugwd_service *>(user);
        if (code != ulmex_status_code::busy) disable_service(s);
        ugwd_ctl_queue_service_register(s);
        break;
    }
    default:
        break;
    }
}

// The ports a service is reached on: every native socket, once per address
// family it has, and again with its port's address when that differs.
struct port_table {
    std::vector<ulmex_port> ports;

    void add(const uint8_t *addr, size_t len, uint16_t port, uint16_t load)
    {
        if (!port) return; // the message set has no port 0
        ulmex_port p;
        p.address.inet.present = len == 4 ? ulmex_inet_type::ip : ulmex_inet_type::ipv6;
        p.address.inet.address = ulmex_bytes(addr, len);
        p.address.port = port;
        p.load = load;
        ports.push_back(p);
    }
};

uint16_t load_figure(float load)
{
    double v = std::round(static_cast<double>(load) * 65536);
    return v <= 0 ? 0 : v >= 65535 ? 65535 : static_cast<uint16_t>(v);
}

void build_port_table(ugwd_ctl *ctl, port_table *t)
{
    for (ugwd_socket *so : list_records<&ugwd_socket::link>(&ctl->sockets)) {
        const ugwd_socket_mib &m = so->mib;
        if (m.ulmexSockProto != 1) continue;
        uint16_t load = so->port ? load_figure(so->port->load) : 0;
        if (m.ulmexSockInet.sin_family == AF_INET) {
            auto *a = reinterpret_cast<const uint8_t *>(&m.ulmexSockInet.sin_addr);
            uint16_t port = ntohs(m.ulmexSockInet.sin_port);
            t->add(a, 4, port, load);
            if (so->port && memcmp(so->port->mib.ulmexPortInet, a, 4) != 0)
                t->add(so->port->mib.ulmexPortInet, 4, port, load);
        }
        if (m.ulmexSockInet6.sin6_family == AF_INET6) {
            auto *a = reinterpret_cast<const uint8_t *>(&m.ulmexSockInet6.sin6_addr);
            uint16_t port = ntohs(m.ulmexSockInet6.sin6_port);
            t->add(a, 16, port, load);
            if (so->port && memcmp(so->port->mib.ulmexPortInet6, a, 16) != 0)
                t->add(so->port->mib.ulmexPortInet6, 16, port, load);
        }
    }
}

int send_request(ugwd_ctl *ctl, const ulmex_pdu &pdu, list_link *pending, void *user)
{
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) {
        ulmex_message msg;
        msg.request = true;
        msg.pdu = pdu;
        ugwd_ctl_print_message(ctl, msg);
    }
    return ulmex_request(&ctl->link, pdu, pending, user);
}

// The addresses of a name, for the entry choice: on the worker thread.
int lookup(const char *name, Ary *out)
{
    if (mdns_is_local(name)) {
        mdns_result *res = nullptr;
        if (mdns_resolve(name, MDNS_IPV4 | MDNS_IPV6, 0, &res) < 0) return EAI_NONAME;
        for (uint32_t i = 0; i < array_length(&res->addrs); i++) {
            auto *a = array_push<ulmex_inet_addr>(out);
            if (!a) break;
            memcpy(a, array_at<mdns_addr>(&res->addrs, i), sizeof(*a));
        }
        mdns_result_free(res);
        return 0;
    }
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    int r = getaddrinfo(name, nullptr, &hints, &res);
    if (r) return r;
    for (addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(ulmex_inet_addr)) continue;
        auto *a = array_push<ulmex_inet_addr>(out);
        if (!a) break;
        memset(a, 0, sizeof(*a));
        memcpy(a, ai->ai_addr, ai->ai_addrlen);
    }
    freeaddrinfo(res);
    return 0;
}

const char *lookup_error(int err)
{
    return err == EAI_SYSTEM ? strerror(errno) : gai_strerror(err);
}

} // namespace

ugwd_control_entry *ugwd_ctl_get_connected_control(ugwd_ctl *ctl)
{
    ugwd_control_entry *e = head_entry(ctl);
    if (e && inet_family(e->record.ulmexRemoteInet) &&
        e->record.ulmexControlStatus == ULMEX_STATE_RUNNING)
        return e;
    return nullptr;
}

ugwd_control_entry *ugwd_ctl_find_control(ugwd_ctl *ctl, const char *name)
{
    for (ugwd_control_entry *e : list_records<&ugwd_control_entry::link>(&ctl->controls))
        if (strncmp(e->record.ulmexControlName, name, sizeof(e->record.ulmexControlName) - 1) == 0)
            return e;
    return nullptr;
}

ugwd_control_entry *ugwd_ctl_resolve_control(ugwd_ctl *ctl)
{
    uint32_t now = clock_sec();
    for (unsigned pass = 0; pass < ctl->ncontrols; pass++) {
        ugwd_control_entry *e = head_entry(ctl);
        if (!e || ctl->resolver.fd >= 0) return nullptr;
        if (!same_name(ctl->resolve_name, e->record.ulmexControlName)) {
            start_lookup(ctl, e);
            return nullptr;
        }
        if (pick_address(ctl, e, now)) {
            char text[SOCKADDR_FMT_SIZE];
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Connecting to controller %s (%s)",
                 e->record.ulmexControlName,
                 sockaddr_format(&e->record.ulmexRemoteInet.sa, text, sizeof(text),
                                 SOCKADDR_FMT_NO_PORT));
            forget_lookup(ctl);
            return e;
        }
        list_remove(&e->link);
        list_append(&ctl->controls, &e->link);
        e->record.ulmexControlStatus = ULMEX_STATE_CONFIGURE;
        forget_lookup(ctl);
    }
    return nullptr;
}

void *ugwd_ctl_resolve_worker(void *user)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    ctl->resolve_error = lookup(ctl->resolve_name, &ctl->resolved);
    return nullptr;
}

void ugwd_ctl_resolve_done_cb(void *user, int fd)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    schedule_remove_fd(ctl->sched, fd);
    if (worker_join(&ctl->resolver, nullptr) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Asynchronous DNS lookup failed: %s", strerror(errno));
        return;
    }
    if (ctl->resolve_error) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Could not resolve %s: %s", ctl->resolve_name,
             lookup_error(ctl->resolve_error));
        return;
    }
    schedule_stop(ctl->sched);
}

void ugwd_ctl_clear_resolve(ugwd_ctl *ctl)
{
    if (ctl->resolver.fd >= 0) {
        schedule_remove_fd(ctl->sched, ctl->resolver.fd);
        worker_cancel(&ctl->resolver);
    }
    forget_lookup(ctl);
}

int ugwd_ctl_connect_control(ugwd_ctl *ctl, ugwd_control_entry *e, unsigned port)
{
    ugwd_ctl_disconnect(ctl);
    ulmexControl &r = e->record;
    ulmex_inet_addr &remote = r.ulmexRemoteInet;
    if (remote.sa.sa_family == AF_INET) {
        remote.sin.sin_port = htons(static_cast<uint16_t>(port));
    } else {
        remote.sin6.sin6_port = htons(static_cast<uint16_t>(port));
        if (!remote.sin6.sin6_scope_id) remote.sin6.sin6_scope_id = ctl->scope_id;
    }
    int fd = socket(remote.sa.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to create UDP socket: %s", strerror(errno));
        r.ulmexControlStatus = ULMEX_STATE_FAILURE;
        return -1;
    }
    bool registered = false;
    auto fail = [&] {
        if (registered) schedule_remove_fd(ctl->sched, fd);
        close(fd);
        ctl->udp_fd = -1;
        dtls_close(ctl->dtls_sock);
        ctl->dtls_sock = nullptr;
        r.ulmexControlStatus = ULMEX_STATE_FAILURE;
        return -1;
    };
    if (connect(fd, &remote.sa, sockaddr_len(&remote.sa)) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to connect UDP socket: %s", strerror(errno));
        return fail();
    }
    socklen_t len = sizeof(r.ulmexLocalInet);
    if (getsockname(fd, &r.ulmexLocalInet.sa, &len) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to get UDP socket address: %s", strerror(errno));
        return fail();
    }
    if (schedule_add_fd(ctl->sched, fd, ugwd_ctl_recv_udp_cb, ctl) < 0) return fail();
    registered = true;
    ctl->udp_fd = fd;
    dtls_rsa_pin pin{};
    memcpy(pin.fingerprint, r.ulmexControlKey, sizeof(pin.fingerprint));
    pin.bits = r.ulmexControlKeyLength;
    ctl->dtls_sock = dtls_connect(ctl->dtls, &remote.sa, pin.bits ? &pin : nullptr, nullptr);
    if (!ctl->dtls_sock) return fail();
    ulmex_reset(&ctl->link);
    if (ulmex_open(&ctl->client, &ctl->link, &r) < 0) return fail();
    // The entry shows the attempt, so that its failure can be told from a reset.
    r.ulmexControlStatus = ULMEX_STATE_WAITING;
    return 0;
}

void ugwd_ctl_recv_udp_cb(void *user, int fd)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    for (unsigned i = 0; i < RECV_BURST; i++) {
        packet *p = packet_alloc(ctl->packet_pool, 0);
        if (!p) return;
        ulmex_inet_addr from{};
        socklen_t len = sizeof(from);
        ssize_t n;
        do
            n = recvfrom(fd, p->data, packet_tailroom(p), MSG_DONTWAIT, &from.sa, &len);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            packet_release(p);
            return;
        }
        packet_put(p, static_cast<size_t>(n));
        dtls_recv(ctl->dtls, p, &from.sa);
        packet_release(p);
    }
}

void ugwd_ctl_dtls_connected_cb(void *user, dtls_sock *sock)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    if (sock != ctl->dtls_sock) return; // a session given up already
    const dtls_rsa_pin *key = dtls_sock_peer_key(sock);
    ulmex_established(&ctl->link, key ? key->fingerprint : nullptr);
    ugwd_ctl_sync_control(ctl);
    if (ugwd_control_entry *e = head_entry(ctl)) publish_control(ctl, e, CTL_NEW_CONTROL);
    for (list_link *l : {&ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *s : list_records_safe<&ugwd_service::queue>(l))
            ugwd_ctl_queue_service_register(s);
    schedule_cancel(ctl->sched, &ctl->register_timer);
    schedule_timer(ctl->sched, &ctl->register_timer, 0, ugwd_ctl_register_timer_cb);
}

void ugwd_ctl_dtls_recv_cb(void *user, dtls_sock *sock, packet *msg)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    // A session that lingers after a reconnect may still deliver: what it
    // brings belongs to a link that is gone.
    if (sock != ctl->dtls_sock) {
        char text[SOCKADDR_FMT_SIZE];
        ulog_untrusted(LOG_COMP_ALL, ULOG_DEBUG,
                       "Dropping %u bytes from stale controller DTLS session %s",
                       unsigned{msg->length}, sockaddr_format(dtls_sock_peer(sock), text, sizeof(text), 0));
        return;
    }
    ulmex_handle_response(&ctl->link, msg);
}

void ugwd_ctl_dtls_closed_cb(void *user, dtls_sock *sock, int)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    if (sock != ctl->dtls_sock) return;
    if (ugwd_control_entry *e = ugwd_ctl_get_connected_control(ctl)) {
        ugwd_ctl_sync_control(ctl);
        publish_control(ctl, e, CTL_DELETE_CONTROL);
    }
    ctl->dtls_sock = nullptr;
    ulmex_close(&ctl->link);
    schedule_stop(ctl->sched);
}

void ugwd_ctl_disconnect(ugwd_ctl *ctl)
{
    if (ugwd_control_entry *e = ugwd_ctl_get_connected_control(ctl)) {
        ugwd_ctl_sync_control(ctl);
        publish_control(ctl, e, CTL_DELETE_CONTROL);
    }
    if (ctl->udp_fd < 0) return;
    schedule_remove_fd(ctl->sched, ctl->udp_fd);
    ulmex_close(&ctl->link);
    dtls_close(ctl->dtls_sock);
    close(ctl->udp_fd);
    ctl->dtls_sock = nullptr;
    ctl->udp_fd = -1;
}

void ugwd_ctl_sync_control(ugwd_ctl *ctl)
{
    ugwd_control_entry *e = head_entry(ctl);
    if (!e) {
        // A link opened for no entry has no entry to forget.
        if (!ctl->link.record.ulmexControlName[0]) return;
        ulmex_close(&ctl->link);
        ulmex_reset(&ctl->link);
        ulmex_open(&ctl->client, &ctl->link, nullptr);
        return;
    }
    if (same_name(e->record.ulmexControlName, ctl->link.record.ulmexControlName))
        sync_entry(ctl, e);
}

void ugwd_ctl_free_controls(ugwd_ctl *ctl)
{
    ugwd_ctl_clear_resolve(ctl);
    ugwd_ctl_disconnect(ctl);
    for (ugwd_control_entry *e : list_records_safe<&ugwd_control_entry::link>(&ctl->controls)) {
        list_remove(&e->link);
        delete e;
    }
    ctl->ncontrols = 0;
    array_purge(&ctl->resolved);
}

int ugwd_ctl_notify_control(ugwd_ctl *ctl, const ulmexControl *record, uint32_t type)
{
    uint8_t msg[CONTROL_REPLY];
    control_reply(msg, *record, type);
    return ugwd_ctl_publish(ctl, msg, sizeof(msg));
}

int ugwd_ctl_cmd_get_control(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < CONTROL_REPLY) return CONTROL_REPLY;
    const char *name = request_name(msg, CTL_MSG_PAYLOAD);
    ugwd_control_entry *e =
        name[0] ? ugwd_ctl_find_control(ctl, name) : ugwd_ctl_get_connected_control(ctl);
    if (!e) {
        errno = ENOENT;
        return -1;
    }
    return control_reply(msg, e->record, CTL_NEW_CONTROL);
}

int ugwd_ctl_cmd_add_control(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < CONTROL_REPLY) return CONTROL_REPLY;
    ulmexControl req;
    memcpy(&req, msg + CTL_MSG_PAYLOAD, sizeof(req));
    bool force = ctl_get32(msg, 4) & CTL_F_FORCE;
    if (!req.ulmexControlName[0]) {
        errno = EINVAL;
        return -1;
    }
    if (ugwd_control_entry *e = ugwd_ctl_find_control(ctl, req.ulmexControlName)) {
        if (!force) {
            errno = EEXIST;
            return -1;
        }
        return control_reply(msg, e->record, CTL_NEW_CONTROL);
    }
    auto *e = new (std::nothrow) ugwd_control_entry{};
    if (!e) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return -1;
    }
    memcpy(e->record.ulmexControlName, req.ulmexControlName, sizeof(req.ulmexControlName));
    set_key(e->record, req.ulmexControlKey, req.ulmexControlKeyLength);
    list_append(&ctl->controls, &e->link);
    ctl->ncontrols++;
    return control_reply(msg, e->record, CTL_NEW_CONTROL);
}

int ugwd_ctl_cmd_modify_control(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < CONTROL_REPLY) return CONTROL_REPLY;
    ulmexControl req;
    memcpy(&req, msg + CTL_MSG_PAYLOAD, sizeof(req));
    ugwd_control_entry *e = ugwd_ctl_find_control(ctl, req.ulmexControlName);
    if (!e) {
        errno = ENOENT;
        return -1;
    }
    set_key(e->record, req.ulmexControlKey, req.ulmexControlKeyLength);
    return control_reply(msg, e->record, CTL_NEW_CONTROL);
}

int ugwd_ctl_cmd_remove_control(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < CONTROL_REPLY) return CONTROL_REPLY;
    bool force = ctl_get32(msg, 4) & CTL_F_FORCE;
    ugwd_control_entry *e = ugwd_ctl_find_control(ctl, request_name(msg, CTL_MSG_PAYLOAD));
    if (!e) {
        if (force) return 0;
        errno = ENOENT;
        return -1;
    }
    control_reply(msg, e->record, CTL_DELETE_CONTROL);
    list_remove(&e->link);
    ctl->ncontrols--;
    delete e;
    return CONTROL_REPLY;
}

int ugwd_ctl_cmd_dump_controls(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    size_t need = CONTROLS_HEAD + size_t{ctl->ncontrols} * CTL_REC_CONTROL;
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_CONTROLS);
    ctl_put32(msg, 8, ctl->ncontrols);
    uint8_t *at = msg + CONTROLS_HEAD;
    for (ugwd_control_entry *e : list_records<&ugwd_control_entry::link>(&ctl->controls)) {
        memcpy(at, &e->record, CTL_REC_CONTROL);
        at += CTL_REC_CONTROL;
    }
    return static_cast<int>(need);
}

void ugwd_ctl_queue_service_register(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    list_remove(&s->queue);
    list_append(&ctl->register_queue, &s->queue);
    if (!timer_ispending(&ctl->register_timer))
        schedule_timer(ctl->sched, &ctl->register_timer, REGISTER_DELAY_MS,
                       ugwd_ctl_register_timer_cb);
}

int ugwd_ctl_register_service(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    uint32_t len = s->mib.ulmexESSTemplateLength;
    if (len > sizeof(s->mib.ulmexESSTemplate)) len = sizeof(s->mib.ulmexESSTemplate);
    static constexpr uint8_t no_device[6] = {};
    ulmex_service_register sr;
    sr.serviceId = ulmex_bytes(s->uuid, 16);
    sr.sessionId = ctl->register_seq + 1;
    sr.deviceId = ulmex_bytes(no_device, 6);
    sr.versionId = VERSION_ID;
    sr.essTemplate = ulmex_bytes(s->mib.ulmexESSTemplate, len);
    if (send_request(ctl, ulmex_make_pdu<ULMEX_SERVICE_REGISTER>(sr), &s->pending, s) < 0)
        return -1;
    s->session_id = ++ctl->register_seq;
    s->started = true;
    list_remove(&s->queue);
    list_append(&ctl->services_registered, &s->queue);
    s->mib.ulmexStartTime = clock_sec();
    s->mib.ulmexServiceStatus = SERVICE_REGISTERED;
    return 0;
}

void ugwd_ctl_register_timer_cb(timer *t)
{
    ugwd_ctl *ctl = container_of(t, &ugwd_ctl::register_timer);
    if (ctl->dtls_sock && dtls_sock_is_connected(ctl->dtls_sock))
        for (ugwd_service *s : list_records_safe<&ugwd_service::queue>(&ctl->register_queue))
            ugwd_ctl_register_service(s);
    ugwd_control_entry *e = head_entry(ctl);
    const ulmexControl &l = ctl->link.record;
    if (!e || !same_name(e->record.ulmexControlName, l.ulmexControlName) ||
        memcmp(e->record.ulmexControlKey, l.ulmexControlKey, sizeof(l.ulmexControlKey)) != 0 ||
        e->record.ulmexControlKeyLength != l.ulmexControlKeyLength) {
        ugwd_ctl_disconnect(ctl);
        schedule_stop(ctl->sched);
    }
}

int ugwd_ctl_send_service_inform(ugwd_service *s)
{
    ugwd_ctl *ctl = s->ctl;
    port_table t;
    build_port_table(ctl, &t);
    ulmex_service_inform si;
    si.serviceId = ulmex_bytes(s->uuid, 16);
    si.sessionId = s->session_id;
    si.portTable = t.ports;
    return send_request(ctl, ulmex_make_pdu<ULMEX_SERVICE_INFORM>(si), &s->pending, s);
}

void ugwd_ctl_service_inform_timer_cb(timer *t)
{
    ugwd_service *s = container_of(t, &ugwd_service::inform_timer);
    // Only a service the controller runs is told of; the others wait for
    // their ServiceAccept, which informs at once.
    if (s->mib.ulmexServiceStatus == SERVICE_RUNNING) ugwd_ctl_send_service_inform(s);
}

void ugwd_ctl_client_response_cb(ulmex_link *link, const ulmex_pdu *pdu, uint8_t request_type,
                                 void *user)
{
    ugwd_ctl *ctl = ctl_of(link);
    uint8_t type = ulmex_pdu_type(*pdu);
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) {
        ulmex_message msg;
        msg.response = true;
        msg.pdu = *pdu;
        ugwd_ctl_print_message(ctl, msg);
    }
    if (type == ULMEX_SERVICE_ACCEPT && request_type == ULMEX_SERVICE_REGISTER && user) {
        service_accepted(static_cast<ugwd_service *>(user), std::get<ULMEX_SERVICE_ACCEPT>(*pdu));
        return;
    }
    if (type == ULMEX_FLOW_INFORM_ACCEPT && request_type == ULMEX_FLOW_SERVICE_INFORM && user) {
        auto *f = static_cast<ugwd_flow *>(user);
        f->inform_interval = std::get<ULMEX_FLOW_INFORM_ACCEPT>(*pdu).informInterval.value_or(0);
        if (f->inform_interval && !timer_ispending(&f->timer_a))
            schedule_timer(ctl->sched, &f->timer_a, delay_ms(f->inform_interval),
                           ugwd_ctl_flow_inform_timer_cb);
        return;
    }
    if (type == ULMEX_STATUS) {
        answer_status(ctl, std::get<ULMEX_STATUS>(*pdu).statusCode, request_type, user);
        return;
    }
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Discarding unhandled control message %s (%u)",
         ulmex_msg_type_name(type), unsigned{type});
}
