// JSON renderers of the gateway records: every member always present, in
// the order the records' MIB tables list them; absent data is null.
#include <cstring>

#include "common/filter/filter_rule.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_util.h"

namespace
{

constexpr const char *sym_status[] = {"configure", "waiting", "running", "failure", "expired"};
constexpr const char *sym_protocol[] = {"", "native", "vxlan", "geneve", "gre"};
constexpr const char *sym_band[] = {"TV white spaces", "900 MHz", "2.4 GHz",
                                    "3.6 GHz",         "5 GHz",   "60 GHz"};
constexpr const char *sym_visibility[] = {"none", "hidden", "unicast", "broadcast"};
constexpr const char *sym_broadcast[] = {"global", "directed", "control", ""};
constexpr const char *sym_multicast[] = {"pass", "local", "directed", "control"};
constexpr const char *sym_isolation[] = {"device", "service", "flow", ""};
constexpr const char *sym_neighbor[] = {"pass", "local", "directed", "proxy"};
constexpr const char *sym_lease6[] = {"none", "link", "slaac", "dhcpv6"};
constexpr const char *sym_termination[] = {"default", "request"};
constexpr const char *sym_authentication[] = {"", "radius", "local", "remote"};
constexpr const char *sym_event[] = {"start", "update", "stop"};

template <size_t N> void json_enum(json_writer *json, const char *const (&table)[N], size_t value)
{
    json_symbol(json, table, N, value);
}

void json_band(json_writer *json, int8_t band)
{
    if (band < 0)
        json_null(json);
    else
        json_enum(json, sym_band, static_cast<size_t>(band));
}

void json_ifname(json_writer *json, uint32_t index)
{
    const char *name = ugw_ifname(index);
    json_string(json, name, -1);
}

// A socket address object: type, address and port, keyed after the parent.
void json_inet(json_writer *json, const char *parent, const void *stored)
{
    sockaddr_in6 sa;
    memcpy(&sa, stored, sizeof sa);
    json_open_object(json);
    json_key(json, parent, "AddressType");
    const char *type = sa.sin6_family == AF_INET    ? "ipv4"
                       : sa.sin6_family == AF_INET6 ? "ipv6"
                                                    : "unknown";
    json_plain_string(json, type, strlen(type));
    json_key(json, parent, "Address");
    char text[INET6_ADDRSTRLEN] = "";
    if (sa.sin6_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&sa)->sin_addr, text,
                  sizeof text);
    else if (sa.sin6_family == AF_INET6)
        inet_ntop(AF_INET6, &sa.sin6_addr, text, sizeof text);
    json_plain_string(json, text, strlen(text));
    json_key(json, parent, "PortNumber");
    json_n0(json, ntohs(sa.sin6_port));
    json_close(json);
}

void json_member_inet(json_writer *json, const char *name, const void *stored)
{
    json_k(json, name);
    json_inet(json, name, stored);
}

template <class T> void json_traffic5(json_writer *json, const T &t)
{
    json_member_uint(json, "ulmexDownloadPackets", t.ulmexDownloadPackets);
    json_member_uint(json, "ulmexUploadPackets", t.ulmexUploadPackets);
    json_member_uint(json, "ulmexDownloadDiscards", t.ulmexDownloadDiscards);
    json_member_uint(json, "ulmexUploadDiscards", t.ulmexUploadDiscards);
    json_member_uint(json, "ulmexUploadDrops", t.ulmexUploadDrops);
    json_member_uint(json, "ulmexDownloadBytes", t.ulmexDownloadBytes);
    json_member_uint(json, "ulmexUploadBytes", t.ulmexUploadBytes);
}

void json_member_time(json_writer *json, const char *name, uint32_t stamp)
{
    json_k(json, name);
    json_time(json, stamp);
}

void json_member_n0(json_writer *json, const char *name, uint64_t value)
{
    json_k(json, name);
    json_n0(json, value);
}

