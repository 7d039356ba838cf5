// The dynamic-authorization server through the client, with the test in the
// RADIUS server's place: requests signed as a server signs them, answers
// checked against libcrypto's MD5 and HMAC-MD5.
#include <gtest/gtest.h>

#include <set>

#include "radius_client_host.h"
#include "radius_db_host.h"

using namespace radius_test;
using T = radius_attr_type;

namespace
{

const uint8_t MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const char *MAC_TEXT = "02:11:22:33:44:55";
constexpr uint64_t START = 9000000;
const sockaddr_in SERVER = loopback(40000);

nas_setup das_setup()
{
    nas_setup s("nas-1", 1);
    fill_auth_row(s.auth[0], 1812);
    fill_auth_row(s.auth[1], 1812, "second-secret", "127.0.0.2");
    fill_acct_row(s.acct[0], 1813);
    return s;
}

// The answer's authenticators, recomputed with libcrypto.
void expect_signed(const packet *response, const bytes &request, const std::string &secret)
{
    bytes m = bytes_of(response);
    ASSERT_GE(m.size(), 20u);
    bytes got_auth(m.begin() + 4, m.begin() + 20);
    bytes calc = m;
    memcpy(&calc[4], &request[4], 16);
    size_t ma = 0;
    for (size_t off = 20; off + 2 <= calc.size(); off += calc[off + 1])
        if (calc[off] == 80) ma = off + 2;
    ASSERT_NE(ma, 0u) << "no Message-Authenticator";
    bytes got_ma(calc.begin() + long(ma), calc.begin() + long(ma) + 16);
    memset(&calc[ma], 0, 16);
    EXPECT_EQ(hmac_md5(secret, calc), got_ma);
    memcpy(&calc[ma], got_ma.data(), 16);
    calc.insert(calc.end(), secret.begin(), secret.end());
    EXPECT_EQ(md5(calc), got_auth);
}

uint32_t error_cause(const packet *response)
{
    auto a = attrs_of(response);
    return a.count(101) ? int_of(a[101]) : 0;
}

class RadiusDas : public testing::Test
{
  protected:
    void SetUp() override
    {
        set_clock_ms(START);
        ASSERT_TRUE(h.create(das_setup()));
    }
    void TearDown() override
    {
        h.on_deauthorize = nullptr;
        while (radius_entry *e = radius_db_first_sess(h.client->_impl.db))
            radius_sess_delete(e);
    }
    radius_entry *grant(const uint8_t *mac, const char *name, const bytes &attrs = {})
    {
        radius_entry *e = radius_client_create_sess(h.client, nullptr, mac, nullptr);
        EXPECT_TRUE(e);
        radius_db_authorize_sess(e, name);
        h.answer(h.last(radius_code::access_request), radius_code::access_accept, attrs);
        EXPECT_EQ(e->state, RADIUS_STATE_IDLE);
        return e;
    }
    // Sends a request and returns the answer (null when none went out).
    packet *ask(const bytes &request, const sockaddr_in &from = SERVER)
    {
        size_t before = h.sends.size();
        h.deliver(request, from, -1);
        if (h.sends.size() == before) return nullptr;
        EXPECT_EQ(h.sends.back().port, -1);
        EXPECT_EQ(h.sends.back().to.sin_port, from.sin_port);
        return h.sends.back().msg;
    }
    radiusDynAuthClientTable &row(int i) { return h.client->record.das[i]; }
    client_host h;
};

TEST_F(RadiusDas, DisconnectByCallingStationIdEndsTheSessionWithItsReason)
{
    radius_entry *e = grant(MAC, nullptr);
    bytes req = das_request(radius_code::disconnect_request, 7,
                            attr(T::calling_station_id, MAC_TEXT) +
                                attr(T::wlan_reason_code, int_bytes(5)));
    packet *resp = ask(req);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->data[0], uint8_t(radius_code::disconnect_ack));
    EXPECT_EQ(resp->data[1], 7);
    expect_signed(resp, req, CLIENT_SECRET);
    ASSERT_EQ(h.deauthorized.size(), 1u);
    EXPECT_EQ(h.deauthorized[0].first, e);
    EXPECT_EQ(h.deauthorized[0].second, 5);
    // The Stop names Admin-Reset.
    packet *stop = h.last(radius_code::accounting_request);
    ASSERT_TRUE(stop);
    EXPECT_EQ(int_of(attrs_of(stop)[49]), 6u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconRequests, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconAcks, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconUserSessRemoved, 1u);
    EXPECT_EQ(row(1).radiusDynAuthServDisconRequests, 0u);
}

