#include "support/mapped_file.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace tavrel::test {

mapped_file::mapped_file(const std::filesystem::path& file) {
    size_ = static_cast<std::size_t>(std::filesystem::file_size(file));
    if (size_ == 0)
        return;
#ifdef _WIN32
    const HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    const HANDLE mapping = h == INVALID_HANDLE_VALUE
                               ? nullptr
                               : CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    void* data = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (mapping)
        CloseHandle(mapping);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!data)
        throw std::runtime_error("cannot map " + file.string());
#else
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + file.string());
    void* data = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (data == MAP_FAILED)
        throw std::runtime_error("cannot map " + file.string());
#endif
    data_ = static_cast<const unsigned char*>(data);
}

mapped_file::~mapped_file() {
    if (!data_)
        return;
#ifdef _WIN32
    UnmapViewOfFile(data_);
#else
    ::munmap(const_cast<unsigned char*>(data_), size_);
#endif
}

} // namespace tavrel::test
