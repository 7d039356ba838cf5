#include "gateway/ugwd_control.h"

#include "gateway/ugwd_proc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

#include "common/log.h"
#include "common/mempool.h"
#include "common/netlink.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/strings.h"
#include "common/userver.h"
#include "common/watchdog.h"
#include "dot11/dot11_auth.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

// Record sizes of the pools until the tables bring their records: a pool
// only needs its object size once something is allocated from it.
struct pool_spec {
    const char *type;
    size_t size;
};

constexpr pool_spec pool_specs[UGWD_POOLS] = {
    {"struct ugwd_service", 64}, {"struct ugwd_vap", 64},    {"struct ugwd_tunnel", 64},
    {"struct ugwd_flow", 64},    {"struct ugwd_prefix", 64}, {"struct ugwd_lease", 64},
    {"struct ugwd_lease6", 64},  {"struct ugwd_group", 64},  {"struct ugwd_group6", 64},
};

constexpr userver_ops ugwd_ctl_userver_ops = {
    ugwd_ctl_dispatch,
    nullptr,
    ugwd_ctl_subscribe,
    ugwd_ctl_keepalive,
};

constexpr watchdog_ops ugwd_ctl_watchdog_ops = {
    ugwd_ctl_keepalive,
    ugwd_ctl_timer_schedule,
    ugwd_ctl_timer_cancel,
};

uint32_t now_usec()
{
    return static_cast<uint32_t>(clock_monotonic_sec * 1000000 + clock_monotonic_usec);
}

// The load over elapsed microseconds as a binary fraction, rounded half away
// from zero; not capped.
int64_t load_fraction(uint64_t now_cpu, uint64_t prev_cpu, uint32_t elapsed)
{
    int64_t diff = static_cast<int64_t>(now_cpu - prev_cpu);
    int64_t half = static_cast<int64_t>(elapsed / 2);
    return (diff * 65536 + (diff < 0 ? -half : half)) / static_cast<int64_t>(elapsed);
}

uint16_t load_cap(int64_t load)
{
    return load > 65535 ? 65535 : load < 0 ? 0 : static_cast<uint16_t>(load);
}

double load_percent(int64_t load)
{
    return static_cast<double>(load) * 100 / 65536;
}

// The directory of the lease file must be readable and writable.
int check_lease_dir(const char *lease_path)
{
    char *dir = strdup(lease_path);
    if (!dir) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return -1;
    }
    char *slash = strrchr(dir, '/');
    if (!slash)
        strcpy(dir, ".");
    else if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    int r = access(dir, R_OK | W_OK);
    if (r < 0)
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to access %s: %s", lease_path, strerror(errno));
    free(dir);
    return r;
}

} // namespace

int ugwd_ctl_init()
{
    dot11_crypto_init();
    clock_refresh_offset();
    if (!clock_cached_valid())
        clock_refresh_offset();
    uint64_t sec = clock_monotonic_sec + static_cast<uint64_t>(clock_offset_sec);
    uint64_t usec = clock_monotonic_usec + static_cast<uint64_t>(clock_offset_usec);
    srand(static_cast<unsigned>(sec * 1000 + usec / 1000));
    return features_set(FEATURE_SERVICE);
}

