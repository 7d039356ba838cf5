// Memory statistics of the object pools: the list lines, the show block, the
// allocation sites and the JSON objects, in the three forms of slots 38-40.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "render_list_fixture.h"
#include "utility/ugw_render_list.h"

namespace
{

mempool_info pool_of(const char *name, uint32_t options, uint32_t object, uint32_t total,
                     uint32_t used)
{
    mempool_info p{};
    memcpy(p.memName, name, std::min(strlen(name), sizeof p.memName));
    p.memOptions = options;
    p.memObjectSize = object;
    p.memBlockSize = 16384;
    p.memPoolSize = 65536;
    p.memPageSize = 4096;
    p.memHugeSize = 2097152;
    p.memBlockObjects = 28;
    p.memTotalObjects = total;
    p.memUsedObjects = used;
    p.memMmapPages = 16;
    p.memHugePages = 0;
    p.memMallocBytes = 96;
    return p;
}

mempool_site site_of(const char *file, uint32_t line, uint32_t count, uint32_t released)
{
    mempool_site s{};
    memcpy(s.memAllocFile, file, std::min(strlen(file), sizeof s.memAllocFile));
    s.memAllocLine = line;
    s.memAllocCount = count;
    s.memReleaseCount = released;
    return s;
}

std::string pool_line(const mempool_info &p)
{
    char line[160];
    return render_text_mempool_row(&p, line, sizeof line);
}

std::string site_line(const mempool_info &p, const mempool_site &s)
{
    char line[160];
    return render_text_alloc_row(&p, &s, line, sizeof line);
}

} // namespace

// Mode word and marker by option bits, sizes in base-1024 units, load
// rounded half up (and computed past 32 bits), a cut name, and a dash for a
// pool that holds no objects.
TEST(RenderPool, ListLines)
{
    char bits32[33];
    memset(bits32, 'n', 32);
    bits32[32] = 0;
    struct {
        mempool_info pool;
        const char *line;
    } cases[] = {
        {pool_of("struct flow", 0x01, 584, 112, 3),
         "struct flow                     mmap+   584 16.0 KiB  64.0 KiB      3 1.71 KiB   3%"},
        {pool_of("a", 0x0b, 64, 3, 1),
         "a                               huge@    64 16.0 KiB  64.0 KiB      1    64 B  33%"},
        {pool_of("a", 0x07, 64, 3, 2),
         "a                               huge     64 16.0 KiB  64.0 KiB      2   128 B  67%"},
        {pool_of("a", 0x04, 1, 0, 0),
         "a                               mall      1 16.0 KiB  64.0 KiB      0     0 B   - "},
        {pool_of("a", 0x10, 8, 100000000, 50000000),
         "a                               mall+     8 16.0 KiB  64.0 KiB 50000000 381 MiB  50%"},
        {pool_of(bits32, 0, 8, 2, 1),
         "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn mall+     8 16.0 KiB  64.0 KiB      1     8 B  50%"},
    };
    char header[160];
    EXPECT_STREQ(
        render_text_mempool_row(nullptr, header, sizeof header),
        "Name                            Mode   Size   Block Capacity  Alloc   Usage Load");
    for (const auto &c : cases)
        EXPECT_EQ(pool_line(c.pool), c.line);
    EXPECT_EQ(ugw_pool_load(50000000, 100000000), 50u);
    EXPECT_EQ(ugw_pool_load(3000000000u, 3000000000u), 100u);
}

