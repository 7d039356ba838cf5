// The transport against fake servers written with our own codec, on the
// cached clock that the test moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <map>
#include <string>

#include "radius/radius_codec.h"
#include "radius/radius_mib.h"
#include "radius/radius_nas.h"
#include "radius_test_util.h"

using namespace radius_test;
using T = radius_attr_type;

namespace {

constexpr uint64_t START_MS = 1'000'000;
const char *const SECRET[2] = {"primary-secret", "secondary-secret"};

struct sent_datagram {
    bytes data;
    sockaddr_storage to;
    int port;
    uint64_t at;
    packet *msg;
    uint32_t rto; // the request's timeout from this send on
};

sockaddr_storage inet4(const char *addr, uint16_t port)
{
    sockaddr_storage ss{};
    auto *in = reinterpret_cast<sockaddr_in *>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    inet_pton(AF_INET, addr, &in->sin_addr);
    return ss;
}

uint16_t port_of(const sockaddr_storage &ss)
{
    return ntohs(reinterpret_cast<const sockaddr_in *>(&ss)->sin_port);
}

std::string addr_of(const sockaddr_storage &ss)
{
    char buf[64];
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr, buf, sizeof buf);
    return buf;
}

// A response to a request as a server would build it, with our codec.
bytes answer(const bytes &request, radius_code code, const bytes &attrs, const char *secret,
             bool sign, mempool *pool)
{
    bytes ma = sign ? bytes{80, 18} + bytes(16, 0) : bytes{};
    packet_ptr p(packet_of(pool, message(code, request[1], ma + attrs)));
    const uint8_t *req_auth = request.data() + 4;
    if (sign) {
        uint8_t mac[16];
        EXPECT_EQ(radius_calc_msg_auth(secret, p.get(), req_auth, mac), 0);
        memcpy(radius_msg_auth_value(p.get()), mac, 16);
    }
    radius_calc_authenticator(secret, p.get(), req_auth, radius_header(p.get())->authenticator);
    return bytes_of(p.get());
}

// The attributes of a message by type, in order.
std::vector<bytes> attrs_of(const bytes &m, radius_attr_type type)
{
    std::vector<bytes> out;
    for (size_t off = RADIUS_HDR_LEN; off + 2 <= m.size() && m[off + 1] >= 2; off += m[off + 1])
        if (m[off] == static_cast<uint8_t>(type))
            out.emplace_back(m.begin() + off, m.begin() + off + m[off + 1]);
    return out;
}

bool msg_auth_valid(const bytes &m, const char *secret, const uint8_t *auth)
{
    auto ma = attrs_of(m, T::message_authenticator);
    if (ma.size() != 1 || ma[0].size() != 18)
        return false;
    bytes in = m;
    memcpy(in.data() + 4, auth, 16);
    size_t off = RADIUS_HDR_LEN;
    while (in[off] != 80)
        off += in[off + 1];
    std::fill(in.begin() + off + 2, in.begin() + off + 18, 0);
    return hmac_md5(secret, in) == bytes(ma[0].begin() + 2, ma[0].end());
}

