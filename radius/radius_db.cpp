// The session database and the session state machine.
//
// radius_fsm_step runs one session's machine to rest: it picks the next state
// from the flag bytes and the current state, runs its handler, and clears the
// events that the handler was started for. Events that arrive while a handler
// runs (a nested authorize or deauthorize from a callback, a time-out reported
// from inside a send) survive it, so the loop sees them next. The run is
// bounded in steps; an entry deleted inside it is freed when it settles.
#include "radius/radius_db.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"
#include "common/log.h"
#include "common/system.h"
#include "radius/radius_nas.h"

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACARG(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

constexpr unsigned RADIUS_FSM_MAX_STEPS = 64;
constexpr uint64_t RADIUS_TIMER_MAX_MS = 0x7fffffff;

int radius_fsm_INITIALIZE(radius_entry *e);
int radius_fsm_AUTHORIZING(radius_entry *e);
int radius_fsm_INSTALL(radius_entry *e);
int radius_fsm_AUTHORIZED(radius_entry *e);
int radius_fsm_IDLE(radius_entry *e);
int radius_fsm_SCHEDULE(radius_entry *e);
int radius_fsm_REAUTHORIZE(radius_entry *e);

} // namespace

int radius_fsm_DEAUTHORIZE(radius_entry *e);

const radius_fsm_row radius_fsm_table[9] = {
    {"", nullptr},
    {"INITIALIZE", radius_fsm_INITIALIZE},
    {"AUTHORIZING", radius_fsm_AUTHORIZING},
    {"INSTALL", radius_fsm_INSTALL},
    {"AUTHORIZED", radius_fsm_AUTHORIZED},
    {"IDLE", radius_fsm_IDLE},
    {"SCHEDULE", radius_fsm_SCHEDULE},
    {"REAUTHORIZE", radius_fsm_REAUTHORIZE},
    {"DEAUTHORIZE", radius_fsm_DEAUTHORIZE},
};

uint64_t radius_now_ms()
{
    if (!clock_cached_valid())
        clock_refresh_offset();
    return clock_monotonic_sec * 1000 + clock_monotonic_usec / 1000;
}

void radius_long_timer_arm(radius_db *db, radius_long_timer *lt, uint64_t ms, timer_fn callback)
{
    db->ops.cancel(db->user, &lt->t);
    lt->due = radius_now_ms() + ms;
    db->ops.schedule(db->user, &lt->t, uint32_t(ms < RADIUS_TIMER_MAX_MS ? ms : RADIUS_TIMER_MAX_MS),
                     callback);
}

void radius_long_timer_cancel(radius_db *db, radius_long_timer *lt)
{
    db->ops.cancel(db->user, &lt->t);
    lt->due = 0;
}

bool radius_long_timer_rearm(radius_db *db, radius_long_timer *lt, timer_fn callback)
{
    uint64_t now = radius_now_ms();
    if (now >= lt->due)
        return false;
    uint64_t left = lt->due - now;
    db->ops.schedule(db->user, &lt->t,
                     uint32_t(left < RADIUS_TIMER_MAX_MS ? left : RADIUS_TIMER_MAX_MS), callback);
    return true;
}

