#include "found/FileName.h"

#include <cstring>

namespace scan {

const char* FileName::HeapText() const
{
    const char* text = nullptr;
    std::memcpy(&text, m_bytes, sizeof text);
    return text;
}

std::uint32_t FileName::HeapLength() const
{
    std::uint32_t length = 0;
    std::memcpy(&length, m_bytes + kLengthAt, sizeof length);
    return length;
}

std::size_t FileName::Dot() const
{
    std::uint32_t at = 0;
    if (Inline()) {
        at = static_cast<unsigned char>(m_bytes[kDotAt]);
    } else {
        std::uint16_t heapDot = 0;
        std::memcpy(&heapDot, m_bytes + kHeapDotAt, sizeof heapDot);
        at = heapDot;
    }
    return at == 0 ? std::string_view::npos : at - 1;
}

void FileName::Free()
{
    if (!Inline())
        delete[] HeapText();
    std::memset(m_bytes, 0, sizeof m_bytes);
    m_bytes[kFlags] = static_cast<char>(kInlineFlag);
}

void FileName::Take(FileName& other) noexcept
{
    std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
    std::memset(other.m_bytes, 0, sizeof other.m_bytes);
    other.m_bytes[kFlags] = static_cast<char>(kInlineFlag);
}

void FileName::Set(std::string_view name, std::string_view suffix)
{
    // Names never come near this (255 UTF-16 units at most); a crafted one
    // that would is cut, and the place of the dot must fit its field.
    constexpr std::size_t kLongest = 0xFFFF;
    if (name.size() > kLongest - 1)
        name = name.substr(0, kLongest - 1);
    const std::size_t room = kLongest - name.size() - 1;
    if (suffix.size() > room)
        suffix = suffix.substr(0, room);
    const std::size_t length = name.size() + (suffix.empty() ? 0 : 1 + suffix.size());
    const std::size_t dot = suffix.empty() ? 0 : name.size() + 1;
    if (length <= kInline) {
        char bytes[sizeof m_bytes] = {};
        std::memcpy(bytes, name.data(), name.size());
        if (!suffix.empty()) {
            bytes[name.size()] = '.';
            std::memcpy(bytes + name.size() + 1, suffix.data(), suffix.size());
        }
        bytes[kDotAt] = static_cast<char>(dot);
        bytes[kFlags] = static_cast<char>(kInlineFlag | length);
        Free();
        std::memcpy(m_bytes, bytes, sizeof m_bytes);
        return;
    }
    char* const text = new char[length];
    std::memcpy(text, name.data(), name.size());
    if (!suffix.empty()) {
        text[name.size()] = '.';
        std::memcpy(text + name.size() + 1, suffix.data(), suffix.size());
    }
    Free();
    const auto length32 = static_cast<std::uint32_t>(length);
    const auto dot16 = static_cast<std::uint16_t>(dot);
    std::memcpy(m_bytes, &text, sizeof text);
    std::memcpy(m_bytes + kLengthAt, &length32, sizeof length32);
    std::memcpy(m_bytes + kHeapDotAt, &dot16, sizeof dot16);
    m_bytes[kFlags] = 0;
}

}  // namespace scan
