// The per-volume scan context: the opened device, the geometry read from the
// boot sector, the file-system tables kept in memory, and the results.
#pragma once

#include "found/FoundFile.h"
#include "found/ResultList.h"
#include "ntfs/DataRun.h"
#include "ntfs/NtfsPaths.h"
#include "platform/BlockDevice.h"
#include "volume/ClusterMap.h"
#include "volume/BootSector.h"
#include "volume/MetadataFaults.h"
#include "volume/VolumeIdentity.h"

#include <array>
#include <chrono>
#include <map>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace scan {

// Where the deep scan of a volume stands: what its finders keep between
// chunks and while it is paused, where it reads next, and how it is asked
// to stop. Saved with the results of a paused scan.
struct DeepScanState {
    // The stray-record finder's folder map and waiting paths.
    NtfsPathState paths;
    // The FAT32 and exFAT folder search's: the folder clusters found and
    // what it knows of each, by cluster number, and the results waiting for
    // their folder's path.
    NtfsPathState folderClusters;
    std::uint64_t startTime = 0;     // local time of this run's start, as a FILETIME
    std::uint64_t nextPosition = 0;  // where a paused deep scan reads next
    // The files a paused search found by their content, by first sector and
    // kind: one the resumed pass finds otherwise (its folder entry, its
    // record) takes its place, as in a pass never paused.
    std::map<std::pair<std::uint64_t, std::string>, std::size_t> foundByContent;
    // Ask for a stop that keeps the results once the deep scan reaches this
    // sector (a deterministic stop for tests and the command line).
    std::uint64_t stopAtSector = ~std::uint64_t {0};
    // How long to wait before reading a failed chunk again.
    std::uint32_t retryDelayMs = 1000;
    // Whether the pass looks for files by their content too.
    bool searchContent = true;
};

// Results of Open.
enum OpenStatus : int {
    kOpenOk = 0,           // opened; m_fileSystemType says whether it was recognised
    kOpenNoDevice = 2,     // the device or file cannot be opened
    kOpenNoFirstSector = 3 // its first sector cannot be read
};

// How a deep scan ended.
enum DeepScanEnd : int {
    kDeepFinished = 0,    // the end of the volume was reached
    kDeepPaused = 1,      // stopped with a keep request; m_deep.nextPosition says where to go on
    kDeepStopped = 2,     // stopped without keeping anything
    kDeepMediumGone = 3,  // the device went away; m_deep.nextPosition says where
    kDeepNoMemory = 4,
    kDeepFailingMedium = 5,  // reads failed again and again: saved like a pause, m_deep.nextPosition where they began
};

// Scan modes.
enum ScanMode : std::uint32_t {
    kScanIdle = 0,
    kScanNormal = 1,
    kScanDeepRunning = 2,
    kScanDeepFinished = 3,
};

// The results of a volume, held under their lock for as long as the view
// lives: what a reader or an appender outside the scans gets.
template <typename List>
class LockedView {
public:
    LockedView(std::unique_lock<std::mutex> hold, List& list) : m_hold(std::move(hold)), m_list(&list) {}
    List& operator*() const { return *m_list; }
    List* operator->() const { return m_list; }
    // False for a view TryResults could not have in time.
    explicit operator bool() const { return m_hold.owns_lock(); }

private:
    std::unique_lock<std::mutex> m_hold;
    List* m_list;
};
using LockedResults = LockedView<ResultList>;
using ReadResults = LockedView<const ResultList>;

class VolumeScanner {
public:
    VolumeScanner();
    ~VolumeScanner();
    VolumeScanner(const VolumeScanner&) = delete;
    VolumeScanner& operator=(const VolumeScanner&) = delete;

    // Opens the device or image read-only and recognises its file system from
    // the first sector. Returns an OpenStatus; an unrecognised volume opens
    // with kOpenOk and m_fileSystemType kUnknownFileSystem.
    int Open(const std::string& path);
    // The same, with `name` kept as the device path: how the caller names
    // the volume (a partition name, a mount point), which the store keeps.
    int Open(const std::string& path, const std::string& name);
    // The same over a device the caller made (a memory volume in tests).
    int Open(std::unique_ptr<platform::BlockDevice> device, const std::string& path);

    // Reads byteCount bytes from the 512-byte sector `sector` of the volume.
    // Returns the bytes placed in `buffer`; 0 on failure. A medium that is
    // gone closes the device for good.
    std::size_t ReadSectors(std::uint64_t sector, std::size_t byteCount, void* buffer);

