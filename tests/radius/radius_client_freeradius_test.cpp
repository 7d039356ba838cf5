// The client in a small host over real UDP sockets, against real peers:
// FreeRADIUS answers its requests, radclient sends Disconnect-Request and
// CoA-Request to its DAS with filter files checking each reply, and tshark
// checks every Response Authenticator of the capture.
#include <gtest/gtest.h>

#include <set>
#include <spawn.h>

#include "radius_client_host.h"
#include "radius_db_host.h"
#include "radius_peer.h"

extern char **environ;

using namespace radius_test;
using T = radius_attr_type;

namespace
{

const char *const SECRET = "testing123";

uint8_t station(int n)
{
    return uint8_t(n);
}

void mac_of(int n, uint8_t mac[6])
{
    const uint8_t base[6] = {0x02, 0, 0, 0, 0, station(n)};
    memcpy(mac, base, 6);
}

std::string mac_text(int n)
{
    char buf[18];
    snprintf(buf, sizeof buf, "02:00:00:00:00:%02x", n);
    return buf;
}

// Stations are accepted; an Authorize-Only request with the CoA's State is
// answered with a Class that shows it arrived as sent.
std::string users()
{
    return "DEFAULT Service-Type == Authorize-Only, State == \"ao-state\", Auth-Type := Accept\n"
           "\tClass = \"authorize-only-seen\"\n"
           "DEFAULT Auth-Type := Accept\n"
           "\tSession-Timeout = 3600\n";
}

nas_setup setup_for(const freeradius &fr, bool caching = false, const char *server = "127.0.0.1")
{
    nas_setup s("nas-1", 1, caching);
    fill_auth_row(s.auth[0], fr.auth_port, SECRET, server);
    fill_acct_row(s.acct[0], fr.acct_port, SECRET);
    return s;
}

class FreeRadiusClient : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!have_program("freeradius"))
            GTEST_SKIP() << "freeradius is not installed (scripts/setup.sh radius installs it)";
        set_clock_ms(0);
        clock_refresh_offset();
        ASSERT_TRUE(fr.start(SECRET, users())) << fr.log();
    }
    void TearDown() override
    {
        if (!h.client) return;
        h.on_deauthorize = nullptr;
        while (radius_entry *e = radius_db_first_sess(h.client->_impl.db))
            radius_sess_delete(e);
    }
    // Sessions 1..n, authorized through FreeRADIUS; name per session or null.
    void grant(int first, int last, const char *name = nullptr)
    {
        size_t before = h.authorized.size();
        for (int n = first; n <= last; n++) {
            uint8_t mac[6];
            mac_of(n, mac);
            radius_entry *e = radius_client_create_sess(h.client, nullptr, mac, nullptr);
            ASSERT_TRUE(e);
            radius_db_authorize_sess(e, name);
        }
        size_t want = before + size_t(last - first + 1);
        ASSERT_TRUE(h.run_until([&] { return h.authorized.size() >= want; }, 5000)) << fr.log();
    }
    radius_entry *session(int n)
    {
        uint8_t mac[6];
        mac_of(n, mac);
        return radius_db_lookup_sess(h.client->_impl.db, mac);
    }
    // Runs radclient against the DAS while the host runs; its exit status.
    int radclient(const std::string &command, const std::string &secret, const std::string &request,
                  const std::string &filter, const char *retries = "1")
    {
        std::string req = fr.dir + "/req.txt", flt = fr.dir + "/filter.txt";
        std::ofstream(req) << request;
        std::ofstream(flt) << filter;
        std::string target = "127.0.0.1:" + std::to_string(h.das_port());
        std::string files = req + ":" + flt;
        const char *argv[] = {
            "radclient", "-q",          "-r",           retries,         "-t",           "1",
            "-f",        files.c_str(), target.c_str(), command.c_str(), secret.c_str(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "radclient", nullptr, nullptr, const_cast<char **>(argv), environ))
            return -1;
        h.wake_fd = int(syscall(SYS_pidfd_open, pid, 0));
        int status = -1;
        bool done = h.run_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
        close(h.wake_fd);
        h.wake_fd = -1;
        if (!done) {
            stop_child(pid);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    radiusDynAuthClientTable &row(int i) { return h.client->record.das[i]; }

    freeradius fr;
    client_host h{true};
};

TEST_F(FreeRadiusClient, RadclientAgainstTheDas)
{
    if (!have_program("radclient")) GTEST_SKIP() << "radclient is not installed (freeradius-utils)";
    ASSERT_TRUE(h.create(setup_for(fr)));
    h.tracing = true;
    grant(1, 2);
    grant(3, 5, "shared");
    grant(6, 7);

    // Disconnect by Calling-Station-Id, with the reason for the station.
    EXPECT_EQ(radclient("disconnect", SECRET,
                        "Calling-Station-Id = \"" + mac_text(1) + "\"\nWLAN-Reason-Code = 5\n",
                        "Response-Packet-Type == Disconnect-ACK\n"),
              0);
    ASSERT_EQ(h.deauthorized.size(), 1u);
    EXPECT_EQ(h.deauthorized[0].first, session(1));
    EXPECT_EQ(h.deauthorized[0].second, 5);

    // By Acct-Session-Id.
    std::string id = session(2)->acct_session_id;
    EXPECT_EQ(radclient("disconnect", SECRET, "Acct-Session-Id = \"" + id + "\"\n",
                        "Response-Packet-Type == Disconnect-ACK\n"),
              0);
    EXPECT_EQ(h.deauthorized.back().first, session(2));

    // By User-Name: every session of that user.
    EXPECT_EQ(radclient("disconnect", SECRET, "User-Name = \"shared\"\n",
                        "Response-Packet-Type == Disconnect-ACK\n"),
              0);
    std::set<radius_entry *> ended;
    for (auto &d : h.deauthorized)
        ended.insert(d.first);
    EXPECT_EQ(ended.size(), 5u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconUserSessRemoved, 5u);

    // CoA changing bandwidth and VLAN: the core gets the new authorization,
    // and accounting stops and starts again.
    size_t authorized = h.authorized.size();
    size_t acct_before = h.count(radius_code::accounting_request);
    EXPECT_EQ(radclient("coa", SECRET,
                        "Calling-Station-Id = \"" + mac_text(6) +
                            "\"\nWISPr-Bandwidth-Max-Up = 2000000\nTunnel-Type = VLAN\n"
                            "Tunnel-Medium-Type = IEEE-802\nTunnel-Private-Group-Id = \"100\"\n",
                        "Response-Packet-Type == CoA-ACK\n"),
              0);
    ASSERT_EQ(h.authorized.size(), authorized + 1);
    EXPECT_EQ(h.authorized.back(), session(6));
    EXPECT_EQ(session(6)->authz.bandwidth_up, 2000000u);
    EXPECT_EQ(radius_authz_vlan(&session(6)->authz), 100u);
    std::vector<uint32_t> status;
    for (size_t i = 0; i < h.sends.size(); i++)
        if (h.sends[i].msg->data[0] == uint8_t(radius_code::accounting_request))
            status.push_back(int_of(attrs_of(h.sends[i].msg)[40]));
    ASSERT_EQ(status.size(), acct_before + 2);
    EXPECT_EQ(status[status.size() - 2], 2u); // Stop
    EXPECT_EQ(status.back(), 1u);             // Start

    // A duplicate within 30 s: our own replay of radclient's CoA from its port.
    const client_host::traced *coa_req = nullptr, *coa_ack = nullptr;
    for (auto &t : h.trace) {
        if (t.data[0] == uint8_t(radius_code::coa_request)) coa_req = &t;
        if (t.data[0] == uint8_t(radius_code::coa_ack)) coa_ack = &t;
    }
    ASSERT_TRUE(coa_req && coa_ack);
    bytes replay = coa_req->data, first_answer = coa_ack->data;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in src = coa_req->from;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src), 0);
    sockaddr_in das = loopback(h.das_port());
    sendto(fd, replay.data(), replay.size(), 0, reinterpret_cast<sockaddr *>(&das), sizeof das);
    size_t sends = h.sends.size();
    ASSERT_TRUE(h.run_until([&] { return h.sends.size() > sends; }, 3000));
    uint8_t buf[4096];
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    close(fd);
    EXPECT_EQ(bytes(buf, buf + std::max<ssize_t>(r, 0)), first_answer);
    EXPECT_EQ(h.authorized.size(), authorized + 1) << "applied once";
    EXPECT_EQ(row(0).radiusDynAuthServDupCoARequests, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoAAcks, 1u);

    // Authorize-Only: NAK with 507, then FreeRADIUS sees Service-Type 17 and the State.
    EXPECT_EQ(radclient("coa", SECRET,
                        "Calling-Station-Id = \"" + mac_text(7) +
                            "\"\nService-Type = Authorize-Only\nState = \"ao-state\"\n",
                        "Response-Packet-Type == CoA-NAK\nState == \"ao-state\"\n"
                        "Service-Type == Authorize-Only\nError-Cause == Request-Initiated\n"
                        "Message-Authenticator =* 0x00\n"),
              0);
    ASSERT_TRUE(h.run_until([&] { return h.authorized.size() == authorized + 2; }, 5000))
        << fr.log();
    radius_entry *e7 = session(7);
    ASSERT_TRUE(e7 && e7->class_attr);
    EXPECT_EQ(
        std::string(reinterpret_cast<const char *>(e7->class_attr + 2), e7->class_attr[1] - 2u),
        "authorize-only-seen");

    // Unknown session, with Proxy-States to echo in order.
    EXPECT_EQ(
        radclient("disconnect", SECRET,
                  "Calling-Station-Id = \"" + mac_text(0x99) +
                      "\"\nProxy-State = 0x7031\nProxy-State = 0x7032\nProxy-State = 0x7033\n",
                  "Response-Packet-Type == Disconnect-NAK\n"
                  "Error-Cause == Session-Context-Not-Found\nProxy-State == 0x7031\n"
                  "Proxy-State == 0x7032\nProxy-State == 0x7033\nMessage-Authenticator =* 0x00\n"),
        0);
    EXPECT_EQ(row(0).radiusDynAuthServDisconNakSessNoContext, 1u);

    // Wrong secret: dropped, unanswered.
    EXPECT_EQ(radclient("disconnect", "wrong-secret", "User-Name = \"x\"\n",
                        "Response-Packet-Type == Disconnect-NAK\n"),
              1);
    EXPECT_EQ(row(0).radiusDynAuthServDisconBadAuthenticators, 1u);

    // tshark checks every answer's Response Authenticator and the Proxy-State order.
    if (!have_program("tshark"))
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh radius installs it)";
    std::vector<wire_datagram> wire;
    for (auto &t : h.trace)
        wire.push_back({t.from, t.to, t.data});
    std::string pcap = fr.dir + "/das.pcap";
    write_pcap(pcap, wire);
    std::string cmd = "tshark -n -r " + pcap + " -d udp.port==" + std::to_string(h.das_port()) +
                      ",radius -d udp.port==" + std::to_string(fr.auth_port) +
                      ",radius -d udp.port==" + std::to_string(fr.acct_port) +
                      ",radius -o radius.shared_secret:" + SECRET +
                      " -o radius.validate_authenticator:TRUE -T fields -E 'separator=;' "
                      "-e radius.code -e radius.authenticator.valid -e radius.Proxy_State 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_TRUE(f);
    std::string out;
    char line[1024];
    int answers = 0, valid = 0;
    std::string proxy;
    while (fgets(line, sizeof line, f)) {
        out += line;
        int code = atoi(line);
        if (code == 2 || code == 5 || code == 41 || code == 42 || code == 44 || code == 45) {
            answers++;
            std::string l = line;
            valid += l.find(";1;") != std::string::npos || l.find(";True;") != std::string::npos;
            if (code == 42 && l.find("7031") != std::string::npos)
                proxy = l.substr(l.rfind(';') + 1);
        }
    }
    pclose(f);
    EXPECT_GE(answers, 12) << out;
    EXPECT_EQ(valid, answers) << out;
    EXPECT_EQ(proxy, "7031,7032,7033\n") << out;
}

