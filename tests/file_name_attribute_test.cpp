#include "NtfsBuilder.h"

#include "ntfs/FileNameAttribute.h"

#include <gtest/gtest.h>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;
using testing_ntfs::Put64;

namespace {

// A resident $FILE_NAME attribute whose value begins at `valueOffset`.
std::vector<std::uint8_t> FileNameAttribute(const std::u16string& name, std::size_t valueOffset,
                                            std::uint8_t nameSpace = 1)
{
    std::vector<std::uint8_t> a(valueOffset + 0x42 + 2 * name.size());
    Put32(&a[0], 0x30);
    Put32(&a[4], static_cast<std::uint32_t>(a.size()));
    Put32(&a[0x10], static_cast<std::uint32_t>(0x42 + 2 * name.size()));
    Put16(&a[0x14], static_cast<std::uint16_t>(valueOffset));
    std::uint8_t* v = &a[valueOffset];
    Put64(v, 0x0002000000000123ULL);  // parent 0x123, sequence 2
    Put64(v + 0x08, 111);
    Put64(v + 0x10, 222);
    Put64(v + 0x20, 333);
    v[0x40] = static_cast<std::uint8_t>(name.size());
    v[0x41] = nameSpace;
    for (std::size_t i = 0; i < name.size(); ++i)
        Put16(v + 0x42 + 2 * i, name[i]);
    return a;
}

}  // namespace

TEST(FileNameAttribute, ReadsTheValueWhereTheHeaderPutsIt)
{
    for (const std::size_t offset : {0x18u, 0x20u, 0x48u}) {
        const auto a = FileNameAttribute(u"Quarterly report.docx", offset, 3);
        const FileNameInfo info = DecodeFileName(ByteView(a.data(), a.size()));
        EXPECT_EQ(info.name, u"Quarterly report.docx") << offset;
        EXPECT_EQ(info.parent, 0x123u);
        EXPECT_EQ(info.nameSpace, 3);
        EXPECT_EQ(info.created, 111u);
        EXPECT_EQ(info.modified, 222u);
        EXPECT_EQ(info.accessed, 333u);
        EXPECT_EQ(FileNameSpace(ByteView(a.data(), a.size())), 3);
    }
}

TEST(FileNameAttribute, TheNameStaysInsideTheAttribute)
{
    auto a = FileNameAttribute(u"photo.jpg", 0x18);
    // The attribute's length says it ends 6 characters into the name; the
    // bytes after it belong to the next attribute.
    Put32(&a[4], 0x18 + 0x42 + 2 * 6);
    EXPECT_EQ(DecodeFileName(ByteView(a.data(), a.size())).name, u"photo.");
    // A view cut shorter still.
    EXPECT_EQ(DecodeFileName(ByteView(a.data(), 0x18 + 0x42 + 2 * 2)).name, u"ph");
    // A value offset past the attribute's end gives nothing.
    Put16(&a[0x14], 0x200);
    const FileNameInfo none = DecodeFileName(ByteView(a.data(), a.size()));
    EXPECT_TRUE(none.name.empty());
    EXPECT_EQ(none.parent, 0u);
    // The value alone, as a record whose attribute header was written over
    // keeps it.
    a = FileNameAttribute(u"notes.txt", 0x18);
    EXPECT_EQ(DecodeFileNameValue(ByteView(a.data() + 0x18, a.size() - 0x18)).name, u"notes.txt");
}
