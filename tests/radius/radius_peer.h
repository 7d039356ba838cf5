// Real peers of the RADIUS tests: a FreeRADIUS server started in a temporary
// directory on free loopback ports and stopped by pid, a host that carries a
// transport's datagrams over real UDP sockets, and a pcap of what went by for
// tshark to check.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/timer.h"
#include "radius/radius_nas.h"
#include "radius_test_util.h"

namespace radius_test {

inline bool have_program(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A UDP port that was free a moment ago on 127.0.0.1.
inline uint16_t free_udp_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof in;
    bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
    getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
    close(fd);
    return ntohs(in.sin_port);
}

// Waits until the file holds text, watching its directory; false after the bound.
inline bool wait_for_text(const std::string &dir, const std::string &path, const std::string &text,
                          int timeout_ms)
{
    int in = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(in, dir.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    int64_t end = monotonic_ms() + timeout_ms;
    bool found = false;
    for (;;) {
        if (read_file(path).find(text) != std::string::npos) {
            found = true;
            break;
        }
        int64_t left = end - monotonic_ms();
        if (left <= 0)
            break;
        pollfd p = {in, POLLIN, 0};
        if (poll(&p, 1, int(left)) > 0) {
            char buf[4096];
            while (read(in, buf, sizeof buf) > 0) {
            }
        }
    }
    close(in);
    return found;
}

// Ends a child by pid: SIGTERM, then SIGKILL when it lingers past the bound.
inline void stop_child(pid_t pid, int timeout_ms = 3000)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p = {pidfd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            kill(pid, SIGKILL);
        close(pidfd);
    }
    waitpid(pid, nullptr, 0);
}

// Runs FreeRADIUS on the radiusd.conf in dir (logging to dir/log/fr.log) and
// waits until it serves: the pid, or -1. Start-up reads every module: on a
// loaded 2-core machine it takes seconds.
inline pid_t start_freeradius(const std::string &dir)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("freeradius", "freeradius", "-f", "-d", dir.c_str(), "-l",
               (dir + "/log/fr.log").c_str(), nullptr);
        _exit(127);
    }
    if (pid < 0) return -1;
    if (!wait_for_text(dir + "/log", dir + "/log/fr.log", "Ready to process requests", 20000)) {
        stop_child(pid);
        return -1;
    }
    return pid;
}

class freeradius
{
  public:
    // users: the users file. Each instance has its own directory and ports.
    bool start(const std::string &secret, const std::string &users)
    {
        char tmpl[] = "/tmp/ugw-radius-XXXXXX";
        if (!mkdtemp(tmpl))
            return false;
        dir = tmpl;
        auth_port = free_udp_port();
        acct_port = free_udp_port();
        mkdir((dir + "/log").c_str(), 0700);
        mkdir((dir + "/run").c_str(), 0700);
        std::ofstream(dir + "/users") << users;
        if (!dictionary.empty())
            std::ofstream(dir + "/dictionary") << dictionary;
        std::ofstream(dir + "/radiusd.conf") << config(secret);
        pid = start_freeradius(dir);
        return pid > 0;
    }
    void stop()
    {
        stop_child(pid);
        pid = -1;
    }
    std::string log() const { return read_file(dir + "/log/fr.log"); }
    ~freeradius()
    {
        stop();
        if (!dir.empty() && dir.rfind("/tmp/ugw-radius-", 0) == 0)
            (void)system(("rm -rf " + dir).c_str());
    }

    std::string dir;
    pid_t pid = -1;
    // Set before start: a local dictionary, and a detail file of accounting
    // (dir + "/detail").
    std::string dictionary;
    bool detail = false;
    uint16_t auth_port = 0, acct_port = 0;

