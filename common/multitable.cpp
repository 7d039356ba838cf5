#include "common/multitable.h"

#include <cstddef>
#include <cstdlib>

namespace {

inline multilink *ml_of(hashlink *h)
{
    return container_of(h, &multilink::_hlink);
}

inline multilink *ring_ml(list_link *l)
{
    return container_of(l, &multilink::_ring);
}

inline cmultilink *cml_of(multilink *m)
{
    return reinterpret_cast<cmultilink *>(m);
}

inline void *record_of(const multitable *t, multilink *m)
{
    return reinterpret_cast<uint8_t *>(m) - t->link_offset;
}

// The hashed record of a ring; the record itself when it is in no table.
inline multilink *first_of(multilink *link)
{
    multilink *m = link;
    while (!hashlink_used(&m->_hlink)) {
        m = ring_ml(list_next(&m->_ring));
        if (m == link)
            break;
    }
    return m;
}

void hand_back(multitable *t, multilink *m)
{
    t->count--;
    if (t->clear) {
        void *record = record_of(t, m);
        t->clear(t->extra ? t->extra : record, record);
    }
}

// Run by hashtable_clear for each first record: hands back every record of the key.
void multitable_clear_key(void *context, void *entry)
{
    auto *t = static_cast<multitable *>(context);
    auto *first = static_cast<multilink *>(entry);
    // The rest hang on a head of their own before the callback may free the
    // first record.
    list_link rest;
    list_insert_before(&first->_ring, &rest);
    list_remove(&first->_ring);
    hand_back(t, first);
    for (multilink *m : list_records_safe<&multilink::_ring>(&rest)) {
        list_remove(&m->_ring);
        hashlink_init(&m->_hlink);
        hand_back(t, m);
    }
}

void append_to(multitable *t, multilink *link, multilink *first)
{
    if (first) {
        hashlink_init(&link->_hlink);
        list_insert_before(&first->_ring, &link->_ring);
    } else {
        hashtable_insert(&t->table, &link->_hlink);
    }
    t->count++;
}

} // namespace

multitable *multitable_create(uint32_t key_len, int32_t key_offset, bool key_inline,
                              bool string_key, const hashtable_config *config, int32_t link_offset)
{
    hashtable_config cfg = config ? *config : *hashtable_default_config(string_key);
    size_t scratch = hashtable_scratch_size(key_len, &cfg);
    auto *t = static_cast<multitable *>(malloc(sizeof(multitable) + scratch));
    if (!t)
        return nullptr;
    t->count = 0;
    t->link_offset = link_offset;
    t->extra = cfg.extra;
    t->clear = cfg.clear;
    cfg.extra = t;
    cfg.clear = multitable_clear_key;
    if (__hashtable_init(&t->table, key_len, 0, key_offset, 0, key_inline, string_key, &cfg,
                         scratch ? t + 1 : nullptr) < 0) {
        free(t->table.buckets);
        free(t);
        return nullptr;
    }
    return t;
}

void multitable_clear(multitable *table)
{
    hashtable_clear(&table->table);
    table->count = 0;
}

void multitable_destroy(multitable *table)
{
    if (!table)
        return;
    multitable_clear(table);
    hashtable_free(&table->table);
    free(table);
}

multilink *multitable_insert(multitable *table, multilink *link)
{
    if (cmultitable_clearing(table))
        return nullptr;
    multilink *other = ml_of(hashtable_insert(&table->table, &link->_hlink));
    if (other) {
        UGW_ASSERT(!hashlink_used(&other->_hlink));
        list_insert_before(&other->_ring, &link->_ring);
    }
    table->count++;
    return other;
}

int multitable_append(multitable *table, multilink *link)
{
    if (cmultitable_clearing(table))
        return -1;
    append_to(table, link, multitable_find(table, link));
    return 0;
}

multilink *multitable_find(multitable *table, const multilink *link)
{
    return ml_of(hashtable_lookup(&table->table, hashtable_key(&table->table, &link->_hlink)));
}

int multitable_remove(multitable *table, multilink *link)
{
    bool alone = list_isempty(&link->_ring);
    if (!hashlink_used(&link->_hlink)) {
        if (alone)
            return 0;
    } else if (alone) {
        hashtable_remove(&table->table, &link->_hlink);
    } else {
        hashtable_replace(&table->table, &link->_hlink, &ring_ml(list_next(&link->_ring))->_hlink);
    }
    list_remove(&link->_ring);
    table->count--;
    return 1;
}

multilink *multitable_next(multitable *table, const multilink *link)
{
    multilink *n = ring_ml(list_next(&link->_ring));
    if (!hashlink_used(&n->_hlink))
        return n;
    return ml_of(hashtable_next(&table->table, &n->_hlink));
}

multilink *multitable_next_key(multitable *table, const multilink *link)
{
    multilink *first = first_of(const_cast<multilink *>(link));
    return ml_of(hashtable_next(&table->table, &first->_hlink));
}

multilink *multitable_sort_key(multitable *table, multilink *link, list_compare_fn compare)
{
    multilink *first = first_of(link);
    if (list_isempty(&first->_ring) || cmultitable_clearing(table))
        return first;
    // A temporary head at the ring's end turns the ring into a list to sort.
    list_link head;
    list_insert_before(&first->_ring, &head);
    list_sort(&head, compare,
              -static_cast<std::ptrdiff_t>(offsetof(multilink, _ring)) - table->link_offset);
    multilink *new_first = list_first_record<&multilink::_ring>(&head);
    list_remove(&head);
    if (new_first != first)
        hashtable_replace(&table->table, &first->_hlink, &new_first->_hlink);
    return new_first;
}

uint32_t cmultitable_insert(multitable *table, cmultilink *link)
{
    if (cmultitable_clearing(table))
        return cmultitable_count(cml_of(multitable_find(table, &link->ml)));
    cmultilink *old = cml_of(multitable_insert(table, &link->ml));
    link->_count = old ? old->_count + 1 : 1;
    if (old)
        old->_count = 0;
    return link->_count;
}

uint32_t cmultitable_append(multitable *table, cmultilink *link)
{
    cmultilink *first = cml_of(multitable_find(table, &link->ml));
    if (cmultitable_clearing(table))
        return cmultitable_count(first);
    link->_count = 0;
    append_to(table, &link->ml, first ? &first->ml : nullptr);
    if (!first)
        return link->_count = 1;
    return ++first->_count;
}

uint32_t cmultitable_remove(multitable *table, cmultilink *link)
{
    bool was_first = hashlink_used(&link->ml._hlink);
    uint32_t removed_count = link->_count;
    if (!multitable_remove(table, &link->ml))
        return 0;
    link->_count = 0;
    cmultilink *head = cml_of(multitable_find(table, &link->ml));
    UGW_ASSERT(head || removed_count == 1 || cmultitable_clearing(table));
    if (!head)
        return 0;
    head->_count = (was_first ? removed_count : head->_count) - 1;
    return head->_count;
}

multilink *cmultitable_sort_key(multitable *table, multilink *first, list_compare_fn compare)
{
    if (cml_of(first)->_count < 2)
        return first;
    multilink *new_first = multitable_sort_key(table, first, compare);
    if (new_first != first) {
        cml_of(new_first)->_count = cml_of(first)->_count;
        cml_of(first)->_count = 0;
    }
    return new_first;
}

void cmultitable_sort(multitable *table, list_compare_fn compare)
{
    for (hashlink *h = hashtable_first(&table->table); h;) {
        multilink *first = cmultitable_sort_key(table, ml_of(h), compare);
        h = hashtable_next(&table->table, &first->_hlink);
    }
}
