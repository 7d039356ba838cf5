// The server side of the local IPC layer: requests answered through callbacks,
// multicast groups of clients, the lock, health checks and log settings.
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
    // than cap asks for a larger buffer and a second call), or -1.
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
    int fd;
    uint32_t nmembers;
    uint64_t dropped; // answers and events that would have blocked
    char path[108];
};

enum : uint32_t {
    USERVER_MAX_MEMBERS = 1024,
    USERVER_PRUNE_MS = 1000,
    USERVER_LOCK_CHECK_SEC = 1,
};

userver *userver_listen(const char *path, unsigned pid, int locks, const userver_ops *ops, void *user);
void userver_close(userver *server);
void userver_unlink_path(userver *server);
int userver_fd(const userver *server);
void userver_process_cb(void *server, int fd);
int userver_process(userver *server);
void userver_attach_client(userver *server, uclient *client);
int userver_notify(userver *server, userver_member *member, const void *payload, size_t len);
void userver_leave_group(userver *server, const umsg_addr *addr, const uint8_t *key, size_t len);
void userver_clear_locks(userver *server);

// Handles one received datagram as userver_process does; exposed for tests and fuzzing.
void userver_handle(userver *server, const umsghdr *hdr, uint8_t *payload, size_t len,
                    const umsg_addr *peer, const umsg_cred *cred, int passfd);
