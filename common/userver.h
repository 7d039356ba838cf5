// The server side of the local IPC layer: requests answered through callbacks,
// multicast groups of clients, the lock, health checks and log settings.
// How answers reach peers that read slowly, or not at all, is described at
// the top of userver.cpp.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "common/list.h"
#include "common/umsg.h"

struct uclient;

struct userver_ops {
    // Writes the reply over the request buffer; returns the reply length (more
    // than cap asks for a larger buffer and a second call), or -1. The buffer
    // is always real, also for an empty request.
    int (*request)(void *user, uint8_t *payload, size_t len, size_t cap, int trusted);
    void (*message)(void *user, const uint8_t *payload, size_t len);
    int (*subscribe)(void *user, list_link *member_link, const uint8_t *key, size_t len);
    int (*health)(void *user);
};

struct userver_member {
    umsg_addr addr;
    list_link link;   // for the subscribe callback's own use
    list_link member; // in the server's member list
    int fd;           // the event descriptor the member passed, owned
    uint32_t uid;     // of the peer that joined
    bool trusted;
    bool seen;        // found bound by the running prune
    size_t keylen;
    uint8_t key[];
};

// A process holding locks on the server; its locks go when it does. Held per
// process, not per socket: a batch takes the lock on one connection and
// releases it on another.
struct userver_holder {
    list_link link;
    int32_t pid;
    int count;
};

// What the server knows of a peer it has answered: the kernel memory its
// unread answers may still hold, and the reply that is still going out to it.
struct userver_peer {
    list_link link; // in active (most recently sent to first) or in free_peers
    umsg_addr addr;
    uint32_t uid;
    bool trusted;
    bool has_pending;
    bool seen;     // found bound by the running prune
    size_t charge; // kernel bytes of our datagrams it may not have read
    Ary pending;   // the reply's payload, owned
    size_t sent;   // bytes of it gone
    umsghdr hdr;   // type, flags and sequence of its datagrams
    uint64_t progress_ms;
};

enum : uint32_t {
    USERVER_MAX_MEMBERS = 256,     // also at most a quarter of RLIMIT_NOFILE
    USERVER_MEMBERS_PER_UID = 32,  // of an untrusted user
    USERVER_PEERS = 64,
    USERVER_PEERS_PER_UID = 8,     // of an untrusted user
    USERVER_PRUNE_MS = 1000,
    USERVER_LOCK_CHECK_SEC = 1,
    USERVER_SNDBUF = 2 * 1024 * 1024, // asked for; the kernel doubles it
    USERVER_PACE_MS = 1,           // first retry of a reply that is waiting...
    USERVER_PACE_MAX_MS = 64,      // ...backing off while nothing moves
    USERVER_STALL_MS = 5000,       // a reply that cannot move this long is dropped
    USERVER_HELD_MAX = 512 * 1024 * 1024, // bytes of replies held for slow peers
    USERVER_SMALL_REPLY = 64 * 1024, // held without asking
};

struct userver {
    userver_ops ops;
    void *user;
    list_link clients; // attached uclients
    list_link members;
    list_link holders;
    Ary buffer;
    sigset_t sigmask;
    uint64_t last_prune; // monotonic ms
    int locks;           // anonymous locks (from creation) plus those of holders
    int fd;              // the socket
    int wait_fd;         // what the loop watches: the socket and the pacing timer
    int timer_fd;
    uint32_t nmembers;
    uint32_t max_members;
    uint32_t stall_ms;
    uint32_t pace_ms; // the pacing timer's period while it runs, 0 when idle
    uint64_t dropped; // answers, replies and events dropped
    // Answer accounting (see userver.cpp).
    size_t sndbuf;       // the socket's send buffer, kernel bytes
    size_t charge;       // sum of the peers' charges
    size_t unattributed; // unread bytes the ledger cannot put down to a peer
    size_t held;         // bytes of pending replies
    uint32_t waiting;    // peers with a pending reply
    list_link active;
    list_link free_peers;
    userver_peer peers[USERVER_PEERS];
    char path[108];
};

userver *userver_listen(const char *path, unsigned pid, int locks, const userver_ops *ops, void *user);
void userver_close(userver *server);
void userver_unlink_path(userver *server);
// The descriptor to watch for reading: it turns readable when a datagram
// waits or a slow peer's reply may go on. Not the socket itself.
int userver_fd(const userver *server);
void userver_process_cb(void *server, int fd);
// Serves the datagrams that wait (all of them while locked), then sends on
// what replies to slow peers may go. Returns the last receive result.
int userver_process(userver *server);
// Sends on what replies to slow peers may go; for a loop that reads the
// socket itself and hands datagrams to userver_handle.
void userver_flush(userver *server);
void userver_attach_client(userver *server, uclient *client);
int userver_notify(userver *server, userver_member *member, const void *payload, size_t len);
void userver_leave_group(userver *server, const umsg_addr *addr, const uint8_t *key, size_t len);
void userver_clear_locks(userver *server);

// Handles one received datagram as userver_process does; exposed for tests,
// fuzzing and loops of their own. The payload is in server->buffer.
void userver_handle(userver *server, const umsghdr *hdr, uint8_t *payload, size_t len,
                    const umsg_addr *peer, const umsg_cred *cred, int passfd);

// The kernel memory a datagram of n bytes (header included) takes until it is
// read; an estimate that the server corrects against the socket's queue.
size_t userver_datagram_cost(size_t n);
