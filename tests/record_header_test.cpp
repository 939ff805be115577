#include "NtfsBuilder.h"

#include "ntfs/RecordHeader.h"

#include <gtest/gtest.h>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put64;
using testing_ntfs::RecordBuilder;
using testing_ntfs::View;

TEST(RecordHeader, DecodesTheFieldsOfRecordsOfEverySize)
{
    for (const std::size_t size : {1024u, 2048u, 4096u}) {
        auto record = RecordBuilder(41, RecordBuilder::kInUse | RecordBuilder::kFolder, size)
                          .FileName(u"a", 5, 1)
                          .ExtensionOf(0x0003000000000017ULL)
                          .Finish();
        Put16(&record[0x10], 3);
        const RecordHeader h = DecodeRecordHeader(View(record));
        EXPECT_TRUE(h.HasSignature());
        EXPECT_EQ(h.updateSequenceOffset, 0x30);
        EXPECT_EQ(h.updateSequenceCount, size / 512 + 1);
        EXPECT_EQ(h.SizeFromUpdateSequence(), size);
        EXPECT_EQ(h.sequenceNumber, 3);
        EXPECT_EQ(h.firstAttribute, (0x30 + 2 * (size / 512 + 1) + 7) & ~std::size_t {7});
        EXPECT_TRUE(h.InUse());
        EXPECT_TRUE(h.Folder());
        EXPECT_EQ(h.bytesAllocated, size);
        EXPECT_EQ(h.baseReference, 0x0003000000000017ULL);
        EXPECT_EQ(h.number, 41u);
    }
}

TEST(RecordHeader, ShortOrDamagedHeaders)
{
    auto record = RecordBuilder(7, 0).Finish();
    // A free record of no folder.
    RecordHeader h = DecodeRecordHeader(View(record));
    EXPECT_FALSE(h.InUse());
    EXPECT_FALSE(h.Folder());
    // Update sequences of no size NTFS uses: none, one word, 3 sectors, 16.
    for (const int count : {0, 1, 4, 17}) {
        Put16(&record[0x06], static_cast<std::uint16_t>(count));
        EXPECT_EQ(DecodeRecordHeader(View(record)).SizeFromUpdateSequence(), 0u) << count;
    }
    // Bytes cut inside the header read as zeros past their end.
    const RecordHeader cut = DecodeRecordHeader(ByteView(record.data(), 0x12));
    EXPECT_TRUE(cut.HasSignature());
    EXPECT_EQ(cut.flags, 0);
    EXPECT_EQ(cut.number, 0u);
    EXPECT_FALSE(DecodeRecordHeader(ByteView()).HasSignature());
    Put64(&record[0], 0);
    EXPECT_FALSE(DecodeRecordHeader(View(record)).HasSignature());
}
