// The listener's three forms, each event fed as the daemon sends its record:
// the abbreviated lines, and JSON Lines that a JSON parser reads one by one.
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

#include "utility/ugw_events.h"
#include "utility/ugw_render.h"

namespace
{

// Standard output of fn, read back from a temporary file.
template <typename F> std::string captured(F fn)
{
    fflush(stdout);
    char name[] = "/tmp/ugw-events-XXXXXX";
    int fd = mkstemp(name);
    int saved = dup(1);
    dup2(fd, 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fd);
    unlink(name);
    return out;
}

struct records {
    ulmexControl control{};
    ugwd_service_mib service{};
    ugwd_vap_mib vap{};
    ugwd_tunnel_mib tunnel{};
    ugw_flow_rec flow{};
    records()
    {
        strcpy(control.ulmexControlName, "ctl\nforged line");
        service.ulmexServiceId[0] = 0x5e;
        service.ulmexServiceId[15] = 0x01;
        memcpy(service.ulmexServiceSSID.ulmexSSIDValue, "a\"b\n", 4);
        service.ulmexServiceSSID.length = 4;
        memcpy(vap.ulmexServiceBSSID, "\x02\x00\x00\x00\x00\x0a", 6);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(4789);
        sin.sin_addr.s_addr = htonl(0xc0000205);
        memcpy(tunnel.ulmexRemotePort, &sin, sizeof(sin));
        memcpy(flow.ulmexBSSID, "\x02\x00\x00\x00\x00\x0a", 6);
        memcpy(flow.ulmexClientMAC, "\x02\x00\x00\x00\x00\x0b", 6);
    }
    void all(const ugw_listen_ops &ops) const
    {
        ops.new_control(nullptr, &control);
        ops.delete_control(nullptr, &control);
        ops.new_service(nullptr, &service);
        ops.delete_service(nullptr, &service);
        ops.new_vap(nullptr, &vap);
        ops.delete_vap(nullptr, &vap);
        ops.new_tunnel(nullptr, &tunnel);
        ops.delete_tunnel(nullptr, &tunnel);
        ops.new_flow(nullptr, &flow);
        ops.delete_flow(nullptr, &flow);
    }
};

TEST(UgwListenForms, AbbreviatedLinesOnePerEvent)
{
    records r;
    std::string out = captured([&] { r.all(ugw_listen_forms[1]); });
    EXPECT_EQ(out, "New control ctl.forged line\n"
                   "Delete control ctl.forged line\n"
                   "New service 5e000000-0000-0000-0000-000000000001\n"
                   "Delete service 5e000000-0000-0000-0000-000000000001\n"
                   "New vap 02:00:00:00:00:0a\n"
                   "Delete vap 02:00:00:00:00:0a\n"
                   "New tunnel 192.0.2.5\n"
                   "Delete tunnel 192.0.2.5\n"
                   "New flow with BSSID 02:00:00:00:00:0a and client 02:00:00:00:00:0b\n"
                   "Delete flow with BSSID 02:00:00:00:00:0a and client 02:00:00:00:00:0b\n");
}

TEST(UgwListenForms, JsonLinesEachAnObjectWithItsEvent)
{
    records r;
    std::string out = captured([&] { r.all(ugw_listen_forms[2]); });
    const char *keys[] = {"ulmexControl", "ulmexService", "ulmexServiceBSS", "ulmexTunnel",
                          "ulmexFlow"};
    size_t at = 0;
    for (int i = 0; i < 10; i++) {
        size_t end = out.find('\n', at);
        ASSERT_NE(end, std::string::npos) << i;
        std::string line = out.substr(at, end - at);
        at = end + 1;
        std::string head = std::string("{\"ulmexEvent\":\"") + (i % 2 ? "stop" : "start") +
                           "\",\"" + keys[i / 2] + "\":{";
        EXPECT_EQ(line.rfind(head, 0), 0u) << line;
    }
    EXPECT_EQ(at, out.size());
    // An independent parser reads each line as one document.
    FILE *p = popen("python3 -c 'import json,sys\nfor l in sys.stdin: json.loads(l)'", "w");
    ASSERT_TRUE(p);
    fwrite(out.data(), 1, out.size(), p);
    EXPECT_EQ(pclose(p), 0);
}

TEST(UgwListenForms, TextFormIsTheShowRenderer)
{
    records r;
    std::string got = captured([&] { ugw_listen_forms[0].new_vap(nullptr, &r.vap); });
    std::string want = captured([&] { render_text_ulmex_service_bss(stdout, &r.vap); });
    EXPECT_FALSE(got.empty());
    EXPECT_EQ(got, want);
}

} // namespace
