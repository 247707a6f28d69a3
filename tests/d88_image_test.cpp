// Unit tests of the D88 image reader, run on images built in memory and written to temporary files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "d88_builder.h"
#include "d88_image.h"

namespace {

using d88test::Bytes;
using d88test::DiskBuilder;
using d88test::Record;
using d88test::tagged_sector;

constexpr int kHeader = 0x2B0;
// A standard record: 16 header bytes and 256 data bytes.
constexpr int kStdRecord = 16 + 256;
// Destination buffers are pre-filled with this byte so that untouched bytes show.
constexpr std::uint8_t kFill = 0xEE;

Record make_record(int c, int h, int r, int n, Bytes data, std::uint16_t count = 16) {
    Record rec;
    rec.c = static_cast<std::uint8_t>(c);
    rec.h = static_cast<std::uint8_t>(h);
    rec.r = static_cast<std::uint8_t>(r);
    rec.n = static_cast<std::uint8_t>(n);
    rec.sector_count = count;
    rec.data = std::move(data);
    return rec;
}

// `size` bytes of a pattern that differs with `seed`.
Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 3);
    return data;
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

// True when nothing was written to buf from `from` on.
bool untouched_from(const Bytes& buf, std::size_t from) {
    return std::all_of(buf.begin() + static_cast<std::ptrdiff_t>(from), buf.end(),
                       [](std::uint8_t b) { return b == kFill; });
}

// A disk image with no tracks: just a header with the given name and disk size field.
Bytes header_only(const std::string& name, std::uint32_t disk_size) {
    DiskBuilder b;
    b.name = name;
    b.override_disk_size(disk_size);
    return b.build();
}

// An image holding the standard track 0 (sectors 1..16, C 0, H 0, N 1).
Bytes standard_image(const std::string& name, std::uint8_t salt, std::uint8_t media = 0) {
    DiskBuilder b;
    b.name = name;
    b.media_type = media;
    b.standard_track(0, salt);
    return b.build();
}

// The data that read_sectors should deliver: the listed (track, R) sectors of standard tracks.
Bytes standard_run(const std::vector<std::pair<int, int>>& sectors) {
    std::vector<Bytes> parts;
    for (const auto& [track, r] : sectors) parts.push_back(tagged_sector(track, r));
    return concat(parts);
}

class D88ImageTest : public ::testing::Test {
protected:
    void TearDown() override {
        // Close first: a file still open cannot be removed everywhere.
        reader.close();
        for (const auto& path : paths_) std::remove(path.c_str());
    }

    // Writes the bytes to a new temporary file and returns its path.
    std::string write(const Bytes& bytes) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string path = ::testing::TempDir() + "d88_image_test_" + info->test_suite_name() + "_" +
                           info->name() + "_" + std::to_string(paths_.size()) + ".d88";
        d88test::write_file(path, bytes);
        paths_.push_back(path);
        return path;
    }

    // Opens the bytes as a D88 file and makes image 0 current.
    void load(const Bytes& bytes) {
        ASSERT_TRUE(reader.open(write(bytes).c_str()));
        ASSERT_TRUE(reader.select_image(0));
    }

    // Sector 1 of track 0 as read_sector returns it (empty when not found).
    Bytes track0_sector1() {
        Bytes buf(256, kFill);
        int got = reader.read_sector(0, 0, 0, 1, 1, buf.data(), 256);
        return Bytes(buf.begin(), buf.begin() + std::max(got, 0));
    }

    // Every kind of read on track 0 of a standard image fails and writes nothing.
    void expect_reads_fail() {
        Bytes buf(1024, kFill);
        EXPECT_EQ(0, reader.read_sector(0, 0, 0, 1, 1, buf.data(), 256));
        EXPECT_EQ(0, reader.read_sectors(0, 0, 0, 1, 1, buf.data(), 512));
        EXPECT_EQ(0, reader.read_track_ids(0, buf.data(), 64));
        EXPECT_TRUE(untouched_from(buf, 0));
    }

    // No image is current: reset media type and name, and reads fail.
    void expect_no_image_current() {
        EXPECT_EQ(-1, reader.media_type());
        EXPECT_STREQ("", reader.disk_name());
        expect_reads_fail();
    }

    D88Image reader;

private:
    std::vector<std::string> paths_;
};

// ---------------------------------------------------------------------------------------------
// Field decoding

TEST(D88Fields, DecodeLittleEndianWithSignedU32) {
    struct Case {
        std::uint8_t bytes[4];
        int u16;
        int u32;
    };
    const Case cases[] = {
        {{0x00, 0x00, 0x00, 0x00}, 0, 0},
        {{0x34, 0x12, 0x00, 0x00}, 0x1234, 0x1234},
        {{0x78, 0x56, 0x34, 0x12}, 0x5678, 0x12345678},
        {{0xFF, 0xFF, 0x00, 0x00}, 0xFFFF, 0xFFFF},
        {{0xFF, 0xFF, 0xFF, 0x7F}, 0xFFFF, std::numeric_limits<std::int32_t>::max()},
        {{0x00, 0x00, 0x00, 0x80}, 0, std::numeric_limits<std::int32_t>::min()},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFF, -1},
        {{0x50, 0xFD, 0xFF, 0xFF}, 0xFD50, -688},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.u32);
        EXPECT_EQ(c.u16, get_u16le(c.bytes));
        EXPECT_EQ(c.u32, get_u32le(c.bytes));
    }
}

