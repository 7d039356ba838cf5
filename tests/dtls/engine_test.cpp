// The engine interface: connecting, routing, sending and queueing, closing
// and teardown, between our own client and server on an in-memory network.
#include <gtest/gtest.h>

#include <sys/un.h>

#include "tests/dtls/engine_fixture.h"

using namespace dtls_fixture;

namespace {

struct EngineTest : ::testing::Test {
    network net;
    endpoint *server = nullptr, *client = nullptr;

    static void SetUpTestSuite() { dtls_init(); }

    void SetUp() override
    {
        server = net.add(5684, nullptr, 1500, shared_rsa().key, true);
        server->psks["gw1"] = test_psk_key();
        server->echo = true;
        client = net.add(40000);
    }

    dtls_sock *connect_psk()
    {
        dtls_psk psk = make_psk("gw1", test_psk_key());
        return dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    }
};

TEST_F(EngineTest, PskHandshakeCarriesDataBothWays)
{
    dtls_sock *s = connect_psk();
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(dtls_sock_is_connected(s));
    net.run();
    ASSERT_EQ(client->connected.size(), 1u);
    ASSERT_EQ(server->accepted.size(), 1u);
    EXPECT_TRUE(dtls_sock_is_connected(s));
    EXPECT_STREQ(dtls_sock_cipher(s), "TLS_PSK_WITH_AES_128_CCM");
    EXPECT_EQ(server->psk_asked, std::vector<std::string>{"gw1"});
    EXPECT_EQ(dtls_sock_peer_key(s), nullptr);
    int rc;
    endpoint_send(client, s, "hello", &rc);
    EXPECT_EQ(rc, 5);
    net.run();
    EXPECT_EQ(server->received, std::vector<std::string>{"hello"});
    EXPECT_EQ(client->received, std::vector<std::string>{"hello"});
    // Every record after the handshake is encrypted: no plaintext on the wire.
    for (auto &d : net.log)
        EXPECT_EQ(std::search(d.data.begin(), d.data.end(), "hello", "hello" + 5), d.data.end());
}

TEST_F(EngineTest, DataSentDuringHandshakeArrivesInOrderBeforeConnect)
{
    dtls_sock *s = connect_psk();
    int rc1, rc2;
    endpoint_send(client, s, "one", &rc1);
    endpoint_send(client, s, "two", &rc2);
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(rc2, 0);
    size_t seen_at_connect = 99;
    client->on_connect = [&](dtls_sock *) { seen_at_connect = net.wire.size(); };
    net.run();
    ASSERT_EQ(client->connected.size(), 1u);
    EXPECT_GE(seen_at_connect, 2u); // flushed before connect_cb ran
    EXPECT_EQ(server->received, (std::vector<std::string>{"one", "two"}));
}

TEST_F(EngineTest, ConnectRefusesBadArguments)
{
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    dtls_psk psk = make_psk("gw1", test_psk_key());
    EXPECT_EQ(dtls_connect(client->ctx, reinterpret_cast<sockaddr *>(&un), nullptr, &psk), nullptr);
    dtls_rsa_pin pin = shared_rsa().pin;
    pin.bits = 63;
    EXPECT_EQ(dtls_connect(client->ctx, &server->addr.sa, &pin, nullptr), nullptr);
    pin.bits = 64;
    dtls_sock *s = dtls_connect(client->ctx, &server->addr.sa, &pin, nullptr);
    ASSERT_NE(s, nullptr);
    // The same peer again, while handshaking and once established.
    EXPECT_EQ(dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk), nullptr);
    net.run();
    ASSERT_TRUE(dtls_sock_is_connected(s));
    EXPECT_EQ(dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk), nullptr);
}

