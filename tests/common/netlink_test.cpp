#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <unistd.h>

#include "common/netlink.h"

namespace {

// A network namespace of the test's own; the test thread enters it and leaves
// it at the end, so sockets opened meanwhile live in it.
class NetnsTest : public testing::Test {
  protected:
    std::string ns;
    int home = -1;

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to make a network namespace";
        ns = "ugwtest" + std::to_string(getpid());
        if (system(("ip netns add " + ns + " 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "network namespaces are not permitted here";
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(setns(fd, CLONE_NEWNET), 0) << strerror(errno);
        close(fd);
        ip("link set lo up");
    }
    void TearDown() override
    {
        if (home >= 0) {
            setns(home, CLONE_NEWNET);
            close(home);
        }
        if (!ns.empty())
            system(("ip netns del " + ns + " 2>/dev/null").c_str());
    }
    void ip(const std::string &args)
    {
        ASSERT_EQ(system(("ip -n " + ns + " " + args).c_str()), 0) << args;
    }
    void sysctl(const std::string &key, const std::string &value)
    {
        ASSERT_EQ(system(("ip netns exec " + ns + " sysctl -qw " + key + "=" + value).c_str()), 0);
    }

    // Reads events until one matches, with a bound.
    static bool wait_event(int fd, const std::function<bool(const netlink_event &)> &match)
    {
        Ary events;
        array_init(&events, sizeof(netlink_event));
        bool found = false;
        for (int rounds = 0; rounds < 100 && !found; rounds++) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1)
                break;
            while (!found && netlink_read_events(fd, &events) >= 0)
                for (uint32_t i = 0; i < array_length(&events); i++)
                    if (match(*array_at<netlink_event>(&events, i)))
                        found = true;
        }
        array_purge(&events);
        return found;
    }
};

in_addr v4(const char *s)
{
    in_addr a;
    inet_pton(AF_INET, s, &a);
    return a;
}

} // namespace

TEST_F(NetnsTest, LinkAndAddressEvents)
{
    int fd = netlink_open(NETLINK_GROUPS_LINK_ADDR);
    ASSERT_GE(fd, 0);
    ip("link add va numrxqueues 3 type veth peer name vb");
    EXPECT_TRUE(wait_event(fd, [](const netlink_event &e) {
        return e.type == RTM_NEWLINK && std::string(e.name) == "va";
    }));
    uint32_t va = if_nametoindex("va");
    ASSERT_NE(va, 0u);
    ip("link set va address 02:11:22:33:44:55");
    ip("link set va up");
    EXPECT_TRUE(wait_event(fd, [va](const netlink_event &e) {
        return e.type == RTM_NEWLINK && e.ifindex == va && (e.flags & IFF_UP);
    }));
    ip("addr add 192.0.2.7/24 dev va");
    in_addr want = v4("192.0.2.7");
    EXPECT_TRUE(wait_event(fd, [&](const netlink_event &e) {
        return e.type == RTM_NEWADDR && e.ifindex == va && e.family == AF_INET &&
               memcmp(e.addr, &want, 4) == 0 && std::string(e.name) == "va";
    }));
    ip("link set va down");
    EXPECT_TRUE(wait_event(fd, [va](const netlink_event &e) {
        return e.type == RTM_NEWLINK && e.ifindex == va && !(e.flags & IFF_UP);
    }));

    EXPECT_EQ(netif_get_rx_queues(va), 3);
    uint8_t mac[6];
    ASSERT_EQ(netif_get_hwaddr(va, mac), 0);
    EXPECT_EQ(memcmp(mac, "\x02\x11\x22\x33\x44\x55", 6), 0);

    ip("link del va");
    EXPECT_TRUE(wait_event(fd, [va](const netlink_event &e) {
        return e.type == RTM_DELLINK && e.ifindex == va;
    }));
    EXPECT_EQ(netif_get_rx_queues(va), -1);
    close(fd);
}

TEST_F(NetnsTest, BestIpv4AddressPrefersGlobalWhateverTheOrder)
{
    ip("link add va type veth peer name vb");
    uint32_t va = if_nametoindex("va");
    uint8_t a[4];
    errno = 0;
    EXPECT_EQ(netif_get_addrs4(va, a), -1);
    EXPECT_EQ(errno, ENOENT);
    ip("addr add 10.1.1.1/24 dev va");
    ip("addr add 127.3.0.1/8 dev va");
    ip("addr add 198.51.100.1/24 dev va");
    ip("addr add 172.20.0.1/16 dev va");
    ASSERT_EQ(netif_get_addrs4(va, a), 0);
    in_addr g = v4("198.51.100.1");
    EXPECT_EQ(memcmp(a, &g, 4), 0);
    ip("addr del 198.51.100.1/24 dev va");
    ASSERT_EQ(netif_get_addrs4(va, a), 0);
    in_addr p = v4("10.1.1.1");
    EXPECT_EQ(memcmp(a, &p, 4), 0);
}

