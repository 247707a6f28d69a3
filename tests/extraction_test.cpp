// End-to-end tests: each test builds a D88 image here, runs a real soundext program on it in a
// fresh temporary directory, and checks the exit status, both console streams and every file
// left in that directory, byte for byte.
//
// How a program is found and started (so that one suite checks native, Windows and
// big-endian builds alike):
//   SOUNDEXT_PROGRAM_DIR   directory holding the programs; default: this build's own
//   SOUNDEXT_EXE_SUFFIX    appended to each program name, e.g. ".exe"; default: none
//   SOUNDEXT_EMULATOR      command put before the program, split at whitespace, e.g. "wine"
//   SOUNDEXT_CONSOLE_CRLF  when "1", a "\r\n" in console text counts as "\n"
// Output files are always compared byte-exact.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "d88_builder.h"
#include "profiles.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using d88test::Bytes;
using d88test::DirectoryEntryBytes;
using d88test::DiskBuilder;

constexpr int kSectorSize = 256;

// ---------------------------------------------------------------------------------------------
// Starting the program under test

std::string env_text(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::vector<std::string> emulator_command() {
    std::istringstream words(env_text("SOUNDEXT_EMULATOR"));
    std::vector<std::string> command;
    for (std::string word; words >> word;) command.push_back(word);
    return command;
}

bool under_emulator() { return !emulator_command().empty(); }

// Started with SOUNDEXT_E2E_ARGC_PROBE set, this test binary only tells by its exit status
// whether it got an empty argument vector: 0 when /proc/self/cmdline is empty.
const bool kArgcProbe = [] {
    if (std::getenv("SOUNDEXT_E2E_ARGC_PROBE") == nullptr) return false;
    char byte = 0;
    int fd = open("/proc/self/cmdline", O_RDONLY);
    _exit(fd >= 0 && read(fd, &byte, 1) == 0 ? 0 : 1);
}();

// Whether this kernel lets a program start with argc 0 (newer kernels put in an empty argv[0]).
bool kernel_allows_argc_zero() {
    pid_t pid = fork();
    if (pid == 0) {
        char probe[] = "SOUNDEXT_E2E_ARGC_PROBE=1";
        char* argv[] = {nullptr};
        char* envp[] = {probe, nullptr};
        execve("/proc/self/exe", argv, envp);
        _exit(2);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string program_file_name(char edition) {
    return std::string("soundext-") + edition + env_text("SOUNDEXT_EXE_SUFFIX");
}

std::string program_path(char edition) {
    std::string dir = env_text("SOUNDEXT_PROGRAM_DIR");
    if (dir.empty()) dir = SOUNDEXT_PROGRAM_DIR;
    // Absolute, because the program runs in another working directory.
    return (fs::absolute(dir) / program_file_name(edition)).string();
}

// Console text as the test compares it: a Windows console may end lines in CR LF.
std::string console_text(const std::string& text) {
    if (env_text("SOUNDEXT_CONSOLE_CRLF") != "1") return text;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

struct RunOptions {
    std::vector<std::string> args{"../disk.d88"};  // arguments after the program name
    bool no_argument_vector = false;             // start with argc 0
    bool stdout_on_full_device = false;          // standard output on /dev/full
    long long file_size_limit = -1;              // RLIMIT_FSIZE in bytes; -1 leaves it alone
};

struct RunResult {
    int exit_status = -1;  // -1 when the process did not exit normally
    int signal = 0;        // the signal that ended it, if one did
    std::string out, err;
};

// ---------------------------------------------------------------------------------------------
// Expected console text (messages in Shift_JIS bytes)

std::string bytes_from_hex(const char* hex) {
    std::istringstream in(hex);
    std::string out;
    for (unsigned value = 0; in >> std::hex >> value;) out += static_cast<char>(value);
    return out;
}

const std::string kOpenFailed = bytes_from_hex(
    "83 74 83 40 83 43 83 8B 82 F0 83 49 81 5B 83 76 83 93 82 C5 82 AB 82 DC 82 B9 82 F1 0A");
const std::string kDirectoryFailed = bytes_from_hex(
    "83 66 83 42 83 8C 83 4E 83 67 83 8A 82 CC 93 C7 82 DD 8D 9E 82 DD 82 C9 8E B8 94 73 82 B5"
    " 82 DC 82 B5 82 BD 2E 0A");
const std::string kWriteFailedSuffix =
    bytes_from_hex("82 CC 8F 91 82 AB 8D 9E 82 DD 82 C9 8E B8 94 73 82 B5 82 DC 82 B5 82 BD 2E 0A");
const std::string kStandardOutputFailed =
    bytes_from_hex("95 57 8F 80 8F 6F 97 CD") + kWriteFailedSuffix;

std::string write_failed(const std::string& name) { return name + kWriteFailedSuffix; }

// ---------------------------------------------------------------------------------------------
// Disk images and the bytes expected from them

DiskBuilder standard_disk(int last_track) {
    DiskBuilder disk;
    for (int t = 0; t <= last_track; ++t) disk.standard_track(t);
    return disk;
}

void fix_sector_counts(DiskBuilder& disk, int t) {
    for (auto& rec : disk.track(t)) rec.sector_count = static_cast<std::uint16_t>(disk.track(t).size());
}

void remove_sector(DiskBuilder& disk, int t, int r) {
    auto& recs = disk.track(t);
    for (auto it = recs.begin(); it != recs.end();)
        it = it->r == r ? recs.erase(it) : it + 1;
    fix_sector_counts(disk, t);
}

// Appends a 256-byte sector with the track's own C and H.
void add_sector(DiskBuilder& disk, int t, int r) {
    d88test::Record rec;
    rec.c = static_cast<std::uint8_t>(t / 2);
    rec.h = static_cast<std::uint8_t>(t % 2);
    rec.r = static_cast<std::uint8_t>(r);
    rec.data = d88test::tagged_sector(t, r, 0x5A);
    disk.track(t).push_back(rec);
    fix_sector_counts(disk, t);
}

// The data of the 256-byte sector (t / 2, t % 2, r, 1) on track t, or null.
const Bytes* find_sector(DiskBuilder& disk, int t, int r) {
    if (t < 0 || t >= DiskBuilder::kTracks) return nullptr;
    for (const auto& rec : disk.track(t))
        if (rec.c == t / 2 && rec.h == t % 2 && rec.r == r && rec.n == 1 &&
            rec.data.size() == static_cast<std::size_t>(kSectorSize))
            return &rec.data;
    return nullptr;
}

// Sectors first..last of track t, back to back.
Bytes sectors(DiskBuilder& disk, int t, int first, int last) {
    Bytes out;
    for (int r = first; r <= last; ++r) {
        const Bytes* data = find_sector(disk, t, r);
        if (data == nullptr) {
            ADD_FAILURE() << "fixture lacks track " << t << " sector " << r;
            return out;
        }
        out.insert(out.end(), data->begin(), data->end());
    }
    return out;
}

Bytes zeros(std::size_t count) { return Bytes(count, 0); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The file a block of `length` bytes from (track t, sector r) becomes: the disk's sectors in
// order (sectors 1..16 of a track, then the next track), up to the first one missing, and
// zeros for the rest.
Bytes expected_block(DiskBuilder& disk, int t, int r, int length) {
    Bytes out;
    while (out.size() < static_cast<std::size_t>(length)) {
        const Bytes* data = find_sector(disk, t, r);
        if (data == nullptr) break;
        out.insert(out.end(), data->begin(), data->end());
        if (r == 16) {
            ++t;
            r = 1;
        } else {
            ++r;
        }
    }
    out.resize(static_cast<std::size_t>(length), 0);
    return out;
}

std::string mus_name(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "MUS%03d", index);
    return name;
}

// ---------------------------------------------------------------------------------------------
// The editions, as documented; each row also names the profile the build binds.

struct Edition {
    char letter;
    LayoutProfile documented;
    LayoutProfile built;
};

const Edition kEditions[] = {
    {'a', {38, 81920, 39, 0}, kEditionA},  {'b', {20, 108800, 21, 1}, kEditionB},
    {'c', {32, 92416, 33, 0}, kEditionC},  {'d', {38, 90112, 39, 0}, kEditionD},
    {'e', {35, 90112, 36, 0}, kEditionE},  {'f', {32, 110592, 33, 0}, kEditionF},
    {'g', {38, 108800, 39, 0}, kEditionG}, {'h', {35, 77824, 36, 0}, kEditionH},
    {'i', {28, 110592, 29, 0}, kEditionI},
};

const LayoutProfile kA = kEditions[0].documented;

// ---------------------------------------------------------------------------------------------
// The listing disk: tracks 0..70 in full, and one MUS directory at sector 15 of every
// edition's directory track, so every edition runs on the same image.

struct ListedEntry {
    int index;
    DirectoryEntryBytes bytes;
    const char* line;
};

const ListedEntry kListedEntries[] = {
    {0, {0x2C, 0x01, 0x01, 0x00}, "MUS000 TRK:2C SEC:01 SIZE:0100\n"},
    // From sector 16 of a head-1 track on to the next cylinder; the spare byte is ignored.
    {1, {0x2D, 0x10, 0x03, 0xEE}, "MUS001 TRK:2D SEC:10 SIZE:0300\n"},
    // The longest file an entry can give: 255 sectors over 17 tracks.
    {2, {0x30, 0x05, 0xFF, 0x00}, "MUS002 TRK:30 SEC:05 SIZE:FF00\n"},
    {3, {0x01, 0x01, 0x02, 0xFF}, "MUS003 TRK:01 SEC:01 SIZE:0200\n"},
    // From head 0 to head 1 of the same cylinder.
    {4, {0x26, 0x0F, 0x04, 0x00}, "MUS004 TRK:26 SEC:0F SIZE:0400\n"},
    {5, {0x2A, 0x03, 0x12, 0x00}, "MUS005 TRK:2A SEC:03 SIZE:1200\n"},
};

Bytes listing_directory() {
    std::vector<std::pair<int, DirectoryEntryBytes>> entries;
    for (const auto& e : kListedEntries) entries.push_back({e.index, e.bytes});
    entries.push_back({6, {0x00, 0x01, 0x01, 0x00}});  // ends the directory ...
    entries.push_back({7, {0x2A, 0x01, 0x01, 0x00}});  // ... so this one is never read
    return d88test::directory_sector(entries);
}

DiskBuilder listing_disk() {
    DiskBuilder disk = standard_disk(70);
    const Bytes directory = listing_directory();
    for (int t : {21, 29, 33, 36, 39}) disk.set_sector_data(t, 15, directory);
    return disk;
}

struct Outcome {
    std::map<std::string, Bytes> files;
    std::string out;
};

Outcome listing_outcome(DiskBuilder& disk, const LayoutProfile& profile) {
    Outcome outcome;
    outcome.files["PMD"] = expected_block(disk, profile.pmd_track, 1, 8192);
    outcome.files["ADPCM"] = expected_block(disk, 1, 1, profile.adpcm_length);
    for (const auto& e : kListedEntries) {
        if (e.index < profile.first_entry) continue;
        outcome.files[mus_name(e.index)] =
            expected_block(disk, e.bytes.track, e.bytes.sector, e.bytes.units * kSectorSize);
        outcome.out += e.line;
    }
    return outcome;
}

// Drops the file `name` and its listing line from an outcome.
void drop_file(Outcome& outcome, const std::string& name) {
    outcome.files.erase(name);
    std::string::size_type at = outcome.out.find(name + " ");
    if (at != std::string::npos) outcome.out.erase(at, outcome.out.find('\n', at) + 1 - at);
}

// ---------------------------------------------------------------------------------------------

::testing::AssertionResult same_bytes(const Bytes& actual, const Bytes& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    return ::testing::AssertionFailure() << "size " << actual.size() << " (expected "
                                         << expected.size() << "), first difference at byte " << i;
}

std::string read_text(const fs::path& path) {
    Bytes bytes = d88test::read_file(path.string());
    return std::string(bytes.begin(), bytes.end());
}

class Extraction : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "soundext-e2e-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr) << std::strerror(errno);
        base_ = buffer.data();
        work_ = base_ / "work";
        ASSERT_TRUE(fs::create_directory(work_));
    }

    void TearDown() override {
        std::error_code ignored;
        if (!base_.empty()) fs::remove_all(base_, ignored);
    }

    // The image lives beside the working directory, so it is not among the files checked.
    void write_disk(const Bytes& image) { d88test::write_file((base_ / "disk.d88").string(), image); }

    void clear_work() {
        fs::remove_all(work_);
        fs::create_directory(work_);
    }

    // Runs soundext-<edition> in the working directory with no standard input.
    RunResult run(char edition, const RunOptions& options = RunOptions()) {
        const std::string program = program_path(edition);
        std::vector<std::string> command = emulator_command();
        command.push_back(program);
        command.insert(command.end(), options.args.begin(), options.args.end());
        std::vector<char*> argv;
        if (!options.no_argument_vector)
            for (auto& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);

        const std::string work = work_.string();
        const std::string out_path = (base_ / "stdout.txt").string();
        const std::string err_path = (base_ / "stderr.txt").string();
        const char* stdout_target = options.stdout_on_full_device ? "/dev/full" : out_path.c_str();
        // Where the kernel never starts a program with argc 0, the child calls the entry
        // point every program calls, with the profile of that edition, instead.
        const bool exec_with_argc_zero = options.no_argument_vector && kernel_allows_argc_zero();
        const LayoutProfile* profile = nullptr;
        for (const Edition& e : kEditions)
            if (e.letter == edition) profile = &e.built;

        RunResult result;
        std::fflush(nullptr);  // so the child does not write this process's pending output
        pid_t pid = fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork: " << std::strerror(errno);
            return result;
        }
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open(stdout_target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || chdir(work.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            for (int fd : {in, out, err})
                if (fd > 2) close(fd);
            if (options.file_size_limit >= 0) {
                rlimit limit{};
                getrlimit(RLIMIT_FSIZE, &limit);
                limit.rlim_cur = static_cast<rlim_t>(options.file_size_limit);
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
            }
            alarm(300);  // a hanging program fails its test instead of stalling the suite
            if (options.no_argument_vector && !exec_with_argc_zero) {
                int status = run_extraction(*profile, 0, argv.data());
                std::fflush(stdout);
                std::fflush(stderr);
                _exit(status);
            }
            if (options.no_argument_vector)
                execve(program.c_str(), argv.data(), environ);
            else
                execvp(argv[0], argv.data());
            const char message[] = "test harness: cannot start the program\n";
            ssize_t ignored = write(2, message, sizeof message - 1);
            (void)ignored;
            _exit(127);
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        if (!options.stdout_on_full_device) result.out = console_text(read_text(out_path));
        result.err = console_text(read_text(err_path));
        return result;
    }

    // The working directory holds exactly these plain files with these bytes and these
    // (empty) directories: no temporary file, nothing else.
    void expect_work_files(const std::map<std::string, Bytes>& files,
                           const std::set<std::string>& directories = {}) {
        std::set<std::string> seen;
        for (const auto& entry : fs::directory_iterator(work_)) {
            const std::string name = entry.path().filename().string();
            seen.insert(name);
            const fs::file_status status = fs::symlink_status(entry.path());
            if (directories.count(name) != 0) {
                EXPECT_TRUE(fs::is_directory(status) && fs::is_empty(entry.path()))
                    << name << " is no longer an empty directory";
                continue;
            }
            auto expected = files.find(name);
            if (expected == files.end()) {
                ADD_FAILURE() << "unexpected entry left in the directory: " << name;
                continue;
            }
            EXPECT_TRUE(fs::is_regular_file(status)) << name << " is not a plain file";
            EXPECT_TRUE(same_bytes(d88test::read_file(entry.path().string()), expected->second))
                << "file " << name;
        }
        for (const auto& file : files)
            if (seen.count(file.first) == 0) ADD_FAILURE() << "missing file: " << file.first;
        for (const auto& dir : directories)
            if (seen.count(dir) == 0) ADD_FAILURE() << "missing directory: " << dir;
    }

    void expect_run(const RunResult& result, int exit_status, const std::string& out,
                    const std::string& err) {
        EXPECT_EQ(result.signal, 0) << "ended by a signal";
        EXPECT_EQ(result.exit_status, exit_status);
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.err, err);
    }

    fs::path base_;
    fs::path work_;
};

// ---------------------------------------------------------------------------------------------
// Command line and input failures

TEST_F(Extraction, NoArgumentPrintsUsageWithTheProgramName) {
    RunOptions options;
    options.args.clear();
    RunResult result = run('c', options);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    const std::string tail = " [d88file]\n";
    if (!under_emulator()) {
        EXPECT_EQ(result.err, "Usage: " + program_path('c') + tail);
    } else {
        // An emulator may rewrite the directory part of the name (wine gives a DOS path).
        const std::string& err = result.err;
        ASSERT_GT(err.size(), 7 + tail.size()) << err;
        EXPECT_EQ(err.substr(0, 7), "Usage: ");
        EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
        std::string name = err.substr(7, err.size() - 7 - tail.size());
        name = name.substr(name.find_last_of("/\\") + 1);
        EXPECT_EQ(name, program_file_name('c'));
    }
    expect_work_files({});
}

// With argc 0 there is no argv[0] to name the program.
TEST_F(Extraction, NoArgumentVectorPrintsUsageWithTheDefaultName) {
    if (under_emulator()) GTEST_SKIP() << "an emulator cannot start a program with argc 0";
    RunOptions options;
    options.no_argument_vector = true;
    expect_run(run('a', options), 1, "", "Usage: soundext [d88file]\n");
    expect_work_files({});
}

TEST_F(Extraction, PathThatCannotBeOpened) {
    write_disk(listing_disk().build());
    // The path is taken as it is: no wildcard expansion finds ../disk.d88.
    for (const char* path : {"../missing.d88", "../*.d88", "../disk.d8?"}) {
        SCOPED_TRACE(path);
        RunOptions options;
        options.args = {path};
        expect_run(run('a', options), 1, "", kOpenFailed);
        expect_work_files({});
    }
}

TEST_F(Extraction, FileWithoutACompleteHeaderFailsAtTheDirectory) {
    Bytes image = listing_disk().build();
    image.resize(0x2B0 - 1);
    write_disk(image);
    expect_run(run('a'), 1, "", kDirectoryFailed);
    expect_work_files({});
}

TEST_F(Extraction, MissingDirectorySectorKeepsBothBlocks) {
    // Edition E: PMD on tracks 35 (C 17, H 1) and 36 (C 18, H 0), directory at 36 sector 15.
    DiskBuilder disk = standard_disk(40);
    remove_sector(disk, 36, 15);
    write_disk(disk.build());
    expect_run(run('e'), 1, "", kDirectoryFailed);
    // The PMD block stops at the missing sector and is written whole, its tail zero.
    expect_work_files({{"PMD", cat({sectors(disk, 35, 1, 16), sectors(disk, 36, 1, 14), zeros(512)})},
                       {"ADPCM", expected_block(disk, 1, 1, 90112)}});
}

// ---------------------------------------------------------------------------------------------
// Normal runs

TEST_F(Extraction, EveryEditionWritesItsBlocksAndListedFiles) {
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    const Bytes directory = listing_directory();
    std::map<char, std::map<std::string, Bytes>> written;
    for (const Edition& edition : kEditions) {
        SCOPED_TRACE(std::string("soundext-") + edition.letter);
        const LayoutProfile& p = edition.documented;
        const LayoutProfile& b = edition.built;
        EXPECT_EQ(std::tie(b.pmd_track, b.adpcm_length, b.directory_track, b.first_entry),
                  std::tie(p.pmd_track, p.adpcm_length, p.directory_track, p.first_entry))
            << "the build binds another profile than documented";

        clear_work();
        Outcome outcome = listing_outcome(disk, p);
        expect_run(run(edition.letter), 0, outcome.out, "");
        expect_work_files(outcome.files);

        // The directory sector is the PMD block's 31st sector.
        Bytes pmd = d88test::read_file((work_ / "PMD").string());
        ASSERT_EQ(pmd.size(), 8192u);
        EXPECT_TRUE(same_bytes(Bytes(pmd.begin() + 7680, pmd.begin() + 7936), directory));

        for (const auto& file : outcome.files)
            written[edition.letter][file.first] = d88test::read_file((work_ / file.first).string());
    }
    // A, D and G read the same places and differ only in the ADPCM block's length.
    const auto& a = written['a'];
    for (char other : {'d', 'g'}) {
        SCOPED_TRACE(std::string("soundext-a against soundext-") + other);
        auto& files = written[other];
        ASSERT_EQ(files.size(), a.size());
        for (const auto& file : a) {
            if (file.first == "ADPCM") {
                const Bytes& longer = files[file.first];
                ASSERT_GT(longer.size(), file.second.size());
                EXPECT_TRUE(same_bytes(Bytes(longer.begin(), longer.begin() + 81920), file.second));
            } else {
                EXPECT_TRUE(same_bytes(files[file.first], file.second)) << file.first;
            }
        }
    }
    EXPECT_EQ(written['d']["ADPCM"].size(), 90112u);
    EXPECT_EQ(written['g']["ADPCM"].size(), 108800u);
}

TEST_F(Extraction, FirstEntryDecidesWhereTheDirectoryStarts) {
    // Entry 0 holds the end mark; edition B starts at entry 1 and never sees it.
    DiskBuilder disk = standard_disk(50);
    const Bytes directory =
        d88test::directory_sector({{0, {0x00, 0x2C, 0x01, 0x00}}, {1, {0x2C, 0x02, 0x01, 0x00}}});
    disk.set_sector_data(21, 15, directory);
    disk.set_sector_data(39, 15, directory);
    write_disk(disk.build());

    expect_run(run('b'), 0, "MUS001 TRK:2C SEC:02 SIZE:0100\n", "");
    expect_work_files({{"PMD", expected_block(disk, 20, 1, 8192)},
                       {"ADPCM", expected_block(disk, 1, 1, 108800)},
                       {"MUS001", sectors(disk, 44, 2, 2)}});

    clear_work();
    expect_run(run('a'), 0, "", "");
    expect_work_files({{"PMD", expected_block(disk, 38, 1, 8192)},
                       {"ADPCM", expected_block(disk, 1, 1, 81920)}});
}

TEST_F(Extraction, DirectoryEntriesThatCannotBeReadAreSkippedAndPartialFilesPadded) {
    DiskBuilder disk = standard_disk(56);
    // Track 52 holds only sectors 1 and 2; track 54 also holds sectors 17 and 18.
    for (int r = 3; r <= 16; ++r) remove_sector(disk, 52, r);
    add_sector(disk, 54, 17);
    add_sector(disk, 54, 18);
    // No end mark anywhere: every entry up to 63 is looked at.
    std::vector<std::pair<int, DirectoryEntryBytes>> entries = {
        {0, {0x32, 0x01, 0x00, 0x00}},  // length 0
        {1, {0x34, 0x05, 0x01, 0x00}},  // first sector not on the disk
        {2, {0xA4, 0x01, 0x01, 0x00}},  // track 164
        {3, {0xFF, 0x01, 0x01, 0x00}},  // track 255
        {4, {0x32, 0x01, 0x08, 0x00}},  // whole: fills 2,048 bytes of the work buffer
        {5, {0x36, 0x11, 0x04, 0x00}},  // from sector 17: stays on track 54
        {6, {0x34, 0x01, 0x08, 0x00}},  // only 2 of 8 sectors present
        {63, {0x2A, 0x03, 0x12, 0x00}},
    };
    for (int i = 7; i < 63; ++i) entries.push_back({i, {0xA4, 0x01, 0x01, 0x00}});
    disk.set_sector_data(39, 15, d88test::directory_sector(entries));
    write_disk(disk.build());

    RunOptions options;
    options.args = {"../disk.d88", "../missing.d88"};  // arguments after the first are ignored
    expect_run(run('a', options), 0,
               "MUS004 TRK:32 SEC:01 SIZE:0800\n"
               "MUS005 TRK:36 SEC:11 SIZE:0400\n"
               "MUS006 TRK:34 SEC:01 SIZE:0800\n"
               "MUS063 TRK:2A SEC:03 SIZE:1200\n",
               "");
    // The unread parts are zero, not what MUS004 left in the work buffer.
    expect_work_files({{"PMD", expected_block(disk, 38, 1, 8192)},
                       {"ADPCM", expected_block(disk, 1, 1, 81920)},
                       {"MUS004", sectors(disk, 50, 1, 8)},
                       {"MUS005", cat({sectors(disk, 54, 17, 18), zeros(512)})},
                       {"MUS006", cat({sectors(disk, 52, 1, 2), zeros(1536)})},
                       {"MUS063", cat({sectors(disk, 42, 3, 16), sectors(disk, 43, 1, 4)})}});
}

// ---------------------------------------------------------------------------------------------
// Files already present, and output that cannot be written

TEST_F(Extraction, ExistingFilesAreReplacedOnlyWhenTheirBlockIsRead) {
    DiskBuilder disk = listing_disk();
    disk.track(1).clear();      // no ADPCM block (and no MUS003)
    remove_sector(disk, 44, 1);  // no MUS000
    write_disk(disk.build());
    const Bytes old_adpcm{'o', 'l', 'd', '\n'};
    const Bytes old_mus000{'k', 'e', 'e', 'p', '\r', '\n', 0x1A};
    const Bytes notes{'n', 'o', 't', 'e', 's'};
    d88test::write_file((work_ / "PMD").string(), Bytes(9000, 'P'));
    d88test::write_file((work_ / "ADPCM").string(), old_adpcm);
    d88test::write_file((work_ / "MUS000").string(), old_mus000);
    d88test::write_file((work_ / "MUS005").string(), Bytes(70000, 'M'));
    d88test::write_file((work_ / "notes.txt").string(), notes);

    Outcome outcome = listing_outcome(disk, kA);
    drop_file(outcome, "MUS000");
    drop_file(outcome, "MUS003");
    expect_run(run('a'), 0, outcome.out, "");
    outcome.files["ADPCM"] = old_adpcm;
    outcome.files["MUS000"] = old_mus000;
    outcome.files["notes.txt"] = notes;
    expect_work_files(outcome.files);
}

TEST_F(Extraction, FilesNamedLikeTemporaryFilesAreLeftAlone) {
    // Each output is first written to a temporary file in a directory created exclusively
    // beside it, so a file that already has such a name is never opened, let alone moved over
    // the output.
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    Outcome outcome = listing_outcome(disk, kA);
    std::map<std::string, Bytes> decoys;
    for (const auto& file : outcome.files)
        for (const char* suffix : {".tmp", ".0.tmp", ".1.tmp", "~"}) {
            const std::string name = file.first + suffix;
            decoys[name] = Bytes(name.begin(), name.end());
            d88test::write_file((work_ / name).string(), decoys[name]);
        }
    // Nor does the directory the run keeps its temporary files in take a name in use.
    for (const std::string name : {"soundext-0.tmp", "soundext-1.tmp"}) {
        decoys[name] = Bytes(name.begin(), name.end());
        d88test::write_file((work_ / name).string(), decoys[name]);
    }

    expect_run(run('a'), 0, outcome.out, "");
    outcome.files.insert(decoys.begin(), decoys.end());
    expect_work_files(outcome.files);
}

TEST_F(Extraction, SymlinkNamedLikeAnOutputIsReplacedNotWrittenThrough) {
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    const Bytes target{'t', 'a', 'r', 'g', 'e', 't'};
    d88test::write_file((base_ / "target").string(), target);
    fs::create_symlink("../target", work_ / "PMD");
    fs::create_symlink("../nowhere", work_ / "MUS001");  // dangling

    Outcome outcome = listing_outcome(disk, kA);
    expect_run(run('a'), 0, outcome.out, "");
    expect_work_files(outcome.files);
    EXPECT_EQ(d88test::read_file((base_ / "target").string()), target);
    EXPECT_FALSE(fs::exists(fs::symlink_status(base_ / "nowhere")));
}

TEST_F(Extraction, OutputNameTakenByADirectory) {
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    fs::create_directory(work_ / "ADPCM");
    fs::create_directory(work_ / "MUS001");

    Outcome outcome = listing_outcome(disk, kA);
    drop_file(outcome, "ADPCM");
    drop_file(outcome, "MUS001");
    expect_run(run('a'), 1, outcome.out, write_failed("ADPCM") + write_failed("MUS001"));
    expect_work_files(outcome.files, {"ADPCM", "MUS001"});
}

TEST_F(Extraction, FileSizeLimitFailsOnlyTheFilesBeyondIt) {
    // Under wine the limit would also bind the Windows host processes it starts.
    for (const std::string& word : emulator_command())
        if (fs::path(word).filename().string().rfind("wine", 0) == 0)
            GTEST_SKIP() << "a file-size limit is not meaningful for a Windows program";
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    const Bytes old_adpcm{'o', 'l', 'd'};
    d88test::write_file((work_ / "ADPCM").string(), old_adpcm);

    // 10,000 bytes: PMD (8,192) fits, ADPCM (81,920) and MUS002 (65,280) do not.
    RunOptions options;
    options.file_size_limit = 10000;
    Outcome outcome = listing_outcome(disk, kA);
    drop_file(outcome, "MUS002");
    expect_run(run('a', options), 1, outcome.out, write_failed("ADPCM") + write_failed("MUS002"));
    outcome.files["ADPCM"] = old_adpcm;
    expect_work_files(outcome.files);
}

TEST_F(Extraction, StandardOutputOnAFullDevice) {
    DiskBuilder disk = listing_disk();
    write_disk(disk.build());
    RunOptions options;
    options.stdout_on_full_device = true;
    expect_run(run('a', options), 1, "", kStandardOutputFailed);
    expect_work_files(listing_outcome(disk, kA).files);
}

}  // namespace
