#include "volume/VolumeIdentity.h"

#include "found/FoundFile.h"
#include "base/ByteView.h"

#include <cinttypes>
#include <cstdio>

namespace scan {
namespace {

constexpr std::size_t kBootBytes = 512;

std::string Grouped(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

}  // namespace

VolumeIdentity ReadVolumeIdentity(const std::uint8_t* bootSector, std::int32_t fileSystem, std::uint64_t deviceBytes)
{
    VolumeIdentity identity;
    identity.sectors = deviceBytes / kBootBytes;
    identity.fileSystem = fileSystem;
    const ByteView sector(bootSector, kBootBytes);
    // Where each boot sector keeps the serial number its format wrote.
    switch (fileSystem) {
    case kNtfs:
        identity.serialNumber = sector.U64(0x48);
        break;
    case kFat32:
        identity.serialNumber = sector.U32(0x43);
        break;
    case kExfat:
        identity.serialNumber = sector.U32(0x64);
        break;
    default:
        break;
    }
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < kBootBytes; ++i) {
        hash ^= bootSector[i];
        hash *= 0x100000001b3ULL;
    }
    identity.bootHash = hash;
    return identity;
}

std::string SerialText(const VolumeIdentity& identity)
{
    char text[24];
    if (identity.fileSystem == kNtfs)
        std::snprintf(text, sizeof text, "%016" PRIX64, identity.serialNumber);
    else
        std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(identity.serialNumber >> 16 & 0xFFFF),
                      static_cast<unsigned>(identity.serialNumber & 0xFFFF));
    return text;
}

std::string DescribeDifference(const VolumeIdentity& then, const VolumeIdentity& now)
{
    std::string text;
    auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (then.fileSystem != now.fileSystem)
        add(std::string("its file system (") + FileSystemName(then.fileSystem) + " then, " +
            FileSystemName(now.fileSystem) + " now)");
    if (then.sectors != now.sectors)
        add("its size (" + Grouped(then.sectors) + " sectors then, " + Grouped(now.sectors) + " now)");
    if (then.fileSystem == now.fileSystem && then.serialNumber != now.serialNumber)
        add("its serial number (" + SerialText(then) + " then, " + SerialText(now) + " now)");
    if (text.empty() && then.bootHash != now.bootHash)
        add("its boot sector");
    return text;
}

}  // namespace scan
