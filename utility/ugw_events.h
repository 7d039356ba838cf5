// The event listener of `ugw listen`: subscribes to the daemon's New- and
// Delete- records and prints each as it arrives, in one of the three output
// forms, until a signal, the daemon's exit or the watchdog ends it.
#pragma once

#include <csignal>
#include <cstdint>

#include "utility/gwc.h"

struct ugw_command;

// The callbacks of each output form (0 text, 1 abbreviated, 2 JSON Lines);
// each prints one event and flushes standard output.
extern const ugw_listen_ops ugw_listen_forms[3];

// 0 when SIGINT or SIGTERM stopped it; -1 with errno otherwise: ESRCH when
// the daemon pid exited, ETIMEDOUT when the daemon stayed silent and
// unhealthy for more than watchdog seconds (0: wait for it indefinitely).
int ugw_listen(const char *path, const ugw_command *cmd, int form, int pid, long watchdog);

// One health check that waits at most timeout_ms, with the signal mask given
// (signals it lets through end it with EINTR). 0 when healthy, else -1 with
// errno (EPERM: refused, ETIMEDOUT: no answer).
int ugw_listen_health(gwc_connection *c, int timeout_ms, const sigset_t *mask);
