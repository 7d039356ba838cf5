// The slot table as the executor drives it against the stand-in server: what
// a show or list prints is the record renderer's own output for the reply's
// record, and every JSON document parses with the renderer's keys.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "gwc_fixture.h"
#include "render_fixture.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"
#include "utility/ugw_dot11_mib.h"
#include "utility/ugw_render.h"

using namespace gwc_test;

namespace
{

enum { TEXT = 0, JSON = 2 };

struct result {
    int rc;
    int err;
    std::string out;
};

class UgwSlots : public Gwc
{
  protected:
    // Runs one command line with the product's tables, standard output
    // captured in a file.
    result run(const std::string &line, int form)
    {
        std::string b = line;
        char *words[31];
        int n = ugw_split_words(b.data(), words, 31);
        ugw_command cmd;
        EXPECT_EQ(ugw_parse_args(n, words, &cmd), 0) << line;
        char path[] = "/tmp/ugw_slots_XXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        dup2(fd, STDOUT_FILENO);
        errno = 0;
        int rc = ugw_execute_on(c, &cmd, form, &ugw_renderers, &ugw_actions);
        int err = errno;
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::string out;
        char buf[4096];
        ssize_t got;
        lseek(fd, 0, SEEK_SET);
        while ((got = read(fd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(got));
        close(fd);
        unlink(path);
        return {rc, err, out};
    }
};

template <class T> std::vector<uint8_t> record_reply(uint32_t type, const T &record)
{
    std::vector<uint8_t> r = reply_of(type);
    memcpy(r.data() + 8, &record, sizeof(record));
    return r;
}

std::string json_of(const std::function<void(json_writer *)> &render)
{
    return render_json_capture(render);
}

ugwd_port_mib sample_port()
{
    ugwd_port_mib p{};
    p.ulmexPortIfIndex = 1;
    memcpy(p.ulmexPortConfig, "\xc0\x00\x02\x01", 4);
    memcpy(p.ulmexPortInet, "\xc0\x00\x02\x02", 4);
    p.ulmexPortConfig6[0] = 0x20;
    p.ulmexPortConfig6[15] = 1;
    return p;
}

ugwd_socket_mib sample_socket()
{
    ugwd_socket_mib s{};
    s.ulmexPortIfIndex = 1;
    s.ulmexSockProto = 1;
    s.ulmexSockConfig = 4789;
    s.ulmexSockInet.sin_family = AF_INET;
    s.ulmexSockInet.sin_port = htons(4789);
    inet_pton(AF_INET, "127.0.0.1", &s.ulmexSockInet.sin_addr);
    return s;
}

// A show prints, in the text form, exactly what the record's renderer prints;
// in JSON, the record's object under its table key and one line feed.
TEST_F(UgwSlots, ShowsPrintTheRecordRenderersOutput)
{
    if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    const ugwd_port_mib port = sample_port();
    const ugwd_socket_mib sock = sample_socket();
    struct {
        const char *line;
        uint32_t request_type;
        std::vector<uint8_t> reply;
        const char *key;
        std::string text;
        std::string object;
    } cases[] = {
        {"show port lo", CTL_GET_PORT, record_reply(CTL_NEW_PORT, port), "ulmexPort",
         render_capture([&](FILE *f) { render_text_ulmex_port(f, &port); }),
         json_of([&](json_writer *j) { render_json_ulmex_port(j, &port); })},
        {"show port lo proto vxlan udp 4789", CTL_GET_SOCKET, record_reply(CTL_NEW_SOCKET, sock),
         "ulmexSocket", render_capture([&](FILE *f) { render_text_ulmex_socket(f, &sock); }),
         json_of([&](json_writer *j) { render_json_ulmex_socket(j, &sock); })},
    };
    for (auto &k : cases) {
        fakegwd_set_reply(fake, k.request_type, k.reply);
        result t = run(k.line, TEXT);
        ASSERT_EQ(t.rc, 0) << k.line << ": " << strerror(t.err);
        EXPECT_FALSE(k.text.empty());
        EXPECT_EQ(t.out, k.text) << k.line;

        result j = run(k.line, JSON);
        ASSERT_EQ(j.rc, 0) << k.line << ": " << strerror(j.err);
        EXPECT_EQ(j.out, "{\"" + std::string(k.key) + "\":" + k.object + "}\n") << k.line;
        EXPECT_EQ(render_jq(j.out, "keys_unsorted"), "[\"" + std::string(k.key) + "\"]");
        EXPECT_EQ(render_jq(j.out, "." + std::string(k.key) + " | keys_unsorted"),
                  render_jq(k.object, "keys_unsorted"))
            << k.line;
    }
}

// A list in JSON is an array of the rows' objects, empty as "[]"; the text
// form is the table of the same rows.
TEST_F(UgwSlots, ListsAreArraysOfTheRowObjects)
{
    if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    EXPECT_EQ(run("list services", JSON).out, "[]\n");

    std::vector<uint8_t> reply = reply_of(CTL_SERVICES, 2);
    const size_t at = ctl_msg_catalogue[CTL_SERVICES].size;
    ugwd_service_mib rows[2]{};
    for (int i = 0; i < 2; i++) {
        memset(rows[i].ulmexServiceId, 0x11 * (i + 1), sizeof(rows[i].ulmexServiceId));
        memcpy(reply.data() + at + i * sizeof(rows[i]), &rows[i], sizeof(rows[i]));
    }
    fakegwd_set_reply(fake, CTL_DUMP_SERVICES, reply);
    result j = run("list services", JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    std::string expect = "[";
    for (int i = 0; i < 2; i++)
        expect += (i ? "," : "") +
                  json_of([&](json_writer *w) { render_json_ulmex_service(w, &rows[i]); });
    EXPECT_EQ(j.out, expect + "]\n");
    EXPECT_EQ(render_jq(j.out, "length"), "2");
    EXPECT_EQ(render_jq(j.out, ".[1] | keys_unsorted"),
              render_jq(expect + "]", ".[0] | keys_unsorted"));
    EXPECT_EQ(
        run("list services", TEXT).out,
        "Service-ID                           SSID                            Auth Status\n" +
            std::string(80, '-') + "\n" +
            "11111111-1111-1111-1111-111111111111                                    - config\n"
            "22222222-2222-2222-2222-222222222222                                    - config\n");
}

// The server a show names is looked up in the NAS's rows: the second row is
// found by its address, and an address that is no row fails with ENOENT
// before anything is printed.
TEST_F(UgwSlots, ServerShowsPickTheNamedRow)
{
    if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    std::vector<uint8_t> reply = reply_of(CTL_NEW_NAS);
    radiusAuthClientServerExtTable auth[2]{};
    radiusDynAuthClientTable das[2]{};
    for (int i = 0; i < 2; i++) {
        auth[i].radiusAuthServerExtIndex = static_cast<uint8_t>(i);
        auth[i].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        auth[i].radiusAuthServerInetAddress[0] = 10;
        auth[i].radiusAuthServerInetAddress[3] = static_cast<uint8_t>(i + 1);
        auth[i].radiusAuthClientServerInetPortNumber = static_cast<uint16_t>(1812 + i);
        das[i].radiusDynAuthClientIndex = static_cast<uint8_t>(i);
        memcpy(reply.data() + 8 + CTL_REC_NAS + i * sizeof(auth[i]), &auth[i], sizeof(auth[i]));
        memcpy(reply.data() + 8 + CTL_REC_NAS + CTL_REC_NAS_AUTH + CTL_REC_NAS_ACCT +
                   i * sizeof(das[i]),
               &das[i], sizeof(das[i]));
    }
    fakegwd_set_reply(fake, CTL_GET_NAS, reply);

    result t = run("show nas r auth server 10.0.0.2", TEXT);
    ASSERT_EQ(t.rc, 0) << strerror(t.err);
    EXPECT_EQ(t.out, render_capture([&](FILE *f) {
                  render_text_radius_auth_server(f, &auth[1]);
                  render_text_radius_dynauth_client(f, &das[1]);
              }));

    result j = run("show nas r auth server 10.0.0.2", JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "keys_unsorted"),
              "[\"radiusAuthClientServerExtTable\",\"radiusDynAuthClientTable\"]");
    EXPECT_EQ(render_jq(j.out, ".radiusAuthClientServerExtTable.radiusAuthServerExtIndex"), "1");

    result l = run("list nas r auth servers", JSON);
    ASSERT_EQ(l.rc, 0) << strerror(l.err);
    EXPECT_EQ(render_jq(l.out, "[.[].radiusAuthClientServerExtTable.radiusAuthServerExtIndex]"),
              "[0,1]");

    for (int form : {TEXT, JSON}) {
        result miss = run("show nas r auth server 10.0.0.9", form);
        EXPECT_EQ(miss.rc, -1);
        EXPECT_EQ(miss.err, ENOENT);
        EXPECT_EQ(miss.out, "");
    }
}

TEST_F(UgwSlots, ModuleNamesAreTheDaemonsOwn)
{
    result r = run("list modules", JSON);
    ASSERT_EQ(r.rc, 0) << strerror(r.err);
    for (const char *name : {"\"frlc\"", "\"dot11\"", "\"radius\"", "\"ipc\""})
        EXPECT_NE(r.out.find(name), std::string::npos) << name << " in " << r.out;
    EXPECT_EQ(r.out.find("null"), std::string::npos) << r.out;
}

} // namespace

namespace
{

// The 802.11 shows: a VAP with its authenticator configuration and station
// part, a PMK cache entry with its 802.1X session, an FT authentication row;
// each prints the 802.11 renderers' output, and every document parses.
TEST_F(UgwSlots, Dot11ShowsComposeTheirRecords)
{
    if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    const std::string u = "01234567-89ab-cdef-0123-456789abcdef";
    const uint8_t bss[6] = {2, 0, 0, 0, 1, 0}, sta_mac[6] = {2, 0, 0, 0, 0, 7};

    std::vector<uint8_t> vap = reply_of(CTL_NEW_VAP);
    ugwd_vap_mib v{};
    memcpy(v.ulmexServiceBSSID, bss, 6);
    dot11_auth_config cfg{};
    memcpy(cfg.bss_mac, bss, 6);
    cfg.dot11RSNAConfigGroupCipher = DOT11_CIPHER_CCMP;
    cfg.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
    cfg.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_PSK;
    cfg.flags_a = DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_RSNA_ACTIVATED;
    dot11_mib_sta part{};
    part.dot11ReceivedFrameCount = 77;
    part.flags = DOT11_STA_QOS;
    memcpy(vap.data() + 8, &v, sizeof v);
    memcpy(vap.data() + 8 + CTL_REC_VAP, &cfg, sizeof cfg);
    memcpy(vap.data() + 8 + CTL_REC_VAP + CTL_REC_DOT11_CONFIG, &part, sizeof part);
    fakegwd_set_reply(fake, CTL_GET_VAP, vap);
    const std::string vap_line = "show service " + u + " vap 02:00:00:00:01:00";
    const dot11_mib_sources vs = {nullptr, nullptr, &part, &cfg, nullptr, nullptr, nullptr};
    result t = run(vap_line, TEXT);
    ASSERT_EQ(t.rc, 0) << strerror(t.err);
    EXPECT_EQ(t.out, render_capture([&](FILE *f) {
                  render_text_ulmex_service_bss(f, &v);
                  render_text_dot11_mib(f, &vs, false);
              }));
    EXPECT_NE(t.out.find("AKM Suites: PSK \n"), std::string::npos) << t.out;
    result j = run(vap_line, JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "keys_unsorted"),
              "[\"ulmexServiceBSS\",\"dot11StationConfig\",\"dot11Operation\",\"dot11APEDCA\","
              "\"dot11EDCA\",\"dot11AuthenticationAlgorithms\",\"dot11Privacy\","
              "\"dot11RSNAConfig\",\"dot11RSNAConfigPairwiseCiphers\","
              "\"dot11RSNAConfigAuthenticationSuites\",\"dot11Counters\",\"dot11RSNAStats\"]");
    EXPECT_EQ(render_jq(j.out, ".dot11Counters.dot11ReceivedFrameCount"), "77");

