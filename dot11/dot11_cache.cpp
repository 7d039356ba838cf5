#include "dot11/dot11_cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/crypto/bytes.h"
#include "common/crypto/secure.h"
#include "common/fatal.h"
#include "common/log.h"
#include "dot11/dot11_auth.h"
#include "dot11/dot11_r0kh.h"
#include "dot11/dot11_wire.h"
#include "dot11/dot1x_port.h"

struct dot11_cache {
    dot11_auth_config config;
    dot1xAuthConfig port_config;
    dot11_cache_ops ops;
    void *user;
    radius_client *nas;
    mempool *pool;
    hashtable *entries_by_id;
    hashtable *entries_by_name;
    multitable *entries_by_mac;
    multitable *entries_by_user;
    hashtable *r0khs;
    uint8_t cursor[16];
    unsigned key_limit;
    uint32_t margin; // s, from the configuration
    dot11_pae_ops pae;
    const eap_aaa_ops *aaa;
    dot1xAuthStats dot1x_stats;
    dot1xAuthDiag dot1x_diag;
};

namespace {

constexpr size_t entry_fixed = offsetof(dot11_cache_entry, identity);

dot11_cache_name *name_block(const dot11_cache_entry *e)
{
    return e->flags & DOT11_ENTRY_NAMED
               ? reinterpret_cast<dot11_cache_name *>(const_cast<dot11_cache_entry *>(e)) - 1
               : nullptr;
}

void *alloc_base(dot11_cache_entry *e)
{
    dot11_cache_name *b = name_block(e);
    return b ? static_cast<void *>(b) : static_cast<void *>(e);
}

size_t prefix_of(const dot11_cache_entry *e)
{
    return e->flags & DOT11_ENTRY_NAMED ? sizeof(dot11_cache_name) : 0;
}

uint32_t w(const uint8_t *p, int i)
{
    return crypto_bytes::load_be32(p + 4 * i);
}

bool is_zero16(const uint8_t *p)
{
    uint8_t acc = 0;
    for (int i = 0; i < 16; i++)
        acc |= p[i];
    return !acc;
}

dot11_cache_entry *by_mac_entry(const multilink *l)
{
    return multitable_entry(l, &dot11_cache_entry::by_mac);
}

dot11_cache_entry *by_user_entry(const multilink *l)
{
    return multitable_entry(l, &dot11_cache_entry::by_user);
}

// The next record of the same key as e in a multitable, or null.
template <cmultilink dot11_cache_entry::*M>
dot11_cache_entry *next_of_key(const dot11_cache_entry *e)
{
    const multilink *ml = &(e->*M).ml;
    const list_link *n = ml->_ring._next;
    const multilink *nml = container_of(const_cast<list_link *>(n), &multilink::_ring);
    if (hashlink_used(&nml->_hlink)) return nullptr; // back at the first record of the key
    return container_of(reinterpret_cast<cmultilink *>(const_cast<multilink *>(nml)), M);
}

bool akm_matches(uint32_t a, uint32_t b)
{
    return !a || !b || a == b;
}

uint32_t age_of(const dot11_cache_entry *e)
{
    return clock_sec() - e->created;
}

void entry_free(dot11_cache_entry *e)
{
    size_t size = entry_fixed + 1;
    if (e->room == 1)
        size = entry_fixed + DOT11_IDENTITY_MAX + 1;
    else if (e->room == 2)
        size = entry_fixed + strlen(e->identity) + 1;
    size_t prefix = prefix_of(e);
    void *base = alloc_base(e);
    secure_wipe(base, prefix + size);
    free(base);
}

bool name_is_id(const dot11_cache_entry *e)
{
    return !memcmp(dot11_cache_entry_name(e), e->id, 16);
}

// Everything but the id index, which the caller has left.
void unlink_rest(dot11_cache *cache, dot11_cache_entry *e)
{
    dot11_cache_name *b = name_block(e);
    if (b && hashlink_used(&b->by_name)) hashtable_remove(cache->entries_by_name, &b->by_name);
    cmultitable_remove(cache->entries_by_mac, &e->by_mac);
    if (e->room && e->identity[0]) cmultitable_remove(cache->entries_by_user, &e->by_user);
    hashlink_init(&e->by_id);
    if (b) hashlink_init(&b->by_name);
    cmultilink_init(&e->by_mac);
    cmultilink_init(&e->by_user);
    e->linked = 0;
    // Nor does the key linger as a station's HMAC key.
    if (dot11_akm_is_ft(e->akm) && cache->r0khs)
        if (dot11_r0kh *r0kh = dot11_cache_lookup_r0kh(cache, e->mac))
            dot11_r0kh_forget_r0(r0kh, e->key);
    // A holder keeps the memory, not the key.
    if (e->refcount > 1) secure_wipe(e->key, sizeof e->key);
    dot11_cache_entry_release(e);
}

void entry_cleared(void *cache, void *entry)
{
    unlink_rest(static_cast<dot11_cache *>(cache), static_cast<dot11_cache_entry *>(entry));
}

} // namespace

