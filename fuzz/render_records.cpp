// Renders arbitrary bytes as every record the renderers read, in the text
// and the JSON forms. Every JSON document must parse (RapidJSON's reader) and
// no text may hold a control byte other than a line feed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <functional>

#include "fuzz/render_check.h"
#include "common/filter/filter_rule.h"
#include "utility/ugw_format.h"
#include "utility/ugw_render.h"

using namespace render_fuzz;

namespace
{

const char *fuzz_module(unsigned bit)
{
    return bit < 3 ? "m\"od" : nullptr;
}

void text(const std::function<void(FILE *)> &render)
{
    capture(render, check_text);
}

void json(const std::function<void(json_writer *)> &render)
{
    capture(
        [&](FILE *out) {
            json_writer j;
            json_init(&j, out);
            json_open_array(&j);
            render(&j);
            json_close(&j);
            json_flush(&j);
        },
        check_json);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        ugw_ifname_reset(render_fuzz::ifname);
        return true;
    }();
    (void)once;
    // Every record is read from the same bytes, zero-padded to its size.
    alignas(8) static uint8_t b[2048];
    memset(b, 0, sizeof b);
    memcpy(b, data, size < sizeof b ? size : sizeof b);

    auto *logger = reinterpret_cast<const log_cfg *>(b);
    auto *control = reinterpret_cast<const ulmexControl *>(b);
    auto *port = reinterpret_cast<const ugwd_port_mib *>(b);
    auto *socket = reinterpret_cast<const ugwd_socket_mib *>(b);
    auto *service = reinterpret_cast<const ugwd_service_mib *>(b);
    auto *vap = reinterpret_cast<const ugwd_vap_mib *>(b);
    auto *tunnel = reinterpret_cast<const ugwd_tunnel_mib *>(b);
    auto *flow = reinterpret_cast<const ugw_flow_rec *>(b);
    auto *lease = reinterpret_cast<const ugwd_lease_rec *>(b);
    auto *lease6 = reinterpret_cast<const ugwd_lease6_rec *>(b);
    auto *group = reinterpret_cast<const ugw_group_rec *>(b);
    auto *group6 = reinterpret_cast<const ugw_group6_rec *>(b);
    auto *access = reinterpret_cast<const radius_access_record *>(b);
    auto *session = reinterpret_cast<const ugw_session_rec *>(b);
    auto *nas = reinterpret_cast<const radius_nas_config *>(b);
    auto *auth = reinterpret_cast<const radiusAuthClientServerExtTable *>(b);
    auto *acct = reinterpret_cast<const radiusAccClientServerExtTable *>(b);
    auto *das = reinterpret_cast<const radiusDynAuthClientTable *>(b);
    auto *pae_config = reinterpret_cast<const dot1xAuthConfig *>(b);
    auto *pae_stats = reinterpret_cast<const dot1xAuthStats *>(b);
    auto *pae_diag = reinterpret_cast<const dot1xAuthDiag *>(b);
    auto *pae_session = reinterpret_cast<const dot1xAuthSessionStats *>(b);

    text([&](FILE *o) { render_text_ulmex_logger(o, logger, fuzz_module); });
    text([&](FILE *o) { render_text_ulmex_control(o, control); });
    text([&](FILE *o) { render_text_ulmex_port(o, port); });
    text([&](FILE *o) { render_text_ulmex_socket(o, socket); });
    text([&](FILE *o) { render_text_ulmex_service(o, service); });
    text([&](FILE *o) { render_text_ulmex_service_bss(o, vap); });
    text([&](FILE *o) { render_text_ulmex_tunnel(o, tunnel); });
    text([&](FILE *o) { render_text_ulmex_flow(o, flow); });
    text([&](FILE *o) { render_text_ulmex_dhcp_lease(o, lease); });
    text([&](FILE *o) { render_text_ulmex_ipv6_lease(o, lease6); });
    text([&](FILE *o) { render_text_ulmex_autz(o, access, nullptr, 0); });
    text([&](FILE *o) { render_text_ulmex_session(o, session); });
    text([&](FILE *o) { render_text_radius_client_config(o, nas); });
    text([&](FILE *o) { render_text_radius_auth_server(o, auth); });
    text([&](FILE *o) { render_text_radius_acct_server(o, acct); });
    text([&](FILE *o) { render_text_radius_dynauth_client(o, das); });
    text([&](FILE *o) { render_text_dot1x_auth_config(o, pae_config); });
    text([&](FILE *o) { render_text_dot1x_auth_stats(o, pae_stats); });
    text([&](FILE *o) { render_text_dot1x_auth_diag(o, pae_diag); });
    text([&](FILE *o) { render_text_dot1x_auth_session_stats(o, pae_session); });

    json([&](json_writer *j) {
        render_json_ulmex_logger(j, logger, fuzz_module);
        render_json_ulmex_control(j, control);
        render_json_ulmex_port(j, port);
        render_json_ulmex_socket(j, socket);
        render_json_ulmex_service(j, service);
        render_json_ulmex_service_bss(j, vap);
        render_json_ulmex_tunnel(j, tunnel);
        render_json_ulmex_flow(j, flow);
        render_json_ulmex_dhcp_lease(j, lease);
        render_json_ulmex_ipv6_lease(j, lease6);
        render_json_ulmex_group(j, group);
        render_json_ulmex_group6(j, group6);
        render_json_ulmex_autz(j, access, nullptr, 0);
        render_json_ulmex_session(j, session);
        json_open_object(j);
        render_json_ulmex_event(j, b[0]);
        json_close(j);
        render_json_radius_client_config(j, nas);
        render_json_radius_auth_server(j, auth);
        render_json_radius_acct_server(j, acct);
        render_json_radius_dynauth_client(j, das);
        render_json_dot1x_auth_config(j, pae_config);
        render_json_dot1x_auth_stats(j, pae_stats);
        render_json_dot1x_auth_diag(j, pae_diag);
        render_json_dot1x_auth_session_stats(j, pae_session);
        json_string(j, reinterpret_cast<const char *>(data), static_cast<ssize_t>(size));
    });
    return 0;
}
