// Growable array of fixed-size packed elements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/fatal.h"

struct Ary {
    void *_buffer;      // null until something was allocated
    uint32_t _capacity; // bytes
    uint32_t _count;    // elements in use
    uint32_t _size;     // bytes per element
    bool _dynamic;      // _buffer is ours and may grow
};

// An empty, owned array of elements of the given size.
inline void array_init(Ary *ary, uint32_t size)
{
    *ary = Ary{nullptr, 0, 0, size, true};
}

// An array over the caller's fixed buffer; it never grows.
inline void array_init_fixed(Ary *ary, void *buffer, uint32_t bytes, uint32_t size)
{
    *ary = Ary{buffer, bytes, 0, size, false};
}

// Makes room for at least n elements. 0, or -1 (ENOMEM, or EOVERFLOW when the
// byte size does not fit) with the array unchanged.
int array_grow(Ary *ary, uint32_t n);

// Makes n elements exist, zero-filling the new ones.
inline int array_reserve(Ary *ary, uint32_t n)
{
    if (static_cast<uint64_t>(ary->_capacity) < static_cast<uint64_t>(n) * ary->_size &&
        array_grow(ary, n) < 0)
        return -1;
    UGW_ASSERT(ary->_buffer);
    if (ary->_count < n) {
        memset(static_cast<char *>(ary->_buffer) + static_cast<size_t>(ary->_count) * ary->_size, 0,
               static_cast<size_t>(n - ary->_count) * ary->_size);
        ary->_count = n;
    }
    return 0;
}

inline void array_purge(Ary *ary)
{
    UGW_ASSERT(ary->_dynamic);
    free(ary->_buffer);
    ary->_buffer = nullptr;
    ary->_capacity = 0;
    ary->_count = 0;
}

inline uint32_t array_length(const Ary *ary)
{
    return ary->_count;
}

// Keeps the first n elements (n at most the count); the buffer stays for reuse.
inline void array_truncate(Ary *ary, uint32_t n)
{
    UGW_ASSERT(n <= ary->_count);
    ary->_count = n;
}

// Empties the array for elements of another size, keeping its buffer.
inline void array_reset(Ary *ary, uint32_t size)
{
    ary->_count = 0;
    ary->_size = size;
}

// The elements, packed from index 0; null while nothing was allocated.
template <class T = void> inline T *array_data(const Ary *ary)
{
    return static_cast<T *>(ary->_buffer);
}

template <class T> inline T *array_at(const Ary *ary, uint32_t index)
{
    return reinterpret_cast<T *>(static_cast<char *>(ary->_buffer) +
                                 static_cast<size_t>(index) * ary->_size);
}

// Appends one zeroed element and returns it, or null when the array cannot grow.
template <class T> inline T *array_push(Ary *ary)
{
    if (ary->_count == UINT32_MAX || array_reserve(ary, ary->_count + 1) < 0)
        return nullptr;
    return array_at<T>(ary, ary->_count - 1);
}

// Moves the elements from index `from` on so that they start at `to`; the
// slots left behind are zeroed. The count is the caller's to adjust.
void array_shift(Ary *ary, uint32_t from, uint32_t to);
