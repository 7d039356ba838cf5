#include "utility/mdb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <array>
#include <map>
#include <net/if.h>
#include <new>

#include "common/log.h"
#include "common/strings.h"
#include "utility/fdb.h"

int mdb_geometry(size_t ports, unsigned *units, unsigned *width, unsigned *key_bits)
{
    if (ports < 1 || ports > SHMDB_MAX_PORTS) {
        errno = EINVAL;
        return -1;
    }
    unsigned u = static_cast<unsigned>((ports + 31) / 32);
    unsigned w = static_cast<unsigned>((ports + u - 1) / u);
    unsigned k = 64 - w < SHMDB_MAX_KEY_BITS ? 64 - w : SHMDB_MAX_KEY_BITS;
    *units = u;
    *width = 64 - k;
    *key_bits = k;
    return 0;
}

namespace
{

void detach(mdb *m, unsigned n)
{
    for (unsigned i = 0; i < n; i++)
        shmdb_fini(&m->unit[i]);
}

int bad_header(mdb *m, const char *name, unsigned attached)
{
    if (!shmdb_quiet)
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Bad header of shared memory object %s", name);
    detach(m, attached);
    errno = EINVAL;
    return -1;
}

} // namespace

mdb *mdb_open(const char *name, size_t ports)
{
    if (ports > SHMDB_MAX_PORTS) {
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Too many ports %zu", ports);
        errno = EINVAL;
        return nullptr;
    }
    mdb *m = new (std::nothrow) mdb();
    if (!m) {
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return nullptr;
    }
    int rc = [&] {
        if (ports) {
            if (mdb_geometry(ports, &m->units, &m->width, &m->key_bits) < 0) return -1;
            for (unsigned i = 0; i < m->units; i++)
                if (shmdb_init(&m->unit[i], name, static_cast<int>(i), 0, m->key_bits, 'M') < 0) {
                    int e = errno;
                    detach(m, i);
                    errno = e;
                    return -1;
                }
        } else {
            if (shmdb_init(&m->unit[0], name, 0, 0, 0, 'M') < 0) return -1;
            m->units = 1;
            bool quiet = shmdb_quiet;
            shmdb_quiet = true; // the first missing unit ends the search
            while (m->units < MDB_MAX_UNITS &&
                   shmdb_init(&m->unit[m->units], name, static_cast<int>(m->units), 0,
                              m->unit[0].key_bits, 'M') == 0)
                m->units++;
            shmdb_quiet = quiet;
            ports = shmdb_ports(&m->unit[0]);
            unsigned units, width, bits;
            if (mdb_geometry(ports, &units, &width, &bits) < 0 || units != m->units ||
                bits != m->unit[0].key_bits)
                return bad_header(m, name, m->units);
            m->width = width;
            m->key_bits = bits;
        }
        m->ports = static_cast<unsigned>(ports);
        for (unsigned i = 0; i < m->units; i++)
            if (shmdb_ports(&m->unit[i]) != ports) return bad_header(m, name, m->units);
        return 0;
    }();
    if (rc < 0) {
        int e = errno;
        delete m;
        errno = e;
        return nullptr;
    }
    return m;
}

void mdb_close(mdb *m)
{
    if (!m) return;
    detach(m, m->units);
    delete m;
}

int mdb_get_stats(mdb *m, mdb_stats *out)
{
    *out = mdb_stats{};
    string_lcpy(out->name, m->unit[0].name, sizeof(out->name));
    out->units = static_cast<uint8_t>(m->units);
    out->width = static_cast<uint8_t>(m->width);
    out->ports = static_cast<uint16_t>(m->ports);
    out->limit = SHMDB_ABSENT;
    out->aging = SHMDB_ABSENT;
    for (unsigned i = 0; i < m->units; i++) {
        int64_t q = shmdb_capacity(&m->unit[i], nullptr);
        if (q < 0) return -1;
        out->size += static_cast<uint64_t>(q);
        out->used += shmdb_used(&m->unit[i]);
    }
    return 0;
}

namespace
{

void add_ports(mdb *m, unsigned unit, uint64_t bitmap, mdb_group *g)
{
    for (unsigned b = 0; b < m->width; b++)
        if (bitmap >> b & 1) {
            unsigned port = unit * m->width + b;
            if (port < m->ports && g->count < 256)
                g->ports[g->count++] = static_cast<uint16_t>(port);
        }
}

uint64_t key_value(const uint8_t key[6])
{
    uint64_t k = 0;
    for (int i = 0; i < 6; i++)
        k = k << 8 | key[i];
    return k;
}

} // namespace

