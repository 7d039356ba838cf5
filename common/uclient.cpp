#include "common/uclient.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <unistd.h>

#include "common/log.h"

namespace {

const umsghdr *header(const uclient *client)
{
    if (client->head_len) return reinterpret_cast<const umsghdr *>(client->head);
    return array_data<const umsghdr>(&client->buffer);
}

// The payload of the message in the buffer, after its header.
const uint8_t *payload_of(const uclient *client)
{
    return array_at<const uint8_t>(&client->buffer, sizeof(umsghdr));
}

} // namespace

uclient *uclient_open(const char *path)
{
    umsg_addr server;
    if (umsg_address(&server, path) < 0) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "UNIX socket path %s too long", path);
        return nullptr;
    }
    auto *client = static_cast<uclient *>(calloc(1, sizeof(uclient)));
    if (!client) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    array_init(&client->buffer, 1);
    list_init(&client->link);
    client->fd = client->event_fd = client->event_pass_fd = -1;
    client->cred = {static_cast<int32_t>(getpid()), geteuid(), getegid()};

    const char *what = nullptr;
    int pair[2];
    timeval tv = {10, 0};
    umsg_addr self = {};
    int n, on = 1;
    if (sigprocmask(SIG_SETMASK, nullptr, &client->sigmask) < 0) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "Failed to get signal mask: %s", strerror(errno));
        goto fail;
    }
    client->fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (client->fd < 0) {
        what = "Failed to create UNIX socket: %s";
        goto fail_errno;
    }
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) < 0) {
        what = "Failed to create unnamed socket pair: %s";
        goto fail_errno;
    }
    client->event_fd = pair[0];
    client->event_pass_fd = pair[1];
    if (setsockopt(client->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
        what = "Failed to set SO_RCVTIMEO: %s";
        goto fail_errno;
    }
    // The server's credentials tell whether to take a reply of any size from it.
    if (setsockopt(client->fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) < 0) {
        what = "Failed to set SO_PASSCRED: %s";
        goto fail_errno;
    }
    // A unique abstract name, bound with its exact length so that it shows in
    // /proc/net/unix as it is.
    self.sun.sun_family = AF_UNIX;
    n = snprintf(self.sun.sun_path + 1, sizeof(self.sun.sun_path) - 1, "%s-%p.%u", path,
                 static_cast<void *>(client), static_cast<unsigned>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(self.sun.sun_path) - 1) {
        errno = ENAMETOOLONG;
        what = "Failed to bind UNIX socket: %s";
        goto fail_errno;
    }
    self.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
    if (bind(client->fd, reinterpret_cast<sockaddr *>(&self.sun), self.len) < 0) {
        what = "Failed to bind UNIX socket: %s";
        goto fail_errno;
    }
    if (umsg_connect(client->fd, path, 1000) < 0) {
        what = "Failed to connect UNIX socket: %s";
        goto fail_errno;
    }
    return client;

fail_errno:
    ulog(LOG_COMP_IPC, ULOG_ERROR, what, strerror(errno));
fail:
    uclient_close(client);
    return nullptr;
}

void uclient_close(uclient *client)
{
    if (!client)
        return;
    if (client->fd >= 0)
        close(client->fd);
    if (client->event_fd >= 0)
        close(client->event_fd);
    if (client->event_pass_fd >= 0)
        close(client->event_pass_fd);
    array_purge(&client->buffer);
    if (!list_isnull(&client->link))
        list_remove(&client->link);
    free(client);
}

int uclient_event_fd(const uclient *client)
{
    return client->event_fd;
}

