#include "gateway/ugwd_table.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <type_traits>
#include <cstring>
#include <unistd.h>

#include "common/log.h"

void ugwd_addr_key(uint8_t key[UGWD_ADDR_KEY_LEN], const sockaddr *sa)
{
    memset(key, 0, UGWD_ADDR_KEY_LEN);
    key[16] = static_cast<uint8_t>(sa->sa_family);
    uint16_t port;
    if (sa->sa_family == AF_INET) {
        const auto *sin = reinterpret_cast<const sockaddr_in *>(sa);
        memcpy(key, &sin->sin_addr, 4);
        port = sin->sin_port;
    } else if (sa->sa_family == AF_INET6) {
        const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        memcpy(key, &sin6->sin6_addr, 16);
        port = sin6->sin6_port;
    } else {
        return;
    }
    memcpy(key + 17, &port, 2); // already most significant byte first
}

namespace {

// Key compositions.
inline void uuid_mac_key(uint8_t *key, const uint8_t uuid[16], const uint8_t mac[6])
{
    memcpy(key, uuid, 16);
    memcpy(key + 16, mac, 6);
}

inline void addr_uuid_key(uint8_t *key, const sockaddr *sa, const uint8_t uuid[16])
{
    ugwd_addr_key(key, sa);
    memcpy(key + UGWD_ADDR_KEY_LEN, uuid, 16);
}

inline void addr_mac_key(uint8_t *key, const sockaddr *sa, const uint8_t mac[6])
{
    ugwd_addr_key(key, sa);
    memcpy(key + UGWD_ADDR_KEY_LEN, mac, 6);
}

// Extracting indexes get the record's start as their key position.
template <class R, void (*Compose)(uint8_t *, const R *)>
const void *extract(const void *pos, void *scratch, size_t, uint32_t)
{
    Compose(static_cast<uint8_t *>(scratch), static_cast<const R *>(pos));
    return scratch;
}

const void *extract_dev(const void *pos, void *, size_t, uint32_t)
{
    const auto *dev = static_cast<const ugwd_service_dev *>(pos);
    const ugwd_service *s = dev->service;
    return &s->ifindex[dev - s->dev];
}

template <class R> void compose_uuid_bssid(uint8_t *k, const R *r) { uuid_mac_key(k, r->uuid, r->bssid); }
template <class R> void compose_uuid_mac(uint8_t *k, const R *r) { uuid_mac_key(k, r->uuid, r->mac); }
template <class R> void compose_addr_uuid(uint8_t *k, const R *r) { addr_uuid_key(k, &r->peer.sa, r->uuid); }
template <class R> void compose_addr(uint8_t *k, const R *r) { ugwd_addr_key(k, &r->peer.sa); }
void compose_flow_addr_mac(uint8_t *k, const ugwd_flow *f) { addr_mac_key(k, &f->peer.sa, f->mac); }

template <class R> constexpr auto ex_uuid_bssid = extract<R, compose_uuid_bssid<R>>;
template <class R> constexpr auto ex_uuid_mac = extract<R, compose_uuid_mac<R>>;
template <class R> constexpr auto ex_addr_uuid = extract<R, compose_addr_uuid<R>>;
template <class R> constexpr auto ex_addr = extract<R, compose_addr<R>>;

hashtable_config config(hashtable_extract_fn ex)
{
    return hashtable_config{6, 29, 0, 0, 0, nullptr, nullptr, memcmp, ex, nullptr};
}

// A unique index of records R through their hash link; the key is a field, or
// the whole record handed to an extract callback.
template <class R, class K>
hashtable *hash_index(hashlink R::*link, K R::*key, size_t key_len, size_t within = 0)
{
    hashtable_config c = config(nullptr);
    return hashtable_create(static_cast<uint32_t>(key_len), 0,
                            static_cast<int32_t>(member_offset(key) + static_cast<std::ptrdiff_t>(within) -
                                                 member_offset(link)),
                            static_cast<int32_t>(member_offset(link)), true, false, &c);
}

template <class R>
hashtable *hash_index(hashlink R::*link, hashtable_extract_fn ex, size_t key_len)
{
    hashtable_config c = config(ex);
    return hashtable_create(static_cast<uint32_t>(key_len), 0,
                            static_cast<int32_t>(-member_offset(link)),
                            static_cast<int32_t>(member_offset(link)), true, false, &c);
}

template <class R, class K>
multitable *multi_index(cmultilink R::*link, K R::*key, size_t key_len, size_t within = 0)
{
    hashtable_config c = config(nullptr);
    return multitable_create(
        static_cast<uint32_t>(key_len),
        static_cast<int32_t>(member_offset(key) + static_cast<std::ptrdiff_t>(within) - member_offset(link)),
        true, false, &c, static_cast<int32_t>(member_offset(link)));
}

template <class R>
multitable *multi_index(cmultilink R::*link, hashtable_extract_fn ex, size_t key_len)
{
    hashtable_config c = config(ex);
    return multitable_create(static_cast<uint32_t>(key_len),
                             static_cast<int32_t>(-member_offset(link)), true, false, &c,
                             static_cast<int32_t>(member_offset(link)));
}

bool busy(const hashtable *h)
{
    return hashtable_islocked(h) || hashtable_clearing(h);
}

bool busy(const multitable *m)
{
    return busy(&m->table);
}

// Whether a unique index would take this link: -1 with errno set when not.
int can_insert(hashtable *h, hashlink *link)
{
    if (busy(h)) {
        errno = EBUSY;
        return -1;
    }
    if (hashlink_used(link) || hashtable_lookup(h, hashtable_key(h, link))) {
        errno = EEXIST;
        return -1;
    }
    return 0;
}

int can_insert(multitable *m, cmultilink *link)
{
    if (busy(m)) {
        errno = EBUSY;
        return -1;
    }
    if (cmultilink_used(link)) {
        errno = EEXIST;
        return -1;
    }
    return 0;
}

// Every precondition first, so that nothing needs undoing.
template <class... P> int check(P... results)
{
    int r = 0;
    ((r = r < 0 ? r : results), ...);
    return r;
}

void unhash(hashtable *h, hashlink *link)
{
    if (hashlink_used(link))
        hashtable_remove(h, link);
}

void unlink(multitable *m, cmultilink *link)
{
    if (cmultilink_used(link))
        cmultitable_remove(m, link);
}

template <class R> R *rec(hashlink *l, hashlink R::*member)
{
    return l ? hashtable_entry(l, member) : nullptr;
}

template <class R> R *rec(multilink *l, cmultilink R::*member)
{
    return multitable_entry(l, member);
}

uint32_t count_of(multilink *first)
{
    return cmultitable_count(reinterpret_cast<cmultilink *>(first));
}

bool bssid_set(const uint8_t bssid[6])
{
    static const uint8_t zero[6] = {};
    return memcmp(bssid, zero, 6) != 0;
}

template <class... L> void links_init(L *...links)
{
    (
        [](auto *l) {
            if constexpr (std::is_same_v<std::remove_pointer_t<decltype(l)>, hashlink>)
                hashlink_init(l);
            else
                cmultilink_init(l);
        }(links),
        ...);
}

// Every index once, in the table's order.
template <class F> void each_index(ugwd_table_indexes &x, F f)
{
    f(x.service_by_uuid); f(x.service_by_vni); f(x.service_dev);
    f(x.vap_by_uuid_bssid); f(x.vap_by_id); f(x.vap_by_uuid); f(x.vap_by_bssid);
    f(x.tunnel_by_addr_uuid); f(x.tunnel_by_id); f(x.tunnel_by_uuid); f(x.tunnel_by_addr);
    f(x.flow_by_id); f(x.flow_by_bssid_mac); f(x.flow_by_addr_mac); f(x.flow_by_bssid);
    f(x.flow_by_addr); f(x.flow_by_mac); f(x.flow_by_uuid); f(x.flow_by_uuid_bssid);
    f(x.flow_by_uuid_addr); f(x.flow_by_port); f(x.flow_by_process); f(x.flow_by_assoc);
    f(x.lease_by_uuid_mac); f(x.lease_by_uuid); f(x.lease_by_mac);
    f(x.lease6_by_ip6); f(x.lease6_by_uuid_mac); f(x.lease6_by_uuid); f(x.lease6_by_mac);
    f(x.group_by_ip_mac); f(x.group_by_ip); f(x.group_by_uuid_mac); f(x.group_by_uuid_bssid);
    f(x.group_by_uuid_addr); f(x.group_by_uuid);
    f(x.group6_by_ip6_mac); f(x.group6_by_ip6); f(x.group6_by_uuid_mac);
    f(x.group6_by_uuid_bssid); f(x.group6_by_uuid_addr); f(x.group6_by_uuid);
}

void destroy_index(hashtable *h) { hashtable_destroy(h); }
void destroy_index(multitable *m) { multitable_destroy(m); }

} // namespace

