#include "NtfsFacts.h"
#include "NtfsBuilder.h"

#include "ntfs/NtfsRecord.h"
#include "ntfs/RecordFacts.h"
#include "volume/VolumeScanner.h"
#include "platform/BlockDevice.h"
#include "base/ByteView.h"

#include <gtest/gtest.h>

#include <memory>

using namespace scan;
using testing_ntfs::BuildExtents;
using testing_ntfs::FileSize;
using testing_ntfs::Put16;
using testing_ntfs::Record;
using testing_ntfs::RecordBuilder;
using testing_ntfs::View;

TEST(RecordValidation, AppliesFixupsAndRejectsBadHeaders)
{
    RecordBuilder b(40);
    b.Resident(0x80, std::vector<std::uint8_t>(700, 0xAB));  // reaches the end of sector 1
    Record rec = b.Finish();
    EXPECT_EQ(rec[510], 0x07);  // the sequence number stands there on disk
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(rec[510], 0xAB);
    EXPECT_EQ(rec[511], 0xAB);

    Record nine = b.Finish();
    Put16(&nine[0x06], 9);
    EXPECT_FALSE(ValidateAndFixRecord(nine));

    Record badSignature = b.Finish();
    badSignature[0] = 'B';
    EXPECT_FALSE(ValidateAndFixRecord(badSignature));

    // An array that would run past the record.
    Record pastEnd = b.Finish();
    Put16(&pastEnd[0x04], 1020);
    Put16(&pastEnd[0x06], 4);
    EXPECT_FALSE(ValidateAndFixRecord(pastEnd));

    // A record of another size than the one it is read as is none.
    Record larger = b.Finish();
    Put16(&larger[0x06], 5);
    EXPECT_FALSE(ValidateAndFixRecord(larger));
}

TEST(RecordValidation, EverySizeAndTornRecords)
{
    for (const std::size_t size : {std::size_t {1024}, std::size_t {2048}, std::size_t {4096}}) {
        RecordBuilder b(40, RecordBuilder::kInUse, size);
        b.FileName(u"name.txt", 5, 1).Resident(0x80, std::vector<std::uint8_t>(size / 2, 0xCD));
        Record rec = b.Finish();
        EXPECT_EQ(RecordSizeOf(View(rec)), size);
        const RecordCheck whole = ValidateAndFixRecord(rec);
        ASSERT_TRUE(whole) << size;
        EXPECT_FALSE(whole.Torn());
        EXPECT_EQ(whole.intact, size);
        EXPECT_EQ(rec[size / 2 - 2], 0xCD);  // the saved word is back

        // A later sector whose end word is not the sequence number: torn,
        // and only the sectors before it count.
        Record torn = b.Finish();
        torn[size - 2] ^= 0xFF;
        const RecordCheck check = ValidateAndFixRecord(torn);
        ASSERT_TRUE(check);
        EXPECT_TRUE(check.Torn());
        EXPECT_EQ(check.intact, size - 512);
        ByteView name;
        ASSERT_TRUE(FindAttribute(IntactPart(torn, check), kAttrFileName, name));
        EXPECT_EQ(DecodeFileName(name).name, u"name.txt");

        // The first sector failing: no record at all.
        Record none = b.Finish();
        none[510] ^= 0xFF;
        EXPECT_FALSE(ValidateAndFixRecord(none));

        // Read at another size, the record is none either.
        Record cut(rec.begin(), rec.begin() + 1024);
        if (size != 1024) {
            EXPECT_FALSE(ValidateAndFixRecord(cut));
        }
    }
    // Sizes NTFS does not make are not records.
    Record odd = RecordBuilder(40).Finish();
    Put16(&odd[0x06], 4);
    EXPECT_EQ(RecordSizeOf(View(odd)), 0u);
}

TEST(AttributeWalk, PrefersTheWin32Name)
{
    ByteView copy;
    // DOS name first, then the Win32-and-DOS name.
    Record rec = RecordBuilder(40).FileName(u"LONGNA~1.TXT", 5, 2).FileName(u"long name.txt", 5, 3).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    ASSERT_TRUE(FindAttribute(rec, kAttrFileName, copy));
    EXPECT_EQ(DecodeFileName(copy).name, u"long name.txt");

    // DOS and POSIX only: the last one.
    rec = RecordBuilder(41).FileName(u"POSIX~1", 7, 2).FileName(u"posix", 7, 0).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    ASSERT_TRUE(FindAttribute(rec, kAttrFileName, copy));
    const FileNameInfo info = DecodeFileName(copy);
    EXPECT_EQ(info.name, u"posix");
    EXPECT_EQ(info.parent, 7u);

    // The Win32 name stops the walk even when more names follow.
    rec = RecordBuilder(42).FileName(u"win32", 5, 1).FileName(u"later", 5, 0).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    ASSERT_TRUE(FindAttribute(rec, kAttrFileName, copy));
    EXPECT_EQ(DecodeFileName(copy).name, u"win32");
}

