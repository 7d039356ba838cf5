// The 802.11 MIB groups as the show outputs assemble and print them.
#pragma once

#include <cstdint>
#include <cstdio>

// One access category of an EDCA table; tables hold BE, BK, VI, VO.
struct dot11_edca_entry {
    uint16_t cwmin;
    uint16_t cwmax;
    uint16_t aifsn;
    uint16_t txop_limit;
    uint16_t msdu_lifetime;
};

// One line per access category with any of CWmin, CWmax, AIFSN, TXOP set,
// labelled with the first two characters of side.
void print_edca_lines(FILE *out, const dot11_edca_entry table[4], const char *side);
// One line per spatial stream that the map supports (2-bit value not 3).
void print_mcs_lines(FILE *out, const char *label, const uint8_t map[8]);
