#include "gateway/ugwd_control.h"

#include "gateway/ugwd_proc.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/netlink.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/strings.h"
#include "common/userver.h"
#include "common/watchdog.h"
#include "controller/dtls/dtls.h"
#include "dot11/dot11_auth.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_stash.h"
#include "gateway/ugwd_table.h"

namespace {

// Record sizes of the pools until the tables bring their records: a pool
// only needs its object size once something is allocated from it.
struct pool_spec {
    const char *type;
    size_t size;
};

constexpr pool_spec pool_specs[UGWD_POOLS] = {
    {"struct ugwd_service", sizeof(ugwd_service)},
    {"struct ugwd_vap", sizeof(ugwd_vap)},
    {"struct ugwd_tunnel", sizeof(ugwd_tunnel)},
    {"struct ugwd_flow", sizeof(ugwd_flow)},
    {"struct ugwd_prefix", sizeof(ugwd_prefix)},
    {"struct ugwd_lease", sizeof(ugwd_lease)},
    {"struct ugwd_lease6", sizeof(ugwd_lease6)},
    {"struct ugwd_group", sizeof(ugwd_group)},
    {"struct ugwd_group6", sizeof(ugwd_group6)},
};

// The snoop rule sets as text, so that the parser checks them. Only whether a
// rule matches counts, not its action; "in" is from the station.
constexpr const char *dhcp_rule_texts[] = {
    "deny in 17 from 0.0.0.0/0 68 to 0.0.0.0/0 67",
    "deny out 17 from 0.0.0.0/0 67 to 0.0.0.0/0 68",
};
constexpr const char *igmp_rule_texts[] = {
    "deny in 2 from 0.0.0.0/0 to 0.0.0.0/0",
};
constexpr const char *dhcpv6_rule_texts[] = {
    "deny in 17 from ::/0 546 to ::/0 547",
    "deny out 17 from ::/0 547 to ::/0 546",
};
constexpr const char *icmpv6_rule_texts[] = {
    // Duplicate-address detection probes: unspecified source, solicited-node group.
    "deny in 58 from :: to ff02::1:ff00:0/104 icmp6types neighbor solicitation",
    ("deny in 58 from ::/0 to ::/0 icmp6types multicast listener report-multicast listener "
     "done,multicast listener report v2"),
    "deny out 58 from ::/0 to ::/0 icmp6types router advertisement,neighbor advertisement",
};

struct rule_texts {
    const char *const *texts;
    unsigned count;
};

template <size_t N> constexpr rule_texts texts_of(const char *const (&texts)[N])
{
    return {texts, N};
}

constexpr rule_texts rule_set_texts[UGWD_RULE_SETS] = {
    texts_of(dhcp_rule_texts),
    texts_of(igmp_rule_texts),
    texts_of(dhcpv6_rule_texts),
    texts_of(icmpv6_rule_texts),
};

filter_rule dhcp_rules[std::size(dhcp_rule_texts)];
filter_rule igmp_rules[std::size(igmp_rule_texts)];
filter_rule dhcpv6_rules[std::size(dhcpv6_rule_texts)];
filter_rule icmpv6_rules[std::size(icmpv6_rule_texts)];

void dtls_alert_cb(void *, dtls_sock *, int)
{
    // The closed callback sees every alert that ends the session.
}

constexpr dtls_ops ugwd_ctl_dtls_ops = {
    .accept_cb = nullptr,
    .connect_cb = ugwd_ctl_dtls_connected_cb,
    .recv_cb = ugwd_ctl_dtls_recv_cb,
    .send_cb = ugwd_ctl_dtls_send_cb,
    .close_cb = ugwd_ctl_dtls_closed_cb,
    .alert_cb = dtls_alert_cb,
    .psk_cb = nullptr,
    .timer_start_cb = ugwd_ctl_timer_schedule,
    .timer_stop_cb = ugwd_ctl_timer_cancel,
};

// The pool and the arenas are filled in by ulmex_ops_init.
constexpr ulmex_ops ugwd_ctl_client_ops = {
    .request_cb = ugwd_ctl_client_request_cb,
    .response_cb = ugwd_ctl_client_response_cb,
    .failure_cb = ugwd_ctl_client_wakeup,
    .cancel_cb = nullptr,
    .send_cb = ugwd_ctl_client_send,
    .timer_start_cb = ugwd_ctl_client_timer_schedule,
    .timer_stop_cb = ugwd_ctl_client_timer_cancel,
};

ugwd_ctl *ctl_of(ulmex_link *link)
{
    return container_of(link, &ugwd_ctl::link);
}

} // namespace