bool dot11_akm_is_8021x(uint32_t akm)
{
    return akm == DOT11_AKM_8021X || akm == DOT11_AKM_FT_8021X || akm == DOT11_AKM_8021X_SHA256 ||
           akm == DOT11_AKM_WPA_8021X;
}

const char *dot11_cache_kind(uint32_t akm)
{
    return dot11_akm_is_ft(akm) ? "PMK-R0-SA" : "PMKSA";
}

dot11_cache *dot11_cache_create(const dot11_auth_config *config, const dot11_cache_ops *ops,
                                void *user, radius_client *nas, mempool *pool)
{
    auto *cache = new (std::nothrow) dot11_cache{};
    if (!cache) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    if (ops)
        cache->ops = *ops;
    cache->user = user;
    cache->nas = nas;
    cache->pool = pool;
    cache->port_config = dot1x_config_template;
    cache->pae = dot1x_pae_ops;
    // Check before allocating: a refused configuration leaves nothing behind.
    if (dot11_cache_check_config(cache, config, nas) < 0) {
        delete cache;
        return nullptr;
    }
    using E = dot11_cache_entry;
    // Emptying the id index unlinks each entry from the other three.
    hashtable_config by_id = *hashtable_default_config(false);
    by_id.extra = cache;
    by_id.clear = entry_cleared;
    cache->entries_by_id = hashtable_create(&E::id, &E::by_id, &by_id);
    cache->entries_by_name = hashtable_create(&dot11_cache_name::name, &dot11_cache_name::by_name);
    cache->entries_by_mac = multitable_create(&E::mac, &E::by_mac);
    cache->entries_by_user =
        multitable_create(0, int32_t(offsetof(E, identity)) - int32_t(offsetof(E, by_user)), true,
                          true, nullptr, int32_t(offsetof(E, by_user)));
    cache->r0khs = hashtable_create(&dot11_r0kh::mac, &dot11_r0kh::link);
    if (!cache->entries_by_id || !cache->entries_by_name || !cache->entries_by_mac ||
        !cache->entries_by_user || !cache->r0khs) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        dot11_cache_delete(cache);
        return nullptr;
    }
    return cache;
}

namespace
{

uint32_t compute_margin(const dot11_auth_config *c)
{
    uint64_t tus = c->dot11FTReassociationDeadline;
    uint64_t deadline = tus > 0xf9fffffe ? 4294967 : (tus * 1024 + 500) / 1000 / 1000;
    uint64_t updates = 2 * (uint64_t(c->dot11RSNAConfigGroupUpdateCount) +
                            2 * uint64_t(c->dot11RSNAConfigPairwiseUpdateCount));
    return uint32_t(deadline > updates ? deadline : updates);
}

} // namespace

int dot11_cache_check_config(dot11_cache *cache, const dot11_auth_config *config,
                             const radius_client *nas)
{
    if (!cache->nas && !nas) {
        for (uint32_t akm : config->dot11RSNAConfigAuthenticationSuite) {
            if (dot11_akm_is_8021x(akm)) {
                ulog(LOG_COMP_DOT11, ULOG_ERROR, "IEEE 802.1X authentication requires a RADIUS NAS");
                return -1;
            }
        }
    }
    cache->config = *config;
    if (cache->r0khs)
        for (hashlink *l = hashtable_first(cache->r0khs); l; l = hashtable_next(cache->r0khs, l))
            dot11_r0kh_forget_psk(hashtable_entry(l, &dot11_r0kh::link));
    unsigned ft = 0;
    for (uint32_t akm : config->dot11RSNAConfigAuthenticationSuite)
        ft += dot11_akm_is_ft(akm);
    unsigned limit = config->dot11RSNAConfigPMKIDCacheSize;
    cache->key_limit = limit > 1 + ft ? limit : 1 + ft;
    cache->margin = compute_margin(config);
    return 0;
}

