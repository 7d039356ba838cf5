#include "utility/shmdb.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <bit>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/log.h"
#include "common/strings.h"
#include "utility/ugw_support.h"

thread_local bool shmdb_quiet;

namespace
{

struct geometry {
    uint32_t q, b; // current and other half's slots
    int current;
    unsigned exponent;
};

int decode_state(uint64_t state, geometry *g)
{
    unsigned s = static_cast<unsigned>(state >> SHMDB_STATE_EXP_SHIFT) & SHMDB_STATE_EXP_MASK;
    bool half = state & SHMDB_STATE_HALF;
    uint64_t b = 1ull << s;
    uint64_t q = half && (state & SHMDB_STATE_DOUBLED) ? 2 * b : b;
    if (q > SHMDB_MAX_SIZE) {
        errno = EINVAL;
        return -1;
    }
    *g = {static_cast<uint32_t>(q), static_cast<uint32_t>(b), half ? 1 : 0, s};
    return 0;
}

uint64_t load_state(const shmdb_handle *h)
{
    return __atomic_load_n(reinterpret_cast<const uint64_t *>(h->base + SHMDB_HDR_STATE),
                           __ATOMIC_ACQUIRE);
}

uint32_t load_u32(const shmdb_handle *h, size_t offset)
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(h->base + offset), __ATOMIC_RELAXED);
}

bool power_of_two(uint64_t n)
{
    return n && !(n & (n - 1));
}

void short_pause()
{
    timespec ts{0, 1000000};
    nanosleep(&ts, nullptr);
}

// A SIGBUS inside a guarded read (the object shrank under the mapping) puts a
// zero page in place of the lost one and marks the handle: the read goes on,
// sees empty slots, and the guard turns the result into an error. Jumping out
// of the handler instead would cost a sigsetjmp per lookup. Any other SIGBUS
// goes to the action that was there before.
thread_local shmdb_handle *bus_active;
struct sigaction bus_previous;
uintptr_t bus_page;

size_t mapped_bytes(const shmdb_handle *h)
{
    return h->header + 16ull * h->size;
}

void on_bus(int, siginfo_t *info, void *)
{
    shmdb_handle *h = bus_active;
    auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    auto base = reinterpret_cast<uintptr_t>(h ? h->base : nullptr);
    if (base && at >= base && at - base < mapped_bytes(h)) {
        void *page = reinterpret_cast<void *>(at & ~(bus_page - 1));
        if (mmap(page, bus_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
            MAP_FAILED) {
            h->bus_fault = true;
            return;
        }
    }
    // Returning faults again, now under the previous action.
    sigaction(SIGBUS, &bus_previous, nullptr);
}

void bus_install()
{
    static const bool installed = [] {
        bus_page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        struct sigaction sa = {};
        sa.sa_sigaction = on_bus;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        return sigaction(SIGBUS, &sa, &bus_previous) == 0;
    }();
    (void)installed;
}

// A mapping that lost pages is mapped again when the object has its size
// back; until then every read fails.
int bus_repair(shmdb_handle *h);

// Once per failed call: a nested guard leaves the line to the outer one.
template <class T> T shrank(shmdb_handle *h, T failed)
{
    if (bus_active != h) {
        char shown[80];
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Shared memory object %s shrank while reading",
             shmdb_display_name(h->name, h->unit, shown, sizeof(shown)));
    }
    errno = EIO;
    return failed;
}

template <class T, class F> T guarded(shmdb_handle *h, T failed, F body)
{
    if (__builtin_expect(h->bus_fault, 0) && bus_repair(h) < 0) return shrank(h, failed);
    shmdb_handle *outer = bus_active;
    bus_active = h;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    T result = body();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    bus_active = outer;
    if (__builtin_expect(h->bus_fault, 0)) return shrank(h, failed);
    return result;
}

uint64_t load_slot(const uint64_t *half, uint32_t i)
{
    return __atomic_load_n(half + i, __ATOMIC_RELAXED);
}

// Triangular probe of one half: the slot index holding key, or -1. Inlined
// into the lookup: a short path lets the CPU overlap the misses of
// consecutive lookups.
[[gnu::always_inline]] inline int64_t probe(const shmdb_handle *h, const uint64_t *half, uint32_t n,
                                            uint32_t hash, uint64_t key, uint64_t *value)
{
    uint32_t mask = n - 1;
    uint32_t i = hash & mask;
    for (uint32_t step = 0; step < n; step++) {
        uint64_t slot = load_slot(half, i);
        if (!slot) return -1;
        if ((slot & h->key_mask) == key) {
            if (value) *value = slot >> h->key_bits;
            return i;
        }
        i = (i + step + 1) & mask;
    }
    return -1;
}

