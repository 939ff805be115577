#include "NtfsBuilder.h"

#include "volume/BootSector.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;
using testing_ntfs::Put64;

namespace {

struct Sector {
    std::uint8_t b[512] = {};
    ByteView View() const { return {b, sizeof b}; }
};

Sector Ntfs(std::uint16_t bytesPerSector, std::uint8_t spc, std::uint64_t total, std::uint64_t mft)
{
    Sector s;
    std::memcpy(&s.b[3], "NTFS    ", 8);
    Put16(&s.b[0x0B], bytesPerSector);
    s.b[0x0D] = spc;
    Put64(&s.b[0x28], total);
    Put64(&s.b[0x30], mft);
    s.b[0x40] = 0xF6;
    return s;
}

Sector Fat32(std::uint16_t bytesPerSector, std::uint8_t spc, std::uint16_t reserved, std::uint32_t total,
             std::uint32_t perFat)
{
    Sector s;
    std::memcpy(&s.b[0x52], "FAT32   ", 8);
    Put16(&s.b[0x0B], bytesPerSector);
    s.b[0x0D] = spc;
    Put16(&s.b[0x0E], reserved);
    s.b[0x10] = 1;  // one FAT
    Put32(&s.b[0x20], total);
    Put32(&s.b[0x24], perFat);
    return s;
}

Sector Exfat(std::uint8_t bpsShift, std::uint8_t spcShift, std::uint64_t length, std::uint32_t fat,
             std::uint32_t heap, std::uint32_t clusters)
{
    Sector s;
    std::memcpy(&s.b[3], "EXFAT   ", 8);
    Put64(&s.b[0x48], length);
    Put32(&s.b[0x50], fat);
    Put32(&s.b[0x58], heap);
    Put32(&s.b[0x5C], clusters);
    Put32(&s.b[0x60], 4);
    s.b[0x6C] = bpsShift;
    s.b[0x6D] = spcShift;
    s.b[0x6E] = 1;  // one FAT
    return s;
}

}  // namespace

TEST(BootSector, Signatures)
{
    Sector fat = Fat32(512, 1, 32, 81920, 630);
    EXPECT_TRUE(IsFat32BootSector(fat.View()));
    fat.b[0x56] = '6';  // "FAT36" is no FAT32
    EXPECT_FALSE(IsFat32BootSector(fat.View()));
    EXPECT_TRUE(IsNtfsBootSector(Ntfs(512, 8, 1000, 4).View()));
    EXPECT_TRUE(IsExfatBootSector(Exfat(9, 3, 32768, 2048, 4096, 3584).View()));
    EXPECT_FALSE(IsExfatBootSector(Sector().View()));
}

TEST(BootSector, NtfsGeometryInFiveHundredTwelveByteUnits)
{
    NtfsBootInfo info = DecodeNtfsBootSector(Ntfs(512, 8, 49151, 4).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.sectorsPerCluster, 8u);
    EXPECT_EQ(info.volumeSectors, 49151u);
    EXPECT_EQ(info.recordBytes, 1024u);

    // 4096-byte sectors: counts scale to 512-byte units.
    info = DecodeNtfsBootSector(Ntfs(4096, 1, 1000, 4).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.sectorsPerCluster, 8u);
    EXPECT_EQ(info.volumeSectors, 8000u);

    // 0xF4: clusters of 2^12 sectors.
    info = DecodeNtfsBootSector(Ntfs(512, 0xF4, 1u << 20, 2).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.sectorsPerCluster, 4096u);

    EXPECT_FALSE(DecodeNtfsBootSector(Ntfs(512, 0, 1000, 4).View()).valid);
    EXPECT_FALSE(DecodeNtfsBootSector(Ntfs(512, 3, 1000, 4).View()).valid);
    EXPECT_FALSE(DecodeNtfsBootSector(Ntfs(512, 8, 0, 4).View()).valid);
    EXPECT_FALSE(DecodeNtfsBootSector(Ntfs(512, 8, 1000, 1u << 30).View()).valid);  // $MFT past the end
    EXPECT_FALSE(DecodeNtfsBootSector(Ntfs(4096, 8, ~std::uint64_t {0} / 2, 4).View()).valid);  // size overflows
}

