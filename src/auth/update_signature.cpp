#include "auth/update_signature.h"

#include "auth/base64.h"
#include "auth/ed25519/ed25519.h"
#include "auth/update_signature_internal.h"

#include <algorithm>
#include <array>
#include <exception>
#include <fstream>
#include <new>
#include <vector>

namespace tavrel {

namespace {

constexpr char message_bad_key_or_signature[] =
    "The update signature or configured public key is invalid.";
constexpr char message_not_verified[] =
    "The update signature could not be verified. No installed files were changed.";
constexpr char message_wrong_size_or_path[] =
    "The downloaded update has an unexpected size or path.";
constexpr char message_unreadable[] = "The downloaded update could not be read.";

constexpr std::uint64_t max_archive_size = 0x20000000; // 512 MiB, all of it held in memory
constexpr std::size_t signature_size = 64;
constexpr std::size_t public_key_size = 32;

// The group order L of RFC 8032, little-endian.
constexpr std::array<std::uint8_t, 32> group_order = {
    0xED, 0xD3, 0xF5, 0x5C, 0x1A, 0x63, 0x12, 0x58, 0xD6, 0x9C, 0xF7, 0xA2, 0xDE, 0xF9, 0xDE, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool fail(std::string& error, const char* message) {
    error = message;
    return false;
}

} // namespace

// S, bytes 32 to 63 of the signature, must be below L: otherwise S + L, S + 2L... would all be
// accepted for one message, and signatures would be malleable.
bool signature_scalar_below_order(std::span<const std::uint8_t> signature) {
    for (std::size_t i = 32; i-- > 0;) {
        const std::uint8_t s = signature[32 + i];
        if (s != group_order[i])
            return s < group_order[i];
    }
    return false; // S == L
}

bool verify_signature(std::span<const std::uint8_t> message,
                      std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> public_key,
                      const std::function<void(std::uint64_t)>& hashed) {
    if (signature.size() != signature_size || public_key.size() != public_key_size)
        return false;
    if (!signature_scalar_below_order(signature))
        return false;
    static constexpr unsigned char no_bytes[1] = {0};
    const unsigned char* data = message.empty() ? no_bytes : message.data();
    return ed25519_verify(signature.data(), data, message.size(), public_key.data(), hashed) == 1;
}

bool read_exact_file(const path& file, std::uint64_t size, verified_archive& archive,
                     progress_meter* progress) {
    // Every byte is overwritten by the read, so the block is not cleared first.
    archive.data = platform::allocate_large_block(static_cast<std::size_t>(size));
    if (!archive.data)
        throw std::bad_alloc();
    archive.size = static_cast<std::size_t>(size);
    std::ifstream in(file, std::ios::binary);
    constexpr std::uint64_t chunk = 16 << 20; // the progress bar moves as the file is read
    for (std::uint64_t done = 0; in && done < size;) {
        const std::uint64_t part = std::min(chunk, size - done);
        in.read(reinterpret_cast<char*>(archive.data.get() + done),
                static_cast<std::streamsize>(part));
        done += part;
        if (progress)
            progress->advance(part);
    }
    if (!in)
        return false;
    // A byte after the expected end means the file grew after its size was taken.
    return in.peek() == std::ifstream::traits_type::eof();
}

bool check_update_signature(const path& archive_path, std::string_view signature_text,
                            std::uint64_t expected_size, std::string_view public_keys,
                            verified_archive& archive, std::string& error,
                            progress_meter* progress) {
    error.clear();
    archive = {};
    std::vector<std::uint8_t> signature;
    if (!decode_base64(signature_text, signature) || signature.size() != signature_size)
        return fail(error, message_bad_key_or_signature);
    std::vector<std::vector<std::uint8_t>> keys;
    for (std::string_view rest = public_keys;;) {
        const std::size_t end = rest.find_first_of(",;");
        std::vector<std::uint8_t> key;
        if (!decode_base64(rest.substr(0, end), key) || key.size() != public_key_size ||
            keys.size() == max_public_keys)
            return fail(error, message_bad_key_or_signature);
        keys.push_back(std::move(key));
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }

    try {
        std::uint64_t size = 0;
        if (const int code = platform::query_file_size(archive_path, size))
            throw file_system_error("file_size", code, archive_path);
        if (size != expected_size || size == 0 || size > max_archive_size)
            return fail(error, message_wrong_size_or_path);
        // A link could point anywhere the application can write to; only the file itself counts.
        platform::file_status status;
        if (const int code = platform::query_status(archive_path, false, status)) {
            // Gone since the size query: the read below fails and says so.
            if (!platform::is_not_found(code))
                throw file_system_error("symlink_status", code, archive_path);
        } else if (status.kind == platform::file_kind::symlink) {
            return fail(error, message_wrong_size_or_path);
        }
        // The bar counts each byte twice: once read, once hashed (for the first key; a later
        // key is only tried when an update is signed with it, or forged).
        if (progress)
            progress->begin(progress_stage::download_check, 2 * size);
        std::uint64_t hashed_before = 0;
        const auto hashed = [&](std::uint64_t hashed_now) {
            if (progress && hashed_now > hashed_before)
                progress->advance(hashed_now - hashed_before);
            hashed_before = std::max(hashed_before, hashed_now);
        };
        verified_archive read;
        if (!read_exact_file(archive_path, size, read, progress))
            return fail(error, message_not_verified);
        // Ed25519 hashes the key with the message, so each key tried costs a pass over it.
        const bool verified = std::any_of(keys.begin(), keys.end(), [&](const auto& key) {
            return verify_signature(read.bytes(), signature, key, hashed);
        });
        if (!verified)
            return fail(error, message_not_verified);
        archive = std::move(read);
        return true;
    } catch (const std::exception&) {
        return fail(error, message_unreadable);
    }
}

} // namespace tavrel
