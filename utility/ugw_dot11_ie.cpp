#include "utility/ugw_dot11_ie.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr uint8_t wpa_header[4] = {0x00, 0x50, 0xf2, 0x01};

uint16_t le16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t suite_at(const uint8_t *p)
{
    uint32_t s;
    memcpy(&s, p, 4);
    return s;
}

// True when the element's length byte fits in the bytes given.
bool element_fits(std::span<const uint8_t> e)
{
    return e.size() >= 2 && e.size() >= size_t(2) + e[1];
}

template <size_t N>
void fill_from_first_empty(uint32_t (&slots)[N], const uint8_t *list, size_t count)
{
    size_t slot = 0;
    while (slot < N && slots[slot] != 0)
        slot++;
    for (size_t k = 0; slot < N && k < count; slot++, k++)
        slots[slot] = suite_at(list + 4 * k);
}

void set_flag(uint8_t &byte, uint8_t bit, bool on)
{
    byte = uint8_t(on ? byte | bit : byte & ~bit);
}

} // namespace

int dot11_ie_show_rsn(std::span<const uint8_t> element, dot11_auth_config *config)
{
    if (!element_fits(element) || element[0] != DOT11_EID_RSN) return -1;
    return dot11_ie_parse_rsn_body(element, config);
}

int dot11_ie_parse_wpa(std::span<const uint8_t> element, dot11_auth_config *config)
{
    if (!element_fits(element) || element[0] != DOT11_EID_VENDOR || element[1] < 4 ||
        memcmp(element.data() + 2, wpa_header, 4) != 0)
        return -1;
    return dot11_ie_parse_rsn_body(element, config);
}

int dot11_ie_parse_rsn_body(std::span<const uint8_t> element, dot11_auth_config *config)
{
    if (!element_fits(element)) return -1;
    const bool wpa = element[0] == DOT11_EID_VENDOR;
    const size_t len = element[1];
    const size_t minimum = wpa ? 14 : 10;
    if (len < minimum) return -1;
    const uint8_t *p = element.data() + 2 + (wpa ? 4 : 0);
    if (le16(p) != 1) return -1;
    const uint32_t group = suite_at(p + 2);
    const size_t n = le16(p + 6);
    if (len < minimum + 4 * n) return -1;
    const uint8_t *pairwise = p + 8;
    const size_t m = le16(pairwise + 4 * n);
    if (len < minimum + 4 * n + 4 * m) return -1;
    const uint8_t *akm = pairwise + 4 * n + 2;
    uint16_t caps = 0;
    if (!wpa && len >= minimum + 4 * n + 4 * m + 2) caps = le16(akm + 4 * m);

    config->dot11RSNAConfigGroupCipher = group;
    config->flags_a |= DOT11_CFG_A_RSNA_ACTIVATED;
    fill_from_first_empty(config->dot11RSNAConfigPairwiseCipher, pairwise, std::min<size_t>(n, 4));
    fill_from_first_empty(config->dot11RSNAConfigAuthenticationSuite, akm, std::min<size_t>(m, 8));
    if (!wpa) {
        set_flag(config->flags_b, DOT11_CFG_B_PREAUTH_ACTIVATED, caps & 0x0001);
        config->dot11RSNAConfigNumberOfPTKSAReplayCountersImplemented = uint8_t((caps >> 2) & 3);
        set_flag(config->flags_b, DOT11_CFG_B_SPP_CAPABLE, caps & 0x0400);
        set_flag(config->flags_b, DOT11_CFG_B_SPP_REQUIRED, caps & 0x0800);
    }
    return 0;
}

int dot11_ie_show_template(std::span<const uint8_t> ess_template, dot11_auth_config *config)
{
    auto rest = ess_template.first(std::min(ess_template.size(), DOT11_TEMPLATE_MAX));
    int parsed = 0;
    while (element_fits(rest)) {
        auto element = rest.first(size_t(2) + rest[1]);
        if (dot11_ie_show_rsn(element, config) == 0 || dot11_ie_parse_wpa(element, config) == 0)
            parsed++;
        rest = rest.subspan(element.size());
    }
    return parsed;
}

unsigned dot11_channel_frequency(unsigned channel)
{
    if (channel >= 1 && channel <= 13) return 2407 + 5 * channel;
    if (channel == 14) return 2484;
    if (channel >= 32 && channel <= 173) return 5000 + 5 * channel;
    return 0;
}
