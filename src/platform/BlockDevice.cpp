#include "platform/BlockDevice.h"

#include <algorithm>
#include <cstring>

namespace platform {

void BlockDevice::ReadMany(Request* requests, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        requests[i].result = ReadAt(requests[i].offset, requests[i].buffer, requests[i].length);
}

ReadResult MemoryDevice::ReadAt(std::uint64_t offset, void* buffer, std::size_t length)
{
    ++m_readCalls;
    if (m_externalCounter)
        ++*m_externalCounter;
    if (length > 0 && m_failEnd > m_failBegin && offset < m_failEnd && offset + length > m_failBegin)
        return {0, m_failStatus, m_failStatus == ReadStatus::MediumGone ? 123 : 5};
    if (offset >= m_bytes.size())
        return {};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_bytes.size() - offset));
    std::memcpy(buffer, m_bytes.data() + offset, n);
    return {n, ReadStatus::Ok, 0};
}

ReadResult SliceDevice::ReadAt(std::uint64_t offset, void* buffer, std::size_t length)
{
    if (offset > ~std::uint64_t {0} - m_offset)
        return {};
    return m_whole->ReadAt(m_offset + offset, buffer, length);
}

std::uint64_t SliceDevice::Size() const
{
    const std::uint64_t whole = m_whole->Size();
    return whole > m_offset ? whole - m_offset : 0;
}

void SliceDevice::ReadMany(Request* requests, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        requests[i].offset += m_offset;
    m_whole->ReadMany(requests, count);
    for (std::size_t i = 0; i < count; ++i)
        requests[i].offset -= m_offset;
}

std::string VolumeAtName(const std::string& disk, std::uint64_t sector)
{
    return disk + "@" + std::to_string(sector);
}

bool SplitVolumeAtName(const std::string& name, std::string& disk, std::uint64_t& sector)
{
    const std::size_t at = name.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == name.size() || name.size() - at > 20)
        return false;
    std::uint64_t n = 0;
    for (std::size_t i = at + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        n = n * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    if (n > (~std::uint64_t {0} >> 9))
        return false;
    disk = name.substr(0, at);
    sector = n;
    return true;
}

const char* DescribeOpenError(OpenError error)
{
    switch (error) {
    case OpenError::None: return "no error";
    case OpenError::NotFound: return "no such file or device";
    case OpenError::IsFolder: return "is a folder, not a device or image file";
    case OpenError::NoPermission: return "permission denied (devices usually need root)";
    case OpenError::NotAVolume: return "is neither a block device nor an image file";
    case OpenError::NotReadable: return "cannot be opened for reading";
    }
    return "cannot be opened for reading";
}

}  // namespace platform
