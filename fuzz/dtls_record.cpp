#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/packet.h"
#include "controller/dtls/dtls_hs.h"
#include "controller/dtls/dtls_rec.h"

// Splits a datagram into records and checks each against an epoch-0 context
// or an epoch-1 AES-CCM context (byte 0 picks which, and the tag length);
// then seals the input as a record and opens it again.
namespace {

const dtls_security_parameters kNull = {};
const dtls_security_parameters kCcm = {0, 1, 3, 2, 16, 16, 4, 8, 0, 16, 0, 0};
const dtls_security_parameters kCcm8 = {0, 1, 3, 2, 16, 16, 4, 8, 0, 8, 0, 0};

mempool *pool()
{
    static mempool *p = [] {
        aes_init();
        packet_pool_config c = {2048, 32, 16, 64, 64, 0};
        return packet_pool_create(&c);
    }();
    return p;
}

void make(dtls_security_context *c, uint8_t entity, uint8_t mode)
{
    *c = {};
    c->entity = entity;
    if (!(mode & 1)) {
        c->params = &kNull;
        return;
    }
    c->params = (mode & 2) ? &kCcm8 : &kCcm;
    c->cipher = &dtls_aes_ccm_ops;
    c->epoch = 1;
    c->version[0] = 0xfe;
    c->version[1] = 0xfd;
    for (size_t i = 0; i < sizeof c->keys.bytes; i++)
        c->keys.bytes[i] = uint8_t(i);
    c->keys.server_write_key = 16;
    c->keys.client_write_iv = 32;
    c->keys.server_write_iv = 36;
    dtls_rec_init_cipher(c, DTLS_CLIENT);
    dtls_rec_init_cipher(c, DTLS_SERVER);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1500)
        return 0;
    mempool *packets = pool(); // selects AES before any key is expanded
    uint8_t mode = data[0];
    data++, size--;
    dtls_security_context reader, writer;
    make(&reader, DTLS_SERVER, mode);
    make(&writer, DTLS_CLIENT, mode);

    packet *d = packet_alloc(packets, size);
    if (!d)
        return 0;
    memcpy(d->data, data, size);
    packet_queue records;
    packet_queue_init(&records);
    dtls_gen_deagg(nullptr, d, &records, dtls_rec_part_length, DTLS_RECORD_SIZE, "record");
    packet_release(d);
    while (packet *r = packet_queue_pop(&records)) {
        if (dtls_rec_recv(&reader, nullptr, r) == 0 &&
            dtls_meta_get(r, DTLS_META_CONTENT_TYPE) == DTLS_CT_HANDSHAKE) {
            packet_queue msgs;
            packet_queue_init(&msgs);
            dtls_hs_deagg(nullptr, r, &msgs);
            packet_queue_purge(&msgs);
        }
        packet_release(r);
    }

    packet *p = packet_alloc(packets, size);
    if (p) {
        memcpy(p->data, data, size);
        uint8_t type = 0;
        uint32_t seq = 0;
        packet *copy = packet_copy_single(p);
        if (copy) {
            dtls_rec_peek(nullptr, copy, &type, &seq);
            packet_release(copy);
        }
        dtls_security_context fresh;
        make(&fresh, DTLS_SERVER, mode);
        if (dtls_rec_send(&writer, nullptr, p, DTLS_CT_APPLICATION_DATA) == 0) {
            if (dtls_rec_recv(&fresh, nullptr, p) != 0 || p->length != size ||
                memcmp(p->data, data, size) != 0)
                __builtin_trap();
        }
        packet_release(p);
        dtls_rec_free_ciphers(&fresh);
    }
    dtls_rec_free_ciphers(&reader);
    dtls_rec_free_ciphers(&writer);
    if (pool()->info.memUsedObjects != 0)
        __builtin_trap(); // every packet went back
    return 0;
}
