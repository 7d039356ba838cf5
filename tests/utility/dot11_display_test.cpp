// The 802.11 display helpers: the security elements of a template read back
// into a configuration record (tshark is the oracle for what an element
// says), and the channel frequencies.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "render_fixture.h"
#include "utility/ugw_dot11_ie.h"
#include "utility/ugw_dot11_mib.h"

namespace
{

using bytes = std::vector<uint8_t>;

constexpr uint32_t CCMP = DOT11_CIPHER_CCMP, TKIP = DOT11_CIPHER_TKIP;
constexpr uint32_t WEP104 = dot11_suite(0x00, 0x0f, 0xac, 5),
                   GCMP = dot11_suite(0x00, 0x0f, 0xac, 8);
constexpr uint32_t SAE = dot11_suite(0x00, 0x0f, 0xac, 8);

void put_suite(bytes &b, uint32_t s)
{
    uint8_t raw[4];
    memcpy(raw, &s, 4);
    b.insert(b.end(), raw, raw + 4);
}

// An RSN (or, with wpa, WPA) element; caps < 0 leaves the field out.
bytes security_element(bool wpa, uint16_t version, uint32_t group,
                       const std::vector<uint32_t> &pairwise, const std::vector<uint32_t> &akm,
                       int caps = -1)
{
    bytes b = wpa ? bytes{DOT11_EID_VENDOR, 0, 0x00, 0x50, 0xf2, 0x01} : bytes{DOT11_EID_RSN, 0};
    b.push_back(uint8_t(version));
    b.push_back(uint8_t(version >> 8));
    put_suite(b, group);
    b.push_back(uint8_t(pairwise.size()));
    b.push_back(0);
    for (uint32_t s : pairwise)
        put_suite(b, s);
    b.push_back(uint8_t(akm.size()));
    b.push_back(0);
    for (uint32_t s : akm)
        put_suite(b, s);
    if (caps >= 0 && !wpa) {
        b.push_back(uint8_t(caps));
        b.push_back(uint8_t(caps >> 8));
    }
    b[1] = uint8_t(b.size() - 2);
    return b;
}

bytes cut(bytes b, size_t len)
{
    b[1] = uint8_t(len);
    b.resize(2 + len);
    return b;
}

int parse_any(const bytes &e, dot11_auth_config *c)
{
    return e.size() > 0 && e[0] == DOT11_EID_RSN ? dot11_ie_show_rsn(e, c)
                                                 : dot11_ie_parse_wpa(e, c);
}

TEST(Dot11DisplayIe, RefusedElementsLeaveTheRecordUnchanged)
{
    const bytes rsn = security_element(false, 1, CCMP, {CCMP, TKIP}, {DOT11_AKM_PSK}, 0x0001);
    const bytes wpa = security_element(true, 1, TKIP, {TKIP}, {DOT11_AKM_WPA_PSK});
    bytes wrong_oui = wpa;
    wrong_oui[4] = 0xf3;
    bytes wpa_type2 = wpa;
    wpa_type2[5] = 2;
    bytes overrun = rsn;
    overrun.pop_back(); // length byte claims one more than given
    struct {
        const char *name;
        bytes element;
    } cases[] = {
        {"version 2", security_element(false, 2, CCMP, {CCMP}, {DOT11_AKM_PSK})},
        {"version 0", security_element(false, 0, CCMP, {CCMP}, {DOT11_AKM_PSK})},
        {"RSN below 10", cut(rsn, 9)},
        {"pairwise count past the end", cut(rsn, 10 + 4)},
        {"AKM count past the end", cut(rsn, 10 + 8 + 3)},
        {"WPA below 14", cut(wpa, 13)},
        {"WPA AKM past the end", cut(wpa, 14 + 4 + 3)},
        {"vendor element of another OUI", wrong_oui},
        {"WPA of type 2", wpa_type2},
        {"WPA body under 4", cut(wpa, 3)},
        {"overruns its bytes", overrun},
        {"empty", {}},
        {"wrong id for RSN", bytes{49, 2, 1, 0}},
    };
    for (const auto &c : cases) {
        dot11_auth_config cfg;
        memset(&cfg, 0xa5, sizeof cfg);
        dot11_auth_config before = cfg;
        EXPECT_EQ(parse_any(c.element, &cfg), -1) << c.name;
        EXPECT_EQ(memcmp(&cfg, &before, sizeof cfg), 0) << c.name;
    }
    dot11_auth_config cfg{};
    EXPECT_EQ(dot11_ie_parse_wpa(rsn, &cfg), -1);
    EXPECT_EQ(dot11_ie_show_rsn(wpa, &cfg), -1);
}

TEST(Dot11DisplayIe, StoresSuitesAndCapabilities)
{
    // Six pairwise suites: the length check covers all six, four are kept.
    const bytes six = security_element(false, 1, CCMP, {CCMP, TKIP, GCMP, WEP104, TKIP, CCMP},
                                       {DOT11_AKM_PSK, DOT11_AKM_FT_PSK}, 0x0c0d);
    dot11_auth_config cfg{};
    ASSERT_EQ(dot11_ie_show_rsn(six, &cfg), 0);
    EXPECT_EQ(cfg.dot11RSNAConfigGroupCipher, CCMP);
    const uint32_t pairwise[4] = {CCMP, TKIP, GCMP, WEP104};
    EXPECT_EQ(memcmp(cfg.dot11RSNAConfigPairwiseCipher, pairwise, sizeof pairwise), 0);
    EXPECT_EQ(cfg.dot11RSNAConfigAuthenticationSuite[0], DOT11_AKM_PSK);
    EXPECT_EQ(cfg.dot11RSNAConfigAuthenticationSuite[1], DOT11_AKM_FT_PSK);
    EXPECT_EQ(cfg.dot11RSNAConfigAuthenticationSuite[2], 0u);
    EXPECT_TRUE(cfg.flags_a & DOT11_CFG_A_RSNA_ACTIVATED);
    EXPECT_EQ(cfg.flags_b,
              DOT11_CFG_B_PREAUTH_ACTIVATED | DOT11_CFG_B_SPP_CAPABLE | DOT11_CFG_B_SPP_REQUIRED);
    // Bits 2-3 only: the GTKSA bits (4-5) are not the PTKSA code.
    EXPECT_EQ(cfg.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented, 3);

    // Without a capabilities field an RSN element clears the four values.
    const bytes bare = security_element(false, 1, TKIP, {TKIP}, {DOT11_AKM_8021X});
    dot11_auth_config set = cfg;
    memset(set.dot11RSNAConfigPairwiseCipher, 0, sizeof set.dot11RSNAConfigPairwiseCipher);
    ASSERT_EQ(dot11_ie_show_rsn(bare, &set), 0);
    EXPECT_EQ(set.flags_b, 0);
    EXPECT_EQ(set.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented, 0);

    // A WPA element never touches them; its suites fill from the first empty slot on.
    dot11_auth_config both = cfg;
    both.dot11RSNAConfigPairwiseCipher[2] = 0;
    both.dot11RSNAConfigPairwiseCipher[3] = 0;
    const bytes wpa =
        security_element(true, 1, DOT11_CIPHER_WPA_TKIP,
                         {DOT11_CIPHER_WPA_TKIP, DOT11_CIPHER_WPA_CCMP, TKIP}, {DOT11_AKM_WPA_PSK});
    ASSERT_EQ(dot11_ie_parse_wpa(wpa, &both), 0);
    const uint32_t merged[4] = {CCMP, TKIP, DOT11_CIPHER_WPA_TKIP, DOT11_CIPHER_WPA_CCMP};
    EXPECT_EQ(memcmp(both.dot11RSNAConfigPairwiseCipher, merged, sizeof merged), 0);
    EXPECT_EQ(both.dot11RSNAConfigAuthenticationSuite[2], DOT11_AKM_WPA_PSK);
    EXPECT_EQ(both.dot11RSNAConfigGroupCipher, DOT11_CIPHER_WPA_TKIP);
    EXPECT_EQ(both.flags_b, cfg.flags_b);
    EXPECT_EQ(both.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented, 3);
}

TEST(Dot11DisplayIe, TemplateWalkStopsAtItsEndAndAtAnOverrun)
{
    const bytes rsn = security_element(false, 1, CCMP, {CCMP}, {DOT11_AKM_PSK}, 0);
    const bytes ssid = {0, 4, 't', 'e', 's', 't'};

    bytes tmpl = ssid;
    tmpl.insert(tmpl.end(), rsn.begin(), rsn.end());
    dot11_auth_config cfg{};
    EXPECT_EQ(dot11_ie_show_template(tmpl, &cfg), 1);
    EXPECT_EQ(cfg.dot11RSNAConfigPairwiseCipher[0], CCMP);

    // An element that overruns the template ends the walk.
    bytes overrun = {0, 200, 1, 2};
    overrun.insert(overrun.end(), rsn.begin(), rsn.end());
    cfg = {};
    EXPECT_EQ(dot11_ie_show_template(overrun, &cfg), 0);

    // An element that ends past byte 128 is not read, even inside the buffer.
    bytes pad = {221, 120};
    pad.resize(122, 0);
    bytes late = pad;
    late.insert(late.end(), rsn.begin(), rsn.end());
    cfg = {};
    EXPECT_EQ(dot11_ie_show_template(late, &cfg), 0);
    EXPECT_EQ(cfg.dot11RSNAConfigGroupCipher, 0u);
}

TEST(Dot11DisplayIe, ChannelFrequencies)
{
    const struct {
        unsigned channel, mhz;
    } cases[] = {{0, 0},     {1, 2412},  {13, 2472},  {14, 2484},  {15, 0},  {31, 0},
                 {32, 5160}, {36, 5180}, {165, 5825}, {173, 5865}, {174, 0}, {200, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(dot11_channel_frequency(c.channel), c.mhz) << c.channel;
}

// tshark reads the same elements out of beacon frames: what it reports of
// each well-formed element equals what we store, and what it marks malformed
// we refuse. An RSN element that ends after its AKM list is left out: tshark
// wants the capabilities field, the element's own rules make it optional.
TEST(Dot11DisplayIe, AgreesWithTshark)
{
    if (!render_have("tshark")) GTEST_SKIP() << "tshark is not installed";
    const std::vector<bytes> elements = {
        security_element(false, 1, CCMP, {CCMP, TKIP, GCMP}, {DOT11_AKM_PSK, DOT11_AKM_FT_PSK, SAE},
                         0x0c0d),
        security_element(false, 1, TKIP, {TKIP}, {DOT11_AKM_8021X}, 0x0408),
        security_element(false, 1, CCMP, {CCMP}, {DOT11_AKM_8021X_SHA256}, 0x0801),
        security_element(true, 1, DOT11_CIPHER_WPA_TKIP,
                         {DOT11_CIPHER_WPA_TKIP, DOT11_CIPHER_WPA_CCMP},
                         {DOT11_AKM_WPA_PSK, DOT11_AKM_WPA_8021X}),
        cut(security_element(false, 1, CCMP, {CCMP, TKIP, GCMP}, {DOT11_AKM_PSK}), 10 + 4),
        cut(security_element(false, 1, CCMP, {CCMP}, {DOT11_AKM_PSK, SAE}), 10 + 4 + 4),
        cut(security_element(true, 1, DOT11_CIPHER_WPA_TKIP,
                             {DOT11_CIPHER_WPA_TKIP, DOT11_CIPHER_WPA_CCMP}, {DOT11_AKM_WPA_PSK}),
            14 + 4),
    };

    char dir[] = "/tmp/dot11_display_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string pcap = std::string(dir) + "/beacons.pcap";
    FILE *f = fopen(pcap.c_str(), "wb");
    ASSERT_TRUE(f);
    const uint32_t global[6] = {0xa1b2c3d4, 2 | 4u << 16, 0, 0, 65535, 105}; // 802.11 link type
    fwrite(global, sizeof global, 1, f);
    for (const bytes &e : elements) {
        bytes frame = {0x80, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0,
                       0,    0, 0, 1, 2,    0,    0,    0,    0,    1,    0, 0};
        frame.resize(frame.size() + 8, 0); // timestamp
        frame.insert(frame.end(), {0x64, 0, 0x11, 0x04, 0, 4, 't', 'e', 's', 't'});
        frame.insert(frame.end(), e.begin(), e.end());
        const uint32_t record[4] = {0, 0, uint32_t(frame.size()), uint32_t(frame.size())};
        fwrite(record, sizeof record, 1, f);
        fwrite(frame.data(), frame.size(), 1, f);
    }
    fclose(f);

    const std::string cmd =
        "tshark -r " + pcap +
        " -T fields -E separator=';' -E aggregator=',' -e wlan.rsn.gcs -e wlan.rsn.pcs"
        " -e wlan.rsn.akms -e wlan.rsn.capabilities -e wlan.wfa.ie.wpa.mcs"
        " -e wlan.wfa.ie.wpa.ucs -e wlan.wfa.ie.wpa.akms -e _ws.malformed 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    std::vector<std::string> lines;
    char line[4096];
    while (fgets(line, sizeof line, p))
        lines.emplace_back(line, strcspn(line, "\n"));
    ASSERT_EQ(pclose(p), 0);
    unlink(pcap.c_str());
    rmdir(dir);
    ASSERT_EQ(lines.size(), elements.size());

    // tshark shows a suite as OUI << 8 | type.
    auto shown = [](uint32_t s) {
        return std::to_string(dot11_suite_oui(s) << 8 | dot11_suite_type(s));
    };
    auto list = [&](const uint32_t *s, size_t n) {
        std::string out;
        for (size_t i = 0; i < n && s[i]; i++)
            out += (out.empty() ? "" : ",") + shown(s[i]);
        return out;
    };
    for (size_t i = 0; i < elements.size(); i++) {
        std::vector<std::string> fields;
        for (size_t start = 0;;) {
            size_t end = lines[i].find(';', start);
            fields.push_back(lines[i].substr(start, end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        ASSERT_EQ(fields.size(), 8u) << lines[i];
        dot11_auth_config cfg{};
        int rc = parse_any(elements[i], &cfg);
        EXPECT_EQ(rc == -1, !fields[7].empty()) << "frame " << i + 1 << ": " << lines[i];
        if (rc != 0) continue;
        const bool wpa = elements[i][0] == DOT11_EID_VENDOR;
        EXPECT_EQ(fields[wpa ? 4 : 0], shown(cfg.dot11RSNAConfigGroupCipher)) << i;
        EXPECT_EQ(fields[wpa ? 5 : 1], list(cfg.dot11RSNAConfigPairwiseCipher, 4)) << i;
        EXPECT_EQ(fields[wpa ? 6 : 2], list(cfg.dot11RSNAConfigAuthenticationSuite, 8)) << i;
        if (wpa || fields[3].empty()) {
            EXPECT_EQ(cfg.flags_b, 0) << i;
            continue;
        }
        const unsigned caps = unsigned(strtoul(fields[3].c_str(), nullptr, 16));
        EXPECT_EQ(bool(cfg.flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED), bool(caps & 1)) << i;
        EXPECT_EQ(cfg.dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented, (caps >> 2) & 3) << i;
        EXPECT_EQ(bool(cfg.flags_b & DOT11_CFG_B_SPP_CAPABLE), bool(caps & 0x400)) << i;
        EXPECT_EQ(bool(cfg.flags_b & DOT11_CFG_B_SPP_REQUIRED), bool(caps & 0x800)) << i;
    }
}

} // namespace

namespace
{

TEST(Dot11DisplayLines, EdcaAndMcsLines)
{
    const dot11_edca_entry zero[4] = {};
    EXPECT_EQ(render_capture([&](FILE *out) { print_edca_lines(out, zero, "Tx"); }), "");

    // BK is all zero but its lifetime, which is never printed; the side text is cut to two.
    const dot11_edca_entry table[4] = {
        {4, 10, 3, 0, 500}, {0, 0, 0, 0, 9}, {3, 4, 2, 94, 0}, {2, 3, 2, 47, 0}};
    EXPECT_EQ(render_capture([&](FILE *out) { print_edca_lines(out, table, "Rxyz"); }),
              "       Rx EDCA AC_BE: AIFSN 3 CW 4-10 burst 0\n"
              "       Rx EDCA AC_VI: AIFSN 2 CW 3-4 burst 94\n"
              "       Rx EDCA AC_VO: AIFSN 2 CW 2-3 burst 47\n");

    const struct {
        const char *label;
        uint8_t map[8];
        const char *want;
    } cases[] = {
        {"VHT Rx", {3, 3, 3, 3, 3, 3, 3, 3}, ""},
        {"VHT Rx", {2, 3, 3, 3, 3, 3, 3, 3}, "         VHT Rx 1 SS: MCS 0-9\n"},
        // Only the low two bits count.
        {"HE Tx",
         {0xfc, 0xfd, 0xff, 3, 3, 3, 3, 0xfe},
         "          HE Tx 1 SS: MCS 0-7\n          HE Tx 2 SS: MCS 0-8\n"
         "          HE Tx 8 SS: MCS 0-9\n"},
        // The label is cut to 31 characters, the stream number with it.
        {"A label far longer than its buffer",
         {0, 3, 3, 3, 3, 3, 3, 3},
         "A label far longer than its bufMCS 0-7\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(render_capture([&](FILE *out) { print_mcs_lines(out, c.label, c.map); }), c.want)
            << c.label;
}

} // namespace
