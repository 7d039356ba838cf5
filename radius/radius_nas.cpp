#include "radius/radius_nas.h"

// Identifiers: one bit per slot (request port x 256 + identifier) in a
// bitmap; allocation starts after the last slot handed out and takes the
// first clear bit, going a word of 32 slots at a time, so a full word costs
// one test and a search is at most ports x 8 + 1 word reads. A table of the
// queued request of each slot makes matching a response O(1) whatever the
// number in flight (16k over 64 ports is a normal load). Memory: 2 KB and 32
// bytes per request port.
//
// Forged answers (RFC 3579, and the MD5 chosen-prefix attack on unsigned
// Access-Accepts): every Access-Request leaves with a Message-Authenticator
// as its first attribute; answers carrying EAP must be signed; and a server
// that once signed a non-EAP answer must sign every later one until the
// transport is replaced. Servers that never sign non-EAP answers still work.
//
// Timing: a request is retransmitted when its RTO has passed since its last
// send; the RTO starts at 2.0-2.2 s and about doubles, up to 16 s, and a
// request is given up after 5 retransmissions or 30 s from its first send,
// whichever comes first (the 30 s in practice: sends at 0, ~2, ~6 and ~14 s).
// The timer runs every second; it switches to the other server once the
// current one has left requests unanswered for more than 4 s.
//
// Callbacks that may re-enter the transport (timed-out) run only after the
// queue walk is over, so they may send or cancel freely.

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>

#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/sockaddr.h"
#include "common/system.h"
#include "radius/radius_codec.h"

