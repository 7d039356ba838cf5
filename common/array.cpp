#include "common/array.h"

#include <cerrno>
#include <cstdlib>

#include "common/log.h"

int array_grow(Ary *ary, uint32_t n)
{
    if (!ary->_dynamic)
        return -1;
    uint64_t grown = (static_cast<uint64_t>(ary->_count) * 384 + 128) / 256;
    uint64_t elems = n > grown ? n : grown;
    uint64_t bytes = elems * ary->_size;
    if (bytes > UINT32_MAX) {
        // A 1.5x step past the limit may still leave room for what was asked.
        elems = n;
        bytes = elems * ary->_size;
        if (bytes > UINT32_MAX) {
            errno = EOVERFLOW;
            return -1;
        }
    }
    void *buffer = realloc(ary->_buffer, bytes ? bytes : 1);
    if (!buffer) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return -1;
    }
    ary->_buffer = buffer;
    ary->_capacity = static_cast<uint32_t>(bytes);
    return 0;
}

void array_shift(Ary *ary, uint32_t from, uint32_t to)
{
    uint32_t count = ary->_count;
    if (from > count)
        from = count;
    if (to > count)
        to = count;
    if (from == to)
        return;
    char *base = static_cast<char *>(ary->_buffer);
    size_t size = ary->_size;
    uint32_t moved = count - (from > to ? from : to);
    memmove(base + to * size, base + from * size, moved * size);
    if (to > from)
        memset(base + from * size, 0, (to - from) * size);
    else
        memset(base + (to + moved) * size, 0, (from - to) * size);
}
