// The controller stand-in (tools/ctlpeer) as a test runs it: started with a
// key, its port and pin read from its output, commanded and its journal read
// through its control socket.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/uclient.h"
#include "tests/integration/standin_fixture.h"

extern char **environ;

namespace ctlpeer_fixture
{

inline const std::string ctlpeer_bin = UGW_BIN_DIR "/tools/ctlpeer/ctlpeer";

constexpr uint64_t WAIT_MS = 20000; // generous: sanitizer builds on two slow cores

// A program with our environment and the given additions, its output on the
// descriptors given (-1: /dev/null).
inline pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
                   int out_fd, int err_fd)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++)
        envs.emplace_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> argv, envp;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (auto &e : envs)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out_fd >= 0 ? out_fd : null, 1);
        dup2(err_fd >= 0 ? err_fd : null, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

inline bool wait_for(const std::function<bool()> &done, uint64_t ms = WAIT_MS)
{
    using standin_fixture::now_ms;
    for (uint64_t end = now_ms() + ms; !done(); poll(nullptr, 0, 20))
        if (now_ms() > end) return false;
    return true;
}

// One controller stand-in, driven through its control socket.
struct controller {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string fingerprint;
    uclient *ctl = nullptr;

    // prefix: a program that runs the stand-in in place (ip netns exec), in
    // which case its control socket is out of reach and not opened.
    bool start(const std::string &dir, const std::string &key, std::vector<std::string> listens,
               std::vector<std::string> prefix = {})
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        std::vector<std::string> args = prefix;
        for (const std::string &a : {ctlpeer_bin, std::string("--key"), key})
            args.push_back(a);
        if (prefix.empty()) {
            args.push_back("--control");
            args.push_back(dir + "/ctlpeer-ctl");
        }
        for (auto &l : listens) {
            args.push_back("-l");
            args.push_back(l);
        }
        pid = spawn(args, {}, fds[1], -1);
        close(fds[1]);
        FILE *out = fdopen(fds[0], "r");
        char line[256];
        while (out && fgets(line, sizeof(line), out)) {
            unsigned p;
            char fp[80];
            if (sscanf(line, "listening %u", &p) == 1) port = static_cast<uint16_t>(p);
            if (sscanf(line, "fingerprint %79s", fp) == 1) {
                fingerprint = fp;
                break;
            }
        }
        if (out) fclose(out);
        if (!prefix.empty()) return port != 0;
        std::string path = dir + "/ctlpeer-ctl." + std::to_string(pid);
        if (!port || !wait_for([&] { return standin_fixture::exists(path); })) return false;
        ctl = uclient_open(path.c_str());
        return ctl != nullptr;
    }
    std::string operator()(const std::string &cmd)
    {
        const uint8_t *reply = nullptr;
        ssize_t n = uclient_request(ctl, cmd.data(), cmd.size(), &reply);
        return n < 0 ? "ipc error" : std::string(reinterpret_cast<const char *>(reply), size_t(n));
    }
    // Journal lines with the given word after their time stamp.
    std::vector<std::string> journal(const std::string &what)
    {
        std::vector<std::string> out;
        std::istringstream in((*this)("journal"));
        for (std::string l; std::getline(in, l);) {
            size_t sp = l.find(' ');
            if (sp != std::string::npos && l.compare(sp + 1, what.size(), what) == 0)
                out.push_back(l);
        }
        return out;
    }
    size_t count(const std::string &what) { return journal(what).size(); }
    void stop()
    {
        uclient_close(ctl);
        ctl = nullptr;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

} // namespace ctlpeer_fixture
