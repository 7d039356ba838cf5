#include "tools/fernrelayd/shm_writer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/sockaddr.h"
#include "utility/shmdb.h"

struct shm_table {
    std::string path;
    int fd;
    uint8_t *base;
    size_t header;
    uint32_t size; // mapped slots per half
    uint32_t key_bits;
    uint64_t key_mask;
    uint32_t used;  // live entries
    uint32_t tombs; // tombstones in the current half
};

namespace
{

enum : unsigned {
    MAX_EXPONENT = 24,
    CHURN_MAX_EXPONENT = 17, // churn doubles up to 2^17 slots, then rehashes
};

uint64_t *word(shm_table *t, size_t offset)
{
    return reinterpret_cast<uint64_t *>(t->base + offset);
}

uint32_t *field(shm_table *t, size_t offset)
{
    return reinterpret_cast<uint32_t *>(t->base + offset);
}

uint64_t state(shm_table *t)
{
    return __atomic_load_n(word(t, SHMDB_HDR_STATE), __ATOMIC_ACQUIRE);
}

unsigned exponent_of(uint64_t st)
{
    return static_cast<unsigned>(st >> SHMDB_STATE_EXP_SHIFT) & SHMDB_STATE_EXP_MASK;
}

int current_half(uint64_t st)
{
    return st & SHMDB_STATE_HALF ? 1 : 0;
}

// A new state word: the format's bits, and the phase count below them bumped.
void set_state(shm_table *t, unsigned exponent, int half, bool doubled)
{
    uint64_t old = state(t);
    uint64_t st = uint64_t{exponent} << SHMDB_STATE_EXP_SHIFT;
    if (half) st |= SHMDB_STATE_HALF;
    if (doubled) st |= SHMDB_STATE_DOUBLED;
    st |= static_cast<uint32_t>(old + 1);
    __atomic_store_n(word(t, SHMDB_HDR_STATE), st, __ATOMIC_RELEASE);
}

void bump_phase(shm_table *t)
{
    uint64_t st = state(t);
    set_state(t, exponent_of(st), current_half(st), st & SHMDB_STATE_DOUBLED);
}

uint64_t *half(shm_table *t, int which)
{
    return word(t, t->header) + (which ? t->size : 0);
}

uint64_t load(const uint64_t *slot)
{
    return __atomic_load_n(slot, __ATOMIC_RELAXED);
}

void store(uint64_t *slot, uint64_t v)
{
    __atomic_store_n(slot, v, __ATOMIC_RELEASE);
}

void publish_used(shm_table *t)
{
    __atomic_store_n(field(t, SHMDB_HDR_USED), t->used, __ATOMIC_RELEASE);
}

uint64_t tombstone(const shm_table *t)
{
    return ~t->key_mask;
}

uint32_t seed_of(shm_table *t)
{
    return __atomic_load_n(field(t, SHMDB_HDR_SEED), __ATOMIC_ACQUIRE);
}

// Probe one half of n slots: the slot holding key, else null with *free at
// the first tombstone or empty slot on the way.
uint64_t *find(shm_table *t, uint64_t *h, uint32_t n, uint64_t key, uint64_t **free)
{
    uint32_t mask = n - 1;
    uint32_t i = shmdb_hash(seed_of(t), key, t->key_bits) & mask;
    if (free) *free = nullptr;
    for (uint32_t step = 0; step < n; step++) {
        uint64_t s = load(h + i);
        if (!s) {
            if (free && !*free) *free = h + i;
            return nullptr;
        }
        if ((s & t->key_mask) == key) return h + i;
        if (s == tombstone(t) && free && !*free) *free = h + i;
        i = (i + step + 1) & mask;
    }
    return nullptr;
}

int map_rw(shm_table *t, uint32_t size)
{
    size_t bytes = t->header + 16ull * size;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, t->fd, 0);
    if (p == MAP_FAILED) return -1;
    if (t->base) munmap(t->base, t->header + 16ull * t->size);
    t->base = static_cast<uint8_t *>(p);
    t->size = size;
    return 0;
}

