// Text conversion. Every narrow string in the system is UTF-8; UTF-16 appears
// only where an on-disk format stores it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// Malformed sequences become U+FFFD, one per bad byte.
std::u16string Utf8ToUtf16(std::string_view text);

// The well-formed UTF-8 sequence at `at`: its length (1 to 4) with its code
// point in `c`, or 0 when the byte there starts none (a stray continuation
// byte, a sequence cut short, an overlong form, a surrogate, a code point
// past U+10FFFF).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t& c);

}  // namespace platform
