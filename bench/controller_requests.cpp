// A FlowInstall answered by the gateway against the anchor of a Status echo
// round trip on the same secured link: a controller (our DTLS engine as
// server, a controller-protocol link of its own) and the gateway object (our
// DTLS engine as client, its link and request callback) in one process,
// datagrams carried in memory. Each install names a newer session for the
// same station, so the gateway replaces the flow (unbind, create, index, arm
// its timer) on a VAP that another flow keeps; a second run repeats the same
// session, which the gateway answers without a change. Each echo is answered
// by the gateway's session layer. Both sides are checked: every round trip must end
// in a success Status. Counters: ours_ns (install), status_echo_ns and
// ratio_status_echo (echo time over install time: 0.67 or more keeps the
// install within 1.5 echoes).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <net/if.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/crypto_side_by_side.h"
#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/timer.h"
#include "controller/dtls/dtls.h"
#include "controller/ulmex.h"
#include "controller/ulmex_codec.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_service.h"

namespace
{

const uint8_t uuid[16] = {0x5e, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t bssid[6] = {2, 0xb5, 0, 0, 0, 1};
const uint8_t station[6] = {2, 0x57, 0, 0, 0, 1};
const uint8_t keeper[6] = {2, 0x57, 0, 0, 0, 2};
const uint8_t radio[6] = {2, 0xaa, 0, 0, 0, 1};
const uint8_t data_port[4] = {192, 0, 2, 1};
const uint8_t session_key[32] = {7};
const uint8_t psk_key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

sockaddr_in addr_of(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct datagram {
    bool to_controller;
    std::vector<uint8_t> bytes;
};

struct rig {
    timetable *tt = timetable_create(1000);
    std::deque<datagram> wire;
    std::string dir;
    ugwd_ctl *gw = nullptr;
    dtls_ctx *gw_dtls = nullptr, *ctl_dtls = nullptr;
    dtls_sock *gw_sock = nullptr, *ctl_sock = nullptr;
    sockaddr_in gw_addr = addr_of(40001), ctl_addr = addr_of(40002);
    ulmex_ops ctl_ops{};
    ulmex_link ctl_link{};
    std::vector<ulmex_status_code> answers;
    uint32_t session = 1;

    bool start();
    void stop();
    void pump();
    bool round_trip(const ulmex_pdu &pdu);
    ulmex_pdu install_pdu(const uint8_t *mac, uint32_t s) const;
};

rig *the_rig;

void timer_start(void *, timer *t, uint32_t ms, timer_fn cb)
{
    timetable_schedule(the_rig->tt, t, ms, cb);
}
void timer_stop(void *, timer *t)
{
    timetable_cancel(the_rig->tt, t);
}

int wire_send(bool to_controller, packet *p)
{
    the_rig->wire.push_back({to_controller, std::vector<uint8_t>(p->data, p->data + p->length)});
    return 0;
}

// The gateway's secured link: what ctl-side DTLS decrypts goes to its
// controller-protocol link, what that link sends goes out through DTLS.
const dtls_ops gw_dtls_ops = {
    .accept_cb = nullptr,
    .connect_cb = [](void *, dtls_sock *) {},
    .recv_cb = [](void *, dtls_sock *, packet *p) { ulmex_handle_response(&the_rig->gw->link, p); },
    .send_cb = [](void *, packet *p, const sockaddr *) { return wire_send(true, p); },
    .close_cb = [](void *, dtls_sock *, int) {},
    .alert_cb = nullptr,
    .psk_cb = nullptr,
    .timer_start_cb = timer_start,
    .timer_stop_cb = timer_stop,
};

const dtls_ops ctl_dtls_ops = {
    .accept_cb = [](void *, dtls_sock *s) { the_rig->ctl_sock = s; },
    .connect_cb = [](void *, dtls_sock *s) { the_rig->ctl_sock = s; },
    .recv_cb = [](void *, dtls_sock *, packet *p) { ulmex_handle_response(&the_rig->ctl_link, p); },
    .send_cb = [](void *, packet *p, const sockaddr *) { return wire_send(false, p); },
    .close_cb = [](void *, dtls_sock *, int) {},
    .alert_cb = nullptr,
    .psk_cb = [](void *, const char *, uint8_t *key, size_t size) -> int {
        if (size < sizeof(psk_key)) return -1;
        memcpy(key, psk_key, sizeof(psk_key));
        return int(sizeof(psk_key));
    },
    .timer_start_cb = timer_start,
    .timer_stop_cb = timer_stop,
};

const ulmex_ops ctl_link_ops = {
    .request_cb = [](ulmex_link *, const ulmex_pdu *, uint32_t) {},
    .response_cb =
        [](ulmex_link *, const ulmex_pdu *pdu, uint8_t, void *) {
            auto *s = std::get_if<ULMEX_STATUS>(pdu);
            the_rig->answers.push_back(s ? s->statusCode : ulmex_status_code::expired);
        },
    .failure_cb = [](ulmex_link *, uint8_t,
                     void *) { the_rig->answers.push_back(ulmex_status_code::expired); },
    .cancel_cb = nullptr,
    .send_cb = [](ulmex_link *, packet *p) { dtls_send(the_rig->ctl_sock, p); },
    .timer_start_cb = [](ulmex_ops *, timer *t, uint32_t ms,
                         timer_fn cb) { timetable_schedule(the_rig->tt, t, ms, cb); },
    .timer_stop_cb = [](ulmex_ops *, timer *t) { timetable_cancel(the_rig->tt, t); },
};

void gw_link_send(ulmex_link *, packet *p)
{
    dtls_send(the_rig->gw_sock, p);
}

void rig::pump()
{
    for (int guard = 0; guard < 10000; guard++) {
        timetable_manage(tt);
        if (wire.empty()) return;
        datagram d = std::move(wire.front());
        wire.pop_front();
        packet *p = packet_from_bytes(gw->packet_pool, d.bytes.data(), d.bytes.size());
        if (!p) continue;
        if (d.to_controller)
            dtls_recv(ctl_dtls, p, reinterpret_cast<sockaddr *>(&gw_addr));
        else
            dtls_recv(gw_dtls, p, reinterpret_cast<sockaddr *>(&ctl_addr));
        packet_release(p);
    }
}

ulmex_pdu rig::install_pdu(const uint8_t *mac, uint32_t s) const
{
    ulmex_flow_install r;
    r.radioId = ulmex_bytes(radio, 6);
    r.bssId = ulmex_bytes(bssid, 6);
    r.clientId = ulmex_bytes(mac, 6);
    r.serviceId = ulmex_bytes(uuid, 16);
    r.sessionId = s;
    r.sessionKey = ulmex_bytes(session_key, 32);
    r.dataPort.inet = {ulmex_inet_type::ip, ulmex_bytes(data_port, 4)};
    r.dataPort.port = 5246;
    r.timeout = 60;
    return ulmex_make_pdu<ULMEX_FLOW_INSTALL>(r);
}

bool rig::round_trip(const ulmex_pdu &pdu)
{
    size_t before = answers.size();
    if (ulmex_request(&ctl_link, pdu, nullptr, nullptr) < 0) return false;
    pump();
    return answers.size() == before + 1 && answers.back() == ulmex_status_code::success;
}

bool rig::start()
{
    the_rig = this;
    log_config.level = ULOG_ERROR;
    clock_monotonic_sec = 1;
    char t[] = "/tmp/ugw-bench-ctlreq-XXXXXX";
    if (!mkdtemp(t)) return false;
    dir = t;
    gw = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
    if (!gw) return false;
    std::vector<uint8_t> m(2048);
    ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
    ugwd_service_conf c = {};
    memcpy(c.mib.ulmexServiceId, uuid, 16);
    c.mib.ulmexServiceIfCount = 1;
    c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
    memcpy(m.data() + 8, &c, sizeof(c));
    if (ugwd_ctl_dispatch(gw, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1) <= 0)
        return false;

    gw_dtls = dtls_ctx_create(&gw_dtls_ops, this, 0, UGWD_CTL_DTLS_MTU, nullptr, gw->packet_pool);
    ctl_dtls = dtls_ctx_create(&ctl_dtls_ops, this, 0, UGWD_CTL_DTLS_MTU, nullptr, gw->packet_pool);
    if (!gw_dtls || !ctl_dtls) return false;
    dtls_psk psk{};
    snprintf(psk.identity, sizeof(psk.identity), "gateway");
    memcpy(psk.key, psk_key, sizeof(psk_key));
    psk.key_length = sizeof(psk_key);
    gw_sock = dtls_connect(gw_dtls, reinterpret_cast<sockaddr *>(&ctl_addr), nullptr, &psk);
    if (!gw_sock) return false;
    pump();
    if (!ctl_sock || !dtls_sock_is_connected(gw_sock)) return false;

    gw->client.send_cb = gw_link_send;
    ulmex_established(&gw->link, nullptr);
    ulmex_ops_init(&ctl_ops, &ctl_link_ops, gw->packet_pool);
    if (ulmex_open(&ctl_ops, &ctl_link, nullptr) < 0) return false;
    ulmex_established(&ctl_link, nullptr);
    // The station that keeps the VAP while the measured one is replaced.
    return round_trip(install_pdu(keeper, 1)) && round_trip(install_pdu(station, session));
}

void rig::stop()
{
    ulmex_close(&ctl_link);
    if (gw_dtls) dtls_ctx_destroy(gw_dtls);
    if (ctl_dtls) dtls_ctx_destroy(ctl_dtls);
    timetable_manage(tt);
    if (gw) ugwd_ctl_free(gw);
    timetable_destroy(tt);
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
}

void BM_FlowInstallAgainstEcho(benchmark::State &state)
{
    dtls_init();
    rig r;
    if (!r.start()) {
        r.stop();
        state.SkipWithError("the link did not come up");
        return;
    }
    ulmex_pdu echo = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo});
    flow_id fid;
    frlc_flow_id_pair(&fid, bssid, station);
    bool ok = true;
    bool repeat = state.range(0) == 0;
    side_by_side_anchors(
        state, 0, 32,
        [&] {
            if (!repeat) ++r.session;
            ok &= r.round_trip(r.install_pdu(station, r.session));
            ugwd_flow *f = ugwd_table_get_flow_by_id(r.gw->table, &fid);
            ok &= f && f->session_id == r.session;
        },
        anchor{"status_echo", [&] { ok &= r.round_trip(echo); }});
    if (!ok) state.SkipWithError("a round trip did not end in success");
    state.counters["flows"] = double(ugwd_table_count_flows(r.gw->table));
    r.stop();
}

// new_session 1: every install replaces the station's flow; 0: every install
// repeats the last one, which is answered without a change.
BENCHMARK(BM_FlowInstallAgainstEcho)
    ->ArgName("new_session")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
