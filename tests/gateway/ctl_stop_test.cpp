// Stopping a service towards a running controller link: the requests pending
// for it and for its flows are cancelled, and only a service the controller
// registered is unregistered.
#include <gtest/gtest.h>

#include <cstring>
#include <net/if.h>
#include <vector>

#include "common/ctl_msg.h"
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

class Stop : public Gateway
{
  protected:
    int run(std::vector<uint8_t> msg, size_t size = 2048)
    {
        msg.resize(std::max(msg.size(), size));
        return ugwd_ctl_dispatch(ctl, msg.data(), ctl_msg_size(msg.data(), msg.size()), size, 1);
    }
    ugwd_service *add(uint8_t n)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        memcpy(m.data() + 8, &c, sizeof(c));
        if (run(m) != 1300) return nullptr;
        return ugwd_table_get_service(ctl->table, uuid_of(n).data());
    }
    int remove(uint8_t n)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_REMOVE_SERVICE].size);
        ugwd_ctl_msg_init(m.data(), CTL_REMOVE_SERVICE);
        memcpy(m.data() + 8, uuid_of(n).data(), 16);
        return run(m);
    }
    // A request that stays pending on the link, collected on the caller's list.
    void pend(list_link *caller)
    {
        ulmex_pdu pdu = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo});
        ASSERT_EQ(ulmex_request(&ctl->link, pdu, caller, nullptr), 0);
    }
};

TEST_F(Stop, CancelsPendingRequestsAndUnregistersOnlyARegisteredService)
{
    ulmex_established(&ctl->link, nullptr);
    ugwd_service *registered = add(1);
    ASSERT_NE(add(2), nullptr);
    ASSERT_NE(registered, nullptr);
    registered->started = true;
    registered->session_id = 4711;
    uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1}, mac[6] = {2, 0x57, 0, 0, 0, 1};
    ugwd_vap *vap = ugwd_service_create_vap(registered, bssid, nullptr);
    ASSERT_NE(vap, nullptr);
    ASSERT_EQ(ugwd_table_insert_vap(ctl->table, vap), 0);
    ugwd_flow *f = ugwd_ctl_create_flow(ctl, vap, nullptr, mac);
    ASSERT_NE(f, nullptr);
    pend(&registered->pending);
    pend(&f->requests);
    ulmexControl &rec = ctl->link.record;
    ASSERT_EQ(rec.ulmexRequestsSent, 2u);
    log_config.level = 4;

    EXPECT_EQ(remove(1), 1300);
    EXPECT_EQ(rec.ulmexRequestCancels, 2u) << "the service's and its flow's";
    EXPECT_EQ(rec.ulmexRequestsSent, 3u) << "the unregistration";
    EXPECT_EQ(rec.ulmexRequestErrors, 0u);
    EXPECT_EQ(ctl_test::logged("sessionId: 4711"), 1u);

    EXPECT_EQ(remove(2), 1300);
    EXPECT_EQ(rec.ulmexRequestsSent, 3u) << "never registered: nothing to unregister";
    EXPECT_EQ(rec.ulmexRequestCancels, 2u);
}

} // namespace