// ---------------------------------------------------------------------------------------------
// Scan

TEST_F(D88ImageTest, FileWithoutCompleteHeaderOpensWithNoImages) {
    const Bytes full = standard_image("SHORT", 1);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{kHeader - 1}}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(reader.open(write(slice(full, 0, size)).c_str()));
        EXPECT_EQ(0, reader.image_count());
        EXPECT_FALSE(reader.select_image(0));
        expect_no_image_current();
    }
}

TEST_F(D88ImageTest, SecondImageStartsAtFirstDiskSizeAndUsesItsOwnTrackTable) {
    // Image 0 holds two tracks, so image 1's track 0 (at 0x2B0 from image 1's start) lies at
    // a file offset where image 0 holds other data.
    DiskBuilder first;
    first.name = "FIRST";
    first.media_type = 0x10;
    first.standard_track(0, 1).standard_track(1, 1);
    DiskBuilder second;
    second.name = "SECOND";
    second.media_type = 0x20;
    second.standard_track(0, 2);
    // A trailing partial header is not an image.
    const Bytes file = concat({first.build(), second.build(), Bytes(kHeader - 1, 0x55)});
    ASSERT_TRUE(reader.open(write(file).c_str()));
    EXPECT_EQ(2, reader.image_count());

    ASSERT_TRUE(reader.select_image(1));
    EXPECT_STREQ("SECOND", reader.disk_name());
    EXPECT_EQ(0x20, reader.media_type());
    EXPECT_EQ(tagged_sector(0, 1, 2), track0_sector1());
    Bytes buf(64, kFill);
    EXPECT_EQ(0, reader.read_sector(1, 0, 1, 1, 1, buf.data(), 64));  // only image 0 has track 1

    ASSERT_TRUE(reader.select_image(0));
    EXPECT_STREQ("FIRST", reader.disk_name());
    EXPECT_EQ(0x10, reader.media_type());
    EXPECT_EQ(tagged_sector(0, 1, 1), track0_sector1());

    EXPECT_FALSE(reader.select_image(2));
}

TEST_F(D88ImageTest, DiskSizeZeroFindsTheSameImage64Times) {
    DiskBuilder zero;
    zero.name = "ZERO";
    zero.standard_track(0, 1);
    zero.override_disk_size(0);
    const Bytes file = concat({zero.build(), standard_image("AFTER", 2)});
    ASSERT_TRUE(reader.open(write(file).c_str()));
    EXPECT_EQ(64, reader.image_count());

    ASSERT_TRUE(reader.select_image(63));
    EXPECT_STREQ("ZERO", reader.disk_name());
    // With a disk size of 0 every track offset lies beyond it.
    expect_reads_fail();
    EXPECT_FALSE(reader.select_image(64));
}

