#include "recover/RecoveryWriter.h"

#include "host/Log.h"
#include "host/StopRequest.h"
#include "platform/Files.h"
#include "platform/OutputFile.h"
#include "scan/ByteView.h"
#include "scan/NtfsRecord.h"
#include "scan/VolumeScanner.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

namespace recover {
namespace {

constexpr std::size_t kSectorBytes = 512;

// Reads `length` bytes that start `skip` bytes into `sector`.
std::size_t ReadAt(scan::VolumeScanner& volume, std::uint64_t sector, std::size_t skip, std::uint8_t* out,
                   std::size_t length)
{
    sector += skip / kSectorBytes;
    skip %= kSectorBytes;
    if (skip == 0)
        return volume.ReadSectors(sector, length, out);
    std::uint8_t scratch[kSectorBytes];
    if (volume.ReadSectors(sector, kSectorBytes, scratch) != kSectorBytes)
        return 0;
    const std::size_t head = std::min(length, kSectorBytes - skip);
    std::memcpy(out, scratch + skip, head);
    if (head == length)
        return head;
    return head + volume.ReadSectors(sector + 1, length - head, out + head);
}

// The folder path inside the destination: each folder of the found file's
// path made safe, "/" between them.
std::string SafeFolderPath(const std::string& filePath)
{
    std::string out;
    if (filePath == "/")  // a path never resolved: the destination itself
        return out;
    std::size_t start = 0;
    while (start < filePath.size()) {
        const std::size_t end = filePath.find('\\', start);
        const std::string part = filePath.substr(start, end == std::string::npos ? std::string::npos : end - start);
        out += SafeComponent(part) + "/";
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

// The selection set: unique result indices in ascending order.
std::set<std::uint32_t> BuildSelection(scan::VolumeScanner& volume, const std::vector<SelectionValue>& selection)
{
    std::set<std::uint32_t> set;
    for (const SelectionValue& value : selection) {
        if (host::StopRequested())
            break;
        if (value.kind == SelectionValue::kIndex) {
            if (value.index >= 0 && value.index <= 0xFFFFFFFF)
                set.insert(static_cast<std::uint32_t>(value.index));
            continue;
        }
        if (value.kind != SelectionValue::kFolder)
            continue;
        const std::string& s = value.folder;
        host::LogDebug("waiting to recovery path: %s", s.c_str());
        std::string folder;
        const std::size_t slash = s.find('\\');
        if (!s.empty() && slash != std::string::npos && slash >= 2) {
            folder = s.substr(slash + 1);
            folder.erase(0, folder.find_first_not_of('\\') == std::string::npos ? folder.size()
                                                                                 : folder.find_first_not_of('\\'));
        } else if (!(s.size() == 2 && s[1] == ':')) {
            continue;
        }
        for (std::size_t i = 0; i < volume.m_results.size(); ++i) {
            if (host::StopRequested())
                break;
            const scan::FoundFile& f = *volume.m_results[i];
            if (f.m_isDirectory == 1)
                continue;
            const std::string& p = f.m_filePath;
            if (folder.empty() || p == folder ||
                (p.size() > folder.size() && p[folder.size()] == '\\' && p.compare(0, folder.size(), folder) == 0))
                set.insert(static_cast<std::uint32_t>(i));
        }
    }
    return set;
}

std::size_t ReadChunk(scan::VolumeScanner& volume, const scan::FoundFile& file, std::uint8_t* buffer,
                      std::uint64_t offset)
{
    switch (file.m_fileSystemType) {
    case scan::kNtfs: return ReadNtfsChunk(volume, file, buffer, offset);
    case scan::kFat32: return ReadFat32Chunk(volume, file, buffer, offset);
    case scan::kExfat: return ReadExfatChunk(volume, file, buffer, offset);
    default: return 0;
    }
}

std::string DisplayName(const scan::FoundFile& f)
{
    return f.m_filePath + f.FullNameUtf8();
}

}  // namespace

std::string SafeComponent(const std::string& name)
{
    std::string safe;
    safe.reserve(name.size() + 1);
    for (const char c : name)
        safe += (c == '/' || c == '\\' || c == '\0') ? '_' : c;
    if (safe.empty() || safe == "." || safe == "..")
        safe.insert(0, "_");
    return safe;
}

bool EnsureParentFolders(const std::string& outputPath)
{
    const std::size_t slash = outputPath.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return false;
    const std::string folder = outputPath.substr(0, slash);
    if (platform::IsFolder(folder))
        return true;
    bool made = false;
    for (std::size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        const std::string part = folder.substr(0, pos);
        if (!platform::IsFolder(part))
            made = platform::MakeFolder(part);
        if (pos == std::string::npos)
            break;
    }
    return made;
}

std::size_t ReadNtfsChunk(scan::VolumeScanner& volume, const scan::FoundFile& file, std::uint8_t* buffer,
                          std::uint64_t offset)
{
    if (offset >= file.m_fileSize || file.extents.empty())
        return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(file.m_fileSize - offset, kTransferBytes));

    if (file.extents.front().isPersist == 1) {
        // The data lies in the record itself, inside its $DATA attribute.
        scan::RecordBuffer record {};
        if (volume.ReadSectors(file.extents.front().startSector, scan::kRecordSize, record.data()) != scan::kRecordSize ||
            !scan::ValidateAndFixRecord(record))
            return 0;
        scan::RecordBuffer data {};
        if (!scan::FindAttribute(record, scan::kAttrData, data) || data[0x08] != 0)
            return 0;
        const scan::ByteView v(data.data(), data.size());
        const std::size_t valueOffset = v.U16(0x14);
        const std::size_t valueLength = std::min<std::size_t>(v.U32(0x10), v.U16(0x04));
        const std::uint64_t start = valueOffset + offset;
        if (offset >= valueLength || start >= data.size())
            return 0;
        const std::size_t count = std::min<std::size_t>({n, valueLength - static_cast<std::size_t>(offset),
                                                         data.size() - static_cast<std::size_t>(start)});
        std::memcpy(buffer, data.data() + start, count);
        return count;
    }

    std::size_t done = 0;
    std::uint64_t skip = offset;
    for (const scan::FileExtent& e : file.extents) {
        const std::uint64_t extentBytes = e.sectorCount * kSectorBytes;
        if (skip >= extentBytes) {
            skip -= extentBytes;
            continue;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, extentBytes - skip));
        const std::size_t got = ReadAt(volume, e.startSector, static_cast<std::size_t>(skip), buffer + done, want);
        done += got;
        skip = 0;
        if (got < want || done == n)
            break;
    }
    return done;
}

namespace {

// Reads `n` bytes of a file whose clusters follow a chain, from byte
// `offset`: `next(c)` gives the cluster after c or 0 at the end, `sectorOf(c)`
// its first sector. Every walk is bounded by `maxSteps`.
template <typename Next, typename SectorOf>
std::size_t ReadChain(scan::VolumeScanner& volume, std::uint32_t cluster, std::uint64_t offset, std::size_t n,
                      std::uint8_t* buffer, std::uint64_t maxSteps, Next&& next, SectorOf&& sectorOf)
{
    const std::uint64_t clusterBytes = std::uint64_t {volume.m_sectorsPerCluster} * kSectorBytes;
    if (clusterBytes == 0)
        return 0;
    std::uint64_t steps = 0;
    for (std::uint64_t skip = offset / clusterBytes; skip > 0; --skip) {
        cluster = next(cluster);
        if (cluster == 0 || ++steps > maxSteps)
            return 0;
    }
    std::size_t done = 0;
    std::size_t within = static_cast<std::size_t>(offset % clusterBytes);
    while (done < n && cluster != 0 && steps++ <= maxSteps) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, clusterBytes - within));
        const std::size_t got = ReadAt(volume, sectorOf(cluster), within, buffer + done, want);
        done += got;
        if (got < want)
            break;
        within = 0;
        cluster = next(cluster);
    }
    return done;
}

}  // namespace

