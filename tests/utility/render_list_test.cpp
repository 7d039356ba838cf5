// The list tables and abbreviated lines of the gateway's objects, against
// golden lines written from the tables' formats; the JSON documents of the
// filter and hostset slots through jq and Python's reader.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "render_list_fixture.h"
#include "common/log.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_list.h"

namespace
{

const std::string RULE = std::string(80, '-') + "\n";

class RenderList : public RenderTest
{
  protected:
    // The text table of the rows, and their abbreviated lines.
    template <class T> std::string text(unsigned slot, const std::vector<T> &rows)
    {
        slot_result r = slot_run(FORM_TEXT, slot, slot_rows(rows).args());
        EXPECT_EQ(r.rc, 0) << slot;
        return r.out;
    }
    template <class T> std::string abbreviated(unsigned slot, const std::vector<T> &rows)
    {
        slot_result r = slot_run(FORM_SHORT, slot, slot_rows(rows).args());
        EXPECT_EQ(r.rc, 0) << slot;
        return r.out;
    }
};

void set_sin(void *stored, const char *addr, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, addr, &sin.sin_addr);
    memcpy(stored, &sin, sizeof sin);
}

void set_sin6(void *stored, const char *addr, uint16_t port)
{
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    inet_pton(AF_INET6, addr, &sin6.sin6_addr);
    memcpy(stored, &sin6, sizeof sin6);
}

void set_mac(uint8_t mac[6], uint8_t first, uint8_t last)
{
    const uint8_t m[6] = {first, 0, 0, 0, 0, last};
    memcpy(mac, m, 6);
}

void set_uuid(uint8_t uuid[16], uint8_t last)
{
    const uint8_t u[16] = {0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33,
                           0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, last};
    memcpy(uuid, u, 16);
}

} // namespace

// An empty list is its header and rule; names are cut to their columns, a
// missing address and key print "-", 1234 ms of round trip print 1.23.
TEST_F(RenderList, ControllersPortsSocketsAndNases)
{
    EXPECT_EQ(text(2, std::vector<ulmexControl>{}),
              "Name                     Address                                 Key  RTT Status\n" +
                  RULE);
    std::vector<ulmexControl> ctl(2);
    strcpy(ctl[0].ulmexControlName, "ctl.example");
    ctl[0].ulmexControlRttAvg = 1234;
    strcpy(ctl[1].ulmexControlName, "a-controller-name-that-is-long");
    set_sin(&ctl[1].ulmexRemoteInet, "192.0.2.1", 5246);
    ctl[1].ulmexControlKeyLength = 256;
    ctl[1].ulmexControlRttAvg = 50;
    ctl[1].ulmexControlStatus = 2;
    ctl[1].ulmexConnectTime = RENDER_NOW - 90;
    EXPECT_EQ(
        text(2, ctl),
        "Name                     Address                                 Key  RTT Status\n" +
            RULE +
            "ctl.example              -                                         - 1.23 config\n"
            "a-controller-name-that-i 192.0.2.1                               256 0.05 1m30s\n");
    EXPECT_EQ(abbreviated(2, ctl), "ctl.example\na-controller-name-that-is-long\n");

    std::vector<ugwd_port_mib> ports(2);
    ports[0].ulmexPortIfIndex = 1;
    inet_pton(AF_INET, "192.0.2.2", ports[0].ulmexPortInet);
    ports[1].ulmexPortIfIndex = 9; // no such interface
    inet_pton(AF_INET6, "2001:db8::2", ports[1].ulmexPortInet6);
    EXPECT_EQ(text(4, ports), "Interface        IP-Address             IPv6-Address\n" + RULE +
                                  "eth0             192.0.2.2              -\n"
                                  "                 -                      2001:db8::2\n");
    EXPECT_EQ(abbreviated(4, ports), "eth0\n");

    std::vector<ugwd_socket_mib> socks(2);
    socks[0].ulmexSockProto = 2;
    socks[0].ulmexSockConfig = 4789;
    set_sin(&socks[0].ulmexSockInet, "127.0.0.1", 4789);
    socks[1].ulmexSockProto = 4;
    inet_pton(AF_INET, "192.0.2.9", &socks[1].ulmexSockInet.sin_addr);
    inet_pton(AF_INET6, "2001:db8::9", &socks[1].ulmexSockInet6.sin6_addr);
    EXPECT_EQ(text(6, socks), "Proto     UDP  IP-Address             IPv6-Address\n" + RULE +
                                  "VXLAN    4789  127.0.0.1:4789         -\n"
                                  "GRE         -  192.0.2.9              2001:db8::9\n");
    EXPECT_EQ(abbreviated(6, socks), "VXLAN\nGRE\n");

    std::vector<radius_nas_config> nases(1);
    memset(nases[0].radiusAuthClientIdentifier, 'n', 70);
    nases[0].radiusClientCaching = 1;
    nases[0].radiusClientRequestPorts = 3;
    EXPECT_EQ(text(8, nases),
              "Identifier                                                           Ports Cache\n" +
                  RULE + std::string(67, 'n') + "      3   yes\n");
    EXPECT_EQ(abbreviated(8, nases), std::string(70, 'n') + "\n");
}

