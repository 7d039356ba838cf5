#include "common/ndopt.h"

#include <cstring>
#include <functional>

std::span<uint8_t> ndopt_find(std::span<uint8_t> options, uint8_t type)
{
    size_t off = 0;
    while (options.size() - off >= 2) {
        size_t len = static_cast<size_t>(options[off + 1]) * 8;
        if (len == 0 || len > options.size() - off)
            break;
        if (options[off] == type)
            return options.subspan(off);
        off += len;
    }
    return {};
}

size_t ndopt_remove(std::span<uint8_t> options, const uint8_t *option)
{
    std::less<const uint8_t *> before;
    if (before(option, options.data()) || !before(option, options.data() + options.size()))
        return options.size();
    size_t off = static_cast<size_t>(option - options.data());
    if (options.size() - off < 2)
        return options.size();
    size_t len = static_cast<size_t>(option[1]) * 8;
    if (len == 0 || len > options.size() - off)
        return options.size();
    memmove(options.data() + off, options.data() + off + len, options.size() - off - len);
    return options.size() - len;
}

uint8_t *ndopt_add(uint8_t *buffer, size_t room, uint8_t type, const void *data, size_t n)
{
    if (n > 255 * 8 - 2)
        return nullptr;
    size_t total = (n + 2 + 7) & ~static_cast<size_t>(7);
    if (total >= room)
        return nullptr;
    buffer[0] = type;
    buffer[1] = static_cast<uint8_t>((n + 9) / 8);
    if (data)
        memcpy(buffer + 2, data, n);
    memset(buffer + 2 + n, 0, total - 2 - n);
    return buffer;
}
