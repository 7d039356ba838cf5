// A real DTLS 1.2 PSK session between OpenSSL's client and server, captured
// on loopback with the client's key log (data/make_capture.sh), decrypted by
// our key schedule, record layer and message layer: the master secret from
// the PSK, both Finished values from our transcript hash, and the text that
// each side sent.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "controller/dtls/dtls_hs.h"
#include "controller/dtls/dtls_util.h"
#include "dtls_test_util.h"

namespace {

struct datagram {
    bool from_client;
    bytes data;
};

bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// UDP payloads of a little-endian pcap of Ethernet frames; the server is
// the destination of the first datagram.
std::vector<datagram> read_pcap(const std::string &path)
{
    bytes f = read_file(path);
    std::vector<datagram> out;
    EXPECT_GE(f.size(), 24u);
    if (f.size() < 24)
        return out;
    auto le32 = [&](size_t o) { return uint32_t(f[o] | f[o + 1] << 8 | f[o + 2] << 16 | f[o + 3] << 24); };
    EXPECT_TRUE(le32(0) == 0xa1b2c3d4 || le32(0) == 0xa1b23c4d);
    EXPECT_EQ(le32(20), 1u); // Ethernet
    int server_port = -1;
    for (size_t o = 24; o + 16 <= f.size();) {
        size_t len = le32(o + 8);
        size_t frame = o + 16;
        o = frame + len;
        if (o > f.size() || len < 14 + 20 + 8 || f[frame + 12] != 0x08 || f[frame + 13] != 0)
            continue;
        size_t ip = frame + 14;
        size_t ihl = (f[ip] & 15) * 4u;
        if (f[ip + 9] != 17)
            continue;
        size_t udp = ip + ihl;
        int dport = f[udp + 2] << 8 | f[udp + 3];
        size_t ulen = size_t(f[udp + 4] << 8 | f[udp + 5]);
        if (server_port < 0)
            server_port = dport;
        out.push_back({dport == server_port, bytes(f.begin() + long(udp + 8), f.begin() + long(udp + ulen))});
    }
    return out;
}

struct capture_case {
    const char *stem;
    const dtls_security_parameters *params;
};

class CaptureTest : public ::testing::TestWithParam<capture_case> {};

TEST_P(CaptureTest, OurKeyScheduleAndRecordsDecryptOpensslSession)
{
    std::string dir = std::string(UGW_SOURCE_DIR) + "/tests/dtls/data/";
    auto datagrams = read_pcap(dir + GetParam().stem + ".pcap");
    ASSERT_GE(datagrams.size(), 6u);
    std::ifstream keylog(dir + GetParam().stem + ".keys");
    std::string line, logged_random, logged_master;
    while (std::getline(keylog, line)) {
        std::istringstream ls(line);
        std::string label;
        ls >> label;
        if (label == "CLIENT_RANDOM")
            ls >> logged_random >> logged_master;
    }
    ASSERT_FALSE(logged_master.empty());

    const dtls_security_parameters *params = GetParam().params;
    pool_ptr pool = make_pool();
    // Per direction: the reader's epoch-0 and epoch-1 contexts and message layer.
    // Index 0 reads what the client wrote, index 1 what the server wrote.
    dtls_security_context epoch0[2], epoch1[2];
    make_context(&epoch0[0], DTLS_SERVER, 0, &kNullParams);
    make_context(&epoch0[1], DTLS_CLIENT, 0, &kNullParams);
    sha256_ctx transcript;
    sha256_init(&transcript);
    dtls_hs_state hs[2];
    dtls_hs_init(&hs[0], &transcript, 1400);
    dtls_hs_init(&hs[1], &transcript, 1400);

    uint8_t client_random[32] = {}, server_random[32] = {}, master[48] = {};
    bool keys_ready = false;
    int finished_ok = 0;
    std::string text[2];

    for (const auto &d : datagrams) {
        int dir_ix = d.from_client ? 0 : 1;
        packet *p = make_packet(pool.get(), d.data);
        ASSERT_NE(p, nullptr);
        packet_queue records;
        packet_queue_init(&records);
        dtls_gen_deagg(test_peer(), p, &records, dtls_rec_part_length, DTLS_RECORD_SIZE, "record");
        packet_release(p);
        while (packet *r = packet_queue_pop(&records)) {
            uint16_t epoch = dtls_get_u16(r->data + 3);
            ASSERT_TRUE(epoch == 0 || (epoch == 1 && keys_ready));
            dtls_security_context *ctx = epoch ? &epoch1[dir_ix] : &epoch0[dir_ix];
            // The Finished verify data covers every message before it.
            uint8_t expect_finished[12];
            if (epoch == 1)
                dtls_make_finished_verify(&transcript, master, !d.from_client, expect_finished);
            ASSERT_EQ(dtls_rec_recv(ctx, test_peer(), r), 0);
            uint8_t type = dtls_meta_get(r, DTLS_META_CONTENT_TYPE);
            if (type == DTLS_CT_APPLICATION_DATA)
                text[dir_ix].append(reinterpret_cast<char *>(r->data), r->length);
            if (type != DTLS_CT_HANDSHAKE) {
                packet_release(r);
                continue;
            }
            packet_queue msgs;
            packet_queue_init(&msgs);
            dtls_hs_deagg(test_peer(), r, &msgs);
            packet_release(r);
            while (packet *m = packet_queue_pop(&msgs)) {
                packet *body = nullptr;
                ASSERT_EQ(dtls_hs_recv(&hs[dir_ix], test_peer(), m, &body), 0);
                packet_release(m);
                uint8_t ht = dtls_meta_get(body, DTLS_META_MSG_TYPE);
                if (ht == DTLS_HT_HELLO_VERIFY_REQUEST) {
                    // The cookie exchange stays out of the transcript.
                    sha256_init(&transcript);
                } else if (ht == DTLS_HT_CLIENT_HELLO) {
                    ASSERT_GE(body->length, 34u);
                    memcpy(client_random, body->data + 2, 32);
                } else if (ht == DTLS_HT_SERVER_HELLO) {
                    ASSERT_GE(body->length, 34u);
                    memcpy(server_random, body->data + 2, 32);
                    // The PSK key exchange, as the engine runs it.
                    uint8_t premaster[DTLS_PSK_PREMASTER_MAX];
                    bytes psk = hex("00112233445566778899aabbccddeeff");
                    size_t n = dtls_psk_premaster(premaster, psk.data(), psk.size());
                    dtls_master_secret(master, premaster, n, client_random, server_random);
                    EXPECT_EQ(tohex(client_random, 32), logged_random);
                    EXPECT_EQ(tohex(master, 48), logged_master);
                    dtls_key_block kb;
                    dtls_derive_keys(&kb, params, master, client_random, server_random);
                    make_context(&epoch1[0], DTLS_SERVER, 1, params, &kb);
                    make_context(&epoch1[1], DTLS_CLIENT, 1, params, &kb);
                    keys_ready = true;
                } else if (ht == DTLS_HT_FINISHED) {
                    EXPECT_EQ(epoch, 1);
                    EXPECT_EQ(dtls_finished_check(expect_finished, body->data, body->length), 0);
                    finished_ok++;
                }
                packet_release(body);
            }
        }
    }
    EXPECT_EQ(finished_ok, 2);
    EXPECT_EQ(text[0], "hello from the client\n");
    EXPECT_EQ(text[1], "hello from the server\n");
    for (int i = 0; i < 2; i++) {
        dtls_hs_fini(&hs[i]);
        dtls_rec_free_ciphers(&epoch1[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Suites, CaptureTest,
                         ::testing::Values(capture_case{"psk_ccm", &kCcmParams},
                                           capture_case{"psk_ccm8", &kCcm8Params}),
                         [](const auto &p) { return std::string(p.param.stem); });

} // namespace
