// The text renderers against outputs written by hand from the record tables.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

#include "common/filter/filter_rule.h"
#include "render_fixture.h"
#include "utility/ugw_render.h"

namespace
{

// One "show" line: the label right-aligned in 22 columns.
std::string row(const std::string &label, const std::string &value)
{
    std::string l = label.empty() ? "" : label + ": ";
    return std::string(l.size() < 22 ? 22 - l.size() : 0, ' ') + l + value + "\n";
}

// One 802.1X line: the label in 20 columns, then ": ".
std::string row20(const std::string &label, const std::string &value)
{
    return std::string(20 - label.size(), ' ') + label + ": " + value + "\n";
}

void store_inet4(void *stored, const char *addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    inet_pton(AF_INET, addr, &sa.sin_addr);
    memcpy(stored, &sa, sizeof sa);
}

const uint8_t uuid[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                          0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10};
const char *const uuid_text = "01020304-0506-0708-090a-0b0c0d0e0f10";

using RenderText = RenderTest;

TEST_F(RenderText, FlowWithoutRadioDevice)
{
    ugw_flow_rec f{};
    memcpy(f.ulmexBSSID, "\x02\0\0\0\0\x01", 6);
    memcpy(f.ulmexClientMAC, "\x02\0\0\0\0\x02", 6);
    memcpy(f.ulmexRadioId, "\x02\0\0\0\0\x03", 6);
    memcpy(f.ulmexServiceId, uuid, 16);
    memcpy(f.ulmexSSIDValue, "guest\x1b", 6);
    f.ulmexSSIDLength = 6;
    strcpy(f.ulmexAutzUserName, "alice\x1b[2J");
    f.ulmexFrequencyBand = 2;
    f.ulmexTunnelProto = 2;
    f.ulmexServiceIfIndex = 1;
    f.ulmexTunnelIfIndex = 3;
    store_inet4(f.ulmexLocalPort, "192.0.2.1", 4789);
    f.ulmexInstallTime = RENDER_NOW - (86400 + 3600 + 60 + 1);
    f.ulmexAssociateTime = RENDER_NOW - 3600;
    f.ulmexDownloadBytes = 1536;
    f.ulmexDownloadPackets = 2;
    f.ulmexUploadDrops = 1;
    f.ulmexRecvSignal[0] = -70; // not shown without a radio device
    std::string expect =
        row("BSSID", "02:00:00:00:00:01") + row("Client", "02:00:00:00:00:02") +
        row("User Name", "alice.[2J") + row("Radio ID", "02:00:00:00:00:03") +
        row("Service ID", uuid_text) + row("SSID", "guest.") + row("Frequency Band", "2.4 GHz") +
        row("Tunnel Protocol", "VXLAN") + row("Radio Device", "-") + row("Service Device", "eth0") +
        row("Tunnel Device", "tun0") + row("Local Port", "192.0.2.1:4789") +
        row("Remote Port", "-") + row("Inform Interval", "-") +
        row("Installed Time", "1 day, 1 hour, 1 minute and 1 second") + row("Connected Time", "-") +
        row("Associated Time", "1 hour") + row("Download Volume", "1.50 KiB in 2 packets") +
        row("Upload Volume", "0 B in 0 packets") + row("Upload Drops", "100.0%");
    EXPECT_EQ(render_capture([&](FILE *out) { render_text_ulmex_flow(out, &f); }), expect);

    // With a radio device: drops, signal and rates; a zero minimum prints "-".
    f.ulmexRadioIfIndex = 2;
    f.ulmexServiceIfIndex = 0;
    f.ulmexDownloadDrops = 2;
    f.ulmexRecvSignal[1] = -40;
    f.ulmexRecvSignal[2] = -60;
    f.ulmexRecvRate[0] = 500;
    f.ulmexRecvRate[1] = 1500000;
    f.ulmexRecvRate[2] = 54000000;
    f.ulmexSendRate[1] = 1;
    f.ulmexSendRate[2] = 1;
    std::string out = render_capture([&](FILE *o) { render_text_ulmex_flow(o, &f); });
    std::string tail = row("Download Drops", "50.0%") +
                       row("Signal Level", "-60 avg -70 min -40 max dBm") +
                       row("Recv Data Rate", "avg 54.0 Mbit/s min 500 bit/s max 1.50 Mbit/s") +
                       row("Send Data Rate", "-") + row("Send Throughput", "-");
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("Upload Drops"), std::string::npos);
}

