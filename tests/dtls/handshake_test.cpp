// The handshake state machine: the cookie exchange, retransmission and
// timeout, lingering, tolerance of forged and lost datagrams, and what a
// misbehaving server can make the client do.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdarg>

#include "common/log.h"

#include "tests/dtls/engine_fixture.h"

using namespace dtls_fixture;

namespace {

struct HandshakeTest : ::testing::Test {
    network net;
    endpoint *server = nullptr, *client = nullptr;
    dtls_psk psk = make_psk("gw1", test_psk_key());

    static void SetUpTestSuite() { dtls_init(); }

    void SetUp() override
    {
        server = net.add(5684, nullptr, 1500, nullptr, true);
        server->psks["gw1"] = test_psk_key();
        client = net.add(40000);
    }

    std::vector<datagram> sent_by(const endpoint *e) const
    {
        std::vector<datagram> out;
        for (auto &d : net.log)
            if (same_addr(&d.from.sa, &e->addr.sa))
                out.push_back(d);
        return out;
    }
};

// The second ClientHello carries the cookie, the same random and
// message_seq 1; the server keeps no state before it.
TEST_F(HandshakeTest, CookieExchange)
{
    net.filter = [&](datagram &d) {
        if (d.hs_type() == DTLS_HT_HELLO_VERIFY_REQUEST) {
            EXPECT_EQ(hashtable_count(server->ctx->handshaking), 0u);
        }
        return true;
    };
    dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    ASSERT_EQ(client->connected.size(), 1u);
    auto c = sent_by(client), s = sent_by(server);
    ASSERT_GE(c.size(), 2u);
    ASSERT_EQ(c[0].hs_type(), DTLS_HT_CLIENT_HELLO);
    ASSERT_EQ(s[0].hs_type(), DTLS_HT_HELLO_VERIFY_REQUEST);
    ASSERT_EQ(c[1].hs_type(), DTLS_HT_CLIENT_HELLO);
    const bytes &h1 = c[0].data, &h2 = c[1].data;
    EXPECT_EQ(h1[17] << 8 | h1[18], 0);                      // message_seq
    EXPECT_EQ(h2[17] << 8 | h2[18], 1);
    EXPECT_TRUE(std::equal(h1.begin() + 27, h1.begin() + 59, h2.begin() + 27)); // random
    EXPECT_EQ(h1[60], 0);                                    // no cookie
    ASSERT_EQ(h2[60], 20);
    EXPECT_TRUE(std::equal(h2.begin() + 61, h2.begin() + 81, s[0].data.begin() + 28));
}

// A cookie stays valid into the next period and no further.
TEST_F(HandshakeTest, CookiePeriods)
{
    for (uint64_t delay_s : {300, 600}) {
        std::vector<datagram> held;
        net.filter = [&](datagram &d) {
            if (d.hs_type() == DTLS_HT_CLIENT_HELLO && d.data[60] == 20 && held.empty()) {
                held.push_back(d);
                return false;
            }
            return true;
        };
        endpoint *cl = net.add(uint16_t(41000 + delay_s));
        dtls_sock *s = dtls_connect(cl->ctx, &server->addr.sa, nullptr, &psk);
        net.run();
        ASSERT_EQ(held.size(), 1u);
        net.filter = nullptr;
        net.now_ms += delay_s * 1000;
        net.set_clock();
        net.deliver(held[0]);
        bool created = dtls_sock_lookup(server->ctx->handshaking, &cl->addr.sa) != nullptr;
        EXPECT_EQ(created, delay_s == 300) << delay_s;
        dtls_close(s);
        net.run();
    }
}

// With no answer the waits double from one second up to two, and the
// flight is given up 15 s after it first went out (sent at 0, 1, 3, 5, ... 13 s);
// a lower limit on the sends ends it sooner. The host hears Handshake Failure.
TEST_F(HandshakeTest, ResendsBackOffAndGiveUpAfterFifteenSeconds)
{
    struct {
        uint32_t limit;
        std::vector<uint64_t> sends_at;
        uint64_t closed_at;
    } cases[] = {
        {10, {0, 1000, 3000, 5000, 7000, 9000, 11000, 13000}, 15000},
        {2, {0, 1000, 3000}, 5000},
    };
    for (auto &c : cases) {
        dtls_params params = dtls_default_params;
        params.retransmit_limit = c.limit;
        endpoint *cl = net.add(uint16_t(42000 + c.limit), &params);
        std::vector<uint64_t> sent;
        uint64_t start = net.now_ms, closed = 0;
        net.filter = [&](datagram &d) {
            if (same_addr(&d.from.sa, &cl->addr.sa)) {
                EXPECT_EQ(d.hs_type(), DTLS_HT_CLIENT_HELLO);
                sent.push_back(net.now_ms - start);
            }
            return false;
        };
        cl->on_close = [&](dtls_sock *, int) { closed = net.now_ms - start; };
        dtls_sock *s = dtls_connect(cl->ctx, &server->addr.sa, nullptr, &psk);
        net.run();
        net.advance(40000, 100);
        EXPECT_EQ(sent, c.sends_at) << c.limit;
        // The teardown runs from a 0 ms timer: one step of the clock later.
        EXPECT_GE(closed, c.closed_at) << c.limit;
        EXPECT_LE(closed, c.closed_at + 100) << c.limit;
        ASSERT_EQ(cl->closed.size(), 1u);
        EXPECT_EQ(cl->closed[0], std::make_pair(s, 40));
    }
}

// The server's final flight is lost twice: the client resends its own, the
// lingering server answers each time, and the handshake completes.
TEST_F(HandshakeTest, LostFinalFlightIsResent)
{
    int dropped = 0;
    net.filter = [&](datagram &d) {
        bool final_flight = same_addr(&d.from.sa, &server->addr.sa) &&
                            d.content_type() == DTLS_CT_CHANGE_CIPHER_SPEC;
        if (final_flight && dropped < 2) {
            dropped++;
            return false;
        }
        return true;
    };
    dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    EXPECT_TRUE(client->connected.empty());
    EXPECT_EQ(server->accepted.size(), 1u);
    net.advance(1000); // client resends; server answers; lost again
    EXPECT_EQ(dropped, 2);
    EXPECT_TRUE(client->connected.empty());
    net.advance(2000); // the client's next resend comes two seconds later
    ASSERT_EQ(client->connected.size(), 1u);
    // The server stays ready to answer until its linger time is over.
    EXPECT_NE(server->accepted[0]->handshake, nullptr);
    net.advance(120000, 10000);
    EXPECT_EQ(server->accepted[0]->handshake, nullptr);
    endpoint_send(client, client->connected[0], "after");
    net.run();
    EXPECT_EQ(server->received, std::vector<std::string>{"after"});
}

// Garbage in the next epoch during the handshake is dropped, not answered.
TEST_F(HandshakeTest, ForgedRecordDoesNotEndTheHandshake)
{
    bool forged = false;
    net.filter = [&](datagram &d) {
        // The server's final flight: its ChangeCipherSpec goes first, then a
        // copy of its Finished with a broken tag, then the real datagram.
        if (!forged && same_addr(&d.from.sa, &server->addr.sa) &&
            d.content_type() == DTLS_CT_CHANGE_CIPHER_SPEC) {
            forged = true;
            datagram ccs = d, fake = d;
            ccs.data.resize(14);
            fake.data.erase(fake.data.begin(), fake.data.begin() + 14);
            fake.data.back() ^= 0x55;
            net.deliver(ccs);
            net.deliver(fake);
            EXPECT_TRUE(client->closed.empty());
        }
        return true;
    };
    dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    EXPECT_TRUE(forged);
    ASSERT_EQ(client->connected.size(), 1u);
    for (auto &d : net.log)
        EXPECT_NE(d.content_type(), DTLS_CT_ALERT);
}

TEST_F(HandshakeTest, FatalCloseNotifyClosesWithZero)
{
    dtls_sock *s = dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    ASSERT_EQ(server->accepted.size(), 1u);
    dtls_alert_send(server->accepted[0], DTLS_ALERT_CLOSE_NOTIFY, DTLS_ALERT_FATAL);
    net.run();
    ASSERT_EQ(client->closed.size(), 1u);
    EXPECT_EQ(client->closed[0], std::make_pair(s, 0));
}

// A server of our making: answers the first ClientHello with what the test
// wants, in plaintext epoch 0.
struct FakeServerTest : HandshakeTest {
    std::vector<bytes> answers;
    void SetUp() override
    {
        HandshakeTest::SetUp();
        net.filter = [&](datagram &d) {
            if (same_addr(&d.to.sa, &server->addr.sa)) {
                if (!answers.empty()) {
                    datagram r;
                    r.from = server->addr;
                    r.to = d.from;
                    r.data = answers.front();
                    answers.erase(answers.begin());
                    net.wire.push_back(r);
                }
                return false;
            }
            return true;
        };
    }
    static bytes server_hello(uint16_t suite, const bytes &ext)
    {
        bytes b = {0xfe, 0xfd};
        b.resize(34, 0x42);
        b.push_back(0);
        b.push_back(uint8_t(suite >> 8));
        b.push_back(uint8_t(suite));
        b.push_back(0);
        if (!ext.empty()) {
            b.push_back(uint8_t(ext.size() >> 8));
            b.push_back(uint8_t(ext.size()));
            b.insert(b.end(), ext.begin(), ext.end());
        }
        return b;
    }
};

TEST_F(FakeServerTest, LongestCookieIsCarried)
{
    bytes cookie(255, 0xc0);
    bytes hvr = {0xfe, 0xff, 255};
    hvr.insert(hvr.end(), cookie.begin(), cookie.end());
    answers.push_back(hs_record(DTLS_HT_HELLO_VERIFY_REQUEST, 0, hvr, 0));
    dtls_connect(client->ctx, &server->addr.sa, &shared_rsa().pin, &psk);
    net.run();
    auto c = sent_by(client);
    ASSERT_EQ(c.size(), 2u);
    ASSERT_EQ(c[1].data[60], 255);
    EXPECT_TRUE(std::equal(cookie.begin(), cookie.end(), c[1].data.begin() + 61));
    // Malformed cookie vectors end the handshake without an alert.
    for (bytes bad : {bytes{0xfe}, bytes{0xfe, 0xff, 4, 1}, bytes{0xfe, 0xff, 1, 1, 1}}) {
        endpoint *cl = net.add(uint16_t(42000 + bad.size()));
        answers.push_back(hs_record(DTLS_HT_HELLO_VERIFY_REQUEST, 0, bad, 0));
        dtls_connect(cl->ctx, &server->addr.sa, nullptr, &psk);
        net.run();
        ASSERT_EQ(cl->closed.size(), 1u);
        EXPECT_EQ(cl->closed[0].second, 40);
    }
}

// What the client answers to faulty server flights.
TEST_F(FakeServerTest, ServerFlightFaultsGetTheirAlerts)
{
    bytes rpk_ext = {0, 0x13, 0, 1, 2};
    struct {
        const char *what;
        bool rsa;
        std::vector<std::pair<uint8_t, bytes>> flight;
        int alert;
    } cases[] = {
        {"certificate type echoed to a PSK-only client", false,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC0A4, rpk_ext)}, {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_UNSUPPORTED_EXTENSION},
        {"unknown extension", false,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC0A4, {0, 0x17, 0, 0})}, {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_UNSUPPORTED_EXTENSION},
        {"suite not offered", false,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC09C, {})}, {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_HANDSHAKE_FAILURE},
        {"short server hello", false,
         {{DTLS_HT_SERVER_HELLO, bytes(33, 0xfe)}, {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_ILLEGAL_PARAMETER},
        {"certificate missing", true,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC09C, rpk_ext)}, {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_UNEXPECTED_MESSAGE},
        {"certificate not a key", true,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC09C, rpk_ext)},
          {DTLS_HT_CERTIFICATE, {0, 0, 2, 0x30, 0}},
          {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_UNSUPPORTED_CERTIFICATE},
        {"renegotiation info not empty", false,
         {{DTLS_HT_SERVER_HELLO, server_hello(0xC0A4, {0xff, 0x01, 0, 2, 1, 0})},
          {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_HANDSHAKE_FAILURE},
        {"version 1.0", false,
         {{DTLS_HT_SERVER_HELLO, [] { bytes b = server_hello(0xC0A4, {}); b[1] = 0xff; return b; }()},
          {DTLS_HT_SERVER_HELLO_DONE, {}}},
         DTLS_ALERT_PROTOCOL_VERSION},
    };
    uint16_t port = 43000;
    for (auto &c : cases) {
        endpoint *cl = net.add(port++);
        bytes dgram;
        uint16_t seq = 0;
        for (auto &m : c.flight) {
            bytes r = hs_record(m.first, seq, m.second, seq);
            seq++;
            dgram.insert(dgram.end(), r.begin(), r.end());
        }
        answers.push_back(dgram);
        dtls_connect(cl->ctx, &server->addr.sa, c.rsa ? &shared_rsa().pin : nullptr,
                     c.rsa ? nullptr : &psk);
        net.run();
        ASSERT_EQ(cl->closed.size(), 1u) << c.what;
        EXPECT_EQ(cl->closed[0].second, 40) << c.what;
        int alert = -1;
        for (auto &d : net.log)
            if (same_addr(&d.from.sa, &cl->addr.sa) && d.content_type() == DTLS_CT_ALERT &&
                d.data.size() == 15)
                alert = d.data[14];
        EXPECT_EQ(alert, c.alert) << c.what;
    }
}