void key_bytes(uint64_t key, uint8_t out[6])
{
    for (int i = 0; i < 6; i++)
        out[i] = static_cast<uint8_t>(key >> (40 - 8 * i));
}

bool seen_insert(shmdb_handle *h, uint64_t key)
{
    if (h->seen.empty() || (h->seen_count + 1) * 2 > h->seen.size()) {
        std::vector<uint64_t> old;
        old.swap(h->seen);
        h->seen.assign(old.empty() ? 1024 : old.size() * 2, 0);
        h->seen_count = 0;
        for (uint64_t k : old)
            if (k) seen_insert(h, k);
    }
    size_t mask = h->seen.size() - 1;
    for (size_t i = (key * 0x9E3779B97F4A7C15ull) >> 20 & mask;; i = (i + 1) & mask) {
        if (h->seen[i] == key) return false;
        if (!h->seen[i]) {
            h->seen[i] = key;
            h->seen_count++;
            return true;
        }
    }
}

void unmap(shmdb_handle *h)
{
    if (h->base) munmap(h->base, mapped_bytes(h));
    h->base = nullptr;
}

int read_seed(shmdb_handle *h)
{
    for (unsigned round = 0; round < SHMDB_RETRIES; round++) {
        uint32_t seed = __atomic_load_n(
            reinterpret_cast<const uint32_t *>(h->base + SHMDB_HDR_SEED), __ATOMIC_ACQUIRE);
        if (seed) {
            h->seed = seed;
            return 0;
        }
        short_pause();
    }
    errno = EAGAIN;
    return -1;
}

int map_at(shmdb_handle *h, uint32_t size, bool first)
{
    char shown[80];
    shmdb_display_name(h->name, h->unit, shown, sizeof(shown));
    size_t bytes = h->header + 16ull * size;
    void *p = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, h->fd, 0);
    if (p == MAP_FAILED) {
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Failed to map shared memory object %s: %s", shown,
             strerror(errno));
        return -1;
    }
    if (log_enabled(LOG_COMP_UCLIENT, ULOG_DUMP)) {
        char human[32];
        ulog_emit(ULOG_DUMP, "%cDB %s: %sapped shared memory to %sB", h->kind, shown,
                  first ? "M" : "Re-m", string_format_bytes(bytes, 0, human, sizeof(human)));
    }
    unmap(h);
    h->view_valid = false;
    h->bus_fault = false;
    h->base = static_cast<uint8_t *>(p);
    h->size = size;
    h->half[0] = reinterpret_cast<const uint64_t *>(h->base + h->header);
    h->half[1] = h->half[0] + size;
    return 0;
}

int bus_repair(shmdb_handle *h)
{
    struct stat st;
    if (fstat(h->fd, &st) < 0 || static_cast<uint64_t>(st.st_size) < mapped_bytes(h)) return -1;
    return map_at(h, h->size, false);
}

// Reads the state word, remapping while it gives a size other than the mapping's.
int current_geometry(shmdb_handle *h, uint64_t *state, geometry *g)
{
    for (unsigned round = 0; round <= SHMDB_RETRIES; round++) {
        *state = load_state(h);
        if (decode_state(*state, g) < 0) return -1;
        if (g->q == h->size) return 0;
        if (round == SHMDB_RETRIES || shmdb_remap(h, 0) < 0) break;
    }
    if (errno != EINVAL && errno != EIO) errno = EAGAIN;
    return -1;
}

