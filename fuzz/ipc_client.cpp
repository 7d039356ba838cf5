// Feeds datagrams to the client's reassembly and event handling.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "common/uclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, sv) < 0)
        abort();
    // Datagrams: [len hi][len lo][bytes], at most 16 queued.
    int queued = 0;
    while (size >= 2 && queued < 16) {
        size_t len = static_cast<size_t>(data[0] << 8 | data[1]);
        data += 2;
        size -= 2;
        if (len > size)
            len = size;
        if (send(sv[0], data, len, 0) < 0)
            break;
        queued++;
        data += len;
        size -= len;
    }
    close(sv[0]);
    uclient c = {};
    array_init(&c.buffer, 1);
    sigemptyset(&c.sigmask);
    c.fd = c.event_fd = sv[1];
    c.event_pass_fd = -1;
    list_init(&c.link);
    for (int i = 0; i < 4; i++) {
        // Every other message is asked to come split.
        c.split = i & 1 ? 24 : 0;
        // Fragments that never come would wait; the fuzzer must not.
        if (uclient_recv(&c, c.fd, 0, 0) < 0 && errno == EAGAIN)
            break;
    }
    close(sv[1]);
    array_purge(&c.buffer);
    return 0;
}
