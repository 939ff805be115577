#include "NtfsBuilder.h"

#include "fat/DirectoryEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;

namespace {

using Entry = std::array<std::uint8_t, 32>;

Entry Short(const char (&name)[12], std::uint8_t attributes, std::uint32_t cluster, std::uint32_t size)
{
    Entry e {};
    std::memcpy(e.data(), name, 11);
    e[11] = attributes;
    Put16(&e[20], static_cast<std::uint16_t>(cluster >> 16));
    Put16(&e[26], static_cast<std::uint16_t>(cluster));
    Put32(&e[28], size);
    return e;
}

// The long-name entry of `order` holding up to 13 characters of `part`
// (NUL-ended and 0xFFFF-padded when shorter).
Entry Long(std::uint8_t order, const std::u16string& part)
{
    static constexpr std::size_t kAt[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    Entry e {};
    e[0] = order;
    e[11] = 0x0F;
    for (std::size_t i = 0; i < 13; ++i)
        Put16(&e[kAt[i]], i < part.size() ? part[i] : i == part.size() ? 0 : 0xFFFF);
    return e;
}

ByteView View(const Entry& e)
{
    return ByteView(e.data(), e.size());
}

}  // namespace

TEST(FatDirectoryEntry, ShortEntryFieldsAndNames)
{
    Entry e = Short("IMG_4711JPG", 0x20, 0x0012ABCD, 123456);
    Put16(&e[14], 9u << 11);              // created 09:00
    Put16(&e[16], (44u << 9) | 3u << 5 | 5u);  // 2024-03-05
    Put16(&e[18], (44u << 9) | 3u << 5 | 6u);
    Put16(&e[22], 10u << 11);
    Put16(&e[24], (44u << 9) | 3u << 5 | 7u);
    const ShortEntry s = DecodeShortEntry(View(e));
    EXPECT_EQ(s.FirstCluster(), 0x0012ABCDu);
    EXPECT_EQ(s.size, 123456u);
    EXPECT_FALSE(s.Folder());
    EXPECT_FALSE(s.Deleted());
    EXPECT_EQ(s.created, (std::uint32_t {(44u << 9) | 3u << 5 | 5u} << 16) | 9u << 11);
    EXPECT_EQ(s.accessed, std::uint32_t {(44u << 9) | 3u << 5 | 6u} << 16);
    EXPECT_EQ(s.modified, (std::uint32_t {(44u << 9) | 3u << 5 | 7u} << 16) | 10u << 11);
    EXPECT_EQ(ShortName(s), u"IMG_4711.JPG");

    // Lower-case flags, a deleted entry, 0x05 standing for 0xE5, code page
    // 850, a name without an extension, a folder.
    e = Short("README  TXT", 0x20, 5, 1);
    e[12] = 0x18;
    EXPECT_EQ(ShortName(DecodeShortEntry(View(e))), u"readme.txt");
    e[12] = 0x10;
    EXPECT_EQ(ShortName(DecodeShortEntry(View(e))), u"README.txt");
    e[0] = 0xE5;
    EXPECT_TRUE(DecodeShortEntry(View(e)).Deleted());
    EXPECT_EQ(ShortName(DecodeShortEntry(View(e))), u"#EADME.txt");
    e[0] = 0x05;
    EXPECT_EQ(ShortName(DecodeShortEntry(View(e))), u"\u00D5EADME.txt");  // 0xE5 in code page 850
    e = Short("CAF\x90       ", 0x10, 9, 0);
    e[12] = 0x08;
    EXPECT_TRUE(DecodeShortEntry(View(e)).Folder());
    EXPECT_EQ(ShortName(DecodeShortEntry(View(e))), u"caf\u00E9");
    EXPECT_TRUE(DecodeShortEntry(ByteView()).EndMark());
}

TEST(FatDirectoryEntry, LongNamesJoinInReverseOrder)
{
    const std::u16string name = u"Holiday in Lisbon, day two.jpeg";  // 31 characters: three entries
    std::vector<std::uint8_t> run;
    for (std::uint8_t order : {std::uint8_t {0x43}, std::uint8_t {2}, std::uint8_t {1}}) {
        const Entry e = Long(order, name.substr(13 * ((order & 0x1F) - 1), 13));
        run.insert(run.end(), e.begin(), e.end());
    }
    const ByteView entries(run.data(), run.size());
    EXPECT_EQ(JoinLongName(entries, 259), name);
    EXPECT_EQ(JoinLongName(entries, 20), name.substr(0, 20));
    EXPECT_EQ(JoinLongName(entries.Sub(32, 64), 259), name.substr(0, 26));
    const LongNameEntry last = DecodeLongNameEntry(entries.Sub(0, 32));
    EXPECT_EQ(last.order, 0x43);
    EXPECT_EQ(last.chars[4], u'g');  // ".jpeg"
    EXPECT_EQ(last.chars[5], u'\0');
    EXPECT_TRUE(JoinLongName(ByteView(), 259).empty());
}

TEST(FatDirectoryEntry, PlausibleEntries)
{
    EXPECT_TRUE(PlausibleEntry(View(Short("NOTES   TXT", 0x20, 3, 10))));
    EXPECT_TRUE(PlausibleEntry(View(Long(0x41, u"notes.txt"))));
    Entry e = Short("NOTES   TXT", 0x20, 3, 10);
    e[0] = 0xE5;
    EXPECT_TRUE(PlausibleEntry(View(e)));
    EXPECT_FALSE(PlausibleEntry(View(Short("NO*ES   TXT", 0x20, 3, 10))));  // a character FAT forbids
    EXPECT_FALSE(PlausibleEntry(View(Short(" OTES   TXT", 0x20, 3, 10))));
    EXPECT_FALSE(PlausibleEntry(View(Short("NOTES   TXT", 0x40, 3, 10))));  // an undefined attribute
    e = Short("NOTES   TXT", 0x20, 3, 10);
    e[4] = 0x07;
    EXPECT_FALSE(PlausibleEntry(View(e)));
    e = Long(0x41, u"notes.txt");
    e[26] = 1;  // a long-name entry's cluster field is 0
    EXPECT_FALSE(PlausibleEntry(View(e)));
    e = Long(0x40, u"notes.txt");  // order 0
    EXPECT_FALSE(PlausibleEntry(View(e)));
}

TEST(DosTime, DecodesLocalTimes)
{
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    // 2024-03-05 09:07:02
    const std::uint32_t t = (std::uint32_t {(2024 - 1980) << 9 | 3 << 5 | 5} << 16) | (9u << 11 | 7u << 5 | 1u);
    EXPECT_EQ(DosTimeToFileTime(t), 116444736000000000ULL + 1709629622ULL * 10000000ULL);
    EXPECT_EQ(DosTimeToFileTime(0), 0u);
    EXPECT_GT(DosTimeToFileTime(0x00210000), 0u);  // 1980-01-01 is valid
    EXPECT_EQ(DosTimeToFileTime(0x00200000), 0u);                               // day 0
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
