// The control module's part of a flow's life once it is bound: association,
// authorization and deauthorization in the data plane, statistics, the data
// plane's copy of its addresses, housekeeping, unbinding, and the New-/Delete-
// Flow events.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "common/array.h"
#include "common/ctl_msg.h"
#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/sockaddr.h"
#include "dot11/dot11_cache.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_flow_redirect.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "radius/radius_authz.h"

namespace
{

void log_flow(int level, const char *what, const ugwd_flow *f)
{
    const uint8_t *m = f->mac, *b = f->bssid;
    ulog(LOG_COMP_ALL, level,
         "%s flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on BSSID "
         "%02x:%02x:%02x:%02x:%02x:%02x",
         what, f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5]);
}

ugwd_service *service_of(const ugwd_flow *f)
{
    return f->vap ? f->vap->service : f->tunnel->service;
}

// The built-in IP rules before every authorized flow's own, and the pair
// that a deauthorization or a failed authorization leaves.
constexpr const char *builtin_rule_texts[UGWD_FLOW_BUILTIN_RULES] = {
    "permit in 17 from 0.0.0.0/32 68 to any 67",
    "permit in 17 from assigned 546 to ::/0 547",
    "permit in 58 from ::/128 to ::/0 icmp6types 133,135",
    "deny in ip from !assigned to any",
    "deny in 17 from any 67 to any 68",
    "deny in 17 from ::/0 547 to ::/0 546",
    "deny in 58 from ::/0 to ff02::1/128 frag",
    "deny in 58 from ::/0 to ::/0 icmp6types 134",
    "deny in 58 from ::/0 to ::/0 icmp6types 136 target !assigned",
    "deny out 2 from any to 224.0.0.22/32",
    "deny out 58 from any to ff02::16/128",
};
constexpr const char *deny_rule_texts[] = {
    "deny in ip from any to any",
    "deny out ip from any to any",
};

filter_rule builtin_rules[UGWD_FLOW_BUILTIN_RULES];
filter_rule deny_rules[std::size(deny_rule_texts)];
bool rules_parsed;

int parse_rules()
{
    if (rules_parsed) return 0;
    for (size_t i = 0; i < std::size(builtin_rule_texts); i++)
        if (filter_rule_parse(&builtin_rules[i], builtin_rule_texts[i], 1) < 0) return -1;
    for (size_t i = 0; i < std::size(deny_rule_texts); i++)
        if (filter_rule_parse(&deny_rules[i], deny_rule_texts[i], 1) < 0) return -1;
    rules_parsed = true;
    return 0;
}

frlc *client_of(const ugwd_flow *f)
{
    return f->proc->fernrelay;
}

void fail_authorize(ugwd_flow *f, const char *what)
{
    ulog(LOG_COMP_ALL, ULOG_ERROR, "%s: %s", what, strerror(errno));
    log_flow(ULOG_ERROR, "Failed to authorize", f);
    // Fail closed: whatever got installed, the flow passes nothing.
    if (f->bound) {
        frlc_set_redirect_url(client_of(f), f->rule_node, &f->id, nullptr);
        frlc_set_mac_rules(client_of(f), f->rule_node, &f->id, nullptr, 0);
        frlc_set_ip_rules(client_of(f), f->rule_node, &f->id, deny_rules, std::size(deny_rules));
    }
    f->flags &= static_cast<uint8_t>(~UGWD_FLOW_AUTHORIZED);
}


// A station that stays silent is queried once per query interval, not at
// every run of its housekeeping.
uint32_t query_gap(const ugwd_flow *f)
{
    uint32_t q = service_of(f)->mib.query_interval;
    return q ? q : 125;
}

void unbind_now(ugwd_flow *f);

} // namespace

