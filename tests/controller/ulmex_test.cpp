// The controller protocol session against a fake host: a settable clock, a timer that the
// test fires, and a send callback that keeps what was sent.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "controller/ulmex.h"
#include "tests/controller/ulmex_fixtures.h"

namespace {

void set_clock_ms(uint64_t ms)
{
    clock_monotonic_sec = ms / 1000;
    clock_monotonic_usec = (ms % 1000) * 1000;
}

struct sent_message {
    uint64_t at_ms;
    std::vector<uint8_t> bytes;
};

struct fake_host {
    ulmex_ops ops;
    ulmex_link link;
    mempool *pool = nullptr;
    uint64_t clock = 1000000;
    std::vector<sent_message> sent;
    std::vector<std::string> events;
    std::vector<std::pair<uint8_t, void *>> responses, failures, cancels;
    std::vector<uint32_t> request_ids;
    uint32_t armed_ms = 0;
    timer_fn armed_cb = nullptr;
    ulmex_arena scratch;

    static fake_host *of(ulmex_link *link) { return container_of(link, &fake_host::link); }
    static fake_host *of(ulmex_ops *ops) { return container_of(ops, &fake_host::ops); }

    explicit fake_host(const packet_pool_config *config = nullptr)
    {
        static const ulmex_ops callbacks = {
            .request_cb = [](ulmex_link *link, const ulmex_pdu *, uint32_t identity) {
                of(link)->request_ids.push_back(identity);
                of(link)->events.push_back("request");
            },
            .response_cb = [](ulmex_link *link, const ulmex_pdu *, uint8_t type, void *user) {
                of(link)->responses.emplace_back(type, user);
            },
            .failure_cb = [](ulmex_link *link, uint8_t type, void *user) {
                of(link)->failures.emplace_back(type, user);
                of(link)->events.push_back("failure");
            },
            .cancel_cb = [](ulmex_link *link, uint8_t type, void *user) {
                of(link)->cancels.emplace_back(type, user);
            },
            .send_cb = [](ulmex_link *link, packet *p) {
                fake_host *h = of(link);
                h->sent.push_back({h->clock, std::vector<uint8_t>(p->data, p->data + p->length)});
            },
            .timer_start_cb = [](ulmex_ops *ops, timer *, uint32_t ms, timer_fn cb) {
                of(ops)->armed_ms = ms;
                of(ops)->armed_cb = cb;
                of(ops)->events.push_back("arm");
            },
            .timer_stop_cb = [](ulmex_ops *ops, timer *) {
                of(ops)->armed_cb = nullptr;
                of(ops)->events.push_back("stop");
            },
        };
        set_clock_ms(clock);
        pool = packet_pool_create(config);
        ulmex_ops_clear(&ops);
        ulmex_ops_init(&ops, &callbacks, pool);
        memset(static_cast<void *>(&link), 0, sizeof(link));
    }
    ~fake_host()
    {
        ulmex_reset(&link);
        mempool_unref(pool);
    }

    void open_running()
    {
        ASSERT_EQ(ulmex_open(&ops, &link, nullptr), 0);
        ulmex_established(&link, nullptr);
        ASSERT_EQ(link.record.ulmexControlStatus, ULMEX_STATE_RUNNING);
    }

    void advance(uint64_t ms)
    {
        clock += ms;
        set_clock_ms(clock);
    }

    // Advances to the armed timer's expiry and runs it; false when none is armed.
    bool fire()
    {
        if (!armed_cb)
            return false;
        timer_fn cb = armed_cb;
        armed_cb = nullptr;
        advance(armed_ms);
        cb(&link.rtx_timer);
        return true;
    }

    int deliver(const ulmex_message &m)
    {
        uint8_t buf[4096];
        long n = ulmex_codec_encode(scratch, m, buf);
        EXPECT_GT(n, 0);
        return deliver_bytes(std::span(buf, static_cast<size_t>(n)));
    }

    int deliver_bytes(std::span<const uint8_t> bytes)
    {
        packet *p = packet_from_bytes(pool, bytes.data(), bytes.size());
        EXPECT_NE(p, nullptr);
        int r = ulmex_handle_response(&link, p);
        packet_release(p);
        return r;
    }

