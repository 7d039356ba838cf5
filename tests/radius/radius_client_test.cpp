// The RADIUS client as the daemon core drives it: configuration and its
// all-or-nothing reconfiguration, datagram routing, the NAS-Identifier peek,
// EAP transactions across a reconfiguration and the forwarders.
#include <gtest/gtest.h>

#include "radius_client_host.h"
#include "radius_db_host.h"

using namespace radius_test;
using T = radius_attr_type;

namespace
{

const uint8_t MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t MAC2[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x66};
constexpr uint64_t START = 7000000;

nas_setup full_setup(uint16_t ports = 1, bool caching = false)
{
    nas_setup s("nas-1", ports, caching);
    fill_auth_row(s.auth[0], 1812);
    fill_auth_row(s.auth[1], 1812, "second-secret", "127.0.0.2");
    fill_acct_row(s.acct[0], 1813);
    return s;
}

class RadiusClient : public testing::Test
{
  protected:
    void SetUp() override { set_clock_ms(START); }
    // A session that sent its Access-Request.
    radius_entry *start(client_host &h, const uint8_t *mac = MAC)
    {
        radius_entry *e = radius_client_create_sess(h.client, nullptr, mac, nullptr);
        EXPECT_TRUE(e);
        radius_db_authorize_sess(e, nullptr);
        return e;
    }
};

// A back end that keeps its exchange through an abort, as one waiting for
// its station would; it detaches only when told.
struct sticky_auth {
    radius_auth base{&ops, "user"};
    radius_entry *entry = nullptr;
    int aborts = 0;
    static sticky_auth *of(radius_auth *a) { return reinterpret_cast<sticky_auth *>(a); }
    static inline const radius_auth_ops ops = {
        .abort = [](radius_auth *a) { of(a)->aborts++; },
        .destroy = [](radius_auth *a) { radius_client_detach_auth(of(a)->entry); },
        .recv = [](radius_auth *, packet *) {},
    };
};

TEST_F(RadiusClient, ConfigurationNumbersRowsAndMirrorsTheDasRows)
{
    client_host h;
    nas_setup s = full_setup();
    // A secret of 64 characters: the DAS row keeps it whole and terminated.
    std::string long_secret(64, 'k');
    strncpy(s.auth[0].radiusAuthServerSharedSecret, long_secret.c_str(), RADIUS_SECRET_SIZE);
    s.auth[0].radiusAuthClientExtAccessRequests = 99; // counters are never taken over
    ASSERT_TRUE(h.create(s));
    const radius_nas_record &r = h.client->record;
    EXPECT_STREQ(r.config.radiusAuthClientIdentifier, "nas-1");
    EXPECT_TRUE(h.client->_impl.auth && h.client->_impl.acct && h.client->_impl.das);
    uint32_t now = clock_sec();
    for (uint8_t i = 0; i < 2; i++) {
        EXPECT_EQ(r.auth[i].radiusAuthServerExtIndex, i);
        EXPECT_EQ(r.acct[i].radiusAccServerExtIndex, i);
        EXPECT_EQ(r.das[i].radiusDynAuthClientIndex, i);
        EXPECT_EQ(r.auth[i].radiusAuthClientCounterDiscontinuity, now);
        EXPECT_EQ(r.acct[i].radiusAccClientCounterDiscontinuity, now);
        EXPECT_EQ(r.das[i].radiusDynAuthServerCounterDiscontinuity, now);
        EXPECT_EQ(r.das[i].radiusDynAuthClientAddressType,
                  s.auth[i].radiusAuthServerInetAddressType);
        EXPECT_EQ(0, memcmp(r.das[i].radiusDynAuthClientAddress,
                            s.auth[i].radiusAuthServerInetAddress, 16));
        EXPECT_EQ(r.das[i].radiusDynAuthServerAddressType,
                  s.auth[i].radiusAuthClientInetAddressType);
        EXPECT_EQ(0, memcmp(r.das[i].radiusDynAuthServerAddress,
                            s.auth[i].radiusAuthClientInetAddress, 16));
    }
    EXPECT_EQ(r.auth[0].radiusAuthClientExtAccessRequests, 0u);
    EXPECT_EQ(std::string(r.das[0].radiusDynAuthSharedSecret), long_secret);
    EXPECT_STREQ(r.das[1].radiusDynAuthSharedSecret, "second-secret");
    EXPECT_EQ(r.acct[1].radiusAccServerInetAddressType, RADIUS_INET_NONE);
}

TEST_F(RadiusClient, WithoutPrimaryAuthServerThereIsNoTransportNorDas)
{
    client_host h;
    nas_setup s("nas-1", 1);
    fill_acct_row(s.acct[0], 1813);
    ASSERT_TRUE(h.create(s));
    EXPECT_FALSE(h.client->_impl.auth);
    EXPECT_FALSE(h.client->_impl.das);
    EXPECT_TRUE(h.client->_impl.acct);
    radius_entry *e = radius_client_create_sess(h.client, nullptr, MAC, nullptr);
    radius_db_authorize_sess(e, nullptr);
    EXPECT_EQ(h.authorized.size(), 1u);
    EXPECT_EQ(h.count(radius_code::access_request), 0u);
    // A dynamic-authorization request is ignored, unanswered.
    size_t before = h.sends.size();
    h.deliver(das_request(radius_code::disconnect_request, 1,
                          attr(T::calling_station_id, "02:11:22:33:44:55")),
              loopback(40000), -1);
    EXPECT_EQ(h.sends.size(), before);
    EXPECT_TRUE(h.deauthorized.empty());
    radius_sess_delete(e);
}

TEST_F(RadiusClient, RefusedConfigurationsLeaveThePreviousOneInForce)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup()));
    radius_nas *auth = h.client->_impl.auth;
    radius_das *das = h.client->_impl.das;
    radius_nas_record before = h.client->record;
    struct bad {
        const char *what;
        std::function<void(nas_setup &)> spoil;
    } cases[] = {
        {"0 request ports", [](nas_setup &s) { s.config.radiusClientRequestPorts = 0; }},
        {"257 request ports", [](nas_setup &s) { s.config.radiusClientRequestPorts = 257; }},
        {"unterminated auth secret",
         [](nas_setup &s) { memset(s.auth[0].radiusAuthServerSharedSecret, 'x', 65); }},
        {"unterminated name",
         [](nas_setup &s) {
             memset(s.config.radiusAuthClientIdentifier, 'x', RADIUS_NAS_ID_SIZE);
         }},
    };
    for (auto &c : cases) {
        nas_setup s = full_setup();
        strcpy(s.config.radiusAuthClientIdentifier, "nas-2");
        c.spoil(s);
        set_clock_ms(START + 5000);
        errno = 0;
        EXPECT_EQ(h.configure(s), -1) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
        EXPECT_EQ(h.client->_impl.auth, auth) << c.what;
        EXPECT_EQ(h.client->_impl.das, das) << c.what;
        EXPECT_EQ(0, memcmp(&before, &h.client->record, sizeof before)) << c.what;
    }
    // Without any server, 0 ports are fine.
    nas_setup none("nas-3", 0);
    EXPECT_EQ(h.configure(none), 0);
    EXPECT_FALSE(h.client->_impl.auth);
    EXPECT_FALSE(h.client->_impl.das);
}