void dot11_cache_delete(dot11_cache *cache)
{
    if (!cache)
        return;
    if (cache->r0khs) {
        while (hashlink *l = hashtable_first(cache->r0khs))
            dot11_r0kh_delete(hashtable_entry(l, &dot11_r0kh::link));
        hashtable_destroy(cache->r0khs);
        cache->r0khs = nullptr; // the entries cleared below look for theirs
    }
    if (cache->entries_by_id && cache->entries_by_name && cache->entries_by_mac &&
        cache->entries_by_user)
        dot11_cache_clear(cache);
    hashtable_destroy(cache->entries_by_id);
    hashtable_destroy(cache->entries_by_name);
    multitable_destroy(cache->entries_by_mac);
    multitable_destroy(cache->entries_by_user);
    secure_wipe(&cache->config, sizeof(cache->config));
    delete cache;
}

void dot11_cache_set_nas(dot11_cache *cache, radius_client *nas)
{
    if (!cache->nas)
        cache->nas = nas;
}

void dot11_cache_clear_nas(dot11_cache *cache)
{
    cache->nas = nullptr;
}
radius_client *dot11_cache_get_nas(const dot11_cache *cache)
{
    return cache->nas;
}
const dot11_auth_config *dot11_cache_config(const dot11_cache *cache)
{
    return &cache->config;
}
mempool *dot11_cache_pool(const dot11_cache *cache)
{
    return cache->pool;
}
unsigned dot11_cache_key_limit(const dot11_cache *cache)
{
    return cache->key_limit;
}
const dot1xAuthConfig *dot11_cache_port_config(const dot11_cache *cache)
{
    return &cache->port_config;
}

void dot11_cache_set_pae_ops(dot11_cache *cache, const dot11_pae_ops *ops)
{
    cache->pae = ops ? *ops : dot11_pae_ops{};
}

void dot11_cache_set_aaa_ops(dot11_cache *cache, const eap_aaa_ops *ops)
{
    cache->aaa = ops;
}

const eap_aaa_ops *dot11_cache_aaa_ops(const dot11_cache *cache)
{
    return cache->aaa;
}

dot1xAuthStats *dot11_cache_dot1x_stats(dot11_cache *cache)
{
    return &cache->dot1x_stats;
}

dot1xAuthDiag *dot11_cache_dot1x_diag(dot11_cache *cache)
{
    return &cache->dot1x_diag;
}

const dot11_pae_ops *dot11_cache_pae_ops(const dot11_cache *cache)
{
    return &cache->pae;
}

void dot11_cache_timer_start(dot11_cache *cache, timer *t, uint32_t ms, timer_fn expiry)
{
    if (cache->ops.timer_start) cache->ops.timer_start(cache->user, t, ms, expiry);
}

void dot11_cache_timer_stop(dot11_cache *cache, timer *t)
{
    if (cache->ops.timer_stop) cache->ops.timer_stop(cache->user, t);
}

// Entries.

dot11_cache_entry *dot11_cache_entry_create(dot11_cache *, const uint8_t mac[6], uint32_t akm)
{
    bool large = dot11_akm_is_8021x(akm);
    bool named = dot11_akm_is_ft(akm);
    size_t prefix = named ? sizeof(dot11_cache_name) : 0;
    size_t size = entry_fixed + (large ? DOT11_IDENTITY_MAX + 1 : 1);
    auto *base = static_cast<uint8_t *>(calloc(1, prefix + size));
    if (!base) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    auto *e = reinterpret_cast<dot11_cache_entry *>(base + prefix);
    if (named) {
        e->flags = DOT11_ENTRY_NAMED;
        hashlink_init(&name_block(e)->by_name);
    }
    hashlink_init(&e->by_id);
    cmultilink_init(&e->by_mac);
    cmultilink_init(&e->by_user);
    e->refcount = 1;
    e->room = large ? 1 : 0;
    e->akm = akm;
    memcpy(e->mac, mac, 6);
    e->created = clock_sec();
    return e;
}

