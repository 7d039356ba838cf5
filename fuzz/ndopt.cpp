#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ndopt.h"

// Walks and edits an option list taken from the input; the first byte picks the type.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t type = data[0];
    std::vector<uint8_t> opts(data + 1, data + size);
    std::span<uint8_t> list(opts);
    for (int round = 0; round < 8; round++) {
        auto found = ndopt_find(list, type);
        if (found.empty())
            break;
        if (found.data() < list.data() || found.data() + found.size() != list.data() + list.size())
            __builtin_trap();
        size_t len = ndopt_remove(list, found.data());
        if (len >= list.size())
            __builtin_trap(); // a found option always has a length
        list = list.first(len);
    }
    std::vector<uint8_t> room(64);
    ndopt_add(room.data(), room.size(), type, data, size < 80 ? size : 80);
    return 0;
}
