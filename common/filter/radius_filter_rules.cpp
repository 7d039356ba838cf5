#include "common/filter/radius_filter_rules.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t RADIUS_HEADER_LEN = 20;

int parse_one(const char *text, size_t n, filter_rule *out)
{
    char rule_text[sizeof(radius_filter_rules::buffer) + 1];
    std::memcpy(rule_text, text, n);
    rule_text[n] = '\0';
    filter_rule scratch;
    return filter_rule_parse(out ? out : &scratch, rule_text, 0);
}

// Calls fn(start, length) for every complete, non-empty rule in the buffer:
// rules end at a NUL, and after the last attribute also at the buffer's end.
// Returns the bytes the complete rules take, or SIZE_MAX when fn refused one.
template <class F> size_t walk_rules(const radius_filter_rules *state, bool last, F fn)
{
    size_t start = 0;
    for (size_t i = 0; i < state->fill; i++) {
        if (state->buffer[i] != '\0')
            continue;
        if (i > start && !fn(start, i - start))
            return SIZE_MAX;
        start = i + 1;
    }
    if (last) {
        if (state->fill > start && !fn(start, state->fill - start))
            return SIZE_MAX;
        start = state->fill;
    }
    return start;
}

} // namespace

void radius_filter_rules_init(radius_filter_rules *state, std::span<const uint8_t> packet)
{
    // The buffer is read only up to fill: a parse per answer need not clear 1 KiB.
    state->fill = state->consumed = state->count = 0;
    state->split = 0;
    if (packet.size() < RADIUS_HEADER_LEN)
        return;
    size_t end = static_cast<size_t>(packet[2]) << 8 | packet[3];
    if (end > packet.size())
        end = packet.size();
    for (size_t off = RADIUS_HEADER_LEN; off + 2 <= end;) {
        size_t len = packet[off + 1];
        if (len < 2 || len > end - off)
            break;
        if (packet[off] == RADIUS_ATTR_NAS_FILTER_RULE) {
            state->count++;
            if (std::memchr(packet.data() + off + 2, 0, len - 2))
                state->split = 1;
        }
        off += len;
    }
}

int radius_filter_rules_decode(radius_filter_rules *state, std::span<const uint8_t> attribute,
                               filter_rule *rules, size_t room)
{
    if (attribute.size() < 2 || attribute[1] < 2 || attribute[1] > attribute.size()) {
        errno = EINVAL;
        return -1;
    }
    if (attribute[0] != RADIUS_ATTR_NAS_FILTER_RULE)
        return 0;
    const char *value = reinterpret_cast<const char *>(attribute.data() + 2);
    size_t vlen = attribute[1] - 2u;

    if (!state->split) {
        if (std::memchr(value, 0, vlen) || (rules && room == 0)) {
            errno = rules && room == 0 ? ENOSPC : EINVAL;
            return -1;
        }
        if (parse_one(value, vlen, rules) < 0) {
            errno = EINVAL;
            return -1;
        }
        return 1;
    }

    if (state->consumed >= state->count || state->fill + vlen > sizeof(state->buffer)) {
        errno = EINVAL;
        return -1;
    }
    std::memcpy(state->buffer + state->fill, value, vlen);
    state->fill = static_cast<uint16_t>(state->fill + vlen);
    state->consumed++;
    bool last = state->consumed == state->count;

    size_t found = 0;
    size_t used = walk_rules(state, last, [&](size_t, size_t) { return ++found, true; });
    if (rules && found > room) {
        errno = ENOSPC;
        return -1;
    }
    size_t k = 0;
    auto parse = [&](size_t start, size_t n) {
        return parse_one(state->buffer + start, n, rules ? &rules[k++] : nullptr) == 0;
    };
    if (walk_rules(state, last, parse) == SIZE_MAX) {
        errno = EINVAL;
        return -1;
    }
    std::memmove(state->buffer, state->buffer + used, state->fill - used);
    state->fill = static_cast<uint16_t>(state->fill - used);
    return static_cast<int>(found);
}
