// Answering peers that read slowly, or not at all.
//
// Every answer leaves from the one server socket, and the kernel charges a
// datagram to its sender until the receiver reads it: a client connected to
// us may leave any number unread, and once they fill the socket's send buffer
// no other peer gets an answer. The kernel tells only the total (SIOCOUTQ),
// not who holds what. So the server keeps a ledger:
//
// - Each peer it answers has a record with its charge, the kernel bytes of the
//   datagrams sent to it (estimated from their size). When the measured queue
//   is below the sum of the charges, the difference has been read; it is
//   credited to the peers most recently sent to first: a peer that reads at
//   all reads what it just got, a peer that never reads keeps its oldest
//   datagrams and its charge. Measured bytes beyond the ledger count against
//   everyone. The queue is measured only when a send would cross a limit, on
//   each pacing step, and when records run out; not per answer.
// - Limits, from the send buffer S (4 MiB where we may force it): untrusted
//   peers share at most S/2, and one untrusted user (kernel-checked uid, over
//   at most 8 records) at most S/8; a trusted peer at most S/4, trusted peers
//   all of S. So no other user can keep our own clients and health checks
//   from their answers, and one hostile user takes at most its S/8 from the
//   others. A peer that could frame another by always being answered just
//   after it would get the other's credit, but never more than these shares.
// - What cannot go now waits in the peer's record: one reply per peer (its
//   later requests are dropped until that is out), one per untrusted user, at
//   most 512 MiB in all (a larger reply is refused before it is built). A
//   large reply built in the receive buffer moves into the record and the
//   server takes a fresh buffer. A pacing timer (1 ms, backing off to 64 ms
//   while nothing moves) sends on what the limits let through as peers read,
//   from the event loop: socket and timer sit under the one epoll descriptor
//   the loop watches. A reply that has not moved for 5 s is dropped, logged.
// - Records are 64, taken when a peer is first answered and given back when
//   its charge and reply are gone; the prune gives back those whose socket no
//   longer exists, in the same pass over /proc/net/unix as for the members.
//
// Cost per answer: a walk over the records (the peer just used is first) and
// a little arithmetic per datagram; one ioctl when a limit is near.
#include "common/userver.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "common/log.h"
#include "common/sockaddr.h"
#include "common/timer.h"
#include "common/uclient.h"

