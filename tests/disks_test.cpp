// The disk list built from device facts: numbering and order, partition
// tables, GPT type names, the merge of volumes, dynamic disks, the
// pseudo-disk, and the way from disk and partition numbers to a device.
#include "disks/Disks.h"
#include "platform/DiskFacts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

using disks::DiskInfo;
using disks::PartitionInfo;
using platform::DeviceFacts;
using platform::SystemDevices;
using platform::TableEntry;
using platform::VolumeFacts;

namespace {

DeviceFacts Disk(const std::string& name, std::uint64_t sequence, std::uint64_t sectors = 1 << 20)
{
    DeviceFacts d;
    d.name = name;
    d.node = "/dev/" + name;
    d.diskSequence = sequence;
    d.size = sectors;
    d.tableRead = true;
    return d;
}

DeviceFacts Part(const DeviceFacts& disk, std::uint32_t number, std::uint64_t start, std::uint64_t size)
{
    DeviceFacts p;
    p.disk = disk.name;
    p.name = disk.name + "p" + std::to_string(number);
    p.node = "/dev/" + p.name;
    p.partitionNumber = number;
    p.start = start;
    p.size = size;
    p.logicalSectorSize = disk.logicalSectorSize;
    return p;
}

DeviceFacts PartWith(const DeviceFacts& disk, std::uint32_t number, std::uint64_t start, std::uint64_t size,
                     const VolumeFacts& volume)
{
    DeviceFacts p = Part(disk, number, start, size);
    p.hasVolume = true;
    p.volume = volume;
    return p;
}

TableEntry Entry(std::uint32_t number, std::uint64_t start, std::uint64_t size, std::uint32_t mbrType = 7,
                 const std::string& gptType = "")
{
    TableEntry e;
    e.number = number;
    e.start = start;
    e.size = size;
    e.mbrType = gptType.empty() ? mbrType : 0;
    e.gptType = gptType;
    return e;
}

VolumeFacts Ntfs(const std::string& label, const std::string& mountPath = "")
{
    VolumeFacts v;
    v.fsType = "ntfs";
    v.label = label;
    v.uuid = "72A02948180B077E";
    v.clusterBytes = 4096;
    v.mountPath = mountPath;
    if (!mountPath.empty()) {
        v.spaceKnown = true;
        v.freeToCaller = v.freeBytes = 1000;
        v.totalBytes = 4000;
    }
    return v;
}

std::vector<DiskInfo> Build(const SystemDevices& devices)
{
    std::vector<DiskInfo> list;
    disks::BuildDiskList(devices, list);
    return list;
}

const char* kEfi = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
const char* kMsr = "e3c9e316-0b5c-4db8-817d-f92df00215ae";
const char* kRecovery = "de94bba4-06d1-4d40-a16a-bfd50179d6ac";
const char* kBasicData = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";
const char* kLdmData = "af9b60a0-1431-4f62-bc68-3311714a69ad";

}  // namespace