namespace
{

struct mac_rules {
    uint8_t r[UGWD_FLOW_MAC_RULES][FRL_MAC_RULE_SIZE];
};

constexpr mac_rules make_mac_rules()
{
    mac_rules m = {};
    m.r[0][2] = 0x08, m.r[0][3] = 0x06, m.r[0][44] = 0x04;
    m.r[1][0] = 0x40, m.r[1][2] = 0x08, m.r[1][3] = 0x06, m.r[1][45] = 0x08;
    return m;
}

constexpr mac_rules builtin_mac_rules = make_mac_rules();

} // namespace

const uint8_t (&ugwd_flow_mac_rules)[UGWD_FLOW_MAC_RULES][FRL_MAC_RULE_SIZE] = builtin_mac_rules.r;

void ugwd_ctl_flow_limits(const radius_authz *a, uint8_t out[FRL_LIMITS_SIZE])
{
    frlc_limits_init(out, a->bandwidth_up, a->volume_up, a->bandwidth_down, a->volume_down);
}

ssize_t ugwd_ctl_build_rules(ugwd_ctl *ctl, const radius_authz *a, const sockaddr *const *redirect,
                             size_t nredirect, uint16_t redirect_port)
{
    if (parse_rules() < 0) {
        errno = EINVAL;
        return -1;
    }
    Ary *rules = &ctl->flow_rules;
    if (rules->_size != sizeof(filter_rule)) array_init(rules, sizeof(filter_rule));
    array_truncate(rules, 0);
    size_t n = UGWD_FLOW_BUILTIN_RULES + nredirect + a->rule_count;
    if (n > UINT32_MAX || array_reserve(rules, static_cast<uint32_t>(n)) < 0) {
        errno = ENOMEM;
        return -1;
    }
    auto *out = array_data<filter_rule>(rules);
    memcpy(out, builtin_rules, sizeof(builtin_rules));
    out += UGWD_FLOW_BUILTIN_RULES;
    for (size_t i = 0; i < nredirect; i++, out++) {
        const sockaddr *sa = redirect[i];
        bool v6 = sa->sa_family == AF_INET6;
        const uint8_t *addr = v6 ? reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr.s6_addr
                                 : reinterpret_cast<const uint8_t *>(
                                       &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr);
        char text[128], host[INET6_ADDRSTRLEN];
        inet_ntop(sa->sa_family, addr, host, sizeof(host));
        snprintf(text, sizeof(text), "permit in 6 from any to %s/%u %u", host, v6 ? 128 : 32,
                 redirect_port);
        if (filter_rule_parse(out, text, 1) < 0) {
            errno = EINVAL;
            return -1;
        }
    }
    if (a->rule_count) memcpy(out, a->rules, size_t{a->rule_count} * sizeof(filter_rule));
    return static_cast<ssize_t>(n);
}

void ugwd_ctl_associate_flow(ugwd_flow *f)
{
    if (hashlink_used(&f->by_assoc)) return;
    ugwd_ctl *ctl = f->ctl;
    if (f->bound) {
        uint8_t assoc[FRL_ASSOC_SIZE] = {};
        frlc_associate_flow(client_of(f), f->chain_node, &f->id, assoc);
    }
    // The client's stored leases of this service come back to it.
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&ctl->leases))
        if (!memcmp(l->rec.uuid, f->uuid, 16) && !memcmp(l->rec.mac, f->mac, 6)) {
            list_remove(&l->link);
            list_append(&f->leases, &l->link);
        }
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&ctl->leases6))
        if (!memcmp(l->rec.uuid, f->uuid, 16) && !memcmp(l->rec.mac, f->mac, 6)) {
            list_remove(&l->link);
            list_append(&f->leases6, &l->link);
        }
    ugwd_ctl_take_groups(f);
    ugwd_flow *older = ugwd_table_insert_flow_assoc(ctl->table, f);
    f->assoc_time = clock_sec();
    f->informed = f->traffic;
    schedule_cancel(ctl->sched, &f->timer_a);
    if (f->vap) ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_START, 0);
    if (older && older != f) ugwd_ctl_deauthorize_flow(older, 0);
}

