// The folder tree of the results with per-folder file counts, built as the
// results arrive, and the file list of one folder.
#pragma once

#include "browse/FileRow.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scan {
class CBaseFileObject;
class VolumeScanner;
}  // namespace scan

namespace browse {

// Folders whose counts changed in one call: folder path -> (folder path, count).
using FolderUpdates = std::map<std::string, std::pair<std::string, std::int32_t>>;

constexpr std::size_t kNoLimit = 2147483647;

// The folder tree of one result list: every folder path ("a\\b", no
// trailing backslash) with the files at or below it placed so far, and how
// far into the results it has looked. A list that is emptied or replaced
// starts the tree again; one whose earlier files a scan revised (their
// folders found late) is looked through again. Used by one thread at a time.
class FolderTree {
public:
    // Looks back at every result (a file whose folder was not known when it
    // was first met may be placed now).
    void Rewind() { m_cursor = 0; }
    // Files at or below each folder.
    const std::map<std::string, std::int32_t>& Counts() const { return m_counts; }
    // How many of the results it has looked at.
    std::size_t Visited() const { return m_cursor; }
    // How the folder at `path` was found: the surest state (scan::ExistType)
    // of the folder results with that path; 0 when none was met.
    std::uint8_t Mark(const std::string& path) const
    {
        const auto it = m_marks.find(path);
        return it == m_marks.end() ? 0 : it->second;
    }

private:
    friend std::size_t CollectFolderUpdates(scan::VolumeScanner&, FolderTree&, FolderUpdates&, const std::string&,
                                            std::size_t, bool);
    std::size_t m_cursor = 0;
    std::uint64_t m_generation = 0;
    std::uint64_t m_revision = 0;
    std::map<std::string, std::int32_t> m_counts;
    std::unordered_map<std::string, std::uint8_t> m_marks;
};

// A folder as a document takes it: its path, the files at or below it, and
// how it was found (FolderTree::Mark).
struct TakenFolder {
    std::string path;
    std::int32_t count = 0;
    std::uint8_t mark = 0;
};

// Places the results that arrived since the last call into `tree` and puts
// each folder whose count changed into `updates` (at most `limit` entries).
// `scanFolder` keeps only files below that folder (files of a lost parent
// chain are always placed). A stop request ends the walk early when
// `stopAware`, keeping what was placed so far in `updates`; the tree of a
// stopped scan is completed by a walk that is not. Returns the results not
// visited yet.
std::size_t CollectFolderUpdates(scan::VolumeScanner& volume, FolderTree& tree, FolderUpdates& updates,
                                 const std::string& scanFolder, std::size_t limit, bool stopAware = true);

// One row per file directly in `folder` ("" for the root, else "a\\b\\").
void ListFolderFiles(scan::VolumeScanner& volume, const std::string& folder, std::vector<FileRow>& rows);
// The same, as the indices of those files in list order (the rows are made a
// batch at a time, so a folder of millions of files never holds all its rows).
std::vector<std::uint32_t> FolderFileIndices(scan::VolumeScanner& volume, const std::string& folder);
// Appends the rows of the results at `indices`, read under the results' lock.
void MakeFileRows(scan::VolumeScanner& volume, const std::uint32_t* indices, std::size_t count,
                  std::vector<FileRow>& rows);

// The folder tree of one scan as any number of documents take it, each when
// it likes: the results are placed as they come (CollectFolderUpdates), and
// each folder whose count changes gets a newer version. A document keeps the
// version it has seen and takes the folders changed after it, so one that
// comes late, or twice, still gets the whole tree, and none takes another's.
class FolderFeed {
public:
    explicit FolderFeed(std::string scanFolder) : m_scanFolder(std::move(scanFolder)) {}
    FolderFeed(const FolderFeed&) = delete;
    FolderFeed& operator=(const FolderFeed&) = delete;

    // Places results that came since the last call, while the changed
    // folders stay within `limit` (the results' lock is given up between
    // calls, so a scan can go on); returns the results not visited yet.
    std::size_t Place(scan::VolumeScanner& volume, std::size_t limit = kNoLimit);
    // Places every result, and then looks at each once more: a path that was
    // not known yet when its file was first met is placed now.
    void PlaceAll(scan::VolumeScanner& volume);
    // At most `most` folders changed after version `seen`, the oldest change
    // first; `seen` moves past them.
    std::vector<TakenFolder> Take(std::uint64_t& seen, std::size_t most);
    // How many folders changed after version `seen`.
    std::size_t ChangedAfter(std::uint64_t seen) const;
    // The newest version given.
    std::uint64_t Version() const;
    // Files at or below each folder placed so far.
    std::map<std::string, std::int32_t> Counts();

private:
    struct Folder {
        std::int32_t count = 0;
        std::uint64_t version = 0;
        std::uint8_t mark = 0;
    };
    void Apply(const FolderUpdates& updates);

    const std::string m_scanFolder;
    std::mutex m_placing;       // one placement at a time; guards m_tree
    FolderTree m_tree;
    mutable std::mutex m_lock;  // guards the three below
    std::uint64_t m_version = 0;
    std::unordered_map<std::string, Folder> m_folders;
    std::map<std::uint64_t, const std::string*> m_changes;  // version -> the folder changed then
};

}  // namespace browse
