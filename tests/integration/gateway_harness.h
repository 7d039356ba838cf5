// A gateway object in the test's own network and mount namespaces, with a
// stand-in data plane and the log captured: what the flow tests share.
#pragma once

#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <poll.h>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "common/uclient.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"
#include "gateway/ugwd_ctl_msg.h"
#include "gateway/ugwd_proc.h"
#include "gateway/ugwd_service.h"
#include "tests/integration/standin_fixture.h"

namespace standin_fixture
{

struct gateway_harness {
    std::string dir;
    standin dp;
    ugwd_ctl *ctl = nullptr;
    ugwd_proc *proc = nullptr;
    log_hook_fn saved_hook = nullptr;
    log_cfg saved_cfg{};

    // Why the harness cannot run here, or empty.
    static std::string skip_reason()
    {
        if (geteuid() != 0) return "needs root for a network namespace";
        struct stat st;
        if (stat(standin_bin.c_str(), &st) != 0) return "stand-in not built";
        return {};
    }

    // New namespaces for this test's process only (ctest runs each test in a
    // process of its own), set up by the shell commands given.
    static testing::AssertionResult enter_namespaces(const std::string &setup)
    {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            return testing::AssertionFailure() << "unshare: " << strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return testing::AssertionFailure() << "mount: " << strerror(errno);
        if (sh(setup) != 0) return testing::AssertionFailure() << "failed: " << setup;
        return testing::AssertionSuccess();
    }

    // A management client that joined the group of one event type, the
    // gateway's socket served meanwhile (the join waits for its answer); null
    // when it could not.
    uclient *subscribe_events(uint32_t type, int bound_ms = 20000)
    {
        uclient *c = uclient_open(ctl->server->path);
        if (!c) return nullptr;
        uint8_t key[4];
        ctl_put32(key, 0, type);
        auto joined = std::async(std::launch::async, [&] { return uclient_join_group(c, key, 4); });
        for (uint64_t end = now_ms() + static_cast<uint64_t>(bound_ms);
             joined.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
             now_ms() < end;) {
            pollfd p{userver_fd(ctl->server), POLLIN, 0};
            if (poll(&p, 1, 10) > 0) userver_process(ctl->server);
        }
        if (joined.get() == 0) return c;
        uclient_close(c);
        return nullptr;
    }

    // A temporary directory /tmp/ugw-NAME-*, the log captured, the stand-in
    // (bridging as `bridge` says, if given) as the gateway's data plane.
    // With a lease file name, the gateway keeps its leases in the directory.
    testing::AssertionResult start(const std::string &name, const char *bridge = nullptr,
                                   const char *lease_file = nullptr)
    {
        std::string t = "/tmp/ugw-" + name + "-XXXXXX";
        if (!mkdtemp(t.data())) return testing::AssertionFailure() << "mkdtemp";
        dir = t;
        saved_hook = log_hook;
        saved_cfg = log_config;
        log_hook = capture;
        log_config.level = 2;
        log_config.components = LOG_COMP_ALL;
        lines.clear();
        ugwd_ctl_init(); // as the daemon's start-up: the snoop rule sets among others
        if (!dp.start(dir)) return testing::AssertionFailure() << "the stand-in did not start";
        if (bridge && dp(bridge) != "ok\n") return testing::AssertionFailure() << bridge;
        // The daemon's socket name, so that ugw finds it by our pid.
        std::string leases = lease_file ? dir + "/" + lease_file : "";
        ctl = ugwd_ctl_create((dir + "/ulmex-gatewaysock").c_str(),
                              lease_file ? leases.c_str() : nullptr, 0, false);
        if (!ctl) return testing::AssertionFailure() << "ugwd_ctl_create: " << strerror(errno);
        if (ugwd_ctl_add_proc(ctl, dp.pid, dp.sock().c_str()) != 0)
            return testing::AssertionFailure() << "ugwd_ctl_add_proc: " << strerror(errno);
        proc = list_first_record<&ugwd_proc::link>(&ctl->procs);
        return testing::AssertionSuccess();
    }

    void stop()
    {
        if (ctl) ugwd_ctl_free(ctl);
        ctl = nullptr;
        dp.stop();
        if (saved_hook) {
            log_hook = saved_hook;
            log_config = saved_cfg;
            saved_hook = nullptr;
        }
        if (!dir.empty()) sh("rm -rf '" + dir + "'");
    }

    // One management request through the dispatcher: the reply, or nothing.
    std::vector<uint8_t> run(std::vector<uint8_t> msg, size_t size = 2048)
    {
        msg.resize(std::max(msg.size(), size));
        size_t len = ctl_msg_size(msg.data(), msg.size());
        int r = ugwd_ctl_dispatch(ctl, msg.data(), len, size, 1);
        msg.resize(r > 0 ? static_cast<size_t>(r) : 0);
        return msg;
    }
    static std::vector<uint8_t> port_msg(uint32_t ifindex)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_PORT].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_PORT);
        ctl_put32(m.data(), 8, ifindex);
        return m;
    }
    // A service n on d2: SSID "wifi", VNI 100 + n, queries every 125 s.
    static ugwd_service_conf service_conf(uint8_t n)
    {
        ugwd_service_conf c = {};
        memcpy(c.mib.ulmexServiceId, uuid_of(n).data(), 16);
        c.mib.ulmexServiceSSID.length = 4;
        memcpy(c.mib.ulmexServiceSSID.ulmexSSIDValue, "wifi", 4);
        c.mib.ulmexServiceVNI = 100u + n;
        c.mib.ulmexServiceIfCount = 1;
        c.mib.ulmexServiceIfIndices[0] = if_nametoindex("d2");
        c.mib.query_interval = 125;
        return c;
    }
    // Add-Service; on failure the status and the captured log say why.
    testing::AssertionResult add_service(const ugwd_service_conf &c)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_SERVICE].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SERVICE);
        memcpy(m.data() + 8, &c, sizeof(c));
        auto r = run(m);
        if (r.size() == 1300) return testing::AssertionSuccess();
        auto fail = testing::AssertionFailure();
        if (r.size() >= 8) fail << "status " << ctl_get32(r.data(), 4);
        for (const auto &l : lines)
            fail << "\n" << l;
        return fail;
    }
    static std::vector<uint8_t> socket_msg(uint32_t ifindex, uint32_t proto, uint16_t port)
    {
        std::vector<uint8_t> m(ctl_msg_catalogue[CTL_ADD_SOCKET].size);
        ugwd_ctl_msg_init(m.data(), CTL_ADD_SOCKET);
        ctl_put32(m.data(), 8, ifindex);
        ctl_put32(m.data(), 12, proto);
        memcpy(m.data() + 16, &port, 2);
        return m;
    }
};

} // namespace standin_fixture