void ugwd_ctl_print_message(ugwd_ctl *ctl, const ulmex_message &msg)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (!out)
        return;
    int r = ulmex_codec_print(ctl->client.encode_arena, msg, out);
    if (fclose(out) == 0 && r == 0) {
        // The log line ends itself.
        if (size && text[size - 1] == '\n')
            text[--size] = '\0';
        ulog(LOG_COMP_ULMEX, ULOG_DUMP, "%s", text);
    }
    free(text);
}

namespace
{

constexpr userver_ops ugwd_ctl_userver_ops = {
    .request = ugwd_ctl_dispatch,
    .message = nullptr,
    .subscribe = ugwd_ctl_subscribe,
    .health = ugwd_ctl_keepalive,
};

constexpr watchdog_ops ugwd_ctl_watchdog_ops = {
    .health = ugwd_ctl_keepalive,
    .schedule = ugwd_ctl_timer_schedule,
    .cancel = ugwd_ctl_timer_cancel,
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

struct ctl_destroyer {
    void operator()(ugwd_ctl *ctl) const { ugwd_ctl_destroy(ctl); }
};
using ctl_ptr = std::unique_ptr<ugwd_ctl, ctl_destroyer>;

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

const ugwd_rule_set ugwd_rule_sets[UGWD_RULE_SETS] = {
    {dhcp_rules, std::size(dhcp_rules)},
    {igmp_rules, std::size(igmp_rules)},
    {dhcpv6_rules, std::size(dhcpv6_rules)},
    {icmpv6_rules, std::size(icmpv6_rules)},
};

int ugwd_ctl_init()
{
    // AES is chosen before either module expands a key.
    dtls_init();
    dot11_crypto_init();
    clock_refresh_offset();
    if (!clock_cached_valid())
        clock_refresh_offset();
    uint64_t sec = clock_monotonic_sec + static_cast<uint64_t>(clock_offset_sec);
    uint64_t usec = clock_monotonic_usec + static_cast<uint64_t>(clock_offset_usec);
    srand(static_cast<unsigned>(sec * 1000 + usec / 1000));
    int r = features_set(FEATURE_SERVICE);

    for (unsigned i = 0; i < UGWD_RULE_SETS; i++) {
        const rule_texts &set = rule_set_texts[i];
        UGW_ASSERT(set.count == ugwd_rule_sets[i].count);
        for (unsigned j = 0; j < set.count; j++) {
            int parsed = filter_rule_parse(&ugwd_rule_sets[i].rules[j], set.texts[j], 1);
            UGW_ASSERT(parsed == 0);
        }
    }
    return r;
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
    // Whatever fails below, this takes down what was built so far.
    ctl_ptr ctl(new (mem) ugwd_ctl{});
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
    list_init(&ctl->vaps);
    list_init(&ctl->tunnels);
    list_init(&ctl->flows);
    array_init(&ctl->port_refs, sizeof(ugwd_port_ref));
    array_init(&ctl->hostsets, 4);
    array_init(&ctl->words, 4);
    array_init(&ctl->netif_events, sizeof(netlink_event));
    array_init(&ctl->resolved, sizeof(ulmex_inet_addr));
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
            return nullptr;
        }
        memcpy(ctl->lease6_path, lease_path, n);
        memcpy(ctl->lease6_path + n, "6", 2);
    }

    ctl->stash = ugwd_stash_create(UGWD_CTL_STASH_PACKETS);
    if (!ctl->stash)
        return nullptr;
    packet_pool_config packets = {UGWD_CTL_PACKET_SIZE, UGWD_CTL_PACKET_HEADROOM,
                                  UGWD_CTL_PACKET_TAILROOM, UGWD_CTL_PACKETS, 0, 0};
    ctl->packet_pool = packet_pool_create(&packets, __FILE__, __LINE__);
    if (!ctl->packet_pool)
        return nullptr;
    for (unsigned i = 0; i < UGWD_POOLS; i++) {
        ctl->pools[i] = mempool_create(pool_specs[i].size, nullptr, pool_specs[i].type, __FILE__,
                                       __LINE__);
        if (!ctl->pools[i])
            return nullptr;
    }
    ctl->sched = schedule_create();
    if (!ctl->sched)
        return nullptr;
    ctl->wd = watchdog_create(&ugwd_ctl_watchdog_ops, ctl.get());
    if (!ctl->wd)
        return nullptr;
    ctl->table = ugwd_table_create();
    if (!ctl->table)
        return nullptr;
    // A daemon whose lease file cannot be read starts with no leases.
    if (ctl->lease_path) {
        ugwd_table_load_leases(ctl->table, ctl->lease_path, ctl->pools[UGWD_POOL_LEASE], &ctl->leases);
        ugwd_table_load_leases6(ctl->table, ctl->lease6_path, ctl->pools[UGWD_POOL_LEASE6], &ctl->leases6);
        ugwd_table_dump_leases(ctl->table);
        ugwd_table_dump_leases6(ctl->table);
    }
    ctl->nas = ugwd_nas_table_create(ctl.get());
    if (!ctl->nas)
        return nullptr;

