// Any text that parses prints to a text that parses back to the same record,
// in both modes; the same bytes read as a RADIUS packet feed the
// NAS-Filter-Rule decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "common/filter/filter_rule.h"
#include "common/filter/radius_filter_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    for (int lenient : {0, 1}) {
        filter_rule rule, back;
        if (filter_rule_parse(&rule, text.c_str(), lenient) != 0)
            continue;
        char printed[FILTER_RULE_TEXT_MAX], again[FILTER_RULE_TEXT_MAX];
        filter_rule_print(&rule, printed, sizeof(printed));
        if (filter_rule_parse(&back, printed, lenient) != 0 ||
            std::memcmp(&rule, &back, sizeof(rule)) != 0)
            std::abort();
        filter_rule_print(&back, again, sizeof(again));
        if (std::strcmp(printed, again) != 0)
            std::abort();
    }

    std::span<const uint8_t> packet(data, size);
    radius_filter_rules state;
    radius_filter_rules_init(&state, packet);
    filter_rule rules[4];
    for (size_t off = 20; off + 2 <= size && data[off + 1] >= 2 && data[off + 1] <= size - off;
         off += data[off + 1])
        if (radius_filter_rules_decode(&state, packet.subspan(off, data[off + 1]), rules, 4) < 0)
            break;
    return 0;
}
