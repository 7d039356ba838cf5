// The 802.1X port and its EAP authenticator against a scripted AAA back end:
// the frames a station sees, what reaches the server, the machines' states,
// timers and the key cache's counters.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot1x_port.h"
#include "dot11/eap_auth.h"
#include "tests/dot11/dot11_test_util.h"

namespace
{

using frame = std::vector<uint8_t>;
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x30, 0x00, 0x01};

struct host;
host *current = nullptr;

// The server side as the test scripts it.
struct backend {
    eap_aaa aaa{};
    void (*done)(void *) = nullptr;
    void *user = nullptr;
    std::vector<frame> to_server; // aaaEapRespData of each run
    std::vector<frame> identities;
    std::function<void(backend *)> on_run;
};

frame bytes_of(const packet *p)
{
    frame f(p->length);
    packet_access(const_cast<packet *>(p), 0, p->length, f.data(), PACKET_ACCESS_READ);
    return f;
}

struct host {
    mempool *pool = packet_pool_create(nullptr);
    dot1xAuthStats st{};
    dot1xAuthDiag diag{};
    std::vector<frame> sent;
    std::map<timer *, std::pair<uint32_t, timer_fn>> timers;
    std::function<void()> on_send, on_notify;
    backend *be = nullptr;
    int be_created = 0, be_destroyed = 0, notifies = 0;
    dot1x_port *port = nullptr;
    dot1xAuthConfig cfg = dot1x_config_template;
    uint64_t saved_sec = clock_monotonic_sec;

    static inline const eap_aaa_ops aaa_ops = {
        .create = [](radius_client *, const uint8_t *, void (*done)(void *),
                     void *user) -> eap_aaa * {
            auto *b = new backend;
            b->done = done;
            b->user = user;
            current->be = b;
            current->be_created++;
            return &b->aaa;
        },
        .destroy =
            [](eap_aaa *a) {
                auto *b = reinterpret_cast<backend *>(a);
                packet_release(a->aaaEapReqData);
                packet_release(a->aaaEapRespData);
                packet_release(a->aaaIdentity);
                if (current->be == b) current->be = nullptr;
                current->be_destroyed++;
                delete b;
            },
        .run =
            [](eap_aaa *a) {
                auto *b = reinterpret_cast<backend *>(a);
                if (a->aaaIdentity) {
                    b->identities.push_back(bytes_of(a->aaaIdentity));
                    packet_release(a->aaaIdentity);
                    a->aaaIdentity = nullptr;
                }
                if (a->flags & EAP_AAA_EAP_RESP) {
                    b->to_server.push_back(bytes_of(a->aaaEapRespData));
                    packet_release(a->aaaEapRespData);
                    a->aaaEapRespData = nullptr;
                    a->flags &= uint8_t(~EAP_AAA_EAP_RESP);
                }
                if (b->on_run) b->on_run(b);
            },
    };
    static inline const dot1x_ops ops = {
        .send =
            [](void *u, packet *p) {
                auto *h = static_cast<host *>(u);
                h->sent.push_back(bytes_of(p));
                if (h->on_send) h->on_send();
            },
        .notify =
            [](void *u) {
                auto *h = static_cast<host *>(u);
                h->notifies++;
                if (h->on_notify) h->on_notify();
            },
        .timer_start =
            [](void *u, timer *t, uint32_t ms, timer_fn fn) {
                static_cast<host *>(u)->timers[t] = {ms, fn};
            },
        .timer_stop = [](void *u, timer *t) { static_cast<host *>(u)->timers.erase(t); },
    };

    host()
    {
        current = this;
        clock_monotonic_sec = 5000;
    }
    ~host()
    {
        dot1x_auth_delete(port);
        EXPECT_EQ(be_created, be_destroyed);
        mempool_unref(pool);
        clock_monotonic_sec = saved_sec;
        current = nullptr;
    }
    void start(bool enabled = true)
    {
        port = dot1x_auth_create(&ops, this, &aaa_ops, nullptr, kSta, &cfg, &st, &diag, pool);
        ASSERT_NE(port, nullptr);
        if (enabled) dot1x_auth_set_enabled(port, true);
    }
    void recv(const frame &f)
    {
        packet *p = packet_from_bytes(pool, f.data(), f.size());
        dot1x_auth_recv(port, p);
        packet_release(p);
    }
    frame take()
    {
        if (sent.empty()) return {};
        frame f = sent.front();
        sent.erase(sent.begin());
        return f;
    }
    // The server's answer: an EAP packet (or none) with the given AAA flags.
    void answer(uint8_t flags, const frame &eap = {})
    {
        backend *b = be;
        if (!eap.empty()) b->aaa.aaaEapReqData = packet_from_bytes(pool, eap.data(), eap.size());
        b->aaa.flags |= flags;
        b->done(b->user);
    }
    bool fire(timer *t, uint32_t advance_s = 0)
    {
        auto it = timers.find(t);
        if (it == timers.end()) return false;
        timer_fn fn = it->second.second;
        timers.erase(it);
        clock_monotonic_sec += advance_s;
        fn(t);
        return true;
    }
    timer *eap_timer() { return &port->eap->tick; }
    uint8_t pae() const { return dot1x_pae_state(port->config); }
    uint8_t backend_st() const { return dot1x_backend_state(port->config); }
};

