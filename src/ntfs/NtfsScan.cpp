// The NTFS normal scan (every record of the $MFT, through its runs) and the
// finder of stray records that the deep scan runs over what it reads.
#include "ntfs/NtfsScan.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "ntfs/NtfsRecord.h"
#include "ntfs/RecordFacts.h"
#include "platform/Text.h"
#include "volume/ChunkRead.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace scan {
namespace {

constexpr std::size_t kSectorBytes = 512;

// Makes a FoundFile of one checked record (its intact part) and appends it
// to the results. The path is resolved at once where the parent folders can
// be known; otherwise the file waits for the final pass.
void AddRecord(VolumeScanner& volume, NtfsPathState& paths, RecordView record, std::uint64_t recordSector, bool deep,
               bool torn)
{
    // An extension record holds attributes of the file in its base record,
    // which stands for the file.
    if (BaseRecordReference(record) != 0)
        return;
    RecordFacts facts;
    if (!ReadRecordFacts(volume, record, recordSector, facts))
        return;
    const std::uint32_t number = RecordNumber(record);
    const std::uint16_t flags = RecordFlags(record);
    std::string name = platform::Utf16ToUtf8(facts.name.name);
    if ((flags & 2) != 0)
        paths.folders.emplace(number, FolderEntry {number, facts.name.parent, name, flags});
    if (number < kFirstUserRecord)
        return;

    FoundFile found;
    FoundFile* file = &found;
    file->extents = std::move(facts.data.extents);
    file->SetNameUtf8(name);
    file->m_fileSize = facts.data.size;
    file->m_validSize = facts.data.validSize;
    file->m_encoding = facts.data.encoding;
    file->m_compressionUnit = facts.data.compressionUnit;
    file->m_torn = torn;
    file->m_latestTime = LatestTime(record);
    file->m_fileNo = number;
    file->m_fileSystemType = kNtfs;
    file->m_isDirectory = (flags & 2) != 0 ? 1 : 0;
    file->m_existType = deep ? kExistLost : (flags & 1) != 0 ? kExistInUse : kExistDeleted;

    // The normal scan reads records in number order, so a parent with a
    // higher number has not been met yet.
    const std::uint32_t parent = facts.name.parent;
    bool resolved = false;
    if (deep || parent < number) {
        std::string path;
        resolved = ResolveNtfsPath(paths, parent, path);
        if (resolved)
            file->m_filePath = path;
    }
    std::lock_guard<std::mutex> lock(volume.m_lock);
    // A file a paused search found by its content gives its place up.
    const std::size_t place = deep ? volume.ContentPlaceOf(found) : VolumeScanner::kNoPlace;
    if (!resolved)
        paths.pending.push_back(
            {static_cast<std::uint32_t>(place != VolumeScanner::kNoPlace ? place : volume.m_results.size()), parent});
    if (place != VolumeScanner::kNoPlace)
        *volume.m_results[place] = std::move(found);
    else
        volume.m_results.Append(std::move(found));
}

// Checks one record in place and adds it when it is one.
RecordCheck TakeRecord(VolumeScanner& volume, NtfsPathState& paths, std::uint8_t* bytes, std::size_t size,
                       std::uint64_t sector, bool deep)
{
    const MutableRecord record(bytes, size);
    const RecordCheck check = ValidateAndFixRecord(record);
    if (check)
        AddRecord(volume, paths, IntactPart(record, check), sector, deep, check.Torn());
    return check;
}

// Gives every waiting result its path now that all records were read. The
// caller holds the results lock.
void FinalPass(VolumeScanner& volume, NtfsPathState& paths, bool deep)
{
    for (const PendingPath& pending : paths.pending) {
        if (base::StopRequested())
            break;
        if (pending.index >= volume.m_results.size())
            continue;
        FoundFile& file = *volume.m_results[pending.index];
        if (!file.m_filePath.IsUnresolved())
            continue;
        std::string path;
        if (!FinalNtfsPath(paths, pending.parent, path) && !deep &&
            !file.Placed())
            file.m_existType = kExistLost;
        file.m_filePath = std::move(path);
    }
}

// The $MFT's data as the normal scan reads it, run after run: a record every
// record size of the $MFT, also one that a run boundary splits (possible
// when clusters are smaller than records), which is put together from both
// sides.
class MftRecords {
public:
    MftRecords(VolumeScanner& volume, NtfsPathState& paths)
        : m_volume(volume), m_paths(paths), m_size(volume.m_recordBytes)
    {
    }

