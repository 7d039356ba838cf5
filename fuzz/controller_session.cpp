// Feeds datagrams to a running session that has requests pending: the first byte splits
// the input into several datagrams, and the retransmission timer runs between them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/mempool.h"
#include "common/packet.h"
#include "common/timer.h"
#include "controller/ulmex.h"

namespace {

struct host {
    ulmex_ops ops;
    ulmex_link link;
    timer_fn armed = nullptr;
    uint32_t armed_ms = 0;
    uint64_t clock = 1000000;
};

host *of(ulmex_ops *ops)
{
    return container_of(ops, &host::ops);
}

const ulmex_ops callbacks = {
    .request_cb = [](ulmex_link *link, const ulmex_pdu *, uint32_t identity) {
        // Answer the way the gateway does, so that responses are encoded mid-input.
        ulmex_response(link, ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{}), identity);
    },
    .response_cb = [](ulmex_link *link, const ulmex_pdu *, uint8_t, void *) {
        // Replace what was answered, so that something stays pending.
        static const uint8_t id[16] = {};
        ulmex_request(link, ulmex_make_pdu<ULMEX_SERVICE_UNREGISTER>(ulmex_service_unregister{id, 1}),
                      nullptr, nullptr);
    },
    .failure_cb = [](ulmex_link *, uint8_t, void *) {},
    .cancel_cb = [](ulmex_link *, uint8_t, void *) {},
    .send_cb = [](ulmex_link *, packet *) {},
    .timer_start_cb = [](ulmex_ops *ops, timer *, uint32_t ms, timer_fn cb) {
        of(ops)->armed = cb;
        of(ops)->armed_ms = ms;
    },
    .timer_stop_cb = [](ulmex_ops *ops, timer *) { of(ops)->armed = nullptr; },
};

void set_clock(uint64_t ms)
{
    clock_monotonic_sec = ms / 1000;
    clock_monotonic_usec = (ms % 1000) * 1000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static mempool *pool = packet_pool_create(nullptr);
    static auto *h = new host;
    set_clock(h->clock);
    ulmex_ops_clear(&h->ops);
    ulmex_ops_init(&h->ops, &callbacks, pool);
    if (ulmex_open(&h->ops, &h->link, nullptr) < 0)
        return 0;
    ulmex_established(&h->link, nullptr);

    // Identities 0x100 to 0x103, one of each kind of answer the gateway waits for.
    static const uint8_t id[16] = {};
    static const uint8_t mac[6] = {};
    h->link.next_identity = 0x100;
    ulmex_request(&h->link, ulmex_make_pdu<ULMEX_STATUS>(ulmex_status{ulmex_status_code::echo}),
                  nullptr, nullptr);
    ulmex_request(&h->link,
                  ulmex_make_pdu<ULMEX_SERVICE_REGISTER>(ulmex_service_register{id, 1, mac, "v", {}}),
                  nullptr, nullptr);
    ulmex_request(&h->link, ulmex_make_pdu<ULMEX_SERVICE_UNREGISTER>(ulmex_service_unregister{id, 1}),
                  nullptr, nullptr);
    ulmex_flow_service_inform fsi;
    fsi.radioId = fsi.bssId = fsi.clientId = mac;
    fsi.serviceId = id;
    fsi.authMethod = fsi.cipherSuite = std::span(id).first(4);
    ulmex_request(&h->link, ulmex_make_pdu<ULMEX_FLOW_SERVICE_INFORM>(fsi), nullptr, nullptr);

    unsigned parts = size ? data[0] % 4 + 1 : 1;
    if (size) {
        data++;
        size--;
    }
    size_t step = size / parts;
    for (unsigned i = 0; i < parts; i++) {
        size_t n = i + 1 == parts ? size - i * step : step;
        packet *p = packet_from_bytes(pool, data + i * step, n);
        if (p) {
            ulmex_handle_response(&h->link, p);
            packet_release(p);
        }
        if (h->armed) {
            timer_fn cb = h->armed;
            h->armed = nullptr;
            h->clock += 2000;
            set_clock(h->clock);
            cb(&h->link.rtx_timer);
        }
    }
    ulmex_close(&h->link);
    ulmex_reset(&h->link);
    return 0;
}