TEST(AttributeWalk, StopsOnDamage)
{
    ByteView copy;
    RecordBuilder b(40);
    b.Resident(0x10, std::vector<std::uint8_t>(0x30)).Resident(0x80, {1, 2, 3});
    Record rec = b.Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_TRUE(FindAttribute(rec, kAttrData, copy));
    EXPECT_EQ(copy.U8(0x18), 1);

    // A zero length ends the walk before the $DATA.
    Record zero = rec;
    Put16(&zero[0x38 + 4], 0);
    EXPECT_FALSE(FindAttribute(zero, kAttrData, copy));

    // A length that runs past the record ends it too.
    Record huge = rec;
    Put16(&huge[0x38 + 4], 0xFFF0);
    EXPECT_FALSE(FindAttribute(huge, kAttrData, copy));

    // A first-attribute offset beyond the record finds nothing.
    Record far = rec;
    Put16(&far[0x14], 0xFFFF);
    EXPECT_FALSE(FindAttribute(far, kAttrData, copy));

    // A matching type with its high bytes set is damage: the walk ends.
    Record high = rec;
    high[0x38 + 0x48 + 2] = 0x01;  // the $DATA attribute's third type byte
    EXPECT_FALSE(FindAttribute(high, kAttrData, copy));

    // A name length larger than its attribute is cut to the attribute.
    Record named = RecordBuilder(41).FileName(u"ab", 5, 1).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(named));
    named[0x38 + 0x58] = 200;
    ASSERT_TRUE(FindAttribute(named, kAttrFileName, copy));
    EXPECT_LE(DecodeFileName(copy).name.size(), 4u);
}

TEST(RecordFacts, TimesAndSizes)
{
    platform::MemoryDevice unused(std::vector<std::uint8_t>(4096));
    VolumeScanner volume;

    Record rec = RecordBuilder(40)
                           .StandardInformation(300, 100, 200)
                           .FileName(u"a.txt", 5, 1, 900, 900, 900)
                           .Resident(0x80, std::vector<std::uint8_t>(123))
                           .Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(LatestTime(rec), 300u);  // $STANDARD_INFORMATION wins over the name's times
    EXPECT_EQ(FileSize(volume, rec), 123u);

    // Without $STANDARD_INFORMATION the chosen name's times count.
    rec = RecordBuilder(41).FileName(u"b.txt", 5, 1, 10, 30, 20).NonResident(0x80, {0x11, 0x02, 0x10}, 5000).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(LatestTime(rec), 30u);
    EXPECT_EQ(FileSize(volume, rec), 5000u);

    rec = RecordBuilder(42).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(LatestTime(rec), 0u);
    EXPECT_EQ(FileSize(volume, rec), 0u);
}

TEST(RecordExtents, ResidentAndNonResidentData)
{
    VolumeScanner volume;
    volume.m_sectorsPerCluster = 8;
    volume.m_volumeSize = 8 * 1000;  // 1000 clusters

    Record rec = RecordBuilder(40).Resident(0x80, {1, 2, 3}).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(BuildExtents(volume, rec, 777), (std::vector<FileExtent> {{777, 2, 1}}));

    // Runs at 0x100 (4 clusters), then 0x80 back (2 clusters).
    rec = RecordBuilder(41).NonResident(0x80, {0x21, 0x04, 0x00, 0x01, 0x21, 0x02, 0x80, 0xFF}, 5000).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(BuildExtents(volume, rec, 0),
              (std::vector<FileExtent> {{8 * 0x100, 8 * 4, 0}, {8 * 0x80, 8 * 2, 0}}));

    // The list stops before a run as long as the volume, or one beyond it.
    rec = RecordBuilder(42).NonResident(0x80, {0x11, 0x04, 0x10, 0x22, 0xE8, 0x03, 0x10, 0x00}, 5000).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(BuildExtents(volume, rec, 0), (std::vector<FileExtent> {{8 * 0x10, 8 * 4, 0}}));
    rec = RecordBuilder(43).NonResident(0x80, {0x11, 0x04, 0x10, 0x21, 0x04, 0xE8, 0x03}, 5000).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(BuildExtents(volume, rec, 0), (std::vector<FileExtent> {{8 * 0x10, 8 * 4, 0}}));

    // No $DATA, no extents.
    rec = RecordBuilder(44).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_TRUE(BuildExtents(volume, rec, 0).empty());
}

// A small volume whose $MFT is one run at cluster 4 (1 KiB clusters), for
// records that refer to other records.
class AttributeListVolume : public ::testing::Test {
protected:
    static constexpr std::uint64_t kMftByte = 4 * 1024;

    void SetUp() override
    {
        bytes.assign(256 * 1024, 0);
    }

    void Place(std::uint32_t number, const Record& rec)
    {
        std::copy(rec.begin(), rec.end(), bytes.begin() + static_cast<std::ptrdiff_t>(kMftByte + number * 1024));
    }

