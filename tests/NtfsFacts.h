// What the NTFS record tests ask of a record, through what a scan derives
// from it.
#pragma once

#include "ntfs/RecordFacts.h"

#include <vector>

namespace testing_ntfs {

inline std::uint64_t FileSize(scan::VolumeScanner& volume, scan::RecordView record)
{
    return scan::DescribeData(volume, record, 0).size;
}

// The file's runs as volume sectors.
inline std::vector<scan::FileExtent> BuildExtents(scan::VolumeScanner& volume, scan::RecordView record,
                                                  std::uint64_t recordSector)
{
    const scan::ExtentList extents = scan::DescribeData(volume, record, recordSector).extents;
    return std::vector<scan::FileExtent>(extents.begin(), extents.end());
}

}  // namespace testing_ntfs
