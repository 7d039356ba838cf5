// The BSS authenticator against real peers: tshark, given only the
// passphrase, derives the keys from a capture of our exchanges and must find
// the TK and GTK we installed; wpa_supplicant on a veth pair answers our
// 4-way handshake as a station.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <fstream>
#include <set>

#include "dot11/dot11_auth.h"
#include "tests/dot11/dot11_test_util.h"
#include "tests/dot11/sta_sim.h"

namespace {

const uint8_t kBss[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};

struct peer_case {
    const char *name;
    uint8_t akm_type; // 0: WPA-PSK with TKIP
    const char *ssid;
    const char *passphrase;
};

void PrintTo(const peer_case &c, std::ostream *os)
{
    *os << c.name;
}

// The authenticator and the simulated station, every frame between them
// written down as it would appear on the air.
struct capture_bss {
    sim::host h;
    dot11_auth auth{};
    dot11_rsna sta{};
    sim::station s{};
    std::vector<bytes> air;
    size_t mgmt_seen = 0, ether_seen = 0;
    uint16_t seq = 1;

    capture_bss(const peer_case &c)
    {
        clock_monotonic_sec = 1000;
        clock_monotonic_usec = 1;
        memcpy(s.mac, kSta, 6);
        memcpy(s.bss, kBss, 6);
        s.ssid = c.ssid;
        s.pmk = sim::psk_from_passphrase(c.passphrase, c.ssid);
        s.wpa = c.akm_type == 0;
        s.ie = s.wpa ? sim::kWpaTkip : sim::rsn_ie(c.akm_type);
        s.akm_type = s.wpa ? 2 : c.akm_type;
        s.version = s.wpa ? 1 : c.akm_type == 6 ? 3 : 2;
        uint32_t akm = s.wpa ? DOT11_AKM_WPA_PSK : dot11_suite(0, 0x0f, 0xac, c.akm_type);
        dot11_auth_config cfg = sim::psk_config(kBss, c.ssid, s.pmk, akm, s.wpa);
        cfg.dot11RSNAConfigGroupRekeyTime = 600;
        started = dot11_auth_init(&auth, &cfg, &h.ops, nullptr, h.pool) == 0 &&
                  dot11_auth_attach_sta(&auth, &sta, kSta) == 0;
    }
    ~capture_bss()
    {
        dot11_auth_detach_sta(&sta);
        dot11_auth_stop(&auth);
    }
    bool started = false;

