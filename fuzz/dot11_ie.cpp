#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dot11/dot11_desc.h"
#include "dot11/dot11_ie.h"

// The first byte picks the spare room and the ids sought; the rest is an
// element (RSN, WPA, FTIE) and, read as a list, a run of elements. Each
// reader gets exactly the input's bytes, so a read past them is caught.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t knob = data[0];
    std::vector<uint8_t> in(data + 1, data + size);
    std::span<const uint8_t> ie(in);

    dot11_ie_rsn_info info{};
    dot11_ie_parse_rsn(ie, &info);
    int caps = dot11_ie_rsn_pmkid_offset(ie);
    const uint8_t *first = dot11_ie_first_pmkid(ie);
    if (first && (caps < 0 || first + 16 > in.data() + in.size()))
        __builtin_trap();
    uint8_t pmkid[16];
    memset(pmkid, knob, sizeof pmkid);
    dot11_ie_has_pmkid(ie, pmkid);
    uint8_t value[8];
    memset(value, knob, sizeof value);
    dot11_ftie_has_subelem(ie, knob & 3, value, knob >> 5);

    // Insertion into a whole element with the spare room behind it.
    if (in.size() >= 2 && size_t(2) + in[1] <= in.size()) {
        size_t len = size_t(2) + in[1], spare = knob % 24;
        std::vector<uint8_t> el(in.begin(), in.begin() + long(len));
        el.resize(len + spare, 0xee);
        std::vector<uint8_t> before = el;
        if (dot11_ie_insert_pmkid(el.data(), spare, pmkid) == 0) {
            std::span<const uint8_t> grown(el.data(), size_t(2) + el[1]);
            const uint8_t *now = dot11_ie_first_pmkid(grown);
            if (grown.size() > el.size() || !now || memcmp(now, pmkid, 16) != 0 ||
                dot11_ie_rsn_pmkid_offset(grown) != caps)
                __builtin_trap();
        } else if (el != before) {
            __builtin_trap(); // a refusal changes nothing
        }
    }

    // The input as a list of elements.
    dot11_ie_skip(in.data(), in.size());
    dot11_ie_find(in.data(), in.size(), knob, 0x0050f201);
    dot11_ie_find(in.data(), in.size(), 255, knob);
    char names[64];
    size_t cap = 1 + knob % sizeof names;
    for (bool short_form : {true, false}) {
        dot11_ie_list_names(in.data(), in.size(), short_form, names, cap);
        if (strnlen(names, cap) >= cap)
            __builtin_trap();
    }
    std::vector<const uint8_t *> list;
    for (size_t pos = 0; pos + 2 <= in.size() && pos + 2 + in[pos + 1] <= in.size(); pos += 2 + in[pos + 1]) {
        list.push_back(in.data() + pos);
        dot11_ie_key(in.data() + pos);
    }
    std::vector<uint8_t> out(knob);
    size_t total = dot11_ie_concat(out.data(), out.size(), list.data(), list.size());
    if (total != dot11_ie_concat(nullptr, 0, list.data(), list.size()) || total > in.size())
        __builtin_trap();
    return 0;
}
