// Rules matched per second over the committed captures (DNS, HTTP, TLS,
// IPv4 options, IPv6 extension headers), for header-only rules and for rules
// that look into DNS, HTTP and TLS payloads, beside the anchor: a plain pass
// over the same packets that reads each header's version and protocol.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/filter/filter_match.h"
#include "tests/filter/pcap_reader.h"

namespace {

// The source tree: UGW_SOURCE_DIR when set, else where this file was compiled from.
std::string source_dir()
{
    if (const char *env = std::getenv("UGW_SOURCE_DIR"))
        return env;
    std::string self = __FILE__;
    return self.substr(0, self.rfind("/bench/"));
}

std::vector<pcap_ip_packet> load_packets()
{
    std::vector<pcap_ip_packet> all;
    for (const char *name : {"lo", "veth"}) {
        auto p = pcap_read_ip(source_dir() + "/tests/filter/data/" + name + ".pcap");
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

const std::vector<pcap_ip_packet> &packets()
{
    static const std::vector<pcap_ip_packet> p = load_packets();
    return p;
}

size_t plain_pass()
{
    size_t sum = 0;
    for (const pcap_ip_packet &p : packets()) {
        const uint8_t *ip = p.ip.data();
        sum += (ip[0] >> 4) == 4 ? ip[9] : ip[6];
    }
    return sum;
}

struct hostset_owner {
    hashtable *table = hostset_create();
    std::vector<std::unique_ptr<hostset_entry>> entries;
    explicit hostset_owner(size_t n)
    {
        // A realistic set: a thousand names, among them the captured ones.
        std::vector<std::string> names = {".example.com", "plain.example.org", "v6.example.org"};
        for (size_t i = 0; names.size() < n; i++)
            names.push_back("host" + std::to_string(i) + ".example.net");
        for (const std::string &name : names) {
            auto e = std::make_unique<hostset_entry>();
            hashlink_init(&e->link);
            host_lowercase_copy(name.c_str(), e->name, sizeof(e->name) - 1);
            hashtable_insert(table, &e->link);
            entries.push_back(std::move(e));
        }
    }
    ~hostset_owner() { hashtable_destroy(table); }
};

std::vector<filter_rule> parse_rules(std::initializer_list<const char *> texts)
{
    std::vector<filter_rule> rules;
    for (const char *t : texts) {
        filter_rule r;
        if (filter_rule_parse(&r, t, 1) != 0)
            return {}; // run_rules reports it
        rules.push_back(r);
    }
    return rules;
}

void run_rules(benchmark::State &state, const std::vector<filter_rule> &rules)
{
    if (rules.empty() || packets().empty()) {
        state.SkipWithError("a rule does not parse, or no captures under tests/filter/data");
        return;
    }
    hostset_owner set(1000);
    static const uint8_t v4[][4] = {{192, 0, 2, 2}};
    static const uint8_t v6[][16] = {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}};
    filter_assigned assigned = {v4, 1, v6, 1};
    size_t matched = 0, sum = 0;
    using clock = std::chrono::steady_clock;
    // The plain pass takes a few nanoseconds per packet: it runs several
    // times per batch so that the clock resolves it.
    constexpr int kPasses = 16;
    double t_rules = 0, t_pass = 0;
    for (auto _ : state) {
        auto t0 = clock::now();
        for (const pcap_ip_packet &p : packets()) {
            pkt_hdrs h{}; // parsed once per packet, as the daemon does
            for (const filter_rule &r : rules)
                matched += filter_match_bytes(&r, p.ip, &h, set.table, &assigned, 1) == 1;
        }
        auto t1 = clock::now();
        for (int i = 0; i < kPasses; i++) {
            sum += plain_pass();
            benchmark::ClobberMemory(); // no pass is folded into another
        }
        auto t2 = clock::now();
        double rules_ns = std::chrono::duration<double, std::nano>(t1 - t0).count();
        t_rules += rules_ns;
        t_pass += std::chrono::duration<double, std::nano>(t2 - t1).count();
        state.SetIterationTime(rules_ns * 1e-9);
    }
    benchmark::DoNotOptimize(matched);
    benchmark::DoNotOptimize(sum);
    double iterations = static_cast<double>(state.iterations());
    double n = static_cast<double>(packets().size() * rules.size()) * iterations;
    double pass_ns = t_pass / (static_cast<double>(packets().size()) * kPasses * iterations);
    state.SetItemsProcessed(static_cast<int64_t>(n));
    state.counters["ns_per_rule"] = t_rules / n;
    state.counters["pass_ns_per_packet"] = pass_ns;
    // How many plain passes over a packet one rule match costs, both timed
    // in the same batches.
    state.counters["rule_over_pass"] = t_rules / n / pass_ns;
}

void BM_header_rules(benchmark::State &state)
{
    run_rules(state, parse_rules({
                         "permit in ip from any to any",
                         "deny in ip from !127.0.0.0/8 to assigned",
                         "permit in 17 from any to any 53,67-68,547",
                         "permit in 6 from any 1024-65535 to any 80,443 setup",
                         "permit in 6 from any to any tcpflags psh,!fin",
                         "permit in 1 from any to any icmptypes redirect-echo request",
                         "permit in 58 from any to any icmp6types 133-136 target assigned",
                         "permit in ip from 2001:db8::/64 to any frag",
                     }));
}
BENCHMARK(BM_header_rules)->UseManualTime();

void BM_payload_rules(benchmark::State &state)
{
    run_rules(state, parse_rules({
                         "permit in 17 from any to any dnsqnames 1",
                         "permit in 6 from any to any dnsqnames !1",
                         "permit in 17 from any to any dnsflags rd,!qr dnsqtype aaaa",
                         "permit in 6 from any to any httphosts 1",
                         "permit in 6 from any to any 8080 httphosts 1",
                         "permit in 6 from any to any tlshosts 1",
                         "deny in 6 from any to any tlshosts !1",
                     }));
}
BENCHMARK(BM_payload_rules)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