TEST_F(RenderText, AuthorizationAndSession)
{
    radius_access_record a{};
    a.bandwidth_up = 2000000;
    a.volume_down = 1048576;
    a.session_timeout = 3600;
    a.termination_action = 1;
    a.acct_authentic = 1;
    a.vlan_id = 42;
    strcpy(a.redirect_url, "http://portal/\x9b"
                           "31m");
    strcpy(a.user_name, "alice");
    a.rule_count = 3;
    filter_rule rules[3];
    const char *texts[3] = {"permit in ip from any to 10.0.0.0/8", "deny in ip from any to any",
                            "permit out ip from any to any"};
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(filter_rule_parse(&rules[i], texts[i], 0), 0);
    std::string head = row("Max Bandwidth Up", "2.00 Mbit/s") + row("Max Bandwidth Down", "-") +
                       row("Max Volume Up", "-") + row("Max Volume Down", "1.00 MiB") +
                       row("Max Duration", "1 hour") + row("Update Interval", "-") +
                       row("Termination Action", "Request") + row("Authentication", "RADIUS") +
                       row("802.1Q VLAN Id", "42") + row("Redirect URL", "http://portal/.31m") +
                       row("Captive Portal", "") + row("User Name", "alice") +
                       row("Chargeable User Id", "");
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_autz(o, &a, rules, 3); }),
              head + row("IP Filter Rules", texts[0]) + row("", texts[1]) + row("", texts[2]));
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_autz(o, &a, nullptr, 0); }),
              head + row("# IP Filter Rules", "3"));

    ugw_session_rec s{};
    strcpy(s.ulmexSessId, "0000002a");
    strcpy(s.ulmexSessMultiId, "0000002b");
    s.ulmexSessLinkCount = 1;
    s.ulmexSessStartTime = RENDER_NOW - 90;
    s.ulmexSessOutputOctets = 2048;
    s.ulmexSessOutputPackets = 4;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_session(o, &s); }),
              row("Session Id", "0000002a") + row("Session Group Id", "0000002b") +
                  row("Session Links", "1") + row("Session Duration", "1 minute and 30 seconds") +
                  row("Session Input", "0 B in 0 packets") +
                  row("Session Output", "2.00 KiB in 4 packets"));
}

TEST_F(RenderText, PortsSocketsAndControllers)
{
    ugwd_socket_mib gre{};
    gre.ulmexPortIfIndex = 1;
    gre.ulmexSockProto = 4;
    gre.ulmexSockConfig = 4789;
    inet_pton(AF_INET, "192.0.2.9", &gre.ulmexSockInet.sin_addr);
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_socket(o, &gre); }),
              row("Device", "eth0") + row("Protocol", "GRE") + row("IP Address", "192.0.2.9") +
                  row("IPv6 Address", "-"));
    ugwd_socket_mib vxlan{};
    vxlan.ulmexPortIfIndex = 9;
    vxlan.ulmexSockProto = 2;
    vxlan.ulmexSockConfig = 4789;
    vxlan.ulmexSockInet.sin_family = AF_INET;
    vxlan.ulmexSockInet.sin_port = htons(4789);
    inet_pton(AF_INET, "192.0.2.9", &vxlan.ulmexSockInet.sin_addr);
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_socket(o, &vxlan); }),
              row("Device", "-") + row("Protocol", "VXLAN") + row("UDP Port Config", "4789") +
                  row("UDP/IP Address", "192.0.2.9:4789") + row("UDP/IPv6 Address", "-"));

    ulmexControl c{};
    strcpy(c.ulmexControlName, "ctl.example");
    c.ulmexControlStatus = 2;
    c.ulmexConnectTime = RENDER_NOW - (3 * 86400 + 4 * 3600 + 5 * 60);
    c.ulmexControlKeyLength = 9;
    c.ulmexControlKey[0] = 0xab;
    c.ulmexControlKey[1] = 0xcd;
    c.ulmexControlRttAvg = 12;
    c.ulmexControlRttVar = 3;
    c.ulmexRequestsSent = 5;
    c.ulmexHandshakeFailures = 1;
    std::string counters =
        row("Sent Requests", "5") + row("Received Requests", "0") + row("Sent Responses", "0") +
        row("Received Responses", "0") + row("Retransmits", "0") + row("Timeouts", "0") +
        row("Cancellations", "0") + row("Unknown Types", "0") + row("Bad Requests", "0") +
        row("Bad Responses", "0") + row("Link Count", "0") + row("Handshake Failures", "1");
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_control(o, &c); }),
              row("Controller", "ctl.example") + row("Address", "-") + row("Control Port", "-") +
                  row("Fingerprint", std::string(64, '0')) + row("Pinned Key", "abc") +
                  row("Status", "3d4h5m") + row("Roundtrip Time", "12 ms dev 3 ms") + counters);
}

