// Disconnect-Request and CoA-Request datagrams against the DAS of a client
// whose database holds granted sessions (names, CUIs, IPv4 and IPv6
// addresses, accounting ids): the receive checks, the response cache,
// session selection and the changes a request makes. A control byte picks a
// configured or an unknown source, whether to sign the datagram with the
// row's secret so that the fuzzer gets past the authenticators, and whether
// to deliver it a second time as a retransmission.
#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/crypto/md5.h"
#include "common/packet.h"
#include "common/timer.h"
#include "radius/radius_client.h"

namespace
{

const char *const SECRET = "das-secret";
constexpr int SESSIONS = 4;

mempool *pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 256, 0, 0};
    static mempool *p = packet_pool_create(&config);
    return p;
}

std::vector<packet *> sent;
timer *timers[16];

void on_authorize(void *, radius_entry *) {}
void on_deauthorize(void *, radius_entry *, uint16_t) {}
void on_update(void *, radius_entry *) {}
void on_revoked(void *, const uint8_t *, const uint8_t *) {}
void on_send(void *, packet *msg, const sockaddr *, int)
{
    if (msg->data[0] == uint8_t(radius_code::access_request)) sent.push_back(packet_copy(msg));
}
void on_schedule(void *, timer *, uint32_t, timer_fn) {}
void on_cancel(void *, timer *) {}
const radius_client_ops ops = {
    .authorize = on_authorize,
    .deauthorize = on_deauthorize,
    .update = on_update,
    .revoked = on_revoked,
    .send = on_send,
    .schedule = on_schedule,
    .cancel = on_cancel,
};

sockaddr_in address(const char *ip, uint16_t port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, ip, &in.sin_addr);
    return in;
}

void append(std::vector<uint8_t> &m, radius_attr_type type, const void *v, size_t n)
{
    m.push_back(uint8_t(type));
    m.push_back(uint8_t(n + 2));
    const auto *b = static_cast<const uint8_t *>(v);
    m.insert(m.end(), b, b + n);
}

// Answers the session's Access-Request with a signed Accept.
void grant(radius_client *c, int n)
{
    packet *req = sent.back();
    sent.pop_back();
    std::vector<uint8_t> m(RADIUS_HDR_LEN);
    m[0] = uint8_t(radius_code::access_accept);
    m[1] = req->data[1];
    if (n % 2) {
        char cui[8];
        snprintf(cui, sizeof cui, "cui-%d", n);
        append(m, radius_attr_type::chargeable_user_identity, cui, strlen(cui));
    }
    uint8_t zeros[16] = {};
    append(m, radius_attr_type::message_authenticator, zeros, 16);
    m[3] = uint8_t(m.size());
    packet *msg = packet_alloc(pool(), m.size());
    memcpy(msg->data, m.data(), m.size());
    uint8_t out[16];
    radius_calc_msg_auth(SECRET, msg, radius_header(req)->authenticator, out);
    memcpy(radius_msg_auth_value(msg), out, 16);
    radius_calc_authenticator(SECRET, msg, radius_header(req)->authenticator, out);
    memcpy(radius_header(msg)->authenticator, out, 16);
    sockaddr_in from = address("127.0.0.1", 1812);
    radius_client_recv(c, msg, reinterpret_cast<sockaddr *>(&from), 0);
    packet_release(msg);
    packet_release(req);
}

radius_client *make_client()
{
    radius_nas_config config{};
    strcpy(config.radiusAuthClientIdentifier, "nas-fuzz");
    config.radiusClientRequestPorts = 1;
    config.radiusClientCaching = 1;
    radiusAuthClientServerExtTable auth[2]{};
    radiusAccClientServerExtTable acct[2]{};
    for (int i = 0; i < 2; i++) {
        auth[i].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, i ? "127.0.0.2" : "127.0.0.1", auth[i].radiusAuthServerInetAddress);
        auth[i].radiusAuthClientServerInetPortNumber = 1812;
        strcpy(auth[i].radiusAuthServerSharedSecret, SECRET);
    }
    acct[0].radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    inet_pton(AF_INET, "127.0.0.1", acct[0].radiusAccServerInetAddress);
    acct[0].radiusAccClientServerInetPortNumber = 1813;
    strcpy(acct[0].radiusAccServerSharedSecret, SECRET);
    radius_client *c = radius_client_create(&config, auth, acct, &ops, nullptr, 0, pool());
    for (int n = 1; n <= SESSIONS; n++) {
        uint8_t mac[6] = {0x02, 0, 0, 0, 0, uint8_t(n)};
        radius_entry *e = radius_client_create_sess(c, nullptr, mac, nullptr);
        const uint8_t v4[1][4] = {{10, 0, 0, uint8_t(n)}};
        radius_db_set_ipv4_addrs(e, 1, v4);
        if (n == 2) {
            uint8_t v6[1][16] = {{0x20, 0x01, 0x0d, 0xb8}};
            v6[0][15] = 2;
            radius_db_set_ipv6_addrs(e, 1, v6);
        }
        radius_db_authorize_sess(e, n <= 2 ? "alice" : n == 3 ? "bob" : nullptr);
        grant(c, n);
    }
    return c;
}

// Signs the request as its server would: the Message-Authenticator (when
// one of 18 bytes is present) and the Request Authenticator over zeros.
void sign(packet *msg)
{
    radius_hdr *hdr = radius_header(msg);
    memset(hdr->authenticator, 0, RADIUS_AUTH_LEN);
    if (uint8_t *ma = radius_msg_auth_value(msg)) {
        uint8_t out[16];
        radius_calc_msg_auth(SECRET, msg, nullptr, out);
        memcpy(ma, out, 16);
    }
    radius_calc_authenticator(SECRET, msg, nullptr, hdr->authenticator);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1 + RADIUS_MAX_LEN + 16) return 0;
    uint8_t control = data[0];
    data++;
    size--;
    clock_monotonic_sec = 5000;
    clock_monotonic_usec = 0;
    clock_offset_sec = 1;
    radius_client *c = make_client();

    packet *msg = packet_alloc(pool(), size);
    if (size) memcpy(msg->data, data, size);
    // Signing needs a whole header and the Length field within the datagram.
    if ((control & 2) && size >= RADIUS_HDR_LEN &&
        radius_hdr_length(radius_header(msg)) >= RADIUS_HDR_LEN &&
        radius_hdr_length(radius_header(msg)) <= size) {
        packet_trim(msg, size - radius_hdr_length(radius_header(msg)));
        if (radius_validate_attrs(msg) == 0) sign(msg);
    }
    sockaddr_in from = address(control & 1     ? "127.0.0.9"
                               : (control & 8) ? "127.0.0.2"
                                               : "127.0.0.1",
                               3799);
    packet *copy = packet_copy(msg);
    radius_client_recv(c, msg, reinterpret_cast<sockaddr *>(&from), -1);
    if (control & 4) radius_client_recv(c, copy, reinterpret_cast<sockaddr *>(&from), -1);
    packet_release(copy);
    packet_release(msg);

    radius_client_destroy(c);
    for (packet *p : sent)
        packet_release(p);
    sent.clear();
    return 0;
}
