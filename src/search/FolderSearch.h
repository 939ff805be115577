// The deep scan's search for old folders of a FAT32 or exFAT volume: the
// clusters of folders its directory tree no longer reaches (a quick format
// leaves them all behind), found by what they hold, and the files in them.
#pragma once

#include "search/Finder.h"

#include <memory>

namespace scan {

class VolumeScanner;

// The search for `volume`'s file system; nullptr for one that keeps no
// such folders (NTFS) or whose geometry is unusable.
std::unique_ptr<ChunkFinder> MakeFolderSearch(VolumeScanner& volume);

}  // namespace scan
