// Writes small valid inputs (and a few near misses) for every fuzz target, made with the
// project's own writers and test helpers: make_seeds OUTPUT_DIR creates OUTPUT_DIR/<target>/.
#include "auth/base64.h"
#include "fuzz_support.h"
#include "install/journal.h"
#include "install/transaction.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <cstdio>
#include <fstream>
#include <regex>
#include <stdexcept>

namespace {

using namespace tavrel::fuzz;
namespace test = tavrel::test;
using bytes = std::vector<std::uint8_t>;

class seed_writer {
  public:
    seed_writer(const fs::path& output, const std::string& target) : dir_(output / target) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void add(std::string_view content) {
        write_file(dir_ / ("seed-" + std::to_string(++count_)), content);
    }
    void add(const bytes& content) {
        add(std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
    }

  private:
    fs::path dir_;
    int count_ = 0;
};

bytes to_bytes(std::string_view text) {
    return bytes(text.begin(), text.end());
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

bytes decoded(std::string_view base64) {
    bytes out;
    if (!tavrel::decode_base64(base64, out))
        throw std::runtime_error("bad Base64 in the seed generator: " + std::string(base64));
    return out;
}

bytes from_hex(const std::string& hex) {
    bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void base64_seeds(const fs::path& output) {
    seed_writer seeds(output, "base64");
    for (const std::size_t length : {1, 2, 3, 4, 32, 64, 95, 96})
        seeds.add(tavrel::encode_base64(bytes(length, static_cast<std::uint8_t>(0xA5 + length))));
    seeds.add(test::test_public_key_base64());
    seeds.add(test::sign_bytes_base64(to_bytes("seed")));
    const std::vector<std::string> near_misses = {
        "QQ==", "QR==", "QUI=", "QUJ=", "Q===", "QQ=A", "QUJD QUJD", "-_-_", std::string(132, 'A')};
    for (const std::string& near_miss : near_misses)
        seeds.add(near_miss);
}

void ed25519_seeds(const fs::path& output) {
    const std::vector<bytes> messages = {{},
                                         to_bytes("abc"),
                                         bytes(200, 0x5A),
                                         to_bytes(test::build_zip({test::file_entry("a", "b")}))};
    seed_writer fixed(output, "ed25519_fixed_key");
    for (const bytes& message : messages)
        fixed.add(concat({decoded(test::sign_bytes_base64(message)), message}));

    seed_writer any(output, "ed25519_any_key");
    const bytes key = decoded(test::test_public_key_base64());
    for (const bytes& message : messages)
        any.add(concat({key, decoded(test::sign_bytes_base64(message)), message}));
    // Public vectors, among them small-order keys and points, when the test data is at hand.
    const std::regex record(
        R"re("msg": "([0-9a-f]*)", "sig": "([0-9a-f]{128})", "pk": "([0-9a-f]{64})")re");
    for (const char* name : {"wycheproof.json", "speccheck.json"}) {
        const fs::path file = fs::path(TAVREL_TESTDATA_DIR) / "ed25519" / name;
        if (!fs::exists(file))
            continue;
        std::ifstream in(file);
        int taken = 0;
        for (std::string line; std::getline(in, line) && taken < 40;) {
            std::smatch m;
            if (!std::regex_search(line, m, record) || m[1].length() > 2 * 256)
                continue;
            any.add(concat({from_hex(m[3]), from_hex(m[2]), from_hex(m[1])}));
            ++taken;
        }
    }
}

void package_path_seeds(const fs::path& output) {
    seed_writer seeds(output, "package_path");
    for (const char* p : {"Tavrel.exe",
                          "lib/core.dll",
                          "dir/",
                          "dir//",
                          "a/./b",
                          "../a",
                          "name.",
                          "name ",
                          ".hidden",
                          "Con.tar.gz",
                          "dir/nul/file",
                          "conin$.log",
                          "com1",
                          "LPT9.txt",
                          "com10",
                          "com\xC2\xB9",
                          "COM\xC2\xB3.txt",
                          "com\xE2\x81\xB4",
                          ".tavrel-update-7",
                          ".TAVREL-UPDATE-x/y",
                          "dir/.tavrel-update-7",
                          ".tavrel-updater",
                          "\xC3\xA9.txt",
                          "a?b",
                          "a\tb",
                          "C:/x",
                          "a\\b",
                          "/a"})
        seeds.add(std::string_view(p));
    seeds.add(std::string_view("a\0b", 3));
}

void package_manifest_seeds(const fs::path& output) {
    seed_writer seeds(output, "package_manifest");
    const std::vector<std::string> paths = {"Tavrel.exe", "lib/core.dll", "docs/readme.txt"};
    seeds.add(manifest_bytes(paths));
    seeds.add(manifest_bytes(paths, "\r\n"));
    seeds.add(manifest_bytes({"Tavrel.exe", "lib\\core.dll", "\xC3\xA9t\xC3\xA9.txt"}));
    seeds.add(manifest_bytes({"Tavrel.exe", "TAVREL.EXE"}));
    seeds.add(manifest_bytes({"Uninstall.exe"}));
    seeds.add(manifest_bytes({std::string(900, 'x')}));
    seeds.add(manifest_bytes({}));
    seeds.add(std::string_view("\xFF\xFE", 2));
    std::string unterminated = manifest_bytes(paths);
    unterminated.resize(unterminated.size() - 2);
    seeds.add(unterminated);
}

// The journal that a commit writes for the interrupted installation of the recovery target,
// by the product's own writer, from the installation as it was before the first move.
std::string commit_journal(const fs::path& scratch, const std::vector<std::string>& paths) {
    const fs::path app = scratch / "app";
    fs::remove_all(scratch);
    for (const char* installed : {"Tavrel.exe", "lib/a.dll", "notes.txt", "keep.txt"}) {
        fs::create_directories((app / installed).parent_path());
        write_file(app / installed, "installed");
    }
    std::string journal;
    {
        tavrel::update_transaction transaction(app);
        transaction.staging_dir = app / recovery_staging_name;
        fs::create_directories(transaction.staging_dir);
        for (const std::string& p : paths)
            transaction.entries.push_back({tavrel::path_from_utf8(p), false, false, false});
        tavrel::write_recovery_journal(transaction);
        journal = read_file(transaction.staging_dir / tavrel::journal_file_name);
    } // the unfinished transaction's end removes its staging directory
    fs::remove_all(scratch);
    return journal;
}

void recovery_seeds(const fs::path& output, const fs::path& scratch) {
    seed_writer seeds(output, "recovery");
    const std::vector<std::string> paths = {"Tavrel.exe",  "lib/a.dll", "added.txt",
                                            "pending.txt", "notes.txt", "keep.txt"};
    seeds.add(commit_journal(scratch, paths));
    seeds.add(commit_journal(scratch, {"Tavrel.exe", "evil"}));
    seeds.add(commit_journal(scratch, {"link/sentinel"}));
    seeds.add(commit_journal(scratch, {"link2/sentinel", "Tavrel.exe"}));
    seeds.add(commit_journal(scratch, {"Tavrel.exe", "TAVREL.EXE"}));
    seeds.add(std::string_view("Tavrel update transaction 1\n  1   \"a \\\"quoted\\\\ name\"\n\n"
                               "0 unquoted.txt\n-1 \"x\"\n"));
    seeds.add(std::string_view("Tavrel update transaction 1\r\n1 \"Tavrel.exe\"\n"));
}

void put16(bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
void put64(bytes& b, std::size_t at, std::uint64_t v) {
    put32(b, at, static_cast<std::uint32_t>(v));
    put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}

bytes fixed_file_info() {
    bytes b(52, 0);
    const std::uint32_t fields[13] = {0xFEEF04BD, 0x00010000, 0x00020000, 0x00040011, 0x00020000,
                                      0x00040011, 0x3F,       0,          0x40004,    1,
                                      0,          0,          0};
    for (std::size_t i = 0; i < 13; ++i)
        put32(b, 4 * i, fields[i]);
    return b;
}

// A PE32+ image with one section, .rsrc: RT_VERSION / 1 / 0x409 -> VS_VERSIONINFO.
bytes make_pe(bool pe32plus) {
    bytes b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, 0x40);
    put32(b, 0x40, 0x00004550);
    put16(b, 0x44, 0x8664);
    put16(b, 0x46, 1);
    const std::size_t optional = 0x58;
    const std::size_t optional_size = pe32plus ? 0xF0 : 0xE0;
    const std::size_t directories = optional + (pe32plus ? 112 : 96);
    put16(b, 0x54, static_cast<std::uint32_t>(optional_size));
    put16(b, optional, pe32plus ? 0x20B : 0x10B);
    put32(b, directories - 4, 16);
    const std::size_t resource_size = 0x58 + 92;
    put32(b, directories + 16, 0x1000);
    put32(b, directories + 20, resource_size);
    const std::size_t section = optional + optional_size;
    std::copy_n(".rsrc", 5, b.begin() + static_cast<std::ptrdiff_t>(section));
    put32(b, section + 8, resource_size);
    put32(b, section + 12, 0x1000);
    put32(b, section + 16, 0x200);
    put32(b, section + 20, 0x200);
    const std::size_t r = 0x200;
    put16(b, r + 0x0E, 1);
    put32(b, r + 0x10, 16);
    put32(b, r + 0x14, 0x80000000 | 0x18);
    put16(b, r + 0x18 + 0x0E, 1);
    put32(b, r + 0x28, 1);
    put32(b, r + 0x2C, 0x80000000 | 0x30);
    put16(b, r + 0x30 + 0x0E, 1);
    put32(b, r + 0x40, 0x409);
    put32(b, r + 0x44, 0x48);
    put32(b, r + 0x48, 0x1000 + 0x58);
    put32(b, r + 0x4C, 92);
    const std::size_t info = r + 0x58;
    put16(b, info, 92);
    put16(b, info + 2, 52);
    const std::u16string key = u"VS_VERSION_INFO";
    for (std::size_t i = 0; i < key.size(); ++i)
        put16(b, info + 6 + 2 * i, key[i]);
    const bytes record = fixed_file_info();
    std::copy(record.begin(), record.end(), b.begin() + static_cast<std::ptrdiff_t>(info + 40));
    return b;
}

// An ELF64 file with one SHT_NOTE section holding the version note.
bytes make_elf(std::uint32_t descriptor_size) {
    const std::size_t padded = (descriptor_size + 3) & ~std::size_t{3};
    const std::size_t note_size = 12 + 8 + padded;
    const std::size_t sections = 64 + note_size;
    bytes b(sections + 2 * 64, 0);
    std::copy_n("\x7F"
                "ELF",
                4, b.begin());
    b[4] = 2;
    b[5] = 1;
    b[6] = 1;
    put16(b, 16, 2);
    put16(b, 18, 0x3E);
    put32(b, 20, 1);
    put64(b, 0x28, sections);
    put16(b, 0x34, 64);
    put16(b, 0x3A, 64);
    put16(b, 0x3C, 2);
    put32(b, 64, 7);
    put32(b, 68, descriptor_size);
    put32(b, 72, 0x56534649);
    std::copy_n("Tavrel", 6, b.begin() + 76);
    bytes record = fixed_file_info();
    record.resize(descriptor_size, 0);
    std::copy(record.begin(), record.end(), b.begin() + 84);
    put32(b, sections + 64 + 4, 7);
    put64(b, sections + 64 + 24, 64);
    put64(b, sections + 64 + 32, note_size);
    return b;
}

void version_reader_seeds(const fs::path& output) {
    seed_writer seeds(output, "version_reader");
    seeds.add(make_pe(true));
    seeds.add(make_pe(false));
    seeds.add(make_elf(52));
    seeds.add(make_elf(40));
    seeds.add(make_elf(60));
}

void stage_update_seeds(const fs::path& output, const fs::path& scratch) {
    seed_writer seeds(output, "stage_update");
    const std::string manifest = manifest_bytes({"Tavrel.exe", "readme.txt", "lib/new.dll"});
    seeds.add(test::build_zip({test::file_entry("Tavrel.exe", "new executable"),
                               test::file_entry("readme.txt", "new readme", test::zip_deflated),
                               test::directory_entry("lib/"),
                               test::file_entry("lib/new.dll", "new library"),
                               test::file_entry(".tavrel-package-files.txt", manifest)}));
    seeds.add(test::build_zip({test::file_entry("Tavrel.exe", "only the executable")}));
    seeds.add(test::build_zip({test::file_entry("Tavrel.exe", "x"),
                               test::file_entry("link/escape.txt", "through a link")}));
    seeds.add(test::build_zip(
        {test::file_entry("Tavrel.exe", "x"), test::symlink_entry("lib/evil", "../../outside")}));
    seeds.add(test::build_zip({test::file_entry("Tavrel.exe", "x"), test::file_entry("Lib", "f"),
                               test::file_entry("lib/x.dll", "d")}));
    // Real compression, by libzip.
    const fs::path archive = scratch / "libzip.zip";
    fs::create_directories(scratch);
    test::write_zip_with_libzip(archive, {{"Tavrel.exe", std::string(300, 'e')},
                                          {"docs/readme.txt", "read me, read me, read me"},
                                          {".tavrel-package-files.txt",
                                           manifest_bytes({"Tavrel.exe", "docs/readme.txt"})}});
    seeds.add(read_file(archive));
    fs::remove_all(scratch);
}

void central_directory_seeds(const fs::path& output) {
    seed_writer seeds(output, "central_directory");
    const std::string end_record_text("PK\5\6", 4);
    const std::vector<test::zip_entry_spec> entries = {
        test::file_entry("Tavrel.exe", "executable"), test::directory_entry("lib/"),
        test::file_entry(std::string("lib/a\0b.dll", 11), "library", test::zip_deflated)};
    for (const std::string& comment :
         {std::string(), std::string("a plain comment"), end_record_text + " begins this one",
          end_record_text + std::string(18, '\0'), "ends with " + end_record_text}) {
        seeds.add(test::build_zip(entries, {false, {}, comment, {}}));
        seeds.add(test::build_zip(entries, {true, {}, comment, {}}));
    }
    seeds.add(test::build_zip(entries, {false, {}, "declared too long", 40}));
    seeds.add(test::build_zip({}, {false, {}, end_record_text, {}}));
}

void stage_package_seeds(const fs::path& output) {
    seed_writer seeds(output, "stage_package");
    for (const char* description :
         {"@Tavrel.exe\tnew executable\nBreadme.txt\tnew readme\nAlib/\n"
          "@lib/new.dll\tnew library\nP.tavrel-package-files.txt\n",
          "@Tavrel.exe\tx\n@readme.txt\tkept\nP.tavrel-package-files.txt\n", "@Tavrel.exe\tx\n",
          "@tavrel.exe\tx\n", "@Tavrel.exe\tx\n@link/escape.txt\tthrough a link\n",
          "@Tavrel.exe\tx\nDlib/evil\t../../outside\n", "@Tavrel.exe\tx\n@Lib\tf\n@lib/x.dll\td\n",
          "@Tavrel.exe\tx\n@README.txt\ta\n@readme.TXT\tb\n",
          "@Tavrel.exe\tx\n@lib/A.dll\ta\nP.tavrel-package-files.txt\tTAVREL.EXE|LIB/a.dll\n",
          "@Tavrel.exe\tx\nP.tavrel-package-files.txt\tTavrel.exe|missing.txt\n",
          "@Tavrel.exe\tx\nHdata\n@data/file\ty\n",
          "@Tavrel.exe\tx\n@.tavrel-update-1/x\ty\n@dir/.tavrel-update-1\tz\n",
          "@Tavrel.exe\t\n@lib/old.dll/x\tunder a file\n"})
        seeds.add(std::string_view(description));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
        return 2;
    }
    try {
        const fs::path output = argv[1];
        const fs::path scratch = work_dir() / "seeds";
        base64_seeds(output);
        ed25519_seeds(output);
        package_path_seeds(output);
        package_manifest_seeds(output);
        recovery_seeds(output, scratch);
        version_reader_seeds(output);
        stage_update_seeds(output, scratch);
        stage_package_seeds(output);
        central_directory_seeds(output);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_seeds: %s\n", e.what());
        return 1;
    }
}
