// Benchmark of one extraction program (edition A's by default) on three disks made here:
//   (a) a full-size disk: all 164 tracks of sixteen 256-byte sectors, a directory of 64 music
//       files of 255 sectors (65,280 bytes) each;
//   (b) two crafted disks on which every track-table entry points into one track that holds
//       some 65,000 records matching nothing (data size 0, sector count FFFF) ahead of the real
//       sectors the run reads: with all entries at the same offset, and staggered 16 bytes
//       apart so that each track's walk starts at a different record.
// Each disk is run through the program several times in a fresh directory; the benchmark
// prints the median wall time (process start to exit) and the peak resident size, next to a
// floor: a process that copies the same bytes into the same 66 files with plain reads and
// writes. Every run's exit status, listing, messages and files are checked, so a figure always
// belongs to a run that did the whole job. A run still going after --limit seconds (120 by
// default) is stopped and shown as "> N s".
//
// With --more it also runs two crafted disks of about 2 MiB that go further than (b), with no
// target set for them (see kMoreForms).
//
//   soundext-bench [--program PATH] [--runs N] [--limit SECONDS] [--more] [--keep]
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "d88_builder.h"
#include "profiles.h"

#ifndef SOUNDEXT_BENCH_PROGRAM
#define SOUNDEXT_BENCH_PROGRAM "soundext-a"
#endif

using d88test::Bytes;
using d88test::DiskBuilder;
using d88test::Record;

namespace {

const LayoutProfile& kProfile = kEditionA;
constexpr int kSectorSize = 256;
constexpr int kMusicSectors = 255;
constexpr int kFillers = 64900;  // with the real sectors, within one walk of FFFF records
constexpr double kSlowRunSeconds = 10.0;

// One output file: its name and the file offsets of its sectors' data, in order.
struct Output {
    std::string name;
    std::vector<std::uint32_t> sectors;
};

struct Case {
    std::string label;
    Bytes image;
    std::vector<Output> outputs;
    std::string listing;
    long lookups = 0;  // sector look-ups the run makes
};

// Where the data of sector r of track t lies, for each track and sector the run reads.
using SectorMap = std::vector<std::vector<std::uint32_t>>;  // [track][r], 0 when absent

// The files of one edition-A run: PMD, ADPCM and the 64 music files, each a run of sectors
// found by the reader's stepping rule (sector 16 is followed by sector 1 of the next track).
void plan_outputs(Case& c, const SectorMap& map, const std::vector<d88test::DirectoryEntryBytes>& entries) {
    auto add = [&](const std::string& name, int track, int r, int sectors) {
        Output out;
        out.name = name;
        for (int i = 0; i < sectors; ++i) {
            std::uint32_t at = map[static_cast<std::size_t>(track)][static_cast<std::size_t>(r)];
            if (at == 0) {
                std::fprintf(stderr, "soundext-bench: %s: track %d sector %d missing\n", name.c_str(), track, r);
                std::exit(2);
            }
            out.sectors.push_back(at);
            if (r == 16) {
                ++track;
                r = 1;
            } else {
                ++r;
            }
        }
        c.lookups += sectors;
        c.outputs.push_back(out);
    };
    add("PMD", kProfile.pmd_track, 1, 8192 / kSectorSize);
    add("ADPCM", 1, 1, kProfile.adpcm_length / kSectorSize);
    c.lookups += 1;  // the directory
    for (std::size_t i = 0; i < entries.size(); ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "MUS%03d", static_cast<int>(i % 64));
        add(name, entries[i].track, entries[i].sector, entries[i].units);
        char line[64];
        std::snprintf(line, sizeof line, "%6s TRK:%02X SEC:%02X SIZE:%04X\n", name, entries[i].track,
                      entries[i].sector, entries[i].units * kSectorSize);
        c.listing += line;
    }
}

