// Random rule texts drawn from the whole grammar: names and numbers in every
// base, odd spacing, repeated options, and now and then a mistake.
#pragma once

#include <cstdint>
#include <random>
#include <string>

class rule_gen {
public:
    explicit rule_gen(uint32_t seed) : rng_(seed) {}

    std::string rule_text()
    {
        std::string s;
        static const char *actions[] = {"permit", "deny", "pass", "rewrite",
                                        "dnat", "snat", "nptv6"};
        s += chance(2) ? actions[pick_u(2)] : pick(actions);
        s += chance(2) ? " in " : " out ";
        s += chance(3) ? std::string("ip") : number(pick_u(256));
        bool v6 = chance(3);
        s += " from ";
        s += endpoint(v6);
        s += " to ";
        s += endpoint(v6);
        unsigned nopts = pick_u(5);
        for (unsigned i = 0; i < nopts; i++) {
            s += " ";
            s += option(v6);
        }
        return s;
    }

private:
    std::mt19937 rng_;

    unsigned pick_u(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }
    bool chance(unsigned n) { return pick_u(n) == 0; }
    template <size_t N> const char *pick(const char *(&a)[N]) { return a[pick_u(N)]; }

    std::string number(uint32_t v)
    {
        char buf[16];
        switch (pick_u(6)) {
        case 0:
            snprintf(buf, sizeof(buf), "0x%x", v);
            break;
        case 1:
            snprintf(buf, sizeof(buf), "0%o", v);
            break;
        default:
            snprintf(buf, sizeof(buf), "%u", v);
            break;
        }
        return buf;
    }

    std::string sep(const char *c)
    {
        std::string s;
        if (chance(6))
            s += " ";
        s += c;
        if (chance(6))
            s += "\t";
        return s;
    }

    std::string v4()
    {
        char buf[32];
        snprintf(buf, sizeof(buf), "%u.%u.%u.%u", pick_u(256), pick_u(256), pick_u(256),
                 pick_u(256));
        std::string s = buf;
        if (chance(2))
            s += sep("/") + number(pick_u(36));
        return s;
    }

    std::string v6(unsigned min_prefix = 0)
    {
        static const char *addrs[] = {"2001:db8::", "ad::1",  "cc::", "bad::1",
                                      "fe80::1:2",  "::",     "::ffff:10.0.0.1",
                                      "2001:db8:1:2:3:4:5:6", "ff02::1"};
        std::string s = pick(addrs);
        if (chance(2))
            s += sep("/") + number(min_prefix + pick_u(129 - min_prefix));
        return s;
    }

    std::string address(bool six)
    {
        switch (pick_u(6)) {
        case 0:
            return "any";
        case 1:
            return "assigned";
        default:
            return six ? v6() : v4();
        }
    }

    std::string ports()
    {
        std::string s;
        unsigned n = pick_u(4);
        for (unsigned i = 0; i < n; i++) {
            if (i)
                s += sep(",");
            else
                s += " ";
            unsigned a = pick_u(65536);
            s += number(a);
            if (chance(2))
                s += sep("-") + number(a + pick_u(65536 - a));
        }
        return s;
    }

    std::string endpoint(bool six)
    {
        std::string s = chance(4) ? "!" : "";
        return s + address(six) + ports();
    }

    std::string names(const char *const *items, size_t n, bool negatable)
    {
        std::string s;
        unsigned k = 1 + pick_u(4);
        for (unsigned i = 0; i < k; i++) {
            if (i)
                s += sep(",");
            if (negatable && chance(3))
                s += "!";
            s += items[pick_u(static_cast<unsigned>(n))];
        }
        return s;
    }

    // A type list of names, numbers and ranges over a table of valid types.
    std::string types(const char *const *items, const unsigned *values, size_t n)
    {
        std::string s;
        unsigned k = 1 + pick_u(4);
        for (unsigned i = 0; i < k; i++) {
            if (i)
                s += sep(",");
            unsigned a = pick_u(static_cast<unsigned>(n));
            s += chance(2) ? std::string(items[a]) : number(values[a]);
            if (chance(3)) {
                unsigned b = a + pick_u(static_cast<unsigned>(n - a));
                s += sep("-") + (chance(2) ? std::string(items[b]) : number(values[b]));
            }
        }
        return s;
    }

