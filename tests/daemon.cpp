// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
#include "daemon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config.h"

static pid_t spawn(const std::string &binary, const std::vector<std::string> &args, int *out,
                   const std::string &cwd, const spawn_options &options = spawn_options())
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        if (options.close_stdin)
            close(0);
        if (options.close_stdout)
            close(1);
        if (options.close_stderr)
            close(2);
        if (options.inherit_fd >= 0)
            fcntl(options.inherit_fd, F_SETFD, 0);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(binary.c_str()));
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        // Unblock what a test runner may have blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    *out = fds[0];
    return pid;
}

daemon_process::daemon_process(const std::string &binary, const std::vector<std::string> &args,
                               const spawn_options &options)
{
    pid_ = spawn(binary, args, &out_, "", options);
}

daemon_process::~daemon_process()
{
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
}

static int remaining(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool daemon_process::read_some(int timeout_ms)
{
    if (out_ < 0)
        return false;
    pollfd p = {out_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof(buf));
    if (n <= 0) {
        close(out_);
        out_ = -1;
        return false;
    }
    output_.append(buf, static_cast<size_t>(n));
    return true;
}

void daemon_process::drain()
{
    while (read_some(0)) {
    }
}

bool daemon_process::wait_for(const std::string &fragment, int timeout_ms)
{
    return wait_for_count(fragment, 1, timeout_ms);
}

bool daemon_process::wait_for_count(const std::string &fragment, int count, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (count_of(output_, fragment) < count) {
        int left = remaining(deadline);
        if (left == 0 || (!read_some(left) && out_ < 0))
            return count_of(output_, fragment) >= count;
    }
    return true;
}

void daemon_process::signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

int daemon_process::wait_exit(int timeout_ms)
{
    if (status_ != -1)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // The output pipe closes when the process ends.
    while (out_ >= 0) {
        int left = remaining(deadline);
        if (left == 0)
            return -1;
        read_some(left);
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_)
        return -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

int run_command(const std::string &binary, const std::vector<std::string> &args,
                std::string *output, const std::string &cwd, const spawn_options &options)
{
    int out = -1;
    pid_t pid = spawn(binary, args, &out, cwd, options);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    close(out);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int count_of(const std::string &text, const std::string &fragment)
{
    int n = 0;
    for (size_t at = text.find(fragment); at != std::string::npos;
         at = text.find(fragment, at + 1))
        n++;
    return n;
}

pid_t pid_in(const std::string &path)
{
    pid_t pid = 0;
    std::ifstream(path) >> pid;
    return pid;
}

bool stop_process(pid_t pid, int sig)
{
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p = {fd, POLLIN, 0};
    bool gone = fd >= 0 && kill(pid, sig) == 0 && poll(&p, 1, 5000) == 1;
    close(fd);
    return gone;
}

int connect_live()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", COLVO_SOCKET);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}
