// The table of calls the documents make: matched by exact name and argument
// count, each answered with one value.
#include "bridge/MainFrame.h"
#include "bridge/Protocol.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "browse/FolderTree.h"
#include "filetypes/CarveName.h"
#include "search/Evidence.h"
#include "search/Scans.h"
#include "volume/FileContent.h"
#include "platform/BlockDevice.h"
#include "platform/Files.h"
#include "platform/Time.h"
#include "store/ResultStore.h"
#include "volume/VolumeScanner.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <thread>
#include <utility>

namespace bridge {
namespace {

// A text argument: a text as it is, any other value converted to text.
std::string TextArg(const Value& v)
{
    return v.IsString() ? v.String() : v.ToText();
}

// An integer argument; anything else reads as 0.
std::int64_t IntArg(const Value& v)
{
    return v.Int();
}

std::string Decimal(std::uint64_t n)
{
    return std::to_string(n);
}

}  // namespace

bool MainFrame::HandleCall(DocumentId caller, const std::string& name, const Values& args, Value& result)
{
    using Handler = Value (*)(MainFrame&, DocumentId, const Values&);
    struct Entry {
        const char* name;
        std::size_t arguments;
        Handler handler;
    };
    // clang-format off
    static const Entry kTable[] = {
        {"ScanDiskDelFile", 1, [](MainFrame& m, DocumentId, const Values& a) { return m.ScanDiskDelFile(a); }},
        {"ScanDiskPartitionDelFile", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.ScanDiskPartitionDelFile(a); }},
        {"SpecialScan", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.SpecialScan(a); }},
        {"DeepScanPartition", 0, [](MainFrame& m, DocumentId, const Values&) { return Value(m.DeepScanStart()); }},
        {"ResumeScan", 0, [](MainFrame& m, DocumentId, const Values&) { return m.ResumeScan(); }},
        {"StopOperate", 1, [](MainFrame& m, DocumentId, const Values& a) { return m.StopOperate(a); }},
        {"GetWorkFlag", 0, [](MainFrame& m, DocumentId, const Values&) { return Value(static_cast<std::int64_t>(m.WorkFlag())); }},
        {"GetScanProc", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetScanProc(); }},
        {"GetFilesNumber", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetFilesNumber(); }},
        {"GetScanFilePathData", 1, [](MainFrame& m, DocumentId d, const Values&) { return m.TakeFolders(d, m.CurrentSession()); }},
        {"GetPathFiles", 2, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetPathFiles(d, a); }},
        {"GetFilterFileArr", 1, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetFilterFileArr(d, a); }},
        {"RecoveryDelFile", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.RecoveryDelFile(a); }},
        {"GetRecoverProc", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetRecoverProc(); }},
        {"GetRecoverReport", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetRecoverReport(); }},
        {"OpenImageFile", 1, [](MainFrame& m, DocumentId, const Values& a) { return m.OpenImageFile(a); }},
        {"SearchDiskPartitions", 3, [](MainFrame& m, DocumentId, const Values& a) { return m.SearchDiskPartitions(a); }},
        {"GetPartitionSearch", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetPartitionSearch(); }},
        {"ScanFoundVolume", 3, [](MainFrame& m, DocumentId, const Values& a) { return m.ScanFoundVolume(a); }},
        {"QuickScanFoundVolume", 3, [](MainFrame& m, DocumentId, const Values& a) { return m.ScanFoundVolume(a, false); }},
        {"StopPartitionSearch", 0, [](MainFrame& m, DocumentId, const Values&) { return m.StopPartitionSearch(); }},
        {"ReleaseScan", 0, [](MainFrame& m, DocumentId, const Values&) { m.ReleaseCurrentScan(); return Value(0); }},
        {"CleanScanInfo", 0, [](MainFrame& m, DocumentId, const Values&) { m.ReleaseCurrentScan(); return Value(0); }},
        {"GetLastScanStatus", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetLastScanStatus(); }},
        {"DiscardSavedScan", 0, [](MainFrame& m, DocumentId, const Values&) { return m.DiscardSavedScan(); }},
        {"GetSaveScanInfo", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetSaveScanInfo(); }},
        // The documents' calls that name the scan whose rows they act on
        // (the current scan's identity, from GetWorkState): an earlier
        // scan's is refused with kStaleScan.
        {"GetWorkState", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetWorkState(); }},
        {"GetScanFolders", 1, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetScanFolders(d, a); }},
        {"GetScanPathFiles", 3, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetScanPathFiles(d, a); }},
        {"CheckContents", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.CheckContents(a); }},
        {"GetContentChecks", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetContentChecks(); }},
        {"GetScanFilterFiles", 3, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetScanFilterFiles(d, a); }},
        {"RecoveryScanFiles", 3, [](MainFrame& m, DocumentId, const Values& a) { return m.RecoveryScanFiles(a); }},
        {"GetFilePreview", 3, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetFilePreview(d, a); }},
        {"FreshDiskInfo", 0, [](MainFrame& m, DocumentId, const Values&) { return m.FreshDiskInfo(); }},
        {"GetDiskPartition", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetDiskPartition(); }},
        {"GetDiskAllTypeNameFun", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetDiskAllTypeNameFun(); }},
        {"GetCurrentPath", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetCurrentPath(); }},
        {"GetIndependentPath", 1, [](MainFrame& m, DocumentId, const Values& a) { return m.GetIndependentPath(a); }},
        {"OpenFolderPath", 1, [](MainFrame& m, DocumentId, const Values& a) { return m.OpenFolderPath(a); }},
        {"OpenLogFilePath", 0, [](MainFrame& m, DocumentId, const Values&) { return m.OpenLogFilePath(); }},
        {"OpenAwaitGifWindows", 0, [](MainFrame& m, DocumentId, const Values&) { return m.OpenAwaitGifWindows(); }},
        {"CloseAwaitGifWindows", 0, [](MainFrame& m, DocumentId, const Values&) { return m.CloseAwaitGifWindows(); }},
        {"GetAppVersion", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetAppVersion(); }},
        {"CheckProgramRun", 0, [](MainFrame& m, DocumentId, const Values&) { return m.CheckProgramRun(); }},
        {"QuickScanPartition", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.QuickScanPartition(a); }},
        {"GetFilePreviewAt", 4, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetFilePreviewAt(d, a); }},
        {"ListFolders", 2, [](MainFrame& m, DocumentId, const Values& a) { return m.ListFolders(a); }},
        {"GetRecoverDestination", 0, [](MainFrame& m, DocumentId, const Values&) { return m.GetRecoverDestination(); }},
        {"GetThumbnail", 2, [](MainFrame& m, DocumentId d, const Values& a) { return m.GetThumbnail(d, a); }},
    };
    // clang-format on
    for (const Entry& entry : kTable) {
        if (name != entry.name)
            continue;
        if (args.size() != entry.arguments)
            return false;
        result = entry.handler(*this, caller, args);
        return true;
    }
    return false;
}

