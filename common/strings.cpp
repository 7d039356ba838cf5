#include "common/strings.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

size_t string_lcpy(char *buffer, const char *text, size_t size)
{
    size_t len = strlen(text);
    if (size) {
        size_t n = len < size - 1 ? len : size - 1;
        memcpy(buffer, text, n);
        buffer[n] = '\0';
    }
    return len;
}

size_t string_lcat(char *buffer, const char *text, size_t size)
{
    size_t used = strnlen(buffer, size);
    if (used == size)
        return size + strlen(text);
    return used + string_lcpy(buffer + used, text, size - used);
}

const char *string_basename(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

namespace {

// "100" to "255"; smaller numbers are tails of these.
constexpr auto small_numbers = [] {
    std::array<std::array<char, 4>, 156> t{};
    for (unsigned i = 0; i < t.size(); i++) {
        unsigned v = 100 + i;
        t[i] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
                static_cast<char>('0' + v % 10), '\0'};
    }
    return t;
}();

} // namespace

const char *string_small_number(uint8_t n)
{
    if (n >= 100)
        return small_numbers[n - 100].data();
    return small_numbers[n].data() + (n < 10 ? 2 : 1);
}

char *string_format_units(uint64_t value, unsigned flags, char *buffer, size_t size, unsigned base,
                          const char *const units[7])
{
    if (!size)
        return buffer;
    unsigned k = 0;
    unsigned __int128 scale = 1;
    while (k < 6 && value >= scale * 1000) {
        scale *= base;
        k++;
    }
    uint64_t q = static_cast<uint64_t>(value / scale);
    unsigned __int128 rem = value % scale;
    bool align = flags & STRING_UNITS_ALIGN;
    int n;
    if (k == 0 || q >= 100)
        n = snprintf(buffer, size, align ? "%4" PRIu64 : "%" PRIu64, q);
    else if (q >= 10)
        n = snprintf(buffer, size, align ? "%2" PRIu64 ".%01u" : "%" PRIu64 ".%01u", q,
                     static_cast<unsigned>(rem * 10 / scale));
    else
        n = snprintf(buffer, size, "%" PRIu64 ".%02u", q, static_cast<unsigned>(rem * 100 / scale));
    if (n < 0 || static_cast<size_t>(n) >= size)
        return buffer;
    const char *blank = (flags & STRING_UNITS_TIGHT) ? "" : " ";
    if (k > 0 || align)
        snprintf(buffer + n, size - static_cast<size_t>(n), "%s%s", blank, units[k]);
    else
        snprintf(buffer + n, size - static_cast<size_t>(n), "%s", blank);
    return buffer;
}

char *string_format_bytes(uint64_t value, unsigned flags, char *buffer, size_t size)
{
    static const char *const units[7] = {"  ", "Ki", "Mi", "Gi", "Ti", "Pi", "Ei"};
    return string_format_units(value, flags, buffer, size, 1024, units);
}

uint64_t string_parse_size(const char *text, const char **end)
{
    errno = 0;
    const char *p = text;
    if (!isdigit(static_cast<unsigned char>(*p))) {
        if (end)
            *end = text;
        errno = EINVAL;
        return 0;
    }
    unsigned __int128 whole = 0;
    bool overflow = false;
    for (; isdigit(static_cast<unsigned char>(*p)); p++) {
        whole = whole * 10 + static_cast<unsigned>(*p - '0');
        if (whole > UINT64_MAX) {
            overflow = true;
            whole = UINT64_MAX;
        }
    }
    const char *frac = nullptr;
    size_t frac_len = 0;
    if (*p == '.' && isdigit(static_cast<unsigned char>(p[1]))) {
        frac = ++p;
        while (isdigit(static_cast<unsigned char>(*p)))
            p++;
        frac_len = static_cast<size_t>(p - frac);
    }
    uint64_t unit = 1;
    static const char letters[] = "kmgtpe";
    if (*p) {
        if (const char *u = strchr(letters, tolower(static_cast<unsigned char>(*p)))) {
            unsigned power = static_cast<unsigned>(u - letters) + 1;
            unsigned base = 1000;
            p++;
            if (*p == 'i' || *p == 'I') {
                base = 1024;
                p++;
            }
            for (unsigned i = 0; i < power; i++)
                unit *= base;
        }
    }
    // Only as many fraction digits as the unit can resolve.
    uint64_t num = 0, den = 1;
    for (size_t i = 0; i < frac_len && den <= unit / 10; i++) {
        num = num * 10 + static_cast<unsigned>(frac[i] - '0');
        den *= 10;
    }
    unsigned __int128 result = whole * unit + static_cast<unsigned __int128>(num) * unit / den;
    if (end)
        *end = p;
    if (overflow || result > UINT64_MAX) {
        errno = ERANGE;
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(result);
}

char *string_hexdump(const void *bytes, size_t n, char *buffer, size_t size)
{
    if (!size)
        return buffer;
    buffer[0] = '\0';
    auto *p = static_cast<const uint8_t *>(bytes);
    size_t used = 0;
    for (size_t i = 0; i < n && size - used > 3; i++) {
        snprintf(buffer + used, size - used, "%02x ", p[i]);
        used += 3;
    }
    return buffer;
}

char *string_printable(char *buffer, std::string_view text, size_t size, char replacement)
{
    if (!size)
        return buffer;
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        buffer[i] = isprint(c) ? static_cast<char>(c) : replacement;
    }
    buffer[n] = '\0';
    return buffer;
}

char *string_untrusted(char *buffer, std::string_view text, size_t size)
{
    return string_printable(buffer, text, size, '?');
}
