#include "support/delta_package.h"

#include "delta/patch_writer.h"
#include "staging/delta_base.h"
#include "staging/delta_description.h"
#include "staging/package_manifest.h"
#include "support/zip_builder.h"

#include <zip.h>

#include <stdexcept>

namespace tavrel::test {

namespace {

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

std::map<std::string, std::string> unpacked_archive(const fs::path& archive) {
    int error = 0;
    zip_t* zip = zip_open(archive.c_str(), ZIP_RDONLY, &error);
    if (!zip)
        throw std::runtime_error("cannot open " + archive.string());
    std::map<std::string, std::string> files;
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
        zip_stat_t stat;
        zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat);
        const std::string name = stat.name;
        if (name.ends_with("/"))
            continue;
        std::string content(stat.size, '\0');
        zip_file_t* file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0);
        if (!file ||
            zip_fread(file, content.data(), stat.size) != static_cast<zip_int64_t>(stat.size))
            throw std::runtime_error("cannot read " + name);
        zip_fclose(file);
        files[name] = content;
    }
    zip_close(zip);
    return files;
}

std::string delta_archive(const fs::path& base_dir, const std::string& base_version,
                          const fs::path& full_archive, const std::string& description_header) {
    unsigned major = 0, minor = 0, patch = 0;
    std::sscanf(base_version.c_str(), "%u.%u.%u", &major, &minor, &patch);
    delta_description description{{major, minor, patch}, {}};
    std::vector<zip_entry_spec> entries;
    for (const auto& [name, now] : unpacked_archive(full_archive)) {
        if (name == package_manifest_name) {
            entries.push_back(file_entry(name, now, zip_deflated));
            continue;
        }
        const fs::path installed = base_dir / fs::u8path(name);
        if (!fs::is_regular_file(installed)) {
            description.files.push_back({delta_kind::whole, name, {}, {}, {}});
            entries.push_back(file_entry(name, now, zip_deflated));
            continue;
        }
        const std::string before = read_bytes(installed);
        if (before == now) {
            description.files.push_back(
                {delta_kind::kept, name, sha512_of(as_bytes(before)), {}, {}});
            continue;
        }
        description.files.push_back(
            {delta_kind::patched, name, sha512_of(as_bytes(before)), sha512_of(as_bytes(now)), {}});
        entries.push_back(file_entry(name, make_patch(as_bytes(before), as_bytes(now))));
    }
    std::string text = write_delta_description(description);
    text = description_header + text.substr(text.find('\n'));
    entries.push_back(file_entry(delta_description_name, text, zip_deflated));
    return build_zip(entries);
}

void use_delta(update_scenario& scenario) {
    scenario.replace_package(delta_archive(scenario.old_tree(), "2.0.3", scenario.archive()));
}

} // namespace tavrel::test
