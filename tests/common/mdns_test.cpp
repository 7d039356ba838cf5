#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/bsearch.h"
#include "common/mdns.h"

namespace {

using bytes = std::vector<uint8_t>;

TEST(Mdns, LocalNames)
{
    for (const char *n : {"printer.local", "printer.local.", "printer.local..", ".local"})
        EXPECT_TRUE(mdns_is_local(n)) << n;
    for (const char *n : {"local", "printer.localhost", "printer.LOCAL", "", "xlocal"})
        EXPECT_FALSE(mdns_is_local(n)) << n;
}

TEST(Mdns, Encode)
{
    uint8_t buf[300];
    EXPECT_EQ(mdns_encode("", buf, sizeof(buf)), 1);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(mdns_encode("..", buf, sizeof(buf)), 1);
    ASSERT_EQ(mdns_encode(".printer.local.", buf, sizeof(buf)), 15);
    EXPECT_EQ(memcmp(buf, "\x07printer\x05local", 15), 0);
    // Too small: the needed size, nothing written.
    buf[0] = 0xee;
    EXPECT_EQ(mdns_encode("printer.local", buf, 5), 15);
    EXPECT_EQ(buf[0], 0xee);
    EXPECT_EQ(mdns_encode(std::string(70, 'a').c_str(), buf, sizeof(buf)), -1);
    EXPECT_EQ(mdns_encode((std::string(63, 'a') + ".local").c_str(), buf, sizeof(buf)), 71);
    EXPECT_EQ(mdns_encode("a..local", buf, sizeof(buf)), -1);
    std::string long_name;
    for (int i = 0; i < 5; i++)
        long_name += std::string(50, 'a') + ".";
    long_name += "local"; // 260 bytes encoded
    EXPECT_EQ(mdns_encode(long_name.c_str(), buf, sizeof(buf)), -1);
}

// A DNS message builder for responses.
struct dns {
    bytes m;
    explicit dns(uint16_t id, uint16_t flags = 0x8400)
    {
        m = {uint8_t(id >> 8), uint8_t(id), uint8_t(flags >> 8), uint8_t(flags), 0, 0, 0, 0, 0,
             0, 0, 0};
    }
    void u16(uint16_t v)
    {
        m.push_back(uint8_t(v >> 8));
        m.push_back(uint8_t(v));
    }
    void name(const char *n)
    {
        uint8_t buf[256];
        int len = mdns_encode(n, buf, sizeof(buf));
        m.insert(m.end(), buf, buf + len);
    }
    void question(const char *n, uint16_t type)
    {
        name(n);
        u16(type);
        u16(1);
        m[5]++;
    }
    void answer_raw(uint16_t type, uint16_t cls, const bytes &rdata, uint32_t ttl = 120)
    {
        u16(type);
        u16(cls);
        u16(uint16_t(ttl >> 16));
        u16(uint16_t(ttl));
        u16(uint16_t(rdata.size()));
        m.insert(m.end(), rdata.begin(), rdata.end());
        m[7]++;
    }
    void answer(const char *n, uint16_t type, uint16_t cls, const bytes &rdata, uint32_t ttl = 120)
    {
        name(n);
        answer_raw(type, cls, rdata, ttl);
    }
};

const bytes v4a = {192, 0, 2, 20};
const bytes v4b = {10, 1, 2, 3};
const bytes v6ll = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};

std::vector<std::string> texts(const Ary *addrs)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; i < array_length(addrs); i++) {
        const mdns_addr *a = array_at<mdns_addr>(addrs, i);
        char buf[INET6_ADDRSTRLEN];
        if (a->sa.sa_family == AF_INET) {
            inet_ntop(AF_INET, &a->sin.sin_addr, buf, sizeof(buf));
            out.push_back(std::string(buf) + ":" + std::to_string(ntohs(a->sin.sin_port)));
        } else {
            inet_ntop(AF_INET6, &a->sin6.sin6_addr, buf, sizeof(buf));
            out.push_back("[" + std::string(buf) + "%" + std::to_string(a->sin6.sin6_scope_id) +
                          "]:" + std::to_string(ntohs(a->sin6.sin6_port)));
        }
    }
    return out;
}

struct addr_array {
    Ary a;
    addr_array() { array_init(&a, sizeof(mdns_addr)); }
    ~addr_array() { array_purge(&a); }
};