frame eapol(uint8_t type, const frame &body)
{
    frame f = {2, type, uint8_t(body.size() >> 8), uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}
frame eap_pkt(uint8_t code, uint8_t id, const frame &data)
{
    size_t n = 4 + data.size();
    frame f = {code, id, uint8_t(n >> 8), uint8_t(n)};
    f.insert(f.end(), data.begin(), data.end());
    return f;
}
frame identity_resp(uint8_t id, const std::string &name = "alice")
{
    frame d = {EAP_TYPE_IDENTITY};
    d.insert(d.end(), name.begin(), name.end());
    return eap_pkt(EAP_CODE_RESPONSE, id, d);
}
// The identifier of an identity request as the station receives it, or -1.
int identity_request_id(const frame &f)
{
    if (f.size() != 9 || f[1] != DOT1X_EAPOL_EAP || f[4] != EAP_CODE_REQUEST ||
        f[8] != EAP_TYPE_IDENTITY)
        return -1;
    return f[5];
}
// What the station receives: EAPOL header then EAP.
frame to_station(const frame &eap)
{
    return eapol(DOT1X_EAPOL_EAP, eap);
}

TEST(Dot1xPort, FullExchangeReachesAuthenticatedWithKeyAndCounters)
{
    host h;
    h.start();
    EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_REQUEST, 2, {EAP_TYPE_IDENTITY})));
    EXPECT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATING);
    EXPECT_EQ(h.backend_st(), DOT1X_BE_REQUEST);
    EXPECT_TRUE(h.timers.count(h.eap_timer()));

    h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
    ASSERT_EQ(h.be->identities.size(), 1u);
    EXPECT_EQ(h.be->identities[0], identity_resp(2));
    ASSERT_EQ(h.be->to_server.size(), 1u);
    EXPECT_EQ(h.backend_st(), DOT1X_BE_RESPONSE);
    EXPECT_EQ(h.timers[&h.port->tick].first, 30000u); // serverTimeout

    frame md5 = eap_pkt(EAP_CODE_REQUEST, 7,
                        {4, 16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    h.answer(EAP_AAA_EAP_REQ, md5);
    EXPECT_EQ(h.take(), to_station(md5));
    EXPECT_EQ(h.backend_st(), DOT1X_BE_REQUEST);

    frame resp =
        eap_pkt(EAP_CODE_RESPONSE, 7, {4, 16, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
    h.recv(eapol(DOT1X_EAPOL_EAP, resp));
    ASSERT_EQ(h.be->to_server.size(), 2u);
    EXPECT_EQ(h.be->to_server[1], resp);

    // Accept without an EAP packet: we send the Success ourselves.
    memset(h.be->aaa.msk, 0xab, 64);
    h.be->aaa.msk_len = 64;
    strcpy(h.be->aaa.identity, "alice");
    h.be->aaa.session_timeout = 3600;
    h.answer(EAP_AAA_SUCCESS | EAP_AAA_KEY_AVAILABLE | EAP_AAA_TERMINATE_RADIUS);
    EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_SUCCESS, 7, {})));
    EXPECT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATED);
    // PAE AUTHENTICATED, backend IDLE, authorized, Auto, key transmission.
    EXPECT_EQ(h.port->config.states, 0x56);
    EXPECT_EQ(h.port->config.port, 0x19);

    dot11_pae_result res{};
    dot1x_pae_ops.result(h.port, &res);
    EXPECT_TRUE(res.auth_success);
    EXPECT_TRUE(res.key_available);
    ASSERT_EQ(res.msk_len, 64u);
    EXPECT_EQ(res.msk[63], 0xab);
    EXPECT_STREQ(res.identity, "alice");
    EXPECT_EQ(res.session_timeout, 3600u);
    EXPECT_TRUE(res.termination_action);

    EXPECT_EQ(h.st.dot1xAuthEapolFramesRx, 2u);
    EXPECT_EQ(h.st.dot1xAuthEapolFramesTx, 3u);
    EXPECT_EQ(h.st.dot1xAuthEapolRespIdFramesRx, 1u);
    EXPECT_EQ(h.st.dot1xAuthEapolRespFramesRx, 1u);
    EXPECT_EQ(h.st.dot1xAuthEapolReqIdFramesTx, 1u);
    EXPECT_EQ(h.st.dot1xAuthEapolReqFramesTx, 1u);
    EXPECT_EQ(h.st.dot1xAuthLastEapolFrameVersion, 2u);
    EXPECT_EQ(0, memcmp(h.st.dot1xAuthLastEapolFrameSource, kSta, 6));
    EXPECT_EQ(h.diag.dot1xAuthEntersConnecting, 1u);
    EXPECT_EQ(h.diag.dot1xAuthEntersAuthenticating, 1u);
    EXPECT_EQ(h.diag.dot1xAuthAuthSuccessWhileAuthenticating, 1u);
    EXPECT_EQ(h.diag.dot1xAuthBackendResponses, 2u);
    EXPECT_EQ(h.diag.dot1xAuthBackendAccessChallenges, 1u);
    EXPECT_EQ(h.diag.dot1xAuthBackendOtherRequestsToSupplicant, 2u);
    EXPECT_EQ(h.diag.dot1xAuthBackendAuthSuccesses, 1u);
    EXPECT_EQ(h.diag.dot1xAuthBackendAuthFails, 0u);
}

