// The controller's requests to a gateway object without a data plane: flow
// installation (repetitions, stale flows, purged VAPs, wrapped session ids,
// leftovers), flow removal, service configuration and their answers, the
// install timer, and the flow inform's deltas.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <optional>
#include <vector>

#include "common/ctl_msg.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "ctl_fixture.h"
#include "dot11/dot11_mib.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_service.h"

namespace
{

using ctl_test::Gateway;
using ctl_test::logged;

// What the link sent, decoded.
struct sent {
    bool response;
    uint8_t type;
    std::optional<ulmex_status_code> status;
    ulmex_flow_service_inform inform; // views cleared; the scalars stay
    std::vector<uint8_t> auth_method, cipher;
};
std::vector<sent> wire;
ulmex_arena record_arena;

void record(ulmex_link *, packet *p)
{
    ulmex_message m;
    ASSERT_EQ(ulmex_codec_decode(record_arena, {p->data, p->length}, m), 0);
    sent s{m.response, ulmex_pdu_type(m.pdu), {}, {}, {}, {}};
    if (auto *st = std::get_if<ULMEX_STATUS>(&m.pdu)) s.status = st->statusCode;
    if (auto *fi = std::get_if<ULMEX_FLOW_SERVICE_INFORM>(&m.pdu)) {
        s.inform = *fi;
        s.auth_method.assign(fi->authMethod.begin(), fi->authMethod.end());
        s.cipher.assign(fi->cipherSuite.begin(), fi->cipherSuite.end());
        s.inform.radioId = s.inform.bssId = s.inform.clientId = s.inform.serviceId = {};
        s.inform.authMethod = s.inform.cipherSuite = {};
    }
    wire.push_back(std::move(s));
}

std::vector<uint8_t> uuid_of(uint8_t n)
{
    std::vector<uint8_t> u(16, 0);
    u[0] = 0x5e;
    u[15] = n;
    return u;
}

const uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1};
const uint8_t radio[6] = {2, 0xaa, 0, 0, 0, 1};
const uint8_t station_a[6] = {2, 0x57, 0, 0, 0, 1};
const uint8_t station_b[6] = {2, 0x57, 0, 0, 0, 2};
const uint8_t key[32] = {1, 2, 3};
const uint8_t port_a[4] = {192, 0, 2, 1};
const uint8_t port_b[4] = {192, 0, 2, 2};

class Requests : public Gateway
{
  protected:
    ugwd_service *svc = nullptr;
    std::vector<uint8_t> uuid = uuid_of(1);
    uint32_t next_id = 100;

    void SetUp() override
    {
        Gateway::SetUp();
        wire.clear();
        ulmex_established(&ctl->link, nullptr);
        ctl->client.send_cb = record;
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid.data(), 16);
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        memcpy(m.data() + 8, &c, sizeof(c));
        m.resize(2048);
        ASSERT_EQ(ugwd_ctl_dispatch(ctl, m.data(), ctl_msg_size(m.data(), m.size()), 2048, 1),
                  1300);
        svc = ugwd_table_get_service(ctl->table, uuid.data());
        ASSERT_NE(svc, nullptr);
        svc->mib.ulmexServiceStatus = ULMEX_STATE_RUNNING;
    }

    // The answer's status; nullopt when nothing was answered.
    std::optional<ulmex_status_code> ask(const ulmex_pdu &pdu)
    {
        size_t before = wire.size();
        uint32_t id = next_id++;
        ugwd_ctl_client_request_cb(&ctl->link, &pdu, id);
        if (wire.size() == before) return std::nullopt;
        EXPECT_EQ(wire.size(), before + 1);
        EXPECT_TRUE(wire.back().response);
        return wire.back().status;
    }
    std::optional<ulmex_status_code> install(uint32_t session, const uint8_t *mac,
                                             const uint8_t *port = port_a,
                                             const std::vector<uint8_t> *service = nullptr,
                                             uint16_t timeout = 30)
    {
        ulmex_flow_install r;
        r.radioId = ulmex_bytes(radio, 6);
        r.bssId = ulmex_bytes(bssid, 6);
        r.clientId = ulmex_bytes(mac, 6);
        r.serviceId = ulmex_bytes(service ? *service : uuid);
        r.sessionId = session;
        r.sessionKey = ulmex_bytes(key, 32);
        r.dataPort.inet = {ulmex_inet_type::ip, ulmex_bytes(port, 4)};
        r.dataPort.port = 5246;
        r.timeout = timeout;
        r.frequencyBand = ulmex_frequency_band::band_5_ghz;
        return ask(ulmex_make_pdu<ULMEX_FLOW_INSTALL>(r));
    }
    std::optional<ulmex_status_code> remove(uint32_t session, const uint8_t *mac)
    {
        return ask(ulmex_make_pdu<ULMEX_FLOW_REMOVE>(
            ulmex_flow_remove{ulmex_bytes(bssid, 6), ulmex_bytes(mac, 6), session}));
    }
    std::optional<ulmex_status_code> configure(uint32_t epoch, std::optional<uint32_t> interval,
                                               const std::vector<uint8_t> &service)
    {
        return ask(ulmex_make_pdu<ULMEX_SERVICE_CONFIGURE>(
            ulmex_service_configure{ulmex_bytes(service), epoch, interval}));
    }
    ugwd_flow *flow(const uint8_t *mac)
    {
        return ugwd_table_get_flow_by_bssid_mac(ctl->table, bssid, mac);
    }
    ugwd_vap *vap() { return ugwd_table_get_vap_by_uuid_bssid(ctl->table, uuid.data(), bssid); }
};

