#include "fat/ExfatEntrySet.h"

namespace scan {
namespace {

constexpr std::size_t kEntry = 32;
constexpr std::size_t kStream = 32;  // the Stream Extension follows the File entry

}  // namespace

bool BeginsEntrySet(ByteView folder, std::size_t at)
{
    return (folder.U8(at) & 0x05) == 0x05;
}

ExfatEntrySet DecodeExfatEntrySet(ByteView folder, std::size_t at)
{
    const ByteView set = folder.Sub(at, 2 * kEntry);
    ExfatEntrySet s;
    s.deleted = (set.U8(0) & 0x80) == 0;
    s.attributes = set.U16(4);
    s.created = set.U32(8);
    s.modified = set.U32(12);
    s.accessed = set.U32(16);
    s.flags = set.U8(kStream + 1);
    const std::size_t nameLength = set.U8(kStream + 3);
    s.validLength = set.U64(kStream + 8);
    s.firstCluster = set.U32(kStream + 20);
    s.dataLength = set.U64(kStream + 24);
    for (std::size_t e = at + 2 * kEntry; e + kEntry <= folder.Size() && s.name.size() < nameLength; e += kEntry) {
        const std::uint8_t type = folder.U8(e);
        if (type != 0xC1 && type != 0x41)
            break;
        for (std::size_t k = 0; k < 15 && s.name.size() < nameLength; ++k)
            s.name.push_back(static_cast<char16_t>(folder.U16(e + 2 + 2 * k)));
    }
    const std::size_t nul = s.name.find(u'\0');
    if (nul != std::u16string::npos)
        s.name.resize(nul);
    return s;
}

}  // namespace scan
