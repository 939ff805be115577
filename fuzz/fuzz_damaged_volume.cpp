// A small volume whose own metadata is damaged, so that what stands in for
// it is what gets parsed: the first input byte says what to damage, the
// rest is the volume. Bit 0 zeroes sector 0 (the backup boot sectors are
// decoded: FAT32 at sector 6, exFAT's backup region, NTFS at the device's
// end); bit 1 first copies sector 0 to the last sector, its size field made
// to end there, as NTFS keeps its backup; bit 2 makes the $MFT's first
// record unreadable (its copy in $MFTMirr is read); bit 3 makes the sectors
// named by the next 8 bytes unreadable (the second FAT, an allocation
// bitmap that cannot be read, folder clusters that cost only themselves).
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/BootSector.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1 + 8 + 1024)
        return 0;
    const std::uint8_t what = data[0];
    const std::uint32_t failFirst = static_cast<std::uint32_t>(data[1] | data[2] << 8 | data[3] << 16);
    const std::uint32_t failCount = static_cast<std::uint32_t>(data[4] | data[5] << 8) % 4096;
    std::vector<std::uint8_t> bytes(data + 9, data + size);
    bytes.resize(bytes.size() / 512 * 512);
    if (bytes.size() < 1024)
        return 0;
    std::vector<std::uint8_t> sector0(bytes.begin(), bytes.begin() + 512);
    if (what & 2) {
        std::vector<std::uint8_t> backup = sector0;
        const std::uint64_t sectors = bytes.size() / 512 - 1;
        for (int i = 0; i < 8; ++i)
            backup[0x28 + i] = static_cast<std::uint8_t>(sectors >> (8 * i));
        std::copy(backup.begin(), backup.end(), bytes.end() - 512);
    }
    if (what & 1)
        std::fill_n(bytes.begin(), 512, 0);
    auto device = std::make_unique<platform::MemoryDevice>(std::move(bytes));
    if (what & 4) {
        const scan::NtfsBootInfo info = scan::DecodeNtfsBootSector(scan::ByteView(sector0.data(), sector0.size()));
        const std::uint64_t at = info.mftCluster * info.sectorsPerCluster * 512;
        device->FailRange(at, at + 1024, platform::ReadStatus::Error);
    } else if (what & 8) {
        device->FailRange(std::uint64_t {failFirst} * 512, (std::uint64_t {failFirst} + failCount + 1) * 512,
                          platform::ReadStatus::Error);
    }
    scan::VolumeScanner volume;
    volume.Open(std::move(device), "fuzz");
    volume.m_deep.retryDelayMs = 0;
    scan::NormalScan(volume);
    (void)volume.m_faults.List();
    return 0;
}
