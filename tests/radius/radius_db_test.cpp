// The session database driven over the real transports, with the test in the
// servers' place: requests as they leave, answers signed as a server signs.
#include <gtest/gtest.h>

#include "common/filter/filter_rule.h"
#include "radius_db_host.h"

using namespace radius_test;
using T = radius_attr_type;

namespace {

const uint8_t MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr uint64_t START = 5000000;

class RadiusDb : public testing::Test
{
  protected:
    void SetUp() override { set_clock_ms(START); }
    std::unique_ptr<db_host> host(db_host::options o = {})
    {
        auto h = std::make_unique<db_host>(o);
        EXPECT_TRUE(h->db);
        return h;
    }
    // A session that sent its Access-Request.
    radius_entry *start(db_host &h, const char *name = nullptr)
    {
        radius_entry *e = radius_db_create_sess(h.db, nullptr, MAC, reinterpret_cast<void *>(1));
        radius_db_authorize_sess(e, name);
        return e;
    }
    radius_entry *grant(db_host &h, const bytes &attrs)
    {
        radius_entry *e = start(h);
        EXPECT_GE(h.answer(h.last(radius_code::access_request), radius_code::access_accept, attrs), 0);
        return e;
    }
};

TEST_F(RadiusDb, AccessRequestCarriesTheCommonAttributesInOrder)
{
    auto h = host();
    radius_entry *e = radius_db_create_sess(h->db, nullptr, MAC, nullptr);
    const uint8_t v4[2][4] = {{10, 0, 0, 7}, {10, 0, 0, 8}};
    radius_db_set_ipv4_addrs(e, 2, v4);
    radius_db_add_custom_int(e, 61, 19);
    EXPECT_EQ(radius_db_add_custom_attr(e, 30, "", 0), -1);
    radius_db_authorize_sess(e, "alice");
    packet *req = h->last(radius_code::access_request);
    ASSERT_TRUE(req);
    EXPECT_EQ(types_of(req), (std::vector<int>{80, 6, 44, 32, 31, 1, 89, 8, 8, 61, 4}));
    auto a = attrs_of(req);
    EXPECT_EQ(int_of(a[6]), 10u);
    EXPECT_EQ(str_of(a[32]), "nas-1");
    EXPECT_EQ(str_of(a[31]), "02-11-22-33-44-55");
    EXPECT_EQ(str_of(a[1]), "alice");
    EXPECT_EQ(a[89], bytes{0}); // asks the server for a CUI
    EXPECT_EQ(str_of(a[44]), e->next_session_id);
    EXPECT_EQ(std::string(e->acct_multi_session_id), e->next_session_id);
    EXPECT_EQ(e->state, RADIUS_STATE_AUTHORIZING);
    EXPECT_EQ(radius_db_lookup_sess(h->db, MAC), e);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, WithoutAnAuthenticationServerASessionIsGrantedAtOnce)
{
    db_host::options o;
    o.auth = false;
    auto h = host(o);
    radius_entry *e = radius_db_create_sess(h->db, nullptr, MAC, nullptr);
    radius_db_authorize_sess(e, nullptr);
    EXPECT_EQ(h->authorized.size(), 1u);
    EXPECT_EQ(e->state, RADIUS_STATE_IDLE);
    EXPECT_EQ(radius_authz_acct_authentic(&e->authz), 3u);
    ASSERT_TRUE(h->last(radius_code::accounting_request));
    radius_sess_delete(e);
}

TEST_F(RadiusDb, AcceptGrantsExactlyWhatItCarriesAndAccountingFollowsTheSession)
{
    auto h = host();
    radius_entry *e = grant(*h, attr(T::session_timeout, int_bytes(3600)) +
                                    attr(T::acct_interim_interval, int_bytes(300)) +
                                    attr(T::class_, "cls") +
                                    attr(T::chargeable_user_identity, "cui-1") +
                                    vsa(RADIUS_VENDOR_ULMEX, 5, int_bytes(5000)) +
                                    vsa(RADIUS_VENDOR_WISPR, 7, int_bytes(1000)));
    packet *req = h->all(radius_code::access_request).front();
    std::string sent_id = str_of(attrs_of(req)[44]);
    ASSERT_EQ(h->authorized.size(), 1u);
    EXPECT_EQ(e->authz.session_timeout, 3600u);
    EXPECT_EQ(e->authz.interim_interval, 300u);
    EXPECT_EQ(e->authz.volume_down, 5000u);
    EXPECT_EQ(e->authz.bandwidth_up, 1000u);
    EXPECT_STREQ(e->authz.cui, "cui-1");
    EXPECT_EQ(radius_authz_acct_authentic(&e->authz), 2u);
    packet *start_req = h->last(radius_code::accounting_request);
    ASSERT_TRUE(start_req);
    auto s = attrs_of(start_req);
    EXPECT_EQ(int_of(s[40]), 1u);
    EXPECT_EQ(str_of(s[44]), sent_id);
    EXPECT_EQ(str_of(s[50]), sent_id);
    EXPECT_EQ(str_of(s[25]), "cls");
    EXPECT_EQ(str_of(s[89]), "cui-1");
    for (int t : {46, 47, 48, 42, 43, 52, 53})
        EXPECT_FALSE(s.count(t)) << t;
    EXPECT_EQ(types_of(start_req).front(), 25);

    // Counters above 4 GiB split into Gigawords; an interim update carries all seven.
    h->answer(start_req, radius_code::accounting_response, {});
    radius_db_count_traffic(e, 3, 4, (5ull << 32) + 7, 9);
    h->advance(300 * 1000);
    packet *interim = h->last(radius_code::accounting_request);
    auto i = attrs_of(interim);
    ASSERT_EQ(int_of(i[40]), 3u);
    EXPECT_EQ(int_of(i[52]), 5u);
    EXPECT_EQ(int_of(i[42]), 7u);
    EXPECT_EQ(int_of(i[43]), 9u);
    EXPECT_EQ(int_of(i[47]), 3u);
    EXPECT_EQ(int_of(i[46]), 300u);
    // The next update is armed when this one leaves, not on its answer.
    ASSERT_TRUE(timer_ispending(&e->interim.t));
    uint64_t due = h->timers[&e->interim.t].first - db_host::clock_now();
    EXPECT_LE(due, 300000u);
    EXPECT_GE(due, 270000u);

    radius_db_deauthorize_sess(e, 3);
    auto st = attrs_of(h->last(radius_code::accounting_request));
    EXPECT_EQ(int_of(st[40]), 2u);
    EXPECT_EQ(int_of(st[49]), 2u); // Lost-Carrier
    EXPECT_EQ(int_of(st[185]), 3u);
    ASSERT_EQ(h->deauthorized.size(), 1u);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, RejectTimeoutAndAChallengeWithoutEapEndTheAttempt)
{
    for (int how = 0; how < 3; how++) {
        auto h = host();
        radius_entry *e = start(*h);
        packet *req = h->last(radius_code::access_request);
        if (how == 0)
            h->answer(req, radius_code::access_reject, {});
        else if (how == 1)
            h->answer(req, radius_code::access_challenge, attr(T::state, "s"));
        else
            h->advance(31000);
        EXPECT_EQ(e->state, RADIUS_STATE_INITIALIZE) << how;
        ASSERT_EQ(h->deauthorized.size(), 1u) << how;
        EXPECT_EQ(h->deauthorized[0].second, 1) << how;
        EXPECT_EQ(e->terminate_cause, 15) << how;
        EXPECT_FALSE(h->last(radius_code::accounting_request)) << how; // never started
        EXPECT_FALSE(e->request) << how;
        radius_sess_delete(e);
    }
}

TEST_F(RadiusDb, RequestWithoutAFreeIdentifierEndsTheAttemptAtOnce)
{
    auto h = host();
    std::vector<radius_entry *> v;
    for (int i = 0; i < 257; i++) {
        uint8_t mac[6] = {2, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        radius_entry *e = radius_db_create_sess(h->db, nullptr, mac, nullptr);
        radius_db_authorize_sess(e, nullptr);
        v.push_back(e);
    }
    EXPECT_EQ(v[255]->state, RADIUS_STATE_AUTHORIZING);
    EXPECT_EQ(v[256]->state, RADIUS_STATE_INITIALIZE);
    EXPECT_EQ(h->deauthorized.size(), 1u);
    for (auto *e : v)
        radius_sess_delete(e);
}

TEST_F(RadiusDb, AccountingThatFindsNoIdentifierWaitsInTheBacklog)
{
    db_host::options o;
    o.auth = false;
    auto h = host(o);
    std::vector<radius_entry *> v;
    for (int i = 0; i < 260; i++) {
        uint8_t mac[6] = {2, 0, 0, 1, uint8_t(i >> 8), uint8_t(i)};
        radius_entry *e = radius_db_create_sess(h->db, nullptr, mac, nullptr);
        radius_db_authorize_sess(e, nullptr);
        v.push_back(e);
    }
    EXPECT_EQ(h->all(radius_code::accounting_request).size(), 256u);
    EXPECT_EQ(packet_queue_count(&h->db->acct_backlog), 4u);
    auto sent = h->all(radius_code::accounting_request);
    for (int i = 0; i < 4; i++)
        h->answer(sent[size_t(i)], radius_code::accounting_response, {});
    EXPECT_EQ(packet_queue_count(&h->db->acct_backlog), 0u);
    EXPECT_EQ(h->all(radius_code::accounting_request).size(), 260u);
    for (auto *e : v)
        radius_sess_delete(e);
}

TEST_F(RadiusDb, DeauthorizeInInitializeRunsNoDeauthorize)
{
    auto h = host();
    radius_entry *e = radius_db_create_sess(h->db, nullptr, MAC, nullptr);
    radius_db_deauthorize_sess(e, 1);
    EXPECT_TRUE(h->deauthorized.empty());
    EXPECT_TRUE(h->wire.empty());
    radius_sess_delete(e);
    EXPECT_TRUE(h->deauthorized.empty());
}

TEST_F(RadiusDb, SessionDeletedInsideItsOwnCallbacksStaysValidUntilTheStepSettles)
{
    for (int where = 0; where < 3; where++) {
        auto h = host();
        radius_entry *e = start(*h);
        if (where == 0)
            h->on_authorize = [](radius_entry *x) { radius_sess_delete(x); };
        else if (where == 1)
            h->on_deauthorize = [](radius_entry *x) { radius_sess_delete(x); };
        else
            h->on_authorize = [](radius_entry *x) { radius_db_deauthorize_sess(x, 4); };
        h->answer(h->last(radius_code::access_request), radius_code::access_accept, {});
        if (where == 1)
            radius_db_deauthorize_sess(e, 4);
        if (where == 2) {
            // The nested deauthorize survived the handler it arrived in.
            EXPECT_EQ(h->deauthorized.size(), 1u);
            EXPECT_EQ(e->state, RADIUS_STATE_INITIALIZE);
            radius_sess_delete(e);
        }
        EXPECT_FALSE(radius_db_lookup_sess(h->db, MAC)) << where;
        EXPECT_EQ(h->db->entry_pool->info.memUsedObjects, 0u) << where;
    }
}

TEST_F(RadiusDb, ReauthorizationStopsTheFirstAccountingSessionBeforeStartingTheSecond)
{
    auto h = host();
    radius_entry *e = grant(*h, attr(T::session_timeout, int_bytes(100)) +
                                    attr(T::termination_action, int_bytes(1)));
    std::string multi = e->acct_multi_session_id, first = e->acct_session_id;
    h->answer(h->last(radius_code::accounting_request), radius_code::accounting_response, {});
    h->advance(100 * 1000); // lifetime ends: Termination-Action asks for a new Access-Request
    auto reqs = h->all(radius_code::access_request);
    ASSERT_EQ(reqs.size(), 2u);
    std::string presented = str_of(attrs_of(reqs[1])[44]);
    EXPECT_NE(presented, first);
    h->answer(reqs[1], radius_code::access_accept, attr(T::session_timeout, int_bytes(100)));
    auto acct = h->all(radius_code::accounting_request);
    ASSERT_EQ(acct.size(), 3u);
    EXPECT_EQ(int_of(attrs_of(acct[1])[40]), 2u);
    EXPECT_EQ(str_of(attrs_of(acct[1])[44]), first);
    EXPECT_EQ(int_of(attrs_of(acct[2])[40]), 1u);
    EXPECT_EQ(str_of(attrs_of(acct[2])[44]), presented);
    EXPECT_EQ(str_of(attrs_of(acct[2])[50]), multi);
    EXPECT_EQ(int_of(attrs_of(acct[2])[51]), 2u);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, AuthorizeOnlyCoaSendsAnAuthorizeOnlyRequestWithItsStateBypassingTheCache)
{
    db_host::options o;
    o.cache = true;
    auto h = host(o);
    radius_entry *e = grant(*h, attr(T::session_timeout, int_bytes(600)));
    auto coa = [&](const bytes &attrs) {
        packet *m = packet_of(h->pool.get(), message(radius_code::coa_request, 1, attrs));
        int r = radius_db_handle_dynauth(e, m, nullptr);
        packet_release(m);
        return r;
    };
    EXPECT_EQ(coa(attr(T::service_type, int_bytes(17))), 402);
    EXPECT_EQ(coa(attr(T::service_type, int_bytes(17)) + attr(T::state, "st") +
                  attr(T::reply_message, "x")),
              401);
    EXPECT_EQ(h->all(radius_code::access_request).size(), 1u);
    EXPECT_EQ(coa(attr(T::service_type, int_bytes(17)) + attr(T::state, "st")), 507);
    auto reqs = h->all(radius_code::access_request);
    ASSERT_EQ(reqs.size(), 2u); // the cache held a grant, but was bypassed
    auto a = attrs_of(reqs[1]);
    EXPECT_EQ(int_of(a[6]), 17u);
    EXPECT_EQ(str_of(a[24]), "st");
    radius_sess_delete(e);
}

TEST_F(RadiusDb, CoaChangesTheAuthorizationWithRemainingAllowances)
{
    auto h = host();
    radius_entry *e = grant(*h, attr(T::session_timeout, int_bytes(1000)) +
                                    vsa(RADIUS_VENDOR_ULMEX, 4, int_bytes(100)) +
                                    vsa(RADIUS_VENDOR_ULMEX, 6, "http://portal") +
                                    vsa(RADIUS_VENDOR_ULMEX, 1, "http://redirect"));
    h->advance(400 * 1000);
    auto coa = [&](const bytes &attrs) {
        packet *m = packet_of(h->pool.get(), message(radius_code::coa_request, 1, attrs));
        int r = radius_db_handle_dynauth(e, m, nullptr);
        packet_release(m);
        return r;
    };
    e->octets_up_lo = 150; // used more than the volume
    ASSERT_EQ(coa(vsa(RADIUS_VENDOR_ULMEX, 6, "")), 0);
    EXPECT_EQ(e->authz.session_timeout, 600u);
    EXPECT_EQ(e->authz.volume_up, 1u);
    EXPECT_EQ(e->authz.captive_portal, nullptr);
    EXPECT_STREQ(e->authz.redirect_url, "http://redirect");
    EXPECT_EQ(h->authorized.size(), 2u);
    EXPECT_EQ(coa(vsa(9999, 1, "x")), 401);
    EXPECT_STREQ(e->authz.redirect_url, "http://redirect");
    radius_sess_delete(e);
}

struct parse_case {
    const char *name;
    bytes attrs;
    uint16_t cause;
    unsigned vlan;
};

TEST_F(RadiusDb, AcceptParsingTable)
{
    auto tagged = [](uint8_t tag, uint32_t v) { return int_bytes(uint32_t(tag) << 24 | v); };
    auto vlan = [&](uint8_t tag, const std::string &id) {
        bytes g = tag ? bytes{tag} : bytes{};
        g.insert(g.end(), id.begin(), id.end());
        return attr(T::tunnel_type, tagged(tag, 13)) + attr(T::tunnel_medium_type, tagged(tag, 6)) +
               attr(T::tunnel_private_group_id, g);
    };
    std::vector<parse_case> cases = {
        {"no medium type", attr(T::tunnel_type, tagged(1, 13)) + attr(T::tunnel_private_group_id, bytes{1, '5'}), 406, 0},
        {"tag mismatch", attr(T::tunnel_type, tagged(1, 13)) + attr(T::tunnel_medium_type, tagged(2, 6)) + attr(T::tunnel_private_group_id, bytes{1, '5'}), 406, 0},
        {"vlan 0", vlan(1, "0"), 407, 0},
        {"vlan 4095", vlan(1, "4095"), 407, 0},
        {"vlan 4094", vlan(1, "4094"), 0, 4094},
        {"untagged", vlan(0, "12"), 0, 12},
        {"leading zero", vlan(3, "010"), 0, 10},
        {"hex", vlan(3, "0x10"), 407, 0},
        {"medium not 802", attr(T::tunnel_type, tagged(1, 13)) + attr(T::tunnel_medium_type, tagged(1, 1)), 407, 0},
        {"tunnel attrs without a type are ignored", attr(T::tunnel_private_group_id, "x"), 0, 0},
        {"unknown vendor in an Accept", vsa(9999, 1, "x"), 0, 0},
        {"unsupported attr in an Accept", attr(T::reply_message, "hi"), 0, 0},
        {"interim 59 raised", attr(T::acct_interim_interval, int_bytes(59)), 0, 0},
        {"interim malformed", attr(T::acct_interim_interval, bytes{0, 60}), 407, 0},
        {"termination request without State", attr(T::termination_action, int_bytes(1)), 0, 0},
        {"termination 2", attr(T::termination_action, int_bytes(2)), 407, 0},
        {"session timeout of 3 bytes", attr(T::session_timeout, bytes{0, 0, 1}), 407, 0},
        {"unknown Filter-Id", attr(T::filter_id, "nope"), 407, 0},
        {"malformed rule", attr(radius_attr_type(92), "permit bogus"), 407, 0},
        {"bandwidth of 2 bytes", vsa(RADIUS_VENDOR_ULMEX, 2, bytes{1, 2}), 407, 0},
    };
    for (const auto &c : cases) {
        auto h = host();
        radius_entry *e = start(*h);
        packet *m = packet_of(h->pool.get(), message(radius_code::access_accept, 0, c.attrs));
        radius_store *s = radius_store_create(8192);
        EXPECT_EQ(radius_db_parse_authz(e, m, s), c.cause) << c.name;
        if (c.cause == 0) {
            EXPECT_EQ(radius_authz_vlan(&e->authz), c.vlan) << c.name;
            if (std::string(c.name) == "interim 59 raised") {
                EXPECT_EQ(e->authz.interim_interval, 60u);
            }
            if (std::string(c.name).rfind("termination request", 0) == 0) {
                EXPECT_TRUE(e->authz.flags & RADIUS_AUTHZ_TERMINATE_REQUEST);
            }
            // The record points into the store it was parsed into: put it back.
            e->authz = radius_authz{};
            e->authz.user_name = e->default_user_name;
        }
        radius_sess_delete(e);
        radius_store_free(s);
        packet_release(m);
    }
    // Without an accounting server the interval is ignored.
    db_host::options o;
    o.acct = false;
    auto h = host(o);
    radius_entry *e = grant(*h, attr(T::acct_interim_interval, int_bytes(600)));
    EXPECT_EQ(e->authz.interim_interval, 0u);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, RulesFromFilterIdsAndNasFilterRulesAreCappedAndTheStoreGrows)
{
    auto h = host();
    std::vector<filter_rule> rules(3);
    ASSERT_EQ(filter_rule_parse(&rules[0], "permit in ip from any to 10.0.0.0/8", 0), 0);
    ASSERT_EQ(filter_rule_parse(&rules[1], "deny in ip from any to any", 0), 0);
    rules[2] = rules[1];
    ASSERT_EQ(radius_db_add_filter(h->db, "staff", rules.data(), 2), 0);
    ASSERT_EQ(radius_db_add_filter(h->db, "big", rules.data(), 3), 0);
    radius_db_remove_filter(h->db, "big");
    EXPECT_EQ(h->db->max_filter_rules, 3u); // never shrinks
    const char *names[4];
    EXPECT_EQ(radius_db_list_filters(h->db, names, 4), 1);
    EXPECT_EQ(radius_db_get_filter(h->db, "", nullptr, 0), 0);
    EXPECT_EQ(radius_db_get_filter(h->db, "big", nullptr, 0), -1);
    radius_entry *e = grant(*h, attr(T::filter_id, "staff") +
                                    attr(radius_attr_type(92), "permit in ip from any to 10.0.0.0/8"));
    ASSERT_EQ(e->authz.rule_count, 3u);
    EXPECT_EQ(memcmp(&e->authz.rules[0], &rules[0], sizeof(filter_rule)), 0);
    // 507 rules are refused rather than cut: a dropped rule could be a deny.
    bytes many;
    for (int i = 0; i < 507; i++)
        many = many + attr(radius_attr_type(92), "deny in ip from any to any");
    packet *m = packet_of(h->pool.get(), message(radius_code::access_accept, 0, {}));
    radius_store *s = radius_store_create(0);
    packet *big = packet_of(h->pool.get(), message(radius_code::access_accept, 0, bytes(many.begin(), many.begin() + std::min<size_t>(many.size(), 4000))));
    EXPECT_EQ(radius_db_parse_authz(e, big, s), 506); // the store is short: grow and retry
    packet_release(big);
    packet_release(m);
    radius_store_free(s);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, CachedAuthorizationServesAReturningStationWithWhatIsLeft)
{
    db_host::options o;
    o.cache = true;
    o.realm_len = 2;
    auto h = host(o);
    const uint8_t realm[2] = {'r', '1'};
    radius_entry *e = radius_db_create_sess(h->db, realm, MAC, reinterpret_cast<void *>(1));
    radius_db_authorize_sess(e, nullptr);
    h->answer(h->last(radius_code::access_request), radius_code::access_accept,
              attr(T::session_timeout, int_bytes(1000)) + vsa(RADIUS_VENDOR_ULMEX, 5, int_bytes(1000)) +
                  attr(T::user_name, "bob"));
    ASSERT_TRUE(radius_cache_first(h->cache));
    h->advance(500 * 1000);
    radius_db_count_traffic(e, 0, 0, 0, 100);
    radius_sess_delete(e);
    e = radius_db_create_sess(h->db, realm, MAC, reinterpret_cast<void *>(1));
    radius_db_authorize_sess(e, nullptr);
    EXPECT_EQ(h->all(radius_code::access_request).size(), 1u);
    EXPECT_EQ(e->authz.session_timeout, 500u);
    EXPECT_EQ(e->authz.volume_down, 900u);
    EXPECT_STREQ(e->authz.user_name, "bob");
    EXPECT_EQ(radius_db_lookup_sess(h->db, MAC), e);
    // Used up by the session: the entry goes when charged.
    radius_db_count_traffic(e, 0, 0, 0, 950);
    EXPECT_EQ(e->state, RADIUS_STATE_INITIALIZE);
    EXPECT_FALSE(radius_cache_first(h->cache));
    EXPECT_EQ(h->revoked.size(), 1u);
    EXPECT_EQ(radius_cache_revoke_by_realm(h->cache, realm), -1);
    EXPECT_EQ(h->revoked.size(), 1u);
    radius_sess_delete(e);
}

TEST_F(RadiusDb, CacheChargesReplacesAndRevokes)
{
    db_host::options o;
    o.cache = true;
    o.auth = o.acct = false;
    auto h = host(o);
    radius_authz a{};
    a.session_timeout = 100;
    a.volume_up = 10;
    a.user_name = const_cast<char *>("carol");
    ASSERT_EQ(radius_cache_create_entry(h->cache, nullptr, MAC, &a), 0);
    // An exhausted entry is never read as unlimited.
    h->advance(100 * 1000 - 1);
    set_clock_ms(db_host::clock_now() + 1);
    EXPECT_FALSE(radius_cache_lookup(h->cache, nullptr, MAC));
    EXPECT_EQ(h->revoked.size(), 1u);
    ASSERT_EQ(radius_cache_create_entry(h->cache, nullptr, MAC, &a), 0);
    ASSERT_EQ(radius_cache_create_entry(h->cache, nullptr, MAC, &a), 0); // replaced: old revoked
    EXPECT_EQ(h->revoked.size(), 2u);
    EXPECT_EQ(radius_cache_account(h->cache, nullptr, MAC, 10, 0), 0);
    EXPECT_FALSE(radius_cache_first(h->cache));
    ASSERT_EQ(radius_cache_create_entry(h->cache, nullptr, MAC, &a), 0);
    EXPECT_EQ(radius_cache_revoke_by_name(h->cache, "dave"), -1);
    EXPECT_EQ(radius_cache_revoke_by_name(h->cache, "carol"), 0);
    EXPECT_EQ(h->revoked.size(), 4u);
    // A lifetime longer than the 32-bit clock's half range is armed in pieces.
    a.session_timeout = RADIUS_MAX_DELAY_SEC + 100;
    ASSERT_EQ(radius_cache_create_entry(h->cache, nullptr, MAC, &a), 0);
    EXPECT_LE(h->longest_arm, 0x7fffffffu);
    h->advance(0x7fffffffull + 10);
    ASSERT_TRUE(radius_cache_first(h->cache));
    EXPECT_EQ(h->revoked.size(), 4u);
    h->advance(uint64_t(RADIUS_MAX_DELAY_SEC) * 1000);
    EXPECT_FALSE(radius_cache_first(h->cache));
}

TEST_F(RadiusDb, SessionTimeoutsBeyondTheClockRangeAreArmedInPiecesAndZeroRevokes)
{
    db_host::options o;
    o.cache = true;
    auto h = host(o);
    radius_authz cached{};
    cached.session_timeout = 50;
    radius_cache_create_entry(h->cache, nullptr, MAC, &cached);
    radius_cache_revoke(h->cache, nullptr, MAC);
    radius_entry *e = start(*h);
    h->answer(h->last(radius_code::access_request), radius_code::access_accept,
              attr(T::session_timeout, int_bytes(4294967295u)));
    EXPECT_LE(h->longest_arm, 0x7fffffffu);
    h->advance(0x7fffffffull + 1000);
    EXPECT_EQ(e->state, RADIUS_STATE_IDLE); // not fired early
    h->advance(uint64_t(RADIUS_MAX_DELAY_SEC) * 1000);
    EXPECT_EQ(h->deauthorized.size(), 1u);
    radius_sess_delete(e);
    e = start(*h);
    size_t before = h->revoked.size();
    radius_cache_create_entry(h->cache, nullptr, MAC, &cached);
    h->answer(h->last(radius_code::access_request), radius_code::access_accept, {});
    EXPECT_EQ(h->revoked.size(), before + 1); // Session-Timeout 0 removes the cached grant
    radius_sess_delete(e);
}

// Enough sessions to grow the index several times; ids are taken two per
// session, so neighbouring ids must never stand for one another.
TEST_F(RadiusDb, SessionsAreFoundByTheirAccountingSessionIdAmongMany)
{
    auto h = host();
    std::vector<radius_entry *> es;
    for (int i = 0; i < 700; i++) {
        const uint8_t mac[6] = {0x02, 0, 0, 0, uint8_t(i >> 8), uint8_t(i)};
        radius_entry *e = radius_db_create_sess(h->db, nullptr, mac, reinterpret_cast<void *>(1));
        radius_db_authorize_sess(e, nullptr);
        ASSERT_GE(h->answer(h->last(radius_code::access_request), radius_code::access_accept, {}), 0);
        h->answer(h->last(radius_code::accounting_request), radius_code::accounting_response, {});
        ASSERT_EQ(e->state, RADIUS_STATE_IDLE);
        es.push_back(e);
    }
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < es.size(); i++) {
        radius_entry *e = es[i];
        ids.push_back(e->session_id_num);
        EXPECT_EQ(radius_db_lookup_sess_by_session_id(h->db, e->session_id_num), e) << i;
        // Reserved for the next authorization, not yet in use.
        EXPECT_EQ(radius_db_lookup_sess_by_session_id(h->db, e->next_session_id_num), nullptr) << i;
    }
    for (size_t i = 0; i < es.size(); i += 2)
        radius_sess_delete(es[i]);
    for (size_t i = 0; i < es.size(); i++)
        EXPECT_EQ(radius_db_lookup_sess_by_session_id(h->db, ids[i]), i % 2 ? es[i] : nullptr) << i;
    for (size_t i = 1; i < es.size(); i += 2)
        radius_sess_delete(es[i]);
}

TEST_F(RadiusDb, DestroyingTheDatabaseSendsStopForEveryStartedSession)
{
    auto h = host();
    grant(*h, {});
    size_t before = h->all(radius_code::accounting_request).size();
    radius_db_destroy(h->db);
    h->db = nullptr;
    auto acct = h->all(radius_code::accounting_request);
    ASSERT_EQ(acct.size(), before + 1);
    EXPECT_EQ(int_of(attrs_of(acct.back())[40]), 2u);
}

} // namespace
