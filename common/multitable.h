// Hash tables in which many records may share a key. Only the first record of
// a key is hashed; the others hang on a ring behind it. The counted form keeps
// the number of records of a key in its first record.
#pragma once

#include <cstdint>

#include "common/hashtable.h"
#include "common/list.h"

struct multilink {
    hashlink _hlink;  // in use on the first record of a key only
    list_link _ring;  // the records of one key; points to itself when alone
};

struct cmultilink {
    multilink ml;
    uint32_t _count;  // records of the key, on the first record; 0 on the others
};

inline void multilink_init(multilink *link)
{
    hashlink_init(&link->_hlink);
    list_init(&link->_ring);
}

inline void cmultilink_init(cmultilink *link)
{
    multilink_init(&link->ml);
    link->_count = 0;
}

struct multitable {
    hashtable table;      // its entries are the multilinks
    uint32_t count;       // records of all keys
    int32_t link_offset;  // the multilink's position within the record
    void *extra;
    hashtable_clear_fn clear;
};

// key_offset is the key's position relative to the multilink.
multitable *multitable_create(uint32_t key_len, int32_t key_offset, bool key_inline,
                              bool string_key, const hashtable_config *config, int32_t link_offset);
void multitable_destroy(multitable *table);
void multitable_clear(multitable *table);

// Makes the record the first of its key; returns the former first, or null.
// Refused (null) while clearing.
multilink *multitable_insert(multitable *table, multilink *link);
// Puts the record last in its key. 0, or -1 while clearing.
int multitable_append(multitable *table, multilink *link);
multilink *multitable_find(multitable *table, const multilink *link);
int multitable_remove(multitable *table, multilink *link);

inline uint32_t multitable_count(const multitable *table)
{
    return table->count;
}

// The next record of the key, or the first of the next key (null at the end).
multilink *multitable_next(multitable *table, const multilink *link);
multilink *multitable_next_key(multitable *table, const multilink *link);
// Sorts the records of the link's key by compare(record, record); returns the new first.
multilink *multitable_sort_key(multitable *table, multilink *link, list_compare_fn compare);

// First records by key and from the start; they carry the key's ring.
inline multilink *multitable_lookup(multitable *table, const void *key)
{
    return container_of(hashtable_lookup(&table->table, key), &multilink::_hlink);
}

inline multilink *multitable_first(multitable *table)
{
    return container_of(hashtable_first(&table->table), &multilink::_hlink);
}

// The first record of a key some buckets past this first record's, or null:
// what a walk should start loading now.
inline multilink *multitable_peek(multitable *table, const multilink *first, uint32_t ahead)
{
    return container_of(hashtable_peek(&table->table, &first->_hlink, ahead), &multilink::_hlink);
}

// First records by bucket, for a walk that gathers them before it reads the
// records: the bucket count, the first of the bucket at a position, the next
// first record of the same bucket, and the next record of a key's ring (null
// after its last).
inline uint32_t multitable_positions(const multitable *table)
{
    return table->table.size;
}

inline multilink *multitable_at(const multitable *table, uint32_t position)
{
    return container_of(hashtable_at(&table->table, position), &multilink::_hlink);
}

inline multilink *multitable_bucket_next(const multilink *first)
{
    return container_of(first->_hlink.next, &multilink::_hlink);
}

inline multilink *multitable_key_next(const multilink *first, const multilink *link)
{
    multilink *n = container_of(list_next(&link->_ring), &multilink::_ring);
    return n == first ? nullptr : n;
}

inline bool cmultitable_clearing(const multitable *table)
{
    return hashtable_clearing(&table->table);
}

// Counted form: each returns the key's count after the operation.
uint32_t cmultitable_insert(multitable *table, cmultilink *link);
uint32_t cmultitable_append(multitable *table, cmultilink *link);
uint32_t cmultitable_remove(multitable *table, cmultilink *link);
void cmultitable_sort(multitable *table, list_compare_fn compare);
// Sorts one key given its first record (a key of one record costs nothing);
// returns the new first, which carries the count.
multilink *cmultitable_sort_key(multitable *table, multilink *first, list_compare_fn compare);

inline uint32_t cmultitable_count(const cmultilink *first)
{
    return first ? first->_count : 0;
}

// Typed access to records that embed a multilink or cmultilink.
template <class T> inline T *multitable_entry(const multilink *link, multilink T::*member)
{
    return container_of(const_cast<multilink *>(link), member);
}

template <class T> inline T *multitable_entry(const multilink *link, cmultilink T::*member)
{
    return link ? container_of(reinterpret_cast<cmultilink *>(const_cast<multilink *>(link)), member)
                : nullptr;
}

template <class T, class K, class L>
inline multitable *multitable_create(K T::*key, L T::*link, const hashtable_config *config = nullptr)
{
    return multitable_create(sizeof(K), static_cast<int32_t>(member_offset(key) - member_offset(link)),
                             true, false, config, static_cast<int32_t>(member_offset(link)));
}
