// The executor against the stand-in management server: the requests each
// kind sends, the slot it renders with, read-act-send, the RADIUS server rows.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "gwc_fixture.h"
#include "radius/radius_mib.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"

using namespace gwc_test;

namespace
{

const std::string U = "0123abcd-0000-0000-0000-00000000beef";
const std::string M = "00:11:22:33:44:55";

struct rendered {
    int slot = -1;
    uint32_t count = 0;
    size_t record_size = 0;
    bool extra = false;
};

rendered last_render;
int action_result = 1;
int actions_run = 0;

template <int Slot> int record_slot(const ugw_render_args *a, const ugw_renderer_row *)
{
    last_render = {Slot, a->count, a->record_size, a->extra != nullptr};
    return printf("{}") < 0 ? -1 : 0;
}

template <int... Slots> constexpr ugw_renderer_row make_row(std::integer_sequence<int, Slots...>)
{
    return ugw_renderer_row{{record_slot<Slots>...}};
}

const ugw_renderer_table recording = {{make_row(std::make_integer_sequence<int, UGW_SLOTS>{}),
                                       make_row(std::make_integer_sequence<int, UGW_SLOTS>{}),
                                       make_row(std::make_integer_sequence<int, UGW_SLOTS>{})}};

int act(void *, const ugw_command *)
{
    actions_run++;
    return action_result;
}

const ugw_action_table acting = {act, act, act, act, act, act, act,
                                 act, act, act, act, act, act, act};

class UgwExec : public Gwc
{
  protected:
    int form = 0;

    int exec(const std::string &line, ugw_command *out = nullptr)
    {
        std::string b = line;
        char *words[31];
        int n = ugw_split_words(b.data(), words, 31);
        ugw_command cmd;
        EXPECT_EQ(ugw_parse_args(n, words, &cmd), 0) << line;
        if (out) *out = cmd;
        fakegwd_clear_journal(fake);
        last_render = {};
        actions_run = 0;
        return ugw_execute_on(c, &cmd, form, &recording, &acting);
    }