    std::string option(bool six)
    {
        static const char *ipopts[] = {"ssrr", "lsrr", "rr", "ts"};
        static const char *tcpopts[] = {"mss", "window", "sack", "ts", "cc"};
        static const char *flags[] = {"fin", "syn", "rst", "psh", "ack", "urg"};
        static const char *dnsflags[] = {"qr", "aa", "tc", "rd", "ra", "ad", "cd"};
        static const char *icmp[] = {"echo reply",   "2",
                                     "destination unreachable", "source quench",
                                     "redirect",     "echo request",
                                     "router advertisement",    "router solicitation",
                                     "time-to-live exceeded",   "IP header bad",
                                     "timestamp request",       "timestamp reply",
                                     "information request",     "information reply",
                                     "address mask request",    "address mask reply",
                                     "25",           "31"};
        static const unsigned icmpv[] = {0, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                         25, 31};
        static const char *icmp6[] = {"0",  "destination unreachable",
                                      "packet too big",   "time exceeded",
                                      "parameter problem", "15",
                                      "echo request",     "echo reply",
                                      "multicast listener query",
                                      "multicast listener report",
                                      "multicast listener done",
                                      "router solicitation", "router advertisement",
                                      "neighbor solicitation", "neighbor advertisement",
                                      "redirect message", "router renumbering", "139",
                                      "multicast listener report v2"};
        static const unsigned icmp6v[] = {0, 1, 2, 3, 4, 15, 128, 129, 130, 131, 132,
                                          133, 134, 135, 136, 137, 138, 139, 143};
        static const char *opcodes[] = {"query", "iquery", "status", "3", "notify", "update",
                                        "6", "7"};
        static const unsigned opcodev[] = {0, 1, 2, 3, 4, 5, 6, 7};
        static const char *qtypes[] = {"a", "ns", "cname", "soa", "ptr", "mx", "txt",
                                       "sig", "aaaa", "srv", "*", "255", "0", "65535"};
        switch (pick_u(20)) {
        case 0:
            return "frag";
        case 1:
            return chance(2) ? "established" : "setup";
        case 2:
            return "ipoptions " + names(ipopts, 4, true);
        case 3:
            return "tcpoptions " + names(tcpopts, 5, true);
        case 4:
            return "tcpflags " + names(flags, 6, true);
        case 5:
            return "icmptypes " + types(icmp, icmpv, std::size(icmpv));
        case 6:
            return "icmp6types " + types(icmp6, icmp6v, std::size(icmp6v));
        case 7: {
            std::string a = chance(3) ? "any" : chance(2) ? "assigned" : v6();
            return "target " + std::string(chance(3) ? "!" : "") + a;
        }
        case 8:
            return "dnsopcodes " + types(opcodes, opcodev, 8);
        case 9:
            return "dnsflags " + names(dnsflags, 7, true);
        case 10:
            return "dnsqtype " + std::string(chance(3) ? "!" : "") + qtypes[pick_u(14)];
        case 11: {
            static const char *o[] = {"dnsqnames ", "httphosts ", "tlshosts "};
            return std::string(pick(o)) + (chance(3) ? "!" : "") + number(pick_u(1u << 31));
        }
        case 12:
        case 13: {
            std::string s = chance(3) ? "!check-state" : chance(2) ? "check-state" : "keep-state";
            if (chance(2)) {
                s += " " + number(static_cast<uint32_t>(rng_()));
                if (chance(2))
                    s += sep("/") + number(static_cast<uint32_t>(rng_()));
            }
            return s;
        }
        case 14:
            return "tcpmss " + number(pick_u(65536));
        case 15:
        case 16:
        case 17: {
            std::string s = chance(2) ? "dst " : "src ";
            if (chance(8))
                return s + "any" + ports();
            if (six)
                return s + v6(24) + (chance(3) ? ports() : "");
            return s + v4() + ports();
        }
        case 18: // a mistake now and then
            if (chance(4))
                return chance(2) ? "bogus" : "icmptypes 40";
            return "frag";
        default:
            return "tcpflags " + names(flags, 6, true);
        }
    }
};
