#include "common/hashtable.h"

#include "common/system.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint32_t GOLDEN = 0x9E3779B9u;

inline uint32_t be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline uint32_t be16(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

inline uint32_t rotl(uint32_t x, int r)
{
    return x << r | x >> (32 - r);
}

// One golden step. The running sum enters the product, so the seed shapes
// every word's contribution and key differences cannot be lined up to cancel
// without knowing it (a seed merely added to the sum would move all keys alike).
inline uint32_t golden(uint32_t h, uint32_t value)
{
    uint64_t p = static_cast<uint64_t>(value ^ h) * GOLDEN;
    return h + static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
}

inline const uint8_t *bytes(const void *key)
{
    return static_cast<const uint8_t *>(key);
}

// The fixed-length golden hashes, inlined into the table's own paths.
template <size_t N> inline uint32_t golden_fixed(const uint8_t *k, uint32_t h)
{
    static_assert(N % 2 == 0 && N <= 16);
#pragma GCC unroll 4
    for (size_t i = 0; i + 4 <= N; i += 4)
        h = golden(h, be32(k + i));
    if constexpr (N % 4 != 0)
        h = golden(h, be16(k + N - 2));
    return h;
}


constexpr uint8_t MAX_LOG2 = 29;

const hashtable_config binary_config = {6, 32, 0, 0, 0, nullptr, nullptr, memcmp, nullptr, nullptr};
const hashtable_config string_config = {6, 32, -1, 0, 0, nullptr, nullptr, hashtable_strcmp,
                                        nullptr, nullptr};

struct hashfun_row {
    uint32_t min_len, max_len;
    bool (*usable)();  // processor-dependent variant predicate; none so far
    hashtable_hash_fn fn;
};

constexpr hashfun_row hashfun_table[] = {
    {2, 2, nullptr, hash_golden_2},    {4, 4, nullptr, hash_golden_4},
    {6, 6, nullptr, hash_golden_6},    {8, 8, nullptr, hash_golden_8},
    {10, 10, nullptr, hash_golden_10}, {12, 12, nullptr, hash_golden_12},
    {16, 16, nullptr, hash_golden_16}, {0, 31, nullptr, hash_golden_var},
    {32, 63, nullptr, hash_xxh32},     {64, UINT32_MAX, nullptr, hash_xxh32},
};

hashtable_hash_fn hashfun_for(uint32_t key_len)
{
    for (const auto &row : hashfun_table)
        if (key_len >= row.min_len && key_len <= row.max_len && (!row.usable || row.usable()))
            return row.fn;
    return nullptr;
}

inline uint8_t *entry_of(const hashtable *t, const hashlink *link)
{
    return reinterpret_cast<uint8_t *>(const_cast<hashlink *>(link)) - t->link_offset;
}

// The key of an entry; `slot` picks the scratch half used by extraction.
const void *key_of(const hashtable *t, const hashlink *link, int slot)
{
    const uint8_t *pos = reinterpret_cast<const uint8_t *>(link) + t->key_offset;
    uint32_t index = 0;
    if (t->stride) {
        index = static_cast<uint32_t>(link->_pos - t->link_offset) / sizeof(hashlink);
        pos += static_cast<std::ptrdiff_t>(index) *
               (static_cast<std::ptrdiff_t>(t->stride) - static_cast<std::ptrdiff_t>(sizeof(hashlink)));
    }
    if (t->extract)
        return t->extract(pos, static_cast<uint8_t *>(t->scratch) + slot * t->key_len, t->key_len,
                          index);
    if (t->key_by_pointer) {
        const void *p;
        memcpy(&p, pos, sizeof(p));
        return p;
    }
    return pos;
}

inline size_t key_length(const hashtable *t, const void *key)
{
    return t->key_len ? t->key_len : strlen(static_cast<const char *>(key));
}

inline bool migrating(const hashtable *t)
{
    return t->cursor < t->size / 2;
}

inline bool moves_frozen(const hashtable *t)
{
    return t->locked || t->clearing;
}

// Where an entry of this hash lives: the old array until its old bucket has
// migrated, then the full-size array. Each entry has exactly one place.
inline hashlink **head_of(const hashtable *t, uint32_t hash)
{
    if (migrating(t)) {
        uint32_t o = hash & (t->size / 2 - 1);
        if (o >= t->cursor)
            return &t->old_buckets[o];
    }
    return &t->buckets[hash & (t->size - 1)];
}

// Bucket p in iteration order, or null when p holds nothing yet.
inline hashlink **position(const hashtable *t, uint32_t p)
{
    if (migrating(t)) {
        uint32_t half = t->size / 2;
        if ((p & (half - 1)) >= t->cursor)
            return p < half ? &t->old_buckets[p] : nullptr;
    }
    return &t->buckets[p];
}

// The iteration position of a linked entry.
inline uint32_t position_of(const hashtable *t, uint32_t hash)
{
    if (migrating(t) && (hash & (t->size / 2 - 1)) >= t->cursor)
        return hash & (t->size / 2 - 1);
    return hash & (t->size - 1);
}

// Tables of plain inline keys of the common lengths, hashed by their golden
// function and compared by memcmp, take a path with the hash and the compare
// inlined: the key length it returns, or 0 for the general path.
inline uint32_t fixed_kind(const hashtable *t)
{
    if (t->compare != memcmp || t->stride || t->extract || t->key_by_pointer)
        return 0;
    switch (t->key_len) {
    case 4:
        return t->hashfun == hash_golden_4 ? 4 : 0;
    case 6:
        return t->hashfun == hash_golden_6 ? 6 : 0;
    case 8:
        return t->hashfun == hash_golden_8 ? 8 : 0;
    case 12:
        return t->hashfun == hash_golden_12 ? 12 : 0;
    case 16:
        return t->hashfun == hash_golden_16 ? 16 : 0;
    }
    return 0;
}

// The slot pointing at a matching entry, or null.
template <size_t N> hashlink **find_slot_fixed(const hashtable *t, uint32_t hash, const void *key)
{
    for (hashlink **slot = head_of(t, hash); *slot; slot = &(*slot)->next)
        if ((*slot)->hash == hash &&
            memcmp(reinterpret_cast<const uint8_t *>(*slot) + t->key_offset, key, N) == 0)
            return slot;
    return nullptr;
}

hashlink **find_slot(const hashtable *t, uint32_t hash, const void *key, size_t len)
{
    for (hashlink **slot = head_of(t, hash); *slot; slot = &(*slot)->next)
        if ((*slot)->hash == hash && t->compare(key_of(t, *slot, 1), key, len) == 0)
            return slot;
    return nullptr;
}

// Only for a table that is not migrating: every entry is in the full-size array.
template <size_t N> inline hashlink *lookup_settled(const hashtable *t, const void *key)
{
    uint32_t hash = golden_fixed<N>(bytes(key), t->seed);
    for (hashlink *l = t->buckets[hash & (t->size - 1)]; l; l = l->next)
        if (l->hash == hash && memcmp(reinterpret_cast<const uint8_t *>(l) + t->key_offset, key, N) == 0)
            return l;
    return nullptr;
}

// The hash of key and the slot of its entry, or null.
template <size_t N> inline hashlink **find_fixed(const hashtable *t, const void *key, uint32_t *hash)
{
    *hash = golden_fixed<N>(bytes(key), t->seed);
    return find_slot_fixed<N>(t, *hash, key);
}

hashlink **find(const hashtable *t, const void *key, uint32_t *hash)
{
    switch (t->fixed_len) {
    case 4:
        return find_fixed<4>(t, key, hash);
    case 6:
        return find_fixed<6>(t, key, hash);
    case 8:
        return find_fixed<8>(t, key, hash);
    case 12:
        return find_fixed<12>(t, key, hash);
    case 16:
        return find_fixed<16>(t, key, hash);
    }
    size_t len = key_length(t, key);
    *hash = t->hashfun(key, len, t->seed);
    return find_slot(t, *hash, key, len);
}

// The slot pointing at a link that is in this table, or null.
hashlink **slot_of(const hashtable *t, const hashlink *link)
{
    if (!hashlink_used(link))
        return nullptr;
    for (hashlink **slot = head_of(t, link->hash); *slot; slot = &(*slot)->next)
        if (*slot == link)
            return slot;
    return nullptr;
}

// Moves one old bucket. The full-size array is left unwritten at growth and
// its two buckets fed by this old one are set up here, so growing costs no
// more than any other step.
void migrate_step(hashtable *t)
{
    uint32_t half = t->size / 2, b = t->cursor++;
    // The links live in their entries, cold in a large table: each bucket's
    // head is fetched some steps ahead, and its second link, read from the
    // head by then, half as many. A chain of three is rare below 3/4 load.
    if (b + 16 < half) __builtin_prefetch(t->old_buckets[b + 16], 1);
    if (b + 8 < half)
        if (hashlink *head = t->old_buckets[b + 8]) __builtin_prefetch(head->next, 1);
    t->buckets[b] = t->buckets[b + half] = nullptr;
    hashlink *chain = t->old_buckets[b];
    while (chain) {
        hashlink *l = chain;
        chain = l->next;
        hashlink **head = &t->buckets[l->hash & (t->size - 1)];
        l->next = *head;
        *head = l;
    }
    if (t->cursor == half) {
        free(t->old_buckets);
        t->old_buckets = nullptr;
    }
}

// A bucket array of a huge page or more is aligned to one and advised so:
// filling it then takes one fault per huge page instead of one per page.
hashlink **alloc_buckets(size_t bytes)
{
    static const size_t huge = [] {
        ssize_t n = system_hugepage_size();
        return n > 0 ? static_cast<size_t>(n) : size_t{2} << 20;
    }();
    if (bytes < huge || bytes % huge != 0) return static_cast<hashlink **>(malloc(bytes));
    void *p = aligned_alloc(huge, bytes);
    if (p) madvise(p, bytes, MADV_HUGEPAGE);
    return static_cast<hashlink **>(p);
}

void grow(hashtable *t)
{
    size_t bytes;
    if (__builtin_mul_overflow(static_cast<size_t>(t->size) * 2, sizeof(hashlink *), &bytes))
        return;
    hashlink **nb = alloc_buckets(bytes);
    if (!nb)
        return;
    t->old_buckets = t->buckets;
    t->buckets = nb;
    t->size *= 2;
    t->threshold = t->size * 3 / 4;
    t->cursor = 0;
}

// After an insert or remove: one migration step, or start a migration.
void rebalance(hashtable *t, bool after_insert)
{
    if (!migrating(t) && after_insert && t->curfill > t->threshold && t->size < t->max_size)
        grow(t);
    if (migrating(t) && !moves_frozen(t))
        migrate_step(t);
}

// Ends a migration at once, for a table that has just been emptied.
void settle(hashtable *t)
{
    if (!migrating(t))
        return;
    uint32_t half = t->size / 2;
    for (uint32_t b = t->cursor; b < half; b++)
        t->buckets[b] = t->buckets[b + half] = nullptr;
    free(t->old_buckets);
    t->old_buckets = nullptr;
    t->cursor = half;
}

} // namespace