dot11_cache_entry *dot11_cache_entry_set_identity(dot11_cache *, dot11_cache_entry *e,
                                                  const char *identity)
{
    if (e->room != 1 || !identity) return e;
    size_t n = strnlen(identity, DOT11_IDENTITY_MAX);
    memcpy(e->identity, identity, n);
    e->identity[n] = 0;
    if (e->linked || e->refcount != 1) return e;
    // Wipe the tail before giving it back; realloc may move the entry, which
    // nothing points to yet.
    secure_wipe(e->identity + n + 1, DOT11_IDENTITY_MAX - n);
    size_t prefix = prefix_of(e);
    auto *base = static_cast<uint8_t *>(realloc(alloc_base(e), prefix + entry_fixed + n + 1));
    if (!base) return e;
    auto *s = reinterpret_cast<dot11_cache_entry *>(base + prefix);
    s->room = 2;
    hashlink_init(&s->by_id);
    if (dot11_cache_name *b = name_block(s)) hashlink_init(&b->by_name);
    cmultilink_init(&s->by_mac);
    cmultilink_init(&s->by_user);
    return s;
}

uint8_t *dot11_cache_entry_name(dot11_cache_entry *e)
{
    dot11_cache_name *b = name_block(e);
    return b ? b->name : e->id;
}

const uint8_t *dot11_cache_entry_name(const dot11_cache_entry *e)
{
    const dot11_cache_name *b = name_block(e);
    return b ? b->name : e->id;
}

bool dot11_cache_entry_linked(const dot11_cache_entry *entry)
{
    return entry->linked;
}

dot11_cache_entry *dot11_cache_entry_hold(dot11_cache_entry *e)
{
    if (!e || e->refcount == 0xffff) return nullptr;
    e->refcount++;
    return e;
}

void dot11_cache_entry_release(dot11_cache_entry *e)
{
    if (!e) return;
    UGW_ASSERT(e->refcount > 0);
    if (--e->refcount == 0) {
        UGW_ASSERT(!e->linked);
        entry_free(e);
    }
}

int dot11_cache_entry_renew(dot11_cache_entry *e)
{
    if (e->linked || e->refcount != 1 || e->room) return -1;
    if (dot11_cache_name *b = name_block(e)) {
        secure_wipe(b->name, sizeof b->name);
        hashlink_init(&b->by_name);
    }
    secure_wipe(e->id, sizeof e->id);
    secure_wipe(e->key, sizeof e->key);
    e->flags &= DOT11_ENTRY_NAMED;
    e->cipher = e->lifetime = e->frames_in = e->frames_out = 0;
    e->octets_in = e->octets_out = 0;
    e->created = clock_sec();
    return 0;
}

int dot11_cache_insert(dot11_cache *cache, dot11_cache_entry *e)
{
    if (e->linked) return -1;
    if (dot11_cache_entry *old = dot11_cache_find_pmk(cache, e->id))
        dot11_cache_remove_entry(cache, old);
    if (dot11_cache_entry *old = dot11_cache_find_name(cache, dot11_cache_entry_name(e)))
        dot11_cache_remove_entry(cache, old);
    hashtable_insert(cache->entries_by_id, &e->by_id);
    // A name equal to the id is found through the id index.
    if (!name_is_id(e)) hashtable_insert(cache->entries_by_name, &name_block(e)->by_name);
    cmultitable_append(cache->entries_by_mac, &e->by_mac);
    if (e->room && e->identity[0]) cmultitable_append(cache->entries_by_user, &e->by_user);
    e->linked = 1;
    e->refcount++;
    return 0;
}

void dot11_cache_remove_entry(dot11_cache *cache, dot11_cache_entry *e)
{
    if (!e->linked) return;
    hashtable_remove(cache->entries_by_id, &e->by_id);
    unlink_rest(cache, e);
}

void dot11_cache_clear(dot11_cache *cache)
{
    hashtable_clear(cache->entries_by_id);
    UGW_ASSERT(hashtable_count(cache->entries_by_name) == 0);
    UGW_ASSERT(multitable_count(cache->entries_by_mac) == 0);
    UGW_ASSERT(multitable_count(cache->entries_by_user) == 0);
    memset(cache->cursor, 0, sizeof cache->cursor);
}

