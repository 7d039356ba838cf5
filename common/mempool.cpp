#include "common/mempool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "common/bsearch.h"
#include "common/fatal.h"
#include "common/log.h"
#include "common/system.h"

#ifdef MEMPOOL_ASAN
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// Objects hold the free-list link and keep 8-byte fields aligned behind the
// 8-byte chunk header.
constexpr size_t object_align = 8;
constexpr size_t chunk_header = 8;
constexpr uint32_t default_block = 16384;

struct live_object {
    const void *addr; // first: mempool_compare_int orders by it
    char file[32];
    uint32_t line;
};

list_link pool_list;

void pool_list_init()
{
    if (list_isnull(&pool_list))
        list_init(&pool_list);
}

size_t round_up(size_t n, size_t align)
{
    return (n + align - 1) / align * align;
}

bool track_from_env()
{
    const char *v = getenv("MEMPOOL_TRACK");
    if (!v || !*v)
        return false;
    char *end;
    errno = 0;
    unsigned long long n = strtoull(v, &end, 10);
    // Overflow still asks for tracking: the number is only meant to be >= 1.
    return *end == '\0' && v[0] != '-' && (n >= 1 || errno == ERANGE);
}

// Keeps the tail of a long path, as the site records hold it.
void copy_file_text(char out[32], const char *file)
{
    size_t n = strlen(file);
    const char *from = n > 31 ? file + n - 31 : file;
    memcpy(out, from, strlen(from) + 1);
}

// Chunk bytes and objects per chunk from the pool's options and sizes.
// False when the figures do not fit the 32-bit statistics.
bool pool_geometry(mempool *pool, size_t block)
{
    mempool_info *in = &pool->info;
    size_t size = in->memObjectSize;
    size_t align = (in->memOptions & MEMPOOL_OPT_HUGEPAGES) ? in->memHugeSize : in->memPageSize;
    pool->header = (in->memOptions & MEMPOOL_OPT_STATIC) ? 0 : chunk_header;
    size_t per = block / size;
    size_t bytes = per * size > size ? per * size : size;
    bytes = round_up(bytes + pool->header, align);
    if (bytes > UINT32_MAX)
        return false;
    in->memBlockSize = static_cast<uint32_t>(bytes);
    in->memBlockObjects = static_cast<uint32_t>((bytes - pool->header) / size);
    return true;
}

void make_name(char out[32], const char *file, const char *type, unsigned line)
{
    const char *base = file ? strrchr(file, '/') : nullptr;
    base = base ? base + 1 : (file ? file : "");
    if (type) {
        while (*type == ' ' || *type == '\t')
            type++;
        if (strncmp(type, "struct ", 7) == 0)
            type += 7;
        while (*type == ' ' || *type == '\t')
            type++;
        snprintf(out, 32, "%s:%s", base, type);
    } else {
        snprintf(out, 32, "%s:%u", base, line);
    }
}

// Without reserved huge pages, a chunk aligned to the huge page size still
// gets them from the kernel on first touch: one fault and one TLB entry per
// huge page instead of one per page, which dominates filling a large pool.
void *map_transparent_huge(size_t bytes, size_t huge)
{
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    void *p = mmap(nullptr, bytes + huge, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(p);
    uintptr_t aligned = (start + huge - 1) & ~(static_cast<uintptr_t>(huge) - 1);
    if (aligned > start) munmap(p, aligned - start);
    if (size_t tail = start + huge - aligned)
        munmap(reinterpret_cast<void *>(aligned + bytes), tail);
    auto *chunk = reinterpret_cast<void *>(aligned);
    madvise(chunk, bytes, MADV_HUGEPAGE);
    return chunk;
}

void *map_chunk(mempool *pool, size_t bytes, bool *huge)
{
    uint32_t opts = pool->info.memOptions;
    void *p;
    if (opts & MEMPOOL_OPT_SHARED) {
        off_t at = pool->info.memPoolSize;
        if (ftruncate(pool->memfd, at + static_cast<off_t>(bytes)) < 0)
            return nullptr;
        p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, pool->memfd, at);
        if (p == MAP_FAILED) {
            int e = errno;
            (void)!ftruncate(pool->memfd, at);
            errno = e;
            return nullptr;
        }
        *huge = opts & MEMPOOL_OPT_HUGEPAGES;
        return p;
    }
    if (opts & MEMPOOL_OPT_MMAP) {
        int flags = MAP_PRIVATE | MAP_ANONYMOUS;
        if (opts & MEMPOOL_OPT_HUGEPAGES) {
            p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags | MAP_HUGETLB, -1, 0);
            if (p != MAP_FAILED) {
                *huge = true;
                return p;
            }
        }
        *huge = false;
        if (opts & MEMPOOL_OPT_HUGEPAGES)
            return map_transparent_huge(bytes, pool->info.memHugeSize);
        p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    size_t align = (opts & MEMPOOL_OPT_HUGEPAGES) ? pool->info.memHugeSize : pool->info.memPageSize;
    if (posix_memalign(&p, align, bytes) != 0)
        return nullptr;
    // Fresh objects read as zero, whatever backs them.
    memset(p, 0, bytes);
    *huge = false;
    return p;
}