TEST(Mdns, ParseLegacyUnicastAnswer)
{
    // The responder repeats our question, sets cache-flush and answers in another case.
    dns r(0x1234);
    r.question("ugwpeer.local", 1);
    r.question("ugwpeer.local", 28);
    r.answer("UGWPeer.Local", 1, 0x8001, v4a);
    r.m.push_back(0xc0); // compressed owner name: the first question's
    r.m.push_back(12);
    r.answer_raw(28, 0x8001, v6ll);
    r.answer("other.local", 1, 1, v4b);          // another name
    r.answer("ugwpeer.local", 1, 3, v4b);        // another class
    r.answer("ugwpeer.local", 1, 1, {1, 2, 3});  // a bad length
    r.answer("ugwpeer.local", 1, 1, v4b, 0);     // withdrawn
    r.answer("ugwpeer.local", 16, 1, {3, 'a', 'b', 'c'});
    addr_array out;
    EXPECT_EQ(mdns_parse_response(r.m.data(), r.m.size(), "ugwpeer.local.", MDNS_IPV4 | MDNS_IPV6,
                                  0x1234, 7, 4242, &out.a),
              2);
    EXPECT_EQ(texts(&out.a), (std::vector<std::string>{"192.0.2.20:4242", "[fe80::5%7]:4242"}));
    // The same addresses arriving on another interface are not listed twice.
    EXPECT_EQ(mdns_parse_response(r.m.data(), r.m.size(), "ugwpeer.local", MDNS_IPV4 | MDNS_IPV6,
                                  0x1234, 8, 4242, &out.a),
              0);
    // Only the wanted family.
    addr_array only4;
    EXPECT_EQ(mdns_parse_response(r.m.data(), r.m.size(), "ugwpeer.local", MDNS_IPV4, 0x1234, 7,
                                  0, &only4.a),
              0); // the repeated AAAA question is not one we asked
    dns r4(0x1234);
    r4.question("ugwpeer.local", 1);
    r4.answer("ugwpeer.local", 28, 1, v6ll);
    r4.answer("ugwpeer.local", 1, 1, v4a);
    EXPECT_EQ(mdns_parse_response(r4.m.data(), r4.m.size(), "ugwpeer.local", MDNS_IPV4, 0x1234, 7,
                                  0, &only4.a),
              1);
}

TEST(Mdns, ParseRefusesWhatIsNotOurAnswer)
{
    auto parse = [](const bytes &m) {
        addr_array out;
        return mdns_parse_response(m.data(), m.size(), "ugwpeer.local", MDNS_IPV4, 0x1234, 1, 0,
                                   &out.a);
    };
    auto answer = [](uint16_t id, uint16_t flags) {
        dns r(id, flags);
        r.answer("ugwpeer.local", 1, 1, v4a);
        return r;
    };
    EXPECT_EQ(parse(answer(0x1234, 0x8400).m), 1);
    EXPECT_EQ(parse(answer(0x1235, 0x8400).m), 0); // another ID
    EXPECT_EQ(parse(answer(0x1234, 0x0000).m), 0); // a query
    EXPECT_EQ(parse(answer(0x1234, 0x8403).m), 0); // NXDOMAIN
    EXPECT_EQ(parse(answer(0x1234, 0xa400).m), 0); // opcode 4
    dns q(0x1234);
    q.question("someone.local", 1);
    q.answer("ugwpeer.local", 1, 1, v4a);
    EXPECT_EQ(parse(q.m), 0); // answers another question

    // Malformed: nothing is taken, not even the good answer before the fault.
    dns t = answer(0x1234, 0x8400);
    t.answer("ugwpeer.local", 1, 1, v4b);
    EXPECT_EQ(parse(bytes(t.m.begin(), t.m.end() - 1)), 0);
    dns loop = answer(0x1234, 0x8400);
    size_t at = loop.m.size();
    loop.m.push_back(0xc0); // a pointer to itself
    loop.m.push_back(uint8_t(at));
    loop.answer_raw(1, 1, v4b);
    EXPECT_EQ(parse(loop.m), 0);
    dns fwd = answer(0x1234, 0x8400);
    fwd.m.push_back(0xc0); // a pointer forwards
    fwd.m.push_back(uint8_t(fwd.m.size() + 1));
    fwd.answer_raw(1, 1, v4b);
    EXPECT_EQ(parse(fwd.m), 0);
    dns label = answer(0x1234, 0x8400);
    label.m.push_back(0x40); // an extended label type
    label.answer_raw(1, 1, v4b);
    EXPECT_EQ(parse(label.m), 0);
    bytes whole = answer(0x1234, 0x8400).m;
    EXPECT_EQ(parse(bytes(whole.begin(), whole.begin() + 11)), 0); // shorter than a header
}

mdns_addr make4(const char *text)
{
    mdns_addr a{};
    a.sin.sin_family = AF_INET;
    inet_pton(AF_INET, text, &a.sin.sin_addr);
    return a;
}

mdns_addr make6(const char *text)
{
    mdns_addr a{};
    a.sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &a.sin6.sin6_addr);
    return a;
}

TEST(Mdns, AddressOrder)
{
    // Best first: by class, IPv4 before IPv6 within a class, then by address.
    std::vector<mdns_addr> want = {
        make4("8.8.8.8"),        make4("192.0.2.1"),     make6("::ffff:192.0.2.1"),
        make6("2001:db8::1"),    make4("10.0.0.1"),      make4("172.16.0.1"),
        make4("192.168.1.1"),    make6("fc00::1"),       make6("ff02::1"),
        make4("169.254.0.1"),    make6("fe80::1"),       make4("0.0.0.0"),
        make4("127.0.0.1"),      make6("::"),            make6("::1"),
    };
    addr_array sorted;
    for (size_t i = want.size(); i-- > 0;) {
        uint32_t n = array_length(&sorted.a);
        ASSERT_EQ(array_reserve(&sorted.a, n + 1), 0);
        ASSERT_NE(binsert(&want[i], array_data(&sorted.a), n, sizeof(mdns_addr), mdns_addr_compare),
                  nullptr);
    }
    addr_array in_order;
    for (const mdns_addr &a : want)
        *array_push<mdns_addr>(&in_order.a) = a;
    EXPECT_EQ(texts(&sorted.a), texts(&in_order.a));
    mdns_result_free(nullptr);
}

