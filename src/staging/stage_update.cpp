#include "staging/stage_update.h"

#include "common/text.h"
#include "staging/delta_base.h"
#include "staging/delta_description.h"
#include "staging/destination.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"
#include "staging/staged_update.h"
#include "staging/staging_directory.h"
#include "staging/zip_reader.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

namespace tavrel {

namespace {

constexpr std::uint64_t max_archive_size = 0x20000000;
constexpr std::uint64_t max_archive_entries = 20000;
constexpr std::size_t max_name_size = 4096; // including the terminator
constexpr std::uint64_t max_file_size = 0x10000000;
constexpr std::uint64_t max_total_size = 0x80000000;
constexpr std::uint32_t unix_type_mask = 0xF0000000;
constexpr std::uint32_t unix_symbolic_link = 0xA0000000;

constexpr char executable_name[] = "Tavrel.exe";
constexpr char staged_files_directory[] = "new";

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

void require(bool condition, const char* message) {
    if (!condition)
        fail(message);
}

// No link on the way: what is looked at below the installation must lie in it.
void require_destination(const path& app_dir, const path& relative_path) {
    std::string error;
    if (!check_destination_path(app_dir, relative_path, error))
        fail(error);
}

// A link or reparse point as the installation directory would let the update land elsewhere.
void require_plain_directory(const path& app_dir) {
    const char* not_regular = "The application directory is not a regular directory.";
    platform::file_status own;
    if (const int code = platform::query_status(app_dir, false, own)) {
        if (!platform::is_not_found(code))
            throw file_system_error("symlink_status", code, app_dir);
    } else {
        require(own.kind != platform::file_kind::symlink &&
                    own.reparse_tag != platform::reparse_tag_symlink,
                not_regular);
    }
    std::uint32_t attributes = 0;
    require(!platform::get_file_attributes(app_dir, attributes) ||
                (attributes & platform::attribute_reparse_point) == 0,
            not_regular);
    platform::file_status target;
    if (const int code = platform::query_status(app_dir, true, target)) {
        if (platform::is_not_found(code))
            fail(not_regular);
        throw file_system_error("status", code, app_dir);
    }
    const bool link_target = (target.attributes & platform::attribute_reparse_point) != 0 &&
                             (target.reparse_tag == platform::reparse_tag_mount_point ||
                              target.reparse_tag == platform::reparse_tag_symlink);
    require(!link_target && (target.attributes & platform::attribute_directory) != 0, not_regular);
}

struct planned_file {
    std::uint64_t index = 0;
    path relative_path;
};

struct staging_plan {
    std::set<std::string> keys; // package paths of the files, ASCII-folded
    std::vector<planned_file> files;
    path manifest; // the package file manifest as stored, whatever its case; empty without one
    std::optional<std::uint64_t> description; // the entry of a delta package's description
    std::uint64_t largest = 0;                // uncompressed size of the largest file
    std::uint64_t total = 0;                  // uncompressed size of all files
};

// Names that a case-insensitive file system would merge, or that would make one path both a
// file and a directory there ("Lib" and "lib/x.dll" name one entry), are refused before
// anything is written, so that every back end judges a package as Windows does.
void require_distinct_on_windows(const std::vector<std::string>& names) {
    std::set<std::string> folded;
    for (const auto& name : names)
        require(folded.insert(folded_path_key(name)).second,
                "The update contains paths that alias on this filesystem.");
    for (const auto& key : folded)
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1))
            require(!folded.contains(key.substr(0, slash)),
                    "The update uses one path as both a file and directory.");
}

