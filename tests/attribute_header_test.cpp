#include "NtfsBuilder.h"

#include "ntfs/AttributeHeader.h"

#include <gtest/gtest.h>

using namespace scan;
using testing_ntfs::RecordBuilder;
using testing_ntfs::View;

namespace {

// The first attribute of a record made by `builder`, before the fix-ups.
ByteView FirstAttribute(const testing_ntfs::Record& record)
{
    return View(record).Sub(0x38, 1024 - 0x38);
}

}  // namespace

TEST(AttributeHeader, ResidentAndNonResident)
{
    const auto resident = RecordBuilder(40).Resident(kAttrData, std::vector<std::uint8_t>(21, 'x')).Finish();
    AttributeHeader h = DecodeAttributeHeader(FirstAttribute(resident));
    EXPECT_EQ(h.type, kAttrData);
    EXPECT_EQ(h.length, 0x30u);  // 0x18 + 21, rounded up to 8
    EXPECT_FALSE(h.nonResident);
    EXPECT_EQ(h.valueLength, 21u);
    EXPECT_EQ(h.valueOffset, 0x18);
    EXPECT_EQ(h.runsOffset, 0);
    EXPECT_EQ(h.dataSize, 0u);

    const auto nonResident = RecordBuilder(40)
                                 .NonResident(kAttrData, {0x11, 0x04, 0x30}, 10000, 16384, 0x0001, 4, 8192, 12)
                                 .Finish();
    h = DecodeAttributeHeader(FirstAttribute(nonResident));
    EXPECT_TRUE(h.nonResident);
    EXPECT_EQ(h.flags, 0x0001);
    EXPECT_EQ(h.lowestVcn, 12u);
    EXPECT_EQ(h.runsOffset, 0x40);
    EXPECT_EQ(h.compressionUnit, 4);
    EXPECT_EQ(h.allocatedSize, 16384u);
    EXPECT_EQ(h.dataSize, 10000u);
    EXPECT_EQ(h.initializedSize, 8192u);
    EXPECT_EQ(h.valueLength, 0u);  // a resident field, not read for a non-resident attribute
}

TEST(AttributeHeader, CutShortReadsZeros)
{
    const auto record = RecordBuilder(40).NonResident(kAttrData, {0x11, 0x04, 0x30}, 10000).Finish();
    const AttributeHeader h = DecodeAttributeHeader(FirstAttribute(record).Sub(0, 0x2A));
    EXPECT_TRUE(h.nonResident);
    EXPECT_EQ(h.runsOffset, 0x40);
    EXPECT_EQ(h.allocatedSize, 0u);
    EXPECT_EQ(h.dataSize, 0u);
    EXPECT_EQ(DecodeAttributeHeader(ByteView()).type, 0u);
}
