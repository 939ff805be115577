// The result store: one SQLite database ("mydatabase.db" in the current
// folder) that keeps the found files of the current scan with their extents
// and one scan record, so that a paused deep scan can be shown again and
// continued after the program was closed. One connection serves the process.
#pragma once

#include "volume/VolumeIdentity.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace scan {
class CBaseFileObject;
class VolumeScanner;
}  // namespace scan

namespace store {

constexpr const char* kDatabaseFile = "mydatabase.db";

// The saved scan record.
struct ScanRecordInfo {
    std::int32_t scanid = 0;
    std::string path;                // the device path the scan opened; empty: nothing saved
    std::uint64_t startTime = 0;     // local time of the run's start, as a FILETIME
    std::uint64_t useTime = 0;       // 100-ns units the run had taken
    std::uint64_t nextPosition = 0;  // sector of the deep scan's next chunk
    std::int32_t lastScanFlag = 0;   // the scan mode when saved
    // What the scan was made of, so that it goes on only from that volume:
    // its identity, and the device node or image file opened for it. A
    // record saved by an older version has none (`hasIdentity` false).
    bool hasIdentity = false;
    scan::VolumeIdentity identity;
    std::string deviceNode;
};

// Opens (creating when needed) the database and its tables, and takes the
// lock that makes this process the store's one owner (the file plus
// ".lock"; `holder` says what this process is doing, for another that finds
// the store taken). False when SQLite or the file cannot be opened, or
// another process owns the store (LockHolder says who); every operation then
// fails quietly.
bool OpenStore(const std::string& file = kDatabaseFile, const std::string& holder = {});
// Who owned the store when OpenStore last failed because of that; "" when
// it failed for another reason or did not fail.
std::string LockHolder();
void CloseStore();

// Caps the database at `pages` pages, as a full disk would (for tests).
bool LimitDatabasePages(std::int64_t pages);

bool CreateTables();
// Drops and recreates the tables, leaving the store empty.
bool DropTables();
bool InsertScanRecord(const ScanRecordInfo& record);
// The scan record with the highest scanid; `record` is left as it was when
// there is none.
bool ReadLastScanRecord(ScanRecordInfo& record);
// The files (not folders) the saved scan holds; -1 when the store cannot tell.
std::int64_t CountSavedFiles();
// Replaces what the store holds by this scan record and every result of the
// scanner (with a paused deep scan's folder map and waiting paths), all in
// one transaction: on any failure nothing changes.
bool SaveScanResults(scan::VolumeScanner& volume, const ScanRecordInfo& record);
// Replaces the scanner's results by the stored files.
bool LoadFoundFiles(scan::VolumeScanner& volume);

}  // namespace store
