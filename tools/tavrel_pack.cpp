// tavrel-pack SOURCE_DIR OUTPUT_ZIP
//
// Builds an update package from a directory tree: every regular file below SOURCE_DIR goes
// into the archive under its relative path, together with the package file manifest
// ".tavrel-package-files.txt" that lists them. The same tree always gives the same bytes
// (sorted entries, fixed time stamps and attributes), and a tree that the updater would
// refuse is refused here, naming the file at fault. Exit codes: 0 packed, 1 refused or
// failed, 2 wrong usage.
#include "tools/package_writer.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char usage_text[] = "usage: tavrel-pack SOURCE_DIR OUTPUT_ZIP\n"
                              "Writes the update package of the tree SOURCE_DIR (its files and\n"
                              "their package file manifest) to OUTPUT_ZIP.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    try {
        tavrel::tools::write_package(argv[1], argv[2]);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "tavrel-pack: %s\n", failure.what());
        return 1;
    }
    return 0;
}