  private:
    std::string config(const std::string &secret) const
    {
        std::ostringstream c;
        c << "prefix = /usr\nconfdir = " << dir << "\nlogdir = " << dir << "/log\nrun_dir = " << dir
          << "/run\nlibdir = /usr/lib/freeradius\npidfile = " << dir << "/run/radiusd.pid\n"
          << "max_request_time = 5\ncleanup_delay = 0\nmax_requests = 65536\n"
          << "hostname_lookups = no\n"
          << "log {\n destination = files\n file = " << dir << "/log/fr.log\n auth = no\n}\n"
          << "security {\n max_attributes = 200\n reject_delay = 0\n status_server = no\n}\n"
          << "thread pool {\n start_servers = 1\n max_servers = 2\n min_spare_servers = 1\n"
          << " max_spare_servers = 2\n}\n"
          // Our Access-Requests always carry a Message-Authenticator: FreeRADIUS checks it.
          << "client local {\n ipaddr = 127.0.0.0/8\n secret = " << secret
          << "\n require_message_authenticator = yes\n}\n"
          << "modules {\n always ok {\n  rcode = ok\n }\n files {\n  filename = " << dir
          << "/users\n }\n"
          << (detail ? " detail {\n  filename = " + dir + "/detail\n  escape_filenames = no\n"
                       "  permissions = 0600\n  header = \"%t\"\n }\n"
                     : std::string())
          << "}\n"
          << "server default {\n"
          << " listen {\n  type = auth\n  ipaddr = 127.0.0.1\n  port = " << auth_port << "\n }\n"
          << " listen {\n  type = acct\n  ipaddr = 127.0.0.1\n  port = " << acct_port << "\n }\n"
          << " authorize {\n  files\n }\n authenticate {\n }\n preacct {\n }\n"
          << " accounting {\n  " << (detail ? "detail\n  " : "") << "ok\n }\n post-auth {\n }\n}\n";
        return c.str();
    }
};

// What crossed the wire, for the pcap.
struct wire_datagram {
    sockaddr_in from, to;
    bytes data;
};

// Writes datagrams as raw IPv4 packets (link type 101).
inline void write_pcap(const std::string &path, const std::vector<wire_datagram> &dgrams)
{
    std::ofstream f(path, std::ios::binary);
    auto put32 = [&](uint32_t v) { f.write(reinterpret_cast<const char *>(&v), 4); };
    auto put16 = [&](uint16_t v) { f.write(reinterpret_cast<const char *>(&v), 2); };
    put32(0xa1b2c3d4);
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(65535);
    put32(101);
    uint32_t sec = 1;
    for (const auto &d : dgrams) {
        bytes ip(28);
        size_t total = ip.size() + d.data.size();
        ip[0] = 0x45;
        ip[2] = uint8_t(total >> 8);
        ip[3] = uint8_t(total);
        ip[6] = 0x40;
        ip[8] = 64;
        ip[9] = 17;
        memcpy(&ip[12], &d.from.sin_addr, 4);
        memcpy(&ip[16], &d.to.sin_addr, 4);
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum += uint32_t(ip[i] << 8 | ip[i + 1]);
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        ip[10] = uint8_t(~sum >> 8);
        ip[11] = uint8_t(~sum);
        memcpy(&ip[20], &d.from.sin_port, 2);
        memcpy(&ip[22], &d.to.sin_port, 2);
        size_t ulen = 8 + d.data.size();
        ip[24] = uint8_t(ulen >> 8);
        ip[25] = uint8_t(ulen);
        put32(sec++);
        put32(0);
        put32(uint32_t(total));
        put32(uint32_t(total));
        f.write(reinterpret_cast<const char *>(ip.data()), std::streamsize(ip.size()));
        f.write(reinterpret_cast<const char *>(d.data.data()), std::streamsize(d.data.size()));
    }
}