namespace {

inline radius_entry *entry_of(const multilink *l, multilink radius_entry::*m)
{
    return l ? multitable_entry(l, m) : nullptr;
}

bool armed(const radius_long_timer *lt)
{
    return timer_ispending(&lt->t) || lt->due != 0;
}

void cancel_timers(radius_entry *e)
{
    radius_long_timer_cancel(e->db, &e->lifetime);
    radius_long_timer_cancel(e->db, &e->interim);
}

void remove_addresses(radius_entry *e)
{
    radius_db *db = e->db;
    for (radius_index *ix : list_records_safe<&radius_index::link>(&e->addrs4)) {
        multitable_remove(db->by_ipv4, &ix->by_addr);
        list_remove(&ix->link);
        mempool_release(db->index_pool, ix);
    }
    for (radius_index6 *ix : list_records_safe<&radius_index6::link>(&e->addrs6)) {
        multitable_remove(db->by_ipv6, &ix->by_addr);
        list_remove(&ix->link);
        mempool_release(db->index6_pool, ix);
    }
}

void unindex_session_id(radius_entry *e)
{
    if (hashlink_used(&e->by_session_id))
        hashtable_remove(e->db->entries_by_session_id, &e->by_session_id);
}

void unindex_name(radius_entry *e)
{
    multitable_remove(e->db->entries_by_name, &e->by_name);
    multilink_init(&e->by_name);
    e->name_key = nullptr;
}

void unindex_cui(radius_entry *e)
{
    multitable_remove(e->db->entries_by_cui, &e->by_cui);
    multilink_init(&e->by_cui);
    e->cui_key = nullptr;
}

void release_request(radius_entry *e)
{
    if (!e->request)
        return;
    packet *req = e->request;
    e->request = nullptr;
    e->db->ops.discard(e->db->user, req);
    packet_release(req);
}

void entry_free(radius_entry *e)
{
    radius_db *db = e->db;
    cancel_timers(e);
    if (e->request) {
        packet_release(e->request);
        e->request = nullptr;
    }
    radius_store_free(e->store);
    radius_store_free(e->scratch);
    array_purge(&e->custom);
    free(e->coa_state);
    mempool_release(db->entry_pool, e);
}

void set_reason(radius_entry *e, uint16_t reason)
{
    e->reason = reason;
    e->terminate_cause = radius_reason_to_terminate_cause(reason);
}

constexpr char HEX_UPPER[] = "0123456789ABCDEF";

// Every session formats two of these on its way to AUTHORIZED: printf costs
// more than the rest of the step.
void format_id(char out[9], uint32_t n)
{
    for (int i = 7; i >= 0; i--, n >>= 4)
        out[i] = HEX_UPPER[n & 15];
    out[8] = '\0';
}

void swap_stores(radius_entry *e)
{
    radius_store *s = e->store;
    e->store = e->scratch;
    e->scratch = s;
    // The name and CUI indexes hold pointers into the store just retired.
    radius_db_reindex_name(e);
    radius_db_reindex_cui(e);
}

// Chooses the next state; 0 settles.
uint8_t radius_fsm_next(const radius_entry *e)
{
    uint8_t x = e->x, y = e->y, z = e->z;
    if (x & RADIUS_X_NEW)
        return RADIUS_STATE_INITIALIZE;
    if ((x & RADIUS_X_DEAUTHORIZE) && e->state != RADIUS_STATE_INITIALIZE)
        return RADIUS_STATE_DEAUTHORIZE;
    switch (e->state) {
    case RADIUS_STATE_INITIALIZE:
        return (x & RADIUS_X_AUTHORIZE) ? RADIUS_STATE_AUTHORIZING : 0;
    case RADIUS_STATE_AUTHORIZING:
        if (x & RADIUS_X_GRANTED)
            return RADIUS_STATE_AUTHORIZED;
        if (y & RADIUS_Y_ACCEPT)
            return RADIUS_STATE_INSTALL;
        if ((x & RADIUS_X_FAILED) || (y & RADIUS_Y_REJECT) || (z & RADIUS_Z_TIMEOUT))
            return RADIUS_STATE_DEAUTHORIZE;
        return 0;
    case RADIUS_STATE_INSTALL:
        if ((x & RADIUS_X_GRANTED) || (y & RADIUS_Y_INSTALLED))
            return RADIUS_STATE_AUTHORIZED;
        if (x & RADIUS_X_FAILED)
            return RADIUS_STATE_DEAUTHORIZE;
        if (y & RADIUS_Y_TO_IDLE)
            return RADIUS_STATE_IDLE;
        return 0;
    case RADIUS_STATE_AUTHORIZED:
        return RADIUS_STATE_IDLE;
    case RADIUS_STATE_IDLE: {
        bool p = (x & RADIUS_X_INTERIM_NOW) || (z & RADIUS_Z_ACCT_RESPONSE);
        if (z & (RADIUS_Z_DISCONNECT | RADIUS_Z_EXPIRED))
            return p ? RADIUS_STATE_SCHEDULE : RADIUS_STATE_DEAUTHORIZE;
        if ((y & RADIUS_Y_EAP_REQUEST) || (z & RADIUS_Z_EXPIRED_REAUTH))
            return p ? RADIUS_STATE_SCHEDULE : RADIUS_STATE_AUTHORIZING;
        if (y & RADIUS_Y_COA_AUTHORIZE_ONLY)
            return p ? RADIUS_STATE_SCHEDULE : RADIUS_STATE_REAUTHORIZE;
        if (y & RADIUS_Y_COA)
            return p ? RADIUS_STATE_SCHEDULE : RADIUS_STATE_INSTALL;
        return p ? RADIUS_STATE_SCHEDULE : 0;
    }
    case RADIUS_STATE_SCHEDULE:
        return RADIUS_STATE_IDLE;
    case RADIUS_STATE_REAUTHORIZE:
        if (y & RADIUS_Y_INSTALLED)
            return RADIUS_STATE_AUTHORIZING;
        if (y & RADIUS_Y_TO_IDLE)
            return RADIUS_STATE_IDLE;
        return 0;
    case RADIUS_STATE_DEAUTHORIZE:
        return RADIUS_STATE_INITIALIZE;
    default:
        fatal_assert_fail("Invalid state", __FILE__, __func__, __LINE__);
    }
}

void radius_db_expire_cb(timer *t);

int radius_fsm_INITIALIZE(radius_entry *e)
{
    radius_db *db = e->db;
    unindex_name(e);
    unindex_cui(e);
    unindex_session_id(e);
    remove_addresses(e);
    radius_store_reset(e->store);
    radius_store_reset(e->scratch);
    memset(&e->authz, 0, offsetof(radius_authz, rules));
    e->authz.rules = nullptr;
    e->authz.redirect_url = e->authz.captive_portal = e->authz.user_name = e->authz.cui = nullptr;
    e->acct_session_id[0] = e->acct_multi_session_id[0] = e->next_session_id[0] = '\0';
    e->authz.user_name = e->default_user_name;
    e->given_name = nullptr;
    e->service_type = RADIUS_SERVICE_CALL_CHECK;
    e->link_count = 0;
    e->start_time = 0;
    e->error_cause = 0;
    e->state_attr = e->class_attr = nullptr;
    free(e->coa_state);
    e->coa_state = nullptr;
    release_request(e);
    e->session_id_num = e->next_session_id_num = 0;
    if (radius_db_accounting(db)) {
        e->next_session_id_num = db->acct_counter++;
        format_id(e->next_session_id, e->next_session_id_num);
        memcpy(e->acct_multi_session_id, e->next_session_id, 9);
    }
    radius_db_reindex_name(e);
    return 0;
}

int radius_fsm_AUTHORIZING(radius_entry *e)
{
    radius_db *db = e->db;
    e->y &= uint8_t(~RADIUS_Y_INSTALLED);
    uint16_t authentic = e->station ? 2 : 3;
    radius_long_timer_cancel(db, &e->lifetime);
    radius_long_timer_cancel(db, &e->interim);
    auto set_authentic = [&] {
        e->authz.flags = uint16_t((e->authz.flags & ~RADIUS_AUTHZ_ACCT_AUTHENTIC_MASK) |
                                  (authentic << RADIUS_AUTHZ_ACCT_AUTHENTIC_SHIFT));
    };
    if (e->auth) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS authentication and authorization for station " MACFMT " started",
             MACARG(e->mac));
        return 0;
    }
    if (!radius_db_authentication(db)) {
        set_authentic();
        e->x |= RADIUS_X_GRANTED;
        return 0;
    }
    if (db->ops.cache_lookup && e->service_type != RADIUS_SERVICE_AUTHORIZE_ONLY) {
        const radius_authz *cached = db->ops.cache_lookup(db->user, e->realm, e->mac);
        if (cached) {
            radius_store_reset(e->scratch);
            int r = radius_db_copy_authz(e, cached, e->scratch);
            if (r < 0) {
                radius_store *grown = radius_store_grow(e->scratch);
                if (grown) {
                    e->scratch = grown;
                    r = radius_db_copy_authz(e, cached, e->scratch);
                }
            }
            if (r == 0) {
                swap_stores(e);
                set_authentic();
                e->y |= RADIUS_Y_CACHED;
                e->x |= RADIUS_X_GRANTED;
            } else {
                e->x |= RADIUS_X_FAILED;
            }
            return 0;
        }
    }
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS NAS %s sending Access-Request for station " MACFMT,
         db->nas_name, MACARG(e->mac));
    packet *req = radius_db_make_access_request(e);
    if (!req || radius_db_complete_request(e, req) < 0) {
        packet_release(req);
        e->x |= RADIUS_X_FAILED;
        return 0;
    }
    release_request(e);
    e->request = req;
    e->state_attr = nullptr;
    free(e->coa_state);
    e->coa_state = nullptr;
    e->in_send = 1;
    int r = db->ops.send(db->user, req, -1, nullptr);
    e->in_send = 0;
    if (r < 0 && e->request == req) {
        // Refused: nothing will answer it.
        e->request = nullptr;
        packet_release(req);
        e->x |= RADIUS_X_FAILED;
    }
    return 0;
}

