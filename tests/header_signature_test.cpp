#include "filetypes/HeaderSignature.h"

#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <string_view>

using filetypes::HeaderScore;

namespace {

// 64 bytes beginning with `head`, the rest 0xEE.
std::array<std::uint8_t, 64> Bytes(std::initializer_list<int> head)
{
    std::array<std::uint8_t, 64> b {};
    b.fill(0xEE);
    std::size_t i = 0;
    for (const int v : head)
        b[i++] = static_cast<std::uint8_t>(v);
    return b;
}

std::int32_t Score(const char* ext, std::initializer_list<int> head)
{
    const auto b = Bytes(head);
    return HeaderScore(ext, b.data(), b.size());
}

}  // namespace

TEST(HeaderScore, WrittenRows)
{
    EXPECT_EQ(Score("jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}), 5);
    EXPECT_EQ(Score("jpg", {0xFF, 0xD8, 0xFF, 0xE1}), 3);
    EXPECT_EQ(Score("jpg", {0x89, 0x50, 0x4E, 0x47}), 4);
    EXPECT_EQ(Score("JPG", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}), 5);
    EXPECT_EQ(Score("Jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}), 0);

    EXPECT_EQ(Score("png", {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}), 8);
    EXPECT_EQ(Score("png", {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A}), 6);

    EXPECT_EQ(Score("avi", {'R', 'I', 'F', 'F'}), 4);
    EXPECT_EQ(Score("ANI", {'R', 'I', 'F', 'F'}), 4);
    EXPECT_EQ(Score("wav", {'R', 'I', 'F', 'F'}), 4);
    EXPECT_EQ(Score("wav", {'W', 'A', 'V', 'E', 'f', 'm', 't'}), 7);

    // Any byte at position 3; mp4 needs all twelve.
    EXPECT_EQ(Score("3gp", {0, 0, 0, 0x18, 'f', 't', 'y', 'p'}), 8);
    EXPECT_EQ(Score("3gp", {0, 0, 0, 0x99, 'f', 't', 'y', 'p'}), 8);
    EXPECT_EQ(Score("mp4", {0, 0, 0, 0x18, 'f', 't', 'y', 'p', '3', 'g', 'p', '5'}), 12);
    EXPECT_EQ(Score("mp4", {0, 0, 0, 0x18, 'f', 't', 'y', 'p', '3', 'g', 'p', '4'}), 0);

    EXPECT_EQ(Score("exe", {'M', 'Z'}), 2);
    EXPECT_EQ(Score("EXE", {'M', 'Z'}), 2);
    EXPECT_EQ(Score("API", {'M', 'Z'}), 0);
    EXPECT_EQ(Score("API", {'M', 'Z', 0x90, 0, 3, 0, 0, 0}), 8);

    // The three written scores that are not the length.
    EXPECT_EQ(Score("TIFF", {0x49, 0x20, 0x49}), 4);
    EXPECT_EQ(Score("tif", {0x49, 0x20, 0x49}), 3);
    EXPECT_EQ(Score("vob", {0, 0, 1, 0xBA}), 3);
    EXPECT_EQ(Score("mpg", {0, 0, 1, 0xBA}), 4);
    EXPECT_EQ(Score("wks", {0x20, 0x00, 0x60, 0x40, 0x60}), 4);

    // Ranges.
    EXPECT_EQ(Score("mp3", {0xFF, 0xFA}), 2);
    EXPECT_EQ(Score("mp3", {0xFF, 0xFB}), 2);
    EXPECT_EQ(Score("mp3", {0xFF, 0xFC}), 0);
    EXPECT_EQ(Score("arc", {0x1A, 0x03}), 2);
    EXPECT_EQ(Score("arc", {0x1A, 0x05}), 0);

    // The longest signature, 56 bytes, needs them all.
    const char* console = "<?xml version=\"1.0\"?>\r\n<MMC_ConsoleFile ConsoleVersion=\"";
    std::array<std::uint8_t, 64> msc {};
    for (std::size_t i = 0; i < 56; ++i)
        msc[i] = static_cast<std::uint8_t>(console[i]);
    EXPECT_EQ(HeaderScore("msc", msc.data(), msc.size()), 56);
    msc[55] = 'x';
    EXPECT_EQ(HeaderScore("msc", msc.data(), msc.size()), 3);
    EXPECT_EQ(HeaderScore("msc", msc.data(), 40), 3);  // too few bytes for the long one

    EXPECT_EQ(Score("pdf", {'%', 'P', 'D', 'F', '-', '1', '.'}), 7);
    EXPECT_EQ(Score("docx", {'P', 'K', 3, 4, 0x14, 0, 6, 0}), 8);
    EXPECT_EQ(Score("docx", {'P', 'K', 3, 4, 0x0A}), 4);
}

TEST(HeaderScore, NoScore)
{
    EXPECT_EQ(Score("HDR", {0xFF, 0xD8, 0xFF}), 0);
    EXPECT_EQ(Score("dsp", {0, 0, 0, 0}), 0);
    EXPECT_EQ(Score("xyz", {0xFF, 0xD8, 0xFF}), 0);
    EXPECT_EQ(Score("", {0xFF, 0xD8, 0xFF}), 0);
    // the FAT32 start search reads nothing for these
    EXPECT_FALSE(filetypes::HasHeaderSignature("xyz"));
    EXPECT_FALSE(filetypes::HasHeaderSignature(""));
    EXPECT_FALSE(filetypes::HasHeaderSignature("JPg"));
    EXPECT_TRUE(filetypes::HasHeaderSignature("jpg"));
    EXPECT_TRUE(filetypes::HasHeaderSignature("JPG"));
}

namespace {

// 64 bytes holding `text` at `offset`, the rest 0xEE.
std::int32_t ScoreText(const char* ext, std::string_view text, std::size_t offset = 0)
{
    std::array<std::uint8_t, 64> b {};
    b.fill(0xEE);
    for (std::size_t i = 0; i < text.size(); ++i)
        b[offset + i] = static_cast<std::uint8_t>(text[i]);
    return HeaderScore(ext, b.data(), b.size());
}

}  // namespace

TEST(HeaderScore, EveryListedExtensionIsAKey)
{
    EXPECT_EQ(filetypes::HeaderSignatureKeyCount(), 355u);
}

TEST(HeaderScore, PublishedSignatures)
{
    // Prefixes score their own length; the longer signature wins.
    EXPECT_EQ(ScoreText("accdb", std::string_view("\0\1\0\0Standard ACE DB", 19)), 19);
    EXPECT_EQ(ScoreText("mny", std::string_view("\0\1\0\0MSISAM Database", 19)), 19);
    EXPECT_EQ(ScoreText("sav", "$FL2@(#) SPSS DATA FILE"), 23);
    EXPECT_EQ(ScoreText("sav", "$FL2"), 4);
    EXPECT_EQ(ScoreText("abi", "AOLINDEX"), 8);
    EXPECT_EQ(ScoreText("abi", "AOLDB"), 3);
    EXPECT_EQ(ScoreText("hqx", "(This file must be converted with BinHex 4.0)"), 41);
    EXPECT_EQ(ScoreText("db", std::string_view("SQLite format 3\0", 16)), 16);
    EXPECT_EQ(ScoreText("elf", "\x7F" "ELF"), 4);
    EXPECT_EQ(ScoreText("vcf", "BEGIN:VCARD\r\nVERSION:3.0"), 13);
    EXPECT_EQ(Score("123", {0, 0, 0x1A, 0, 5, 0x10, 4}), 7);
    EXPECT_EQ(Score("wk4", {0, 0, 0x1A, 0, 2, 0x10, 4, 0}), 8);
    EXPECT_EQ(Score("wk3", {0, 0, 0x1A, 0, 2, 0x10, 4, 0}), 0);

    // Case variants are their own keys; the bzip2 row names TAR in capitals only.
    EXPECT_EQ(ScoreText("TAR", "BZh91AY"), 3);
    EXPECT_EQ(ScoreText("tar", "BZh91AY"), 0);
    EXPECT_EQ(ScoreText("tar", "\x1F\x8B"), 2);
    EXPECT_EQ(ScoreText("EPS", "\xC5\xD0\xD3\xC6"), 4);
    EXPECT_EQ(ScoreText("eps", "\xC5\xD0\xD3\xC6"), 0);

    // Signatures that sit past offset 0 carry any-byte positions in front.
    EXPECT_EQ(ScoreText("lzh", "\x24\x55-lh5-"), 5);
    EXPECT_EQ(ScoreText("lzh", "-lh5-"), 0);
    EXPECT_EQ(ScoreText("qt", "ftypqt  ", 4), 12);
    EXPECT_EQ(ScoreText("qt", "moov", 4), 8);
    EXPECT_EQ(Score("fli", {0x00, 0x10, 0x02, 0x00, 0x11, 0xAF}), 6);  // the FLIC magic after the file size
    EXPECT_EQ(ScoreText("wb3", std::string_view("\x3E\0\3\0\xFE\xFF\x09\0\x06", 9), 24), 33);
    EXPECT_EQ(ScoreText("enl", std::string_view("@@@ \0\0@@@@", 10), 32), 42);

    // Ranges: a PCX header is 0A, version 0-5, encoding 0-1, 1-8 bits per pixel.
    EXPECT_EQ(Score("pcx", {0x0A, 5, 1, 8}), 4);
    EXPECT_EQ(Score("pcx", {0x0A, 6, 1, 8}), 0);

    // Formats with no fixed header never score.
    EXPECT_EQ(ScoreText("tga", "\0\0\2\0\0"), 0);
    EXPECT_EQ(ScoreText("ISO", "CD001"), 0);
}
