#include "platform/platform.h"
#include "platform/posix/version_reader.h"

#include <fstream>
#include <iterator>

namespace platform {

version_info_result read_fixed_file_info(const path& file, std::vector<std::uint8_t>& block) {
    block.clear();
    file_status status;
    if (query_status(file, true, status) != 0 || status.kind != file_kind::regular)
        return version_info_result::unreadable;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return version_info_result::unreadable;
        const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        if (in.bad())
            return version_info_result::unreadable;
        return fixed_file_info_from_image(image, block);
    } catch (const std::exception&) {
        return version_info_result::unreadable; // an I/O error while reading
    }
}

} // namespace platform
