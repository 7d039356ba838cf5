#include "common/schedule.h"

#include <cerrno>
#include <csignal>
#include <new>
#include <sys/select.h>

#include "common/array.h"
#include "common/log.h"

namespace {

struct schedule_fd {
    schedule_read_fn callback;
    void *user;
};

} // namespace

struct schedule {
    Ary fds; // schedule_fd by descriptor number
    int handlers;
    fd_set readset;
    timetable *timers;
    bool stop;
};

schedule *schedule_create()
{
    auto *s = new (std::nothrow) schedule{};
    if (!s) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    array_init(&s->fds, sizeof(schedule_fd));
    FD_ZERO(&s->readset);
    s->timers = timetable_create(clock_msec());
    if (!s->timers) {
        ulog(LOG_COMP_COMMON, ULOG_ERROR, "Memory allocation failed");
        delete s;
        return nullptr;
    }
    ulog(LOG_COMP_COMMON, ULOG_DEBUG, "Scheduler uses %s and millisecond timer resolution",
         "pselect");
    return s;
}

void schedule_destroy(schedule *s)
{
    if (!s)
        return;
    array_purge(&s->fds);
    timetable_destroy(s->timers);
    delete s;
}

int schedule_add_fd(schedule *s, int fd, schedule_read_fn callback, void *user)
{
    if (fd < 0 || !callback) {
        errno = EBADF;
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        // pselect cannot watch it: the caller reports too many open files
        // rather than a bad descriptor later.
        ulog(LOG_COMP_COMMON, ULOG_DEBUG, "File descriptor %d too large for select()", fd);
        errno = EMFILE;
        return -1;
    }
    if (array_length(&s->fds) <= static_cast<uint32_t>(fd) &&
        array_reserve(&s->fds, static_cast<uint32_t>(fd) + 1) < 0)
        return -1;
    auto *entry = array_at<schedule_fd>(&s->fds, static_cast<uint32_t>(fd));
    if (!entry->callback)
        s->handlers++;
    entry->callback = callback;
    entry->user = user;
    FD_SET(fd, &s->readset);
    return 0;
}

void schedule_remove_fd(schedule *s, int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE || static_cast<uint32_t>(fd) >= array_length(&s->fds))
        return;
    auto *entry = array_at<schedule_fd>(&s->fds, static_cast<uint32_t>(fd));
    if (!entry->callback)
        return;
    entry->callback = nullptr;
    entry->user = nullptr;
    FD_CLR(fd, &s->readset);
    s->handlers--;
}

void schedule_timer(schedule *s, timer *t, uint32_t delay, timer_fn callback)
{
    timetable_schedule(s->timers, t, delay, callback);
}

void schedule_cancel(schedule *s, timer *t)
{
    timetable_cancel(s->timers, t);
}

void schedule_stop(schedule *s)
{
    s->stop = true;
}

timetable *schedule_timetable(schedule *s)
{
    return s->timers;
}

int schedule_run(schedule *s, uint32_t limit)
{
    uint32_t start = clock_msec();
    // Signal handlers run only inside the wait, never in the middle of a callback.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);

    // A stop requested between runs (a signal just before this one) ends this
    // run at once instead of being lost; the flag is consumed when a run ends.
    while (!s->stop) {
        if (!s->handlers && !timetable_pending(s->timers))
            break;
        uint32_t wait = timetable_next_timeout(s->timers);
        if (limit) {
            uint32_t elapsed = clock_msec() - start;
            if (elapsed >= limit)
                break;
            if (limit - elapsed < wait)
                wait = limit - elapsed;
        }

        fd_set ready = s->readset;
        struct timespec ts = {static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
        int n = pselect(static_cast<int>(array_length(&s->fds)), &ready, nullptr, nullptr, &ts,
                        &previous);
        if (n < 0) {
            int saved = errno;
            s->stop = false;
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            errno = saved;
            return -1;
        }

        clock_refresh_offset();
        timetable_set_now(s->timers, clock_msec());
        timetable_manage(s->timers);

        // Entries are read afresh: a callback may drop or replace another's handler.
        for (int fd = 0; n > 0 && fd < FD_SETSIZE; fd++) {
            if (!FD_ISSET(fd, &ready))
                continue;
            n--;
            if (static_cast<uint32_t>(fd) >= array_length(&s->fds))
                continue;
            auto *entry = array_at<schedule_fd>(&s->fds, static_cast<uint32_t>(fd));
            if (entry->callback)
                entry->callback(entry->user, fd);
        }
    }

    s->stop = false;
    timetable_set_now(s->timers, clock_msec());
    timetable_manage(s->timers);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}
