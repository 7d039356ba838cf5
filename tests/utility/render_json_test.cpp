// The JSON renderers: every document parses (jq), its keys come in the order
// the record tables list them, and the value forms hold at their edges.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

#include "common/filter/filter_rule.h"
#include "render_fixture.h"
#include "utility/ugw_render.h"

namespace
{

std::string jq_list(const std::vector<std::string> &keys)
{
    std::string out = "[";
    for (size_t i = 0; i < keys.size(); i++)
        out += (i ? ",\"" : "\"") + keys[i] + "\"";
    return out + "]";
}

void store_inet4(void *stored, const char *addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, addr, &sa.sin_addr);
    memcpy(stored, &sa, sizeof sa);
}

void store_inet6(void *stored, const char *addr, uint16_t port)
{
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(port);
    inet_pton(AF_INET6, addr, &sa.sin6_addr);
    memcpy(stored, &sa, sizeof sa);
}

const std::vector<std::string> traffic7 = {
    "ulmexDownloadPackets", "ulmexUploadPackets", "ulmexDownloadDiscards", "ulmexUploadDiscards",
    "ulmexUploadDrops",     "ulmexDownloadBytes", "ulmexUploadBytes"};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct key_case {
    const char *name;
    std::function<void(json_writer *)> render;
    std::vector<std::string> keys;
};

// One jq run over all the objects: their keys, one line each.
template <size_t N> void expect_keys(const key_case (&cases)[N])
{
    std::string doc = "[";
    for (size_t i = 0; i < N; i++)
        doc += (i ? "," : "") + render_json_capture(cases[i].render);
    doc += "]";
    std::string lines = render_jq(doc, ".[] | keys_unsorted");
    size_t at = 0;
    for (size_t i = 0; i < N; i++) {
        size_t end = lines.find('\n', at);
        EXPECT_EQ(lines.substr(at, end - at), jq_list(cases[i].keys)) << cases[i].name;
        at = end == std::string::npos ? lines.size() : end + 1;
    }
}

class RenderJson : public RenderTest
{
  protected:
    void SetUp() override
    {
        RenderTest::SetUp();
        if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    }
};

