// The key cache of one service: the PMKSAs and PMK-R0-SAs its stations
// earned, shared by the authenticators of all the service's BSSes, indexed
// by key id, key name, station MAC and EAP identity, and the stations' R0
// key holders (dot11_r0kh.h).
//
// Key ids and names are public (stations send them in the clear): an entry
// found by one serves only the station whose MAC it carries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hashtable.h"
#include "common/mempool.h"
#include "common/multitable.h"
#include "common/timer.h"
#include "dot11/dot11_keygen.h"
#include "dot11/dot11_mib.h"

struct dot11_auth;
struct dot11_cache;
struct dot11_r0kh;
struct dot11_rsna;
struct radius_client; // the NAS through which 802.1X authentications run

// Timer callbacks of the host, user pointer first (same arguments as the
// authenticator's, without it).
struct dot11_cache_ops {
    void (*timer_start)(void *user, timer *t, uint32_t ms, timer_fn expiry);
    void (*timer_stop)(void *user, timer *t);
};

enum : uint8_t {
    DOT11_ENTRY_LIFETIME_SET = 0x40, // Termination-Action, or a configured lifetime
    DOT11_ENTRY_PUSHED = 0x80,       // pushed for an FT transition
    DOT11_ENTRY_NAMED = 0x01,        // a dot11_cache_name precedes the entry
};

enum : uint32_t { DOT11_LIFETIME_UNLIMITED = 0x7fffffff };
enum : size_t { DOT11_IDENTITY_MAX = 1024 };

// One PMKSA or PMK-R0-SA. Allocated with room for an EAP identity under the
// 802.1X AKMs, shrunk to the identity once it is known.
struct dot11_cache_entry {
    // What a lookup by id reads comes first, in one cache line.
    hashlink by_id;
    uint8_t id[DOT11_KEY_NAME_LEN];
    uint8_t mac[6];
    uint16_t refcount;
    uint32_t akm;
    uint32_t cipher;   // 0 = any
    uint32_t lifetime; // s from creation
    uint32_t created;  // clock s
    uint32_t frames_in;
    uint32_t frames_out;
    cmultilink by_mac;
    cmultilink by_user;
    uint8_t key[DOT11_PMK_LEN]; // PMK, or PMK-R0 under the FT AKMs
    uint64_t octets_in;
    uint64_t octets_out;
    // The bytes behind pack the identity tight: 216 bytes in all with 20
    // characters.
    uint8_t flags;    // DOT11_ENTRY_*
    uint8_t room;     // identity room: 1 large, 0 none, 2 shrunk to the identity
    uint8_t linked;   // in the indexes
    char identity[1]; // NUL-terminated; the allocation holds its whole length
};
static_assert(offsetof(dot11_cache_entry, by_mac) == 64);

// The name of an FT entry (PMKR0Name) and its link in the name index, in the
// same allocation just in front of the entry; other entries are named by
// their id and carry none.
struct dot11_cache_name {
    hashlink by_name;
    uint8_t name[DOT11_KEY_NAME_LEN];
};
// The entry's name: its own under the FT AKMs, else its id.
uint8_t *dot11_cache_entry_name(dot11_cache_entry *entry);
const uint8_t *dot11_cache_entry_name(const dot11_cache_entry *entry);

// Null on failure (logged). The configuration is checked as by
// dot11_cache_check_config.
dot11_cache *dot11_cache_create(const dot11_auth_config *config, const dot11_cache_ops *ops,
                                void *user, radius_client *nas, mempool *pool);
// -1 after "IEEE 802.1X authentication requires a RADIUS NAS" when an 802.1X
// AKM is configured and neither the cache nor the caller names a NAS (the
// service checks before it hands its NAS over); otherwise copies the
// configuration and sets the per-key limit.
int dot11_cache_check_config(dot11_cache *cache, const dot11_auth_config *config,
                             const radius_client *nas);
void dot11_cache_delete(dot11_cache *cache);

// Sets the NAS only when none is set.
void dot11_cache_set_nas(dot11_cache *cache, radius_client *nas);
void dot11_cache_clear_nas(dot11_cache *cache);
radius_client *dot11_cache_get_nas(const dot11_cache *cache);
const dot11_auth_config *dot11_cache_config(const dot11_cache *cache);
mempool *dot11_cache_pool(const dot11_cache *cache);
unsigned dot11_cache_key_limit(const dot11_cache *cache);
void dot11_cache_timer_start(dot11_cache *cache, timer *t, uint32_t ms, timer_fn expiry);
void dot11_cache_timer_stop(dot11_cache *cache, timer *t);

void dot11_cache_clear(dot11_cache *cache);
void dot11_cache_clear_pmksas_by_mac(dot11_cache *cache, const uint8_t mac[6]);