ugwd_ctl *ugwd_ctl_create(const char *ctl_path, const char *lease_path, unsigned ifindex,
                          bool configure)
{
    if (lease_path && check_lease_dir(lease_path) < 0)
        return nullptr;

    void *mem = calloc(1, sizeof(ugwd_ctl));
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    auto *ctl = new (mem) ugwd_ctl{};
    list_init(&ctl->controls);
    list_init(&ctl->ports);
    list_init(&ctl->sockets);
    list_init(&ctl->procs);
    for (list_link &l : ctl->subscribers)
        list_init(&l);
    list_init(&ctl->register_queue);
    list_init(&ctl->services_registered);
    list_init(&ctl->services_enabled);
    list_init(&ctl->leases);
    list_init(&ctl->leases6);
    array_init(&ctl->words, 4);
    array_init(&ctl->netif_events, sizeof(netlink_event));
    ctl->resolver.fd = -1;
    ctl->udp_fd = -1;
    ctl->netif_fd = -1;
    ctl->scope_id = ifindex;
    clock_refresh_offset();
    ctl->cpu_sample_time = now_usec();

    if (lease_path) {
        size_t n = strlen(lease_path);
        ctl->lease_path = strdup(lease_path);
        ctl->lease6_path = static_cast<char *>(malloc(n + 2));
        if (!ctl->lease_path || !ctl->lease6_path) {
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
            ugwd_ctl_destroy(ctl);
            return nullptr;
        }
        memcpy(ctl->lease6_path, lease_path, n);
        memcpy(ctl->lease6_path + n, "6", 2);
    }

    packet_pool_config packets = {UGWD_CTL_PACKET_SIZE, UGWD_CTL_PACKET_HEADROOM,
                                  UGWD_CTL_PACKET_TAILROOM, UGWD_CTL_PACKETS, 0, 0};
    ctl->packet_pool = packet_pool_create(&packets, __FILE__, __LINE__);
    bool pools = ctl->packet_pool != nullptr;
    for (unsigned i = 0; i < UGWD_POOLS; i++) {
        ctl->pools[i] = mempool_create(pool_specs[i].size, nullptr, pool_specs[i].type, __FILE__,
                                       __LINE__);
        pools = pools && ctl->pools[i];
    }
    if (!pools) {
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }
    ctl->sched = schedule_create();
    if (!ctl->sched) {
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }
    ctl->wd = watchdog_create(&ugwd_ctl_watchdog_ops, ctl);
    if (!ctl->wd) {
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }

    ctl->netif_fd = netlink_open(UGWD_CTL_NETIF_GROUPS);
    if (ctl->netif_fd < 0) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to create network event socket: %s", strerror(errno));
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }
    if (schedule_add_fd(ctl->sched, ctl->netif_fd, ugwd_ctl_netif_event_cb, ctl) < 0) {
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }

    ctl->server = userver_listen(ctl_path, static_cast<unsigned>(getpid()), configure ? 1 : 0,
                                 &ugwd_ctl_userver_ops, ctl);
    if (!ctl->server ||
        schedule_add_fd(ctl->sched, userver_fd(ctl->server), userver_process_cb, ctl->server) < 0) {
        ugwd_ctl_destroy(ctl);
        return nullptr;
    }

    schedule_timer(ctl->sched, &ctl->cpu_load_timer, UGWD_CTL_CPU_LOAD_MS, ugwd_ctl_cpu_load_timer_cb);
    return ctl;
}

void ugwd_ctl_destroy(ugwd_ctl *ctl)
{
    // No client may reach a daemon that is half gone.
    if (ctl->server)
        userver_unlink_path(ctl->server);
    watchdog_destroy(ctl->wd);
    ctl->wd = nullptr;

    if (ctl->resolver.fd >= 0)
        worker_cancel(&ctl->resolver);
    if (ctl->resolved) {
        freeaddrinfo(ctl->resolved);
        ctl->resolved = nullptr;
    }

    list_for_each_safe(l, tmp, &ctl->procs) {
        ugwd_ctl_delete_proc(container_of(l, &ugwd_proc::link));
    }

    if (ctl->sched) {
        if (ctl->server)
            schedule_remove_fd(ctl->sched, userver_fd(ctl->server));
        schedule_cancel(ctl->sched, &ctl->cpu_load_timer);
        schedule_cancel(ctl->sched, &ctl->register_timer);
        if (ctl->netif_fd >= 0)
            schedule_remove_fd(ctl->sched, ctl->netif_fd);
    }
    if (ctl->udp_fd >= 0)
        close(ctl->udp_fd);
    if (ctl->netif_fd >= 0)
        close(ctl->netif_fd);

    // The server's members take themselves off the subscriber lists.
    userver_close(ctl->server);

    array_purge(&ctl->words);
    array_purge(&ctl->netif_events);
    for (mempool *&p : ctl->pools) {
        if (p)
            mempool_unref(p);
    }
    if (ctl->packet_pool)
        mempool_unref(ctl->packet_pool);
    schedule_destroy(ctl->sched);
    free(ctl->lease_path);
    free(ctl->lease6_path);
    ctl->~ugwd_ctl();
    free(ctl);
}

