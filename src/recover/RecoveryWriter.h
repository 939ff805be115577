// Copies selected found files from the volume to a destination folder,
// recreating their folder paths and never overwriting: a name that exists
// already gets "_1", "_2", ... before its extension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scan {
class CBaseFileObject;
class VolumeScanner;
}  // namespace scan

namespace recover {

// One value of a selection: an index into the results, or a folder of the
// result tree written as a drive prefix, a backslash and the folder path
// ("E:\\docs\\old"; "E:" alone for the whole volume).
struct SelectionValue {
    enum Kind { kIndex, kFolder, kOther } kind = kOther;
    std::int64_t index = 0;
    std::string folder;

    static SelectionValue Index(std::int64_t i) { return {kIndex, i, {}}; }
    static SelectionValue Folder(std::string f) { return {kFolder, 0, std::move(f)}; }
};

constexpr std::size_t kTransferBytes = 0x4000000;  // 64 MiB

// Error numbers in the log line of a file that failed.
enum RecoverError {
    kErrorFolder = 1,  // the folder for the output file cannot be made
    kErrorCreate = 3,  // the output file cannot be created
    kErrorRead = 4,    // a read delivered no data
    kErrorWrite = 5,   // a write wrote less than given
};

struct RecoverSummary {
    std::size_t selected = 0;
    std::size_t succeeded = 0;
    std::size_t failed = 0;
    std::uint64_t bytes = 0;
    bool stopped = false;      // a stop request ended the run
    bool deviceGone = false;   // the medium went away
};

// The whole run. The destination must not be empty; on this platform it is a
// folder path with "/" separators.
RecoverSummary RecoverFiles(scan::VolumeScanner& volume, const std::vector<SelectionValue>& selection,
                            const std::string& destination);

// Makes the folders that are to hold `outputPath`; true when they exist.
bool EnsureParentFolders(const std::string& outputPath);

// A name from the volume made safe to be one path component: "." and ".."
// and names holding a separator or NUL cannot lead outside the destination.
std::string SafeComponent(const std::string& name);

// Bytes of the file from `offset` on, at most 64 MiB and at most what is left
// of the file; 0 when there is no data.
std::size_t ReadNtfsChunk(scan::VolumeScanner& volume, const scan::CBaseFileObject& file, std::uint8_t* buffer,
                          std::uint64_t offset);
// FAT32: the cluster chain from the file's first cluster; a file whose first
// FAT entry is free (deleted) is read as one contiguous run.
std::size_t ReadFat32Chunk(scan::VolumeScanner& volume, const scan::CBaseFileObject& file, std::uint8_t* buffer,
                           std::uint64_t offset);
// exFAT: one contiguous run, or (flag 1 on the first extent) the FAT chain.
std::size_t ReadExfatChunk(scan::VolumeScanner& volume, const scan::CBaseFileObject& file, std::uint8_t* buffer,
                           std::uint64_t offset);

}  // namespace recover
