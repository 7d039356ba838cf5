// Reader of the data plane's shared-memory hash tables.
//
// The data plane creates and writes each table; ugw maps it read-only and
// reads it while it changes. An object is a header of one cache line and two
// halves of S 8-byte slots each; the state word at the head says which half is
// current and how large it is. A slot holds a key in its low k bits and a value
// above them; 0 is empty. Probing is triangular (offsets 0, 1, 3, 6, ...), which
// on a power-of-two half visits every slot once.
//
// Nothing in the object is trusted: the header is checked before use, the
// object's size is taken by fstat before every mapping (a state word may
// announce a size the object does not have yet), a SIGBUS from an object that
// shrank under the reader becomes an error, and every retry loop is bounded.
//
// Iteration follows moves: slots of the other half are reported when their
// key is not found among those already reported in the same pass, and a pass
// whose state word changed starts over from the first slot, skipping what it
// reported. A writer that keeps an entry in one half or the other at every
// moment of one state word therefore has each untouched entry listed exactly
// once per pass. Cost per pass: one probe and one set insert per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum : uint32_t {
    SHMDB_MAX_SIZE = 0x1fffffff, // slots per half
    SHMDB_MAX_KEY_BITS = 48,
    SHMDB_MAX_PORTS = 256,
    SHMDB_RETRIES = 8, // remaps, seed reads and pass restarts before EAGAIN
};

// Header fields, by byte offset; native byte order.
enum : size_t {
    SHMDB_HDR_STATE = 0,
    SHMDB_HDR_SEED = 8,
    SHMDB_HDR_STAMP = 12,
    SHMDB_HDR_USED = 16,
    SHMDB_HDR_KEY_BITS = 20,
    SHMDB_HDR_PORTS = 24,
    SHMDB_HDR_MIN = 32, // the fields above, rounded to a slot
};

// State word: the format's bits sit in its upper 32 bits; the lower 32 are
// the writer's own (ours counts phases of a move).
enum : uint64_t {
    SHMDB_STATE_HALF = 1ull << 63,    // index of the current half
    SHMDB_STATE_DOUBLED = 1ull << 61, // with HALF: the current half is 2B
    SHMDB_STATE_EXP_SHIFT = 56,       // 5 bits: base exponent s
    SHMDB_STATE_EXP_MASK = 0x1f,
};

struct shmdb_handle {
    uint8_t *base; // mapping: header, half 0, half 1
    size_t header; // header bytes (cache line)
    const uint64_t *half[2];
    uint32_t mask_hi, mask_lo; // the key's k low bits, split at bit 32
    uint64_t key_mask;
    uint32_t size; // mapped size S (slots per half)
    int fd;
    char name[64];
    int unit; // -1: a table without units
    uint32_t seed;
    uint32_t key_bits;
    char kind; // 'F' or 'M', for log lines
    // What lookups decoded from one state word, reused while the word stays.
    uint64_t view_state;
    const uint64_t *view_current, *view_other;
    uint32_t view_q, view_b;
    bool view_valid;
    // Set by the SIGBUS handler when a page of the mapping was lost (the
    // object shrank); a fresh mapping clears it.
    volatile bool bus_fault;
    // Iteration pass: the state it began in, its restarts, the keys reported.
    uint64_t pass_state;
    unsigned pass_restarts;
    std::vector<uint64_t> seen;
    size_t seen_count;
};

// Set while scanning the directory, where foreign objects are expected:
// attach failures are then not logged.
extern thread_local bool shmdb_quiet;

// The header size the data plane uses on this machine.
size_t shmdb_header_size();
// SHMDIR, else "/dev/shm/"; always ends in '/'.
const char *shmdb_dir();

// Attaches an object (size 0: the size the state word gives). key_bits 0
// takes the header's, else the header must carry exactly that many. Logs the
// failure texts; 0 or -1 with errno.
int shmdb_init(shmdb_handle *h, const char *name, int unit, uint32_t size, uint32_t key_bits,
               char kind);
void shmdb_fini(shmdb_handle *h);
// Maps again at the state word's size (size 0) or the given one; -1 with
// EAGAIN when the object never holds what the state word announces.
int shmdb_remap(shmdb_handle *h, uint32_t size);
// Q, and s through *exponent; -1 with errno on a bad state word.
int64_t shmdb_capacity(shmdb_handle *h, unsigned *exponent);
// Slot index (Q + i for slot i of the other half) or -1 (ENOENT, or the error).
int64_t shmdb_lookup(shmdb_handle *h, const uint8_t key[6], uint64_t *value);
// From index 0 a new pass begins. Returns the index after the reported slot,
// or -1: errno 0 at the end, else the error.
int64_t shmdb_next(shmdb_handle *h, int64_t index, uint8_t key[6], uint64_t *value);
// Counters, read after a full barrier.
uint32_t shmdb_used(shmdb_handle *h);
uint32_t shmdb_ports(shmdb_handle *h);

// Objects of the directory in name order: units ("name:N") once per table
// with their count, other names with 0. Returns the callback's first
// non-zero result, or 0; -1 with errno when the directory cannot be read.
int shmdb_scan(int (*callback)(void *user, const char *name, unsigned units), void *user);
// "%s:%u" with a unit, else the name.
char *shmdb_display_name(const char *name, int unit, char *buffer, size_t size);

// The hash of a stored key (k bits, never 0), as reader and writer use it.
uint32_t shmdb_hash(uint32_t seed, uint64_t key, uint32_t key_bits);
// A 6-byte key as stored: its k low bits, all ones when they are all zero.
uint64_t shmdb_key(const uint8_t key[6], uint32_t key_bits);
// Checks that a table name cannot leave the directory: EINVAL otherwise.
int shmdb_check_name(const char *name);
