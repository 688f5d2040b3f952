#include "tools/package_writer.h"

#include "common/paths.h"
#include "common/text.h"
#include "staging/package_manifest.h"
#include "staging/package_path.h"

#include "auth/version.h"
#include "delta/patch_writer.h"
#include "staging/delta_base.h"
#include "staging/delta_description.h"

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace tavrel::tools {

namespace {

namespace fs = std::filesystem;

// What the updater accepts (see the staging of an update and its manifest reader).
constexpr std::size_t max_files = 19999;              // manifest paths; +1 for the manifest
constexpr std::size_t max_name_bytes = 4095;          // archive entry name
constexpr std::size_t max_line_units = 900;           // manifest line, UTF-16 code units
constexpr std::uint64_t max_file_size = 268435456;    // 256 MiB
constexpr std::uint64_t max_total_size = 2147483648;  // 2 GiB, manifest included
constexpr std::uint64_t max_manifest_size = 4194304;  // 4 MiB
constexpr std::uint64_t max_archive_size = 536870912; // 512 MiB
constexpr char manifest_header[] = "Tavrel package files 1";
// 2020-01-01 00:00:00 in MS-DOS form: no time zone can change it.
constexpr std::uint16_t fixed_dos_time = 0;
constexpr std::uint16_t fixed_dos_date = ((2020 - 1980) << 9) | (1 << 5) | 1;
constexpr std::uint32_t fixed_unix_mode = 0100644;

struct package_file {
    std::string name; // UTF-8, "/" between components
    fs::path source;  // or, when empty, `bytes`
    std::uint64_t size = 0;
    std::string bytes;
};

using refusal = package_refusal;

std::string in_quotes(const std::string& name) {
    return "\"" + name + "\"";
}

// Lists the regular files below `root`; links and special files are refused, empty
// directories simply contribute nothing.
std::vector<package_file> collect_files(const fs::path& root) {
    std::vector<package_file> files;
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec)
        throw refusal("cannot read the source directory " + in_quotes(root.string()) + ": " +
                      ec.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            throw refusal("cannot read the source directory: " + ec.message());
        const fs::path relative = it->path().lexically_relative(root);
        const std::string name = relative.generic_string();
        const fs::file_status status = it->symlink_status(ec);
        if (ec)
            throw refusal("cannot inspect " + in_quotes(name) + ": " + ec.message());
        if (fs::is_symlink(status))
            throw refusal("symbolic links cannot be packaged: " + in_quotes(name));
        if (fs::is_directory(status))
            continue;
        if (!fs::is_regular_file(status))
            throw refusal("not a regular file: " + in_quotes(name));
        const std::uintmax_t size = it->file_size(ec);
        if (ec)
            throw refusal("cannot inspect " + in_quotes(name) + ": " + ec.message());
        files.push_back({name, it->path(), size, {}});
    }
    return files;
}

// The package file manifest: UTF-16LE with a byte-order mark, the header, one path a line.
std::string manifest_bytes(const std::vector<package_file>& files) {
    std::u16string text = tavrel::utf8_to_utf16(manifest_header);
    text += u'\n';
    for (const package_file& file : files) {
        const std::u16string line = tavrel::utf8_to_utf16(file.name);
        if (line.size() > max_line_units)
            throw refusal(
                "path longer than " + std::to_string(max_line_units) +
                " UTF-16 code units in the package file manifest: " + in_quotes(file.name));
        text += line;
        text += u'\n';
    }
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    if (bytes.size() > max_manifest_size)
        throw refusal("the package file manifest would exceed 4 MiB");
    return bytes;
}

void check_names(const std::vector<package_file>& files) {
    if (files.size() > max_files)
        throw refusal("too many files: " + std::to_string(files.size()) + " (at most " +
                      std::to_string(max_files) + ")");
    std::map<std::string, std::string> folded;       // ASCII-folded key -> name as found
    std::map<std::string, std::string> windows_keys; // as Windows folds case -> name as found
    bool has_executable = false;
    std::uint64_t total = 0;
    for (const package_file& file : files) {
        try {
            tavrel::utf8_to_utf16(file.name);
        } catch (const tavrel::conversion_error&) {
            throw refusal("file name is not valid UTF-8: " + in_quotes(file.name));
        }
        if (!tavrel::is_safe_package_path(file.name))
            throw refusal("unsafe package path: " + in_quotes(file.name));
        if (file.name.size() > max_name_bytes)
            throw refusal("path longer than " + std::to_string(max_name_bytes) +
                          " bytes: " + in_quotes(file.name));
        const std::string key = tavrel::to_ascii_lower(file.name);
        if (key == "uninstall.exe" || key == ".tavrel-package-files.txt" ||
            key == ".tavrel-install-files.txt")
            throw refusal("reserved name at the package root: " + in_quotes(file.name));
        const auto [existing, inserted] = folded.emplace(key, file.name);
        if (!inserted)
            throw refusal("paths differ only in letter case: " + in_quotes(existing->second) +
                          " and " + in_quotes(file.name));
        const auto [alias, unique] =
            windows_keys.emplace(tavrel::folded_path_key(file.name), file.name);
        if (!unique)
            throw refusal(
                "paths that are one file on Windows: " + in_quotes(alias->second) + " and " +
                in_quotes(file.name) +
                " (the updater: \"The update contains paths that alias on this filesystem.\")");
        if (file.name == "Tavrel.exe")
            has_executable = true;
        if (file.size > max_file_size)
            throw refusal("file larger than 256 MiB: " + in_quotes(file.name));
        total += file.size;
        if (total > max_total_size)
            throw refusal("the files exceed 2 GiB in total at " + in_quotes(file.name));
    }
    for (const auto& [key, name] : windows_keys) {
        for (std::size_t slash = key.find('/'); slash != std::string::npos;
             slash = key.find('/', slash + 1)) {
            const auto file = windows_keys.find(key.substr(0, slash));
            if (file != windows_keys.end())
                throw refusal("path used both as a file and as a directory: " +
                              in_quotes(file->second) + " and " + in_quotes(name));
        }
    }
    if (!has_executable)
        throw refusal("the package has no Tavrel.exe at its root");
}

std::string read_whole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        throw std::runtime_error("cannot read " + in_quotes(file.string()));
    return bytes;
}

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// What the archive would hold for the file stored whole.
std::uint64_t deflated_size(const std::string& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                  9) != Z_OK)
        throw std::runtime_error("zlib");
    return size;
}

