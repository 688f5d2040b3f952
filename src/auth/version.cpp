#include "auth/version.h"

#include <climits>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace tavrel {

namespace {

constexpr std::uint32_t max_component = 65535;
constexpr std::size_t fixed_file_info_size = 52;
constexpr std::uint32_t fixed_file_info_signature = 0xFEEF04BD;

constexpr char message_invalid_request[] = "The requested update version is invalid.";
constexpr char message_unreadable[] = "The application version could not be read.";
constexpr char message_invalid_resource[] = "The application version resource is invalid.";
constexpr char message_rule[] =
    "The signed update version does not match the feed or would downgrade Tavrel.";

std::uint32_t little_endian_u32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

} // namespace

app_version parse_version(const platform::native_text& text) {
    // The stream's own rules decide what a number is, on every platform alike: white space
    // before each item is skipped, "-1" wraps around, a value beyond 32 bits fails.
    static_assert(sizeof(unsigned int) == 4 && UINT_MAX == 0xFFFFFFFFu);
    using char_type = platform::native_text::value_type;
    std::basic_istringstream<char_type> in(text);
    unsigned int major = 0;
    unsigned int minor = 0;
    unsigned int patch = 0;
    char_type first_dot = 0;
    char_type second_dot = 0;
    in >> major >> first_dot >> minor >> second_dot >> patch;
    const bool valid = !in.fail() && first_dot == char_type('.') && second_dot == char_type('.') &&
                       in.peek() == std::basic_istringstream<char_type>::traits_type::eof() &&
                       major <= max_component && minor <= max_component && patch <= max_component;
    if (!valid)
        throw std::runtime_error(message_invalid_request);
    return {major, minor, patch};
}

app_version read_file_version(const path& executable) {
    std::vector<std::uint8_t> block;
    platform::version_info_result result = platform::version_info_result::unreadable;
    try {
        result = platform::read_fixed_file_info(executable, block);
    } catch (const std::exception&) {
        // A stream error while loading (a directory of that name, say) means the same as
        // version information that cannot be loaded.
    }
    switch (result) {
    case platform::version_info_result::ok:
        break;
    case platform::version_info_result::unreadable:
        throw std::runtime_error(message_unreadable);
    case platform::version_info_result::invalid:
        throw std::runtime_error(message_invalid_resource);
    }
    if (block.size() < fixed_file_info_size ||
        little_endian_u32(block, 0) != fixed_file_info_signature)
        throw std::runtime_error(message_invalid_resource);
    // dwFileVersionMS holds major.minor, dwFileVersionLS holds patch and a build number that
    // plays no part here.
    const std::uint32_t most_significant = little_endian_u32(block, 8);
    const std::uint32_t least_significant = little_endian_u32(block, 12);
    return {most_significant >> 16, most_significant & 0xFFFF, least_significant >> 16};
}

app_version current_app_version() {
    return {2, 0, 3};
}

void check_version_rule(const app_version& signed_version, const app_version& requested) {
    check_version_rule(signed_version, requested, current_app_version());
}

void check_version_rule(const app_version& signed_version, const app_version& requested,
                        const app_version& current) {
    if (signed_version.major != requested.major || signed_version.minor != requested.minor ||
        signed_version.patch != requested.patch)
        throw std::runtime_error(message_rule);
    const std::uint32_t signed_parts[] = {signed_version.major, signed_version.minor,
                                          signed_version.patch};
    const std::uint32_t current_parts[] = {current.major, current.minor, current.patch};
    for (int i = 0; i < 3; ++i) {
        if (signed_parts[i] != current_parts[i]) {
            if (signed_parts[i] < current_parts[i])
                break;
            return; // strictly newer
        }
    }
    throw std::runtime_error(message_rule); // equal to or older than the running release
}

} // namespace tavrel
