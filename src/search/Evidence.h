// The evidence pass over a volume's results: which of each file's clusters
// the file system now marks in use, which it shares with other found files,
// what lies past the end; then the verdict. And the content check, which
// reads a file's first and last bytes: on demand, or as a pass after a scan
// that a stop request pauses.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace scan {

class CBaseFileObject;
class VolumeScanner;

// Reads which clusters the volume's file system uses now, once
// (VolumeScanner::m_allocation; not Known() when it cannot be had).
void EnsureAllocation(VolumeScanner& volume);

// Reads the volume's allocation (once) and sets the evidence and verdict of
// every result; content checks already made are kept. Takes the results
// lock.
void AssessResults(VolumeScanner& volume);

// How many clusters a file's data takes on its volume.
std::uint64_t ClustersOf(const VolumeScanner& volume, const CBaseFileObject& file);

// Checks the content of result `index` when its kind can be checked and
// that was not done yet, and judges it again. The results must not change
// meanwhile: the caller holds the results lock, or no scan runs.
void CheckResultContent(VolumeScanner& volume, std::size_t index);

// CheckResultContent for every result not checked yet, in order; ends early
// at a stop request. `done`, when given, counts the results passed.
// Returns how many were checked.
std::size_t CheckContents(VolumeScanner& volume, std::atomic<std::uint64_t>* done = nullptr);

}  // namespace scan
