// The filter of the results by file category, size range, age, verdict and
// name. Folders never pass: a filter lists files.
#pragma once

#include "browse/FileRow.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace scan {
class VolumeScanner;
}

namespace browse {

struct Filter {
    // Catalogue category codes (1 Pictures ... 5 E-mail stores), 0 for none:
    // a file of any category given passes; none given, every file.
    std::array<std::int64_t, 5> categories {};
    // Sizes in bytes, both ends included; both 0: any size.
    std::uint64_t minSize = 0;
    std::uint64_t maxSize = 0;
    // Changed within this many hours; 0: any age.
    std::uint32_t hours = 0;
    // Bit 1 << v for each scan::Verdict v a file may have; 0: any verdict.
    std::uint32_t verdicts = 0;
    // A name the file's must match ("*" any run of characters, "?" any one,
    // letters A to Z in either case); without a wildcard, a part of the
    // name. Empty: any name.
    std::string name;
};

// Whether `name` matches `pattern` as Filter::name says.
bool NameMatches(std::string_view name, std::string_view pattern);

// Appends a row for each result that passes the filter.
void FilterFiles(scan::VolumeScanner& volume, const Filter& filter, std::vector<FileRow>& rows);
// The same, as the indices of the matching results in list order: the rows
// are then made a batch at a time (MakeFileRows), so that a filter of
// millions of results never holds millions of rows.
std::vector<std::uint32_t> FilterFileIndices(scan::VolumeScanner& volume, const Filter& filter);

}  // namespace browse