// Servers come before their secrets (one command each): a server without a
// secret stays in the record, unused, until its secret comes.
TEST_F(RadiusClient, ServersWithoutSecretsAreKeptButNotAsked)
{
    client_host h;
    nas_setup s = full_setup();
    s.auth[0].radiusAuthServerSharedSecret[0] = 0;
    s.acct[0].radiusAccServerSharedSecret[0] = 0;
    ASSERT_TRUE(h.create(s));
    EXPECT_FALSE(h.client->_impl.auth);
    EXPECT_FALSE(h.client->_impl.das);
    EXPECT_FALSE(h.client->_impl.acct);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthServerInetAddressType,
              s.auth[0].radiusAuthServerInetAddressType);

    // A secondary without a secret: the primary alone is asked.
    s = full_setup();
    s.auth[1].radiusAuthServerSharedSecret[0] = 0;
    ASSERT_EQ(h.configure(s), 0);
    ASSERT_TRUE(h.client->_impl.auth);
    EXPECT_EQ(radius_nas_send(h.client->_impl.auth, nullptr, 1, nullptr), -1);
    radius_entry *e = start(h);
    EXPECT_EQ(h.count(radius_code::access_request), 1u);
    // Nor does the DAS take requests in its name, signed with no secret.
    size_t before = h.sends.size();
    uint32_t unknown = h.client->record.das[1].radiusDynAuthServerDisconInvalidClientAddresses;
    h.deliver(das_request(radius_code::disconnect_request, 1,
                          attr(T::calling_station_id, "02:11:22:33:44:55"), ""),
              loopback(40000, "127.0.0.2"), -1);
    EXPECT_EQ(h.sends.size(), before);
    EXPECT_TRUE(h.deauthorized.empty());
    EXPECT_EQ(h.client->record.das[1].radiusDynAuthServerDisconInvalidClientAddresses, unknown + 1);
    radius_sess_delete(e);
}

