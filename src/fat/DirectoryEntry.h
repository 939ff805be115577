// The 32-byte entries of a FAT32 folder: short (8.3) entries, which hold a
// file's start cluster, size, attributes and times, and the long-name
// entries that stand before one, in reverse order, 13 UTF-16 characters
// each. A deleted entry has 0xE5 in place of its first name byte and keeps
// only the low half of its start cluster.
#pragma once

#include "base/ByteView.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {

constexpr std::size_t kDirectoryEntryBytes = 32;
constexpr std::uint8_t kFatLongNameAttributes = 0x0F;
constexpr std::uint8_t kFatFolderAttribute = 0x10;
constexpr std::uint8_t kFatDeletedMark = 0xE5;

struct ShortEntry {
    std::array<std::uint8_t, 11> name {};  // as stored: 8 name bytes, 3 of the extension, space-padded
    std::uint8_t attributes = 0;
    std::uint8_t caseFlags = 0;            // 0x08 the name, 0x10 the extension kept in lower case
    std::uint16_t highCluster = 0;         // 0 in a deleted entry, as far as it can be trusted
    std::uint16_t lowCluster = 0;
    std::uint32_t size = 0;
    // DOS date-times, the date in the high 16 bits; the access has no time.
    std::uint32_t created = 0;
    std::uint32_t modified = 0;
    std::uint32_t accessed = 0;

    bool EndMark() const { return name[0] == 0; }
    bool Deleted() const { return name[0] == kFatDeletedMark; }
    bool LongName() const { return attributes == kFatLongNameAttributes; }
    bool Folder() const { return (attributes & kFatFolderAttribute) != 0; }
    std::uint32_t FirstCluster() const { return std::uint32_t {highCluster} << 16 | lowCluster; }
};
// Fields past the end of `entry` read as 0.
ShortEntry DecodeShortEntry(ByteView entry);

// The 8.3 name as it is shown: the first byte (a deleted entry's 0xE5 as
// "#"), the name up to a space, and "." with the extension up to a space,
// each in lower case where the case flags say so. The bytes are taken in
// code page 850 (Western Europe).
std::u16string ShortName(const ShortEntry& entry);

struct LongNameEntry {
    std::uint8_t order = 0;      // 1 for the entry nearest the short entry; bit 0x40 on the last
    std::uint8_t checksum = 0;   // of the short entry's 11 name bytes
    std::array<char16_t, 13> chars {};
};
LongNameEntry DecodeLongNameEntry(ByteView entry);

// The long name that the long-name entries `entries` (all of them, in the
// order they stand before the short entry) spell: their characters from the
// last entry to the first, up to the first NUL, at most `maxChars`.
std::u16string JoinLongName(ByteView entries, std::size_t maxChars);

// Whether 32 bytes can be a directory entry: a long-name entry with its
// fixed fields, or a short entry whose name holds no character FAT forbids
// and whose attributes are defined ones.
bool PlausibleEntry(ByteView entry);

// The DOS date and time layout of FAT32 and exFAT (date in the high 16 bits)
// as a FILETIME, taken as local time; 0 for an invalid or zero date.
std::uint64_t DosTimeToFileTime(std::uint32_t dateTime);

}  // namespace scan
