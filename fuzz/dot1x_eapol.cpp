// EAPOL frames of a station into an 802.1X port and its EAP authenticator,
// interleaved with a scripted AAA back end and timer expiries. The input is
// a series of records: op, length, bytes. Op 0 is a frame, op 1 an answer of
// the back end (first byte its AAA flags, the rest its EAP packet), op 2 the
// EAP authenticator's tick, op 3 the port's timer after some seconds, op 4
// deletes the port from inside the next send or notify.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/packet.h"
#include "common/timer.h"
#include "dot11/dot1x_port.h"
#include "dot11/eap_auth.h"

namespace
{

mempool *pool()
{
    static mempool *p = packet_pool_create(nullptr);
    return p;
}

struct backend {
    eap_aaa aaa;
    void (*done)(void *);
    void *user;
};
backend *be;

void release_all(eap_aaa *a)
{
    packet_release(a->aaaEapReqData);
    packet_release(a->aaaEapRespData);
    packet_release(a->aaaIdentity);
    a->aaaEapReqData = a->aaaEapRespData = a->aaaIdentity = nullptr;
}

const eap_aaa_ops aaa_ops = {
    .create = [](radius_client *, const uint8_t *, void (*done)(void *), void *user) -> eap_aaa * {
        be = new backend{};
        be->done = done;
        be->user = user;
        return &be->aaa;
    },
    .destroy =
        [](eap_aaa *a) {
            release_all(a);
            delete reinterpret_cast<backend *>(a);
            be = nullptr;
        },
    .run =
        [](eap_aaa *a) {
            packet_release(a->aaaIdentity);
            a->aaaIdentity = nullptr;
            packet_release(a->aaaEapRespData);
            a->aaaEapRespData = nullptr;
            a->flags &= uint8_t(~EAP_AAA_EAP_RESP);
        },
};

dot1x_port *port;
timer *timers[2];
timer_fn fns[2];
bool drop_next;
dot1xAuthStats stats;
dot1xAuthDiag diag;

void maybe_drop()
{
    if (!drop_next) return;
    drop_next = false;
    dot1x_port *p = port;
    port = nullptr;
    dot1x_auth_delete(p);
}

const dot1x_ops ops = {
    .send = [](void *, packet *) { maybe_drop(); },
    .notify = [](void *) { maybe_drop(); },
    .timer_start =
        [](void *, timer *t, uint32_t, timer_fn fn) {
            int i = fn == dot1x_auth_timer ? 0 : 1;
            timers[i] = t;
            fns[i] = fn;
        },
    .timer_stop =
        [](void *, timer *t) {
            for (timer *&x : timers)
                if (x == t) x = nullptr;
        },
};

void fire(int i)
{
    timer *t = timers[i];
    if (!t || !port) return;
    timers[i] = nullptr;
    fns[i](t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
    clock_monotonic_sec = 1000;
    clock_monotonic_usec = 1;
    timers[0] = timers[1] = nullptr;
    drop_next = false;
    port = dot1x_auth_create(&ops, nullptr, &aaa_ops, nullptr, mac, &dot1x_config_template, &stats,
                             &diag, pool());
    if (!port) return 0;
    dot1x_auth_set_enabled(port, true);
    size_t at = 0;
    while (port && at + 3 <= size) {
        uint8_t op = data[at] % 5;
        size_t n = size_t(data[at + 1] << 8 | data[at + 2]);
        at += 3;
        if (n > size - at) n = size - at;
        const uint8_t *b = data + at;
        at += n;
        switch (op) {
        case 0: {
            packet *p = packet_from_bytes(pool(), b, n);
            if (p) {
                dot1x_auth_recv(port, p);
                packet_release(p);
            }
            break;
        }
        case 1:
            if (be && n >= 1) {
                packet_release(be->aaa.aaaEapReqData);
                be->aaa.aaaEapReqData = n > 1 ? packet_from_bytes(pool(), b + 1, n - 1) : nullptr;
                be->aaa.flags = b[0];
                be->aaa.msk_len = 32;
                be->done(be->user);
            }
            break;
        case 2:
            fire(1);
            break;
        case 3:
            clock_monotonic_sec += n ? b[0] : 1;
            fire(0);
            break;
        default:
            drop_next = true;
            break;
        }
    }
    dot1x_auth_delete(port);
    port = nullptr;
    return 0;
}
