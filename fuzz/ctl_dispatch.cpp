// Feeds management requests of any bytes to the daemon's management server the
// way a client does: a datagram on its socket, the server's own receive,
// dispatch and reply, and the answer read back and checked. From privileged
// clients or not (running as root, the harness sends the credentials of uid
// 65534), with a descriptor or not, and joins of any key.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/ctl_msg.h"
#include "common/schedule.h"
#include "common/umsg.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"

namespace {

ugwd_ctl *ctl;
int client = -1;
uint16_t seq;

void gateway_free()
{
    ugwd_ctl_free(ctl); // takes its socket file along
}

bool setup()
{
    if (ctl)
        return true;
    std::string path = "/tmp/ugw-fuzz-ctl-" + std::to_string(getpid());
    ctl = ugwd_ctl_create(path.c_str(), nullptr, 0, false);
    if (!ctl)
        return false;
    atexit(gateway_free);
    client = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un self = {};
    self.sun_family = AF_UNIX;
    umsg_addr server;
    return client >= 0 && bind(client, reinterpret_cast<sockaddr *>(&self), sizeof(sa_family_t)) == 0 &&
           umsg_address(&server, ctl->server->path) == 0 &&
           connect(client, reinterpret_cast<sockaddr *>(&server.sun), server.len) == 0;
}

// One datagram as a client sends it; credentials of another user when we may forge them.
void send_datagram(const uint8_t *data, size_t len, bool untrusted, bool with_fd)
{
    umsg_cred cred = {getpid(), getuid(), getgid()};
    if (untrusted && geteuid() == 0)
        cred = {getpid(), 65534, 65534};
    union {
        char buf[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(ucred))];
        cmsghdr align;
    } control = {};
    size_t used = 0;
    int fd = with_fd ? dup(0) : -1;
    if (fd >= 0) {
        cmsghdr *cm = reinterpret_cast<cmsghdr *>(control.buf);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(cm), &fd, sizeof(int));
        used += CMSG_SPACE(sizeof(int));
    }
    cmsghdr *cm = reinterpret_cast<cmsghdr *>(control.buf + used);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_CREDENTIALS;
    cm->cmsg_len = CMSG_LEN(sizeof(ucred));
    ucred c = {cred.pid, cred.uid, cred.gid};
    memcpy(CMSG_DATA(cm), &c, sizeof(c));
    used += CMSG_SPACE(sizeof(ucred));
    iovec iov = {const_cast<uint8_t *>(data), len};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control.buf;
    mh.msg_controllen = used;
    if (sendmsg(client, &mh, MSG_NOSIGNAL) < 0)
        abort();
    if (fd >= 0)
        close(fd);
}

// Serves what waits and reads the whole answer to the datagram with this
// header; its payload, or false when none came (a datagram the server drops).
bool serve_and_read(const umsghdr &sent, std::vector<uint8_t> *payload, umsghdr *first)
{
    payload->clear();
    while (userver_process(ctl->server) >= 0) {
    }
    bool any = false;
    for (int rounds = 0; rounds < 1000; rounds++) {
        uint8_t buf[UMSG_DATAGRAM];
        ssize_t n = recv(client, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) {
            if (!any)
                return false;
            // The rest of a long reply follows as we read: let the server's
            // pacing step run.
            pollfd p = {userver_fd(ctl->server), POLLIN, 0};
            if (poll(&p, 1, 100) == 1)
                userver_process(ctl->server);
            continue;
        }
        if (n < 4)
            abort();
        umsghdr h;
        memcpy(&h, buf, 4);
        if (h.type != sent.type || umsg_seq(&h) != umsg_seq(&sent))
            continue; // the answer to the unlock we queued
        if (!any)
            *first = h;
        any = true;
        payload->insert(payload->end(), buf + 4, buf + n);
        if (!(h.flags & UMSG_F_MORE))
            return true;
    }
    abort(); // an answer that never ends
}

} // namespace

// Input: one byte of flags (bit 0 privileged, bit 1 a join, bit 2 a descriptor
// along, bit 3 raw: the rest is the whole datagram, header included), then the
// request or the key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!setup())
        abort();
    if (size < 1)
        return 0;
    uint8_t stale[UMSG_DATAGRAM];
    while (recv(client, stale, sizeof(stale), MSG_DONTWAIT) > 0) {
    }
    uint8_t flags = data[0];
    data++;
    size--;
    bool untrusted = !(flags & 1);
    if (size > UMSG_PAYLOAD)
        size = UMSG_PAYLOAD;

    std::vector<uint8_t> datagram;
    umsghdr h = {static_cast<uint8_t>(flags & 2 ? UMSG_JOIN : UMSG_REQUEST), UMSG_F_WANT_ACK, {}};
    if (++seq == 0)
        seq = 1; // 0 is the queued unlock's
    umsg_set_seq(&h, seq);
    if (!(flags & 8))
        datagram.assign(reinterpret_cast<uint8_t *>(&h), reinterpret_cast<uint8_t *>(&h) + 4);
    datagram.insert(datagram.end(), data, data + size);
    send_datagram(datagram.data(), datagram.size(), untrusted, flags & 4);
    // A lock makes the server serve nothing else until an unlock: queue one.
    if (!datagram.empty() && datagram[0] == UMSG_LOCK) {
        umsghdr unlock = {UMSG_UNLOCK, UMSG_F_WANT_ACK, {}};
        send_datagram(reinterpret_cast<uint8_t *>(&unlock), sizeof(unlock), false, false);
    }

    std::vector<uint8_t> reply;
    umsghdr got = {};
    if (datagram.size() >= 4) {
        memcpy(&h, datagram.data(), 4);
        bool answered = serve_and_read(h, &reply, &got);
        bool request = h.type == UMSG_REQUEST && h.flags == UMSG_F_WANT_ACK;
        if (request && !answered)
            abort(); // every request is answered
        if (request && (got.flags & UMSG_F_ACK)) {
            // The reply is one management message of exactly its size.
            if (reply.size() < sizeof(ctl_msg) ||
                ctl_msg_size(reply.data(), reply.size()) != reply.size())
                abort();
        }
        if (h.type == UMSG_JOIN && answered && (got.flags & UMSG_F_ACK)) {
            // Leave again, so members do not pile up across inputs.
            umsghdr leave = {UMSG_LEAVE, UMSG_F_WANT_ACK, {}};
            std::vector<uint8_t> l(reinterpret_cast<uint8_t *>(&leave),
                                   reinterpret_cast<uint8_t *>(&leave) + 4);
            l.insert(l.end(), datagram.begin() + 4, datagram.end());
            send_datagram(l.data(), l.size(), untrusted, false);
            serve_and_read(leave, &reply, &got);
        }
    } else {
        while (userver_process(ctl->server) >= 0) {
        }
    }
    schedule_cancel(ctl->sched, &ctl->register_timer);
    return 0;
}
