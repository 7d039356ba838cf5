// Arbitrary events through the dispatcher: datagrams [len hi][len lo][bytes].
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "common/uclient.h"
#include "utility/gwc.h"

namespace
{

size_t sink;

void touch(void *, const void *record)
{
    // The record must be readable whole: the largest event record.
    const auto *p = static_cast<const uint8_t *>(record);
    for (size_t i = 0; i < 768; i++)
        sink += p[i];
}

const ugw_listen_ops ops = {touch, touch, touch, touch, touch, touch, touch, touch, touch, touch};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv) < 0) abort();
    int queued = 0;
    while (size >= 2 && queued < 8) {
        size_t len = static_cast<size_t>(data[0] << 8 | data[1]);
        data += 2;
        size -= 2;
        if (len > size) len = size;
        if (len > UMSG_PAYLOAD) len = UMSG_PAYLOAD;
        if (umsg_send(sv[0], UMSG_REQUEST, 0, 0, data, len, nullptr, nullptr, -1) < 0) break;
        queued++;
        data += len;
        size -= len;
    }
    auto *u = static_cast<uclient *>(calloc(1, sizeof(uclient)));
    array_init(&u->buffer, 1);
    sigemptyset(&u->sigmask);
    list_init(&u->link);
    u->fd = -1;
    u->event_fd = sv[1];
    u->event_pass_fd = -1;
    gwc_connection *c = gwc_attach(u, &ops, nullptr, 0);
    for (int i = 0; i < queued; i++)
        gwc_notification_dispatch(c);
    gwc_destroy(c);
    close(sv[0]);
    return 0;
}
