#include "volume/VolumeScanner.h"

#include "base/Checked.h"
#include "base/Log.h"
#include "filetypes/Catalogue.h"
#include "ntfs/NtfsRecord.h"
#include "volume/BackupBootSector.h"
#include "volume/BootSector.h"
#include "base/ByteView.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kFatChunkBytes = 1 << 20;

}  // namespace

VolumeScanner::VolumeScanner()
{
    filetypes::LoadCatalogue();
}

VolumeScanner::~VolumeScanner()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_results.clear();
}

void VolumeScanner::Close()
{
    m_device.reset();
}

int VolumeScanner::Open(const std::string& path)
{
    return Open(path, path);
}

int VolumeScanner::Open(const std::string& path, const std::string& name)
{
    m_devicePath = name;
    m_deviceNode = path;
    Close();
    platform::OpenResult opened = platform::OpenBlockDevice(path);
    // "DISK@SECTOR": the volume that begins at that sector of the disk (one
    // the partition search found), unless a file of that very name exists.
    std::string disk;
    std::uint64_t sector = 0;
    if (!opened.device && opened.error == platform::OpenError::NotFound &&
        platform::SplitVolumeAtName(path, disk, sector)) {
        platform::OpenResult whole = platform::OpenBlockDevice(disk);
        if (whole.device)
            whole.device = std::make_unique<platform::SliceDevice>(std::move(whole.device), sector * 512);
        opened = std::move(whole);
    }
    if (!opened.device) {
        m_openError = opened.error;
        m_systemError = opened.systemError;
        base::LogLess("Open device %s error = %d!", path.c_str(), opened.systemError);
        return kOpenNoDevice;
    }
    return OpenDevice(std::move(opened.device));
}

int VolumeScanner::Open(std::unique_ptr<platform::BlockDevice> device, const std::string& path)
{
    m_devicePath = path;
    m_deviceNode = path;
    return OpenDevice(std::move(device));
}

int VolumeScanner::OpenDevice(std::unique_ptr<platform::BlockDevice> device)
{
    const std::string& path = m_devicePath;
    Close();
    m_device = std::move(device);
    m_openError = platform::OpenError::None;
    m_systemError = 0;
    std::uint8_t sector[kSectorBytes] = {};
    if (ReadSectors(0, kSectorBytes, sector) < kSectorBytes) {
        base::LogLess("read sector ,path = %s error = %d!", path.c_str(), m_systemError);
        return kOpenNoFirstSector;
    }
    m_baseSector = 0;
    DetectFileSystem(sector);  // the boot sector used, which may be a backup, is left in `sector`
    m_identity = ReadVolumeIdentity(sector, m_fileSystemType, m_device ? m_device->Size() : 0);
    return kOpenOk;
}

void VolumeScanner::ResetTables()
{
    // Tables of a volume opened before must not survive into this one.
    m_fileSystemType = kUnknownFileSystem;
    m_geometryValid = false;
    m_geometryProblem.clear();
    m_volumeSize = 0;
    m_declaredVolumeSize = 0;
    m_unreadableSectors = 0;
    m_bytesRead = 0;
    m_reads = 0;
    m_mftRuns.clear();
    m_mftDataSize = 0;
    m_recordBytes = kDefaultRecordSize;
    m_fat32 = {};
    m_exfat = {};
    m_fat.clear();
    m_clusterBitmap.clear();
    m_allocation.Clear();
    m_allocationRead = false;
    m_faults.Clear();
}

void VolumeScanner::OpenBootSector(std::int32_t type, const std::uint8_t* sector)
{
    switch (type) {
    case kNtfs: OpenNtfs(sector); break;
    case kFat32: OpenFat32(sector); break;
    case kExfat: OpenExfat(sector); break;
    default: break;
    }
}

namespace {

std::int32_t BootSectorType(ByteView view)
{
    if (IsNtfsBootSector(view))
        return kNtfs;
    if (IsFat32BootSector(view))
        return kFat32;
    if (IsExfatBootSector(view))
        return kExfat;
    return kUnknownFileSystem;
}

}  // namespace

