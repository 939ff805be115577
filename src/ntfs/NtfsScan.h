// The NTFS scanners: the normal scan of the $MFT, and the finder of stray
// file records that the deep scan's pass hands every chunk it reads. Each
// appends FoundFile records to the volume's results and tests the stop
// request; none touches the store or a front end.
#pragma once

#include "volume/FileContent.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace scan {

class VolumeScanner;
struct NtfsPathState;

// Walks the $MFT through its data runs. 0 done or stopped, 1 out of memory.
int NtfsNormalScan(VolumeScanner& volume);
// The reader of a found NTFS file's bytes: its runs with their holes, LZNT1
// compression, or data resident in its record.
std::unique_ptr<FileContentReader> OpenNtfsContent(VolumeScanner& volume, const CBaseFileObject& file);

// The $Bitmap of the volume (record 6): bit c set when cluster c is in use.
// False, with the reason, when it cannot be had whole.
bool ReadNtfsAllocation(VolumeScanner& volume, std::vector<std::uint8_t>& bits, std::string& why);

// Looks for stray records in `bytes` read from `firstSector`: at every 512
// bytes a record may begin, of the size its own header gives, so that the
// records of an earlier file system are found whatever their size. Returns
// the offset of a record that runs past the end of the bytes (the next read
// should start there), or of the first record left unread because a stop was
// requested (a resumed scan goes on there), or `bytes`.
std::size_t FindStrayRecords(VolumeScanner& volume, NtfsPathState& paths, std::uint8_t* buffer, std::size_t bytes,
                             std::uint64_t firstSector);
// Gives every stray record still waiting for its folder the path it can
// have, once the whole volume was read. The caller holds the results lock.
void ResolveStrayPaths(VolumeScanner& volume, NtfsPathState& paths);

}  // namespace scan
