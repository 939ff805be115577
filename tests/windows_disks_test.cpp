// The disk list built from what Windows tells, on facts recorded as its
// calls give them: MBR and GPT system disks, a dynamic disk, a USB stick, a
// CD drive, a disk whose hot-plug query fails.
#include "disks/Disks.h"
#include "platform/win32/WindowsDisks.h"

#include <gtest/gtest.h>

using namespace platform::win32;

namespace {

constexpr std::uint64_t kGiB = 1ULL << 30;

RawPartition Mbr(std::uint32_t number, std::uint64_t offset, std::uint64_t length, std::uint8_t type, bool boot = false)
{
    RawPartition p;
    p.style = 0;
    p.number = number;
    p.offset = offset;
    p.length = length;
    p.mbrType = type;
    p.bootIndicator = boot;
    return p;
}

RawPartition Gpt(std::uint32_t number, std::uint64_t offset, std::uint64_t length, const char* type)
{
    RawPartition p;
    p.style = 1;
    p.number = number;
    p.offset = offset;
    p.length = length;
    p.gptType = type;
    return p;
}

RawDisk Disk(std::uint32_t number, int style, std::vector<RawPartition> partitions, const char* product = "Disk")
{
    RawDisk d;
    d.hotplugRead = true;
    d.deviceNumber = number;
    d.size = 500 * kGiB;
    d.productRead = true;
    d.hasProduct = true;
    d.product = product;
    d.layoutRead = true;
    d.layoutStyle = style;
    d.partitions = std::move(partitions);
    return d;
}

RawVolume Volume(const char* guid, const char* fs, const char* mount, std::uint32_t disk, std::uint32_t partition,
                 std::uint64_t total, std::uint64_t free)
{
    RawVolume v;
    v.name = std::string("\\\\?\\Volume{") + guid + "}\\";
    v.infoRead = true;
    v.fileSystem = fs;
    v.label = std::string(fs) + " volume";
    v.serialNumber = 0x1234ABCD;
    v.maxComponentLength = 255;
    v.mountPath = mount;
    v.driveType = 3;
    v.spaceRead = true;
    v.totalBytes = total;
    v.freeBytes = v.freeToCaller = free;
    v.opened = true;
    v.numberRead = true;
    v.deviceType = kFileDeviceDisk;
    v.deviceNumber = disk;
    v.partitionNumber = partition;
    return v;
}

const disks::DiskInfo* DiskNumbered(const std::vector<disks::DiskInfo>& list, std::uint32_t number)
{
    for (const disks::DiskInfo& d : list) {
        if (d.diskNumber == number)
            return &d;
    }
    return nullptr;
}

}  // namespace

