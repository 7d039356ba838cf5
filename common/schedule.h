// The single-threaded pselect event loop with its timer wheel.
#pragma once

#include <cstdint>

#include "common/timer.h"

struct schedule;

using schedule_read_fn = void (*)(void *user, int fd);

schedule *schedule_create();
void schedule_destroy(schedule *s);
int schedule_add_fd(schedule *s, int fd, schedule_read_fn callback, void *user);
void schedule_remove_fd(schedule *s, int fd);
void schedule_timer(schedule *s, timer *t, uint32_t delay, timer_fn callback);
void schedule_cancel(schedule *s, timer *t);
// Ends the current run after its turn, or the next run at once when none is active.
void schedule_stop(schedule *s);
// limit in ms, 0 = none. 0 when the run ended normally, -1 when the wait failed.
int schedule_run(schedule *s, uint32_t limit);
timetable *schedule_timetable(schedule *s);
