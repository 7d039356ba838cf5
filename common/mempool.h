// Pools of fixed-size objects of one record kind, carved from large chunks
// and recycled through a free list. Every pool is named and listed so that the
// management server can report memory use per record kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>

#include "common/array.h"
#include "common/list.h"

// Options (memOptions bits).
enum : uint32_t {
    MEMPOOL_OPT_MMAP = 0x01,      // chunks are mapped pages, not heap memory
    MEMPOOL_OPT_HUGEPAGES = 0x02, // chunks use huge pages, aligned to the huge page size
    MEMPOOL_OPT_STATIC = 0x04,    // one chunk made at creation; the pool never grows
    MEMPOOL_OPT_SHARED = 0x08,    // chunks live in a memfd another process can map
    MEMPOOL_OPT_TRACK = 0x10,     // allocation sites are recorded
};

// Option names as the utility prints and parses them, by bit position.
inline constexpr const char *mempool_option_names[] = {"mmap", "hugepages", "static", "shared",
                                                       "track"};

// Statistics record; the management protocol carries it as it stands.
struct mempool_info {
    char memName[32];
    uint32_t memOptions;
    uint32_t memObjectSize;
    uint32_t memBlockSize; // bytes per chunk
    uint32_t memPoolSize;  // bytes of all chunks
    uint32_t memPageSize;
    uint32_t memHugeSize;
    uint32_t memBlockObjects; // objects per chunk
    uint32_t memTotalObjects;
    uint32_t memUsedObjects;
    uint32_t memMmapPages;
    uint32_t memHugePages;
    uint32_t memMallocBytes;
};
static_assert(sizeof(mempool_info) == 80);
static_assert(offsetof(mempool_info, memMallocBytes) == 76);

// One allocation site of a tracked pool; also a management record.
struct mempool_site {
    char memAllocFile[32]; // the source path, or its last 31 characters
    uint32_t memAllocLine;
    uint32_t memAllocCount;
    uint32_t memReleaseCount;
};
static_assert(sizeof(mempool_site) == 44);

struct mempool {
    mempool_info info;
    mempool *companion; // released with this pool (the buffer pool of a packet pool)
    void *free_list;    // free objects chain through their first word
    void *chunks;       // newest first; a growable pool's chunk header links to the older one
    list_link link;     // on the list of all pools
    Ary sites;          // mempool_site, sorted by file then line
    Ary live;           // live tracked objects, sorted by address
    uint32_t fill;      // objects handed out from the newest chunk
    uint32_t refcount;
    int memfd; // -1 when not shared
    uint32_t headroom; // packet pools only
    uint32_t tailroom;
    uint32_t nchunks;
    uint32_t header; // bytes before the first object of a chunk
};

// Object size, configuration (null: mmap chunks of 16 KB), the record type as
// written in the source ("struct flow") and the creator's file and line.
mempool *mempool_create(size_t size, const mempool_info *config, const char *type,
                        const char *file, unsigned line);
mempool *mempool_ref(mempool *pool);
void mempool_unref(mempool *pool);

// Under ASan free objects are poisoned, which the inline paths below skip.
#if defined(__SANITIZE_ADDRESS__)
#define MEMPOOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMPOOL_ASAN 1
#endif
#endif

void *mempool_alloc_slow(mempool *pool, const char *file, unsigned line);
void mempool_release_slow(mempool *pool, void *object, const char *file, unsigned line);

// An object, or null with errno ENOMEM.
inline void *mempool_alloc_meta(mempool *pool, const char *file = __builtin_FILE(),
                                unsigned line = __builtin_LINE())
{
#ifndef MEMPOOL_ASAN
    void *obj = pool->free_list;
    if (obj && !(pool->info.memOptions & MEMPOOL_OPT_TRACK)) {
        memcpy(&pool->free_list, obj, sizeof(void *));
        pool->info.memUsedObjects++;
        return obj;
    }
#endif
    return mempool_alloc_slow(pool, file, line);
}

void *mempool_zalloc_meta(mempool *pool, const char *file = __builtin_FILE(),
                          unsigned line = __builtin_LINE());

// Null is ignored. A tracked pool stops the program on an object it never handed out.
inline void mempool_release_meta(mempool *pool, void *object, const char *file = __builtin_FILE(),
                                 unsigned line = __builtin_LINE())
{
#ifndef MEMPOOL_ASAN
    if (object && !(pool->info.memOptions & MEMPOOL_OPT_TRACK) && pool->info.memUsedObjects) {
        memcpy(object, &pool->free_list, sizeof(void *));
        pool->free_list = object;
        pool->info.memUsedObjects--;
        return;
    }
#endif
    mempool_release_slow(pool, object, file, line);
}

#define mempool_alloc(pool) mempool_alloc_meta((pool), __FILE__, __LINE__)
#define mempool_zalloc(pool) mempool_zalloc_meta((pool), __FILE__, __LINE__)
#define mempool_release(pool, object) mempool_release_meta((pool), (object), __FILE__, __LINE__)

// Forgets every object at once; a growable pool gives all its memory back.
void mempool_reset(mempool *pool);

// Ordinal of the object counted from the oldest chunk, or -1 when not in the pool.
ssize_t mempool_index(const mempool *pool, const void *object);

// All pools in creation order.
mempool *mempool_first();
mempool *mempool_next(const mempool *pool);

// Copies up to n site records; returns how many sites the pool has.
uint32_t mempool_get_sites(const mempool *pool, mempool_site *out, uint32_t n);

// Merge callbacks and comparators for bmerge and the sorted arrays.
void mempool_info_merge(void *into, const void *from);
void mempool_site_merge(void *into, const void *from);
int mempool_compare_int(const void *a, const void *b);
int mempool_site_compare(const void *a, const void *b);
