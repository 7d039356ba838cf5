#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/checksum.h"
#include "common/ndopt.h"
#include "common/sockaddr.h"
#include "common/strings.h"

namespace {

sockaddr_storage make_addr(const char *ip, uint16_t port)
{
    sockaddr_storage ss{};
    if (strchr(ip, ':')) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET6, ip, &in6->sin6_addr), 1);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET, ip, &in->sin_addr), 1);
    }
    return ss;
}

const sockaddr *sa(const sockaddr_storage &ss)
{
    return reinterpret_cast<const sockaddr *>(&ss);
}

std::string fmt(const char *ip, uint16_t port, unsigned flags)
{
    auto ss = make_addr(ip, port);
    char buf[SOCKADDR_FMT_SIZE];
    return sockaddr_format(sa(ss), buf, sizeof(buf), flags);
}

} // namespace

TEST(Sockaddr, Format)
{
    EXPECT_EQ(fmt("192.0.2.1", 53, 0), "192.0.2.1:53");
    EXPECT_EQ(fmt("192.0.2.1", 53, SOCKADDR_FMT_PAD_PORT), "192.0.2.1:53   ");
    EXPECT_EQ(fmt("192.0.2.1", 53, SOCKADDR_FMT_NO_PORT), "192.0.2.1");
    EXPECT_EQ(fmt("2001:db8::1", 53, 0), "[2001:db8::1]:53");
    EXPECT_EQ(fmt("2001:db8::1", 53, SOCKADDR_FMT_PAD_PORT), "[2001:db8::1]:53   ");
    EXPECT_EQ(fmt("2001:db8::1", 53, SOCKADDR_FMT_NO_PORT), "2001:db8::1");
    // The longest address with the widest port still fits the advertised size.
    EXPECT_EQ(fmt("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 65535, 0),
              "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff]:65535");

    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    char buf[8] = "junk";
    EXPECT_STREQ(sockaddr_format(reinterpret_cast<sockaddr *>(&un), buf, sizeof(buf), 0), "");
    EXPECT_STREQ(buf, "");
}

TEST(Sockaddr, CompareOrdersByPortThenAddressWithPortZeroAsWildcard)
{
    auto a = make_addr("10.0.0.1", 53), b = make_addr("10.0.0.2", 53);
    EXPECT_NE(sockaddr_compare(sa(a), sa(b)), 0);
    EXPECT_LT(sockaddr_compare(sa(a), sa(b)), 0);
    auto c = make_addr("10.0.0.1", 54);
    EXPECT_LT(sockaddr_compare(sa(a), sa(c)), 0);
    auto any = make_addr("10.0.0.1", 0);
    EXPECT_EQ(sockaddr_compare(sa(a), sa(any)), 0);
    EXPECT_EQ(sockaddr_compare(sa(any), sa(c)), 0);
    auto six = make_addr("::1", 53), six2 = make_addr("::2", 53);
    EXPECT_GT(sockaddr_compare(sa(six), sa(a)), 0);
    EXPECT_LT(sockaddr_compare(sa(six), sa(six2)), 0);
    EXPECT_EQ(sockaddr_compare(sa(six), sa(six)), 0);
}

TEST(Sockaddr, V4MappedRoundTrip)
{
    auto a = make_addr("192.0.2.7", 1812);
    sockaddr_in6 m;
    const sockaddr *mapped = sockaddr_to_v4mapped(sa(a), &m);
    ASSERT_EQ(mapped, reinterpret_cast<sockaddr *>(&m));
    char buf[SOCKADDR_FMT_SIZE];
    EXPECT_STREQ(sockaddr_format(mapped, buf, sizeof(buf), 0), "[::ffff:192.0.2.7]:1812");
    sockaddr_in back;
    const sockaddr *v4 = sockaddr_from_v4mapped(mapped, &back);
    ASSERT_EQ(v4, reinterpret_cast<sockaddr *>(&back));
    EXPECT_EQ(sockaddr_compare(v4, sa(a)), 0);
    auto six = make_addr("2001:db8::1", 1);
    EXPECT_EQ(sockaddr_from_v4mapped(sa(six), &back), sa(six));
    EXPECT_EQ(sockaddr_to_v4mapped(sa(six), &m), sa(six));
    EXPECT_EQ(sockaddr_len(sa(a)), sizeof(sockaddr_in));
    EXPECT_EQ(sockaddr_len(sa(six)), sizeof(sockaddr_in6));
}

// Each family's length is its kernel structure's, as a 32-bit build counts it.
TEST(Sockaddr, LengthByFamily)
{
    struct {
        sa_family_t family;
        socklen_t len;
    } cases[] = {
        {AF_UNIX, 110}, {AF_INET6, 28}, {AF_NETLINK, 12}, {AF_PACKET, 20},
        {AF_INET, 16},  {AF_UNSPEC, 16}, {AF_BLUETOOTH, 16},
    };
    for (auto &c : cases) {
        sockaddr_storage ss = {};
        ss.ss_family = c.family;
        EXPECT_EQ(sockaddr_len(reinterpret_cast<sockaddr *>(&ss)), c.len) << c.family;
    }
}

TEST(Sockaddr, PrefixParsersAndPrefixLength)
{
    in_addr a4;
    in6_addr a6;
    EXPECT_EQ(inet_parse4_prefix("192.0.2.1:80", &a4), 9);
    EXPECT_EQ(inet_parse4_prefix("192.0.2.1.5", &a4), -1);
    EXPECT_EQ(inet_parse4_prefix("1111111111111111", &a4), -1); // run longer than 15
    EXPECT_EQ(inet_parse4_prefix("x", &a4), -1);
    EXPECT_EQ(inet_parse6_prefix("2001:db8::1]/x", &a6), 11);
    EXPECT_EQ(inet_parse6_prefix("::ffff:192.0.2.1/", &a6), 16);
    EXPECT_EQ(inet_parse6_prefix(std::string(46, 'a').c_str(), &a6), -1);

    auto m4 = make_addr("255.255.240.0", 0), m6 = make_addr("ffff:ffff:ffff:ff80::", 0);
    EXPECT_EQ(inet_prefix_len(sa(m4)), 20);
    EXPECT_EQ(inet_prefix_len(sa(m6)), 57);
}

TEST(Mac, Parse)
{
    struct {
        const char *text;
        int result;
    } cases[] = {
        {"001122334455", 0},      {"00:11:22:33:44:55", 0}, {"00-11-22-33-44-55", 0},
        {"00:11:22:33:44:55:66", 0}, {"AA:bb:CC:dd:EE:ff", 0}, {"00:11:22:33:44", -1},
        {"00:11:22:33:44:5", -1}, {"0g:11:22:33:44:55", -1}, {"", -1},
        {"0", -1},                {"00::11:22:33:44:55", -1}, {"00:11:22:33:44:", -1},
    };
    for (auto &c : cases) {
        uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(mac_parse(mac, c.text), c.result) << c.text;
        if (c.result == 0 && strncasecmp(c.text, "aa", 2) != 0) {
            const uint8_t want[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
            EXPECT_EQ(memcmp(mac, want, 6), 0) << c.text;
        }
        if (c.result < 0) {
            const uint8_t zero[6] = {};
            EXPECT_EQ(memcmp(mac, zero, 6), 0) << c.text; // zeroed first
        }
    }
    // A separator is never taken from past the end of the text.
    std::string exact = "00:11:22:33:44:55";
    uint8_t mac[6];
    EXPECT_EQ(mac_parse(mac, std::string_view(exact.data(), 11)), -1);
    EXPECT_EQ(mac_parse(mac, std::string_view("00:11:22:33:44:55\0" "66", 20)), 0);
    std::string_view nul_sep("00\0" "11:22:33:44:55", 17);
    EXPECT_EQ(mac_parse(mac, nul_sep), -1);
}

TEST(UnixSocket, LengthAndExistence)
{
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    strcpy(un.sun_path, "/run/x");
    EXPECT_EQ(sockaddr_un_len(&un), offsetof(sockaddr_un, sun_path) + 6);
    sockaddr_un ab{};
    ab.sun_family = AF_UNIX;
    memcpy(ab.sun_path, "\0abc", 4);
    EXPECT_EQ(sockaddr_un_len(&ab), offsetof(sockaddr_un, sun_path) + 4);

    // A real bound socket with a blank in its path, and an abstract one.
    char dir[] = "/tmp/ugw-unix-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    sockaddr_un path{};
    path.sun_family = AF_UNIX;
    snprintf(path.sun_path, sizeof(path.sun_path), "%s/a sock", dir);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(unix_socket_exists(&path), 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&path), sizeof(path)), 0);
    EXPECT_EQ(unix_socket_exists(&path), 1);
    sockaddr_un prefix = path;
    prefix.sun_path[strlen(prefix.sun_path) - 1] = '\0';
    EXPECT_EQ(unix_socket_exists(&prefix), 0);

    sockaddr_un abs{};
    abs.sun_family = AF_UNIX;
    snprintf(abs.sun_path + 1, sizeof(abs.sun_path) - 1, "ugw-test-%d", getpid());
    int afd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(afd, 0);
    EXPECT_EQ(unix_socket_exists(&abs), 0);
    ASSERT_EQ(bind(afd, reinterpret_cast<sockaddr *>(&abs), sockaddr_un_len(&abs)), 0);
    EXPECT_EQ(unix_socket_exists(&abs), 1);
    // The same name as a path is another socket.
    sockaddr_un as_path{};
    as_path.sun_family = AF_UNIX;
    strcpy(as_path.sun_path, abs.sun_path + 1);
    EXPECT_EQ(unix_socket_exists(&as_path), 0);
    close(afd);
    close(fd);
    unlink(path.sun_path);
    rmdir(dir);
}

