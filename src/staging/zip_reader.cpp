#include "staging/zip_reader.h"

#include <cstring>
#include <zip.h>

namespace tavrel {

namespace {

constexpr std::uint32_t dos_directory_attribute = 0x10;
constexpr std::uint16_t method_stored = 0;
constexpr std::uint16_t method_deflated = 8;
constexpr zip_uint64_t required_stat_fields = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE |
                                              ZIP_STAT_COMP_METHOD | ZIP_STAT_CRC |
                                              ZIP_STAT_ENCRYPTION_METHOD;

const char* raw_name(zip* archive, std::uint64_t index) {
    return archive ? zip_get_name(archive, index, ZIP_FL_ENC_RAW) : nullptr;
}

bool stat_entry(zip* archive, std::uint64_t index, zip_stat_t& st) {
    zip_stat_init(&st);
    return archive && zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &st) == 0 &&
           (st.valid & required_stat_fields) == required_stat_fields;
}

struct open_file {
    zip_file_t* file;
    ~open_file() {
        if (file)
            zip_fclose(file);
    }
};

} // namespace

bool zip_reader::open(const void* data, std::size_t size) {
    release();
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    if (!source) {
        zip_error_fini(&error);
        return false;
    }
    // CHECKCONS also compares every local header with the central directory.
    archive_ = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!archive_)
        zip_source_free(source);
    zip_error_fini(&error);
    return archive_ != nullptr;
}

std::uint64_t zip_reader::entry_count() const {
    if (!archive_)
        return 0;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    return count < 0 ? 0 : static_cast<std::uint64_t>(count);
}

std::size_t zip_reader::entry_name_size(std::uint64_t index) const {
    const char* name = raw_name(archive_, index);
    return name ? std::strlen(name) + 1 : 0;
}

bool zip_reader::entry_name(std::uint64_t index, std::string& name) const {
    const char* raw = raw_name(archive_, index);
    if (!raw)
        return false;
    name.assign(raw);
    return true;
}

bool zip_reader::entry_record(std::uint64_t index, zip_entry_record& record) const {
    zip_stat_t st;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (!stat_entry(archive_, index, st) ||
        zip_file_get_external_attributes(archive_, index, 0, &system, &attributes) != 0)
        return false;
    record.size = st.size;
    record.external_attributes = attributes;
    return true;
}

bool zip_reader::is_directory(std::uint64_t index) const {
    const char* name = raw_name(archive_, index);
    zip_entry_record record;
    if (!name || !entry_record(index, record))
        return false;
    const std::size_t length = std::strlen(name);
    return (length > 0 && name[length - 1] == '/') ||
           (record.external_attributes & dos_directory_attribute) != 0;
}

bool zip_reader::extract(std::uint64_t index, void* buffer, std::uint64_t size) const {
    zip_stat_t st;
    if (!stat_entry(archive_, index, st) || st.size != size || st.encryption_method != ZIP_EM_NONE)
        return false;
    // libzip would inflate more methods than the two an update may use.
    if (st.comp_method != method_stored && st.comp_method != method_deflated)
        return false;
    if (st.comp_method == method_stored && st.comp_size != st.size)
        return false;
    // libzip checks the CRC only when data was read; the CRC of no data is 0.
    if (size == 0 && st.crc != 0)
        return false;
    open_file file{zip_fopen_index(archive_, index, 0)};
    if (!file.file)
        return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint64_t done = 0;
    while (done < size) {
        const zip_int64_t n = zip_fread(file.file, out + done, size - done);
        if (n <= 0)
            return false;
        done += static_cast<std::uint64_t>(n);
    }
    // Reading past the end makes libzip compare the CRC, and finds data longer than declared.
    unsigned char extra = 0;
    if (zip_fread(file.file, &extra, 1) != 0)
        return false;
    const int closed = zip_fclose(file.file);
    file.file = nullptr;
    return closed == 0;
}

void zip_reader::release() {
    if (archive_)
        zip_discard(archive_);
    archive_ = nullptr;
}

} // namespace tavrel
