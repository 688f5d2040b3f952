#include "tools/signing_key.h"

#include "auth/base64.h"

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tavrel::tools {

namespace {

constexpr std::string_view key_file_header = "tavrel-sign secret key 1\n";
constexpr std::size_t secret_key_text_size = 88;
constexpr std::size_t key_file_size = key_file_header.size() + secret_key_text_size + 1;
static_assert(sizeof(key_pair::public_key) == crypto_sign_PUBLICKEYBYTES);
static_assert(sizeof(key_pair::secret_key) == crypto_sign_SECRETKEYBYTES);

std::string system_text(int code) {
    return std::strerror(code);
}

std::vector<std::uint8_t> read_key_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open \"" + name + "\": " + system_text(errno));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error("cannot read \"" + name + "\"");
    return bytes;
}

void initialise() {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
}

} // namespace

key_pair read_secret_key(const std::string& name) {
    initialise();
    const std::vector<std::uint8_t> bytes = read_key_file(name);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::string not_a_key = "\"" + name + "\" is not a tavrel-sign secret key file";
    if (bytes.size() != key_file_size)
        throw std::runtime_error(not_a_key + " (" + std::to_string(bytes.size()) +
                                 " bytes, expected " + std::to_string(key_file_size) + ")");
    if (!text.starts_with(key_file_header) || text.back() != '\n')
        throw std::runtime_error(not_a_key + " (unknown format)");
    std::vector<std::uint8_t> secret;
    if (!decode_base64(text.substr(key_file_header.size(), secret_key_text_size), secret) ||
        secret.size() != crypto_sign_SECRETKEYBYTES)
        throw std::runtime_error(not_a_key + " (the key is not valid Base64)");
    // The stored public half must be the one that the seed gives, or signatures would not
    // verify against the printed public key.
    key_pair pair{};
    crypto_sign_seed_keypair(pair.public_key, pair.secret_key, secret.data());
    const bool consistent =
        sodium_memcmp(pair.secret_key, secret.data(), crypto_sign_SECRETKEYBYTES) == 0;
    sodium_memzero(secret.data(), secret.size());
    if (!consistent)
        throw std::runtime_error("\"" + name +
                                 "\" is damaged: its public half does not match its seed");
    return pair;
}

key_pair create_secret_key(const std::string& name) {
    initialise();
    key_pair pair{};
    crypto_sign_keypair(pair.public_key, pair.secret_key);
    std::string text(key_file_header);
    text += encode_base64(std::span<const std::uint8_t>(pair.secret_key, sizeof pair.secret_key));
    text += '\n';
    // O_EXCL: an existing key is never overwritten, whatever it holds.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::runtime_error("cannot create \"" + name + "\": " + system_text(errno));
    // The umask may only have taken bits away; make the mode exactly owner read/write.
    int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
    for (std::size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    sodium_memzero(text.data(), text.size());
    if (error != 0) {
        ::unlink(name.c_str()); // a partial key is worse than none
        throw std::runtime_error("cannot write \"" + name + "\": " + system_text(error));
    }
    return pair;
}

std::string public_key_base64(const key_pair& pair) {
    return encode_base64(std::span<const std::uint8_t>(pair.public_key, sizeof pair.public_key));
}

std::string signature_base64(const key_pair& pair, std::span<const std::uint8_t> message) {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, message.data(), message.size(), pair.secret_key);
    return encode_base64(std::span<const std::uint8_t>(signature, sizeof signature));
}

} // namespace tavrel::tools
