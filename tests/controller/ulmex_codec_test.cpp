// The controller message codec: hand-computed unaligned PER encodings, the constraint
// checks, round trips of every PDU, messages of a later version, and the codec arena.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "controller/ulmex_codec.h"
#include "tests/controller/ulmex_fixtures.h"

namespace {

std::vector<uint8_t> encode(const ulmex_message &m)
{
    auto arena = std::make_unique<ulmex_arena>();
    std::vector<uint8_t> out(4096);
    long n = ulmex_codec_encode(*arena, m, out);
    if (n < 0)
        return {};
    out.resize(static_cast<size_t>(n));
    return out;
}

TEST(UlmexCodec, StatusEchoEncodesToItsHandComputedBits)
{
    ulmex_message m;
    m.request = true;
    m.pdu = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo});
    // ext 0 | version: length 00000001, 00000000 | request 1 | response 0 | identity 32 x 0 |
    // PDU ext 0, index 00000 | Status ext 0 | statusCode 001 | 3 bits of padding
    bitwriter w;
    w.put(0, 1).put(1, 8).put(0, 8).put(1, 1).put(0, 1).put(0, 32);
    w.put(0, 1).put(0, 5).put(0, 1).put(1, 3);
    EXPECT_EQ(w.bytes(), (std::vector<uint8_t>{0x00, 0x80, 0x40, 0x00, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(encode(m), w.bytes());

    ulmex_message d;
    auto arena = std::make_unique<ulmex_arena>();
    ASSERT_EQ(ulmex_codec_decode(*arena, w.bytes(), d), 0);
    EXPECT_TRUE(d.request);
    EXPECT_FALSE(d.response);
    ASSERT_EQ(ulmex_pdu_type(d.pdu), ULMEX_STATUS);
    EXPECT_EQ(std::get<ULMEX_STATUS>(d.pdu).statusCode, ulmex_status_code::echo);
}

TEST(UlmexCodec, FullRangeIdentityAndLowerBoundOffsetEncodeAsComputed)
{
    ulmex_message m;
    m.response = true;
    m.identity = 0xFFFFFFFF;
    m.pdu = ulmex_make_pdu<ULMEX_FLOW_INFORM_ACCEPT>(ulmex_flow_inform_accept{1u});
    // ... identity 32 x 1 | PDU index 25 (11001) | ext 0, present 1 | interval - 1 in 32 bits
    EXPECT_EQ(encode(m), (std::vector<uint8_t>{0x00, 0x80, 0x3F, 0xFF, 0xFF, 0xFF, 0xEC, 0xA0,
                                               0x00, 0x00, 0x00, 0x00}));
}

TEST(UlmexCodec, RoundTripsEveryPdu)
{
    for (const auto &[name, m] : every_pdu()) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = encode(m);
        ASSERT_FALSE(bytes.empty());
        auto arena = std::make_unique<ulmex_arena>();
        ulmex_message d;
        ASSERT_EQ(ulmex_codec_decode(*arena, bytes, d), 0);
        EXPECT_EQ(d.identity, m.identity);
        EXPECT_EQ(d.request, m.request);
        EXPECT_EQ(d.response, m.response);
        EXPECT_EQ(ulmex_pdu_type(d.pdu), ulmex_pdu_type(m.pdu));
        EXPECT_EQ(encode(d), bytes);
    }
}

// Members that the byte comparison alone would not show to be carried.
TEST(UlmexCodec, DecodedMembersMatchWhatWasSent)
{
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;
    ASSERT_EQ(ulmex_codec_decode(*arena, encode(sample_flow_install()), d), 0);
    const auto &fi = std::get<ULMEX_FLOW_INSTALL>(d.pdu);
    EXPECT_EQ(bytes_of(fi.sessionKey), bytes_of(fixture_key));
    EXPECT_EQ(bytes_of(fi.clientId), bytes_of(fixture_mac2));
    EXPECT_EQ(fi.dataPort.inet.present, ulmex_inet_type::ipv6);
    EXPECT_EQ(bytes_of(fi.dataPort.inet.address), bytes_of(fixture_ipv6));
    EXPECT_EQ(fi.dataPort.port, 4789);
    EXPECT_EQ(fi.timeout, 65535);
    EXPECT_EQ(fi.keepalive, 30);
    EXPECT_EQ(fi.frequencyBand, ulmex_frequency_band::band_5_ghz);

    ASSERT_EQ(ulmex_codec_decode(*arena, encode(sample_flow_radio_inform()), d), 0);
    const auto &fr = std::get<ULMEX_FLOW_RADIO_INFORM>(d.pdu);
    EXPECT_EQ(fr.octetsDown, 0x123456789ABCDEF0ull);
    EXPECT_EQ(fr.octetsUp, 0xFFFFFFFF00000001ull);
    EXPECT_EQ(fr.droppedDown, 3u);
    EXPECT_EQ(fr.packetsUp, 4u);
    EXPECT_EQ(fr.recvSignal.minimum, -128);
    EXPECT_EQ(fr.recvSignal.maximum, 127);
    EXPECT_EQ(fr.throughput.average, 0xFFFFFFFFu);
    EXPECT_EQ(fr.flowReason, ulmex_flow_reason::auth_failure);

    ASSERT_EQ(ulmex_codec_decode(*arena, encode(sample_binding_install()), d), 0);
    const auto &bi = std::get<ULMEX_BINDING_INSTALL>(d.pdu);
    ASSERT_EQ(bi.bindingTable.size(), 2u);
    ASSERT_EQ(bi.bindingTable[0].indexTable.size(), 2u);
    EXPECT_EQ(bi.bindingTable[0].indexTable[1].trigger->present, ulmex_selector_type::serviceName);
    EXPECT_EQ(bi.bindingTable[0].indexTable[1].lifetime, 600u);
    ASSERT_TRUE(bi.bindingTable[0].service);
    const auto &svc = *bi.bindingTable[0].service;
    EXPECT_EQ(svc.visibility, ulmex_visibility::hidden);
    EXPECT_EQ(svc.bssIndices.unused, 3);
    ASSERT_TRUE(svc.clientPolicy.preferredBands);
    EXPECT_EQ(svc.clientPolicy.preferredBands->size(), 2u);
    EXPECT_EQ((*svc.clientPolicy.preferredBands)[1], ulmex_frequency_band::band_5_ghz);
    EXPECT_EQ(svc.clientPolicy.minSignalLevel, -70);
    EXPECT_FALSE(bi.bindingTable[1].service);

    ASSERT_EQ(ulmex_codec_decode(*arena, encode(sample_device_accept()), d), 0);
    const auto &da = std::get<ULMEX_DEVICE_ACCEPT>(d.pdu);
    EXPECT_EQ(da.countryId, "GB");
    EXPECT_EQ(da.keepalive, 15u);
    EXPECT_EQ(da.loginKey, "k3y");
    EXPECT_EQ(da.firmwareUrl, "https://fw.example/1.2");
}

TEST(UlmexCodec, DefaultMembersAreLeftOutAndComeBackAsTheirDefault)
{
    ulmex_message with = sample_binding_request(5);
    ulmex_message without = sample_binding_request(0);
    // requestDelay takes a presence bit and 32 bits only when it differs from 0.
    EXPECT_EQ(encode(with).size(), encode(without).size() + 4);
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;
    ASSERT_EQ(ulmex_codec_decode(*arena, encode(without), d), 0);
    EXPECT_EQ(std::get<ULMEX_BINDING_REQUEST>(d.pdu).requestDelay, 0u);
    ASSERT_EQ(ulmex_codec_decode(*arena, encode(with), d), 0);
    EXPECT_EQ(std::get<ULMEX_BINDING_REQUEST>(d.pdu).requestDelay, 5u);

    ulmex_message fsi = sample_flow_service_inform(ulmex_flow_reason::none);
    ulmex_message fsi_reason = sample_flow_service_inform(ulmex_flow_reason::client_timeout);
    EXPECT_LT(encode(fsi).size(), encode(fsi_reason).size());
    ASSERT_EQ(ulmex_codec_decode(*arena, encode(fsi), d), 0);
    EXPECT_EQ(std::get<ULMEX_FLOW_SERVICE_INFORM>(d.pdu).flowReason, ulmex_flow_reason::none);
}

TEST(UlmexCodec, ConstraintViolationsAreRefused)
{
    struct bad_case {
        const char *name;
        ulmex_message msg;
    };
    auto device_accept = [](auto change) {
        ulmex_message m = sample_device_accept();
        change(std::get<ULMEX_DEVICE_ACCEPT>(m.pdu));
        return m;
    };
    auto radio_register = [](auto change) {
        ulmex_message m = sample_radio_register();
        change(std::get<ULMEX_RADIO_REGISTER>(m.pdu));
        return m;
    };
    auto flow_install = [](auto change) {
        ulmex_message m = sample_flow_install();
        change(std::get<ULMEX_FLOW_INSTALL>(m.pdu));
        return m;
    };
    static const ulmex_frequency_band seven[7] = {};
    static const uint8_t short_key[31] = {};
    static const uint8_t five[5] = {};
    static const uint8_t ssid33[33] = {};
    ulmex_message no_pdu;
    ulmex_message unknown_pdu;
    unknown_pdu.pdu.emplace<ULMEX_UNKNOWN>();
    ulmex_message radio_inform_auto = sample_radio_inform();
    std::get<ULMEX_RADIO_INFORM>(radio_inform_auto.pdu).channelWidth = ulmex_channel_width::auto_;
    ulmex_message inform_accept_zero;
    inform_accept_zero.pdu = ulmex_make_pdu<ULMEX_FLOW_INFORM_ACCEPT>(ulmex_flow_inform_accept{0u});
    ulmex_message long_ssid = sample_binding_request(0);
    std::get<ULMEX_BINDING_REQUEST>(long_ssid.pdu).serviceName = ulmex_bytes(ssid33);

    const bad_case cases[] = {
        {"countryId lower case", device_accept([](auto &p) { p.countryId = "gb"; })},
        {"countryId of three", device_accept([](auto &p) { p.countryId = "GBR"; })},
        {"countryId of one", device_accept([](auto &p) { p.countryId = "G"; })},
        {"keepalive 0 where it starts at 1", device_accept([](auto &p) { p.keepalive = 0u; })},
        {"port 0", device_accept([](auto &p) { p.controlPort.port = 0; })},
        {"inet without an address kind",
         device_accept([](auto &p) { p.controlPort.inet = ulmex_inet{}; })},
        {"ip address of 5 bytes",
         device_accept([](auto &p) { p.controlPort.inet.address = ulmex_bytes(five); })},
        {"no supported band", radio_register([](auto &p) { p.supportedBands = {}; })},
        {"seven supported bands",
         radio_register([](auto &p) { p.supportedBands = std::span(seven); })},
        {"bssCount 0", radio_register([](auto &p) { p.bssCount = 0; })},
        {"radioId of 5 bytes", radio_register([](auto &p) { p.radioId = ulmex_bytes(five); })},
        {"sessionKey of 31 bytes",
         flow_install([](auto &p) { p.sessionKey = ulmex_bytes(short_key); })},
        {"timeout 0", flow_install([](auto &p) { p.timeout = 0; })},
        {"serviceId of 5 bytes", flow_install([](auto &p) { p.serviceId = ulmex_bytes(five); })},
        {"radioInform with channelWidth auto", radio_inform_auto},
        {"informInterval 0 where it starts at 1", inform_accept_zero},
        {"SSID of 33 bytes", long_ssid},
        {"no PDU", no_pdu},
        {"unknown PDU", unknown_pdu},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(encode(c.msg).empty());
        auto arena = std::make_unique<ulmex_arena>();
        EXPECT_EQ(ulmex_check_constraints(*arena, c.msg), -1);
    }

    // The bounds that differ between like members hold only where they are written.
    ulmex_message dc;
    dc.pdu = ulmex_make_pdu<ULMEX_DEVICE_CONFIGURE>(ulmex_device_configure{
        fixture_mac, 1, ulmex_environment::indoor, std::nullopt, 0u});
    EXPECT_FALSE(encode(dc).empty());
    ulmex_message sa;
    sa.pdu = ulmex_make_pdu<ULMEX_SERVICE_ACCEPT>(
        ulmex_service_accept{sample_port_address(), 3, 0u});
    EXPECT_FALSE(encode(sa).empty());
}

std::vector<std::string> logged;

void capture_log(int, const char *, unsigned, const char *fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    logged.push_back(line);
}

// A refused encode names its reason: a value the types forbid, or too little room.
TEST(UlmexCodec, RefusedEncodeLogsItsReason)
{
    log_hook_fn saved_hook = log_hook;
    log_cfg saved_cfg = log_config;
    log_hook = capture_log;
    log_config.components = LOG_COMP_ULMEX;
    static const uint8_t short_key[31] = {};
    ulmex_message bad = sample_flow_install();
    std::get<ULMEX_FLOW_INSTALL>(bad.pdu).sessionKey = ulmex_bytes(short_key);
    auto arena = std::make_unique<ulmex_arena>();
    uint8_t out[512];
    struct {
        ulmex_message msg;
        size_t room;
        const char *reason;
    } cases[] = {
        {bad, sizeof(out), "ASN.1 constraint violation: "},
        {sample_flow_install(), 8, "ASN.1 unaligned PER encoding failed"},
    };
    for (const auto &c : cases) {
        logged.clear();
        EXPECT_EQ(ulmex_codec_encode(*arena, c.msg, std::span(out, c.room)), -1);
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].rfind(c.reason, 0), 0u) << logged[0];
    }
    log_hook = saved_hook;
    log_config = saved_cfg;
}

