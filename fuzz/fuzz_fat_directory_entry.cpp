// Decodes the input as a FAT32 folder's entries, as the walk does: short
// entries, their 8.3 names, runs of long-name entries joined before them,
// and whether each entry looks like one.
#include "fat/DirectoryEntry.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kEntry = scan::kDirectoryEntryBytes;
    const scan::ByteView folder(data, std::min<std::size_t>(size, 65536));
    std::size_t lfnStart = folder.Size();
    for (std::size_t at = 0; at + kEntry <= folder.Size(); at += kEntry) {
        const scan::ByteView e = folder.Sub(at, kEntry);
        (void)scan::PlausibleEntry(e);
        if (e.U8(11) == scan::kFatLongNameAttributes) {
            (void)scan::DecodeLongNameEntry(e);
            lfnStart = std::min(lfnStart, at);
            continue;
        }
        const scan::ShortEntry entry = scan::DecodeShortEntry(e);
        const std::u16string name = lfnStart < at ? scan::JoinLongName(folder.Sub(lfnStart, at - lfnStart), 259)
                                                  : scan::ShortName(entry);
        // An 8.3 name has at most 12 characters; a long name is cut at 259.
        if (name.size() > 259 || (lfnStart >= at && name.size() > 12))
            __builtin_trap();
        (void)scan::DosTimeToFileTime(entry.modified);
        lfnStart = folder.Size();
    }
    return 0;
}
