// One file or folder found by a scan, with the runs of sectors that hold it.
#pragma once

#include "found/Evidence.h"
#include "found/FileName.h"
#include "found/FolderPath.h"

#include <cstdint>
#include <initializer_list>
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
    kExistInUse = 1,
    kExistDeleted = 2,
    kExistLost = 3,  // found through a stray record, or its parent chain is gone
};

// Whether a found entry is a file or a folder (m_isDirectory).
enum EntryKind : std::int32_t {
    kKindFile = 0,
    kKindFolder = 1,
    kKindUnknown = 3,  // not set by the scan that found it
};

// What the special flag of an extent says. Its value 1 means one thing on
// NTFS and another on exFAT; each has its name here, and the flag is stored
// as it is.
enum ExtentKind : std::uint8_t {
    kExtentPlain = 0,     // a run of sectors
    kExtentResident = 1,  // NTFS: the data lies in the file record that begins at startSector
    kExtentChained = 1,   // exFAT: the clusters follow the FAT chain from the one holding startSector
    kExtentHole = 2,      // NTFS sparse run: reads as zeros, holds no sectors
};

// One run of a found file. Sectors count 512-byte units from the start of the
// opened volume.
struct FileExtent {
    std::uint64_t startSector = 0;
    std::uint64_t sectorCount = 0;
    // An ExtentKind. kExtentResident: the record is sectorCount sectors
    // long (2 for 1024-byte records). kExtentHole: sectorCount sectors of
    // zeros, startSector 0.
    std::uint8_t isPersist = kExtentPlain;

    bool operator==(const FileExtent&) const = default;
};

// A found file's extents in file order. Most files have one, which is held
// inside the list; more go to one allocation of their own.
class ExtentList {
public:
    ExtentList() : m_one() {}
    ExtentList(std::initializer_list<FileExtent> extents) : ExtentList() { Assign(extents.begin(), extents.size()); }
    ExtentList(const std::vector<FileExtent>& extents) : ExtentList() { Assign(extents.data(), extents.size()); }
    ExtentList(const ExtentList& other) : ExtentList() { Assign(other.begin(), other.size()); }
    ExtentList(ExtentList&& other) noexcept : ExtentList() { Take(other); }
    ExtentList& operator=(const ExtentList& other)
    {
        if (this != &other)
            Assign(other.begin(), other.size());
        return *this;
    }
    ExtentList& operator=(ExtentList&& other) noexcept
    {
        if (this != &other) {
            Free();
            Take(other);
        }
        return *this;
    }
    ~ExtentList() { Free(); }

    void assign(std::size_t count, const FileExtent& extent);
    void push_back(const FileExtent& extent);
    void clear() { m_size = 0; }

    const FileExtent* begin() const { return m_capacity == 0 ? &m_one : m_heap; }
    const FileExtent* end() const { return begin() + m_size; }
    FileExtent* begin() { return m_capacity == 0 ? &m_one : m_heap; }
    FileExtent* end() { return begin() + m_size; }
    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const FileExtent& front() const { return *begin(); }
    FileExtent& front() { return *begin(); }
    const FileExtent& back() const { return begin()[m_size - 1]; }
    const FileExtent& operator[](std::size_t i) const { return begin()[i]; }
    FileExtent& operator[](std::size_t i) { return begin()[i]; }

    bool operator==(const ExtentList& other) const;

private:
    void Assign(const FileExtent* extents, std::size_t count);
    void Reserve(std::size_t count);
    void Free();
    void Take(ExtentList& other) noexcept;

    union {
        FileExtent m_one;     // when m_capacity is 0
        FileExtent* m_heap;   // m_capacity extents
    };
    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = 0;
};

// How a file's bytes are stored in its extents.
enum ContentEncoding : std::uint8_t {
    kStored = 0,              // as they are
    kLznt1 = 1,               // NTFS compression, in units of 2^m_compressionUnit clusters
    kEncrypted = 2,           // NTFS EFS: cannot be read back here
    kUnknownCompression = 3,  // a compression method NTFS does not define
};

// m_validSize of a file whose every byte up to its size holds data.
constexpr std::uint64_t kAllValid = ~std::uint64_t {0};

class CBaseFileObject {
public:
    CBaseFileObject() = default;

    // Splits the full name at its last dot into `name` and `suffix`.
    void SetName(std::u16string_view fullName);
    void SetNameUtf8(std::string_view fullName);
    std::u16string FullName() const;
    std::string FullNameUtf8() const;
    std::string_view FullNameView() const { return m_name.Full(); }

    std::uint32_t m_inTree = 0;      // placed in the folder tree (a folder: passed by it)
    std::uint32_t m_located = 0;     // FAT32/exFAT: the first sector is known
    std::uint64_t m_dirHint = 0;     // FAT32/exFAT: directory cluster read last
    // UTF-8: the name without its last extension, and what follows the last dot.
    std::string_view name() const { return m_name.Name(); }
    std::string_view suffix() const { return m_name.Suffix(); }
    std::uint64_t m_latestTime = 0;  // FILETIME, the latest the entry offers
    FolderPath m_filePath;           // "A\\B\\"; "" for the root; see FolderPath::IsUnresolved
    std::uint64_t m_fileSize = 0;
    ExtentList extents;
    // The small fields together, so that the record has no gaps between them.
    std::uint32_t m_fileNo = 0;      // NTFS record number
    std::int32_t m_isDirectory = kKindUnknown;  // an EntryKind
    std::int32_t m_fileSystemType = kUnknownFileSystem;
    ExistType m_existType = kExistUnset;
    // NTFS: a later sector of the file's record failed its update-sequence
    // check, so only what its first sectors hold is known.
    bool m_torn = false;
    std::uint8_t m_encoding = kStored;     // a ContentEncoding
    std::uint8_t m_compressionUnit = 0;    // kLznt1: log2 of the clusters per unit
    // NTFS: the bytes written so far (the initialized size); past it the file
    // reads as zeros.
    std::uint64_t m_validSize = kAllValid;
    // How sure we are that its bytes come back as they were; set by the
    // evidence pass after each scan phase.
    FileEvidence m_evidence;

    // A file the folder tree has counted in its folder.
    bool Placed() const { return m_inTree == 1 && m_isDirectory != 1; }

private:
    FileName m_name;
};

using FoundFile = CBaseFileObject;

// The folder the files found by their content alone are listed under.
constexpr const char* kFoundByContentDir = "Found by content\\";
// Whether `file` was found by its content alone (m_torn then says its
// content broke off, and it was kept as far as it held).
bool FoundByContent(const CBaseFileObject& file);
// The kind of a file by its suffix, as the search by content tells a file it
// found from one found otherwise at the same place: lower case, "jpeg" and
// "jpe" as "jpg".
std::string ContentKind(std::string_view suffix);

// The exist type as the result store and the window's rows keep it: the
// state times 10 (10, 20, 30) while the file waits for the folder tree, the
// state alone (1, 2, 3) once the tree has placed it; 0 unset.
std::uint8_t ExistCode(const FoundFile& file);
// Takes the state from such a code. The file is not placed: the next folder
// tree places it again. A code of no state leaves it unset.
void SetExistCode(FoundFile& file, std::int64_t code);

}  // namespace scan