    struct SalvagedRead {
        std::size_t bytes = 0;                // standing in the buffer, unreadable ones zero-filled
        std::uint64_t unreadableSectors = 0;  // 512-byte sectors that could not be read
    };
    // Reads like ReadSectors; where that fails, reads again in pieces and
    // then sector by sector, so that a bad sector costs only itself: what
    // cannot be read is zero-filled, counted and logged. `bytes` is short
    // only at the end of the device, and 0 once the medium is gone.
    SalvagedRead ReadSectorsSalvaging(std::uint64_t sector, std::size_t byteCount, void* buffer);
    // Reads the 512-byte sectors `sectors[0..count)` into `out`, 512 bytes
    // each; ok[i] is 1 when sector i was read. For many scattered single
    // sectors (the heads of candidate clusters), where the cost is the reads
    // and not the bytes: the device is handed them together, in the order
    // given. One that fails is read again as ReadSectors reads.
    void ReadSingleSectors(const std::uint64_t* sectors, std::size_t count, std::uint8_t* out, std::uint8_t* ok);
    // Only the piece-by-piece pass of ReadSectorsSalvaging, for a caller that
    // has tried the whole read itself.
    SalvagedRead SalvageSectors(std::uint64_t sector, std::size_t byteCount, void* buffer);

    bool DeviceOpen() const { return m_device != nullptr; }

    // What the front ends and the layers above the scans read of the volume.
    const std::string& DevicePath() const { return m_devicePath; }
    const std::string& DeviceNode() const { return m_deviceNode; }
    platform::OpenError OpenFailure() const { return m_openError; }
    int SystemError() const { return m_systemError; }
    std::int32_t FileSystem() const { return m_fileSystemType; }
    bool GeometryValid() const { return m_geometryValid; }
    const std::string& GeometryProblem() const { return m_geometryProblem; }
    std::uint64_t VolumeSectors() const { return m_volumeSize; }
    std::uint64_t DeclaredVolumeSize() const { return m_declaredVolumeSize; }
    std::uint32_t SectorsPerCluster() const { return m_sectorsPerCluster; }
    std::uint32_t BytesPerSector() const { return m_bytesPerSector; }
    std::uint32_t RecordBytes() const { return m_recordBytes; }
    std::uint64_t MftCluster() const { return m_mftCluster; }
    const std::vector<DataRun>& MftRuns() const { return m_mftRuns; }
    std::size_t FatEntries() const { return m_fat.size(); }
    const VolumeIdentity& Identity() const { return m_identity; }
    const MetadataFaults& Faults() const { return m_faults; }
    std::uint64_t UnreadableSectors() const { return m_unreadableSectors.load(); }
    std::uint64_t Progress() const { return m_progress.load(); }
    std::uint32_t ScanMode() const { return m_scanMode.load(); }
    void SetScanMode(std::uint32_t mode) { m_scanMode = mode; }
    DeepScanState& Deep() { return m_deep; }
    const DeepScanState& Deep() const { return m_deep; }
    // The sectors of the volume that the device holds: a truncated image or a
    // damaged boot sector may claim more than there is.
    std::uint64_t ReadableSectors() const;
    // The $MFT runs cut to the $MFT's size: the clusters that hold records
    // of this file system. Past that size the allocation may hold records of
    // an earlier one, which only the deep scan should report.
    std::vector<DataRun> MftRunsInUse() const;
    // Under the results lock: the place of the file a paused search found
    // by its content where `file` begins, of its kind, which `file` is to
    // take; kNoPlace when there is none (it is appended).
    static constexpr std::size_t kNoPlace = ~std::size_t {0};
    std::size_t ContentPlaceOf(const FoundFile& file);
    // Appends a result under the lock; returns its index.
    std::size_t AppendResult(FoundFile&& file);
    std::size_t AppendResult(std::unique_ptr<FoundFile> file) { return AppendResult(std::move(*file)); }
    std::size_t ResultCount();

    std::string m_devicePath;   // the volume as its caller named it
    std::string m_deviceNode;   // the device node or image file opened for it
    std::unique_ptr<platform::BlockDevice> m_device;
    platform::OpenError m_openError = platform::OpenError::None;  // why the last Open failed
    int m_systemError = 0;

