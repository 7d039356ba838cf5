// fernrelayd stand-in: accepts the daemon's argument list, binds the datagram
// socket "<-S prefix>.<pid>" and leaves on SIGTERM, removing it.
//
// Test switches (environment):
//   FERNRELAYD_TEST_NOBIND=1       never bind the socket
//   FERNRELAYD_TEST_IGNORE_TERM=1  ignore SIGTERM
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/strings.h"

namespace {

enum : int { OPT_BUFFER = 0x100, OPT_RING, OPT_MEMORY, OPT_NO_FABRIC, OPT_NO_XSK };

const option long_options[] = {
    {"buffer-size", required_argument, nullptr, OPT_BUFFER},
    {"ring-size", required_argument, nullptr, OPT_RING},
    {"memory-size", required_argument, nullptr, OPT_MEMORY},
    {"disable-fabric", no_argument, nullptr, OPT_NO_FABRIC},
    {"disable-xsk", no_argument, nullptr, OPT_NO_XSK},
    {nullptr, 0, nullptr, 0},
};

bool env_set(const char *name)
{
    const char *v = getenv(name);
    return v && *v && strcmp(v, "0") != 0;
}

bool valid_size(const char *text, bool bytes)
{
    const char *end;
    string_parse_size(text, &end);
    if (errno || end == text)
        return false;
    if (bytes && *end == 'B')
        end++;
    return *end == '\0';
}

int usage_error(const char *prog, const char *what)
{
    fprintf(stderr, "%s: invalid argument: %s\n", prog, what);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    const char *prefix = nullptr;
    int debug = 0;
    int c;
    while ((c = getopt_long(argc, argv, "S:dF:Lxtl", long_options, nullptr)) != -1) {
        switch (c) {
        case 'S':
            prefix = optarg;
            break;
        case 'd':
            debug++;
            break;
        case 'F':
        case 'L':
        case 'x':
        case 't':
        case 'l':
        case OPT_NO_FABRIC:
        case OPT_NO_XSK:
            break;
        case OPT_BUFFER:
        case OPT_RING:
            if (!valid_size(optarg, false))
                return usage_error(argv[0], optarg);
            break;
        case OPT_MEMORY:
            if (!valid_size(optarg, true))
                return usage_error(argv[0], optarg);
            break;
        default:
            return 2;
        }
    }
    if (!prefix || optind < argc)
        return usage_error(argv[0], prefix ? argv[optind] : "no -S");
    if (debug) {
        fprintf(stderr, "fernrelayd[%d]:", static_cast<int>(getpid()));
        for (int i = 1; i < argc; i++)
            fprintf(stderr, " %s", argv[i]);
        fprintf(stderr, "\n");
    }

    sigset_t set;
    sigemptyset(&set);
    if (env_set("FERNRELAYD_TEST_IGNORE_TERM"))
        signal(SIGTERM, SIG_IGN);
    else
        sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sfd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sfd < 0) {
        perror("signalfd");
        return 1;
    }

    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    int n = snprintf(sun.sun_path, sizeof(sun.sun_path), "%s.%d", prefix,
                     static_cast<int>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(sun.sun_path)) {
        fprintf(stderr, "fernrelayd: socket path too long\n");
        return 1;
    }
    int fd = -1;
    if (!env_set("FERNRELAYD_TEST_NOBIND")) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) < 0) {
            fprintf(stderr, "fernrelayd: bind %s: %s\n", sun.sun_path, strerror(errno));
            return 1;
        }
    }

    for (;;) {
        pollfd p[2] = {{sfd, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(p, fd >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents & POLLIN)
            break; // SIGTERM
        if (fd >= 0 && (p[1].revents & POLLIN)) {
            char buf[4096];
            if (recv(fd, buf, sizeof(buf), 0) < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
    }
    if (fd >= 0) {
        close(fd);
        unlink(sun.sun_path);
    }
    if (debug)
        fprintf(stderr, "fernrelayd[%d]: exiting\n", static_cast<int>(getpid()));
    return 0;
}
