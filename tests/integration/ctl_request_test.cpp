// Flow installation against a fernrelayd stand-in: Native packets that came
// before their flow are bound and replayed in arrival order, and a flow its
// station never takes over is unbound by the install timer (Delete-Flow).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <net/if.h>
#include <poll.h>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "common/uclient.h"
#include "common/userver.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/gateway_harness.h"

namespace
{

using namespace standin_fixture;

const uint8_t bss[6] = {0x02, 0xb5, 0, 0, 0, 7};
const uint8_t sta[6] = {0x02, 0x57, 0xa0, 0, 0, 7};
const uint8_t radio_mac[6] = {0x02, 0xaa, 0, 0, 0, 7};
const uint8_t radio_ip[4] = {10, 1, 0, 2};

std::string hex(const std::vector<uint8_t> &b)
{
    std::string s;
    char t[3];
    for (uint8_t c : b) {
        snprintf(t, sizeof(t), "%02x", c);
        s += t;
    }
    return s;
}

// A Native-tunnelled 802.11 data frame of the station to the BSS, marked.
std::vector<uint8_t> native_packet(uint8_t mark)
{
    enum : size_t { IP = 20, UDP = 8, FRAME = 24 + 11 };
    uint8_t b[IP + UDP + FRAME] = {0x45, 0,           0,    IP + UDP + FRAME,
                                   0,    0,           0,    0,
                                   64,   17,          0,    0,
                                   10,   1,           0,    2,
                                   10,   1,           0,    1,
                                   0x30, 0x39,        0x14, 0x7e,
                                   0,    UDP + FRAME, 0,    0,
                                   0x08, 0x01};
    uint8_t *f = b + IP + UDP;
    memcpy(f + 4, bss, 6);
    memcpy(f + 10, sta, 6);
    memcpy(f + 16, bss, 6);
    const uint8_t llc[] = {0xaa, 0xaa, 3, 0, 0, 0, 0x88, 0xb5};
    memcpy(f + 24, llc, sizeof(llc));
    f[24 + sizeof(llc)] = mark;
    return std::vector<uint8_t>(b, b + sizeof(b));
}

std::vector<ulmex_status_code> answers;
ulmex_arena arena;

void record(ulmex_link *, packet *p)
{
    ulmex_message m;
    if (ulmex_codec_decode(arena, {p->data, p->length}, m) == 0)
        if (auto *s = std::get_if<ULMEX_STATUS>(&m.pdu)) answers.push_back(s->statusCode);
}

class Install : public ::testing::Test, protected gateway_harness
{
  protected:
    uclient *sub = nullptr;

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip link add d1 type veth peer name p1 && "
            "ip link set d1 up && ip link set p1 up && ip addr add 10.1.0.1/24 dev d1 && "
            "ip link add d2 type veth peer name p2 && ip link set d2 up"));
        ASSERT_TRUE(start("ctlreq"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, UGWD_TRANSPORT_NATIVE, 5246)).size(), 64u);
        ugwd_service_conf c = service_conf(1);
        c.mib.ulmexServiceVNI = 0;
        ASSERT_TRUE(add_service(c));
        answers.clear();
        ulmex_established(&ctl->link, nullptr);
        ctl->client.send_cb = record;
        subscribe(CTL_DELETE_FLOW);
        dp("clear");
    }

    void TearDown() override
    {
        if (sub) uclient_close(sub);
        stop();
    }

    void subscribe(uint32_t type)
    {
        sub = subscribe_events(type);
        ASSERT_NE(sub, nullptr);
    }

    void divert(const std::vector<uint8_t> &pkt)
    {
        ASSERT_EQ(dp("packet 7 4 0 " + hex(pkt)), "sent 1\n");
        pollfd p{frlc_fd(proc->fernrelay), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        frlc_process(proc->fernrelay);
    }

    void install(uint32_t session, uint16_t timeout)
    {
        auto uuid = uuid_of(1);
        ulmex_flow_install r;
        r.radioId = ulmex_bytes(radio_mac, 6);
        r.bssId = ulmex_bytes(bss, 6);
        r.clientId = ulmex_bytes(sta, 6);
        r.serviceId = ulmex_bytes(uuid);
        r.sessionId = session;
        static const uint8_t key[32] = {9};
        r.sessionKey = ulmex_bytes(key, 32);
        r.dataPort.inet = {ulmex_inet_type::ip, ulmex_bytes(radio_ip, 4)};
        r.dataPort.port = 12345;
        r.timeout = timeout;
        ulmex_pdu pdu = ulmex_make_pdu<ULMEX_FLOW_INSTALL>(r);
        ugwd_ctl_client_request_cb(&ctl->link, &pdu, session);
    }
};

TEST_F(Install, StashedPacketsAreBoundAndReplayedInOrderThenTheTimerUnbinds)
{
    std::vector<std::vector<uint8_t>> sent;
    for (uint8_t mark : {1, 2, 3}) {
        sent.push_back(native_packet(mark));
        divert(sent.back());
    }
    ASSERT_EQ(ctl->stash->count, 3u) << "no flow yet: kept";
    ASSERT_TRUE(dp.journal("msg 46 ").empty());

    install(5, 1);
    ASSERT_EQ(answers, std::vector{ulmex_status_code::success});
    flow_id fid;
    frlc_flow_id_pair(&fid, bss, sta);
    ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &fid);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->bound);
    EXPECT_EQ(ctl->stash->count, 0u);
    // One-way output: the stand-in journals it as it reads it.
    auto back = dp.journal("msg 46 ");
    for (uint64_t end = now_ms() + 5000; back.size() < 3 && now_ms() < end; poll(nullptr, 0, 5))
        back = dp.journal("msg 46 ");
    ASSERT_EQ(back.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_NE(back[i].find("encap=4"), std::string::npos) << back[i];
        EXPECT_NE(back[i].find("data=" + hex(sent[i])), std::string::npos) << i << back[i];
    }

    // Nobody associates within the timeout: the flow leaves the data plane.
    for (uint64_t end = now_ms() + 10000;
         ugwd_table_get_flow_by_id(ctl->table, &fid) && now_ms() < end;)
        schedule_run(ctl->sched, 50);
    EXPECT_EQ(ugwd_table_get_flow_by_id(ctl->table, &fid), nullptr);
    const uint8_t *ev = nullptr;
    ssize_t n = -1;
    for (uint64_t end = now_ms() + 5000; n < 0 && now_ms() < end; poll(nullptr, 0, 5))
        n = uclient_recv_event(sub, &ev);
    ASSERT_GT(n, 8);
    EXPECT_EQ(ctl_get32(ev, 0), CTL_DELETE_FLOW);
    EXPECT_EQ(memcmp(ev + 8 + 6, sta, 6), 0);
}

// Stashed packets that cannot be bound are dropped with the flow: failure.
TEST_F(Install, UnbindableStashFailsAndDropsTheFlow)
{
    divert(native_packet(1));
    ASSERT_EQ(ctl->stash->count, 1u);
    // The socket they came on is gone by the time the flow is installed.
    ugwd_socket *s = list_first_record<&ugwd_socket::link>(&ctl->sockets);
    s->id += 100;
    install(5, 30);
    s->id -= 100;
    ASSERT_EQ(answers, std::vector{ulmex_status_code::failure});
    flow_id fid;
    frlc_flow_id_pair(&fid, bss, sta);
    EXPECT_EQ(ugwd_table_get_flow_by_id(ctl->table, &fid), nullptr);
    EXPECT_EQ(ctl->stash->count, 0u);
    EXPECT_TRUE(dp.journal("msg 46 ").empty());
}

} // namespace
