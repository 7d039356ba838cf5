#include "common/packet.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/system.h"

namespace {

constexpr packet_pool_config default_config = {2048, 32, 16, 256, 0, 0};

// Options of a pool of the given block size: the built-in pool options,
// with huge pages once a block fills one.
mempool_info pool_config(const char *name, uint32_t options, uint64_t block)
{
    mempool_info info{};
    snprintf(info.memName, sizeof(info.memName), "%s", name);
    info.memOptions = options;
    info.memBlockSize = static_cast<uint32_t>(block);
    ssize_t huge = system_hugepage_size();
    if (huge > 0 && block >= static_cast<uint64_t>(huge))
        info.memOptions |= MEMPOOL_OPT_HUGEPAGES;
    return info;
}

} // namespace

size_t packet_pool_capacity(const mempool *pool)
{
    size_t cap = pool->companion ? pool->companion->info.memObjectSize
                                 : pool->info.memObjectSize - sizeof(packet);
    return cap > PACKET_MAX_LENGTH ? PACKET_MAX_LENGTH : cap;
}

mempool *packet_pool_create(const packet_pool_config *config, const char *file, unsigned line)
{
    const packet_pool_config &c = config ? *config : default_config;
    if (static_cast<uint64_t>(c.headroom) + c.tailroom > c.buffer_size ||
        c.buffer_size > PACKET_MAX_LENGTH) {
        errno = EINVAL;
        return nullptr;
    }
    bool separate = c.flags & PACKET_POOL_SHARED_BUFFERS;
    uint64_t object = separate ? sizeof(packet) : sizeof(packet) + c.buffer_size;
    uint64_t block = object * c.packet_count;
    uint64_t buffer_block = static_cast<uint64_t>(c.buffer_size) * c.buffer_count;
    if (block > UINT32_MAX || buffer_block > UINT32_MAX) {
        errno = EINVAL;
        return nullptr;
    }
    mempool_info info = pool_config("packet", MEMPOOL_OPT_MMAP, block);
    mempool *pool = mempool_create(object, &info, "struct packet", file, line);
    if (!pool)
        return nullptr;
    if (separate) {
        mempool_info binfo = pool_config(
            "buffer", MEMPOOL_OPT_MMAP | MEMPOOL_OPT_STATIC | MEMPOOL_OPT_SHARED, buffer_block);
        pool->companion = mempool_create(c.buffer_size, &binfo, "buffer", file, line);
        if (!pool->companion) {
            int e = errno;
            mempool_unref(pool);
            errno = e;
            return nullptr;
        }
    }
    pool->headroom = c.headroom;
    pool->tailroom = c.tailroom;
    return pool;
}

packet *packet_alloc(mempool *pool, size_t n, const char *file, unsigned line)
{
    size_t cap = packet_pool_capacity(pool);
    if (n > cap || pool->headroom + pool->tailroom > cap - n) {
        errno = ENOBUFS;
        return nullptr;
    }
    auto *p = static_cast<packet *>(mempool_alloc_meta(pool, file, line));
    if (!p)
        return nullptr;
    if (pool->companion) {
        p->buffer = static_cast<uint8_t *>(mempool_alloc_meta(pool->companion, file, line));
        if (!p->buffer) {
            mempool_release_meta(pool, p, file, line);
            errno = ENOMEM;
            return nullptr;
        }
    } else {
        p->buffer = reinterpret_cast<uint8_t *>(p + 1);
    }
    p->data = p->buffer + pool->headroom;
    p->length = static_cast<uint16_t>(n);
    p->_fragsize = static_cast<uint16_t>(n);
    p->tailroom = static_cast<uint16_t>(cap - pool->headroom - n);
    p->flags &= PACKET_FLAG_STORAGE;
    p->user8[0] = p->user8[1] = 0;
    p->foreign = 0;
    p->release_arg = nullptr;
    p->release = nullptr;
    p->pool = pool;
    list_init(&p->queue);
    list_init(&p->frags);
    p->nfrags = 1;
    p->_refcount = 1;
    memset(p->meta, 0, sizeof(p->meta));
    return p;
}