namespace {

constexpr uint32_t TICK_MS = 1000;
constexpr uint32_t SWITCH_AFTER_MS = 4000;
constexpr uint32_t GIVE_UP_AGE_MS = 30000;
constexpr uint8_t MAX_RETRANSMISSIONS = 5;
constexpr uint32_t RTO_INITIAL_MS = 2000;
constexpr uint32_t RTO_MAX_MS = 16000;
constexpr uint32_t SLOTS_PER_PORT = 256;

// ---- the MIB counters of a server row, by kind ----

enum class mib : uint8_t {
    requests,
    retransmissions,
    accepts,
    rejects,
    challenges,
    responses,
    malformed,
    bad_authenticators,
    pending_requests,
    pending_transactions,
    timeouts,
    unknown_types,
    packets_dropped,
    invalid_server_addresses,
    count_,
};
constexpr size_t MIB_COUNT = static_cast<size_t>(mib::count_);
constexpr uint16_t ABSENT = 0xffff;

struct row_layout {
    uint16_t size;
    uint16_t discontinuity;
    uint16_t counter[MIB_COUNT];
};

using auth_row = radiusAuthClientServerExtTable;
using acct_row = radiusAccClientServerExtTable;

constexpr row_layout auth_layout = {
    sizeof(auth_row),
    offsetof(auth_row, radiusAuthClientCounterDiscontinuity),
    {
        offsetof(auth_row, radiusAuthClientExtAccessRequests),
        offsetof(auth_row, radiusAuthClientExtAccessRetransmissions),
        offsetof(auth_row, radiusAuthClientExtAccessAccepts),
        offsetof(auth_row, radiusAuthClientExtAccessRejects),
        offsetof(auth_row, radiusAuthClientExtAccessChallenges),
        ABSENT,
        offsetof(auth_row, radiusAuthClientExtMalformedAccessResponses),
        offsetof(auth_row, radiusAuthClientExtBadAuthenticators),
        offsetof(auth_row, radiusAuthClientExtPendingRequests),
        offsetof(auth_row, radiusAuthClientExtPendingTransactions),
        offsetof(auth_row, radiusAuthClientExtTimeouts),
        offsetof(auth_row, radiusAuthClientExtUnknownTypes),
        offsetof(auth_row, radiusAuthClientExtPacketsDropped),
        offsetof(auth_row, radiusAuthClientInvalidServerAddresses),
    },
};
constexpr row_layout acct_layout = {
    sizeof(acct_row),
    offsetof(acct_row, radiusAccClientCounterDiscontinuity),
    {
        offsetof(acct_row, radiusAccClientExtRequests),
        offsetof(acct_row, radiusAccClientExtRetransmissions),
        ABSENT,
        ABSENT,
        ABSENT,
        offsetof(acct_row, radiusAccClientExtResponses),
        offsetof(acct_row, radiusAccClientExtMalformedResponses),
        offsetof(acct_row, radiusAccClientExtBadAuthenticators),
        offsetof(acct_row, radiusAccClientExtPendingRequests),
        ABSENT,
        offsetof(acct_row, radiusAccClientExtTimeouts),
        offsetof(acct_row, radiusAccClientExtUnknownTypes),
        offsetof(acct_row, radiusAccClientExtPacketsDropped),
        offsetof(acct_row, radiusAccClientInvalidServerAddresses),
    },
};

// The head of both row kinds is the same; the transport reads it by these offsets.
#define SAME_OFFSET(a, b) static_assert(offsetof(auth_row, a) == offsetof(acct_row, b))
SAME_OFFSET(radiusAuthServerExtIndex, radiusAccServerExtIndex);
SAME_OFFSET(radiusAuthServerInetAddressType, radiusAccServerInetAddressType);
SAME_OFFSET(radiusAuthClientInetAddressType, radiusAccClientInetAddressType);
SAME_OFFSET(radiusAuthServerInetAddress, radiusAccServerInetAddress);
SAME_OFFSET(radiusAuthClientInetAddress, radiusAccClientInetAddress);
SAME_OFFSET(radiusAuthServerSharedSecret, radiusAccServerSharedSecret);
SAME_OFFSET(radiusAuthClientServerInetPortNumber, radiusAccClientServerInetPortNumber);
SAME_OFFSET(radiusAuthClientExtRoundTripTime, radiusAccClientExtRoundTripTime);
#undef SAME_OFFSET

constexpr size_t ROW_INDEX = offsetof(auth_row, radiusAuthServerExtIndex);
constexpr size_t ROW_SERVER_TYPE = offsetof(auth_row, radiusAuthServerInetAddressType);
constexpr size_t ROW_CLIENT_TYPE = offsetof(auth_row, radiusAuthClientInetAddressType);
constexpr size_t ROW_SERVER_ADDR = offsetof(auth_row, radiusAuthServerInetAddress);
constexpr size_t ROW_CLIENT_ADDR = offsetof(auth_row, radiusAuthClientInetAddress);
constexpr size_t ROW_SECRET = offsetof(auth_row, radiusAuthServerSharedSecret);
constexpr size_t ROW_PORT = offsetof(auth_row, radiusAuthClientServerInetPortNumber);
constexpr size_t ROW_RTT = offsetof(auth_row, radiusAuthClientExtRoundTripTime);

const row_layout &layout(const radius_nas *nas)
{
    return nas->kind == radius_nas_kind::auth ? auth_layout : acct_layout;
}

uint8_t *row_at(const radius_nas *nas, unsigned row)
{
    return static_cast<uint8_t *>(nas->rows) + row * layout(nas).size;
}

uint32_t mib_get(const radius_nas *nas, unsigned row, mib c)
{
    uint16_t off = layout(nas).counter[static_cast<size_t>(c)];
    if (off == ABSENT)
        return 0;
    uint32_t v;
    memcpy(&v, row_at(nas, row) + off, sizeof v);
    return v;
}

void mib_set(radius_nas *nas, unsigned row, mib c, uint32_t v)
{
    uint16_t off = layout(nas).counter[static_cast<size_t>(c)];
    if (off != ABSENT)
        memcpy(row_at(nas, row) + off, &v, sizeof v);
}

void mib_inc(radius_nas *nas, unsigned row, mib c)
{
    mib_set(nas, row, c, mib_get(nas, row, c) + 1);
}

// Gauges never wrap below zero: a counter that disagrees with the queue is
// mended by the timer, not carried as 4 billion.
void mib_dec(radius_nas *nas, unsigned row, mib c)
{
    uint32_t v = mib_get(nas, row, c);
    if (v)
        mib_set(nas, row, c, v - 1);
}

void row_set16(radius_nas *nas, unsigned row, size_t off, uint16_t v)
{
    memcpy(row_at(nas, row) + off, &v, sizeof v);
}

const char *row_secret(const radius_nas *nas, unsigned row)
{
    return reinterpret_cast<const char *>(row_at(nas, row) + ROW_SECRET);
}

bool configured(const radius_nas *nas, unsigned row)
{
    return nas->server[row].ss_family != AF_UNSPEC;
}

const char *kind_name(const radius_nas *nas)
{
    return nas->kind == radius_nas_kind::auth ? "auth" : "acct";
}

const char *role_name(unsigned row)
{
    return row == 0 ? "primary" : "secondary";
}

// Formats a socket address for a log line.
struct addr_text {
    char text[SOCKADDR_FMT_SIZE];
    explicit addr_text(const sockaddr *sa) { sockaddr_format(sa, text, sizeof text, 0); }
    explicit addr_text(const sockaddr_storage &ss)
        : addr_text(reinterpret_cast<const sockaddr *>(&ss))
    {
    }
};

const sockaddr *server_addr(const radius_nas *nas, unsigned row)
{
    return reinterpret_cast<const sockaddr *>(&nas->server[row]);
}

uint8_t random_byte(radius_nas *nas)
{
    if (nas->random_used >= sizeof nas->random) {
        // The jitter needs no secrecy: on failure the old bytes serve again.
        system_random(nas->random, sizeof nas->random);
        nas->random_used = 0;
    }
    return nas->random[nas->random_used++];
}

void counter_increment(uint8_t counter[16])
{
    for (int i = 15; i >= 0; i--)
        if (++counter[i])
            break;
}

// ---- identifiers ----

int alloc_id(radius_nas *nas, uint32_t last)
{
    uint32_t words = nas->slots / 32;
    uint32_t start = (last + 1) % nas->slots;
    uint32_t w0 = start / 32;
    // The first word is visited twice: from the start bit, and whole at the end of the round.
    for (uint32_t k = 0; k <= words; k++) {
        uint32_t w = (w0 + k) % words;
        uint32_t mask = k == 0 ? ~0u << (start % 32) : ~0u;
        uint32_t free_bits = ~nas->bitmap[w] & mask;
        if (free_bits) {
            uint32_t bit = static_cast<uint32_t>(std::countr_zero(free_bits));
            nas->bitmap[w] |= 1u << bit;
            uint32_t slot = w * 32 + bit;
            nas->last_id = slot;
            return static_cast<int>(slot);
        }
    }
    return -1;
}

bool id_allocated(const radius_nas *nas, uint32_t slot)
{
    return nas->bitmap[slot / 32] & (1u << (slot % 32));
}

void free_id(radius_nas *nas, uint32_t slot)
{
    nas->bitmap[slot / 32] &= ~(1u << (slot % 32));
}

// ---- building: NAS address, Message-Authenticator, signature ----

// Removes every attribute of the type by moving it to the end and cutting it.
void cut_attrs(packet *msg, radius_attr_type type)
{
    while (uint8_t *attr = radius_move_attr_to_end(msg, type))
        packet_trim(msg, attr[1]);
    radius_set_length(msg);
}

// The NAS address attribute that matches the server row's client address.
int radius_mark_request(radius_nas *nas, packet *msg, unsigned row)
{
    // One walk tells whether there is anything to cut: most requests carry no address yet.
    bool marked = false;
    for (const uint8_t *a = radius_first_attr(msg); a && !marked; a = radius_next_attr(msg, a))
        marked = a[0] == static_cast<uint8_t>(radius_attr_type::nas_ip_address) ||
                 a[0] == static_cast<uint8_t>(radius_attr_type::nas_ipv6_address);
    if (marked) {
        cut_attrs(msg, radius_attr_type::nas_ip_address);
        cut_attrs(msg, radius_attr_type::nas_ipv6_address);
    }
    const uint8_t *addr = row_at(nas, row) + ROW_CLIENT_ADDR;
    switch (row_at(nas, row)[ROW_CLIENT_TYPE]) {
    case RADIUS_INET_IPV4:
        return radius_append_attr(msg, radius_attr_type::nas_ip_address, addr, 4) ? 0 : -1;
    case RADIUS_INET_IPV6:
        return radius_append_attr(msg, radius_attr_type::nas_ipv6_address, addr, 16) ? 0 : -1;
    default:
        return 0;
    }
}

// Every Access-Request leaves with a Message-Authenticator as its first
// attribute, so that a forged answer cannot ride on a chosen prefix.
int put_msg_auth_first(packet *msg)
{
    const uint8_t *first = radius_first_attr(msg);
    if (first && first[0] == static_cast<uint8_t>(radius_attr_type::message_authenticator) &&
        first[1] == RADIUS_MSG_AUTH_ATTR_LEN)
        return 0;
    cut_attrs(msg, radius_attr_type::message_authenticator);
    size_t attrs = msg->length - RADIUS_HDR_LEN;
    if (!radius_append(msg, nullptr, RADIUS_MSG_AUTH_ATTR_LEN))
        return -1;
    uint8_t *at = msg->data + RADIUS_HDR_LEN;
    memmove(at + RADIUS_MSG_AUTH_ATTR_LEN, at, attrs);
    memset(at, 0, RADIUS_MSG_AUTH_ATTR_LEN);
    at[0] = static_cast<uint8_t>(radius_attr_type::message_authenticator);
    at[1] = RADIUS_MSG_AUTH_ATTR_LEN;
    return 0;
}

void radius_nas_sign_request(radius_nas *nas, packet *msg, unsigned row)
{
    const char *secret = row_secret(nas, row);
    radius_hdr *hdr = radius_header(msg);
    bool access = hdr->code == static_cast<uint8_t>(radius_code::access_request);
    if (!access)
        memset(hdr->authenticator, 0, RADIUS_AUTH_LEN);
    if (uint8_t *value = radius_msg_auth_value(msg)) {
        uint8_t mac[RADIUS_AUTH_LEN];
        radius_calc_msg_auth_key(&nas->keys[row], msg, hdr->authenticator, mac);
        memcpy(value, mac, sizeof mac);
    }
    if (!access)
        radius_calc_authenticator(secret, msg, nullptr, hdr->authenticator);
}

// ---- the queue ----

void radius_release_request(radius_nas *nas, packet *msg)
{
    radius_request *req = radius_request_of(msg);
    if (!(req->flags & RADIUS_REQUEST_TRANSACTION))
        free_id(nas, req->slot);
    if (nas->by_slot[req->slot] == msg)
        nas->by_slot[req->slot] = nullptr;
    packet_queue_remove(&nas->queue, msg);
    req->nas = nullptr;
    packet_release(msg);
}

// Gives a request up; the caller reports it through timed-out once its walk is over.
void radius_timeout_request(radius_nas *nas, packet *msg, packet_queue *given_up)
{
    radius_request *req = radius_request_of(msg);
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: RADIUS request %u timed out",
         addr_text(server_addr(nas, req->server)).text, radius_header(msg)->identifier);
    mib_inc(nas, req->server, mib::timeouts);
    mib_dec(nas, req->server, mib::pending_requests);
    packet_ref(msg);
    radius_release_request(nas, msg);
    packet_queue_append(given_up, msg);
}