class RadiusNas : public testing::Test
{
  protected:
    void SetUp() override
    {
        set_clock_ms(START_MS);
        now = START_MS;
        rec.config.radiusClientRequestPorts = 1;
        server_row(0, "127.0.0.1", 1812, RADIUS_INET_IPV4, {10, 0, 0, 1});
        server_row(1, "127.0.0.2", 1812, RADIUS_INET_IPV6, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                            0, 0, 0, 0, 1});
    }
    void TearDown() override
    {
        radius_nas_destroy(nas);
        requests.clear();
        EXPECT_EQ(pool->info.memUsedObjects, 0u);
    }

    void server_row(int i, const char *addr, uint16_t port, uint8_t client_type,
                    const bytes &client_addr)
    {
        auto &a = rec.auth[i];
        a.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, addr, a.radiusAuthServerInetAddress);
        a.radiusAuthClientServerInetPortNumber = port;
        a.radiusAuthClientInetAddressType = client_type;
        memcpy(a.radiusAuthClientInetAddress, client_addr.data(), client_addr.size());
        strcpy(a.radiusAuthServerSharedSecret, SECRET[i]);
        auto &c = rec.acct[i];
        c.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
        inet_pton(AF_INET, addr, c.radiusAccServerInetAddress);
        c.radiusAccClientServerInetPortNumber = uint16_t(port + 1);
        c.radiusAccClientInetAddressType = client_type;
        memcpy(c.radiusAccClientInetAddress, client_addr.data(), client_addr.size());
        strcpy(c.radiusAccServerSharedSecret, SECRET[i]);
    }

    radius_nas *create(radius_nas_kind kind = radius_nas_kind::auth)
    {
        nas = kind == radius_nas_kind::auth
                  ? radius_nas_create_auth(&rec.config, rec.auth, &ops, this)
                  : radius_nas_create_acct(&rec.config, rec.acct, &ops, this);
        return nas;
    }

    // A request as a session would build it; the test keeps one reference.
    packet *request(radius_code code = radius_code::access_request, const bytes &extra = {})
    {
        packet *p = packet_of(pool.get(), message(code, 0, attr(T::user_name, "02-00-00-00-00-01") + extra));
        requests.emplace_back(p);
        return p;
    }

    int deliver(const bytes &m, const sockaddr_storage &from, int port = 0)
    {
        packet_ptr p(packet_of(pool.get(), m));
        return radius_nas_recv(nas, p.get(), reinterpret_cast<const sockaddr *>(&from), port);
    }
    int deliver(const bytes &m, int server = 0)
    {
        return deliver(m, inet4(server ? "127.0.0.2" : "127.0.0.1", 1812));
    }

    // Runs the timer up to the given time.
    void advance_to(uint64_t target)
    {
        while (armed && due <= target) {
            now = due;
            set_clock_ms(now);
            timer *t = armed;
            armed = nullptr;
            armed_fn(t);
        }
        now = target;
        set_clock_ms(now);
    }
    void advance(uint64_t ms) { advance_to(now + ms); }

    radiusAuthClientServerExtTable &row(int i) { return rec.auth[i]; }

    // Every MIB counter of an auth row, by name, for exactly-one checks.
    static std::map<std::string, uint32_t> counters(const radiusAuthClientServerExtTable &r)
    {
        return {
            {"Requests", r.radiusAuthClientExtAccessRequests},
            {"Retransmissions", r.radiusAuthClientExtAccessRetransmissions},
            {"Accepts", r.radiusAuthClientExtAccessAccepts},
            {"Rejects", r.radiusAuthClientExtAccessRejects},
            {"Challenges", r.radiusAuthClientExtAccessChallenges},
            {"Malformed", r.radiusAuthClientExtMalformedAccessResponses},
            {"BadAuthenticators", r.radiusAuthClientExtBadAuthenticators},
            {"PendingRequests", r.radiusAuthClientExtPendingRequests},
            {"PendingTransactions", r.radiusAuthClientExtPendingTransactions},
            {"Timeouts", r.radiusAuthClientExtTimeouts},
            {"UnknownTypes", r.radiusAuthClientExtUnknownTypes},
            {"PacketsDropped", r.radiusAuthClientExtPacketsDropped},
            {"InvalidServerAddresses", r.radiusAuthClientInvalidServerAddresses},
        };
    }

    static void on_send(void *user, packet *msg, const sockaddr *server, int port)
    {
        auto *self = static_cast<RadiusNas *>(user);
        sent_datagram d{bytes_of(msg), {}, port, self->now, msg, radius_request_of(msg)->rto};
        memcpy(&d.to, server, server->sa_family == AF_INET6 ? sizeof(sockaddr_in6)
                                                            : sizeof(sockaddr_in));
        self->sent.push_back(d);
    }
    static void on_timed_out(void *user, packet *msg)
    {
        auto *self = static_cast<RadiusNas *>(user);
        self->timed_out.push_back(msg);
        self->timed_out_at.push_back(self->now);
    }
    static void on_schedule(void *user, timer *t, uint32_t ms, timer_fn fn)
    {
        auto *self = static_cast<RadiusNas *>(user);
        self->armed = t;
        self->armed_fn = fn;
        self->due = self->now + ms;
    }
    static void on_cancel(void *user, timer *t)
    {
        auto *self = static_cast<RadiusNas *>(user);
        if (self->armed == t)
            self->armed = nullptr;
    }

    pool_ptr pool = make_pool();
    radius_nas_record rec{};
    radius_nas_ops ops = {
        .send = on_send,
        .timed_out = on_timed_out,
        .schedule = on_schedule,
        .cancel = on_cancel,
    };
    radius_nas *nas = nullptr;
    std::vector<packet_ptr> requests;
    std::vector<sent_datagram> sent;
    std::vector<packet *> timed_out;
    std::vector<uint64_t> timed_out_at;
    timer *armed = nullptr;
    timer_fn armed_fn = nullptr;
    uint64_t due = 0;
    uint64_t now = 0;
};