    ctl->dtls = dtls_ctx_create(&ugwd_ctl_dtls_ops, ctl.get(), 0, UGWD_CTL_DTLS_MTU, nullptr,
                                ctl->packet_pool);
    if (!ctl->dtls)
        return nullptr;
    ulmex_ops_init(&ctl->client, &ugwd_ctl_client_ops, ctl->packet_pool);
    if (ulmex_open(&ctl->client, &ctl->link, nullptr) < 0)
        return nullptr;

    ctl->netif_fd = netlink_open(UGWD_CTL_NETIF_GROUPS);
    if (ctl->netif_fd < 0) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to create network event socket: %s", strerror(errno));
        return nullptr;
    }
    if (schedule_add_fd(ctl->sched, ctl->netif_fd, ugwd_ctl_netif_event_cb, ctl.get()) < 0)
        return nullptr;

    ctl->server = userver_listen(ctl_path, static_cast<unsigned>(getpid()), configure ? 1 : 0,
                                 &ugwd_ctl_userver_ops, ctl.get());
    if (!ctl->server ||
        schedule_add_fd(ctl->sched, userver_fd(ctl->server), userver_process_cb, ctl->server) < 0)
        return nullptr;

    schedule_timer(ctl->sched, &ctl->cpu_load_timer, UGWD_CTL_CPU_LOAD_MS, ugwd_ctl_cpu_load_timer_cb);
    return ctl.release();
}

void ugwd_ctl_destroy(ugwd_ctl *ctl)
{
    // No client may reach a daemon that is half gone.
    if (ctl->server)
        userver_unlink_path(ctl->server);
    watchdog_destroy(ctl->wd);
    ctl->wd = nullptr;
    if (ctl->table) {
        ugwd_table_close_leases(ctl->table);
        ugwd_table_close_leases6(ctl->table);
    }

    // Services, sockets and ports leave the data planes before these go.
    if (ctl->table) ugwd_ctl_teardown(ctl);
    if (ctl->sched) ugwd_ctl_free_controls(ctl);
    ugwd_ctl_flow_cleanup(ctl);
    for (ugwd_proc *proc : list_records_safe<&ugwd_proc::link>(&ctl->procs))
        ugwd_ctl_delete_proc(proc);

    if (ctl->sched) {
        if (ctl->server)
            schedule_remove_fd(ctl->sched, userver_fd(ctl->server));
        schedule_cancel(ctl->sched, &ctl->cpu_load_timer);
        schedule_cancel(ctl->sched, &ctl->register_timer);
        if (ctl->netif_fd >= 0)
            schedule_remove_fd(ctl->sched, ctl->netif_fd);
    }
    // A session still up says goodbye when the DTLS context goes, after this:
    // its alert must not reach a descriptor that has been reused.
    if (ctl->udp_fd >= 0)
        close(ctl->udp_fd);
    ctl->udp_fd = -1;
    if (ctl->netif_fd >= 0)
        close(ctl->netif_fd);
    ctl->netif_fd = -1;

    // The server's members take themselves off the subscriber lists.
    ugwd_stash_free(ctl->stash);
    ugwd_nas_table_destroy(ctl->nas);
    ugwd_table_free(ctl->table);
    userver_close(ctl->server);
    ulmex_reset(&ctl->link);
    ulmex_ops_clear(&ctl->client);
    dtls_ctx_destroy(ctl->dtls);
    ctl->dtls = nullptr;
    ctl->dtls_sock = nullptr;

    array_purge(&ctl->words);
    array_purge(&ctl->port_refs);
    array_purge(&ctl->hostsets);
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

int ugwd_ctl_step(ugwd_ctl *ctl, unsigned port)
{
    watchdog_ready(ctl->wd);
    ugwd_control_entry *e = ugwd_ctl_get_connected_control(ctl);
    if (!e) {
        e = ugwd_ctl_resolve_control(ctl);
        if (e && ugwd_ctl_connect_control(ctl, e, port) < 0) e = nullptr;
    }
    if (!e) {
        // No controller is usable yet: serve management requests and let
        // timers run for a bounded while, then look again.
        userver_process(ctl->server);
        return schedule_run(ctl->sched, UGWD_CTL_IDLE_STEP_MS);
    }
    userver_process(ctl->server);
    int r = schedule_run(ctl->sched, 0);
    ugwd_ctl_sync_control(ctl);
    return r;
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

int ugwd_ctl_keepalive(void *user)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    if (ctl->link.record.ulmexControlStatus != ULMEX_STATE_RUNNING)
        return 0;
    ulmex_message msg;
    msg.request = true;
    msg.pdu = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo});
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) ugwd_ctl_print_message(ctl, msg);
    // A lost echo shows in the link's counters; the daemon itself is healthy.
    ulmex_request(&ctl->link, msg.pdu, nullptr, nullptr);
    return 0;
}

