// Arbitrary object contents in a temporary SHMDIR through attach, lookup,
// iteration and statistics, as a forwarding table and as a multicast unit.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "utility/fdb.h"
#include "utility/mdb.h"
#include "utility/shmdb.h"

namespace
{

const std::string &dir()
{
    static std::string d = [] {
        char tmpl[] = "/tmp/fuzz-shmdb-XXXXXX";
        std::string made = mkdtemp(tmpl) ? tmpl : "/tmp";
        setenv("SHMDIR", made.c_str(), 1);
        return made + "/";
    }();
    return d;
}

void put(const std::string &name, const uint8_t *data, size_t size)
{
    int fd = open((dir() + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) __builtin_trap();
    close(fd);
}

int count_client(void *user, const uint8_t *, uint16_t)
{
    ++*static_cast<size_t *>(user);
    return 0;
}

int count_group(void *user, const mdb_group *g)
{
    if (g->count > 256) __builtin_trap();
    ++*static_cast<size_t *>(user);
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A seed of 0 is waited for; keep the fuzzer from waiting on most inputs.
    std::vector<uint8_t> obj(data, data + size);
    if (obj.size() >= 12 && !(obj[0] & 1) && !obj[8] && !obj[9] && !obj[10] && !obj[11]) obj[8] = 1;
    put("fz0", obj.data(), obj.size());
    put("fz1:0", obj.data(), obj.size());
    put("fz1:1", obj.data(), obj.size());

    uint8_t probe[6] = {};
    if (size >= 6) memcpy(probe, data + size - 6, 6);
    if (fdb *f = fdb_open("fz0")) {
        uint16_t port;
        fdb_find_client(f, probe, &port);
        memset(probe, 0, 6);
        fdb_find_client(f, probe, &port);
        size_t n = 0;
        fdb_list_clients(f, count_client, &n);
        if (n > 2ull * f->h.size) __builtin_trap();
        fdb_stats st;
        fdb_get_stats(f, &st);
        fdb_close(f);
    }
    if (mdb *m = mdb_open("fz1", 0)) {
        mdb_group g;
        mdb_find_group(m, probe, &g);
        size_t n = 0;
        mdb_list_groups(m, count_group, &n);
        mdb_stats st;
        mdb_get_stats(m, &st);
        char text[32];
        mdb_group_text(&g, text, sizeof(text));
        mdb_close(m);
    }
    Ary rows;
    array_init(&rows, sizeof(fdb_stats));
    fdb_dump_tables(&rows);
    array_purge(&rows);
    return 0;
}