TEST(Dot1xPort, RejectSendsFailureHoldsThenRestarts)
{
    host h;
    h.start();
    h.take();
    h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
    h.answer(EAP_AAA_FAIL);
    EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_FAILURE, 2, {})));
    EXPECT_EQ(h.pae(), DOT1X_PAE_HELD);
    EXPECT_EQ(h.diag.dot1xAuthAuthFailWhileAuthenticating, 1u);
    EXPECT_EQ(h.diag.dot1xAuthBackendAuthFails, 1u);
    dot11_pae_result res{};
    dot1x_pae_ops.result(h.port, &res);
    EXPECT_FALSE(res.auth_success);
    // quietPeriod 60 s, then a fresh identity request.
    ASSERT_TRUE(h.fire(&h.port->tick, 59));
    EXPECT_EQ(h.pae(), DOT1X_PAE_HELD);
    EXPECT_TRUE(h.sent.empty());
    ASSERT_TRUE(h.fire(&h.port->tick, 1));
    EXPECT_GT(identity_request_id(h.take()), 2);
    EXPECT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATING);
}

TEST(Dot1xPort, UnansweredRequestIsSentSixTimesThenFails)
{
    host h;
    h.start();
    frame req = to_station(eap_pkt(EAP_CODE_REQUEST, 2, {EAP_TYPE_IDENTITY}));
    int sends = 0;
    for (int i = 0; i < 20 && h.pae() == DOT1X_PAE_AUTHENTICATING; i++) {
        while (!h.sent.empty() && h.sent.front() == req) {
            h.take();
            sends++;
        }
        if (!h.sent.empty()) break;
        ASSERT_TRUE(h.fire(h.eap_timer(), 1));
    }
    EXPECT_EQ(sends, 6);
    EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_FAILURE, 2, {})));
    EXPECT_EQ(h.diag.dot1xAuthAuthTimeoutsWhileAuthenticating, 1u);
    // The port starts over with a new identifier.
    EXPECT_GT(identity_request_id(h.take()), 2);
}

TEST(Dot1xPort, LostBackendOrSilentServerTimesOut)
{
    {
        host h; // the RADIUS session went away: aaaTimeout
        h.start();
        h.take();
        h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
        h.answer(EAP_AAA_TIMEOUT);
        EXPECT_EQ(h.port->eap->state, EAP_STATE_TIMEOUT_FAILURE);
        EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_FAILURE, 2, {})));
    }
    {
        host h; // the server never answers: serverTimeout
        h.start();
        h.take();
        h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
        ASSERT_TRUE(h.fire(&h.port->tick, 30));
        EXPECT_EQ(h.diag.dot1xAuthAuthTimeoutsWhileAuthenticating, 1u);
        EXPECT_GT(identity_request_id(h.take()), 2);
    }
}

