// dnsmasq as the network's DHCP server and busybox udhcpc as a station's
// client, for tests that snoop real leases: dnsmasq's own lease file is the
// oracle of what it granted.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace dhcp_peer
{

// A shell command, exec'd in a child of its own.
inline pid_t spawn_shell(const std::string &cmd)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

inline void reap(pid_t pid)
{
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// dnsmasq serving DHCP only, its log and lease file in a test's directory.
struct dnsmasq {
    std::string dir;
    pid_t pid = -1;

    // How often it said it listens: a restart is ready once this grew.
    size_t bound() const
    {
        std::string log = read_file(dir + "/dnsmasq.log");
        size_t n = 0;
        for (size_t at = 0; (at = log.find("sockets bound", at)) != std::string::npos; at++)
            n++;
        return n;
    }
    // (Re)starts it on iface with range as its --dhcp-range.
    void start(const std::string &in, const std::string &iface, const std::string &range)
    {
        stop();
        dir = in;
        pid = spawn_shell(
            "dnsmasq --no-daemon --conf-file=/dev/null --port=0 --interface=" + iface +
            " --bind-interfaces --dhcp-authoritative --dhcp-range=" + range +
            " --dhcp-leasefile=" + dir + "/dnsmasq.leases --pid-file= 2>>" + dir + "/dnsmasq.log");
    }
    void stop()
    {
        reap(pid);
        pid = -1;
    }
    // The address its lease file gives the client MAC (aa:bb:..), or empty.
    std::string granted(const std::string &mac) const
    {
        std::istringstream in(read_file(dir + "/dnsmasq.leases"));
        std::string expiry, m, ip;
        while (in >> expiry >> m >> ip) {
            if (m == mac) return ip;
            in.ignore(1 << 16, '\n');
        }
        return "";
    }
    std::string log() const { return read_file(dir + "/dnsmasq.log"); }
};

// busybox udhcpc on a station's interface: one lease, configured on it, then
// exit. The script it needs is written into dir.
inline std::string udhcpc(const std::string &dir, const std::string &iface,
                          const std::string &extra = "")
{
    std::ofstream(dir + "/udhcpc.sh")
        << "#!/bin/sh\ncase $1 in\nbound|renew) ip addr replace $ip/$subnet dev $interface;;\n"
           "deconfig) ip addr flush dev $interface;;\nesac\nexit 0\n";
    chmod((dir + "/udhcpc.sh").c_str(), 0755);
    return "busybox udhcpc -i " + iface + " -n -q -t 5 -T 2 -s " + dir + "/udhcpc.sh" +
           (extra.empty() ? "" : " " + extra);
}

} // namespace dhcp_peer