namespace {

// The name a volume goes by for the user: its mount point or device, the
// image file, or the folder or path as given.
std::string VolumeTitle(const std::vector<disks::DiskInfo>& list, std::uint32_t disk, std::uint32_t partition)
{
    for (const disks::DiskInfo& d : list) {
        if (d.diskNumber != disk)
            continue;
        const bool counted = disk == disks::kPseudoDisk || disk == disks::kImageDisk;
        if (counted && partition >= 1 && partition <= d.partitions.size()) {
            const disks::PartitionInfo& p = d.partitions[partition - 1];
            return !p.mountPath.empty() ? p.mountPath : p.devicePath;
        }
        if (partition == 0)
            return d.devicePath;
        for (const disks::PartitionInfo& p : d.partitions) {
            if (p.partitionNumber == partition)
                return !p.mountPath.empty() ? p.mountPath : p.devicePath;
        }
    }
    return disks::PartitionName(disk, partition);
}

// The work a scan call takes: refused (false) while any work runs.
bool Reserve(std::atomic<std::uint32_t>& flag, std::uint32_t bit)
{
    std::uint32_t idle = 0;
    return flag.compare_exchange_strong(idle, bit);
}

// How the user knows the volume a device path names.
std::string UserName(const std::vector<disks::DiskInfo>& list, const std::string& device)
{
    unsigned disk = 0, partition = 0;
    if (std::sscanf(device.c_str(), "\\\\?\\Harddisk%uPartition%u", &disk, &partition) == 2)
        return VolumeTitle(list, disk, partition);
    if (device.rfind("\\\\.\\", 0) == 0)
        return device.substr(4);
    // A volume the partition search found: the disk, and where on it.
    std::string whole;
    std::uint64_t sector = 0;
    if (platform::SplitVolumeAtName(device, whole, sector) && !platform::FileReadable(device))
        return whole.substr(whole.find_last_of('/') + 1) + ", the volume found at sector " + std::to_string(sector);
    return device;
}

}  // namespace

// A scan call has taken the work flag: the scan it starts replaces the
// current one (no work runs, so nothing is waited for).
Value MainFrame::StartScan(const std::string& device, const std::string& subPath, bool deep)
{
    std::string name = UserName(m_disks, device);
    if (!subPath.empty())
        name += " (" + subPath + ")";
    const std::uint64_t generation = BeginSession(name, subPath);
    base::StopRequest = 0;
    Start([this, generation, device, deep] { ScanWorker(generation, device, deep); });
    StartPathStreamer(generation);
    return Value(0);
}

Value MainFrame::ScanDiskDelFile(const Values& args)
{
    std::string path = TextArg(args[0]);
    // The work is taken here, before the answer: a second call that comes
    // before the worker has opened the volume is refused, not run beside it.
    if (!Reserve(m_workFlag, kWorkNormalScan))
        return Value(1);
    // One trailing separator goes (a drive root C:\ becomes C:; a mount point
    // /media/usb/ becomes /media/usb).
    if (!path.empty() && path.back() == '\\')
        path.pop_back();
    else if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    // A drive letter names its device as "\\.\C:"; anything else (a mount
    // point, a device node, an image file) is opened as the path it is.
    const bool drive = path.size() == 2 && path[1] == ':';
    return StartScan(drive ? "\\\\.\\" + path : path);
}

Value MainFrame::ScanDiskPartitionDelFile(const Values& args)
{
    return ScanPartition(args, true);
}

// QuickScanPartition(disk, partition): ScanDiskPartitionDelFile without the
// deep scan after the normal one (DeepScanPartition can start it later).
Value MainFrame::QuickScanPartition(const Values& args)
{
    return ScanPartition(args, false);
}

Value MainFrame::ScanPartition(const Values& args, bool deep)
{
    if (!Reserve(m_workFlag, kWorkNormalScan))
        return Value(1);
    const auto disk = static_cast<std::uint32_t>(IntArg(args[0]));
    const auto partition = static_cast<std::uint32_t>(IntArg(args[1]));
    if (m_disks.empty())
        FreshDiskInfo();
    return StartScan(disks::PartitionName(disk, partition), {}, deep);
}

