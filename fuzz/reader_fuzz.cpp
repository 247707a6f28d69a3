// Fuzz target for the D88 reader. The input is a D88 file. Two D88Image readers work on it (one
// on the whole input, one on its first half, so that the same offsets lead to different bytes),
// and every call is repeated on ReferenceReader, a plain model of the documented behaviour; any
// difference in a result, in the bytes written to the destination or in the reader's state
// stops the run. First every image is selected and every track listed and read, then a script
// whose operations and parameters are taken from the input's last bytes mixes selections,
// reopenings, sector ranges and reads of single sectors, runs and track IDs.
#include <unistd.h>

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "d88_image.h"
#include "reference_reader.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kReaders = 2;
constexpr int kMaxScriptOps = 300;
// Bounds each reader's systematic pass so that one input stays well below the time limit.
constexpr int kSystematicReadBudget = 1500;
constexpr int kSystematicImages = 3;
constexpr int kIdsPerTrack = 24;

std::string file_path[2];          // the whole input, and its first half
Bytes file_bytes[2];
const char kMissingPath[] = "/nonexistent/soundext-fuzz/none.d88";

std::unique_ptr<D88Image> reader[kReaders];
std::unique_ptr<ReferenceReader> model[kReaders];

// One sector ID seen in a track listing, with the track it was listed on.
struct KnownId {
    int track;
    unsigned char id[4];
};
std::vector<KnownId> known_ids;

[[noreturn]] void mismatch(const char* what, int which, int a, int b) {
    std::fprintf(stderr, "reader_fuzz: %s differs on reader %d: D88Image %d, reference %d\n", what,
                 which, a, b);
    std::abort();
}

void check_state(int k) {
    D88Image& r = *reader[k];
    ReferenceReader& m = *model[k];
    if (r.image_count() != m.image_count()) mismatch("image_count", k, r.image_count(), m.image_count());
    if (r.media_type() != m.media_type()) mismatch("media_type", k, r.media_type(), m.media_type());
    if (std::memcmp(r.disk_name(), m.disk_name(), 17) != 0) mismatch("disk_name", k, 0, 1);
}

