// Little-endian stores for the fuzz targets that build a volume around
// their input.
#pragma once

#include <cstdint>

inline void Put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Put32(std::uint8_t* p, std::uint32_t v)
{
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
