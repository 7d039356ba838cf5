#include "gateway/ugwd_nas.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "dot11/dot11_cache.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_table.h"

namespace {

constexpr uint32_t REALM_LEN = 16;

void nas_clear(void *, void *entry)
{
    ugwd_nas_destroy(static_cast<ugwd_nas *>(entry));
}

ugwd_ctl *ctl_of(const ugwd_nas *nas)
{
    return nas->table->ctl;
}

// A UDP socket on [::]:port that IPv4 peers reach too, whatever the host's
// bindv6only says.
int radius_socket(uint16_t port)
{
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return -1;
    int off = 0;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_any;
    sa.sin6_port = htons(port);
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) < 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) < 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void sort_ports(ugwd_nas *nas)
{
    int *fds = array_data<int>(&nas->ports);
    if (fds) std::sort(fds, fds + array_length(&nas->ports));
}

// Opens n request ports; those opened before a failure stay.
int add_ports(ugwd_nas *nas, uint32_t n)
{
    int r = 0;
    for (uint32_t i = 0; i < n; i++) {
        int fd = radius_socket(0);
        int *slot = nullptr;
        if (fd < 0 || !(slot = array_push<int>(&nas->ports)) ||
            schedule_add_fd(ctl_of(nas)->sched, fd, ugwd_radius_recv_port_cb, nas) < 0) {
            int err = errno;
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Failed to create RADIUS socket: %s", strerror(err));
            if (slot) array_truncate(&nas->ports, array_length(&nas->ports) - 1);
            if (fd >= 0) close(fd);
            errno = err;
            r = -1;
            break;
        }
        *slot = fd;
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Added RADIUS UDP port #%zu for NAS %s",
             static_cast<size_t>(array_length(&nas->ports)), nas->name);
    }
    sort_ports(nas);
    return r;
}

void close_port(ugwd_nas *nas, int fd, size_t number)
{
    schedule_remove_fd(ctl_of(nas)->sched, fd);
    close(fd);
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Removed RADIUS UDP port #%zu for NAS %s", number,
         nas->name);
}

// Closes the last n descriptors of the sorted array.
void remove_ports(ugwd_nas *nas, uint32_t n)
{
    for (uint32_t i = 0; i < n && array_length(&nas->ports); i++) {
        uint32_t last = array_length(&nas->ports) - 1;
        close_port(nas, *array_at<int>(&nas->ports, last), last + 1);
        array_truncate(&nas->ports, last);
    }
}

int open_das(ugwd_nas_table *t)
{
    int fd = radius_socket(UGWD_RADIUS_DAS_PORT);
    if (fd < 0 || schedule_add_fd(t->ctl->sched, fd, ugwd_radius_recv_listen_cb, t) < 0) {
        int err = errno;
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Failed to create RADIUS socket: %s", strerror(err));
        if (fd >= 0) close(fd);
        errno = err;
        return -1;
    }
    t->das_fd = fd;
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Added RADIUS dynamic authorization port %u",
         unsigned{UGWD_RADIUS_DAS_PORT});
    return 0;
}

void close_das(ugwd_nas_table *t)
{
    if (t->das_fd < 0) return;
    schedule_remove_fd(t->ctl->sched, t->das_fd);
    close(t->das_fd);
    t->das_fd = -1;
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "Removed RADIUS dynamic authorization port %u",
         unsigned{UGWD_RADIUS_DAS_PORT});
}

