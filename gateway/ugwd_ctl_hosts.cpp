// Management commands for host sets, and for the filters of a NAS with their
// rules by position.
//
// The daemon keeps only which host-set ids exist (one bit each); every
// data-plane process keeps the names. A host change reaches all processes or
// none: a process that refuses has the ones already told undo it, since
// unequal processes would fail every later Get-Hostset.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/filter/filter_rule.h"
#include "common/log.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_nas.h"
#include "gateway/ugwd_proc.h"

namespace
{

enum : size_t {
    HOSTSET_ID = 8,
    HOSTSET_COUNT = 12,
    HOSTSET_ROWS = 16,
    HOST_NAME = 12,
    HOST_HITS = 256,
    LIST_ROWS = sizeof(ctl_list),
    FILTER_NAS = 8,
    FILTER_NAME = 8 + CTL_KEY_NAS_NAME,
    RULE_POSITION = FILTER_NAME + CTL_KEY_FILTER_NAME,
    RULE = RULE_POSITION + 4,
};
static_assert(RULE_POSITION == 516 && RULE == 520);
static_assert(sizeof(filter_rule) == CTL_REC_RULE && size_t{FRL_HOST_SIZE} == CTL_REC_HOST);

bool forced(const uint8_t *msg)
{
    return ctl_get32(msg, offsetof(ctl_msg, status)) & CTL_F_FORCE;
}

int fail(int err)
{
    errno = err;
    return -1;
}

bool hostset_exists(const ugwd_ctl *ctl, uint32_t id)
{
    if (id == 0 || id > UGWD_HOSTSET_MAX) return false;
    uint32_t word = (id - 1) / 32;
    return word < array_length(&ctl->hostsets) &&
           (*array_at<uint32_t>(&ctl->hostsets, word) >> ((id - 1) % 32) & 1);
}

int compare_host_names(const void *a, const void *b)
{
    return strncmp(static_cast<const char *>(a), static_cast<const char *>(b), CTL_KEY_HOST_NAME);
}

// The Get-Hostset and Remove-Hostset reply; the id field stays 0.
int hostset_reply(ugwd_ctl *ctl, uint32_t id, uint8_t *msg, size_t size, uint32_t type)
{
    int n = ugwd_ctl_get_hosts(ctl, id, nullptr, 0);
    if (n < 0) return -1;
    size_t need = HOSTSET_ROWS + static_cast<size_t>(n) * CTL_REC_HOST;
    if (need > size) return static_cast<int>(need);
    std::vector<uint8_t> hosts(static_cast<size_t>(n) * CTL_REC_HOST);
    if (ugwd_ctl_get_hosts(ctl, id, hosts.data(), static_cast<uint32_t>(n)) < 0) return -1;
    ugwd_ctl_msg_init(msg, type);
    ctl_put32(msg, HOSTSET_COUNT, static_cast<uint32_t>(n));
    if (n) memcpy(msg + HOSTSET_ROWS, hosts.data(), hosts.size());
    return static_cast<int>(need);
}

// Tells every process; when one refuses, the ones told before it are
// told `undo` and its errno is the result.
int hosts_change(ugwd_ctl *ctl, uint32_t id, const char *name, int op, int undo)
{
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        if (frlc_set_hostset(p->fernrelay, p->node_a, id, name, op) == 0) continue;
        int err = errno;
        for (ugwd_proc *q : list_records<&ugwd_proc::link>(&ctl->procs)) {
            if (q == p) break;
            if (frlc_set_hostset(q->fernrelay, q->node_a, id, name, undo) < 0)
                ulog(LOG_COMP_ALL, ULOG_ERROR, "Data plane [%u] kept host %s of host set %u: %s",
                     q->number, name, id, strerror(errno));
        }
        return fail(err);
    }
    return 0;
}

int host_command(ugwd_ctl *ctl, uint8_t *msg, int op, int undo)
{
    uint32_t id = ctl_get32(msg, HOSTSET_ID);
    if (!hostset_exists(ctl, id)) return op == FRLC_LIST_REMOVE && forced(msg) ? 0 : fail(ENOENT);
    char name[CTL_KEY_HOST_NAME];
    memcpy(name, msg + HOST_NAME, sizeof(name));
    return hosts_change(ctl, id, name, op, undo) < 0 ? -1 : 0;
}

// --- filters ---------------------------------------------------------------

struct filter_key {
    ugwd_nas *nas;
    char name[CTL_KEY_FILTER_NAME];
};

// The NAS named by the request; its filter name copied out.
int filter_key_of(ugwd_ctl *ctl, const uint8_t *msg, filter_key *key)
{
    char nas[CTL_KEY_NAS_NAME];
    memcpy(nas, msg + FILTER_NAS, sizeof(nas));
    memcpy(key->name, msg + FILTER_NAME, sizeof(key->name));
    key->nas = ugwd_nas_lookup(ctl->nas, nas);
    return key->nas ? 0 : fail(ENOENT);
}

