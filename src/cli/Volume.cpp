#include "cli/Commands.h"

#include "jobs/ScanJobs.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "volume/VolumeScanner.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool OpenVolume(const std::string& path, scan::VolumeScanner& volume, bool byContent)
{
    // A mount point stands for the device mounted there; a partition name as
    // the UI writes it, for its device.
    std::string unresolved;
    const int status = jobs::OpenNamedVolume(volume, path, &unresolved);
    if (!unresolved.empty()) {
        std::fprintf(stderr, "quenlar: %s\n", unresolved.c_str());
        return false;
    }
    const std::string& device = volume.DeviceNode();
    if (status == scan::kOpenNoDevice) {
        std::fprintf(stderr, "quenlar: cannot open '%s': %s\n", device.c_str(),
                     platform::DescribeOpenError(volume.OpenFailure()));
        return false;
    }
    if (status == scan::kOpenNoFirstSector) {
        if (volume.SystemError() != 0)
            std::fprintf(stderr, "quenlar: cannot read the first sector of '%s': %s\n", device.c_str(),
                         std::strerror(volume.SystemError()));
        else
            std::fprintf(stderr, "quenlar: '%s' is empty or shorter than one 512-byte sector\n", device.c_str());
        return false;
    }
    if (volume.FileSystem() == scan::kUnknownFileSystem) {
        if (byContent) {
            std::fprintf(stderr,
                         "quenlar: '%s' holds no NTFS, FAT32 or exFAT file system at its start: the deep scan looks "
                         "through all of it for files by their content (they have no names or folders left)\n",
                         device.c_str());
            return true;
        }
        std::fprintf(stderr,
                     "quenlar: '%s' holds no NTFS, FAT32 or exFAT file system at its start; if it is a whole disk, "
                     "'quenlar partitions %s' looks for the volumes on it, and 'quenlar scan --deep %s' for files "
                     "by their content\n",
                     device.c_str(), device.c_str(), device.c_str());
        return false;
    }
    if (!volume.GeometryValid()) {
        std::fprintf(stderr, "quenlar: the %s boot sector of '%s' is damaged: %s%s\n",
                     scan::FileSystemName(volume.FileSystem()), device.c_str(), volume.GeometryProblem().c_str(),
                     byContent ? "; the deep scan looks through all of it for files by their content" : "");
        return byContent;
    }
    return true;
}

int ReportScanFaults(const scan::VolumeScanner& volume, std::uint64_t unreadableSectors, int exitCode)
{
    const std::vector<std::string> faults = volume.Faults().List();
    for (const std::string& fault : faults)
        std::fprintf(stderr, "quenlar: %s\n", fault.c_str());
    if (!faults.empty() && exitCode == kExitOk)
        exitCode = kExitFailed;
    return ReportUnreadable(unreadableSectors, exitCode);
}

int ReportUnreadable(std::uint64_t sectors, int exitCode)
{
    if (sectors == 0)
        return exitCode;
    std::fprintf(stderr,
                 "quenlar: %llu sector%s (%.1f MiB) could not be read; what they held is missing from the results "
                 "(Recovery.log says where they are)\n",
                 static_cast<unsigned long long>(sectors), sectors == 1 ? "" : "s",
                 static_cast<double>(sectors) * 512 / (1 << 20));
    return exitCode == kExitOk ? kExitFailed : exitCode;
}

}  // namespace cli
