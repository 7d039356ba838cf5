// The gateway object: for now the scheduler and the data-plane processes.
#pragma once

#include <sys/types.h>

#include "common/list.h"
#include "common/timer.h"

struct schedule;

struct ugwd_ctl {
    schedule *sched;
    char *ctl_path;
    char *lease_path;
    unsigned ifindex;
    bool configure;
    list_link procs; // ugwd_proc, in attachment order
    size_t nprocs;
    timer step_timer;
};

// Once per process, before anything else of the gateway.
int ugwd_ctl_init();
ugwd_ctl *ugwd_ctl_create(const char *ctl_path, const char *lease_path, unsigned ifindex,
                          bool configure);
// Attaches the data-plane process that runs as pid with its socket at path.
int ugwd_ctl_add_proc(ugwd_ctl *ctl, pid_t pid, const char *path);
// One turn of the main loop.
int ugwd_ctl_step(ugwd_ctl *ctl, unsigned port);
// Async-signal-safe: ends the current scheduler run.
void ugwd_ctl_wakeup(ugwd_ctl *ctl);
void ugwd_ctl_free(ugwd_ctl *ctl);
