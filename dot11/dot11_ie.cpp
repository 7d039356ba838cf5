#include "dot11/dot11_ie.h"

#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "dot11/dot11_keygen.h"

namespace {

// RSN element body, from the body start (a WPA body starts 4 bytes later).
enum : size_t {
    RSN_VERSION = 0,
    RSN_GROUP = 2,
    RSN_PAIRWISE_COUNT = 6,
    RSN_PAIRWISE = 8,
    RSN_MIN_BODY = 18, // one pairwise suite and one AKM
    RSN_CAPS_ONE_EACH = 18,
};

// RSN Capabilities bits.
enum : uint16_t {
    RSN_CAP_PREAUTH = 0x0001,
    RSN_CAP_REPLAY_SHIFT = 2, // PTKSA and GTKSA replay counters, bits 2-5
    RSN_CAP_SPP_CAPABLE = 0x0400,
    RSN_CAP_SPP_REQUIRED = 0x0800,
};

constexpr uint8_t WPA_OUI_TYPE[4] = {0x00, 0x50, 0xf2, 0x01};
constexpr size_t ELEMENT_MAX = 2 + 255;

uint16_t load_le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

uint32_t load_suite(const uint8_t *p)
{
    uint32_t s;
    memcpy(&s, p, 4);
    return s;
}

void store_suite(uint8_t *p, uint32_t s)
{
    memcpy(p, &s, 4);
}

// The element's total length when all of it lies in the span, else 0.
size_t whole_length(std::span<const uint8_t> ie)
{
    if (ie.size() < 2 || size_t(2) + ie[1] > ie.size())
        return 0;
    return size_t(2) + ie[1];
}

// The suite as the element of this OUI writes it: the group cipher of a WPA
// element goes out under 00-50-F2 whatever OUI the configuration gives it.
uint32_t with_oui(uint32_t oui, uint32_t suite)
{
    return dot11_suite(uint8_t(oui >> 16), uint8_t(oui >> 8), uint8_t(oui), dot11_suite_type(suite));
}

} // namespace

int dot11_ie_build_rsn(const dot11_auth_config *cfg, int wpa, uint8_t *buf, size_t cap)
{
    uint32_t oui = wpa ? DOT11_OUI_WPA : DOT11_OUI_RSN;
    uint32_t group = cfg->dot11RSNAConfigGroupCipher;
    if (!dot11_cipher_is_tkip(group) && !dot11_cipher_is_ccmp(group))
        return 0;
    uint32_t pairwise[4], akm[8];
    size_t npairwise = 0, nakm = 0;
    for (uint32_t s : cfg->dot11RSNAConfigPairwiseCipher)
        if (s && dot11_suite_oui(s) == oui)
            pairwise[npairwise++] = s;
    for (uint32_t s : cfg->dot11RSNAConfigAuthenticationSuite)
        if (s && dot11_suite_oui(s) == oui)
            akm[nakm++] = s;
    if (!npairwise || !nakm)
        return 0;

    size_t body = (wpa ? 4 : 0) + 2 + 4 + 2 + 4 * npairwise + 2 + 4 * nakm + (wpa ? 0 : 2);
    size_t total = 2 + body;
    if (!buf || cap < total)
        return int(total);

    uint8_t *p = buf;
    *p++ = wpa ? DOT11_EID_VENDOR : DOT11_EID_RSN;
    *p++ = uint8_t(body);
    if (wpa) {
        memcpy(p, WPA_OUI_TYPE, 4);
        p += 4;
    }
    store_le16(p, 1);
    p += 2;
    store_suite(p, with_oui(oui, group));
    p += 4;
    store_le16(p, uint16_t(npairwise));
    p += 2;
    for (size_t i = 0; i < npairwise; i++, p += 4)
        store_suite(p, pairwise[i]);
    store_le16(p, uint16_t(nakm));
    p += 2;
    for (size_t i = 0; i < nakm; i++, p += 4)
        store_suite(p, akm[i]);
    if (!wpa) {
        // Four bits of replay counters: bits 6 and 7 (MFPR, MFPC) stay clear.
        uint16_t caps =
            uint16_t((cfg->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented & 0x0f)
                     << RSN_CAP_REPLAY_SHIFT);
        if (cfg->flags_b & DOT11_CFG_B_PREAUTH_ACTIVATED)
            caps |= RSN_CAP_PREAUTH;
        if (cfg->flags_b & DOT11_CFG_B_SPP_CAPABLE)
            caps |= RSN_CAP_SPP_CAPABLE;
        if (cfg->flags_b & DOT11_CFG_B_SPP_REQUIRED)
            caps |= RSN_CAP_SPP_REQUIRED;
        store_le16(p, caps);
        p += 2;
    }
    return int(p - buf);
}

