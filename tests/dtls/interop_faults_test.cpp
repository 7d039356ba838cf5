// Our engine (the dtlspeer tool) with OpenSSL and GnuTLS, in both roles,
// under loss and abuse: through a UDP relay of the test's own that drops
// datagrams (each single handshake datagram in turn, in either direction,
// and 20 % at random; this kernel has no netem), a client that leaves after
// the cookie exchange, and mismatched pre-shared keys.
//
// Each run starts both peers afresh and ends when data has crossed, or at
// its deadline. Runs mostly wait on the peers' timers, so they go side by
// side in threads: each test costs about as long as its longest run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/dtls/peer_process.h"

using peer_process::process;

namespace {

const std::string kPskHex = "00112233445566778899aabbccddeeff";
const std::string kGnutlsPskPriority =
    "NONE:+VERS-DTLS1.2:+AES-128-CCM:+AES-128-CCM-8:+PSK:+AEAD:+COMP-NULL:+SIGN-ALL";
const std::string kGnutlsRsaPriority = "NONE:+VERS-DTLS1.2:+AES-128-CCM:+AES-128-CCM-8:+RSA:+AEAD:"
                                       "+COMP-NULL:+SIGN-ALL:+CTYPE-SRV-RAWPK";

using steady = std::chrono::steady_clock;

int elapsed_ms(steady::time_point since)
{
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count());
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sin;
}

// A handshake datagram: it begins with a handshake or ChangeCipherSpec record.
bool is_handshake(const uint8_t *d, size_t n)
{
    return n >= 13 && (d[0] == 22 || d[0] == 20);
}

// Decides whether the index-th handshake datagram through the relay is lost.
using drop_fn = std::function<bool(int index)>;

// The lossy link: clients send to front, the relay forwards from back to the
// server and the server's answers back to the last client address.
struct relay {
    int front = -1, back = -1;
    uint16_t front_port = 0, back_port = 0;
    sockaddr_in server{}, client{};
    bool have_client = false;
    drop_fn drop;
    int handshake_datagrams = 0;

    bool open(uint16_t server_port)
    {
        server = loopback(server_port);
        for (int *fd : {&front, &back}) {
            *fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            sockaddr_in any = loopback(0);
            if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr *>(&any), sizeof any) < 0)
                return false;
        }
        sockaddr_in bound{};
        socklen_t len = sizeof bound;
        getsockname(front, reinterpret_cast<sockaddr *>(&bound), &len);
        front_port = ntohs(bound.sin_port);
        len = sizeof bound;
        getsockname(back, reinterpret_cast<sockaddr *>(&bound), &len);
        back_port = ntohs(bound.sin_port);
        return true;
    }
    ~relay()
    {
        for (int fd : {front, back})
            if (fd >= 0)
                close(fd);
    }

    bool lose(const uint8_t *d, size_t n)
    {
        if (!is_handshake(d, n))
            return false;
        int index = handshake_datagrams++;
        return drop && drop(index);
    }

    // Forwards everything waiting, in both directions.
    void pump()
    {
        static thread_local uint8_t buf[65536];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(front, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0)
                break;
            client = from;
            have_client = true;
            if (!lose(buf, size_t(n)))
                sendto(back, buf, size_t(n), 0, reinterpret_cast<sockaddr *>(&server), sizeof server);
        }
        for (;;) {
            ssize_t n = recv(back, buf, sizeof buf, 0);
            if (n < 0)
                break;
            if (have_client && !lose(buf, size_t(n)))
                sendto(front, buf, size_t(n), 0, reinterpret_cast<sockaddr *>(&client), sizeof client);
        }
    }
};

// Which end is ours, and how to start the other.
enum class peer_kind { ours, openssl, gnutls };

struct pairing {
    const char *name;
    peer_kind client, server;
    bool rsa = false;
};