std::uint64_t total_size(const std::vector<package_file>& files) {
    std::uint64_t total = 0;
    for (const package_file& file : files)
        total += file.size;
    return total;
}

void set_fixed_metadata(zip_t* archive, zip_int64_t index) {
    const auto i = static_cast<zip_uint64_t>(index);
    if (zip_set_file_compression(archive, i, ZIP_CM_DEFLATE, 9) != 0 ||
        zip_file_set_dostime(archive, i, fixed_dos_time, fixed_dos_date, 0) != 0 ||
        zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, fixed_unix_mode << 16) != 0)
        throw std::runtime_error(zip_strerror(archive));
}

// The entries in name order, each deflated, with fixed metadata.
void write_archive(const fs::path& output, std::vector<const package_file*> order) {
    int code = 0;
    zip_t* archive = zip_open(output.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, code);
        const std::string text = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw std::runtime_error("cannot create " + in_quotes(output.string()) + ": " + text);
    }
    try {
        std::sort(order.begin(), order.end(),
                  [](const package_file* a, const package_file* b) { return a->name < b->name; });
        for (const package_file* file : order) {
            zip_source_t* source =
                file->source.empty()
                    ? zip_source_buffer(archive, file->bytes.data(), file->bytes.size(), 0)
                    : zip_source_file(archive, file->source.c_str(), 0,
                                      static_cast<zip_int64_t>(file->size));
            if (!source)
                throw std::runtime_error(zip_strerror(archive));
            const zip_int64_t index =
                zip_file_add(archive, file->name.c_str(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
                throw std::runtime_error(zip_strerror(archive));
            }
            set_fixed_metadata(archive, index);
        }
        if (zip_close(archive) != 0)
            throw std::runtime_error(zip_strerror(archive));
    } catch (...) {
        zip_discard(archive);
        throw;
    }
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(output, ec);
    if (ec || size > max_archive_size) {
        fs::remove(output, ec);
        throw refusal("the archive would exceed 512 MiB");
    }
}