TEST_F(RadiusNas, CreationChecksPortsSecretsAndThePrimary)
{
    struct {
        const char *name;
        void (*change)(radius_nas_record &);
    } refused[] = {
        {"no request port", [](radius_nas_record &r) { r.config.radiusClientRequestPorts = 0; }},
        {"257 request ports", [](radius_nas_record &r) { r.config.radiusClientRequestPorts = 257; }},
        {"no primary", [](radius_nas_record &r) { r.auth[0].radiusAuthServerInetAddressType = 0; }},
        {"empty secret", [](radius_nas_record &r) { r.auth[0].radiusAuthServerSharedSecret[0] = 0; }},
        {"unterminated secondary secret",
         [](radius_nas_record &r) { memset(r.auth[1].radiusAuthServerSharedSecret, 'x', 65); }},
    };
    for (const auto &c : refused) {
        radius_nas_record saved = rec;
        c.change(rec);
        errno = 0;
        EXPECT_FALSE(radius_nas_create_auth(&rec.config, rec.auth, &ops, this)) << c.name;
        EXPECT_EQ(errno, EINVAL) << c.name;
        EXPECT_FALSE(armed) << c.name;
        rec = saved;
    }
    // A secondary without a secret is fine while it is not configured.
    rec.auth[1].radiusAuthServerInetAddressType = 0;
    rec.auth[1].radiusAuthServerSharedSecret[0] = 0;
    rec.auth[1].radiusAuthServerExtIndex = 7;
    rec.config.radiusClientRequestPorts = 256;
    ASSERT_TRUE(create());
    EXPECT_EQ(row(0).radiusAuthServerExtIndex, 0);
    EXPECT_EQ(row(1).radiusAuthServerExtIndex, 1);
    EXPECT_EQ(row(0).radiusAuthClientCounterDiscontinuity, START_MS / 1000);
    EXPECT_EQ(row(1).radiusAuthClientCounterDiscontinuity, START_MS / 1000);
    ASSERT_TRUE(armed);
    EXPECT_EQ(due, START_MS + 1000);
    EXPECT_EQ(radius_nas_send(nas, request(), 1, nullptr), -1) << "unconfigured secondary";
}

TEST_F(RadiusNas, SendRefusesWhatItCannotSend)
{
    ASSERT_TRUE(create());
    log_capture log;
    auto refused = [&](packet *p, int server, const char *text) {
        EXPECT_EQ(radius_nas_send(nas, p, server, nullptr), -1) << text;
        EXPECT_TRUE(log.has(text)) << text;
    };
    refused(request(), 2, "Invalid RADIUS server index 2");
    refused(request(), -2, "Invalid RADIUS server index");
    packet *shorty = request();
    packet_trim(shorty, shorty->length - 19);
    refused(shorty, -1, "Discarding short RADIUS message 19 bytes");
    packet *cut = request();
    packet_trim(cut, 1); // the length field now claims one byte more
    refused(cut, -1, "Discarding short RADIUS message");
    packet *big = request(radius_code::access_request, bytes(4097 - 39, 0));
    refused(big, -1, "Discarding oversized RADIUS message");
    refused(request(radius_code::accounting_request), -1,
            "Discarding unsupported RADIUS request type 4");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(row(0).radiusAuthClientExtAccessRequests, 0u);
}

TEST_F(RadiusNas, AccessRequestsLeaveWithMessageAuthenticatorFirstAndOneNasAddress)
{
    ASSERT_TRUE(create());
    bytes stale = attr(T::nas_ip_address, bytes{9, 9, 9, 9}) +
                  attr(T::nas_ipv6_address, bytes(16, 9)) +
                  attr(T::message_authenticator, bytes(16, 0x55));
    ASSERT_EQ(radius_nas_send(nas, request(radius_code::access_request, stale), -1, nullptr), 0);
    ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    ASSERT_EQ(sent.size(), 2u);
    for (const auto &d : sent) {
        const bytes &m = d.data;
        EXPECT_EQ(size_t(m[2] << 8 | m[3]), m.size());
        EXPECT_EQ(m[20], 80) << "Message-Authenticator first";
        EXPECT_EQ(m[21], 18);
        EXPECT_TRUE(msg_auth_valid(m, SECRET[0], m.data() + 4));
        auto nas_ip = attrs_of(m, T::nas_ip_address);
        ASSERT_EQ(nas_ip.size(), 1u);
        EXPECT_EQ(nas_ip[0], attr(T::nas_ip_address, bytes{10, 0, 0, 1}));
        EXPECT_TRUE(attrs_of(m, T::nas_ipv6_address).empty());
        EXPECT_EQ(attrs_of(m, T::user_name).size(), 1u);
        EXPECT_EQ(addr_of(d.to), "127.0.0.1");
        EXPECT_EQ(port_of(d.to), 1812);
        EXPECT_EQ(d.port, 0);
    }
    // Identifiers follow each other; the counter makes every authenticator new.
    EXPECT_EQ(uint8_t(sent[1].data[1]), uint8_t(sent[0].data[1] + 1));
    EXPECT_NE(bytes(sent[0].data.begin() + 4, sent[0].data.begin() + 20),
              bytes(sent[1].data.begin() + 4, sent[1].data.begin() + 20));
    EXPECT_EQ(row(0).radiusAuthClientExtAccessRequests, 2u);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 2u);
}

