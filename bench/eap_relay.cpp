// One EAP round trip through the whole relay, beside the bare RADIUS
// exchange it rides on, in one run:
//  - Relay: the station's EAP response enters the 802.1X port, goes through
//    the EAP authenticator, the RADIUS back end, the session and the
//    transport as an Access-Request; an in-process responder answers with
//    an Access-Challenge (signed: Response Authenticator and
//    Message-Authenticator); the challenge comes back down to the station.
//  - Transport: the same Access-Request/Access-Challenge exchange through
//    the transport alone, with the same responder.
// ratio = relay / transport; the target is at most 2.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot1x_port.h"
#include "radius/radius_auth.h"
#include "radius/radius_client.h"
#include "radius/radius_codec.h"
#include "radius/radius_nas.h"

namespace
{

const char SECRET[] = "bench-secret";
const uint8_t MAC[6] = {2, 0, 0x5e, 0, 0, 1};
constexpr int ROUNDS = 20000;

mempool *pool()
{
    static mempool *p = packet_pool_create(nullptr);
    return p;
}

sockaddr_in server_addr()
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(1812);
    inet_pton(AF_INET, "127.0.0.1", &in.sin_addr);
    return in;
}

// The responder: an Access-Challenge carrying a 40-byte EAP request and a
// State, signed for the request it answers. The EAP Identifier follows the
// response's so the authenticator takes it.
packet *challenge_for(const packet *req, uint8_t eap_id)
{
    uint8_t eap[40] = {1, eap_id, 0, 40, 25};
    packet *m = packet_alloc(pool(), RADIUS_HDR_LEN);
    memset(m->data, 0, RADIUS_HDR_LEN);
    m->data[0] = uint8_t(radius_code::access_challenge);
    m->data[1] = req->data[1];
    radius_set_length(m);
    radius_append_attr(m, radius_attr_type::message_authenticator, nullptr, RADIUS_AUTH_LEN);
    radius_append_attr(m, radius_attr_type::eap_message, eap, sizeof eap);
    radius_append_attr(m, radius_attr_type::state, "bench-state", 11);
    const uint8_t *ra = radius_header(req)->authenticator;
    uint8_t out[16];
    radius_calc_msg_auth(SECRET, m, ra, out);
    memcpy(radius_msg_auth_value(m), out, 16);
    radius_calc_authenticator(SECRET, m, ra, out);
    memcpy(radius_header(m)->authenticator, out, 16);
    return m;
}

packet *last_request;
void keep(packet *msg)
{
    packet_release(last_request);
    packet_ref(msg);
    last_request = msg;
}

void fill_row(radiusAuthClientServerExtTable &r)
{
    r.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", r.radiusAuthServerInetAddress);
    r.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", r.radiusAuthClientInetAddress);
    r.radiusAuthClientServerInetPortNumber = 1812;
    strcpy(r.radiusAuthServerSharedSecret, SECRET);
}

const radius_client_ops client_ops = {
    .authorize = [](void *, radius_entry *) {},
    .deauthorize = [](void *, radius_entry *, uint16_t) {},
    .update = [](void *, radius_entry *) {},
    .revoked = [](void *, const uint8_t *, const uint8_t *) {},
    .send = [](void *, packet *msg, const sockaddr *, int) { keep(msg); },
    .schedule = [](void *, timer *, uint32_t, timer_fn) {},
    .cancel = [](void *, timer *) {},
};

std::vector<uint8_t> to_station;
const dot1x_ops port_ops = {
    .send = [](void *, packet *p) { to_station.assign(p->data, p->data + p->length); },
    .notify = [](void *) {},
    .timer_start = [](void *, timer *, uint32_t, timer_fn) {},
    .timer_stop = [](void *, timer *) {},
};

