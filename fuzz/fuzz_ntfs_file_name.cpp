// Decodes a $FILE_NAME attribute from the input: the name never runs past
// the attribute's own length, wherever its value offset points.
#include "ntfs/FileNameAttribute.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const scan::ByteView attribute(data, std::min<std::size_t>(size, 4096));
    const scan::FileNameInfo info = scan::DecodeFileName(attribute);
    const std::size_t length = std::min<std::size_t>(attribute.U16(0x04), attribute.Size());
    const std::size_t valueOffset = attribute.U16(0x14);
    if (info.name.size() > 255 || (!info.name.empty() && valueOffset + 0x42 + 2 * info.name.size() > length))
        __builtin_trap();
    if (info.nameSpace != scan::FileNameSpace(attribute))
        __builtin_trap();
    const scan::FileNameInfo value = scan::DecodeFileNameValue(attribute);
    if (value.name.size() > 255)
        __builtin_trap();
    return 0;
}