TEST_F(RadiusNas, AccountingRequestsAreSignedWithTheSecret)
{
    ASSERT_TRUE(create(radius_nas_kind::acct));
    bytes stale = attr(T::nas_ip_address, bytes{9, 9, 9, 9});
    ASSERT_EQ(radius_nas_send(nas, request(radius_code::accounting_request, stale), 1, nullptr), 0);
    ASSERT_EQ(sent.size(), 1u);
    const bytes &m = sent[0].data;
    EXPECT_TRUE(attrs_of(m, T::message_authenticator).empty());
    EXPECT_TRUE(attrs_of(m, T::nas_ip_address).empty());
    auto v6 = attrs_of(m, T::nas_ipv6_address);
    ASSERT_EQ(v6.size(), 1u);
    EXPECT_EQ(v6[0][2], 0xfd);
    bytes in = m;
    std::fill(in.begin() + 4, in.begin() + 20, 0);
    std::string secret = SECRET[1];
    in.insert(in.end(), secret.begin(), secret.end());
    EXPECT_EQ(md5(in), bytes(m.begin() + 4, m.begin() + 20));
    EXPECT_EQ(port_of(sent[0].to), 1813);

    // An Accounting-Response answers; an Access-Accept is not for this transport.
    EXPECT_EQ(deliver(answer(m, radius_code::access_accept, {}, SECRET[1], false, pool.get()),
                      inet4("127.0.0.2", 1813)),
              -1);
    EXPECT_EQ(rec.acct[1].radiusAccClientExtUnknownTypes, 1u);
    EXPECT_EQ(deliver(answer(m, radius_code::accounting_response, {}, SECRET[1], false, pool.get()),
                      inet4("127.0.0.2", 1813)),
              1);
    EXPECT_EQ(rec.acct[1].radiusAccClientExtResponses, 1u);
    EXPECT_EQ(rec.acct[1].radiusAccClientExtPendingRequests, 0u);
    EXPECT_EQ(radius_nas_reserve_transaction(nas, -1), -1) << "accounting has no transactions";
}

TEST_F(RadiusNas, FullSendWindowReportsTheRequestTimedOutAtOnce)
{
    ASSERT_TRUE(create());
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    ASSERT_EQ(sent.size(), 256u);
    EXPECT_TRUE(timed_out.empty());
    log_capture log;
    packet *overflow = request();
    EXPECT_EQ(radius_nas_send(nas, overflow, -1, nullptr), 0);
    EXPECT_EQ(sent.size(), 256u);
    ASSERT_EQ(timed_out.size(), 1u);
    EXPECT_EQ(timed_out[0], overflow);
    EXPECT_EQ(overflow->_refcount, 1) << "the transport kept no reference";
    EXPECT_TRUE(log.has("127.0.0.1:1812: RADIUS request dropped due to send window overflow"));
    EXPECT_EQ(row(0).radiusAuthClientExtTimeouts, 1u);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 256u);

    // One answer frees one identifier.
    EXPECT_EQ(deliver(answer(sent[100].data, radius_code::access_reject, {}, SECRET[0], false,
                             pool.get())),
              0);
    packet *next = request();
    ASSERT_EQ(radius_nas_send(nas, next, -1, nullptr), 0);
    EXPECT_EQ(sent.size(), 257u);
    EXPECT_EQ(sent.back().data[1], sent[100].data[1]);
}

TEST_F(RadiusNas, IdentifiersSpreadOverRequestPorts)
{
    rec.config.radiusClientRequestPorts = 3;
    ASSERT_TRUE(create());
    for (int i = 0; i < 600; i++)
        ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    for (int i = 0; i < 600; i++) {
        EXPECT_EQ(sent[i].port, i / 256);
        EXPECT_EQ(sent[i].data[1], i % 256);
    }
    // The answer must come back on the port of its request: on another it
    // meets another request of the same identifier.
    bytes a = answer(sent[300].data, radius_code::access_reject, {}, SECRET[0], false, pool.get());
    EXPECT_EQ(deliver(a, inet4("127.0.0.1", 1812), 0), -1);
    EXPECT_EQ(row(0).radiusAuthClientExtBadAuthenticators, 1u);
    EXPECT_EQ(deliver(a, inet4("127.0.0.1", 1812), 7), -1);
    EXPECT_EQ(row(0).radiusAuthClientExtPacketsDropped, 1u);
    EXPECT_EQ(deliver(a, inet4("127.0.0.1", 1812), 1), 0);
    // Allocation goes on after the last identifier, wrapping round to the freed one.
    for (int i = 600; i < 768; i++)
        ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    EXPECT_EQ(sent.back().port, 2);
    EXPECT_EQ(sent.back().data[1], 255);
    ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    EXPECT_EQ(sent.back().port, 1);
    EXPECT_EQ(sent.back().data[1], 300 - 256);
}

