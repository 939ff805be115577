// The end finders of files found by their content: the first byte picks the
// kind, the second how large the pieces are that the rest is fed in. A
// finder must never say a file is longer than the bytes it was given or
// than its bound, and must end or break once the bytes run out. The names
// read from the same bytes (EXIF date, PDF title, the kind a ZIP or MP4 is)
// must be names a file system takes, and a photo's thumbnail must lie in them.
#include "filetypes/CarveEnd.h"
#include "filetypes/CarveName.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const auto kind = static_cast<filetypes::CarveKind>(data[0] % 15);
    const std::size_t piece = std::size_t {data[1]} * 37 + 1;
    const std::uint64_t limit = size / 2 + 64;
    data += 2;
    size -= 2;
    filetypes::EndFinder finder(kind, limit);
    for (std::size_t at = 0; at < size; at += piece)
        finder.Feed(data + at, piece < size - at ? piece : size - at);
    finder.Finish();
    if (finder.Current() == filetypes::EndFinder::State::kGoing || finder.Size() > size || finder.Size() > limit)
        std::abort();

    filetypes::CarveKind begun {};
    filetypes::CarveKindOf(data, size, begun);  // (reads only what it is given)
    const std::string taken = filetypes::ExifTakenTime(data, size);
    const std::string title = filetypes::PdfTitle(data, size);
    const std::string extension = filetypes::CarveExtension(kind, data, size);
    std::size_t thumbnail = 0;
    std::size_t thumbnailBytes = 0;
    if (filetypes::ExifThumbnail(data, size, thumbnail, thumbnailBytes) &&
        (thumbnail > size || thumbnailBytes > size - thumbnail || data[thumbnail] != 0xFF))
        std::abort();
    filetypes::IsShownPicture(data, size);
    if ((!taken.empty() && taken.size() != 15) || title.size() > 100 || extension.empty() || extension.size() > 8 ||
        title.find_first_of("\\/:*?\"<>|") != std::string::npos)
        std::abort();
    return 0;
}
