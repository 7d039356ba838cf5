#include "gateway/ugwd_flow_redirect.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <unistd.h>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "common/system.h"
#include "common/timer.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "radius/radius_authz.h"

struct ugwd_redirect_host {
    char name[257];
    uint8_t state; // 0 free, 1 queued, 2 resolving, 3 known (possibly with no address)
    uint8_t count;
    uint32_t time; // s, of the answer
    ugwd_sockaddr addrs[UGWD_REDIRECT_ADDRS];
};

struct ugwd_redirect_waiter {
    ugwd_flow *flow;
    const radius_authz *authz;
    uint16_t port;
    uint8_t host; // index into hosts
};

struct ugwd_redirect {
    ugwd_ctl *ctl;
    ugwd_redirect_host hosts[UGWD_REDIRECT_HOSTS];
    ugwd_redirect_waiter waiters[UGWD_REDIRECT_WAITERS];
    size_t nwaiters;
    worker w;
    int job_host; // -1 while idle
    // Written by the worker, read after its join.
    char job_name[257];
    addrinfo *job_result;
    int job_error;
};

namespace
{

enum : uint8_t { FREE = 0, QUEUED = 1, RESOLVING = 2, KNOWN = 3 };

void *resolve_job(void *arg)
{
    auto *r = static_cast<ugwd_redirect *>(arg);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    r->job_result = nullptr;
    r->job_error = getaddrinfo(r->job_name, nullptr, &hints, &r->job_result);
    return nullptr;
}

ugwd_redirect *get(ugwd_ctl *ctl, bool create)
{
    if (!ctl->redirect && create) {
        auto *r = static_cast<ugwd_redirect *>(calloc(1, sizeof(ugwd_redirect)));
        if (!r) return nullptr;
        r->ctl = ctl;
        r->w.fd = -1;
        r->job_host = -1;
        ctl->redirect = r;
    }
    return ctl->redirect;
}

void start_next(ugwd_redirect *r);

void install_waiters(ugwd_redirect *r, int host)
{
    for (size_t i = 0; i < r->nwaiters;) {
        ugwd_redirect_waiter w = r->waiters[i];
        if (w.host != host) {
            i++;
            continue;
        }
        r->waiters[i] = r->waiters[--r->nwaiters];
        ugwd_flow *f = w.flow;
        if (!f->bound || !(f->flags & UGWD_FLOW_AUTHORIZED)) continue;
        const ugwd_redirect_host &h = r->hosts[host];
        const sockaddr *addrs[UGWD_REDIRECT_ADDRS];
        for (size_t k = 0; k < h.count; k++)
            addrs[k] = &h.addrs[k].sa;
        ssize_t n = ugwd_ctl_build_rules(r->ctl, w.authz, addrs, h.count, w.port);
        if (n < 0 || frlc_set_ip_rules(f->proc->fernrelay, f->rule_node, &f->id,
                                       array_data<filter_rule>(&r->ctl->flow_rules),
                                       static_cast<size_t>(n)) < 0)
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to install IP filter rules: %s",
                 strerror(errno));
    }
}

void job_done_cb(void *arg, int)
{
    auto *r = static_cast<ugwd_redirect *>(arg);
    schedule_remove_fd(r->ctl->sched, r->w.fd);
    worker_join(&r->w, nullptr);
    int host = r->job_host;
    r->job_host = -1;
    ugwd_redirect_host &h = r->hosts[host];
    h.state = KNOWN;
    h.count = 0;
    h.time = clock_sec();
    if (r->job_error) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Could not resolve redirect host %s: %s", h.name,
             gai_strerror(r->job_error));
    } else {
        for (addrinfo *ai = r->job_result; ai && h.count < UGWD_REDIRECT_ADDRS; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
            bool dup = false;
            for (size_t k = 0; k < h.count; k++)
                dup |= !memcmp(&h.addrs[k], ai->ai_addr, ai->ai_addrlen);
            if (dup) continue;
            h.addrs[h.count] = ugwd_sockaddr{};
            memcpy(&h.addrs[h.count++], ai->ai_addr, ai->ai_addrlen);
        }
    }
    if (r->job_result) freeaddrinfo(r->job_result);
    r->job_result = nullptr;
    install_waiters(r, host);
    start_next(r);
}