// Sends are spaced by the RTO from the last send, the RTO starts at 2.0-2.2 s
// and about doubles up to 16 s; at most 6 sends, none after 30 s.
TEST_F(RadiusNas, RetransmissionsFollowTheTimeoutFromTheLastSend)
{
    ASSERT_TRUE(create());
    constexpr int N = 24;
    std::vector<packet *> reqs;
    for (int i = 0; i < N; i++) {
        advance(37); // spread the sends against the 1 s tick
        reqs.push_back(request());
        ASSERT_EQ(radius_nas_send(nas, reqs.back(), -1, nullptr), 0);
    }
    while (now < START_MS + 40000)
        advance(1000);
    ASSERT_EQ(timed_out.size(), size_t(N));
    for (int i = 0; i < N; i++) {
        packet *p = reqs[i];
        std::vector<uint64_t> times;
        std::vector<uint32_t> rto;
        for (const auto &d : sent)
            if (d.msg == p) {
                times.push_back(d.at);
                rto.push_back(d.rto);
            }
        ASSERT_GE(times.size(), 2u);
        EXPECT_LE(times.size(), 6u);
        EXPECT_GE(rto[0], 2000u);
        EXPECT_LE(rto[0], 2199u);
        for (size_t k = 1; k < times.size(); k++) {
            uint64_t gap = times[k] - times[k - 1];
            EXPECT_GT(gap, rto[k - 1]) << "request " << i << " send " << k;
            EXPECT_LE(gap, rto[k - 1] + 1000u) << "request " << i << " send " << k;
            EXPECT_GE(rto[k], std::min<uint32_t>(2 * rto[k - 1], 16000));
            EXPECT_LE(rto[k], std::min<uint32_t>(2 * rto[k - 1] + rto[k - 1] / 10, 16000));
        }
        EXPECT_LE(times.back() - times.front(), 30000u);
        size_t which = size_t(std::find(timed_out.begin(), timed_out.end(), p) - timed_out.begin());
        ASSERT_LT(which, timed_out.size());
        EXPECT_GT(timed_out_at[which] - times.front(), 30000u);
        EXPECT_LE(timed_out_at[which] - times.front(), 31000u);
    }
    // The silent primary made the transport switch: the counts spread over both rows.
    uint32_t retransmissions = 0, timeouts = 0;
    for (int r = 0; r < 2; r++) {
        EXPECT_EQ(row(r).radiusAuthClientExtPendingRequests, 0u);
        retransmissions += row(r).radiusAuthClientExtAccessRetransmissions;
        timeouts += row(r).radiusAuthClientExtTimeouts;
    }
    EXPECT_EQ(retransmissions, sent.size() - N);
    EXPECT_EQ(timeouts, retransmissions + N);
}

TEST_F(RadiusNas, SwitchesOverOnlyWhileRequestsWaitForMoreThanFourSeconds)
{
    ASSERT_TRUE(create());
    // Idle: the primary's silence does not count.
    advance(20000);
    EXPECT_EQ(nas->current, 0);

    log_capture log;
    packet *moved = request(), *pinned = request();
    ASSERT_EQ(radius_nas_send(nas, moved, -1, nullptr), 0);
    ASSERT_EQ(radius_nas_send(nas, pinned, 0, nullptr), 0);
    uint64_t t0 = now;
    advance(4000);
    EXPECT_EQ(nas->current, 0) << "exactly 4 s is not more than 4 s";
    advance(1000);
    EXPECT_EQ(nas->current, 1);
    EXPECT_TRUE(log.has("No response from primary RADIUS server in 5.00s - switching to "
                        "secondary RADIUS server 127.0.0.2:1812"));

    // The moved request's next send (RTO 4.0-4.8 s after t0 + 3 s) goes to the secondary.
    advance_to(t0 + 9000);
    bool moved_to_secondary = false;
    for (const auto &d : sent) {
        if (d.data[1] == radius_header(pinned)->identifier) {
            EXPECT_EQ(addr_of(d.to), "127.0.0.1") << "a chosen server is kept";
        } else if (addr_of(d.to) == "127.0.0.2") {
            moved_to_secondary = true;
            // Re-marked and re-signed for the secondary.
            EXPECT_TRUE(attrs_of(d.data, T::nas_ip_address).empty());
            EXPECT_EQ(attrs_of(d.data, T::nas_ipv6_address).size(), 1u);
            EXPECT_TRUE(msg_auth_valid(d.data, SECRET[1], d.data.data() + 4));
        }
    }
    EXPECT_TRUE(moved_to_secondary);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 1u) << "the pinned one";
    EXPECT_EQ(row(1).radiusAuthClientExtPendingRequests, 1u) << "the moved one";

    // The secondary answers the moved request; the pinned one waits for the primary.
    bytes last;
    for (const auto &d : sent)
        if (d.data[1] == radius_header(moved)->identifier)
            last = d.data;
    EXPECT_EQ(deliver(answer(last, radius_code::access_accept, {}, SECRET[1], false, pool.get()),
                      1),
              1);
    EXPECT_EQ(row(1).radiusAuthClientExtPendingRequests, 0u);
    EXPECT_EQ(row(1).radiusAuthClientExtAccessAccepts, 1u);
}

