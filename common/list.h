// Intrusive circular doubly linked list. A head points to itself when empty;
// a link never put on a list holds null pointers.
#pragma once

#include <cstddef>

#include "common/fatal.h"

struct list_link {
    list_link *_next;
    list_link *_prev;
};

// Offset of a member inside its record, for reaching the record from an embedded link.
template <class T, class M> inline std::ptrdiff_t member_offset(M T::*member)
{
    alignas(T) static unsigned char probe[sizeof(T)];
    return reinterpret_cast<unsigned char *>(&(reinterpret_cast<T *>(probe)->*member)) - probe;
}

template <class T, class M> inline T *container_of(M *ptr, M T::*member)
{
    return ptr ? reinterpret_cast<T *>(reinterpret_cast<unsigned char *>(ptr) -
                                       member_offset(member))
               : nullptr;
}

inline void list_init(list_link *head)
{
    head->_next = head;
    head->_prev = head;
}

inline void list_null(list_link *link)
{
    link->_next = nullptr;
    link->_prev = nullptr;
}

inline bool list_isnull(const list_link *link)
{
    return link->_next == nullptr && link->_prev == nullptr;
}

inline bool list_isempty(const list_link *list)
{
    UGW_ASSERT(!((list->_next == list) ^ (list->_prev == list)));
    return list->_next == list;
}

inline void list_insert_between(list_link *elem, list_link *prev, list_link *next)
{
    elem->_next = next;
    elem->_prev = prev;
    prev->_next = elem;
    next->_prev = elem;
}

inline void list_insert_head(list_link *head, list_link *elem)
{
    list_insert_between(elem, head, head->_next);
}

inline void list_append(list_link *head, list_link *elem)
{
    list_insert_between(elem, head->_prev, head);
}

// Inserts elem in front of pos.
inline void list_insert_before(list_link *pos, list_link *elem)
{
    list_insert_between(elem, pos->_prev, pos);
}

inline void list_remove(list_link *elem)
{
    elem->_prev->_next = elem->_next;
    elem->_next->_prev = elem->_prev;
    list_init(elem);
}

inline list_link *list_first(const list_link *head)
{
    return list_isempty(head) ? nullptr : head->_next;
}

// The neighbours of a link, the head included. For the walks the ranges below
// do not express: rings without a head, whose every member is a record (the
// fragments of a packet, the records of one multitable key), and walks with
// several cursors at once.
inline list_link *list_next(const list_link *link)
{
    return link->_next;
}

inline list_link *list_prev(const list_link *link)
{
    return link->_prev;
}

// Joins two rings without a head: b's members follow a's last one, and a's
// first follows b's last.
inline void list_ring_join(list_link *a, list_link *b)
{
    list_link *a_last = a->_prev, *b_last = b->_prev;
    a_last->_next = b;
    b->_prev = a_last;
    b_last->_next = a;
    a->_prev = b_last;
}

inline list_link *list_pop_head(list_link *list)
{
    if (list_isempty(list))
        return nullptr;
    list_link *elem = list->_next;
    list_remove(elem);
    UGW_ASSERT(list->_next != elem);
    UGW_ASSERT(list->_prev != elem);
    return elem;
}

// Moves every member of src to the tail of dst; src ends empty.
inline void list_splice_tail(list_link *dst, list_link *src)
{
    if (list_isempty(src))
        return;
    list_link *first = src->_next, *last = src->_prev;
    first->_prev = dst->_prev;
    dst->_prev->_next = first;
    last->_next = dst;
    dst->_prev = last;
    list_init(src);
}

// Typed walkers. Callers never follow _next themselves:
//   for (list_link *l : list_for_each(&head))                 the links
//   for (list_link *l : list_for_each_safe(&head))            the body may remove l
//   for (rec *r : list_records<&rec::link>(&head))            the records, by their link
//   for (rec *r : list_records_safe<&rec::link>(&head))       the body may remove or free r
// The safe walkers read the next link before the body runs; removing any other member than
// the current one during a safe walk is not allowed.
template <class> struct list_member_traits;
template <class T> struct list_member_traits<list_link T::*> {
    using record = T;
};

template <bool Safe> class list_link_range
{
  public:
    class iterator
    {
      public:
        iterator(list_link *pos) : pos_(pos), next_(Safe ? pos->_next : nullptr) {}
        list_link *operator*() const { return pos_; }
        iterator &operator++()
        {
            pos_ = Safe ? next_ : pos_->_next;
            if (Safe) next_ = pos_->_next;
            return *this;
        }
        bool operator!=(const iterator &o) const { return pos_ != o.pos_; }

      private:
        list_link *pos_;
        list_link *next_;
    };
    explicit list_link_range(const list_link *head) : head_(const_cast<list_link *>(head)) {}
    iterator begin() const { return iterator(head_->_next); }
    iterator end() const { return iterator(head_); }

  private:
    list_link *head_;
};

template <auto Link, bool Safe> class list_record_range
{
    using T = typename list_member_traits<decltype(Link)>::record;

  public:
    class iterator
    {
      public:
        explicit iterator(typename list_link_range<Safe>::iterator it) : it_(it) {}
        T *operator*() const { return container_of(*it_, Link); }
        iterator &operator++()
        {
            ++it_;
            return *this;
        }
        bool operator!=(const iterator &o) const { return it_ != o.it_; }

      private:
        typename list_link_range<Safe>::iterator it_;
    };
    explicit list_record_range(const list_link *head) : links_(head) {}
    iterator begin() const { return iterator(links_.begin()); }
    iterator end() const { return iterator(links_.end()); }

  private:
    list_link_range<Safe> links_;
};

inline list_link_range<false> list_for_each(const list_link *head)
{
    return list_link_range<false>(head);
}

inline list_link_range<true> list_for_each_safe(const list_link *head)
{
    return list_link_range<true>(head);
}

template <auto Link> list_record_range<Link, false> list_records(const list_link *head)
{
    return list_record_range<Link, false>(head);
}

template <auto Link> list_record_range<Link, true> list_records_safe(const list_link *head)
{
    return list_record_range<Link, true>(head);
}

// The record of a list's first member, or null when the list is empty.
template <auto Link> auto list_first_record(const list_link *head)
{
    return container_of(list_first(head), Link);
}

// Comparator of member addresses (link address plus offset).
using list_compare_fn = int (*)(const void *a, const void *b);

// In-place bottom-up merge sort; not stable.
void list_sort(list_link *head, list_compare_fn compare, std::ptrdiff_t offset);
