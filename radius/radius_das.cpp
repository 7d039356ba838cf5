#include "radius/radius_das.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common/crypto/md5.h"
#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/sockaddr.h"
#include "common/timer.h"
#include "radius/radius_db.h"

namespace
{

// The counters of one request code, so that one path serves both.
struct das_counters {
    uint32_t radiusDynAuthClientTable::*requests;
    uint32_t radiusDynAuthClientTable::*auth_only;
    uint32_t radiusDynAuthClientTable::*dups;
    uint32_t radiusDynAuthClientTable::*malformed;
    uint32_t radiusDynAuthClientTable::*bad_authenticators;
    uint32_t radiusDynAuthClientTable::*invalid_client;
    uint32_t radiusDynAuthClientTable::*acks;
    uint32_t radiusDynAuthClientTable::*naks;
    uint32_t radiusDynAuthClientTable::*nak_auth_only;
    uint32_t radiusDynAuthClientTable::*nak_no_context;
    uint32_t radiusDynAuthClientTable::*done; // sessions removed or changed
    uint32_t radiusDynAuthClientTable::*dropped;
};

using T = radiusDynAuthClientTable;
constexpr das_counters disconnect_counters = {
    .requests = &T::radiusDynAuthServDisconRequests,
    .auth_only = &T::radiusDynAuthServDisconAuthOnlyRequests,
    .dups = &T::radiusDynAuthServDupDisconRequests,
    .malformed = &T::radiusDynAuthServMalformedDisconRequests,
    .bad_authenticators = &T::radiusDynAuthServDisconBadAuthenticators,
    .invalid_client = &T::radiusDynAuthServerDisconInvalidClientAddresses,
    .acks = &T::radiusDynAuthServDisconAcks,
    .naks = &T::radiusDynAuthServDisconNaks,
    .nak_auth_only = &T::radiusDynAuthServDisconNakAuthOnlyRequests,
    .nak_no_context = &T::radiusDynAuthServDisconNakSessNoContext,
    .done = &T::radiusDynAuthServDisconUserSessRemoved,
    .dropped = &T::radiusDynAuthServDisconPacketsDropped,
};
constexpr das_counters coa_counters = {
    .requests = &T::radiusDynAuthServCoARequests,
    .auth_only = &T::radiusDynAuthServCoAAuthOnlyRequests,
    .dups = &T::radiusDynAuthServDupCoARequests,
    .malformed = &T::radiusDynAuthServMalformedCoARequests,
    .bad_authenticators = &T::radiusDynAuthServCoABadAuthenticators,
    .invalid_client = &T::radiusDynAuthServerCoAInvalidClientAddresses,
    .acks = &T::radiusDynAuthServCoAAcks,
    .naks = &T::radiusDynAuthServCoANaks,
    .nak_auth_only = &T::radiusDynAuthServCoANakAuthOnlyRequests,
    .nak_no_context = &T::radiusDynAuthServCoANakSessNoContext,
    .done = &T::radiusDynAuthServCoAUserSessChanged,
    .dropped = &T::radiusDynAuthServCoAPacketsDropped,
};

// Request and response codes map to the counters of their request code.
const das_counters *counters_of(uint8_t code)
{
    switch (radius_code(code)) {
    case radius_code::disconnect_request:
    case radius_code::disconnect_ack:
    case radius_code::disconnect_nak:
        return &disconnect_counters;
    case radius_code::coa_request:
    case radius_code::coa_ack:
    case radius_code::coa_nak:
        return &coa_counters;
    default:
        return nullptr;
    }
}

struct addr_text {
    char text[SOCKADDR_FMT_SIZE];
    explicit addr_text(const sockaddr *sa) { sockaddr_format(sa, text, sizeof text, 0); }
};

const char *row_secret(const radiusDynAuthClientTable *row)
{
    return row->radiusDynAuthSharedSecret;
}

// The row whose client (a RADIUS server of the NAS) has the source's address
// and a secret.
int row_of(const radius_das *das, const sockaddr *source)
{
    sockaddr_in v4;
    const sockaddr *src = sockaddr_from_v4mapped(source, &v4);
    for (int i = 0; i < 2; i++) {
        const radiusDynAuthClientTable &row = das->rows[i];
        // A server without its secret yet would sign with an empty one.
        if (!row.radiusDynAuthSharedSecret[0]) continue;
        if (src->sa_family == AF_INET && row.radiusDynAuthClientAddressType == RADIUS_INET_IPV4 &&
            memcmp(&reinterpret_cast<const sockaddr_in *>(src)->sin_addr,
                   row.radiusDynAuthClientAddress, 4) == 0)
            return i;
        if (src->sa_family == AF_INET6 && row.radiusDynAuthClientAddressType == RADIUS_INET_IPV6 &&
            memcmp(&reinterpret_cast<const sockaddr_in6 *>(src)->sin6_addr,
                   row.radiusDynAuthClientAddress, 16) == 0)
            return i;
    }
    return -1;
}

void response_free(radius_das *das, radius_das_response *r)
{
    hashtable_remove(das->cache, &r->link);
    list_remove(&r->age);
    das->count--;
    das->bytes -= r->length;
    free(r);
}

void expire(radius_das *das, uint32_t now)
{
    while (!list_isempty(&das->oldest)) {
        radius_das_response *r = container_of(list_first(&das->oldest), &radius_das_response::age);
        if (now - r->time <= RADIUS_DAS_CACHE_SECONDS && das->count <= RADIUS_DAS_CACHE_MAX) break;
        response_free(das, r);
    }
}

uint32_t service_type_of(const packet *msg)
{
    uint32_t v = 0;
    const uint8_t *a = radius_find_attr(msg, radius_attr_type::service_type);
    if (!a || radius_get_int(a, &v) < 0) return 0;
    return v;
}

} // namespace

