// tavrel-release: a release in one step, and the updater's verdict on it before it is uploaded.
//
//   tavrel-release SOURCE_DIR OUT_DIR --key SECRET_KEY_FILE --version A.B.C
//                  [--delta-from DIR_OR_ZIP]... [--force]
//       refuses a tree whose root Tavrel.exe does not carry the file version A.B.C (any fourth
//       part) or that tavrel-pack would refuse; writes OUT_DIR/update.zip (as tavrel-pack
//       does) and OUT_DIR/update.json (what the application passes to the updater and what a
//       feed needs); for each --delta-from (an earlier release's installation directory or its
//       update.zip, installed as the updater installs it) a delta package
//       OUT_DIR/update-from-B.B.B.zip for installations of that base version, listed in
//       update.json under "deltas"; never over an existing OUT_DIR/update.* without --force
//   tavrel-release check OUT_DIR --public-key BASE64[,BASE64]... [--installed DIR_OR_ZIP]
//                        (the keys the updater trusts, in its order)
//                        [--installed-version A.B.C] [--delta B.B.B]
//       whether the updater would accept that release, judged by the updater's own code: the
//       download check, staging into a temporary copy of the installation (empty, a copy of
//       DIR, or what the updater installs from the previous release's update.zip), the version
//       rule against the installed version (default: the version of the installation's
//       Tavrel.exe, else the built-in one) and the commit's moves. Prints "accepted" (exit 0) or
//       the exact message that the updater would show (exit 1). With --delta, the release's
//       delta package for installations of B.B.B is judged instead of update.zip.
//
// Exit codes: 0 done or accepted, 1 refused, 2 usage errors.
#include "app/command_line.h"
#include "auth/base64.h"
#include "auth/update_signature_internal.h"
#include "auth/version.h"
#include "common/text.h"
#include "install/commit.h"
#include "install/transaction.h"
#include "platform/posix/version_reader.h"
#include "staging/stage_update.h"
#include "tools/package_writer.h"
#include "tools/signing_key.h"

#include <sodium.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tavrel::app_version;

constexpr int exit_refused = 1;
constexpr int exit_usage = 2;

constexpr char usage_text[] =
    "usage: tavrel-release SOURCE_DIR OUT_DIR --key SECRET_KEY_FILE --version A.B.C\n"
    "                      [--delta-from DIR_OR_ZIP]... [--force]\n"
    "       tavrel-release check OUT_DIR --public-key BASE64[,BASE64]... [--installed DIR_OR_ZIP]\n"
    "                            [--installed-version A.B.C] [--delta B.B.B]\n"
    "The first form writes OUT_DIR/update.zip, a delta package OUT_DIR/update-from-B.B.B.zip for\n"
    "each earlier release given, and OUT_DIR/update.json; the second says whether the updater\n"
    "would accept the release, or its delta for installations of B.B.B (\"accepted\", or the\n"
    "message it would show).\n";

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --name value pairs after the positional arguments; --force stands alone.
struct options {
    std::vector<std::string> positional;
    std::map<std::string, std::string> named;
    std::vector<std::string> delta_from; // the one option that may be given again
    bool force = false;
};

// Only the options of the command: a misspelt one must not quietly change the verdict (an
// ignored --installed-version would judge against the built-in version).
options parse_options(int argc, char** argv, int first, const std::set<std::string>& known,
                      bool force_allowed) {
    options out;
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--force" && force_allowed) {
            out.force = true;
        } else if (word.starts_with("--")) {
            if (!known.contains(word))
                throw usage_error("unknown option " + word);
            if (i + 1 >= argc || std::string_view(argv[i + 1]).starts_with("--"))
                throw usage_error(word + " needs a value");
            if (word == "--delta-from")
                out.delta_from.push_back(argv[++i]);
            else if (!out.named.emplace(word, argv[++i]).second)
                throw usage_error(word + " is given twice");
        } else {
            out.positional.push_back(word);
        }
    }
    return out;
}

std::string required(const options& given, const std::string& name) {
    const auto found = given.named.find(name);
    if (found == given.named.end())
        throw usage_error(name + " is missing");
    return found->second;
}

// A version as the feed names it, read by the updater's own parser.
app_version feed_version(const std::string& text) {
    try {
        return tavrel::parse_version(tavrel::to_native(text));
    } catch (const std::exception&) {
        throw usage_error("\"" + text + "\" is not a version A.B.C");
    }
}