TEST_F(RenderJson, GatewayRecordKeysInOrder)
{
    log_cfg logger{};
    logger.level = -1;
    logger.components = 0x11;
    ulmexControl control{};
    ugwd_port_mib port{};
    ugwd_socket_mib socket{};
    ugwd_service_mib service{};
    ugwd_vap_mib vap{};
    ugwd_tunnel_mib tunnel{};
    ugw_flow_rec flow{};
    ugwd_lease_rec lease{};
    ugwd_lease6_rec lease6{};
    ugw_group_rec group{};
    ugw_group6_rec group6{};
    radius_access_record access{};
    ugw_session_rec session{};
    auto module_name = [](unsigned bit) -> const char * { return bit == 0 ? "frlc" : nullptr; };

    key_case cases[] = {
        {"logger",
         [&](json_writer *j) { render_json_ulmex_logger(j, &logger, module_name); },
         {"ulmexLoggerLevel", "ulmexLoggerOptions", "ulmexLoggerModules", "ulmexLoggerTarget"}},
        {"control",
         [&](json_writer *j) { render_json_ulmex_control(j, &control); },
         {"ulmexControlName",        "ulmexLocalInet",       "ulmexRemoteInet",
          "ulmexControlIdentity",    "ulmexControlKey",      "ulmexControlStatus",
          "ulmexConnectTime",        "ulmexCloseTime",       "ulmexLinkCount",
          "ulmexControlRttAvg",      "ulmexControlRttVar",   "ulmexRequestsSent",
          "ulmexRequestsReceived",   "ulmexResponsesSent",   "ulmexResponsesReceived",
          "ulmexRequestRetransmits", "ulmexRequestTimeouts", "ulmexRequestCancels",
          "ulmexUnknownTypes",       "ulmexRequestErrors",   "ulmexResponseErrors",
          "ulmexHandshakeFailures"}},
        {"port",
         [&](json_writer *j) { render_json_ulmex_port(j, &port); },
         {"ulmexPortIfIndex", "ulmexPortInet", "ulmexPortInet6", "ulmexPortConfig",
          "ulmexPortConfig6"}},
        {"socket",
         [&](json_writer *j) { render_json_ulmex_socket(j, &socket); },
         {"ulmexPortIfIndex", "ulmexSockProto", "ulmexSockConfig", "ulmexSockInet",
          "ulmexSockInet6"}},
        {"service", [&](json_writer *j) { render_json_ulmex_service(j, &service); },
         std::vector<std::string>{
             "ulmexServiceId", "ulmexServiceStatus", "ulmexServiceSSID", "ulmexESSTemplate",
             "ulmexInformInterval", "ulmexStartTime", "ulmexRadioBSSIfIndex", "ulmexServiceIfNames",
             "ulmexRadiusNASIdentifier", "ulmexBroadcastMode", "ulmexMulticastMode",
             "ulmexClientIsolation", "ulmexNeighborDiscovery", "ulmexServiceProcessCount",
             "ulmexServiceActiveBSSIDs", "ulmexServiceActiveFlows"} +
             traffic7},
        {"vap", [&](json_writer *j) { render_json_ulmex_service_bss(j, &vap); },
         std::vector<std::string>{"ulmexServiceId", "ulmexServiceBSSID", "ulmexServiceSSID",
                                  "ulmexServiceIfIndex", "ulmexFrequencyBand",
                                  "ulmexServiceActiveFlows", "ulmexStartTime", "ulmexFrlNodeId",
                                  "ulmexFrlBroadcastId"} +
             traffic7},
        {"tunnel", [&](json_writer *j) { render_json_ulmex_tunnel(j, &tunnel); },
         std::vector<std::string>{"ulmexServiceId", "ulmexServiceIfIndex", "ulmexTunnelProto",
                                  "ulmexTunnelVNI", "ulmexRemotePort", "ulmexServiceActiveFlows",
                                  "ulmexStartTime", "ulmexFrlNodeId", "ulmexFrlBroadcastId"} +
             traffic7},
        {"flow",
         [&](json_writer *j) { render_json_ulmex_flow(j, &flow); },
         {"ulmexBSSID",          "ulmexClientMAC",        "ulmexAutzUserName",
          "ulmexRadioId",        "ulmexServiceId",        "ulmexServiceSSID",
          "ulmexVisibility",     "ulmexFrequencyBand",    "ulmexTunnelProto",
          "ulmexLocalPort",      "ulmexRemotePort",       "ulmexFrlFlowId",
          "ulmexFrlBroadcastId", "ulmexFrlProcessId",     "ulmexFrlRouteNodeId",
          "ulmexFrlRadioNodeId", "ulmexFrlServiceNodeId", "ulmexFrlTunnelNodeId",
          "ulmexFrlPmtuNodeId",  "ulmexFrlLimiterNodeId", "ulmexFrlFilterNodeId",
          "ulmexRadioIfIndex",   "ulmexServiceIfIndex",   "ulmexTunnelIfIndex",
          "ulmexInstallTime",    "ulmexConnectTime",      "ulmexAssociateTime",
          "ulmexTouchTime",      "ulmexInstallTimeout",   "ulmexConnectTimeout",
          "ulmexFlowKeepalive",  "ulmexInformInterval",   "ulmexAuthMethod",
          "ulmexCipherSuite",    "ulmexOffloadEnable",    "ulmexDownloadPackets",
          "ulmexUploadPackets",  "ulmexDownloadDiscards", "ulmexUploadDiscards",
          "ulmexDownloadDrops",  "ulmexUploadDrops",      "ulmexDownloadBytes",
          "ulmexUploadBytes",    "ulmexRecvSignal",       "ulmexRecvRate",
          "ulmexSendRate",       "ulmexThroughput"}},
        {"lease",
         [&](json_writer *j) { render_json_ulmex_dhcp_lease(j, &lease); },
         {"ulmexServiceId", "ulmexClientMAC", "ulmexClientName", "ulmexDHCPBroadcast",
          "ulmexDHCPMessageLimit", "ulmexDHCPLeaseTime", "ulmexDHCPLeaseTimeout", "ulmexDHCPLease",
          "ulmexDHCPNetmaskBits"}},
        {"lease6",
         [&](json_writer *j) { render_json_ulmex_ipv6_lease(j, &lease6); },
         {"ulmexServiceId", "ulmexClientMAC", "ulmexClientName", "ulmexIpv6LeaseMethod",
          "ulmexIpv6LeaseTime", "ulmexIpv6LeaseTimeout", "ulmexIpv6Address",
          "ulmexIpv6PrefixLength"}},
        {"group",
         [&](json_writer *j) { render_json_ulmex_group(j, &group); },
         {"ulmexServiceId", "ulmexBSSID", "ulmexRemotePort", "ulmexClientMAC", "ulmexGroupMAC",
          "ulmexGroupReportTime", "ulmexGroupReportTimeout", "ulmexIpAddress"}},
        {"group6",
         [&](json_writer *j) { render_json_ulmex_group6(j, &group6); },
         {"ulmexServiceId", "ulmexBSSID", "ulmexRemotePort", "ulmexClientMAC", "ulmexGroupMAC",
          "ulmexGroupReportTime", "ulmexGroupReportTimeout", "ulmexIpv6Address"}},
        {"autz",
         [&](json_writer *j) { render_json_ulmex_autz(j, &access, nullptr, 0); },
         {"ulmexAutzMaxBandwidthUp", "ulmexAutzMaxBandwidthDown", "ulmexAutzMaxVolumeUp",
          "ulmexAutzMaxVolumeDown", "ulmexAutzMaxDuration", "ulmexAutzUpdateInterval",
          "ulmexAutzTerminationAction", "ulmexAuthentication", "ulmexAutzVlanId",
          "ulmexAutzRedirectUrl", "ulmexAutzCaptivePortal", "ulmexAutzUserName",
          "ulmexAutzChargeableUserId", "ulmexAutzFilterRulesLength", "ulmexAutzFilterRules"}},
        {"session",
         [&](json_writer *j) { render_json_ulmex_session(j, &session); },
         {"ulmexSessId", "ulmexSessMultiId", "ulmexSessLinkCount", "ulmexSessStartTime",
          "ulmexSessInputPackets", "ulmexSessOutputPackets", "ulmexSessInputOctets",
          "ulmexSessOutputOctets"}},
    };
    expect_keys(cases);
}

