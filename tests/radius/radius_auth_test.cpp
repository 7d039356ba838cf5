// The RADIUS back end of the EAP authenticator on a station's session: what
// its Access-Requests carry, how Challenges, Accepts and Rejects become the
// AAA interface variables, and what happens when the session goes.
#include <gtest/gtest.h>

#include "radius/radius_auth.h"
#include "radius_client_host.h"

using namespace radius_test;
using T = radius_attr_type;

namespace
{

const uint8_t MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x77};

bytes eap(uint8_t code, uint8_t id, const bytes &data)
{
    size_t n = 4 + data.size();
    bytes b{code, id, uint8_t(n >> 8), uint8_t(n)};
    return b + data;
}

// RFC 2548 encryption from libcrypto's MD5, the codec's oracle.
bytes mppe_encrypt(const std::string &secret, const uint8_t *req_auth, const bytes &salt,
                   const bytes &key)
{
    bytes plain{uint8_t(key.size())};
    plain.insert(plain.end(), key.begin(), key.end());
    plain.resize((plain.size() + 15) / 16 * 16, 0);
    bytes out = salt;
    bytes prev(req_auth, req_auth + 16);
    prev.insert(prev.end(), salt.begin(), salt.end());
    for (size_t i = 0; i < plain.size(); i += 16) {
        bytes in(secret.begin(), secret.end());
        in.insert(in.end(), prev.begin(), prev.end());
        bytes b = md5(in);
        bytes c(16);
        for (int k = 0; k < 16; k++)
            c[k] = plain[i + k] ^ b[k];
        out.insert(out.end(), c.begin(), c.end());
        prev = c;
    }
    return out;
}

// The attributes of a message in order: (type, value).
std::vector<std::pair<uint8_t, bytes>> attrs_of(const packet *m)
{
    std::vector<std::pair<uint8_t, bytes>> out;
    for (const uint8_t *a = radius_first_attr(m); a; a = radius_next_attr(m, a))
        out.push_back({a[0], bytes(a + 2, a + a[1])});
    return out;
}

struct RadiusAuth : testing::Test {
    client_host h;
    radius_entry *sess = nullptr;
    radius_eap_backend *be = nullptr;
    int done = 0;

    void SetUp() override
    {
        set_clock_ms(9000000);
        nas_setup s("nas-1", 1);
        fill_auth_row(s.auth[0], 1812);
        ASSERT_TRUE(h.create(s));
        sess = radius_client_create_sess(h.client, nullptr, MAC, nullptr);
        ASSERT_TRUE(sess);
        be = radius_auth_create(
            h.client, MAC, [](void *u) { ++*static_cast<int *>(u); }, &done);
        ASSERT_TRUE(be);
    }
    void TearDown() override
    {
        radius_auth_delete(be);
        if (sess) radius_sess_delete(sess);
    }
    // The station's response, handed over as the EAP authenticator does.
    void respond(const bytes &resp, bool identity = false)
    {
        packet *p = packet_of(h.pool.get(), resp);
        if (identity) {
            packet_ref(p);
            be->pub.aaaIdentity = p;
        }
        be->pub.aaaEapRespData = p;
        be->pub.flags = EAP_AAA_EAP_RESP;
        radius_auth_run(be);
    }
    // A response straight from the session (no transport), for edge cases.
    void recv(radius_code code, const bytes &attrs)
    {
        packet *m = packet_of(h.pool.get(), message(code, 1, attrs));
        radius_auth_recv(be, m);
        packet_release(m);
    }
    bytes req_data() const
    {
        return be->pub.aaaEapReqData ? bytes_of(be->pub.aaaEapReqData) : bytes{};
    }
};

