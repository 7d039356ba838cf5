// The transport against FreeRADIUS on loopback: FreeRADIUS checks our
// requests (it requires a valid Message-Authenticator), we check its
// answers, and tshark checks every Response Authenticator on the way.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "radius/radius_codec.h"
#include "radius/radius_mib.h"
#include "radius/radius_nas.h"
#include "radius_peer.h"
#include "radius_test_util.h"

using namespace radius_test;
using T = radius_attr_type;

namespace {

const char *const SECRET = "testing123";
const char *const SECRET2 = "other-secret-456";

std::string hex(const bytes &b)
{
    std::string s;
    char buf[3];
    for (uint8_t c : b) {
        snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

bytes key_bytes(uint8_t first, int step)
{
    bytes k(32);
    for (int i = 0; i < 32; i++)
        k[size_t(i)] = uint8_t(first + step * i);
    return k;
}

const bytes SEND_KEY = key_bytes(0x00, 1);
const bytes RECV_KEY = key_bytes(0xf0, -3);

// Station 01 is accepted with MPPE keys, 02 with a signed Accept, others rejected.
std::string users()
{
    return "\"02-00-00-00-00-01\" Auth-Type := Accept\n"
           "\tMS-MPPE-Send-Key = 0x" + hex(SEND_KEY) + ",\n"
           "\tMS-MPPE-Recv-Key = 0x" + hex(RECV_KEY) + "\n"
           "\"02-00-00-00-00-02\" Auth-Type := Accept\n"
           "\tMessage-Authenticator = 0x00000000000000000000000000000000\n"
           "DEFAULT Auth-Type := Reject\n";
}

packet *new_request(mempool *pool, radius_code code)
{
    packet *p = packet_alloc(pool, RADIUS_HDR_LEN);
    memset(p->data, 0, RADIUS_HDR_LEN);
    p->data[0] = static_cast<uint8_t>(code);
    radius_set_length(p);
    radius_append_str(p, T::nas_identifier, "ugw-test");
    return p;
}

// A MAC-authenticated station's Call-Check Access-Request.
packet *call_check(mempool *pool, const char *mac)
{
    packet *p = new_request(pool, radius_code::access_request);
    radius_append_str(p, T::user_name, mac);
    radius_append_int(p, T::service_type, 10);
    radius_append_str(p, T::calling_station_id, mac);
    return p;
}

packet *accounting_start(mempool *pool, const char *mac)
{
    packet *p = new_request(pool, radius_code::accounting_request);
    radius_append_int(p, T::acct_status_type, 1);
    radius_append_str(p, T::acct_session_id, "0000ABCD");
    radius_append_str(p, T::user_name, mac);
    return p;
}

const uint8_t LOOPBACK[4] = {127, 0, 0, 1};

void point_row(radiusAuthClientServerExtTable &r, uint16_t port, const char *secret)
{
    r.radiusAuthServerInetAddressType = RADIUS_INET_IPV4;
    memcpy(r.radiusAuthServerInetAddress, LOOPBACK, 4);
    r.radiusAuthClientInetAddressType = RADIUS_INET_IPV4;
    memcpy(r.radiusAuthClientInetAddress, LOOPBACK, 4);
    r.radiusAuthClientServerInetPortNumber = port;
    strcpy(r.radiusAuthServerSharedSecret, secret);
}

void point_row(radiusAccClientServerExtTable &r, uint16_t port, const char *secret)
{
    r.radiusAccServerInetAddressType = RADIUS_INET_IPV4;
    memcpy(r.radiusAccServerInetAddress, LOOPBACK, 4);
    r.radiusAccClientInetAddressType = RADIUS_INET_IPV4;
    memcpy(r.radiusAccClientInetAddress, LOOPBACK, 4);
    r.radiusAccClientServerInetPortNumber = port;
    strcpy(r.radiusAccServerSharedSecret, secret);
}

// The value of a decrypted MS-MPPE key attribute: length byte, then the key.
bytes decrypted_key(const bytes &msg, uint8_t vendor_type)
{
    for (size_t off = RADIUS_HDR_LEN; off + 2 <= msg.size(); off += msg[off + 1]) {
        const uint8_t *a = msg.data() + off;
        if (a[0] == 26 && a[1] > 11 && radius_load32(a + 2) == RADIUS_VENDOR_MICROSOFT &&
            a[6] == vendor_type)
            return bytes(a + 11, a + 11 + a[10]);
        if (a[1] < 2)
            break;
    }
    return {};
}

struct nas_deleter {
    void operator()(radius_nas *n) const { radius_nas_destroy(n); }
};
using nas_ptr = std::unique_ptr<radius_nas, nas_deleter>;

class FreeRadius : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!have_program("freeradius"))
            GTEST_SKIP() << "freeradius is not installed (scripts/setup.sh radius installs it)";
        set_clock_ms(0);
        clock_refresh_offset();
        rec.config.radiusClientRequestPorts = 1;
    }
    radius_nas_record rec{};
    pool_ptr pool = make_pool();
    std::vector<packet_ptr> held; // released before the pool
    packet *hold(packet *p)
    {
        held.emplace_back(p);
        return p;
    }
};