// The ClientHello offers what the socket can run: PSK rows only for a PSK,
// RSA rows with the raw-public-key extension otherwise; always the SCSV.
TEST_F(EngineTest, ClientHelloOffersSuitesOfTheCredentials)
{
    struct {
        bool pin, psk;
        std::vector<uint16_t> suites;
        bool rpk;
    } cases[] = {
        {false, true, {0xC0A4, 0xC0A8, 0x00FF}, false},
        {false, false, {0xC09C, 0xC0A0, 0x00FF}, true},
        {true, true, {0xC09C, 0xC0A0, 0xC0A4, 0xC0A8, 0x00FF}, true},
    };
    uint16_t port = 6000;
    for (auto &c : cases) {
        dtls_addr to = make_addr(port++);
        dtls_psk psk = make_psk("gw1", test_psk_key());
        dtls_sock *s = dtls_connect(client->ctx, &to.sa, c.pin ? &shared_rsa().pin : nullptr,
                                    c.psk ? &psk : nullptr);
        ASSERT_NE(s, nullptr);
        net.wire.clear();
        timetable_manage(net.tt);
        ASSERT_EQ(net.wire.size(), 1u);
        const bytes &d = net.wire.front().data;
        ASSERT_EQ(net.wire.front().hs_type(), DTLS_HT_CLIENT_HELLO);
        const uint8_t *b = d.data() + 25;
        size_t at = 34 + 1 + b[34];
        at += 1 + b[at];
        size_t n = size_t(b[at] << 8 | b[at + 1]) / 2;
        std::vector<uint16_t> got;
        for (size_t i = 0; i < n; i++)
            got.push_back(uint16_t(b[at + 2 + 2 * i] << 8 | b[at + 3 + 2 * i]));
        EXPECT_EQ(got, c.suites);
        at += 2 + 2 * n + 2;
        bytes ext(b + at, d.data() + d.size());
        EXPECT_EQ(ext, c.rpk ? bytes({0, 5, 0, 0x13, 0, 1, 2}) : bytes{});
        dtls_close(s);
    }
}

