// The RADIUS sessions of one client: one radius_entry per station, indexed by
// MAC, Acct-Session-Id, User-Name, CUI, realm and addresses, each running an
// eight-state machine that turns events (authorize, deauthorize, replies,
// time-outs, lifetime and volume end, CoA and Disconnect, address changes)
// into Access-Requests, Accounting-Requests, cache operations and callbacks
// into the daemon core.
//
// The database owns no socket and no clock: it sends, arms and cancels through
// radius_db_ops. Single-threaded; radius_fsm_step may be entered from inside
// its own callbacks (nested calls only add events that the running loop sees),
// and an entry deleted from inside one stays valid until the outermost step
// settles.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "common/hashtable.h"
#include "common/list.h"
#include "common/mempool.h"
#include "common/multitable.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_authz.h"
#include "radius/radius_codec.h"
#include "radius/radius_mib.h"

struct radius_db;
struct radius_entry;
struct radius_nas;
struct radius_das;

// The EAP back end of a station as the session sees it; the back end embeds
// this record first. identity is the EAP identity (or null).
struct radius_auth;
struct radius_auth_ops {
    void (*abort)(radius_auth *auth);
    // Detaches itself (radius_db_detach_auth) and frees the back end.
    void (*destroy)(radius_auth *auth);
    void (*recv)(radius_auth *auth, packet *msg);
};
struct radius_auth {
    const radius_auth_ops *ops;
    const char *identity;
};

// Called with the database's user pointer first, in slot order.
struct radius_db_ops {
    void (*authorize)(void *user, radius_entry *entry);
    void (*deauthorize)(void *user, radius_entry *entry, uint16_t reason);
    void (*update)(void *user, radius_entry *entry);
    // server: 0, 1 or -1 for the current one; token: the EAP transaction or
    // null. 0 when sent or reported as timed out, -1 when refused. The
    // packet stays the caller's.
    int (*send)(void *user, packet *msg, int server, int *token);
    void (*discard)(void *user, packet *msg);
    void (*cache_store)(void *user, const uint8_t *realm, const uint8_t mac[6], radius_entry *entry);
    void (*cache_account)(void *user, const uint8_t *realm, const uint8_t mac[6], uint32_t up,
                          uint32_t down);
    void (*cache_revoke)(void *user, const uint8_t *realm, const uint8_t mac[6]);
    const radius_authz *(*cache_lookup)(void *user, const uint8_t *realm, const uint8_t mac[6]);
    void (*cache_revoke_by)(void *user, const uint8_t *mac, const char *name, const char *cui);
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
};

enum : uint8_t {
    RADIUS_STATE_INITIALIZE = 1,
    RADIUS_STATE_AUTHORIZING = 2,
    RADIUS_STATE_INSTALL = 3,
    RADIUS_STATE_AUTHORIZED = 4,
    RADIUS_STATE_IDLE = 5,
    RADIUS_STATE_SCHEDULE = 6,
    RADIUS_STATE_REAUTHORIZE = 7,
    RADIUS_STATE_DEAUTHORIZE = 8,
};

// Flag byte X.
enum : uint8_t {
    RADIUS_X_RUNNING = 0x80,
    RADIUS_X_NEW = 0x20,
    RADIUS_X_AUTHORIZE = 0x10,
    RADIUS_X_DEAUTHORIZE = 0x08,
    RADIUS_X_INTERIM_NOW = 0x04,
    RADIUS_X_GRANTED = 0x02,
    RADIUS_X_FAILED = 0x01,
    RADIUS_X_EVENTS = 0x20 | 0x10 | 0x08 | 0x04,
};
// Flag byte Y.
enum : uint8_t {
    RADIUS_Y_CACHED = 0x80,
    RADIUS_Y_INSTALLED = 0x40,
    RADIUS_Y_TO_IDLE = 0x20,
    RADIUS_Y_EAP_REQUEST = 0x10,
    RADIUS_Y_ACCEPT = 0x08,
    RADIUS_Y_REJECT = 0x04,
    RADIUS_Y_COA = 0x02,
    RADIUS_Y_COA_AUTHORIZE_ONLY = 0x01,
    RADIUS_Y_EVENTS = 0x1f,
};
// Flag byte Z.
enum : uint8_t {
    RADIUS_Z_DISCONNECT = 0x80,
    RADIUS_Z_ACCT_RESPONSE = 0x40,
    RADIUS_Z_TIMEOUT = 0x20,
    RADIUS_Z_EXPIRED = 0x10,
    RADIUS_Z_EXPIRED_REAUTH = 0x08,
    RADIUS_Z_EVENTS = 0xf8,
};

// Service-Type values of Access-Requests.
enum : uint8_t {
    RADIUS_SERVICE_CALL_CHECK = 10,
    RADIUS_SERVICE_AUTHORIZE_ONLY = 17,
};

