// 802.11 flows against a fernrelayd stand-in: a simulated station's frames
// reach the VAP's authenticator through the data plane, and the
// authenticator's callbacks become the flow's association, authorization,
// keys and disassociation in the stand-in; Get-VAP with its statistics.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <future>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/uclient.h"
#include "common/userver.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "tests/dot11/sta_sim.h"
#include "tests/integration/gateway_harness.h"
#include "tests/integration/standin_fixture.h"

namespace
{

using namespace standin_fixture;
using sim::bytes;

const uint8_t kBss[6] = {0x02, 0xb5, 0, 0, 0, 1};
const uint8_t kSta[6] = {0x02, 0x57, 0xa1, 0, 0, 1};

std::string hex(const void *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", static_cast<const uint8_t *>(p)[i]);
        s += b;
    }
    return s;
}

bytes unhex(const std::string &h)
{
    bytes b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
    return b;
}

// The frame bytes of a journalled type-42 message.
bytes frame_data(const std::string &line)
{
    size_t at = line.find("data=");
    return at == std::string::npos ? bytes{} : unhex(line.substr(at + 5));
}

uint16_t le16(const bytes &b, size_t at)
{
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

class Dot11Flows : public ::testing::Test, protected gateway_harness
{
  protected:
    ugwd_service *svc = nullptr;
    ugwd_socket *native = nullptr;
    uclient *sub = nullptr;
    sim::station sta{};

    void SetUp() override
    {
        if (std::string why = skip_reason(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(enter_namespaces(
            "ip link set lo up && ip link add d1 type veth peer name p1 && "
            "ip link set d1 up && ip link set p1 up && ip addr add 10.1.0.1/24 dev d1 && "
            "ip link add d2 type veth peer name p2 && ip link set d2 up"));
        ASSERT_TRUE(start("dot11"));
        uint32_t d1 = if_nametoindex("d1");
        ASSERT_EQ(run(port_msg(d1)).size(), 56u);
        ASSERT_EQ(run(socket_msg(d1, UGWD_TRANSPORT_NATIVE, 5246)).size(), 64u);
        native = ugwd_ctl_find_socket(ctl, d1, UGWD_TRANSPORT_NATIVE, 5246);
        ASSERT_NE(native, nullptr);
        memcpy(sta.mac, kSta, 6);
        memcpy(sta.bss, kBss, 6);
        sta.ssid = "wifi";
    }

    void TearDown() override
    {
        if (sub) uclient_close(sub);
        stop();
    }

    std::string log_text() const
    {
        std::string all;
        for (auto &l : lines)
            all += l + "\n";
        return all;
    }

    void add_service(const dot11_auth_config &dot11)
    {
        ugwd_service_conf c = service_conf(1);
        c.mib.ulmexServiceVNI = 0;
        c.dot11 = dot11;
        ASSERT_TRUE(gateway_harness::add_service(c));
        svc = ugwd_table_get_service(ctl->table, uuid_of(1).data());
        ASSERT_NE(svc, nullptr);
    }

    // A VAP on kBss with one bound flow of kSta.
    ugwd_flow *bound_flow()
    {
        sockaddr_in radio = {};
        radio.sin_family = AF_INET;
        radio.sin_port = htons(5246);
        radio.sin_addr.s_addr = htonl(0x0a010002);
        ugwd_vap *vap = ugwd_service_create_vap(svc, kBss, reinterpret_cast<sockaddr *>(&radio));
        if (!vap || ugwd_table_insert_vap(ctl->table, vap) < 0) return nullptr;
        ugwd_flow *f = ugwd_ctl_create_flow(ctl, vap, nullptr, kSta);
        if (!f || ugwd_ctl_bind_tunnel(f, proc, native) < 0) return nullptr;
        dp("clear");
        return f;
    }

    void subscribe(uint32_t type)
    {
        sub = subscribe_events(type);
        ASSERT_NE(sub, nullptr);
    }

    std::vector<uint8_t> next_event()
    {
        const uint8_t *ev = nullptr;
        ssize_t n = -1;
        for (uint64_t end = now_ms() + 20000; n < 0 && now_ms() < end; poll(nullptr, 0, 5))
            n = uclient_recv_event(sub, &ev);
        return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(ev, ev + n);
    }

    // The station's frame as the data plane hands it up on the flow's chain node.
    void from_station(const ugwd_flow *f, uint8_t cls, uint8_t encap, const bytes &frame)
    {
        ASSERT_EQ(dp("frame 42 " + std::to_string(f->chain_node) + " " + hex(&f->id, 12) + " " +
                     std::to_string(cls) + " " + std::to_string(encap) + " 0 " +
                     hex(frame.data(), frame.size())),
                  "sent 1\n");
        pollfd p{frlc_fd(proc->fernrelay), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 20000), 1);
        frlc_process(proc->fernrelay);
    }
    void mgmt(const ugwd_flow *f, const bytes &frame)
    {
        from_station(f, 2, FRL_ENCAP_80211, frame);
    }
    void eapol(const ugwd_flow *f, const bytes &frame)
    {
        from_station(f, 3, FRL_ENCAP_ETHER, frame);
    }

    // Frames the daemon sent the station, of one class.
    std::vector<bytes> sent(unsigned cls)
    {
        std::vector<bytes> out;
        for (auto &l : dp.journal("msg 42 "))
            if (l.find(" class=" + std::to_string(cls) + " ") != std::string::npos)
                out.push_back(frame_data(l));
        return out;
    }

    std::string rules(const ugwd_flow *f)
    {
        return dp("rules " + std::to_string(proc->node_a) + " " + hex(&f->id, 12));
    }
};

// Open system: Authentication and Association answered through the data
// plane, the flow associated and authorized with the built-in rules; the
// station's Deauthentication withdraws both, and unbinding publishes
// Delete-Flow with the station block.
TEST_F(Dot11Flows, OpenSystemStationAssociatesAuthorizesAndLeaves)
{
    dot11_auth_config open{};
    add_service(open);
    ugwd_flow *f = bound_flow();
    ASSERT_NE(f, nullptr) << log_text();
    subscribe(CTL_DELETE_FLOW);

    mgmt(f, sta.auth_req());
    auto out = sent(2);
    ASSERT_EQ(out.size(), 1u) << dp("journal");
    EXPECT_EQ(out[0][0] >> 4, DOT11_ST_AUTH);
    EXPECT_EQ(memcmp(out[0].data() + 4, kSta, 6), 0) << "addressed to the station";
    EXPECT_EQ(le16(out[0], DOT11_HDR_LEN + 4), 0) << "status success";
    EXPECT_TRUE(dp.journal("req 83 ").empty()) << "authenticated is not associated";

    mgmt(f, sta.assoc_req());
    out = sent(2);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1][0] >> 4, DOT11_ST_ASSOC_RESP);
    EXPECT_EQ(le16(out[1], DOT11_HDR_LEN + 2), 0);
    EXPECT_EQ(dp.journal("req 83 ").size(), 1u) << "the data plane is told of the association";
    EXPECT_EQ(ugwd_table_get_assoc_flow(ctl->table, kSta), f);
    EXPECT_NE(f->assoc_time, 0u);
    EXPECT_TRUE(f->flags & UGWD_FLOW_AUTHORIZED) << log_text();
    EXPECT_STREQ(f->user_name, "02:57:a1:00:00:01");
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=\n");
    EXPECT_TRUE(sent(1).empty()) << "open system sends no EAPOL";

    // The station leaves with reason 3.
    dp("clear");
    mgmt(f, sta.frame(DOT11_ST_DEAUTH, {3, 0}));
    auto dis = dp.journal("req 84 ");
    ASSERT_EQ(dis.size(), 1u) << dp("journal");
    EXPECT_FALSE(f->flags & UGWD_FLOW_AUTHORIZED);
    EXPECT_EQ(f->assoc_time, 0u);
    EXPECT_EQ(ugwd_table_get_assoc_flow(ctl->table, kSta), nullptr);
    EXPECT_EQ(rules(f), "ip=2 mac=0 url=\n") << "the deny pair";
    EXPECT_EQ(f->user_name[0], '\0');
    EXPECT_TRUE(timer_ispending(&f->timer_a)) << "the unbind timer";

    // Unbinding deletes flow and VAP; the event carries the station block.
    ugwd_ctl_unbind_flow(f);
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
    EXPECT_EQ(svc->mib.ulmexServiceActiveBSSIDs, 0u);
    auto ev = next_event();
    ASSERT_EQ(ev.size(), 1924u);
    EXPECT_EQ(ctl_get32(ev.data(), 0), CTL_DELETE_FLOW);
    EXPECT_EQ(memcmp(ev.data() + 1704, kSta, 6), 0);
    EXPECT_EQ(memcmp(ev.data() + 1710, kBss, 6), 0);
}

