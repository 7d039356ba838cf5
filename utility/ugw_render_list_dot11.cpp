// The key-cache and FT-authentication slots whose records the 802.11 and
// 802.1X renderers write: the PMK cache and FT lists and shows.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dot11/dot11_mib.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_list.h"

namespace
{

// The record of a key show: the cache row, then right behind it (not at
// its natural alignment) its 802.1X session.
struct key_show {
    dot11_key_row key;
    dot1xAuthSessionStats session;
};
static_assert(sizeof(dot11_key_row) == CTL_REC_KEY &&
              sizeof(dot1xAuthSessionStats) == CTL_REC_KEY_DETAIL);

bool take_key(const ugw_render_args *a, key_show *k)
{
    if (!a->record || a->record_size < CTL_REC_KEY + CTL_REC_KEY_DETAIL) {
        errno = EPROTO;
        return false;
    }
    memcpy(&k->key, a->record, CTL_REC_KEY);
    memcpy(&k->session, static_cast<const uint8_t *>(a->record) + CTL_REC_KEY, CTL_REC_KEY_DETAIL);
    return true;
}

void ft_object(json_writer *json, const dot11_ft_auth_row &ft)
{
    json_open_object(json);
    render_json_dot11_mib(json, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ft);
    json_close(json);
}

} // namespace

int ugw_text_key(const ugw_render_args *a, const ugw_renderer_row *)
{
    key_show k;
    if (!take_key(a, &k)) return -1;
    render_text_dot11_pmksa(stdout, &k.key);
    render_text_dot1x_auth_session_stats(stdout, &k.session);
    return ugw_list_done();
}

int ugw_text_ftauth(const ugw_render_args *a, const ugw_renderer_row *)
{
    dot11_ft_auth_row ft;
    if (!ugw_take_record(a, &ft)) return -1;
    const dot11_mib_sources s{.ft = &ft};
    render_text_dot11_mib(stdout, &s, true);
    return ugw_list_done();
}

int ugw_json_keys(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<dot11_key_row>(
            a, [&](const dot11_key_row &r) { render_json_dot11_pmksa(&json, &r); }) < 0)
        return -1;
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_key(const ugw_render_args *a, const ugw_renderer_row *)
{
    key_show k;
    if (!take_key(a, &k)) return -1;
    json_writer json;
    json_init(&json, stdout);
    json_open_object(&json);
    json_key(&json, nullptr, "dot11PMKSA");
    render_json_dot11_pmksa(&json, &k.key);
    json_key(&json, nullptr, "dot1xAuthSessionStats");
    render_json_dot1x_auth_session_stats(&json, &k.session);
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_ftauths(const ugw_render_args *a, const ugw_renderer_row *)
{
    json_writer json;
    json_init(&json, stdout);
    json_open_array(&json);
    if (ugw_each_row<dot11_ft_auth_row>(
            a, [&](const dot11_ft_auth_row &r) { ft_object(&json, r); }) < 0)
        return -1;
    json_close(&json);
    return ugw_json_done(&json);
}

int ugw_json_ftauth(const ugw_render_args *a, const ugw_renderer_row *)
{
    dot11_ft_auth_row ft;
    if (!ugw_take_record(a, &ft)) return -1;
    json_writer json;
    json_init(&json, stdout);
    ft_object(&json, ft);
    return ugw_json_done(&json);
}