void ugwd_service_links_init(ugwd_service *s)
{
    links_init(&s->by_uuid, &s->by_vni);
    for (uint32_t i = 0; i < s->ndev; i++)
        cmultilink_init(&s->dev[i].link);
}

void ugwd_vap_links_init(ugwd_vap *v)
{
    links_init(&v->by_uuid_bssid, &v->by_id, &v->by_uuid, &v->by_bssid);
}

void ugwd_tunnel_links_init(ugwd_tunnel *t)
{
    links_init(&t->by_addr_uuid, &t->by_id, &t->by_uuid, &t->by_addr);
}

void ugwd_flow_links_init(ugwd_flow *f)
{
    links_init(&f->by_id, &f->by_bssid_mac, &f->by_assoc, &f->by_bssid, &f->by_mac, &f->by_uuid,
               &f->by_uuid_bssid, &f->by_port, &f->by_process);
}

void ugwd_lease_links_init(ugwd_lease *l)
{
    links_init(&l->by_uuid_mac, &l->by_uuid, &l->by_mac);
    list_init(&l->link);
}

void ugwd_lease6_links_init(ugwd_lease6 *l)
{
    links_init(&l->by_ip6, &l->by_uuid_mac, &l->by_uuid, &l->by_mac);
    list_init(&l->link);
}

void ugwd_group_links_init(ugwd_group *g)
{
    links_init(&g->by_ip_mac, &g->by_ip, &g->by_uuid_mac, &g->by_uuid_bssid, &g->by_uuid);
}

void ugwd_group6_links_init(ugwd_group6 *g)
{
    links_init(&g->by_ip6_mac, &g->by_ip6, &g->by_uuid_mac, &g->by_uuid_bssid, &g->by_uuid);
}