// A ClientHello with a valid cookie from a peer of our choosing; it creates
// a server socket unless something refuses it.
void verified_hello(network &net, endpoint *server, const dtls_addr &from)
{
    bytes random(32, 7);
    datagram d;
    d.from = from;
    d.to = server->addr;
    d.data = hs_record(DTLS_HT_CLIENT_HELLO, 0, client_hello_body(random, {}, {0xC0A4}), 0);
    auto filter = net.filter;
    net.filter = [](datagram &) { return false; }; // we deliver by hand
    net.wire.clear();
    net.deliver(d);
    ASSERT_EQ(net.wire.size(), 1u);
    bytes cookie(net.wire[0].data.begin() + 28, net.wire[0].data.end());
    d.data = hs_record(DTLS_HT_CLIENT_HELLO, 1, client_hello_body(random, cookie, {0xC0A4}), 1);
    net.deliver(d);
    net.wire.clear();
    net.filter = filter;
}

// Clients with valid cookies cannot hold more than the cap of server sockets.
TEST_F(HandshakeTest, HandshakingServerSocketsAreCapped)
{
    for (uint32_t i = 0; i <= DTLS_MAX_HANDSHAKING; i++)
        verified_hello(net, server, make_addr(uint16_t(1024 + i), INADDR_LOOPBACK + 1 + i / 8));
    EXPECT_EQ(hashtable_count(server->ctx->handshaking), DTLS_MAX_HANDSHAKING);
}

