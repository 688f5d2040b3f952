// Staging of packages whose archives are always well formed, so that the fuzzing goes past
// the ZIP checks into the rules on names, duplicates, files against directories, links and
// manifests. The input describes the entries (see parse_package); a staged file must hold the
// bytes of its entry.
#include "fuzz_support.h"
#include "stage_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavrel::fuzz;
    const std::vector<tavrel::test::zip_entry_spec> entries = parse_package(as_text(data, size));
    std::map<std::string, std::string> contents;
    for (const auto& entry : entries)
        contents.emplace(entry.name, entry.content);
    stage_and_check(tavrel::test::build_zip(entries), &contents);
    return 0;
}