// What a station may send in place of its identity response.
TEST(Dot1xPort, StationFramesTable)
{
    frame id = identity_resp(2);
    frame padded_body = id;
    padded_body.resize(id.size() + 10, 0); // EAPOL body longer than the EAP packet
    frame padded_frame = eapol(DOT1X_EAPOL_EAP, id);
    padded_frame.resize(60, 0); // Ethernet padding behind the body
    frame long_eap = eapol(DOT1X_EAPOL_EAP, id);
    long_eap[7] = uint8_t(id.size() + 1); // EAP Length beyond the body
    frame long_body = eapol(DOT1X_EAPOL_EAP, id);
    long_body[3] = uint8_t(id.size() + 1); // EAPOL body beyond the frame
    struct row {
        const char *name;
        frame f;
        bool reaches_server;
        uint32_t rx, length_errors, invalid;
        const char *log;
    } rows[] = {
        {"exact", eapol(0, id), true, 1, 0, 0, nullptr},
        {"padded body", eapol(0, padded_body), true, 1, 0, 0, nullptr},
        {"padded frame", padded_frame, true, 1, 0, 0, nullptr},
        {"3 bytes", {2, 0, 0}, false, 0, 1, 0, "discarding short EAPOL frame 3 bytes"},
        {"body beyond frame", long_body, false, 1, 1, 0, "discarding short EAPOL frame"},
        {"EAP beyond body", long_eap, false, 1, 1, 0, "discarding EAP-Packet"},
        {"4-byte response", eapol(0, eap_pkt(EAP_CODE_RESPONSE, 2, {})), false, 1, 0, 0,
         "EAP Authenticator dropping short EAP packet 4 bytes"},
        {"request from station", eapol(0, eap_pkt(EAP_CODE_REQUEST, 2, {1})), false, 1, 0, 0,
         "dropping EAP packet with code 1"},
        {"wrong identifier", eapol(0, identity_resp(9)), false, 1, 0, 0, nullptr},
        {"EAPOL-Key", eapol(DOT1X_EAPOL_KEY, frame(95, 0)), false, 1, 0, 0,
         "discarding EAPOL-Key in 802.1X PAE"},
        {"ASF alert", eapol(DOT1X_EAPOL_ASF_ALERT, {}), false, 1, 0, 1, nullptr},
        {"type 9", eapol(9, {}), false, 1, 0, 0, "discarding EAPOL frame of type 9"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture cap;
        host h;
        h.start();
        h.take();
        h.recv(r.f);
        ASSERT_NE(h.be, nullptr);
        EXPECT_EQ(h.be->to_server.size(), r.reaches_server ? 1u : 0u);
        if (r.reaches_server) {
            EXPECT_EQ(h.be->to_server[0], id);
        }
        EXPECT_EQ(h.st.dot1xAuthEapolFramesRx, r.rx);
        EXPECT_EQ(h.st.dot1xAuthEapLengthErrorFramesRx, r.length_errors);
        EXPECT_EQ(h.st.dot1xAuthInvalidEapolFramesRx, r.invalid);
        if (r.log) {
            EXPECT_NE(logged.find(r.log), std::string::npos) << logged;
        }
        // Whatever came, the station can still answer.
        if (!r.reaches_server) {
            h.recv(eapol(0, id));
            EXPECT_EQ(h.be->to_server.size(), 1u);
        }
    }
}

TEST(Dot1xPort, StartAndLogoffFollowTheMachines)
{
    host h;
    h.start();
    h.take();
    // EAPOL-Start while authenticating: abort and ask again.
    h.recv(eapol(DOT1X_EAPOL_START, {}));
    EXPECT_EQ(h.diag.dot1xAuthAuthEapStartsWhileAuthenticating, 1u);
    EXPECT_EQ(h.st.dot1xAuthEapolStartFramesRx, 1u);
    int id = identity_request_id(h.take());
    EXPECT_GT(id, 2);
    h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(uint8_t(id))));
    h.answer(EAP_AAA_SUCCESS);
    h.take();
    ASSERT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATED);
    // A repeated Start restarts an authenticated port.
    h.recv(eapol(DOT1X_EAPOL_START, {}));
    EXPECT_EQ(h.diag.dot1xAuthAuthEapStartsWhileAuthenticated, 1u);
    int id2 = identity_request_id(h.take());
    EXPECT_GT(id2, id);
    EXPECT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATING);
    h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(uint8_t(id2))));
    h.answer(EAP_AAA_SUCCESS);
    h.take();
    ASSERT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATED);
    // Logoff unauthorizes, then the port asks again.
    h.recv(eapol(DOT1X_EAPOL_LOGOFF, {}));
    EXPECT_EQ(h.diag.dot1xAuthAuthEapLogoffWhileAuthenticated, 1u);
    EXPECT_EQ(h.st.dot1xAuthEapolLogoffFramesRx, 1u);
    EXPECT_EQ(dot1x_port_status(h.port->config), DOT1X_PORT_UNAUTHORIZED);
    EXPECT_GT(identity_request_id(h.take()), 2);
}