TEST_F(RadiusDas, DisconnectByAcctSessionIdAndTheMatchRules)
{
    radius_entry *e = grant(MAC, "alice");
    std::string id = e->acct_session_id;
    ASSERT_EQ(id.size(), 8u);
    std::string lower = id;
    for (char &ch : lower)
        ch = char(tolower(ch));
    struct match_case {
        const char *what;
        bytes attrs;
        uint8_t code;
    } cases[] = {
        {"other user", attr(T::acct_session_id, id) + attr(T::user_name, "bob"), 42},
        {"absent CUI", attr(T::acct_session_id, id) + attr(T::chargeable_user_identity, "c"), 42},
        {"other address",
         attr(T::acct_session_id, id) + attr(T::framed_ip_address, bytes{10, 0, 0, 9}), 42},
        {"nine characters", attr(T::acct_session_id, id + "0"), 42},
        {"lower-case hex, same user", attr(T::acct_session_id, lower) + attr(T::user_name, "alice"),
         41},
    };
    uint8_t id_byte = 1;
    for (auto &c : cases) {
        packet *resp = ask(das_request(radius_code::disconnect_request, id_byte++, c.attrs));
        ASSERT_TRUE(resp) << c.what;
        EXPECT_EQ(resp->data[0], c.code) << c.what;
        if (c.code == 42) {
            EXPECT_EQ(error_cause(resp), 503u) << c.what;
        }
    }
    EXPECT_EQ(h.deauthorized.size(), 1u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconNakSessNoContext, 4u);
}

TEST_F(RadiusDas, UserNameReachesEverySessionEvenWhenTheCoreDeletesThem)
{
    uint8_t macs[4][6];
    for (int i = 0; i < 4; i++) {
        memcpy(macs[i], MAC, 6);
        macs[i][5] = uint8_t(0x10 + i);
        grant(macs[i], i < 3 ? "carol" : "dave");
    }
    // The core ends the station's service from inside the callback.
    h.on_deauthorize = [](radius_entry *e) { radius_sess_delete(e); };
    packet *resp =
        ask(das_request(radius_code::disconnect_request, 3, attr(T::user_name, "carol")));
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->data[0], uint8_t(radius_code::disconnect_ack));
    std::set<radius_entry *> ended;
    for (auto &d : h.deauthorized)
        ended.insert(d.first);
    EXPECT_EQ(ended.size(), 3u);
    EXPECT_EQ(row(0).radiusDynAuthServDisconUserSessRemoved, 3u);
    EXPECT_FALSE(radius_db_lookup_sess(h.client->_impl.db, macs[0]));
    EXPECT_TRUE(radius_db_lookup_sess(h.client->_impl.db, macs[3]));
}

TEST_F(RadiusDas, CoAChangesTheAuthorizationAndRestartsAccounting)
{
    radius_entry *e = grant(MAC, nullptr);
    size_t starts = h.count(radius_code::accounting_request);
    bytes req = das_request(radius_code::coa_request, 9,
                            attr(T::calling_station_id, MAC_TEXT) +
                                vsa(RADIUS_VENDOR_WISPR, 7, int_bytes(2000000)) +
                                attr(T::tunnel_type, bytes{0, 0, 0, 13}) +
                                attr(T::tunnel_medium_type, bytes{0, 0, 0, 6}) +
                                attr(T::tunnel_private_group_id, "100"));
    packet *resp = ask(req);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->data[0], uint8_t(radius_code::coa_ack));
    expect_signed(resp, req, CLIENT_SECRET);
    ASSERT_EQ(h.authorized.size(), 2u);
    EXPECT_EQ(e->authz.bandwidth_up, 2000000u);
    EXPECT_EQ(radius_authz_vlan(&e->authz), 100u);
    // Stop, then Start.
    auto sent = h.sends;
    ASSERT_EQ(h.count(radius_code::accounting_request), starts + 2);
    std::vector<uint32_t> status;
    for (auto &s : sent)
        if (s.msg->data[0] == uint8_t(radius_code::accounting_request))
            status.push_back(int_of(attrs_of(s.msg)[40]));
    EXPECT_EQ(status[status.size() - 2], 2u);
    EXPECT_EQ(status.back(), 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoAUserSessChanged, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoAAcks, 1u);
}

