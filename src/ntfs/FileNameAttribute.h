// The $FILE_NAME attribute: a file's name in one of its namespaces, the
// record of the folder it is in, and the times NTFS copies there. Always
// resident: its value lies where the attribute header's value offset says.
#pragma once

#include "base/ByteView.h"

#include <cstdint>
#include <string>

namespace scan {

struct FileNameInfo {
    std::u16string name;
    std::uint32_t parent = 0;  // low 32 bits of the parent reference
    std::uint8_t nameSpace = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    std::uint64_t created = 0;   // FILETIMEs
    std::uint64_t modified = 0;
    std::uint64_t accessed = 0;
};

// The value of a $FILE_NAME attribute. The name goes no further than the
// bytes given.
FileNameInfo DecodeFileNameValue(ByteView value);
// A whole $FILE_NAME attribute: its value through the header's value
// offset, no further than the attribute's own length.
FileNameInfo DecodeFileName(ByteView attribute);
// Only the namespace of a $FILE_NAME attribute (bit 0 set: a Win32 name).
std::uint8_t FileNameSpace(ByteView attribute);

}  // namespace scan
