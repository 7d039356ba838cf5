// Sessions against FreeRADIUS: a MAC station granted every field of the
// authorization, its accounting as the server's detail file records it, a
// rejected station and one whose server went away.
#include <gtest/gtest.h>

#include "common/filter/filter_rule.h"
#include "radius_db_host.h"
#include "radius_peer.h"

using namespace radius_test;

namespace {

const uint8_t GRANTED[6] = {0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};
const uint8_t REJECTED[6] = {0x02, 0x00, 0x00, 0x00, 0x0a, 0x02};

const char *DICTIONARY = "VENDOR\tUlmex\t32473\n"
                         "BEGIN-VENDOR\tUlmex\n"
                         "ATTRIBUTE\tUlmex-Redirection-URL\t1\tstring\n"
                         "ATTRIBUTE\tUlmex-Max-Bandwidth-Up\t2\tinteger\n"
                         "ATTRIBUTE\tUlmex-Max-Bandwidth-Down\t3\tinteger\n"
                         "ATTRIBUTE\tUlmex-Max-Volume-Up\t4\tinteger\n"
                         "ATTRIBUTE\tUlmex-Max-Volume-Down\t5\tinteger\n"
                         "ATTRIBUTE\tUlmex-Captive-Portal\t6\tstring\n"
                         "END-VENDOR\tUlmex\n";

// A re-authorization presents the User-Name the first grant gave.
const std::string REPLY = "\tSession-Timeout = 3600,\n"
                    "\tTermination-Action = RADIUS-Request,\n"
                    "\tAcct-Interim-Interval = 120,\n"
                    "\tTunnel-Type:3 = VLAN,\n"
                    "\tTunnel-Medium-Type:3 = IEEE-802,\n"
                    "\tTunnel-Private-Group-Id:3 = \"42\",\n"
                    "\tFilter-Id = \"staff\",\n"
                    "\tNAS-Filter-Rule = \"permit in ip from any to 10.0.0.0/8\",\n"
                    "\tWISPr-Bandwidth-Max-Up = 1000,\n"
                    "\tWISPr-Bandwidth-Max-Down = 2000,\n"
                    "\tUlmex-Max-Volume-Up = 4000000000,\n"
                    "\tUlmex-Max-Volume-Down = 3000000000,\n"
                    "\tUlmex-Redirection-URL = \"http://r.example/\",\n"
                    "\tUlmex-Captive-Portal = \"http://p.example/\",\n"
                    "\tUser-Name = \"granted-user\",\n"
                    "\tClass = \"class-1\",\n"
                    "\tChargeable-User-Identity = \"cui-42\"\n";
const std::string USERS = "\"02-00-00-00-0A-01\" Auth-Type := Accept\n" + REPLY +
                          "\"granted-user\" Auth-Type := Accept\n" + REPLY +
                          "DEFAULT Auth-Type := Reject\n";

TEST(RadiusDbFreeRadius, StationGrantedEveryFieldAccountedRejectedAndTimedOut)
{
    if (!have_program("freeradius"))
        GTEST_SKIP() << "freeradius is not installed (scripts/setup.sh radius installs it)";
    set_clock_ms(0);
    clock_refresh_offset();
    freeradius fr;
    fr.dictionary = DICTIONARY;
    fr.detail = true;
    ASSERT_TRUE(fr.start(DB_SECRET, USERS)) << fr.log();
    db_host::options o;
    o.udp = true;
    o.auth_port = fr.auth_port;
    o.acct_port = fr.acct_port;
    db_host h(o);
    ASSERT_TRUE(h.db);
    filter_rule staff;
    ASSERT_EQ(filter_rule_parse(&staff, "deny in ip from any to any", 0), 0);
    ASSERT_EQ(radius_db_add_filter(h.db, "staff", &staff, 1), 0);

    radius_entry *e = radius_db_create_sess(h.db, nullptr, GRANTED, reinterpret_cast<void *>(1));
    radius_db_authorize_sess(e, nullptr);
    std::string presented = e->next_session_id, multi = e->acct_multi_session_id;
    ASSERT_TRUE(h.run_until([&] { return !h.authorized.empty(); }, 5000)) << fr.log();
    const radius_authz &a = e->authz;
    EXPECT_EQ(a.session_timeout, 3600u);
    EXPECT_TRUE(a.flags & RADIUS_AUTHZ_TERMINATE_REQUEST);
    EXPECT_EQ(a.interim_interval, 120u);
    EXPECT_EQ(radius_authz_vlan(&a), 42u);
    EXPECT_EQ(radius_authz_acct_authentic(&a), 2u);
    ASSERT_EQ(a.rule_count, 2u);
    EXPECT_EQ(memcmp(&a.rules[0], &staff, sizeof staff), 0);
    EXPECT_EQ(a.bandwidth_up, 1000u);
    EXPECT_EQ(a.bandwidth_down, 2000u);
    EXPECT_EQ(a.volume_up, 4000000000u);
    EXPECT_EQ(a.volume_down, 3000000000u);
    EXPECT_STREQ(a.redirect_url, "http://r.example/");
    EXPECT_STREQ(a.captive_portal, "http://p.example/");
    EXPECT_STREQ(a.user_name, "granted-user");
    EXPECT_STREQ(a.cui, "cui-42");
    ASSERT_TRUE(e->class_attr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(e->class_attr) + 2, e->class_attr[1] - 2u),
              "class-1");
    EXPECT_EQ(std::string(e->acct_session_id), presented);
    EXPECT_EQ(presented, multi);