struct InteropFaultsTest : ::testing::Test {
    static std::string dir, key, pub, psk_file;

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/dtls_loss.XXXXXX";
        dir = mkdtemp(tmpl);
        key = dir + "/rsa.key";
        pub = dir + "/rsa.pub";
        psk_file = dir + "/psk.txt";
        std::string cmd = "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key +
                          " 2>/dev/null && openssl pkey -in " + key + " -pubout -out " + pub +
                          " && echo gw1:" + kPskHex + " > " + psk_file;
        if (system(cmd.c_str()) != 0)
            dir.clear();
    }

    static void TearDownTestSuite()
    {
        if (!dir.empty())
            [[maybe_unused]] int rc = system(("rm -rf " + dir).c_str());
    }

    void SetUp() override
    {
        if (!peer_process::have_program("openssl"))
            GTEST_SKIP() << "openssl is not installed";
        if (!peer_process::have_program("gnutls-cli") || !peer_process::have_program("gnutls-serv"))
            GTEST_SKIP() << "gnutls-cli and gnutls-serv are not installed (package gnutls-bin)";
        ASSERT_FALSE(dir.empty()) << "no test keys";
    }

    static std::string dtlspeer() { return std::string(UGW_BIN_DIR) + "/tools/dtlspeer/dtlspeer"; }

    // Waits until a peer prints the text, on its standard output or its error stream.
    static bool said(process &peer, const std::string &text, int timeout_ms)
    {
        auto start = steady::now();
        while (elapsed_ms(start) < timeout_ms) {
            if (peer.wait_for(text, 20) || peer.errors().find(text) != std::string::npos)
                return true;
            if (peer.out < 0) // the peer has gone
                return false;
        }
        return false;
    }

    // Starts the server end; its port, or 0.
    static uint16_t start_server(const pairing &p, process &server, const std::string &tag)
    {
        std::string err = dir + "/" + tag + ".server.err";
        if (p.server == peer_kind::ours) {
            std::vector<std::string> argv = {dtlspeer(), "-l", "127.0.0.1:0", "-d", "2"};
            if (p.rsa)
                argv.insert(argv.end(), {"--key", key});
            else
                argv.insert(argv.end(), {"--psk", "gw1:" + kPskHex});
            if (!server.start(argv, err) || !server.wait_for("listening ", 5000))
                return 0;
            return uint16_t(std::stoi(server.buffer.substr(server.buffer.find("listening ") + 10)));
        }
        // A port can still be taken between the pick and the peer's bind: retry
        // on another until the peer itself says it listens on IPv4.
        for (int attempt = 0; attempt < 5; attempt++) {
            uint16_t port = peer_process::free_udp_port();
            std::vector<std::string> argv;
            std::string ready;
            if (p.server == peer_kind::openssl) {
                argv = {"openssl", "s_server", "-dtls1_2", "-accept",
                        "127.0.0.1:" + std::to_string(port), "-nocert", "-psk", kPskHex,
                        "-psk_identity", "gw1", "-cipher", "PSK-AES128-CCM", "-naccept", "1"};
                ready = "ACCEPT";
            } else {
                argv = {"gnutls-serv", "--udp", "--port", std::to_string(port), "--pskpasswd",
                        psk_file, "--priority", kGnutlsPskPriority, "--echo"};
                ready = "IPv4 0.0.0.0 port " + std::to_string(port) + "...done";
            }
            if (port && server.start(argv, err) && said(server, ready, 5000))
                return port;
            server.stop();
        }
        return 0;
    }

    static bool start_client(const pairing &p, process &client, uint16_t port, const std::string &tag,
                             const std::string &identity = "gw1", const std::string &psk = kPskHex)
    {
        std::string err = dir + "/" + tag + ".client.err";
        std::string to = std::to_string(port);
        std::vector<std::string> argv;
        if (p.client == peer_kind::ours)
            argv = {dtlspeer(), "-c", "127.0.0.1:" + to, "--psk", identity + ":" + psk, "--no-echo",
                    "-d", "2"};
        else if (p.client == peer_kind::openssl)
            argv = {"openssl", "s_client", "-dtls1_2", "-connect", "127.0.0.1:" + to, "-psk", psk,
                    "-psk_identity", identity, "-cipher", "PSK-AES128-CCM"};
        else if (p.rsa)
            argv = {"gnutls-cli", "--udp", "--port", to, "--priority", kGnutlsRsaPriority, "--insecure",
                    "127.0.0.1"};
        else
            argv = {"gnutls-cli", "--udp", "--port", to, "--pskusername", identity, "--pskkey", psk,
                    "--priority", kGnutlsPskPriority, "127.0.0.1"};
        if (!client.start(argv, err))
            return false;
        // Peers' clients send their standard input once connected; ours only
        // once it says so (below).
        if (p.client != peer_kind::ours)
            client.write_line("ping");
        return true;
    }

    struct outcome {
        bool done = false;
        int handshake_datagrams = 0;
        int ms = 0;
        std::string why;
    };

    // One handshake through the relay, and "ping" across it.
    static outcome run_once(const pairing &p, const drop_fn &drop, int deadline_ms,
                            const std::string &tag)
    {
        outcome o;
        auto start = steady::now();
        process server, client;
        uint16_t port = start_server(p, server, tag);
        relay r;
        if (!port || !r.open(port)) {
            o.why = "server did not start";
            return o;
        }
        r.drop = drop;
        if (!start_client(p, client, r.front_port, tag)) {
            o.why = "client did not start";
            return o;
        }
        bool pinged = false;
        while (!o.done && elapsed_ms(start) < deadline_ms) {
            pollfd fds[4] = {{r.front, POLLIN, 0}, {r.back, POLLIN, 0}, {server.out, POLLIN, 0},
                             {client.out, POLLIN, 0}};
            poll(fds, 4, 20);
            r.pump();
            server.drain();
            client.drain();
            if (p.client == peer_kind::ours) {
                if (!pinged && client.buffer.find("connected ") != std::string::npos) {
                    client.write_line("ping");
                    pinged = true;
                }
                // gnutls-serv echoes; s_server prints what it got.
                o.done = p.server == peer_kind::gnutls ? client.buffer.find(" 5 ping\\n") != std::string::npos
                                                       : server.buffer.find("ping") != std::string::npos;
            } else if (p.server == peer_kind::ours) {
                o.done = client.buffer.find("ping") != std::string::npos; // our echo
            } else {
                o.done = server.buffer.find("ping") != std::string::npos;
            }
        }
        o.ms = elapsed_ms(start);
        o.handshake_datagrams = r.handshake_datagrams;
        if (!o.done)
            o.why = "no data after " + std::to_string(o.ms) + " ms; client said: " +
                    client.buffer.substr(0, 300) + " server said: " + server.buffer.substr(0, 300);
        return o;
    }
};

