// A cheap check of a file's structure from its first and last bytes (and a
// few small reads between, where the format points to them): does it begin
// as its kind begins, and does it end where its structure says it ends?
// JPEG markers and EOI, PNG chunk CRCs and IEND, the GIF trailer, a PDF's
// header and %%EOF, a ZIP's local headers and end of central directory,
// MP4/MOV top-level boxes, an Office compound file's header and root entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace filetypes {

enum class ContentKind : std::uint8_t { kNone, kJpeg, kPng, kGif, kPdf, kZip, kMp4, kOle };

// The kind to check a file as, by its name's extension (any case).
ContentKind CheckableKind(std::string_view extension);

// What the check found; the values are those of scan::ContentVerdict.
enum class CheckResult : std::uint8_t {
    kPasses = 1,
    kFailsAtStart = 2,   // it does not begin as its kind does
    kFailsLater = 3,     // it begins well but breaks or ends wrong
    kNotCheckable = 4,   // no kind, or too small to say
};

// Places up to `length` bytes of the file from `offset` into `out`; returns
// how many it placed.
using ReadAt = std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t length)>;

// Checks a file of `size` bytes as `kind`, reading at most a few hundred
// KiB through `read`.
CheckResult CheckContent(ContentKind kind, std::uint64_t size, const ReadAt& read);

// The CRC-32 of zlib and PNG.
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length, std::uint32_t crc = 0);

}  // namespace filetypes