int radius_fsm_INSTALL(radius_entry *e)
{
    packet *msg = e->message;
    bool coa = msg && radius_header(msg)->code == uint8_t(radius_code::coa_request);
    uint16_t cause = RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
    if (msg) {
        radius_store_reset(e->scratch);
        cause = radius_db_parse_authz(e, msg, e->scratch);
        if (cause == RADIUS_ERROR_RESOURCES_UNAVAILABLE) {
            radius_store *grown = radius_store_grow(e->scratch);
            if (grown) {
                e->scratch = grown;
                cause = radius_db_parse_authz(e, msg, e->scratch);
            }
        }
    }
    if (cause == 0) {
        swap_stores(e);
        if (coa)
            e->y |= RADIUS_Y_INSTALLED;
        else
            e->x |= RADIUS_X_GRANTED;
        e->y &= uint8_t(~RADIUS_Y_TO_IDLE);
        e->error_cause = 0;
        return 0;
    }
    e->x &= uint8_t(~RADIUS_X_GRANTED);
    if (coa) {
        e->x &= uint8_t(~(RADIUS_X_FAILED | RADIUS_X_GRANTED));
        e->y = uint8_t((e->y & ~RADIUS_Y_INSTALLED) | RADIUS_Y_TO_IDLE);
    } else {
        e->x |= RADIUS_X_FAILED;
        e->y &= uint8_t(~RADIUS_Y_INSTALLED);
    }
    e->error_cause = cause;
    return 0;
}

int radius_fsm_AUTHORIZED(radius_entry *e)
{
    radius_db *db = e->db;
    cancel_timers(e);
    if (radius_db_accounting(db) && e->link_count) {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
             "RADIUS accounting session %s for station " MACFMT " stopped", e->acct_session_id,
             MACARG(e->mac));
        radius_db_send_acct_request(e, RADIUS_ACCT_STOP, e->terminate_cause, 0);
    }
    if (radius_db_authentication(db))
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS authorization for station " MACFMT " granted%s",
             MACARG(e->mac), (e->y & RADIUS_Y_CACHED) ? " (cached)" : "");
    if (e->authz.session_timeout == 0) {
        if (db->ops.cache_revoke)
            db->ops.cache_revoke(db->user, e->realm, e->mac);
    } else if (!(e->y & RADIUS_Y_CACHED) && radius_db_authentication(db) && db->ops.cache_store) {
        db->ops.cache_store(db->user, e->realm, e->mac, e);
    }
    if (radius_db_accounting(db)) {
        unindex_session_id(e);
        e->session_id_num = e->next_session_id_num;
        memcpy(e->acct_session_id, e->next_session_id, 9);
        e->next_session_id_num = db->acct_counter++;
        format_id(e->next_session_id, e->next_session_id_num);
    }
    e->packets_up = e->packets_down = 0;
    e->octets_up_hi = e->octets_up_lo = e->octets_down_hi = e->octets_down_lo = 0;
    e->link_count++;
    e->start_time = clock_sec();
    e->acct_authentic = uint8_t(radius_authz_acct_authentic(&e->authz));
    radius_db_reindex_name(e);
    if (radius_db_accounting(db) && !e->deleted)
        hashtable_insert(db->entries_by_session_id, &e->by_session_id);
    radius_db_reindex_cui(e);
    db->ops.authorize(db->user, e);
    if (radius_db_accounting(db)) {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
             "RADIUS accounting session %s for station " MACFMT " started", e->acct_session_id,
             MACARG(e->mac));
        radius_db_send_acct_request(e, RADIUS_ACCT_START, 0, 0);
    }
    if (e->authz.session_timeout && !e->deleted) {
        uint32_t s = e->authz.session_timeout;
        radius_long_timer_arm(db, &e->lifetime,
                              uint64_t(s < RADIUS_MAX_DELAY_SEC ? s : RADIUS_MAX_DELAY_SEC) * 1000,
                              radius_db_expire_cb);
    }
    e->x &= uint8_t(~RADIUS_X_GRANTED);
    e->y &= uint8_t(~(RADIUS_Y_CACHED | RADIUS_Y_INSTALLED));
    return 0;
}

int radius_fsm_IDLE(radius_entry *e)
{
    e->x &= uint8_t(~RADIUS_X_FAILED);
    e->y &= uint8_t(~RADIUS_Y_TO_IDLE);
    e->service_type = RADIUS_SERVICE_CALL_CHECK;
    free(e->coa_state);
    e->coa_state = nullptr;
    return 0;
}

int radius_fsm_SCHEDULE(radius_entry *e)
{
    radius_db *db = e->db;
    uint64_t delay = 0;
    if (!(e->x & RADIUS_X_INTERIM_NOW)) {
        if (e->authz.interim_interval == 0 || armed(&e->interim))
            return 0;
        uint32_t s = e->authz.interim_interval;
        delay = uint64_t(s < RADIUS_MAX_DELAY_SEC ? s : RADIUS_MAX_DELAY_SEC) * 1000;
    }
    if (e->deleted)
        return 0;
    radius_long_timer_arm(db, &e->interim, delay, radius_db_acct_update_cb);
    return 0;
}

int radius_fsm_REAUTHORIZE(radius_entry *e)
{
    uint16_t cause = e->message ? radius_db_check_coa(e, e->message)
                                : uint16_t(RADIUS_ERROR_MISSING_ATTRIBUTE);
    e->error_cause = cause;
    if (cause == RADIUS_ERROR_REQUEST_INITIATED)
        e->y = uint8_t((e->y & ~RADIUS_Y_TO_IDLE) | RADIUS_Y_INSTALLED);
    else
        e->y = uint8_t((e->y & ~RADIUS_Y_INSTALLED) | RADIUS_Y_TO_IDLE);
    e->service_type = RADIUS_SERVICE_AUTHORIZE_ONLY;
    return 0;
}

void radius_db_expire_cb(timer *t)
{
    auto *lt = container_of(t, &radius_long_timer::t);
    radius_entry *e = container_of(lt, &radius_entry::lifetime);
    if (radius_long_timer_rearm(e->db, lt, radius_db_expire_cb))
        return;
    lt->due = 0;
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS authorization for station " MACFMT " expired",
         MACARG(e->mac));
    e->terminate_cause = 5;
    e->reason = 2;
    e->z |= (e->authz.flags & RADIUS_AUTHZ_TERMINATE_REQUEST) ? RADIUS_Z_EXPIRED_REAUTH
                                                              : RADIUS_Z_EXPIRED;
    radius_fsm_step(e);
}

} // namespace

