#include "d88_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

namespace {

constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int32_t>::max();

// Every opened file gets a new serial; 0 belongs to none.
std::uint64_t last_file_serial = 0;

// The bytes last read from a file, so that walking record headers costs no seek or read each.
struct ReadWindow {
    static constexpr int kSize = 1 << 16;
    std::uint64_t file_serial = 0;
    std::int64_t start = 0;
    int length = 0;  // below kSize only when the file ends inside the window
    unsigned char bytes[kSize];
};
ReadWindow window;

// The sectors that one walk over a track offers for one cylinder, head and size code: the first
// record of each sector number R, as a walk from the track's first record to the end of the
// walk met them. A walk depends only on the file and the offset it starts from, so one such
// table answers every later look-up of those IDs on that walk. A run asks for one cylinder,
// head and size code per track, so it fills at most one table per track.
struct SectorTable {
    static constexpr std::uint32_t kGroupMask = 0xFF00FFFFu;  // the ID without R
    std::uint64_t file_serial = 0;  // 0: the table holds nothing
    std::int64_t start = 0;
    std::uint32_t group = 0;
    std::uint64_t last_used = 0;
    std::int32_t data_size[256];  // -1: no record of this R before the walk ends
    std::uint32_t data_pos[256];
};
// More tables than a disk has tracks, so a run never walks a track twice for the same IDs.
constexpr int kSectorTables = 256;
SectorTable sector_tables[kSectorTables];
SectorTable* last_table = nullptr;
std::uint64_t table_clock = 0;

std::uint32_t pack_id(const unsigned char* id) {
    return static_cast<std::uint32_t>(id[0]) | (static_cast<std::uint32_t>(id[1]) << 8) |
           (static_cast<std::uint32_t>(id[2]) << 16) | (static_cast<std::uint32_t>(id[3]) << 24);
}

}  // namespace

int get_u16le(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

int get_u32le(const unsigned char* p) {
    std::uint32_t v = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                      (static_cast<std::uint32_t>(p[2]) << 16) |
                      (static_cast<std::uint32_t>(p[3]) << 24);
    // Two's complement by arithmetic, so the conversion never depends on the compiler.
    if (v <= 0x7FFFFFFFu) return static_cast<int>(v);
    return -static_cast<int>(~v) - 1;
}

D88Image::~D88Image() {
    close();
}

bool D88Image::open(const char* path) {
    close();
    if (path == nullptr) return true;
    file_ = std::fopen(path, "rb");
    if (file_ == nullptr) return false;
    file_serial_ = ++last_file_serial;

    // Images lie back to back, each found at the previous one's offset plus its disk size.
    std::int64_t offset = 0;
    unsigned char header[kHeaderSize];
    while (image_count_ < kMaxImages) {
        if (read_at(offset, header, kHeaderSize) < kHeaderSize) break;
        image_offsets_[image_count_] = static_cast<int>(offset);
        offset += get_u32le(header + 0x1C);
        ++image_count_;
    }
    return true;
}

bool D88Image::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    file_serial_ = 0;
    image_count_ = 0;
    clear_current_image();
    std::memset(track_offsets_, 0, sizeof track_offsets_);
    return true;
}

void D88Image::clear_current_image() {
    current_offset_ = -1;
    media_type_ = -1;
    disk_size_ = 0;
    std::memset(disk_name_, 0, sizeof disk_name_);
}

bool D88Image::select_image(int index) {
    if (file_ == nullptr) return false;
    // A failed selection leaves no image current: with the disk size at 0 every read fails.
    clear_current_image();
    if (index < 0 || index >= image_count_) return false;

    unsigned char header[kHeaderSize];
    if (read_at(image_offsets_[index], header, kHeaderSize) < kHeaderSize) return false;
    for (int t = 0; t < kTrackCount; ++t) track_offsets_[t] = get_u32le(header + 0x20 + 4 * t);
    media_type_ = header[0x1B];
    disk_size_ = get_u32le(header + 0x1C);
    current_offset_ = image_offsets_[index];
    for (int i = 0; i < 16 && header[i] != 0; ++i) disk_name_[i] = static_cast<char>(header[i]);
    return true;
}

void D88Image::set_sector_range(int first, int last) {
    first_sector_ = first;
    last_sector_ = last;
}

bool D88Image::load_window(std::int64_t offset, int length) {
    bool held = window.file_serial == file_serial_ && offset >= window.start &&
                (offset + length <= window.start + window.length || window.length < ReadWindow::kSize);
    if (held) return true;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
    window.file_serial = file_serial_;
    window.start = offset;
    window.length = static_cast<int>(std::fread(window.bytes, 1, ReadWindow::kSize, file_));
    return true;
}

int D88Image::read_at(std::int64_t offset, unsigned char* dest, int length) {
    if (file_ == nullptr || offset < 0 || offset > kMaxOffset || length <= 0) return 0;
    if (length > ReadWindow::kSize) {
        if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return 0;
        return static_cast<int>(std::fread(dest, 1, static_cast<std::size_t>(length), file_));
    }
    if (!load_window(offset, length)) return 0;
    // A window that holds less than its size ends where the file ends.
    std::int64_t available = window.start + window.length - offset;
    if (available <= 0) return 0;
    int got = available < length ? static_cast<int>(available) : length;
    std::memcpy(dest, window.bytes + (offset - window.start), static_cast<std::size_t>(got));
    return got;
}

