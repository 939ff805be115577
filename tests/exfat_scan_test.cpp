#include "NtfsBuilder.h"
#include "ScanResults.h"

#include "base/StopRequest.h"
#include "platform/BlockDevice.h"
#include "search/Scans.h"
#include "volume/VolumeScanner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace scan;
using testing_ntfs::Put16;
using testing_ntfs::Put32;
using testing_ntfs::Put64;

namespace {

// A small exFAT volume in memory: 512-byte sectors and clusters, the FAT at
// sector 24, the cluster heap at sector 64 (cluster c at sector 62 + c).
class SyntheticExfat {
public:
    SyntheticExfat() : m_bytes(4096 * 512)
    {
        std::memcpy(&m_bytes[3], "EXFAT   ", 8);
        Put64(&m_bytes[0x48], 4096);
        Put32(&m_bytes[0x50], 24);
        Put32(&m_bytes[0x58], 64);
        Put32(&m_bytes[0x5C], 1000);
        Put32(&m_bytes[0x60], 2);
        m_bytes[0x6C] = 9;
        m_bytes[0x6D] = 0;
        m_bytes[0x6E] = 1;  // one FAT
    }

    std::uint8_t* Cluster(std::uint32_t c) { return &m_bytes[(62 + c) * 512]; }
    void Fat(std::uint32_t c, std::uint32_t next) { Put32(&m_bytes[24 * 512 + 4 * c], next); }
    void InUse(std::uint32_t c) { Cluster(3)[(c - 2) / 8] |= static_cast<std::uint8_t>(1 << ((c - 2) % 8)); }

    // The bitmap's entry at slot 0 of the root.
    void BitmapEntry()
    {
        std::uint8_t* e = Cluster(2);
        e[0] = 0x81;
        Put32(e + 20, 3);
        Put64(e + 24, 125);
        InUse(2);
        InUse(3);
    }

    // A bitmap entry whose first cluster lies outside the heap.
    void DamagedBitmapEntry()
    {
        std::uint8_t* e = Cluster(2);
        e[0] = 0x81;
        Put32(e + 20, 0xFFFFFF00);
        Put64(e + 24, 125);
    }

    // An entry set at `slot` of cluster `dir`: File, Stream Extension, names.
    void Set(std::uint32_t dir, std::size_t slot, const std::u16string& name, bool folder, bool deleted,
             std::uint32_t first, std::uint64_t size, std::uint8_t flags = 3)
    {
        std::uint8_t* e = Cluster(dir) + slot * 32;
        const std::size_t nameEntries = (name.size() + 14) / 15;
        e[0] = deleted ? 0x05 : 0x85;
        e[1] = static_cast<std::uint8_t>(1 + nameEntries);
        Put16(e + 4, folder ? 0x10 : 0x20);
        Put32(e + 12, (std::uint32_t {(2024 - 1980) << 9 | 3 << 5 | 5} << 16) | (9u << 11 | 7u << 5 | 1u));
        e[32] = deleted ? 0x40 : 0xC0;
        e[33] = flags;
        e[35] = static_cast<std::uint8_t>(name.size());
        Put64(e + 40, size);
        Put32(e + 52, first);
        Put64(e + 56, size);
        for (std::size_t n = 0; n < nameEntries; ++n) {
            std::uint8_t* ne = e + 64 + 32 * n;
            ne[0] = deleted ? 0x41 : 0xC1;
            for (std::size_t k = 0; k < 15 && 15 * n + k < name.size(); ++k)
                Put16(ne + 2 + 2 * k, name[15 * n + k]);
        }
    }

