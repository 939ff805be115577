// LZNT1, the compression of NTFS files: a stream of chunks, each standing
// for 4096 bytes of data, either stored as they are or as groups of one flag
// byte and eight tokens (a literal byte, or a two-byte back reference whose
// split between distance and length bits grows with the chunk's output).
#pragma once

#include <cstddef>
#include <cstdint>

namespace scan {

constexpr std::size_t kLznt1ChunkBytes = 4096;

// Decompresses one stream (one NTFS compression unit) from `in` into `out`:
// chunk after chunk, each giving 4096 bytes of output (a compressed chunk
// that decodes to fewer is followed by zeros), until the end marker (a
// header of 0), the end of the input, or `outLength`. Returns the bytes of
// `out` written; the rest of a unit reads as zeros. `damaged` is set when
// the stream breaks its own rules (a back reference before the start of its
// chunk, a chunk longer than the input); what decoded before the damage
// stays and decoding ends there.
std::size_t DecompressLznt1(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t outLength,
                            bool& damaged);

}  // namespace scan
