// The renderers of the daemon's records: text "show" blocks (a label
// right-aligned in 22 columns, then the value) and JSON objects written
// through the JSON writer. One renderer per record type and form; the
// executor's slot table calls them per record, and the two document
// functions at the end make a JSON show or list document of them.
//
// Records are read as the daemon sends them; the renderers never fail on
// their contents. Names that come from outside print as safe text: control
// characters and invalid UTF-8 become '.' in the text form and are escaped or
// replaced by U+FFFD in JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "controller/ulmex.h"
#include "dot11/dot11_mib.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_table.h"
#include "radius/radius_mib.h"
#include "utility/ugw_json.h"

struct filter_rule;

// The flow record of the Flows list and of New-Flow (at 8).
struct ugw_flow_rec {
    uint8_t ulmexBSSID[6];
    uint8_t ulmexClientMAC[6];
    uint8_t ulmexRadioId[6];
    uint8_t ulmexServiceId[16];
    uint8_t ulmexSSIDValue[32];
    uint8_t ulmexSSIDLength;
    char ulmexAutzUserName[253];
    int8_t ulmexFrequencyBand;
    uint8_t reserved321[3];
    uint32_t ulmexTunnelProto;
    uint32_t ulmexVisibility;
    uint8_t ulmexLocalPort[28]; // socket addresses as stored
    uint8_t ulmexRemotePort[28];
    uint8_t ulmexFrlFlowId[12];
    uint8_t ulmexFrlBroadcastId[12];
    uint32_t ulmexFrlProcessId;
    uint32_t node_ids[7]; // route, radio, service, tunnel, PMTU, limiter, filter
    uint32_t ulmexRadioIfIndex;
    uint32_t ulmexServiceIfIndex;
    uint32_t ulmexTunnelIfIndex;
    uint32_t ulmexInstallTime;
    uint32_t ulmexConnectTime;
    uint32_t ulmexAssociateTime;
    uint32_t ulmexTouchTime;
    uint32_t ulmexInstallTimeout;
    uint32_t ulmexConnectTimeout;
    uint32_t ulmexFlowKeepalive;
    uint32_t ulmexInformInterval;
    uint32_t ulmexAuthMethod;  // AKM suite selector
    uint32_t ulmexCipherSuite; // pairwise cipher suite selector
    uint8_t ulmexOffloadEnable;
    uint8_t reserved497[7];
    uint32_t ulmexDownloadPackets;
    uint32_t ulmexUploadPackets;
    uint32_t ulmexDownloadDiscards;
    uint32_t ulmexUploadDiscards;
    uint32_t ulmexDownloadDrops;
    uint32_t ulmexUploadDrops;
    uint64_t ulmexDownloadBytes;
    uint64_t ulmexUploadBytes;
    int8_t ulmexRecvSignal[4]; // min, max, avg dBm
    uint32_t ulmexRecvRate[3]; // min, max, avg bit/s
    uint32_t ulmexSendRate[3];
    uint32_t ulmexThroughput[3];
};
static_assert(sizeof(ugw_flow_rec) == 584);
static_assert(offsetof(ugw_flow_rec, ulmexServiceId) == 18);
static_assert(offsetof(ugw_flow_rec, ulmexAutzUserName) == 67);
static_assert(offsetof(ugw_flow_rec, ulmexFrequencyBand) == 320);
static_assert(offsetof(ugw_flow_rec, ulmexLocalPort) == 332);
static_assert(offsetof(ugw_flow_rec, ulmexFrlFlowId) == 388);
static_assert(offsetof(ugw_flow_rec, node_ids) == 416);
static_assert(offsetof(ugw_flow_rec, ulmexRadioIfIndex) == 444);
static_assert(offsetof(ugw_flow_rec, ulmexInstallTime) == 456);
static_assert(offsetof(ugw_flow_rec, ulmexInstallTimeout) == 472);
static_assert(offsetof(ugw_flow_rec, ulmexInformInterval) == 484);
static_assert(offsetof(ugw_flow_rec, ulmexOffloadEnable) == 496);
static_assert(offsetof(ugw_flow_rec, ulmexDownloadPackets) == 504);
static_assert(offsetof(ugw_flow_rec, ulmexDownloadBytes) == 528);
static_assert(offsetof(ugw_flow_rec, ulmexRecvSignal) == 544);
static_assert(offsetof(ugw_flow_rec, ulmexRecvRate) == 548);
static_assert(offsetof(ugw_flow_rec, ulmexThroughput) == 572);