// Runs a command; its exit status.
int sh(const std::string &cmd)
{
    return system(cmd.c_str());
}

// A ".local" name announced by python3-zeroconf in a peer network namespace
// over a veth pair; the resolver runs in a thread moved into the other end's
// namespace.
TEST(MdnsPeer, ResolvesNameAnnouncedByZeroconf)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make network namespaces";
    if (sh("/usr/bin/python3 -c 'import zeroconf' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-zeroconf not installed";
    std::string a = "ugwmdns-a-" + std::to_string(getpid());
    std::string b = "ugwmdns-b-" + std::to_string(getpid());
    if (sh("ip netns add " + a + " 2>/dev/null") != 0)
        GTEST_SKIP() << "network namespaces are not permitted here";
    struct cleanup {
        std::string a, b;
        pid_t peer = -1;
        ~cleanup()
        {
            if (peer > 0) {
                kill(peer, SIGTERM);
                waitpid(peer, nullptr, 0);
            }
            sh("ip netns del " + a + " 2>/dev/null");
            sh("ip netns del " + b + " 2>/dev/null");
        }
    } guard{a, b};
    ASSERT_EQ(sh("ip netns add " + b), 0);
    for (const std::string &ns : {a, b})
        ASSERT_EQ(sh("ip netns exec " + ns +
                     " sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0"
                     " && ip -n " + ns + " link set lo up"),
                  0);
    ASSERT_EQ(sh("ip link add va netns " + a + " type veth peer name vb netns " + b), 0);
    ASSERT_EQ(sh("ip -n " + a + " addr add 192.0.2.10/24 dev va && ip -n " + a +
                 " addr add 2001:db8:5::10/64 dev va nodad && ip -n " + a + " link set va up"),
              0);
    ASSERT_EQ(sh("ip -n " + b + " addr add 192.0.2.20/24 dev vb && ip -n " + b +
                 " addr add 2001:db8:5::20/64 dev vb nodad && ip -n " + b + " link set vb up"),
              0);

    // The responder says "ready" once its records are registered.
    static const char peer_py[] = R"(
import signal, socket, sys
from zeroconf import IPVersion, ServiceInfo, Zeroconf
addrs = [socket.inet_pton(socket.AF_INET6 if ":" in a else socket.AF_INET, a) for a in sys.argv[2:]]
zc = Zeroconf(ip_version=IPVersion.All)
info = ServiceInfo("_ugw._udp.local.", "peer._ugw._udp.local.", port=9, addresses=addrs,
                   server=sys.argv[1])
zc.register_service(info, cooperating_responders=True)
print("ready", flush=True)
signal.pause()
)";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    guard.peer = fork();
    ASSERT_GE(guard.peer, 0);
    if (guard.peer == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execlp("ip", "ip", "netns", "exec", b.c_str(), "/usr/bin/python3", "-c", peer_py,
               "UgwPeer.local.", "192.0.2.20", "2001:db8:5::20", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string ready;
    while (ready.find('\n') == std::string::npos) {
        pollfd pfd{out[0], POLLIN, 0};
        char c[16];
        ssize_t n;
        if (poll(&pfd, 1, 20000) != 1 || (n = read(out[0], c, sizeof(c))) <= 0)
            break;
        ready.append(c, static_cast<size_t>(n));
    }
    close(out[0]);
    ASSERT_EQ(ready, "ready\n") << "zeroconf did not start";

    int rc = -1, err = 0;
    mdns_result *result = nullptr;
    std::thread worker([&] {
        int fd = open(("/var/run/netns/" + a).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) < 0) {
            err = errno;
            return;
        }
        close(fd);
        rc = mdns_resolve("ugwpeer.local.", MDNS_IPV4 | MDNS_IPV6, 5246, &result);
        err = errno;
    });
    worker.join();
    ASSERT_EQ(rc, 0) << strerror(err);
    EXPECT_STREQ(result->name, "ugwpeer.local");
    EXPECT_EQ(texts(&result->addrs),
              (std::vector<std::string>{"192.0.2.20:5246", "[2001:db8:5::20%0]:5246"}));
    mdns_result_free(result);

    // A name nobody announces fails after the wait.
    worker = std::thread([&] {
        int fd = open(("/var/run/netns/" + a).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) < 0)
            return;
        close(fd);
        rc = mdns_resolve("nobody.local", MDNS_IPV4, 0, &result);
        err = errno;
    });
    worker.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(result, nullptr);
}

} // namespace