TEST_F(RadiusClient, ReconfigurationResetsCountersAndReportsRequestsInFlightTimedOut)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup()));
    radius_entry *e = start(h);
    packet *old_request = h.last(radius_code::access_request);
    ASSERT_TRUE(old_request);
    EXPECT_EQ(e->state, RADIUS_STATE_AUTHORIZING);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtAccessRequests, 1u);
    radius_nas *old_auth = h.client->_impl.auth;

    set_clock_ms(START + 60000);
    nas_setup s = full_setup(2);
    ASSERT_EQ(h.configure(s), 0);
    EXPECT_NE(h.client->_impl.auth, old_auth);
    EXPECT_NE(e->state, RADIUS_STATE_AUTHORIZING);
    const radius_nas_record &r = h.client->record;
    EXPECT_EQ(r.config.radiusClientRequestPorts, 2u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(r.auth[i].radiusAuthClientCounterDiscontinuity, START / 1000 + 60);
        EXPECT_EQ(r.acct[i].radiusAccClientCounterDiscontinuity, START / 1000 + 60);
        EXPECT_EQ(r.das[i].radiusDynAuthServerCounterDiscontinuity, START / 1000 + 60);
        EXPECT_EQ(r.auth[i].radiusAuthClientExtPendingRequests, 0u);
        EXPECT_EQ(r.auth[i].radiusAuthClientExtTimeouts, 0u);
    }
    // The late answer to the old request finds no request of the new transport.
    h.answer(old_request, radius_code::access_accept, {});
    EXPECT_TRUE(h.authorized.empty());
    EXPECT_EQ(r.auth[0].radiusAuthClientExtPacketsDropped, 1u);
    radius_sess_delete(e);
}

TEST_F(RadiusClient, ResponsesAreRoutedByCodeAndPort)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup(2)));
    radius_entry *e = start(h);
    packet *req = h.last(radius_code::access_request);
    ASSERT_TRUE(req);
    int port = h.sends.back().port;
    // Out-of-range ports and codes that no transport takes are ignored.
    bytes accept = message(radius_code::access_accept, req->data[1], {});
    for (int p : {2, 3, -2})
        h.deliver(accept, loopback(1812), p);
    h.deliver(message(radius_code::access_request, 0, {}), loopback(1812), port);
    h.deliver(message(radius_code::coa_ack, 0, {}), loopback(1812), port);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPacketsDropped +
                  h.client->record.auth[0].radiusAuthClientExtUnknownTypes +
                  h.client->record.acct[0].radiusAccClientExtUnknownTypes,
              0u);
    EXPECT_TRUE(h.authorized.empty());
    h.answer(req, radius_code::access_accept, {});
    ASSERT_EQ(h.authorized.size(), 1u);
    // The Start goes to the accounting server and its answer to the accounting transport.
    packet *start_req = h.last(radius_code::accounting_request);
    ASSERT_TRUE(start_req);
    h.answer(start_req, radius_code::accounting_response, {}, CLIENT_SECRET, 1813);
    EXPECT_EQ(h.client->record.acct[0].radiusAccClientExtResponses, 1u);
    radius_sess_delete(e);
}

