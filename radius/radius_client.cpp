#include "radius/radius_client.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "common/crypto/secure.h"
#include "common/log.h"
#include "common/sockaddr.h"
#include "common/timer.h"

namespace
{

radius_client *client_of(void *user)
{
    return static_cast<radius_client *>(user);
}

bool caching(const radius_client *c)
{
    return c->record.config.radiusClientCaching;
}

struct addr_text {
    char text[SOCKADDR_FMT_SIZE];
    explicit addr_text(const sockaddr *sa) { sockaddr_format(sa, text, sizeof text, 0); }
};

// ---- cache ops ----

void cache_revoked(void *user, const uint8_t *realm, const uint8_t mac[6])
{
    radius_client *c = client_of(user);
    c->ops.revoked(c->user, realm, mac);
}

void forward_schedule(void *user, timer *t, uint32_t ms, timer_fn callback)
{
    radius_client *c = client_of(user);
    c->ops.schedule(c->user, t, ms, callback);
}

void forward_cancel(void *user, timer *t)
{
    radius_client *c = client_of(user);
    c->ops.cancel(c->user, t);
}

constexpr radius_cache_ops client_cache_ops = {
    .revoked = cache_revoked,
    .schedule = forward_schedule,
    .cancel = forward_cancel,
};

// ---- session-database ops ----

void db_authorize(void *user, radius_entry *e)
{
    radius_client *c = client_of(user);
    c->ops.authorize(c->user, e);
}

void db_deauthorize(void *user, radius_entry *e, uint16_t reason)
{
    radius_client *c = client_of(user);
    c->ops.deauthorize(c->user, e, reason);
}

void db_update(void *user, radius_entry *e)
{
    radius_client *c = client_of(user);
    c->ops.update(c->user, e);
}

int radius_send_db_cb(void *user, packet *msg, int server, int *transaction);
void radius_discard_db_cb(void *user, packet *msg);

void db_cache_store(void *user, const uint8_t *realm, const uint8_t mac[6], radius_entry *e)
{
    radius_client *c = client_of(user);
    if (caching(c)) radius_cache_create_entry(c->_impl.cache, realm, mac, &e->authz);
}

void db_cache_account(void *user, const uint8_t *realm, const uint8_t mac[6], uint32_t up,
                      uint32_t down)
{
    radius_client *c = client_of(user);
    if (caching(c)) radius_cache_account(c->_impl.cache, realm, mac, up, down);
}

void db_cache_revoke(void *user, const uint8_t *realm, const uint8_t mac[6])
{
    radius_client *c = client_of(user);
    if (caching(c)) radius_cache_revoke(c->_impl.cache, realm, mac);
}

const radius_authz *db_cache_lookup(void *user, const uint8_t *realm, const uint8_t mac[6])
{
    radius_client *c = client_of(user);
    return caching(c) ? radius_cache_lookup(c->_impl.cache, realm, mac) : nullptr;
}

void db_cache_revoke_by(void *user, const uint8_t *mac, const char *name, const char *cui)
{
    radius_client *c = client_of(user);
    if (!caching(c)) return;
    if (mac)
        radius_cache_revoke_by_mac(c->_impl.cache, mac);
    else if (name)
        radius_cache_revoke_by_name(c->_impl.cache, name);
    else if (cui)
        radius_cache_revoke_by_cui(c->_impl.cache, cui);
    else
        radius_cache_flush(c->_impl.cache);
}

constexpr radius_db_ops client_db_ops = {
    .authorize = db_authorize,
    .deauthorize = db_deauthorize,
    .update = db_update,
    .send = radius_send_db_cb,
    .discard = radius_discard_db_cb,
    .cache_store = db_cache_store,
    .cache_account = db_cache_account,
    .cache_revoke = db_cache_revoke,
    .cache_lookup = db_cache_lookup,
    .cache_revoke_by = db_cache_revoke_by,
    .schedule = forward_schedule,
    .cancel = forward_cancel,
};

// ---- NAS ops ----

void nas_send(void *user, packet *msg, const sockaddr *server, int port)
{
    radius_client *c = client_of(user);
    c->ops.send(c->user, msg, server, port);
}

void nas_timed_out(void *user, packet *msg)
{
    radius_db_timeout(client_of(user)->_impl.db, msg);
}

constexpr radius_nas_ops client_nas_ops = {
    .send = nas_send,
    .timed_out = nas_timed_out,
    .schedule = forward_schedule,
    .cancel = forward_cancel,
};

// The datagram's kind: code 1 and its answers belong to the authentication
// transport, code 4 and 5 to the accounting one.
radius_nas *nas_for_request(radius_client *c, uint8_t code, const char **kind)
{
    if (code == uint8_t(radius_code::access_request)) {
        *kind = "authentication";
        return c->_impl.auth;
    }
    *kind = "accounting";
    return c->_impl.acct;
}

int radius_send_db_cb(void *user, packet *msg, int server, int *transaction)
{
    radius_client *c = client_of(user);
    uint8_t code = msg->length ? msg->data[0] : 0;
    if (code != uint8_t(radius_code::access_request) &&
        code != uint8_t(radius_code::accounting_request)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Unsupported RADIUS request code %u", code);
        errno = EINVAL;
        return -1;
    }
    const char *kind;
    radius_nas *nas = nas_for_request(c, code, &kind);
    if (!nas) {
        // The transport was removed by a reconfiguration while the session
        // still had a request to send: it is given up as a transport would.
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s has no %s server - %s timed out",
             c->record.config.radiusAuthClientIdentifier, kind, radius_code_name(code));
        radius_db_timeout(c->_impl.db, msg);
        return 0;
    }
    bool access = code == uint8_t(radius_code::access_request);
    return radius_nas_send(nas, msg, server, access ? transaction : nullptr);
}

