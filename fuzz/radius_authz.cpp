// Access-Accepts and CoA-Requests parsed into an authorization for a session
// that holds rules, addresses and a cached grant: the tunnel and main passes,
// the vendor table, rule space and the store's growth. A granted result is
// cached and copied back as a returning station's would be.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/filter/filter_rule.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_cache.h"
#include "radius/radius_db.h"
#include "radius/radius_nas.h"

namespace {

const uint8_t MAC[6] = {2, 0, 0, 0, 0, 1};

void nas_send(void *, packet *, const sockaddr *, int) {}
void nas_timed_out(void *, packet *) {}
void schedule(void *, timer *t, uint32_t, timer_fn)
{
    t->flags = TIMER_PENDING;
}
void cancel(void *, timer *t)
{
    t->flags = 0;
}
void authorize(void *, radius_entry *) {}
void deauthorize(void *, radius_entry *, uint16_t) {}
int send(void *, packet *, int, int *)
{
    return 0;
}
void discard(void *, packet *) {}
void revoked(void *, const uint8_t *, const uint8_t *) {}

struct world {
    mempool *pool;
    radius_nas_record rec{};
    radius_nas *auth, *acct;
    radius_db *db;
    radius_cache *cache;
    radius_entry *e;
    radius_authz base;
    radius_store *scratch;
};

world *setup()
{
    static world w;
    static const packet_pool_config config = {4096 + 256, 32, 16, 64, 0, 0};
    w.pool = packet_pool_create(&config);
    w.rec.config.radiusClientRequestPorts = 1;
    strcpy(w.rec.config.radiusAuthClientIdentifier, "nas");
    auto &a = w.rec.auth[0];
    a.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", a.radiusAuthServerInetAddress);
    a.radiusAuthClientServerInetPortNumber = 1812;
    strcpy(a.radiusAuthServerSharedSecret, "s");
    auto &c = w.rec.acct[0];
    c.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", c.radiusAccServerInetAddress);
    c.radiusAccClientServerInetPortNumber = 1813;
    strcpy(c.radiusAccServerSharedSecret, "s");
    radius_nas_ops nops = {.send = nas_send, .timed_out = nas_timed_out, .schedule = schedule,
                           .cancel = cancel};
    w.auth = radius_nas_create_auth(&w.rec.config, w.rec.auth, &nops, nullptr);
    w.acct = radius_nas_create_acct(&w.rec.config, w.rec.acct, &nops, nullptr);
    radius_cache_ops cops = {.revoked = revoked, .schedule = schedule, .cancel = cancel};
    w.cache = radius_cache_create(&cops, nullptr, 0);
    radius_db_ops ops = {.authorize = authorize, .deauthorize = deauthorize, .send = send,
                         .discard = discard, .schedule = schedule, .cancel = cancel};
    w.db = radius_db_create(&ops, nullptr, "nas", 0, w.pool, w.auth, w.acct, nullptr);
    filter_rule rules[3];
    filter_rule_parse(&rules[0], "permit in ip from any to 10.0.0.0/8", 0);
    filter_rule_parse(&rules[1], "deny in ip from any to any", 0);
    rules[2] = rules[1];
    radius_db_add_filter(w.db, "a", rules, 3);
    radius_db_add_filter(w.db, "b", rules, 1);
    w.e = radius_db_create_sess(w.db, nullptr, MAC, &w);
    const uint8_t v4[1][4] = {{10, 0, 0, 1}};
    radius_db_set_ipv4_addrs(w.e, 1, v4);
    radius_db_authorize_sess(w.e, "user");
    // The session holds a grant with rules and strings in its own store.
    w.e->authz.rules = rules;
    w.e->authz.rule_count = 2;
    w.e->authz.session_timeout = 100;
    w.e->authz.volume_up = 1000;
    w.e->link_count = 1;
    radius_store *keep = radius_store_create(4096);
    radius_db_copy_authz(w.e, &w.e->authz, keep);
    w.e->given_name = nullptr;
    radius_store_free(w.e->store);
    w.e->store = keep;
    w.base = w.e->authz;
    radius_cache_create_entry(w.cache, nullptr, MAC, &w.base);
    w.scratch = radius_store_create(256);
    // Pool memory is mapped, which the leak check does not scan: free all.
    atexit([] {
        w.e->authz = w.base;
        radius_db_destroy(w.db);
        radius_cache_destroy(w.cache);
        radius_nas_destroy(w.auth);
        radius_nas_destroy(w.acct);
        radius_store_free(w.scratch);
    });
    return &w;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static world *w = setup();
    if (size < 1 || size > 4000)
        return 0;
    packet *msg = packet_alloc(w->pool, RADIUS_HDR_LEN + size - 1);
    if (!msg)
        return 0;
    memset(msg->data, 0, RADIUS_HDR_LEN);
    msg->data[0] = (data[0] & 1) ? uint8_t(radius_code::coa_request) : uint8_t(radius_code::access_accept);
    memcpy(msg->data + RADIUS_HDR_LEN, data + 1, size - 1);
    radius_set_length(msg);
    if (radius_validate_attrs(msg) == 0) {
        radius_store_reset(w->scratch);
        uint16_t r = radius_db_parse_authz(w->e, msg, w->scratch);
        if (r == RADIUS_ERROR_RESOURCES_UNAVAILABLE) {
            if (radius_store *g = radius_store_grow(w->scratch)) {
                w->scratch = g;
                r = radius_db_parse_authz(w->e, msg, w->scratch);
            }
        }
        if (r == 0) {
            radius_cache_create_entry(w->cache, nullptr, MAC, &w->e->authz);
            if (const radius_authz *c = radius_cache_lookup(w->cache, nullptr, MAC)) {
                radius_store *s = radius_store_create(0);
                if (radius_db_copy_authz(w->e, c, s) < 0)
                    if (radius_store *g = radius_store_grow(s))
                        s = g;
                radius_store_free(s);
            }
        }
        w->e->authz = w->base;
        w->e->state_attr = w->e->class_attr = nullptr;
    }
    packet_release(msg);
    return 0;
}