// A request that has no room for the secondary's longer NAS address is given
// up when it would move there, and counted where it was.
TEST_F(RadiusNas, RequestWithoutRoomForTheOtherNasAddressIsGivenUp)
{
    ASSERT_TRUE(create());
    static const packet_pool_config small = {256, 32, 16, 4, 0, 0};
    pool_ptr tight(packet_pool_create(&small));
    packet *p = packet_alloc(tight.get(), 0);
    bytes head = message(radius_code::access_request, 0,
                         attr(T::message_authenticator, bytes(16, 0)) +
                             attr(T::nas_ip_address, bytes(4, 0)));
    memcpy(packet_put(p, head.size()), head.data(), head.size());
    while (packet_tailroom(p) > 8 + 2)
        radius_append_attr(p, T::class_, nullptr,
                           std::min<size_t>(packet_tailroom(p) - 8 - 2, 253));
    ASSERT_LE(packet_tailroom(p), 10u);
    ASSERT_EQ(radius_nas_send(nas, p, -1, nullptr), 0);
    advance(5000); // switched over; the next retransmission would move it
    ASSERT_EQ(nas->current, 1);
    ASSERT_TRUE(timed_out.empty());
    advance(10000);
    ASSERT_EQ(timed_out.size(), 1u);
    EXPECT_EQ(timed_out[0], p);
    for (const auto &d : sent)
        EXPECT_EQ(addr_of(d.to), "127.0.0.1");
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 0u);
    EXPECT_EQ(row(1).radiusAuthClientExtPendingRequests, 0u);
    EXPECT_EQ(row(1).radiusAuthClientExtTimeouts, 0u);
    EXPECT_EQ(row(0).radiusAuthClientExtTimeouts, row(0).radiusAuthClientExtAccessRetransmissions + 1);
    packet_release(p);
}

TEST_F(RadiusNas, SecondaryMayAnswerARequestSentToThePrimary)
{
    ASSERT_TRUE(create());
    ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    const bytes &m = sent[0].data;
    // Signed with the primary's secret, it does not verify from the secondary.
    EXPECT_EQ(deliver(answer(m, radius_code::access_accept, {}, SECRET[0], false, pool.get()), 1),
              -1);
    EXPECT_EQ(row(1).radiusAuthClientExtBadAuthenticators, 1u);
    advance(250);
    EXPECT_EQ(deliver(answer(m, radius_code::access_accept, {}, SECRET[1], false, pool.get()), 1),
              1);
    EXPECT_EQ(row(1).radiusAuthClientExtAccessAccepts, 1u);
    EXPECT_EQ(row(1).radiusAuthClientExtRoundTripTime, 25);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 0u) << "pending where it was sent";
    EXPECT_EQ(row(1).radiusAuthClientExtPendingRequests, 0u);
    EXPECT_EQ(row(0).radiusAuthClientExtAccessAccepts, 0u);
}

