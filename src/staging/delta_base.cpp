#include "staging/delta_base.h"

#include "auth/ed25519/sha512.h"
#include "auth/version.h"
#include "delta/patch_reader.h"
#include "staging/destination.h"
#include "staging/zip_reader.h"

#include <stdexcept>

namespace tavrel {

namespace {

// The installed file of a package path, whole; false when it is not there. A link on the way
// is no base file.
bool read_installed(const path& app_dir, const std::string& package_path, std::uint64_t limit,
                    std::string& bytes) {
    const path relative_path = path_from_utf8(package_path);
    std::string error;
    if (!check_destination_path(app_dir, relative_path, error))
        throw std::runtime_error(error);
    const path file = join(app_dir, relative_path);
    const int code = platform::read_file(file, static_cast<std::size_t>(limit), bytes);
    if (platform::is_not_found(code))
        return false;
    if (code != 0)
        throw file_system_error("read", code, file);
    return bytes.size() <= limit;
}

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

sha512_digest sha512_of(std::span<const std::uint8_t> bytes) {
    sha512_digest digest{};
    sha512_context context;
    if (sha512_init(&context) != 0 || sha512_update(&context, bytes.data(), bytes.size()) != 0 ||
        sha512_final(&context, digest.data()) != 0)
        throw std::logic_error("SHA-512");
    return digest;
}

void check_delta_base(const path& app_dir, const delta_description& description) {
    app_version installed;
    try {
        installed = read_file_version(join(app_dir, path("Tavrel.exe")));
    } catch (const std::runtime_error&) {
        throw std::runtime_error(delta_base_mismatch);
    }
    if (!(installed == description.base))
        throw std::runtime_error(delta_base_mismatch);
    for (const delta_file& file : description.files) {
        if (file.kind == delta_kind::whole)
            continue;
        std::string bytes;
        if (!read_installed(app_dir, delta_base_path(file), std::uint64_t{1} << 31, bytes) ||
            sha512_of(as_bytes(bytes)) != file.base)
            throw std::runtime_error(delta_base_mismatch);
    }
}

std::vector<std::uint8_t> make_patched_file(const path& app_dir, const delta_file& file,
                                            std::span<const std::uint8_t> patch,
                                            std::uint64_t max_size) {
    std::string base;
    // Checked before staging began; changed since, it is no base of this patch.
    if (!read_installed(app_dir, delta_base_path(file), std::uint64_t{1} << 31, base))
        throw std::runtime_error(delta_base_mismatch);
    std::vector<std::uint8_t> result = apply_patch(as_bytes(base), patch, max_size);
    if (sha512_of(result) != file.result)
        throw std::runtime_error("An update file failed decompression or CRC validation.");
    return result;
}

std::optional<std::string> delta_base_refusal(const path& app_dir,
                                              std::span<const unsigned char> archive) {
    try {
        zip_reader reader;
        if (!reader.open(archive.data(), archive.size()))
            return "The update is not a valid ZIP archive.";
        for (std::uint64_t index = 0; index < reader.entry_count(); ++index) {
            std::string name;
            zip_entry_record record;
            if (!reader.entry_name(index, name) || name != delta_description_name)
                continue;
            if (!reader.entry_record(index, record) || record.size > max_delta_description_size)
                return "The update's delta description is invalid.";
            std::string text(static_cast<std::size_t>(record.size), '\0');
            if (!reader.extract(index, text.data(), record.size))
                return "An update file failed decompression or CRC validation.";
            check_delta_base(app_dir, parse_delta_description(text));
            return std::nullopt;
        }
        return "The update is not a delta package.";
    } catch (const std::exception& e) {
        return e.what();
    }
}

} // namespace tavrel
