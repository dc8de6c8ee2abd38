// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Runs the real daemons and tools for end-to-end tests: spawn with merged
// output on a pipe, wait for text on it (never a timed sleep), signal, and
// collect the exit status.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// How a daemon is started, beyond its arguments: as an init system or a
// careless shell might leave its descriptors.
struct spawn_options {
    bool close_stdin = false;
    // Closing these closes the output pipe too: such a process is watched
    // by what it sends, stores or leaves in /proc.
    bool close_stdout = false;
    bool close_stderr = false;
    int inherit_fd = -1; // kept open across exec
};

class daemon_process {
  public:
    daemon_process(const std::string &binary, const std::vector<std::string> &args,
                   const spawn_options &options = spawn_options());
    ~daemon_process();
    // Reads output until it contains fragment (searched from the start) or
    // the time runs out.
    bool wait_for(const std::string &fragment, int timeout_ms = 5000);
    // As wait_for, counting occurrences.
    bool wait_for_count(const std::string &fragment, int count, int timeout_ms = 5000);
    const std::string &output() const { return output_; }
    // Reads what output is waiting, so a chatty process never blocks on it.
    void drain();
    void signal(int sig);
    // Exit status, or -1 when the process did not end in time.
    int wait_exit(int timeout_ms = 5000);
    pid_t pid() const { return pid_; }

  private:
    bool read_some(int timeout_ms);
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string output_;
};

// Runs a command to its end; gives the exit status and the merged output.
int run_command(const std::string &binary, const std::vector<std::string> &args,
                std::string *output, const std::string &cwd = "",
                const spawn_options &options = spawn_options());

int count_of(const std::string &text, const std::string &fragment);

// The process id a pid file holds, or 0.
pid_t pid_in(const std::string &path);
// A client of colvo's live socket (COLVO_SOCKET); -1 when refused.
int connect_live();
// Signals a process that is not our child (a detached daemon) and waits for
// its end.
bool stop_process(pid_t pid, int sig = 15);
