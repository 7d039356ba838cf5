// Feeds datagrams to an IPC server through its socket, as clients send them:
// from several peers, trusted or not (running as root, the harness sends the
// credentials of uid 65534), with descriptors or not; the server receives,
// handles and answers them itself, and the answers are read back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "common/userver.h"

namespace {

int request(void *, uint8_t *p, size_t len, size_t cap, int)
{
    // Every call that offers room writes into it, as the management
    // dispatcher does; the first byte asks for growth, as list replies do.
    size_t want = len ? static_cast<size_t>(p[0]) * 97 : 8;
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

constexpr int PEERS = 4;

userver *server;
int peers[PEERS];

bool setup()
{
    if (server)
        return true;
    std::string path = "/tmp/ugw-fuzz-ipc-" + std::to_string(getpid());
    const userver_ops ops = {
        .request = request,
        .message = nullptr,
        .subscribe = subscribe,
        .health = nullptr,
    };
    server = userver_listen(path.c_str(), 0, 0, &ops, nullptr);
    if (!server)
        return false;
    umsg_addr addr;
    umsg_address(&addr, path.c_str());
    for (int &fd : peers) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un self = {};
        self.sun_family = AF_UNIX;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof(sa_family_t)) < 0 ||
            connect(fd, reinterpret_cast<sockaddr *>(&addr.sun), addr.len) < 0)
            return false;
    }
    return true;
}

void drain(int fd)
{
    uint8_t buf[UMSG_DATAGRAM];
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!setup())
        abort();
    // Records: [bits][type][flags][seq hi][seq lo][len][payload]; bits: 0
    // trusted, 1 a descriptor along, 2-3 which peer sends it.
    while (size >= 6) {
        uint8_t bits = data[0];
        size_t len = data[5] < size - 6 ? data[5] : size - 6;
        uint8_t datagram[4 + 255];
        memcpy(datagram, data + 1, 4);
        memcpy(datagram + 4, data + 6, len);
        umsg_cred cred = {getpid(), getuid(), getgid()};
        if (!(bits & 1) && geteuid() == 0)
            cred = {getpid(), 65534, 65534};
        int fd = peers[(bits >> 2) % PEERS];
        umsghdr h;
        memcpy(&h, datagram, 4);
        int passed = bits & 2 ? dup(0) : -1;
        // Through umsg_send with the header's own fields: one datagram.
        if (umsg_send(fd, h.type, h.flags, umsg_seq(&h), datagram + 4, len, nullptr, &cred, passed) < 0)
            abort();
        if (passed >= 0)
            close(passed);
        // A lock makes the server serve nothing else until an unlock: queue one.
        umsg_cred own = {getpid(), getuid(), getgid()};
        if (h.type == UMSG_LOCK &&
            umsg_send(fd, UMSG_UNLOCK, UMSG_F_WANT_ACK, 0, nullptr, 0, nullptr, &own, -1) < 0)
            abort();
        while (userver_process(server) >= 0) {
        }
        drain(fd);
        data += 6 + len;
        size -= 6 + len;
    }
    userver_clear_locks(server);
    return 0;
}
