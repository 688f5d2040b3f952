#include "support/signing.h"

#include "support/temp_tree.h"
#include "tools/signing_key.h"

namespace tavrel::test {

namespace {

const std::string keys = std::string(TAVREL_SOURCE_DIR) + "/tests/keys/test_update";

} // namespace

std::string sign_bytes_base64(std::span<const std::uint8_t> bytes) {
    return tools::signature_base64(tools::read_secret_key(keys + ".key"), bytes);
}

std::string test_signature_base64(const std::filesystem::path& file) {
    const std::string text = read_bytes(file);
    return sign_bytes_base64({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

std::string test_public_key_base64() {
    std::string text = read_bytes(keys + ".pub");
    if (text.ends_with('\n'))
        text.pop_back();
    return text;
}

} // namespace tavrel::test
