#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/checksum.h"

namespace {

using bytes = std::vector<uint8_t>;

void put16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t complement(uint32_t sum)
{
    return static_cast<uint16_t>(~sum & 0xffff);
}

// Straight from RFC 1071 section 4.1, as the independent model.
uint16_t rfc1071(const uint8_t *addr, size_t count)
{
    uint32_t sum = 0;
    while (count > 1) {
        sum += static_cast<uint32_t>(addr[0] << 8 | addr[1]);
        addr += 2;
        count -= 2;
    }
    if (count > 0)
        sum += static_cast<uint32_t>(addr[0] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return complement(sum);
}

enum proto : uint8_t { ICMP = 1, TCP = 6, UDP = 17, ICMPV6 = 58 };

size_t l4_header(proto p)
{
    return p == TCP ? 24 : 8; // TCP with one option word
}

// Offset of the checksum inside the transport header.
size_t csum_offset(proto p)
{
    return p == TCP ? 16 : p == UDP ? 6 : 2;
}

void fill_l4(uint8_t *l4, proto p, size_t len, std::mt19937 &rng)
{
    for (size_t i = 0; i < len; i++)
        l4[i] = static_cast<uint8_t>(rng());
    memset(l4 + csum_offset(p), 0, 2);
    if (p == UDP) {
        put16(l4 + 4, static_cast<uint32_t>(len));
    } else if (p == TCP) {
        l4[12] = 6 << 4; // 24-byte header
        l4[13] = 0x18;   // PSH ACK
        l4[20] = 1, l4[21] = 1, l4[22] = 1, l4[23] = 0; // NOP NOP NOP EOL
    } else {
        l4[0] = p == ICMP ? 8 : 128; // echo request
        l4[1] = 0;
    }
}

bytes ipv4_packet(proto p, size_t payload, std::mt19937 &rng)
{
    size_t l4len = l4_header(p) + payload;
    bytes pkt(20 + l4len);
    uint8_t *ip = pkt.data();
    ip[0] = 0x45;
    put16(ip + 2, static_cast<uint32_t>(pkt.size()));
    put16(ip + 4, rng() & 0xffff);
    ip[8] = 64;
    ip[9] = p;
    for (int i = 12; i < 20; i++)
        ip[i] = static_cast<uint8_t>(rng());
    put16(ip + 10, complement(inet_csum_partial(0, ip, 20)));
    uint8_t *l4 = ip + 20;
    fill_l4(l4, p, l4len, rng);
    uint32_t sum = p == ICMP ? 0 : inet_csum_pseudo4(ip, static_cast<uint16_t>(l4len));
    uint16_t c = complement(inet_csum_partial(sum, l4, l4len));
    if (p == UDP && c == 0)
        c = 0xffff;
    put16(l4 + csum_offset(p), c);
    return pkt;
}

bytes ipv6_packet(proto p, size_t payload, std::mt19937 &rng)
{
    size_t l4len = l4_header(p) + payload;
    bytes pkt(40 + l4len);
    uint8_t *ip6 = pkt.data();
    ip6[0] = 0x60;
    put16(ip6 + 4, static_cast<uint32_t>(l4len));
    ip6[6] = p;
    ip6[7] = 64;
    ip6[8] = 0x20, ip6[9] = 0x01, ip6[10] = 0x0d, ip6[11] = 0xb8;
    for (int i = 12; i < 40; i++)
        ip6[i] = static_cast<uint8_t>(rng());
    ip6[24] = 0x20, ip6[25] = 0x01, ip6[26] = 0x0d, ip6[27] = 0xb8;
    uint8_t *l4 = ip6 + 40;
    fill_l4(l4, p, l4len, rng);
    // Half the time the caller names the next header instead of the header's own.
    uint8_t nh = (rng() & 1) ? p : 0;
    uint32_t sum = inet_csum_pseudo6(ip6, nh, static_cast<uint32_t>(l4len));
    uint16_t c = complement(inet_csum_partial(sum, l4, l4len));
    if (p == UDP && c == 0)
        c = 0xffff;
    put16(l4 + csum_offset(p), c);
    return pkt;
}

// A classic pcap file of raw IP packets.
void write_pcap(const std::string &path, const std::vector<bytes> &pkts)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    const uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 101 /* LINKTYPE_RAW */};
    fwrite(hdr, sizeof(hdr), 1, f);
    uint32_t t = 1;
    for (auto &p : pkts) {
        const uint32_t rec[4] = {t++, 0, static_cast<uint32_t>(p.size()),
                                 static_cast<uint32_t>(p.size())};
        fwrite(rec, sizeof(rec), 1, f);
        fwrite(p.data(), 1, p.size(), f);
    }
    fclose(f);
}

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

} // namespace