int hashtable_strcmp(const void *entry_key, const void *key, size_t)
{
    return strcmp(static_cast<const char *>(entry_key), static_cast<const char *>(key));
}

const hashtable_config *hashtable_default_config(bool string_key)
{
    return string_key ? &string_config : &binary_config;
}

size_t hashtable_scratch_size(uint32_t key_len, const hashtable_config *config)
{
    if (!config || !config->extract || config->key_len < 0)
        return 0;
    uint32_t len = config->key_len ? static_cast<uint32_t>(config->key_len) : key_len;
    return 2 * static_cast<size_t>(len);
}

int __hashtable_init(hashtable *table, uint32_t key_len, uint32_t stride, int32_t key_offset,
                     int32_t link_offset, bool key_inline, bool string_key,
                     const hashtable_config *config, void *scratch)
{
    *table = hashtable{};
    if (!config)
        config = hashtable_default_config(string_key);
    uint8_t min_log2 = config->min_log2 > MAX_LOG2 ? MAX_LOG2 : config->min_log2;
    uint8_t max_log2 = config->max_log2 > MAX_LOG2 ? MAX_LOG2 : config->max_log2;
    if (min_log2 > max_log2 || !config->compare) {
        errno = EINVAL;
        return -1;
    }
    if (config->key_len < 0) {
        table->key_len = 0;
        if (!key_inline)
            table->key_by_pointer = 1;
    } else {
        table->key_len = config->key_len ? static_cast<uint32_t>(config->key_len) : key_len;
    }
    table->stride = stride ? (config->stride ? config->stride : stride) : 0;
    table->key_offset = key_offset;
    table->link_offset = link_offset;
    table->size = 1u << min_log2;
    table->max_size = 1u << max_log2;
    table->threshold = table->size * 3 / 4;
    table->cursor = table->size / 2;
    table->seed = config->seed;
    if (!table->seed && system_random(&table->seed, sizeof(table->seed)) < 0)
        return -1;
    table->extra = config->extra;
    table->scratch = scratch;
    table->compare = config->compare;
    table->extract = config->extract;
    table->clear = config->clear;
    table->hashfun = config->hashfun ? config->hashfun : hashfun_for(table->key_len);
    UGW_ASSERT(table->hashfun);
    table->fixed_len = static_cast<uint8_t>(fixed_kind(table));
    if (table->extract && !table->scratch) {
        errno = EINVAL;
        return -1;
    }
    table->buckets = static_cast<hashlink **>(calloc(table->size, sizeof(hashlink *)));
    return table->buckets ? 0 : -1;
}

