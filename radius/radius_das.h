// The RFC 5176 dynamic-authorization server of one NAS: the RADIUS servers of
// the NAS's authentication rows send Disconnect-Request and CoA-Request to
// the daemon's dynamic-authorization port. The server checks a request
// against its two client rows, answers a retransmission from its response
// cache, and signs, caches and counts what the session database answers.
//
// The cache holds each response for 30 s, at most 30000 of them, keyed by an
// MD5 digest of the request's authenticator and its source; expiry runs on
// each accepted request, oldest first, so its cost is the number of responses
// that expire.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "common/hashtable.h"
#include "common/list.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "radius/radius_codec.h"
#include "radius/radius_mib.h"

struct radius_db;

constexpr uint32_t RADIUS_DAS_CACHE_SECONDS = 30;
constexpr uint32_t RADIUS_DAS_CACHE_MAX = 30000;

// A cached response keeps a copy of its bytes, not its packet: a packet
// buffer is sized for the largest message, and the cache holds up to 30000.
struct radius_das_response {
    hashlink link; // by key
    list_link age; // oldest first
    uint32_t time; // s, when cached
    uint16_t length;
    uint8_t key[16];
    uint8_t data[];
};

struct radius_das {
    radiusDynAuthClientTable *rows; // two, in the client's NAS record
    mempool *packets;               // answers to retransmissions are built here
    radius_msg_auth_key keys[2];    // each row's secret, prepared for Message-Authenticators
    hashtable *cache;
    list_link oldest;
    uint32_t count;
    uint64_t bytes;
    // The last request radius_das_recv passed on as new: its digest and what
    // it was taken over, so that its response is cached without a second
    // digest and a second lookup. Any insert clears it.
    bool pending;
    uint8_t pending_key[16];
    uint8_t pending_input[RADIUS_AUTH_LEN + 2 + 16 + 2];
};

// rows: the two client rows, which must outlive the server; packets: the
// pool of the answers to retransmissions. Null after "Memory allocation
// failed" or "Failed to create RADIUS DAS response cache".
radius_das *radius_das_create(radiusDynAuthClientTable rows[2], mempool *packets);
// Frees the cache with its responses; wipes the prepared secrets.
void radius_das_destroy(radius_das *das);

// The digest under which the response to a request from source is cached.
void radius_das_cache_key(const uint8_t authenticator[RADIUS_AUTH_LEN], const sockaddr *source,
                          uint8_t key[16]);

// Checks a request: the index of the client row it came from (0, 1), with
// *response set to a copy of the cached response when the request is a
// retransmission and to null otherwise; -1 when it is dropped. Octets
// past the Length field are cut from the message first.
int radius_das_recv(radius_das *das, packet *request, packet **response, const sockaddr *source);

// Signs the response with the row's secret, caches it unless a response is
// already cached for the request, and counts it. 0, or 255 for a code other
// than 41, 42, 44 and 45.
int radius_das_send_response(radius_das *das, const radius_hdr *request, packet *response,
                             const sockaddr *source, int row);

// Selects the sessions that a checked Disconnect-Request or CoA-Request names,
// applies it to them and builds the ACK or NAK; null when the code is neither
// or no packet is available. row: the client row, counted in (-1 for none).
packet *radius_db_request(radius_db *db, packet *request, int row);
// Whether the session matches every identification attribute of the request.
bool radius_db_match_request(const struct radius_entry *entry, const packet *request);