void ugwd_ctl_disassociate_flow(ugwd_flow *f, uint16_t reason)
{
    bool assoc = hashlink_used(&f->by_assoc);
    if (!assoc && !f->assoc_time) return;
    ugwd_ctl *ctl = f->ctl;
    if (f->bound) frlc_disassociate_flow(client_of(f), f->chain_node, &f->id, reason);
    static constexpr uint8_t zero[16] = {};
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f->leases)) {
        list_remove(&l->link);
        if (!cmultilink_used(&l->by_uuid) || !memcmp(l->rec.addr, zero, 4)) {
            ugwd_table_drop_lease(ctl->table, l);
            ugwd_table_remove_lease(ctl->table, l);
            mempool_release(ctl->pools[UGWD_POOL_LEASE], l);
        } else {
            list_append(&ctl->leases, &l->link);
        }
    }
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6)) {
        list_remove(&l->link);
        if (!cmultilink_used(&l->by_uuid) || l->rec.kind == UGWD_LEASE6_LINK_LOCAL) {
            ugwd_table_drop_lease6(ctl->table, l);
            ugwd_table_remove_lease6(ctl->table, l);
            mempool_release(ctl->pools[UGWD_POOL_LEASE6], l);
        } else {
            list_append(&ctl->leases6, &l->link);
        }
    }
    ugwd_ctl_reset_flow_record(f);
    if (!list_isempty(&f->groups) || !list_isempty(&f->groups6)) {
        ugwd_ctl_delete_groups(f);
        ugwd_ctl_update_mcast_groups(f);
    }
    if (assoc) ugwd_table_remove_flow_assoc(ctl->table, f);
    if (f->vap) {
        // Nothing received since the last inform: the station timed out.
        bool silent = f->traffic.packets_up == f->informed.packets_up;
        ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_STOP, silent ? 4 : ugwd_flow_reason(reason));
    }
    ugwd_ctl_arm_unbind(f, f->unbind_delay);
    f->assoc_time = 0;
}

void ugwd_ctl_arm_unbind(ugwd_flow *f, uint32_t delay)
{
    ugwd_ctl *ctl = f->ctl;
    schedule_cancel(ctl->sched, &f->timer_a);
    schedule_timer(ctl->sched, &f->timer_a, std::min(delay, uint32_t{UGWD_FLOW_MAX_DELAY}) * 1000,
                   ugwd_ctl_flow_unbind_timer_cb);
}

void ugwd_ctl_flow_unbind_timer_cb(timer *t)
{
    ugwd_ctl_unbind_flow(container_of(t, &ugwd_flow::timer_a));
}

bool ugwd_flow_auth_cached(const dot11_rsna *rsna)
{
    // The PMK came from the key cache, or a pre-shared key needs no authentication.
    uint8_t akm[4];
    memcpy(akm, &rsna->suites.akm, 4);
    return (rsna->pmksa_valid && rsna->pmksa_akm) || akm[3] == 2;
}

