// The readers of the version record in PE and ELF images, on arbitrary bytes.
#include "fuzz_support.h"
#include "platform/posix/version_reader.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel::fuzz;
    // A copy of the exact size, so that AddressSanitizer catches every read past the image.
    const std::vector<std::uint8_t> image(data, data + size);
    std::vector<std::uint8_t> block{1, 2, 3};
    const auto result = platform::fixed_file_info_from_image(image, block);
    std::uint64_t offset = 12345;
    const auto located = platform::fixed_file_info_offset(image, offset);
    const platform::version_record found = platform::find_version_record(image);
    report(std::to_string(static_cast<int>(result)));
    require(result == located && result == found.result, "the readers disagree");
    require((result == platform::version_info_result::ok) == found.problem.empty(),
            "a refusal without a reason, or an accepted record with one");
    require((result == platform::version_info_result::ok) != found.offsets.empty(),
            "an accepted record without an offset, or a refused one with offsets");
    for (const std::uint64_t at : found.offsets) // every record a tool would rewrite
        require(at <= image.size() && image.size() - at >= 52,
                "a version record lies outside the image");
    require(found.offsets.empty() || found.offsets.front() == offset,
            "the record read is not the first one found");
    require(result == platform::version_info_result::ok || block.empty(),
            "a failed read left bytes in the block");
    if (result != platform::version_info_result::ok)
        return 0;
    require(block.size() == 52, "the version record is not 52 bytes");
    require(offset <= image.size() && image.size() - offset >= 52,
            "the version record lies outside the image");
    require(std::equal(block.begin(), block.end(), image.begin() + static_cast<long>(offset)),
            "the record is not the bytes at its offset");
    return 0;
}