    // What the authenticator sent since the last call, onto the air.
    void drain()
    {
        for (; mgmt_seen < h.mgmt.size(); mgmt_seen++)
            air.push_back(h.mgmt[mgmt_seen]);
        for (; ether_seen < h.ether.size(); ether_seen++)
            air.push_back(eapol_data_frame(false, kBss, kSta, bytes(h.ether[ether_seen].begin() + 14,
                                                                     h.ether[ether_seen].end()), seq++));
    }
    void mgmt(const bytes &f)
    {
        air.push_back(f);
        h.mlme(&sta, f);
        drain();
    }
    void eapol(const bytes &eth)
    {
        ASSERT_GT(eth.size(), 14u);
        air.push_back(eapol_data_frame(true, kBss, kSta, bytes(eth.begin() + 14, eth.end()), seq++));
        h.tods(&sta, eth);
        drain();
    }
    bytes last_ether() const
    {
        return h.ether.empty() ? bytes() : h.ether.back();
    }
    const sim::key_event *last_key(bool group) const
    {
        for (auto it = h.keys.rbegin(); it != h.keys.rend(); ++it)
            if (it->group == group)
                return &*it;
        return nullptr;
    }
};

// TKIP for the test's own protected frames, written from the cipher's
// definition: the key mixing's S-box is derived from the AES S-box.
struct tkip_sbox {
    uint16_t t[256];
    tkip_sbox()
    {
        auto mul = [](uint8_t a, uint8_t b) {
            uint8_t p = 0;
            for (; b; b >>= 1, a = uint8_t(a << 1 ^ (a & 0x80 ? 0x1b : 0)))
                if (b & 1)
                    p ^= a;
            return p;
        };
        for (int i = 0; i < 256; i++) {
            uint8_t inv = 0;
            for (int j = 1; j < 256 && i; j++)
                if (mul(uint8_t(i), uint8_t(j)) == 1)
                    inv = uint8_t(j);
            uint8_t s = 0x63;
            for (int k = 0; k < 5; k++)
                s ^= uint8_t(inv << k | inv >> (8 - k));
            t[i] = uint16_t(mul(s, 2) << 8 | mul(s, 3));
        }
    }
    uint16_t operator()(uint16_t v) const
    {
        uint16_t hi = t[v >> 8];
        return uint16_t(t[v & 0xff] ^ uint16_t(hi << 8 | hi >> 8));
    }
};

bytes tkip_rc4_key(const uint8_t *tk, const uint8_t ta[6], uint64_t tsc)
{
    static const tkip_sbox S;
    auto mk = [](uint8_t hi, uint8_t lo) { return uint16_t(hi << 8 | lo); };
    auto tk16 = [&](int n) { return mk(tk[2 * n + 1], tk[2 * n]); };
    auto rotr1 = [](uint16_t v) { return uint16_t(v >> 1 | v << 15); };
    uint32_t iv32 = uint32_t(tsc >> 16);
    uint16_t iv16 = uint16_t(tsc);
    uint16_t p[6] = {uint16_t(iv32), uint16_t(iv32 >> 16), mk(ta[1], ta[0]), mk(ta[3], ta[2]), mk(ta[5], ta[4])};
    for (int i = 0; i < 8; i++) {
        int j = 2 * (i & 1);
        p[0] = uint16_t(p[0] + S(p[4] ^ mk(tk[1 + j], tk[0 + j])));
        p[1] = uint16_t(p[1] + S(p[0] ^ mk(tk[5 + j], tk[4 + j])));
        p[2] = uint16_t(p[2] + S(p[1] ^ mk(tk[9 + j], tk[8 + j])));
        p[3] = uint16_t(p[3] + S(p[2] ^ mk(tk[13 + j], tk[12 + j])));
        p[4] = uint16_t(p[4] + S(p[3] ^ mk(tk[1 + j], tk[0 + j])) + i);
    }
    p[5] = uint16_t(p[4] + iv16);
    for (int i = 0; i < 6; i++)
        p[i] = uint16_t(p[i] + S(p[(i + 5) % 6] ^ tk16(i)));
    p[0] = uint16_t(p[0] + rotr1(p[5] ^ tk16(6)));
    p[1] = uint16_t(p[1] + rotr1(p[0] ^ tk16(7)));
    for (int i = 2; i < 6; i++)
        p[i] = uint16_t(p[i] + rotr1(p[i - 1]));
    bytes key = {uint8_t(iv16 >> 8), uint8_t(((iv16 >> 8) | 0x20) & 0x7f), uint8_t(iv16),
                 uint8_t((p[5] ^ tk16(0)) >> 1)};
    for (int i = 0; i < 6; i++) {
        key.push_back(uint8_t(p[i]));
        key.push_back(uint8_t(p[i] >> 8));
    }
    return key;
}

bytes michael(const uint8_t *key, const bytes &data)
{
    auto le32 = [](const uint8_t *b) { return uint32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24); };
    auto rol = [](uint32_t v, int n) { return v << n | v >> (32 - n); };
    uint32_t l = le32(key), r = le32(key + 4);
    bytes m = data;
    m.push_back(0x5a);
    m.resize((m.size() + 3) / 4 * 4 + 4, 0);
    for (size_t i = 0; i < m.size(); i += 4) {
        l ^= le32(&m[i]);
        r ^= rol(l, 17);
        l += r;
        r ^= (l & 0xff00ff00) >> 8 | (l & 0x00ff00ff) << 8;
        l += r;
        r ^= rol(l, 3);
        l += r;
        r ^= rol(l, 30);
        l += r;
    }
    return {uint8_t(l), uint8_t(l >> 8), uint8_t(l >> 16), uint8_t(l >> 24),
            uint8_t(r), uint8_t(r >> 8), uint8_t(r >> 16), uint8_t(r >> 24)};
}

uint32_t crc32(const bytes &b)
{
    uint32_t c = 0xffffffff;
    for (uint8_t x : b) {
        c ^= x;
        for (int k = 0; k < 8; k++)
            c = c >> 1 ^ (c & 1 ? 0xedb88320 : 0);
    }
    return ~c;
}

