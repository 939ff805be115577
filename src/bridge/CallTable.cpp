// The table of calls the documents make: matched by exact name and argument
// count, each answered with one value.
#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "base/StopRequest.h"
#include "platform/Files.h"
#include "scan/FileContent.h"
#include "scan/VolumeScanner.h"
#include "store/ResultStore.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <thread>
#include <cstdio>

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

bool MainFrame::HandleCall(const std::string& name, const Values& args, Value& result)
{
    using Handler = Value (*)(MainFrame&, const Values&);
    struct Entry {
        const char* name;
        std::size_t arguments;
        Handler handler;
    };
    // clang-format off
    static const Entry kTable[] = {
        {"ScanDiskDelFile", 1, [](MainFrame& m, const Values& a) { return m.ScanDiskDelFile(a); }},
        {"ScanDiskPartitionDelFile", 2, [](MainFrame& m, const Values& a) { return m.ScanDiskPartitionDelFile(a); }},
        {"SpecialScan", 2, [](MainFrame& m, const Values& a) { return m.SpecialScan(a); }},
        {"DeepScanPartition", 0, [](MainFrame& m, const Values&) { return Value(m.DeepScanStart()); }},
        {"ResumeScan", 0, [](MainFrame& m, const Values&) { return m.ResumeScan(); }},
        {"StopOperate", 1, [](MainFrame& m, const Values& a) { return m.StopOperate(a); }},
        {"GetWorkFlag", 0, [](MainFrame& m, const Values&) { return Value(static_cast<std::int64_t>(m.WorkFlag())); }},
        {"GetScanProc", 0, [](MainFrame& m, const Values&) { return m.GetScanProc(); }},
        {"GetFilesNumber", 0, [](MainFrame& m, const Values&) { return m.GetFilesNumber(); }},
        {"GetScanFilePathData", 1, [](MainFrame& m, const Values&) {
            Value batch;
            return m.TakePendingBatch(batch) ? batch : Value(0);
        }},
        {"GetPathFiles", 2, [](MainFrame& m, const Values& a) { return m.GetPathFiles(a); }},
        {"GetFilterFileArr", 1, [](MainFrame& m, const Values& a) { return m.GetFilterFileArr(a); }},
        {"RecoveryDelFile", 2, [](MainFrame& m, const Values& a) { return m.RecoveryDelFile(a); }},
        {"GetRecoverProc", 0, [](MainFrame& m, const Values&) { return m.GetRecoverProc(); }},
        {"GetRecoverReport", 0, [](MainFrame& m, const Values&) { return m.GetRecoverReport(); }},
        {"GetFilePreview", 2, [](MainFrame& m, const Values& a) { return m.GetFilePreview(a); }},
        {"OpenImageFile", 1, [](MainFrame& m, const Values& a) { return m.OpenImageFile(a); }},
        {"ReleaseScan", 0, [](MainFrame& m, const Values&) { m.ReleaseCurrentScan(); return Value(0); }},
        {"CleanScanInfo", 0, [](MainFrame& m, const Values&) { m.ReleaseCurrentScan(); return Value(0); }},
        {"GetLastScanStatus", 0, [](MainFrame& m, const Values&) { return m.GetLastScanStatus(); }},
        {"DiscardSavedScan", 0, [](MainFrame& m, const Values&) { return m.DiscardSavedScan(); }},
        {"GetSaveScanInfo", 0, [](MainFrame& m, const Values&) { return m.GetSaveScanInfo(); }},
        {"FreshDiskInfo", 0, [](MainFrame& m, const Values&) { return m.FreshDiskInfo(); }},
        {"GetDiskPartition", 0, [](MainFrame& m, const Values&) { return m.GetDiskPartition(); }},
        {"GetDiskAllTypeNameFun", 0, [](MainFrame& m, const Values&) { return m.GetDiskAllTypeNameFun(); }},
        {"GetCurrentPath", 0, [](MainFrame& m, const Values&) { return m.GetCurrentPath(); }},
        {"GetIndependentPath", 1, [](MainFrame& m, const Values& a) { return m.GetIndependentPath(a); }},
        {"OpenFolderPath", 1, [](MainFrame& m, const Values& a) { return m.OpenFolderPath(a); }},
        {"OpenLogFilePath", 0, [](MainFrame& m, const Values&) { return m.OpenLogFilePath(); }},
        {"OpenAwaitGifWindows", 0, [](MainFrame& m, const Values&) { return m.OpenAwaitGifWindows(); }},
        {"CloseAwaitGifWindows", 0, [](MainFrame& m, const Values&) { return m.CloseAwaitGifWindows(); }},
        {"GetAppVersion", 0, [](MainFrame& m, const Values&) { return m.GetAppVersion(); }},
        {"CheckProgramRun", 0, [](MainFrame& m, const Values&) { return m.CheckProgramRun(); }},
    };
    // clang-format on
    for (const Entry& entry : kTable) {
        if (name != entry.name)
            continue;
        if (args.size() != entry.arguments)
            return false;
        result = entry.handler(*this, args);
        return true;
    }
    return false;
}