void json_member_str0(json_writer *json, const char *name, const char *text, size_t max)
{
    json_k(json, name);
    if (text[0])
        json_string(json, text, static_cast<ssize_t>(max));
    else
        json_null(json);
}

void json_member_uuid(json_writer *json, const char *name, const uint8_t uuid[16])
{
    json_k(json, name);
    json_uuid(json, uuid);
}

void json_member_mac(json_writer *json, const char *name, const uint8_t mac[6])
{
    json_k(json, name);
    json_mac(json, mac);
}

void json_member_ifname(json_writer *json, const char *name, uint32_t index)
{
    json_k(json, name);
    json_ifname(json, index);
}

void json_member_ssid(json_writer *json, const char *name, const uint8_t *ssid, uint8_t length)
{
    json_k(json, name);
    char text[33];
    size_t n = length > 32 ? 32 : length;
    memcpy(text, ssid, n);
    text[n] = 0;
    json_string(json, text, static_cast<ssize_t>(n));
}

} // namespace

void render_json_ulmex_logger(json_writer *json, const log_cfg *r,
                              ugw_log_module_name_fn module_name)
{
    json_open_object(json);
    json_k(json, "ulmexLoggerLevel");
    if (r->level < 0)
        json_null(json);
    else
        json_uint(json, static_cast<uint64_t>(r->level));
    json_k(json, "ulmexLoggerOptions");
    json_open_array(json);
    for (unsigned bit = 0; bit < 8; bit++)
        if (r->format & (1u << bit)) json_string(json, log_option_name(bit), -1);
    json_close(json);
    json_k(json, "ulmexLoggerModules");
    json_open_array(json);
    for (unsigned bit = 0; bit < 32; bit++)
        if (r->components & (1u << bit))
            json_string(json, module_name ? module_name(bit) : nullptr, -1);
    json_close(json);
    json_k(json, "ulmexLoggerTarget");
    json_mac0(json, r->trace_mac);
    json_close(json);
}

void render_json_ulmex_control(json_writer *json, const ulmexControl *r)
{
    json_open_object(json);
    json_k(json, "ulmexControlName");
    json_string(json, r->ulmexControlName, sizeof r->ulmexControlName);
    json_member_inet(json, "ulmexLocalInet", &r->ulmexLocalInet);
    json_member_inet(json, "ulmexRemoteInet", &r->ulmexRemoteInet);
    json_k(json, "ulmexControlIdentity");
    json_hex(json, r->ulmexControlIdentity, 64);
    json_k(json, "ulmexControlKey");
    if (!r->ulmexControlKeyLength) {
        json_null(json);
    } else {
        size_t digits = (r->ulmexControlKeyLength + 3u) / 4;
        json_hex(json, r->ulmexControlKey, digits > 64 ? 64 : digits);
    }
    json_k(json, "ulmexControlStatus");
    json_enum(json, sym_status, r->ulmexControlStatus);
    json_member_time(json, "ulmexConnectTime", r->ulmexConnectTime);
    json_member_time(json, "ulmexCloseTime", r->ulmexCloseTime);
    json_member_uint(json, "ulmexLinkCount", r->ulmexLinkCount);
    json_member_uint(json, "ulmexControlRttAvg", r->ulmexControlRttAvg);
    json_member_uint(json, "ulmexControlRttVar", r->ulmexControlRttVar);
    json_member_uint(json, "ulmexRequestsSent", r->ulmexRequestsSent);
    json_member_uint(json, "ulmexRequestsReceived", r->ulmexRequestsReceived);
    json_member_uint(json, "ulmexResponsesSent", r->ulmexResponsesSent);
    json_member_uint(json, "ulmexResponsesReceived", r->ulmexResponsesReceived);
    json_member_uint(json, "ulmexRequestRetransmits", r->ulmexRequestRetransmits);
    json_member_uint(json, "ulmexRequestTimeouts", r->ulmexRequestTimeouts);
    json_member_uint(json, "ulmexRequestCancels", r->ulmexRequestCancels);
    json_member_uint(json, "ulmexUnknownTypes", r->ulmexUnknownTypes);
    json_member_uint(json, "ulmexRequestErrors", r->ulmexRequestErrors);
    json_member_uint(json, "ulmexResponseErrors", r->ulmexResponseErrors);
    json_member_uint(json, "ulmexHandshakeFailures", r->ulmexHandshakeFailures);
    json_close(json);
}