radius_das *radius_das_create(radiusDynAuthClientTable rows[2], mempool *packets)
{
    auto *das = static_cast<radius_das *>(calloc(1, sizeof(radius_das)));
    if (!das) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    das->rows = rows;
    das->packets = packets;
    list_init(&das->oldest);
    das->cache = hashtable_create(&radius_das_response::key, &radius_das_response::link);
    if (!das->cache) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to create RADIUS DAS response cache");
        free(das);
        return nullptr;
    }
    for (int i = 0; i < 2; i++)
        radius_msg_auth_key_init(&das->keys[i], row_secret(&rows[i]));
    return das;
}

void radius_das_destroy(radius_das *das)
{
    if (!das) return;
    while (!list_isempty(&das->oldest))
        response_free(das, container_of(list_first(&das->oldest), &radius_das_response::age));
    hashtable_destroy(das->cache);
    radius_msg_auth_key_wipe(&das->keys[0]);
    radius_msg_auth_key_wipe(&das->keys[1]);
    free(das);
}

namespace
{

// What the cache key is a digest of: authenticator, family, address, port.
// Its length.
size_t cache_key_input(const uint8_t authenticator[RADIUS_AUTH_LEN], const sockaddr *source,
                       uint8_t out[RADIUS_AUTH_LEN + 2 + 16 + 2])
{
    memcpy(out, authenticator, RADIUS_AUTH_LEN);
    size_t n = RADIUS_AUTH_LEN;
    uint16_t family = source->sa_family;
    memcpy(out + n, &family, sizeof family);
    n += sizeof family;
    if (source->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(source);
        memcpy(out + n, &in->sin_addr, 4);
        memcpy(out + n + 4, &in->sin_port, 2);
        n += 6;
    } else if (source->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(source);
        memcpy(out + n, &in6->sin6_addr, 16);
        memcpy(out + n + 16, &in6->sin6_port, 2);
        n += 18;
    }
    return n;
}

} // namespace

void radius_das_cache_key(const uint8_t authenticator[RADIUS_AUTH_LEN], const sockaddr *source,
                          uint8_t key[16])
{
    uint8_t input[RADIUS_AUTH_LEN + 2 + 16 + 2];
    size_t n = cache_key_input(authenticator, source, input);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, input, n);
    md5_final(&ctx, key);
}