TEST_F(D88ImageTest, DiskSizeDecidesWhereTheScanEnds) {
    struct Case {
        const char* what;
        std::vector<std::uint32_t> sizes;  // disk size field of each header-only image in the file
        int count;
        const char* last_name;  // name of image count - 1
    };
    const Case cases[] = {
        {"back to back", {kHeader, kHeader, kHeader}, 3, "IMG2"},
        {"at most 64 images", std::vector<std::uint32_t>(65, kHeader), 64, "IMG63"},
        {"negative size seeks before the file", {0xFFFFFFFFu, kHeader}, 1, "IMG0"},
        {"most negative size", {0x80000000u, kHeader}, 1, "IMG0"},
        {"size to offset 2^31-1", {0x7FFFFFFFu, kHeader}, 1, "IMG0"},
        {"sum past 2^31-1", {kHeader, 0x7FFFFFFFu, kHeader}, 2, "IMG1"},
        // Image 1's negative size leads back to offset 0, which is a valid place to read.
        {"negative size back to the start", {kHeader, static_cast<std::uint32_t>(-kHeader)}, 64, "IMG1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Bytes> images;
        for (std::size_t i = 0; i < c.sizes.size(); ++i)
            images.push_back(header_only("IMG" + std::to_string(i), c.sizes[i]));
        ASSERT_TRUE(reader.open(write(concat(images)).c_str()));
        EXPECT_EQ(c.count, reader.image_count());
        ASSERT_TRUE(reader.select_image(c.count - 1));
        EXPECT_STREQ(c.last_name, reader.disk_name());
        EXPECT_FALSE(reader.select_image(c.count));
    }
}

// ---------------------------------------------------------------------------------------------
// Select

TEST_F(D88ImageTest, SelectNeedsAFileAndAnIndexBelowTheCount) {
    EXPECT_FALSE(reader.select_image(0));  // no file

    ASSERT_TRUE(reader.open(write(concat({standard_image("A", 1), standard_image("B", 2)})).c_str()));
    EXPECT_FALSE(reader.select_image(-1));
    EXPECT_FALSE(reader.select_image(2));
    EXPECT_FALSE(reader.select_image(std::numeric_limits<int>::max()));
    EXPECT_TRUE(reader.select_image(1));
}

TEST_F(D88ImageTest, FailedSelectLeavesNoImageCurrent) {
    load(standard_image("DISK", 1, 0x20));
    ASSERT_EQ(tagged_sector(0, 1, 1), track0_sector1());

    for (int index : {1, -1}) {
        SCOPED_TRACE(index);
        EXPECT_FALSE(reader.select_image(index));
        expect_no_image_current();
        ASSERT_TRUE(reader.select_image(0));
        EXPECT_EQ(tagged_sector(0, 1, 1), track0_sector1());
    }
}

TEST_F(D88ImageTest, SelectTakesNameUpToFirstNulAndMediaType) {
    struct Case {
        std::string name;  // bytes of the 16-byte name field (builder pads with NULs)
        std::uint8_t media;
        const char* expected;
    };
    // Each image is selected after the one before, so a shorter name must not keep the tail
    // of the longer one.
    const Case cases[] = {
        {"SIXTEEN_CHARS_XY", 0x00, "SIXTEEN_CHARS_XY"},
        {"SHORT", 0x10, "SHORT"},
        {std::string("AB\0CDEF", 7), 0x20, "AB"},
        {"", 0x30, ""},
        {"\xFF\x80", 0xFF, "\xFF\x80"},
    };
    std::vector<Bytes> images;
    for (const auto& c : cases) {
        DiskBuilder b;
        b.name = c.name;
        b.media_type = c.media;
        images.push_back(b.build());
    }
    ASSERT_TRUE(reader.open(write(concat(images)).c_str()));
    ASSERT_EQ(5, reader.image_count());
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(reader.select_image(i));
        EXPECT_STREQ(cases[i].expected, reader.disk_name());
        EXPECT_EQ(cases[i].media, reader.media_type());
    }
}

// ---------------------------------------------------------------------------------------------
// read_sector

TEST_F(D88ImageTest, ReadSectorMatchesAllFourIdBytes) {
    // The first record agrees with the wanted ID in C, H and R but not N.
    DiskBuilder b;
    b.track(0) = {make_record(2, 1, 5, 2, pattern(256, 1)), make_record(2, 1, 5, 1, pattern(256, 2)),
                  make_record(9, 9, 9, 9, pattern(256, 3))};
    load(b.build());

    struct Case {
        int c, h, r, n;
        bool found;
    };
    const Case cases[] = {
        {2, 1, 5, 1, true},   {3, 1, 5, 1, false},  {2, 0, 5, 1, false},
        {2, 1, 6, 1, false},  {2, 1, 5, 0, false},  {2, 1, 5, 3, false},
        {2 + 256, 1, 5, 1, false}, {2, 1, 5 + 256, 1, false}, {2, 1, 5, 1 + 256, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.c << " " << c.h << " " << c.r << " " << c.n);
        Bytes buf(300, kFill);
        int got = reader.read_sector(0, c.c, c.h, c.r, c.n, buf.data(), 300);
        if (c.found) {
            EXPECT_EQ(256, got);
            EXPECT_EQ(pattern(256, 2), slice(buf, 0, 256));
            EXPECT_TRUE(untouched_from(buf, 256));
        } else {
            EXPECT_EQ(0, got);
            EXPECT_TRUE(untouched_from(buf, 0));
        }
    }
    Bytes buf(300, kFill);
    EXPECT_EQ(256, reader.read_sector(0, 2, 1, 5, 2, buf.data(), 300));
    EXPECT_EQ(pattern(256, 1), slice(buf, 0, 256));
}

TEST_F(D88ImageTest, ReadSectorCopiesAtMostMaxBytes) {
    DiskBuilder b;
    b.track(0) = {make_record(0, 0, 1, 1, pattern(256, 1)), make_record(0, 0, 2, 1, pattern(100, 2)),
                  make_record(0, 0, 3, 1, Bytes())};
    load(b.build());

    struct Case {
        int r;
        int max;
        int expected;
    };
    const Case cases[] = {
        {1, 256, 256}, {1, 1000, 256}, {1, 100, 100}, {1, 1, 1}, {1, 0, 0}, {1, -1, 0},
        {1, std::numeric_limits<int>::min(), 0}, {2, 256, 100}, {2, 100, 100}, {3, 256, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "r " << c.r << " max " << c.max);
        Bytes buf(1100, kFill);
        EXPECT_EQ(c.expected, reader.read_sector(0, 0, 0, c.r, 1, buf.data(), c.max));
        const std::size_t n = static_cast<std::size_t>(c.expected);
        EXPECT_EQ(slice(pattern(256, static_cast<std::uint8_t>(c.r)), 0, n), slice(buf, 0, n));
        EXPECT_TRUE(untouched_from(buf, n));
    }
}

