#include "ntfs/FileNameAttribute.h"

#include <algorithm>

namespace scan {
namespace {

constexpr std::size_t kNameOffset = 0x42;

// The attribute's value, cut at the attribute's length.
ByteView Value(ByteView attribute)
{
    const std::size_t length = std::min<std::size_t>(attribute.U16(0x04), attribute.Size());
    const std::size_t offset = attribute.U16(0x14);
    return offset < length ? attribute.Sub(offset, length - offset) : ByteView {};
}

}  // namespace

FileNameInfo DecodeFileNameValue(ByteView v)
{
    FileNameInfo info;
    info.parent = v.U32(0x00);
    info.created = v.U64(0x08);
    info.modified = v.U64(0x10);
    info.accessed = v.U64(0x20);
    info.nameSpace = v.U8(0x41);
    const std::size_t room = v.Size() > kNameOffset ? (v.Size() - kNameOffset) / 2 : 0;
    const std::size_t chars = std::min<std::size_t>(v.U8(0x40), room);
    info.name.reserve(chars);
    for (std::size_t i = 0; i < chars; ++i)
        info.name.push_back(static_cast<char16_t>(v.U16(kNameOffset + 2 * i)));
    return info;
}

FileNameInfo DecodeFileName(ByteView attribute)
{
    return DecodeFileNameValue(Value(attribute));
}

std::uint8_t FileNameSpace(ByteView attribute)
{
    return Value(attribute).U8(0x41);
}

}  // namespace scan