void ugwd_ctl_client_timer_schedule(ulmex_ops *ops, timer *t, uint32_t ms, timer_fn callback)
{
    schedule_timer(container_of(ops, &ugwd_ctl::client)->sched, t, ms, callback);
}

void ugwd_ctl_client_timer_cancel(ulmex_ops *ops, timer *t)
{
    schedule_cancel(container_of(ops, &ugwd_ctl::client)->sched, t);
}

void ugwd_ctl_client_send(ulmex_link *link, packet *p)
{
    ugwd_ctl *ctl = ctl_of(link);
    if (ctl->dtls_sock)
        dtls_send(ctl->dtls_sock, p);
}

void ugwd_ctl_client_wakeup(ulmex_link *link, uint8_t, void *)
{
    schedule_stop(ctl_of(link)->sched);
}

int ugwd_ctl_dtls_send_cb(void *user, packet *msg, const sockaddr *)
{
    auto *ctl = static_cast<ugwd_ctl *>(user);
    if (ctl->udp_fd < 0) {
        errno = ENOTCONN;
        return -1;
    }
    // The socket is connected to the controller; a full send buffer loses the
    // datagram, as the network could.
    ssize_t n;
    do
        n = send(ctl->udp_fd, msg->data, msg->length, MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : 0;
}

void ugwd_ctl_config_changed(ugwd_ctl *ctl)
{
    if (!timer_ispending(&ctl->register_timer))
        schedule_timer(ctl->sched, &ctl->register_timer, 0, ugwd_ctl_register_timer_cb);
}

void ugwd_ctl_cpu_load_sample(ugwd_ctl *ctl, uint32_t now, ugwd_cputime_fn cputime)
{
    uint32_t elapsed = now - ctl->cpu_sample_time;
    if (!elapsed)
        return;
    int64_t sum = 0;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        uint64_t cpu;
        if (cputime(static_cast<pid_t>(p->number), &cpu) < 0)
            continue;
        int64_t load = load_fraction(cpu, p->cputime, elapsed);
        p->cputime = cpu;
        p->load = load_cap(load);
        sum += load;
        ulog(LOG_COMP_ALL, ULOG_TRACE, "Data plane [%u] CPU load is %.1f%%", p->number,
             load_percent(p->load));
    }
    uint64_t cpu;
    if (cputime(getpid(), &cpu) == 0) {
        int64_t load = load_fraction(cpu, ctl->cpu_time, elapsed);
        ctl->cpu_time = cpu;
        ctl->cpu_load = load_cap(load);
        ulog(LOG_COMP_ALL, ULOG_TRACE, "Control plane CPU load is %.1f%%",
             load_percent(ctl->cpu_load));
    }
    ctl->cpu_sample_time = now;
    int64_t dp = ctl->nprocs ? sum / ctl->nprocs : 0;
    ctl->total_load = load_cap(dp > ctl->cpu_load ? dp : ctl->cpu_load);
    ulog(LOG_COMP_ALL, ULOG_DETAIL, "Total CPU load is %.1f%%", load_percent(ctl->total_load));
    for (ugwd_port *p : list_records<&ugwd_port::link>(&ctl->ports))
        p->load = static_cast<float>(ctl->total_load) / 65536;
}

void ugwd_ctl_cpu_load_timer_cb(timer *t)
{
    ugwd_ctl *ctl = container_of(t, &ugwd_ctl::cpu_load_timer);
    clock_refresh_offset();
    ugwd_ctl_cpu_load_sample(ctl, now_usec(), system_proc_cputime);
    schedule_timer(ctl->sched, t, UGWD_CTL_CPU_LOAD_MS, ugwd_ctl_cpu_load_timer_cb);
}
