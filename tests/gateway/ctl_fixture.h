// A gateway object in a temporary run directory, with its log lines captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/log.h"
#include "common/userver.h"
#include "gateway/ugwd_control.h"

namespace ctl_test {

inline std::mutex log_mutex;
inline std::vector<std::string> log_lines;

inline void capture(int, const char *, unsigned, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(log_mutex);
    log_lines.emplace_back(line);
}

// How many captured lines hold the text.
inline size_t logged(const std::string &text)
{
    std::lock_guard<std::mutex> g(log_mutex);
    size_t n = 0;
    for (const auto &l : log_lines)
        n += l.find(text) != std::string::npos;
    return n;
}

inline void log_clear()
{
    std::lock_guard<std::mutex> g(log_mutex);
    log_lines.clear();
}

class Gateway : public ::testing::Test {
protected:
    std::string dir;
    ugwd_ctl *ctl = nullptr;
    log_hook_fn saved_hook = nullptr;
    log_cfg saved_cfg{};

    void SetUp() override
    {
        char t[] = "/tmp/ugw-ctl-XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        dir = t;
        chmod(dir.c_str(), 0755); // clients under other users reach the socket too
        saved_hook = log_hook;
        saved_cfg = log_config;
        log_hook = capture;
        log_config.level = 2;
        log_config.components = LOG_COMP_ALL;
        log_clear();
        ctl = ugwd_ctl_create((dir + "/sock").c_str(), nullptr, 0, false);
        ASSERT_NE(ctl, nullptr);
    }

    void TearDown() override
    {
        ugwd_ctl_free(ctl);
        log_hook = saved_hook;
        log_config = saved_cfg;
        std::system(("rm -rf '" + dir + "'").c_str());
    }

    const char *path() const { return ctl->server->path; }

    // Serves the management socket until done() holds; false when it never did.
    template <class F> bool serve_until(F done, int bound_ms = 10000)
    {
        for (int waited = 0; !done(); waited += 10) {
            if (waited >= bound_ms)
                return false;
            pollfd p{userver_fd(ctl->server), POLLIN, 0};
            if (poll(&p, 1, 10) > 0)
                userver_process(ctl->server);
        }
        return true;
    }
};

} // namespace ctl_test
