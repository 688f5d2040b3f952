// A corpus of hostile packages, each signed with the test key and run through the real
// updater: every one must be refused with its message, leave the installation byte for byte
// as it was, and give the user the application back; the publisher's check
// (tavrel-release check) must give the same message.
#include "support/packages.h"
#include "support/programs.h"
#include "support/signing.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace tavrel::test {
namespace {

const std::string unsafe_path = "The update contains an unsafe Windows path.";
const std::string invalid_entry = "The update contains an invalid or symbolic-link entry.";
const std::string expansion = "The update contains duplicate paths or exceeds expansion limits.";
const std::string not_zip = "The update is not a valid ZIP archive.";
const std::string bad_data = "An update file failed decompression or CRC validation.";

struct hostile_package {
    std::string what;
    std::string bytes;
    std::string message;
};

std::string with_app(std::vector<zip_entry_spec> entries) {
    entries.push_back(file_entry("Tavrel.exe", "not really an executable"));
    return build_zip(entries);
}

std::string utf16le_manifest(const std::vector<std::string>& lines) {
    std::string bytes = "\xFF\xFE";
    for (const auto& line : lines) {
        for (const char c : line + "\n") {
            bytes.push_back(c);
            bytes.push_back('\0');
        }
    }
    return bytes;
}

void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// A non-recursive zip bomb: stored entries whose data overlap. Entry i's data is every local
// header after it plus a shared kernel, so n entries expand to about n times the kernel
// while the archive stays small. The sum passes 2 GiB.
std::string overlapping_zip_bomb(int entries, std::size_t kernel_size) {
    const std::string kernel(kernel_size, 'z');
    std::vector<std::string> names;
    for (int i = 0; i < entries; ++i)
        names.push_back("bomb/f" + std::to_string(100000 + i));
    const std::size_t header_size = 30 + names[0].size();
    // Data lengths and CRCs, from the last entry back to the first.
    std::vector<std::uint32_t> sizes(entries);
    std::vector<std::uint32_t> crcs(entries);
    std::vector<std::string> headers(entries);
    std::uint32_t crc_after = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(kernel.data()), static_cast<uInt>(kernel.size())));
    std::size_t size_after = kernel.size();
    for (int i = entries - 1; i >= 0; --i) {
        sizes[i] = static_cast<std::uint32_t>(size_after);
        crcs[i] = crc_after;
        std::string& h = headers[i];
        put32(h, 0x04034b50);
        put16(h, 20);
        put16(h, 0);
        put16(h, 0); // stored
        put16(h, 0);
        put16(h, 0x21);
        put32(h, crcs[i]);
        put32(h, sizes[i]);
        put32(h, sizes[i]);
        put16(h, static_cast<std::uint32_t>(names[i].size()));
        put16(h, 0);
        h += names[i];
        const std::uint32_t header_crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(h.data()), static_cast<uInt>(h.size())));
        crc_after = static_cast<std::uint32_t>(crc32_combine(header_crc, crc_after, size_after));
        size_after += h.size();
    }
    std::string zip;
    for (const auto& h : headers)
        zip += h;
    zip += kernel;
    const std::size_t central_offset = zip.size();
    for (int i = 0; i < entries; ++i) {
        std::string c;
        put32(c, 0x02014b50);
        put16(c, 20);
        put16(c, 20);
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put16(c, 0x21);
        put32(c, crcs[i]);
        put32(c, sizes[i]);
        put32(c, sizes[i]);
        put16(c, static_cast<std::uint32_t>(names[i].size()));
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put32(c, 0);
        put32(c, static_cast<std::uint32_t>(i * header_size));
        c += names[i];
        zip += c;
    }
    const std::size_t central_size = zip.size() - central_offset;
    put32(zip, 0x06054b50);
    put16(zip, 0);
    put16(zip, 0);
    put16(zip, static_cast<std::uint32_t>(entries));
    put16(zip, static_cast<std::uint32_t>(entries));
    put32(zip, static_cast<std::uint32_t>(central_size));
    put32(zip, static_cast<std::uint32_t>(central_offset));
    put16(zip, 0);
    return zip;
}