int radius_das_recv(radius_das *das, packet *msg, packet **response, const sockaddr *source)
{
    *response = nullptr;
    bool whole = !packet_isfragmented(msg);
    uint8_t code = whole && msg->length >= 1 ? msg->data[0] : 0;
    const das_counters *c = code == uint8_t(radius_code::disconnect_request) ||
                                    code == uint8_t(radius_code::coa_request)
                                ? counters_of(code)
                                : nullptr;
    int i = row_of(das, source);
    if (i < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding RADIUS request from unknown source %s",
             addr_text(source).text);
        if (c) {
            das->rows[0].*c->invalid_client += 1;
            das->rows[1].*c->invalid_client += 1;
        }
        return -1;
    }
    radiusDynAuthClientTable &row = das->rows[i];
    if (!c) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Discarding RADIUS request with unkown code %u",
             addr_text(source).text, code);
        row.radiusDynAuthServUnknownTypes++;
        return -1;
    }
    // Octets past the Length field are padding.
    if (whole && msg->length >= RADIUS_HDR_LEN) {
        uint16_t length = radius_hdr_length(radius_header(msg));
        if (length >= RADIUS_HDR_LEN && length < msg->length)
            packet_trim(msg, msg->length - length);
    }
    if (!whole || msg->length < RADIUS_HDR_LEN || msg->length > RADIUS_MAX_LEN ||
        radius_hdr_length(radius_header(msg)) != msg->length || radius_validate_attrs(msg) < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Discarding malformed RADIUS request %u bytes",
             addr_text(source).text, msg->length);
        row.*c->malformed += 1;
        return -1;
    }
    radius_hdr *hdr = radius_header(msg);
    uint8_t expect[RADIUS_AUTH_LEN];
    radius_calc_authenticator(row_secret(&row), msg, nullptr, expect);
    if (secure_compare(expect, hdr->authenticator, RADIUS_AUTH_LEN) != 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "%s: Discarding RADIUS request with invalid Authenticator", addr_text(source).text);
        row.*c->bad_authenticators += 1;
        return -1;
    }
    if (const uint8_t *ma = radius_find_attr(static_cast<const packet *>(msg),
                                             radius_attr_type::message_authenticator)) {
        if (ma[1] != RADIUS_MSG_AUTH_ATTR_LEN ||
            radius_calc_msg_auth_key(&das->keys[i], msg, nullptr, expect) != 0 ||
            secure_compare(expect, ma + 2, RADIUS_AUTH_LEN) != 0) {
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
                 "%s: Discarding RADIUS request with invalid Message-Authenticator",
                 addr_text(source).text);
            row.*c->bad_authenticators += 1;
            return -1;
        }
    }
    expire(das, clock_sec());
    uint8_t key[16];
    radius_das_cache_key(hdr->authenticator, source, key);
    das->pending = false;
    if (auto *r = hashtable_lookup(das->cache, key, &radius_das_response::link)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "%s: Duplicate RADIUS request %u bytes id %u",
             addr_text(source).text, msg->length, hdr->identifier);
        row.*c->dups += 1;
        packet *copy = packet_alloc(das->packets, r->length);
        if (!copy) {
            ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to allocate RADIUS response: %s",
                 strerror(errno));
            row.*c->dropped += 1;
            return -1;
        }
        memcpy(copy->data, r->data, r->length);
        *response = copy;
        return i;
    }
    das->pending = true;
    memcpy(das->pending_key, key, sizeof key);
    memset(das->pending_input, 0, sizeof das->pending_input);
    cache_key_input(hdr->authenticator, source, das->pending_input);
    row.*c->requests += 1;
    if (service_type_of(msg) == RADIUS_SERVICE_AUTHORIZE_ONLY) row.*c->auth_only += 1;
    return i;
}