void dot11_cache_clear_pmksas_by_mac(dot11_cache *cache, const uint8_t mac[6])
{
    while (dot11_cache_entry *e = dot11_cache_first_pmk_by_mac(cache, mac))
        dot11_cache_remove_entry(cache, e);
}

// Lookup and expiry.

uint32_t dot11_cache_margin(const dot11_cache *cache)
{
    return cache->margin;
}

dot11_cache_entry *dot11_cache_expire(dot11_cache *cache, dot11_cache_entry *e)
{
    uint64_t age = age_of(e);
    if (uint64_t(e->lifetime) >= age + dot11_cache_margin(cache)) return e;
    const char *id = e->room ? e->identity : "";
    ulog(LOG_COMP_DOT11, ULOG_DEBUG, "%s %08x%08x%08x%08x for R0KH " DOT11_MACF "%s%s expired",
         dot11_cache_kind(e->akm), w(e->id, 0), w(e->id, 1), w(e->id, 2), w(e->id, 3),
         DOT11_MACA(e->mac), id[0] ? " and EAP Identity " : "", id);
    dot11_cache_remove_entry(cache, e);
    return nullptr;
}

dot11_cache_entry *dot11_cache_lookup(dot11_cache *cache, const uint8_t mac[6],
                                      const uint8_t bssid[6], const uint8_t name[16], uint32_t akm,
                                      uint32_t cipher)
{
    if (is_zero16(name)) return nullptr;
    // Ids and names travel in the clear: only the station's own entry counts.
    dot11_cache_entry *e = dot11_cache_find_pmk(cache, name);
    if (e && memcmp(e->mac, mac, 6)) e = nullptr;
    if (!e) {
        e = dot11_cache_find_name(cache, name);
        if (e && memcmp(e->mac, mac, 6)) e = nullptr;
    }
    if (!e) {
        for (dot11_cache_entry *c = dot11_cache_first_pmk_by_mac(cache, mac); c;
             c = dot11_cache_next_pmk_by_mac(cache, mac, c)) {
            if (!akm_matches(akm, c->akm) || !akm_matches(cipher, c->cipher)) continue;
            uint8_t pmkid[16];
            if (c->akm == DOT11_AKM_8021X_SHA256 || c->akm == DOT11_AKM_PSK_SHA256)
                dot11_derive_pmkid_sha256(c->key, bssid, mac, pmkid);
            else if (c->akm == DOT11_AKM_8021X || c->akm == DOT11_AKM_PSK)
                dot11_derive_pmkid(c->key, bssid, mac, pmkid);
            else
                continue;
            if (secure_compare(pmkid, name, 16) == 0) {
                e = c;
                break;
            }
        }
    }
    if (!e || !dot11_cache_expire(cache, e)) return nullptr;
    if ((akm && e->akm && akm != e->akm) || (cipher && e->cipher && cipher != e->cipher))
        return nullptr;
    return dot11_cache_entry_hold(e);
}

void dot11_cache_poll(dot11_cache *cache, dot11_rsna *sta)
{
    dot11_cache_entry *e = nullptr;
    if (!is_zero16(cache->cursor)) e = dot11_cache_find_pmk(cache, cache->cursor);
    if (!e) e = dot11_cache_first_pmk(cache);
    if (e) {
        // The cursor wraps to the first entry here, once per round, so that
        // the next polls find it by id instead of walking the empty buckets
        // from the start (a lone entry is its own successor).
        dot11_cache_entry *n = e;
        if (hashtable_count(cache->entries_by_id) > 1) {
            n = dot11_cache_next_pmk(cache, e);
            if (!n) n = dot11_cache_first_pmk(cache);
        }
        if (n)
            memcpy(cache->cursor, n->id, 16);
        else
            memset(cache->cursor, 0, 16);
        dot11_cache_expire(cache, e);
    }
    if (sta && sta->r0kh && !sta->r0kh->running) dot11_r0kh_step(sta->r0kh);
}