TEST(Url, Parse)
{
    struct {
        const char *url;
        int result;
        const char *host;
        uint16_t port;
    } cases[] = {
        {"http://192.0.2.1/", 9, "192.0.2.1", 80},
        {"http://192.0.2.1:65535/", 9, "192.0.2.1", 65535},
        {"http://192.0.2.1:0/", 9, "192.0.2.1", 0},
        {"http://192.0.2.1:8080", 9, "192.0.2.1", 8080},
        {"https://portal.example/login?x=1", 14, "portal.example", 443},
        {"https://portal.example:8443/", 14, "portal.example", 8443},
        {"http://[2001:db8::1]:81/x", 11, "2001:db8::1", 81},
        {"https://[2001:db8::1]/", 11, "2001:db8::1", 443},
        {"http://2001:db8::1/", 11, "2001:db8::1", 80},
        {"http://cafe.example", 12, "cafe.example", 80},
        {"http://abc:99/", 3, "abc", 99},
        {"ftp://host/", -1, nullptr, 0},
        {"http://", -1, nullptr, 0},
        {"http:///path", -1, nullptr, 0},
        {"http://[name]/", -1, nullptr, 0},
        // A port that does not fit is refused, not replaced by the scheme's.
        {"http://192.0.2.1:65536/", -1, nullptr, 0},
        {"https://portal.example:99999/", -1, nullptr, 0},
        {"https://[2001:db8::1]:70000/", -1, nullptr, 0},
        {"http://abc:99999999999999999999999/", -1, nullptr, 0},
        {"http://a-host-name-too-long-for-the-buffer.example/", -1, nullptr, 0},
    };
    for (auto &c : cases) {
        char host[32] = "unchanged";
        uint16_t port = 1;
        EXPECT_EQ(url_parse(c.url, host, sizeof(host), &port), c.result) << c.url;
        if (c.result >= 0) {
            EXPECT_STREQ(host, c.host) << c.url;
            EXPECT_EQ(port, c.port) << c.url;
        } else {
            EXPECT_EQ(port, 1) << c.url; // a refused URL leaves no port behind
        }
    }
}