TEST_F(RadiusDas, AuthorizeOnlyCoAAnswersWithItsErrorCause)
{
    grant(MAC, nullptr);
    bytes st17 = attr(T::service_type, int_bytes(17));
    bytes who = attr(T::calling_station_id, MAC_TEXT);
    struct ao_case {
        const char *what;
        bytes attrs;
        uint32_t cause;
    } cases[] = {
        {"no State", who + st17, 402},
        {"no State, unsupported attribute", who + st17 + attr(T::filter_id, "f"), 402},
        {"unsupported attribute", who + st17 + attr(T::state, "s1") + attr(T::filter_id, "f"), 401},
        {"second Service-Type",
         who + st17 + attr(T::state, "s1") + attr(T::service_type, int_bytes(1)), 407},
        {"State", who + st17 + attr(T::state, "s2"), 507},
    };
    uint8_t id = 20;
    for (auto &c : cases) {
        size_t requests = h.count(radius_code::access_request);
        bytes req = das_request(radius_code::coa_request, id++, c.attrs);
        packet *resp = ask(req);
        ASSERT_TRUE(resp) << c.what;
        EXPECT_EQ(resp->data[0], uint8_t(radius_code::coa_nak)) << c.what;
        EXPECT_EQ(error_cause(resp), c.cause) << c.what;
        auto a = attrs_of(resp);
        EXPECT_EQ(int_of(a[6]), 17u) << c.what;
        EXPECT_EQ(h.count(radius_code::access_request), requests + (c.cause == 507)) << c.what;
    }
    // After 507 the session asks with Service-Type Authorize-Only and the CoA's State.
    auto a = attrs_of(h.last(radius_code::access_request));
    EXPECT_EQ(int_of(a[6]), 17u);
    EXPECT_EQ(str_of(a[24]), "s2");
    EXPECT_EQ(row(0).radiusDynAuthServCoAAuthOnlyRequests, 5u);
    EXPECT_EQ(row(0).radiusDynAuthServCoANakAuthOnlyRequests, 5u);
    EXPECT_EQ(row(0).radiusDynAuthServCoANaks, 5u);
}

TEST_F(RadiusDas, AnswerCarriesStateServiceTypeErrorCauseAndProxyStatesInOrder)
{
    bytes req = das_request(radius_code::disconnect_request, 11,
                            attr(T::proxy_state, "p1") + attr(T::calling_station_id, MAC_TEXT) +
                                attr(T::state, "st") + attr(T::proxy_state, "p2") +
                                attr(T::service_type, int_bytes(1)) + attr(T::proxy_state, "p3"));
    packet *resp = ask(req);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->data[0], uint8_t(radius_code::disconnect_nak));
    EXPECT_EQ(types_of(resp), (std::vector<int>{24, 6, 101, 33, 33, 33, 80}));
    std::vector<std::string> proxy;
    for (const uint8_t *a = radius_first_attr(resp); a; a = radius_next_attr(resp, a))
        if (a[0] == 33) proxy.emplace_back(reinterpret_cast<const char *>(a + 2), a[1] - 2u);
    EXPECT_EQ(proxy, (std::vector<std::string>{"p1", "p2", "p3"}));
    expect_signed(resp, req, CLIENT_SECRET);
}

TEST_F(RadiusDas, DuplicateGetsTheIdenticalAnswerAndIsAppliedOnce)
{
    grant(MAC, nullptr);
    bytes req = das_request(radius_code::coa_request, 12,
                            attr(T::calling_station_id, MAC_TEXT) +
                                vsa(RADIUS_VENDOR_WISPR, 8, int_bytes(1000)));
    packet *first = ask(req);
    ASSERT_TRUE(first);
    bytes first_bytes = bytes_of(first);
    size_t authorized = h.authorized.size();
    set_clock_ms(START + 29000);
    packet *again = ask(req);
    ASSERT_TRUE(again);
    EXPECT_EQ(bytes_of(again), first_bytes);
    EXPECT_EQ(h.authorized.size(), authorized);
    EXPECT_EQ(row(0).radiusDynAuthServDupCoARequests, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoARequests, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoAAcks, 1u);
    // From another source port it is a new request.
    ASSERT_TRUE(ask(req, loopback(40001)));
    EXPECT_EQ(h.authorized.size(), authorized + 1);
    // Past 30 s the cache has forgotten it.
    set_clock_ms(START + 61000);
    ASSERT_TRUE(ask(req));
    EXPECT_EQ(h.authorized.size(), authorized + 2);
    EXPECT_EQ(row(0).radiusDynAuthServDupCoARequests, 1u);
    EXPECT_EQ(row(0).radiusDynAuthServCoAAcks, 3u);
}

