// The daemon's options, their defaults and usage, and what it hands its
// data-plane children: argument lists and shares of packet memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ugwd_options {
    char *control_sock;   // -S
    char *dp_sock_prefix; // a child's socket is this, a dot and its pid
    char *dp_program;     // -D; null when it could not be located
    int dp_errno;         // why dp_program is null
    char *pid_file;       // -P
    char *lease_file;     // -W
    char *log_file;       // -F, may be null
    unsigned port;        // controller UDP port
    unsigned nprocs;      // data-plane processes
    unsigned ifindex;     // control-plane interface, 0 = none
    unsigned channels;    // the largest NIC channel count
    uint32_t buffer_size;
    uint64_t memory_size;
    uint32_t ring_size;
    unsigned debug;
    bool nprocs_given; // -n, else the online processors, clamped
    bool daemon, configure, log_syslog, log_pid, log_time, log_line, disable_xsk;
    bool syslog; // in effect: with -B unless -F, else -L
};

constexpr unsigned UGWD_DEFAULT_PORT = 6727;
constexpr uint32_t UGWD_DEFAULT_BUFFER_SIZE = 4096;
constexpr uint32_t UGWD_DEFAULT_RING_SIZE = 1024;
constexpr uint64_t UGWD_MEMORY_LIMIT = 1ull << 31; // exclusive
extern const char ugwd_version[];

uint64_t ugwd_default_memory(unsigned channels);
// Defaults from the run directories; -1 when memory runs out.
int ugwd_options_defaults(ugwd_options *o, unsigned channels, unsigned cpus);
void ugwd_options_free(ugwd_options *o);

enum ugwd_parse_result { UGWD_RUN, UGWD_EXIT_OK, UGWD_EXIT_FAIL };
// Messages of bad options go to err, help and version texts to out.
ugwd_parse_result ugwd_options_parse(ugwd_options *o, int argc, char **argv, FILE *out, FILE *err);
void ugwd_usage(FILE *out, const ugwd_options *o);
uint8_t ugwd_log_format(const ugwd_options *o);

// The most data-plane processes whose descriptors the event loop can watch:
// each takes UGWD_FDS_PER_PROC below its pselect limit, beside the daemon's own
// and the management server's members.
constexpr unsigned UGWD_FDS_PER_PROC = 3; // the IPC socket and the event socket pair
constexpr unsigned UGWD_FDS_OWN = 64;
unsigned ugwd_max_procs();

unsigned ugwd_nic_channel_count();
uint64_t ugwd_child_memory_share(uint64_t buffer_size, uint64_t memory_size, unsigned channels,
                                 unsigned nprocs, unsigned index);

// A child's argument list; pointers into the options and the record itself,
// so building it allocates nothing.
struct ugwd_child_args {
    const char *argv[24];
    char debug[8];
    char flags[8];
    char buffer_size[24];
    char ring_size[24];
    char memory_size[24];
};

void ugwd_child_args_build(ugwd_child_args *a, const ugwd_options *o, unsigned index);
