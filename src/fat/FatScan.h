// The FAT32 and exFAT scanners: directory walks from the root, deleted
// entries included. Each appends FoundFile records to the volume's results
// and tests the stop request; none touches the store or a front end.
#pragma once

#include "volume/FileContent.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace scan {

class VolumeScanner;

// Walks the FAT32 directory tree from the root, deleted entries included.
int Fat32Scan(VolumeScanner& volume);
// Walks one exFAT folder and, recursively, the folders in it: from the root
// (onlyIfFree false), or a deleted folder (onlyIfFree true: only clusters the
// allocation bitmap shows free are read).
void WalkExfatDirectory(VolumeScanner& volume, const std::string& folderPath, std::uint32_t firstCluster,
                        bool onlyIfFree);

// The allocation bitmap of an exFAT volume, read from its entry in the root
// folder: bit c - 2 set when cluster c is in use. False, with the reason,
// when it cannot be had whole.
bool ReadExfatAllocation(VolumeScanner& volume, std::vector<std::uint8_t>& bits, std::string& why);

// The readers of a found file's bytes: its cluster chain, followed once when
// the reader is opened (a deleted file, whose chain is gone, is taken as
// contiguous; an exFAT file may say its clusters follow one another).
std::unique_ptr<FileContentReader> OpenFat32Content(VolumeScanner& volume, const CBaseFileObject& file);
std::unique_ptr<FileContentReader> OpenExfatContent(VolumeScanner& volume, const CBaseFileObject& file);

}  // namespace scan