void unmap_chunk(mempool *pool, void *chunk)
{
    POOL_UNPOISON(chunk, pool->info.memBlockSize);
    if (pool->info.memOptions & (MEMPOOL_OPT_MMAP | MEMPOOL_OPT_SHARED))
        munmap(chunk, pool->info.memBlockSize);
    else
        free(chunk);
}

// Adds one chunk at the head of the chunk list.
int mempool_grow(mempool *pool)
{
    mempool_info *in = &pool->info;
    size_t bytes = in->memBlockSize;
    if (static_cast<uint64_t>(in->memPoolSize) + bytes > UINT32_MAX ||
        static_cast<uint64_t>(in->memTotalObjects) + in->memBlockObjects > UINT32_MAX ||
        pool->nchunks == UINT32_MAX) {
        errno = ENOMEM;
        return -1;
    }
    bool huge = false;
    void *chunk = map_chunk(pool, bytes, &huge);
    if (!chunk) {
        errno = ENOMEM;
        return -1;
    }
    if (pool->header)
        memcpy(chunk, &pool->chunks, sizeof(void *));
    pool->chunks = chunk;
    pool->nchunks++;
    pool->fill = 0;
    in->memPoolSize += static_cast<uint32_t>(bytes);
    in->memTotalObjects += in->memBlockObjects;
    if (huge)
        in->memHugePages += static_cast<uint32_t>(bytes / in->memHugeSize);
    else if (in->memOptions & (MEMPOOL_OPT_MMAP | MEMPOOL_OPT_SHARED))
        in->memMmapPages += static_cast<uint32_t>(bytes / in->memPageSize);
    else
        in->memMallocBytes += static_cast<uint32_t>(bytes);
    POOL_POISON(static_cast<char *>(chunk) + pool->header, bytes - pool->header);
    return 0;
}

void free_chunks(mempool *pool)
{
    void *chunk = pool->chunks;
    while (chunk) {
        void *older = nullptr;
        if (pool->header)
            memcpy(&older, chunk, sizeof(void *));
        unmap_chunk(pool, chunk);
        chunk = older;
    }
    pool->chunks = nullptr;
    pool->nchunks = 0;
}

void destroy(mempool *pool)
{
    free_chunks(pool);
    if (pool->memfd >= 0)
        close(pool->memfd);
    if (!list_isnull(&pool->link))
        list_remove(&pool->link);
    array_purge(&pool->sites);
    array_purge(&pool->live);
    mempool_unref(pool->companion);
    free(pool);
}

// Opens the memfd and maps the first chunk of a shared or static pool. A
// huge-page memfd that cannot be mapped (no pages reserved) falls back to
// normal pages; the caller destroys the pool on any other failure.
int first_chunk(mempool *pool, size_t block)
{
    for (;;) {
        bool huge = pool->info.memOptions & MEMPOOL_OPT_HUGEPAGES;
        if (pool->info.memOptions & MEMPOOL_OPT_SHARED) {
            pool->memfd = memfd_create(pool->info.memName, MFD_CLOEXEC | (huge ? MFD_HUGETLB : 0));
            if (pool->memfd < 0 && huge) {
                pool->info.memOptions &= ~MEMPOOL_OPT_HUGEPAGES;
                if (!pool_geometry(pool, block))
                    return -1;
                continue;
            }
            if (pool->memfd < 0)
                return -1;
        }
        if (!(pool->info.memOptions & (MEMPOOL_OPT_STATIC | MEMPOOL_OPT_SHARED)))
            return 0;
        if (mempool_grow(pool) == 0)
            return 0;
        if (!(huge && (pool->info.memOptions & MEMPOOL_OPT_SHARED)))
            return -1;
        close(pool->memfd);
        pool->memfd = -1;
        pool->info.memOptions &= ~MEMPOOL_OPT_HUGEPAGES;
        if (!pool_geometry(pool, block))
            return -1;
    }
}

