// Handshake messages: fragmentation to the record size, bounded in-order
// reassembly with overlaps, message_seq order, stateless checks.
#include <gtest/gtest.h>

#include "controller/dtls/dtls_hs.h"
#include "dtls_test_util.h"

namespace {

bytes frag(uint8_t type, uint32_t length, uint16_t seq, uint32_t offset, const bytes &data)
{
    bytes b(12);
    b[0] = type;
    dtls_put_u24(&b[1], length);
    dtls_put_u16(&b[4], seq);
    dtls_put_u24(&b[6], offset);
    dtls_put_u24(&b[9], uint32_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

bytes pattern(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 13 + i / 256);
    return b;
}

class HandshakeMessageTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        sha256_init(&hash_);
        dtls_hs_init(&hs_, &hash_, 1459);
    }
    void TearDown() override { dtls_hs_fini(&hs_); }
    // The verdict on one fragment; a whole message's body goes to *body.
    int recv(const bytes &b, bytes *body = nullptr)
    {
        packet *p = make_packet(pool_.get(), b);
        packet *out = nullptr;
        int r = dtls_hs_recv(&hs_, test_peer(), p, &out);
        packet_release(p);
        if (out) {
            EXPECT_EQ(r, 0);
            if (body)
                *body = packet_bytes(out);
            packet_release(out);
        }
        return r;
    }
    uint32_t pool_used() const { return pool_->info.memUsedObjects; }

    pool_ptr pool_ = make_pool(4096); // room for a 3000-byte message
    sha256_ctx hash_;
    dtls_hs_state hs_;
};

TEST_F(HandshakeMessageTest, ThreeThousandBytesFragmentAndReassemble)
{
    struct {
        const dtls_security_parameters *params;
        std::vector<size_t> parts;
    } cases[] = {{&kNullParams, {1447, 1447, 106}}, {&kCcmParams, {1423, 1423, 154}}};
    for (const auto &c : cases) {
        sha256_ctx send_hash;
        sha256_init(&send_hash);
        dtls_hs_state sender;
        dtls_hs_init(&sender, &send_hash, dtls_hs_fragment_payload(1472, c.params));
        bytes body = pattern(3000);
        packet *m = dtls_make_hs_message(pool_.get(), body.size());
        ASSERT_NE(m, nullptr);
        memcpy(m->data, body.data(), body.size());
        packet_queue flight;
        packet_queue_init(&flight);
        ASSERT_EQ(dtls_hs_send(&sender, test_peer(), m, DTLS_HT_CERTIFICATE, true, &flight), 0);
        packet_release(m);
        ASSERT_EQ(flight.count, c.parts.size());
        size_t i = 0;
        bytes got;
        sha256_init(&hash_);
        dtls_hs_fini(&hs_);
        dtls_hs_init(&hs_, &hash_, 1459);
        while (packet *f = packet_queue_pop(&flight)) {
            EXPECT_EQ(f->length, 12 + c.parts[i]);
            EXPECT_EQ(dtls_meta_get(f, DTLS_META_PENDING_WRITE), 1);
            int r = recv(packet_bytes(f), &got);
            EXPECT_EQ(r, ++i == c.parts.size() ? 0 : -1);
            packet_release(f);
        }
        EXPECT_EQ(got, body);
        // Both hashes cover the unfragmented message.
        uint8_t a[32], b[32];
        sha256_final(&send_hash, a);
        sha256_final(&hash_, b);
        EXPECT_EQ(tohex(a, 32), tohex(b, 32));
        EXPECT_EQ(hs_.recv_seq, 1);
        dtls_hs_fini(&sender);
    }
}

TEST_F(HandshakeMessageTest, HugeDeclaredLengthIsRefusedWithoutAllocation)
{
    uint32_t before = pool_used();
    EXPECT_EQ(recv(frag(11, 0xffffff, 0, 0, pattern(100))), -1);
    EXPECT_EQ(recv(frag(11, DTLS_HS_MAX_MESSAGE + 1, 0, 0, pattern(100))), -1);
    EXPECT_EQ(hs_.reassembly.count, 0u);
    EXPECT_EQ(pool_used(), before);
    // Offset beyond the declared length.
    EXPECT_EQ(recv(frag(11, 100, 0, 90, pattern(20))), -1);
    EXPECT_EQ(hs_.reassembly.count, 0u);
}

