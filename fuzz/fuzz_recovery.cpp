// Recovery of an interrupted installation whose journal is the input. Whatever the journal
// says, recovery never throws, never touches anything outside the installation, and never
// puts a file into it that was neither installed nor backed up.
#include "fuzz_support.h"
#include "install/journal.h"
#include "install/recovery.h"

#include <string>

namespace {

using namespace tavrel::fuzz;

constexpr std::string_view retained = " Backups were retained for recovery.";

bool is_in_staging(const std::string& relative) {
    return relative == recovery_staging_name ||
           relative.starts_with(std::string(recovery_staging_name) + "/");
}

listing below(const listing& tree, const std::string& directory) {
    listing part;
    for (const auto& [name, n] : tree)
        if (name == directory || name.starts_with(directory + "/"))
            part.emplace(name, n);
    return part;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path root = work_dir() / "recovery";
    static const fs::path journal =
        root / "app" / recovery_staging_name / tavrel::journal_file_name;
    static const std::string journal_key = journal.lexically_relative(root).generic_string();
    // Most journals are refused before anything changes; then only the journal is rewritten,
    // and the tree is known without listing it.
    static listing built;
    static bool pristine = false;
    const std::string_view text = as_text(data, size);
    if (pristine) {
        write_file(journal, text);
    } else {
        build_interrupted_installation(root, text);
        built = list_tree(root);
    }
    listing before = built;
    before[journal_key].content = text;

    bool recovered = false;
    std::string error = "left over";
    {
        tavrel::update_transaction transaction(root / "app");
        recovered = tavrel::recover_transaction(transaction, error);
    }

    report(recovered ? "recovered" : error);
    require(recovered == error.empty(), "the result and the error text disagree");
    if (!recovered)
        require(error.size() > retained.size() && error.ends_with(retained),
                "a failure does not say that the backups were retained");
    // Journaled and not accepted: a successful recovery undoes it and removes its directory.
    if (recovered)
        require(!fs::exists(fs::symlink_status(root / "app" / recovery_staging_name)),
                "a recovered staging directory is still there");

    const listing after = list_tree(root);
    pristine = after == before;
    std::string offending;
    for (const auto& [name, n] : after) {
        if (name == "app" || name == "outside" || name.starts_with("outside/"))
            continue;
        require(name.starts_with("app/"), "recovery created " + name + " beside the installation");
        const std::string relative = name.substr(4);
        if (is_in_staging(relative))
            continue;
        // What stands there is what was installed, or a backup put back in its place.
        const auto installed = before.find(name);
        if (installed != before.end() && installed->second == n)
            continue;
        const auto backup =
            before.find("app/" + std::string(recovery_staging_name) + "/old/" + relative);
        if (n.type != 'l' && backup != before.end() && backup->second == n)
            continue;
        offending += relative + " ";
    }
    require(offending.empty(),
            "recovery made files that were neither installed nor backed up: " + offending);
    const listing outside_before = below(before, "outside");
    const listing outside_after = below(after, "outside");
    require(outside_after == outside_before,
            "recovery changed the directory beside the installation:\n" +
                describe_difference(outside_before, outside_after));
    return 0;
}