void radius_discard_db_cb(void *user, packet *msg)
{
    radius_client *c = client_of(user);
    uint8_t code = msg->length ? msg->data[0] : 0;
    const char *kind;
    radius_nas *nas = nas_for_request(c, code, &kind);
    if (!nas) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s has no %s server to cancel %s on",
             c->record.config.radiusAuthClientIdentifier, kind, radius_code_name(code));
        return;
    }
    radius_nas_cancel(nas, msg);
}

// ---- configuration ----

bool has_server(uint8_t type)
{
    return type == RADIUS_INET_IPV4 || type == RADIUS_INET_IPV6;
}

// What a configuration builds before anything of the running one changes.
struct staged {
    radius_nas_record record{};
    radius_nas *auth = nullptr;
    radius_nas *acct = nullptr;
    radius_das *das = nullptr;
    ~staged()
    {
        radius_nas_destroy(auth);
        radius_nas_destroy(acct);
        radius_das_destroy(das);
        secure_wipe(&record, sizeof record);
    }
};

void fill_rows(radius_nas_record *rec, const radius_nas_config *config,
               const radiusAuthClientServerExtTable *auth,
               const radiusAccClientServerExtTable *acct)
{
    rec->config = *config;
    uint32_t now = clock_sec();
    for (uint8_t i = 0; i < 2; i++) {
        radiusAuthClientServerExtTable &a = rec->auth[i];
        radiusAccClientServerExtTable &b = rec->acct[i];
        radiusDynAuthClientTable &d = rec->das[i];
        a.radiusAuthServerExtIndex = b.radiusAccServerExtIndex = d.radiusDynAuthClientIndex = i;
        a.radiusAuthClientCounterDiscontinuity = now;
        b.radiusAccClientCounterDiscontinuity = now;
        d.radiusDynAuthServerCounterDiscontinuity = now;
        if (auth) {
            const radiusAuthClientServerExtTable &s = auth[i];
            memcpy(a.radiusAuthServerSharedSecret, s.radiusAuthServerSharedSecret,
                   RADIUS_SECRET_SIZE);
            a.radiusAuthServerInetAddressType = s.radiusAuthServerInetAddressType;
            memcpy(a.radiusAuthServerInetAddress, s.radiusAuthServerInetAddress, 16);
            a.radiusAuthClientInetAddressType = s.radiusAuthClientInetAddressType;
            memcpy(a.radiusAuthClientInetAddress, s.radiusAuthClientInetAddress, 16);
            a.radiusAuthClientServerInetPortNumber = s.radiusAuthClientServerInetPortNumber;
            // The server of the NAS may change the NAS's sessions: its row
            // mirrors the authentication row, client and server swapped. The
            // last byte of the secret stays zero.
            memcpy(d.radiusDynAuthSharedSecret, s.radiusAuthServerSharedSecret,
                   RADIUS_SECRET_SIZE - 1);
            d.radiusDynAuthClientAddressType = s.radiusAuthServerInetAddressType;
            memcpy(d.radiusDynAuthClientAddress, s.radiusAuthServerInetAddress, 16);
            d.radiusDynAuthServerAddressType = s.radiusAuthClientInetAddressType;
            memcpy(d.radiusDynAuthServerAddress, s.radiusAuthClientInetAddress, 16);
        }
        if (acct) {
            const radiusAccClientServerExtTable &s = acct[i];
            memcpy(b.radiusAccServerSharedSecret, s.radiusAccServerSharedSecret,
                   RADIUS_SECRET_SIZE);
            b.radiusAccServerInetAddressType = s.radiusAccServerInetAddressType;
            memcpy(b.radiusAccServerInetAddress, s.radiusAccServerInetAddress, 16);
            b.radiusAccClientInetAddressType = s.radiusAccClientInetAddressType;
            memcpy(b.radiusAccClientInetAddress, s.radiusAccClientInetAddress, 16);
            b.radiusAccClientServerInetPortNumber = s.radiusAccClientServerInetPortNumber;
        }
    }
}

