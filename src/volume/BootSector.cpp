#include "volume/BootSector.h"

#include "base/Checked.h"

namespace scan {
namespace {

constexpr bool IsPowerOfTwo(std::uint64_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

constexpr bool PlausibleSectorSize(std::uint32_t bytes)
{
    return IsPowerOfTwo(bytes) && bytes >= 512 && bytes <= 4096;
}

bool Multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& out)
{
    return base::CheckedMul(a, b, out);
}

// FAT32 allows at most 2^28 - 11 clusters; anything near 2^28 is enough to
// bound the memory a hostile boot sector can make us allocate.
constexpr std::uint64_t kFat32MaxClusters = 0x0FFFFFF7;

}  // namespace

bool IsNtfsBootSector(ByteView sector)
{
    return sector.Matches(3, "NTFS");
}

bool IsFat32BootSector(ByteView sector)
{
    return sector.Matches(0x52, "FAT32");
}

bool IsExfatBootSector(ByteView sector)
{
    return sector.Matches(3, "EXFAT");
}

NtfsBootInfo DecodeNtfsBootSector(ByteView sector)
{
    NtfsBootInfo info;
    info.bytesPerSector = sector.U16(0x0B);
    // A declared sector size out of range is most likely damage to that one
    // field: count in 512-byte sectors, as nearly every NTFS volume does.
    const std::uint32_t unit = PlausibleSectorSize(info.bytesPerSector) ? info.bytesPerSector / 512 : 1;

    // 0x0D holds the count, or for clusters of 64 KiB and more (bytes 0xF4 to
    // 0xFF) the negative power of two.
    const std::uint8_t spcByte = sector.U8(0x0D);
    std::uint32_t spc = 0;
    if (spcByte <= 0x80)
        spc = spcByte;
    else if (256 - spcByte <= 16)
        spc = 1u << (256 - spcByte);
    if (!IsPowerOfTwo(spc)) {
        info.problem = "sectors per cluster is not a power of two";
        return info;
    }
    info.sectorsPerCluster = spc * unit;
    info.mftCluster = sector.U64(0x30);
    info.mirrorCluster = sector.U64(0x38);
    if (!Multiply(sector.U64(0x28), unit, info.volumeSectors) || info.volumeSectors == 0) {
        info.problem = "volume size is 0 or out of range";
        info.volumeSectors = 0;
        return info;
    }
    std::uint64_t mftSector = 0;
    if (!Multiply(info.mftCluster, info.sectorsPerCluster, mftSector) || mftSector >= info.volumeSectors) {
        info.problem = "$MFT cluster lies outside the volume";
        return info;
    }
    // 0x40: clusters per record, or when negative 2^-n bytes.
    const auto perRecord = static_cast<std::int8_t>(sector.U8(0x40));
    std::uint64_t recordBytes = 0;
    if (perRecord < 0 && -perRecord < 32)
        recordBytes = std::uint64_t {1} << -perRecord;
    else if (perRecord > 0)
        recordBytes = static_cast<std::uint64_t>(perRecord) * info.sectorsPerCluster * 512;
    if (recordBytes == 1024 || recordBytes == 2048 || recordBytes == 4096)
        info.recordBytes = static_cast<std::uint32_t>(recordBytes);
    info.valid = true;
    return info;
}

Fat32BootInfo DecodeFat32BootSector(ByteView sector)
{
    Fat32BootInfo info;
    info.bytesPerSector = sector.U16(0x0B);
    if (!PlausibleSectorSize(info.bytesPerSector)) {
        info.problem = "bytes per sector is not 512, 1024, 2048 or 4096";
        return info;
    }
    const std::uint32_t unit = info.bytesPerSector / 512;
    const std::uint32_t spc = sector.U8(0x0D);
    if (!IsPowerOfTwo(spc)) {
        info.problem = "sectors per cluster is not a power of two";
        return info;
    }
    info.sectorsPerCluster = spc * unit;
    info.reservedSectors = static_cast<std::uint64_t>(sector.U16(0x0E)) * unit;
    // Volumes under 65536 sectors may keep their size in the 16-bit field
    // (mkfs.vfat does), leaving the 32-bit one 0.
    const std::uint32_t total = sector.U32(0x20) != 0 ? sector.U32(0x20) : sector.U16(0x13);
    info.volumeSectors = static_cast<std::uint64_t>(total) * unit;
    info.fatBytes = (static_cast<std::uint64_t>(info.bytesPerSector) * sector.U32(0x24)) & ~std::uint64_t {3};
    info.fatCount = sector.U8(0x10);
    info.firstDataSector = (sector.U16(0x0E) + std::uint64_t {info.fatCount} * sector.U32(0x24)) * unit;
    info.rootCluster = sector.U32(0x2C);
    info.clusterCount = (info.volumeSectors + info.sectorsPerCluster - 1) / info.sectorsPerCluster;
    if (info.volumeSectors == 0) {
        info.problem = "volume size is 0";
        return info;
    }
    // Usually two FATs (the second a copy); any number from one on is valid
    // (mkfs.vfat -f 3 makes three).
    if (info.fatCount < 1) {
        info.problem = "the number of FATs is 0";
        return info;
    }
    if (info.reservedSectors == 0 || info.fatBytes == 0 ||
        info.reservedSectors * 512 + info.fatBytes > info.volumeSectors * 512 ||
        info.firstDataSector >= info.volumeSectors) {
        info.problem = "the FAT lies outside the volume";
        return info;
    }
    if (info.clusterCount > kFat32MaxClusters || info.fatBytes / 4 > kFat32MaxClusters + 2) {
        info.problem = "more clusters than FAT32 can address";
        return info;
    }
    info.valid = true;
    return info;
}

ExfatBootInfo DecodeExfatBootSector(ByteView sector)
{
    ExfatBootInfo info;
    const std::uint8_t bpsShift = sector.U8(0x6C);
    const std::uint8_t spcShift = sector.U8(0x6D);
    // exFAT allows sectors of 512 to 4096 bytes and clusters of at
    // most 32 MiB.
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) {
        info.problem = "sector or cluster size out of range";
        return info;
    }
    info.bytesPerSector = 1u << bpsShift;
    const std::uint32_t unit = info.bytesPerSector / 512;
    info.sectorsPerCluster = (1u << spcShift) * unit;
    info.fatSector = static_cast<std::uint64_t>(sector.U32(0x50)) * unit;
    info.fatCount = sector.U8(0x6E);
    if (info.fatCount < 1 || info.fatCount > 2) {
        info.problem = "the number of FATs (" + std::to_string(info.fatCount) + ") is not 1 or 2";
        return info;
    }
    info.clusterHeapSector = static_cast<std::uint64_t>(sector.U32(0x58)) * unit;
    info.clusterCount = sector.U32(0x5C);
    info.rootCluster = sector.U32(0x60);
    std::uint64_t length = 0;
    if (!Multiply(sector.U64(0x48), unit, length) || length == 0) {
        info.problem = "volume size is 0 or out of range";
        return info;
    }
    info.volumeSectors = length;
    const std::uint64_t fatBytes = (static_cast<std::uint64_t>(info.clusterCount) + 2) * 4;
    if (info.fatSector == 0 || info.fatSector > length || fatBytes > (length - info.fatSector) * 512) {
        info.problem = "the FAT lies outside the volume";
        return info;
    }
    const std::uint64_t heapSectors = static_cast<std::uint64_t>(info.clusterCount) * info.sectorsPerCluster;
    if (info.clusterCount == 0 || info.clusterCount > 0xFFFFFFF5u || info.clusterHeapSector > length ||
        heapSectors > length - info.clusterHeapSector) {
        info.problem = "the cluster heap lies outside the volume";
        return info;
    }
    info.valid = true;
    return info;
}

}  // namespace scan
