// Writes the seed corpus of the fuzz targets into a directory: small D88 files that reach
// every edition's blocks, directory and music files, and damaged and crafted ones.
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "d88_builder.h"

using d88test::Bytes;
using d88test::DiskBuilder;
using d88test::Record;

namespace {

// The directories of the editions lie on tracks 21, 29, 33, 36 and 39 (sector 15); their PMD
// blocks start on the track before.
const int kDirectoryTracks[] = {21, 29, 33, 36, 39};

// Music files on tracks 40 and 41: inside a track, across to the next track, starting above
// sector 16, of length 0, on a track past the last, and on a track the disk lacks.
std::vector<std::pair<int, d88test::DirectoryEntryBytes>> music_entries(int first) {
    return {{first + 0, {40, 1, 8, 0}},  {first + 1, {40, 9, 12, 0}}, {first + 2, {41, 3, 5, 0}},
            {first + 3, {40, 17, 2, 0}}, {first + 4, {40, 5, 0, 0}},  {first + 5, {200, 1, 1, 0}},
            {first + 6, {90, 1, 3, 0}},  {first + 7, {41, 16, 1, 0}}};
}

// A small disk that every edition reads something from: the first sector of each PMD block, a
// directory for each edition, one track of the ADPCM block and two tracks of music.
DiskBuilder small_disk(std::uint8_t salt) {
    DiskBuilder disk;
    disk.name = "SEED DISK";
    disk.standard_track(1, salt);
    disk.standard_track(40, salt);
    disk.standard_track(41, salt);
    for (int t : kDirectoryTracks) {
        Record pmd;
        pmd.c = static_cast<std::uint8_t>((t - 1) / 2);
        pmd.h = static_cast<std::uint8_t>((t - 1) % 2);
        pmd.r = 1;
        pmd.data = d88test::tagged_sector(t - 1, 1, salt);
        disk.track(t - 1).push_back(pmd);
        Record dir;
        dir.c = static_cast<std::uint8_t>(t / 2);
        dir.h = static_cast<std::uint8_t>(t % 2);
        dir.r = 15;
        // Edition B (directory on track 21) starts at entry 1; a 0 at entry 0 must not end it.
        dir.data = d88test::directory_sector(music_entries(t == 21 ? 1 : 0));
        disk.track(t).push_back(dir);
    }
    return disk;
}

// One track holding `fillers` records that match nothing (data size 0, sector count FFFF)
// ahead of the sixteen sectors of track 39, whose sector 15 is a directory of 64 files of
// 255 sectors each starting there. Every track-table entry points into that one track:
// at its start, or `stagger` bytes further for each track index.
Bytes crafted_disk(int fillers, int stagger) {
    DiskBuilder disk;
    disk.name = "CRAFTED";
    auto& records = disk.track(0);
    Record filler;
    filler.c = filler.h = filler.r = filler.n = 0xFF;
    filler.sector_count = 0xFFFF;
    records.assign(static_cast<std::size_t>(fillers), filler);
    std::vector<std::pair<int, d88test::DirectoryEntryBytes>> entries;
    for (int i = 0; i < 64; ++i) entries.push_back({i, {39, 1, 0xFF, 0}});
    for (int r = 1; r <= 16; ++r) {
        Record rec;
        rec.c = 19;
        rec.h = 1;
        rec.r = static_cast<std::uint8_t>(r);
        rec.sector_count = 0xFFFF;
        rec.data = r == 15 ? d88test::directory_sector(entries) : d88test::tagged_sector(39, r);
        records.push_back(rec);
    }
    for (int t = 0; t < DiskBuilder::kTracks; ++t)
        disk.override_track_offset(t, static_cast<std::uint32_t>(0x2B0 + stagger * t));
    return disk.build();
}

// Records that bend the rules: a repeated ID, a sector count that ends the walk early or is 0,
// data sizes other than 256 and a size field that overstates the data, other size codes,
// sector numbers at the top of the byte range; track-table entries that are negative, equal to
// or past the disk size, or point into the middle of another track.
Bytes odd_disk() {
    DiskBuilder disk = small_disk(3);
    disk.name = "0123456789ABCDEFGHIJ";  // longer than 16 bytes: no NUL in the name field
    disk.media_type = 0x20;
    auto& t2 = disk.track(2);
    auto add = [&](int c, int h, int r, int n, int count, int size, int size_field = -1) {
        Record rec;
        rec.c = static_cast<std::uint8_t>(c);
        rec.h = static_cast<std::uint8_t>(h);
        rec.r = static_cast<std::uint8_t>(r);
        rec.n = static_cast<std::uint8_t>(n);
        rec.sector_count = static_cast<std::uint16_t>(count);
        rec.data = d88test::tagged_sector(2, r);
        rec.data.resize(static_cast<std::size_t>(size), 0x5A);
        rec.data_size_field = size_field;
        t2.push_back(rec);
    };
    add(1, 0, 1, 1, 16, 256);
    add(1, 0, 1, 1, 16, 256);       // the same ID again: the first one is the sector
    add(1, 0, 2, 1, 16, 100);       // short sector ends a run
    add(1, 0, 3, 0, 16, 128);       // size code 0
    add(1, 0, 4, 2, 16, 512);       // size code 2
    add(1, 0, 5, 1, 0, 256);        // sector count 0 ends the walk here
    add(1, 0, 6, 1, 16, 256);
    auto& t3 = disk.track(3);
    for (int r : {254, 255, 16, 1}) {
        Record rec;
        rec.c = 1;
        rec.h = 1;
        rec.r = static_cast<std::uint8_t>(r);
        rec.sector_count = r == 16 ? 3 : 4;  // the walk ends after the third record
        rec.data = d88test::tagged_sector(3, r);
        t3.push_back(rec);
    }
    Record liar;  // its size field says more than the file holds after it
    liar.c = 2;
    liar.r = 1;
    liar.data = d88test::tagged_sector(4, 1);
    liar.data_size_field = 0xFFFF;
    disk.track(4).push_back(liar);
    Bytes image = disk.build();
    std::size_t disk_size = image.size();
    auto put = [&](int t, std::uint32_t v) { d88test::put_u32le(image, 0x20 + 4 * static_cast<std::size_t>(t), v); };
    put(5, 0x80000000u);
    put(6, 0xFFFFFFF0u);
    put(7, static_cast<std::uint32_t>(disk_size));
    put(8, static_cast<std::uint32_t>(disk_size + 1));
    put(9, 0x2B0 + 16 + 256 + 8);  // inside a record of the first track
    return image;
}

bool write(const std::string& dir, const std::string& name, const Bytes& bytes) {
    std::string path = dir + "/" + name;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    bool ok = out != nullptr && (bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size());
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s corpus-directory\n", argc > 0 ? argv[0] : "make-fuzz-seeds");
        return 1;
    }
    const std::string dir = argv[1];
    bool ok = true;

