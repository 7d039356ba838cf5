// Names and descriptions for log lines: the tables as written, the
// describers on whole, cut and odd frames, and buffers of every size.
#include <functional>

#include "dot11/dot11_desc.h"
#include "dot11_test_util.h"

namespace {

const uint8_t kBssid[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const uint8_t kSta[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};

std::string describe(const bytes &f, size_t size = 256)
{
    std::vector<char> buf(size ? size : 1, 'x');
    dot11_frame_describe(f.data(), f.size(), buf.data(), size);
    return size ? std::string(buf.data()) : std::string(1, buf[0]);
}

TEST(Dot11Desc, FrameNames)
{
    struct {
        uint16_t fc;
        const char *name;
    } const cases[] = {
        {0x0000, "Assoc-Req"}, {0x00b0, "Auth"}, {0x00d0, "Action"}, {0x00e0, "Action-NoACK"},
        {0x0060, ""},          {0x00f0, "15"},   {0x0014, "CF-End-Ack"}, {0x00d4, "ACK"},
        {0x0004, ""},          {0x00f4, "15"},   {0x0264, "Poll"},  {0x0964, "SSW-Feedback"},
        {0x0a64, "SSW-ACK"},   {0x0164, ""},     {0x0b64, "11"},    {0x0074, "Ctl-Wrap"},
        {0x0008, "Data"},      {0x0088, "QoS-Data"}, {0x00d8, ""},  {0x00f8, "QoS-CF-Ack-Poll"},
        {0x00c8, "QoS-Nullfunc"}, {0x003c, "3"}, {0x0108, "Data"}, // flags do not change the name
    };
    for (const auto &k : cases)
        EXPECT_STREQ(dot11_frame_name(k.fc), k.name) << std::hex << k.fc;
}

TEST(Dot11Desc, HeaderAndFixedFieldLengths)
{
    const size_t lengths[16] = {28, 30, 34, 30, 24, 36, 24, 24, 36, 24, 26, 30, 26, 25, 24, 24};
    for (unsigned st = 0; st < 16; st++)
        EXPECT_EQ(dot11_frame_type_name(uint8_t(st << 4)), lengths[st]) << st;
    EXPECT_EQ(dot11_frame_type_name(0x08), 0u);
    EXPECT_EQ(dot11_frame_type_name(0xd4), 0u);
}

TEST(Dot11Desc, ActionCategoryNames)
{
    struct {
        uint8_t category;
        const char *name;
    } const cases[] = {
        {0, "Spectrum-Mgt"}, {6, "FT"},          {15, "Self-Prot"}, {16, "16"},     {17, "WMM"},
        {21, "VHT"},         {22, "22"},         {127, "127"},      {0x86, "Error(FT)"},
        {0x80, "Error(Spectrum-Mgt)"}, {0x95, "Error(VHT)"}, {0x90, "144"}, {0xff, "255"},
    };
    for (const auto &k : cases)
        EXPECT_STREQ(dot11_action_name(k.category), k.name) << int(k.category);
}

TEST(Dot11Desc, ElementKeysAndNames)
{
    struct {
        bytes ie;
        unsigned key;
        const char *short_name, *long_name;
    } const cases[] = {
        {hex("0000"), 0, "SSID", "SSID"},
        {hex("2700"), 39, "Ms Rpt", "Measurement Report"},
        {hex("ff0137"), 311, "MBSSID", "MUlti-BSSID Configuration"},
        {hex("ff012b"), 299, "Quet-Per", "Quet Period"},
        {hex("ff00"), 255, nullptr, nullptr},
        {hex("dd04 0050f201"), 512, "WPA", "WPA"},
        {hex("dd04 0050f202"), 513, "WMM", "WMM"},
        {hex("dd03 0050f2"), 221, nullptr, nullptr},
        {hex("dd04 0050f204"), 221, nullptr, nullptr},
        {hex("dd06 000fac01 0100"), 514, "GTK", "GTK KDE"},
        {hex("dd04 000fac03"), 515, "MAC-Addr", "MAC Address KDE"},
        {hex("dd04 000fac04"), 516, "PMKID", "PMKID KDE"},
        {hex("dd04 000fac06"), 517, "Nonce", "Nonce KDE"},
        {hex("dd04 000fac07"), 518, "Lifetime", "Lifetime KDE"},
        {hex("dd04 000fac08"), 519, "Error", "Error KDE"},
        {hex("dd04 000fac0a"), 520, "Key-Id", "Key ID KDE"},
        {hex("dd04 000fac02"), 221, nullptr, nullptr},
        {hex("de00"), 222, nullptr, nullptr},
    };
    for (const auto &k : cases) {
        unsigned key = dot11_ie_key(k.ie.data());
        EXPECT_EQ(key, k.key) << tohex(k.ie);
        EXPECT_STREQ(dot11_ie_short_name(key), k.short_name) << key;
        EXPECT_STREQ(dot11_ie_long_name(key), k.long_name) << key;
    }
    EXPECT_EQ(dot11_ie_short_name(521), nullptr);
    EXPECT_EQ(dot11_ie_long_name(100000), nullptr);
}

TEST(Dot11Desc, ElementListsWalkWholeElementsOnly)
{
    bytes list = hex("0004 67617465 3603b2a101 de02 0000 ff01 28 dd04 0050f204 dd05 0050f20101");
    char buf[256];
    EXPECT_STREQ(dot11_ie_list_names(list.data(), list.size(), true, buf, sizeof buf),
                 "SSID,MDE,<222>,<ext-40>,Vendor,WPA");
    EXPECT_STREQ(dot11_ie_list_names(list.data(), list.size(), false, buf, sizeof buf),
                 "SSID[4], Mobility Domain[3], <222>[2], <ext-40>[1], Vendor[4], WPA[5]");
    // An element that overruns the list ends it.
    EXPECT_STREQ(dot11_ie_list_names(list.data(), 9, true, buf, sizeof buf), "SSID");

    EXPECT_TRUE(dot11_ie_skip(list.data(), 0));
    EXPECT_TRUE(dot11_ie_skip(list.data(), list.size()));
    EXPECT_FALSE(dot11_ie_skip(list.data(), 1));
    EXPECT_FALSE(dot11_ie_skip(list.data(), list.size() - 1));
    EXPECT_TRUE(dot11_ie_skip(list.data(), 11));

    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 54, 0), list.data() + 6);
    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 221, 0x0050f201), list.data() + 24);
    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 221, 0x0050f204), list.data() + 18);
    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 255, 40), list.data() + 15);
    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 255, 41), nullptr);
    EXPECT_EQ(dot11_ie_find(list.data(), 9, 54, 0), nullptr) << "the MDIE overruns a 9-byte list";
    EXPECT_EQ(dot11_ie_find(list.data(), list.size(), 48, 0), nullptr);
}