    std::vector<uint32_t> sent()
    {
        std::vector<uint32_t> types;
        for (const auto &r : fakegwd_journal(fake))
            types.push_back(r.size() >= 4 ? ctl_get32(r.data(), 0) : UINT32_MAX);
        return types;
    }
};

TEST_F(UgwExec, EachKindSendsItsRequestsAndRendersItsSlot)
{
    struct row {
        std::string line;
        std::vector<uint32_t> types;
        int slot = -1; // -1: nothing rendered
        int err = 0;   // non-zero: fails with it
    };
    const std::vector<row> rows = {
        {"configure", {}},
        {"commit", {}},
        {"check", {}},
        {"list modules", {}, 0},
        {"show log", {}, 1},
        {"list controls", {15}, 2},
        {"show control", {9}, 3},
        {"add control c1", {10}},
        {"remove control c1", {12}},
        {"set control c1 key 0011223344556677", {9, 14}},
        {"unset control c1 key", {9, 14}},
        {"list ports", {23}, 4},
        {"show port lo", {17}, 5},
        {"add port lo", {18}},
        {"remove port lo", {20}},
        {"set port lo ip 10.0.0.1", {17, 22}},
        {"unset port lo ip", {17, 22}},
        {"show port no-such-if0", {}, -1, ENODEV},
        {"list protos", {30}, 6},
        {"show port lo proto vxlan udp 4789", {25}, 7},
        {"add port lo proto gre", {26}},
        {"remove port lo proto native", {28}},
        {"list nases", {38}, 8},
        {"show nas r", {32}, 9},
        {"add nas r", {33}},
        {"remove nas r", {35}},
        {"set nas r caching", {32, 37}},
        {"unset nas r ports", {32, 37}},
        {"list nas r auth servers", {32}, 10},
        {"show nas r auth server 10.0.0.1", {32}, 11},
        {"list nas r acct servers", {32}, 12},
        {"show nas r acct server 10.0.0.1", {32}, 13},
        {"remove nas r auth server 10.0.0.1", {32}, -1, ENOENT},
        {"set nas r acct server 10.0.0.1 port 9", {32}, -1, ENOENT},
        {"list nas r filters", {56}, 14},
        {"show nas r filter f", {49}, 15},
        {"add nas r filter f", {50}},
        {"remove nas r filter f", {52}},
        {"set nas r filter f first rule 'deny in ip from any to any'", {54}},
        {"unset nas r filter f last", {55}},
        {"list hostsets", {47}, 16},
        {"show hostset 2", {40}, 17},
        {"add hostset 4", {41}},
        {"remove hostset 2", {43}},
        {"set hostset 2 host '*.example.com'", {45}},
        {"unset hostset 2 host a.b", {46}},
        {"list services", {65}, 18},
        {"show service " + U, {58}, 19},
        {"add service " + U, {59}},
        {"remove service " + U, {61}},
        {"rename service " + U + " to service 11111111-2222-3333-4444-555555555555", {64}},
        {"set service " + U + " qos", {58, 63}},
        {"unset service " + U + " ssid", {58, 63}},
        {"list vaps", {70}, 20},
        {"show service " + U + " vap " + M, {67}, 21},
        {"list service " + U + " tunnels", {75}, 22},
        {"show service " + U + " tunnel 10.0.0.9:vxlan", {72}, 23},
        {"list flows", {80}, 24},
        {"list client " + M + " flows", {80}, 24},
        {"show vap " + M + " client " + M + " flow", {77, 67}, 25},
        {"show tunnel 10.0.0.9:4789 client " + M + " flow", {77}, 25},
        {"list nas r access", {84}, 26},
        {"show service " + U + " client " + M + " access", {82}, 27},
        {"list service " + U + " pmks", {88}, 28},
        {"show service " + U + " pmk 00112233445566778899aabbccddeeff", {86}, 29},
        {"clear service " + U + " client " + M + " cache", {90}},
        {"list service " + U + " ft auths", {93}, 30},
        {"show service " + U + " client " + M + " ft auth " + M, {91}, 31},
        {"list client " + M + " leases", {95}, 32},
        {"list service " + U + " leases6", {98}, 34},
        {"show service " + U + " client " + M + " lease 10.0.0.5", {95}, -1, ENOENT},
        {"show service " + U + " client " + M + " lease 2001:db8::5", {98}, -1, ENOENT},
        {"dump leases", {97}},
        {"dump leases6", {100}},
        {"list client " + M + " groups", {101}, 36},
        {"list client " + M + " groups6", {103}, 37},
        {"list memory", {3}, 38},
        {"show memory pool", {1}, 39},
        {"list memory pool allocations", {1}, 40},
        {"list fabric", {5}, 41},
        {"show fabric 1", {5}, -1, ENOENT},
        {"list sockets", {7}, 42},
        {"show socket lo", {7}, -1, ENOENT},
        {"list fdbs", {}, 43},
        {"list mdbs", {}, 45},
        {"list fdb ../x clients", {}, -1, EINVAL},
        {"show mdb ../x group 01:00:5e:00:00:01", {}, -1, EINVAL},
    };
    action_result = 1;
    for (const row &r : rows) {
        errno = 0;
        int result = exec(r.line);
        EXPECT_EQ(sent(), r.types) << r.line;
        EXPECT_EQ(last_render.slot, r.slot) << r.line;
        if (r.err) {
            EXPECT_EQ(result, -1) << r.line;
            EXPECT_EQ(errno, r.err) << r.line;
        } else {
            EXPECT_EQ(result, 0) << r.line << ": " << strerror(errno);
        }
    }
    fflush(stdout);
}

TEST_F(UgwExec, ChangesAreSentOnlyWhenTheActionReportsOne)
{
    action_result = 0;
    EXPECT_EQ(exec("set service " + U + " qos"), 0);
    EXPECT_EQ(sent(), std::vector<uint32_t>{58});
    EXPECT_EQ(actions_run, 1);
    EXPECT_EQ(exec("set log level 3"), 0);
    EXPECT_EQ(actions_run, 1);
    action_result = -1;
    errno = ENOKEY;
    EXPECT_EQ(exec("set nas r ports 3"), -1);
    EXPECT_EQ(sent(), std::vector<uint32_t>{32});
    action_result = 1;
}

TEST_F(UgwExec, AFailedReadSendsNothingMore)
{
    fakegwd_fault(fake, FAKEGWD_STATUS, ENOENT);
    errno = 0;
    EXPECT_EQ(exec("set service " + U + " qos"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sent(), std::vector<uint32_t>{58});
    EXPECT_EQ(actions_run, 0);
}

// A NAS record reply whose auth rows hold the given IPv4 servers (0: free).
std::vector<uint8_t> nas_reply(uint32_t first, uint32_t second)
{
    std::vector<uint8_t> r = reply_of(CTL_NEW_NAS);
    uint32_t servers[2] = {first, second};
    for (int i = 0; i < 2; i++) {
        if (!servers[i]) continue;
        radiusAuthClientServerExtTable row{};
        row.radiusAuthServerExtIndex = static_cast<uint8_t>(i);
        row.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        uint32_t be = htonl(servers[i]);
        memcpy(row.radiusAuthServerInetAddress, &be, 4);
        row.radiusAuthClientServerInetPortNumber = 1812;
        memcpy(r.data() + 8 + 256 + i * sizeof(row), &row, sizeof(row));
    }
    return r;
}

radiusAuthClientServerExtTable sent_row(const std::vector<uint8_t> &modify, int i)
{
    radiusAuthClientServerExtTable row;
    memcpy(&row, modify.data() + 8 + 256 + i * sizeof(row), sizeof(row));
    return row;
}

// The source address the routing table gives toward addr, from `ip route get`.
std::string route_source(const char *addr)
{
    std::string cmd = std::string("ip route get ") + addr + " 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return "";
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, p);
    pclose(p);
    std::string out(buf, n);
    size_t at = out.find(" src ");
    if (at == std::string::npos) return "";
    at += 5;
    return out.substr(at, out.find_first_of(" \n", at) - at);
}

TEST_F(UgwExec, ServerAddsFillThePrimaryThenTheSecondaryThenRefuse)
{
    const char *server = "192.0.2.10";
    std::string src = route_source(server);
    if (src.empty()) GTEST_SKIP() << "no route toward " << server << " on this machine";
    uint32_t a = ntohl(inet_addr(server)), other = ntohl(inet_addr("192.0.2.99"));

    fakegwd_set_reply(fake, CTL_GET_NAS, nas_reply(0, 0));
    ASSERT_EQ(exec(std::string("add nas r auth server ") + server), 0) << strerror(errno);
    ASSERT_EQ(sent(), (std::vector<uint32_t>{32, 37}));
    auto row = sent_row(fakegwd_journal(fake)[1], 0);
    EXPECT_EQ(row.radiusAuthServerInetAddressType, RADIUS_INET_IPV4);
    EXPECT_EQ(row.radiusAuthClientServerInetPortNumber, 1812);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, row.radiusAuthClientInetAddress, text, sizeof(text));
    EXPECT_EQ(text, src);
    inet_ntop(AF_INET, row.radiusAuthServerInetAddress, text, sizeof(text));
    EXPECT_STREQ(text, server);

