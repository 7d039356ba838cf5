// The snoop path per diverted frame: dispatch plus handler, for DHCP ACKs
// (the record is re-granted each time), duplicate-address-detection
// solicitations and MLDv2 reports, each beside the anchor of matching the
// same frame against the built-in snoop rule sets alone, side by side in one
// run. Both sides find the same rule set; the handler allocates no record
// after the first, once the flow's housekeeping has indexed it.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <string>
#include <vector>

#include "bench/pin.h"
#include "common/checksum.h"
#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/packet.h"
#include "common/timer.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_flow.h"
#include "gateway/ugwd_records.h"
#include "gateway/ugwd_service.h"
#include "gateway/ugwd_snoop.h"

namespace
{

using clk = std::chrono::steady_clock;
using bytes = std::vector<uint8_t>;

const uint8_t station[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};

void put16(bytes &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v);
}

bytes addr6(const char *t)
{
    bytes a(16);
    inet_pton(AF_INET6, t, a.data());
    return a;
}

// Ethernet and IPv6 around an upper-layer payload, its checksum filled in at
// csum (an offset in the payload).
bytes frame6(const bytes &dst_mac, const char *src, const char *dst, uint8_t hop, const bytes &ext,
             uint8_t next, bytes payload, size_t csum)
{
    bytes f(14);
    std::copy(dst_mac.begin(), dst_mac.end(), f.begin());
    std::copy(station, station + 6, f.begin() + 6);
    put16(f, 12, 0x86dd);
    bytes ip(40);
    ip[0] = 0x60;
    put16(ip, 4, uint16_t(ext.size() + payload.size()));
    ip[6] = ext.empty() ? next : 0;
    ip[7] = hop;
    bytes s = addr6(src), d = addr6(dst);
    std::copy(s.begin(), s.end(), ip.begin() + 8);
    std::copy(d.begin(), d.end(), ip.begin() + 24);
    uint32_t sum = inet_csum_pseudo6(ip.data(), next, uint32_t(payload.size()));
    put16(payload, csum, uint16_t(~inet_csum_partial(sum, payload.data(), payload.size())));
    f.insert(f.end(), ip.begin(), ip.end());
    f.insert(f.end(), ext.begin(), ext.end());
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// A probe for fe80::11:22ff:fe33:44xx to its solicited-node group.
bytes dad_probe(uint8_t low)
{
    bytes icmp = {135, 0, 0, 0, 0, 0, 0, 0};
    bytes t = addr6("fe80::11:22ff:fe33:4400");
    t[15] = low;
    icmp.insert(icmp.end(), t.begin(), t.end());
    char group[32];
    snprintf(group, sizeof(group), "ff02::1:ff33:44%02x", low);
    return frame6({0x33, 0x33, 0xff, 0x33, 0x44, low}, "::", group, 255, {}, 58, icmp, 2);
}

bytes dad_solicitation()
{
    return dad_probe(0x55);
}

bytes mldv2_report()
{
    bytes icmp = {143, 0, 0, 0, 0, 0, 0, 1, 4, 0, 0, 0};
    bytes g = addr6("ff05::1:3");
    icmp.insert(icmp.end(), g.begin(), g.end());
    // Hop-by-hop router alert, as a Linux station sends its reports.
    bytes hbh = {58, 0, 5, 2, 0, 0, 1, 0};
    return frame6({0x33, 0x33, 0, 0, 0, 0x16}, "fe80::11:22ff:fe33:4455", "ff02::16", 1, hbh, 58,
                  icmp, 2);
}

bytes dhcp_ack()
{
    bytes m(240, 0);
    m[0] = 2, m[1] = 1, m[2] = 6;
    m[16] = 10, m[19] = 5;
    std::copy(station, station + 6, m.begin() + 28);
    m[236] = 0x63, m[237] = 0x82, m[238] = 0x53, m[239] = 0x63;
    bytes opts = {53, 1, 5, 1, 4, 255, 255, 255, 0, 51, 4, 0, 0, 0x0e, 0x10, 54, 4, 10, 0, 0, 1, 255};
    m.insert(m.end(), opts.begin(), opts.end());
    bytes f(42);
    std::copy(station, station + 6, f.begin());
    put16(f, 12, 0x0800);
    f[14] = 0x45, f[22] = 64, f[23] = 17;
    put16(f, 16, uint16_t(28 + m.size()));
    f[26] = 10, f[29] = 1, f[30] = 10, f[33] = 5;
    put16(f, 24, uint16_t(~inet_csum_partial(0, &f[14], 20)));
    put16(f, 34, 67);
    put16(f, 36, 68);
    put16(f, 38, uint16_t(8 + m.size()));
    f.insert(f.end(), m.begin(), m.end());
    uint32_t sum = inet_csum_pseudo4(&f[14], uint16_t(8 + m.size()));
    uint16_t c = uint16_t(~inet_csum_partial(sum, &f[34], 8 + m.size()));
    put16(f, 40, c ? c : 0xffff);
    return f;
}

struct gateway {
    ugwd_ctl *ctl = nullptr;
    ugwd_tunnel *tn = nullptr;
    ugwd_flow *flow = nullptr;
    std::string dir;

    gateway()
    {
        log_hook = nullptr;
        ugwd_ctl_init();
        char t[] = "/tmp/ugw-bench-snoop-XXXXXX";
        dir = mkdtemp(t);
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        bytes m(2048);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        ugwd_service_conf c = {};
        c.mib.ulmexServiceId[0] = 0x5e;
        c.mib.ulmexServiceId[15] = 1;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("lo");
        // Multicast snooping on, so that reports make memberships.
        c.mib.mode = 0x10;
        c.mib.query_interval = 125;
        c.mib.membership_timeout = 260;
        memcpy(m.data() + 8, &c, sizeof(c));
        ugwd_ctl_dispatch(ctl, m.data(), ctl_msg_size(m.data(), m.size()), m.size(), 1);
        ugwd_service *s = ugwd_table_get_service(ctl->table, c.mib.ulmexServiceId);
        sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(4789);
        peer.sin_addr.s_addr = htonl(0x0a000001);
        tn = ugwd_service_create_tunnel(s, UGWD_TRANSPORT_VXLAN, reinterpret_cast<sockaddr *>(&peer));
        ugwd_table_insert_tunnel(ctl->table, tn);
        flow = ugwd_ctl_create_flow(ctl, nullptr, tn, station);
    }
    ~gateway()
    {
        ugwd_ctl_free(ctl);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
};

// The flow's records and memberships: the handler may allocate only for a
// record it has not got.
size_t records(ugwd_flow *f)
{
    size_t n = 0;
    for (auto *x : list_records<&ugwd_lease::link>(&f->leases)) n += x != nullptr;
    for (auto *x : list_records<&ugwd_lease6::link>(&f->leases6)) n += x != nullptr;
    for (auto *x : list_records<&ugwd_group::link>(&f->groups)) n += x != nullptr;
    for (auto *x : list_records<&ugwd_group6::link>(&f->groups6)) n += x != nullptr;
    return n;
}

// The anchor: the dispatcher's own matching, set after set, without a handler.
int match_sets(packet *p)
{
    for (unsigned i = 0; i < UGWD_RULE_SETS; i++)
        if (ugwd_match_rules(p, ugwd_rule_sets[i].rules, ugwd_rule_sets[i].count) >= 0)
            return static_cast<int>(i);
    return -1;
}

void BM_Snoop(benchmark::State &state, bytes (*make)(), uint8_t cls, int set)
{
    gateway g;
    if (!g.flow) {
        state.SkipWithError("no flow");
        return;
    }
    bytes f = make();
    packet *p = packet_alloc(g.ctl->packet_pool, f.size());
    memcpy(p->data, f.data(), f.size());
    ugwd_snoop_set_class(p, cls);
    if (match_sets(p) != set) {
        state.SkipWithError("the frame matches another rule set");
        packet_release(p);
        return;
    }
    // The first frame makes the record; the daemon then runs the flow's
    // housekeeping, which indexes it, and the frames timed find it there.
    if (ugwd_service_input_snoop(nullptr, g.tn, g.flow, p) == 0) ugwd_ctl_flow_housekeeping(g.flow);
    size_t held = records(g.flow);
    constexpr int batch = 1000;
    double ours = 0, anchor = 0;
    int matched = 0, changed = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (int i = 0; i < batch; i++)
            changed += ugwd_service_input_snoop(nullptr, g.tn, g.flow, p) == 0;
        double t = std::chrono::duration<double, std::nano>(clk::now() - t0).count();
        ours += t;
        state.SetIterationTime(t * 1e-9);
        t0 = clk::now();
        for (int i = 0; i < batch; i++)
            matched += match_sets(p) == set;
        anchor += std::chrono::duration<double, std::nano>(clk::now() - t0).count();
    }
    double n = static_cast<double>(state.iterations()) * batch;
    if (matched != static_cast<int>(n)) state.SkipWithError("the anchor lost its match");
    if (set == UGWD_RULES_DHCP && changed != static_cast<int>(n))
        state.SkipWithError("an ACK did not grant the record");
    if (records(g.flow) != held) state.SkipWithError("a frame after the first made a record");
    state.counters["ns_per_frame"] = ours / n;
    state.counters["match_rules_ns"] = anchor / n;
    state.counters["ours_over_match_rules"] = ours / anchor;
    state.counters["changed"] = changed / n;
    state.SetItemsProcessed(static_cast<int64_t>(n));
    packet_release(p);
}

// Probes for addresses the station has no record of: each makes one, as a
// station's first probe for an address does. The records go, untimed,
// between rounds.
void BM_SnoopNewRecords(benchmark::State &state)
{
    gateway g;
    if (!g.flow) {
        state.SkipWithError("no flow");
        return;
    }
    constexpr int batch = 64;
    packet *p[batch];
    for (int i = 0; i < batch; i++) {
        bytes f = dad_probe(static_cast<uint8_t>(i));
        p[i] = packet_alloc(g.ctl->packet_pool, f.size());
        memcpy(p[i]->data, f.data(), f.size());
        ugwd_snoop_set_class(p[i], UGWD_SNOOP_FROM_STATION);
    }
    double ours = 0, anchor = 0;
    int matched = 0, changed = 0;
    for (auto _ : state) {
        auto t0 = clk::now();
        for (packet *x : p)
            changed += ugwd_service_input_snoop(nullptr, g.tn, g.flow, x) == 0;
        double t = std::chrono::duration<double, std::nano>(clk::now() - t0).count();
        ours += t;
        state.SetIterationTime(t * 1e-9);
        t0 = clk::now();
        for (packet *x : p)
            matched += match_sets(x) == UGWD_RULES_ICMPV6;
        anchor += std::chrono::duration<double, std::nano>(clk::now() - t0).count();
        if (records(g.flow) != batch) state.SkipWithError("a probe made no record, or two");
        for (ugwd_lease6 *l : list_records_safe<&ugwd_lease6::link>(&g.flow->leases6))
            ugwd_service_delete_lease6(g.ctl, l);
    }
    double n = static_cast<double>(state.iterations()) * batch;
    if (matched != static_cast<int>(n)) state.SkipWithError("the anchor lost its match");
    if (changed != static_cast<int>(n)) state.SkipWithError("a probe changed nothing");
    state.counters["ns_per_frame"] = ours / n;
    state.counters["match_rules_ns"] = anchor / n;
    state.counters["ours_over_match_rules"] = ours / anchor;
    state.SetItemsProcessed(static_cast<int64_t>(n));
    for (packet *x : p)
        packet_release(x);
}

} // namespace

BENCHMARK_CAPTURE(BM_Snoop, dhcp_ack, dhcp_ack, UGWD_SNOOP_TO_STATION, UGWD_RULES_DHCP)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Snoop, dad_solicitation, dad_solicitation, UGWD_SNOOP_FROM_STATION,
                  UGWD_RULES_ICMPV6)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SnoopNewRecords)
    ->Name("BM_Snoop/dad_solicitation_new_record")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Snoop, mldv2_report, mldv2_report, UGWD_SNOOP_FROM_STATION, UGWD_RULES_ICMPV6)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    clock_refresh_offset();
    return bench_main_pinned(argc, argv);
}
