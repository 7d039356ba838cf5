// The management commands that show what stations do: their flows, their
// accesses (what RADIUS authorized), their cached keys and their fast
// transition authentications, and Clear-Cache, which empties the
// authentication caches.
//
// The lists are read from the tables without asking the data planes; a Get
// refreshes its object from the data plane first. Flow lists walk the most
// specific index the request allows, so that a filtered dump of a large
// table costs the size of its answer.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/filter/filter_rule.h"
#include "dot11/dot11_cache.h"
#include "dot11/dot11_r0kh.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_mib.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_table.h"

namespace
{

// Request fields.
enum : size_t {
    GET_FLOW_PEER = 8,
    GET_FLOW_BSSID = 36,
    GET_FLOW_MAC = 42,
    DUMP_FLOWS_UUID = 8,
    DUMP_FLOWS_PEER = 24,
    DUMP_FLOWS_BSSID = 52,
    DUMP_FLOWS_MAC = 58,
    REQ_UUID = 8,
    REQ_KEY = 24, // MAC, PMKID or BSSID after the UUID
    GET_FTAUTH_MAC = 30,
    NAS_NAME = 8,
    NAS_UUID = 262,
    CLEAR_MAC = 278,
};

// Reply layouts.
enum : size_t {
    FLOW_RECORD = 8,
    FLOW_SESSION = 592,
    FLOW_ACCESS = 648,
    FLOW_PAE = 1696,
    FLOW_STATION = 1704,
    FLOW_STATS = 1784,
    FLOW_RULE_COUNT = 1920,
    FLOW_RULES = 1924,
    FLOW_SESSION_SIZE = 56,
    ACCESS_RECORD = 8,
    ACCESS_RULE_COUNT = 1056,
    ACCESS_RULES = 1060,
    KEY_ROW = 8,
    KEY_DETAIL = 48,
    KEY_REPLY = 368,
    FTAUTH_ROW = 8,
    FTAUTH_REPLY = 84,
    LIST_ROWS = 12,
    EXT_LIST_ROWS = 16,
    RULE = sizeof(filter_rule),
};
static_assert(FLOW_SESSION + FLOW_SESSION_SIZE == FLOW_ACCESS);
static_assert(FLOW_ACCESS + sizeof(ugwd_mib_access) == FLOW_PAE);
static_assert(FLOW_PAE + sizeof(dot1xAuthConfig) == FLOW_STATION);
static_assert(FLOW_STATION + sizeof(dot11_ft_auth_row) + 4 == FLOW_STATS);
static_assert(FLOW_STATS + sizeof(frl_flow_stats) == FLOW_RULE_COUNT);
static_assert(size_t{FLOW_RULES} == size_t{UGWD_FLOW_REPLY} && size_t{RULE} == size_t{CTL_REC_RULE});
static_assert(ACCESS_RECORD + sizeof(ugwd_mib_access) == ACCESS_RULE_COUNT);
static_assert(KEY_ROW + sizeof(dot11_key_row) + 4 == KEY_DETAIL);
static_assert(KEY_DETAIL + sizeof(dot1xAuthSessionStats) == KEY_REPLY);
static_assert(FTAUTH_ROW + sizeof(dot11_ft_auth_row) == FTAUTH_REPLY);

bool is_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

int fail(int err)
{
    errno = err;
    return -1;
}

ugwd_service *service_of(ugwd_ctl *ctl, const uint8_t *msg)
{
    return ugwd_table_get_service(ctl->table, msg + REQ_UUID);
}

// The peer address of a request, which may be any 28 bytes: a family other
// than IPv4 and IPv6 counts as none.
ugwd_sockaddr read_peer(const uint8_t *msg, size_t at)
{
    ugwd_sockaddr sa = {};
    memcpy(&sa, msg + at, sizeof(sa));
    if (sa.sa.sa_family != AF_INET && sa.sa.sa_family != AF_INET6) sa.sa.sa_family = 0;
    return sa;
}

bool same_peer(const ugwd_sockaddr &a, const ugwd_sockaddr &b)
{
    uint8_t ka[UGWD_ADDR_KEY_LEN], kb[UGWD_ADDR_KEY_LEN];
    ugwd_addr_key(ka, &a.sa);
    ugwd_addr_key(kb, &b.sa);
    return memcmp(ka, kb, sizeof(ka)) == 0;
}

// The PAE status, session, access and rules of a flow's reply: the rule
// count. Without a RADIUS session the flow has no access and no rules.
uint32_t flow_fill_mib(ugwd_flow *f, uint8_t *pae)
{
    if (pae) {
        memset(pae, 0, sizeof(dot1xAuthConfig));
        dot11_cache *c = f->vap ? f->vap->service->cache : nullptr;
        if (dot11_r0kh *r0kh = c ? dot11_cache_find_r0kh(c, f->mac) : nullptr) {
            dot1xAuthConfig st;
            dot11_r0kh_get_pae_status(r0kh, &st);
            memcpy(pae, &st, sizeof(st));
        }
    }
    return 0;
}

// The records of the flows of one key of an index, first to last.
template <class F> void walk_flows(ugwd_flow *first, cmultilink ugwd_flow::*member, F &&f)
{
    if (!first) return;
    const multilink *head = &(first->*member).ml;
    for (const multilink *m = head; m; m = multitable_key_next(head, m))
        f(multitable_entry(m, member));
}

} // namespace

