// ugw's start-up: options, the choice of the daemon instance, the batch
// runner and the exit status.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr const char UGW_SOCKET_BASE[] = "ulmex-gatewaysock";

// Calls fn(pid, user) for each management socket of a daemon in run_dir, in
// the order of the socket table; the first non-zero result stops the scan and
// is returned. 0 at the end, -1 when the table cannot be read or is not one.
int ugw_find_instances(const char *run_dir, const char *base, int (*fn)(int pid, void *user),
                       void *user);
// The same over an open table; for tests.
int ugw_find_instances_in(FILE *table, const char *run_dir, const char *base,
                          int (*fn)(int pid, void *user), void *user);

// Runs the commands of file ("-": standard input) between configure and
// commit, on one connection to the socket at path. 0, or -1 after reporting.
int ugw_batch(const char *file, const char *path, int form, bool dry_run, uint32_t force,
              int debug);

// The whole program; returns the exit status.
int ugw_main(int argc, char **argv);
