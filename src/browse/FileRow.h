// One found file as the listings give it: its name, time, size, place in
// the results, state and folder, and the name of its type.
#pragma once

#include "browse/ScriptValue.h"
#include "found/FoundFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace browse {

struct FileRow {
    std::string fullName;
    std::string time;        // the latest time the entry offers, local, "YYYY-MM-DD hh:mm:ss"
    std::uint64_t size = 0;
    std::size_t index = 0;   // in the results
    scan::ExistType state = scan::kExistUnset;
    bool placed = false;     // counted in the folder tree
    std::string folder;      // "a\\b\\"; "" for the root, or while it is not known
    std::string typeName;
    std::uint8_t verdict = 0;  // a scan::Verdict
    std::string reason;        // why, in a few words
};

FileRow MakeFileRow(const scan::FoundFile& file, std::size_t index);

// The row as the window takes it and `quenlar ls --json` prints it: eleven
// values (full name, three times, size as text, index, exist type code,
// folder path, type name, verdict name, its reason). The row's texts are
// moved into it.
ScriptValue RowValue(FileRow row);

// Appends `"verdict":…,"evidence":{…}` for `file` (whose data takes
// `clusters` clusters) to a JSON object being built in `line`.
void AppendEvidenceJson(const scan::FoundFile& file, std::uint64_t clusters, std::string& line);

}  // namespace browse