// The objects point at the rows they count in; after the record moved into
// the client they follow it.
void point_at(radius_client *c)
{
    if (c->_impl.auth) c->_impl.auth->rows = c->record.auth;
    if (c->_impl.acct) c->_impl.acct->rows = c->record.acct;
    if (c->_impl.das) c->_impl.das->rows = c->record.das;
}

} // namespace

int radius_client_configure(radius_client *c, const radius_nas_config *config,
                            const radiusAuthClientServerExtTable *auth,
                            const radiusAccClientServerExtTable *acct)
{
    const char *name = config->radiusAuthClientIdentifier;
    if (!memchr(name, '\0', sizeof config->radiusAuthClientIdentifier)) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Invalid RADIUS NAS identifier");
        errno = EINVAL;
        return -1;
    }
    auto st = std::make_unique<staged>();
    fill_rows(&st->record, config, auth, acct);
    radius_nas_record &rec = st->record;
    // A primary without its secret yet is kept in the record but not asked.
    bool want_auth = has_server(rec.auth[0].radiusAuthServerInetAddressType) &&
                     rec.auth[0].radiusAuthServerSharedSecret[0];
    bool want_acct = has_server(rec.acct[0].radiusAccServerInetAddressType) &&
                     rec.acct[0].radiusAccServerSharedSecret[0];
    unsigned ports = rec.config.radiusClientRequestPorts;
    if (ports > RADIUS_MAX_REQUEST_PORTS || ((want_auth || want_acct) && ports == 0)) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Invalid number of RADIUS request ports %u", ports);
        errno = EINVAL;
        return -1;
    }
    if (want_auth) {
        st->auth = radius_nas_create_auth(&rec.config, rec.auth, &client_nas_ops, c);
        st->das = st->auth ? radius_das_create(rec.das, c->_impl.db->packets) : nullptr;
        if (!st->das) return -1;
    }
    if (want_acct) {
        st->acct = radius_nas_create_acct(&rec.config, rec.acct, &client_nas_ops, c);
        if (!st->acct) return -1;
    }

    // The new configuration stands: the old objects go, their requests in
    // flight kept to be reported once the new ones are in place.
    packet_queue given_up;
    packet_queue_init(&given_up);
    radius_nas_destroy_into(c->_impl.auth, &given_up);
    radius_nas_destroy_into(c->_impl.acct, &given_up);
    radius_das_destroy(c->_impl.das);
    secure_wipe(&c->record, sizeof c->record);
    c->record = rec;
    c->_impl.auth = std::exchange(st->auth, nullptr);
    c->_impl.acct = std::exchange(st->acct, nullptr);
    c->_impl.das = std::exchange(st->das, nullptr);
    point_at(c);
    st.reset();

    if (c->_impl.db)
        radius_db_configure(c->_impl.db, c->record.config.radiusAuthClientIdentifier, c->_impl.auth,
                            c->_impl.acct, c->_impl.das);
    if (!caching(c) && c->_impl.cache) radius_cache_flush(c->_impl.cache);
    while (packet *msg = packet_queue_pop(&given_up)) {
        if (c->_impl.db) radius_db_timeout(c->_impl.db, msg);
        packet_release(msg);
    }
    return 0;
}