int ugwd_ctl_send_flow_inform(ugwd_flow *f, uint8_t event, uint8_t reason)
{
    ugwd_ctl *ctl = f->ctl;
    const ugwd_flow_traffic &now = f->traffic, &last = f->informed;
    ulmex_flow_service_inform m;
    m.radioId = ulmex_bytes(f->radio, 6);
    m.bssId = ulmex_bytes(f->bssid, 6);
    m.clientId = ulmex_bytes(f->mac, 6);
    m.sessionId = f->session_id;
    // The message has no room for 0.
    m.linkId = std::max(f->link_id, uint32_t{1});
    m.serviceId = ulmex_bytes(f->uuid, 16);
    m.flowEvent = static_cast<ulmex_flow_event>(event);
    m.flowReason = static_cast<ulmex_flow_reason>(reason);
    m.duration = clock_sec() - f->start_time;
    m.packetsDown = now.packets_down - last.packets_down;
    m.packetsUp = now.packets_up - last.packets_up;
    m.droppedUp = now.drops - last.drops;
    m.octetsDown = now.octets_down - last.octets_down;
    m.octetsUp = now.octets_up - last.octets_up;
    m.authCached = ugwd_flow_auth_cached(&f->rsna);
    // The suite selectors as they travel in frames: big-endian values.
    uint8_t akm[4], cipher[4];
    memcpy(akm, &f->rsna.suites.akm, 4);
    memcpy(cipher, &f->rsna.suites.pairwise, 4);
    m.authMethod = ulmex_bytes(akm, 4);
    m.cipherSuite = ulmex_bytes(cipher, 4);
    ulmex_message msg;
    msg.request = true;
    msg.pdu = ulmex_make_pdu<ULMEX_FLOW_SERVICE_INFORM>(m);
    if (log_enabled(LOG_COMP_ULMEX, ULOG_DUMP)) ugwd_ctl_print_message(ctl, msg);
    // A stop outlives the flow: nothing may come back to it.
    int r = event == UGWD_FLOW_EVENT_STOP ? ulmex_request(&ctl->link, msg.pdu, nullptr, nullptr)
                                     : ulmex_request(&ctl->link, msg.pdu, &f->requests, f);
    // Deltas that did not go out are reported with the next inform.
    if (r == 0) f->informed = f->traffic;
    return r;
}

void ugwd_ctl_flow_inform_timer_cb(timer *t)
{
    ugwd_ctl_send_flow_inform(container_of(t, &ugwd_flow::timer_a), UGWD_FLOW_EVENT_UPDATE, 0);
}

int ugwd_ctl_authorize_flow(ugwd_flow *f, const radius_authz *a)
{
    ugwd_ctl *ctl = f->ctl;
    memset(f->user_name, 0, sizeof(f->user_name));
    if (a->user_name) strncpy(f->user_name, a->user_name, sizeof(f->user_name) - 1);
    if (!f->bound) {
        errno = ENOTCONN;
        fail_authorize(f, "Failed to install IP filter rules");
        return -1;
    }
    const sockaddr *redirect[UGWD_REDIRECT_ADDRS];
    uint16_t port = 0;
    size_t nredirect = ugwd_redirect_lookup(ctl, f, a, redirect, &port);
    ssize_t nrules = ugwd_ctl_build_rules(ctl, a, redirect, nredirect, port);
    if (nrules < 0) {
        fail_authorize(f, "Failed to build IP filter rules");
        return -1;
    }
    frlc *c = client_of(f);
    frl_flow rec;
    if (frlc_read_flow(c, &f->id, &rec) < 0) {
        char id[FRLC_FLOW_ID_TEXT];
        int err = errno;
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to read flow %s: %s",
             frlc_flow_id_format(&f->id, id), strerror(err));
        errno = err;
        fail_authorize(f, "Failed to install VLAN tag");
        return -1;
    }
    frl_store16(rec.b + FRL_FLOW_VLAN, static_cast<uint16_t>(radius_authz_vlan(a)));
    if (frlc_modify_flow(c, &rec) < 0) {
        fail_authorize(f, "Failed to install VLAN tag");
        return -1;
    }
    uint8_t limits[FRL_LIMITS_SIZE];
    ugwd_ctl_flow_limits(a, limits);
    if (frlc_set_flow_limits(c, f->limit_node, &f->id, limits) < 0) {
        fail_authorize(f, "Failed to install bandwidth and volume limits");
        return -1;
    }
    if (frlc_set_redirect_url(c, f->rule_node, &f->id, a->redirect_url) < 0) {
        fail_authorize(f, "Failed to install redirect URL");
        return -1;
    }
    if (frlc_set_mac_rules(c, f->rule_node, &f->id, ugwd_flow_mac_rules[0], UGWD_FLOW_MAC_RULES) <
        0) {
        fail_authorize(f, "Failed to install MAC filter rules");
        return -1;
    }
    if (frlc_set_ip_rules(c, f->rule_node, &f->id, array_data<filter_rule>(&ctl->flow_rules),
                          static_cast<size_t>(nrules)) < 0) {
        fail_authorize(f, "Failed to install IP filter rules");
        return -1;
    }
    f->flags |= UGWD_FLOW_AUTHORIZED;
    ugwd_ctl_flow_housekeeping(f);
    log_flow(ULOG_DETAIL, "Authorized", f);
    return 0;
}

