// tavrel-set-version INPUT OUTPUT A.B.C.D
//
// Copies an executable and sets the file version (and the product version) of its
// VS_FIXEDFILEINFO record: in the version resource of a PE file that Windows reads (ID 1, every
// language of it), or in the "Tavrel" version note of an ELF file. The copy keeps the permission
// bits of INPUT; OUTPUT may be INPUT. Exit codes: 0 success, 1 the file could not be read, changed
// or written, 2 usage errors.
#include "platform/posix/version_reader.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;
constexpr std::uint32_t fixed_file_info_structure_version = 0x00010000;
constexpr std::uint32_t flags_mask_all = 0x3F;
constexpr std::uint32_t os_nt_windows32 = 0x40004;
constexpr std::uint32_t file_type_application = 1;

// Field offsets inside the 52-byte record.
constexpr std::size_t at_signature = 0;
constexpr std::size_t at_file_version = 8;
constexpr std::size_t at_product_version = 16;

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct file_version {
    std::uint32_t most_significant = 0;  // major << 16 | minor
    std::uint32_t least_significant = 0; // patch << 16 | build
};

// Four decimal components of 0 to 65535, separated by single dots, nothing else.
std::optional<file_version> parse_four_part_version(std::string_view text) {
    std::uint32_t parts[4] = {};
    std::size_t index = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c == '.') {
            if (digits == 0 || ++index == 4)
                return std::nullopt;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            parts[index] = parts[index] * 10 + static_cast<std::uint32_t>(c - '0');
            if (++digits > 5 || parts[index] > 0xFFFF)
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (index != 3 || digits == 0)
        return std::nullopt;
    return file_version{parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]};
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t get_u32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
    return value;
}

std::vector<std::uint8_t> read_image(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw failure("cannot open \"" + file.string() + "\"");
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw failure("cannot read \"" + file.string() + "\"");
    return bytes;
}

void stamp(std::vector<std::uint8_t>& image, const std::filesystem::path& input,
           const file_version& version) {
    const platform::version_record found = platform::find_version_record(image);
    if (found.result != platform::version_info_result::ok)
        throw failure("\"" + input.string() +
                      "\" has no version record that can be stamped: " + found.problem);
    if (image[0] == 0x7F) {
        // The note is ours: write every field, as the demo application declares them.
        const std::uint32_t record[13] = {fixed_file_info_signature,
                                          fixed_file_info_structure_version,
                                          version.most_significant,
                                          version.least_significant,
                                          version.most_significant,
                                          version.least_significant,
                                          flags_mask_all,
                                          0,
                                          os_nt_windows32,
                                          file_type_application,
                                          0,
                                          0,
                                          0};
        for (std::size_t i = 0; i < 13; ++i)
            put_u32(image, static_cast<std::size_t>(found.offsets.front()) + 4 * i, record[i]);
        return;
    }
    // A resource compiler wrote these: change the versions only, in every language of the
    // resource, since languages that disagree would leave the version to the machine's settings.
    for (const std::uint64_t offset : found.offsets) {
        const std::size_t at = static_cast<std::size_t>(offset);
        if (get_u32(image, at + at_signature) != fixed_file_info_signature)
            throw failure("the version resource of \"" + input.string() +
                          "\" has a wrong signature");
        put_u32(image, at + at_file_version, version.most_significant);
        put_u32(image, at + at_file_version + 4, version.least_significant);
        put_u32(image, at + at_product_version, version.most_significant);
        put_u32(image, at + at_product_version + 4, version.least_significant);
    }
}

void write_image(const std::filesystem::path& output, const std::vector<std::uint8_t>& image,
                 std::filesystem::perms permissions) {
    {
        std::ofstream out(output, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
        out.close();
        if (!out)
            throw failure("cannot write \"" + output.string() + "\"");
    }
    std::error_code error;
    std::filesystem::permissions(output, permissions, std::filesystem::perm_options::replace,
                                 error);
    if (error)
        throw failure("cannot set the permissions of \"" + output.string() +
                      "\": " + error.message());
}

constexpr char usage_text[] = "usage: tavrel-set-version INPUT OUTPUT A.B.C.D\n"
                              "Copies the executable INPUT to OUTPUT with the file version "
                              "A.B.C.D\n(PE version resource or Linux ELF note).\n";

int run(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::cout << usage_text;
        return 0;
    }
    if (argc != 4)
        throw usage_error("expected three arguments");
    const std::filesystem::path input = argv[1];
    const std::filesystem::path output = argv[2];
    const std::optional<file_version> version = parse_four_part_version(argv[3]);
    if (!version)
        throw usage_error("\"" + std::string(argv[3]) +
                          "\" is not a version A.B.C.D with components 0 to 65535");
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(input, error);
    if (error)
        throw failure("cannot open \"" + input.string() + "\": " + error.message());
    std::vector<std::uint8_t> image = read_image(input);
    stamp(image, input, *version);
    write_image(output, image, status.permissions());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const usage_error& e) {
        std::cerr << "tavrel-set-version: " << e.what() << "\n" << usage_text;
        return exit_usage;
    } catch (const std::exception& e) {
        std::cerr << "tavrel-set-version: " << e.what() << '\n';
        return exit_failure;
    }
}
