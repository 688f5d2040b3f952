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

// Where the end-of-central-directory record begins: the last signature whose comment length
// reaches exactly the end of the data, as the format defines it. A comment may itself hold
// the signature; a record that does not end the data is not the end record.
bool find_end_record(const unsigned char* data, std::size_t size, std::size_t& end) {
    constexpr std::size_t end_record_size = 22;
    if (size < end_record_size)
        return false;
    const std::size_t last = size - end_record_size;
    const std::size_t lowest = last > 0xFFFF ? last - 0xFFFF : 0;
    for (std::size_t at = last + 1; at-- > lowest;) {
        if (little_endian(data + at, 4) == 0x06054b50 &&
            little_endian(data + at + 20, 2) == last - at) {
            end = at;
            return true;
        }
    }
    return false;
}

} // namespace

bool read_central_directory_names(std::span<const unsigned char> archive,
                                  std::vector<std::string>& names) {
    names.clear();
    const unsigned char* data = archive.data();
    const std::size_t size = archive.size();
    std::size_t end = 0;
    if (!find_end_record(data, size, end))
        return false;
    std::uint64_t count = little_endian(data + end + 10, 2);
    std::uint64_t offset = little_endian(data + end + 16, 4);
    if ((count == 0xFFFF || offset == 0xFFFFFFFF) && end >= 20 &&
        little_endian(data + end - 20, 4) == 0x07064b50) {
        const std::uint64_t zip64_end = little_endian(data + end - 20 + 8, 8);
        if (zip64_end > size || size - zip64_end < 56 ||
            little_endian(data + zip64_end, 4) != 0x06064b50)
            return false;
        count = little_endian(data + zip64_end + 32, 8);
        offset = little_endian(data + zip64_end + 48, 8);
    }
    std::uint64_t at = offset;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at > size || size - at < 46 || little_endian(data + at, 4) != 0x02014b50)
            return false;
        const std::uint64_t name_length = little_endian(data + at + 28, 2);
        const std::uint64_t record =
            46 + name_length + little_endian(data + at + 30, 2) + little_endian(data + at + 32, 2);
        if (size - at < record)
            return false;
        names.emplace_back(reinterpret_cast<const char*>(data + at + 46), name_length);
        at += record;
    }
    return true;
}

namespace {

// libzip hands out a NUL inside a stored name as a blank.
bool same_name_as_libzip(std::string name, const char* libzip_name) {
    for (char& c : name)
        if (c == '\0')
            c = ' ';
    return libzip_name && name == libzip_name;
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
    if (!archive_)
        return false;
    // The names of the walk must be the very entries that libzip reads, one for one; an
    // archive that cannot be walked so is no valid update.
    bool consistent = read_central_directory_names({static_cast<const unsigned char*>(data), size},
                                                   stored_names_) &&
                      stored_names_.size() == entry_count();
    for (std::uint64_t i = 0; consistent && i < stored_names_.size(); ++i)
        consistent = same_name_as_libzip(stored_names_[i], raw_name(archive_, i));
    if (!consistent)
        release();
    return consistent;
}

std::uint64_t zip_reader::entry_count() const {
    if (!archive_)
        return 0;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    return count < 0 ? 0 : static_cast<std::uint64_t>(count);
}

std::size_t zip_reader::entry_name_size(std::uint64_t index) const {
    return index < stored_names_.size() ? stored_names_[index].size() + 1 : 0;
}

bool zip_reader::entry_name(std::uint64_t index, std::string& name) const {
    if (index >= stored_names_.size())
        return false;
    name = stored_names_[index];
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
