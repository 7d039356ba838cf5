// The composed shows (service, RADIUS servers) and the shape of every slot's
// JSON document: each of the 47 slots prints in each form, and each document
// parses with jq and Python's reader and has its top-level keys in order.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "render_list_fixture.h"
#include "common/ctl_msg.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_render.h"
#include "utility/ugw_render_list.h"

namespace
{

class RenderShow : public RenderTest
{
};

// A Get-Service reply's blocks: service, configuration, VAP parameters,
// 802.1X statistics and diagnostics.
struct service_blocks {
    std::vector<uint8_t> bytes =
        std::vector<uint8_t>(CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE +
                             CTL_REC_SERVICE_COUNTERS + CTL_REC_SERVICE_STATS);
    ugwd_service_mib service{};
    dot11_auth_config config{};
    dot1xAuthStats stats{};
    dot1xAuthDiag diag{};
    ugw_render_args args()
    {
        uint8_t *p = bytes.data();
        memcpy(p, &service, sizeof service);
        memcpy(p + CTL_REC_SERVICE, &config, sizeof config);
        // The VAP parameters between them are no 802.11 record: a pattern
        // that shows up anywhere in the output was read from the wrong place.
        memset(p + CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG, 0xee, CTL_REC_ESS_TEMPLATE);
        const size_t at = CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE;
        memcpy(p + at, &stats, sizeof stats);
        memcpy(p + at + CTL_REC_SERVICE_COUNTERS, &diag, sizeof diag);
        return {.record = p, .record_size = bytes.size()};
    }
};

std::string service_text(const service_blocks &s, bool with_8021x)
{
    return render_capture([&](FILE *f) {
        render_text_ulmex_service(f, &s.service);
        const dot11_mib_sources src{nullptr, nullptr, nullptr, &s.config,
                                    nullptr, nullptr, nullptr};
        render_text_dot11_mib(f, &src, false);
        if (with_8021x) {
            render_text_dot1x_auth_stats(f, &s.stats);
            render_text_dot1x_auth_diag(f, &s.diag);
        }
    });
}

} // namespace

// The 802.1X records follow the 802.11 ones in the text only when some AKM
// of the configuration is an 802.1X one, wherever it stands in the list; the
// document always carries them, read behind the VAP parameters.
TEST_F(RenderShow, ServiceWithAndWithout8021x)
{
    RENDER_NEED("jq");
    service_blocks s;
    s.service.ulmexServiceId[0] = 0xab;
    memcpy(s.service.ulmexServiceSSID.ulmexSSIDValue, "corp", 4);
    s.service.ulmexServiceSSID.length = 4;
    s.stats.dot1xAuthEapolFramesRx = 7;
    s.diag.dot1xAuthEntersConnecting = 9;

    struct {
        uint32_t akms[2];
        bool eap;
    } cases[] = {
        {{0, 0}, false},
        {{DOT11_AKM_PSK, DOT11_AKM_FT_PSK}, false},
        {{DOT11_AKM_PSK, DOT11_AKM_FT_8021X}, true},
        {{DOT11_AKM_8021X_SHA256, 0}, true},
        {{DOT11_AKM_WPA_8021X, 0}, true},
        {{DOT11_AKM_WPA_PSK, 0}, false},
    };
    for (const auto &c : cases) {
        s.config.dot11RSNAConfigAuthenticationSuite[0] = c.akms[0];
        s.config.dot11RSNAConfigAuthenticationSuite[1] = c.akms[1];
        slot_result text = slot_run(FORM_TEXT, 19, s.args());
        EXPECT_EQ(text.rc, 0);
        EXPECT_EQ(text.out, service_text(s, c.eap)) << c.akms[0] << " " << c.akms[1];
        EXPECT_EQ(text.out.find("Rx EAPoL Frames") != std::string::npos, c.eap);

        std::string doc = slot_run(FORM_JSON, 19, s.args()).out;
        EXPECT_TRUE(slot_json_parses(doc));
        EXPECT_EQ(render_jq(doc, "keys_unsorted | [first, .[-2], .[-1]]"),
                  "[\"ulmexService\",\"dot1xAuthStats\",\"dot1xAuthDiag\"]");
        EXPECT_EQ(render_jq(doc, "[.dot1xAuthStats.dot1xAuthEapolFramesRx, "
                                 ".dot1xAuthDiag.dot1xAuthEntersConnecting]"),
                  "[7,9]");
        EXPECT_EQ(render_jq(doc, ".ulmexService.ulmexServiceSSID"), "\"corp\"");
    }
    EXPECT_EQ(slot_run(FORM_SHORT, 19, s.args()).out, "ab000000-0000-0000-0000-000000000000\n");

    // A reply that ends inside the diagnostics is refused whole.
    ugw_render_args cut = s.args();
    cut.record_size -= 1;
    for (unsigned form : {FORM_TEXT, FORM_JSON}) {
        slot_result r = slot_run(form, 19, cut);
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.err, EPROTO);
        EXPECT_EQ(r.out, "");
    }
}

