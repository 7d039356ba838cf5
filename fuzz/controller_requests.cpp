// Feeds bytes as controller datagrams to a gateway with a running service, a
// VAP and an installed flow whose update inform is pending: the link's input
// decodes them and passes requests to the request callback and answers to the
// response callback, as the secured link does. State is put back after each
// input, so every input meets the same gateway.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_stash.h"

namespace
{

// The seeds' names: service 5e00..01, BSSID 02:b5:00:00:00:01, client
// 02:57:00:00:00:01, session 5; the pending inform has identity 0x1000.
const uint8_t uuid[16] = {0x5e, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1};
const uint8_t client[6] = {2, 0x57, 0, 0, 0, 1};
const uint8_t radio[6] = {2, 0xaa, 0, 0, 0, 1};
const uint8_t port[4] = {192, 0, 2, 1};
const uint8_t session_key[32] = {1};
constexpr uint32_t INFORM_IDENTITY = 0x1000;

ugwd_ctl *ctl;
ugwd_service *svc;

void gateway_free()
{
    ugwd_ctl_free(ctl);
}

void drop(ulmex_link *, packet *) {}

bool setup()
{
    if (ctl) return true;
    log_config.level = ULOG_ERROR;
    std::string path = "/tmp/ugw-fuzz-ctlreq-" + std::to_string(getpid());
    ctl = ugwd_ctl_create(path.c_str(), nullptr, 0, false);
    if (!ctl) return false;
    atexit(gateway_free);
    std::vector<uint8_t> m(2048);
    ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
    ugwd_service_conf c = {};
    memcpy(c.mib.ulmexServiceId, uuid, 16);
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
    memcpy(m.data() + 8, &c, sizeof(c));
    if (ugwd_ctl_dispatch(ctl, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1) <= 0)
        return false;
    svc = ugwd_table_get_service(ctl->table, uuid);
    if (!svc) return false;
    ctl->client.send_cb = drop;
    ulmex_established(&ctl->link, nullptr);
    return true;
}

void prepare()
{
    svc->mib.ulmexServiceStatus = ULMEX_STATE_RUNNING;
    svc->epoch_id = 10;
    ulmex_flow_install r;
    r.radioId = ulmex_bytes(radio, 6);
    r.bssId = ulmex_bytes(bssid, 6);
    r.clientId = ulmex_bytes(client, 6);
    r.serviceId = ulmex_bytes(uuid, 16);
    r.sessionId = 5;
    r.sessionKey = ulmex_bytes(session_key, 32);
    r.dataPort.inet = {ulmex_inet_type::ip, ulmex_bytes(port, 4)};
    r.dataPort.port = 5246;
    ulmex_pdu pdu = ulmex_make_pdu<ULMEX_FLOW_INSTALL>(r);
    ugwd_ctl_client_request_cb(&ctl->link, &pdu, 1);
    flow_id fid;
    frlc_flow_id_pair(&fid, bssid, client);
    if (ugwd_flow *f = ugwd_table_get_flow_by_id(ctl->table, &fid)) {
        ctl->link.next_identity = INFORM_IDENTITY;
        ugwd_ctl_send_flow_inform(f, UGWD_FLOW_EVENT_UPDATE, 0);
    }
}

void restore()
{
    ugwd_ctl_unbind_flows_by_uuid(ctl, uuid);
    // Whatever the input left pending (a stop inform has no owner) goes.
    ulmex_close(&ctl->link);
    ulmex_established(&ctl->link, nullptr);
    ugwd_stash_flush(ctl->stash);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!setup()) abort();
    prepare();
    if (packet *p = packet_from_bytes(ctl->packet_pool, data, size)) {
        ulmex_handle_response(&ctl->link, p);
        packet_release(p);
    }
    restore();
    return 0;
}