int mdb_list_groups(mdb *m, int (*callback)(void *user, const mdb_group *group), void *user)
{
    std::map<uint64_t, std::array<uint64_t, MDB_MAX_UNITS>> groups;
    for (unsigned u = 0; u < m->units; u++) {
        uint8_t key[6];
        uint64_t value;
        int64_t i = 0;
        while ((i = shmdb_next(&m->unit[u], i, key, &value)) > 0)
            groups[key_value(key)][u] = value;
        if (errno) return -1;
    }
    mdb_group g;
    for (auto &[key, bitmaps] : groups) {
        g.key = key;
        g.key_bits = m->key_bits;
        g.count = 0;
        for (unsigned u = 0; u < m->units; u++)
            add_ports(m, u, bitmaps[u], &g);
        if (int rc = callback(user, &g)) return rc;
    }
    return 0;
}

int mdb_find_group(mdb *m, const uint8_t mac[6], mdb_group *out)
{
    out->key = shmdb_key(mac, m->key_bits);
    out->key_bits = m->key_bits;
    out->count = 0;
    bool found = false;
    for (unsigned u = 0; u < m->units; u++) {
        uint64_t value;
        if (shmdb_lookup(&m->unit[u], mac, &value) >= 0) {
            add_ports(m, u, value, out);
            found = true;
        } else if (errno != ENOENT) {
            return -1;
        }
    }
    if (!found) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

char *mdb_group_text(const mdb_group *g, char *buffer, size_t size)
{
    if (g->key_bits >= 48) {
        uint64_t k = g->key;
        snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x",
                 static_cast<unsigned>(k >> 40 & 0xff), static_cast<unsigned>(k >> 32 & 0xff),
                 static_cast<unsigned>(k >> 24 & 0xff), static_cast<unsigned>(k >> 16 & 0xff),
                 static_cast<unsigned>(k >> 8 & 0xff), static_cast<unsigned>(k & 0xff));
    } else {
        snprintf(buffer, size, "%0*llx/%u", static_cast<int>((g->key_bits + 3) / 4),
                 static_cast<unsigned long long>(g->key), g->key_bits);
    }
    return buffer;
}

namespace
{

int add_mdb_row(void *user, const char *name, unsigned units)
{
    if (!units || shmdb_check_name(name) < 0 || !if_nametoindex(name)) return 0;
    shmdb_quiet = true;
    mdb *m = mdb_open(name, 0);
    shmdb_quiet = false;
    if (!m || m->units != units) {
        mdb_close(m);
        return 0;
    }
    auto *rows = static_cast<Ary *>(user);
    mdb_stats *row = array_push<mdb_stats>(rows);
    if (row && mdb_get_stats(m, row) < 0) array_truncate(rows, array_length(rows) - 1);
    mdb_close(m);
    return row ? 0 : -1;
}

} // namespace

int mdb_dump_tables(Ary *rows)
{
    uint32_t before = array_length(rows);
    if (shmdb_scan(add_mdb_row, rows) < 0) return -1;
    return static_cast<int>(array_length(rows) - before);
}

void mdb_json_table(json_writer *json, const mdb_stats *table)
{
    json_open_object(json);
    json_key(json, nullptr, "mdbSharedName");
    json_string(json, table->name, -1);
    json_member_uint(json, "mdbTableUnits", table->units);
    json_member_uint(json, "mdbTableWidth", table->width);
    json_member_uint(json, "mdbTablePorts", table->ports);
    json_member_uint(json, "mdbTableSize", table->size);
    if (table->limit == SHMDB_ABSENT)
        json_member_null(json, "mdbTableLimit");
    else
        json_member_uint(json, "mdbTableLimit", table->limit);
    json_member_null(json, "mdbAverageTime");
    if (table->aging == SHMDB_ABSENT)
        json_member_null(json, "mdbAgingTime");
    else
        json_member_uint(json, "mdbAgingTime", table->aging);
    json_close(json);
}

void mdb_json_group(json_writer *json, const mdb_group *group)
{
    char text[32];
    mdb_group_text(group, text, sizeof(text));
    json_open_object(json);
    json_key(json, nullptr, "group");
    json_plain_string(json, text, strlen(text));
    json_key(json, nullptr, "ports");
    json_open_array(json);
    for (unsigned i = 0; i < group->count && i < std::size(group->ports); i++)
        json_uint(json, group->ports[i]);
    json_close(json);
    json_close(json);
}
