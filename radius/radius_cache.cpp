// The authorization cache. Each entry is one allocation holding its key, a
// copy of the record and of every string and rule it points to, so that it
// outlives the session that was granted it.
#include "radius/radius_cache.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "common/log.h"

#define MACFMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define MACARG(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]

namespace {

size_t align8(size_t n)
{
    return (n + 7) & ~size_t{7};
}

radius_cache_entry *of_link(hashlink *l)
{
    return l ? hashtable_entry(l, &radius_cache_entry::link) : nullptr;
}

template <class M> radius_cache_entry *of_ml(multilink *l, M m)
{
    return l ? multitable_entry(l, m) : nullptr;
}

radius_cache_entry *find(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6])
{
    uint8_t key[6 + 256];
    memcpy(key, mac, 6);
    if (cache->realm_len)
        memcpy(key + 6, realm, cache->realm_len);
    return of_link(hashtable_lookup(cache->entries, key));
}

void arm(radius_cache_entry *ce, timer_fn cb);

void timer_cb(timer *t)
{
    auto *lt = container_of(t, &radius_long_timer::t);
    radius_cache_entry *ce = container_of(lt, &radius_cache_entry::lifetime);
    radius_cache *cache = ce->cache;
    uint64_t now = radius_now_ms();
    if (now < lt->due) {
        uint64_t left = lt->due - now;
        cache->ops.schedule(cache->user, t, uint32_t(left < 0x7fffffff ? left : 0x7fffffff), timer_cb);
        return;
    }
    lt->due = 0;
    radius_cache_charge(ce, 0, 0);
    if (ce->exhausted || ce->authz.session_timeout == 0) {
        radius_cache_delete_entry(ce);
        return;
    }
    arm(ce, timer_cb);
}

void arm(radius_cache_entry *ce, timer_fn cb)
{
    radius_cache *cache = ce->cache;
    uint32_t s = ce->authz.session_timeout;
    uint64_t ms = uint64_t(s < RADIUS_MAX_DELAY_SEC ? s : RADIUS_MAX_DELAY_SEC) * 1000;
    ce->lifetime.due = radius_now_ms() + ms;
    cache->ops.schedule(cache->user, &ce->lifetime.t, uint32_t(ms < 0x7fffffff ? ms : 0x7fffffff),
                        cb);
}

char *copy_string(char *&at, const char *s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    memcpy(at, s, n);
    char *out = at;
    at += n;
    return out;
}

} // namespace

radius_cache *radius_cache_create(const radius_cache_ops *ops, void *user, uint32_t realm_len)
{
    if (realm_len > 256) {
        errno = EINVAL;
        return nullptr;
    }
    auto *cache = static_cast<radius_cache *>(calloc(1, sizeof(radius_cache)));
    if (!cache) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    cache->ops = *ops;
    cache->user = user;
    cache->realm_len = realm_len;
    auto off = [](auto a, auto b) { return int32_t(member_offset(a) - member_offset(b)); };
    int32_t key_off = int32_t(offsetof(radius_cache_entry, key));
    cache->entries = hashtable_create(6 + realm_len, 0, key_off - int32_t(offsetof(radius_cache_entry, link)),
                                      int32_t(offsetof(radius_cache_entry, link)), true, false, nullptr);
    if (realm_len)
        cache->by_realm = multitable_create(realm_len,
                                            key_off + 6 - int32_t(offsetof(radius_cache_entry, by_realm)),
                                            true, false, nullptr,
                                            int32_t(offsetof(radius_cache_entry, by_realm)));
    cache->by_mac = multitable_create(6, key_off - int32_t(offsetof(radius_cache_entry, by_mac)), true,
                                      false, nullptr, int32_t(offsetof(radius_cache_entry, by_mac)));
    cache->by_name = multitable_create(0, off(&radius_cache_entry::name_key, &radius_cache_entry::by_name),
                                       false, true, nullptr,
                                       int32_t(offsetof(radius_cache_entry, by_name)));
    cache->by_cui = multitable_create(0, off(&radius_cache_entry::cui_key, &radius_cache_entry::by_cui),
                                      false, true, nullptr, int32_t(offsetof(radius_cache_entry, by_cui)));
    if (!cache->entries || (realm_len && !cache->by_realm) || !cache->by_mac || !cache->by_name ||
        !cache->by_cui) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Failed to create RADIUS cache tables");
        radius_cache_destroy(cache);
        return nullptr;
    }
    return cache;
}

