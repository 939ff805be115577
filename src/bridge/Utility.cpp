// The system and shell calls of the documents: the disk list with the system
// partition marked, what the user may pick as a volume, the user's folders,
// opening a folder as the desktop user, the version, the single-instance
// lock and the waiting-animation program.
#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "platform/OutputFile.h"
#include "platform/Shell.h"


#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>

#ifndef QUENLAR_VERSION
#define QUENLAR_VERSION ""
#endif

namespace bridge {
namespace {

std::string Decimal(std::uint64_t n)
{
    return std::to_string(n);
}

std::string CurrentFolder()
{
    std::error_code error;
    const std::u8string path = std::filesystem::current_path(error).u8string();
    return error ? std::string() : std::string(path.begin(), path.end());
}

Value PartitionValue(const disks::PartitionInfo& p)
{
    return Value::Array {
        p.mountPath,
        static_cast<std::int64_t>(p.serialNumber),
        static_cast<std::int64_t>(p.fileSystemFlags),
        p.fileSystemName,
        Decimal(p.totalBytes),
        Decimal(p.freeBytes),
        static_cast<std::int64_t>(p.partitionNumber),
        Decimal(static_cast<std::uint64_t>(p.startSector)),
        p.partitionStyle,
        static_cast<std::int64_t>(p.bootFlag),
        static_cast<std::int64_t>(p.systemMark),
        static_cast<std::int64_t>(p.driveType),
        static_cast<std::int64_t>(p.flagByte),
        p.label,
    };
}

std::string Utf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::filesystem::path FromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// Whether a file's name says it is a disk image (a copy of a drive, a
// partition or a card).
bool ImageName(const std::string& name)
{
    static const char* const kKinds[] = {".img", ".ima", ".dd", ".raw", ".bin", ".iso", ".vhd", ".dsk", ".001", ".image"};
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::any_of(std::begin(kKinds), std::end(kKinds), [&lower](const char* kind) {
        const std::size_t n = std::char_traits<char>::length(kind);
        return lower.size() > n && lower.compare(lower.size() - n, n, kind) == 0;
    });
}

constexpr std::size_t kListedEntries = 5000;  // the most one folder listing answers with

}  // namespace

// ListFolders(path, images): what a folder picker shows of folder `path`: a
// map of "path" (the folder, made absolute), "parent" ("" at the top),
// "folders" (the names of the folders in it, sorted, hidden ones left out),
// "files" (with `images` true, [name, size] of the disk image files in it)
// and "error" ("" when it could be read). Nothing else of it is read.
Value MainFrame::ListFolders(const Values& args)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const std::string text = args[0].IsString() ? args[0].String() : std::string();
    const bool images = args[1].IsInt() ? args[1].Int() != 0 : args[1].IsBool() && args[1].Bool();
    fs::path folder = FromUtf8(text.empty() ? platform::UserFolderPath(platform::FindDesktopUser(), platform::UserFolder::Home) : text);
    if (!folder.is_absolute())
        folder = fs::absolute(folder, error);
    folder = folder.lexically_normal();
    if (folder.has_filename() == false && folder != folder.root_path())
        folder = folder.parent_path();
    Value::Map answer;
    answer["path"] = Utf8(folder);
    answer["parent"] = folder == folder.root_path() ? std::string() : Utf8(folder.parent_path());
    std::vector<std::string> folders;
    Value::Array files;
    std::string problem;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    if (error) {
        problem = fs::is_directory(folder) ? "That folder cannot be read." : "There is no folder there.";
    } else {
        for (std::size_t seen = 0; it != fs::directory_iterator() && seen < kListedEntries; it.increment(error), ++seen) {
            if (error)
                break;
            const std::string name = Utf8(it->path().filename());
            if (name.empty() || name[0] == '.')
                continue;
            std::error_code ignored;
            if (it->is_directory(ignored))
                folders.push_back(name);
            else if (images && it->is_regular_file(ignored) && ImageName(name))
                files.push_back(Value::Array {name, std::to_string(it->file_size(ignored))});
        }
    }
    std::sort(folders.begin(), folders.end());
    Value::Array names;
    for (std::string& name : folders)
        names.emplace_back(std::move(name));
    answer["folders"] = Value(std::move(names));
    answer["files"] = Value(std::move(files));
    answer["error"] = problem;
    return Value(std::move(answer));
}

// The folder the files were last recovered into, while it is one; else the
// desktop user's documents, or home; "" when none of these exists.
Value MainFrame::GetRecoverDestination()
{
    const std::string last = platform::ReadIniString(base::kSettingsFile, "RECOVERY", "Destination");
    if (!last.empty() && platform::IsAbsolutePath(last) && platform::IsFolder(last))
        return Value(last);
    const platform::DesktopUser user = platform::FindDesktopUser();
    for (const platform::UserFolder which : {platform::UserFolder::Documents, platform::UserFolder::Home}) {
        const std::string path = platform::UserFolderPath(user, which);
        if (!path.empty() && platform::IsFolder(path))
            return Value(path);
    }
    return Value(std::string());
}

