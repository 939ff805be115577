// The deep scan's search for files by their content alone: at every
// cluster start of space that no file found so far claims, a file of a kind
// whose end its own structure gives begins a result, followed through the
// bytes as the pass reads them to that end. Results go under
// "Found by content\", in a folder per category, named by what they say of
// themselves where they do (the date a photo was taken, a PDF's title).
#pragma once

#include "search/Finder.h"

#include <memory>

namespace scan {

class VolumeScanner;

// The search for `volume`, in a pass from `startSector` (where a paused one
// stopped, or 0); by clusters of its file system, or by sectors when its
// geometry is unusable. nullptr when the deep scan is asked not to search
// by content.
std::unique_ptr<ChunkFinder> MakeContentSearch(VolumeScanner& volume, std::uint64_t startSector);

}  // namespace scan