TEST_F(FreeRadius, AnswersCallCheckAndAccountingWithKeysWeDecrypt)
{
    freeradius fr;
    ASSERT_TRUE(fr.start(SECRET, users())) << fr.log();
    point_row(rec.auth[0], fr.auth_port, SECRET);
    point_row(rec.acct[0], fr.acct_port, SECRET);
    udp_host auth_host(1, pool.get()), acct_host(1, pool.get());
    radius_nas_ops auth_ops = auth_host.ops(), acct_ops = acct_host.ops();
    nas_ptr auth(radius_nas_create_auth(&rec.config, rec.auth, &auth_ops, &auth_host));
    nas_ptr acct(radius_nas_create_acct(&rec.config, rec.acct, &acct_ops, &acct_host));
    ASSERT_TRUE(auth && acct);
    // An unsigned Accept (the server never signed yet) with both keys.
    auto a = auth_host.exchange(auth.get(), hold(call_check(pool.get(), "02-00-00-00-00-01")));
    ASSERT_EQ(a.server, 0) << fr.log();
    EXPECT_EQ(a.data[0], 2);
    EXPECT_EQ(decrypted_key(a.data, RADIUS_MS_MPPE_SEND_KEY), SEND_KEY);
    EXPECT_EQ(decrypted_key(a.data, RADIUS_MS_MPPE_RECV_KEY), RECV_KEY);

    auto r = auth_host.exchange(auth.get(), hold(call_check(pool.get(), "02-00-00-00-00-03")));
    ASSERT_EQ(r.server, 0);
    EXPECT_EQ(r.data[0], 3);

    // A signed Accept verifies; from now on this server must sign.
    auto s = auth_host.exchange(auth.get(), hold(call_check(pool.get(), "02-00-00-00-00-02")));
    ASSERT_EQ(s.server, 0);
    EXPECT_EQ(s.data[0], 2);
    ASSERT_EQ(s.data[20], 80) << "FreeRADIUS signed it";
    packet *again = hold(call_check(pool.get(), "02-00-00-00-00-01"));
    auto u = auth_host.exchange(auth.get(), again);
    EXPECT_EQ(u.server, -1) << "an unsigned Accept after a signed one";
    EXPECT_EQ(rec.auth[0].radiusAuthClientExtBadAuthenticators, 1u);
    radius_nas_cancel(auth.get(), again);

    auto c = acct_host.exchange(acct.get(), hold(accounting_start(pool.get(), "02-00-00-00-00-01")));
    ASSERT_EQ(c.server, 0) << fr.log();
    EXPECT_EQ(c.data[0], 5);

    EXPECT_EQ(rec.auth[0].radiusAuthClientExtAccessRequests, 4u);
    EXPECT_EQ(rec.auth[0].radiusAuthClientExtAccessAccepts, 2u);
    EXPECT_EQ(rec.auth[0].radiusAuthClientExtAccessRejects, 1u);
    EXPECT_EQ(rec.auth[0].radiusAuthClientExtPendingRequests, 0u);
    EXPECT_EQ(rec.auth[0].radiusAuthClientExtAccessRetransmissions, 0u);
    EXPECT_EQ(rec.acct[0].radiusAccClientExtResponses, 1u);
    EXPECT_EQ(rec.acct[0].radiusAccClientExtPendingRequests, 0u);

    // tshark checks the Response Authenticator of every answer against its request.
    if (!have_program("tshark"))
        GTEST_SKIP() << "tshark is not installed (scripts/setup.sh radius installs it)";
    std::vector<wire_datagram> wire = auth_host.wire;
    wire.insert(wire.end(), acct_host.wire.begin(), acct_host.wire.end());
    std::string pcap = fr.dir + "/radius.pcap";
    write_pcap(pcap, wire);
    std::string cmd = "tshark -n -r " + pcap + " -d udp.port==" + std::to_string(fr.auth_port) +
                      ",radius -d udp.port==" + std::to_string(fr.acct_port) +
                      ",radius -o radius.shared_secret:" + SECRET +
                      " -o radius.validate_authenticator:TRUE -T fields -E separator=, "
                      "-e radius.code -e radius.authenticator.valid -e radius.authenticator.invalid"
                      " 2>&1";
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_TRUE(f);
    std::string out;
    char line[512];
    int responses = 0, valid = 0;
    while (fgets(line, sizeof line, f)) {
        out += line;
        int code = atoi(line);
        if (code == 2 || code == 3 || code == 5) {
            responses++;
            valid += std::string(line).find(",1,") != std::string::npos ||
                     std::string(line).find(",True,") != std::string::npos;
        }
    }
    pclose(f);
    EXPECT_EQ(responses, 5) << out;
    EXPECT_EQ(valid, 5) << out;
}

