// The management commands of snooped state: the address leases and the
// multicast memberships, listed from the gateway tables, and the rewriting
// of the lease files.
//
// A lease list reserves room for every record it chooses, then drops the
// stale ones in place; the reply carries the survivors only, and nothing of a
// dropped record stays behind them in the buffer.
#include <cerrno>
#include <cstring>

#include "common/timer.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_table.h"

namespace
{

enum : size_t {
    REQ_UUID = 8,
    REQ_MAC = 24,
    LIST_ROWS = 12,
};

bool is_zero(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// The records of one key of a counted multitable, first to last.
template <class T, class F> void walk_key(T *first, cmultilink T::*member, F &&f)
{
    if (!first) return;
    const multilink *head = &(first->*member).ml;
    for (const multilink *m = head; m; m = multitable_key_next(head, m))
        f(multitable_entry(m, member));
}

// Every record of a counted multitable, key by key.
template <class T, class F> void walk_all(multitable *mt, cmultilink T::*member, F &&f)
{
    for (multilink *m = multitable_first(mt); m; m = multitable_next(mt, m))
        f(multitable_entry(m, member));
}

struct dhcp4 {
    using lease_t = ugwd_lease;
    static constexpr uint32_t reply = CTL_LEASES;
    static multitable *by_uuid(ugwd_table *t) { return t->ix.lease_by_uuid; }
    static ugwd_lease *first_by_uuid(ugwd_table *t, const uint8_t *u)
    {
        return ugwd_table_first_lease_by_uuid(t, u);
    }
    static ugwd_lease *first_by_mac(ugwd_table *t, const uint8_t *m)
    {
        return ugwd_table_first_lease_by_mac(t, m);
    }
    static uint32_t count_by_uuid(ugwd_table *t, const uint8_t *u)
    {
        return ugwd_table_count_leases_by_uuid(t, u);
    }
    static uint32_t count_by_mac(ugwd_table *t, const uint8_t *m)
    {
        return ugwd_table_count_leases_by_mac(t, m);
    }
    // Both keys: the one lease of the station on the service.
    static uint32_t count_pair(ugwd_table *t, const uint8_t *u, const uint8_t *m)
    {
        return ugwd_table_get_lease(t, u, m) ? 1 : 0;
    }
    template <class F> static void walk_pair(ugwd_table *t, const uint8_t *u, const uint8_t *m, F &&f)
    {
        if (ugwd_lease *l = ugwd_table_get_lease(t, u, m)) f(l);
    }
    static bool stale(const ugwd_lease_rec &r, uint32_t now)
    {
        uint32_t lease_time;
        memcpy(&lease_time, &r.lease_time, 4);
        return is_zero(r.addr, 4) || now - r.start >= lease_time;
    }
};

struct dhcp6 {
    using lease_t = ugwd_lease6;
    static constexpr uint32_t reply = CTL_LEASES6;
    static multitable *by_uuid(ugwd_table *t) { return t->ix.lease6_by_uuid; }
    static ugwd_lease6 *first_by_uuid(ugwd_table *t, const uint8_t *u)
    {
        return ugwd_table_first_lease6_by_uuid(t, u);
    }
    static ugwd_lease6 *first_by_mac(ugwd_table *t, const uint8_t *m)
    {
        return ugwd_table_first_lease6_by_mac(t, m);
    }
    static uint32_t count_by_uuid(ugwd_table *t, const uint8_t *u)
    {
        return ugwd_table_count_leases6_by_uuid(t, u);
    }
    static uint32_t count_by_mac(ugwd_table *t, const uint8_t *m)
    {
        return ugwd_table_count_leases6_by_mac(t, m);
    }
    // A station holds several IPv6 addresses on a service: all of them.
    static uint32_t count_pair(ugwd_table *t, const uint8_t *u, const uint8_t *m)
    {
        return ugwd_table_count_leases6_by_uuid_mac(t, u, m);
    }
    template <class F> static void walk_pair(ugwd_table *t, const uint8_t *u, const uint8_t *m, F &&f)
    {
        walk_key(ugwd_table_get_lease6(t, u, m), &ugwd_lease6::by_uuid_mac, f);
    }
    static bool stale(const ugwd_lease6_rec &r, uint32_t now)
    {
        if (is_zero(r.addr, 16)) return true;
        return r.kind != UGWD_LEASE6_LINK_LOCAL && now - r.start >= r.valid_lifetime;
    }
};

template <class K> int dump_leases(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    using lease_t = typename K::lease_t;
    using rec_t = decltype(lease_t::rec);
    uint8_t uuid[16], mac[6];
    memcpy(uuid, msg + REQ_UUID, 16);
    memcpy(mac, msg + REQ_MAC, 6);
    bool by_uuid = !is_zero(uuid, 16), by_mac = !is_zero(mac, 6);
    ugwd_table *t = ctl->table;

    uint32_t chosen = by_uuid && by_mac ? K::count_pair(t, uuid, mac)
                      : by_uuid         ? K::count_by_uuid(t, uuid)
                      : by_mac          ? K::count_by_mac(t, mac)
                                        : multitable_count(K::by_uuid(t));
    size_t need = LIST_ROWS + size_t{chosen} * sizeof(rec_t);
    if (need > size) return static_cast<int>(need);

    ugwd_ctl_msg_init(msg, K::reply);
    uint32_t n = 0;
    auto copy = [&](const lease_t *l) {
        if (n < chosen) memcpy(msg + LIST_ROWS + size_t{n++} * sizeof(rec_t), &l->rec, sizeof(rec_t));
    };
    if (by_uuid && by_mac)
        K::walk_pair(t, uuid, mac, copy);
    else if (by_uuid)
        walk_key(K::first_by_uuid(t, uuid), &lease_t::by_uuid, copy);
    else if (by_mac)
        walk_key(K::first_by_mac(t, mac), &lease_t::by_mac, copy);
    else
        walk_all(K::by_uuid(t), &lease_t::by_uuid, copy);

    // Stale records go, the last one taking each one's place.
    uint32_t now = clock_sec();
    for (uint32_t i = 0; i < n;) {
        uint8_t *slot = msg + LIST_ROWS + size_t{i} * sizeof(rec_t);
        rec_t r;
        memcpy(&r, slot, sizeof(r));
        if (!K::stale(r, now)) {
            i++;
            continue;
        }
        n--;
        if (i != n) memcpy(slot, msg + LIST_ROWS + size_t{n} * sizeof(rec_t), sizeof(rec_t));
    }
    // Dropped records hold client addresses and host names: none stays behind.
    size_t len = LIST_ROWS + size_t{n} * sizeof(rec_t);
    memset(msg + len, 0, need - len);
    ctl_put32(msg, offsetof(ctl_list, num_mibs), n);
    return static_cast<int>(len);
}

template <class G> int dump_groups(ugwd_ctl *ctl, uint8_t *msg, size_t size, uint32_t type,
                                   size_t record, list_link ugwd_flow::*flow_list,
                                   multitable *all, G *(*first_by_uuid)(ugwd_table *, const uint8_t *),
                                   uint32_t (*count_by_uuid)(ugwd_table *, const uint8_t *))
{
    uint8_t uuid[16], mac[6];
    memcpy(uuid, msg + REQ_UUID, 16);
    memcpy(mac, msg + REQ_MAC, 6);
    bool by_uuid = !is_zero(uuid, 16);
    ugwd_table *t = ctl->table;

    uint32_t n = 0;
    ugwd_flow *f = nullptr;
    if (!is_zero(mac, 6)) {
        f = ugwd_table_get_assoc_flow(t, mac);
        if (f && by_uuid && memcmp(f->uuid, uuid, 16)) f = nullptr;
        if (f)
            for (list_link *l = list_next(&(f->*flow_list)); l != &(f->*flow_list); l = list_next(l))
                n++;
    } else {
        n = by_uuid ? count_by_uuid(t, uuid) : multitable_count(all);
    }
    size_t need = LIST_ROWS + size_t{n} * record;
    if (need > size) return static_cast<int>(need);

    ugwd_ctl_msg_init(msg, type);
    uint32_t i = 0;
    auto copy = [&](const G *g) {
        if (i < n) memcpy(msg + LIST_ROWS + size_t{i++} * record, g, record);
    };
    if (f) {
        for (G *g : list_records<&G::link>(&(f->*flow_list)))
            copy(g);
    } else if (is_zero(mac, 6)) {
        if (by_uuid)
            walk_key(first_by_uuid(t, uuid), &G::by_uuid, copy);
        else
            walk_all(all, &G::by_uuid, copy);
    }
    ctl_put32(msg, offsetof(ctl_list, num_mibs), i);
    return static_cast<int>(LIST_ROWS + size_t{i} * record);
}

} // namespace

int ugwd_ctl_cmd_dump_leases(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_leases<dhcp4>(ctl, msg, size);
}

int ugwd_ctl_cmd_dump_leases6(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_leases<dhcp6>(ctl, msg, size);
}

int ugwd_ctl_cmd_write_leases(ugwd_ctl *ctl, uint8_t *, size_t)
{
    return ugwd_table_dump_leases(ctl->table);
}

int ugwd_ctl_cmd_write_leases6(ugwd_ctl *ctl, uint8_t *, size_t)
{
    return ugwd_table_dump_leases6(ctl->table);
}

int ugwd_ctl_cmd_dump_groups(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_groups<ugwd_group>(ctl, msg, size, CTL_GROUPS, UGWD_GROUP_RECORD, &ugwd_flow::groups,
                                   ctl->table->ix.group_by_uuid, ugwd_table_first_group_by_uuid,
                                   ugwd_table_count_groups_by_uuid);
}

int ugwd_ctl_cmd_dump_groups6(ugwd_ctl *ctl, uint8_t *msg, size_t size)
{
    return dump_groups<ugwd_group6>(ctl, msg, size, CTL_GROUPS6, UGWD_GROUP6_RECORD,
                                    &ugwd_flow::groups6, ctl->table->ix.group6_by_uuid,
                                    ugwd_table_first_group6_by_uuid,
                                    ugwd_table_count_groups6_by_uuid);
}
