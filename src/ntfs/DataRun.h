// NTFS data runs: where a non-resident attribute's clusters lie. A run list
// is a string of (header, length, offset) triples; each offset counts from
// the previous run's first cluster, and a run without offset bytes is sparse.
#pragma once

#include "base/ByteView.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

// One run of a decoded data-run list.
struct DataRun {
    std::int64_t lcn = 0;      // first cluster; 0 for a sparse run
    std::uint32_t vcn = 0;     // first cluster within the attribute
    std::uint32_t length = 0;  // clusters
    bool sparse = false;       // a run without clusters: its data is zeros

    bool operator==(const DataRun&) const = default;
};

// Decodes the data-run list at `offset` of an attribute. The list ends at a
// zero header, at the end of the bytes, at a field wider than 8 bytes, or
// once the runs pass what 32-bit cluster numbers can say.
std::vector<DataRun> DecodeDataRuns(ByteView attribute, std::size_t offset);

}  // namespace scan
