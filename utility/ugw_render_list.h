// The list tables of the text form, the abbreviated lines of `-s`, the JSON
// list documents that the record renderers do not make alone, and the memory
// statistics of the object pools.
//
// A list is printed row by row straight from the reply's rows: nothing is
// gathered first, so a reply of 10^5 flows costs no second copy of itself.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/mempool.h"
#include "utility/ugw_json.h"
#include "utility/ugw_slots.h"

// One list line of a pool into the caller's buffer, or the header line when
// no record is given; returns the buffer.
char *render_text_mempool_row(const mempool_info *pool, char *line, size_t size);
// One list line of an allocation site of the pool, or the header line.
char *render_text_alloc_row(const mempool_info *pool, const mempool_site *site, char *line,
                            size_t size);
// The show block of one pool.
void render_text_mempool(FILE *out, const mempool_info *pool);
void render_json_mempool(json_writer *json, const mempool_info *pool);
void render_json_alloc_row(json_writer *json, const mempool_site *site);

// Figures of the pool lines, in 64 bits: the used share rounded half up, and
// the bytes of the live objects of a site.
uint64_t ugw_pool_load(uint64_t used, uint64_t total);
uint64_t ugw_site_bytes(const mempool_info *pool, const mempool_site *site);

// An 802.1X AKM (00-0F-AC:1, 3, 5 and 00-50-F2:1): the services list's
// "eap" and the 802.1X records of a service show.
bool ugw_akm_8021x(uint32_t suite);