ugwd_table *ugwd_table_create()
{
    auto *t = static_cast<ugwd_table *>(calloc(1, sizeof(ugwd_table)));
    if (!t) {
        ulog(LOG_COMP_ALL, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    t->leases.fd = -1;
    t->leases6.fd = -1;
    ugwd_table_indexes &x = t->ix;
    x.service_by_uuid = hash_index(&ugwd_service::by_uuid, &ugwd_service::uuid, 16);
    x.service_by_vni = multi_index(&ugwd_service::by_vni, &ugwd_service::vni, 4);
    x.service_dev = multi_index(&ugwd_service_dev::link, extract_dev, 4);
    x.vap_by_uuid_bssid = hash_index(&ugwd_vap::by_uuid_bssid, ex_uuid_bssid<ugwd_vap>, UGWD_UUID_MAC_KEY_LEN);
    x.vap_by_id = hash_index(&ugwd_vap::by_id, &ugwd_vap::id, 12);
    x.vap_by_uuid = multi_index(&ugwd_vap::by_uuid, &ugwd_vap::uuid, 16);
    x.vap_by_bssid = multi_index(&ugwd_vap::by_bssid, &ugwd_vap::bssid, 6);
    x.tunnel_by_addr_uuid = hash_index(&ugwd_tunnel::by_addr_uuid, ex_addr_uuid<ugwd_tunnel>, UGWD_ADDR_UUID_KEY_LEN);
    x.tunnel_by_id = hash_index(&ugwd_tunnel::by_id, &ugwd_tunnel::id, 12);
    x.tunnel_by_uuid = multi_index(&ugwd_tunnel::by_uuid, &ugwd_tunnel::uuid, 16);
    x.tunnel_by_addr = multi_index(&ugwd_tunnel::by_addr, ex_addr<ugwd_tunnel>, UGWD_ADDR_KEY_LEN);
    x.flow_by_id = hash_index(&ugwd_flow::by_id, &ugwd_flow::id, 12);
    x.flow_by_bssid_mac = hash_index(&ugwd_flow::by_bssid_mac, &ugwd_flow::bssid, 12);
    x.flow_by_addr_mac = hash_index(&ugwd_flow::by_bssid_mac, extract<ugwd_flow, compose_flow_addr_mac>, UGWD_ADDR_MAC_KEY_LEN);
    x.flow_by_bssid = multi_index(&ugwd_flow::by_bssid, &ugwd_flow::bssid, 6);
    x.flow_by_addr = multi_index(&ugwd_flow::by_bssid, ex_addr<ugwd_flow>, UGWD_ADDR_KEY_LEN);
    x.flow_by_mac = multi_index(&ugwd_flow::by_mac, &ugwd_flow::mac, 6);
    x.flow_by_uuid = multi_index(&ugwd_flow::by_uuid, &ugwd_flow::uuid, 16);
    x.flow_by_uuid_bssid = multi_index(&ugwd_flow::by_uuid_bssid, ex_uuid_bssid<ugwd_flow>, UGWD_UUID_MAC_KEY_LEN);
    x.flow_by_uuid_addr = multi_index(&ugwd_flow::by_uuid_bssid, ex_addr_uuid<ugwd_flow>, UGWD_ADDR_UUID_KEY_LEN);
    x.flow_by_port = multi_index(&ugwd_flow::by_port, &ugwd_flow::port, 4);
    x.flow_by_process = multi_index(&ugwd_flow::by_process, &ugwd_flow::process, 4);
    x.flow_by_assoc = hash_index(&ugwd_flow::by_assoc, &ugwd_flow::mac, 6);
    // The record's UUID is followed directly by the MAC: one 22-byte key.
    x.lease_by_uuid_mac = multi_index(&ugwd_lease::by_uuid_mac, &ugwd_lease::rec, UGWD_UUID_MAC_KEY_LEN);
    x.lease_by_uuid = multi_index(&ugwd_lease::by_uuid, &ugwd_lease::rec, 16);
    x.lease_by_mac = multi_index(&ugwd_lease::by_mac, &ugwd_lease::rec, 6, offsetof(ugwd_lease_rec, mac));
    x.lease6_by_ip6 = hash_index(&ugwd_lease6::by_ip6, &ugwd_lease6::rec, 16, offsetof(ugwd_lease6_rec, addr));
    x.lease6_by_uuid_mac = multi_index(&ugwd_lease6::by_uuid_mac, &ugwd_lease6::rec, UGWD_UUID_MAC_KEY_LEN);
    x.lease6_by_uuid = multi_index(&ugwd_lease6::by_uuid, &ugwd_lease6::rec, 16);
    x.lease6_by_mac = multi_index(&ugwd_lease6::by_mac, &ugwd_lease6::rec, 6, offsetof(ugwd_lease6_rec, mac));
    x.group_by_ip_mac = hash_index(&ugwd_group::by_ip_mac, &ugwd_group::group, 10);
    x.group_by_ip = multi_index(&ugwd_group::by_ip, &ugwd_group::group, 4);
    x.group_by_uuid_mac = multi_index(&ugwd_group::by_uuid_mac, ex_uuid_mac<ugwd_group>, UGWD_UUID_MAC_KEY_LEN);
    x.group_by_uuid_bssid = multi_index(&ugwd_group::by_uuid_bssid, ex_uuid_bssid<ugwd_group>, UGWD_UUID_MAC_KEY_LEN);
    x.group_by_uuid_addr = multi_index(&ugwd_group::by_uuid_bssid, ex_addr_uuid<ugwd_group>, UGWD_ADDR_UUID_KEY_LEN);
    x.group_by_uuid = multi_index(&ugwd_group::by_uuid, &ugwd_group::uuid, 16);
    x.group6_by_ip6_mac = hash_index(&ugwd_group6::by_ip6_mac, &ugwd_group6::group, 22);
    x.group6_by_ip6 = multi_index(&ugwd_group6::by_ip6, &ugwd_group6::group, 16);
    x.group6_by_uuid_mac = multi_index(&ugwd_group6::by_uuid_mac, ex_uuid_mac<ugwd_group6>, UGWD_UUID_MAC_KEY_LEN);
    x.group6_by_uuid_bssid = multi_index(&ugwd_group6::by_uuid_bssid, ex_uuid_bssid<ugwd_group6>, UGWD_UUID_MAC_KEY_LEN);
    x.group6_by_uuid_addr = multi_index(&ugwd_group6::by_uuid_bssid, ex_addr_uuid<ugwd_group6>, UGWD_ADDR_UUID_KEY_LEN);
    x.group6_by_uuid = multi_index(&ugwd_group6::by_uuid, &ugwd_group6::uuid, 16);
    bool complete = true;
    each_index(x, [&](auto *index) { complete = complete && index; });
    if (!complete) {
        ugwd_table_destroy(t);
        return nullptr;
    }
    return t;
}

void ugwd_table_close_leases(ugwd_table *t)
{
    if (t->leases.fd >= 0)
        close(t->leases.fd);
    t->leases.fd = -1;
    free(t->leases.path);
    t->leases.path = nullptr;
    t->leases.records = 0;
}

void ugwd_table_close_leases6(ugwd_table *t)
{
    if (t->leases6.fd >= 0)
        close(t->leases6.fd);
    t->leases6.fd = -1;
    free(t->leases6.path);
    t->leases6.path = nullptr;
    t->leases6.records = 0;
}

void ugwd_table_destroy(ugwd_table *t)
{
    ugwd_table_close_leases(t);
    ugwd_table_close_leases6(t);
    each_index(t->ix, [](auto *index) { destroy_index(index); });
    free(t);
}

void ugwd_table_free(ugwd_table *t)
{
    if (t)
        ugwd_table_destroy(t);
}

// Services.

int ugwd_table_insert_service(ugwd_table *t, ugwd_service *s)
{
    ugwd_table_indexes &x = t->ix;
    int r = check(can_insert(x.service_by_uuid, &s->by_uuid), can_insert(x.service_by_vni, &s->by_vni));
    for (uint32_t i = 0; r == 0 && i < s->ndev; i++)
        r = can_insert(x.service_dev, &s->dev[i].link);
    if (r < 0)
        return -1;
    hashtable_insert(x.service_by_uuid, &s->by_uuid);
    cmultitable_insert(x.service_by_vni, &s->by_vni);
    for (uint32_t i = 0; i < s->ndev; i++)
        cmultitable_insert(x.service_dev, &s->dev[i].link);
    return 0;
}

void ugwd_table_remove_service(ugwd_table *t, ugwd_service *s)
{
    unhash(t->ix.service_by_uuid, &s->by_uuid);
    unlink(t->ix.service_by_vni, &s->by_vni);
    for (uint32_t i = 0; i < s->ndev; i++)
        unlink(t->ix.service_dev, &s->dev[i].link);
}

// VAPs.

int ugwd_table_insert_vap(ugwd_table *t, ugwd_vap *v)
{
    ugwd_table_indexes &x = t->ix;
    if (check(can_insert(x.vap_by_uuid_bssid, &v->by_uuid_bssid), can_insert(x.vap_by_id, &v->by_id),
              can_insert(x.vap_by_uuid, &v->by_uuid), can_insert(x.vap_by_bssid, &v->by_bssid)) < 0)
        return -1;
    hashtable_insert(x.vap_by_uuid_bssid, &v->by_uuid_bssid);
    hashtable_insert(x.vap_by_id, &v->by_id);
    cmultitable_insert(x.vap_by_uuid, &v->by_uuid);
    cmultitable_insert(x.vap_by_bssid, &v->by_bssid);
    return 0;
}

void ugwd_table_remove_vap(ugwd_table *t, ugwd_vap *v)
{
    unhash(t->ix.vap_by_uuid_bssid, &v->by_uuid_bssid);
    unhash(t->ix.vap_by_id, &v->by_id);
    unlink(t->ix.vap_by_uuid, &v->by_uuid);
    unlink(t->ix.vap_by_bssid, &v->by_bssid);
}

// Tunnels.

int ugwd_table_insert_tunnel(ugwd_table *t, ugwd_tunnel *tn)
{
    ugwd_table_indexes &x = t->ix;
    if (check(can_insert(x.tunnel_by_addr_uuid, &tn->by_addr_uuid), can_insert(x.tunnel_by_id, &tn->by_id),
              can_insert(x.tunnel_by_uuid, &tn->by_uuid), can_insert(x.tunnel_by_addr, &tn->by_addr)) < 0)
        return -1;
    hashtable_insert(x.tunnel_by_addr_uuid, &tn->by_addr_uuid);
    hashtable_insert(x.tunnel_by_id, &tn->by_id);
    cmultitable_insert(x.tunnel_by_uuid, &tn->by_uuid);
    cmultitable_insert(x.tunnel_by_addr, &tn->by_addr);
    return 0;
}

void ugwd_table_remove_tunnel(ugwd_table *t, ugwd_tunnel *tn)
{
    unhash(t->ix.tunnel_by_addr_uuid, &tn->by_addr_uuid);
    unhash(t->ix.tunnel_by_id, &tn->by_id);
    unlink(t->ix.tunnel_by_uuid, &tn->by_uuid);
    unlink(t->ix.tunnel_by_addr, &tn->by_addr);
}

// Flows. An 802.11 flow and an Ethernet flow share their link fields between
// two indexes each; the VAP pointer, fixed for the flow's life, picks one.

int ugwd_table_insert_flow(ugwd_table *t, ugwd_flow *f)
{
    ugwd_table_indexes &x = t->ix;
    bool wifi = f->vap != nullptr;
    hashtable *bm = wifi ? x.flow_by_bssid_mac : x.flow_by_addr_mac;
    multitable *b = wifi ? x.flow_by_bssid : x.flow_by_addr;
    multitable *ub = wifi ? x.flow_by_uuid_bssid : x.flow_by_uuid_addr;
    if (check(can_insert(x.flow_by_id, &f->by_id), can_insert(bm, &f->by_bssid_mac),
              can_insert(x.flow_by_mac, &f->by_mac), can_insert(x.flow_by_uuid, &f->by_uuid),
              can_insert(b, &f->by_bssid), can_insert(ub, &f->by_uuid_bssid),
              f->port ? can_insert(x.flow_by_port, &f->by_port) : 0,
              f->process ? can_insert(x.flow_by_process, &f->by_process) : 0) < 0)
        return -1;
    hashtable_insert(x.flow_by_id, &f->by_id);
    cmultitable_insert(x.flow_by_mac, &f->by_mac);
    cmultitable_insert(x.flow_by_uuid, &f->by_uuid);
    hashtable_insert(bm, &f->by_bssid_mac);
    cmultitable_insert(b, &f->by_bssid);
    cmultitable_insert(ub, &f->by_uuid_bssid);
    if (f->port)
        cmultitable_insert(x.flow_by_port, &f->by_port);
    if (f->process)
        cmultitable_insert(x.flow_by_process, &f->by_process);
    return 0;
}

void ugwd_table_remove_flow(ugwd_table *t, ugwd_flow *f)
{
    ugwd_table_indexes &x = t->ix;
    bool wifi = f->vap != nullptr;
    unhash(x.flow_by_id, &f->by_id);
    unlink(x.flow_by_mac, &f->by_mac);
    unlink(x.flow_by_uuid, &f->by_uuid);
    unhash(wifi ? x.flow_by_bssid_mac : x.flow_by_addr_mac, &f->by_bssid_mac);
    unlink(wifi ? x.flow_by_bssid : x.flow_by_addr, &f->by_bssid);
    unlink(wifi ? x.flow_by_uuid_bssid : x.flow_by_uuid_addr, &f->by_uuid_bssid);
    // The links say where the flow is, whatever its numbers are now.
    unlink(x.flow_by_port, &f->by_port);
    unlink(x.flow_by_process, &f->by_process);
}

// The older associated flow of the MAC leaves the index and is returned for
// the caller to disassociate.
ugwd_flow *ugwd_table_insert_flow_assoc(ugwd_table *t, ugwd_flow *f)
{
    if (hashlink_used(&f->by_assoc))
        return nullptr;
    if (busy(t->ix.flow_by_assoc)) {
        errno = EBUSY;
        return nullptr;
    }
    return rec(hashtable_insert(t->ix.flow_by_assoc, &f->by_assoc), &ugwd_flow::by_assoc);
}

void ugwd_table_remove_flow_assoc(ugwd_table *t, ugwd_flow *f)
{
    unhash(t->ix.flow_by_assoc, &f->by_assoc);
}

// Leases: appended, so that the records of a key keep their arrival order.

int ugwd_table_insert_lease(ugwd_table *t, ugwd_lease *l)
{
    ugwd_table_indexes &x = t->ix;
    if (check(can_insert(x.lease_by_uuid_mac, &l->by_uuid_mac), can_insert(x.lease_by_uuid, &l->by_uuid),
              can_insert(x.lease_by_mac, &l->by_mac)) < 0)
        return -1;
    cmultitable_append(x.lease_by_uuid_mac, &l->by_uuid_mac);
    cmultitable_append(x.lease_by_uuid, &l->by_uuid);
    cmultitable_append(x.lease_by_mac, &l->by_mac);
    return 0;
}

void ugwd_table_remove_lease(ugwd_table *t, ugwd_lease *l)
{
    unlink(t->ix.lease_by_uuid_mac, &l->by_uuid_mac);
    unlink(t->ix.lease_by_uuid, &l->by_uuid);
    unlink(t->ix.lease_by_mac, &l->by_mac);
}

int ugwd_table_insert_lease6(ugwd_table *t, ugwd_lease6 *l)
{
    ugwd_table_indexes &x = t->ix;
    if (check(can_insert(x.lease6_by_ip6, &l->by_ip6), can_insert(x.lease6_by_uuid_mac, &l->by_uuid_mac),
              can_insert(x.lease6_by_uuid, &l->by_uuid), can_insert(x.lease6_by_mac, &l->by_mac)) < 0)
        return -1;
    hashtable_insert(x.lease6_by_ip6, &l->by_ip6);
    cmultitable_append(x.lease6_by_uuid_mac, &l->by_uuid_mac);
    cmultitable_append(x.lease6_by_uuid, &l->by_uuid);
    cmultitable_append(x.lease6_by_mac, &l->by_mac);
    return 0;
}

void ugwd_table_remove_lease6(ugwd_table *t, ugwd_lease6 *l)
{
    unhash(t->ix.lease6_by_ip6, &l->by_ip6);
    unlink(t->ix.lease6_by_uuid_mac, &l->by_uuid_mac);
    unlink(t->ix.lease6_by_uuid, &l->by_uuid);
    unlink(t->ix.lease6_by_mac, &l->by_mac);
}

// Memberships: a zero BSSID marks one of an Ethernet flow.

namespace {

template <class G>
int insert_membership(hashtable *ip_mac, multitable *ip, multitable *uuid, multitable *uuid_mac,
                      multitable *uuid_bssid, multitable *uuid_addr, G *g, hashlink G::*hl,
                      cmultilink G::*ipl)
{
    multitable *ub = bssid_set(g->bssid) ? uuid_bssid : uuid_addr;
    if (check(can_insert(ip_mac, &(g->*hl)), can_insert(ip, &(g->*ipl)), can_insert(uuid, &g->by_uuid),
              can_insert(uuid_mac, &g->by_uuid_mac), can_insert(ub, &g->by_uuid_bssid)) < 0)
        return -1;
    hashtable_insert(ip_mac, &(g->*hl));
    cmultitable_insert(ip, &(g->*ipl));
    cmultitable_insert(uuid, &g->by_uuid);
    cmultitable_insert(uuid_mac, &g->by_uuid_mac);
    cmultitable_insert(ub, &g->by_uuid_bssid);
    return 0;
}

template <class G>
void remove_membership(hashtable *ip_mac, multitable *ip, multitable *uuid, multitable *uuid_mac,
                       multitable *uuid_bssid, multitable *uuid_addr, G *g, hashlink G::*hl,
                       cmultilink G::*ipl)
{
    unhash(ip_mac, &(g->*hl));
    unlink(ip, &(g->*ipl));
    unlink(uuid, &g->by_uuid);
    unlink(uuid_mac, &g->by_uuid_mac);
    unlink(bssid_set(g->bssid) ? uuid_bssid : uuid_addr, &g->by_uuid_bssid);
}

} // namespace

int ugwd_table_insert_group(ugwd_table *t, ugwd_group *g)
{
    ugwd_table_indexes &x = t->ix;
    return insert_membership(x.group_by_ip_mac, x.group_by_ip, x.group_by_uuid, x.group_by_uuid_mac,
                             x.group_by_uuid_bssid, x.group_by_uuid_addr, g, &ugwd_group::by_ip_mac,
                             &ugwd_group::by_ip);
}

void ugwd_table_remove_group(ugwd_table *t, ugwd_group *g)
{
    ugwd_table_indexes &x = t->ix;
    remove_membership(x.group_by_ip_mac, x.group_by_ip, x.group_by_uuid, x.group_by_uuid_mac,
                      x.group_by_uuid_bssid, x.group_by_uuid_addr, g, &ugwd_group::by_ip_mac,
                      &ugwd_group::by_ip);
}

int ugwd_table_insert_group6(ugwd_table *t, ugwd_group6 *g)
{
    ugwd_table_indexes &x = t->ix;
    return insert_membership(x.group6_by_ip6_mac, x.group6_by_ip6, x.group6_by_uuid, x.group6_by_uuid_mac,
                             x.group6_by_uuid_bssid, x.group6_by_uuid_addr, g,
                             &ugwd_group6::by_ip6_mac, &ugwd_group6::by_ip6);
}

void ugwd_table_remove_group6(ugwd_table *t, ugwd_group6 *g)
{
    ugwd_table_indexes &x = t->ix;
    remove_membership(x.group6_by_ip6_mac, x.group6_by_ip6, x.group6_by_uuid, x.group6_by_uuid_mac,
                      x.group6_by_uuid_bssid, x.group6_by_uuid_addr, g, &ugwd_group6::by_ip6_mac,
                      &ugwd_group6::by_ip6);
}

// Lookups.

namespace {

struct uuid_mac {
    uint8_t k[UGWD_UUID_MAC_KEY_LEN];
    uuid_mac(const uint8_t uuid[16], const uint8_t mac[6]) { uuid_mac_key(k, uuid, mac); }
};

struct addr_k {
    uint8_t k[UGWD_ADDR_KEY_LEN];
    explicit addr_k(const sockaddr *sa) { ugwd_addr_key(k, sa); }
};

struct addr_uuid {
    uint8_t k[UGWD_ADDR_UUID_KEY_LEN];
    addr_uuid(const sockaddr *sa, const uint8_t uuid[16]) { addr_uuid_key(k, sa, uuid); }
};

template <class R> R *get(hashtable *h, const void *key, hashlink R::*m)
{
    return rec(hashtable_lookup(h, key), m);
}

template <class R> R *get(multitable *mt, const void *key, cmultilink R::*m)
{
    return rec(multitable_lookup(mt, key), m);
}

uint32_t count_key(multitable *mt, const void *key)
{
    return count_of(multitable_lookup(mt, key));
}

} // namespace

ugwd_service *ugwd_table_get_service(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.service_by_uuid, uuid, &ugwd_service::by_uuid);
}

ugwd_service *ugwd_table_get_service_by_vni(ugwd_table *t, uint32_t vni)
{
    return get(t->ix.service_by_vni, &vni, &ugwd_service::by_vni);
}

ugwd_service_dev *ugwd_table_get_service_dev(ugwd_table *t, uint32_t ifindex)
{
    return get(t->ix.service_dev, &ifindex, &ugwd_service_dev::link);
}

uint32_t ugwd_table_count_services(const ugwd_table *t)
{
    return hashtable_count(t->ix.service_by_uuid);
}

ugwd_vap *ugwd_table_get_vap_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6])
{
    return get(t->ix.vap_by_uuid_bssid, uuid_mac(uuid, bssid).k, &ugwd_vap::by_uuid_bssid);
}

