// A small owner of a libzip archive opened over an in-memory buffer, offering only what
// staging needs. Names are the stored bytes, never converted from another code page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct zip;

namespace tavrel {

// The entry names of the central directory, in order, byte for byte (a NUL included), found
// from the end record that ends the data. False when the records cannot be walked.
bool read_central_directory_names(std::span<const unsigned char> archive,
                                  std::vector<std::string>& names);

struct zip_entry_record {
    std::uint64_t size = 0; // uncompressed
    std::uint32_t external_attributes = 0;
};

class zip_reader {
  public:
    zip_reader() = default;
    ~zip_reader() { release(); }
    zip_reader(const zip_reader&) = delete;
    zip_reader& operator=(const zip_reader&) = delete;

    // `data` must stay alive and unchanged until release. False: not a valid archive, or one
    // whose central directory does not walk to libzip's entries.
    bool open(const void* data, std::size_t size);
    std::uint64_t entry_count() const;
    // Length of the stored name plus one for its terminator; 0 when it cannot be read.
    std::size_t entry_name_size(std::uint64_t index) const;
    bool entry_name(std::uint64_t index, std::string& name) const;
    bool entry_record(std::uint64_t index, zip_entry_record& record) const;
    // The name ends in "/" or the DOS directory attribute 0x10 is set.
    bool is_directory(std::uint64_t index) const;
    // Inflates the entry into exactly `size` bytes and checks its CRC-32. Only stored and
    // deflated, unencrypted entries are accepted.
    bool extract(std::uint64_t index, void* buffer, std::uint64_t size) const;
    void release();

  private:
    zip* archive_ = nullptr;
    // The names as stored in the central directory. libzip hands out a NUL inside a name as a
    // blank, which would let such a name pass the path rule; these keep every byte.
    std::vector<std::string> stored_names_;
};

} // namespace tavrel