    std::vector<uint8_t> key = reply_of(CTL_NEW_KEY);
    dot11_key_row row{};
    memcpy(row.mac, sta_mac, 6);
    row.key_id[0] = 0xab;
    row.akm = DOT11_AKM_8021X;
    row.pairwise = DOT11_CIPHER_CCMP;
    row.lifetime = 99;
    dot1xAuthSessionStats session{};
    session.dot1xAuthSessionFramesRx = 5;
    memcpy(key.data() + 8, &row, sizeof row);
    memcpy(key.data() + 48, &session, sizeof session);
    fakegwd_set_reply(fake, CTL_GET_KEY, key);
    const std::string key_line = "show service " + u + " pmk ab" + std::string(30, '0');
    t = run(key_line, TEXT);
    ASSERT_EQ(t.rc, 0) << strerror(t.err);
    EXPECT_EQ(t.out, render_capture([&](FILE *f) {
                  render_text_dot11_pmksa(f, &row);
                  render_text_dot1x_auth_session_stats(f, &session);
              }));
    j = run(key_line, JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "keys_unsorted"), "[\"dot11PMKSA\",\"dot1xAuthSessionStats\"]");
    EXPECT_EQ(render_jq(j.out, ".dot11PMKSA.dot11RSNAAuthenticationSuiteSelected"),
              "\"00-0f-ac:1\"");
    EXPECT_EQ(render_jq(j.out, ".dot1xAuthSessionStats"),
              render_jq(json_of([&](json_writer *w) {
                            render_json_dot1x_auth_session_stats(w, &session);
                        }),
                        "."));

