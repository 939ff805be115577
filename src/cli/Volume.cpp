#include "cli/Commands.h"

#include "scan/VolumeScanner.h"

#include <cstdio>
#include <cstring>

namespace cli {

bool OpenVolume(const std::string& path, scan::VolumeScanner& volume)
{
    const int status = volume.Open(path);
    if (status == scan::kOpenNoDevice) {
        std::fprintf(stderr, "quenlar: cannot open '%s': %s\n", path.c_str(),
                     platform::DescribeOpenError(volume.m_openError));
        return false;
    }
    if (status == scan::kOpenNoFirstSector) {
        if (volume.m_systemError != 0)
            std::fprintf(stderr, "quenlar: cannot read the first sector of '%s': %s\n", path.c_str(),
                         std::strerror(volume.m_systemError));
        else
            std::fprintf(stderr, "quenlar: '%s' is empty or shorter than one 512-byte sector\n", path.c_str());
        return false;
    }
    if (volume.m_fileSystemType == scan::kUnknownFileSystem) {
        std::fprintf(stderr, "quenlar: '%s' holds no NTFS, FAT32 or exFAT file system\n", path.c_str());
        return false;
    }
    if (!volume.m_geometryValid) {
        std::fprintf(stderr, "quenlar: the %s boot sector of '%s' is damaged: %s\n",
                     scan::FileSystemName(volume.m_fileSystemType), path.c_str(), volume.m_geometryProblem.c_str());
        return false;
    }
    return true;
}

}  // namespace cli