void start_next(ugwd_redirect *r)
{
    if (r->job_host >= 0) return;
    for (int i = 0; i < static_cast<int>(UGWD_REDIRECT_HOSTS); i++) {
        ugwd_redirect_host &h = r->hosts[i];
        if (h.state != QUEUED) continue;
        memcpy(r->job_name, h.name, sizeof(r->job_name));
        if (worker_start(&r->w, resolve_job, r) < 0) {
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Could not resolve redirect host %s: %s", h.name,
                 strerror(errno));
            h.state = KNOWN;
            h.count = 0;
            h.time = clock_sec();
            continue;
        }
        if (schedule_add_fd(r->ctl->sched, r->w.fd, job_done_cb, r) < 0) {
            worker_cancel(&r->w);
            h.state = KNOWN;
            h.count = 0;
            h.time = clock_sec();
            continue;
        }
        h.state = RESOLVING;
        r->job_host = i;
        return;
    }
}

// The host's slot: the known or pending one, else a free or the oldest
// known one taken over. -1 when every slot is pending.
int slot_for(ugwd_redirect *r, const char *name)
{
    int victim = -1;
    uint32_t now = clock_sec();
    for (int i = 0; i < static_cast<int>(UGWD_REDIRECT_HOSTS); i++) {
        ugwd_redirect_host &h = r->hosts[i];
        if (h.state != FREE && !strcmp(h.name, name)) {
            if (h.state == KNOWN && now - h.time >= UGWD_REDIRECT_TTL) h.state = QUEUED;
            return i;
        }
        if (h.state == FREE) {
            if (victim < 0 || r->hosts[victim].state != FREE) victim = i;
        } else if (h.state == KNOWN && (victim < 0 || (r->hosts[victim].state == KNOWN &&
                                                       h.time < r->hosts[victim].time))) {
            victim = i;
        }
    }
    if (victim < 0) return -1;
    // Flows still waiting on the host whose slot goes wait for nothing now.
    for (size_t i = 0; i < r->nwaiters;)
        if (r->waiters[i].host == victim)
            r->waiters[i] = r->waiters[--r->nwaiters];
        else
            i++;
    ugwd_redirect_host &h = r->hosts[victim];
    h = ugwd_redirect_host{};
    snprintf(h.name, sizeof(h.name), "%s", name);
    h.state = QUEUED;
    return victim;
}

} // namespace

size_t ugwd_redirect_lookup(ugwd_ctl *ctl, ugwd_flow *f, const radius_authz *a,
                            const sockaddr **out, uint16_t *port)
{
    ugwd_redirect_forget(ctl, f);
    if (!a->redirect_url || !*a->redirect_url) return 0;
    char host[257];
    if (url_parse(a->redirect_url, host, sizeof(host), port) < 0) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Could not parse HTTP URL %s", a->redirect_url);
        return 0;
    }
    ugwd_redirect *r = get(ctl, true);
    if (!r) return 0;
    int i = slot_for(r, host);
    if (i < 0) return 0;
    ugwd_redirect_host &h = r->hosts[i];
    if (h.state == KNOWN) {
        for (size_t k = 0; k < h.count; k++)
            out[k] = &h.addrs[k].sa;
        return h.count;
    }
    if (r->nwaiters < UGWD_REDIRECT_WAITERS)
        r->waiters[r->nwaiters++] = {f, a, *port, static_cast<uint8_t>(i)};
    start_next(r);
    return 0;
}

void ugwd_redirect_forget(ugwd_ctl *ctl, const ugwd_flow *f)
{
    ugwd_redirect *r = get(ctl, false);
    if (!r) return;
    for (size_t i = 0; i < r->nwaiters;)
        if (r->waiters[i].flow == f)
            r->waiters[i] = r->waiters[--r->nwaiters];
        else
            i++;
}

void ugwd_redirect_destroy(ugwd_ctl *ctl)
{
    ugwd_redirect *r = get(ctl, false);
    if (!r) return;
    if (r->job_host >= 0) {
        schedule_remove_fd(ctl->sched, r->w.fd);
        worker_cancel(&r->w);
        if (r->job_result) freeaddrinfo(r->job_result);
    }
    free(r);
    ctl->redirect = nullptr;
}

bool ugwd_redirect_busy(const ugwd_ctl *ctl)
{
    return ctl->redirect && ctl->redirect->job_host >= 0;
}
