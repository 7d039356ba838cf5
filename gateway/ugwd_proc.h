// The data-plane processes of the gateway: each one's client, its two base
// nodes and its notification groups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/list.h"
#include "gateway/frlc.h"

struct ugwd_ctl;

struct ugwd_proc {
    ugwd_ctl *ctl;
    frlc *fernrelay; // owned
    list_link link;  // in the gateway's process list, in creation order
    size_t index;    // the gateway's process count at attachment
    unsigned number; // printed as "process %u"
    uint32_t node_a; // rules, redirect URLs and host sets
    uint32_t node_b; // the default rules; its groups bring the process's events
    bool has_node_a, has_node_b, registered;
    uint64_t cputime; // microseconds, at the last load sample
    uint16_t load;    // binary fraction of one processor
};

// The notification handlers of every process.
extern const frlc_ops ugwd_ctl_frl_event_ops;

ugwd_proc *ugwd_ctl_attach_proc(ugwd_ctl *ctl, unsigned number, const char *path);
// Takes down what attaching made; a process that has died or does not answer
// is logged and let go. Null is accepted.
void ugwd_ctl_delete_proc(ugwd_proc *proc);
