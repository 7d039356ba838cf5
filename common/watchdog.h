// Readiness, watchdog feeds and stop reports to a service manager over its
// notify datagram socket (NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID).
#pragma once

#include <cstdint>

#include "common/timer.h"

struct watchdog_ops {
    int (*health)(void *user); // 0 when healthy; null means always healthy
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
};

struct watchdog {
    int (*health)(void *user);
    void (*schedule)(void *user, timer *t, uint32_t ms, timer_fn callback);
    void (*cancel)(void *user, timer *t);
    timer feed;
    void *user;
    uint8_t ready;
    uint32_t period; // ms; 0 = no feeding
};

int watchdog_notify(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
watchdog *watchdog_create(const watchdog_ops *ops, void *user);
void watchdog_ready(watchdog *wd);
void watchdog_feed(timer *t);
void watchdog_destroy(watchdog *wd);