// The files of the tree `source` in name order, checked as the updater would, and the manifest
// of the full package that lists them (a delta carries the same).
struct release_files {
    std::vector<package_file> files;
    package_file manifest;
};

release_files collect_release(const fs::path& source) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(source, ec)))
        throw refusal("not a directory: " + in_quotes(source.string()));
    release_files release{collect_files(source), {}};
    std::sort(release.files.begin(), release.files.end(),
              [](const package_file& a, const package_file& b) { return a.name < b.name; });
    check_names(release.files);
    std::string manifest = manifest_bytes(release.files);
    if (total_size(release.files) + manifest.size() > max_total_size)
        throw refusal("the files and the package file manifest exceed 2 GiB in total");
    release.manifest = {tavrel::package_manifest_name, {}, manifest.size(), std::move(manifest)};
    return release;
}

// A file's name in lower case, without its folder; and its extension ("" without one).
std::string lower_file_name(const std::string& name) {
    return tavrel::to_ascii_lower(name.substr(name.rfind('/') + 1));
}
std::string extension_of(const std::string& file_name) {
    const std::size_t dot = file_name.rfind('.');
    return dot == std::string::npos ? std::string() : file_name.substr(dot);
}

// A removed base file with the name that the choice of a base compares.
struct removed_file {
    package_file file;
    std::string name; // lower_file_name(file.name)
};
// By extension: a base is only looked for among files of the new file's extension.
using removed_files_by_extension = std::map<std::string, std::vector<removed_file>>;

// The base's regular files that the new release no longer has (compared as Windows compares
// names), each a possible base for a new file at another path.
removed_files_by_extension removed_files(const fs::path& base,
                                         const std::vector<package_file>& files) {
    std::set<std::string> kept;
    for (const package_file& file : files)
        kept.insert(tavrel::folded_path_key(file.name));
    removed_files_by_extension removed;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        std::string name = it->path().lexically_relative(base).generic_string();
        if (!tavrel::is_valid_utf8(name) || !tavrel::is_safe_package_path(name) ||
            tavrel::is_reserved_key(tavrel::folded_path_key(name)) ||
            kept.contains(tavrel::folded_path_key(name)))
            continue;
        std::string lower = lower_file_name(name);
        removed[extension_of(lower)].push_back(
            {{std::move(name), it->path(), it->file_size(ec), {}}, std::move(lower)});
    }
    for (auto& [extension, group] : removed)
        std::sort(group.begin(), group.end(), [](const removed_file& a, const removed_file& b) {
            return a.file.name < b.file.name;
        });
    return removed;
}

// The removed base file that a new file most likely grew from: one of the same name (its folder
// was moved or renamed), else the one whose name shares the longest beginning with the new
// name and has its extension (a version number in the name). None when no name is close or
// the sizes are far apart: a patch from an unrelated file only costs time.
const package_file* renamed_base(const package_file& file,
                                 const removed_files_by_extension& removed) {
    const std::string name = lower_file_name(file.name);
    const std::string extension = extension_of(name);
    const auto group = removed.find(extension);
    if (group == removed.end())
        return nullptr;
    const package_file* best = nullptr;
    std::tuple<bool, std::size_t, std::uint64_t> best_score{};
    for (const auto& [candidate, other] : group->second) {
        const bool same_name = other == name;
        const std::size_t shared = static_cast<std::size_t>(
            std::mismatch(name.begin(), name.end(), other.begin(), other.end()).first -
            name.begin());
        if (!same_name && (extension.empty() || shared < 3))
            continue;
        if (candidate.size > 4 * file.size + 4096 || file.size > 4 * candidate.size + 4096)
            continue;
        const std::uint64_t distance =
            candidate.size > file.size ? candidate.size - file.size : file.size - candidate.size;
        // Better: the same name, then a longer shared beginning, then closer sizes.
        const std::tuple<bool, std::size_t, std::uint64_t> score{same_name, shared, ~distance};
        if (!best || score > best_score) {
            best = &candidate;
            best_score = score;
        }
    }
    return best;
}

} // namespace