// A flood of verified ClientHellos from one address holds a few places
// only, its oldest giving way, and a client elsewhere still gets in.
TEST_F(HandshakeTest, OneSourceCannotFillTheHandshakeTable)
{
    const uint32_t flood = DTLS_MAX_HANDSHAKING + 76;
    for (uint32_t i = 0; i < flood; i++)
        verified_hello(net, server, make_addr(uint16_t(1024 + i), INADDR_LOOPBACK + 9));
    EXPECT_EQ(hashtable_count(server->ctx->handshaking), DTLS_MAX_HANDSHAKING_PER_SOURCE);
    // The newest ones stay.
    dtls_addr newest = make_addr(uint16_t(1024 + flood - 1), INADDR_LOOPBACK + 9);
    dtls_addr oldest = make_addr(uint16_t(1024), INADDR_LOOPBACK + 9);
    EXPECT_NE(dtls_sock_lookup(server->ctx->handshaking, &newest.sa), nullptr);
    EXPECT_EQ(dtls_sock_lookup(server->ctx->handshaking, &oldest.sa), nullptr);
    dtls_sock *s = dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    ASSERT_EQ(client->connected.size(), 1u);
    EXPECT_EQ(client->connected[0], s);
}

// A client that leaves after the cookie exchange leaves a server socket
// behind; a new client on the same address and port replaces it at once.
TEST_F(HandshakeTest, NewClientHelloReplacesAHalfOpenHandshake)
{
    net.filter = [&](datagram &d) { return d.hs_type() != DTLS_HT_SERVER_HELLO; };
    dtls_sock *gone = dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    ASSERT_NE(dtls_sock_lookup(server->ctx->handshaking, &client->addr.sa), nullptr);
    dtls_close(gone);
    net.run();
    net.filter = nullptr;
    dtls_sock *s = dtls_connect(client->ctx, &server->addr.sa, nullptr, &psk);
    net.run();
    ASSERT_EQ(client->connected.size(), 1u);
    EXPECT_EQ(client->connected[0], s);
    EXPECT_EQ(server->accepted.size(), 1u);
    // A repeat of the live client's ClientHello stays with its socket.
    auto hellos = sent_by(client);
    ASSERT_EQ(hellos[hellos.size() - 3].hs_type(), DTLS_HT_CLIENT_HELLO);
    net.deliver(hellos[hellos.size() - 3]);
    EXPECT_EQ(server->accepted.size(), 1u);
    EXPECT_EQ(client->closed.size(), 0u);
}