std::vector<hostile_package> corpus() {
    std::vector<hostile_package> packages;
    // Every spelling of a path that leaves the installation or names what it must not.
    const std::string unsafe_names[] = {
        "../evil.txt",
        "a/../../evil.txt",
        "/absolute.txt",
        "C:/windows/evil.txt",
        "C:evil.txt",
        "a\\..\\evil.txt",
        "dir\\evil.txt",
        "file.txt:stream",
        "file.txt::$DATA",
        "CON",
        "con.txt",
        "dir/NUL.dll",
        "Aux.tar.gz",
        "prn",
        "conin$",
        "CONOUT$.log",
        "com1.txt",
        "COM0",
        "LPT9.dll",
        "lpt0",
        "COM\xC2\xB9.txt",
        "lpt\xC2\xB2",
        "Com\xC2\xB3",
        "nul .txt",
        "lib/aux .x",
        "CON .log",
        "com1  .dll",
        "conout$ .txt",
        "LPT\xC2\xB9 .txt",
        "name.",
        "name ",
        "dir./file",
        "dir /file",
        "...",
        ".tavrel-update-1/x",
        ".TAVREL-UPDATE-9",
        "a//b",
        "./a",
        "a/./b",
        "a/..",
        "ctrl\x01.txt",
        "tab\tname",
        "a?b",
        "a*b",
        "a<b",
        "a>b",
        "a|b",
        "quote\"d",
        "dir//",
    };
    for (const auto& name : unsafe_names)
        packages.push_back({"path " + name, with_app({file_entry(name, "x")}), unsafe_path});
    packages.push_back({"path with a NUL byte inside",
                        with_app({file_entry(std::string("evil\0.txt", 9), "x")}), unsafe_path});
    packages.push_back(
        {"path with a NUL byte inside, and a comment that begins like an end record",
         build_zip({file_entry(std::string("a\0b.txt", 7), "x"), file_entry("Tavrel.exe", "x")},
                   {false, {}, std::string("PK\5\6", 4) + " and more comment", {}}),
         unsafe_path});

    packages.push_back({"symbolic link entry", with_app({symlink_entry("link.dll", "/etc/passwd")}),
                        invalid_entry});
    packages.push_back({"symbolic link entry with a safe-looking name",
                        with_app({symlink_entry("lib/ok.dll", "../../outside")}), invalid_entry});
    packages.push_back({"case-alias duplicates",
                        with_app({file_entry("Readme.txt", "a"), file_entry("README.TXT", "b")}),
                        expansion});
    packages.push_back({"case-alias duplicates in a directory",
                        with_app({file_entry("Lib/a.dll", "a"), file_entry("lib/A.DLL", "b")}),
                        expansion});
    packages.push_back({"file and directory of one name",
                        with_app({file_entry("plug", "a"), file_entry("plug/x.dll", "b")}),
                        "The update uses one path as both a file and directory."});
    packages.push_back({"file and directory differing in case",
                        with_app({file_entry("Plug", "a"), file_entry("plug/x.dll", "b")}),
                        "The update uses one path as both a file and directory."});
    {
        auto e = file_entry("innocent.txt", "x");
        e.local_name = "../evil.txt";
        packages.push_back({"local header name differs", with_app({e}), not_zip});
    }
    packages.push_back(
        {"overlapping entries (zip bomb)", overlapping_zip_bomb(2100, 1 << 20), expansion});
    {
        auto e = file_entry("big.dat", std::string(4096, 'a'));
        e.uncompressed_size = 1000;
        e.compressed_size = 1000;
        packages.push_back({"declared size smaller than the data", with_app({e}), bad_data});
    }
    {
        auto e = file_entry("big.dat", std::string(4096, 'a'), zip_deflated);
        e.uncompressed_size = 1000;
        packages.push_back({"deflated data longer than declared", with_app({e}), bad_data});
    }
    {
        // 30 KB that claim 300 MB: refused by the per-file limit before anything inflates.
        auto e = file_entry("ratio.dat", std::string(30000, 'r'));
        e.uncompressed_size = 300000000;
        packages.push_back({"10,000:1 expansion ratio", with_app({e}), expansion});
    }
    {
        std::vector<zip_entry_spec> many;
        for (int i = 0; i < 20000; ++i)
            many.push_back(file_entry("f/" + std::to_string(i), ""));
        packages.push_back({"20,001 entries", with_app(many),
                            "The update archive has an invalid number of entries."});
    }
    {
        auto flagged = file_entry("bad-\xFF\xFE.txt", "x");
        flagged.flags = zip_flag_utf8;
        packages.push_back({"UTF-8 flagged name that is not UTF-8", with_app({flagged}), not_zip});
        packages.push_back({"name that is not UTF-8", with_app({file_entry("bad-\xC3(.txt", "x")}),
                            "Invalid or incomplete multibyte or wide character"});
    }
    {
        auto encrypted = file_entry("secret.dat", "x");
        encrypted.flags = zip_flag_encrypted;
        packages.push_back({"encrypted entry", with_app({encrypted}), bad_data});
        auto bzip2 = file_entry("packed.dat", "x");
        bzip2.method = zip_bzip2;
        packages.push_back({"bzip2 entry", with_app({bzip2}), bad_data});
        auto wrong_crc = file_entry("crc.dat", "content");
        wrong_crc.crc = 0x12345678;
        packages.push_back({"corrupted CRC", with_app({wrong_crc}), bad_data});
    }
    packages.push_back({"no Tavrel.exe", build_zip({file_entry("tavrel.exe", "x")}),
                        "The update does not contain Tavrel.exe at its root."});
    packages.push_back({"manifest naming a missing file",
                        with_app({file_entry(".tavrel-package-files.txt",
                                             utf16le_manifest({"Tavrel package files 1",
                                                               "Tavrel.exe", "missing.dll"}))}),
                        "The signed package manifest does not match its files."});
    packages.push_back({"manifest with a traversal",
                        with_app({file_entry(".tavrel-package-files.txt",
                                             utf16le_manifest({"Tavrel package files 1",
                                                               "Tavrel.exe", "..\\evil"}))}),
                        "Package manifest contains an unsafe or duplicate path."});
    packages.push_back({"manifest listing the uninstaller",
                        with_app({file_entry("Uninstall.exe", "x"),
                                  file_entry(".tavrel-package-files.txt",
                                             utf16le_manifest({"Tavrel package files 1",
                                                               "Tavrel.exe", "Uninstall.exe"}))}),
                        "Package manifest contains an unsafe or duplicate path."});
    packages.push_back({"not an archive", std::string(4096, '\x55'), not_zip});
    packages.push_back({"bytes after the end record",
                        build_zip({file_entry("Tavrel.exe", "x")}, {false, "trailing", {}, {}}),
                        not_zip});
    return packages;
}