std::string InteropFaultsTest::dir, InteropFaultsTest::key, InteropFaultsTest::pub,
    InteropFaultsTest::psk_file;

const pairing kOurPairings[] = {
    {"ours to openssl s_server", peer_kind::ours, peer_kind::openssl},
    {"ours to gnutls-serv", peer_kind::ours, peer_kind::gnutls},
    {"openssl s_client to ours", peer_kind::openssl, peer_kind::ours},
    {"gnutls-cli to ours", peer_kind::gnutls, peer_kind::ours},
    {"gnutls-cli to ours, raw public key", peer_kind::gnutls, peer_kind::ours, true},
};
const pairing kReference = {"gnutls-cli to openssl s_server", peer_kind::gnutls, peer_kind::openssl};

// Runs job(i) for i in [0, n) on up to lanes threads.
void in_lanes(size_t n, size_t lanes, const std::function<void(size_t)> &job)
{
    std::mutex m;
    size_t next = 0;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < lanes && t < n; t++)
        threads.emplace_back([&] {
            for (;;) {
                size_t i;
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (next == n)
                        return;
                    i = next++;
                }
                job(i);
            }
        });
    for (auto &t : threads)
        t.join();
}

// Every pairing completes whichever single handshake datagram is lost. A
// loss costs one resend interval, or two when the peer's timer must run
// first (a GnuTLS client waits for silence before it resends).
TEST_F(InteropFaultsTest, AnySingleLostDatagramIsRecovered)
{
    constexpr size_t n = std::size(kOurPairings);
    std::vector<std::vector<std::string>> failures(n);
    std::vector<int> positions(n, 0);
    in_lanes(n, n, [&](size_t i) {
        const pairing &p = kOurPairings[i];
        outcome clean = run_once(p, nullptr, 10000, "clean" + std::to_string(i));
        if (!clean.done) {
            failures[i].push_back(std::string("without loss: ") + clean.why);
            return;
        }
        positions[i] = clean.handshake_datagrams;
        for (int k = 0; k < clean.handshake_datagrams; k++) {
            outcome o = run_once(p, [k](int index) { return index == k; }, 12000,
                                 "drop" + std::to_string(i) + "." + std::to_string(k));
            if (!o.done)
                failures[i].push_back("datagram " + std::to_string(k) + " lost: " + o.why);
        }
    });
    for (size_t i = 0; i < n; i++) {
        EXPECT_GE(positions[i], 4) << kOurPairings[i].name;
        for (auto &f : failures[i])
            ADD_FAILURE() << kOurPairings[i].name << ": " << f;
    }
}