    // `n` bytes of the $MFT, from volume sector `firstSector` on.
    void Feed(std::uint8_t* bytes, std::size_t n, std::uint64_t firstSector)
    {
        // What is left of a record whose start could not be had.
        std::size_t pos = std::min(m_skip, n);
        m_skip -= pos;
        if (m_carried != 0) {
            const std::size_t take = std::min(m_size - m_carried, n);
            std::memcpy(m_carry.data() + m_carried, bytes, take);
            m_carried += take;
            pos = take;
            if (m_carried < m_size)
                return;
            m_carried = 0;
            Take(m_carry.data(), m_carrySector);
        }
        for (; pos + m_size <= n; pos += m_size) {
            if (base::StopRequested())
                return;
            Take(bytes + pos, firstSector + pos / kSectorBytes);
        }
        if (pos < n) {
            m_carried = n - pos;
            m_carrySector = firstSector + pos / kSectorBytes;
            std::memcpy(m_carry.data(), bytes + pos, m_carried);
        }
    }

    // `n` bytes of the $MFT that cannot be read at all (a run that lies
    // outside the volume): the records they touch are lost, the ones after
    // keep their places.
    void Skip(std::uint64_t n)
    {
        if (n <= m_skip) {
            m_skip -= static_cast<std::size_t>(n);
            return;
        }
        const std::uint64_t lost = m_carried + (n - m_skip);
        m_carried = 0;
        m_skip = static_cast<std::size_t>((m_size - lost % m_size) % m_size);
    }

private:
    void Take(std::uint8_t* bytes, std::uint64_t sector) { TakeRecord(m_volume, m_paths, bytes, m_size, sector, false); }

    VolumeScanner& m_volume;
    NtfsPathState& m_paths;
    const std::size_t m_size;
    RecordBuffer m_carry {};
    std::size_t m_carried = 0;
    std::uint64_t m_carrySector = 0;
    std::size_t m_skip = 0;
};

// Looks for stray records in what the deep scan read: at every 512 bytes a
// record may begin, of the size its own header gives, so that the records of
// an earlier file system are found whatever their size. Returns the offset
// of a record that runs past the end of the bytes (the next read should
// start there), or of the first record left unread because a stop was
// requested (a resumed scan goes on there), or `bytes`.
}  // namespace

std::size_t FindStrayRecords(VolumeScanner& volume, NtfsPathState& paths, std::uint8_t* buffer, std::size_t bytes,
                           std::uint64_t firstSector)
{
    std::size_t offset = 0;
    // Every 512 bytes, the last ones of the buffer too: a record that begins
    // there runs into the next read, and is taken whole from that one.
    while (offset + kFixupStride <= bytes) {
        // Most of a volume holds no record: only the signature is looked at.
        if (std::memcmp(buffer + offset, "FILE", 4) != 0) {
            offset += kFixupStride;
            continue;
        }
        if (firstSector + offset / kSectorBytes >= volume.m_deep.stopAtSector)
            base::StopRequest = base::kStopKeep;
        if (base::StopRequested())
            return offset;
        const std::size_t size = RecordSizeOf(ByteView(buffer + offset, bytes - offset));
        if (size == 0) {
            offset += kFixupStride;
            continue;
        }
        if (offset + size > bytes)
            return offset;
        const RecordCheck check =
            TakeRecord(volume, paths, buffer + offset, size, firstSector + offset / kSectorBytes, true);
        // Past a record; past the intact part of a torn one, whose rest may
        // be another record.
        offset += check ? check.intact : kFixupStride;
    }
    return bytes;
}

void ResolveStrayPaths(VolumeScanner& volume, NtfsPathState& paths)
{
    FinalPass(volume, paths, true);
}

