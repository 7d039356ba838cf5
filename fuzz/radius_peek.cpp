// The NAS-Identifier peek on arbitrary datagrams: the core asks it before it
// knows which client a request on a shared port belongs to. The first byte
// sets the size of the output buffer.
#include <arpa/inet.h>
#include <cstdint>
#include <cstring>

#include "common/fatal.h"
#include "common/packet.h"
#include "radius/radius_client.h"

namespace
{

mempool *pool()
{
    static const packet_pool_config config = {4096 + 256, 32, 16, 4, 0, 0};
    static mempool *p = packet_pool_create(&config);
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096 + 64) return 0;
    size_t out_size = data[0];
    packet *msg = packet_alloc(pool(), size - 1);
    if (size > 1) memcpy(msg->data, data + 1, size - 1);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(3799);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char buffer[256];
    memset(buffer, 0x55, sizeof buffer);
    char *r = radius_client_peek_nas_identifier(msg, reinterpret_cast<sockaddr *>(&from), buffer,
                                                out_size);
    if (r) {
        UGW_ASSERT(r == buffer);
        UGW_ASSERT(out_size > 0 && strnlen(buffer, out_size) < out_size);
    }
    packet_release(msg);
    return 0;
}