Value MainFrame::FreshDiskInfo()
{
    m_disks.clear();
    disks::EnumerateDisks(m_disks);
    // The partition that holds the running system: on Linux the one mounted
    // at /, on Windows the system drive.
    const platform::RunningSystem system = platform::FindRunningSystem();
    for (disks::DiskInfo& disk : m_disks) {
        for (disks::PartitionInfo& p : disk.partitions)
            p.systemMark = !system.mountPath.empty() && p.mountPath == system.mountPath ? system.mark : 0;
    }
    return Value(0);
}

Value MainFrame::GetDiskPartition()
{
    if (m_disks.empty())
        return Value("");
    Value::Array list;
    for (const disks::DiskInfo& disk : m_disks) {
        Value partitions;
        if (!disk.partitions.empty()) {
            Value::Array each;
            for (const disks::PartitionInfo& p : disk.partitions)
                each.push_back(PartitionValue(p));
            partitions = Value(std::move(each));
        }
        Value::Array values;
        values.emplace_back(disk.removable);
        values.emplace_back(static_cast<std::int64_t>(disk.diskNumber));
        values.emplace_back(static_cast<std::int64_t>(disk.diskFlags));
        values.emplace_back(disk.productName);
        values.emplace_back(Decimal(disk.diskSize));
        values.push_back(std::move(partitions));
        list.emplace_back(std::move(values));
    }
    return Value(std::move(list));
}

Value MainFrame::GetDiskAllTypeNameFun()
{
    // The drive letters where the system has them (Windows).
    std::vector<std::string> letters;
    if (platform::DriveLetters(letters)) {
        Value::Array texts;
        for (std::string& letter : letters)
            texts.emplace_back(std::move(letter));
        return Value(std::move(texts));
    }
    // What a Linux user picks where Windows offers drive letters: the mount
    // points of the file systems of the disk list.
    std::vector<disks::DiskInfo> list;
    disks::EnumerateDisks(list);
    Value::Array mounts;
    for (const disks::DiskInfo& disk : list) {
        // An image file opened is no place a file system is mounted.
        if (disk.diskNumber == disks::kImageDisk)
            continue;
        for (const disks::PartitionInfo& p : disk.partitions) {
            if (!p.mountPath.empty())
                mounts.push_back(p.mountPath);
        }
    }
    return Value(std::move(mounts));
}

Value MainFrame::GetCurrentPath()
{
    return Value(CurrentFolder());
}

Value MainFrame::GetIndependentPath(const Values& args)
{
    const platform::DesktopUser user = platform::FindDesktopUser();
    const bool desktop = args[0] == Value(1);
    return Value(platform::UserFolderPath(user, desktop ? platform::UserFolder::Desktop : platform::UserFolder::Documents));
}

Value MainFrame::OpenFolderPath(const Values& args)
{
    const Value& path = args[0];
    return Value(platform::OpenWithShell(path.IsString() ? path.String() : path.ToText()));
}

Value MainFrame::OpenLogFilePath()
{
    // The log lives in the current folder.
    return Value(platform::OpenWithShell(CurrentFolder()));
}

Value MainFrame::OpenAwaitGifWindows()
{
    // BusyGlass, next to the program: a process that lives while the UI is
    // busy (the documents draw the animation while AwaitShown says so).
    const std::string folder = m_programFolder.empty() ? platform::ProgramFolder() : m_programFolder;
    std::string program = folder + platform::ProgramFileName("BusyGlass");
    // Installed from the package, it lies in the package's own folder:
    // /usr/lib/quenlar beside /usr/bin.
    if (!platform::FileReadable(program))
        program = folder + "../lib/quenlar/" + platform::ProgramFileName("BusyGlass");
    const int process = platform::StartProgram(program);
    if (process == 0) {
        base::LogLess("Open Popup windows Error =  %d!", errno);
        return Value(false);
    }
    // Only the newest is kept (an older copy ends with this program).
    m_popupProcess = process;
    return Value(true);
}

Value MainFrame::CloseAwaitGifWindows()
{
    const int process = m_popupProcess.exchange(0);
    if (process == 0) {
        base::LogLess("Close Popup windows Error = %d", 0);
        return Value(false);
    }
    platform::EndProgram(process);
    base::LogLess("Close the success Popup windows end !");
    return Value(true);
}

Value MainFrame::GetAppVersion()
{
    base::LogLess("On GetAppVersion");
    return Value(QUENLAR_VERSION);
}

Value MainFrame::CheckProgramRun()
{
    // A lock held for the process's life: a second instance, or a second
    // call of this one, finds it taken.
    // The host took it for this process at start: every document that asks
    // (a reload, a second window) is told no other instance runs.
    if (m_instanceHeld)
        return Value(0);
    if (m_instanceTried)
        return Value(1);
    m_instanceTried = true;
    std::string problem;
    const std::string lockFile = platform::MachineLockPath(kInstanceName, &problem);
    if (lockFile.empty()) {
        // No folder that only this user can write: no mark, rather than one
        // another user could forge.
        base::LogLess("No folder for the instance lock: %s", problem.c_str());
        return Value(0);
    }
    return Value(m_instanceLock.Acquire(lockFile, "quenlar") ? 0 : 1);
}

}  // namespace bridge
