#include "common/userver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.h"
#include "common/sockaddr.h"
#include "common/timer.h"
#include "common/uclient.h"

namespace {

// The real clock: while locked the event loop does not refresh the cached one.
bool same_addr(const umsg_addr *a, const umsg_addr *b)
{
    return a->len == b->len && memcmp(&a->sun, &b->sun, a->len) == 0;
}

void answer(userver *server, const umsghdr *req, bool ok, const void *payload, size_t len,
            const umsg_addr *peer)
{
    // A peer that does not read must never stall the process: drop instead.
    if (umsg_send(server->fd, req->type, ok ? UMSG_F_ACK : UMSG_F_NAK, umsg_seq(req), payload, len,
                  peer, nullptr, -1, MSG_DONTWAIT) < 0) {
        server->dropped++;
        ulog(LOG_COMP_IPC, ULOG_DEBUG, "Failed to answer on UNIX socket: %s", strerror(errno));
    }
}

void member_free(userver *server, userver_member *m, const char *what)
{
    char name[110];
    ulog(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s %s", umsg_addr_text(&m->addr, name), what);
    list_remove(&m->member);
    if (!list_isnull(&m->link) && !list_isempty(&m->link))
        list_remove(&m->link);
    close(m->fd);
    free(m);
    server->nmembers--;
}

userver_holder *find_holder(userver *server, int32_t pid)
{
    for (list_link *l = server->holders._next; l != &server->holders; l = l->_next) {
        auto *h = container_of(l, &userver_holder::link);
        if (h->pid == pid)
            return h;
    }
    return nullptr;
}

void free_holders(userver *server)
{
    for (list_link *l : list_for_each_safe(&server->holders)) {
        list_remove(l);
        free(container_of(l, &userver_holder::link));
    }
}

void lock(userver *server, const umsg_cred *cred)
{
    if (server->locks == 0)
        free_holders(server); // left over from a userver_clear_locks
    userver_holder *h = find_holder(server, cred->pid);
    if (!h && cred->pid > 0) {
        h = static_cast<userver_holder *>(calloc(1, sizeof(*h)));
        if (h) {
            h->pid = cred->pid;
            list_append(&server->holders, &h->link);
        }
    }
    if (h)
        h->count++;
    server->locks++;
}

// Releases a lock of the caller's process when it holds one, else an
// anonymous one (taken at creation), else the oldest holder's.
void unlock(userver *server, const umsg_cred *cred)
{
    if (server->locks == 0)
        return;
    int held = 0;
    for (list_link *l = server->holders._next; l != &server->holders; l = l->_next)
        held += container_of(l, &userver_holder::link)->count;
    userver_holder *h = find_holder(server, cred->pid);
    if (!h && held >= server->locks && !list_isempty(&server->holders))
        h = container_of(server->holders._next, &userver_holder::link);
    if (h && --h->count == 0) {
        list_remove(&h->link);
        free(h);
    }
    server->locks--;
}

bool process_gone(int32_t pid)
{
    char path[32];
    snprintf(path, sizeof(path), "/proc/%d", static_cast<int>(pid));
    struct stat st;
    return stat(path, &st) < 0 && errno == ENOENT;
}

// Drops the locks of processes that have gone (a client killed between
// configure and commit must not freeze the process).
void release_gone_holders(userver *server)
{
    for (list_link *l : list_for_each_safe(&server->holders)) {
        auto *h = container_of(l, &userver_holder::link);
        if (!process_gone(h->pid))
            continue;
        ulog(LOG_COMP_IPC, ULOG_WARNING, "Releasing lock of vanished IPC client process %d",
             static_cast<int>(h->pid));
        server->locks -= h->count;
        if (server->locks < 0)
            server->locks = 0;
        list_remove(&h->link);
        free(h);
    }
}

void handle_join(userver *server, const umsghdr *hdr, const uint8_t *key, size_t len,
                 const umsg_addr *peer, int passfd)
{
    char name[110];
    int err = 0;
    userver_member *m = nullptr;
    if (passfd < 0) {
        err = EBADF;
    } else {
        userver_leave_group(server, peer, key, len);
        if (server->nmembers >= USERVER_MAX_MEMBERS)
            err = ENOSPC;
        else if (!(m = static_cast<userver_member *>(calloc(1, sizeof(userver_member) + len))))
            err = ENOMEM;
    }
    if (m) {
        m->addr = *peer;
        list_init(&m->link);
        m->fd = passfd;
        m->keylen = len;
        if (len)
            memcpy(m->key, key, len);
        if (!server->ops.subscribe || server->ops.subscribe(server->user, &m->link, key, len) < 0)
            err = EOPNOTSUPP;
    }
    if (err) {
        ulog(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s failed to join multicast group: %s",
             umsg_addr_text(peer, name), strerror(err));
        if (m && !list_isempty(&m->link))
            list_remove(&m->link);
        free(m);
        if (passfd >= 0)
            close(passfd);
        answer(server, hdr, false, nullptr, 0, peer);
        return;
    }
    list_append(&server->members, &m->member);
    server->nmembers++;
    ulog(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s joined multicast group",
         umsg_addr_text(peer, name));
    answer(server, hdr, true, nullptr, 0, peer);
}

void handle_request(userver *server, const umsghdr *hdr, size_t len, bool trusted,
                    const umsg_addr *peer)
{
    Ary *buf = &server->buffer;
    buf->_count = static_cast<uint32_t>(len);
    size_t cap = len;
    int reply = -1;
    for (;;) {
        reply = server->ops.request
                    ? server->ops.request(server->user, len ? static_cast<uint8_t *>(buf->_buffer) : nullptr,
                                          len, cap, trusted)
                    : -1;
        if (reply < 0 || static_cast<size_t>(reply) <= cap)
            break;
        if (static_cast<size_t>(reply) > UMSG_MESSAGE_MAX ||
            array_reserve(buf, static_cast<uint32_t>(reply)) < 0) {
            answer(server, hdr, false, nullptr, 0, peer);
            return;
        }
        cap = static_cast<size_t>(reply);
    }
    if (reply < 0)
        answer(server, hdr, false, nullptr, 0, peer);
    else
        answer(server, hdr, true, buf->_buffer, static_cast<size_t>(reply), peer);
}

bool health(userver *server)
{
    bool ok = server->locks == 0;
    for (list_link *l = server->clients._next; l != &server->clients; l = l->_next)
        if (!uclient_health_check(container_of(l, &uclient::link)))
            ok = false;
    if (server->ops.health && server->ops.health(server->user) < 0)
        ok = false;
    return ok;
}

void prune(userver *server)
{
    uint64_t now = monotonic_ms();
    if (now - server->last_prune <= USERVER_PRUNE_MS)
        return;
    for (list_link *l : list_for_each_safe(&server->members)) {
        auto *m = container_of(l, &userver_member::member);
        if (!unix_socket_exists(&m->addr.sun))
            member_free(server, m, "pruned from multicast group");
    }
    server->last_prune = now;
}

} // namespace

userver *userver_listen(const char *path, unsigned pid, int locks, const userver_ops *ops, void *user)
{
    if (strlen(path) > 107) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "UNIX socket path %s too long", path);
        return nullptr;
    }
    auto *server = static_cast<userver *>(calloc(1, sizeof(userver)));
    if (!server) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    server->ops = *ops;
    server->user = user;
    server->locks = locks > 0 ? locks : 0;
    server->fd = -1;
    list_init(&server->clients);
    list_init(&server->members);
    list_init(&server->holders);
    array_init(&server->buffer, 1);
    server->last_prune = monotonic_ms();
    const char *what = nullptr;
    int on = 1, n;
    umsg_addr addr;
    mode_t old_mask;
    if (array_reserve(&server->buffer, UMSG_PAYLOAD) < 0)
        goto fail;
    server->buffer._count = 0;
    if (sigprocmask(SIG_SETMASK, nullptr, &server->sigmask) < 0) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "Failed to get signal mask: %s", strerror(errno));
        goto fail;
    }
    n = pid ? snprintf(server->path, sizeof(server->path), "%s.%u", path, pid)
            : snprintf(server->path, sizeof(server->path), "%s", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(server->path)) {
        server->path[0] = '\0';
        ulog(LOG_COMP_IPC, ULOG_ERROR, "UNIX socket path %s too long", path);
        goto fail;
    }
    server->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (server->fd < 0) {
        what = "Failed to create UNIX socket: %s";
        goto fail_errno;
    }
    if (setsockopt(server->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0) {
        what = "Failed to set SO_PASSCRED: %s";
        goto fail_errno;
    }
    unlink(server->path);
    if (pid)
        umsg_prune_stale_sockets(path);
    umsg_address(&addr, server->path);
    old_mask = umask(0);
    n = bind(server->fd, reinterpret_cast<sockaddr *>(&addr.sun), addr.len);
    umask(old_mask);
    if (n < 0) {
        server->path[0] = '\0'; // not ours to remove
        what = "Failed to bind UNIX socket: %s";
        goto fail_errno;
    }
    ulog(LOG_COMP_IPC, ULOG_DEBUG, "IPC server listening on %s", server->path);
    return server;

fail_errno:
    ulog(LOG_COMP_IPC, ULOG_ERROR, what, strerror(errno));
fail:
    userver_close(server);
    return nullptr;
}

