#include "NtfsBuilder.h"
#include "ScanResults.h"

#include "base/StopRequest.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>


using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;

namespace {

// A small FAT32 volume in memory: 512-byte sectors and clusters, one FAT of
// 8 sectors at sector 32, data from sector 40 (cluster c at sector 38 + c),
// the root folder at cluster 2.
class SyntheticFat32 {
public:
    // `sectors` in all, with a FAT of `fatSectors`.
    explicit SyntheticFat32(std::uint32_t sectors = 4096, std::uint32_t fatSectors = 8)
        : m_bytes(std::size_t {sectors} * 512), m_dataStart(32 + fatSectors)
    {
        Put16(&m_bytes[0x0B], 512);
        m_bytes[0x0D] = 1;
        Put16(&m_bytes[0x0E], 32);
        m_bytes[0x10] = 1;
        Put32(&m_bytes[0x20], sectors);
        Put32(&m_bytes[0x24], fatSectors);
        Put32(&m_bytes[0x2C], 2);
        std::memcpy(&m_bytes[0x52], "FAT32   ", 8);
        Fat(2, 0x0FFFFFFF);
    }

    std::uint8_t* Cluster(std::uint32_t c) { return &m_bytes[(std::size_t {m_dataStart} - 2 + c) * 512]; }
    void Fat(std::uint32_t c, std::uint32_t next) { Put32(&m_bytes[32 * 512 + 4 * c], next); }

    // A short entry at `slot` of cluster `dir`.
    void Short(std::uint32_t dir, std::size_t slot, const char (&name11)[12], std::uint8_t attr, std::uint32_t cluster,
               std::uint32_t size)
    {
        std::uint8_t* e = Cluster(dir) + slot * 32;
        std::memcpy(e, name11, 11);
        e[11] = attr;
        Put16(e + 20, static_cast<std::uint16_t>(cluster >> 16));
        Put16(e + 26, static_cast<std::uint16_t>(cluster));
        Put32(e + 28, size);
    }

    // The long-name entries of `name` just before `slot` (which must leave
    // room), last part first as on disk; they may begin in the cluster before.
    void Long(std::uint8_t* shortEntry, const std::u16string& name)
    {
        const std::size_t parts = (name.size() + 12) / 13;
        for (std::size_t p = 0; p < parts; ++p) {
            std::uint8_t* e = shortEntry - 32 * (p + 1);
            e[0] = static_cast<std::uint8_t>((p + 1) | (p + 1 == parts ? 0x40 : 0));
            e[11] = 0x0F;
            static constexpr std::size_t kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (std::size_t k = 0; k < 13; ++k) {
                const std::size_t i = 13 * p + k;
                Put16(e + kChars[k], i < name.size() ? name[i] : i == name.size() ? 0 : 0xFFFF);
            }
        }
    }

    void Open(VolumeScanner& volume) { volume.Open(std::make_unique<platform::MemoryDevice>(m_bytes), "fat32"); }

private:
    std::vector<std::uint8_t> m_bytes;
    std::uint32_t m_dataStart;
};

}  // namespace

