// Child processes for interop tests: started with pipes on standard input
// and output (standard error to a file), read line by line with a bound,
// stopped by pid.
#pragma once

#include <atomic>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace peer_process {

struct process {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string buffer; // standard output read so far
    std::string err_path;

    process() = default;
    process(const process &) = delete;
    process &operator=(const process &) = delete;
    ~process() { stop(); }

    // Everything the child needs is made before the fork: tests start peers
    // from several threads, and the child may only exec.
    bool start(const std::vector<std::string> &argv, const std::string &err_file = "/dev/null")
    {
        int pin[2], pout[2];
        if (pipe2(pin, O_CLOEXEC) < 0 || pipe2(pout, O_CLOEXEC) < 0)
            return false;
        err_path = err_file;
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            if (e >= 0)
                dup2(e, 2);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (e >= 0)
            close(e);
        close(pin[0]);
        close(pout[1]);
        in = pin[1];
        out = pout[0];
        return pid > 0;
    }

    void write_line(const std::string &line)
    {
        std::string l = line + "\n";
        if (::write(in, l.data(), l.size()) < 0) {
        }
    }

    void close_input()
    {
        if (in >= 0)
            close(in);
        in = -1;
    }

    // Waits until standard output holds text (from the start); false on
    // timeout or end of output.
    bool wait_for(const std::string &text, int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (buffer.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || out < 0)
                return false;
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) {
                close(out);
                out = -1;
                return buffer.find(text) != std::string::npos;
            }
            buffer.append(buf, size_t(n));
        }
        return true;
    }

    // Reads what standard output has ready, without waiting.
    void drain()
    {
        while (out >= 0) {
            pollfd p = {out, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                return;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) {
                close(out);
                out = -1;
                return;
            }
            buffer.append(buf, size_t(n));
        }
    }

    // The exit status, waiting at most timeout_ms; -1 when still running.
    int wait_exit(int timeout_ms = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= end)
                return -1;
            // Drain output meanwhile, so the child never blocks on a full pipe.
            pollfd p = {out, POLLIN, 0};
            if (out >= 0 && poll(&p, 1, 20) > 0) {
                char buf[4096];
                ssize_t n = read(out, buf, sizeof buf);
                if (n > 0)
                    buffer.append(buf, size_t(n));
                else {
                    close(out);
                    out = -1;
                }
            } else if (out < 0) {
                usleep(20000);
            }
        }
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (wait_exit(3000) < 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }
        close_input();
        if (out >= 0)
            close(out);
        out = -1;
    }

    std::string errors() const
    {
        std::string s;
        if (FILE *f = fopen(err_path.c_str(), "r")) {
            char buf[4096];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0)
                s.append(buf, n);
            fclose(f);
        }
        return s;
    }
};

// A UDP port that was free a moment ago on 127.0.0.1.
// A free UDP port below the kernel's ephemeral range, so that no socket that
// another test binds to port 0 meanwhile can take it before the peer does.
inline uint16_t free_udp_port()
{
    static std::atomic<unsigned> seed{static_cast<unsigned>(getpid()) * 7919u};
    for (int tries = 0; tries < 1000; tries++) {
        uint16_t port = static_cast<uint16_t>(20000 + (seed.fetch_add(104729) % 12000));
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        bool free = bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0;
        close(fd);
        if (free)
            return port;
    }
    return 0;
}

inline bool have_program(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

} // namespace peer_process