void radius_cache_destroy(radius_cache *cache)
{
    if (!cache)
        return;
    if (cache->entries) {
        while (hashlink *l = hashtable_first(cache->entries)) {
            radius_cache_entry *ce = of_link(l);
            hashtable_remove(cache->entries, l);
            if (cache->by_realm)
                multitable_remove(cache->by_realm, &ce->by_realm);
            if (cache->by_mac)
                multitable_remove(cache->by_mac, &ce->by_mac);
            if (cache->by_name)
                multitable_remove(cache->by_name, &ce->by_name);
            if (cache->by_cui)
                multitable_remove(cache->by_cui, &ce->by_cui);
            cache->ops.cancel(cache->user, &ce->lifetime.t);
            free(ce);
        }
    }
    hashtable_destroy(cache->entries);
    multitable_destroy(cache->by_realm);
    multitable_destroy(cache->by_mac);
    multitable_destroy(cache->by_name);
    multitable_destroy(cache->by_cui);
    free(cache);
}

void radius_cache_charge(radius_cache_entry *ce, uint32_t used_up, uint32_t used_down)
{
    uint32_t now = clock_sec();
    uint32_t elapsed = now - ce->last_charge;
    auto charge = [&](uint32_t &limit, uint32_t used) {
        if (!limit)
            return;
        if (used >= limit) {
            limit = 0;
            ce->exhausted = 1;
        } else {
            limit -= used;
        }
    };
    charge(ce->authz.volume_up, used_up);
    charge(ce->authz.volume_down, used_down);
    charge(ce->authz.session_timeout, elapsed);
    ce->last_charge = now;
}

void radius_cache_delete_entry(radius_cache_entry *ce)
{
    radius_cache *cache = ce->cache;
    if (cache->by_realm)
        multitable_remove(cache->by_realm, &ce->by_realm);
    multitable_remove(cache->by_mac, &ce->by_mac);
    multitable_remove(cache->by_name, &ce->by_name);
    multitable_remove(cache->by_cui, &ce->by_cui);
    hashtable_remove(cache->entries, &ce->link);
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS authorization for station " MACFMT " revoked",
         MACARG(ce->key));
    cache->ops.cancel(cache->user, &ce->lifetime.t);
    cache->ops.revoked(cache->user, ce->key + 6, ce->key);
    free(ce);
}

int radius_cache_create_entry(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6],
                              const radius_authz *authz)
{
    size_t key = 6 + cache->realm_len;
    size_t rules = size_t(authz->rule_count) * sizeof(filter_rule);
    size_t strings = 0;
    for (const char *s : {authz->redirect_url, authz->captive_portal, authz->user_name, authz->cui})
        if (s)
            strings += strlen(s) + 1;
    size_t rules_at = align8(sizeof(radius_cache_entry) + key);
    auto *ce = static_cast<radius_cache_entry *>(calloc(1, rules_at + rules + strings));
    if (!ce) {
        ulog(LOG_COMP_RADIUS, ULOG_ERROR, "Memory allocation failed");
        return -1;
    }
    ce->cache = cache;
    ce->authz = *authz;
    memcpy(ce->key, mac, 6);
    if (cache->realm_len)
        memcpy(ce->key + 6, realm, cache->realm_len);
    auto *base = reinterpret_cast<uint8_t *>(ce);
    ce->authz.rules = nullptr;
    if (rules) {
        ce->authz.rules = reinterpret_cast<filter_rule *>(base + rules_at);
        memcpy(ce->authz.rules, authz->rules, rules);
    }
    char *at = reinterpret_cast<char *>(base + rules_at + rules);
    ce->authz.redirect_url = copy_string(at, authz->redirect_url);
    ce->authz.captive_portal = copy_string(at, authz->captive_portal);
    ce->authz.user_name = copy_string(at, authz->user_name);
    ce->authz.cui = copy_string(at, authz->cui);
    ce->name_key = ce->authz.user_name;
    ce->cui_key = ce->authz.cui;
    ce->last_charge = clock_sec();
    hashlink_init(&ce->link);
    multilink_init(&ce->by_realm);
    multilink_init(&ce->by_mac);
    multilink_init(&ce->by_name);
    multilink_init(&ce->by_cui);

    radius_cache_entry *old = find(cache, realm, mac);
    if (old)
        radius_cache_delete_entry(old);
    hashtable_insert(cache->entries, &ce->link);
    if (cache->by_realm)
        multitable_insert(cache->by_realm, &ce->by_realm);
    multitable_insert(cache->by_mac, &ce->by_mac);
    if (ce->name_key)
        multitable_insert(cache->by_name, &ce->by_name);
    if (ce->cui_key)
        multitable_insert(cache->by_cui, &ce->by_cui);
    char valid[16];
    if (ce->authz.session_timeout) {
        snprintf(valid, sizeof valid, " %us", ce->authz.session_timeout);
        arm(ce, timer_cb);
    } else {
        snprintf(valid, sizeof valid, "ever");
    }
    ulog(LOG_COMP_RADIUS, ULOG_DEBUG, "RADIUS authorization for station " MACFMT " %s, valid for%s",
         MACARG(mac), old ? "updated" : "granted", valid);
    return 0;
}

