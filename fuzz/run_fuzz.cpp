// Fuzz target for the whole extraction run. The input is written as a D88 file and
// run_extraction runs on it once for each of the nine editions, in a working directory of its
// own. Standard output and standard error of the run are caught in files. After each run the
// target checks, against the same run worked out with ReferenceReader over the input in memory,
// the exit status, the listing, the messages and every file left in the directory, byte for
// byte; then it empties the directory for the next run.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "extraction_run.h"
#include "profiles.h"
#include "reference_reader.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

const LayoutProfile kProfiles[] = {kEditionA, kEditionB, kEditionC, kEditionD, kEditionE,
                                   kEditionF, kEditionG, kEditionH, kEditionI};

// Record headers the reference may walk per input; past that a run's results are not compared
// (the checks that need no reference still are), so that no input nears the time limit.
constexpr std::int64_t kReferenceHeaderBudget = 4000000;

constexpr char kDirectoryFailed[] =
    "\x83\x66\x83\x42\x83\x8C\x83\x4E\x83\x67\x83\x8A\x82\xCC\x93\xC7\x82\xDD\x8D\x9E\x82\xDD"
    "\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n";

fs::path work_dir;     // the runs' current directory: holds nothing but their output files
std::string input_path;
std::FILE* listing = nullptr;  // stands in for standard output during the runs
std::FILE* messages = nullptr; // stands in for standard error during the runs
std::FILE* console = nullptr;  // standard error as it was, for this target's own reports

// What one run is expected to leave: exit status, listing, messages and files.
struct Outcome {
    int status = 0;
    std::string listing;
    std::string messages;
    std::map<std::string, const Bytes*> files;  // bytes held in `blocks`
};

[[noreturn]] void fail(const char* edition_name, const std::string& what) {
    std::fprintf(console, "run_fuzz: edition %s: %s\n", edition_name, what.c_str());
    std::abort();
}

// The run as documented, with the reference reader: fixed blocks, directory, music files.
// False when the reference ran out of budget and the outcome is unknown.
// Blocks the reference has read for the current input: whether each was read, and its bytes.
std::map<std::tuple<int, int, int>, std::pair<bool, Bytes>> blocks;

bool expected_outcome(const LayoutProfile& p, const Bytes& file, std::int64_t& budget, Outcome& out) {
    ReferenceReader reader;
    reader.header_budget = budget;
    reader.open(&file);
    reader.select_image(0);
    reader.set_sector_range(1, 16);
    auto extract = [&](const std::string& name, int track, int r, int length) {
        // A block's bytes depend only on the file and the call, so the editions share them.
        auto key = std::make_tuple(track, r, length);
        auto known = blocks.find(key);
        if (known == blocks.end()) {
            Bytes data(static_cast<std::size_t>(length > 0 ? length : 0), 0);
            bool read = length > 0 &&
                        reader.read_sectors(track, track / 2, track % 2, r, 1, data.data(), length) != 0;
            if (reader.exhausted()) return false;
            known = blocks.emplace(key, std::make_pair(read, std::move(data))).first;
        }
        if (!known->second.first) return false;
        out.files[name] = &known->second.second;
        return true;
    };
    extract("PMD", p.pmd_track, 1, 8192);
    extract("ADPCM", 1, 1, p.adpcm_length);
    unsigned char directory[256] = {};
    int t = p.directory_track;
    if (reader.read_sectors(t, t / 2, t % 2, 15, 1, directory, 256) != 256) {
        out.status = 1;
        out.messages = kDirectoryFailed;
    } else {
        for (int i = p.first_entry; i < 64; ++i) {
            const unsigned char* entry = directory + 4 * i;
            if (entry[0] == 0) break;
            char name[16];
            std::snprintf(name, sizeof name, "MUS%03d", i);
            if (extract(name, entry[0], entry[1], entry[2] * 256)) {
                char line[64];
                std::snprintf(line, sizeof line, "%6s TRK:%02X SEC:%02X SIZE:%04X\n", name, entry[0],
                              entry[1], entry[2] * 256);
                out.listing += line;
            }
        }
    }
    bool known = !reader.exhausted();
    budget = reader.header_budget;
    return known;
}

std::string contents(std::FILE* f) {
    std::fflush(f);
    std::string text;
    std::rewind(f);
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    return text;
}

void empty(std::FILE* f) {
    std::fflush(f);
    if (ftruncate(fileno(f), 0) != 0) std::abort();
    std::rewind(f);
}