TEST_F(RenderText, LeasesAndServices)
{
    ugwd_lease_rec l{};
    memcpy(l.mac, "\x02\0\0\0\0\x05", 6);
    strcpy(l.hostname, "pc\x1b]0;owned\x07");
    memcpy(l.uuid, uuid, 16);
    inet_pton(AF_INET, "10.1.2.3", l.addr);
    l.flags = 24 << 1;
    l.start = RENDER_NOW - 120;
    l.lease_time = 86400;
    l.max_msg_size = 1500;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_dhcp_lease(o, &l); }),
              row("Client", "02:00:00:00:00:05") + row("Client Name", "pc.]0;owned.") +
                  row("Service ID", uuid_text) + row("Client Lease", "10.1.2.3/24") +
                  row("Lease Time", "2 minutes") + row("Lease Timeout", "1 day") +
                  row("DHCP Message Size", "1500"));

    ugwd_service_mib s{};
    memcpy(s.ulmexServiceId, uuid, 16);
    memcpy(s.ulmexServiceSSID.ulmexSSIDValue, "corp", 4);
    s.ulmexServiceSSID.length = 4;
    static const uint8_t ess[] = {221, 2, 0xaa, 0xbb, 45, 0};
    memcpy(s.ulmexESSTemplate, ess, sizeof ess);
    s.ulmexESSTemplateLength = sizeof ess;
    s.mode = 2 << 6 | 3 << 4 | 1 << 2 | 3;
    s.ulmexServiceProcessCount = 4;
    s.ulmexServiceActiveBSSIDs = 2;
    s.ulmexServiceActiveFlows = 9;
    s.ulmexInformInterval = 30;
    s.ulmexUploadPackets = 3;
    s.ulmexUploadDrops = 1;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_service(o, &s); }),
              row("Service ID", uuid_text) + row("SSID", "corp") + row("ESS Elements", "221,45") +
                  row("Broadcast Forward", "Control") + row("Multicast Forward", "Control") +
                  row("Neighbor Discovery", "Proxy") + row("Client Isolation", "Service") +
                  row("Dataplane Cores", "4") + row("Active # BSSIDs", "2") +
                  row("Active # Flows", "9") + row("Inform Interval", "30 seconds") +
                  row("Download Volume", "0 B in 0 packets") +
                  row("Upload Volume", "0 B in 3 packets") + row("Upload Drops", "25.0%"));
}

TEST_F(RenderText, TunnelsAndLoggerSettings)
{
    ugwd_tunnel_mib t{};
    memcpy(t.ulmexServiceId, uuid, 16);
    t.ulmexTunnelProto = 3;
    t.ulmexTunnelVNI = 5000;
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_port = htons(6081);
    inet_pton(AF_INET6, "2001:db8::2", &peer.sin6_addr);
    memcpy(t.ulmexRemotePort, &peer, sizeof peer);
    t.ulmexServiceIfIndex = 1;
    t.ulmexServiceActiveFlows = 2;
    t.ulmexStartTime = RENDER_NOW - 2 * 86400;
    t.traffic.ulmexUploadBytes = 10;
    t.traffic.ulmexUploadPackets = 1;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_ulmex_tunnel(o, &t); }),
              row("Service ID", uuid_text) + row("Tunnel Protocol", "Geneve") +
                  row("Tunnel VNI", "5000") + row("Remote Port", "[2001:db8::2]:6081") +
                  row("Device", "eth0") + row("Active # Flows", "2") +
                  row("Running Time", "2 days") + row("Download Volume", "0 B in 0 packets") +
                  row("Upload Volume", "10 B in 1 packets") + row("Upload Drops", "0.0%"));

    log_cfg l{};
    l.level = -1;
    l.format = 0x01 | 0x04 | 0x80;
    l.components = 0x5;
    EXPECT_EQ(render_capture([&](FILE *o) {
                  render_text_ulmex_logger(o, &l, [](unsigned bit) -> const char * {
                      return bit == 0 ? "frlc" : bit == 2 ? "ipc" : nullptr;
                  });
              }),
              row("Logger Level", "-1") + row("Logger Options", "pid time ") +
                  row("Logger Modules", "frlc ipc") + row("Logger Target", "00:00:00:00:00:00"));
}

