// Every rule of a set that covers each kind of test, against arbitrary bytes
// as an IP packet; and the payload readers on the bytes themselves.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/filter/filter_match.h"

namespace {

const char *const rule_texts[] = {
    "permit in ip from any to any",
    "deny in ip from !10.0.0.0/8 53,1000-2000 to assigned 80 frag",
    "permit in ip from 2001:db8::/32 to !assigned",
    "permit in 1 from any to any ipoptions rr,!ts,ssrr,!lsrr icmptypes redirect-echo request",
    "permit in 6 from any to any established tcpoptions mss,!sack,window,ts,!cc tcpflags syn,!ack",
    "permit in 6 from any to any setup",
    "permit in 6 from any to any dnsopcodes query-status dnsflags qr,!rd dnsqnames 1",
    "permit in 17 from any to any dnsqtype !aaaa",
    "permit in 17 from any to any 53 dnsqnames !1",
    "permit in 6 from any to any httphosts 1",
    "permit in 6 from any to any 8080 httphosts !1",
    "permit in 6 from any to any tlshosts 1",
    "permit in 58 from any to any icmp6types 1-4,128-143 target assigned",
    "permit in 58 from any to any target !2001:db8::/64",
};

struct setup {
    std::vector<filter_rule> rules;
    hashtable *set = hostset_create();
    std::vector<std::unique_ptr<hostset_entry>> entries;

    setup()
    {
        for (const char *t : rule_texts) {
            filter_rule r;
            if (filter_rule_parse(&r, t, 1) == 0)
                rules.push_back(r);
        }
        for (const char *n : {".example.com", "www.example.org", "a", ".com"}) {
            auto e = std::make_unique<hostset_entry>();
            hashlink_init(&e->link);
            host_lowercase_copy(n, e->name, sizeof(e->name) - 1);
            hashtable_insert(set, &e->link);
            entries.push_back(std::move(e));
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static setup s;
    static const uint8_t v4[][4] = {{10, 0, 0, 2}};
    static const uint8_t v6[][16] = {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}};
    filter_assigned assigned = {v4, 1, v6, 1};
    // An exact-size copy, so that any read past the end is caught.
    std::vector<uint8_t> copy(data, data + size);
    std::span<const uint8_t> packet(copy.data(), copy.size());
    pkt_hdrs h{};
    for (const filter_rule &r : s.rules) {
        for (int in : {0, 1}) {
            int m = filter_match_bytes(&r, packet, &h, s.set, &assigned, in);
            if (m < -1 || m > 1)
                __builtin_trap();
        }
    }
    if (s.rules.size() != std::size(rule_texts))
        __builtin_trap();

    char buf[256];
    uint16_t type;
    dns_get_qname(copy.data(), size, &type, buf, sizeof(buf));
    tls_get_sni(copy.data(), size, buf, sizeof(buf));
    int at = http_find_header(reinterpret_cast<const char *>(copy.data()), size, "Host");
    if (at > static_cast<int>(size))
        __builtin_trap();
    return 0;
}