bool ReadNtfsAllocation(VolumeScanner& volume, std::vector<std::uint8_t>& bits, std::string& why)
{
    constexpr std::uint64_t kBitmapRecord = 6;
    const std::uint64_t offset = MapReference(volume, kBitmapRecord);
    std::vector<std::uint8_t> bytes(volume.m_recordBytes);
    if (offset == 0 || offset % kSectorBytes != 0 ||
        volume.ReadSectors(offset / kSectorBytes, bytes.size(), bytes.data()) != bytes.size()) {
        why = "its record cannot be read";
        return false;
    }
    const MutableRecord record(bytes.data(), bytes.size());
    const RecordCheck check = ValidateAndFixRecord(record);
    RecordFacts facts;
    if (!check || check.Torn() || RecordNumber(record) != kBitmapRecord ||
        !ReadRecordFacts(volume, IntactPart(record, check), offset / kSectorBytes, facts)) {
        why = "its record is damaged";
        return false;
    }
    // One bit per cluster, and a little more: the bitmap grows in 8-byte
    // steps. (One shorter than the volume, as on a volume whose size field
    // was changed, says nothing of the clusters past it.)
    const std::uint64_t clusters = volume.DeclaredSectors() / std::max<std::uint32_t>(volume.m_sectorsPerCluster, 1);
    if (facts.data.size == 0 || facts.data.size > clusters / 8 + (1 << 20)) {
        why = "its size does not fit the volume";
        return false;
    }
    FoundFile file;
    file.extents = std::move(facts.data.extents);
    file.m_fileSize = facts.data.size;
    file.m_validSize = facts.data.validSize;
    file.m_encoding = facts.data.encoding;
    file.m_isDirectory = kKindFile;
    file.m_fileSystemType = kNtfs;
    try {
        bits.assign(static_cast<std::size_t>(facts.data.size), 0);
    } catch (const std::bad_alloc&) {
        why = "there is not memory enough for it";
        return false;
    }
    const auto reader = OpenNtfsContent(volume, file);
    if (reader->Read(0, bits.data(), bits.size()) != bits.size() || reader->Report().faults != 0) {
        why = "its data cannot be read whole";
        return false;
    }
    return true;
}

int NtfsNormalScan(VolumeScanner& volume)
{
    std::vector<std::uint8_t> buffer = ChunkBuffer();
    if (buffer.empty())
        return 1;
    volume.m_progress = 0;
    NtfsPathState paths;
    MftRecords records(volume, paths);
    const std::uint64_t spc = volume.m_sectorsPerCluster;
    const std::uint64_t readable = volume.ReadableSectors();
    bool stopped = false;
    FailureRun failures;
    std::uint64_t outside = 0;  // sectors of the $MFT past the end of what can be read
    for (const DataRun& run : volume.MftRunsInUse()) {
        const std::uint64_t first = spc * static_cast<std::uint64_t>(run.lcn);
        if (run.sparse || run.lcn <= 0 || run.length == 0 || first >= readable) {
            if (!run.sparse && run.length != 0)
                outside += spc * run.length;
            records.Skip(spc * run.length * kSectorBytes);
            continue;
        }
        const std::uint64_t count = std::min(spc * run.length, readable - first);
        outside += spc * run.length - count;
        for (std::uint64_t done = 0; done < count && !stopped; done += kChunkSectors) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, count - done));
            std::fill(buffer.begin(), buffer.end(), 0);
            const std::size_t got = ReadChunk(volume, first + done, n, buffer.data(), failures);
            volume.m_progress += n;
            if (base::StopRequested() || !volume.DeviceOpen()) {
                stopped = base::StopRequested();
                if (!volume.DeviceOpen())
                    base::LogLess("NTFS normal scan of %s: the medium is gone", volume.m_devicePath.c_str());
                break;
            }
            if (got == 0) {
                // Read as zeros, which hold no record, so that the records
                // after it keep their places.
                base::LogLess("NTFS normal scan of %s: sectors %llu-%llu unreadable", volume.m_devicePath.c_str(),
                              static_cast<unsigned long long>(first + done),
                              static_cast<unsigned long long>(first + done + n - 1));
                std::fill(buffer.begin(), buffer.end(), 0);
                records.Feed(buffer.data(), std::size_t {n} * kSectorBytes, first + done);
                continue;
            }
            records.Feed(buffer.data(), got, first + done);
            if (got < std::size_t {n} * kSectorBytes)
                break;  // the device ends inside this run
        }
        if (stopped || !volume.DeviceOpen())
            break;
    }
    if (outside != 0) {
        char text[240];
        std::snprintf(text, sizeof text,
                      "%.1f MiB of the $MFT lie past the end of the %s: the file records there could not be read",
                      static_cast<double>(outside) * kSectorBytes / (1 << 20),
                      volume.m_declaredVolumeSize != 0 ? "device" : "volume (its run list is damaged)");
        volume.m_faults.Add(text);
    }
    std::lock_guard<std::mutex> lock(volume.m_lock);
    if (!base::StopRequested())
        FinalPass(volume, paths, false);
    volume.m_results.Revised();
    return 0;
}

}  // namespace scan