TEST_F(D88ImageTest, TrackTableEntryBounds) {
    // Every case is read in image 1, behind an image 0 whose track 0 holds the same IDs, so an
    // entry resolved against the wrong base finds image 0's data.
    const Bytes first = standard_image("FIRST", 1);
    const std::uint32_t first_size = static_cast<std::uint32_t>(first.size());
    struct Case {
        const char* what;
        bool set_entry;
        std::uint32_t entry;
        bool set_size;
        std::uint32_t size;
        bool readable;
    };
    const Case cases[] = {
        {"as laid out", false, 0, false, 0, true},
        {"absent", true, 0, false, 0, false},
        {"equal to the disk size", true, kHeader, true, kHeader, true},
        {"above the disk size", true, kHeader, true, kHeader - 1, false},
        {"negative disk size", false, 0, true, 0xFFFFFFFFu, false},
        {"negative, reaching back into image 0", true, kHeader - first_size, false, 0, false},
        {"-1", true, 0xFFFFFFFFu, true, 0x7FFFFFFFu, false},
        {"past the end of the file", true, 0x100000u, true, 0x200000u, false},
        {"file offset past 2^31-1", true, 0x7FFFFFF0u, true, 0x7FFFFFFFu, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DiskBuilder second;
        second.standard_track(0, 2);
        if (c.set_entry) second.override_track_offset(0, c.entry);
        if (c.set_size) second.override_disk_size(c.size);
        // A small or negative disk size may let the scan find more images inside this one.
        ASSERT_TRUE(reader.open(write(concat({first, second.build()})).c_str()));
        ASSERT_GE(reader.image_count(), 2);
        ASSERT_TRUE(reader.select_image(1));
        if (c.readable) {
            EXPECT_EQ(tagged_sector(0, 1, 2), track0_sector1());
            Bytes buf(64, kFill);
            EXPECT_EQ(512, reader.read_sectors(0, 0, 0, 1, 1, Bytes(512).data(), 512));
            EXPECT_EQ(64, reader.read_track_ids(0, buf.data(), 64));
        } else {
            expect_reads_fail();
        }
    }
}

TEST_F(D88ImageTest, ReadsRejectTrackIndicesOutside0To163) {
    DiskBuilder b;
    b.standard_track(0).standard_track(163);
    load(b.build());
    for (int track : {-1, 164, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
        SCOPED_TRACE(track);
        Bytes buf(512, kFill);
        EXPECT_EQ(0, reader.read_sector(track, 0, 0, 1, 1, buf.data(), 256));
        EXPECT_EQ(0, reader.read_sectors(track, 0, 0, 1, 1, buf.data(), 512));
        EXPECT_EQ(0, reader.read_track_ids(track, buf.data(), 64));
        EXPECT_TRUE(untouched_from(buf, 0));
    }
    Bytes buf(256, kFill);
    EXPECT_EQ(256, reader.read_sector(163, 81, 1, 16, 1, buf.data(), 256));
    EXPECT_EQ(tagged_sector(163, 16), buf);
}

TEST_F(D88ImageTest, RecordWalkFollowsEachRecordsSectorCount) {
    struct Case {
        const char* what;
        std::vector<std::uint16_t> counts;  // records R1, R2, ... with these sector counts
        int wanted_r;
        bool found;
    };
    const Case cases[] = {
        {"first record", {16, 16}, 1, true},
        {"last record the count allows", {3, 3, 3}, 3, true},
        {"only record, count 1", {1}, 1, true},
        {"beyond the count", {2, 2, 2}, 3, false},
        {"count shrinks on the way", {5, 2, 5}, 3, false},
        {"count grows on the way", {2, 3, 3}, 3, true},
        {"count 1 ends after the first record", {1, 3}, 2, false},
        {"count 0 on the wanted record", {0}, 1, false},
        {"count 0 on an earlier record", {16, 0, 16}, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Data sizes differ per record, so a wrong skip loses the walk.
        DiskBuilder b;
        for (std::size_t i = 0; i < c.counts.size(); ++i)
            b.track(0).push_back(make_record(0, 0, static_cast<int>(i + 1), 1,
                                             pattern((i + 1) * 100, static_cast<std::uint8_t>(i + 1)),
                                             c.counts[i]));
        load(b.build());
        const std::size_t size = static_cast<std::size_t>(c.wanted_r) * 100;
        Bytes buf(1000, kFill);
        int got = reader.read_sector(0, 0, 0, c.wanted_r, 1, buf.data(), 1000);
        if (c.found) {
            EXPECT_EQ(static_cast<int>(size), got);
            EXPECT_EQ(pattern(size, static_cast<std::uint8_t>(c.wanted_r)), slice(buf, 0, size));
            EXPECT_TRUE(untouched_from(buf, size));
        } else {
            EXPECT_EQ(0, got);
            EXPECT_TRUE(untouched_from(buf, 0));
        }
    }
}

TEST_F(D88ImageTest, LookupsGiveTheSameAnswerInAnyOrder) {
    // R1 appears twice (the first one wins) and R4 lies past the record count of 4.
    DiskBuilder b;
    b.track(0) = {make_record(0, 0, 1, 1, pattern(256, 1), 4), make_record(0, 0, 2, 1, pattern(256, 2), 4),
                  make_record(0, 0, 1, 1, pattern(256, 3), 4), make_record(0, 0, 3, 1, pattern(256, 4), 4),
                  make_record(0, 0, 4, 1, pattern(256, 5), 4)};
    b.standard_track(1);
    load(b.build());
    // A second reader, on a file with other data at the same places, reads in between.
    DiskBuilder other_builder = b;
    for (auto& rec : other_builder.track(0)) rec.data = pattern(256, static_cast<std::uint8_t>(rec.r + 100));
    D88Image other;
    ASSERT_TRUE(other.open(write(other_builder.build()).c_str()));
    ASSERT_TRUE(other.select_image(0));

    auto expected = [](int r, int seed_offset) {
        const int seed[] = {0, 1, 2, 4};  // R1 -> first R1 record, R2, R3; R4 not found
        return r == 4 ? Bytes() : pattern(256, static_cast<std::uint8_t>(seed[r] + seed_offset));
    };
    auto read = [](D88Image& from, int track, int r) {
        Bytes buf(256, kFill);
        int got = from.read_sector(track, 0, track, r, 1, buf.data(), 256);
        return Bytes(buf.begin(), buf.begin() + std::max(got, 0));
    };
    for (int r : {4, 1, 3, 2, 1, 4, 3}) {
        SCOPED_TRACE(r);
        EXPECT_EQ(expected(r, 0), read(reader, 0, r));
        EXPECT_EQ(tagged_sector(1, r), read(reader, 1, r));
        EXPECT_EQ(r == 4 ? Bytes() : pattern(256, static_cast<std::uint8_t>(r + 100)), read(other, 0, r));
        EXPECT_EQ(expected(r, 0), read(reader, 0, r));
    }
}

TEST_F(D88ImageTest, LongTrackGivesTheFirstRecordOfEachIdBeforeTheWalkEnds) {
    // 140,000 records of distinct IDs that nothing asks for, far more than a sector count can
    // name, then the sectors asked for: duplicates, another cylinder, a record with a sector
    // count of 0 that ends the walk, and a record after that end.
    constexpr int kFillers = 140000;
    std::vector<Record> records;
    for (int k = 0; k < kFillers; ++k)
        records.push_back(make_record(k & 0xFF, (k >> 8) & 0xFF, (k >> 16) & 0xFF, 7, Bytes(), k == 0 ? 0xFFFF : 1));
    records[50] = make_record(5, 0, 1, 1, pattern(16, 1), 1);
    for (const Record& rec : {make_record(5, 0, 1, 1, pattern(16, 2), 1), make_record(5, 0, 2, 1, pattern(16, 3), 1),
                              make_record(5, 0, 3, 1, pattern(16, 4), 1), make_record(5, 0, 2, 1, pattern(16, 5), 1),
                              make_record(6, 0, 3, 1, pattern(16, 6), 1), make_record(5, 0, 4, 1, pattern(16, 7), 0),
                              make_record(5, 0, 5, 1, pattern(16, 8), 1)})
        records.push_back(rec);
    DiskBuilder b;
    b.track(0) = records;
    load(b.build());

    struct Case {
        int c, r;
        std::uint8_t seed;  // 0: not found
    };
    const Case cases[] = {{5, 3, 4}, {5, 1, 1}, {5, 2, 3}, {6, 3, 6}, {5, 4, 0},
                          {5, 5, 0}, {5, 3, 4}, {7, 1, 0}, {5, 1, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "C " << k.c << " R " << k.r);
        Bytes buf(16, kFill);
        int got = reader.read_sector(0, k.c, 0, k.r, 1, buf.data(), 16);
        EXPECT_EQ(k.seed == 0 ? Bytes() : pattern(16, k.seed), Bytes(buf.begin(), buf.begin() + std::max(got, 0)));
    }
}

TEST_F(D88ImageTest, WholeDiskReadsAsOneRun) {
    // Every track present: the file is far larger than any single read.
    DiskBuilder b;
    for (int t = 0; t < 164; ++t) b.standard_track(t);
    load(b.build());

    std::vector<std::pair<int, int>> sectors;
    for (int t = 0; t < 164; ++t)
        for (int r = 1; r <= 16; ++r) sectors.push_back({t, r});
    const Bytes all = standard_run(sectors);
    Bytes buf(all.size() + 256, kFill);
    EXPECT_EQ(static_cast<int>(all.size()),
              reader.read_sectors(0, 0, 0, 1, 1, buf.data(), static_cast<int>(buf.size())));
    EXPECT_EQ(all, slice(buf, 0, all.size()));
    EXPECT_TRUE(untouched_from(buf, all.size()));

    // Single sectors from the far end back to the start.
    for (int t = 163; t >= 0; t -= 7) {
        SCOPED_TRACE(t);
        Bytes sector(256, kFill);
        EXPECT_EQ(256, reader.read_sector(t, t / 2, t % 2, 16 - t % 16, 1, sector.data(), 256));
        EXPECT_EQ(tagged_sector(t, 16 - t % 16), sector);
        Bytes ids(64, kFill);
        EXPECT_EQ(64, reader.read_track_ids(t, ids.data(), 64));
        EXPECT_EQ((Bytes{static_cast<std::uint8_t>(t / 2), static_cast<std::uint8_t>(t % 2), 16, 1}),
                  slice(ids, 60, 4));
    }
}

TEST_F(D88ImageTest, FileCutShortInsideTrack) {
    DiskBuilder b;
    b.track(0) = {make_record(0, 0, 1, 1, pattern(256, 1)), make_record(0, 0, 2, 1, pattern(256, 2))};
    const Bytes full = b.build();

    {
        SCOPED_TRACE("second record header cut short: not found");
        load(slice(full, 0, kHeader + kStdRecord + 10));
        Bytes buf(512, kFill);
        EXPECT_EQ(0, reader.read_sector(0, 0, 0, 2, 1, buf.data(), 256));
        EXPECT_TRUE(untouched_from(buf, 0));
        EXPECT_EQ(256, reader.read_sectors(0, 0, 0, 1, 1, buf.data(), 512));
        EXPECT_EQ(pattern(256, 1), slice(buf, 0, 256));
        EXPECT_TRUE(untouched_from(buf, 256));
        Bytes ids(64, kFill);
        EXPECT_EQ(4, reader.read_track_ids(0, ids.data(), 64));
        EXPECT_TRUE(untouched_from(ids, 4));
    }
    {
        SCOPED_TRACE("second record data cut short: read short");
        load(slice(full, 0, kHeader + kStdRecord + 16 + 100));
        Bytes buf(512, kFill);
        EXPECT_EQ(100, reader.read_sector(0, 0, 0, 2, 1, buf.data(), 256));
        EXPECT_EQ(pattern(100, 2), slice(buf, 0, 100));
        EXPECT_TRUE(untouched_from(buf, 100));

        // The run copies the bytes present but does not count the short sector.
        buf.assign(600, kFill);
        EXPECT_EQ(256, reader.read_sectors(0, 0, 0, 1, 1, buf.data(), 600));
        EXPECT_EQ(pattern(256, 1), slice(buf, 0, 256));
        EXPECT_EQ(pattern(100, 2), slice(buf, 256, 100));
        EXPECT_TRUE(untouched_from(buf, 356));

        Bytes ids(64, kFill);
        EXPECT_EQ(8, reader.read_track_ids(0, ids.data(), 64));
        EXPECT_EQ((Bytes{0, 0, 1, 1, 0, 0, 2, 1}), slice(ids, 0, 8));
    }
}

// ---------------------------------------------------------------------------------------------
// read_sectors

TEST_F(D88ImageTest, ReadSectorsStepsOverHeadsAndCylinders) {
    DiskBuilder b;
    for (int t = 3; t <= 7; ++t) b.standard_track(t);
    load(b.build());

    // Track 4 (C 2, H 0) R 16 -> track 5 (C 2, H 1) R 1; track 5 R 16 -> track 6 (C 3, H 0) R 1.
    std::vector<std::pair<int, int>> expected = {{4, 15}, {4, 16}};
    for (int r = 1; r <= 16; ++r) expected.push_back({5, r});
    expected.push_back({6, 1});
    expected.push_back({6, 2});
    Bytes buf(20 * 256 + 100, kFill);
    EXPECT_EQ(20 * 256, reader.read_sectors(4, 2, 0, 15, 1, buf.data(), 20 * 256));
    EXPECT_EQ(standard_run(expected), slice(buf, 0, 20 * 256));
    EXPECT_TRUE(untouched_from(buf, 20 * 256));

    // A length that is not a whole number of sectors takes the head of the last one.
    buf.assign(1024, kFill);
    EXPECT_EQ(2 * 256 + 44, reader.read_sectors(5, 2, 1, 16, 1, buf.data(), 2 * 256 + 44));
    EXPECT_EQ(standard_run({{5, 16}, {6, 1}}), slice(buf, 0, 512));
    EXPECT_EQ(slice(tagged_sector(6, 2), 0, 44), slice(buf, 512, 44));
    EXPECT_TRUE(untouched_from(buf, 556));
}

TEST_F(D88ImageTest, ReadSectorsUsesTheSectorRange) {
    DiskBuilder b;
    for (int t = 0; t <= 3; ++t) b.standard_track(t);
    load(b.build());

    reader.set_sector_range(3, 4);
    Bytes buf(5 * 256, kFill);
    EXPECT_EQ(5 * 256, reader.read_sectors(0, 0, 0, 3, 1, buf.data(), 5 * 256));
    EXPECT_EQ(standard_run({{0, 3}, {0, 4}, {1, 3}, {1, 4}, {2, 3}}), buf);
}

TEST_F(D88ImageTest, ReadSectorsTakesChunkSizeFromN) {
    DiskBuilder b;
    for (int r = 1; r <= 3; ++r)
        b.track(0).push_back(make_record(0, 0, r, 0, pattern(128, static_cast<std::uint8_t>(r))));
    b.track(1) = {make_record(0, 1, 1, 23, pattern(100, 9))};
    load(b.build());

    Bytes buf(400, kFill);
    EXPECT_EQ(300, reader.read_sectors(0, 0, 0, 1, 0, buf.data(), 300));
    EXPECT_EQ(concat({pattern(128, 1), pattern(128, 2), slice(pattern(128, 3), 0, 44)}),
              slice(buf, 0, 300));
    EXPECT_TRUE(untouched_from(buf, 300));

    // n = 23 is the largest size code accepted; the chunk is lowered to the length.
    buf.assign(400, kFill);
    EXPECT_EQ(100, reader.read_sectors(1, 0, 1, 1, 23, buf.data(), 100));
    EXPECT_EQ(pattern(100, 9), slice(buf, 0, 100));
}

TEST_F(D88ImageTest, ReadSectorsRejectsBadSizeCodeAndLength) {
    DiskBuilder b;
    b.standard_track(0);
    b.track(1) = {make_record(0, 1, 1, 24, pattern(100, 1)), make_record(0, 1, 2, 0xFF, pattern(100, 2))};
    load(b.build());
    struct Case {
        int track, r, n, length;
    };
    const Case cases[] = {
        {0, 1, 1, 0},  {0, 1, 1, -1}, {0, 1, 1, std::numeric_limits<int>::min()},
        {0, 1, -1, 256}, {1, 1, 24, 100}, {1, 2, 0xFF, 100}, {0, 1, std::numeric_limits<int>::max(), 256},
        {0, 17, 1, 256},  // no such sector
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "track " << c.track << " r " << c.r << " n " << c.n
                                          << " length " << c.length);
        Bytes buf(512, kFill);
        EXPECT_EQ(0, reader.read_sectors(c.track, 0, c.track, c.r, c.n, buf.data(), c.length));
        EXPECT_TRUE(untouched_from(buf, 0));
    }
}

TEST_F(D88ImageTest, ReadSectorsEndsPastTrack163) {
    // Track 0 holds the ID a run would ask for if the track index wrapped round.
    DiskBuilder b;
    b.standard_track(162).standard_track(163);
    b.track(0) = {make_record(82, 0, 1, 1, pattern(256, 1))};
    load(b.build());

    Bytes buf(4 * 256, kFill);
    EXPECT_EQ(512, reader.read_sectors(163, 81, 1, 15, 1, buf.data(), 4 * 256));
    EXPECT_EQ(standard_run({{163, 15}, {163, 16}}), slice(buf, 0, 512));
    EXPECT_TRUE(untouched_from(buf, 512));
}

TEST_F(D88ImageTest, ReadSectorsStartingAboveLastSectorStaysOnItsTrack) {
    // Track 0 holds R 17, 18, then 254, 255 and 0 (where 256 lands if held in a byte) and
    // sector 1 of track 1 waits for a run that wrongly steps on.
    DiskBuilder b;
    b.standard_track(1);
    for (int r : {17, 18, 254, 255, 0})
        b.track(0).push_back(make_record(0, 0, r, 1, pattern(256, static_cast<std::uint8_t>(r))));
    load(b.build());

    for (int start : {17, 254}) {
        SCOPED_TRACE(start);
        Bytes buf(4 * 256, kFill);
        EXPECT_EQ(512, reader.read_sectors(0, 0, 0, start, 1, buf.data(), 4 * 256));
        EXPECT_EQ(concat({pattern(256, static_cast<std::uint8_t>(start)),
                          pattern(256, static_cast<std::uint8_t>(start + 1))}),
                  slice(buf, 0, 512));
        EXPECT_TRUE(untouched_from(buf, 512));
    }
}

TEST_F(D88ImageTest, ShortSectorEndsRunUncountedButCopied) {
    DiskBuilder b;
    b.standard_track(0);
    b.set_sector_data(0, 3, pattern(100, 7));
    load(b.build());

    {
        SCOPED_TRACE("short sector inside the run");
        Bytes buf(5 * 256, kFill);
        EXPECT_EQ(512, reader.read_sectors(0, 0, 0, 1, 1, buf.data(), 5 * 256));
        EXPECT_EQ(standard_run({{0, 1}, {0, 2}}), slice(buf, 0, 512));
        EXPECT_EQ(pattern(100, 7), slice(buf, 512, 100));
        EXPECT_TRUE(untouched_from(buf, 612));
    }
    {
        SCOPED_TRACE("run ends exactly within the short sector");
        Bytes buf(5 * 256, kFill);
        EXPECT_EQ(612, reader.read_sectors(0, 0, 0, 1, 1, buf.data(), 612));
        EXPECT_EQ(pattern(100, 7), slice(buf, 512, 100));
        EXPECT_TRUE(untouched_from(buf, 612));
    }
}

// ---------------------------------------------------------------------------------------------
// read_track_ids

TEST_F(D88ImageTest, ReadTrackIdsStoresWholeEntriesUpToTheCount) {
    DiskBuilder b;
    b.track(0) = {make_record(1, 0, 5, 1, pattern(10, 1), 3), make_record(2, 1, 6, 2, Bytes(), 3),
                  make_record(3, 0, 7, 3, pattern(300, 3), 3)};
    b.standard_track(1);  // follows track 0 in the file
    load(b.build());
    const Bytes all = {1, 0, 5, 1, 2, 1, 6, 2, 3, 0, 7, 3};

    for (int capacity : {64, 12, 11, 8, 7, 4, 3, 0, -4}) {
        SCOPED_TRACE(capacity);
        const std::size_t stored = static_cast<std::size_t>(std::min(12, std::max(capacity, 0)) / 4 * 4);
        Bytes buf(64, kFill);
        EXPECT_EQ(static_cast<int>(stored), reader.read_track_ids(0, buf.data(), capacity));
        EXPECT_EQ(slice(all, 0, stored), slice(buf, 0, stored));
        EXPECT_TRUE(untouched_from(buf, stored));
    }
}

TEST_F(D88ImageTest, ReadTrackIdsStopsWhereEachRecordsCountSays) {
    struct Case {
        const char* what;
        std::vector<std::uint16_t> counts;
        int entries;
    };
    // Track 1 is the last track in the file; the walk may run to the end of the file.
    const Case cases[] = {
        {"count 2 of 4 records", {2, 2, 2, 2}, 2},
        {"count shrinks", {5, 2, 5, 5}, 2},
        {"count grows", {1, 4, 4, 4}, 1},
        {"count above the records held", {9, 9, 9, 9}, 4},
        {"count 0 never matches i", {0, 0, 0, 0}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DiskBuilder b;
        for (std::size_t i = 0; i < c.counts.size(); ++i)
            b.track(1).push_back(make_record(0, 1, static_cast<int>(i + 1), 1, pattern(20, 0), c.counts[i]));
        load(b.build());
        Bytes buf(64, kFill);
        EXPECT_EQ(4 * c.entries, reader.read_track_ids(1, buf.data(), 64));
        for (int i = 0; i < c.entries; ++i)
            EXPECT_EQ((Bytes{0, 1, static_cast<std::uint8_t>(i + 1), 1}),
                      slice(buf, static_cast<std::size_t>(4 * i), 4));
        EXPECT_TRUE(untouched_from(buf, static_cast<std::size_t>(4 * c.entries)));
    }
}

// ---------------------------------------------------------------------------------------------
// Open and close

TEST_F(D88ImageTest, NewReaderHoldsNothing) {
    EXPECT_EQ(0, reader.image_count());
    expect_no_image_current();
    EXPECT_TRUE(reader.close());
    EXPECT_EQ(0, reader.image_count());
}

TEST_F(D88ImageTest, CloseForgetsFileImagesAndCurrentImage) {
    const std::string path = write(concat({standard_image("A", 1, 0x20), standard_image("B", 2)}));
    ASSERT_TRUE(reader.open(path.c_str()));
    ASSERT_TRUE(reader.select_image(0));

    EXPECT_TRUE(reader.close());
    EXPECT_EQ(0, reader.image_count());
    expect_no_image_current();
    EXPECT_FALSE(reader.select_image(0));
    EXPECT_TRUE(reader.close());

    // Opening again finds the images, but none is current until one is selected.
    ASSERT_TRUE(reader.open(path.c_str()));
    EXPECT_EQ(2, reader.image_count());
    expect_no_image_current();
    ASSERT_TRUE(reader.select_image(0));
    EXPECT_EQ(tagged_sector(0, 1, 1), track0_sector1());
}

TEST_F(D88ImageTest, OpenOnAnOpenReaderStartsAfresh) {
    const std::string first = write(concat({standard_image("A", 1), standard_image("B", 2, 0x20)}));
    const std::string second = write(standard_image("C", 3, 0x30));
    ASSERT_TRUE(reader.open(first.c_str()));
    ASSERT_TRUE(reader.select_image(1));

    ASSERT_TRUE(reader.open(second.c_str()));
    EXPECT_EQ(1, reader.image_count());
    expect_no_image_current();
    EXPECT_FALSE(reader.select_image(1));
    ASSERT_TRUE(reader.select_image(0));
    EXPECT_STREQ("C", reader.disk_name());
    EXPECT_EQ(0x30, reader.media_type());
    EXPECT_EQ(tagged_sector(0, 1, 3), track0_sector1());
    // The first file is no longer held (removing an open file fails on some systems).
    EXPECT_EQ(0, std::remove(first.c_str()));
}

TEST_F(D88ImageTest, FailedOpenOrNullPathLeavesNoFile) {
    const std::string path = write(standard_image("A", 1, 0x20));
    const std::string missing = ::testing::TempDir() + "d88_image_test_no_such_dir/missing.d88";
    for (const char* next : {missing.c_str(), static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(next == nullptr ? "null path" : "missing file");
        ASSERT_TRUE(reader.open(path.c_str()));
        ASSERT_TRUE(reader.select_image(0));

        EXPECT_EQ(next == nullptr, reader.open(next));
        EXPECT_EQ(0, reader.image_count());
        expect_no_image_current();
        EXPECT_FALSE(reader.select_image(0));
    }
}

}  // namespace
