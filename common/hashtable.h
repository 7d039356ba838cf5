// Intrusive chained hash table. Entries embed a hashlink; the bucket count is a
// power of two and doubles past three-quarters load, after which the old
// buckets migrate one per insert or remove, so no operation rehashes the
// whole table. Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/list.h"

struct hashlink {
    uint32_t hash;   // the entry's full hash value
    int32_t _pos;    // strided tables only: the link's own position within its entry
    hashlink *next;  // next link of the bucket; the link itself when in no table
};

inline void hashlink_init(hashlink *link)
{
    link->hash = 0;
    link->next = link;
}

inline bool hashlink_used(const hashlink *link)
{
    return link->next != link;
}

using hashtable_hash_fn = uint32_t (*)(const void *key, size_t length, uint32_t seed);
using hashtable_compare_fn = int (*)(const void *entry_key, const void *key, size_t length);
using hashtable_extract_fn = const void *(*)(const void *key_pos, void *scratch, size_t length,
                                             uint32_t index);
using hashtable_clear_fn = void (*)(void *context, void *entry);

struct hashtable_config {
    uint8_t min_log2;   // initial bucket count 2^n
    uint8_t max_log2;   // largest bucket count 2^n
    int32_t key_len;    // -1 string keys, 0 the creation argument, else a fixed length
    uint32_t stride;    // element stride override for strided tables
    uint32_t seed;      // 0: a fresh random seed per table
    void *extra;        // context handed to the clear callback
    hashtable_hash_fn hashfun;  // null: chosen by key length
    hashtable_compare_fn compare;
    hashtable_extract_fn extract;
    hashtable_clear_fn clear;
};

struct hashtable {
    hashlink **buckets;
    hashlink **old_buckets;  // the half-size array while a migration runs, else null
    uint32_t size;        // bucket count, a power of two
    uint32_t curfill;     // entries
    uint32_t max_size;
    uint32_t threshold;   // grow when curfill exceeds it
    uint32_t key_len;     // 0: NUL-terminated string, measured each time
    uint32_t stride;      // 0 for ordinary tables
    int32_t key_offset;   // key position relative to the link
    int32_t link_offset;  // link position within the entry
    uint32_t cursor;      // next old bucket to migrate; size / 2 when none
    uint32_t seed;
    // One flags byte: 0x80 key by pointer, 0x40 clearing, 0x20 locked.
    uint8_t flags_low : 5;
    uint8_t locked : 1;
    uint8_t clearing : 1;
    uint8_t key_by_pointer : 1;
    // Key length of a table that takes the inlined hash and compare (4, 6, 8,
    // 12 or 16), else 0.
    uint8_t fixed_len;
    void *extra;
    void *scratch;        // room for two extracted keys
    hashtable_hash_fn hashfun;
    hashtable_compare_fn compare;
    hashtable_extract_fn extract;
    hashtable_clear_fn clear;
};

// memcmp-shaped string comparison for string-keyed tables.
int hashtable_strcmp(const void *entry_key, const void *key, size_t length);

hashtable *hashtable_create(uint32_t key_len, uint32_t stride, int32_t key_offset,
                            int32_t link_offset, bool key_inline, bool string_key,
                            const hashtable_config *config);
int __hashtable_init(hashtable *table, uint32_t key_len, uint32_t stride, int32_t key_offset,
                     int32_t link_offset, bool key_inline, bool string_key,
                     const hashtable_config *config, void *scratch);
// The built-in configuration for binary or string keys.
const hashtable_config *hashtable_default_config(bool string_key);
// Scratch bytes that hashtable_create puts behind the header for this configuration.
size_t hashtable_scratch_size(uint32_t key_len, const hashtable_config *config);

// Inserts at the head of the entry's bucket; returns the entry of the same key
// that it replaced (now in no table), or null. Refused (null) while clearing.
hashlink *hashtable_insert(hashtable *table, hashlink *link);
hashlink *hashtable_lookup(hashtable *table, const void *key);
// Starts fetching the bucket of a key that is about to be inserted or looked
// up, so that a caller with other work first hides the cache miss of a large
// table behind it. With chain, the bucket is read (fetch it first) and the
// first entry of its chain is fetched instead.
void hashtable_prefetch(const hashtable *table, const void *key, bool chain = false);
int hashtable_remove(hashtable *table, hashlink *link);
// The new link takes the old one's place and hash; the old one ends in no table.
void hashtable_replace(hashtable *table, hashlink *old_link, hashlink *new_link);
hashlink *hashtable_first(const hashtable *table);
hashlink *hashtable_next(const hashtable *table, const hashlink *link);
// The first entry of the bucket `ahead` places past the linked entry's in walk
// order, or null; reads only the bucket array. For a walk that prefetches.
hashlink *hashtable_peek(const hashtable *table, const hashlink *link, uint32_t ahead);
// The first entry of the bucket at a position in walk order (0 up to the
// bucket count), or null; reads only the bucket array. The rest of the
// bucket follows through `next`. For a walk that gathers before it reads.
hashlink *hashtable_at(const hashtable *table, uint32_t position);
// The key an entry carries (extracted into scratch when the table extracts keys).
const void *hashtable_key(const hashtable *table, const hashlink *link);

inline uint32_t hashtable_count(const hashtable *table)
{
    return table->curfill;
}

// Keeps the bucket layout still while the owner iterates: lookups move nothing
// and no migration step runs. Not a mutex.
inline void __hashtable_lock(hashtable *table)
{
    UGW_ASSERT(!table->locked);
    table->locked = 1;
}

// Takes the caller's table variable so it can serve as a scope-exit clean-up.
inline void __hashtable_unlock(hashtable **tablep)
{
    UGW_ASSERT((*tablep)->locked);
    (*tablep)->locked = 0;
}

inline bool hashtable_islocked(const hashtable *table)
{
    return table->locked;
}

inline bool hashtable_clearing(const hashtable *table)
{
    return table->clearing;
}

void hashtable_clear(hashtable *table);
// For a table embedded in another object: clear and free the buckets.
void hashtable_free(hashtable *table);
void hashtable_destroy(hashtable *table);

// Hash functions; multi-byte words are read big-endian.
uint32_t hash_golden_2(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_4(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_6(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_8(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_10(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_12(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_16(const void *key, size_t length, uint32_t seed);
uint32_t hash_golden_var(const void *key, size_t length, uint32_t seed);
uint32_t hash_xxh32(const void *key, size_t length, uint32_t seed);
uint32_t hash_murmur3(const void *key, size_t length, uint32_t seed);
uint32_t hash_fnv1a(const void *key, size_t length, uint32_t seed);

// Typed access to records that embed a hashlink.
template <class T> inline T *hashtable_entry(const hashlink *link, hashlink T::*member)
{
    return container_of(const_cast<hashlink *>(link), member);
}

template <class T> inline T *hashtable_lookup(hashtable *table, const void *key, hashlink T::*member)
{
    return hashtable_entry(hashtable_lookup(table, key), member);
}

// A table keyed by a fixed-size member of T, e.g. uint8_t mac[6].
template <class T, class K>
inline hashtable *hashtable_create(K T::*key, hashlink T::*link, const hashtable_config *config = nullptr)
{
    return hashtable_create(sizeof(K), 0,
                            static_cast<int32_t>(member_offset(key) - member_offset(link)),
                            static_cast<int32_t>(member_offset(link)), true, false, config);
}
