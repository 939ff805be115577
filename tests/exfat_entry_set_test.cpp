#include "NtfsBuilder.h"

#include "fat/ExfatEntrySet.h"

#include <gtest/gtest.h>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;
using testing_ntfs::Put64;

namespace {

// A folder's bytes holding one entry set at 32: a File entry, a Stream
// Extension and the File Name entries `name` needs, then an unused entry.
std::vector<std::uint8_t> FolderWithSet(const std::u16string& name, bool inUse, std::uint16_t attributes,
                                        std::size_t declaredLength)
{
    const std::size_t nameEntries = (name.size() + 14) / 15;
    std::vector<std::uint8_t> f(32 * (3 + nameEntries + 1));
    std::uint8_t* file = &f[32];
    file[0] = inUse ? 0x85 : 0x05;
    file[1] = static_cast<std::uint8_t>(1 + nameEntries);
    Put16(file + 4, attributes);
    Put32(file + 8, 0x58651234);
    Put32(file + 12, 0x58665678);
    Put32(file + 16, 0x58670000);
    std::uint8_t* stream = &f[64];
    stream[0] = inUse ? 0xC0 : 0x40;
    stream[1] = 0x03;
    stream[3] = static_cast<std::uint8_t>(declaredLength);
    Put64(stream + 8, 5000);
    Put32(stream + 20, 77);
    Put64(stream + 24, 8192);
    for (std::size_t i = 0; i < name.size(); ++i) {
        std::uint8_t* entry = &f[96 + 32 * (i / 15)];
        entry[0] = inUse ? 0xC1 : 0x41;
        Put16(entry + 2 + 2 * (i % 15), name[i]);
    }
    return f;
}

}  // namespace

TEST(ExfatEntrySet, DecodesTheSetAndItsName)
{
    const std::u16string name = u"Wedding album, the second day.zip";  // 33 characters: three name entries
    auto f = FolderWithSet(name, true, 0x20, name.size());
    const ByteView folder(f.data(), f.size());
    EXPECT_FALSE(BeginsEntrySet(folder, 0));
    ASSERT_TRUE(BeginsEntrySet(folder, 32));
    ExfatEntrySet set = DecodeExfatEntrySet(folder, 32);
    EXPECT_FALSE(set.deleted);
    EXPECT_FALSE(set.Folder());
    EXPECT_TRUE(set.Contiguous());
    EXPECT_EQ(set.created, 0x58651234u);
    EXPECT_EQ(set.modified, 0x58665678u);
    EXPECT_EQ(set.accessed, 0x58670000u);
    EXPECT_EQ(set.firstCluster, 77u);
    EXPECT_EQ(set.validLength, 5000u);
    EXPECT_EQ(set.dataLength, 8192u);
    EXPECT_EQ(set.name, name);

    // Deleted, a folder; the name as long as the stream says, cut at a NUL.
    f = FolderWithSet(u"DCIM", false, 0x10, 3);
    set = DecodeExfatEntrySet(ByteView(f.data(), f.size()), 32);
    EXPECT_TRUE(set.deleted);
    EXPECT_TRUE(set.Folder());
    EXPECT_EQ(set.name, u"DCI");
    f = FolderWithSet(u"ab", true, 0x20, 10);
    EXPECT_EQ(DecodeExfatEntrySet(ByteView(f.data(), f.size()), 32).name, u"ab");
}

TEST(ExfatEntrySet, NameEntriesEndAtAnotherTypeOrTheFolderEnd)
{
    const std::u16string name = u"0123456789abcdefghij";  // two name entries
    auto f = FolderWithSet(name, true, 0x20, name.size());
    f[128] = 0x85;  // the second name entry is another file's entry now
    EXPECT_EQ(DecodeExfatEntrySet(ByteView(f.data(), f.size()), 32).name, name.substr(0, 15));
    f = FolderWithSet(name, true, 0x20, name.size());
    EXPECT_EQ(DecodeExfatEntrySet(ByteView(f.data(), 128), 32).name, name.substr(0, 15));
    // A set at the very end of the bytes has no stream and no name.
    const ExfatEntrySet cut = DecodeExfatEntrySet(ByteView(f.data(), 48), 32);
    EXPECT_EQ(cut.firstCluster, 0u);
    EXPECT_TRUE(cut.name.empty());
}
