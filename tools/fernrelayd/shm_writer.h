// The stand-in data plane's writer of shared-memory hash tables, in the
// format ugw reads (utility/shmdb.h).
//
// One writer per table. At rest the current half holds every entry and the
// other half is all zero. A move (same-size rehash or doubling) goes:
// announce the empty half as current, copy every entry into it while the old
// copies stay, bump the state word's low bits, then clear the old half. Every
// entry is so in one half or the other for as long as one state word lasts,
// and a reader that restarts its pass on a new state word misses none.
// Deletion leaves a tombstone (no key bits, all value bits) so probe chains
// stay intact; the tombstones go with the next rehash. A doubling grows the
// object before the state word says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct shm_table;

// Creates the object "name" (a unit's name carries its ":N") under SHMDIR
// with 2^exponent slots; null with errno (EEXIST: another writer has it).
shm_table *shm_table_create(const char *name, uint32_t key_bits, uint32_t ports, unsigned exponent);
// Unmaps; with remove, also deletes the object.
void shm_table_destroy(shm_table *t, bool remove);

// Keys in stored form (shmdb_key). Insert or replace; -1 with ENOSPC when
// the table cannot grow.
int shm_table_put(shm_table *t, uint64_t key, uint64_t value);
int shm_table_get(shm_table *t, uint64_t key, uint64_t *value);
int shm_table_del(shm_table *t, uint64_t key); // ENOENT
int shm_table_double(shm_table *t);            // ENOSPC at the largest size
int shm_table_rehash(shm_table *t);
uint32_t shm_table_used(const shm_table *t);
uint32_t shm_table_capacity(const shm_table *t);
// Makes the object claim 2^exponent slots without growing it, or cuts it to
// bytes; for tests of a broken writer.
void shm_table_set_exponent(shm_table *t, unsigned exponent);

// The stand-in's side: a forwarding table per port interface, multicast
// tables on request, and the control commands (see the README).
void shm_writer_port_added(uint32_t ifindex);
void shm_writer_port_removed(uint32_t ifindex);
// Reply text of a control command, or empty when the line is not one of ours.
std::string shm_writer_command(const std::string &line);
// Stops churn and removes the objects this process created.
void shm_writer_shutdown();