void ugwd_ctl_deauthorize_flow(ugwd_flow *f, uint16_t reason)
{
    // Disconnection comes back here: the outer call does the work once.
    if (f->deauth_depth) return;
    f->deauth_depth++;
    ugwd_flow_disconnect(f, reason);
    ugwd_redirect_forget(f->ctl, f);
    if (f->bound && parse_rules() == 0) {
        frlc *c = client_of(f);
        frlc_set_redirect_url(c, f->rule_node, &f->id, nullptr);
        frlc_set_mac_rules(c, f->rule_node, &f->id, nullptr, 0);
        frlc_set_ip_rules(c, f->rule_node, &f->id, deny_rules, std::size(deny_rules));
    }
    memset(f->user_name, 0, sizeof(f->user_name));
    f->flags &= static_cast<uint8_t>(~UGWD_FLOW_AUTHORIZED);
    log_flow(ULOG_DETAIL, "Deauthorized", f);
    f->deauth_depth--;
    if (!f->deauth_depth && !f->hold_depth && (f->flags & UGWD_FLOW_DELETE)) unbind_now(f);
}

int ugwd_ctl_update_flow(ugwd_flow *f, const frl_flow *rec)
{
    if (!f->bound) return 0;
    frl_flow read;
    if (!rec) {
        if (frlc_read_flow(client_of(f), &f->id, &read) < 0) {
            char id[FRLC_FLOW_ID_TEXT];
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Failed to get statistics for flow %s: %s",
                 frlc_flow_id_format(&f->id, id), strerror(errno));
            return -1;
        }
        rec = &read;
    }
    if (f->vap) {
        frl_flow_stats st;
        if (frlc_get_flow_stats(client_of(f), f->chain_node, &f->id, &st) < 0) {
            char id[FRLC_FLOW_ID_TEXT];
            ulog(LOG_COMP_ALL, ULOG_DEBUG, "Failed to get statistics for flow %s: %s",
                 frlc_flow_id_format(&f->id, id), strerror(errno));
            return -1;
        }
        // The record's last-activity time (u32 at 0); frames the daemon saw may be newer.
        uint32_t t = frl_load32(st.b);
        if (static_cast<int32_t>(t - f->last_activity) > 0) f->last_activity = t;
    }
    ugwd_service_update_flow(f, rec);
    return 0;
}

void ugwd_ctl_unbind_flow(ugwd_flow *f)
{
    if (f->flags & UGWD_FLOW_UNBINDING) return;
    // Asked for inside a deauthorization or disconnection of this flow: the
    // outermost call does it.
    if (f->deauth_depth || f->hold_depth) {
        f->flags |= UGWD_FLOW_DELETE;
        return;
    }
    unbind_now(f);
}

void ugwd_ctl_release_flow(ugwd_flow *f)
{
    f->hold_depth--;
    if (!f->deauth_depth && !f->hold_depth && (f->flags & UGWD_FLOW_DELETE)) unbind_now(f);
}