hashtable *hashtable_create(uint32_t key_len, uint32_t stride, int32_t key_offset,
                            int32_t link_offset, bool key_inline, bool string_key,
                            const hashtable_config *config)
{
    size_t scratch = hashtable_scratch_size(key_len, config);
    auto *table = static_cast<hashtable *>(malloc(sizeof(hashtable) + scratch));
    if (!table)
        return nullptr;
    if (__hashtable_init(table, key_len, stride, key_offset, link_offset, key_inline, string_key,
                         config, scratch ? table + 1 : nullptr) < 0) {
        free(table->buckets);
        free(table);
        return nullptr;
    }
    return table;
}

const void *hashtable_key(const hashtable *table, const hashlink *link)
{
    return key_of(table, link, 0);
}

hashlink *hashtable_insert(hashtable *t, hashlink *link)
{
    if (hashtable_clearing(t))
        return nullptr;
    uint32_t hash;
    hashlink *replaced = nullptr;
    if (hashlink **slot = find(t, key_of(t, link, 0), &hash)) {
        replaced = *slot;
        *slot = replaced->next;
        hashlink_init(replaced);
    } else {
        t->curfill++;
    }
    hashlink **head = head_of(t, hash);
    link->hash = hash;
    link->next = *head;
    *head = link;
    rebalance(t, true);
    return replaced;
}

