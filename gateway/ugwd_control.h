// The gateway object: for now the scheduler and the data-plane processes.
#pragma once

#include <sys/types.h>

#include "common/array.h"
#include "common/timer.h"

struct schedule;

struct ugwd_proc {
    pid_t pid;
    char path[108]; // the process's data-plane socket
};

struct ugwd_ctl {
    schedule *sched;
    char *ctl_path;
    char *lease_path;
    unsigned ifindex;
    bool configure;
    Ary procs; // ugwd_proc, in start order
    timer step_timer;
};

// Once per process, before anything else of the gateway.
int ugwd_ctl_init();
ugwd_ctl *ugwd_ctl_create(const char *ctl_path, const char *lease_path, unsigned ifindex,
                          bool configure);
int ugwd_ctl_add_proc(ugwd_ctl *ctl, pid_t pid, const char *path);
// One turn of the main loop.
int ugwd_ctl_step(ugwd_ctl *ctl, unsigned port);
// Async-signal-safe: ends the current scheduler run.
void ugwd_ctl_wakeup(ugwd_ctl *ctl);
void ugwd_ctl_free(ugwd_ctl *ctl);