std::size_t ReadFat32Chunk(scan::VolumeScanner& volume, const scan::FoundFile& file, std::uint8_t* buffer,
                           std::uint64_t offset)
{
    if (file.m_isDirectory != 0 || file.extents.empty() || file.m_fileSize <= offset)
        return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(file.m_fileSize - offset, kTransferBytes));
    const scan::ByteView boot(volume.m_fat32Boot.data(), volume.m_fat32Boot.size());
    const std::uint64_t unit = std::max<std::uint32_t>(boot.U16(0x0B), 512) / 512;
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t dataStart = (boot.U16(0x0E) + std::uint64_t {boot.U8(0x10)} * boot.U32(0x24)) * unit;
    const std::uint64_t start = file.extents.front().startSector;
    if (spc == 0 || start < dataStart)
        return 0;
    const std::uint64_t entries = volume.m_fat.size();
    const std::uint64_t limit = volume.m_volumeSize / spc + 2;
    const std::uint64_t first = (start - dataStart) / spc + 2;
    auto next = [&](std::uint32_t c) -> std::uint32_t {
        if (c >= entries)
            return 0;
        const std::uint32_t v = volume.m_fat[c] & 0x0FFFFFFF;
        return v < 2 || v >= 0x0FFFFFF8 || v >= limit ? 0 : v;
    };
    if (first < entries && next(static_cast<std::uint32_t>(first)) != 0) {
        return ReadChain(volume, static_cast<std::uint32_t>(first), offset, n, buffer, entries, next,
                         [&](std::uint32_t c) { return dataStart + (std::uint64_t {c} - 2) * spc; });
    }
    // No chain (a deleted file, or one of a single cluster): take the file
    // as contiguous from its first sector.
    return ReadAt(volume, start + offset / kSectorBytes, static_cast<std::size_t>(offset % kSectorBytes), buffer, n);
}