constexpr auto ok = ulmex_status_code::success;
constexpr auto failure = ulmex_status_code::failure;
constexpr auto missing = ulmex_status_code::missing;

// A first installation creates VAP and flow; the same session again is a
// repetition; a newer one (also across the wrap from 0xFFFFFFFF to 0)
// replaces the flow; an older one is a repetition of what stands.
TEST_F(Requests, InstallCreatesRepeatsAndReplacesInSerialOrder)
{
    ASSERT_EQ(install(0xFFFFFFFEu, station_a), ok);
    ugwd_flow *f = flow(station_a);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(vap(), nullptr);
    EXPECT_EQ(vap()->mib.ulmexFrequencyBand, 4) << "5 GHz";
    EXPECT_EQ(f->unbind_delay, 30u);
    EXPECT_EQ(memcmp(f->radio, radio, 6), 0);

    struct {
        uint32_t session;
        bool replaces;
    } steps[] = {
        {0xFFFFFFFEu, false}, {0xFFFFFFFFu, true},  {0u, true},
        {0xFFFFFFFFu, false}, {0x80000001u, false}, {5u, true},
    };
    uint32_t current = 0xFFFFFFFEu;
    for (auto s : steps) {
        ctl_test::log_clear();
        EXPECT_EQ(install(s.session, station_a), ok) << s.session;
        ASSERT_NE(flow(station_a), nullptr) << s.session;
        if (s.replaces) current = s.session;
        EXPECT_EQ(flow(station_a)->session_id, current) << s.session;
        EXPECT_EQ(logged("Removing stale flow"), s.replaces ? 1u : 0u) << s.session;
        EXPECT_EQ(ugwd_table_count_flows(ctl->table), 1u);
        EXPECT_EQ(svc->mib.ulmexServiceActiveFlows, 1u);
    }
    EXPECT_EQ(ugwd_table_count_vaps(ctl->table), 1u);
}

TEST_F(Requests, InstallRefusesWhatItCannotCarry)
{
    auto other = uuid_of(9);
    EXPECT_EQ(install(1, station_a, port_a, &other), failure) << "no such service";
    ulmex_flow_install bad;
    bad.bssId = ulmex_bytes(bssid, 3);
    EXPECT_EQ(ask(ulmex_make_pdu<ULMEX_FLOW_INSTALL>(bad)), failure) << "short members";
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
    EXPECT_EQ(ugwd_table_count_vaps(ctl->table), 0u);
}

// A new data port for the BSSID purges the VAP with every flow on it.
TEST_F(Requests, NewDataPortPurgesTheVapAndItsFlows)
{
    ASSERT_EQ(install(1, station_a), ok);
    ASSERT_EQ(install(1, station_b), ok);
    ugwd_vap *old = vap();
    EXPECT_EQ(old->mib.ulmexServiceActiveFlows, 2u);
    EXPECT_EQ(install(7, station_a, port_b), ok);
    EXPECT_EQ(logged("Purging stale VAP"), 1u);
    EXPECT_EQ(logged("since its data port changed from 192.0.2.1:5246 to 192.0.2.2:5246"), 1u);
    EXPECT_EQ(flow(station_b), nullptr);
    ASSERT_NE(flow(station_a), nullptr);
    EXPECT_EQ(flow(station_a)->session_id, 7u);
    ASSERT_NE(vap(), nullptr);
    EXPECT_EQ(vap()->mib.ulmexServiceActiveFlows, 1u);
    EXPECT_EQ(vap()->radio.sin.sin_addr.s_addr, htonl(0xC0000202));
    EXPECT_EQ(ugwd_table_count_vaps(ctl->table), 1u);
}