Value MainFrame::SpecialScan(const Values& args)
{
    IntArg(args[0]);  // read and ignored
    const std::string folder = TextArg(args[1]);
    if (!Reserve(m_workFlag, kWorkNormalScan))
        return Value(1);
    if (m_disks.empty())
        FreshDiskInfo();
    std::string root = folder;
    std::string subPath;
    const std::size_t backslash = folder.find('\\');
    if (backslash != std::string::npos && backslash > 0) {
        // D:\Photos\2019: the root D:\ and the folder Photos\2019 in it.
        subPath = folder.substr(backslash + 1);
        root = folder.substr(0, backslash + 1);
    } else if (!folder.empty() && folder[0] == '/') {
        // /media/usb/Photos/2019: the longest mount point that holds it, and
        // the rest, written as the result tree writes folders.
        std::size_t best = 0;
        for (const disks::DiskInfo& disk : m_disks) {
            for (const disks::PartitionInfo& p : disk.partitions) {
                const std::string& mount = p.mountPath;
                const bool holds = !mount.empty() && folder.rfind(mount, 0) == 0 &&
                                   (folder.size() == mount.size() || mount == "/" || folder[mount.size()] == '/');
                if (holds && mount.size() > best) {
                    best = mount.size();
                    root = mount;
                }
            }
        }
        subPath = best != 0 ? folder.substr(std::min(folder.size(), best + (root == "/" ? 0 : 1))) : std::string();
        for (char& c : subPath) {
            if (c == '/')
                c = '\\';
        }
        while (!subPath.empty() && subPath.back() == '\\')
            subPath.pop_back();
    }
    std::string device = root;
    bool matched = false;
    for (const disks::DiskInfo& disk : m_disks) {
        for (const disks::PartitionInfo& p : disk.partitions) {
            if (!matched && p.mountPath == root) {
                device = disks::PartitionName(disk.diskNumber, p.partitionNumber);
                // The other volumes have no partition numbers: their device.
                if (disk.diskNumber == disks::kPseudoDisk || p.partitionNumber == 0)
                    device = p.devicePath;
                matched = true;
            }
        }
    }
    return StartScan(device, subPath);
}

Value MainFrame::ResumeScan()
{
    // Set before the worker runs, so that a second call answers busy.
    std::uint32_t idle = 0;
    if (!m_workFlag.compare_exchange_strong(idle, kWorkResume))
        return Value(static_cast<std::int64_t>(idle));
    store::ScanRecordInfo record;
    store::ReadLastScanRecord(record);
    if (m_disks.empty())
        FreshDiskInfo();
    const std::uint64_t generation = BeginSession(UserName(m_disks, record.path), {});
    base::StopRequest = 0;
    Start([this, generation] { ResumeWorker(generation); });
    StartPathStreamer(generation);
    return Value(0);
}

Value MainFrame::StopOperate(const Values& args)
{
    const auto request = static_cast<std::int32_t>(IntArg(args[0]));
    // A scan that has not opened its volume yet is stopped all the same.
    if (!CurrentReader() && m_workFlag.load() == 0)
        return Value(0);
    // Set before a save worker starts, so that its end tells this request.
    base::StopRequest = request;
    // What is saved replaces the saved scan only once it is saved whole:
    // the store is not emptied first.
    if ((request & 1) != 0 && Reserve(m_workFlag, kWorkSave))
        Start([this] { SaveWorker(); });
    Wake();
    return Value(request);
}

Value MainFrame::GetScanProc()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume)
        return Value::Array {0, 0};
    const std::uint32_t flag = m_workFlag.load();
    const std::uint64_t progress = volume->Progress();
    if (flag == 0 || flag == kWorkDeepScan) {
        const std::uint64_t total = volume->VolumeSectors();
        const std::uint64_t done = total - progress < volume->SectorsPerCluster() ? total : progress;
        return Value::Array {Decimal(done), Decimal(total)};
    }
    if (flag == kWorkNormalScan) {
        if (volume->FileSystem() != scan::kNtfs)
            return Value::Array {"100", "100"};
        std::uint64_t total = 0;
        for (const scan::DataRun& run : volume->MftRunsInUse())
            total += std::uint64_t {run.length} * volume->SectorsPerCluster();
        return Value::Array {Decimal(progress), Decimal(total)};
    }
    return Value::Array {"0", "0"};
}

Value MainFrame::GetFilesNumber()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    return Value(static_cast<std::int64_t>(volume ? volume->ResultCount() : 0));
}

namespace {

// A folder as the documents name it, in the form of a found file's path:
// a backslash at its end, and the root "".
std::string FolderArg(std::string folder)
{
    if (!folder.empty() && folder.back() != '\\')
        folder += '\\';
    if (folder.size() == 1)
        folder.clear();  // the volume's root
    return folder;
}

}  // namespace

Value MainFrame::GetPathFiles(DocumentId caller, const Values& args)
{
    Listing listing {caller, CurrentReader(), TextArg(args[0]), {}};
    // Before any scan nothing is sent at all.
    if (!listing.volume)
        return Value(0);
    std::string folder = FolderArg(TextArg(args[1]));
    Start([this, listing = std::move(listing), folder = std::move(folder)] { FolderListWorker(listing, folder); });
    return Value(0);
}

// GetScanPathFiles(scan, tag, folder): the folder's files of the scan named,
// to the calling document alone, in batches of 100 under the header [tag,
// folder, scan]; kStaleScan when that scan is no longer the current one.
Value MainFrame::GetScanPathFiles(DocumentId caller, const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    Listing listing {caller, session.volume, TextArg(args[1]), args[0].String()};
    std::string folder = FolderArg(TextArg(args[2]));
    Start([this, listing = std::move(listing), folder = std::move(folder)] { FolderListWorker(listing, folder); });
    return Value(0);
}

Value MainFrame::GetFilterFileArr(DocumentId caller, const Values& args)
{
    if (const std::uint32_t flag = m_workFlag.load(); flag != 0)
        return Value(static_cast<std::int64_t>(flag));
    return StartFilter({caller, CurrentReader(), TextArg(args[0].Get("ScanName")), {}}, args[0], false);
}

