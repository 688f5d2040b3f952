// tavrel-sign: the release side of update signatures.
//
//   tavrel-sign keygen SECRET_KEY_FILE   new key pair; prints the public key (44 characters)
//   tavrel-sign public SECRET_KEY_FILE   prints the public key of a secret key file
//   tavrel-sign sign SECRET_KEY_FILE FILE
//                                        prints the signature (88 characters), then the size
//   tavrel-sign verify PUBLIC_KEY SIGNATURE FILE
//                                        checks FILE with the updater's own verifier
//
// Exit codes: 0 success ("valid" for verify), 1 "invalid" (verify only), 2 any other failure.
// A secret key file is two lines: the identification line below, then the Base64 of the
// 64-byte libsodium secret key (seed followed by public key).
#include "auth/base64.h"
#include "auth/update_signature.h"

#include <sodium.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::string_view key_file_header = "tavrel-sign secret key 1\n";
constexpr std::size_t secret_key_text_size = 88;
constexpr std::size_t key_file_size = key_file_header.size() + secret_key_text_size + 1;

constexpr int exit_invalid = 1;
constexpr int exit_failure = 2;

// Anything that ends the program with exit code 2 and a message on standard error.
struct tool_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr char usage_text[] = "usage: tavrel-sign keygen SECRET_KEY_FILE\n"
                              "       tavrel-sign public SECRET_KEY_FILE\n"
                              "       tavrel-sign sign SECRET_KEY_FILE FILE\n"
                              "       tavrel-sign verify PUBLIC_KEY_BASE64 SIGNATURE_BASE64 FILE\n";

std::string system_text(int code) {
    return std::strerror(code);
}

std::vector<std::uint8_t> read_whole_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw tool_error("cannot open \"" + name + "\": " + system_text(errno));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw tool_error("cannot read \"" + name + "\"");
    return bytes;
}

struct key_pair {
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
};

key_pair read_secret_key(const std::string& name) {
    const std::vector<std::uint8_t> bytes = read_whole_file(name);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::string not_a_key = "\"" + name + "\" is not a tavrel-sign secret key file";
    if (bytes.size() != key_file_size)
        throw tool_error(not_a_key + " (" + std::to_string(bytes.size()) + " bytes, expected " +
                         std::to_string(key_file_size) + ")");
    if (!text.starts_with(key_file_header) || text.back() != '\n')
        throw tool_error(not_a_key + " (unknown format)");
    std::vector<std::uint8_t> secret;
    if (!tavrel::decode_base64(text.substr(key_file_header.size(), secret_key_text_size), secret) ||
        secret.size() != crypto_sign_SECRETKEYBYTES)
        throw tool_error(not_a_key + " (the key is not valid Base64)");
    // The stored public half must be the one that the seed gives, or signatures would not
    // verify against the printed public key.
    key_pair pair{};
    crypto_sign_seed_keypair(pair.public_key, pair.secret_key, secret.data());
    const bool consistent =
        sodium_memcmp(pair.secret_key, secret.data(), crypto_sign_SECRETKEYBYTES) == 0;
    sodium_memzero(secret.data(), secret.size());
    if (!consistent)
        throw tool_error("\"" + name + "\" is damaged: its public half does not match its seed");
    return pair;
}

void print_public_key(const key_pair& pair) {
    std::cout << tavrel::encode_base64(
                     std::span<const std::uint8_t>(pair.public_key, sizeof pair.public_key))
              << '\n';
}

int command_keygen(const std::string& name) {
    key_pair pair{};
    crypto_sign_keypair(pair.public_key, pair.secret_key);
    std::string text(key_file_header);
    text += tavrel::encode_base64(
        std::span<const std::uint8_t>(pair.secret_key, sizeof pair.secret_key));
    text += '\n';
    // O_EXCL: an existing key is never overwritten, whatever it holds.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw tool_error("cannot create \"" + name + "\": " + system_text(errno));
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
        throw tool_error("cannot write \"" + name + "\": " + system_text(error));
    }
    print_public_key(pair);
    return 0;
}

int command_public(const std::string& name) {
    print_public_key(read_secret_key(name));
    return 0;
}

int command_sign(const std::string& key_name, const std::string& file_name) {
    const key_pair pair = read_secret_key(key_name);
    const std::vector<std::uint8_t> message = read_whole_file(file_name);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, message.data(), message.size(), pair.secret_key);
    std::cout << tavrel::encode_base64(std::span<const std::uint8_t>(signature, sizeof signature))
              << '\n'
              << message.size() << '\n';
    return 0;
}

int command_verify(std::string_view key_text, std::string_view signature_text,
                   const std::string& file_name) {
    std::vector<std::uint8_t> public_key;
    if (!tavrel::decode_base64(key_text, public_key) || public_key.size() != 32)
        throw tool_error("the public key is not 44 characters of Base64 naming 32 bytes");
    std::vector<std::uint8_t> signature;
    if (!tavrel::decode_base64(signature_text, signature))
        throw tool_error("the signature is not valid Base64 (at most 128 characters)");
    const std::vector<std::uint8_t> message = read_whole_file(file_name);
    // A signature of the wrong length decodes, but the verifier refuses it: "invalid".
    if (tavrel::verify_signature(message, signature, public_key)) {
        std::cout << "valid\n";
        return 0;
    }
    std::cout << "invalid\n";
    return exit_invalid;
}

int run(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "keygen" && argc == 3)
        return command_keygen(argv[2]);
    if (command == "public" && argc == 3)
        return command_public(argv[2]);
    if (command == "sign" && argc == 4)
        return command_sign(argv[2], argv[3]);
    if (command == "verify" && argc == 5)
        return command_verify(argv[2], argv[3], argv[4]);
    std::cerr << usage_text;
    return exit_failure;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (sodium_init() < 0)
            throw tool_error("libsodium could not be initialised");
        const int code = run(argc, argv);
        std::cout.flush();
        if (!std::cout)
            throw tool_error("cannot write to standard output");
        return code;
    } catch (const std::exception& e) {
        std::cerr << "tavrel-sign: " << e.what() << '\n';
        return exit_failure;
    }
}