int radius_fsm_DEAUTHORIZE(radius_entry *e)
{
    radius_db *db = e->db;
    e->x &= uint8_t(~RADIUS_X_FAILED);
    if (db->ops.cache_revoke && e->terminate_cause == 6) {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS authorization for station " MACFMT " revoked",
             MACARG(e->mac));
        db->ops.cache_revoke(db->user, e->realm, e->mac);
    } else if (db->ops.cache_account) {
        db->ops.cache_account(db->user, e->realm, e->mac,
                              e->octets_up_hi ? UINT32_MAX : e->octets_up_lo,
                              e->octets_down_hi ? UINT32_MAX : e->octets_down_lo);
    }
    if (radius_db_accounting(db) && e->link_count) {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL,
             "RADIUS accounting session %s for station " MACFMT " stopped", e->acct_session_id,
             MACARG(e->mac));
        radius_db_send_acct_request(e, RADIUS_ACCT_STOP, e->terminate_cause, e->reason);
    }
    release_request(e);
    db->ops.deauthorize(db->user, e, e->reason);
    cancel_timers(e);
    return 0;
}

void radius_entry_ref(radius_entry *e)
{
    e->refcount++;
}

void radius_entry_unref(radius_entry *e)
{
    UGW_ASSERT(e->refcount > 0);
    if (--e->refcount == 0)
        entry_free(e);
}

void radius_fsm_step(radius_entry *e)
{
    if (e->x & RADIUS_X_RUNNING)
        return;
    e->x |= RADIUS_X_RUNNING;
    radius_entry_ref(e);
    radius_db *db = e->db;
    if (e->link_count && db->ops.update)
        db->ops.update(db->user, e);
    for (unsigned steps = 0;; steps++) {
        uint8_t next = radius_fsm_next(e);
        if (!next)
            break;
        if (steps == RADIUS_FSM_MAX_STEPS) {
            ulog(LOG_COMP_RADIUS, ULOG_WARNING,
                 "RADIUS session for station " MACFMT " did not settle in state %s",
                 MACARG(e->mac), radius_fsm_table[e->state].name);
            break;
        }
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS session for station " MACFMT
             " entering state %s", MACARG(e->mac), radius_fsm_table[next].name);
        uint8_t sx = e->x & RADIUS_X_EVENTS, sy = e->y & RADIUS_Y_EVENTS,
                sz = e->z & RADIUS_Z_EVENTS;
        radius_fsm_table[next].handler(e);
        e->state = next;
        e->x &= uint8_t(~sx);
        e->y &= uint8_t(~sy);
        e->z &= uint8_t(~sz);
    }
    e->x &= uint8_t(~(RADIUS_X_EVENTS | RADIUS_X_RUNNING));
    e->y &= uint8_t(~RADIUS_Y_EVENTS);
    e->z &= uint8_t(~RADIUS_Z_EVENTS);
    radius_entry_unref(e);
}

void radius_db_reindex_name(radius_entry *e)
{
    if (e->name_key == e->authz.user_name && hashlink_used(&e->by_name._hlink))
        return;
    unindex_name(e);
    if (e->deleted || !e->authz.user_name)
        return;
    e->name_key = e->authz.user_name;
    multitable_insert(e->db->entries_by_name, &e->by_name);
}

void radius_db_reindex_cui(radius_entry *e)
{
    unindex_cui(e);
    if (e->deleted || !e->authz.cui)
        return;
    e->cui_key = e->authz.cui;
    multitable_insert(e->db->entries_by_cui, &e->by_cui);
}

// Database.

radius_db *radius_db_create(const radius_db_ops *ops, void *user, const char *nas_name,
                            uint32_t realm_len, mempool *packets, radius_nas *auth,
                            radius_nas *acct, radius_das *das)
{
    auto *db = static_cast<radius_db *>(calloc(1, sizeof(radius_db)));
    if (!db) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    db->ops = *ops;
    db->user = user;
    db->realm_len = realm_len;
    db->packets = packets;
    array_init(&db->addr_scratch, 4);
    packet_queue_init(&db->acct_backlog);
    radius_db_configure(db, nas_name, auth, acct, das);
    // Sessions come by the thousand: small chunks would cost a mapping each
    // on the way up and an unmapping each on the way down.
    mempool_info entry_geometry{};
    entry_geometry.memOptions = MEMPOOL_OPT_MMAP | MEMPOOL_OPT_HUGEPAGES;
    entry_geometry.memBlockSize = 2 * 1024 * 1024;
    db->entry_pool = mempool_create(sizeof(radius_entry) + realm_len, &entry_geometry,
                                    "struct radius_entry", __FILE__, __LINE__);
    db->index_pool = mempool_create(sizeof(radius_index), nullptr, "struct radius_index", __FILE__,
                                    __LINE__);
    db->index6_pool = mempool_create(sizeof(radius_index6), nullptr, "struct radius_index6",
                                     __FILE__, __LINE__);
    if (!db->entry_pool || !db->index_pool || !db->index6_pool) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to create RADIUS memory pools");
        radius_db_destroy(db);
        return nullptr;
    }
    db->entries_by_mac = hashtable_create(&radius_entry::mac, &radius_entry::by_mac);
    // Session ids come from a counter, about two per session (the next one
    // is reserved at the start): halved, they fill neighbouring buckets, one
    // cache line per eight sessions and no chains, where a mixing hash costs
    // a cold bucket and a cold link per session. The low bit goes to the top
    // so that no two live ids share a hash.
    hashtable_config by_id = *hashtable_default_config(false);
    by_id.hashfun = [](const void *key, size_t, uint32_t) {
        uint32_t id;
        memcpy(&id, key, sizeof id);
        return id >> 1 | id << 31;
    };
    db->entries_by_session_id =
        hashtable_create(&radius_entry::session_id_num, &radius_entry::by_session_id, &by_id);
    auto ptr_key = [](auto key, auto link) {
        return multitable_create(0, int32_t(member_offset(key) - member_offset(link)), false, true,
                                 nullptr, int32_t(member_offset(link)));
    };
    db->entries_by_name = ptr_key(&radius_entry::name_key, &radius_entry::by_name);
    db->entries_by_cui = ptr_key(&radius_entry::cui_key, &radius_entry::by_cui);
    if (realm_len)
        db->entries_by_realm =
            multitable_create(realm_len,
                              int32_t(offsetof(radius_entry, realm) -
                                      offsetof(radius_entry, by_realm)),
                              true, false, nullptr, int32_t(offsetof(radius_entry, by_realm)));
    db->by_ipv4 = multitable_create(&radius_index::addr, &radius_index::by_addr);
    db->by_ipv6 = multitable_create(&radius_index6::addr, &radius_index6::by_addr);
    db->filters = hashtable_create(0, 0,
                                   int32_t(offsetof(radius_filter_set, name) -
                                           offsetof(radius_filter_set, link)),
                                   int32_t(offsetof(radius_filter_set, link)), false, true, nullptr);
    if (!db->entries_by_mac || !db->entries_by_session_id || !db->entries_by_name ||
        !db->entries_by_cui || (realm_len && !db->entries_by_realm) || !db->by_ipv4 ||
        !db->by_ipv6 || !db->filters) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to create RADIUS hash tables");
        radius_db_destroy(db);
        return nullptr;
    }
    if (system_random(&db->acct_counter, sizeof db->acct_counter) < 0) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to generate random bytes: %s", strerror(errno));
        radius_db_destroy(db);
        return nullptr;
    }
    return db;
}