namespace {

// Lookups also drive a migration, so a table that is mostly read does not
// stay half-migrated with its old chains near twice the target length.
[[gnu::noinline]] hashlink *lookup_general(hashtable *t, const void *key)
{
    if (migrating(t) && !moves_frozen(t))
        migrate_step(t);
    uint32_t hash;
    hashlink **slot = find(t, key, &hash);
    return slot ? *slot : nullptr;
}

} // namespace

void hashtable_prefetch(const hashtable *t, const void *key, bool chain)
{
    uint32_t hash;
    switch (t->fixed_len) {
    case 4: hash = golden_fixed<4>(bytes(key), t->seed); break;
    case 6: hash = golden_fixed<6>(bytes(key), t->seed); break;
    case 8: hash = golden_fixed<8>(bytes(key), t->seed); break;
    case 12: hash = golden_fixed<12>(bytes(key), t->seed); break;
    case 16: hash = golden_fixed<16>(bytes(key), t->seed); break;
    default: hash = t->hashfun(key, key_length(t, key), t->seed); break;
    }
    hashlink **head = head_of(t, hash);
    if (!chain)
        __builtin_prefetch(head, 1);
    else if (*head)
        __builtin_prefetch(*head);
}

hashlink *hashtable_lookup(hashtable *t, const void *key)
{
    // A settled table of a common key length takes the short path: the hash,
    // one bucket and its chain, with no frame and nothing else read.
    if (!migrating(t)) {
        if (t->fixed_len == 6)
            return lookup_settled<6>(t, key);
        if (t->fixed_len == 12)
            return lookup_settled<12>(t, key);
        if (t->fixed_len == 16)
            return lookup_settled<16>(t, key);
        if (t->fixed_len == 4)
            return lookup_settled<4>(t, key);
        if (t->fixed_len == 8)
            return lookup_settled<8>(t, key);
    }
    return lookup_general(t, key);
}

