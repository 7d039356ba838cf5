// The oracles the renderer fuzz targets share: a text holds no control byte
// but the line feed, a JSON document parses (RapidJSON's reader, encoding
// checked); and interface names as unfriendly as the system allows.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <net/if.h>

// RapidJSON 1.1 offsets a null stack pointer before its first growth; that
// is the oracle's own undefined behaviour, not the renderers'.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("pointer-overflow"))), apply_to = function)
#endif
#include <rapidjson/document.h>
#if defined(__clang__)
#pragma clang attribute pop
#endif

namespace render_fuzz
{

inline void check_text(const char *data, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        auto c = static_cast<unsigned char>(data[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7f) abort();
    }
}

inline void check_json(const char *data, size_t size)
{
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(data, size);
    if (doc.HasParseError()) abort();
}

// What render writes, handed to check.
inline void capture(const std::function<void(FILE *)> &render, void (*check)(const char *, size_t))
{
    char *data = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&data, &size);
    if (!out) return;
    render(out);
    fclose(out);
    check(data, size);
    free(data);
}

// A name from the system could hold anything a file name may.
inline char *ifname(unsigned index, char *name)
{
    if (index % 3 == 0) return nullptr;
    snprintf(name, IF_NAMESIZE, index % 3 == 1 ? "eth%u" : "b\x1b%u\"", index % 100);
    return name;
}

} // namespace render_fuzz