    ulmex_message last_sent()
    {
        ulmex_message m;
        EXPECT_EQ(ulmex_codec_decode(scratch, sent.back().bytes, m), 0);
        return m;
    }

    const ulmex_pending *oldest_pending()
    {
        packet *p = container_of(link.pending._next, &packet::queue);
        return reinterpret_cast<const ulmex_pending *>(p->meta);
    }
};

ulmex_message response(uint32_t identity, ulmex_pdu pdu)
{
    ulmex_message m;
    m.response = true;
    m.identity = identity;
    m.pdu = pdu;
    return m;
}

ulmex_pdu status(ulmex_status_code code)
{
    return ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{code});
}

ulmex_pdu service_inform()
{
    return sample_service_inform().pdu;
}

// Answers one request after delay_ms, which becomes an RTT sample.
void answer_after(fake_host &h, uint64_t delay_ms)
{
    ASSERT_EQ(ulmex_request(&h.link, service_inform(), nullptr, nullptr), 0);
    uint32_t id = h.last_sent().identity;
    h.advance(delay_ms);
    ASSERT_EQ(h.deliver(response(id, status(ulmex_status_code::success))), 0);
}

TEST(UlmexSession, FirstRtoWithoutSampleIsTwoSecondsPlusJitter)
{
    for (unsigned seed = 1; seed <= 40; seed++) {
        srand(seed);
        auto h = std::make_unique<fake_host>();
        h->open_running();
        ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
        ASSERT_EQ(h->sent.size(), 1u);
        EXPECT_EQ(h->armed_ms, 128u);
        uint8_t rto = h->oldest_pending()->rto;
        EXPECT_GE(rto, 15);
        EXPECT_LE(rto, 17);
        // Nothing goes again before the RTO has run out in whole ticks.
        uint64_t start = h->clock;
        while (h->sent.size() == 1 && h->fire()) {
        }
        ASSERT_EQ(h->sent.size(), 2u);
        EXPECT_GE(h->clock - start, rto * 128u - 127);
        EXPECT_LE(h->clock - start, rto * 128u + 64);
        EXPECT_EQ(h->last_sent().identity, h->oldest_pending()->identity);
    }
}

// Each retransmission doubles the RTO and adds up to a tenth of the old one
// (r x RTO / 2560 with r below 256); past 125 ticks it starts again from 125.
TEST(UlmexSession, BackoffJitterIsATenthOfTheOldRto)
{
    int capped = 0;
    for (unsigned seed = 1; seed <= 300; seed++) {
        srand(seed);
        auto h = std::make_unique<fake_host>();
        h->open_running();
        ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
        unsigned rto = h->oldest_pending()->rto;
        for (size_t sends = 2; sends <= 4; sends++) {
            while (h->sent.size() < sends && h->fire()) {
            }
            ASSERT_EQ(h->sent.size(), sends) << "seed " << seed;
            unsigned next = h->oldest_pending()->rto;
            unsigned most = 2 * rto + 255 * rto / 2560;
            if (next >= 2 * rto && next <= most && next <= 125) {
                rto = next;
                continue;
            }
            EXPECT_GT(most, 125u) << "seed " << seed << " from " << rto << " to " << next;
            EXPECT_GE(next, 125u) << "seed " << seed;
            EXPECT_LE(next, 125u + 255 * 125 / 2560) << "seed " << seed;
            capped++;
            break;
        }
    }
    EXPECT_GT(capped, 0);
}

