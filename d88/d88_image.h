// Random access to the sectors of a D88 floppy disk image file.
#ifndef SOUNDEXT_D88_IMAGE_H
#define SOUNDEXT_D88_IMAGE_H

#include <cstdint>
#include <cstdio>

// The four ID bytes a sector record carries: cylinder, head, sector number, size code.
struct SectorId {
    std::uint8_t c;
    std::uint8_t h;
    std::uint8_t r;
    std::uint8_t n;
};

// Little-endian fields decoded byte by byte, whatever the host's byte order.
int get_u16le(const unsigned char* p);
// The four bytes as a signed 32-bit value: a last byte of 0x80 or more gives a negative value.
int get_u32le(const unsigned char* p);

class D88Image {
public:
    static constexpr int kMaxImages = 64;
    static constexpr int kTrackCount = 164;
    static constexpr int kHeaderSize = 0x2B0;
    static constexpr int kRecordHeaderSize = 16;

    D88Image() = default;
    ~D88Image();
    D88Image(const D88Image&) = delete;
    D88Image& operator=(const D88Image&) = delete;

    // Opens the file for binary reading and finds the images in it. False only when the
    // file cannot be opened. A null path closes the reader.
    bool open(const char* path);
    // Closes the file, if any, and forgets its images and the current image. Always true.
    bool close();
    // Makes image `index` current. False with no file, or an index not below image_count().
    bool select_image(int index);
    // The sector numbers read_sectors treats as the first and last of every track.
    void set_sector_range(int first, int last);

    int image_count() const { return image_count_; }
    const char* disk_name() const { return disk_name_; }
    int media_type() const { return media_type_; }

    // Copies at most `max` bytes of the sector with ID (c, h, r, n) on `track` of the current
    // image into dest; returns the number of bytes copied, 0 when the sector is not found.
    int read_sector(int track, int c, int h, int r, int n, unsigned char* dest, int max);
    // Reads `length` bytes of consecutive sectors starting with (c, h, r, n) on `track`,
    // stepping on to the next track after the last sector number; returns the bytes read in
    // whole sectors (a sector shorter than asked ends the run and is not counted).
    int read_sectors(int track, int c, int h, int r, int n, unsigned char* dest, int length);
    // Stores the ID of each sector record of `track`, in record order, 4 bytes C H R N each,
    // as many as fit in `capacity`; returns the number of bytes stored.
    int read_track_ids(int track, unsigned char* dest, int capacity);

private:
    // One sector record met on a walk over a track.
    struct WalkRecord {
        std::uint32_t id;        // C H R N packed, C in the low byte
        std::int64_t data_pos;   // file offset of the record's data
        int data_size;
    };

    // Reads up to `length` bytes at absolute file offset `offset`; an offset outside
    // 0..2^31-1 reads nothing. Returns the number of bytes read.
    int read_at(std::int64_t offset, unsigned char* dest, int length);
    // Points at the `length` bytes at `offset` (at most 64 KiB) as held in memory, or null when
    // the file does not hold them all.
    const unsigned char* view(std::int64_t offset, int length);
    // Makes the bytes from `offset` on, `length` of them or up to the end of the file, lie in
    // memory. False when the file cannot be positioned there.
    bool load_window(std::int64_t offset, int length);
    // Reads the record header at `pos`, record number `index` of a walk, and moves `pos` past
    // the record. False when the walk ends before this record; `last` says it ends after it.
    bool walk_record(std::int64_t& pos, int index, WalkRecord& record, bool& last);
    // Finds the first record holding `id` on the walk that starts at file offset `start`.
    bool find_record(std::int64_t start, std::uint32_t id, WalkRecord& found);
    // File offset of the track's first record, or -1 when reads on the track must fail.
    std::int64_t track_start(int track) const;
    void clear_current_image();

    std::FILE* file_ = nullptr;
    // Tells one opened file from another, so that what was read from one is never taken
    // for the other.
    std::uint64_t file_serial_ = 0;
    int image_count_ = 0;
    int first_sector_ = 1;
    int last_sector_ = 16;
    int image_offsets_[kMaxImages] = {};
    int disk_size_ = 0;
    int current_offset_ = -1;
    int track_offsets_[kTrackCount] = {};
    int media_type_ = -1;
    char disk_name_[17] = {};
};

#endif