TEST(Fat32Synthetic, NamesDuplicatesAndDamage)
{
    base::StopRequest = 0;
    SyntheticFat32 x;
    // Root: clusters 2 to 5, so long names can straddle clusters.
    x.Fat(2, 3);
    x.Fat(3, 4);
    x.Fat(4, 5);
    x.Fat(5, 0x0FFFFFFF);
    // Three deleted a.txt (long names kept) in the root.
    for (std::size_t i = 0; i < 3; ++i) {
        x.Short(2, 2 * i + 1, "\xE5       TXT", 0x20, 100 + static_cast<std::uint32_t>(i), 10);
        x.Long(x.Cluster(2) + (2 * i + 1) * 32, u"a.txt");
    }
    // A deleted 8.3-only name.
    x.Short(2, 6, "\xE5OLD    TXT", 0x20, 110, 10);
    // A folder whose chain loops back on itself, and which names the root.
    x.Short(2, 7, "LOOP       ", 0x10, 200, 0);
    x.Fat(200, 201);
    x.Fat(201, 200);
    x.Short(200, 0, "BACK       ", 0x10, 2, 0);
    for (std::size_t slot = 1; slot < 16; ++slot)
        x.Short(200, slot, "\xE5JUNK   BIN", 0x20, 0, 0);
    x.Short(201, 0, "INLOOP  TXT", 0x20, 140, 10);
    x.Fat(140, 0x0FFFFFFF);
    // Deleted entries that point nowhere keep the folder going without results.
    for (std::size_t slot = 8; slot < 14; ++slot)
        x.Short(2, slot, "\xE5JUNK   BIN", 0x20, 0, 0);
    for (std::size_t slot = 2; slot < 16; ++slot)
        x.Short(3, slot, "\xE5JUNK   BIN", 0x20, 0, 0);
    for (std::size_t slot = 0; slot < 6; ++slot)
        x.Short(4, slot, "\xE5JUNK   BIN", 0x20, 0, 0);
    // A long name whose entries begin in cluster 2 and end in cluster 3.
    x.Short(3, 1, "STRADD~1TXT", 0x20, 120, 10);
    x.Long(x.Cluster(3) + 32, u"straddling the clusters.txt");
    // A name of 300 characters, from a damaged run of long-name entries.
    // (24 entries: cluster 4 from slot 6 on, cluster 5 up to slot 13.)
    x.Short(5, 14, "LONGLO~1TXT", 0x20, 130, 10);
    x.Long(x.Cluster(5) + 14 * 32, std::u16string(300, u'x'));

    VolumeScanner volume;
    x.Open(volume);
    ASSERT_EQ(volume.m_fileSystemType, kFat32);
    scan::NormalScan(volume);
    const auto byPath = ResultsByPath(volume);
    EXPECT_EQ(byPath.count("a.txt"), 1u);
    EXPECT_EQ(byPath.count("a_1.txt"), 1u);
    EXPECT_EQ(byPath.count("a_2.txt"), 1u);
    EXPECT_EQ(byPath.count("#OLD.TXT"), 1u);
    EXPECT_EQ(byPath.count("straddling the clusters.txt"), 1u);
    std::size_t longest = 0;
    for (const auto& [path, f] : byPath)
        longest = std::max(longest, path.size());
    EXPECT_EQ(longest, 259u);  // cut at 259 characters
    EXPECT_EQ(byPath.count("LOOP\\INLOOP.TXT"), 1u);
    EXPECT_EQ(byPath.count("LOOP\\BACK"), 1u);
    EXPECT_EQ(byPath.at("a.txt")->m_existType, kExistDeleted);
    EXPECT_EQ(byPath.at("LOOP\\INLOOP.TXT")->m_existType, kExistInUse);
}

TEST(Fat32Synthetic, DeletedEntriesWhoseStartsLowHalfIsZero)
{
    // 70,000 clusters: a start of 65536 keeps a low half of 0 when deleted.
    base::StopRequest = 0;
    const std::uint32_t clusters = 70000;
    const std::uint32_t fatSectors = (clusters + 2) * 4 / 512 + 1;
    SyntheticFat32 x(32 + fatSectors + clusters, fatSectors);
    const std::uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
    std::memcpy(x.Cluster(0x10000), jpeg, sizeof jpeg);
    x.Short(2, 0, "\xE5HOTO   JPG", 0x20, 0x10000, 400);  // deleted, began at cluster 65536
    // A deleted folder there too: "." and ".." at its start, a file in it.
    std::memcpy(x.Cluster(0x10001), ".          ", 11);
    x.Cluster(0x10001)[11] = 0x10;
    std::memcpy(x.Cluster(0x10001) + 32, "..         ", 11);
    x.Cluster(0x10001)[43] = 0x10;
    x.Short(0x10001, 2, "KEPT    TXT", 0x20, 300, 5);
    x.Short(2, 1, "\xE5LBUM      ", 0x10, 0x10001, 0);
    // Deleted entries of nothing: still no results.
    x.Short(2, 2, "\xE5MPTY   TXT", 0x20, 0, 0);
    x.Short(2, 3, "\xE5OTHING BIN", 0x20, 0x20000, 0);

    VolumeScanner volume;
    x.Open(volume);
    ASSERT_EQ(volume.m_fileSystemType, kFat32);
    scan::NormalScan(volume);
    const auto byPath = ResultsByPath(volume);
    ASSERT_EQ(byPath.count("#HOTO.JPG"), 1u);
    const FoundFile& photo = *byPath.at("#HOTO.JPG");
    EXPECT_EQ(photo.m_existType, kExistDeleted);
    EXPECT_EQ(photo.m_located, 1u);  // its header put the high half back
    ASSERT_EQ(photo.extents.size(), 1u);
    EXPECT_EQ(photo.extents.front().startSector, 32 + fatSectors - 2 + 0x10000);
    EXPECT_EQ(byPath.count("#LBUM\\KEPT.TXT"), 1u);
    EXPECT_EQ(byPath.count("#MPTY.TXT"), 0u);
    EXPECT_EQ(byPath.size(), 3u);
}
