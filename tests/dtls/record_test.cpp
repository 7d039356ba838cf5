// Records: protection round trips, tampering, the replay window, sequence
// exhaustion, header checks, splitting and joining datagrams.
#include <gtest/gtest.h>

#include "dtls_test_util.h"

namespace {

class RecordTest : public ::testing::TestWithParam<const dtls_security_parameters *> {
  protected:
    void SetUp() override
    {
        keys_ = test_keys(GetParam());
        make_context(&client_, DTLS_CLIENT, 1, GetParam(), &keys_);
        make_context(&server_, DTLS_SERVER, 1, GetParam(), &keys_);
    }
    void TearDown() override
    {
        dtls_rec_free_ciphers(&client_);
        dtls_rec_free_ciphers(&server_);
    }
    // A record from the client, as bytes.
    bytes seal(const bytes &plain, uint8_t type = DTLS_CT_APPLICATION_DATA)
    {
        packet *p = make_packet(pool_.get(), plain);
        EXPECT_EQ(dtls_rec_send(&client_, test_peer(), p, type), 0);
        bytes b = packet_bytes(p);
        packet_release(p);
        return b;
    }
    // The server's verdict on a record, and the plaintext on success.
    int open(const bytes &record, bytes *plain = nullptr)
    {
        packet *p = make_packet(pool_.get(), record);
        int r = dtls_rec_recv(&server_, test_peer(), p);
        if (r == 0 && plain)
            *plain = packet_bytes(p);
        packet_release(p);
        return r;
    }

