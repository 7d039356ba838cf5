// The commands that read the data plane's shared-memory tables, run through
// the executor and the product's renderer table over tables the stand-in's
// writer made, in the three output forms; and the fabric and AF_XDP row
// renderers over rows of known counters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <net/if.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tools/fernrelayd/shm_writer.h"
#include "utility/fdb.h"
#include "utility/mdb.h"
#include "utility/shmdb.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render_shm.h"

namespace
{

enum { TEXT = 0, SHORT = 1, JSON = 2 };

const std::string RULE(80, '-');

struct result {
    int rc;
    int err;
    std::string out;
};

// Standard output of fn, through a file.
std::string stdout_of(const std::function<void()> &fn)
{
    char path[] = "/tmp/ugw_shm_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    char buf[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(got));
    close(fd);
    unlink(path);
    return out;
}

// No daemon: these kinds never use the connection.
result run(const std::string &line, int form)
{
    std::string b = line;
    char *words[31];
    int n = ugw_split_words(b.data(), words, 31);
    ugw_command cmd;
    EXPECT_EQ(ugw_parse_args(n, words, &cmd), 0) << line;
    result r{};
    r.out = stdout_of([&] {
        errno = 0;
        r.rc = ugw_execute_on(nullptr, &cmd, form, &ugw_renderers, &ugw_actions);
        r.err = errno;
    });
    return r;
}

uint64_t key_of(const char *mac, uint32_t bits)
{
    unsigned b[6];
    sscanf(mac, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    uint8_t m[6];
    for (int i = 0; i < 6; i++)
        m[i] = static_cast<uint8_t>(b[i]);
    return shmdb_key(m, bits);
}

std::string sorted_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto &l : lines)
        out += l + "\n";
    return out;
}

class ShmCommands : public testing::Test
{
  protected:
    std::string dir;
    std::vector<shm_table *> tables;

    void SetUp() override
    {
        std::string tmpl = testing::TempDir() + "ugw-shm-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl.data()));
        dir = tmpl + "/";
        setenv("SHMDIR", dir.c_str(), 1);
        // "lo": a forwarding table of one client and a multicast database of
        // 40 ports (2 units of 20, 44 key bits); "m8": 8 ports, one unit.
        shm_table *f = make("lo", 48, 0);
        shm_table_put(f, key_of("00:16:3e:00:00:01", 48), 1);
        shm_table *u0 = make("lo:0", 44, 40), *u1 = make("lo:1", 44, 40);
        uint64_t g = key_of("01:00:5e:00:00:fb", 44);
        shm_table_put(u0, g, 1u << 0);  // port 0
        shm_table_put(u1, g, 1u << 13); // port 33
        shm_table *m8 = make("m8:0", 48, 8);
        shm_table_put(m8, key_of("01:00:5e:00:00:01", 48), 0xa); // ports 1 and 3
        make("notanif", 48, 0); // another program's object, not an interface
    }
    void TearDown() override
    {
        for (shm_table *t : tables)
            shm_table_destroy(t, true);
        rmdir(dir.c_str());
        unsetenv("SHMDIR");
    }
    shm_table *make(const char *name, uint32_t bits, uint32_t ports)
    {
        shm_table *t = shm_table_create(name, bits, ports, 4);
        EXPECT_TRUE(t) << name << ": " << strerror(errno);
        tables.push_back(t);
        return t;
    }
};

