// The controller protocol session: requests with 32-bit identities, kept until their
// response arrives and retransmitted on one timer with an RTO estimated from measured
// round trips (Karn's rule), answers to the controller's requests, and the link's
// management record. It owns no socket and no timer: the host's ulmex_ops does that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "common/list.h"
#include "common/timer.h"
#include "controller/ulmex_codec.h"

struct packet;
struct mempool;

// ulmexControlStatus, with the names the utility prints.
enum : uint32_t {
    ULMEX_STATE_CONFIGURE = 0,
    ULMEX_STATE_WAITING = 1,
    ULMEX_STATE_RUNNING = 2,
    ULMEX_STATE_FAILURE = 3,
    ULMEX_STATE_EXPIRED = 4,
};

// A socket address laid out as the platform's IPv4 or IPv6 one.
union ulmex_inet_addr {
    sockaddr sa;
    sockaddr_in sin;
    sockaddr_in6 sin6;
};
static_assert(sizeof(ulmex_inet_addr) == 28);

// The controller link record: a controller entry, the management record of the link and
// the payload of the Control management messages. Its layout is shared with the utility.
struct ulmexControl {
    ulmex_inet_addr ulmexLocalInet;
    ulmex_inet_addr ulmexRemoteInet;
    uint32_t ulmexControlStatus;
    char ulmexControlName[256];
    uint8_t ulmexControlIdentity[32]; // SHA-256 of the key the controller presented
    uint8_t ulmexControlKey[32];      // pinned fingerprint, a bit string
    uint16_t ulmexControlKeyLength;   // in bits, at most 256; 0 = nothing pinned
    uint16_t _pad;
    uint32_t ulmexConnectTime;
    uint32_t ulmexCloseTime;
    uint32_t ulmexLinkCount;
    uint32_t ulmexControlRttAvg; // ms; 0 = no sample yet
    uint32_t ulmexControlRttVar; // ms
    uint32_t ulmexRequestsSent;
    uint32_t ulmexRequestsReceived;
    uint32_t ulmexResponsesSent;
    uint32_t ulmexResponsesReceived;
    uint32_t ulmexRequestRetransmits;
    uint32_t ulmexRequestTimeouts;
    uint32_t ulmexRequestCancels;
    uint32_t ulmexUnknownTypes;
    uint32_t ulmexRequestErrors;
    uint32_t ulmexResponseErrors;
    uint32_t ulmexHandshakeFailures;
};
static_assert(sizeof(ulmexControl) == 448);
static_assert(offsetof(ulmexControl, ulmexRemoteInet) == 28);
static_assert(offsetof(ulmexControl, ulmexControlStatus) == 56);
static_assert(offsetof(ulmexControl, ulmexControlName) == 60);
static_assert(offsetof(ulmexControl, ulmexControlIdentity) == 316);
static_assert(offsetof(ulmexControl, ulmexControlKey) == 348);
static_assert(offsetof(ulmexControl, ulmexControlKeyLength) == 380);
static_assert(offsetof(ulmexControl, ulmexConnectTime) == 384);
static_assert(offsetof(ulmexControl, ulmexControlRttAvg) == 396);
static_assert(offsetof(ulmexControl, ulmexRequestsSent) == 404);
static_assert(offsetof(ulmexControl, ulmexUnknownTypes) == 432);
static_assert(offsetof(ulmexControl, ulmexHandshakeFailures) == 444);

struct ulmex_link;
struct ulmex_ops;

using ulmex_timer_start_fn = void (*)(ulmex_ops *ops, timer *t, uint32_t ms, timer_fn callback);
using ulmex_timer_stop_fn = void (*)(ulmex_ops *ops, timer *t);

