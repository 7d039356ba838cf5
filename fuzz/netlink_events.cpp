#include <cstddef>
#include <cstdint>

#include "common/netlink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Ary events;
    array_init(&events, sizeof(netlink_event));
    netlink_parse_events(data, size, &events);
    array_purge(&events);
    return 0;
}
