// Filter rules carried in RADIUS NAS-Filter-Rule attributes: one rule per
// attribute, or NUL-separated rules that may run across attributes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/filter/filter_rule.h"

constexpr uint8_t RADIUS_ATTR_NAS_FILTER_RULE = 92;

struct radius_filter_rules {
    char buffer[1024]; // the unfinished rule carried into the next attribute
    uint16_t fill;
    uint16_t consumed; // NAS-Filter-Rule attributes decoded so far
    uint16_t count;    // NAS-Filter-Rule attributes in the packet
    uint8_t split;     // rules are NUL-separated
};

// Counts the packet's NAS-Filter-Rule attributes and notes whether any holds a
// NUL. The walk stops at the length field or the datagram's end, whichever
// comes first.
void radius_filter_rules_init(radius_filter_rules *state, std::span<const uint8_t> packet);

// attribute: type, length and value as they sit in the packet. Returns the
// number of rules it completed (copied into rules), 0 for another attribute
// type, or -1: a rule that does not parse strictly, a malformed attribute,
// more text than the buffer holds, more NAS-Filter-Rule attributes than were
// counted, or more rules than room (ENOSPC: dropping one could drop a deny).
// A null rules array only counts and checks.
int radius_filter_rules_decode(radius_filter_rules *state, std::span<const uint8_t> attribute,
                               filter_rule *rules, size_t room);
