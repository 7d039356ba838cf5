// RADIUS responses from servers (and anyone else) against a transport with
// requests in flight: the checks in their order, matching, MPPE decryption
// and the counters. A control byte picks the source, the request port, a
// queued identifier, and whether to sign the datagram with the server's
// secret so that the fuzzer gets past the authenticators.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>

#include "common/fatal.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_codec.h"
#include "radius/radius_nas.h"

namespace {

const char *const SECRET[2] = {"primary", "secondary"};
constexpr int REQUESTS = 6;

mempool *pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 64, 0, 0};
    static mempool *p = packet_pool_create(&config);
    return p;
}

timer *armed;
timer_fn armed_fn;
packet *queued[REQUESTS];

void on_send(void *, packet *, const sockaddr *, int) {}
void on_timed_out(void *, packet *) {}
void on_schedule(void *, timer *t, uint32_t, timer_fn fn)
{
    armed = t;
    armed_fn = fn;
}
void on_cancel(void *, timer *)
{
    armed = nullptr;
}
const radius_nas_ops ops = {
    .send = on_send, .timed_out = on_timed_out, .schedule = on_schedule, .cancel = on_cancel};

void fill_row(radiusAuthClientServerExtTable &r, const char *addr, const char *secret)
{
    r.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, addr, r.radiusAuthServerInetAddress);
    r.radiusAuthClientServerInetPortNumber = 1812;
    r.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
    strcpy(r.radiusAuthServerSharedSecret, secret);
}

packet *request()
{
    packet *p = packet_alloc(pool(), RADIUS_HDR_LEN);
    memset(p->data, 0, RADIUS_HDR_LEN);
    p->data[0] = static_cast<uint8_t>(radius_code::access_request);
    radius_set_length(p);
    radius_append_str(p, radius_attr_type::user_name, "02-00-00-00-00-01");
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 2 + RADIUS_MAX_LEN + 16)
        return 0;
    uint8_t control = data[0], pick = data[1];
    data += 2;
    size -= 2;

    clock_monotonic_sec = 1000;
    clock_monotonic_usec = 0;
    clock_offset_sec = 1;
    radius_nas_record rec{};
    rec.config.radiusClientRequestPorts = 2;
    fill_row(rec.auth[0], "127.0.0.1", SECRET[0]);
    fill_row(rec.auth[1], "127.0.0.2", SECRET[1]);
    radius_nas *nas = radius_nas_create_auth(&rec.config, rec.auth, &ops, nullptr);
    if (!nas)
        return 0;
    for (int i = 0; i < REQUESTS; i++) {
        queued[i] = request();
        radius_nas_send(nas, queued[i], i == 5 ? 1 : -1, nullptr);
    }

    packet *msg = packet_alloc(pool(), size);
    if (msg) {
        memcpy(msg->data, data, size);
        packet *target = queued[pick % REQUESTS];
        radius_request *req = radius_request_of(target);
        int server = control & 1;
        if ((control & 2) && size >= RADIUS_HDR_LEN && msg->length == radius_hdr_length(radius_header(msg))) {
            // Answer a queued request and sign it as its server would.
            msg->data[1] = radius_header(target)->identifier;
            const uint8_t *req_auth = radius_header(target)->authenticator;
            if (uint8_t *ma = radius_msg_auth_value(msg)) {
                uint8_t mac[16];
                radius_calc_msg_auth(SECRET[server], msg, req_auth, mac);
                memcpy(ma, mac, sizeof mac);
            }
            radius_calc_authenticator(SECRET[server], msg, req_auth, msg->data + 4);
        }
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_port = htons(control & 4 ? 1813 : 1812);
        inet_pton(AF_INET, server ? "127.0.0.2" : "127.0.0.1", &from.sin_addr);
        int port = control & 8 ? req->slot / 256 : (control >> 4) % 3;
        int r = radius_nas_recv(nas, msg, reinterpret_cast<sockaddr *>(&from), port);
        UGW_ASSERT(r >= -1 && r <= 1);
        packet_release(msg);
    }
    // Time passes: retransmissions, switch-over and give-up over what is left.
    if (control & 0x80) {
        for (int tick = 0; tick < 32 && armed; tick++) {
            clock_monotonic_sec += 1;
            timer *t = armed;
            armed = nullptr;
            armed_fn(t);
        }
    }
    uint32_t pending = rec.auth[0].radiusAuthClientExtPendingRequests +
                       rec.auth[1].radiusAuthClientExtPendingRequests;
    UGW_ASSERT(pending == packet_queue_count(&nas->queue));
    radius_nas_destroy(nas);
    for (packet *p : queued)
        packet_release(p);
    return 0;
}
