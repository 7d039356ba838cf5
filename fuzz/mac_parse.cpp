#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/sockaddr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t mac[6];
    mac_parse(mac, std::string_view(reinterpret_cast<const char *>(data), size));
    return 0;
}
