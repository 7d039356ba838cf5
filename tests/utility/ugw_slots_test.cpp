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
