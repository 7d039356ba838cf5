// Server answers into the RADIUS EAP back end of a station's session:
// Access-Challenge, -Accept and -Reject (and other codes) with arbitrary
// attributes, EAP-Message and MS-MPPE keys among them, as the transport
// delivers them (attributes well formed, keys already decrypted). Each
// answer is followed by a station response, so a kept State travels on.
// Input: records of code selector, length, attribute bytes.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_auth.h"
#include "radius/radius_client.h"
#include "radius/radius_codec.h"

namespace
{

mempool *pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 256, 0, 0};
    static mempool *p = packet_pool_create(&config);
    return p;
}

const radius_client_ops client_ops = {
    .authorize = [](void *, radius_entry *) {},
    .deauthorize = [](void *, radius_entry *, uint16_t) {},
    .update = [](void *, radius_entry *) {},
    .revoked = [](void *, const uint8_t *, const uint8_t *) {},
    .send = [](void *, packet *, const sockaddr *, int) {},
    .schedule = [](void *, timer *, uint32_t, timer_fn) {},
    .cancel = [](void *, timer *) {},
};

radius_client *client()
{
    static radius_client *c = [] {
        static radius_nas_config config{};
        static radiusAuthClientServerExtTable auth[2]{};
        strcpy(config.radiusAuthClientIdentifier, "nas-1");
        config.radiusClientRequestPorts = 1;
        auth[0].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", auth[0].radiusAuthServerInetAddress);
        auth[0].radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, "127.0.0.1", auth[0].radiusAuthClientInetAddress);
        auth[0].radiusAuthClientServerInetPortNumber = 1812;
        strcpy(auth[0].radiusAuthServerSharedSecret, "secret");
        return radius_client_create(&config, auth, nullptr, &client_ops, nullptr, 0, pool());
    }();
    return c;
}

constexpr uint8_t codes[4] = {2, 3, 11, 5};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 7};
    clock_monotonic_sec = 1000;
    clock_monotonic_usec = 1;
    radius_client *c = client();
    if (!c) return 0;
    radius_entry *sess = radius_client_create_sess(c, nullptr, mac, nullptr);
    if (!sess) return 0;
    int done = 0;
    radius_eap_backend *be = radius_auth_create(
        c, mac, [](void *u) { ++*static_cast<int *>(u); }, &done);
    size_t at = 0;
    uint8_t id = 1;
    while (be && at + 3 <= size) {
        uint8_t code = codes[data[at] % 4];
        size_t n = size_t(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        if (n > size - at) n = size - at;
        if (n > RADIUS_MAX_LEN - RADIUS_HDR_LEN) n = RADIUS_MAX_LEN - RADIUS_HDR_LEN;
        packet *m = packet_alloc(pool(), RADIUS_HDR_LEN + n);
        at += n;
        if (!m) continue;
        memset(m->data, 0, RADIUS_HDR_LEN);
        m->data[0] = code;
        memcpy(m->data + RADIUS_HDR_LEN, data + at - n, n);
        radius_set_length(m);
        if (radius_validate_attrs(m) == 0 && be->sess) radius_auth_recv(be, m);
        packet_release(m);
        // The station answers the request (if any) with a response.
        const uint8_t resp[] = {2, id++, 0, 6, 1, 'x'};
        packet *r = packet_from_bytes(pool(), resp, sizeof resp);
        if (r) {
            be->pub.aaaEapRespData = r;
            packet_ref(r);
            packet_release(be->pub.aaaIdentity);
            be->pub.aaaIdentity = r;
            be->pub.flags |= EAP_AAA_EAP_RESP;
            radius_auth_run(be);
        }
    }
    radius_auth_delete(be);
    radius_sess_delete(sess);
    return 0;
}