TEST(Ndopt, FindAddRemove)
{
    uint8_t buf[64] = {};
    uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
    uint8_t *o1 = ndopt_add(buf, sizeof(buf), 1, data, 6);
    ASSERT_EQ(o1, buf);
    EXPECT_EQ(buf[1], 1); // 8 bytes
    uint8_t *o2 = ndopt_add(buf + 8, sizeof(buf) - 8, 25, data, 7);
    ASSERT_TRUE(o2);
    EXPECT_EQ(o2[1], 2); // 16 bytes, padding zeroed
    EXPECT_EQ(o2[9], 0);
    EXPECT_EQ(o2[15], 0);
    uint8_t *o3 = ndopt_add(buf + 24, sizeof(buf) - 24, 3, nullptr, 14);
    ASSERT_TRUE(o3);
    EXPECT_EQ(o3[1], 2);
    EXPECT_FALSE(ndopt_add(buf, 8, 1, data, 6)); // needs more than the room
    EXPECT_FALSE(ndopt_add(buf, 4096, 1, nullptr, 2046));

    std::span<uint8_t> all(buf, 40);
    auto f = ndopt_find(all, 25);
    ASSERT_EQ(f.data(), o2);
    EXPECT_EQ(f.size(), 32u);
    EXPECT_TRUE(ndopt_find(all, 9).empty());

    size_t len = ndopt_remove(all, o2);
    EXPECT_EQ(len, 24u);
    EXPECT_EQ(buf[8], 3);
    EXPECT_TRUE(ndopt_find(std::span<uint8_t>(buf, len), 25).empty());
    EXPECT_EQ(ndopt_find(std::span<uint8_t>(buf, len), 3).data(), buf + 8);
    // Not an option of the list: nothing moves.
    uint8_t elsewhere[8] = {1, 1};
    EXPECT_EQ(ndopt_remove(std::span<uint8_t>(buf, len), elsewhere), len);

    // The walk stops at a zero length and at an option that overruns.
    uint8_t bad[16] = {1, 1, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(ndopt_find(std::span<uint8_t>(bad, 16), 5).empty());
    uint8_t over[10] = {1, 1, 0, 0, 0, 0, 0, 0, 5, 1};
    EXPECT_TRUE(ndopt_find(std::span<uint8_t>(over, 10), 5).empty());
    EXPECT_TRUE(ndopt_find(std::span<uint8_t>(over, 9), 1).size() == 9);
}

TEST(Strings, BoundedCopies)
{
    char b[6];
    EXPECT_EQ(string_lcpy(b, "abcdefgh", sizeof(b)), 8u);
    EXPECT_STREQ(b, "abcde");
    EXPECT_EQ(string_lcpy(b, "ab", sizeof(b)), 2u);
    EXPECT_EQ(string_lcat(b, "cdefg", sizeof(b)), 7u);
    EXPECT_STREQ(b, "abcde");
    EXPECT_EQ(string_lcpy(b, "xyz", 0), 3u);
    EXPECT_STREQ(string_basename("/var/run/x.sock"), "x.sock");
    EXPECT_STREQ(string_basename("plain"), "plain");
    EXPECT_STREQ(string_basename("dir/"), "");
}

TEST(Strings, SmallNumbersAreTheirDecimalText)
{
    for (unsigned n = 0; n < 256; n++)
        EXPECT_EQ(std::string(string_small_number(static_cast<uint8_t>(n))), std::to_string(n));
}

TEST(Strings, FormatUnits)
{
    struct {
        uint64_t value;
        unsigned flags;
        const char *text;
    } cases[] = {
        {1536, 0, "1.50 Ki"},
        {999, 0, "999 "},
        {999, STRING_UNITS_TIGHT, "999"},
        {999, STRING_UNITS_ALIGN, " 999   "},
        {5, STRING_UNITS_ALIGN | STRING_UNITS_TIGHT, "   5  "},
        {1000, 0, "0.97 Ki"},
        {33554432, STRING_UNITS_TIGHT, "32.0Mi"},
        {12ull << 30, 0, "12.0 Gi"},
        {(12ull << 30) + (1ull << 29), STRING_UNITS_ALIGN, "12.5 Gi"},
        {150ull << 40, 0, "150 Ti"},
        {UINT64_MAX, 0, "15.9 Ei"},
    };
    for (auto &c : cases) {
        char buf[16];
        EXPECT_STREQ(string_format_bytes(c.value, c.flags, buf, sizeof(buf)), c.text) << c.value;
    }
    char small[5];
    EXPECT_STREQ(string_format_bytes(1536, 0, small, sizeof(small)), "1.50");
    static const char *const si[7] = {"", "k", "M", "G", "T", "P", "E"};
    char buf[16];
    EXPECT_STREQ(string_format_units(2500000, 0, buf, sizeof(buf), 1000, si), "2.50 M");
}

TEST(Strings, ParseSize)
{
    struct {
        const char *text;
        uint64_t value;
        size_t used;
        int err;
    } cases[] = {
        {"2k", 2000, 2, 0},
        {"2ki", 2048, 3, 0},
        {"2KI", 2048, 3, 0},
        {"1.5Mi", 1572864, 5, 0},
        {"4096", 4096, 4, 0},
        {"2048B", 2048, 4, 0},
        {"4.75", 4, 4, 0},
        {"0.001k", 1, 6, 0},
        {"0.0001k", 0, 7, 0},
        {"1.5", 1, 3, 0},
        {"3.x", 3, 1, 0},
        {"16E", 16000000000000000000ull, 3, 0},
        {"19e", UINT64_MAX, 3, ERANGE},
        {"15Ei", 15ull << 60, 4, 0},
        {"18446744073709551615", UINT64_MAX, 20, 0},
        {"18446744073709551616", UINT64_MAX, 20, ERANGE},
        {"99999999999999999999999", UINT64_MAX, 23, ERANGE},
        {"k", 0, 0, EINVAL},
        {"-1", 0, 0, EINVAL},
        {"", 0, 0, EINVAL},
    };
    for (auto &c : cases) {
        const char *end = nullptr;
        EXPECT_EQ(string_parse_size(c.text, &end), c.value) << c.text;
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.used) << c.text;
        EXPECT_EQ(errno, c.err) << c.text;
    }
}

TEST(Strings, HexdumpAndPrintable)
{
    const uint8_t bytes[] = {0x00, 0xab, 0x10};
    char buf[16];
    EXPECT_STREQ(string_hexdump(bytes, 3, buf, sizeof(buf)), "00 ab 10 ");
    char small[8];
    EXPECT_STREQ(string_hexdump(bytes, 3, small, sizeof(small)), "00 ab ");
    std::string_view ssid("net\0\x7f\xffok", 8);
    EXPECT_STREQ(string_printable(buf, ssid, sizeof(buf), '.'), "net...ok");
    EXPECT_STREQ(string_printable(small, "abcdefghij", sizeof(small), '.'), "abcdefg");
}
