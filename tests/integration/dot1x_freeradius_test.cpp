// The 802.1X port, its EAP authenticator and the RADIUS back end against a
// real FreeRADIUS with its eap module (EAP-MD5), over UDP on loopback. The
// station is played here; the server is the judge of what our
// Access-Requests carry (EAP-Message, State, Message-Authenticator).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>

#include "common/crypto/md5.h"
#include "dot11/dot1x_port.h"
#include "radius/radius_auth.h"
#include "radius/radius_client_host.h"
#include "radius/radius_peer.h"

using namespace radius_test;

namespace
{

const uint8_t MAC[6] = {0x02, 0x00, 0x5e, 0x44, 0x00, 0x01};
constexpr const char *SECRET = "testing123";

// FreeRADIUS with the eap module and one user, in a directory of its own.
struct eap_server {
    std::string dir;
    pid_t pid = -1;
    uint16_t port = 0;
    bool start()
    {
        char tmpl[] = "/tmp/ugw-radius-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        port = free_udp_port();
        mkdir((dir + "/log").c_str(), 0700);
        mkdir((dir + "/run").c_str(), 0700);
        std::ofstream(dir + "/users") << "alice Cleartext-Password := \"right\"\n";
        std::ofstream(dir + "/radiusd.conf")
            << "prefix = /usr\nconfdir = " << dir << "\nlogdir = " << dir
            << "/log\nrun_dir = " << dir << "/run\nlibdir = /usr/lib/freeradius\npidfile = " << dir
            << "/run/radiusd.pid\nmax_request_time = 5\ncleanup_delay = 0\nhostname_lookups = no\n"
            << "log {\n destination = files\n file = " << dir << "/log/fr.log\n}\n"
            << "security {\n reject_delay = 0\n status_server = no\n}\n"
            << "client local {\n ipaddr = 127.0.0.0/8\n secret = " << SECRET
            << "\n require_message_authenticator = yes\n}\n"
            << "modules {\n files {\n  filename = " << dir << "/users\n }\n"
            << " eap {\n  default_eap_type = md5\n  timer_expire = 60\n  md5 {\n  }\n }\n}\n"
            << "server default {\n listen {\n  type = auth\n  ipaddr = 127.0.0.1\n  port = " << port
            << "\n }\n authorize {\n  files\n  eap {\n   ok = return\n  }\n }\n"
            << " authenticate {\n  eap\n }\n post-auth {\n }\n}\n";
        pid = start_freeradius(dir);
        return pid > 0;
    }
    ~eap_server()
    {
        stop_child(pid);
        if (!dir.empty()) (void)system(("rm -rf " + dir).c_str());
    }
};

// A station that knows one password and answers Identity and MD5-Challenge.
struct station {
    std::string password;
    std::deque<bytes> inbox;     // EAPOL frames from the port
    std::vector<uint8_t> finals; // EAP codes of Success / Failure received

