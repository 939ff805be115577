#include "search/Scans.h"

#include "base/Log.h"
#include "fat/FatScan.h"
#include "ntfs/NtfsScan.h"
#include "search/Evidence.h"
#include "volume/FileContent.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <mutex>
#include <string>

namespace scan {

// The pass of the deep scan (DeepScan.cpp).
int DeepPass(VolumeScanner& volume, std::uint64_t startSector);

namespace {

constexpr std::size_t kSectorBytes = 512;

// Says how many results have data past the end of a device shorter than its
// volume.
void NoteFilesPastEnd(VolumeScanner& volume)
{
    const std::uint64_t deviceEnd = volume.DeviceSectors();
    if (deviceEnd == 0 || volume.m_declaredVolumeSize == 0)
        return;  // the device holds the whole volume
    std::size_t files = 0;
    {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        for (const auto& f : volume.m_results) {
            for (const FileExtent& e : f->extents) {
                if (e.startSector + e.sectorCount > deviceEnd) {
                    ++files;
                    break;
                }
            }
        }
    }
    if (files != 0)
        volume.m_faults.Add(std::to_string(files) + (files == 1 ? " found file has" : " found files have") +
                     " data past the end of the device: " + (files == 1 ? "it" : "they") +
                     " cannot be recovered whole");
}

}  // namespace

int NormalScan(VolumeScanner& volume)
{
    volume.m_scanMode = kScanNormal;
    volume.m_sideReadBudget = std::max(VolumeScanner::kMinSideReadBudget, volume.m_volumeSize * kSectorBytes);
    {
        std::lock_guard<std::mutex> lock(volume.m_lock);
        volume.m_results.clear();
    }
    if (!volume.m_geometryValid)
        return 0;
    switch (volume.m_fileSystemType) {
    case kNtfs:
        base::LogLess("Normal scan %s is NTFS!", volume.m_devicePath.c_str());
        NtfsNormalScan(volume);
        break;
    case kExfat:
        base::LogLess("Normal scan %s is ExFat!", volume.m_devicePath.c_str());
        WalkExfatDirectory(volume, "", volume.m_exfat.rootCluster, false);
        break;
    case kFat32:
        base::LogLess("Normal scan %s is Fat32!", volume.m_devicePath.c_str());
        Fat32Scan(volume);
        break;
    default:
        break;
    }
    NoteFilesPastEnd(volume);
    AssessResults(volume);
    base::LogLess("Normal scan of %s read %llu bytes in %llu reads", volume.m_devicePath.c_str(),
                  static_cast<unsigned long long>(volume.m_bytesRead.load()), static_cast<unsigned long long>(volume.m_reads.load()));
    return 0;
}

int DeepScan(VolumeScanner& volume, std::uint64_t startSector)
{
    volume.m_sideReadBudget = std::max(VolumeScanner::kMinSideReadBudget, volume.m_volumeSize * kSectorBytes);
    const int end = DeepPass(volume, startSector);
    NoteFilesPastEnd(volume);
    AssessResults(volume);
    base::LogLess("Deep scan of %s: %llu bytes read in %llu reads since the volume was opened",
                  volume.m_devicePath.c_str(), static_cast<unsigned long long>(volume.m_bytesRead.load()),
                  static_cast<unsigned long long>(volume.m_reads.load()));
    return end;
}

std::unique_ptr<FileContentReader> OpenFileContent(VolumeScanner& volume, const CBaseFileObject& file)
{
    // A volume of no file system that can be read (none known, or its boot
    // sector damaged): what it holds was found by its content alone, each
    // file in one run from its first sector.
    if ((!volume.m_geometryValid || file.m_fileSystemType == kUnknownFileSystem) && file.m_isDirectory == kKindFile &&
        file.extents.size() == 1 && FoundByContent(file))
        return MappedContent(volume, file, ContentMap({{0, file.m_fileSize, file.extents.front().startSector, false}}),
                             0);
    switch (file.m_fileSystemType) {
    case kNtfs: return OpenNtfsContent(volume, file);
    case kFat32: return OpenFat32Content(volume, file);
    case kExfat: return OpenExfatContent(volume, file);
    default: return NoContent(volume, file, kFaultNoData);
    }
}

}  // namespace scan
