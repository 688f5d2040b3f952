// The only door to the operating system. Everything above this header is portable; the
// win32 back end makes the real Windows calls, the posix back end is the Linux stand-in.
// Functions report OS errors as codes (GetLastError values on Windows, errno on Linux) so
// that callers decide which errors mean "not found" and compose their own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

using path = std::filesystem::path;
// Wide text on Windows, UTF-8 bytes on Linux: the form of command lines and object names.
using native_text = path::string_type;

// An OS handle (process, thread, event). 0 and -1 both mean "no handle".
using os_handle = std::intptr_t;
inline constexpr os_handle no_handle = 0;
inline constexpr os_handle invalid_handle = -1;

// --- errors --------------------------------------------------------------------------------

// The system's description of an error code, trailing white space removed.
std::string error_description(int code);
// Errors 2, 3, 53, 64, 123, 267 (Linux: ENOENT, ENOTDIR): the path does not exist.
bool is_not_found(int code);
// Errors 2, 3, 53, 67, 123 (Linux: ENOENT, ENOTDIR): the narrower class of destination checks.
bool is_enoent_class(int code);
// Error 145 (Linux: ENOTEMPTY, EEXIST).
bool is_directory_not_empty(int code);
int directory_not_empty_error();
// Errors that another program causes for a moment by holding a file: 32 sharing violation,
// 33 lock violation, 5 access denied (Linux: EBUSY, ETXTBSY). File operations retry them a
// bounded time (transient_retry.h) before they report them.
bool is_transient(int code);
// Errors 183 and 80 (Linux: EEXIST).
bool is_already_exists(int code);
int already_exists_error();
// The error of a failed Unicode conversion (1113; Linux: EILSEQ).
int unicode_translation_error();

// --- file status -----------------------------------------------------------------------------

inline constexpr std::uint32_t attribute_read_only = 0x1;
inline constexpr std::uint32_t attribute_directory = 0x10;
inline constexpr std::uint32_t attribute_normal = 0x80;
inline constexpr std::uint32_t attribute_reparse_point = 0x400;
inline constexpr std::uint32_t reparse_tag_symlink = 0xA000000C;
inline constexpr std::uint32_t reparse_tag_mount_point = 0xA0000003;

enum class file_kind { not_found, regular, directory, symlink, junction, other };

struct file_status {
    file_kind kind = file_kind::not_found;
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0; // set when attributes carry attribute_reparse_point
};

// Status of `p`, following links or not. Returns 0, or the OS error (a missing path is an
// error code of the not-found class, with `out.kind` left as not_found).
int query_status(const path& p, bool follow_links, file_status& out);
// GetFileAttributesW: the attributes of the path itself (links are not followed).
bool get_file_attributes(const path& p, std::uint32_t& attributes);
// Size of a regular file, following links.
int query_file_size(const path& p, std::uint64_t& size);
// Reads the whole file (following links) into `out`, at most `limit` + 1 bytes, so that the
// caller sees a file larger than it accepts; shared for reading and writing meanwhile.
// Transient failures are retried as writes are.
int read_file(const path& p, std::size_t limit, std::string& out);
// Final path name with links resolved (GetFinalPathNameByHandleW / realpath).
int canonical_path(const path& p, path& out);
int current_directory(path& out);
// Windows cannot remove a directory that is a process's working directory, so the updater
// steps out of the download directory before removing it.
int set_current_directory(const path& p);

// Names of the direct children of `dir`. On failure `failed_while_advancing` tells whether
// the listing could not be opened (false) or broke off later (true).
int list_directory(const path& dir, std::vector<path>& children, bool& failed_while_advancing);

// File name to narrow text in the file-system code page, strictly (Linux: UTF-8 as stored).
int path_to_fs_narrow(const path& p, std::string& out);

// --- file-system changes (each one counted by the test build's fault hooks) ---------------

enum class write_mode {
    plain,
    // The contents must survive a power cut once flush_tree of a directory above the file has
    // returned. Windows flushes the file's handle before closing it (FlushFileBuffers); Linux
    // leaves the file to the one syncfs of flush_tree.
    durable,
};
// Creates or truncates `p` and writes `size` bytes; shared for reading and writing meanwhile.
int write_file(const path& p, const void* data, std::size_t size,
               write_mode mode = write_mode::plain);
// MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH:
// on Windows the move is on the disk when it returns (Linux: rename, made durable by the next
// flush_tree or flush_file).
int rename_replace(const path& from, const path& to);
// Removes a file (read-only ones too) or an empty directory. A missing path is an error code.
int remove_entry(const path& p);
// Removes `p` with everything below it. A missing path is no error.
int remove_tree(const path& p);
// Creates one directory; an existing entry of that name is an already-exists error.
int create_directory(const path& p);
// Clears the read-only attribute, following links.
int clear_read_only(const path& p);