namespace {

// Takes a session off every index and frees it, with the database going away.
void teardown_entry(radius_db *db, radius_entry *e)
{
    hashtable_remove(db->entries_by_mac, &e->by_mac);
    e->deleted = 1;
    if (e->auth) {
        e->auth = nullptr;
        e->send_token = -1;
    }
    remove_addresses(e);
    unindex_name(e);
    unindex_cui(e);
    unindex_session_id(e);
    if (db->entries_by_realm)
        multitable_remove(db->entries_by_realm, &e->by_realm);
    if (e->request) {
        db->ops.discard(db->user, e->request);
        packet_release(e->request);
        e->request = nullptr;
    }
    entry_free(e);
}

} // namespace

void radius_db_destroy(radius_db *db)
{
    if (!db)
        return;
    if (db->entries_by_mac) {
        // Best effort: the sessions end with the client.
        for (hashlink *l = hashtable_first(db->entries_by_mac); l;) {
            radius_entry *e = hashtable_entry(l, &radius_entry::by_mac);
            l = hashtable_next(db->entries_by_mac, l);
            if (radius_db_accounting(db) && e->link_count && !e->deleted)
                radius_db_send_acct_request(e, RADIUS_ACCT_STOP, 10, 1);
        }
        // One walk to collect, then free: restarting the walk after each
        // removal would scan the empty buckets again every time.
        Ary all;
        array_init(&all, sizeof(radius_entry *));
        for (hashlink *l = hashtable_first(db->entries_by_mac); l; l = hashtable_next(db->entries_by_mac, l))
            if (radius_entry **slot = array_push<radius_entry *>(&all))
                *slot = hashtable_entry(l, &radius_entry::by_mac);
        for (uint32_t i = 0; i < array_length(&all); i++)
            teardown_entry(db, *array_at<radius_entry *>(&all, i));
        array_purge(&all);
        // Entries that did not fit the list are freed the slow way.
        while (hashlink *l = hashtable_first(db->entries_by_mac))
            teardown_entry(db, hashtable_entry(l, &radius_entry::by_mac));
    }
    packet_queue_purge(&db->acct_backlog);
    if (db->filters) {
        while (hashlink *l = hashtable_first(db->filters)) {
            hashtable_remove(db->filters, l);
            free(hashtable_entry(l, &radius_filter_set::link));
        }
    }
    hashtable_destroy(db->entries_by_mac);
    hashtable_destroy(db->entries_by_session_id);
    multitable_destroy(db->entries_by_name);
    multitable_destroy(db->entries_by_cui);
    multitable_destroy(db->entries_by_realm);
    multitable_destroy(db->by_ipv4);
    multitable_destroy(db->by_ipv6);
    hashtable_destroy(db->filters);
    mempool_unref(db->entry_pool);
    mempool_unref(db->index_pool);
    mempool_unref(db->index6_pool);
    array_purge(&db->addr_scratch);
    free(db);
}

void radius_db_configure(radius_db *db, const char *nas_name, radius_nas *auth, radius_nas *acct,
                         radius_das *das)
{
    snprintf(db->nas_name, sizeof db->nas_name, "%s", nas_name ? nas_name : "");
    db->auth = auth;
    db->acct = acct;
    db->das = das;
    if (!db->entries_by_mac)
        return;
    // Every running EAP exchange belonged to the transport just replaced. An
    // abort may detach, delete or re-index sessions: the walk collects them
    // first, each held by a reference.
    Ary all;
    array_init(&all, sizeof(radius_entry *));
    for (hashlink *l = hashtable_first(db->entries_by_mac); l; l = hashtable_next(db->entries_by_mac, l)) {
        radius_entry *e = hashtable_entry(l, &radius_entry::by_mac);
        if (!e->auth && e->send_token < 0) continue;
        radius_entry **slot = array_push<radius_entry *>(&all);
        if (!slot) {
            // Without room to collect, the exchange cannot be aborted safely;
            // its transaction is still forgotten below so no identifier leaks
            // into another transport.
            if (e->token_nas != auth) {
                e->send_token = -1;
                e->token_nas = nullptr;
            }
            continue;
        }
        radius_entry_ref(e);
        *slot = e;
    }
    for (uint32_t i = 0; i < array_length(&all); i++) {
        radius_entry *e = *array_at<radius_entry *>(&all, i);
        if (e->auth && !e->deleted) e->auth->ops->abort(e->auth);
        if (e->send_token >= 0 && e->token_nas != auth) {
            e->send_token = -1;
            e->token_nas = nullptr;
        }
        radius_entry_unref(e);
    }
    array_purge(&all);
}

// Sessions.