void VolumeScanner::DetectFileSystem(std::uint8_t* sector)
{
    ResetTables();
    const std::int32_t primary = BootSectorType(ByteView(sector, kSectorBytes));
    OpenBootSector(primary, sector);
    if (primary != kUnknownFileSystem && m_geometryValid)
        return;

    // The first sector is no usable boot sector: a backup may be.
    const std::string problem = m_geometryProblem;
    std::uint8_t backup[kSectorBytes];
    std::uint64_t where = 0;
    const std::int32_t type =
        m_device ? FindBackupBootSector(*m_device, primary, backup, where) : std::int32_t {kUnknownFileSystem};
    if (type != kUnknownFileSystem) {
        ResetTables();
        OpenBootSector(type, backup);
        if (m_geometryValid) {
            std::memcpy(sector, backup, kSectorBytes);
            m_faults.Add(std::string("the ") + FileSystemName(type) + " boot sector at sector 0 " +
                         (primary == type ? "is damaged (" + problem + ")"
                                          : std::string("is missing or overwritten")) +
                         "; its backup at sector " + std::to_string(where) + " was used");
            return;
        }
    }
    ResetTables();
    OpenBootSector(primary, sector);
    // No usable geometry: what a search by content may look through is the
    // whole device from here, sector by sector.
    m_volumeSize = DeviceSectors();
    if (primary == kUnknownFileSystem)
        base::LogLess("get file system error ,path = %s !", m_devicePath.c_str());
    else
        base::LogLess("%s boot sector of %s is damaged: %s", FileSystemName(m_fileSystemType), m_devicePath.c_str(),
                      m_geometryProblem.c_str());
}

std::uint64_t VolumeScanner::DeviceSectors() const
{
    const std::uint64_t bytes = m_device ? m_device->Size() : 0;
    const std::uint64_t sectors = bytes / kSectorBytes;
    return sectors > m_baseSector ? sectors - m_baseSector : 0;
}

template <typename BootInfo>
bool VolumeScanner::TakeGeometry(const BootInfo& info)
{
    if (info.bytesPerSector != 0)
        m_bytesPerSector = info.bytesPerSector;
    if (!info.valid) {
        m_geometryProblem = info.problem;
        return false;
    }
    m_geometryValid = true;
    m_sectorsPerCluster = info.sectorsPerCluster;
    m_volumeSize = info.volumeSectors;
    // Nothing past the device's end can be read: a size beyond it is taken
    // to be the device's, and said.
    const std::uint64_t deviceSectors = m_device ? m_device->Size() / kSectorBytes : 0;
    if (deviceSectors != 0 && m_volumeSize > deviceSectors) {
        m_declaredVolumeSize = m_volumeSize;
        m_volumeSize = deviceSectors;
        const std::uint64_t missing = m_declaredVolumeSize - deviceSectors;
        char text[300];
        std::snprintf(text, sizeof text,
                      "the volume is %llu sectors (%.1f MiB) shorter than its boot sector says (%llu of %llu "
                      "sectors): the image or device is cut short, and what lay past its end is missing",
                      static_cast<unsigned long long>(missing), static_cast<double>(missing) * 512 / (1 << 20),
                      static_cast<unsigned long long>(deviceSectors),
                      static_cast<unsigned long long>(m_declaredVolumeSize));
        m_faults.Add(text);
    }
    return true;
}

bool VolumeScanner::ReadMftRuns(std::uint64_t cluster, std::uint8_t* bytes, std::size_t size, std::string& why,
                                MftRunList& out)
{
    std::uint64_t sector = 0;
    if (!base::CheckedMul(cluster, std::uint64_t {m_sectorsPerCluster}, sector) || sector >= ReadableSectors()) {
        why = "lies outside the volume";
        return false;
    }
    const std::size_t got = ReadSectors(sector, size, bytes);
    if (got < m_recordBytes) {
        why = "could not be read";
        return false;
    }
    const MutableRecord record(bytes, m_recordBytes);
    const RecordCheck check = ValidateAndFixRecord(record);
    ByteView data;
    if (!check) {
        why = "is damaged (it fails its check)";
        return false;
    }
    if (!FindAttribute(IntactPart(record, check), kAttrData, data) || !DecodeAttributeHeader(data).nonResident) {
        why = "holds no usable data attribute";
        return false;
    }
    const AttributeHeader h = DecodeAttributeHeader(data);
    std::vector<DataRun> runs = DecodeDataRuns(data, h.runsOffset);
    if (runs.empty()) {
        why = "holds no data runs";
        return false;
    }
    // The runs should lie inside the volume the boot sector describes (a
    // device cut short may not hold them all: that is said when they are
    // read).
    const std::uint64_t volumeSectors = DeclaredSectors();
    out.outside = false;
    for (const DataRun& run : runs) {
        std::uint64_t end = 0;
        if (run.sparse)
            continue;
        if (run.lcn <= 0 ||
            !base::CheckedMul(static_cast<std::uint64_t>(run.lcn) + run.length, std::uint64_t {m_sectorsPerCluster}, end) ||
            end > volumeSectors)
            out.outside = true;
    }
    out.runs = std::move(runs);
    out.dataSize = h.dataSize;
    return true;
}