void render_json_ulmex_port(json_writer *json, const ugwd_port_mib *r)
{
    json_open_object(json);
    json_member_ifname(json, "ulmexPortIfIndex", r->ulmexPortIfIndex);
    json_k(json, "ulmexPortInet");
    json_inet_text(json, AF_INET, r->ulmexPortInet);
    json_k(json, "ulmexPortInet6");
    json_inet_text(json, AF_INET6, r->ulmexPortInet6);
    json_k(json, "ulmexPortConfig");
    json_inet_text(json, AF_INET, r->ulmexPortConfig);
    json_k(json, "ulmexPortConfig6");
    json_inet_text(json, AF_INET6, r->ulmexPortConfig6);
    json_close(json);
}

void render_json_ulmex_socket(json_writer *json, const ugwd_socket_mib *r)
{
    json_open_object(json);
    json_member_ifname(json, "ulmexPortIfIndex", r->ulmexPortIfIndex);
    json_k(json, "ulmexSockProto");
    json_enum(json, sym_protocol, r->ulmexSockProto);
    json_member_n0(json, "ulmexSockConfig", r->ulmexSockConfig);
    uint8_t stored[28] = {};
    memcpy(stored, &r->ulmexSockInet, sizeof r->ulmexSockInet);
    json_member_inet(json, "ulmexSockInet", stored);
    json_member_inet(json, "ulmexSockInet6", &r->ulmexSockInet6);
    json_close(json);
}

void render_json_ulmex_service(json_writer *json, const ugwd_service_mib *r)
{
    json_open_object(json);
    json_member_uuid(json, "ulmexServiceId", r->ulmexServiceId);
    json_k(json, "ulmexServiceStatus");
    json_enum(json, sym_status, r->ulmexServiceStatus);
    json_member_ssid(json, "ulmexServiceSSID", r->ulmexServiceSSID.ulmexSSIDValue,
                     r->ulmexServiceSSID.length);
    json_k(json, "ulmexESSTemplate");
    uint32_t ess = r->ulmexESSTemplateLength;
    if (ess > UGWD_ESS_TEMPLATE) ess = UGWD_ESS_TEMPLATE;
    json_hex(json, r->ulmexESSTemplate, 2 * ess);
    json_member_n0(json, "ulmexInformInterval", r->ulmexInformInterval);
    json_member_time(json, "ulmexStartTime", r->ulmexStartTime);
    json_k(json, "ulmexRadioBSSIfIndex");
    if (r->ulmexRadioBSSIfIndex)
        json_ifname(json, r->ulmexRadioBSSIfIndex);
    else
        json_null(json);
    json_k(json, "ulmexServiceIfNames");
    json_open_array(json);
    unsigned count = r->ulmexServiceIfCount;
    if (count > UGWD_SERVICE_IFS) count = UGWD_SERVICE_IFS;
    for (unsigned i = 0; i < count; i++)
        json_ifname(json, r->ulmexServiceIfIndices[i]);
    json_close(json);
    json_member_str0(json, "ulmexRadiusNASIdentifier", r->ulmexRadiusNASIdentifier,
                     sizeof r->ulmexRadiusNASIdentifier);
    json_k(json, "ulmexBroadcastMode");
    json_enum(json, sym_broadcast, r->mode >> 6 & 3);
    json_k(json, "ulmexMulticastMode");
    json_enum(json, sym_multicast, r->mode >> 4 & 3);
    json_k(json, "ulmexClientIsolation");
    json_enum(json, sym_isolation, r->mode >> 2 & 3);
    json_k(json, "ulmexNeighborDiscovery");
    json_enum(json, sym_neighbor, r->mode & 3);
    json_member_uint(json, "ulmexServiceProcessCount", r->ulmexServiceProcessCount);
    json_member_uint(json, "ulmexServiceActiveBSSIDs", r->ulmexServiceActiveBSSIDs);
    json_member_uint(json, "ulmexServiceActiveFlows", r->ulmexServiceActiveFlows);
    json_traffic5(json, *r);
    json_close(json);
}