    pool_ptr pool_ = make_pool();
    dtls_key_block keys_;
    dtls_security_context client_, server_;
};

TEST_P(RecordTest, RoundTripsAndLayout)
{
    size_t mac = GetParam()->mac_length;
    for (size_t n : {0, 1, 15, 16, 17, 100, 1400}) {
        bytes plain(n);
        for (size_t i = 0; i < n; i++)
            plain[i] = uint8_t(i * 7);
        bytes rec = seal(plain);
        ASSERT_EQ(rec.size(), 13 + 8 + n + mac);
        EXPECT_EQ(dtls_get_u16(&rec[11]), 8 + n + mac);
        // The explicit nonce repeats the header's epoch and sequence number.
        EXPECT_EQ(bytes(rec.begin() + 3, rec.begin() + 11), bytes(rec.begin() + 13, rec.begin() + 21));
        bytes got;
        ASSERT_EQ(open(rec, &got), 0);
        EXPECT_EQ(got, plain);
    }
}

TEST_P(RecordTest, AnyFlippedByteFailsAuthentication)
{
    bytes rec = seal(bytes(40, 0x5a));
    for (size_t i = 0; i < rec.size(); i++) {
        if (i >= 3 && i < 13)
            continue; // epoch, sequence and length have their own checks below
        bytes bad = rec;
        bad[i] ^= 0x01;
        int want = (i == 1 || i == 2) ? -1 : -2; // a changed version is refused earlier
        EXPECT_EQ(open(bad), want) << "byte " << i;
    }
    EXPECT_EQ(open(rec), 0);
}

TEST_P(RecordTest, ChangedHeaderSequenceFailsAuthentication)
{
    bytes rec = seal(bytes(20, 1));
    // Replayed under a fresh header sequence with the original explicit nonce.
    bytes moved = rec;
    moved[10] ^= 0x40;
    EXPECT_EQ(open(moved), -2);
    EXPECT_EQ(open(rec), 0);
    EXPECT_EQ(open(rec), -3);
}

TEST_P(RecordTest, TagLengthIsPartOfTheTag)
{
    // The same key and nonce with the other tag length gives another tag.
    const dtls_security_parameters *other = GetParam() == &kCcmParams ? &kCcm8Params : &kCcmParams;
    dtls_security_context c2;
    make_context(&c2, DTLS_CLIENT, 1, other, &keys_);
    packet *a = make_packet(pool_.get(), bytes(10, 3));
    packet *b = make_packet(pool_.get(), bytes(10, 3));
    ASSERT_EQ(dtls_rec_send(&client_, test_peer(), a, 23), 0);
    ASSERT_EQ(dtls_rec_send(&c2, test_peer(), b, 23), 0);
    size_t m = std::min(GetParam()->mac_length, other->mac_length);
    EXPECT_NE(bytes(a->data + a->length - GetParam()->mac_length, a->data + a->length - GetParam()->mac_length + m),
              bytes(b->data + b->length - other->mac_length, b->data + b->length - other->mac_length + m));
    packet_release(a);
    packet_release(b);
    dtls_rec_free_ciphers(&c2);
}

TEST_P(RecordTest, ReplayWindow)
{
    // Records are made ahead, then delivered in the table's order.
    std::vector<bytes> recs;
    for (int i = 0; i <= 200; i++)
        recs.push_back(seal(bytes(4, uint8_t(i))));
    struct step {
        int seq;
        int want;
    } steps[] = {
        {0, 0}, {0, -3}, {5, 0}, {3, 0}, {3, -3}, {100, 0}, {37, 0},
        {37, -3}, {36, -3}, {99, 0}, {100, -3}, {164, 0}, {101, 0}, {101, -3}, {100, -3},
        {200, 0}, {137, 0}, {136, -3}, {199, 0},
    };
    for (const auto &s : steps)
        EXPECT_EQ(open(recs[size_t(s.seq)]), s.want) << "record " << s.seq;
}

TEST_P(RecordTest, SequenceNumbersRunOutWithoutWrapping)
{
    client_.send_seq_hi = 0xffff;
    client_.send_seq_lo = 0xffffffff;
    bytes last = seal(bytes(3, 9));
    EXPECT_EQ(bytes(last.begin() + 5, last.begin() + 11), hex("ffffffffffff"));
    bytes plain;
    ASSERT_EQ(open(last, &plain), 0);
    packet *p = make_packet(pool_.get(), bytes(3, 9));
    EXPECT_EQ(dtls_rec_send(&client_, test_peer(), p, 23), -1);
    EXPECT_EQ(packet_bytes(p), bytes(3, 9)); // left as it was
    packet_release(p);
}

TEST_P(RecordTest, HeaderChecks)
{
    bytes rec = seal(bytes(8, 1));
    bytes e = rec;
    e[4] = 2; // next epoch before the switch
    EXPECT_EQ(open(e), -1);
    bytes v = rec;
    v[1] = 0xff, v[2] = 0x00;
    EXPECT_EQ(open(v), -1);
    bytes shortlen = rec;
    dtls_put_u16(&shortlen[11], uint32_t(rec.size()));
    EXPECT_EQ(open(shortlen), -1);
    EXPECT_EQ(open(bytes(rec.begin(), rec.begin() + 12)), -1);
    bytes tiny = rec;
    dtls_put_u16(&tiny[11], 8 + GetParam()->mac_length - 1);
    tiny.resize(13 + 8 + GetParam()->mac_length - 1);
    EXPECT_EQ(open(tiny), -2);
    EXPECT_EQ(open(rec), 0);
}

INSTANTIATE_TEST_SUITE_P(Tags, RecordTest, ::testing::Values(&kCcmParams, &kCcm8Params),
                         [](const auto &p) { return p.param->mac_length == 16 ? "ccm" : "ccm8"; });

TEST(RecordPlain, VersionBeforeAndAfterNegotiation)
{
    pool_ptr pool = make_pool();
    dtls_security_context c;
    make_context(&c, DTLS_CLIENT, 0, &kNullParams);
    auto rec = [&](uint8_t v0, uint8_t v1, uint8_t seq) {
        bytes b = {22, v0, v1, 0, 0, 0, 0, 0, 0, 0, seq, 0, 2, 0xab, 0xcd};
        packet *p = make_packet(pool.get(), b);
        int r = dtls_rec_recv(&c, test_peer(), p);
        if (r == 0) {
            EXPECT_EQ(packet_bytes(p), hex("abcd"));
            EXPECT_EQ(dtls_meta_get(p, DTLS_META_CONTENT_TYPE), 22);
        }
        packet_release(p);
        return r;
    };
    EXPECT_EQ(rec(0xfe, 0xff, 1), 0);
    EXPECT_EQ(rec(0xff, 0x00, 2), -1);
    // The first accepted sequence number seeds the send counter.
    EXPECT_EQ(c.send_seq_lo, 1u);
    c.version[0] = 0xfe, c.version[1] = 0xfd;
    EXPECT_EQ(rec(0xfe, 0xff, 3), -1);
    EXPECT_EQ(rec(0xfe, 0xfd, 4), 0);
}

TEST(RecordPlain, SplitsDatagramsAndDropsATruncatedTail)
{
    pool_ptr pool = make_pool();
    bytes d = hex("16fefd 0000 000000000000 0003 aabbcc" // 3 bytes
                  "17fefd 0000 000000000001 0001 dd"     // 1 byte
                  "15fefd 0000 000000000002 0005 eeff"); // declares 5, holds 2
    packet *p = make_packet(pool.get(), d);
    packet_queue q;
    packet_queue_init(&q);
    EXPECT_EQ(dtls_gen_deagg(test_peer(), p, &q, dtls_rec_part_length, DTLS_RECORD_SIZE, "record"), 2u);
    packet *a = packet_queue_pop(&q), *b = packet_queue_pop(&q);
    EXPECT_EQ(tohex(packet_bytes(a)), "16fefd00000000000000000003aabbcc");
    EXPECT_EQ(tohex(packet_bytes(b)), "17fefd00000000000000010001dd");
    packet_release(a);
    packet_release(b);
    packet_release(p);

    // A last whole part is the datagram itself, moved to the part's start.
    p = make_packet(pool.get(), bytes(d.begin(), d.begin() + 30));
    EXPECT_EQ(dtls_gen_deagg(test_peer(), p, &q, dtls_rec_part_length, DTLS_RECORD_SIZE, "record"), 2u);
    a = packet_queue_pop(&q);
    b = packet_queue_pop(&q);
    EXPECT_NE(a, p);
    EXPECT_EQ(tohex(packet_bytes(a)), "16fefd00000000000000000003aabbcc");
    EXPECT_EQ(b, p);
    EXPECT_EQ(tohex(packet_bytes(b)), "17fefd00000000000000010001dd");
    packet_release(a);
    packet_release(b);
    packet_release(p);
}

TEST(RecordPlain, JoinsRecordsUpToTheMtu)
{
    pool_ptr pool = make_pool();
    packet_queue q;
    packet_queue_init(&q);
    for (uint8_t i = 0; i < 5; i++)
        packet_queue_append(&q, make_packet(pool.get(), bytes(i == 3 ? 600 : 400, i)));
    // 400 + 400 + 400 fit 1300; 600 + 400 next; then nothing.
    packet *a = dtls_gen_enagg(test_peer(), &q, 1300, "record");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->length, 1200u);
    EXPECT_EQ(a->data[400], 1);
    EXPECT_EQ(a->data[800], 2);
    packet *b = dtls_gen_enagg(test_peer(), &q, 1300, "record");
    EXPECT_EQ(b->length, 1000u);
    EXPECT_EQ(dtls_gen_enagg(test_peer(), &q, 1300, "record"), nullptr);
    packet_release(a);
    packet_release(b);

