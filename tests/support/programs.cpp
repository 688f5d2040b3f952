#include "support/programs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrel::test {

namespace {

void become_subreaper() {
    static const bool done = [] { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }();
    (void)done;
}

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

int decode_status(int status) {
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
    : options_(options), started_(std::chrono::steady_clock::now()) {
    become_subreaper();
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> words{exe.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& [key, value] : options.environment)
            replaced = replaced || entry.rfind(key + "=", 0) == 0;
        if (!replaced)
            env_strings.push_back(entry);
    }
    // Of a name given twice, the later value counts.
    const auto& added = options.environment;
    for (auto it = added.begin(); it != added.end(); ++it)
        if (std::none_of(it + 1, added.end(),
                         [&](const auto& later) { return later.first == it->first; }))
            env_strings.push_back(it->first + "=" + it->second);
    std::vector<char*> envp;
    for (auto& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!options.working_directory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str());
    const int rc = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    if (rc != 0)
        throw std::runtime_error("cannot start " + exe.string() + ": " + std::strerror(rc));
}

child_process::~child_process() {
    if (!waited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0)
        ::close(out_fd_);
    if (err_fd_ >= 0)
        ::close(err_fd_);
}

run_result child_process::wait() {
    run_result result;
    const auto deadline = started_ + options_.timeout;
    // Read both pipes while waiting, so that a chatty child never blocks on a full pipe. The
    // pipes may outlive the child (programs it starts inherit them), so its exit decides.
    std::string out;
    std::string err;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timed_out = true;
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        if (::poll(fds, 2, 10) < 0 && errno != EINTR)
            continue;
        for (auto& f : fds) {
            if (f.fd < 0 || f.revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(f.fd, buffer, sizeof buffer);
            if (n <= 0)
                f.fd = -1;
            else
                (&f == &fds[0] ? out : err).append(buffer, static_cast<std::size_t>(n));
        }
    }
    waited_ = true;
    ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    out += drain(out_fd_);
    err += drain(err_fd_);
    result.exit_code = result.timed_out ? -1 : decode_status(status);
    result.out = out;
    result.err = err;
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started_);
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
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        int status = 0;
        const pid_t rc = ::waitpid(pid, &status, WNOHANG);
        if (rc == pid) {
            result.exit_code = decode_status(status);
            break;
        }
        if (rc < 0) {
            result.exit_code = -1;
            break;
        }
        if (std::chrono::steady_clock::now() - start > timeout) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return result;
}

} // namespace tavrel::test
