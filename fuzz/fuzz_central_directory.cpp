// The end-record search and the central-directory walk on their own, before libzip judges
// anything: no read outside the data; every name lies inside it; and when libzip opens the same
// bytes and the reader accepts them, the reader's names are the walk's, byte for byte.
#include "fuzz_support.h"
#include "staging/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tavrel::fuzz::require;
    const std::span<const unsigned char> bytes(data, size);
    std::vector<std::string> names;
    const bool walked = tavrel::read_central_directory_names(bytes, names);
    std::size_t name_bytes = 0;
    for (const std::string& name : names)
        name_bytes += name.size();
    require(name_bytes <= size, "the names hold more bytes than the archive");

    tavrel::zip_reader reader;
    if (!reader.open(data, size))
        return 0;
    require(walked, "the reader opened an archive whose central directory does not walk");
    require(reader.entry_count() == names.size(), "the reader and the walk count differently");
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string name;
        require(reader.entry_name(i, name) && name == names[i],
                "the reader's name differs from the walk's");
    }
    return 0;
}
