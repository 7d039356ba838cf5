// Management commands that report the memory pools of the daemon and of its
// data-plane processes, the fabric between the processes and their AF_XDP
// sockets.
//
// Replies are built in the request's buffer and never carry more than they
// count: Get-Fabric and Get-XSK reserve room for the records they expect and
// drop what a process answers beyond it.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/bsearch.h"
#include "common/log.h"
#include "common/mempool.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_proc.h"

namespace
{

enum : size_t {
    LIST_ROWS = sizeof(ctl_list),
    MEMPOOL_INFO = 8,
    MEMPOOL_SITES = 8 + CTL_REC_MEMPOOL,
    MEMPOOL_SITE_ROWS = MEMPOOL_SITES + 4,
};
static_assert(sizeof(mempool_info) == CTL_REC_MEMPOOL &&
              sizeof(mempool_site) == CTL_REC_MEMPOOL_SITE);
static_assert(size_t{FRL_POOL_STATS_SIZE} == CTL_REC_MEMPOOL &&
              size_t{FRL_POOL_ENTRY_SIZE} == CTL_REC_MEMPOOL_SITE);
static_assert(size_t{FRL_FABRIC_SIZE} == CTL_REC_FABRIC && size_t{FRL_XSK_SIZE} == CTL_REC_XSK);

template <class T> std::vector<T> records_of(const uint8_t *p, size_t n)
{
    std::vector<T> v(n);
    if (n) memcpy(v.data(), p, n * sizeof(T));
    return v;
}

// Merges a sorted list into the gathered one; equal keys are combined.
template <class T>
void merge_into(std::vector<T> *gathered, const std::vector<T> &more, bsearch_compare_fn compare,
                bsearch_merge_fn merge)
{
    std::vector<T> out(gathered->size() + more.size());
    size_t n = bmerge(out.data(), gathered->data(), gathered->size(), more.data(), more.size(),
                      sizeof(T), compare, merge);
    out.resize(n);
    *gathered = std::move(out);
}

int compare_pool_names(const void *a, const void *b)
{
    return strncmp(static_cast<const mempool_info *>(a)->memName,
                   static_cast<const mempool_info *>(b)->memName, sizeof(mempool_info::memName));
}

template <class T> void sort_by(std::vector<T> *v, bsearch_compare_fn compare)
{
    std::sort(v->begin(), v->end(),
              [compare](const T &a, const T &b) { return compare(&a, &b) < 0; });
}

int mempool_reply(uint8_t *msg, size_t size, const mempool_info &info,
                  const std::vector<mempool_site> &sites)
{
    size_t need = MEMPOOL_SITE_ROWS + sites.size() * sizeof(mempool_site);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_NEW_MEMPOOL);
    memcpy(msg + MEMPOOL_INFO, &info, sizeof(info));
    ctl_put32(msg, MEMPOOL_SITES, static_cast<uint32_t>(sites.size()));
    if (!sites.empty())
        memcpy(msg + MEMPOOL_SITE_ROWS, sites.data(), sites.size() * sizeof(mempool_site));
    return static_cast<int>(need);
}

// Asks every process for its list of `record` bytes and appends them after
// the list header, at most `room` records; a failing process fails all.
template <ssize_t (*Get)(frlc *, const uint8_t **)>
int gather_list(ugwd_ctl *ctl, uint8_t *msg, uint32_t type, size_t record, size_t room)
{
    ugwd_ctl_msg_init(msg, type);
    size_t count = 0;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        const uint8_t *recs = nullptr;
        ssize_t n = Get(p->fernrelay, &recs);
        if (n < 0) return -1;
        size_t take = std::min(static_cast<size_t>(n), room - count);
        if (take < static_cast<size_t>(n))
            ulog(LOG_COMP_ALL, ULOG_DEBUG,
                 "Data plane [%u] answered %zd records where %zu were due", p->number, n, take);
        if (take) memcpy(msg + LIST_ROWS + count * record, recs, take * record);
        count += take;
    }
    ctl_put32(msg, offsetof(ctl_list, num_mibs), static_cast<uint32_t>(count));
    return static_cast<int>(LIST_ROWS + count * record);
}

} // namespace