// With a fifth of the handshake datagrams lost at random (the same pattern
// of losses for every pairing), ours complete at least as often as GnuTLS
// with OpenSSL.
TEST_F(InteropFaultsTest, RandomLossCompletesAsOftenAsGnutlsWithOpenssl)
{
    constexpr int seeds = 8;
    std::vector<pairing> all(std::begin(kOurPairings), std::end(kOurPairings));
    all.push_back(kReference);
    std::vector<int> completed(all.size(), 0);
    std::mutex m;
    in_lanes(all.size() * seeds, 2 * all.size(), [&](size_t job) {
        size_t i = job / seeds;
        uint32_t seed = uint32_t(job % seeds) + 1;
        auto lossy = [seed](int index) {
            uint32_t h = (seed * 2654435761u) ^ (uint32_t(index) * 40503u + 0x9e3779b9u);
            h ^= h >> 15;
            h *= 2246822519u;
            h ^= h >> 13;
            return h % 100 < 20;
        };
        outcome o = run_once(all[i], lossy, 20000,
                             "loss" + std::to_string(i) + "." + std::to_string(seed));
        std::lock_guard<std::mutex> lock(m);
        completed[i] += o.done;
    });
    int reference = completed.back();
    printf("[ NOTE     ] %s: %d of %d\n", kReference.name, reference, seeds);
    for (size_t i = 0; i + 1 < all.size(); i++) {
        printf("[ NOTE     ] %s: %d of %d\n", all[i].name, completed[i], seeds);
        EXPECT_GE(completed[i], reference) << all[i].name;
    }
}

// A client that leaves after the cookie exchange leaves a server socket
// behind; openssl s_client started at once on the same address and port
// gets its handshake, long before that socket would give up.
TEST_F(InteropFaultsTest, NewClientOnAHalfOpenClientsPortIsServed)
{
    const pairing ours = {"ours to ours", peer_kind::ours, peer_kind::ours};
    process server;
    uint16_t port = start_server(ours, server, "halfopen");
    ASSERT_NE(port, 0);
    uint16_t used;
    {
        relay r;
        ASSERT_TRUE(r.open(port));
        used = r.back_port;
        r.drop = [](int index) { return index >= 3; }; // from the server's first flight on
        process gone;
        ASSERT_TRUE(start_client(ours, gone, r.front_port, "halfopen"));
        auto start = steady::now();
        while (server.errors().find("ClientHello cookie verified") == std::string::npos &&
               elapsed_ms(start) < 5000) {
            pollfd fds[2] = {{r.front, POLLIN, 0}, {r.back, POLLIN, 0}};
            poll(fds, 2, 20);
            r.pump();
        }
        ASSERT_NE(server.errors().find("ClientHello cookie verified"), std::string::npos);
    }
    process client;
    ASSERT_TRUE(client.start({"openssl", "s_client", "-dtls1_2", "-connect",
                              "127.0.0.1:" + std::to_string(port), "-bind",
                              "127.0.0.1:" + std::to_string(used), "-psk", kPskHex, "-psk_identity",
                              "gw1", "-cipher", "PSK-AES128-CCM"},
                             dir + "/halfopen.s_client.err"));
    client.write_line("ping");
    EXPECT_TRUE(client.wait_for("ping", 5000)) << client.buffer << client.errors();
    EXPECT_NE(server.errors().find("Closing stale handshaking DTLS socket"), std::string::npos);
}

