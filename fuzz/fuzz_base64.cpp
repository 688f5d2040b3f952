// Strict Base64: whatever decodes must be the one canonical text of its bytes.
#include "auth/base64.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel::fuzz;
    const std::string_view text = as_text(data, size);
    std::vector<std::uint8_t> bytes{1, 2, 3}; // the decoder must empty it first
    if (!tavrel::decode_base64(text, bytes))
        return 0;
    require(bytes.size() <= 96, "more than 96 bytes decoded");
    require(!bytes.empty(), "an empty text was accepted");
    require(tavrel::encode_base64(bytes) == text,
            "accepted a text that is not the canonical encoding");
    return 0;
}