// GetScanFilterFiles(scan, tag, filter): the filter's rows, to the calling
// document alone, as a folder listing's (StartReceiePathFiles, batches of
// InReceiePathFiles, EndReceiePathFiles under the header [tag, "", scan]),
// then SetWorkEnd(16). The work flag when work runs; kStaleScan.
Value MainFrame::GetScanFilterFiles(DocumentId caller, const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    if (const std::uint32_t flag = m_workFlag.load(); flag != 0)
        return Value(static_cast<std::int64_t>(flag));
    return StartFilter({caller, session.volume, TextArg(args[1]), args[0].String()}, args[2], true);
}

Value MainFrame::StartFilter(Listing listing, const Value& map, bool streamed)
{
    static const char* const kKeys[] = {"Pictures", "Documents", "Videos", "Audio", "Emails",
                                        "StartSize", "EndSize", "StartTime", "EndTime", "ScanName", "Verdicts"};
    std::string filter;
    for (std::size_t i = 0; i < std::size(kKeys); ++i)
        filter += (i == 0 ? "" : ",") + TextArg(map.Get(kKeys[i]));
    // The name may hold commas: it goes beside the text, not in it. No name
    // is longer than this; a longer pattern only costs time.
    constexpr std::size_t kLongestPattern = 1024;
    std::string name = map.Get("Name").IsString() ? map.Get("Name").String() : std::string();
    if (name.size() > kLongestPattern)
        name.resize(kLongestPattern);
    std::uint32_t idle = 0;
    if (!m_workFlag.compare_exchange_strong(idle, kWorkFilter))
        return Value(static_cast<std::int64_t>(idle));
    Start([this, listing = std::move(listing), filter = std::move(filter), name = std::move(name), streamed] {
        FilterWorker(listing, filter, name, streamed);
    });
    return Value(0);
}

Value MainFrame::RecoveryDelFile(const Values& args)
{
    if (m_workFlag.load() != 0)
        return Value(1);
    return StartRecovery(CurrentReader(), args[0], TextArg(args[1]));
}

// RecoveryScanFiles(scan, selection, destination): RecoveryDelFile for the
// rows of the scan named; kStaleScan when it is no longer the current one,
// so that a selection made in an earlier scan's list is never written from
// another's.
Value MainFrame::RecoveryScanFiles(const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    if (m_workFlag.load() != 0)
        return Value(1);
    return StartRecovery(session.volume, args[1], TextArg(args[2]));
}

Value MainFrame::StartRecovery(std::shared_ptr<scan::VolumeScanner> volume, const Value& selectionValue,
                               std::string destination)
{
    recover::Selection selection = SelectionFromScript(selectionValue.Items());
    const std::size_t asked = selectionValue.Items().size();
    if (!Reserve(m_workFlag, kWorkRecovery))
        return Value(1);
    base::StopRequest = 0;
    auto progress = std::make_shared<recover::RecoverProgress>();
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_recovery = progress;
    }
    Start([this, volume = std::move(volume), progress = std::move(progress), destination = std::move(destination),
           selection = std::move(selection), asked] { RecoveryWorker(volume, progress, destination, selection, asked); });
    return Value(0);
}

Value MainFrame::GetRecoverProc()
{
    std::shared_ptr<recover::RecoverProgress> progress;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (!m_currentReader)
            return Value::Array {0, 0, ""};
        progress = m_recovery;
    }
    if (!progress)
        return Value::Array {"0", "0", ""};
    return Value::Array {std::to_string(static_cast<int>(progress->done.load())),
                         std::to_string(static_cast<int>(progress->total.load())), progress->Path()};
}

// GetScanFolders(scan): GetScanFilePathData for the scan named: the next
// folders (at most 50 [path, files at or below it, 2 when it was deleted or
// 3 when the deep scan found it, else 0]) that this document has not taken
// yet, 0 when there are none; kStaleScan when that scan is no longer the
// current one. A document that comes later, or takes the tree
// again from its start after a reload, gets all of it.
Value MainFrame::GetScanFolders(DocumentId caller, const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    return TakeFolders(caller, session, true);
}

// GetWorkState(): what a document that comes in now needs to show the
// current scan: a map of "scan" (its identity, "" none), "work" (the work
// flag), "name" (what it reads, as the user knows it), "fileSystem",
// "files", "progress" ([done, total] as GetScanProc), "ended" ([operation,
// status, stop] of the last scan phase told, or 0), "saved" (the scan was
// saved to be resumed), "note" (what the user should know of its end),
// "treeComplete" (the whole tree was placed and told), "savedScan" (the
// store holds a saved scan), "recovery" (a recovery report is there) and
// "stop" (the stop request), "faults" (what of the volume's own metadata
// could not be read or used, and what was done instead: sentences) and
// "unreadable" (sectors that could not be read).
Value MainFrame::GetWorkState()
{
    Value::Map state;
    std::shared_ptr<scan::VolumeScanner> volume;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        volume = m_currentReader;
        state["scan"] = ScanIdOf(m_generation);
        state["name"] = m_scanName;
        state["ended"] = m_lastEnd.operation == 0 ? Value(0)
                                                  : Value(Value::Array {m_lastEnd.operation, m_lastEnd.status, m_lastEnd.stop});
        state["saved"] = m_lastEnd.saved;
        state["note"] = m_lastEnd.note;
        state["treeComplete"] = m_treeComplete;
        state["recovery"] = m_lastRecovery != nullptr;
    }
    state["work"] = static_cast<std::int64_t>(m_workFlag.load());
    state["fileSystem"] = std::string(volume && volume->FileSystem() != scan::kUnknownFileSystem
                                          ? scan::FileSystemName(volume->FileSystem())
                                          : "");
    state["files"] = static_cast<std::int64_t>(volume ? volume->ResultCount() : 0);
    // The files alone (folders are results too), for counts that add up
    // with the tree's.
    std::int64_t fileCount = 0;
    if (volume) {
        const scan::ReadResults results = std::as_const(*volume).Results();
        for (std::size_t i = 0; i < results->size(); ++i)
            fileCount += (*results)[i]->m_isDirectory != scan::kKindFolder ? 1 : 0;
    }
    state["fileCount"] = fileCount;
    // Whether the deep scan has run on it (a quick scan's has not).
    state["deepBegun"] = volume && (volume->ScanMode() == scan::kScanDeepRunning ||
                                    volume->ScanMode() == scan::kScanDeepFinished);
    state["progress"] = GetScanProc();
    state["savedScan"] = GetLastScanStatus().Int() == 1;
    state["stop"] = static_cast<std::int64_t>(base::StopRequest.load());
    Value::Array faults;
    if (volume) {
        for (std::string& fault : volume->Faults().List())
            faults.emplace_back(std::move(fault));
    }
    state["faults"] = Value(std::move(faults));
    state["unreadable"] = static_cast<std::int64_t>(volume ? volume->UnreadableSectors() : 0);
    return Value(std::move(state));
}

