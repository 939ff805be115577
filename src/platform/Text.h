// Text conversion. Every narrow string in the system is UTF-8; UTF-16 appears
// only where an on-disk format stores it.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// Malformed sequences become U+FFFD, one per bad byte.
std::u16string Utf8ToUtf16(std::string_view text);

}  // namespace platform