    std::uint64_t m_baseSector = 0;
    std::uint64_t m_volumeSize = 0;            // sectors (512-byte units)
    std::int32_t m_fileSystemType = kUnknownFileSystem;
    std::uint32_t m_sectorsPerCluster = 8;     // 512-byte units
    std::uint64_t m_mftCluster = 0;
    std::uint32_t m_bytesPerSector = 512;      // as declared; reads never use it
    std::uint32_t m_recordBytes = 1024;        // NTFS: the size of a file record
    std::vector<DataRun> m_mftRuns;            // the $MFT's clusters as allocated
    std::uint64_t m_mftDataSize = 0;           // the $MFT's size in bytes; 0 when unknown
    std::atomic<std::uint64_t> m_progress {0};
    // 512-byte sectors that could not be read since the volume was opened:
    // bad sectors the salvaging reads met, a FAT's unreadable part, and what
    // a scan passed over where reads kept failing.
    std::atomic<std::uint64_t> m_unreadableSectors {0};
    // What was asked of the device since the volume was opened: bytes read
    // and reads made (a batch of reads counts each).
    std::atomic<std::uint64_t> m_bytesRead {0};
    std::atomic<std::uint64_t> m_reads {0};
    Fat32BootInfo m_fat32;                     // the decoded boot sector of a FAT32 volume
    std::vector<std::uint32_t> m_fat;
    std::atomic<std::uint32_t> m_scanMode {kScanIdle};
    ExfatBootInfo m_exfat;                     // the decoded boot sector of an exFAT volume
    std::vector<std::uint8_t> m_clusterBitmap;  // bit c & 7 of byte c >> 3
    // Which clusters the file system marks in use now, read once for the
    // evidence of the results (m_allocationRead: tried, whether or not it
    // could be had).
    ClusterMap m_allocation;
    bool m_allocationRead = false;
    VolumeIdentity m_identity;                 // read from the first sector when opened
    bool m_geometryValid = false;              // the boot sector's sizes are usable
    std::string m_geometryProblem;
    // What of the volume's metadata could not be read or used, and what was
    // done instead; emptied when a volume is opened.
    MetadataFaults m_faults;
    // The sectors the device holds from the volume's start; 0 when it tells
    // no size.
    std::uint64_t DeviceSectors() const;
    // The volume's size as its boot sector gives it: a device cut short
    // holds less (m_volumeSize), but what lay past its end still has its
    // place, which a found file's extents may name.
    std::uint64_t DeclaredSectors() const { return m_declaredVolumeSize != 0 ? m_declaredVolumeSize : m_volumeSize; }
    // The volume size the boot sector gives, when the device holds less (a
    // damaged field, or an image of part of a disk): m_volumeSize is then
    // what the device holds. 0 otherwise.
    std::uint64_t m_declaredVolumeSize = 0;

    // Where the deep scan stands; kept while it is paused, so that a resumed
    // run goes on where it stopped.
    DeepScanState m_deep;
    // What a scan may read besides its own pass over the volume (NTFS
    // attribute lists and the extension records they name), so that a
    // crafted volume cannot make it read the same clusters over and over:
    // set to the volume's size when a scan starts. Takes `bytes` from it;
    // false (logged once) when it is used up.
    bool TakeSideRead(std::uint64_t bytes);
    static constexpr std::uint64_t kMinSideReadBudget = 64 << 20;  // a small volume with a few large lists
    std::uint64_t m_sideReadBudget = kMinSideReadBudget;

    // The results and their lock. The scans take the lock themselves;
    // everyone else goes through Results().
    LockedResults Results() { return {std::unique_lock<std::mutex>(m_lock), m_results}; }
    ReadResults Results() const { return {std::unique_lock<std::mutex>(m_lock), m_results}; }
    // The same, when the lock can be had within `patience` (a recovery holds
    // it for its whole run; scans only to add a few results); a view that
    // is false otherwise, or once `giveUp` says so.
    LockedResults TryResults(std::chrono::milliseconds patience, const std::atomic<bool>* giveUp = nullptr);
    mutable std::mutex m_lock;  // guards the results
    ResultList m_results;

private:
    // Takes `device` as the open volume and recognises its file system.
    int OpenDevice(std::unique_ptr<platform::BlockDevice> device);
    void Close();
    // Recognises the file system from `sector` (the first); when that is no
    // usable boot sector, from a backup one, which then replaces `sector`.
    void DetectFileSystem(std::uint8_t* sector);
    void ResetTables();
    void OpenBootSector(std::int32_t type, const std::uint8_t* sector);
    // The $MFT's runs as file record 0 of the $MFT (or of its mirror) gives
    // them; false, with the reason, when that record cannot be had.
    struct MftRunList {
        std::vector<DataRun> runs;
        std::uint64_t dataSize = 0;
        bool outside = false;  // some run lies past the end of the volume
    };
    bool ReadMftRuns(std::uint64_t cluster, std::uint8_t* bytes, std::size_t size, std::string& why, MftRunList& out);
    // Keeps a decoded boot sector's sizes; false when they are unusable.
    template <typename BootInfo>
    bool TakeGeometry(const BootInfo& info);
    void OpenNtfs(const std::uint8_t* sector);
    void OpenFat32(const std::uint8_t* sector);
    void OpenExfat(const std::uint8_t* sector);
    // Reads `entries` FAT entries from volume sector `firstSector`.
    // An unreadable piece of it is read from the next copy of the FAT,
    // `copyStride` sectors on, when there are `copies` in all.
    bool ReadFat(std::uint64_t firstSector, std::uint64_t entries, std::uint32_t copies = 1,
                 std::uint64_t copyStride = 0);
    platform::ReadResult ReadWithRetry(std::uint64_t offset, void* buffer, std::size_t length);
};

}  // namespace scan