// Runs timed-out for each given-up request. The ops are copied first: a
// callback may destroy the transport.
void report_given_up(const radius_nas_ops ops, void *user, packet_queue *given_up)
{
    while (packet *msg = packet_queue_pop(given_up)) {
        ops.timed_out(user, msg);
        packet_release(msg);
    }
}

void retransmit(radius_nas *nas, packet *msg, uint32_t now, packet_queue *given_up)
{
    radius_request *req = radius_request_of(msg);
    unsigned from = req->server;
    if (from != nas->current && !(req->flags & RADIUS_REQUEST_SERVER_CHOSEN)) {
        if (radius_mark_request(nas, msg, nas->current) < 0) {
            // No room for the other server's NAS address: the request cannot go on.
            radius_timeout_request(nas, msg, given_up);
            return;
        }
        req->server = nas->current;
        radius_nas_sign_request(nas, msg, req->server);
    }
    mib_inc(nas, from, mib::timeouts);
    mib_dec(nas, from, mib::pending_requests);
    mib_inc(nas, req->server, mib::pending_requests);
    mib_inc(nas, req->server, mib::retransmissions);
    req->retransmissions++;
    uint32_t rto = req->rto;
    rto = 2 * rto + rto * random_byte(nas) / 256 / 10;
    req->rto = static_cast<uint16_t>(rto > RTO_MAX_MS ? RTO_MAX_MS : rto);
    req->last_send = now;
    uint32_t age = now - req->first_send;
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: RADIUS request %u retransmit #%u age %u.%02us",
         addr_text(server_addr(nas, req->server)).text, radius_header(msg)->identifier,
         req->retransmissions, age / 1000, age % 1000 / 10);
    nas->ops.send(nas->user, msg, server_addr(nas, req->server), req->slot / SLOTS_PER_PORT);
}