TEST_F(ShmCommands, ListAndShowInTheThreeForms)
{
    const std::string tables_header =
        "Table                                       Capacity       Limit   Aging  Actual\n" +
        RULE + "\n";
    struct {
        const char *line;
        int form;
        std::string out;
    } cases[] = {
        {"list fdbs", TEXT,
         tables_header + "lo" + std::string(38, ' ') +
             "          16           -       -       -\n"},
        {"list fdbs", SHORT, "lo\n"},
        {"list fdbs", JSON,
         R"([{"fdbSharedName":"lo","fdbTableSize":16,"fdbAverageTime":null,"fdbAgingTime":null,"fdbTableLimit":null}])"
         "\n"},
        {"list mdbs", TEXT,
         tables_header + "lo" + std::string(38, ' ') +
             "          32           -       -       -\n"},
        {"list mdbs", SHORT, "lo\n"},
        {"list mdbs", JSON,
         R"([{"mdbSharedName":"lo","mdbTableUnits":2,"mdbTableWidth":20,"mdbTablePorts":40,"mdbTableSize":32,"mdbTableLimit":null,"mdbAverageTime":null,"mdbAgingTime":null}])"
         "\n"},
        // One given MAC: two blanks before the port; the full list three.
        {"list fdb lo clients", TEXT,
         "Client              Port\n" + RULE.substr(0, 24) + "\n00:16:3e:00:00:01      1\n"},
        {"show fdb lo client 00:16:3e:00:00:01", TEXT,
         "Client              Port\n" + RULE.substr(0, 24) + "\n00:16:3e:00:00:01     1\n"},
        {"list fdb lo clients", SHORT, "1\n"},
        {"show fdb lo client 00:16:3e:00:00:01", SHORT, "1\n"},
        {"list fdb lo clients", JSON,
         R"({"00:16:3e:00:00:01":{"client":"00:16:3e:00:00:01","port":1}})"
         "\n"},
        {"show fdb lo client 00:16:3e:00:00:01", JSON,
         R"({"00:16:3e:00:00:01":{"client":"00:16:3e:00:00:01","port":1}})"
         "\n"},
        // 25 ports or more: members over ports. 44 key bits: the stored bits.
        {"list mdb lo groups", TEXT,
         "Multicast          Ports\n" + RULE + "\n1005e0000fb/44  2/40\n"},
        {"show mdb lo group 01:00:5e:00:00:fb", TEXT,
         "Multicast          Ports\n" + RULE + "\n1005e0000fb/44  2/40\n"},
        {"list mdb lo groups", SHORT, "2\n"},
        {"list mdb lo groups", JSON,
         R"({"1005e0000fb/44":{"group":"1005e0000fb/44","ports":[0,33]}})"
         "\n"},
        // Fewer ports: each member; 48 key bits: the MAC.
        {"list mdb m8 groups", TEXT,
         "Multicast          Ports\n" + RULE + "\n01:00:5e:00:00:01  1 3 \n"},
        {"show mdb m8 group 01:00:5e:00:00:01", JSON,
         R"({"01:00:5e:00:00:01":{"group":"01:00:5e:00:00:01","ports":[1,3]}})"
         "\n"},
    };
    for (auto &c : cases) {
        result r = run(c.line, c.form);
        EXPECT_EQ(r.rc, 0) << c.line << " form " << c.form << ": " << strerror(r.err);
        EXPECT_EQ(r.out, c.out) << c.line << " form " << c.form;
    }
}

TEST_F(ShmCommands, FailuresPrintNothingButTheError)
{
    struct {
        const char *line;
        int err;
    } cases[] = {
        {"show fdb lo client 00:16:3e:00:00:02", ENOENT},
        {"show mdb m8 group 01:00:5e:00:00:02", ENOENT},
        {"show mdb lo group 01:00:5e:00:00:02", ENOENT},
        {"list fdb nosuch clients", ENOENT},
        {"list mdb nosuch groups", ENOENT},
        // Names that would open files outside the directory.
        {"list fdb ../x clients", EINVAL},
        {"list mdb .hidden groups", EINVAL},
        {"show fdb abcdefghijklmnop client 00:16:3e:00:00:01", EINVAL},
    };
    for (int form : {TEXT, SHORT, JSON})
        for (auto &c : cases) {
            result r = run(c.line, form);
            EXPECT_EQ(r.rc, -1) << c.line;
            EXPECT_EQ(r.err, c.err) << c.line << ": " << strerror(r.err);
            EXPECT_EQ(r.out, "") << c.line;
        }
}

