// How well the first bytes of a cluster fit a file extension: the score of
// the most specific header signature of that extension that the bytes carry.
// 0 no match (or no such extension), 1 to 3 a weak match, 4 or more a sure one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace filetypes {

constexpr std::size_t kHeaderBytes = 56;  // the longest signature

// `extension` without the dot, compared exactly (jpg and JPG are separate
// keys; Jpg is none). Bytes past `size` count as not matching.
std::int32_t HeaderScore(std::string_view extension, const std::uint8_t* bytes, std::size_t size);

// Whether any bytes at all can fit `extension`: false for one the table
// does not know, for which HeaderScore is always 0.
bool HasHeaderSignature(std::string_view extension);

// How many extensions the table knows.
std::size_t HeaderSignatureKeyCount();

}  // namespace filetypes
