// The authorization cache of a client: what RADIUS granted a station with a
// Session-Timeout, kept per station and realm so that a station that comes
// back is authorized without an Access-Request, with what is left of its time
// and volume. Entries are charged with elapsed time and with the traffic of
// ended sessions, and go when a limit is used up, when a newer grant replaces
// them, or when they are revoked; the revoked callback reports every removal.
//
// Owns no clock: the lifetime timers go through radius_cache_ops.
#pragma once

#include <cstdint>

#include "common/hashtable.h"
#include "common/multitable.h"
#include "radius/radius_authz.h"
#include "radius/radius_db.h"

struct radius_cache_ops {
    void (*revoked)(void *user, const uint8_t *realm, const uint8_t mac[6]);
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
};

struct radius_cache;

struct radius_cache_entry {
    radius_authz authz; // limits are the remaining allowances
    radius_cache *cache;
    hashlink link; // by MAC and realm
    multilink by_realm;
    multilink by_mac;
    multilink by_name;
    multilink by_cui;
    radius_long_timer lifetime;
    uint32_t last_charge; // s, monotonic
    uint8_t exhausted;
    const char *name_key;
    const char *cui_key;
    uint8_t key[]; // MAC, then the realm; the copies of rules and strings follow
};

struct radius_cache {
    radius_cache_ops ops;
    void *user;
    uint32_t realm_len;
    hashtable *entries;
    multitable *by_realm; // null without a realm
    multitable *by_mac;
    multitable *by_name;
    multitable *by_cui;
};

radius_cache *radius_cache_create(const radius_cache_ops *ops, void *user, uint32_t realm_len);
void radius_cache_destroy(radius_cache *cache);
int radius_cache_create_entry(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6],
                              const radius_authz *authz);
const radius_authz *radius_cache_lookup(radius_cache *cache, const uint8_t *realm,
                                        const uint8_t mac[6]);
int radius_cache_account(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6],
                         uint32_t up, uint32_t down);
int radius_cache_revoke(radius_cache *cache, const uint8_t *realm, const uint8_t mac[6]);
int radius_cache_revoke_by_realm(radius_cache *cache, const uint8_t *realm);
int radius_cache_revoke_by_mac(radius_cache *cache, const uint8_t mac[6]);
int radius_cache_revoke_by_name(radius_cache *cache, const char *name);
int radius_cache_revoke_by_cui(radius_cache *cache, const char *cui);
void radius_cache_flush(radius_cache *cache);
void radius_cache_charge(radius_cache_entry *entry, uint32_t used_up, uint32_t used_down);
void radius_cache_delete_entry(radius_cache_entry *entry);

radius_cache_entry *radius_cache_first(radius_cache *cache);
radius_cache_entry *radius_cache_next(radius_cache *cache, radius_cache_entry *entry);
radius_cache_entry *radius_cache_first_by_realm(radius_cache *cache, const uint8_t *realm);
radius_cache_entry *radius_cache_next_by_realm(radius_cache *cache, radius_cache_entry *entry);
inline const uint8_t *radius_cache_entry_mac(const radius_cache_entry *entry)
{
    return entry->key;
}
inline const uint8_t *radius_cache_entry_realm(const radius_cache_entry *entry)
{
    return entry->key + 6;
}
