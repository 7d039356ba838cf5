// Process support: a background worker thread, daemonising with a locked pid
// file, the run-time directories, interface queries, the acceleration feature
// set and system information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

struct ethtool_channels;

// One background job on its own thread; its end shows as the eventfd turning
// readable, which the event loop watches. A zero-initialised worker is idle.
using worker_job_fn = void *(*)(void *arg);

struct worker {
    pthread_t thread{};
    int fd = -1; // eventfd, only while a job runs
    worker_job_fn job = nullptr;
    void *arg = nullptr;
};

int worker_start(worker *w, worker_job_fn job, void *arg);
void *worker_thread(void *w);
// For a job whose eventfd was seen readable.
int worker_join(worker *w, void **result);
int worker_cancel(worker *w);

// Returns 0 in the child; the parent exits with the child's start-up outcome.
int daemonize(const char *progname, const char *pidfile);
// The child's start-up succeeded: detach from the terminal and release the parent.
int daemon_ready();
int daemon_null_stdio();
void daemon_pidfile_cleanup();

// Run-time directories: "/tmp", "/var", "/var/run" unless the environment says otherwise.
extern const char *rundir_tmp;
extern const char *rundir_var;
extern const char *rundir_run;

int dir_check(const char *path);
char *dir_resolve(const char *path); // malloc'ed, or null
void rundir_init();
void rundir_fini();

int ethtool_ioctl(const char *ifname, void *request);
int ethtool_get_channels(const char *ifname, ethtool_channels *channels);

// Acceleration features available at run time, and their names.
enum : unsigned {
    FEATURE_AES = 0,
    FEATURE_CRC32C = 1,
    FEATURE_XDP = 2,
    FEATURE_XSK = 3,
    FEATURE_ALU32 = 4,
    FEATURE_JIT = 5,
    FEATURE_FRAGMENT = 6,
    FEATURE_ZEROCOPY = 7,
    FEATURE_FABRIC = 8,
    FEATURE_RADIO = 9,
    FEATURE_SERVICE = 10,
};

extern uint32_t features;
extern char features_text[111];

int features_set(unsigned bit);
void features_format(char *buffer, size_t size, uint32_t bits);

int system_random(void *buffer, size_t n);
long system_page_size();
long system_cpu_count();
ssize_t system_hugepage_size();
// The meminfo parser, for another file than /proc/meminfo.
ssize_t system_hugepage_size_from(const char *path);
int system_proc_cputime(pid_t pid, uint64_t *usec);
// Parses the text of a /proc/PID/stat file.
int system_parse_cputime(const char *stat, uint64_t *usec);
char *system_abspath(const char *path);             // malloc'ed, or null
char *system_exe_path(pid_t pid, const char *name); // malloc'ed, or null