// A TKIP-protected data frame with one ARP request, as the station sends it
// (pairwise key) or the BSS broadcasts it (group key). The key holds the
// temporal key, the authenticator's and the station's MIC keys.
bytes tkip_data_frame(const uint8_t bssid[6], const uint8_t sta[6], bool to_ds, const uint8_t *key,
                      uint8_t key_id, uint64_t tsc)
{
    static const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    bytes h(DOT11_HDR_LEN);
    h[0] = 0x08;
    h[1] = uint8_t((to_ds ? 0x01 : 0x02) | 0x40);
    memcpy(&h[DOT11_HDR_ADDR1], to_ds ? bssid : broadcast, 6);
    memcpy(&h[DOT11_HDR_ADDR2], to_ds ? sta : bssid, 6);
    memcpy(&h[DOT11_HDR_ADDR3], to_ds ? broadcast : sta, 6);
    h[DOT11_HDR_SEQ] = 0x40;
    const uint8_t *da = broadcast, *sa = sta;
    const uint8_t *ta = to_ds ? sta : bssid;
    bytes iv = {uint8_t(tsc >> 8), uint8_t(((tsc >> 8) | 0x20) & 0x7f), uint8_t(tsc), uint8_t(0x20 | key_id << 6),
                uint8_t(tsc >> 16), uint8_t(tsc >> 24), uint8_t(tsc >> 32), uint8_t(tsc >> 40)};
    bytes plain = {0xaa, 0xaa, 0x03, 0x00, 0x00, 0x00, 0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    plain.insert(plain.end(), sa, sa + 6);
    plain = plain + bytes{192, 0, 2, 1} + bytes(6, 0) + bytes{192, 0, 2, 2};
    bytes mic_in(da, da + 6);
    mic_in.insert(mic_in.end(), sa, sa + 6);
    mic_in = mic_in + bytes{0, 0, 0, 0} + plain;
    plain = plain + michael(key + (to_ds ? 24 : 16), mic_in);
    uint32_t icv = crc32(plain);
    plain = plain + bytes{uint8_t(icv), uint8_t(icv >> 8), uint8_t(icv >> 16), uint8_t(icv >> 24)};
    bytes rc4key = tkip_rc4_key(key, ta, tsc);
    sim::rc4(rc4key.data(), rc4key.size(), plain.data(), plain.size(), 0);
    return h + iv + plain;
}

class TsharkAuth : public ::testing::TestWithParam<peer_case> {
  protected:
    void SetUp() override
    {
        if (!have_program("tshark"))
            GTEST_SKIP() << "tshark is not installed (scripts/setup.sh installs it)";
    }
};

// Association, 4-way handshake (and WPA's group handshake), a timed GTK
// rekey, and a protected frame under each key we installed: tshark decrypts
// each only with the keys it derived from the passphrase and the capture.
TEST_P(TsharkAuth, FindsTheKeysWeInstalled)
{
    const peer_case &c = GetParam();
    capture_bss b(c);
    ASSERT_TRUE(b.started);
    b.mgmt(b.s.auth_req());
    b.mgmt(b.s.assoc_req());
    bytes m1 = b.last_ether();
    ASSERT_FALSE(m1.empty());
    b.eapol(b.s.answer_1of4(m1));
    bytes m4 = b.s.answer_3of4(b.last_ether());
    ASSERT_FALSE(m4.empty()) << "3/4 did not verify";
    b.eapol(m4);
    if (b.s.wpa)
        b.eapol(b.s.answer_group(b.last_ether()));
    ASSERT_EQ(b.h.authorized, 1);
    const sim::key_event *tk = b.last_key(false), *gtk1 = b.last_key(true);
    ASSERT_TRUE(tk && gtk1);
    // tshark shows the part of a TKIP key that the RC4 mixing uses.
    size_t shown = b.s.wpa ? 16 : tk->key.size();
    auto key_hex = [&](const bytes &k) { return tohex(k.data(), shown); };
    auto protect = [&](bool to_ds, const sim::key_event *k, uint64_t pn) {
        uint8_t id = uint8_t(k->group ? k->id : 0);
        b.air.push_back(b.s.wpa ? tkip_data_frame(kBss, kSta, to_ds, k->key.data(), id, pn)
                                : ccmp_data_frame(kBss, kSta, to_ds, k->key.data(), id, pn));
    };
    std::set<std::string> want_tk = {key_hex(tk->key)}, want_gtk = {key_hex(gtk1->key)};
    protect(true, tk, 1);
    protect(false, gtk1, 1);

    // The GTK rekey: its Group 1/2 carries the new key under the KEK.
    bytes first_gtk = gtk1->key;
    b.h.advance(600000);
    b.eapol(b.s.answer_group(b.last_ether()));
    const sim::key_event *gtk2 = b.last_key(true);
    ASSERT_NE(gtk2->key, first_gtk);
    ASSERT_EQ(b.s.gtk, gtk2->key);
    want_gtk.insert(key_hex(gtk2->key));
    protect(false, gtk2, 2);

    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string pcap = dir.path + "/bss.pcap";
    write_pcap(pcap, b.air);
    auto rows = tshark_keys(pcap, c.passphrase, c.ssid);
    ASSERT_EQ(rows.size(), b.air.size());
    std::set<std::string> tks, gtks;
    for (const tshark_row &r : rows) {
        if (!r.tk.empty())
            tks.insert(r.tk);
        if (!r.gtk.empty())
            gtks.insert(r.gtk);
    }
    EXPECT_EQ(tks, want_tk);
    EXPECT_EQ(gtks, want_gtk);
}

const peer_case kCases[] = {
    {"RsnPskCcmp", 2, "ulmex-test", "correct horse battery"},
    {"RsnPskSha256Ccmp", 6, "gateway-256", "another passphrase"},
    {"WpaPskTkip", 0, "ThisIsASSID", "ThisIsAPassword"},
};
INSTANTIATE_TEST_SUITE_P(Dot11, TsharkAuth, ::testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

// wpa_supplicant's wired driver in a namespace of its own, behind a veth
// pair whose other end the test reads and writes with a packet socket. It
// takes the PAE group address for the authenticator's.
const uint8_t kPaeGroup[6] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x03};

struct wired_supplicant {
    std::string ns, outer, inner, dir;
    pid_t pid = -1;
    int log_fd = -1, sock = -1;
    std::string log;

    bool start(const std::string &conf_dir, const std::string &ssid, const std::string &pass, const uint8_t mac[6])
    {
        std::string id = std::to_string(getpid());
        ns = "ugw-bss-" + id;
        outer = "ugwb" + id + "a";
        inner = "ugwb" + id + "b";
        char addr[18];
        snprintf(addr, sizeof addr, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
        std::string conf = conf_dir + "/wpa.conf";
        std::ofstream(conf) << "ap_scan=0\nnetwork={\n ssid=\"" << ssid << "\"\n key_mgmt=WPA-PSK\n proto=RSN\n"
                            << " pairwise=CCMP\n group=CCMP\n psk=\"" << pass << "\"\n}\n";
        std::string setup = "ip netns add " + ns + " && ip link add " + outer + " type veth peer name " + inner +
                            " && ip link set " + inner + " netns " + ns + " && ip -n " + ns + " link set " + inner +
                            " address " + addr + " up && ip link set " + outer + " up && echo ok";
        if (run(setup + " 2>&1") != "ok\n")
            return false;
        sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_PAE));
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_PAE);
        ll.sll_ifindex = int(if_nametoindex(outer.c_str()));
        if (sock < 0 || ll.sll_ifindex == 0 || bind(sock, reinterpret_cast<sockaddr *>(&ll), sizeof ll) < 0)
            return false;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) < 0)
            return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
        std::vector<std::string> args = {"ip", "netns", "exec", ns, "wpa_supplicant", "-D", "wired", "-i", inner,
                                         "-c", conf, "-dd"};
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawnp(&pid, "ip", &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        log_fd = fds[0];
        return rc == 0;
    }
    ~wired_supplicant()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (log_fd >= 0)
            close(log_fd);
        if (sock >= 0)
            close(sock);
        if (!ns.empty())
            run("ip link del " + outer + " 2>/dev/null; ip netns del " + ns + " 2>/dev/null");
    }
    static int remaining(std::chrono::steady_clock::time_point end)
    {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        return ms.count() > 0 ? int(ms.count()) : 0;
    }
    // Reads its debug output until the text appears or the bound passes.
    bool wait_log(const std::string &text, int bound_ms = 3000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
        while (log.find(text) == std::string::npos) {
            pollfd p = {log_fd, POLLIN, 0};
            if (poll(&p, 1, remaining(end)) <= 0)
                return false;
            char buf[4096];
            ssize_t n = read(log_fd, buf, sizeof buf);
            if (n <= 0)
                return false;
            log.append(buf, size_t(n));
        }
        return true;
    }
    void send(const bytes &eth) const
    {
        ASSERT_EQ(::send(sock, eth.data(), eth.size(), 0), ssize_t(eth.size()));
    }
    // The next EAPOL-Key frame it sends, or nothing within the bound.
    bytes recv_key(int bound_ms = 3000) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
        for (;;) {
            pollfd p = {sock, POLLIN, 0};
            if (poll(&p, 1, remaining(end)) <= 0)
                return {};
            uint8_t buf[2048];
            ssize_t n = recv(sock, buf, sizeof buf, 0);
            if (n > ssize_t(14 + EAPOL_KEY_DATA) && buf[14 + 1] == 3)
                return bytes(buf, buf + n);
        }
    }
};