int radius_das_send_response(radius_das *das, const radius_hdr *request, packet *response,
                             const sockaddr *source, int i)
{
    uint8_t code = response->data[0];
    const das_counters *c = code == uint8_t(radius_code::disconnect_ack) ||
                                    code == uint8_t(radius_code::disconnect_nak) ||
                                    code == uint8_t(radius_code::coa_ack) ||
                                    code == uint8_t(radius_code::coa_nak)
                                ? counters_of(code)
                                : nullptr;
    if (!c || i < 0 || i > 1) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Unsupported RADIUS response code %u", code);
        return 255;
    }
    radiusDynAuthClientTable &row = das->rows[i];
    radius_hdr *hdr = radius_header(response);
    memcpy(hdr->authenticator, request->authenticator, RADIUS_AUTH_LEN);
    if (uint8_t *value = radius_msg_auth_value(response)) {
        uint8_t mac[RADIUS_AUTH_LEN];
        radius_calc_msg_auth_key(&das->keys[i], response, request->authenticator, mac);
        memcpy(value, mac, sizeof mac);
    }
    radius_calc_authenticator(row_secret(&row), response, request->authenticator,
                              hdr->authenticator);

    // The request radius_das_recv just found uncached needs neither its
    // digest nor the lookup again; any other takes both.
    uint8_t key[16], input[sizeof das->pending_input] = {};
    cache_key_input(request->authenticator, source, input);
    bool known_new = das->pending && memcmp(input, das->pending_input, sizeof input) == 0;
    if (known_new)
        memcpy(key, das->pending_key, sizeof key);
    else
        radius_das_cache_key(request->authenticator, source, key);
    das->pending = false;
    if (known_new || !hashtable_lookup(das->cache, key)) {
        auto *r = static_cast<radius_das_response *>(
            malloc(sizeof(radius_das_response) + response->length));
        if (r) {
            hashlink_init(&r->link);
            memcpy(r->key, key, sizeof key);
            r->length = response->length;
            memcpy(r->data, response->data, response->length);
            r->time = clock_sec();
            hashtable_insert(das->cache, &r->link);
            list_append(&das->oldest, &r->age);
            das->count++;
            das->bytes += r->length;
        } else {
            // Without a cached copy a retransmission is applied again; the
            // answer itself still goes out.
            ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        }
    }

    bool ack =
        code == uint8_t(radius_code::disconnect_ack) || code == uint8_t(radius_code::coa_ack);
    if (ack) {
        row.*c->acks += 1;
        return 0;
    }
    row.*c->naks += 1;
    if (service_type_of(response) == RADIUS_SERVICE_AUTHORIZE_ONLY) row.*c->nak_auth_only += 1;
    uint32_t cause;
    const uint8_t *ec =
        radius_find_attr(static_cast<const packet *>(response), radius_attr_type::error_cause);
    if (ec && radius_get_int(ec, &cause) == 0 && cause == RADIUS_ERROR_SESSION_NOT_FOUND)
        row.*c->nak_no_context += 1;
    return 0;
}

// ---- session selection ----