radius_client *radius_client_create(const radius_nas_config *config,
                                    const radiusAuthClientServerExtTable *auth,
                                    const radiusAccClientServerExtTable *acct,
                                    const radius_client_ops *ops, void *user, uint32_t realm_len,
                                    mempool *packets)
{
    auto *c = static_cast<radius_client *>(calloc(1, sizeof(radius_client)));
    if (!c) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    std::unique_ptr<radius_client, decltype(&radius_client_destroy)> owner(c,
                                                                           radius_client_destroy);
    c->record.config = *config;
    c->ops = *ops;
    c->user = user;
    c->_impl.cache = radius_cache_create(&client_cache_ops, c, realm_len);
    if (!c->_impl.cache) return nullptr;
    c->_impl.db =
        radius_db_create(&client_db_ops, c, "", realm_len, packets, nullptr, nullptr, nullptr);
    if (!c->_impl.db) return nullptr;
    if (radius_client_configure(c, config, auth, acct) < 0) return nullptr;
    return owner.release();
}

void radius_client_destroy(radius_client *c)
{
    if (!c) return;
    // The sessions' Stops go out through the transports, which go after them.
    radius_db_destroy(c->_impl.db);
    c->_impl.db = nullptr;
    radius_cache_destroy(c->_impl.cache);
    radius_nas_destroy(c->_impl.auth);
    radius_nas_destroy(c->_impl.acct);
    radius_das_destroy(c->_impl.das);
    secure_wipe(&c->record, sizeof c->record);
    free(c);
}

// ---- datagrams ----

char *radius_client_peek_nas_identifier(const packet *msg, const sockaddr *source, char *buffer,
                                        size_t size)
{
    if (packet_isfragmented(msg) || msg->length < RADIUS_HDR_LEN ||
        msg->length < radius_hdr_length(radius_header(msg))) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding short RADIUS request %u bytes from %s",
             msg->length, addr_text(source).text);
        return nullptr;
    }
    // The attributes up to the Length field; octets past it are padding.
    size_t end = radius_hdr_length(radius_header(msg));
    const uint8_t *d = msg->data;
    const uint8_t *nas_id = nullptr;
    for (size_t off = RADIUS_HDR_LEN; off < end;) {
        size_t len = end - off < RADIUS_ATTR_HDR_LEN ? 0 : d[off + 1];
        bool bad = len < RADIUS_ATTR_HDR_LEN + 1 || len > end - off;
        if (!bad && d[off] == uint8_t(radius_attr_type::vendor_specific))
            bad = len < RADIUS_VSA_HDR_LEN || d[off + 7] < 2 || d[off + 7] + 6u > len;
        if (bad) {
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Discarding malformed RADIUS request from %s",
                 addr_text(source).text);
            return nullptr;
        }
        if (!nas_id && d[off] == uint8_t(radius_attr_type::nas_identifier)) nas_id = d + off;
        off += len;
    }
    if (!nas_id || size == 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "Discarding RADIUS request from %s without NAS-Identifier", addr_text(source).text);
        return nullptr;
    }
    size_t n = size_t(nas_id[1] - 2);
    if (n > size - 1) n = size - 1;
    memcpy(buffer, nas_id + 2, n);
    buffer[n] = '\0';
    return buffer;
}