void VolumeScanner::OpenNtfs(const std::uint8_t* sector)
{
    m_fileSystemType = kNtfs;
    const NtfsBootInfo info = DecodeNtfsBootSector({sector, kSectorBytes});
    m_mftCluster = info.mftCluster;
    if (!TakeGeometry(info))
        return;

    RecordBuffer bytes {};
    m_recordBytes = info.recordBytes;
    if (m_recordBytes == 0) {
        // A damaged size field: record 0 tells its own size.
        const std::size_t got =
            ReadSectors(static_cast<std::uint64_t>(m_sectorsPerCluster) * m_mftCluster, bytes.size(), bytes.data());
        const std::size_t own = RecordSizeOf(ByteView(bytes.data(), got));
        m_recordBytes = static_cast<std::uint32_t>(own != 0 ? own : kDefaultRecordSize);
        base::LogLess("NTFS boot sector of %s gives no usable file-record size; taking %u bytes", m_devicePath.c_str(),
                      m_recordBytes);
    }
    // Record 0 is the $MFT's own: its runs say where every other record
    // lies. $MFTMirr keeps a copy of it.
    std::string why;
    MftRunList primary;
    const bool primaryRead = ReadMftRuns(m_mftCluster, bytes.data(), bytes.size(), why, primary);
    if (primaryRead && !primary.outside) {
        m_mftRuns = std::move(primary.runs);
        m_mftDataSize = primary.dataSize;
        return;
    }
    if (primaryRead)
        why = "gives runs past the end of the volume";
    std::string mirrorWhy;
    MftRunList mirror;
    const bool mirrorRead = info.mirrorCluster != m_mftCluster &&
                            ReadMftRuns(info.mirrorCluster, bytes.data(), bytes.size(), mirrorWhy, mirror);
    if (mirrorRead && !mirror.outside) {
        m_faults.Add("the $MFT's first record, which says where the $MFT lies, " + why +
                     "; its copy in $MFTMirr was used");
        m_mftRuns = std::move(mirror.runs);
        m_mftDataSize = mirror.dataSize;
        return;
    }
    if (primaryRead || mirrorRead) {
        // Runs in part past the end: those inside still hold records (the
        // normal scan says how much it could not read).
        MftRunList& taken = primaryRead ? primary : mirror;
        m_mftRuns = std::move(taken.runs);
        m_mftDataSize = taken.dataSize;
        return;
    }
    m_faults.Add("the $MFT's first record, which says where the $MFT lies, " + why + ", and its copy in $MFTMirr " +
                 (info.mirrorCluster == m_mftCluster ? std::string("is the same record") : mirrorWhy) +
                 ": the normal scan finds nothing; the deep scan still searches the volume for file records");
}

void VolumeScanner::OpenFat32(const std::uint8_t* sector)
{
    m_fileSystemType = kFat32;
    const Fat32BootInfo info = DecodeFat32BootSector({sector, kSectorBytes});
    if (!TakeGeometry(info))
        return;
    m_fat32 = info;
    ReadFat(info.reservedSectors, info.fatBytes / 4, info.fatCount, (info.firstDataSector - info.reservedSectors) / info.fatCount);
    try {
        m_clusterBitmap.assign((info.clusterCount + 7) / 8, 0);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
    }
}