TEST_F(EngineTest, RsaPinsDecideTheHandshake)
{
    test_rsa &k = shared_rsa();
    struct {
        uint32_t bits;
        bool flip; // change the pinned fingerprint within the compared bits
        bool ok;
    } cases[] = {{256, false, true}, {64, false, true}, {0, true, true},
                 {256, true, false}, {64, true, false}};
    uint16_t port = 41000;
    for (auto &c : cases) {
        endpoint *cl = net.add(port++);
        dtls_rsa_pin pin = k.pin;
        pin.bits = c.bits;
        if (c.flip)
            pin.fingerprint[c.bits ? c.bits / 8 - 1 : 0] ^= 0x01;
        dtls_sock *s = c.bits || !c.flip
                           ? dtls_connect(cl->ctx, &server->addr.sa, &pin, nullptr)
                           : dtls_connect(cl->ctx, &server->addr.sa, nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        net.run();
        if (c.ok) {
            ASSERT_EQ(cl->connected.size(), 1u) << c.bits;
            EXPECT_STREQ(dtls_sock_cipher(s), "TLS_RSA_WITH_AES_128_CCM");
            // The socket records the key it was shown, pinned or not.
            EXPECT_EQ(memcmp(dtls_sock_peer_key(s)->fingerprint, k.pin.fingerprint, 32), 0);
        } else {
            EXPECT_TRUE(cl->connected.empty());
            ASSERT_EQ(cl->closed.size(), 1u);
            EXPECT_EQ(cl->closed[0].second, DTLS_ALERT_HANDSHAKE_FAILURE);
            // The server heard the Bad Certificate alert: its socket is gone.
            bool alert = false;
            for (auto &d : net.log)
                if (same_addr(&d.from.sa, &cl->addr.sa) && d.content_type() == DTLS_CT_ALERT &&
                    d.data.size() == 15 && d.data[13] == 2 && d.data[14] == 42)
                    alert = true;
            EXPECT_TRUE(alert);
            EXPECT_EQ(dtls_sock_lookup(server->ctx->handshaking, &cl->addr.sa), nullptr);
        }
    }
}

TEST_F(EngineTest, CloseAndTeardownReportOnce)
{
    dtls_sock *s = connect_psk();
    net.run();
    ASSERT_EQ(server->accepted.size(), 1u);
    // Closing from within close_cb does nothing more; the socket stays valid
    // until the engine's own timer frees it.
    client->on_close = [](dtls_sock *sock, int) { dtls_close(sock); };
    // The server side quits: the client hears Close Notify and gets close_cb(0).
    dtls_close(server->accepted[0]);
    EXPECT_TRUE(server->closed.empty()); // never for a socket the host closed
    net.run();
    ASSERT_EQ(client->closed.size(), 1u);
    EXPECT_EQ(client->closed[0], std::make_pair(s, 0));
    dtls_close(nullptr);
    net.run();
    EXPECT_EQ(client->closed.size(), 1u);
    EXPECT_EQ(dtls_sock_lookup(client->ctx->established, &server->addr.sa), nullptr);
}

TEST_F(EngineTest, DestroyingTheContextClosesHostSockets)
{
    endpoint *other = net.add(40001);
    dtls_psk psk = make_psk("gw1", test_psk_key());
    dtls_sock *up = connect_psk();
    net.run();
    dtls_addr nowhere = make_addr(9);
    dtls_sock *pending = dtls_connect(client->ctx, &nowhere.sa, nullptr, &psk);
    dtls_sock *pending2 = dtls_connect(other->ctx, &nowhere.sa, nullptr, &psk);
    ASSERT_TRUE(up && pending && pending2);
    net.run();
    dtls_ctx_destroy(client->ctx);
    client->ctx = nullptr;
    std::sort(client->closed.begin(), client->closed.end());
    auto expect = std::vector<std::pair<dtls_sock *, int>>{{up, 0}, {pending, 40}};
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(client->closed, expect);
}

TEST_F(EngineTest, DropsShortAndForeignDatagrams)
{
    packet *p = packet_alloc(net.pool, 12);
    memset(p->data, 22, 12);
    dtls_recv(server->ctx, p, &client->addr.sa);
    packet_release(p);
    // A whole ClientHello, which the same server answers from an IPv4 peer:
    // only the family can make it drop this one.
    bytes hello = hs_record(DTLS_HT_CLIENT_HELLO, 0,
                            client_hello_body(bytes(32, 7), {}, {0xC0A4}), 0);
    p = packet_alloc(net.pool, hello.size());
    memcpy(p->data, hello.data(), hello.size());
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    dtls_recv(server->ctx, p, reinterpret_cast<sockaddr *>(&un));
    EXPECT_TRUE(net.wire.empty());
    EXPECT_EQ(hashtable_count(server->ctx->handshaking), 0u);
    dtls_recv(server->ctx, p, &client->addr.sa);
    packet_release(p);
    ASSERT_EQ(net.wire.size(), 1u);
    EXPECT_EQ(net.wire.front().hs_type(), DTLS_HT_HELLO_VERIFY_REQUEST);
}

TEST_F(EngineTest, MtuBelowMinimumIsRefused)
{
    EXPECT_EQ(dtls_set_mtu(client->ctx, 127), -1);
    EXPECT_EQ(dtls_set_mtu(client->ctx, 128), 0);
}

// A handshake across a small MTU fragments the server's key and still ends.
TEST_F(EngineTest, SmallMtuFragmentsTheCertificate)
{
    endpoint *small_server = net.add(5685, nullptr, 200, shared_rsa().key, false);
    endpoint *small_client = net.add(40002, nullptr, 200);
    dtls_sock *s = dtls_connect(small_client->ctx, &small_server->addr.sa, &shared_rsa().pin, nullptr);
    net.run();
    ASSERT_EQ(small_client->connected.size(), 1u);
    EXPECT_EQ(s, small_client->connected[0]);
    for (auto &d : net.log)
        EXPECT_LE(d.data.size(), 172u);
}

} // namespace
