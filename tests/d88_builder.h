// Builds D88 disk images in memory, for tests, fuzz seeds, benchmarks and the sample image.
#ifndef SOUNDEXT_D88_BUILDER_H
#define SOUNDEXT_D88_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace d88test {

using Bytes = std::vector<std::uint8_t>;

// One sector record: ID, the "sectors in this track" field and the data.
struct Record {
    std::uint8_t c = 0, h = 0, r = 1, n = 1;
    std::uint16_t sector_count = 16;
    Bytes data;
    // Data size field written to the header; -1 writes data.size().
    int data_size_field = -1;
};

inline void put_u16le(Bytes& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_u32le(Bytes& out, std::size_t at, std::uint32_t v) {
    put_u16le(out, at, v & 0xFFFF);
    put_u16le(out, at + 2, v >> 16);
}

inline Bytes record_bytes(const Record& rec) {
    Bytes out(16, 0);
    out[0] = rec.c;
    out[1] = rec.h;
    out[2] = rec.r;
    out[3] = rec.n;
    put_u16le(out, 4, rec.sector_count);
    std::uint32_t size = rec.data_size_field < 0 ? static_cast<std::uint32_t>(rec.data.size())
                                                 : static_cast<std::uint32_t>(rec.data_size_field);
    put_u16le(out, 14, size);
    out.insert(out.end(), rec.data.begin(), rec.data.end());
    return out;
}

// 256 bytes that tell where they came from: track, sector number, then a counting pattern.
inline Bytes tagged_sector(int track, int r, std::uint8_t salt = 0) {
    Bytes data(256);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(track) * 13 +
                                            static_cast<std::size_t>(r) * 31 + salt);
    data[0] = static_cast<std::uint8_t>(track);
    data[1] = static_cast<std::uint8_t>(r);
    return data;
}

// One disk image: header fields and the records of each track. Tracks are laid out in
// index order after the header; the track table and disk size follow from the layout
// unless overridden.
class DiskBuilder {
public:
    static constexpr int kTracks = 164;

    std::string name = "SOUNDEXT TEST";
    std::uint8_t media_type = 0x00;

    std::vector<Record>& track(int t) { return tracks_[static_cast<std::size_t>(t)]; }

    // A standard track: sectors 1..16 of 256 bytes with C = t / 2, H = t % 2, N = 1.
    DiskBuilder& standard_track(int t, std::uint8_t salt = 0) {
        auto& recs = track(t);
        recs.clear();
        for (int r = 1; r <= 16; ++r) {
            Record rec;
            rec.c = static_cast<std::uint8_t>(t / 2);
            rec.h = static_cast<std::uint8_t>(t % 2);
            rec.r = static_cast<std::uint8_t>(r);
            rec.data = tagged_sector(t, r, salt);
            recs.push_back(rec);
        }
        return *this;
    }

    // Replaces the data of sector r (ID C = t/2, H = t%2, N = 1) on track t.
    DiskBuilder& set_sector_data(int t, int r, const Bytes& data) {
        for (auto& rec : track(t))
            if (rec.r == r) rec.data = data;
        return *this;
    }

    // Forces a raw track-table entry (u32) instead of the computed offset.
    DiskBuilder& override_track_offset(int t, std::uint32_t offset) {
        offset_override_[static_cast<std::size_t>(t)] = offset;
        has_override_[static_cast<std::size_t>(t)] = true;
        return *this;
    }
    // Forces the disk size field instead of the computed length.
    DiskBuilder& override_disk_size(std::uint32_t size) {
        disk_size_override_ = size;
        has_disk_size_override_ = true;
        return *this;
    }

    // Where build() puts the data of each record: the file offset of the data of record i of
    // track t is data_offsets()[t][i] (the header lies 16 bytes before it).
    std::vector<std::vector<std::size_t>> data_offsets() const {
        std::vector<std::vector<std::size_t>> offsets(kTracks);
        std::size_t at = 0x2B0;
        for (std::size_t t = 0; t < kTracks; ++t) {
            for (const auto& rec : tracks_[t]) {
                offsets[t].push_back(at + 16);
                at += 16 + rec.data.size();
            }
        }
        return offsets;
    }

    Bytes build() const {
        Bytes out(0x2B0, 0);
        for (std::size_t i = 0; i < name.size() && i < 16; ++i)
            out[i] = static_cast<std::uint8_t>(name[i]);
        out[0x1B] = media_type;
        for (std::size_t t = 0; t < kTracks; ++t) {
            std::uint32_t offset = 0;
            if (!tracks_[t].empty()) {
                offset = static_cast<std::uint32_t>(out.size());
                for (const auto& rec : tracks_[t]) {
                    Bytes bytes = record_bytes(rec);
                    out.insert(out.end(), bytes.begin(), bytes.end());
                }
            }
            put_u32le(out, 0x20 + 4 * t, has_override_[t] ? offset_override_[t] : offset);
        }
        put_u32le(out, 0x1C,
                  has_disk_size_override_ ? disk_size_override_ : static_cast<std::uint32_t>(out.size()));
        return out;
    }

private:
    std::vector<Record> tracks_[kTracks];
    std::uint32_t offset_override_[kTracks] = {};
    bool has_override_[kTracks] = {};
    std::uint32_t disk_size_override_ = 0;
    bool has_disk_size_override_ = false;
};

// A MUS directory sector: 64 entries of track, sector, length in 256-byte units, spare.
struct DirectoryEntryBytes {
    std::uint8_t track = 0, sector = 0, units = 0, spare = 0;
};

inline Bytes directory_sector(const std::vector<std::pair<int, DirectoryEntryBytes>>& entries) {
    Bytes data(256, 0);
    for (const auto& [index, e] : entries) {
        std::size_t at = static_cast<std::size_t>(index) * 4;
        data[at] = e.track;
        data[at + 1] = e.sector;
        data[at + 2] = e.units;
        data[at + 3] = e.spare;
    }
    return data;
}

inline void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace d88test

#endif