TEST(UlmexSession, UnansweredRequestIsRetransmittedFiveTimesThenFailsOnce)
{
    for (unsigned seed = 1; seed <= 20; seed++) {
        srand(seed);
        auto h = std::make_unique<fake_host>();
        h->open_running();
        answer_after(*h, 100); // a short RTT, so that the age limit is not what ends it
        h->sent.clear();
        int user;
        ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, &user), 0);
        while (h->failures.empty() && h->fire()) {
        }
        ASSERT_EQ(h->failures.size(), 1u);
        EXPECT_EQ(h->failures[0], std::make_pair(uint8_t(ULMEX_SERVICE_INFORM), (void *)&user));
        EXPECT_EQ(h->sent.size(), 6u);
        EXPECT_EQ(h->link.record.ulmexRequestRetransmits, 5u);
        EXPECT_EQ(h->link.record.ulmexRequestTimeouts, 1u);
        EXPECT_EQ(h->link.record.ulmexControlStatus, ULMEX_STATE_FAILURE);
        EXPECT_TRUE(list_isempty(&h->link.pending));
        EXPECT_EQ(h->armed_cb, nullptr);
        // The waits back off: each at least as long as the one before.
        for (size_t i = 2; i < h->sent.size(); i++)
            EXPECT_GE(h->sent[i].at_ms - h->sent[i - 1].at_ms,
                      h->sent[i - 1].at_ms - h->sent[i - 2].at_ms);
        // No further request on a failed link.
        EXPECT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), -1);
    }
}

TEST(UlmexSession, WithoutSamplesTheAgeLimitEndsARequestAfterAboutThirtySeconds)
{
    for (unsigned seed = 1; seed <= 20; seed++) {
        srand(seed);
        auto h = std::make_unique<fake_host>();
        h->open_running();
        uint64_t start = h->clock;
        ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
        while (h->failures.empty() && h->fire()) {
        }
        ASSERT_EQ(h->failures.size(), 1u);
        EXPECT_LE(h->link.record.ulmexRequestRetransmits, 5u);
        EXPECT_GE(h->clock - start, 234u * 128 - 128);
        EXPECT_LE(h->clock - start, 236u * 128);
    }
}

TEST(UlmexSession, RoundTripSamplesFollowKarnsRule)
{
    srand(7);
    auto h = std::make_unique<fake_host>();
    h->open_running();
    answer_after(*h, 100);
    EXPECT_EQ(h->link.record.ulmexControlRttAvg, 100u);
    EXPECT_EQ(h->link.record.ulmexControlRttVar, 50u);
    answer_after(*h, 200);
    EXPECT_EQ(h->link.record.ulmexControlRttAvg, 112u);
    EXPECT_EQ(h->link.record.ulmexControlRttVar, 62u);

    // A response to a retransmitted request says nothing about the round trip.
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
    uint32_t id = h->last_sent().identity;
    while (h->link.record.ulmexRequestRetransmits == 0 && h->fire()) {
    }
    ASSERT_EQ(h->deliver(response(id, status(ulmex_status_code::success))), 0);
    EXPECT_EQ(h->link.record.ulmexControlRttAvg, 112u);
    EXPECT_EQ(h->link.record.ulmexControlRttVar, 62u);
    EXPECT_EQ(h->link.record.ulmexResponsesReceived, 3u);
    // With nothing pending the timer is stopped.
    EXPECT_EQ(h->armed_cb, nullptr);
}

TEST(UlmexSession, EchoRequestIsAnsweredHere)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    ulmex_message echo;
    echo.request = true;
    echo.identity = 0x55aa55aa;
    echo.pdu = status(ulmex_status_code::echo);
    ASSERT_EQ(h->deliver(echo), 0);
    ASSERT_EQ(h->sent.size(), 1u);
    ulmex_message answer = h->last_sent();
    EXPECT_TRUE(answer.response);
    EXPECT_FALSE(answer.request);
    EXPECT_EQ(answer.identity, 0x55aa55aau);
    EXPECT_EQ(std::get<ULMEX_STATUS>(answer.pdu).statusCode, ulmex_status_code::success);
    EXPECT_TRUE(h->request_ids.empty());
    EXPECT_EQ(h->link.record.ulmexRequestsReceived, 1u);
    EXPECT_EQ(h->link.record.ulmexResponsesSent, 1u);

    // Any other Status is no request.
    echo.pdu = status(ulmex_status_code::busy);
    EXPECT_EQ(h->deliver(echo), -1);
    EXPECT_EQ(h->link.record.ulmexRequestErrors, 1u);

    // Other requests go to the host.
    EXPECT_EQ(h->deliver(sample_flow_install()), 0);
    EXPECT_EQ(h->request_ids, std::vector<uint32_t>{sample_flow_install().identity});
}