// PendingRequests of each row is the number of queued requests last sent to
// its server. A counter that disagrees (rows reset under a live transport)
// is mended and logged, never trusted.
void resync_pending(radius_nas *nas)
{
    uint32_t queued[2] = {};
    for (packet *msg : list_records<&packet::queue>(&nas->queue.list))
        queued[radius_request_of(msg)->server]++;
    for (unsigned row = 0; row < 2; row++) {
        uint32_t counted = mib_get(nas, row, mib::pending_requests);
        if (counted != queued[row]) {
            ulog(LOG_COMP_RADIUS, ULOG_WARNING,
                 "%s: RADIUS pending requests %u for %u queued - resynchronised",
                 addr_text(server_addr(nas, row)).text, counted, queued[row]);
            mib_set(nas, row, mib::pending_requests, queued[row]);
        }
    }
}

// Secret-derived state is wiped with the object.
void nas_free(radius_nas *nas)
{
    secure_wipe(nas->counter, sizeof nas->counter);
    radius_msg_auth_key_wipe(&nas->keys[0]);
    radius_msg_auth_key_wipe(&nas->keys[1]);
    free(nas);
}

radius_nas *radius_nas_create(radius_nas_kind kind, const radius_nas_config *config, void *rows,
                              const radius_nas_ops *ops, void *user)
{
    unsigned ports = config->radiusClientRequestPorts;
    if (ports < 1 || ports > RADIUS_MAX_REQUEST_PORTS) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Invalid number of RADIUS request ports %u", ports);
        errno = EINVAL;
        return nullptr;
    }
    uint32_t slots = ports * SLOTS_PER_PORT;
    size_t bytes = sizeof(radius_nas) + slots / 8 + slots * sizeof(packet *);
    std::unique_ptr<radius_nas, decltype(&nas_free)> owner(
        static_cast<radius_nas *>(calloc(1, bytes)), nas_free);
    radius_nas *nas = owner.get();
    if (!nas) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    nas->kind = kind;
    nas->ports = static_cast<uint16_t>(ports);
    nas->slots = slots;
    nas->last_id = slots - 1;
    nas->rows = rows;
    nas->ops = *ops;
    nas->user = user;
    nas->by_slot = reinterpret_cast<packet **>(nas + 1);
    nas->bitmap = reinterpret_cast<uint32_t *>(nas->by_slot + slots);
    packet_queue_init(&nas->queue);
    nas->random_used = sizeof nas->random;

    for (unsigned row = 0; row < 2; row++) {
        const uint8_t *r = row_at(nas, row);
        uint16_t port;
        memcpy(&port, r + ROW_PORT, sizeof port);
        if (radius_make_sockaddr(&nas->server[row], r[ROW_SERVER_TYPE], r + ROW_SERVER_ADDR,
                                 port) < 0)
            continue;
        size_t len = strnlen(row_secret(nas, row), RADIUS_SECRET_SIZE);
        if (len == 0) {
            // Servers are added before their secrets: one without is not asked.
            ulog(LOG_COMP_RADIUS, ULOG_WARNING, "No shared secret for %s RADIUS server %s",
                 role_name(row), addr_text(nas->server[row]).text);
            nas->server[row] = {};
            continue;
        }
        if (len == RADIUS_SECRET_SIZE) {
            ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Invalid shared secret for %s RADIUS server %s",
                 role_name(row), addr_text(nas->server[row]).text);
            errno = EINVAL;
            return nullptr;
        }
        radius_msg_auth_key_init(&nas->keys[row], row_secret(nas, row));
    }
    if (!configured(nas, 0)) {
        errno = EINVAL;
        return nullptr;
    }
    if (system_random(nas->counter, sizeof nas->counter) < 0)
        return nullptr;
    nas->last_answer[0] = nas->last_answer[1] = clock_msec();
    radius_handle_timeout(&nas->nas_timer);
    return owner.release();
}

