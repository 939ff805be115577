// The system and shell calls of the documents: the disk list with the system
// partition marked, what the user may pick as a volume, the user's folders,
// opening a folder as the desktop user, the version, the single-instance
// lock and the waiting-animation program.
#include "bridge/MainFrame.h"

#include "base/Log.h"
#include "platform/Files.h"
#include "platform/Shell.h"


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

}  // namespace

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
    if (m_instanceTried)
        return Value(1);
    m_instanceTried = true;
    if (m_instanceHeld)
        return Value(0);  // the host took it for this process at start
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
