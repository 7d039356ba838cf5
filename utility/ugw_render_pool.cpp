#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "common/strings.h"
#include "utility/ugw_format.h"
#include "utility/ugw_render_list.h"

namespace
{

// The pool's name as safe text: 32 bytes, not always terminated.
char *pool_name(char out[40], const char *name, size_t max)
{
    return format_text(out, 40, name, max);
}

const char *mode_word(uint32_t options)
{
    if ((options & (MEMPOOL_OPT_MMAP | MEMPOOL_OPT_HUGEPAGES)) ==
        (MEMPOOL_OPT_MMAP | MEMPOOL_OPT_HUGEPAGES))
        return "huge";
    return options & MEMPOOL_OPT_MMAP ? "mmap" : "mall";
}

char mode_marker(uint32_t options)
{
    if (options & MEMPOOL_OPT_SHARED) return '@';
    return options & MEMPOOL_OPT_STATIC ? ' ' : '+';
}

template <class T> int text_rows(const ugw_render_args *a, const mempool_info *pool)
{
    if (!ugw_rows_fit(a, sizeof(T))) return -1;
    char line[160];
    if constexpr (std::is_same_v<T, mempool_info>)
        puts(render_text_mempool_row(nullptr, line, sizeof line));
    else
        puts(render_text_alloc_row(nullptr, nullptr, line, sizeof line));
    ugw_list_rule(stdout);
    if (ugw_each_row<T>(a, [&](const T &r) {
            if constexpr (std::is_same_v<T, mempool_info>)
                puts(render_text_mempool_row(&r, line, sizeof line));
            else
                puts(render_text_alloc_row(pool, &r, line, sizeof line));
        }) < 0)
        return -1;
    return ugw_list_done();
}

} // namespace

bool ugw_rows_fit(const ugw_render_args *a, size_t size)
{
    if (a->count && (!a->rows || a->row_size < size)) {
        errno = EPROTO;
        return false;
    }
    return true;
}