mempool_site *find_site(mempool *pool, const char *file_text, uint32_t line)
{
    if (array_length(&pool->sites) == 0)
        return nullptr;
    mempool_site key{};
    memcpy(key.memAllocFile, file_text, sizeof(key.memAllocFile));
    key.memAllocLine = line;
    return static_cast<mempool_site *>(bsearch(&key, array_data(&pool->sites),
                                               array_length(&pool->sites), sizeof(mempool_site),
                                               mempool_site_compare));
}

// Records an allocation; -1 (ENOMEM) when the records cannot grow.
int track_alloc(mempool *pool, void *object, const char *file, unsigned line)
{
    mempool_site key{};
    copy_file_text(key.memAllocFile, file ? file : "");
    key.memAllocLine = line;
    live_object rec{};
    rec.addr = object;
    memcpy(rec.file, key.memAllocFile, sizeof(rec.file));
    rec.line = line;
    uint32_t live = array_length(&pool->live);
    if (array_reserve(&pool->live, live + 1) < 0)
        return -1;
    mempool_site *site = find_site(pool, key.memAllocFile, line);
    if (!site) {
        uint32_t sites = array_length(&pool->sites);
        if (array_reserve(&pool->sites, sites + 1) < 0) {
            array_truncate(&pool->live, live);
            return -1;
        }
        site = static_cast<mempool_site *>(binsert(&key, array_data(&pool->sites), sites,
                                                   sizeof(key), mempool_site_compare));
        UGW_ASSERT(site);
    }
    site->memAllocCount++;
    void *at = binsert(&rec, array_data(&pool->live), live, sizeof(rec), mempool_compare_int);
    UGW_ASSERT(at);
    return 0;
}

void track_release(mempool *pool, void *object, const char *file, unsigned line)
{
    live_object key{};
    key.addr = object;
    live_object *rec = nullptr;
    uint32_t live = array_length(&pool->live);
    if (live)
        rec = static_cast<live_object *>(bsearch(&key, array_data(&pool->live), live,
                                                 sizeof(live_object), mempool_compare_int));
    if (!rec) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Foreign object %p[+%zu] released to mempool at %s:%zu",
             object, static_cast<size_t>(pool->info.memObjectSize), file ? file : "",
             static_cast<size_t>(line));
        UGW_ASSERT(false);
    }
    mempool_site *info = find_site(pool, rec->file, rec->line);
    UGW_ASSERT(info);
    UGW_ASSERT(info->memAllocCount > info->memReleaseCount);
    info->memReleaseCount++;
    auto *base = array_data<live_object>(&pool->live);
    bremove(static_cast<size_t>(rec - base), base, live, sizeof(live_object));
    array_truncate(&pool->live, live - 1);
}

} // namespace

