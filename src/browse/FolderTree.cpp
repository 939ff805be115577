#include "browse/FolderTree.h"

#include "filetypes/Catalogue.h"
#include "base/StopRequest.h"
#include "platform/Time.h"
#include "scan/VolumeScanner.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace browse {
namespace {

std::string RowTime(std::uint64_t fileTime)
{
    platform::LocalTime t;
    if (!platform::FileTimeToLocal(fileTime, t))
        platform::FileTimeToLocal(0, t);
    char text[40];
    std::snprintf(text, sizeof text, "%4d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

}  // namespace

std::size_t CollectFolderUpdates(scan::VolumeScanner& volume, FolderUpdates& updates, const std::string& scanFolder,
                                 std::size_t limit)
{
    std::lock_guard<std::mutex> lock(volume.m_lock);
    const std::size_t n = volume.m_results.size();
    std::size_t i = volume.m_treeCursor;
    for (; i < n && updates.size() < limit; ++i) {
        if (base::StopRequested()) {
            updates.clear();
            break;
        }
        scan::FoundFile& f = *volume.m_results[i];
        if (f.m_inTree == 1 || f.m_existType <= 9)
            continue;
        if (f.m_isDirectory == 1) {
            f.m_inTree = 1;
            continue;
        }
        std::string p = f.m_filePath;
        if (p == "/" || p.empty())
            continue;  // not resolved yet, or in the root: not placed
        if (p.back() == '\\')
            p.pop_back();
        if (f.m_existType != scan::kExistLost && p.find(scanFolder) == std::string::npos)
            continue;
        f.m_existType = static_cast<std::uint8_t>(f.m_existType / 10);
        for (std::string folder = p;;) {
            const std::int32_t count = ++volume.m_folderMap[folder];
            updates[folder] = {folder, count};
            const std::size_t slash = folder.rfind('\\');
            if (slash == std::string::npos)
                break;
            folder.resize(slash);
        }
        f.m_inTree = 1;
    }
    volume.m_treeCursor = static_cast<std::uint32_t>(i);
    return n - i;
}

void ListFolderFiles(scan::VolumeScanner& volume, const std::string& folder, std::vector<ScriptValue>& rows)
{
    std::lock_guard<std::mutex> lock(volume.m_lock);
    for (std::size_t i = 0; i < volume.m_results.size(); ++i) {
        const scan::FoundFile& f = *volume.m_results[i];
        if (f.m_isDirectory != 1 && f.m_filePath == folder)
            rows.push_back(MakeFileRow(f, i));
    }
}

ScriptValue MakeFileRow(const scan::FoundFile& file, std::size_t index)
{
    const std::string time = RowTime(file.m_latestTime);
    char size[24];
    std::snprintf(size, sizeof size, "%" PRIu64, file.m_fileSize);
    return ScriptValue::Array {
        file.FullNameUtf8(),
        time,
        time,
        time,
        std::string(size),
        static_cast<std::int64_t>(index),
        static_cast<std::int64_t>(file.m_existType),
        file.m_filePath == "/" ? std::string() : file.m_filePath.str(),
        filetypes::TypeName(file.suffix()),
    };
}

}  // namespace browse