radius_entry *radius_db_create_sess(radius_db *db, const uint8_t *realm, const uint8_t mac[6],
                                    void *station)
{
    // Among many sessions the buckets this one goes into are cold: their
    // fetches start now and overlap each other and the set-up below, and the
    // name's chain is fetched once its bucket is in.
    char name[18];
    static_assert(sizeof(radius_entry::default_user_name) == sizeof name);
    for (int i = 0; i < 6; i++) {
        name[3 * i] = HEX_UPPER[mac[i] >> 4];
        name[3 * i + 1] = HEX_UPPER[mac[i] & 15];
        name[3 * i + 2] = i < 5 ? '-' : '\0';
    }
    hashtable_prefetch(db->entries_by_mac, mac);
    hashtable_prefetch(&db->entries_by_name->table, name);
    auto *e = static_cast<radius_entry *>(mempool_zalloc(db->entry_pool));
    if (!e) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    hashtable_prefetch(db->entries_by_mac, mac, true);
    hashtable_prefetch(&db->entries_by_name->table, name, true);
    e->db = db;
    radius_store_init_embedded(&e->empty_stores[0]);
    radius_store_init_embedded(&e->empty_stores[1]);
    e->store = &e->empty_stores[0];
    e->scratch = &e->empty_stores[1];
    memcpy(e->mac, mac, 6);
    memcpy(e->default_user_name, name, sizeof name);
    e->authz.user_name = e->default_user_name;
    e->station = station;
    e->send_token = -1;
    e->refcount = 1;
    e->x = RADIUS_X_NEW;
    e->service_type = RADIUS_SERVICE_CALL_CHECK;
    array_init(&e->custom, 1);
    hashlink_init(&e->by_mac);
    hashlink_init(&e->by_session_id);
    multilink_init(&e->by_name);
    multilink_init(&e->by_cui);
    multilink_init(&e->by_realm);
    list_init(&e->addrs4);
    list_init(&e->addrs6);
    if (db->realm_len && realm)
        memcpy(e->realm, realm, db->realm_len);
    // The insert finds a session of the same MAC itself: no lookup ahead.
    hashlink *duplicate = hashtable_insert(db->entries_by_mac, &e->by_mac);
    UGW_ASSERT(!duplicate);
    if (db->entries_by_realm)
        multitable_insert(db->entries_by_realm, &e->by_realm);
    radius_fsm_step(e);
    return e;
}

void radius_sess_delete(radius_entry *e)
{
    if (!e || e->deleted)
        return;
    radius_db *db = e->db;
    radius_entry_ref(e);
    if (e->auth) {
        e->auth->ops->destroy(e->auth);
        UGW_ASSERT(e->auth == NULL);
    }
    UGW_ASSERT(e->send_token < 0);
    set_reason(e, 1);
    e->x |= RADIUS_X_DEAUTHORIZE;
    radius_fsm_step(e);
    e->deleted = 1;
    cancel_timers(e);
    hashtable_remove(db->entries_by_mac, &e->by_mac);
    if (db->entries_by_realm)
        multitable_remove(db->entries_by_realm, &e->by_realm);
    unindex_name(e);
    unindex_cui(e);
    unindex_session_id(e);
    remove_addresses(e);
    radius_entry_unref(e);
    radius_entry_unref(e);
}

int radius_db_authorize_sess(radius_entry *e, const char *user_name)
{
    if (e->deleted) {
        errno = ENOENT;
        return -1;
    }
    if (user_name && radius_store_used(e->store) == 0) {
        char *copy = radius_store_strdup(e->store, user_name);
        if (!copy) {
            radius_store *grown = radius_store_grow(e->store);
            if (grown) {
                e->store = grown;
                copy = radius_store_strdup(e->store, user_name);
            }
        }
        if (copy) {
            e->authz.user_name = copy;
            e->given_name = copy;
            radius_db_reindex_name(e);
        }
    }
    e->x |= RADIUS_X_AUTHORIZE;
    radius_fsm_step(e);
    return 0;
}

void radius_db_deauthorize_sess(radius_entry *e, uint16_t reason)
{
    set_reason(e, reason);
    e->x |= RADIUS_X_DEAUTHORIZE;
    radius_fsm_step(e);
}

namespace {

template <class Index, size_t N>
int set_addrs(radius_entry *e, uint32_t count, const uint8_t (*addrs)[N], list_link radius_entry::*list,
              multitable *table, mempool *pool)
{
    radius_db *db = e->db;
    bool changed = false;
    // Marks which of the new addresses are already indexed.
    db->addr_scratch._count = 0;
    if (array_reserve(&db->addr_scratch, count) < 0)
        return -1;
    db->addr_scratch._count = count;
    for (uint32_t i = 0; i < count; i++)
        *array_at<uint32_t>(&db->addr_scratch, i) = 0;
    for (Index *ix : list_records_safe<&Index::link>(&(e->*list))) {
        bool keep = false;
        for (uint32_t i = 0; i < count; i++) {
            if (!*array_at<uint32_t>(&db->addr_scratch, i) && !memcmp(ix->addr, addrs[i], N)) {
                *array_at<uint32_t>(&db->addr_scratch, i) = 1;
                keep = true;
                break;
            }
        }
        if (!keep) {
            multitable_remove(table, &ix->by_addr);
            list_remove(&ix->link);
            mempool_release(pool, ix);
            changed = true;
        }
    }
    int result = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (*array_at<uint32_t>(&db->addr_scratch, i))
            continue;
        // The same address twice in the list is indexed once.
        bool dup = false;
        for (uint32_t j = 0; j < i && !dup; j++)
            dup = !memcmp(addrs[j], addrs[i], N);
        if (dup)
            continue;
        auto *ix = static_cast<Index *>(mempool_zalloc(pool));
        if (!ix) {
            ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
            result = -1;
            break;
        }
        ix->entry = e;
        memcpy(ix->addr, addrs[i], N);
        multilink_init(&ix->by_addr);
        list_append(&(e->*list), &ix->link);
        if (!e->deleted)
            multitable_insert(table, &ix->by_addr);
        changed = true;
    }
    if (changed && !e->deleted) {
        if (radius_db_accounting(db))
            e->x |= RADIUS_X_INTERIM_NOW;
        radius_fsm_step(e);
    }
    return result;
}

} // namespace

int radius_db_set_ipv4_addrs(radius_entry *e, uint32_t count, const uint8_t (*addrs)[4])
{
    return set_addrs<radius_index, 4>(e, count, addrs, &radius_entry::addrs4, e->db->by_ipv4,
                                      e->db->index_pool);
}

int radius_db_set_ipv6_addrs(radius_entry *e, uint32_t count, const uint8_t (*addrs)[16])
{
    return set_addrs<radius_index6, 16>(e, count, addrs, &radius_entry::addrs6, e->db->by_ipv6,
                                        e->db->index6_pool);
}