TEST_F(RenderText, RadiusRows)
{
    radius_nas_config nas{};
    strcpy(nas.radiusAuthClientIdentifier, "nas-1");
    nas.radiusClientCaching = 1;
    nas.radiusClientRequestPorts = 3;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_radius_client_config(o, &nas); }),
              row("NAS Identifier", "nas-1") + row("# Request Ports", "3") +
                  row("Access Caching", "Enabled"));

    radiusAuthClientServerExtTable unset{};
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_radius_auth_server(o, &unset); }), "");
    radiusDynAuthClientTable das_unset{};
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_radius_dynauth_client(o, &das_unset); }),
              "");

    radiusAccClientServerExtTable acct{};
    acct.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "192.0.2.5", acct.radiusAccServerInetAddress);
    acct.radiusAccClientInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "192.0.2.7", acct.radiusAccClientInetAddress);
    strcpy(acct.radiusAccServerSharedSecret, "s3cret");
    acct.radiusAccClientServerInetPortNumber = 1813;
    acct.radiusAccClientExtRoundTripTime = 105;
    acct.radiusAccClientExtResponses = 6;
    acct.radiusAccClientCounterDiscontinuity = RENDER_NOW - 3 * 3600;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_radius_acct_server(o, &acct); }),
              row("Acct Shared Secret", "s3cret") + row("Acct Server", "192.0.2.5:1813") +
                  row("Acct Client", "192.0.2.7") + row("Acct Server RTT", "1.05s") +
                  row("Acct Requests", "0") + row("Acct Retransmits", "0") +
                  row("Acct Responses", "6") + row("Bad Responses", "0") +
                  row("Bad Authenticators", "0") + row("Pending Requests", "0") +
                  row("Request Timeouts", "0") + row("Unknown Types", "0") +
                  row("Unknown Source", "0") + row("Packets Dropped", "0") +
                  row("Counter Discont", "3h"));
}

TEST_F(RenderText, Dot1xTables)
{
    dot1xAuthConfig config = dot1x_config_template;
    config.states = 5 << 4;
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_dot1x_auth_config(o, &config); }),
              row20("802.1X PAE State", "Authenticated") + row20("802.1X Backend State", "") +
                  row20("802.1X Admin Dirs", "Both") + row20("802.1X Oper Dirs", "Both") +
                  row20("802.1X Port Status", "") + row20("802.1X Port Control", "Auto") +
                  row20("802.1X Reauth", "Disabled") + row20("802.1X Key Tx", "Enabled") +
                  row20("802.1X Srv Timeout", "30") + row20("802.1X Quiet Period", "60") +
                  row20("802.1X Reauth Max", "2") + row20("802.1X Reauth Period", "3600"));
    EXPECT_EQ(
        render_capture([&](FILE *o) { render_text_dot1x_auth_config(o, &config); }).substr(0, 24),
        "    802.1X PAE State: Au");

    dot1xAuthSessionStats s{};
    s.dot1xAuthSessionOctetsRx = 5000000000ull;
    strcpy(s.dot1xAuthSessionId, "00112233445566778899aabbccddeeff");
    s.method_cause[0] = 1 << 6 | 0; // local; cause 1 (supplicantLogoff) = 0b0000000000000001
    s.method_cause[2] = 1 << 6;
    s.dot1xAuthSessionTime = 77;
    strcpy(s.dot1xAuthSessionUserName, "eve\x1b[0m");
    EXPECT_EQ(render_capture([&](FILE *o) { render_text_dot1x_auth_session_stats(o, &s); }),
              row20("802.1X Rx Octets", "5000000000") + row20("802.1X Tx Octets", "0") +
                  row20("802.1X Rx Frames", "0") + row20("802.1X Tx Frames", "0") +
                  row20("802.1X Session Id", "00112233445566778899aabbccddeeff") +
                  row20("802.1X Auth Method", "LocalAuthServer") +
                  row20("802.1X Term Cause", "SupplicantLogoff") +
                  row20("802.1X Session Time", "77") + row20("802.1X User Name", "eve.[0m"));
}

} // namespace