ugwd_vap *ugwd_table_get_vap_by_id(ugwd_table *t, const flow_id *id)
{
    return get(t->ix.vap_by_id, id, &ugwd_vap::by_id);
}

ugwd_vap *ugwd_table_first_vap_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.vap_by_uuid, uuid, &ugwd_vap::by_uuid);
}

uint32_t ugwd_table_count_vaps(const ugwd_table *t)
{
    return hashtable_count(t->ix.vap_by_uuid_bssid);
}

uint32_t ugwd_table_count_vaps_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.vap_by_uuid, uuid);
}

ugwd_tunnel *ugwd_table_get_tunnel_by_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa)
{
    return get(t->ix.tunnel_by_addr_uuid, addr_uuid(sa, uuid).k, &ugwd_tunnel::by_addr_uuid);
}

ugwd_tunnel *ugwd_table_get_tunnel_by_id(ugwd_table *t, const flow_id *id)
{
    return get(t->ix.tunnel_by_id, id, &ugwd_tunnel::by_id);
}

ugwd_tunnel *ugwd_table_first_tunnel_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.tunnel_by_uuid, uuid, &ugwd_tunnel::by_uuid);
}

uint32_t ugwd_table_count_tunnels(const ugwd_table *t)
{
    return multitable_count(t->ix.tunnel_by_addr);
}