TEST(DiskList, OrderedByDiskNumberWithThePseudoDiskLast)
{
    SystemDevices devices;
    devices.disks = {Disk("sdb", 7), Disk("loop3", 2), Disk("sda", 5)};
    devices.others.push_back({"/images/a.img", Ntfs("A", "/mnt/a")});
    const auto list = Build(devices);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].diskNumber, 2u);
    EXPECT_EQ(list[0].devicePath, "/dev/loop3");
    EXPECT_EQ(list[1].diskNumber, 5u);
    EXPECT_EQ(list[2].diskNumber, 7u);
    EXPECT_EQ(list[0].productName, "(NULL)");

    const DiskInfo& pseudo = list[3];
    EXPECT_EQ(pseudo.diskNumber, disks::kPseudoDisk);
    EXPECT_EQ(pseudo.diskFlags, 1u);
    EXPECT_EQ(pseudo.diskSize, 0u);
    EXPECT_EQ(pseudo.productName, "");
    ASSERT_EQ(pseudo.partitions.size(), 1u);
    const PartitionInfo& image = pseudo.partitions[0];
    EXPECT_EQ(image.devicePath, "/images/a.img");
    EXPECT_EQ(image.diskNumber, -1);
    EXPECT_EQ(image.fileSystemName, "NTFS");
    EXPECT_EQ(image.serialNumber, 0x180B077Eu);
    EXPECT_EQ(image.maxComponentLength, 255u);
    EXPECT_EQ(image.deviceType, disks::kDeviceTypeDisk);
    EXPECT_EQ(image.bytesPerCluster, 4096u);
    EXPECT_EQ(image.freeBytes, 1000u);
    EXPECT_EQ(image.totalBytes, 4000u);
    EXPECT_EQ(image.driveType, disks::kDriveFixed);
    EXPECT_EQ(image.partitionStyle, 0);

    // Without sequence numbers for every disk, the rank by device number.
    devices.disks[0].diskSequence = 0;
    devices.disks[0].major = 8;
    devices.disks[0].minor = 16;
    devices.disks[1].major = 7;
    devices.disks[1].minor = 3;
    devices.disks[2].major = 8;
    devices.disks[2].minor = 0;
    const auto ranked = Build(devices);
    EXPECT_EQ(ranked[0].devicePath, "/dev/loop3");
    EXPECT_EQ(ranked[1].devicePath, "/dev/sda");
    EXPECT_EQ(ranked[2].devicePath, "/dev/sdb");
    EXPECT_EQ(ranked[2].diskNumber, 2u);

    // No volume left over: no pseudo-disk.
    devices.others.clear();
    EXPECT_EQ(Build(devices).size(), 3u);
}

TEST(DiskList, GptTypesAndTheMergeOfVolumes)
{
    SystemDevices devices;
    DeviceFacts disk = Disk("loop1", 12);
    disk.tableStyle = "gpt";
    disk.removable = true;
    disk.table = {Entry(1, 2048, 16384, 0, kEfi), Entry(2, 18432, 8192, 0, kMsr),
                  Entry(3, 26624, 65536, 0, kBasicData), Entry(4, 92160, 32768, 0, kRecovery),
                  Entry(5, 124928, 2048, 0, kLdmData)};
    devices.disks.push_back(disk);
    DeviceFacts efi = Part(disk, 1, 2048, 16384);
    efi.hasVolume = true;
    efi.volume.fsType = "vfat";
    efi.volume.fsVersion = "FAT32";
    efi.volume.uuid = "1234-ABCD";
    devices.partitions.push_back(efi);
    devices.partitions.push_back(Part(disk, 2, 18432, 8192));
    devices.partitions.push_back(PartWith(disk, 3, 26624, 65536, Ntfs("Data", "/mnt/data")));
    devices.partitions.push_back(PartWith(disk, 4, 92160, 32768, Ntfs("Recovery")));

    const auto list = Build(devices);
    ASSERT_EQ(list.size(), 1u);
    const DiskInfo& d = list[0];
    EXPECT_EQ(d.removable, 1);
    ASSERT_EQ(d.partitions.size(), 5u);

    const PartitionInfo& p1 = d.partitions[0];
    EXPECT_EQ(p1.fileSystemName, "EFI");  // the type name stays; the volume's FAT32 does not replace it
    EXPECT_EQ(p1.bootFlag, 1);
    EXPECT_EQ(p1.partitionStyle, 1);
    EXPECT_EQ(p1.devicePath, "/dev/loop1p1");
    EXPECT_EQ(disks::GuidText(p1.partitionType), "{C12A7328-F81F-11D2-BA4B-00A0C93EC93B}");
    EXPECT_EQ(p1.partitionType[0], 0x28);  // stored little-endian, as in the entry
    EXPECT_EQ(p1.partitionType[3], 0xC1);
    EXPECT_EQ(p1.partitionType[8], 0xBA);

    const PartitionInfo& msr = d.partitions[1];
    EXPECT_EQ(msr.fileSystemName, "MSR");
    EXPECT_EQ(msr.bootFlag, 0);
    EXPECT_EQ(msr.mountPath, "");
    EXPECT_EQ(msr.driveType, 0u);
    EXPECT_EQ(msr.freeBytes, msr.totalBytes);  // no volume: free is the length
    EXPECT_EQ(msr.totalBytes, 8192u * 512);

    const PartitionInfo& p3 = d.partitions[2];
    EXPECT_EQ(p3.fileSystemName, "NTFS");
    EXPECT_EQ(p3.label, "Data");
    EXPECT_EQ(p3.mountPath, "/mnt/data");
    EXPECT_EQ(p3.totalBytes, 65536u * 512);  // the partition's length, not the volume's size
    EXPECT_EQ(p3.freeBytes, 1000u);
    EXPECT_EQ(p3.bytesPerCluster, 4096u);
    EXPECT_EQ(p3.driveType, disks::kDriveRemovable);
    EXPECT_EQ(p3.startSector, 26624);
    EXPECT_EQ(p3.diskNumber, 12);
    EXPECT_EQ(p3.serialNumber, 0u);  // the merge takes no serial number

    const PartitionInfo& p4 = d.partitions[3];
    EXPECT_EQ(p4.fileSystemName, "RECOVERY");  // a matched volume does not rename it
    EXPECT_EQ(p4.label, "Recovery");
    EXPECT_EQ(p4.freeBytes, p4.totalBytes);  // not mounted: free space unknown

    EXPECT_EQ(d.partitions[4].fileSystemName, "LDM");
    EXPECT_EQ(d.partitions[4].devicePath, "");  // the kernel made no node for it
}