// Each refused response moves exactly one counter, and the request still waits.
TEST_F(RadiusNas, EveryRefusedResponseIsCountedOnce)
{
    ASSERT_TRUE(create());
    packet *req = request();
    ASSERT_EQ(radius_nas_send(nas, req, -1, nullptr), 0);
    const bytes m = sent[0].data;
    auto good = [&](radius_code code, const bytes &attrs, bool sign = false) {
        return answer(m, code, attrs, SECRET[0], sign, pool.get());
    };
    auto corrupt_auth = [](bytes b) {
        b[4] ^= 1;
        return b;
    };
    auto set_length = [](bytes b, size_t n) {
        b[2] = uint8_t(n >> 8);
        b[3] = uint8_t(n);
        return b;
    };
    bytes ok = good(radius_code::access_accept, {});
    bytes bad_ma = good(radius_code::access_accept, {}, true);
    bad_ma[RADIUS_HDR_LEN + 2] ^= 1;
    bytes mppe_ragged = good(radius_code::access_accept, vsa(RADIUS_VENDOR_MICROSOFT, 16, bytes(19, 1)));
    bytes huge = good(radius_code::access_accept, bytes{});
    huge.resize(4097, 0);
    huge = set_length(huge, 4097);
    bytes other_id = ok;
    other_id[1] ^= 1;
    struct {
        const char *name;
        bytes data;
        sockaddr_storage from;
        const char *counter;
        const char *text;
    } cases[] = {
        {"unknown source", ok, inet4("127.0.0.9", 1812), "InvalidServerAddresses",
         "Discarding RADIUS response from unknown auth server 127.0.0.9:1812"},
        {"source port", ok, inet4("127.0.0.1", 1999), "InvalidServerAddresses", "unknown auth server"},
        {"19 bytes", bytes(ok.begin(), ok.begin() + 19), inet4("127.0.0.1", 1812), "Malformed",
         "Discarding short RADIUS message 19 bytes"},
        {"length past the datagram", set_length(ok, ok.size() + 1), inet4("127.0.0.1", 1812),
         "Malformed", "Discarding short RADIUS message"},
        {"length under 20", set_length(ok, 19), inet4("127.0.0.1", 1812), "Malformed",
         "Discarding short RADIUS message"},
        {"over 4096 bytes", huge, inet4("127.0.0.1", 1812), "Malformed",
         "Discarding oversized RADIUS message 4097 bytes"},
        {"accounting code", good(radius_code::accounting_response, {}), inet4("127.0.0.1", 1812),
         "UnknownTypes", "Discarding unsupported RADIUS message code 5"},
        {"malformed attributes", good(radius_code::access_accept, bytes{1, 2}),
         inet4("127.0.0.1", 1812), "Malformed", "Dropping RADIUS packet with malformed attributes"},
        {"unknown identifier", other_id, inet4("127.0.0.1", 1812), "PacketsDropped",
         "Dropping RADIUS response with unknown ID"},
        {"bad Message-Authenticator", bad_ma, inet4("127.0.0.1", 1812), "BadAuthenticators",
         "Discarding RADIUS response invalid Message-Autenticator"},
        {"Message-Authenticator of 17", good(radius_code::access_accept, bytes{80, 17} + bytes(15, 0)),
         inet4("127.0.0.1", 1812), "BadAuthenticators", "invalid Message-Autenticator"},
        {"EAP without Message-Authenticator",
         good(radius_code::access_challenge, attr(T::eap_message, bytes{1, 1, 0, 4})),
         inet4("127.0.0.1", 1812), "BadAuthenticators",
         "Discarding RADIUS response without Message-Autenticator"},
        {"bad Response Authenticator", corrupt_auth(ok), inet4("127.0.0.1", 1812),
         "BadAuthenticators", "Discarding RADIUS response with invalid Authenticator"},
        {"ragged MPPE key", mppe_ragged, inet4("127.0.0.1", 1812), "PacketsDropped",
         "Invalid MPPS-Key in RADIUS message"},
    };
    for (const auto &c : cases) {
        auto before = counters(row(0));
        log_capture log;
        EXPECT_EQ(deliver(c.data, c.from), -1) << c.name;
        EXPECT_TRUE(log.has(c.text)) << c.name;
        auto after = counters(row(0));
        for (const auto &[name, value] : after) {
            uint32_t want = before[name] + (name == c.counter ? 1 : 0);
            EXPECT_EQ(value, want) << c.name << ": " << name;
        }
        EXPECT_EQ(counters(row(1)), counters(radiusAuthClientServerExtTable{})) << c.name;
    }
    EXPECT_TRUE(radius_request_of(req)->nas) << "still waiting";

    // Padding after the Length field is cut, not held against the response.
    bytes padded = ok + bytes{0xde, 0xad};
    EXPECT_EQ(deliver(padded), 0);
    EXPECT_FALSE(radius_request_of(req)->nas);
    EXPECT_EQ(row(0).radiusAuthClientExtAccessAccepts, 1u);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 0u);
}

TEST_F(RadiusNas, ResponseCarriesTheRequestsStationAndAMappedSourceMatches)
{
    ASSERT_TRUE(create());
    packet *req = request();
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 7};
    memcpy(radius_request_of(req)->mac, mac, 6);
    ASSERT_EQ(radius_nas_send(nas, req, -1, nullptr), 0);
    packet_ptr resp(packet_of(pool.get(), answer(sent[0].data, radius_code::access_reject, {},
                                                 SECRET[0], false, pool.get())));
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(1812);
    inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
    EXPECT_EQ(radius_nas_recv(nas, resp.get(), reinterpret_cast<sockaddr *>(&mapped), 0), 0);
    EXPECT_EQ(memcmp(radius_request_of(resp.get())->mac, mac, 6), 0);
    EXPECT_FALSE(radius_request_of(resp.get())->nas);
    EXPECT_EQ(row(0).radiusAuthClientExtAccessRejects, 1u);
}