namespace
{

void unbind_now(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    f->flags = static_cast<uint8_t>((f->flags & ~UGWD_FLOW_DELETE) | UGWD_FLOW_UNBINDING);
    ugwd_ctl_update_flow(f, nullptr);
    ugwd_flow_disconnect(f, 1);
    if (!list_isempty(&f->groups) || !list_isempty(&f->groups6)) {
        ugwd_ctl_delete_groups(f);
        ugwd_ctl_update_mcast_groups(f); // its VAP's or tunnel's list forgets the station
    }
    if (f->bound) {
        ugwd_ctl_notify_flow(f, CTL_DELETE_FLOW);
        frlc_remove_flow(client_of(f), &f->id, nullptr);
        ugwd_table_remove_flow(ctl->table, f);
        f->process = 0;
        f->port = 0;
        f->proc = nullptr;
        f->chain_node = f->limit_node = f->rule_node = 0;
        f->family = 0;
        f->bound = false;
        ugwd_table_insert_flow(ctl->table, f);
        log_flow(ULOG_DETAIL, "Unbound", f);
    }
    ulmex_cancel(&ctl->link, &f->requests);
    ugwd_redirect_forget(ctl, f);
    ugwd_table_remove_flow_assoc(ctl->table, f);
    ugwd_table_remove_flow(ctl->table, f);
    // Leases a flow still holds go back to the stored lists.
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f->leases)) {
        list_remove(&l->link);
        list_append(&ctl->leases, &l->link);
    }
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6)) {
        list_remove(&l->link);
        list_append(&ctl->leases6, &l->link);
    }
    ugwd_vap *vap = f->vap;
    ugwd_tunnel *tn = f->tunnel;
    ugwd_service_delete_flow(f);
    if (tn && !tn->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_tunnel(tn);
    if (vap && !vap->mib.ulmexServiceActiveFlows) ugwd_ctl_delete_vap(vap);
}

} // namespace

// Unbinding takes each flow off the index it was found on, so the first one
// left is always the next: nothing walks an index that unbinding changes.
void ugwd_ctl_unbind_flows_by_uuid(ugwd_ctl *ctl, const uint8_t uuid[16])
{
    uint8_t key[16];
    memcpy(key, uuid, 16);
    while (ugwd_flow *f = ugwd_table_first_flow_by_uuid(ctl->table, key))
        ugwd_ctl_unbind_flow(f);
}

void ugwd_ctl_unbind_flows_by_port(ugwd_ctl *ctl, uint32_t port)
{
    if (!port) return;
    while (ugwd_flow *f = ugwd_table_first_flow_by_port(ctl->table, port))
        ugwd_ctl_unbind_flow(f);
}

int ugwd_ctl_announce_addresses(ugwd_flow *f)
{
    if (!f->bound) return 0;
    frl_flow rec;
    frlc *c = client_of(f);
    if (frlc_read_flow(c, &f->id, &rec) < 0) return -1;
    enum : size_t { UNICAST = FRL_FLOW_MODE_B, NADDR6 = 50, ADDR6 = 52, ADDR4 = 180 };
    static constexpr uint8_t zero[16] = {};
    bool had4 = memcmp(rec.b + ADDR4, zero, 4) != 0, had6 = rec.b[NADDR6] != 0;
    memset(rec.b + ADDR4, 0, 4);
    rec.b[NADDR6] = 0;
    memset(rec.b + ADDR6, 0, 8 * 16);
    rec.b[UNICAST] |= 0x20;
    if (!list_isempty(&f->leases)) {
        auto *l = list_first_record<&ugwd_lease::link>(&f->leases);
        memcpy(rec.b + ADDR4, l->rec.addr, 4);
        if (l->rec.flags & 0x80) rec.b[UNICAST] &= static_cast<uint8_t>(~0x20);
    }
    uint8_t n = 0;
    for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&f->leases6)) {
        if (n == 8) break;
        if (!l->rec.prefix_len || !memcmp(l->rec.addr, zero, 16)) continue;
        memcpy(rec.b + ADDR6 + 16 * n++, l->rec.addr, 16);
    }
    rec.b[NADDR6] = n;
    if (frlc_modify_flow(c, &rec) < 0) return -1;
    const uint8_t *a4 = rec.b + ADDR4, *m = f->mac, *b = f->bssid;
    ugwd_ctl_query_groups(f, !had4 && memcmp(a4, zero, 4), !had6 && n);
    if (memcmp(a4, zero, 4))
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "Assigned IP address %d.%d.%d.%d to flow [%zd] for client "
             "%02x:%02x:%02x:%02x:%02x:%02x on BSSID %02x:%02x:%02x:%02x:%02x:%02x",
             a4[0], a4[1], a4[2], a4[3], f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1],
             b[2], b[3], b[4], b[5]);
    for (uint8_t i = 0; i < n; i++) {
        char t[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, rec.b + ADDR6 + 16 * i, t, sizeof(t));
        ulog(LOG_COMP_ALL, ULOG_DETAIL,
             "Assigned IPv6 address %s to flow [%zd] for client %02x:%02x:%02x:%02x:%02x:%02x on "
             "BSSID %02x:%02x:%02x:%02x:%02x:%02x",
             t, f->index, m[0], m[1], m[2], m[3], m[4], m[5], b[0], b[1], b[2], b[3], b[4], b[5]);
    }
    return 0;
}