// One datagram into a fresh packet; null when there is none to take or it was
// dropped. *sender gets the sender, IPv4-mapped ones as IPv4.
packet *receive(ugwd_ctl *ctl, int fd, sockaddr_storage *sender, const char *oversized)
{
    packet *p = packet_alloc(ctl->packet_pool, 0);
    if (!p) return nullptr;
    sockaddr_in6 from{};
    ssize_t n;
    do {
        socklen_t len = sizeof(from);
        n = recvfrom(fd, p->data, packet_tailroom(p), MSG_TRUNC | MSG_DONTWAIT,
                     reinterpret_cast<sockaddr *>(&from), &len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        packet_release(p);
        return nullptr;
    }
    memset(sender, 0, sizeof(*sender));
    sockaddr_in v4;
    const sockaddr *src = sockaddr_from_v4mapped(reinterpret_cast<const sockaddr *>(&from), &v4);
    memcpy(sender, src, sockaddr_len(src));
    if (static_cast<size_t>(n) > packet_tailroom(p)) {
        char text[SOCKADDR_FMT_SIZE];
        ulog_untrusted(
            LOG_COMP_RADIUS, ULOG_DEBUG, oversized, n,
            sockaddr_format(reinterpret_cast<const sockaddr *>(sender), text, sizeof(text), 0));
        packet_release(p);
        return nullptr;
    }
    packet_put(p, static_cast<size_t>(n));
    return p;
}

// The client's callbacks; the user pointer is the NAS.
void client_authorize(void *, radius_entry *)
{
    // Sessions belong to flows, which create none yet.
}

void client_deauthorize(void *, radius_entry *, uint16_t) {}

void client_update(void *, radius_entry *) {}

void client_revoked(void *user, const uint8_t *realm, const uint8_t mac[6])
{
    auto *nas = static_cast<ugwd_nas *>(user);
    if (!nas->mib->radiusClientCaching) return;
    ugwd_ctl_clear_service_pmksas(ctl_of(nas), realm, mac);
}

void client_send(void *user, packet *msg, const sockaddr *to, int port)
{
    ugwd_nas_send(static_cast<ugwd_nas *>(user), msg, to, port);
}

void client_schedule(void *user, timer *t, uint32_t ms, timer_fn callback)
{
    schedule_timer(ctl_of(static_cast<ugwd_nas *>(user))->sched, t, ms, callback);
}

void client_cancel(void *user, timer *t)
{
    schedule_cancel(ctl_of(static_cast<ugwd_nas *>(user))->sched, t);
}

constexpr radius_client_ops ugwd_nas_client_ops = {
    .authorize = client_authorize,
    .deauthorize = client_deauthorize,
    .update = client_update,
    .revoked = client_revoked,
    .send = client_send,
    .schedule = client_schedule,
    .cancel = client_cancel,
};

void services_forget(ugwd_nas *nas)
{
    ugwd_ctl *ctl = ctl_of(nas);
    for (list_link *head :
         {&ctl->register_queue, &ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *s : list_records<&ugwd_service::queue>(head)) {
            if (s->nas != nas) continue;
            if (s->cache) dot11_cache_clear_nas(s->cache);
            s->nas = nullptr;
        }
}

} // namespace

ugwd_nas_table *ugwd_nas_table_create(ugwd_ctl *ctl)
{
    auto *t = static_cast<ugwd_nas_table *>(calloc(1, sizeof(ugwd_nas_table)));
    if (!t) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    t->ctl = ctl;
    t->das_fd = -1;
    hashtable_config c = *hashtable_default_config(true);
    c.min_log2 = 6;
    c.clear = nas_clear;
    t->by_name = hashtable_create(0, 0, static_cast<int32_t>(offsetof(ugwd_nas, name) - offsetof(ugwd_nas, link)),
                                  static_cast<int32_t>(offsetof(ugwd_nas, link)), false, true, &c);
    if (!t->by_name) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to create RADIUS NAS table");
        free(t);
        return nullptr;
    }
    return t;
}

void ugwd_nas_table_destroy(ugwd_nas_table *t)
{
    if (!t)
        return;
    hashtable_destroy(t->by_name);
    t->by_name = nullptr;
    close_das(t);
    free(t);
}

ugwd_nas *ugwd_nas_lookup(ugwd_nas_table *t, const char *name)
{
    return hashtable_lookup(t->by_name, name, &ugwd_nas::link);
}

ugwd_nas *ugwd_nas_first(const ugwd_nas_table *t)
{
    hashlink *l = hashtable_first(t->by_name);
    return l ? hashtable_entry(l, &ugwd_nas::link) : nullptr;
}

ugwd_nas *ugwd_nas_next(const ugwd_nas_table *t, const ugwd_nas *nas)
{
    hashlink *l = hashtable_next(t->by_name, &nas->link);
    return l ? hashtable_entry(l, &ugwd_nas::link) : nullptr;
}

uint32_t ugwd_nas_count(const ugwd_nas_table *t)
{
    return hashtable_count(t->by_name);
}

