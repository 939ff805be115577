// quenlar partitions DISK: the volumes on a disk or disk image, whether or
// not its partition table names them, each with the name to scan it by.
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Terminal.h"

#include "found/FoundFile.h"
#include "platform/BlockDevice.h"
#include "search/PartitionSearch.h"

#include <cstdio>

namespace cli {
namespace {

std::string Megabytes(std::uint64_t sectors)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(sectors) / 2048.0);
    return text;
}

}  // namespace

int RunPartitions(const PartitionsOptions& options)
{
    platform::OpenResult opened = platform::OpenBlockDevice(options.disk);
    if (!opened.device) {
        std::fprintf(stderr, "quenlar: cannot read '%s': %s\n", Printable(options.disk).c_str(),
                     platform::DescribeOpenError(opened.error));
        return kExitFailed;
    }
    scan::PartitionSearchOptions search;
    search.everySector = options.whole;
    const std::vector<scan::FoundVolume> found = scan::SearchPartitions(*opened.device, search);
    const bool tableNamesAny = !scan::ReadPartitionTables(*opened.device).empty();

    if (options.json) {
        std::string out = "[";
        for (const scan::FoundVolume& v : found) {
            if (out.size() > 1)
                out += ",";
            out += JsonObject()
                       .Add("volume", platform::VolumeAtName(options.disk, v.startSector))
                       .Add("startSector", v.startSector)
                       .Add("sectors", v.sectors)
                       .Add("fileSystem", scan::FileSystemName(v.fileSystem))
                       .Add("label", v.label)
                       .Add("inTable", v.inTable)
                       .Add("fromBackup", v.fromBackup)
                       .Add("backupAgrees", v.backupAgrees)
                       .Add("pastDisk", v.pastDisk)
                       .Add("overlaps", v.overlaps)
                       .Text();
        }
        std::printf("%s]\n", out.c_str());
        return kExitOk;
    }
    if (found.empty()) {
        std::printf("No NTFS, FAT32 or exFAT volume found on %s%s.\n", Printable(options.disk).c_str(),
                    options.whole ? "" : " where partitions begin ('--whole' looks at every sector)");
        return kExitOk;
    }
    std::printf("%12s  %12s  %-6s  %-16s  %s\n", "start", "size", "type", "label", "");
    for (const scan::FoundVolume& v : found) {
        std::string notes = v.inTable ? "in the partition table" : "found: not in the partition table";
        if (v.fromBackup)
            notes += "; its first sector is gone, its backup was used";
        if (v.pastDisk)
            notes += "; runs past the end of the disk";
        if (v.overlaps != 0)
            notes += "; overlaps another volume (one is older)";
        std::printf("%12llu  %12s  %-6s  %-16s  %s\n", static_cast<unsigned long long>(v.startSector),
                    Megabytes(v.sectors).c_str(), scan::FileSystemName(v.fileSystem),
                    Printable(v.label.empty() ? "-" : "\"" + v.label + "\"").c_str(), notes.c_str());
        std::printf("%12s  scan it: quenlar scan %s\n", "",
                    Printable(platform::VolumeAtName(options.disk, v.startSector)).c_str());
    }
    if (!tableNamesAny)
        std::printf("The disk holds no partition table.\n");
    return kExitOk;
}

}  // namespace cli