package_facts write_package(const fs::path& source, const fs::path& output) {
    const release_files release = collect_release(source);
    // One sorted list, the manifest in its place among the files.
    std::vector<const package_file*> order{&release.manifest};
    for (const package_file& file : release.files)
        order.push_back(&file);
    write_archive(output, order);
    return {release.files.size()};
}

namespace {

// How the delta brings one file: its line of the description, and the patch when it is patched.
struct delta_choice {
    tavrel::delta_file line;
    std::string patch;
};

delta_choice choose(const package_file& file, const fs::path& base,
                    const removed_files_by_extension& removed) {
    const delta_choice whole{{tavrel::delta_kind::whole, file.name, {}, {}, {}}, {}};
    std::string base_path;
    fs::path installed = base / tavrel::path_from_utf8(file.name);
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(installed, ec))) {
        const package_file* origin = renamed_base(file, removed);
        if (!origin)
            return whole;
        base_path = origin->name;
        installed = origin->source;
    }
    const std::string before = read_whole(installed);
    const std::string now = read_whole(file.source);
    if (before == now && base_path.empty())
        return {{tavrel::delta_kind::kept, file.name, tavrel::sha512_of(as_bytes(before)), {}, {}},
                {}};
    std::string patch = tavrel::make_patch(as_bytes(before), as_bytes(now));
    // A patch no smaller than the file deflated whole is not worth the base it needs.
    if (patch.size() >= deflated_size(now))
        return whole;
    return {{tavrel::delta_kind::patched, file.name, tavrel::sha512_of(as_bytes(before)),
             tavrel::sha512_of(as_bytes(now)), base_path},
            std::move(patch)};
}

// choose() for every file, on two threads at most: the patches of a large release take minutes
// on one core, and each thread holds a base, its result and their suffix array at a time.
std::vector<delta_choice> choose_all(const std::vector<package_file>& files, const fs::path& base,
                                     const removed_files_by_extension& removed) {
    std::vector<delta_choice> choices(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex failure_lock;
    std::exception_ptr failure;
    const auto work = [&] {
        for (std::size_t i; (i = next++) < files.size();) {
            try {
                choices[i] = choose(files[i], base, removed);
            } catch (...) {
                const std::lock_guard lock(failure_lock);
                failure = failure ? failure : std::current_exception();
                next = files.size();
            }
        }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, 2u);
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
    return choices;
}

} // namespace

delta_facts write_delta_package(const fs::path& source, const fs::path& base,
                                const fs::path& output) {
    const release_files release = collect_release(source);
    const std::vector<package_file>& files = release.files;
    delta_facts facts;
    tavrel::delta_description description;
    try {
        description.base = tavrel::read_file_version(base / "Tavrel.exe");
    } catch (const std::runtime_error& e) {
        throw refusal("the base " + in_quotes(base.string()) +
                      " has no readable Tavrel.exe: " + e.what());
    }
    facts.base = description.base;
    std::vector<delta_choice> choices = choose_all(files, base, removed_files(base, files));
    std::vector<package_file> entries;
    for (std::size_t i = 0; i < files.size(); ++i) {
        delta_choice& choice = choices[i];
        switch (choice.line.kind) {
        case tavrel::delta_kind::whole:
            entries.push_back(files[i]);
            ++facts.whole;
            break;
        case tavrel::delta_kind::kept:
            ++facts.kept;
            break;
        case tavrel::delta_kind::patched:
            facts.renamed += choice.line.base_path.empty() ? 0 : 1;
            entries.push_back({files[i].name, {}, choice.patch.size(), std::move(choice.patch)});
            ++facts.patched;
            break;
        }
        description.files.push_back(std::move(choice.line));
    }
    const std::string text = tavrel::write_delta_description(description);
    const package_file description_entry{tavrel::delta_description_name, {}, text.size(), text};
    std::vector<const package_file*> order{&description_entry, &release.manifest};
    for (const package_file& entry : entries)
        order.push_back(&entry);
    write_archive(output, order);
    return facts;
}

} // namespace tavrel::tools