std::vector<std::pair<int, d88test::DirectoryEntryBytes>> numbered(const std::vector<d88test::DirectoryEntryBytes>& entries) {
    std::vector<std::pair<int, d88test::DirectoryEntryBytes>> out;
    for (std::size_t i = 0; i < entries.size(); ++i) out.push_back({static_cast<int>(i), entries[i]});
    return out;
}

// (a): every track present; the music files start all over the disk, at every sector number,
// and each runs 255 sectors across 16 or 17 tracks.
Case full_disk() {
    Case c;
    c.label = "(a) full-size disk";
    std::vector<d88test::DirectoryEntryBytes> entries;
    for (int i = 0; i < 64; ++i) {
        d88test::DirectoryEntryBytes e;
        e.track = static_cast<std::uint8_t>(40 + i * 107 / 63);  // 40 .. 147: the last ends on 163
        e.sector = static_cast<std::uint8_t>(1 + i % 16);
        e.units = kMusicSectors;
        entries.push_back(e);
    }
    DiskBuilder disk;
    disk.name = "BENCH FULL";
    for (int t = 0; t < DiskBuilder::kTracks; ++t) disk.standard_track(t);
    disk.set_sector_data(kProfile.directory_track, 15, d88test::directory_sector(numbered(entries)));
    c.image = disk.build();
    auto offsets = disk.data_offsets();
    SectorMap map(DiskBuilder::kTracks, std::vector<std::uint32_t>(17, 0));
    for (int t = 0; t < DiskBuilder::kTracks; ++t)
        for (int r = 1; r <= 16; ++r)
            map[static_cast<std::size_t>(t)][static_cast<std::size_t>(r)] =
                static_cast<std::uint32_t>(offsets[static_cast<std::size_t>(t)][static_cast<std::size_t>(r - 1)]);
    plan_outputs(c, map, entries);
    return c;
}

// The crafted track: `fillers` records that match nothing (data size 0, size code FF), then the
// sixteen sectors of each track the run reads (ADPCM, PMD and directory, music). Every
// track-table entry points into it, `stagger` bytes further for each track index.
struct CraftedTrack {
    const char* label;
    int stagger;
    int fillers;
    // The first `distinct` fillers carry IDs that differ from each other; the rest all one ID.
    int distinct;
    // Whether the walk may go on past FFFF records: each walk ends after the record whose index
    // equals its sector count less one, so a count of FFFF ends a walk at its FFFFth record,
    // and a count of 1 ends no walk that does not start at that very record.
    bool long_walk;
};