int ugwd_ctl_cmd_get_flow(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint8_t bssid[6], mac[6];
    memcpy(bssid, msg + GET_FLOW_BSSID, 6);
    memcpy(mac, msg + GET_FLOW_MAC, 6);
    ugwd_sockaddr peer = read_peer(msg, GET_FLOW_PEER);
    ugwd_flow *f = nullptr;
    if (!is_zero(bssid, 6))
        f = ugwd_table_get_flow_by_bssid_mac(ctl->table, bssid, mac);
    else if (peer.sa.sa_family)
        f = ugwd_table_get_flow_by_addr_mac(ctl->table, &peer.sa, mac);
    if (!f) return fail(ENOENT);

    frl_flow_stats st = {};
    if (f->vap && f->bound &&
        frlc_get_flow_stats(f->proc->fernrelay, f->chain_node, &f->id, &st) < 0)
        return fail(EIO);
    if (ugwd_ctl_update_flow(f, nullptr) < 0) return -1;
    uint32_t n = flow_fill_mib(f, nullptr);
    size_t need = FLOW_RULES + size_t{n} * RULE;
    if (need > size) return static_cast<int>(need);

    ugwd_ctl_msg_init(msg, CTL_NEW_FLOW);
    ugwd_ctl_fill_flow_record(f, msg + FLOW_RECORD);
    if (f->vap) {
        dot11_ft_auth_row row;
        dot11_rsna_dump_ftauth(&f->rsna, &row);
        memcpy(msg + FLOW_STATION, &row, sizeof(row));
        memcpy(msg + FLOW_STATS, st.b, sizeof(st.b));
    }
    n = flow_fill_mib(f, msg + FLOW_PAE);
    ctl_put32(msg, FLOW_RULE_COUNT, n);
    return static_cast<int>(FLOW_RULES + size_t{n} * RULE);
}

int ugwd_ctl_cmd_dump_flows(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint8_t uuid[16], bssid[6], mac[6];
    memcpy(uuid, msg + DUMP_FLOWS_UUID, 16);
    memcpy(bssid, msg + DUMP_FLOWS_BSSID, 6);
    memcpy(mac, msg + DUMP_FLOWS_MAC, 6);
    ugwd_sockaddr peer = read_peer(msg, DUMP_FLOWS_PEER);
    bool by_uuid = !is_zero(uuid, 16), by_bssid = !is_zero(bssid, 6), by_peer = peer.sa.sa_family;
    ugwd_table *t = ctl->table;

    // The flows of one key, those of it that pass the filter.
    ugwd_flow *first = nullptr;
    cmultilink ugwd_flow::*member = nullptr;
    bool filter = false, all = false;
    if (!is_zero(mac, 6)) {
        first = ugwd_table_first_flow_by_mac(t, mac);
        member = &ugwd_flow::by_mac;
        filter = true;
    } else if (by_uuid && by_bssid) {
        first = ugwd_table_first_flow_by_uuid_bssid(t, uuid, bssid);
        member = &ugwd_flow::by_uuid_bssid;
    } else if (by_uuid && by_peer) {
        first = ugwd_table_first_flow_by_uuid_addr(t, uuid, &peer.sa);
        member = &ugwd_flow::by_uuid_bssid; // Ethernet flows keep that index there
    } else if (by_uuid) {
        first = ugwd_table_first_flow_by_uuid(t, uuid);
        member = &ugwd_flow::by_uuid;
    } else if (by_bssid) {
        first = ugwd_table_first_flow_by_bssid(t, bssid);
        member = &ugwd_flow::by_bssid;
    } else if (by_peer) {
        first = ugwd_table_first_flow_by_addr(t, &peer.sa);
        member = &ugwd_flow::by_bssid; // likewise
    } else {
        all = true;
    }
    auto keep = [&](const ugwd_flow *f) {
        if (!filter) return true;
        if (by_uuid && memcmp(f->uuid, uuid, 16)) return false;
        if (by_bssid && (!f->vap || memcmp(f->bssid, bssid, 6))) return false;
        if (by_peer && (f->vap || !same_peer(f->peer, peer))) return false;
        return true;
    };

    uint32_t n = 0;
    if (all)
        n = ugwd_table_count_flows(t);
    else if (!filter)
        n = cmultitable_count(first ? &(first->*member) : nullptr);
    else
        walk_flows(first, member, [&](ugwd_flow *f) { n += keep(f); });
    size_t need = EXT_LIST_ROWS + size_t{n} * UGWD_FLOW_RECORD;
    if (need > size) return static_cast<int>(need);

    ugwd_ctl_msg_init(msg, CTL_FLOWS);
    uint32_t i = 0;
    auto put = [&](const ugwd_flow *f) {
        if (i < n && keep(f))
            ugwd_ctl_fill_flow_record(f, msg + EXT_LIST_ROWS + size_t{i++} * UGWD_FLOW_RECORD);
    };
    if (all) {
        for (hashlink *h = hashtable_first(t->ix.flow_by_id); h; h = hashtable_next(t->ix.flow_by_id, h))
            put(container_of(h, &ugwd_flow::by_id));
    } else {
        walk_flows(first, member, put);
    }
    ctl_put32(msg, offsetof(ctl_list_ext, num_mibs), i);
    return static_cast<int>(EXT_LIST_ROWS + size_t{i} * UGWD_FLOW_RECORD);
}

