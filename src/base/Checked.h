// Arithmetic on numbers read from a volume, which may be anything: each
// helper says whether the result fits instead of wrapping.
#pragma once

#include <type_traits>

namespace base {

template <typename T>
bool CheckedMul(T a, T b, T& out)
{
    static_assert(std::is_unsigned_v<T>);
    return !__builtin_mul_overflow(a, b, &out);
}

template <typename T>
bool CheckedAdd(T a, T b, T& out)
{
    static_assert(std::is_unsigned_v<T>);
    return !__builtin_add_overflow(a, b, &out);
}

}  // namespace base