template <class Row>
radius_nas *create_kind(radius_nas_kind kind, const radius_nas_config *config, Row rows[2],
                        const radius_nas_ops *ops, void *user)
{
    const row_layout &l = kind == radius_nas_kind::auth ? auth_layout : acct_layout;
    static_assert(sizeof(Row) == 164 || sizeof(Row) == 152);
    uint32_t now = clock_sec();
    for (unsigned row = 0; row < 2; row++) {
        uint8_t *r = reinterpret_cast<uint8_t *>(&rows[row]);
        r[ROW_INDEX] = static_cast<uint8_t>(row);
        memcpy(r + l.discontinuity, &now, sizeof now);
    }
    return radius_nas_create(kind, config, rows, ops, user);
}

// The metadata travels with copies of a packet: only the queue link tells.
bool queued(packet *msg)
{
    return radius_request_of(msg)->nas && !list_isempty(&msg->queue);
}

bool queued_here(const radius_nas *nas, packet *msg)
{
    return radius_request_of(msg)->nas == nas && queued(msg);
}

// The server a response came from: 0, 1 or -1. A v4-mapped source matches an IPv4 server.
int server_of(const radius_nas *nas, const sockaddr *source)
{
    sockaddr_in v4;
    const sockaddr *src = sockaddr_from_v4mapped(source, &v4);
    for (unsigned row = 0; row < 2; row++)
        if (configured(nas, row) && sockaddr_compare(src, server_addr(nas, row)) == 0)
            return static_cast<int>(row);
    return -1;
}

int drop(radius_nas *nas, unsigned row, mib counter)
{
    mib_inc(nas, row, counter);
    return -1;
}

} // namespace

int radius_make_sockaddr(sockaddr_storage *out, uint8_t type, const uint8_t address[16],
                         uint16_t port)
{
    memset(out, 0, sizeof *out);
    if (type == RADIUS_INET_IPV4) {
        auto *in = reinterpret_cast<sockaddr_in *>(out);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        memcpy(&in->sin_addr, address, 4);
        return 0;
    }
    if (type == RADIUS_INET_IPV6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        memcpy(&in6->sin6_addr, address, 16);
        return 0;
    }
    out->ss_family = AF_UNSPEC;
    return -1;
}

radius_nas *radius_nas_create_auth(const radius_nas_config *config,
                                   radiusAuthClientServerExtTable rows[2],
                                   const radius_nas_ops *ops, void *user)
{
    return create_kind(radius_nas_kind::auth, config, rows, ops, user);
}