TEST_F(RadiusAuth, CarriesResponsesInPiecesWithStateAndUserName)
{
    bytes id = eap(EAP_CODE_RESPONSE, 5, bytes{EAP_TYPE_IDENTITY} + bytes{'b', 'o', 'b'});
    respond(id, true);
    EXPECT_STREQ(be->pub.identity, "bob");
    packet *req = h.last(radius_code::access_request);
    ASSERT_TRUE(req);
    auto at = attrs_of(req);
    ASSERT_GE(at.size(), 3u);
    EXPECT_EQ(at[0].first, uint8_t(T::message_authenticator)); // first, and signed
    EXPECT_NE(at[0].second, bytes(16, 0));
    EXPECT_EQ(at[1], (std::pair<uint8_t, bytes>{uint8_t(T::eap_message), id}));
    const uint8_t *name = radius_find_attr(req, T::user_name);
    ASSERT_TRUE(name);
    EXPECT_EQ(bytes(name + 2, name + name[1]), (bytes{'b', 'o', 'b'}));

    // A two-piece challenge with State and a method time-out.
    bytes chal = eap(EAP_CODE_REQUEST, 6, bytes(300, 0x41));
    h.answer(req, radius_code::access_challenge,
             attr(T::eap_message, bytes(chal.begin(), chal.begin() + 253)) +
                 attr(T::eap_message, bytes(chal.begin() + 253, chal.end())) +
                 attr(T::state, bytes{9, 8, 7}) + attr(T::session_timeout, bytes{0, 0, 0, 20}));
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_EAP_REQ);
    EXPECT_EQ(req_data(), chal);
    EXPECT_EQ(be->pub.method_timeout, 20u);

    // 600 bytes travel as 253, 253 and 94, followed by the kept State.
    bytes big = eap(EAP_CODE_RESPONSE, 6, bytes{25} + bytes(595, 0x5a));
    ASSERT_EQ(big.size(), 600u);
    respond(big);
    req = h.last(radius_code::access_request);
    at = attrs_of(req);
    std::vector<size_t> sizes;
    bytes joined;
    for (auto &[t, v] : at)
        if (t == uint8_t(T::eap_message)) {
            sizes.push_back(v.size());
            joined = joined + v;
        }
    EXPECT_EQ(sizes, (std::vector<size_t>{253, 253, 94}));
    EXPECT_EQ(joined, big);
    EXPECT_EQ(at[0].first, uint8_t(T::message_authenticator));
    const uint8_t *state = radius_find_attr(req, T::state);
    ASSERT_TRUE(state);
    EXPECT_EQ(bytes(state + 2, state + state[1]), (bytes{9, 8, 7}));

    // Accept through the transport: the codec decrypts, MSK = Recv || Send.
    bytes recv_key(32, 0x11), send_key(32, 0x22);
    const uint8_t *ra = radius_header(req)->authenticator;
    h.answer(req, radius_code::access_accept,
             vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY,
                 mppe_encrypt(CLIENT_SECRET, ra, {0x80, 1}, send_key)) +
                 vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY,
                     mppe_encrypt(CLIENT_SECRET, ra, {0x80, 2}, recv_key)) +
                 attr(T::eap_message, eap(EAP_CODE_SUCCESS, 6, {})) +
                 attr(T::termination_action, bytes{0, 0, 0, 1}));
    EXPECT_EQ(done, 2);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_SUCCESS);
    ASSERT_TRUE(be->pub.flags & EAP_AAA_KEY_AVAILABLE);
    EXPECT_EQ(bytes(be->pub.msk, be->pub.msk + be->pub.msk_len), recv_key + send_key);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_TERMINATE_RADIUS);
    EXPECT_EQ(be->pub.session_timeout, 0u); // none: the cache's lifetime applies
    EXPECT_EQ(req_data(), eap(EAP_CODE_SUCCESS, 6, {}));
    EXPECT_EQ(be->state, nullptr);
}

// Plain MPPE values as the codec leaves them: salt, length, key, padding.
bytes mppe_plain(const bytes &key, size_t pad = 15)
{
    return bytes{0x80, 0x01, uint8_t(key.size())} + key + bytes(pad, 0);
}

TEST_F(RadiusAuth, AcceptKeysTable)
{
    bytes k32(32, 0x33), k32b(32, 0x44), k48(48, 0x55);
    struct row {
        const char *name;
        bytes attrs;
        bytes msk;
        uint32_t session_timeout;
    } rows[] = {
        {"both keys",
         vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, mppe_plain(k32)) +
             vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY, mppe_plain(k32b)),
         k32 + k32b, 0},
        {"Recv-Key only", vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, mppe_plain(k32)),
         k32, 0},
        {"no keys", attr(T::session_timeout, bytes{0, 0, 0x0e, 0x10}), {}, 3600},
        {"64 bytes at most",
         vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, mppe_plain(k48)) +
             vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_SEND_KEY, mppe_plain(k48)),
         k48 + bytes(16, 0x55), 0},
        {"key length beyond the value",
         vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, bytes{0, 0, 200, 1, 2, 3}),
         bytes{1, 2, 3}, 0},
        {"vendor length under 4",
         vsa(RADIUS_VENDOR_MICROSOFT, RADIUS_MS_MPPE_RECV_KEY, bytes{0}),
         {},
         0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        packet *m = packet_of(h.pool.get(), message(radius_code::access_accept, 1, r.attrs));
        be->pub.flags = 0;
        radius_auth_run(be); // a new exchange forgets the last key
        radius_auth_recv(be, m);
        EXPECT_EQ(bytes(be->pub.msk, be->pub.msk + be->pub.msk_len), r.msk);
        EXPECT_EQ(bool(be->pub.flags & EAP_AAA_KEY_AVAILABLE), !r.msk.empty());
        EXPECT_TRUE(be->pub.flags & EAP_AAA_SUCCESS);
        EXPECT_TRUE(be->pub.flags & EAP_AAA_EAP_NO_REQ); // no EAP-Message
        EXPECT_EQ(be->pub.session_timeout, r.session_timeout);
        // The plain keys do not stay in the shared buffer.
        for (uint8_t type : {RADIUS_MS_MPPE_RECV_KEY, RADIUS_MS_MPPE_SEND_KEY})
            if (const uint8_t *a =
                    radius_find_attr(static_cast<const packet *>(m), T::vendor_specific,
                                     RADIUS_VENDOR_MICROSOFT, type)) {
                EXPECT_EQ(bytes(a + 8, a + 6 + a[7]), bytes(a[7] - 2u, 0));
            }
        packet_release(m);
    }
}