TEST(WindowsDisks, RecordedSystemsGiveTheListThePartsDescribe)
{
    std::vector<RawDisk> disks;
    // Reported in the order 0, 2, 1, 3.
    disks.push_back(Disk(0, 0, {Mbr(1, 1 << 20, 100 * kGiB, 0x07, true), Mbr(0, 0, 0, 0)}, "Samsung SSD 860  "));
    disks.push_back(Disk(2, 0, {Mbr(1, 1 << 20, 50 * kGiB, 0x42)}));
    disks.push_back(Disk(1, 1,
                         {Gpt(1, 1 << 20, 100 << 20, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b"),
                          Gpt(2, 101 << 20, 16 << 20, "e3c9e316-0b5c-4db8-817d-f92df00215ae"),
                          Gpt(3, 117 << 20, 200 * kGiB, "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"),
                          Gpt(4, 117 * kGiB, 1 * kGiB, "de94bba4-06d1-4d40-a16a-bfd50179d6ac")}));
    RawDisk usb = Disk(3, 0, {Mbr(1, 4 << 20, 16 * kGiB, 0x0C)}, "USB Flash Drive");
    usb.deviceHotplug = true;
    usb.mediaRemovable = true;
    usb.attributes = 2;  // read-only
    disks.push_back(usb);
    RawDisk quiet = Disk(4, 0, {Mbr(1, 1 << 20, 10 * kGiB, 0x07)});
    quiet.hotplugRead = false;  // not listed
    disks.push_back(quiet);

    std::vector<RawVolume> volumes;
    volumes.push_back(Volume("c-0", "NTFS", "C:\\", 0, 1, 100 * kGiB, 40 * kGiB));
    volumes.push_back(Volume("efi-1", "FAT32", "", 1, 1, 100 << 20, 70 << 20));
    volumes.push_back(Volume("d-1", "NTFS", "D:\\", 1, 3, 200 * kGiB, 150 * kGiB));
    volumes.push_back(Volume("rec-1", "NTFS", "", 1, 4, kGiB, kGiB / 2));
    volumes.push_back(Volume("e-usb", "FAT32", "E:\\", 3, 1, 16 * kGiB, 8 * kGiB));
    RawVolume dynamic = Volume("dyn", "NTFS", "F:\\", 0, 0, 50 * kGiB, 10 * kGiB);
    dynamic.numberRead = false;  // a dynamic volume has no single disk
    volumes.push_back(dynamic);
    RawVolume cd = Volume("cd", "CDFS", "G:\\", 0, 0, 0, 0);
    cd.driveType = kDriveCdRom;
    cd.numberRead = false;
    volumes.push_back(cd);
    RawVolume onQuiet = Volume("quiet", "NTFS", "H:\\", 4, 1, 10 * kGiB, 5 * kGiB);
    volumes.push_back(onQuiet);
    RawVolume stray = Volume("stray", "NTFS", "", 0, 7, kGiB, kGiB);  // a listed disk, no such partition
    volumes.push_back(stray);

    std::vector<disks::DiskInfo> list;
    disks::BuildDiskList(FactsFromWindows(disks, volumes), list);

    ASSERT_EQ(list.size(), 5u);  // disks 0-3 and the pseudo-disk
    for (std::uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(list[i].diskNumber, i);
    EXPECT_EQ(list.back().diskNumber, disks::kPseudoDisk);

    const disks::DiskInfo& system = *DiskNumbered(list, 0);
    EXPECT_EQ(system.productName, "Samsung SSD 860  ");  // trailing blanks kept
    ASSERT_EQ(system.partitions.size(), 1u);  // the empty slot is left out
    const disks::PartitionInfo& c = system.partitions[0];
    EXPECT_EQ(c.partitionStyle, 0);
    EXPECT_EQ(c.bootFlag, 1);
    EXPECT_EQ(c.fileSystemName, "NTFS");
    EXPECT_EQ(c.mountPath, "C:\\");
    EXPECT_EQ(c.startSector, (1 << 20) / 512);
    EXPECT_EQ(c.totalBytes, 100 * kGiB);  // the partition's length
    EXPECT_EQ(c.freeBytes, 40 * kGiB);    // the volume's free bytes
    EXPECT_EQ(c.devicePath, PartitionDevicePath(0, 1));

    const disks::DiskInfo& gpt = *DiskNumbered(list, 1);
    ASSERT_EQ(gpt.partitions.size(), 4u);
    EXPECT_EQ(gpt.partitions[0].fileSystemName, "EFI");
    EXPECT_EQ(gpt.partitions[0].bootFlag, 1);
    EXPECT_EQ(gpt.partitions[1].fileSystemName, "MSR");
    EXPECT_EQ(gpt.partitions[1].mountPath, "");
    EXPECT_EQ(gpt.partitions[2].fileSystemName, "NTFS");
    EXPECT_EQ(gpt.partitions[2].mountPath, "D:\\");
    EXPECT_EQ(gpt.partitions[3].fileSystemName, "RECOVERY");  // kept over its volume's NTFS
    for (const auto& p : gpt.partitions)
        EXPECT_EQ(p.partitionStyle, 1);

    const disks::DiskInfo& dynamicDisk = *DiskNumbered(list, 2);
    EXPECT_EQ(dynamicDisk.diskFlags & 1, 1u);
    ASSERT_EQ(dynamicDisk.partitions.size(), 1u);
    EXPECT_EQ(dynamicDisk.partitions[0].diskNumber, -1);

    const disks::DiskInfo& stick = *DiskNumbered(list, 3);
    EXPECT_EQ(stick.removable, 1);
    EXPECT_EQ(stick.diskFlags & 4, 4u);  // read-only
    ASSERT_EQ(stick.partitions.size(), 1u);
    EXPECT_EQ(stick.partitions[0].fileSystemName, "FAT32");
    EXPECT_EQ(stick.partitions[0].mountPath, "E:\\");

    // The pseudo-disk: the dynamic volume and the one of the disk whose
    // hot-plug query failed; no CD drive, no partition-less stray.
    const disks::DiskInfo& pseudo = list.back();
    EXPECT_EQ(pseudo.diskFlags, 1u);
    EXPECT_EQ(pseudo.diskSize, 0u);
    std::vector<std::string> mounts;
    for (const auto& p : pseudo.partitions)
        mounts.push_back(p.mountPath);
    EXPECT_EQ(mounts, (std::vector<std::string> {"F:\\", "H:\\"}));
    for (const auto& d : list)
        for (const auto& p : d.partitions)
            EXPECT_NE(p.mountPath, "G:\\");
}

TEST(WindowsDisks, NoDiskInterfaceLeavesEveryVolumeOnThePseudoDisk)
{
    std::vector<RawVolume> volumes {Volume("a", "NTFS", "C:\\", 0, 1, kGiB, kGiB), Volume("b", "exFAT", "", 0, 2, kGiB, 0)};
    std::vector<disks::DiskInfo> list;
    disks::BuildDiskList(FactsFromWindows({}, volumes), list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].diskNumber, disks::kPseudoDisk);
    ASSERT_EQ(list[0].partitions.size(), 2u);
    EXPECT_EQ(list[0].partitions[0].fileSystemName, "NTFS");
    EXPECT_EQ(list[0].partitions[1].fileSystemName, "exFAT");
}

// Disks go by the numbers Windows gives them (PhysicalDriveN), not by their
// rank; volumes on no listed disk keep the drive type Windows tells.
TEST(WindowsDisks, DisksKeepWindowsNumbersAndOtherVolumesTheirDriveType)
{
    std::vector<RawDisk> disks {Disk(5, 0, {Mbr(1, 1 << 20, 10 * kGiB, 0x07)}),
                                Disk(0, 0, {Mbr(1, 1 << 20, 10 * kGiB, 0x07)}),
                                Disk(2, 0, {Mbr(1, 1 << 20, 10 * kGiB, 0x07)})};
    RawVolume network = Volume("net", "NTFS", "N:\\", 0, 0, kGiB, kGiB);
    network.numberRead = false;
    network.driveType = 2;  // DRIVE_REMOVABLE
    std::vector<disks::DiskInfo> list;
    disks::BuildDiskList(FactsFromWindows(disks, {network}), list);
    std::vector<std::uint32_t> numbers;
    for (const disks::DiskInfo& d : list)
        numbers.push_back(d.diskNumber);
    EXPECT_EQ(numbers, (std::vector<std::uint32_t> {0, 2, 5, disks::kPseudoDisk}));
    EXPECT_EQ(DiskNumbered(list, 5)->partitions[0].devicePath, PartitionDevicePath(5, 1));
    EXPECT_EQ(disks::PartitionName(5, 1), "\\\\?\\Harddisk5Partition1");
    ASSERT_EQ(list.back().partitions.size(), 1u);
    EXPECT_EQ(list.back().partitions[0].driveType, 2u);
}

// The running system's partition is marked with its version: 8 for Windows
// 8.1 (6.3), 10 for 10.0 (Windows 10 and 11), 7 for every other.
TEST(WindowsDisks, TheSystemMarkFollowsTheVersion)
{
    EXPECT_EQ(SystemMark(6, 3), 8);
    EXPECT_EQ(SystemMark(10, 0), 10);
    for (const auto& [major, minor] : std::vector<std::pair<std::uint32_t, std::uint32_t>> {
             {6, 1}, {6, 2}, {6, 0}, {5, 1}, {10, 1}, {11, 0}, {0, 0}})
        EXPECT_EQ(SystemMark(major, minor), 7) << major << "." << minor;
}