TEST_F(RenderJson, GatewayValueEdges)
{
    ulmexControl control{};
    strcpy(control.ulmexControlName, "ctl \"one\"");
    store_inet4(&control.ulmexLocalInet, "192.0.2.1", 6727);
    control.ulmexRemoteInet.sa.sa_family = AF_UNIX;
    memset(control.ulmexControlKey, 0xab, sizeof control.ulmexControlKey);
    control.ulmexControlKeyLength = 9;
    control.ulmexControlStatus = 2;
    control.ulmexConnectTime = 5;
    std::string doc =
        render_json_capture([&](json_writer *j) { render_json_ulmex_control(j, &control); });
    EXPECT_EQ(render_jq(doc, "[.ulmexControlName,.ulmexLocalInet,.ulmexRemoteInet,.ulmexControlKey,"
                             ".ulmexControlStatus,.ulmexConnectTime,.ulmexCloseTime]"),
              "[\"ctl \\\"one\\\"\",{\"ulmexAddressType\":\"ipv4\",\"ulmexAddress\":\"192.0.2.1\","
              "\"ulmexPortNumber\":6727},{\"ulmexAddressType\":\"unknown\",\"ulmexAddress\":\"\","
              "\"ulmexPortNumber\":null},\"aba\",\"running\",1700000005,null]");
    control.ulmexControlKeyLength = 300;
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_control(j, &control); });
    EXPECT_EQ(render_jq(doc, ".ulmexControlKey | length"), "64");

    ugw_flow_rec flow{};
    flow.ulmexRecvSignal[0] = -70;
    flow.ulmexRecvSignal[2] = -60;
    flow.ulmexRecvRate[0] = 1000;
    flow.ulmexRecvRate[2] = 500;
    flow.ulmexFrequencyBand = -1;
    flow.ulmexTunnelProto = 0;
    flow.ulmexVisibility = 9;
    flow.ulmexAuthMethod = 0x04ac0f00;
    flow.ulmexCipherSuite = 0x04f25000;
    flow.ulmexOffloadEnable = 1;
    flow.ulmexRadioIfIndex = 2;
    flow.ulmexServiceIfIndex = 7;
    strcpy(flow.ulmexAutzUserName, "\x1b[31mred");
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_flow(j, &flow); });
    EXPECT_EQ(render_jq(doc,
                        "[.ulmexRecvSignal,.ulmexRecvRate,.ulmexFrequencyBand,.ulmexTunnelProto,"
                        ".ulmexVisibility,.ulmexAuthMethod,.ulmexCipherSuite,.ulmexOffloadEnable,"
                        ".ulmexRadioIfIndex,.ulmexServiceIfIndex,.ulmexAutzUserName]"),
              "[{\"ulmexMinSignal\":null,\"ulmexMaxSignal\":null,\"ulmexAvgSignal\":null},"
              "{\"ulmexMinRate\":1000,\"ulmexMaxRate\":null,\"ulmexAvgRate\":500},null,null,null,"
              "\"psk-ft\",\"ccmp\",true,\"radio0\",null,\"\\u001b[31mred\"]");

    ugwd_service_mib service{};
    service.mode = 0xf0;
    service.ulmexServiceIfCount = 3;
    service.ulmexServiceIfIndices[0] = 1;
    service.ulmexServiceIfIndices[1] = 42;
    service.ulmexServiceIfIndices[2] = 3;
    service.ulmexESSTemplateLength = 1000;
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_service(j, &service); });
    EXPECT_EQ(render_jq(doc,
                        "[.ulmexBroadcastMode,.ulmexMulticastMode,.ulmexClientIsolation,"
                        ".ulmexNeighborDiscovery,.ulmexServiceIfNames,(.ulmexESSTemplate|length),"
                        ".ulmexRadioBSSIfIndex,.ulmexRadiusNASIdentifier,.ulmexStartTime]"),
              "[null,\"control\",\"device\",\"pass\",[\"eth0\",null,\"tun0\"],256,null,null,null]");

    log_cfg logger{};
    logger.level = 3;
    memcpy(logger.trace_mac, "\x02\0\0\0\0\x01", 6);
    logger.components = 0x80000001;
    doc = render_json_capture([&](json_writer *j) {
        render_json_ulmex_logger(
            j, &logger, [](unsigned bit) -> const char * { return bit == 0 ? "frlc" : nullptr; });
    });
    EXPECT_EQ(doc, "{\"ulmexLoggerLevel\":3,\"ulmexLoggerOptions\":[],\"ulmexLoggerModules\":"
                   "[\"frlc\",null],\"ulmexLoggerTarget\":\"02:00:00:00:00:01\"}");

    radius_access_record access{};
    access.vlan_id = 12;
    strcpy(access.redirect_url, "http://portal/?a=\"b\"&c=\\");
    filter_rule rules[2];
    ASSERT_EQ(filter_rule_parse(&rules[0], "permit in ip from any to 10.0.0.0/8", 0), 0);
    ASSERT_EQ(filter_rule_parse(&rules[1], "deny in ip from any to any", 0), 0);
    access.rule_count = 2;
    doc =
        render_json_capture([&](json_writer *j) { render_json_ulmex_autz(j, &access, rules, 2); });
    EXPECT_EQ(render_jq(doc, "[.ulmexAuthentication,.ulmexAutzTerminationAction,.ulmexAutzVlanId,"
                             ".ulmexAutzRedirectUrl,.ulmexAutzUserName,.ulmexAutzFilterRulesLength,"
                             "(.ulmexAutzFilterRules|length)]"),
              "[null,\"default\",12,\"http://portal/?a=\\\"b\\\"&c=\\\\\",null,2,2]");

    ugwd_lease_rec lease{};
    lease.flags = 0x80 | 24 << 1;
    lease.start = 100;
    strcpy(lease.hostname, "pc\"1\x07");
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_dhcp_lease(j, &lease); });
    EXPECT_EQ(render_jq(doc, "[.ulmexClientName,.ulmexDHCPBroadcast,.ulmexDHCPLeaseTime,"
                             ".ulmexDHCPLeaseTimeout,.ulmexDHCPLease,.ulmexDHCPNetmaskBits]"),
              "[\"pc\\\"1\\u0007\",true,1700000100,null,null,24]");

    ugw_group_rec group{};
    group.ulmexBSSID[5] = 1;
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_group(j, &group); });
    EXPECT_EQ(render_jq(doc, "[.ulmexBSSID,.ulmexRemotePort,.ulmexIpAddress]"),
              "[\"00:00:00:00:00:01\",null,null]");
    ugw_group6_rec group6{};
    store_inet6(group6.ulmexRemotePort, "2001:db8::1", 4789);
    inet_pton(AF_INET6, "ff02::1:3", group6.ulmexIpv6Address);
    doc = render_json_capture([&](json_writer *j) { render_json_ulmex_group6(j, &group6); });
    EXPECT_EQ(render_jq(doc, "[.ulmexBSSID,.ulmexRemotePort.ulmexAddress,.ulmexIpv6Address]"),
              "[null,\"2001:db8::1\",\"ff02::1:3\"]");
}