void dot11_cache_evict(dot11_cache *cache, const uint8_t mac[6], const char *identity)
{
    multilink *first;
    while ((first = multitable_lookup(cache->entries_by_mac, mac)) &&
           cmultitable_count(reinterpret_cast<cmultilink *>(first)) > cache->key_limit) {
        dot11_cache_entry *e = by_mac_entry(first);
        ulog(LOG_COMP_DOT11, ULOG_DEBUG,
             "Evicting %s %08x%08x%08x%08x for R0KH " DOT11_MACF " age %us",
             dot11_cache_kind(e->akm), w(e->id, 0), w(e->id, 1), w(e->id, 2), w(e->id, 3),
             DOT11_MACA(e->mac), age_of(e));
        dot11_cache_remove_entry(cache, e);
    }
    if (!identity || !identity[0]) return;
    while ((first = multitable_lookup(cache->entries_by_user, identity)) &&
           cmultitable_count(reinterpret_cast<cmultilink *>(first)) > cache->key_limit) {
        dot11_cache_entry *e = by_user_entry(first);
        ulog(LOG_COMP_DOT11, ULOG_DEBUG, "Evicting %s %08x%08x%08x%08x for EAP Identity %s age %us",
             dot11_cache_kind(e->akm), w(e->id, 0), w(e->id, 1), w(e->id, 2), w(e->id, 3),
             e->identity, age_of(e));
        dot11_cache_remove_entry(cache, e);
    }
}

int dot11_cache_add_counters(dot11_cache *cache, const uint8_t id[16], uint64_t octets_in,
                             uint64_t octets_out, uint32_t frames_in, uint32_t frames_out)
{
    dot11_cache_entry *e = dot11_cache_find_pmk(cache, id);
    if (!e) e = dot11_cache_find_name(cache, id);
    if (!e) return -1;
    e->octets_in += octets_in;
    e->octets_out += octets_out;
    e->frames_in += frames_in;
    e->frames_out += frames_out;
    return 0;
}

// Walks.

unsigned dot11_cache_count_pmks(const dot11_cache *cache)
{
    return hashtable_count(cache->entries_by_id);
}

dot11_cache_entry *dot11_cache_first_pmk(dot11_cache *cache)
{
    hashlink *l = hashtable_first(cache->entries_by_id);
    return l ? hashtable_entry(l, &dot11_cache_entry::by_id) : nullptr;
}

dot11_cache_entry *dot11_cache_next_pmk(dot11_cache *cache, dot11_cache_entry *e)
{
    hashlink *l = hashtable_next(cache->entries_by_id, &e->by_id);
    return l ? hashtable_entry(l, &dot11_cache_entry::by_id) : nullptr;
}

unsigned dot11_cache_count_pmks_by_mac(dot11_cache *cache, const uint8_t mac[6])
{
    return cmultitable_count(
        reinterpret_cast<cmultilink *>(multitable_lookup(cache->entries_by_mac, mac)));
}

dot11_cache_entry *dot11_cache_first_pmk_by_mac(dot11_cache *cache, const uint8_t mac[6])
{
    return by_mac_entry(multitable_lookup(cache->entries_by_mac, mac));
}

dot11_cache_entry *dot11_cache_next_pmk_by_mac(dot11_cache *, const uint8_t *, dot11_cache_entry *e)
{
    return next_of_key<&dot11_cache_entry::by_mac>(e);
}

unsigned dot11_cache_count_pmks_by_user(dot11_cache *cache, const char *identity)
{
    return cmultitable_count(
        reinterpret_cast<cmultilink *>(multitable_lookup(cache->entries_by_user, identity)));
}

dot11_cache_entry *dot11_cache_find_pmk(dot11_cache *cache, const uint8_t id[16])
{
    hashlink *l = hashtable_lookup(cache->entries_by_id, id);
    return l ? hashtable_entry(l, &dot11_cache_entry::by_id) : nullptr;
}

dot11_cache_entry *dot11_cache_find_name(dot11_cache *cache, const uint8_t name[16])
{
    if (hashlink *l = hashtable_lookup(cache->entries_by_name, name))
        return reinterpret_cast<dot11_cache_entry *>(
            hashtable_entry(l, &dot11_cache_name::by_name) + 1);
    dot11_cache_entry *e = dot11_cache_find_pmk(cache, name);
    return e && name_is_id(e) ? e : nullptr;
}