int ugwd_ctl_reset_flow_record(ugwd_flow *f)
{
    if (!f->bound) return 0;
    frl_flow rec;
    frlc *c = client_of(f);
    if (frlc_read_flow(c, &f->id, &rec) < 0) return -1;
    rec.b[50] = 0;
    memset(rec.b + 180, 0, 4);
    return frlc_modify_flow(c, &rec);
}

void ugwd_ctl_schedule_flow_timer(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    schedule_cancel(ctl->sched, &f->timer_b);
    uint32_t now = clock_sec();
    uint64_t left = UINT64_MAX;
    auto remaining = [&](uint32_t start, uint32_t lifetime) {
        if (!lifetime || lifetime == UINT32_MAX) return;
        uint32_t age = now - start;
        left = std::min<uint64_t>(left, age >= lifetime ? 0 : lifetime - age);
    };
    for (ugwd_lease *l : list_records<&ugwd_lease::link>(&f->leases))
        remaining(l->rec.start, l->rec.lease_time);
    for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&f->leases6))
        remaining(l->rec.start, l->rec.valid_lifetime);
    uint32_t query = service_of(f)->mib.query_interval;
    uint32_t oldest, first_expiry;
    ugwd_ctl_group_ages(f, &oldest, &first_expiry);
    uint32_t since = now - f->last_query, gap = query_gap(f);
    // The next query is due Q after the oldest report, and allowed one gap
    // after the last query.
    uint64_t due = oldest < query ? query - oldest : 0;
    uint64_t allowed = since >= gap ? 0 : gap - since;
    uint64_t delay = std::min({left, uint64_t{first_expiry}, std::max(due, allowed)});
    if (delay == 0) delay = 1;
    delay = std::min<uint64_t>(delay, UGWD_FLOW_MAX_DELAY);
    schedule_timer(ctl->sched, &f->timer_b, static_cast<uint32_t>(delay * 1000),
                   ugwd_ctl_flow_timer_cb);
}

void ugwd_ctl_flow_timer_cb(timer *t)
{
    ugwd_flow *f = container_of(t, &ugwd_flow::timer_b);
    if (ugwd_ctl_expire_addresses(f)) ugwd_ctl_announce_addresses(f);
    if (ugwd_ctl_expire_groups(f)) ugwd_ctl_update_mcast_groups(f);
    if (clock_sec() - f->last_query >= query_gap(f)) ugwd_ctl_query_groups(f, true, true);
    ugwd_ctl_schedule_flow_timer(f);
}

int ugwd_ctl_output_flow_packet(ugwd_flow *f, packet *p)
{
    if (!f->bound) {
        errno = ENOTCONN;
        return -1;
    }
    return frlc_output_frame(client_of(f), f->chain_node, &f->id, 1, FRL_ENCAP_ETHER, p);
}

int ugwd_ctl_output_flow_frame(ugwd_flow *f, packet *p)
{
    if (!f->bound) {
        errno = ENOTCONN;
        return -1;
    }
    return frlc_output_frame(client_of(f), f->chain_node, &f->id, 2, FRL_ENCAP_80211, p);
}

