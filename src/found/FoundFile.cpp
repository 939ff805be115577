#include "found/FoundFile.h"

#include <cctype>

#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

namespace scan {

const char* FileSystemName(std::int32_t type)
{
    switch (type) {
    case kFat32: return "FAT32";
    case kNtfs: return "NTFS";
    case kExfat: return "exFAT";
    default: return "unknown";
    }
}

void ExtentList::Reserve(std::size_t count)
{
    if (count <= (m_capacity == 0 ? 1 : m_capacity))
        return;
    if (count > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many extents");
    const std::size_t capacity = std::max<std::size_t>(count, std::size_t {m_size} * 2);
    auto* grown = static_cast<FileExtent*>(::operator new(capacity * sizeof(FileExtent)));
    const std::uint32_t size = m_size;
    std::uninitialized_copy(begin(), end(), grown);
    Free();
    m_heap = grown;
    m_size = size;
    m_capacity = static_cast<std::uint32_t>(std::min<std::size_t>(capacity, std::numeric_limits<std::uint32_t>::max()));
}

void ExtentList::Assign(const FileExtent* extents, std::size_t count)
{
    if (count > 0 && extents >= begin() && extents < end()) {  // from this very list
        const ExtentList copy(*this);
        Assign(copy.begin() + (extents - begin()), count);
        return;
    }
    m_size = 0;
    Reserve(count);
    std::uninitialized_copy(extents, extents + count, begin());
    m_size = static_cast<std::uint32_t>(count);
}

void ExtentList::assign(std::size_t count, const FileExtent& extent)
{
    const FileExtent value = extent;
    m_size = 0;
    Reserve(count);
    std::uninitialized_fill_n(begin(), count, value);
    m_size = static_cast<std::uint32_t>(count);
}

void ExtentList::push_back(const FileExtent& extent)
{
    const FileExtent value = extent;  // may live in this list
    Reserve(std::size_t {m_size} + 1);
    begin()[m_size] = value;
    ++m_size;
}

bool ExtentList::operator==(const ExtentList& other) const
{
    return std::equal(begin(), end(), other.begin(), other.end());
}

void ExtentList::Free()
{
    if (m_capacity != 0)
        ::operator delete(m_heap);
    m_one = FileExtent {};
    m_size = 0;
    m_capacity = 0;
}

void ExtentList::Take(ExtentList& other) noexcept
{
    if (other.m_capacity == 0)
        m_one = other.m_one;
    else
        m_heap = other.m_heap;
    m_size = other.m_size;
    m_capacity = other.m_capacity;
    other.m_one = FileExtent {};
    other.m_size = 0;
    other.m_capacity = 0;
}

void CBaseFileObject::SetName(std::u16string_view fullName)
{
    SetNameUtf8(platform::Utf16ToUtf8(fullName));
}

void CBaseFileObject::SetNameUtf8(std::string_view fullName)
{
    // A '.' byte never occurs inside a UTF-8 multibyte sequence, so a plain
    // reverse search is safe.
    const auto dot = fullName.rfind('.');
    if (dot == std::string_view::npos)
        m_name.Set(fullName, {});
    else
        m_name.Set(fullName.substr(0, dot), fullName.substr(dot + 1));
}

std::string CBaseFileObject::FullNameUtf8() const
{
    return std::string(m_name.Full());
}

std::u16string CBaseFileObject::FullName() const
{
    return platform::Utf8ToUtf16(FullNameUtf8());
}

std::uint8_t ExistCode(const FoundFile& file)
{
    const auto state = static_cast<std::uint8_t>(file.m_existType);
    return file.Placed() ? state : static_cast<std::uint8_t>(state * 10);
}

void SetExistCode(FoundFile& file, std::int64_t code)
{
    const std::int64_t state = code >= 10 ? code / 10 : code;
    file.m_existType = state >= kExistUnset && state <= kExistLost ? static_cast<ExistType>(state) : kExistUnset;
}

std::string ContentKind(std::string_view suffix)
{
    std::string kind(suffix);
    for (char& c : kind)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (kind == "jpeg" || kind == "jpe")
        kind = "jpg";
    return kind;
}

bool FoundByContent(const CBaseFileObject& file)
{
    return file.m_filePath.str().rfind(kFoundByContentDir, 0) == 0;
}

}  // namespace scan
