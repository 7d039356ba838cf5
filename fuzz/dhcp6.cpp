// DHCPv6 messages: find, format, and adding and removing options in place.
#include <cstdint>
#include <vector>

#include "common/dhcp.h"
#include "common/fatal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint16_t code = static_cast<uint16_t>(data[0] % 40);
    size_t room = data[1];
    data += 2;
    size -= 2;
    std::vector<uint8_t> msg(data, data + size);
    msg.resize(size + room);
    size_t len = size, max = size + room;

    char buf[256];
    dhcpv6_format(msg.data(), len, buf, sizeof(buf));
    dhcpv6_format(msg.data(), len, buf, 9);
    while (uint8_t *o = dhcpv6_find_opt(msg.data(), len, code, -1)) {
        UGW_ASSERT(o + 4 <= msg.data() + len);
        if (dhcpv6_remove_opt(msg.data(), &len, o) < 0)
            break;
    }
    uint8_t *added = dhcpv6_add_opt(msg.data(), &len, max, code, nullptr, room / 2);
    UGW_ASSERT(len <= max);
    if (added)
        UGW_ASSERT(dhcpv6_find_opt(msg.data(), len, code, static_cast<int>(room / 2)) == added);
    dhcpv6_format(msg.data(), len, buf, sizeof(buf));
    return 0;
}