Case crafted_disk(const CraftedTrack& form) {
    Case c;
    c.label = form.label;
    std::vector<d88test::DirectoryEntryBytes> entries;
    for (int i = 0; i < 64; ++i) {
        d88test::DirectoryEntryBytes e;
        e.track = 40;
        e.sector = static_cast<std::uint8_t>(1 + i % 16);
        e.units = kMusicSectors;
        entries.push_back(e);
    }
    std::vector<int> tracks;
    for (int t = 1; t <= kProfile.adpcm_length / (16 * kSectorSize); ++t) tracks.push_back(t);
    tracks.push_back(kProfile.pmd_track);
    tracks.push_back(kProfile.directory_track);
    for (int t = 40; t <= 56; ++t) tracks.push_back(t);

    DiskBuilder disk;
    disk.name = "BENCH CRAFTED";
    auto& records = disk.track(0);
    // The records a walk may start at (the first 164, when staggered) keep FFFF: a count of 1
    // there would end the walk that starts on it.
    auto count_at = [&](std::size_t index) -> std::uint16_t {
        return !form.long_walk || index < DiskBuilder::kTracks ? 0xFFFF : 1;
    };
    for (int i = 0; i < form.fillers; ++i) {
        Record filler;
        int k = i < form.distinct ? i : 0;
        filler.c = static_cast<std::uint8_t>(0x80 | ((k >> 12) & 0x7F));
        filler.h = static_cast<std::uint8_t>(k >> 4);
        filler.r = static_cast<std::uint8_t>(k & 0xF);
        filler.n = 0xFF;
        filler.sector_count = count_at(records.size());
        records.push_back(filler);
    }
    for (int t : tracks) {
        for (int r = 1; r <= 16; ++r) {
            Record rec;
            rec.c = static_cast<std::uint8_t>(t / 2);
            rec.h = static_cast<std::uint8_t>(t % 2);
            rec.r = static_cast<std::uint8_t>(r);
            rec.sector_count = count_at(records.size());
            rec.data = t == kProfile.directory_track && r == 15 ? d88test::directory_sector(numbered(entries))
                                                                : d88test::tagged_sector(t, r);
            records.push_back(rec);
        }
    }
    // Otherwise a walk ends after FFFF records, counted from where the track's entry points:
    // the real sectors must lie within the first FFFF records of the track.
    if (!form.long_walk && records.size() > 0xFFFF) {
        std::fprintf(stderr, "soundext-bench: crafted track too long for one walk\n");
        std::exit(2);
    }
    for (int t = 0; t < DiskBuilder::kTracks; ++t)
        disk.override_track_offset(t, static_cast<std::uint32_t>(0x2B0 + form.stagger * t));
    c.image = disk.build();
    auto offsets = disk.data_offsets();
    SectorMap map(DiskBuilder::kTracks, std::vector<std::uint32_t>(17, 0));
    std::size_t index = static_cast<std::size_t>(form.fillers);
    for (int t : tracks)
        for (int r = 1; r <= 16; ++r)
            map[static_cast<std::size_t>(t)][static_cast<std::size_t>(r)] = static_cast<std::uint32_t>(offsets[0][index++]);
    plan_outputs(c, map, entries);
    return c;
}

// The two crafted forms the targets are set for, and, with --more, forms of about the same
// size that are harder still: walks that go on past FFFF records, through fillers that each
// carry an ID of their own (the second with 30,000 more fillers of one ID after those).
const CraftedTrack kCraftedForms[] = {
    {"(b) crafted, same offset", 0, kFillers, 0, false},
    {"(b) crafted, staggered", 16, kFillers, 0, false},
};
const CraftedTrack kMoreForms[] = {
    {"(m) long walk, staggered", 16, 140000, 140000, true},
    {"(m) long walk, same offset", 0, 170000, 140000, true},
};

// ---- files and processes ----

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "soundext-bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

bool write_all(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done <= 0) return false;
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

Bytes read_all(const std::string& path) {
    Bytes bytes;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return bytes;
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
    unsigned char buffer[1 << 16];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    close(fd);
    return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || !write_all(fd, bytes.data(), bytes.size()) || close(fd) != 0) die("cannot write " + path);
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) die("cannot list " + dir);
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void empty_dir(const std::string& dir) {
    for (const std::string& name : list_dir(dir)) unlink((dir + "/" + name).c_str());
}

struct RunResult {
    double seconds = 0;
    long peak_rss_kib = 0;
    int status = -1;
};

// Exit status reported for a run stopped at the time limit.
constexpr int kStopped = 1000;

