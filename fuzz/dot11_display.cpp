#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utility/ugw_dot11_ie.h"

// The first byte picks the prefilled slots; the rest is an element and, as a
// whole, an ESS template. Each reader gets exactly the input's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t knob = data[0];
    std::vector<uint8_t> in(data + 1, data + size);
    std::span<const uint8_t> bytes(in);

    dot11_auth_config cfg{};
    for (size_t i = 0; i < 4; i++)
        cfg.dot11RSNAConfigPairwiseCipher[i] = (knob >> i) & 1 ? 0x04ac0f00u : 0;
    for (size_t i = 0; i < 8; i++)
        cfg.dot11RSNAConfigAuthenticationSuite[i] = (knob >> i) & 1 ? 0x02ac0f00u : 0;
    dot11_auth_config before = cfg;
    if (dot11_ie_show_rsn(bytes, &cfg) != 0 && memcmp(&cfg, &before, sizeof cfg) != 0)
        __builtin_trap();
    before = cfg;
    if (dot11_ie_parse_wpa(bytes, &cfg) != 0 && memcmp(&cfg, &before, sizeof cfg) != 0)
        __builtin_trap();
    dot11_ie_parse_rsn_body(bytes, &cfg);
    dot11_ie_show_template(bytes, &cfg);
    dot11_channel_frequency(knob);
    return 0;
}
