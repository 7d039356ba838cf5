// ipcpeer: a local client of an IPC server that behaves as a careless or
// hostile user's would, for tests that run it under another user id:
//
//   ipcpeer hog PATH COUNT HEX      COUNT requests with payload HEX, never read;
//                                   prints "sent COUNT", then waits for EOF on stdin
//   ipcpeer flood PATH COUNT SEED   COUNT random datagrams: any type and flags
//                                   (endless fragments too), 0 to 70,000 bytes,
//                                   some passing descriptors; never reads
//   ipcpeer send PATH HEX [NAME]    one raw datagram (header included) from a
//                                   socket bound to the abstract name NAME (hex),
//                                   prints the answer's bytes in hex, or "none"
//   ipcpeer join PATH COUNT KEY     COUNT sockets join the group KEY (hex), each
//                                   passing a descriptor; prints "acked A
//                                   refused R", then waits for EOF on stdin
//
// Exit status 0, or 1 with a message when the server cannot be reached.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "common/umsg.h"

namespace {

using bytes = std::vector<uint8_t>;

bool unhex(const char *text, bytes *out)
{
    out->clear();
    size_t n = strlen(text);
    if (n % 2)
        return false;
    for (size_t i = 0; i < n; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end)
            return false;
        out->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// A socket bound to an abstract name (ours, or one the kernel picks) and
// connected to the server, as a client's is.
int open_socket(const char *path, const bytes *name)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un self = {};
    self.sun_family = AF_UNIX;
    socklen_t len = sizeof(sa_family_t); // autobind
    if (name && !name->empty() && name->size() < sizeof(self.sun_path)) {
        memcpy(self.sun_path + 1, name->data(), name->size());
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name->size());
    }
    umsg_addr server;
    if (bind(fd, reinterpret_cast<sockaddr *>(&self), len) < 0 || umsg_address(&server, path) < 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&server.sun), server.len) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int fail(const char *what)
{
    fprintf(stderr, "ipcpeer: %s: %s\n", what, strerror(errno));
    return 1;
}

int hog(const char *path, unsigned long count, const bytes &payload)
{
    int fd = open_socket(path, nullptr);
    if (fd < 0)
        return fail("connect");
    for (unsigned long i = 0; i < count; i++) {
        if (umsg_send(fd, UMSG_REQUEST, UMSG_F_WANT_ACK, static_cast<uint16_t>(i + 1),
                      payload.data(), payload.size(), nullptr, nullptr, -1) < 0)
            return fail("send");
    }
    printf("sent %lu\n", count);
    fflush(stdout);
    // Hold the socket, and every answer in it, until told to go.
    char c;
    while (read(0, &c, 1) > 0) {
    }
    close(fd);
    return 0;
}

uint64_t next_random(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return *state = x;
}

int send_with_fds(int fd, const uint8_t *data, size_t len, const int *fds, size_t nfds)
{
    iovec iov = {const_cast<uint8_t *>(data), len};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    union {
        char buf[CMSG_SPACE(4 * sizeof(int))];
        cmsghdr align;
    } control = {};
    if (nfds) {
        cmsghdr *cm = reinterpret_cast<cmsghdr *>(control.buf);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(nfds * sizeof(int));
        memcpy(CMSG_DATA(cm), fds, nfds * sizeof(int));
        mh.msg_control = control.buf;
        mh.msg_controllen = CMSG_SPACE(nfds * sizeof(int));
    }
    return sendmsg(fd, &mh, MSG_NOSIGNAL) < 0 ? -1 : 0;
}

int flood(const char *path, unsigned long count, uint64_t seed)
{
    int fd = open_socket(path, nullptr);
    if (fd < 0)
        return fail("connect");
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) < 0)
        return fail("socketpair");
    int passed[3] = {pair[0], pair[1], 0};
    uint64_t state = seed | 1;
    bytes buf(70001);
    for (unsigned long i = 0; i < count; i++) {
        uint64_t r = next_random(&state);
        // Mostly small, now and then up to 70,000 bytes.
        size_t len = r % 16 == 0 ? (r >> 8) % 70001 : (r >> 8) % 600;
        for (size_t k = 0; k < len && k < 64; k++)
            buf[k] = static_cast<uint8_t>(next_random(&state));
        if (len >= 4) {
            buf[0] = static_cast<uint8_t>((r >> 32) % 10); // types 0-9, most of them known
            buf[1] = static_cast<uint8_t>((r >> 40) % 16); // any flags, more-fragments too
        }
        size_t nfds = r % 8 == 1 ? 1 : r % 64 == 2 ? 3 : 0;
        if (send_with_fds(fd, buf.data(), len, passed, nfds) < 0 && errno != EMSGSIZE &&
            errno != ENOBUFS)
            return fail("send");
    }
    printf("sent %lu\n", count);
    close(fd);
    return 0;
}

int send_one(const char *path, const bytes &datagram, const bytes *name)
{
    int fd = open_socket(path, name);
    if (fd < 0)
        return fail("connect");
    if (send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0)
        return fail("send");
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 4000) != 1) {
        printf("none\n");
        return 0;
    }
    uint8_t reply[UMSG_DATAGRAM];
    ssize_t n = recv(fd, reply, sizeof(reply), 0);
    if (n < 0)
        return fail("recv");
    for (ssize_t i = 0; i < n; i++)
        printf("%02x", reply[i]);
    printf("\n");
    return 0;
}

int join(const char *path, unsigned long count, const bytes &key)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) < 0)
        return fail("socketpair");
    std::vector<int> held;
    unsigned long acked = 0, refused = 0;
    for (unsigned long i = 0; i < count; i++) {
        int fd = open_socket(path, nullptr);
        if (fd < 0)
            return fail("connect");
        held.push_back(fd);
        if (umsg_send(fd, UMSG_JOIN, UMSG_F_WANT_ACK, 1, key.data(), key.size(), nullptr, nullptr,
                      pair[1]) < 0)
            return fail("send");
        umsghdr h;
        uint8_t payload[UMSG_PAYLOAD];
        if (umsg_recv(fd, &h, payload, sizeof(payload), 4, nullptr, nullptr, nullptr, nullptr) < 0)
            return fail("recv");
        (h.flags & UMSG_F_ACK ? acked : refused)++;
    }
    printf("acked %lu refused %lu\n", acked, refused);
    fflush(stdout);
    // Stay members until told to go.
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}

int usage()
{
    fprintf(stderr, "usage: ipcpeer hog|flood|send|join PATH ...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return usage();
    std::string mode = argv[1];
    const char *path = argv[2];
    bytes data, name;
    if (mode == "hog" && argc == 5 && unhex(argv[4], &data))
        return hog(path, strtoul(argv[3], nullptr, 10), data);
    if (mode == "flood" && argc == 5)
        return flood(path, strtoul(argv[3], nullptr, 10), strtoull(argv[4], nullptr, 10));
    if (mode == "send" && (argc == 4 || argc == 5) && unhex(argv[3], &data) &&
        (argc == 4 || unhex(argv[4], &name)))
        return send_one(path, data, argc == 5 ? &name : nullptr);
    if (mode == "join" && argc == 5 && unhex(argv[4], &data))
        return join(path, strtoul(argv[3], nullptr, 10), data);
    return usage();
}