void radius_db_count_traffic(radius_entry *e, uint32_t packets_up, uint32_t packets_down,
                             uint64_t octets_up, uint64_t octets_down)
{
    e->packets_up += packets_up;
    e->packets_down += packets_down;
    auto add = [](uint32_t &hi, uint32_t &lo, uint64_t n) {
        uint64_t v = (uint64_t(hi) << 32 | lo) + n;
        hi = uint32_t(v >> 32);
        lo = uint32_t(v);
    };
    add(e->octets_up_hi, e->octets_up_lo, octets_up);
    add(e->octets_down_hi, e->octets_down_lo, octets_down);
    if (e->link_count == 0 || e->deleted)
        return;
    auto reached = [](uint32_t limit, uint32_t hi, uint32_t lo) {
        return limit && (hi || lo >= limit);
    };
    if (reached(e->authz.volume_up, e->octets_up_hi, e->octets_up_lo) ||
        reached(e->authz.volume_down, e->octets_down_hi, e->octets_down_lo)) {
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS authorization for station " MACFMT " expired",
             MACARG(e->mac));
        e->terminate_cause = 5;
        e->reason = 2;
        e->z |= (e->authz.flags & RADIUS_AUTHZ_TERMINATE_REQUEST) ? RADIUS_Z_EXPIRED_REAUTH
                                                                  : RADIUS_Z_EXPIRED;
        radius_fsm_step(e);
    }
}

radius_entry *radius_db_attach_auth(radius_db *db, const uint8_t mac[6], radius_auth *auth,
                                    int token)
{
    radius_entry *e = radius_db_lookup_sess(db, mac);
    if (!e) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "No RADIUS session found for station " MACFMT,
             MACARG(mac));
        return nullptr;
    }
    if (!radius_db_authentication(db)) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS authentication not enabled on NAS %s",
             db->nas_name);
        return nullptr;
    }
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s attached EAP authenticator for station " MACFMT,
         db->nas_name, MACARG(mac));
    e->auth = auth;
    e->send_token = token;
    e->token_nas = token >= 0 ? db->auth : nullptr;
    e->x |= RADIUS_X_AUTHORIZE;
    radius_entry_ref(e);
    radius_fsm_step(e);
    return e;
}

int radius_db_detach_auth(radius_entry *e)
{
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s detached EAP authenticator for station " MACFMT,
         e->db->nas_name, MACARG(e->mac));
    if (e->auth && e->authz.user_name == e->auth->identity) {
        e->authz.user_name = e->given_name ? const_cast<char *>(e->given_name) : e->default_user_name;
        radius_db_reindex_name(e);
    }
    int token = e->send_token;
    e->send_token = -1;
    e->token_nas = nullptr;
    e->auth = nullptr;
    release_request(e);
    radius_entry_unref(e);
    return token;
}

int radius_db_send_eap_request(radius_entry *e, packet *msg, int server)
{
    radius_db *db = e->db;
    if (!radius_db_authentication(db) || e->deleted)
        return -1;
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s sending Access-Request%s for station " MACFMT,
         db->nas_name,
         radius_find_attr(static_cast<const packet *>(msg), radius_attr_type::eap_message)
             ? "[EAP-Message]"
             : "",
         MACARG(e->mac));
    if (e->auth && e->auth->identity) {
        e->authz.user_name = const_cast<char *>(e->auth->identity);
        radius_db_reindex_name(e);
    }
    // A transaction of a replaced transport is not this one's to use.
    if (e->send_token >= 0 && e->token_nas != db->auth) {
        e->send_token = -1;
        e->token_nas = nullptr;
    }
    e->y |= RADIUS_Y_EAP_REQUEST;
    radius_fsm_step(e);
    if (radius_db_complete_request(e, msg) < 0)
        return -1;
    release_request(e);
    packet_ref(msg);
    e->request = msg;
    e->in_send = 1;
    int r = db->ops.send(db->user, msg, server, e->send_token >= 0 ? &e->send_token : nullptr);
    e->in_send = 0;
    return r < 0 ? -1 : 0;
}

void radius_db_response(radius_db *db, packet *msg, int)
{
    const radius_hdr *hdr = radius_header(static_cast<const packet *>(msg));
    UGW_ASSERT(msg->length == radius_hdr_length(hdr));
    uint8_t code = hdr->code;
    radius_entry *e = radius_db_lookup_sess(db, msg->meta);
    if (code == uint8_t(radius_code::accounting_response)) {
        // An identifier came free: accounting that waited for one goes now.
        radius_db_acct_drain(db);
    }
    if (!e)
        return;
    radius_entry_ref(e);
    switch (radius_code(code)) {
    case radius_code::access_challenge:
        if (e->auth)
            break;
        // Nothing can answer a challenge without an EAP back end: a refusal.
        [[fallthrough]];
    case radius_code::access_reject:
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS NAS %s received Access-Reject for station " MACFMT,
             db->nas_name, MACARG(e->mac));
        set_reason(e, e->auth ? 23 : 1);
        e->terminate_cause = 15;
        e->y |= RADIUS_Y_REJECT;
        break;
    case radius_code::access_accept:
        ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS NAS %s received Access-Accept for station " MACFMT,
             db->nas_name, MACARG(e->mac));
        e->terminate_cause = 5;
        e->y |= RADIUS_Y_ACCEPT;
        break;
    case radius_code::accounting_response:
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG,
             "RADIUS NAS %s received Accounting-Response for station " MACFMT, db->nas_name,
             MACARG(e->mac));
        e->z |= RADIUS_Z_ACCT_RESPONSE;
        break;
    default:
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Dropping RADIUS message of type %u", code);
        radius_entry_unref(e);
        return;
    }
    if (code != uint8_t(radius_code::accounting_response) && e->request) {
        packet *req = e->request;
        e->request = nullptr;
        packet_release(req);
    }
    packet *saved = e->message;
    e->message = msg;
    radius_fsm_step(e);
    e->message = saved;
    if (e->auth && code != uint8_t(radius_code::accounting_response))
        e->auth->ops->recv(e->auth, msg);
    radius_entry_unref(e);
}

void radius_db_timeout(radius_db *db, packet *msg)
{
    const radius_hdr *hdr = radius_header(static_cast<const packet *>(msg));
    radius_entry *e = radius_db_lookup_sess(db, msg->meta);
    if (hdr->code == uint8_t(radius_code::accounting_request)) {
        // Only a full window fails a request during its own send.
        if (db->draining || (e && e->in_send))
            radius_db_acct_backlog(db, msg);
        else
            radius_db_acct_drain(db);
        return;
    }
    if (!e || e->request != msg)
        return;
    if (!e->in_send)
        radius_db_acct_drain(db);
    radius_entry_ref(e);
    e->request = nullptr;
    packet_release(msg);
    e->z |= RADIUS_Z_TIMEOUT;
    e->terminate_cause = 15;
    if (e->auth) {
        e->reason = 23;
        e->auth->ops->abort(e->auth);
    } else {
        e->reason = 1;
    }
    radius_fsm_step(e);
    radius_entry_unref(e);
}