int ugwd_ctl_cmd_get_access(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    ugwd_service *s = service_of(ctl, msg);
    if (!s) return fail(ENOENT);
    uint8_t mac[6];
    memcpy(mac, msg + REQ_KEY, 6);
    int n = ugwd_nas_get_access(s, mac, nullptr, nullptr, 0);
    if (n < 0) return -1;
    size_t need = ACCESS_RULES + size_t(n) * RULE;
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_NEW_ACCESS);
    ugwd_mib_access rec;
    // The rules' place in the reply is not aligned for them.
    std::vector<filter_rule> rules(static_cast<size_t>(n));
    n = ugwd_nas_get_access(s, mac, &rec, rules.data(), static_cast<uint32_t>(rules.size()));
    if (n < 0) return -1;
    memcpy(msg + ACCESS_RECORD, &rec, sizeof(rec));
    n = std::min(n, static_cast<int>(rules.size()));
    if (n) memcpy(msg + ACCESS_RULES, rules.data(), size_t(n) * RULE);
    ctl_put32(msg, ACCESS_RULE_COUNT, static_cast<uint32_t>(n));
    return static_cast<int>(ACCESS_RULES + size_t(n) * RULE);
}

int ugwd_ctl_cmd_dump_accesses(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    const char *name = reinterpret_cast<const char *>(msg + NAS_NAME);
    uint8_t uuid[16];
    memcpy(uuid, msg + NAS_UUID, 16);
    ugwd_nas *nas = nullptr;
    const uint8_t *realm = nullptr;
    if (!is_zero(uuid, 16)) {
        ugwd_service *s = ugwd_table_get_service(ctl->table, uuid);
        if (!s || (name[0] && !ugwd_nas_lookup(ctl->nas, name))) return fail(ENOENT);
        nas = s->nas;
        realm = uuid;
    } else {
        if (!name[0]) return fail(EINVAL);
        if (!(nas = ugwd_nas_lookup(ctl->nas, name))) return fail(ENOENT);
    }
    uint32_t n = nas ? ugwd_nas_dump_accesses(nas, realm, nullptr, 0) : 0;
    size_t need = LIST_ROWS + size_t{n} * sizeof(ugwd_mib_access);
    if (need > size) return static_cast<int>(need);
    // The records are written where they stand in the reply; the name is not read again.
    auto *rows = reinterpret_cast<ugwd_mib_access *>(msg + LIST_ROWS);
    static_assert(LIST_ROWS % alignof(ugwd_mib_access) == 0);
    ugwd_ctl_msg_init(msg, CTL_ACCESSES);
    uint32_t got = nas ? ugwd_nas_dump_accesses(nas, realm, rows, n) : 0;
    if (got < n) n = got;
    ctl_put32(msg, offsetof(ctl_list, num_mibs), n);
    return static_cast<int>(LIST_ROWS + size_t{n} * sizeof(ugwd_mib_access));
}