TEST_F(RadiusClient, SendAndDiscardTowardsARemovedTransport)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup()));
    radius_entry *e = start(h);
    packet *req = packet_copy(h.last(radius_code::access_request));
    // Modify-NAS removes every server while the core still holds the session.
    ASSERT_EQ(h.configure(nas_setup("nas-1", 1)), 0);
    log_capture log;
    radius_db *db = h.client->_impl.db;
    EXPECT_EQ(db->ops.send(db->user, req, -1, nullptr), 0);
    EXPECT_TRUE(log.has("has no authentication server"));
    db->ops.discard(db->user, req);
    EXPECT_TRUE(log.has("to cancel"));
    // A request of no kind the client sends is refused.
    req->data[0] = uint8_t(radius_code::coa_request);
    errno = 0;
    EXPECT_EQ(db->ops.send(db->user, req, -1, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    packet_release(req);
    radius_sess_delete(e);
}

TEST_F(RadiusClient, SwitchingCachingOffRevokesEveryEntryOnce)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup(1, true)));
    for (const uint8_t *mac : {MAC, MAC2}) {
        radius_entry *e = start(h, mac);
        h.answer(h.last(radius_code::access_request), radius_code::access_accept,
                 attr(T::session_timeout, int_bytes(3600)));
        radius_sess_delete(e);
    }
    EXPECT_TRUE(h.revoked.empty());
    // Caching stays on: nothing is revoked by the reconfiguration itself.
    ASSERT_EQ(h.configure(full_setup(1, true)), 0);
    EXPECT_TRUE(h.revoked.empty());
    ASSERT_EQ(h.configure(full_setup(1, false)), 0);
    ASSERT_EQ(h.revoked.size(), 2u);
    EXPECT_NE(h.revoked[0], h.revoked[1]);
    ASSERT_EQ(h.configure(full_setup(1, false)), 0);
    EXPECT_EQ(h.revoked.size(), 2u);
}

TEST_F(RadiusClient, EapTransactionNeverLeaksIntoAnotherTransport)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup()));
    radius_client_create_sess(h.client, nullptr, MAC, nullptr);
    radius_client_create_sess(h.client, nullptr, MAC2, nullptr);
    sticky_auth a1, a2;
    radius_entry *e1 = radius_client_attach_auth(h.client, MAC, &a1.base);
    ASSERT_TRUE(e1);
    a1.entry = e1;
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPendingTransactions, 1u);
    ASSERT_EQ(h.configure(full_setup()), 0);
    EXPECT_EQ(a1.aborts, 1);
    EXPECT_LT(e1->send_token, 0);
    // A transaction on the new transport, then the old exchange detaches.
    radius_entry *e2 = radius_client_attach_auth(h.client, MAC2, &a2.base);
    ASSERT_TRUE(e2);
    a2.entry = e2;
    int reserved = e2->send_token;
    radius_client_detach_auth(e1);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPendingTransactions, 1u);
    radius_nas *nas = h.client->_impl.auth;
    EXPECT_TRUE(nas->bitmap[uint32_t(reserved) / 32] & (1u << (uint32_t(reserved) % 32)));
    radius_client_detach_auth(e2);
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPendingTransactions, 0u);
    radius_client_detach_auth(nullptr);
    // Without a session there is nothing to attach, and the identifier goes back.
    EXPECT_FALSE(radius_client_attach_auth(h.client, (const uint8_t *)"\x02\0\0\0\0\1", &a1.base));
    EXPECT_EQ(h.client->record.auth[0].radiusAuthClientExtPendingTransactions, 0u);
    radius_sess_delete(radius_db_lookup_sess(h.client->_impl.db, MAC));
    radius_sess_delete(radius_db_lookup_sess(h.client->_impl.db, MAC2));
}

