// The listen loop waits on three things at once: the session's event socket,
// a process-events socket that turns readable when the daemon exits, and the
// two stop signals, which stay blocked except inside the waits so that they
// can only end a wait (EINTR), never cut a record half printed. A round in
// which nothing arrived costs one health check bounded at a second.
#include "utility/ugw_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/ctl_msg.h"
#include "common/sockaddr.h"
#include "common/strings.h"
#include "common/timer.h"
#include "common/uclient.h"
#include "common/umsg.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render.h"
#include "utility/ugw_support.h"

namespace
{

enum : uint32_t { EV_NEW = 0, EV_DELETE = 2 }; // the "ulmexEvent" values

const char *verb(uint32_t event)
{
    return event == EV_NEW ? "New" : "Delete";
}

void done()
{
    fflush(stdout);
}

template <typename T> T record_of(const void *p)
{
    T r;
    memcpy(&r, p, sizeof(r));
    return r;
}

// ---- 0: the show renderers ----

template <typename T, void (*Render)(FILE *, const T *)> void text_event(void *, const void *p)
{
    T r = record_of<T>(p);
    Render(stdout, &r);
    done();
}

// ---- 1: one line per event ----

void mac_text(char out[18], const uint8_t m[6])
{
    snprintf(out, 18, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

template <uint32_t Event> void abbrev_control(void *, const void *p)
{
    auto r = record_of<ulmexControl>(p);
    char name[sizeof(r.ulmexControlName)];
    std::string_view raw(r.ulmexControlName, strnlen(r.ulmexControlName, sizeof(name) - 1));
    // A name that held a newline would forge a second event line.
    string_printable(name, raw, sizeof(name), '.');
    printf("%s control %s\n", verb(Event), name);
    done();
}

template <uint32_t Event> void abbrev_service(void *, const void *p)
{
    auto r = record_of<ugwd_service_mib>(p);
    const uint8_t *u = r.ulmexServiceId;
    printf("%s service %02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x\n",
           verb(Event), u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11],
           u[12], u[13], u[14], u[15]);
    done();
}

template <uint32_t Event> void abbrev_vap(void *, const void *p)
{
    auto r = record_of<ugwd_vap_mib>(p);
    char bssid[18];
    mac_text(bssid, r.ulmexServiceBSSID);
    printf("%s vap %s\n", verb(Event), bssid);
    done();
}

template <uint32_t Event> void abbrev_tunnel(void *, const void *p)
{
    auto r = record_of<ugwd_tunnel_mib>(p);
    sockaddr_storage ss{};
    memcpy(&ss, r.ulmexRemotePort, sizeof(r.ulmexRemotePort));
    char addr[SOCKADDR_FMT_SIZE];
    sockaddr_format(reinterpret_cast<const sockaddr *>(&ss), addr, sizeof(addr),
                    SOCKADDR_FMT_NO_PORT);
    printf("%s tunnel %s\n", verb(Event), addr);
    done();
}

template <uint32_t Event> void abbrev_flow(void *, const void *p)
{
    auto r = record_of<ugw_flow_rec>(p);
    char bssid[18], client[18];
    mac_text(bssid, r.ulmexBSSID);
    mac_text(client, r.ulmexClientMAC);
    printf("%s flow with BSSID %s and client %s\n", verb(Event), bssid, client);
    done();
}

// ---- 2: JSON Lines ----

template <typename T, void (*Render)(json_writer *, const T *), const char *Key, uint32_t Event>
void json_event(void *, const void *p)
{
    T r = record_of<T>(p);
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    render_json_ulmex_event(&json, Event);
    json_key(&json, nullptr, Key);
    Render(&json, &r);
    json_close(&json);
    json_flush(&json);
    fputc('\n', stdout);
    done();
}

constexpr char k_control[] = "ulmexControl";
constexpr char k_service[] = "ulmexService";
constexpr char k_vap[] = "ulmexServiceBSS";
constexpr char k_tunnel[] = "ulmexTunnel";
constexpr char k_flow[] = "ulmexFlow";

// ---- the loop ----

volatile sig_atomic_t stop_signal = 0;

void note_signal(int sig)
{
    stop_signal = sig;
}

uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Signal handlers and mask of the loop, put back as they were on every exit.
struct signal_scope {
    struct sigaction old_int {
    }, old_term{};
    sigset_t old_mask{}, wait_mask{};

    signal_scope()
    {
        stop_signal = 0;
        struct sigaction sa {
        };
        sa.sa_handler = note_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigprocmask(SIG_BLOCK, &block, &old_mask);
        wait_mask = old_mask;
        sigdelset(&wait_mask, SIGINT);
        sigdelset(&wait_mask, SIGTERM);
    }
    ~signal_scope()
    {
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
};

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// Everything queued on the event socket; false when a signal came meanwhile.
bool dispatch_pending(gwc_connection *c)
{
    // Bounded, so that a flood cannot starve the checks of the loop.
    for (int i = 0; i < 256 && readable(gwc_fd(c)); i++) {
        gwc_notification_dispatch(c);
        if (stop_signal) return false;
    }
    return !stop_signal;
}

int end_with(gwc_connection *c, int watch_fd, int err)
{
    gwc_destroy(c);
    if (watch_fd >= 0) close(watch_fd);
    errno = err;
    return err ? -1 : 0;
}

} // namespace

const ugw_listen_ops ugw_listen_forms[3] = {
    {
        .new_control = text_event<ulmexControl, render_text_ulmex_control>,
        .delete_control = text_event<ulmexControl, render_text_ulmex_control>,
        .new_service = text_event<ugwd_service_mib, render_text_ulmex_service>,
        .delete_service = text_event<ugwd_service_mib, render_text_ulmex_service>,
        .new_vap = text_event<ugwd_vap_mib, render_text_ulmex_service_bss>,
        .delete_vap = text_event<ugwd_vap_mib, render_text_ulmex_service_bss>,
        .new_tunnel = text_event<ugwd_tunnel_mib, render_text_ulmex_tunnel>,
        .delete_tunnel = text_event<ugwd_tunnel_mib, render_text_ulmex_tunnel>,
        .new_flow = text_event<ugw_flow_rec, render_text_ulmex_flow>,
        .delete_flow = text_event<ugw_flow_rec, render_text_ulmex_flow>,
    },
    {
        .new_control = abbrev_control<EV_NEW>,
        .delete_control = abbrev_control<EV_DELETE>,
        .new_service = abbrev_service<EV_NEW>,
        .delete_service = abbrev_service<EV_DELETE>,
        .new_vap = abbrev_vap<EV_NEW>,
        .delete_vap = abbrev_vap<EV_DELETE>,
        .new_tunnel = abbrev_tunnel<EV_NEW>,
        .delete_tunnel = abbrev_tunnel<EV_DELETE>,
        .new_flow = abbrev_flow<EV_NEW>,
        .delete_flow = abbrev_flow<EV_DELETE>,
    },
    {
        .new_control = json_event<ulmexControl, render_json_ulmex_control, k_control, EV_NEW>,
        .delete_control = json_event<ulmexControl, render_json_ulmex_control, k_control, EV_DELETE>,
        .new_service = json_event<ugwd_service_mib, render_json_ulmex_service, k_service, EV_NEW>,
        .delete_service =
            json_event<ugwd_service_mib, render_json_ulmex_service, k_service, EV_DELETE>,
        .new_vap = json_event<ugwd_vap_mib, render_json_ulmex_service_bss, k_vap, EV_NEW>,
        .delete_vap = json_event<ugwd_vap_mib, render_json_ulmex_service_bss, k_vap, EV_DELETE>,
        .new_tunnel = json_event<ugwd_tunnel_mib, render_json_ulmex_tunnel, k_tunnel, EV_NEW>,
        .delete_tunnel = json_event<ugwd_tunnel_mib, render_json_ulmex_tunnel, k_tunnel, EV_DELETE>,
        .new_flow = json_event<ugw_flow_rec, render_json_ulmex_flow, k_flow, EV_NEW>,
        .delete_flow = json_event<ugw_flow_rec, render_json_ulmex_flow, k_flow, EV_DELETE>,
    },
};

int ugw_listen_health(gwc_connection *c, int timeout_ms, const sigset_t *mask)
{
    uclient *u = c->client;
    uint16_t seq = ++u->seq;
    if (umsg_send(u->fd, UMSG_HEALTH, UMSG_F_WANT_ACK, seq, nullptr, 0, nullptr, &u->cred, -1) < 0)
        return -1;
    uint64_t end = now_ms() + static_cast<uint64_t>(timeout_ms);
    for (;;) {
        uint64_t now = now_ms();
        if (now >= end) {
            errno = ETIMEDOUT;
            return -1;
        }
        uint64_t left = end - now;
        timespec ts = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
        pollfd p{u->fd, POLLIN, 0};
        int n = ppoll(&p, 1, &ts, mask);
        if (n < 0) return -1; // EINTR included: the caller looks at why
        if (n == 0) continue;
        if (uclient_recv(u, u->fd, 0) < 0) {
            if (errno == EAGAIN) continue;
            return -1;
        }
        umsghdr h;
        memcpy(&h, array_data<uint8_t>(&u->buffer), sizeof(h));
        // Answers to earlier checks that came late are passed over.
        if (!(h.flags & (UMSG_F_ACK | UMSG_F_NAK)) || h.type != UMSG_HEALTH || umsg_seq(&h) != seq)
            continue;
        if (h.flags & UMSG_F_ACK) return 0;
        errno = EPERM;
        return -1;
    }
}

int ugw_listen(const char *path, const ugw_command *cmd, int form, int pid, long watchdog)
{
    if (form < 0 || form > 2 || pid <= 0) {
        errno = EINVAL;
        return -1;
    }
    gwc_connection *c = gwc_create(path, &ugw_listen_forms[form], nullptr, 0);
    if (!c) return -1;
    constexpr struct {
        uint32_t flag, kind;
    } subscriptions[] = {
        {UGW_LISTEN_CONTROLS, GWC_EVENT_CONTROLS}, {UGW_LISTEN_SERVICES, GWC_EVENT_SERVICES},
        {UGW_LISTEN_VAPS, GWC_EVENT_VAPS},         {UGW_LISTEN_TUNNELS, GWC_EVENT_TUNNELS},
        {UGW_LISTEN_FLOWS, GWC_EVENT_FLOWS},
    };
    for (const auto &s : subscriptions)
        if ((cmd->flags & s.flag) && gwc_subscribe(c, s.kind) < 0) return end_with(c, -1, errno);

    signal_scope signals;
    int watch_fd = ugw_pid_watch(pid);
    // Checked once the watcher is open: an exit before it would go unseen.
    if (kill(pid, 0) < 0 && errno == ESRCH) return end_with(c, watch_fd, ESRCH);

    uint64_t heard = now_ms();
    bool first = true;
    for (;;) {
        pollfd p[2] = {{gwc_fd(c), POLLIN, 0}, {watch_fd, POLLIN, 0}};
        timespec second = {1, 0};
        int n = ppoll(p, watch_fd >= 0 ? 2 : 1, &second, &signals.wait_mask);
        if (n < 0 && errno != EINTR) return end_with(c, watch_fd, errno);
        if (stop_signal) return end_with(c, watch_fd, 0);
        clock_refresh_offset();
        bool arrived = n > 0 && (p[0].revents & POLLIN);
        if (arrived && !dispatch_pending(c)) return end_with(c, watch_fd, 0);
        bool gone =
            watch_fd >= 0 ? n > 0 && (p[1].revents & POLLIN) : kill(pid, 0) < 0 && errno == ESRCH;
        if (gone) return end_with(c, watch_fd, ESRCH);
        uint64_t now = now_ms();
        if (!arrived && !first) {
            if (ugw_listen_health(c, 1000, &signals.wait_mask) < 0) {
                if (stop_signal) return end_with(c, watch_fd, 0);
                if (watchdog > 0 && now_ms() - heard > static_cast<uint64_t>(watchdog) * 1000)
                    return end_with(c, watch_fd, ETIMEDOUT);
                first = false;
                continue;
            }
            now = now_ms();
        }
        heard = now;
        first = false;
    }
}
