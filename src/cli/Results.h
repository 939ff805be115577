// Printing found files: a readable table, JSON lines or The Sleuth Kit's
// body-file format.
#pragma once

#include <cstdio>

namespace scan {
class VolumeScanner;
}

namespace cli {

enum class ResultFormat { Table, Json, Bodyfile };

void PrintResults(scan::VolumeScanner& volume, ResultFormat format, std::FILE* out);

}  // namespace cli
