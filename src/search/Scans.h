// The scans of an open volume, and the reading of what they found. The
// normal scan hands the volume to the scanner of its file system; the deep
// scan reads every sector outside the $MFT once and hands each chunk to the
// finders; a found file's bytes are read by the reader of its file system.
#pragma once

#include "volume/FileContent.h"

#include <cstdint>
#include <memory>

namespace scan {

class VolumeScanner;

// Empties the results and runs the scanner of the detected file system.
int NormalScan(VolumeScanner& volume);
// Searches the whole volume outside the $MFT, from `startSector` (0, or
// where a paused deep scan stopped). Returns a DeepScanEnd.
int DeepScan(VolumeScanner& volume, std::uint64_t startSector);

// The reader for `file`, by its file system. The volume must stay open and
// its results unchanged while the reader is used.
std::unique_ptr<FileContentReader> OpenFileContent(VolumeScanner& volume, const CBaseFileObject& file);

}  // namespace scan