namespace {

constexpr std::size_t kReportedProblems = 1000;  // files named in a recovery report
constexpr std::size_t kReportedBytes = 1u << 20;   // and the text they may take
constexpr std::int64_t kPreviewBytes = 65536;     // the most a preview reads

std::string Base64(const std::uint8_t* data, std::size_t size)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((size + 2) / 3 * 4);
    for (std::size_t at = 0; at < size; at += 3) {
        const std::uint32_t chunk = (std::uint32_t {data[at]} << 16) |
                                    (at + 1 < size ? std::uint32_t {data[at + 1]} << 8 : 0) |
                                    (at + 2 < size ? std::uint32_t {data[at + 2]} : 0);
        text += kDigits[(chunk >> 18) & 63];
        text += kDigits[(chunk >> 12) & 63];
        text += at + 1 < size ? kDigits[(chunk >> 6) & 63] : '=';
        text += at + 2 < size ? kDigits[chunk & 63] : '=';
    }
    return text;
}

}  // namespace

// The last recovery's outcome: [selected, written whole, partial, failed,
// bytes written (text), stopped, medium gone, the files not written whole as
// [source, kept as, 1 partial, 2 failed or 3 doubtful, reasons] (at most a
// thousand), why nothing was written ("" when it ran), doubtful (written
// from clusters other files own now), the receipt's path]; 0 before the
// first recovery.
Value MainFrame::GetRecoverReport()
{
    std::shared_ptr<const recover::RecoverSummary> summary;
    std::string refusal;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        summary = m_lastRecovery;
        refusal = m_lastRecoveryRefusal;
    }
    if (!summary)
        return Value(0);
    Value::Array files;
    std::size_t bytes = 0;
    for (const recover::FileReport& file : summary->problems) {
        // At most a thousand, and not more text than one answer should carry.
        if (files.size() == kReportedProblems || bytes > kReportedBytes)
            break;
        bytes += file.source.size() + file.output.size() + 64;
        Value::Array entry;
        entry.emplace_back(file.source);
        entry.emplace_back(file.output);
        const bool doubtful = file.outcome == recover::Outcome::kDoubtful;
        entry.emplace_back(file.outcome == recover::Outcome::kPartial ? 1 : doubtful ? 3 : 2);
        entry.emplace_back(doubtful ? file.why : recover::DescribeProblems(file.problems, file.unreadableSectors));
        files.emplace_back(std::move(entry));
    }
    Value::Array report;
    for (const std::size_t count : {summary->selected, summary->succeeded, summary->partial, summary->failed})
        report.emplace_back(static_cast<std::int64_t>(count));
    report.emplace_back(std::to_string(summary->bytes));
    report.emplace_back(summary->stopped ? 1 : 0);
    report.emplace_back(summary->deviceGone ? 1 : 0);
    report.emplace_back(std::move(files));
    report.emplace_back(std::move(refusal));
    report.emplace_back(static_cast<std::int64_t>(summary->doubtful));
    report.emplace_back(summary->receipt);
    // The files written whole under another name than theirs: [source,
    // kept as, "renamed" (the name was taken) or "shortened" (too long)].
    Value::Array renamed;
    for (const auto& [list, why] : {std::pair {&summary->renamed, "renamed"}, std::pair {&summary->shortened, "shortened"}}) {
        for (const auto& [source, output] : *list) {
            if (renamed.size() == kReportedProblems)
                break;
            renamed.push_back(Value::Array {source, output, std::string(why)});
        }
    }
    report.emplace_back(std::move(renamed));
    return report;
}

// GetFilePreview(scan, index, length): asks for the first bytes of found
// file `index` of the scan named (at most 64 KiB), read as recovery reads
// them and written nowhere. Answers 0 at once (kStaleScan for an earlier
// scan): the bytes come to the calling document with SetFilePreview(index,
// [size of the file (text), the bytes in base64, what kept bytes from being
// read ("" none), its verdict, why, where the bytes start (text), [runs of
// sectors it lies in, the first one's sector (texts), 1 when it lies in its
// file record]], scan) (its content checked first), or SetFilePreview(index, 0, scan) when there is no
// such file, or (index, 1, scan) while the results are held by other work
// (a recovery), so the caller asks again later. A dying disk may take long
// over the read: it runs on a worker, one at a time, and only the newest
// request waiting is read next.
Value MainFrame::GetFilePreview(DocumentId caller, const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    const std::int64_t offset = args.size() > 3 ? std::max<std::int64_t>(0, IntArg(args[2])) : 0;
    const std::int64_t length = std::clamp<std::int64_t>(IntArg(args.back()), 0, kPreviewBytes);
    Want(m_previewSlot, {caller, session.volume, args[0].String(), IntArg(args[1]), offset, length}, "SetFilePreview",
         &MainFrame::ReadPreviewOf);
    return Value(0);
}