// Starts args in `dir` with standard output and error to the given files, waits for it, and
// measures wall time from before the start to after the exit, and the child's peak RSS.
RunResult run_process(const std::vector<std::string>& args, const std::string& dir, const std::string& out_path,
                      const std::string& err_path, int limit_seconds) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Forget the exit of any earlier child, so that only this one's ends the wait below.
    sigset_t pending;
    sigemptyset(&pending);
    sigaddset(&pending, SIGCHLD);
    timespec now{0, 0};
    while (sigtimedwait(&pending, nullptr, &now) > 0) {
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) die("fork");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || chdir(dir.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        close(out);
        close(err);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // SIGCHLD is blocked (see launcher_main), so this waits for the child's exit or the limit.
    sigset_t child_exit;
    sigemptyset(&child_exit);
    sigaddset(&child_exit, SIGCHLD);
    timespec limit{limit_seconds, 0};
    bool stopped = false;
    int got;
    do {
        got = sigtimedwait(&child_exit, nullptr, &limit);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno == EAGAIN) {
        int ignored = 0;
        if (waitpid(pid, &ignored, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            stopped = true;
        }
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) die("wait4");
    auto end = std::chrono::steady_clock::now();
    RunResult result;
    result.seconds = std::chrono::duration<double>(end - start).count();
    result.peak_rss_kib = usage.ru_maxrss;  // kilobytes on Linux
    result.status = stopped ? kStopped : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// A child's peak resident size includes what it held between fork and exec: a copy of its
// parent, which for this benchmark holds the images and every expected file. So the programs
// are started by a launcher, a copy of this benchmark started before any of that is built,
// that takes requests over a pipe: the fields one per line, an empty line at the end; it
// answers with "seconds peak-KiB status". Its own size is the least any figure can show.
int launcher_main(int limit_seconds) {
    sigset_t child_exit;
    sigemptyset(&child_exit);
    sigaddset(&child_exit, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child_exit, nullptr);
    std::FILE* in = fdopen(0, "r");
    char line[8192];
    std::vector<std::string> fields;
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string field(line);
        if (!field.empty() && field.back() == '\n') field.pop_back();
        if (!field.empty()) {
            fields.push_back(field);
            continue;
        }
        if (fields.size() < 4) return 2;
        std::vector<std::string> args(fields.begin() + 3, fields.end());
        RunResult r = run_process(args, fields[0], fields[1], fields[2], limit_seconds);
        std::printf("%.9f %ld %d\n", r.seconds, r.peak_rss_kib, r.status);
        std::fflush(stdout);
        fields.clear();
    }
    return 0;
}

class Launcher {
public:
    Launcher(const std::string& self, int limit_seconds) {
        std::string limit = std::to_string(limit_seconds);
        int request[2], answer[2];
        if (pipe(request) != 0 || pipe(answer) != 0) die("pipe");
        pid_ = fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            dup2(request[0], 0);
            dup2(answer[1], 1);
            close(request[0]);
            close(request[1]);
            close(answer[0]);
            close(answer[1]);
            execl(self.c_str(), self.c_str(), "--launcher", limit.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(request[0]);
        close(answer[1]);
        to_ = fdopen(request[1], "w");
        from_ = fdopen(answer[0], "r");
    }
    ~Launcher() {
        std::fclose(to_);
        std::fclose(from_);
        waitpid(pid_, nullptr, 0);
    }
    RunResult run(const std::vector<std::string>& args, const std::string& dir, const std::string& out_path,
                  const std::string& err_path) {
        std::fprintf(to_, "%s\n%s\n%s\n", dir.c_str(), out_path.c_str(), err_path.c_str());
        for (const std::string& a : args) std::fprintf(to_, "%s\n", a.c_str());
        std::fprintf(to_, "\n");
        std::fflush(to_);
        RunResult r;
        if (std::fscanf(from_, "%lf %ld %d", &r.seconds, &r.peak_rss_kib, &r.status) != 3) die("the launcher failed");
        return r;
    }

private:
    pid_t pid_ = -1;
    std::FILE* to_ = nullptr;
    std::FILE* from_ = nullptr;
};

Launcher* launcher = nullptr;

// The bytes each output file must hold.
Bytes expected_bytes(const Case& c, const Output& out) {
    Bytes bytes;
    for (std::uint32_t at : out.sectors)
        bytes.insert(bytes.end(), c.image.begin() + at, c.image.begin() + at + kSectorSize);
    return bytes;
}

// Empty when the directory holds exactly the case's 66 files with the right bytes.
std::string check_files(const Case& c, const std::vector<Bytes>& expected, const std::string& dir) {
    std::vector<std::string> want;
    for (const Output& out : c.outputs) want.push_back(out.name);
    std::sort(want.begin(), want.end());
    if (list_dir(dir) != want) return "the directory does not hold exactly the expected files";
    for (std::size_t i = 0; i < c.outputs.size(); ++i)
        if (read_all(dir + "/" + c.outputs[i].name) != expected[i]) return c.outputs[i].name + " has wrong bytes";
    return "";
}

// The floor's plan, in this machine's byte order: for each file an 8-byte name, the number of
// sectors, and the file offset of each sector's data, 4 bytes each.
void write_plan(const Case& c, const std::string& path) {
    Bytes plan;
    auto put = [&](const void* data, std::size_t size) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        plan.insert(plan.end(), bytes, bytes + size);
    };
    for (const Output& out : c.outputs) {
        char name[8] = {};
        std::memcpy(name, out.name.c_str(), std::min<std::size_t>(out.name.size(), 7));
        std::uint32_t count = static_cast<std::uint32_t>(out.sectors.size());
        put(name, sizeof name);
        put(&count, sizeof count);
        put(out.sectors.data(), out.sectors.size() * sizeof(std::uint32_t));
    }
    write_file(path, plan);
}

// The floor itself, run as a process of its own in the output directory: reads the image
// with plain reads, gathers each file's sectors and writes each file with plain writes.
int copy_floor(const char* plan_path, const char* image_path) {
    Bytes image = read_all(image_path);
    Bytes plan = read_all(plan_path);
    Bytes buffer;
    std::size_t at = 0;
    while (at + 12 <= plan.size()) {
        char name[8];
        std::uint32_t count;
        std::memcpy(name, &plan[at], 8);
        std::memcpy(&count, &plan[at + 8], 4);
        at += 12;
        if (at + 4 * static_cast<std::size_t>(count) > plan.size()) return 3;
        buffer.resize(static_cast<std::size_t>(count) * kSectorSize);
        for (std::uint32_t i = 0; i < count; ++i, at += 4) {
            std::uint32_t offset;
            std::memcpy(&offset, &plan[at], 4);
            if (offset + static_cast<std::size_t>(kSectorSize) > image.size()) return 3;
            std::memcpy(&buffer[static_cast<std::size_t>(i) * kSectorSize], &image[offset], kSectorSize);
        }
        int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || !write_all(fd, buffer.data(), buffer.size()) || close(fd) != 0) return 4;
    }
    return 0;
}