void userver_close(userver *server)
{
    if (!server)
        return;
    if (server->fd >= 0)
        close(server->fd);
    for (list_link *l : list_for_each_safe(&server->members)) {
        auto *m = container_of(l, &userver_member::member);
        list_remove(&m->member);
        if (!list_isempty(&m->link))
            list_remove(&m->link);
        close(m->fd);
        free(m);
    }
    free_holders(server);
    for (list_link *l : list_for_each_safe(&server->clients)) {
        list_remove(l);
    }
    array_purge(&server->buffer);
    userver_unlink_path(server);
    free(server);
}

void userver_unlink_path(userver *server)
{
    if (server->path[0])
        unlink(server->path);
    server->path[0] = '\0';
}

int userver_fd(const userver *server)
{
    return server->fd;
}

void userver_process_cb(void *server, int)
{
    userver_process(static_cast<userver *>(server));
}

void userver_handle(userver *server, const umsghdr *hdr, uint8_t *payload, size_t len,
                    const umsg_addr *peer, const umsg_cred *cred, int passfd)
{
    bool trusted = cred->uid == getuid() || cred->gid == getgid();
    if (hdr->type != UMSG_JOIN && passfd >= 0) {
        close(passfd); // only a join may bring a descriptor
        passfd = -1;
    }
    // Answers are never fragments of requests: a client sends one datagram.
    if (hdr->flags & (UMSG_F_ACK | UMSG_F_NAK | UMSG_F_MORE)) {
        if (passfd >= 0)
            close(passfd);
        return;
    }
    switch (hdr->type) {
    case UMSG_REQUEST:
        if (hdr->flags & UMSG_F_WANT_ACK)
            handle_request(server, hdr, len, trusted, peer);
        else if (trusted && server->ops.message)
            server->ops.message(server->user, len ? payload : nullptr, len);
        break;
    case UMSG_JOIN:
        handle_join(server, hdr, payload, len, peer, passfd);
        break;
    case UMSG_LEAVE:
        userver_leave_group(server, peer, payload, len);
        answer(server, hdr, true, nullptr, 0, peer);
        break;
    case UMSG_LOCK:
        if (trusted)
            lock(server, cred);
        answer(server, hdr, trusted, nullptr, 0, peer);
        break;
    case UMSG_UNLOCK:
        if (trusted)
            unlock(server, cred);
        answer(server, hdr, trusted, nullptr, 0, peer);
        break;
    case UMSG_HEALTH:
        answer(server, hdr, health(server), nullptr, 0, peer);
        break;
    case UMSG_GET_LOG: {
        log_cfg merged = log_config;
        bool ok = true;
        for (list_link *l = server->clients._next; l != &server->clients; l = l->_next) {
            uint8_t raw[12];
            if (uclient_get_log(container_of(l, &uclient::link), raw) < 0) {
                ok = false;
                break;
            }
            log_cfg c;
            memcpy(&c, raw, sizeof(c));
            merged.level = c.level > merged.level ? c.level : merged.level;
            merged.format |= c.format;
            static const uint8_t zero[6] = {};
            if (memcmp(c.trace_mac, zero, 6) != 0)
                memcpy(merged.trace_mac, c.trace_mac, 6);
            merged.components |= c.components;
        }
        answer(server, hdr, ok, &merged, sizeof(merged), peer);
        break;
    }
    case UMSG_SET_LOG: {
        bool ok = trusted && len >= sizeof(log_cfg);
        for (list_link *l = server->clients._next; ok && l != &server->clients; l = l->_next)
            if (uclient_set_log(container_of(l, &uclient::link), payload) < 0)
                ok = false;
        if (ok) {
            log_cfg c;
            memcpy(&c, payload, sizeof(c));
            c.components &= LOG_COMP_ALL;
            log_config = c;
        }
        answer(server, hdr, ok, nullptr, 0, peer);
        break;
    }
    default:
        ulog(LOG_COMP_IPC, ULOG_DEBUG, "Bad UNIX socket IPC message type %u", hdr->type);
        break;
    }
}