// Parameters for the script, read from the end of the input backwards; zero once used up.
class Params {
public:
    Params(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    bool empty() const { return left_ == 0; }
    unsigned byte() { return left_ == 0 ? 0u : data_[--left_]; }
    int u16() { return static_cast<int>(byte() | (byte() << 8)); }
    int i32() {
        std::uint32_t v = byte() | (byte() << 8) | (byte() << 16) | (static_cast<std::uint32_t>(byte()) << 24);
        return v <= 0x7FFFFFFFu ? static_cast<int>(v) : -static_cast<int>(~v) - 1;
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

// Destination buffers: two per call, one for D88Image and one for the model. Each call gets
// the last `size` bytes before a poisoned guard zone of a static arena, with the bytes before
// it poisoned as well, so the sanitizer reports any write outside the `size` bytes asked for
// (up to 7 bytes before it, where the poisoning cannot start exactly). The bytes are preset
// to one value, so that bytes left alone can be told from bytes written.
constexpr std::size_t kMaxDest = 0x20000;
constexpr std::size_t kGuard = 64;
alignas(64) unsigned char arena[2][kMaxDest + kGuard];

unsigned char* dest_buffer(int which, int size) {
    unsigned char* base = arena[which];
    unsigned char* end = base + kMaxDest;
    std::size_t bytes = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (bytes > kMaxDest) std::abort();
    ASAN_UNPOISON_MEMORY_REGION(base, kMaxDest + kGuard);
    ASAN_POISON_MEMORY_REGION(end, kGuard);
    unsigned char* begin = end - bytes;
    ASAN_POISON_MEMORY_REGION(base, static_cast<std::size_t>(begin - base) & ~static_cast<std::size_t>(7));
    std::memset(begin, 0xA5, bytes);
    return begin;
}

void compare_dest(const char* what, int k, const unsigned char* a, const unsigned char* b, int size) {
    if (size > 0 && std::memcmp(a, b, static_cast<std::size_t>(size)) != 0) {
        int at = 0;
        while (a[at] == b[at]) ++at;
        mismatch(what, k, at, -1);
    }
}

// Calls the same read (one sector, or a run) on reader k and on its model, with `limit` as the
// byte limit, and stops at the first difference in the result or in the bytes stored.
template <typename Mine, typename Plain>
int compare_read(const char* what, Mine mine, Plain plain, int k, int track, int c, int h, int r, int n,
                 int limit) {
    int size = limit > 0 ? limit : 0;
    unsigned char* a = dest_buffer(0, size);
    unsigned char* b = dest_buffer(1, size);
    int got_a = ((*reader[k]).*mine)(track, c, h, r, n, a, limit);
    int got_b = ((*model[k]).*plain)(track, c, h, r, n, b, limit);
    if (got_a != got_b) mismatch((std::string(what) + " result").c_str(), k, got_a, got_b);
    compare_dest((std::string(what) + " dest (first differing byte)").c_str(), k, a, b, size);
    return got_a;
}

int do_read_sector(int k, int track, int c, int h, int r, int n, int max) {
    return compare_read("read_sector", &D88Image::read_sector, &ReferenceReader::read_sector, k, track, c, h, r,
                        n, max);
}

int do_read_sectors(int k, int track, int c, int h, int r, int n, int length) {
    return compare_read("read_sectors", &D88Image::read_sectors, &ReferenceReader::read_sectors, k, track, c, h,
                        r, n, length);
}

// Lists the track's IDs on reader k; `ids`, if given, receives a copy of what was stored.
int do_read_track_ids(int k, int track, int capacity, unsigned char* ids = nullptr) {
    int size = capacity > 0 ? capacity : 0;
    unsigned char* a = dest_buffer(0, size);
    unsigned char* b = dest_buffer(1, size);
    int got_a = reader[k]->read_track_ids(track, a, capacity);
    int got_b = model[k]->read_track_ids(track, b, capacity);
    if (got_a != got_b) mismatch("read_track_ids result", k, got_a, got_b);
    compare_dest("read_track_ids dest (first differing byte)", k, a, b, size);
    if (ids != nullptr) std::memcpy(ids, a, static_cast<std::size_t>(got_a));
    for (int at = 0; at + 4 <= got_a && known_ids.size() < 512; at += 4) {
        KnownId known{track, {}};
        std::memcpy(known.id, a + at, 4);
        known_ids.push_back(known);
    }
    return got_a;
}

void do_open(int k, int which) {
    bool ok_a = reader[k]->open(which < 2 ? file_path[which].c_str() : kMissingPath);
    bool ok_b = model[k]->open(which < 2 ? &file_bytes[which] : nullptr);
    if (ok_a != ok_b) mismatch("open result", k, ok_a, ok_b);
    check_state(k);
}

bool do_select(int k, int index) {
    bool ok_a = reader[k]->select_image(index);
    bool ok_b = model[k]->select_image(index);
    if (ok_a != ok_b) mismatch("select_image result", k, ok_a, ok_b);
    check_state(k);
    return ok_a;
}

void do_set_sector_range(int k, int first, int last) {
    reader[k]->set_sector_range(first, last);
    model[k]->set_sector_range(first, last);
}

// Selects every image, and one index before and past them, on reader k; on a few of them lists
// every track and reads the sectors it lists, singly with several limits and as a run.
void systematic_pass(int k, int& budget) {
    int count = reader[k]->image_count();
    int selected = 0;
    static const int kMaxima[] = {256, 1, 255, 257, 128, 65535, 65536, 4096};
    for (int index = -1; index <= count; ++index) {
        bool heavy = index == count - 1 || selected < kSystematicImages - 1;
        if (!do_select(k, index) || !heavy) continue;
        ++selected;
        for (int track = -1; track <= D88Image::kTrackCount && budget > 0; ++track) {
            unsigned char ids[4 * kIdsPerTrack];
            int listed = do_read_track_ids(k, track, 4 * kIdsPerTrack, ids);
            --budget;
            for (int at = 0; at + 4 <= listed && budget > 0; at += 4, --budget) {
                const unsigned char* id = ids + at;
                do_read_sector(k, track, id[0], id[1], id[2], id[3], kMaxima[(at / 4) % 8]);
            }
            if (listed >= 4 && budget > 0) {
                --budget;
                // A whole track and one byte more, so the run also steps on to the next track.
                do_read_sectors(k, track, ids[0], ids[1], ids[2], ids[3] > 3 ? 1 : ids[3],
                                (16 << (ids[3] > 3 ? 8 : 7 + ids[3])) + 1);
            }
        }
    }
}

void pick_id(Params& p, int& track, int& c, int& h, int& r, int& n) {
    unsigned how = p.byte();
    if (!known_ids.empty() && how < 192) {
        const KnownId& known = known_ids[p.byte() % known_ids.size()];
        track = known.track;
        c = known.id[0];
        h = known.id[1];
        r = known.id[2];
        n = known.id[3];
        // Now and then the neighbouring sector, or the same ID on the next track.
        if (how % 8 == 1) r += 1;
        if (how % 8 == 2) track += 1;
        return;
    }
    track = static_cast<int>(p.byte() % 168) - 2;
    c = static_cast<int>(p.byte());
    h = static_cast<int>(p.byte() % 4);
    r = static_cast<int>(p.byte());
    n = static_cast<int>(p.byte() % 4);
    if (how == 255) {
        // Values outside a byte's range.
        track = p.i32();
        r = p.i32();
    }
}

int pick_length(Params& p) {
    switch (p.byte() % 8) {
        case 0: return 0;
        case 1: return -static_cast<int>(p.byte());
        case 2: return 256 * static_cast<int>(1 + p.byte() % 40);
        case 3: return 256 * static_cast<int>(1 + p.byte() % 40) + static_cast<int>(p.byte() % 255) + 1;
        case 4: return p.u16();
        case 5: return 1 + static_cast<int>(p.byte());
        case 6: return 0x10000 + p.u16();
        default: return p.i32() % 0x20000;
    }
}

void run_script(Params& p) {
    int k = 0;
    for (int op = 0; op < kMaxScriptOps && !p.empty(); ++op) {
        int track, c, h, r, n;
        switch (p.byte() % 12) {
            case 0:
                k = static_cast<int>(p.byte() % kReaders);
                break;
            case 1:
                do_select(k, static_cast<int>(p.byte() % 68) - 1);
                break;
            case 2: {
                unsigned which = p.byte() % 8;
                if (which == 7) {
                    reader[k]->close();
                    model[k]->close();
                    check_state(k);
                } else if (which == 6) {
                    // A new reader in place of the old one: the old one's file is closed.
                    reader[k].reset(new D88Image);
                    model[k].reset(new ReferenceReader);
                    check_state(k);
                } else {
                    do_open(k, which < 3 ? 0 : which < 5 ? 1 : 2);
                }
                break;
            }
            case 3: {
                unsigned how = p.byte() % 4;
                int first = how == 0 ? 1 : static_cast<int>(static_cast<signed char>(p.byte()));
                int last = how == 0 ? 16 : how == 3 ? p.i32() : static_cast<int>(p.byte());
                do_set_sector_range(k, first, last);
                break;
            }
            case 4:
                do_read_track_ids(k, static_cast<int>(p.byte() % 168) - 2,
                                  static_cast<int>(p.byte() % 80) * 4 + static_cast<int>(p.byte() % 8) - 4);
                break;
            case 5:
            case 6:
            case 7: {
                pick_id(p, track, c, h, r, n);
                int max;
                switch (p.byte() % 6) {
                    case 0: max = 256; break;
                    case 1: max = 1 + static_cast<int>(p.byte()); break;
                    case 2: max = p.u16(); break;
                    case 3: max = 0x10000 + static_cast<int>(p.byte()); break;
                    case 4: max = -static_cast<int>(p.byte()); break;
                    default: max = 128 << (p.byte() % 6); break;
                }
                do_read_sector(k, track, c, h, r, n, max);
                break;
            }
            default: {
                pick_id(p, track, c, h, r, n);
                unsigned how = p.byte();
                if (how % 16 == 0) n = static_cast<int>(p.byte() % 32) - 4;  // also 24 and beyond
                do_read_sectors(k, track, c, h, r, n, pick_length(p));
                break;
            }
        }
    }
}

bool write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

void remove_files() {
    for (const std::string& path : file_path) std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = std::getenv("TMPDIR");
    std::string base = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/soundext-reader-fuzz-" +
                       std::to_string(static_cast<long>(getpid()));
    file_path[0] = base + "-whole.d88";
    file_path[1] = base + "-half.d88";
    std::atexit(remove_files);
    for (int k = 0; k < kReaders; ++k) {
        reader[k].reset(new D88Image);
        model[k].reset(new ReferenceReader);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    file_bytes[0].assign(data, data + size);
    file_bytes[1].assign(data, data + size / 2);
    for (int f = 0; f < 2; ++f) {
        if (!write_whole_file(file_path[f], file_bytes[f].data(), file_bytes[f].size())) {
            std::fprintf(stderr, "reader_fuzz: cannot write %s\n", file_path[f].c_str());
            std::abort();
        }
    }
    known_ids.clear();

    for (int k = 0; k < kReaders; ++k) {
        int budget = kSystematicReadBudget;
        do_set_sector_range(k, 1, 16);
        do_open(k, k);
        systematic_pass(k, budget);
    }
    // The script starts with image 0 current on both readers.
    for (int k = 0; k < kReaders; ++k) do_select(k, 0);

    Params params(data, size);
    run_script(params);
    return 0;
}