    void OpenVolume()
    {
        volume.Open(std::make_unique<platform::MemoryDevice>(bytes), "memory");
        volume.m_sectorsPerCluster = 2;
        volume.m_volumeSize = bytes.size() / 512;
        volume.m_mftRuns = {{4, 0, 64}};
    }

    std::vector<std::uint8_t> bytes;
    VolumeScanner volume;
};

TEST_F(AttributeListVolume, MapsReferencesThroughTheMftRuns)
{
    OpenVolume();
    EXPECT_EQ(MapReference(volume, 40), kMftByte + 40 * 1024);
    // The sequence number in the top 16 bits is ignored.
    EXPECT_EQ(MapReference(volume, (std::uint64_t {3} << 48) | 40), kMftByte + 40 * 1024);
    EXPECT_EQ(MapReference(volume, 64), 0u);  // past the last run
    volume.m_mftRuns.clear();
    EXPECT_EQ(MapReference(volume, 40), 0u);
}

TEST_F(AttributeListVolume, FollowsTheListToOtherRecords)
{
    // The data of file 41 lies in its extension records 50 (runs from
    // cluster 0 on) and 51 (from cluster 3 on).
    Place(50, RecordBuilder(50).ExtensionOf(41).NonResident(0x80, {0x11, 0x03, 0x20}, 3000).Finish());
    Place(51, RecordBuilder(51).ExtensionOf(41).NonResident(0x80, {0x11, 0x02, 0x40}, 0, 0, 0, 0, 0, 3).Finish());
    Place(52, RecordBuilder(52).ExtensionOf(42).Resident(0x80, std::vector<std::uint8_t>(77)).Finish());
    OpenVolume();

    Record rec = RecordBuilder(41).AttributeList({{0x30, 41}, {0x80, 50}, {0x80, 51, 3}}).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(FileSize(volume, rec), 3000u);
    EXPECT_EQ(BuildExtents(volume, rec, 0), (std::vector<FileExtent> {{2 * 0x20, 6, 0}, {2 * 0x40, 4, 0}}));

    // Resident data in another record: the extent is that record.
    rec = RecordBuilder(42).AttributeList({{0x80, 52}}).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(FileSize(volume, rec), 77u);
    EXPECT_EQ(BuildExtents(volume, rec, 0), (std::vector<FileExtent> {{(kMftByte + 52 * 1024) / 512, 2, 1}}));

    // A reference to a record that is no record gives nothing.
    rec = RecordBuilder(43).AttributeList({{0x80, 60}}).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(rec));
    EXPECT_EQ(FileSize(volume, rec), 0u);
    EXPECT_TRUE(BuildExtents(volume, rec, 0).empty());
}

TEST_F(AttributeListVolume, ListsKeptOutsideTheRecordAndNamesInExtensionRecords)
{
    // File 41's name is in extension record 50, its data in 51, and its
    // attribute list, too long for the record, in cluster 100.
    Record nameRecord = RecordBuilder(50).FileName(u"big file.bin", 5, 3).Finish();
    testing_ntfs::Put64(&nameRecord[0x20], 41);  // base record
    Place(50, nameRecord);
    Record dataRecord = RecordBuilder(51).NonResident(0x80, {0x11, 0x03, 0x20}, 3000).Finish();
    testing_ntfs::Put64(&dataRecord[0x20], 41);
    Place(51, dataRecord);
    std::vector<std::uint8_t> list(0x40);
    testing_ntfs::Put32(&list[0x00], 0x30);
    Put16(&list[0x04], 0x20);
    testing_ntfs::Put64(&list[0x10], 50);
    testing_ntfs::Put32(&list[0x20], 0x80);
    Put16(&list[0x24], 0x20);
    testing_ntfs::Put64(&list[0x30], 51);
    std::copy(list.begin(), list.end(), bytes.begin() + 100 * 1024);
    OpenVolume();

    Record base = RecordBuilder(41).NonResident(0x20, {0x11, 0x01, 0x64}, list.size()).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(base));
    FileNameInfo name;
    ASSERT_TRUE(FindFileName(volume, base, name));
    EXPECT_EQ(name.name, u"big file.bin");
    EXPECT_EQ(FileSize(volume, base), 3000u);
    EXPECT_EQ(BuildExtents(volume, base, 0), (std::vector<FileExtent> {{2 * 0x20, 6, 0}}));
    EXPECT_EQ(BaseRecordReference(base), 0u);
    ASSERT_TRUE(ValidateAndFixRecord(nameRecord));
    EXPECT_EQ(BaseRecordReference(nameRecord), 41u);

    // A name record that belongs to another file is not taken.
    Record stranger = RecordBuilder(42).NonResident(0x20, {0x11, 0x01, 0x64}, list.size()).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(stranger));
    EXPECT_FALSE(FindFileName(volume, stranger, name));

    // An absurd list size is not read.
    Record huge = RecordBuilder(43).NonResident(0x20, {0x11, 0x01, 0x64}, 1ULL << 40).Finish();
    ASSERT_TRUE(ValidateAndFixRecord(huge));
    EXPECT_EQ(FileSize(volume, huge), 0u);
}
