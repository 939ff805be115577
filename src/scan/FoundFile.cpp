#include "scan/FoundFile.h"

#include "platform/Text.h"

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

}  // namespace scan