std::size_t ReadExfatChunk(scan::VolumeScanner& volume, const scan::FoundFile& file, std::uint8_t* buffer,
                           std::uint64_t offset)
{
    if (file.m_isDirectory != 0 || file.extents.empty() || file.m_fileSize <= offset)
        return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(file.m_fileSize - offset, kTransferBytes));
    const scan::FileExtent& first = file.extents.front();
    if (first.isPersist == 0)
        return ReadAt(volume, first.startSector + offset / kSectorBytes, static_cast<std::size_t>(offset % kSectorBytes),
                      buffer, n);
    const scan::ByteView boot(volume.m_exfatBoot.data(), volume.m_exfatBoot.size());
    const std::uint64_t unit = (volume.m_bytesPerSector >= 512 ? volume.m_bytesPerSector : 512) / 512;
    const std::uint64_t heap = std::uint64_t {boot.U32(0x58)} * unit;
    const std::uint64_t count = boot.U32(0x5C);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    if (spc == 0 || first.startSector < heap)
        return 0;
    const std::uint64_t cluster = (first.startSector - heap) / spc + 2;
    auto next = [&](std::uint32_t c) -> std::uint32_t {
        if (c < 2 || c >= volume.m_fat.size() || c >= count + 2)
            return 0;
        const std::uint32_t v = volume.m_fat[c];
        return v < 2 || v == 0xFFFFFFFF || v >= count + 2 ? 0 : v;
    };
    if (cluster >= count + 2)
        return 0;
    return ReadChain(volume, static_cast<std::uint32_t>(cluster), offset, n, buffer, count + 2, next,
                     [&](std::uint32_t c) { return heap + (std::uint64_t {c} - 2) * spc; });
}

RecoverSummary RecoverFiles(scan::VolumeScanner& volume, const std::vector<SelectionValue>& selection,
                            const std::string& destination)
{
    RecoverSummary summary;
    volume.m_recoverTotal = 0;
    volume.m_recoverCount = 0;
    std::lock_guard<std::mutex> lock(volume.m_lock);
    const std::set<std::uint32_t> set = BuildSelection(volume, selection);
    summary.selected = set.size();
    volume.m_recoverTotal = set.size();

    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(kTransferBytes);
    } catch (const std::bad_alloc&) {
        host::LogLess("Memory is not enough!");
        return summary;
    }
    const std::string base = destination.empty() || destination.back() == '/' ? destination : destination + "/";

    for (const std::uint32_t k : set) {
        if (host::StopRequested()) {
            host::LogLess("User stop file recovery!");
            summary.stopped = true;
            break;
        }
        if (!volume.DeviceOpen()) {
            host::LogLess("disk handle exception!");
            summary.deviceGone = true;
            break;
        }
        if (k >= volume.m_results.size()) {
            host::LogDebug("recovery file No error!");
            ++volume.m_recoverCount;
            continue;
        }
        const scan::FoundFile& f = *volume.m_results[k];
        const std::string folder = base + SafeFolderPath(f.m_filePath);
        std::string name = f.name;
        const std::string suffix = SafeComponent(f.suffix);
        // The name keeps its text; only what could not be one component is changed.
        if (f.suffix.empty())
            name = SafeComponent(name);
        else
            for (char& c : name)
                c = (c == '/' || c == '\0') ? '_' : c;

        int error = 0;
        platform::OutputFile out;
        std::string path;
        for (std::uint64_t j = 0;; ++j) {
            const std::string tag = j == 0 ? "" : "_" + std::to_string(j);
            path = folder + name + tag + (f.suffix.empty() ? "" : "." + suffix);
            if (!EnsureParentFolders(path)) {
                error = kErrorFolder;
                break;
            }
            volume.m_recoverPath = path;
            const platform::CreateResult created = out.CreateNew(path);
            if (created == platform::CreateResult::Created)
                break;
            if (created == platform::CreateResult::Failed) {
                error = kErrorCreate;
                break;
            }
        }
        std::uint64_t written = 0;
        if (error == 0) {
            while (written < f.m_fileSize) {
                const std::size_t chunk = ReadChunk(volume, f, buffer.data(), written);
                if (chunk == 0) {
                    error = kErrorRead;
                    break;
                }
                if (out.Write(buffer.data(), chunk) != chunk) {
                    error = kErrorWrite;
                    break;
                }
                written += chunk;
            }
            out.SetTime(f.m_latestTime);
            out.Close();
        }
        summary.bytes += written;
        if (error == 0) {
            ++summary.succeeded;
            host::LogDebug("recovery file %s to %s", DisplayName(f).c_str(), path.c_str());
        } else {
            ++summary.failed;
            host::LogDebug("recovery file error,errNo:%d path:%s", error, DisplayName(f).c_str());
        }
        ++volume.m_recoverCount;
    }
    host::LogLess("recovery files number:%d,success:%d", static_cast<int>(set.size()), static_cast<int>(summary.succeeded));
    return summary;
}

}  // namespace recover