// The show of one RADIUS server in each form: the row the command's address
// names, whichever of the two it is; an address the NAS does not hold is
// ENOENT with nothing printed.
TEST_F(RenderShow, OneRadiusServerInEachForm)
{
    RENDER_NEED("jq");
    std::vector<uint8_t> nas(CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS);
    radiusAuthClientServerExtTable auth[2]{};
    radiusAccClientServerExtTable acct[2]{};
    radiusDynAuthClientTable das[2]{};
    auth[0].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "10.0.0.1", auth[0].radiusAuthServerInetAddress);
    auth[1].radiusAuthServerInetAddressType = RADIUS_INET_IPV6;
    inet_pton(AF_INET6, "2001:db8::9", auth[1].radiusAuthServerInetAddress);
    auth[1].radiusAuthClientServerInetPortNumber = 1812;
    das[1].radiusDynAuthServCoARequests = 5;
    acct[0].radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "10.0.0.2", acct[0].radiusAccServerInetAddress);
    acct[0].radiusAccClientExtRequests = 3;
    memcpy(nas.data() + CTL_REC_NAS, auth, sizeof auth);
    memcpy(nas.data() + CTL_REC_NAS + CTL_REC_NAS_AUTH, acct, sizeof acct);
    memcpy(nas.data() + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT, das, sizeof das);

    auto cmd = std::make_unique<ugw_command>();
    auto args = [&](int family, const char *text) {
        cmd->addr = {};
        cmd->addr.family = family;
        inet_pton(family, text, cmd->addr.bytes);
        return ugw_render_args{.record = nas.data(), .record_size = nas.size(), .cmd = cmd.get()};
    };

    EXPECT_EQ(slot_run(FORM_SHORT, 11, args(AF_INET6, "2001:db8::9")).out, "2001:db8::9\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 11, args(AF_INET, "10.0.0.1")).out, "10.0.0.1\n");
    EXPECT_EQ(slot_run(FORM_SHORT, 13, args(AF_INET, "10.0.0.2")).out, "10.0.0.2\n");
    EXPECT_EQ(slot_run(FORM_TEXT, 11, args(AF_INET6, "2001:db8::9")).out,
              render_capture([&](FILE *f) {
                  render_text_radius_auth_server(f, &auth[1]);
                  render_text_radius_dynauth_client(f, &das[1]);
              }));

    std::string doc = slot_run(FORM_JSON, 11, args(AF_INET6, "2001:db8::9")).out;
    EXPECT_TRUE(slot_json_parses(doc));
    EXPECT_EQ(render_jq(doc, "keys_unsorted"),
              "[\"radiusAuthClientServerExtTable\",\"radiusDynAuthClientTable\"]");
    EXPECT_EQ(render_jq(doc, ".radiusDynAuthClientTable.radiusDynAuthServCoARequests"), "5");
    doc = slot_run(FORM_JSON, 13, args(AF_INET, "10.0.0.2")).out;
    EXPECT_EQ(render_jq(doc, "keys_unsorted"), "[\"radiusAccClientServerExtTable\"]");

    for (unsigned form : {FORM_TEXT, FORM_SHORT, FORM_JSON}) {
        // An accounting address is no authentication server, and the reverse.
        for (auto [slot, addr] : {std::pair{11u, "10.0.0.2"}, std::pair{13u, "10.0.0.1"}}) {
            slot_result r = slot_run(form, slot, args(AF_INET, addr));
            EXPECT_EQ(r.rc, -1) << form << " " << slot;
            EXPECT_EQ(r.err, ENOENT);
            EXPECT_EQ(r.out, "");
        }
    }
}