staging_plan plan_entries(const zip_reader& reader) {
    const char* invalid_entry = "The update contains an invalid or symbolic-link entry.";
    const char* expansion = "The update contains duplicate paths or exceeds expansion limits.";
    const std::uint64_t count = reader.entry_count();
    require(count != 0 && count <= max_archive_entries,
            "The update archive has an invalid number of entries.");
    staging_plan plan;
    bool has_executable = false;
    std::uint64_t total_size = 0;
    std::vector<std::string> names;
    std::string name;
    for (std::uint64_t index = 0; index < count; ++index) {
        const std::size_t name_size = reader.entry_name_size(index);
        zip_entry_record record;
        require(reader.entry_record(index, record) && name_size >= 2 && name_size <= max_name_size,
                invalid_entry);
        require((record.external_attributes & unix_type_mask) != unix_symbolic_link, invalid_entry);
        require(reader.entry_name(index, name) && name.size() + 1 == name_size,
                "Could not read an update entry name.");
        require(is_safe_package_path(name), "The update contains an unsafe Windows path.");
        if (reader.is_directory(index)) {
            // Directories come into being with the files below them; one that carries data
            // would be a file that the update silently leaves out.
            require(record.size == 0, invalid_entry);
            continue;
        }
        require(plan.keys.insert(to_ascii_lower(name)).second, expansion);
        require(record.size <= max_file_size && record.size <= max_total_size - total_size,
                expansion);
        path relative_path = path_from_utf8(name);
        if (name == executable_name)
            has_executable = true;
        names.push_back(name);
        if (folded_path_key(name) == delta_description_name) {
            // Read for the staging, never staged itself.
            require(name == delta_description_name && record.size <= max_delta_description_size,
                    "The update's delta description is invalid.");
            plan.description = index;
            continue;
        }
        if (folded_path_key(name) == package_manifest_name)
            plan.manifest = relative_path;
        plan.files.push_back({index, std::move(relative_path)});
        total_size += record.size;
        plan.largest = std::max(plan.largest, record.size);
    }
    require_distinct_on_windows(names);
    require(has_executable, "The update does not contain Tavrel.exe at its root.");
    plan.total = total_size;
    return plan;
}

std::uint32_t draw_random() {
    std::uint32_t value = 0;
    require(platform::random_u32(value), "Could not create an update staging directory.");
    return value;
}

// What a delta package brings, by package path (ASCII-folded as the plan's keys).
struct delta_plan {
    delta_description description;
    std::map<std::string, const delta_file*> by_key;
};

// The description of a delta package, consistent with its archive: the files it brings whole
// or patched are exactly the archive's (the manifest aside), the kept ones are not in it.
std::optional<delta_plan> read_delta_plan(const zip_reader& reader, const staging_plan& plan) {
    if (!plan.description)
        return std::nullopt;
    const char* invalid = "The update's delta description is invalid.";
    zip_entry_record record;
    require(reader.entry_record(*plan.description, record), "Could not inspect an update file.");
    std::string text(static_cast<std::size_t>(record.size), '\0');
    require(reader.extract(*plan.description, text.data(), record.size),
            "An update file failed decompression or CRC validation.");
    delta_plan delta{parse_delta_description(text), {}};
    std::size_t brought = 0;
    for (const delta_file& file : delta.description.files) {
        const std::string key = to_ascii_lower(file.path);
        require(delta.by_key.emplace(key, &file).second, invalid);
        const bool in_archive = plan.keys.contains(key);
        require(in_archive == (file.kind != delta_kind::kept), invalid);
        brought += in_archive ? 1 : 0;
    }
    require(brought + (plan.manifest.empty() ? 0 : 1) == plan.files.size(), invalid);
    return delta;
}