TEST_F(RadiusAuth, ChallengeEapMessagesTable)
{
    bytes req = eap(EAP_CODE_REQUEST, 3, {4, 1});
    struct row {
        const char *name;
        bytes attrs;
        bytes expect; // empty: aaaEapNoReq
        bool logged;
    } rows[] = {
        {"one piece", attr(T::eap_message, req), req, false},
        {"padding after the Length", attr(T::eap_message, req + bytes{0, 0}), req, false},
        {"no EAP-Message", attr(T::state, bytes{1}), {}, false},
        {"3 bytes", attr(T::eap_message, bytes{1, 3, 0}), {}, true},
        {"Length beyond the data", attr(T::eap_message, bytes{1, 3, 0, 9, 4}), {}, true},
        {"4-byte Request", attr(T::eap_message, eap(EAP_CODE_REQUEST, 3, {})), {}, true},
        {"Length under 4", attr(T::eap_message, bytes{1, 3, 0, 2, 4}), {}, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture cap;
        be->pub.flags = 0;
        recv(radius_code::access_challenge, r.attrs);
        EXPECT_EQ(req_data(), r.expect);
        EXPECT_EQ(bool(be->pub.flags & EAP_AAA_EAP_REQ), !r.expect.empty());
        EXPECT_EQ(bool(be->pub.flags & EAP_AAA_EAP_NO_REQ), r.expect.empty());
        EXPECT_EQ(cap.has("RADIUS Authenticator discarding malformed EAP-Message"), r.logged);
    }
    // Other codes change nothing.
    log_capture cap;
    int before = done;
    recv(radius_code::accounting_response, {});
    EXPECT_EQ(done, before);
    EXPECT_TRUE(cap.has("Dropping RADIUS message of type 5"));
}

TEST_F(RadiusAuth, RejectDropsStateAndFails)
{
    recv(radius_code::access_challenge,
         attr(T::state, bytes{1, 2}) + attr(T::eap_message, eap(EAP_CODE_REQUEST, 1, {4})));
    ASSERT_NE(be->state, nullptr);
    recv(radius_code::access_reject, attr(T::eap_message, eap(EAP_CODE_FAILURE, 1, {})));
    EXPECT_TRUE(be->pub.flags & EAP_AAA_FAIL);
    EXPECT_EQ(be->state, nullptr);
    EXPECT_EQ(req_data(), eap(EAP_CODE_FAILURE, 1, {}));
}

TEST_F(RadiusAuth, UnfitResponsesFailTheExchange)
{
    log_capture cap;
    // Too large for one Access-Request.
    respond(eap(EAP_CODE_RESPONSE, 1, bytes{25} + bytes(4100, 1)));
    EXPECT_TRUE(be->pub.flags & EAP_AAA_TIMEOUT);
    EXPECT_EQ(h.count(radius_code::access_request), 0u);
    // Not a Response, or a Length that disagrees with the data: dropped.
    for (const bytes &b :
         {eap(EAP_CODE_REQUEST, 1, {1}), bytes{2, 1, 0, 9, 1, 0}, bytes{2, 1, 0, 4}}) {
        respond(b, true);
        EXPECT_TRUE(be->pub.flags & EAP_AAA_EAP_NO_REQ);
        EXPECT_EQ(h.count(radius_code::access_request), 0u);
    }
    EXPECT_TRUE(cap.has("RADIUS Authenticator dropping malformed EAP Identity"));
}

TEST_F(RadiusAuth, SessionLossAndTransportTimeoutReportTimeout)
{
    respond(eap(EAP_CODE_RESPONSE, 1, bytes{1, 'x'}), true);
    ASSERT_EQ(h.count(radius_code::access_request), 1u);
    // The transport gives up after its retries.
    h.advance(120000);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_TIMEOUT);
    EXPECT_GE(done, 1);
    // The session goes: the back end is detached, stays its owner's.
    int before = done;
    be->pub.flags = 0;
    radius_sess_delete(std::exchange(sess, nullptr));
    EXPECT_EQ(done, before + 1);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_TIMEOUT);
    EXPECT_EQ(be->sess, nullptr);
    // Without a session a response times out at once.
    be->pub.flags = 0;
    respond(eap(EAP_CODE_RESPONSE, 2, bytes{1, 'x'}), true);
    EXPECT_TRUE(be->pub.flags & EAP_AAA_TIMEOUT);
    // And no back end attaches to a station without a session.
    const uint8_t other[6] = {2, 0, 0, 0, 0, 9};
    EXPECT_EQ(radius_auth_create(
                  h.client, other, [](void *) {}, nullptr),
              nullptr);
}

} // namespace