// Copies every entry of half `from` (n slots) into the current half, which
// has q slots and no tombstones.
void copy_entries(shm_table *t, int from, uint32_t n, int to, uint32_t q)
{
    uint64_t *src = half(t, from), *dst = half(t, to);
    for (uint32_t i = 0; i < n; i++) {
        uint64_t s = load(src + i);
        if (!(s & t->key_mask)) continue;
        uint64_t *free;
        if (!find(t, dst, q, s & t->key_mask, &free) && free) store(free, s);
    }
}

void clear(uint64_t *h, uint32_t n)
{
    for (uint32_t i = 0; i < n; i++)
        store(h + i, 0);
}

} // namespace

shm_table *shm_table_create(const char *name, uint32_t key_bits, uint32_t ports, unsigned exponent)
{
    if (key_bits < 1 || key_bits > SHMDB_MAX_KEY_BITS || exponent > MAX_EXPONENT) {
        errno = EINVAL;
        return nullptr;
    }
    auto t = std::make_unique<shm_table>();
    t->fd = -1;
    t->base = nullptr;
    t->header = shmdb_header_size();
    t->key_bits = key_bits;
    t->key_mask = (1ull << key_bits) - 1;
    t->used = t->tombs = 0;
    t->size = 0;
    t->path = std::string(shmdb_dir()) + name;
    // Built under a temporary name and linked into place whole, so no reader
    // attaches a header that is not filled in yet.
    std::string temp = std::string(shmdb_dir()) + "." + name + ".new." + std::to_string(getpid());
    t->fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (t->fd < 0) return nullptr;
    uint32_t size = 1u << exponent;
    if (ftruncate(t->fd, static_cast<off_t>(t->header + 16ull * size)) < 0 ||
        map_rw(t.get(), size) < 0) {
        int e = errno;
        close(t->fd);
        unlink(temp.c_str());
        errno = e;
        return nullptr;
    }
    *field(t.get(), SHMDB_HDR_KEY_BITS) = key_bits;
    *field(t.get(), SHMDB_HDR_PORTS) = ports;
    *field(t.get(), SHMDB_HDR_STAMP) = static_cast<uint32_t>(time(nullptr));
    *word(t.get(), SHMDB_HDR_STATE) = uint64_t{exponent} << SHMDB_STATE_EXP_SHIFT;
    uint32_t seed = 0;
    int rnd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (rnd >= 0 && !seed && read(rnd, &seed, sizeof(seed)) == sizeof(seed)) {
    }
    if (rnd >= 0) close(rnd);
    if (!seed) seed = static_cast<uint32_t>(getpid()) | 1;
    uint32_t expected = 0;
    __atomic_compare_exchange_n(field(t.get(), SHMDB_HDR_SEED), &expected, seed, false,
                                __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    int rc = link(temp.c_str(), t->path.c_str());
    int e = errno;
    unlink(temp.c_str());
    if (rc < 0) {
        munmap(t->base, t->header + 16ull * t->size);
        close(t->fd);
        errno = e;
        return nullptr;
    }
    return t.release();
}

void shm_table_destroy(shm_table *t, bool remove)
{
    if (!t) return;
    if (t->base) munmap(t->base, t->header + 16ull * t->size);
    if (t->fd >= 0) close(t->fd);
    if (remove) unlink(t->path.c_str());
    delete t;
}

int shm_table_rehash(shm_table *t)
{
    uint64_t st = state(t);
    unsigned s = exponent_of(st);
    int old = current_half(st);
    uint32_t n = t->size;
    set_state(t, s, !old, false);
    copy_entries(t, old, n, !old, n);
    bump_phase(t);
    clear(half(t, old), n);
    t->tombs = 0;
    return 0;
}

int shm_table_double(shm_table *t)
{
    unsigned s = exponent_of(state(t));
    if (s >= MAX_EXPONENT) {
        errno = ENOSPC;
        return -1;
    }
    if (current_half(state(t)) == 1) shm_table_rehash(t);
    uint32_t b = t->size;
    // The object grows first: a reader trusts no size the object lacks.
    if (ftruncate(t->fd, static_cast<off_t>(t->header + 32ull * b)) < 0 || map_rw(t, 2 * b) < 0)
        return -1;
    set_state(t, s, 1, true);
    copy_entries(t, 0, b, 1, 2 * b);
    bump_phase(t);
    clear(half(t, 0), b);
    set_state(t, s + 1, 1, false);
    t->tombs = 0;
    return 0;
}

int shm_table_put(shm_table *t, uint64_t key, uint64_t value)
{
    key &= t->key_mask;
    if (!key) {
        errno = EINVAL;
        return -1;
    }
    uint64_t slot = value << t->key_bits | key;
    uint64_t *cur = half(t, current_half(state(t)));
    uint64_t *free;
    if (uint64_t *at = find(t, cur, t->size, key, &free)) {
        store(at, slot);
        return 0;
    }
    if ((t->used + t->tombs + 1) * 4ull > t->size * 3ull) {
        int rc = t->used * 2ull < t->size ? shm_table_rehash(t) : shm_table_double(t);
        if (rc == 0) return shm_table_put(t, key, value);
    }
    if (!free) {
        errno = ENOSPC;
        return -1;
    }
    if (load(free) == tombstone(t)) t->tombs--;
    store(free, slot);
    t->used++;
    publish_used(t);
    return 0;
}

int shm_table_get(shm_table *t, uint64_t key, uint64_t *value)
{
    uint64_t *at = find(t, half(t, current_half(state(t))), t->size, key & t->key_mask, nullptr);
    if (!at) {
        errno = ENOENT;
        return -1;
    }
    if (value) *value = load(at) >> t->key_bits;
    return 0;
}

int shm_table_del(shm_table *t, uint64_t key)
{
    uint64_t *at = find(t, half(t, current_half(state(t))), t->size, key & t->key_mask, nullptr);
    if (!at) {
        errno = ENOENT;
        return -1;
    }
    store(at, tombstone(t));
    t->tombs++;
    t->used--;
    publish_used(t);
    return 0;
}

uint32_t shm_table_used(const shm_table *t)
{
    return t->used;
}

uint32_t shm_table_capacity(const shm_table *t)
{
    return t->size;
}

void shm_table_set_exponent(shm_table *t, unsigned exponent)
{
    uint64_t st = state(t);
    set_state(t, exponent, current_half(st), false);
}

// ---- The stand-in's tables and commands ----

namespace
{

struct mdb_writer {
    std::vector<shm_table *> units;
    uint32_t width, key_bits;
};

struct registry {
    std::mutex lock; // the loop's commands against the churn thread
    std::map<std::string, shm_table *> fdbs;
    std::map<std::string, mdb_writer> mdbs;
    std::thread churn;
    std::atomic<bool> churn_stop{false}, churn_active{false};
    std::atomic<uint64_t> churn_ops{0}, churn_resizes{0};
};

registry &R()
{
    static registry r;
    return r;
}

int fdb_create(const std::string &ifname)
{
    if (R().fdbs.count(ifname)) return 0;
    shm_table *t = shm_table_create(ifname.c_str(), 48, 0, 10);
    if (!t) return -1;
    R().fdbs[ifname] = t;
    return 0;
}

shm_table *fdb_of(const std::string &ifname)
{
    auto it = R().fdbs.find(ifname);
    return it == R().fdbs.end() ? nullptr : it->second;
}

std::string mdb_create(const std::string &name, unsigned ports)
{
    if (ports < 1 || ports > SHMDB_MAX_PORTS || shmdb_check_name(name.c_str()) < 0)
        return "error: usage: mdb create IFNAME PORTS (1-256)\n";
    if (R().mdbs.count(name)) return "error: exists\n";
    unsigned units = (ports + 31) / 32;
    unsigned width = (ports + units - 1) / units;
    unsigned bits = 64 - width > 48 ? 48 : 64 - width;
    mdb_writer m{{}, 64 - bits, bits};
    for (unsigned u = 0; u < units; u++) {
        std::string unit = name + ":" + std::to_string(u);
        shm_table *t = shm_table_create(unit.c_str(), bits, ports, 6);
        if (!t) {
            std::string err = "error: " + unit + ": " + strerror(errno) + "\n";
            for (shm_table *x : m.units)
                shm_table_destroy(x, true);
            return err;
        }
        m.units.push_back(t);
    }
    R().mdbs[name] = m;
    return "ok\n";
}

std::string mdb_change(const std::string &name, const char *mac_text, unsigned port, bool add)
{
    uint8_t mac[6];
    auto it = R().mdbs.find(name);
    if (it == R().mdbs.end()) return "error: no such table\n";
    mdb_writer &m = it->second;
    if (mac_parse(mac, mac_text) < 0 || port >= m.width * m.units.size())
        return "error: bad group or port\n";
    shm_table *t = m.units[port / m.width];
    uint64_t key = shmdb_key(mac, m.key_bits), bits = 0;
    shm_table_get(t, key, &bits);
    uint64_t bit = 1ull << (port % m.width);
    bits = add ? bits | bit : bits & ~bit;
    int rc = bits ? shm_table_put(t, key, bits) : shm_table_del(t, key);
    if (rc < 0 && !(errno == ENOENT && !add))
        return std::string("error: ") + strerror(errno) + "\n";
    return "ok\n";
}

// Churn keys are locally administered 02:ce:xx:xx:xx:xx, so tests keep
// entries of their own that churn never touches.
void churn_run(shm_table *t, uint64_t ops, unsigned rate, unsigned resize_every, uint32_t seed)
{
    std::mt19937_64 rng(seed);
    std::vector<uint64_t> mine;
    auto start = std::chrono::steady_clock::now();
    for (uint64_t n = 0; (!ops || n < ops) && !R().churn_stop; n++) {
        {
            std::lock_guard<std::mutex> g(R().lock);
            if (resize_every && n % resize_every == resize_every - 1) {
                if (shm_table_capacity(t) >= 1u << CHURN_MAX_EXPONENT || shm_table_double(t) < 0)
                    shm_table_rehash(t);
                R().churn_resizes++;
            } else if (mine.empty() || rng() % 8 < 5) {
                uint64_t key = 0x02ce00000000ull | (rng() & 0xffffffffull);
                if (shm_table_put(t, key, rng() & 0xffff) == 0) mine.push_back(key);
            } else {
                size_t i = rng() % mine.size();
                shm_table_del(t, mine[i]);
                mine[i] = mine.back();
                mine.pop_back();
            }
        }
        R().churn_ops++;
        if (rate) {
            auto due = start + std::chrono::microseconds((n + 1) * 1000000 / rate);
            std::this_thread::sleep_until(due);
        }
    }
    R().churn_active = false;
}

std::string churn_join()
{
    if (R().churn.joinable()) R().churn.join();
    char out[96];
    snprintf(out, sizeof(out), "ops=%llu resizes=%llu\n",
             static_cast<unsigned long long>(R().churn_ops.load()),
             static_cast<unsigned long long>(R().churn_resizes.load()));
    return out;
}

} // namespace

void shm_writer_port_added(uint32_t ifindex)
{
    char name[IF_NAMESIZE];
    if (!if_indextoname(ifindex, name)) return;
    std::lock_guard<std::mutex> g(R().lock);
    fdb_create(name); // EEXIST: another process writes this interface's table
}

void shm_writer_port_removed(uint32_t ifindex)
{
    char name[IF_NAMESIZE];
    if (!if_indextoname(ifindex, name)) return;
    std::lock_guard<std::mutex> g(R().lock);
    auto it = R().fdbs.find(name);
    if (it == R().fdbs.end() || R().churn_active) return;
    shm_table_destroy(it->second, true);
    R().fdbs.erase(it);
}

std::string shm_writer_command(const std::string &line)
{
    char a[32] = "", b[32] = "", c[32] = "", d[32] = "";
    unsigned long long n1 = 0, n2 = 0, n3 = 0;
    if (sscanf(line.c_str(), "churn %31s %llu %llu %llu", a, &n1, &n2, &n3) == 4) {
        std::lock_guard<std::mutex> g(R().lock);
        shm_table *t = fdb_of(a);
        if (!t) return "error: no such table\n";
        if (R().churn_active) return "error: churn running\n";
        if (R().churn.joinable()) R().churn.join();
        R().churn_stop = false;
        R().churn_active = true;
        R().churn_ops = R().churn_resizes = 0;
        R().churn = std::thread(churn_run, t, n1, static_cast<unsigned>(n2),
                                static_cast<unsigned>(n3), static_cast<uint32_t>(getpid()));
        return "ok\n";
    }
    if (line == "churn stop" || line == "churn wait") {
        R().churn_stop = line == "churn stop";
        return churn_join();
    }
    if (line.rfind("fdb ", 0) != 0 && line.rfind("mdb ", 0) != 0) return "";
    std::lock_guard<std::mutex> g(R().lock);
    if (R().churn_active && line.rfind("mdb ", 0) != 0) return "error: churn running\n";
    int fields = sscanf(line.c_str() + 4, "%31s %31s %31s %31s", a, b, c, d);
    std::string verb = a, name = b;
    if (line[0] == 'm') {
        if (verb == "create" && fields == 3)
            return mdb_create(name, static_cast<unsigned>(strtoul(c, nullptr, 10)));
        if ((verb == "add" || verb == "del") && fields == 4)
            return mdb_change(name, c, static_cast<unsigned>(strtoul(d, nullptr, 10)),
                              verb == "add");
        return "error: usage: mdb create IFNAME PORTS | mdb add|del IFNAME GROUP PORT\n";
    }
    if (verb == "create" && fields == 2) {
        if (shmdb_check_name(b) < 0) return "error: bad name\n";
        return fdb_create(name) < 0 ? std::string("error: ") + strerror(errno) + "\n" : "ok\n";
    }
    shm_table *t = fdb_of(name);
    if (fields < 2 || !t) return "error: no such table\n";
    uint8_t mac[6];
    if (verb == "add" && fields == 4 && mac_parse(mac, c) == 0) {
        unsigned long port = strtoul(d, nullptr, 10);
        if (port > 0xffff) return "error: bad port\n";
        return shm_table_put(t, shmdb_key(mac, 48), port) < 0
                   ? std::string("error: ") + strerror(errno) + "\n"
                   : "ok\n";
    }
    if (verb == "del" && fields == 3 && mac_parse(mac, c) == 0)
        return shm_table_del(t, shmdb_key(mac, 48)) < 0 ? "error: no such entry\n" : "ok\n";
    if (verb == "double" && fields == 2)
        return shm_table_double(t) < 0 ? std::string("error: ") + strerror(errno) + "\n" : "ok\n";
    if (verb == "rehash" && fields == 2) {
        shm_table_rehash(t);
        return "ok\n";
    }
    if (verb == "state" && fields == 2) {
        char out[64];
        snprintf(out, sizeof(out), "size=%u used=%u\n", shm_table_capacity(t), shm_table_used(t));
        return out;
    }
    return "error: usage: fdb create|add|del|double|rehash|state IFNAME [MAC [PORT]]\n";
}

void shm_writer_shutdown()
{
    R().churn_stop = true;
    if (R().churn.joinable()) R().churn.join();
    std::lock_guard<std::mutex> g(R().lock);
    for (auto &[name, t] : R().fdbs)
        shm_table_destroy(t, true);
    R().fdbs.clear();
    for (auto &[name, m] : R().mdbs)
        for (shm_table *t : m.units)
            shm_table_destroy(t, true);
    R().mdbs.clear();
}
