// SHA-256 (FIPS 180-4), fed in pieces: the receipt of a recovery names each
// written file by the hash of its bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace base {

class Sha256 {
public:
    Sha256();
    void Add(const void* data, std::size_t length);
    // The digest of everything added; the object is then spent.
    std::array<std::uint8_t, 32> Finish();
    // The digest as 64 lowercase hex digits.
    std::string FinishHex();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer {};
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0;  // bytes added
};

}  // namespace base
