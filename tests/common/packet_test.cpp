#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <unordered_map>
#include <vector>

#include "common/mempool.h"
#include "common/packet.h"

namespace {

struct pool_deleter {
    void operator()(mempool *p) const { mempool_unref(p); }
};
using pool_ptr = std::unique_ptr<mempool, pool_deleter>;

constexpr packet_pool_config shared_config = {2048, 32, 16, 64, 256,
                                              PACKET_POOL_SHARED_BUFFERS};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
    return v;
}

std::vector<uint8_t> contents(packet *p)
{
    std::vector<uint8_t> v(p->length);
    EXPECT_EQ(packet_access(p, 0, v.size(), v.data(), PACKET_ACCESS_READ), v.size());
    return v;
}

// Runs a test body over the built-in pool and a pool with shared buffers.
class PacketPools : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        pool.reset(packet_pool_create(GetParam() ? &shared_config : nullptr));
        ASSERT_TRUE(pool);
    }
    void TearDown() override
    {
        // Every test gives back all it took.
        EXPECT_EQ(pool->info.memUsedObjects, 0u);
        if (pool->companion) {
            EXPECT_EQ(pool->companion->info.memUsedObjects, 0u);
        }
    }
    pool_ptr pool;
};

INSTANTIATE_TEST_SUITE_P(Both, PacketPools, testing::Bool(),
                         [](const auto &param) { return param.param ? "Shared" : "Inline"; });

} // namespace

TEST(PacketPool, Configurations)
{
    pool_ptr p(packet_pool_create(nullptr));
    ASSERT_TRUE(p);
    EXPECT_STREQ(p->info.memName, "packet");
    EXPECT_EQ(p->headroom, 32u);
    EXPECT_EQ(p->tailroom, 16u);
    EXPECT_EQ(p->info.memObjectSize, sizeof(packet) + 2048);
    EXPECT_EQ(packet_pool_capacity(p.get()), 2048u);
    EXPECT_EQ(p->companion, nullptr);

    pool_ptr s(packet_pool_create(&shared_config));
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->companion);
    EXPECT_STREQ(s->companion->info.memName, "buffer");
    EXPECT_EQ(s->companion->info.memOptions & (MEMPOOL_OPT_MMAP | MEMPOOL_OPT_STATIC |
                                               MEMPOOL_OPT_SHARED),
              MEMPOOL_OPT_MMAP | MEMPOOL_OPT_STATIC | MEMPOOL_OPT_SHARED);
    EXPECT_GE(s->companion->memfd, 0);
    EXPECT_GE(s->companion->info.memTotalObjects, 256u);
    EXPECT_EQ(s->info.memObjectSize, sizeof(packet));

    struct {
        packet_pool_config c;
        int err;
    } bad[] = {
        {{100, 60, 41, 1, 0, 0}, EINVAL},         // head + tail room over the buffer
        {{70000, 32, 16, 1, 0, 0}, EINVAL},       // lengths are 16-bit
        {{60000, 32, 16, 100000, 0, 0}, EINVAL},  // block size past 32 bits
    };
    for (auto &b : bad) {
        errno = 0;
        EXPECT_EQ(packet_pool_create(&b.c), nullptr);
        EXPECT_EQ(errno, b.err);
    }
    // The buffer pool goes with the packet pool: no pool named "buffer" remains.
    s.reset();
    for (mempool *m = mempool_first(); m; m = mempool_next(m))
        EXPECT_STRNE(m->info.memName, "buffer");
}

TEST_P(PacketPools, AllocFitsHeadAndTailRoom)
{
    packet *p = packet_alloc(pool.get(), 2000);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length, 2000);
    EXPECT_EQ(p->_fragsize, 2000);
    EXPECT_EQ(packet_headroom(p), 32u);
    EXPECT_EQ(packet_tailroom(p), 16u);
    EXPECT_EQ(p->_refcount, 1);
    EXPECT_EQ(p->nfrags, 1);
    EXPECT_FALSE(packet_isfragmented(p));
    for (uint8_t b : p->meta)
        ASSERT_EQ(b, 0);
    // The whole buffer is writable.
    memset(p->buffer, 0xab, packet_pool_capacity(pool.get()));
    packet_release(p);

    errno = 0;
    EXPECT_EQ(packet_alloc(pool.get(), 2001), nullptr);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_EQ(packet_alloc(pool.get(), SIZE_MAX), nullptr);
    EXPECT_EQ(errno, ENOBUFS);
}