// The station roams to a second BSS of the service: its association there
// deauthorizes the first flow, whose authenticator drops the station and
// disassociates it, while the new flow stays authorized.
TEST_F(Dot11Flows, AssociationElsewhereDropsTheOlderFlow)
{
    dot11_auth_config open{};
    add_service(open);
    ugwd_flow *f = bound_flow();
    ASSERT_NE(f, nullptr) << log_text();
    mgmt(f, sta.auth_req());
    mgmt(f, sta.assoc_req());
    ASSERT_TRUE(f->flags & UGWD_FLOW_AUTHORIZED);

    const uint8_t bss2[6] = {0x02, 0xb5, 0, 0, 0, 2};
    sockaddr_in radio = {};
    radio.sin_family = AF_INET;
    ugwd_vap *vap2 = ugwd_service_create_vap(svc, bss2, reinterpret_cast<sockaddr *>(&radio));
    ASSERT_NE(vap2, nullptr);
    ASSERT_EQ(ugwd_table_insert_vap(ctl->table, vap2), 0);
    ugwd_flow *g = ugwd_ctl_create_flow(ctl, vap2, nullptr, kSta);
    ASSERT_NE(g, nullptr);
    ASSERT_EQ(ugwd_ctl_bind_tunnel(g, proc, native), 0) << log_text();
    dp("clear");
    sim::station roamer = sta;
    memcpy(roamer.bss, bss2, 6);
    mgmt(g, roamer.auth_req());
    mgmt(g, roamer.assoc_req());

    EXPECT_TRUE(g->flags & UGWD_FLOW_AUTHORIZED) << log_text();
    EXPECT_EQ(ugwd_table_get_assoc_flow(ctl->table, kSta), g);
    EXPECT_FALSE(f->flags & UGWD_FLOW_AUTHORIZED);
    EXPECT_EQ(f->assoc_time, 0u);
    EXPECT_FALSE(f->rsna.Associated);
    EXPECT_EQ(rules(f), "ip=2 mac=0 url=\n");
    EXPECT_EQ(rules(g), "ip=11 mac=2 url=\n");
    EXPECT_EQ(dp.journal("req 83 ").size(), 1u);
    EXPECT_EQ(dp.journal("req 84 ").size(), 1u) << "the older flow's disassociation";
}

