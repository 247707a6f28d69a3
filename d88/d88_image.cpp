#include "d88_image.h"

#include <cstring>
#include <limits>

namespace {

constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int32_t>::max();

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

int D88Image::read_at(std::int64_t offset, unsigned char* dest, int length) {
    if (file_ == nullptr || offset < 0 || offset > kMaxOffset || length <= 0) return 0;
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return 0;
    return static_cast<int>(std::fread(dest, 1, static_cast<std::size_t>(length), file_));
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
    std::int64_t pos = track_start(track);
    if (pos < 0) return 0;

    // The sector count is re-read from every record; a header cut short ends the walk.
    unsigned char header[kRecordHeaderSize];
    for (int i = 0;; ++i) {
        if (read_at(pos, header, kRecordHeaderSize) < kRecordHeaderSize) return 0;
        int sector_count = get_u16le(header + 4);
        int data_size = get_u16le(header + 14);
        if (sector_count == 0) return 0;
        if (header[0] == c && header[1] == h && header[2] == r && header[3] == n)
            return read_at(pos + kRecordHeaderSize, dest, data_size < max ? data_size : max);
        pos += kRecordHeaderSize + data_size;
        if (i == sector_count - 1) return 0;
    }
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