TEST(BootSector, Fat32Geometry)
{
    Fat32BootInfo info = DecodeFat32BootSector(Fat32(512, 1, 32, 81920, 630).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.fatBytes, 630u * 512);
    EXPECT_EQ(info.reservedSectors, 32u);
    EXPECT_EQ(info.clusterCount, 81920u);

    EXPECT_FALSE(DecodeFat32BootSector(Fat32(500, 1, 32, 81920, 630).View()).valid);
    EXPECT_FALSE(DecodeFat32BootSector(Fat32(512, 0, 32, 81920, 630).View()).valid);
    EXPECT_FALSE(DecodeFat32BootSector(Fat32(512, 1, 0, 81920, 630).View()).valid);
    // A FAT larger than the volume: the allocation a hostile sector would ask for.
    EXPECT_FALSE(DecodeFat32BootSector(Fat32(4096, 1, 32, 81920, 0xFFFFFFFF).View()).valid);
    // No FAT cannot be; three (mkfs.vfat -f 3) is valid, and the data area
    // starts after all of them. As many as would reach past the volume are not.
    Sector none = Fat32(512, 1, 32, 81920, 630);
    none.b[0x10] = 0;
    EXPECT_FALSE(DecodeFat32BootSector(none.View()).valid);
    Sector three = Fat32(512, 1, 32, 81920, 630);
    three.b[0x10] = 3;
    info = DecodeFat32BootSector(three.View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.firstDataSector, 32u + 3 * 630);
    Sector many = Fat32(512, 1, 32, 81920, 630);
    many.b[0x10] = 255;
    EXPECT_FALSE(DecodeFat32BootSector(many.View()).valid);
    Sector two = Fat32(512, 1, 32, 81920, 630);
    two.b[0x10] = 2;
    info = DecodeFat32BootSector(two.View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.fatCount, 2u);
    EXPECT_EQ(info.firstDataSector, 32u + 2 * 630);
    // The second FAT ends past the volume: no data area.
    Sector noData = Fat32(512, 1, 32, 1000, 630);
    noData.b[0x10] = 2;
    EXPECT_FALSE(DecodeFat32BootSector(noData.View()).valid);

    // A small volume keeps its size in the 16-bit field, as mkfs.vfat writes it.
    Sector small = Fat32(512, 1, 32, 0, 380);
    Put16(&small.b[0x13], 49152);
    info = DecodeFat32BootSector(small.View());
    ASSERT_TRUE(info.valid) << info.problem;
    EXPECT_EQ(info.volumeSectors, 49152u);
    // The 32-bit field wins when both are set.
    Put32(&small.b[0x20], 40000);
    EXPECT_EQ(DecodeFat32BootSector(small.View()).volumeSectors, 40000u);
}

TEST(BootSector, ExfatGeometry)
{
    ExfatBootInfo info = DecodeExfatBootSector(Exfat(9, 3, 32768, 2048, 4096, 3584).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.sectorsPerCluster, 8u);
    EXPECT_EQ(info.fatSector, 2048u);
    EXPECT_EQ(info.rootCluster, 4u);

    // 4096-byte sectors, one per cluster.
    info = DecodeExfatBootSector(Exfat(12, 0, 4096, 24, 512, 3584).View());
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.sectorsPerCluster, 8u);
    EXPECT_EQ(info.volumeSectors, 4096u * 8);
    EXPECT_EQ(info.fatSector, 24u * 8);

    EXPECT_FALSE(DecodeExfatBootSector(Exfat(8, 3, 32768, 2048, 4096, 3584).View()).valid);
    EXPECT_FALSE(DecodeExfatBootSector(Exfat(9, 200, 32768, 2048, 4096, 3584).View()).valid);  // shift overflow
    EXPECT_FALSE(DecodeExfatBootSector(Exfat(9, 3, 32768, 2048, 4096, 0xFFFFFFFF).View()).valid);
    EXPECT_FALSE(DecodeExfatBootSector(Exfat(9, 3, 32768, 40000, 4096, 3584).View()).valid);
    for (const int fats : {0, 3, 255}) {
        Sector bad = Exfat(9, 3, 32768, 2048, 4096, 3584);
        bad.b[0x6E] = static_cast<std::uint8_t>(fats);
        EXPECT_FALSE(DecodeExfatBootSector(bad.View()).valid) << fats;
    }
}
