// A found file's name and suffix in one small block: names of up to 22
// bytes (most of them: "IMG_4711.JPG", "Quarterly report.docx") live inside
// it, longer ones in one allocation of their own. The
// text is the name, then "." and the suffix when there is one.
#pragma once

#include <cstdint>
#include <string_view>

namespace scan {

class FileName {
public:
    FileName() { m_bytes[kFlags] = static_cast<char>(kInlineFlag); }
    FileName(const FileName& other) { Set(other.Name(), other.Suffix()); }
    FileName& operator=(const FileName& other)
    {
        if (this != &other)
            Set(other.Name(), other.Suffix());
        return *this;
    }
    FileName(FileName&& other) noexcept { Take(other); }
    FileName& operator=(FileName&& other) noexcept
    {
        if (this != &other) {
            Free();
            Take(other);
        }
        return *this;
    }
    ~FileName() { Free(); }

    void Set(std::string_view name, std::string_view suffix);
    std::string_view Full() const
    {
        return Inline() ? std::string_view(m_bytes, static_cast<unsigned char>(m_bytes[kFlags]) & kLengthMask)
                        : std::string_view(HeapText(), HeapLength());
    }
    std::string_view Name() const { return Full().substr(0, Dot()); }
    std::string_view Suffix() const
    {
        const std::size_t dot = Dot();
        return dot == std::string_view::npos ? std::string_view() : Full().substr(dot + 1);
    }

private:
    static constexpr std::size_t kInline = 22;  // bytes 0..21 hold a short text
    static constexpr std::size_t kDotAt = 22;   // the dot's place + 1 in a short text, 0 none
    static constexpr std::size_t kFlags = 23;   // bit 7: short; bits 0..6 its length
    static constexpr unsigned char kInlineFlag = 0x80;
    static constexpr unsigned char kLengthMask = 0x7F;

    // A long text: its address in bytes 0..7, its length in 8..11, the
    // dot's place + 1 in 12..13 (0 none), byte 23 zero.
    static constexpr std::size_t kLengthAt = 8;
    static constexpr std::size_t kHeapDotAt = 12;

    bool Inline() const { return (static_cast<unsigned char>(m_bytes[kFlags]) & kInlineFlag) != 0; }
    const char* HeapText() const;
    std::uint32_t HeapLength() const;
    std::size_t Dot() const;
    void Free();
    void Take(FileName& other) noexcept;

    alignas(8) char m_bytes[24] = {};
};

}  // namespace scan
