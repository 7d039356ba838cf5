// A flow's address records: DHCP and IPv6 records, the SLAAC prefixes of VAPs
// and tunnels, and the sweep that ages a flow's records and keeps the lease
// table and files in step with them.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

#include "common/log.h"
#include "common/mempool.h"
#include "common/timer.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"

const ugwd_prefix ugwd_prefix_link_local = {{}, {0xfe, 0x80}, 64, UGWD_LEASE6_LINK_LOCAL, 0, 0, {}};
const ugwd_prefix ugwd_prefix_dhcpv6 = {{}, {}, 0, UGWD_LEASE6_DHCPV6, 0, 0, {}};

namespace
{

constexpr uint8_t zero16[16] = {};

struct addr6_text {
    char t[INET6_ADDRSTRLEN];
    explicit addr6_text(const uint8_t a[16]) { inet_ntop(AF_INET6, a, t, sizeof(t)); }
};

void log_lease(int level, const char *what, const ugwd_lease_rec &r, const char *tail)
{
    const uint8_t *m = r.mac, *a = r.addr;
    char u[37];
    if (tail)
        ulog(LOG_COMP_ALL, level,
             "DHCP record for client %02x:%02x:%02x:%02x:%02x:%02x on service %s lease "
             "%d.%d.%d.%d %s",
             m[0], m[1], m[2], m[3], m[4], m[5], ugwd_uuid_format(r.uuid, u), a[0], a[1], a[2],
             a[3], tail);
    else
        ulog(LOG_COMP_ALL, level,
             "%s DHCP record for client %02x:%02x:%02x:%02x:%02x:%02x on service %s", what, m[0],
             m[1], m[2], m[3], m[4], m[5], ugwd_uuid_format(r.uuid, u));
}

void log_lease6(int level, const char *what, const ugwd_lease6_rec &r)
{
    if (log_enabled(LOG_COMP_ALL, level)) {
        addr6_text a(r.addr);
        ulog(LOG_COMP_ALL, level, "%s IPv6 %s record %s/%u", what, ugwd_lease6_kind_name(r.kind), a.t,
             r.prefix_len);
    }
}

void log_lease6_end(int level, const ugwd_lease6_rec &r, const char *how)
{
    if (log_enabled(LOG_COMP_ALL, level)) {
        addr6_text a(r.addr);
        ulog(LOG_COMP_ALL, level, "IPv6 %s record %s/%u %s", ugwd_lease6_kind_name(r.kind), a.t,
             r.prefix_len, how);
    }
}

bool has_lease(const ugwd_lease *l)
{
    return memcmp(l->rec.addr, zero16, 4) != 0;
}

bool has_addr6(const ugwd_lease6 *l)
{
    return l->rec.prefix_len && memcmp(l->rec.addr, zero16, 16) != 0;
}

list_link *prefixes_of(ugwd_flow *f)
{
    return f->vap ? &f->vap->prefixes : &f->tunnel->prefixes;
}

int compare_expiry(uint32_t a, uint32_t b)
{
    if (a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    return a > b ? -1 : 1;
}

// Records the kept record in the lease table: 1 when its indexing changed.
template <class L, class Store, class Drop>
int record(ugwd_table *t, L *l, bool live, Store store, Drop drop)
{
    bool was = cmultilink_used(&l->by_uuid);
    if (live)
        store(t, l);
    else
        drop(t, l);
    return was != cmultilink_used(&l->by_uuid);
}

} // namespace

const char *ugwd_lease6_kind_name(uint8_t kind)
{
    switch (kind) {
    case UGWD_LEASE6_LINK_LOCAL:
        return "link-local";
    case UGWD_LEASE6_SLAAC:
        return "SLAAC";
    case UGWD_LEASE6_DHCPV6:
        return "DHCPv6";
    default:
        return "unknown";
    }
}

ugwd_lease *ugwd_lease_create(ugwd_flow *f)
{
    mempool *pool = f->ctl->pools[UGWD_POOL_LEASE];
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *l = new (mem) ugwd_lease{};
    memcpy(l->rec.uuid, f->uuid, 16);
    memcpy(l->rec.mac, f->mac, 6);
    l->rec.max_msg_size = 576;
    ugwd_lease_links_init(l);
    list_append(&f->leases, &l->link);
    log_lease(ULOG_DETAIL, "Created", l->rec, nullptr);
    return l;
}

ugwd_lease6 *ugwd_lease6_create(ugwd_flow *f, const ugwd_prefix *prefix, const uint8_t addr[16])
{
    mempool *pool = f->ctl->pools[UGWD_POOL_LEASE6];
    void *mem = mempool_zalloc(pool);
    if (!mem) {
        ulog(LOG_COMP_ALL, ULOG_DEBUG, "Out of buffer space");
        errno = ENOMEM;
        return nullptr;
    }
    auto *l = new (mem) ugwd_lease6{};
    memcpy(l->rec.uuid, f->uuid, 16);
    memcpy(l->rec.mac, f->mac, 6);
    memcpy(l->rec.addr, addr, 16);
    l->rec.kind = prefix->kind;
    l->rec.prefix_len = prefix->prefix_len;
    l->rec.valid_lifetime = prefix->valid_lifetime;
    // A constant prefix was never announced: the record starts now.
    l->rec.start = prefix->last ? prefix->last : clock_sec();
    ugwd_lease6_links_init(l);
    list_append(&f->leases6, &l->link);
    log_lease6(ULOG_DETAIL, "Created", l->rec);
    return l;
}

void ugwd_service_delete_lease(ugwd_ctl *ctl, ugwd_lease *l)
{
    if (!l) return;
    UGW_ASSERT(!cmultilink_used(&l->by_uuid) && !cmultilink_used(&l->by_mac) &&
               !cmultilink_used(&l->by_uuid_mac));
    list_remove(&l->link);
    log_lease(ULOG_DETAIL, "Deleted", l->rec, nullptr);
    l->~ugwd_lease();
    mempool_release(ctl->pools[UGWD_POOL_LEASE], l);
}

void ugwd_service_delete_lease6(ugwd_ctl *ctl, ugwd_lease6 *l)
{
    if (!l) return;
    UGW_ASSERT(!hashlink_used(&l->by_ip6) && !cmultilink_used(&l->by_uuid) &&
               !cmultilink_used(&l->by_mac) && !cmultilink_used(&l->by_uuid_mac));
    list_remove(&l->link);
    log_lease6(ULOG_DEBUG, "Deleted", l->rec);
    l->~ugwd_lease6();
    mempool_release(ctl->pools[UGWD_POOL_LEASE6], l);
}

void ugwd_ctl_remove_lease(ugwd_ctl *ctl, ugwd_lease *l)
{
    ugwd_table_drop_lease(ctl->table, l);
    ugwd_table_remove_lease(ctl->table, l);
    ugwd_service_delete_lease(ctl, l);
}

void ugwd_ctl_remove_lease6(ugwd_ctl *ctl, ugwd_lease6 *l)
{
    ugwd_table_drop_lease6(ctl->table, l);
    ugwd_table_remove_lease6(ctl->table, l);
    ugwd_service_delete_lease6(ctl, l);
}

ugwd_lease6 *ugwd_ctl_find_lease6_by_ip6(ugwd_ctl *ctl, const uint8_t addr[16])
{
    return ugwd_table_get_lease6_by_ip6(ctl->table, addr);
}

void ugwd_prefix_update(ugwd_service *s, list_link *prefixes, const uint8_t opt[32])
{
    uint32_t valid;
    memcpy(&valid, opt + 4, 4);
    valid = ntohl(valid);
    uint8_t len = opt[2];
    const uint8_t *pfx = opt + 16;
    uint32_t now = clock_sec();
    char u[37];
    for (ugwd_prefix *p : list_records<&ugwd_prefix::link>(prefixes)) {
        if (p->prefix_len != len || memcmp(p->prefix, pfx, 16)) continue;
        if (p->valid_lifetime != valid) {
            if (log_enabled(LOG_COMP_ALL, ULOG_TRACE)) {
                addr6_text a(pfx);
                ulog(LOG_COMP_ALL, ULOG_TRACE,
                     "Update IPv6 SLAAC prefix %s/%u on service %s valid for %us", a.t, len,
                     ugwd_uuid_format(s->uuid, u), valid);
            }
            p->valid_lifetime = valid;
        }
        p->last = now;
        return;
    }
    ugwd_prefix *p = nullptr;
    uint32_t count = 0;
    for (ugwd_prefix *q : list_records<&ugwd_prefix::link>(prefixes)) {
        count++;
        if (!p || now - q->last > now - p->last) p = q;
    }
    if (count >= UGWD_PREFIX_MAX) {
        list_remove(&p->link);
    } else {
        void *mem = mempool_zalloc(s->ctl->pools[UGWD_POOL_PREFIX]);
        if (!mem) return;
        p = new (mem) ugwd_prefix{};
    }
    memcpy(p->uuid, s->uuid, 16);
    memcpy(p->prefix, pfx, 16);
    p->prefix_len = len;
    p->kind = UGWD_LEASE6_SLAAC;
    p->valid_lifetime = valid;
    p->last = now;
    list_append(prefixes, &p->link);
    if (log_enabled(LOG_COMP_ALL, ULOG_TRACE)) {
        addr6_text a(pfx);
        ulog(LOG_COMP_ALL, ULOG_TRACE, "New IPv6 SLAAC prefix %s/%u on service %s valid for %us", a.t,
             len, ugwd_uuid_format(s->uuid, u), valid);
    }
}

void ugwd_prefix_expire(ugwd_ctl *ctl, list_link *prefixes, uint32_t t)
{
    uint32_t now = clock_sec();
    for (ugwd_prefix *p : list_records_safe<&ugwd_prefix::link>(prefixes)) {
        uint32_t age = now - p->last;
        uint32_t bound = (p->valid_lifetime > t ? p->valid_lifetime : t) - t;
        if (age < bound) continue;
        list_remove(&p->link);
        addr6_text a(p->prefix);
        char u[37];
        ulog(LOG_COMP_ALL, ULOG_DETAIL, "Timeout IPv6 SLAAC prefix %s/%u on service %s age %us",
             a.t, p->prefix_len, ugwd_uuid_format(p->uuid, u), age);
        p->~ugwd_prefix();
        mempool_release(ctl->pools[UGWD_POOL_PREFIX], p);
    }
}

ugwd_prefix *ugwd_prefix_lookup(list_link *prefixes, const uint8_t addr[16])
{
    for (ugwd_prefix *p : list_records<&ugwd_prefix::link>(prefixes)) {
        unsigned bits = p->prefix_len > 128 ? 128 : p->prefix_len;
        unsigned whole = bits / 8, rest = bits % 8;
        if (memcmp(p->prefix, addr, whole)) continue;
        if (rest) {
            auto mask = static_cast<uint8_t>(0xff << (8 - rest));
            if ((p->prefix[whole] ^ addr[whole]) & mask) continue;
        }
        return p;
    }
    return nullptr;
}

// A prefix announced again renews the records it covers even when its
// lifetime is unchanged: else every SLAAC address ran out one lifetime after
// it was made while its router kept announcing it.
void ugwd_lease6_renew_slaac(ugwd_flow *f, ugwd_lease6 *l)
{
    if (l->rec.kind != UGWD_LEASE6_SLAAC) return;
    ugwd_prefix *p = ugwd_prefix_lookup(prefixes_of(f), l->rec.addr);
    if (!p || p->prefix_len != l->rec.prefix_len) return;
    if (static_cast<int32_t>(p->last - l->rec.start) <= 0) return;
    if (p->last + p->valid_lifetime == l->rec.start + l->rec.valid_lifetime) return;
    l->rec.valid_lifetime = p->valid_lifetime;
    l->rec.start = p->last;
    auto left = static_cast<int64_t>(p->last) + p->valid_lifetime - clock_sec();
    if (log_enabled(LOG_COMP_ALL, ULOG_DETAIL)) {
        addr6_text a(l->rec.addr);
        ulog(LOG_COMP_ALL, ULOG_DETAIL, "Renewed IPv6 SLAAC record %s/%u valid for %ds", a.t,
             l->rec.prefix_len, left > 0 ? static_cast<int>(left > INT32_MAX ? INT32_MAX : left) : 0);
    }
}

int ugwd_ctl_cmp_expiry(const void *a, const void *b)
{
    uint32_t x, y;
    memcpy(&x, a, 4);
    memcpy(&y, b, 4);
    return compare_expiry(x, y);
}

int ugwd_ctl_cmp_expiry6(const void *a, const void *b)
{
    return ugwd_ctl_cmp_expiry(a, b);
}

int ugwd_ctl_cmp_mac(const void *a, const void *b)
{
    return memcmp(a, b, 6);
}

uint8_t *ugwd_ctl_remove_mac(Ary *macs, const uint8_t mac[6])
{
    uint32_t lo = 0, hi = array_length(macs);
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        uint8_t *at = array_at<uint8_t>(macs, mid);
        int c = ugwd_ctl_cmp_mac(at, mac);
        if (c == 0) {
            uint32_t n = array_length(macs);
            memmove(at, at + 6, size_t{n - mid - 1} * 6);
            macs->_count--;
            return at;
        }
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

int ugwd_ctl_expire_addresses(ugwd_flow *f)
{
    ugwd_ctl *ctl = f->ctl;
    uint32_t now = clock_sec();
    int count = 0;

    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f->leases)) {
        if (has_lease(l) && now - l->rec.start >= l->rec.lease_time) {
            log_lease(ULOG_DEBUG, nullptr, l->rec, "expired");
            ugwd_ctl_remove_lease(ctl, l);
            count++;
            continue;
        }
        // A record without a lease sorts after every leased one.
        uint32_t e = l->rec.start + l->rec.lease_time;
        l->expiry = has_lease(l) && e ? e : 1;
    }
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6)) {
        ugwd_lease6_renew_slaac(f, l);
        bool local = l->rec.kind == UGWD_LEASE6_LINK_LOCAL;
        if (!memcmp(l->rec.addr, zero16, 16) ||
            (!local && now - l->rec.start >= l->rec.valid_lifetime)) {
            log_lease6_end(ULOG_DEBUG, l->rec, "expired");
            ugwd_ctl_remove_lease6(ctl, l);
            count++;
            continue;
        }
        uint32_t e = l->rec.start + l->rec.valid_lifetime;
        l->expiry = local ? 0 : e ? e : 1;
    }
    list_sort(&f->leases, ugwd_ctl_cmp_expiry,
              static_cast<std::ptrdiff_t>(offsetof(ugwd_lease, expiry)) -
                  static_cast<std::ptrdiff_t>(offsetof(ugwd_lease, link)));
    list_sort(&f->leases6, ugwd_ctl_cmp_expiry6,
              static_cast<std::ptrdiff_t>(offsetof(ugwd_lease6, expiry)) -
                  static_cast<std::ptrdiff_t>(offsetof(ugwd_lease6, link)));

    bool first = true;
    for (ugwd_lease *l : list_records_safe<&ugwd_lease::link>(&f->leases)) {
        if (first) {
            first = false;
            count +=
                record(ctl->table, l, has_lease(l), ugwd_table_store_lease, ugwd_table_drop_lease);
            continue;
        }
        ugwd_ctl_remove_lease(ctl, l);
        count++;
    }

    // Kept: one of each kind first, then by expiry; a SLAAC address of a /64
    // already kept only fills a place nothing else wants.
    ugwd_lease6 *sorted[64];
    uint32_t n = 0;
    for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&f->leases6)) {
        list_remove(&l->link);
        if (n < std::size(sorted)) {
            sorted[n++] = l;
        } else {
            ugwd_ctl_remove_lease6(ctl, l);
            count++;
        }
    }
    ugwd_lease6 *kept[UGWD_FLOW_MAX_LEASES6];
    uint32_t nkept = 0;
    bool taken[std::size(sorted)] = {};
    auto keep = [&](uint32_t i) {
        kept[nkept++] = sorted[i];
        taken[i] = true;
    };
    for (uint8_t kind : {UGWD_LEASE6_LINK_LOCAL, UGWD_LEASE6_SLAAC, UGWD_LEASE6_DHCPV6})
        for (uint32_t i = 0; i < n; i++)
            if (sorted[i]->rec.kind == kind) {
                keep(i);
                break;
            }
    auto same64 = [&](const ugwd_lease6 *l) {
        for (uint32_t k = 0; k < nkept; k++)
            if (!memcmp(kept[k]->rec.addr, l->rec.addr, 8)) return true;
        return false;
    };
    for (uint32_t i = 0; i < n && nkept < UGWD_FLOW_MAX_LEASES6; i++)
        if (!taken[i] && !(sorted[i]->rec.kind == UGWD_LEASE6_SLAAC && same64(sorted[i]))) keep(i);
    for (uint32_t i = 0; i < n && nkept < UGWD_FLOW_MAX_LEASES6; i++)
        if (!taken[i]) keep(i);
    for (uint32_t k = 0; k < nkept; k++) {
        list_append(&f->leases6, &kept[k]->link);
        count += record(ctl->table, kept[k], has_addr6(kept[k]), ugwd_table_store_lease6,
                        ugwd_table_drop_lease6);
    }
    for (uint32_t i = 0; i < n; i++)
        if (!taken[i]) {
            ugwd_ctl_remove_lease6(ctl, sorted[i]);
            count++;
        }

    // One stored lease of each kind is looked at per sweep.
    if (!list_isempty(&ctl->leases)) {
        auto *l = list_first_record<&ugwd_lease::link>(&ctl->leases);
        list_remove(&l->link);
        list_append(&ctl->leases, &l->link);
        if (!has_lease(l) || now - l->rec.start >= l->rec.lease_time) {
            log_lease(ULOG_TRACE, nullptr, l->rec, "timed out");
            ugwd_ctl_remove_lease(ctl, l);
        }
    }
    if (!list_isempty(&ctl->leases6)) {
        auto *l = list_first_record<&ugwd_lease6::link>(&ctl->leases6);
        list_remove(&l->link);
        list_append(&ctl->leases6, &l->link);
        if (!has_addr6(l) || now - l->rec.start >= l->rec.valid_lifetime) {
            log_lease6_end(ULOG_TRACE, l->rec, "timed out");
            ugwd_ctl_remove_lease6(ctl, l);
        }
    }
    return count;
}