// Live allocations are the allocations less the releases, also across a
// wrap of the counters; the memory column is their bytes.
TEST(RenderPool, AllocationLines)
{
    const mempool_info pool = pool_of("p", 0x11, 100, 10, 5);
    char header[160];
    EXPECT_STREQ(
        render_text_alloc_row(nullptr, nullptr, header, sizeof header),
        "File                                         Line    # Total    # Alloc   Memory");
    struct {
        mempool_site site;
        const char *line;
    } cases[] = {
        {site_of("gateway/ugwd_flow.cpp", 120, 5, 5),
         "gateway/ugwd_flow.cpp                         120          5          0      0 B"},
        {site_of("radius/radius_db.cpp", 77, 40, 10),
         "radius/radius_db.cpp                           77         40         30  2.92 KiB"},
        {site_of("a/very/long/path/to/a/source.cpp", 1, 2, 0xffffffffu),
         "a/very/long/path/to/a/source.cp                 1          2          3    300 B"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(site_line(pool, c.site), c.line);
}

TEST(RenderPool, ShowBlockListsTheWordsOfItsBits)
{
    const mempool_info pool = pool_of("struct flow", 0x1b, 584, 112, 3);
    std::string out = render_capture([&](FILE *f) { render_text_mempool(f, &pool); });
    EXPECT_EQ(out, "                Name: struct flow\n"
                   "             Options: mmap hugepages track \n"
                   "         Object Size: 584\n"
                   "          Block Size: 16384\n"
                   "           Pool Size: 65536\n"
                   "           Page Size: 4096\n"
                   "       Hugepage Size: 2097152\n"
                   "       Block Objects: 28\n"
                   "       Total Objects: 112\n"
                   "        Used Objects: 3\n"
                   "        Mapped Pages: 16\n"
                   "    Mapped Hugepages: 0\n"
                   "        Malloc Bytes: 96\n");
}

// Every slot of the memory commands in the three forms, from rows that sit
// at odd offsets of the reply.
TEST(RenderPool, SlotsInTheThreeForms)
{
    RENDER_NEED("jq");
    const std::vector<mempool_info> pools = {pool_of("struct flow", 0x0b, 584, 112, 3),
                                             pool_of("odd\"name", 0x81, 8, 0, 0)};
    const slot_rows rows(pools);
    const mempool_info &pool = pools[0];
    const slot_rows sites(std::vector<mempool_site>{site_of("gateway/ugwd_flow.cpp", 120, 5, 2)});
    const slot_rows none(std::vector<mempool_info>{});

    std::string rule(80, '-');
    slot_result t = slot_run(FORM_TEXT, 38, rows.args());
    ASSERT_EQ(t.rc, 0);
    EXPECT_EQ(t.out,
              "Name                            Mode   Size   Block Capacity  Alloc   Usage Load\n" +
                  rule + "\n" + pool_line(pools[0]) + "\n" + pool_line(pools[1]) + "\n");
    EXPECT_EQ(slot_run(FORM_TEXT, 38, none.args()).out,
              "Name                            Mode   Size   Block Capacity  Alloc   Usage Load\n" +
                  rule + "\n");
    EXPECT_EQ(slot_run(FORM_TEXT, 39, {.record = &pool, .record_size = sizeof pool}).out,
              render_capture([&](FILE *f) { render_text_mempool(f, &pool); }));
    EXPECT_EQ(
        slot_run(FORM_TEXT, 40, sites.args(&pool, sizeof pool)).out,
        "File                                         Line    # Total    # Alloc   Memory\n" +
            rule + "\n" +
            "gateway/ugwd_flow.cpp                         120          5          3  1.71 KiB\n");

    EXPECT_EQ(slot_run(FORM_SHORT, 38, rows.args()).out, "struct flow\nodd\"name\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 39, {.record = &pool, .record_size = sizeof pool}).out,
              "struct flow\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 40, sites.args(&pool, sizeof pool)).out,
              "gateway/ugwd_flow.cpp:120: 1752\n");

    slot_result j = slot_run(FORM_JSON, 38, rows.args());
    ASSERT_EQ(j.rc, 0);
    EXPECT_TRUE(slot_json_parses(j.out));
    EXPECT_EQ(render_jq(j.out, "map(.memName)"), "[\"struct flow\",\"odd\\\"name\"]");
    EXPECT_EQ(render_jq(j.out, "map(.memOptions)"),
              "[[\"mmap\",\"hugepages\",\"shared\"],[\"mmap\",null]]");
    EXPECT_EQ(render_jq(j.out, ".[0] | keys_unsorted"),
              "[\"memName\",\"memOptions\",\"memObjectSize\",\"memBlockSize\",\"memPoolSize\","
              "\"memPageSize\",\"memHugeSize\",\"memBlockObjects\",\"memTotalObjects\","
              "\"memUsedObjects\",\"memMmapPages\",\"memHugePages\",\"memMallocBytes\"]");
    EXPECT_EQ(render_jq(j.out, ".[0] | [.memObjectSize,.memUsedObjects,.memMallocBytes]"),
              "[584,3,96]");
    EXPECT_EQ(slot_run(FORM_JSON, 38, none.args()).out, "[]");

    std::string show = slot_run(FORM_JSON, 39, {.record = &pool, .record_size = sizeof pool}).out;
    EXPECT_TRUE(slot_json_parses(show));
    EXPECT_EQ(render_jq(show, "keys_unsorted"), "[\"ulmexMempool\"]");
    EXPECT_EQ(render_jq(show, ".ulmexMempool.memName"), "\"struct flow\"");

    std::string allocs = slot_run(FORM_JSON, 40, sites.args(&pool, sizeof pool)).out;
    EXPECT_EQ(allocs, "[{\"memAllocFile\":\"gateway/ugwd_flow.cpp\",\"memAllocLine\":120,"
                      "\"memAllocCount\":5,\"memReleaseCount\":2}]");
}

// Rows narrower than their record and a missing pool record are replies the
// renderers cannot read: EPROTO, and nothing printed.
TEST(RenderPool, UnreadableRepliesPrintNothing)
{
    const slot_rows narrow(std::vector<mempool_site>{site_of("f", 1, 1, 0)}, 40);
    const mempool_info pool = pool_of("p", 0, 8, 1, 1);
    for (unsigned form : {FORM_TEXT, FORM_SHORT, FORM_JSON}) {
        slot_result r = slot_run(form, 40, narrow.args(&pool, sizeof pool));
        EXPECT_EQ(r.rc, -1) << form;
        EXPECT_EQ(r.err, EPROTO) << form;
        EXPECT_EQ(slot_run(form, 39, {.record = &pool, .record_size = 10}).rc, -1) << form;
    }
    EXPECT_EQ(slot_run(FORM_JSON, 40, narrow.args(&pool, sizeof pool)).out, "");
}