int ugw_list_done()
{
    if (ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

int ugw_json_done(json_writer *json)
{
    if (json_flush(json) < 0 || ferror(stdout)) {
        if (!errno) errno = EIO;
        return -1;
    }
    return 0;
}

char *ugw_list_bytes(char out[16], uint64_t value)
{
    char units[8];
    string_format_bytes(value, 0, units, sizeof units);
    snprintf(out, 16, "%sB", units);
    return out;
}

uint64_t ugw_pool_load(uint64_t used, uint64_t total)
{
    return total ? (total / 2 + used * 100) / total : 0;
}

uint64_t ugw_site_bytes(const mempool_info *pool, const mempool_site *site)
{
    // The counters wrap together; their difference is the live count.
    uint32_t live = site->memAllocCount - site->memReleaseCount;
    return uint64_t{live} * pool->memObjectSize;
}

char *render_text_mempool_row(const mempool_info *pool, char *line, size_t size)
{
    if (!pool) {
        string_lcpy(
            line,
            "Name                            Mode   Size   Block Capacity  Alloc   Usage Load",
            size);
        return line;
    }
    char name[40], block[16], capacity[16], usage[16], load[16] = "- ";
    uint64_t used = pool->memUsedObjects;
    if (pool->memTotalObjects)
        snprintf(load, sizeof load, "%llu%%",
                 static_cast<unsigned long long>(ugw_pool_load(used, pool->memTotalObjects)));
    snprintf(line, size, "%-31.31s %4s%c %5zu %7s  %7s %6zu %7s %4s",
             pool_name(name, pool->memName, sizeof pool->memName), mode_word(pool->memOptions),
             mode_marker(pool->memOptions), size_t{pool->memObjectSize},
             ugw_list_bytes(block, pool->memBlockSize), ugw_list_bytes(capacity, pool->memPoolSize),
             size_t{pool->memUsedObjects}, ugw_list_bytes(usage, used * pool->memObjectSize), load);
    return line;
}

char *render_text_alloc_row(const mempool_info *pool, const mempool_site *site, char *line,
                            size_t size)
{
    if (!pool || !site) {
        string_lcpy(
            line,
            "File                                         Line    # Total    # Alloc   Memory",
            size);
        return line;
    }
    char file[40], memory[16];
    uint32_t live = site->memAllocCount - site->memReleaseCount;
    snprintf(line, size, "%-42s %6zu %10zu %10zu  %7s", pool_name(file, site->memAllocFile, 31),
             size_t{site->memAllocLine}, size_t{site->memAllocCount}, size_t{live},
             ugw_list_bytes(memory, ugw_site_bytes(pool, site)));
    return line;
}

void render_text_mempool(FILE *out, const mempool_info *pool)
{
    char name[40];
    fprintf(out, "%20s: %s\n", "Name", pool_name(name, pool->memName, sizeof pool->memName));
    uint32_t o = pool->memOptions;
    fprintf(out, "%20s: %s%s%s%s\n", "Options", o & MEMPOOL_OPT_MMAP ? "mmap " : "",
            o & MEMPOOL_OPT_HUGEPAGES ? "hugepages " : "", o & MEMPOOL_OPT_STATIC ? "static " : "",
            o & MEMPOOL_OPT_TRACK ? "track " : "");
    const struct {
        const char *label;
        uint32_t value;
    } lines[] = {
        {"Object Size", pool->memObjectSize},     {"Block Size", pool->memBlockSize},
        {"Pool Size", pool->memPoolSize},         {"Page Size", pool->memPageSize},
        {"Hugepage Size", pool->memHugeSize},     {"Block Objects", pool->memBlockObjects},
        {"Total Objects", pool->memTotalObjects}, {"Used Objects", pool->memUsedObjects},
        {"Mapped Pages", pool->memMmapPages},     {"Mapped Hugepages", pool->memHugePages},
        {"Malloc Bytes", pool->memMallocBytes},
    };
    for (const auto &l : lines)
        fprintf(out, "%20s: %zu\n", l.label, size_t{l.value});
}

void render_json_mempool(json_writer *json, const mempool_info *pool)
{
    json_open_object(json);
    json_key(json, nullptr, "memName");
    json_string(json, pool->memName, sizeof pool->memName);
    json_key(json, nullptr, "memOptions");
    json_open_array(json);
    constexpr size_t names = sizeof mempool_option_names / sizeof mempool_option_names[0];
    for (unsigned bit = 0; bit < 32; bit++) {
        if (!(pool->memOptions >> bit & 1)) continue;
        if (bit < names)
            json_string(json, mempool_option_names[bit], -1);
        else
            json_null(json);
    }
    json_close(json);
    const struct {
        const char *key;
        uint32_t value;
    } numbers[] = {
        {"memObjectSize", pool->memObjectSize},     {"memBlockSize", pool->memBlockSize},
        {"memPoolSize", pool->memPoolSize},         {"memPageSize", pool->memPageSize},
        {"memHugeSize", pool->memHugeSize},         {"memBlockObjects", pool->memBlockObjects},
        {"memTotalObjects", pool->memTotalObjects}, {"memUsedObjects", pool->memUsedObjects},
        {"memMmapPages", pool->memMmapPages},       {"memHugePages", pool->memHugePages},
        {"memMallocBytes", pool->memMallocBytes},
    };
    for (const auto &n : numbers)
        json_member_uint(json, n.key, n.value);
    json_close(json);
}

void render_json_alloc_row(json_writer *json, const mempool_site *site)
{
    json_open_object(json);
    json_key(json, nullptr, "memAllocFile");
    json_string(json, site->memAllocFile, sizeof site->memAllocFile);
    json_member_uint(json, "memAllocLine", site->memAllocLine);
    json_member_uint(json, "memAllocCount", site->memAllocCount);
    json_member_uint(json, "memReleaseCount", site->memReleaseCount);
    json_close(json);
}

int ugw_text_pools(const ugw_render_args *a, const ugw_renderer_row *)
{
    return text_rows<mempool_info>(a, nullptr);
}

int ugw_text_pool(const ugw_render_args *a, const ugw_renderer_row *)
{
    mempool_info pool;
    if (!ugw_take_record(a, &pool)) return -1;
    render_text_mempool(stdout, &pool);
    return ugw_list_done();
}

int ugw_text_allocs(const ugw_render_args *a, const ugw_renderer_row *)
{
    mempool_info pool;
    if (!ugw_take_record(a, &pool)) return -1;
    return text_rows<mempool_site>(a, &pool);
}

int ugw_short_pools(const ugw_render_args *a, const ugw_renderer_row *)
{
    char name[40];
    if (ugw_each_row<mempool_info>(a, [&](const mempool_info &r) {
            puts(pool_name(name, r.memName, sizeof r.memName));
        }) < 0)
        return -1;
    return ugw_list_done();
}

int ugw_short_pool(const ugw_render_args *a, const ugw_renderer_row *)
{
    mempool_info pool;
    if (!ugw_take_record(a, &pool)) return -1;
    char name[40];
    puts(pool_name(name, pool.memName, sizeof pool.memName));
    return ugw_list_done();
}

int ugw_short_allocs(const ugw_render_args *a, const ugw_renderer_row *)
{
    mempool_info pool;
    if (!ugw_take_record(a, &pool)) return -1;
    char file[40];
    if (ugw_each_row<mempool_site>(a, [&](const mempool_site &r) {
            printf("%s:%zu: %llu\n", pool_name(file, r.memAllocFile, sizeof r.memAllocFile),
                   size_t{r.memAllocLine},
                   static_cast<unsigned long long>(ugw_site_bytes(&pool, &r)));
        }) < 0)
        return -1;
    return ugw_list_done();
}

int ugw_json_pools(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<mempool_info>(
            a, [&](const mempool_info &r) { render_json_mempool(&json, &r); }) < 0)
        return -1;
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_pool(const ugw_render_args *a, const ugw_renderer_row *)
{
    mempool_info pool;
    if (!ugw_take_record(a, &pool)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "ulmexMempool");
    render_json_mempool(&json, &pool);
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_allocs(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<mempool_site>(
            a, [&](const mempool_site &r) { render_json_alloc_row(&json, &r); }) < 0)
        return -1;
    json_close(&json);
    return ugw_json_done(&json);
}