TEST(DiskList, MbrTablesAndDynamicDisks)
{
    SystemDevices devices;
    DeviceFacts basic = Disk("sda", 1);
    basic.tableStyle = "dos";
    basic.logicalSectorSize = 4096;
    basic.readOnly = true;
    basic.offline = true;
    basic.hasModel = true;
    basic.model = "QEMU HARDDISK   ";
    TableEntry active = Entry(1, 2048, 65536);
    active.active = true;
    TableEntry extended = Entry(2, 67584, 40960, 0x05);
    extended.container = true;
    basic.table = {active, extended, Entry(5, 69632, 20480, 0x0C)};
    devices.disks.push_back(basic);
    devices.partitions.push_back(PartWith(basic, 1, 2048, 65536, Ntfs("C", "/mnt/c")));
    devices.partitions.push_back(Part(basic, 2, 67584, 2));
    DeviceFacts p5 = Part(basic, 5, 69632, 20480);
    p5.hasVolume = true;  // mounted without a file system we know
    p5.volume.mountPath = "/mnt/raw";
    p5.volume.spaceKnown = true;
    devices.partitions.push_back(p5);

    DeviceFacts dynamic = Disk("sdb", 2);
    dynamic.tableStyle = "dos";
    dynamic.table = {Entry(1, 63, 100000, 0x42)};
    devices.disks.push_back(dynamic);
    devices.partitions.push_back(PartWith(dynamic, 1, 63, 100000, Ntfs("Spanned")));

    const auto list = Build(devices);
    ASSERT_EQ(list.size(), 3u);
    const DiskInfo& d = list[0];
    EXPECT_EQ(d.productName, "QEMU HARDDISK   ");  // trailing blanks kept
    EXPECT_EQ(d.diskFlags, (1u << 1) | (1u << 2));
    ASSERT_EQ(d.partitions.size(), 2u);  // the extended container is no partition of its own
    EXPECT_EQ(d.partitions[0].bootFlag, 1);
    EXPECT_EQ(d.partitions[0].partitionStyle, 0);
    EXPECT_EQ(d.partitions[0].startSector, 2048 / 8);  // in the disk's 4096-byte sectors
    EXPECT_EQ(d.partitions[0].fileSystemName, "NTFS");
    EXPECT_EQ(d.partitions[0].mountPath, "/mnt/c");
    EXPECT_EQ(d.partitions[0].partitionType, (std::array<std::uint8_t, 16> {}));
    EXPECT_EQ(d.partitions[1].partitionNumber, 5u);
    EXPECT_EQ(d.partitions[1].bootFlag, 0);
    EXPECT_EQ(d.partitions[1].fileSystemName, "");
    EXPECT_EQ(d.partitions[1].freeBytes, 0u);  // the merge takes the mounted volume's free bytes, 0

    const DiskInfo& dyn = list[1];
    EXPECT_EQ(dyn.diskFlags & 1, 1u);
    ASSERT_EQ(dyn.partitions.size(), 1u);
    EXPECT_EQ(dyn.partitions[0].diskNumber, -1);
    EXPECT_EQ(dyn.partitions[0].label, "");  // the volume is not taken into the partition
    EXPECT_EQ(dyn.partitions[0].fileSystemName, "");

    const DiskInfo& pseudo = list[2];
    EXPECT_EQ(pseudo.diskNumber, disks::kPseudoDisk);
    ASSERT_EQ(pseudo.partitions.size(), 1u);
    EXPECT_EQ(pseudo.partitions[0].devicePath, "/dev/sdbp1");
    EXPECT_EQ(pseudo.partitions[0].label, "Spanned");
    EXPECT_EQ(pseudo.partitions[0].diskNumber, -1);
}