void ugwd_ctl_free(ugwd_ctl *ctl)
{
    if (ctl)
        ugwd_ctl_destroy(ctl);
}

int ugwd_ctl_add_proc(ugwd_ctl *ctl, pid_t pid, const char *path)
{
    return ugwd_ctl_attach_proc(ctl, static_cast<unsigned>(pid), path) ? 0 : -1;
}

int ugwd_ctl_step(ugwd_ctl *ctl, unsigned)
{
    watchdog_ready(ctl->wd);
    // No controller entry is usable yet: serve management requests and let
    // timers run for a bounded while, then look again.
    userver_process(ctl->server);
    return schedule_run(ctl->sched, UGWD_CTL_IDLE_STEP_MS);
}

void ugwd_ctl_wakeup(ugwd_ctl *ctl)
{
    if (ctl->server)
        userver_clear_locks(ctl->server);
    if (ctl->sched)
        schedule_stop(ctl->sched);
}

void ugwd_ctl_timer_schedule(void *user, timer *t, uint32_t ms, timer_fn callback)
{
    schedule_timer(static_cast<ugwd_ctl *>(user)->sched, t, ms, callback);
}

void ugwd_ctl_timer_cancel(void *user, timer *t)
{
    schedule_cancel(static_cast<ugwd_ctl *>(user)->sched, t);
}

int ugwd_ctl_keepalive(void *)
{
    // Healthy while no controller link is up; an echo request goes out only on a running link.
    return 0;
}

void ugwd_ctl_register_timer_cb(timer *)
{
    // Nothing is queued for registration and no controller link exists yet.
}

void ugwd_ctl_cpu_load_timer_cb(timer *t)
{
    ugwd_ctl *ctl = container_of(t, &ugwd_ctl::cpu_load_timer);
    clock_refresh_offset();
    uint32_t now = now_usec();
    uint32_t elapsed = now - ctl->cpu_sample_time;
    if (elapsed) {
        int64_t sum = 0;
        for (list_link *l = ctl->procs._next; l != &ctl->procs; l = l->_next) {
            auto *p = container_of(l, &ugwd_proc::link);
            uint64_t cpu;
            if (system_proc_cputime(static_cast<pid_t>(p->number), &cpu) < 0)
                continue;
            int64_t load = load_fraction(cpu, p->cputime, elapsed);
            p->cputime = cpu;
            p->load = load_cap(load);
            sum += load;
            ulog(LOG_COMP_ALL, 3, "Data plane [%u] CPU load is %.1f%%", p->number,
                 load_percent(p->load));
        }
        uint64_t cpu;
        if (system_proc_cputime(getpid(), &cpu) == 0) {
            int64_t load = load_fraction(cpu, ctl->cpu_time, elapsed);
            ctl->cpu_time = cpu;
            ctl->cpu_load = load_cap(load);
            ulog(LOG_COMP_ALL, 3, "Control plane CPU load is %.1f%%", load_percent(ctl->cpu_load));
        }
        ctl->cpu_sample_time = now;
        int64_t dp = ctl->nprocs ? sum / ctl->nprocs : 0;
        ctl->total_load = load_cap(dp > ctl->cpu_load ? dp : ctl->cpu_load);
        ulog(LOG_COMP_ALL, 2, "Total CPU load is %.1f%%", load_percent(ctl->total_load));
    }
    schedule_timer(ctl->sched, t, UGWD_CTL_CPU_LOAD_MS, ugwd_ctl_cpu_load_timer_cb);
}

void ugwd_ctl_netif_event_cb(void *user, int fd)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    // Interfaces matter only to ports and services, which come later; drain
    // the socket so that it does not overflow.
    while (netlink_read_events(fd, &ctl->netif_events) >= 0)
        ;
    ctl->netif_events._count = 0;
}
