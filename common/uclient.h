// The client side of the local IPC layer: requests with acknowledgements,
// events on a socket pair end passed to the server, locks, health checks and
// log settings.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "common/list.h"
#include "common/umsg.h"

struct uclient {
    Ary buffer; // the last message received, its header first
    umsg_cred cred;
    list_link link; // in a server's attached clients; self-linked otherwise
    sigset_t sigmask;
    uint16_t seq;
    int fd;
    int event_fd;      // our end of the event socket pair
    int event_pass_fd; // the end handed to servers on join
    // The whole size a message announces in its first fragment, or 0; lets a
    // long reply land in a buffer sized once. Null: the buffer grows as it fills.
    size_t (*expect)(const uint8_t *payload, size_t len);
    size_t split;    // see uclient_request_split; 0 otherwise
    size_t head_len; // header and head of the last message, when it came split
    uint8_t head[UMSG_DATAGRAM];
};

enum : int { UCLIENT_WAIT_SEC = 4 };

uclient *uclient_open(const char *path);
void uclient_close(uclient *client);
int uclient_event_fd(const uclient *client);

// Sends one request of the given type and waits for its answer. 0 on ACK (the
// reply, header first, is in client->buffer), -1 with errno (EPERM on NAK,
// EAGAIN when no answer came in time, EMSGSIZE above UMSG_PAYLOAD).
int uclient_transact(uclient *client, const void *payload, size_t len, uint8_t type, int passfd);

// The reply payload length, *reply pointing at it (null when empty), or -1.
ssize_t uclient_request(uclient *client, const void *payload, size_t len, const uint8_t **reply);
// As uclient_request, but a reply of several fragments whose first holds at
// least `split` payload bytes comes in two parts: those bytes at *head, the
// rest at the front of client->buffer (*rest), so that trailing rows can be
// taken over without moving them. *rest is null when the reply is whole at
// *head. split above UMSG_PAYLOAD is taken as 0.
ssize_t uclient_request_split(uclient *client, const void *payload, size_t len, size_t split,
                              const uint8_t **head, const uint8_t **rest);
int uclient_send(uclient *client, const void *payload, size_t len);
ssize_t uclient_recv_event(uclient *client, const uint8_t **payload);

// Assembles one message from fd into client->buffer: the first datagram waits
// up to first_wait seconds, further fragments up to next_wait each. Fragments
// must agree in type and sequence; the whole is capped at UMSG_REPLY_MAX when
// the first datagram came from root or our own user (the client's socket
// passes credentials), else at UMSG_MESSAGE_MAX.
ssize_t uclient_recv(uclient *client, int fd, int first_wait, int next_wait = UCLIENT_WAIT_SEC);

int uclient_join_group(uclient *client, const void *key, size_t len);
int uclient_leave_group(uclient *client, const void *key, size_t len);
int uclient_lock(uclient *client);
int uclient_unlock(uclient *client);
int uclient_health_check(uclient *client);
int uclient_get_log(uclient *client, uint8_t settings[12]);
int uclient_set_log(uclient *client, const uint8_t settings[12]);
