#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/sockaddr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string url(reinterpret_cast<const char *>(data), size); // NUL-terminated copy
    char host[64];
    uint16_t port = 0;
    int n = url_parse(url.c_str(), host, sizeof(host), &port);
    if (n >= 0 && (static_cast<size_t>(n) >= sizeof(host) || strlen(host) != static_cast<size_t>(n)))
        __builtin_trap();
    return 0;
}
