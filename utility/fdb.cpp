#include "utility/fdb.h"

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <new>

#include "common/log.h"
#include "common/strings.h"

fdb *fdb_open(const char *ifname)
{
    fdb *f = new (std::nothrow) fdb();
    if (!f) {
        ulog(LOG_COMP_UCLIENT, ULOG_ERROR, "Memory allocation failed");
        errno = ENOMEM;
        return nullptr;
    }
    if (shmdb_init(&f->h, ifname, -1, 0, SHMDB_MAX_KEY_BITS, 'F') < 0) {
        int e = errno;
        delete f;
        errno = e;
        return nullptr;
    }
    return f;
}

void fdb_close(fdb *f)
{
    if (!f) return;
    shmdb_fini(&f->h);
    delete f;
}

int fdb_get_stats(fdb *f, fdb_stats *out)
{
    *out = fdb_stats{};
    string_lcpy(out->name, f->h.name, sizeof(out->name));
    int64_t q = shmdb_capacity(&f->h, nullptr);
    if (q < 0) return -1;
    out->size = static_cast<uint64_t>(q);
    out->limit = SHMDB_ABSENT;
    out->aging = SHMDB_ABSENT;
    out->used = shmdb_used(&f->h);
    return 0;
}

int fdb_list_clients(fdb *f, int (*callback)(void *user, const uint8_t mac[6], uint16_t port),
                     void *user)
{
    uint8_t mac[6];
    uint64_t value;
    int64_t i = 0;
    while ((i = shmdb_next(&f->h, i, mac, &value)) > 0)
        if (int rc = callback(user, mac, static_cast<uint16_t>(value))) return rc;
    return errno ? -1 : 0;
}

int fdb_find_client(fdb *f, const uint8_t mac[6], uint16_t *port)
{
    uint64_t value;
    if (shmdb_lookup(&f->h, mac, &value) < 0) return -1;
    if (port) *port = static_cast<uint16_t>(value);
    return 0;
}

namespace
{

int add_fdb_row(void *user, const char *name, unsigned units)
{
    // The directory holds other programs' objects too: only interfaces' tables.
    if (units || shmdb_check_name(name) < 0 || !if_nametoindex(name)) return 0;
    shmdb_quiet = true;
    fdb *f = fdb_open(name);
    shmdb_quiet = false;
    if (!f) return 0;
    auto *rows = static_cast<Ary *>(user);
    fdb_stats *row = array_push<fdb_stats>(rows);
    int rc = row && fdb_get_stats(f, row) == 0 ? 0 : -1;
    if (row && rc < 0) array_truncate(rows, array_length(rows) - 1);
    fdb_close(f);
    return row ? 0 : -1;
}

} // namespace

int fdb_dump_tables(Ary *rows)
{
    uint32_t before = array_length(rows);
    if (shmdb_scan(add_fdb_row, rows) < 0) return -1;
    return static_cast<int>(array_length(rows) - before);
}

size_t fabric_merge(uint8_t *rows, size_t count)
{
    size_t out = 0;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *row = rows + i * FAB_ROW;
        uint8_t *last = out ? rows + (out - 1) * FAB_ROW : nullptr;
        if (last && last[FAB_LOCAL_PORT] == row[FAB_LOCAL_PORT]) {
            for (size_t c = 0; c < FAB_COUNTER_COUNT; c++) {
                uint32_t a, b;
                memcpy(&a, last + FAB_COUNTERS + 4 * c, 4);
                memcpy(&b, row + FAB_COUNTERS + 4 * c, 4);
                a += b;
                memcpy(last + FAB_COUNTERS + 4 * c, &a, 4);
            }
            continue;
        }
        if (out != i) memmove(rows + out * FAB_ROW, row, FAB_ROW);
        out++;
    }
    return out;
}

const uint8_t *fabric_find(const uint8_t *rows, size_t count, uint8_t port)
{
    for (size_t i = 0; i < count; i++)
        if (rows[i * FAB_ROW + FAB_LOCAL_PORT] == port) return rows + i * FAB_ROW;
    return nullptr;
}

const uint8_t *xsk_select(const uint8_t *rows, size_t count, uint32_t ifindex)
{
    for (size_t i = 0; i < count; i++) {
        uint32_t index;
        memcpy(&index, rows + i * XSK_ROW + XSK_IFINDEX, 4);
        if (index == ifindex) return rows + i * XSK_ROW;
    }
    return nullptr;
}

