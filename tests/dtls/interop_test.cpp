// Our engine (through the dtlspeer tool) against OpenSSL and GnuTLS on
// loopback, and against itself over real sockets.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/dtls/peer_process.h"

using peer_process::process;

namespace {

const std::string kPskHex = "00112233445566778899aabbccddeeff";
const std::string kGnutlsPskPriority =
    "NONE:+VERS-DTLS1.2:+AES-128-CCM:+AES-128-CCM-8:+PSK:+AEAD:+COMP-NULL:+SIGN-ALL";
const std::string kGnutlsRsaPriority = "NONE:+VERS-DTLS1.2:+AES-128-CCM:+AES-128-CCM-8:+RSA:+AEAD:"
                                       "+COMP-NULL:+SIGN-ALL:+CTYPE-SRV-RAWPK";

std::string dtlspeer()
{
    return std::string(UGW_BIN_DIR) + "/tools/dtlspeer/dtlspeer";
}

struct InteropTest : ::testing::Test {
    static std::string dir, key, pub, pin;

    static std::string run(const std::string &cmd)
    {
        std::string out;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char buf[512];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0)
                out.append(buf, n);
            pclose(p);
        }
        return out;
    }

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/dtls_interop.XXXXXX";
        dir = mkdtemp(tmpl);
        key = dir + "/rsa.key";
        pub = dir + "/rsa.pub";
        run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key +
            " 2>/dev/null && openssl pkey -in " + key + " -pubout -out " + pub);
        std::string d = run("openssl pkey -in " + key + " -pubout -outform DER | openssl dgst -sha256 -r");
        pin = d.substr(0, 64);
    }

    static void TearDownTestSuite() { run("rm -rf " + dir); }

    void SetUp() override
    {
        if (!peer_process::have_program("openssl"))
            GTEST_SKIP() << "openssl is not installed";
    }

    // Our server on a port of its choosing; its port, or 0.
    static uint16_t start_server(process &p, std::vector<std::string> extra, const std::string &err)
    {
        std::vector<std::string> argv = {dtlspeer(), "-l", "127.0.0.1:0", "-d", "3"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!p.start(argv, err) || !p.wait_for("listening "))
            return 0;
        size_t at = p.buffer.find("listening ") + 10;
        return uint16_t(std::stoi(p.buffer.substr(at)));
    }
};

std::string InteropTest::dir, InteropTest::key, InteropTest::pub, InteropTest::pin;

// Our client against openssl s_server: handshake, data both ways.
TEST_F(InteropTest, OurClientToOpenSslServer)
{
    for (const char *cipher : {"PSK-AES128-CCM", "PSK-AES128-CCM8"}) {
        uint16_t port = peer_process::free_udp_port();
        process server;
        ASSERT_TRUE(server.start({"openssl", "s_server", "-dtls1_2", "-accept",
                                  "127.0.0.1:" + std::to_string(port), "-nocert", "-psk", kPskHex,
                                  "-psk_identity", "gw1", "-cipher", cipher, "-naccept", "1"},
                                 dir + "/s_server.err"));
        ASSERT_TRUE(server.wait_for("ACCEPT"));
        process client;
        ASSERT_TRUE(client.start({dtlspeer(), "-c", "127.0.0.1:" + std::to_string(port), "--psk",
                                  "gw1:" + kPskHex, "-d", "3"},
                                 dir + "/client.err"));
        std::string suite = std::string(cipher) == "PSK-AES128-CCM" ? "TLS_PSK_WITH_AES_128_CCM\n"
                                                                    : "TLS_PSK_WITH_AES_128_CCM_8\n";
        ASSERT_TRUE(client.wait_for("connected 127.0.0.1:" + std::to_string(port) + " " + suite))
            << client.buffer << client.errors();
        // s_server sends what it reads; our peer echoes it back.
        server.write_line("ping from openssl");
        EXPECT_TRUE(client.wait_for("recv 127.0.0.1:" + std::to_string(port) + " 18 ping from openssl\\n"));
        EXPECT_TRUE(server.wait_for("ping from openssl")) << server.buffer;
        EXPECT_NE(server.buffer.find("Secure Renegotiation IS supported"), std::string::npos);
        // "r" makes s_server ask for renegotiation: we refuse with a warning,
        // which OpenSSL answers with a fatal Handshake Failure; our peer
        // reports the closure and leaves. (s_server closes its socket before
        // its own Close Notify, so that one never reaches the wire.)
        server.write_line("r");
        EXPECT_TRUE(client.wait_for("closed 127.0.0.1:" + std::to_string(port) + " 40"))
            << client.errors();
        EXPECT_EQ(client.wait_exit(), 0);
        EXPECT_NE(client.errors().find("Sending DTLS warning alert No Renegotiation"), std::string::npos);
    }
}