TEST_F(NetnsTest, TentativeAndDadFailedIpv6Addresses)
{
    ip("link add va type veth peer name vb");
    ip("link set va addrgenmode none");
    ip("link set vb addrgenmode none");
    sysctl("net.ipv6.conf.va.dad_transmits", "1");
    sysctl("net.ipv6.neigh.va.retrans_time_ms", "200");
    ip("link set va up");
    ip("link set vb up");
    uint32_t va = if_nametoindex("va");
    uint8_t a[16], want[16];
    inet_pton(AF_INET6, "2001:db8::1", want);

    int fd = netlink_open(NETLINK_GROUPS_LINK_ADDR);
    ip("addr add 2001:db8::1/64 dev va");
    errno = 0;
    EXPECT_EQ(netif_get_addrs6(va, a), -1);
    EXPECT_EQ(errno, EAGAIN);
    // DAD done: the address is announced again without the tentative flag.
    EXPECT_TRUE(wait_event(fd, [&](const netlink_event &e) {
        return e.type == RTM_NEWADDR && e.ifindex == va && !(e.flags & IFA_F_TENTATIVE) &&
               memcmp(e.addr, want, 16) == 0;
    }));
    ASSERT_EQ(netif_get_addrs6(va, a), 0);
    EXPECT_EQ(memcmp(a, want, 16), 0);

    // The peer already holds this one, so DAD fails and the address is never chosen.
    ip("addr add 2001:db8::2/64 dev vb nodad");
    ip("addr add 2001:db8::2/64 dev va");
    uint8_t dup[16];
    inet_pton(AF_INET6, "2001:db8::2", dup);
    EXPECT_TRUE(wait_event(fd, [&](const netlink_event &e) {
        return e.ifindex == va && (e.flags & IFA_F_DADFAILED) && memcmp(e.addr, dup, 16) == 0;
    }));
    ip("addr del 2001:db8::1/64 dev va");
    errno = 0;
    EXPECT_EQ(netif_get_addrs6(va, a), -1);
    EXPECT_EQ(errno, ENOENT);
    close(fd);
}

TEST_F(NetnsTest, OverflowedEventSocketResyncsWithAFullDump)
{
    int fd = netlink_open(NETLINK_GROUPS_LINK_ADDR);
    int small = 1024;
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &small, sizeof(small)), 0);
    ip("link add va type veth peer name vb");
    for (int i = 1; i <= 40; i++)
        ip("addr add 10.9." + std::to_string(i) + ".1/24 dev va");
    bool resynced = false, saw_last = false;
    in_addr last = v4("10.9.40.1");
    wait_event(fd, [&](const netlink_event &e) {
        if (e.type == NETLINK_EVENT_RESYNC)
            resynced = true;
        if (resynced && e.type == RTM_NEWADDR && memcmp(e.addr, &last, 4) == 0)
            saw_last = true;
        return saw_last;
    });
    EXPECT_TRUE(resynced);
    EXPECT_TRUE(saw_last);
    close(fd);
}

TEST(Netlink, ParserStopsAtMalformedMessages)
{
    Ary events;
    array_init(&events, sizeof(netlink_event));
    struct {
        nlmsghdr h;
        ifinfomsg ifi;
        rtattr name;
        char text[4];
    } msg = {};
    msg.h.nlmsg_len = sizeof(msg);
    msg.h.nlmsg_type = RTM_NEWLINK;
    msg.ifi.ifi_index = 9;
    msg.name.rta_len = sizeof(rtattr) + 4;
    msg.name.rta_type = IFLA_IFNAME;
    memcpy(msg.text, "eth9", 4); // no NUL: the name is still bounded
    uint8_t buf[2 * sizeof(msg)];
    memcpy(buf, &msg, sizeof(msg));
    memcpy(buf + sizeof(msg), &msg, sizeof(msg));
    EXPECT_EQ(netlink_parse_events(buf, sizeof(buf), &events), 2);
    ASSERT_EQ(array_length(&events), 2u);
    EXPECT_STREQ(array_at<netlink_event>(&events, 0)->name, "eth9");
    EXPECT_EQ(array_at<netlink_event>(&events, 1)->ifindex, 9u);

    array_truncate(&events, 0);
    msg.h.nlmsg_len = sizeof(msg) + 1; // claims more than the datagram holds
    EXPECT_EQ(netlink_parse_events(reinterpret_cast<uint8_t *>(&msg), sizeof(msg), &events), 0);
    msg.h.nlmsg_len = 8; // shorter than its own header
    EXPECT_EQ(netlink_parse_events(reinterpret_cast<uint8_t *>(&msg), sizeof(msg), &events), 0);
    msg.h.nlmsg_len = sizeof(nlmsghdr) + 4; // body too short for ifinfomsg: walked, not recorded
    EXPECT_EQ(netlink_parse_events(reinterpret_cast<uint8_t *>(&msg), sizeof(nlmsghdr) + 4, &events), 1);
    EXPECT_EQ(array_length(&events), 0u);
    array_purge(&events);
}