    std::string detail = fr.dir + "/detail";
    ASSERT_TRUE(wait_for_text(fr.dir, detail, "Acct-Status-Type = Start", 5000)) << fr.log();
    // An Interim-Update now rather than in two minutes.
    // The Accounting-Response arms the interim timer.
    ASSERT_TRUE(h.run_until([&] { return h.timers.count(&e->interim.t) != 0; }, 5000));
    radius_db_count_traffic(e, 10, 20, 1000, 2000);
    h.timers[&e->interim.t].first = 0;
    e->interim.due = 1;
    h.run_until([&] { return !h.timers.count(&e->interim.t) || h.timers[&e->interim.t].first > 0; }, 2000);
    ASSERT_TRUE(wait_for_text(fr.dir, detail, "Acct-Status-Type = Interim-Update", 5000));
    // Past the volume: the session is re-authorized (Termination-Action) and
    // its first accounting session stops with Gigawords split off.
    radius_db_count_traffic(e, 1, 1, 5ull << 32, 0);
    ASSERT_TRUE(h.run_until([&] { return h.authorized.size() == 2; }, 5000)) << fr.log();
    radius_db_deauthorize_sess(e, 3);
    ASSERT_TRUE(wait_for_text(fr.dir, detail, "Acct-Terminate-Cause = Lost-Carrier", 5000));
    std::string text = read_file(detail);
    EXPECT_NE(text.find("Acct-Session-Id = \"" + presented + "\""), std::string::npos) << text;
    EXPECT_NE(text.find("Acct-Multi-Session-Id = \"" + multi + "\""), std::string::npos);
    EXPECT_NE(text.find("Acct-Input-Gigawords = 5"), std::string::npos) << text;
    EXPECT_NE(text.find("Acct-Input-Octets = 1000"), std::string::npos) << text;
    EXPECT_NE(text.find("Acct-Link-Count = 2"), std::string::npos);
    EXPECT_NE(text.find("Class = 0x"), std::string::npos);
    EXPECT_NE(text.find("Acct-Terminate-Cause = Session-Timeout"), std::string::npos);
    EXPECT_NE(text.find("WLAN-Reason-Code = 3"), std::string::npos);
    EXPECT_NE(text.find("Chargeable-User-Identity = 0x6375692d3432"), std::string::npos) << text;
    // A Start holds no counters: the first record ends before any Session-Time.
    size_t first_start = text.find("Acct-Status-Type = Start");
    size_t first_time = text.find("Acct-Session-Time");
    size_t interim = text.find("Acct-Status-Type = Interim-Update");
    EXPECT_LT(first_start, interim);
    EXPECT_GT(first_time, first_start);
    EXPECT_NE(text.substr(0, interim).rfind("\n\n"), std::string::npos);
    EXPECT_EQ(h.deauthorized.size(), 1u);
    radius_sess_delete(e);

    radius_entry *r = radius_db_create_sess(h.db, nullptr, REJECTED, nullptr);
    radius_db_authorize_sess(r, nullptr);
    ASSERT_TRUE(h.run_until([&] { return h.deauthorized.size() == 2; }, 5000));
    EXPECT_EQ(r->state, RADIUS_STATE_INITIALIZE);
    EXPECT_EQ(r->terminate_cause, 15);

    // The server goes away: the request is given up and the attempt ends.
    fr.stop();
    radius_db_authorize_sess(r, nullptr);
    h.advance(31000);
    EXPECT_EQ(h.deauthorized.size(), 3u);
    EXPECT_EQ(r->state, RADIUS_STATE_INITIALIZE);
    radius_sess_delete(r);
}

} // namespace