std::string version_text(const app_version& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

std::vector<std::uint8_t> read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw refusal("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string sha256_hex(const std::vector<std::uint8_t>& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes.data(), bytes.size());
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : digest) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

// --- the release --------------------------------------------------------------------------

void check_executable_version(const fs::path& source, const app_version& wanted) {
    const fs::path executable = source / "Tavrel.exe";
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(executable, ec)))
        throw refusal("the tree has no Tavrel.exe at its root");
    app_version carried;
    try {
        carried = tavrel::read_file_version(executable);
    } catch (const std::exception& e) {
        // The updater's message, and what the reader found: the publisher has to know what to
        // change in the executable.
        const std::string why = platform::find_version_record(read_file(executable)).problem;
        throw refusal("Tavrel.exe: " + std::string(e.what()) +
                      (why.empty() ? "" : " (" + why + ")"));
    }
    if (!(carried == wanted))
        throw refusal("Tavrel.exe carries the file version " + version_text(carried) + ", not " +
                      version_text(wanted) + ": every installation would refuse this update");
}

struct scratch_directory;
void lay_out_installation(const fs::path& given, const fs::path& app_dir);

struct delta_release {
    std::string base;
    std::string file;
    std::size_t size = 0;
    std::string signature;
    std::string sha256;
    tavrel::tools::delta_facts facts;
};

delta_release write_delta(const fs::path& source, const fs::path& out, const fs::path& given,
                          const tavrel::tools::key_pair& key, bool force);

int command_release(const options& given) {
    if (given.positional.size() != 2)
        throw usage_error("expected SOURCE_DIR and OUT_DIR");
    const fs::path source = given.positional[0];
    const fs::path out = given.positional[1];
    const app_version version = feed_version(required(given, "--version"));
    const std::string key_file = required(given, "--key");
    const fs::path archive = out / "update.zip";
    const fs::path feed = out / "update.json";
    for (const fs::path& existing : {archive, feed}) {
        std::error_code ec;
        if (!given.force && fs::exists(fs::symlink_status(existing, ec)))
            throw refusal(existing.string() + " exists; --force replaces it");
    }
    const tavrel::tools::key_pair key = tavrel::tools::read_secret_key(key_file);
    check_executable_version(source, version);

    fs::create_directories(out);
    const fs::path partial = out / "update.zip.partial";
    const tavrel::tools::package_facts facts = tavrel::tools::write_package(source, partial);
    const std::vector<std::uint8_t> bytes = read_file(partial);
    const std::string signature = tavrel::tools::signature_base64(key, bytes);
    const std::string sha256 = sha256_hex(bytes);
    const std::string public_key = tavrel::tools::public_key_base64(key);
    fs::rename(partial, archive);
    std::vector<delta_release> deltas;
    for (const std::string& base : given.delta_from)
        deltas.push_back(write_delta(source, out, base, key, given.force));

    std::ofstream json(feed, std::ios::binary | std::ios::trunc);
    json << "{\n"
         << "  \"version\": \"" << version_text(version) << "\",\n"
         << "  \"size\": " << bytes.size() << ",\n"
         << "  \"signature\": \"" << signature << "\",\n"
         << "  \"sha256\": \"" << sha256 << "\",\n"
         << "  \"public_key\": \"" << public_key << "\",\n"
         << "  \"files\": " << facts.files;
    // Last, so that a reader of the flat fields above finds theirs first.
    if (!deltas.empty()) {
        json << ",\n  \"deltas\": [";
        for (std::size_t i = 0; i < deltas.size(); ++i)
            json << (i ? "," : "") << "\n    {\"base\": \"" << deltas[i].base << "\", \"file\": \""
                 << deltas[i].file << "\", \"size\": " << deltas[i].size << ", \"signature\": \""
                 << deltas[i].signature << "\", \"sha256\": \"" << deltas[i].sha256 << "\"}";
        json << "\n  ]";
    }
    json << "\n}\n";
    json.close();
    if (!json)
        throw refusal("cannot write " + feed.string());

    std::cout << "release " << version_text(version) << " in " << out.string() << "\n"
              << "  update.zip   " << bytes.size() << " bytes, " << facts.files << " files\n"
              << "  signature    " << signature << "\n"
              << "  sha256       " << sha256 << "\n"
              << "  public key   " << public_key << "\n"
              << "  update.json  the feed's values\n";
    for (const delta_release& delta : deltas)
        std::cout << "  " << delta.file << "  " << delta.size << " bytes for installations of "
                  << delta.base << ": " << delta.facts.patched << " files patched"
                  << (delta.facts.renamed
                          ? " (" + std::to_string(delta.facts.renamed) + " from another path)"
                          : std::string())
                  << ", " << delta.facts.whole << " whole, " << delta.facts.kept << " kept\n";
    return 0;
}