void render_json_ulmex_service_bss(json_writer *json, const ugwd_vap_mib *r)
{
    json_open_object(json);
    json_member_uuid(json, "ulmexServiceId", r->ulmexServiceId);
    json_member_mac(json, "ulmexServiceBSSID", r->ulmexServiceBSSID);
    json_member_ssid(json, "ulmexServiceSSID", r->ulmexServiceSSID.ulmexSSIDValue,
                     r->ulmexServiceSSID.length);
    json_member_ifname(json, "ulmexServiceIfIndex", r->ulmexServiceIfIndex);
    json_k(json, "ulmexFrequencyBand");
    json_band(json, r->ulmexFrequencyBand);
    json_member_uint(json, "ulmexServiceActiveFlows", r->ulmexServiceActiveFlows);
    json_member_time(json, "ulmexStartTime", r->ulmexStartTime);
    json_member_n0(json, "ulmexFrlNodeId", r->ulmexFrlNodeId);
    json_k(json, "ulmexFrlBroadcastId");
    json_id12(json, reinterpret_cast<const uint8_t *>(&r->ulmexFrlBroadcastId));
    json_traffic5(json, r->traffic);
    json_close(json);
}

void render_json_ulmex_tunnel(json_writer *json, const ugwd_tunnel_mib *r)
{
    json_open_object(json);
    json_member_uuid(json, "ulmexServiceId", r->ulmexServiceId);
    json_member_ifname(json, "ulmexServiceIfIndex", r->ulmexServiceIfIndex);
    json_k(json, "ulmexTunnelProto");
    json_enum(json, sym_protocol, r->ulmexTunnelProto);
    json_member_uint(json, "ulmexTunnelVNI", r->ulmexTunnelVNI);
    json_member_inet(json, "ulmexRemotePort", r->ulmexRemotePort);
    json_member_uint(json, "ulmexServiceActiveFlows", r->ulmexServiceActiveFlows);
    json_member_time(json, "ulmexStartTime", r->ulmexStartTime);
    json_member_n0(json, "ulmexFrlNodeId", r->ulmexFrlNodeId);
    json_k(json, "ulmexFrlBroadcastId");
    json_id12(json, reinterpret_cast<const uint8_t *>(&r->ulmexFrlBroadcastId));
    json_traffic5(json, r->traffic);
    json_close(json);
}

void render_json_ulmex_signal(json_writer *json, const int8_t signal[3])
{
    static const char *const names[3] = {"MinSignal", "MaxSignal", "AvgSignal"};
    bool unset = !signal[0] || !signal[1] || !signal[2];
    json_open_object(json);
    for (int i = 0; i < 3; i++) {
        json_key(json, "ulmex", names[i]);
        if (unset)
            json_null(json);
        else
            json_int(json, signal[i]);
    }
    json_close(json);
}

void render_json_ulmex_rate(json_writer *json, const uint32_t rate[3])
{
    static const char *const names[3] = {"MinRate", "MaxRate", "AvgRate"};
    json_open_object(json);
    for (int i = 0; i < 3; i++) {
        json_key(json, "ulmex", names[i]);
        json_n0(json, rate[i]);
    }
    json_close(json);
}

