// The NTFS normal scan (the $MFT through its runs) and the deep record scan.
// The record walk is not part of this build yet: both find nothing.
#include "scan/Scanners.h"

namespace scan {

int NtfsNormalScan(VolumeScanner& /*volume*/)
{
    return 0;
}

int NtfsDeepScan(VolumeScanner& /*volume*/, std::uint64_t /*startSector*/)
{
    return 0;
}

}  // namespace scan