    fakegwd_set_reply(fake, CTL_GET_NAS, nas_reply(other, 0));
    ASSERT_EQ(exec(std::string("add nas r auth server ") + server), 0);
    row = sent_row(fakegwd_journal(fake)[1], 1);
    EXPECT_EQ(row.radiusAuthServerExtIndex, 1);
    EXPECT_EQ(row.radiusAuthServerInetAddressType, RADIUS_INET_IPV4);
    EXPECT_EQ(sent_row(fakegwd_journal(fake)[1], 0).radiusAuthServerInetAddressType,
              RADIUS_INET_IPV4);

    fakegwd_set_reply(fake, CTL_GET_NAS, nas_reply(other, other + 1));
    errno = 0;
    EXPECT_EQ(exec(std::string("add nas r auth server ") + server), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(sent(), std::vector<uint32_t>{32});

    // Already a row: refused, not written a second time.
    fakegwd_set_reply(fake, CTL_GET_NAS, nas_reply(a, 0));
    errno = 0;
    EXPECT_EQ(exec(std::string("add nas r auth server ") + server), -1);
    EXPECT_EQ(errno, EEXIST);

    // A row that exists: removed and set in its place.
    fakegwd_set_reply(fake, CTL_GET_NAS, nas_reply(other, a));
    ASSERT_EQ(exec(std::string("remove nas r auth server ") + server), 0);
    EXPECT_EQ(sent_row(fakegwd_journal(fake)[1], 1).radiusAuthServerInetAddressType, 0);
    EXPECT_EQ(sent_row(fakegwd_journal(fake)[1], 0).radiusAuthServerInetAddressType, 1);
    ASSERT_EQ(exec(std::string("set nas r auth server ") + server + " secret s3"), 0);
    EXPECT_EQ(sent(), (std::vector<uint32_t>{32, 37}));
}

TEST_F(UgwExec, AFlowShownByBssidFetchesTheVapOfItsService)
{
    std::vector<uint8_t> flow = reply_of(CTL_NEW_FLOW);
    const uint8_t service[16] = {0xaa, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xbb};
    memcpy(flow.data() + 8 + 18, service, sizeof(service)); // ulmexServiceId
    fakegwd_set_reply(fake, CTL_GET_FLOW, flow);
    ASSERT_EQ(exec("show vap 02:00:00:00:00:01 client " + M + " flow"), 0);
    auto j = fakegwd_journal(fake);
    ASSERT_EQ(j.size(), 2u);
    ASSERT_EQ(ctl_get32(j[1].data(), 0), CTL_GET_VAP);
    EXPECT_EQ(std::vector<uint8_t>(j[1].begin() + 8, j[1].begin() + 24),
              std::vector<uint8_t>(service, service + 16));
    EXPECT_EQ(j[1][24 + 5], 1); // the BSSID follows
    EXPECT_TRUE(last_render.extra);
}

TEST_F(UgwExec, LocalAddressOfLoopbackIsLoopback)
{
    in_addr peer{htonl(INADDR_LOOPBACK)}, local{};
    ASSERT_EQ(ugw_local_address4(&peer, &local), 0);
    EXPECT_EQ(local.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(UgwExec, AddHostsetPrintsTheNewIdAndJsonEndsWithALineFeed)
{
    char path[] = "/tmp/ugw-exec-out-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(fd, 1);
    std::vector<uint8_t> hostset = reply_of(CTL_NEW_HOSTSET);
    ctl_put32(hostset.data(), 8, 42);
    fakegwd_set_reply(fake, CTL_ADD_HOSTSET, hostset);
    int added = exec("add hostset");
    int given = exec("add hostset 43");
    form = 2;
    int listed = exec("list services");
    form = 0;
    int text = exec("list services");
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    char buf[64] = {};
    ASSERT_GE(pread(fd, buf, sizeof(buf) - 1, 0), 0);
    close(fd);
    unlink(path);
    EXPECT_EQ(added, 0);
    EXPECT_EQ(given, 0);
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(text, 0);
    EXPECT_STREQ(buf, "42\n{}\n{}");
}

TEST_F(UgwExec, ARefusedHealthCheckIsBusy)
{
    gwc_connection *other = gwc_create(fakegwd_path(fake), nullptr, nullptr, 0);
    ASSERT_TRUE(other);
    ASSERT_EQ(gwc_lock(other), 0);
    errno = 0;
    EXPECT_EQ(exec("check"), -1);
    EXPECT_EQ(errno, EBUSY);
    gwc_unlock(other);
    gwc_destroy(other);
    EXPECT_EQ(exec("check"), 0);
}

} // namespace
