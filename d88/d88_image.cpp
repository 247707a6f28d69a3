#include "d88_image.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <initializer_list>
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

// What one walk over a track has met so far: the first record holding each ID, in walk order,
// found through a hash of the ID, and where the walk goes on. A walk depends only on the file
// and the offset it starts from, so its records stand for every look-up that starts there.
struct TrackWalk {
    struct Record {
        std::uint32_t id;
        std::uint32_t data_pos;
        std::uint16_t data_size;
    };
    // A slot is taken when its tag holds the current generation; the tag's low bits then hold
    // 1 + the record's index. A new generation empties the table without clearing it.
    struct Slot {
        std::uint32_t id;
        std::uint32_t tag;
    };
    static constexpr int kIndexBits = 18;
    static constexpr int kMaxRecords = 1 << 17;
    static constexpr std::uint32_t kMaxSlotBits = 18;  // twice the records, so half stay free
    static constexpr std::uint32_t kMaxGeneration = (1u << (32 - kIndexBits)) - 1;

    std::uint64_t file_serial = 0;
    std::int64_t start = -1;
    std::int64_t next_pos = 0;  // header of the first record not yet taken into the table
    int next_index = 0;
    bool ended = false;         // no record follows next_pos on this walk
    bool table_full = false;    // records from next_pos on are found by walking
    int record_count = 0;
    // The part of the table in use: it grows with the walks, so walks over normal tracks
    // keep to a few cache lines, and it stays grown, so later long walks need not grow it.
    std::uint32_t slot_bits = 6;
    std::uint32_t generation = 0;
    std::uint32_t seed = 0;
    Record records[kMaxRecords];
    Slot slots[1u << kMaxSlotBits];
    // Past a full table: the first record of each sector number R among the records with the
    // C, H and N of `group`, from the end of the table to the end of the walk.
    static constexpr std::uint32_t kGroupMask = 0xFF00FFFFu;
    bool group_walked = false;
    std::uint32_t group = 0;
    bool group_present[256];
    Record group_records[256];

    void restart(std::uint64_t serial, std::int64_t offset) {
        file_serial = serial;
        start = offset;
        next_pos = offset;
        next_index = 0;
        ended = false;
        table_full = false;
        group_walked = false;
        record_count = 0;
        if (generation == 0) {
            // A seed a file cannot predict keeps crafted IDs from piling up in one place of
            // the table. It only changes how fast a look-up is, never its answer.
            seed = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(this) >> 4) ^
                   static_cast<std::uint32_t>(std::time(nullptr)) ^
                   static_cast<std::uint32_t>(std::clock());
        }
        empty_table();
    }

    void empty_table() {
        if (generation == kMaxGeneration) {
            std::memset(slots, 0, sizeof slots);
            generation = 0;
        }
        ++generation;
    }

    // The slot that holds `id`, or the free slot where it would go. At most half the slots
    // in use are taken, so there always is one.
    std::uint32_t slot_for(std::uint32_t id) const {
        // Mixing every bit of the ID into the slot number keeps IDs that differ in one byte,
        // as the sectors of a track do, from forming long runs of taken slots.
        std::uint32_t h = id ^ seed;
        h = (h ^ (h >> 16)) * 0x85EBCA6Bu;
        h = (h ^ (h >> 13)) * 0xC2B2AE35u;
        std::uint32_t i = (h ^ (h >> 16)) >> (32 - slot_bits);
        while (taken(slots[i]) && slots[i].id != id) i = (i + 1) & ((1u << slot_bits) - 1);
        return i;
    }

    bool taken(const Slot& slot) const { return slot.tag >> kIndexBits == generation; }

    const Record* find(std::uint32_t id) const {
        const Slot& slot = slots[slot_for(id)];
        if (!taken(slot)) return nullptr;
        return &records[(slot.tag & ((1u << kIndexBits) - 1)) - 1];
    }

    // Keeps the first record of each ID. False when the table has no room for a new ID.
    bool insert(std::uint32_t id, std::int64_t data_pos, int data_size) {
        std::uint32_t i = slot_for(id);
        if (taken(slots[i])) return true;
        if (record_count == kMaxRecords) return false;
        records[record_count] = {id, static_cast<std::uint32_t>(data_pos), static_cast<std::uint16_t>(data_size)};
        ++record_count;
        if (2 * record_count > (1 << slot_bits)) {
            grow();
        } else {
            slots[i] = {id, generation << kIndexBits | static_cast<std::uint32_t>(record_count)};
        }
        return true;
    }

    // Doubles the part of the table in use and puts every record back in.
    void grow() {
        ++slot_bits;
        empty_table();
        for (int k = 0; k < record_count; ++k)
            slots[slot_for(records[k].id)] = {records[k].id, generation << kIndexBits | static_cast<std::uint32_t>(k + 1)};
    }
};
TrackWalk track_walk;

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
    TrackWalk& walk = track_walk;
    if (walk.file_serial != file_serial_ || walk.start != start) walk.restart(file_serial_, start);
    if (const TrackWalk::Record* record = walk.find(id)) {
        found = {id, record->data_pos, record->data_size};
        return true;
    }
    // Not among the records walked so far: walk on, taking each record into the table.
    WalkRecord record;
    bool last = false;
    while (!walk.ended && !walk.table_full) {
        std::int64_t pos = walk.next_pos;
        if (!walk_record(pos, walk.next_index, record, last)) {
            walk.ended = true;
            return false;
        }
        if (!walk.insert(record.id, record.data_pos, record.data_size)) {
            walk.table_full = true;
            break;
        }
        walk.next_pos = pos;
        ++walk.next_index;
        walk.ended = last;
        if (record.id == id) {
            found = record;
            return true;
        }
    }
    if (walk.ended) return false;
    // The table is full. What lies past it is found by walking from there to the end of the
    // walk, once for each cylinder, head and size code asked for, noting the first record of
    // every sector number with them: a run asks for those one after another.
    const std::uint32_t group = id & TrackWalk::kGroupMask;
    if (!walk.group_walked || walk.group != group) {
        walk.group = group;
        walk.group_walked = true;
        std::memset(walk.group_present, 0, sizeof walk.group_present);
        std::int64_t pos = walk.next_pos;
        for (int index = walk.next_index; walk_record(pos, index, record, last); ++index) {
            int r = static_cast<int>(record.id >> 16 & 0xFF);
            if ((record.id & TrackWalk::kGroupMask) == group && !walk.group_present[r]) {
                walk.group_present[r] = true;
                walk.group_records[r] = {record.id, static_cast<std::uint32_t>(record.data_pos),
                                         static_cast<std::uint16_t>(record.data_size)};
            }
            if (last) break;
        }
    }
    int r = static_cast<int>(id >> 16 & 0xFF);
    if (!walk.group_present[r]) return false;
    found = {id, walk.group_records[r].data_pos, walk.group_records[r].data_size};
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
