// Reference-counted packet buffers with head room, tail room, fragment chains
// and a metadata block, allocated from packet pools whose buffers may live in
// a shared pool that the data plane maps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/fatal.h"
#include "common/list.h"
#include "common/mempool.h"

struct packet_pool_config {
    uint32_t buffer_size; // bytes per buffer
    uint32_t headroom;
    uint32_t tailroom;
    uint32_t packet_count;
    uint32_t buffer_count;
    uint32_t flags; // PACKET_POOL_*
};

enum : uint32_t {
    PACKET_POOL_SHARED_BUFFERS = 0x1, // separate shareable, preallocated buffer pool
};

enum : uint16_t {
    PACKET_FLAG_STORAGE = 0x0001, // owned by the header's storage: kept across alloc and copy
    PACKET_PRIO_MASK = 0x000e,
    PACKET_PRIO_SHIFT = 1,
};

constexpr size_t PACKET_META_SIZE = 40;
constexpr size_t PACKET_MAX_LENGTH = UINT16_MAX;

using packet_release_fn = void (*)(void *buffer, void *arg);

struct packet {
    uint8_t *data;
    void *user; // left to the modules that use packets
    uint8_t meta[PACKET_META_SIZE];
    uint16_t length; // data bytes of the whole chain (on the first packet)
    uint16_t flags;
    uint8_t user8[2]; // copied with the packet; left to the modules that use packets
    uint16_t foreign; // buffer not from the buffer pool
    void *release_arg;
    packet_release_fn release; // when set, gets the buffer instead of a pool
    mempool *pool;
    list_link queue;
    list_link frags; // ring of the chain, from the first packet
    uint16_t nfrags; // packets in the chain (on the first packet)
    uint16_t _fragsize; // data bytes of this packet
    uint16_t tailroom;  // free bytes after this packet's data
    uint16_t _refcount;
    uint8_t *buffer;
};

// Null config: 2048-byte buffers, head room 32, tail room 16, 256 packets,
// buffers after the headers. The result is released with mempool_unref.
mempool *packet_pool_create(const packet_pool_config *config, const char *file = __builtin_FILE(),
                            unsigned line = __builtin_LINE());

// Bytes of data one buffer of the pool can hold, head and tail room included.
size_t packet_pool_capacity(const mempool *pool);

// A packet of n uninitialised data bytes and one reference; null with ENOBUFS
// when it cannot fit one buffer, ENOMEM when a pool is exhausted.
packet *packet_alloc(mempool *pool, size_t n, const char *file = __builtin_FILE(),
                     unsigned line = __builtin_LINE());

// Frees a packet whose last reference was already dropped, with its fragments.
void packet_free(packet *packet, const char *file = __builtin_FILE(),
                 unsigned line = __builtin_LINE());

// A chain holding a copy of n bytes (at most 65535: EOVERFLOW).
packet *packet_from_bytes(mempool *pool, const void *bytes, size_t n,
                          const char *file = __builtin_FILE(), unsigned line = __builtin_LINE());

// A copy of this packet's own data (no fragments), metadata and flags.
packet *packet_copy_single(const packet *packet, const char *file = __builtin_FILE(),
                           unsigned line = __builtin_LINE());
// A deep copy of the whole chain.
packet *packet_copy(const packet *packet, const char *file = __builtin_FILE(),
                    unsigned line = __builtin_LINE());

enum : int {
    PACKET_ACCESS_READ = 0,
    PACKET_ACCESS_WRITE = 1,
    PACKET_ACCESS_FILL = 2, // the byte value is passed in place of the buffer
};
// Moves n bytes at a byte offset of the chain; returns how many were moved.
size_t packet_access(packet *packet, size_t offset, size_t n, void *buffer, int mode);

// Appends a chain behind another; the head takes over frag's reference.
// -1 with EOVERFLOW when the length or fragment count would pass 65535.
int packet_chain(packet *head, packet *frag);

inline size_t packet_headroom(const packet *p)
{
    return static_cast<size_t>(p->data - p->buffer);
}

inline packet *packet_last(const packet *p)
{
    return container_of(list_prev(&p->frags), &packet::frags);
}

// Free bytes after the data of the packet that ends the chain.
inline size_t packet_tailroom(const packet *p)
{
    return packet_last(p)->tailroom;
}

// Data bytes of the first packet of the chain.
inline size_t packet_headsize(const packet *p)
{
    return p->_fragsize;
}

