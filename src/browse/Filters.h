// The filter of the results by file category, size range and age.
#pragma once

#include "browse/ScriptValue.h"

#include <cstdint>
#include <string>
#include <vector>

namespace scan {
class VolumeScanner;
}

namespace browse {

// The pieces between commas; the piece after the last comma is always there.
std::vector<std::string> SplitByComma(const std::string& text);

// Appends a row for each result that passes the filter text: ten fields
// "Pictures,Documents,Videos,Audio,Emails,StartSize,EndSize,StartTime,EndTime,
// ScanName" (category codes, sizes in bytes, the age limit in hours).
void FilterFiles(scan::VolumeScanner& volume, const std::string& filter, std::vector<ScriptValue>& rows);
// The same, as the indices of the matching results in list order: the rows
// are then made a batch at a time (MakeFileRows), so that a filter of
// millions of results never holds millions of rows.
std::vector<std::uint32_t> FilterFileIndices(scan::VolumeScanner& volume, const std::string& filter);

}  // namespace browse
