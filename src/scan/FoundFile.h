// One file or folder found by a scan, with the runs of sectors that hold it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scan {

// What kind of file system a volume or a found file belongs to.
enum FileSystemType : std::int32_t {
    kFat32 = 0,
    kNtfs = 1,
    kExfat = 2,
    kUnknownFileSystem = 3,
};

const char* FileSystemName(std::int32_t type);

// Where a found file's entry stands.
enum ExistType : std::uint8_t {
    kExistUnset = 0,
    kExistInUse = 10,
    kExistDeleted = 20,
    kExistLost = 30,  // found through a stray record, or its parent chain is gone
};

// One run of a found file. Sectors count 512-byte units from the start of the
// opened volume.
struct FileExtent {
    std::uint64_t startSector = 0;
    std::uint64_t sectorCount = 0;
    // 0: plain run of sectors. 1: read through the file system: NTFS, the data
    // is resident in the 1024-byte record at startSector (count 2); exFAT, the
    // clusters follow the FAT chain from the cluster holding startSector.
    std::uint8_t isPersist = 0;

    bool operator==(const FileExtent&) const = default;
};

class CBaseFileObject {
public:
    CBaseFileObject() = default;
    virtual ~CBaseFileObject() = default;

    // Splits the full name at its last dot into `name` and `suffix`.
    void SetName(std::u16string_view fullName);
    void SetNameUtf8(std::string_view fullName);
    std::u16string FullName() const;
    std::string FullNameUtf8() const;

    std::uint32_t m_inTree = 0;      // placed in the folder tree
    std::uint32_t m_located = 0;     // FAT32/exFAT: the first sector is known
    std::uint64_t m_dirHint = 0;     // FAT32/exFAT: directory cluster read last
    std::string name;                // UTF-8, without the last extension
    std::string suffix;              // UTF-8, after the last dot
    std::uint64_t m_latestTime = 0;  // FILETIME, the latest the entry offers
    std::string m_filePath = "/";    // "A\\B\\"; "" for the root; "/" not resolved yet
    std::uint64_t m_fileSize = 0;
    std::int32_t m_isDirectory = 3;  // 0 file, 1 folder, 3 not set
    std::vector<FileExtent> extents;
    std::uint32_t m_fileNo = 0;      // NTFS record number
    std::uint8_t m_existType = kExistUnset;
    std::int32_t m_fileSystemType = kUnknownFileSystem;
};

using FoundFile = CBaseFileObject;

}  // namespace scan
