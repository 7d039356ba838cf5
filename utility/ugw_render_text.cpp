// Text "show" renderers of the gateway records: one labelled line per field.
#include <cstring>
#include <net/if.h>

#include "common/filter/filter_rule.h"
#include "common/strings.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr size_t SHOW_DURATION = 58;

void text_sockaddr(FILE *out, const char *label, const void *stored)
{
    char text[SOCKADDR_FMT_SIZE];
    text_line(out, label, format_sockaddr(text, sizeof text, stored, 0));
}

void text_ifname(FILE *out, const char *label, uint32_t index)
{
    const char *name = ugw_ifname(index);
    if (!name) {
        text_line(out, label, "-");
        return;
    }
    char safe[64];
    text_line(out, label, format_text(safe, sizeof safe, name, IF_NAMESIZE));
}

void text_addr(FILE *out, const char *label, int family, const uint8_t *addr)
{
    char text[INET6_ADDRSTRLEN] = "-";
    if (!bytes_zero(addr, family == AF_INET ? 4 : 16)) inet_ntop(family, addr, text, sizeof text);
    text_line(out, label, text);
}

void text_uuid(FILE *out, const char *label, const uint8_t uuid[16])
{
    char text[37];
    text_line(out, label, format_uuid(text, uuid));
}

void text_mac(FILE *out, const char *label, const uint8_t mac[6])
{
    char text[18];
    text_line(out, label, format_mac(text, mac));
}

void text_ssid(FILE *out, const uint8_t *ssid, size_t length)
{
    char text[33];
    text_line(out, "SSID: ", format_ssid(text, ssid, length));
}

void text_duration(FILE *out, const char *label, uint64_t seconds)
{
    char text[SHOW_DURATION + 8];
    text_line(out, label, format_duration(text, SHOW_DURATION + 1, seconds, SHOW_DURATION));
}

void text_age(FILE *out, const char *label, uint32_t stamp, uint32_t now)
{
    char text[SHOW_DURATION + 8];
    text_line(out, label, format_age(text, SHOW_DURATION + 1, stamp, now, SHOW_DURATION));
}

void text_volume(FILE *out, const char *label, uint64_t bytes, uint32_t packets)
{
    char text[64];
    text_line(out, label, format_volume(text, sizeof text, bytes, packets));
}

void text_drops(FILE *out, const char *label, uint64_t drops, uint64_t packets)
{
    char text[32];
    text_line(out, label, format_drop_share(text, sizeof text, drops, packets));
}

template <class T> void text_traffic(FILE *out, const T &t)
{
    text_volume(out, "Download Volume: ", t.ulmexDownloadBytes, t.ulmexDownloadPackets);
    text_volume(out, "Upload Volume: ", t.ulmexUploadBytes, t.ulmexUploadPackets);
    text_drops(out, "Upload Drops: ", t.ulmexUploadDrops, t.ulmexUploadPackets);
}

// The element ids of an ESS template, separated by ",".
void text_ess_elements(FILE *out, const uint8_t *ess, size_t length)
{
    char text[512] = "";
    size_t used = 0;
    for (size_t i = 0; i + 2 <= length && used + 8 < sizeof text; i += 2 + ess[i + 1]) {
        if (i + 2 + ess[i + 1] > length) break;
        used += static_cast<size_t>(
            snprintf(text + used, sizeof text - used, "%s%u", used ? "," : "", ess[i]));
    }
    text_line(out, "ESS Elements: ", text);
}

} // namespace

void render_text_ulmex_logger(FILE *out, const log_cfg *r, ugw_log_module_name_fn module_name)
{
    text_linef(out, "Logger Level: ", "%d\n", r->level);
    fprintf(out, "%22s", "Logger Options: ");
    for (unsigned bit = 0; bit < 8; bit++)
        if (r->format & (1u << bit) && log_option_name(bit))
            fprintf(out, "%s ", log_option_name(bit));
    fputc('\n', out);
    char modules[160] = "";
    size_t used = 0;
    for (unsigned bit = 0; bit < 32; bit++) {
        const char *name =
            module_name && (r->components & (1u << bit)) ? module_name(bit) : nullptr;
        if (name && used < sizeof modules)
            used += static_cast<size_t>(
                snprintf(modules + used, sizeof modules - used, "%s%s", used ? " " : "", name));
    }
    text_line(out, "Logger Modules: ", modules);
    text_mac(out, "Logger Target: ", r->trace_mac);
}