TEST(wired_supplicant, AnswersOurHandshake)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    if (!have_program("wpa_supplicant"))
        GTEST_SKIP() << "wpa_supplicant is not installed (scripts/setup.sh installs it)";
    const std::string ssid = "ulmex-wired", pass = "correct horse battery";
    temp_dir dir;
    ASSERT_FALSE(dir.path.empty());
    wired_supplicant w;
    ASSERT_TRUE(w.start(dir.path, ssid, pass, kSta)) << "could not set up the namespace and veth pair";
    ASSERT_TRUE(w.wait_log("Associated with 01:80:c2:00:00:03")) << w.log;

    clock_monotonic_sec = 1000;
    clock_monotonic_usec = 1;
    sim::host h;
    sim::station s{};
    memcpy(s.mac, kSta, 6);
    memcpy(s.bss, kPaeGroup, 6);
    s.ssid = ssid;
    s.pmk = sim::psk_from_passphrase(pass, ssid);
    s.ie = sim::rsn_ie(2); // what the supplicant announces as its own
    dot11_auth_config cfg = sim::psk_config(kPaeGroup, ssid, s.pmk, DOT11_AKM_PSK, false);
    dot11_auth auth{};
    dot11_rsna sta{};
    ASSERT_EQ(dot11_auth_init(&auth, &cfg, &h.ops, nullptr, h.pool), 0);
    ASSERT_EQ(dot11_auth_attach_sta(&auth, &sta, kSta), 0);
    struct cleanup {
        dot11_auth *a;
        dot11_rsna *s;
        ~cleanup()
        {
            dot11_auth_detach_sta(s);
            dot11_auth_stop(a);
        }
    } guard{&auth, &sta};

    h.mlme(&sta, s.auth_req());
    h.mlme(&sta, s.assoc_req());
    bytes m1 = h.take_ether();
    ASSERT_FALSE(m1.empty());
    w.send(m1);
    bytes m2 = w.recv_key();
    ASSERT_FALSE(m2.empty()) << "no 2/4 from wpa_supplicant\n" << w.log;

    // Our MIC check takes its 2/4: 3/4 follows, which it accepts.
    h.tods(&sta, m2);
    bytes m3 = h.take_ether();
    ASSERT_FALSE(m3.empty()) << "2/4 of wpa_supplicant refused";
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_CALC_NEGOTIATING3);
    w.send(m3);
    // Its MIC check and the unwrap of the key data pass before it parses the
    // GTK KDE. It then stops: the wired driver has no beacon element to
    // compare ours with, so it never sends 4/4.
    EXPECT_TRUE(w.wait_log("WPA: GTK in EAPOL-Key")) << w.log;
    EXPECT_NE(w.log.find("WPA: RSN IE in EAPOL-Key - hexdump(len=22): 30 14 01 00 00 0f ac 04 01 00 00 0f ac 04 "
                         "01 00 00 0f ac 02 00 00"),
              std::string::npos)
        << w.log;
    EXPECT_EQ(w.log.find("Invalid EAPOL-Key MIC"), std::string::npos) << w.log;

    // The simulated station, with the supplicant's SNonce, has its PTK and finishes.
    s.snonce.assign(m2.begin() + 14 + EAPOL_KEY_NONCE, m2.begin() + 14 + EAPOL_KEY_NONCE + 32);
    s.answer_1of4(m1);
    EXPECT_TRUE(s.mic_ok(m2.data() + 14, m2.size() - 14)) << "libcrypto disagrees on the 2/4 MIC";
    bytes m4 = s.answer_3of4(m3);
    ASSERT_FALSE(m4.empty());
    h.tods(&sta, m4);
    EXPECT_EQ(h.authorized, 1);
    EXPECT_EQ(sta.r1kh_state, DOT11_R1KH_FT_PTK_INIT_DONE);
}

} // namespace