ssize_t uclient_recv(uclient *client, int fd, int first_wait, int next_wait)
{
    Ary *buf = &client->buffer;
    umsghdr first = {};
    client->head_len = 0;
    size_t total = 0;            // payload bytes gathered
    size_t at = sizeof(umsghdr); // where the next fragment lands in buf
    size_t limit = UMSG_MESSAGE_MAX;
    int wait = first_wait;
    for (;;) {
        if (total > limit) {
            errno = EMSGSIZE;
            return -1;
        }
        if (array_reserve(buf, static_cast<uint32_t>(at + UMSG_PAYLOAD)) < 0) return -1;
        umsghdr h;
        umsg_cred cred;
        ssize_t n = umsg_recv(fd, &h, array_at<uint8_t>(buf, static_cast<uint32_t>(at)),
                              UMSG_PAYLOAD, wait, &client->sigmask, nullptr, &cred, nullptr);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        size_t got = static_cast<size_t>(n) - sizeof(umsghdr);
        if (total == 0 && at == sizeof(umsghdr)) {
            first = h;
            // Only a server of our own or root's may send more than any peer.
            if (cred.uid == 0 || cred.uid == client->cred.uid)
                limit = UMSG_REPLY_MAX;
            // Room for the announced whole plus one fragment, taken without
            // zeroing: a false announcement costs address space only.
            size_t want = (h.flags & UMSG_F_MORE) && client->expect
                              ? client->expect(array_at<uint8_t>(buf, sizeof(umsghdr)), got)
                              : 0;
            if (want > got && want <= limit) {
                size_t bytes = sizeof(umsghdr) + want + UMSG_PAYLOAD;
                if (bytes > buf->_capacity && array_grow(buf, static_cast<uint32_t>(bytes)) < 0)
                    return -1;
                // Every byte is received before it is read: no zeroing first.
                buf->_count = buf->_capacity;
            }
            if ((h.flags & UMSG_F_MORE) && client->split && client->split <= got) {
                // The head aside, the rest from the front of buf: what follows
                // the head is then never moved again.
                uint8_t *base = array_data<uint8_t>(buf);
                client->head_len = sizeof(umsghdr) + client->split;
                memcpy(client->head + sizeof(umsghdr), base + sizeof(umsghdr), client->split);
                memmove(base, base + client->head_len, got - client->split);
                at = 0;
                total = client->split;
                got -= client->split;
            }
        } else if (h.type != first.type || umsg_seq(&h) != umsg_seq(&first)) {
            // A fragment of another message: what we gathered cannot be trusted.
            client->head_len = 0;
            errno = EBADMSG;
            return -1;
        }
        total += got;
        at += got;
        if (client->head_len)
            memcpy(client->head, &h, sizeof(h));
        else
            memcpy(array_data<uint8_t>(buf), &h, sizeof(h));
        if (!(h.flags & UMSG_F_MORE))
            break;
        wait = next_wait;
    }
    array_truncate(buf, static_cast<uint32_t>(at));
    return static_cast<ssize_t>(sizeof(umsghdr) + total);
}