void dot11_cache_dump_pmk(const dot11_cache_entry *e, dot11_key_row *row,
                          dot1xAuthSessionStats *detail)
{
    uint32_t now = clock_sec();
    if (row) {
        memset(row, 0, sizeof *row);
        memcpy(row->mac, e->mac, 6);
        memcpy(row->key_id, e->id, 16);
        row->akm = e->akm;
        row->pairwise = e->cipher;
        uint32_t age = now - e->created;
        row->lifetime = e->lifetime > age ? e->lifetime - age : 0;
    }
    if (detail) {
        memset(detail, 0, sizeof *detail);
        detail->dot1xAuthSessionOctetsRx = e->octets_in;
        detail->dot1xAuthSessionOctetsTx = e->octets_out;
        detail->dot1xAuthSessionFramesRx = e->frames_in;
        detail->dot1xAuthSessionFramesTx = e->frames_out;
        snprintf(detail->dot1xAuthSessionId, sizeof detail->dot1xAuthSessionId, "%08x%08x%08x%08x",
                 w(e->id, 0), w(e->id, 1), w(e->id, 2), w(e->id, 3));
        dot1x_session_set_method(detail, dot11_akm_is_psk(e->akm) ? DOT1X_METHOD_LOCAL
                                                                  : DOT1X_METHOD_REMOTE);
        dot1x_session_set_cause(detail, DOT1X_CAUSE_NOT_TERMINATED);
        detail->dot1xAuthSessionTime = now - e->created;
        if (e->room && e->identity[0])
            snprintf(detail->dot1xAuthSessionUserName, sizeof detail->dot1xAuthSessionUserName,
                     "%.255s", e->identity);
        else
            snprintf(detail->dot1xAuthSessionUserName, sizeof detail->dot1xAuthSessionUserName,
                     "%02X-%02X-%02X-%02X-%02X-%02X", DOT11_MACA(e->mac));
    }
}

// R0 key holders by station MAC.

dot11_r0kh *dot11_cache_find_r0kh(dot11_cache *cache, const uint8_t mac[6])
{
    hashlink *l = hashtable_lookup(cache->r0khs, mac);
    if (!l) return nullptr;
    dot11_r0kh *r0kh = hashtable_entry(l, &dot11_r0kh::link);
    dot11_r0kh_prune(r0kh);
    return r0kh;
}

dot11_r0kh *dot11_cache_lookup_r0kh(dot11_cache *cache, const uint8_t mac[6])
{
    hashlink *l = hashtable_lookup(cache->r0khs, mac);
    return l ? hashtable_entry(l, &dot11_r0kh::link) : nullptr;
}

dot11_r0kh *dot11_cache_first_r0kh(dot11_cache *cache)
{
    hashlink *l = hashtable_first(cache->r0khs);
    return l ? hashtable_entry(l, &dot11_r0kh::link) : nullptr;
}

dot11_r0kh *dot11_cache_next_r0kh(dot11_cache *cache, dot11_r0kh *r0kh)
{
    hashlink *l = hashtable_next(cache->r0khs, &r0kh->link);
    return l ? hashtable_entry(l, &dot11_r0kh::link) : nullptr;
}

unsigned dot11_cache_count_r0khs(const dot11_cache *cache)
{
    return hashtable_count(cache->r0khs);
}

int dot11_cache_link_r0kh(dot11_cache *cache, dot11_r0kh *r0kh)
{
    hashtable_insert(cache->r0khs, &r0kh->link);
    return 0;
}

void dot11_cache_unlink_r0kh(dot11_cache *cache, dot11_r0kh *r0kh)
{
    if (hashlink_used(&r0kh->link)) hashtable_remove(cache->r0khs, &r0kh->link);
    hashlink_init(&r0kh->link);
}

void dot11_rsna_dump_ftauth(const dot11_rsna *sta, dot11_ft_auth_row *row)
{
    memset(row, 0, sizeof *row);
    memcpy(row->sta, sta->mac, 6);
    if (sta->auth) memcpy(row->bssid, sta->auth->config.bss_mac, 6);
    row->akm = sta->suites.akm;
    row->pairwise = sta->suites.pairwise;
    memcpy(row->pmkr1name, sta->pmkr1name, 16);
}