namespace
{

// An attribute value as a NUL-terminated string.
struct attr_string {
    char text[RADIUS_ATTR_MAX_VALUE + 1];
    size_t length;
    explicit attr_string(const uint8_t *a) : length(size_t(a[1] - 2))
    {
        memcpy(text, a + 2, length);
        text[length] = '\0';
    }
};

bool equal_text(const char *s, const uint8_t *a)
{
    size_t n = size_t(a[1] - 2);
    return s && strlen(s) == n && memcmp(s, a + 2, n) == 0;
}

bool has_ipv4(const radius_entry *e, const uint8_t *addr)
{
    for (radius_index *ix : list_records<&radius_index::link>(&e->addrs4))
        if (memcmp(ix->addr, addr, 4) == 0) return true;
    return false;
}

bool has_ipv6(const radius_entry *e, const uint8_t *addr)
{
    for (radius_index6 *ix : list_records<&radius_index6::link>(&e->addrs6))
        if (memcmp(ix->addr, addr, 16) == 0) return true;
    return false;
}

// An 8-character Acct-Session-Id read as hexadecimal.
bool session_id_number(const uint8_t *a, uint32_t *out)
{
    if (a[1] != 2 + 8) return false;
    uint32_t n = 0;
    for (int i = 0; i < 8; i++) {
        uint8_t ch = a[2 + i];
        uint32_t d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return false;
        n = n << 4 | d;
    }
    *out = n;
    return true;
}

// Sessions gathered with a reference each, so that applying a request to one
// cannot disturb the walk that found the others.
struct session_list {
    Ary items;
    session_list() { array_init(&items, sizeof(radius_entry *)); }
    ~session_list()
    {
        for (uint32_t i = 0; i < array_length(&items); i++)
            radius_entry_unref(*array_at<radius_entry *>(&items, i));
        array_purge(&items);
    }
    session_list(const session_list &) = delete;
    session_list &operator=(const session_list &) = delete;
    bool add(radius_entry *e)
    {
        radius_entry **slot = array_push<radius_entry *>(&items);
        if (!slot) return false;
        radius_entry_ref(e);
        *slot = e;
        return true;
    }
    uint32_t size() const { return array_length(&items); }
    radius_entry *at(uint32_t i) const { return *array_at<radius_entry *>(&items, i); }
};

template <class R, class Match>
bool collect_key(multitable *table, const void *key, multilink R::*link, Match same_key,
                 const packet *request, session_list &out)
{
    for (multilink *l = multitable_lookup(table, key); l; l = multitable_next(table, l)) {
        R *rec = multitable_entry(l, link);
        if (!same_key(rec)) break;
        radius_entry *e;
        if constexpr (std::is_same_v<R, radius_entry>)
            e = rec;
        else
            e = rec->entry;
        if (!e->deleted && radius_db_match_request(e, request) && !out.add(e)) return false;
    }
    return true;
}

// Every session that matches the request, through the index of the first of
// User-Name, CUI, IPv4 and IPv6 address that the request carries.
bool collect_matches(radius_db *db, const packet *request, session_list &out)
{
    if (const uint8_t *a = radius_find_attr(request, radius_attr_type::user_name)) {
        attr_string name(a);
        return collect_key(
            db->entries_by_name, name.text, &radius_entry::by_name,
            [&](radius_entry *e) { return e->name_key && strcmp(e->name_key, name.text) == 0; },
            request, out);
    }
    if (const uint8_t *a = radius_find_attr(request, radius_attr_type::chargeable_user_identity)) {
        attr_string cui(a);
        return collect_key(
            db->entries_by_cui, cui.text, &radius_entry::by_cui,
            [&](radius_entry *e) { return e->cui_key && strcmp(e->cui_key, cui.text) == 0; },
            request, out);
    }
    if (const uint8_t *a = radius_find_attr(request, radius_attr_type::framed_ip_address)) {
        if (a[1] != 6) return true;
        return collect_key(
            db->by_ipv4, a + 2, &radius_index::by_addr,
            [&](radius_index *ix) { return memcmp(ix->addr, a + 2, 4) == 0; }, request, out);
    }
    if (const uint8_t *a = radius_find_attr(request, radius_attr_type::framed_ipv6_address)) {
        if (a[1] != 18) return true;
        return collect_key(
            db->by_ipv6, a + 2, &radius_index6::by_addr,
            [&](radius_index6 *ix) { return memcmp(ix->addr, a + 2, 16) == 0; }, request, out);
    }
    return true;
}

} // namespace

bool radius_db_match_request(const radius_entry *e, const packet *request)
{
    for (const uint8_t *a = radius_first_attr(request); a; a = radius_next_attr(request, a)) {
        switch (radius_attr_type(a[0])) {
        case radius_attr_type::user_name:
            if (!equal_text(e->authz.user_name, a)) return false;
            break;
        case radius_attr_type::framed_ip_address:
            if (a[1] != 6 || !has_ipv4(e, a + 2)) return false;
            break;
        case radius_attr_type::calling_station_id: {
            uint8_t mac[6];
            if (radius_get_mac(a, mac) < 0 || memcmp(mac, e->mac, 6) != 0) return false;
            break;
        }
        case radius_attr_type::acct_session_id: {
            uint32_t n;
            if (!e->acct_session_id[0] || !session_id_number(a, &n) || n != e->session_id_num)
                return false;
            break;
        }
        case radius_attr_type::chargeable_user_identity:
            if (!e->authz.cui || !equal_text(e->authz.cui, a)) return false;
            break;
        case radius_attr_type::framed_ipv6_address:
            if (a[1] != 18 || !has_ipv6(e, a + 2)) return false;
            break;
        default:
            break;
        }
    }
    return true;
}