Value MainFrame::StartScan(const std::string& device, bool releaseFirst)
{
    if (releaseFirst)
        ReleaseCurrentScan();
    base::StopRequest = 0;
    Start([this, device] { ScanWorker(device); });
    Start([this] { PathStreamer(); });
    return Value(0);
}

Value MainFrame::ScanDiskDelFile(const Values& args)
{
    std::string path = TextArg(args[0]);
    if (m_workFlag.load() != 0)
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
    if (m_workFlag.load() != 0)
        return Value(1);
    const auto disk = static_cast<std::uint32_t>(IntArg(args[0]));
    const auto partition = static_cast<std::uint32_t>(IntArg(args[1]));
    return StartScan(disks::PartitionName(disk, partition));
}

Value MainFrame::SpecialScan(const Values& args)
{
    IntArg(args[0]);  // read and ignored
    const std::string folder = TextArg(args[1]);
    if (m_workFlag.load() != 0)
        return Value(1);
    ReleaseCurrentScan();
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
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_scanSubPath = subPath;
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
    return StartScan(device, false);
}

Value MainFrame::ResumeScan()
{
    std::uint32_t idle = 0;
    // Set before the worker runs, so that a second call answers busy.
    if (!m_workFlag.compare_exchange_strong(idle, kWorkResume))
        return Value(static_cast<std::int64_t>(idle));
    SetCurrentReader(nullptr);
    base::StopRequest = 0;
    Start([this] { ResumeWorker(); });
    Start([this] { PathStreamer(); });
    return Value(0);
}

Value MainFrame::StopOperate(const Values& args)
{
    const auto request = static_cast<std::int32_t>(IntArg(args[0]));
    if (!CurrentReader())
        return Value(0);
    if ((request & 1) != 0) {
        store::DropTables();
        std::uint32_t idle = 0;
        if (m_workFlag.compare_exchange_strong(idle, kWorkSave))
            Start([this] { SaveWorker(); });
    }
    base::StopRequest = request;
    Wake();
    return Value(request);
}

Value MainFrame::GetScanProc()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume)
        return Value::Array {0, 0};
    const std::uint32_t flag = m_workFlag.load();
    const std::uint64_t progress = volume->m_progress.load();
    if (flag == 0 || flag == kWorkDeepScan) {
        const std::uint64_t total = volume->m_volumeSize;
        const std::uint64_t done = total - progress < volume->m_sectorsPerCluster ? total : progress;
        return Value::Array {Decimal(done), Decimal(total)};
    }
    if (flag == kWorkNormalScan) {
        if (volume->m_fileSystemType != scan::kNtfs)
            return Value::Array {"100", "100"};
        std::uint64_t total = 0;
        for (const scan::DataRun& run : volume->MftRunsInUse())
            total += std::uint64_t {run.length} * volume->m_sectorsPerCluster;
        return Value::Array {Decimal(progress), Decimal(total)};
    }
    return Value::Array {"0", "0"};
}

Value MainFrame::GetFilesNumber()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    return Value(static_cast<std::int64_t>(volume ? volume->ResultCount() : 0));
}

Value MainFrame::GetPathFiles(const Values& args)
{
    std::string joined = TextArg(args[0]) + "," + TextArg(args[1]);
    Start([this, joined = std::move(joined)] { FolderListWorker(joined); });
    return Value(0);
}

Value MainFrame::GetFilterFileArr(const Values& args)
{
    if (const std::uint32_t flag = m_workFlag.load(); flag != 0)
        return Value(static_cast<std::int64_t>(flag));
    static const char* const kKeys[] = {"Pictures", "Documents", "Videos", "Audio", "Emails",
                                        "StartSize", "EndSize", "StartTime", "EndTime", "ScanName"};
    std::string filter;
    for (std::size_t i = 0; i < std::size(kKeys); ++i)
        filter += (i == 0 ? "" : ",") + TextArg(args[0].Get(kKeys[i]));
    std::uint32_t idle = 0;
    if (!m_workFlag.compare_exchange_strong(idle, kWorkFilter))
        return Value(static_cast<std::int64_t>(idle));
    Start([this, filter = std::move(filter)] { FilterWorker(filter); });
    return Value(0);
}

