// The packet stash and the tunnel parser.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/packet.h"
#include "gateway/ugwd_stash.h"

namespace {

// IPv4 / UDP / VXLAN / Ethernet with the inner source MAC given.
std::vector<uint8_t> vxlan(uint8_t mac_last, bool iflag = true, uint16_t frag = 0)
{
    std::vector<uint8_t> b(20 + 8 + 8 + 14, 0);
    b[0] = 0x45;
    b[6] = static_cast<uint8_t>(frag >> 8);
    b[7] = static_cast<uint8_t>(frag);
    b[9] = 17;
    b[12] = 10, b[15] = 1;
    b[28] = iflag ? 0x08 : 0;
    b[32] = 0, b[33] = 0x12, b[34] = 0x34;
    b[36 + 6 + 5] = mac_last;
    return b;
}

std::vector<uint8_t> gre(uint16_t word)
{
    size_t hdr = word & 0x1000 ? 8 : 4;
    std::vector<uint8_t> b(20 + hdr + 14, 0);
    b[0] = 0x45;
    b[9] = 47;
    b[20] = static_cast<uint8_t>(word >> 8);
    b[21] = static_cast<uint8_t>(word);
    b[22] = 0x65, b[23] = 0x58;
    b[20 + hdr + 6] = 0x02;
    return b;
}

TEST(UgwdStash, ParseCases)
{
    struct c {
        const char *name;
        std::vector<uint8_t> b;
        uint8_t transport;
        int result;
        uint32_t vni;
    } cases[] = {
        {"vxlan", vxlan(1), UGWD_TRANSPORT_VXLAN, 0, 0x1234},
        {"vxlan without I flag", vxlan(1, false), UGWD_TRANSPORT_VXLAN, 0, 0},
        {"more fragments", vxlan(1, true, 0x2000), UGWD_TRANSPORT_VXLAN, -1, 0},
        {"fragment offset", vxlan(1, true, 0x0001), UGWD_TRANSPORT_VXLAN, -1, 0},
        {"transport 0", vxlan(1), 0, -1, 0},
        {"transport 5", vxlan(1), 5, -1, 0},
        {"gre", gre(0), UGWD_TRANSPORT_GRE, 0, 0xffffffff},
        {"gre with sequence: 8 bytes", gre(0x1000), UGWD_TRANSPORT_GRE, 0, 0xffffffff},
        {"gre with key", gre(0x2000), UGWD_TRANSPORT_GRE, -1, 0},
        {"gre with checksum", gre(0x8000), UGWD_TRANSPORT_GRE, -1, 0},
        {"gre version 1", gre(0x0001), UGWD_TRANSPORT_GRE, -1, 0},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.name);
        uint32_t vni = 7;
        uint8_t mac[6];
        ASSERT_EQ(ugwd_stash_parse_bytes(k.b, k.transport, nullptr, mac, &vni), k.result);
        if (k.result == 0) {
            EXPECT_EQ(vni, k.vni);
        }
        // Every shorter packet is refused, none is read past its end.
        for (size_t n = 0; n < k.b.size(); n++)
            EXPECT_EQ(ugwd_stash_parse_bytes({k.b.data(), n}, k.transport, nullptr, nullptr, nullptr), -1);
    }
}

// A flood of unknown tunnel traffic leaves the pool able to serve the
// controller link; retrieval gives the packets back in arrival order.
TEST(UgwdStash, FloodLeavesPoolAndKeepsOrder)
{
    packet_pool_config cfg = {2048, 80, 16, 256, 0, 0};
    mempool *pool = packet_pool_create(&cfg);
    ugwd_stash *s = ugwd_stash_create(64);
    for (int i = 0; i < 2000; i++) {
        auto b = vxlan(static_cast<uint8_t>(i % 3));
        b.back() = static_cast<uint8_t>(i); // sequence in the inner frame's last byte
        packet *p = packet_from_bytes(pool, b.data(), b.size());
        ASSERT_TRUE(p);
        ASSERT_EQ(ugwd_stash_save(s, p, UGWD_TRANSPORT_VXLAN, 1, 2), 0);
        packet_release(p);
    }
    EXPECT_LE(s->count, 64u);
    std::vector<packet *> held;
    for (int i = 0; i < 192; i++) {
        packet *p = packet_alloc(pool, 100);
        ASSERT_TRUE(p) << "pool starved after " << i;
        held.push_back(p);
    }
    for (packet *p : held)
        packet_release(p);
    flow_id fid;
    auto b = vxlan(0);
    ASSERT_EQ(ugwd_stash_parse_bytes(b, UGWD_TRANSPORT_VXLAN, &fid, nullptr, nullptr), 0);
    packet_queue q;
    uint8_t proc;
    uint16_t sock;
    uint32_t n = ugwd_stash_retrieve_packets(s, &fid, &q, &proc, &sock);
    EXPECT_GT(n, 0u);
    EXPECT_EQ(proc, 1);
    EXPECT_EQ(sock, 2);
    int last = -1;
    while (packet *p = packet_queue_pop(&q)) {
        uint8_t seq;
        packet_access(p, p->length - 1u, 1, &seq, PACKET_ACCESS_READ);
        EXPECT_GT(static_cast<int>(seq), last);
        last = seq;
        packet_release(p);
    }
    ugwd_stash_destroy(s);
    mempool_unref(pool);
}

} // namespace
