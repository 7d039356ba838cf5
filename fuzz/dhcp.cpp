// DHCPv4 messages from stations and servers: option walk (with overload),
// find, the readers, both formatters, and adding and removing options in place.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/dhcp.h"
#include "common/fatal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: the option code to edit; second: extra room for adding.
    uint8_t code = data[0];
    size_t room = data[1];
    data += 2;
    size -= 2;
    std::vector<uint8_t> msg(data, data + size);
    msg.resize(size + room);
    size_t len = size, max = size + room;

    char buf[512];
    dhcp_format(msg.data(), len, buf, sizeof(buf));
    dhcp_opts_format(msg.data(), len, buf, sizeof(buf));
    dhcp_format(msg.data(), len, buf, 7);

    // The walk without a cursor visits the very options the cursor does.
    std::vector<const uint8_t *> walked;
    bool whole = dhcp_for_each_opt(msg.data(), len, [&](const uint8_t *p) {
        walked.push_back(p);
        return true;
    });
    dhlist l;
    dhlist_init(&l, msg.data(), len);
    size_t n = 0;
    for (const uint8_t *p; (p = dhlist_peek(&l)); dhlist_next(&l), n++) {
        UGW_ASSERT(n < walked.size() && walked[n] == p);
        UGW_ASSERT(p >= msg.data() && p + 2 + p[1] <= msg.data() + len);
        uint32_t u;
        in_addr a;
        char s[64];
        dhcp_opt_get_uint(p, p[1], &u);
        dhcp_opt_get_addr(p, 1, &a);
        dhcp_opt_get_string(p, 3, s, sizeof(s));
    }
    UGW_ASSERT(n == walked.size() && whole == !dhlist_malformed(&l));

    // Remove every option of the code, then add one back: the message
    // stays within bounds and the option is found where it was put.
    bool gone = true;
    while (uint8_t *o = dhcp_find_opt(msg.data(), len, code, -1)) {
        size_t before = len;
        if (dhcp_remove_opt(msg.data(), &len, o) < 0) {
            gone = false;
            break;
        }
        UGW_ASSERT(len <= before);
    }
    uint8_t value[40];
    memset(value, 0x5a, sizeof(value));
    uint8_t *added = dhcp_add_opt(msg.data(), &len, max, code, value, code % sizeof(value));
    UGW_ASSERT(len <= max);
    if (added && gone && code != DHCP_OPT_OVERLOAD) {
        UGW_ASSERT(dhcp_find_opt(msg.data(), len, code, -1) == added);
        dhcp_remove_opt(msg.data(), &len, added);
    }
    dhcp_opts_format(msg.data(), len, buf, sizeof(buf));
    return 0;
}