namespace {

// Who a datagram came from, as far as answering it goes.
struct origin {
    const umsg_addr *addr;
    uint32_t uid;
    bool trusted;
};

bool same_addr(const umsg_addr *a, const umsg_addr *b)
{
    return a->len == b->len && memcmp(&a->sun, &b->sun, a->len) == 0;
}

// The log source of lines about a peer.
struct log_source_scope {
    uint32_t saved;
    explicit log_source_scope(uint32_t uid, bool trusted) : saved(log_source)
    {
        log_source = trusted ? LOG_SOURCE_TRUSTED : uid;
    }
    ~log_source_scope() { log_source = saved; }
};

// ---- the ledger

userver_peer *peer_find(userver *server, const umsg_addr *addr)
{
    for (userver_peer *p : list_records<&userver_peer::link>(&server->active))
        if (same_addr(&p->addr, addr))
            return p;
    return nullptr;
}

uint32_t uid_records(const userver *server, uint32_t uid)
{
    uint32_t n = 0;
    for (userver_peer *p : list_records<&userver_peer::link>(&server->active))
        n += !p->trusted && p->uid == uid;
    return n;
}

size_t uid_charge(const userver *server, uint32_t uid)
{
    size_t n = 0;
    for (userver_peer *p : list_records<&userver_peer::link>(&server->active))
        if (!p->trusted && p->uid == uid)
            n += p->charge;
    return n;
}

bool uid_holds_reply(const userver *server, uint32_t uid)
{
    for (userver_peer *p : list_records<&userver_peer::link>(&server->active))
        if (!p->trusted && p->uid == uid && p->has_pending)
            return true;
    return false;
}

void peer_drop_pending(userver *server, userver_peer *p)
{
    if (!p->has_pending)
        return;
    server->held -= array_length(&p->pending);
    array_purge(&p->pending);
    p->has_pending = false;
    server->waiting--;
}

void peer_free(userver *server, userver_peer *p)
{
    peer_drop_pending(server, p);
    server->charge -= p->charge;
    p->charge = 0;
    list_remove(&p->link);
    list_append(&server->free_peers, &p->link);
}

void peer_free_if_idle(userver *server, userver_peer *p)
{
    if (p && !p->charge && !p->has_pending)
        peer_free(server, p);
}

// A record for the origin: its own, or a free one. Null when an untrusted user
// has all it may have, or none is free even after the queue was measured.
void credit(userver *server);

userver_peer *peer_take(userver *server, const origin &o)
{
    if (userver_peer *p = peer_find(server, o.addr)) {
        // Root may send another's credentials from the same socket.
        p->uid = o.uid;
        p->trusted = o.trusted;
        return p;
    }
    // Records whose answers were read go back on a measure of the queue.
    bool full = !o.trusted && uid_records(server, o.uid) >= USERVER_PEERS_PER_UID;
    if (full || list_isempty(&server->free_peers)) {
        credit(server);
        if (!o.trusted && uid_records(server, o.uid) >= USERVER_PEERS_PER_UID)
            return nullptr;
    }
    userver_peer *p = list_first_record<&userver_peer::link>(&server->free_peers);
    if (!p)
        return nullptr;
    list_remove(&p->link);
    list_insert_head(&server->active, &p->link);
    p->addr = *o.addr;
    p->uid = o.uid;
    p->trusted = o.trusted;
    p->charge = 0;
    p->has_pending = false;
    return p;
}

// Measures the queue and credits what was read, most recently sent to first.
void credit(userver *server)
{
    int queued = 0;
    if (ioctl(server->fd, SIOCOUTQ, &queued) < 0 || queued < 0)
        return;
    size_t outq = static_cast<size_t>(queued);
    if (server->charge > outq) {
        size_t excess = server->charge - outq;
        for (userver_peer *p : list_records_safe<&userver_peer::link>(&server->active)) {
            size_t take = std::min(excess, p->charge);
            p->charge -= take;
            server->charge -= take;
            excess -= take;
            peer_free_if_idle(server, p);
            if (!excess)
                break;
        }
    }
    server->unattributed = outq > server->charge ? outq - server->charge : 0;
}

size_t at_least_two_datagrams(size_t limit)
{
    return std::max(limit, 2 * userver_datagram_cost(UMSG_DATAGRAM));
}

bool fits(const userver *server, const userver_peer *p, const origin &o, size_t cost)
{
    size_t used = server->charge + server->unattributed;
    size_t share = o.trusted ? server->sndbuf : server->sndbuf / 2;
    if (used + cost > at_least_two_datagrams(share))
        return false;
    if (o.trusted)
        return (p ? p->charge : 0) + cost <= at_least_two_datagrams(server->sndbuf / 4);
    return uid_charge(server, o.uid) + cost <= at_least_two_datagrams(server->sndbuf / 8);
}

bool room(userver *server, const userver_peer *p, const origin &o, size_t cost)
{
    if (fits(server, p, o, cost))
        return true;
    credit(server);
    return fits(server, p, o, cost);
}

void charge(userver *server, userver_peer *p, size_t cost)
{
    if (!p)
        return; // a trusted peer beyond the records: the next measure sees it
    p->charge += cost;
    server->charge += cost;
    if (list_first(&server->active) != &p->link) {
        list_remove(&p->link);
        list_insert_head(&server->active, &p->link);
    }
}

void pace(userver *server, uint32_t ms)
{
    itimerspec its = {};
    its.it_value.tv_sec = ms / 1000;
    its.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    if (timerfd_settime(server->timer_fd, 0, &its, nullptr) == 0)
        server->pace_ms = ms;
}

// Sends datagrams of a message from *off while the limits let them go.
// 1 when it is all out, 0 when the rest must wait, -1 on a send error.
int send_parts(userver *server, userver_peer *p, const origin &o, const umsghdr &h,
               const uint8_t *payload, size_t len, size_t *off)
{
    for (;;) {
        size_t part = std::min(len - *off, static_cast<size_t>(UMSG_PAYLOAD));
        bool last = *off + part == len;
        size_t cost = userver_datagram_cost(sizeof(umsghdr) + part);
        if (!room(server, p, o, cost))
            return 0;
        uint8_t flags = last ? h.flags : static_cast<uint8_t>(h.flags | UMSG_F_MORE);
        if (umsg_send(server->fd, h.type, flags, umsg_seq(&h), payload + *off, part, o.addr, nullptr,
                      -1, MSG_DONTWAIT) < 0)
            return errno == EAGAIN || errno == ENOBUFS ? 0 : -1;
        charge(server, p, cost);
        *off += part;
        if (last)
            return 1;
    }
}

void drop(userver *server, const origin &o, const char *what, size_t len, const char *why)
{
    char name[110];
    server->dropped++;
    log_source_scope scope(o.uid, o.trusted);
    ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "Dropping %s IPC client %s: %s (%zu bytes)", what,
                   umsg_addr_text(o.addr, name), why, len);
}