// PSK: the 4-way handshake runs over EAPOL frames through the data plane;
// the pairwise and group keys reach the VAP's process, the pairwise one is
// activated, and the station is authorized. Removing the service then takes
// the station out of the key cache before the cache goes.
TEST_F(Dot11Flows, PskHandshakeInstallsKeysThenAuthorizes)
{
    bytes psk = sim::psk_from_passphrase("correct horse", "wifi");
    add_service(sim::psk_config(kBss, "wifi", psk, DOT11_AKM_PSK, false));
    ugwd_flow *f = bound_flow();
    ASSERT_NE(f, nullptr) << log_text();
    sta.pmk = psk;
    sta.ie = sim::rsn_ie(2);

    mgmt(f, sta.auth_req());
    mgmt(f, sta.assoc_req());
    EXPECT_EQ(dp.journal("req 83 ").size(), 1u);
    EXPECT_FALSE(f->flags & UGWD_FLOW_AUTHORIZED) << "not before the handshake";
    auto eapol_out = sent(1);
    ASSERT_EQ(eapol_out.size(), 1u) << dp("journal") << log_text();
    eapol(f, sta.answer_1of4(eapol_out[0]));
    eapol_out = sent(1);
    ASSERT_EQ(eapol_out.size(), 2u) << log_text();
    bytes m4 = sta.answer_3of4(eapol_out[1]);
    ASSERT_FALSE(m4.empty()) << "3/4 verifies with the station's own keys";
    eapol(f, m4);

    auto keys = dp.journal("req 85 ");
    EXPECT_EQ(keys.size(), 2u) << "pairwise and group key\n" << dp("journal");
    EXPECT_EQ(dp.journal("req 86 ").size(), 1u) << "pairwise key activated";
    EXPECT_TRUE(f->flags & UGWD_FLOW_AUTHORIZED) << log_text();
    EXPECT_EQ(rules(f), "ip=11 mac=2 url=\n");

    std::vector<uint8_t> remove(ctl_msg_catalogue[CTL_REMOVE_SERVICE].size);
    ugwd_ctl_msg_init(remove.data(), CTL_REMOVE_SERVICE);
    memcpy(remove.data() + 8, uuid_of(1).data(), 16);
    EXPECT_EQ(ctl_get32(run(remove).data(), 0), CTL_DELETE_SERVICE) << log_text();
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
}