uint32_t ugwd_table_count_tunnels_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.tunnel_by_uuid, uuid);
}

ugwd_flow *ugwd_table_get_flow_by_id(ugwd_table *t, const flow_id *id)
{
    return get(t->ix.flow_by_id, id, &ugwd_flow::by_id);
}

ugwd_flow *ugwd_table_get_flow_by_bssid_mac(ugwd_table *t, const uint8_t bssid[6], const uint8_t mac[6])
{
    uint8_t k[12];
    memcpy(k, bssid, 6);
    memcpy(k + 6, mac, 6);
    return get(t->ix.flow_by_bssid_mac, k, &ugwd_flow::by_bssid_mac);
}

ugwd_flow *ugwd_table_get_flow_by_addr_mac(ugwd_table *t, const sockaddr *sa, const uint8_t mac[6])
{
    uint8_t k[UGWD_ADDR_MAC_KEY_LEN];
    addr_mac_key(k, sa, mac);
    return get(t->ix.flow_by_addr_mac, k, &ugwd_flow::by_bssid_mac);
}

ugwd_flow *ugwd_table_first_flow_by_bssid(ugwd_table *t, const uint8_t bssid[6])
{
    return get(t->ix.flow_by_bssid, bssid, &ugwd_flow::by_bssid);
}