// Keeps the rest of a message in the peer's record for the pacing timer.
void hold(userver *server, userver_peer *p, const origin &o, const umsghdr &h,
          const uint8_t *payload, size_t len, size_t off)
{
    if (!p) {
        drop(server, o, "reply to", len, "too many peers waiting");
        return;
    }
    if (server->held + len > USERVER_HELD_MAX || (!o.trusted && uid_holds_reply(server, o.uid))) {
        drop(server, o, "reply to", len, "too many replies waiting");
        peer_free_if_idle(server, p);
        return;
    }
    Ary *buf = &server->buffer;
    if (len > USERVER_SMALL_REPLY && payload == array_data<uint8_t>(buf)) {
        // A large reply built in the receive buffer moves; the server starts afresh.
        Ary fresh;
        array_init(&fresh, 1);
        if (array_reserve(&fresh, UMSG_PAYLOAD) < 0) {
            drop(server, o, "reply to", len, strerror(ENOMEM));
            peer_free_if_idle(server, p);
            return;
        }
        p->pending = *buf;
        array_truncate(&p->pending, static_cast<uint32_t>(len));
        *buf = fresh;
    } else {
        array_init(&p->pending, 1);
        if (len && array_reserve(&p->pending, static_cast<uint32_t>(len)) < 0) {
            array_purge(&p->pending);
            drop(server, o, "reply to", len, strerror(ENOMEM));
            peer_free_if_idle(server, p);
            return;
        }
        if (len)
            memcpy(array_data<uint8_t>(&p->pending), payload, len);
    }
    p->has_pending = true;
    p->hdr = h;
    p->sent = off;
    p->progress_ms = monotonic_ms();
    server->held += len;
    server->waiting++;
    if (!server->pace_ms)
        pace(server, USERVER_PACE_MS);
}

// Sends a message to a peer, all of it if the limits allow, the rest later.
void deliver(userver *server, const origin &o, const umsghdr &h, const uint8_t *payload, size_t len)
{
    userver_peer *p = peer_take(server, o);
    if (!p && !o.trusted) {
        drop(server, o, "answer to", len, "too many peers of its user");
        return;
    }
    if (p && p->has_pending) {
        drop(server, o, "answer to", len, "an earlier reply is still going out");
        return;
    }
    size_t off = 0;
    int r = send_parts(server, p, o, h, payload, len, &off);
    if (r < 0) {
        drop(server, o, "answer to", len, strerror(errno));
        peer_free_if_idle(server, p);
    } else if (r == 0) {
        hold(server, p, o, h, payload, len, off);
    } else {
        peer_free_if_idle(server, p);
    }
}

void answer(userver *server, const umsghdr *req, bool ok, const void *payload, size_t len,
            const origin &o)
{
    umsghdr h = {req->type, ok ? UMSG_F_ACK : UMSG_F_NAK, {req->seq[0], req->seq[1]}};
    deliver(server, o, h, static_cast<const uint8_t *>(payload), len);
}

// ---- members, locks and the rest of the protocol

void member_free(userver *server, userver_member *m, const char *what)
{
    char name[110];
    ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s %s", umsg_addr_text(&m->addr, name), what);
    list_remove(&m->member);
    if (!list_isnull(&m->link) && !list_isempty(&m->link))
        list_remove(&m->link);
    close(m->fd);
    free(m);
    server->nmembers--;
}

uint32_t uid_members(const userver *server, uint32_t uid)
{
    uint32_t n = 0;
    for (userver_member *m : list_records<&userver_member::member>(&server->members))
        n += !m->trusted && m->uid == uid;
    return n;
}

