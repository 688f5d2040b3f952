// Running the real programs (updater, demo application, tools) from tests.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tavrel::test {

// Path of a program built by this build: "tavrel-updater", "tavrel-updater-test",
// "tavrel-demo-app", "tavrel-sign", "tavrel-pack", "tavrel-set-version".
std::filesystem::path program(const std::string& name);

struct run_options {
    std::filesystem::path working_directory;                      // empty: the test's own
    std::vector<std::pair<std::string, std::string>> environment; // added to the test's own
    std::chrono::milliseconds timeout{180000};
};

using environment_list = std::vector<std::pair<std::string, std::string>>;
// "NAME=value" as a list of one variable; "" as none.
inline environment_list setting(const std::string& text) {
    if (text.empty())
        return {};
    return {{text.substr(0, text.find('=')), text.substr(text.find('=') + 1)}};
}
inline run_options with_environment(environment_list environment) {
    run_options options;
    options.environment = std::move(environment);
    return options;
}
inline run_options in_directory(std::filesystem::path directory,
                                environment_list environment = {}) {
    run_options options;
    options.working_directory = std::move(directory);
    options.environment = std::move(environment);
    return options;
}

struct run_result {
    int exit_code = -1; // -1 when killed by a signal or timed out
    bool timed_out = false;
    std::string out; // standard output
    std::string err; // standard error (the Linux updater's message box)
    std::chrono::milliseconds elapsed{0};
};

// A started program whose exit code the test collects. The test process is a child subreaper:
// it reaps what the program starts and leaves (the updater started by the demo application).
class child_process {
  public:
    child_process(const std::filesystem::path& exe, const std::vector<std::string>& args,
                  const run_options& options = {});
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    int pid() const { return pid_; }
    run_result wait();

  private:
    int pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    run_options options_;
    std::chrono::steady_clock::time_point started_;
    bool waited_ = false;
};

run_result run(const std::filesystem::path& exe, const std::vector<std::string>& args,
               const run_options& options = {});

// A process that has ended but is not reaped yet, whose id still opens: an application that
// exited right after starting the updater, at no cost of starting one for each of many runs.
class ended_process {
  public:
    ended_process();
    ~ended_process();
    ended_process(const ended_process&) = delete;
    ended_process& operator=(const ended_process&) = delete;
    int pid() const { return pid_; }

  private:
    int pid_ = -1;
};

// The state letter of /proc/PID/stat ('R', 'S', 'D', 'T' stopped, 'Z'), or 0 when gone.
char process_state(int pid);

// Waits for a process that is not our child but was reparented to us (subreaper).
run_result wait_for_orphan(int pid, std::chrono::milliseconds timeout);

} // namespace tavrel::test