// Carries one transport's datagrams over UDP sockets on 127.0.0.1 (one per
// request port) and runs its timer on the real clock.
class udp_host
{
  public:
    udp_host(int ports, mempool *packets) : pool(packets)
    {
        for (int i = 0; i < ports; i++) {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr *>(&in), sizeof in);
            fds.push_back(fd);
        }
    }
    ~udp_host()
    {
        for (int fd : fds)
            close(fd);
    }

    radius_nas_ops ops() const
    {
        return {.send = on_send, .timed_out = on_timed_out, .schedule = on_schedule,
                .cancel = on_cancel};
    }

    struct answer {
        int server; // radius_nas_recv's result
        bytes data; // the message after the transport's checks (MPPE keys decrypted)
    };

    // Runs datagrams and the timer until done() holds or the bound passed;
    // returns done(). Every datagram received goes through radius_nas_recv
    // and lands in answers.
    template <class F> bool run_until(radius_nas *nas, F done, int timeout_ms)
    {
        int64_t end = monotonic_ms() + timeout_ms;
        while (!done()) {
            clock_refresh_offset();
            int64_t wait = end - monotonic_ms();
            if (wait <= 0)
                return false;
            if (armed) {
                int64_t until = int64_t(int32_t(due - clock_msec()));
                if (until <= 0) {
                    timer *t = armed;
                    armed = nullptr;
                    armed_fn(t);
                    continue;
                }
                wait = std::min(wait, until);
            }
            std::vector<pollfd> p;
            for (int fd : fds)
                p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), int(wait)) <= 0)
                continue;
            for (size_t i = 0; i < p.size(); i++) {
                if (!(p[i].revents & POLLIN))
                    continue;
                uint8_t buf[4096 + 64];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t r = recvfrom(fds[i], buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from),
                                     &len);
                if (r < 0)
                    continue;
                wire.push_back({from, local(fds[i]), bytes(buf, buf + r)});
                packet_ptr msg(packet_of(pool, bytes(buf, buf + r)));
                clock_refresh_offset();
                int server = radius_nas_recv(nas, msg.get(), reinterpret_cast<sockaddr *>(&from),
                                             int(i));
                answers.push_back({server, bytes_of(msg.get())});
            }
        }
        return true;
    }

    // Sends one request and waits for the datagram that answers it.
    answer exchange(radius_nas *nas, packet *msg, int server = -1, int timeout_ms = 3000)
    {
        size_t before = answers.size();
        clock_refresh_offset();
        if (radius_nas_send(nas, msg, server, nullptr) < 0)
            return {-2, {}};
        if (!run_until(nas, [&] { return answers.size() > before; }, timeout_ms))
            return {-3, {}};
        return answers.back();
    }

    std::vector<answer> answers;
    std::vector<int> fds;
    std::vector<wire_datagram> wire;
    std::vector<packet *> timed_out;
    mempool *pool;
    timer *armed = nullptr;
    timer_fn armed_fn = nullptr;
    uint32_t due = 0;

  private:
    static sockaddr_in local(int fd)
    {
        sockaddr_in in{};
        socklen_t len = sizeof in;
        getsockname(fd, reinterpret_cast<sockaddr *>(&in), &len);
        return in;
    }
    static void on_send(void *user, packet *msg, const sockaddr *server, int port)
    {
        auto *self = static_cast<udp_host *>(user);
        int fd = self->fds.at(size_t(port));
        sendto(fd, msg->data, msg->length, 0, server, sizeof(sockaddr_in));
        self->wire.push_back({local(fd), *reinterpret_cast<const sockaddr_in *>(server),
                              bytes_of(msg)});
    }
    static void on_timed_out(void *user, packet *msg)
    {
        static_cast<udp_host *>(user)->timed_out.push_back(msg);
    }
    static void on_schedule(void *user, timer *t, uint32_t ms, timer_fn fn)
    {
        auto *self = static_cast<udp_host *>(user);
        self->armed = t;
        self->armed_fn = fn;
        self->due = clock_msec() + ms;
    }
    static void on_cancel(void *user, timer *t)
    {
        auto *self = static_cast<udp_host *>(user);
        if (self->armed == t)
            self->armed = nullptr;
    }
};

} // namespace radius_test
