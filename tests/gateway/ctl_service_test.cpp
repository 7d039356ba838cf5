// Services, VAPs and tunnels through the management handlers, without data
// planes: creation, configuration, renaming, removal, events and the
// counting of the ports they use.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <net/if.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/uclient.h"
#include "ctl_fixture.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_service.h"

namespace
{

using ctl_test::Gateway;

std::vector<uint8_t> uuid_of(uint8_t n)
{
    std::vector<uint8_t> u(16, 0);
    u[0] = 0x5e;
    u[15] = n;
    return u;
}

struct reply {
    int len;
    std::vector<uint8_t> b;
    uint32_t type() const { return ctl_get32(b.data(), 0); }
    uint32_t status() const { return ctl_get32(b.data(), 4); }
};

class Services : public Gateway
{
  protected:
    uint32_t lo = 0;

    void SetUp() override
    {
        Gateway::SetUp();
        lo = if_nametoindex("lo");
        ASSERT_NE(lo, 0u);
    }

    reply run(std::vector<uint8_t> msg, bool privileged = true, size_t size = 2048)
    {
        msg.resize(std::max(msg.size(), size));
        size_t len = ctl_msg_size(msg.data(), msg.size());
        int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, privileged);
        return {r, msg};
    }

    static std::vector<uint8_t> conf_msg(uint32_t type, const std::vector<uint8_t> &uuid,
                                         std::vector<uint32_t> ifs, const char *ssid = "guest",
                                         const char *nas = "")
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid.data(), 16);
        c.mib.ulmexServiceSSID.length = static_cast<uint8_t>(strlen(ssid));
        memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, ssid, strlen(ssid));
        c.mib.ulmexServiceVNI = 4711;
        c.mib.ulmexServiceIfCount = static_cast<uint8_t>(ifs.size());
        for (size_t i = 0; i < ifs.size() && i < 64; i++)
            c.mib.ulmexServiceIfIndices[i] = ifs[i];
        snprintf(c.mib.ulmexRadiusNASIdentifier, sizeof(c.mib.ulmexRadiusNASIdentifier), "%s", nas);
        c.mib.mode = 0x10;
        memset(c.dot11.dot11RSNAConfigPSKValue, 0xaa, 32);
        c.vap_params[8] = 0x42;
        memcpy(m.data() + 8, &c, sizeof(c));
        return m;
    }

    static std::vector<uint8_t> key_msg(uint32_t type, const std::vector<uint8_t> &uuid,
                                        uint32_t flags = 0)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[type].size);
        ugwd_ctl_msg_init(m.data(), type);
        ctl_put32(m.data(), 4, flags);
        memcpy(m.data() + 8, uuid.data(), 16);
        return m;
    }

    static std::vector<uint8_t> rename_msg(const std::vector<uint8_t> &from,
                                           const std::vector<uint8_t> &to)
    {
        auto m = key_msg(CTL_RENAME_SERVICE, from);
        memcpy(m.data() + 24, to.data(), 16);
        return m;
    }

    ugwd_service *service(uint8_t n)
    {
        return ugwd_table_get_service(ctl->table, uuid_of(n).data());
    }
};