TEST(DiskList, UnreadableTablesAndWholeDiskFileSystems)
{
    SystemDevices devices;
    // The table could not be read (no permission): the kernel's partitions, style RAW.
    DeviceFacts locked = Disk("sdc", 3);
    locked.tableRead = false;
    devices.disks.push_back(locked);
    devices.partitions.push_back(Part(locked, 1, 2048, 4096));
    devices.partitions.push_back(Part(locked, 2, 8192, 2));  // an extended container, as the kernel shows it
    devices.partitions.push_back(Part(locked, 5, 10240, 4096));
    // A file system on the whole disk: partition 0.
    DeviceFacts stick = Disk("sdd", 4, 8192);
    stick.hotplug = true;
    stick.hasVolume = true;
    stick.volume.fsType = "exfat";
    stick.volume.label = "STICK";
    stick.volume.uuid = "1234-ABCD";
    devices.disks.push_back(stick);
    // A blank disk: no partitions.
    devices.disks.push_back(Disk("sde", 5));

    const auto list = Build(devices);
    ASSERT_EQ(list.size(), 3u);
    ASSERT_EQ(list[0].partitions.size(), 2u);
    EXPECT_EQ(list[0].partitions[1].partitionNumber, 5u);
    EXPECT_EQ(list[0].partitions[0].partitionStyle, 2);
    EXPECT_EQ(list[0].partitions[0].devicePath, "/dev/sdcp1");
    EXPECT_EQ(list[0].partitions[0].startSector, 2048);

    EXPECT_EQ(list[1].removable, 1);
    ASSERT_EQ(list[1].partitions.size(), 1u);
    const PartitionInfo& whole = list[1].partitions[0];
    EXPECT_EQ(whole.partitionNumber, 0u);
    EXPECT_EQ(whole.devicePath, "/dev/sdd");
    EXPECT_EQ(whole.fileSystemName, "exFAT");
    EXPECT_EQ(whole.label, "STICK");
    EXPECT_EQ(whole.totalBytes, 8192u * 512);
    EXPECT_EQ(whole.driveType, disks::kDriveFixed);  // removable media, not merely hot-plug, is drive type 2

    EXPECT_TRUE(list[2].partitions.empty());
}