void ugwd_ctl_fill_flow_record(const ugwd_flow *f, uint8_t r[UGWD_FLOW_RECORD])
{
    memset(r, 0, UGWD_FLOW_RECORD);
    const ugwd_service *s = service_of(f);
    memcpy(r + 0, f->bssid, 6);
    memcpy(r + 6, f->mac, 6);
    memcpy(r + 12, f->radio, 6);
    memcpy(r + 18, f->uuid, 16);
    memcpy(r + 34, s->mib.ulmexServiceSSID.ulmexSSIDValue, 32);
    r[66] = s->mib.ulmexServiceSSID.length;
    memcpy(r + 67, f->user_name, 253);
    if (f->vap) r[320] = static_cast<uint8_t>(f->vap->mib.ulmexFrequencyBand);
    uint32_t proto = f->tunnel ? f->tunnel->transport : uint32_t{UGWD_TRANSPORT_NATIVE};
    memcpy(r + 324, &proto, 4);
    memcpy(r + 360, &f->peer, sizeof(f->peer));
    memcpy(r + 388, &f->id, 12);
    const ugwd_binding *b = f->vap ? &f->vap->bind : &f->tunnel->bind;
    memcpy(r + 400, &b->bcast, 12);
    memcpy(r + 412, &f->process, 4);
    uint32_t nodes[7] = {f->chain_node,   f->vap ? b->radio_node : 0,
                         b->service_node, f->tunnel ? b->radio_node : 0,
                         b->addr_node,    f->limit_node,
                         f->rule_node};
    memcpy(r + 416, nodes, sizeof(nodes));
    uint32_t times[4] = {f->start_time, f->flags & UGWD_FLOW_CONNECTED ? f->assoc_time : 0,
                         f->assoc_time, f->last_activity};
    memcpy(r + 456, times, sizeof(times));
    memcpy(r + 472, &f->unbind_delay, 4);
    memcpy(r + 484, &s->mib.ulmexInformInterval, 4);
    uint32_t counters[6] = {f->traffic.packets_down, f->traffic.packets_up, 0, 0, 0,
                            f->traffic.drops};
    memcpy(r + 504, counters, sizeof(counters));
    memcpy(r + 528, &f->traffic.octets_down, 8);
    memcpy(r + 536, &f->traffic.octets_up, 8);
}

int ugwd_ctl_notify_flow(ugwd_flow *f, uint32_t type)
{
    uint8_t msg[UGWD_FLOW_REPLY];
    ugwd_ctl_msg_init(msg, type);
    ugwd_ctl_fill_flow_record(f, msg + 8);
    if (f->vap) {
        enum : size_t { STATION = 1704, STATS = 1784 };
        dot11_ft_auth_row row;
        dot11_rsna_dump_ftauth(&f->rsna, &row);
        memcpy(msg + STATION, &row, sizeof(row));
        // Statistics the data plane does not give stay zero.
        frl_flow_stats st;
        if (f->bound && frlc_get_flow_stats(client_of(f), f->chain_node, &f->id, &st) == 0)
            memcpy(msg + STATS, st.b, sizeof(st.b));
    }
    return ugwd_ctl_publish(f->ctl, msg, sizeof(msg));
}

void ugwd_ctl_flow_cleanup(ugwd_ctl *ctl)
{
    ugwd_redirect_destroy(ctl);
    if (ctl->flow_rules._dynamic) array_purge(&ctl->flow_rules);
}

void ugwd_ctl_flow_housekeeping(ugwd_flow *f)
{
    ugwd_ctl_expire_addresses(f);
    ugwd_ctl_announce_addresses(f);
    if (ugwd_ctl_expire_groups(f)) ugwd_ctl_update_mcast_groups(f);
    ugwd_ctl_schedule_flow_timer(f);
}
