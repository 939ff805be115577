// The exFAT directory walk over entry sets, in use and deleted.
// Not part of this build yet: the walk finds nothing.
#include "scan/Scanners.h"

namespace scan {

void WalkExfatDirectory(VolumeScanner& /*volume*/, const std::string& /*folderPath*/, std::uint32_t /*firstCluster*/,
                        bool /*onlyIfFree*/)
{
}

}  // namespace scan
