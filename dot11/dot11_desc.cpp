#include "dot11/dot11_desc.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/strings.h"
#include "common/textbuf.h"
#include "dot11/dot11_frame.h"

namespace {

// Fixed fields after the header, by management subtype.
constexpr uint8_t fixed_length[16] = {4, 6, 10, 6, 0, 12, 0, 0, 12, 0, 2, 6, 2, 1, 0, 0};

// null: printed as a number; "": printed as nothing.
constexpr const char *mgmt_names[16] = {
    "Assoc-Req", "Assoc-Resp", "Reassoc-Req", "Reassoc-Resp", "Probe-Req", "Probe-Resp", "", "",
    "Beacon",    "ATIM",       "Disassoc",    "Auth",         "Deauth",    "Action",     "Action-NoACK",
    nullptr,
};
constexpr const char *ctrl_names[16] = {
    "",    "CF-End-Ack", "",        "",    "BF-Rpt-Poll", "VHT-NDP", nullptr, "Ctl-Wrap",
    "BAR", "BACK",       "PS-Poll", "RTS", "CTS",         "ACK",     "CF-End", nullptr,
};
constexpr const char *data_names[16] = {
    "Data",     "Data-CF-Ack",     "Data-CF-Poll",     "Data-CF-Ack-Poll",
    "Nullfunc", "CF-Ack",          "CF-Poll",          "CF-Ack-Poll",
    "QoS-Data", "QoS-Data-CF-Ack", "QoS-Data-CF-Poll", "QoS-Data-CF-Ack-Poll",
    "QoS-Nullfunc", "",            "QoS-CF-Poll",      "QoS-CF-Ack-Poll",
};
// Control frame extension (subtype 6), by frame control bits 8-11.
constexpr const char *ctrl_ext_names[11] = {
    "", "", "Poll", "SPR", "Grant", "DMG-CTS", "DMG-DTS", "Grant-ACK", "SSW", "SSW-Feedback", "SSW-ACK",
};

constexpr const char *category_names[22] = {
    "Spectrum-Mgt", "QoS",  "DLS",  "BACK",     "Public",     "Radio-Measure", "FT",  "HT",
    "SA-Query",     "Public-Prot", "WNM", "WNM-Unprot", "TDLS", "Mesh",       "Multihop", "Self-Prot",
    nullptr,        "WMM",  nullptr, nullptr,   nullptr,      "VHT",
};

// "Error(" + name + ")", made from the table above.
struct error_name {
    char s[24];
};
constexpr std::array<error_name, 22> make_error_names()
{
    std::array<error_name, 22> out{};
    for (size_t i = 0; i < 22; i++) {
        if (!category_names[i])
            continue;
        const char *parts[3] = {"Error(", category_names[i], ")"};
        size_t n = 0;
        for (const char *p : parts)
            for (; *p; p++)
                out[i].s[n++] = *p;
    }
    return out;
}
constexpr auto category_error_names = make_error_names();

constexpr const char *ft_action_names[5] = {nullptr, "Req", "Resp", "Confirm", "Ack"};

struct ie_name {
    unsigned key;
    const char *short_name;
    const char *long_name;
};
// Written as the log lines have always shown them.
constexpr ie_name ie_names[] = {
    {0, "SSID", "SSID"},
    {1, "Rates", "Supported Rates"},
    {2, "FH", "FH Parameter Set"},
    {3, "DS", "DS Parameter Set"},
    {4, "CF", "CF Parameter Set"},
    {5, "TIM", "TIM"},
    {7, "Country", "Country"},
    {8, "HP-Parm", "HP Parameters"},
    {9, "HP-Pat", "HP Pattern Table"},
    {11, "Load", "BSS Load"},
    {12, "EDCA", "EDCA Parameter Set"},
    {32, "Pwr-Con", "Power Constraint"},
    {33, "Pwr-Cap", "Power Capability"},
    {34, "TPC-Req", "TPC Request"},
    {35, "TPC-Rpt", "TPC Report"},
    {36, "Supp-Ch", "Supported Channels"},
    {37, "CSA", "Channel Switch Announcement"},
    {38, "Ms-Req", "Measurement Request"},
    {39, "Ms Rpt", "Measurement Report"},
    {40, "Quiet", "Quiet"},
    {42, "ERP", "ERP Information"},
    {45, "HT-Cap", "HT Capabilities"},
    {46, "QoS", "QoS Capability"},
    {48, "RSN", "RSN"},
    {50, "Ext-Rates", "Extended Supported Rates"},
    {54, "MDE", "Mobility Domain"},
    {55, "FTE", "Fast BSS Transition"},
    {56, "TIE", "Timeout Interval"},
    {61, "HT-Op", "HT Operation"},
    {72, "20/40", "20/40 BSS Coexistence"},
    {74, "OBSS", "Overlapping BSS Scan Params"},
    {76, "MME", "Management MIC"},
    {90, "Max-Idle", "BSS Max Idle Period"},
    {127, "Ext-Cap", "Extended Capabilities"},
    {191, "VHT-Cap", "VHT Capabilities"},
    {192, "VHT-Op", "VHT Operation"},
    {193, "Ext-Ld", "Extended BSS Load"},
    {194, "WCSA", "Wide Bandwidth Channel Switch"},
    {195, "VHT-Pwr", "VHT Tx Power Envelope"},
    {196, "CSA-Wrap", "Channel Switch Wrapper"},
    {197, "AID", "AID"},
    {198, "Quiet-Ch", "Quiet Channel"},
    {199, "Op-Mode", "Operating Mode Notification"},
    {291, "HE-Cap", "HE Capabilities"},
    {292, "HE-Op", "HE Operation"},
    {293, "UORA", "UORA Parameters"},
    {294, "MU-EDCA", "MU EDCA Parameters"},
    {295, "SR", "SR Parameters"},
    {297, "NDP-Fb", "NDP Feedback Report Parameters"},
    {298, "CCA", "BSS Color Switch"},
    {299, "Quet-Per", "Quet Period"},
    {301, "ESS-Rpt", "ESS Report"},
    {302, "OPS", "OPS"},
    {303, "HE-Load", "HE BSS Load"},
    {311, "MBSSID", "MUlti-BSSID Configuration"},
    {313, "Short-List", "Short SSID List"},
    {314, "Known-BSSID", "Known BSSID"},
    {315, "6G-Cap", "6 GHz Capabilities"},
    {316, "UP-MU-Pwr", "UP MU Power Capabilities"},
    {512, "WPA", "WPA"},
    {513, "WMM", "WMM"},
    {514, "GTK", "GTK KDE"},
    {515, "MAC-Addr", "MAC Address KDE"},
    {516, "PMKID", "PMKID KDE"},
    {517, "Nonce", "Nonce KDE"},
    {518, "Lifetime", "Lifetime KDE"},
    {519, "Error", "Error KDE"},
    {520, "Key-Id", "Key ID KDE"},
};

constexpr unsigned IE_KEYS = 521;
constexpr unsigned KEY_EXT = 256;

// Index of each key's row in ie_names, or -1.
constexpr std::array<int16_t, IE_KEYS> make_ie_index()
{
    std::array<int16_t, IE_KEYS> idx{};
    for (auto &i : idx)
        i = -1;
    for (size_t i = 0; i < std::size(ie_names); i++)
        idx[ie_names[i].key] = int16_t(i);
    return idx;
}
constexpr auto ie_index = make_ie_index();

// Vendor elements with a key: OUI and type as one big-endian number.
struct vendor_key {
    uint32_t selector;
    unsigned key;
};
constexpr vendor_key vendor_keys[] = {
    {0x0050f201, 512}, {0x0050f202, 513}, {0x000fac01, 514}, {0x000fac03, 515}, {0x000fac04, 516},
    {0x000fac06, 517}, {0x000fac07, 518}, {0x000fac08, 519}, {0x000fac0a, 520},
};

uint16_t load_le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint16_t load_be16(const uint8_t *p)
{
    return uint16_t(p[0] << 8 | p[1]);
}

uint32_t load_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

const char *name_or_number(const char *name, uint8_t value)
{
    return name ? name : string_small_number(value);
}

void list_names(textbuf &out, const uint8_t *ies, size_t len, bool short_form)
{
    const char *sep = "";
    for (size_t pos = 0; pos + 2 <= len && pos + 2 + ies[pos + 1] <= len; pos += 2 + ies[pos + 1]) {
        const uint8_t *ie = ies + pos;
        unsigned key = dot11_ie_key(ie);
        const char *name = short_form ? dot11_ie_short_name(key) : dot11_ie_long_name(key);
        out.puts(sep);
        if (name)
            out.puts(name);
        else if (ie[0] == 221)
            out.puts("Vendor");
        else
            out.printf("<%s%u>", key >= KEY_EXT ? "ext-" : "", key & 0xff);
        if (!short_form)
            out.printf("[%u]", ie[1]);
        sep = short_form ? "," : ", ";
    }
}

void put_mac(textbuf &out, const uint8_t *m)
{
    out.printf("%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

void describe_ft_action(textbuf &out, const uint8_t *frame, size_t len)
{
    const uint8_t *body = frame + DOT11_HDR_LEN;
    uint8_t action = body[1];
    out.printf("-%s", name_or_number(dot11_ft_action_name(action), action));
    bool with_status = action == 2 || action == 4;
    if (len < DOT11_HDR_LEN + 14 + (with_status ? 2 : 0))
        return;
    out.puts("(STA=");
    put_mac(out, body + 2);
    out.puts(",Target=");
    put_mac(out, body + 8);
    if (with_status)
        out.printf(",Status=%u)", load_le16(body + 14));
    else
        out.puts(")");
}

} // namespace

size_t dot11_frame_type_name(uint8_t fc)
{
    if ((fc >> 2 & 3) != 0)
        return 0;
    return DOT11_HDR_LEN + fixed_length[fc >> 4];
}

const char *dot11_frame_name(uint16_t fc)
{
    unsigned type = fc >> 2 & 3, subtype = fc >> 4 & 15;
    switch (type) {
    case 0:
        return name_or_number(mgmt_names[subtype], uint8_t(subtype));
    case 1:
        if (subtype == 6) {
            unsigned ext = fc >> 8 & 15;
            return ext < std::size(ctrl_ext_names) ? ctrl_ext_names[ext] : string_small_number(uint8_t(ext));
        }
        return name_or_number(ctrl_names[subtype], uint8_t(subtype));
    case 2:
        return data_names[subtype];
    default:
        return string_small_number(uint8_t(subtype));
    }
}

const char *dot11_action_name(uint8_t category)
{
    unsigned c = category & 0x7f;
    if (c >= std::size(category_names) || !category_names[c])
        return string_small_number(category);
    return category & 0x80 ? category_error_names[c].s : category_names[c];
}

const char *dot11_ft_action_name(uint8_t action)
{
    return action < std::size(ft_action_names) ? ft_action_names[action] : nullptr;
}

unsigned dot11_ie_key(const uint8_t *ie)
{
    if (ie[0] == 255)
        return ie[1] >= 1 ? KEY_EXT + ie[2] : 255;
    if (ie[0] == 221 && ie[1] > 3) {
        uint32_t selector = load_be32(ie + 2);
        for (const vendor_key &v : vendor_keys)
            if (v.selector == selector)
                return v.key;
    }
    return ie[0];
}

const char *dot11_ie_short_name(unsigned key)
{
    return key < IE_KEYS && ie_index[key] >= 0 ? ie_names[ie_index[key]].short_name : nullptr;
}

const char *dot11_ie_long_name(unsigned key)
{
    return key < IE_KEYS && ie_index[key] >= 0 ? ie_names[ie_index[key]].long_name : nullptr;
}

bool dot11_ie_skip(const uint8_t *ies, size_t len)
{
    size_t pos = 0;
    while (pos + 2 <= len && pos + 2 + ies[pos + 1] <= len)
        pos += 2 + ies[pos + 1];
    return pos == len;
}

const uint8_t *dot11_ie_find(const uint8_t *ies, size_t len, uint8_t id, uint32_t selector)
{
    for (size_t pos = 0; pos + 2 <= len && pos + 2 + ies[pos + 1] <= len; pos += 2 + ies[pos + 1]) {
        const uint8_t *ie = ies + pos;
        if (ie[0] != id)
            continue;
        if (id == 221 && (ie[1] < 4 || load_be32(ie + 2) != selector))
            continue;
        if (id == 255 && (ie[1] < 1 || ie[2] != selector))
            continue;
        return ie;
    }
    return nullptr;
}

char *dot11_ie_list_names(const uint8_t *ies, size_t len, bool short_form, char *buf, size_t size)
{
    textbuf out = make_textbuf(buf, size);
    list_names(out, ies, len, short_form);
    return buf;
}

char *dot11_frame_describe(const uint8_t *frame, size_t len, char *buf, size_t size)
{
    textbuf out = make_textbuf(buf, size);
    if (len < 2)
        return buf;
    uint16_t fc = load_le16(frame);
    out.puts(dot11_frame_name(fc));
    size_t fixed = dot11_frame_type_name(frame[0]);
    if (!fixed || len < fixed)
        return buf;
    const uint8_t *f = frame + DOT11_HDR_LEN;
    switch (fc >> 4 & 15) {
    case DOT11_ST_ASSOC_REQ:
        out.printf("(Cap=%04x,Int=%u)", load_le16(f), load_le16(f + 2));
        break;
    case DOT11_ST_ASSOC_RESP:
    case DOT11_ST_REASSOC_RESP:
        out.printf("(Cap=%04x,Status=%u,AID=%u)", load_le16(f), load_le16(f + 2),
                   load_le16(f + 4) & 0x3fff);
        break;
    case DOT11_ST_REASSOC_REQ:
        out.printf("(Cap=%04x,Int=%u,AP=", load_le16(f), load_le16(f + 2));
        put_mac(out, f + 4);
        out.puts(")");
        break;
    case DOT11_ST_PROBE_RESP: {
        uint64_t tsf = 0;
        for (int i = 7; i >= 0; i--)
            tsf = tsf << 8 | f[i];
        out.printf("(TSF=%jd,Beacon=%u,Cap=%04x)", intmax_t(int64_t(tsf)), load_le16(f + 8),
                   load_le16(f + 10));
        break;
    }
    case DOT11_ST_DISASSOC:
    case DOT11_ST_DEAUTH:
        out.printf("(Reason=%u)", load_le16(f));
        break;
    case DOT11_ST_AUTH: {
        uint16_t alg = load_le16(f);
        char num[8];
        snprintf(num, sizeof num, "%u", alg);
        out.printf("(Alg=%s,Seq=%u,Status=%u)", alg == 0 ? "Open" : alg == 2 ? "FTAA" : num,
                   load_le16(f + 2), load_le16(f + 4));
        break;
    }
    case DOT11_ST_ACTION:
        out.printf(":%s", dot11_action_name(f[0]));
        if (f[0] == 6 && len >= DOT11_HDR_LEN + 2 && f[1] < 5)
            describe_ft_action(out, frame, len);
        return buf;
    default:
        break;
    }
    if (len > fixed) {
        out.puts("[");
        list_names(out, frame + fixed, len - fixed, true);
        out.puts("]");
    }
    return buf;
}

char *dot11_eapol_describe(const uint8_t *eapol, size_t len, char *buf, size_t size)
{
    // EAPOL-Key fields, from the EAPOL header.
    enum : size_t { DESC_TYPE = 4, KEY_INFO = 5, KEY_DATA_LEN = 97, KEY_DATA = 99 };
    textbuf out = make_textbuf(buf, size);
    out.puts("EAPOL-Key");
    if (len < KEY_INFO + 2)
        return buf;
    uint16_t info = load_be16(eapol + KEY_INFO);
    static constexpr struct {
        uint16_t bit;
        char letter;
    } letters[] = {
        {0x0008, 'P'}, {0x0040, 'I'}, {0x0080, 'A'}, {0x0100, 'M'},
        {0x0200, 'S'}, {0x0400, 'E'}, {0x0800, 'R'}, {0x1000, 'C'},
    };
    char flags[9];
    for (size_t i = 0; i < 8; i++)
        flags[i] = info & letters[i].bit ? letters[i].letter : '-';
    flags[8] = '\0';
    out.printf("(%s)", flags);
    if (len < KEY_DATA)
        return buf;
    size_t data_len = load_be16(eapol + KEY_DATA_LEN);
    if (!data_len)
        return buf;
    if (data_len > len - KEY_DATA)
        data_len = len - KEY_DATA;
    out.puts("[");
    if (info & 0x0008 || eapol[DESC_TYPE] == 2)
        list_names(out, eapol + KEY_DATA, data_len, true);
    else
        out.puts("GTK"); // a WPA group frame carries the bare key
    out.puts("]");
    return buf;
}