ugwd_flow *ugwd_table_first_flow_by_addr(ugwd_table *t, const sockaddr *sa)
{
    return get(t->ix.flow_by_addr, addr_k(sa).k, &ugwd_flow::by_bssid);
}

ugwd_flow *ugwd_table_first_flow_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return get(t->ix.flow_by_mac, mac, &ugwd_flow::by_mac);
}

ugwd_flow *ugwd_table_first_flow_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.flow_by_uuid, uuid, &ugwd_flow::by_uuid);
}

ugwd_flow *ugwd_table_first_flow_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6])
{
    return get(t->ix.flow_by_uuid_bssid, uuid_mac(uuid, bssid).k, &ugwd_flow::by_uuid_bssid);
}

ugwd_flow *ugwd_table_first_flow_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa)
{
    return get(t->ix.flow_by_uuid_addr, addr_uuid(sa, uuid).k, &ugwd_flow::by_uuid_bssid);
}

ugwd_flow *ugwd_table_first_flow_by_port(ugwd_table *t, uint32_t port)
{
    return get(t->ix.flow_by_port, &port, &ugwd_flow::by_port);
}

ugwd_flow *ugwd_table_get_assoc_flow(ugwd_table *t, const uint8_t mac[6])
{
    return get(t->ix.flow_by_assoc, mac, &ugwd_flow::by_assoc);
}