void render_json_ulmex_flow(json_writer *json, const ugw_flow_rec *r)
{
    static const char *const node_names[7] = {
        "ulmexFrlRouteNodeId",  "ulmexFrlRadioNodeId", "ulmexFrlServiceNodeId",
        "ulmexFrlTunnelNodeId", "ulmexFrlPmtuNodeId",  "ulmexFrlLimiterNodeId",
        "ulmexFrlFilterNodeId",
    };
    json_open_object(json);
    json_member_mac(json, "ulmexBSSID", r->ulmexBSSID);
    json_member_mac(json, "ulmexClientMAC", r->ulmexClientMAC);
    json_member_str0(json, "ulmexAutzUserName", r->ulmexAutzUserName, sizeof r->ulmexAutzUserName);
    json_member_mac(json, "ulmexRadioId", r->ulmexRadioId);
    json_member_uuid(json, "ulmexServiceId", r->ulmexServiceId);
    json_member_ssid(json, "ulmexServiceSSID", r->ulmexSSIDValue, r->ulmexSSIDLength);
    json_k(json, "ulmexVisibility");
    json_enum(json, sym_visibility, r->ulmexVisibility);
    json_k(json, "ulmexFrequencyBand");
    json_band(json, r->ulmexFrequencyBand);
    json_k(json, "ulmexTunnelProto");
    json_enum(json, sym_protocol, r->ulmexTunnelProto);
    json_member_inet(json, "ulmexLocalPort", r->ulmexLocalPort);
    json_member_inet(json, "ulmexRemotePort", r->ulmexRemotePort);
    json_k(json, "ulmexFrlFlowId");
    json_id12(json, r->ulmexFrlFlowId);
    json_k(json, "ulmexFrlBroadcastId");
    json_id12(json, r->ulmexFrlBroadcastId);
    json_member_n0(json, "ulmexFrlProcessId", r->ulmexFrlProcessId);
    for (int i = 0; i < 7; i++)
        json_member_n0(json, node_names[i], r->node_ids[i]);
    json_member_ifname(json, "ulmexRadioIfIndex", r->ulmexRadioIfIndex);
    json_member_ifname(json, "ulmexServiceIfIndex", r->ulmexServiceIfIndex);
    json_member_ifname(json, "ulmexTunnelIfIndex", r->ulmexTunnelIfIndex);
    json_member_time(json, "ulmexInstallTime", r->ulmexInstallTime);
    json_member_time(json, "ulmexConnectTime", r->ulmexConnectTime);
    json_member_time(json, "ulmexAssociateTime", r->ulmexAssociateTime);
    json_member_time(json, "ulmexTouchTime", r->ulmexTouchTime);
    json_member_uint(json, "ulmexInstallTimeout", r->ulmexInstallTimeout);
    json_member_uint(json, "ulmexConnectTimeout", r->ulmexConnectTimeout);
    json_member_uint(json, "ulmexFlowKeepalive", r->ulmexFlowKeepalive);
    json_member_n0(json, "ulmexInformInterval", r->ulmexInformInterval);
    json_k(json, "ulmexAuthMethod");
    json_string(json, akm_suite_name(r->ulmexAuthMethod), -1);
    json_k(json, "ulmexCipherSuite");
    json_string(json, cipher_suite_name(r->ulmexCipherSuite), -1);
    json_k(json, "ulmexOffloadEnable");
    json_bool(json, r->ulmexOffloadEnable);
    json_member_uint(json, "ulmexDownloadPackets", r->ulmexDownloadPackets);
    json_member_uint(json, "ulmexUploadPackets", r->ulmexUploadPackets);
    json_member_uint(json, "ulmexDownloadDiscards", r->ulmexDownloadDiscards);
    json_member_uint(json, "ulmexUploadDiscards", r->ulmexUploadDiscards);
    json_member_uint(json, "ulmexDownloadDrops", r->ulmexDownloadDrops);
    json_member_uint(json, "ulmexUploadDrops", r->ulmexUploadDrops);
    json_member_uint(json, "ulmexDownloadBytes", r->ulmexDownloadBytes);
    json_member_uint(json, "ulmexUploadBytes", r->ulmexUploadBytes);
    json_k(json, "ulmexRecvSignal");
    render_json_ulmex_signal(json, r->ulmexRecvSignal);
    json_k(json, "ulmexRecvRate");
    render_json_ulmex_rate(json, r->ulmexRecvRate);
    json_k(json, "ulmexSendRate");
    render_json_ulmex_rate(json, r->ulmexSendRate);
    json_k(json, "ulmexThroughput");
    render_json_ulmex_rate(json, r->ulmexThroughput);
    json_close(json);
}

