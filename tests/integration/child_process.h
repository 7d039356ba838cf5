// Programs run by the integration tests: started with pipes on 0, 1 and 2 and
// an environment of the test's choosing, read with bounds, waited for with one.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace child_process
{

struct child {
    pid_t pid = -1;
    int in = -1;  // its standard input
    int out = -1; // its standard output
    int err = -1; // its standard error
};

struct result {
    int status = -1;
    std::string out, err;
};

// The environment the tools read their directories from.
inline std::vector<std::string> tool_env(const std::string &run, const std::string &var = "")
{
    std::vector<std::string> env = {"RUNDIR=" + run, "PATH=/usr/bin:/bin"};
    if (!var.empty()) {
        env.push_back("VARDIR=" + var);
        env.push_back("TMPDIR=" + var);
    }
    return env;
}

// uid: run as that user and group (0: as we are).
inline child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
                   uid_t uid = 0)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (uid && (setgroups(0, nullptr) < 0 || setgid(uid) < 0 || setuid(uid) < 0)) _exit(126);
        std::vector<char *> argv, envp;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        for (auto &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    return {pid, in[1], out[0], err[0]};
}

inline std::string read_all(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
}

// One line, waited for with a bound; empty when none came.
inline std::string read_line(int fd, int timeout_ms = 10000)
{
    std::string s;
    char ch;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return s;
        if (read(fd, &ch, 1) != 1 || ch == '\n') return s;
        s += ch;
    }
}

// Both pipes drained together, then closed: a long output must not stall the child.
inline void drain(child &c, std::string *out, std::string *err, int timeout_ms = 30000)
{
    pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    std::string *to[2] = {out, err};
    int open = 2;
    while (open) {
        if (poll(p, 2, timeout_ms) <= 0) break;
        for (int i = 0; i < 2; i++) {
            if (!p[i].revents) continue;
            char buf[65536];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                to[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                open--;
            }
        }
    }
    for (pollfd &q : p)
        if (q.fd >= 0) close(q.fd);
    c.out = c.err = -1;
}

// The exit status (128 + signal when killed), waited for at most timeout_ms;
// -1 when it did not end.
inline int wait_status(pid_t pid, int timeout_ms)
{
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) return -1;
    pollfd p{pidfd, POLLIN, 0};
    int n = poll(&p, 1, timeout_ms);
    close(pidfd);
    if (n <= 0) return -1;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs a program to its end with the given standard input.
inline result run(const std::vector<std::string> &args, const std::vector<std::string> &env,
                  const std::string &input = "", uid_t uid = 0, int timeout_ms = 30000)
{
    child c = spawn(args, env, uid);
    result r;
    if (c.pid < 0) return r;
    if (!input.empty() && write(c.in, input.data(), input.size()) < 0) r.status = -1;
    close(c.in);
    drain(c, &r.out, &r.err, timeout_ms);
    r.status = wait_status(c.pid, timeout_ms);
    return r;
}

} // namespace child_process