TEST_F(ShmCommands, FullListingHoldsEveryEntryOnce)
{
    shm_table *f = tables[0];
    std::string want;
    for (unsigned i = 2; i <= 40; i++) { // doubles the table twice on the way
        char mac[18];
        snprintf(mac, sizeof(mac), "00:16:3e:00:01:%02x", i);
        shm_table_put(f, key_of(mac, 48), i);
        char line[32];
        snprintf(line, sizeof(line), "%s   %4u\n", mac, i);
        want += line;
    }
    want += "00:16:3e:00:00:01      1\n";
    result r = run("list fdb lo clients", TEXT);
    ASSERT_EQ(r.rc, 0) << strerror(r.err);
    std::string head = "Client              Port\n" + RULE.substr(0, 24) + "\n";
    ASSERT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(sorted_lines(r.out.substr(head.size())), sorted_lines(want));
}

// ---- fabric and AF_XDP rows ----

template <size_t N>
std::vector<uint8_t> row(std::initializer_list<std::pair<size_t, uint32_t>> u32s)
{
    std::vector<uint8_t> r(N);
    for (auto &[at, v] : u32s)
        memcpy(r.data() + at, &v, 4);
    return r;
}

std::string render_rows(ugw_renderer fn, const std::vector<uint8_t> &rows, size_t size)
{
    ugw_render_args a{};
    a.rows = rows.empty() ? nullptr : rows.data();
    a.count = static_cast<uint32_t>(rows.size() / size);
    a.row_size = static_cast<uint32_t>(size);
    return stdout_of([&] { EXPECT_EQ(fn(&a, nullptr), 0); });
}

TEST(ShmRenderers, FabricRowsMergedPerPort)
{
    // Two links of local port 3 (consecutive), one of port 4.
    auto a = row<FAB_ROW>({{FAB_COUNTERS + 0, 1000},
                           {FAB_COUNTERS + 4, 10},
                           {FAB_COUNTERS + 16, 1000000},
                           {FAB_COUNTERS + 20, 2},
                           {FAB_COUNTERS + 28, 7},
                           {FAB_COUNTERS + 32, 9}});
    auto b = row<FAB_ROW>({{FAB_COUNTERS + 0, 500},
                           {FAB_COUNTERS + 16, 500000},
                           {FAB_COUNTERS + 8, 1},
                           {FAB_COUNTERS + 12, 3},
                           {FAB_COUNTERS + 24, 5}});
    auto c = row<FAB_ROW>({});
    a[FAB_LOCAL_PORT] = b[FAB_LOCAL_PORT] = 3;
    c[FAB_LOCAL_PORT] = 4;
    std::vector<uint8_t> rows = a;
    rows.insert(rows.end(), b.begin(), b.end());
    rows.insert(rows.end(), c.begin(), c.end());
    rows.resize(fabric_merge(rows.data(), 3) * FAB_ROW);
    EXPECT_EQ(
        render_rows(ugw_text_fabric, rows, FAB_ROW),
        "Port   Sent +Frags Overruns   Errors  Received +Frags Undelvrd   Errors   Stalls\n" +
            RULE +
            "\n"
            "   3  1.50M      2        7        5     1.50k     10        3        1        9\n"
            "   4      0      0        0        0         0      0        0        0        0\n");
    EXPECT_EQ(render_rows(ugw_short_fabric, rows, FAB_ROW), "3\n4\n");
    std::string json = render_rows(ugw_json_fabric, rows, FAB_ROW);
    EXPECT_EQ(json.substr(0, 74),
              R"([{"fabLocalPort":3,"fabRemotePort":0,"fabRingSize":0,"fabChunkSize":0,"fab)");
    EXPECT_NE(json.find(R"("fabInputPackets":1500,)"), std::string::npos) << json;
    EXPECT_EQ(render_rows(ugw_text_fabric, {}, FAB_ROW),
              "Port   Sent +Frags Overruns   Errors  Received +Frags Undelvrd   Errors   Stalls\n" +
                  RULE + "\n");
    EXPECT_EQ(render_rows(ugw_json_fabric, {}, FAB_ROW), "[]");
}

