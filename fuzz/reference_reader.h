// A plain model of D88Image's documented behaviour over a D88 file held in memory, for the
// differential fuzz target. It does everything the slow, obvious way: every sector look-up
// walks the track's records from the first, one header at a time, exactly as the reader is
// documented to, so any difference from D88Image is a fault in the faster reader.
#ifndef SOUNDEXT_FUZZ_REFERENCE_READER_H
#define SOUNDEXT_FUZZ_REFERENCE_READER_H

#include <cstdint>
#include <cstring>
#include <vector>

class ReferenceReader {
public:
    // Record headers the model may still read before it gives up, or -1 for no limit. Once it
    // runs out, `exhausted()` is true and its answers mean nothing; a caller with a time limit
    // then stops comparing instead of waiting.
    std::int64_t header_budget = -1;
    bool exhausted() const { return header_budget == 0; }

    static constexpr int kMaxImages = 64;
    static constexpr int kTrackCount = 164;
    static constexpr int kHeaderSize = 0x2B0;
    static constexpr int kRecordHeaderSize = 16;

    // Opens the bytes as the file; a null file stands for a path that cannot be opened.
    // Opening closes any file held before, and a failed open leaves no file.
    bool open(const std::vector<std::uint8_t>* file) {
        close();
        if (file == nullptr) return false;
        file_ = file;
        std::int64_t offset = 0;
        unsigned char header[kHeaderSize];
        while (image_count_ < kMaxImages) {
            if (read_at(offset, header, kHeaderSize) < kHeaderSize) break;
            image_offsets_[image_count_++] = offset;
            offset += u32(header + 0x1C);
        }
        return true;
    }

    bool close() {
        file_ = nullptr;
        image_count_ = 0;
        clear_current_image();
        return true;
    }

    bool select_image(int index) {
        if (file_ == nullptr) return false;
        clear_current_image();
        if (index < 0 || index >= image_count_) return false;
        unsigned char header[kHeaderSize];
        if (read_at(image_offsets_[index], header, kHeaderSize) < kHeaderSize) return false;
        for (int t = 0; t < kTrackCount; ++t) track_offsets_[t] = u32(header + 0x20 + 4 * t);
        media_type_ = header[0x1B];
        disk_size_ = u32(header + 0x1C);
        current_offset_ = image_offsets_[index];
        for (int i = 0; i < 16 && header[i] != 0; ++i) disk_name_[i] = static_cast<char>(header[i]);
        return true;
    }

    void set_sector_range(int first, int last) {
        first_sector_ = first;
        last_sector_ = last;
    }

    int image_count() const { return image_count_; }
    int media_type() const { return media_type_; }
    const char* disk_name() const { return disk_name_; }

    int read_sector(int track, int c, int h, int r, int n, unsigned char* dest, int max) {
        if (max <= 0) return 0;
        std::int64_t pos = track_start(track);
        if (pos < 0) return 0;
        unsigned char header[kRecordHeaderSize];
        for (std::int64_t i = 0;; ++i) {
            if (!spend_header()) return 0;
            // A header cut short by the end of the file ends the walk: not found.
            if (read_at(pos, header, kRecordHeaderSize) < kRecordHeaderSize) return 0;
            int sector_count = u16(header + 4);
            int data_size = u16(header + 14);
            if (sector_count == 0) return 0;
            if (header[0] == c && header[1] == h && header[2] == r && header[3] == n) {
                int k = data_size < max ? data_size : max;
                // Data cut short is read short: what the file holds is copied and counted.
                return read_at(pos + kRecordHeaderSize, dest, k);
            }
            pos += kRecordHeaderSize + data_size;
            if (i == sector_count - 1) return 0;
        }
    }

    int read_sectors(int track, int c, int h, int r, int n, unsigned char* dest, int length) {
        if (n < 0 || n > 23 || length <= 0) return 0;
        int chunk = 128 << n;
        int total = 0;
        while (total < length) {
            if (length - total < chunk) chunk = length - total;
            if (read_sector(track, c, h, r, n, dest + total, chunk) < chunk) break;
            if (r == last_sector_) {
                track = track + 1;
                if (h != 0) c = c + 1;
                h = h == 0 ? 1 : 0;
                r = first_sector_;
            } else {
                r = r + 1;
            }
            total += chunk;
        }
        return total;
    }

    int read_track_ids(int track, unsigned char* dest, int capacity) {
        std::int64_t pos = track_start(track);
        if (pos < 0) return 0;
        int stored = 0;
        unsigned char header[kRecordHeaderSize];
        for (std::int64_t i = 0; capacity - stored >= 4; ++i) {
            if (!spend_header()) break;
            if (read_at(pos, header, kRecordHeaderSize) < kRecordHeaderSize) break;
            std::memcpy(dest + stored, header, 4);
            stored += 4;
            pos += kRecordHeaderSize + u16(header + 14);
            if (i == u16(header + 4) - 1) break;
        }
        return stored;
    }

private:
    bool spend_header() {
        if (header_budget < 0) return true;
        if (header_budget == 0) return false;
        --header_budget;
        return true;
    }

    static int u16(const unsigned char* p) { return p[0] | (p[1] << 8); }
    static std::int64_t u32(const unsigned char* p) {
        std::int64_t v = static_cast<std::int64_t>(p[0]) | (static_cast<std::int64_t>(p[1]) << 8) |
                         (static_cast<std::int64_t>(p[2]) << 16) |
                         (static_cast<std::int64_t>(p[3]) << 24);
        return v >= 0x80000000 ? v - 0x100000000 : v;
    }

    // A read at an offset outside 0..2^31-1 gets nothing; a read past the end gets what is there.
    int read_at(std::int64_t offset, unsigned char* dest, int length) const {
        if (file_ == nullptr || length <= 0 || offset < 0 || offset > 0x7FFFFFFF) return 0;
        std::int64_t size = static_cast<std::int64_t>(file_->size());
        if (offset >= size) return 0;
        std::int64_t got = size - offset < length ? size - offset : length;
        std::memcpy(dest, file_->data() + offset, static_cast<std::size_t>(got));
        return static_cast<int>(got);
    }

    // File offset of the track's first record, or -1 when every read on it fails.
    std::int64_t track_start(int track) const {
        if (file_ == nullptr || track < 0 || track >= kTrackCount) return -1;
        std::int64_t offset = track_offsets_[track];
        if (offset <= 0 || offset > disk_size_) return -1;
        return current_offset_ + offset;
    }

    void clear_current_image() {
        current_offset_ = -1;
        media_type_ = -1;
        disk_size_ = 0;
        std::memset(disk_name_, 0, sizeof disk_name_);
    }

    const std::vector<std::uint8_t>* file_ = nullptr;
    int image_count_ = 0;
    int first_sector_ = 1;
    int last_sector_ = 16;
    std::int64_t image_offsets_[kMaxImages] = {};
    std::int64_t disk_size_ = 0;
    std::int64_t current_offset_ = -1;
    std::int64_t track_offsets_[kTrackCount] = {};
    int media_type_ = -1;
    char disk_name_[17] = {};
};

#endif