const radius_authz *radius_cache_lookup(radius_cache *cache, const uint8_t *realm,
                                        const uint8_t mac[6])
{
    radius_cache_entry *ce = find(cache, realm, mac);
    if (!ce)
        return nullptr;
    radius_cache_charge(ce, 0, 0);
    // A limit charged to 0 would read as unlimited.
    if (ce->exhausted) {
        radius_cache_delete_entry(ce);
        return nullptr;
    }
    return &ce->authz;
}

int radius_cache_account(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6],
                         uint32_t up, uint32_t down)
{
    radius_cache_entry *ce = find(cache, realm, mac);
    if (!ce)
        return -1;
    radius_cache_charge(ce, up, down);
    if (ce->exhausted)
        radius_cache_delete_entry(ce);
    return 0;
}

int radius_cache_revoke(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6])
{
    radius_cache_entry *ce = find(cache, realm, mac);
    if (!ce)
        return -1;
    radius_cache_delete_entry(ce);
    return 0;
}

namespace {

template <class M> int revoke_key(radius_cache *cache, multitable *table, const void *key, M member)
{
    if (!table)
        return -1;
    int n = 0;
    while (radius_cache_entry *ce = of_ml(multitable_lookup(table, key), member)) {
        radius_cache_delete_entry(ce);
        n++;
    }
    (void)cache;
    return n ? 0 : -1;
}

} // namespace

int radius_cache_revoke_by_realm(radius_cache *cache, const uint8_t *realm)
{
    if (!cache->by_realm) {
        if (!hashtable_count(cache->entries))
            return -1;
        radius_cache_flush(cache);
        return 0;
    }
    return revoke_key(cache, cache->by_realm, realm, &radius_cache_entry::by_realm);
}

int radius_cache_revoke_by_mac(radius_cache *cache, const uint8_t mac[6])
{
    return revoke_key(cache, cache->by_mac, mac, &radius_cache_entry::by_mac);
}

int radius_cache_revoke_by_name(radius_cache *cache, const char *name)
{
    return revoke_key(cache, cache->by_name, name, &radius_cache_entry::by_name);
}

int radius_cache_revoke_by_cui(radius_cache *cache, const char *cui)
{
    return revoke_key(cache, cache->by_cui, cui, &radius_cache_entry::by_cui);
}

void radius_cache_flush(radius_cache *cache)
{
    // Collected first: a removal may move entries between buckets, and
    // restarting from the table's start each time would rescan empty ones.
    Ary all;
    array_init(&all, sizeof(radius_cache_entry *));
    for (radius_cache_entry *ce = radius_cache_first(cache); ce; ce = radius_cache_next(cache, ce))
        if (radius_cache_entry **slot = array_push<radius_cache_entry *>(&all))
            *slot = ce;
    for (uint32_t i = 0; i < array_length(&all); i++)
        radius_cache_delete_entry(*array_at<radius_cache_entry *>(&all, i));
    array_purge(&all);
    while (radius_cache_entry *ce = radius_cache_first(cache))
        radius_cache_delete_entry(ce);
}

radius_cache_entry *radius_cache_first(radius_cache *cache)
{
    return of_link(hashtable_first(cache->entries));
}

radius_cache_entry *radius_cache_next(radius_cache *cache, radius_cache_entry *ce)
{
    return of_link(hashtable_next(cache->entries, &ce->link));
}

radius_cache_entry *radius_cache_first_by_realm(radius_cache *cache, const uint8_t *realm)
{
    if (!cache->by_realm)
        return radius_cache_first(cache);
    return of_ml(multitable_lookup(cache->by_realm, realm), &radius_cache_entry::by_realm);
}

radius_cache_entry *radius_cache_next_by_realm(radius_cache *cache, radius_cache_entry *ce)
{
    if (!cache->by_realm)
        return radius_cache_next(cache, ce);
    radius_cache_entry *n =
        of_ml(multitable_next(cache->by_realm, &ce->by_realm), &radius_cache_entry::by_realm);
    if (n && memcmp(n->key + 6, ce->key + 6, cache->realm_len))
        return nullptr;
    return n;
}
