// Renderers of the data plane's fabric and AF_XDP rows (slots 41, 42) and of
// the shared-memory forwarding and multicast tables (slots 43 to 46), in the
// three forms. The executor reads a table whole before a renderer runs, so a
// read that fails prints nothing but the error.
#pragma once

#include <cstdint>

#include "utility/ugw_slots.h"

// Rows of slot 44: one client of a forwarding table.
struct ugw_fdb_entry {
    uint8_t mac[6];
    uint16_t port;
};
static_assert(sizeof(ugw_fdb_entry) == 8);

// The record of slots 44 and 46: what the rows came from. show is set when
// the command named one MAC (the rows then hold its entry only).
struct ugw_shm_view {
    uint16_t ports; // the multicast table's port count
    bool show;
};

int ugw_text_fabric(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_xsk(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_text_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *row);

int ugw_short_fabric(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_xsk(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_short_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *row);

int ugw_json_fabric(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_xsk(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_fdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_fdb_clients(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_mdb_tables(const ugw_render_args *a, const ugw_renderer_row *row);
int ugw_json_mdb_groups(const ugw_render_args *a, const ugw_renderer_row *row);

// Fills slots 41 to 46 of one form's row (0 text, 1 abbreviated, 2 JSON).
constexpr void ugw_shm_slots(ugw_renderer_row &row, unsigned form)
{
    using fn = ugw_renderer;
    constexpr fn table[3][6] = {
        {ugw_text_fabric, ugw_text_xsk, ugw_text_fdb_tables, ugw_text_fdb_clients,
         ugw_text_mdb_tables, ugw_text_mdb_groups},
        {ugw_short_fabric, ugw_short_xsk, ugw_short_fdb_tables, ugw_short_fdb_clients,
         ugw_short_mdb_tables, ugw_short_mdb_groups},
        {ugw_json_fabric, ugw_json_xsk, ugw_json_fdb_tables, ugw_json_fdb_clients,
         ugw_json_mdb_tables, ugw_json_mdb_groups},
    };
    for (unsigned i = 0; i < 6; i++)
        row.slots[41 + i] = table[form][i];
}
