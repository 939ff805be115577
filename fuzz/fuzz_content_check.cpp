// Checks the input as a file of every kind the content check knows: the
// first byte picks how much of it reads back (a file whose data ends early),
// the rest is the file. Every read stays inside the file, and the check
// ends with one of its answers.
#include "filetypes/ContentCheck.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t* file = data + 1;
    const std::size_t length = size - 1;
    const std::size_t readable = data[0] == 0 ? length : length * data[0] / 255;
    using filetypes::ContentKind;
    for (const ContentKind kind : {ContentKind::kJpeg, ContentKind::kPng, ContentKind::kGif, ContentKind::kPdf,
                                   ContentKind::kZip, ContentKind::kMp4, ContentKind::kOle}) {
        const filetypes::CheckResult result = filetypes::CheckContent(
            kind, length, [&](std::uint64_t offset, std::uint8_t* out, std::size_t want) -> std::size_t {
                if (offset >= readable)
                    return 0;
                const std::size_t n = want < readable - offset ? want : readable - static_cast<std::size_t>(offset);
                std::memcpy(out, file + offset, n);
                return n;
            });
        if (result != filetypes::CheckResult::kPasses && result != filetypes::CheckResult::kFailsAtStart &&
            result != filetypes::CheckResult::kFailsLater && result != filetypes::CheckResult::kNotCheckable)
            __builtin_trap();
    }
    return 0;
}