TEST(DiskList, ResolvesDiskAndPartitionNumbers)
{
    SystemDevices devices;
    DeviceFacts disk = Disk("loop4", 20);
    disk.tableStyle = "gpt";
    disk.table = {Entry(1, 2048, 4096, 0, kBasicData), Entry(2, 8192, 4096, 0, kBasicData)};
    devices.disks.push_back(disk);
    devices.partitions.push_back(Part(disk, 1, 2048, 4096));
    devices.others.push_back({"/images/a.img", Ntfs("A")});
    devices.others.push_back({"/dev/dm-0", Ntfs("B")});
    // Image files offered by name come on a disk of their own, before the
    // pseudo-disk, with their sizes and their paths where no mount is.
    devices.images.push_back({"/cases/one.img", Ntfs("ONE"), 1u << 20});
    devices.images.push_back({"/cases/two.img", Ntfs("TWO", "/mnt/two"), 3u << 20});
    const auto list = Build(devices);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].diskNumber, disks::kImageDisk);
    EXPECT_EQ(list[1].diskSize, 4u << 20);
    ASSERT_EQ(list[1].partitions.size(), 2u);
    EXPECT_EQ(list[1].partitions[0].mountPath, "/cases/one.img");
    EXPECT_EQ(list[1].partitions[0].totalBytes, 1u << 20);
    EXPECT_EQ(list[1].partitions[0].label, "ONE");
    EXPECT_EQ(list[1].partitions[1].mountPath, "/mnt/two");
    EXPECT_EQ(list[1].partitions[1].partitionNumber, 2u);
    EXPECT_EQ(list[2].diskNumber, disks::kPseudoDisk);

    std::string path, reason;
    EXPECT_TRUE(disks::ResolvePartition(list, 20, 1, path, reason));
    EXPECT_EQ(path, "/dev/loop4p1");
    EXPECT_TRUE(disks::ResolvePartition(list, 20, 0, path, reason));
    EXPECT_EQ(path, "/dev/loop4");
    EXPECT_TRUE(disks::ResolvePartition(list, disks::kPseudoDisk, 2, path, reason));
    EXPECT_EQ(path, "/dev/dm-0");

    EXPECT_FALSE(disks::ResolvePartition(list, 20, 2, path, reason));  // in the table, no node
    EXPECT_NE(reason.find("partx"), std::string::npos);
    EXPECT_FALSE(disks::ResolvePartition(list, 20, 3, path, reason));
    EXPECT_FALSE(disks::ResolvePartition(list, 21, 1, path, reason));
    EXPECT_FALSE(disks::ResolvePartition(list, disks::kPseudoDisk, 0, path, reason));
    EXPECT_FALSE(disks::ResolvePartition(list, disks::kPseudoDisk, 3, path, reason));
    EXPECT_TRUE(disks::ResolvePartition(list, disks::kImageDisk, 2, path, reason));
    EXPECT_EQ(path, "/cases/two.img");
    EXPECT_FALSE(disks::ResolvePartition(list, disks::kImageDisk, 3, path, reason));
    EXPECT_NE(reason.find("image files"), std::string::npos);
}

// Names that vanish between the listing and the reading (a loop device
// detached meanwhile) are skipped; the other devices are read whole.
TEST(DiskFacts, DevicesThatAreGoneLeaveTheRestWhole)
{
    if (::geteuid() != 0 || std::system("command -v losetup >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and losetup to attach loop devices";
    char image[] = "/tmp/quenlar-disk-XXXXXX";
    const int fd = ::mkstemp(image);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 8 << 20), 0);
    ::close(fd);
    auto attach = [&]() {
        std::string node;
        FILE* out = ::popen(("losetup -f --show " + std::string(image)).c_str(), "r");
        char line[64] = {};
        if (out != nullptr && std::fgets(line, sizeof line, out) != nullptr)
            node = line;
        if (out != nullptr)
            ::pclose(out);
        while (!node.empty() && node.back() == '\n')
            node.pop_back();
        return node;
    };
    const std::string kept = attach();
    const std::string gone = attach();
    if (kept.empty() || gone.empty()) {
        ::unlink(image);
        GTEST_SKIP() << "no free loop device";
    }
    ASSERT_EQ(std::system(("losetup -d " + gone).c_str()), 0);

    const std::string keptName = kept.substr(5);
    const platform::SystemDevices devices =
        platform::ReadSystemDevices({gone.substr(5), "no-such-device", "../loop0", keptName});
    std::system(("losetup -d " + kept).c_str());
    ::unlink(image);

    // Other tests attach loop devices at the same time, and the kernel
    // hands out the lowest free number: the detached name may already
    // belong to one of theirs. It may then be listed; nothing else may.
    std::vector<platform::DeviceFacts> listed;
    for (const platform::DeviceFacts& disk : devices.disks)
        if (disk.name != gone.substr(5))
            listed.push_back(disk);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, keptName);
    EXPECT_EQ(listed[0].size, (8u << 20) / 512);
    EXPECT_TRUE(listed[0].tableRead);
    EXPECT_EQ(listed[0].tableStyle, "");
}