// A flow or VAP that cannot go away yet (its unbinding waits for a running
// deauthorization) is answered with failure, not an abort.
TEST_F(Requests, LeftoverFlowOrVapIsAFailure)
{
    ASSERT_EQ(install(1, station_a), ok);
    ugwd_flow *f = flow(station_a);
    f->deauth_depth = 1;
    EXPECT_EQ(install(2, station_a), failure) << "stale flow still there";
    EXPECT_EQ(logged("a flow with its id remains"), 1u);
    EXPECT_EQ(install(2, station_b, port_b), failure) << "VAP still in use";
    EXPECT_EQ(logged("is still in use"), 1u);
    EXPECT_EQ(flow(station_b), nullptr);
    f->deauth_depth = 0;
    f->flags &= static_cast<uint8_t>(~UGWD_FLOW_DELETE);
}

TEST_F(Requests, RemoveOnlyTheSameSession)
{
    ASSERT_EQ(install(10, station_a), ok);
    for (uint32_t s : {9u, 11u, 0u}) {
        EXPECT_EQ(remove(s, station_a), missing) << s;
        EXPECT_NE(flow(station_a), nullptr) << s;
    }
    EXPECT_EQ(logged("Discarding stale control message for flow with client "
                     "02:57:00:00:00:01 on BSSID 02:b5:00:00:00:01"),
              3u);
    EXPECT_EQ(remove(10, station_a), ok);
    EXPECT_EQ(flow(station_a), nullptr);
    EXPECT_EQ(vap(), nullptr) << "gone with its last flow";
    EXPECT_EQ(remove(10, station_a), missing);
}

TEST_F(Requests, ConfigureKeepsTheNewestEpoch)
{
    auto other = uuid_of(9);
    EXPECT_EQ(configure(1, 5, other), missing);
    EXPECT_EQ(logged("Discarding stale control message for service "
                     "5e000000-0000-0000-0000-000000000009"),
              1u);

    struct {
        uint32_t epoch;
        std::optional<uint32_t> interval;
        bool applied;
    } steps[] = {
        {0xFFFFFFF0u, 60, true},  {0xFFFFFFF0u, 30, true},  {0xFFFFFFEFu, 10, false},
        {3u, std::nullopt, true}, {0xFFFFFFF0u, 10, false},
    };
    // The epoch its registration was accepted with.
    svc->epoch_id = 0xFFFFFFE0u;
    uint32_t epoch = svc->epoch_id, interval = 0;
    for (auto s : steps) {
        ctl_test::log_clear();
        EXPECT_EQ(configure(s.epoch, s.interval, uuid), ok) << s.epoch;
        if (s.applied) epoch = s.epoch, interval = s.interval.value_or(0);
        EXPECT_EQ(svc->epoch_id, epoch) << s.epoch;
        EXPECT_EQ(svc->mib.ulmexInformInterval, interval) << s.epoch;
        EXPECT_EQ(logged("reconfigured"), s.applied ? 1u : 0u) << s.epoch;
        EXPECT_EQ(logged("Swallowing expired control message"), s.applied ? 0u : 1u) << s.epoch;
    }

    svc->mib.ulmexServiceStatus = ULMEX_STATE_WAITING;
    EXPECT_EQ(configure(10, 1, uuid), std::nullopt) << "not running: left to retransmission";
    EXPECT_EQ(logged("not running"), 1u);
    EXPECT_EQ(svc->epoch_id, epoch);
}

TEST_F(Requests, AnythingElseIsAFailure)
{
    EXPECT_EQ(ask(ulmex_make_pdu<ULMEX_SERVICE_REGISTER>(ulmex_service_register{})), failure);
    EXPECT_EQ(logged("Discarding unhandled control message ServiceRegister (12)"), 1u);
}

// The install timer unbinds a flow its station never took over.
TEST_F(Requests, InstallTimerUnbinds)
{
    ASSERT_EQ(install(1, station_a, port_a, nullptr, 1), ok);
    ASSERT_NE(flow(station_a), nullptr);
    for (int i = 0; i < 50 && flow(station_a); i++)
        schedule_run(ctl->sched, 100);
    EXPECT_EQ(flow(station_a), nullptr);
    EXPECT_EQ(vap(), nullptr);
    EXPECT_EQ(logged("Deleted flow"), 1u);
}

