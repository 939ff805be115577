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

    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(volume.m_sectorsPerCluster) * 512;
    const bool ntfs = volume.m_fileSystemType == scan::kNtfs;
    if (options.json) {
        JsonObject out;
        out.Add("volume", options.volume)
            .Add("fileSystem", scan::FileSystemName(volume.m_fileSystemType))
            .Add("fileSystemType", volume.m_fileSystemType)
            .Add("volumeSectors", volume.m_volumeSize)
            .Add("bytesPerSector", volume.m_bytesPerSector)
            .Add("sectorsPerCluster", volume.m_sectorsPerCluster)
            .Add("clusterBytes", clusterBytes);
        if (volume.m_declaredVolumeSize != 0)
            out.Add("declaredVolumeSectors", volume.m_declaredVolumeSize);
        if (ntfs) {
            std::string runs = "[";
            for (const scan::DataRun& run : volume.m_mftRuns) {
                if (runs.size() > 1)
                    runs += ",";
                runs += JsonObject()
                            .Add("lcn", static_cast<std::int64_t>(run.lcn))
                            .Add("vcn", run.vcn)
                            .Add("length", run.length)
                            .Text();
            }
            out.Add("recordBytes", volume.m_recordBytes)
                .Add("mftCluster", volume.m_mftCluster)
                .AddRaw("mftRuns", runs + "]");
        } else {
            out.Add("fatEntries", static_cast<std::uint64_t>(volume.m_fat.size()));
        }
        std::printf("%s\n", out.Text().c_str());
        return ReportScanFaults(volume, volume.m_unreadableSectors, kExitOk);
    }

    std::printf("Volume:              %s\n", options.volume.c_str());
    std::printf("File system:         %s\n", scan::FileSystemName(volume.m_fileSystemType));
    std::printf("Volume size:         %" PRIu64 " sectors (%" PRIu64 " bytes)\n", volume.m_volumeSize,
                volume.m_volumeSize * 512);
    if (volume.m_declaredVolumeSize != 0)
        std::printf("                     the boot sector gives %" PRIu64
                    " sectors; the device holds only those above\n",
                    volume.m_declaredVolumeSize);
    std::printf("Bytes per sector:    %u\n", volume.m_bytesPerSector);
    std::printf("Sectors per cluster: %u (%" PRIu64 "-byte clusters)\n", volume.m_sectorsPerCluster, clusterBytes);
    if (ntfs) {
        std::printf("File record size:    %u bytes\n", volume.m_recordBytes);
        std::printf("$MFT cluster:        %" PRIu64 "\n", volume.m_mftCluster);
        std::printf("$MFT runs:           %zu\n", volume.m_mftRuns.size());
        std::printf("  %12s %12s %12s\n", "LCN", "VCN", "length");
        for (const scan::DataRun& run : volume.m_mftRuns)
            std::printf("  %12" PRId64 " %12u %12u\n", run.lcn, run.vcn, run.length);
    } else {
        std::printf("FAT entries:         %zu\n", volume.m_fat.size());
    }
    std::fflush(stdout);
    return ReportScanFaults(volume, volume.m_unreadableSectors, kExitOk);
}

}  // namespace cli