const unsigned char* D88Image::view(std::int64_t offset, int length) {
    if (file_ == nullptr || offset < 0 || offset > kMaxOffset) return nullptr;
    if (!load_window(offset, length)) return nullptr;
    if (window.start + window.length - offset < length) return nullptr;
    return window.bytes + (offset - window.start);
}

std::int64_t D88Image::track_start(int track) const {
    if (file_ == nullptr || track < 0 || track >= kTrackCount) return -1;
    int offset = track_offsets_[track];
    // 0 marks an absent track; a negative entry is absent too.
    if (offset <= 0 || offset > disk_size_) return -1;
    return static_cast<std::int64_t>(current_offset_) + offset;
}

int D88Image::read_sector(int track, int c, int h, int r, int n, unsigned char* dest, int max) {
    if (max <= 0) return 0;
    std::int64_t start = track_start(track);
    if (start < 0) return 0;
    // A record's ID bytes can only equal values 0..255.
    for (int field : {c, h, r, n})
        if (field < 0 || field > 255) return 0;
    const unsigned char id[4] = {static_cast<unsigned char>(c), static_cast<unsigned char>(h),
                                 static_cast<unsigned char>(r), static_cast<unsigned char>(n)};
    WalkRecord found;
    if (!find_record(start, pack_id(id), found)) return 0;
    return read_at(found.data_pos, dest, found.data_size < max ? found.data_size : max);
}

bool D88Image::walk_record(std::int64_t& pos, int index, WalkRecord& record, bool& last) {
    // A header cut short by the end of the file, or a sector count of 0, ends the walk.
    const unsigned char* header = view(pos, kRecordHeaderSize);
    if (header == nullptr) return false;
    int sector_count = get_u16le(header + 4);
    if (sector_count == 0) return false;
    record.id = pack_id(header);
    record.data_size = get_u16le(header + 14);
    record.data_pos = pos + kRecordHeaderSize;
    pos = record.data_pos + record.data_size;
    // The count is re-read from every record; the walk ends after the record it names last.
    last = index == sector_count - 1;
    return true;
}

bool D88Image::find_record(std::int64_t start, std::uint32_t id, WalkRecord& found) {
    const std::uint32_t group = id & SectorTable::kGroupMask;
    auto holds = [&](const SectorTable* table) {
        return table->file_serial == file_serial_ && table->start == start && table->group == group;
    };
    SectorTable* table = last_table;
    if (table == nullptr || !holds(table)) {
        // Look for the table among the others; failing that, walk the track into the one
        // used longest ago.
        table = &sector_tables[0];
        for (SectorTable& candidate : sector_tables) {
            if (holds(&candidate)) {
                table = &candidate;
                break;
            }
            if (candidate.last_used < table->last_used) table = &candidate;
        }
        if (!holds(table)) {
            table->file_serial = file_serial_;
            table->start = start;
            table->group = group;
            std::fill(std::begin(table->data_size), std::end(table->data_size), -1);
            std::int64_t pos = start;
            WalkRecord record;
            bool last = false;
            for (int index = 0; walk_record(pos, index, record, last); ++index) {
                const int r = static_cast<int>(record.id >> 16 & 0xFF);
                if ((record.id & SectorTable::kGroupMask) == group && table->data_size[r] < 0) {
                    table->data_size[r] = record.data_size;
                    table->data_pos[r] = static_cast<std::uint32_t>(record.data_pos);
                }
                if (last) break;
            }
        }
    }
    table->last_used = ++table_clock;
    last_table = table;

    const int r = static_cast<int>(id >> 16 & 0xFF);
    if (table->data_size[r] < 0) return false;
    found = {id, table->data_pos[r], table->data_size[r]};
    return true;
}

int D88Image::read_sectors(int track, int c, int h, int r, int n, unsigned char* dest, int length) {
    // Size codes beyond 23 would make a sector larger than any byte count.
    if (n < 0 || n > 23 || length <= 0) return 0;
    int chunk = 128 << n;
    int total = 0;
    while (total < length) {
        if (length - total < chunk) chunk = length - total;
        if (read_sector(track, c, h, r, n, dest + total, chunk) < chunk) break;
        if (r == last_sector_) {
            ++track;
            if (h != 0) ++c;
            h = h == 0 ? 1 : 0;
            r = first_sector_;
        } else {
            ++r;
        }
        total += chunk;
    }
    return total;
}

int D88Image::read_track_ids(int track, unsigned char* dest, int capacity) {
    std::int64_t pos = track_start(track);
    if (pos < 0) return 0;

    int stored = 0;
    unsigned char header[kRecordHeaderSize];
    for (int i = 0; capacity - stored >= 4; ++i) {
        if (read_at(pos, header, kRecordHeaderSize) < kRecordHeaderSize) break;
        std::memcpy(dest + stored, header, 4);
        stored += 4;
        pos += kRecordHeaderSize + get_u16le(header + 14);
        if (i == get_u16le(header + 4) - 1) break;
    }
    return stored;
}