TEST(UlmexSession, ResponsesAreMatchedByIdentityAndExpectedType)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    ulmex_pdu reg = ulmex_make_pdu<ULMEX_SERVICE_REGISTER>(ulmex_service_register{
        fixture_uuid, 1, fixture_mac, "3.1", {}});
    int user;
    ASSERT_EQ(ulmex_request(&h->link, reg, nullptr, &user), 0);
    uint32_t id = h->last_sent().identity;

    // Unknown identity, then the right identity with a type that answers something else.
    EXPECT_EQ(h->deliver(response(id + 1, status(ulmex_status_code::success))), -1);
    ulmex_message wrong = sample_request<ULMEX_FLOW_INFORM_ACCEPT>(ulmex_flow_inform_accept{}, id);
    wrong.request = false;
    wrong.response = true;
    EXPECT_EQ(h->deliver(wrong), -1);
    // A success Status answers only requests that expect a Status.
    EXPECT_EQ(h->deliver(response(id, status(ulmex_status_code::success))), -1);
    EXPECT_EQ(h->link.record.ulmexResponseErrors, 3u);
    EXPECT_FALSE(list_isempty(&h->link.pending));

    // A refusal answers any request.
    EXPECT_EQ(h->deliver(response(id, status(ulmex_status_code::missing))), 0);
    ASSERT_EQ(h->responses.size(), 1u);
    EXPECT_EQ(h->responses[0], std::make_pair(uint8_t(ULMEX_SERVICE_REGISTER), (void *)&user));

    ASSERT_EQ(ulmex_request(&h->link, reg, nullptr, nullptr), 0);
    ulmex_message accept = sample_request<ULMEX_SERVICE_ACCEPT>(
        ulmex_service_accept{sample_port_address(), 4, 30u}, h->last_sent().identity);
    accept.request = false;
    accept.response = true;
    EXPECT_EQ(h->deliver(accept), 0);
    EXPECT_EQ(h->link.record.ulmexResponsesReceived, 2u);

    // A message with neither flag is ignored.
    accept.response = false;
    EXPECT_EQ(h->deliver(accept), 0);
    EXPECT_EQ(h->link.record.ulmexResponseErrors, 3u);
}

TEST(UlmexSession, MessageWithBothFlagsIsARequestThenAResponse)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    ulmex_pdu flow_request = ulmex_make_pdu<ULMEX_FLOW_REQUEST>(ulmex_flow_request{
        fixture_mac, fixture_mac, fixture_mac2, fixture_uuid, 1, {}});
    ASSERT_EQ(ulmex_request(&h->link, flow_request, nullptr, nullptr), 0);
    ulmex_message install = sample_flow_install();
    install.identity = h->last_sent().identity;
    install.response = true;
    EXPECT_EQ(h->deliver(install), 0);
    EXPECT_EQ(h->request_ids.size(), 1u);
    ASSERT_EQ(h->responses.size(), 1u);
    EXPECT_EQ(h->responses[0].first, ULMEX_FLOW_REQUEST);
}