double run_relay(int rounds, bool check)
{
    radius_nas_config config{};
    radiusAuthClientServerExtTable auth[2]{};
    strcpy(config.radiusAuthClientIdentifier, "nas-1");
    config.radiusClientRequestPorts = 1;
    fill_row(auth[0]);
    radius_client *c =
        radius_client_create(&config, auth, nullptr, &client_ops, nullptr, 0, pool());
    radius_entry *sess = radius_client_create_sess(c, nullptr, MAC, nullptr);
    dot1xAuthStats st{};
    dot1xAuthDiag diag{};
    dot1x_port *port = dot1x_auth_create(&port_ops, nullptr, &radius_eap_aaa_ops, c, MAC,
                                         &dot1x_config_template, &st, &diag, pool());
    dot1x_auth_set_enabled(port, true);
    dot1x_auth_kick(port);
    sockaddr_in from = server_addr();
    // The identity starts the conversation; every round after is one
    // method response and its challenge.
    uint8_t frame[4 + 40] = {2, 0, 0, 10, 2, to_station[5], 0, 10, 1, 'b', 'e', 'n', 'c', 'h'};
    packet *p = packet_from_bytes(pool(), frame, 14);
    dot1x_auth_recv(port, p);
    packet_release(p);
    uint8_t id = to_station[5];
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        packet *chal = challenge_for(last_request, uint8_t(id + 1));
        radius_client_recv(c, chal, reinterpret_cast<const sockaddr *>(&from), 0);
        packet_release(chal);
        id = to_station[5];
        uint8_t resp[4 + 40] = {2, 0, 0, 40, 2, id, 0, 40, 25};
        p = packet_from_bytes(pool(), resp, sizeof resp);
        dot1x_auth_recv(port, p);
        packet_release(p);
    }
    auto t1 = std::chrono::steady_clock::now();
    if (check && (to_station.size() != 44 || to_station[4] != 1 ||
                  st.dot1xAuthEapolRespFramesRx != uint32_t(rounds)))
        fprintf(stderr, "relay check failed\n");
    dot1x_auth_delete(port);
    radius_sess_delete(sess);
    radius_client_destroy(c);
    packet_release(last_request);
    last_request = nullptr;
    return std::chrono::duration<double>(t1 - t0).count();
}

const radius_nas_ops nas_ops = {
    .send = [](void *, packet *msg, const sockaddr *, int) { keep(msg); },
    .timed_out = [](void *, packet *) {},
    .schedule = [](void *, timer *, uint32_t, timer_fn) {},
    .cancel = [](void *, timer *) {},
};

double run_transport(int rounds)
{
    radius_nas_config config{};
    radiusAuthClientServerExtTable auth[2]{};
    strcpy(config.radiusAuthClientIdentifier, "nas-1");
    config.radiusClientRequestPorts = 1;
    fill_row(auth[0]);
    radius_nas *nas = radius_nas_create_auth(&config, auth, &nas_ops, nullptr);
    sockaddr_in from = server_addr();
    uint8_t eap[40] = {2, 1, 0, 40, 25};
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; i++) {
        // The same Access-Request body our back end builds.
        packet *req = packet_alloc(pool(), RADIUS_HDR_LEN);
        memset(req->data, 0, RADIUS_HDR_LEN);
        memcpy(req->meta, MAC, 6);
        req->data[0] = uint8_t(radius_code::access_request);
        radius_set_length(req);
        radius_append_attr(req, radius_attr_type::message_authenticator, nullptr, 16);
        radius_append_attr(req, radius_attr_type::eap_message, eap, sizeof eap);
        radius_append_attr(req, radius_attr_type::state, "bench-state", 11);
        radius_append_attr(req, radius_attr_type::user_name, "bench", 5);
        radius_nas_send(nas, req, -1, nullptr);
        packet_release(req);
        packet *chal = challenge_for(last_request, 2);
        radius_nas_recv(nas, chal, reinterpret_cast<const sockaddr *>(&from), 0);
        packet_release(chal);
    }
    auto t1 = std::chrono::steady_clock::now();
    radius_nas_destroy(nas);
    packet_release(last_request);
    last_request = nullptr;
    return std::chrono::duration<double>(t1 - t0).count();
}

void BM_EapRelay(benchmark::State &state)
{
    clock_refresh_offset();
    run_relay(100, true);
    double relay = 0, bare = 0;
    for (auto _ : state) {
        relay = run_relay(ROUNDS, false);
        bare = run_transport(ROUNDS);
        state.SetIterationTime(relay);
    }
    state.counters["relay_us"] = relay * 1e6 / ROUNDS;
    state.counters["transport_us"] = bare * 1e6 / ROUNDS;
    state.counters["ratio"] = relay / bare;
}
BENCHMARK(BM_EapRelay)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