void render_text_ulmex_control(FILE *out, const ulmexControl *r)
{
    uint32_t now = ugw_render_now();
    text_line_name(out, "Controller: ", r->ulmexControlName, sizeof r->ulmexControlName);
    text_sockaddr(out, "Address: ", &r->ulmexRemoteInet);
    text_sockaddr(out, "Control Port: ", &r->ulmexLocalInet);
    char hex[72];
    text_line(out, "Fingerprint: ", format_key_hex(hex, sizeof hex, r->ulmexControlIdentity, 256));
    text_line(out, "Pinned Key: ",
              r->ulmexControlKeyLength
                  ? format_key_hex(hex, sizeof hex, r->ulmexControlKey, r->ulmexControlKeyLength)
                  : "-");
    char status[16];
    uint64_t age =
        r->ulmexConnectTime && r->ulmexConnectTime <= now ? now - r->ulmexConnectTime : 0;
    text_line(out,
              "Status: ", format_control_status(status, sizeof status, r->ulmexControlStatus, age));
    text_linef(out, "Roundtrip Time: ", "%u ms dev %u ms\n", r->ulmexControlRttAvg,
               r->ulmexControlRttVar);
    const struct {
        const char *label;
        uint32_t value;
    } counters[] = {
        {"Sent Requests: ", r->ulmexRequestsSent},
        {"Received Requests: ", r->ulmexRequestsReceived},
        {"Sent Responses: ", r->ulmexResponsesSent},
        {"Received Responses: ", r->ulmexResponsesReceived},
        {"Retransmits: ", r->ulmexRequestRetransmits},
        {"Timeouts: ", r->ulmexRequestTimeouts},
        {"Cancellations: ", r->ulmexRequestCancels},
        {"Unknown Types: ", r->ulmexUnknownTypes},
        {"Bad Requests: ", r->ulmexRequestErrors},
        {"Bad Responses: ", r->ulmexResponseErrors},
        {"Link Count: ", r->ulmexLinkCount},
        {"Handshake Failures: ", r->ulmexHandshakeFailures},
    };
    for (const auto &c : counters)
        text_linef(out, c.label, "%u\n", c.value);
}

void render_text_ulmex_port(FILE *out, const ugwd_port_mib *r)
{
    text_ifname(out, "Device: ", r->ulmexPortIfIndex);
    text_addr(out, "IP Address: ", AF_INET, r->ulmexPortInet);
    text_addr(out, "IPv6 Address: ", AF_INET6, r->ulmexPortInet6);
}

void render_text_ulmex_socket(FILE *out, const ugwd_socket_mib *r)
{
    text_ifname(out, "Device: ", r->ulmexPortIfIndex);
    text_line(out, "Protocol: ", tunnel_proto_name(r->ulmexSockProto));
    if (r->ulmexSockProto >= 1 && r->ulmexSockProto <= 3) {
        text_linef(out, "UDP Port Config: ", "%u\n", r->ulmexSockConfig);
        uint8_t stored[28] = {};
        memcpy(stored, &r->ulmexSockInet, sizeof r->ulmexSockInet);
        text_sockaddr(out, "UDP/IP Address: ", stored);
        text_sockaddr(out, "UDP/IPv6 Address: ", &r->ulmexSockInet6);
    } else if (r->ulmexSockProto == 4) {
        text_addr(out, "IP Address: ", AF_INET,
                  reinterpret_cast<const uint8_t *>(&r->ulmexSockInet.sin_addr));
        text_addr(out, "IPv6 Address: ", AF_INET6,
                  reinterpret_cast<const uint8_t *>(&r->ulmexSockInet6.sin6_addr));
    }
}

void render_text_ulmex_service(FILE *out, const ugwd_service_mib *r)
{
    text_uuid(out, "Service ID: ", r->ulmexServiceId);
    text_ssid(out, r->ulmexServiceSSID.ulmexSSIDValue, r->ulmexServiceSSID.length);
    uint32_t ess = r->ulmexESSTemplateLength;
    if (ess > UGWD_ESS_TEMPLATE) ess = UGWD_ESS_TEMPLATE;
    text_ess_elements(out, r->ulmexESSTemplate, ess);
    text_line(out, "Broadcast Forward: ", broadcast_forward_name(r->mode >> 6));
    text_line(out, "Multicast Forward: ", multicast_forward_name(r->mode >> 4));
    text_line(out, "Neighbor Discovery: ", neighbor_discovery_name(r->mode));
    text_line(out, "Client Isolation: ", client_isolation_name(r->mode >> 2));
    text_linef(out, "Dataplane Cores: ", "%u\n", r->ulmexServiceProcessCount);
    text_linef(out, "Active # BSSIDs: ", "%u\n", r->ulmexServiceActiveBSSIDs);
    text_linef(out, "Active # Flows: ", "%u\n", r->ulmexServiceActiveFlows);
    text_duration(out, "Inform Interval: ", r->ulmexInformInterval);
    text_traffic(out, *r);
}

