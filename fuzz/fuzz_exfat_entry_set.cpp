// Decodes the input as an exFAT folder's entries, an entry set at every
// entry that begins one: its name is never longer than its stream says, nor
// than the name entries the bytes hold.
#include "fat/ExfatEntrySet.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const scan::ByteView folder(data, std::min<std::size_t>(size, 65536));
    for (std::size_t at = 0; at + 32 <= folder.Size(); at += 32) {
        if (!scan::BeginsEntrySet(folder, at))
            continue;
        const scan::ExfatEntrySet set = scan::DecodeExfatEntrySet(folder, at);
        const std::size_t room = folder.Size() > at + 64 ? (folder.Size() - at - 64) / 32 * 15 : 0;
        if (set.name.size() > folder.U8(at + 35) || set.name.size() > room)
            __builtin_trap();
    }
    return 0;
}
