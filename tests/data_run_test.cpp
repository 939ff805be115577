#include "NtfsBuilder.h"

#include "ntfs/DataRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace scan;
using testing_ntfs::Record;
using testing_ntfs::View;

namespace {

// A 1024-byte attribute holding `bytes` at `offset`.
Record RunsAt(std::size_t offset, const std::vector<std::uint8_t>& bytes)
{
    Record copy(1024);
    std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<std::ptrdiff_t>(offset));
    return copy;
}

std::vector<DataRun> Decode(const Record& attribute, std::size_t offset)
{
    return DecodeDataRuns(View(attribute), offset);
}

}  // namespace

TEST(DataRuns, DecodesLengthsAndSignedOffsets)
{
    // Two runs, the second one 0x10 clusters back.
    const auto runs = Decode(RunsAt(0x40, {0x31, 0x20, 0x00, 0x10, 0x00, 0x21, 0x10, 0xF0, 0xFF, 0x00}), 0x40);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (DataRun {0x1000, 0, 0x20}));
    EXPECT_EQ(runs[1], (DataRun {0xFF0, 0x20, 0x10}));
}

TEST(DataRuns, EdgeForms)
{
    // No offset bytes: a sparse run, with no clusters; the next offset still
    // counts from the last real run.
    auto runs = Decode(RunsAt(0, {0x11, 0x04, 0x30, 0x01, 0x02, 0x11, 0x01, 0x05, 0x00}), 0);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1], (DataRun {0, 4, 2, true}));
    EXPECT_EQ(runs[2], (DataRun {0x35, 6, 1}));

    // The first header is decoded even when it is the terminator.
    runs = Decode(RunsAt(0, {0x00}), 0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], (DataRun {0, 0, 0}));

    // An 8-byte negative offset, and a 3-byte positive one with a high byte
    // just below the sign bit.
    runs = Decode(RunsAt(0, {0x31, 0x01, 0x00, 0x00, 0x7F, 0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0x00}),
                          0);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].lcn, 0x7F0000);
    EXPECT_EQ(runs[1].lcn, 0x7F0000 - 1);

    // Offsets past the attribute copy give nothing.
    EXPECT_TRUE(Decode(RunsAt(0, {0x11, 1, 1}), 1024).empty());
}

TEST(DataRuns, DamagedListsEndInsideTheCopy)
{
    // A field size over 8 bytes ends the list.
    auto runs = Decode(RunsAt(0, {0x11, 0x01, 0x05, 0x19, 0x01}), 0);
    EXPECT_EQ(runs.size(), 1u);
    // A run whose fields would run past the 1024 bytes is not decoded.
    runs = Decode(RunsAt(1020, {0x11, 0x01, 0x05, 0x88}), 1020);
    EXPECT_EQ(runs.size(), 1u);
    // A header in the very last byte with fields beyond it.
    runs = Decode(RunsAt(1023, {0x11}), 1023);
    EXPECT_TRUE(runs.empty());
}