mempool *mempool_create(size_t size, const mempool_info *config, const char *type,
                        const char *file, unsigned line)
{
    pool_list_init();
    long page = system_page_size();
    if (page <= 0)
        page = 4096;
    ssize_t huge_size = system_hugepage_size();
    size_t huge = huge_size > 0 && huge_size <= UINT32_MAX ? static_cast<size_t>(huge_size) : 0;

    // Objects below the free-list link or off the alignment would overlap.
    if (size > UINT32_MAX - object_align) {
        errno = EINVAL;
        return nullptr;
    }
    size = round_up(size < sizeof(void *) ? sizeof(void *) : size, object_align);

    auto *pool = static_cast<mempool *>(calloc(1, sizeof(mempool)));
    if (!pool)
        return nullptr;
    pool->memfd = -1;
    pool->refcount = 1;
    array_init(&pool->sites, sizeof(mempool_site));
    array_init(&pool->live, sizeof(live_object));

    mempool_info *in = &pool->info;
    uint32_t opts = config ? config->memOptions : MEMPOOL_OPT_MMAP;
    size_t block = config ? config->memBlockSize : default_block;
    if (opts & MEMPOOL_OPT_SHARED)
        opts |= MEMPOOL_OPT_MMAP;
    if (!(opts & MEMPOOL_OPT_TRACK) && track_from_env())
        opts |= MEMPOOL_OPT_TRACK;
    if ((opts & MEMPOOL_OPT_HUGEPAGES) && huge == 0) {
        ulog(LOG_COMP_COMMON, ULOG_DEBUG, "Huge pages not supported - reverting to normal pages");
        opts &= ~MEMPOOL_OPT_HUGEPAGES;
    }
    in->memOptions = opts;
    in->memObjectSize = static_cast<uint32_t>(size);
    in->memPageSize = static_cast<uint32_t>(page);
    in->memHugeSize = static_cast<uint32_t>(huge);
    if (config && config->memName[0]) {
        memcpy(in->memName, config->memName, sizeof(in->memName));
        in->memName[sizeof(in->memName) - 1] = '\0';
    } else {
        make_name(in->memName, file, type, line);
    }

    if (!pool_geometry(pool, block) || first_chunk(pool, block) < 0) {
        int e = errno ? errno : ENOMEM;
        destroy(pool);
        errno = e;
        return nullptr;
    }
    // The chunk mapped above stays: unmapping it again would only churn the
    // memfd and lose the huge pages it holds.
    pool->free_list = nullptr;
    pool->fill = pool->chunks ? 0 : in->memBlockObjects;
    list_append(&pool_list, &pool->link);
    return pool;
}

mempool *mempool_ref(mempool *pool)
{
    if (pool) {
        UGW_ASSERT(pool->refcount != 0 && pool->refcount != UINT32_MAX);
        pool->refcount++;
    }
    return pool;
}

void mempool_unref(mempool *pool)
{
    if (!pool)
        return;
    UGW_ASSERT(pool->refcount != 0);
    if (--pool->refcount == 0)
        destroy(pool);
}

void *mempool_alloc_slow(mempool *pool, const char *file, unsigned line)
{
    void *obj = pool->free_list;
    size_t size = pool->info.memObjectSize;
    if (obj) {
        POOL_UNPOISON(obj, size);
        memcpy(&pool->free_list, obj, sizeof(void *));
    } else {
        if (pool->fill >= pool->info.memBlockObjects || !pool->chunks) {
            if ((pool->info.memOptions & MEMPOOL_OPT_STATIC) || mempool_grow(pool) < 0) {
                errno = ENOMEM;
                return nullptr;
            }
        }
        obj = static_cast<char *>(pool->chunks) + pool->header + pool->fill * size;
        pool->fill++;
        POOL_UNPOISON(obj, size);
    }
    if ((pool->info.memOptions & MEMPOOL_OPT_TRACK) && track_alloc(pool, obj, file, line) < 0) {
        memcpy(obj, &pool->free_list, sizeof(void *));
        pool->free_list = obj;
        POOL_POISON(obj, size);
        errno = ENOMEM;
        return nullptr;
    }
    pool->info.memUsedObjects++;
    return obj;
}

void *mempool_zalloc_meta(mempool *pool, const char *file, unsigned line)
{
    // An object cut fresh from a growable pool's chunk reads as zero already
    // (map_chunk): only a recycled one needs clearing.
    bool fresh = !pool->free_list && !(pool->info.memOptions & MEMPOOL_OPT_STATIC);
    void *obj = mempool_alloc_meta(pool, file, line);
    if (obj && !fresh) memset(obj, 0, pool->info.memObjectSize);
    return obj;
}

void mempool_release_slow(mempool *pool, void *object, const char *file, unsigned line)
{
    if (!object)
        return;
    // Checked before the object joins the free list, so a foreign one never does.
    if (pool->info.memOptions & MEMPOOL_OPT_TRACK)
        track_release(pool, object, file, line);
    UGW_ASSERT(pool->info.memUsedObjects != 0);
    memcpy(object, &pool->free_list, sizeof(void *));
    pool->free_list = object;
    pool->info.memUsedObjects--;
    POOL_POISON(object, pool->info.memObjectSize);
}