// The filter's rules, or -1 with ENOENT when the NAS has no such filter.
int filter_rules(const filter_key &key, std::vector<filter_rule> *rules)
{
    int n = ugwd_nas_get_filter(key.nas, key.name, nullptr, 0);
    if (n < 0) return fail(ENOENT);
    rules->resize(static_cast<size_t>(n));
    if (n && ugwd_nas_get_filter(key.nas, key.name, rules->data(), static_cast<uint32_t>(n)) != n)
        return fail(EIO);
    return n;
}

int rules_reply(const std::vector<filter_rule> &rules, uint8_t *msg, size_t size, uint32_t type)
{
    size_t need = LIST_ROWS + rules.size() * sizeof(filter_rule);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, type);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), static_cast<uint32_t>(rules.size()));
    if (!rules.empty()) memcpy(msg + LIST_ROWS, rules.data(), rules.size() * sizeof(filter_rule));
    return static_cast<int>(need);
}

int replace_filter(const filter_key &key, const std::vector<filter_rule> &rules)
{
    if (ugwd_nas_add_filter(key.nas, key.name, rules.data(), static_cast<uint32_t>(rules.size())) !=
        0)
        return fail(EINVAL);
    return 0;
}

} // namespace

int ugwd_ctl_get_hosts(ugwd_ctl *ctl, uint32_t id, uint8_t *out, uint32_t n)
{
    if (out) memset(out, 0, static_cast<size_t>(n) * CTL_REC_HOST);
    int first = -1;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        const uint8_t *recs = nullptr;
        ssize_t count = frlc_get_hosts(p->fernrelay, p->node_a, id, &recs);
        if (count < 0) return -1;
        if (!out) return static_cast<int>(count);
        if (static_cast<size_t>(count) != n) {
            ulog(LOG_COMP_ALL, ULOG_ERROR, "Data plane [%u] has %zd hosts in host set %u, not %u",
                 p->number, count, id, n);
            return fail(EIO);
        }
        std::vector<uint8_t> hosts(recs, recs + static_cast<size_t>(count) * CTL_REC_HOST);
        std::vector<size_t> order(static_cast<size_t>(count));
        for (size_t i = 0; i < order.size(); i++)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&hosts](size_t a, size_t b) {
            return compare_host_names(&hosts[a * CTL_REC_HOST], &hosts[b * CTL_REC_HOST]) < 0;
        });
        for (size_t i = 0; i < order.size(); i++) {
            uint8_t *to = out + i * CTL_REC_HOST;
            const uint8_t *from = &hosts[order[i] * CTL_REC_HOST];
            memcpy(to, from, CTL_KEY_HOST_NAME);
            to[CTL_KEY_HOST_NAME - 1] = '\0';
            ctl_put32(to, HOST_HITS, ctl_get32(to, HOST_HITS) + ctl_get32(from, HOST_HITS));
        }
        first = static_cast<int>(count);
    }
    return first < 0 ? static_cast<int>(n) : first;
}

int ugwd_ctl_cmd_get_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint32_t id = ctl_get32(msg, HOSTSET_ID);
    if (!hostset_exists(ctl, id)) return fail(ENOENT);
    return hostset_reply(ctl, id, msg, size, CTL_NEW_HOSTSET);
}

int ugwd_ctl_cmd_add_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    if (size < HOSTSET_ROWS) return HOSTSET_ROWS;
    uint32_t id = ctl_get32(msg, HOSTSET_ID);
    if (id > UGWD_HOSTSET_MAX) return fail(EINVAL);
    if (id == 0) {
        uint32_t words = array_length(&ctl->hostsets), w = 0;
        while (w < words && *array_at<uint32_t>(&ctl->hostsets, w) == UINT32_MAX)
            w++;
        uint32_t bits = w < words ? *array_at<uint32_t>(&ctl->hostsets, w) : 0;
        id = w * 32 + static_cast<uint32_t>(__builtin_ctz(~bits)) + 1;
        if (id > UGWD_HOSTSET_MAX) return fail(ENOSPC);
    }
    uint32_t word = (id - 1) / 32;
    if (array_reserve(&ctl->hostsets, word + 1) < 0) return -1;
    *array_at<uint32_t>(&ctl->hostsets, word) |= 1u << ((id - 1) % 32);
    ugwd_ctl_msg_init(msg, CTL_NEW_HOSTSET);
    ctl_put32(msg, HOSTSET_ID, id);
    return HOSTSET_ROWS;
}

int ugwd_ctl_cmd_remove_hostset(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    uint32_t id = ctl_get32(msg, HOSTSET_ID);
    if (!hostset_exists(ctl, id)) return forced(msg) ? 0 : fail(ENOENT);
    int r = hostset_reply(ctl, id, msg, size, CTL_DELETE_HOSTSET);
    if (r < 0 || static_cast<size_t>(r) > size) return r;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs))
        frlc_set_hostset(p->fernrelay, p->node_a, id, nullptr, FRLC_LIST_CLEAR);
    *array_at<uint32_t>(&ctl->hostsets, (id - 1) / 32) &= ~(1u << ((id - 1) % 32));
    return r;
}

