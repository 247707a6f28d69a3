// Writes a small synthetic D88 disk image laid out for edition A: an ADPCM block from
// track 1, a PMD block on tracks 38-39 whose 31st sector is the MUS directory, and four
// music files. Every sector says in plain text what it belongs to.
#include <cstdio>
#include <string>

#include "d88_builder.h"
#include "profiles.h"

using d88test::Bytes;

namespace {

// 256 bytes: a text label, then a repeating byte pattern.
Bytes labelled_sector(const std::string& label, int track, int r) {
    Bytes data(256);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    char text[64];
    int size = std::snprintf(text, sizeof text, "%s track %d sector %d\n", label.c_str(), track, r);
    for (int i = 0; i < size; ++i) data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(text[i]);
    return data;
}

void label_track(d88test::DiskBuilder& disk, int track, const std::string& label) {
    disk.standard_track(track);
    for (int r = 1; r <= 16; ++r) disk.set_sector_data(track, r, labelled_sector(label, track, r));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s output.d88\n", argc > 0 ? argv[0] : "make-sample-d88");
        return 1;
    }
    const LayoutProfile& profile = kEditionA;
    d88test::DiskBuilder disk;
    disk.name = "SOUNDEXT SAMPLE";

    int adpcm_tracks = profile.adpcm_length / (16 * 256);
    for (int t = 1; t <= adpcm_tracks; ++t) label_track(disk, t, "ADPCM");
    label_track(disk, profile.pmd_track, "PMD");
    label_track(disk, profile.directory_track, "PMD");
    for (int t = 40; t <= 44; ++t) label_track(disk, t, "MUS");

    // Four music files: one inside a track, one crossing from track 40 to 41, one filling
    // two whole tracks, one starting mid-track; entry 4 ends the directory.
    disk.set_sector_data(profile.directory_track, 15,
                         d88test::directory_sector({{0, {40, 1, 8, 0}},
                                                    {1, {40, 9, 12, 0}},
                                                    {2, {42, 1, 32, 0}},
                                                    {3, {44, 3, 5, 0}}}));
    Bytes image = disk.build();
    std::FILE* out = std::fopen(argv[1], "wb");
    bool ok = out != nullptr && std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