// Slots 38 to 40 in the three forms.
int ugw_text_pools(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_pool(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_allocs(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_pools(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_pool(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_allocs(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_pools(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_pool(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_allocs(const ugw_render_args *a, const ugw_renderer_row *row);

// The list tables, abbreviated lines and JSON documents of the gateway's
// objects (ugw_render_list.cpp): text form, abbreviated form, JSON form.
int ugw_text_modules(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_controls(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_ports(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_sockets(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_nases(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_auth_servers(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_acct_servers(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_filters(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_filter(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_hostsets(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_hostset(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_services(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_vaps(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_tunnels(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_flows(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_autzs(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_keys(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_ftauths(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_key(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_ftauth(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_leases(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_leases6(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_groups(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_groups6(const ugw_render_args *a, const ugw_renderer_row *row);

int ugw_short_modules(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_logger(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_controls(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_control(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_ports(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_port(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_sockets(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_socket(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_nases(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_nas(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_auth_servers(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_acct_servers(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_filters(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_filter(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_hostsets(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_hostset(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_services(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_service(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_vaps(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_vap(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_tunnels(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_tunnel(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_flows(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_flow(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_autzs(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_autz(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_keys(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_key(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_ftauths(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_ftauth(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_leases(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_lease(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_leases6(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_lease6(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_groups(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_groups6(const ugw_render_args *a, const ugw_renderer_row *row);

int ugw_json_keys(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_key(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_ftauths(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_ftauth(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_filters(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_filter(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_hostsets(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_hostset(const ugw_render_args *a, const ugw_renderer_row *row);

// Fills the slots of the object lists above in one form's row; slots no
// renderer here serves are left as they are.
constexpr void ugw_list_slots(ugw_renderer_row &row, unsigned form)
{
    struct entry {
        unsigned slot;
        ugw_renderer forms[3];
    };
    constexpr entry table[] = {
        {0, {ugw_text_modules, ugw_short_modules, nullptr}},
        {1, {nullptr, ugw_short_logger, nullptr}},
        {2, {ugw_text_controls, ugw_short_controls, nullptr}},
        {3, {nullptr, ugw_short_control, nullptr}},
        {4, {ugw_text_ports, ugw_short_ports, nullptr}},
        {5, {nullptr, ugw_short_port, nullptr}},
        {6, {ugw_text_sockets, ugw_short_sockets, nullptr}},
        {7, {nullptr, ugw_short_socket, nullptr}},
        {8, {ugw_text_nases, ugw_short_nases, nullptr}},
        {9, {nullptr, ugw_short_nas, nullptr}},
        {10, {ugw_text_auth_servers, ugw_short_auth_servers, nullptr}},
        {12, {ugw_text_acct_servers, ugw_short_acct_servers, nullptr}},
        {14, {ugw_text_filters, ugw_short_filters, ugw_json_filters}},
        {15, {ugw_text_filter, ugw_short_filter, ugw_json_filter}},
        {16, {ugw_text_hostsets, ugw_short_hostsets, ugw_json_hostsets}},
        {17, {ugw_text_hostset, ugw_short_hostset, ugw_json_hostset}},
        {18, {ugw_text_services, ugw_short_services, nullptr}},
        {19, {nullptr, ugw_short_service, nullptr}},
        {20, {ugw_text_vaps, ugw_short_vaps, nullptr}},
        {21, {nullptr, ugw_short_vap, nullptr}},
        {22, {ugw_text_tunnels, ugw_short_tunnels, nullptr}},
        {23, {nullptr, ugw_short_tunnel, nullptr}},
        {24, {ugw_text_flows, ugw_short_flows, nullptr}},
        {25, {nullptr, ugw_short_flow, nullptr}},
        {26, {ugw_text_autzs, ugw_short_autzs, nullptr}},
        {27, {nullptr, ugw_short_autz, nullptr}},
        {28, {ugw_text_keys, ugw_short_keys, ugw_json_keys}},
        {29, {ugw_text_key, ugw_short_key, ugw_json_key}},
        {30, {ugw_text_ftauths, ugw_short_ftauths, ugw_json_ftauths}},
        {31, {ugw_text_ftauth, ugw_short_ftauth, ugw_json_ftauth}},
        {32, {ugw_text_leases, ugw_short_leases, nullptr}},
        {33, {nullptr, ugw_short_lease, nullptr}},
        {34, {ugw_text_leases6, ugw_short_leases6, nullptr}},
        {35, {nullptr, ugw_short_lease6, nullptr}},
        {36, {ugw_text_groups, ugw_short_groups, nullptr}},
        {37, {ugw_text_groups6, ugw_short_groups6, nullptr}},
    };
    for (const entry &e : table)
        if (e.forms[form]) row.slots[e.slot] = e.forms[form];
}

// Fills slots 38 to 40 of one form's row (0 text, 1 abbreviated, 2 JSON).
constexpr void ugw_pool_slots(ugw_renderer_row &row, unsigned form)
{
    constexpr ugw_renderer table[3][3] = {
        {ugw_text_pools, ugw_text_pool, ugw_text_allocs},
        {ugw_short_pools, ugw_short_pool, ugw_short_allocs},
        {ugw_json_pools, ugw_json_pool, ugw_json_allocs},
    };
    for (unsigned i = 0; i < 3; i++)
        row.slots[38 + i] = table[form][i];
}

// ---- steps the list files share ----

// The rule under a table's header: 80 dashes, 24 for the fdb clients.
inline void ugw_list_rule(FILE *out, size_t width = 80)
{
    static const char dashes[] =
        "--------------------------------------------------------------------------------";
    static_assert(sizeof(dashes) == 81);
    fprintf(out, "%.*s\n", static_cast<int>(width < 80 ? width : 80), dashes);
}

// Rows narrower than their record cannot be read: EPROTO.
bool ugw_rows_fit(const ugw_render_args *a, size_t size);

// Calls each(const T &) for every row in reply order. A row is copied into a
// typed value first: rows sit at any byte offset of the reply.
template <class T, class Each> int ugw_each_row(const ugw_render_args *a, Each each)
{
    if (!ugw_rows_fit(a, sizeof(T))) return -1;
    const auto *p = static_cast<const uint8_t *>(a->rows);
    for (uint32_t i = 0; i < a->count; i++) {
        T r;
        memcpy(&r, p + static_cast<size_t>(i) * a->row_size, sizeof r);
        each(r);
    }
    return 0;
}

// The slot's record copied into a typed value; EPROTO when it is short.
template <class T> bool ugw_take_record(const ugw_render_args *a, T *out)
{
    if (!a->record || a->record_size < sizeof(T)) {
        errno = EPROTO;
        return false;
    }
    memcpy(out, a->record, sizeof(T));
    return true;
}

// A byte count in base-1024 units with "B" appended, as the list columns
// show volumes ("16.0 KiB", "512 B").
char *ugw_list_bytes(char out[16], uint64_t value);

// 0 once standard output took everything, else -1 with errno.
int ugw_list_done();
// Flushes a JSON document; 0, or -1 with errno.
int ugw_json_done(json_writer *json);