// Auth comes from the first known AKM of the template's RSN or WPA element
// and is "-" when an element overruns the template; a running service shows
// the age of its start.
TEST_F(RenderList, Services)
{
    const uint8_t rsn_eap[] = {48,   20,   1, 0, 0, 0x0f, 0xac, 4,    1, 0, 0,
                               0x0f, 0xac, 4, 1, 0, 0,    0x0f, 0xac, 1, 0, 0};
    const uint8_t wpa_psk[] = {221, 22, 0, 0x50, 0xf2, 1, 1, 0, 0, 0x50, 0xf2, 2,
                               1,   0,  0, 0x50, 0xf2, 2, 1, 0, 0, 0x50, 0xf2, 2};
    const uint8_t overrun[] = {0, 4, 'o', 'd', 'd', '!', 48, 200, 1, 0};
    std::vector<ugwd_service_mib> s(3);
    const struct {
        const char *ssid;
        const uint8_t *ess;
        size_t len;
        uint32_t status;
    } in[] = {{"corp", rsn_eap, sizeof rsn_eap, 2},
              {"home", wpa_psk, sizeof wpa_psk, 1},
              {"odd", overrun, sizeof overrun, 0}};
    for (size_t i = 0; i < 3; i++) {
        set_uuid(s[i].ulmexServiceId, static_cast<uint8_t>(0x55 + i));
        memcpy(s[i].ulmexServiceSSID.ulmexSSIDValue, in[i].ssid, strlen(in[i].ssid));
        s[i].ulmexServiceSSID.length = static_cast<uint8_t>(strlen(in[i].ssid));
        memcpy(s[i].ulmexESSTemplate, in[i].ess, in[i].len);
        s[i].ulmexESSTemplateLength = static_cast<uint32_t>(in[i].len);
        s[i].ulmexServiceStatus = in[i].status;
        s[i].ulmexStartTime = RENDER_NOW - 120;
    }
    // A length beyond the template is walked only within it.
    s[1].ulmexESSTemplateLength = 100000;
    EXPECT_EQ(
        text(18, s),
        "Service-ID                           SSID                            Auth Status\n" +
            RULE +
            "11111111-2222-3333-4444-555555555555 corp                             eap     2m\n"
            "11111111-2222-3333-4444-555555555556 home                             psk   wait\n"
            "11111111-2222-3333-4444-555555555557 odd                                - config\n");
    EXPECT_EQ(abbreviated(18, s), "11111111-2222-3333-4444-555555555555\n"
                                  "11111111-2222-3333-4444-555555555556\n"
                                  "11111111-2222-3333-4444-555555555557\n");
}