uint32_t ugwd_table_count_flows(const ugwd_table *t)
{
    return hashtable_count(t->ix.flow_by_id);
}

uint32_t ugwd_table_count_flows_by_bssid(ugwd_table *t, const uint8_t bssid[6])
{
    return count_key(t->ix.flow_by_bssid, bssid);
}

uint32_t ugwd_table_count_flows_by_addr(ugwd_table *t, const sockaddr *sa)
{
    return count_key(t->ix.flow_by_addr, addr_k(sa).k);
}

uint32_t ugwd_table_count_flows_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return count_key(t->ix.flow_by_mac, mac);
}

uint32_t ugwd_table_count_flows_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.flow_by_uuid, uuid);
}

uint32_t ugwd_table_count_flows_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6])
{
    return count_key(t->ix.flow_by_uuid_bssid, uuid_mac(uuid, bssid).k);
}

uint32_t ugwd_table_count_flows_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa)
{
    return count_key(t->ix.flow_by_uuid_addr, addr_uuid(sa, uuid).k);
}

ugwd_lease *ugwd_table_get_lease(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6])
{
    return get(t->ix.lease_by_uuid_mac, uuid_mac(uuid, mac).k, &ugwd_lease::by_uuid_mac);
}

ugwd_lease *ugwd_table_first_lease_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.lease_by_uuid, uuid, &ugwd_lease::by_uuid);
}

