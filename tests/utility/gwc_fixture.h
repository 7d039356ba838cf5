// A connection to a stand-in management server in a temporary run directory,
// with the client's debug lines captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "common/ctl_msg.h"
#include "common/log.h"
#include "tools/fakegwd/fakegwd.h"
#include "utility/gwc.h"

namespace gwc_test
{

inline std::mutex log_mu;
inline std::vector<std::string> log_lines;

inline void capture(int, const char *, unsigned, const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> hold(log_mu);
    log_lines.emplace_back(buf);
}

inline bool logged(const std::string &text)
{
    std::lock_guard<std::mutex> hold(log_mu);
    for (const auto &l : log_lines)
        if (l == text) return true;
    return false;
}

inline void clear_log()
{
    std::lock_guard<std::mutex> hold(log_mu);
    log_lines.clear();
}

// A reply of a type: the fixed part zeroed, then count rows of row bytes.
inline std::vector<uint8_t> reply_of(uint32_t type, uint32_t count = 0)
{
    const ctl_msg_layout &l = ctl_msg_catalogue[type];
    std::vector<uint8_t> r(l.size + static_cast<size_t>(count) * l.row_size, 0);
    ctl_put32(r.data(), 0, type);
    if (l.count_offset) ctl_put32(r.data(), l.count_offset, count);
    return r;
}

class Gwc : public ::testing::Test
{
  protected:
    std::string dir;
    fakegwd *fake = nullptr;
    gwc_connection *c = nullptr;
    log_hook_fn saved_hook = log_hook;
    log_cfg saved_cfg = log_config;

    void SetUp() override
    {
        char t[] = "/tmp/ugw-gwc-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        fake = fakegwd_start(dir.c_str());
        ASSERT_TRUE(fake);
        clear_log();
        log_hook = capture;
        log_config.components = LOG_COMP_UCLIENT;
        log_config.level = ULOG_DEBUG;
        connect(0);
    }

    void connect(uint32_t force, const ugw_listen_ops *ops = nullptr, void *user = nullptr)
    {
        gwc_destroy(c);
        c = gwc_create(fakegwd_path(fake), ops, user, force);
        ASSERT_TRUE(c);
    }

    void TearDown() override
    {
        gwc_destroy(c);
        fakegwd_stop(fake);
        log_hook = saved_hook;
        log_config = saved_cfg;
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    std::vector<uint8_t> last_request()
    {
        auto j = fakegwd_journal(fake);
        return j.empty() ? std::vector<uint8_t>{} : j.back();
    }
};

} // namespace gwc_test