TEST_F(Services, AddServiceAnswersTheStoredRecordAndRefusesWhatIsWrong)
{
    auto add = conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo});
    // A buffer one byte short gets the size back and nothing changes.
    std::vector<uint8_t> small = add;
    EXPECT_EQ(ugwd_ctl_dispatch(ctl, small.data(), small.size(), 1299, 1), 1300);
    EXPECT_EQ(service(1), nullptr);

    reply r = run(add);
    ASSERT_EQ(r.len, 1300);
    EXPECT_EQ(r.type(), CTL_NEW_SERVICE);
    ugwd_service_mib mib;
    memcpy(&mib, r.b.data() + 8, sizeof(mib));
    EXPECT_EQ(0, memcmp(mib.ulmexServiceId, uuid_of(1).data(), 16));
    EXPECT_EQ(mib.ulmexServiceVNI, 4711u);
    EXPECT_EQ(mib.ulmexServiceIfCount, 1u);
    EXPECT_EQ(mib.ulmexServiceIfIndices[0], lo);
    // The SSID element leads the ESS template.
    ASSERT_GE(mib.ulmexESSTemplateLength, 7u);
    EXPECT_EQ(mib.ulmexESSTemplate[0], 0);
    EXPECT_EQ(mib.ulmexESSTemplate[1], 5);
    EXPECT_EQ(0, memcmp(mib.ulmexESSTemplate + 2, "guest", 5));
    EXPECT_EQ(r.b[1056 + 8], 0x42); // the VAP parameters as stored
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 1u);

    struct {
        std::vector<uint8_t> msg;
        uint32_t status;
    } bad[] = {
        {conf_msg(CTL_ADD_SERVICE, std::vector<uint8_t>(16, 0), {lo}), EINVAL},
        {conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo}), EEXIST},
        {conf_msg(CTL_ADD_SERVICE, uuid_of(2), {lo}, "x", "no-such-nas"), ENOENT},
        {conf_msg(CTL_ADD_SERVICE, uuid_of(3), {0x7ffffff0}), ENXIO},
        {conf_msg(CTL_ADD_SERVICE, uuid_of(4), {lo}, "an-ssid-that-is-longer-than-32-bytes"),
         EINVAL},
    };
    for (auto &c : bad) {
        reply e = run(c.msg);
        EXPECT_EQ(e.type(), CTL_STATUS);
        EXPECT_EQ(e.status(), c.status);
    }
    // Over 64 interfaces.
    auto many = conf_msg(CTL_ADD_SERVICE, uuid_of(5), {lo});
    many[8 + 452] = 65;
    EXPECT_EQ(run(many).status(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(ugwd_table_count_services(ctl->table), 1u);
    // Failed adds leave no count behind.
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 1u);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, 0x7ffffff0), 0u);

    // Forced: the existing service, unchanged, and no second count.
    auto forced = conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo}, "other");
    ctl_put32(forced.data(), 4, CTL_F_FORCE);
    reply f = run(forced);
    ASSERT_EQ(f.len, 1300);
    EXPECT_EQ(0, memcmp(f.b.data() + 8 + 16, "guest", 5));
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 1u);
}

TEST_F(Services, GetServiceShowsThePresharedKeyOnlyToPrivilegedClients)
{
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo})).len, 1300);
    constexpr size_t psk = 776 + 117;
    reply full = run(key_msg(CTL_GET_SERVICE, uuid_of(1)), true);
    reply ro = run(key_msg(CTL_GET_SERVICE, uuid_of(1)), false);
    ASSERT_EQ(full.len, 1300);
    ASSERT_EQ(ro.len, 1300);
    EXPECT_EQ(std::vector<uint8_t>(full.b.begin() + psk, full.b.begin() + psk + 32),
              std::vector<uint8_t>(32, 0xaa));
    EXPECT_EQ(std::vector<uint8_t>(ro.b.begin() + psk, ro.b.begin() + psk + 32),
              std::vector<uint8_t>(32, 0));
    EXPECT_EQ(run(key_msg(CTL_GET_SERVICE, uuid_of(9))).status(), static_cast<uint32_t>(ENOENT));

    std::vector<uint8_t> dump(8);
    ugwd_ctl_msg_init(dump.data(), CTL_DUMP_SERVICES);
    reply list = run(dump);
    ASSERT_EQ(list.len, 16 + 768);
    EXPECT_EQ(ctl_get32(list.b.data(), 8), 1u);
}