void extract_files(const zip_reader& reader, const staging_plan& plan,
                   const staged_update& transaction, const delta_plan* delta,
                   progress_meter* progress) {
    if (progress)
        progress->begin(progress_stage::staging, plan.total);
    const path new_dir = join(transaction.staging_dir, staged_files_directory);
    // One buffer for all files, so that its pages are faulted in only once.
    auto capacity = static_cast<std::size_t>(plan.largest);
    auto buffer = std::make_unique_for_overwrite<unsigned char[]>(capacity);
    for (const auto& file : plan.files) {
        zip_entry_record record;
        require(reader.entry_record(file.index, record), "Could not inspect an update file.");
        const auto size = static_cast<std::size_t>(record.size);
        if (size > capacity) {
            buffer.reset();
            buffer = std::make_unique_for_overwrite<unsigned char[]>(size);
            capacity = size;
        }
        require(reader.extract(file.index, buffer.get(), record.size),
                "An update file failed decompression or CRC validation.");
        // A patched file is staged as the new file its patch makes from the installed one.
        std::vector<std::uint8_t> patched;
        const unsigned char* staged = buffer.get();
        std::size_t staged_size = size;
        if (delta) {
            const auto found = delta->by_key.find(to_ascii_lower(path_to_utf8(file.relative_path)));
            if (found != delta->by_key.end() && found->second->kind == delta_kind::patched) {
                patched = make_patched_file(transaction.app_dir, *found->second,
                                            {buffer.get(), size}, max_file_size);
                staged = patched.data();
                staged_size = patched.size();
            }
        }
        const path destination = join(new_dir, file.relative_path);
        tavrel::create_directories(parent_path(destination));
        // Folded keys are unique, so an existing file means the file system merged two names
        // that the folding does not (a volume whose case table differs from ours).
        require(!path_exists(destination),
                "The update contains paths that alias on this filesystem.");
        require(platform::write_file(destination, staged, staged_size,
                                     platform::write_mode::durable) == 0,
                "Could not write an update staging file.");
        if (progress)
            progress->advance(size);
    }
}

// The installed manifest under whatever case an earlier package stored it: Windows finds it
// by the exact name anyway, a case-sensitive file system needs the listing.
path find_installed_manifest(const path& app_dir) {
    const path exact = join(app_dir, package_manifest_name);
    require_destination(app_dir, path(package_manifest_name));
    if (path_exists(exact))
        return exact;
    std::vector<path> children;
    bool advancing = false;
    if (const int code = platform::list_directory(app_dir, children, advancing))
        throw file_system_error("directory_iterator", code, app_dir);
    for (const path& child : children) {
        std::string name;
        if (platform::path_to_fs_narrow(child, name) == 0 &&
            folded_path_key(name) == package_manifest_name) {
            require_destination(app_dir, child);
            return join(app_dir, child);
        }
    }
    return {};
}

bool is_staged_file(const path& p) {
    platform::file_status status;
    const int code = platform::query_status(p, false, status);
    if (code != 0 && !platform::is_not_found(code))
        throw file_system_error("symlink_status", code, p);
    return code == 0 && status.kind == platform::file_kind::regular;
}

// The signed manifest must list exactly the archive's files; the installed one tells which
// installed files the new package drops: those that the staged tree, on the same volume and so
// under the same rules for names, does not hold as a file. A case-only rename thus replaces the
// file where the file system ignores case, and removes the old name where it does not.
// A delta package's manifest lists the files it keeps too, which stay where they are.
std::vector<update_entry> removals(const staging_plan& plan, const staged_update& transaction,
                                   const delta_plan* delta) {
    if (plan.manifest.empty()) {
        require(!delta, "The signed package manifest does not match its files.");
        return {};
    }
    const path new_dir = join(transaction.staging_dir, staged_files_directory);
    std::vector<std::string> listed;
    read_package_manifest(join(new_dir, plan.manifest), listed);
    const auto kept = [&](const std::string& key) {
        if (!delta)
            return false;
        const auto found = delta->by_key.find(key);
        return found != delta->by_key.end() && found->second->kind == delta_kind::kept;
    };
    std::size_t kept_count = 0;
    if (delta)
        for (const delta_file& file : delta->description.files)
            kept_count += file.kind == delta_kind::kept ? 1 : 0;
    // Listed keys are unique and never the manifest's own, so membership and size suffice.
    bool matches = listed.size() + 1 == plan.files.size() + kept_count;
    for (std::size_t i = 0; matches && i < listed.size(); ++i) {
        const std::string key = to_ascii_lower(listed[i]);
        matches = plan.keys.contains(key) || kept(key);
    }
    require(matches, "The signed package manifest does not match its files.");

    const path& app_dir = transaction.app_dir;
    const path installed_manifest = find_installed_manifest(app_dir);
    if (installed_manifest.empty())
        return {};
    std::vector<std::string> installed;
    read_package_manifest(installed_manifest, installed);
    std::vector<update_entry> entries;
    // A manifest that the new one does not replace (another case, where case counts) would
    // stay beside it, and the next update would read the stale one.
    const path installed_name = file_name(installed_manifest);
    if (!is_staged_file(join(new_dir, installed_name)))
        entries.push_back({installed_name, false, false, true});
    for (const auto& package_path : installed) {
        path relative_path = path_from_utf8(package_path);
        if (kept(to_ascii_lower(package_path)) || is_staged_file(join(new_dir, relative_path)))
            continue;
        require_destination(app_dir, relative_path);
        if (path_exists(join(app_dir, relative_path)))
            entries.push_back({std::move(relative_path), false, false, true});
    }
    return entries;
}