// Entries.
dot11_cache_entry *dot11_cache_entry_create(dot11_cache *cache, const uint8_t mac[6], uint32_t akm);
// Copies the identity (cut to its room) and, when the entry is unlinked and
// held once, shrinks it to fit: the entry to use from now on.
dot11_cache_entry *dot11_cache_entry_set_identity(dot11_cache *cache, dot11_cache_entry *entry,
                                                  const char *identity);
// Links the entry into every index (an entry of the same id leaves first).
// -1 when it is already linked.
int dot11_cache_insert(dot11_cache *cache, dot11_cache_entry *entry);
bool dot11_cache_entry_linked(const dot11_cache_entry *entry);
// Unlinks it from every index and drops the index's reference.
void dot11_cache_remove_entry(dot11_cache *cache, dot11_cache_entry *entry);
// Drops one reference; frees and wipes at zero. Null accepted.
void dot11_cache_entry_release(dot11_cache_entry *entry);
// Gives an entry that is in no index and held only by the caller the state
// dot11_cache_entry_create gives a new one (same MAC, AKM and identity room),
// its key material wiped; -1 (nothing changed) for any other entry.
int dot11_cache_entry_renew(dot11_cache_entry *entry);
// Null when the count would overflow.
dot11_cache_entry *dot11_cache_entry_hold(dot11_cache_entry *entry);

// The entry of a station by the name it offers: by id, by name, else by
// recomputing the PMKID of its entries of a matching AKM and cipher with AA =
// bssid. Expiring entries are removed on the way. A reference is taken.
dot11_cache_entry *dot11_cache_lookup(dot11_cache *cache, const uint8_t mac[6],
                                      const uint8_t bssid[6], const uint8_t name[16], uint32_t akm,
                                      uint32_t cipher);
dot11_cache_entry *dot11_cache_lookup_pmksa(dot11_r0kh *r0kh, const uint8_t name[16], uint32_t akm,
                                            uint32_t cipher);
// The entry, or null after removing it when it expires within the margin.
dot11_cache_entry *dot11_cache_expire(dot11_cache *cache, dot11_cache_entry *entry);
// Seconds an entry must still have to be used.
uint32_t dot11_cache_margin(const dot11_cache *cache);
// One step of background expiry, round-robin over the entries; then the
// station's R0KH, unless its machine runs.
void dot11_cache_poll(dot11_cache *cache, dot11_rsna *sta);
// Evicts the oldest entries of the MAC, then of the identity, over the limit.
void dot11_cache_evict(dot11_cache *cache, const uint8_t mac[6], const char *identity);
int dot11_cache_add_counters(dot11_cache *cache, const uint8_t id[16], uint64_t octets_in,
                             uint64_t octets_out, uint32_t frames_in, uint32_t frames_out);

// Walks.
unsigned dot11_cache_count_pmks(const dot11_cache *cache);
dot11_cache_entry *dot11_cache_first_pmk(dot11_cache *cache);
dot11_cache_entry *dot11_cache_next_pmk(dot11_cache *cache, dot11_cache_entry *entry);
unsigned dot11_cache_count_pmks_by_mac(dot11_cache *cache, const uint8_t mac[6]);
dot11_cache_entry *dot11_cache_first_pmk_by_mac(dot11_cache *cache, const uint8_t mac[6]);
dot11_cache_entry *dot11_cache_next_pmk_by_mac(dot11_cache *cache, const uint8_t mac[6],
                                               dot11_cache_entry *entry);
unsigned dot11_cache_count_pmks_by_user(dot11_cache *cache, const char *identity);
dot11_cache_entry *dot11_cache_find_pmk(dot11_cache *cache, const uint8_t id[16]);
dot11_cache_entry *dot11_cache_find_name(dot11_cache *cache, const uint8_t name[16]);
void dot11_cache_dump_pmk(const dot11_cache_entry *entry, dot11_key_row *row,
                          dot1xAuthSessionStats *detail);

dot11_r0kh *dot11_cache_find_r0kh(dot11_cache *cache, const uint8_t mac[6]);
dot11_r0kh *dot11_cache_first_r0kh(dot11_cache *cache);
dot11_r0kh *dot11_cache_next_r0kh(dot11_cache *cache, dot11_r0kh *r0kh);
unsigned dot11_cache_count_r0khs(const dot11_cache *cache);
// Without pruning.
dot11_r0kh *dot11_cache_lookup_r0kh(dot11_cache *cache, const uint8_t mac[6]);
// For dot11_r0kh only: its index.
int dot11_cache_link_r0kh(dot11_cache *cache, dot11_r0kh *r0kh);
void dot11_cache_unlink_r0kh(dot11_cache *cache, dot11_r0kh *r0kh);

void dot11_rsna_dump_ftauth(const dot11_rsna *sta, dot11_ft_auth_row *row);

// Log texts of the key kinds.
const char *dot11_cache_kind(uint32_t akm);
bool dot11_akm_is_8021x(uint32_t akm);
