#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/strings.h"

// The size parser on arbitrary text, and the unit printer on the value it gives.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *end = nullptr;
    uint64_t v = string_parse_size(text.c_str(), &end);
    if (end < text.c_str() || end > text.c_str() + text.size())
        __builtin_trap();
    char buf[16];
    for (unsigned flags = 0; flags < 4; flags++) {
        string_format_bytes(v, flags, buf, sizeof(buf));
        if (strlen(buf) >= sizeof(buf))
            __builtin_trap();
    }
    char tiny[3];
    string_format_bytes(v, 0, tiny, sizeof(tiny));
    return 0;
}
