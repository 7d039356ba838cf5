#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/packet.h"
#include "controller/dtls/dtls_hs.h"

// Feeds a sequence of handshake records (each prefixed by a 2-byte length)
// through splitting and reassembly; the queue stays bounded and every packet
// goes back to the pool.
namespace {

mempool *pool()
{
    static mempool *p = [] {
        packet_pool_config c = {2048, 32, 16, 64, 64, 0};
        return packet_pool_create(&c);
    }();
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sha256_ctx hash;
    sha256_init(&hash);
    dtls_hs_state hs;
    dtls_hs_init(&hs, &hash, 200);
    while (size >= 2) {
        size_t n = size_t(data[0] << 8 | data[1]) % 1600;
        data += 2, size -= 2;
        if (n > size)
            n = size;
        packet *rec = packet_alloc(pool(), n);
        if (!rec)
            break;
        memcpy(rec->data, data, n);
        data += n, size -= n;
        packet_queue msgs;
        packet_queue_init(&msgs);
        dtls_hs_deagg(nullptr, rec, &msgs);
        packet_release(rec);
        while (packet *m = packet_queue_pop(&msgs)) {
            packet *body = nullptr;
            int r = dtls_hs_recv(&hs, nullptr, m, &body);
            if ((r == 0) != (body != nullptr))
                __builtin_trap();
            if (body) {
                if (body->length > DTLS_HS_MAX_MESSAGE && body->length > 1600)
                    __builtin_trap();
                packet_release(body);
            }
            packet_release(m);
            if (hs.reassembly.count > DTLS_HS_MAX_FRAGMENTS)
                __builtin_trap();
        }
    }
    dtls_hs_fini(&hs);
    if (pool()->info.memUsedObjects != 0)
        __builtin_trap();
    return 0;
}
