#include "cli/Commands.h"
#include "cli/Json.h"

#include "volume/VolumeScanner.h"

#include <cinttypes>
#include <cstdio>

namespace cli {

int RunProbe(const ProbeOptions& options)
{
    scan::VolumeScanner volume;
    if (!OpenVolume(options.volume, volume))
        return kExitFailed;

    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(volume.SectorsPerCluster()) * 512;
    const bool ntfs = volume.FileSystem() == scan::kNtfs;
    if (options.json) {
        JsonObject out;
        out.Add("volume", options.volume)
            .Add("fileSystem", scan::FileSystemName(volume.FileSystem()))
            .Add("fileSystemType", volume.FileSystem())
            .Add("volumeSectors", volume.VolumeSectors())
            .Add("bytesPerSector", volume.BytesPerSector())
            .Add("sectorsPerCluster", volume.SectorsPerCluster())
            .Add("clusterBytes", clusterBytes);
        if (volume.DeclaredVolumeSize() != 0)
            out.Add("declaredVolumeSectors", volume.DeclaredVolumeSize());
        if (ntfs) {
            std::string runs = "[";
            for (const scan::DataRun& run : volume.MftRuns()) {
                if (runs.size() > 1)
                    runs += ",";
                runs += JsonObject()
                            .Add("lcn", static_cast<std::int64_t>(run.lcn))
                            .Add("vcn", run.vcn)
                            .Add("length", run.length)
                            .Text();
            }
            out.Add("recordBytes", volume.RecordBytes())
                .Add("mftCluster", volume.MftCluster())
                .AddRaw("mftRuns", runs + "]");
        } else {
            out.Add("fatEntries", static_cast<std::uint64_t>(volume.FatEntries()));
        }
        std::printf("%s\n", out.Text().c_str());
        return ReportScanFaults(volume, volume.UnreadableSectors(), kExitOk);
    }

    std::printf("Volume:              %s\n", options.volume.c_str());
    std::printf("File system:         %s\n", scan::FileSystemName(volume.FileSystem()));
    std::printf("Volume size:         %" PRIu64 " sectors (%" PRIu64 " bytes)\n", volume.VolumeSectors(),
                volume.VolumeSectors() * 512);
    if (volume.DeclaredVolumeSize() != 0)
        std::printf("                     the boot sector gives %" PRIu64
                    " sectors; the device holds only those above\n",
                    volume.DeclaredVolumeSize());
    std::printf("Bytes per sector:    %u\n", volume.BytesPerSector());
    std::printf("Sectors per cluster: %u (%" PRIu64 "-byte clusters)\n", volume.SectorsPerCluster(), clusterBytes);
    if (ntfs) {
        std::printf("File record size:    %u bytes\n", volume.RecordBytes());
        std::printf("$MFT cluster:        %" PRIu64 "\n", volume.MftCluster());
        std::printf("$MFT runs:           %zu\n", volume.MftRuns().size());
        std::printf("  %12s %12s %12s\n", "LCN", "VCN", "length");
        for (const scan::DataRun& run : volume.MftRuns())
            std::printf("  %12" PRId64 " %12u %12u\n", run.lcn, run.vcn, run.length);
    } else {
        std::printf("FAT entries:         %zu\n", volume.FatEntries());
    }
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.UnreadableSectors(), kExitOk);
}

}  // namespace cli
