// The download check against libsodium on one large archive.
//
//   signature_bench [MIB [ROUNDS [DIRECTORY]]]     defaults: 256 MiB, 5 rounds, the temp dir
//
// "check" is check_update_signature on the file: size and link queries, reading the whole
// file into a zero-filled buffer, S < L and Ed25519 with SHA-512. The peer reads the same file
// the same way and calls crypto_sign_verify_detached, so both times include reading the file
// (from the page cache after the warm-up). The in-memory lines compare verify_signature with
// crypto_sign_verify_detached on one buffer. The best round of each counts; target: check
// within 1.15 times the peer. Then the check with two trusted keys, for a signature by the
// second key and for a bad one, against the same peer (one key): what a rotation costs.
#include "auth/base64.h"
#include "auth/update_signature.h"
#include "auth/update_signature_internal.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using bytes = std::vector<std::uint8_t>;

// Read as the check reads: one zero-filled buffer of the known size.
bytes read_file(const fs::path& file, std::uint64_t size) {
    bytes buffer(size, 0);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(size));
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return buffer;
}

template <class function> double milliseconds(function f) {
    const auto start = clock_type::now();
    f();
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

struct figures {
    std::vector<double> times;
    double best() const { return *std::min_element(times.begin(), times.end()); }
    double median() const {
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

void report(const char* what, const figures& ours, const figures& peer) {
    std::printf("%-34s best %9.1f ms  median %9.1f ms\n", what, ours.best(), ours.median());
    std::printf("%-34s best %9.1f ms  median %9.1f ms\n", "  libsodium", peer.best(),
                peer.median());
    std::printf("%-34s %.3fx (best), %.3fx (median)\n", "  ratio", ours.best() / peer.best(),
                ours.median() / peer.median());
}

int run(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const fs::path base = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path();
    if (mib == 0 || mib > 512 || rounds < 1)
        throw std::runtime_error("usage: signature_bench [MIB (1-512) [ROUNDS [DIRECTORY]]]");
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");

    const fs::path dir = base / ("tavrel-signature-bench-" + std::to_string(randombytes_random()));
    fs::create_directory(dir);
    const fs::path archive = dir / "update.zip";
    const std::uint64_t size = mib << 20;
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_keypair(public_key, secret_key);
    {
        bytes content(size);
        randombytes_buf(content.data(), content.size());
        crypto_sign_detached(signature, nullptr, content.data(), content.size(), secret_key);
        std::ofstream out(archive, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        if (!out)
            throw std::runtime_error("cannot write " + archive.string());
    }
    const std::string signature_text =
        tavrel::encode_base64(std::span<const std::uint8_t>(signature, sizeof signature));
    const std::string key_text =
        tavrel::encode_base64(std::span<const std::uint8_t>(public_key, sizeof public_key));
    std::printf("archive: %llu MiB of random bytes, %d rounds\n",
                static_cast<unsigned long long>(mib), rounds);

    auto check = [&] {
        std::string error;
        tavrel::verified_archive verified;
        if (!tavrel::check_update_signature(archive, signature_text, size, key_text, verified,
                                            error))
            throw std::runtime_error("check failed: " + error);
    };
    auto peer = [&] {
        const bytes buffer = read_file(archive, size);
        if (crypto_sign_verify_detached(signature, buffer.data(), buffer.size(), public_key) != 0)
            throw std::runtime_error("libsodium refused the signature");
    };
    check(); // warm-up: the file is in the page cache for everyone from here on
    peer();
    figures ours_file;
    figures peer_file;
    for (int i = 0; i < rounds; ++i) {
        // Alternate the order so that neither side always runs on a warmer cache.
        if (i % 2 == 0) {
            ours_file.times.push_back(milliseconds(check));
            peer_file.times.push_back(milliseconds(peer));
        } else {
            peer_file.times.push_back(milliseconds(peer));
            ours_file.times.push_back(milliseconds(check));
        }
    }

    // Two trusted keys (a rotation): a signature by the second, and a bad one, each cost a pass
    // over the archive per key tried; against libsodium's one verify of the file.
    unsigned char other_public[crypto_sign_PUBLICKEYBYTES];
    unsigned char other_secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(other_public, other_secret);
    const std::string two_keys =
        tavrel::encode_base64(std::span<const std::uint8_t>(other_public, sizeof other_public)) +
        "," + key_text;
    bytes forged(signature, signature + sizeof signature);
    forged[0] ^= 1;
    const std::string forged_text = tavrel::encode_base64(forged);
    figures second_key;
    figures forged_two;
    for (int i = 0; i < rounds; ++i) {
        second_key.times.push_back(milliseconds([&] {
            std::string error;
            tavrel::verified_archive verified;
            if (!tavrel::check_update_signature(archive, signature_text, size, two_keys, verified,
                                                error))
                throw std::runtime_error("two keys: check failed: " + error);
        }));
        forged_two.times.push_back(milliseconds([&] {
            std::string error;
            tavrel::verified_archive verified;
            if (tavrel::check_update_signature(archive, forged_text, size, two_keys, verified,
                                               error))
                throw std::runtime_error("two keys: a bad signature passed");
        }));
    }

    const bytes buffer = read_file(archive, size);
    figures ours_memory;
    figures peer_memory;
    for (int i = 0; i < rounds; ++i) {
        ours_memory.times.push_back(milliseconds([&] {
            if (!tavrel::verify_signature(buffer, signature, public_key))
                throw std::runtime_error("verify_signature refused the signature");
        }));
        peer_memory.times.push_back(milliseconds([&] {
            if (crypto_sign_verify_detached(signature, buffer.data(), buffer.size(), public_key) !=
                0)
                throw std::runtime_error("libsodium refused the signature");
        }));
    }
    fs::remove_all(dir);

    report("check_update_signature (file read)", ours_file, peer_file);
    report("verify_signature (in memory)", ours_memory, peer_memory);
    report("two keys, signed by the second", second_key, peer_file);
    report("two keys, a bad signature", forged_two, peer_file);
    const double ratio = ours_file.best() / peer_file.best();
    std::printf("target: check within 1.15x of libsodium: %s\n", ratio <= 1.15 ? "met" : "MISSED");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "signature_bench: %s\n", e.what());
        return 1;
    }
}