// The host's callbacks; the host finds its own context from the record's address.
struct ulmex_ops {
    // A request arrived; the host answers it with ulmex_response and the same identity.
    void (*request_cb)(ulmex_link *link, const ulmex_pdu *pdu, uint32_t identity);
    // The response to a pending request arrived.
    void (*response_cb)(ulmex_link *link, const ulmex_pdu *pdu, uint8_t request_type, void *user);
    // A pending request failed, by timeout or because the link closed.
    void (*failure_cb)(ulmex_link *link, uint8_t request_type, void *user);
    // A pending request was cancelled by ulmex_cancel; may be null.
    void (*cancel_cb)(ulmex_link *link, uint8_t request_type, void *user);
    // Transmits one encoded message. The packet is lent: a callee that keeps it takes a
    // reference of its own.
    void (*send_cb)(ulmex_link *link, packet *p);
    ulmex_timer_start_fn timer_start_cb;
    ulmex_timer_stop_fn timer_stop_cb;
    mempool *pool; // encoded messages come from here

    // The decoded message stays in its arena while the callbacks run, even when they
    // encode responses in the other.
    ulmex_arena decode_arena;
    ulmex_arena encode_arena;
};

struct ulmex_link {
    ulmexControl record;
    ulmex_ops *ops;
    list_link pending; // encoded requests through their queue link, oldest first
    timer rtx_timer;
    bool rtx_armed;
    uint32_t next_identity;
};

// Bookkeeping of one pending request, in the metadata block of its encoded packet.
struct ulmex_pending {
    list_link caller; // on the caller's list for ulmex_cancel; self-linked when none
    void *user;
    uint32_t identity;
    uint8_t stamp; // last transmission, in 128-ms ticks mod 256
    // Until the first retransmission: the low 7 bits of the first transmission time in ms,
    // shifted left by one; afterwards the request's age in ticks at its last retransmission.
    uint8_t age;
    uint8_t rto;   // ticks
    uint8_t flags; // retransmissions << 5 | PDU number
};

inline constexpr uint32_t ULMEX_VALID_REQUESTS = 0x07FFDEF6;
inline constexpr uint32_t ULMEX_VALID_RESPONSES = 0x0448210A;
inline constexpr unsigned ULMEX_MAX_RETRANSMITS = 5;
inline constexpr unsigned ULMEX_MAX_AGE_TICKS = 234; // about 30 s
inline constexpr uint32_t ULMEX_TICK_MS = 128;

// The response type that answers each request type; 0: only a non-success Status.
extern const uint8_t ulmex_expected_response[ULMEX_FLOW_INFORM_ACCEPT + 1];

const char *ulmex_msg_type_name(unsigned type);

// Copies the seven callbacks of the template and stores the packet pool.
void ulmex_ops_init(ulmex_ops *ops, const ulmex_ops *tmpl, mempool *pool);
// Zeroes the ops record and both arenas.
void ulmex_ops_clear(ulmex_ops *ops);

// Opens the link towards one controller, taking over its record (counters included) when
// given. 0, or -1 when the random source fails.
int ulmex_open(ulmex_ops *ops, ulmex_link *link, const ulmexControl *record);
// Zeroes the whole link, record and counters included.
void ulmex_reset(ulmex_link *link);
// The secured link is up; identity is the 32-byte fingerprint of the controller's key.
void ulmex_established(ulmex_link *link, const uint8_t *identity);
// The secured link is gone: every pending request fails.
void ulmex_close(ulmex_link *link);

// Sends a request: 0 when it is pending (sent or not yet), -1 on failure. caller_list,
// when given, collects the request for ulmex_cancel.
int ulmex_request(ulmex_link *link, const ulmex_pdu &pdu, list_link *caller_list, void *user);
// Cancels every pending request on caller_list.
void ulmex_cancel(ulmex_link *link, list_link *caller_list);
// Sends a response with the identity of the request it answers. 0 or -1.
int ulmex_response(ulmex_link *link, const ulmex_pdu &pdu, uint32_t identity);

// Input of every datagram from the secured link: 0 when taken, -1 when refused. The
// packet stays the caller's.
int ulmex_handle_response(ulmex_link *link, const packet *p);
// The request half of the input.
int ulmex_handle_request(ulmex_link *link, const ulmex_message &msg);

// Encodes a whole message into a new packet from the ops' pool, or null.
packet *ulmex_encode(ulmex_ops *ops, const ulmex_message &msg);

void ulmex_retransmit_cb(timer *t);