std::string self_path(const char* argv0) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return std::string(path, static_cast<std::size_t>(n));
    return argv0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Measured {
    double median_seconds = 0;
    double min_seconds = 0;
    double max_seconds = 0;
    long peak_rss_kib = 0;
    int runs = 0;
    bool stopped = false;  // the run was stopped at the time limit
};

// One run of args in `dir`, checked: exit status 0, nothing on standard error, the listing
// (when `listing` is given) and exactly the case's files with their bytes. On a failed check,
// prints why and returns false.
bool checked_run(const Case& c, const std::vector<Bytes>& expected, const std::vector<std::string>& args,
                 const std::string& dir, const std::string& scratch, const std::string* listing, RunResult& r) {
    empty_dir(dir);
    r = launcher->run(args, dir, scratch + "/stdout", scratch + "/stderr");
    if (r.status == kStopped) {
        empty_dir(dir);
        return true;  // no verdict on a run that did not end; its time says enough
    }
    std::string problem;
    if (r.status != 0) problem = "exit status " + std::to_string(r.status);
    Bytes out = read_all(scratch + "/stdout");
    Bytes err = read_all(scratch + "/stderr");
    if (problem.empty() && !err.empty()) problem = "standard error: " + std::string(err.begin(), err.end());
    if (problem.empty() && listing != nullptr && std::string(out.begin(), out.end()) != *listing)
        problem = "the listing is not the expected 64 lines";
    if (problem.empty()) problem = check_files(c, expected, dir);
    empty_dir(dir);
    if (!problem.empty()) {
        std::fprintf(stderr, "soundext-bench: %s: %s: %s\n", c.label.c_str(), args[0].c_str(), problem.c_str());
        return false;
    }
    return true;
}