void mempool_reset(mempool *pool)
{
    mempool_info *in = &pool->info;
    if (in->memOptions & MEMPOOL_OPT_STATIC) {
        pool->fill = 0;
        if (pool->chunks)
            POOL_POISON(pool->chunks, in->memBlockSize);
    } else {
        free_chunks(pool);
        if (pool->memfd >= 0)
            (void)!ftruncate(pool->memfd, 0);
        in->memPoolSize = 0;
        in->memTotalObjects = 0;
        in->memMmapPages = 0;
        in->memHugePages = 0;
        in->memMallocBytes = 0;
        pool->fill = in->memBlockObjects;
    }
    pool->free_list = nullptr;
    in->memUsedObjects = 0;
    array_truncate(&pool->sites, 0);
    array_truncate(&pool->live, 0);
}

ssize_t mempool_index(const mempool *pool, const void *object)
{
    auto obj = reinterpret_cast<uintptr_t>(object);
    size_t size = pool->info.memObjectSize;
    size_t span = static_cast<size_t>(pool->info.memBlockObjects) * size;
    void *chunk = pool->chunks;
    ssize_t first = static_cast<ssize_t>(pool->nchunks) - 1;
    first *= pool->info.memBlockObjects;
    while (chunk) {
        uintptr_t start = reinterpret_cast<uintptr_t>(chunk) + pool->header;
        if (obj >= start && obj - start < span)
            return first + static_cast<ssize_t>((obj - start) / size);
        if (!pool->header)
            break;
        memcpy(&chunk, chunk, sizeof(void *));
        first -= pool->info.memBlockObjects;
    }
    return -1;
}

mempool *mempool_first()
{
    pool_list_init();
    return list_first_record<&mempool::link>(&pool_list);
}

mempool *mempool_next(const mempool *pool)
{
    list_link *l = list_next(&pool->link);
    return l == &pool_list ? nullptr : container_of(l, &mempool::link);
}

uint32_t mempool_get_sites(const mempool *pool, mempool_site *out, uint32_t n)
{
    uint32_t count = array_length(&pool->sites);
    if (n > count)
        n = count;
    if (n)
        memcpy(out, array_data(&pool->sites), static_cast<size_t>(n) * sizeof(mempool_site));
    return count;
}

void mempool_info_merge(void *into, const void *from)
{
    auto *a = static_cast<mempool_info *>(into);
    auto *b = static_cast<const mempool_info *>(from);
    auto max = [](uint32_t x, uint32_t y) { return x > y ? x : y; };
    memcpy(a->memName, b->memName, sizeof(a->memName));
    a->memOptions |= b->memOptions;
    a->memObjectSize = max(a->memObjectSize, b->memObjectSize);
    a->memBlockSize = max(a->memBlockSize, b->memBlockSize);
    a->memPageSize = max(a->memPageSize, b->memPageSize);
    a->memHugeSize = max(a->memHugeSize, b->memHugeSize);
    a->memBlockObjects = max(a->memBlockObjects, b->memBlockObjects);
    a->memPoolSize += b->memPoolSize;
    a->memTotalObjects += b->memTotalObjects;
    a->memUsedObjects += b->memUsedObjects;
    a->memMmapPages += b->memMmapPages;
    a->memHugePages += b->memHugePages;
    a->memMallocBytes += b->memMallocBytes;
}

void mempool_site_merge(void *into, const void *from)
{
    auto *a = static_cast<mempool_site *>(into);
    auto *b = static_cast<const mempool_site *>(from);
    memcpy(a->memAllocFile, b->memAllocFile, sizeof(a->memAllocFile));
    a->memAllocLine = b->memAllocLine;
    a->memAllocCount += b->memAllocCount;
    a->memReleaseCount += b->memReleaseCount;
}

// Orders by the first word. A difference of two 64-bit addresses does not fit
// an int, so this compares rather than subtracts.
int mempool_compare_int(const void *a, const void *b)
{
    uintptr_t x, y;
    memcpy(&x, a, sizeof(x));
    memcpy(&y, b, sizeof(y));
    return (x > y) - (x < y);
}

int mempool_site_compare(const void *a, const void *b)
{
    auto *x = static_cast<const mempool_site *>(a);
    auto *y = static_cast<const mempool_site *>(b);
    int c = strncmp(x->memAllocFile, y->memAllocFile, sizeof(x->memAllocFile));
    if (c)
        return c;
    return (x->memAllocLine > y->memAllocLine) - (x->memAllocLine < y->memAllocLine);
}
