#include "fat/DirectoryEntry.h"

#include "platform/Time.h"

#include <cstring>

namespace scan {
namespace {

// Windows keeps an all-lower-case name as 8.3 with flags in byte 12. 8.3
// names are in the OEM code page; code page 850 is taken for bytes 0x80 and
// up.
constexpr char16_t kCodePage850[128] = {0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, 0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0};

// Where the 13 characters of a long-name entry lie.
constexpr std::size_t kLongNameChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

}  // namespace

ShortEntry DecodeShortEntry(ByteView e)
{
    ShortEntry entry;
    for (std::size_t i = 0; i < entry.name.size(); ++i)
        entry.name[i] = e.U8(i);
    entry.attributes = e.U8(11);
    entry.caseFlags = e.U8(12);
    entry.created = std::uint32_t {e.U16(16)} << 16 | e.U16(14);
    entry.accessed = std::uint32_t {e.U16(18)} << 16;
    entry.highCluster = e.U16(20);
    entry.modified = std::uint32_t {e.U16(24)} << 16 | e.U16(22);
    entry.lowCluster = e.U16(26);
    entry.size = e.U32(28);
    return entry;
}

std::u16string ShortName(const ShortEntry& e)
{
    const auto letter = [](std::uint8_t c, bool lower) -> char16_t {
        char16_t ch = c < 0x80 ? char16_t {c} : kCodePage850[c - 0x80];
        const bool upper = (ch >= u'A' && ch <= u'Z') || (ch >= 0xC0 && ch <= 0xDE && ch != 0xD7);
        return lower && upper ? static_cast<char16_t>(ch + 0x20) : ch;
    };
    const bool lowerName = (e.caseFlags & 0x08) != 0;
    const bool lowerExtension = (e.caseFlags & 0x10) != 0;
    std::u16string name;
    const std::uint8_t first = e.name[0];
    name.push_back(first == 0xE5 ? u'#' : first == 0x05 ? letter(0xE5, lowerName) : letter(first, lowerName));
    for (std::size_t i = 1; i < 8 && e.name[i] != ' '; ++i)
        name.push_back(letter(e.name[i], lowerName));
    if (e.name[8] != ' ') {
        name.push_back(u'.');
        for (std::size_t i = 8; i < 11 && e.name[i] != ' '; ++i)
            name.push_back(letter(e.name[i], lowerExtension));
    }
    return name;
}

LongNameEntry DecodeLongNameEntry(ByteView e)
{
    LongNameEntry entry;
    entry.order = e.U8(0);
    entry.checksum = e.U8(13);
    for (std::size_t i = 0; i < entry.chars.size(); ++i)
        entry.chars[i] = static_cast<char16_t>(e.U16(kLongNameChars[i]));
    return entry;
}

std::u16string JoinLongName(ByteView entries, std::size_t maxChars)
{
    std::u16string name;
    for (std::size_t l = entries.Size() / kDirectoryEntryBytes; l > 0 && name.size() < maxChars; --l) {
        const LongNameEntry entry = DecodeLongNameEntry(entries.Sub((l - 1) * kDirectoryEntryBytes, kDirectoryEntryBytes));
        for (const char16_t ch : entry.chars) {
            if (ch == 0)
                return name;
            if (name.size() < maxChars)
                name.push_back(ch);
        }
    }
    return name;
}

bool PlausibleEntry(ByteView e)
{
    const std::uint8_t attributes = e.U8(11);
    if (attributes == kFatLongNameAttributes)
        return e.U8(12) == 0 && e.U16(26) == 0 && (e.U8(0) & 0x1F) != 0;
    if ((attributes & 0xC0) != 0 || e.U8(0) == ' ')
        return false;
    for (std::size_t i = 0; i < 11; ++i) {
        const std::uint8_t c = e.U8(i);
        if (i == 0 && (c == 0xE5 || c == 0x05))
            continue;
        if (c < 0x20 || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr)
            return false;
    }
    return true;
}

std::uint64_t DosTimeToFileTime(std::uint32_t dateTime)
{
    const std::uint32_t date = dateTime >> 16;
    const std::uint32_t time = dateTime & 0xFFFF;
    platform::LocalTime t;
    t.year = 1980 + static_cast<int>(date >> 9);
    t.month = static_cast<int>((date >> 5) & 0x0F);
    t.day = static_cast<int>(date & 0x1F);
    t.hour = static_cast<int>(time >> 11);
    t.minute = static_cast<int>((time >> 5) & 0x3F);
    t.second = static_cast<int>(2 * (time & 0x1F));
    if (date == 0 || t.month == 0 || t.day == 0 || t.second > 59)
        return 0;
    return platform::LocalToUtcFileTime(t);
}

}  // namespace scan