TEST(Checksum, Rfc1071Example)
{
    // RFC 1071 section 3: the sum of these words is 0xddf2, the checksum 0x220d.
    const uint8_t data[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(inet_csum_partial(0, data, sizeof(data)), 0xddf2u);
    EXPECT_EQ(complement(inet_csum_partial(0, data, sizeof(data))), 0x220d);
    const uint8_t odd[] = {0x01, 0x02, 0x03};
    EXPECT_EQ(inet_csum_partial(0, odd, 3), 0x0402u);
    EXPECT_EQ(inet_csum_partial(0xffffffff, odd, 0), 0xffffu);
}

TEST(Checksum, MatchesRfc1071ModelInPieces)
{
    std::mt19937 rng(1071);
    for (int round = 0; round < 2000; round++) {
        bytes b(rng() % 3000);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        uint16_t want = rfc1071(b.data(), b.size());
        ASSERT_EQ(complement(inet_csum_partial(0, b.data(), b.size())), want);
        // Summing in even-sized pieces gives the same result.
        size_t cut = (rng() % (b.size() + 1)) & ~static_cast<size_t>(1);
        uint32_t s = inet_csum_partial(0, b.data(), cut);
        s = inet_csum_partial(s, b.data() + cut, b.size() - cut);
        ASSERT_EQ(complement(s), want);
    }
}

TEST(Checksum, TsharkValidatesOurPackets)
{
    if (system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    std::mt19937 rng(4242);
    std::vector<bytes> pkts;
    const proto v4[] = {UDP, TCP, ICMP}, v6[] = {UDP, TCP, ICMPV6};
    const size_t sizes[] = {0, 1, 7, 33, 512, 1401};
    for (size_t s : sizes) {
        for (proto p : v4)
            pkts.push_back(ipv4_packet(p, s, rng));
        for (proto p : v6)
            pkts.push_back(ipv6_packet(p, s, rng));
    }
    // The same packets with one payload bit flipped must fail the check.
    size_t good = pkts.size();
    for (size_t i = 0; i < good; i++) {
        bytes b = pkts[i];
        b.at(b.size() - 1) ^= 0x01;
        pkts.push_back(b);
    }
    char dir[] = "/tmp/ugw-csum-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string pcap = std::string(dir) + "/csum.pcap";
    write_pcap(pcap, pkts);
    std::string out = run("tshark -n -r " + pcap +
                          " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE"
                          " -o tcp.check_checksum:TRUE -T fields -E separator=, "
                          "-e ip.checksum.status -e udp.checksum.status -e tcp.checksum.status"
                          " -e icmp.checksum.status -e icmpv6.checksum.status 2>/dev/null");
    unlink(pcap.c_str());
    rmdir(dir);

    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t nl = out.find('\n', start);
        if (nl == std::string::npos)
            nl = out.size();
        lines.push_back(out.substr(start, nl - start));
        start = nl + 1;
    }
    ASSERT_EQ(lines.size(), pkts.size()) << out;
    // Status 1 is "Good", 0 "Bad"; every line names the transport's status last.
    for (size_t i = 0; i < lines.size(); i++) {
        std::string &l = lines[i];
        std::string last;
        size_t pos = 0;
        while (pos <= l.size()) {
            size_t comma = l.find(',', pos);
            if (comma == std::string::npos)
                comma = l.size();
            if (comma > pos)
                last = l.substr(pos, comma - pos);
            pos = comma + 1;
        }
        if (i < good) {
            EXPECT_EQ(l.find('0'), std::string::npos) << "packet " << i << ": " << l;
            EXPECT_EQ(last, "1") << "packet " << i << ": " << l;
        } else {
            EXPECT_EQ(last, "0") << "packet " << i << ": " << l;
        }
    }
}
