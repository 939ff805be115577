#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Terminal.h"

#include "disks/Disks.h"

#include <cinttypes>
#include <cstdio>

namespace cli {
namespace {

std::string Size(std::uint64_t bytes)
{
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string PartitionJson(const disks::PartitionInfo& p)
{
    return JsonObject()
        .Add("devicePath", p.devicePath)
        .Add("label", p.label)
        .Add("serialNumber", p.serialNumber)
        .Add("maxComponentLength", p.maxComponentLength)
        .Add("fileSystemFlags", p.fileSystemFlags)
        .Add("fileSystemName", p.fileSystemName)
        .Add("mountPath", p.mountPath)
        .Add("freeBytesToCaller", p.freeBytesToCaller)
        .Add("totalBytes", p.totalBytes)
        .Add("freeBytes", p.freeBytes)
        .Add("diskNumber", p.diskNumber)
        .Add("deviceType", p.deviceType)
        .Add("partitionNumber", p.partitionNumber)
        .Add("startSector", static_cast<std::int64_t>(p.startSector))
        .Add("bytesPerCluster", p.bytesPerCluster)
        .Add("partitionStyle", p.partitionStyle)
        .Add("flagByte", static_cast<unsigned>(p.flagByte))
        .Add("bootFlag", static_cast<unsigned>(p.bootFlag))
        .Add("systemMark", static_cast<unsigned>(p.systemMark))
        .Add("partitionType", disks::GuidText(p.partitionType))
        .Add("driveType", p.driveType)
        .Text();
}

std::string DiskJson(const disks::DiskInfo& d)
{
    std::string partitions = "[";
    for (const disks::PartitionInfo& p : d.partitions) {
        if (partitions.size() > 1)
            partitions += ",";
        partitions += PartitionJson(p);
    }
    return JsonObject()
        .Add("removable", d.removable)
        .Add("diskNumber", d.diskNumber)
        .Add("diskFlags", d.diskFlags)
        .Add("productName", d.productName)
        .Add("diskSize", d.diskSize)
        .AddRaw("partitions", partitions + "]")
        .Add("devicePath", d.devicePath)
        .Text();
}

void PrintDisk(const disks::DiskInfo& d)
{
    if (d.diskNumber == disks::kPseudoDisk) {
        std::printf("Other volumes (on no listed disk; --disk %u --partition N counts them from 1)\n", d.diskNumber);
    } else {
        std::string flags;
        if (d.removable != 0)
            flags += ", removable";
        if ((d.diskFlags & 1) != 0)
            flags += ", dynamic";
        if ((d.diskFlags & 2) != 0)
            flags += ", offline";
        if ((d.diskFlags & 4) != 0)
            flags += ", read-only";
        std::printf("Disk %u  %s  %s  \"%s\"%s\n", d.diskNumber, Printable(d.devicePath).c_str(),
                    Size(d.diskSize).c_str(), Printable(d.productName).c_str(), flags.c_str());
    }
    std::size_t position = 0;
    for (const disks::PartitionInfo& p : d.partitions) {
        ++position;
        const std::uint32_t number =
            d.diskNumber == disks::kPseudoDisk ? static_cast<std::uint32_t>(position) : p.partitionNumber;
        std::string line = "  " + std::to_string(number) + "  " + (p.devicePath.empty() ? "(no node)" : p.devicePath);
        line += "  " + Size(p.totalBytes);
        if (d.diskNumber != disks::kPseudoDisk)
            line += "  start " + std::to_string(p.startSector);
        line += "  " + (p.fileSystemName.empty() ? std::string("-") : p.fileSystemName);
        if (!p.label.empty())
            line += "  \"" + p.label + "\"";
        if (p.bootFlag != 0)
            line += "  boot";
        if (!p.mountPath.empty())
            line += "  on " + p.mountPath + ", " + Size(p.freeBytes) + " free";
        std::printf("%s\n", Printable(line).c_str());
    }
}

}  // namespace

int RunDisks(const DisksOptions& options)
{
    std::vector<disks::DiskInfo> list;
    disks::EnumerateDisks(list);
    if (options.json) {
        std::string out = "[";
        for (const disks::DiskInfo& d : list) {
            if (out.size() > 1)
                out += ",\n";
            out += DiskJson(d);
        }
        std::printf("%s]\n", out.c_str());
        return kExitOk;
    }
    if (list.empty())
        std::printf("No disks found.\n");
    for (const disks::DiskInfo& d : list)
        PrintDisk(d);
    return kExitOk;
}

bool ResolveDiskPartition(std::uint32_t disk, std::uint32_t partition, std::string& devicePath)
{
    std::vector<disks::DiskInfo> list;
    disks::EnumerateDisks(list);
    std::string reason;
    if (disks::ResolvePartition(list, disk, partition, devicePath, reason))
        return true;
    std::fprintf(stderr, "quenlar: %s\n", reason.c_str());
    return false;
}

}  // namespace cli
