#include "ntfs/Lznt1.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace scan {
namespace {

// Copies `length` bytes from `distance` bytes back in the output, where the
// two may overlap (a reference into what it writes itself repeats it).
// `slack` is how far past `length` the output may be written, for wide
// copies.
inline void CopyBack(std::uint8_t* to, std::size_t distance, std::size_t length, std::size_t slack)
{
    const std::uint8_t* from = to - distance;
    if (distance >= 16 && length <= 16 && slack >= 16 - length) {
        std::uint8_t word[16];
        std::memcpy(word, from, 16);
        std::memcpy(to, word, 16);
        return;
    }
    if (distance >= length) {
        std::memcpy(to, from, length);
        return;
    }
    if (distance >= 8) {
        // Period `distance`: each block copies the one before it.
        for (std::size_t done = 0; done < length; done += distance)
            std::memcpy(to + done, to + done - distance, std::min(distance, length - done));
        return;
    }
    for (std::size_t i = 0; i < length; ++i)
        to[i] = from[i];
}

// Decodes the tokens of one compressed chunk into `chunk` (at most `room`
// bytes). Returns the bytes produced; sets `damaged` on a broken token.
std::size_t DecodeChunk(const std::uint8_t* src, const std::uint8_t* end, std::uint8_t* chunk, std::size_t room,
                        bool& damaged)
{
    std::size_t produced = 0;
    while (src < end && produced < room) {
        std::uint8_t flags = *src++;
        // Eight literals in a row, the common case in text.
        if (flags == 0 && end - src >= 8 && room - produced >= 8) {
            std::memcpy(chunk + produced, src, 8);
            src += 8;
            produced += 8;
            continue;
        }
        for (int bit = 0; bit < 8 && src < end && produced < room; ++bit, flags >>= 1) {
            if ((flags & 1) == 0) {
                chunk[produced++] = *src++;
                continue;
            }
            if (end - src < 2 || produced == 0) {
                damaged = true;  // a token cut off, or a reference with nothing before it
                return produced;
            }
            const unsigned token = src[0] | (unsigned {src[1]} << 8);
            src += 2;
            // The distance takes as many bits as the position in the chunk
            // needs (at least 4), the length the rest of the 16.
            const unsigned width = static_cast<unsigned>(std::bit_width(produced - 1));
            const unsigned shift = std::min(12u, 16u - std::max(width, 4u));
            const std::size_t distance = (token >> shift) + 1;
            std::size_t length = (token & ((1u << shift) - 1)) + 3;
            if (distance > produced) {
                damaged = true;
                return produced;
            }
            length = std::min(length, room - produced);
            CopyBack(chunk + produced, distance, length, room - produced - length);
            produced += length;
        }
    }
    return produced;
}

}  // namespace

std::size_t DecompressLznt1(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t outLength,
                            bool& damaged)
{
    damaged = false;
    std::size_t inPos = 0;
    std::size_t outPos = 0;
    while (outPos < outLength && inLength - inPos >= 2) {
        const unsigned header = in[inPos] | (unsigned {in[inPos + 1]} << 8);
        if (header == 0)
            break;  // the end of the stream
        inPos += 2;
        // The low 12 bits hold the chunk's length after the header, less 1.
        std::size_t length = (header & 0x0FFF) + 1;
        if (length > inLength - inPos) {
            damaged = true;
            length = inLength - inPos;
        }
        const std::size_t room = std::min(kLznt1ChunkBytes, outLength - outPos);
        std::uint8_t* chunk = out + outPos;
        std::size_t produced = 0;
        if ((header & 0x8000) == 0) {
            produced = std::min(length, room);
            std::memcpy(chunk, in + inPos, produced);
        } else {
            produced = DecodeChunk(in + inPos, in + inPos + length, chunk, room, damaged);
        }
        std::memset(chunk + produced, 0, room - produced);
        outPos += room;
        inPos += length;
        if (damaged)
            break;
    }
    return outPos;
}

}  // namespace scan