// RFC 5176 Error-Cause values.
enum : uint16_t {
    RADIUS_ERROR_UNSUPPORTED_ATTRIBUTE = 401,
    RADIUS_ERROR_MISSING_ATTRIBUTE = 402,
    RADIUS_ERROR_UNSUPPORTED_EXTENSION = 406,
    RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE = 407,
    RADIUS_ERROR_SESSION_NOT_FOUND = 503,
    RADIUS_ERROR_RESOURCES_UNAVAILABLE = 506,
    RADIUS_ERROR_REQUEST_INITIATED = 507,
};

// Delays are given in seconds up to this bound.
constexpr uint32_t RADIUS_MAX_DELAY_SEC = 4294967;
// Rule space of one authorization; more is refused with Error-Cause 506.
constexpr uint32_t RADIUS_MAX_RULES = 506;
// Accounting-Requests that wait for a free identifier.
constexpr uint32_t RADIUS_ACCT_BACKLOG_MAX = 1024;
constexpr uint32_t RADIUS_MIN_INTERIM_INTERVAL = 60;

// A timer that may run longer than the 32-bit millisecond clock allows in
// one go: armed for at most 2^31 - 1 ms and re-armed until due.
struct radius_long_timer {
    timer t;
    uint64_t due; // ms of the monotonic clock
};

struct radius_index {
    radius_entry *entry;
    list_link link; // in the session's list
    multilink by_addr;
    uint8_t addr[4];
};
struct radius_index6 {
    radius_entry *entry;
    list_link link;
    multilink by_addr;
    uint8_t addr[16];
};

struct radius_entry {
    radius_authz authz; // in force; strings and rules in store
    uint8_t mac[6];
    char acct_session_id[9];
    char acct_multi_session_id[9];
    uint32_t packets_up, packets_down;
    uint32_t octets_up_hi, octets_up_lo;
    uint32_t octets_down_hi, octets_down_lo;
    uint32_t link_count;
    uint32_t start_time; // s, monotonic
    radius_db *db;
    radius_auth *auth;
    const uint8_t *state_attr; // raw attributes in store, or null
    const uint8_t *class_attr;
    radius_store *store;   // current
    radius_store *scratch; // a new authorization is built here
    Ary custom;            // ready-made attributes, bytes
    hashlink by_mac;
    hashlink by_session_id;
    multilink by_name;
    multilink by_cui;
    multilink by_realm;
    list_link addrs4;
    list_link addrs6;
    radius_long_timer lifetime;
    radius_long_timer interim;
    packet *request; // the Access-Request in flight
    packet *message; // the message the machine handles now
    uint32_t session_id_num;
    uint32_t next_session_id_num;
    char default_user_name[18];
    char next_session_id[9];
    uint8_t service_type;
    uint8_t acct_authentic;
    uint16_t error_cause;
    uint16_t terminate_cause;
    uint16_t reason;
    void *station; // 802.11 station data, or null
    int send_token;
    radius_nas *token_nas; // the transport send_token was reserved on
    void *user_data;
    uint32_t refcount;
    uint8_t state;
    uint8_t x, y, z;
    uint8_t deleted;
    uint8_t in_send; // a send is under way: a time-out now means a full window
    const char *name_key; // the User-Name and CUI the indexes hold
    const char *cui_key;
    const char *given_name; // the User-Name the daemon core gave, or null
    uint8_t *coa_state;     // State of an Authorize-Only CoA-Request (malloc'ed)
    radius_store empty_stores[2]; // store and scratch until one must grow
    uint8_t realm[];        // the client's realm length
};

struct radius_filter_set {
    hashlink link;
    const char *name; // the key: points at the text behind the rules
    uint16_t ulmexRadiusFilterRules;
    filter_rule rules[];
};

struct radius_db {
    char nas_name[RADIUS_NAS_ID_SIZE];
    radius_nas *auth;
    radius_nas *acct;
    radius_das *das;
    radius_db_ops ops;
    void *user;
    Ary addr_scratch;
    mempool *entry_pool;
    mempool *index_pool;
    mempool *index6_pool;
    mempool *packets;
    hashtable *entries_by_mac;
    hashtable *entries_by_session_id;
    multitable *entries_by_name;
    multitable *entries_by_cui;
    multitable *entries_by_realm; // null without a realm
    multitable *by_ipv4;
    multitable *by_ipv6;
    hashtable *filters;
    uint32_t max_filter_rules; // the largest set ever added
    uint32_t realm_len;
    uint32_t acct_counter;
    packet_queue acct_backlog; // Accounting-Requests waiting for an identifier
    uint32_t acct_backlog_dropped;
    uint8_t draining;
};

// Database.
radius_db *radius_db_create(const radius_db_ops *ops, void *user, const char *nas_name,
                            uint32_t realm_len, mempool *packets, radius_nas *auth,
                            radius_nas *acct, radius_das *das);
// Sends Stop for every session with a link count (best effort), then frees.
void radius_db_destroy(radius_db *db);
// Aborts every running EAP exchange and forgets the transactions that were
// reserved on another transport than auth.
void radius_db_configure(radius_db *db, const char *nas_name, radius_nas *auth, radius_nas *acct,
                         radius_das *das);