TEST_F(RadiusClient, ForwardersRefuseASecondSessionAndReportFilterFailures)
{
    client_host h;
    ASSERT_TRUE(h.create(full_setup()));
    radius_entry *e = radius_client_create_sess(h.client, nullptr, MAC, nullptr);
    ASSERT_TRUE(e);
    errno = 0;
    EXPECT_FALSE(radius_client_create_sess(h.client, nullptr, MAC, nullptr));
    EXPECT_EQ(errno, EEXIST);
    filter_rule rule{};
    EXPECT_EQ(radius_client_add_filter(h.client, "f1", &rule, 1), 0);
    const char *names[2] = {};
    EXPECT_EQ(radius_client_list_filters(h.client, names, 2), 1);
    EXPECT_STREQ(names[0], "f1");
    filter_rule out[2];
    EXPECT_EQ(radius_client_get_filter(h.client, "f1", out, 2), 1);
    radius_client_remove_filter(h.client, "f1");
    EXPECT_EQ(radius_client_list_filters(h.client, names, 2), 0);
    errno = 0;
    EXPECT_EQ(radius_client_add_filter(h.client, "big", &rule, RADIUS_MAX_RULES + 1), -1);
    EXPECT_EQ(errno, E2BIG);
    radius_sess_delete(e);
}

TEST_F(RadiusClient, PeekNasIdentifier)
{
    auto pool = make_pool();
    bytes id = attr(T::nas_identifier, "ap-17");
    struct peek_case {
        const char *what;
        bytes msg;
        size_t size;
        const char *want; // null: refused
        const char *log;
    };
    bytes good = message(radius_code::coa_request, 1, attr(T::user_name, "u") + id);
    bytes longer = good;
    longer[3] += 4; // the length field claims more than arrived
    bytes padded = good + bytes{0, 0, 0};
    bytes bad_attr = message(radius_code::coa_request, 1, id + bytes{1, 1});
    bytes past_length = good;
    past_length[3] -= uint8_t(id.size()); // NAS-Identifier only in the padding
    peek_case cases[] = {
        {"whole", good, 64, "ap-17", nullptr},
        {"cut to the buffer", good, 3, "ap", nullptr},
        {"padding ignored", padded, 64, "ap-17", nullptr},
        {"short", bytes(19, 0), 64, nullptr, "Discarding short RADIUS request 19 bytes from"},
        {"length over data", longer, 64, nullptr, "Discarding short RADIUS request"},
        {"bad attribute", bad_attr, 64, nullptr, "Discarding malformed RADIUS request from"},
        {"none", message(radius_code::coa_request, 1, attr(T::user_name, "u")), 64, nullptr,
         "without NAS-Identifier"},
        {"only past the length", past_length, 64, nullptr, "without NAS-Identifier"},
    };
    sockaddr_in from = loopback(1700);
    for (auto &c : cases) {
        log_capture log;
        packet_ptr msg(packet_of(pool.get(), c.msg));
        char buf[64];
        memset(buf, 'x', sizeof buf);
        char *r = radius_client_peek_nas_identifier(msg.get(), reinterpret_cast<sockaddr *>(&from),
                                                    buf, c.size);
        if (c.want) {
            EXPECT_EQ(r, buf) << c.what;
            EXPECT_STREQ(buf, c.want) << c.what;
        } else {
            EXPECT_EQ(r, nullptr) << c.what;
            EXPECT_TRUE(log.has(c.log)) << c.what;
            EXPECT_TRUE(log.has("127.0.0.1")) << c.what;
        }
    }
}

} // namespace