void MainFrame::Want(ReadSlot& slot, PreviewWanted wanted, const char* answer,
                     Value (MainFrame::*read)(const PreviewWanted&))
{
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        slot.wanted = std::move(wanted);
        slot.pending = true;
        start = !slot.running;
        slot.running = true;
    }
    if (start)
        Start([this, &slot, answer, read] { ReadWorker(slot, answer, read); });
}

void MainFrame::ReadWorker(ReadSlot& slot, const char* answer, Value (MainFrame::*read)(const PreviewWanted&))
{
    while (!m_closing) {
        PreviewWanted wanted;
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (!slot.pending) {
                slot.running = false;
                return;
            }
            wanted = std::move(slot.wanted);
            slot.wanted = {};
            slot.pending = false;
        }
        m_ui.CallDocument(wanted.caller, answer, {wanted.index, (this->*read)(wanted), wanted.scan});
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    slot.running = false;
}

// GetFilePreviewAt(scan, index, offset, length): GetFilePreview for the bytes
// from `offset` on (a page of the hex view); SetFilePreview's answer then
// says where they start.
Value MainFrame::GetFilePreviewAt(DocumentId caller, const Values& args)
{
    return GetFilePreview(caller, args);
}

// GetThumbnail(scan, index): asks for a small picture of found file `index`
// for the list. Answers 0 at once (kStaleScan for an earlier scan); the
// picture comes to the calling document with SetThumbnail(index, its bytes
// in base64, scan): the photo's own thumbnail from its EXIF data, or the
// whole file when it is a picture of at most 2 MiB. (index, 0, scan) when
// there is none to give, and (index, 1, scan) while a scan reads the volume
// or other work holds the results: the caller asks again later. One is read
// at a time, and only the newest request waiting is read next.
Value MainFrame::GetThumbnail(DocumentId caller, const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    Want(m_thumbnailSlot, {caller, session.volume, args[0].String(), IntArg(args[1]), 0, 0}, "SetThumbnail",
         &MainFrame::ReadThumbnail);
    return Value(0);
}

Value MainFrame::ReadPreviewOf(const PreviewWanted& wanted)
{
    return ReadPreview(wanted.volume.get(), wanted.index, wanted.offset, wanted.length);
}

Value MainFrame::ReadThumbnail(const PreviewWanted& wanted)
{
    constexpr std::uint64_t kHeadBytes = 65536;        // where a photo keeps its EXIF thumbnail
    constexpr std::uint64_t kWholeBytes = 2u << 20;    // the largest picture sent whole
    scan::VolumeScanner* volume = wanted.volume.get();
    if (!volume || wanted.index < 0)
        return Value(0);
    // Never while a scan reads the volume: its reads come first.
    if ((m_workFlag.load() & (kWorkNormalScan | kWorkDeepScan | kWorkRecovery | kWorkResume | kWorkSave)) != 0)
        return Value(1);
    const scan::LockedResults results = volume->TryResults(std::chrono::milliseconds(100), &m_closing);
    if (!results)
        return Value(1);
    if (static_cast<std::uint64_t>(wanted.index) >= results->size())
        return Value(0);
    const scan::CBaseFileObject& file = *(*results)[static_cast<std::size_t>(wanted.index)];
    if (file.m_isDirectory)
        return Value(0);
    const std::unique_ptr<scan::FileContentReader> reader = scan::OpenFileContent(*volume, file);
    const std::uint64_t size = reader->Size();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(size, kHeadBytes)));
    bytes.resize(bytes.empty() ? 0 : reader->Read(0, bytes.data(), bytes.size()));
    if (std::size_t at = 0, length = 0; filetypes::ExifThumbnail(bytes.data(), bytes.size(), at, length))
        return Value(Base64(bytes.data() + at, length));
    const bool picture = bytes.size() >= 12 && filetypes::IsShownPicture(bytes.data(), bytes.size());
    if (!picture || size > kWholeBytes)
        return Value(0);
    if (size > bytes.size()) {
        bytes.resize(static_cast<std::size_t>(size));
        bytes.resize(reader->Read(0, bytes.data(), bytes.size()));
    }
    return Value(Base64(bytes.data(), bytes.size()));
}

Value MainFrame::ReadPreview(scan::VolumeScanner* volume, std::int64_t index, std::int64_t offset, std::int64_t length)
{
    if (!volume || index < 0)
        return Value(0);
    // A recovery holds the results for its whole run; scans hold them only
    // to add a few.
    const scan::LockedResults results = volume->TryResults(std::chrono::milliseconds(100), &m_closing);
    if (!results)
        return Value(1);
    if (static_cast<std::uint64_t>(index) >= results->size())
        return Value(0);
    const scan::CBaseFileObject& file = *(*results)[static_cast<std::size_t>(index)];
    if (file.m_isDirectory)
        return Value(0);
    // Shown with the file: how sure we are of it, its content checked now.
    scan::CheckResultContent(*volume, static_cast<std::size_t>(index));
    const std::unique_ptr<scan::FileContentReader> reader = scan::OpenFileContent(*volume, file);
    const std::uint64_t size = reader->Size();
    const std::uint64_t from = std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), size);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(length, size - from)));
    bytes.resize(bytes.empty() ? 0 : reader->Read(from, bytes.data(), bytes.size()));
    const scan::ContentReport& report = reader->Report();
    const bool whole = report.faults == 0 && report.unreadableSectors == 0;
    // Where its data lies: the runs of sectors it is read from (a hole
    // holds none), the first of them, and whether it lies in its record.
    std::uint64_t pieces = 0;
    std::uint64_t first = 0;
    bool resident = false;
    for (const scan::FileExtent& extent : file.extents) {
        if (extent.isPersist == scan::kExtentHole)
            continue;
        resident = resident || extent.isPersist == scan::kExtentResident;
        first = pieces == 0 ? extent.startSector : first;
        ++pieces;
    }
    return Value::Array {std::to_string(size), Base64(bytes.data(), bytes.size()),
                         whole ? std::string() : recover::DescribeProblems(report.faults, report.unreadableSectors),
                         std::string(scan::VerdictName(file.m_evidence.verdict)), scan::EvidenceReason(file),
                         std::to_string(from),
                         Value::Array {std::to_string(pieces), std::to_string(first), resident ? 1 : 0}};
}