// Sessions.
radius_entry *radius_db_create_sess(radius_db *db, const uint8_t *realm, const uint8_t mac[6],
                                    void *station);
void radius_sess_delete(radius_entry *entry);
int radius_db_authorize_sess(radius_entry *entry, const char *user_name);
void radius_db_deauthorize_sess(radius_entry *entry, uint16_t reason);
int radius_db_set_ipv4_addrs(radius_entry *entry, uint32_t count, const uint8_t (*addrs)[4]);
int radius_db_set_ipv6_addrs(radius_entry *entry, uint32_t count, const uint8_t (*addrs)[16]);
void radius_db_count_traffic(radius_entry *entry, uint32_t packets_up, uint32_t packets_down,
                             uint64_t octets_up, uint64_t octets_down);
radius_entry *radius_db_attach_auth(radius_db *db, const uint8_t mac[6], radius_auth *auth,
                                    int token);
int radius_db_detach_auth(radius_entry *entry);
int radius_db_send_eap_request(radius_entry *entry, packet *msg, int server);
// A response that passed the transport, matched to its session by the MAC in
// its metadata.
void radius_db_response(radius_db *db, packet *msg, int server);
// The transport gave a request up (or found no identifier for it).
void radius_db_timeout(radius_db *db, packet *msg);
int radius_db_handle_dynauth(radius_entry *entry, packet *request, radiusDynAuthClientTable *row);
// REAUTHORIZE's check of an Authorize-Only CoA-Request: 507, or an Error-Cause.
uint16_t radius_db_check_coa(radius_entry *entry, const packet *request);

radius_entry *radius_db_lookup_sess(radius_db *db, const uint8_t mac[6]);
radius_entry *radius_db_first_sess(radius_db *db);
radius_entry *radius_db_next_sess(radius_db *db, radius_entry *entry);
radius_entry *radius_db_first_sess_by_realm(radius_db *db, const uint8_t *realm);
radius_entry *radius_db_next_sess_by_realm(radius_db *db, radius_entry *entry);
radius_entry *radius_db_lookup_sess_by_session_id(radius_db *db, uint32_t id);

int radius_db_add_custom_attr(radius_entry *entry, uint8_t type, const void *value, size_t length);
int radius_db_add_custom_int(radius_entry *entry, uint8_t type, uint32_t value);
inline void radius_db_set_user_data(radius_entry *entry, void *data)
{
    entry->user_data = data;
}
inline void *radius_db_get_user_data(const radius_entry *entry)
{
    return entry->user_data;
}

// The state machine.
struct radius_fsm_row {
    char name[32];
    int (*handler)(radius_entry *entry);
};
extern const radius_fsm_row radius_fsm_table[9];
void radius_fsm_step(radius_entry *entry);
void radius_entry_ref(radius_entry *entry);
void radius_entry_unref(radius_entry *entry);

// Access-Requests and authorization (radius_db_authz.cpp).
packet *radius_db_make_access_request(radius_entry *entry);
int radius_db_complete_request(radius_entry *entry, packet *msg);
uint16_t radius_db_parse_authz(radius_entry *entry, packet *msg, radius_store *store);
int radius_db_copy_authz(radius_entry *entry, const radius_authz *cached, radius_store *store);
int radius_db_store_string(char **out, const char *string, radius_store *store);
int radius_db_add_filter(radius_db *db, const char *name, const filter_rule *rules, uint32_t count);
void radius_db_remove_filter(radius_db *db, const char *name);
int radius_db_get_filter(radius_db *db, const char *name, filter_rule *rules, uint32_t n);
int radius_db_lookup_filter(radius_db *db, const char *name, filter_rule *rules, uint32_t n);
int radius_db_list_filters(radius_db *db, const char **names, uint32_t n);

// Accounting (radius_acct.cpp).
enum : uint8_t {
    RADIUS_ACCT_START = 1,
    RADIUS_ACCT_STOP = 2,
    RADIUS_ACCT_INTERIM_UPDATE = 3,
};
int radius_db_send_acct_request(radius_entry *entry, uint8_t status, uint16_t cause,
                                uint16_t reason);
void radius_db_acct_update_cb(timer *t);
// Sends what waits in the accounting backlog while identifiers are free.
void radius_db_acct_drain(radius_db *db);
// A give-up of an Accounting-Request during its own send: kept for later.
void radius_db_acct_backlog(radius_db *db, packet *msg);

// Shared by the modules of the database.
uint64_t radius_now_ms();
void radius_long_timer_arm(radius_db *db, radius_long_timer *lt, uint64_t ms, timer_fn callback);
void radius_long_timer_cancel(radius_db *db, radius_long_timer *lt);
// True when the timer was re-armed because it is not due yet.
bool radius_long_timer_rearm(radius_db *db, radius_long_timer *lt, timer_fn callback);
void radius_db_reindex_name(radius_entry *entry);
void radius_db_reindex_cui(radius_entry *entry);
inline bool radius_db_accounting(const radius_db *db)
{
    return db->acct != nullptr;
}
inline bool radius_db_authentication(const radius_db *db)
{
    return db->auth != nullptr;
}
