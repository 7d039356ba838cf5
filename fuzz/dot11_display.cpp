// The security elements of an ESS template as the display reads them, then
// arbitrary 802.11 records through the group assembly and both renderers:
// every JSON document must parse (RapidJSON's reader) and no text may hold a
// control byte other than a line feed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "fuzz/render_check.h"
#include "utility/ugw_dot11_ie.h"
#include "utility/ugw_dot11_mib.h"

using namespace render_fuzz;

namespace
{

void json(const std::function<void(json_writer *)> &render)
{
    capture(
        [&](FILE *out) {
            json_writer j;
            json_init(&j, out);
            json_open_object(&j);
            render(&j);
            json_close(&j);
            json_flush(&j);
        },
        check_json);
}

// The record's bytes from the input at offset, zero-padded.
template <class T> T record_at(std::span<const uint8_t> in, size_t offset)
{
    T r;
    memset(&r, 0, sizeof r);
    if (offset < in.size()) memcpy(&r, in.data() + offset, std::min(sizeof r, in.size() - offset));
    return r;
}

} // namespace

// The first byte picks the prefilled slots and the present sources; the rest
// is an element and, as a whole, an ESS template, and the records' bytes.
// Each reader gets exactly the input's bytes.
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

    // The service's configuration keeps what the elements gave it, the rest
    // of its bytes from the input.
    dot11_auth_config raw = record_at<dot11_auth_config>(bytes, 0);
    memcpy(raw.dot11RSNAConfigPairwiseCipher, cfg.dot11RSNAConfigPairwiseCipher,
           sizeof cfg.dot11RSNAConfigPairwiseCipher);
    const dot11_mib_sta sta = record_at<dot11_mib_sta>(bytes, 16);
    const dot11_flow_station flow = record_at<dot11_flow_station>(bytes, 32);
    const dot11_ft_auth_row ft = record_at<dot11_ft_auth_row>(bytes, 48);
    const dot11_key_row key = record_at<dot11_key_row>(bytes, 64);
    const int capability = 0;
    const dot11_mib_sources s = {
        nullptr,
        nullptr,
        knob & 0x01 ? &sta : nullptr,
        knob & 0x02 ? &raw : nullptr,
        knob & 0x04 ? &capability : nullptr,
        knob & 0x08 ? &flow : nullptr,
        knob & 0x10 ? &ft : nullptr,
    };
    const bool station = knob & 0x20;
    json([&](json_writer *j) {
        render_json_dot11_mib(j, s.bss_capability, s.bss_elements, s.sta, s.config,
                              s.sta_capability, s.flow, s.ft);
        json_key(j, nullptr, "pmksa");
        render_json_dot11_pmksa(j, &key);
    });
    capture([&](FILE *out) { render_text_dot11_mib(out, &s, station); }, check_text);
    capture([&](FILE *out) { render_text_dot11_pmksa(out, &key); }, check_text);

    // Groups as no source fills them yet: every gate, list and count from
    // the input.
    dot11_mib_groups g;
    dot11_mib_assemble(&g, &s);
    g.station = record_at<dot11StationConfig>(bytes, 0);
    g.operation = record_at<dot11Operation>(bytes, 8);
    g.ht = record_at<dot11HTStationConfig>(bytes, 24);
    for (unsigned k = 0; k < DOT11_CAP_KINDS; k++)
        g.cap[k] = record_at<dot11_mib_cap_group>(bytes, 4 * k);
    for (size_t i = 0; i < 16; i++)
        g.multidomain[i] = record_at<dot11_multidomain_entry>(bytes, 2 * i);
    for (size_t i = 0; i < 32; i++)
        g.ppe[i] = record_at<dot11_ppe_entry>(bytes, i);
    g.multidomain_count = knob % 20;
    g.ppe_count = knob % 40;
    if (!in.empty()) memcpy(g.ap_edca, in.data(), std::min(sizeof g.ap_edca, in.size()));
    json([&](json_writer *j) { render_json_dot11_groups(j, &g, &s); });
    capture([&](FILE *out) { render_text_dot11_groups(out, &g, &s, station); }, check_text);
    return 0;
}