std::vector<std::string> g_errors;

void capture_errors(int level, const char *, unsigned, const char *fmt, ...)
{
    if (level != ULOG_ERROR)
        return;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    g_errors.emplace_back(line);
}

// A wrong key or an unknown identity is told apart from a silent peer: the
// handshake still ends only when the flight is given up, since records that
// fail authentication are dropped, but then the server says why once, sends
// a fatal Decrypt Error the client can read, and the client's host hears 51.
// Without that alert the client concludes the same from the server's repeats.
TEST_F(HandshakeTest, MismatchedKeysEndWithDecryptError)
{
    struct {
        const char *what;
        dtls_psk psk;
        bool lose_alert;
    } cases[] = {
        {"wrong key", make_psk("gw1", bytes(16, 0x77)), false},
        {"unknown identity", make_psk("gw9", test_psk_key()), false},
        {"wrong key, alert lost", make_psk("gw1", bytes(16, 0x77)), true},
    };
    log_hook_fn saved_hook = log_hook;
    log_cfg saved_config = log_config;
    log_hook = capture_errors;
    log_config.level = ULOG_ERROR;
    log_config.components = LOG_COMP_DTLS;
    uint16_t port = 43000;
    for (auto &c : cases) {
        g_errors.clear();
        endpoint *cl = net.add(port++);
        std::vector<datagram> alerts;
        net.filter = [&](datagram &d) {
            if (d.content_type() != DTLS_CT_ALERT)
                return true;
            alerts.push_back(d);
            return !c.lose_alert;
        };
        uint64_t start = net.now_ms;
        dtls_sock *s = dtls_connect(cl->ctx, &server->addr.sa, nullptr, &c.psk);
        net.run();
        net.advance(20000);
        EXPECT_TRUE(cl->connected.empty()) << c.what;
        ASSERT_EQ(cl->closed.size(), 1u) << c.what;
        EXPECT_EQ(cl->closed[0], std::make_pair(s, int(DTLS_ALERT_DECRYPT_ERROR))) << c.what;
        EXPECT_LE(net.now_ms - start, 20000u);
        // The server's alert: plaintext, fatal, Decrypt Error (the client may
        // give up first and send its own).
        auto from_server = std::find_if(alerts.begin(), alerts.end(), [&](const datagram &d) {
            return same_addr(&d.from.sa, &server->addr.sa);
        });
        ASSERT_NE(from_server, alerts.end()) << c.what;
        const datagram &a = *from_server;
        EXPECT_EQ(a.epoch(), 0) << c.what;
        ASSERT_EQ(a.data.size(), 15u) << c.what;
        EXPECT_EQ(a.data[13], DTLS_ALERT_FATAL);
        EXPECT_EQ(a.data[14], DTLS_ALERT_DECRYPT_ERROR);
        // One line from each end that gave up on its own.
        ASSERT_GE(g_errors.size(), 1u) << c.what;
        EXPECT_LE(g_errors.size(), 2u) << c.what;
        for (auto &e : g_errors)
            EXPECT_NE(e.find("keys did not match (wrong key or identity?)"), std::string::npos) << e;
        net.filter = nullptr;
    }
    log_hook = saved_hook;
    log_config = saved_config;
    EXPECT_TRUE(server->accepted.empty());
}

} // namespace
