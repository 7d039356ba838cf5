// The controller's answers to the gateway's service requests, and data from a
// DTLS session that is no longer the link's.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <net/if.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/packet.h"
#include "common/schedule.h"
#include "controller/dtls/dtls.h"
#include "ctl_fixture.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
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

class Answers : public Gateway
{
  protected:
    // A service with one VAP and one flow on it, registered with the link.
    ugwd_service *registered(uint8_t n)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_SERVICE].size + 1024);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        memcpy(m.data() + 8, &c, sizeof(c));
        if (ugwd_ctl_dispatch(ctl, m.data(), ctl_msg_catalogue[CTL_ADD_SERVICE].size, m.size(), 1) != 1300)
            return nullptr;
        ugwd_service *s = ugwd_table_get_service(ctl->table, uuid_of(n).data());
        uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, n}, mac[6] = {2, 0x57, 0, 0, 0, n};
        ugwd_vap *vap = ugwd_service_create_vap(s, bssid, nullptr);
        if (!vap || ugwd_table_insert_vap(ctl->table, vap) < 0 ||
            !ugwd_ctl_create_flow(ctl, vap, nullptr, mac) || ugwd_ctl_register_service(s) < 0)
            return nullptr;
        return s;
    }
    unsigned flows_of(const ugwd_service *s)
    {
        unsigned n = 0;
        for (ugwd_flow *f : list_records<&ugwd_flow::link>(&ctl->flows))
            n += memcmp(f->uuid, s->uuid, 16) == 0;
        return n;
    }
    bool queued(const ugwd_service *s)
    {
        for (ugwd_service *q : list_records<&ugwd_service::queue>(&ctl->register_queue))
            if (q == s) return true;
        return false;
    }
    void answer(ugwd_service *s, const ulmex_pdu &pdu, uint8_t request = ULMEX_SERVICE_REGISTER)
    {
        ugwd_ctl_client_response_cb(&ctl->link, &pdu, request, s);
    }
    static ulmex_pdu status(ulmex_status_code code)
    {
        return ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{code});
    }
};

TEST_F(Answers, ARefusedRegistrationKeepsTheFlowsWhenBusyAndUnbindsThemOnFailure)
{
    ulmex_established(&ctl->link, nullptr);
    ugwd_service *busy = registered(1), *failed = registered(2);
    ASSERT_TRUE(busy && failed);
    EXPECT_EQ(busy->mib.ulmexServiceStatus, 1u);
    EXPECT_NE(busy->session_id, failed->session_id);
    EXPECT_FALSE(queued(busy));

    struct {
        ugwd_service *s;
        ulmex_status_code code;
        unsigned flows;
        uint32_t status;
    } cases[] = {
        {busy, ulmex_status_code::busy, 1, 1},
        {failed, ulmex_status_code::failure, 0, 3},
    };
    for (auto &c : cases) {
        answer(c.s, status(c.code));
        EXPECT_EQ(flows_of(c.s), c.flows) << static_cast<int>(c.code);
        EXPECT_EQ(c.s->mib.ulmexServiceStatus, c.status);
        EXPECT_TRUE(queued(c.s)) << "registered again later";
    }
    EXPECT_TRUE(timer_ispending(&ctl->register_timer));
}

TEST_F(Answers, AnAcceptedServiceRunsAndInformsAtOnceThenEveryInterval)
{
    ulmex_established(&ctl->link, nullptr);
    ugwd_service *s = registered(1);
    ASSERT_NE(s, nullptr);
    ulmex_service_accept a;
    static const uint8_t addr[4] = {127, 0, 0, 1};
    a.controlPort.inet = {ulmex_inet_type::ip, ulmex_bytes(addr, 4)};
    a.controlPort.port = 6727;
    a.epochId = 7;
    a.informInterval = 30;
    answer(s, ulmex_make_pdu<ULMEX_SERVICE_ACCEPT>(a));
    EXPECT_EQ(s->epoch_id, 7u);
    EXPECT_EQ(s->mib.ulmexInformInterval, 30u);
    EXPECT_EQ(s->mib.ulmexServiceStatus, 2u);
    EXPECT_EQ(ctl_test::logged("Service 5e000000-0000-0000-0000-000000000001 enabled"), 1u);
    ASSERT_TRUE(timer_ispending(&s->inform_timer));

    // The inform goes out when its timer runs; its success re-arms the timer.
    uint32_t sent = ctl->link.record.ulmexRequestsSent;
    ugwd_ctl_service_inform_timer_cb(&s->inform_timer);
    EXPECT_EQ(ctl->link.record.ulmexRequestsSent, sent + 1);
    schedule_cancel(ctl->sched, &s->inform_timer);
    answer(s, status(ulmex_status_code::success), ULMEX_SERVICE_INFORM);
    EXPECT_TRUE(timer_ispending(&s->inform_timer));
    // A refused inform sends the service to be registered again.
    answer(s, status(ulmex_status_code::failure), ULMEX_SERVICE_INFORM);
    EXPECT_TRUE(queued(s));
}

TEST_F(Answers, DataFromASessionThatIsNotTheLinksIsLoggedAndDropped)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(6727);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    dtls_sock *old = dtls_connect(ctl->dtls, reinterpret_cast<sockaddr *>(&peer), nullptr, nullptr);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(ctl->dtls_sock, nullptr);
    packet *p = packet_from_bytes(ctl->packet_pool, "\x01\x02\x03", 3);
    ASSERT_NE(p, nullptr);
    ugwd_ctl_dtls_recv_cb(ctl, old, p);
    packet_release(p);
    EXPECT_EQ(ctl_test::logged("Dropping 3 bytes from stale controller DTLS session 127.0.0.1:6727"), 1u);
    EXPECT_EQ(ctl->link.record.ulmexResponseErrors, 0u);
    // Its close does not touch the link either.
    ugwd_ctl_dtls_closed_cb(ctl, old, 0);
    EXPECT_EQ(ctl->link.record.ulmexCloseTime, 0u);
    dtls_close(old);
}

} // namespace