int hashtable_remove(hashtable *t, hashlink *link)
{
    hashlink **slot = slot_of(t, link);
    if (!slot)
        return 0;
    *slot = link->next;
    hashlink_init(link);
    t->curfill--;
    rebalance(t, false);
    return 1;
}

void hashtable_replace(hashtable *t, hashlink *old_link, hashlink *new_link)
{
    hashlink **slot = slot_of(t, old_link);
    UGW_ASSERT(slot);
    new_link->hash = old_link->hash;
    new_link->next = old_link->next;
    *slot = new_link;
    hashlink_init(old_link);
}

namespace {

hashlink *first_from(const hashtable *t, uint32_t p)
{
    for (; p < t->size; p++)
        if (hashlink **head = position(t, p); head && *head)
            return *head;
    return nullptr;
}

} // namespace

hashlink *hashtable_first(const hashtable *t)
{
    return t->curfill ? first_from(t, 0) : nullptr;
}

hashlink *hashtable_next(const hashtable *t, const hashlink *link)
{
    if (link->next)
        return link->next;
    return first_from(t, position_of(t, link->hash) + 1);
}

hashlink *hashtable_peek(const hashtable *t, const hashlink *link, uint32_t ahead)
{
    uint32_t p = position_of(t, link->hash) + ahead;
    if (p >= t->size)
        return nullptr;
    hashlink **head = position(t, p);
    return head ? *head : nullptr;
}

hashlink *hashtable_at(const hashtable *t, uint32_t p)
{
    if (p >= t->size) return nullptr;
    hashlink **head = position(t, p);
    return head ? *head : nullptr;
}

void hashtable_clear(hashtable *table)
{
    table->clearing = 1;
    for (uint32_t p = 0; p < table->size && table->curfill; p++) {
        hashlink **head = position(table, p);
        while (head && *head) {
            hashlink *l = *head;
            *head = l->next;
            hashlink_init(l);
            table->curfill--;
            if (table->clear)
                table->clear(table->extra ? table->extra : entry_of(table, l), entry_of(table, l));
            if (!table->curfill)
                break;
        }
    }
    UGW_ASSERT(table->curfill == 0);
    settle(table);
    table->clearing = 0;
}

void hashtable_free(hashtable *table)
{
    hashtable_clear(table);
    free(table->buckets);
    table->buckets = nullptr;
}