// RadioInform at a known bit offset: message head 57 bits, then ext, presence bit, radioId,
// sessionId, cpuLoad and frequency (114 bits), then channelWidth in 3 bits.
TEST(UlmexCodec, DecodedMessageIsCheckedToo)
{
    std::vector<uint8_t> bytes = encode(sample_radio_inform());
    ASSERT_FALSE(bytes.empty());
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;
    ASSERT_EQ(ulmex_codec_decode(*arena, bytes, d), 0);
    // bw-20-mhz is 001: clearing its last bit makes it auto.
    const size_t bit = 57 + 114 + 2;
    ASSERT_TRUE(bytes[bit / 8] & (0x80 >> (bit % 8)));
    bytes[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    EXPECT_EQ(ulmex_codec_decode(*arena, bytes, d), -1);

    // Values the bits can carry but the types forbid: an SSID of 33 bytes in a 6-bit
    // length, and a country letter past "Z" in 5 bits.
    auto head = [](unsigned index) {
        bitwriter w;
        w.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(1, 32).put(0, 1).put(index, 5);
        return w;
    };
    bitwriter ssid = head(ULMEX_BINDING_REQUEST - 1);
    ssid.put(0, 1).put(1, 2).put(0x021122334455, 48).put(2, 32).put(0x026677889900, 48);
    ssid.put(0, 8).put(33, 6);
    for (int i = 0; i < 33; i++)
        ssid.put('a', 8);
    EXPECT_EQ(ulmex_codec_decode(*arena, ssid.bytes(), d), -1);
    for (unsigned letter : {6u, 31u}) { // "G" passes, 31 is no letter
        bitwriter country = head(ULMEX_RADIO_INFORM - 1);
        country.put(0, 1).put(1, 1).put(0x021122334455, 48).put(2, 32).put(40, 16);
        country.put(letter, 5).put(1, 5).put(5179, 16).put(1, 3).put(1, 8).put(3, 8);
        EXPECT_EQ(ulmex_codec_decode(*arena, country.bytes(), d), letter == 6 ? 0 : -1);
    }
    EXPECT_EQ(std::get<ULMEX_RADIO_INFORM>(d.pdu).countryId, "GB");
}

TEST(UlmexCodec, DatagramMustHoldExactlyOneMessage)
{
    ulmex_message m;
    m.request = true;
    m.pdu = ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo});
    std::vector<uint8_t> bytes = encode(m);
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;

    std::vector<uint8_t> trailing = bytes;
    trailing.push_back(0);
    EXPECT_EQ(ulmex_codec_decode(*arena, trailing, d), -1);
    EXPECT_EQ(ulmex_codec_decode(*arena, std::span(bytes).first(bytes.size() - 1), d), -1);
    EXPECT_EQ(ulmex_codec_decode(*arena, {}, d), -1);
    // A PDU index beyond the 28 alternatives is no message at all.
    bitwriter w;
    w.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(0, 32).put(0, 1).put(30, 5).put(0, 8);
    EXPECT_EQ(ulmex_codec_decode(*arena, w.bytes(), d), -1);
}