TEST(Dot11Desc, FrameDescriptions)
{
    bytes rsn = hex("3014 0100 000fac04 0100 000fac04 0100 000fac04 0000"), mdie = hex("3603b2a101");
    auto frame = [](uint8_t st, const bytes &rest) { return mgmt_frame(st, kBssid, kSta, DOT11_TO_BSS, rest); };
    bytes ft_resp = frame(DOT11_ST_ACTION, bytes{6, 2} + bytes(kSta, kSta + 6) + bytes(kBssid, kBssid + 6) + hex("3500"));
    bytes ft_req = frame(DOT11_ST_ACTION, bytes{6, 1} + bytes(kSta, kSta + 6) + bytes(kBssid, kBssid + 6) + rsn);
    struct {
        const char *name;
        bytes frame;
        std::string text;
    } const cases[] = {
        {"FT auth", frame(DOT11_ST_AUTH, hex("0200 0100 0000") + rsn + mdie), "Auth(Alg=FTAA,Seq=1,Status=0)[RSN,MDE]"},
        {"open auth", frame(DOT11_ST_AUTH, hex("0000 0200 0000")), "Auth(Alg=Open,Seq=2,Status=0)"},
        {"odd auth", frame(DOT11_ST_AUTH, hex("0300 0100 0d00")), "Auth(Alg=3,Seq=1,Status=13)"},
        {"assoc req", frame(DOT11_ST_ASSOC_REQ, hex("3104 0a00 0000")), "Assoc-Req(Cap=0431,Int=10)[SSID]"},
        {"assoc resp", frame(DOT11_ST_ASSOC_RESP, hex("1100 0000 01c0")), "Assoc-Resp(Cap=0011,Status=0,AID=1)"},
        {"reassoc req", frame(DOT11_ST_REASSOC_REQ, hex("1100 0500") + bytes(kBssid, kBssid + 6)),
         "Reassoc-Req(Cap=0011,Int=5,AP=02:00:5e:10:00:01)"},
        {"reassoc resp", frame(DOT11_ST_REASSOC_RESP, hex("1100 3500 0000") + mdie),
         "Reassoc-Resp(Cap=0011,Status=53,AID=0)[MDE]"},
        {"probe resp", frame(DOT11_ST_PROBE_RESP, hex("ffffffffffffffff 6400 1100")), "Probe-Resp(TSF=-1,Beacon=100,Cap=0011)"},
        {"deauth", frame(DOT11_ST_DEAUTH, hex("0f00")), "Deauth(Reason=15)"},
        {"disassoc", frame(DOT11_ST_DISASSOC, hex("0800")), "Disassoc(Reason=8)"},
        {"beacon", frame(DOT11_ST_BEACON, bytes(12, 0) + mdie), "Beacon[MDE]"},
        {"probe req", frame(4, hex("0000")), "Probe-Req[SSID]"},
        {"FT response", ft_resp, "Action:FT-Resp(STA=02:00:5e:20:00:02,Target=02:00:5e:10:00:01,Status=53)"},
        {"FT request", ft_req, "Action:FT-Req(STA=02:00:5e:20:00:02,Target=02:00:5e:10:00:01)"},
        {"FT response cut", bytes(ft_resp.begin(), ft_resp.end() - 1), "Action:FT-Resp"},
        {"FT action 0", frame(DOT11_ST_ACTION, hex("0600")), "Action:FT-0"},
        {"FT action 7", frame(DOT11_ST_ACTION, hex("0607")), "Action:FT"},
        {"error category", frame(DOT11_ST_ACTION, hex("8601")), "Action:Error(FT)"},
        {"other category", frame(DOT11_ST_ACTION, hex("0301 0203")), "Action:BACK"},
        {"cut fixed fields", frame(DOT11_ST_AUTH, hex("0000 01")), "Auth"},
        {"broken element list", frame(DOT11_ST_DEAUTH, hex("0f00 0005 61")), "Deauth(Reason=15)[]"},
        {"data frame", hex("1801") + bytes(30, 0), "Data-CF-Ack"},
        {"one byte", hex("b0"), ""},
    };
    for (const auto &k : cases)
        EXPECT_EQ(describe(k.frame), k.text) << k.name;
}