TEST(UlmexSession, RefusedMessageTypesAreCounted)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    const ulmexControl &rec = h->link.record;

    // The wrong side's types, sent and received.
    ulmex_pdu accept = ulmex_make_pdu<ULMEX_DEVICE_ACCEPT>(ulmex_device_accept{sample_port_address()});
    EXPECT_EQ(ulmex_request(&h->link, accept, nullptr, nullptr), -1);
    EXPECT_EQ(rec.ulmexRequestErrors, 1u);
    EXPECT_EQ(ulmex_response(&h->link, service_inform(), 1), -1);
    EXPECT_EQ(rec.ulmexResponseErrors, 1u);
    EXPECT_TRUE(h->sent.empty());
    ulmex_message m = sample_request<ULMEX_DEVICE_ACCEPT>(std::get<ULMEX_DEVICE_ACCEPT>(accept));
    EXPECT_EQ(h->deliver(m), -1);
    EXPECT_EQ(rec.ulmexRequestErrors, 2u);
    m = response(1, service_inform());
    EXPECT_EQ(h->deliver(m), -1);
    EXPECT_EQ(rec.ulmexResponseErrors, 2u);

    // Canned messages and alternatives of a later version: unknown, counted, not fatal.
    ulmex_canned_request canned{sample_port_address(), {}};
    EXPECT_EQ(h->deliver(sample_request<ULMEX_CANNED_REQUEST>(canned)), -1);
    EXPECT_EQ(h->deliver(sample_request<ULMEX_CANNED_RESPONSE>(canned)), -1);
    bitwriter u;
    u.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(7, 32);
    u.put(1, 1).put(0, 1).put(2, 6).put(4, 8).put(0xDEADBEEF, 32);
    EXPECT_EQ(h->deliver_bytes(u.bytes()), -1);
    EXPECT_EQ(rec.ulmexUnknownTypes, 3u);

    // Bytes that are no message, and a message that breaks a constraint: no counter.
    const uint8_t junk[3] = {0xff, 0xff, 0xff};
    EXPECT_EQ(h->deliver_bytes(junk), -1);
    std::vector<uint8_t> bad(128);
    long n = ulmex_codec_encode(h->scratch, sample_radio_inform(), bad);
    ASSERT_GT(n, 0);
    bad.resize(static_cast<size_t>(n));
    const size_t bit = 57 + 114 + 2; // channelWidth bw-20-mhz becomes auto
    bad[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    EXPECT_EQ(h->deliver_bytes(bad), -1);
    EXPECT_EQ(rec.ulmexRequestErrors, 2u);
    EXPECT_EQ(rec.ulmexResponseErrors, 2u);
    EXPECT_EQ(rec.ulmexUnknownTypes, 3u);
    EXPECT_TRUE(h->request_ids.empty());
}

TEST(UlmexSession, NothingIsSentUnlessRunning)
{
    auto h = std::make_unique<fake_host>();
    ASSERT_EQ(ulmex_open(&h->ops, &h->link, nullptr), 0);
    EXPECT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), -1);
    EXPECT_EQ(ulmex_response(&h->link, status(ulmex_status_code::success), 1), -1);
    EXPECT_EQ(h->link.record.ulmexRequestErrors, 1u);
    EXPECT_EQ(h->link.record.ulmexResponseErrors, 1u);
    EXPECT_TRUE(h->sent.empty());
}

TEST(UlmexSession, CloseFailsEveryPendingRequestBeforeStoppingTheTimer)
{
    auto h = std::make_unique<fake_host>();
    ulmexControl entry{};
    entry.ulmexLinkCount = 4;
    entry.ulmexRequestsSent = 10;
    entry.ulmexControlRttAvg = 300;
    strcpy(entry.ulmexControlName, "controller.example");
    ASSERT_EQ(ulmex_open(&h->ops, &h->link, &entry), 0);
    EXPECT_EQ(h->link.record.ulmexControlStatus, ULMEX_STATE_WAITING);
    EXPECT_EQ(h->link.record.ulmexControlRttAvg, 0u);
    EXPECT_STREQ(h->link.record.ulmexControlName, "controller.example");

    // Closing while connecting is a failed handshake.
    ulmex_close(&h->link);
    EXPECT_EQ(h->link.record.ulmexControlStatus, ULMEX_STATE_FAILURE);
    EXPECT_EQ(h->link.record.ulmexHandshakeFailures, 1u);
    ulmex_close(&h->link);
    EXPECT_EQ(h->link.record.ulmexControlStatus, ULMEX_STATE_CONFIGURE);

    ASSERT_EQ(ulmex_open(&h->ops, &h->link, &entry), 0);
    uint8_t key[32];
    memset(key, 0xab, sizeof(key));
    h->advance(5000);
    ulmex_established(&h->link, key);
    EXPECT_EQ(h->link.record.ulmexLinkCount, 5u);
    EXPECT_EQ(h->link.record.ulmexConnectTime, h->clock / 1000);
    EXPECT_EQ(memcmp(h->link.record.ulmexControlIdentity, key, 32), 0);
    ulmex_established(&h->link, nullptr); // only from waiting
    EXPECT_EQ(h->link.record.ulmexLinkCount, 5u);

    int a, b;
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, &a), 0);
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, &b), 0);
    EXPECT_EQ(h->link.record.ulmexRequestsSent, 12u);
    h->events.clear();
    h->advance(1000);
    ulmex_close(&h->link);
    EXPECT_EQ(h->link.record.ulmexControlStatus, ULMEX_STATE_WAITING);
    EXPECT_EQ(h->link.record.ulmexCloseTime, h->clock / 1000);
    EXPECT_EQ(h->events, (std::vector<std::string>{"failure", "failure", "stop"}));
    ASSERT_EQ(h->failures.size(), 2u);
    EXPECT_EQ(h->failures[0].second, &a);
    EXPECT_EQ(h->failures[1].second, &b);
    EXPECT_TRUE(list_isempty(&h->link.pending));
}