// CheckContents(scan, run): with run true, checks the content of the scan's
// files in the background (their first and last bytes, for the kinds that
// can be checked), going on where it was paused; while other work runs it
// waits. With run false, pauses it. 0; 1 when the scan has no volume;
// kStaleScan for an earlier scan.
Value MainFrame::CheckContents(const Values& args)
{
    bool stale = false;
    const Session session = SessionNamed(args[0], stale);
    if (stale)
        return Value(kStaleScan);
    if (!session.volume)
        return Value(1);
    const bool run = args[1].IsInt() ? args[1].Int() != 0 : args[1].IsBool() && args[1].Bool();
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_checks.generation != session.generation)
            m_checks = ContentChecks {session.generation};
        m_checks.paused = !run;
        start = run && !m_checks.running;
        m_checks.running = m_checks.running || start;
    }
    if (start) {
        const std::uint64_t generation = session.generation;
        Start([this, generation] { ContentCheckWorker(generation); });
    }
    return Value(0);
}

// [checked, results, paused (0/1), running (0/1)] of the current scan's
// content checks.
Value MainFrame::GetContentChecks()
{
    const Session session = CurrentSession();
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (m_checks.generation != session.generation || session.generation == 0)
        return Value::Array {0, 0, 0, 0};
    return Value::Array {static_cast<std::int64_t>(m_checks.next), static_cast<std::int64_t>(m_checks.total),
                         m_checks.paused ? 1 : 0, m_checks.running ? 1 : 0};
}

void MainFrame::ContentCheckWorker(std::uint64_t generation)
{
    // Whether to go on and the running mark change under one lock, so that
    // a resume that finds the worker running can count on it.
    auto ends = [&](const Session& session, bool done) {
        if (m_checks.generation != generation)
            return true;  // another scan's checks have their own worker
        if (m_closing || m_checks.paused || done || session.generation != generation || !session.volume) {
            m_checks.running = false;
            return true;
        }
        return false;
    };
    for (;;) {
        const Session session = CurrentSession();
        std::size_t next = 0;
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (ends(session, false))
                return;
            next = m_checks.next;
        }
        // Scans, filters and recoveries come first.
        if (m_workFlag.load() != 0) {
            Nap(std::chrono::milliseconds(100));
            continue;
        }
        std::size_t total = 0;
        {
            const scan::LockedResults results = session.volume->TryResults(std::chrono::milliseconds(50), &m_closing);
            if (!results)
                continue;
            total = results->size();
            if (next < total)
                scan::CheckResultContent(*session.volume, next);
        }
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_checks.generation == generation) {
            m_checks.total = total;
            m_checks.next = std::min(next + 1, total);
        }
        if (ends(session, next >= total))
            return;
    }
}

// Offers image file `path` as a volume in every later disk list: 0, or 1
// when it is no file that can be read.
Value MainFrame::OpenImageFile(const Values& args)
{
    const std::string path = TextArg(args[0]);
    if (path.empty() || platform::IsFolder(path) || !platform::FileReadable(path))
        return Value(1);
    disks::OfferImage(platform::CanonicalPath(path));
    return Value(0);
}

// SearchDiskPartitions(disk, partition, whole): looks on disk `disk` of the
// list (partition 0; or the image file `partition` of the image files, a
// copy of a whole disk) for the volumes on it, in the background: where
// partitions begin, or with `whole` at every sector. 0; 1 while a search
// runs; 2 when the list has no such disk.
Value MainFrame::SearchDiskPartitions(const Values& args)
{
    const auto disk = static_cast<std::uint32_t>(IntArg(args[0]));
    const auto partition = static_cast<std::uint32_t>(IntArg(args[1]));
    const bool whole = args[2].IsInt() ? args[2].Int() != 0 : args[2].IsBool() && args[2].Bool();
    if (m_disks.empty())
        FreshDiskInfo();
    std::string device, reason;
    if ((partition != 0 && disk != disks::kImageDisk) ||
        !disks::ResolvePartition(m_disks, disk, partition, device, reason) || device.empty())
        return Value(2);
    platform::OpenResult opened = platform::OpenBlockDevice(device);
    if (!opened.device)
        return Value(2);
    auto done = std::make_shared<std::atomic<std::uint64_t>>(0);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        if (m_hunt.running)
            return Value(1);
        m_hunt = PartitionHunt {disk, partition, device, whole, true, false, 0, done, {}};
        m_huntStop = m_closing.load();
        const std::uint64_t sectors = opened.device->Size() / 512;
        // The quick search looks at three sectors of every MiB and every track.
        m_hunt.sectors = whole ? sectors : 3 * (sectors / 2048 + sectors / 63) + 1;
    }
    base::LogLess("Looking for the volumes on %s%s", device.c_str(), whole ? ", every sector" : "");
    std::shared_ptr<platform::BlockDevice> source(std::move(opened.device));
    Start([this, source, done, whole] {
        scan::PartitionSearchOptions options;
        options.everySector = whole;
        options.done = done.get();
        options.stop = &m_huntStop;
        std::vector<scan::FoundVolume> found = scan::SearchPartitions(*source, options);
        base::LogLess("The volume search found %zu volumes", found.size());
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_hunt.found = std::move(found);
        m_hunt.running = false;
        m_hunt.ended = true;
        if (!m_huntStop)
            done->store(m_hunt.sectors);  // all of it was looked at
    });
    return Value(0);
}

