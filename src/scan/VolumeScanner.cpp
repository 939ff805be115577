#include "scan/VolumeScanner.h"

#include "base/Checked.h"
#include "filetypes/Catalogue.h"
#include "base/Log.h"
#include "scan/BootSector.h"
#include "scan/ByteView.h"
#include "scan/NtfsRecord.h"
#include "scan/Scanners.h"

#include <algorithm>
#include <cstring>
#include <new>

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
    DetectFileSystem(sector);
    m_identity = ReadVolumeIdentity(sector, m_fileSystemType, m_device ? m_device->Size() : 0);
    return kOpenOk;
}

void VolumeScanner::DetectFileSystem(const std::uint8_t* sector)
{
    // Tables of a volume opened before must not survive into this one.
    m_fileSystemType = kUnknownFileSystem;
    m_geometryValid = false;
    m_geometryProblem.clear();
    m_volumeSize = 0;
    m_declaredVolumeSize = 0;
    m_unreadableSectors = 0;
    m_mftRuns.clear();
    m_mftDataSize = 0;
    m_recordBytes = kDefaultRecordSize;
    m_fat32 = {};
    m_exfat = {};
    m_fat.clear();
    m_clusterBitmap.clear();

    const ByteView view(sector, kSectorBytes);
    if (IsNtfsBootSector(view))
        OpenNtfs(sector);
    else if (IsFat32BootSector(view))
        OpenFat32(sector);
    else if (IsExfatBootSector(view))
        OpenExfat(sector);
    else
        base::LogLess("get file system error ,path = %s !", m_devicePath.c_str());
    if (m_fileSystemType != kUnknownFileSystem && !m_geometryValid)
        base::LogLess("%s boot sector of %s is damaged: %s", FileSystemName(m_fileSystemType), m_devicePath.c_str(),
                      m_geometryProblem.c_str());
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
        base::LogLess("%s boot sector of %s gives %llu sectors; the device holds %llu", FileSystemName(m_fileSystemType),
                      m_devicePath.c_str(), static_cast<unsigned long long>(m_declaredVolumeSize),
                      static_cast<unsigned long long>(deviceSectors));
    }
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
    const std::size_t got =
        ReadSectors(static_cast<std::uint64_t>(m_sectorsPerCluster) * m_mftCluster, bytes.size(), bytes.data());
    m_recordBytes = info.recordBytes;
    if (m_recordBytes == 0) {
        // A damaged size field: record 0 tells its own size.
        const std::size_t own = RecordSizeOf(ByteView(bytes.data(), got));
        m_recordBytes = static_cast<std::uint32_t>(own != 0 ? own : kDefaultRecordSize);
        base::LogLess("NTFS boot sector of %s gives no usable file-record size; taking %u bytes", m_devicePath.c_str(),
                      m_recordBytes);
    }
    if (got < m_recordBytes)
        return;
    const MutableRecord record(bytes.data(), m_recordBytes);
    const RecordCheck check = ValidateAndFixRecord(record);
    ByteView data;
    if (!check || !FindAttribute(IntactPart(record, check), kAttrData, data))
        return;
    const AttributeHeader h = DecodeAttributeHeader(data);
    if (h.nonResident) {
        m_mftRuns = DecodeDataRuns(data, h.runsOffset);
        m_mftDataSize = h.dataSize;
    }
}

void VolumeScanner::OpenFat32(const std::uint8_t* sector)
{
    m_fileSystemType = kFat32;
    const Fat32BootInfo info = DecodeFat32BootSector({sector, kSectorBytes});
    if (!TakeGeometry(info))
        return;
    m_fat32 = info;
    ReadFat(info.reservedSectors, info.fatBytes / 4);
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

bool VolumeScanner::ReadFat(std::uint64_t firstSector, std::uint64_t entries)
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
    // In chunks, so that a bad sector costs its own entries only.
    std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(entries * 4, kFatChunkBytes));
    bool whole = true;
    for (std::uint64_t done = 0; done < entries * 4; done += chunk.size()) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), entries * 4 - done));
        const std::size_t got = ReadSectors(firstSector + done / kSectorBytes, want, chunk.data());
        if (got < want) {
            base::LogLess("FAT of %s unreadable at sector %llu, %zu bytes left as free", m_devicePath.c_str(),
                          static_cast<unsigned long long>(firstSector + done / kSectorBytes), want - got);
            m_unreadableSectors += (want - got + kSectorBytes - 1) / kSectorBytes;
            whole = false;
            if (!m_device)
                break;
        }
        const ByteView v(chunk.data(), got);
        for (std::size_t i = 0; i + 4 <= got; i += 4)
            m_fat[(done + i) / 4] = v.U32(i);
    }
    return whole;
}

platform::ReadResult VolumeScanner::ReadWithRetry(std::uint64_t offset, void* buffer, std::size_t length)
{
    platform::ReadResult r = m_device->ReadAt(offset, buffer, length);
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

int VolumeScanner::NormalScan()
{
    m_scanMode = kScanNormal;
    m_sideReadBudget = std::max(kMinSideReadBudget, m_volumeSize * kSectorBytes);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_results.clear();
        m_folderMap.clear();
        m_treeCursor = 0;
    }
    if (!m_geometryValid)
        return 0;
    switch (m_fileSystemType) {
    case kNtfs:
        base::LogLess("Normal scan %s is NTFS!", m_devicePath.c_str());
        NtfsNormalScan(*this);
        break;
    case kExfat:
        base::LogLess("Normal scan %s is ExFat!", m_devicePath.c_str());
        WalkExfatDirectory(*this, "", m_exfat.rootCluster, false);
        break;
    case kFat32:
        base::LogLess("Normal scan %s is Fat32!", m_devicePath.c_str());
        Fat32Scan(*this);
        break;
    default:
        break;
    }
    return 0;
}

int VolumeScanner::DeepScan(std::uint64_t startSector)
{
    m_sideReadBudget = std::max(kMinSideReadBudget, m_volumeSize * kSectorBytes);
    return NtfsDeepScan(*this, startSector);
}

std::string VolumeScanner::RecoverPath() const
{
    std::lock_guard<std::mutex> lock(m_recoverPathLock);
    return m_recoverPath;
}

void VolumeScanner::SetRecoverPath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(m_recoverPathLock);
    m_recoverPath = path;
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
