// The JSON writer and the shared value formatters.
#include <gtest/gtest.h>

#include <string>

#include "render_fixture.h"
#include "utility/ugw_format.h"
#include "utility/ugw_json.h"

namespace
{

TEST(RenderJsonWriter, SeparatorsAndNesting)
{
    struct {
        const char *name;
        std::function<void(json_writer *)> write;
        const char *expect;
    } cases[] = {
        {"empty list", [](json_writer *j) { json_open_array(j), json_close(j); }, "[]"},
        {"empty show",
         [](json_writer *j) {
             json_open_object(j);
             json_key(j, nullptr, "ulmexSocket");
             json_open_object(j);
             json_close(j);
             json_close(j);
         },
         "{\"ulmexSocket\":{}}"},
        {"two members, nested object after a key",
         [](json_writer *j) {
             json_open_object(j);
             json_member_uint(j, "a", 1);
             json_key(j, nullptr, "ulmexLocalInet");
             json_open_object(j);
             json_key(j, "ulmexLocalInet", "Address");
             json_null(j);
             json_key(j, "ulmexLocalInet", "PortNumber");
             json_uint(j, 18446744073709551615ull);
             json_close(j);
             json_member_null(j, "c");
             json_close(j);
         },
         "{\"a\":1,\"ulmexLocalInet\":{\"ulmexAddress\":null,\"ulmexPortNumber\":"
         "18446744073709551615},\"c\":null}"},
        {"array of values and containers",
         [](json_writer *j) {
             json_open_array(j);
             json_int(j, -128);
             json_bool(j, true);
             json_open_object(j);
             json_close(j);
             json_open_array(j);
             json_close(j);
             json_string(j, nullptr, -1);
             json_int(j, INT64_MIN);
             json_close(j);
         },
         "[-128,true,{},[],null,-9223372036854775808]"},
        {"hex, MAC, identifier",
         [](json_writer *j) {
             static const uint8_t bytes[] = {0x12, 0x34, 0x56};
             static const uint8_t mac[] = {0x00, 0x1b, 0xa0, 0xff, 0x0a, 0x01};
             static const uint8_t id[12] = {0x04, 0x03, 0x02, 0x01, 0x06, 0x05,
                                            0x0a, 0x09, 0x08, 0x07, 0x0c, 0x0b};
             json_open_array(j);
             json_hex(j, bytes, 5);
             json_mac(j, mac);
             json_id12(j, id);
             json_close(j);
         },
         "[\"12345\",\"00:1b:a0:ff:0a:01\",\"010203040506-0708090a0b0c\"]"},
        {"symbols",
         [](json_writer *j) {
             static const char *const table[] = {"start", "", "stop"};
             json_open_array(j);
             json_symbol(j, table, 3, 0);
             json_symbol(j, table, 3, 1);
             json_symbol(j, table, 3, 3);
             json_close(j);
         },
         "[\"start\",null,null]"},
    };
    for (auto &c : cases)
        EXPECT_EQ(render_json_capture(c.write), c.expect) << c.name;
}

TEST(RenderJsonWriter, StringsAreEscapedAndBoundedByLength)
{
    struct {
        std::string text;
        ssize_t length;
        const char *expect;
    } cases[] = {
        {"say \"hi\"\\", -1, "\"say \\\"hi\\\"\\\\\""},
        {std::string("a\nb\x01\x1f\x7f", 6), -1, "\"a\\u000ab\\u0001\\u001f\x7f\""},
        {"abcdef", 3, "\"abc\""},
        {std::string("ab\0cd", 5), 5, "\"ab\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", -1,
         "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        // Invalid sequences: a lone continuation, an overlong form, a surrogate, a cut sequence.
        {"a\x80z", -1, "\"a\xef\xbf\xbdz\""},
        {"\xc0\xaf", -1, "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xed\xa0\x80", -1, "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"\xe2\x82", -1, "\"\xef\xbf\xbd\xef\xbf\xbd\""},
    };
    for (auto &c : cases)
        EXPECT_EQ(
            render_json_capture([&](json_writer *j) { json_string(j, c.text.c_str(), c.length); }),
            c.expect)
            << c.text;
}

// Every byte value and runs of invalid UTF-8 make documents that real
// readers accept, and valid UTF-8 comes back unchanged.
TEST(RenderJsonWriter, DocumentsParseWithRealReaders)
{
    RENDER_NEED("jq");
    RENDER_NEED("python3");
    std::string all;
    for (int c = 1; c < 256; c++)
        all.push_back(static_cast<char>(c));
    std::string invalid = "\xff\xfe\xc0\x80\xed\xbf\xbf\xf4\x90\x80\x80\xe0\x80";
    std::string valid = "na\xc3\xafve \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa1 \xc2\xa0";
    std::string doc = render_json_capture([&](json_writer *j) {
        json_open_array(j);
        json_string(j, all.c_str(), -1);
        json_string(j, invalid.c_str(), -1);
        json_string(j, valid.c_str(), -1);
        json_close(j);
    });
    EXPECT_EQ(render_jq(doc, "length"), "3");
    EXPECT_EQ(render_jq(doc, ".[2]"), "\"" + valid + "\"");
    // Python's reader (that of json.tool): ASCII, controls included, comes back as itself.
    int status = 0;
    std::string back = render_pipe(doc,
                                   "python3 -c 'import json,sys; d=json.load(sys.stdin); "
                                   "sys.stdout.buffer.write(d[0][:127].encode())'",
                                   &status);
    EXPECT_EQ(status, 0) << doc;
    EXPECT_EQ(back, all.substr(0, 127));
}

using RenderJsonWriterDeath = ::testing::Test;

TEST(RenderJsonWriterDeath, NestingLimitAndCloseAtTopAreFatal)
{
    EXPECT_DEATH(
        {
            json_writer j;
            json_init(&j, stdout);
            for (unsigned i = 0; i < JSON_MAX_DEPTH; i++)
                json_open_array(&j);
        },
        "json->level < JSON_MAX_DEPTH - 1");
    EXPECT_DEATH(
        {
            json_writer j;
            json_init(&j, stdout);
            json_close(&j);
        },
        "json->level > 0");
}

TEST(RenderJsonWriter, FifteenLevelsStillWork)
{
    std::string doc = render_json_capture([](json_writer *j) {
        for (unsigned i = 0; i < JSON_MAX_DEPTH - 1; i++)
            json_open_array(j);
        for (unsigned i = 0; i < JSON_MAX_DEPTH - 1; i++)
            json_close(j);
    });
    EXPECT_EQ(doc, std::string(15, '[') + std::string(15, ']'));
}

// Output larger than the writer's buffer arrives whole and in order.
TEST(RenderJsonWriter, LongDocumentsCrossTheBuffer)
{
    std::string big(100000, 'x');
    std::string doc = render_json_capture([&](json_writer *j) {
        json_open_array(j);
        for (int i = 0; i < 5000; i++)
            json_uint(j, static_cast<uint64_t>(i));
        json_string(j, big.c_str(), -1);
        json_close(j);
    });
    std::string expect = "[";
    for (int i = 0; i < 5000; i++)
        expect += std::to_string(i) + ",";
    expect += "\"" + big + "\"]";
    EXPECT_EQ(doc, expect);
}

TEST(RenderFormat, Duration)
{
    constexpr uint64_t m = 60, h = 3600, d = 86400, w = 7 * d, y = 52 * w;
    struct {
        uint64_t seconds;
        size_t width;
        const char *expect;
    } cases[] = {
        {0, 6, "-"},
        {3 * d + 4 * h, 6, "3d4h"},
        {3 * d + 4 * h + 5 * m, 58, "3 days, 4 hours and 5 minutes"},
        {1, 58, "1 second"},
        {h + m, 58, "1 hour and 1 minute"},
        {2 * y + d, 6, "2y1d"},
        {w + 2 * d + 3 * h + 4 * m + 5, 9, "1w2d3h4m"},
        {d + h + m + 1, 9, "1d1h1m1s"},
        // Rounding at the last unit shown, and a carry that changes the first unit.
        {3 * d + 4 * h + 5 * m + 40, 6, "3d4h6m"},
        {2 * d + 3 * h + 40 * m, 18, "2 days and 4 hours"},
        {2 * d + 3 * h + 20 * m, 18, "2 days and 3 hours"},
        {59 * m + 50, 3, "1h"},
        {23 * h + 59 * m + 59, 6, "1d"},
        // A zero unit between the first and the last is left out.
        {d + 5, 6, "1d5s"},
        {d + 5, 58, "1 day and 5 seconds"},
    };
    for (auto &c : cases) {
        char text[128];
        EXPECT_STREQ(format_duration(text, sizeof text, c.seconds, c.width), c.expect)
            << c.seconds << " in " << c.width;
    }
    char small[4];
    EXPECT_STREQ(format_duration(small, sizeof small, 3 * d + 4 * h, 6), "3d4");
}

TEST(RenderFormat, Values)
{
    char text[128];
    EXPECT_STREQ(format_drop_share(text, sizeof text, 0, 0), "0.0%");
    EXPECT_STREQ(format_drop_share(text, sizeof text, 1, 3), "25.0%");
    EXPECT_STREQ(format_drop_share(text, sizeof text, 4000000000u, 0), "100.0%");
    EXPECT_STREQ(format_drop_share(text, sizeof text, 4000000000u, 4000000000u), "50.0%");
    static const uint8_t key[] = {0xab, 0xcd, 0xef, 0x01};
    EXPECT_STREQ(format_key_hex(text, sizeof text, key, 9), "abc");
    EXPECT_STREQ(format_key_hex(text, sizeof text, key, 16), "abcd");
    static const uint8_t ssid[] = {'c', 'a', 'f', 0xc3, 0xa9, 0x00, '\n', '!'};
    EXPECT_STREQ(format_ssid(text, ssid, sizeof ssid), "caf....!");
    EXPECT_STREQ(format_rate_triple(text, sizeof text, 0, 2, 3), "-");
    EXPECT_STREQ(format_rate_triple(text, sizeof text, 500, 1500000, 54000000),
                 "avg 54.0 Mbit/s min 500 bit/s max 1.50 Mbit/s");
    EXPECT_STREQ(format_signal_triple(text, sizeof text, -80, -40, -60),
                 "-60 avg -80 min -40 max dBm");
    EXPECT_STREQ(format_signal_triple(text, sizeof text, -80, 0, -60), "-");
    EXPECT_STREQ(format_volume(text, sizeof text, 0, 0), "0 B in 0 packets");
    EXPECT_STREQ(format_volume(text, sizeof text, 1536, 2), "1.50 KiB in 2 packets");
    static const uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_STREQ(format_uuid(text, id), "01020304-0506-0708-090a-0b0c0d0e0f10");
    EXPECT_STREQ(format_pmkid(text, id), "0102030405060708090a0b0c0d0e0f10");
    EXPECT_STREQ(frequency_band_name(-1), "");
    EXPECT_STREQ(frequency_band_name(2), "2.4 GHz");
    EXPECT_STREQ(akm_suite_name(28053248), "eap");
    EXPECT_EQ(akm_suite_name(0), nullptr);
    EXPECT_STREQ(format_control_status(text, sizeof text, 2, 3 * 86400 + 4 * 3600 + 5 * 60),
                 "3d4h5m");
    EXPECT_STREQ(format_control_status(text, sizeof text, 2, 400 * 86400 + 5), "1y5w1d");
    EXPECT_STREQ(format_control_status(text, sizeof text, 9, 0), "");
}

TEST(RenderFormat, OutsideTextCannotDriveTheTerminal)
{
    struct {
        std::string text;
        const char *expect;
    } cases[] = {
        {"host\x1b]0;pwned\x07", "host.]0;pwned."},
        {"a\x7f"
         "b",
         "a.b"},
        {"c1\xc2\x9b"
         "31m",
         "c1.31m"}, // C1 CSI as UTF-8
        {"raw\x9b"
         "31m",
         "raw.31m"}, // C1 as a bare byte
        {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
        {"bad\xff\xc0\xaf", "bad..."},
        {"cut\xe2\x82", "cut.."},
    };
    for (auto &c : cases) {
        char text[64];
        EXPECT_STREQ(format_text(text, sizeof text, c.text.c_str(), c.text.size()), c.expect)
            << c.text;
    }
    char small[5];
    EXPECT_STREQ(format_text(small, sizeof small, "ab\xe2\x82\xac", 5), "ab");
}

TEST(RenderFormat, LabelsAlignIn22Columns)
{
    std::string out = render_capture([](FILE *f) { print_text_label(f, "Controller"); });
    EXPECT_EQ(out, "          Controller: ");
    EXPECT_EQ(out.size(), 22u);
}

TEST(RenderFormat, InterfaceNamesAreLookedUpOncePerIndex)
{
    static int calls;
    calls = 0;
    ugw_ifname_reset([](unsigned index, char *name) -> char * {
        calls++;
        return render_test_ifname(index, name);
    });
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(ugw_ifname(1), "eth0");
        EXPECT_EQ(ugw_ifname(9), nullptr);
        EXPECT_EQ(ugw_ifname(0), nullptr);
    }
    EXPECT_EQ(calls, 2);
    ugw_ifname_reset(nullptr);
}

} // namespace