namespace
{

void radius_client_recv_dynauth(radius_client *c, packet *msg, const sockaddr *source)
{
    radius_das *das = c->_impl.das;
    if (!das) return;
    packet *response = nullptr;
    int row = radius_das_recv(das, msg, &response, source);
    if (row < 0) return;
    if (response) {
        // A retransmission: the answer it had, counted once.
        c->ops.send(c->user, response, source, -1);
        packet_release(response);
        return;
    }
    response = radius_db_request(c->_impl.db, msg, row);
    if (!response) return;
    // The core's callbacks ran while the request was applied; one of them
    // may have reconfigured the NAS and replaced the server.
    das = c->_impl.das;
    if (das && radius_das_send_response(das, radius_header(msg), response, source, row) == 0)
        c->ops.send(c->user, response, source, -1);
    packet_release(response);
}

} // namespace

void radius_client_recv(radius_client *c, packet *msg, const sockaddr *source, int port)
{
    if (port == -1) {
        radius_client_recv_dynauth(c, msg, source);
        return;
    }
    if (port < 0 || port >= int(c->record.config.radiusClientRequestPorts) ||
        packet_isfragmented(msg) || msg->length < 1)
        return;
    radius_nas *nas;
    switch (radius_code(msg->data[0])) {
    case radius_code::accounting_response:
        nas = c->_impl.acct;
        break;
    case radius_code::access_accept:
    case radius_code::access_reject:
    case radius_code::access_challenge:
        nas = c->_impl.auth;
        break;
    default:
        return;
    }
    if (!nas) return;
    int server = radius_nas_recv(nas, msg, source, port);
    if (server >= 0) radius_db_response(c->_impl.db, msg, server);
}

// ---- EAP back ends ----

radius_entry *radius_client_attach_auth(radius_client *c, const uint8_t mac[6], radius_auth *auth)
{
    radius_nas *nas = c->_impl.auth;
    if (!nas) return nullptr;
    int token = radius_nas_reserve_transaction(nas, -1);
    if (token < 0) return nullptr;
    radius_entry *e = radius_db_attach_auth(c->_impl.db, mac, auth, token);
    if (!e) radius_nas_release_transaction(nas, token);
    return e;
}

void radius_client_detach_auth(radius_entry *e)
{
    if (!e) return;
    radius_client *c = client_of(e->db->user);
    // A transaction is given back only to the transport it was reserved on;
    // one of a replaced transport went with it.
    radius_nas *owner = e->token_nas;
    int token = radius_db_detach_auth(e);
    if (token >= 0 && owner && owner == c->_impl.auth) radius_nas_release_transaction(owner, token);
}

// ---- forwarders ----

radius_entry *radius_client_create_sess(radius_client *c, const uint8_t *realm,
                                        const uint8_t mac[6], void *station)
{
    if (radius_db_lookup_sess(c->_impl.db, mac)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS session of station %02x:%02x:%02x:%02x:%02x:%02x exists", mac[0], mac[1],
             mac[2], mac[3], mac[4], mac[5]);
        errno = EEXIST;
        return nullptr;
    }
    return radius_db_create_sess(c->_impl.db, realm, mac, station);
}

int radius_client_add_filter(radius_client *c, const char *name, const filter_rule *rules,
                             uint32_t count)
{
    int r = radius_db_add_filter(c->_impl.db, name, rules, count);
    if (r == 255) {
        errno = ENOMEM;
        return -1;
    }
    return r;
}

void radius_client_remove_filter(radius_client *c, const char *name)
{
    radius_db_remove_filter(c->_impl.db, name);
}

int radius_client_get_filter(radius_client *c, const char *name, filter_rule *rules, uint32_t n)
{
    return radius_db_get_filter(c->_impl.db, name, rules, n);
}

int radius_client_list_filters(radius_client *c, const char **names, uint32_t n)
{
    return radius_db_list_filters(c->_impl.db, names, n);
}
