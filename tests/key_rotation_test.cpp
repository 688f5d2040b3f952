// A release in the middle of a key rotation (tavrel-updater-rotation trusts a new key first and
// the test key after it): an update signed with either installs, one signed with a key it does
// not trust is refused as ever; the publisher's check takes the same list.
#include "support/installation.h"
#include "support/signing.h"

#include <gtest/gtest.h>

namespace tavrel::test {
namespace {

const fs::path keys = fs::path(TAVREL_SOURCE_DIR) / "tests/keys";

std::string signature_by(const fs::path& key, const fs::path& archive) {
    const run_result r = run(program("tavrel-sign"), {"sign", key.string(), archive.string()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
}

TEST(key_rotation, an_update_signed_with_any_trusted_key_installs) {
    update_scenario s(generated_version(false, 3, 2, 2), generated_version(true, 3, 2, 2));
    temp_dir other;
    ASSERT_EQ(run(program("tavrel-sign"), {"keygen", (other / "other.key").string()}).exit_code, 0);
    const std::string refused =
        "The update signature could not be verified. No installed files were changed.\n";
    struct row {
        std::string what;
        std::string updater;
        fs::path key;
        std::string message;
    };
    for (const row& r : std::vector<row>{
             {"the second of two keys (the old one)", "tavrel-updater-rotation",
              keys / "test_update.key", ""},
             {"the first of two keys (the new one)", "tavrel-updater-rotation",
              keys / "second_update.key", ""},
             {"a key that is not built in", "tavrel-updater-rotation", other / "other.key",
              refused},
             {"the new key, before a release trusts it", "tavrel-updater",
              keys / "second_update.key", refused},
         }) {
        SCOPED_TRACE(r.what);
        s.reset();
        s.package.signature = signature_by(r.key, s.archive());
        const run_result result = s.update(r.updater);
        EXPECT_EQ(result.err, r.message);
        EXPECT_EQ(result.exit_code, r.message.empty() ? 0 : 1);
        EXPECT_EQ(s.installed(), r.message.empty() ? s.new_files : s.old_files);
    }

    // The publisher's check foretells both verdicts from the same list.
    const fs::path out = s.inst.root / "release";
    fs::create_directories(out);
    fs::copy_file(s.archive(), out / "update.zip");
    const std::string second = read_bytes(keys / "second_update.pub");
    const std::string test = read_bytes(keys / "test_update.pub");
    const auto trimmed = [](std::string text) { return text.substr(0, text.find('\n')); };
    for (const auto& [list, verdict] :
         std::vector<std::pair<std::string, int>>{{trimmed(second) + "," + trimmed(test), 0},
                                                  {trimmed(second) + ";" + trimmed(test), 0},
                                                  {trimmed(second), 1}}) {
        SCOPED_TRACE(list);
        write_bytes(out / "update.json",
                    "{\n  \"version\": \"2.1.0\",\n  \"size\": " +
                        std::to_string(fs::file_size(out / "update.zip")) +
                        ",\n  \"signature\": \"" +
                        signature_by(keys / "test_update.key", out / "update.zip") + "\"\n}\n");
        const run_result r =
            run(program("tavrel-release"), {"check", out.string(), "--public-key", list,
                                            "--installed", s.old_tree().string()});
        EXPECT_EQ(r.exit_code, verdict) << r.out << r.err;
    }
}

} // namespace
} // namespace tavrel::test