    void Open(VolumeScanner& volume)
    {
        volume.Open(std::make_unique<platform::MemoryDevice>(m_bytes), "exfat");
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

}  // namespace

TEST(ExfatScan, EntrySetsFoldersAndDamage)
{
    base::StopRequest = 0;
    SyntheticExfat x;
    x.BitmapEntry();
    x.Fat(2, 0xFFFFFFFF);
    x.Set(2, 1, u"twenty characters!!!.bin", false, false, 10, 0x140000000ULL, 1);
    x.InUse(10);
    x.Set(2, 5, u"Loop", true, false, 4, 1024, 1);
    x.InUse(4);
    x.Fat(4, 5);  // Loop's chain: 4 -> 5 -> 4, a cycle
    x.Fat(5, 4);
    x.InUse(5);
    x.Set(4, 0, u"Back", true, false, 2, 512);  // a folder that holds the root again
    x.Set(5, 0, u"kept.txt", false, false, 20, 100);
    x.InUse(20);
    x.Set(2, 8, u"Gone", true, true, 30, 512);  // deleted, its cluster still free
    x.Set(30, 0, u"old.txt", false, true, 31, 700);
    x.Set(2, 11, u"Taken", true, true, 20, 512);  // deleted, its cluster in use again
    x.Set(2, 14, u"empty.txt", false, false, 0, 0);

    VolumeScanner volume;
    x.Open(volume);
    ASSERT_EQ(volume.m_fileSystemType, kExfat);
    scan::NormalScan(volume);
    const auto byPath = ResultsByPath(volume);

    const FoundFile& big = *byPath.at("twenty characters!!!.bin");  // 24 characters: two name entries
    EXPECT_EQ(big.m_fileSize, 0x140000000ULL);
    ASSERT_EQ(big.extents.size(), 1u);
    EXPECT_EQ(big.extents[0].sectorCount, 10485760u);
    EXPECT_EQ(big.extents[0].startSector, 72u);
    EXPECT_EQ(big.extents[0].isPersist, 1);  // follows the FAT chain
    EXPECT_EQ(big.m_existType, kExistInUse);

    EXPECT_EQ(byPath.at("Loop")->m_isDirectory, 1);
    EXPECT_EQ(byPath.at("Loop")->m_existType, kExistUnset);
    EXPECT_EQ(byPath.count("Loop\\kept.txt"), 1u);  // read through the chain, whose cycle ends the walk
    EXPECT_EQ(byPath.count("Loop\\Back"), 1u);      // listed, but the root is not walked a second time
    EXPECT_EQ(byPath.at("Gone")->m_existType, kExistDeleted);
    EXPECT_EQ(byPath.at("Gone\\old.txt")->m_existType, kExistDeleted);
    EXPECT_EQ(byPath.count("Taken"), 0u);
    EXPECT_EQ(byPath.count("empty.txt"), 0u);
    EXPECT_EQ(volume.m_results.size(), 6u);
}

// Without a usable allocation bitmap nothing can be told in use: every
// cluster is taken as possibly free, the entries are still listed, deleted
// folders walked, and the scan says so.
TEST(ExfatScan, WithoutTheAllocationBitmapEveryClusterMayBeFree)
{
    base::StopRequest = 0;
    for (const bool damagedEntry : {false, true}) {
        SyntheticExfat x;
        if (damagedEntry)
            x.DamagedBitmapEntry();
        x.Fat(2, 0xFFFFFFFF);
        x.Set(2, 3, u"a.txt", false, false, 10, 100);
        x.Set(2, 6, u"Gone", true, true, 30, 512);
        x.Set(30, 0, u"old.txt", false, true, 31, 700);
        VolumeScanner volume;
        x.Open(volume);
        scan::NormalScan(volume);
        const auto byPath = ResultsByPath(volume);
        EXPECT_EQ(byPath.count("a.txt"), 1u) << damagedEntry;
        EXPECT_EQ(byPath.count("Gone\\old.txt"), 1u) << damagedEntry;
        const std::vector<std::string> faults = volume.m_faults.List();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_NE(faults[0].find(damagedEntry ? "its entry is damaged" : "has no entry"), std::string::npos)
            << faults[0];
    }
}