userver_holder *find_holder(userver *server, int32_t pid)
{
    for (userver_holder *h : list_records<&userver_holder::link>(&server->holders))
        if (h->pid == pid)
            return h;
    return nullptr;
}

void free_holders(userver *server)
{
    for (userver_holder *h : list_records_safe<&userver_holder::link>(&server->holders)) {
        list_remove(&h->link);
        free(h);
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
    for (userver_holder *h : list_records<&userver_holder::link>(&server->holders))
        held += h->count;
    userver_holder *h = find_holder(server, cred->pid);
    if (!h && held >= server->locks)
        h = list_first_record<&userver_holder::link>(&server->holders);
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
    for (userver_holder *h : list_records_safe<&userver_holder::link>(&server->holders)) {
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
                 const origin &o, int passfd)
{
    char name[110];
    int err = 0;
    userver_member *m = nullptr;
    if (passfd < 0) {
        err = EBADF;
    } else {
        userver_leave_group(server, o.addr, key, len);
        // Each member holds a descriptor: neither one user nor all together may
        // take what the process needs for its own sockets.
        if (server->nmembers >= server->max_members ||
            (!o.trusted && uid_members(server, o.uid) >= USERVER_MEMBERS_PER_UID))
            err = ENOSPC;
        else if (!(m = static_cast<userver_member *>(calloc(1, sizeof(userver_member) + len))))
            err = ENOMEM;
    }
    if (m) {
        m->addr = *o.addr;
        list_init(&m->link);
        m->fd = passfd;
        m->uid = o.uid;
        m->trusted = o.trusted;
        m->keylen = len;
        if (len)
            memcpy(m->key, key, len);
        if (!server->ops.subscribe || server->ops.subscribe(server->user, &m->link, key, len) < 0)
            err = EOPNOTSUPP;
    }
    if (err) {
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s failed to join multicast group: %s",
                       umsg_addr_text(o.addr, name), strerror(err));
        if (m && !list_isempty(&m->link))
            list_remove(&m->link);
        free(m);
        if (passfd >= 0)
            close(passfd);
        answer(server, hdr, false, nullptr, 0, o);
        return;
    }
    list_append(&server->members, &m->member);
    server->nmembers++;
    ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "IPC client %s joined multicast group",
                   umsg_addr_text(o.addr, name));
    answer(server, hdr, true, nullptr, 0, o);
}

// Whether a reply of this size may be built: one that may have to wait is
// held only within the limits on waiting replies.
bool may_hold(const userver *server, const origin &o, size_t size)
{
    if (size > UMSG_REPLY_MAX)
        return false;
    if (size <= USERVER_SMALL_REPLY)
        return true;
    return server->held + size <= USERVER_HELD_MAX && (o.trusted || !uid_holds_reply(server, o.uid));
}

void handle_request(userver *server, const umsghdr *hdr, size_t len, const origin &o)
{
    Ary *buf = &server->buffer;
    size_t cap = len;
    int reply = -1;
    for (;;) {
        // Whatever the capacity, the buffer is real: an empty request too.
        reply = server->ops.request
                    ? server->ops.request(server->user, array_data<uint8_t>(buf), len, cap, o.trusted)
                    : -1;
        if (reply < 0 || static_cast<size_t>(reply) <= cap)
            break;
        size_t want = static_cast<size_t>(reply);
        size_t had = array_length(buf);
        if (!may_hold(server, o, want) || array_reserve(buf, static_cast<uint32_t>(want)) < 0) {
            answer(server, hdr, false, nullptr, 0, o);
            return;
        }
        // Bytes past the offered capacity may hold an earlier request's.
        if (had > cap)
            memset(array_at<uint8_t>(buf, static_cast<uint32_t>(cap)), 0, std::min(had, want) - cap);
        cap = want;
    }
    if (reply < 0)
        answer(server, hdr, false, nullptr, 0, o);
    else
        answer(server, hdr, true, array_data<uint8_t>(buf), static_cast<size_t>(reply), o);
}

bool health(userver *server)
{
    bool ok = server->locks == 0;
    for (uclient *c : list_records<&uclient::link>(&server->clients))
        if (!uclient_health_check(c))
            ok = false;
    if (server->ops.health && server->ops.health(server->user) < 0)
        ok = false;
    return ok;
}