int radius_db_handle_dynauth(radius_entry *e, packet *request, radiusDynAuthClientTable *row)
{
    const radius_hdr *hdr = radius_header(static_cast<const packet *>(request));
    uint8_t code = hdr->code;
    ulog(LOG_COMP_RADIUS, ULOG_DETAIL, "RADIUS DAS %s received %s for station " MACFMT,
         e->db->nas_name, radius_code_name(code), MACARG(e->mac));
    radius_entry_ref(e);
    if (code == uint8_t(radius_code::coa_request)) {
        e->y |= RADIUS_Y_COA;
        uint32_t st;
        const uint8_t *a = radius_find_attr(static_cast<const packet *>(request),
                                            radius_attr_type::service_type);
        if (a && radius_get_int(a, &st) == 0 && st == RADIUS_SERVICE_AUTHORIZE_ONLY)
            e->y |= RADIUS_Y_COA_AUTHORIZE_ONLY;
    } else if (code == uint8_t(radius_code::disconnect_request)) {
        e->z |= RADIUS_Z_DISCONNECT;
    }
    e->terminate_cause = 6;
    uint32_t reason = 2;
    const uint8_t *rc = radius_find_attr(static_cast<const packet *>(request),
                                         radius_attr_type::wlan_reason_code);
    if (rc && radius_get_int(rc, &reason) < 0)
        reason = 2;
    e->reason = uint16_t(reason);
    e->error_cause = 0;
    packet *saved = e->message;
    e->message = request;
    radius_fsm_step(e);
    e->message = saved;
    int result = e->error_cause;
    if (row && result == 0) {
        if (code == uint8_t(radius_code::disconnect_request))
            row->radiusDynAuthServDisconUserSessRemoved++;
        else if (code == uint8_t(radius_code::coa_request))
            row->radiusDynAuthServCoAUserSessChanged++;
    }
    radius_entry_unref(e);
    return result;
}

uint16_t radius_db_check_coa(radius_entry *e, const packet *request)
{
    uint16_t error = 0;
    const uint8_t *state = nullptr;
    char name[64], value[64];
    for (const uint8_t *a = radius_first_attr(request); a; a = radius_next_attr(request, a)) {
        switch (radius_attr_type(a[0])) {
        case radius_attr_type::user_name:
        case radius_attr_type::nas_ip_address:
        case radius_attr_type::framed_ip_address:
        case radius_attr_type::calling_station_id:
        case radius_attr_type::nas_identifier:
        case radius_attr_type::proxy_state:
        case radius_attr_type::acct_session_id:
        case radius_attr_type::event_timestamp:
        case radius_attr_type::message_authenticator:
        case radius_attr_type::chargeable_user_identity:
        case radius_attr_type::nas_ipv6_address:
        case radius_attr_type::framed_ipv6_address:
            break;
        case radius_attr_type::service_type: {
            uint32_t v;
            if (radius_get_int(a, &v) < 0 || v != RADIUS_SERVICE_AUTHORIZE_ONLY) {
                snprintf(value, sizeof value, "%u", a[1] == 6 ? radius_load32(a + 2) : 0u);
                ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Invalid RADIUS attribute %s[%u]=%s",
                     radius_attr_name(a, name, sizeof name), a[1], value);
                error = RADIUS_ERROR_INVALID_ATTRIBUTE_VALUE;
            }
            break;
        }
        case radius_attr_type::state:
            state = a;
            break;
        default:
            snprintf(value, sizeof value, "%u bytes", unsigned(a[1] - 2));
            ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Unsupported RADIUS attribute %s[%u]=%s",
                 radius_attr_name(a, name, sizeof name), a[1], value);
            error = RADIUS_ERROR_UNSUPPORTED_ATTRIBUTE;
            break;
        }
    }
    if (!state) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Missing RADIUS attribute State in CoA-Request");
        return RADIUS_ERROR_MISSING_ATTRIBUTE;
    }
    if (error)
        return error;
    // The Authorize-Only Access-Request carries this State back.
    free(e->coa_state);
    e->coa_state = radius_dup_attr(state);
    return RADIUS_ERROR_REQUEST_INITIATED;
}

// Lookups.

radius_entry *radius_db_lookup_sess(radius_db *db, const uint8_t mac[6])
{
    return hashtable_lookup(db->entries_by_mac, mac, &radius_entry::by_mac);
}

radius_entry *radius_db_lookup_sess_by_session_id(radius_db *db, uint32_t id)
{
    return hashtable_lookup(db->entries_by_session_id, &id, &radius_entry::by_session_id);
}

radius_entry *radius_db_first_sess(radius_db *db)
{
    return hashtable_entry(hashtable_first(db->entries_by_mac), &radius_entry::by_mac);
}

radius_entry *radius_db_next_sess(radius_db *db, radius_entry *e)
{
    return hashtable_entry(hashtable_next(db->entries_by_mac, &e->by_mac), &radius_entry::by_mac);
}

radius_entry *radius_db_first_sess_by_realm(radius_db *db, const uint8_t *realm)
{
    if (!db->entries_by_realm)
        return radius_db_first_sess(db);
    return entry_of(multitable_lookup(db->entries_by_realm, realm), &radius_entry::by_realm);
}

radius_entry *radius_db_next_sess_by_realm(radius_db *db, radius_entry *e)
{
    if (!db->entries_by_realm)
        return radius_db_next_sess(db, e);
    multilink *n = multitable_next(db->entries_by_realm, &e->by_realm);
    radius_entry *next = entry_of(n, &radius_entry::by_realm);
    if (next && memcmp(next->realm, e->realm, db->realm_len))
        return nullptr;
    return next;
}

int radius_db_add_custom_attr(radius_entry *e, uint8_t type, const void *value, size_t length)
{
    if (length == 0) {
        ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "Ignoring empty custom radius attribute %d", type);
        return -1;
    }
    if (length > RADIUS_ATTR_MAX_VALUE) {
        errno = EINVAL;
        return -1;
    }
    uint32_t at = array_length(&e->custom);
    if (array_reserve(&e->custom, uint32_t(at + length + 2)) < 0)
        return -1;
    e->custom._count = uint32_t(at + length + 2);
    uint8_t *p = array_at<uint8_t>(&e->custom, at);
    p[0] = type;
    p[1] = uint8_t(length + 2);
    memcpy(p + 2, value, length);
    return 0;
}

int radius_db_add_custom_int(radius_entry *e, uint8_t type, uint32_t value)
{
    uint8_t v[4];
    radius_store32(v, value);
    return radius_db_add_custom_attr(e, type, v, sizeof v);
}
