// The patch reader on arbitrary patches: the input is a base (its length in the first two
// bytes, little-endian) and then a patch. It may refuse with its message only, and what it
// accepts has the announced size. The same bytes as a result are also patched from the base
// and read back: the writer's patch must rebuild them exactly.
#include "delta/patch_reader.h"
#include "delta/patch_writer.h"
#include "fuzz_support.h"

#include <algorithm>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel::fuzz;
    if (size < 2)
        return 0;
    const std::size_t wanted = data[0] | (std::size_t{data[1]} << 8);
    const std::span<const std::uint8_t> rest(data + 2, size - 2);
    const auto base = rest.first(std::min(wanted, rest.size()));
    const auto patch = rest.subspan(base.size());
    constexpr std::uint64_t limit = 1 << 20;
    try {
        const std::vector<std::uint8_t> result = tavrel::apply_patch(base, patch, limit);
        require(result.size() == tavrel::patch_result_size(patch) && result.size() <= limit,
                "an accepted patch made a result of another size");
        report(std::to_string(result.size()) + " bytes made");
    } catch (const std::runtime_error& e) {
        require(std::string_view(e.what()) ==
                    "An update file failed decompression or CRC validation.",
                "a patch was refused with another message");
        report(e.what());
    }
    const std::string own = tavrel::make_patch(base, patch);
    const std::span<const std::uint8_t> own_bytes(reinterpret_cast<const std::uint8_t*>(own.data()),
                                                  own.size());
    require(std::ranges::equal(tavrel::apply_patch(base, own_bytes, patch.size()), patch),
            "a written patch does not rebuild its result");
    return 0;
}