TEST(hostile_packages, are_refused_and_change_no_installed_byte) {
    installation inst;
    install_tree(inst, {{"Tavrel.exe", "demo-app 2.0.3.0"},
                        {"readme.txt", "installed"},
                        {"lib/a.dll", "library"}});
    const tree_snapshot before = snapshot_tree(inst.app_dir);
    const tree_snapshot root_before = snapshot_tree(inst.root);
    int tried = 0;
    for (const auto& package : corpus()) {
        SCOPED_TRACE(package.what);
        fs::remove(inst.log);
        fs::create_directories(inst.download_dir);
        write_bytes(inst.archive, package.bytes);
        const std::string signature = test_signature_base64(inst.archive);
        child_process app(program("tavrel-demo-app"), {"parent", inst.download_dir.string()});
        const run_result r =
            run(program("tavrel-updater"),
                {std::to_string(app.pid()), inst.app_dir.string(), inst.archive.string(), signature,
                 std::to_string(package.bytes.size()), "2.1.0"},
                with_environment(inst.environment()));
        app.wait();
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, package.message + "\n");
        EXPECT_EQ(snapshot_tree(inst.app_dir), before);
        // The publisher's check says what the updater said.
        const fs::path release = inst.root / "release";
        fs::create_directories(release);
        write_bytes(release / "update.zip", package.bytes);
        write_bytes(release / "update.json",
                    "{\"version\": \"2.1.0\", \"size\": " + std::to_string(package.bytes.size()) +
                        ", \"signature\": \"" + signature + "\"}\n");
        const run_result checked =
            run(program("tavrel-release"),
                {"check", release.string(), "--public-key", test_public_key_base64()});
        EXPECT_EQ(checked.exit_code, 1);
        EXPECT_EQ(checked.out, package.message + "\n");
        fs::remove_all(release);
        const auto starts = inst.starts(1);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0], "start --disable-splash|" + inst.app_dir.string());
        ++tried;
    }
    // Nothing was written anywhere else either (the download directory stays for a retry).
    fs::remove(inst.log);
    fs::remove_all(inst.download_dir);
    fs::create_directories(inst.download_dir);
    EXPECT_EQ(snapshot_tree(inst.root), root_before);
    std::cout << "hostile packages tried: " << tried << "\n";
}

} // namespace
} // namespace tavrel::test
