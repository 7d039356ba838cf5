// Multicast DNS responses as a responder (or anyone on the link) sends them.
#include <cstdint>

#include "common/mdns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Ary addrs;
    array_init(&addrs, sizeof(mdns_addr));
    uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
    mdns_parse_response(data, size, "ugwpeer.local", MDNS_IPV4 | MDNS_IPV6, id, 3, 5246, &addrs);
    mdns_parse_response(data, size, "UGWPEER.local.", MDNS_IPV4, id, 4, 0, &addrs);
    array_purge(&addrs);
    return 0;
}
