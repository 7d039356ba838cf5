// Redirect hosts of authorizations, resolved off the main loop. A lookup on
// the loop would stall the data-plane link and the watchdog for as long as
// the resolver takes, so names are resolved one at a time on a worker thread
// into a small cache (8 hosts, 60 s). An authorization whose host is not in
// the cache installs its rules without the redirect permits; when the answer
// comes, the IP rules of every flow that waits for that host are installed
// again with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct radius_authz;
struct ugwd_ctl;
struct ugwd_flow;

enum : size_t {
    UGWD_REDIRECT_ADDRS = 8, // permits per host at most
    UGWD_REDIRECT_HOSTS = 8, // cached hosts
    UGWD_REDIRECT_WAITERS = 256,
};
inline constexpr uint32_t UGWD_REDIRECT_TTL = 60; // s

// The cached addresses of the URL's host (at most UGWD_REDIRECT_ADDRS) and
// its port; 0 addresses while unknown, failed, or for no URL. A host not yet
// known is queued for the worker and the flow waits for it with its
// authorization, which must live until the flow is deauthorized.
size_t ugwd_redirect_lookup(ugwd_ctl *ctl, ugwd_flow *f, const radius_authz *a,
                            const sockaddr **out, uint16_t *port);
// The flow no longer waits for an answer.
void ugwd_redirect_forget(ugwd_ctl *ctl, const ugwd_flow *f);
// Stops the worker and frees the cache.
void ugwd_redirect_destroy(ugwd_ctl *ctl);
// Whether a resolution is under way (tests).
bool ugwd_redirect_busy(const ugwd_ctl *ctl);
