#include <cstddef>

#include "utility/ugw_dot11_mib.h"

void print_edca_lines(FILE *out, const dot11_edca_entry table[4], const char *side)
{
    static const char *const categories[4] = {"BE", "BK", "VI", "VO"};
    for (size_t i = 0; i < 4; i++) {
        const dot11_edca_entry &e = table[i];
        if (!e.cwmin && !e.cwmax && !e.aifsn && !e.txop_limit) continue;
        char label[16] = "xx EDCA AC_xx: ";
        snprintf(label, sizeof label, "%.2s EDCA AC_%.2s: ", side, categories[i]);
        fprintf(out, "%22s", label);
        fprintf(out, "AIFSN %u CW %u-%u burst %u\n", unsigned(e.aifsn), unsigned(e.cwmin),
                unsigned(e.cwmax), unsigned(e.txop_limit));
    }
}

void print_mcs_lines(FILE *out, const char *label, const uint8_t map[8])
{
    for (size_t n = 1; n <= 8; n++) {
        const unsigned value = map[n - 1] & 3;
        if (value == 3) continue;
        char text[32];
        snprintf(text, sizeof text, "%s %zu SS: ", label, n);
        fprintf(out, "%22s", text);
        fprintf(out, "MCS 0-%u\n", value + 7);
    }
}