// The RADIUS session part of New-Flow (at 592).
struct ugw_session_rec {
    char ulmexSessId[9];
    char ulmexSessMultiId[9];
    uint8_t reserved18[2];
    uint32_t ulmexSessLinkCount;
    uint32_t ulmexSessStartTime;
    uint32_t ulmexSessInputPackets;
    uint32_t ulmexSessOutputPackets;
    uint32_t reserved36;
    uint64_t ulmexSessInputOctets;
    uint64_t ulmexSessOutputOctets;
};
static_assert(sizeof(ugw_session_rec) == 56);
static_assert(offsetof(ugw_session_rec, ulmexSessLinkCount) == 20);
static_assert(offsetof(ugw_session_rec, ulmexSessInputOctets) == 40);

// Rows of Groups and Groups6.
struct ugw_group_rec {
    uint8_t ulmexServiceId[16];
    uint8_t ulmexRemotePort[28];
    uint8_t ulmexIpAddress[4];
    uint8_t ulmexClientMAC[6];
    uint8_t ulmexBSSID[6];
    uint8_t ulmexGroupMAC[6];
    uint8_t reserved66[2];
    uint32_t ulmexGroupReportTime;
    uint32_t ulmexGroupReportTimeout;
};
static_assert(sizeof(ugw_group_rec) == 76);
static_assert(offsetof(ugw_group_rec, ulmexGroupReportTime) == 68);

struct ugw_group6_rec {
    uint8_t ulmexServiceId[16];
    uint8_t ulmexRemotePort[28];
    uint8_t ulmexIpv6Address[16];
    uint8_t ulmexClientMAC[6];
    uint8_t ulmexBSSID[6];
    uint8_t ulmexGroupMAC[6];
    uint8_t reserved78[2];
    uint32_t ulmexGroupReportTime;
    uint32_t ulmexGroupReportTimeout;
};
static_assert(sizeof(ugw_group6_rec) == 88);
static_assert(offsetof(ugw_group6_rec, ulmexGroupReportTime) == 80);

// The name of one bit of the log component mask (the command language's table).
using ugw_log_module_name_fn = const char *(*)(unsigned bit);

// Text show renderers of the gateway records (ugw_render_text.cpp).
void render_text_ulmex_logger(FILE *out, const log_cfg *r, ugw_log_module_name_fn module_name);
void render_text_ulmex_control(FILE *out, const ulmexControl *r);
void render_text_ulmex_port(FILE *out, const ugwd_port_mib *r);
void render_text_ulmex_socket(FILE *out, const ugwd_socket_mib *r);
void render_text_ulmex_service(FILE *out, const ugwd_service_mib *r);
void render_text_ulmex_service_bss(FILE *out, const ugwd_vap_mib *r);
void render_text_ulmex_tunnel(FILE *out, const ugwd_tunnel_mib *r);
void render_text_ulmex_flow(FILE *out, const ugw_flow_rec *r);
void render_text_ulmex_dhcp_lease(FILE *out, const ugwd_lease_rec *r);
void render_text_ulmex_ipv6_lease(FILE *out, const ugwd_lease6_rec *r);
// With rules given, their texts; without, the record's rule count.
void render_text_ulmex_autz(FILE *out, const radius_access_record *r, const filter_rule *rules,
                            size_t count);
void render_text_ulmex_session(FILE *out, const ugw_session_rec *r);

// JSON renderers of the gateway records (ugw_render_json.cpp): one object each.
void render_json_ulmex_logger(json_writer *json, const log_cfg *r,
                              ugw_log_module_name_fn module_name);
