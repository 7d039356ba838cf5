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

// The network of a snooped station, as shell commands: d1 carries the
// station's VXLAN tunnel from device st (with the given MAC) in namespace ns;
// d2 is the bridge's Ethernet side, its peer p2 the network at 10.200.0.1/24
// where dnsmasq serves. Checksums are filled in on both sides, as they would
// be on a wire (the station's kernel would otherwise leave a unicast's to
// offload).
inline std::string station_network(const std::string &ns, const std::string &mac)
{
    return "ip link set lo up && ip netns add " + ns +
           " && ip link add d1 type veth peer name p1 netns " + ns +
           " && ip link add d2 type veth peer name p2 && "
           "ip link set d1 addrgenmode none && ip link set d2 addrgenmode none && "
           "ip addr add 10.1.0.1/24 dev d1 && ip link set d1 up && ip link set d2 up && "
           "ip addr add 10.200.0.1/24 dev p2 && ip link set p2 up && "
           "ethtool -K p2 tx off >/dev/null && "
           "ip -n " + ns + " link set lo up && ip -n " + ns + " addr add 10.1.0.2/24 dev p1 && "
           "ip -n " + ns + " link set p1 up && "
           "ip -n " + ns + " link add st address " + mac + " type vxlan id 101 "
           "local 10.1.0.2 remote 10.1.0.1 dstport 4789 && "
           "ip netns exec " + ns + " ethtool -K st tx off >/dev/null";
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