TEST_F(Services, RenameChecksTheNewNameFirstAndKeepsTheService)
{
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo})).len, 1300);
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(2), {lo})).len, 1300);
    struct {
        std::vector<uint8_t> from, to;
        uint32_t status;
    } cases[] = {
        {uuid_of(9), std::vector<uint8_t>(16, 0), EINVAL}, // before the old one is looked up
        {uuid_of(9), uuid_of(2), EEXIST},
        {uuid_of(9), uuid_of(3), ENOENT},
    };
    for (auto &c : cases)
        EXPECT_EQ(run(rename_msg(c.from, c.to)).status(), c.status);

    ugwd_service *s = service(1);
    reply r = run(rename_msg(uuid_of(1), uuid_of(3)));
    ASSERT_EQ(r.len, 1300);
    EXPECT_EQ(r.type(), CTL_NEW_SERVICE);
    EXPECT_EQ(0, memcmp(r.b.data() + 8, uuid_of(3).data(), 16));
    EXPECT_EQ(service(1), nullptr);
    EXPECT_EQ(service(3), s);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 2u);
}

// A tunnel flow exists without a controller: renaming unbinds it instead of
// tripping over it.
TEST_F(Services, RenameWithTunnelFlowsUnbindsThem)
{
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo})).len, 1300);
    ugwd_service *s = service(1);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(4789);
    peer.sin_addr.s_addr = htonl(0x0a000001);
    ugwd_tunnel *tn =
        ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
    ASSERT_NE(tn, nullptr);
    ASSERT_EQ(ugwd_table_insert_tunnel(ctl->table, tn), 0);
    uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, tn, mac), nullptr);
    mac[5] = 2;
    ASSERT_NE(ugwd_ctl_create_flow(ctl, nullptr, tn, mac), nullptr);
    EXPECT_EQ(s->mib.ulmexServiceActiveFlows, 2u);
    EXPECT_EQ(s->mib.ulmexServiceActiveBSSIDs, 1u);

    reply r = run(rename_msg(uuid_of(1), uuid_of(7)));
    ASSERT_EQ(r.len, 1300);
    EXPECT_EQ(s->mib.ulmexServiceActiveFlows, 0u);
    EXPECT_EQ(s->mib.ulmexServiceActiveBSSIDs, 0u);
    EXPECT_EQ(ugwd_table_count_flows(ctl->table), 0u);
    EXPECT_EQ(ugwd_table_count_tunnels(ctl->table), 0u);
    EXPECT_EQ(ctl_test::logged("Deleted tunnel [0] with peer 10.0.0.1:4789 over VXLAN for service"),
              1u);
}

TEST_F(Services, ObjectsOfAServiceWithoutInterfacesFailCleanly)
{
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {})).len, 1300);
    ugwd_service *s = service(1);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    errno = 0;
    EXPECT_EQ(
        ugwd_service_create_tunnel(s, UGWD_TRANSPORT_GRE, reinterpret_cast<sockaddr *>(&peer)),
        nullptr);
    EXPECT_EQ(errno, EINVAL);
    uint8_t bssid[6] = {2, 1, 1, 1, 1, 1};
    EXPECT_EQ(ugwd_service_create_vap(s, bssid, nullptr), nullptr);
    EXPECT_EQ(s->mib.ulmexServiceActiveBSSIDs, 0u);

    // With one interface every VAP takes it; no BSSID reads as zero.
    ASSERT_EQ(run(conf_msg(CTL_MODIFY_SERVICE, uuid_of(1), {lo})).len, 1300);
    ugwd_vap *vap = ugwd_service_create_vap(s, nullptr, nullptr);
    ASSERT_NE(vap, nullptr);
    EXPECT_EQ(vap->mib.ulmexServiceIfIndex, lo);
    EXPECT_EQ(vap->mib.ulmexFrequencyBand, -1);
    EXPECT_EQ(
        ctl_test::logged("Created VAP [0] with BSSID 00:00:00:00:00:00 for service 5e000000-"), 1u);
    EXPECT_EQ(ugwd_ctl_delete_vap(vap), 0);
    EXPECT_EQ(s->mib.ulmexServiceActiveBSSIDs, 0u);
}

