// A gateway object with two services, a tunnel on each and Ethernet flows,
// for driving the snoop handlers with crafted frames. Frames the daemon sends
// to a station go to a socket the test reads as the data plane; checksums are
// checked against RFC 1071 written out here, and pcaps can be handed to tshark.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "common/umsg.h"
#include "gateway/frlc.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"
#include "gateway/ugwd_stash.h"
#include "tests/gateway/ctl_fixture.h"

namespace snoop_test {

using bytes = std::vector<uint8_t>;

inline bytes ip6(const char *text)
{
    bytes a(16);
    EXPECT_EQ(inet_pton(AF_INET6, text, a.data()), 1) << text;
    return a;
}

inline bytes ip4(const char *text)
{
    bytes a(4);
    EXPECT_EQ(inet_pton(AF_INET, text, a.data()), 1) << text;
    return a;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline void put16(bytes &b, size_t at, unsigned v)
{
    b[at] = static_cast<uint8_t>(v >> 8), b[at + 1] = static_cast<uint8_t>(v);
}

inline unsigned get16(const bytes &b, size_t at)
{
    return unsigned(b[at]) << 8 | b[at + 1];
}

// RFC 1071, written out: the folded one's-complement sum.
inline uint16_t fold(const bytes &b, uint32_t s = 0)
{
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        s += uint32_t(b[i]) << 8 | b[i + 1];
    if (b.size() % 2) s += uint32_t(b.back()) << 8;
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(s);
}

// The ICMPv6 checksum of a message whose checksum field holds what it has.
inline uint16_t icmp6_sum(const bytes &src, const bytes &dst, const bytes &msg)
{
    bytes pseudo = cat({src, dst, {0, 0, uint8_t(msg.size() >> 8), uint8_t(msg.size()), 0, 0, 0, 58}});
    return fold(msg, fold(pseudo));
}

const bytes station_a = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const bytes station_b = {0x02, 0x66, 0x77, 0x88, 0x99, 0xaa};
const bytes station_c = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9a};
const bytes router = {0x02, 0xee, 0xee, 0xee, 0xee, 0x01};
const bytes tunnel_mac = {0x02, 0x00, 0x5e, 0x10, 0x20, 0x30};

// Ethernet, IPv6 and the ICMPv6 message with its checksum made right; ext
// goes between the IPv6 header and the message (its first byte is patched
// with the next header).
inline bytes icmp6_frame(const bytes &dmac, const bytes &smac, const bytes &src, const bytes &dst,
                         uint8_t hops, bytes msg, bytes ext = {})
{
    put16(msg, 2, 0);
    put16(msg, 2, static_cast<uint16_t>(~icmp6_sum(src, dst, msg)));
    uint8_t next = 58;
    if (!ext.empty()) {
        next = ext[0];
        ext[0] = 58;
    }
    size_t plen = ext.size() + msg.size();
    bytes ip = {0x60, 0, 0, 0, uint8_t(plen >> 8), uint8_t(plen), next, hops};
    return cat({dmac, smac, {0x86, 0xdd}, ip, src, dst, ext, msg});
}

inline bytes ns_msg(const bytes &target, bytes opts = {})
{
    return cat({{135, 0, 0, 0, 0, 0, 0, 0}, target, opts});
}

inline bytes na_msg(const bytes &target, const bytes &tlla)
{
    return cat({{136, 0, 0, 0, 0x20, 0, 0, 0}, target, {2, 1}, tlla});
}

inline bytes prefix_opt(const char *prefix, uint8_t len, uint8_t flags, uint32_t valid)
{
    bytes o = {3, 4, len, flags, uint8_t(valid >> 24), uint8_t(valid >> 16), uint8_t(valid >> 8),
               uint8_t(valid), 0, 0, 0x0e, 0x10, 0, 0, 0, 0};
    return cat({o, ip6(prefix)});
}

inline bytes ra_msg(bytes opts)
{
    return cat({{134, 0, 0, 0, 64, 0, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}, opts});
}

// The classic pcap format with Ethernet link type, for tshark.
inline std::string write_pcap(const std::string &path, const std::vector<bytes> &frames)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return {};
    const uint32_t head[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    fwrite(head, sizeof(head), 1, f);
    for (const auto &fr : frames) {
        const uint32_t rec[4] = {0, 0, uint32_t(fr.size()), uint32_t(fr.size())};
        fwrite(rec, sizeof(rec), 1, f);
        fwrite(fr.data(), fr.size(), 1, f);
    }
    fclose(f);
    return path;
}

inline std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

inline bool have_tshark()
{
    return access("/usr/bin/tshark", X_OK) == 0;
}

class Snoop : public ctl_test::Gateway {
protected:
    ugwd_service *svc = nullptr, *other_svc = nullptr;
    ugwd_tunnel *tn = nullptr, *other_tn = nullptr;
    ugwd_flow *fa = nullptr, *fb = nullptr, *fother = nullptr;
    // The test's end of the data plane: frames sent to stations arrive here.
    int dp = -1;
    std::string dp_path;
    ugwd_proc proc = {};
    std::vector<packet *> frames;