ugwd_nas *ugwd_nas_create(ugwd_nas_table *t, const radius_nas_config *config)
{
    void *mem = calloc(1, sizeof(ugwd_nas));
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    auto *nas = new (mem) ugwd_nas{};
    list_init(&nas->sessions);
    array_init(&nas->ports, sizeof(int));
    nas->table = t;
    nas->client = radius_client_create(config, nullptr, nullptr, &ugwd_nas_client_ops, nas,
                                       REALM_LEN, t->ctl->packet_pool);
    if (!nas->client) {
        int err = errno;
        free(nas);
        errno = err;
        return nullptr;
    }
    nas->record = &nas->client->record;
    nas->mib = &nas->record->config;
    nas->name = nas->mib->radiusAuthClientIdentifier;
    if (add_ports(nas, nas->mib->radiusClientRequestPorts) < 0 ||
        (t->das_fd < 0 && open_das(t) < 0)) {
        int err = errno;
        remove_ports(nas, array_length(&nas->ports));
        array_purge(&nas->ports);
        radius_client_destroy(nas->client);
        free(nas);
        if (!hashtable_count(t->by_name)) close_das(t);
        errno = err;
        return nullptr;
    }
    hashtable_insert(t->by_name, &nas->link);
    return nas;
}

int ugwd_nas_modify(ugwd_nas *nas, const radius_nas_config *config,
                    const radiusAuthClientServerExtTable *auth,
                    const radiusAccClientServerExtTable *acct)
{
    if (strcmp(config->radiusAuthClientIdentifier, nas->name) != 0) {
        errno = EINVAL;
        return -1;
    }
    uint32_t old = array_length(&nas->ports);
    uint32_t want = config->radiusClientRequestPorts;
    if (want <= old) {
        // The client stops using the ports before they close.
        if (radius_client_configure(nas->client, config, auth, acct) < 0) return -1;
        remove_ports(nas, old - want);
        return 0;
    }
    std::vector<int> before(array_data<int>(&nas->ports), array_data<int>(&nas->ports) + old);
    int r = add_ports(nas, want - old);
    if (r == 0) r = radius_client_configure(nas->client, config, auth, acct);
    if (r < 0) {
        // Back to the ports the client numbered its requests by.
        int err = errno;
        for (uint32_t i = 0; i < array_length(&nas->ports); i++) {
            int fd = *array_at<int>(&nas->ports, i);
            if (std::find(before.begin(), before.end(), fd) == before.end())
                close_port(nas, fd, i + 1);
        }
        array_truncate(&nas->ports, 0);
        for (int fd : before)
            *array_push<int>(&nas->ports) = fd; // within the capacity it had
        errno = err;
        return -1;
    }
    return 0;
}

void ugwd_nas_destroy(ugwd_nas *nas)
{
    ugwd_nas_table *t = nas->table;
    services_forget(nas);
    remove_ports(nas, array_length(&nas->ports));
    // While the table is destroyed its clear callback runs here, the entry
    // already taken out.
    if (t->by_name && hashtable_remove(t->by_name, &nas->link) && !hashtable_count(t->by_name))
        close_das(t);
    array_purge(&nas->ports);
    radius_client_destroy(nas->client);
    nas->~ugwd_nas();
    free(nas);
}

int ugwd_nas_add_filter(ugwd_nas *nas, const char *name, const filter_rule *rules, uint32_t count)
{
    return radius_client_add_filter(nas->client, name, rules, count);
}

void ugwd_nas_remove_filter(ugwd_nas *nas, const char *name)
{
    radius_client_remove_filter(nas->client, name);
}

int ugwd_nas_get_filter(ugwd_nas *nas, const char *name, filter_rule *rules, uint32_t n)
{
    return radius_client_get_filter(nas->client, name, rules, n);
}

int ugwd_nas_list_filters(ugwd_nas *nas, const char **names, uint32_t n)
{
    return radius_client_list_filters(nas->client, names, n);
}

void ugwd_radius_recv_port_cb(void *user, int fd)
{
    auto *nas = static_cast<ugwd_nas *>(user);
    sockaddr_storage sender;
    packet *p =
        receive(ctl_of(nas), fd, &sender, "Discarding oversized RADIUS message %zd bytes from %s");
    if (!p) return;
    const int *fds = array_data<int>(&nas->ports);
    const int *end = fds + array_length(&nas->ports);
    const int *at = std::lower_bound(fds, end, fd);
    if (at != end && *at == fd)
        radius_client_recv(nas->client, p, reinterpret_cast<const sockaddr *>(&sender),
                           static_cast<int>(at - fds));
    packet_release(p);
}

