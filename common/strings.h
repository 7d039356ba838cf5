// Bounded string copies, small-number texts, numbers with binary units, size
// parsing, hex dumps and printable copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

size_t string_lcpy(char *buffer, const char *text, size_t size);
size_t string_lcat(char *buffer, const char *text, size_t size);
const char *string_basename(const char *path);
const char *string_small_number(uint8_t n);

enum : unsigned {
    STRING_UNITS_TIGHT = 0x1, // no blank before the unit
    STRING_UNITS_ALIGN = 0x2, // fixed-width columns
};

char *string_format_units(uint64_t value, unsigned flags, char *buffer, size_t size, unsigned base,
                          const char *const units[7]);
char *string_format_bytes(uint64_t value, unsigned flags, char *buffer, size_t size);
// Decimal number, optional fraction, optional unit k m g t p e (times 1000^n,
// or 1024^n when followed by 'i'). UINT64_MAX with ERANGE on overflow; *end is
// left at the text when there is no number.
uint64_t string_parse_size(const char *text, const char **end);
char *string_hexdump(const void *bytes, size_t n, char *buffer, size_t size);
// Copies text (up to the buffer's size), replacing each byte that is not
// printable, a NUL included, by the replacement.
char *string_printable(char *buffer, std::string_view text, size_t size, char replacement);
// Text that came from outside (a station, a server, a local peer), made safe
// for a log line: every byte that is not printable, a newline or a NUL
// included, becomes '?', so the text cannot forge a line or hide its end.
char *string_untrusted(char *buffer, std::string_view text, size_t size);