int userver_process(userver *server)
{
    ssize_t r;
    uint64_t last_check = monotonic_ms();
    for (;;) {
        umsghdr hdr;
        umsg_addr peer = {};
        umsg_cred cred;
        int passfd = -1;
        // While locked only IPC is served; the wait wakes now and then to
        // release locks of holders that have gone.
        int wait = server->locks ? static_cast<int>(USERVER_LOCK_CHECK_SEC) : 0;
        r = umsg_recv(server->fd, &hdr, server->buffer._buffer, UMSG_PAYLOAD, wait, &server->sigmask,
                      &peer, &cred, &passfd);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                ulog(LOG_COMP_IPC, ULOG_DEBUG, "Failed to read from UNIX socket: %s",
                     strerror(errno));
            }
        } else {
            userver_handle(server, &hdr, static_cast<uint8_t *>(server->buffer._buffer),
                           static_cast<size_t>(r) - sizeof(hdr), &peer, &cred, passfd);
        }
        if (server->locks == 0)
            break;
        // A busy socket must not keep a vanished holder's lock alive either.
        uint64_t now = monotonic_ms();
        if (now - last_check >= USERVER_LOCK_CHECK_SEC * 1000) {
            release_gone_holders(server);
            last_check = now;
        }
    }
    prune(server);
    return static_cast<int>(r);
}

void userver_attach_client(userver *server, uclient *client)
{
    if (!list_isnull(&client->link) && !list_isempty(&client->link))
        list_remove(&client->link);
    list_append(&server->clients, &client->link);
}

int userver_notify(userver *server, userver_member *member, const void *payload, size_t len)
{
    if (umsg_send(member->fd, UMSG_REQUEST, 0, 0, payload, len, nullptr, nullptr, -1, MSG_DONTWAIT) < 0) {
        server->dropped++;
        return -1;
    }
    return 0;
}

void userver_leave_group(userver *server, const umsg_addr *addr, const uint8_t *key, size_t len)
{
    for (list_link *l : list_for_each_safe(&server->members)) {
        auto *m = container_of(l, &userver_member::member);
        if (same_addr(&m->addr, addr) && m->keylen == len && (len == 0 || memcmp(m->key, key, len) == 0))
            member_free(server, m, "left multicast group");
    }
}

// Runs from the signal path: no allocator calls here; stale holders are
// dropped by the next lock.
void userver_clear_locks(userver *server)
{
    server->locks = 0;
}