TEST_F(RenderJson, ShowAndListDocumentsAndEvents)
{
    ugwd_tunnel_mib tunnels[3]{};
    for (int i = 0; i < 3; i++)
        tunnels[i].ulmexTunnelVNI = 100u + static_cast<uint32_t>(i);
    int status = 0;
    std::string doc = render_capture([&](FILE *f) {
        status = render_json_list(f, ugw_json_record<ugwd_tunnel_mib, render_json_ulmex_tunnel>,
                                  tunnels, 3, sizeof tunnels[0]);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(render_jq(doc, "map(.ulmexTunnelVNI)"), "[100,101,102]");
    EXPECT_EQ(render_capture([](FILE *f) {
                  render_json_list(f, ugw_json_record<ugwd_tunnel_mib, render_json_ulmex_tunnel>,
                                   nullptr, 0, sizeof(ugwd_tunnel_mib));
              }),
              "[]");
    doc = render_capture([&](FILE *f) {
        render_json_show(f, "ulmexTunnel",
                         ugw_json_record<ugwd_tunnel_mib, render_json_ulmex_tunnel>, &tunnels[1]);
    });
    EXPECT_EQ(render_jq(doc, "keys_unsorted + [.ulmexTunnel.ulmexTunnelVNI]"),
              "[\"ulmexTunnel\",101]");

    doc = render_json_capture([](json_writer *j) {
        json_open_object(j);
        render_json_ulmex_event(j, 2);
        json_key(j, nullptr, "x");
        json_open_object(j);
        json_close(j);
        render_json_ulmex_event(j, 3);
        json_close(j);
    });
    EXPECT_EQ(doc, "{\"ulmexEvent\":\"stop\",\"x\":{},\"ulmexEvent\":null}");
}

TEST_F(RenderJson, RadiusRecords)
{
    radius_nas_config nas{};
    strcpy(nas.radiusAuthClientIdentifier, "nas-1");
    nas.radiusClientCaching = 1;
    nas.radiusClientRequestPorts = 3;
    std::string doc =
        render_json_capture([&](json_writer *j) { render_json_radius_client_config(j, &nas); });
    EXPECT_EQ(doc, "{\"radiusAuthClientIdentifier\":\"nas-1\",\"radiusClientRequestPorts\":3,"
                   "\"radiusClientCaching\":true}");

    radiusAuthClientServerExtTable auth{};
    auth.radiusAuthServerExtIndex = 1;
    auth.radiusAuthServerInetAddressType = RADIUS_INET_IPV6;
    auth.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "192.0.2.7", auth.radiusAuthClientInetAddress);
    memset(auth.radiusAuthServerSharedSecret, 's', RADIUS_SECRET_SIZE);
    auth.radiusAuthClientServerInetPortNumber = 1812;
    auth.radiusAuthClientExtRoundTripTime = 105;
    auth.radiusAuthClientExtAccessAccepts = 7;
    auth.radiusAuthClientCounterDiscontinuity = RENDER_NOW - 60;
    doc = render_json_capture([&](json_writer *j) { render_json_radius_auth_server(j, &auth); });
    EXPECT_EQ(render_jq(doc, "keys_unsorted"),
              jq_list({"radiusAuthServerExtIndex",
                       "radiusAuthServerInetAddressType",
                       "radiusAuthServerInetAddress",
                       "radiusAuthClientInetAddressType",
                       "radiusAuthClientInetAddress",
                       "radiusAuthClientServerInetPortNumber",
                       "radiusAuthServerSharedSecret",
                       "radiusAuthClientExtRoundTripTime",
                       "radiusAuthClientExtAccessRequests",
                       "radiusAuthClientExtAccessRetransmissions",
                       "radiusAuthClientExtAccessAccepts",
                       "radiusAuthClientExtAccessRejects",
                       "radiusAuthClientExtAccessChallenges",
                       "radiusAuthClientExtMalformedAccessResponses",
                       "radiusAuthClientExtBadAuthenticators",
                       "radiusAuthClientExtPendingRequests",
                       "radiusAuthClientExtPendingTransactions",
                       "radiusAuthClientExtTimeouts",
                       "radiusAuthClientExtUnknownTypes",
                       "radiusAuthClientInvalidServerAddresses",
                       "radiusAuthClientExtPacketsDropped",
                       "radiusAuthClientCounterDiscontinuity"}));
    EXPECT_EQ(render_jq(doc,
                        "[.radiusAuthServerInetAddressType,.radiusAuthServerInetAddress,"
                        ".radiusAuthClientInetAddress,.radiusAuthClientExtRoundTripTime,"
                        "(.radiusAuthServerSharedSecret|length),.radiusAuthClientExtAccessAccepts,"
                        ".radiusAuthClientCounterDiscontinuity]"),
              "[\"ipv6\",null,\"192.0.2.7\",105,65,7,60]");

    radiusAuthClientServerExtTable unset{};
    doc = render_json_capture([&](json_writer *j) { render_json_radius_auth_server(j, &unset); });
    EXPECT_EQ(render_jq(doc, "[.radiusAuthServerInetAddressType,.radiusAuthServerInetAddress,"
                             ".radiusAuthClientInetAddressType,.radiusAuthClientInetAddress,"
                             ".radiusAuthClientCounterDiscontinuity]"),
              "[\"unknown\",\"\",\"unknown\",\"\",null]");
    unset.radiusAuthServerInetAddressType = 7;
    doc = render_json_capture([&](json_writer *j) { render_json_radius_auth_server(j, &unset); });
    EXPECT_EQ(render_jq(doc, ".radiusAuthServerInetAddressType"), "null");

    radiusAccClientServerExtTable acct{};
    doc = render_json_capture([&](json_writer *j) { render_json_radius_acct_server(j, &acct); });
    EXPECT_EQ(
        render_jq(doc, "keys_unsorted"),
        jq_list({"radiusAccServerExtIndex", "radiusAccServerInetAddressType",
                 "radiusAccServerInetAddress", "radiusAccClientInetAddressType",
                 "radiusAccClientInetAddress", "radiusAccClientServerInetPortNumber",
                 "radiusAccServerSharedSecret", "radiusAccClientExtRequests",
                 "radiusAccClientExtRetransmissions", "radiusAccClientExtResponses",
                 "radiusAccClientExtMalformedResponses", "radiusAccClientExtBadAuthenticators",
                 "radiusAccClientExtPendingRequests", "radiusAccClientExtTimeouts",
                 "radiusAccClientExtUnknownTypes", "radiusAccClientInvalidServerAddresses",
                 "radiusAccClientExtPacketsDropped", "radiusAccClientCounterDiscontinuity"}));

    radiusDynAuthClientTable das{};
    das.radiusDynAuthServCoAAcks = 4;
    doc = render_json_capture([&](json_writer *j) { render_json_radius_dynauth_client(j, &das); });
    EXPECT_EQ(render_jq(doc, "keys_unsorted"),
              jq_list({"radiusDynAuthClientIndex",
                       "radiusDynAuthClientAddressType",
                       "radiusDynAuthClientAddress",
                       "radiusDynAuthServerAddressType",
                       "radiusDynAuthServerAddress",
                       "radiusDynAuthSharedSecret",
                       "radiusDynAuthServDisconRequests",
                       "radiusDynAuthServDupDisconRequests",
                       "radiusDynAuthServDisconAcks",
                       "radiusDynAuthServDisconNaks",
                       "radiusDynAuthServDisconNakSessNoContext",
                       "radiusDynAuthServDisconUserSessRemoved",
                       "radiusDynAuthServMalformedDisconRequests",
                       "radiusDynAuthServDisconBadAuthenticators",
                       "radiusDynAuthServerDisconInvalidClientAddresses",
                       "radiusDynAuthServDisconPacketsDropped",
                       "radiusDynAuthServCoARequests",
                       "radiusDynAuthServCoAAuthOnlyRequests",
                       "radiusDynAuthServDupCoARequests",
                       "radiusDynAuthServCoAAcks",
                       "radiusDynAuthServCoANaks",
                       "radiusDynAuthServCoANakAuthOnlyRequests",
                       "radiusDynAuthServCoANakSessNoContext",
                       "radiusDynAuthServCoAUserSessChanged",
                       "radiusDynAuthServMalformedCoARequests",
                       "radiusDynAuthServCoABadAuthenticators",
                       "radiusDynAuthServCoAPacketsDropped",
                       "radiusDynAuthServerCoAInvalidClientAddresses",
                       "radiusDynAuthServUnknownTypes",
                       "radiusDynAuthServerCounterDiscontinuity"}));
    EXPECT_EQ(render_jq(doc, ".radiusDynAuthServCoAAcks"), "4");
    EXPECT_EQ(inet_type_to_family(1), AF_INET);
    EXPECT_EQ(inet_type_to_family(2), AF_INET6);
    EXPECT_EQ(inet_type_to_family(3), 0);
}

TEST_F(RenderJson, Dot1xRecords)
{
    dot1xAuthConfig config = dot1x_config_template;
    config.states = 5 << 4;
    dot1xAuthStats stats{};
    stats.dot1xAuthEapolFramesRx = 3;
    dot1xAuthDiag diag{};
    dot1xAuthSessionStats session{};
    session.method_cause[0] = 2 << 6;   // remote
    session.method_cause[1] = 999 >> 2; // not terminated yet
    session.method_cause[2] = (999 & 3) << 6;
    strcpy(session.dot1xAuthSessionUserName, "bob@example");

    key_case cases[] = {
        {"config",
         [&](json_writer *j) { render_json_dot1x_auth_config(j, &config); },
         {"dot1xAuthPaeState", "dot1xAuthBackendAuthState", "dot1xAuthAdminControlledDirections",
          "dot1xAuthOperControlledDirections", "dot1xAuthAuthControlledPortStatus",
          "dot1xAuthAuthControlledPortControl", "dot1xAuthReAuthEnabled", "dot1xAuthKeyTxEnabled",
          "dot1xAuthServerTimeout", "dot1xAuthQuietPeriod", "dot1xAuthReAuthMax",
          "dot1xAuthReAuthPeriod"}},
        {"stats",
         [&](json_writer *j) { render_json_dot1x_auth_stats(j, &stats); },
         {"dot1xAuthEapolFramesRx", "dot1xAuthEapolFramesTx", "dot1xAuthEapolStartFramesRx",
          "dot1xAuthEapolLogoffFramesRx", "dot1xAuthEapolRespIdFramesRx",
          "dot1xAuthEapolRespFramesRx", "dot1xAuthEapolReqIdFramesTx", "dot1xAuthEapolReqFramesTx",
          "dot1xAuthInvalidEapolFramesRx", "dot1xAuthEapLengthErrorFramesRx",
          "dot1xAuthLastEapolFrameVersion", "dot1xAuthLastEapolFrameSource"}},
        {"diag",
         [&](json_writer *j) { render_json_dot1x_auth_diag(j, &diag); },
         {"dot1xAuthEntersConnecting", "dot1xAuthEapLogoffsWhileConnecting",
          "dot1xAuthEntersAuthenticating", "dot1xAuthAuthSuccessWhileAuthenticating",
          "dot1xAuthAuthTimeoutsWhileAuthenticating", "dot1xAuthAuthFailWhileAuthenticating",
          "dot1xAuthAuthEapStartsWhileAuthenticating", "dot1xAuthAuthEapLogoffWhileAuthenticating",
          "dot1xAuthAuthReauthsWhileAuthenticated", "dot1xAuthAuthEapStartsWhileAuthenticated",
          "dot1xAuthAuthEapLogoffWhileAuthenticated", "dot1xAuthBackendResponses",
          "dot1xAuthBackendAccessChallenges", "dot1xAuthBackendOtherRequestsToSupplicant",
          "dot1xAuthBackendAuthSuccesses", "dot1xAuthBackendAuthFails"}},
        {"session",
         [&](json_writer *j) { render_json_dot1x_auth_session_stats(j, &session); },
         {"dot1xAuthSessionOctetsRx", "dot1xAuthSessionOctetsTx", "dot1xAuthSessionFramesRx",
          "dot1xAuthSessionFramesTx", "dot1xAuthSessionId", "dot1xAuthSessionAuthenticMethod",
          "dot1xAuthSessionTerminateCause", "dot1xAuthSessionTime", "dot1xAuthSessionUserName"}},
    };
    expect_keys(cases);
    std::string doc =
        render_json_capture([&](json_writer *j) { render_json_dot1x_auth_config(j, &config); });
    EXPECT_EQ(render_jq(doc, "[.dot1xAuthPaeState,.dot1xAuthBackendAuthState,"
                             ".dot1xAuthAuthControlledPortControl,.dot1xAuthKeyTxEnabled,"
                             ".dot1xAuthReAuthPeriod]"),
              "[\"authenticated\",null,\"auto\",true,3600]");
    // Port control codes are the record's: 1 forces the port unauthorized.
    for (auto [code, text] : {std::pair{DOT1X_CONTROL_FORCE_UNAUTHORIZED, "\"forceUnauthorized\""},
                              std::pair{DOT1X_CONTROL_FORCE_AUTHORIZED, "\"forceAuthorized\""}}) {
        dot1xAuthConfig forced = config;
        forced.port = static_cast<uint8_t>((forced.port & ~DOT1X_PORT_CONTROL) | code << 2);
        doc =
            render_json_capture([&](json_writer *j) { render_json_dot1x_auth_config(j, &forced); });
        EXPECT_EQ(render_jq(doc, ".dot1xAuthAuthControlledPortControl"), text);
    }
    doc = render_json_capture(
        [&](json_writer *j) { render_json_dot1x_auth_session_stats(j, &session); });
    EXPECT_EQ(render_jq(doc, "[.dot1xAuthSessionAuthenticMethod,.dot1xAuthSessionTerminateCause,"
                             ".dot1xAuthSessionUserName]"),
              "[\"remoteAuthServer\",\"notTerminatedYet\",\"bob@example\"]");
}

} // namespace
