// The folder tree of the results with per-folder file counts, built as the
// results arrive, and the file list of one folder.
#pragma once

#include "browse/ScriptValue.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
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

// Places the results that arrived since the last call into the folder tree
// and puts each folder whose count changed into `updates` (at most `limit`
// entries). `scanFolder` keeps only files below that folder (files of a lost
// parent chain are always placed). Returns the results not visited yet.
std::size_t CollectFolderUpdates(scan::VolumeScanner& volume, FolderUpdates& updates, const std::string& scanFolder,
                                 std::size_t limit);

// One row per file directly in `folder` ("" for the root, else "a\\b\\").
void ListFolderFiles(scan::VolumeScanner& volume, const std::string& folder, std::vector<ScriptValue>& rows);

// The nine values that describe a found file: full name, three times, size,
// index, exist type, folder path and type name.
ScriptValue MakeFileRow(const scan::CBaseFileObject& file, std::size_t index);

}  // namespace browse