// A newer controller may add members at the extension markers and PDUs at the end.
TEST(UlmexCodec, ExtensionsOfALaterVersionAreSkipped)
{
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;

    // Message ext 1 | version | request, response | identity | PDU status | Status ext 1 |
    // echo | Status: two additions (open types of 2 and 1 bytes) | message: one of 3 bytes.
    bitwriter w;
    w.put(1, 1).put(1, 8).put(0, 8).put(2, 2).put(0xCAFEF00D, 32);
    w.put(0, 1).put(0, 5).put(1, 1).put(1, 3);
    w.put(0, 1).put(1, 6).put(3, 2);
    w.put(2, 8).put(0xAB, 8).put(0xCD, 8);
    w.put(1, 8).put(0xEF, 8);
    w.put(0, 1).put(0, 6).put(1, 1);
    w.put(3, 8).put(0x12, 8).put(0x34, 8).put(0x56, 8);
    ASSERT_EQ(ulmex_codec_decode(*arena, w.bytes(), d), 0);
    EXPECT_EQ(d.identity, 0xCAFEF00Du);
    ASSERT_EQ(ulmex_pdu_type(d.pdu), ULMEX_STATUS);
    EXPECT_EQ(std::get<ULMEX_STATUS>(d.pdu).statusCode, ulmex_status_code::echo);

    // PDU ext 1 | alternative 28 + 2 as a normally small number | open type of 4 bytes.
    bitwriter u;
    u.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(7, 32);
    u.put(1, 1).put(0, 1).put(2, 6).put(4, 8).put(0xDEADBEEF, 32);
    ASSERT_EQ(ulmex_codec_decode(*arena, u.bytes(), d), 0);
    EXPECT_EQ(ulmex_pdu_type(d.pdu), ULMEX_UNKNOWN);
    EXPECT_EQ(d.identity, 7u);

    // An open type that claims more than the datagram holds.
    bitwriter t;
    t.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(7, 32);
    t.put(1, 1).put(0, 1).put(2, 6).put(40, 8).put(0xDEADBEEF, 32);
    EXPECT_EQ(ulmex_codec_decode(*arena, t.bytes(), d), -1);
}