void hashtable_destroy(hashtable *table)
{
    if (!table)
        return;
    hashtable_free(table);
    free(table);
}


uint32_t hash_golden_2(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<2>(bytes(key), seed);
}

uint32_t hash_golden_4(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<4>(bytes(key), seed);
}

uint32_t hash_golden_6(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<6>(bytes(key), seed);
}

uint32_t hash_golden_8(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<8>(bytes(key), seed);
}

uint32_t hash_golden_10(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<10>(bytes(key), seed);
}

uint32_t hash_golden_12(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<12>(bytes(key), seed);
}

uint32_t hash_golden_16(const void *key, size_t, uint32_t seed)
{
    return golden_fixed<16>(bytes(key), seed);
}

uint32_t hash_golden_var(const void *key, size_t length, uint32_t seed)
{
    const uint8_t *k = bytes(key);
    uint32_t h = seed;
    for (; length >= 4; k += 4, length -= 4)
        h = golden(h, be32(k));
    if (length) {
        uint32_t v = 0;
        for (size_t i = 0; i < length; i++)
            v = v << 8 | k[i];
        h = golden(h, v);
    }
    return h;
}

uint32_t hash_xxh32(const void *key, size_t length, uint32_t seed)
{
    constexpr uint32_t P1 = 2654435761u, P2 = 2246822519u, P3 = 3266489917u, P4 = 668265263u,
                       P5 = 374761393u;
    const uint8_t *p = bytes(key), *end = p + length;
    auto round = [](uint32_t acc, uint32_t in) { return rotl(acc + in * P2, 13) * P1; };
    uint32_t h;
    if (length >= 16) {
        uint32_t v1 = seed + P1 + P2, v2 = seed + P2, v3 = seed, v4 = seed - P1;
        for (; end - p >= 16; p += 16) {
            v1 = round(v1, be32(p));
            v2 = round(v2, be32(p + 4));
            v3 = round(v3, be32(p + 8));
            v4 = round(v4, be32(p + 12));
        }
        h = rotl(v1, 1) + rotl(v2, 7) + rotl(v3, 12) + rotl(v4, 18);
    } else {
        h = seed + P5;
    }
    h += static_cast<uint32_t>(length);
    for (; end - p >= 4; p += 4)
        h = rotl(h + be32(p) * P3, 17) * P4;
    for (; p < end; p++)
        h = rotl(h + *p * P5, 11) * P1;
    h ^= h >> 15;
    h *= P2;
    h ^= h >> 13;
    h *= P3;
    h ^= h >> 16;
    return h;
}

uint32_t hash_murmur3(const void *key, size_t length, uint32_t seed)
{
    constexpr uint32_t C1 = 0xcc9e2d51u, C2 = 0x1b873593u;
    const uint8_t *p = bytes(key);
    size_t blocks = length / 4;
    uint32_t h = seed;
    for (size_t i = 0; i < blocks; i++, p += 4) {
        uint32_t k = be32(p) * C1;
        k = rotl(k, 15) * C2;
        h ^= k;
        h = rotl(h, 13) * 5 + 0xe6546b64u;
    }
    uint32_t k = 0;
    switch (length & 3) {
    case 3:
        k ^= static_cast<uint32_t>(p[2]) << 16;
        [[fallthrough]];
    case 2:
        k ^= static_cast<uint32_t>(p[1]) << 8;
        [[fallthrough]];
    case 1:
        k ^= p[0];
        k *= C1;
        k = rotl(k, 15) * C2;
        h ^= k;
    }
    h ^= static_cast<uint32_t>(length);
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

uint32_t hash_fnv1a(const void *key, size_t length, uint32_t seed)
{
    const uint8_t *p = bytes(key);
    uint32_t h = 0x811C9DC5u ^ seed;
    for (size_t i = 0; i < length; i++) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}