// With the primary gone, the transport turns to the secondary only after a
// request has waited more than 4 s for the primary.
TEST_F(FreeRadius, SwitchesToTheSecondaryWhenThePrimaryStops)
{
    freeradius primary, secondary;
    ASSERT_TRUE(primary.start(SECRET, users())) << primary.log();
    ASSERT_TRUE(secondary.start(SECRET2, users())) << secondary.log();
    point_row(rec.auth[0], primary.auth_port, SECRET);
    point_row(rec.auth[1], secondary.auth_port, SECRET2);
    udp_host host(1, pool.get());
    radius_nas_ops ops = host.ops();
    nas_ptr nas(radius_nas_create_auth(&rec.config, rec.auth, &ops, &host));
    ASSERT_TRUE(nas);
    ASSERT_EQ(host.exchange(nas.get(), hold(call_check(pool.get(), "02-00-00-00-00-03"))).server, 0);
    primary.stop();

    packet *waiting = hold(call_check(pool.get(), "02-00-00-00-00-03"));
    clock_refresh_offset();
    ASSERT_EQ(radius_nas_send(nas.get(), waiting, -1, nullptr), 0);
    int64_t sent_at = monotonic_ms();
    ASSERT_TRUE(host.run_until(nas.get(), [&] { return nas->current == 1; }, 9000));
    int64_t waited = monotonic_ms() - sent_at;
    EXPECT_GT(waited, 4000);
    EXPECT_LT(waited, 7500);
    EXPECT_GE(rec.auth[0].radiusAuthClientExtAccessRetransmissions, 1u) << "tried the primary first";

    // New requests go to the secondary, which checks them with its own secret.
    auto a = host.exchange(nas.get(), hold(call_check(pool.get(), "02-00-00-00-00-01")));
    EXPECT_EQ(a.server, 1) << secondary.log();
    EXPECT_EQ(a.data[0], 2);
    EXPECT_EQ(decrypted_key(a.data, RADIUS_MS_MPPE_SEND_KEY), SEND_KEY);
    EXPECT_EQ(rec.auth[1].radiusAuthClientExtAccessAccepts, 1u);
    radius_nas_cancel(nas.get(), waiting);
}

} // namespace