void render_json_ulmex_dhcp_lease(json_writer *json, const ugwd_lease_rec *r)
{
    json_open_object(json);
    json_member_uuid(json, "ulmexServiceId", r->uuid);
    json_member_mac(json, "ulmexClientMAC", r->mac);
    json_member_str0(json, "ulmexClientName", r->hostname, sizeof r->hostname);
    json_k(json, "ulmexDHCPBroadcast");
    json_bool(json, r->flags & 0x80);
    json_member_n0(json, "ulmexDHCPMessageLimit", r->max_msg_size);
    json_member_time(json, "ulmexDHCPLeaseTime", r->start);
    json_member_n0(json, "ulmexDHCPLeaseTimeout", r->lease_time);
    json_k(json, "ulmexDHCPLease");
    json_inet_text(json, AF_INET, r->addr);
    json_member_n0(json, "ulmexDHCPNetmaskBits", (r->flags & 0x7e) >> 1);
    json_close(json);
}

void render_json_ulmex_ipv6_lease(json_writer *json, const ugwd_lease6_rec *r)
{
    json_open_object(json);
    json_member_uuid(json, "ulmexServiceId", r->uuid);
    json_member_mac(json, "ulmexClientMAC", r->mac);
    json_member_str0(json, "ulmexClientName", r->hostname, sizeof r->hostname);
    json_k(json, "ulmexIpv6LeaseMethod");
    json_enum(json, sym_lease6, r->kind);
    json_member_time(json, "ulmexIpv6LeaseTime", r->start);
    json_member_n0(json, "ulmexIpv6LeaseTimeout", r->valid_lifetime);
    json_k(json, "ulmexIpv6Address");
    json_inet_text(json, AF_INET6, r->addr);
    json_member_n0(json, "ulmexIpv6PrefixLength", r->prefix_len);
    json_close(json);
}

namespace
{

template <class G> void json_group_head(json_writer *json, const G *r)
{
    json_member_uuid(json, "ulmexServiceId", r->ulmexServiceId);
    json_k(json, "ulmexBSSID");
    json_mac0(json, r->ulmexBSSID);
    sa_family_t family;
    memcpy(&family, r->ulmexRemotePort, sizeof family);
    if (family == AF_INET || family == AF_INET6) {
        json_member_inet(json, "ulmexRemotePort", r->ulmexRemotePort);
    } else {
        json_member_null(json, "ulmexRemotePort");
    }
    json_member_mac(json, "ulmexClientMAC", r->ulmexClientMAC);
    json_member_mac(json, "ulmexGroupMAC", r->ulmexGroupMAC);
    json_member_time(json, "ulmexGroupReportTime", r->ulmexGroupReportTime);
    json_member_n0(json, "ulmexGroupReportTimeout", r->ulmexGroupReportTimeout);
}

} // namespace

void render_json_ulmex_group(json_writer *json, const ugw_group_rec *r)
{
    json_open_object(json);
    json_group_head(json, r);
    json_k(json, "ulmexIpAddress");
    json_inet_text(json, AF_INET, r->ulmexIpAddress);
    json_close(json);
}