// Every slot prints in every form; with no rows a list document is "[]", and
// a show of a zero record is a document with the top-level keys of its slot.
TEST_F(RenderShow, EverySlotsDocumentShape)
{
    RENDER_NEED("jq");
    for (unsigned form : {FORM_TEXT, FORM_SHORT, FORM_JSON})
        for (unsigned slot = 0; slot < UGW_SLOTS; slot++)
            EXPECT_NE(ugw_renderers.forms[form].slots[slot], nullptr) << form << " " << slot;

    for (unsigned slot :
         {2, 4, 6, 8, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 37, 38, 41, 42, 43, 45})
        EXPECT_EQ(slot_run(FORM_JSON, slot, {}).out, "[]") << slot;

    const size_t nas = CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT + CTL_REC_NAS_DAS;
    const size_t service = CTL_REC_SERVICE + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE +
                           CTL_REC_SERVICE_COUNTERS + CTL_REC_SERVICE_STATS;
    const size_t vap = CTL_REC_VAP + CTL_REC_DOT11_CONFIG + CTL_REC_ESS_TEMPLATE;
    const size_t flow = CTL_REC_FLOW + CTL_REC_FLOW_SOCKET + CTL_REC_ACCESS + CTL_REC_PAE_STATUS +
                        CTL_REC_FTAUTH + CTL_REC_FLOW_STA;
    struct {
        unsigned slot;
        size_t size;
        const char *filter;
        const char *want;
    } shows[] = {
        {0, 0, "[keys_unsorted, (.ulmexModules | length)]", "[[\"ulmexModules\"],18]"},
        {1, sizeof(log_cfg), "type", "\"object\""},
        {3, CTL_REC_CONTROL, "keys_unsorted", "[\"ulmexControl\"]"},
        {5, CTL_REC_PORT, "keys_unsorted", "[\"ulmexPort\"]"},
        {7, CTL_REC_SOCKET, "keys_unsorted", "[\"ulmexSocket\"]"},
        {9, nas, "keys_unsorted", "[\"radiusClientConfigTable\"]"},
        {10, nas, ".", "[]"},
        {12, nas, ".", "[]"},
        {15, 0, ".", "{\"ulmexRadiusFilterId\":null,\"ulmexRadiusFilterRules\":[]}"},
        {17, 0, ".", "{\"ulmexHostSetId\":0,\"ulmexHostSet\":[]}"},
        {19, service, "keys_unsorted | [first, .[-2], .[-1]]",
         "[\"ulmexService\",\"dot1xAuthStats\",\"dot1xAuthDiag\"]"},
        {21, vap, "keys_unsorted | first", "\"ulmexServiceBSS\""},
        {23, CTL_REC_TUNNEL, "keys_unsorted", "[\"ulmexTunnel\"]"},
        {25, flow, "keys_unsorted | [.[0], .[1], .[2], .[-1]]",
         "[\"ulmexFlow\",\"ulmexSession\",\"ulmexAuthorization\",\"dot1xAuthConfig\"]"},
        {27, CTL_REC_ACCESS, "keys_unsorted", "[\"ulmexAuthorization\"]"},
        {29, CTL_REC_KEY + CTL_REC_KEY_DETAIL, "keys_unsorted",
         "[\"dot11PMKSA\",\"dot1xAuthSessionStats\"]"},
        {31, CTL_REC_FTAUTH, "type", "\"object\""},
        {33, CTL_REC_LEASE, "keys_unsorted", "[\"ulmexDHCPLease\"]"},
        {35, CTL_REC_LEASE6, "keys_unsorted", "[\"ulmexIpv6Lease\"]"},
        {39, CTL_REC_MEMPOOL, "keys_unsorted", "[\"ulmexMempool\"]"},
    };
    for (const auto &c : shows) {
        std::vector<uint8_t> zero(c.size);
        slot_result r = slot_run(FORM_JSON, c.slot, {.record = zero.data(), .record_size = c.size});
        EXPECT_EQ(r.rc, 0) << c.slot;
        EXPECT_TRUE(slot_json_parses(r.out)) << c.slot;
        EXPECT_EQ(render_jq(r.out, c.filter), c.want) << c.slot << ": " << r.out;
    }
}

// An interface name may hold any byte but '/', ':' and blanks: an escape in
// it reaches no terminal from the port lines, and the document escapes it.
TEST_F(RenderShow, InterfaceNamesPrintAsSafeText)
{
    RENDER_NEED("jq");
    ugw_ifname_reset([](unsigned index, char *name) -> char * {
        if (index != 5) return nullptr;
        strcpy(name, "e\x1b[2Jx");
        return name;
    });
    std::vector<ugwd_port_mib> ports(1);
    ports[0].ulmexPortIfIndex = 5;
    const slot_rows rows(ports);
    EXPECT_EQ(slot_run(FORM_SHORT, 4, rows.args()).out, "e.[2Jx\n");
    std::string table = slot_run(FORM_TEXT, 4, rows.args()).out;
    EXPECT_NE(table.find("\ne.[2Jx           -"), std::string::npos) << table;
    std::string doc = slot_run(FORM_JSON, 4, rows.args()).out;
    EXPECT_EQ(render_jq(doc, ".[0].ulmexPortIfIndex"), "\"e\\u001b[2Jx\"");
}