ugwd_lease *ugwd_table_first_lease_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return get(t->ix.lease_by_mac, mac, &ugwd_lease::by_mac);
}

uint32_t ugwd_table_count_leases(const ugwd_table *t)
{
    return multitable_count(t->ix.lease_by_uuid);
}

uint32_t ugwd_table_count_leases_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.lease_by_uuid, uuid);
}

uint32_t ugwd_table_count_leases_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return count_key(t->ix.lease_by_mac, mac);
}

ugwd_lease6 *ugwd_table_get_lease6_by_ip6(ugwd_table *t, const uint8_t addr[16])
{
    return get(t->ix.lease6_by_ip6, addr, &ugwd_lease6::by_ip6);
}

ugwd_lease6 *ugwd_table_get_lease6(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6])
{
    return get(t->ix.lease6_by_uuid_mac, uuid_mac(uuid, mac).k, &ugwd_lease6::by_uuid_mac);
}

ugwd_lease6 *ugwd_table_first_lease6_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.lease6_by_uuid, uuid, &ugwd_lease6::by_uuid);
}

ugwd_lease6 *ugwd_table_first_lease6_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return get(t->ix.lease6_by_mac, mac, &ugwd_lease6::by_mac);
}

uint32_t ugwd_table_count_leases6(const ugwd_table *t)
{
    return hashtable_count(t->ix.lease6_by_ip6);
}

uint32_t ugwd_table_count_leases6_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6])
{
    return count_key(t->ix.lease6_by_uuid_mac, uuid_mac(uuid, mac).k);
}

uint32_t ugwd_table_count_leases6_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.lease6_by_uuid, uuid);
}

uint32_t ugwd_table_count_leases6_by_mac(ugwd_table *t, const uint8_t mac[6])
{
    return count_key(t->ix.lease6_by_mac, mac);
}

ugwd_group *ugwd_table_get_group_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6])
{
    return get(t->ix.group_by_uuid_mac, uuid_mac(uuid, mac).k, &ugwd_group::by_uuid_mac);
}

ugwd_group *ugwd_table_get_group_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6])
{
    return get(t->ix.group_by_uuid_bssid, uuid_mac(uuid, bssid).k, &ugwd_group::by_uuid_bssid);
}

ugwd_group *ugwd_table_get_group_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa)
{
    return get(t->ix.group_by_uuid_addr, addr_uuid(sa, uuid).k, &ugwd_group::by_uuid_bssid);
}

ugwd_group *ugwd_table_first_group_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.group_by_uuid, uuid, &ugwd_group::by_uuid);
}

uint32_t ugwd_table_count_groups(const ugwd_table *t)
{
    return hashtable_count(t->ix.group_by_ip_mac);
}

uint32_t ugwd_table_count_groups_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.group_by_uuid, uuid);
}

ugwd_group6 *ugwd_table_get_group6_by_uuid_mac(ugwd_table *t, const uint8_t uuid[16], const uint8_t mac[6])
{
    return get(t->ix.group6_by_uuid_mac, uuid_mac(uuid, mac).k, &ugwd_group6::by_uuid_mac);
}

ugwd_group6 *ugwd_table_get_group6_by_uuid_bssid(ugwd_table *t, const uint8_t uuid[16], const uint8_t bssid[6])
{
    return get(t->ix.group6_by_uuid_bssid, uuid_mac(uuid, bssid).k, &ugwd_group6::by_uuid_bssid);
}

ugwd_group6 *ugwd_table_get_group6_by_uuid_addr(ugwd_table *t, const uint8_t uuid[16], const sockaddr *sa)
{
    return get(t->ix.group6_by_uuid_addr, addr_uuid(sa, uuid).k, &ugwd_group6::by_uuid_bssid);
}

ugwd_group6 *ugwd_table_first_group6_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return get(t->ix.group6_by_uuid, uuid, &ugwd_group6::by_uuid);
}

uint32_t ugwd_table_count_groups6(const ugwd_table *t)
{
    return hashtable_count(t->ix.group6_by_ip6_mac);
}

uint32_t ugwd_table_count_groups6_by_uuid(ugwd_table *t, const uint8_t uuid[16])
{
    return count_key(t->ix.group6_by_uuid, uuid);
}