    ugwd_service *add_service(uint8_t id, uint8_t mode)
    {
        std::vector<uint8_t> m(2048);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        c.mib.ulmexServiceId[0] = 0x5e;
        c.mib.ulmexServiceId[15] = id;
        c.mib.ulmexServiceVNI = id;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        c.mib.mode = mode;
        c.mib.query_interval = 125;
        c.mib.membership_timeout = 260;
        memcpy(m.data() + 8, &c, sizeof(c));
        size_t len = ctl_msg_size(m.data(), m.size());
        EXPECT_EQ(ugwd_ctl_dispatch(ctl, m.data(), len, m.size(), 1), 1300);
        return ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
    }

    ugwd_tunnel *add_tunnel(ugwd_service *s, uint32_t peer_addr)
    {
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4789);
        peer.sin_addr.s_addr = htonl(peer_addr);
        ugwd_tunnel *t =
            ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
        EXPECT_NE(t, nullptr);
        EXPECT_EQ(ugwd_table_insert_tunnel(ctl->table, t), 0);
        memcpy(s->devs[t->slot].hwaddr, tunnel_mac.data(), 6);
        return t;
    }

    ugwd_flow *bind(ugwd_flow *f)
    {
        if (!f) return nullptr;
        f->proc = &proc;
        f->bound = true;
        f->chain_node = 77;
        return f;
    }

    void SetUp() override
    {
        Gateway::SetUp();
        svc = add_service(1, 0x10);
        other_svc = add_service(2, 0x10);
        ASSERT_TRUE(svc && other_svc);
        tn = add_tunnel(svc, 0x0a000001);
        other_tn = add_tunnel(other_svc, 0x0a000002);
        ASSERT_TRUE(tn && other_tn);

        dp_path = dir + "/dp";
        dp = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un sun = {};
        sun.sun_family = AF_UNIX;
        snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", dp_path.c_str());
        ASSERT_EQ(::bind(dp, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)), 0);
        proc.ctl = ctl;
        proc.fernrelay = frlc_create(dp_path.c_str(), nullptr, ctl->packet_pool, nullptr);
        ASSERT_NE(proc.fernrelay, nullptr);

        fa = bind(ugwd_ctl_create_flow(ctl, nullptr, tn, station_a.data()));
        fb = bind(ugwd_ctl_create_flow(ctl, nullptr, tn, station_b.data()));
        fother = bind(ugwd_ctl_create_flow(ctl, nullptr, other_tn, station_c.data()));
        ASSERT_TRUE(fa && fb && fother);
        log_config.level = 3;
        ctl_test::log_clear();
    }

    void TearDown() override
    {
        for (packet *p : frames)
            packet_release(p);
        for (ugwd_flow *f : {fa, fb, fother})
            if (f) f->bound = false, f->proc = nullptr;
        frlc_destroy(proc.fernrelay);
        if (dp >= 0) close(dp);
        Gateway::TearDown();
    }

    // A frame as the data plane diverts it, with the direction it travels.
    packet *frame(const bytes &b, uint8_t cls, size_t tailroom_cap = SIZE_MAX)
    {
        packet *p = packet_from_bytes(ctl->packet_pool, b.data(), b.size());
        EXPECT_NE(p, nullptr);
        if (tailroom_cap < p->tailroom) p->tailroom = static_cast<uint16_t>(tailroom_cap);
        ugwd_snoop_set_class(p, cls);
        frames.push_back(p);
        return p;
    }

    static bytes data(packet *p)
    {
        bytes b(p->length);
        packet_access(p, 0, b.size(), b.data(), PACKET_ACCESS_READ);
        return b;
    }

    // The frames sent to stations since the last call.
    std::vector<bytes> sent()
    {
        std::vector<bytes> out;
        uint8_t buf[UMSG_DATAGRAM];
        for (;;) {
            ssize_t n = recv(dp, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 0) break;
            // IPC header, frame message header (type, status, node), flow id, class, encapsulation, priority.
            const size_t skip = sizeof(umsghdr) + 12 + 12 + 3;
            if (static_cast<size_t>(n) >= skip) out.emplace_back(buf + skip, buf + n);
        }
        return out;
    }

    // As the frame router does after a 0: the housekeeping indexes new records.
    void housekeeping(ugwd_flow *f)
    {
        ugwd_ctl_expire_addresses(f);
        ugwd_ctl_expire_groups(f);
    }

    static std::vector<std::string> addrs6(ugwd_flow *f)
    {
        std::vector<std::string> out;
        for (ugwd_lease6 *l : list_records<&ugwd_lease6::link>(&f->leases6)) {
            char t[INET6_ADDRSTRLEN];
            out.push_back(std::string(inet_ntop(AF_INET6, l->rec.addr, t, sizeof(t))) + "/" +
                          std::to_string(l->rec.prefix_len) + " " +
                          ugwd_lease6_kind_name(l->rec.kind));
        }
        return out;
    }
};

} // namespace snoop_test