namespace
{

void member_or_null(json_writer *json, const char *name, uint64_t value)
{
    if (value == SHMDB_ABSENT)
        json_member_null(json, name);
    else
        json_member_uint(json, name, value);
}

uint32_t get32(const uint8_t *row, size_t at)
{
    uint32_t v;
    memcpy(&v, row + at, 4);
    return v;
}

uint16_t get16(const uint8_t *row, size_t at)
{
    uint16_t v;
    memcpy(&v, row + at, 2);
    return v;
}

} // namespace

void fdb_json_table(json_writer *json, const fdb_stats *table)
{
    json_open_object(json);
    json_key(json, nullptr, "fdbSharedName");
    json_string(json, table->name, -1);
    json_member_uint(json, "fdbTableSize", table->size);
    json_member_null(json, "fdbAverageTime");
    member_or_null(json, "fdbAgingTime", table->aging);
    member_or_null(json, "fdbTableLimit", table->limit);
    json_close(json);
}

void fdb_json_client(json_writer *json, const uint8_t mac[6], uint16_t port)
{
    json_open_object(json);
    json_key(json, nullptr, "client");
    json_mac(json, mac);
    json_member_uint(json, "port", port);
    json_close(json);
}

void fabric_json(json_writer *json, const uint8_t *row)
{
    static const char *const counters[FAB_COUNTER_COUNT] = {
        "fabInputPackets",    "fabInputBuffers",   "fabInputErrors",
        "fabInputUndelivers", "fabOutputPackets",  "fabOutputBuffers",
        "fabOutputErrors",    "fabOutputOverruns", "fabReclaimStalls"};
    json_open_object(json);
    json_member_uint(json, "fabLocalPort", row[FAB_LOCAL_PORT]);
    json_member_uint(json, "fabRemotePort", row[FAB_REMOTE_PORT]);
    json_member_uint(json, "fabRingSize", get16(row, FAB_RING_SIZE));
    json_member_uint(json, "fabChunkSize", get16(row, FAB_CHUNK_SIZE));
    json_member_uint(json, "fabBufferSize", get16(row, FAB_BUFFER_SIZE));
    json_member_uint(json, "fabBufferCount", get32(row, FAB_BUFFER_COUNT));
    for (size_t i = 0; i < FAB_COUNTER_COUNT; i++)
        json_member_uint(json, counters[i], get32(row, FAB_COUNTERS + 4 * i));
    json_close(json);
}

void xsk_json(json_writer *json, const uint8_t *row)
{
    // Counters as the row holds them, named; written in the members' order.
    enum {
        CHUNK,
        BUFSIZE,
        BUFCOUNT,
        FILL,
        SUBMIT,
        IN_PKTS,
        IN_DROPS,
        IN_ERRS,
        OUT_PKTS,
        OUT_DROPS,
        OUT_ERRS,
        STARVE
    };
    static const struct {
        const char *name;
        int at;
    } order[] = {{"xskChunkSize", CHUNK},        {"xskBufferSize", BUFSIZE},
                 {"xskBufferCount", BUFCOUNT},   {"xskFillRingAvail", FILL},
                 {"xskFillStarvations", STARVE}, {"xskSendRingSubmit", SUBMIT},
                 {"xskInputPackets", IN_PKTS},   {"xskInputDrops", IN_DROPS},
                 {"xskInputErrors", IN_ERRS},    {"xskOutputPackets", OUT_PKTS},
                 {"xskOutputDrops", OUT_DROPS},  {"xskOutputErrors", OUT_ERRS}};
    uint32_t index = get32(row, XSK_IFINDEX);
    char name[IF_NAMESIZE];
    json_open_object(json);
    json_key(json, nullptr, "xskIfIndex");
    json_open_object(json);
    json_member_uint(json, "IfIndex", index);
    json_key(json, nullptr, "IfName");
    json_string(json, if_indextoname(index, name), -1);
    json_close(json);
    json_member_uint(json, "xskOperation", row[XSK_OPERATION]);
    json_key(json, nullptr, "xskQueueId");
    json_int(json, static_cast<int16_t>(get16(row, XSK_QUEUE_ID)));
    json_key(json, nullptr, "xskZeroCopy");
    json_bool(json, row[XSK_ZERO_COPY] != 0);
    json_member_uint(json, "xskRingSize", get32(row, XSK_RING_SIZE));
    for (auto &m : order)
        json_member_uint(json, m.name, get32(row, XSK_COUNTERS + 4 * static_cast<size_t>(m.at)));
    json_close(json);
}