void render_json_ulmex_group6(json_writer *json, const ugw_group6_rec *r)
{
    json_open_object(json);
    json_group_head(json, r);
    json_k(json, "ulmexIpv6Address");
    json_inet_text(json, AF_INET6, r->ulmexIpv6Address);
    json_close(json);
}

void render_json_ulmex_autz(json_writer *json, const radius_access_record *r,
                            const filter_rule *rules, size_t count)
{
    json_open_object(json);
    json_member_n0(json, "ulmexAutzMaxBandwidthUp", r->bandwidth_up);
    json_member_n0(json, "ulmexAutzMaxBandwidthDown", r->bandwidth_down);
    json_member_n0(json, "ulmexAutzMaxVolumeUp", r->volume_up);
    json_member_n0(json, "ulmexAutzMaxVolumeDown", r->volume_down);
    json_member_n0(json, "ulmexAutzMaxDuration", r->session_timeout);
    json_member_n0(json, "ulmexAutzUpdateInterval", r->interim_interval);
    json_k(json, "ulmexAutzTerminationAction");
    json_enum(json, sym_termination, r->termination_action);
    json_k(json, "ulmexAuthentication");
    json_enum(json, sym_authentication, r->acct_authentic);
    json_member_n0(json, "ulmexAutzVlanId", r->vlan_id);
    json_member_str0(json, "ulmexAutzRedirectUrl", r->redirect_url, sizeof r->redirect_url);
    json_member_str0(json, "ulmexAutzCaptivePortal", r->captive_portal, sizeof r->captive_portal);
    json_member_str0(json, "ulmexAutzUserName", r->user_name, sizeof r->user_name);
    json_member_str0(json, "ulmexAutzChargeableUserId", r->chargeable_user_identity,
                     sizeof r->chargeable_user_identity);
    json_member_uint(json, "ulmexAutzFilterRulesLength", r->rule_count);
    json_k(json, "ulmexAutzFilterRules");
    json_open_array(json);
    char text[FILTER_RULE_TEXT_MAX];
    for (size_t i = 0; rules && i < count; i++)
        json_string(json, filter_rule_print(&rules[i], text, sizeof text), -1);
    json_close(json);
    json_close(json);
}

void render_json_ulmex_session(json_writer *json, const ugw_session_rec *r)
{
    json_open_object(json);
    json_k(json, "ulmexSessId");
    json_string(json, r->ulmexSessId, sizeof r->ulmexSessId);
    json_k(json, "ulmexSessMultiId");
    json_string(json, r->ulmexSessMultiId, sizeof r->ulmexSessMultiId);
    json_member_uint(json, "ulmexSessLinkCount", r->ulmexSessLinkCount);
    json_member_time(json, "ulmexSessStartTime", r->ulmexSessStartTime);
    json_member_uint(json, "ulmexSessInputPackets", r->ulmexSessInputPackets);
    json_member_uint(json, "ulmexSessOutputPackets", r->ulmexSessOutputPackets);
    json_member_uint(json, "ulmexSessInputOctets", r->ulmexSessInputOctets);
    json_member_uint(json, "ulmexSessOutputOctets", r->ulmexSessOutputOctets);
    json_close(json);
}

void render_json_ulmex_event(json_writer *json, uint32_t event)
{
    json_k(json, "ulmexEvent");
    json_enum(json, sym_event, event);
}

int render_json_show(FILE *out, const char *table, ugw_json_record_fn render, const void *record)
{
    json_writer json;
    json_init(&json, out);
    json_open_object(&json);
    json_k(&json, table);
    render(&json, record);
    json_close(&json);
    return json_flush(&json);
}

int render_json_list(FILE *out, ugw_json_record_fn render, const void *rows, size_t count,
                     size_t row_size)
{
    json_writer json;
    json_init(&json, out);
    json_open_array(&json);
    const auto *p = static_cast<const uint8_t *>(rows);
    for (size_t i = 0; i < count; i++)
        render(&json, p + i * row_size);
    json_close(&json);
    return json_flush(&json);
}