// Flow counts capped at 999, the protocol-and-VNI column in its widths,
// SSIDs cut to their column, ages, and "-" for what never started.
TEST_F(RenderList, VapsTunnelsAndFlows)
{
    std::vector<ugwd_vap_mib> vaps(1);
    set_mac(vaps[0].ulmexServiceBSSID, 0x0a, 2);
    memcpy(vaps[0].ulmexServiceSSID.ulmexSSIDValue, "guest", 5);
    vaps[0].ulmexServiceSSID.length = 5;
    vaps[0].ulmexServiceActiveFlows = 1200;
    vaps[0].traffic.ulmexUploadBytes = 2048;
    vaps[0].ulmexStartTime = RENDER_NOW - 86400;
    EXPECT_EQ(
        text(20, vaps),
        "BSSID              SSID                           Flows     Down      Up    Time\n" +
            RULE +
            "0a:00:00:00:00:02  guest                            999      0 B 2.00 KiB      1d\n");
    EXPECT_EQ(abbreviated(20, vaps), "0a:00:00:00:00:02\n");

    std::vector<ugwd_tunnel_mib> t(4);
    set_sin6(t[0].ulmexRemotePort, "2001:db8::1", 4789);
    t[0].ulmexTunnelProto = 2;
    t[0].ulmexTunnelVNI = 999999;
    t[0].ulmexServiceActiveFlows = 1500;
    t[0].traffic.ulmexDownloadBytes = 1536;
    t[0].ulmexStartTime = RENDER_NOW - 3600;
    set_sin(t[1].ulmexRemotePort, "192.0.2.7", 6081);
    t[1].ulmexTunnelProto = 3;
    t[1].ulmexTunnelVNI = 1000000;
    t[1].ulmexServiceActiveFlows = 3;
    set_sin(t[2].ulmexRemotePort, "192.0.2.8", 0);
    t[2].ulmexTunnelProto = 1;
    t[2].ulmexTunnelVNI = 10000000;
    set_sin(t[3].ulmexRemotePort, "192.0.2.9", 0);
    t[3].ulmexTunnelProto = 4;
    t[3].ulmexTunnelVNI = 77;
    t[3].ulmexServiceActiveFlows = 1;
    EXPECT_EQ(
        text(22, t),
        "Address                                 Proto     VNI Flo    Down      Up   Time\n" +
            RULE +
            "2001:db8::1                             VXLAN  999999 999 1.50 KiB     0 B     1h\n"
            "192.0.2.7                               Genev 1000000   3     0 B     0 B      -\n"
            "192.0.2.8                               Nati 10000000   0     0 B     0 B      -\n"
            "192.0.2.9                               GRE         -   1     0 B     0 B      -\n");
    EXPECT_EQ(abbreviated(22, t), "[2001:db8::1]:4789\n192.0.2.7:6081\n192.0.2.8:0\n192.0.2.9:0\n");

    std::vector<ugw_flow_rec> f(1);
    set_mac(f[0].ulmexClientMAC, 2, 1);
    set_mac(f[0].ulmexBSSID, 0x0a, 2);
    const char ssid[] = "cafe.net-with-a-long-name";
    memcpy(f[0].ulmexSSIDValue, ssid, sizeof ssid - 1);
    f[0].ulmexSSIDLength = sizeof ssid - 1;
    f[0].ulmexDownloadBytes = 1 << 20;
    f[0].ulmexUploadBytes = 512;
    f[0].ulmexAssociateTime = RENDER_NOW - 60;
    EXPECT_EQ(
        text(24, f),
        "Client            BSSID             SSID                     Down      Up   Time\n" +
            RULE +
            "02:00:00:00:00:01 0a:00:00:00:00:02 cafe.net-with-a-long- 1.00 MiB   512 B     1m\n");
    EXPECT_EQ(abbreviated(24, f), "bssid 0a:00:00:00:00:02 client 02:00:00:00:00:01\n");
}