Value MainFrame::RecoveryDelFile(const Values& args)
{
    std::string destination = TextArg(args[1]);
    if (m_workFlag.load() != 0)
        return Value(1);
    std::vector<recover::SelectionValue> selection;
    for (const Value& v : args[0].Items()) {
        if (v.IsInt())
            selection.push_back(recover::SelectionValue::Index(v.Int()));
        else if (v.IsString())
            selection.push_back(recover::SelectionValue::Folder(v.String()));
        else
            selection.push_back({});
    }
    base::StopRequest = 0;
    std::uint32_t idle = 0;
    if (!m_workFlag.compare_exchange_strong(idle, kWorkRecovery))
        return Value(1);
    Start([this, destination = std::move(destination), selection = std::move(selection)] {
        RecoveryWorker(destination, selection);
    });
    return Value(0);
}

Value MainFrame::GetRecoverProc()
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume)
        return Value::Array {0, 0, ""};
    return Value::Array {std::to_string(static_cast<int>(volume->m_recoverCount.load())),
                         std::to_string(static_cast<int>(volume->m_recoverTotal.load())), volume->RecoverPath()};
}

namespace {

constexpr std::size_t kReportedProblems = 1000;  // files named in a recovery report
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

// The last recovery's outcome: [selected, written, partial, failed, bytes
// written (text), stopped, medium gone, the files not written whole as
// [source, kept as, 1 partial or 2 failed, reasons] (at most a thousand),
// why nothing was written ("" when it ran)]; 0 before the first recovery.
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
    for (const recover::FileReport& file : summary->problems) {
        if (files.size() == kReportedProblems)
            break;
        files.push_back(Value::Array {file.source, file.output,
                                      file.outcome == recover::Outcome::kPartial ? 1 : 2,
                                      recover::DescribeProblems(file.problems, file.unreadableSectors)});
    }
    Value::Array report;
    for (const std::size_t count : {summary->selected, summary->succeeded, summary->partial, summary->failed})
        report.emplace_back(static_cast<std::int64_t>(count));
    report.emplace_back(std::to_string(summary->bytes));
    report.emplace_back(summary->stopped ? 1 : 0);
    report.emplace_back(summary->deviceGone ? 1 : 0);
    report.emplace_back(std::move(files));
    report.emplace_back(std::move(refusal));
    return report;
}

// Asks for the first bytes of found file `index` (at most 64 KiB), read as
// recovery reads them and written nowhere. Answers 0 at once: the bytes come
// with SetFilePreview(index, [size of the file (text), the bytes in base64,
// what kept bytes from being read ("" none)]), or SetFilePreview(index, 0)
// when there is no such file, or (index, 1) while the results are held by
// other work (a recovery), so the caller asks again later. A dying disk may
// take long over the read: it runs on a worker, one at a time, and only the
// newest request waiting is read next.
Value MainFrame::GetFilePreview(const Values& args)
{
    const std::int64_t index = IntArg(args[0]);
    const std::int64_t length = std::clamp<std::int64_t>(IntArg(args[1]), 0, kPreviewBytes);
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_previewWanted = {index, length};
        m_previewPending = true;
        start = !m_previewRunning;
        m_previewRunning = true;
    }
    if (start)
        Start([this] { PreviewWorker(); });
    return Value(0);
}

void MainFrame::PreviewWorker()
{
    while (!m_closing) {
        std::pair<std::int64_t, std::int64_t> wanted;
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            if (!m_previewPending) {
                m_previewRunning = false;
                return;
            }
            wanted = m_previewWanted;
            m_previewPending = false;
        }
        m_ui.Call("SetFilePreview", {wanted.first, ReadPreview(wanted.first, wanted.second)});
    }
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_previewRunning = false;
}

Value MainFrame::ReadPreview(std::int64_t index, std::int64_t length)
{
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    if (!volume || index < 0)
        return Value(0);
    // A recovery holds the results for its whole run; scans hold them only
    // to add a few.
    std::unique_lock<std::mutex> lock(volume->m_lock, std::defer_lock);
    for (int tries = 0; !lock.try_lock(); ++tries) {
        if (tries == 20 || m_closing)
            return Value(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (static_cast<std::uint64_t>(index) >= volume->m_results.size())
        return Value(0);
    const scan::CBaseFileObject& file = *volume->m_results[static_cast<std::size_t>(index)];
    if (file.m_isDirectory)
        return Value(0);
    const std::unique_ptr<scan::FileContentReader> reader = scan::OpenFileContent(*volume, file);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(length, reader->Size())));
    bytes.resize(bytes.empty() ? 0 : reader->Read(0, bytes.data(), bytes.size()));
    const scan::ContentReport& report = reader->Report();
    const bool whole = report.faults == 0 && report.unreadableSectors == 0;
    return Value::Array {std::to_string(reader->Size()), Base64(bytes.data(), bytes.size()),
                         whole ? std::string() : recover::DescribeProblems(report.faults, report.unreadableSectors)};
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
    const std::shared_ptr<scan::VolumeScanner> volume = CurrentReader();
    const bool deep = volume && volume->m_scanMode.load() == scan::kScanDeepRunning;
    return Value::Array {Value(std::move(names)), deep ? 1 : 0};
}

}  // namespace bridge
