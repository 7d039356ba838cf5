// Lease files: an append-only log of fixed-size records per kind, one record
// per change; the later record of a client wins and an all-zero address
// deletes. The log is compacted into the live leases once it holds more than
// four records per live lease, so appends stay O(1) amortised.
//
// Crash safety: a compaction writes a temporary file beside the lease file
// (rename never crosses file systems), fsyncs it, renames it over the log and
// fsyncs the directory; a torn tail left by a crash mid-append is cut back to
// whole records at load, so later appends stay on record boundaries. Files
// are 0600: a daemon that is not root must be able to reopen what it made.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "common/log.h"
#include "common/mempool.h"
#include "common/timer.h"
#include "gateway/ugwd_table.h"

namespace {

constexpr mode_t LEASE_MODE = 0600;

// Whether a record changed since it was last written. Word-wise: the sweep
// stores every lease on each run, so this is on the hot path. Each step is a
// bijection of the running value, so a change within one word always shows.
template <class R> uint64_t fingerprint(const R &rec, bool indexed)
{
    static_assert(sizeof(R) % 8 == 0);
    uint64_t h = 1469598103934665603ull;
    const auto *p = reinterpret_cast<const uint8_t *>(&rec);
    for (size_t i = 0; i < sizeof(R); i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    }
    h ^= indexed ? 0 : 0x9e3779b97f4a7c15ull;
    return h ? h : 1;
}

uint32_t offset_sec()
{
    return static_cast<uint32_t>(clock_offset_sec);
}

bool zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

unsigned elapsed_ms(int64_t since)
{
    return static_cast<unsigned>(monotonic_ms() - since);
}

// What differs between the two kinds.
struct dhcp {
    using lease_t = ugwd_lease;
    using rec_t = ugwd_lease_rec;
    static constexpr const char *name = "DHCP";
    static constexpr const char *tmp_name = "leases";
    static ugwd_lease_file &file(ugwd_table *t) { return t->leases; }
    static multitable *by_mac(ugwd_table *t) { return t->ix.lease_by_mac; }
    static uint32_t live(ugwd_table *t) { return ugwd_table_count_leases(t); }
    static bool filed(const rec_t &) { return true; }
    static uint32_t &start(rec_t &r) { return r.start; }
    static bool has_addr(const rec_t &r) { return !zero(r.addr, 4); }
    static uint32_t duration(const rec_t &r) { return r.lease_time; }
    static bool indexed(const lease_t *l) { return cmultilink_used(&l->by_uuid); }
    static void make_deletion(rec_t &r)
    {
        memset(r.addr, 0, 4);
        r.flags &= 0x81;
    }
    static lease_t *get(ugwd_table *t, const rec_t &r) { return ugwd_table_get_lease(t, r.uuid, r.mac); }
    static int insert(ugwd_table *t, lease_t *l) { return ugwd_table_insert_lease(t, l); }
    static void remove(ugwd_table *t, lease_t *l) { ugwd_table_remove_lease(t, l); }
    static void links_init(lease_t *l) { ugwd_lease_links_init(l); }
    static void on_insert(ugwd_table *, const lease_t *) {}
    static void on_remove(ugwd_table *, const lease_t *) {}
    static void addr_text(const rec_t &r, char *out, size_t n)
    {
        snprintf(out, n, "%d.%d.%d.%d", r.addr[0], r.addr[1], r.addr[2], r.addr[3]);
    }
    static unsigned prefix(const rec_t &) { return 0; }
};

struct dhcp6 {
    using lease_t = ugwd_lease6;
    using rec_t = ugwd_lease6_rec;
    static constexpr const char *name = "DHCPv6";
    static constexpr const char *tmp_name = "leases6";
    static ugwd_lease_file &file(ugwd_table *t) { return t->leases6; }
    static multitable *by_mac(ugwd_table *t) { return t->ix.lease6_by_mac; }
    static uint32_t live(ugwd_table *t) { return t->live6; }
    static bool filed(const rec_t &r) { return r.kind == UGWD_LEASE6_DHCPV6; }
    static uint32_t &start(rec_t &r) { return r.start; }
    static bool has_addr(const rec_t &r) { return !zero(r.addr, 16); }
    static uint32_t duration(const rec_t &r) { return r.valid_lifetime; }
    static bool indexed(const lease_t *l) { return cmultilink_used(&l->by_uuid); }
    static void make_deletion(rec_t &r)
    {
        r.prefix_len = 0;
        memset(r.addr, 0, 16);
    }
    static lease_t *get(ugwd_table *t, const rec_t &r) { return ugwd_table_get_lease6(t, r.uuid, r.mac); }
    static int insert(ugwd_table *t, lease_t *l) { return ugwd_table_insert_lease6(t, l); }
    static void remove(ugwd_table *t, lease_t *l) { ugwd_table_remove_lease6(t, l); }
    static void links_init(lease_t *l) { ugwd_lease6_links_init(l); }
    static void on_insert(ugwd_table *t, const lease_t *l)
    {
        if (l->rec.kind == UGWD_LEASE6_DHCPV6)
            t->live6++;
    }
    static void on_remove(ugwd_table *t, const lease_t *l)
    {
        if (l->rec.kind == UGWD_LEASE6_DHCPV6 && t->live6)
            t->live6--;
    }
    static void addr_text(const rec_t &r, char *out, size_t n) { inet_ntop(AF_INET6, r.addr, out, static_cast<socklen_t>(n)); }
    static unsigned prefix(const rec_t &r) { return r.prefix_len; }
};

#define UGWD_MAC_FMT "%02x:%02x:%02x:%02x:%02x:%02x"
#define UGWD_MAC_ARGS(m) (m)[0], (m)[1], (m)[2], (m)[3], (m)[4], (m)[5]
#define UGWD_UUID_FMT "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x"
#define UGWD_UUID_ARGS(u)                                                                            \
    (u)[0], (u)[1], (u)[2], (u)[3], (u)[4], (u)[5], (u)[6], (u)[7], (u)[8], (u)[9], (u)[10],        \
        (u)[11], (u)[12], (u)[13], (u)[14], (u)[15]

template <class K> void log_lease(const char *verb, const typename K::rec_t &r)
{
    // Formatting the address costs more than a load step: only when it shows.
    if (!log_enabled(LOG_COMP_ALL, ULOG_DUMP))
        return;
    char a[INET6_ADDRSTRLEN];
    K::addr_text(r, a, sizeof a);
    if constexpr (std::is_same_v<K, dhcp>)
        ulog(LOG_COMP_ALL, ULOG_DUMP, "%s DHCP lease %s for client " UGWD_MAC_FMT " on service " UGWD_UUID_FMT,
             verb, a, UGWD_MAC_ARGS(r.mac), UGWD_UUID_ARGS(r.uuid));
    else
        ulog(LOG_COMP_ALL, ULOG_DUMP, "%s DHCPv6 lease %s/%u for client " UGWD_MAC_FMT " on service " UGWD_UUID_FMT,
             verb, a, K::prefix(r), UGWD_MAC_ARGS(r.mac), UGWD_UUID_ARGS(r.uuid));
}

int write_all(int fd, const void *buf, size_t n)
{
    const auto *p = static_cast<const uint8_t *>(buf);
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

std::string dir_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (!slash)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

template <class K> int compare_start_of(const void *a, const void *b)
{
    uint32_t x = static_cast<const typename K::lease_t *>(a)->rec.start;
    uint32_t y = static_cast<const typename K::lease_t *>(b)->rec.start;
    return x < y ? -1 : x > y;
}

// Records gathered per write during a compaction. Each write also costs a
// file time update and a journal handle, which at 128 KiB added over half
// again to the copying; at 1 MiB they vanish, and a chunk is still worth
// sending to the disk on its own.
constexpr size_t DUMP_CHUNK = 1024 * 1024;

// The leases lie in the pool in load order and the walk visits them in hash
// order: read one by one, each is a cache miss waiting on the one before. So
// the walk runs in two stages over batches. The first gathers the first
// records of each MAC from the bucket array, reading each bucket once into a
// small ring of heads whose records it fetches well before it follows them,
// and fetching the second link of a chain some heads ahead. The second copies
// the gathered leases, fetching each whole lease some places ahead.
constexpr size_t DUMP_BATCH = 2048;
constexpr uint32_t DUMP_HEADS = 32;       // ring of bucket heads, a power of two
constexpr uint32_t DUMP_HEAD_AHEAD = 24;  // heads
constexpr uint32_t DUMP_CHAIN_AHEAD = 12; // heads
constexpr size_t DUMP_LEASE_AHEAD = 16;   // leases
static_assert(DUMP_CHAIN_AHEAD < DUMP_HEAD_AHEAD && DUMP_HEAD_AHEAD <= DUMP_HEADS);

// Every line of the lease: fetching only those the copy reads measured slower.
template <class L> void prefetch_lease(const L *l)
{
    const auto *b = reinterpret_cast<const char *>(l);
    for (size_t at = 0; at < sizeof(L); at += 64)
        __builtin_prefetch(b + at);
    __builtin_prefetch(b + sizeof(L) - 1);
}

// The first records of a multitable in walk order, a batch at a time. The
// table must not change between batches but for a key's first record
// giving its place to another of the key (a sort), and only for a key
// already gathered: the ring holds the heads of buckets not yet reached.
class first_records
{
  public:
    explicit first_records(multitable *mt) : mt_(mt), end_(multitable_positions(mt)) {}

    // Up to n first records into out; 0 at the end.
    size_t gather(multilink **out, size_t n)
    {
        size_t k = 0;
        while (k < n) {
            if (next_) {
                out[k++] = next_;
                next_ = multitable_bucket_next(next_);
                continue;
            }
            while (found_ - taken_ < DUMP_HEAD_AHEAD && pos_ < end_)
                if (multilink *h = multitable_at(mt_, pos_++)) {
                    __builtin_prefetch(h);
                    heads_[found_++ % DUMP_HEADS] = h;
                }
            if (taken_ == found_) break;
            if (found_ - taken_ > DUMP_CHAIN_AHEAD) {
                multilink *ahead = heads_[(taken_ + DUMP_CHAIN_AHEAD) % DUMP_HEADS];
                if (multilink *second = multitable_bucket_next(ahead)) __builtin_prefetch(second);
            }
            next_ = heads_[taken_++ % DUMP_HEADS];
        }
        return k;
    }

  private:
    multitable *mt_;
    uint32_t end_;
    uint32_t pos_ = 0;          // next bucket to read
    uint32_t found_ = 0;        // heads read so far
    uint32_t taken_ = 0;        // heads gathered so far
    multilink *heads_[DUMP_HEADS] = {};
    multilink *next_ = nullptr; // the rest of the bucket being gathered
};

// Starts the disk on a chunk just written, so that it writes while the walk
// formats the next and the fsync at the end waits for the last chunk only.
// Advisory: the fsync still decides.
void start_writeback(int fd, off_t at, size_t n)
{
    sync_file_range(fd, at, static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
}

template <class K> int dump(ugwd_table *t)
{
    ugwd_lease_file &f = K::file(t);
    int64_t begin = monotonic_ms();
    uint32_t n = K::live(t);
    if (!f.path || n == 0)
        return 0;
    if (f.fd >= 0) {
        close(f.fd);
        f.fd = -1;
    }
    using rec_t = typename K::rec_t;
    std::string tmp = dir_of(f.path) + "/" + K::tmp_name + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to create temporary file: %s", strerror(errno));
        return -1;
    }
    fchmod(fd, LEASE_MODE);
    constexpr size_t cap = DUMP_CHUNK / sizeof(rec_t);
    auto *buf = static_cast<rec_t *>(malloc(cap * sizeof(rec_t)));
    size_t pos = 0, fill = 0;
    off_t done = 0; // bytes written so far
    auto fail = [&](const char *fmt, const char *arg) {
        int e = errno;
        if (arg)
            ulog(LOG_COMP_ALL, ULOG_DEBUG, fmt, arg, strerror(e));
        else
            ulog(LOG_COMP_ALL, ULOG_DEBUG, fmt, strerror(e));
        free(buf);
        if (fd >= 0)
            close(fd);
        unlink(tmp.c_str());
        errno = e;
        return -1;
    };
    if (!buf)
        return fail("Failed to resize temporary file: %s", nullptr);
    uint32_t off = offset_sec();
    multitable *mt = K::by_mac(t);
    // Each MAC's leases are sorted by start as the walk reaches the key, then
    // written in that order. Count while walking: the live count is a figure
    // kept beside the index.
    first_records walk(mt);
    multilink *firsts[DUMP_BATCH];
    while (size_t k = walk.gather(firsts, DUMP_BATCH)) {
        for (size_t i = 0; i < k; i++) {
            if (i + DUMP_LEASE_AHEAD < k)
                prefetch_lease(multitable_entry(firsts[i + DUMP_LEASE_AHEAD], &K::lease_t::by_mac));
            multilink *first = cmultitable_sort_key(mt, firsts[i], compare_start_of<K>);
            for (multilink *m = first; m; m = multitable_key_next(first, m)) {
                auto *l = multitable_entry(m, &K::lease_t::by_mac);
                if (!K::filed(l->rec)) continue;
                if (fill == cap) {
                    if (write_all(fd, buf, fill * sizeof(rec_t)) < 0)
                        return fail("Failed to regenerate %s: %s", f.path);
                    start_writeback(fd, done, fill * sizeof(rec_t));
                    done += static_cast<off_t>(fill * sizeof(rec_t));
                    fill = 0;
                }
                buf[fill] = l->rec;
                K::start(buf[fill]) += off;
                // Stored leases hold their fingerprint already: leave their
                // lines clean rather than write the same value back.
                uint64_t fp = fingerprint(l->rec, true);
                if (l->written != fp)
                    l->written = fp;
                fill++;
                pos++;
            }
        }
    }
    if (write_all(fd, buf, fill * sizeof(rec_t)) < 0 || fsync(fd) < 0)
        return fail("Failed to regenerate %s: %s", f.path);
    free(buf);
    buf = nullptr;
    int rc = close(fd);
    fd = -1;
    if (rc < 0)
        return fail("Failed to regenerate %s: %s", f.path);
    if (rename(tmp.c_str(), f.path) < 0)
        return fail("Failed to regenerate %s: %s", f.path);
    // The rename itself must reach the disk before the log is trusted.
    int dfd = open(dir_of(f.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    f.records = static_cast<uint32_t>(pos);
    unsigned ms = elapsed_ms(begin);
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Regenerated %s leases file %s with %zu entries in %u.%02us", K::name,
         f.path, pos, ms / 1000, ms % 1000 / 10);
    return 0;
}

template <class K> int write_one(ugwd_table *t, typename K::lease_t *l)
{
    ugwd_lease_file &f = K::file(t);
    typename K::rec_t r = l->rec;
    if (!f.path || !K::filed(r))
        return 0;
    bool indexed = K::indexed(l);
    uint64_t fp = fingerprint(l->rec, indexed);
    if (fp == l->written)
        return 0;
    if (f.fd < 0) {
        f.fd = open(f.path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, LEASE_MODE);
        if (f.fd < 0) {
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to open %s: %s", f.path, strerror(errno));
            return -1;
        }
    }
    K::start(r) += offset_sec();
    if (!indexed)
        K::make_deletion(r);
    if (write_all(f.fd, &r, sizeof r) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to write %s lease to %s: %s", K::name, f.path, strerror(errno));
        return -1;
    }
    l->written = fp;
    log_lease<K>("Wrote", r);
    uint32_t n = f.records++;
    if (4 * static_cast<uint64_t>(K::live(t)) < n)
        return dump<K>(t);
    return 0;
}

template <class K> int store(ugwd_table *t, typename K::lease_t *l)
{
    if (!K::indexed(l)) {
        if (K::insert(t, l) < 0)
            return -1;
        K::on_insert(t, l);
    }
    return write_one<K>(t, l);
}

template <class K> int drop(ugwd_table *t, typename K::lease_t *l)
{
    if (!K::indexed(l))
        return 0;
    K::remove(t, l);
    K::on_remove(t, l);
    return write_one<K>(t, l);
}

template <class K> void forget(ugwd_table *t, mempool *pool, typename K::lease_t *l)
{
    K::remove(t, l);
    K::on_remove(t, l);
    list_remove(&l->link);
    mempool_release(pool, l);
}

template <class K> int load(ugwd_table *t, const char *path, mempool *pool, list_link *head)
{
    using rec_t = typename K::rec_t;
    using lease_t = typename K::lease_t;
    int64_t begin = monotonic_ms();
    // The cached clock may be seconds old; records written since by another
    // process would look as if they started in the future.
    clock_refresh_offset();
    uint32_t now = clock_sec();
    if (ugwd_table_count_flows(t)) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Flow table not empty");
        return -1;
    }
    ugwd_lease_file &f = K::file(t);
    if (&f == &t->leases)
        ugwd_table_close_leases(t);
    else
        ugwd_table_close_leases6(t);
    struct stat st;
    if (stat(path, &st) < 0) {
        if (errno != ENOENT) {
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to stat %s: %s", path, strerror(errno));
            return -1;
        }
        f.path = strdup(path);
        return f.path ? 0 : -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to open %s: %s", path, strerror(errno));
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    size_t count = size / sizeof(rec_t);
    // A torn tail from a crash mid-append: cut it, or every later append would
    // start off a record boundary.
    if (size % sizeof(rec_t) && truncate(path, static_cast<off_t>(count * sizeof(rec_t))) < 0) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to truncate %s: %s", path, strerror(errno));
        close(fd);
        return -1;
    }
    const uint8_t *map = nullptr;
    if (count) {
        void *m = mmap(nullptr, count * sizeof(rec_t), PROT_READ, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) {
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to map %s: %s", path, strerror(errno));
            close(fd);
            return -1;
        }
        madvise(m, count * sizeof(rec_t), MADV_SEQUENTIAL);
        map = static_cast<const uint8_t *>(m);
    }
    uint32_t off = offset_sec();
    for (size_t i = 0; i < count; i++) {
        rec_t r;
        memcpy(&r, map + i * sizeof(rec_t), sizeof r);
        while (lease_t *old = K::get(t, r))
            forget<K>(t, pool, old);
        uint32_t file_start = K::start(r);
        K::start(r) -= off;
        reinterpret_cast<char *>(&r)[UGWD_LEASE_HOSTNAME_END] = 0;
        // A start in the future (the wall clock was set back since) counts
        // as starting now: not expired, and held no longer than its duration.
        auto elapsed = static_cast<int32_t>((now + off) - file_start);
        if (elapsed < 0) {
            K::start(r) = now;
            elapsed = 0;
        }
        if (K::has_addr(r) && static_cast<uint32_t>(elapsed) < K::duration(r)) {
            if constexpr (std::is_same_v<K, dhcp6>) {
                // An address held by two clients goes to the later record.
                if (lease_t *holder = ugwd_table_get_lease6_by_ip6(t, r.addr))
                    forget<K>(t, pool, holder);
            }
            // Zeroed: what follows the file record (snooping state, sort keys) starts clean.
            auto *l = static_cast<lease_t *>(mempool_zalloc(pool));
            if (!l) {
                ulog(LOG_COMP_ALL, ULOG_DEBUG, "Out of buffer space");
            } else {
                l->rec = r;
                K::links_init(l);
                list_append(head, &l->link);
                if (K::insert(t, l) < 0) {
                    list_remove(&l->link);
                    mempool_release(pool, l);
                } else {
                    K::on_insert(t, l);
                    l->written = fingerprint(l->rec, true);
                    log_lease<K>("Loading", r);
                }
            }
        } else {
            ulog(LOG_COMP_ALL, ULOG_DUMP, "Purging expired %s lease for client " UGWD_MAC_FMT, K::name,
                 UGWD_MAC_ARGS(r.mac));
        }
    }
    if (map)
        munmap(const_cast<uint8_t *>(map), count * sizeof(rec_t));
    close(fd);
    clock_refresh_offset();
    f.records = static_cast<uint32_t>(count);
    f.path = strdup(path);
    unsigned ms = elapsed_ms(begin);
    ulog(LOG_COMP_ALL, ULOG_DEBUG, "Loaded %zu %s leases from file %s in %u.%02us", count, K::name, path,
         ms / 1000, ms % 1000 / 10);
    return f.path ? 0 : -1;
}

} // namespace

int ugwd_table_load_leases(ugwd_table *t, const char *path, mempool *pool, list_link *head)
{
    return load<dhcp>(t, path, pool, head);
}

int ugwd_table_load_leases6(ugwd_table *t, const char *path, mempool *pool, list_link *head)
{
    return load<dhcp6>(t, path, pool, head);
}

int ugwd_table_dump_leases(ugwd_table *t)
{
    return dump<dhcp>(t);
}

int ugwd_table_dump_leases6(ugwd_table *t)
{
    return dump<dhcp6>(t);
}

int ugwd_table_store_lease(ugwd_table *t, ugwd_lease *l)
{
    return store<dhcp>(t, l);
}

int ugwd_table_drop_lease(ugwd_table *t, ugwd_lease *l)
{
    return drop<dhcp>(t, l);
}

int ugwd_table_store_lease6(ugwd_table *t, ugwd_lease6 *l)
{
    return store<dhcp6>(t, l);
}

int ugwd_table_drop_lease6(ugwd_table *t, ugwd_lease6 *l)
{
    return drop<dhcp6>(t, l);
}

int ugwd_table_write_lease(ugwd_table *t, ugwd_lease *l)
{
    return write_one<dhcp>(t, l);
}

int ugwd_table_write_lease6(ugwd_table *t, ugwd_lease6 *l)
{
    return write_one<dhcp6>(t, l);
}