radius_nas *radius_nas_create_acct(const radius_nas_config *config,
                                   radiusAccClientServerExtTable rows[2],
                                   const radius_nas_ops *ops, void *user)
{
    return create_kind(radius_nas_kind::acct, config, rows, ops, user);
}

void radius_nas_destroy(radius_nas *nas)
{
    if (!nas)
        return;
    nas->ops.cancel(nas->user, &nas->nas_timer);
    // The rows belong to the client, which resets or keeps them: only the queue goes.
    while (packet *msg = packet_queue_pop(&nas->queue)) {
        radius_request_of(msg)->nas = nullptr;
        packet_release(msg);
    }
    nas_free(nas);
}

void radius_nas_destroy_into(radius_nas *nas, packet_queue *given_up)
{
    if (!nas) return;
    nas->ops.cancel(nas->user, &nas->nas_timer);
    while (packet *msg = packet_queue_pop(&nas->queue)) {
        radius_request_of(msg)->nas = nullptr;
        packet_queue_append(given_up, msg);
    }
    nas_free(nas);
}

int radius_nas_send(radius_nas *nas, packet *msg, int server, int *transaction)
{
    if (server != -1 && (server < 0 || server > 1 || !configured(nas, unsigned(server)))) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Invalid RADIUS server index %u", unsigned(server));
        errno = EINVAL;
        return -1;
    }
    unsigned row = server == -1 ? nas->current : unsigned(server);
    if (packet_isfragmented(msg) || msg->length < RADIUS_HDR_LEN ||
        msg->length < radius_hdr_length(radius_header(msg))) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding short RADIUS message %u bytes", msg->length);
        errno = EINVAL;
        return -1;
    }
    if (msg->length > RADIUS_MAX_LEN) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding oversized RADIUS message %u bytes",
             msg->length);
        errno = EMSGSIZE;
        return -1;
    }
    radius_hdr *hdr = radius_header(msg);
    uint8_t want = nas->kind == radius_nas_kind::auth
                       ? static_cast<uint8_t>(radius_code::access_request)
                       : static_cast<uint8_t>(radius_code::accounting_request);
    if (hdr->code != want) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding unsupported RADIUS request type %u",
             hdr->code);
        errno = EINVAL;
        return -1;
    }
    radius_request *req = radius_request_of(msg);
    if (queued(msg)) {
        // Already queued (here or on another transport): one packet is one request.
        errno = EBUSY;
        return -1;
    }
    bool access = hdr->code == static_cast<uint8_t>(radius_code::access_request);
    // The attributes are final before an identifier is taken: a request that
    // cannot be completed consumes nothing.
    if ((access && put_msg_auth_first(msg) < 0) || radius_mark_request(nas, msg, row) < 0 ||
        msg->length > RADIUS_MAX_LEN) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding RADIUS request without room for %s",
             access ? "Message-Authenticator and NAS address" : "NAS address");
        errno = ENOSPC;
        return -1;
    }

    bool in_transaction = transaction && *transaction >= 0 &&
                          static_cast<uint32_t>(*transaction) < nas->slots;
    int id;
    if (in_transaction) {
        free_id(nas, static_cast<uint32_t>(*transaction));
        id = alloc_id(nas, static_cast<uint32_t>(*transaction));
        *transaction = id;
    } else {
        id = alloc_id(nas, nas->last_id);
    }
    if (id < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: RADIUS request dropped due to send window overflow",
             addr_text(server_addr(nas, row)).text);
        mib_inc(nas, nas->current, mib::timeouts);
        nas->ops.timed_out(nas->user, msg);
        return 0;
    }
    uint32_t slot = static_cast<uint32_t>(id);
    hdr->identifier = static_cast<uint8_t>(slot % SLOTS_PER_PORT);
    radius_set_length(msg);
    if (access) {
        radius_calc_authenticator("", msg, nas->counter, hdr->authenticator);
        counter_increment(nas->counter);
    }
    radius_nas_sign_request(nas, msg, row);

    uint32_t now = clock_msec();
    packet_ref(msg);
    packet_queue_append(&nas->queue, msg);
    req->nas = nas;
    req->slot = static_cast<uint16_t>(slot);
    req->rto = static_cast<uint16_t>(RTO_INITIAL_MS + random_byte(nas) * 125u / 160u);
    req->first_send = now;
    req->last_send = now;
    req->retransmissions = 0;
    req->server = static_cast<uint8_t>(row);
    req->flags = static_cast<uint8_t>((server != -1 ? RADIUS_REQUEST_SERVER_CHOSEN : 0) |
                                      (in_transaction ? RADIUS_REQUEST_TRANSACTION : 0));
    nas->by_slot[slot] = msg;

    // The no-answer clock of a server starts with its first outstanding request.
    if (mib_get(nas, row, mib::pending_requests) == 0)
        nas->last_answer[row] = now;
    mib_inc(nas, row, mib::requests);
    mib_inc(nas, row, mib::pending_requests);
    ulog(LOG_COMP_RADIUS, ULOG_TRACE, "%s: Transmitting RADIUS request %u bytes with ID %d",
         addr_text(server_addr(nas, row)).text, msg->length, hdr->identifier);
    nas->ops.send(nas->user, msg, server_addr(nas, row), int(slot / SLOTS_PER_PORT));
    return 0;
}