TEST_P(PacketPools, FromBytesAccessAndCopy)
{
    std::vector<uint8_t> src = pattern(5000);
    packet *p = packet_from_bytes(pool.get(), src.data(), src.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length, 5000);
    EXPECT_EQ(p->nfrags, 3);
    EXPECT_TRUE(packet_isfragmented(p));
    EXPECT_EQ(packet_headsize(p), 2000u);
    EXPECT_EQ(packet_tailsize(p), 1000u);
    EXPECT_EQ(contents(p), src);

    uint8_t buf[100];
    EXPECT_EQ(packet_access(p, 1950, 100, buf, PACKET_ACCESS_READ), 100u);
    EXPECT_EQ(memcmp(buf, src.data() + 1950, 100), 0);
    EXPECT_EQ(packet_access(p, 4990, 100, buf, PACKET_ACCESS_READ), 10u);
    EXPECT_EQ(memcmp(buf, src.data() + 4990, 10), 0);
    EXPECT_EQ(packet_access(p, 6000, 10, buf, PACKET_ACCESS_READ), 0u);

    // Writes and fills that span fragments.
    std::vector<uint8_t> w = pattern(300, 99);
    EXPECT_EQ(packet_access(p, 1900, 300, w.data(), PACKET_ACCESS_WRITE), 300u);
    memcpy(src.data() + 1900, w.data(), 300);
    EXPECT_EQ(packet_access(p, 3990, 20, reinterpret_cast<void *>(0x5a), PACKET_ACCESS_FILL), 20u);
    memset(src.data() + 3990, 0x5a, 20);
    EXPECT_EQ(contents(p), src);

    p->meta[0] = 0x11;
    p->meta[39] = 0x22;
    packet_set_priority(p, 7);
    p->user8[1] = 9;
    packet *c = packet_copy(p);
    ASSERT_TRUE(c);
    EXPECT_EQ(contents(c), src);
    EXPECT_EQ(c->nfrags, 3);
    EXPECT_EQ(c->meta[0], 0x11);
    EXPECT_EQ(c->meta[39], 0x22);
    EXPECT_EQ(packet_priority(c), 7u);
    EXPECT_EQ(c->user8[1], 9);
    // The copy is independent of the original.
    packet_access(c, 0, 1, reinterpret_cast<void *>(1), PACKET_ACCESS_FILL);
    EXPECT_EQ(contents(p), src);

    packet *single = packet_copy_single(p);
    ASSERT_TRUE(single);
    EXPECT_EQ(single->length, 2000);
    EXPECT_EQ(single->nfrags, 1);
    EXPECT_EQ(memcmp(single->data, src.data(), 2000), 0);

    packet_release(single);
    packet_release(c);
    packet_release(p);
}

TEST_P(PacketPools, LengthLimits)
{
    std::vector<uint8_t> big = pattern(65536);
    errno = 0;
    EXPECT_EQ(packet_from_bytes(pool.get(), big.data(), 65536), nullptr);
    EXPECT_EQ(errno, EOVERFLOW);
    packet *p = packet_from_bytes(pool.get(), big.data(), 65535);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->length, 65535);
    EXPECT_EQ(p->nfrags, 33);
    EXPECT_EQ(contents(p), std::vector<uint8_t>(big.begin(), big.end() - 1));
    // A chain at the limit takes no byte more, and no fragment that would pass it.
    errno = 0;
    EXPECT_EQ(packet_push(p, 1), nullptr);
    EXPECT_EQ(errno, EOVERFLOW);
    packet_trim(p, 1);
    EXPECT_EQ(p->length, 65534);
    ASSERT_TRUE(packet_put(p, 1));
    packet *one = packet_alloc(pool.get(), 1);
    ASSERT_TRUE(one);
    errno = 0;
    EXPECT_EQ(packet_chain(p, one), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    packet_release(one);

    packet *empty = packet_from_bytes(pool.get(), nullptr, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->length, 0);
    packet_release(empty);
    packet_release(p);
}