int64_t lookup_key(shmdb_handle *h, uint64_t key, uint64_t *value)
{
    uint32_t hash = shmdb_hash(h->seed, key, h->key_bits);
    for (unsigned round = 0; round <= SHMDB_RETRIES; round++) {
        uint64_t state = load_state(h);
        if (__builtin_expect(!h->view_valid || state != h->view_state, 0)) {
            geometry g;
            if (current_geometry(h, &state, &g) < 0) return -1;
            h->view_state = state;
            h->view_current = h->half[g.current];
            h->view_other = h->half[!g.current];
            h->view_q = g.q;
            h->view_b = g.b;
            h->view_valid = true;
        }
        const uint64_t *other = h->view_other;
        uint32_t q = h->view_q, b = h->view_b;
        // A miss reads the other half too: start that read now, alongside.
        __builtin_prefetch(other + (hash & (b - 1)));
        int64_t i = probe(h, h->view_current, q, hash, key, value);
        if (i >= 0) return i;
        i = probe(h, other, b, hash, key, value);
        if (i >= 0) return q + i;
        // A miss counts only when the halves did not change places meanwhile;
        // the fence keeps the slot reads before this one.
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (load_state(h) == state) {
            errno = ENOENT;
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

int64_t next_slot(shmdb_handle *h, int64_t index, uint8_t key[6], uint64_t *value)
{
    if (index < 0) {
        errno = EINVAL;
        return -1;
    }
    uint64_t state;
    geometry g;
    if (current_geometry(h, &state, &g) < 0) return -1;
    if (index == 0) {
        h->pass_state = state;
        h->pass_restarts = 0;
        std::fill(h->seen.begin(), h->seen.end(), 0);
        h->seen_count = 0;
    }
    for (;;) {
        if (state != h->pass_state) {
            // Entries may have moved behind us: start over, skipping what was reported.
            if (++h->pass_restarts > SHMDB_RETRIES) {
                errno = EAGAIN;
                return -1;
            }
            h->pass_state = state;
            index = 0;
        }
        uint64_t total = uint64_t{g.q} + g.b;
        for (uint64_t i = static_cast<uint64_t>(index); i < total; i++) {
            bool other = i >= g.q;
            const uint64_t *half = h->half[other ? !g.current : g.current];
            uint32_t at = static_cast<uint32_t>(other ? i - g.q : i);
            uint64_t slot = load_slot(half, at);
            uint64_t k = slot & h->key_mask;
            if (!k) // empty, or a slot that can hold no key
                continue;
            uint64_t v;
            uint32_t hash = shmdb_hash(h->seed, k, h->key_bits);
            if (probe(h, half, other ? g.b : g.q, hash, k, &v) != at) continue;
            if (!seen_insert(h, k)) continue;
            key_bytes(k, key);
            if (value) *value = v;
            return static_cast<int64_t>(i + 1);
        }
        uint64_t now;
        if (current_geometry(h, &now, &g) < 0) return -1;
        if (now == h->pass_state) {
            errno = 0;
            return -1;
        }
        state = now;
    }
}

} // namespace

size_t shmdb_header_size()
{
    long line = cache_line_size();
    if (line < 0) line = 64;
    // The header's fields take 28 bytes; slots stay 8-byte aligned.
    size_t h = static_cast<size_t>(std::max<long>(line, SHMDB_HDR_MIN));
    return (h + 7) & ~size_t{7};
}

const char *shmdb_dir()
{
    static std::string dir;
    const char *env = getenv("SHMDIR");
    dir = env && *env ? env : "/dev/shm/";
    if (dir.back() != '/') dir += '/';
    return dir.c_str();
}

uint64_t shmdb_key(const uint8_t key[6], uint32_t key_bits)
{
    // Most significant byte first, read as two words: a short path per lookup.
    uint32_t high;
    uint16_t low;
    memcpy(&high, key, 4);
    memcpy(&low, key + 4, 2);
    if constexpr (std::endian::native == std::endian::little) {
        high = __builtin_bswap32(high);
        low = __builtin_bswap16(low);
    }
    uint64_t k = uint64_t{high} << 16 | low;
    uint64_t mask = (1ull << key_bits) - 1;
    k &= mask;
    return k ? k : mask;
}

uint32_t shmdb_hash(uint32_t seed, uint64_t key, uint32_t key_bits)
{
    (void)key_bits; // the key is already cut to its bits
    auto f = [](uint32_t x) {
        uint64_t p = uint64_t{x} * 0x9E3779B9u;
        return static_cast<uint32_t>(p >> 32) + static_cast<uint32_t>(p);
    };
    return seed + f(static_cast<uint32_t>(key)) + f(static_cast<uint32_t>(key >> 32));
}

int shmdb_check_name(const char *name)
{
    size_t n = strlen(name);
    if (n == 0 || n > 15 || name[0] == '.' || strchr(name, '/')) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

char *shmdb_display_name(const char *name, int unit, char *buffer, size_t size)
{
    if (unit >= 0)
        snprintf(buffer, size, "%s:%u", name, static_cast<unsigned>(unit));
    else
        snprintf(buffer, size, "%s", name);
    return buffer;
}

int shmdb_init(shmdb_handle *h, const char *name, int unit, uint32_t size, uint32_t key_bits,
               char kind)
{
    bus_install();
    *h = shmdb_handle{};
    h->fd = -1;
    h->unit = unit;
    h->kind = kind;
    h->header = shmdb_header_size();
    char shown[80];
    shmdb_display_name(name, unit, shown, sizeof(shown));
    if (shmdb_check_name(name) < 0 || strlen(name) >= sizeof(h->name)) {
        errno = EINVAL;
        if (!shmdb_quiet)
            ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Failed to open shared memory object %s: %s", shown,
                 strerror(EINVAL));
        errno = EINVAL;
        return -1;
    }
    string_lcpy(h->name, name, sizeof(h->name));
    std::string path = std::string(shmdb_dir()) + shown;
    h->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (h->fd < 0) {
        int e = errno;
        if (!shmdb_quiet)
            ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Failed to open shared memory object %s: %s", shown,
                 strerror(errno));
        errno = e;
        return -1;
    }
    struct stat st;
    if (fstat(h->fd, &st) < 0) {
        int e = errno;
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Failed to stat shared memory object %s: %s", shown,
             strerror(e));
        shmdb_fini(h);
        errno = e;
        return -1;
    }
    size_t n = static_cast<size_t>(st.st_size);
    uint64_t units = n > h->header ? (n - h->header) / 16 : 0;
    if (!S_ISREG(st.st_mode) || n < h->header || n - h->header <= 15 || (n - h->header) % 16 ||
        !power_of_two(units) || units > SHMDB_MAX_SIZE || (size && size != units)) {
        if (!shmdb_quiet)
            ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Bad size %zu of shared memory object %s", n, shown);
        shmdb_fini(h);
        errno = EINVAL;
        return -1;
    }
    int rc = guarded<int>(h, -1, [&] {
        if (map_at(h, static_cast<uint32_t>(units), true) < 0) return -1;
        uint32_t bits = load_u32(h, SHMDB_HDR_KEY_BITS);
        uint32_t ports = load_u32(h, SHMDB_HDR_PORTS);
        geometry g;
        if (bits < 1 || bits > SHMDB_MAX_KEY_BITS || (key_bits && bits != key_bits) ||
            ports > SHMDB_MAX_PORTS || decode_state(load_state(h), &g) < 0) {
            if (!shmdb_quiet)
                ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Bad header of shared memory object %s", shown);
            errno = EINVAL;
            return -1;
        }
        h->key_bits = bits;
        h->key_mask = (1ull << bits) - 1;
        h->mask_lo = static_cast<uint32_t>(h->key_mask);
        h->mask_hi = static_cast<uint32_t>(h->key_mask >> 32);
        return read_seed(h);
    });
    if (rc < 0) {
        int e = errno;
        shmdb_fini(h);
        errno = e;
    }
    return rc;
}