TEST(ShmRenderers, XskRowsByInterface)
{
    uint32_t lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    // Counters after the ring size: chunk, buffer size, buffer count, fill,
    // submit, in, in drops, in errors, out, out drops, out errors, starvations.
    auto q0 = row<XSK_ROW>({{XSK_IFINDEX, lo},
                            {XSK_RING_SIZE, 2048},
                            {XSK_COUNTERS + 12, 1024},
                            {XSK_COUNTERS + 16, 512},
                            {XSK_COUNTERS + 20, 123456},
                            {XSK_COUNTERS + 32, 999},
                            {XSK_COUNTERS + 44, 4}});
    auto q1 = q0;
    int16_t one = 1, none = -1;
    memcpy(q0.data() + XSK_QUEUE_ID, &none, 2);
    memcpy(q1.data() + XSK_QUEUE_ID, &one, 2);
    q0[XSK_OPERATION] = 2; // no pending level
    q1[XSK_OPERATION] = 1; // no fill level
    auto other = row<XSK_ROW>({{XSK_IFINDEX, 0}});
    std::vector<uint8_t> rows = q0;
    rows.insert(rows.end(), q1.begin(), q1.end());
    rows.insert(rows.end(), other.begin(), other.end());
    char lo_col[16];
    snprintf(lo_col, sizeof(lo_col), "%-15s", "lo");
    EXPECT_EQ(render_rows(ugw_text_xsk, rows, XSK_ROW),
              "Interface    Queue Ring Fill Pend  Blk Sent  Drops Error Rcvd  Drops Error Starv\n" +
                  RULE + "\n" + lo_col +
                  "  - 2048  50%    -    0   999     0     0  123k     0     0     4\n" + lo_col +
                  "  1 2048    -  25%    0   999     0     0  123k     0     0     4\n" +
                  std::string(15, ' ') +
                  "  0    0    -    -    0     0     0     0     0     0     0     0\n");
    // The queues of one interface print its name once; a nameless index an empty line.
    EXPECT_EQ(render_rows(ugw_short_xsk, rows, XSK_ROW), "lo\n\n");
    std::string json = render_rows(ugw_json_xsk, rows, XSK_ROW);
    EXPECT_EQ(json.substr(0, 46), R"([{"xskIfIndex":{"IfIndex":1,"IfName":"lo"},"xs)");
    EXPECT_EQ(json.back(), ']');
}

TEST(ShmRenderers, TableNamesPrintAsSafeText)
{
    // An interface name may hold an escape; a name may fill its field.
    fdb_stats rows[2] = {{"e\x1b[2Jth", SHMDB_ABSENT, 64, SHMDB_ABSENT, 1}, {}};
    memset(rows[1].name, 'x', sizeof(rows[1].name));
    rows[1].size = 8;
    ugw_render_args a{};
    a.rows = rows;
    a.count = 2;
    a.row_size = sizeof(fdb_stats);
    std::string x40(40, 'x');
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(ugw_text_fdb_tables(&a, nullptr), 0); }),
              "Table                                       Capacity       Limit   Aging  Actual\n" +
                  RULE + "\ne.[2Jth" + std::string(33, ' ') +
                  "          64           -       -       -\n" + x40 +
                  "           8           -       -       -\n");
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(ugw_short_fdb_tables(&a, nullptr), 0); }),
              "e.[2Jth\n" + std::string(sizeof(rows[1].name), 'x') + "\n");
}

TEST(ShmRenderers, RowsTooShortAreAProtocolError)
{
    std::vector<uint8_t> rows(40);
    ugw_render_args a{};
    a.rows = rows.data();
    a.count = 1;
    a.row_size = 40;
    for (ugw_renderer fn : {ugw_text_fabric, ugw_text_xsk, ugw_json_xsk, ugw_short_fdb_tables}) {
        errno = 0;
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(fn(&a, nullptr), -1); }), "");
        EXPECT_EQ(errno, EPROTO);
    }
}

} // namespace