TEST_F(HandshakeMessageTest, OverlapsRestartsAndStrayFragments)
{
    bytes body = pattern(400);
    auto part = [&](uint32_t off, uint32_t n, uint16_t seq = 0) {
        return frag(11, 400, seq, off, bytes(body.begin() + off, body.begin() + off + n));
    };
    EXPECT_EQ(recv(part(100, 100)), -1); // nothing to continue
    EXPECT_EQ(recv(part(0, 150)), -1);
    EXPECT_EQ(recv(part(100, 30)), -1);  // ends inside what is queued
    EXPECT_EQ(recv(part(160, 50)), -1);  // leaves a gap
    EXPECT_EQ(recv(part(100, 100)), -1); // overlaps and extends
    EXPECT_EQ(recv(part(0, 120)), -1);   // a first fragment restarts
    EXPECT_EQ(hs_.reassembly.count, 1u);
    EXPECT_EQ(recv(frag(11, 300, 0, 120, pattern(10))), -1); // another length
    bytes got;
    EXPECT_EQ(recv(part(120, 280), &got), 0);
    EXPECT_EQ(got, body);
    EXPECT_EQ(hs_.reassembly.count, 0u);
}

TEST_F(HandshakeMessageTest, FragmentQueueIsBounded)
{
    bytes body = pattern(200);
    EXPECT_EQ(recv(frag(11, 200, 0, 0, bytes(body.begin(), body.begin() + 1))), -1);
    for (uint32_t i = 1; i < DTLS_HS_MAX_FRAGMENTS; i++)
        EXPECT_EQ(recv(frag(11, 200, 0, i, bytes(1, body[i]))), -1);
    uint32_t used = pool_used();
    EXPECT_EQ(recv(frag(11, 200, 0, DTLS_HS_MAX_FRAGMENTS, bytes(1, 0))), -1);
    EXPECT_EQ(hs_.reassembly.count, DTLS_HS_MAX_FRAGMENTS);
    EXPECT_EQ(pool_used(), used);
}

TEST_F(HandshakeMessageTest, MessageSequenceOrder)
{
    // A server answering a ClientHello of message_seq 1 counts from there.
    EXPECT_EQ(recv(frag(1, 4, 1, 0, pattern(4))), 0);
    EXPECT_EQ(hs_.send_seq, 1);
    EXPECT_EQ(hs_.recv_seq, 2);
    EXPECT_EQ(recv(frag(16, 4, 3, 0, pattern(4))), -1); // ahead: dropped, no resend
    // Older: the peer repeats its flight; one resend per interval.
    EXPECT_EQ(recv(frag(1, 4, 1, 0, pattern(4))), -3);
    EXPECT_EQ(recv(frag(1, 4, 1, 0, pattern(4))), -1);
    hs_.resend_msec -= DTLS_HS_RESEND_INTERVAL_MS;
    EXPECT_EQ(recv(frag(1, 4, 1, 0, pattern(4))), -3);
    // Fragments of another message_seq are not held.
    EXPECT_EQ(recv(frag(11, 100, 5, 0, pattern(50))), -1);
    EXPECT_EQ(hs_.reassembly.count, 0u);
    bytes body;
    EXPECT_EQ(recv(frag(16, 4, 2, 0, pattern(4)), &body), 0);
    EXPECT_EQ(body, pattern(4));
}

TEST_F(HandshakeMessageTest, RecordsOfSeveralMessagesAreSplit)
{
    bytes rec = frag(2, 3, 0, 0, pattern(3));
    bytes second = frag(14, 0, 1, 0, {});
    rec.insert(rec.end(), second.begin(), second.end());
    rec.insert(rec.end(), {20, 0, 0});
    packet *p = make_packet(pool_.get(), rec);
    packet_queue q;
    packet_queue_init(&q);
    EXPECT_EQ(dtls_hs_deagg(test_peer(), p, &q), 2u);
    packet_queue_purge(&q);
    packet_release(p);
}

TEST_F(HandshakeMessageTest, StatelessPeek)
{
    auto peek = [&](const bytes &b, uint8_t *type, uint16_t *seq) {
        packet *p = make_packet(pool_.get(), b);
        int r = dtls_hs_peek(test_peer(), p, type, seq);
        packet_release(p);
        return r;
    };
    uint8_t type;
    uint16_t seq;
    EXPECT_EQ(peek(frag(1, 10, 0, 0, pattern(10)), &type, &seq), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(peek(frag(1, 20, 0, 0, pattern(10)), &type, &seq), -1); // fragmented
    bytes two = frag(1, 10, 0, 0, pattern(10));
    two.push_back(0);
    EXPECT_EQ(peek(two, &type, &seq), -1); // aggregated
    EXPECT_EQ(peek(bytes(11, 0), &type, &seq), -1);

    packet *p = make_packet(pool_.get(), pattern(5));
    ASSERT_EQ(dtls_hs_stateless_reply(test_peer(), p, DTLS_HT_HELLO_VERIFY_REQUEST, 7), 0);
    EXPECT_EQ(packet_bytes(p), frag(3, 5, 7, 0, pattern(5)));
    packet_release(p);
}

} // namespace