// [disk, partition, running, ended, done, total, whole, found], each found
// volume as [start sector, sectors, file system, label, named by a table
// (0/1), overlaps another (0/1), only its backup boot sector (0/1)]; an
// empty array before any search.
Value MainFrame::GetPartitionSearch()
{
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (!m_hunt.done)
        return Value::Array {};
    Value::Array found;
    for (const scan::FoundVolume& v : m_hunt.found)
        found.push_back(Value::Array {static_cast<std::int64_t>(v.startSector), static_cast<std::int64_t>(v.sectors),
                                      std::string(scan::FileSystemName(v.fileSystem)), v.label, v.inTable ? 1 : 0,
                                      v.overlaps != 0 ? 1 : 0, v.fromBackup ? 1 : 0});
    const std::uint64_t done = std::min(m_hunt.done->load(), m_hunt.sectors);
    return Value::Array {static_cast<std::int64_t>(m_hunt.disk), static_cast<std::int64_t>(m_hunt.partition),
                         m_hunt.running ? 1 : 0, m_hunt.ended ? 1 : 0, static_cast<std::int64_t>(done),
                         static_cast<std::int64_t>(m_hunt.sectors), m_hunt.whole ? 1 : 0, std::move(found)};
}

// Ends the running search for volumes, keeping what it found so far. 0.
Value MainFrame::StopPartitionSearch()
{
    m_huntStop = true;
    return Value(0);
}

// ScanFoundVolume(disk, partition, start): scans the volume the last search
// of that disk found at sector `start`, as ScanDiskPartitionDelFile scans a
// partition. 0; 1 while work runs; 2 when the search found no volume there.
// QuickScanFoundVolume(disk, partition, start): the same, its normal scan
// alone (the deep scan can follow).
Value MainFrame::ScanFoundVolume(const Values& args, bool deep)
{
    const auto disk = static_cast<std::uint32_t>(IntArg(args[0]));
    const auto partition = static_cast<std::uint32_t>(IntArg(args[1]));
    const std::int64_t start = IntArg(args[2]);
    std::string device;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        const bool known = m_hunt.ended && m_hunt.disk == disk && m_hunt.partition == partition &&
                           std::any_of(m_hunt.found.begin(), m_hunt.found.end(), [start](const scan::FoundVolume& v) {
                               return start >= 0 && v.startSector == static_cast<std::uint64_t>(start);
                           });
        if (!known)
            return Value(2);
        device = m_hunt.device;
    }
    if (!Reserve(m_workFlag, kWorkNormalScan))
        return Value(1);
    return StartScan(platform::VolumeAtName(device, static_cast<std::uint64_t>(start)), {}, deep);
}

Value MainFrame::GetLastScanStatus()
{
    store::ScanRecordInfo record;
    store::ReadLastScanRecord(record);
    return Value(record.path.empty() ? 0 : 1);
}

// Forgets the saved scan when the user says so. Refused (the work flag is
// the answer) while work runs: a scan or a save may be writing it.
Value MainFrame::DiscardSavedScan()
{
    const std::uint32_t flag = m_workFlag.load();
    if (flag != 0)
        return Value(static_cast<std::int64_t>(flag));
    store::DropTables();
    base::LogLess("The saved scan was discarded");
    return Value(0);
}

Value MainFrame::GetSaveScanInfo()
{
    store::ScanRecordInfo record;
    store::ReadLastScanRecord(record);
    Value::Array names {record.path};
    for (const disks::DiskInfo& disk : m_disks) {
        for (const disks::PartitionInfo& p : disk.partitions) {
            const std::string name = disks::PartitionName(disk.diskNumber, p.partitionNumber);
            if (name == record.path)
                names.push_back(p.mountPath.empty() ? name : p.mountPath);
        }
    }
    // A volume the partition search found goes by its disk and start.
    std::string disk;
    std::uint64_t sector = 0;
    if (names.size() == 1 && platform::SplitVolumeAtName(record.path, disk, sector))
        names.push_back(UserName(m_disks, record.path));
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    const bool deep = volume && volume->ScanMode() == scan::kScanDeepRunning;
    // What the banner tells of it: the file system and size it had, the
    // image file it was made of, when it began, how far its deep scan got
    // and how many files it holds.
    Value::Map facts;
    if (!record.path.empty()) {
        facts["fileSystem"] = record.hasIdentity && record.identity.fileSystem != scan::kUnknownFileSystem
                                  ? std::string(scan::FileSystemName(record.identity.fileSystem))
                                  : std::string();
        const std::uint64_t sectors = record.hasIdentity ? record.identity.sectors : 0;
        facts["bytes"] = std::to_string(sectors * 512);
        facts["image"] = platform::FileReadable(record.path) && !platform::IsFolder(record.path) &&
                                 record.path.rfind("/dev/", 0) != 0 && record.path.rfind("\\\\", 0) != 0
                             ? record.path
                             : std::string();
        platform::LocalTime t;
        char when[32] = "";
        // The record keeps the local time's fields as a FILETIME.
        if (record.startTime != 0 && platform::FileTimeToFields(record.startTime, t)) {
            std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                          t.second);
        }
        facts["started"] = std::string(when);
        facts["done"] = std::to_string(std::min(record.nextPosition, sectors));
        facts["total"] = std::to_string(sectors);
        facts["files"] = store::CountSavedFiles();
    }
    return Value::Array {Value(std::move(names)), deep ? 1 : 0, Value(std::move(facts))};
}

}  // namespace bridge
