// The FAT32 directory walk with deleted entries and the start search.
// Not part of this build yet: the scan finds nothing.
#include "scan/Scanners.h"

namespace scan {

int Fat32Scan(VolumeScanner& /*volume*/)
{
    return 0;
}

}  // namespace scan