void shmdb_fini(shmdb_handle *h)
{
    unmap(h);
    if (h->fd >= 0) close(h->fd);
    h->fd = -1;
    std::vector<uint64_t>().swap(h->seen);
}

int shmdb_remap(shmdb_handle *h, uint32_t size)
{
    return guarded<int>(h, -1, [&] {
        for (unsigned round = 0; round < SHMDB_RETRIES; round++) {
            uint32_t q = size;
            if (!q) {
                geometry g;
                if (decode_state(load_state(h), &g) < 0) return -1;
                q = g.q;
            }
            struct stat st;
            if (fstat(h->fd, &st) < 0) return -1;
            // A state word ahead of the object's size would map past its end.
            if (static_cast<uint64_t>(st.st_size) >= h->header + 16ull * q)
                return map_at(h, q, false);
            if (size) break;
            short_pause();
        }
        errno = EAGAIN;
        return -1;
    });
}

int64_t shmdb_capacity(shmdb_handle *h, unsigned *exponent)
{
    return guarded<int64_t>(h, -1, [&]() -> int64_t {
        geometry g;
        if (decode_state(load_state(h), &g) < 0) return -1;
        if (exponent) *exponent = g.exponent;
        return g.q;
    });
}

int64_t shmdb_lookup(shmdb_handle *h, const uint8_t key[6], uint64_t *value)
{
    uint64_t k = shmdb_key(key, h->key_bits);
    return guarded<int64_t>(h, -1, [&] { return lookup_key(h, k, value); });
}

int64_t shmdb_next(shmdb_handle *h, int64_t index, uint8_t key[6], uint64_t *value)
{
    return guarded<int64_t>(h, -1, [&] { return next_slot(h, index, key, value); });
}

uint32_t shmdb_used(shmdb_handle *h)
{
    return guarded<uint32_t>(h, 0, [&] { return load_u32(h, SHMDB_HDR_USED); });
}

uint32_t shmdb_ports(shmdb_handle *h)
{
    return guarded<uint32_t>(h, 0, [&] { return load_u32(h, SHMDB_HDR_PORTS); });
}

int shmdb_scan(int (*callback)(void *user, const char *name, unsigned units), void *user)
{
    DIR *d = opendir(shmdb_dir());
    if (!d) return -1;
    // Name, has units -> unit count; sorted by name.
    std::map<std::pair<std::string, bool>, unsigned> tables;
    while (dirent *e = readdir(d)) {
        if (e->d_type == DT_DIR || !strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string name = e->d_name;
        size_t n = name.size();
        if (n >= 2 && name[n - 2] == ':' && name[n - 1] >= '0' && name[n - 1] <= '9') {
            unsigned &units = tables[{name.substr(0, n - 2), true}];
            units = std::max(units, static_cast<unsigned>(name[n - 1] - '0') + 1);
        } else {
            tables[{name, false}] = 0;
        }
    }
    closedir(d);
    for (auto &[key, units] : tables)
        if (int rc = callback(user, key.first.c_str(), units)) return rc;
    return 0;
}