// Get-VAP: the 802.11 statistics at 416 are the data plane's VAP record while
// bound, zero before; a process that cannot give them fails the command.
TEST_F(Dot11Flows, GetVapCarriesTheDataPlanesStatistics)
{
    dot11_auth_config open{};
    add_service(open);
    sockaddr_in radio = {};
    radio.sin_family = AF_INET;
    ugwd_vap *vap = ugwd_service_create_vap(svc, kBss, reinterpret_cast<sockaddr *>(&radio));
    ASSERT_NE(vap, nullptr);
    ASSERT_EQ(ugwd_table_insert_vap(ctl->table, vap), 0);
    std::vector<uint8_t> get(ctl_msg_catalogue[CTL_GET_VAP].size);
    ugwd_ctl_msg_init(get.data(), CTL_GET_VAP);
    memcpy(get.data() + 8, uuid_of(1).data(), 16);
    memcpy(get.data() + 24, kBss, 6);

    auto r = run(get);
    ASSERT_EQ(r.size(), 544u);
    EXPECT_EQ(ctl_get32(r.data(), 0), CTL_NEW_VAP);
    EXPECT_EQ(std::vector<uint8_t>(r.begin() + 416, r.end()), std::vector<uint8_t>(128, 0));

    ugwd_flow *f = ugwd_ctl_create_flow(ctl, vap, nullptr, kSta);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ugwd_ctl_bind_tunnel(f, proc, native), 0) << log_text();
    // What the data plane holds for the VAP: a pattern the reply must carry as is.
    frl_vap rec;
    for (size_t i = 0; i < sizeof(rec.b); i++)
        rec.b[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(frlc_set_vap(proc->fernrelay, vap->bind.service_node, &rec), 0);
    dp("clear");
    r = run(get);
    ASSERT_EQ(r.size(), 544u) << log_text();
    EXPECT_EQ(memcmp(r.data() + 416, rec.b, 128), 0);
    EXPECT_EQ(dp.journal("req 81 ").size(), 1u) << "its flow was refreshed\n" << dp("journal");

    struct {
        const char *fault;
        uint32_t status;
    } failures[] = {
        {"fault errno 62 12", EIO},    // the VAP's statistics
        {"fault errno 81 11", EAGAIN}, // a flow's statistics: the client's errno
        {"fault errno 36 12", ENOMEM}, // a flow's record
    };
    for (auto &c : failures) {
        SCOPED_TRACE(c.fault);
        dp(c.fault);
        r = run(get);
        ASSERT_EQ(r.size(), 8u);
        EXPECT_EQ(ctl_get32(r.data(), 4), c.status);
        dp("faults clear");
    }
}

} // namespace