// Recovery reads no more entries and no larger journal, and an update that it could not undo
// must not begin.
void check_journal_limits(const staged_update& transaction) {
    require(transaction.entries.size() <= max_journal_entries,
            "Too many package replacement and removal entries.");
    require(recovery_journal_size(transaction.entries) <= max_journal_size,
            "The update recovery journal would be too large.");
}

void stage(staged_update& transaction, std::span<const unsigned char> archive,
           progress_meter* progress) {
    require_plain_directory(transaction.app_dir);
    transaction.app_dir = canonical_path(transaction.app_dir);
    require(!archive.empty() && archive.size() <= max_archive_size,
            "The update archive exceeds the allowed size.");
    zip_reader reader;
    require(reader.open(archive.data(), archive.size()), "The update is not a valid ZIP archive.");
    const staging_plan plan = plan_entries(reader);
    // A delta fits only its base: checked before anything is staged.
    const std::optional<delta_plan> delta = read_delta_plan(reader, plan);
    if (delta)
        check_delta_base(transaction.app_dir, delta->description);
    transaction.staging_dir = create_staging_directory(transaction.app_dir, draw_random);
    if (const int code = platform::clear_read_only(transaction.staging_dir))
        throw file_system_error("permissions", code, transaction.staging_dir);
    const delta_plan* delta_files = delta ? &*delta : nullptr;
    extract_files(reader, plan, transaction, delta_files, progress);
    transaction.entries = removals(plan, transaction, delta_files);
    for (const auto& file : plan.files)
        transaction.entries.push_back({file.relative_path, false, false, false});
    check_journal_limits(transaction);
    std::string error;
    if (!check_destinations(transaction.app_dir, transaction.entries, error))
        fail(error);
    // The staged files must be on the disk before the journal that names them.
    require(platform::flush_tree(transaction.staging_dir) == 0,
            "Could not write an update staging file.");
    transaction.prepared = true;
}

} // namespace

path create_staging_directory(const path& app_dir, const std::function<std::uint32_t()>& draw) {
    for (int attempt = 0; attempt < staging_directory_attempts; ++attempt) {
        const std::uint32_t first = draw();
        const std::uint32_t second = draw();
        const path candidate =
            join(app_dir, path(to_native(staging_directory_prefix) + decimal_text(second) +
                               to_native("-") + decimal_text(first)));
        const int code = platform::create_directory(candidate);
        if (code == 0)
            return candidate;
        platform::file_status status;
        const bool taken_by_directory = platform::is_already_exists(code) &&
                                        platform::query_status(candidate, false, status) == 0 &&
                                        status.kind == platform::file_kind::directory;
        if (!taken_by_directory)
            throw file_system_error("create_directory", code, candidate);
    }
    fail("Could not create an update staging directory.");
}

bool stage_update(staged_update& transaction, std::span<const unsigned char> archive,
                  std::string& error, progress_meter* progress) {
    error.clear();
    if (!transaction.staging_dir.empty()) {
        error = "This update package has already been staged.";
        return false;
    }
    try {
        stage(transaction, archive, progress);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

path staged_executable_path(const staged_update& transaction) {
    if (!transaction.prepared)
        return {};
    return join(join(transaction.staging_dir, staged_files_directory), executable_name);
}

} // namespace tavrel