packet *radius_db_request(radius_db *db, packet *request, int row)
{
    // Octets past the Length field are padding; a message shorter than its
    // Length never passed the server's checks and is not answered.
    if (!packet_isfragmented(request) && request->length >= RADIUS_HDR_LEN) {
        uint16_t length = radius_hdr_length(radius_header(request));
        if (length >= RADIUS_HDR_LEN && length < request->length)
            packet_trim(request, request->length - length);
    }
    if (packet_isfragmented(request) || request->length < RADIUS_HDR_LEN ||
        request->length != radius_hdr_length(radius_header(request)))
        return nullptr;
    const packet *req = request;
    const radius_hdr *hdr = radius_header(req);
    uint8_t code = hdr->code;
    if (code != uint8_t(radius_code::disconnect_request) &&
        code != uint8_t(radius_code::coa_request))
        return nullptr;
    radiusDynAuthClientTable *r = db->das && row >= 0 && row <= 1 ? &db->das->rows[row] : nullptr;

    radius_entry *candidate = nullptr;
    if (const uint8_t *a = radius_find_attr(req, radius_attr_type::calling_station_id);
        a && a[1] == 2 + 17) {
        uint8_t mac[6];
        if (radius_get_mac(a, mac) == 0) candidate = radius_db_lookup_sess(db, mac);
    } else if (const uint8_t *s = radius_find_attr(req, radius_attr_type::acct_session_id)) {
        uint32_t n;
        if (session_id_number(s, &n)) {
            candidate = radius_db_lookup_sess_by_session_id(db, n);
            if (candidate && !candidate->acct_session_id[0]) candidate = nullptr;
        }
    }
    int result;
    if (candidate && !candidate->deleted && radius_db_match_request(candidate, req)) {
        result = radius_db_handle_dynauth(candidate, request, r);
    } else {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS DAS %s received %s for unknown session",
             db->nas_name, radius_code_name(code));
        session_list found;
        if (!collect_matches(db, req, found)) {
            ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
            if (r) r->*counters_of(code)->dropped += 1;
            return nullptr;
        }
        result = RADIUS_ERROR_SESSION_NOT_FOUND;
        for (uint32_t i = 0; i < found.size(); i++) {
            radius_entry *e = found.at(i);
            if (e->deleted) continue;
            result = radius_db_handle_dynauth(e, request, r);
            if (result != 0 && result != RADIUS_ERROR_REQUEST_INITIATED) break;
        }
    }

    bool disconnect = code == uint8_t(radius_code::disconnect_request);
    uint8_t out_code = uint8_t(
        disconnect ? (result == 0 ? radius_code::disconnect_ack : radius_code::disconnect_nak)
                   : (result == 0 ? radius_code::coa_ack : radius_code::coa_nak));
    char cause[32] = "";
    if (result == RADIUS_ERROR_REQUEST_INITIATED)
        snprintf(cause, sizeof cause, "[Request-Initiated]");
    else if (result)
        snprintf(cause, sizeof cause, "[Error-Cause=%u]", unsigned(result));
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS DAS %s sending %s%s", db->nas_name,
         radius_code_name(out_code), cause);

    packet *response = packet_alloc(db->packets, RADIUS_HDR_LEN);
    if (!response) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to allocate RADIUS response: %s",
             strerror(errno));
        if (r) r->*counters_of(code)->dropped += 1;
        return nullptr;
    }
    radius_hdr *out = radius_header(response);
    out->code = out_code;
    out->identifier = hdr->identifier;
    memcpy(out->authenticator, hdr->authenticator, RADIUS_AUTH_LEN);
    radius_set_length(response);
    bool ok = true;
    auto copy = [&](const uint8_t *a) {
        if (ok && !radius_append(response, a, a[1])) ok = false;
    };
    if (const uint8_t *a = radius_find_attr(req, radius_attr_type::state)) copy(a);
    if (const uint8_t *a = radius_find_attr(req, radius_attr_type::service_type)) copy(a);
    if (result && ok &&
        !radius_append_int(response, radius_attr_type::error_cause, uint32_t(result)))
        ok = false;
    for (const uint8_t *a = radius_first_attr(req); a && ok; a = radius_next_attr(req, a))
        if (a[0] == uint8_t(radius_attr_type::proxy_state)) copy(a);
    uint8_t zeros[RADIUS_AUTH_LEN] = {};
    if (ok &&
        !radius_append_attr(response, radius_attr_type::message_authenticator, zeros, sizeof zeros))
        ok = false;
    if (!ok || response->length > RADIUS_MAX_LEN) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS DAS %s has no room for its %s", db->nas_name,
             radius_code_name(out_code));
        packet_release(response);
        if (r) r->*counters_of(code)->dropped += 1;
        return nullptr;
    }
    return response;
}
