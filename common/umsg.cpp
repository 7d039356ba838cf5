#include "common/umsg.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <poll.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "common/strings.h"
#include "common/timer.h"

namespace {

void close_rights(cmsghdr *cm)
{
    size_t n = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < n; i++) {
        int fd;
        memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
        close(fd);
    }
}

} // namespace

int umsg_address(umsg_addr *addr, const char *path)
{
    memset(addr, 0, sizeof(*addr));
    addr->sun.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof(addr->sun.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr->sun.sun_path, path, len);
    addr->len = sizeof(addr->sun);
    return 0;
}

const char *umsg_addr_text(const umsg_addr *addr, char out[110])
{
    size_t off = offsetof(sockaddr_un, sun_path);
    size_t n = addr->len > off ? addr->len - off : 0;
    if (n > sizeof(addr->sun.sun_path))
        n = sizeof(addr->sun.sun_path);
    std::string_view name(addr->sun.sun_path, n);
    // A path name ends at its NUL; an abstract one has its exact length and
    // may hold anything, newlines and further NULs included.
    if (!name.empty() && name[0] != '\0')
        name = name.substr(0, name.find('\0'));
    size_t o = 0;
    if (!name.empty() && name[0] == '\0') {
        out[o++] = '@';
        name.remove_prefix(1);
    }
    string_untrusted(out + o, name, 110 - o);
    return out;
}

int umsg_send(int fd, uint8_t type, uint8_t flags, uint16_t seq, const void *payload, size_t len,
              const umsg_addr *dest, const umsg_cred *cred, int passfd, int send_flags)
{
    union {
        char buf[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(ucred))];
        cmsghdr align;
    } control;
    memset(&control, 0, sizeof(control));
    size_t controllen = 0;
    if (passfd >= 0) {
        cmsghdr *cm = reinterpret_cast<cmsghdr *>(control.buf);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(cm), &passfd, sizeof(int));
        controllen += CMSG_SPACE(sizeof(int));
    }
    if (cred) {
        cmsghdr *cm = reinterpret_cast<cmsghdr *>(control.buf + controllen);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_CREDENTIALS;
        cm->cmsg_len = CMSG_LEN(sizeof(ucred));
        ucred c = {cred->pid, cred->uid, cred->gid};
        memcpy(CMSG_DATA(cm), &c, sizeof(c));
        controllen += CMSG_SPACE(sizeof(ucred));
    }

    const uint8_t *p = static_cast<const uint8_t *>(payload);
    size_t remaining = len;
    for (;;) {
        size_t part = remaining < UMSG_PAYLOAD ? remaining : UMSG_PAYLOAD;
        umsghdr h = {type, static_cast<uint8_t>(part < remaining ? flags | UMSG_F_MORE : flags), {}};
        umsg_set_seq(&h, seq);
        iovec iov[2] = {{&h, sizeof(h)}, {const_cast<uint8_t *>(p), part}};
        msghdr mh = {};
        if (dest) {
            mh.msg_name = const_cast<sockaddr_un *>(&dest->sun);
            mh.msg_namelen = dest->len;
        }
        mh.msg_iov = iov;
        mh.msg_iovlen = part ? 2 : 1;
        mh.msg_control = controllen ? control.buf : nullptr;
        mh.msg_controllen = controllen;
        ssize_t r = sendmsg(fd, &mh, send_flags | MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue; // the same part again
            return -1;
        }
        size_t sent = static_cast<size_t>(r) - sizeof(h);
        p += sent;
        remaining -= sent;
        if (remaining == 0)
            return 0;
    }
}

