// Feeds datagrams to the IPC server's handling, trusted or not.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "common/userver.h"

namespace {

int request(void *, uint8_t *p, size_t len, size_t cap, int)
{
    // Ask for growth when the first byte says so, as list replies do.
    size_t want = len ? static_cast<size_t>(p[0]) * 97 : 0;
    if (want > cap)
        return static_cast<int>(want);
    if (want)
        memset(p, 0x5a, want);
    return static_cast<int>(want);
}

int subscribe(void *, list_link *, const uint8_t *, size_t len)
{
    return len % 2 ? -1 : 0;
}

userver *server()
{
    static userver *s = [] {
        std::string path = "/tmp/ugw-fuzz-ipc-" + std::to_string(getpid());
        userver_ops ops = {
            .request = request, .message = nullptr, .subscribe = subscribe, .health = nullptr};
        return userver_listen(path.c_str(), 0, 0, &ops, nullptr);
    }();
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    userver *s = server();
    if (!s)
        abort();
    // Records: [trusted/descriptor bits][type][flags][seq hi][seq lo][len][payload].
    while (size >= 6) {
        uint8_t bits = data[0];
        umsghdr h = {data[1], data[2], {data[3], data[4]}};
        size_t len = data[5] < size - 6 ? data[5] : size - 6;
        uint8_t *payload = array_data<uint8_t>(&s->buffer);
        memcpy(payload, data + 6, len);
        umsg_addr peer = {};
        peer.sun.sun_family = AF_UNIX;
        peer.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + (bits >> 4));
        umsg_cred cred = bits & 1 ? umsg_cred{getpid(), getuid(), getgid()} : umsg_no_cred;
        int fd = bits & 2 ? dup(0) : -1;
        userver_handle(s, &h, payload, len, &peer, &cred, fd);
        data += 6 + len;
        size -= 6 + len;
    }
    userver_clear_locks(s);
    return 0;
}
