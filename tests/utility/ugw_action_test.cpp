// The configuration actions: PBKDF2 and the PSK against published vectors
// and wpa_passphrase, each record's set and unset, and one set run through
// the executor against the stand-in server.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <net/if.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/log.h"
#include "controller/ulmex.h"
#include "gateway/ugwd_control.h"
#include "gwc_fixture.h"
#include "radius/radius_mib.h"
#include "utility/ugw_action.h"
#include "utility/ugw_exec.h"
#include "utility/ugw_lex.h"

namespace
{

const std::string U = "0123abcd-0000-0000-0000-00000000beef";

std::string hex(const uint8_t *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

ugw_command parse(const std::string &line)
{
    std::string b = line;
    char *words[31];
    int n = ugw_split_words(b.data(), words, 31);
    ugw_command cmd{};
    EXPECT_EQ(ugw_parse_args(n, words, &cmd), 0) << line;
    return cmd;
}

TEST(Pbkdf2, MatchesRfc6070)
{
    struct {
        std::string password, salt;
        uint32_t iterations;
        const char *dk;
    } cases[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096,
         "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const auto &c : cases) {
        uint8_t out[25];
        size_t n = strlen(c.dk) / 2;
        ASSERT_EQ(pbkdf2_hmac_sha1(c.password.data(), c.password.size(), c.salt.data(),
                                   c.salt.size(), c.iterations, out, n),
                  0);
        EXPECT_EQ(hex(out, n), c.dk) << c.password << " " << c.iterations;
    }
    uint8_t out[20];
    EXPECT_EQ(pbkdf2_hmac_sha1("p", 1, "s", 1, 0, out, sizeof(out)), -1);
    EXPECT_EQ(errno, EINVAL);
}

// The PSK that wpa_passphrase prints for the SSID and passphrase.
std::string wpa_passphrase(const std::string &ssid, const std::string &passphrase)
{
    char path[] = "/tmp/ugw-psk-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "";
    FILE *f = fdopen(fd, "w");
    fprintf(f, "%s\n", passphrase.c_str());
    fclose(f);
    std::string cmd = "wpa_passphrase '" + ssid + "' < " + path + " 2>/dev/null";
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char line[256];
        while (fgets(line, sizeof(line), p))
            if (const char *k = strstr(line, "\tpsk=")) out.assign(k + 5, 64);
        pclose(p);
    }
    unlink(path);
    return out;
}

TEST(PskFromPassphrase, MatchesIeeeVectorsAndWpaPassphrase)
{
    uint8_t psk[32];
    struct {
        std::string ssid, passphrase, psk;
    } vectors[] = {
        {"IEEE", "password", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
        {"ThisIsASSID", "ThisIsAPassword",
         "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
    };
    for (const auto &v : vectors) {
        ASSERT_EQ(psk_from_passphrase(v.passphrase.c_str(),
                                      reinterpret_cast<const uint8_t *>(v.ssid.data()),
                                      v.ssid.size(), psk),
                  0);
        EXPECT_EQ(hex(psk, 32), v.psk) << v.ssid;
    }

    if (access("/usr/bin/wpa_passphrase", X_OK) != 0 && access("/usr/sbin/wpa_passphrase", X_OK))
        GTEST_SKIP() << "wpa_passphrase is not installed";
    struct {
        std::string ssid, passphrase;
    } peers[] = {
        {"home", "12345678"},
        {"r\xc3\xa9seau caf\xc3\xa9", std::string(63, 'z')},
        {std::string(32, 'S'), "a b~c!d\"e#"},
    };
    for (const auto &p : peers) {
        ASSERT_EQ(psk_from_passphrase(p.passphrase.c_str(),
                                      reinterpret_cast<const uint8_t *>(p.ssid.data()),
                                      p.ssid.size(), psk),
                  0);
        EXPECT_EQ(hex(psk, 32), wpa_passphrase(p.ssid, p.passphrase)) << p.ssid;
    }
}

TEST(PskFromPassphrase, RefusesWhatNoStationDerives)
{
    uint8_t psk[32];
    const uint8_t ssid[] = {'s'};
    const std::string a64(64, 'a');
    struct {
        const char *passphrase;
        size_t ssid_len;
        int err;
    } cases[] = {
        {"long enough", 0, ENOKEY}, {"seven77", 1, EINVAL},           {a64.c_str(), 1, EINVAL},
        {"tab\there!", 1, EINVAL},  {"caf\xc3\xa9 latte", 1, EINVAL},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(psk_from_passphrase(c.passphrase, ssid, c.ssid_len, psk), -1) << c.passphrase;
        EXPECT_EQ(errno, c.err) << c.passphrase;
    }
}

TEST(LogModules, EighteenNamesRoundTripAndJoin)
{
    for (unsigned bit = 0; bit < LOG_MODULES; bit++) {
        const char *name = log_module_name(bit);
        ASSERT_TRUE(name) << bit;
        EXPECT_EQ(log_module_lookup(name), 1u << bit) << name;
    }
    EXPECT_EQ(log_module_name(LOG_MODULES), nullptr);
    EXPECT_EQ(log_module_lookup("nosuch"), 0u);
    EXPECT_EQ(log_module_lookup("radius"), uint32_t(LOG_COMP_RADIUS));
    EXPECT_EQ(log_module_lookup("ipc"), uint32_t(LOG_COMP_IPC));
    EXPECT_EQ(log_module_lookup("dot11"), uint32_t(LOG_COMP_DOT11));

    char buf[160];
    EXPECT_EQ(format_log_module_mask(buf, sizeof(buf), LOG_COMP_FRLC | LOG_COMP_RADIUS, ','), 11);
    EXPECT_STREQ(buf, "frlc,radius");
    ASSERT_GT(format_log_module_mask(buf, sizeof(buf), LOG_COMP_ALL, ' '), 0);
    EXPECT_EQ(std::count(buf, buf + strlen(buf), ' '), 17);
    EXPECT_EQ(format_log_module_mask(buf, 8, LOG_COMP_FRLC | LOG_COMP_RADIUS, ','), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST(LogActions, ChangeTheSettings)
{
    const uint8_t mac[6] = {0, 0x11, 0x22, 0x33, 0x44, 0x55};
    log_cfg l{2, LOG_FMT_DATE, {}, LOG_COMP_DOT11};
    struct {
        std::string line;
        int rc;
        std::function<bool(const log_cfg &)> check;
    } steps[] = {
        {"set log trace 00:11:22:33:44:55", 1,
         [&](const log_cfg &c) { return c.level == 5 && !memcmp(c.trace_mac, mac, 6); }},
        {"unset log trace", 1,
         [](const log_cfg &c) { return c.level == 4 && c.trace_mac[0] == 0 && !c.trace_mac[5]; }},
        {"set log level 3", 1, [](const log_cfg &c) { return c.level == 3; }},
        {"set log level 3", 0, [](const log_cfg &c) { return c.level == 3; }},
        {"unset log level", 1, [](const log_cfg &c) { return c.level == 0; }},
        {"set log option pid time", 1,
         [](const log_cfg &c) { return c.format == (LOG_FMT_PID | LOG_FMT_DATE | LOG_FMT_TIME); }},
        {"unset log option date", 1,
         [](const log_cfg &c) { return c.format == (LOG_FMT_PID | LOG_FMT_TIME); }},
        {"set log module radius ipc", 1,
         [](const log_cfg &c) {
             return c.components == (LOG_COMP_DOT11 | LOG_COMP_RADIUS | LOG_COMP_IPC);
         }},
        {"unset log module dot11 radius", 1,
         [](const log_cfg &c) { return c.components == LOG_COMP_IPC; }},
        {"unset log module dot11", 0,
         [](const log_cfg &c) { return c.components == LOG_COMP_IPC; }},
        {"set log module radius bogus", -1,
         [](const log_cfg &c) { return c.components == LOG_COMP_IPC && errno == EINVAL; }},
    };
    for (const auto &s : steps) {
        ugw_command cmd = parse(s.line);
        int rc = cmd.kind == 5 ? ugw_set_log(&l, &cmd) : ugw_unset_log(&l, &cmd);
        EXPECT_EQ(rc, s.rc) << s.line;
        EXPECT_TRUE(s.check(l)) << s.line;
    }
}

TEST(RecordActions, ControlPortNasAndServers)
{
    ulmexControl control{};
    memset(control.ulmexControlKey, 0xee, sizeof(control.ulmexControlKey));
    ugw_command cmd = parse("set control c key 0123456789abcdef5");
    EXPECT_EQ(ugw_set_control(&control, &cmd), 1);
    EXPECT_EQ(control.ulmexControlKeyLength, 68);
    EXPECT_EQ(hex(control.ulmexControlKey, 10), "0123456789abcdef5000");
    EXPECT_EQ(ugw_set_control(&control, &cmd), 0);
    cmd = parse("unset control c key");
    EXPECT_EQ(ugw_unset_control(&control, &cmd), 1);
    EXPECT_EQ(control.ulmexControlKeyLength, 0);
    EXPECT_EQ(hex(control.ulmexControlKey, 2), "0000");

    ugwd_port_mib port{};
    struct {
        std::string line;
        int rc;
        const char *v4, *v6;
    } port_steps[] = {
        {"set port p ip 10.0.0.1", 1, "0a000001", "00000000"},
        {"set port p ip 2001:db8::1", 1, "0a000001", "20010db8"},
        {"unset port p ip 10.0.0.2", 0, "0a000001", "20010db8"},
        {"unset port p ip 10.0.0.1", 1, "00000000", "20010db8"},
        {"set port p ip 10.0.0.1", 1, "0a000001", "20010db8"},
        {"unset port p ip", 1, "00000000", "00000000"},
    };
    for (const auto &s : port_steps) {
        cmd = parse(s.line);
        EXPECT_EQ(cmd.kind == 17 ? ugw_set_port(&port, &cmd) : ugw_unset_port(&port, &cmd), s.rc)
            << s.line;
        EXPECT_EQ(hex(port.ulmexPortConfig, 4), s.v4) << s.line;
        EXPECT_EQ(hex(port.ulmexPortConfig6, 4), s.v6) << s.line;
    }

    radius_nas_config nas{};
    nas.radiusClientRequestPorts = 1;
    cmd = parse("set nas r ports 3");
    EXPECT_EQ(ugw_set_nas(&nas, &cmd), 1);
    cmd = parse("set nas r caching");
    EXPECT_EQ(ugw_set_nas(&nas, &cmd), 1);
    uint16_t word;
    memcpy(&word, reinterpret_cast<const uint8_t *>(&nas) + RADIUS_NAS_ID_SIZE, 2);
    EXPECT_EQ(word, 3 << 1 | 1); // count shifted left by one, caching in bit 0
    cmd = parse("unset nas r ports");
    EXPECT_EQ(ugw_unset_nas(&nas, &cmd), 1);
    EXPECT_EQ(nas.radiusClientRequestPorts, 1);
    cmd = parse("unset nas r caching");
    EXPECT_EQ(ugw_unset_nas(&nas, &cmd), 1);
    EXPECT_EQ(ugw_unset_nas(&nas, &cmd), 0);

    for (bool acct : {false, true}) {
        const std::string s =
            std::string("nas r ") + (acct ? "acct" : "auth") + " server 10.0.0.2 ";
        auto set = acct ? ugw_set_acct : ugw_set_auth;
        auto unset = acct ? ugw_unset_acct : ugw_unset_auth;
        radiusAuthClientServerExtTable row{};
        cmd = parse("set " + s + "port 1645");
        EXPECT_EQ(set(&row, &cmd), 1);
        EXPECT_EQ(row.radiusAuthClientServerInetPortNumber, 1645);
        cmd = parse("unset " + s + "port");
        EXPECT_EQ(unset(&row, &cmd), 1);
        EXPECT_EQ(row.radiusAuthClientServerInetPortNumber, acct ? 1813 : 1812);
        cmd = parse("set " + s + "secret 'it''s'");
        EXPECT_EQ(set(&row, &cmd), 1);
        EXPECT_STREQ(row.radiusAuthServerSharedSecret, cmd.conf.u.text);
        cmd = parse("set " + s + "secret " + std::string(64, 'x'));
        EXPECT_EQ(set(&row, &cmd), 1);
        cmd = parse("set " + s + "secret " + std::string(65, 'x'));
        EXPECT_EQ(set(&row, &cmd), -1); // refused, not cut
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(strlen(row.radiusAuthServerSharedSecret), 64u);
        cmd = parse("unset " + s + "secret");
        EXPECT_EQ(unset(&row, &cmd), 1);
        EXPECT_EQ(row.radiusAuthServerSharedSecret[0], 0);
    }
}

struct service_rec {
    ugwd_service_mib mib;
    dot11_auth_config dot11;
    uint8_t vap[UGW_SERVICE_VAP_PARAMS];
    uint8_t rest[116];
};

uint16_t frag_of(const service_rec &s)
{
    uint16_t v;
    memcpy(&v, s.vap + UGW_VAP_FRAG_AT, 2);
    return v;
}

uint8_t rekey_mode(const service_rec &s)
{
    return dot11_config_rekey_method(&s.dot11);
}

bool secure(const service_rec &s)
{
    return s.dot11.flags_a & DOT11_CFG_A_RSNA_ACTIVATED;
}

std::string r0kh(const service_rec &s)
{
    return std::string(reinterpret_cast<const char *>(s.dot11.dot11FTR0KeyHolderID),
                       s.dot11.r0kh_id_len);
}

class ServiceActions : public ::testing::Test
{
  protected:
    service_rec s{};
    void SetUp() override
    {
        uint8_t uuid[16] = {1, 2, 3};
        ugw_service_defaults(&s, uuid);
    }
    // Runs one sentence (set or unset) against the record; value overrides
    // what the sentence parsed, to reach checks the grammar already makes.
    int run(const std::string &words, std::function<void(ugw_command &)> tweak = {})
    {
        bool set = words.rfind("set ", 0) == 0;
        size_t sp = words.find(' ');
        ugw_command cmd = parse(words.substr(0, sp) + " service " + U + words.substr(sp));
        if (tweak) tweak(cmd);
        errno = 0;
        return set ? ugw_set_service(&s, &cmd) : ugw_unset_service(&s, &cmd);
    }
};

TEST_F(ServiceActions, DefaultsAreWhatTheDumpLeavesOut)
{
    EXPECT_EQ(s.mib.ulmexServiceId[2], 3);
    EXPECT_TRUE(s.vap[UGW_VAP_FLAGS_AT] & UGW_VAP_QOS);
    EXPECT_FALSE(s.vap[UGW_VAP_FLAGS_AT] & UGW_VAP_AMSDU);
    EXPECT_EQ(s.dot11.flags_b & (DOT11_CFG_B_SPP_CAPABLE | DOT11_CFG_B_SPP_REQUIRED),
              DOT11_CFG_B_SPP_CAPABLE); // auto
    EXPECT_EQ(frag_of(s), 65535);
    EXPECT_EQ(s.dot11.dot11BssMaxIdlePeriod, 292);
    EXPECT_EQ(s.dot11.dot11RSNAConfigGroupRekeyTime, 86400u);
    EXPECT_EQ(rekey_mode(s), DOT11_REKEY_TIME);
    EXPECT_EQ(s.dot11.dot11RSNAConfigPMKIDCacheSize, 8);
    EXPECT_EQ(s.dot11.dot11FTMobilityDomainID, 1);
    EXPECT_EQ(s.dot11.dot11FTReassociationDeadline, 1000u);
    EXPECT_EQ(s.mib.mode, 0);
    EXPECT_FALSE(secure(s));
    // Setting a default again changes nothing, so nothing is sent.
    for (const char *w : {"set qos", "unset amsdu agg", "set frag 65535", "set timeout 299",
                          "set amsdu spp auto", "set pmksa cache 8", "unset vni"})
        EXPECT_EQ(run(w), 0) << w;
}

TEST_F(ServiceActions, PlainSettings)
{
    struct {
        const char *words;
        int rc;
        std::function<bool(const service_rec &)> check;
        std::function<void(ugw_command &)> tweak = {};
    } steps[] = {
        {"set vni 4242", 1, [](auto &r) { return r.mib.ulmexServiceVNI == 4242; }},
        {"unset qos", 1, [](auto &r) { return !(r.vap[UGW_VAP_FLAGS_AT] & UGW_VAP_QOS); }},
        {"set amsdu agg", 1, [](auto &r) { return r.vap[UGW_VAP_FLAGS_AT] & UGW_VAP_AMSDU; }},
        {"set amsdu spp required", 1,
         [](auto &r) {
             return (r.vap[UGW_VAP_FLAGS_AT] & 3) == 3 && (r.dot11.flags_b & 0x06) == 0x06;
         }},
        {"set amsdu spp none", 1,
         [](auto &r) { return (r.vap[UGW_VAP_FLAGS_AT] & 3) == 0 && !(r.dot11.flags_b & 0x06); }},
        {"unset amsdu spp", 1, [](auto &r) { return (r.dot11.flags_b & 0x06) == 0x04; }},
        {"set frag 300", 1, [](auto &r) { return frag_of(r) == 300; }},
        {"set frag 300", 1, [](auto &r) { return frag_of(r) == 256; },
         [](ugw_command &c) { c.conf.u.value = 100; }},
        {"set frag 300", 1, [](auto &r) { return frag_of(r) == 65535; },
         [](ugw_command &c) { c.conf.u.value = 70000; }},
        // Rounded to the nearest unit, so that the dump's 299 s reloads as 292.
        {"set timeout 5000", 1, [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 4883; }},
        {"set timeout 299", 1, [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 292; }},
        {"set timeout 1", 1, [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 1; }},
        {"set timeout 67108", 1, [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 65535; }},
        {"set timeout 1", -1,
         [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 65535 && errno == EINVAL; },
         [](ugw_command &c) { c.conf.u.value = 67109; }},
        {"unset timeout", 1, [](auto &r) { return r.dot11.dot11BssMaxIdlePeriod == 292; }},
        {"set ft timeout 5000", 1,
         [](auto &r) { return r.dot11.dot11FTReassociationDeadline == 4882813; }},
        {"unset ft timeout", 1,
         [](auto &r) { return r.dot11.dot11FTReassociationDeadline == 1000; }},
        {"set broadcast control", 1, [](auto &r) { return r.mib.mode == 0x80; }},
        {"set multicast directed", 1, [](auto &r) { return r.mib.mode == 0xa0; }},
        {"set isolation flow", 1, [](auto &r) { return r.mib.mode == 0xa8; }},
        {"set nd proxy", 1, [](auto &r) { return r.mib.mode == 0xab; }},
        {"unset multicast", 1, [](auto &r) { return r.mib.mode == 0x8b; }},
        {"set nas 'the nas'", 1,
         [](auto &r) { return !strcmp(r.mib.ulmexRadiusNASIdentifier, "the nas"); }},
        {"set nas x", -1,
         [](auto &r) {
             return !strcmp(r.mib.ulmexRadiusNASIdentifier, "the nas") && errno == EINVAL;
         },
         [](ugw_command &c) { memset(c.conf.u.text, 'n', 254), c.conf.u.text[254] = 0; }},
        {"unset nas", 1, [](auto &r) { return r.mib.ulmexRadiusNASIdentifier[0] == 0; }},
        {"set pmksa cache 0", 1,
         [](auto &r) { return r.dot11.dot11RSNAConfigPMKIDCacheSize == 0; }},
        {"unset pmksa cache", 1,
         [](auto &r) { return r.dot11.dot11RSNAConfigPMKIDCacheSize == 8; }},
        {"unset group rekey time", 1,
         [](auto &r) { return rekey_mode(r) == DOT11_REKEY_DISABLED; }},
        {"set group rekey packets 100", 1,
         [](auto &r) { return rekey_mode(r) == DOT11_REKEY_PACKETS; }},
        {"set group rekey time 60", 1,
         [](auto &r) { return rekey_mode(r) == DOT11_REKEY_TIME_PACKETS; }},
        {"unset group rekey packets", 1, [](auto &r) { return rekey_mode(r) == DOT11_REKEY_TIME; }},
        {"set group rekey strict", 1,
         [](auto &r) { return r.dot11.flags_a & DOT11_CFG_A_REKEY_STRICT; }},
    };
    for (const auto &st : steps) {
        EXPECT_EQ(run(st.words, st.tweak), st.rc) << st.words;
        EXPECT_TRUE(st.check(s)) << st.words;
    }
}

TEST_F(ServiceActions, DevicesAreListedOnceAndAtMostFour)
{
    unsigned lo = if_nametoindex("lo");
    if (!lo) GTEST_SKIP() << "no loopback interface";
    EXPECT_EQ(run("set device lo"), 1);
    EXPECT_EQ(run("set device lo"), 0);
    EXPECT_EQ(s.mib.ulmexServiceIfCount, 1);
    EXPECT_EQ(s.mib.ulmexServiceIfIndices[0], lo);
    EXPECT_EQ(run("set device no-such-if0"), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(run("unset device lo"), 1);
    EXPECT_EQ(s.mib.ulmexServiceIfCount, 0);
    EXPECT_EQ(run("unset device lo"), 0);
    for (uint32_t i = 0; i < 4; i++)
        s.mib.ulmexServiceIfIndices[i] = 1000 + i;
    s.mib.ulmexServiceIfCount = 4;
    EXPECT_EQ(run("set device lo"), -1);
    EXPECT_EQ(errno, ENOSPC);
}

TEST_F(ServiceActions, SuitesSecurityAndTheKey)
{
    const std::string key(64, '5');
    auto akms = [&] {
        std::vector<uint32_t> v;
        for (uint32_t a : s.dot11.dot11RSNAConfigAuthenticationSuite)
            v.push_back(a);
        return v;
    };
    EXPECT_EQ(run("set psk passphrase 'long enough'"), -1); // no SSID yet
    EXPECT_EQ(errno, ENOKEY);
    EXPECT_EQ(run("set ssid " + std::string(33, 's')), -1); // refused, not cut
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(run("set ssid IEEE"), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(s.dot11.ssid)), "IEEE");
    EXPECT_EQ(run("set psk passphrase password"), 1);
    EXPECT_EQ(hex(s.dot11.dot11RSNAConfigPSKValue, 32),
              "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e");
    EXPECT_EQ(run("set ssid other"), 1); // the PSK depends on the SSID
    EXPECT_EQ(hex(s.dot11.dot11RSNAConfigPSKValue, 2), "0000");

    EXPECT_EQ(run("set rsn auth psk"), 1);
    EXPECT_EQ(run("set rsn auth psk"), 0); // listed once
    EXPECT_EQ(run("set wpa auth psk"), 1);
    EXPECT_EQ(run("set ft auth psk"), 1);
    EXPECT_EQ(akms(), (std::vector<uint32_t>{DOT11_AKM_PSK, DOT11_AKM_WPA_PSK, DOT11_AKM_FT_PSK, 0,
                                             0, 0, 0, 0}));
    EXPECT_TRUE(s.dot11.flags_b & DOT11_CFG_B_FT_ACTIVATED);
    EXPECT_EQ(r0kh(s), "other");
    EXPECT_EQ(run("set nas 'radius nas'"), 1);
    EXPECT_EQ(r0kh(s), "radius nas");
    EXPECT_EQ(run("set wpa cipher tkip"), 1);
    EXPECT_EQ(run("set rsn cipher ccmp"), 1);
    EXPECT_EQ(s.dot11.dot11RSNAConfigPairwiseCipher[0], DOT11_CIPHER_WPA_TKIP);
    EXPECT_EQ(s.dot11.dot11RSNAConfigPairwiseCipher[1], DOT11_CIPHER_CCMP);
    EXPECT_FALSE(secure(s));
    EXPECT_EQ(run("set group cipher ccmp"), 1);
    EXPECT_EQ(s.dot11.dot11RSNAConfigGroupCipher, DOT11_CIPHER_CCMP);
    // Security follows the suites: without a key a PSK service stays closed.
    EXPECT_TRUE(secure(s));
    EXPECT_EQ(run("set psk key " + key), 1);
    EXPECT_EQ(hex(s.dot11.dot11RSNAConfigPSKValue, 32), key);
    EXPECT_EQ(run("set psk key " + key, [](ugw_command &c) { c.conf.u.hex.bits = 128; }), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(run("unset psk key"), 1);
    EXPECT_TRUE(secure(s));
    EXPECT_EQ(run("unset ssid"), 1);
    EXPECT_TRUE(secure(s));

    EXPECT_EQ(run("unset wpa auth psk"), 1); // the gap closes, the order stays
    EXPECT_EQ(akms(), (std::vector<uint32_t>{DOT11_AKM_PSK, DOT11_AKM_FT_PSK, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(run("unset ft auth psk"), 1);
    EXPECT_FALSE(s.dot11.flags_b & DOT11_CFG_B_FT_ACTIVATED);
    EXPECT_EQ(r0kh(s), "");
    EXPECT_EQ(run("unset group cipher"), 1);
    EXPECT_FALSE(secure(s));
    EXPECT_EQ(run("set rsn preauth"), 1);
    EXPECT_TRUE(s.dot11.flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED);
    EXPECT_EQ(run("set ft over-ds"), 1);
    EXPECT_EQ(run("set ft mobility-domain 7"), 1);
    EXPECT_EQ(s.dot11.dot11FTMobilityDomainID, 7);
    EXPECT_EQ(run("unset ft mobility-domain"), 1);
    EXPECT_EQ(s.dot11.dot11FTMobilityDomainID, 1);

    // A full list refuses a new suite.
    for (uint32_t &c : s.dot11.dot11RSNAConfigPairwiseCipher)
        c = DOT11_AKM_8021X_SHA256;
    EXPECT_EQ(run("set rsn cipher tkip"), -1);
    EXPECT_EQ(errno, ENOSPC);
}

} // namespace

// The executor with the real actions: the record sent back carries the
// change, and a set that changes nothing sends nothing.
class ActionExec : public gwc_test::Gwc
{
  protected:
    std::vector<std::vector<uint8_t>> exec(const std::string &line)
    {
        ugw_command cmd = parse(line);
        fakegwd_clear_journal(fake);
        EXPECT_EQ(ugw_execute_on(c, &cmd, 0, &ugw_renderers, &ugw_actions), 0) << line;
        return fakegwd_journal(fake);
    }
};

TEST_F(ActionExec, SetSendsTheChangedRecordOnlyWhenItChanged)
{
    auto j = exec("set service " + U + " vni 42");
    ASSERT_EQ(j.size(), 2u);
    EXPECT_STREQ(ctl_msg_catalogue[ctl_get32(j[0].data(), 0)].name, "Get-Service");
    EXPECT_STREQ(ctl_msg_catalogue[ctl_get32(j[1].data(), 0)].name, "Modify-Service");
    ASSERT_GE(j[1].size(), 8u + 60);
    EXPECT_EQ(ctl_get32(j[1].data(), 8 + offsetof(ugwd_service_mib, ulmexServiceVNI)), 42u);
    // Served the default record, a set to its value sends nothing back.
    std::vector<uint8_t> reply = fakegwd_synthesize(j[0].data(), j[0].size());
    ASSERT_GE(reply.size(), 8 + UGW_SERVICE_RECORD);
    ugw_service_defaults(reply.data() + 8, j[0].data() + 8);
    fakegwd_set_reply(fake, ctl_get32(j[0].data(), 0), reply);
    j = exec("set service " + U + " vni 0");
    EXPECT_EQ(j.size(), 1u);
    j = exec("set service " + U + " frag 1500");
    ASSERT_EQ(j.size(), 2u);
    uint16_t frag;
    memcpy(&frag, j[1].data() + 8 + 768 + 280 + UGW_VAP_FRAG_AT, 2);
    EXPECT_EQ(frag, 1500);
}