TEST_P(PacketPools, ReferenceCountIsBounded)
{
    packet *p = packet_alloc(pool.get(), 10);
    ASSERT_TRUE(p);
    EXPECT_EQ(packet_ref(p), 0);
    EXPECT_EQ(p->_refcount, 2);
    packet_release(p);
    p->_refcount = 65534;
    EXPECT_EQ(packet_ref(p), 0);
    errno = 0;
    EXPECT_EQ(packet_ref(p), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(p->_refcount, 65535);
    p->_refcount = 1;
    packet_release(p);
    packet_release(static_cast<packet *>(nullptr));
}

TEST_P(PacketPools, CopySingleUsesHeadRoomForGrownData)
{
    packet *p = packet_alloc(pool.get(), 2000);
    ASSERT_TRUE(p);
    ASSERT_TRUE(packet_push(p, 20));
    ASSERT_TRUE(packet_put(p, 16)); // into the tail room the pool keeps free
    EXPECT_EQ(p->_fragsize, 2036);
    std::vector<uint8_t> src = pattern(2036, 3);
    packet_access(p, 0, src.size(), src.data(), PACKET_ACCESS_WRITE);
    packet *c = packet_copy_single(p);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->length, 2036);
    EXPECT_EQ(packet_headroom(c), 12u);
    EXPECT_EQ(packet_tailroom(c), 0u);
    EXPECT_EQ(contents(c), src);
    packet_release(c);
    packet_release(p);
}

TEST_P(PacketPools, PushPullPutTrim)
{
    packet *p = packet_alloc(pool.get(), 100);
    ASSERT_TRUE(p);
    uint8_t *d = p->data;
    EXPECT_EQ(packet_push(p, 14), d - 14);
    EXPECT_EQ(p->length, 114);
    EXPECT_EQ(packet_headroom(p), 18u);
    EXPECT_EQ(packet_pull(p, 20), d + 6);
    EXPECT_EQ(p->length, 94);
    EXPECT_EQ(packet_put(p, 50), d + 100);
    EXPECT_EQ(p->length, 144);
    packet_trim(p, 44);
    EXPECT_EQ(p->length, 100);
    EXPECT_EQ(packet_tailsize(p), 100u);

    // On a chain, put and trim work on the packet that ends it.
    packet *f = packet_alloc(pool.get(), 30);
    ASSERT_TRUE(f);
    ASSERT_EQ(packet_chain(p, f), 0);
    EXPECT_EQ(p->length, 130);
    EXPECT_EQ(packet_tailsize(p), 30u);
    EXPECT_EQ(packet_tailroom(p), f->tailroom);
    EXPECT_EQ(packet_put(p, 5), f->data + 30);
    EXPECT_EQ(f->_fragsize, 35);
    packet_trim(p, 35);
    EXPECT_EQ(p->length, 100);
    EXPECT_EQ(f->_fragsize, 0);
    packet_release(p);
}

TEST_P(PacketPools, QueuePurge)
{
    packet_queue q;
    packet_queue_init(&q);
    packet_queue_purge(&q);
    EXPECT_EQ(packet_queue_count(&q), 0u);

    packet *kept = packet_alloc(pool.get(), 10);
    packet *dropped = packet_alloc(pool.get(), 20);
    ASSERT_TRUE(kept && dropped);
    ASSERT_EQ(packet_ref(kept), 0);
    packet_queue_append(&q, kept);
    packet_queue_append(&q, dropped);
    EXPECT_EQ(packet_queue_count(&q), 2u);
    EXPECT_EQ(q.bytes, 30u);
    packet_queue_purge(&q);
    EXPECT_EQ(packet_queue_count(&q), 0u);
    EXPECT_EQ(q.bytes, 0u);
    EXPECT_EQ(kept->_refcount, 1);
    EXPECT_EQ(pool->info.memUsedObjects, 1u);
    packet_queue_append(&q, kept);
    EXPECT_EQ(packet_queue_pop(&q), kept);
    EXPECT_EQ(packet_queue_pop(&q), nullptr);
    packet_release(kept);
}

namespace {

struct release_log {
    int calls = 0;
    void *buffer = nullptr;
};

void note_release(void *buffer, void *arg)
{
    auto *log = static_cast<release_log *>(arg);
    log->calls++;
    log->buffer = buffer;
}

} // namespace

TEST_P(PacketPools, ReleaseCallbackGetsForeignBuffer)
{
    alignas(8) static uint8_t outside[512];
    release_log log;
    packet *p = packet_alloc(pool.get(), 0);
    ASSERT_TRUE(p);
    uint32_t buffers_used = pool->companion ? pool->companion->info.memUsedObjects : 0;
    if (pool->companion) {
        // Hand the pool's buffer back and attach one that belongs elsewhere.
        mempool_release(pool->companion, p->buffer);
        buffers_used--;
    }
    p->buffer = outside;
    p->data = outside + 32;
    p->tailroom = 512 - 32;
    p->foreign = 1;
    p->release = note_release;
    p->release_arg = &log;
    ASSERT_TRUE(packet_put(p, 100));
    packet_release(p);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.buffer, outside);
    if (pool->companion) {
        EXPECT_EQ(pool->companion->info.memUsedObjects, buffers_used);
    }
}

