// The configuration dump's lines: every quoted value comes back from the batch
// splitter and the parser byte for byte, and a service dumped and replayed
// through the set actions onto a fresh record is the same record.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sstream>
#include <string>
#include <vector>

#include "utility/ugw_action.h"
#include "utility/ugw_dump.h"
#include "utility/ugw_lex.h"
#include "utility/ugw_parse.h"

namespace
{

const std::string U = "0123abcd-0000-0000-0000-00000000beef";
const uint8_t UUID[16] = {0x01, 0x23, 0xab, 0xcd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xbe, 0xef};

// 0 and the command, or -1 when the line does not split or parse.
int parse_line(const std::string &line, ugw_command *cmd)
{
    std::string b = line;
    char *words[31];
    int n = ugw_split_words(b.data(), words, 31);
    *cmd = ugw_command{};
    return n < 0 ? -1 : ugw_parse_args(n, words, cmd);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

char *fake_ifname(unsigned index, char *name)
{
    if (index == 0 || index > 9) return nullptr;
    snprintf(name, IF_NAMESIZE, "veth%u", index);
    return name;
}

TEST(UgwDumpQuote, EveryValueComesBackWhole)
{
    const std::vector<std::string> values = {
        "plain",
        "with blank",
        "  leading and trailing  ",
        "it's",
        "say \"hi\"",
        "back\\slash",
        "line\nfeed",
        "tab\there",
        std::string("caf\xc3\xa9"),
        "\\x41 is not A",
        "'",
        "#hash",
        std::string("\x01\x7f\xff"),
    };
    for (const std::string &v : values) {
        std::string q;
        ugw_dump_quote(q, v);
        EXPECT_EQ(q.find('\n'), std::string::npos) << v;
        ugw_command cmd;
        // Names, SSIDs and secrets: the text words of the grammar.
        ASSERT_EQ(parse_line("add control " + q, &cmd), 0) << q;
        EXPECT_EQ(std::string(cmd.host), v) << q;
        ASSERT_EQ(parse_line("set service " + U + " ssid " + q, &cmd), 0) << q;
        EXPECT_EQ(std::string(cmd.conf.u.text), v) << q;
        ASSERT_EQ(parse_line("set nas " + q + " auth server 10.0.0.1 secret " + q, &cmd), 0) << q;
        EXPECT_EQ(std::string(cmd.nas), v) << q;
        EXPECT_EQ(std::string(cmd.conf.u.text), v) << q;
    }
    std::string q;
    ugw_dump_quote(q, "plain name");
    EXPECT_EQ(q, "'plain name'");
}

// A service changed by commands, dumped, and the dump replayed on a fresh
// record through the same actions: the records agree byte for byte.
struct service_case {
    const char *name;
    std::vector<std::string> settings; // after "set|unset service U "
};

std::vector<uint8_t> apply(const std::vector<std::string> &commands)
{
    std::vector<uint8_t> record(UGW_SERVICE_RECORD);
    ugw_service_defaults(record.data(), UUID);
    for (const std::string &c : commands) {
        ugw_command cmd;
        EXPECT_EQ(parse_line(c, &cmd), 0) << c;
        if (cmd.kind == 0) continue;
        bool set = c.rfind("set ", 0) == 0;
        EXPECT_GE(
            set ? ugw_set_service(record.data(), &cmd) : ugw_unset_service(record.data(), &cmd), 0)
            << c;
    }
    return record;
}

TEST(UgwDumpService, ReplayedDumpRebuildsTheRecord)
{
    const std::vector<service_case> cases = {
        {"defaults", {}},
        {"qos off", {"unset service " + U + " qos"}},
        {"wpa2 psk",
         {"set service " + U + " ssid 'lab net'", "set service " + U + " psk passphrase 'abcdefgh'",
          "set service " + U + " rsn auth psk", "set service " + U + " rsn cipher ccmp",
          "set service " + U + " group cipher ccmp"}},
        {"psk unfinished",
         {"set service " + U + " rsn auth psk", "set service " + U + " rsn cipher ccmp",
          "set service " + U + " group cipher tkip", "set service " + U + " ssid x"}},
        {"ft and rekey",
         {"set service " + U + " ssid it\\'s\\x0a\\xc3", "set service " + U + " ft auth eap",
          "set service " + U + " wpa auth eap", "set service " + U + " wpa cipher tkip",
          "set service " + U + " rsn preauth", "set service " + U + " group rekey packets 1000",
          "unset service " + U + " group rekey time", "set service " + U + " group rekey strict",
          "set service " + U + " pmksa cache 3", "set service " + U + " ft mobility-domain 77",
          "set service " + U + " ft over-ds", "set service " + U + " ft timeout 9",
          "set service " + U + " nas 'radius one'"}},
        {"station settings",
         {"set service " + U + " frag 1000", "set service " + U + " amsdu agg",
          "set service " + U + " amsdu spp required", "set service " + U + " timeout 299",
          "set service " + U + " vni 4097", "set service " + U + " broadcast control",
          "set service " + U + " multicast local", "set service " + U + " nd proxy",
          "set service " + U + " isolation flow", "set service " + U + " group rekey time 600"}},
    };
    for (const service_case &c : cases) {
        std::vector<uint8_t> want = apply(c.settings);
        std::string dump;
        ASSERT_EQ(ugw_dump_service(dump, want.data(), fake_ifname), 0) << c.name;
        std::vector<std::string> replay;
        for (const std::string &l : lines_of(dump))
            if (l.rfind("add ", 0) != 0) replay.push_back(l);
        std::vector<uint8_t> got = apply(replay);
        EXPECT_EQ(memcmp(got.data(), want.data(), want.size()), 0) << c.name << ":\n" << dump;
        // Dumped twice, the same text.
        std::string again;
        ASSERT_EQ(ugw_dump_service(again, got.data(), fake_ifname), 0);
        EXPECT_EQ(again, dump) << c.name;
    }
}

TEST(UgwDumpService, LinesForTheDefaultsAndTheEdges)
{
    std::vector<uint8_t> r = apply({});
    std::string dump;
    ASSERT_EQ(ugw_dump_service(dump, r.data(), fake_ifname), 0);
    EXPECT_EQ(dump, "add service " + U + "\n");

    r = apply({"unset service " + U + " qos"});
    dump.clear();
    ASSERT_EQ(ugw_dump_service(dump, r.data(), fake_ifname), 0);
    EXPECT_EQ(dump, "add service " + U + "\nunset service " + U + " qos\n");

    // Each device its own line; the PSK right after the SSID, which clears it.
    r = apply(
        {"set service " + U + " ssid ab", "set service " + U + " psk key " + std::string(64, 'a')});
    auto *mib = reinterpret_cast<ugwd_service_mib *>(r.data());
    uint32_t devices[2] = {3, 7};
    memcpy(mib->ulmexServiceIfIndices, devices, sizeof(devices));
    mib->ulmexServiceIfCount = 2;
    dump.clear();
    ASSERT_EQ(ugw_dump_service(dump, r.data(), fake_ifname), 0);
    EXPECT_EQ(dump, "add service " + U + "\nset service " + U + " device 'veth3'\nset service " +
                        U + " device 'veth7'\nset service " + U + " ssid 'ab'\nset service " + U +
                        " psk key " + std::string(64, 'a') + "\n");

    // No name for an index, or an SSID no word can carry: nothing is written.
    devices[0] = 12;
    memcpy(mib->ulmexServiceIfIndices, devices, sizeof(devices));
    dump = "before\n";
    EXPECT_EQ(ugw_dump_service(dump, r.data(), fake_ifname), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(dump, "before\n");
    mib->ulmexServiceIfCount = 0;
    mib->ulmexServiceSSID.ulmexSSIDValue[1] = 0;
    EXPECT_EQ(ugw_dump_service(dump, r.data(), fake_ifname), -1);
    EXPECT_EQ(errno, EILSEQ);
    EXPECT_EQ(dump, "before\n");
}

TEST(UgwDumpRecords, ControlsAndNases)
{
    ulmexControl c{};
    strcpy(c.ulmexControlName, "ctl.example");
    std::string dump;
    ugw_dump_control(dump, &c);
    EXPECT_EQ(dump, "add control 'ctl.example'\n");
    // A key of 100 bits: 25 digits, which read back as the same 100 bits.
    c.ulmexControlKeyLength = 100;
    memset(c.ulmexControlKey, 0xab, 13);
    c.ulmexControlKey[12] = 0xa0;
    dump.clear();
    ugw_dump_control(dump, &c);
    EXPECT_EQ(dump, "add control 'ctl.example'\nset control 'ctl.example' key "
                    "ababababababababababababa\n");
    ugw_command cmd;
    ASSERT_EQ(parse_line(lines_of(dump)[1], &cmd), 0);
    EXPECT_EQ(cmd.conf.u.hex.bits, 100);
    EXPECT_EQ(memcmp(cmd.conf.u.hex.bytes, c.ulmexControlKey, 13), 0);

    // Caching off, one port, default server ports, no secrets: only the add lines.
    ugw_dump_nas_record n{};
    strcpy(n.config.radiusAuthClientIdentifier, "nas one");
    n.config.radiusClientRequestPorts = 1;
    n.auth[0].radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    memcpy(n.auth[0].radiusAuthServerInetAddress, "\x0a\x00\x00\x01", 4);
    n.auth[0].radiusAuthClientServerInetPortNumber = 1812;
    n.acct[1].radiusAccServerInetAddressType = RADIUS_INET_IPV6;
    n.acct[1].radiusAccServerInetAddress[15] = 1;
    n.acct[1].radiusAccClientServerInetPortNumber = 1813;
    dump.clear();
    ugw_dump_nas_head(dump, &n);
    ugw_dump_nas_servers(dump, &n);
    EXPECT_EQ(dump, "add nas 'nas one'\nadd nas 'nas one' auth server 10.0.0.1\n"
                    "add nas 'nas one' acct server ::1\n");
    n.config.radiusClientCaching = 1;
    n.config.radiusClientRequestPorts = 3;
    n.auth[0].radiusAuthClientServerInetPortNumber = 11812;
    strcpy(n.auth[0].radiusAuthServerSharedSecret, "it's a \"secret\"");
    dump.clear();
    ugw_dump_nas_head(dump, &n);
    ugw_dump_nas_servers(dump, &n);
    EXPECT_EQ(dump, "add nas 'nas one'\nset nas 'nas one' ports 3\nset nas 'nas one' caching\n"
                    "add nas 'nas one' auth server 10.0.0.1\n"
                    "set nas 'nas one' auth server 10.0.0.1 port 11812\n"
                    "set nas 'nas one' auth server 10.0.0.1 secret it\\'s\\ a\\ \\\"secret\\\"\n"
                    "add nas 'nas one' acct server ::1\n");
    for (const std::string &l : lines_of(dump))
        EXPECT_EQ(parse_line(l, &cmd), 0) << l;
    EXPECT_EQ(std::string(cmd.nas), "nas one");

    // The longest name, every byte escaped: no line is cut.
    std::string longest(RADIUS_NAS_ID_SIZE - 1, '\xaf');
    memcpy(n.config.radiusAuthClientIdentifier, longest.data(), longest.size());
    dump.clear();
    ugw_dump_nas_head(dump, &n);
    ugw_dump_nas_servers(dump, &n);
    ASSERT_EQ(lines_of(dump).size(), 7u);
    for (const std::string &l : lines_of(dump)) {
        ASSERT_EQ(parse_line(l, &cmd), 0) << l;
        EXPECT_EQ(std::string(cmd.nas), longest);
    }
}

} // namespace