TEST(UlmexCodec, MessagesBeyondTheArenaFailCleanly)
{
    std::vector<ulmex_port> ports(2000, ulmex_port{sample_port_address(), 7});
    ulmex_message m;
    m.request = true;
    m.pdu = ulmex_make_pdu<ULMEX_SERVICE_INFORM>(
        ulmex_service_inform{fixture_uuid, 1, std::span<const ulmex_port>(ports)});
    EXPECT_TRUE(encode(m).empty());

    // Decoded structures take far more room than their bits: a table of 40 ports fits the
    // decode arena, one of 200 (under 2 KB on the wire) does not and is refused.
    auto with_ports = [](unsigned n) {
        bitwriter w; // message head, a ServiceInform request, then n IPv4 ports
        w.put(0, 1).put(1, 8).put(0, 8).put(2, 2).put(0, 32).put(0, 1).put(15, 5);
        w.put(0, 1);
        for (uint8_t b : fixture_uuid_bytes)
            w.put(b, 8);
        w.put(1, 32).put(n, 8);
        for (unsigned i = 0; i < n; i++)
            w.put(0, 1).put(0, 1).put(0xC000020A, 32).put(5245, 16).put(7, 16);
        return w.bytes();
    };
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_message d;
    ASSERT_EQ(ulmex_codec_decode(*arena, with_ports(40), d), 0);
    EXPECT_EQ(std::get<ULMEX_SERVICE_INFORM>(d.pdu).portTable.size(), 40u);
    EXPECT_EQ(std::get<ULMEX_SERVICE_INFORM>(d.pdu).portTable[39].address.port, 5246);
    EXPECT_EQ(ulmex_codec_decode(*arena, with_ports(200), d), -1);

    std::vector<uint8_t> out(8);
    EXPECT_EQ(ulmex_codec_encode(*arena, m, out), -1);
}