void render_text_ulmex_service_bss(FILE *out, const ugwd_vap_mib *r)
{
    uint32_t now = ugw_render_now();
    text_uuid(out, "Service ID: ", r->ulmexServiceId);
    text_ssid(out, r->ulmexServiceSSID.ulmexSSIDValue, r->ulmexServiceSSID.length);
    text_mac(out, "BSSID: ", r->ulmexServiceBSSID);
    text_ifname(out, "Device: ", r->ulmexServiceIfIndex);
    text_line(out, "Frequency Band: ", frequency_band_name(r->ulmexFrequencyBand));
    text_linef(out, "Active # Flows: ", "%u\n", r->ulmexServiceActiveFlows);
    text_age(out, "Running Time: ", r->ulmexStartTime, now);
    text_traffic(out, r->traffic);
}

void render_text_ulmex_tunnel(FILE *out, const ugwd_tunnel_mib *r)
{
    uint32_t now = ugw_render_now();
    text_uuid(out, "Service ID: ", r->ulmexServiceId);
    text_line(out, "Tunnel Protocol: ", tunnel_proto_name(r->ulmexTunnelProto));
    text_linef(out, "Tunnel VNI: ", "%u\n", r->ulmexTunnelVNI);
    text_sockaddr(out, "Remote Port: ", r->ulmexRemotePort);
    text_ifname(out, "Device: ", r->ulmexServiceIfIndex);
    text_linef(out, "Active # Flows: ", "%u\n", r->ulmexServiceActiveFlows);
    text_age(out, "Running Time: ", r->ulmexStartTime, now);
    text_traffic(out, r->traffic);
}

void render_text_ulmex_flow(FILE *out, const ugw_flow_rec *r)
{
    uint32_t now = ugw_render_now();
    text_mac(out, "BSSID: ", r->ulmexBSSID);
    text_mac(out, "Client: ", r->ulmexClientMAC);
    text_line_name(out, "User Name: ", r->ulmexAutzUserName, sizeof r->ulmexAutzUserName);
    text_mac(out, "Radio ID: ", r->ulmexRadioId);
    text_uuid(out, "Service ID: ", r->ulmexServiceId);
    text_ssid(out, r->ulmexSSIDValue, r->ulmexSSIDLength);
    text_line(out, "Frequency Band: ", frequency_band_name(r->ulmexFrequencyBand));
    text_line(out, "Tunnel Protocol: ", tunnel_proto_name(r->ulmexTunnelProto));
    text_ifname(out, "Radio Device: ", r->ulmexRadioIfIndex);
    text_ifname(out, "Service Device: ", r->ulmexServiceIfIndex);
    text_ifname(out, "Tunnel Device: ", r->ulmexTunnelIfIndex);
    text_sockaddr(out, "Local Port: ", r->ulmexLocalPort);
    text_sockaddr(out, "Remote Port: ", r->ulmexRemotePort);
    text_duration(out, "Inform Interval: ", r->ulmexInformInterval);
    text_age(out, "Installed Time: ", r->ulmexInstallTime, now);
    text_age(out, "Connected Time: ", r->ulmexConnectTime, now);
    text_age(out, "Associated Time: ", r->ulmexAssociateTime, now);
    text_volume(out, "Download Volume: ", r->ulmexDownloadBytes, r->ulmexDownloadPackets);
    text_volume(out, "Upload Volume: ", r->ulmexUploadBytes, r->ulmexUploadPackets);
    bool radio = r->ulmexRadioIfIndex != 0;
    if (radio) text_drops(out, "Download Drops: ", r->ulmexDownloadDrops, r->ulmexDownloadPackets);
    if (r->ulmexServiceIfIndex)
        text_drops(out, "Upload Drops: ", r->ulmexUploadDrops, r->ulmexUploadPackets);
    if (!radio) return;
    char text[96];
    text_line(out, "Signal Level: ",
              format_signal_triple(text, sizeof text, r->ulmexRecvSignal[0], r->ulmexRecvSignal[1],
                                   r->ulmexRecvSignal[2]));
    const struct {
        const char *label;
        const uint32_t *rate;
    } rates[] = {
        {"Recv Data Rate: ", r->ulmexRecvRate},
        {"Send Data Rate: ", r->ulmexSendRate},
        {"Send Throughput: ", r->ulmexThroughput},
    };
    for (const auto &x : rates)
        text_line(out, x.label,
                  format_rate_triple(text, sizeof text, x.rate[0], x.rate[1], x.rate[2]));
}