TEST(Packet, CopyFailureGivesEverythingBack)
{
    packet_pool_config c = shared_config;
    c.buffer_count = 8; // a chain of five and its copy do not fit
    pool_ptr pool(packet_pool_create(&c));
    ASSERT_TRUE(pool);
    uint32_t buffers = pool->companion->info.memTotalObjects;
    std::vector<uint8_t> src = pattern(2000 * (buffers / 2 + 1));
    packet *p = packet_from_bytes(pool.get(), src.data(), src.size());
    ASSERT_TRUE(p);
    errno = 0;
    EXPECT_EQ(packet_copy(p), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(pool->companion->info.memUsedObjects, p->nfrags);
    errno = 0;
    EXPECT_EQ(packet_from_bytes(pool.get(), src.data(), src.size()), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(pool->companion->info.memUsedObjects, p->nfrags);
    packet_release(p);
    EXPECT_EQ(pool->companion->info.memUsedObjects, 0u);
    EXPECT_EQ(pool->info.memUsedObjects, 0u);
}

TEST(PacketDeathTest, MisuseStopsWithTheCallersExpression)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    pool_ptr pool(packet_pool_create(nullptr));
    packet *p = packet_alloc(pool.get(), 10);
    ASSERT_TRUE(p);
    EXPECT_DEATH(packet_push(p, 33), "Assertion failed: \\(size_t\\)\\(33\\) <= packet_headroom\\(p\\)");
    EXPECT_DEATH(packet_pull(p, 11), "\\(size_t\\)\\(11\\) <= packet_headsize\\(p\\)");
    EXPECT_DEATH(packet_put(p, 2023), "\\(size_t\\)\\(2023\\) <= packet_tailroom\\(p\\)");
    EXPECT_DEATH(packet_trim(p, 11), "\\(size_t\\)\\(11\\) <= packet_tailsize\\(p\\)");
    // packet_free is only for a packet whose last reference is gone.
    EXPECT_DEATH(packet_free(p), "Assertion failed: p->_refcount == 0");
    // A count already at zero: the state of a packet whose last holder let go.
    packet *cache[1] = {p};
    cache[0]->_refcount = 0;
    EXPECT_DEATH(packet_release(cache[0]),
                 "Assertion failed: !\\(\\(cache\\[0\\]\\) && \\(cache\\[0\\]\\)->_refcount == 0\\)");
    EXPECT_DEATH(packet_ref(cache[0]), "_refcount == 0");
    packet_free(cache[0]);
    // A second free is caught (under ASan, by the poisoned header).
    EXPECT_DEATH(packet_free(cache[0]), "Assertion failed: p->pool|use-after-poison");
}

TEST(Packet, FreeAfterTheLastReferenceWasDropped)
{
    pool_ptr pool(packet_pool_create(&shared_config));
    std::vector<uint8_t> src = pattern(3000);
    packet *p = packet_from_bytes(pool.get(), src.data(), src.size());
    ASSERT_TRUE(p);
    // A holder that dropped the count by hand frees with packet_free.
    p->_refcount--;
    packet_free(p);
    EXPECT_EQ(pool->info.memUsedObjects, 0u);
    EXPECT_EQ(pool->companion->info.memUsedObjects, 0u);
}

// Random operations against a model of every chain's bytes. Under ASan the
// pools poison free objects, so any overrun or use after release stops it.
TEST_P(PacketPools, RandomOperationsKeepContentsAndReturnEverything)
{
    packet_pool_config c = GetParam() ? shared_config : packet_pool_config{512, 32, 16, 64, 0, 0};
    c.buffer_size = 512;
    c.buffer_count = 400;
    pool_ptr small(packet_pool_create(&c));
    ASSERT_TRUE(small);
    mempool *pp = small.get();
    std::mt19937 rng(12345);
    auto rnd = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };

    std::unordered_map<packet *, std::vector<uint8_t>> model;
    std::vector<packet *> held; // one entry per reference we hold
    auto fresh = [&](size_t n) {
        std::vector<uint8_t> v(n);
        for (auto &b : v)
            b = static_cast<uint8_t>(rng());
        return v;
    };
    auto drop = [&](size_t i) {
        packet *p = held[i];
        held[i] = held.back();
        held.pop_back();
        if (p->_refcount == 1)
            model.erase(p);
        packet_release(p);
    };
    auto check = [&](packet *p) {
        const std::vector<uint8_t> &m = model.at(p);
        ASSERT_EQ(p->length, m.size());
        size_t off = rnd(m.size() + 1), n = rnd(m.size() - off + 1);
        std::vector<uint8_t> got(n);
        ASSERT_EQ(packet_access(p, off, n, got.data(), PACKET_ACCESS_READ), n);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), m.begin() + static_cast<ptrdiff_t>(off)));
    };

    size_t exhausted = 0, chained = 0;
    // A million on the shared-buffer pool; the inline pool has fewer paths.
    const int ops = GetParam() ? 1000000 : 250000;
    for (int i = 0; i < ops; i++) {
        if (held.size() > 200)
            drop(rnd(held.size()));
        size_t op = rnd(11);
        if (held.empty())
            op = 0;
        packet *p = held.empty() ? nullptr : held[rnd(held.size())];
        std::vector<uint8_t> *m = p ? &model[p] : nullptr;
        switch (op) {
        case 0: { // alloc
            size_t n = rnd(480);
            packet *q = packet_alloc(pp, n);
            if (!q) {
                exhausted++;
                break;
            }
            std::vector<uint8_t> v = fresh(n);
            packet_access(q, 0, n, v.data(), PACKET_ACCESS_WRITE);
            model[q] = std::move(v);
            held.push_back(q);
            break;
        }
        case 1: { // from bytes, often a chain
            std::vector<uint8_t> v = fresh(rnd(1500));
            packet *q = packet_from_bytes(pp, v.data(), v.size());
            if (!q)
                break;
            model[q] = std::move(v);
            held.push_back(q);
            break;
        }
        case 2: // ref
            if (packet_ref(p) == 0)
                held.push_back(p);
            break;
        case 3: // release
            drop(rnd(held.size()));
            break;
        case 4: { // copy
            packet *q = rnd(4) ? packet_copy(p) : packet_copy_single(p);
            if (!q)
                break;
            std::vector<uint8_t> v(m->begin(), m->begin() + q->length);
            ASSERT_EQ(contents(q), v);
            model[q] = std::move(v);
            held.push_back(q);
            break;
        }
        case 5: { // push
            size_t n = rnd(packet_headroom(p) + 1);
            std::vector<uint8_t> v = fresh(n);
            if (!packet_push(p, n))
                break;
            std::copy(v.begin(), v.end(), p->data);
            m->insert(m->begin(), v.begin(), v.end());
            break;
        }
        case 6: { // pull
            size_t n = rnd(packet_headsize(p) + 1);
            packet_pull(p, n);
            m->erase(m->begin(), m->begin() + static_cast<ptrdiff_t>(n));
            break;
        }
        case 7: { // put
            size_t n = rnd(packet_tailroom(p) + 1);
            std::vector<uint8_t> v = fresh(n);
            uint8_t *at = packet_put(p, n);
            if (!at)
                break;
            std::copy(v.begin(), v.end(), at);
            m->insert(m->end(), v.begin(), v.end());
            break;
        }
        case 8: { // trim
            size_t n = rnd(packet_tailsize(p) + 1);
            packet_trim(p, n);
            m->erase(m->end() - static_cast<ptrdiff_t>(n), m->end());
            break;
        }
        case 9: { // fragments: chain a packet held once behind another
            size_t j = rnd(held.size());
            packet *f = held[j];
            if (f == p || f->_refcount != 1 || packet_chain(p, f) < 0)
                break;
            chained++;
            std::vector<uint8_t> tail = std::move(model[f]);
            model.erase(f);
            model[p].insert(model[p].end(), tail.begin(), tail.end());
            held[j] = held.back();
            held.pop_back();
            break;
        }
        default:
            check(p);
            break;
        }
        if (HasFatalFailure())
            return;
        if (!held.empty()) {
            ASSERT_EQ(held.back()->length, model.at(held.back()).size());
        }
    }
    // The run reached chains and the end of the buffers.
    EXPECT_GT(chained, 1000u);
    EXPECT_GT(exhausted, 0u);
    while (!held.empty())
        drop(held.size() - 1);
    EXPECT_TRUE(model.empty());
    EXPECT_EQ(pp->info.memUsedObjects, 0u);
    if (pp->companion) {
        EXPECT_EQ(pp->companion->info.memUsedObjects, 0u);
    }
}