    // One record longer than the MTU still goes, alone.
    packet_queue_append(&q, make_packet(pool.get(), bytes(1500, 1)));
    packet *c = dtls_gen_enagg(test_peer(), &q, 1300, "record");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->length, 1500u);
    packet_release(c);
}

TEST(RecordPlain, StatelessPeekAndEncap)
{
    pool_ptr pool = make_pool();
    packet *p = make_packet(pool.get(), hex("16feff 0000 00000000002a 0003 010203 16fefd"));
    uint8_t type = 0;
    uint32_t seq = 0;
    ASSERT_EQ(dtls_rec_peek(test_peer(), p, &type, &seq), 0);
    EXPECT_EQ(type, 22);
    EXPECT_EQ(seq, 42u);
    EXPECT_EQ(tohex(packet_bytes(p)), "010203");
    ASSERT_EQ(dtls_rec_stateless_encap(test_peer(), p, 22, 42), 0);
    EXPECT_EQ(tohex(packet_bytes(p)), "16fefd000000000000002a0003010203");
    packet_release(p);
    p = make_packet(pool.get(), hex("16fefd 0001 000000000000 0000"));
    EXPECT_EQ(dtls_rec_peek(test_peer(), p, &type, &seq), -1); // epoch 1
    packet_release(p);
}

TEST(RecordPlain, PayloadMtuCountsTheIpHeader)
{
    sockaddr_in6 six = {};
    six.sin6_family = AF_INET6;
    EXPECT_EQ(dtls_payload_mtu(1500, test_peer()), 1472);
    EXPECT_EQ(dtls_payload_mtu(1500, reinterpret_cast<sockaddr *>(&six)), 1452);
}

} // namespace