void packet_free(packet *p, const char *file, unsigned line)
{
    // A packet still referenced or already freed would leave a holder with a
    // dangling pointer; both are bugs of the caller.
    UGW_ASSERT(p->_refcount == 0);
    UGW_ASSERT(p->pool);
    UGW_ASSERT(list_isempty(&p->queue));
    for (packet *frag : list_records_safe<&packet::frags>(&p->frags)) {
        list_remove(&frag->frags);
        UGW_ASSERT(frag->_refcount != 0);
        if (--frag->_refcount == 0)
            packet_free(frag, file, line);
    }
    mempool *pool = p->pool;
    if (p->release)
        p->release(p->buffer, p->release_arg);
    else if (pool->companion && !p->foreign)
        mempool_release_meta(pool->companion, p->buffer, file, line);
    p->pool = nullptr;
    mempool_release_meta(pool, p, file, line);
}

int packet_chain(packet *head, packet *frag)
{
    if (static_cast<size_t>(head->length) + frag->length > PACKET_MAX_LENGTH ||
        static_cast<size_t>(head->nfrags) + frag->nfrags > UINT16_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    UGW_ASSERT(head != frag && list_isempty(&frag->queue));
    list_ring_join(&head->frags, &frag->frags);
    head->length = static_cast<uint16_t>(head->length + frag->length);
    head->nfrags = static_cast<uint16_t>(head->nfrags + frag->nfrags);
    frag->nfrags = 1;
    frag->length = frag->_fragsize;
    return 0;
}

packet *packet_from_bytes(mempool *pool, const void *bytes, size_t n, const char *file,
                          unsigned line)
{
    if (n > PACKET_MAX_LENGTH) {
        errno = EOVERFLOW;
        return nullptr;
    }
    size_t per = packet_pool_capacity(pool) - pool->headroom - pool->tailroom;
    if (per == 0 && n > 0) {
        errno = ENOBUFS;
        return nullptr;
    }
    packet *head = packet_alloc(pool, n < per ? n : per, file, line);
    if (!head)
        return nullptr;
    for (size_t have = head->length; have < n;) {
        size_t take = n - have < per ? n - have : per;
        packet *frag = packet_alloc(pool, take, file, line);
        if (!frag) {
            int e = errno;
            packet_release(head);
            errno = e;
            return nullptr;
        }
        UGW_ASSERT(packet_chain(head, frag) == 0);
        have += take;
    }
    packet_access(head, 0, n, const_cast<void *>(bytes), PACKET_ACCESS_WRITE);
    return head;
}

packet *packet_copy_single(const packet *src, const char *file, unsigned line)
{
    packet *copy = packet_alloc(src->pool, 0, file, line);
    if (!copy)
        return nullptr;
    if (copy->tailroom < src->_fragsize) {
        // The source grew into its tail room: start the copy earlier. Push
        // before trim, as an empty copy has nothing to trim.
        size_t extra = src->_fragsize - copy->tailroom;
        packet_push(copy, extra);
        packet_trim(copy, extra);
    }
    uint8_t *to = packet_put(copy, src->_fragsize);
    memcpy(to, src->data, src->_fragsize);
    memcpy(copy->meta, src->meta, sizeof(copy->meta));
    copy->flags = static_cast<uint16_t>((copy->flags & PACKET_FLAG_STORAGE) |
                                        (src->flags & ~PACKET_FLAG_STORAGE));
    copy->user8[0] = src->user8[0];
    copy->user8[1] = src->user8[1];
    return copy;
}

packet *packet_copy(const packet *src, const char *file, unsigned line)
{
    packet *head = packet_copy_single(src, file, line);
    if (!head)
        return nullptr;
    for (const packet *part : list_records<&packet::frags>(&src->frags)) {
        packet *frag = packet_copy_single(part, file, line);
        if (!frag || packet_chain(head, frag) < 0) {
            int e = frag ? EOVERFLOW : errno;
            packet_release(frag);
            packet_release(head);
            errno = e;
            return nullptr;
        }
    }
    return head;
}

size_t packet_access(packet *p, size_t offset, size_t n, void *buffer, int mode)
{
    if (n == 0)
        return 0;
    size_t done = 0, at = 0;
    packet *cur = p;
    do {
        size_t size = cur->_fragsize;
        if (offset < at + size) {
            size_t from = offset > at ? offset - at : 0;
            size_t len = size - from < n - done ? size - from : n - done;
            uint8_t *where = cur->data + from;
            if (mode == PACKET_ACCESS_WRITE)
                memcpy(where, static_cast<const uint8_t *>(buffer) + done, len);
            else if (mode == PACKET_ACCESS_FILL)
                memset(where, static_cast<int>(reinterpret_cast<uintptr_t>(buffer) & 0xff), len);
            else
                memcpy(static_cast<uint8_t *>(buffer) + done, where, len);
            done += len;
        }
        at += size;
        cur = container_of(list_next(&cur->frags), &packet::frags);
    } while (done < n && cur != p);
    return done;
}

uint8_t *packet_push_checked(packet *p, size_t n, const char *expr, const char *file,
                             const char *func, int line)
{
    if (n > packet_headroom(p))
        fatal_assert_fail(expr, file, func, line);
    if (p->length + n > PACKET_MAX_LENGTH) {
        errno = EOVERFLOW;
        return nullptr;
    }
    p->data -= n;
    p->_fragsize = static_cast<uint16_t>(p->_fragsize + n);
    p->length = static_cast<uint16_t>(p->length + n);
    return p->data;
}

uint8_t *packet_pull_checked(packet *p, size_t n, const char *expr, const char *file,
                             const char *func, int line)
{
    if (n > packet_headsize(p))
        fatal_assert_fail(expr, file, func, line);
    p->data += n;
    p->_fragsize = static_cast<uint16_t>(p->_fragsize - n);
    p->length = static_cast<uint16_t>(p->length - n);
    return p->data;
}

uint8_t *packet_put_checked(packet *p, size_t n, const char *expr, const char *file,
                            const char *func, int line)
{
    packet *last = packet_last(p);
    if (n > last->tailroom)
        fatal_assert_fail(expr, file, func, line);
    if (p->length + n > PACKET_MAX_LENGTH) {
        errno = EOVERFLOW;
        return nullptr;
    }
    uint8_t *at = last->data + last->_fragsize;
    last->_fragsize = static_cast<uint16_t>(last->_fragsize + n);
    last->tailroom = static_cast<uint16_t>(last->tailroom - n);
    p->length = static_cast<uint16_t>(p->length + n);
    return at;
}

void packet_trim_checked(packet *p, size_t n, const char *expr, const char *file,
                         const char *func, int line)
{
    packet *last = packet_last(p);
    if (n > last->_fragsize)
        fatal_assert_fail(expr, file, func, line);
    last->_fragsize = static_cast<uint16_t>(last->_fragsize - n);
    last->tailroom = static_cast<uint16_t>(last->tailroom + n);
    p->length = static_cast<uint16_t>(p->length - n);
}

int packet_ref_checked(packet *p, const char *expr, const char *file, const char *func, int line)
{
    if (p && p->_refcount == 0)
        fatal_assert_fail(expr, file, func, line);
    if (!p) {
        errno = EINVAL;
        return -1;
    }
    if (p->_refcount == UINT16_MAX) {
        errno = EOVERFLOW;
        return -1;
    }
    p->_refcount++;
    return 0;
}

void packet_release_checked(packet *p, const char *expr, const char *file, const char *func,
                            int line)
{
    if (!p)
        return;
    if (p->_refcount == 0)
        fatal_assert_fail(expr, file, func, line);
    if (--p->_refcount == 0)
        packet_free(p, file, static_cast<unsigned>(line));
}

void packet_queue_purge(packet_queue *q, const char *file, unsigned line)
{
    while (packet *p = packet_queue_pop(q)) {
        UGW_ASSERT(p->_refcount != 0);
        if (--p->_refcount == 0)
            packet_free(p, file, line);
    }
}