int ugwd_ctl_cmd_get_key(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    ugwd_service *s = service_of(ctl, msg);
    uint8_t name[16];
    memcpy(name, msg + REQ_KEY, 16);
    dot11_key_row row;
    if (!s || ugwd_service_get_key(s, name, &row, nullptr) < 0) return fail(ENOENT);
    // The station's traffic reaches the key's counters through its flow.
    if (ugwd_flow *f = ugwd_table_get_assoc_flow(ctl->table, row.mac))
        if (ugwd_ctl_update_flow(f, nullptr) < 0) return -1;
    dot1xAuthSessionStats detail;
    if (ugwd_service_get_key(s, name, &row, &detail) < 0) return fail(ENOENT);
    ugwd_ctl_msg_init(msg, CTL_NEW_KEY);
    memcpy(msg + KEY_ROW, &row, sizeof(row));
    memcpy(msg + KEY_DETAIL, &detail, sizeof(detail));
    return KEY_REPLY;
}

int ugwd_ctl_cmd_get_key_entry(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < KEY_REPLY) return KEY_REPLY;
    return ugwd_ctl_cmd_get_key(ctl, msg, size);
}

namespace
{

// A service's rows of one kind, of every station or of the one named: the
// walk counts first, so that a short buffer learns the size it needs.
template <class Row>
int dump_service_rows(ugwd_ctl *ctl, uint8_t *msg, size_t size, uint32_t reply,
                      uint32_t (*walk)(ugwd_service *, const uint8_t *, Row *, uint32_t))
{
    ugwd_service *s = service_of(ctl, msg);
    if (!s) return fail(ENOENT);
    uint8_t mac[6];
    memcpy(mac, msg + REQ_KEY, 6);
    const uint8_t *station = is_zero(mac, 6) ? nullptr : mac;
    uint32_t n = walk(s, station, nullptr, 0);
    size_t need = LIST_ROWS + size_t{n} * sizeof(Row);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, reply);
    auto *rows = reinterpret_cast<Row *>(msg + LIST_ROWS);
    static_assert(LIST_ROWS % alignof(Row) == 0);
    uint32_t got = walk(s, station, rows, n);
    if (got < n) n = got;
    ctl_put32(msg, offsetof(ctl_list, num_mibs), n);
    return static_cast<int>(LIST_ROWS + size_t{n} * sizeof(Row));
}

} // namespace

int ugwd_ctl_cmd_dump_keys(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_service_rows<dot11_key_row>(ctl, msg, size, CTL_KEYS, ugwd_service_dump_keys);
}

int ugwd_ctl_cmd_get_ftauth(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < FTAUTH_REPLY) return FTAUTH_REPLY;
    ugwd_service *s = service_of(ctl, msg);
    uint8_t bssid[6], mac[6];
    memcpy(bssid, msg + REQ_KEY, 6);
    memcpy(mac, msg + GET_FTAUTH_MAC, 6);
    dot11_ft_auth_row row;
    if (!s || ugwd_service_get_ftauth(s, mac, bssid, &row) < 0) return fail(ENOENT);
    ugwd_ctl_msg_init(msg, CTL_NEW_FTAUTH);
    memcpy(msg + FTAUTH_ROW, &row, sizeof(row));
    return FTAUTH_REPLY;
}

int ugwd_ctl_cmd_dump_ftauths(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_service_rows<dot11_ft_auth_row>(ctl, msg, size, CTL_FTAUTHS,
                                                ugwd_service_dump_ftauths);
}

namespace
{

int clear_cache(ugwd_ctl *ctl, const uint8_t *msg)
{
    const char *name = reinterpret_cast<const char *>(msg + NAS_NAME);
    uint8_t uuid[16], mac[6];
    memcpy(uuid, msg + NAS_UUID, 16);
    memcpy(mac, msg + CLEAR_MAC, 6);
    const uint8_t *station = is_zero(mac, 6) ? nullptr : mac;
    ugwd_service *s = nullptr;
    ugwd_nas *nas = nullptr;
    if (!is_zero(uuid, 16) && !(s = ugwd_table_get_service(ctl->table, uuid))) return fail(ENOENT);
    if (name[0] && !(nas = ugwd_nas_lookup(ctl->nas, name))) return fail(ENOENT);
    if (s) {
        if (!s->nas) return fail(EINVAL);
        ugwd_nas_revoke_access(s->nas, s->uuid, station);
        ugwd_service_clear_pmksas(s, station);
        return 0;
    }
    if (!nas) return fail(EINVAL);
    ugwd_nas_revoke_access(nas, nullptr, station);
    for (list_link *head : {&ctl->register_queue, &ctl->services_registered, &ctl->services_enabled})
        for (ugwd_service *o : list_records<&ugwd_service::queue>(head))
            ugwd_service_clear_pmksas(o, station);
    return 0;
}

} // namespace

int ugwd_ctl_cmd_clear_cache(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    bool force = ctl_get32(msg, offsetof(ctl_msg, status)) & CTL_F_FORCE;
    int r = clear_cache(ctl, msg);
    return force ? 0 : r;
}
