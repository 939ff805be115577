// An exFAT file's entry set: a File entry (type 0x85, 0x05 once deleted)
// with its attributes and times, a Stream Extension with the first cluster,
// the sizes and whether the clusters follow one another, then File Name
// entries of 15 UTF-16 characters each.
#pragma once

#include "base/ByteView.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {

constexpr std::uint8_t kExfatBitmapEntry = 0x81;

struct ExfatEntrySet {
    bool deleted = false;        // the File entry's in-use bit (0x80) is clear
    std::uint16_t attributes = 0;  // 0x10 a folder
    // DOS date-times, the date in the high 16 bits.
    std::uint32_t created = 0;
    std::uint32_t modified = 0;
    std::uint32_t accessed = 0;
    std::uint8_t flags = 0;      // bit 0 allocation possible, bit 1 no FAT chain (contiguous)
    std::uint32_t firstCluster = 0;
    std::uint64_t validLength = 0;  // the file's size as the scans take it
    std::uint64_t dataLength = 0;   // bytes allocated (a folder's length)
    std::u16string name;         // up to its name length, cut at a NUL

    bool Folder() const { return (attributes & 0x10) != 0; }
    bool Contiguous() const { return (flags & 2) != 0; }
};

// Whether the entry at `at` of a folder's bytes begins a file's entry set
// (a File entry, in use or deleted).
bool BeginsEntrySet(ByteView folder, std::size_t at);
// Decodes the set that begins at `at`: the File and Stream Extension entries
// there and the File Name entries after them (types 0xC1, or 0x41 once
// deleted), as far as the folder's bytes go.
ExfatEntrySet DecodeExfatEntrySet(ByteView folder, std::size_t at);

}  // namespace scan