bool answered(const umsghdr *hdr)
{
    return hdr->type != UMSG_REQUEST || (hdr->flags & UMSG_F_WANT_ACK);
}

// ---- pruning: members and records of peers whose socket has gone

struct prune_name {
    char text[UNIX_TABLE_NAME];
    size_t len;
    bool *seen;
};

int prune_compare(const void *a, const void *b)
{
    auto *x = static_cast<const prune_name *>(a);
    auto *y = static_cast<const prune_name *>(b);
    std::string_view u(x->text, x->len), v(y->text, y->len);
    return u < v ? -1 : u > v ? 1 : 0;
}

struct prune_scan {
    Ary *names;
};

void prune_seen(void *user, std::string_view name)
{
    Ary *names = static_cast<prune_scan *>(user)->names;
    if (name.size() > UNIX_TABLE_NAME)
        return;
    prune_name key;
    memcpy(key.text, name.data(), name.size());
    key.len = name.size();
    auto *first = array_data<prune_name>(names);
    uint32_t count = array_length(names);
    auto *hit = static_cast<prune_name *>(
        bsearch(&key, first, count, sizeof(prune_name), prune_compare));
    if (!hit)
        return;
    // Equal names sit side by side: mark them all.
    size_t at = static_cast<size_t>(hit - first);
    for (size_t i = at; i < count && !prune_compare(&first[i], &key); i++)
        *first[i].seen = true;
    for (size_t i = at; i-- > 0 && !prune_compare(&first[i], &key);)
        *first[i].seen = true;
}

bool add_name(Ary *names, const umsg_addr *addr, bool *seen)
{
    auto *n = array_push<prune_name>(names);
    if (!n)
        return false;
    n->len = unix_socket_table_name(&addr->sun, addr->len, n->text);
    n->seen = seen;
    *seen = false;
    return true;
}

void prune(userver *server)
{
    uint64_t now = monotonic_ms();
    if (now - server->last_prune <= USERVER_PRUNE_MS)
        return;
    server->last_prune = now;
    if (list_isempty(&server->members) && list_isempty(&server->active))
        return;
    // One pass over the socket table, however many members there are.
    Ary names;
    array_init(&names, sizeof(prune_name));
    bool ok = true;
    for (userver_member *m : list_records<&userver_member::member>(&server->members))
        ok = ok && add_name(&names, &m->addr, &m->seen);
    for (userver_peer *p : list_records<&userver_peer::link>(&server->active))
        ok = ok && add_name(&names, &p->addr, &p->seen);
    if (ok) {
        qsort(array_data<prune_name>(&names), array_length(&names), sizeof(prune_name),
              prune_compare);
        prune_scan scan = {&names};
        ok = unix_socket_table_scan("/proc/net/unix", prune_seen, &scan) == 0;
    }
    array_purge(&names);
    if (!ok)
        return; // nothing is taken for gone on a table we could not read
    for (userver_member *m : list_records_safe<&userver_member::member>(&server->members)) {
        if (!m->seen) {
            log_source_scope scope(m->uid, m->trusted);
            member_free(server, m, "pruned from multicast group");
        }
    }
    for (userver_peer *p : list_records_safe<&userver_peer::link>(&server->active))
        if (!p->seen)
            peer_free(server, p);
}

// ---- the pacing timer

void flush(userver *server)
{
    if (!server->pace_ms)
        return; // the timer is not running: nothing waits
    uint64_t expirations;
    if (read(server->timer_fd, &expirations, sizeof(expirations)) < 0)
        return; // not yet due
    if (!server->waiting) {
        pace(server, 0);
        return;
    }
    uint64_t now = monotonic_ms();
    credit(server);
    bool moved = false;
    for (userver_peer *p : list_records_safe<&userver_peer::link>(&server->active)) {
        if (!p->has_pending)
            continue;
        origin o = {&p->addr, p->uid, p->trusted};
        size_t before = p->sent;
        size_t len = array_length(&p->pending);
        int r = send_parts(server, p, o, p->hdr, array_data<uint8_t>(&p->pending), len, &p->sent);
        if (r < 0) {
            drop(server, o, "reply to", len, strerror(errno));
            peer_drop_pending(server, p);
        } else if (r > 0) {
            peer_drop_pending(server, p);
            moved = true;
        } else if (p->sent != before) {
            p->progress_ms = now;
            moved = true;
        } else if (now - p->progress_ms >= server->stall_ms) {
            drop(server, o, "reply to", len, "it stopped reading");
            peer_drop_pending(server, p);
        }
        peer_free_if_idle(server, p);
    }
    if (!server->waiting)
        pace(server, 0);
    else
        pace(server, moved ? USERVER_PACE_MS
                           : std::min<uint32_t>(server->pace_ms * 2, USERVER_PACE_MAX_MS));
}