void summarize(const std::vector<double>& times, Measured& m) {
    m.runs = static_cast<int>(times.size());
    m.median_seconds = median(times);
    m.min_seconds = *std::min_element(times.begin(), times.end());
    m.max_seconds = *std::max_element(times.begin(), times.end());
}

// A warm-up of each, then `runs` runs of the program, each followed by a run of the floor, so
// that a change in the machine's load falls on both alike. A program run that takes very
// long is not repeated: the warm-up is then its only figure.
bool measure(const Case& c, const std::vector<Bytes>& expected, const std::vector<std::string>& program_args,
             const std::vector<std::string>& floor_args, const std::string& dir, const std::string& scratch,
             int runs, Measured& program, Measured& floor) {
    std::vector<double> program_times, floor_times;
    RunResult r;
    bool slow = false;
    for (int i = 0; i <= runs && !(slow && i > 1); ++i) {
        if (i == 0 || !slow) {
            if (!checked_run(c, expected, program_args, dir, scratch, &c.listing, r)) return false;
            program.peak_rss_kib = std::max(program.peak_rss_kib, r.peak_rss_kib);
            if (i == 0 && r.seconds >= kSlowRunSeconds) slow = true;
            if (r.status == kStopped) program.stopped = true;
            if (i > 0 || slow) program_times.push_back(r.seconds);
        }
        if (!checked_run(c, expected, floor_args, dir, scratch, nullptr, r)) return false;
        floor.peak_rss_kib = std::max(floor.peak_rss_kib, r.peak_rss_kib);
        if (i > 0) floor_times.push_back(r.seconds);
    }
    summarize(program_times, program);
    summarize(floor_times, floor);
    return true;
}

std::string ms(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.1f ms" : "%.0f ms", seconds * 1000);
    return text;
}

// A program's median time, or the time limit for a run that was stopped there.
std::string figure(const Measured& m, int limit) {
    return m.stopped ? "> " + std::to_string(limit) + " s" : ms(m.median_seconds);
}

