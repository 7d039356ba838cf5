#include "utility/ugw_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

long cache_line_size_from(const char *path)
{
    FILE *f = fopen(path, "r");
    long size = -1;
    if (f) {
        if (fscanf(f, "%ld", &size) != 1) size = -1;
        fclose(f);
    }
    if (size < 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return size;
}

long cache_line_size()
{
    static long stored = -2; // not read yet
    if (stored == -2) {
        stored =
            cache_line_size_from("/sys/devices/system/cpu/cpu0/cache/index0/coherency_line_size");
        if (stored < 0) stored = -1;
    }
    if (stored < 0) errno = EOPNOTSUPP;
    return stored;
}

namespace
{

// Offsets in a process-event message: netlink header, connector header, event.
enum : uint32_t {
    NL_TYPE = 4,
    NL_PORT = 12,
    CN_IDX = 16,
    CN_VAL = 20,
    EV_WHAT = 36,
    EV_EXIT_PID = 52,
    EXIT_EVENT = 0x80000000, // PROC_EVENT_EXIT
};
static_assert(sizeof(nlmsghdr) == 16 && sizeof(cn_msg) == 20);
static_assert(EV_WHAT == sizeof(nlmsghdr) + sizeof(cn_msg));
static_assert(EV_EXIT_PID == EV_WHAT + offsetof(proc_event, event_data.exit.process_pid));

} // namespace

int ugw_pid_watch(int pid)
{
    if (pid < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (fd < 0) return -1;
    // Classic filters load words big-endian: the host-order fields of the
    // message are compared against byte-swapped constants.
    auto drop = [](unsigned at) { return static_cast<uint8_t>(13 - at - 1); };
    sock_filter code[14] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, NL_TYPE),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htons(NLMSG_DONE), 0, drop(1)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, NL_PORT),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(0), 0, drop(3)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, CN_IDX),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(CN_IDX_PROC), 0, drop(5)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, CN_VAL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(CN_VAL_PROC), 0, drop(7)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, EV_WHAT),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(EXIT_EVENT), 0, drop(9)),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, EV_EXIT_PID),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(static_cast<uint32_t>(pid)), 0, drop(11)),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
    sockaddr_nl addr = {};
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = CN_IDX_PROC;
    nlmsghdr nl = {};
    nl.nlmsg_len = sizeof(nlmsghdr) + sizeof(cn_msg) + sizeof(uint32_t);
    nl.nlmsg_type = NLMSG_DONE;
    cn_msg cn = {};
    cn.id.idx = CN_IDX_PROC;
    cn.id.val = CN_VAL_PROC;
    cn.len = sizeof(uint32_t);
    uint32_t op = PROC_CN_MCAST_LISTEN;
    iovec iov[3] = {{&nl, sizeof(nl)}, {&cn, sizeof(cn)}, {&op, sizeof(op)}};
    ssize_t n;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog)) < 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0)
        goto fail;
    do
        n = writev(fd, iov, 3);
    while (n < 0 && errno == EINTR);
    if (n < 0) goto fail;
    return fd;

fail:
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

char *ifnames_pattern_with(char *(*lookup)(unsigned index, char *name), const uint32_t *indexes,
                           size_t count, char out[16])
{
    if (count == 0) return nullptr;
    std::string prefix, suffix;
    for (size_t i = 0; i < count; i++) {
        char name[IF_NAMESIZE] = {};
        if (!lookup(indexes[i], name)) return nullptr;
        std::string s(name, strnlen(name, sizeof(name)));
        if (i == 0) {
            prefix = suffix = s;
            continue;
        }
        size_t p = 0;
        while (p < prefix.size() && p < s.size() && prefix[p] == s[p])
            p++;
        prefix.resize(p);
        size_t q = 0;
        while (q < suffix.size() && q < s.size() &&
               suffix[suffix.size() - 1 - q] == s[s.size() - 1 - q])
            q++;
        suffix.erase(0, suffix.size() - q);
    }
    if (count == 1) {
        memset(out, 0, 16);
        memcpy(out, prefix.data(), std::min<size_t>(prefix.size(), 15));
        return out;
    }
    // A '%' of a name would turn the pattern into another format.
    if (prefix.find('%') != std::string::npos || suffix.find('%') != std::string::npos) {
        errno = EINVAL;
        return nullptr;
    }
    std::string pattern = prefix + "%d" + suffix;
    if (pattern.size() >= 16) {
        errno = EINVAL;
        return nullptr;
    }
    for (size_t j = 0; j < count; j++) {
        char name[IF_NAMESIZE] = {};
        if (!lookup(indexes[j], name)) return nullptr;
        if (prefix + std::to_string(j) + suffix != name) {
            errno = EINVAL;
            return nullptr;
        }
    }
    memset(out, 0, 16);
    memcpy(out, pattern.data(), pattern.size());
    return out;
}

char *ifnames_pattern(const uint32_t *indexes, size_t count, char out[16])
{
    return ifnames_pattern_with(if_indextoname, indexes, count, out);
}

namespace
{

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int uuid_parse_text(uint8_t out[16], const char *text)
{
    errno = EINVAL;
    if (strnlen(text, 36) < 36) return -1;
    memset(out, 0, 16);
    static const int groups[5] = {4, 2, 2, 2, 6};
    size_t at = 0, o = 0;
    for (int g = 0; g < 5; g++) {
        if (g > 0 && text[at++] != '-') return -1;
        for (int b = 0; b < groups[g]; b++) {
            int hi = hex_digit(text[at]), lo = hex_digit(text[at + 1]);
            if (hi < 0 || lo < 0) return -1;
            out[o++] = static_cast<uint8_t>(hi << 4 | lo);
            at += 2;
        }
    }
    errno = 0;
    return 0;
}
