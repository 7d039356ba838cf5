// The data plane's multicast databases, read from shared memory. Up to 256
// ports split into u = ceil(ports / 32) units, each its own table "name:i";
// a unit's value is a bitmap of w ports (unit i covers ports i*w .. i*w+w-1)
// and its key the group MAC's low 64 - w bits, at most 48 (w is raised to 16
// for fewer ports). With fewer than 48 key bits the group's high bits are not
// stored: groups are shown as the stored bits, never as a made-up MAC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/array.h"
#include "utility/shmdb.h"
#include "utility/ugw_json.h"

enum : unsigned { MDB_MAX_UNITS = 8 };

struct mdb_stats {
    char name[128];
    uint8_t units;
    uint8_t width;
    uint16_t ports;
    uint64_t limit; // SHMDB_ABSENT
    uint64_t aging; // SHMDB_ABSENT
    uint64_t size;  // sum of the units' sizes
    uint64_t used;  // sum
};

struct mdb {
    shmdb_handle unit[MDB_MAX_UNITS];
    unsigned units, width, ports, key_bits;
};

struct mdb_group {
    uint64_t key; // the stored bits
    uint32_t key_bits;
    uint16_t count;
    uint16_t ports[256];
};

// Units, width and key bits of a database of this many ports; -1 (EINVAL)
// for 0 or more than 256.
int mdb_geometry(size_t ports, unsigned *units, unsigned *width, unsigned *key_bits);
// ports 0: attach units 0.. until one is missing and take the geometry from
// unit 0's header. Every unit must agree with it.
mdb *mdb_open(const char *name, size_t ports);
void mdb_close(mdb *m);
int mdb_get_stats(mdb *m, mdb_stats *out);
// Groups in key order, each with its ports from every unit.
int mdb_list_groups(mdb *m, int (*callback)(void *user, const mdb_group *group), void *user);
// Looks the group up by its stored (low) bits; -1 with ENOENT when absent.
int mdb_find_group(mdb *m, const uint8_t mac[6], mdb_group *out);
// "%02x:...": a MAC with 48 key bits, else the stored bits as hex and their
// width ("5e0000fb/44").
char *mdb_group_text(const mdb_group *g, char *buffer, size_t size);
int mdb_dump_tables(Ary *rows);

void mdb_json_table(json_writer *json, const mdb_stats *table);
void mdb_json_group(json_writer *json, const mdb_group *group);