// A server that signed a non-EAP answer must go on signing; EAP answers,
// always signed, teach nothing.
TEST_F(RadiusNas, ServerThatSignedOnceMustKeepSigning)
{
    ASSERT_TRUE(create());
    auto exchange = [&](radius_code code, const bytes &attrs, bool sign, int server = 0) {
        EXPECT_EQ(radius_nas_send(nas, request(), server, nullptr), 0);
        return deliver(answer(sent.back().data, code, attrs, SECRET[server], sign, pool.get()),
                       server);
    };
    bytes eap = attr(T::eap_message, bytes{1, 1, 0, 4});
    EXPECT_EQ(exchange(radius_code::access_accept, {}, false), 0) << "never signed: accepted";
    EXPECT_EQ(exchange(radius_code::access_challenge, eap, true), 0);
    EXPECT_EQ(exchange(radius_code::access_accept, eap, true), 0);
    EXPECT_EQ(exchange(radius_code::access_reject, {}, false), 0) << "EAP answers teach nothing";

    EXPECT_EQ(exchange(radius_code::access_reject, {}, true), 0) << "signed non-EAP answer";
    log_capture log;
    EXPECT_EQ(exchange(radius_code::access_accept, {}, false), -1);
    EXPECT_TRUE(log.has("Discarding RADIUS response without Message-Autenticator"));
    EXPECT_EQ(row(0).radiusAuthClientExtBadAuthenticators, 1u);
    EXPECT_EQ(exchange(radius_code::access_challenge, {}, false), -1);
    EXPECT_EQ(exchange(radius_code::access_accept, {}, true), 0);
    // The secondary has not signed yet: it is judged on its own.
    EXPECT_EQ(exchange(radius_code::access_accept, {}, false, 1), 1);
    // A new transport (a reconfiguration) starts over.
    radius_nas_destroy(nas);
    ASSERT_TRUE(create());
    EXPECT_EQ(exchange(radius_code::access_accept, {}, false), 0);
}

TEST_F(RadiusNas, TransactionsKeepTheirIdentifier)
{
    ASSERT_TRUE(create());
    int t = radius_nas_reserve_transaction(nas, 9);
    EXPECT_EQ(t, 10);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingTransactions, 1u);
    EXPECT_EQ(row(1).radiusAuthClientExtPendingTransactions, 1u);
    ASSERT_EQ(radius_nas_send(nas, request(), -1, &t), 0);
    EXPECT_EQ(t, 11);
    EXPECT_EQ(sent.back().data[1], 11);
    ASSERT_EQ(deliver(answer(sent.back().data, radius_code::access_challenge, {}, SECRET[0], false,
                             pool.get())),
              0);
    // Identifier 11 stays the transaction's after its request was answered.
    ASSERT_EQ(radius_nas_send(nas, request(), -1, nullptr), 0);
    EXPECT_EQ(sent.back().data[1], 12);
    ASSERT_EQ(radius_nas_send(nas, request(), -1, &t), 0);
    EXPECT_EQ(t, 13);
    radius_nas_release_transaction(nas, t);
    radius_nas_release_transaction(nas, t); // a second release changes nothing
    EXPECT_EQ(row(0).radiusAuthClientExtPendingTransactions, 0u);
    EXPECT_EQ(row(1).radiusAuthClientExtPendingTransactions, 0u);

    // No transaction when every identifier is taken.
    for (int i = 0; i < 256; i++)
        radius_nas_reserve_transaction(nas, i);
    log_capture log;
    EXPECT_EQ(radius_nas_reserve_transaction(nas, 0), -1);
    EXPECT_TRUE(log.has("RADIUS transaction denied due to busy send window"));
}

TEST_F(RadiusNas, CancelDestroyAndResynchronisation)
{
    ASSERT_TRUE(create());
    packet *a = request(), *b = request();
    ASSERT_EQ(radius_nas_send(nas, a, -1, nullptr), 0);
    ASSERT_EQ(radius_nas_send(nas, b, -1, nullptr), 0);
    EXPECT_EQ(radius_nas_send(nas, a, -1, nullptr), -1) << "already queued";
    radius_nas_cancel(nas, a);
    radius_nas_cancel(nas, a); // no longer queued: nothing happens
    EXPECT_EQ(a->_refcount, 1);
    EXPECT_EQ(row(0).radiusAuthClientExtTimeouts, 1u);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 1u);
    EXPECT_EQ(deliver(answer(sent[0].data, radius_code::access_reject, {}, SECRET[0], false,
                             pool.get())),
              -1);
    EXPECT_EQ(row(0).radiusAuthClientExtPacketsDropped, 1u);

    // Counters that disagree with the queue are mended by the timer.
    row(0).radiusAuthClientExtPendingRequests = 5;
    row(1).radiusAuthClientExtPendingRequests = 2;
    {
        log_capture log;
        advance(1000);
        EXPECT_TRUE(log.has("127.0.0.1:1812: RADIUS pending requests 5 for 1 queued - resynchronised"));
    }
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 1u);
    EXPECT_EQ(row(1).radiusAuthClientExtPendingRequests, 0u);
    radius_nas_cancel(nas, b);
    row(0).radiusAuthClientExtPendingRequests = 3;
    advance(1000);
    EXPECT_EQ(row(0).radiusAuthClientExtPendingRequests, 0u) << "an empty queue";

    // Destruction drops the queue's references and the timer.
    ASSERT_EQ(radius_nas_send(nas, a, -1, nullptr), 0);
    EXPECT_EQ(a->_refcount, 2);
    radius_nas_destroy(nas);
    nas = nullptr;
    EXPECT_EQ(a->_refcount, 1);
    EXPECT_FALSE(armed);
}

} // namespace