TEST(UlmexArena, BlocksAreAlignedAndOnlyTheLastOneMovesTheEnd)
{
    auto arena = std::make_unique<ulmex_arena>();
    ulmex_arena_scope scope(*arena);
    EXPECT_EQ(ulmex_arena_realloc(nullptr, 0), nullptr);
    auto *a = static_cast<uint8_t *>(ulmex_arena_realloc(nullptr, 5));
    auto *b = static_cast<uint8_t *>(ulmex_arena_realloc(nullptr, 17));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    EXPECT_GE(b, a + 5);
    size_t used = arena->used;

    // The last block grows and shrinks in place.
    EXPECT_EQ(ulmex_arena_realloc(b, 100), b);
    EXPECT_GT(arena->used, used);
    EXPECT_EQ(ulmex_arena_realloc(b, 17), b);
    EXPECT_EQ(arena->used, used);

    // Another block moves to the end with its bytes; its old room stays taken.
    memcpy(a, "hello", 5);
    auto *moved = static_cast<uint8_t *>(ulmex_arena_realloc(a, 40));
    ASSERT_TRUE(moved);
    EXPECT_GT(moved, b);
    EXPECT_EQ(memcmp(moved, "hello", 5), 0);

    // Freeing the last block gives its room back; freeing another does not.
    used = arena->used;
    EXPECT_EQ(ulmex_arena_realloc(moved, 0), nullptr);
    EXPECT_LT(arena->used, used);
    used = arena->used;
    EXPECT_EQ(ulmex_arena_realloc(a, 0), nullptr);
    EXPECT_EQ(arena->used, used);

    // What does not fit fails with ENOMEM and leaves the block as it was.
    errno = 0;
    EXPECT_EQ(ulmex_arena_realloc(nullptr, ULMEX_ARENA_SIZE), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(ulmex_arena_realloc(b, ULMEX_ARENA_SIZE), nullptr);
    EXPECT_EQ(arena->used, used);
    EXPECT_EQ(ulmex_arena_realloc(nullptr, SIZE_MAX), nullptr);
}

} // namespace
