// The scans of an open volume. The normal scan hands the volume to the
// scanner of its file system; the deep scan reads every sector outside the
// $MFT once and hands each chunk to the finders.
#pragma once

#include <cstdint>

namespace scan {

class VolumeScanner;

// Empties the results and runs the scanner of the detected file system.
int NormalScan(VolumeScanner& volume);
// Searches the whole volume outside the $MFT, from `startSector` (0, or
// where a paused deep scan stopped). Returns a DeepScanEnd.
int DeepScan(VolumeScanner& volume, std::uint64_t startSector);

}  // namespace scan