TEST_F(FreeRadiusClient, UnknownSourceIsCountedOnBothRows)
{
    if (!have_program("radclient")) GTEST_SKIP() << "radclient is not installed (freeradius-utils)";
    // The NAS's servers are elsewhere: radclient on 127.0.0.1 is no client of the DAS.
    nas_setup s = setup_for(fr, false, "127.0.0.3");
    fill_auth_row(s.auth[1], fr.auth_port, SECRET, "127.0.0.4");
    ASSERT_TRUE(h.create(s));
    EXPECT_EQ(radclient("disconnect", SECRET, "User-Name = \"x\"\n",
                        "Response-Packet-Type == Disconnect-NAK\n"),
              1);
    EXPECT_EQ(row(0).radiusDynAuthServerDisconInvalidClientAddresses, 1u);
    EXPECT_EQ(row(1).radiusDynAuthServerDisconInvalidClientAddresses, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconRequests, 0u);
}

TEST_F(FreeRadiusClient, ReconfigurationWithRequestsInFlightAndCachingSwitchedOff)
{
    ASSERT_TRUE(h.create(setup_for(fr, true)));
    grant(1, 3);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtAccessAccepts, 3u);

    // Ten more sessions ask; the NAS is modified before any answer is read.
    const int first = 10, last = 19;
    for (int n = first; n <= last; n++) {
        uint8_t mac[6];
        mac_of(n, mac);
        radius_db_authorize_sess(radius_client_create_sess(h.client, nullptr, mac, nullptr),
                                 nullptr);
    }
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPendingRequests, 10u);
    nas_setup more = setup_for(fr, true);
    more.config.radiusClientRequestPorts = 4;
    ASSERT_EQ(h.configure(more), 0);
    uint32_t now = clock_sec();
    const radius_nas_record &r = h.client->record;
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(r.auth[i].radiusAuthClientCounterDiscontinuity, now);
        EXPECT_EQ(r.acct[i].radiusAccClientCounterDiscontinuity, now);
        EXPECT_EQ(r.das[i].radiusDynAuthServerCounterDiscontinuity, now);
        EXPECT_EQ(r.auth[i].radiusAuthClientExtAccessAccepts, 0u);
        EXPECT_EQ(r.auth[i].radiusAuthClientExtPendingRequests, 0u);
        EXPECT_EQ(r.acct[i].radiusAccClientExtRequests, 0u);
    }
    // None is left waiting: each was answered or timed out.
    for (int n = first; n <= last; n++)
        EXPECT_NE(session(n)->state, RADIUS_STATE_AUTHORIZING) << n;
    // The late answers find no request on the new transport; drain them.
    h.run_until([&] { return r.auth[0].radiusAuthClientExtPacketsDropped >= 10; }, 3000);
    EXPECT_EQ(r.auth[0].radiusAuthClientExtPacketsDropped, 10u);

    // The new configuration works: the sessions ask again and are granted.
    size_t before = h.authorized.size();
    for (int n = first; n <= last; n++)
        radius_db_authorize_sess(session(n), nullptr);
    ASSERT_TRUE(h.run_until([&] { return h.authorized.size() >= before + 10; }, 5000)) << fr.log();
    EXPECT_EQ(r.auth[0].radiusAuthClientExtAccessAccepts, 10u);

    // Grants with a Session-Timeout are cached; switching caching off revokes each once.
    std::set<bytes> granted;
    for (int n : {1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
        uint8_t mac[6];
        mac_of(n, mac);
        granted.insert(bytes(mac, mac + 6));
    }
    h.revoked.clear();
    ASSERT_EQ(h.configure(setup_for(fr, false)), 0);
    EXPECT_EQ(std::set<bytes>(h.revoked.begin(), h.revoked.end()), granted);
    EXPECT_EQ(h.revoked.size(), granted.size());

    // 0 request ports with a server are refused; the running configuration stays.
    nas_setup zero = setup_for(fr);
    zero.config.radiusClientRequestPorts = 0;
    radius_nas *auth = h.client->_impl.auth;
    errno = 0;
    EXPECT_EQ(h.configure(zero), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(h.client->_impl.auth, auth);
    EXPECT_EQ(h.client->record.config.radiusClientRequestPorts, 1u);
}

} // namespace