int uclient_transact(uclient *client, const void *payload, size_t len, uint8_t type, int passfd)
{
    if (len > UMSG_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    uint16_t seq = ++client->seq;
    if (umsg_send(client->fd, type, UMSG_F_WANT_ACK, seq, payload, len, nullptr, &client->cred,
                  passfd) < 0)
        return -1;
    for (;;) {
        if (uclient_recv(client, client->fd, UCLIENT_WAIT_SEC) < 0) {
            ulog(LOG_COMP_IPC, ULOG_DEBUG, "Failed to read on UNIX socket: %s", strerror(errno));
            return -1;
        }
        UGW_ASSERT(client->head_len || array_length(&client->buffer) >= sizeof(struct umsghdr));
        const umsghdr *h = header(client);
        uint16_t got = umsg_seq(h);
        if (h->flags & (UMSG_F_ACK | UMSG_F_NAK)) {
            if (got == seq && h->type == type) {
                if (h->flags & UMSG_F_ACK)
                    return 0;
                errno = EPERM;
                return -1;
            }
            // An answer to a request we never sent: the stream is out of step.
            if (umsg_seq_after(got, seq)) {
                errno = EBADMSG;
                return -1;
            }
            continue; // a late answer to an earlier request
        }
        if (h->type == UMSG_REQUEST)
            ulog(LOG_COMP_IPC, ULOG_DEBUG, "Discarding unexpected IPC event on UNIX socket");
        else
            ulog(LOG_COMP_IPC, ULOG_DEBUG, "Discarding unknown IPC message on UNIX socket");
    }
}

ssize_t uclient_request(uclient *client, const void *payload, size_t len, const uint8_t **reply)
{
    if (uclient_transact(client, payload, len, UMSG_REQUEST, -1) < 0)
        return -1;
    UGW_ASSERT(!client->head_len);
    size_t n = array_length(&client->buffer) - sizeof(umsghdr);
    *reply = n ? payload_of(client) : nullptr;
    return static_cast<ssize_t>(n);
}

ssize_t uclient_request_split(uclient *client, const void *payload, size_t len, size_t split,
                              const uint8_t **head, const uint8_t **rest)
{
    client->split = split <= UMSG_PAYLOAD ? split : 0;
    int r = uclient_transact(client, payload, len, UMSG_REQUEST, -1);
    client->split = 0;
    if (r < 0) return -1;
    size_t n = array_length(&client->buffer);
    if (client->head_len) {
        *head = client->head + sizeof(umsghdr);
        *rest = array_data<const uint8_t>(&client->buffer);
        return static_cast<ssize_t>(client->head_len - sizeof(umsghdr) + n);
    }
    n -= sizeof(umsghdr);
    *head = n ? payload_of(client) : nullptr;
    *rest = nullptr;
    return static_cast<ssize_t>(n);
}

int uclient_send(uclient *client, const void *payload, size_t len)
{
    if (len > UMSG_PAYLOAD) {
        errno = EMSGSIZE;
        return -1;
    }
    return umsg_send(client->fd, UMSG_REQUEST, 0, ++client->seq, payload, len, nullptr,
                     &client->cred, -1);
}

ssize_t uclient_recv_event(uclient *client, const uint8_t **payload)
{
    ssize_t n = uclient_recv(client, client->event_fd, 0);
    if (n < 0)
        return -1;
    const umsghdr *h = header(client);
    if (h->flags & (UMSG_F_ACK | UMSG_F_NAK)) {
        ulog(LOG_COMP_IPC, ULOG_DEBUG, "Discarding unsolicited IPC ACK/NAK on UNIX socket");
        errno = EBADMSG;
        return -1;
    }
    if (h->type != UMSG_REQUEST) {
        ulog(LOG_COMP_IPC, ULOG_DEBUG, "Discarding unknown IPC message on UNIX socket");
        errno = EBADMSG;
        return -1;
    }
    size_t len = static_cast<size_t>(n) - sizeof(umsghdr);
    *payload = len ? payload_of(client) : nullptr;
    return static_cast<ssize_t>(len);
}

int uclient_join_group(uclient *client, const void *key, size_t len)
{
    return uclient_transact(client, key, len, UMSG_JOIN, client->event_pass_fd);
}

int uclient_leave_group(uclient *client, const void *key, size_t len)
{
    return uclient_transact(client, key, len, UMSG_LEAVE, -1);
}

int uclient_lock(uclient *client)
{
    if (uclient_transact(client, nullptr, 0, UMSG_LOCK, -1) == 0)
        return 0;
    if (errno == EAGAIN) {
        // The server may yet take the lock: make sure it is given back.
        int saved = errno;
        umsg_send(client->fd, UMSG_UNLOCK, UMSG_F_WANT_ACK, ++client->seq, nullptr, 0, nullptr,
                  &client->cred, -1, MSG_DONTWAIT);
        errno = saved;
    }
    return -1;
}

int uclient_unlock(uclient *client)
{
    return uclient_transact(client, nullptr, 0, UMSG_UNLOCK, -1);
}

int uclient_health_check(uclient *client)
{
    return uclient_transact(client, nullptr, 0, UMSG_HEALTH, -1) == 0 ? 1 : 0;
}

int uclient_get_log(uclient *client, uint8_t settings[12])
{
    if (uclient_transact(client, nullptr, 0, UMSG_GET_LOG, -1) < 0)
        return -1;
    if (array_length(&client->buffer) < sizeof(umsghdr) + 12) {
        errno = EBADMSG;
        return -1;
    }
    memcpy(settings, payload_of(client), 12);
    return 0;
}

int uclient_set_log(uclient *client, const uint8_t settings[12])
{
    return uclient_transact(client, settings, 12, UMSG_SET_LOG, -1);
}