// Waits for the socket or the timer, the signal mask of creation in force.
void wait_readable(userver *server, int sec)
{
    pollfd p = {server->wait_fd, POLLIN, 0};
    timespec ts = {sec, 0};
    ppoll(&p, 1, &ts, &server->sigmask);
}

uint32_t member_limit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) < 0 || rl.rlim_cur == RLIM_INFINITY)
        return USERVER_MAX_MEMBERS;
    return static_cast<uint32_t>(std::min<rlim_t>(USERVER_MAX_MEMBERS, rl.rlim_cur / 4));
}

} // namespace

size_t userver_datagram_cost(size_t n)
{
    // The socket buffer's own overhead and the data rounded up to its slab.
    return 256 + std::max<size_t>(512, std::bit_ceil(n + 320));
}

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
    server->fd = server->wait_fd = server->timer_fd = -1;
    server->max_members = member_limit();
    server->stall_ms = USERVER_STALL_MS;
    list_init(&server->clients);
    list_init(&server->members);
    list_init(&server->holders);
    list_init(&server->active);
    list_init(&server->free_peers);
    for (userver_peer &p : server->peers)
        list_append(&server->free_peers, &p.link);
    array_init(&server->buffer, 1);
    server->last_prune = monotonic_ms();
    const char *what = nullptr;
    int on = 1, n, size = USERVER_SNDBUF;
    socklen_t size_len = sizeof(size);
    umsg_addr addr;
    mode_t old_mask;
    epoll_event ev = {};
    if (array_reserve(&server->buffer, UMSG_PAYLOAD) < 0) {
        ulog(LOG_COMP_IPC, ULOG_ERROR, "Memory allocation failed");
        goto fail;
    }
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
    // Room for answers to many peers; beyond the system's maximum only with
    // the privilege to force it, else what the maximum allows.
    if (setsockopt(server->fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof(size)) < 0)
        setsockopt(server->fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (getsockopt(server->fd, SOL_SOCKET, SO_SNDBUF, &size, &size_len) < 0 || size <= 0) {
        what = "Failed to get SO_SNDBUF: %s";
        goto fail_errno;
    }
    server->sndbuf = static_cast<size_t>(size);
    server->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    server->wait_fd = epoll_create1(EPOLL_CLOEXEC);
    if (server->timer_fd < 0 || server->wait_fd < 0) {
        what = "Failed to create IPC pacing timer: %s";
        goto fail_errno;
    }
    ev.events = EPOLLIN;
    ev.data.fd = server->fd;
    if (epoll_ctl(server->wait_fd, EPOLL_CTL_ADD, server->fd, &ev) < 0) {
        what = "Failed to create IPC pacing timer: %s";
        goto fail_errno;
    }
    ev.data.fd = server->timer_fd;
    if (epoll_ctl(server->wait_fd, EPOLL_CTL_ADD, server->timer_fd, &ev) < 0) {
        what = "Failed to create IPC pacing timer: %s";
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
    for (int fd : {server->fd, server->wait_fd, server->timer_fd})
        if (fd >= 0)
            close(fd);
    for (userver_member *m : list_records_safe<&userver_member::member>(&server->members)) {
        list_remove(&m->member);
        if (!list_isempty(&m->link))
            list_remove(&m->link);
        close(m->fd);
        free(m);
    }
    for (userver_peer *p : list_records_safe<&userver_peer::link>(&server->active))
        peer_free(server, p);
    free_holders(server);
    for (list_link *l : list_for_each_safe(&server->clients))
        list_remove(l);
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
    return server->wait_fd;
}

void userver_process_cb(void *server, int)
{
    userver_process(static_cast<userver *>(server));
}

void userver_handle(userver *server, const umsghdr *hdr, uint8_t *payload, size_t len,
                    const umsg_addr *peer, const umsg_cred *cred, int passfd)
{
    origin o = {peer, cred->uid, cred->uid == getuid() || cred->gid == getgid()};
    log_source_scope scope(o.uid, o.trusted);
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
    // Nothing is done that cannot be answered: a peer needs a record, and one
    // whose last reply is still going out gets nothing more until it is out.
    if (answered(hdr) && hdr->type <= UMSG_SET_LOG) {
        userver_peer *p = peer_take(server, o);
        const char *why = !p && !o.trusted      ? "too many peers of its user"
                          : p && p->has_pending ? "its previous reply is still going out"
                                                : nullptr;
        if (why) {
            drop(server, o, "request from", len, why);
            if (passfd >= 0)
                close(passfd);
            return;
        }
    }
    switch (hdr->type) {
    case UMSG_REQUEST:
        if (hdr->flags & UMSG_F_WANT_ACK)
            handle_request(server, hdr, len, o);
        else if (o.trusted && server->ops.message)
            server->ops.message(server->user, len ? payload : nullptr, len);
        break;
    case UMSG_JOIN:
        handle_join(server, hdr, payload, len, o, passfd);
        break;
    case UMSG_LEAVE:
        userver_leave_group(server, peer, payload, len);
        answer(server, hdr, true, nullptr, 0, o);
        break;
    case UMSG_LOCK:
        if (o.trusted)
            lock(server, cred);
        answer(server, hdr, o.trusted, nullptr, 0, o);
        break;
    case UMSG_UNLOCK:
        if (o.trusted)
            unlock(server, cred);
        answer(server, hdr, o.trusted, nullptr, 0, o);
        break;
    case UMSG_HEALTH:
        answer(server, hdr, health(server), nullptr, 0, o);
        break;
    case UMSG_GET_LOG: {
        log_cfg merged = log_config;
        bool ok = true;
        for (uclient *c : list_records<&uclient::link>(&server->clients)) {
            uint8_t raw[12];
            if (uclient_get_log(c, raw) < 0) {
                ok = false;
                break;
            }
            log_cfg got;
            memcpy(&got, raw, sizeof(got));
            merged.level = got.level > merged.level ? got.level : merged.level;
            merged.format |= got.format;
            static const uint8_t zero[6] = {};
            if (memcmp(got.trace_mac, zero, 6) != 0)
                memcpy(merged.trace_mac, got.trace_mac, 6);
            merged.components |= got.components;
        }
        answer(server, hdr, ok, &merged, sizeof(merged), o);
        break;
    }
    case UMSG_SET_LOG: {
        bool ok = o.trusted && len >= sizeof(log_cfg);
        for (uclient *c : list_records<&uclient::link>(&server->clients)) {
            if (!ok)
                break;
            if (uclient_set_log(c, payload) < 0)
                ok = false;
        }
        if (ok) {
            log_cfg c;
            memcpy(&c, payload, sizeof(c));
            c.components &= LOG_COMP_ALL;
            log_config = c;
        }
        answer(server, hdr, ok, nullptr, 0, o);
        break;
    }
    default:
        ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "Bad UNIX socket IPC message type %u", hdr->type);
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
        if (server->locks)
            wait_readable(server, USERVER_LOCK_CHECK_SEC);
        r = umsg_recv(server->fd, &hdr, array_data<uint8_t>(&server->buffer), UMSG_PAYLOAD, 0,
                      &server->sigmask, &peer, &cred, &passfd);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                // A datagram too long or too short is the sender's doing.
                bool trusted = cred.uid == getuid() || cred.gid == getgid();
                log_source_scope scope(cred.uid, trusted || errno != EMSGSIZE);
                ulog_untrusted(LOG_COMP_IPC, ULOG_DEBUG, "Failed to read from UNIX socket: %s",
                               strerror(errno));
            }
        } else {
            userver_handle(server, &hdr, array_data<uint8_t>(&server->buffer),
                           static_cast<size_t>(r) - sizeof(hdr), &peer, &cred, passfd);
        }
        flush(server);
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

void userver_flush(userver *server)
{
    flush(server);
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
    for (userver_member *m : list_records_safe<&userver_member::member>(&server->members)) {
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
