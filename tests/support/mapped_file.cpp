#include "support/mapped_file.h"

#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace tavrel::test {

mapped_file::mapped_file(const std::filesystem::path& file) {
    size_ = static_cast<std::size_t>(std::filesystem::file_size(file));
    if (size_ == 0)
        return;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + file.string());
    void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (data == MAP_FAILED)
        throw std::runtime_error("cannot map " + file.string());
    data_ = static_cast<const unsigned char*>(data);
}

mapped_file::~mapped_file() {
    if (data_)
        ::munmap(const_cast<unsigned char*>(data_), size_);
}

} // namespace tavrel::test