ssize_t umsg_recv(int fd, umsghdr *hdr, void *buf, size_t cap, int wait_sec,
                  const sigset_t *sigmask, umsg_addr *peer, umsg_cred *cred, int *passfd)
{
    if (passfd)
        *passfd = -1;
    if (cred)
        *cred = umsg_no_cred;
    if (wait_sec > 0) {
        // ppoll, unlike pselect, takes a descriptor of any number.
        pollfd p = {fd, POLLIN, 0};
        timespec ts = {wait_sec, 0};
        int r = ppoll(&p, 1, &ts, sigmask);
        if (r < 0)
            return -1;
        if (r == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
    union {
        char buf[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(ucred))];
        cmsghdr align;
    } control;
    iovec iov[2] = {{hdr, sizeof(*hdr)}, {buf, cap}};
    msghdr mh = {};
    sockaddr_un from = {};
    if (peer) {
        mh.msg_name = &from;
        mh.msg_namelen = sizeof(from);
    }
    mh.msg_iov = iov;
    mh.msg_iovlen = 2;
    mh.msg_control = control.buf;
    mh.msg_controllen = sizeof(control.buf);
    ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return -1;

    int got_fd = -1;
    for (cmsghdr *cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
        if (cm->cmsg_level != SOL_SOCKET)
            continue;
        if (cm->cmsg_type == SCM_RIGHTS) {
            if (got_fd < 0 && cm->cmsg_len == CMSG_LEN(sizeof(int)))
                memcpy(&got_fd, CMSG_DATA(cm), sizeof(int));
            else
                close_rights(cm); // more than the one descriptor we accept
        } else if (cm->cmsg_type == SCM_CREDENTIALS && cm->cmsg_len == CMSG_LEN(sizeof(ucred)) && cred) {
            ucred c;
            memcpy(&c, CMSG_DATA(cm), sizeof(c));
            *cred = {c.pid, c.uid, c.gid};
        }
    }
    // The sender is known even of a datagram we refuse, so that what it
    // causes can be put down to it.
    if (peer) {
        peer->sun = from;
        peer->len = mh.msg_namelen;
    }
    if (n < static_cast<ssize_t>(sizeof(*hdr)) || (mh.msg_flags & MSG_TRUNC)) {
        if (got_fd >= 0)
            close(got_fd);
        errno = EMSGSIZE;
        return -1;
    }
    if (passfd)
        *passfd = got_fd;
    else if (got_fd >= 0)
        close(got_fd);
    return n;
}

int umsg_connect(int fd, const char *path, unsigned limit_ms)
{
    umsg_addr addr;
    if (umsg_address(&addr, path) < 0)
        return -1;
    uint64_t start = monotonic_ms();
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr.sun), addr.len) == 0)
            return 0;
        if (errno != ECONNREFUSED && errno != EAGAIN && errno != ENOENT)
            return -1;
        if (monotonic_ms() - start + 10 >= limit_ms) return -1;
        timespec ts = {0, 10 * 1000000};
        nanosleep(&ts, nullptr);
    }
}

int umsg_prune_stale_sockets(const char *server_path)
{
    char dir[PATH_MAX], own[PATH_MAX], other[PATH_MAX], link[64];
    const char *slash = strrchr(server_path, '/');
    const char *base = slash ? slash + 1 : server_path;
    size_t dlen = slash ? static_cast<size_t>(slash - server_path) : 0;
    if (dlen >= sizeof(dir)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    if (!slash) {
        strcpy(dir, ".");
    } else if (dlen == 0) {
        strcpy(dir, "/");
    } else {
        memcpy(dir, server_path, dlen);
        dir[dlen] = '\0';
    }

    snprintf(link, sizeof(link), "/proc/%u/exe", static_cast<unsigned>(getpid()));
    ssize_t olen = readlink(link, own, sizeof(own) - 1);
    if (olen < 0)
        return -1;
    own[olen] = '\0';

    DIR *d = opendir(dir);
    if (!d)
        return -1;
    size_t blen = strlen(base);
    while (dirent *e = readdir(d)) {
        // Only "<base>.<pid>" with a decimal pid.
        if (strncmp(e->d_name, base, blen) != 0 || e->d_name[blen] != '.')
            continue;
        const char *digits = e->d_name + blen + 1;
        char *end;
        errno = 0;
        unsigned long pid = strtoul(digits, &end, 10);
        if (!*digits || *end || errno || pid == 0 || pid > INT_MAX)
            continue;
        char path[PATH_MAX];
        if (snprintf(path, sizeof(path), "%s/%s", dir, e->d_name) >= static_cast<int>(sizeof(path)))
            continue;
        struct stat st;
        if (lstat(path, &st) < 0 || !S_ISSOCK(st.st_mode))
            continue;
        snprintf(link, sizeof(link), "/proc/%lu/exe", pid);
        ssize_t n = readlink(link, other, sizeof(other) - 1);
        if (n < 0) {
            if (errno == ENOENT)
                unlink(path);
            continue;
        }
        other[n] = '\0';
        if (strcmp(own, other) != 0)
            unlink(path);
    }
    closedir(d);
    return 0;
}