    // Its answer to a frame of the port, or nothing.
    bytes answer(const bytes &f)
    {
        if (f.size() < 8 || f[1] != DOT1X_EAPOL_EAP) return {};
        const uint8_t *e = f.data() + 4;
        if (e[0] == EAP_CODE_SUCCESS || e[0] == EAP_CODE_FAILURE) {
            finals.push_back(e[0]);
            return {};
        }
        if (e[0] != EAP_CODE_REQUEST || f.size() < 9) return {};
        bytes data;
        if (e[4] == EAP_TYPE_IDENTITY) {
            data = {EAP_TYPE_IDENTITY, 'a', 'l', 'i', 'c', 'e'};
        } else if (e[4] == 4 && f.size() >= 10 && size_t(e[5]) + 10 <= f.size()) {
            md5_ctx c;
            uint8_t h[16];
            md5_init(&c);
            md5_update(&c, &e[1], 1);
            md5_update(&c, password.data(), password.size());
            md5_update(&c, e + 6, e[5]);
            md5_final(&c, h);
            data = {4, 16};
            data.insert(data.end(), h, h + 16);
        } else {
            data = {3, 4}; // Nak: MD5 only
        }
        size_t n = 4 + data.size();
        bytes out{
            2,         0, uint8_t(n >> 8), uint8_t(n), EAP_CODE_RESPONSE, e[1], uint8_t(n >> 8),
            uint8_t(n)};
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
};

const dot1x_ops port_ops = {
    .send = [](void *u, packet *p) { static_cast<station *>(u)->inbox.push_back(bytes_of(p)); },
    .notify = [](void *) {},
    // Retransmissions are not needed on loopback: the station answers at once.
    .timer_start = [](void *, timer *, uint32_t, timer_fn) {},
    .timer_stop = [](void *, timer *) {},
};

struct outcome {
    uint8_t pae;
    std::vector<uint8_t> finals;
    dot11_pae_result res;
    dot1xAuthStats st;
    dot1xAuthDiag diag;
    std::string identity;
};

outcome authenticate(eap_server &fr, const std::string &password)
{
    outcome o{};
    client_host h(true);
    nas_setup s("nas-1", 1);
    fill_auth_row(s.auth[0], fr.port, SECRET);
    EXPECT_TRUE(h.create(s));
    radius_entry *sess = radius_client_create_sess(h.client, nullptr, MAC, nullptr);
    EXPECT_TRUE(sess);
    station sta{password, {}, {}};
    dot1x_port *port = dot1x_auth_create(&port_ops, &sta, &radius_eap_aaa_ops, h.client, MAC,
                                         &dot1x_config_template, &o.st, &o.diag, h.pool.get());
    EXPECT_TRUE(port);
    if (!port) return o;
    dot1x_auth_set_enabled(port, true);
    dot1x_auth_kick(port);
    auto settled = [&] {
        while (!sta.inbox.empty()) {
            bytes f = sta.inbox.front();
            sta.inbox.pop_front();
            bytes a = sta.answer(f);
            if (a.empty()) continue;
            packet *p = packet_of(h.pool.get(), a);
            dot1x_auth_recv(port, p);
            packet_release(p);
        }
        return !sta.finals.empty();
    };
    EXPECT_TRUE(h.run_until(settled, 5000)) << read_file(fr.dir + "/log/fr.log");
    o.pae = dot1x_pae_state(port->config);
    o.finals = sta.finals;
    dot1x_pae_ops.result(port, &o.res);
    if (o.res.identity) o.identity = o.res.identity;
    o.st = *port->stats;
    o.diag = *port->diag;
    dot1x_auth_delete(port);
    radius_sess_delete(sess);
    return o;
}

TEST(Dot1xFreeRadius, Md5SucceedsWithoutKeysAndWrongPasswordFails)
{
    if (!have_program("freeradius")) GTEST_SKIP() << "freeradius is not installed";
    eap_server fr;
    ASSERT_TRUE(fr.start()) << "FreeRADIUS did not start";

    outcome ok = authenticate(fr, "right");
    EXPECT_EQ(ok.finals, (std::vector<uint8_t>{EAP_CODE_SUCCESS}));
    EXPECT_EQ(ok.pae, DOT1X_PAE_AUTHENTICATED);
    EXPECT_TRUE(ok.res.auth_success);
    EXPECT_FALSE(ok.res.key_available); // EAP-MD5 derives no keys: the key cache fails the station
    EXPECT_EQ(ok.identity, "alice");
    // Identity request and response, challenge and response, Success.
    EXPECT_EQ(ok.st.dot1xAuthEapolFramesTx, 3u);
    EXPECT_EQ(ok.st.dot1xAuthEapolReqIdFramesTx, 1u);
    EXPECT_EQ(ok.st.dot1xAuthEapolReqFramesTx, 1u);
    EXPECT_EQ(ok.st.dot1xAuthEapolFramesRx, 2u);
    EXPECT_EQ(ok.st.dot1xAuthEapolRespIdFramesRx, 1u);
    EXPECT_EQ(ok.st.dot1xAuthEapolRespFramesRx, 1u);
    EXPECT_EQ(ok.diag.dot1xAuthBackendResponses, 2u);
    EXPECT_EQ(ok.diag.dot1xAuthBackendAccessChallenges, 1u);
    EXPECT_EQ(ok.diag.dot1xAuthBackendAuthSuccesses, 1u);
    EXPECT_EQ(ok.diag.dot1xAuthAuthSuccessWhileAuthenticating, 1u);

    outcome bad = authenticate(fr, "wrong");
    EXPECT_EQ(bad.finals, (std::vector<uint8_t>{EAP_CODE_FAILURE}));
    EXPECT_EQ(bad.pae, DOT1X_PAE_HELD);
    EXPECT_FALSE(bad.res.auth_success);
    EXPECT_EQ(bad.diag.dot1xAuthBackendAuthFails, 1u);
    EXPECT_EQ(bad.diag.dot1xAuthAuthFailWhileAuthenticating, 1u);
}

} // namespace