void radius_nas_cancel(radius_nas *nas, packet *msg)
{
    if (!queued_here(nas, msg))
        return;
    radius_request *req = radius_request_of(msg);
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: RADIUS request %u cancelled",
         addr_text(server_addr(nas, req->server)).text, radius_header(msg)->identifier);
    mib_inc(nas, req->server, mib::timeouts);
    mib_dec(nas, req->server, mib::pending_requests);
    radius_release_request(nas, msg);
}

int radius_nas_reserve_transaction(radius_nas *nas, int last)
{
    if (nas->kind != radius_nas_kind::auth)
        return -1;
    uint32_t start = last >= 0 ? static_cast<uint32_t>(last) % nas->slots : nas->slots - 1;
    int id = alloc_id(nas, start);
    if (id < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: RADIUS transaction denied due to busy send window",
             addr_text(server_addr(nas, nas->current)).text);
        return -1;
    }
    mib_inc(nas, 0, mib::pending_transactions);
    mib_inc(nas, 1, mib::pending_transactions);
    return id;
}

void radius_nas_release_transaction(radius_nas *nas, int id)
{
    if (nas->kind != radius_nas_kind::auth || id < 0 || static_cast<uint32_t>(id) >= nas->slots ||
        !id_allocated(nas, static_cast<uint32_t>(id)))
        return;
    free_id(nas, static_cast<uint32_t>(id));
    mib_dec(nas, 0, mib::pending_transactions);
    mib_dec(nas, 1, mib::pending_transactions);
}

void radius_handle_timeout(timer *t)
{
    radius_nas *nas = container_of(t, &radius_nas::nas_timer);
    uint32_t now = clock_msec();
    unsigned cur = nas->current, other = cur ^ 1;

    resync_pending(nas);
    uint32_t silent = now - nas->last_answer[cur];
    if (packet_queue_count(&nas->queue) != 0 && mib_get(nas, cur, mib::pending_requests) != 0 &&
        silent > SWITCH_AFTER_MS && configured(nas, other)) {
        nas->current = static_cast<uint8_t>(other);
        nas->last_answer[other] = now;
        ulog(LOG_COMP_RADIUS, ULOG_INFO,
             "No response from %s RADIUS server in %u.%02us - switching to %s RADIUS server %s",
             role_name(cur), silent / 1000, silent % 1000 / 10, role_name(other),
             addr_text(nas->server[other]).text);
    }

    packet_queue given_up;
    packet_queue_init(&given_up);
    for (packet *msg : list_records_safe<&packet::queue>(&nas->queue.list)) {
        radius_request *req = radius_request_of(msg);
        if (now - req->first_send > GIVE_UP_AGE_MS) {
            radius_timeout_request(nas, msg, &given_up);
        } else if (now - req->last_send > req->rto) {
            if (req->retransmissions >= MAX_RETRANSMISSIONS)
                radius_timeout_request(nas, msg, &given_up);
            else
                retransmit(nas, msg, now, &given_up);
        }
    }
    nas->ops.schedule(nas->user, &nas->nas_timer, TICK_MS, radius_handle_timeout);
    report_given_up(nas->ops, nas->user, &given_up);
}

