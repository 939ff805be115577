// What a file found by its content alone can be called: its extension by
// what its first bytes say of it (a ZIP that is a .docx, an MP4 that is a
// .mov), and a name from what it says of itself (the date a photo was
// taken, a PDF's title).
#pragma once

#include "filetypes/CarveEnd.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace filetypes {

// The extension, without the dot, of a file of `kind` beginning with `head`.
std::string CarveExtension(CarveKind kind, const std::uint8_t* head, std::size_t size);

// The date and time a photo was taken, from the EXIF data of a JPEG, TIFF
// or raw photo that begins with `head`: "20190704_153012"; "" when it says
// none.
std::string ExifTakenTime(const std::uint8_t* head, std::size_t size);

// The small JPEG a camera puts in the EXIF data of a photo beginning with
// `head`: where it lies in `head` and its length, all of it inside the bytes
// given; false when there is none there.
bool ExifThumbnail(const std::uint8_t* head, std::size_t size, std::size_t& offset, std::size_t& length);

// Whether `head` begins a picture every browser shows: JPEG, PNG, GIF, BMP
// or WebP.
bool IsShownPicture(const std::uint8_t* head, std::size_t size);

// The title in the first bytes of a PDF, made fit for a file name; "" when
// none is there.
std::string PdfTitle(const std::uint8_t* head, std::size_t size);

// `text` with what a file name cannot hold on any system replaced, control
// characters dropped, cut to a length every file system takes.
std::string FileNameSafe(const std::string& text);

}  // namespace filetypes