TEST(UlmexSession, CancelTakesTheCallersRequestsOnly)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    list_link mine;
    list_init(&mine);
    int a, b, c;
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), &mine, &a), 0);
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, &b), 0);
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), &mine, &c), 0);
    ulmex_cancel(&h->link, &mine);
    ASSERT_EQ(h->cancels.size(), 2u);
    EXPECT_EQ(h->cancels[0].second, &a);
    EXPECT_EQ(h->cancels[1].second, &c);
    EXPECT_EQ(h->link.record.ulmexRequestCancels, 2u);
    EXPECT_TRUE(list_isempty(&mine));
    EXPECT_EQ(h->oldest_pending()->user, &b);
    EXPECT_EQ(h->link.pending._next->_next, &h->link.pending);
}

TEST(UlmexSession, IdentitiesWrap)
{
    auto h = std::make_unique<fake_host>();
    h->open_running();
    h->link.next_identity = 0xFFFFFFFF;
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
    EXPECT_EQ(h->last_sent().identity, 0xFFFFFFFFu);
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
    EXPECT_EQ(h->last_sent().identity, 0u);
}

TEST(UlmexSession, RequestWithoutACopyIsSentByTheTimerAndStillAnswered)
{
    // Two buffers in a pool that never grows: one held here, one for the request.
    packet_pool_config two = {2048, 32, 16, 8, 2, PACKET_POOL_SHARED_BUFFERS};
    auto h = std::make_unique<fake_host>(&two);
    h->open_running();
    packet *hold = packet_alloc(h->pool, 0);
    ASSERT_NE(hold, nullptr);
    ASSERT_EQ(ulmex_request(&h->link, service_inform(), nullptr, nullptr), 0);
    EXPECT_TRUE(h->sent.empty());
    EXPECT_EQ(h->link.record.ulmexRequestsSent, 0u);
    packet_release(hold);
    while (h->sent.empty() && h->fire()) {
    }
    ASSERT_EQ(h->sent.size(), 1u);
    ASSERT_EQ(h->deliver(response(h->last_sent().identity, status(ulmex_status_code::success))), 0);
    EXPECT_EQ(h->responses.size(), 1u);
}

TEST(UlmexSession, TypeNames)
{
    EXPECT_STREQ(ulmex_msg_type_name(ULMEX_STATUS), "Status");
    EXPECT_STREQ(ulmex_msg_type_name(ULMEX_DEVICE_CONFIGURE), "");
    EXPECT_STREQ(ulmex_msg_type_name(ULMEX_FLOW_INFORM_ACCEPT), "FlowInformAccept");
    EXPECT_STREQ(ulmex_msg_type_name(ULMEX_CANNED_REQUEST), "??");
    for (unsigned t = 1; t <= ULMEX_FLOW_INFORM_ACCEPT; t++)
        EXPECT_EQ((ULMEX_VALID_REQUESTS >> t) & 1, t != 3 && t != 8 && t != 13) << t;
}

} // namespace
