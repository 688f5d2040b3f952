// The Linux stand-in for the Windows file services. A symbolic link plays the part of a
// reparse point with the symbolic-link tag; Linux has no other reparse points.
#include "platform/fault_hooks.h"
#include "platform/platform.h"
#include "platform/transient_retry.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

file_status status_from(const struct stat& st, const char* p) {
    file_status out;
    if (S_ISLNK(st.st_mode)) {
        struct stat target {};
        out.kind = file_kind::symlink;
        out.attributes = attribute_reparse_point;
        out.reparse_tag = reparse_tag_symlink;
        if (::stat(p, &target) == 0 && S_ISDIR(target.st_mode))
            out.attributes |= attribute_directory;
    } else if (S_ISDIR(st.st_mode)) {
        out.kind = file_kind::directory;
        out.attributes = attribute_directory;
    } else {
        out.kind = S_ISREG(st.st_mode) ? file_kind::regular : file_kind::other;
        out.attributes = attribute_normal;
    }
    if ((st.st_mode & S_IWUSR) == 0)
        out.attributes |= attribute_read_only;
    return out;
}

int last_error() {
    return errno;
}

} // namespace

int query_status(const path& p, bool follow_links, file_status& out) {
    out = {};
    if (const int injected = hooks::injected_error("status"))
        return injected;
    struct stat st {};
    const int rc = follow_links ? ::stat(p.c_str(), &st) : ::lstat(p.c_str(), &st);
    if (rc != 0)
        return last_error();
    out = status_from(st, p.c_str());
    return 0;
}

bool get_file_attributes(const path& p, std::uint32_t& attributes) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        return false;
    attributes = status_from(st, p.c_str()).attributes;
    return true;
}

int query_file_size(const path& p, std::uint64_t& size) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0)
        return last_error();
    if (S_ISDIR(st.st_mode))
        return EISDIR;
    if (!S_ISREG(st.st_mode))
        return ENOTSUP;
    size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int canonical_path(const path& p, path& out) {
    char* resolved = ::realpath(p.c_str(), nullptr);
    if (!resolved)
        return last_error();
    out = resolved;
    std::free(resolved);
    return 0;
}

int current_directory(path& out) {
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer))
        return last_error();
    out = buffer;
    return 0;
}

int set_current_directory(const path& p) {
    return ::chdir(p.c_str()) == 0 ? 0 : last_error();
}

int list_directory(const path& dir, std::vector<path>& children, bool& failed_while_advancing) {
    children.clear();
    failed_while_advancing = false;
    if (const int injected = hooks::injected_error("list"))
        return injected;
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return last_error();
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(d);
        if (!entry) {
            const int code = errno;
            ::closedir(d);
            failed_while_advancing = code != 0;
            return code;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            children.emplace_back(name);
    }
}

int path_to_fs_narrow(const path& p, std::string& out) {
    out = p.native();
    return 0;
}

namespace {

int read_whole_file(const path& p, std::size_t limit, std::string& out) {
    out.clear();
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return last_error();
    char chunk[65536];
    while (out.size() <= limit) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = last_error();
            ::close(fd);
            return code;
        }
        if (n == 0)
            break;
        out.append(chunk, std::min(static_cast<std::size_t>(n), limit + 1 - out.size()));
    }
    ::close(fd);
    return 0;
}

} // namespace

int read_file(const path& p, std::size_t limit, std::string& out) {
    if (const int injected = hooks::injected_error("read"))
        return injected;
    return retry_transient("read", [&] { return read_whole_file(p, limit, out); });
}

namespace {

int write_whole_file(const path& p, const void* data, std::size_t size) {
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0777);
    if (fd < 0)
        return last_error();
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int code = n < 0 ? last_error() : EIO;
            ::close(fd);
            return code;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : last_error();
}

} // namespace

// Windows has no execute permission: any file can be started, a staged Tavrel.exe included.
// Files are created executable (within the umask) to behave the same way.
int write_file(const path& p, const void* data, std::size_t size, write_mode) {
    if (const int injected = hooks::injected_error("write"))
        return injected;
    if (const int code = retry_transient("write", [&] { return write_whole_file(p, data, size); }))
        return code;
    hooks::after_change("write", p);
    return 0;
}

