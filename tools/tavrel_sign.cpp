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
#include "auth/base64.h"
#include "auth/update_signature.h"
#include "tools/signing_key.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace tavrel::tools;

constexpr int exit_invalid = 1;
constexpr int exit_failure = 2;

constexpr char usage_text[] = "usage: tavrel-sign keygen SECRET_KEY_FILE\n"
                              "       tavrel-sign public SECRET_KEY_FILE\n"
                              "       tavrel-sign sign SECRET_KEY_FILE FILE\n"
                              "       tavrel-sign verify PUBLIC_KEY_BASE64 SIGNATURE_BASE64 FILE\n";

std::vector<std::uint8_t> read_whole_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open \"" + name + "\": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error("cannot read \"" + name + "\"");
    return bytes;
}

int command_keygen(const std::string& name) {
    std::cout << public_key_base64(create_secret_key(name)) << '\n';
    return 0;
}

int command_public(const std::string& name) {
    std::cout << public_key_base64(read_secret_key(name)) << '\n';
    return 0;
}

int command_sign(const std::string& key_name, const std::string& file_name) {
    const key_pair pair = read_secret_key(key_name);
    const std::vector<std::uint8_t> message = read_whole_file(file_name);
    std::cout << signature_base64(pair, message) << '\n' << message.size() << '\n';
    return 0;
}

int command_verify(std::string_view key_text, std::string_view signature_text,
                   const std::string& file_name) {
    std::vector<std::uint8_t> public_key;
    if (!tavrel::decode_base64(key_text, public_key) || public_key.size() != 32)
        throw std::runtime_error("the public key is not 44 characters of Base64 naming 32 bytes");
    std::vector<std::uint8_t> signature;
    if (!tavrel::decode_base64(signature_text, signature))
        throw std::runtime_error("the signature is not valid Base64 (at most 128 characters)");
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
    if (command == "--help" && argc == 2) {
        std::cout << usage_text;
        return 0;
    }
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
        const int code = run(argc, argv);
        std::cout.flush();
        if (!std::cout)
            throw std::runtime_error("cannot write to standard output");
        return code;
    } catch (const std::exception& e) {
        std::cerr << "tavrel-sign: " << e.what() << '\n';
        return exit_failure;
    }
}
