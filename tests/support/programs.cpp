#include "support/programs.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrel::test {

namespace {

using clock = std::chrono::steady_clock;

// The whole contents of a file that a child wrote through its descriptor.
std::string contents(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Waits for `pid` (a child, or an orphan handed to this subreaper) until `deadline`, then kills
// it; its exit code, or -1 after a signal or the deadline.
int wait_until(int pid, clock::time_point deadline, bool& timed_out) {
    int status = 0;
    for (pid_t rc; (rc = ::waitpid(pid, &status, WNOHANG)) != pid;) {
        if (rc < 0)
            return -1;
        if ((timed_out = clock::now() >= deadline)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::filesystem::path program(const std::string& name) {
    const std::filesystem::path root = TAVREL_BINARY_DIR;
    for (const char* dir : {"src/app", "tools", "bin", ""}) {
        const auto candidate = root / dir / name;
        if (std::filesystem::exists(candidate))
            return candidate;
    }
    throw std::runtime_error("program not built: " + name);
}

child_process::child_process(const std::filesystem::path& exe, const std::vector<std::string>& args,
                             const run_options& options)
    : options_(options), started_(clock::now()) {
    // Applications that the updater starts and leaves are handed to this process to reap.
    static const bool subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    (void)subreaper;
    // Output goes to memory files, which never fill up like a pipe, even when programs that
    // the child starts keep them open.
    out_fd_ = ::memfd_create("out", MFD_CLOEXEC);
    err_fd_ = ::memfd_create("err", MFD_CLOEXEC);
    std::vector<std::string> words{exe.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::map<std::string, std::string> variables; // the test's own, then the added ones
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        variables[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    for (const auto& [key, value] : options.environment)
        variables[key] = value;
    std::vector<std::string> entries;
    for (const auto& [key, value] : variables)
        entries.push_back(key + "=" + value);
    const auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> list;
        for (auto& text : texts)
            list.push_back(text.data());
        list.push_back(nullptr);
        return list;
    };
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd_, 1);
    posix_spawn_file_actions_adddup2(&actions, err_fd_, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!options.working_directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
    const int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, pointers(words).data(),
                                 pointers(entries).data());
    posix_spawn_file_actions_destroy(&actions);
    if (out_fd_ < 0 || err_fd_ < 0 || rc != 0)
        throw std::runtime_error("cannot start " + exe.string() + ": " + std::strerror(rc));
}

child_process::~child_process() {
    if (!waited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_fd_);
    ::close(err_fd_);
}

run_result child_process::wait() {
    run_result result;
    result.exit_code = wait_until(pid_, started_ + options_.timeout, result.timed_out);
    waited_ = true;
    result.out = contents(out_fd_);
    result.err = contents(err_fd_);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - started_);
    return result;
}

run_result run(const std::filesystem::path& exe, const std::vector<std::string>& args,
               const run_options& options) {
    child_process child(exe, args, options);
    return child.wait();
}

ended_process::ended_process() {
    char true_program[] = "/bin/true";
    char* argv[] = {true_program, nullptr};
    if (::posix_spawn(&pid_, true_program, nullptr, nullptr, argv, environ) != 0)
        throw std::runtime_error("cannot start /bin/true");
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
}

ended_process::~ended_process() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

run_result wait_for_orphan(int pid, std::chrono::milliseconds timeout) {
    run_result result;
    const auto start = clock::now();
    result.exit_code = wait_until(pid, start + timeout, result.timed_out);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
    return result;
}

char process_state(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return 0;
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : 0;
}

} // namespace tavrel::test