// --- the check ----------------------------------------------------------------------------

// The fields of an update.json as tavrel-release writes it.
std::map<std::string, std::string> read_feed(const fs::path& file) {
    const std::vector<std::uint8_t> bytes = read_file(file);
    const std::string text(bytes.begin(), bytes.end());
    static const std::regex field(R"re("([a-z_0-9]+)"\s*:\s*(?:"([^"]*)"|([0-9]+)))re");
    std::map<std::string, std::string> fields;
    for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it)
        fields.emplace((*it)[1], (*it)[2].matched ? (*it)[2].str()
                                                  : (*it)[3].str()); // the first: not a delta's

    for (const char* name : {"version", "size", "signature"})
        if (!fields.contains(name))
            throw refusal(file.string() + " has no \"" + name + "\"");
    return fields;
}

// The entry of update.json's "deltas" for installations of `base`.
std::map<std::string, std::string> read_feed_delta(const fs::path& file, const std::string& base) {
    const std::vector<std::uint8_t> bytes = read_file(file);
    const std::string text(bytes.begin(), bytes.end());
    static const std::regex entry(
        R"re(\{"base": "([0-9.]+)", "file": "([^"/\\]+)", "size": ([0-9]+), "signature": "([^"]*)")re");
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it)
        if ((*it)[1] == base)
            return {{"file", (*it)[2]}, {"size", (*it)[3]}, {"signature", (*it)[4]}};
    throw refusal(file.string() + " lists no delta for installations of " + base);
}