void VolumeScanner::OpenExfat(const std::uint8_t* sector)
{
    m_fileSystemType = kExfat;
    const ExfatBootInfo info = DecodeExfatBootSector({sector, kSectorBytes});
    if (!TakeGeometry(info))
        return;
    m_exfat = info;
    // Entries 0 and 1 are reserved, so a FAT of N clusters has N + 2 entries.
    ReadFat(info.fatSector, static_cast<std::uint64_t>(info.clusterCount) + 2);
}

bool VolumeScanner::ReadFat(std::uint64_t firstSector, std::uint64_t entries, std::uint32_t copies,
                           std::uint64_t copyStride)
{
    // A FAT never extends past the device: that bounds what a damaged boot
    // sector can make us allocate. (A device that tells no size is trusted.)
    const std::uint64_t deviceBytes = m_device ? m_device->Size() : 0;
    if (deviceBytes != 0) {
        const std::uint64_t start = (m_baseSector + firstSector) * kSectorBytes;
        const std::uint64_t fit = start < deviceBytes ? (deviceBytes - start) / 4 : 0;
        if (fit < entries) {
            base::LogLess("FAT of %s runs past the end of the device; %llu of %llu entries kept",
                          m_devicePath.c_str(), static_cast<unsigned long long>(fit),
                          static_cast<unsigned long long>(entries));
            entries = fit;
        }
    }
    try {
        m_fat.assign(entries, 0);
    } catch (const std::bad_alloc&) {
        base::LogLess("Memory is not enough!");
        m_fat.clear();
        return false;
    }
    // In pieces, so that a bad sector costs its own entries only: a piece
    // that fails is read sector by sector, and a sector the first FAT cannot
    // give is taken from the next copy.
    std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(entries * 4, kFatChunkBytes));
    std::uint64_t fromCopy = 0;
    std::uint64_t lost = 0;
    for (std::uint64_t done = 0; done < entries * 4 && m_device; done += chunk.size()) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), entries * 4 - done));
        const std::uint64_t sector = firstSector + done / kSectorBytes;
        std::size_t got = ReadSectors(sector, want, chunk.data());
        if (got < want && m_device) {
            got = want;
            for (std::size_t at = 0; at < want && m_device; at += kSectorBytes) {
                const std::size_t n = std::min(kSectorBytes, want - at);
                const std::uint64_t s = sector + at / kSectorBytes;
                if (ReadSectors(s, n, chunk.data() + at) == n)
                    continue;
                bool found = false;
                for (std::uint32_t copy = 1; copy < copies && !found; ++copy)
                    found = ReadSectors(s + copy * copyStride, n, chunk.data() + at) == n;
                if (found) {
                    ++fromCopy;
                    continue;
                }
                std::memset(chunk.data() + at, 0, n);
                ++lost;
                ++m_unreadableSectors;
            }
        }
        const ByteView v(chunk.data(), got);
        for (std::size_t i = 0; i + 4 <= got; i += 4)
            m_fat[(done + i) / 4] = v.U32(i);
    }
    if (fromCopy != 0)
        m_faults.Add(std::to_string(fromCopy) + " sector" + (fromCopy == 1 ? "" : "s") +
                     " of the first FAT could not be read; the second FAT gave " + (fromCopy == 1 ? "it" : "them"));
    if (lost != 0)
        m_faults.Add(std::to_string(lost) + " sector" + (lost == 1 ? "" : "s") + " of the FAT could not be read" +
                     (copies > 1 ? " in any copy" : "") + ": the chains through " + (lost == 1 ? "it" : "them") +
                     " are taken as ending there, and the clusters as free");
    return fromCopy == 0 && lost == 0;
}

platform::ReadResult VolumeScanner::ReadWithRetry(std::uint64_t offset, void* buffer, std::size_t length)
{
    m_reads.fetch_add(1, std::memory_order_relaxed);
    platform::ReadResult r = m_device->ReadAt(offset, buffer, length);
    m_bytesRead.fetch_add(r.bytes, std::memory_order_relaxed);
    if (r.status == platform::ReadStatus::Error)
        r = m_device->ReadAt(offset, buffer, length);
    if (r.status != platform::ReadStatus::Ok)
        m_systemError = r.error;
    if (r.status == platform::ReadStatus::MediumGone) {
        base::LogLess("ReadSector medium of %s is gone, error = %d!", m_devicePath.c_str(), r.error);
        Close();
    }
    return r;
}