// Time left until the lease runs out, "-" after; an IPv6 lease of method 0
// leaves its Method column blank.
TEST_F(RenderList, LeasesAndGroups)
{
    std::vector<ugwd_lease_rec> l(2);
    set_mac(l[0].mac, 2, 1);
    strcpy(l[0].hostname, "laptop");
    l[0].flags = 24 << 1;
    inet_pton(AF_INET, "10.0.0.5", l[0].addr);
    l[0].start = RENDER_NOW - 600;
    l[0].lease_time = 3600;
    set_mac(l[1].mac, 2, 3);
    l[1].flags = 24 << 1 | 1;
    inet_pton(AF_INET, "10.0.0.6", l[1].addr);
    l[1].start = RENDER_NOW - 7200;
    l[1].lease_time = 3600;
    EXPECT_EQ(
        text(32, l),
        "Client-ID         Name                                Lease              Timeout\n" +
            RULE +
            "02:00:00:00:00:01 laptop                              10.0.0.5/24            50m\n"
            "02:00:00:00:00:03                                     10.0.0.6/24              -\n");
    EXPECT_EQ(abbreviated(32, l), "10.0.0.5\n10.0.0.6\n");

    std::vector<ugwd_lease6_rec> l6(2);
    set_mac(l6[0].mac, 2, 1);
    l6[0].kind = 3;
    l6[0].prefix_len = 128;
    inet_pton(AF_INET6, "2001:db8::5", l6[0].addr);
    l6[0].start = RENDER_NOW;
    l6[0].valid_lifetime = 3600;
    set_mac(l6[1].mac, 2, 3);
    l6[1].prefix_len = 64;
    inet_pton(AF_INET6, "fe80::1", l6[1].addr);
    EXPECT_EQ(
        text(34, l6),
        "Client-ID          Lease                                         Method  Timeout\n" +
            RULE +
            "02:00:00:00:00:01  2001:db8::5/128                               dhcpv6       1h\n"
            "02:00:00:00:00:03  fe80::1/64                                                  -\n");
    EXPECT_EQ(abbreviated(34, l6), "2001:db8::5\nfe80::1\n");

    std::vector<ugw_group_rec> g(1);
    inet_pton(AF_INET, "239.1.2.3", g[0].ulmexIpAddress);
    set_uuid(g[0].ulmexServiceId, 0x55);
    set_mac(g[0].ulmexClientMAC, 2, 1);
    g[0].ulmexGroupReportTime = RENDER_NOW - 10;
    EXPECT_EQ(
        text(36, g),
        "Group            Service-ID                            Client-ID          Report\n" +
            RULE +
            "239.1.2.3        11111111-2222-3333-4444-555555555555  02:00:00:00:00:01     10s\n");
    EXPECT_EQ(abbreviated(36, g), "239.1.2.3\n");

    std::vector<ugw_group6_rec> g6(1);
    inet_pton(AF_INET6, "ff02::1:3", g6[0].ulmexIpv6Address);
    set_mac(g6[0].ulmexClientMAC, 2, 1);
    EXPECT_EQ(
        text(37, g6),
        "Group                                                  Client-ID          Report\n" +
            RULE +
            "ff02::1:3                                              02:00:00:00:00:01       -\n");
    EXPECT_EQ(abbreviated(37, g6), "ff02::1:3\n");
}