    std::vector<uint8_t> ft = reply_of(CTL_NEW_FTAUTH);
    dot11_ft_auth_row ftrow{};
    memcpy(ftrow.sta, sta_mac, 6);
    memcpy(ftrow.bssid, bss, 6);
    ftrow.auth_algorithm = 2;
    ftrow.flags = DOT11_FTROW_HT;
    memcpy(ft.data() + 8, &ftrow, sizeof ftrow);
    fakegwd_set_reply(fake, CTL_GET_FTAUTH, ft);
    const std::string ft_line =
        "show service " + u + " client 02:00:00:00:00:07 ft auth 02:00:00:00:01:00";
    const dot11_mib_sources fs = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &ftrow};
    t = run(ft_line, TEXT);
    ASSERT_EQ(t.rc, 0) << strerror(t.err);
    EXPECT_EQ(t.out, render_capture([&](FILE *f) { render_text_dot11_mib(f, &fs, true); }));
    j = run(ft_line, JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    // Only the FT row: the four groups it always feeds and the HT group its flags open.
    EXPECT_EQ(render_jq(j.out, "keys_unsorted"),
              "[\"dot11StationConfig\",\"dot11Operation\",\"dot11BSSId\","
              "\"dot11HTStationConfig\",\"dot11PhyHT\",\"dot11AuthenticationAlgorithms\"]");
    EXPECT_EQ(render_jq(j.out, ".dot11AuthenticationAlgorithms.dot11AuthenticationAlgorithm"),
              "\"fastBSSTransition\"");

    // The lists: one object per row.
    std::vector<uint8_t> keys = reply_of(CTL_KEYS, 2);
    const size_t at = ctl_msg_catalogue[CTL_KEYS].size;
    memcpy(keys.data() + at, &row, sizeof row);
    memcpy(keys.data() + at + sizeof row, &row, sizeof row);
    fakegwd_set_reply(fake, CTL_DUMP_KEYS, keys);
    j = run("list service " + u + " pmks", JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "length, (.[1] | keys_unsorted | length)"), "2\n5");
    std::vector<uint8_t> fts = reply_of(CTL_FTAUTHS, 1);
    memcpy(fts.data() + ctl_msg_catalogue[CTL_FTAUTHS].size, &ftrow, sizeof ftrow);
    fakegwd_set_reply(fake, CTL_DUMP_FTAUTHS, fts);
    j = run("list service " + u + " ft auths", JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "length, .[0].dot11BSSId.dot11APMacAddress"),
              "1\n\"02:00:00:00:01:00\"");
}

