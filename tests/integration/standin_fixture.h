// What the gateway-object tests share: fernrelayd stand-ins driven through
// their control sockets, the log capture, and small shell and time helpers.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "common/uclient.h"

namespace standin_fixture
{

inline const std::string standin_bin = UGW_BIN_DIR "/tools/fernrelayd/fernrelayd";

// Log lines of the code under test (install `capture` as the log hook).
inline std::vector<std::string> lines;
inline void capture(int, const char *, unsigned, const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof(line), fmt, ap);
    va_end(ap);
    lines.emplace_back(line);
}

inline size_t logged(const std::string &text)
{
    size_t n = 0;
    for (const auto &l : lines)
        n += l.find(text) != std::string::npos;
    return n;
}

inline uint64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline int sh(const std::string &cmd)
{
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

struct standin {
    std::string prefix, ctl_path;
    pid_t pid = -1;
    uclient *ctl = nullptr;

    bool start(const std::string &dir)
    {
        prefix = dir + "/fernrelaysock";
        pid = fork();
        if (pid == 0) {
            execl(standin_bin.c_str(), standin_bin.c_str(), "-S", prefix.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        ctl_path = prefix + "-ctl." + std::to_string(pid);
        for (uint64_t end = now_ms() + 5000; !exists(ctl_path); poll(nullptr, 0, 5))
            if (now_ms() > end) return false;
        ctl = uclient_open(ctl_path.c_str());
        return ctl != nullptr;
    }
    std::string sock() const { return prefix + "." + std::to_string(pid); }
    std::string operator()(const std::string &cmd)
    {
        const uint8_t *reply = nullptr;
        ssize_t n = uclient_request(ctl, cmd.data(), cmd.size(), &reply);
        return n < 0 ? "ipc error"
                     : std::string(reinterpret_cast<const char *>(reply), static_cast<size_t>(n));
    }
    // The stand-in's journal lines that begin with the given text.
    std::vector<std::string> journal(const std::string &prefix_of_line)
    {
        std::vector<std::string> out;
        std::istringstream in((*this)("journal"));
        for (std::string l; std::getline(in, l);)
            if (l.rfind(prefix_of_line, 0) == 0) out.push_back(l);
        return out;
    }
    void stop()
    {
        uclient_close(ctl);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

inline std::vector<uint8_t> uuid_of(uint8_t n)
{
    std::vector<uint8_t> u(16, 0);
    u[0] = 0x5e;
    u[15] = n;
    return u;
}

} // namespace standin_fixture