// Limits in base-1000 units, quotas in bytes, "-" for every absent value;
// AKM and cipher names of the key caches, the FT table naming only the RSN
// FT suites.
TEST_F(RenderList, AuthorizationsAndKeyCaches)
{
    std::vector<radius_access_record> z(2);
    strcpy(z[0].user_name, "alice@example.com-long");
    z[0].acct_authentic = 1;
    z[0].bandwidth_up = 1500000;
    z[0].bandwidth_down = 10000;
    z[0].volume_up = 1u << 30;
    z[0].session_timeout = 3600;
    z[0].vlan_id = 100;
    strcpy(z[0].redirect_url, "https://portal.example/");
    z[0].rule_count = 3;
    strcpy(z[1].user_name, "bob");
    strcpy(z[1].redirect_url, "ftp://x/");
    EXPECT_EQ(
        text(26, z),
        "User-Name          Auth    Limit up/dn    Quota up/down Timeout VLAN Redir Rules\n" +
            RULE +
            "alice@example.com  RADIUS  1.50M 10.0k  1.00 GiB       -      1h  100 https     3\n"
            "bob                            -     -        -       -       -    - -         -\n");
    EXPECT_EQ(abbreviated(26, z), "alice@example.com-long\nbob\n");

    std::vector<dot11_key_row> k(2);
    set_mac(k[0].mac, 2, 1);
    for (int i = 0; i < 16; i++)
        k[0].key_id[i] = static_cast<uint8_t>(i + 1);
    k[0].akm = DOT11_AKM_PSK;
    k[0].pairwise = dot11_suite(0x00, 0x0f, 0xac, 4);
    k[0].lifetime = 7200;
    set_mac(k[1].mac, 2, 3);
    k[1].pairwise = dot11_suite(0x00, 0x50, 0xf2, 2);
    EXPECT_EQ(
        text(28, k),
        "PMKID                             Client             Auth        Cipher  Timeout\n" +
            RULE +
            "0102030405060708090a0b0c0d0e0f10  02:00:00:00:00:01  psk           ccmp       2h\n"
            "00000000000000000000000000000000  02:00:00:00:00:03  -             tkip        -\n");
    EXPECT_EQ(abbreviated(28, k),
              "0102030405060708090a0b0c0d0e0f10\n00000000000000000000000000000000\n");

    std::vector<dot11_ft_auth_row> ft(2);
    set_mac(ft[0].sta, 2, 1);
    set_mac(ft[0].bssid, 0x0a, 2);
    for (int i = 0; i < 16; i++)
        ft[0].pmkr1name[i] = static_cast<uint8_t>(0xff - 0x11 * i);
    ft[0].akm = DOT11_AKM_FT_PSK;
    ft[0].pairwise = dot11_suite(0x00, 0x0f, 0xac, 4);
    set_mac(ft[1].sta, 2, 3);
    set_mac(ft[1].bssid, 0x0a, 2);
    ft[1].pairwise = dot11_suite(0x00, 0x50, 0xf2, 4);
    EXPECT_EQ(
        text(30, ft),
        "Client            BSSID             PMKR1Name                        Auth Cipher\n" +
            RULE +
            "02:00:00:00:00:01 0a:00:00:00:00:02 ffeeddccbbaa99887766554433221100 psk-ft ccmp\n"
            "02:00:00:00:00:03 0a:00:00:00:00:02 00000000000000000000000000000000 -         -\n");
    EXPECT_EQ(abbreviated(30, ft), "02:00:00:00:00:01\n02:00:00:00:00:03\n");
}