// Data bytes of the packet that ends the chain.
inline size_t packet_tailsize(const packet *p)
{
    return packet_last(p)->_fragsize;
}

inline bool packet_isfragmented(const packet *p)
{
    return p->nfrags > 1;
}

inline unsigned packet_priority(const packet *p)
{
    return (p->flags & PACKET_PRIO_MASK) >> PACKET_PRIO_SHIFT;
}

inline void packet_set_priority(packet *p, unsigned prio)
{
    p->flags = static_cast<uint16_t>((p->flags & ~PACKET_PRIO_MASK) |
                                     ((prio << PACKET_PRIO_SHIFT) & PACKET_PRIO_MASK));
}

// The checked forms behind the macros below; expr is the failed condition's text.
uint8_t *packet_push_checked(packet *p, size_t n, const char *expr, const char *file,
                             const char *func, int line);
uint8_t *packet_pull_checked(packet *p, size_t n, const char *expr, const char *file,
                             const char *func, int line);
uint8_t *packet_put_checked(packet *p, size_t n, const char *expr, const char *file,
                            const char *func, int line);
void packet_trim_checked(packet *p, size_t n, const char *expr, const char *file,
                         const char *func, int line);
int packet_ref_checked(packet *p, const char *expr, const char *file, const char *func, int line);
void packet_release_checked(packet *p, const char *expr, const char *file, const char *func,
                            int line);

// Runs a checked operation, naming the caller's expressions when n does not fit.
#define PACKET_CHECKED_(op, p, n, room)                                                            \
    op((p), (n), "(size_t)(" #n ") <= " #room "(" #p ")", __FILE__, __func__, __LINE__)

// Prepends n bytes into the head room; returns the new data start. Null with
// EOVERFLOW when the chain would pass 65535 bytes.
#define packet_push(p, n) PACKET_CHECKED_(packet_push_checked, p, n, packet_headroom)
// Removes n bytes from the front of the first packet; returns the new data start.
#define packet_pull(p, n) PACKET_CHECKED_(packet_pull_checked, p, n, packet_headsize)
// Appends n bytes to the packet that ends the chain; returns where they go.
// Null with EOVERFLOW when the chain would pass 65535 bytes.
#define packet_put(p, n) PACKET_CHECKED_(packet_put_checked, p, n, packet_tailroom)
// Cuts n bytes from the end of the packet that ends the chain.
#define packet_trim(p, n) PACKET_CHECKED_(packet_trim_checked, p, n, packet_tailsize)

// Takes a reference: 0, or -1 with EOVERFLOW at 65535 references.
#define packet_ref(p)                                                                              \
    packet_ref_checked((p), "!((" #p ") && (" #p ")->_refcount == 0)", __FILE__, __func__, __LINE__)
// Drops a reference and frees the packet when it was the last; null is ignored.
#define packet_release(p)                                                                          \
    packet_release_checked((p), "!((" #p ") && (" #p ")->_refcount == 0)", __FILE__, __func__,     \
                           __LINE__)

// A queue of packets through their queue link; it holds one reference to each.
struct packet_queue {
    list_link list;
    uint32_t count;
    uint32_t bytes; // sum of the packets' lengths
};

inline void packet_queue_init(packet_queue *q)
{
    list_init(&q->list);
    q->count = 0;
    q->bytes = 0;
}

inline uint32_t packet_queue_count(const packet_queue *q)
{
    return q->count;
}

// The queue takes over the caller's reference. A packet is on one queue at most.
inline void packet_queue_append(packet_queue *q, packet *p)
{
    UGW_ASSERT(list_isempty(&p->queue));
    list_append(&q->list, &p->queue);
    q->count++;
    q->bytes += p->length;
}

inline void packet_queue_remove(packet_queue *q, packet *p)
{
    UGW_ASSERT(q->count != 0);
    list_remove(&p->queue);
    q->count--;
    q->bytes -= p->length;
}

// The first packet, whose reference passes to the caller; null when empty.
inline packet *packet_queue_pop(packet_queue *q)
{
    list_link *l = list_pop_head(&q->list);
    if (!l)
        return nullptr;
    packet *p = container_of(l, &packet::queue);
    q->count--;
    q->bytes -= p->length;
    return p;
}

// Empties a queue, dropping one reference from each packet.
void packet_queue_purge(packet_queue *q, const char *file = __builtin_FILE(),
                        unsigned line = __builtin_LINE());