std::size_t VolumeScanner::ReadSectors(std::uint64_t sector, std::size_t byteCount, void* buffer)
{
    if (!m_device) {
        base::LogLess("ReadSector handle is invalid!");
        return 0;
    }
    std::uint64_t offset = 0;
    if (byteCount == 0 || !base::CheckedAdd(m_baseSector, sector, offset) ||
        !base::CheckedMul(offset, std::uint64_t {kSectorBytes}, offset))
        return 0;
    const std::size_t whole = byteCount & ~(kSectorBytes - 1);
    const std::size_t remainder = byteCount & (kSectorBytes - 1);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t got = 0;
    if (whole != 0) {
        const platform::ReadResult r = ReadWithRetry(offset, out, whole);
        if (r.status != platform::ReadStatus::Ok)
            return 0;
        got = r.bytes;
        if (got < whole)  // the end of the volume
            return got;
    }
    if (remainder == 0)
        return got;
    // A partial sector: read the whole sector and keep its first bytes.
    std::uint8_t scratch[kSectorBytes] = {};
    const platform::ReadResult r = ReadWithRetry(offset + whole, scratch, kSectorBytes);
    if (r.status != platform::ReadStatus::Ok)
        return got;
    const std::size_t tail = std::min(remainder, r.bytes);
    std::memcpy(out + whole, scratch, tail);
    return got + tail;
}

void VolumeScanner::ReadSingleSectors(const std::uint64_t* sectors, std::size_t count, std::uint8_t* out,
                                      std::uint8_t* ok)
{
    std::fill_n(ok, count, 0);
    if (m_device) {
        // Handed to the device together; only plain reads here: what fails
        // is read again below, where errors are handled.
        std::vector<platform::BlockDevice::Request> requests;
        std::vector<std::size_t> which;
        requests.reserve(count);
        which.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            std::uint64_t offset = 0;
            if (!base::CheckedAdd(m_baseSector, sectors[i], offset) ||
                !base::CheckedMul(offset, std::uint64_t {kSectorBytes}, offset))
                continue;
            platform::BlockDevice::Request r;
            r.offset = offset;
            r.buffer = out + i * kSectorBytes;
            r.length = kSectorBytes;
            requests.push_back(r);
            which.push_back(i);
        }
        m_device->ReadMany(requests.data(), requests.size());
        m_reads.fetch_add(requests.size(), std::memory_order_relaxed);
        for (std::size_t k = 0; k < requests.size(); ++k) {
            const platform::ReadResult& r = requests[k].result;
            m_bytesRead.fetch_add(r.bytes, std::memory_order_relaxed);
            ok[which[k]] = r.status == platform::ReadStatus::Ok && r.bytes == kSectorBytes;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (ok[i] == 0 && m_device)
            ok[i] = ReadSectors(sectors[i], kSectorBytes, out + i * kSectorBytes) == kSectorBytes;
    }
}

VolumeScanner::SalvagedRead VolumeScanner::ReadSectorsSalvaging(std::uint64_t sector, std::size_t byteCount,
                                                                void* buffer)
{
    const std::size_t got = ReadSectors(sector, byteCount, buffer);
    // A short read is the end of the device; only a failed one is salvaged.
    if (got != 0 || byteCount == 0 || !m_device)
        return {got, 0};
    return SalvageSectors(sector, byteCount, buffer);
}