// openssl s_client (no legacy flags) to our server, through the cookie exchange.
TEST_F(InteropTest, OpenSslClientToOurServer)
{
    for (const char *cipher : {"PSK-AES128-CCM", "PSK-AES128-CCM8"}) {
        process server;
        uint16_t port = start_server(server, {"--psk", "gw1:" + kPskHex}, dir + "/server.err");
        ASSERT_NE(port, 0);
        process client;
        ASSERT_TRUE(client.start({"openssl", "s_client", "-dtls1_2", "-connect",
                                  "127.0.0.1:" + std::to_string(port), "-psk", kPskHex,
                                  "-psk_identity", "gw1", "-cipher", cipher},
                                 dir + "/s_client.err"));
        ASSERT_TRUE(server.wait_for("accepted 127.0.0.1:")) << server.errors();
        client.write_line("hello from openssl");
        EXPECT_TRUE(server.wait_for(" 19 hello from openssl\\n"));
        EXPECT_TRUE(client.wait_for("hello from openssl")) << client.buffer;
        EXPECT_TRUE(client.wait_for(std::string("Cipher is ") + cipher)) << client.buffer;
        std::string log = server.errors();
        EXPECT_NE(log.find("Sending HelloVerifyRequest"), std::string::npos);
        EXPECT_NE(log.find("ClientHello cookie verified - creating socket"), std::string::npos);
        // On loopback OpenSSL writes records of 8 KB, far beyond one buffer.
        client.write_line(std::string(9000, 'x'));
        EXPECT_TRUE(server.wait_for(" 8192 xxxx")) << server.errors();
        EXPECT_TRUE(server.wait_for(" 809 xxxx")) << server.errors();
    }
}

TEST_F(InteropTest, GnutlsPskClientToOurServer)
{
    if (!peer_process::have_program("gnutls-cli"))
        GTEST_SKIP() << "gnutls-cli is not installed (package gnutls-bin)";
    process server;
    uint16_t port = start_server(server, {"--psk", "gw1:" + kPskHex}, dir + "/server.err");
    ASSERT_NE(port, 0);
    process client;
    ASSERT_TRUE(client.start({"gnutls-cli", "--udp", "--port", std::to_string(port), "--pskusername",
                              "gw1", "--pskkey", kPskHex, "--priority", kGnutlsPskPriority,
                              "127.0.0.1"},
                             dir + "/gnutls.err"));
    ASSERT_TRUE(server.wait_for("accepted 127.0.0.1:")) << server.errors();
    client.write_line("hello from gnutls");
    EXPECT_TRUE(client.wait_for("hello from gnutls")) << client.buffer;
    EXPECT_NE(server.errors().find("Sending HelloVerifyRequest"), std::string::npos);
    // At the end of its input gnutls-cli closes with a warning Close Notify.
    client.close_input();
    EXPECT_TRUE(server.wait_for("closed 127.0.0.1:")) << server.errors();
    EXPECT_NE(server.buffer.find(" 0\n", server.buffer.find("closed ")), std::string::npos);
}

// GnuTLS asks for the raw public key in the RFC 7250 form and sends the RSA
// ClientKeyExchange with its length prefix; a small MTU fragments our key.
TEST_F(InteropTest, GnutlsRawPublicKeyClientToOurServer)
{
    if (!peer_process::have_program("gnutls-cli"))
        GTEST_SKIP() << "gnutls-cli is not installed (package gnutls-bin)";
    for (const char *mtu : {"1500", "200"}) {
        process server;
        uint16_t port = start_server(server, {"--key", key, "--mtu", mtu}, dir + "/server.err");
        ASSERT_NE(port, 0);
        process client;
        ASSERT_TRUE(client.start({"gnutls-cli", "--udp", "--port", std::to_string(port),
                                  "--priority", kGnutlsRsaPriority, "--insecure", "127.0.0.1"},
                                 dir + "/gnutls.err"));
        ASSERT_TRUE(server.wait_for("accepted 127.0.0.1:")) << server.errors();
        EXPECT_TRUE(server.wait_for("TLS_RSA_WITH_AES_128_CCM\n"));
        client.write_line("raw key");
        EXPECT_TRUE(client.wait_for("raw key")) << client.buffer;
        bool fragmented = server.errors().find("in 3 fragments") != std::string::npos;
        EXPECT_EQ(fragmented, std::string(mtu) == "200") << mtu;
    }
}

// Our client against our server over UDP, pinned by the key's fingerprint.
TEST_F(InteropTest, OurClientToOurServerWithPins)
{
    process server;
    uint16_t port = start_server(server, {"--key", key}, dir + "/server.err");
    ASSERT_NE(port, 0);
    std::string target = "127.0.0.1:" + std::to_string(port);
    {
        process client;
        ASSERT_TRUE(client.start({dtlspeer(), "-c", target, "--pin", pin, "--close-after", "1"},
                                 dir + "/client.err"));
        ASSERT_TRUE(client.wait_for("connected " + target + " TLS_RSA_WITH_AES_128_CCM\n"));
        EXPECT_TRUE(client.wait_for("fingerprint " + pin));
        client.write_line("pinned");
        EXPECT_TRUE(server.wait_for("pinned"));
        EXPECT_EQ(client.wait_exit(), 0);
    }
    {
        std::string wrong = pin;
        wrong[0] = wrong[0] == '0' ? '1' : '0';
        process client;
        ASSERT_TRUE(client.start({dtlspeer(), "-c", target, "--pin", wrong, "-d", "1"}, dir + "/client.err"));
        EXPECT_TRUE(client.wait_for("closed " + target + " 40"));
        EXPECT_EQ(client.wait_exit(), 1);
        EXPECT_NE(client.errors().find("Bad RSA key fingerprint"), std::string::npos);
    }
    {
        process client;
        ASSERT_TRUE(client.start({dtlspeer(), "-c", target, "--pin", pin.substr(0, 16) + "/63", "-d", "0"},
                                 dir + "/client.err"));
        EXPECT_EQ(client.wait_exit(), 1);
        EXPECT_NE(client.errors().find("Too short RSA key fingerprint 63 bits"), std::string::npos);
    }
    EXPECT_NE(server.errors().find("Received DTLS fatal alert Bad Certificate"), std::string::npos);
}

} // namespace