// A PSK station's flow of a VAP: the station's selected AKM and ciphers and
// its RSNA counters, under the flow's own tables; the flow without an FT
// authentication leaves the station's address and selections standing.
TEST_F(UgwSlots, FlowShowCarriesTheStationsRsna)
{
    if (!render_have("jq")) GTEST_SKIP() << "jq is not installed (.ci/packages.d/render)";
    const uint8_t bss[6] = {2, 0, 0, 0, 1, 0}, sta_mac[6] = {2, 0, 0, 0, 0, 7};
    std::vector<uint8_t> flow = reply_of(CTL_NEW_FLOW);
    ugw_flow_rec rec{};
    memcpy(rec.ulmexBSSID, bss, 6);
    memcpy(rec.ulmexClientMAC, sta_mac, 6);
    memset(rec.ulmexServiceId, 0x11, 16);
    dot11_flow_station st{};
    memcpy(st.sta, sta_mac, 6);
    memcpy(st.bssid, bss, 6);
    st.dot11RSNAAuthenticationSuiteSelected = DOT11_AKM_PSK;
    st.dot11RSNAPairwiseCipherSelected = DOT11_CIPHER_CCMP;
    st.dot11RSNAPairwiseCipherRequested = DOT11_CIPHER_CCMP;
    st.dot11RSNAGroupCipherSelected = DOT11_CIPHER_CCMP;
    st.stats.dot11RSNAStatsCCMPReplays = 3;
    st.flags = DOT11_FLOWSTA_RSNA;
    memcpy(flow.data() + 8, &rec, sizeof rec);
    const size_t sta_at = 8 + CTL_REC_FLOW + CTL_REC_FLOW_SOCKET + CTL_REC_ACCESS +
                          CTL_REC_PAE_STATUS + CTL_REC_FTAUTH + 4;
    memcpy(flow.data() + sta_at, &st, sizeof st);
    fakegwd_set_reply(fake, CTL_GET_FLOW, flow);
    std::vector<uint8_t> vap = reply_of(CTL_NEW_VAP);
    dot11_auth_config cfg{};
    memcpy(cfg.bss_mac, bss, 6);
    cfg.dot11RSNAConfigPairwiseCipher[0] = DOT11_CIPHER_CCMP;
    cfg.dot11RSNAConfigAuthenticationSuite[0] = DOT11_AKM_PSK;
    cfg.flags_a = DOT11_CFG_A_RSNA_IMPLEMENTED | DOT11_CFG_A_RSNA_ACTIVATED;
    memcpy(vap.data() + 8 + CTL_REC_VAP, &cfg, sizeof cfg);
    fakegwd_set_reply(fake, CTL_GET_VAP, vap);

    const std::string line = "show vap 02:00:00:00:01:00 client 02:00:00:00:00:07 flow";
    result j = run(line, JSON);
    ASSERT_EQ(j.rc, 0) << strerror(j.err);
    EXPECT_EQ(render_jq(j.out, "keys_unsorted"),
              "[\"ulmexFlow\",\"ulmexSession\",\"ulmexAuthorization\",\"dot11StationConfig\","
              "\"dot11Operation\",\"dot11BSSId\",\"dot11AuthenticationAlgorithms\","
              "\"dot11Privacy\",\"dot11RSNAConfig\",\"dot11RSNAConfigPairwiseCiphers\","
              "\"dot11RSNAConfigAuthenticationSuites\",\"dot11Counters\",\"dot11RSNAStats\","
              "\"dot1xAuthConfig\"]");
    EXPECT_EQ(render_jq(j.out, "[.dot11StationConfig.dot11StationID, "
                               ".dot11RSNAConfig.dot11RSNAAuthenticationSuiteSelected, "
                               ".dot11RSNAConfig.dot11RSNAPairwiseCipherSelected, "
                               ".dot11RSNAStats.dot11RSNAStatsCCMPReplays]"),
              "[\"02:00:00:00:00:07\",\"00-0f-ac:2\",\"00-0f-ac:4\",3]");

    result t = run(line, TEXT);
    ASSERT_EQ(t.rc, 0) << strerror(t.err);
    const char *const lines[][2] = {{"Selected AKM: ", "PSK"},
                                    {"Selected Cipher: ", "CCMP"},
                                    {"CCMP Replays: ", "3"},
                                    {"AP MAC Address: ", "02:00:00:00:01:00"}};
    for (const auto &l : lines) {
        char want[64];
        snprintf(want, sizeof want, "%22s%s\n", l[0], l[1]);
        EXPECT_NE(t.out.find(want), std::string::npos) << want << t.out;
    }
}

} // namespace