VolumeScanner::SalvagedRead VolumeScanner::SalvageSectors(std::uint64_t sector, std::size_t byteCount, void* buffer)
{
    constexpr std::size_t kPieceBytes = 64 * kSectorBytes;
    // Past the end of the device nothing is unreadable: it is not there.
    const std::uint64_t deviceBytes = m_device ? m_device->Size() : 0;
    if (deviceBytes != 0) {
        const std::uint64_t deviceSectors = deviceBytes / kSectorBytes;
        const std::uint64_t first = m_baseSector + sector;
        const std::uint64_t room = first < deviceSectors ? (deviceSectors - first) * kSectorBytes : 0;
        byteCount = static_cast<std::size_t>(std::min<std::uint64_t>(byteCount, room));
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    SalvagedRead result;
    std::uint64_t badFirst = 0;
    std::uint64_t badCount = 0;
    auto flushBad = [&] {
        if (badCount != 0)
            base::LogLess("Skipped unreadable sectors %llu-%llu of %s", static_cast<unsigned long long>(badFirst),
                          static_cast<unsigned long long>(badFirst + badCount - 1), m_devicePath.c_str());
        badCount = 0;
    };
    for (std::size_t piece = 0; piece < byteCount && m_device; piece += kPieceBytes) {
        const std::size_t n = std::min(kPieceBytes, byteCount - piece);
        if (ReadSectors(sector + piece / kSectorBytes, n, out + piece) == n) {
            flushBad();
            continue;
        }
        for (std::size_t s = 0; s < n && m_device; s += kSectorBytes) {
            const std::size_t one = std::min(kSectorBytes, n - s);
            const std::uint64_t at = sector + (piece + s) / kSectorBytes;
            if (ReadSectors(at, one, out + piece + s) == one) {
                flushBad();
                continue;
            }
            std::memset(out + piece + s, 0, one);
            if (badCount == 0)
                badFirst = at;
            ++badCount;
            ++result.unreadableSectors;
            ++m_unreadableSectors;
        }
    }
    flushBad();
    result.bytes = m_device ? byteCount : 0;
    return result;
}

std::size_t VolumeScanner::ContentPlaceOf(const FoundFile& file)
{
    if (m_deep.foundByContent.empty() || file.m_isDirectory == kKindFolder || file.extents.empty())
        return kNoPlace;
    const auto same = m_deep.foundByContent.find({file.extents.front().startSector, ContentKind(file.suffix())});
    if (same == m_deep.foundByContent.end())
        return kNoPlace;
    const std::size_t place = same->second;
    m_deep.foundByContent.erase(same);
    return place < m_results.size() && FoundByContent(*m_results[place]) ? place : kNoPlace;
}

std::uint64_t VolumeScanner::ReadableSectors() const
{
    const std::uint64_t deviceBytes = m_device ? m_device->Size() : 0;
    if (deviceBytes == 0)
        return m_volumeSize;
    const std::uint64_t deviceSectors = deviceBytes / kSectorBytes;
    return deviceSectors > m_baseSector ? std::min(m_volumeSize, deviceSectors - m_baseSector) : 0;
}

std::vector<DataRun> VolumeScanner::MftRunsInUse() const
{
    const std::uint64_t clusterBytes = std::uint64_t {m_sectorsPerCluster} * kSectorBytes;
    if (m_mftDataSize == 0 || clusterBytes == 0)
        return m_mftRuns;
    const std::uint64_t clusters = (m_mftDataSize + clusterBytes - 1) / clusterBytes;
    std::vector<DataRun> runs;
    for (DataRun run : m_mftRuns) {
        if (run.vcn >= clusters)
            break;
        run.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.length, clusters - run.vcn));
        runs.push_back(run);
    }
    return runs;
}

bool VolumeScanner::TakeSideRead(std::uint64_t bytes)
{
    if (bytes <= m_sideReadBudget) {
        m_sideReadBudget -= bytes;
        return true;
    }
    if (m_sideReadBudget != 0)
        base::LogLess("Attribute lists of %s read as much as the volume holds; no more are followed in this scan",
                      m_devicePath.c_str());
    m_sideReadBudget = 0;
    return false;
}

LockedResults VolumeScanner::TryResults(std::chrono::milliseconds patience, const std::atomic<bool>* giveUp)
{
    std::unique_lock<std::mutex> hold(m_lock, std::defer_lock);
    const auto until = std::chrono::steady_clock::now() + patience;
    while (!hold.try_lock()) {
        if (std::chrono::steady_clock::now() >= until || (giveUp != nullptr && giveUp->load()))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {std::move(hold), m_results};
}

std::size_t VolumeScanner::AppendResult(FoundFile&& file)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_results.Append(std::move(file));
    return m_results.size() - 1;
}

std::size_t VolumeScanner::ResultCount()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_results.size();
}

}  // namespace scan
