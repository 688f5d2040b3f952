// Processes and the startup event on Linux. A process handle is a pidfd; the named event is
// an abstract-namespace datagram socket bound to the event's name, which a datagram from the
// same user leaves readable for good (a manual-reset event that nobody resets).
#include "platform/fault_hooks.h"
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

// Handle value 0 means "no handle", so a descriptor must never be 0.
int off_zero(int fd) {
    if (fd != 0)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

int pidfd_open(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool is_socket(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

// Whether an event socket holds a signal from our own user. Datagrams of other users are
// consumed and ignored, as a session-local Windows event admits only its user.
bool event_signalled(int fd) {
    for (;;) {
        char byte;
        char control[CMSG_SPACE(sizeof(struct ucred))];
        iovec io{&byte, 1};
        msghdr msg{};
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (::recvmsg(fd, &msg, MSG_PEEK | MSG_DONTWAIT) < 0)
            return false;
        bool own_user = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred{};
                std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                own_user = cred.uid == ::getuid();
            }
        }
        if (own_user)
            return true;
        ::recv(fd, &byte, 1, MSG_DONTWAIT); // drop the foreign datagram
    }
}

long long now_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_un event_address(const native_text& name, socklen_t& length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t n = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), n); // leading NUL: abstract namespace
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return address;
}

// Blanks and tabs outside quotes separate arguments; 2n backslashes before a quote give n and
// the quote opens or closes a quoted run, 2n+1 give n and a literal quote; other backslashes
// are literal.
void split_arguments(const std::string& text, std::vector<std::string>& words) {
    std::string word;
    bool in_word = false;
    bool quoted = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '\\') {
            std::size_t count = 0;
            for (; pos < text.size() && text[pos] == '\\'; ++pos)
                ++count;
            const bool before_quote = pos < text.size() && text[pos] == '"';
            word.append(before_quote ? count / 2 : count, '\\');
            if (before_quote && count % 2 == 1) {
                word.push_back('"'); // an escaped quote
                ++pos;
            }
            in_word = true;
            continue; // an unescaped quote is taken on the next round
        }
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word.push_back(c);
            in_word = true;
        }
        ++pos;
    }
    if (in_word)
        words.push_back(word);
}

} // namespace

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::getpid());
}

os_handle open_process_for_wait(std::uint32_t pid) {
    if (pid == 0 || pid > 0x7FFFFFFF)
        return no_handle;
    const int fd = pidfd_open(static_cast<pid_t>(pid));
    return fd < 0 ? no_handle : off_zero(fd);
}

bool create_process(const path& application, const native_text& command_line,
                    const path& working_directory, process_info& out) {
    out = {};
    // The command line is "\"application\" arguments": skip the quoted program, then split
    // the rest as the Windows C runtime does.
    std::vector<std::string> words{application.native()};
    std::size_t pos = 0;
    if (!command_line.empty() && command_line[0] == '"') {
        const std::size_t close = command_line.find('"', 1);
        pos = close == native_text::npos ? command_line.size() : close + 1;
    }
    split_arguments(command_line.substr(pos), words);
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, working_directory.c_str());
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    pid_t pid = 0;
    const int rc =
        ::posix_spawn(&pid, application.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    const int fd = pidfd_open(pid);
    if (fd < 0)
        return false;
    out.process = off_zero(fd);
    out.process_id = static_cast<std::uint32_t>(pid);
    return true;
}

std::uint32_t wait_for_any(const os_handle* handles, std::size_t count,
                           std::uint32_t milliseconds) {
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i)
        fds[i] = {static_cast<int>(handles[i]), POLLIN, 0};
    const long long deadline = now_ms() + milliseconds;
    for (;;) {
        const long long left = std::max(0LL, deadline - now_ms());
        const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return wait_failed;
        for (std::size_t i = 0; i < count; ++i) {
            if (fds[i].revents & POLLNVAL)
                return wait_failed;
            if (fds[i].revents == 0)
                continue;
            if (!is_socket(fds[i].fd) || event_signalled(fds[i].fd))
                return static_cast<std::uint32_t>(wait_object_0 + i);
        }
        if (rc == 0 || now_ms() >= deadline)
            return wait_timeout;
    }
}

std::uint32_t wait_for_object(os_handle h, std::uint32_t milliseconds) {
    return wait_for_any(&h, 1, milliseconds);
}

bool terminate_process(os_handle process, std::uint32_t) {
    // Linux cannot choose the exit code of a killed process.
    return ::syscall(SYS_pidfd_send_signal, static_cast<int>(process), SIGKILL, nullptr, 0) == 0;
}

void close_handle(os_handle h) {
    ::close(static_cast<int>(h));
}

os_handle create_named_event(const native_text& name, int& last_error) {
    last_error = hooks::injected_error("create_event");
    if (last_error != 0)
        return no_handle;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        last_error = errno;
        return no_handle;
    }
    const int on = 1;
    socklen_t length = 0;
    const sockaddr_un address = event_address(name, length);
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        last_error = errno == EADDRINUSE ? EEXIST : errno;
        ::close(fd);
        return no_handle;
    }
    return off_zero(fd);
}

os_handle acquire_named_lock(const native_text& name) {
    // Binding the name succeeds for one socket at a time in the whole machine (the abstract
    // namespace belongs to the network namespace, not to a user or a login, and has no
    // permissions), as Windows' "Global\" mutex; the kernel frees it with the process, so a
    // crashed updater leaves no stale lock behind.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return no_handle;
    socklen_t length = 0;
    const sockaddr_un address = event_address(name, length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        ::close(fd);
        return no_handle;
    }
    return off_zero(fd);
}

bool signal_named_event(const native_text& name) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    socklen_t length = 0;
    const sockaddr_un address = event_address(name, length);
    const char byte = 1;
    const bool sent =
        ::sendto(fd, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), length) == 1;
    ::close(fd);
    return sent;
}

void show_error_message(const std::u16string& text) {
    // What the box would show, as UTF-8.
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (cp < 0x80) {
            line.push_back(static_cast<char>(cp));
            continue;
        }
        static constexpr unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
        const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        line.push_back(static_cast<char>(lead[tail] | (cp >> (6 * tail))));
        for (int k = tail - 1; k >= 0; --k)
            line.push_back(static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F)));
    }
    line.push_back('\n');
    // A message box never ends the program: when nobody reads standard error any more, the
    // write fails instead of raising SIGPIPE (blocked here, and a pending one taken back).
    sigset_t pipe_signal;
    sigset_t previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const ssize_t written = ::write(2, line.data(), line.size());
    if (written < 0 && errno == EPIPE) {
        const timespec no_wait{};
        ::sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Linux shows no window: the stand-in's updater has no display to show it on.
os_handle open_progress_window(progress_window_feed) {
    return no_handle;
}

void close_progress_window(os_handle) {}

} // namespace platform
