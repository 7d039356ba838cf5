// The data plane's forwarding databases, read from shared memory: one table
// per interface, key a client MAC, value its 16-bit port. Also the fabric and
// XSK rows the daemon relays, as the renderers take them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "utility/ugw_json.h"
#include "utility/shmdb.h"

// A statistic the shared header does not carry: rendered "-" or null.
inline constexpr uint64_t SHMDB_ABSENT = UINT64_MAX;

struct fdb_stats {
    char name[128];
    uint64_t limit; // SHMDB_ABSENT
    uint64_t size;  // slots of the current half
    uint64_t aging; // SHMDB_ABSENT
    uint64_t used;
};

struct fdb {
    shmdb_handle h;
};

// Interface names that would leave the directory are EINVAL.
fdb *fdb_open(const char *ifname);
void fdb_close(fdb *f);
int fdb_get_stats(fdb *f, fdb_stats *out);
// Each (MAC, port) once; the callback's non-zero result stops the walk and
// is returned. -1 with errno on a failed read.
int fdb_list_clients(fdb *f, int (*callback)(void *user, const uint8_t mac[6], uint16_t port),
                     void *user);
// -1 with ENOENT when the MAC is not in the table.
int fdb_find_client(fdb *f, const uint8_t mac[6], uint16_t *port);
// Appends an fdb_stats row for every object named after an existing interface
// that attaches as a forwarding table; the row count.
int fdb_dump_tables(Ary *rows);

// Fabric rows (48 bytes): local port, remote port, ring size, chunk size,
// buffer size, buffer count, then nine u32 counters.
enum : size_t {
    FAB_LOCAL_PORT = 0,
    FAB_REMOTE_PORT = 1,
    FAB_RING_SIZE = 2,
    FAB_CHUNK_SIZE = 4,
    FAB_BUFFER_SIZE = 6,
    FAB_BUFFER_COUNT = 8,
    FAB_COUNTERS = 12,
    FAB_COUNTER_COUNT = 9,
    FAB_ROW = 48,
};
// XSK rows (60 bytes): interface index first.
enum : size_t {
    XSK_IFINDEX = 0,
    XSK_QUEUE_ID = 4,
    XSK_ZERO_COPY = 6,
    XSK_OPERATION = 7,
    XSK_RING_SIZE = 8,
    XSK_COUNTERS = 12,
    XSK_ROW = 60,
};
// Sums consecutive rows of one local port into the first (counters only);
// returns the rows left.
size_t fabric_merge(uint8_t *rows, size_t count);
// The merged row of one local port, or null.
const uint8_t *fabric_find(const uint8_t *rows, size_t count, uint8_t port);
// The row of one interface, or null.
const uint8_t *xsk_select(const uint8_t *rows, size_t count, uint32_t ifindex);

// JSON objects of the records: absent statistics are null.
void fdb_json_table(json_writer *json, const fdb_stats *table);
void fdb_json_client(json_writer *json, const uint8_t mac[6], uint16_t port);
void fabric_json(json_writer *json, const uint8_t *row);
void xsk_json(json_writer *json, const uint8_t *row);