int ugwd_ctl_cmd_add_host(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    return host_command(ctl, msg, FRLC_LIST_ADD, FRLC_LIST_REMOVE);
}

int ugwd_ctl_cmd_remove_host(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    return host_command(ctl, msg, FRLC_LIST_REMOVE, FRLC_LIST_ADD);
}

int ugwd_ctl_cmd_dump_hostsets(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    std::vector<uint32_t> ids;
    for (uint32_t w = 0; w < array_length(&ctl->hostsets); w++)
        for (uint32_t bits = *array_at<uint32_t>(&ctl->hostsets, w); bits; bits &= bits - 1)
            ids.push_back(w * 32 + static_cast<uint32_t>(__builtin_ctz(bits)) + 1);
    size_t need = LIST_ROWS + ids.size() * CTL_REC_HOSTSET_ID;
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_HOSTSETS);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), static_cast<uint32_t>(ids.size()));
    for (size_t i = 0; i < ids.size(); i++)
        ctl_put32(msg, LIST_ROWS + i * CTL_REC_HOSTSET_ID, ids[i]);
    return static_cast<int>(need);
}

int ugwd_ctl_cmd_get_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    filter_key key;
    std::vector<filter_rule> rules;
    if (filter_key_of(ctl, msg, &key) < 0 || filter_rules(key, &rules) < 0) return -1;
    return rules_reply(rules, msg, size, CTL_NEW_FILTER);
}

int ugwd_ctl_cmd_add_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    filter_key key;
    std::vector<filter_rule> rules;
    if (filter_key_of(ctl, msg, &key) < 0) return -1;
    if (!key.name[0]) return fail(EINVAL);
    if (filter_rules(key, &rules) >= 0) {
        if (!forced(msg)) return fail(EEXIST);
    } else {
        size_t need = LIST_ROWS;
        if (need > size) return static_cast<int>(need);
        rules.clear();
        if (replace_filter(key, rules) < 0) return -1;
    }
    return rules_reply(rules, msg, size, CTL_NEW_FILTER);
}

int ugwd_ctl_cmd_remove_filter(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    filter_key key;
    std::vector<filter_rule> rules;
    if (filter_key_of(ctl, msg, &key) < 0 || filter_rules(key, &rules) < 0)
        return forced(msg) ? 0 : -1;
    int r = rules_reply(rules, msg, size, CTL_DELETE_FILTER);
    if (static_cast<size_t>(r) <= size) ugwd_nas_remove_filter(key.nas, key.name);
    return r;
}

int ugwd_ctl_cmd_add_rule(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    filter_key key;
    std::vector<filter_rule> rules;
    if (filter_key_of(ctl, msg, &key) < 0 || filter_rules(key, &rules) < 0) return -1;
    size_t at = std::min<size_t>(ctl_get32(msg, RULE_POSITION), rules.size());
    filter_rule rule;
    memcpy(&rule, msg + RULE, sizeof(rule));
    rules.insert(rules.begin() + static_cast<ptrdiff_t>(at), rule);
    return replace_filter(key, rules);
}

int ugwd_ctl_cmd_remove_rule(ugwd_ctl *ctl, uint8_t *msg, size_t)
{
    filter_key key;
    std::vector<filter_rule> rules;
    if (filter_key_of(ctl, msg, &key) < 0 || filter_rules(key, &rules) < 0) return -1;
    if (rules.empty()) return fail(ENOENT);
    size_t at = std::min<size_t>(ctl_get32(msg, RULE_POSITION), rules.size() - 1);
    rules.erase(rules.begin() + static_cast<ptrdiff_t>(at));
    return replace_filter(key, rules);
}

int ugwd_ctl_cmd_dump_filters(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    char nas_name[CTL_KEY_NAS_NAME];
    memcpy(nas_name, msg + FILTER_NAS, sizeof(nas_name));
    ugwd_nas *nas = ugwd_nas_lookup(ctl->nas, nas_name);
    if (!nas) return fail(ENOENT);
    int n = ugwd_nas_list_filters(nas, nullptr, 0);
    if (n < 0) return -1;
    size_t need = LIST_ROWS + static_cast<size_t>(n) * CTL_REC_FILTER_NAME;
    if (need > size) return static_cast<int>(need);
    std::vector<const char *> names(static_cast<size_t>(n));
    n = std::min(n, ugwd_nas_list_filters(nas, names.data(), static_cast<uint32_t>(n)));
    ugwd_ctl_msg_init(msg, CTL_FILTERS);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), static_cast<uint32_t>(n));
    for (int i = 0; i < n; i++) {
        uint8_t *slot = msg + LIST_ROWS + static_cast<size_t>(i) * CTL_REC_FILTER_NAME;
        memset(slot, 0, CTL_REC_FILTER_NAME);
        memcpy(slot, names[static_cast<size_t>(i)],
               strnlen(names[static_cast<size_t>(i)], CTL_REC_FILTER_NAME - 1));
    }
    return static_cast<int>(LIST_ROWS + static_cast<size_t>(n) * CTL_REC_FILTER_NAME);
}