    const Bytes normal = small_disk(0).build();
    ok &= write(dir, "normal.d88", normal);

    DiskBuilder second = small_disk(9);
    second.name = "SECOND";
    Bytes two = normal;
    Bytes image1 = second.build();
    two.insert(two.end(), image1.begin(), image1.end());
    ok &= write(dir, "two_images.d88", two);

    // Cut short inside a record header of track 40, and inside the data of its sector 9.
    auto offsets = small_disk(0).data_offsets();
    ok &= write(dir, "cut_header.d88", Bytes(normal.begin(), normal.begin() + static_cast<std::ptrdiff_t>(offsets[40][4] - 9)));
    ok &= write(dir, "cut_data.d88", Bytes(normal.begin(), normal.begin() + static_cast<std::ptrdiff_t>(offsets[40][8] + 100)));
    ok &= write(dir, "short_header.d88", Bytes(normal.begin(), normal.begin() + 300));
    ok &= write(dir, "header_only.d88", Bytes(normal.begin(), normal.begin() + 0x2B0));

    DiskBuilder zero = small_disk(5);
    zero.override_disk_size(0);
    ok &= write(dir, "zero_disk_size.d88", zero.build());

    ok &= write(dir, "odd_records.d88", odd_disk());
    ok &= write(dir, "crafted_same_offset.d88", crafted_disk(2000, 0));
    ok &= write(dir, "crafted_staggered.d88", crafted_disk(2000, 16));
    return ok ? 0 : 1;
}