// Whether the file holds exactly `expected`.
bool same_bytes(const fs::path& path, const Bytes& expected) {
    static unsigned char buffer[1 << 16];
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return false;
    std::size_t at = 0;
    bool same = true;
    std::size_t got;
    while (same && (got = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        same = got <= expected.size() - at && std::memcmp(buffer, expected.data() + at, got) == 0;
        at += got;
    }
    std::fclose(in);
    return same && at == expected.size();
}

// Whether `name` is a name the run may write for profile p: the music files before
// first_entry are never looked at.
bool allowed_name(const std::string& name, const LayoutProfile& p) {
    if (name == "PMD" || name == "ADPCM") return true;
    if (name.size() != 6 || name.compare(0, 3, "MUS") != 0) return false;
    for (int i = 3; i < 6; ++i)
        if (name[static_cast<std::size_t>(i)] < '0' || name[static_cast<std::size_t>(i)] > '9') return false;
    int index = std::atoi(name.c_str() + 3);
    return index >= p.first_entry && index < 64;
}

void check_run(const char* edition_name, const LayoutProfile& p, int status, bool known,
               const Outcome& expected) {
    if (status != 0 && status != 1) fail(edition_name, "exit status " + std::to_string(status));
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(work_dir)) {
        std::string name = entry.path().filename().string();
        // Checked without the reference too: nothing but output files is ever left behind.
        if (!entry.is_regular_file() || !allowed_name(name, p)) fail(edition_name, "left behind " + name);
        files.push_back(name);
    }
    if (known) {
        if (status != expected.status)
            fail(edition_name, "exit status " + std::to_string(status) + ", expected " +
                                   std::to_string(expected.status));
        if (contents(listing) != expected.listing)
            fail(edition_name, "listing \"" + contents(listing) + "\", expected \"" + expected.listing + "\"");
        if (contents(messages) != expected.messages) fail(edition_name, "messages \"" + contents(messages) + "\"");
        for (const std::string& name : files)
            if (expected.files.count(name) == 0) fail(edition_name, "unexpected file " + name);
        for (const auto& [name, data] : expected.files)
            if (!same_bytes(work_dir / name, *data)) fail(edition_name, "missing or wrong " + name);
    }
    std::error_code error;
    for (const std::string& name : files) fs::remove(work_dir / name, error);
}

bool write_input(const std::uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(input_path.c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

fs::path base_dir;
int start_dir = -1;

void remove_base_dir() {
    std::error_code error;
    fs::remove_all(base_dir, error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/soundext-run-fuzz-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) {
        std::perror("run_fuzz: mkdtemp");
        std::abort();
    }
    base_dir = fs::absolute(name.data());
    work_dir = base_dir / "work";
    fs::create_directory(work_dir);
    input_path = (base_dir / "input.d88").string();
    std::atexit(remove_base_dir);
    listing = std::fopen((base_dir / "stdout").string().c_str(), "w+b");
    messages = std::fopen((base_dir / "stderr").string().c_str(), "w+b");
    if (listing == nullptr || messages == nullptr) std::abort();
    // The runs print through the C streams; pointing those at the files above keeps both the
    // runs' text and the fuzzer's console apart. The descriptors 1 and 2 stay as they are, so
    // the fuzzer's and the sanitizers' reports still reach the console.
    console = stderr;
    stdout = listing;
    stderr = messages;
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 1);  // anything written around the C streams
    // The fuzzer reads and writes the corpus by the paths it was given, so the target goes
    // back to the starting directory after each input; a crash in a run leaves the current
    // directory in the work directory, so give the fuzzer absolute paths (fuzz/run.sh does).
    start_dir = open(".", O_RDONLY | O_DIRECTORY);
    if (start_dir < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!write_input(data, size) || chdir(work_dir.c_str()) != 0) std::abort();
    const Bytes file(data, data + size);
    std::int64_t budget = kReferenceHeaderBudget;
    blocks.clear();
    for (const LayoutProfile& profile : kProfiles) {
        char edition_name[2] = {static_cast<char>('A' + (&profile - kProfiles)), '\0'};
        char program[] = "soundext";
        std::vector<char> path(input_path.begin(), input_path.end());
        path.push_back('\0');
        char* argv[] = {program, path.data(), nullptr};
        empty(listing);
        empty(messages);
        int status = run_extraction(profile, 2, argv);
        Outcome expected;
        bool known = budget > 0 && expected_outcome(profile, file, budget, expected);
        check_run(edition_name, profile, status, known, expected);
    }
    // Nothing of this input stays allocated, so the fuzzer's leak check has nothing to chase.
    blocks.clear();
    if (fchdir(start_dir) != 0) std::abort();
    return 0;
}
