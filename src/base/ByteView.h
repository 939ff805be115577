// A bounds-checked little-endian reader over bytes read from a volume.
// Reads outside the view give 0 and never touch memory past its end; values
// are built with shifts, so they are right on any host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace base {

class ByteView {
public:
    constexpr ByteView() = default;
    constexpr ByteView(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(data ? size : 0) {}

    constexpr std::size_t Size() const { return m_size; }
    constexpr const std::uint8_t* Data() const { return m_data; }
    constexpr bool Has(std::size_t offset, std::size_t length) const
    {
        return offset <= m_size && length <= m_size - offset;
    }

    constexpr std::uint8_t U8(std::size_t offset) const { return Has(offset, 1) ? m_data[offset] : 0; }
    constexpr std::uint16_t U16(std::size_t offset) const
    {
        return Has(offset, 2) ? static_cast<std::uint16_t>(m_data[offset] | (m_data[offset + 1] << 8)) : 0;
    }
    constexpr std::uint32_t U32(std::size_t offset) const
    {
        return Has(offset, 4) ? static_cast<std::uint32_t>(U16(offset)) | (static_cast<std::uint32_t>(U16(offset + 2)) << 16)
                              : 0;
    }
    constexpr std::uint64_t U64(std::size_t offset) const
    {
        return Has(offset, 8) ? static_cast<std::uint64_t>(U32(offset)) | (static_cast<std::uint64_t>(U32(offset + 4)) << 32)
                              : 0;
    }
    // Little-endian unsigned value of `width` bytes (0 to 8).
    constexpr std::uint64_t UN(std::size_t offset, std::size_t width) const
    {
        if (width > 8 || !Has(offset, width))
            return 0;
        std::uint64_t v = 0;
        for (std::size_t i = width; i > 0; --i)
            v = (v << 8) | m_data[offset + i - 1];
        return v;
    }
    // Whether the bytes at `offset` are exactly `text` (no terminator).
    template <std::size_t N>
    constexpr bool Matches(std::size_t offset, const char (&text)[N]) const
    {
        if (!Has(offset, N - 1))
            return false;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (m_data[offset + i] != static_cast<std::uint8_t>(text[i]))
                return false;
        }
        return true;
    }
    // The part [offset, offset + length), clipped to the view.
    constexpr ByteView Sub(std::size_t offset, std::size_t length) const
    {
        if (offset >= m_size)
            return {};
        return {m_data + offset, length < m_size - offset ? length : m_size - offset};
    }

private:
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

}  // namespace base

// The engine reads volumes through it everywhere.
namespace scan {
using base::ByteView;
}  // namespace scan