// A directory of its own below the system's temporary directory, removed with the object.
struct scratch_directory {
    fs::path path;
    scratch_directory() {
        std::random_device random;
        path = fs::temp_directory_path() / ("tavrel-release-check-" + std::to_string(random()));
        fs::create_directories(path / "app");
    }
    ~scratch_directory() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Installs `archive` (a release's update.zip) into the empty `app_dir` with the updater's own
// staging and commit, so that the installation is what the updater leaves.
void install_release(const fs::path& archive, const fs::path& app_dir) {
    const std::vector<std::uint8_t> bytes = read_file(archive);
    tavrel::update_transaction transaction(app_dir);
    std::string error;
    if (!tavrel::stage_update(transaction, bytes, error) ||
        !tavrel::commit_update(
            transaction, [](const tavrel::path&) { return true; }, error))
        throw refusal("the installation " + archive.string() + " cannot be installed: " + error);
}

// The installation to judge against, in `app_dir`: a copy of a directory, or a release.
// (Also the base of a delta.)
void lay_out_installation(const fs::path& given, const fs::path& app_dir) {
    std::error_code ec;
    if (fs::is_directory(given, ec)) {
        fs::copy(given, app_dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec)
            throw refusal("cannot copy the installation " + given.string() + ": " + ec.message());
    } else if (fs::is_regular_file(given, ec)) {
        install_release(given, app_dir);
    } else {
        throw refusal("no installation directory or update.zip at " + given.string());
    }
}

// One delta package of the release, for installations like `given`.
delta_release write_delta(const fs::path& source, const fs::path& out, const fs::path& given,
                          const tavrel::tools::key_pair& key, bool force) {
    const scratch_directory scratch;
    lay_out_installation(given, scratch.path / "app");
    const fs::path partial = out / "update-delta.zip.partial";
    delta_release delta;
    delta.facts = tavrel::tools::write_delta_package(source, scratch.path / "app", partial);
    delta.base = version_text(delta.facts.base);
    delta.file = "update-from-" + delta.base + ".zip";
    std::error_code ec;
    if (!force && fs::exists(fs::symlink_status(out / delta.file, ec)))
        throw refusal((out / delta.file).string() + " exists; --force replaces it");
    const std::vector<std::uint8_t> bytes = read_file(partial);
    delta.size = bytes.size();
    delta.signature = tavrel::tools::signature_base64(key, bytes);
    delta.sha256 = sha256_hex(bytes);
    fs::rename(partial, out / delta.file);
    return delta;
}

// The message the updater would show for this release, or nothing when it would install it.
std::optional<std::string> updater_verdict(const fs::path& archive,
                                           const std::map<std::string, std::string>& feed,
                                           const std::string& public_key,
                                           const std::optional<fs::path>& installation,
                                           const std::optional<app_version>& installed_version) {
    // What the command line would refuse without a message (exit code 2).
    const std::string& signature = feed.at("signature");
    std::size_t consumed = 0;
    const auto size_text = tavrel::to_native(feed.at("size"));
    std::uint64_t size = 0;
    try {
        size = tavrel::parse_stoull(size_text, consumed);
    } catch (const std::exception& e) {
        return e.what();
    }
    if (!tavrel::is_signature_argument(tavrel::to_native(signature)))
        return "The updater would reject its command line: the signature is not 88 characters "
               "of Base64.";
    if (size < 1 || size > 0x20000000 || consumed != size_text.size())
        return "The updater would reject its command line: the size is not 1 to 536870912.";
    app_version requested;
    try {
        requested = tavrel::parse_version(tavrel::to_native(feed.at("version")));
    } catch (const std::exception& e) {
        return e.what();
    }

    std::string error;
    tavrel::verified_archive bytes;
    if (!tavrel::check_update_signature(archive, signature, size, public_key, bytes, error))
        return error;
    const scratch_directory scratch;
    const fs::path app_dir = scratch.path / "app";
    app_version installed = installed_version.value_or(tavrel::current_app_version());
    if (installation) {
        lay_out_installation(*installation, app_dir);
        if (!installed_version)
            installed = tavrel::read_file_version(app_dir / "Tavrel.exe");
    }
    tavrel::update_transaction transaction(app_dir);
    if (!tavrel::stage_update(transaction, bytes.bytes(), error))
        return error;
    try {
        tavrel::check_version_rule(
            tavrel::read_file_version(tavrel::staged_executable_path(transaction)), requested,
            installed);
    } catch (const std::exception& e) {
        return e.what();
    }
    // The moves too: what the commit refuses, or cannot undo, the publisher hears of now.
    if (!tavrel::commit_update(
            transaction, [](const tavrel::path&) { return true; }, error))
        return error;
    return std::nullopt; // the transaction's end removes the staging directory
}

int command_check(const options& given) {
    if (given.positional.size() != 1)
        throw usage_error("expected OUT_DIR");
    const fs::path out = given.positional[0];
    // The updater's list: the keys it trusts, the current one first.
    const std::string public_key = required(given, "--public-key");
    std::size_t keys = 0;
    for (std::string_view rest = public_key;; ++keys) {
        const std::size_t end = rest.find_first_of(",;");
        std::vector<std::uint8_t> decoded;
        if (!tavrel::decode_base64(rest.substr(0, end), decoded) || decoded.size() != 32 ||
            keys == tavrel::max_public_keys)
            throw usage_error("the public key is not 1 to 4 keys of 44 characters of Base64 "
                              "naming 32 bytes, separated by \",\" or \";\"");
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    std::optional<app_version> installed_version;
    if (const auto text = given.named.find("--installed-version"); text != given.named.end())
        installed_version = feed_version(text->second);
    std::optional<fs::path> installation;
    if (const auto dir = given.named.find("--installed"); dir != given.named.end())
        installation = dir->second;
    fs::path archive = out / "update.zip";
    std::map<std::string, std::string> feed = read_feed(out / "update.json");
    if (const auto base = given.named.find("--delta"); base != given.named.end()) {
        // The delta's own file, size and signature; the release's version.
        const std::map<std::string, std::string> delta =
            read_feed_delta(out / "update.json", version_text(feed_version(base->second)));
        archive = out / fs::path(delta.at("file")).filename();
        feed["size"] = delta.at("size");
        feed["signature"] = delta.at("signature");
    }
    const std::optional<std::string> refused =
        updater_verdict(archive, feed, public_key, installation, installed_version);
    std::cout << (refused ? *refused : "accepted") << "\n";
    return refused ? exit_refused : 0;
}

int run(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" && argc == 2) {
        std::cout << usage_text;
        return 0;
    }
    if (first == "check")
        return command_check(parse_options(
            argc, argv, 2, {"--public-key", "--installed", "--installed-version", "--delta"},
            false));
    return command_release(
        parse_options(argc, argv, 1, {"--key", "--version", "--delta-from"}, true));
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const usage_error& e) {
        std::cerr << "tavrel-release: " << e.what() << "\n" << usage_text;
        return exit_usage;
    } catch (const std::exception& e) {
        std::cerr << "tavrel-release: " << e.what() << "\n";
        return exit_refused;
    }
}