TEST_F(Services, ModifyCountsPortsAcrossServices)
{
    // Interface ids beyond lo need no data plane here: only the counts show.
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo})).len, 1300);
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(2), {lo})).len, 1300);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 2u);
    // A NAS name that names nothing: the service keeps its configuration.
    EXPECT_EQ(run(conf_msg(CTL_MODIFY_SERVICE, uuid_of(1), {}, "new", "none")).status(),
              static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 2u);
    EXPECT_EQ(service(1)->mib.ulmexServiceIfCount, 1u);
    EXPECT_EQ(0, memcmp(service(1)->mib.ulmexServiceSSID.ulmexSSIDValue, "guest", 5));

    ASSERT_EQ(run(conf_msg(CTL_MODIFY_SERVICE, uuid_of(1), {}, "new")).len, 1300);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 1u);
    EXPECT_EQ(run(key_msg(CTL_MODIFY_SERVICE, uuid_of(9))).status(), static_cast<uint32_t>(ENOENT));

    reply gone = run(key_msg(CTL_REMOVE_SERVICE, uuid_of(2)));
    ASSERT_EQ(gone.len, 1300);
    EXPECT_EQ(gone.type(), CTL_DELETE_SERVICE);
    EXPECT_EQ(ugwd_ctl_port_refs(ctl, lo), 0u);
    EXPECT_EQ(run(key_msg(CTL_REMOVE_SERVICE, uuid_of(2))).status(), static_cast<uint32_t>(ENOENT));
    reply forced = run(key_msg(CTL_REMOVE_SERVICE, uuid_of(2), CTL_F_FORCE));
    EXPECT_EQ(forced.type(), CTL_STATUS);
    EXPECT_EQ(forced.status(), 0u);
}

TEST_F(Services, EventsHaveTheCatalogueSizesAndNoSecrets)
{
    uclient *c = uclient_open(path());
    ASSERT_NE(c, nullptr);
    auto join = [&](uint32_t type) {
        uint8_t key[4];
        ctl_put32(key, 0, type);
        auto f = std::async(std::launch::async, [&] { return uclient_join_group(c, key, 4); });
        EXPECT_TRUE(serve_until(
            [&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return f.get();
    };
    ASSERT_EQ(join(CTL_NEW_SERVICE), 0);
    ASSERT_EQ(join(CTL_DELETE_SERVICE), 0);
    ASSERT_EQ(run(conf_msg(CTL_ADD_SERVICE, uuid_of(1), {lo})).len, 1300);
    ugwd_ctl_service_changed(service(1));
    ASSERT_EQ(run(key_msg(CTL_REMOVE_SERVICE, uuid_of(1))).len, 1300);

    std::vector<uint32_t> types;
    const uint8_t *p;
    ssize_t n;
    while ((n = uclient_recv_event(c, &p)) >= 0) {
        uint32_t type = ctl_get32(p, 0);
        types.push_back(type);
        EXPECT_EQ(static_cast<size_t>(n), ctl_msg_catalogue[type].size);
        EXPECT_EQ(std::vector<uint8_t>(p + 893, p + 893 + 32), std::vector<uint8_t>(32, 0));
        EXPECT_EQ(std::vector<uint8_t>(p + 1056, p + 1056 + 128), std::vector<uint8_t>(128, 0));
    }
    EXPECT_EQ(types, (std::vector<uint32_t>{CTL_NEW_SERVICE, CTL_DELETE_SERVICE}));
    uclient_close(c);
}

TEST(ServiceCounters, OuterOctetsLoseTheEncapsulationOfEachPacket)
{
    EXPECT_EQ(ugwd_service_outer_octets(1000, 10, 1550, 1500), 440u);
    EXPECT_EQ(ugwd_service_outer_octets(500, 10, 1550, 1500), 0u);
    EXPECT_EQ(ugwd_service_outer_octets(560, 10, 1550, 1500), 0u);
}

} // namespace