int ugwd_ctl_cmd_get_mempool(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    char name[CTL_KEY_POOL_NAME];
    memcpy(name, msg + 8, sizeof(name));
    name[sizeof(name) - 1] = '\0';

    for (mempool *pool = mempool_first(); pool; pool = mempool_next(pool)) {
        if (strcmp(pool->info.memName, name) != 0) continue;
        std::vector<mempool_site> sites(mempool_get_sites(pool, nullptr, 0));
        sites.resize(mempool_get_sites(pool, sites.data(), static_cast<uint32_t>(sites.size())));
        return mempool_reply(msg, size, pool->info, sites);
    }

    mempool_info merged{};
    std::vector<mempool_site> sites;
    bool found = false;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        frl_pool_stats stats;
        const uint8_t *entries = nullptr;
        ssize_t n = frlc_get_mempool(p->fernrelay, name, &stats, &entries);
        if (n < 0) continue;
        mempool_info info;
        memcpy(&info, stats.b, sizeof(info));
        if (!found)
            merged = info;
        else
            mempool_info_merge(&merged, &info);
        found = true;
        std::vector<mempool_site> more = records_of<mempool_site>(entries, static_cast<size_t>(n));
        sort_by(&more, mempool_site_compare);
        merge_into(&sites, more, mempool_site_compare, mempool_site_merge);
    }
    if (!found) {
        errno = ENOENT;
        return -1;
    }
    return mempool_reply(msg, size, merged, sites);
}

int ugwd_ctl_cmd_dump_mempools(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    std::vector<mempool_info> pools;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        const uint8_t *recs = nullptr;
        ssize_t n = frlc_dump_mempools(p->fernrelay, &recs);
        if (n < 0) return -1;
        std::vector<mempool_info> more = records_of<mempool_info>(recs, static_cast<size_t>(n));
        sort_by(&more, compare_pool_names);
        merge_into(&pools, more, compare_pool_names, mempool_info_merge);
    }
    for (mempool *pool = mempool_first(); pool; pool = mempool_next(pool))
        pools.push_back(pool->info);

    size_t need = LIST_ROWS + pools.size() * sizeof(mempool_info);
    if (need > size) return static_cast<int>(need);
    ugwd_ctl_msg_init(msg, CTL_MEMPOOLS);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), static_cast<uint32_t>(pools.size()));
    if (!pools.empty()) memcpy(msg + LIST_ROWS, pools.data(), pools.size() * sizeof(mempool_info));
    return static_cast<int>(need);
}

int ugwd_ctl_cmd_get_fabric(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    // Each process has a link to each other one.
    size_t n = ctl->nprocs;
    size_t room = n ? n * (n - 1) : 0;
    size_t need = LIST_ROWS + room * CTL_REC_FABRIC;
    if (need > size) return static_cast<int>(need);
    return gather_list<frlc_get_fabric>(ctl, msg, CTL_NEW_FABRIC, CTL_REC_FABRIC, room);
}

int ugwd_ctl_cmd_get_xsk(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    size_t room = 0;
    for (ugwd_proc *p : list_records<&ugwd_proc::link>(&ctl->procs)) {
        const uint8_t *recs = nullptr;
        ssize_t n = frlc_get_xsk(p->fernrelay, &recs);
        if (n < 0) return -1;
        room += static_cast<size_t>(n);
    }
    size_t need = LIST_ROWS + room * CTL_REC_XSK;
    if (need > size) return static_cast<int>(need);
    return gather_list<frlc_get_xsk>(ctl, msg, CTL_NEW_XSK, CTL_REC_XSK, room);
}