int dot11_ie_build_rsn_ie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap)
{
    return cfg->flags_a & DOT11_CFG_A_RSNA_ACTIVATED ? dot11_ie_build_rsn(cfg, 0, buf, cap) : 0;
}

int dot11_ie_build_wpa_ie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap)
{
    return cfg->flags_a & DOT11_CFG_A_RSNA_ACTIVATED ? dot11_ie_build_rsn(cfg, 1, buf, cap) : 0;
}

int dot11_ie_build_ssid(const dot11_auth_config *cfg, uint8_t *buf, size_t cap)
{
    if (cfg->ssid_len > DOT11_SSID_MAX)
        return -1;
    if (!cfg->ssid_len)
        return 0;
    size_t total = 2 + size_t(cfg->ssid_len);
    if (buf && cap >= total) {
        buf[0] = DOT11_EID_SSID;
        buf[1] = cfg->ssid_len;
        memcpy(buf + 2, cfg->ssid, cfg->ssid_len);
    }
    return int(total);
}

int dot11_ie_build_mdie(const dot11_auth_config *cfg, uint8_t *buf, size_t cap)
{
    if (!(cfg->flags_b & DOT11_CFG_B_FT_ACTIVATED))
        return 0;
    if (!cfg->dot11FTMobilityDomainID || cfg->r0kh_id_len < 1 || cfg->r0kh_id_len > 48)
        return -1;
    if (buf && cap >= 5) {
        buf[0] = DOT11_EID_MDIE;
        buf[1] = 3;
        store_le16(buf + 2, cfg->dot11FTMobilityDomainID);
        buf[4] = cfg->flags_b & DOT11_CFG_B_FT_OVER_DS ? 1 : 0;
    }
    return 5;
}

int dot11_ie_build_idle(const dot11_auth_config *cfg, uint8_t *buf, size_t cap)
{
    if (!cfg->dot11BssMaxIdlePeriod)
        return 0;
    if (buf && cap >= 5) {
        buf[0] = DOT11_EID_BSS_MAX_IDLE;
        buf[1] = 3;
        store_le16(buf + 2, cfg->dot11BssMaxIdlePeriod);
        buf[4] = 0;
    }
    return 5;
}

const dot11_ie_builder dot11_ie_ess_builders[4] = {
    dot11_ie_build_ssid,
    dot11_ie_build_rsn_ie,
    dot11_ie_build_mdie,
    dot11_ie_build_wpa_ie,
};

uint16_t dot11_ie_parse_rsn(std::span<const uint8_t> ie, dot11_ie_rsn_info *info)
{
    size_t total = whole_length(ie);
    if (!total)
        return DOT11_STATUS_INVALID_IE;
    const uint8_t *body = ie.data() + 2;
    size_t len = total - 2;
    if (ie[0] == DOT11_EID_VENDOR) {
        if (len < 4 || memcmp(body, WPA_OUI_TYPE, 4) != 0)
            return DOT11_STATUS_INVALID_IE;
        body += 4;
        len -= 4;
    } else if (ie[0] != DOT11_EID_RSN) {
        return DOT11_STATUS_INVALID_IE;
    }
    if (len < RSN_MIN_BODY)
        return DOT11_STATUS_INVALID_IE;
    if (load_le16(body + RSN_VERSION) != 1)
        return DOT11_STATUS_UNSUPPORTED_RSN_VERSION;
    if (load_le16(body + RSN_PAIRWISE_COUNT) != 1)
        return DOT11_STATUS_INVALID_IE;
    size_t akm_count = RSN_PAIRWISE + 4;
    if (load_le16(body + akm_count) != 1)
        return DOT11_STATUS_INVALID_IE;
    dot11_ie_rsn_info r{};
    r.group = load_suite(body + RSN_GROUP);
    r.pairwise = load_suite(body + RSN_PAIRWISE);
    r.akm = load_suite(body + akm_count + 2);
    if (ie[0] == DOT11_EID_RSN && len >= RSN_CAPS_ONE_EACH + 2) {
        uint16_t caps = load_le16(body + RSN_CAPS_ONE_EACH);
        if (caps & RSN_CAP_SPP_CAPABLE)
            r.flags |= DOT11_RSN_SPP_CAPABLE;
        if (caps & RSN_CAP_SPP_REQUIRED)
            r.flags |= DOT11_RSN_SPP_REQUIRED;
    }
    *info = r;
    return 0;
}