int radius_nas_recv(radius_nas *nas, packet *msg, const sockaddr *source, int port)
{
    // Octets past the Length field are padding.
    if (!packet_isfragmented(msg) && msg->length >= RADIUS_HDR_LEN) {
        uint16_t length = radius_hdr_length(radius_header(msg));
        if (length >= RADIUS_HDR_LEN && length < msg->length)
            packet_trim(msg, msg->length - length);
    }

    int from = server_of(nas, source);
    if (from < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding RADIUS response from unknown %s server %s",
             kind_name(nas), addr_text(source).text);
        return drop(nas, nas->current, mib::invalid_server_addresses);
    }
    unsigned row = static_cast<unsigned>(from);
    if (packet_isfragmented(msg) || msg->length < RADIUS_HDR_LEN ||
        radius_hdr_length(radius_header(msg)) != msg->length) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding short RADIUS message %u bytes", msg->length);
        return drop(nas, row, mib::malformed);
    }
    if (msg->length > RADIUS_MAX_LEN) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding oversized RADIUS message %u bytes",
             msg->length);
        return drop(nas, row, mib::malformed);
    }
    radius_hdr *hdr = radius_header(msg);
    auto code = static_cast<radius_code>(hdr->code);
    bool known = nas->kind == radius_nas_kind::auth
                     ? code == radius_code::access_accept || code == radius_code::access_reject ||
                           code == radius_code::access_challenge
                     : code == radius_code::accounting_response;
    if (!known) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding unsupported RADIUS message code %u",
             hdr->code);
        return drop(nas, row, mib::unknown_types);
    }
    // The source's text only for a log line that will be written.
    auto src_text = [source]() { return addr_text(source); };
    if (radius_validate_attrs(msg) < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Dropping RADIUS packet with malformed attributes",
             src_text().text);
        return drop(nas, row, mib::malformed);
    }
    packet *request = nullptr;
    if (port >= 0 && port < nas->ports)
        request = nas->by_slot[static_cast<uint32_t>(port) * SLOTS_PER_PORT + hdr->identifier];
    if (!request) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Dropping RADIUS response with unknown ID %u",
             src_text().text, hdr->identifier);
        return drop(nas, row, mib::packets_dropped);
    }
    radius_request *req = radius_request_of(request);
    memcpy(radius_request_of(msg)->mac, req->mac, sizeof req->mac);

    const char *secret = row_secret(nas, row);
    const uint8_t *request_auth = radius_header(request)->authenticator;
    // The attributes were just validated: one walk finds all the checks need.
    const uint8_t *msg_auth = nullptr;
    bool eap = false, vendor = false;
    for (const uint8_t *a = radius_first_attr(msg); a; a = radius_next_attr(msg, a)) {
        switch (static_cast<radius_attr_type>(a[0])) {
        case radius_attr_type::message_authenticator:
            if (!msg_auth) msg_auth = a;
            break;
        case radius_attr_type::eap_message:
            eap = true;
            break;
        case radius_attr_type::vendor_specific:
            vendor = true;
            break;
        default:
            break;
        }
    }
    bool access = nas->kind == radius_nas_kind::auth;
    if (msg_auth) {
        uint8_t expect[RADIUS_AUTH_LEN];
        if (radius_calc_msg_auth_key(&nas->keys[row], msg, request_auth, expect) != 0 ||
            secure_compare(expect, msg_auth + 2, RADIUS_AUTH_LEN) != 0) {
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
                 "%s: Discarding RADIUS response invalid Message-Autenticator", src_text().text);
            return drop(nas, row, mib::bad_authenticators);
        }
    } else if (eap || (access && nas->signs_answers[row])) {
        // A server that signed once must keep signing: an unsigned answer may be forged.
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "%s: Discarding RADIUS response without Message-Autenticator", src_text().text);
        return drop(nas, row, mib::bad_authenticators);
    }
    uint8_t expect[RADIUS_AUTH_LEN];
    radius_calc_authenticator(secret, msg, request_auth, expect);
    if (secure_compare(expect, hdr->authenticator, RADIUS_AUTH_LEN) != 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Discarding RADIUS response with invalid Authenticator",
             src_text().text);
        return drop(nas, row, mib::bad_authenticators);
    }
    if (access && msg_auth && !eap)
        nas->signs_answers[row] = 1;
    if (code == radius_code::access_accept && vendor &&
        (radius_get_mppe_key(secret, msg, request_auth, RADIUS_MS_MPPE_SEND_KEY) < 0 ||
         radius_get_mppe_key(secret, msg, request_auth, RADIUS_MS_MPPE_RECV_KEY) < 0)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Invalid MPPS-Key in RADIUS message", src_text().text);
        // A key decrypted before the other failed must not stay in the buffer.
        if (uint8_t *key = radius_find_attr(msg, radius_attr_type::vendor_specific,
                                            RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY))
            secure_wipe(key + RADIUS_VSA_HDR_LEN, key[7] - 2u);
        return drop(nas, row, mib::packets_dropped);
    }

    switch (code) {
    case radius_code::access_accept:
        mib_inc(nas, row, mib::accepts);
        break;
    case radius_code::access_reject:
        mib_inc(nas, row, mib::rejects);
        break;
    case radius_code::access_challenge:
        mib_inc(nas, row, mib::challenges);
        break;
    default:
        mib_inc(nas, row, mib::responses);
        break;
    }
    // The request was counted pending on the row it went to, whoever answers.
    mib_dec(nas, req->server, mib::pending_requests);
    uint32_t now = clock_msec();
    uint32_t rtt = (now - req->first_send) / 10;
    row_set16(nas, row, ROW_RTT, static_cast<uint16_t>(rtt > UINT16_MAX ? UINT16_MAX : rtt));
    nas->last_answer[row] = now;
    radius_release_request(nas, request);
    return from;
}
