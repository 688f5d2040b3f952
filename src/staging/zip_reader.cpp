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

std::uint64_t little_endian(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// The entry names of the central directory, in order, byte for byte; empty when the records
// cannot be walked (libzip has already judged the archive, so that does not happen for one it
// opened).
std::vector<std::string> central_directory_names(const unsigned char* data, std::size_t size) {
    constexpr std::size_t end_record_size = 22;
    if (size < end_record_size)
        return {};
    std::size_t end = size - end_record_size;
    const std::size_t lowest = end > 0xFFFF ? end - 0xFFFF : 0;
    while (little_endian(data + end, 4) != 0x06054b50) {
        if (end == lowest)
            return {};
        --end;
    }
    std::uint64_t count = little_endian(data + end + 10, 2);
    std::uint64_t offset = little_endian(data + end + 16, 4);
    if ((count == 0xFFFF || offset == 0xFFFFFFFF) && end >= 20 &&
        little_endian(data + end - 20, 4) == 0x07064b50) {
        const std::uint64_t zip64_end = little_endian(data + end - 20 + 8, 8);
        if (zip64_end > size || size - zip64_end < 56 ||
            little_endian(data + zip64_end, 4) != 0x06064b50)
            return {};
        count = little_endian(data + zip64_end + 32, 8);
        offset = little_endian(data + zip64_end + 48, 8);
    }
    std::vector<std::string> names;
    std::uint64_t at = offset;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at > size || size - at < 46 || little_endian(data + at, 4) != 0x02014b50)
            return {};
        const std::uint64_t name_length = little_endian(data + at + 28, 2);
        const std::uint64_t record =
            46 + name_length + little_endian(data + at + 30, 2) + little_endian(data + at + 32, 2);
        if (size - at < record)
            return {};
        names.emplace_back(reinterpret_cast<const char*>(data + at + 46), name_length);
        at += record;
    }
    return names;
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
    if (archive_) {
        stored_names_ = central_directory_names(static_cast<const unsigned char*>(data), size);
        if (stored_names_.size() != entry_count())
            stored_names_.clear();
    }
    return archive_ != nullptr;
}

std::uint64_t zip_reader::entry_count() const {
    if (!archive_)
        return 0;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    return count < 0 ? 0 : static_cast<std::uint64_t>(count);
}

std::size_t zip_reader::entry_name_size(std::uint64_t index) const {
    if (index < stored_names_.size())
        return stored_names_[index].size() + 1;
    const char* name = raw_name(archive_, index);
    return name ? std::strlen(name) + 1 : 0;
}

bool zip_reader::entry_name(std::uint64_t index, std::string& name) const {
    if (index < stored_names_.size()) {
        name = stored_names_[index];
        return true;
    }
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
    stored_names_.clear();
}

} // namespace tavrel