void render_text_ulmex_dhcp_lease(FILE *out, const ugwd_lease_rec *r)
{
    uint32_t now = ugw_render_now();
    text_mac(out, "Client: ", r->mac);
    text_line_name(out, "Client Name: ", r->hostname, sizeof r->hostname);
    text_uuid(out, "Service ID: ", r->uuid);
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, r->addr, addr, sizeof addr);
    text_linef(out, "Client Lease: ", "%s/%u\n", addr, (r->flags & 0x7eu) >> 1);
    text_age(out, "Lease Time: ", r->start, now);
    text_duration(out, "Lease Timeout: ", r->lease_time);
    text_linef(out, "DHCP Message Size: ", "%u\n", r->max_msg_size);
}

void render_text_ulmex_ipv6_lease(FILE *out, const ugwd_lease6_rec *r)
{
    uint32_t now = ugw_render_now();
    text_mac(out, "Client: ", r->mac);
    text_line_name(out, "Client Name: ", r->hostname, sizeof r->hostname);
    text_uuid(out, "Service ID: ", r->uuid);
    char addr[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, r->addr, addr, sizeof addr);
    text_linef(out, "Client Lease: ", "%s/%u\n", addr, r->prefix_len);
    text_line(out, "Lease Method: ", lease6_method_name(r->kind));
    text_age(out, "Lease Time: ", r->start, now);
    text_duration(out, "Lease Timeout: ", r->valid_lifetime);
}

void render_text_ulmex_autz(FILE *out, const radius_access_record *r, const filter_rule *rules,
                            size_t count)
{
    char text[96];
    const struct {
        const char *label;
        uint32_t value;
    } bandwidths[] = {
        {"Max Bandwidth Up: ", r->bandwidth_up},
        {"Max Bandwidth Down: ", r->bandwidth_down},
    };
    for (const auto &b : bandwidths) {
        if (b.value)
            text_linef(out, b.label, "%sbit/s\n", format_units1000(text, sizeof text, b.value));
        else
            text_line(out, b.label, "-");
    }
    const struct {
        const char *label;
        uint32_t value;
    } volumes[] = {
        {"Max Volume Up: ", r->volume_up},
        {"Max Volume Down: ", r->volume_down},
    };
    for (const auto &v : volumes) {
        if (v.value)
            text_linef(out, v.label, "%sB\n", string_format_bytes(v.value, 0, text, sizeof text));
        else
            text_line(out, v.label, "-");
    }
    text_duration(out, "Max Duration: ", r->session_timeout);
    text_duration(out, "Update Interval: ", r->interim_interval);
    static const char *const actions[] = {"Default", "Request"};
    text_line(out, "Termination Action: ",
              r->termination_action < 2 ? actions[r->termination_action] : "");
    text_line(out, "Authentication: ", auth_source_name(r->acct_authentic));
    if (r->vlan_id)
        text_linef(out, "802.1Q VLAN Id: ", "%u\n", r->vlan_id);
    else
        text_line(out, "802.1Q VLAN Id: ", "-");
    text_line_name(out, "Redirect URL: ", r->redirect_url, sizeof r->redirect_url);
    text_line_name(out, "Captive Portal: ", r->captive_portal, sizeof r->captive_portal);
    text_line_name(out, "User Name: ", r->user_name, sizeof r->user_name);
    text_line_name(out, "Chargeable User Id: ", r->chargeable_user_identity,
                   sizeof r->chargeable_user_identity);
    if (!rules || !count) {
        text_linef(out, "# IP Filter Rules: ", "%u\n", r->rule_count);
        return;
    }
    char rule[FILTER_RULE_TEXT_MAX];
    for (size_t i = 0; i < count; i++)
        text_line(out,
                  i ? "" : "IP Filter Rules: ", filter_rule_print(&rules[i], rule, sizeof rule));
}

void render_text_ulmex_session(FILE *out, const ugw_session_rec *r)
{
    uint32_t now = ugw_render_now();
    text_line_name(out, "Session Id: ", r->ulmexSessId, sizeof r->ulmexSessId);
    text_line_name(out, "Session Group Id: ", r->ulmexSessMultiId, sizeof r->ulmexSessMultiId);
    text_linef(out, "Session Links: ", "%u\n", r->ulmexSessLinkCount);
    text_age(out, "Session Duration: ", r->ulmexSessStartTime, now);
    char units[32];
    text_linef(out, "Session Input: ", "%sB in %u packets\n",
               string_format_bytes(r->ulmexSessInputOctets, 0, units, sizeof units),
               r->ulmexSessInputPackets);
    text_linef(out, "Session Output: ", "%sB in %u packets\n",
               string_format_bytes(r->ulmexSessOutputOctets, 0, units, sizeof units),
               r->ulmexSessOutputPackets);
}
