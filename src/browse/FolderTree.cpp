#include "browse/FolderTree.h"

#include "base/StopRequest.h"
#include "filetypes/Catalogue.h"
#include "platform/Time.h"
#include "volume/VolumeScanner.h"

#include <utility>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iterator>
#include <mutex>

namespace browse {

std::size_t CollectFolderUpdates(scan::VolumeScanner& volume, FolderTree& tree, FolderUpdates& updates,
                                 const std::string& scanFolder, std::size_t limit, bool stopAware)
{
    const scan::LockedResults locked = volume.Results();
    const scan::ResultList& results = *locked;
    if (results.Generation() != tree.m_generation) {
        tree.m_generation = results.Generation();
        tree.m_revision = results.Revision();
        tree.m_counts.clear();
        tree.m_marks.clear();
        tree.m_cursor = 0;
    } else if (results.Revision() != tree.m_revision) {
        tree.m_revision = results.Revision();
        tree.m_cursor = 0;
    }
    const std::size_t n = results.size();
    std::size_t i = std::min(tree.m_cursor, n);
    for (; i < n && updates.size() < limit; ++i) {
        // The files placed before the stop keep their counts: they are
        // marked placed, and would otherwise never be counted.
        if (stopAware && base::StopRequested())
            break;
        scan::FoundFile& f = *results[i];
        if (f.m_inTree == 1 || f.m_existType == scan::kExistUnset)
            continue;
        if (f.m_isDirectory == scan::kKindFolder) {
            // How the folder was found: one in use under a path hides a deleted
            // one of the same path; a folder not placed yet is looked at again.
            if (f.m_filePath.IsUnresolved())
                continue;
            std::string parent = f.m_filePath;
            if (!parent.empty() && parent.back() == '\\')
                parent.pop_back();
            const std::string path = parent.empty() ? f.FullNameUtf8() : parent + "\\" + f.FullNameUtf8();
            const auto type = static_cast<std::uint8_t>(f.m_existType);
            const auto [it, added] = tree.m_marks.try_emplace(path, type);
            const bool surer = !added && type < it->second;
            if (surer)
                it->second = type;
            // A folder counted already is told again, with its mark.
            const auto counted = tree.m_counts.find(path);
            if ((added || surer) && counted != tree.m_counts.end())
                updates[path] = {path, counted->second};
            f.m_inTree = 1;
            continue;
        }
        std::string p = f.m_filePath;
        if (f.m_filePath.IsUnresolved() || p.empty())
            continue;  // not resolved yet, or in the root: not placed
        if (p.back() == '\\')
            p.pop_back();
        if (f.m_existType != scan::kExistLost && p.find(scanFolder) == std::string::npos)
            continue;
        for (std::string folder = p;;) {
            const std::int32_t count = ++tree.m_counts[folder];
            updates[folder] = {folder, count};
            const std::size_t slash = folder.rfind('\\');
            if (slash == std::string::npos)
                break;
            folder.resize(slash);
        }
        f.m_inTree = 1;
    }
    tree.m_cursor = i;
    return n - i;
}

void ListFolderFiles(scan::VolumeScanner& volume, const std::string& folder, std::vector<FileRow>& rows)
{
    const std::vector<std::uint32_t> indices = FolderFileIndices(volume, folder);
    MakeFileRows(volume, indices.data(), indices.size(), rows);
}

std::vector<std::uint32_t> FolderFileIndices(scan::VolumeScanner& volume, const std::string& folder)
{
    std::vector<std::uint32_t> indices;
    const scan::ReadResults results = std::as_const(volume).Results();
    for (std::size_t i = 0; i < results->size(); ++i) {
        const scan::FoundFile& f = *(*results)[i];
        if (f.m_isDirectory != scan::kKindFolder && f.m_filePath == folder)
            indices.push_back(static_cast<std::uint32_t>(i));
    }
    return indices;
}

void MakeFileRows(scan::VolumeScanner& volume, const std::uint32_t* indices, std::size_t count,
                  std::vector<FileRow>& rows)
{
    rows.reserve(rows.size() + count);
    const scan::ReadResults results = std::as_const(volume).Results();
    for (std::size_t k = 0; k < count; ++k) {
        if (indices[k] < results->size())
            rows.push_back(MakeFileRow(*(*results)[indices[k]], indices[k]));
    }
}

std::size_t FolderFeed::Place(scan::VolumeScanner& volume, std::size_t limit)
{
    std::lock_guard<std::mutex> placing(m_placing);
    FolderUpdates updates;
    const std::size_t unvisited = CollectFolderUpdates(volume, m_tree, updates, m_scanFolder, limit, false);
    Apply(updates);
    return unvisited;
}

void FolderFeed::PlaceAll(scan::VolumeScanner& volume)
{
    std::lock_guard<std::mutex> placing(m_placing);
    FolderUpdates updates;
    CollectFolderUpdates(volume, m_tree, updates, m_scanFolder, kNoLimit, false);
    m_tree.Rewind();
    CollectFolderUpdates(volume, m_tree, updates, m_scanFolder, kNoLimit, false);
    Apply(updates);
}

void FolderFeed::Apply(const FolderUpdates& updates)
{
    std::lock_guard<std::mutex> lock(m_lock);
    for (const auto& [key, entry] : updates) {
        auto [it, added] = m_folders.try_emplace(entry.first);
        if (!added)
            m_changes.erase(it->second.version);
        it->second.count = entry.second;
        it->second.mark = m_tree.Mark(entry.first);
        it->second.version = ++m_version;
        m_changes.emplace(m_version, &it->first);
    }
}

std::vector<TakenFolder> FolderFeed::Take(std::uint64_t& seen, std::size_t most)
{
    std::vector<TakenFolder> taken;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_changes.upper_bound(seen); it != m_changes.end() && taken.size() < most; ++it) {
        const Folder& folder = m_folders.at(*it->second);
        taken.push_back({*it->second, folder.count, folder.mark});
        seen = it->first;
    }
    return taken;
}

std::size_t FolderFeed::ChangedAfter(std::uint64_t seen) const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<std::size_t>(std::distance(m_changes.upper_bound(seen), m_changes.end()));
}

std::map<std::string, std::int32_t> FolderFeed::Counts()
{
    std::lock_guard<std::mutex> placing(m_placing);
    return m_tree.Counts();
}

std::uint64_t FolderFeed::Version() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_version;
}

}  // namespace browse
