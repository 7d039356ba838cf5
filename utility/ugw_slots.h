// The renderer slot table (3 output forms x 47 slots) and the action table of
// set and unset: the points where renderers and actions are wired in.
#pragma once

#include <cstddef>
#include <cstdint>

struct ugw_command;

constexpr unsigned UGW_FORMS = 3; // 0 text, 1 abbreviated text, 2 JSON
constexpr unsigned UGW_SLOTS = 47;

// What a slot is given: list slots the rows (null when none) and their count,
// show slots the record (the reply's blocks in order) and the command's keys;
// extra carries a second record where a slot takes one (a flow's VAP, the
// rules of a flow, an access or a filter).
struct ugw_render_args {
    const void *record;
    size_t record_size;
    const void *rows;
    uint32_t count;
    uint32_t row_size;
    const void *extra;
    size_t extra_size;
    const ugw_command *cmd;
};

struct ugw_renderer_row;
// Prints to standard output; 0, or -1 with errno.
using ugw_renderer = int (*)(const ugw_render_args *args, const ugw_renderer_row *row);

// One form's row, passed to every renderer so a list can call the show
// renderer of the same form. A null slot prints nothing.
struct ugw_renderer_row {
    ugw_renderer slots[UGW_SLOTS];
};

struct ugw_renderer_table {
    ugw_renderer_row forms[UGW_FORMS];
};

extern const ugw_renderer_table ugw_renderers;

// Each action changes the fetched record in place: 1 when a byte changed and
// the record must go back, 0 when nothing needs sending, -1 with errno.
using ugw_action = int (*)(void *record, const ugw_command *cmd);

struct ugw_action_table {
    ugw_action unset_log;
    ugw_action unset_control;
    ugw_action unset_port;
    ugw_action unset_nas;
    ugw_action unset_auth;
    ugw_action unset_acct;
    ugw_action unset_service;
    ugw_action set_log;
    ugw_action set_control;
    ugw_action set_port;
    ugw_action set_nas;
    ugw_action set_auth;
    ugw_action set_acct;
    ugw_action set_service;
};

extern const ugw_action_table ugw_actions;
