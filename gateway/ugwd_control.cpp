#include "gateway/ugwd_control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/schedule.h"
#include "common/strings.h"
#include "common/system.h"

int ugwd_ctl_init()
{
    unsigned seed = 0;
    if (system_random(&seed, sizeof(seed)) < 0)
        seed = static_cast<unsigned>(time(nullptr));
    srand(seed);
    return features_set(FEATURE_SERVICE);
}

ugwd_ctl *ugwd_ctl_create(const char *ctl_path, const char *lease_path, unsigned ifindex,
                          bool configure)
{
    auto *ctl = static_cast<ugwd_ctl *>(calloc(1, sizeof(ugwd_ctl)));
    if (!ctl) {
        ulog(LOG_COMP_ALL, LOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    array_init(&ctl->procs, sizeof(ugwd_proc));
    ctl->ifindex = ifindex;
    ctl->configure = configure;
    ctl->ctl_path = strdup(ctl_path);
    ctl->lease_path = strdup(lease_path);
    ctl->sched = schedule_create();
    if (!ctl->ctl_path || !ctl->lease_path || !ctl->sched) {
        ulog(LOG_COMP_ALL, LOG_ERROR, "Memory allocation failed");
        ugwd_ctl_free(ctl);
        return nullptr;
    }
    return ctl;
}

int ugwd_ctl_add_proc(ugwd_ctl *ctl, pid_t pid, const char *path)
{
    if (strlen(path) >= sizeof(ugwd_proc::path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    auto *p = array_push<ugwd_proc>(&ctl->procs);
    if (!p) {
        errno = ENOMEM;
        return -1;
    }
    p->pid = pid;
    string_lcpy(p->path, path, sizeof(p->path));
    return 0;
}

namespace {

void ugwd_ctl_step_timer(timer *) {}

} // namespace

int ugwd_ctl_step(ugwd_ctl *ctl, unsigned)
{
    // A run with nothing to wait for returns at once: the step timer keeps it for its second.
    clock_refresh_offset();
    timetable_set_now(schedule_timetable(ctl->sched), clock_msec());
    if (!timer_ispending(&ctl->step_timer))
        schedule_timer(ctl->sched, &ctl->step_timer, 1000, ugwd_ctl_step_timer);
    return schedule_run(ctl->sched, 1000);
}

void ugwd_ctl_wakeup(ugwd_ctl *ctl)
{
    schedule_stop(ctl->sched);
}

void ugwd_ctl_free(ugwd_ctl *ctl)
{
    if (!ctl)
        return;
    if (ctl->sched && timer_ispending(&ctl->step_timer))
        schedule_cancel(ctl->sched, &ctl->step_timer);
    schedule_destroy(ctl->sched);
    array_purge(&ctl->procs);
    free(ctl->ctl_path);
    free(ctl->lease_path);
    free(ctl);
}
