// The local IPC message layer over UNIX datagram sockets: a 4-byte header,
// fragments of 4092 bytes, acknowledgements, credentials and one descriptor.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/un.h>

struct umsghdr {
    uint8_t type;
    uint8_t flags;
    uint8_t seq[2]; // big-endian
};
static_assert(sizeof(umsghdr) == 4);

enum : uint8_t {
    UMSG_REQUEST = 0,
    UMSG_JOIN = 1,
    UMSG_LEAVE = 2,
    UMSG_LOCK = 3,
    UMSG_UNLOCK = 4,
    UMSG_HEALTH = 5,
    UMSG_GET_LOG = 6,
    UMSG_SET_LOG = 7,
};

enum : uint8_t {
    UMSG_F_WANT_ACK = 0x1,
    UMSG_F_ACK = 0x2,
    UMSG_F_NAK = 0x4,
    UMSG_F_MORE = 0x8,
};

enum : size_t {
    UMSG_DATAGRAM = 4096,
    UMSG_PAYLOAD = UMSG_DATAGRAM - sizeof(umsghdr), // 4092
    // Largest message a receiver reassembles from any sender...
    UMSG_MESSAGE_MAX = 1024 * 1024,
    // ...and the largest reply a server sends, which a client takes from a
    // trusted server only (a list of 10^5 flows is about 58 MB).
    UMSG_REPLY_MAX = 256 * 1024 * 1024,
};

inline uint16_t umsg_seq(const umsghdr *h)
{
    return static_cast<uint16_t>(h->seq[0] << 8 | h->seq[1]);
}

inline void umsg_set_seq(umsghdr *h, uint16_t seq)
{
    h->seq[0] = static_cast<uint8_t>(seq >> 8);
    h->seq[1] = static_cast<uint8_t>(seq);
}

// Credentials as they travel: process id, user id, group id.
struct umsg_cred {
    int32_t pid;
    uint32_t uid;
    uint32_t gid;
};
static_assert(sizeof(umsg_cred) == sizeof(struct ucred));

// A peer's address with its real length: abstract names are not NUL-padded.
struct umsg_addr {
    sockaddr_un sun;
    socklen_t len;
};

// Sends a message, split into datagrams of UMSG_PAYLOAD bytes with UMSG_F_MORE
// on all but the last; each carries the same ancillary data. send_flags may
// hold MSG_DONTWAIT for senders that must never block.
int umsg_send(int fd, uint8_t type, uint8_t flags, uint16_t seq, const void *payload, size_t len,
              const umsg_addr *dest, const umsg_cred *cred, int passfd, int send_flags = 0);

// Credentials of a datagram that brought none: nobody, never trusted.
inline constexpr umsg_cred umsg_no_cred = {0, UINT32_MAX, UINT32_MAX};

// Receives one datagram, waiting up to wait_sec seconds (0: not at all) with
// the given signal mask. Returns its length including the header, or -1.
// A descriptor that arrives is returned through passfd when asked, else closed.
// The peer and credentials are filled in for a datagram refused as too short
// or cut short (EMSGSIZE) too.
ssize_t umsg_recv(int fd, umsghdr *hdr, void *buf, size_t cap, int wait_sec,
                  const sigset_t *sigmask, umsg_addr *peer, umsg_cred *cred, int *passfd);

int umsg_connect(int fd, const char *path, unsigned limit_ms);
int umsg_prune_stale_sockets(const char *server_path);

// A UNIX socket address for a path. 0, or -1 with ENAMETOOLONG.
int umsg_address(umsg_addr *addr, const char *path);

// The printable form of an address, safe for a log line: '@' for an abstract
// name, then the name with every byte that is not printable as '?'. Writes at
// most 110 bytes including the NUL.
const char *umsg_addr_text(const umsg_addr *addr, char out[110]);

// Wrap-safe: is a after b?
inline bool umsg_seq_after(uint16_t a, uint16_t b)
{
    return static_cast<int16_t>(static_cast<uint16_t>(a - b)) > 0;
}