// Each inform carries the counters' growth since the one before; a stop is
// not kept for cancellation with the flow's requests.
TEST_F(Requests, FlowInformSendsDeltas)
{
    ASSERT_EQ(install(42, station_a), ok);
    ugwd_flow *f = flow(station_a);
    f->rsna.suites.akm = DOT11_AKM_8021X;
    f->rsna.suites.pairwise = dot11_suite(0x00, 0x0f, 0xac, 4);
    f->traffic = {10, 20, 1, 1000, 2000};
    wire.clear();
    ASSERT_EQ(ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_UPDATE, 0), 0);
    f->traffic = {15, 20, 4, 0x100000000ull + 1000, 2500};
    ASSERT_EQ(ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_STOP, 4), 0);
    ASSERT_EQ(wire.size(), 2u);
    const auto &a = wire[0].inform, &b = wire[1].inform;
    EXPECT_EQ(wire[0].type, ULMEX_FLOW_SERVICE_INFORM);
    EXPECT_EQ(a.sessionId, 42u);
    EXPECT_EQ(a.linkId, 1u);
    EXPECT_EQ(a.flowEvent, ulmex_flow_event::update);
    EXPECT_EQ(std::tuple(a.packetsDown, a.packetsUp, a.droppedUp, a.octetsDown, a.octetsUp),
              std::tuple(10u, 20u, 1u, uint64_t{1000}, uint64_t{2000}));
    EXPECT_EQ(b.flowEvent, ulmex_flow_event::stop);
    EXPECT_EQ(b.flowReason, ulmex_flow_reason::network_timeout);
    EXPECT_EQ(std::tuple(b.packetsDown, b.packetsUp, b.droppedUp, b.octetsDown, b.octetsUp),
              std::tuple(5u, 0u, 3u, 0x100000000ull, uint64_t{500}));
    EXPECT_EQ(wire[0].auth_method, (std::vector<uint8_t>{0x00, 0x0f, 0xac, 1}));
    EXPECT_EQ(wire[0].cipher, (std::vector<uint8_t>{0x00, 0x0f, 0xac, 4}));
    EXPECT_FALSE(a.authCached);
    EXPECT_EQ(ctl->link.record.ulmexRequestsSent, 2u);
    // Only the update waits on the flow's list; a stop is never cancelled.
    ulmex_cancel(&ctl->link, &f->requests);
    EXPECT_EQ(ctl->link.record.ulmexRequestCancels, 1u);
}

// Association of an 802.11 flow informs its start; disassociation its stop,
// as a time-out when the station sent nothing since the last inform.
TEST_F(Requests, AssociationInformsStartAndDisassociationStop)
{
    ASSERT_EQ(install(3, station_a), ok);
    ugwd_flow *f = flow(station_a);
    wire.clear();
    ugwd_ctl_associate_flow(f);
    f->traffic.packets_down += 4;
    ugwd_ctl_disassociate_flow(f, 8);
    ugwd_ctl_associate_flow(f);
    f->traffic.packets_up += 2;
    ugwd_ctl_disassociate_flow(f, 0);
    ASSERT_EQ(wire.size(), 4u);
    struct {
        ulmex_flow_event event;
        ulmex_flow_reason reason;
        uint32_t down, up;
    } want[] = {
        {ulmex_flow_event::start, ulmex_flow_reason::none, 0, 0},
        {ulmex_flow_event::stop, ulmex_flow_reason::network_timeout, 4, 0},
        {ulmex_flow_event::start, ulmex_flow_reason::none, 0, 0},
        {ulmex_flow_event::stop, ulmex_flow_reason::client_request, 0, 2},
    };
    for (size_t i = 0; i < 4; i++) {
        const auto &m = wire[i].inform;
        EXPECT_EQ(wire[i].type, ULMEX_FLOW_SERVICE_INFORM) << i;
        EXPECT_EQ(m.flowEvent, want[i].event) << i;
        EXPECT_EQ(m.flowReason, want[i].reason) << i;
        EXPECT_EQ(m.packetsDown, want[i].down) << i;
        EXPECT_EQ(m.packetsUp, want[i].up) << i;
        EXPECT_EQ(m.sessionId, 3u) << i;
    }
}

TEST(FlowInform, AuthCachedForPskOrACachedKey)
{
    struct {
        uint32_t akm;
        bool valid;
        uint32_t cached_akm;
        bool cached;
    } cases[] = {
        {DOT11_AKM_PSK, false, 0, true},
        {DOT11_AKM_WPA_PSK, false, 0, true},
        {DOT11_AKM_FT_PSK, false, 0, false},
        {DOT11_AKM_8021X, false, 0, false},
        {DOT11_AKM_8021X, true, 0, false},
        {DOT11_AKM_8021X, true, DOT11_AKM_8021X, true},
        {DOT11_AKM_FT_8021X, false, DOT11_AKM_FT_8021X, false},
    };
    for (auto c : cases) {
        dot11_rsna r{};
        r.suites.akm = c.akm;
        r.pmksa_valid = c.valid;
        r.pmksa_akm = c.cached_akm;
        EXPECT_EQ(ugwd_flow_auth_cached(&r), c.cached) << std::hex << c.akm << " " << c.valid;
    }
}

} // namespace