int dot11_ie_rsn_pmkid_offset(std::span<const uint8_t> ie)
{
    size_t total = whole_length(ie);
    if (!total || ie[0] != DOT11_EID_RSN || ie[1] < 10)
        return -1;
    const uint8_t *p = ie.data();
    size_t akm_count_at = 2 + RSN_PAIRWISE + 4 * size_t(load_le16(p + 2 + RSN_PAIRWISE_COUNT));
    if (akm_count_at + 2 > total)
        return -1;
    size_t caps = akm_count_at + 2 + 4 * size_t(load_le16(p + akm_count_at));
    // Ends after the AKM list, after the capabilities, or holds the count.
    if (total == caps || total == caps + 2 || total >= caps + 4)
        return int(caps);
    return -1;
}

namespace {

// The PMKID list of a whole RSN element: its start and count, or null.
const uint8_t *pmkid_list(std::span<const uint8_t> ie, size_t *count)
{
    int caps = dot11_ie_rsn_pmkid_offset(ie);
    if (caps < 0)
        return nullptr;
    size_t total = size_t(2) + ie[1];
    size_t at = size_t(caps) + 2;
    if (at + 2 > total)
        return nullptr;
    size_t n = load_le16(ie.data() + at);
    if (!n || at + 2 + 16 * n > total)
        return nullptr;
    *count = n;
    return ie.data() + at + 2;
}

} // namespace

bool dot11_ie_has_pmkid(std::span<const uint8_t> ie, const uint8_t pmkid[16])
{
    size_t n;
    const uint8_t *list = pmkid_list(ie, &n);
    for (size_t i = 0; list && i < n; i++)
        if (memcmp(list + 16 * i, pmkid, 16) == 0)
            return true;
    return false;
}

const uint8_t *dot11_ie_first_pmkid(std::span<const uint8_t> ie)
{
    size_t n;
    return pmkid_list(ie, &n);
}

int dot11_ie_insert_pmkid(uint8_t *ie, size_t spare, const uint8_t pmkid[16])
{
    size_t len = size_t(2) + ie[1];
    int at = dot11_ie_rsn_pmkid_offset({ie, len});
    if (at < 0)
        return -1;
    size_t caps = size_t(at), count_at = caps + 2, list = caps + 4;
    bool caps_missing = len == caps;
    bool count_missing = len <= count_at;
    size_t count = count_missing ? 0 : load_le16(ie + count_at);
    if (count && list + 16 * count > len)
        return -1; // a count of PMKIDs that are not all there
    size_t need = (caps_missing ? 2 : 0) + (count_missing ? 2 : 0) + (count ? 0 : 16);
    if (need > spare || len + need > ELEMENT_MAX)
        return -1;
    if (caps_missing) {
        store_le16(ie + caps, 0);
        len += 2;
    }
    if (count_missing) {
        store_le16(ie + count_at, 0);
        len += 2;
    }
    if (!count) {
        // Whatever follows the count (a group management cipher) moves back.
        memmove(ie + list + 16, ie + list, len - list);
        store_le16(ie + count_at, 1);
        len += 16;
    }
    memcpy(ie + list, pmkid, 16);
    ie[1] = uint8_t(len - 2);
    return 0;
}

bool dot11_ftie_has_subelem(std::span<const uint8_t> ftie, uint8_t id, const uint8_t *value,
                            size_t len)
{
    size_t total = whole_length(ftie);
    if (!total || ftie[1] <= 81)
        return false;
    for (size_t pos = DOT11_FTIE_SUBELEMS; pos + 2 <= total;) {
        size_t sub = ftie[pos + 1];
        if (pos + 2 + sub > total)
            return false;
        if (ftie[pos] == id)
            return sub == len && memcmp(ftie.data() + pos + 2, value, len) == 0;
        pos += 2 + sub;
    }
    return false;
}

uint8_t *dot11_ie_dup(const uint8_t *ie, size_t spare)
{
    size_t len = size_t(2) + ie[1];
    auto *copy = static_cast<uint8_t *>(malloc(len + spare));
    if (!copy) {
        ulog(LOG_COMP_DOT11, ULOG_ERROR, "Memory allocation failed");
        return nullptr;
    }
    memcpy(copy, ie, len);
    memset(copy + len, 0, spare);
    return copy;
}

bool dot11_ie_equal(const uint8_t *a, const uint8_t *b)
{
    return a[1] == b[1] && memcmp(a, b, size_t(2) + a[1]) == 0;
}

size_t dot11_ie_concat(uint8_t *buf, size_t cap, const uint8_t *const *ies, size_t count)
{
    size_t total = 0;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *ie = ies[i];
        if (!ie)
            continue;
        size_t len = size_t(2) + ie[1];
        if (buf && total < cap)
            memcpy(buf + total, ie, len < cap - total ? len : cap - total);
        total += len;
    }
    return total;
}