void ugwd_radius_recv_listen_cb(void *user, int fd)
{
    auto *t = static_cast<ugwd_nas_table *>(user);
    sockaddr_storage sender;
    packet *p =
        receive(t->ctl, fd, &sender, "Discarding oversized RADIUS request %zd bytes from %s");
    if (!p) return;
    const sockaddr *from = reinterpret_cast<const sockaddr *>(&sender);
    char id[RADIUS_NAS_ID_SIZE];
    if (radius_client_peek_nas_identifier(p, from, id, sizeof(id))) {
        if (ugwd_nas *nas = ugwd_nas_lookup(t, id)) {
            radius_client_recv(nas->client, p, from, -1);
        } else {
            char text[SOCKADDR_FMT_SIZE];
            ulog_untrusted(LOG_COMP_RADIUS, ULOG_DEBUG,
                           "Discarding RADIUS request from %s to unknown NAS %s",
                           sockaddr_format(from, text, sizeof(text), 0), id);
        }
    }
    packet_release(p);
}

ssize_t ugwd_radius_sendmsg(int fd, const packet *msg, const sockaddr *to)
{
    if (packet_isfragmented(msg)) {
        errno = EMSGSIZE;
        return -1;
    }
    sockaddr_in6 mapped;
    const sockaddr *dest = sockaddr_to_v4mapped(to, &mapped);
    ssize_t n;
    do
        n = sendto(fd, msg->data, msg->length, MSG_DONTWAIT, dest, sizeof(sockaddr_in6));
    while (n < 0 && errno == EINTR);
    return n;
}

int ugwd_nas_send(ugwd_nas *nas, packet *msg, const sockaddr *to, int port)
{
    int fd;
    if (port < 0) {
        fd = nas->table->das_fd;
    } else if (static_cast<uint32_t>(port) < array_length(&nas->ports)) {
        fd = *array_at<int>(&nas->ports, static_cast<uint32_t>(port));
    } else {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "RADIUS port #%d of NAS %s does not exist", port,
             nas->name);
        errno = EBADF;
        return -1;
    }
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return ugwd_radius_sendmsg(fd, msg, to) < 0 ? -1 : 0;
}

uint32_t ugwd_nas_dump_accesses(ugwd_nas *nas, const uint8_t *realm, ugwd_mib_access *records,
                                uint32_t max)
{
    radius_db *db = nas->client->_impl.db;
    radius_cache *cache = nas->client->_impl.cache;
    uint32_t n = 0;
    auto put = [&](const radius_authz *a) {
        if (n < max) ugwd_mib_fill_access(&records[n], a);
        n++;
    };
    if (db) {
        for (radius_entry *e = realm ? radius_db_first_sess_by_realm(db, realm) : radius_db_first_sess(db);
             e; e = realm ? radius_db_next_sess_by_realm(db, e) : radius_db_next_sess(db, e))
            if (!e->deleted) put(&e->authz);
    }
    if (cache) {
        for (radius_cache_entry *e = realm ? radius_cache_first_by_realm(cache, realm)
                                           : radius_cache_first(cache);
             e; e = realm ? radius_cache_next_by_realm(cache, e) : radius_cache_next(cache, e))
            put(&e->authz);
    }
    return n;
}

int ugwd_nas_get_access(ugwd_service *s, const uint8_t mac[6], ugwd_mib_access *record,
                        filter_rule *rules, uint32_t max)
{
    const radius_authz *a = nullptr;
    if (s->nas) {
        radius_client *c = s->nas->client;
        radius_entry *e = c->_impl.db ? radius_db_lookup_sess(c->_impl.db, mac) : nullptr;
        // A session the station holds on another service of the NAS is not this one's.
        if (e && !e->deleted && memcmp(e->realm, s->uuid, 16) == 0)
            a = &e->authz;
        else if (c->_impl.cache)
            a = radius_cache_lookup(c->_impl.cache, s->uuid, mac);
    }
    if (!a) {
        errno = ENOENT;
        return -1;
    }
    if (record) ugwd_mib_fill_access(record, a);
    return static_cast<int>(ugwd_mib_copy_rules(rules, max, a));
}

void ugwd_nas_revoke_access(ugwd_nas *nas, const uint8_t *realm, const uint8_t *mac)
{
    radius_cache *cache = nas->client->_impl.cache;
    if (!cache) return;
    if (realm && mac)
        radius_cache_revoke(cache, realm, mac);
    else if (realm)
        radius_cache_revoke_by_realm(cache, realm);
    else if (mac)
        radius_cache_revoke_by_mac(cache, mac);
    else
        radius_cache_flush(cache);
}
