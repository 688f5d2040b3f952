// A file's bytes mapped read-only, for code that takes an archive as bytes (staging). A sparse
// file of any size costs no memory.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

namespace tavrel::test {

class mapped_file {
  public:
    explicit mapped_file(const std::filesystem::path& file);
    ~mapped_file();
    mapped_file(const mapped_file&) = delete;
    mapped_file& operator=(const mapped_file&) = delete;
    std::span<const unsigned char> bytes() const { return {data_, size_}; }

  private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace tavrel::test