// A wrong key or an unknown identity ends the handshake when our end gives
// its flight up (records that fail authentication are dropped): our server
// then says so once at error level and sends a fatal Decrypt Error, which
// makes the peer's client stop; our client reports 51 to its host, not the
// 40 of a silent peer. (openssl s_server takes any identity with its key,
// so it has no unknown-identity case.)
TEST_F(InteropFaultsTest, MismatchedKeysEndSoonAndSayWhy)
{
    const std::string wrong_key = "00112233445566778899aabbccddee00";
    struct {
        pairing p;
        std::string identity, key;
    } cases[] = {
        {{"s_client, wrong key", peer_kind::openssl, peer_kind::ours}, "gw1", wrong_key},
        {{"s_client, unknown identity", peer_kind::openssl, peer_kind::ours}, "gw9", kPskHex},
        {{"gnutls-cli, wrong key", peer_kind::gnutls, peer_kind::ours}, "gw1", wrong_key},
        {{"gnutls-cli, unknown identity", peer_kind::gnutls, peer_kind::ours}, "gw9", kPskHex},
        {{"ours to ours, wrong key", peer_kind::ours, peer_kind::ours}, "gw1", wrong_key},
        {{"ours to ours, unknown identity", peer_kind::ours, peer_kind::ours}, "gw9", kPskHex},
        {{"ours to s_server, wrong key", peer_kind::ours, peer_kind::openssl}, "gw1", wrong_key},
        {{"ours to gnutls-serv, wrong key", peer_kind::ours, peer_kind::gnutls}, "gw1", wrong_key},
        {{"ours to gnutls-serv, unknown identity", peer_kind::ours, peer_kind::gnutls}, "gw9",
         kPskHex},
    };
    constexpr size_t n = std::size(cases);
    std::vector<std::vector<std::string>> failures(n);
    in_lanes(n, n, [&](size_t i) {
        auto &c = cases[i];
        std::string tag = "keys" + std::to_string(i);
        auto fail = [&](const std::string &why) { failures[i].push_back(why); };
        process server, client;
        uint16_t port = start_server(c.p, server, tag);
        if (!port || !start_client(c.p, client, port, tag, c.identity, c.key))
            return fail("peers did not start");
        const std::string said = "keys did not match (wrong key or identity?)";
        auto start = steady::now();
        if (c.p.client == peer_kind::ours) {
            // Our client leaves on the close; its host hears 51.
            if (client.wait_exit(20000) < 0)
                return fail("our client still waits after 20 s");
            client.drain();
            if (client.buffer.find("closed 127.0.0.1:" + std::to_string(port) + " 51\n") ==
                std::string::npos)
                fail("our client said: " + client.buffer);
            size_t at = client.errors().find(said);
            if (at == std::string::npos || client.errors().find(said, at + 1) != std::string::npos)
                fail("our client's log: " + client.errors());
        } else {
            // The peer's client stops on our alert, well before its own 30 s.
            if (client.wait_exit(20000) < 0)
                return fail("the client still waits after 20 s");
            std::string log = server.errors();
            size_t at = log.find(said);
            if (at == std::string::npos || log.find(said, at + 1) != std::string::npos)
                fail("our server's log: " + log);
            if (log.find("Sending DTLS fatal alert Decrypt Error") == std::string::npos)
                fail("no alert in our server's log");
        }
        // Our end gives up after 15 s or its send limit, whichever comes first:
        // answering each repeat of the peer's flight counts towards the limit.
        if (elapsed_ms(start) < 10000)
            fail("ended after " + std::to_string(elapsed_ms(start)) + " ms, before giving up");
    });
    for (size_t i = 0; i < n; i++)
        for (auto &f : failures[i])
            ADD_FAILURE() << cases[i].p.name << ": " << f;
}

} // namespace