void render_json_ulmex_control(json_writer *json, const ulmexControl *r);
void render_json_ulmex_port(json_writer *json, const ugwd_port_mib *r);
void render_json_ulmex_socket(json_writer *json, const ugwd_socket_mib *r);
void render_json_ulmex_service(json_writer *json, const ugwd_service_mib *r);
void render_json_ulmex_service_bss(json_writer *json, const ugwd_vap_mib *r);
void render_json_ulmex_tunnel(json_writer *json, const ugwd_tunnel_mib *r);
void render_json_ulmex_flow(json_writer *json, const ugw_flow_rec *r);
void render_json_ulmex_signal(json_writer *json, const int8_t signal[3]);
void render_json_ulmex_rate(json_writer *json, const uint32_t rate[3]);
void render_json_ulmex_dhcp_lease(json_writer *json, const ugwd_lease_rec *r);
void render_json_ulmex_ipv6_lease(json_writer *json, const ugwd_lease6_rec *r);
void render_json_ulmex_group(json_writer *json, const ugw_group_rec *r);
void render_json_ulmex_group6(json_writer *json, const ugw_group6_rec *r);
void render_json_ulmex_autz(json_writer *json, const radius_access_record *r,
                            const filter_rule *rules, size_t count);
void render_json_ulmex_session(json_writer *json, const ugw_session_rec *r);
// The member "ulmexEvent" (0 start, 1 update, 2 stop) in the open object.
void render_json_ulmex_event(json_writer *json, uint32_t event);

// RADIUS records of a NAS, both forms (ugw_render_radius.cpp). The text
// server and client rows print nothing for a slot that is not configured.
void render_text_radius_client_config(FILE *out, const radius_nas_config *r);
void render_text_radius_auth_server(FILE *out, const radiusAuthClientServerExtTable *r);
void render_text_radius_acct_server(FILE *out, const radiusAccClientServerExtTable *r);
void render_text_radius_dynauth_client(FILE *out, const radiusDynAuthClientTable *r);
void render_json_radius_client_config(json_writer *json, const radius_nas_config *r);
void render_json_radius_auth_server(json_writer *json, const radiusAuthClientServerExtTable *r);
void render_json_radius_acct_server(json_writer *json, const radiusAccClientServerExtTable *r);
void render_json_radius_dynauth_client(json_writer *json, const radiusDynAuthClientTable *r);
// InetAddressType 1 AF_INET, 2 AF_INET6, else 0.
int inet_type_to_family(uint8_t type);

// The four 802.1X tables of a station, both forms (ugw_render_dot1x.cpp).
void render_text_dot1x_auth_config(FILE *out, const dot1xAuthConfig *r);
void render_text_dot1x_auth_stats(FILE *out, const dot1xAuthStats *r);
void render_text_dot1x_auth_diag(FILE *out, const dot1xAuthDiag *r);
void render_text_dot1x_auth_session_stats(FILE *out, const dot1xAuthSessionStats *r);
void render_json_dot1x_auth_config(json_writer *json, const dot1xAuthConfig *r);
void render_json_dot1x_auth_stats(json_writer *json, const dot1xAuthStats *r);
void render_json_dot1x_auth_diag(json_writer *json, const dot1xAuthDiag *r);
void render_json_dot1x_auth_session_stats(json_writer *json, const dot1xAuthSessionStats *r);

// JSON documents: a show is {"<table>":<object>}, a list [<object>,...];
// rows go out as they are rendered. Both return json_flush's result.
using ugw_json_record_fn = void (*)(json_writer *json, const void *record);
int render_json_show(FILE *out, const char *table, ugw_json_record_fn render, const void *record);
int render_json_list(FILE *out, ugw_json_record_fn render, const void *rows, size_t count,
                     size_t row_size);

// A typed renderer as a slot's record function:
// ugw_json_record<ugw_flow_rec, render_json_ulmex_flow>. Rows sit at any
// byte offset of a reply: each is copied into a typed value first.
template <class T, void (*Render)(json_writer *, const T *)>
void ugw_json_record(json_writer *json, const void *record)
{
    T r;
    memcpy(&r, record, sizeof r);
    Render(json, &r);
}
