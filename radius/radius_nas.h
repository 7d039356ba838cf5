// The RADIUS transport of one client towards its primary and secondary
// server: identifiers over the client's request ports, signing,
// retransmission with a growing randomised timeout, switch-over to the other
// server, give-up, response validation and matching, and the RFC 4668 / 4670
// MIB counters in the server rows of the client's NAS record.
//
// The transport owns no socket and no clock of its own: it sends, arms and
// cancels its one timer through radius_nas_ops, and reads the cached clock.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_codec.h"
#include "radius/radius_mib.h"

struct radius_nas;

// Called with the host's user pointer first. port is the index of the
// request port the datagram leaves from.
struct radius_nas_ops {
    void (*send)(void *user, packet *msg, const sockaddr *server, int port);
    // The request will not be answered: its identifier space was full, or it
    // was retransmitted or aged until given up. The transport no longer holds it.
    void (*timed_out)(void *user, packet *msg);
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
};

enum class radius_nas_kind : uint8_t { auth, acct };

// A request's transport state, in the metadata of its packet behind the
// station MAC that the request's builder records there.
struct radius_request {
    uint8_t mac[16];     // the station MAC (first 6 bytes); copied to the response
    radius_nas *nas;     // set while the request is queued
    uint32_t first_send; // ms of the cached clock
    uint32_t last_send;
    uint16_t slot; // request port * 256 + identifier
    uint16_t rto;  // ms
    uint8_t retransmissions;
    uint8_t server; // index of the server it was last sent to
    uint8_t flags;  // RADIUS_REQUEST_*
};
static_assert(sizeof(radius_request) <= PACKET_META_SIZE);

enum : uint8_t {
    RADIUS_REQUEST_SERVER_CHOSEN = 0x01, // never switched over
    RADIUS_REQUEST_TRANSACTION = 0x02,   // the identifier belongs to a transaction
};

inline radius_request *radius_request_of(packet *msg)
{
    return reinterpret_cast<radius_request *>(msg->meta);
}

struct radius_nas {
    radius_nas_kind kind;
    uint8_t current;   // server in use
    uint16_t ports;    // request ports
    uint32_t slots;    // ports x 256 identifiers
    uint32_t last_id;  // last slot handed out
    void *rows;        // the two server rows of the kind, in the client's NAS record
    radius_nas_ops ops;
    void *user;
    sockaddr_storage server[2]; // family AF_UNSPEC when the row is not configured
    timer nas_timer;           // every second, from creation to destruction
    packet_queue queue;        // requests in flight, oldest first
    uint32_t last_answer[2];   // ms; the no-answer clock of each server
    uint8_t signs_answers[2];  // the server signed a non-EAP answer to an Access-Request
    radius_msg_auth_key keys[2]; // each server's secret, prepared for Message-Authenticators
    uint8_t counter[16];       // the Access-Request authenticator counter
    uint8_t random[256];       // jitter bytes, refilled when used up
    uint16_t random_used;
    packet **by_slot;          // the queued request of each slot
    uint32_t *bitmap;          // one bit per slot
};

// Fill sockaddr from an address type (1 IPv4, 2 IPv6), a 16-byte address and
// a port; 0, or -1 with the family AF_UNSPEC for any other type.
int radius_make_sockaddr(sockaddr_storage *out, uint8_t type, const uint8_t address[16],
                         uint16_t port);

// Number the rows 0 and 1, stamp their CounterDiscontinuity, and start the
// transport with its timer. Null when the primary is not configured, the
// request-port count is not 1 to 256, a configured row's shared secret is
// empty or unterminated (EINVAL), or memory or randomness fails.
radius_nas *radius_nas_create_auth(const radius_nas_config *config,
                                   radiusAuthClientServerExtTable rows[2],
                                   const radius_nas_ops *ops, void *user);
radius_nas *radius_nas_create_acct(const radius_nas_config *config,
                                   radiusAccClientServerExtTable rows[2],
                                   const radius_nas_ops *ops, void *user);
// Cancels the timer and drops the queued requests; the rows are left alone.
void radius_nas_destroy(radius_nas *nas);
// The same, but the queued requests move to given_up with their references,
// uncounted, so that a client replacing the transport can report each one
// timed out once its new configuration stands.
void radius_nas_destroy_into(radius_nas *nas, packet_queue *given_up);

// Sends a request to a server (0, 1, or -1 for the current one), with the
// identifier of a transaction when one is given. 0 when sent or reported as
// timed out (window full); -1 when refused. The transport takes its own
// reference.
int radius_nas_send(radius_nas *nas, packet *msg, int server, int *transaction);
// Stops retransmitting a queued request.
void radius_nas_cancel(radius_nas *nas, packet *msg);
// Checks a response that arrived on a request port: the index of the server
// that answered when it matches a queued request (which is released), else -1.
// Octets past the Length field are cut from the message first.
int radius_nas_recv(radius_nas *nas, packet *msg, const sockaddr *source, int port);

// Authentication transport only: an identifier reserved for an exchange of
// several requests, allocated after last; -1 when none is free.
int radius_nas_reserve_transaction(radius_nas *nas, int last);
void radius_nas_release_transaction(radius_nas *nas, int id);

// The periodic work: switch-over, retransmission and give-up.
void radius_handle_timeout(timer *t);