TEST(Dot1xPort, ReauthenticationTimerRestartsAnAuthorizedPort)
{
    host h;
    h.cfg.port |= DOT1X_PORT_REAUTH;
    h.cfg.dot1xAuthReAuthPeriod = 10;
    h.start();
    h.take();
    h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
    h.answer(EAP_AAA_SUCCESS);
    h.take();
    ASSERT_EQ(h.pae(), DOT1X_PAE_AUTHENTICATED);
    EXPECT_EQ(h.timers[&h.port->tick].first, 10000u);
    ASSERT_TRUE(h.fire(&h.port->tick, 10));
    EXPECT_EQ(h.diag.dot1xAuthAuthReauthsWhileAuthenticated, 1u);
    EXPECT_GT(identity_request_id(h.take()), 2);
}

TEST(Dot1xPort, DisabledPortWaitsAndTemplateStartsAtInitialize)
{
    host h;
    h.start(false);
    EXPECT_TRUE(h.sent.empty());
    EXPECT_EQ(h.pae(), DOT1X_PAE_INITIALIZE);
    EXPECT_EQ(h.backend_st(), DOT1X_BE_IDLE);
    EXPECT_EQ(h.port->eap->state, EAP_STATE_DISABLED);
    EXPECT_EQ(h.port->config.port & (DOT1X_PORT_ADMIN_DIRS | DOT1X_PORT_OPER_DIRS), 0);
    dot1x_auth_set_enabled(h.port, true);
    EXPECT_EQ(h.take(), to_station(eap_pkt(EAP_CODE_REQUEST, 2, {EAP_TYPE_IDENTITY})));
}

TEST(Dot1xPort, DeleteFromInsideSendAndNotifyIsDeferred)
{
    for (int where = 0; where < 3; where++) {
        SCOPED_TRACE(where);
        log_capture cap;
        host h;
        h.start();
        h.take();
        auto drop = [&h] {
            dot1x_port *p = std::exchange(h.port, nullptr);
            dot1x_auth_delete(p);
        };
        if (where < 2) h.recv(eapol(DOT1X_EAPOL_EAP, identity_resp(2)));
        if (where == 0) { // the challenge's send
            h.on_send = drop;
            h.answer(EAP_AAA_EAP_REQ, eap_pkt(EAP_CODE_REQUEST, 2, {4, 0}));
        } else if (where == 1) { // notify during the run that the Accept starts
            h.on_notify = drop;
            h.answer(EAP_AAA_SUCCESS);
        } else { // the Failure sent from the retransmission tick's run
            h.on_send = [&h, drop] {
                if (h.sent.back()[4] == EAP_CODE_FAILURE) drop();
            };
            for (int i = 0; i < 10 && h.port; i++)
                h.fire(h.eap_timer(), 1);
        }
        EXPECT_EQ(h.port, nullptr);
        EXPECT_EQ(h.be_destroyed, 1);
        EXPECT_NE(logged.find(where < 2 ? "Running 802.1X PAE 02:00:5e:30:00:01 deferred destructor"
                                        : "Running EAP Authenticator 02:00:5e:30:00:01 deferred "
                                          "destructor"),
                  std::string::npos);
        EXPECT_TRUE(h.timers.empty());
    }
}

TEST(Dot1xPort, RestlessMachinesStopAfterHundredRounds)
{
    log_capture cap;
    host h;
    h.start();
    h.take();
    // A station that floods EAPOL-Start faster than the port can settle.
    h.on_notify = [&h] {
        if (h.port) h.port->eapolStart = true;
    };
    h.recv(eapol(DOT1X_EAPOL_START, {}));
    EXPECT_NE(logged.find("802.1X PAE 02:00:5e:30:00:01 did not finish in 100 steps"),
              std::string::npos);
    h.on_notify = nullptr;
}

} // namespace