enum class flush_result { ok, open_failed, flush_failed };
// Reopens an existing file for writing and forces it to the storage device
// (CreateFileW + FlushFileBuffers; Linux: fsync of the file and of its directory).
flush_result flush_file(const path& p);

// Forces the changes made below `directory` to the storage device: the contents of files
// written with write_mode::durable, and every name created, renamed or removed there.
// Linux: one syncfs of the file system that holds `directory`, which measured faster than an
// fsync of each file and directory. Windows: the files were flushed as they were written and
// the moves written through; FlushFileBuffers on the handle of each directory of the tree
// writes the entries created and removed (links are not followed).
int flush_tree(const path& directory);
// Forces the names created, renamed or removed directly in `directory` to the storage device
// (Linux: fsync of the directory; Windows: FlushFileBuffers on the directory's handle).
int flush_directory(const path& directory);

bool random_u32(std::uint32_t& out);

// --- memory ----------------------------------------------------------------------------------

// One large block (the update archive), not cleared. Linux asks for transparent huge pages,
// which spares most of the page faults of filling 200+ MiB; Windows uses VirtualAlloc.
struct large_block_deleter {
    std::size_t size = 0;
    void operator()(unsigned char* block) const;
};
using large_block = std::unique_ptr<unsigned char[], large_block_deleter>;
// Null when the memory cannot be had.
large_block allocate_large_block(std::size_t size);

// --- processes and the startup event -------------------------------------------------------

struct process_info {
    os_handle process = no_handle;
    os_handle thread = no_handle; // no_handle on Linux, where there is no thread handle
    std::uint32_t process_id = 0;
};

inline constexpr std::uint32_t wait_object_0 = 0;
inline constexpr std::uint32_t wait_timeout = 258;
inline constexpr std::uint32_t wait_failed = 0xFFFFFFFF;

std::uint32_t current_process_id();
// OpenProcess with synchronize access only, not inheritable; no_handle on failure.
os_handle open_process_for_wait(std::uint32_t pid);
// CreateProcessW(application, writable command line, no inheritance, flags 0, own environment,
// working directory). Linux: posix_spawn with argv split from the command line as the Windows
// C runtime splits it (quotes, and backslashes before quotes).
bool create_process(const path& application, const native_text& command_line,
                    const path& working_directory, process_info& out);
// WaitForSingleObject / WaitForMultipleObjects (wait for any).
std::uint32_t wait_for_object(os_handle h, std::uint32_t milliseconds);
std::uint32_t wait_for_any(const os_handle* handles, std::size_t count, std::uint32_t milliseconds);
bool terminate_process(os_handle process, std::uint32_t exit_code);
void close_handle(os_handle h);

// CreateEventW(manual reset, non-signalled, name). `last_error` is the error right after the
// call: 183 when the event already existed (Linux: the name is taken and no_handle is returned).
os_handle create_named_event(const native_text& name, int& last_error);
// The application's side: open the event of that name and signal it.
bool signal_named_event(const native_text& name);
// An exclusive lock that lives as long as its handle or the process, for every process of the
// machine when the name begins with "Global\": a named mutex (Linux: an abstract socket of that
// name, which has no sessions). no_handle when another process holds it, when it exists but
// this user may not open it (another user's), or when it cannot be created.
os_handle acquire_named_lock(const native_text& name);

// --- user interface and version resources --------------------------------------------------

// What the progress window shows, read from its own thread: whether it is due yet, and how far
// the update has come (0 to 1000).
struct progress_window_feed {
    std::function<bool()> due;
    std::function<std::uint32_t()> permille;
};
// Starts the progress window's thread: it shows a small window (caption "Tavrel Update",
// "Installing the update…", a progress bar) once the feed says it is due, and follows the
// feed. Linux shows nothing. no_handle when the thread cannot be started.
os_handle open_progress_window(progress_window_feed feed);
// Destroys the window, if it appeared, and ends its thread before returning.
void close_progress_window(os_handle window);

// MessageBoxW(no owner, text, "Tavrel Update", MB_ICONERROR); Linux: one line on stderr.
void show_error_message(const std::u16string& text);

enum class version_info_result { ok, unreadable, invalid };
// The 52-byte VS_FIXEDFILEINFO root block of the file's version information:
// unreadable = no version information, over 1 MiB, or it cannot be loaded;
// invalid = no root block or one shorter than 52 bytes.
version_info_result read_fixed_file_info(const path& file, std::vector<std::uint8_t>& block);

} // namespace platform