TEST_F(RadiusDas, DroppedRequestsAreCountedOnTheirRow)
{
    bytes good = das_request(radius_code::disconnect_request, 1, attr(T::user_name, "x"));
    bytes bad_auth = good;
    bad_auth[5] ^= 1;
    bytes bad_ma = das_request(radius_code::disconnect_request, 1, attr(T::user_name, "x"),
                               "other-secret", true);
    // Re-sign the request authenticator with the right secret: only the MA is wrong.
    {
        bytes m = bad_ma;
        memset(&m[4], 0, 16);
        bytes s = m;
        s.insert(s.end(), CLIENT_SECRET, CLIENT_SECRET + strlen(CLIENT_SECRET));
        bytes a = md5(s);
        memcpy(&m[4], a.data(), 16);
        bad_ma = m;
    }
    bytes short_msg(good.begin(), good.begin() + 19);
    bytes overlong = good;
    overlong[3] += 10;
    bytes bad_attrs = das_request(radius_code::coa_request, 1, bytes{1, 1}, CLIENT_SECRET, false);
    bytes unknown_code = das_request(radius_code::access_request, 1, {});
    struct drop_case {
        const char *what;
        bytes msg;
        sockaddr_in from;
        uint32_t radiusDynAuthClientTable::*counter;
        int rows; // counted on row 0 only (1) or on both (2)
        const char *log;
    } cases[] = {
        {"unknown source", good, loopback(40000, "127.0.0.9"),
         &radiusDynAuthClientTable::radiusDynAuthServerDisconInvalidClientAddresses, 2,
         "Discarding RADIUS request from unknown source 127.0.0.9"},
        {"unknown code", unknown_code, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServUnknownTypes, 1,
         "Discarding RADIUS request with unkown code 1"},
        {"short", short_msg, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServMalformedDisconRequests, 1,
         "Discarding malformed RADIUS request 19 bytes"},
        {"length over data", overlong, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServMalformedDisconRequests, 1,
         "Discarding malformed RADIUS request"},
        {"bad attribute", bad_attrs, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServMalformedCoARequests, 1,
         "Discarding malformed RADIUS request"},
        {"bad authenticator", bad_auth, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServDisconBadAuthenticators, 1,
         "Discarding RADIUS request with invalid Authenticator"},
        {"bad Message-Authenticator", bad_ma, SERVER,
         &radiusDynAuthClientTable::radiusDynAuthServDisconBadAuthenticators, 1,
         "Discarding RADIUS request with invalid Message-Authenticator"},
        {"wrong secret's row", good, loopback(40000, "127.0.0.2"),
         &radiusDynAuthClientTable::radiusDynAuthServDisconBadAuthenticators, -1,
         "Discarding RADIUS request with invalid Authenticator"},
    };
    for (auto &c : cases) {
        uint32_t before0 = row(0).*c.counter, before1 = row(1).*c.counter;
        log_capture log;
        EXPECT_FALSE(ask(c.msg, c.from)) << c.what;
        EXPECT_TRUE(log.has(c.log)) << c.what;
        EXPECT_EQ(row(0).*c.counter - before0, c.rows >= 1 ? 1u : 0u) << c.what;
        EXPECT_EQ(row(1).*c.counter - before1, c.rows == 2 || c.rows == -1 ? 1u : 0u) << c.what;
    }
    EXPECT_EQ(row(0).radiusDynAuthServDisconRequests, 0u);
}

TEST_F(RadiusDas, OctetsPastTheLengthAreCutBeforeTheRequestIsApplied)
{
    grant(MAC, nullptr);
    bytes req =
        das_request(radius_code::disconnect_request, 2, attr(T::calling_station_id, MAC_TEXT));
    packet *resp = ask(req + bytes{0xff, 0xff, 0xff, 0xff});
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->data[0], uint8_t(radius_code::disconnect_ack));
    expect_signed(resp, req, CLIENT_SECRET);
    // Straight into the database as well: cut, not asserted on.
    auto pool = make_pool();
    packet_ptr msg(packet_of(pool.get(), req + bytes{1, 2, 3}));
    packet_ptr answer(radius_db_request(h.client->_impl.db, msg.get(), 0));
    ASSERT_TRUE(answer);
    packet_ptr short_msg(packet_of(pool.get(), bytes(req.begin(), req.end() - 1)));
    EXPECT_FALSE(radius_db_request(h.client->_impl.db, short_msg.get(), 0));
}