int rename_replace(const path& from, const path& to) {
    if (const int injected = hooks::injected_error("rename"))
        return injected;
    if (const int code = retry_transient(
            "rename", [&] { return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : last_error(); }))
        return code;
    hooks::after_change("rename", to);
    return 0;
}

namespace {

// A file, or else an empty directory.
int delete_entry(const char* operation, const path& p) {
    return retry_transient(operation, [&] {
        if (::unlink(p.c_str()) == 0)
            return 0;
        if (errno != EISDIR && errno != EPERM)
            return last_error();
        return ::rmdir(p.c_str()) == 0 ? 0 : last_error();
    });
}

} // namespace

int remove_entry(const path& p) {
    if (const int injected = hooks::injected_error("remove"))
        return injected;
    if (const int code = delete_entry("remove", p))
        return code;
    hooks::after_change("remove", p);
    return 0;
}

namespace {

int remove_tree_below(const path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : last_error();
    if (S_ISDIR(st.st_mode)) {
        std::vector<path> children;
        bool advancing = false;
        if (const int code = list_directory(p, children, advancing))
            return code;
        for (const auto& child : children)
            if (const int code = remove_tree_below(p / child))
                return code;
    }
    if (const int code = delete_entry("remove_tree", p))
        return code;
    hooks::after_change("remove_tree", p);
    return 0;
}

} // namespace

int remove_tree(const path& p) {
    if (const int injected = hooks::injected_error("remove_tree"))
        return injected;
    return remove_tree_below(p);
}

int create_directory(const path& p) {
    if (const int injected = hooks::injected_error("create_directory"))
        return injected;
    if (::mkdir(p.c_str(), 0777) != 0)
        return last_error();
    hooks::after_change("create_directory", p);
    return 0;
}

int clear_read_only(const path& p) {
    if (const int injected = hooks::injected_error("clear_read_only"))
        return injected;
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0)
        return last_error();
    if ((st.st_mode & S_IWUSR) != 0)
        return 0;
    if (::chmod(p.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0)
        return last_error();
    hooks::after_change("clear_read_only", p);
    return 0;
}

flush_result flush_file(const path& p) {
    if (hooks::injected_error("flush_open"))
        return flush_result::open_failed;
    int fd = -1;
    retry_transient("flush_open", [&] {
        fd = ::open(p.c_str(), O_WRONLY | O_CLOEXEC);
        return fd < 0 ? last_error() : 0;
    });
    if (fd < 0)
        return flush_result::open_failed;
    const bool flushed = hooks::injected_error("flush") == 0 && ::fsync(fd) == 0;
    ::close(fd);
    if (!flushed)
        return flush_result::flush_failed;
    // A new file's name is durable only once its directory is flushed too.
    path directory = p.parent_path();
    if (directory.empty())
        directory = ".";
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return flush_result::flush_failed;
    const bool dir_flushed = ::fsync(dir_fd) == 0;
    ::close(dir_fd);
    if (!dir_flushed)
        return flush_result::flush_failed;
    hooks::after_flush(p);
    return flush_result::ok;
}

int flush_directory(const path& directory) {
    if (const int injected = hooks::injected_error("flush_directory"))
        return injected;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return last_error();
    const int code = ::fsync(fd) == 0 ? 0 : last_error();
    ::close(fd);
    if (code == 0)
        hooks::after_flush(directory);
    return code;
}

int flush_tree(const path& directory) {
    if (const int injected = hooks::injected_error("flush_tree"))
        return injected;
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return last_error();
    const int code = ::syncfs(fd) == 0 ? 0 : last_error();
    ::close(fd);
    if (code == 0)
        hooks::after_flush(directory);
    return code;
}

bool random_u32(std::uint32_t& out) {
    return ::getrandom(&out, sizeof out, 0) == static_cast<ssize_t>(sizeof out);
}

large_block allocate_large_block(std::size_t size) {
    void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return large_block(nullptr, large_block_deleter{0});
#ifdef MADV_HUGEPAGE
    ::madvise(block, size, MADV_HUGEPAGE); // advice only: 4 KiB pages still work
#endif
    return large_block(static_cast<unsigned char*>(block), large_block_deleter{size});
}

void large_block_deleter::operator()(unsigned char* block) const {
    if (block)
        ::munmap(block, size);
}

} // namespace platform
