#include "extraction_run.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "d88_image.h"

namespace {

constexpr int kWorkBufferSize = 327680;
constexpr int kPmdLength = 8192;
constexpr int kDirectorySector = 15;
constexpr int kDirectoryEntries = 64;
constexpr int kSectorSize = 256;
constexpr int kSizeCode = 1;  // 256-byte sectors

// Shift_JIS message texts.
constexpr char kOpenFailed[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1\n";
constexpr char kDirectoryFailed[] =
    "\x83\x66\x83\x42\x83\x8C\x83\x4E\x83\x67\x83\x8A\x82\xCC\x93\xC7\x82\xDD\x8D\x9E\x82\xDD"
    "\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n";
// Follows the name of whatever could not be written.
constexpr char kWriteFailedSuffix[] =
    "\x82\xCC\x8F\x91\x82\xAB\x8D\x9E\x82\xDD\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5"
    "\x82\xBD.\n";
// What the listing is written to, named in the message when it cannot be.
constexpr char kStandardOutput[] = "\x95\x57\x8F\x80\x8F\x6F\x97\xCD";

unsigned char work_buffer[kWorkBufferSize];
unsigned char directory_buffer[kSectorSize];
D88Image reader;

// The run's own directory for output files being written, made beside them when first
// needed and removed when the run ends.
char temp_dir[32];
bool temp_dir_made = false;

bool make_temp_dir() {
    // Creating a directory is exclusive everywhere, so a name that is already taken (by a file,
    // a link or another run's directory) is never used: try the next. fopen's "x" mode would do
    // the same for a file, but the Windows C runtime (msvcrt) does not honour it.
    std::error_code error;
    for (int attempt = 0; attempt < 100 && !temp_dir_made; ++attempt) {
        std::snprintf(temp_dir, sizeof temp_dir, "soundext-%d.tmp", attempt);
        temp_dir_made = std::filesystem::create_directory(temp_dir, error);
        if (error && error != std::errc::file_exists) return false;
    }
    return temp_dir_made;
}

void remove_temp_dir() {
    std::error_code error;
    if (temp_dir_made) std::filesystem::remove(temp_dir, error);
    temp_dir_made = false;
}

// Writes the bytes to a file in the run's own directory, then moves it over `name`, so a file
// of that name is replaced whole or not at all. The temporary file never outlives the call.
bool write_file_replacing(const char* name, const unsigned char* data, int length) {
    if (!make_temp_dir()) return false;
    // '/' separates the directory from the file name on every platform.
    char temp_name[64];
    std::snprintf(temp_name, sizeof temp_name, "%s/%s", temp_dir, name);
    std::FILE* out = std::fopen(temp_name, "wb");
    if (out == nullptr) return false;
    bool written = std::fwrite(data, 1, static_cast<std::size_t>(length), out) ==
                   static_cast<std::size_t>(length);
    written = std::fclose(out) == 0 && written;
    std::error_code error;
    if (written) std::filesystem::rename(temp_name, name, error);
    if (!written || error) {
        std::remove(temp_name);
        return false;
    }
    return true;
}

// Names whatever could not be written.
void report_write_failure(const char* name) {
    std::fputs(name, stderr);
    std::fputs(kWriteFailedSuffix, stderr);
}

}  // namespace

ExtractResult extract_to_file(const char* name, int track, int c, int h, int r, int n, int skip,
                              int length) {
    if (skip < 0 || length < 0 || length > kWorkBufferSize - skip) return ExtractResult::not_read;
    // Whatever the disk does not hold reads as zero, never as bytes of an earlier file.
    std::memset(work_buffer, 0, static_cast<std::size_t>(skip) + static_cast<std::size_t>(length));
    if (reader.read_sectors(track, c, h, r, n, work_buffer, skip + length) == 0)
        return ExtractResult::not_read;
    if (!write_file_replacing(name, work_buffer + skip, length)) {
        report_write_failure(name);
        return ExtractResult::write_failed;
    }
    return ExtractResult::written;
}

namespace {

int run_steps(const LayoutProfile& profile, int argc, char** argv) {
#ifdef SIGXFSZ
    // Past a file-size limit a write should fail and be reported, not kill the process and
    // leave a temporary file behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    if (argc < 2) {
        const char* program = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "soundext";
        std::fprintf(stderr, "Usage: %s [d88file]\n", program);
        return 1;
    }
    if (!reader.open(argv[1])) {
        std::fputs(kOpenFailed, stderr);
        return 1;
    }
    reader.select_image(0);
    reader.set_sector_range(1, 16);

    bool all_written = true;
    auto extract = [&](const char* name, int track, int r, int length) {
        ExtractResult result = extract_to_file(name, track, track / 2, track % 2, r, kSizeCode, 0, length);
        if (result == ExtractResult::write_failed) all_written = false;
        return result == ExtractResult::written;
    };

    extract("PMD", profile.pmd_track, 1, kPmdLength);
    extract("ADPCM", 1, 1, profile.adpcm_length);

    std::memset(directory_buffer, 0, sizeof directory_buffer);
    const int directory_track = profile.directory_track;
    if (reader.read_sectors(directory_track, directory_track / 2, directory_track % 2,
                            kDirectorySector, kSizeCode, directory_buffer,
                            kSectorSize) != kSectorSize) {
        std::fputs(kDirectoryFailed, stderr);
        return 1;
    }

    for (int i = profile.first_entry < 0 ? 0 : profile.first_entry; i < kDirectoryEntries; ++i) {
        const unsigned char* entry = directory_buffer + 4 * i;
        int track = entry[0];
        int sector = entry[1];
        int length = entry[2] * kSectorSize;
        if (track == 0) break;
        char name[16];
        std::snprintf(name, sizeof name, "MUS%03d", i);
        if (extract(name, track, sector, length))
            std::printf("%6s TRK:%02X SEC:%02X SIZE:%04X\n", name, track, sector, length);
    }

    // A listing that never reached its destination is a failed run.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        report_write_failure(kStandardOutput);
        return 1;
    }
    return all_written ? 0 : 1;
}

}  // namespace

int run_extraction(const LayoutProfile& profile, int argc, char** argv) {
    int status = run_steps(profile, argc, argv);
    remove_temp_dir();
    return status;
}