TEST_F(RadiusDas, UnsupportedResponseCodeIsRefused)
{
    auto pool = make_pool();
    bytes req = das_request(radius_code::coa_request, 1, {});
    packet_ptr response(packet_of(pool.get(), message(radius_code::access_accept, 1, {})));
    log_capture log;
    EXPECT_EQ(radius_das_send_response(
                  h.client->_impl.das, reinterpret_cast<const radius_hdr *>(req.data()),
                  response.get(), reinterpret_cast<const sockaddr *>(&SERVER), 0),
              255);
    EXPECT_TRUE(log.has("Unsupported RADIUS response code 2"));
}

TEST_F(RadiusDas, CacheHoldsAtMost30000ResponsesOldestGoingFirst)
{
    radius_das *das = h.client->_impl.das;
    bytes req = das_request(radius_code::coa_request, 1, {});
    auto pool = make_pool();
    packet_ptr response(packet_of(pool.get(), message(radius_code::coa_ack, 1, {})));
    auto *hdr = reinterpret_cast<radius_hdr *>(req.data());
    const sockaddr *src = reinterpret_cast<const sockaddr *>(&SERVER);
    for (uint32_t i = 0; i <= RADIUS_DAS_CACHE_MAX; i++) {
        radius_store32(hdr->authenticator, i);
        ASSERT_EQ(radius_das_send_response(das, hdr, response.get(), src, 0), 0);
    }
    EXPECT_EQ(das->count, RADIUS_DAS_CACHE_MAX + 1);
    // The next accepted request expires the oldest only.
    packet *dup = nullptr;
    packet_ptr fresh(packet_of(pool.get(), das_request(radius_code::coa_request, 2, {})));
    ASSERT_EQ(radius_das_recv(das, fresh.get(), &dup, src), 0);
    EXPECT_FALSE(dup);
    EXPECT_EQ(das->count, RADIUS_DAS_CACHE_MAX);
    uint8_t key[16];
    radius_store32(hdr->authenticator, 0);
    radius_das_cache_key(hdr->authenticator, src, key);
    EXPECT_FALSE(hashtable_lookup(das->cache, key));
    radius_store32(hdr->authenticator, 1);
    radius_das_cache_key(hdr->authenticator, src, key);
    EXPECT_TRUE(hashtable_lookup(das->cache, key));
}

// The key remembered from the check serves only the request it was taken
// for: a response to any other is cached under that request's own key.
TEST_F(RadiusDas, ResponseIsCachedUnderItsOwnRequestsKey)
{
    radius_das *das = h.client->_impl.das;
    auto pool = make_pool();
    const sockaddr *src = reinterpret_cast<const sockaddr *>(&SERVER);
    packet_ptr a(packet_of(pool.get(), das_request(radius_code::coa_request, 7, {})));
    bytes b = das_request(radius_code::coa_request, 8, {});
    packet_ptr response(packet_of(pool.get(), message(radius_code::coa_ack, 7, {})));
    packet *dup = nullptr;
    ASSERT_EQ(radius_das_recv(das, a.get(), &dup, src), 0);
    ASSERT_FALSE(dup);
    auto key_of = [&](const uint8_t *request) {
        uint8_t key[16];
        radius_das_cache_key(reinterpret_cast<const radius_hdr *>(request)->authenticator, src,
                             key);
        return bytes(key, key + 16);
    };
    bytes key_a = key_of(a->data), key_b = key_of(b.data());
    ASSERT_EQ(radius_das_send_response(das, reinterpret_cast<const radius_hdr *>(b.data()),
                                       response.get(), src, 0),
              0);
    EXPECT_TRUE(hashtable_lookup(das->cache, key_b.data()));
    EXPECT_FALSE(hashtable_lookup(das->cache, key_a.data()));
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(radius_das_send_response(das, radius_header(a.get()), response.get(), src, 0), 0);
    EXPECT_TRUE(hashtable_lookup(das->cache, key_a.data()));
    EXPECT_EQ(das->count, 2u);
}

} // namespace