void remove_tree(const std::string& dir) {
    for (const std::string& name : list_dir(dir)) {
        std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            remove_tree(path);
        else
            unlink(path.c_str());
    }
    rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--floor") == 0) return copy_floor(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--launcher") == 0) return launcher_main(std::atoi(argv[2]));
    if (argc == 2 && std::strcmp(argv[1], "--noop") == 0) return 0;

    std::string program = SOUNDEXT_BENCH_PROGRAM;
    int runs = 9;
    bool keep = false;
    bool more = false;
    int limit = 120;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--program" && i + 1 < argc) {
            program = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--keep") {
            keep = true;
        } else if (a == "--more") {
            more = true;
        } else if (a == "--limit" && i + 1 < argc) {
            limit = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s [--program PATH] [--runs N] [--limit SECONDS] [--more] [--keep]\n", argv[0]);
            return 2;
        }
    }
    char resolved[4096];
    if (realpath(program.c_str(), resolved) == nullptr) die("cannot find the program " + program);
    program = resolved;
    const std::string self = self_path(argv[0]);
    Launcher started(self, limit);
    launcher = &started;

    std::vector<Case> cases;
    cases.push_back(full_disk());
    for (const CraftedTrack& form : kCraftedForms) cases.push_back(crafted_disk(form));
    if (more)
        for (const CraftedTrack& form : kMoreForms) cases.push_back(crafted_disk(form));

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/soundext-bench-XXXXXX";
    std::vector<char> root_name(pattern.begin(), pattern.end());
    root_name.push_back('\0');
    if (mkdtemp(root_name.data()) == nullptr) die("mkdtemp");
    const std::string root = root_name.data();
    const std::string root_parent = root.substr(0, root.rfind('/') + 1);

    std::printf("soundext benchmark\n");
    std::printf("program: %s\n", program.c_str());
    std::printf("each figure: median wall time of %d runs after a warm-up, process start to exit,\n", runs);
    std::printf("program and floor runs taking turns;\n");
    std::printf("peak RSS: largest of the runs; floor: the same bytes into the same 66 files with plain reads and writes\n\n");
    std::printf("%-26s %9s %9s %12s %9s %10s %9s\n", "case", "image", "look-ups", "program", "peak RSS", "floor", "vs floor");

    bool valid = true;
    std::vector<Measured> programs, floors;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        std::string dir = root + "/case" + std::to_string(k);
        std::string out_dir = dir + "/out";
        mkdir(dir.c_str(), 0755);
        mkdir(out_dir.c_str(), 0755);
        std::string image_path = dir + "/disk.d88";
        std::string plan_path = dir + "/plan.bin";
        write_file(image_path, c.image);
        write_plan(c, plan_path);
        std::vector<Bytes> expected;
        for (const Output& out : c.outputs) expected.push_back(expected_bytes(c, out));

        Measured prog, floor;
        bool ok = measure(c, expected, {program, image_path}, {self, "--floor", plan_path, image_path}, out_dir,
                          dir, runs, prog, floor);
        if (!ok) {
            valid = false;
            continue;
        }
        programs.push_back(prog);
        floors.push_back(floor);
        char image_size[32], rss[32], ratio[32];
        std::snprintf(image_size, sizeof image_size, "%zu KiB", c.image.size() / 1024);
        std::snprintf(rss, sizeof rss, "%.1f MiB", static_cast<double>(prog.peak_rss_kib) / 1024);
        std::snprintf(ratio, sizeof ratio, "%.2fx", prog.median_seconds / floor.median_seconds);
        std::string time = figure(prog, limit);
        if (prog.runs == 1 && !prog.stopped) time += " (1 run)";
        std::printf("%-26s %9s %9ld %12s %9s %10s %9s\n", c.label.c_str(), image_size, c.lookups, time.c_str(), rss,
                    ms(floor.median_seconds).c_str(), ratio);
        std::fflush(stdout);
    }
    if (!keep) remove_tree(root);
    if (!valid) {
        std::printf("\nsome runs did not do the whole job; no verdict\n");
        return 1;
    }

    std::printf("\nspread (min .. max of the measured runs):\n");
    for (std::size_t k = 0; k < cases.size(); ++k)
        std::printf("  %-26s program %s .. %s, floor %s .. %s\n", cases[k].label.c_str(),
                    ms(programs[k].min_seconds).c_str(), ms(programs[k].max_seconds).c_str(),
                    ms(floors[k].min_seconds).c_str(), ms(floors[k].max_seconds).c_str());

    auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
    double a = programs[0].median_seconds;
    bool a_met = a <= 1.5 * floors[0].median_seconds;
    bool b_met = programs[1].median_seconds < 1.0 && programs[2].median_seconds < 1.0;
    long peak = 0;
    for (std::size_t k = 0; k < 3; ++k) peak = std::max(peak, programs[k].peak_rss_kib);
    std::printf("\ntargets:\n");
    std::printf("  (a) within 1.5x of its floor:        %.2fx   %s\n", a / floors[0].median_seconds, verdict(a_met));
    std::printf("  (b) under 1 s, both forms:           %s, %s   %s\n", figure(programs[1], limit).c_str(),
                figure(programs[2], limit).c_str(), verdict(b_met));
    std::printf("      (b) against (a):                 %.1fx, %.1fx (about 50x at most)\n",
                programs[1].median_seconds / a, programs[2].median_seconds / a);
    std::printf("  peak RSS under 8 MiB, (a) and (b):   %.1f MiB   %s\n", static_cast<double>(peak) / 1024,
                verdict(peak < 8 * 1024));
    RunResult noop = launcher->run({self, "--noop"}, root_parent, "/dev/null", "/dev/null");
    std::printf("      (no figure can be below %.1f MiB, the size of the process that starts the runs)\n",
                static_cast<double>(noop.peak_rss_kib) / 1024);
    if (more) std::printf("  (m): no target; shown for what lies beyond (b)\n");
    return 0;
}