TEST(Dot11Desc, EapolKeyDescriptions)
{
    bytes pmkid_kde = hex("dd14 000fac04") + bytes(16, 0x11);
    bytes gtk_kde = hex("dd16 000fac01 0100") + bytes(16, 0x22);
    bytes rsn = hex("3014 0100 000fac04 0100 000fac04 0100 000fac02 0000");
    bytes m2 = eapol_key(2, 0x010a, 0, 1, nullptr, 0, rsn, 0);
    struct {
        const char *name;
        bytes frame;
        std::string text;
    } const cases[] = {
        {"1/4", eapol_key(2, 0x008a, 16, 1, nullptr, 0, pmkid_kde, 0), "EAPOL-Key(P-A-----)[PMKID]"},
        {"2/4", eapol_key(2, 0x010a, 0, 1, nullptr, 0, rsn, 0), "EAPOL-Key(P--M----)[RSN]"},
        {"3/4", eapol_key(2, 0x13ca, 16, 2, nullptr, 0, rsn + gtk_kde, 0), "EAPOL-Key(PIAMS--C)[RSN,GTK]"},
        {"4/4", eapol_key(2, 0x030a, 0, 2, nullptr, 0, bytes(), 0), "EAPOL-Key(P--MS---)"},
        {"WPA group 1/2", eapol_key(254, 0x0391, 32, 3, nullptr, 0, bytes(32, 0x33), 0), "EAPOL-Key(--AMS---)[GTK]"},
        {"RSN group 1/2", eapol_key(2, 0x1382, 16, 3, nullptr, 0, gtk_kde, 0), "EAPOL-Key(--AMS--C)[GTK]"},
        {"error request", eapol_key(2, 0x0f01, 0, 3, nullptr, 0, bytes(), 0), "EAPOL-Key(---MSER-)"},
        {"key data beyond the frame", bytes(m2.begin(), m2.end() - 3), "EAPOL-Key(P--M----)[]"},
        {"no key data length", bytes(60, 0), "EAPOL-Key(--------)"},
        {"no key information", bytes(6, 0), "EAPOL-Key"},
    };
    for (const auto &k : cases) {
        char buf[128];
        EXPECT_EQ(std::string(dot11_eapol_describe(k.frame.data(), k.frame.size(), buf, sizeof buf)), k.text)
            << k.name;
    }
}

// Every describer into every buffer size: a terminated prefix of the whole
// text, and nothing written past the size.
TEST(Dot11Desc, SmallBuffersGetATerminatedPrefix)
{
    bytes auth = mgmt_frame(DOT11_ST_AUTH, kBssid, kSta, DOT11_TO_BSS, hex("0200 0100 0000 3603b2a101"));
    bytes key = eapol_key(2, 0x008a, 16, 1, nullptr, 0, hex("dd14 000fac04") + bytes(16, 0), 0);
    bytes list = hex("0004 67617465 3603b2a101");
    using describer = std::function<char *(char *, size_t)>;
    const describer describers[] = {
        [&](char *b, size_t n) { return dot11_frame_describe(auth.data(), auth.size(), b, n); },
        [&](char *b, size_t n) { return dot11_eapol_describe(key.data(), key.size(), b, n); },
        [&](char *b, size_t n) { return dot11_ie_list_names(list.data(), list.size(), false, b, n); },
    };
    for (const describer &d : describers) {
        char whole[256];
        std::string text = d(whole, sizeof whole);
        for (size_t size = 0; size <= text.size() + 2; size++) {
            char buf[260];
            memset(buf, 'x', sizeof buf);
            d(buf, size);
            if (size == 0) {
                EXPECT_EQ(buf[0], 'x');
                continue;
            }
            size_t want = std::min(size - 1, text.size());
            EXPECT_EQ(std::string(buf), text.substr(0, want)) << size;
            EXPECT_EQ(buf[size], 'x') << size;
        }
    }
}

} // namespace