// Filter ids cut at 80 in the table; a hostset entry with a leading dot
// shows "*" before it in text and JSON, one without is unchanged; a filter
// without rules has an empty rule array.
TEST_F(RenderList, FiltersAndHostsets)
{
    RENDER_NEED("jq");
    struct name254 {
        char text[254];
    };
    std::vector<name254> filters(2);
    memset(filters[0].text, 'f', 100);
    strcpy(filters[1].text, "guests");
    EXPECT_EQ(text(14, filters), "Filter-Id\n" + RULE + std::string(80, 'f') + "\nguests\n");
    EXPECT_EQ(abbreviated(14, filters), std::string(100, 'f') + "\nguests\n");
    std::string doc = slot_run(FORM_JSON, 14, slot_rows(filters).args()).out;
    EXPECT_TRUE(slot_json_parses(doc));
    EXPECT_EQ(render_jq(doc, "map(length)"), "[100,6]");

    std::vector<uint32_t> ids = {1, 4000000000u};
    EXPECT_EQ(text(16, ids), "Hostset-Id\n" + RULE + "1\n4000000000\n");
    EXPECT_EQ(abbreviated(16, ids), "1\n4000000000\n");
    EXPECT_EQ(slot_run(FORM_JSON, 16, slot_rows(ids).args()).out, "[1,4000000000]");
    EXPECT_EQ(slot_run(FORM_JSON, 16, slot_rows(std::vector<uint32_t>{}).args()).out, "[]");

    struct host260 {
        char text[260];
    };
    std::vector<host260> hosts(2);
    strcpy(hosts[0].text, "www.example.com");
    strcpy(hosts[1].text, ".example.org");
    ugw_command cmd{};
    cmd.hostset = 7;
    cmd.hostset_given = true;
    slot_rows host_rows(hosts);
    ugw_render_args args = host_rows.args();
    args.cmd = &cmd;
    EXPECT_EQ(slot_run(FORM_TEXT, 17, args).out, "          Hostset Id: 7\n"
                                                 "             Host #0: www.example.com\n"
                                                 "             Host #1: *.example.org\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 17, args).out, "7\n");
    std::string show = slot_run(FORM_JSON, 17, args).out;
    EXPECT_TRUE(slot_json_parses(show));
    EXPECT_EQ(show,
              "{\"ulmexHostSetId\":7,\"ulmexHostSet\":[\"www.example.com\",\"*.example.org\"]}");

    strcpy(cmd.filter, "guests");
    ugw_render_args none = slot_rows(std::vector<filter_rule>{}).args();
    none.cmd = &cmd;
    EXPECT_EQ(slot_run(FORM_TEXT, 15, none).out, "    RADIUS Filter-Id: guests\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 15, none).out, "guests\n");
    std::string filter = slot_run(FORM_JSON, 15, none).out;
    EXPECT_TRUE(slot_json_parses(filter));
    EXPECT_EQ(filter, "{\"ulmexRadiusFilterId\":\"guests\",\"ulmexRadiusFilterRules\":[]}");
}

// Every table refuses rows narrower than its record before printing.
TEST_F(RenderList, NarrowRowsPrintNothing)
{
    const std::vector<uint8_t> bytes(4096);
    for (unsigned slot :
         {2u, 4u, 6u, 8u, 14u, 18u, 20u, 22u, 24u, 26u, 28u, 30u, 32u, 34u, 36u, 37u}) {
        ugw_render_args a{.rows = bytes.data(), .count = 1, .row_size = 3};
        for (unsigned form : {FORM_TEXT, FORM_SHORT}) {
            slot_result r = slot_run(form, slot, a);
            EXPECT_EQ(r.rc, -1) << slot << " " << form;
            EXPECT_EQ(r.err, EPROTO) << slot << " " << form;
            EXPECT_EQ(r.out, "") << slot << " " << form;
        }
    }
}

// The key-cache and FT documents: arrays of the 802.11 renderers' objects,
// the key show as its two tables, the FT show as the bare object; the text
// key show is the PMKSA block followed by the session's.
TEST_F(RenderList, KeyCacheAndFtDocuments)
{
    RENDER_NEED("jq");
    std::vector<dot11_key_row> k(2);
    set_mac(k[0].mac, 2, 1);
    k[0].akm = DOT11_AKM_PSK;
    set_mac(k[1].mac, 2, 3);
    std::string list = slot_run(FORM_JSON, 28, slot_rows(k).args()).out;
    EXPECT_TRUE(slot_json_parses(list));
    EXPECT_EQ(list, "[" + render_json_capture([&](json_writer *j) {
                        render_json_dot11_pmksa(j, &k[0]);
                        render_json_dot11_pmksa(j, &k[1]);
                    }) + "]");
    EXPECT_EQ(slot_run(FORM_JSON, 28, slot_rows(std::vector<dot11_key_row>{}).args()).out, "[]");

    uint8_t show[CTL_REC_KEY + CTL_REC_KEY_DETAIL] = {};
    memcpy(show, &k[0], sizeof k[0]);
    show[CTL_REC_KEY] = 0x5a; // first byte of the session record, right behind the row
    dot1xAuthSessionStats session{};
    memcpy(&session, show + CTL_REC_KEY, sizeof session);
    std::string doc = slot_run(FORM_JSON, 29, {.record = show, .record_size = sizeof show}).out;
    EXPECT_TRUE(slot_json_parses(doc));
    EXPECT_EQ(render_jq(doc, "keys_unsorted"), "[\"dot11PMKSA\",\"dot1xAuthSessionStats\"]");
    EXPECT_EQ(render_jq(doc, ".dot1xAuthSessionStats"),
              render_jq(render_json_capture([&](json_writer *j) {
                            render_json_dot1x_auth_session_stats(j, &session);
                        }),
                        "."));
    EXPECT_EQ(slot_run(FORM_TEXT, 29, {.record = show, .record_size = sizeof show}).out,
              render_capture([&](FILE *f) {
                  render_text_dot11_pmksa(f, &k[0]);
                  render_text_dot1x_auth_session_stats(f, &session);
              }));
    EXPECT_EQ(slot_run(FORM_TEXT, 29, {.record = show, .record_size = CTL_REC_KEY}).rc, -1);

    std::vector<dot11_ft_auth_row> ft(2);
    set_mac(ft[0].sta, 2, 1);
    ft[0].akm = DOT11_AKM_FT_PSK;
    set_mac(ft[1].sta, 2, 3);
    std::string fts = slot_run(FORM_JSON, 30, slot_rows(ft).args()).out;
    EXPECT_TRUE(slot_json_parses(fts));
    EXPECT_EQ(render_jq(fts, "length"), "2");
    std::string one = slot_run(FORM_JSON, 31, {.record = &ft[0], .record_size = sizeof ft[0]}).out;
    EXPECT_TRUE(slot_json_parses(one));
    EXPECT_EQ(render_jq(fts, ".[0]"), render_jq(one, "."));
    EXPECT_EQ(render_jq(one, "type"), "\"object\"");
}

// The servers of a NAS: unset rows are skipped, the round trip is in
// hundredths, and the CoA and Disconnect counts come from the
// dynamic-authorization row of the same index.
TEST_F(RenderList, RadiusServers)
{
    std::vector<uint8_t> nas(CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS);
    radiusAuthClientServerExtTable auth[2]{};
    radiusAccClientServerExtTable acct[2]{};
    radiusDynAuthClientTable das[2]{};
    auth[0].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "10.0.0.1", auth[0].radiusAuthServerInetAddress);
    auth[0].radiusAuthClientServerInetPortNumber = 1812;
    auth[0].radiusAuthClientExtRoundTripTime = 123;
    auth[0].radiusAuthClientExtAccessRequests = 10;
    auth[0].radiusAuthClientExtAccessAccepts = 7;
    auth[0].radiusAuthClientExtAccessRejects = 2;
    das[0].radiusDynAuthServCoARequests = 4;
    das[0].radiusDynAuthServDisconRequests = 1;
    das[1].radiusDynAuthServCoARequests = 99;
    acct[1].radiusAccServerInetAddressType = RADIUS_INET_IPV6;
    inet_pton(AF_INET6, "2001:db8::7", acct[1].radiusAccServerInetAddress);
    acct[1].radiusAccClientServerInetPortNumber = 1813;
    acct[1].radiusAccClientExtRoundTripTime = 5;
    acct[1].radiusAccClientExtRequests = 20;
    acct[1].radiusAccClientExtResponses = 19;
    memcpy(nas.data() + CTL_REC_NAS, auth, sizeof auth);
    memcpy(nas.data() + CTL_REC_NAS + CTL_REC_NAS_AUTH, acct, sizeof acct);
    memcpy(nas.data() + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT, das, sizeof das);
    const ugw_render_args a{.record = nas.data(), .record_size = nas.size()};

    EXPECT_EQ(
        slot_run(FORM_TEXT, 10, a).out,
        "Server                         Port  RTT Request  Accept  Reject     CoA  Discon\n" +
            RULE +
            "10.0.0.1                       1812 1.23      10       7       2       4       1\n");
    EXPECT_EQ(slot_run(FORM_TEXT, 12, a).out,
              "Server                         Port  RTT    Request   Response\n" + RULE +
                  "2001:db8::7                    1813 0.05         20         19\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 10, a).out, "10.0.0.1\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 12, a).out, "2001:db8::7\n");
    const ugw_render_args shortened{.record = nas.data(), .record_size = CTL_REC_NAS};
    EXPECT_EQ(slot_run(FORM_TEXT, 10, shortened).rc, -1);
    EXPECT_EQ(slot_run(FORM_TEXT, 10, shortened).out, "");
}

// The log modules: all 18 names of the daemon's table, on one line in the
// table form and one per line abbreviated; the abbreviated logger show is
// its level.
TEST_F(RenderList, LogModulesAndLevel)
{
    std::string names, each;
    for (unsigned bit = 0; bit < 18; bit++) {
        const char *n = log_module_name(bit);
        names += std::string(bit ? " " : "") + (n ? n : "");
        each += std::string(n ? n : "") + "\n";
    }
    EXPECT_EQ(slot_run(FORM_TEXT, 0, {}).out, names + "\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 0, {}).out, each);
    log_cfg cfg{};
    cfg.level = -1;
    EXPECT_EQ(slot_run(FORM_SHORT, 1, {.record = &cfg, .record_size = sizeof cfg}).out, "-1\n");
}
